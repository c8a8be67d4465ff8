// Uploads whose chunks go on background sessions: the description each chunk's session
// identifier carries, the rebuilding of an upload from it, and uploads whose process ends in the
// middle: a child killed while a chunk is on the wire, whose upload the next process completes,
// removing the chunk file the first one left; and a child that exits normally, taking its chunk
// file along.
//
// The interrupted uploads run each in a fresh process: the child is forked before any thread
// starts, and the next start reads the persisted background sessions from the user defaults file
// the child wrote, which a process reads once.

#include <fcntl.h>
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

// A first process that uploads a file in chunks of 600,000 bytes and whose second chunk the
// server holds: forked before this process starts any thread (the server's among them), it
// trusts the test CA made before it and shares this test's temporary directory. It ends when
// the test says so, by a kill or by a normal exit.
class FirstProcess {
public:
    FirstProcess(const std::filesystem::path& file, bool background) {
        int channel[2];
        if (::pipe(channel) != 0) return;
        std::fflush(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(channel[1]);
            std::string startURL;
            char c;
            while (::read(channel[0], &c, 1) == 1 && c != '\n') startURL += c;
            platform::URLRequest request(URL::URLWithString(startURL));
            auto fetcher = background ? QNSessionUploadFetcher::uploadFetcherWithRequest(request, nullptr)
                                      : QNSessionUploadFetcher::uploadFetcherWithRequest(request, "", 0, nullptr);
            fetcher->setLocationURL(std::nullopt, "application/octet-stream", 600000, true);
            fetcher->setUploadFileURL(URL::fileURLWithPath(file));
            fetcher->beginFetchWithCompletionHandler([](const auto&, const auto&) { ::_exit(3); });
            ::fcntl(channel[0], F_SETFL, O_NONBLOCK);
            bool told = platform::RunLoop::main()->runUntil([&] { return ::read(channel[0], &c, 1) == 1; }, 60);
            if (told) std::exit(0);
            ::_exit(2);
        }
        ::close(channel[0]);
        control_ = channel[1];
    }
    ~FirstProcess() {
        if (pid_ > 0) kill();
    }
    // Hands the child the start URL and waits until the server holds its second chunk.
    bool startUpload(FakeResumableUploads& uploads) {
        if (pid_ <= 0) return false;
        uploads.stallChunksFrom(600000);
        std::string line = uploads.startURL() + "\n";
        if (::write(control_, line.data(), line.size()) != ssize_t(line.size())) return false;
        return uploads.waitForStalledChunks(1, 60);
    }
    int kill() {
        ::kill(pid_, SIGKILL);
        return reap();
    }
    int exit() {
        ::write(control_, "x", 1);
        return reap();
    }

private:
    int reap() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        ::close(control_);
        pid_ = -1;
        return status;
    }
    pid_t pid_ = -1;
    int control_ = -1;
};

// The test's temporary directory, its chunk files and the file to upload.
struct UploadFolder {
    ScopedTemporaryDirectory tmp;
    std::filesystem::path file = tmp.path / "upload-source";
    std::string body = patternBody(1000000);
    UploadFolder() { std::ofstream(file, std::ios::binary) << body; }
    size_t chunkFiles() const {
        size_t n = 0;
        for (const auto& name : tmp.entries()) n += name.rfind("QNUpload_temp_", 0) == 0;
        return n;
    }
};

TEST(QNSessionUploadFetcherBackgroundTest, AnUploadCutOffWithItsProcessIsCompletedByTheNextOne) {
    if (!inFreshProcess()) return;
    TestHTTPServer::caCertificatePEM();
    UploadFolder folder;
    FirstProcess first(folder.file, true);
    TestHTTPServer server;
    FakeResumableUploads uploads(server);
    bool stalled = first.startUpload(uploads);
    int status = first.kill();
    ASSERT_TRUE(stalled) << ::testing::PrintToString(uploads.commands());
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(folder.chunkFiles(), 1u);

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
    EXPECT_EQ(platform::sha256Hex(all[0].bytes), platform::sha256Hex(folder.body));
    EXPECT_FALSE(QNSessionFetcher::activePersistedBackgroundSessions());
    EXPECT_TRUE(pumpUntil([&] { return folder.chunkFiles() == 0; })) << ::testing::PrintToString(folder.tmp.entries());
}

TEST(QNSessionUploadFetcherBackgroundTest, AProcessThatExitsInTheMiddleOfAnUploadTakesItsChunkFileAlong) {
    if (!inFreshProcess()) return;
    TestHTTPServer::caCertificatePEM();
    UploadFolder folder;
    FirstProcess first(folder.file, false);
    TestHTTPServer server;
    FakeResumableUploads uploads(server);
    ASSERT_TRUE(first.startUpload(uploads)) << ::testing::PrintToString(uploads.commands());
    int status = first.exit();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(folder.chunkFiles(), 0u) << ::testing::PrintToString(folder.tmp.entries());
}

}  // namespace
}  // namespace quorvane::test
