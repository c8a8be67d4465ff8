// Uploads whose chunks go on background sessions: the description each chunk's session
// identifier carries, the rebuilding of an upload from it, and an upload whose process ends in
// the middle (a child killed while a chunk is on the wire) that the next process completes,
// removing the chunk file the first one left.
//
// The interrupted upload runs in a fresh process: its child is forked before any thread starts,
// and the next start reads the persisted background sessions from the user defaults file the
// child wrote, which a process reads once.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "fetcher/QNSessionUploadFetcher.h"
#include "platform/foundation/Crypto.h"
#include "tests/fetcher/QNSessionFetcherTestSupport.h"
#include "tests/support/FakeResumableUploads.h"
#include "tests/support/FreshProcess.h"

namespace quorvane::test {
namespace {

using platform::URL;
using platform::Value;

Value description(int64_t length, int64_t offset) {
    return Value::dictionary({{"_upChunk", true},
                              {"_upFileURL", URL::fileURLWithPath("/tmp/upload.bin").absoluteString()},
                              {"_upFileLen", length},
                              {"_upLocURL", "https://127.0.0.1:1/upload/session/u1"},
                              {"_uploadMIME", "image/jpeg"},
                              {"_upChSize", int64_t(0)},
                              {"_upOffset", offset}});
}

TEST(QNSessionUploadFetcherBackgroundTest, AnUploadIsRebuiltFromItsDescriptionOnlyWhenItMakesSense) {
    auto rebuilt = QNSessionUploadFetcher::uploadFetcherForSessionIdentifierMetadata(description(1000, 400));
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ(rebuilt->fullUploadLength(), 1000);
    EXPECT_EQ(rebuilt->currentOffset(), 400);
    EXPECT_EQ(rebuilt->chunkSize(), std::numeric_limits<int64_t>::max());  // 0: only the 100 MiB cap
    EXPECT_EQ(rebuilt->uploadLocationURL()->absoluteString(), "https://127.0.0.1:1/upload/session/u1");
    EXPECT_EQ(rebuilt->uploadFileURL()->path(), "/tmp/upload.bin");
    EXPECT_TRUE(rebuilt->useBackgroundSession());
    EXPECT_TRUE(rebuilt->isRestartedUpload());
    Value metadata = rebuilt->uploadSessionIdentifierMetadata();
    EXPECT_TRUE(metadata["_upAllowsCellularAccess"].asBool());  // absent: allowed
    EXPECT_EQ(metadata["_upOffset"].asInt(), 400);

    EXPECT_FALSE(QNSessionUploadFetcher::uploadFetcherForSessionIdentifierMetadata(description(1000, 1001)));
    Value noFile = description(1000, 0);
    noFile.remove("_upFileURL");
    EXPECT_FALSE(QNSessionUploadFetcher::uploadFetcherForSessionIdentifierMetadata(noFile));
    Value noLength = description(1000, 0);
    noLength.remove("_upFileLen");
    EXPECT_FALSE(QNSessionUploadFetcher::uploadFetcherForSessionIdentifierMetadata(noLength));
}

TEST(QNSessionUploadFetcherBackgroundTest, AnUploadCutOffWithItsProcessIsCompletedByTheNextOne) {
    if (!inFreshProcess()) return;
    const std::string body = patternBody(1000000);
    // The child starts before any thread of this process does (the server's among them), and
    // trusts the test CA made before it (in the usual temporary directory). Both processes
    // share a temporary directory of their own.
    TestHTTPServer::caCertificatePEM();
    ScopedTemporaryDirectory tmp;
    auto path = tmp.path / "background-upload";
    std::ofstream(path, std::ios::binary) << body;
    int channel[2];
    ASSERT_EQ(::pipe(channel), 0);
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child == 0) {
        // The first process: its upload sends the file in chunks on background sessions.
        ::close(channel[1]);
        std::string startURL;
        char c;
        while (::read(channel[0], &c, 1) == 1 && c != '\n') startURL += c;
        auto fetcher = QNSessionUploadFetcher::uploadFetcherWithRequest(platform::URLRequest(URL::URLWithString(startURL)),
                                                                        nullptr);
        fetcher->setLocationURL(std::nullopt, "application/octet-stream", 600000, true);
        fetcher->setUploadFileURL(URL::fileURLWithPath(path));
        fetcher->beginFetchWithCompletionHandler([](const auto&, const auto&) { ::_exit(3); });
        platform::RunLoop::main()->runUntil([] { return false; }, 60);
        ::_exit(2);
    }
    ASSERT_GT(child, 0);
    ::close(channel[0]);
    TestHTTPServer server;
    FakeResumableUploads uploads(server);
    uploads.stallChunksFrom(600000);
    std::string line = uploads.startURL() + "\n";
    ASSERT_EQ(::write(channel[1], line.data(), line.size()), ssize_t(line.size()));
    ::close(channel[1]);
    bool stalled = uploads.waitForStalledChunks(1, 60);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(stalled) << ::testing::PrintToString(uploads.commands());
    ASSERT_TRUE(WIFSIGNALED(status));

    // The next start: the upload is rebuilt from the chunk's session and goes on from what the
    // server holds.
    auto rebuilt = QNSessionUploadFetcher::uploadFetchersForBackgroundSessions();
    ASSERT_EQ(rebuilt.size(), 1u);
    auto outcome = std::make_shared<FetchOutcome>();
    rebuilt[0]->setCompletionHandler([outcome](const auto& data, const auto& error) {
        outcome->calls++;
        outcome->data = data;
        outcome->error = error;
    });
    rebuilt[0]->setMinRetryInterval(0.01);
    uploads.stallChunksFrom(std::nullopt);
    ASSERT_TRUE(pumpUntil([&] { return outcome->calls > 0; }, 60));
    ASSERT_FALSE(outcome->error) << outcome->error->domain << " " << outcome->error->code;
    EXPECT_EQ(uploads.commands(), (std::vector<std::string>{"upload 0 600000", "upload, finalize 600000 400000", "query",
                                                            "upload, finalize 600000 400000"}));
    auto all = uploads.uploads();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_TRUE(all[0].finalized);
    EXPECT_EQ(platform::sha256Hex(all[0].bytes), platform::sha256Hex(body));
    EXPECT_FALSE(QNSessionFetcher::activePersistedBackgroundSessions());
    std::filesystem::remove(path);
    EXPECT_TRUE(pumpUntil([&] { return tmp.empty(); })) << ::testing::PrintToString(tmp.entries());
}

}  // namespace
}  // namespace quorvane::test
