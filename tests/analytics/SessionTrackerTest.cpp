// Sessions: when they begin and end, the start-session logs, and the session id on every log.
// Time moves by the tracker's own clock; the application's activity by the platform's
// application object.

#include <gtest/gtest.h>

#include <thread>

#include "AnalyticsTestSupport.h"
#include "analytics/MSStartSessionLog.h"
#include "platform/runloop/Application.h"
#include "telemetry/MSSessionContext.h"

using namespace quorvane;
using namespace quorvane::test;

namespace {

// A log that keeps its own session id, as crash logs do.
struct OwnSessionLog : MSLogWithProperties, MSNoAutoAssignSessionIdLog {};

// Leaves the application active and shown, whatever the test did.
struct ApplicationReset {
    ~ApplicationReset() { platform::Application::shared().unhide(); }
};

TEST(SessionTracker, ANewSessionOnlyAfterTheTimeOutInTheBackgroundAndEveryLogStamped) {
    AnalyticsFixture f;
    ApplicationReset reset;
    auto& app = platform::Application::shared();
    auto clock = std::make_shared<platform::ManualClock>(platform::Date(800000000));
    auto tracker = f.analytics->sessionTracker();
    tracker->setClock(clock);
    EXPECT_EQ(tracker->sessionTimeout(), 20.0);
    ASSERT_TRUE(f.start());
    auto& context = MSSessionContext::sharedInstance();
    const auto first = context.sessionId();
    ASSERT_TRUE(first);
    MSAnalytics::trackEvent("a");

    // 10 s in the background keep the session.
    app.resignActive();
    clock->advance(10);
    app.activate();
    EXPECT_EQ(context.sessionId(), first);
    MSAnalytics::trackEvent("b");

    // 30 s in the background with logs still prepared there keep it too.
    app.resignActive();
    clock->advance(25);
    MSAnalytics::trackEvent("c");
    clock->advance(10);
    app.activate();
    EXPECT_EQ(context.sessionId(), first);

    // 30 s in the background without logs end it.
    app.resignActive();
    clock->advance(30);
    app.activate();
    const auto second = context.sessionId();
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    MSAnalytics::trackPage("d");
    auto own = std::make_shared<OwnSessionLog>();
    own->type = "own";
    own->sid = "kept";
    clock->advance(1);
    MSRevAzezar::sharedInstance().channelUnit()->enqueueItem(own, MSFlagsNormal);
    EXPECT_EQ(tracker->lastCreatedLogTime(), clock->now());  // it still counts as activity

    ASSERT_TRUE(f.flushAll(8));
    std::vector<std::string> seen;
    for (const auto& l : f.server.acceptedLogs()) {
        const std::string type = l["type"].asString();
        std::string sid = l.contains("sid") ? l["sid"].asString() : "none";
        sid = sid == *first ? "S1" : sid == *second ? "S2" : sid;
        if (type == "startService") EXPECT_EQ(sid, "none");
        else seen.push_back(type + " " + l["name"].asString() + " " + sid);
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"event a S1", "event b S1", "event c S1", "own  kept", "page d S2",
                                              "startSession  S1", "startSession  S2"}));
}

TEST(SessionTracker, AHiddenApplicationBeginsNoSessionUntilItBecomesActiveWhateverThreadStartsIt) {
    for (const bool fromWorker : {false, true})
        for (const bool hidden : {true, false}) {
            SCOPED_TRACE(std::string(fromWorker ? "worker" : "main") + (hidden ? ", hidden" : ", shown"));
            AnalyticsFixture f;
            ApplicationReset reset;
            auto& app = platform::Application::shared();
            if (hidden) app.hide();
            bool started = false;
            if (fromWorker) std::thread([&] { started = f.start(); }).join();
            else started = f.start();
            ASSERT_TRUE(started);
            auto& context = MSSessionContext::sharedInstance();
            EXPECT_EQ(context.sessionId().has_value(), !hidden);
            app.unhide();
            EXPECT_TRUE(context.sessionId());
            EXPECT_EQ(context.sessionHistory().size(), 1u);
        }
}

TEST(SessionTracker, AStoppedTrackerStampsNothingAndTheTimeOutRuleFollowsItsTimes) {
    FreshDefaults defaults;
    auto clock = std::make_shared<platform::ManualClock>(platform::Date(1000));
    auto tracker = std::make_shared<MSSessionTracker>();
    tracker->setClock(clock);
    tracker->setSessionTimeout(5);
    MSChannelUnit unit(MSChannelUnitConfiguration::initDefaultConfigurationWithGroupId("Test"), nullptr, nullptr, nullptr);
    auto log = std::make_shared<MSLogWithProperties>();
    tracker->prepareLog(unit, log);  // the unit is not looked at
    EXPECT_FALSE(log->sid);
    tracker->applicationWillEnterForeground();  // stopped: no session begins
    EXPECT_FALSE(tracker->hasSessionTimedOut());  // never in the background
    clock->advance(1);
    tracker->applicationDidEnterBackground();
    clock->advance(5);
    EXPECT_TRUE(tracker->hasSessionTimedOut());  // in the background for the time-out
    tracker->prepareLog(unit, log);
    EXPECT_FALSE(tracker->hasSessionTimedOut());  // but a log just now
    clock->advance(5);
    tracker->applicationWillEnterForeground();
    EXPECT_TRUE(tracker->hasSessionTimedOut());  // was in the background for long
    EXPECT_FALSE(MSSessionContext::sharedInstance().sessionId());
    auto start = std::make_shared<MSStartSessionLog>();
    start->sid = "mine";
    tracker->prepareLog(unit, start);
    EXPECT_EQ(start->sid, "mine");
}

}  // namespace
