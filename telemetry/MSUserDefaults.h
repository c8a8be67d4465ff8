#pragma once
// The SDK's user-defaults store over the platform's user defaults; keys are used unchanged.

#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/foundation/Value.h"
#include "platform/store/UserDefaults.h"

namespace quorvane {

class MSUserDefaults {
public:
    static MSUserDefaults& shared();
    // Points the shared store at other defaults (nullptr: the standard ones again). Tests use it
    // to reopen a defaults file as a restarted process would.
    static void resetSharedWithDefaults(std::shared_ptr<platform::UserDefaults> defaults);

    std::optional<platform::Value> objectForKey(std::string_view key) const;
    void setObject(const platform::Value& value, std::string_view key);
    void removeObjectForKey(std::string_view key);
    // The key's value as `update` makes it of what the file holds now (platform::UserDefaults).
    void updateObject(std::string_view key,
                      const std::function<std::optional<platform::Value>(const platform::Value* stored)>& update);
    // See platform::UserDefaults::objectOnce.
    platform::Value objectOnce(std::string_view key, const platform::Value& value,
                               const std::function<bool(const platform::Value&)>& holds = nullptr);

private:
    std::shared_ptr<platform::UserDefaults> defaults() const;
};

}  // namespace quorvane
