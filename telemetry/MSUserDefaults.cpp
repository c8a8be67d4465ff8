#include "telemetry/MSUserDefaults.h"

#include <mutex>

#include "platform/foundation/ForkSafeMutex.h"

namespace quorvane {

namespace {
platform::ForkSafeMutex& backingMutex() {
    static auto& m = *new platform::ForkSafeMutex;  // never destroyed: threads may use it while the process exits
    return m;
}
std::shared_ptr<platform::UserDefaults>& backing = *new std::shared_ptr<platform::UserDefaults>;
}  // namespace

MSUserDefaults& MSUserDefaults::shared() {
    static auto& instance = *new MSUserDefaults;
    return instance;
}

void MSUserDefaults::resetSharedWithDefaults(std::shared_ptr<platform::UserDefaults> defaults) {
    std::lock_guard lock(backingMutex());
    backing = std::move(defaults);
}

std::shared_ptr<platform::UserDefaults> MSUserDefaults::defaults() const {
    std::lock_guard lock(backingMutex());
    return backing ? backing : platform::UserDefaults::standardUserDefaults();
}

std::optional<platform::Value> MSUserDefaults::objectForKey(std::string_view key) const {
    return defaults()->objectForKey(key);
}
void MSUserDefaults::setObject(const platform::Value& value, std::string_view key) { defaults()->setObject(value, key); }
void MSUserDefaults::removeObjectForKey(std::string_view key) { defaults()->removeObjectForKey(key); }
void MSUserDefaults::updateObject(
    std::string_view key, const std::function<std::optional<platform::Value>(const platform::Value* stored)>& update) {
    defaults()->updateObject(key, update);
}
platform::Value MSUserDefaults::objectOnce(std::string_view key, const platform::Value& value,
                                           const std::function<bool(const platform::Value&)>& holds) {
    return defaults()->objectOnce(key, value, holds);
}

}  // namespace quorvane
