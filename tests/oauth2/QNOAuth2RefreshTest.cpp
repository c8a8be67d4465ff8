// Token refreshes against the loopback server's token endpoint, through real fetchers.

#include <gtest/gtest.h>

#include <vector>

#include "fetcher/QNSessionFetcher.h"
#include "fetcher/QNSessionFetcherService.h"
#include "oauth2/QNOAuth2Authentication.h"
#include "platform/net/URLError.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "tests/support/TestHTTPServer.h"

namespace quorvane {
namespace {

using platform::Error;
using platform::RunLoop;
using platform::URLRequest;
using platform::Value;

struct Outcome {
    std::string name;
    std::shared_ptr<URLRequest> request;
    std::optional<Error> error;
};

class QNOAuth2RefreshTest : public ::testing::Test {
protected:
    std::shared_ptr<QNOAuth2Authentication> staleAuthentication() {
        auto auth = QNOAuth2Authentication::authenticationWithServiceProvider(
            "Google", server.url("/token"), "urn:ietf:wg:oauth:2.0:oob", "client-id", "client secret");
        auth->setRefreshToken("refresh-1");
        auth->setAccessToken("old-access");
        auth->setExpiresIn(30);  // within a minute of expiry: the next authorization refreshes
        return auth;
    }

    void authorize(const std::shared_ptr<QNOAuth2Authentication>& auth, const std::string& name) {
        auto request = std::make_shared<URLRequest>(server.url("/feed/" + name));
        auth->authorizeRequest(request, [this, name](const std::shared_ptr<URLRequest>& r, const std::optional<Error>& e) {
            outcomes.push_back({name, r, e});
        });
    }

    // The fetcher's session calls back on the main queue (cookies are read there before the
    // request goes out), so waiting pumps the main run loop.
    bool waitForHeldToken() {
        return RunLoop::main()->runUntil([&] { return server.waitForHeld("/token", 1, 0); }, 60);
    }

    bool waitForOutcomes(size_t n) {
        return RunLoop::main()->runUntil([&] { return outcomes.size() >= n; }, 60);
    }

    struct Fetched {
        std::optional<platform::Bytes> data;
        std::optional<Error> error;
    };
    // Runs a fetch to its end.
    static Fetched fetch(const std::shared_ptr<QNSessionFetcher>& fetcher) {
        Fetched out;
        bool done = false;
        fetcher->beginFetchWithCompletionHandler([&](const std::optional<platform::Bytes>& d, const std::optional<Error>& e) {
            out = {d, e};
            done = true;
        });
        EXPECT_TRUE(RunLoop::main()->runUntil([&] { return done; }, 60));
        return out;
    }

    static constexpr const char* kFreshToken = R"({"access_token":"new-access","expires_in":3600,"token_type":"Bearer"})";

    test::TestHTTPServer server;
    std::vector<Outcome> outcomes;
};

TEST_F(QNOAuth2RefreshTest, CallsDuringOneRefreshWaitForItAndFinishInOrder) {
    server.hold("/token");
    server.respond("/token", 200, kFreshToken, "application/json; charset=utf-8");
    auto auth = staleAuthentication();
    int refreshed = 0;
    auto observer = platform::NotificationCenter::defaultCenter().addObserver(
        kQNOAuth2AccessTokenRefreshed, auth.get(), nullptr, [&](const platform::Notification&) { ++refreshed; });

    authorize(auth, "first");
    authorize(auth, "second");
    ASSERT_TRUE(waitForHeldToken());
    EXPECT_TRUE(auth->refreshFetcher());
    EXPECT_TRUE(outcomes.empty());
    server.release("/token");
    ASSERT_TRUE(waitForOutcomes(2));

    EXPECT_EQ(server.requestCount("/token"), 1u);
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[0].name, "first");
    EXPECT_EQ(outcomes[1].name, "second");
    for (const auto& o : outcomes) {
        EXPECT_FALSE(o.error) << o.name;
        EXPECT_EQ(o.request->valueForHTTPHeaderField("Authorization"), "Bearer new-access");
    }
    EXPECT_EQ(refreshed, 1);
    EXPECT_FALSE(auth->refreshFetcher());
    EXPECT_FALSE(auth->shouldRefreshAccessToken());

    // The token request: the refresh grant with the client's credentials, form-encoded and unsigned.
    auto token = server.requests("/token").at(0);
    EXPECT_EQ(token.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_FALSE(token.header("Authorization"));
    EXPECT_EQ(token.body, "client_id=client-id&client_secret=client%20secret&grant_type=refresh_token&refresh_token=refresh-1");
    EXPECT_EQ(token.header("User-Agent").value_or("").rfind("qn-oauth2 ", 0), 0u);
}

TEST_F(QNOAuth2RefreshTest, ARefusedRefreshFailsEveryWaitingCallWithTheProvidersWord) {
    server.respond("/token", 400, R"({"error":"invalid_grant","error_description":"Token has been expired or revoked."})",
                   "application/json");
    auto auth = staleAuthentication();
    Value failureInfo;
    auto observer = platform::NotificationCenter::defaultCenter().addObserver(
        kQNOAuth2AccessTokenRefreshFailed, auth.get(), nullptr,
        [&](const platform::Notification& n) { failureInfo = n.userInfo; });

    auth->primeForRefresh();
    authorize(auth, "a");
    authorize(auth, "b");
    ASSERT_TRUE(waitForOutcomes(2));
    for (const auto& o : outcomes) {
        ASSERT_TRUE(o.error) << o.name;
        EXPECT_EQ(o.error->domain, QNSessionFetcherStatusDomain);
        EXPECT_EQ(o.error->code, 400);
        EXPECT_EQ(o.error->userInfo["json"]["error"].asString(), "invalid_grant");
        EXPECT_TRUE(o.error->userInfo.contains("data"));  // the fetcher's own entries stay
        EXPECT_FALSE(o.request->valueForHTTPHeaderField("Authorization"));
    }
    EXPECT_EQ(failureInfo["error"].asString(), "invalid_grant");
    EXPECT_EQ(failureInfo[kQNOAuth2ErrorObjectKey]["code"].asInt(), 400);
    EXPECT_EQ(auth->refreshToken(), "refresh-1");  // kept: the next authorization tries again
}

// A token answer is small by nature: one over the small limit ends the refresh there, without
// holding it whole, and the sign-in stays.
TEST_F(QNOAuth2RefreshTest, AnOversizedTokenAnswerFailsTheRefreshAtTheSmallLimit) {
    server.respond("/token", 200,
                   R"({"access_token":")" + std::string(size_t(kQNSessionFetcherSmallResponseBodySize), 'a') + R"("})");
    auto auth = staleAuthentication();
    auth->setAccessToken(std::nullopt);  // nothing to sign with but what the refresh brings
    authorize(auth, "a");
    ASSERT_TRUE(waitForOutcomes(1));
    ASSERT_TRUE(outcomes[0].error);
    EXPECT_EQ(outcomes[0].error->code, platform::kURLErrorDataLengthExceedsMaximum);
    EXPECT_FALSE(outcomes[0].request->valueForHTTPHeaderField("Authorization"));
    EXPECT_EQ(auth->refreshToken(), "refresh-1");
}

TEST_F(QNOAuth2RefreshTest, AFormEncodedAnswerIsMergedAndACodeIsExchanged) {
    server.respond("/token", 200, "access_token=form-access&refresh_token=refresh-2&expires_in=600", "text/plain");
    auto auth = QNOAuth2Authentication::authenticationWithServiceProvider("Google", server.url("/token"), "urn:redirect",
                                                                         "client-id", std::nullopt);
    auth->setCode("the code");
    auth->setScope("email profile");
    int changed = 0;
    auto observer = platform::NotificationCenter::defaultCenter().addObserver(
        kQNOAuth2RefreshTokenChanged, auth.get(), nullptr, [&](const platform::Notification&) { ++changed; });

    std::optional<Error> finishedError;
    bool finished = false;
    auto fetcher = auth->beginTokenFetchWithDelegate(
        [&](const std::shared_ptr<QNOAuth2Authentication>&, const std::shared_ptr<QNSessionFetcher>&,
            const std::optional<Error>& e) {
            finished = true;
            finishedError = e;
        });
    ASSERT_TRUE(fetcher);
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return finished; }, 60));
    EXPECT_FALSE(finishedError);
    EXPECT_EQ(auth->accessToken(), "form-access");
    EXPECT_EQ(auth->refreshToken(), "refresh-2");
    EXPECT_EQ(changed, 1);
    ASSERT_TRUE(auth->expirationDate());
    EXPECT_EQ(server.requests("/token").at(0).body,
              "client_id=client-id&code=the%20code&grant_type=authorization_code&redirect_uri=urn%3Aredirect&scope=email%20profile");

    // With a fetcher service, the token request is one of the service's fetchers.
    auto service = QNSessionFetcherService::make();
    service->setAuthorizer(auth);
    auth->setRefreshToken("refresh-2");
    bool refreshed = false;
    auto viaService = auth->beginTokenFetchWithDelegate(
        [&](const std::shared_ptr<QNOAuth2Authentication>&, const std::shared_ptr<QNSessionFetcher>&,
            const std::optional<Error>&) { refreshed = true; });
    ASSERT_TRUE(viaService);
    EXPECT_EQ(viaService->service(), service);
    EXPECT_FALSE(viaService->authorizer());
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return refreshed; }, 60));

    // Nothing left to exchange without a refresh token, code or assertion.
    auto empty = std::make_shared<QNOAuth2Authentication>();
    EXPECT_FALSE(empty->beginTokenFetchWithDelegate(nullptr));
}

TEST_F(QNOAuth2RefreshTest, StoppingForgetsWaitingCallsAndStopsTheRefresh) {
    server.hold("/token");
    server.respond("/token", 200, R"({"access_token":"x"})", "application/json");
    auto auth = staleAuthentication();
    authorize(auth, "waiting");
    ASSERT_TRUE(waitForHeldToken());
    auto request = std::make_shared<URLRequest>(server.url("/other"));
    EXPECT_FALSE(auth->isAuthorizingRequest(request));
    auth->stopAuthorization();
    EXPECT_FALSE(auth->refreshFetcher());
    server.release("/token");
    // A later call is the only one answered, by a refresh of its own: the stopped one, had it
    // gone on or kept the forgotten call, would have answered that too.
    authorize(auth, "later");
    ASSERT_TRUE(waitForOutcomes(1));
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].name, "later");
    EXPECT_EQ(server.requestCount("/token"), 2u);
}

TEST_F(QNOAuth2RefreshTest, AFetcherIsSignedAfterARefreshAndRetriesOnceWithAFreshTokenAfterA401) {
    int tokensIssued = 0;
    server.on("POST", "/token", [&](const test::TestRequest&, test::TestResponse& res) {
        res.contentType = "application/json";
        res.body = R"({"access_token":"fresh-)" + std::to_string(++tokensIssued) + R"(","expires_in":3600})";
    });
    server.on("GET", "/feed", [](const test::TestRequest& req, test::TestResponse& res) {
        auto auth = req.header("Authorization").value_or("");
        res.status = auth.rfind("Bearer fresh-", 0) == 0 ? 200 : 401;
        res.body = res.status == 200 ? "feed for " + auth : "expired";
    });
    // A token the server no longer accepts, though it has not run out by the clock.
    auto auth = staleAuthentication();
    auth->setExpiresIn(3600);
    auto fetcher = QNSessionFetcher::fetcherWithURL(server.url("/feed"));
    fetcher->setAuthorizer(auth);
    const auto [data, error] = fetch(fetcher);
    ASSERT_FALSE(error) << error->code;
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(data->begin(), data->end()), "feed for Bearer fresh-1");
    EXPECT_EQ(tokensIssued, 1);
    auto feeds = server.requests("/feed");
    ASSERT_EQ(feeds.size(), 2u);
    EXPECT_EQ(feeds[0].header("Authorization"), "Bearer old-access");
    EXPECT_EQ(auth->accessToken(), "fresh-1");
}

// The token belongs to its origin: a redirect to another port of the same host, a retry there
// or a 401 from there neither carries it nor refreshes it.
TEST_F(QNOAuth2RefreshTest, TheTokenStaysWithItsOriginThroughRedirectsRetriesAndRefusals) {
    test::TestHTTPServer other;
    server.respond("/token", 200, kFreshToken, "application/json; charset=utf-8");
    for (int status : {401, 503}) {
        SCOPED_TRACE(status);
        server.clearLog();
        other.clearLog();
        other.respond("/landing", status, "no");
        server.on("*", "/moved", [&](const test::TestRequest&, test::TestResponse& res) {
            res.status = 307;
            res.setHeader("Location", other.baseURL() + "/landing");
        });
        auto auth = staleAuthentication();
        auth->setExpiresIn(3600);
        auth->addAuthorizedOrigin(server.url("/"));
        auto fetcher = QNSessionFetcher::fetcherWithURL(server.url("/moved"));
        fetcher->setAuthorizer(auth);
        fetcher->setRetryEnabled(true);
        fetcher->setMinRetryInterval(0.01);
        fetcher->setMaxRetryInterval(0.05);
        ASSERT_TRUE(fetch(fetcher).error);
        EXPECT_EQ(server.requests("/moved").at(0).header("Authorization"), "Bearer old-access");
        ASSERT_GE(other.requestCount("/landing"), 1u);
        for (const auto& seen : other.requests("/landing")) EXPECT_FALSE(seen.header("Authorization"));
        // The other server's refusal says nothing about the token: it is not refreshed.
        EXPECT_EQ(server.requestCount("/token"), 0u);
        EXPECT_EQ(auth->accessToken(), "old-access");
    }
}

// The refresh lock: a refresh that finds it held waits (saying so once) and sends nothing until
// it is let go; one held past the time any refresh may take fails the calls without sending; a
// refresh past its deadline is stopped and lets go of the lock. The answer is stored only over
// the sign-in it refreshed: one stored nowhere is dropped, and a refresh with the sign-in stored
// meanwhile follows; nothing is sent once the sign-in is gone.
TEST_F(QNOAuth2RefreshTest, ARefreshTakesTheLockInTimeAndKeepsItsAnswerOnlyOverTheSignInItRefreshed) {
    server.respond("/token", 200, R"({"access_token":"new-access","refresh_token":"refresh-2","expires_in":3600})",
                   "application/json");
    bool busy = true;
    int tries = 0, taken = 0, letGo = 0;
    std::vector<double> waits;
    std::optional<std::string> stored = "refresh-1";
    std::vector<std::string> storedOver;
    std::vector<bool> storeAnswers;
    auto prepared = [&](double deadline) {
        auto auth = staleAuthentication();
        auth->primeForRefresh();
        auth->setRefreshDeadline(deadline);
        auth->setRefreshTokenSource([&] { return stored; });
        auth->setRefreshLock(
            [&] {
                using Try = QNOAuth2Authentication::RefreshLockTry;
                ++tries;
                if (busy) return Try{Try::State::Busy, nullptr, std::nullopt};
                ++taken;
                return Try{Try::State::Taken, [&] { ++letGo; }, std::nullopt};
            },
            [&](double seconds) { waits.push_back(seconds); });
        auth->setRefreshStore([&](const std::shared_ptr<QNOAuth2Authentication>& a, const std::string& presented) {
            storedOver.push_back(presented);
            bool kept = storeAnswers.empty() || storeAnswers.front();
            if (!storeAnswers.empty()) storeAnswers.erase(storeAnswers.begin());
            if (kept) stored = a->refreshToken();
            return kept;
        });
        return auth;
    };
    auto lastError = [&] { return outcomes.back().error ? outcomes.back().error->code : 0; };

    // Held, then let go: nothing is sent meanwhile, then the token stored last.
    auto auth = prepared(60);
    authorize(auth, "waits");
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return !waits.empty(); }, 60));
    EXPECT_EQ(waits, std::vector<double>{60 + kQNOAuth2RefreshLockMargin});
    // Found held twice more, and nothing sent meanwhile.
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return tries >= 3 || server.requestCount("/token") > 0; }, 60));
    EXPECT_EQ(server.requestCount("/token"), 0u);
    stored = "refresh-5";  // what the holder stored
    busy = false;
    ASSERT_TRUE(waitForOutcomes(1));
    EXPECT_FALSE(outcomes.back().error);
    EXPECT_NE(server.requests("/token").back().body.find("refresh_token=refresh-5"), std::string::npos);
    EXPECT_EQ(storedOver, std::vector<std::string>{"refresh-5"});
    EXPECT_EQ(stored, "refresh-2");
    EXPECT_EQ(taken, 1);
    EXPECT_EQ(letGo, 1);

    // Held past the time a refresh may take: the call fails, and nothing was sent.
    busy = true;
    stored = "refresh-1";
    auth = prepared(0.1);
    authorize(auth, "gives-up");
    ASSERT_TRUE(waitForOutcomes(2));
    EXPECT_EQ(lastError(), kQNOAuth2ErrorRefreshLockBusy);
    EXPECT_EQ(server.requestCount("/token"), 1u);
    busy = false;

    // Past its deadline: stopped, the lock let go.
    server.hold("/token");
    auth = prepared(0.3);
    authorize(auth, "too-slow");
    ASSERT_TRUE(waitForOutcomes(3));
    EXPECT_EQ(outcomes.back().error->domain, platform::kURLErrorDomain);
    EXPECT_EQ(lastError(), platform::kURLErrorTimedOut);
    EXPECT_EQ(letGo, 2);
    server.release("/token");

    // Stored nowhere: dropped; the sign-in stored meanwhile is refreshed instead.
    stored = "refresh-1";
    storedOver.clear();
    storeAnswers = {false, true};
    auth = prepared(60);
    authorize(auth, "signed-in-anew");
    // The store that says no has another sign-in stored (what a new sign-in did meanwhile).
    auth->setRefreshTokenSource([&] { return storedOver.empty() ? stored : std::optional<std::string>("refresh-7"); });
    ASSERT_TRUE(waitForOutcomes(4));
    EXPECT_FALSE(outcomes.back().error);
    EXPECT_EQ(storedOver, (std::vector<std::string>{"refresh-1", "refresh-7"}));
    EXPECT_EQ(letGo, 3);

    // Stored nowhere and no sign-in left (signed out meanwhile): the call fails, no token is kept.
    storeAnswers = {false};
    auth = prepared(60);
    auth->setRefreshTokenSource([&] { return storeAnswers.empty() ? std::nullopt : stored; });
    authorize(auth, "signed-out");
    ASSERT_TRUE(waitForOutcomes(5));
    EXPECT_EQ(lastError(), kQNOAuth2ErrorSignInChanged);
    EXPECT_FALSE(auth->accessToken());
    EXPECT_FALSE(auth->refreshToken());
    // Signed out before: nothing is sent at all.
    const size_t sent = server.requestCount("/token");
    stored = std::nullopt;
    auth = prepared(60);
    authorize(auth, "gone-before");
    ASSERT_TRUE(waitForOutcomes(6));
    EXPECT_EQ(lastError(), kQNOAuth2ErrorSignInChanged);
    EXPECT_EQ(server.requestCount("/token"), sent);
    EXPECT_EQ(taken, letGo);
}

// A refresh whose answer does not come within the session's time without a byte times out then,
// as every request does, however long the refresh's deadline: and the token it presented (which
// a rotating provider has replaced by then) is not presented again.
TEST_F(QNOAuth2RefreshTest, ARefreshTimesOutLikeEveryRequestAndItsTokenIsPresentedOnce) {
    server.on("POST", "/token", [](const test::TestRequest&, test::TestResponse& res) {
        res.body = kFreshToken;
        res.contentType = "application/json";
        res.delay = 5;
    });
    auto service = QNSessionFetcherService::make();
    service->setConfigurationBlock([](const std::shared_ptr<QNSessionFetcher>&, platform::URLSessionConfiguration& c) {
        c.setTimeoutIntervalForRequest(0.2);
    });
    auto auth = staleAuthentication();
    auth->setFetcherService(service);
    auth->setRefreshDeadline(30);
    authorize(auth, "slow");
    ASSERT_TRUE(waitForOutcomes(1));
    // Not the answer that came late: the request goes with the token it had (still valid).
    EXPECT_EQ(outcomes[0].request->valueForHTTPHeaderField("Authorization").value_or(""), "Bearer old-access");
    EXPECT_EQ(server.requestCount("/token"), 1u);
}

}  // namespace
}  // namespace quorvane
