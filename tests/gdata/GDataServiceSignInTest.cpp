// Account sign-in by user name and password against the fake provider: one sign-in for the
// calls that wait on it, in order; one new sign-in after a refused token; refusals, captcha and
// cancellation.

#include <gtest/gtest.h>

#include "gdata/GDataContactConstants.h"
#include "gdata/service/GDataServiceGoogleContact.h"
#include "tests/gdata/GDataServiceTestSupport.h"
#include "tests/support/FakeProvider.h"
#include "tests/support/TestHTTPServer.h"

namespace quorvane {
namespace {

using platform::URL;
using test::FakeProvider;

class GDataServiceSignInTest : public ::testing::Test {
protected:
    void SetUp() override {
        registerContactClasses();
        service = GDataServiceGoogleContact::contactService();
        service->setSignInDomain("127.0.0.1:" + std::to_string(provider.server().port()));
        service->setUserCredentialsWithUsername(std::string("owner@example.com"), std::string("quorvane-test-password"));
    }
    void TearDown() override { EXPECT_TRUE(service->fetcherService()->waitForCompletionOfAllFetchersWithTimeout(60)); }

    URL feed(int maxResults) const {
        return *URL::URLWithString(provider.feedURL(FakeProvider::Kind::Contacts) + "?max-results=" + std::to_string(maxResults));
    }

    FakeProvider provider;
    std::shared_ptr<GDataServiceGoogleContact> service;
};

TEST_F(GDataServiceSignInTest, CallsMadeBeforeTheTokenShareOneSignInAndRunInOrder) {
    provider.server().hold("/accounts/ClientLogin");
    // One request at a time: the server sees the calls in the order they start.
    service->fetcherService()->setMaxRunningFetchersPerHost(1);
    std::vector<std::shared_ptr<servicetest::CallRecord>> records;
    for (int i = 1; i <= 3; ++i) {
        records.push_back(std::make_shared<servicetest::CallRecord>());
        ASSERT_TRUE(service->fetchFeedWithURL(feed(i), servicetest::recordInto(records.back())));
    }
    ASSERT_TRUE(service->pendingAuthFetcher());
    ASSERT_TRUE(platform::RunLoop::main()->runUntil(
        [&] { return provider.server().waitForHeld("/accounts/ClientLogin", 1, 0); }, 60));
    provider.server().release("/accounts/ClientLogin");
    for (const auto& record : records) {
        servicetest::waitForReport(record);
        ASSERT_FALSE(record->error) << record->error->domain << " " << record->error->code;
    }
    EXPECT_EQ(provider.passwordSignIns(), 1u);
    auto feeds = provider.server().requests("/m8/feeds/contacts/default/full");
    ASSERT_EQ(feeds.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(feeds[i].query, "max-results=" + std::to_string(i + 1));
        EXPECT_EQ(feeds[i].header("Authorization"), "GoogleLogin auth=" + *service->authToken());
    }
    auto signIn = provider.server().requests("/accounts/ClientLogin")[0].body;
    EXPECT_NE(signIn.find("Email=owner%40example.com&Passwd=quorvane-test-password&source="), std::string::npos);
    EXPECT_NE(signIn.find("&service=cp&accountType=HOSTED_OR_GOOGLE"), std::string::npos);
}

TEST_F(GDataServiceSignInTest, ARefusedTokenLeadsToExactlyOneNewSignIn) {
    auto first = std::make_shared<servicetest::CallRecord>();
    service->fetchFeedWithURL(feed(1), servicetest::recordInto(first));
    servicetest::waitForReport(first);
    ASSERT_FALSE(first->error);
    auto oldToken = service->authToken();

    provider.expireAccessTokens();
    auto second = std::make_shared<servicetest::CallRecord>();
    service->fetchFeedWithURL(feed(2), servicetest::recordInto(second));
    servicetest::waitForReport(second);
    ASSERT_FALSE(second->error) << second->error->code;
    EXPECT_EQ(second->calls, 1);
    EXPECT_EQ(provider.passwordSignIns(), 2u);
    EXPECT_NE(service->authToken(), oldToken);

    // New credentials while a call runs: its refusal stands, with no sign-in for it.
    provider.expireAccessTokens();
    provider.server().hold("/m8/feeds/contacts/default/full");
    auto third = std::make_shared<servicetest::CallRecord>();
    service->fetchFeedWithURL(feed(3), servicetest::recordInto(third));
    ASSERT_TRUE(platform::RunLoop::main()->runUntil(
        [&] { return provider.server().waitForHeld("/m8/feeds/contacts/default/full", 1, 0); }, 60));
    service->setUserCredentialsWithUsername(std::string("owner@example.com"), std::string("another password"));
    EXPECT_FALSE(service->authToken());
    provider.server().release("/m8/feeds/contacts/default/full");
    servicetest::waitForReport(third);
    ASSERT_TRUE(third->error);
    EXPECT_EQ(third->error->code, 401);
    EXPECT_EQ(provider.passwordSignIns(), 2u);
}

TEST_F(GDataServiceSignInTest, RefusalsComeInTheServicesDomainWithTheProvidersWords) {
    provider.requireCaptcha();
    auto captcha = std::make_shared<servicetest::CallRecord>();
    service->fetchFeedWithURL(feed(1), servicetest::recordInto(captcha));
    servicetest::waitForReport(captcha);
    ASSERT_TRUE(captcha->error);
    EXPECT_EQ(captcha->error->domain, kGDataServiceErrorDomain);
    EXPECT_EQ(captcha->error->code, 403);
    EXPECT_EQ(captcha->error->userInfo["error"].asString(), "CaptchaRequired");
    EXPECT_EQ(captcha->error->userInfo["CaptchaFullUrl"].asString(),
              "https://" + service->signInDomain() + "/accounts/Captcha?ctoken=captcha-token-1");
    EXPECT_FALSE(service->authToken());

    service->setCaptchaToken(captcha->error->userInfo["CaptchaToken"].asString(), std::string("the answer"));
    auto answered = std::make_shared<servicetest::CallRecord>();
    service->fetchFeedWithURL(feed(1), servicetest::recordInto(answered));
    servicetest::waitForReport(answered);
    EXPECT_FALSE(answered->error);
    EXPECT_NE(provider.server().requests("/accounts/ClientLogin").back().body.find(
                  "&logincaptcha=the%20answer&logintoken=captcha-token-1"),
              std::string::npos);

    service->setUserCredentialsWithUsername(std::string("owner@example.com"), std::string("wrong"));
    auto refused = std::make_shared<servicetest::CallRecord>();
    service->fetchFeedWithURL(feed(1), servicetest::recordInto(refused));
    servicetest::waitForReport(refused);
    ASSERT_TRUE(refused->error);
    EXPECT_EQ(refused->error->code, 403);
    EXPECT_EQ(refused->error->userInfo["error"].asString(), "BadAuthentication");
    EXPECT_EQ(refused->error->localizedFailureReason(), "WebLoginRequired");

    service->setUserCredentialsWithUsername(std::string("owner@example.com"), std::string(""));
    auto empty = std::make_shared<servicetest::CallRecord>();
    EXPECT_FALSE(service->fetchFeedWithURL(feed(1), servicetest::recordInto(empty)));
    ASSERT_EQ(empty->calls, 1);  // at once
    EXPECT_EQ(empty->error->code, -1);
    EXPECT_EQ(empty->error->userInfo["error"].asString(), "empty username/password");
}

TEST_F(GDataServiceSignInTest, CancellingTheCallsLeavesTheSignInUntilTheLastOneGoes) {
    provider.server().hold("/accounts/ClientLogin");
    auto first = std::make_shared<servicetest::CallRecord>();
    auto second = std::make_shared<servicetest::CallRecord>();
    auto one = service->fetchFeedWithURL(feed(1), servicetest::recordInto(first));
    auto two = service->fetchFeedWithURL(feed(2), servicetest::recordInto(second));
    auto signIn = service->pendingAuthFetcher();
    ASSERT_TRUE(signIn);
    one->cancelTicket();
    EXPECT_EQ(service->pendingAuthFetcher(), signIn);
    EXPECT_TRUE(signIn->isFetching());
    two->cancelTicket();
    EXPECT_FALSE(service->pendingAuthFetcher());
    EXPECT_FALSE(signIn->isFetching());
    provider.server().release("/accounts/ClientLogin");
    platform::RunLoop::main()->runUntil([] { return false; }, 0.1);
    EXPECT_EQ(first->calls + second->calls, 0);
    EXPECT_EQ(provider.server().requestCount("/m8/feeds/contacts/default/full"), 0u);
}

TEST(GDataServiceSignInRequestTest, ALocalhostDomainSignsInOverHttpAndAnyOtherOverHttps) {
    auto url = [](const std::string& domain) {
        auto fetcher = GDataServiceGoogle::authTokenFetcherWithUsername(std::string("u"), std::string("p"), std::string("cp"),
                                                                       std::string("src"), domain, std::nullopt, {}, std::nullopt);
        return fetcher->request()->url()->absoluteString();
    };
    EXPECT_EQ(url("localhost:8080"), "http://localhost:8080/accounts/ClientLogin");
    EXPECT_EQ(url("accounts.example.com"), "https://accounts.example.com/accounts/ClientLogin");
    EXPECT_EQ(url(""), "https://www.google.com/accounts/ClientLogin");
    EXPECT_FALSE(GDataServiceGoogle::authTokenFetcherWithUsername(std::string("u"), std::nullopt, std::nullopt,
                                                                  std::nullopt, std::nullopt, std::nullopt, {},
                                                                  std::nullopt));
}

TEST_F(GDataServiceSignInTest, TheAccountPasswordAnswersNoChallengeOfTheServicesRequests) {
    test::TestHTTPServer elsewhere;
    elsewhere.on("*", "/feed", [](const test::TestRequest& req, test::TestResponse& res) {
        res.status = 401;
        res.setHeader("WWW-Authenticate", "Basic realm=\"elsewhere\"");
    });
    provider.server().on("*", "/moved", [&](const test::TestRequest&, test::TestResponse& res) {
        res.status = 302;
        res.setHeader("Location", elsewhere.baseURL() + "/feed");
    });
    auto record = std::make_shared<servicetest::CallRecord>();
    service->fetchFeedWithURL(provider.server().url("/moved"), servicetest::recordInto(record));
    servicetest::waitForReport(record);
    ASSERT_TRUE(record->error);
    ASSERT_GE(elsewhere.requestCount("/feed"), 1u);
    for (const auto& seen : elsewhere.requests("/feed")) EXPECT_FALSE(seen.header("Authorization"));
    // The sign-in itself is the only request that carries the password.
    EXPECT_EQ(provider.passwordSignIns(), 1u);
}

}  // namespace
}  // namespace quorvane
