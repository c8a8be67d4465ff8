// The fetcher service with real fetchers against the loopback server: the per-host limit and
// promotion by priority, the bypass priority, one shared session per service that is dropped
// when idle and made again, stop-all, wait-for-all, the lookups, the settings copied into new
// fetchers, the authorizer hand-over and the services that answer without the network.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <thread>

#include "fetcher/QNSessionFetcherService.h"
#include "fetcher/QNSessionFetcherSessionDelegateDispatcher.h"
#include "fetcher/QNSessionUserAgent.h"
#include "tests/fetcher/QNSessionFetcherTestSupport.h"

namespace quorvane::test {
namespace {

using namespace quorvane::platform;
using Dispatcher = QNSessionFetcherSessionDelegateDispatcher;

// Collects the service's session-invalidation notifications.
class InvalidationWatchForService {
public:
    explicit InvalidationWatchForService(const void* service) {
        token_ = NotificationCenter::defaultCenter().addObserver(
            kQNSessionFetcherServiceSessionBecameInvalidNotification, service, nullptr, [this](const Notification& n) {
                std::lock_guard lock(mutex_);
                values_.push_back(n.userInfo[kQNSessionFetcherServiceSessionKey].asInt());
                cv_.notify_all();
            });
    }
    bool waitFor(size_t n, double seconds = 60) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return values_.size() >= n; });
    }
    std::vector<int64_t> sessionValues() {
        std::lock_guard lock(mutex_);
        return values_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<int64_t> values_;
    NotificationCenter::TokenPtr token_;
};

class QNSessionFetcherServiceTest : public ::testing::Test {
protected:
    void SetUp() override { service = QNSessionFetcherService::make(); }
    void TearDown() override {
        for (const auto& path : held) server.release(path);
        service->stopAllFetchers();
        EXPECT_TRUE(service->waitForCompletionOfAllFetchersWithTimeout(60));
    }
    std::shared_ptr<QNSessionFetcher> fetcher(std::string_view path, int64_t priority = 0) {
        auto f = service->fetcherWithURL(server.url(path));
        f->setServicePriority(priority);
        return f;
    }
    void hold(const std::string& path) {
        server.hold(path);
        held.push_back(path);
    }
    // The paths the server saw, in order.
    std::vector<std::string> requestedPaths() {
        std::vector<std::string> paths;
        for (const auto& r : server.requests()) paths.push_back(r.path);
        return paths;
    }

    TestHTTPServer server;
    std::shared_ptr<QNSessionFetcherService> service;
    std::vector<std::string> held;
};

TEST_F(QNSessionFetcherServiceTest, AtMostTheLimitRunPerHostAndTheRestStartLowestPriorityFirst) {
    service->setMaxRunningFetchersPerHost(2);
    for (const char* p : {"/run1", "/run2", "/low", "/high", "/high-later", "/bypass"}) server.respond(p, 200, p);
    hold("/run1");
    hold("/run2");

    auto run1 = fetcher("/run1"), run2 = fetcher("/run2");
    auto o1 = beginFetch(run1), o2 = beginFetch(run2);
    ASSERT_TRUE(server.waitForHeld("/run1", 1, 60));
    ASSERT_TRUE(server.waitForHeld("/run2", 1, 60));

    auto low = fetcher("/low", 5), high = fetcher("/high", -3), highLater = fetcher("/high-later", -3);
    auto oLow = beginFetch(low), oHigh = beginFetch(high), oHighLater = beginFetch(highLater);
    EXPECT_EQ(service->numberOfRunningFetchers(), 2u);
    EXPECT_EQ(service->numberOfDelayedFetchers(), 3u);
    EXPECT_EQ(service->numberOfFetchers(), 5u);
    EXPECT_TRUE(service->isDelayingFetcher(low));
    EXPECT_FALSE(service->isDelayingFetcher(run1));
    EXPECT_EQ(low->serviceHost(), "127.0.0.1");
    auto delayed = service->delayedFetchersByHost();
    ASSERT_EQ(delayed.size(), 1u);
    EXPECT_EQ(delayed["127.0.0.1"], (QNSessionFetcherService::FetcherList{low, high, highLater}));
    // Asking again for a running fetcher lets it through without recording it twice.
    EXPECT_TRUE(service->fetcherShouldBeginFetching(run1));
    EXPECT_EQ(service->numberOfRunningFetchers(), 2u);

    // The bypass priority is never queued and never recorded.
    auto bypass = fetcher("/bypass", kQNSessionFetcherServicePriorityBypass);
    auto oBypass = beginFetch(bypass);
    ASSERT_TRUE(pumpUntil([&] { return oBypass->calls > 0; }));
    EXPECT_EQ(stringOf(oBypass->data), "/bypass");
    EXPECT_EQ(service->numberOfFetchers(), 5u);
    EXPECT_FALSE(bypass->serviceHost());
    EXPECT_EQ(server.requestCount("/low") + server.requestCount("/high") + server.requestCount("/high-later"), 0u);

    // One slot frees: the delayed ones go one after the other, lowest value first, equal
    // values in the order they were delayed.
    server.release("/run1");
    ASSERT_TRUE(pumpUntil([&] { return o1->calls && oLow->calls && oHigh->calls && oHighLater->calls; }));
    std::vector<std::string> order;
    for (const auto& p : requestedPaths())
        if (p == "/low" || p == "/high" || p == "/high-later") order.push_back(p);
    EXPECT_EQ(order, (std::vector<std::string>{"/high", "/high-later", "/low"}));
    EXPECT_EQ(stringOf(oLow->data), "/low");
    EXPECT_FALSE(oHigh->error);
    // A completion may run before its fetcher has told the service it stopped.
    ASSERT_TRUE(pumpUntil([&] { return service->numberOfFetchers() == 1; }));
    EXPECT_EQ(service->numberOfDelayedFetchers(), 0u);
    EXPECT_EQ(service->runningFetchersByHost()["127.0.0.1"], QNSessionFetcherService::FetcherList{run2});
    EXPECT_FALSE(low->serviceHost());

    server.release("/run2");
    ASSERT_TRUE(pumpUntil([&] { return o2->calls > 0 && service->numberOfFetchers() == 0; }));
    EXPECT_TRUE(service->runningFetchersByHost().empty());
    EXPECT_TRUE(service->delayedFetchersByHost().empty());
}

TEST_F(QNSessionFetcherServiceTest, TheDefaultLimitDelaysTheEleventhAndZeroMeansNoLimit) {
    EXPECT_EQ(service->maxRunningFetchersPerHost(), 10u);
    server.respond("/slow", 200, "x");
    hold("/slow");
    std::vector<std::shared_ptr<FetchOutcome>> outcomes;
    std::vector<std::shared_ptr<QNSessionFetcher>> fetchers;
    for (int i = 0; i < 11; ++i) {
        fetchers.push_back(fetcher("/slow?n=" + std::to_string(i)));
        outcomes.push_back(beginFetch(fetchers.back()));
    }
    EXPECT_EQ(service->numberOfRunningFetchers(), 10u);
    EXPECT_EQ(service->numberOfDelayedFetchers(), 1u);
    EXPECT_TRUE(service->isDelayingFetcher(fetchers[10]));
    ASSERT_TRUE(server.waitForHeld("/slow", 1, 60));

    auto unlimited = QNSessionFetcherService::make();
    unlimited->setMaxRunningFetchersPerHost(0);
    std::vector<std::shared_ptr<QNSessionFetcher>> more;
    for (int i = 0; i < 12; ++i) {
        more.push_back(unlimited->fetcherWithURL(server.url("/slow?u=" + std::to_string(i))));
        beginFetch(more.back());
    }
    EXPECT_EQ(unlimited->numberOfRunningFetchers(), 12u);
    EXPECT_EQ(unlimited->numberOfDelayedFetchers(), 0u);
    unlimited->stopAllFetchers();
    EXPECT_EQ(unlimited->numberOfFetchers(), 0u);

    server.release("/slow");
    ASSERT_TRUE(pumpUntil([&] {
        for (auto& o : outcomes)
            if (!o->calls) return false;
        return service->numberOfFetchers() == 0;
    }));
}

TEST_F(QNSessionFetcherServiceTest, BackgroundSessionFetchersAreRecordedButTakeNoSlot) {
    service->setMaxRunningFetchersPerHost(1);
    server.respond("/bg", 200, "bg");
    hold("/bg");
    auto normal = fetcher("/bg?normal");
    auto oNormal = beginFetch(normal);
    auto background = fetcher("/bg?background");
    background->setUseBackgroundSession(true);
    auto oBackground = beginFetch(background);
    ASSERT_TRUE(server.waitForHeld("/bg", 2, 60));  // both went out
    EXPECT_TRUE(background->isUsingBackgroundSession());
    EXPECT_NE(background->session(), service->session());  // never the shared one
    EXPECT_EQ(service->numberOfRunningFetchers(), 2u);
    EXPECT_EQ(service->numberOfDelayedFetchers(), 0u);
    EXPECT_EQ(QNSessionFetcherService::numberOfNonBackgroundSessionFetchers(
                  service->runningFetchersByHost()["127.0.0.1"]),
              1u);
    // The one slot is still taken by the ordinary fetcher.
    auto waiting = fetcher("/bg?waiting");
    auto oWaiting = beginFetch(waiting);
    EXPECT_TRUE(service->isDelayingFetcher(waiting));
    server.release("/bg");
    ASSERT_TRUE(pumpUntil([&] {
        return oNormal->calls && oBackground->calls && oWaiting->calls && service->numberOfFetchers() == 0;
    }));
    EXPECT_EQ(stringOf(oBackground->data), "bg");
}

TEST_F(QNSessionFetcherServiceTest, UnscheduledHostsAndLocalFileURLs) {
    service->setMaxRunningFetchersPerHost(1);
    server.respond("/busy", 200, "b");
    hold("/busy");
    auto busy = fetcher("/busy");
    auto oBusy = beginFetch(busy);

    // A data URL has no host: it begins at once, is not recorded and its stop changes nothing.
    auto data = service->fetcherWithURLString("data:text/plain,hello");
    auto oData = beginFetch(data);
    ASSERT_TRUE(pumpUntil([&] { return oData->calls > 0; }));
    EXPECT_EQ(stringOf(oData->data), "hello");
    EXPECT_EQ(service->numberOfFetchers(), 1u);
    EXPECT_FALSE(data->serviceHost());
    EXPECT_FALSE(service->isDelayingFetcher(data));

    // A file URL without host is scheduled under "localhost" (asked directly: nothing is sent).
    auto file = service->fetcherWithURL(URL::fileURLWithPath("/tmp/quorvane-none"));
    EXPECT_TRUE(service->fetcherShouldBeginFetching(file));
    EXPECT_EQ(file->serviceHost(), "localhost");
    EXPECT_EQ(service->runningFetchersByHost().count("localhost"), 1u);
    EXPECT_FALSE(service->isDelayingFetcher(file));
    service->fetcherDidStop(file);
    EXPECT_EQ(service->runningFetchersByHost().count("localhost"), 0u);
    EXPECT_FALSE(file->serviceHost());
    // A fetcher the service never recorded: its stop changes nothing.
    service->fetcherDidStop(service->fetcherWithURL(server.url("/busy")));
    EXPECT_EQ(service->numberOfRunningFetchers(), 1u);

    server.release("/busy");
    ASSERT_TRUE(pumpUntil([&] { return oBusy->calls > 0; }));
}

TEST_F(QNSessionFetcherServiceTest, FetchersShareOneSessionThatIsDroppedWhenIdleAndMadeAgain) {
    service->setUnusedSessionTimeout(0.2);
    server.respond("/a", 200, "a");
    EXPECT_TRUE(service->reuseSession());
    EXPECT_EQ(service->session(), nullptr);

    // Many fetchers beginning at once on several threads: one of them makes the session, the
    // others wait for it and take it.
    constexpr int kThreads = 8;
    std::vector<std::shared_ptr<QNSessionFetcher>> fetchers;
    std::vector<std::shared_ptr<FetchOutcome>> outcomes(kThreads);
    for (int i = 0; i < kThreads; ++i) fetchers.push_back(fetcher("/a?t=" + std::to_string(i)));
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) threads.emplace_back([&, i] { outcomes[i] = beginFetch(fetchers[i]); });
    for (auto& t : threads) t.join();
    ASSERT_TRUE(pumpUntil([&] {
        for (auto& o : outcomes)
            if (!o->calls) return false;
        return true;
    }));
    auto first = service->session();
    ASSERT_TRUE(first);
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_FALSE(outcomes[i]->error) << i;
        EXPECT_EQ(fetchers[i]->session(), first) << i;
    }
    auto dispatcher = std::dynamic_pointer_cast<Dispatcher>(service->sessionDelegate());
    ASSERT_TRUE(dispatcher);
    EXPECT_EQ(first->delegate(), dispatcher);
    EXPECT_NE(dispatcher->description().find("<no tasks>"), std::string::npos);

    // Idle past the timeout: the dispatcher and its session are dropped.
    ASSERT_TRUE(pumpUntil([&] { return service->session() == nullptr; }, 60));
    EXPECT_NE(service->sessionDelegate(), dispatcher);
    EXPECT_TRUE(service->reuseSession());

    auto again = fetcher("/a?again");
    auto o = fetchToEnd(again);
    EXPECT_FALSE(o->error);
    ASSERT_TRUE(service->session());
    EXPECT_NE(service->session(), first);
    EXPECT_EQ(again->session(), service->session());

    // A reset drops it at once.
    auto second = service->session();
    service->resetSession();
    EXPECT_EQ(service->session(), nullptr);
    EXPECT_TRUE(service->reuseSession());
    fetchToEnd(fetcher("/a?after-reset"));
    EXPECT_NE(service->session(), second);
}

TEST_F(QNSessionFetcherServiceTest, WithoutReuseEveryFetcherMakesItsOwnSession) {
    server.respond("/own", 200, "own");
    hold("/own");
    service->setReuseSession(false);
    EXPECT_FALSE(service->reuseSession());
    EXPECT_EQ(service->sessionDelegate(), nullptr);
    EXPECT_EQ(service->sessionForFetcherCreation(), nullptr);  // no wait
    auto f1 = fetcher("/own?1"), f2 = fetcher("/own?2");
    auto o1 = beginFetch(f1), o2 = beginFetch(f2);
    ASSERT_TRUE(server.waitForHeld("/own", 2, 60));
    ASSERT_TRUE(f1->session() && f2->session());
    EXPECT_NE(f1->session(), f2->session());
    EXPECT_EQ(f1->session()->delegate(), f1);
    EXPECT_EQ(service->session(), nullptr);
    server.release("/own");
    ASSERT_TRUE(pumpUntil([&] { return o1->calls && o2->calls; }));
    EXPECT_EQ(stringOf(o1->data), "own");

    service->setReuseSession(true);
    EXPECT_TRUE(std::dynamic_pointer_cast<Dispatcher>(service->sessionDelegate()));
    auto shared = fetchToEnd(fetcher("/own?3"));
    EXPECT_FALSE(shared->error);
    EXPECT_TRUE(service->session());
}

TEST_F(QNSessionFetcherServiceTest, AResetLetsRunningFetchesFinishOnTheOldSession) {
    server.respond("/long", 200, "long body");
    hold("/long");
    auto f = fetcher("/long");
    auto o = beginFetch(f);
    ASSERT_TRUE(server.waitForHeld("/long", 1, 60));
    auto old = service->session();
    ASSERT_TRUE(old);
    InvalidationWatchForService watch(service.get());
    service->resetSession();
    EXPECT_EQ(service->session(), nullptr);
    server.release("/long");
    ASSERT_TRUE(pumpUntil([&] { return o->calls > 0; }));
    EXPECT_FALSE(o->error);
    EXPECT_EQ(stringOf(o->data), "long body");
    // The old session ends once its task is done, and says so once.
    ASSERT_TRUE(watch.waitFor(1));
    EXPECT_EQ(watch.sessionValues(), std::vector<int64_t>{Dispatcher::sessionNotificationValue(old.get())});
}

TEST_F(QNSessionFetcherServiceTest, TurningReuseOffWhileTheSharedSessionIsBeingMadeDoesNotBlockLaterFetches) {
    server.respond("/r", 200, "r");
    // A fetcher has been told to make the shared session (it holds the creation turn)...
    EXPECT_EQ(service->sessionForFetcherCreation(), nullptr);
    // ...when reuse is turned off: it makes a session of its own and reports it.
    service->setReuseSession(false);
    auto own = fetcher("/r?own");
    EXPECT_FALSE(fetchToEnd(own)->error);
    // With reuse back on, the next fetcher gets the turn instead of waiting forever.
    service->setReuseSession(true);
    auto outcome = std::make_shared<std::atomic<bool>>(false);
    std::thread starter([this, outcome] {
        beginFetch(fetcher("/r?shared"));
        *outcome = true;
    });
    bool started = pumpUntil([&] { return outcome->load(); }, 60);
    EXPECT_TRUE(started);
    if (started) {
        starter.join();
    } else {
        starter.detach();
        return;
    }
    EXPECT_TRUE(service->waitForCompletionOfAllFetchersWithTimeout(60));
    EXPECT_TRUE(service->session());
}

TEST_F(QNSessionFetcherServiceTest, EachTaskIsMappedToItsFetcherWhileItRuns) {
    server.respond("/mapped", 200, "m");
    hold("/mapped");
    auto f = fetcher("/mapped");
    auto o = beginFetch(f);
    ASSERT_TRUE(server.waitForHeld("/mapped", 1, 60));
    auto dispatcher = std::dynamic_pointer_cast<Dispatcher>(service->sessionDelegate());
    ASSERT_TRUE(dispatcher);
    auto task = f->sessionTask();
    ASSERT_TRUE(task);
    EXPECT_EQ(dispatcher->fetcherForTask(task), f);
    EXPECT_EQ(dispatcher->discardTimer(), nullptr);
    server.release("/mapped");
    ASSERT_TRUE(pumpUntil([&] { return o->calls > 0 && service->numberOfFetchers() == 0; }));
    EXPECT_EQ(dispatcher->fetcherForTask(task), nullptr);
    EXPECT_TRUE(dispatcher->discardTimer());  // idle now
}

TEST_F(QNSessionFetcherServiceTest, StopAllStopsDelayedAndRunningFetchersWithoutCompletions) {
    service->setMaxRunningFetchersPerHost(2);
    server.respond("/stall", 200, "s");
    hold("/stall");
    std::vector<std::shared_ptr<FetchOutcome>> outcomes;
    std::vector<std::shared_ptr<QNSessionFetcher>> fetchers;
    for (int i = 0; i < 5; ++i) {
        fetchers.push_back(fetcher("/stall?n=" + std::to_string(i)));
        outcomes.push_back(beginFetch(fetchers.back()));
    }
    ASSERT_TRUE(server.waitForHeld("/stall", 2, 60));
    EXPECT_EQ(service->numberOfDelayedFetchers(), 3u);
    EXPECT_FALSE(service->stoppedAllFetchersDate());

    Date before = Date::now();
    service->stopAllFetchers();
    ASSERT_TRUE(service->stoppedAllFetchersDate());
    EXPECT_GE(service->stoppedAllFetchersDate()->timeIntervalSinceReferenceDate(), before.timeIntervalSinceReferenceDate());
    EXPECT_EQ(service->numberOfFetchers(), 0u);
    EXPECT_TRUE(service->runningFetchersByHost().empty());
    EXPECT_TRUE(service->delayedFetchersByHost().empty());
    EXPECT_FALSE(service->issuedFetchers());
    for (auto& f : fetchers) {
        EXPECT_FALSE(f->isFetching());
        EXPECT_FALSE(f->serviceHost());
    }
    server.release("/stall");
    EXPECT_TRUE(service->waitForCompletionOfAllFetchersWithTimeout(60));
    RunLoop::main()->runUntil([] { return false; }, 0.1);
    for (auto& o : outcomes) EXPECT_EQ(o->calls, 0);
    EXPECT_EQ(server.requestCount("/stall"), 2u);  // the delayed ones never went out
}

TEST_F(QNSessionFetcherServiceTest, WaitForAllAnswersTrueWhenAllFinishAndFalseOnTimeOut) {
    server.respond("/quick", 200, "q");
    server.respond("/late", 200, "l");
    std::vector<std::shared_ptr<FetchOutcome>> outcomes;
    for (int i = 0; i < 3; ++i) outcomes.push_back(beginFetch(fetcher("/quick?n=" + std::to_string(i))));
    EXPECT_TRUE(service->waitForCompletionOfAllFetchersWithTimeout(60));
    // The completions go to the main queue, which the wait runs; it gives each stopped fetcher's
    // completion 10 ms, so on a busy machine one may still be queued when it returns.
    EXPECT_TRUE(pumpUntil([&] { return std::all_of(outcomes.begin(), outcomes.end(), [](auto& o) { return o->calls > 0; }); }));
    for (auto& o : outcomes) EXPECT_EQ(o->calls, 1);
    EXPECT_EQ(service->numberOfFetchers(), 0u);

    hold("/late");
    auto late = beginFetch(fetcher("/late"));
    ASSERT_TRUE(server.waitForHeld("/late", 1, 60));
    EXPECT_FALSE(service->waitForCompletionOfAllFetchersWithTimeout(0.2));
    EXPECT_EQ(late->calls, 0);
    server.release("/late");
    EXPECT_TRUE(service->waitForCompletionOfAllFetchersWithTimeout(60));
    EXPECT_TRUE(pumpUntil([&] { return late->calls > 0; }));
    EXPECT_EQ(late->calls, 1);

    // From another thread it sleeps between looks instead of running the main loop; the
    // completion then waits for the main loop.
    auto offMain = beginFetch(fetcher("/quick?off-main"));
    std::atomic<int> answer{-1};
    std::thread waiter([&] { answer = service->waitForCompletionOfAllFetchersWithTimeout(60) ? 1 : 0; });
    ASSERT_TRUE(pumpUntil([&] { return answer.load() >= 0 && offMain->calls > 0; }));
    waiter.join();
    EXPECT_EQ(answer.load(), 1);
}

TEST_F(QNSessionFetcherServiceTest, IssuedFetchersAndLookupByRequestURL) {
    EXPECT_FALSE(service->issuedFetchers());
    service->setMaxRunningFetchersPerHost(1);
    server.respond("/same", 200, "s");
    hold("/same");
    auto a = fetcher("/same"), b = fetcher("/same"), c = fetcher("/same?other");
    beginFetch(a);
    beginFetch(b);
    beginFetch(c);
    auto all = service->issuedFetchers();
    ASSERT_TRUE(all);
    EXPECT_EQ(*all, (QNSessionFetcherService::FetcherList{a, b, c}));  // running, then delayed

    auto same = service->issuedFetchersWithRequestURL(server.url("/same"));
    ASSERT_TRUE(same);
    EXPECT_EQ(*same, (QNSessionFetcherService::FetcherList{a, b}));
    EXPECT_FALSE(service->issuedFetchersWithRequestURL(server.url("/nothing-here")));
    EXPECT_FALSE(service->issuedFetchersWithRequestURL(*URL::URLWithString("data:text/plain,x")));
}

TEST_F(QNSessionFetcherServiceTest, NewFetchersCarryTheServicesSettings) {
    EXPECT_EQ(service->callbackQueue(), DispatchQueue::main());
    auto delegateQueue = service->sessionDelegateQueue();
    ASSERT_TRUE(delegateQueue);
    EXPECT_EQ(delegateQueue->name(), "com.quorvane.QNSessionFetcher.NSURLSessionDelegateQueue");
    EXPECT_EQ(delegateQueue->maxConcurrentOperationCount(), 1);
    EXPECT_EQ(service->delegateQueue(), nullptr);
    EXPECT_EQ(service->userAgent(), QNSessionStandardUserAgentString());
    EXPECT_EQ(service->cookieStorageMethod(), -1);
    EXPECT_DOUBLE_EQ(service->unusedSessionTimeout(), 60);

    auto plain = service->fetcherWithURL(server.url("/ua"));
    EXPECT_EQ(plain->request()->valueForHTTPHeaderField("User-Agent"), QNSessionStandardUserAgentString());
    EXPECT_EQ(plain->service(), service);
    EXPECT_EQ(plain->callbackQueue(), DispatchQueue::main());
    EXPECT_EQ(plain->sessionDelegateQueue(), delegateQueue);

    auto callbacks = DispatchQueue::serial("test.service.callbacks");
    service->setCallbackQueue(callbacks);
    service->setRetryEnabled(true);
    service->setMaxRetryInterval(5);
    service->setAllowLocalhostRequest(true);
    service->setAllowedInsecureSchemes(std::vector<std::string>{"http"});
    QNSessionFetcher::Properties props;
    props["ticket"] = std::string("t-1");
    service->setProperties(props);
    service->setUserAgent("Tester/1.0");
    URLRequest withAgent(server.url("/ua"));
    withAgent.setValue("Mine/2", "User-Agent");
    auto kept = service->fetcherWithRequest(withAgent);
    EXPECT_EQ(kept->request()->valueForHTTPHeaderField("User-Agent"), "Mine/2");
    auto configured = service->fetcherWithURL(server.url("/ua"));
    EXPECT_EQ(configured->request()->valueForHTTPHeaderField("User-Agent"), "Tester/1.0");
    EXPECT_EQ(configured->callbackQueue(), callbacks);
    EXPECT_TRUE(configured->isRetryEnabled());
    EXPECT_DOUBLE_EQ(configured->maxRetryInterval(), 5);
    EXPECT_TRUE(configured->allowLocalhostRequest());
    EXPECT_EQ(configured->allowedInsecureSchemes(), std::vector<std::string>{"http"});
    EXPECT_EQ(std::any_cast<std::string>(configured->propertyForKey("ticket")), "t-1");

    service->setUserAgent("");
    EXPECT_FALSE(service->fetcherWithURL(server.url("/ua"))->request()->valueForHTTPHeaderField("User-Agent"));
    service->setCallbackQueue(nullptr);
    EXPECT_EQ(service->callbackQueue(), DispatchQueue::main());
    service->setSessionDelegateQueue(nullptr);
    EXPECT_EQ(service->sessionDelegateQueue(), OperationQueue::main());
    service->setSessionDelegateQueue(delegateQueue);

    // The header goes out on the wire.
    server.respond("/ua", 200, "ua");
    service->setUserAgent("Tester/1.0");
    fetchToEnd(service->fetcherWithURL(server.url("/ua")));
    auto seen = server.requests("/ua");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].header("User-Agent"), "Tester/1.0");

    // A subclass comes from the same settings.
    class Special : public QNSessionFetcher {
    public:
        using QNSessionFetcher::QNSessionFetcher;
    };
    auto special = service->fetcherWithRequest<Special>(URLRequest(server.url("/ua")));
    EXPECT_EQ(special->service(), service);
}

// An authorizer that keeps the service it makes its own fetches with.
class ServiceKeepingAuthorizer : public TestAuthorizer {
public:
    std::shared_ptr<QNSessionFetcherServiceProtocol> fetcherService() const override { return service_.lock(); }
    void setFetcherService(const std::weak_ptr<QNSessionFetcherServiceProtocol>& s) override { service_ = s; }

private:
    std::weak_ptr<QNSessionFetcherServiceProtocol> service_;
};

TEST_F(QNSessionFetcherServiceTest, TheAuthorizerIsHandedTheServiceAndDetachedWhenReplaced) {
    auto first = std::make_shared<ServiceKeepingAuthorizer>();
    auto second = std::make_shared<ServiceKeepingAuthorizer>();
    service->setAuthorizer(first);
    EXPECT_EQ(first->fetcherService(), service);
    EXPECT_EQ(service->fetcherWithURL(server.url("/x"))->authorizer(), first);

    // Another service's authorizer is left alone when it leaves this one.
    auto other = QNSessionFetcherService::make();
    service->setAuthorizer(second);
    EXPECT_EQ(first->fetcherService(), nullptr);
    EXPECT_EQ(second->fetcherService(), service);
    second->setFetcherService(other);
    service->setAuthorizer(nullptr);
    EXPECT_EQ(second->fetcherService(), other);

    // A service going away detaches its authorizer.
    auto shortLived = QNSessionFetcherService::make();
    shortLived->setAuthorizer(first);
    EXPECT_EQ(first->fetcherService(), shortLived);
    shortLived.reset();
    EXPECT_EQ(first->fetcherService(), nullptr);

    // Signing goes through the service's authorizer.
    server.respond("/signed", 200, "ok");
    service->setAuthorizer(first);
    auto o = fetchToEnd(service->fetcherWithURL(server.url("/signed")));
    EXPECT_FALSE(o->error);
    EXPECT_EQ(server.requests("/signed").at(0).header("Authorization"), "Bearer t1");
}

TEST(QNSessionFetcherMockService, AnswersEveryFetchWithTheFakedValues) {
    auto ok = QNSessionFetcherService::mockFetcherServiceWithFakedData(bytesOf("faked body"), std::nullopt);
    EXPECT_EQ(ok->allowedInsecureSchemes(), std::vector<std::string>{"http"});
    auto fetcher = ok->fetcherWithURLString("http://contacts.quorvane.invalid/m8/feeds");
    auto o = fetchToEnd(fetcher);
    EXPECT_EQ(o->calls, 1);
    EXPECT_FALSE(o->error);
    EXPECT_EQ(stringOf(o->data), "faked body");
    auto response = std::dynamic_pointer_cast<const HTTPURLResponse>(fetcher->response());
    ASSERT_TRUE(response);
    EXPECT_EQ(response->statusCode(), 200);
    EXPECT_EQ(response->HTTPVersion(), "HTTP/1.1");
    EXPECT_EQ(response->url()->scheme(), "http");
    EXPECT_TRUE(response->allHeaderFields().empty());

    Error offline(kURLErrorDomain, kURLErrorNotConnectedToInternet);
    auto failing = QNSessionFetcherService::mockFetcherServiceWithFakedData(std::nullopt, offline);
    auto f2 = failing->fetcherWithURLString("https://contacts.quorvane.invalid/x");
    auto o2 = fetchToEnd(f2);
    EXPECT_EQ(o2->calls, 1);
    ASSERT_TRUE(o2->error);
    EXPECT_EQ(o2->error->domain, kURLErrorDomain);
    EXPECT_EQ(o2->error->code, kURLErrorNotConnectedToInternet);
    auto failedResponse = std::dynamic_pointer_cast<const HTTPURLResponse>(f2->response());
    ASSERT_TRUE(failedResponse);
    EXPECT_EQ(failedResponse->statusCode(), 500);

    // A response of the caller's choosing.
    auto notFound = std::make_shared<HTTPURLResponse>(*URL::URLWithString("http://x.quorvane.invalid/"), 404,
                                                      std::string("HTTP/1.1"), HTTPHeaders());
    auto custom = QNSessionFetcherService::mockFetcherServiceWithFakedData(bytesOf("gone"), notFound, std::nullopt);
    auto o3 = fetchToEnd(custom->fetcherWithURLString("http://x.quorvane.invalid/y"));
    ASSERT_TRUE(o3->error);
    EXPECT_EQ(o3->error->domain, QNSessionFetcherStatusDomain);
    EXPECT_EQ(o3->error->code, 404);
}

}  // namespace
}  // namespace quorvane::test
