// The session fetcher against the loopback HTTPS server: bodies in and out, the https rule,
// begin failures, redirects, status errors, downloads, stopping, and the locked properties.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "fetcher/QNSessionCookieStorage.h"
#include "platform/foundation/Paths.h"
#include "platform/net/InputStream.h"
#include "tests/fetcher/QNSessionFetcherTestSupport.h"

namespace quorvane::test {
namespace {

using platform::Bytes;
using platform::URL;
using platform::URLRequest;

class QNSessionFetcherTest : public ::testing::Test {
protected:
    std::shared_ptr<QNSessionFetcher> fetcherFor(std::string_view path) { return QNSessionFetcher::fetcherWithURL(server.url(path)); }
    std::shared_ptr<QNSessionFetcher> uploadFetcherFor(std::string_view path) {
        auto fetcher = fetcherFor(path);
        fetcher->setRequestValue("application/octet-stream", "Content-Type");
        return fetcher;
    }
    std::filesystem::path tempPath(const std::string& name) {
        auto dir = platform::Paths::cacheHome() / "fetcher-tests";
        std::filesystem::create_directories(dir);
        return dir / name;
    }

    TestHTTPServer server;
};

TEST_F(QNSessionFetcherTest, GetDeliversTheBodyOnceOnTheMainQueueAndPostsStartAndStop) {
    std::string body = patternBody(200000);
    server.respond("/get", 200, body);
    auto fetcher = fetcherFor("/get");
    NotificationCounter notes(fetcher);
    std::vector<int64_t> progress;
    fetcher->setReceivedProgressBlock([&](int64_t, int64_t total) { progress.push_back(total); });

    auto outcome = fetchToEnd(fetcher);
    EXPECT_EQ(outcome->calls, 1);
    EXPECT_TRUE(outcome->onMainThread);
    EXPECT_FALSE(outcome->error);
    EXPECT_TRUE(stringOf(outcome->data) == body);
    EXPECT_EQ(fetcher->statusCode(), 200);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), int64_t(body.size()));
    EXPECT_EQ(notes.count(kQNSessionFetcherStartedNotification), 1);
    EXPECT_EQ(notes.count(kQNSessionFetcherStoppedNotification), 1);
    EXPECT_EQ(notes.count(kQNSessionFetcherCompletionInvokedNotification), 1);
    EXPECT_FALSE(fetcher->isFetching());
    EXPECT_TRUE(fetcher->waitForCompletionWithTimeout(1));
    EXPECT_FALSE(fetcher->completionHandler());
    EXPECT_EQ(server.requests("/get").at(0).method, "GET");
    // Its own session is invalidated at the end and lets go of the fetcher.
    std::weak_ptr<QNSessionFetcher> weakFetcher = fetcher;
    fetcher.reset();
    EXPECT_TRUE(pumpUntil([&] { return weakFetcher.expired(); }, 60));
}

TEST_F(QNSessionFetcherTest, PostBodiesFromDataFileAndStreamArriveByteExact) {
    std::string body = patternBody(150001);
    server.on("*", "/upload", [](const TestRequest& req, TestResponse& res) {
        res.body = req.method + ":" + std::to_string(req.body.size());
    });

    // In-memory body data on a GET request: sent as a POST.
    auto fromData = uploadFetcherFor("/upload?via=data");
    fromData->setBodyData(bytesOf(body));
    auto dataOutcome = fetchToEnd(fromData);
    EXPECT_FALSE(dataOutcome->error) << dataOutcome->error->domain << " " << dataOutcome->error->code << " " << dataOutcome->error->userInfo.toJSON();
    EXPECT_EQ(stringOf(dataOutcome->data), "POST:" + std::to_string(body.size()));

    auto file = tempPath("body.bin");
    std::ofstream(file, std::ios::binary) << body;
    auto fromFile = uploadFetcherFor("/upload?via=file");
    fromFile->setBodyFileURL(URL::fileURLWithPath(file));
    EXPECT_EQ(fromFile->bodyLength(), int64_t(body.size()));
    auto fileOutcome = fetchToEnd(fromFile);
    EXPECT_FALSE(fileOutcome->error);

    auto fromStream = uploadFetcherFor("/upload?via=stream");
    int provided = 0;
    fromStream->setBodyStreamProvider([&](auto completion) {
        provided++;
        completion(platform::DataInputStream::inputStreamWithData(bytesOf(body)));
    });
    std::vector<int64_t> sent;
    fromStream->setSendProgressBlock([&](int64_t, int64_t total, int64_t) { sent.push_back(total); });
    auto streamOutcome = fetchToEnd(fromStream);
    EXPECT_FALSE(streamOutcome->error) << streamOutcome->error->domain << " " << streamOutcome->error->code;
    EXPECT_GE(provided, 1);
    // Send progress reads its block when it runs: a report that arrives with the completion
    // finds the callbacks released.
    for (int64_t total : sent) EXPECT_LE(total, int64_t(body.size()));

    auto received = server.requests("/upload");
    ASSERT_EQ(received.size(), 3u);
    for (const auto& req : received) {
        SCOPED_TRACE(req.query);
        EXPECT_EQ(req.method, "POST");
        EXPECT_TRUE(req.body == body);
    }
}

TEST_F(QNSessionFetcherTest, BeginFailuresReportOnceWithTheFetcherDomain) {
    // No URL, no session identifier, no resume data.
    auto noURL = QNSessionFetcher::fetcherWithRequest(std::nullopt);
    NotificationCounter noURLNotes(noURL);
    auto outcome = fetchToEnd(noURL);
    ASSERT_TRUE(outcome->error);
    EXPECT_EQ(outcome->error->domain, QNSessionFetcherErrorDomain);
    EXPECT_EQ(outcome->error->code, QNSessionFetcherErrorCannotBegin);
    EXPECT_EQ(outcome->error->userInfo[platform::Error::kURLErrorFailingURLStringKey].asString(), "(missing URL)");
    EXPECT_EQ(outcome->calls, 1);
    EXPECT_EQ(noURLNotes.count(kQNSessionFetcherStartedNotification), 0);
    EXPECT_EQ(QNSessionFetcher::fetcherWithURLString("not a url")->request()->url(), std::nullopt);

    // Plain http to an ordinary host is refused before anything is sent.
    auto insecure = QNSessionFetcher::fetcherWithURLString("http://example.invalid/feed");
    auto insecureOutcome = fetchToEnd(insecure);
    ASSERT_TRUE(insecureOutcome->error);
    EXPECT_EQ(insecureOutcome->error->code, QNSessionFetcherErrorInsecureFetchDisallowed);
    EXPECT_EQ(insecureOutcome->error->userInfo[platform::Error::kURLErrorFailingURLStringKey].asString(),
              "http://example.invalid/feed");

    // A session that makes no tasks any more.
    auto deadSession = platform::URLSession::sessionWithConfiguration(
        platform::URLSessionConfiguration::ephemeralSessionConfiguration());
    deadSession->invalidateAndCancel();
    server.respond("/never", 200, "x");
    auto noTask = fetcherFor("/never");
    noTask->setSession(deadSession);
    auto noTaskOutcome = fetchToEnd(noTask);
    ASSERT_TRUE(noTaskOutcome->error);
    EXPECT_EQ(noTaskOutcome->error->code, QNSessionFetcherErrorTaskNotCreated);
    EXPECT_EQ(server.requestCount("/never"), 0u);

    // Beginning again while the task runs is a misuse: -1, once.
    server.hold("/twice");
    server.respond("/twice", 200, "x");
    auto twice = fetcherFor("/twice");
    auto first = beginFetch(twice);
    ASSERT_TRUE(pumpUntil([&] { return server.waitForHeld("/twice", 1, 0); }));
    auto second = beginFetch(twice);
    ASSERT_TRUE(pumpUntil([&] { return second->calls == 1; }));
    EXPECT_EQ(second->error->code, QNSessionFetcherErrorCannotBegin);
    server.release("/twice");
    platform::RunLoop::main()->runUntil([] { return false; }, 0.1);
    EXPECT_EQ(first->calls, 0);
    EXPECT_EQ(second->calls, 1);
    // A stopped fetcher does not begin again.
    auto stopped = fetcherFor("/twice");
    stopped->stopFetching();
    auto never = beginFetch(stopped);
    platform::RunLoop::main()->runUntil([] { return false; }, 0.05);
    EXPECT_EQ(never->calls, 0);
    EXPECT_EQ(server.requestCount("/twice"), 1u);

    // A body file that is not there fails with the file system's error.
    auto missingFile = fetcherFor("/never");
    missingFile->setBodyFileURL(URL::fileURLWithPath(tempPath("missing.bin")));
    auto missingOutcome = fetchToEnd(missingFile);
    ASSERT_TRUE(missingOutcome->error);
    EXPECT_EQ(missingOutcome->error->domain, platform::kPOSIXErrorDomain);
}

TEST_F(QNSessionFetcherTest, InsecureSchemesAndTheLocalHostPassOnlyWhenAllowed) {
    TestHTTPServer plain(TestHTTPServer::Security::HTTP);
    plain.respond("/plain", 200, "plain body");

    auto refused = QNSessionFetcher::fetcherWithURL(plain.url("/plain"));
    EXPECT_EQ(fetchToEnd(refused)->error->code, QNSessionFetcherErrorInsecureFetchDisallowed);

    auto localhost = QNSessionFetcher::fetcherWithURL(plain.url("/plain"));
    localhost->setAllowLocalhostRequest(true);
    auto localOutcome = fetchToEnd(localhost);
    EXPECT_FALSE(localOutcome->error);
    EXPECT_EQ(stringOf(localOutcome->data), "plain body");

    auto byScheme = QNSessionFetcher::fetcherWithURL(plain.url("/plain"));
    byScheme->setAllowedInsecureSchemes({"HTTP"});
    EXPECT_FALSE(fetchToEnd(byScheme)->error);
    EXPECT_EQ(plain.requestCount("/plain"), 2u);

    EXPECT_TRUE(QNSessionIsLocalhostHost(std::string("LocalHost")));
    EXPECT_TRUE(QNSessionIsLocalhostHost(std::string("::1")));
    EXPECT_FALSE(QNSessionIsLocalhostHost(std::string("127.0.0.2")));
    EXPECT_FALSE(QNSessionIsLocalhostHost(std::nullopt));
}

TEST_F(QNSessionFetcherTest, RedirectURLNeverLeavesHttps) {
    auto u = [](const char* s) { return URL::URLWithString(s); };
    using F = QNSessionFetcher;
    EXPECT_EQ(F::redirectURLWithOriginalRequestURL(u("https://a.test/x"), u("http://b.test/y"))->absoluteString(),
              "https://b.test/y");
    EXPECT_EQ(F::redirectURLWithOriginalRequestURL(u("http://a.test/x"), u("https://b.test/y"))->absoluteString(),
              "https://b.test/y");
    EXPECT_EQ(F::redirectURLWithOriginalRequestURL(u("HTTPS://a.test/x"), u("https://b.test/y"))->absoluteString(),
              "https://b.test/y");
    EXPECT_EQ(F::redirectURLWithOriginalRequestURL(u("https://a.test/x"), std::nullopt)->absoluteString(),
              "https://a.test/x");
    EXPECT_EQ(F::redirectURLWithOriginalRequestURL(std::nullopt, u("http://b.test/y"))->absoluteString(),
              "http://b.test/y");
    EXPECT_FALSE(F::redirectURLWithOriginalRequestURL(std::nullopt, std::nullopt));
}

TEST_F(QNSessionFetcherTest, RedirectFromHttpsToHttpIsFollowedAsHttpsWithTheFetchersHeaders) {
    // The redirect names this server's own address over plain http: the fetcher keeps https.
    std::string insecureTarget = "http://127.0.0.1:" + std::to_string(server.port()) + "/target";
    server.on("*", "/moved", [insecureTarget](const TestRequest&, TestResponse& res) {
        res.status = 302;
        res.setHeader("Location", insecureTarget);
    });
    server.respond("/target", 200, "arrived");
    auto fetcher = fetcherFor("/moved");
    fetcher->setRequestValue("Bearer abc", "Authorization");
    std::vector<std::string> seen;
    fetcher->setWillRedirectBlock([&](const auto& response, const URLRequest& request, auto completion) {
        seen.push_back(request.url()->absoluteString());
        completion(request);
    });
    auto outcome = fetchToEnd(fetcher);
    EXPECT_FALSE(outcome->error);
    EXPECT_EQ(stringOf(outcome->data), "arrived");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], server.url("/target").absoluteString());
    ASSERT_EQ(server.requestCount("/target"), 1u);
    EXPECT_EQ(server.requests("/target")[0].header("Authorization"), "Bearer abc");
    EXPECT_EQ(fetcher->request()->url()->absoluteString(), server.url("/target").absoluteString());
}

TEST_F(QNSessionFetcherTest, HttpStatusesBecomeStatusErrorsWithTheBody) {
    server.on("*", "/missing", [](const TestRequest&, TestResponse& res) {
        res.status = 404;
        res.body = "{\"error\":\"gone\"}";
        res.contentType = "application/json";
    });
    server.on("*", "/broken", [](const TestRequest&, TestResponse& res) {
        res.status = 500;
        res.body = "server trouble";
    });
    auto missing = fetchToEnd(fetcherFor("/missing"));
    ASSERT_TRUE(missing->error);
    EXPECT_EQ(missing->error->domain, QNSessionFetcherStatusDomain);
    EXPECT_EQ(missing->error->code, 404);
    EXPECT_EQ(missing->error->userInfo[QNSessionFetcherStatusDataUserInfoKey].asBytes(), bytesOf("{\"error\":\"gone\"}"));
    EXPECT_EQ(missing->error->userInfo[QNSessionFetcherStatusDataContentTypeUserInfoKey].asString(), "application/json");
    EXPECT_EQ(stringOf(missing->data), "{\"error\":\"gone\"}");

    // 500 is not retried even with retry on.
    auto broken = fetcherFor("/broken");
    broken->setRetryEnabled(true);
    broken->setMinRetryInterval(0.01);
    auto brokenOutcome = fetchToEnd(broken);
    ASSERT_TRUE(brokenOutcome->error);
    EXPECT_EQ(brokenOutcome->error->code, 500);
    EXPECT_EQ(server.requestCount("/broken"), 1u);
    EXPECT_EQ(broken->maxRetryInterval(), 60.0);  // the GET cap set at begin
}

TEST_F(QNSessionFetcherTest, DownloadsGoToTheDestinationFileAndErrorBodiesAreKept) {
    std::string body = patternBody(70000);
    server.respond("/file", 200, body);
    auto destination = tempPath("nested/dir/download.bin");
    std::filesystem::remove_all(destination.parent_path());
    auto fetcher = fetcherFor("/file");
    fetcher->setDestinationFileURL(URL::fileURLWithPath(destination));
    int64_t lastWritten = 0;
    fetcher->setDownloadProgressBlock([&](int64_t, int64_t total, int64_t) { lastWritten = total; });
    auto outcome = fetchToEnd(fetcher);
    EXPECT_FALSE(outcome->error);
    EXPECT_FALSE(outcome->data);
    std::string written;
    ASSERT_TRUE(platform::readFile(destination, written));
    EXPECT_TRUE(written == body);
    EXPECT_EQ(lastWritten, int64_t(body.size()));

    // A 404 of 300 bytes to a download: the body comes with the error, no file is left.
    std::string errorBody(300, 'e');
    server.respond("/nofile", 404, errorBody);
    auto failed = fetcherFor("/nofile");
    auto failedDestination = tempPath("failed.bin");
    failed->setDestinationFileURL(URL::fileURLWithPath(failedDestination));
    auto failedOutcome = fetchToEnd(failed);
    ASSERT_TRUE(failedOutcome->error);
    EXPECT_EQ(failedOutcome->error->code, 404);
    EXPECT_EQ(failedOutcome->error->userInfo[QNSessionFetcherStatusDataUserInfoKey].asBytes(), bytesOf(errorBody));
    EXPECT_FALSE(std::filesystem::exists(failedDestination));

    // A data: URL with a destination runs as a data task and writes the file at the end.
    auto dataFetcher = QNSessionFetcher::fetcherWithURLString("data:text/plain,hello%20file");
    auto dataDestination = tempPath("from-data.txt");
    dataFetcher->setDestinationFileURL(URL::fileURLWithPath(dataDestination));
    auto dataOutcome = fetchToEnd(dataFetcher);
    EXPECT_FALSE(dataOutcome->error) << dataOutcome->error->domain << " " << dataOutcome->error->code << " " << dataOutcome->error->userInfo.toJSON();
    std::string dataWritten;
    ASSERT_TRUE(platform::readFile(dataDestination, dataWritten));
    EXPECT_EQ(dataWritten, "hello file");
}

TEST_F(QNSessionFetcherTest, StopBeforeAndDuringAFetchGivesNoCompletionAndPostsStopped) {
    // During: the answer is held by the server.
    server.hold("/slow");
    server.respond("/slow", 200, "late");
    auto during = fetcherFor("/slow");
    NotificationCounter notes(during);
    auto outcome = beginFetch(during);
    ASSERT_TRUE(pumpUntil([&] { return server.waitForHeld("/slow", 1, 0); }));
    EXPECT_TRUE(during->isFetching());
    during->stopFetching();
    EXPECT_FALSE(during->isFetching());
    EXPECT_TRUE(during->userStoppedFetching());
    EXPECT_TRUE(during->waitForCompletionWithTimeout(5));
    server.release("/slow");
    platform::RunLoop::main()->runUntil([] { return false; }, 0.2);
    EXPECT_EQ(outcome->calls, 0);
    EXPECT_EQ(notes.count(kQNSessionFetcherStartedNotification), 1);
    EXPECT_EQ(notes.count(kQNSessionFetcherStoppedNotification), 1);
    EXPECT_EQ(notes.count(kQNSessionFetcherCompletionInvokedNotification), 0);

    // Before: stopped while the authorizer holds the request.
    auto authorizer = std::make_shared<TestAuthorizer>();
    authorizer->holdRequests = true;
    server.respond("/auth", 200, "signed");
    auto before = fetcherFor("/auth");
    before->setAuthorizer(authorizer);
    auto beforeOutcome = beginFetch(before);
    EXPECT_EQ(authorizer->heldCount(), 1u);
    before->stopFetching();
    EXPECT_EQ(authorizer->stoppedWaiting, 1);  // the very request it holds was named
    EXPECT_EQ(authorizer->heldCount(), 0u);
    platform::RunLoop::main()->runUntil([] { return false; }, 0.1);
    EXPECT_EQ(beforeOutcome->calls, 0);
    EXPECT_EQ(server.requestCount("/auth"), 0u);
}

TEST_F(QNSessionFetcherTest, AnAuthorizerAnsweringAfterTheStopDoesNotRestartTheFetch) {
    auto authorizer = std::make_shared<TestAuthorizer>();
    authorizer->holdRequests = true;
    authorizer->ignoreStops = true;
    server.respond("/auth", 200, "signed");
    auto fetcher = fetcherFor("/auth");
    fetcher->setAuthorizer(authorizer);
    auto outcome = beginFetch(fetcher);
    fetcher->stopFetching();
    authorizer->releaseHeld();
    platform::RunLoop::main()->runUntil([] { return false; }, 0.2);
    EXPECT_EQ(outcome->calls, 0);
    EXPECT_EQ(server.requestCount("/auth"), 0u);
    EXPECT_FALSE(fetcher->isFetching());
}

TEST_F(QNSessionFetcherTest, AuthorizerSignsBeforeSendingAndItsErrorEndsTheFetch) {
    server.on("*", "/auth", [](const TestRequest& req, TestResponse& res) { res.body = req.header("Authorization").value_or(""); });
    auto authorizer = std::make_shared<TestAuthorizer>();
    auto fetcher = fetcherFor("/auth");
    fetcher->setAuthorizer(authorizer);
    auto outcome = fetchToEnd(fetcher);
    EXPECT_FALSE(outcome->error);
    EXPECT_EQ(stringOf(outcome->data), "Bearer t1");
    EXPECT_EQ(authorizer->authorizeCalls, 1);

    auto failing = std::make_shared<TestAuthorizer>();
    failing->failWith = platform::Error("com.quorvane.QNOAuth2", -1001);
    auto refused = fetcherFor("/auth");
    refused->setAuthorizer(failing);
    auto refusedOutcome = fetchToEnd(refused);
    ASSERT_TRUE(refusedOutcome->error);
    EXPECT_EQ(refusedOutcome->error->code, -1001);
    EXPECT_EQ(server.requestCount("/auth"), 1u);
}

TEST_F(QNSessionFetcherTest, ServerTrustIsEvaluatedUnlessInvalidCertificatesAreAllowed) {
    // Every certificate the connection's own check refuses stays refused, before any request:
    // the fetcher's evaluation lets nothing through that the handshake would not have, and the
    // failure says why rather than that the fetch was cancelled.
    using S = TestHTTPServer::Security;
    const std::pair<S, const char*> refused[] = {
        {S::SelfSignedHTTPS, "127.0.0.1"},  {S::WeakKeyHTTPS, "127.0.0.1"},
        {S::SHA1SignedHTTPS, "127.0.0.1"},  {S::PartialWildcardHTTPS, "ab.test.localhost"},
        {S::WrongHostHTTPS, "127.0.0.1"},   {S::ExpiredHTTPS, "127.0.0.1"},
        {S::OtherCAHTTPS, "127.0.0.1"},     {S::AddressOnlyHTTPS, "localhost"},
    };
    for (const auto& [security, host] : refused) {
        TestHTTPServer bad(security);
        bad.respond("/trust", 200, "secrets welcome");
        auto url = platform::URL::URLWithString("https://" + std::string(host) + ":" + std::to_string(bad.port()) + "/trust");
        auto fetcher = QNSessionFetcher::fetcherWithURL(*url);
        auto outcome = fetchToEnd(fetcher);
        SCOPED_TRACE(int(security));
        EXPECT_EQ(bad.requestCount(), 0u);
        if (!outcome->error) {
            ADD_FAILURE() << "accepted";
            continue;
        }
        EXPECT_EQ(outcome->error->domain, platform::kURLErrorDomain);
        EXPECT_EQ(outcome->error->code, platform::kURLErrorServerCertificateUntrusted);
        EXPECT_FALSE(outcome->error->userInfo["NSDebugDescription"].asString().empty());
    }
    server.respond("/trust", 200, "trusted");
    EXPECT_EQ(stringOf(fetchToEnd(fetcherFor("/trust"))->data), "trusted");

    TestHTTPServer selfSigned(TestHTTPServer::Security::SelfSignedHTTPS);
    selfSigned.respond("/trust", 200, "trusted anyway");

    auto lenient = QNSessionFetcher::fetcherWithURL(selfSigned.url("/trust"));
    lenient->setAllowInvalidServerCertificates(true);
    auto lenientOutcome = fetchToEnd(lenient);
    EXPECT_FALSE(lenientOutcome->error);
    EXPECT_EQ(stringOf(lenientOutcome->data), "trusted anyway");
}

TEST_F(QNSessionFetcherTest, CallbacksGoToTheChosenQueueAndAccumulateBlocksTakeTheBody) {
    std::string body = patternBody(50000);
    server.respond("/chunks", 200, body);
    auto fetcher = fetcherFor("/chunks");
    auto queue = platform::DispatchQueue::serial("test.fetcher.callbacks");
    fetcher->setCallbackQueue(queue);
    std::mutex m;
    std::string accumulated;
    bool offQueue = false;
    fetcher->setAccumulateDataBlock([&](const std::optional<Bytes>& chunk) {
        std::lock_guard<std::mutex> lock(m);
        if (!queue->isCurrent()) offQueue = true;
        if (chunk) accumulated.append(chunk->begin(), chunk->end());
        else accumulated.clear();
    });
    std::atomic<int> calls{0};
    std::optional<Bytes> data;
    fetcher->beginFetchWithCompletionHandler([&](const std::optional<Bytes>& d, const std::optional<platform::Error>& e) {
        data = d;
        EXPECT_FALSE(e);
        EXPECT_TRUE(queue->isCurrent());
        calls++;
    });
    ASSERT_TRUE(pumpUntil([&] { return calls.load() == 1; }));
    EXPECT_TRUE(fetcher->waitForCompletionWithTimeout(5));
    std::lock_guard<std::mutex> lock(m);
    EXPECT_TRUE(accumulated == body);
    EXPECT_FALSE(offQueue);
    EXPECT_TRUE(!data || data->empty());
    EXPECT_EQ(fetcher->downloadedLength(), int64_t(body.size()));
}

TEST_F(QNSessionFetcherTest, PropertiesRequestEditsAndSettingsFollowTheirRules) {
    auto fetcher = fetcherFor("/props");
    EXPECT_EQ(fetcher->taskPriority(), -1.0f);
    EXPECT_EQ(fetcher->maxRetryInterval(), -1.0);
    EXPECT_GE(fetcher->minRetryInterval(), 1.0);
    EXPECT_LT(fetcher->minRetryInterval(), 2.0);
    EXPECT_EQ(fetcher->retryFactor(), 0.0);
    EXPECT_EQ(fetcher->testBlockAccumulateDataChunkCount(), 1u);
    EXPECT_EQ(fetcher->callbackQueue(), platform::DispatchQueue::main());
    EXPECT_EQ(fetcher->sessionDelegateQueue(), platform::OperationQueue::main());
    EXPECT_EQ(fetcher->bodyLength(), -1);

    // A property with no value on a fetcher without properties makes no dictionary.
    fetcher->setProperty("a", std::any());
    EXPECT_TRUE(fetcher->properties().empty());
    fetcher->setProperty("ticket", std::string("t-1"));
    fetcher->addPropertiesFromDictionary({{"page", 2}});
    EXPECT_EQ(std::any_cast<std::string>(fetcher->propertyForKey("ticket")), "t-1");
    EXPECT_EQ(std::any_cast<int>(fetcher->propertyForKey("page")), 2);
    fetcher->setProperty("ticket", std::any());
    EXPECT_FALSE(fetcher->propertyForKey("ticket").has_value());
    fetcher->setUserData(std::string("mine"));
    EXPECT_EQ(std::any_cast<std::string>(fetcher->userData()), "mine");

    fetcher->setCallbackQueue(nullptr);
    EXPECT_EQ(fetcher->callbackQueue(), platform::DispatchQueue::main());
    fetcher->setMaxRetryInterval(-5);
    EXPECT_EQ(fetcher->maxRetryInterval(), -1.0);
    fetcher->setRetryEnabled(true);
    EXPECT_EQ(fetcher->retryFactor(), 2.0);
    fetcher->setMinRetryInterval(0);
    EXPECT_GE(fetcher->minRetryInterval(), 1.0);

    fetcher->setRequestValue("v1", "X-Test");
    EXPECT_EQ(fetcher->request()->valueForHTTPHeaderField("X-Test"), "v1");
    EXPECT_NE(fetcher->description().find(server.url("/props").absoluteString()), std::string::npos);
    EXPECT_NE(QNSessionFetcher::fetcherWithDownloadResumeData(bytesOf("r"))->description().find("<download resume data>"),
              std::string::npos);
    EXPECT_NE(QNSessionFetcher::fetcherWithRequest(std::nullopt)->description().find("<no request>"), std::string::npos);

    // While fetching, the request, authorizer and delegate queue setters are ignored.
    server.hold("/props");
    server.respond("/props", 200, "p");
    auto outcome = beginFetch(fetcher);
    ASSERT_TRUE(pumpUntil([&] { return server.waitForHeld("/props", 1, 0); }));
    fetcher->setRequest(URLRequest(server.url("/other")));
    fetcher->setRequestValue("v2", "X-Test");
    fetcher->setAuthorizer(std::make_shared<TestAuthorizer>());
    fetcher->setSessionDelegateQueue(platform::OperationQueue::make("other", 1));
    EXPECT_EQ(fetcher->request()->url()->absoluteString(), server.url("/props").absoluteString());
    EXPECT_EQ(fetcher->request()->valueForHTTPHeaderField("X-Test"), "v1");
    EXPECT_FALSE(fetcher->authorizer());
    EXPECT_EQ(fetcher->sessionDelegateQueue(), platform::OperationQueue::main());
    fetcher->updateRequestValue("v3", "X-Test");
    EXPECT_EQ(fetcher->request()->valueForHTTPHeaderField("X-Test"), "v3");
    server.release("/props");
    ASSERT_TRUE(pumpUntil([&] { return outcome->calls == 1; }));
    EXPECT_EQ(server.requests("/props")[0].header("X-Test"), "v1");
}

TEST_F(QNSessionFetcherTest, CookieStorageMethodsChooseSharedOrPrivateStores) {
    server.on("*", "/set", [](const TestRequest&, TestResponse& res) { res.setHeader("Set-Cookie", "k=v; Path=/"); });
    server.on("*", "/echo", [](const TestRequest& req, TestResponse& res) { res.body = req.header("Cookie").value_or(""); });

    auto privateA = fetcherFor("/set");
    privateA->setCookieStorageMethod(kQNSessionFetcherCookieStorageMethodPrivate);
    auto storageA = privateA->cookieStorage();
    EXPECT_FALSE(fetchToEnd(privateA)->error);
    auto privateB = fetcherFor("/echo");
    privateB->setCookieStorageMethod(kQNSessionFetcherCookieStorageMethodPrivate);
    EXPECT_EQ(stringOf(fetchToEnd(privateB)->data), "");
    auto sameStore = fetcherFor("/echo");
    sameStore->setCookieStorage(storageA);
    EXPECT_EQ(stringOf(fetchToEnd(sameStore)->data), "k=v");

    auto staticA = fetcherFor("/set");
    staticA->setCookieStorageMethod(kQNSessionFetcherCookieStorageMethodStatic);
    EXPECT_FALSE(fetchToEnd(staticA)->error);
    EXPECT_EQ(staticA->cookieStorage(), QNSessionFetcher::staticCookieStorage());
    EXPECT_TRUE(std::dynamic_pointer_cast<QNSessionCookieStorage>(QNSessionFetcher::staticCookieStorage()));
    EXPECT_TRUE(std::dynamic_pointer_cast<QNSessionCookieStorage>(privateA->cookieStorage()));
    auto staticB = fetcherFor("/echo");
    EXPECT_EQ(stringOf(fetchToEnd(staticB)->data), "k=v");
    for (const auto& c : QNSessionFetcher::staticCookieStorage()->cookies()) QNSessionFetcher::staticCookieStorage()->deleteCookie(c);
}

}  // namespace
}  // namespace quorvane::test
