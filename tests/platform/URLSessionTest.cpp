// URL sessions against the loopback HTTPS test server: responses and bodies, uploads,
// redirects and cookies, cancelling and invalidation, downloads, data: URLs, encodings,
// authentication and the per-host limit.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include <openssl/evp.h>

#include <fstream>
#include <regex>
#include <set>

#include "platform/foundation/Base64.h"
#include "platform/foundation/Paths.h"
#include "tests/platform/URLSessionTestDelegate.h"
#include "tests/support/TestHTTPServer.h"

namespace quorvane::test {
namespace {

class URLSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        delegate = std::make_shared<RecordingDelegate>();
        queue = OperationQueue::make("test.URLSession.delegate", 1);
        delegate->queue = queue;
    }
    void TearDown() override {
        if (session) {
            session->invalidateAndCancel();
            EXPECT_TRUE(delegate->waitForInvalid());
            session.reset();
        }
    }
    std::shared_ptr<URLSession> makeSession(
        const URLSessionConfiguration& config = URLSessionConfiguration::ephemeralSessionConfiguration()) {
        session = URLSession::sessionWithConfiguration(config, delegate, queue);
        return session;
    }
    URLRequest post(std::string_view path) {
        URLRequest r(server.url(path));
        r.setHTTPMethod("POST");
        r.setValue("application/x-test", "Content-Type");
        return r;
    }
    static std::shared_ptr<const HTTPURLResponse> http(const std::shared_ptr<const URLResponse>& r) {
        return std::dynamic_pointer_cast<const HTTPURLResponse>(r);
    }

    TestHTTPServer server;
    std::shared_ptr<RecordingDelegate> delegate;
    std::shared_ptr<OperationQueue> queue;
    std::shared_ptr<URLSession> session;
};

// A stream that gives its bytes a little at a time and never tells their number.
class TrickleStream : public InputStream {
public:
    explicit TrickleStream(std::string data) : data_(std::move(data)) {}
    void open() override { status_ = StreamStatus::Open; }
    void close() override { status_ = StreamStatus::Closed; }
    int64_t read(uint8_t* buffer, size_t maxLength) override {
        size_t n = std::min({maxLength, size_t(777), data_.size() - offset_});
        std::memcpy(buffer, data_.data() + offset_, n);
        offset_ += n;
        if (offset_ == data_.size()) status_ = StreamStatus::AtEnd;
        return int64_t(n);
    }
    bool hasBytesAvailable() override { return offset_ < data_.size(); }
    StreamStatus streamStatus() override { return status_; }
    std::optional<Error> streamError() override { return std::nullopt; }

private:
    std::string data_;
    size_t offset_ = 0;
    StreamStatus status_ = StreamStatus::NotOpen;
};

TEST_F(URLSessionTest, LargeGetDeliversOneResponseAllDataAndCompletesLastOnTheDelegateQueue) {
    std::string body = randomBody(1 << 20);
    server.respond("/big", 200, body);
    auto s = makeSession();
    auto task = s->dataTaskWithURL(server.url("/big"));
    ASSERT_TRUE(task);
    EXPECT_EQ(task->state(), URLSessionTask::State::Suspended);
    task->resume();
    ASSERT_TRUE(delegate->waitForCompletions(1));
    s->finishTasksAndInvalidate();
    ASSERT_TRUE(delegate->waitForInvalid());

    auto r = delegate->record(task);
    EXPECT_EQ(r.events, (std::vector<std::string>{"response", "data", "complete"}));
    EXPECT_EQ(r.completions, 1);
    EXPECT_FALSE(r.error.has_value());
    ASSERT_EQ(r.data.size(), body.size());
    EXPECT_TRUE(toString(r.data) == body);
    ASSERT_EQ(r.responses.size(), 1u);
    auto response = http(r.responses[0]);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->statusCode(), 200);
    EXPECT_EQ(response->expectedContentLength(), int64_t(body.size()));
    EXPECT_EQ(response->MIMEType(), "application/octet-stream");
    EXPECT_EQ(response->url()->absoluteString(), server.url("/big").absoluteString());
    EXPECT_EQ(task->state(), URLSessionTask::State::Completed);
    EXPECT_EQ(task->countOfBytesReceived(), int64_t(body.size()));
    EXPECT_EQ(task->countOfBytesExpectedToReceive(), int64_t(body.size()));
    EXPECT_FALSE(delegate->offQueue());
    auto events = delegate->sessionEvents();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2], "complete");
    EXPECT_EQ(events.back(), "invalid");
    // Released once invalid: on the delegate queue, right after the invalid call has returned.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (s->delegate() != nullptr && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    EXPECT_EQ(s->delegate(), nullptr);
    session.reset();
}

TEST_F(URLSessionTest, PostBodiesFromDataFileAndUnsizedStreamArriveByteExact) {
    std::string body = randomBody(300000, 7);
    server.on("POST", "/upload", [](const TestRequest& req, TestResponse& res) {
        res.status = 201;
        res.body = std::to_string(req.body.size());
    });
    std::filesystem::path file = Paths::cacheHome() / "upload.bin";
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << body;
    delegate->onBodyStream = [&] { return std::make_shared<TrickleStream>(body); };

    auto s = makeSession();
    auto fromData = s->uploadTaskWithRequest(post("/upload?via=data"), toBytes(body));
    auto fromFile = s->uploadTaskWithRequest(post("/upload?via=file"), URL::fileURLWithPath(file));
    auto fromStream = s->uploadTaskWithStreamedRequest(post("/upload?via=stream"));
    URLRequest withBody = post("/upload?via=body");
    withBody.setHTTPBody(toBytes(body));
    auto fromRequestBody = s->dataTaskWithRequest(withBody);
    for (auto& t : std::vector<std::shared_ptr<URLSessionTask>>{fromData, fromFile, fromStream, fromRequestBody}) t->resume();
    ASSERT_TRUE(delegate->waitForCompletions(4));

    auto received = server.requests("/upload");
    ASSERT_EQ(received.size(), 4u);
    for (const auto& req : received) {
        SCOPED_TRACE(req.query);
        EXPECT_EQ(req.method, "POST");
        EXPECT_EQ(req.body.size(), body.size());
        EXPECT_TRUE(req.body == body);
        EXPECT_EQ(req.header("Content-Type"), "application/x-test");
        if (req.query == "via=stream") {
            EXPECT_EQ(req.header("Transfer-Encoding"), "chunked");
            EXPECT_FALSE(req.header("Content-Length"));
        } else {
            EXPECT_EQ(req.header("Content-Length"), std::to_string(body.size()));
        }
    }
    for (auto& t : std::vector<std::shared_ptr<URLSessionTask>>{fromData, fromFile, fromStream, fromRequestBody}) {
        auto r = delegate->record(t);
        EXPECT_FALSE(r.error) << r.error->code;
        EXPECT_EQ(toString(r.data), std::to_string(body.size()));
        EXPECT_EQ(r.lastTotalSent, int64_t(body.size()));
        EXPECT_EQ(r.lastExpectedToSend, t == fromStream ? kURLSessionTransferSizeUnknown : int64_t(body.size()));
        EXPECT_EQ(t->countOfBytesSent(), int64_t(body.size()));
        auto firstSent = std::find(r.events.begin(), r.events.end(), "sent");
    EXPECT_LT(firstSent - r.events.begin(), std::find(r.events.begin(), r.events.end(), "response") - r.events.begin());
    }
    EXPECT_EQ(delegate->record(fromStream).bodyStreamRequests, 1);
}

TEST_F(URLSessionTest, RefusedRedirectDeliversTheRedirectResponseAndItsBody) {
    server.on("*", "/moved", [](const TestRequest&, TestResponse& res) {
        res.status = 302;
        res.setHeader("Location", "/target");
        res.body = "moved here";
    });
    server.respond("/target", 200, "target body");
    delegate->onRedirect = [](const auto&, const auto&) { return std::optional<URLRequest>(); };
    auto s = makeSession();
    auto task = s->dataTaskWithURL(server.url("/moved"));
    task->resume();
    ASSERT_TRUE(delegate->waitForCompletions(1));
    auto r = delegate->record(task);
    EXPECT_EQ(r.events, (std::vector<std::string>{"redirect", "response", "data", "complete"}));
    EXPECT_FALSE(r.error);
    ASSERT_EQ(r.responses.size(), 2u);
    EXPECT_EQ(http(r.responses[1])->statusCode(), 302);
    EXPECT_EQ(toString(r.data), "moved here");
    EXPECT_EQ(server.requestCount("/target"), 0u);
    ASSERT_EQ(r.redirects.size(), 1u);
    EXPECT_EQ(r.redirects[0].url()->absoluteString(), server.url("/target").absoluteString());
}

TEST_F(URLSessionTest, FollowedRedirectSendsTheCookiesSetOnTheRedirect) {
    server.on("*", "/moved", [](const TestRequest&, TestResponse& res) {
        res.status = 302;
        res.setHeader("Location", "/target?x=1");
        res.setHeader("Set-Cookie", "hop=1; Path=/");
        res.setHeader("Set-Cookie", "second=two; Path=/; HttpOnly");
    });
    server.respond("/target", 200, "target body");
    auto config = URLSessionConfiguration::ephemeralSessionConfiguration();
    auto storage = config.HTTPCookieStorage();
    auto s = makeSession(config);
    auto task = s->dataTaskWithURL(server.url("/moved"));
    task->resume();
    ASSERT_TRUE(delegate->waitForCompletions(1));
    auto r = delegate->record(task);
    EXPECT_EQ(r.events, (std::vector<std::string>{"redirect", "response", "data", "complete"}));
    EXPECT_EQ(toString(r.data), "target body");
    EXPECT_EQ(http(r.responses.back())->statusCode(), 200);
    EXPECT_EQ(task->currentRequest()->url()->absoluteString(), server.url("/target?x=1").absoluteString());
    EXPECT_EQ(task->originalRequest()->url()->absoluteString(), server.url("/moved").absoluteString());

    auto target = server.requests("/target");
    ASSERT_EQ(target.size(), 1u);
    EXPECT_EQ(target[0].query, "x=1");
    EXPECT_EQ(target[0].header("Cookie"), "hop=1; second=two");
    EXPECT_EQ(storage->cookies().size(), 2u);
    EXPECT_FALSE(server.requests("/moved")[0].header("Cookie"));
}

TEST_F(URLSessionTest, RedirectsTurnPostIntoGetOnlyWhereTheStatusSaysSo) {
    for (auto [path, status] : {std::pair{"/see-other", 303}, {"/found", 302}, {"/permanent", 301}, {"/temporary", 307},
                                {"/permanent-keep", 308}}) {
        int st = status;
        server.on("*", path, [st](const TestRequest&, TestResponse& res) {
            res.status = st;
            res.setHeader("Location", "/dest");
        });
    }
    server.on("*", "/dest", [](const TestRequest& req, TestResponse& res) { res.body = req.method + ":" + req.body; });
    std::string body = "payload-123";
    delegate->onBodyStream = [&] { return std::make_shared<TrickleStream>(body); };
    auto s = makeSession();
    std::map<std::string, std::shared_ptr<URLSessionTask>> tasks;
    for (const char* path : {"/see-other", "/found", "/permanent", "/temporary", "/permanent-keep"})
        tasks[path] = s->uploadTaskWithRequest(post(path), toBytes(body));
    // A redirect that keeps the method needs the body again: a streamed upload asks for it.
    tasks["stream"] = s->uploadTaskWithStreamedRequest(post("/temporary"));
    URLRequest put = post("/permanent");
    put.setHTTPMethod("PUT");
    tasks["put"] = s->uploadTaskWithRequest(put, toBytes(body));
    for (auto& [name, t] : tasks) t->resume();
    ASSERT_TRUE(delegate->waitForCompletions(int(tasks.size())));

    auto answer = [&](const std::string& name) { return toString(delegate->record(tasks[name]).data); };
    EXPECT_EQ(answer("/see-other"), "GET:");
    EXPECT_EQ(answer("/found"), "GET:");
    EXPECT_EQ(answer("/permanent"), "GET:");
    EXPECT_EQ(answer("/temporary"), "POST:" + body);
    EXPECT_EQ(answer("/permanent-keep"), "POST:" + body);
    EXPECT_EQ(answer("stream"), "POST:" + body);
    EXPECT_EQ(answer("put"), "PUT:" + body);
    EXPECT_EQ(delegate->record(tasks["stream"]).bodyStreamRequests, 2);
    for (const auto& req : server.requests("/dest")) {
        if (req.method == "GET") {
            EXPECT_FALSE(req.header("Content-Type"));
        }
    }
}

TEST_F(URLSessionTest, CookieStorageIsAskedBeforeEveryRequestAndFedAfterEveryResponse) {
    struct CountingStorage : HTTPCookieStorage {
        std::mutex m;
        std::vector<std::string> asked, stored;
        void getCookiesForTask(const std::shared_ptr<URLSessionTask>& task,
                               std::function<void(std::optional<CookieList>)> done) override {
            {
                std::lock_guard l(m);
                asked.push_back(task->currentRequest()->url()->percentEncodedPath());
            }
            HTTPCookieStorage::getCookiesForTask(task, std::move(done));
        }
        void storeCookies(const CookieList& cookies, const std::shared_ptr<URLSessionTask>& task) override {
            {
                std::lock_guard l(m);
                stored.push_back(task->currentRequest()->url()->percentEncodedPath() + "=" + cookies[0]->name());
            }
            HTTPCookieStorage::storeCookies(cookies, task);
        }
    };
    auto storage = std::make_shared<CountingStorage>();
    server.on("*", "/a", [](const TestRequest&, TestResponse& res) {
        res.status = 301;
        res.setHeader("Location", "/b");
        res.setHeader("Set-Cookie", "a=1; Path=/");
    });
    server.on("*", "/b", [](const TestRequest&, TestResponse& res) { res.setHeader("Set-Cookie", "b=2; Path=/"); });
    auto config = URLSessionConfiguration::ephemeralSessionConfiguration();
    config.setHTTPCookieStorage(storage);
    auto s = makeSession(config);
    s->dataTaskWithURL(server.url("/a"))->resume();
    ASSERT_TRUE(delegate->waitForCompletions(1));
    {
        std::lock_guard l(storage->m);
        EXPECT_EQ(storage->asked, (std::vector<std::string>{"/a", "/b"}));
        EXPECT_EQ(storage->stored, (std::vector<std::string>{"/a=a", "/b=b"}));
    }
    EXPECT_EQ(server.requests("/b")[0].header("Cookie"), "a=1");

    // A request that handles no cookies neither sends nor stores any.
    URLRequest quiet(server.url("/a"));
    quiet.setHTTPShouldHandleCookies(false);
    server.clearLog();
    s->dataTaskWithRequest(quiet)->resume();
    ASSERT_TRUE(delegate->waitForCompletions(2));
    std::lock_guard l(storage->m);
    EXPECT_EQ(storage->asked.size(), 2u);
    EXPECT_EQ(storage->stored.size(), 2u);
    for (const auto& req : server.requests()) EXPECT_FALSE(req.header("Cookie"));
}

TEST_F(URLSessionTest, CancelGivesExactlyOneCancelledCompletion) {
    server.hold("/slow");
    server.respond("/slow", 200, "late");
    auto s = makeSession();
    auto running = s->dataTaskWithURL(server.url("/slow"));
    running->resume();
    ASSERT_TRUE(server.waitForHeld("/slow", 1, 60));
    running->cancel();
    running->cancel();
    auto suspended = s->dataTaskWithURL(server.url("/never"));
    suspended->cancel();
    ASSERT_TRUE(delegate->waitForCompletions(2));
    server.release("/slow");
    s->finishTasksAndInvalidate();
    ASSERT_TRUE(delegate->waitForInvalid());

    for (auto& t : {running, suspended}) {
        auto r = delegate->record(t);
        EXPECT_EQ(r.completions, 1);
        ASSERT_TRUE(r.error);
        EXPECT_EQ(r.error->domain, kURLErrorDomain);
        EXPECT_EQ(r.error->code, kURLErrorCancelled);
        EXPECT_EQ(r.events.back(), "complete");
        EXPECT_EQ(t->state(), URLSessionTask::State::Completed);
    }
    EXPECT_EQ(delegate->record(running).error->userInfo[Error::kURLErrorFailingURLStringKey].asString(),
              server.url("/slow").absoluteString());
    EXPECT_EQ(server.requestCount("/never"), 0u);
    EXPECT_EQ(delegate->totalCompletions(), 2);
    session.reset();
}

TEST_F(URLSessionTest, ResponseDispositionCancelEndsTheTaskCancelled) {
    server.respond("/body", 200, randomBody(100000));
    delegate->onResponse = [](const auto&) { return URLSessionResponseDisposition::Cancel; };
    auto s = makeSession();
    auto task = s->dataTaskWithURL(server.url("/body"));
    task->resume();
    ASSERT_TRUE(delegate->waitForCompletions(1));
    auto r = delegate->record(task);
    EXPECT_EQ(r.events, (std::vector<std::string>{"response", "complete"}));
    EXPECT_EQ(r.error->code, kURLErrorCancelled);
    EXPECT_TRUE(r.data.empty());
}

TEST_F(URLSessionTest, DelegateMayAnswerTheResponseAfterTheBodyHasArrived) {
    std::string body = randomBody(300000, 5);
    server.respond("/body", 200, body);
    delegate->holdResponses = true;
    auto s = makeSession();
    auto allowed = s->dataTaskWithURL(server.url("/body"));
    auto refused = s->dataTaskWithURL(server.url("/body"));
    allowed->resume();
    refused->resume();
    // Both bodies are in before anyone answers; nothing but the responses reached the delegate.
    ASSERT_TRUE(delegate->waitFor([&] {
        return delegate->heldResponseCount() == 2 && allowed->countOfBytesReceived() == int64_t(body.size()) &&
               refused->countOfBytesReceived() == int64_t(body.size());
    }));
    EXPECT_EQ(delegate->record(allowed).events, std::vector<std::string>{"response"});
    EXPECT_EQ(delegate->totalCompletions(), 0);

    delegate->answerHeldResponse(allowed, URLSessionResponseDisposition::Allow);
    ASSERT_TRUE(delegate->waitForCompletions(1));
    auto a = delegate->record(allowed);
    EXPECT_EQ(a.events, (std::vector<std::string>{"response", "data", "complete"}));
    EXPECT_TRUE(toString(a.data) == body);
    EXPECT_FALSE(a.error);

    // A refusal after the end still ends the task cancelled, without its body.
    EXPECT_EQ(delegate->record(refused).events, std::vector<std::string>{"response"});
    delegate->answerHeldResponse(refused, URLSessionResponseDisposition::Cancel);
    ASSERT_TRUE(delegate->waitForCompletions(2));
    auto r = delegate->record(refused);
    EXPECT_EQ(r.events, (std::vector<std::string>{"response", "complete"}));
    EXPECT_EQ(r.error->code, kURLErrorCancelled);
    EXPECT_TRUE(r.data.empty());

    // cancel() does not wait for an answer that never comes.
    auto ignored = s->dataTaskWithURL(server.url("/body"));
    ignored->resume();
    ASSERT_TRUE(delegate->waitFor([&] {
        return delegate->heldResponseCount() == 1 && ignored->countOfBytesReceived() == int64_t(body.size());
    }));
    ignored->cancel();
    ASSERT_TRUE(delegate->waitForCompletions(3));
    EXPECT_EQ(delegate->record(ignored).error->code, kURLErrorCancelled);
    delegate->answerHeldResponse(ignored, URLSessionResponseDisposition::Allow);  // too late: changes nothing

    // Nor is a task cancelled mid-body, with body held for that answer, kept alive once ended.
    server.on("GET", "/stalled", [&](const TestRequest&, TestResponse& res) {
        res.body = body;
        res.stallAfter = 100000;  // several deliveries: the first is held before the count gets there
    });
    auto stalled = s->dataTaskWithURL(server.url("/stalled"));
    std::weak_ptr<URLSessionTask> stalledAlive = stalled;
    stalled->resume();
    ASSERT_TRUE(delegate->waitFor([&] {
        return delegate->heldResponseCount() == 1 && stalled->countOfBytesReceived() >= 100000;
    }));
    stalled->cancel();
    ASSERT_TRUE(delegate->waitForCompletions(4));
    EXPECT_EQ(delegate->record(stalled).error->code, kURLErrorCancelled);
    delegate->answerHeldResponse(stalled, URLSessionResponseDisposition::Allow);
    stalled.reset();
    EXPECT_TRUE(delegate->waitFor([&] { return stalledAlive.expired(); }));
    s->finishTasksAndInvalidate();
    ASSERT_TRUE(delegate->waitForInvalid());
    EXPECT_EQ(delegate->record(ignored).completions, 1);
    EXPECT_TRUE(delegate->record(ignored).data.empty());
    session.reset();
}

TEST_F(URLSessionTest, FinishTasksAndInvalidateLetsTasksEndThenReportsInvalidLast) {
    server.hold("/slow");
    server.respond("/slow", 200, "done");
    auto s = makeSession();
    for (int i = 0; i < 3; ++i) s->dataTaskWithURL(server.url("/slow"))->resume();
    ASSERT_TRUE(server.waitForHeld("/slow", 3, 60));
    s->finishTasksAndInvalidate();
    EXPECT_EQ(s->dataTaskWithURL(server.url("/slow")), nullptr);
    server.release("/slow");
    ASSERT_TRUE(delegate->waitForInvalid());
    auto events = delegate->sessionEvents();
    EXPECT_EQ(std::count(events.begin(), events.end(), "complete"), 3);
    EXPECT_EQ(events.back(), "invalid");
    EXPECT_EQ(std::count(events.begin(), events.end(), "invalid"), 1);
    session.reset();
}

TEST_F(URLSessionTest, InvalidateAndCancelCancelsEveryTaskThenReportsInvalid) {
    server.hold("/slow");
    auto s = makeSession();
    auto a = s->dataTaskWithURL(server.url("/slow"));
    auto b = s->downloadTaskWithRequest(URLRequest(server.url("/slow")));
    a->resume();
    b->resume();
    ASSERT_TRUE(server.waitForHeld("/slow", 2, 60));
    s->invalidateAndCancel();
    ASSERT_TRUE(delegate->waitForInvalid());
    server.release("/slow");
    EXPECT_EQ(delegate->record(a).error->code, kURLErrorCancelled);
    EXPECT_EQ(delegate->record(b).error->code, kURLErrorCancelled);
    EXPECT_EQ(delegate->sessionEvents().back(), "invalid");
    session.reset();
}

TEST_F(URLSessionTest, DownloadGoesToATemporaryFileRemovedAfterTheCallback) {
    std::string body = randomBody(200000, 3);
    server.respond("/file", 200, body);
    auto s = makeSession();
    auto task = s->downloadTaskWithRequest(URLRequest(server.url("/file")));
    task->resume();
    ASSERT_TRUE(delegate->waitForCompletions(1));
    auto r = delegate->record(task);
    EXPECT_EQ(r.events, (std::vector<std::string>{"written", "downloaded", "complete"}));
    EXPECT_FALSE(r.error);
    EXPECT_TRUE(r.downloadedContents == body);
    EXPECT_EQ(r.lastTotalWritten, int64_t(body.size()));
    EXPECT_EQ(r.lastExpectedToWrite, int64_t(body.size()));
    EXPECT_FALSE(r.downloadLocation.empty());
    EXPECT_FALSE(std::filesystem::exists(r.downloadLocation));
    EXPECT_EQ(http(task->response())->statusCode(), 200);
}

TEST_F(URLSessionTest, CancelledDownloadResumesFromItsResumeData) {
    std::string body = randomBody(1000000, 9);
    const size_t firstPart = 300000;
    server.on("GET", "/resumable", [&](const TestRequest& req, TestResponse& res) {
        res.setHeader("ETag", "\"v1\"");
        res.setHeader("Accept-Ranges", "bytes");
        auto range = req.header("Range");
        if (range && req.header("If-Range") == "\"v1\"") {
            res.status = 206;
            res.body = body;  // the server library cuts the range out and adds Content-Range
        } else {
            res.body = body;
            res.stallAfter = firstPart;
        }
    });
    auto s = makeSession();
    auto first = s->downloadTaskWithRequest(URLRequest(server.url("/resumable")));
    first->resume();
    ASSERT_TRUE(delegate->waitFor([&] { return delegate->record(first).lastTotalWritten >= int64_t(firstPart); }));
    std::optional<Bytes> resumeData;
    std::atomic<bool> gotResumeData{false};
    std::static_pointer_cast<URLSessionDownloadTask>(first)->cancelByProducingResumeData([&](std::optional<Bytes> d) {
        resumeData = std::move(d);
        gotResumeData = true;
    });
    ASSERT_TRUE(delegate->waitForCompletions(1));
    ASSERT_TRUE(gotResumeData);
    ASSERT_TRUE(resumeData);
    auto firstRecord = delegate->record(first);
    EXPECT_EQ(firstRecord.error->code, kURLErrorCancelled);
    EXPECT_EQ(firstRecord.error->userInfo[kURLSessionDownloadTaskResumeData].asBytes(), *resumeData);

    auto second = s->downloadTaskWithResumeData(*resumeData);
    second->resume();
    ASSERT_TRUE(delegate->waitForCompletions(2));
    auto r = delegate->record(second);
    EXPECT_FALSE(r.error);
    ASSERT_EQ(r.resumedAt.size(), 1u);
    EXPECT_EQ(r.resumedAt[0], std::make_pair(int64_t(firstPart), int64_t(body.size())));
    EXPECT_EQ(r.lastTotalWritten, int64_t(body.size()));
    EXPECT_EQ(r.downloadedContents.size(), body.size());
    EXPECT_TRUE(r.downloadedContents == body);
    auto ranged = server.requests("/resumable");
    ASSERT_EQ(ranged.size(), 2u);
    EXPECT_EQ(ranged[1].header("Range"), "bytes=300000-");

    // Resume data that does not read is refused when the task starts.
    auto bad = s->downloadTaskWithResumeData(toBytes("not resume data"));
    bad->resume();
    ASSERT_TRUE(delegate->waitForCompletions(3));
    EXPECT_EQ(delegate->record(bad).error->code, kURLErrorCannotDecodeRawData);
}

TEST_F(URLSessionTest, DataURLsLoadWithoutTheNetwork) {
    auto s = makeSession();
    auto encoded = s->dataTaskWithURL(*URL::URLWithString("data:text/plain;charset=utf-8;base64,SGVsbG8sIHdvcmxk"));
    auto plain = s->dataTaskWithURL(*URL::URLWithString("data:,a%20b"));
    auto broken = s->dataTaskWithURL(*URL::URLWithString("data:nocomma"));
    auto download = s->downloadTaskWithRequest(URLRequest(*URL::URLWithString("data:application/json,%7B%7D")));
    for (auto& t : std::vector<std::shared_ptr<URLSessionTask>>{encoded, plain, broken, download}) t->resume();
    ASSERT_TRUE(delegate->waitForCompletions(4));

    auto r = delegate->record(encoded);
    EXPECT_EQ(r.events, (std::vector<std::string>{"response", "data", "complete"}));
    EXPECT_EQ(toString(r.data), "Hello, world");
    ASSERT_EQ(r.responses.size(), 1u);
    EXPECT_FALSE(http(r.responses[0]));
    EXPECT_EQ(r.responses[0]->MIMEType(), "text/plain");
    EXPECT_EQ(r.responses[0]->textEncodingName(), "utf-8");
    EXPECT_EQ(r.responses[0]->expectedContentLength(), 12);

    auto p = delegate->record(plain);
    EXPECT_EQ(toString(p.data), "a b");
    EXPECT_EQ(p.responses[0]->textEncodingName(), "US-ASCII");
    EXPECT_EQ(delegate->record(broken).error->code, kURLErrorBadURL);
    auto d = delegate->record(download);
    EXPECT_EQ(d.downloadedContents, "{}");
    EXPECT_FALSE(std::filesystem::exists(d.downloadLocation));
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(URLSessionTest, GzipAndDeflateBodiesAreDecoded) {
    std::string text;
    for (int i = 0; i < 5000; ++i) text += "line " + std::to_string(i) + " of a compressible body\n";
    server.on("GET", "/gzip", [&](const TestRequest&, TestResponse& res) {
        res.body = text;
        res.encoding = TestResponse::Encoding::Gzip;
    });
    server.on("GET", "/deflate", [&](const TestRequest&, TestResponse& res) {
        res.body = text;
        res.encoding = TestResponse::Encoding::Deflate;
    });
    auto s = makeSession();
    auto gz = s->dataTaskWithURL(server.url("/gzip"));
    auto df = s->dataTaskWithURL(server.url("/deflate"));
    gz->resume();
    df->resume();
    ASSERT_TRUE(delegate->waitForCompletions(2));
    for (auto& t : {gz, df}) {
        auto r = delegate->record(t);
        EXPECT_FALSE(r.error);
        EXPECT_TRUE(toString(r.data) == text);
        EXPECT_EQ(r.responses[0]->expectedContentLength(), kURLResponseUnknownLength);
    }
    EXPECT_EQ(http(delegate->record(gz).responses[0])->valueForHTTPHeaderField("content-encoding"), "gzip");
    EXPECT_NE(server.requests("/gzip")[0].header("Accept-Encoding")->find("gzip"), std::string::npos);
}

std::string md5Hex(const std::string& s) {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(s.data(), s.size(), d, &n, EVP_md5(), nullptr);
    std::string out;
    char buf[3];
    for (unsigned i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", d[i]);
        out += buf;
    }
    return out;
}

// The server's side of Digest (RFC 7616, MD5, qop=auth), written independently of the client.
bool digestMatches(const TestRequest& req, const std::string& user, const std::string& password) {
    auto header = req.header("Authorization");
    if (!header || header->rfind("Digest ", 0) != 0) return false;
    std::map<std::string, std::string> p;
    std::regex param(R"re((\w+)=(?:"([^"]*)"|([^,\s]+)))re");
    for (auto it = std::sregex_iterator(header->begin(), header->end(), param); it != std::sregex_iterator(); ++it)
        p[(*it)[1]] = (*it)[2].matched ? (*it)[2].str() : (*it)[3].str();
    if (p["username"] != user || p["nonce"] != "n0nce" || p["qop"] != "auth") return false;
    std::string ha1 = md5Hex(user + ":" + p["realm"] + ":" + password);
    std::string ha2 = md5Hex(req.method + ":" + p["uri"]);
    return p["response"] == md5Hex(ha1 + ":n0nce:" + p["nc"] + ":" + p["cnonce"] + ":auth:" + ha2) &&
           p["uri"] == req.path + (req.query.empty() ? "" : "?" + req.query) && p["opaque"] == "op";
}

TEST_F(URLSessionTest, BasicAndDigestChallengesGoThroughTheDelegate) {
    server.on("GET", "/basic", [](const TestRequest& req, TestResponse& res) {
        if (req.header("Authorization") == "Basic " + base64Encode(std::string_view("user:secret"))) {
            res.body = "welcome";
            return;
        }
        res.status = 401;
        res.setHeader("WWW-Authenticate", "Basic realm=\"test realm\"");
        res.body = "who are you";
    });
    server.on("GET", "/digest", [](const TestRequest& req, TestResponse& res) {
        if (digestMatches(req, "user", "secret")) {
            res.body = "digest welcome";
            return;
        }
        res.status = 401;
        res.setHeader("WWW-Authenticate", "Digest realm=\"dig\", qop=\"auth,auth-int\", nonce=\"n0nce\", opaque=\"op\"");
    });
    delegate->onChallenge = [](const URLAuthenticationChallenge& ch) {
        if (ch.previousFailureCount() > 0)
            return std::make_pair(URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, std::optional<URLCredential>());
        std::string password = ch.protectionSpace().realm() == "wrong" ? "nope" : "secret";
        return std::make_pair(URLSessionAuthChallengeDisposition::UseCredential,
                              std::optional(URLCredential::credentialWithUser("user", password)));
    };
    auto s = makeSession();
    auto basic = s->dataTaskWithURL(server.url("/basic"));
    auto digest = s->dataTaskWithURL(server.url("/digest?q=1"));
    basic->resume();
    digest->resume();
    ASSERT_TRUE(delegate->waitForCompletions(2));

    auto b = delegate->record(basic);
    EXPECT_FALSE(b.error);
    EXPECT_EQ(toString(b.data), "welcome");
    ASSERT_EQ(b.challenges.size(), 1u);
    const auto& space = b.challenges[0].protectionSpace();
    EXPECT_EQ(space.authenticationMethod(), kURLAuthenticationMethodHTTPBasic);
    EXPECT_EQ(space.realm(), "test realm");
    EXPECT_EQ(space.host(), "127.0.0.1");
    EXPECT_EQ(space.port(), server.port());
    EXPECT_EQ(space.protocol(), "https");
    EXPECT_EQ(http(b.challenges[0].failureResponse())->statusCode(), 401);
    EXPECT_EQ(b.events, (std::vector<std::string>{"challenge", "response", "data", "complete"}));

    auto d = delegate->record(digest);
    EXPECT_FALSE(d.error);
    EXPECT_EQ(toString(d.data), "digest welcome");
    ASSERT_EQ(d.challenges.size(), 1u);
    EXPECT_EQ(d.challenges[0].protectionSpace().authenticationMethod(), kURLAuthenticationMethodHTTPDigest);

    // A wrong password is challenged again with a failure count; cancelling ends the task.
    server.on("GET", "/wrong", [](const TestRequest&, TestResponse& res) {
        res.status = 401;
        res.setHeader("WWW-Authenticate", "Basic realm=\"wrong\"");
    });
    auto wrong = s->dataTaskWithURL(server.url("/wrong"));
    wrong->resume();
    ASSERT_TRUE(delegate->waitForCompletions(3));
    auto w = delegate->record(wrong);
    ASSERT_EQ(w.challenges.size(), 2u);
    EXPECT_EQ(w.challenges[1].previousFailureCount(), 1);
    EXPECT_EQ(w.error->code, kURLErrorCancelled);
    EXPECT_EQ(server.requestCount("/wrong"), 2u);

    // Default handling delivers the 401 itself.
    delegate->onChallenge = nullptr;
    auto unanswered = s->dataTaskWithURL(server.url("/basic"));
    unanswered->resume();
    ASSERT_TRUE(delegate->waitForCompletions(4));
    auto u = delegate->record(unanswered);
    EXPECT_FALSE(u.error);
    EXPECT_EQ(http(u.responses.back())->statusCode(), 401);
    EXPECT_EQ(toString(u.data), "who are you");
}

TEST_F(URLSessionTest, ConnectionsPerHostAreLimitedAndTheRestWait) {
    server.hold("/slow");
    server.respond("/slow", 200, "ok");
    auto config = URLSessionConfiguration::ephemeralSessionConfiguration();
    config.setHTTPMaximumConnectionsPerHost(2);
    auto s = makeSession(config);
    for (int i = 0; i < 5; ++i) s->dataTaskWithURL(server.url("/slow"))->resume();
    ASSERT_TRUE(server.waitForHeld("/slow", 2, 60));
    server.release("/slow");
    ASSERT_TRUE(delegate->waitForCompletions(5));
    // Five requests over two kept-alive connections: never more than two at once.
    std::set<int> connections;
    for (const auto& r : server.requests("/slow")) connections.insert(r.remotePort);
    EXPECT_EQ(server.requestCount("/slow"), 5u);
    EXPECT_LE(connections.size(), 2u);
}

TEST_F(URLSessionTest, ConfigurationHeadersApplyUnlessTheRequestSetsThem) {
    server.respond("/echo", 200, "");
    auto config = URLSessionConfiguration::ephemeralSessionConfiguration();
    config.setHTTPAdditionalHeaders(HTTPHeaders{{"X-Extra", "1"}, {"User-Agent", "Config/1"}});
    auto s = makeSession(config);
    URLRequest r(server.url("/echo"));
    r.setValue("Mine/2", "user-agent");
    r.setHTTPMethod("HEAD");
    s->dataTaskWithRequest(r)->resume();
    ASSERT_TRUE(delegate->waitForCompletions(1));
    auto req = server.requests("/echo").at(0);
    EXPECT_EQ(req.method, "HEAD");
    EXPECT_EQ(req.header("User-Agent"), "Mine/2");
    EXPECT_EQ(req.header("X-Extra"), "1");
}

TEST_F(URLSessionTest, BackgroundSessionsAreInProcessSessionsTaggedWithTheirIdentifier) {
    server.hold("/slow");
    server.respond("/slow", 200, "ok");
    auto s = makeSession(URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier("com.quorvane.test.bg"));
    EXPECT_EQ(s->configuration().kind(), URLSessionConfiguration::Kind::Background);
    EXPECT_EQ(s->configuration().identifier(), "com.quorvane.test.bg");
    EXPECT_EQ(s->configuration().TLSMinimumSupportedProtocolVersion(), TLSProtocolVersion::TLSv12);

    struct Listing {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        size_t data = 0, upload = 0, download = 0;
        bool onQueue = false;
    };
    auto list = [&](const std::shared_ptr<OperationQueue>& q) {
        auto l = std::make_shared<Listing>();
        s->getTasksWithCompletionHandler([l, q](auto d, auto u, auto dl) {
            std::lock_guard lock(l->m);
            l->data = d.size();
            l->upload = u.size();
            l->download = dl.size();
            l->onQueue = q->isCurrent();
            l->done = true;
            l->cv.notify_all();
        });
        std::unique_lock lock(l->m);
        EXPECT_TRUE(l->cv.wait_for(lock, std::chrono::seconds(60), [&] { return l->done; }));
        return std::make_tuple(l->data, l->upload, l->download, l->onQueue);
    };
    // As after a restart: a session of that identifier has no tasks to give back.
    EXPECT_EQ(list(queue), std::make_tuple(size_t(0), size_t(0), size_t(0), true));
    auto running = s->dataTaskWithURL(server.url("/slow"));
    auto suspended = s->downloadTaskWithRequest(URLRequest(server.url("/slow")));
    running->resume();
    ASSERT_TRUE(server.waitForHeld("/slow", 1, 60));
    EXPECT_EQ(list(queue), std::make_tuple(size_t(1), size_t(0), size_t(1), true));
    server.release("/slow");
    ASSERT_TRUE(delegate->waitForCompletions(1));
    EXPECT_FALSE(delegate->record(running).error);
    suspended->cancel();
    ASSERT_TRUE(delegate->waitForCompletions(2));
    EXPECT_EQ(list(queue), std::make_tuple(size_t(0), size_t(0), size_t(0), true));
}

TEST_F(URLSessionTest, UnsupportedSchemesFailWithoutTheNetwork) {
    auto s = makeSession();
    auto task = s->dataTaskWithURL(*URL::URLWithString("ftp://127.0.0.1/file"));
    task->resume();
    ASSERT_TRUE(delegate->waitForCompletions(1));
    EXPECT_EQ(delegate->record(task).error->code, kURLErrorUnsupportedURL);
}

}  // namespace
}  // namespace quorvane::test
