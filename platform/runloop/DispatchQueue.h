#pragma once
// Dispatch queues: the main queue (blocks run on the main run loop), serial queues with a name
// (one block at a time, in order, on the shared worker pool) and the global concurrent pool.
// Also groups and semaphores.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/foundation/Date.h"
#include "platform/foundation/ForkSafeMutex.h"

namespace quorvane::platform {

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
public:
    using Block = std::function<void()>;
    enum class Kind { Main, Serial, Concurrent };

    static const std::shared_ptr<DispatchQueue>& main();
    static const std::shared_ptr<DispatchQueue>& global();
    static std::shared_ptr<DispatchQueue> serial(std::string label);
    // The queue whose block is running on this thread, or nullptr.
    static std::shared_ptr<DispatchQueue> currentQueue();

    const std::string& label() const { return label_; }
    Kind kind() const { return kind_; }

    void async(Block block);
    // Runs the block after delay seconds (monotonic time). Blocks due at the same moment run
    // in the order they were submitted.
    void asyncAfter(TimeInterval delay, Block block);
    // Runs the block on this queue and waits for it. Calling it from a block of the same
    // serial queue (or the main queue from the main thread) runs the block in place.
    void sync(const Block& block);
    // Whether the calling code runs on this queue (for the main queue: on the main thread).
    bool isCurrent() const;

    ~DispatchQueue();

private:
    DispatchQueue(std::string label, Kind kind) : label_(std::move(label)), kind_(kind) {}
    void drain();

    std::string label_;
    Kind kind_;
    ForkSafeMutex mutex_;
    std::deque<Block> pending_;
    bool draining_ = false;
    uint64_t generation_ = forkGeneration();  // of the process the blocks above are of
};

class DispatchGroup : public std::enable_shared_from_this<DispatchGroup> {
public:
    static std::shared_ptr<DispatchGroup> make() { return std::shared_ptr<DispatchGroup>(new DispatchGroup()); }
    void enter();
    void leave();
    // Waits until every enter has been left; false when the timeout (seconds) passed first.
    bool wait(TimeInterval timeout);
    // Runs the block on the queue once the group is empty (at once if it is empty now).
    void notify(const std::shared_ptr<DispatchQueue>& queue, DispatchQueue::Block block);
    // Runs the block on the queue as part of the group.
    void async(const std::shared_ptr<DispatchQueue>& queue, DispatchQueue::Block block);

private:
    DispatchGroup() = default;
    std::mutex mutex_;
    std::condition_variable cv_;
    int64_t count_ = 0;
    std::vector<std::pair<std::shared_ptr<DispatchQueue>, DispatchQueue::Block>> notify_;
};

class DispatchSemaphore {
public:
    explicit DispatchSemaphore(int64_t value = 0) : value_(value) {}
    void signal();
    // Waits for a signal; false when the timeout (seconds; negative waits forever) passed first.
    bool wait(TimeInterval timeout = -1);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int64_t value_;
};

}  // namespace quorvane::platform
