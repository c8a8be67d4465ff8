#pragma once
// Run loops and timers.
//
// A run loop belongs to one thread and runs the blocks posted to it and the timers scheduled on
// it, in order, whenever that thread runs it. The main run loop belongs to the process's main
// thread; the sync engine and every main-thread callback run there. Tests pump it with
// runUntil(predicate, timeout). Runs may nest: a block may run the loop again.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/foundation/Date.h"

namespace quorvane::platform {

class Timer;

class RunLoop : public std::enable_shared_from_this<RunLoop> {
public:
    using Block = std::function<void()>;

    // The main thread's run loop.
    static const std::shared_ptr<RunLoop>& main();
    // The calling thread's run loop (made on first use).
    static std::shared_ptr<RunLoop> current();
    static bool isMainThread();

    bool isCurrent() const { return std::this_thread::get_id() == thread_; }

    // Queues a block; callable from any thread. Blocks run in the order they were posted.
    void post(Block block);
    // Schedules a timer on this loop; callable from any thread.
    void addTimer(const std::shared_ptr<Timer>& timer);

    // Runs the loop on its own thread until the predicate holds or the timeout (seconds) passes.
    // Returns whether the predicate held. The predicate is checked before waiting and after every
    // block or timer.
    bool runUntil(const std::function<bool()>& predicate, TimeInterval timeout);
    // Runs what is due now, waiting at most timeout seconds for something to arrive; returns
    // whether anything ran.
    bool runOnce(TimeInterval timeout = 0);
    // Runs until stop() is called.
    void run();
    void stop();

    // Blocks and timers waiting (for tests and diagnostics).
    size_t pendingCount() const;

private:
    friend class Timer;
    explicit RunLoop(std::thread::id owner) : thread_(owner) {}
    bool runOneSource(double deadline);
    void wake();

    std::thread::id thread_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Block> blocks_;
    std::vector<std::shared_ptr<Timer>> timers_;
    bool stopRequested_ = false;
};

// A timer fires its block on the run loop it is scheduled on, once or repeatedly. An invalidated
// timer never fires again: once invalidate() returns, from any thread, no new firing begins.
class Timer : public std::enable_shared_from_this<Timer> {
public:
    using Block = std::function<void(Timer&)>;

    // Makes a timer and schedules it on the given loop (the current thread's by default).
    static std::shared_ptr<Timer> scheduled(TimeInterval interval, bool repeats, Block block,
                                            std::shared_ptr<RunLoop> loop = nullptr);
    // Makes an unscheduled timer; add it with RunLoop::addTimer.
    static std::shared_ptr<Timer> make(TimeInterval interval, bool repeats, Block block);

    void invalidate();
    bool isValid() const { return valid_.load(); }
    // Fires now (on the calling thread) if valid; a one-shot timer is then invalidated.
    void fire();

    TimeInterval timeInterval() const { return interval_; }
    bool repeats() const { return repeats_; }
    TimeInterval tolerance() const { return tolerance_; }
    void setTolerance(TimeInterval t) { tolerance_ = t < 0 ? 0 : t; }
    // Monotonic time (Clock::monotonic) of the next firing.
    double fireTime() const;
    // Moves the next firing; a date in the past fires at the next pass of the loop.
    void setFireTime(double monotonicTime);

private:
    friend class RunLoop;
    Timer(TimeInterval interval, bool repeats, Block block);

    TimeInterval interval_;
    bool repeats_;
    TimeInterval tolerance_ = 0;
    Block block_;
    std::atomic<bool> valid_{true};
    std::atomic<double> fireTime_{0};
    std::weak_ptr<RunLoop> loop_;
};

}  // namespace quorvane::platform
