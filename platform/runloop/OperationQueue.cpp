#include "platform/runloop/OperationQueue.h"

#include <algorithm>
#include <thread>

#include "platform/runloop/RunLoop.h"

namespace quorvane::platform {

namespace {
thread_local std::weak_ptr<OperationQueue> tCurrentOperationQueue;

class BlockOperation : public Operation {
public:
    explicit BlockOperation(Block b) : block_(std::move(b)) {}

protected:
    void main() override {
        if (block_) block_();
    }

private:
    Block block_;
};
}  // namespace

std::shared_ptr<Operation> Operation::withBlock(Block block) {
    return std::make_shared<BlockOperation>(std::move(block));
}

void Operation::start() {
    if (!cancelled_) {
        executing_ = true;
        main();
        executing_ = false;
    }
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    cv_.notify_all();
    if (completion_) {
        auto c = std::move(completion_);
        completion_ = nullptr;
        c();
    }
}

bool Operation::waitUntilFinished(TimeInterval timeout) {
    std::unique_lock lock(mutex_);
    auto done = [this] { return finished_.load(); };
    if (timeout < 0) {
        cv_.wait(lock, done);
        return true;
    }
    return cv_.wait_for(lock, std::chrono::duration<double>(timeout), done);
}

std::shared_ptr<OperationQueue> OperationQueue::make(std::string name, int maxConcurrent) {
    return std::shared_ptr<OperationQueue>(new OperationQueue(std::move(name), maxConcurrent, false));
}

const std::shared_ptr<OperationQueue>& OperationQueue::main() {
    // Never destroyed, like the dispatch queues it runs on.
    static const auto* q = new std::shared_ptr<OperationQueue>(new OperationQueue("main", 1, true));
    return *q;
}

std::shared_ptr<OperationQueue> OperationQueue::current() {
    if (auto q = tCurrentOperationQueue.lock()) return q;
    if (RunLoop::isMainThread()) return main();
    return nullptr;
}

bool OperationQueue::isCurrent() const {
    if (isMain_) return RunLoop::isMainThread();
    return tCurrentOperationQueue.lock().get() == this;
}

int OperationQueue::maxConcurrentOperationCount() const {
    std::lock_guard lock(mutex_);
    return max_;
}

void OperationQueue::setMaxConcurrentOperationCount(int n) {
    std::unique_lock lock(mutex_);
    max_ = isMain_ ? 1 : (n == 0 ? 1 : n);
    startMoreLocked(lock);
}

void OperationQueue::addOperation(Operation::Block block) { addOperation(Operation::withBlock(std::move(block))); }

void OperationQueue::addOperation(const std::shared_ptr<Operation>& op) {
    if (!op) return;
    std::unique_lock lock(mutex_);
    waiting_.push_back(op);
    startMoreLocked(lock);
}

void OperationQueue::startMoreLocked(std::unique_lock<std::mutex>& lock) {
    size_t limit = max_ < 0 ? size_t(std::max(4u, std::thread::hardware_concurrency() * 2)) : size_t(max_);
    while (!waiting_.empty() && running_ < limit) {
        auto op = waiting_.front();
        waiting_.pop_front();
        ++running_;
        runningOps_.push_back(op);
        auto self = shared_from_this();
        auto job = [self, op] { self->runOperation(op); };
        if (isMain_) RunLoop::main()->post(job);
        else DispatchQueue::global()->async(job);
    }
}

void OperationQueue::runOperation(const std::shared_ptr<Operation>& op) {
    auto saved = tCurrentOperationQueue;
    tCurrentOperationQueue = weak_from_this();
    op->start();
    tCurrentOperationQueue = saved;
    std::unique_lock lock(mutex_);
    --running_;
    std::erase(runningOps_, op);
    startMoreLocked(lock);
    cv_.notify_all();
}

void OperationQueue::cancelAllOperations() {
    std::lock_guard lock(mutex_);
    for (auto& op : waiting_) op->cancel();
    for (auto& op : runningOps_) op->cancel();
}

bool OperationQueue::waitUntilAllOperationsAreFinished(TimeInterval timeout) {
    std::unique_lock lock(mutex_);
    auto idle = [this] { return waiting_.empty() && running_ == 0; };
    if (isMain_ && RunLoop::isMainThread()) {
        lock.unlock();
        return RunLoop::main()->runUntil(
            [this] {
                std::lock_guard l(mutex_);
                return waiting_.empty() && running_ == 0;
            },
            timeout < 0 ? 1e9 : timeout);
    }
    if (timeout < 0) {
        cv_.wait(lock, idle);
        return true;
    }
    return cv_.wait_for(lock, std::chrono::duration<double>(timeout), idle);
}

size_t OperationQueue::operationCount() const {
    std::lock_guard lock(mutex_);
    return waiting_.size() + running_;
}

}  // namespace quorvane::platform
