#pragma once
// The base of the SDK's services (crash reporting, analytics): enabled state kept in the SDK's
// user defaults under "kMS<group id>IsEnabledKey", and one channel unit in the facade's group.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/ForkSafeMutex.h"
#include "telemetry/MSChannelGroup.h"
#include "telemetry/MSChannelUnitConfiguration.h"

namespace quorvane {

class MSServiceAbstract : public std::enable_shared_from_this<MSServiceAbstract> {
public:
    virtual ~MSServiceAbstract() = default;

    // The class name, such as "MSAnalytics"; messages use it less its first two characters.
    virtual std::string className() const = 0;
    virtual std::string groupId() const = 0;
    virtual int initializationPriority() const { return 500; }
    virtual std::optional<MSChannelUnitConfiguration> channelUnitConfiguration() const = 0;
    std::string serviceName() const { return className().substr(std::min<size_t>(2, className().size())); }

    const std::string& isEnabledKey() const { return isEnabledKey_; }
    // The stored state; YES when nothing is stored.
    bool isEnabled() const;
    // Applies the new state first (isEnabled still answers the old one meanwhile), then stores it.
    virtual void setEnabled(bool enabled);
    // Enables or disables the service's unit, deleting its logs when disabling.
    virtual void applyEnabledState(bool enabled);

    // The facade is configured and the service started; otherwise logged at error level.
    bool canBeUsed() const;
    bool isAvailable() const { return isEnabled() && started(); }
    bool started() const;
    bool startedFromApplication() const;

    virtual void startWithChannelGroup(const std::shared_ptr<MSChannelGroup>& channelGroup,
                                       std::optional<std::string> appSecret,
                                       std::optional<std::string> transmissionTargetToken, bool fromApplication);
    virtual void updateConfigurationWithAppSecret(std::optional<std::string> appSecret,
                                                  std::optional<std::string> transmissionTargetToken);

    std::shared_ptr<MSChannelUnit> channelUnit() const;
    std::shared_ptr<MSChannelGroup> channelGroup() const;
    std::optional<std::string> appSecret() const;
    std::optional<std::string> defaultTransmissionTargetToken() const;

    // The class-level state of a service's shared instance, under that instance's lock: usable
    // and enabled; and the change of it, refused while the whole SDK is disabled.
    static bool isEnabledForSharedInstance(MSServiceAbstract& instance);
    static void setEnabledForSharedInstance(MSServiceAbstract& instance, bool enabled);

protected:
    MSServiceAbstract() = default;
    // Builds the enabled-state key; call once after construction (the group id is virtual).
    void init();
    platform::ForkSafeRecursiveMutex& sharedInstanceLock() { return sharedLock_; }

private:
    platform::ForkSafeRecursiveMutex sharedLock_;
    mutable platform::ForkSafeMutex mutex_;
    std::string isEnabledKey_;
    bool started_ = false;
    bool startedFromApplication_ = false;
    std::shared_ptr<MSChannelGroup> channelGroup_;
    std::shared_ptr<MSChannelUnit> channelUnit_;
    std::optional<std::string> appSecret_;
    std::optional<std::string> defaultTransmissionTargetToken_;
};

}  // namespace quorvane
