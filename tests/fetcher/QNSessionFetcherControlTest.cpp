// The fetcher's side of its service (calling order, delayed starts, the priority that skips
// the queue, callbacks dropped after a stop-all), stopped downloads that hand back resume
// data, and credentials for HTTP authentication challenges.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "platform/foundation/Base64.h"
#include "platform/foundation/Paths.h"
#include "tests/fetcher/QNSessionFetcherTestSupport.h"

namespace quorvane::test {
namespace {

using platform::Bytes;
using platform::URL;

// A service that records what fetchers tell it and can hold them back.
class RecordingService : public QNSessionFetcherServiceProtocol {
public:
    bool fetcherShouldBeginFetching(const std::shared_ptr<QNSessionFetcher>& fetcher) override {
        record("shouldBegin");
        if (delay) delayed.push_back(fetcher);
        return !delay;
    }
    void fetcherDidCreateSession(const std::shared_ptr<QNSessionFetcher>&) override { record("didCreateSession"); }
    void fetcherDidBeginFetching(const std::shared_ptr<QNSessionFetcher>& fetcher) override {
        record("didBegin");
        EXPECT_TRUE(fetcher->sessionTask());
        EXPECT_EQ(fetcher->sessionTask()->state(), platform::URLSessionTask::State::Suspended);
    }
    void fetcherDidStop(const std::shared_ptr<QNSessionFetcher>&) override { record("didStop"); }
    bool isDelayingFetcher(const std::shared_ptr<QNSessionFetcher>&) override { return false; }
    std::shared_ptr<platform::URLSession> session() override { return nullptr; }
    std::shared_ptr<platform::URLSession> sessionForFetcherCreation() override {
        record("sessionForCreation");
        return nullptr;
    }
    std::shared_ptr<platform::URLSessionDelegate> sessionDelegate() override { return nullptr; }
    std::optional<platform::Date> stoppedAllFetchersDate() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopAll;
    }
    std::shared_ptr<platform::DispatchQueue> callbackQueue() override { return platform::DispatchQueue::main(); }
    void setCallbackQueue(std::shared_ptr<platform::DispatchQueue>) override {}
    bool reuseSession() override { return false; }
    void setReuseSession(bool) override {}
    std::shared_ptr<platform::OperationQueue> delegateQueue() override { return nullptr; }

    void record(std::string call) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls.push_back(std::move(call));
    }
    std::vector<std::string> recorded() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls;
    }
    void stopAllNow() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopAll = platform::Date::now();
    }

    bool delay = false;
    std::vector<std::shared_ptr<QNSessionFetcher>> delayed;

private:
    std::mutex mutex_;
    std::vector<std::string> calls;
    std::optional<platform::Date> stopAll;
};

class QNSessionFetcherControlTest : public ::testing::Test {
protected:
    std::shared_ptr<QNSessionFetcher> fetcherWithService(std::string_view path) {
        auto fetcher = QNSessionFetcher::fetcherWithURL(server.url(path));
        fetcher->setService(service);
        return fetcher;
    }
    TestHTTPServer server;
    std::shared_ptr<RecordingService> service = std::make_shared<RecordingService>();
};

TEST_F(QNSessionFetcherControlTest, AFetchTellsItsServiceEachStepInOrder) {
    server.respond("/steps", 200, "ok");
    auto outcome = fetchToEnd(fetcherWithService("/steps"));
    EXPECT_FALSE(outcome->error);
    EXPECT_EQ(service->recorded(),
              (std::vector<std::string>{"sessionForCreation", "didCreateSession", "shouldBegin", "didBegin", "didStop"}));
}

TEST_F(QNSessionFetcherControlTest, ADelayedFetcherWaitsUntilTheServiceBeginsIt) {
    server.respond("/queued", 200, "queued body");
    service->delay = true;
    auto fetcher = fetcherWithService("/queued");
    auto outcome = beginFetch(fetcher);
    platform::RunLoop::main()->runUntil([] { return false; }, 0.1);
    EXPECT_EQ(server.requestCount("/queued"), 0u);
    ASSERT_EQ(service->delayed.size(), 1u);
    EXPECT_TRUE(fetcher->isFetching());
    EXPECT_FALSE(fetcher->sessionTask());

    service->delay = false;
    fetcher->beginFetchMayDelay(false, true);
    ASSERT_TRUE(pumpUntil([&] { return outcome->calls == 1; }));
    EXPECT_EQ(stringOf(outcome->data), "queued body");
    auto calls = service->recorded();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "shouldBegin"), 1);

    // The bypass priority never asks.
    service->delay = true;
    auto urgent = fetcherWithService("/queued");
    urgent->setServicePriority(kQNSessionFetcherServicePriorityBypass);
    EXPECT_FALSE(fetchToEnd(urgent)->error);
    EXPECT_EQ(service->delayed.size(), 1u);
    service->delayed.clear();  // a fetcher holds its service
}

TEST_F(QNSessionFetcherControlTest, CallbacksOfAFetchBegunBeforeAStopAllAreDropped) {
    server.hold("/old");
    server.respond("/old", 200, "stale");
    auto fetcher = fetcherWithService("/old");
    int progressCalls = 0;
    fetcher->setReceivedProgressBlock([&](int64_t, int64_t) { progressCalls++; });
    auto outcome = beginFetch(fetcher);
    ASSERT_TRUE(pumpUntil([&] { return server.waitForHeld("/old", 1, 0); }));
    service->stopAllNow();
    server.release("/old");
    ASSERT_TRUE(pumpUntil([&] {
        auto calls = service->recorded();
        return std::count(calls.begin(), calls.end(), "didStop") == 1;
    }));
    EXPECT_TRUE(fetcher->waitForCompletionWithTimeout(5));
    EXPECT_EQ(outcome->calls, 0);
    EXPECT_EQ(progressCalls, 0);
}

TEST_F(QNSessionFetcherControlTest, AStoppedDownloadHandsBackResumeDataToContinueFrom) {
    std::string body(600000, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = char((i * 7 + i / 13) & 0xff);
    const size_t firstPart = 200000;
    server.on("GET", "/resumable", [&](const TestRequest& req, TestResponse& res) {
        res.setHeader("ETag", "\"v1\"");
        res.setHeader("Accept-Ranges", "bytes");
        res.body = body;
        if (req.header("Range") && req.header("If-Range") == "\"v1\"") {
            res.status = 206;
        } else {
            res.stallAfter = firstPart;
        }
    });
    auto dir = platform::Paths::cacheHome() / "resume";
    auto destination = URL::fileURLWithPath(dir / "whole.bin");
    auto first = QNSessionFetcher::fetcherWithURL(server.url("/resumable"));
    first->setDestinationFileURL(destination);
    int64_t written = 0;
    first->setDownloadProgressBlock([&](int64_t, int64_t total, int64_t) { written = total; });
    std::optional<Bytes> resumeData;
    first->setResumeDataBlock([&](const Bytes& data) { resumeData = data; });
    auto firstOutcome = beginFetch(first);
    ASSERT_TRUE(pumpUntil([&] { return written >= int64_t(firstPart); }));
    first->stopFetching();
    EXPECT_TRUE(first->waitForCompletionWithTimeout(10));
    ASSERT_TRUE(resumeData);
    EXPECT_EQ(firstOutcome->calls, 0);

    auto second = QNSessionFetcher::fetcherWithDownloadResumeData(*resumeData);
    second->setDestinationFileURL(destination);
    auto secondOutcome = fetchToEnd(second);
    EXPECT_FALSE(secondOutcome->error);
    std::string whole;
    ASSERT_TRUE(platform::readFile(dir / "whole.bin", whole));
    EXPECT_TRUE(whole == body);
    EXPECT_EQ(server.requests("/resumable").back().header("Range"), "bytes=" + std::to_string(firstPart) + "-");
}

TEST_F(QNSessionFetcherControlTest, TheFetchersCredentialAnswersAnAuthenticationChallenge) {
    std::string expected = "Basic " + platform::base64Encode(std::string_view("user:secret"));
    server.on("*", "/basic", [expected](const TestRequest& req, TestResponse& res) {
        if (req.header("Authorization") == expected) {
            res.body = "welcome";
        } else {
            res.status = 401;
            res.setHeader("WWW-Authenticate", "Basic realm=\"test\"");
        }
    });
    auto fetcher = QNSessionFetcher::fetcherWithURL(server.url("/basic"));
    fetcher->setCredential(platform::URLCredential::credentialWithUser("user", "secret"));
    auto outcome = fetchToEnd(fetcher);
    EXPECT_FALSE(outcome->error);
    EXPECT_EQ(stringOf(outcome->data), "welcome");

    // Without a credential the 401 is the answer.
    auto bare = QNSessionFetcher::fetcherWithURL(server.url("/basic"));
    auto bareOutcome = fetchToEnd(bare);
    ASSERT_TRUE(bareOutcome->error);
    EXPECT_EQ(bareOutcome->error->code, 401);
}

}  // namespace
}  // namespace quorvane::test
