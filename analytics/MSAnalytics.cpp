#include "analytics/MSAnalytics.h"

#include "analytics/MSAnalyticsCategory.h"
#include "analytics/MSStartSessionLog.h"
#include "platform/foundation/ForkSafeMutex.h"
#include "platform/foundation/UUID.h"
#include "telemetry/MSDispatcherUtil.h"
#include "telemetry/MSLogger.h"
#include "telemetry/MSSessionContext.h"
#include "telemetry/MSTelemetryClasses.h"
#include "telemetry/MSUserIdContext.h"
#include "telemetry/MSUtility.h"

namespace quorvane {

namespace {

// The process-wide instance; retired instances are kept, as threads of the channel layer may
// still hold them while the process exits.
struct InstanceSlot {
    platform::ForkSafeMutex mutex;
    std::shared_ptr<MSAnalytics> instance;
    std::vector<std::shared_ptr<MSAnalytics>> retired;
};
InstanceSlot& slot() {
    static auto* s = new InstanceSlot();
    return *s;
}

std::string criticalGroupId() { return std::string(kMSAnalyticsGroupId) + "_" + kMSAnalyticsCriticalGroupIdSuffix; }

}  // namespace

void registerAnalyticsClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        registerTelemetryClasses();
        platform::ArchiveClassRegistry::registerClass(MSEventLog::kClassInfo, [] { return std::make_shared<MSEventLog>(); });
        platform::ArchiveClassRegistry::registerClass(MSPageLog::kClassInfo, [] { return std::make_shared<MSPageLog>(); });
        platform::ArchiveClassRegistry::registerClass(MSStartSessionLog::kClassInfo,
                                                      [] { return std::make_shared<MSStartSessionLog>(); });
        platform::ArchiveClassRegistry::registerClass(MSEventProperties::kClassInfo,
                                                      [] { return std::make_shared<MSEventProperties>(); });
    });
}

// ---- the shared instance ----

MSAnalytics::MSAnalytics() : sessionTracker_(std::make_shared<MSSessionTracker>()) {}

std::shared_ptr<MSAnalytics> MSAnalytics::make() {
    registerAnalyticsClasses();
    std::shared_ptr<MSAnalytics> service(new MSAnalytics());
    service->init();
    service->sessionTracker_->setDelegate(std::static_pointer_cast<MSSessionTrackerDelegate>(service));
    return service;
}

std::shared_ptr<MSAnalytics> MSAnalytics::sharedInstance() {
    auto& s = slot();
    std::lock_guard lock(s.mutex);
    if (!s.instance) s.instance = make();
    return s.instance;
}

void MSAnalytics::resetSharedInstance() {
    auto& s = slot();
    std::shared_ptr<MSAnalytics> retired;
    {
        std::lock_guard lock(s.mutex);
        retired = std::move(s.instance);
        if (retired) s.retired.push_back(retired);
    }
    if (!retired) return;
    retired->sessionTracker_->stop();
    // A retired instance hears nothing more of the channel layer: the next instance does.
    if (auto group = retired->channelGroup()) {
        group->removeDelegate(retired->sessionTracker_);
        group->removeDelegate(std::static_pointer_cast<MSChannelDelegate>(retired));
    }
}

// ---- class-level operations ----

void MSAnalytics::trackEvent(const std::string& name, const platform::Value& properties, uint32_t flags) {
    auto service = sharedInstance();
    std::lock_guard lock(service->sharedInstanceLock());
    trackEvent(name, properties, nullptr, flags);
}

void MSAnalytics::trackEvent(const std::string& name, const std::shared_ptr<MSEventProperties>& properties,
                             uint32_t flags) {
    trackEvent(name, properties, nullptr, flags);
}

void MSAnalytics::trackEvent(const std::string& name, const platform::Value& properties,
                             const std::shared_ptr<MSAnalyticsTransmissionTarget>& target, uint32_t flags) {
    auto service = sharedInstance();
    std::lock_guard lock(service->sharedInstanceLock());
    auto typed = std::make_shared<MSEventProperties>(removeInvalidProperties(properties));
    service->trackEventWithProperties(name, std::move(typed), target, flags);
}

void MSAnalytics::trackEvent(const std::string& name, const std::shared_ptr<MSEventProperties>& properties,
                             const std::shared_ptr<MSAnalyticsTransmissionTarget>& target, uint32_t flags) {
    auto service = sharedInstance();
    std::lock_guard lock(service->sharedInstanceLock());
    service->trackEventWithProperties(name, properties ? properties : std::make_shared<MSEventProperties>(), target,
                                      flags);
}

void MSAnalytics::trackPage(const std::string& name, const platform::Value& properties) {
    sharedInstance()->trackPageWithProperties(name, properties);
}

void MSAnalytics::pause() { sharedInstance()->pauseOrResume(true); }
void MSAnalytics::resume() { sharedInstance()->pauseOrResume(false); }

void MSAnalytics::setAutoPageTrackingEnabled(bool enabled) {
    auto service = sharedInstance();
    std::lock_guard lock(service->mutex_);
    service->autoPageTrackingEnabled_ = enabled;
}

bool MSAnalytics::isAutoPageTrackingEnabled() {
    auto service = sharedInstance();
    std::lock_guard lock(service->mutex_);
    return service->autoPageTrackingEnabled_;
}

void MSAnalytics::setTransmissionInterval(unsigned seconds) {
    auto service = sharedInstance();
    if (service->started()) {
        MSLogError(kMSAnalyticsLogTag,
                   "The transmission interval should be set before the MSAnalytics service is started.");
        return;
    }
    if (seconds < kMSFlushIntervalMinimum || seconds > kMSFlushIntervalMaximum) {
        MSLogError(kMSAnalyticsLogTag, "The transmission interval is not valid, it should be between " +
                                           std::to_string(kMSFlushIntervalMinimum) + " second(s) and " +
                                           std::to_string(kMSFlushIntervalMaximum) + " second(s) (1 day).");
        return;
    }
    {
        std::lock_guard lock(service->mutex_);
        service->flushInterval_ = seconds;
    }
    MSLogDebug(kMSAnalyticsLogTag, "Transmission interval set to " + std::to_string(seconds) + " second(s)");
}

void MSAnalytics::pauseTransmissionTargetForToken(const std::string& token) {
    sharedInstance()->pauseOrResumeToken(token, true);
}
void MSAnalytics::resumeTransmissionTargetForToken(const std::string& token) {
    sharedInstance()->pauseOrResumeToken(token, false);
}

void MSAnalytics::setDelegate(std::shared_ptr<MSAnalyticsDelegate> delegate) {
    auto service = sharedInstance();
    std::lock_guard lock(service->mutex_);
    service->delegate_ = std::move(delegate);
}

// ---- transmission targets ----

std::shared_ptr<MSAnalyticsTransmissionTarget> MSAnalytics::transmissionTargetForToken(const std::string& token) {
    auto service = sharedInstance();
    std::lock_guard lock(service->sharedInstanceLock());
    {
        std::lock_guard fieldsLock(service->mutex_);
        auto found = service->transmissionTargets_.find(token);
        if (found != service->transmissionTargets_.end()) {
            MSLogDebug(kMSAnalyticsLogTag, "Returning transmission target found with id " +
                                               MSUtility::targetKeyFromTargetToken(token).value_or("") + ".");
            return found->second;
        }
    }
    auto target = service->createTransmissionTargetForToken(token);
    if (!target) return nullptr;
    std::lock_guard fieldsLock(service->mutex_);
    service->transmissionTargets_[token] = target;
    return target;
}

std::shared_ptr<MSAnalyticsTransmissionTarget> MSAnalytics::createTransmissionTargetForToken(const std::string& token) {
    auto target = MSAnalyticsTransmissionTarget::initWithTransmissionTargetToken(token, nullptr, channelGroup());
    if (!target) return nullptr;
    MSLogDebug(kMSAnalyticsLogTag, "Created transmission target with target key " +
                                       MSUtility::targetKeyFromTargetToken(token).value_or("") + ".");
    return target;
}

std::shared_ptr<MSAnalyticsTransmissionTarget> MSAnalytics::defaultTransmissionTarget() const {
    std::lock_guard lock(mutex_);
    return defaultTransmissionTarget_;
}

// ---- start and enabled state ----

std::optional<MSChannelUnitConfiguration> MSAnalytics::channelUnitConfiguration() const {
    return MSChannelUnitConfiguration::initDefaultConfigurationWithGroupId(kMSAnalyticsGroupId,
                                                                          double(flushInterval()));
}

void MSAnalytics::startWithChannelGroup(const std::shared_ptr<MSChannelGroup>& channelGroup,
                                        std::optional<std::string> appSecret,
                                        std::optional<std::string> transmissionTargetToken, bool fromApplication) {
    MSServiceAbstract::startWithChannelGroup(channelGroup, std::move(appSecret), std::move(transmissionTargetToken),
                                             fromApplication);
    if (auto token = defaultTransmissionTargetToken()) {
        auto target = createTransmissionTargetForToken(*token);
        std::lock_guard lock(mutex_);
        defaultTransmissionTarget_ = std::move(target);
    }
    auto critical = channelGroup->addChannelUnitWithConfiguration(
        MSChannelUnitConfiguration::initDefaultConfigurationWithGroupId(criticalGroupId()));
    {
        std::lock_guard lock(mutex_);
        criticalChannelUnit_ = critical;
    }
    // Started disabled: what an earlier run stored is not sent either.
    if (!isEnabled()) {
        if (auto unit = channelUnit()) unit->setEnabled(false, true);
        setOtherUnitsEnabled(false);
    }
    MSLogVerbose(kMSAnalyticsLogTag, "Started Analytics service.");
}

void MSAnalytics::updateConfigurationWithAppSecret(std::optional<std::string> appSecret,
                                                   std::optional<std::string> transmissionTargetToken) {
    MSServiceAbstract::updateConfigurationWithAppSecret(std::move(appSecret), transmissionTargetToken);
    if (!transmissionTargetToken || defaultTransmissionTarget()) return;
    auto target = createTransmissionTargetForToken(*transmissionTargetToken);
    std::lock_guard lock(mutex_);
    if (!defaultTransmissionTarget_) defaultTransmissionTarget_ = std::move(target);
}

void MSAnalytics::setEnabled(bool enabled) {
    MSServiceAbstract::setEnabled(enabled);
    std::vector<std::shared_ptr<MSAnalyticsTransmissionTarget>> targets;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, target] : transmissionTargets_) targets.push_back(target);
        if (defaultTransmissionTarget_) targets.push_back(defaultTransmissionTarget_);
    }
    for (const auto& target : targets) target->setEnabled(enabled);
}

void MSAnalytics::setOtherUnitsEnabled(bool enabled) {
    // The companions hold the events of the transmission targets: disabling stops them too.
    for (const auto& unit : {criticalChannelUnit(), oneCollectorChannelUnit(), oneCollectorCriticalChannelUnit()})
        if (unit) unit->setEnabled(enabled, true);
}

void MSAnalytics::applyEnabledState(bool enabled) {
    MSServiceAbstract::applyEnabledState(enabled);
    setOtherUnitsEnabled(enabled);
    auto self = std::static_pointer_cast<MSAnalytics>(shared_from_this());
    auto group = channelGroup();
    if (enabled) {
        if (startedFromApplication()) {
            pauseOrResume(false);
            sessionTracker_->start();
            if (group) {
                // Once each, also when the state is applied again (a later configuration).
                for (const std::shared_ptr<MSChannelDelegate>& d :
                     {std::static_pointer_cast<MSChannelDelegate>(sessionTracker_),
                      std::static_pointer_cast<MSChannelDelegate>(self)}) {
                    group->removeDelegate(d);
                    group->addDelegate(d);
                }
            }
            bool replay;
            {
                std::lock_guard lock(mutex_);
                replay = autoPageTrackingEnabled_;
            }
            if (replay) replayMissedPageView();
        }
        MSLogInfo(kMSAnalyticsLogTag, "Analytics service has been enabled.");
    } else {
        if (startedFromApplication()) {
            // The service itself stays a delegate: the logs it accepted before still end, each
            // with its one callback (sent, refused, or deleted by this disabling).
            if (group) group->removeDelegate(sessionTracker_);
            sessionTracker_->stop();
            MSSessionContext::sharedInstance().clearSessionHistoryAndKeepCurrentSession(false);
        }
        MSLogInfo(kMSAnalyticsLogTag, "Analytics service has been disabled.");
    }
}

std::shared_ptr<MSChannelUnit> MSAnalytics::criticalChannelUnit() const {
    std::lock_guard lock(mutex_);
    return criticalChannelUnit_;
}

std::shared_ptr<MSChannelUnit> MSAnalytics::companion(std::shared_ptr<MSChannelUnit>& found, const std::string& groupId) {
    {
        std::lock_guard lock(mutex_);
        if (found) return found;
    }
    auto group = channelGroup();
    auto unit = group ? group->channelUnitForGroupId(groupId) : nullptr;
    std::lock_guard lock(mutex_);
    if (!found) found = unit;
    return found;
}

std::shared_ptr<MSChannelUnit> MSAnalytics::oneCollectorChannelUnit() {
    return companion(oneCollectorChannelUnit_, std::string(kMSAnalyticsGroupId) + "/one");
}

std::shared_ptr<MSChannelUnit> MSAnalytics::oneCollectorCriticalChannelUnit() {
    return companion(oneCollectorCriticalChannelUnit_, criticalGroupId() + "/one");
}

uint64_t MSAnalytics::flushInterval() const {
    std::lock_guard lock(mutex_);
    return flushInterval_;
}

std::shared_ptr<MSAnalyticsDelegate> MSAnalytics::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

// ---- tracking ----

void MSAnalytics::replayMissedPageView() {
    // On the main queue, where page views happen; the name stays for a later enabling.
    MSDispatcherUtil::performBlockOnMainThread([] {
        auto name = MSAnalyticsCategory::missedPageViewName();
        if (name && !name->empty()) trackPage(*name);
    });
}

void MSAnalytics::trackEventWithProperties(const std::string& name, std::shared_ptr<MSEventProperties> properties,
                                           std::shared_ptr<MSAnalyticsTransmissionTarget> target, uint32_t flags) {
    if (!canBeUsed() || !isEnabled()) return;
    if (!target) target = defaultTransmissionTarget();
    uint32_t persistence = flags & MSFlagsPersistenceMask;
    if (persistence != MSFlagsNormal && persistence != MSFlagsCritical) {
        MSLogWarning(kMSAnalyticsLogTag,
                     "Invalid flags (" + std::to_string(persistence) + ") received, using normal as a default.");
        persistence = MSFlagsNormal;
    }
    auto log = std::make_shared<MSEventLog>();
    // Events for a transmission target keep their properties as given; the others are held to
    // the limits of the service's own ingestion.
    if (target) {
        if (!target->isEnabled()) {
            MSLogError(kMSAnalyticsLogTag, "This transmission target is disabled.");
            return;
        }
        // Checked here, as the filter does for the other events: these leave as Common Schema logs
        // before any filter sees them.
        auto acceptedName = validateEventName(name, "event");
        if (!acceptedName) return;
        log->name = std::move(*acceptedName);
        // Names split at "." into a tree: one nested deeper than a stored log can hold would be
        // stored and then never read back, so it is refused here (on a copy: the caller's stay).
        std::vector<std::string> tooDeep;
        for (const auto& [propertyName, property] : properties->properties())
            if (size_t(std::count(propertyName.begin(), propertyName.end(), '.')) >= kMSMaxPropertyNameParts)
                tooDeep.push_back(propertyName);
        if (!tooDeep.empty()) properties = std::make_shared<MSEventProperties>(*properties);
        for (const auto& propertyName : tooDeep) {
            MSLogWarning(kMSAnalyticsLogTag, "Event '" + *log->name + "' : property '" + propertyName.substr(0, 64) +
                                                 "...' has more than " + std::to_string(kMSMaxPropertyNameParts) +
                                                 " dotted parts, more than a stored log can hold. Property will be skipped.");
            properties->removeProperty(propertyName);
        }
        log->addTransmissionTargetToken(target->transmissionTargetToken());
        log->tag = target;
        if (target == defaultTransmissionTarget()) log->userId = MSUserIdContext::sharedInstance().userId();
    } else {
        properties = validateRevAzezarEventProperties(*properties);
        log->name = name;
    }
    log->eventId = platform::UUID().uuidString();
    if (!properties->isEmpty()) log->typedProperties = std::move(properties);
    sendLog(log, persistence);
}

void MSAnalytics::trackPageWithProperties(const std::string& name, const platform::Value& properties) {
    std::lock_guard lock(sharedInstanceLock());
    if (!canBeUsed() || !isEnabled()) return;
    auto log = std::make_shared<MSPageLog>();
    log->name = name;
    if (properties.size() > 0) {
        auto cleaned = removeInvalidProperties(properties);
        log->properties = std::move(cleaned);
    }
    sendLog(log, MSFlagsNormal);
}

void MSAnalytics::sendLog(const std::shared_ptr<MSAbstractLog>& log, uint32_t flags) {
    auto unit = (flags & MSFlagsCritical) ? criticalChannelUnit() : channelUnit();
    if (unit) unit->enqueueItem(log, flags);
}

void MSAnalytics::sessionTrackerProcessLog(MSSessionTracker&, const std::shared_ptr<MSAbstractLog>& log) {
    sendLog(log, MSFlagsNormal);
}

void MSAnalytics::pauseOrResume(bool pause) {
    std::lock_guard lock(sharedInstanceLock());
    if (!canBeUsed()) return;
    for (const auto& unit : {channelUnit(), criticalChannelUnit()}) {
        if (!unit) continue;
        if (pause) unit->pauseWithIdentifyingObject(this);
        else unit->resumeWithIdentifyingObject(this);
    }
}

void MSAnalytics::pauseOrResumeToken(const std::string& token, bool pause) {
    for (const auto& unit : {oneCollectorChannelUnit(), oneCollectorCriticalChannelUnit()}) {
        if (!unit) continue;
        if (pause) unit->pauseSendingLogsWithToken(token);
        else unit->resumeSendingLogsWithToken(token);
    }
}

// ---- what the channel layer tells ----

void MSAnalytics::willSendLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log) {
    auto d = delegate();
    if (!d) return;
    if (auto event = std::dynamic_pointer_cast<MSEventLog>(log)) d->willSendEventLog(*this, event);
    else if (auto page = std::dynamic_pointer_cast<MSPageLog>(log)) d->willSendPageLog(*this, page);
}

void MSAnalytics::didSucceedSendingLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log) {
    auto d = delegate();
    if (!d) return;
    if (auto event = std::dynamic_pointer_cast<MSEventLog>(log)) d->didSucceedSendingEventLog(*this, event);
    else if (auto page = std::dynamic_pointer_cast<MSPageLog>(log)) d->didSucceedSendingPageLog(*this, page);
}

void MSAnalytics::didCompleteEnqueueingLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log,
                                           const std::string&, MSEnqueueOutcome outcome) {
    // An event or page that never reached the store hears so once, as a failure. A target's event
    // leaves this unit on purpose, for its companion.
    if (outcome == MSEnqueueOutcome::Stored) return;
    if (auto tokens = log->transmissionTargetTokens(); tokens && !tokens->empty()) return;
    platform::Error error(kMSAnalyticsLogTag, int(outcome));
    error.userInfo.set(platform::Error::kLocalizedDescriptionKey,
                       outcome == MSEnqueueOutcome::Discarded
                           ? "The log was not stored: it was refused, or the service was disabled."
                           : "The log was not stored: the log store could not take it.");
    didFailSendingLog(unit, log, error);
}

void MSAnalytics::didFailSendingLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log,
                                    const platform::Error& error) {
    auto d = delegate();
    if (!d) return;
    if (auto event = std::dynamic_pointer_cast<MSEventLog>(log)) d->didFailSendingEventLog(*this, event, error);
    else if (auto page = std::dynamic_pointer_cast<MSPageLog>(log)) d->didFailSendingPageLog(*this, page, error);
}

}  // namespace quorvane
