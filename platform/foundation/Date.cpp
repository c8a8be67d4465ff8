#include "platform/foundation/Date.h"

#include <mutex>

namespace quorvane::platform {

namespace {
std::mutex gClockMutex;
std::shared_ptr<const Clock> gClock;
}  // namespace

Date SystemClock::now() const {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return Date::fromUnix(std::chrono::duration<double>(since).count());
}

double SystemClock::monotonic() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::shared_ptr<const Clock> Clock::current() {
    static const auto system = std::make_shared<const SystemClock>();
    std::lock_guard lock(gClockMutex);
    return gClock ? gClock : system;
}

void Clock::setCurrent(std::shared_ptr<Clock> clock) {
    std::lock_guard lock(gClockMutex);
    gClock = std::move(clock);
}

Date Date::now() { return Clock::current()->now(); }

TimeInterval Date::timeIntervalSinceNow() const { return secs_ - Date::now().secs_; }

}  // namespace quorvane::platform
