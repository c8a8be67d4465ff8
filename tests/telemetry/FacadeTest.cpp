// The facade MSRevAzezar and the service base.

#include <gtest/gtest.h>

#include "PipelineTestSupport.h"
#include "telemetry/MSRevAzezar.h"
#include "telemetry/MSServiceAbstract.h"

using namespace quorvane;
using namespace quorvane::test;

namespace {

struct TestService : MSServiceAbstract {
    static std::shared_ptr<TestService> make(std::string name, int priority, std::vector<std::string>* starts) {
        auto s = std::shared_ptr<TestService>(new TestService(std::move(name), priority, starts));
        s->init();
        return s;
    }
    std::string className() const override { return "MS" + name_; }
    std::string groupId() const override { return name_; }
    int initializationPriority() const override { return priority_; }
    std::optional<MSChannelUnitConfiguration> channelUnitConfiguration() const override {
        return MSChannelUnitConfiguration::initDefaultConfigurationWithGroupId(name_);
    }
    void startWithChannelGroup(const std::shared_ptr<MSChannelGroup>& group, std::optional<std::string> secret,
                               std::optional<std::string> token, bool fromApplication) override {
        EXPECT_TRUE(MSRevAzezar::sharedInstance().isSdkConfigured());
        starts_->push_back(name_);
        MSServiceAbstract::startWithChannelGroup(group, std::move(secret), std::move(token), fromApplication);
    }
    void applyEnabledState(bool enabled) override {
        seenWhileApplying = isEnabled();
        MSServiceAbstract::applyEnabledState(enabled);
    }
    std::optional<bool> seenWhileApplying;

private:
    TestService(std::string name, int priority, std::vector<std::string>* starts)
        : name_(std::move(name)), priority_(priority), starts_(starts) {}
    std::string name_;
    int priority_;
    std::vector<std::string>* starts_;
};

TEST(Facade, StartsServicesByPriorityAndSendsTheStartServiceLog) {
    FreshDefaults defaults;
    MSRevAzezar::resetSharedInstance();
    FakeIngestionServer server;
    std::vector<std::string> starts;
    auto analytics = TestService::make("TestAnalytics", 500, &starts);
    auto crashes = TestService::make("TestCrashes", 999, &starts);
    {
        SDKLogCapture log(MSLogLevel::Error);
        EXPECT_FALSE(analytics->canBeUsed());
        EXPECT_EQ(log.texts(), std::vector<std::string>{
                                   "TestAnalytics service hasn't been started. You need to call [MSRevAzezar "
                                   "start:YOUR_APP_SECRET withServices:LIST_OF_SERVICES] first."});
    }
    auto& sdk = MSRevAzezar::sharedInstance();
    sdk.setLogUrl("https://127.0.0.1:" + std::to_string(TestHTTPServer::unusedPort()));
    sdk.setIngestionOptions(fastRetries());
    // A secret that cannot go into a request header as it is: refused at start, saying why.
    const std::vector<std::pair<std::string, std::string>> refused{
        {"", "AppSecret is invalid."},
        {"app-secret\r\nX-Injected: 1", "a control character (0x0D) at position 11"},
        {std::string("app\0secret", 10), "a control character (0x00) at position 4"},
        {"app-secrét", "a non-ASCII byte (0xC3) at position 9"},
        {std::string(1 << 20, 'a'), "1048576 bytes long, more than the 1024 allowed"}};
    for (const auto& [secret, why] : refused) {
        SDKLogCapture log(MSLogLevel::Error);
        auto started = sdk.start(secret, {analytics});
        ASSERT_FALSE(started);
        const platform::Error& error = started.error();
        EXPECT_EQ(error.domain, MSRevAzezar::kMSErrorDomain);
        EXPECT_NE(error.localizedDescription().find(why), std::string::npos) << error.localizedDescription();
        EXPECT_EQ(log.texts(), std::vector<std::string>{error.localizedDescription()});
        EXPECT_FALSE(sdk.isSdkConfigured());
    }
    ASSERT_TRUE(sdk.start("app-secret", {analytics, crashes}));
    // The address set after start is where the logs accepted at start go.
    sdk.setLogUrl(server.baseURL());
    EXPECT_EQ(starts, (std::vector<std::string>{"TestCrashes", "TestAnalytics"}));
    EXPECT_TRUE(analytics->canBeUsed());
    EXPECT_EQ(analytics->isEnabledKey(), "kMSTestAnalyticsIsEnabledKey");
    EXPECT_TRUE(sdk.channelGroup()->channelUnitForGroupId("TestAnalytics/one"));

    sdk.channelUnit()->flushQueue();
    ASSERT_TRUE(server.waitForAcceptedLogCount(1, 60));
    auto batch = server.batches().at(0);
    EXPECT_EQ(batch.logs[0]["type"].asString(), "startService");
    EXPECT_EQ(batch.logs[0]["services"], platform::Value(platform::Value::Array{"TestCrashes", "TestAnalytics"}));
    EXPECT_EQ(batch.header("App-Secret"), "app-secret");
    EXPECT_EQ(batch.header("Install-ID"), MSRevAzezar::installId());
    EXPECT_EQ(MSUserDefaults::shared().objectForKey("MSInstallId")->asString(), MSRevAzezar::installId());
    EXPECT_FALSE(MSRevAzezar::isDebuggerAttached());
    MSRevAzezar::resetSharedInstance();
}

TEST(Facade, DisablingTheSDKDisablesEveryServiceUntilReEnabled) {
    FreshDefaults defaults;
    MSRevAzezar::resetSharedInstance();
    FakeIngestionServer server;
    std::vector<std::string> starts;
    auto service = TestService::make("TestAnalytics", 500, &starts);
    auto& sdk = MSRevAzezar::sharedInstance();
    sdk.setLogUrl(server.baseURL());
    ASSERT_TRUE(sdk.start("app-secret", {service}));
    EXPECT_TRUE(MSServiceAbstract::isEnabledForSharedInstance(*service));

    sdk.setEnabled(false);
    EXPECT_FALSE(sdk.isEnabled());
    EXPECT_FALSE(service->isEnabled());
    EXPECT_EQ(service->seenWhileApplying, true);  // the old state while applying the new one
    {
        SDKLogCapture log(MSLogLevel::Error);
        MSServiceAbstract::setEnabledForSharedInstance(*service, true);
        EXPECT_EQ(log.texts(), std::vector<std::string>{"The SDK is disabled. Re-enable the whole SDK from RevAzezar "
                                                        "first before enabling TestAnalytics service."});
        EXPECT_FALSE(service->isEnabled());
    }
    sdk.setEnabled(true);
    EXPECT_TRUE(service->isEnabled());

    // A restart while the SDK is disabled starts the service and then disables it.
    sdk.setEnabled(false);
    service->setEnabled(true);  // as if stored enabled
    MSRevAzezar::resetSharedInstance();
    auto& again = MSRevAzezar::sharedInstance();
    ASSERT_TRUE(again.start("app-secret", {service}));
    EXPECT_FALSE(service->isEnabled());
    MSRevAzezar::resetSharedInstance();
}

}  // namespace
