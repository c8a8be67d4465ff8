#pragma once
// Usage analytics: events, page views and sessions as telemetry logs.
//
// MSAnalytics is the SDK service the facade starts with its channel group. Its class-level
// operations go to the shared instance: an event or page becomes an event or page log enqueued
// on the service's normal unit "Analytics", or, with critical flags, on "Analytics_critical".
// The service's session tracker stamps the session id on the logs of every unit of the group.
// On their way into storage, event and page logs are checked (a bad name drops the log, long
// names and too many or too long properties are cut, all logged under "RevAzezarAnalytics");
// callers never see an error. An optional delegate hears when its event and page logs are sent.
// Events for a transmission target (MSAnalyticsTransmissionTarget), or for the default target
// made from the token given at start, carry the target's token and travel as Common Schema logs
// on the One Collector companions "Analytics/one" and "Analytics_critical/one".

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "analytics/MSAnalyticsConstants.h"
#include "analytics/MSAnalyticsTransmissionTarget.h"
#include "analytics/MSEventLog.h"
#include "analytics/MSPageLog.h"
#include "analytics/MSSessionTracker.h"
#include "platform/foundation/ForkSafeMutex.h"
#include "telemetry/MSServiceAbstract.h"

namespace quorvane {

class MSAnalytics;

// Each call receives the service first; implement only what is needed. Calls come from the
// channel layer's queue.
class MSAnalyticsDelegate {
public:
    virtual ~MSAnalyticsDelegate() = default;
    virtual void willSendEventLog(MSAnalytics&, const std::shared_ptr<MSEventLog>&) {}
    virtual void didSucceedSendingEventLog(MSAnalytics&, const std::shared_ptr<MSEventLog>&) {}
    virtual void didFailSendingEventLog(MSAnalytics&, const std::shared_ptr<MSEventLog>&, const platform::Error&) {}
    virtual void willSendPageLog(MSAnalytics&, const std::shared_ptr<MSPageLog>&) {}
    virtual void didSucceedSendingPageLog(MSAnalytics&, const std::shared_ptr<MSPageLog>&) {}
    virtual void didFailSendingPageLog(MSAnalytics&, const std::shared_ptr<MSPageLog>&, const platform::Error&) {}
};

class MSAnalytics : public MSServiceAbstract, public MSSessionTrackerDelegate, public MSChannelDelegate {
public:
    // ---- class-level operations (the shared instance) ----
    static std::shared_ptr<MSAnalytics> sharedInstance();
    // Stops the current instance's session tracker and forgets the instance.
    static void resetSharedInstance();
    static const char* logTag() { return kMSAnalyticsLogTag; }

    // String properties: a dictionary of string keys and string values; other entries are left
    // out. Flags: 1 normal, 2 critical (low 8 bits; anything else is sent as normal).
    static void trackEvent(const std::string& name, const platform::Value& properties = platform::Value(),
                           uint32_t flags = MSFlagsNormal);
    static void trackEvent(const std::string& name, const std::shared_ptr<MSEventProperties>& properties,
                           uint32_t flags = MSFlagsNormal);
    // Through a transmission target (none: the default target, when there is one); a disabled
    // target drops the event.
    static void trackEvent(const std::string& name, const platform::Value& properties,
                           const std::shared_ptr<MSAnalyticsTransmissionTarget>& target, uint32_t flags);
    static void trackEvent(const std::string& name, const std::shared_ptr<MSEventProperties>& properties,
                           const std::shared_ptr<MSAnalyticsTransmissionTarget>& target, uint32_t flags);
    static void trackPage(const std::string& name, const platform::Value& properties = platform::Value());
    // Holds back (or lets go) the sending of the normal and critical units.
    static void pause();
    static void resume();
    // Automatic page views (MSAnalyticsCategory), off by default.
    static void setAutoPageTrackingEnabled(bool enabled);
    static bool isAutoPageTrackingEnabled();
    // The normal unit's flush interval, 3 to 86400 s; only before the service starts.
    static void setTransmissionInterval(unsigned seconds);
    // Holds back (or lets go) the logs of one transmission target token on the One Collector units.
    static void pauseTransmissionTargetForToken(const std::string& token);
    static void resumeTransmissionTargetForToken(const std::string& token);
    static void setDelegate(std::shared_ptr<MSAnalyticsDelegate> delegate);
    // The top-level target of the token, made on the first request (disabled when made before
    // the service starts); none, with the reason logged, for a malformed token
    // (MSUtility::targetTokenProblem).
    static std::shared_ptr<MSAnalyticsTransmissionTarget> transmissionTargetForToken(const std::string& token);

    // ---- the service ----
    std::string className() const override { return "MSAnalytics"; }
    std::string groupId() const override { return kMSAnalyticsGroupId; }
    std::optional<MSChannelUnitConfiguration> channelUnitConfiguration() const override;
    // The service can start with a transmission target token alone.
    bool isAppSecretRequired() const { return false; }
    void startWithChannelGroup(const std::shared_ptr<MSChannelGroup>& channelGroup,
                               std::optional<std::string> appSecret,
                               std::optional<std::string> transmissionTargetToken, bool fromApplication) override;
    void updateConfigurationWithAppSecret(std::optional<std::string> appSecret,
                                          std::optional<std::string> transmissionTargetToken) override;
    void applyEnabledState(bool enabled) override;
    // Also changes every target handed out and the default target.
    void setEnabled(bool enabled) override;

    // A new top-level target, not kept by the service; none for a malformed token.
    std::shared_ptr<MSAnalyticsTransmissionTarget> createTransmissionTargetForToken(const std::string& token);
    // The target of the token given at start, if any.
    std::shared_ptr<MSAnalyticsTransmissionTarget> defaultTransmissionTarget() const;
    // Held while tracking; the targets' enabled states change under it too.
    platform::ForkSafeRecursiveMutex& serviceLock() { return sharedInstanceLock(); }

    const std::shared_ptr<MSSessionTracker>& sessionTracker() const { return sessionTracker_; }
    std::shared_ptr<MSChannelUnit> criticalChannelUnit() const;
    // The One Collector companions of the two units, looked up until found.
    std::shared_ptr<MSChannelUnit> oneCollectorChannelUnit();
    std::shared_ptr<MSChannelUnit> oneCollectorCriticalChannelUnit();
    uint64_t flushInterval() const;
    std::shared_ptr<MSAnalyticsDelegate> delegate() const;

    // Enqueues on the critical unit when the flags say so, else on the normal unit.
    void sendLog(const std::shared_ptr<MSAbstractLog>& log, uint32_t flags);

    // ---- checks (MSAnalyticsValidation.cpp) ----
    // Accepts the log's name (cut when long) and brings its string properties within limits;
    // false when the name is refused.
    static bool validateLog(MSLogWithNameAndProperties& log);
    static std::optional<std::string> validateEventName(const std::optional<std::string>& name,
                                                        const std::string& logType);
    static std::map<std::string, std::string> validateProperties(
        const std::optional<std::map<std::string, std::string>>& properties, const std::string& logName,
        const std::string& logType);
    // A copy within the limits of events sent to the service's own ingestion.
    static std::shared_ptr<MSEventProperties> validateRevAzezarEventProperties(const MSEventProperties& properties);
    static std::shared_ptr<MSTypedProperty> validateRevAzezarTypedProperty(const MSTypedProperty& property);
    static std::string validateRevAzezarPropertyName(const std::string& name);
    static std::string validateRevAzezarStringTypedPropertyValue(const std::string& value);
    // The entries with string keys and string values.
    static std::map<std::string, std::string> removeInvalidProperties(const platform::Value& properties);

    // ---- MSChannelDelegate ----
    bool shouldFilterLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) override;
    // Each event or page log ends with one call to the delegate: sent, or failed (refused, deleted
    // by disabling, or never stored).
    void didCompleteEnqueueingLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log,
                                  const std::string& internalId, MSEnqueueOutcome outcome) override;
    void willSendLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) override;
    void didSucceedSendingLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) override;
    void didFailSendingLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log,
                           const platform::Error& error) override;

    // ---- MSSessionTrackerDelegate: start-session logs go out as normal logs ----
    void sessionTrackerProcessLog(MSSessionTracker& tracker, const std::shared_ptr<MSAbstractLog>& log) override;

private:
    MSAnalytics();
    static std::shared_ptr<MSAnalytics> make();
    void trackEventWithProperties(const std::string& name, std::shared_ptr<MSEventProperties> properties,
                                  std::shared_ptr<MSAnalyticsTransmissionTarget> target, uint32_t flags);
    void trackPageWithProperties(const std::string& name, const platform::Value& properties);
    // Tracks the page view that automatic page tracking missed, if any.
    static void replayMissedPageView();
    void pauseOrResume(bool pause);
    // The critical unit and the companions of both units.
    void setOtherUnitsEnabled(bool enabled);
    void pauseOrResumeToken(const std::string& token, bool pause);
    std::shared_ptr<MSChannelUnit> companion(std::shared_ptr<MSChannelUnit>& found, const std::string& groupId);

    const std::shared_ptr<MSSessionTracker> sessionTracker_;
    mutable platform::ForkSafeMutex mutex_;
    bool autoPageTrackingEnabled_ = false;
    std::shared_ptr<MSAnalyticsDelegate> delegate_;
    uint64_t flushInterval_ = kMSFlushIntervalMinimum;
    std::shared_ptr<MSChannelUnit> criticalChannelUnit_;
    std::shared_ptr<MSChannelUnit> oneCollectorChannelUnit_;
    std::shared_ptr<MSChannelUnit> oneCollectorCriticalChannelUnit_;
    std::map<std::string, std::shared_ptr<MSAnalyticsTransmissionTarget>> transmissionTargets_;
    std::shared_ptr<MSAnalyticsTransmissionTarget> defaultTransmissionTarget_;
};

// Registers the archivable analytics classes with the keyed archiver (once per process).
void registerAnalyticsClasses();

}  // namespace quorvane
