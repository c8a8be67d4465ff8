// URL sessions when things go wrong: untrusted certificates, stalls, connections lost in the
// middle of a body, refused connections, body streams that fail.

#include <gtest/gtest.h>

#include <cstring>

#include "tests/platform/URLSessionTestDelegate.h"
#include "tests/support/TestHTTPServer.h"

namespace quorvane::test {
namespace {

class URLSessionFaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        delegate = std::make_shared<RecordingDelegate>();
        queue = OperationQueue::make("test.URLSessionFaults.delegate", 1);
        delegate->queue = queue;
        session = URLSession::sessionWithConfiguration(URLSessionConfiguration::ephemeralSessionConfiguration(), delegate,
                                                       queue);
    }
    void TearDown() override {
        // Invalidating closes the session's connections, so the servers stop at once.
        session->invalidateAndCancel();
        EXPECT_TRUE(delegate->waitForInvalid());
        session.reset();
    }
    RecordingDelegate::TaskRecord run(const URLRequest& request) {
        int before = delegate->totalCompletions();
        auto task = session->dataTaskWithRequest(request);
        task->resume();
        EXPECT_TRUE(delegate->waitForCompletions(before + 1));
        return delegate->record(task);
    }

    TestHTTPServer server;
    TestHTTPServer selfSigned{TestHTTPServer::Security::SelfSignedHTTPS};
    TestHTTPServer other{TestHTTPServer::Security::SelfSignedHTTPS};
    std::shared_ptr<RecordingDelegate> delegate;
    std::shared_ptr<OperationQueue> queue;
    std::shared_ptr<URLSession> session;
};

TEST_F(URLSessionFaultsTest, SelfSignedCertificateRaisesATrustChallengeThatMayBeAccepted) {
    selfSigned.respond("/hello", 200, "hi");
    delegate->onChallenge = [](const URLAuthenticationChallenge& ch) {
        return std::make_pair(URLSessionAuthChallengeDisposition::UseCredential,
                              std::optional(URLCredential::credentialForTrust(ch.protectionSpace().serverTrust())));
    };
    auto r = run(URLRequest(selfSigned.url("/hello")));
    EXPECT_FALSE(r.error) << (r.error ? r.error->code : 0);
    EXPECT_EQ(toString(r.data), "hi");
    EXPECT_EQ(r.events, (std::vector<std::string>{"challenge", "response", "data", "complete"}));
    ASSERT_EQ(r.challenges.size(), 1u);
    const auto& ch = r.challenges[0];
    EXPECT_EQ(ch.protectionSpace().authenticationMethod(), kURLAuthenticationMethodServerTrust);
    EXPECT_EQ(ch.protectionSpace().host(), "127.0.0.1");
    EXPECT_EQ(ch.protectionSpace().port(), selfSigned.port());
    ASSERT_TRUE(ch.error());
    EXPECT_EQ(ch.error()->code, kURLErrorServerCertificateUntrusted);
    auto trust = ch.protectionSpace().serverTrust();
    ASSERT_TRUE(trust);
    EXPECT_GE(trust->certificateCount(), 1u);
    EXPECT_EQ(trust->evaluate(), TrustResultType::RecoverableTrustFailure);
    EXPECT_EQ(selfSigned.requestCount("/hello"), 1u);
}

TEST_F(URLSessionFaultsTest, UntrustedCertificateFailsUnderDefaultHandlingAndCancels) {
    selfSigned.respond("/hello", 200, "hi");
    auto r = run(URLRequest(selfSigned.url("/hello")));
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->domain, kURLErrorDomain);
    EXPECT_EQ(r.error->code, kURLErrorServerCertificateUntrusted);
    EXPECT_EQ(r.challenges.size(), 1u);

    delegate->onChallenge = [](const URLAuthenticationChallenge&) {
        return std::make_pair(URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, std::optional<URLCredential>());
    };
    EXPECT_EQ(run(URLRequest(selfSigned.url("/hello"))).error->code, kURLErrorCancelled);

    // Accepting a different server's trust does not open this one.
    other.respond("/x", 200, "x");
    std::shared_ptr<const ServerTrust> otherTrust;
    delegate->onChallenge = [&](const URLAuthenticationChallenge& ch) {
        otherTrust = ch.protectionSpace().serverTrust();
        return std::make_pair(URLSessionAuthChallengeDisposition::UseCredential,
                              std::optional(URLCredential::credentialForTrust(otherTrust)));
    };
    ASSERT_FALSE(run(URLRequest(other.url("/x"))).error);
    delegate->onChallenge = [&](const URLAuthenticationChallenge&) {
        return std::make_pair(URLSessionAuthChallengeDisposition::UseCredential,
                              std::optional(URLCredential::credentialForTrust(otherTrust)));
    };
    auto wrongTrust = run(URLRequest(selfSigned.url("/hello")));
    ASSERT_TRUE(wrongTrust.error);
    EXPECT_EQ(wrongTrust.error->code, kURLErrorSecureConnectionFailed);
    EXPECT_EQ(selfSigned.requestCount("/hello"), 0u);
}

TEST_F(URLSessionFaultsTest, CertificateFromTheTrustedTestCARaisesNoChallenge) {
    server.respond("/ok", 200, "fine");
    auto r = run(URLRequest(server.url("/ok")));
    EXPECT_FALSE(r.error);
    EXPECT_TRUE(r.challenges.empty());
}

TEST_F(URLSessionFaultsTest, StallTimesOut) {
    server.on("GET", "/stall-body", [](const TestRequest&, TestResponse& res) {
        res.body = randomBody(10000);
        res.stallAfter = 100;
    });
    server.on("GET", "/stall-headers", [](const TestRequest&, TestResponse& res) { res.delay = 3600; });
    for (const char* path : {"/stall-body", "/stall-headers"}) {
        SCOPED_TRACE(path);
        URLRequest request(server.url(path));
        request.setTimeoutInterval(0.5);
        auto r = run(request);
        ASSERT_TRUE(r.error);
        EXPECT_EQ(r.error->domain, kURLErrorDomain);
        EXPECT_EQ(r.error->code, kURLErrorTimedOut);
        EXPECT_EQ(r.error->userInfo[Error::kURLErrorFailingURLStringKey].asString(), server.url(path).absoluteString());
        EXPECT_EQ(r.completions, 1);
        EXPECT_LE(r.data.size(), 100u);
    }
}

TEST_F(URLSessionFaultsTest, ConnectionClosedMidBodyIsConnectionLost) {
    std::string body = randomBody(100000);
    server.on("GET", "/cut", [&](const TestRequest&, TestResponse& res) {
        res.body = body;
        res.closeAfter = 50000;
    });
    auto r = run(URLRequest(server.url("/cut")));
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code, kURLErrorNetworkConnectionLost);
    EXPECT_EQ(r.events.front(), "response");
    EXPECT_EQ(r.events.back(), "complete");
    EXPECT_LE(r.data.size(), 50000u);
    size_t firstDiff = 0;
    while (firstDiff < r.data.size() && char(r.data[firstDiff]) == body[firstDiff]) ++firstDiff;
    EXPECT_EQ(firstDiff, r.data.size()) << "of " << r.data.size();
}

TEST_F(URLSessionFaultsTest, RefusedConnectionCannotConnect) {
    int port = TestHTTPServer::unusedPort();
    auto url = *URL::URLWithString("https://127.0.0.1:" + std::to_string(port) + "/nothing");
    auto r = run(URLRequest(url));
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code, kURLErrorCannotConnectToHost);
    EXPECT_EQ(r.error->userInfo[Error::kURLErrorFailingURLStringKey].asString(), url.absoluteString());
    EXPECT_EQ(r.events, (std::vector<std::string>{"complete"}));
}

TEST_F(URLSessionFaultsTest, FailingBodyStreamEndsTheUpload) {
    server.respond("/upload", 200, "");
    struct BrokenStream : InputStream {
        int reads = 0;
        void open() override {}
        void close() override {}
        int64_t read(uint8_t* buffer, size_t maxLength) override {
            if (reads++ == 0) {
                std::memset(buffer, 'x', std::min<size_t>(maxLength, 10));
                return std::min<int64_t>(int64_t(maxLength), 10);
            }
            return -1;
        }
        bool hasBytesAvailable() override { return true; }
        StreamStatus streamStatus() override { return reads > 1 ? StreamStatus::Error : StreamStatus::Open; }
        std::optional<Error> streamError() override { return Error(kPOSIXErrorDomain, 5); }
    };
    delegate->onBodyStream = [] { return std::make_shared<BrokenStream>(); };
    URLRequest request(server.url("/upload"));
    request.setHTTPMethod("PUT");
    auto task = session->uploadTaskWithStreamedRequest(request);
    task->resume();
    ASSERT_TRUE(delegate->waitForCompletions(1));
    auto r = delegate->record(task);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code, kURLErrorRequestBodyStreamExhausted);

    // No stream at all fails the same way, before anything is sent.
    delegate->onBodyStream = nullptr;
    auto none = session->uploadTaskWithStreamedRequest(request);
    none->resume();
    ASSERT_TRUE(delegate->waitForCompletions(2));
    EXPECT_EQ(delegate->record(none).error->code, kURLErrorRequestBodyStreamExhausted);
    EXPECT_EQ(server.requestCount("/upload"), 0u);
}

}  // namespace
}  // namespace quorvane::test
