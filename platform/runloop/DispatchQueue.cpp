#include "platform/runloop/DispatchQueue.h"

#include <algorithm>
#include <map>
#include <thread>
#include <vector>

#include "platform/foundation/ForkSafeMutex.h"
#include "platform/runloop/RunLoop.h"

namespace quorvane::platform {

namespace {

thread_local DispatchQueue* tCurrentQueue = nullptr;
thread_local std::weak_ptr<DispatchQueue> tCurrentQueueRef;

struct CurrentQueueScope {
    DispatchQueue* saved;
    std::weak_ptr<DispatchQueue> savedRef;
    CurrentQueueScope(DispatchQueue* q, std::weak_ptr<DispatchQueue> ref)
        : saved(tCurrentQueue), savedRef(tCurrentQueueRef) {
        tCurrentQueue = q;
        tCurrentQueueRef = std::move(ref);
    }
    ~CurrentQueueScope() {
        tCurrentQueue = saved;
        tCurrentQueueRef = savedRef;
    }
};

// The worker pool behind the global queue and every serial queue. It grows when every worker
// is busy, so a block that waits on another block cannot starve the pool. In a child forked
// without exec it starts anew: the parent's workers are not there, and the blocks waiting for them
// are the parent's work, which the parent does.
class WorkerPool {
public:
    static WorkerPool& shared() {
        static WorkerPool* pool = new WorkerPool();  // never destroyed: workers outlive static teardown
        return *pool;
    }

    void submit(std::function<void()> task) {
        std::deque<std::function<void()>> parents;  // let go of after the lock, as in work()
        std::unique_lock lock(mutex_);
        if (generation_ != forkGeneration()) {
            generation_ = forkGeneration();
            workers_ = idle_ = 0;
            parents.swap(tasks_);
            (void)cv_.release();  // may hold the state of the parent's waiters: not for use here
            cv_ = std::make_unique<std::condition_variable_any>();
        }
        tasks_.push_back(std::move(task));
        if (idle_ == 0 && workers_ < kMaxWorkers) {
            ++workers_;
            std::thread([this] { work(); }).detach();
        } else {
            cv_->notify_one();
        }
        lock.unlock();
    }

private:
    static constexpr int kMaxWorkers = 64;

    void work() {
        std::unique_lock lock(mutex_);
        while (true) {
            ++idle_;
            bool got = cv_->wait_for(lock, std::chrono::seconds(30), [this] { return !tasks_.empty(); });
            --idle_;
            if (!got) {
                --workers_;
                return;
            }
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            // Release what the block holds before taking the lock again: a destructor among its
            // captures may submit work to this pool.
            task = nullptr;
            lock.lock();
        }
    }

    ForkSafeMutex mutex_;
    std::unique_ptr<std::condition_variable_any> cv_ = std::make_unique<std::condition_variable_any>();
    std::deque<std::function<void()>> tasks_;
    int workers_ = 0;
    int idle_ = 0;
    uint64_t generation_ = forkGeneration();
};

// One thread that holds delayed blocks until they are due.
class DelayedScheduler {
public:
    static DelayedScheduler& shared() {
        static DelayedScheduler* s = new DelayedScheduler();
        return *s;
    }

    // In a child forked without exec the parent's thread and its blocks are not this process's.
    void schedule(double due, std::shared_ptr<DispatchQueue> queue, DispatchQueue::Block block) {
        decltype(items_) parents;  // let go of after the lock
        std::unique_lock lock(mutex_);
        if (generation_ != forkGeneration()) {
            generation_ = forkGeneration();
            started_ = false;
            parents.swap(items_);
            (void)cv_.release();  // may hold the state of the parent's waiter: not for use here
            cv_ = std::make_unique<std::condition_variable_any>();
        }
        items_.emplace(std::make_pair(due, seq_++), Item{std::move(queue), std::move(block)});
        if (!started_) {
            started_ = true;
            std::thread([this] { loop(); }).detach();
        }
        cv_->notify_one();
        lock.unlock();
    }

private:
    struct Item {
        std::shared_ptr<DispatchQueue> queue;
        DispatchQueue::Block block;
    };

    void loop() {
        std::unique_lock lock(mutex_);
        while (true) {
            if (items_.empty()) {
                cv_->wait(lock);
                continue;
            }
            double now = Clock::current()->monotonic();
            auto it = items_.begin();
            if (it->first.first <= now) {
                Item item = std::move(it->second);
                items_.erase(it);
                lock.unlock();
                item.queue->async(std::move(item.block));
                item.queue.reset();  // released outside the lock, like the pool's blocks
                lock.lock();
                continue;
            }
            double wait = std::min(it->first.first - now, 0.05);  // re-check: the clock may be manual
            cv_->wait_for(lock, std::chrono::duration<double>(wait));
        }
    }

    ForkSafeMutex mutex_;
    std::unique_ptr<std::condition_variable_any> cv_ = std::make_unique<std::condition_variable_any>();
    std::map<std::pair<double, uint64_t>, Item> items_;
    uint64_t seq_ = 0;
    bool started_ = false;
    uint64_t generation_ = forkGeneration();
};

}  // namespace

// The process-wide queues are never destroyed: detached workers may still submit to them while
// the process exits.
const std::shared_ptr<DispatchQueue>& DispatchQueue::main() {
    static const auto* q = new std::shared_ptr<DispatchQueue>(new DispatchQueue("main", Kind::Main));
    return *q;
}

const std::shared_ptr<DispatchQueue>& DispatchQueue::global() {
    static const auto* q = new std::shared_ptr<DispatchQueue>(new DispatchQueue("global", Kind::Concurrent));
    return *q;
}

std::shared_ptr<DispatchQueue> DispatchQueue::serial(std::string label) {
    return std::shared_ptr<DispatchQueue>(new DispatchQueue(std::move(label), Kind::Serial));
}

std::shared_ptr<DispatchQueue> DispatchQueue::currentQueue() {
    if (auto q = tCurrentQueueRef.lock()) return q;
    if (RunLoop::isMainThread()) return main();
    return nullptr;
}

DispatchQueue::~DispatchQueue() = default;

bool DispatchQueue::isCurrent() const {
    if (kind_ == Kind::Main) return RunLoop::isMainThread();
    return tCurrentQueue == this;
}

void DispatchQueue::async(Block block) {
    if (!block) return;
    switch (kind_) {
        case Kind::Main: {
            RunLoop::main()->post([self = shared_from_this(), b = std::move(block)] {
                CurrentQueueScope scope(self.get(), self);
                b();
            });
            return;
        }
        case Kind::Concurrent: {
            WorkerPool::shared().submit([self = shared_from_this(), b = std::move(block)] {
                CurrentQueueScope scope(self.get(), self);
                b();
            });
            return;
        }
        case Kind::Serial: {
            bool start = false;
            std::deque<Block> parents;  // let go of after the lock
            {
                std::lock_guard lock(mutex_);
                if (generation_ != forkGeneration()) {
                    // A child forked without exec: the parent's blocks and the worker running
                    // them are the parent's.
                    generation_ = forkGeneration();
                    parents.swap(pending_);
                    draining_ = false;
                }
                pending_.push_back(std::move(block));
                if (!draining_) {
                    draining_ = true;
                    start = true;
                }
            }
            if (start) WorkerPool::shared().submit([self = shared_from_this()] { self->drain(); });
            return;
        }
    }
}

void DispatchQueue::drain() {
    CurrentQueueScope scope(this, weak_from_this());
    // Run a bounded batch, then hand the worker back so other queues get their turn.
    for (int i = 0; i < 64; ++i) {
        Block b;
        {
            std::lock_guard lock(mutex_);
            if (pending_.empty()) {
                draining_ = false;
                return;
            }
            b = std::move(pending_.front());
            pending_.pop_front();
        }
        b();
    }
    WorkerPool::shared().submit([self = shared_from_this()] { self->drain(); });
}

void DispatchQueue::asyncAfter(TimeInterval delay, Block block) {
    if (!block) return;
    double due = Clock::current()->monotonic() + std::max(0.0, delay);
    DelayedScheduler::shared().schedule(due, shared_from_this(), std::move(block));
}

void DispatchQueue::sync(const Block& block) {
    if (!block) return;
    if (isCurrent() && kind_ != Kind::Concurrent) {
        block();
        return;
    }
    if (kind_ == Kind::Concurrent) {
        CurrentQueueScope scope(this, weak_from_this());
        block();
        return;
    }
    DispatchSemaphore done(0);
    async([&] {
        block();
        done.signal();
    });
    done.wait();
}

void DispatchGroup::enter() {
    std::lock_guard lock(mutex_);
    ++count_;
}

void DispatchGroup::leave() {
    std::vector<std::pair<std::shared_ptr<DispatchQueue>, DispatchQueue::Block>> ready;
    {
        std::lock_guard lock(mutex_);
        if (count_ <= 0) return;  // unbalanced leave: ignore rather than go negative
        if (--count_ == 0) {
            ready.swap(notify_);
            cv_.notify_all();
        }
    }
    for (auto& [q, b] : ready) q->async(std::move(b));
}

bool DispatchGroup::wait(TimeInterval timeout) {
    std::unique_lock lock(mutex_);
    if (timeout < 0) {
        cv_.wait(lock, [this] { return count_ == 0; });
        return true;
    }
    return cv_.wait_for(lock, std::chrono::duration<double>(timeout), [this] { return count_ == 0; });
}

void DispatchGroup::notify(const std::shared_ptr<DispatchQueue>& queue, DispatchQueue::Block block) {
    {
        std::lock_guard lock(mutex_);
        if (count_ > 0) {
            notify_.emplace_back(queue, std::move(block));
            return;
        }
    }
    queue->async(std::move(block));
}

void DispatchGroup::async(const std::shared_ptr<DispatchQueue>& queue, DispatchQueue::Block block) {
    enter();
    queue->async([self = shared_from_this(), b = std::move(block)] {
        b();
        self->leave();
    });
}

void DispatchSemaphore::signal() {
    std::lock_guard lock(mutex_);
    ++value_;
    cv_.notify_one();
}

bool DispatchSemaphore::wait(TimeInterval timeout) {
    std::unique_lock lock(mutex_);
    auto ready = [this] { return value_ > 0; };
    if (timeout < 0) {
        cv_.wait(lock, ready);
    } else if (!cv_.wait_for(lock, std::chrono::duration<double>(timeout), ready)) {
        return false;
    }
    --value_;
    return true;
}

}  // namespace quorvane::platform
