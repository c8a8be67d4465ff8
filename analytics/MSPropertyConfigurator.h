#pragma once
// The property configurator of a transmission target: default event properties for the events
// tracked through the target (and its children), and overrides of the application and user
// fields of the Common Schema logs sent for the target. For the application version, name and
// locale and the user id, the nearest target up the chain that sets a value wins; the device id
// is the target's own, and only after collectDeviceId.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "analytics/MSEventProperties.h"
#include "platform/foundation/ForkSafeMutex.h"
#include "telemetry/MSChannelDelegate.h"

namespace quorvane {

class MSAnalyticsTransmissionTarget;

class MSPropertyConfigurator : public MSChannelDelegate {
public:
    explicit MSPropertyConfigurator(const std::shared_ptr<MSAnalyticsTransmissionTarget>& transmissionTarget);

    // None removes the override.
    void setAppVersion(std::optional<std::string> appVersion);
    void setAppName(std::optional<std::string> appName);
    void setAppLocale(std::optional<std::string> appLocale);
    std::optional<std::string> appVersion() const;
    std::optional<std::string> appName() const;
    std::optional<std::string> appLocale() const;
    // Kept as "c:<id>" when valid for the One Collector; a refused id keeps the earlier one, none
    // removes it.
    void setUserId(const std::optional<std::string>& userId);
    std::optional<std::string> userId() const;

    // Default properties, set with the event property setters' rules (absent keys and values are
    // refused with an error).
    void setEventPropertyString(const std::optional<std::string>& value, const std::optional<std::string>& key);
    void setEventPropertyDouble(double value, const std::optional<std::string>& key);
    void setEventPropertyInt64(int64_t value, const std::optional<std::string>& key);
    void setEventPropertyBool(bool value, const std::optional<std::string>& key);
    void setEventPropertyDate(const std::optional<platform::Date>& value, const std::optional<std::string>& key);
    void removeEventPropertyForKey(const std::optional<std::string>& key);
    // Copies every default property whose name the set does not hold yet.
    void mergeTypedPropertiesWith(MSEventProperties& properties) const;

    // Sends this machine's device identifier with the target's logs from now on.
    void collectDeviceId();
    std::optional<std::string> deviceId() const;
    // "u:" and an identifier of this machine (its hardware UUID, else one drawn from the
    // system's machine id for this application); none when the system has neither.
    static std::optional<std::string> getDeviceIdentifier();

    std::shared_ptr<MSAnalyticsTransmissionTarget> transmissionTarget() const { return transmissionTarget_.lock(); }

    // Fills the Common Schema logs of its target while they are prepared.
    void prepareLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) override;

private:
    const std::weak_ptr<MSAnalyticsTransmissionTarget> transmissionTarget_;
    MSEventProperties eventProperties_;  // the target's default properties
    mutable platform::ForkSafeMutex mutex_;
    std::optional<std::string> appVersion_;
    std::optional<std::string> appName_;
    std::optional<std::string> appLocale_;
    std::optional<std::string> userId_;
    std::optional<std::string> deviceId_;
};

}  // namespace quorvane
