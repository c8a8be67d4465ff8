// What keeps a fetch's secrets with their origin and its memory and retries bounded: redirects to
// another origin lose the credentials, the caller's cookies and the body (an exchange of secrets
// does not follow them at all), a credential answers only its own origin's challenges, nothing
// that could split a request reaches the wire, a body held in memory stops at its limit,
// "Retry-After" keeps the minimum interval and the overall bound, and a fetcher with a session
// identifier leaves its service's shared session to the others.

#include <gtest/gtest.h>

#include <zlib.h>

#include <atomic>
#include <filesystem>

#include "fetcher/QNSessionFetcherService.h"
#include "platform/runloop/DispatchQueue.h"
#include "tests/fetcher/QNSessionFetcherTestSupport.h"

namespace quorvane::test {
namespace {

using platform::URL;
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

TEST_F(QNSessionFetcherSecretsTest, ACredentialAndTheCallersCookiesStayWithTheOriginTheyWereGivenFor) {
    auto challenge = [](const TestRequest& req, TestResponse& res) {
        if (req.header("Authorization")) return;
        res.status = 401;
        res.setHeader("WWW-Authenticate", "Basic realm=\"quorvane\"");
    };
    second.on("*", "/landing", challenge);
    first.on("*", "/landing", challenge);
    for (bool crossOrigin : {true, false}) {
        SCOPED_TRACE(crossOrigin);
        first.clearLog();
        second.clearLog();
        redirectTo((crossOrigin ? second : first).url("/landing").absoluteString());
        auto fetcher = QNSessionFetcher::fetcherWithURL(first.url("/moved"));
        fetcher->setCredential(platform::URLCredential::credentialWithUser(
            "owner", "account-password", platform::URLCredentialPersistence::ForSession));
        fetcher->setRequestValue("session=caller-secret", "Cookie");
        auto outcome = fetchToEnd(fetcher);
        TestHTTPServer& landed = crossOrigin ? second : first;
        ASSERT_GE(landed.requestCount("/landing"), 1u);
        for (const auto& seen : landed.requests("/landing")) {
            if (crossOrigin) {
                EXPECT_FALSE(seen.header("Authorization"));
                EXPECT_FALSE(seen.header("Cookie"));
            } else {
                EXPECT_EQ(seen.header("Cookie"), "session=caller-secret");
            }
        }
        ASSERT_EQ(bool(outcome->error), crossOrigin);
        if (crossOrigin) EXPECT_EQ(outcome->error->code, 401);
        else EXPECT_TRUE(landed.requests("/landing").back().header("Authorization"));
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

TEST_F(QNSessionFetcherSecretsTest, AHeaderOrMethodThatCouldSplitTheRequestIsRefusedBeforeAnythingIsSent) {
    first.respond("/h", 200, "ok");
    struct Case {
        std::string name, value, method;
    };
    const std::vector<Case> cases = {
        {"X-Custom", "a\r\nX-Injected: 1", "GET"},
        {"X-Custom", "a\nX-Injected: 1", "GET"},
        {"X-Custom", "a\rX-Injected: 1", "GET"},
        {"X-Custom", std::string("a\0X-Injected: 1", 16), "GET"},
        {"User-Agent", "agent\r\n\r\nGET /smuggled HTTP/1.1", "GET"},
        {"If-Match", "\"etag\"\r\nX-Injected: 1", "PUT"},
        {"Authorization", "Bearer t\r\nX-Injected: 1", "GET"},
        {"X-Injected: 1\r\nX-Custom", "a", "GET"},
        {"X-Custom:", "a", "GET"},
        {"X Custom", "a", "GET"},
        {"X-Custom", "a", "GET /smuggled HTTP/1.1\r\nX-Injected: 1\r\n\r\nGET"},
    };
    for (const Case& c : cases) {
        auto fetcher = QNSessionFetcher::fetcherWithURL(first.url("/h"));
        URLRequest request = *fetcher->request();
        request.setHTTPMethod(c.method);
        request.setValue(c.value, c.name);
        fetcher->setRequest(request);
        auto outcome = fetchToEnd(fetcher);
        ASSERT_TRUE(outcome->error) << c.name;
        EXPECT_EQ(outcome->error->domain, platform::kURLErrorDomain) << c.name;
        EXPECT_EQ(outcome->error->code, platform::kURLErrorBadURL) << c.name;
        EXPECT_EQ(outcome->error->localizedDescription().rfind("The request was not sent", 0), 0u)
            << outcome->error->localizedDescription();
    }
    EXPECT_EQ(first.requestCount(), 0u);
    // Tabs and text beyond ASCII are values like any other.
    auto fine = QNSessionFetcher::fetcherWithURL(first.url("/h"));
    fine->setRequestValue("a\tb \xc3\xa9", "X-Custom");
    ASSERT_FALSE(fetchToEnd(fine)->error);
    EXPECT_EQ(first.requests("/h").at(0).header("X-Custom"), "a\tb \xc3\xa9");
}

// Gzip of `size` zero bytes, made a megabyte at a time: a small body that inflates without end.
std::string gzipBomb(size_t size) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<unsigned char> zeros(1 << 20, 0), out(1 << 16);
    std::string bomb;
    for (size_t fed = 0; fed < size;) {
        size_t n = std::min(zeros.size(), size - fed);
        fed += n;
        z.next_in = zeros.data();
        z.avail_in = uInt(n);
        int flush = fed == size ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = out.data();
            z.avail_out = uInt(out.size());
            deflate(&z, flush);
            bomb.append(reinterpret_cast<char*>(out.data()), out.size() - z.avail_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    return bomb;
}

TEST_F(QNSessionFetcherSecretsTest, ABodyHeldInMemoryStopsAtTheLimitCountedInDecodedBytes) {
    const std::string bomb = gzipBomb(size_t(2) * kQNSessionFetcherDefaultMaxResponseBodySize);
    ASSERT_LT(bomb.size(), size_t(2) << 20);
    first.on("GET", "/bomb", [&](const TestRequest&, TestResponse& res) {
        res.body = bomb;
        res.setHeader("Content-Encoding", "gzip");
    });
    first.respond("/plain", 200, patternBody(300000));
    struct Case {
        std::string path;
        int64_t limit;  // 0: the fetcher's default
        bool service;   // the limit set on the fetcher service
        bool fits;
    };
    for (const Case& c : {Case{"/bomb", 0, false, false}, Case{"/plain", 299999, false, false},
                          Case{"/plain", 299999, true, false}, Case{"/plain", 300000, false, true}}) {
        SCOPED_TRACE(c.path + " " + std::to_string(c.limit));
        std::shared_ptr<QNSessionFetcher> fetcher;
        if (c.service) {
            auto service = QNSessionFetcherService::make();
            service->setMaxResponseBodySize(c.limit);
            fetcher = service->fetcherWithRequest(URLRequest(first.url(c.path)));
        } else {
            fetcher = QNSessionFetcher::fetcherWithURL(first.url(c.path));
            if (c.limit) fetcher->setMaxResponseBodySize(c.limit);
        }
        EXPECT_EQ(fetcher->maxResponseBodySize(), c.limit ? c.limit : kQNSessionFetcherDefaultMaxResponseBodySize);
        auto outcome = fetchToEnd(fetcher, 120);
        if (c.fits) {
            ASSERT_FALSE(outcome->error);
            EXPECT_EQ(outcome->data->size(), 300000u);
            continue;
        }
        ASSERT_TRUE(outcome->error);
        EXPECT_EQ(outcome->error->domain, platform::kURLErrorDomain);
        EXPECT_EQ(outcome->error->code, platform::kURLErrorDataLengthExceedsMaximum);
        EXPECT_FALSE(outcome->data);
        EXPECT_LE(fetcher->downloadedLength(), c.limit ? c.limit : kQNSessionFetcherDefaultMaxResponseBodySize);
    }
    // An error answer is read for its words: the fetch ends with its status and the first part.
    first.respond("/failed", 500, patternBody(3 << 20));
    auto failed = fetchToEnd(QNSessionFetcher::fetcherWithURL(first.url("/failed")), 120);
    ASSERT_TRUE(failed->error);
    EXPECT_EQ(failed->error->domain, QNSessionFetcherStatusDomain);
    EXPECT_EQ(failed->error->code, 500);
    EXPECT_EQ(failed->error->userInfo[QNSessionFetcherStatusDataUserInfoKey].asBytes().size(),
              size_t(kQNSessionFetcherSmallResponseBodySize));
    // A body written to a file is not held: the limit leaves it alone.
    ScopedTemporaryDirectory tmp;
    auto download = QNSessionFetcher::fetcherWithURL(first.url("/plain"));
    download->setMaxResponseBodySize(1000);
    download->setDestinationFileURL(URL::fileURLWithPath(tmp.path / "plain"));
    ASSERT_FALSE(fetchToEnd(download)->error);
    EXPECT_EQ(std::filesystem::file_size(tmp.path / "plain"), 300000u);
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
