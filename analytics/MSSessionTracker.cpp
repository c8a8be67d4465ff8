#include "analytics/MSSessionTracker.h"

#include "analytics/MSAnalyticsConstants.h"
#include "analytics/MSStartSessionLog.h"
#include "platform/foundation/UUID.h"
#include "platform/runloop/Application.h"
#include "telemetry/MSLogger.h"
#include "telemetry/MSSessionContext.h"
#include "telemetry/MSStartServiceLog.h"
#include "telemetry/MSUserDefaults.h"
#include "telemetry/MSUtility.h"

namespace quorvane {

MSSessionTracker::MSSessionTracker() : context_(MSSessionContext::sharedInstance()) {
    MSUserDefaults::shared().removeObjectForKey(kMSPastSessionsKey);
}

MSSessionTracker::~MSSessionTracker() {
    auto& center = platform::NotificationCenter::defaultCenter();
    if (resignObserver_) center.removeObserver(resignObserver_);
    if (becomeActiveObserver_) center.removeObserver(becomeActiveObserver_);
}

std::shared_ptr<MSSessionTrackerDelegate> MSSessionTracker::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void MSSessionTracker::setDelegate(std::weak_ptr<MSSessionTrackerDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

double MSSessionTracker::sessionTimeout() const {
    std::lock_guard lock(mutex_);
    return sessionTimeout_;
}

void MSSessionTracker::setSessionTimeout(double seconds) {
    std::lock_guard lock(mutex_);
    sessionTimeout_ = seconds;
}

void MSSessionTracker::setClock(std::shared_ptr<const platform::Clock> clock) {
    std::lock_guard lock(mutex_);
    clock_ = std::move(clock);
}

platform::Date MSSessionTracker::now() const {
    std::shared_ptr<const platform::Clock> clock;
    {
        std::lock_guard lock(mutex_);
        clock = clock_;
    }
    return clock ? clock->now() : platform::Date::now();
}

std::optional<platform::Date> MSSessionTracker::lastCreatedLogTime() const {
    std::lock_guard lock(mutex_);
    return lastCreatedLogTime_;
}
std::optional<platform::Date> MSSessionTracker::lastEnteredForegroundTime() const {
    std::lock_guard lock(mutex_);
    return lastEnteredForegroundTime_;
}
std::optional<platform::Date> MSSessionTracker::lastEnteredBackgroundTime() const {
    std::lock_guard lock(mutex_);
    return lastEnteredBackgroundTime_;
}
bool MSSessionTracker::isStarted() const {
    std::lock_guard lock(mutex_);
    return started_;
}

void MSSessionTracker::start() {
    {
        std::lock_guard lock(mutex_);
        if (started_) return;
        started_ = true;
    }
    // Off the main thread the state reads as unknown; the application's own hidden flag still
    // tells, so an SDK started from a worker thread begins its session too.
    auto state = MSUtility::applicationState();
    if (state == MSApplicationState::Unknown && !MSUtility::isAppExtension())
        state = platform::Application::shared().isHidden() ? MSApplicationState::Background : MSApplicationState::Active;
    if (int(state) < int(MSApplicationState::Background)) renewSessionId();
    // Observers hold the tracker weakly: they never keep it alive, and die with it.
    std::weak_ptr<MSSessionTracker> weak = weak_from_this();
    auto& center = platform::NotificationCenter::defaultCenter();
    auto resign = center.addObserver(platform::kApplicationDidResignActiveNotification, nullptr, nullptr,
                                     [weak](const platform::Notification&) {
                                         if (auto self = weak.lock()) self->applicationDidEnterBackground();
                                     });
    auto active = center.addObserver(platform::kApplicationWillBecomeActiveNotification, nullptr, nullptr,
                                     [weak](const platform::Notification&) {
                                         if (auto self = weak.lock()) self->applicationWillEnterForeground();
                                     });
    std::lock_guard lock(mutex_);
    resignObserver_ = std::move(resign);
    becomeActiveObserver_ = std::move(active);
}

void MSSessionTracker::stop() {
    platform::NotificationCenter::TokenPtr resign, active;
    {
        std::lock_guard lock(mutex_);
        if (!started_) return;
        started_ = false;
        resign = std::move(resignObserver_);
        active = std::move(becomeActiveObserver_);
    }
    auto& center = platform::NotificationCenter::defaultCenter();
    if (resign) center.removeObserver(resign);
    if (active) center.removeObserver(active);
    context_.setSessionId(std::nullopt);
}

void MSSessionTracker::renewSessionId() {
    std::lock_guard session(sessionLock_);
    if (!isStarted()) return;
    if (context_.sessionId() && !hasSessionTimedOut()) return;
    const std::string sessionId = platform::UUID().uuidString();
    context_.setSessionId(sessionId);
    MSLogInfo(kMSAnalyticsLogTag, "New session ID: " + sessionId);
    auto log = std::make_shared<MSStartSessionLog>();
    log->sid = sessionId;
    if (auto d = delegate()) d->sessionTrackerProcessLog(*this, log);
}

bool MSSessionTracker::hasSessionTimedOut() const {
    std::lock_guard session(sessionLock_);
    const platform::Date current = now();
    std::lock_guard lock(mutex_);
    const double timeout = sessionTimeout_;
    const bool noLogSentForLong =
        !lastCreatedLogTime_ || current.timeIntervalSince(*lastCreatedLogTime_) >= timeout;
    if (MSUtility::isAppExtension()) return noLogSentForLong;
    const auto& background = lastEnteredBackgroundTime_;
    const auto& foreground = lastEnteredForegroundTime_;
    const bool isBackgroundForLong = background && foreground && *background > *foreground &&
                                     current.timeIntervalSince(*background) >= timeout;
    const bool wasBackgroundForLong =
        background && (foreground ? foreground->timeIntervalSince(*background) : 0.0) >= timeout;
    return noLogSentForLong && (isBackgroundForLong || wasBackgroundForLong);
}

void MSSessionTracker::applicationDidEnterBackground() {
    const auto time = now();
    std::lock_guard lock(mutex_);
    lastEnteredBackgroundTime_ = time;
}

void MSSessionTracker::applicationWillEnterForeground() {
    const auto time = now();
    {
        std::lock_guard lock(mutex_);
        lastEnteredForegroundTime_ = time;
    }
    renewSessionId();
}

void MSSessionTracker::prepareLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log) {
    const MSAbstractLog* raw = log.get();
    if (dynamic_cast<const MSStartSessionLog*>(raw) || dynamic_cast<const MSStartServiceLog*>(raw)) return;
    if (!dynamic_cast<const MSNoAutoAssignSessionIdLog*>(raw)) log->sid = context_.sessionId();
    const auto time = now();
    std::lock_guard lock(mutex_);
    lastCreatedLogTime_ = time;
}

}  // namespace quorvane
