#pragma once
// Operation queues: operations run at most maxConcurrentOperationCount at a time (1 makes the
// queue serial), in the order they were added; a cancelled operation that has not started is
// finished without running.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/runloop/DispatchQueue.h"

namespace quorvane::platform {

class Operation : public std::enable_shared_from_this<Operation> {
public:
    using Block = std::function<void()>;
    static std::shared_ptr<Operation> withBlock(Block block);
    virtual ~Operation() = default;

    void cancel() { cancelled_ = true; }
    bool isCancelled() const { return cancelled_.load(); }
    bool isExecuting() const { return executing_.load(); }
    bool isFinished() const { return finished_.load(); }
    // Runs after the operation finished (or was skipped because it was cancelled).
    void setCompletionBlock(Block b) { completion_ = std::move(b); }
    // Waits until the operation finished; false on time-out.
    bool waitUntilFinished(TimeInterval timeout = -1);

protected:
    Operation() = default;
    // The work; long work should check isCancelled() now and then.
    virtual void main() {}

private:
    friend class OperationQueue;
    void start();

    std::atomic<bool> cancelled_{false};
    std::atomic<bool> executing_{false};
    std::atomic<bool> finished_{false};
    Block completion_;
    std::mutex mutex_;
    std::condition_variable cv_;
};

class OperationQueue : public std::enable_shared_from_this<OperationQueue> {
public:
    // A queue whose operations run on the worker pool.
    static std::shared_ptr<OperationQueue> make(std::string name = {}, int maxConcurrent = -1);
    // The queue whose operations run on the main run loop, one at a time.
    static const std::shared_ptr<OperationQueue>& main();
    // The operation queue whose operation runs on this thread, or nullptr (main() on the main thread).
    static std::shared_ptr<OperationQueue> current();

    const std::string& name() const { return name_; }
    void setName(std::string n) { name_ = std::move(n); }
    int maxConcurrentOperationCount() const;
    // -1 means as many as the system likes; 1 is a serial queue.
    void setMaxConcurrentOperationCount(int n);

    void addOperation(const std::shared_ptr<Operation>& op);
    void addOperation(Operation::Block block);
    void cancelAllOperations();
    // Waits until every added operation finished; false on time-out. Must not be called from one
    // of this queue's own operations.
    bool waitUntilAllOperationsAreFinished(TimeInterval timeout = -1);
    size_t operationCount() const;
    bool isCurrent() const;

private:
    OperationQueue(std::string name, int maxConcurrent, bool isMain)
        : name_(std::move(name)), max_(maxConcurrent), isMain_(isMain) {}
    void startMoreLocked(std::unique_lock<std::mutex>& lock);
    void runOperation(const std::shared_ptr<Operation>& op);

    std::string name_;
    int max_;
    bool isMain_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<Operation>> waiting_;
    size_t running_ = 0;
    std::vector<std::shared_ptr<Operation>> runningOps_;
};

}  // namespace quorvane::platform
