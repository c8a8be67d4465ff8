// Device history, session and user-id contexts, tickets, the dispatcher and the encrypter.

#include <gtest/gtest.h>

#include "platform/foundation/Base64.h"
#include "platform/runloop/RunLoop.h"
#include "TelemetryTestSupport.h"
#include "telemetry/MSDispatcherUtil.h"
#include "telemetry/MSEncrypter.h"
#include "telemetry/MSTicketCache.h"

using namespace quorvane;
using namespace quorvane::test;
using platform::Date;

namespace {

TEST(TelemetryContext, DeviceHistorySearchAtItsBoundaries) {
    FreshDefaults defaults;
    auto& tracker = MSDeviceTracker::sharedInstance();
    auto a = sampleDevice("A"), b = sampleDevice("B"), c = sampleDevice("C");
    tracker.recordDevice(b, Date(200));
    tracker.recordDevice(a, Date(100));  // kept in time order
    tracker.recordDevice(c, Date(300));
    const std::vector<std::pair<double, std::shared_ptr<MSDevice>>> cases{
        {50, a}, {100, a}, {150, a}, {199.999, a}, {200, b}, {250, b}, {300, c}, {1e9, c}};
    for (const auto& [t, device] : cases) EXPECT_EQ(tracker.deviceForTimestamp(Date(t)), device) << t;
    auto current = tracker.deviceForTimestamp(std::nullopt);
    EXPECT_EQ(current->appNamespace(), "com.quorvane.Quorvane");
    EXPECT_TRUE(current->isValid());
    EXPECT_EQ(tracker.history().size(), 4u);  // the current device joined the history

    defaults.reopen();  // the history survives a restart
    auto& again = MSDeviceTracker::sharedInstance();
    ASSERT_EQ(again.history().size(), 4u);
    EXPECT_TRUE(again.deviceForTimestamp(Date(250))->isEqual(*b));
    again.clearDevices();
    ASSERT_EQ(again.history().size(), 1u);
    EXPECT_TRUE(again.deviceForTimestamp(Date(0))->isEqual(*current));
    defaults.reopen();
    EXPECT_EQ(MSDeviceTracker::sharedInstance().history().size(), 1u);
}

TEST(TelemetryContext, HistoryDropsTheOldestBeyondItsLimit) {
    FreshDefaults defaults;
    auto& tracker = MSDeviceTracker::sharedInstance();
    for (int i = 0; i < 8; ++i) tracker.recordDevice(sampleDevice(std::to_string(i)), Date(i));
    ASSERT_EQ(tracker.history().size(), MSDeviceTracker::kMaxDevicesHistoryCount);
    EXPECT_EQ(tracker.deviceForTimestamp(Date(0))->model(), "3");
}

TEST(TelemetryContext, SessionAndUserIdHistoriesSurviveARestart) {
    FreshDefaults defaults;
    auto clock = std::make_shared<platform::ManualClock>(Date(1000));
    platform::Clock::setCurrent(clock);
    MSSessionContext::sharedInstance().setSessionId("s1");
    MSUserIdContext::sharedInstance().setUserId("alice");
    clock->advance(10);
    MSSessionContext::sharedInstance().setSessionId(std::nullopt);
    clock->advance(10);
    MSSessionContext::sharedInstance().setSessionId("s2");
    MSUserIdContext::sharedInstance().setUserId("bob");
    platform::Clock::setCurrent(nullptr);

    defaults.reopen();
    auto& sessions = MSSessionContext::sharedInstance();
    auto& users = MSUserIdContext::sharedInstance();
    EXPECT_EQ(sessions.sessionId(), std::nullopt);  // a new process starts without a session
    const std::vector<std::tuple<double, std::optional<std::string>, std::optional<std::string>>> cases{
        {1000, std::nullopt, std::nullopt}, {1000.5, "s1", "alice"}, {1010, "s1", "alice"},
        {1015, std::nullopt, "alice"},      {1020.5, "s2", "bob"}};
    for (const auto& [t, sid, uid] : cases) {
        EXPECT_EQ(sessions.sessionIdAt(Date(t)), sid) << t;
        EXPECT_EQ(users.userIdAt(Date(t)), uid) << t;
    }
    sessions.setSessionId("s3");
    sessions.clearSessionHistoryAndKeepCurrentSession(true);
    users.clearUserIdHistory();  // no current user in this process: empty
    defaults.reopen();
    ASSERT_EQ(MSSessionContext::sharedInstance().sessionHistory().size(), 1u);
    EXPECT_EQ(MSSessionContext::sharedInstance().sessionHistory()[0].identifier, "s3");
    EXPECT_TRUE(MSUserIdContext::sharedInstance().userIdHistory().empty());
}

TEST(TelemetryContext, UserIdRulesOfTheOneCollector) {
    const std::vector<std::tuple<std::optional<std::string>, bool, const char*>> cases{
        {std::nullopt, true, nullptr},
        {"alice", true, nullptr},
        {"c:alice", true, nullptr},
        {"", false, "userId must not be empty."},
        {"c:", false, "userId must not be empty."},
        {"x:alice", false, "userId prefix must be 'c:', 'x:' is not supported."},
    };
    for (const auto& [id, ok, message] : cases) {
        SDKLogCapture log;
        EXPECT_EQ(MSUserIdContext::isUserIdValidForOneCollector(id), ok) << id.value_or("none");
        EXPECT_EQ(log.texts(), message ? std::vector<std::string>{message} : std::vector<std::string>{});
    }
    EXPECT_EQ(MSUserIdContext::prefixedUserIdFromUserId("alice"), "c:alice");
    EXPECT_EQ(MSUserIdContext::prefixedUserIdFromUserId("x:alice"), "x:alice");
    EXPECT_EQ(MSUserIdContext::prefixedUserIdFromUserId(std::nullopt), std::nullopt);
}

TEST(TelemetryContext, TicketsAndMainThreadBlocks) {
    MSTicketCache::sharedInstance().setTicket("t1", "k");
    MSTicketCache::sharedInstance().setTicket("t2", "k");
    EXPECT_EQ(MSTicketCache::sharedInstance().ticketFor("k"), "t2");
    EXPECT_EQ(MSTicketCache::sharedInstance().ticketFor("other"), std::nullopt);

    bool ran = false;
    MSDispatcherUtil::performBlockOnMainThread([&] { ran = true; });
    EXPECT_FALSE(ran);  // queued, also when called on the main thread
    EXPECT_TRUE(platform::RunLoop::main()->runUntil([&] { return ran; }, 60));
}

TEST(TelemetryContext, EncrypterRoundTripsRefusesTamperingAndKeepsItsKey) {
    const auto folder = platform::Paths::dataHome() / "keychain-encrypter";
    std::filesystem::remove_all(folder);
    MSEncrypter encrypter(std::make_shared<platform::Keychain>(folder));
    for (const std::string& text : std::vector<std::string>{"", "secret", "ünïcödé 😀", std::string(5000, 'x')}) {
        auto sealed = encrypter.encryptString(text);
        ASSERT_TRUE(sealed);
        EXPECT_EQ(sealed->find(text.empty() ? "\x01" : text), std::string::npos);
        EXPECT_EQ(encrypter.decryptString(*sealed), text);
    }
    auto one = *encrypter.encryptString("same"), two = *encrypter.encryptString("same");
    EXPECT_NE(one, two);  // a fresh nonce per message

    auto bytes = *platform::base64Decode(one);
    bytes[bytes.size() / 2] ^= 1;
    SDKLogCapture log(MSLogLevel::Warning);
    for (const std::string& bad : {platform::base64Encode(bytes), std::string("not base64!"),
                                   platform::base64Encode("foreign text of some length")})
        EXPECT_EQ(encrypter.decryptString(bad), std::nullopt) << bad;
    EXPECT_EQ(log.texts().size(), 3u);

    MSEncrypter restarted(std::make_shared<platform::Keychain>(folder));  // the key survives
    EXPECT_EQ(restarted.decryptString(one), "same");
    std::filesystem::remove_all(folder);
    MSEncrypter newKey(std::make_shared<platform::Keychain>(folder));
    EXPECT_EQ(newKey.decryptString(one), std::nullopt);
}

}  // namespace
