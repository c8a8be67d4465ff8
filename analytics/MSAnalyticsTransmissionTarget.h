#pragma once
// A transmission target: one tenant token of the One Collector ingestion.
//
// Events tracked through a target carry its token; the channel layer turns them into Common
// Schema logs and sends them on the One Collector companion units. Targets form a tree: the
// analytics service hands out top-level targets by token, and each target hands out children by
// token. A target's enabled state is stored in the SDK's user defaults under a key of its own
// (the service's key, then the tokens from the top-level target down to it), so that no two
// targets share a stored state; a target made while its parent (or, at the top, the service) is
// disabled starts disabled, and changing a target's state changes its whole subtree. Its
// property configurator supplies default event properties, merged from the target up to the
// top-level target (the nearest wins, the event's own properties win over all), and overrides
// of the Common Schema logs' application and user fields. With an authentication provider
// installed, the logs of every enabled target carry the provider's ticket key.

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "analytics/MSAnalyticsAuthenticationProvider.h"
#include "analytics/MSEventProperties.h"
#include "analytics/MSPropertyConfigurator.h"
#include "platform/foundation/ForkSafeMutex.h"
#include "telemetry/MSChannelGroup.h"

namespace quorvane {

class MSAnalyticsTransmissionTarget : public MSChannelDelegate,
                                      public std::enable_shared_from_this<MSAnalyticsTransmissionTarget> {
public:
    // A target for the token under the parent (none: a top-level target), joining the group's
    // delegates when a group is given; none, with the reason logged, for a malformed token.
    static std::shared_ptr<MSAnalyticsTransmissionTarget> initWithTransmissionTargetToken(
        const std::string& token, const std::shared_ptr<MSAnalyticsTransmissionTarget>& parentTarget,
        const std::shared_ptr<MSChannelGroup>& channelGroup);

    const std::string& transmissionTargetToken() const { return transmissionTargetToken_; }
    std::shared_ptr<MSAnalyticsTransmissionTarget> parentTarget() const { return parentTarget_.lock(); }
    const std::string& isEnabledKey() const { return isEnabledKey_; }
    const std::shared_ptr<MSChannelGroup>& channelGroup() const { return channelGroup_; }
    const std::shared_ptr<MSPropertyConfigurator>& propertyConfigurator() const { return propertyConfigurator_; }

    // The child of the token, made on the first request; none for a malformed token.
    std::shared_ptr<MSAnalyticsTransmissionTarget> transmissionTargetForToken(const std::string& token);
    std::map<std::string, std::shared_ptr<MSAnalyticsTransmissionTarget>> childTransmissionTargets() const;

    // String properties: entries whose value is not a string are refused with an error.
    void trackEvent(const std::string& name, const platform::Value& properties = platform::Value(),
                    uint32_t flags = MSFlagsNormal);
    void trackEvent(const std::string& name, const std::shared_ptr<MSEventProperties>& properties,
                    uint32_t flags = MSFlagsNormal);

    // The target's own stored state (the parent's is not consulted).
    bool isEnabled() const;
    // Changes the state of the target and of its whole subtree; enabling is refused (with a
    // warning) while the parent, or the service for a top-level target, is disabled.
    void setEnabled(bool enabled);
    // Holds back (or lets go) the sending of the target's logs.
    void pause();
    void resume();
    // The parent is enabled or, for a top-level target, the service is usable and enabled.
    bool isImmediateParent() const;

    // The one provider of all targets; asked for a token at once.
    static void addAuthenticationProvider(const std::shared_ptr<MSAnalyticsAuthenticationProvider>& provider);
    static std::shared_ptr<MSAnalyticsAuthenticationProvider> authenticationProvider();
    static void setAuthenticationProvider(std::shared_ptr<MSAnalyticsAuthenticationProvider> provider);

    // Puts the provider's ticket key on the Common Schema logs of the token.
    void prepareLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) override;

private:
    MSAnalyticsTransmissionTarget(std::string token, const std::shared_ptr<MSAnalyticsTransmissionTarget>& parent,
                                  std::shared_ptr<MSChannelGroup> channelGroup);

    const std::string transmissionTargetToken_;
    const std::weak_ptr<MSAnalyticsTransmissionTarget> parentTarget_;
    const std::shared_ptr<MSChannelGroup> channelGroup_;
    const std::string isEnabledKey_;
    std::shared_ptr<MSPropertyConfigurator> propertyConfigurator_;
    mutable platform::ForkSafeMutex childrenMutex_;
    std::map<std::string, std::shared_ptr<MSAnalyticsTransmissionTarget>> childTransmissionTargets_;
};

}  // namespace quorvane
