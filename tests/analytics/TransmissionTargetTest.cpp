// Transmission targets, their property configurators and the authentication provider, against
// the fake ingestion server's One Collector.

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <thread>

#include "AnalyticsTestSupport.h"
#include "platform/foundation/UUID.h"
#include "platform/runloop/RunLoop.h"
#include "telemetry/MSEncrypter.h"
#include "telemetry/MSTicketCache.h"
#include "telemetry/MSUserDefaults.h"
#include "telemetry/MSUserIdContext.h"

using namespace quorvane;
using namespace quorvane::test;
using platform::Date;
using platform::Value;

namespace {

// Hands out token requests; answers each at once when told how.
struct TokenDelegate : MSAnalyticsAuthenticationProviderDelegate {
    std::mutex mutex;
    std::vector<MSAcquireTokenCompletionBlock> requests;
    std::function<void(const MSAcquireTokenCompletionBlock&)> answerAtOnce;

    void acquireTokenWithCompletionHandler(MSAnalyticsAuthenticationProvider&,
                                           MSAcquireTokenCompletionBlock completion) override {
        {
            std::lock_guard lock(mutex);
            requests.push_back(completion);
        }
        if (answerAtOnce) answerAtOnce(completion);
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return requests.size();
    }
    MSAcquireTokenCompletionBlock last() {
        std::lock_guard lock(mutex);
        return requests.back();
    }
};

const std::string kTicketKeyHash = MSUtility::sha256("ticket-key");

struct TargetFixture : AnalyticsFixture {
    TargetFixture() { MSTicketCache::sharedInstance().clearCache(); }
    ~TargetFixture() { MSAnalyticsTransmissionTarget::setAuthenticationProvider(nullptr); }

    void flushTargets() const {
        for (const auto& unit : {analytics->oneCollectorChannelUnit(), analytics->oneCollectorCriticalChannelUnit()})
            unit->flushQueue();
    }
    std::vector<FakeIngestionServer::Batch> oneCollectorBatches() const {
        std::vector<FakeIngestionServer::Batch> out;
        for (const auto& b : server.batches())
            if (b.path != "/logs") out.push_back(b);
        return out;
    }
    // Sends what the One Collector units hold and waits for the named Common Schema log; the
    // batch that brought it.
    FakeIngestionServer::Batch sendAndWaitFor(const std::string& name) const {
        flushTargets();
        EXPECT_TRUE(waitForNamed(name)) << name;
        for (const auto& b : oneCollectorBatches())
            for (const auto& log : b.logs)
                if (log["name"].asString() == name && b.status / 100 == 2) return b;
        return {};
    }
    Value oneCollectorLog(const std::string& name) const {
        for (const auto& b : oneCollectorBatches())
            for (const auto& log : b.logs)
                if (log["name"].asString() == name) return log;
        return Value();
    }
};

TEST(TransmissionTarget, EventsOfATargetAndItsChildArriveWithTokenPropertiesOverridesAndTicket) {
    TargetFixture f;
    ASSERT_TRUE(f.start());
    auto tokens = std::make_shared<TokenDelegate>();
    tokens->answerAtOnce = [](const auto& answer) { answer("token-1", Date::now().addingTimeInterval(3600)); };
    MSAnalyticsTransmissionTarget::addAuthenticationProvider(MSAnalyticsAuthenticationProvider::initWithAuthenticationType(
        MSAnalyticsAuthenticationType::MsaDelegate, "ticket-key", tokens));

    auto parent = MSAnalytics::transmissionTargetForToken("parentkey-1111");
    auto child = parent->transmissionTargetForToken("childkey-2222");
    EXPECT_EQ(parent, MSAnalytics::transmissionTargetForToken("parentkey-1111"));
    EXPECT_EQ(child, parent->transmissionTargetForToken("childkey-2222"));
    EXPECT_EQ(child->parentTarget(), parent);
    auto& p = *parent->propertyConfigurator();
    auto& c = *child->propertyConfigurator();
    p.setEventPropertyString("parent", "shared");
    p.setEventPropertyInt64(7, "inherited");
    p.setEventPropertyString("gone", "removed");
    p.removeEventPropertyForKey("removed");
    p.setAppName("Parent App");
    p.setAppVersion("1.0-parent");
    c.setEventPropertyString("child", "shared");
    c.setAppVersion("2.0-child");
    c.setUserId("alice");
    c.collectDeviceId();

    parent->trackEvent("parent event");
    child->trackEvent("child event");
    child->trackEvent("own event", Value::dictionary({{"shared", "event"}}));
    auto batch = f.sendAndWaitFor("own event");
    ASSERT_TRUE(f.waitForNamed("parent event") && f.waitForNamed("child event"));

    struct Expect {
        const char* name;
        const char* iKey;
        const char* shared;
        const char* appVersion;
        std::optional<std::string> userId, deviceId;
    };
    const auto deviceId = MSPropertyConfigurator::getDeviceIdentifier();
    if (deviceId)  // a machine without a machine id has none
        EXPECT_TRUE(deviceId->starts_with("u:") && platform::UUID::fromString(deviceId->substr(2))) << *deviceId;
    const std::vector<Expect> expected{
        {"parent event", "o:parentkey", "parent", "1.0-parent", std::nullopt, std::nullopt},
        {"child event", "o:childkey", "child", "2.0-child", "c:alice", deviceId},
        {"own event", "o:childkey", "event", "2.0-child", "c:alice", deviceId},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.name);
        auto log = f.oneCollectorLog(e.name);
        EXPECT_EQ(log["iKey"].asString(), e.iKey);
        EXPECT_EQ(log["data"]["shared"].asString(), e.shared);
        EXPECT_EQ(log["data"]["inherited"].asInt(), 7);
        EXPECT_FALSE(log["data"].contains("removed"));
        EXPECT_EQ(log["ext"]["app"]["ver"].asString(), e.appVersion);
        EXPECT_EQ(log["ext"]["app"]["name"].asString(), "Parent App");
        EXPECT_EQ(log["ext"]["app"]["locale"], log["ext"]["user"]["locale"]);  // the base value
        EXPECT_EQ(log["ext"]["user"]["localId"].isString() ? std::optional(log["ext"]["user"]["localId"].asString())
                                                           : std::nullopt, e.userId);
        EXPECT_EQ(log["ext"]["device"]["localId"].isString() ? std::optional(log["ext"]["device"]["localId"].asString())
                                                             : std::nullopt, e.deviceId);
        EXPECT_EQ(log["ext"]["protocol"]["ticketKeys"].toJSON(), "[\"" + kTicketKeyHash + "\"]");
    }
    EXPECT_EQ(batch.header("Tickets"), "{\"" + kTicketKeyHash + "\":\"d:token-1\"}");
    auto apiKeys = batch.header("apikey").value_or("");
    EXPECT_NE(apiKeys.find("childkey-2222"), std::string::npos);
    EXPECT_EQ(tokens->count(), 1u);
    for (const auto& b : f.server.batches())  // nothing of the targets went to the service's own ingestion
        if (b.path == "/logs")
            for (const auto& log : b.logs) EXPECT_NE(log["type"].asString(), "event");
}

TEST(TransmissionTarget, ADisabledParentSilencesItsSubtreeAndNoTargetSharesAnotherOnesState) {
    TargetFixture f;
    ASSERT_TRUE(f.start());
    auto parent = MSAnalytics::transmissionTargetForToken("tenant-1");
    auto child = parent->transmissionTargetForToken("tenant-2");
    auto sibling = MSAnalytics::transmissionTargetForToken("tenant-2");  // same tenant, same token as the child
    parent->setEnabled(false);
    EXPECT_FALSE(child->isEnabled());
    auto late = parent->transmissionTargetForToken("late-3");
    EXPECT_FALSE(late->isEnabled());
    {
        SDKLogCapture log(MSLogLevel::Warning);
        child->setEnabled(true);
        child->trackEvent("silenced");
        late->trackEvent("silenced");
        EXPECT_EQ(log.texts(), (std::vector<std::string>{
                                   "Can't enable; parent transmission target and/or Analytics service is disabled.",
                                   "This transmission target is disabled.", "This transmission target is disabled."}));
    }
    EXPECT_FALSE(child->isEnabled());
    EXPECT_TRUE(sibling->isEnabled());
    // A new object for a token reads the state stored for its place in the tree.
    EXPECT_FALSE(f.analytics->createTransmissionTargetForToken("tenant-1")->isEnabled());
    EXPECT_TRUE(f.analytics->createTransmissionTargetForToken("tenant-2")->isEnabled());

    parent->setEnabled(true);
    EXPECT_TRUE(child->isEnabled() && late->isEnabled());
    child->setEnabled(false);
    EXPECT_TRUE(parent->isEnabled() && sibling->isEnabled());
    sibling->setEnabled(false);
    child->setEnabled(true);
    EXPECT_FALSE(sibling->isEnabled());
    sibling->setEnabled(true);

    // Disabling the service disables every target; enabling it enables them again.
    MSServiceAbstract::setEnabledForSharedInstance(*f.analytics, false);
    EXPECT_FALSE(parent->isEnabled() || child->isEnabled() || sibling->isEnabled());
    MSServiceAbstract::setEnabledForSharedInstance(*f.analytics, true);
    EXPECT_TRUE(parent->isEnabled() && child->isEnabled() && sibling->isEnabled());

    child->trackEvent("heard");
    f.sendAndWaitFor("heard");
    for (const auto& log : f.server.acceptedLogs()) EXPECT_NE(log["name"].asString(), "silenced");
}

TEST(TransmissionTarget, TheDefaultTargetTakesEventsWithoutATargetWithTheUserIdAndNoServiceLimits) {
    TargetFixture f;
    ASSERT_TRUE(f.start());
    f.analytics->updateConfigurationWithAppSecret("app-secret", "default-3333");
    auto target = f.analytics->defaultTransmissionTarget();
    ASSERT_TRUE(target);
    EXPECT_NE(target, MSAnalytics::transmissionTargetForToken("default-3333"));
    MSUserIdContext::sharedInstance().setUserId("bob");
    // A paused token's logs wait on the One Collector units; the others go.
    auto paused = MSAnalytics::transmissionTargetForToken("paused-5555");
    paused->pause();
    paused->trackEvent("held");
    auto properties = Value::dictionary();
    for (int i = 0; i < 25; ++i) properties.set("p" + std::to_string(i), std::to_string(i));
    MSAnalytics::trackEvent("to default", properties);
    f.sendAndWaitFor("to default");
    auto log = f.oneCollectorLog("to default");
    EXPECT_EQ(log["iKey"].asString(), "o:default");
    EXPECT_EQ(log["ext"]["user"]["localId"].asString(), "c:bob");
    EXPECT_EQ(log["data"].size(), 25u);
    // Names of as many dotted parts as a stored log can hold arrive; deeper ones are refused.
    SDKLogCapture warnings(MSLogLevel::Warning);
    auto deep = std::make_shared<MSEventProperties>();
    for (size_t parts : {kMSMaxPropertyNameParts, kMSMaxPropertyNameParts + 1, size_t(1000)}) {
        std::string name = "p" + std::to_string(parts);
        for (size_t i = 1; i < parts; ++i) name += ".d";
        deep->setInt64(int64_t(parts), name).setString("s", name + "s");
    }
    target->trackEvent("deep", deep);
    f.sendAndWaitFor("deep");
    auto data = f.oneCollectorLog("deep")["data"];
    EXPECT_EQ(data.size(), 1u);
    auto tree = data["p" + std::to_string(kMSMaxPropertyNameParts)];
    for (size_t i = 2; i < kMSMaxPropertyNameParts; ++i) tree = tree["d"];
    EXPECT_EQ(tree["d"].asInt(), int64_t(kMSMaxPropertyNameParts));
    EXPECT_EQ(tree["ds"].asString(), "s");
    EXPECT_EQ(tree.size(), 2u);
    EXPECT_EQ(deep->count(), 6u);  // the caller's set is left as it was
    const auto texts = warnings.texts();
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(), [](const std::string& t) {
                  return t.find("dotted parts") != std::string::npos;
              }), 4);
    EXPECT_FALSE(log["ext"]["protocol"].contains("ticketKeys"));  // no authentication provider
    EXPECT_TRUE(f.oneCollectorLog("held").isNull());
    paused->resume();
    f.sendAndWaitFor("held");
}

TEST(TransmissionTarget, MalformedTokensAreRefusedAndAStoredLogThatCannotBeSentHoldsNoOtherBack) {
    TargetFixture f;
    ASSERT_TRUE(f.start());
    const std::string crlf = "tenantX-abc\r\nX-Evil: 1";
    const std::vector<std::pair<std::string, std::string>> refused{
        {crlf, "it holds a control character at position 12"},
        {std::string("tenantX-a\0b", 11), "it holds a control character at position 10"},
        {"", "it is empty"},
        {"-abc", "it has no target key before its first \"-\""},
        {"tenantY-a,tenantZ-b", "it holds a comma at position 10"},
        {"tenant-\xC3\xA9t\xC3\xA9", "it holds a non-ASCII byte at position 8"},
        {"tenant-a b", "it holds a space at position 9"},
    };
    auto parent = MSAnalytics::transmissionTargetForToken("tenant-1");
    for (const auto& [token, reason] : refused) {
        SDKLogCapture log(MSLogLevel::Error);
        EXPECT_FALSE(MSAnalytics::transmissionTargetForToken(token));
        EXPECT_FALSE(parent->transmissionTargetForToken(token));
        EXPECT_EQ(log.texts(), std::vector<std::string>(2, "Transmission target token is not valid: " + reason +
                                                              ". No target is made."));
    }
    EXPECT_TRUE(parent->childTransmissionTargets().empty());

    // Logs stored under a token that cannot be sent (an earlier version took it) or whose token
    // cannot be read back (garbled, or its key gone) are dropped alone; the others of their batch go.
    auto oneCollector = f.analytics->oneCollectorChannelUnit();
    oneCollector->pauseWithIdentifyingObject(&f);
    for (const char* name : {"good 1", "crlf", "garbled", "good 2"}) parent->trackEvent(name);
    auto storage = MSRevAzezar::sharedInstance().channelGroup()->storage();
    platform::RunLoop::main()->runUntil([&] { return storage->countLogs("Analytics/one") == 4; }, 60);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(storage->path().c_str(), &db), SQLITE_OK);
    const std::string sealed = *MSEncrypter().encryptString(crlf);
    for (const auto& [name, token] : std::vector<std::pair<std::string, std::string>>{{"crlf", sealed}, {"garbled", "bm9wZQ=="}}) {
        const std::string sql = "UPDATE logs SET targetToken = '" + token + "' WHERE CAST(log AS TEXT) LIKE '%\"" + name + "\"%'";
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        EXPECT_EQ(sqlite3_changes(db), 1) << name;
    }
    sqlite3_close(db);
    SDKLogCapture log(MSLogLevel::Error);
    oneCollector->resumeWithIdentifyingObject(&f);
    f.flushTargets();
    ASSERT_TRUE(f.waitForNamed("good 1") && f.waitForNamed("good 2"));
    platform::RunLoop::main()->runUntil([&] { return storage->countAllLogs() == 0; }, 60);
    EXPECT_EQ(storage->countAllLogs(), 0u);
    for (const auto& b : f.oneCollectorBatches()) {
        EXPECT_EQ(b.header("apikey"), "tenant-1");
        for (const auto& l : b.logs) EXPECT_TRUE(l["name"].asString().starts_with("good")) << l.toJSON();
    }
    auto texts = log.texts();
    const std::string dropped = "A log of group Analytics/one cannot be sent and is dropped: ";
    for (const char* reason : {"its target token is not valid: it holds a control character at position 12.",
                               "it has no target token (a stored token that could not be read back)."})
        EXPECT_EQ(std::count(texts.begin(), texts.end(), dropped + reason), 1) << reason;
}

TEST(TransmissionTarget, UserIdsAreKeptInPrefixedFormAndRefusedOnesKeepTheEarlier) {
    MSPropertyConfigurator configurator(nullptr);
    const std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> cases{
        {"alice", "c:alice"}, {"c:bob", "c:bob"}, {"x:carol", "c:bob"}, {"", "c:bob"},
        {"c:", "c:bob"},      {std::nullopt, std::nullopt}};
    for (const auto& [given, kept] : cases) {
        configurator.setUserId(given);
        EXPECT_EQ(configurator.userId(), kept) << given.value_or("none");
    }
}

// ---- the authentication provider ----

struct ProviderFixture {
    std::shared_ptr<TokenDelegate> tokens = std::make_shared<TokenDelegate>();
    // Near the real time: the ingestion hands out no ticket past its expiry by the real clock.
    std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>(Date::now());
    std::shared_ptr<MSAnalyticsAuthenticationProvider> provider;
    explicit ProviderFixture(MSAnalyticsAuthenticationType type = MSAnalyticsAuthenticationType::MsaCompact) {
        MSTicketCache::sharedInstance().clearCache();
        provider = MSAnalyticsAuthenticationProvider::initWithAuthenticationType(type, "ticket-key", tokens);
        provider->setClock(clock);
    }
    std::optional<std::string> ticket() const { return MSTicketCache::sharedInstance().ticketFor(kTicketKeyHash); }
};

TEST(AuthenticationProvider, RefreshesOnceWhenTheTokenExpiresWithin600Seconds) {
    struct Case {
        double expiresIn;
        size_t requests;
        std::optional<std::string> ticket;  // a token expired when handed over is not used
    };
    for (const auto& c : std::vector<Case>{{601, 1, "p:t1"}, {600, 2, "p:t1"}, {0, 2, std::nullopt}, {-60, 2, std::nullopt}}) {
        SCOPED_TRACE(c.expiresIn);
        ProviderFixture f;
        f.provider->acquireTokenAsync();
        f.tokens->last()("t1", f.clock->now().addingTimeInterval(c.expiresIn));
        EXPECT_EQ(f.ticket(), c.ticket);
        for (int i = 0; i < 3; ++i) f.provider->checkTokenExpiry();
        EXPECT_EQ(f.tokens->count(), c.requests);
    }
    // Checks from many threads at once still start one request.
    ProviderFixture f;
    f.provider->acquireTokenAsync();
    f.tokens->last()("t1", f.clock->now());
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            for (int j = 0; j < 200; ++j) f.provider->checkTokenExpiry();
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(f.tokens->count(), 2u);
}

TEST(AuthenticationProvider, AnswersWithoutTokenOrExpiryAndRepeatedOrLateAnswers) {
    ProviderFixture f(MSAnalyticsAuthenticationType::MsaDelegate);
    SDKLogCapture log(MSLogLevel::Error);
    f.provider->acquireTokenAsync();
    f.tokens->last()(std::nullopt, f.clock->now());
    EXPECT_FALSE(f.ticket());
    EXPECT_FALSE(f.provider->isAcquiringToken());
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Token must not be null"});

    // A token without an expiry is kept, and never needs a refresh.
    f.provider->acquireTokenAsync();
    auto answer = f.tokens->last();
    answer("t2", std::nullopt);
    EXPECT_EQ(f.ticket(), "d:t2");
    f.clock->advance(86400 * 365);
    f.provider->checkTokenExpiry();
    EXPECT_EQ(f.tokens->count(), 2u);
    // An answer is taken once, and only from the request in flight: the same completion called
    // again, before or while a later request is in flight, changes nothing.
    answer("again", f.clock->now().addingTimeInterval(3600));
    f.provider->acquireTokenAsync();
    answer("late", f.clock->now().addingTimeInterval(3600));
    EXPECT_EQ(f.ticket(), "d:t2");
    EXPECT_EQ(f.provider->expiryDate(), std::nullopt);
    EXPECT_TRUE(f.provider->isAcquiringToken());
    f.tokens->last()("t3", f.clock->now().addingTimeInterval(3600));
    f.tokens->last()("t4", f.clock->now().addingTimeInterval(7200));
    EXPECT_EQ(f.ticket(), "d:t3");
    EXPECT_EQ(f.provider->expiryDate(), f.clock->now().addingTimeInterval(3600));

    // With the delegate gone, every attempt says so and nothing is stored.
    f.tokens.reset();
    f.provider->acquireTokenAsync();
    f.provider->acquireTokenAsync();
    auto texts = log.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "No completionhandler to acquire token has been set."), 2);
    EXPECT_EQ(f.ticket(), "d:t3");
}

TEST(AuthenticationProvider, TheTicketSentIsRefreshedBeforeItExpiresAndOnlyOnce) {
    TargetFixture f;
    ASSERT_TRUE(f.start());
    ProviderFixture p(MSAnalyticsAuthenticationType::MsaDelegate);
    MSAnalyticsTransmissionTarget::addAuthenticationProvider(p.provider);
    ASSERT_EQ(p.tokens->count(), 1u);
    p.tokens->last()("old", p.clock->now().addingTimeInterval(601));
    auto target = MSAnalytics::transmissionTargetForToken("tenant-4444");

    target->trackEvent("fresh");
    EXPECT_EQ(p.tokens->count(), 1u);
    p.clock->advance(1);  // now 600 s before the expiry
    target->trackEvent("near expiry");
    target->trackEvent("while asking");
    EXPECT_EQ(p.tokens->count(), 2u);
    auto batch = f.sendAndWaitFor("while asking");
    EXPECT_EQ(batch.header("Tickets"), "{\"" + kTicketKeyHash + "\":\"d:old\"}");

    // A batch retried after the ticket was renewed carries the new one.
    const std::string oldTicket = "{\"" + kTicketKeyHash + "\":\"d:old\"}";
    f.server.setRule([oldTicket](const FakeIngestionServer::Batch& b) -> std::optional<FakeIngestionServer::Answer> {
        if (b.header("Tickets") == oldTicket) return FakeIngestionServer::Answer(503);
        return std::nullopt;
    });
    auto refusedRetried = [&] {
        for (const auto& b : f.oneCollectorBatches())
            if (b.status == 503 && b.logs.at(0)["name"].asString() == "retried") return true;
        return false;
    };
    target->trackEvent("retried");
    f.flushTargets();
    for (size_t n = f.server.batchCount(); !refusedRetried(); ++n) ASSERT_TRUE(f.server.waitForBatchCount(n + 1, 60));
    p.tokens->last()("new", p.clock->now().addingTimeInterval(3600));
    batch = f.sendAndWaitFor("retried");
    EXPECT_EQ(batch.header("Tickets"), "{\"" + kTicketKeyHash + "\":\"d:new\"}");
    target->trackEvent("renewed");
    batch = f.sendAndWaitFor("renewed");
    EXPECT_EQ(batch.header("Tickets"), "{\"" + kTicketKeyHash + "\":\"d:new\"}");
    EXPECT_EQ(p.tokens->count(), 2u);

    // A ticket is never sent past its expiry, even one the provider's own clock still takes.
    p.clock->set(Date::now().addingTimeInterval(-7200));
    p.provider->acquireTokenAsync();
    p.tokens->last()("stale", p.clock->now().addingTimeInterval(3600));
    target->trackEvent("past expiry");
    batch = f.sendAndWaitFor("past expiry");
    EXPECT_FALSE(batch.header("Tickets"));
}

// The facade changes the services' states under its lock; tracking must not need that lock.
TEST(TransmissionTarget, TrackingWhileTheWholeSdkIsSwitchedOnAndOffNeverStalls) {
    TargetFixture f;
    ASSERT_TRUE(f.start());
    auto target = MSAnalytics::transmissionTargetForToken("busy-6666");
    std::atomic<bool> done{false};
    std::thread tracker([&] {
        while (!done) {
            MSAnalytics::trackEvent("busy");
            target->trackEvent("busy");
        }
    });
    for (int i = 0; i < 200; ++i) MSRevAzezar::sharedInstance().setEnabled(i % 2 == 1);
    done = true;
    tracker.join();
}
}  // namespace
