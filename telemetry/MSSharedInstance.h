#pragma once
// The slot of a process-wide instance that tests can replace, as a restarted process would make
// a new one. Replaced instances are kept (earlier references stay valid), and the slot is never
// destroyed: threads still running at exit may reach it.

#include <memory>
#include <mutex>
#include <vector>

#include "platform/foundation/ForkSafeMutex.h"

namespace quorvane {

template <class T>
class MSSharedInstance {
public:
    static MSSharedInstance& slot() {
        static auto* s = new MSSharedInstance();
        return *s;
    }
    T& get() {
        std::lock_guard lock(mutex_);
        if (!instance_) instance_ = std::make_unique<T>();
        return *instance_;
    }
    // The current instance is retired; the next get() makes a new one. Returns the retired one
    // (null when there was none), which the slot keeps.
    T* reset() {
        std::lock_guard lock(mutex_);
        if (!instance_) return nullptr;
        retired_.push_back(std::move(instance_));
        return retired_.back().get();
    }

private:
    platform::ForkSafeMutex mutex_;
    std::unique_ptr<T> instance_;
    std::vector<std::unique_ptr<T>> retired_;
};

}  // namespace quorvane
