// What keeps a fetch's secrets with their host and its retries bounded: redirects to another
// origin lose the credentials and the body (an exchange of secrets does not follow them at all),
// "Retry-After" keeps the minimum interval and the overall bound, and a fetcher with a session
// identifier leaves its service's shared session to the others.

#include <gtest/gtest.h>

#include <atomic>

#include "fetcher/QNSessionFetcherService.h"
#include "platform/runloop/DispatchQueue.h"
#include "tests/fetcher/QNSessionFetcherTestSupport.h"

namespace quorvane::test {
namespace {

using platform::URLRequest;

class QNSessionFetcherSecretsTest : public ::testing::Test {
protected:
    // "/moved" on the first server answers a redirect to `target`.
    void redirectTo(const std::string& target, int status = 307) {
        first.on("*", "/moved", [target, status](const TestRequest&, TestResponse& res) {
            res.status = status;
            res.setHeader("Location", target);
        });
    }
    std::shared_ptr<QNSessionFetcher> signedPost() {
        auto fetcher = QNSessionFetcher::fetcherWithURL(first.url("/moved"));
        fetcher->setRequestValue("Bearer secret-token", "Authorization");
        fetcher->setRequestValue("application/octet-stream", "Content-Type");
        fetcher->setBodyData(bytesOf("refresh_token=secret"));
        return fetcher;
    }

    TestHTTPServer first, second;
};

TEST_F(QNSessionFetcherSecretsTest, ARedirectToAnotherOriginLosesTheCredentialsAndTheBody) {
    second.respond("/landing", 200, "other");
    first.respond("/landing", 200, "same");
    struct Case {
        std::string target;
        bool crossOrigin;
    };
    for (const Case& c : {Case{second.url("/landing").absoluteString(), true},  // another port
                          Case{first.url("/landing").absoluteString(), false}}) {
        first.clearLog();
        second.clearLog();
        redirectTo(c.target);
        auto outcome = fetchToEnd(signedPost());
        ASSERT_FALSE(outcome->error) << c.target;
        TestHTTPServer& landed = c.crossOrigin ? second : first;
        ASSERT_EQ(landed.requestCount("/landing"), 1u) << c.target;
        TestRequest seen = landed.requests("/landing")[0];
        if (c.crossOrigin) {
            EXPECT_FALSE(seen.header("Authorization"));
            EXPECT_EQ(seen.method, "GET");
            EXPECT_EQ(seen.body, "");
        } else {
            EXPECT_EQ(seen.header("Authorization"), "Bearer secret-token");
            EXPECT_EQ(seen.method, "POST");
            EXPECT_EQ(seen.body, "refresh_token=secret");
        }
    }
}

TEST_F(QNSessionFetcherSecretsTest, AnExchangeOfSecretsNeverFollowsARedirectAndItsNotificationCarriesNoBody) {
    second.respond("/landing", 200, "other");
    redirectTo(second.url("/landing").absoluteString());
    auto fetcher = signedPost();
    fetcher->setSecretExchange(true);
    NotificationCounter notes(fetcher);
    auto outcome = fetchToEnd(fetcher);
    ASSERT_TRUE(outcome->error);
    EXPECT_EQ(outcome->error->code, 307);
    EXPECT_EQ(second.requestCount(), 0u);

    first.respond("/token", 400, "{\"access_token\":\"leaked\"}");
    auto token = QNSessionFetcher::fetcherWithURL(first.url("/token"));
    token->setSecretExchange(true);
    NotificationCounter tokenNotes(token);
    auto failed = fetchToEnd(token);
    ASSERT_TRUE(failed->error);
    platform::Value info = tokenNotes.lastUserInfo(kQNSessionFetcherCompletionInvokedNotification);
    EXPECT_EQ(info.toJSON().find("leaked"), std::string::npos) << info.toJSON();
    EXPECT_EQ(info[kQNSessionFetcherCompletionErrorKey]["code"].asInt(), 400);
    // The caller still gets the body.
    EXPECT_EQ(failed->error->userInfo[QNSessionFetcherStatusDataUserInfoKey].asBytes(), bytesOf("{\"access_token\":\"leaked\"}"));
}

TEST_F(QNSessionFetcherSecretsTest, RetryAfterZeroKeepsTheMinimumIntervalAndTheOverallBound) {
    auto count = std::make_shared<std::atomic<int>>(0);
    first.on("*", "/busy", [count](const TestRequest&, TestResponse& res) {
        count->fetch_add(1);
        res.status = 503;
        res.setHeader("Retry-After", "0");
    });
    auto bounded = QNSessionFetcher::fetcherWithURL(first.url("/busy"));
    bounded->setRetryEnabled(true);
    bounded->setMinRetryInterval(0.05);
    bounded->setMaxRetryInterval(0.5);
    bounded->setRetryBlock([&](bool suggested, const auto&, auto response) {
        EXPECT_NEAR(bounded->nextRetryInterval(), 0.05, 1e-9);  // never 0
        response(suggested);
    });
    // It ends on its own three caps (1.5 s) after the first request, having sent one request
    // per 0.05 s at most.
    auto end = fetchToEnd(bounded, 30);
    ASSERT_TRUE(end->error);
    EXPECT_EQ(end->error->code, 503);
    EXPECT_GE(count->load(), 1);
    EXPECT_LE(count->load(), 32);
}

TEST_F(QNSessionFetcherSecretsTest, AFetcherWithASessionIdentifierLeavesTheSharedSessionToTheOthers) {
    first.respond("/a", 200, "a");
    auto service = QNSessionFetcherService::make();
    auto tagged = service->fetcherWithRequest(URLRequest(first.url("/a")));
    tagged->setSessionIdentifier(tagged->createSessionIdentifierWithMetadata(std::nullopt));
    auto taggedOutcome = fetchToEnd(tagged);
    EXPECT_FALSE(taggedOutcome->error);
    // The next fetch of the service begins (off the main thread, so a blocked begin shows as a
    // time-out here rather than a hang) and completes.
    auto plain = service->fetcherWithRequest(URLRequest(first.url("/a")));
    std::shared_ptr<FetchOutcome> outcome;
    std::atomic<bool> begun{false};
    platform::DispatchQueue::global()->async([&] {
        outcome = beginFetch(plain);
        begun = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return begun && outcome->calls > 0; }, 60));
    EXPECT_FALSE(outcome->error);
    EXPECT_EQ(stringOf(outcome->data), "a");
}

}  // namespace
}  // namespace quorvane::test
