// URL sessions when things go wrong: untrusted certificates, stalls and trickles, connections
// lost in the middle of a body, refused connections, body streams that fail, kept-alive
// connections the server drops, answers the transfer library cannot read, proxies.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/net/URLError.h"
#include "tests/platform/URLSessionTestDelegate.h"
#include "tests/support/TestConnectProxy.h"
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
    EXPECT_EQ(trust->evaluate().error().code, kURLErrorServerCertificateUntrusted);
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

// A response that keeps a byte coming, each well within the idle time-out, but moves less than
// the session's floor ends timed out.
TEST_F(URLSessionFaultsTest, ATrickleBelowTheFloorTimesOut) {
    server.on("GET", "/trickle", [](const TestRequest&, TestResponse& res) {
        res.body = randomBody(100000);
        res.trickleEvery = 0.1;
    });
    auto configuration = URLSessionConfiguration::ephemeralSessionConfiguration();
    configuration.setMinimumTransferRate(1024, 1);
    auto slow = URLSession::sessionWithConfiguration(configuration, delegate, queue);
    auto task = slow->dataTaskWithRequest(URLRequest(server.url("/trickle")));
    task->resume();
    ASSERT_TRUE(delegate->waitForCompletions(1));
    auto r = delegate->record(task);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code, kURLErrorTimedOut);
    EXPECT_FALSE(r.error->userInfo[kURLErrorDeadlineKey].asBool());
    EXPECT_LT(r.data.size(), 1024u);
    slow->invalidateAndCancel();

    // Above the floor, the request's whole deadline ends it: a time-out of its own kind.
    configuration.setMinimumTransferRate(0, 0);
    configuration.setTimeoutIntervalForResource(0.5);
    auto limited = URLSession::sessionWithConfiguration(configuration, delegate, queue);
    auto late = limited->dataTaskWithRequest(URLRequest(server.url("/trickle")));
    late->resume();
    ASSERT_TRUE(delegate->waitForCompletions(2));
    auto deadline = delegate->record(late);
    ASSERT_TRUE(deadline.error);
    EXPECT_EQ(deadline.error->code, kURLErrorTimedOut);
    EXPECT_TRUE(deadline.error->userInfo[kURLErrorDeadlineKey].asBool());
    limited->invalidateAndCancel();
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

// Answers the transfer library cannot read say so: the server's answer was bad.
TEST_F(URLSessionFaultsTest, AnAnswerThatCannotBeReadIsABadServerResponse) {
    server.on("GET", "/long-header", [](const TestRequest&, TestResponse& res) {
        res.setHeader("X-Long", std::string(300 * 1024, 'a'));
        res.body = "never read";
    });
    auto r = run(URLRequest(server.url("/long-header")));
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code, kURLErrorBadServerResponse);
    EXPECT_TRUE(r.responses.empty());
    // A header block without end in sight is too large, not a connection that broke off.
    server.on("GET", "/many-headers", [](const TestRequest&, TestResponse& res) {
        for (int i = 0; i < 100000; ++i) res.setHeader("X-" + std::to_string(i), "x");
    });
    auto many = run(URLRequest(server.url("/many-headers")));
    ASSERT_TRUE(many.error);
    EXPECT_EQ(many.error->code, kURLErrorDataLengthExceedsMaximum);
    EXPECT_TRUE(many.responses.empty());
}

// Sets an environment variable for the scope, then removes it.
struct ScopedEnvironment {
    std::string name;
    ScopedEnvironment(std::string n, const std::string& value) : name(std::move(n)) { ::setenv(name.c_str(), value.c_str(), 1); }
    ~ScopedEnvironment() { ::unsetenv(name.c_str()); }
};

// Through a proxy's tunnel every answer is the server's own (status, headers, body) and its
// redirects are followed; a proxy that refuses the tunnel is an error, never an answer.
TEST_F(URLSessionFaultsTest, ThroughAProxysTunnelEveryAnswerIsTheServersOwn) {
    const std::string origin = std::string(TestHTTPServer::kProxiedHostName) + ":" + std::to_string(server.port());
    auto at = [&](const std::string& path) { return *URL::URLWithString("https://" + origin + path); };
    server.on("GET", "/moved", [&](const TestRequest&, TestResponse& res) {
        res.status = 302;
        res.setHeader("Location", at("/landing").absoluteString());
    });
    struct Case {
        const char* path;
        int status;
        const char* body;
    } cases[] = {{"/ok", 200, "fine"}, {"/missing", 404, "gone"}, {"/busy", 503, "later"},
                 {"/who", 401, "sign in"}, {"/landing", 200, "landed"}, {"/moved", 200, "landed"}};
    for (const auto& c : cases)
        if (std::string(c.path) != "/moved") server.respond(c.path, c.status, c.body);
    {
        TestConnectProxy proxy;
        ScopedEnvironment variable("https_proxy", proxy.address());
        for (const auto& c : cases) {
            SCOPED_TRACE(c.path);
            auto r = run(URLRequest(at(c.path)));
            ASSERT_FALSE(r.error) << r.error->userInfo.toJSON();
            auto response = std::dynamic_pointer_cast<const HTTPURLResponse>(r.responses.back());
            ASSERT_TRUE(response);
            EXPECT_EQ(response->statusCode(), c.status);
            EXPECT_FALSE(response->valueForHTTPHeaderField("Proxy-Agent"));
            EXPECT_EQ(toString(r.data), c.body);
        }
        ASSERT_FALSE(proxy.targets().empty());
        EXPECT_EQ(proxy.targets().front(), origin);
    }
    const size_t served = server.requestCount();
    for (int refusal : {403, 407}) {
        SCOPED_TRACE(refusal);
        TestConnectProxy proxy(refusal);
        ScopedEnvironment variable("https_proxy", proxy.address());
        auto r = run(URLRequest(at("/ok")));
        ASSERT_TRUE(r.error);
        EXPECT_EQ(r.error->code, kURLErrorCannotConnectToHost);
        EXPECT_TRUE(r.error->userInfo[kURLErrorProxyFailureKey].asBool());
        EXPECT_NE(r.error->userInfo["NSDebugDescription"].asString().find(std::to_string(refusal)), std::string::npos);
        EXPECT_TRUE(r.responses.empty());
    }
    EXPECT_EQ(server.requestCount(), served);
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

// A plain HTTP server that answers the first request of each connection, keeping it alive, and
// drops the connection unanswered when a second request arrives on it.
class OneAnswerPerConnectionServer {
public:
    explicit OneAnswerPerConnectionServer(int connections) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len), 0);
        EXPECT_EQ(::listen(listener_, 8), 0);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this, connections] {
            for (int i = 0; i < connections; ++i) {
                int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) return;
                {
                    std::lock_guard lock(mutex_);
                    accepted_.push_back(fd);
                }
                if (!readRequest(fd)) continue;
                static const char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
                (void)!::write(fd, answer, sizeof answer - 1);
                if (readRequest(fd)) ::shutdown(fd, SHUT_RDWR);  // the next request goes unanswered
            }
        });
    }
    // Sockets are closed only once the thread has ended, so none of their numbers is reused
    // while it may still use them.
    ~OneAnswerPerConnectionServer() {
        ::shutdown(listener_, SHUT_RDWR);
        {
            std::lock_guard lock(mutex_);
            for (int fd : accepted_) ::shutdown(fd, SHUT_RDWR);
        }
        thread_.join();
        for (int fd : accepted_) ::close(fd);
        ::close(listener_);
    }
    URL url() const { return *URL::URLWithString("http://127.0.0.1:" + std::to_string(port_) + "/"); }

private:
    static bool readRequest(int fd) {
        std::string in;
        char buffer[4096];
        while (in.find("\r\n\r\n") == std::string::npos) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) return false;
            in.append(buffer, size_t(n));
        }
        return true;
    }
    int listener_ = -1;
    int port_ = 0;
    std::mutex mutex_;
    std::vector<int> accepted_;
    std::thread thread_;
};

// Each request finds its kept-alive connection dropped and is sent again on a new one, however
// many requests before it were.
TEST_F(URLSessionFaultsTest, EveryRequestRetriesOnceWhenItsKeptAliveConnectionWasDropped) {
    constexpr int kRequests = 10;
    OneAnswerPerConnectionServer dropping(kRequests);
    for (int i = 0; i < kRequests; ++i) {
        auto r = run(URLRequest(dropping.url()));
        EXPECT_FALSE(r.error) << "request " << i << ": " << r.error->userInfo.toJSON();
        EXPECT_EQ(toString(r.data), "ok");
    }
}

}  // namespace
}  // namespace quorvane::test
