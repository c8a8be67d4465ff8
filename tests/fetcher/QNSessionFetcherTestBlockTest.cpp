// Fetches answered by test blocks (no network), and background sessions: identifiers with
// metadata, the persisted list, and restoring after a restart.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "platform/foundation/Paths.h"
#include "platform/foundation/UUID.h"
#include "platform/store/UserDefaults.h"
#include "tests/fetcher/QNSessionFetcherTestSupport.h"

namespace quorvane::test {
namespace {

using platform::Bytes;
using platform::Error;
using platform::URL;

std::shared_ptr<const platform::URLResponse> httpResponse(int status, platform::HTTPHeaders headers = {}) {
    return std::make_shared<platform::HTTPURLResponse>(*URL::URLWithString("https://fake.test/answer"), status,
                                                       std::string("HTTP/1.1"), headers);
}

std::shared_ptr<QNSessionFetcher> fakeFetcher(QNSessionFetcher::TestBlock block) {
    auto fetcher = QNSessionFetcher::fetcherWithURLString("https://fake.test/answer");
    fetcher->setTestBlock(std::move(block));
    return fetcher;
}

QNSessionFetcher::TestBlock answering(int status, std::string body, std::optional<Error> error = std::nullopt,
                                      std::shared_ptr<std::atomic<int>> asked = nullptr) {
    return [=](const std::shared_ptr<QNSessionFetcher>&, QNSessionFetcher::TestResponse response) {
        if (asked) asked->fetch_add(1);
        response(httpResponse(status), bytesOf(body), error);
    };
}

TEST(QNSessionFetcherTestBlockTest, AnAnswerOfTenBytesArrivesWithOneProgressCall) {
    auto fetcher = fakeFetcher(answering(200, "0123456789"));
    std::vector<std::pair<int64_t, int64_t>> progress;
    fetcher->setReceivedProgressBlock([&](int64_t bytes, int64_t total) { progress.emplace_back(bytes, total); });
    int responses = 0;
    fetcher->setDidReceiveResponseBlock([&](const auto& response, auto completion) { responses++; });
    NotificationCounter notes(fetcher);
    auto outcome = fetchToEnd(fetcher);
    EXPECT_FALSE(outcome->error);
    EXPECT_EQ(stringOf(outcome->data), "0123456789");
    EXPECT_EQ(progress, (std::vector<std::pair<int64_t, int64_t>>{{10, 10}}));
    // The never-resumed task's session goes once the task is cancelled, and the fetcher too.
    std::weak_ptr<QNSessionFetcher> weakFetcher = fetcher;
    EXPECT_EQ(responses, 1);
    EXPECT_EQ(fetcher->statusCode(), 200);
    EXPECT_EQ(notes.count(kQNSessionFetcherStartedNotification), 1);
    EXPECT_EQ(notes.count(kQNSessionFetcherStoppedNotification), 1);
    auto info = notes.lastUserInfo(kQNSessionFetcherCompletionInvokedNotification);
    EXPECT_EQ(info[kQNSessionFetcherCompletionDataKey].asBytes(), bytesOf("0123456789"));
    fetcher.reset();
    EXPECT_TRUE(pumpUntil([&] { return weakFetcher.expired(); }, 60));
}

TEST(QNSessionFetcherTestBlockTest, BodiesAreCutIntoTheAskedChunksAndSendProgressComesInThirds) {
    auto fetcher = fakeFetcher(answering(200, "0123456789"));
    fetcher->setTestBlockAccumulateDataChunkCount(4);
    std::vector<std::string> chunks;
    fetcher->setAccumulateDataBlock([&](const std::optional<Bytes>& chunk) { chunks.push_back(stringOf(chunk)); });
    fetcher->setBodyData(bytesOf("abcdefghij"));
    std::vector<std::tuple<int64_t, int64_t, int64_t>> sent;
    fetcher->setSendProgressBlock([&](int64_t a, int64_t b, int64_t c) { sent.emplace_back(a, b, c); });
    auto outcome = fetchToEnd(fetcher);
    EXPECT_FALSE(outcome->error);
    EXPECT_EQ(chunks, (std::vector<std::string>{"012", "345", "678", "9"}));
    EXPECT_EQ(sent, (std::vector<std::tuple<int64_t, int64_t, int64_t>>{{4, 4, 10}, {4, 8, 10}, {2, 10, 10}}));
    EXPECT_EQ(fetcher->request()->HTTPMethod(), "POST");
}

TEST(QNSessionFetcherTestBlockTest, AStreamedBodyIsReadAndEveryCallbackIsReplayedOnce) {
    auto fetcher = fakeFetcher(answering(200, "answer"));
    fetcher->setBodyStreamProvider([](auto completion) {
        completion(platform::DataInputStream::inputStreamWithData(bytesOf("abcdefghij")));
    });
    std::vector<std::tuple<int64_t, int64_t, int64_t>> sent;
    fetcher->setSendProgressBlock([&](int64_t a, int64_t b, int64_t c) { sent.emplace_back(a, b, c); });
    int redirects = 0, challenges = 0, caches = 0;
    fetcher->setWillRedirectBlock([&](const auto&, const platform::URLRequest& request, auto completion) {
        redirects++;
        EXPECT_EQ(request.url()->absoluteString(), "https://fake.test/answer");
        completion(request);
    });
    fetcher->setChallengeBlock([&](const auto& f, const platform::URLAuthenticationChallenge& challenge, auto completion) {
        challenges++;
        EXPECT_EQ(f, fetcher);
        EXPECT_EQ(challenge.protectionSpace().host(), "fake.test");
        EXPECT_EQ(challenge.protectionSpace().port(), 443);
        EXPECT_EQ(challenge.protectionSpace().authenticationMethod(), platform::kURLAuthenticationMethodHTTPBasic);
        completion(platform::URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
    });
    fetcher->setWillCacheURLResponseBlock([&](const platform::CachedURLResponse& cached, auto completion) {
        caches++;
        EXPECT_EQ(cached.data, bytesOf("answer"));
        completion(cached);
    });
    auto outcome = fetchToEnd(fetcher);
    EXPECT_FALSE(outcome->error);
    EXPECT_EQ(stringOf(outcome->data), "answer");
    EXPECT_EQ(sent, (std::vector<std::tuple<int64_t, int64_t, int64_t>>{{4, 4, 10}, {4, 8, 10}, {2, 10, 10}}));
    EXPECT_EQ(redirects, 1);
    EXPECT_EQ(challenges, 1);
    EXPECT_EQ(caches, 1);
}

TEST(QNSessionFetcherTestBlockTest, TheBackoffCapFollowsTheEffectiveMethod) {
    auto capFor = [](std::string method, std::optional<std::string> override) {
        auto fetcher = fakeFetcher(answering(200, ""));
        auto request = *fetcher->request();
        request.setHTTPMethod(method);
        if (override) request.setValue(*override, "X-HTTP-Method-Override");
        fetcher->setRequest(request);
        fetcher->setRetryEnabled(true);
        fetchToEnd(fetcher);
        return fetcher->maxRetryInterval();
    };
    EXPECT_EQ(capFor("GET", std::nullopt), 60.0);
    EXPECT_EQ(capFor("HEAD", std::nullopt), 60.0);
    EXPECT_EQ(capFor("PUT", std::nullopt), 600.0);
    EXPECT_EQ(capFor("POST", std::string("GET")), 60.0);

    auto preset = fakeFetcher(answering(200, ""));
    preset->setRetryEnabled(true);
    preset->setMaxRetryInterval(5);
    fetchToEnd(preset);
    EXPECT_EQ(preset->maxRetryInterval(), 5.0);
}

TEST(QNSessionFetcherTestBlockTest, StatusAnswersBecomeStatusErrorsAndTransportErrorsAreRetried) {
    auto notFound = fakeFetcher(answering(404, "no such thing"));
    auto outcome = fetchToEnd(notFound);
    ASSERT_TRUE(outcome->error);
    EXPECT_EQ(outcome->error->domain, QNSessionFetcherStatusDomain);
    EXPECT_EQ(outcome->error->code, 404);
    EXPECT_EQ(outcome->error->userInfo[QNSessionFetcherStatusDataUserInfoKey].asBytes(), bytesOf("no such thing"));

    // Connection lost once, then an answer: the test block is asked again.
    auto asked = std::make_shared<std::atomic<int>>(0);
    auto flaky = fakeFetcher([asked](const std::shared_ptr<QNSessionFetcher>&, QNSessionFetcher::TestResponse response) {
        if (asked->fetch_add(1) == 0) {
            response(nullptr, std::nullopt, Error(platform::kURLErrorDomain, platform::kURLErrorNetworkConnectionLost));
        } else {
            response(httpResponse(200), bytesOf("second time"), std::nullopt);
        }
    });
    flaky->setRetryEnabled(true);
    flaky->setMinRetryInterval(0.01);
    auto flakyOutcome = fetchToEnd(flaky);
    EXPECT_FALSE(flakyOutcome->error);
    EXPECT_EQ(stringOf(flakyOutcome->data), "second time");
    EXPECT_EQ(asked->load(), 2);
    EXPECT_EQ(flaky->retryCount(), 1u);
}

TEST(QNSessionFetcherTestBlockTest, ALateCompletionOfTheCancelledFirstTaskDoesNotDisturbTheRetry) {
    std::vector<std::shared_ptr<platform::URLSessionTask>> tasks;
    std::shared_ptr<QNSessionFetcher> retried;
    retried = fakeFetcher([&](const std::shared_ptr<QNSessionFetcher>& fetcher, QNSessionFetcher::TestResponse response) {
        tasks.push_back(fetcher->sessionTask());
        if (tasks.size() == 1) {
            response(nullptr, std::nullopt, Error(platform::kURLErrorDomain, platform::kURLErrorTimedOut));
            return;
        }
        // The first attempt's task was cancelled by the retry; its completion comes late.
        fetcher->didCompleteWithError(nullptr, tasks[0], Error(platform::kURLErrorDomain, platform::kURLErrorCancelled));
        EXPECT_EQ(fetcher->sessionTask(), tasks[1]);
        response(httpResponse(200), bytesOf("retried"), std::nullopt);
    });
    retried->setRetryEnabled(true);
    retried->setMinRetryInterval(0.01);
    auto outcome = fetchToEnd(retried);
    ASSERT_EQ(tasks.size(), 2u);
    EXPECT_NE(tasks[0], tasks[1]);
    EXPECT_EQ(outcome->calls, 1);
    EXPECT_FALSE(outcome->error);
    EXPECT_EQ(stringOf(outcome->data), "retried");
}

TEST(QNSessionFetcherTestBlockTest, ABlockAnsweringNothingLetsTheFetchGoToTheNetwork) {
    TestHTTPServer server;
    server.respond("/real", 200, "from the network");
    auto fetcher = QNSessionFetcher::fetcherWithURL(server.url("/real"));
    bool asked = false;
    fetcher->setTestBlock([&](const std::shared_ptr<QNSessionFetcher>&, QNSessionFetcher::TestResponse response) {
        asked = true;
        response(nullptr, std::nullopt, std::nullopt);
    });
    auto outcome = fetchToEnd(fetcher);
    EXPECT_TRUE(asked);
    EXPECT_FALSE(outcome->error);
    EXPECT_EQ(stringOf(outcome->data), "from the network");
    EXPECT_EQ(server.requestCount("/real"), 1u);
}

TEST(QNSessionFetcherTestBlockTest, TheGlobalTestBlockAnswersFetchersWithoutTheirOwn) {
    QNSessionFetcher::setGlobalTestBlock(answering(200, "global"));
    auto fetcher = QNSessionFetcher::fetcherWithURLString("https://fake.test/global");
    auto own = fakeFetcher(answering(200, "own"));
    auto outcome = fetchToEnd(fetcher);
    auto ownOutcome = fetchToEnd(own);
    QNSessionFetcher::setGlobalTestBlock(nullptr);
    EXPECT_EQ(stringOf(outcome->data), "global");
    EXPECT_EQ(stringOf(ownOutcome->data), "own");
}

TEST(QNSessionFetcherTestBlockTest, DestinationFilesAndBodyFilesAreUsed) {
    auto dir = platform::Paths::cacheHome() / "testblock";
    std::filesystem::create_directories(dir);
    auto fetcher = fakeFetcher(answering(200, "file body"));
    fetcher->setDestinationFileURL(URL::fileURLWithPath(dir / "out" / "answer.txt"));
    auto outcome = fetchToEnd(fetcher);
    EXPECT_FALSE(outcome->error);
    std::string written;
    ASSERT_TRUE(platform::readFile(dir / "out" / "answer.txt", written));
    EXPECT_EQ(written, "file body");

    // The test block's error stands even when the body file reads.
    auto bodyFile = dir / "body.txt";
    ASSERT_TRUE(platform::writeFileAtomically(bodyFile, "body"));
    auto failing = fakeFetcher(answering(200, "", Error(platform::kURLErrorDomain, platform::kURLErrorTimedOut)));
    failing->setBodyFileURL(URL::fileURLWithPath(bodyFile));
    auto failingOutcome = fetchToEnd(failing);
    ASSERT_TRUE(failingOutcome->error);
    EXPECT_EQ(failingOutcome->error->code, platform::kURLErrorTimedOut);
}

TEST(QNSessionFetcherTestBlockTest, StoppingAFakedFetchBeforeItsAnswerGivesNoCompletion) {
    QNSessionFetcher::TestResponse held;
    auto fetcher = fakeFetcher([&](const std::shared_ptr<QNSessionFetcher>&, QNSessionFetcher::TestResponse response) {
        held = response;
    });
    auto outcome = beginFetch(fetcher);
    ASSERT_TRUE(held);
    fetcher->stopFetching();
    held(httpResponse(200), bytesOf("late"), std::nullopt);
    platform::RunLoop::main()->runUntil([] { return false; }, 0.05);
    EXPECT_EQ(outcome->calls, 0);
}

// --- background sessions ---

std::vector<std::string> persistedList() {
    std::vector<std::string> result;
    if (auto a = platform::UserDefaults::standardUserDefaults()->arrayForKey(kQNSessionFetcherPersistedDestinationKey)) {
        for (const auto& v : *a) result.push_back(v.asString());
    }
    return result;
}

bool contains(const std::vector<std::string>& list, const std::string& s) {
    return std::find(list.begin(), list.end(), s) != list.end();
}

TEST(QNSessionFetcherBackgroundTest, ABackgroundFetchIsPersistedWhileItRuns) {
    TestHTTPServer server;
    server.hold("/bg");
    server.respond("/bg", 200, "background body");
    auto dir = platform::Paths::cacheHome() / "bg";
    auto fetcher = QNSessionFetcher::fetcherWithURL(server.url("/bg"));
    fetcher->setUseBackgroundSession(true);
    fetcher->setDestinationFileURL(URL::fileURLWithPath(dir / "bg.bin"));
    fetcher->setSessionUserInfo(platform::Value::dictionary({{"account", "me"}}));
    auto outcome = beginFetch(fetcher);
    ASSERT_TRUE(pumpUntil([&] { return server.waitForHeld("/bg", 1, 0); }));

    auto identifier = fetcher->sessionIdentifier();
    ASSERT_TRUE(identifier);
    EXPECT_EQ(identifier->rfind(kQNSessionIdentifierPrefix, 0), 0u);
    EXPECT_TRUE(fetcher->isUsingBackgroundSession());
    EXPECT_FALSE(fetcher->canShareSession());
    EXPECT_TRUE(contains(persistedList(), *identifier));
    EXPECT_EQ(QNSessionFetcher::fetcherWithSessionIdentifier(*identifier), fetcher);
    auto metadata = fetcher->sessionIdentifierMetadata();
    ASSERT_TRUE(metadata);
    EXPECT_EQ((*metadata)["account"].asString(), "me");
    EXPECT_EQ((*metadata)["_destURL"].asString(), URL::fileURLWithPath(dir / "bg.bin").absoluteString());
    auto reconnected = QNSessionFetcher::fetchersForBackgroundSessions();
    ASSERT_EQ(reconnected.size(), 1u);
    EXPECT_EQ(reconnected[0], fetcher);

    server.release("/bg");
    ASSERT_TRUE(pumpUntil([&] { return outcome->calls == 1; }));
    EXPECT_FALSE(outcome->error);
    EXPECT_FALSE(contains(persistedList(), *identifier));
    std::string written;
    ASSERT_TRUE(platform::readFile(dir / "bg.bin", written));
    EXPECT_EQ(written, "background body");
}

TEST(QNSessionFetcherBackgroundTest, ARestoredSessionWithoutItsTaskFailsAsLostAndLeavesTheList) {
    // What the previous run left behind: its fetcher and session are gone.
    std::string lost = std::string(kQNSessionIdentifierPrefix) + "_" + platform::UUID().uuidString() +
                       "_{\"_destURL\":\"file:///tmp/restored.bin\",\"k\":\"v\"}";
    auto defaults = platform::UserDefaults::standardUserDefaults();
    defaults->setObject(platform::Value(platform::Value::Array{platform::Value(lost)}), kQNSessionFetcherPersistedDestinationKey);

    auto fetchers = QNSessionFetcher::fetchersForBackgroundSessions();
    ASSERT_EQ(fetchers.size(), 1u);
    auto restored = fetchers[0];
    EXPECT_TRUE(restored->wasCreatedFromBackgroundSession());
    EXPECT_EQ(restored->sessionIdentifier(), lost);
    EXPECT_EQ(restored->destinationFileURL()->absoluteString(), "file:///tmp/restored.bin");
    EXPECT_EQ((*restored->sessionUserInfo())["k"].asString(), "v");
    EXPECT_FALSE(restored->sessionUserInfo()->contains("_destURL"));
    EXPECT_NE(restored->description().find("<from bg session>"), std::string::npos);
    EXPECT_TRUE(restored->isFetching());

    ASSERT_TRUE(pumpUntil([&] { return !restored->isFetching(); }, 60));
    EXPECT_FALSE(contains(persistedList(), lost));

    // The same with a completion handler: one call, code -4, no user info.
    std::string alsoLost = std::string(kQNSessionIdentifierPrefix) + "_" + platform::UUID().uuidString();
    auto again = QNSessionFetcher::fetcherWithSessionIdentifier(alsoLost);
    ASSERT_TRUE(again);
    EXPECT_FALSE(again->sessionIdentifierMetadata());
    EXPECT_FALSE(again->destinationFileURL());
    EXPECT_FALSE(again->sessionUserInfo());
    auto outcome = fetchToEnd(again, 5);
    ASSERT_TRUE(outcome->error);
    EXPECT_EQ(outcome->error->domain, QNSessionFetcherErrorDomain);
    EXPECT_EQ(outcome->error->code, QNSessionFetcherErrorBackgroundTaskLost);
    EXPECT_EQ(outcome->error->userInfo.size(), 0u);
    // The session made for the restore is let go, and with it the fetcher.
    EXPECT_FALSE(again->session());
    std::weak_ptr<QNSessionFetcher> weakAgain = again;
    again.reset();
    EXPECT_TRUE(pumpUntil([&] { return weakAgain.expired(); }, 60));

    EXPECT_FALSE(QNSessionFetcher::fetcherWithSessionIdentifier("com.example.other_123"));
}

}  // namespace
}  // namespace quorvane::test
