#include "platform/runloop/RunLoop.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace quorvane::platform {

namespace {
double monotonicNow() { return Clock::current()->monotonic(); }

std::thread::id mainThreadId() {
    // The process's main thread is the one whose thread id equals the process id. The main
    // run loop is made on first use, which may happen on another thread; remember the id of
    // the main thread as seen from static initialisation, which runs on it.
    static std::thread::id id = std::this_thread::get_id();
    return id;
}
[[maybe_unused]] const std::thread::id gMainIdAtStart = mainThreadId();
}  // namespace

bool RunLoop::isMainThread() { return std::this_thread::get_id() == mainThreadId(); }

const std::shared_ptr<RunLoop>& RunLoop::main() {
    static const auto& loop = *new std::shared_ptr<RunLoop>(new RunLoop(mainThreadId()));
    return loop;
}

std::shared_ptr<RunLoop> RunLoop::current() {
    if (isMainThread()) return main();
    thread_local std::shared_ptr<RunLoop> loop(new RunLoop(std::this_thread::get_id()));
    return loop;
}

void RunLoop::wake() { cv_.notify_all(); }

void RunLoop::post(Block block) {
    {
        std::lock_guard lock(mutex_);
        blocks_.push_back(std::move(block));
    }
    wake();
}

void RunLoop::addTimer(const std::shared_ptr<Timer>& timer) {
    if (!timer) return;
    {
        std::lock_guard lock(mutex_);
        timer->loop_ = weak_from_this();
        if (std::find(timers_.begin(), timers_.end(), timer) == timers_.end()) timers_.push_back(timer);
    }
    wake();
}

size_t RunLoop::pendingCount() const {
    std::lock_guard lock(mutex_);
    size_t valid = 0;
    for (const auto& t : timers_)
        if (t->isValid()) ++valid;
    return blocks_.size() + valid;
}

// Runs one due timer or one posted block, waiting until the deadline (monotonic) for one.
// Returns false when nothing ran before the deadline or a stop was requested.
bool RunLoop::runOneSource(double deadline) {
    std::unique_lock lock(mutex_);
    while (true) {
        if (stopRequested_) return false;
        double now = monotonicNow();
        // Drop invalidated timers; find the earliest due one.
        timers_.erase(std::remove_if(timers_.begin(), timers_.end(), [](const auto& t) { return !t->isValid(); }),
                      timers_.end());
        std::shared_ptr<Timer> due;
        double nextFire = INFINITY;
        for (const auto& t : timers_) {
            double f = t->fireTime_.load();
            if (f <= now && (!due || f < due->fireTime_.load())) due = t;
            nextFire = std::min(nextFire, f);
        }
        if (due) {
            // The validity check and the decision to fire happen under the loop's lock, which
            // invalidate() also takes: no firing starts after invalidate() has returned.
            if (!due->repeats_) {
                due->valid_ = false;
                timers_.erase(std::find(timers_.begin(), timers_.end(), due));
            } else {
                double next = due->fireTime_.load() + due->interval_;
                if (next <= now) {
                    // Skip the firings that were missed.
                    double missed = std::floor((now - next) / due->interval_) + 1;
                    next += missed * due->interval_;
                }
                due->fireTime_ = next;
            }
            auto block = due->block_;
            lock.unlock();
            if (block) block(*due);
            return true;
        }
        if (!blocks_.empty()) {
            Block b = std::move(blocks_.front());
            blocks_.pop_front();
            lock.unlock();
            if (b) b();
            return true;
        }
        double wakeAt = std::min(deadline, nextFire);
        if (now >= deadline) return false;
        // Sleep until something arrives, a timer is due or the deadline passes, but never long:
        // the clock may be a manual one, and callers re-check predicates that other threads change.
        double wait = std::min(wakeAt - now, 0.01);
        cv_.wait_for(lock, std::chrono::duration<double>(std::max(wait, 0.0)));
        if (blocks_.empty() && !stopRequested_) {
            bool anyDue = false;
            double after = monotonicNow();
            for (const auto& t : timers_) anyDue = anyDue || (t->isValid() && t->fireTime_.load() <= after);
            if (!anyDue) return false;
        }
    }
}

bool RunLoop::runUntil(const std::function<bool()>& predicate, TimeInterval timeout) {
    if (!isCurrent()) return predicate && predicate();
    double deadline = monotonicNow() + std::max(0.0, timeout);
    while (true) {
        if (predicate && predicate()) return true;
        if (monotonicNow() >= deadline) return predicate && predicate();
        {
            std::lock_guard lock(mutex_);
            if (stopRequested_) {
                stopRequested_ = false;
                return predicate && predicate();
            }
        }
        runOneSource(deadline);
    }
}

bool RunLoop::runOnce(TimeInterval timeout) {
    if (!isCurrent()) return false;
    double deadline = monotonicNow() + std::max(0.0, timeout);
    bool ran = false;
    while (true) {
        if (runOneSource(ran ? monotonicNow() : deadline)) {
            ran = true;
            continue;
        }
        if (ran || monotonicNow() >= deadline) break;
    }
    std::lock_guard lock(mutex_);
    stopRequested_ = false;
    return ran;
}

void RunLoop::run() {
    if (!isCurrent()) return;
    while (true) {
        runOneSource(monotonicNow() + 3600);
        std::lock_guard lock(mutex_);
        if (stopRequested_) {
            stopRequested_ = false;
            return;
        }
    }
}

void RunLoop::stop() {
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
    }
    wake();
}

Timer::Timer(TimeInterval interval, bool repeats, Block block)
    : interval_(interval), repeats_(repeats), block_(std::move(block)) {
    if (repeats_ && interval_ <= 0) interval_ = 0.0001;  // a repeating timer must move forward
    fireTime_ = monotonicNow() + std::max(0.0, interval);
}

std::shared_ptr<Timer> Timer::make(TimeInterval interval, bool repeats, Block block) {
    return std::shared_ptr<Timer>(new Timer(interval, repeats, std::move(block)));
}

std::shared_ptr<Timer> Timer::scheduled(TimeInterval interval, bool repeats, Block block,
                                        std::shared_ptr<RunLoop> loop) {
    auto t = make(interval, repeats, std::move(block));
    if (!loop) loop = RunLoop::current();
    loop->addTimer(t);
    return t;
}

void Timer::invalidate() {
    auto loop = loop_.lock();
    if (loop) {
        std::lock_guard lock(loop->mutex_);
        valid_ = false;
    } else {
        valid_ = false;
    }
    if (loop) loop->wake();
}

void Timer::fire() {
    if (!valid_) return;
    if (!repeats_) invalidate();
    if (block_) block_(*this);
}

double Timer::fireTime() const { return fireTime_.load(); }

void Timer::setFireTime(double t) {
    auto loop = loop_.lock();
    if (loop) {
        {
            std::lock_guard lock(loop->mutex_);
            fireTime_ = t;
        }
        loop->wake();
    } else {
        fireTime_ = t;
    }
}

}  // namespace quorvane::platform
