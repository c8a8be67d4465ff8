// The resumable upload fetcher against the fake provider's upload endpoints: the four body
// sources, chunk sizes, failures answered by offset queries (and their bound), pause and resume,
// stopping before and after the upload URL, and resuming at a known upload URL. Each test has a
// temporary directory of its own, which must hold no chunk file when it ends.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

#include "fetcher/QNSessionUploadFetcher.h"
#include "platform/foundation/Crypto.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/UUID.h"
#include "tests/fetcher/QNSessionFetcherTestSupport.h"
#include "tests/support/FakeResumableUploads.h"

namespace quorvane::test {
namespace {

using platform::Bytes;
using platform::URL;
using platform::URLRequest;

class QNSessionUploadFetcherTest : public ::testing::Test {
protected:
    // The test CA's folder is made once for the process, in the usual temporary directory.
    static void SetUpTestSuite() { TestHTTPServer::caCertificatePEM(); }
    void SetUp() override { ASSERT_FALSE(tmp.path.empty()); }
    std::shared_ptr<QNSessionUploadFetcher> newUpload(int64_t chunkSize = 600000) {
        URLRequest request(URL::URLWithString(uploads.startURL()));
        request.setValue("application/octet-stream", "Content-Type");
        auto fetcher = QNSessionUploadFetcher::uploadFetcherWithRequest(request, "image/jpeg", chunkSize, nullptr);
        fetcher->setRetryEnabled(true);
        fetcher->setMinRetryInterval(0.01);
        fetcher->setMaxRetryInterval(0.2);
        return fetcher;
    }
    std::filesystem::path writeFile(const std::string& bytes) {
        auto path = platform::Paths::temporaryDirectory() / ("upload-" + platform::UUID().uuidString());
        std::ofstream(path, std::ios::binary) << bytes;
        files.push_back(path);
        return path;
    }
    void TearDown() override {
        for (const auto& f : files) std::filesystem::remove(f);
        EXPECT_TRUE(pumpUntil([&] { return tmp.empty(); })) << ::testing::PrintToString(tmp.entries());
    }
    // The upload the server finished, checked against what was sent.
    void expectArrived(const std::string& body) {
        auto all = uploads.uploads();
        ASSERT_EQ(all.size(), 1u);
        EXPECT_TRUE(all[0].finalized);
        EXPECT_EQ(all[0].bytes.size(), body.size());
        EXPECT_EQ(platform::sha256Hex(all[0].bytes), platform::sha256Hex(body));
    }

    ScopedTemporaryDirectory tmp;
    TestHTTPServer server;
    FakeResumableUploads uploads{server};
    std::vector<std::filesystem::path> files;
};

TEST_F(QNSessionUploadFetcherTest, EachSourceArrivesWholeInChunksWithItsDigest) {
    const std::string body = patternBody(1000000);
    for (const char* source : {"data", "file URL", "file handle", "provider"}) {
        SCOPED_TRACE(source);
        server.clearLog();
        uploads.~FakeResumableUploads();
        new (&uploads) FakeResumableUploads(server);
        auto fetcher = newUpload();
        std::string s = source;
        if (s == "data") {
            fetcher->setUploadData(Bytes(body.begin(), body.end()));
        } else if (s == "file URL") {
            fetcher->setUploadFileURL(URL::fileURLWithPath(writeFile(body)));
        } else if (s == "file handle") {
            fetcher->setUploadFileHandle(platform::FileHandle::forReadingAtPath(writeFile(body)));
        } else {
            fetcher->setUploadDataLength(int64_t(body.size()), [&body](int64_t offset, int64_t length, auto response) {
                response(Bytes(body.begin() + offset, body.begin() + offset + length), -1, std::nullopt);
            });
        }
        int64_t lastSent = 0, lastExpected = 0;
        fetcher->setSendProgressBlock([&](int64_t, int64_t sent, int64_t expected) {
            EXPECT_GE(sent, lastSent);
            lastSent = sent;
            lastExpected = expected;
        });
        NotificationCounter notes(fetcher);
        auto outcome = fetchToEnd(fetcher, 30);
        ASSERT_FALSE(outcome->error) << outcome->error->domain << " " << outcome->error->code;
        expectArrived(body);
        EXPECT_NE(stringOf(outcome->data).find(platform::sha256Hex(body)), std::string::npos);
        EXPECT_EQ(uploads.commands(), (std::vector<std::string>{"upload 0 600000", "upload, finalize 600000 400000"}));
        EXPECT_EQ(fetcher->statusCode(), 200);
        EXPECT_EQ(lastSent, int64_t(body.size()));
        EXPECT_EQ(lastExpected, int64_t(body.size()));
        EXPECT_FALSE(fetcher->uploadLocationURL());  // a finished upload forgets it
        auto start = server.requests("/upload/resumable");
        ASSERT_EQ(start.size(), 1u);
        EXPECT_EQ(start[0].header("X-Goog-Upload-Content-Length"), "1000000");
        EXPECT_EQ(start[0].header("X-Goog-Upload-Content-Type"), "image/jpeg");
        EXPECT_NE(start[0].header("User-Agent")->find("(QNSUF/1)"), std::string::npos);
    }
}

TEST_F(QNSessionUploadFetcherTest, ChunksFollowTheGranularityAndTheShortTailRule) {
    struct Case {
        size_t size;
        int64_t granularity;
        std::vector<std::string> commands;
    };
    for (const Case& c : {Case{602499, 0, {"upload, finalize 0 602499"}},
                          Case{602500, 0, {"upload 0 600000", "upload, finalize 600000 2500"}},
                          Case{1000000, 262144, {"upload 0 524288", "upload, finalize 524288 475712"}},
                          Case{1100000, 1048576, {"upload 0 1048576", "upload, finalize 1048576 51424"}}}) {
        SCOPED_TRACE(c.size);
        uploads.~FakeResumableUploads();
        new (&uploads) FakeResumableUploads(server);
        uploads.setGranularity(c.granularity);
        std::string body = patternBody(c.size);
        auto fetcher = newUpload();
        fetcher->setUploadData(Bytes(body.begin(), body.end()));
        auto outcome = fetchToEnd(fetcher, 30);
        ASSERT_FALSE(outcome->error);
        EXPECT_EQ(uploads.commands(), c.commands);
        expectArrived(body);
    }
}

TEST_F(QNSessionUploadFetcherTest, AFailedChunkIsFollowedByAQueryAndTheUploadGoesOn) {
    const std::string body = patternBody(1000000);
    for (bool cut : {false, true}) {
        SCOPED_TRACE(cut ? "connection cut" : "503");
        uploads.~FakeResumableUploads();
        new (&uploads) FakeResumableUploads(server);
        if (cut) uploads.cutNextChunks(1);
        else uploads.failNextChunks(1);
        auto fetcher = newUpload();
        fetcher->setUploadData(Bytes(body.begin(), body.end()));
        auto outcome = fetchToEnd(fetcher, 30);
        ASSERT_FALSE(outcome->error) << outcome->error->code;
        EXPECT_EQ(uploads.commands(), (std::vector<std::string>{"upload 0 600000", "query", "upload 0 600000",
                                                                "upload, finalize 600000 400000"}));
        expectArrived(body);
    }
}

TEST_F(QNSessionUploadFetcherTest, WithoutRetryOrAfterTooManyFailuresTheUploadEndsAndKeepsItsURL) {
    const std::string body = patternBody(1000000);
    for (bool retry : {false, true}) {
        SCOPED_TRACE(retry);
        uploads.~FakeResumableUploads();
        new (&uploads) FakeResumableUploads(server);
        uploads.failNextChunks(1000);
        auto fetcher = newUpload();
        fetcher->setRetryEnabled(retry);
        fetcher->setMinRetryInterval(0.005);
        fetcher->setMaxRetryInterval(10.0);
        fetcher->setUploadData(Bytes(body.begin(), body.end()));
        auto outcome = fetchToEnd(fetcher, 30);
        ASSERT_TRUE(outcome->error);
        EXPECT_EQ(outcome->error->code, 503);
        EXPECT_TRUE(fetcher->uploadLocationURL());  // for a resume later
        size_t chunks = 0;
        for (const auto& command : uploads.commands()) chunks += command.rfind("upload", 0) == 0;
        EXPECT_EQ(chunks, retry ? size_t(kQNUploadMaxFailuresInARow) + 1 : 1u);
    }
}

TEST_F(QNSessionUploadFetcherTest, AHostileServersOffsetsEndTheUploadWithinABound) {
    // A server of our own making: it answers the start, refuses chunks beyond what it "holds"
    // and answers queries with the offsets of the case.
    const std::string body = patternBody(1000000);
    const int64_t total = int64_t(body.size());
    struct Case {
        std::string name;
        int64_t received;  // what every query answers
        int64_t accepted;  // chunks at this offset are taken ("active"); others get 400
        std::optional<int64_t> code;
    };
    for (const Case& c : {Case{"more than the upload holds", total + 1000, -1, QNSessionFetcherErrorUploadOffsetInvalid},
                          Case{"a negative offset", -5, -1, QNSessionFetcherErrorUploadOffsetInvalid},
                          Case{"back to the start after each chunk", 0, 0, 400}}) {
        SCOPED_TRACE(c.name);
        auto requests = std::make_shared<std::atomic<int>>(0);
        server.on("POST", "/hostile/start", [&, requests](const TestRequest&, TestResponse& res) {
            requests->fetch_add(1);
            res.setHeader("X-Goog-Upload-Status", "active");
            res.setHeader("X-Goog-Upload-URL", server.baseURL() + "/hostile/session");
        });
        server.on("PUT", "/hostile/session", [c, requests](const TestRequest& req, TestResponse& res) {
            requests->fetch_add(1);
            res.setHeader("X-Goog-Upload-Status", "active");
            if (req.header("X-Goog-Upload-Command") == "query") {
                res.setHeader("X-Goog-Upload-Size-Received", std::to_string(c.received));
            } else if (req.header("X-Goog-Upload-Offset") != std::to_string(c.accepted)) {
                res.status = 400;
            }
        });
        URLRequest request(server.url("/hostile/start"));
        auto fetcher = QNSessionUploadFetcher::uploadFetcherWithRequest(request, "image/jpeg", 600000, nullptr);
        fetcher->setRetryEnabled(true);
        fetcher->setMinRetryInterval(0.01);
        fetcher->setMaxRetryInterval(0.05);
        fetcher->setUploadData(Bytes(body.begin(), body.end()));
        auto outcome = fetchToEnd(fetcher);
        ASSERT_TRUE(outcome->error);
        EXPECT_EQ(outcome->error->code, *c.code);
        // A start, and per failure without progress a query and two chunks at most.
        EXPECT_LE(requests->load(), 1 + 3 * (kQNUploadMaxFailuresInARow + 1)) << requests->load();
    }
}

TEST_F(QNSessionUploadFetcherTest, PausingStopsTheChunkAndResumingQueriesTheOffset) {
    const std::string body = patternBody(1000000);
    uploads.stallChunksFrom(600000);
    auto fetcher = newUpload();
    fetcher->setUploadData(Bytes(body.begin(), body.end()));
    auto outcome = beginFetch(fetcher);
    ASSERT_TRUE(pumpUntil([&] { return uploads.waitForStalledChunks(1, 0); }, 60)) << ::testing::PrintToString(uploads.commands());
    auto chunk = fetcher->chunkFetcher();
    ASSERT_TRUE(chunk);
    EXPECT_EQ(chunk->parentUploadFetcher(), fetcher);  // the chunk knows the upload it works for
    fetcher->pauseFetching();
    EXPECT_TRUE(fetcher->isPaused());
    EXPECT_FALSE(fetcher->chunkFetcher());
    uploads.stallChunksFrom(std::nullopt);
    fetcher->resumeFetching();
    ASSERT_TRUE(pumpUntil([&] { return outcome->calls > 0; }, 60));
    ASSERT_FALSE(outcome->error);
    EXPECT_EQ(uploads.commands(), (std::vector<std::string>{"upload 0 600000", "upload, finalize 600000 400000", "query",
                                                            "upload, finalize 600000 400000"}));
    expectArrived(body);
}

TEST_F(QNSessionUploadFetcherTest, AFileUploadRemovesEachChunkFileWhateverBecomesOfTheChunk) {
    // A file upload sends each chunk from a file of its own in the temporary directory.
    const std::string body = patternBody(1000000);
    const auto source = URL::fileURLWithPath(writeFile(body));
    auto chunkFiles = [&] {
        size_t n = 0;
        for (const auto& name : tmp.entries()) n += name.rfind("QNUpload_temp_", 0) == 0;
        return n;
    };
    auto stallSecondChunk = [&](const std::shared_ptr<QNSessionUploadFetcher>& fetcher) {
        uploads.stallChunksFrom(600000);
        auto outcome = beginFetch(fetcher);
        EXPECT_TRUE(pumpUntil([&] { return uploads.waitForStalledChunks(1, 0); }));
        EXPECT_EQ(chunkFiles(), 1u);
        return outcome;
    };
    // Stops the upload and waits for its cancel request's answer.
    auto stop = [&](const std::shared_ptr<QNSessionUploadFetcher>& fetcher) {
        auto cancelled = std::make_shared<bool>(false);
        fetcher->setCancellationHandler([cancelled](const auto&, const auto&, const auto&) { *cancelled = true; });
        fetcher->stopFetching();
        EXPECT_EQ(chunkFiles(), 0u);
        EXPECT_TRUE(pumpUntil([&] { return *cancelled; }));
    };
    std::atomic<int> starts = 0;
    auto token = platform::NotificationCenter::defaultCenter().addObserver(
        kQNSessionFetcherStartedNotification, nullptr, nullptr, [&](const platform::Notification&) { ++starts; });
    struct Case {
        const char* name;
        std::function<void(const std::shared_ptr<QNSessionUploadFetcher>&)> run;
    };
    const Case cases[] = {
        {"a chunk answered 503, then sent again after a query",
         [&](const auto& fetcher) {
             uploads.failNextChunks(1);
             auto outcome = fetchToEnd(fetcher, 30);
             EXPECT_FALSE(outcome->error);
             expectArrived(body);
         }},
        {"a chunk failing without retry ends the upload",
         [&](const auto& fetcher) {
             uploads.failNextChunks(1);
             fetcher->setRetryEnabled(false);
             auto outcome = fetchToEnd(fetcher, 30);
             ASSERT_TRUE(outcome->error);
             EXPECT_EQ(outcome->error->code, 503);
         }},
        {"paused during a chunk, then resumed",
         [&](const auto& fetcher) {
             auto outcome = stallSecondChunk(fetcher);
             fetcher->pauseFetching();
             EXPECT_EQ(chunkFiles(), 0u);
             uploads.stallChunksFrom(std::nullopt);
             fetcher->resumeFetching();
             ASSERT_TRUE(pumpUntil([&] { return outcome->calls > 0; }));
             EXPECT_FALSE(outcome->error);
             expectArrived(body);
         }},
        {"stopped during a chunk",
         [&](const auto& fetcher) {
             stallSecondChunk(fetcher);
             stop(fetcher);
         }},
        {"resumed twice, so that two queries each begin a chunk",
         [&](const auto& fetcher) {
             stallSecondChunk(fetcher);
             fetcher->pauseFetching();
             starts = 0;
             fetcher->resumeFetching();
             fetcher->pauseFetching();
             fetcher->resumeFetching();
             // Two queries, then a chunk from each answer.
             ASSERT_TRUE(pumpUntil([&] { return starts >= 4; })) << starts;
             EXPECT_EQ(chunkFiles(), 1u);
             stop(fetcher);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uploads.~FakeResumableUploads();
        new (&uploads) FakeResumableUploads(server);
        auto fetcher = newUpload();
        fetcher->setUploadFileURL(source);
        c.run(fetcher);
        EXPECT_TRUE(pumpUntil([&] { return chunkFiles() == 0; })) << chunkFiles();
    }
    platform::NotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(QNSessionUploadFetcherTest, StoppingBeforeTheURLCallsTheCancellationHandlerWithNothing) {
    server.hold("/upload/resumable");
    auto fetcher = newUpload();
    fetcher->setUploadData(bytesOf("some media"));
    std::vector<bool> cancelled;
    fetcher->setCancellationHandler([&](const auto& f, const auto& data, const auto& error) {
        cancelled.push_back(!f && !data && !error);
    });
    auto outcome = beginFetch(fetcher);
    ASSERT_TRUE(pumpUntil([&] { return server.waitForHeld("/upload/resumable", 1, 0); }));
    fetcher->stopFetching();
    fetcher->stopFetching();  // the handler runs once
    ASSERT_TRUE(pumpUntil([&] { return !cancelled.empty(); }));
    server.release("/upload/resumable");
    platform::RunLoop::main()->runUntil([] { return false; }, 0.05);
    EXPECT_EQ(cancelled, std::vector<bool>{true});
    EXPECT_EQ(outcome->calls, 0);
}

TEST_F(QNSessionUploadFetcherTest, StoppingAfterTheURLSendsACancelWhoseResultGoesToTheHandler) {
    uploads.stallChunksFrom(0);
    auto fetcher = newUpload();
    const std::string body = patternBody(700000);
    fetcher->setUploadData(Bytes(body.begin(), body.end()));
    std::vector<std::string> seen;
    fetcher->setCancellationHandler([&](const std::shared_ptr<QNSessionFetcher>& f, const auto&, const auto& error) {
        seen.push_back(f && !error ? *f->responseHeaders()->valueForHTTPHeaderField("X-Goog-Upload-Status") : "?");
    });
    auto outcome = beginFetch(fetcher);
    ASSERT_TRUE(pumpUntil([&] { return uploads.waitForStalledChunks(1, 0); }, 60));
    fetcher->stopFetching();
    ASSERT_TRUE(pumpUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, std::vector<std::string>{"cancelled"});
    EXPECT_TRUE(uploads.uploads()[0].cancelled);
    EXPECT_EQ(outcome->calls, 0);
}

TEST_F(QNSessionUploadFetcherTest, AResumedUploadThatTheServerHoldsWholeIsFinalisedWhereItStands) {
    // The server took every byte but never heard "finalize" (its answer to the last chunk was
    // lost, say): the resumed upload finalises at that offset rather than starting over.
    const std::string body = patternBody(300000);
    auto start = QNSessionFetcher::fetcherWithURL(URL::URLWithString(uploads.startURL()).value());
    start->setRequestValue("resumable", "X-Goog-Upload-Protocol");
    start->setRequestValue("start", "X-Goog-Upload-Command");
    start->setBodyData(Bytes());
    auto started = fetchToEnd(start);
    ASSERT_FALSE(started->error) << started->error->domain << " " << started->error->code;
    std::string location = *start->responseHeaders()->valueForHTTPHeaderField("X-Goog-Upload-URL");
    URLRequest put(URL::URLWithString(location));
    put.setHTTPMethod("PUT");
    auto chunk = QNSessionFetcher::fetcherWithRequest(put);
    chunk->setRequestValue("upload", "X-Goog-Upload-Command");
    chunk->setRequestValue("0", "X-Goog-Upload-Offset");
    chunk->setRequestValue("application/octet-stream", "Content-Type");
    chunk->setBodyData(Bytes(body.begin(), body.end()));
    ASSERT_FALSE(fetchToEnd(chunk)->error);

    auto resumed = QNSessionUploadFetcher::uploadFetcherWithLocation(URL::URLWithString(location), "image/jpeg", 100000, nullptr);
    resumed->setUploadData(Bytes(body.begin(), body.end()));
    EXPECT_TRUE(resumed->isRestartedUpload());
    auto outcome = fetchToEnd(resumed, 30);
    ASSERT_FALSE(outcome->error);
    EXPECT_EQ(uploads.commands(), (std::vector<std::string>{"upload 0 300000", "query", "finalize 300000 0"}));
    expectArrived(body);
}

TEST_F(QNSessionUploadFetcherTest, AFirstAnswerWithoutAnUploadURLFailsWith501) {
    server.on("POST", "/no-url", [](const TestRequest&, TestResponse& res) { res.body = "no place for it"; });
    URLRequest request(server.url("/no-url"));
    auto fetcher = QNSessionUploadFetcher::uploadFetcherWithRequest(request, "text/plain", 1000, nullptr);
    fetcher->setUploadData(bytesOf("x"));
    auto outcome = fetchToEnd(fetcher);
    ASSERT_TRUE(outcome->error);
    EXPECT_EQ(outcome->error->domain, QNSessionFetcherStatusDomain);
    EXPECT_EQ(outcome->error->code, 501);
    EXPECT_EQ(outcome->error->userInfo[QNSessionFetcherStatusDataUserInfoKey].asBytes(), bytesOf("no place for it"));
}

// State a caller's block holds, whose end has another thread ask the fetcher something and waits
// for the answer: dropped while the fetcher holds its lock, the answer could never come.
struct AsksTheFetcherWhenDropped {
    AsksTheFetcherWhenDropped(std::weak_ptr<QNSessionUploadFetcher> f, std::shared_ptr<std::atomic<int>> a,
                              std::shared_ptr<std::atomic<int>> s)
        : fetcher(std::move(f)), answered(std::move(a)), stuck(std::move(s)) {}
    std::weak_ptr<QNSessionUploadFetcher> fetcher;
    std::shared_ptr<std::atomic<int>> answered, stuck;
    ~AsksTheFetcherWhenDropped() {
        auto f = fetcher.lock();
        if (!f) return;
        auto asked = std::make_shared<std::promise<void>>();
        auto answer = asked->get_future();
        std::thread([f, asked] {
            f->uploadLocationURL();
            asked->set_value();
        }).detach();
        ++*(answer.wait_for(std::chrono::seconds(60)) == std::future_status::ready ? answered : stuck);
    }
};

TEST_F(QNSessionUploadFetcherTest, TheCallersBlocksAreDroppedOutsideTheFetchersLock) {
    const std::string body = patternBody(1000);
    auto fetcher = newUpload();
    auto answered = std::make_shared<std::atomic<int>>(0), stuck = std::make_shared<std::atomic<int>>(0);
    auto provided = std::make_shared<AsksTheFetcherWhenDropped>(fetcher, answered, stuck);
    auto cancelled = std::make_shared<AsksTheFetcherWhenDropped>(fetcher, answered, stuck);
    fetcher->setUploadDataLength(int64_t(body.size()), [&body, provided](int64_t offset, int64_t length, auto response) {
        response(Bytes(body.begin() + offset, body.begin() + offset + length), -1, std::nullopt);
    });
    fetcher->setCancellationHandler([cancelled](const auto&, const auto&, const auto&) {});
    provided.reset();
    cancelled.reset();
    auto outcome = fetchToEnd(fetcher, 30);
    ASSERT_FALSE(outcome->error);
    ASSERT_TRUE(pumpUntil([&] { return *answered + *stuck == 2; }, 60));
    EXPECT_EQ(*stuck, 0);
    expectArrived(body);
}

}  // namespace
}  // namespace quorvane::test
