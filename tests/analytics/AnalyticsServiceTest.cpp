// The analytics service against the fake ingestion server: what arrives, on which unit, and
// what the service's settings and state change.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "AnalyticsTestSupport.h"
#include "tests/support/FreshProcess.h"
#include "platform/foundation/UUID.h"
#include "platform/runloop/RunLoop.h"
#include "analytics/MSEventLog.h"
#include "telemetry/MSDeviceTracker.h"
#include "telemetry/MSSessionContext.h"

using namespace quorvane;
using namespace quorvane::test;
using platform::Value;

namespace {

TEST(AnalyticsService, AnEventArrivesWithItsPropertiesSessionAndDevice) {
    AnalyticsFixture f;
    ASSERT_TRUE(f.start());
    EXPECT_EQ(f.analytics->serviceName(), "Analytics");
    EXPECT_EQ(f.analytics->isEnabledKey(), "kMSAnalyticsIsEnabledKey");
    auto group = MSRevAzezar::sharedInstance().channelGroup();
    for (const char* id : {"Analytics", "Analytics_critical", "Analytics/one", "Analytics_critical/one"})
        EXPECT_TRUE(group->channelUnitForGroupId(id)) << id;
    EXPECT_EQ(f.analytics->oneCollectorCriticalChannelUnit(), group->channelUnitForGroupId("Analytics_critical/one"));

    MSAnalytics::trackEvent("launch", Value::dictionary({{"version", "1.2"}, {"count", 3}, {"none", nullptr}}));
    auto typed = std::make_shared<MSEventProperties>();
    typed->setBool(true, "first").setDouble(2.5, "ratio").setInt64(-7, "delta").setDate(platform::Date(1), "at");
    MSAnalytics::trackEvent("typed", typed);
    f.flush();
    ASSERT_TRUE(f.waitForNamed("typed"));

    auto events = f.accepted("event");
    ASSERT_EQ(events.size(), 2u);
    const auto session = MSSessionContext::sharedInstance().sessionId();
    ASSERT_TRUE(session);
    const auto device = MSDeviceTracker::sharedInstance().device()->serializeToDictionary();
    for (auto& e : events) {
        EXPECT_EQ(e["sid"].asString(), *session);
        EXPECT_EQ(e["device"], device);
        EXPECT_TRUE(platform::UUID::fromString(e["id"].asString()));
        EXPECT_FALSE(e["timestamp"].asString().empty());
        for (const char* k : {"id", "sid", "device", "timestamp"}) e.remove(k);
    }
    EXPECT_EQ(events[0].toJSON(),
              R"({"type":"event","name":"launch","typedProperties":[{"type":"string","name":"version","value":"1.2"}]})");
    EXPECT_EQ(events[1].toJSON(),
              R"({"type":"event","name":"typed","typedProperties":[{"type":"dateTime","name":"at","value":"2001-01-01T00:00:01.000Z"},)"
              R"({"type":"long","name":"delta","value":-7},{"type":"boolean","name":"first","value":true},)"
              R"({"type":"double","name":"ratio","value":2.5}]})");
    auto sessions = f.accepted("startSession");
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0]["sid"].asString(), *session);
}

TEST(AnalyticsService, FlagsChooseTheUnitAndCriticalLogsGoThroughTheCriticalUnit) {
    AnalyticsFixture f;
    ASSERT_TRUE(f.start());
    ASSERT_TRUE(f.flushAll(2));  // the start-service and start-session logs
    // The normal unit is held back, so that only the critical unit can send.
    f.analytics->channelUnit()->pauseWithIdentifyingObject(&f);
    SDKLogCapture log(MSLogLevel::Warning);
    MSAnalytics::trackEvent("normal");
    MSAnalytics::trackEvent("zero", Value(), 0);
    MSAnalytics::trackEvent("critical", Value(), MSFlagsCritical);
    MSAnalytics::trackEvent("high byte", Value(), 258);
    MSAnalytics::trackEvent("three", Value(), 3);
    MSAnalytics::trackPage("page");
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"Invalid flags (0) received, using normal as a default.",
                                                      "Invalid flags (3) received, using normal as a default."}));
    f.flush();
    ASSERT_TRUE(f.waitForTypeCount("event", 2));
    std::vector<std::string> names;
    for (const auto& l : f.accepted("event")) names.push_back(l["name"].asString());
    EXPECT_EQ(names, (std::vector<std::string>{"critical", "high byte"}));
    auto storage = MSRevAzezar::sharedInstance().channelGroup()->storage();
    EXPECT_EQ(storage->countLogs("Analytics"), 4u);

    f.analytics->channelUnit()->resumeWithIdentifyingObject(&f);
    f.flush();
    ASSERT_TRUE(f.waitForNamed("page"));
    EXPECT_EQ(f.accepted("event").size(), 5u);
}

TEST(AnalyticsService, TransmissionIntervalIsCheckedAndOnlyTakenBeforeStart) {
    AnalyticsFixture f;
    SDKLogCapture log(MSLogLevel::Verbose);
    const std::string bounds =
        "The transmission interval is not valid, it should be between 3 second(s) and 86400 second(s) (1 day).";
    MSAnalytics::setTransmissionInterval(2);
    MSAnalytics::setTransmissionInterval(86401);
    MSAnalytics::setTransmissionInterval(86400);
    EXPECT_EQ(f.analytics->flushInterval(), 86400u);
    MSAnalytics::setTransmissionInterval(3);
    MSAnalytics::setTransmissionInterval(60);
    ASSERT_TRUE(f.start());
    MSAnalytics::setTransmissionInterval(10);
    EXPECT_EQ(f.analytics->channelUnit()->configuration().flushInterval, 60);
    EXPECT_EQ(f.analytics->criticalChannelUnit()->configuration().flushInterval, 3);
    auto texts = log.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), bounds), 2);
    for (const char* m : {"Transmission interval set to 86400 second(s)", "Transmission interval set to 60 second(s)",
                          "The transmission interval should be set before the MSAnalytics service is started.",
                          "Started Analytics service.", "Analytics service has been enabled."})
        EXPECT_NE(std::find(texts.begin(), texts.end(), m), texts.end()) << m;
}

TEST(AnalyticsService, NothingIsTrackedBeforeStartOrWhileDisabledAndDisablingDeletesStoredLogs) {
    AnalyticsFixture f;
    {
        SDKLogCapture log(MSLogLevel::Error);
        MSAnalytics::trackEvent("early");
        EXPECT_EQ(log.texts(), std::vector<std::string>{
                                   "Analytics service hasn't been started. You need to call [MSRevAzezar "
                                   "start:YOUR_APP_SECRET withServices:LIST_OF_SERVICES] first."});
    }
    ASSERT_TRUE(f.start());
    MSAnalytics::pause();
    auto target = MSAnalytics::transmissionTargetForToken("tenant-7");
    f.analytics->oneCollectorChannelUnit()->pauseWithIdentifyingObject(&f);
    MSAnalytics::trackEvent("stored");
    MSAnalytics::trackEvent("stored critical", Value(), MSFlagsCritical);
    target->trackEvent("stored target");
    auto storage = MSRevAzezar::sharedInstance().channelGroup()->storage();
    auto stored = [&] {
        return storage->countLogs("Analytics") + storage->countLogs("Analytics_critical") + storage->countLogs("Analytics/one");
    };
    platform::RunLoop::main()->runUntil([&] { return stored() >= 3; }, 60);
    ASSERT_GE(stored(), 3u);

    MSServiceAbstract::setEnabledForSharedInstance(*f.analytics, false);
    EXPECT_FALSE(MSServiceAbstract::isEnabledForSharedInstance(*f.analytics));
    platform::RunLoop::main()->runUntil([&] { return stored() == 0; }, 60);
    EXPECT_EQ(stored(), 0u);
    EXPECT_FALSE(MSSessionContext::sharedInstance().sessionId());
    EXPECT_TRUE(MSSessionContext::sharedInstance().sessionHistory().empty());
    MSAnalytics::trackEvent("while disabled");

    MSServiceAbstract::setEnabledForSharedInstance(*f.analytics, true);
    MSAnalytics::resume();
    f.analytics->oneCollectorChannelUnit()->resumeWithIdentifyingObject(&f);
    MSAnalytics::trackEvent("after");
    target->trackEvent("target after");
    f.flush();
    f.analytics->oneCollectorChannelUnit()->flushQueue();
    ASSERT_TRUE(f.waitForNamed("after") && f.waitForNamed("target after"));
    for (const auto& l : f.server.acceptedLogs())
        for (const char* gone : {"while disabled", "stored", "stored target"}) EXPECT_NE(l["name"].asString(), gone);
}

struct RecordingAnalyticsDelegate : MSAnalyticsDelegate {
    std::mutex mutex;
    std::vector<std::string> calls;
    void add(std::string what) {
        std::lock_guard lock(mutex);
        calls.push_back(std::move(what));
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return calls;
    }
    void willSendEventLog(MSAnalytics&, const std::shared_ptr<MSEventLog>& l) override { add("will event " + *l->name); }
    void didSucceedSendingEventLog(MSAnalytics&, const std::shared_ptr<MSEventLog>& l) override {
        add("sent event " + *l->name);
    }
    void didFailSendingEventLog(MSAnalytics&, const std::shared_ptr<MSEventLog>& l, const platform::Error& e) override {
        add("failed event " + *l->name + " " + std::to_string(e.code));
    }
    void willSendPageLog(MSAnalytics&, const std::shared_ptr<MSPageLog>& l) override { add("will page " + *l->name); }
    void didSucceedSendingPageLog(MSAnalytics&, const std::shared_ptr<MSPageLog>& l) override {
        add("sent page " + *l->name);
    }
};

TEST(AnalyticsService, TheDelegateHearsAboutEventAndPageLogsOnly) {
    AnalyticsFixture f;
    auto delegate = std::make_shared<RecordingAnalyticsDelegate>();
    MSAnalytics::setDelegate(delegate);
    ASSERT_TRUE(f.start());
    f.analytics->updateConfigurationWithAppSecret("app-secret", std::nullopt);  // registers nothing twice
    ASSERT_TRUE(f.flushAll(2));  // the start-service and start-session logs
    f.server.script({{400}});
    MSAnalytics::trackEvent("refused");
    f.flush();
    ASSERT_TRUE(f.server.waitForBatchCount(3, 60));
    MSAnalytics::trackEvent("e");
    MSAnalytics::trackPage("p");
    f.flush();
    ASSERT_TRUE(f.waitForNamed("p"));
    platform::RunLoop::main()->runUntil([&] { return delegate->snapshot().size() >= 6; }, 60);

    // Each accepted event ends with one call: one that disabling deleted before it was sent too,
    // and after a reset and a new start only the new instance tells.
    f.analytics->channelUnit()->pauseWithIdentifyingObject(&f);
    MSAnalytics::trackEvent("deleted");
    auto storage = MSRevAzezar::sharedInstance().channelGroup()->storage();
    platform::RunLoop::main()->runUntil([&] { return storage->countLogs("Analytics") >= 1; }, 60);
    MSServiceAbstract::setEnabledForSharedInstance(*f.analytics, false);
    MSServiceAbstract::setEnabledForSharedInstance(*f.analytics, true);
    f.analytics->channelUnit()->resumeWithIdentifyingObject(&f);
    MSAnalytics::trackEvent("kept");
    MSAnalytics::resetSharedInstance();
    f.analytics = MSAnalytics::sharedInstance();
    MSAnalytics::setDelegate(delegate);
    ASSERT_TRUE(f.start());
    MSAnalytics::trackEvent("after reset");
    f.flush();
    ASSERT_TRUE(f.waitForNamed("after reset"));
    const std::vector<std::string> expected{
        "failed event deleted 0", "failed event refused 400", "sent event after reset", "sent event e",
        "sent event kept",        "sent page p",              "will event after reset", "will event e",
        "will event kept",        "will event refused",       "will page p"};
    platform::RunLoop::main()->runUntil([&] { return delegate->snapshot().size() >= expected.size(); }, 60);
    auto calls = delegate->snapshot();  // batches travel side by side
    std::sort(calls.begin(), calls.end());
    EXPECT_EQ(calls, expected);
}

}  // namespace

// Events that fail to store because the file reached its size limit (writes failing as on a full
// disk) are each reported failed, and once the limit is lifted the next events are stored and
// sent, and so are the logs stored before the limit: through the facade, the channel and the store
// as the app runs them. Once with the app started under the limit (a new store whose write-ahead
// log fills up to it: every event fails), once with the limit set after its start logs are stored.
// In a child each, whose limit touches no other test; forked before any thread starts.
TEST(AnalyticsService, EventsAreStoredAgainOnceTheDiskTakesWritesAfterFailedOnes) {
    if (!test::inFreshProcess()) return;
    constexpr rlim_t kLimit = 64 * 1024;
    for (const bool limitBeforeStart : {true, false}) {
        SCOPED_TRACE(limitBeforeStart ? "started under the limit" : "limit set after the start");
        const pid_t child = ::fork();
        if (child != 0) {
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exit " << WEXITSTATUS(status);
            continue;
        }
        // What the app hears of each event, and each event's end at the store.
        struct Outcomes : MSAnalyticsDelegate, MSChannelDelegate {
            std::mutex mutex;
            std::condition_variable cv;
            std::map<std::string, int> failed, sent, completed;
            void didFailSendingEventLog(MSAnalytics&, const std::shared_ptr<MSEventLog>& l, const platform::Error&) override {
                add(failed, *l->name);
            }
            void didSucceedSendingEventLog(MSAnalytics&, const std::shared_ptr<MSEventLog>& l) override { add(sent, *l->name); }
            void didCompleteEnqueueingLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& l, const std::string&,
                                          MSEnqueueOutcome) override {
                auto event = std::dynamic_pointer_cast<MSEventLog>(l);
                add(completed, event ? *event->name : l->type.value_or(""));
            }
            void add(std::map<std::string, int>& to, const std::string& name) {
                std::lock_guard lock(mutex);
                ++to[name.substr(0, name.find(' '))];
                cv.notify_all();
            }
            int count(std::map<std::string, int>& of, const char* name) {
                std::lock_guard lock(mutex);
                return of[name];
            }
            bool waitFor(std::map<std::string, int>& of, const char* name, int n) {
                std::unique_lock lock(mutex);
                return cv.wait_for(lock, std::chrono::seconds(120), [&] { return of[name] >= n; });
            }
        };
        ::signal(SIGXFSZ, SIG_IGN);
        SDKLogCapture log(MSLogLevel::Error);
        int code = 0;
        {
            AnalyticsFixture f;
            auto outcomes = std::make_shared<Outcomes>();
            MSAnalytics::setDelegate(outcomes);
            rlimit room{};
            ::getrlimit(RLIMIT_FSIZE, &room);
            rlimit limited = room;
            limited.rlim_cur = kLimit;
            if (limitBeforeStart) ::setrlimit(RLIMIT_FSIZE, &limited);
            if (!f.start()) ::_exit(10);
            MSAnalytics::pause();
            auto group = MSRevAzezar::sharedInstance().channelGroup();
            group->addDelegate(outcomes);
            auto storage = group->storage();
            auto wal = storage->path();
            wal += "-wal";
            // The start logs are stored before the limit (or were before the delegate came).
            if (!limitBeforeStart && storage->countLogs("Analytics") == 0 && !outcomes->waitFor(outcomes->completed, "startSession", 1))
                ::_exit(18);
            const size_t storedBefore = storage->countLogs("Analytics");
            if (!limitBeforeStart) ::setrlimit(RLIMIT_FSIZE, &limited);
            auto big = platform::Value::dictionary();
            for (int k = 0; k < 20; ++k) big.set("p" + std::to_string(k), std::string(125, 'x'));
            for (int i = 0; i < 2000; ++i) MSAnalytics::trackEvent("full " + std::to_string(i), big);
            if (!outcomes->waitFor(outcomes->completed, "full", 2000)) ::_exit(11);
            // The failure names its cause, which SQLite alone calls "disk I/O error".
            const auto texts = log.texts();
            if (std::none_of(texts.begin(), texts.end(), [](const std::string& t) {
                    return t.find("this process's file-size limit of 65536 bytes") != std::string::npos;
                }))
                code = 20;
            const size_t storedWhileFull = storage->countLogs("Analytics") - storedBefore;
            // Started under the limit, the write-ahead log has filled up to it: no event fits.
            std::error_code ec;
            if (limitBeforeStart && (storedWhileFull != 0 || std::filesystem::file_size(wal, ec) != kLimit)) code = 19;
            ::setrlimit(RLIMIT_FSIZE, &room);
            for (int i = 0; i < 10; ++i) MSAnalytics::trackEvent("room " + std::to_string(i));
            if (!outcomes->waitFor(outcomes->completed, "room", 10)) ::_exit(15);
            // Each event that failed to store is reported so; all that came after are stored, and
            // what was stored before is still there.
            if (!code && !outcomes->waitFor(outcomes->failed, "full", 2000 - int(storedWhileFull))) code = 16;
            if (!code && outcomes->count(outcomes->failed, "room") != 0) code = 12;
            if (!code && storage->countLogs("Analytics") != storedBefore + storedWhileFull + 10) code = 13;
            MSAnalytics::resume();
            f.flush();
            if (!code && !outcomes->waitFor(outcomes->sent, "room", 10)) code = 14;
            if (!code && !limitBeforeStart && !f.waitForTypeCount("startSession", 1)) code = 17;
            if (code) {
                const auto texts = log.texts();
                for (size_t i = texts.size() > 5 ? texts.size() - 5 : 0; i < texts.size(); ++i)
                    std::fprintf(stderr, "%s\n", texts[i].c_str());
            }
            MSAnalytics::setDelegate(nullptr);
            group->removeDelegate(outcomes);
        }
        ::_exit(code);
    }
}

// A child forked without exec while another thread tracks events tracks and stores its own: the
// locks it takes (the service's, the channel's, the store's, the session's, the settings', the
// logger's, the dispatch queues') are free in it, whatever the other thread held at the fork.
// Forked again and again, so that forks fall inside the other thread's sections. Not with the
// address sanitizer, whose own allocator a fork leaves locked in the child when another thread
// allocates at that moment.
TEST(AnalyticsService, AChildForkedWhileAnotherThreadTracksEventsStoresItsOwn) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator is not fork-safe";
#endif
    if (!test::inFreshProcess()) return;
    AnalyticsFixture f;
    ASSERT_TRUE(f.start());
    std::atomic<bool> stop{false};
    std::thread tracker([&] {
        while (!stop) MSAnalytics::trackEvent("parent", Value::dictionary({{"k", "v"}}));
    });
    for (int round = 0; round < 20 && !HasFailure(); ++round) {
        const pid_t child = ::fork();
        if (child == 0) {
            struct Stored : MSChannelDelegate {
                std::mutex mutex;
                std::condition_variable cv;
                bool stored = false;
                void didCompleteEnqueueingLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& l, const std::string&,
                                              MSEnqueueOutcome outcome) override {
                    auto event = std::dynamic_pointer_cast<MSEventLog>(l);
                    if (!event || *event->name != "child" || outcome != MSEnqueueOutcome::Stored) return;
                    std::lock_guard lock(mutex);
                    stored = true;
                    cv.notify_all();
                }
            };
            auto stored = std::make_shared<Stored>();
            MSRevAzezar::sharedInstance().channelGroup()->addDelegate(stored);
            MSAnalytics::trackEvent("child");
            std::unique_lock lock(stored->mutex);
            ::_exit(stored->cv.wait_for(lock, std::chrono::seconds(60), [&] { return stored->stored; }) ? 0 : 3);
        }
        // Its end, or 90 s without one: it hangs.
        const int ended = int(::syscall(SYS_pidfd_open, child, 0));
        pollfd watch{ended, POLLIN, 0};
        if (ended < 0 || ::poll(&watch, 1, 90 * 1000) != 1) {
            ADD_FAILURE() << "round " << round << ": the child hangs";
            ::kill(child, SIGKILL);
        }
        if (ended >= 0) ::close(ended);
        int status = 0;
        ::waitpid(child, &status, 0);
        if (WIFEXITED(status)) {
            EXPECT_EQ(WEXITSTATUS(status), 0) << "round " << round;
        }
    }
    stop = true;
    tracker.join();
}
