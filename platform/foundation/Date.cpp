#include "platform/foundation/Date.h"

#include <mutex>

namespace quorvane::platform {

namespace {
// Never destroyed: threads that outlive main (the delayed-block scheduler) still read the clock
// while the process's statics are being torn down.
std::mutex& clockMutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::shared_ptr<const Clock>& installedClock() {
    static auto* c = new std::shared_ptr<const Clock>;
    return *c;
}
}  // namespace

Date SystemClock::now() const {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return Date::fromUnix(std::chrono::duration<double>(since).count());
}

double SystemClock::monotonic() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::shared_ptr<const Clock> Clock::current() {
    static const auto& system = *new std::shared_ptr<const Clock>(std::make_shared<const SystemClock>());
    std::lock_guard lock(clockMutex());
    return installedClock() ? installedClock() : system;
}

void Clock::setCurrent(std::shared_ptr<Clock> clock) {
    std::lock_guard lock(clockMutex());
    installedClock() = std::move(clock);
}

Date Date::now() { return Clock::current()->now(); }

TimeInterval Date::timeIntervalSinceNow() const { return secs_ - Date::now().secs_; }

}  // namespace quorvane::platform
