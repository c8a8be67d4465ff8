// The shared session's delegate against a real URL session and the loopback server: each task's
// callbacks reach the fetcher it is mapped to, the mapping goes at completion, unmapped tasks
// are ended rather than left waiting, the idle discard timer, and invalidation of the session.

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "fetcher/QNSessionFetcher.h"
#include "fetcher/QNSessionFetcherService.h"
#include "fetcher/QNSessionFetcherSessionDelegateDispatcher.h"
#include "platform/net/URLSession.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "tests/support/TestHTTPServer.h"

namespace quorvane::test {
namespace {

using namespace quorvane::platform;
using Dispatcher = QNSessionFetcherSessionDelegateDispatcher;

// A fetcher that records the session callbacks it is handed instead of acting on them.
class RecordingFetcher : public QNSessionFetcher {
public:
    RecordingFetcher() : QNSessionFetcher(std::nullopt, std::nullopt) {}

    struct Record {
        std::vector<std::string> events;
        std::string data;
        std::optional<Error> error;
        int completions = 0;
        std::vector<uint64_t> taskIdentifiers;
    };

    Record record() {
        std::lock_guard lock(mutex);
        return rec;
    }
    bool waitForCompletions(int n, double seconds = 60) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return rec.completions >= n; });
    }

    void willPerformHTTPRedirection(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>& task,
                                    const std::shared_ptr<const HTTPURLResponse>&, const URLRequest& newRequest,
                                    RedirectCompletion completionHandler) override {
        note("redirect", task);
        completionHandler(newRequest);
    }
    void didReceiveChallenge(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>& task,
                             const URLAuthenticationChallenge&, ChallengeCompletion completionHandler) override {
        note("challenge", task);
        completionHandler(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
    }
    void needNewBodyStream(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>& task,
                           BodyStreamCompletion completionHandler) override {
        note("bodyStream", task);
        completionHandler(DataInputStream::inputStreamWithData(Bytes{'u', 'p'}));
    }
    void didSendBodyData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>& task, int64_t,
                         int64_t, int64_t) override {
        noteOnce("sent", task);
    }
    void didReceiveResponse(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>& task,
                            const std::shared_ptr<const URLResponse>&, ResponseCompletion completionHandler) override {
        note("response", task);
        completionHandler(URLSessionResponseDisposition::Allow);
    }
    void didReceiveData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>& task,
                        const Bytes& data) override {
        noteOnce("data", task);
        std::lock_guard lock(mutex);
        rec.data.append(data.begin(), data.end());
    }
    void didFinishDownloadingToURL(const std::shared_ptr<URLSession>&,
                                   const std::shared_ptr<URLSessionDownloadTask>& task, const URL&) override {
        note("downloaded", task);
    }
    void didWriteData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDownloadTask>& task, int64_t,
                      int64_t, int64_t) override {
        noteOnce("written", task);
    }
    void didCompleteWithError(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>& task,
                              const std::optional<Error>& error) override {
        note("complete", task);
        std::lock_guard lock(mutex);
        rec.error = error;
        ++rec.completions;
        cv.notify_all();
    }
    void didBecomeInvalidWithError(const std::shared_ptr<URLSession>&, const std::optional<Error>&) override {}

private:
    void note(const std::string& event, const std::shared_ptr<URLSessionTask>& task) {
        std::lock_guard lock(mutex);
        rec.events.push_back(event);
        rec.taskIdentifiers.push_back(task->taskIdentifier());
    }
    void noteOnce(const std::string& event, const std::shared_ptr<URLSessionTask>& task) {
        {
            std::lock_guard lock(mutex);
            if (!rec.events.empty() && rec.events.back() == event) return;
        }
        note(event, task);
    }

    std::mutex mutex;
    std::condition_variable cv;
    Record rec;
};

// Waits for invalidation notifications of one session.
class InvalidationWatch {
public:
    explicit InvalidationWatch(const void* object = nullptr) {
        token_ = NotificationCenter::defaultCenter().addObserver(
            kQNSessionFetcherServiceSessionBecameInvalidNotification, object, nullptr, [this](const Notification& n) {
                std::lock_guard lock(mutex_);
                notes_.push_back(n);
                cv_.notify_all();
            });
    }
    bool waitFor(size_t n, double seconds = 60) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return notes_.size() >= n; });
    }
    std::vector<Notification> notes() {
        std::lock_guard lock(mutex_);
        return notes_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Notification> notes_;
    NotificationCenter::TokenPtr token_;
};

class DispatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        queue = OperationQueue::make("test.dispatcher.delegate", 1);
        dispatcher = Dispatcher::initWithParentService({}, 0);
        session = URLSession::sessionWithConfiguration(URLSessionConfiguration::ephemeralSessionConfiguration(),
                                                       dispatcher, queue);
        dispatcher->setSession(session);
        watch = std::make_unique<InvalidationWatch>();
    }
    void TearDown() override {
        session->invalidateAndCancel();
        EXPECT_TRUE(watch->waitFor(1));
    }
    std::shared_ptr<RecordingFetcher> mapped(const std::shared_ptr<URLSessionTask>& task) {
        auto fetcher = std::make_shared<RecordingFetcher>();
        fetcher->setSession(session);
        dispatcher->setFetcher(fetcher, task);
        return fetcher;
    }

    TestHTTPServer server;
    std::shared_ptr<OperationQueue> queue;
    std::shared_ptr<Dispatcher> dispatcher;
    std::shared_ptr<URLSession> session;
    std::unique_ptr<InvalidationWatch> watch;
};

TEST_F(DispatcherTest, EachTaskCallbackReachesItsOwnFetcherAndTheMappingGoesAtCompletion) {
    server.respond("/a", 200, "alpha");
    server.respond("/b", 200, "bravo-bravo");
    server.on("GET", "/moved", [&](const TestRequest&, TestResponse& res) {
        res.status = 302;
        res.setHeader("Location", server.url("/a").absoluteString());
    });
    server.on("GET", "/locked", [](const TestRequest&, TestResponse& res) {
        res.status = 401;
        res.setHeader("WWW-Authenticate", "Basic realm=\"quorvane\"");
    });
    server.on("POST", "/upload", [](const TestRequest& req, TestResponse& res) { res.body = req.body; });
    server.respond("/file", 200, "downloaded body");

    auto taskA = session->dataTaskWithURL(server.url("/a"));
    auto taskB = session->dataTaskWithURL(server.url("/b"));
    auto taskMoved = session->dataTaskWithURL(server.url("/moved"));
    auto taskLocked = session->dataTaskWithURL(server.url("/locked"));
    URLRequest post(server.url("/upload"));
    post.setHTTPMethod("POST");
    auto taskUpload = session->uploadTaskWithStreamedRequest(post);
    auto taskDownload = session->downloadTaskWithRequest(URLRequest(server.url("/file")));

    auto fetcherA = mapped(taskA), fetcherB = mapped(taskB), fetcherMoved = mapped(taskMoved),
         fetcherLocked = mapped(taskLocked), fetcherUpload = mapped(taskUpload), fetcherDownload = mapped(taskDownload);
    EXPECT_EQ(dispatcher->fetcherForTask(taskA), fetcherA);
    EXPECT_EQ(dispatcher->fetcherForTask(taskDownload), fetcherDownload);

    for (auto& task : std::vector<std::shared_ptr<URLSessionTask>>{taskA, taskB, taskMoved, taskLocked, taskUpload,
                                                                  taskDownload})
        task->resume();
    for (auto& f : {fetcherA, fetcherB, fetcherMoved, fetcherLocked, fetcherUpload, fetcherDownload})
        ASSERT_TRUE(f->waitForCompletions(1));

    using V = std::vector<std::string>;
    auto a = fetcherA->record();
    EXPECT_EQ(a.events, (V{"response", "data", "complete"}));
    EXPECT_EQ(a.data, "alpha");
    EXPECT_FALSE(a.error);
    for (uint64_t id : a.taskIdentifiers) EXPECT_EQ(id, taskA->taskIdentifier());
    EXPECT_EQ(fetcherB->record().data, "bravo-bravo");
    EXPECT_EQ(fetcherMoved->record().events, (V{"redirect", "response", "data", "complete"}));
    EXPECT_EQ(fetcherMoved->record().data, "alpha");
    EXPECT_EQ(fetcherLocked->record().events.front(), "challenge");
    auto upload = fetcherUpload->record();
    EXPECT_EQ(upload.events.front(), "bodyStream");
    EXPECT_NE(std::find(upload.events.begin(), upload.events.end(), "sent"), upload.events.end());
    EXPECT_EQ(upload.data, "up");
    auto download = fetcherDownload->record();
    EXPECT_NE(std::find(download.events.begin(), download.events.end(), "downloaded"), download.events.end());
    EXPECT_EQ(download.events.back(), "complete");
    for (auto& f : {fetcherA, fetcherB, fetcherMoved, fetcherLocked, fetcherUpload, fetcherDownload})
        EXPECT_EQ(f->record().completions, 1);

    for (auto& task : std::vector<std::shared_ptr<URLSessionTask>>{taskA, taskB, taskMoved, taskLocked, taskUpload,
                                                                  taskDownload})
        EXPECT_EQ(dispatcher->fetcherForTask(task), nullptr);
    EXPECT_NE(dispatcher->description().find("<no tasks>"), std::string::npos);
}

TEST_F(DispatcherTest, AnUnmappedTaskIsEndedInsteadOfWaitingForAnAnswerForever) {
    // A stopped fetcher's task may still ask for a decision; nobody else will answer it.
    server.respond("/orphan", 200, "nobody listens");
    auto orphan = session->dataTaskWithURL(server.url("/orphan"));
    auto other = session->dataTaskWithURL(server.url("/orphan"));
    auto fetcher = mapped(other);
    dispatcher->removeFetcher(fetcher);  // stopped before its task ran
    orphan->resume();
    other->resume();
    session->finishTasksAndInvalidate();
    ASSERT_TRUE(watch->waitFor(1));
    EXPECT_EQ(orphan->state(), URLSessionTask::State::Completed);
    ASSERT_TRUE(orphan->error());
    EXPECT_EQ(orphan->error()->code, kURLErrorCancelled);
    ASSERT_TRUE(other->error());
    EXPECT_EQ(other->error()->code, kURLErrorCancelled);
    EXPECT_EQ(fetcher->record().completions, 0);
    EXPECT_EQ(dispatcher->session(), nullptr);
}

TEST_F(DispatcherTest, InvalidationCompletesEveryTaskStillMappedToTheSessionAndPostsOnce) {
    auto task1 = session->dataTaskWithURL(server.url("/never1"));
    auto task2 = session->dataTaskWithURL(server.url("/never2"));
    auto f1 = mapped(task1), f2 = mapped(task2);
    auto elsewhere = session->dataTaskWithURL(server.url("/never3"));
    auto other = std::make_shared<RecordingFetcher>();  // its session is another one
    dispatcher->setFetcher(other, elsewhere);

    dispatcher->didBecomeInvalidWithError(session, std::nullopt);

    for (auto& f : {f1, f2}) {
        auto r = f->record();
        EXPECT_EQ(r.completions, 1);
        ASSERT_TRUE(r.error);
        EXPECT_EQ(r.error->domain, kURLErrorDomain);
        EXPECT_EQ(r.error->code, kURLErrorCancelled);
    }
    EXPECT_EQ(other->record().completions, 0);
    EXPECT_EQ(dispatcher->fetcherForTask(task1), nullptr);
    EXPECT_EQ(dispatcher->fetcherForTask(task2), nullptr);
    EXPECT_EQ(dispatcher->fetcherForTask(elsewhere), other);
    EXPECT_EQ(dispatcher->session(), nullptr);
    auto notes = watch->notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].object, nullptr);  // no parent service
    EXPECT_EQ(notes[0].userInfo[kQNSessionFetcherServiceSessionKey].asInt(),
              Dispatcher::sessionNotificationValue(session.get()));
    // The session's own invalidation in TearDown posts the second one.
    watch = std::make_unique<InvalidationWatch>();
}

TEST(DispatcherTimer, TheLastFetcherGoneStartsTheDiscardTimerAndANewTaskCancelsIt) {
    auto dispatcher = Dispatcher::initWithParentService({}, 60);
    std::string fresh = dispatcher->description();
    EXPECT_EQ(fresh.rfind("QNSessionFetcherSessionDelegateDispatcher 0x", 0), 0u) << fresh;
    EXPECT_TRUE(fresh.ends_with(" <no session> <no tasks>")) << fresh;
    auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::ephemeralSessionConfiguration());
    std::vector<std::shared_ptr<URLSessionTask>> tasks;
    std::vector<std::shared_ptr<RecordingFetcher>> fetchers;
    for (int i = 0; i < 3; ++i) {
        tasks.push_back(session->dataTaskWithURL(*URL::URLWithString("https://127.0.0.1:1/x")));
        fetchers.push_back(std::make_shared<RecordingFetcher>());
        dispatcher->setFetcher(fetchers.back(), tasks.back());
    }
    EXPECT_NE(dispatcher->description().find("<task "), std::string::npos);
    dispatcher->setFetcher(nullptr, tasks[0]);  // ignored
    EXPECT_EQ(dispatcher->fetcherForTask(tasks[0]), fetchers[0]);

    dispatcher->removeFetcher(fetchers[0]);
    dispatcher->removeFetcher(fetchers[1]);
    EXPECT_EQ(dispatcher->discardTimer(), nullptr);
    dispatcher->removeFetcher(fetchers[2]);
    auto timer = dispatcher->discardTimer();
    ASSERT_TRUE(timer);
    EXPECT_TRUE(timer->isValid());
    EXPECT_FALSE(timer->repeats());
    EXPECT_DOUBLE_EQ(timer->timeInterval(), 60);
    EXPECT_DOUBLE_EQ(timer->tolerance(), 6);

    dispatcher->setFetcher(fetchers[0], tasks[0]);
    EXPECT_EQ(dispatcher->discardTimer(), nullptr);
    EXPECT_FALSE(timer->isValid());

    dispatcher->removeTaskFromMap(tasks[0]);  // a completion: no timer
    EXPECT_EQ(dispatcher->discardTimer(), nullptr);
    dispatcher->removeFetcher(fetchers[0]);
    ASSERT_TRUE(dispatcher->discardTimer());
    dispatcher->startSessionUsage();
    EXPECT_EQ(dispatcher->discardTimer(), nullptr);

    // 0 never discards.
    dispatcher->setDiscardInterval(0);
    dispatcher->removeFetcher(fetchers[0]);
    EXPECT_EQ(dispatcher->discardTimer(), nullptr);

    // An abandoned dispatcher lets its session finish and starts no timer again.
    dispatcher->setDiscardInterval(60);
    dispatcher->setSession(session);
    dispatcher->abandon();
    EXPECT_EQ(dispatcher->session(), nullptr);
    dispatcher->removeFetcher(fetchers[0]);
    EXPECT_EQ(dispatcher->discardTimer(), nullptr);
}

TEST(DispatcherTimer, AFiredTimerReplacesTheServicesDispatcherOnlyWhenIdleAndStillCurrent) {
    auto service = QNSessionFetcherService::make();
    auto first = std::dynamic_pointer_cast<Dispatcher>(service->sessionDelegate());
    ASSERT_TRUE(first);
    auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::ephemeralSessionConfiguration(), first);
    first->setSession(session);
    EXPECT_EQ(service->session(), session);
    auto task = session->dataTaskWithURL(*URL::URLWithString("https://127.0.0.1:1/x"));
    auto fetcher = std::make_shared<RecordingFetcher>();

    first->setFetcher(fetcher, task);
    first->removeFetcher(fetcher);
    auto timer = first->discardTimer();
    ASSERT_TRUE(timer);
    first->setFetcher(fetcher, task);  // busy again: the timer is cancelled...
    timer->fire();                     // ...and even fired by hand it does nothing
    EXPECT_EQ(service->sessionDelegate(), first);

    first->removeFetcher(fetcher);
    auto stale = first->discardTimer();
    first->startSessionUsage();
    first->removeFetcher(fetcher);
    ASSERT_TRUE(first->discardTimer());
    ASSERT_NE(first->discardTimer(), stale);
    // A timer that is no longer the dispatcher's current one changes nothing.
    service->resetSessionForDispatcherDiscardTimer(stale);
    EXPECT_EQ(service->sessionDelegate(), first);

    // The current timer, fired while idle: the session is dropped and a fresh dispatcher made.
    first->discardTimer()->fire();
    auto second = std::dynamic_pointer_cast<Dispatcher>(service->sessionDelegate());
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    EXPECT_EQ(first->session(), nullptr);
    EXPECT_EQ(service->session(), nullptr);
    EXPECT_DOUBLE_EQ(second->discardInterval(), 60);
}

}  // namespace
}  // namespace quorvane::test
