// Retries of the session fetcher: backoff on transient statuses, "Retry-After", the retry
// block's say, the one forced retry after a 401 with a refreshable authorizer, and stopping
// during the retry delay.

#include <gtest/gtest.h>

#include <atomic>

#include "tests/fetcher/QNSessionFetcherTestSupport.h"

namespace quorvane::test {
namespace {

using platform::Bytes;
using platform::Error;

class QNSessionFetcherRetryTest : public ::testing::Test {
protected:
    // Answers 503 (with the body "busy") for the first `failures` requests, then 200 "done".
    void failFirst(const std::string& path, int failures, std::optional<std::string> retryAfter = std::nullopt) {
        auto count = std::make_shared<std::atomic<int>>(0);
        server.on("*", path, [count, failures, retryAfter](const TestRequest&, TestResponse& res) {
            if (count->fetch_add(1) < failures) {
                res.status = 503;
                res.body = "busy";
                if (retryAfter) res.setHeader("Retry-After", *retryAfter);
            } else {
                res.body = "done";
            }
        });
    }
    std::shared_ptr<QNSessionFetcher> quickRetryFetcher(std::string_view path, double maxInterval = 1.0) {
        auto fetcher = QNSessionFetcher::fetcherWithURL(server.url(path));
        fetcher->setRetryEnabled(true);
        fetcher->setMinRetryInterval(0.01);
        fetcher->setMaxRetryInterval(maxInterval);
        return fetcher;
    }

    TestHTTPServer server;
};

TEST_F(QNSessionFetcherRetryTest, ServiceUnavailableIsRetriedWithBackoffUntilItSucceeds) {
    failFirst("/busy", 2);
    auto fetcher = quickRetryFetcher("/busy");
    NotificationCounter notes(fetcher);
    std::vector<bool> suggestions;
    fetcher->setRetryBlock([&](bool suggested, const std::optional<Error>& error, auto response) {
        suggestions.push_back(suggested);
        EXPECT_EQ(error->code, 503);
        EXPECT_EQ(error->userInfo[QNSessionFetcherStatusDataUserInfoKey].asBytes(), bytesOf("busy"));
        response(suggested);
    });
    auto outcome = fetchToEnd(fetcher);
    EXPECT_EQ(outcome->calls, 1);
    EXPECT_FALSE(outcome->error);
    EXPECT_EQ(stringOf(outcome->data), "done");
    EXPECT_EQ(server.requestCount("/busy"), 3u);
    EXPECT_EQ(fetcher->retryCount(), 2u);
    EXPECT_EQ(suggestions, (std::vector<bool>{true, true}));
    EXPECT_EQ(notes.count(kQNSessionFetcherRetryDelayStartedNotification), 2);
    EXPECT_EQ(notes.count(kQNSessionFetcherRetryDelayStoppedNotification), 2);
    EXPECT_EQ(notes.count(kQNSessionFetcherStartedNotification), 3);
    EXPECT_EQ(notes.count(kQNSessionFetcherStoppedNotification), 3);
    EXPECT_EQ(notes.count(kQNSessionFetcherCompletionInvokedNotification), 1);
}

TEST_F(QNSessionFetcherRetryTest, RetriesStopOnceTheNextIntervalReachesTheCapAndTheErrorCountsThem) {
    failFirst("/down", 1000);
    // Delays 1/16, 1/8, 1/4, 1/2 s; the next (1 s) is not below the cap. The last retry is
    // decided some 0.44 s after the first request, well inside the overall bound of three caps
    // however busy the machine.
    auto fetcher = quickRetryFetcher("/down", 1.0);
    fetcher->setMinRetryInterval(1.0 / 16);
    auto outcome = fetchToEnd(fetcher);
    ASSERT_TRUE(outcome->error);
    EXPECT_EQ(outcome->error->domain, QNSessionFetcherStatusDomain);
    EXPECT_EQ(outcome->error->code, 503);
    EXPECT_EQ(server.requestCount("/down"), 5u);
    EXPECT_EQ(outcome->error->userInfo[kQNSessionFetcherNumberOfRetriesDoneKey].asInt(), 4);
    EXPECT_GT(outcome->error->userInfo[kQNSessionFetcherElapsedIntervalWithRetriesKey].asDouble(), 0.9);
    EXPECT_EQ(outcome->error->userInfo[QNSessionFetcherStatusDataUserInfoKey].asBytes(), bytesOf("busy"));
}

TEST_F(QNSessionFetcherRetryTest, ATimedOutRequestIsRetried) {
    auto count = std::make_shared<std::atomic<int>>(0);
    server.on("*", "/sluggish", [count](const TestRequest&, TestResponse& res) {
        if (count->fetch_add(1) == 0) res.delay = 2;  // longer than the request may wait
        res.body = "in time";
    });
    platform::URLRequest request(server.url("/sluggish"));
    request.setTimeoutInterval(0.3);
    auto fetcher = QNSessionFetcher::fetcherWithRequest(request);
    fetcher->setRetryEnabled(true);
    fetcher->setMinRetryInterval(0.01);
    fetcher->setMaxRetryInterval(5);
    auto outcome = fetchToEnd(fetcher);
    EXPECT_FALSE(outcome->error) << outcome->error->domain << " " << outcome->error->code;
    EXPECT_EQ(stringOf(outcome->data), "in time");
    EXPECT_EQ(fetcher->retryCount(), 1u);
}

TEST_F(QNSessionFetcherRetryTest, RetryAfterAllowsARetryAndSetsTheDelay) {
    failFirst("/later", 2, "0");
    // (A cap of 1 s: the retries end three caps after the first request, however busy the machine.)
    auto fetcher = quickRetryFetcher("/later", 1.0);
    auto outcome = fetchToEnd(fetcher);
    EXPECT_FALSE(outcome->error);
    EXPECT_EQ(server.requestCount("/later"), 3u);
}

TEST_F(QNSessionFetcherRetryTest, ALongRetryAfterIsCappedForAGet) {
    failFirst("/overloaded", 1000, "120");
    auto fetcher = QNSessionFetcher::fetcherWithURL(server.url("/overloaded"));
    fetcher->setRetryEnabled(true);
    auto outcome = beginFetch(fetcher);
    ASSERT_TRUE(pumpUntil([&] { return fetcher->retryTimer() != nullptr; }));
    EXPECT_EQ(fetcher->maxRetryInterval(), 60.0);
    EXPECT_NEAR(fetcher->retryAfterInterval(), 120.0, 0.001);
    EXPECT_NEAR(fetcher->nextRetryInterval(), 120.0, 0.001);
    EXPECT_EQ(fetcher->retryTimer()->timeInterval(), 60.0);
    fetcher->stopFetching();
    EXPECT_EQ(outcome->calls, 0);
}

TEST_F(QNSessionFetcherRetryTest, TheRetryBlockDecides) {
    failFirst("/veto", 1);
    auto vetoed = quickRetryFetcher("/veto");
    vetoed->setRetryBlock([](bool, const std::optional<Error>&, auto response) { response(false); });
    auto vetoOutcome = fetchToEnd(vetoed);
    ASSERT_TRUE(vetoOutcome->error);
    EXPECT_EQ(vetoOutcome->error->code, 503);
    EXPECT_FALSE(vetoOutcome->error->userInfo.contains(kQNSessionFetcherNumberOfRetriesDoneKey));
    EXPECT_EQ(server.requestCount("/veto"), 1u);

    // A 500 is not in the table, but the block may insist.
    auto count = std::make_shared<std::atomic<int>>(0);
    server.on("*", "/insist", [count](const TestRequest&, TestResponse& res) {
        res.status = count->fetch_add(1) == 0 ? 500 : 200;
    });
    auto insisting = quickRetryFetcher("/insist");
    bool sawSuggestion = true;
    insisting->setRetryBlock([&](bool suggested, const std::optional<Error>& error, auto response) {
        sawSuggestion = suggested;
        response(true);
    });
    EXPECT_FALSE(fetchToEnd(insisting)->error);
    EXPECT_FALSE(sawSuggestion);
    EXPECT_EQ(server.requestCount("/insist"), 2u);

    // With retry off and nothing forced, the block is not asked.
    failFirst("/off", 1);
    auto off = QNSessionFetcher::fetcherWithURL(server.url("/off"));
    bool asked = false;
    off->setRetryBlock([&](bool, const std::optional<Error>&, auto response) {
        asked = true;
        response(true);
    });
    EXPECT_EQ(fetchToEnd(off)->error->code, 503);
    EXPECT_FALSE(asked);
}

TEST_F(QNSessionFetcherRetryTest, AnUnauthorizedAnswerIsRetriedOnceWithFreshCredentials) {
    server.on("*", "/private", [](const TestRequest& req, TestResponse& res) {
        res.status = req.header("Authorization") == "Bearer t1-fresh" ? 200 : 401;
        res.body = req.header("Authorization").value_or("none");
    });
    auto authorizer = std::make_shared<TestAuthorizer>();
    auto fetcher = QNSessionFetcher::fetcherWithURL(server.url("/private"));
    fetcher->setAuthorizer(authorizer);
    fetcher->setMinRetryInterval(0.01);  // retry stays off
    auto outcome = fetchToEnd(fetcher);
    EXPECT_FALSE(outcome->error);
    EXPECT_EQ(stringOf(outcome->data), "Bearer t1-fresh");
    auto requests = server.requests("/private");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].header("Authorization"), "Bearer t1");
    EXPECT_EQ(authorizer->primeCalls, 1);
    EXPECT_EQ(authorizer->authorizeCalls, 2);

    // The forced retry happens once: a second 401 ends the fetch.
    server.on("*", "/never", [](const TestRequest&, TestResponse& res) {
        res.status = 401;
        res.body = "denied";
    });
    auto denied = QNSessionFetcher::fetcherWithURL(server.url("/never"));
    denied->setAuthorizer(std::make_shared<TestAuthorizer>());
    denied->setMinRetryInterval(0.01);
    auto deniedOutcome = fetchToEnd(denied);
    ASSERT_TRUE(deniedOutcome->error);
    EXPECT_EQ(deniedOutcome->error->code, 401);
    EXPECT_EQ(server.requestCount("/never"), 2u);

    // An authorizer that cannot refresh gets no retry.
    auto stale = std::make_shared<TestAuthorizer>();
    stale->canRefresh = false;
    auto noRefresh = QNSessionFetcher::fetcherWithURL(server.url("/never"));
    noRefresh->setAuthorizer(stale);
    EXPECT_EQ(fetchToEnd(noRefresh)->error->code, 401);
    EXPECT_EQ(server.requestCount("/never"), 3u);
}

TEST_F(QNSessionFetcherRetryTest, StoppingDuringTheRetryDelayEndsTheFetchSilently) {
    failFirst("/pause", 1000);
    auto fetcher = QNSessionFetcher::fetcherWithURL(server.url("/pause"));
    fetcher->setRetryEnabled(true);
    fetcher->setMinRetryInterval(30);
    fetcher->setMaxRetryInterval(600);
    NotificationCounter notes(fetcher);
    auto outcome = beginFetch(fetcher);
    ASSERT_TRUE(pumpUntil([&] { return fetcher->retryTimer() != nullptr; }));
    EXPECT_EQ(notes.count(kQNSessionFetcherRetryDelayStartedNotification), 1);
    fetcher->stopFetching();
    EXPECT_FALSE(fetcher->retryTimer());
    platform::RunLoop::main()->runUntil([] { return false; }, 0.05);
    EXPECT_EQ(outcome->calls, 0);
    EXPECT_EQ(notes.count(kQNSessionFetcherRetryDelayStoppedNotification), 1);
    EXPECT_EQ(notes.count(kQNSessionFetcherStoppedNotification), 1);
    EXPECT_EQ(server.requestCount("/pause"), 1u);
}

TEST_F(QNSessionFetcherRetryTest, RetryableErrorsAreTheTransientOnes) {
    auto fetcher = QNSessionFetcher::fetcherWithRequest(std::nullopt);
    for (int64_t code : {408, 502, 503, 504}) EXPECT_TRUE(fetcher->isRetryError(Error(QNSessionFetcherStatusDomain, code)));
    for (int64_t code : {400, 401, 404, 500}) EXPECT_FALSE(fetcher->isRetryError(Error(QNSessionFetcherStatusDomain, code)));
    EXPECT_TRUE(fetcher->isRetryError(Error(platform::kURLErrorDomain, platform::kURLErrorTimedOut)));
    EXPECT_TRUE(fetcher->isRetryError(Error(platform::kURLErrorDomain, platform::kURLErrorNetworkConnectionLost)));
    EXPECT_FALSE(fetcher->isRetryError(Error(platform::kURLErrorDomain, platform::kURLErrorCancelled)));
    EXPECT_FALSE(fetcher->isRetryError(Error("other", 503)));
}

}  // namespace
}  // namespace quorvane::test
