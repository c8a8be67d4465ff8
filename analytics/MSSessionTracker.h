#pragma once
// Gives every log of the SDK a session id. A session begins when the tracker starts with the
// application visible, and when the application becomes active after a session timed out: no
// log was prepared for the time-out and the application spent at least that long in the
// background. Each new session is recorded in the shared session context and announced with a
// start-session log handed to the delegate. As a delegate of the channel group, the tracker
// stamps the current session id on every log prepared on any unit, except start-session and
// start-service logs and logs that keep their own session id (MSNoAutoAssignSessionIdLog).

#include <memory>
#include <mutex>
#include <optional>

#include "platform/foundation/Date.h"
#include "platform/foundation/ForkSafeMutex.h"
#include "platform/runloop/NotificationCenter.h"
#include "telemetry/MSChannelDelegate.h"

namespace quorvane {

class MSSessionContext;
class MSSessionTracker;

class MSSessionTrackerDelegate {
public:
    virtual ~MSSessionTrackerDelegate() = default;
    virtual void sessionTrackerProcessLog(MSSessionTracker& tracker, const std::shared_ptr<MSAbstractLog>& log) = 0;
};

class MSSessionTracker : public MSChannelDelegate, public std::enable_shared_from_this<MSSessionTracker> {
public:
    static constexpr double kMSDefaultSessionTimeout = 20.0;
    static constexpr const char* kMSPastSessionsKey = "pastSessionsKey";

    // Forgets the old past-sessions entry of the SDK's user defaults.
    MSSessionTracker();
    ~MSSessionTracker() override;

    MSSessionContext& context() const { return context_; }
    std::shared_ptr<MSSessionTrackerDelegate> delegate() const;
    void setDelegate(std::weak_ptr<MSSessionTrackerDelegate> delegate);
    double sessionTimeout() const;
    void setSessionTimeout(double seconds);
    // The clock the tracker reads (the process clock unless set).
    void setClock(std::shared_ptr<const platform::Clock> clock);

    std::optional<platform::Date> lastCreatedLogTime() const;
    std::optional<platform::Date> lastEnteredForegroundTime() const;
    std::optional<platform::Date> lastEnteredBackgroundTime() const;
    bool isStarted() const;

    // Starts tracking: a session begins unless the application is in the background (or its
    // state is unknown), and the application's activity is observed. Nothing when started.
    void start();
    // Stops observing and ends the current session. Nothing when stopped.
    void stop();
    // Begins a new session when there is none or the current one timed out (while started).
    void renewSessionId();
    bool hasSessionTimedOut() const;
    void applicationDidEnterBackground();
    void applicationWillEnterForeground();

    // MSChannelDelegate.
    void prepareLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) override;

private:
    platform::Date now() const;

    MSSessionContext& context_;
    // Held while a session is renewed or the time-out is judged; the times and settings have
    // their own lock, never held while calling out.
    mutable platform::ForkSafeRecursiveMutex sessionLock_;
    mutable platform::ForkSafeMutex mutex_;
    std::weak_ptr<MSSessionTrackerDelegate> delegate_;
    double sessionTimeout_ = kMSDefaultSessionTimeout;
    std::shared_ptr<const platform::Clock> clock_;
    std::optional<platform::Date> lastCreatedLogTime_;
    std::optional<platform::Date> lastEnteredForegroundTime_;
    std::optional<platform::Date> lastEnteredBackgroundTime_;
    bool started_ = false;
    platform::NotificationCenter::TokenPtr resignObserver_, becomeActiveObserver_;
};

}  // namespace quorvane
