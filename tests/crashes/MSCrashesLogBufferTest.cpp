// The crash-time log buffer: which slot a log takes, the crash-time files, and the re-sending of
// those files at the next start on a real channel group. Crash-time writes run in forked
// children, since they mark the process as crashed for good.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif
#include <thread>

#include "crashes/MSCrashesLogBuffer.h"
#include "crashes/MSCrashesUtil.h"
#include "crashes/MSErrorLogs.h"
#include "crashreporter/capture/MSCrashReporter.h"
#include "platform/foundation/KeyedArchiver.h"
#include "telemetry/MSEncrypter.h"
#include "telemetry/MSUtility.h"
#include "tests/crashreporter/CrashChild.h"
#include "tests/support/FreshProcess.h"
#include "tests/telemetry/PipelineTestSupport.h"

using namespace quorvane;
using namespace quorvane::test;
namespace fs = std::filesystem;

namespace {

constexpr const char* kDir = "crasheslogbuffer";

class MSCrashesLogBufferTest : public ::testing::Test {
protected:
    void SetUp() override {
        registerCrashesClasses();
        MSUtility::deleteItemForPathComponent(kDir);
        auto group = platform::DispatchGroup::make();
        buffer.setupLogBuffer(kDir, platform::DispatchQueue::global(), group);
        ASSERT_TRUE(group->wait(30));
    }
    void TearDown() override { MSUtility::deleteItemForPathComponent(kDir); }

    void add(int n, const std::string& id, std::optional<std::string> token = std::nullopt) {
        auto log = numberedLog(n);
        if (token) log->addTransmissionTargetToken(*token);
        buffer.bufferLog(*log, id, encrypter);
    }
    std::string idAt(int i) const { return buffer.slotAt(i)->internalId; }
    // A slot's file in this process's folder, or in another.
    fs::path file(int i, const char* extension = kMSCrashesLogBufferFileExtension, fs::path folder = {}) const {
        return (folder.empty() ? buffer.ownFolder() : folder) / (std::to_string(i) + "." + extension);
    }
    // Another process of the application (a child, with a buffer of its own) buffers logs and
    // crashes; the folder it leaves.
    fs::path crashElsewhere(const std::function<void()>& buffering) {
        const fs::path told = MSUtility::fullURLForPathComponent(std::string(kDir) + "-folder");
        auto result = runInChild([&] {
            buffering();
            writeLogBufferAtCrash();
            return platform::writeFileAtomically(told, buffer.ownFolder().string()).ok() ? 0 : 1;
        });
        EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe();
        EXPECT_FALSE(buffer.writtenAtCrash());
        std::string folder;
        platform::readFile(told, folder);
        fs::remove(told);
        EXPECT_NE(fs::path(folder), buffer.ownFolder());
        return folder;
    }
    static std::string contents(const fs::path& path) {
        std::string out;
        platform::readFile(path, out);
        return out;
    }

    MSCrashesLogBuffer& buffer = MSCrashesLogBuffer::shared();
    MSEncrypter encrypter;
};

}  // namespace

TEST_F(MSCrashesLogBufferTest, FreeSlotsFirstThenTheOldestAndCrashLogsNever) {
    for (int i = 0; i < kMSCrashesLogBufferSize; ++i) add(i, "id-" + std::to_string(i), i == 0 ? "token-a" : "");
    for (int i = 0; i < kMSCrashesLogBufferSize; ++i) ASSERT_EQ(idAt(i), "id-" + std::to_string(i));
    EXPECT_FALSE(buffer.slotAt(0)->targetToken.empty());

    // Full: the oldest (the lowest index among equal times) goes, and takes its token with it.
    add(100, "new-1");
    add(101, "new-2");
    EXPECT_EQ(idAt(0), "new-1");
    EXPECT_TRUE(buffer.slotAt(0)->targetToken.empty());
    EXPECT_EQ(idAt(1), "new-2");

    // A freed slot is used before any replacement, the lowest first; one id frees every slot.
    add(102, "id-7");  // replaces slot 2, so id-7 now stands twice
    buffer.freeLog("id-7");
    EXPECT_TRUE(buffer.slotAt(2)->buffer.empty());
    EXPECT_TRUE(buffer.slotAt(7)->buffer.empty());
    EXPECT_EQ(buffer.slotAt(7)->bufferPath, file(7).string());
    add(103, "after-free");
    EXPECT_EQ(idAt(2), "after-free");

    // Crash logs and attachments are not buffered; handled errors are.
    auto crash = std::make_shared<MSAppleErrorLog>();
    buffer.bufferLog(*crash, "crash", encrypter);
    buffer.bufferLog(*MSErrorAttachmentLog::attachmentWithText("text", "a.txt"), "attachment", encrypter);
    EXPECT_TRUE(buffer.slotAt(7)->buffer.empty());
    auto handled = std::make_shared<MSHandledErrorLog>();
    handled->errorId = "E";
    buffer.bufferLog(*handled, "handled", encrypter);
    EXPECT_EQ(idAt(7), "handled");
}

TEST_F(MSCrashesLogBufferTest, LogsWrittenAtACrashAreEnqueuedAgainAtTheNextStart) {
    const fs::path victim = MSUtility::fullURLForPathComponent(std::string(kDir) + "/victim");
    ASSERT_TRUE(platform::writeFileAtomically(victim, "untouched"));
    const fs::path gone = crashElsewhere([&] {
        add(1, "one", "target-token-1");
        add(2, "two");
        add(3, "three");
        buffer.freeLog("three");
        // A token file a crash of an earlier process left beside slot 1: not this log's token. A
        // FIFO and a link where the crash writes: neither waited on nor written through.
        (void)platform::writeFileAtomically(file(1, kMSCrashesTargetTokenFileExtension), "stale");
        ::mkfifo(file(0, kMSCrashesTargetTokenFileExtension).c_str(), 0600);
        std::error_code ec;
        fs::create_symlink(victim, file(1), ec);
    });
    EXPECT_FALSE(contents(file(0, kMSCrashesLogBufferFileExtension, gone)).empty());
    EXPECT_FALSE(contents(file(1, kMSCrashesLogBufferFileExtension, gone)).empty());
    EXPECT_TRUE(fs::exists(file(0, kMSCrashesTargetTokenFileExtension, gone)));
    EXPECT_FALSE(fs::exists(file(1, kMSCrashesTargetTokenFileExtension, gone)));
    EXPECT_EQ(contents(victim), "untouched");
    for (int i = 2; i < kMSCrashesLogBufferSize; ++i) EXPECT_EQ(fs::file_size(file(i, kMSCrashesLogBufferFileExtension, gone)), 0u) << i;

    // The next start: a damaged file is consumed without a log. The store cannot take the two
    // logs (a full disk): their files stay, and a second call while they are on their way to the
    // store does not hand them over again. This process's own folder is never taken.
    ASSERT_TRUE(platform::writeFileAtomically(file(5, kMSCrashesLogBufferFileExtension, gone), "not an archive"));
    ASSERT_TRUE(platform::writeFileAtomically(file(5, kMSCrashesTargetTokenFileExtension, gone), "orphan"));
    ASSERT_TRUE(platform::writeFileAtomically(file(9), "this process's own"));
    PipelineFixture pipeline;
    auto prepared = [&](const char* n) {
        std::lock_guard lock(pipeline.delegate->mutex);
        const auto& events = pipeline.delegate->events;
        return std::count(events.begin(), events.end(), std::string("didPrepare ") + n);
    };
    {
        DiskFull full;
        platform::DispatchSemaphore held, release;
        pipeline.group->logsQueue()->async([&] {
            held.signal();
            release.wait();
        });
        ASSERT_TRUE(held.wait(30));
        auto unit = MSCrashesLogBuffer::processLogBufferAfterCrash(*pipeline.group, encrypter, kDir);
        ASSERT_TRUE(unit);
        EXPECT_EQ(unit->configuration().groupId, kMSCrashesBufferGroupId);
        MSCrashesLogBuffer::processLogBufferAfterCrash(*pipeline.group, encrypter, kDir);
        release.signal();
        ASSERT_TRUE(pipeline.delegate->waitFor("didCompleteEnqueueing", 2));
        pipeline.group->logsQueue()->sync([] {});
    }
    EXPECT_EQ(prepared("1"), 1);
    EXPECT_EQ(prepared("2"), 1);
    EXPECT_EQ(pipeline.delegate->outcome("1"), MSEnqueueOutcome::NotStored);
    EXPECT_FALSE(contents(file(0, kMSCrashesLogBufferFileExtension, gone)).empty());
    EXPECT_FALSE(contents(file(1, kMSCrashesLogBufferFileExtension, gone)).empty());
    EXPECT_TRUE(fs::exists(file(0, kMSCrashesTargetTokenFileExtension, gone)));
    EXPECT_FALSE(fs::exists(file(5, kMSCrashesLogBufferFileExtension, gone)));
    EXPECT_FALSE(fs::exists(file(5, kMSCrashesTargetTokenFileExtension, gone)));
    EXPECT_EQ(contents(file(9)), "this process's own");

    // A later start with room again stores them once and removes the folder; after it, nothing is
    // enqueued again.
    MSCrashesLogBuffer::processLogBufferAfterCrash(*pipeline.group, encrypter, kDir);
    ASSERT_TRUE(pipeline.delegate->waitFor("didCompleteEnqueueing", 4));
    pipeline.group->logsQueue()->sync([] {});
    MSCrashesLogBuffer::processLogBufferAfterCrash(*pipeline.group, encrypter, kDir);
    EXPECT_EQ(prepared("1"), 2);
    EXPECT_EQ(prepared("2"), 2);
    EXPECT_EQ(pipeline.storage->countAllLogs(), 2u);
    EXPECT_FALSE(fs::exists(gone));

    // A buffer file that could not be read (an I/O error) is kept with its folder; a FIFO named
    // like one holds no start. Slot files of an earlier version, in the buffer folder itself, are
    // taken over too.
    const fs::path unread = MSUtility::fullURLForPathComponent(std::string(kDir) + "/4243.1");
    fs::create_directories(unread);
    ASSERT_TRUE(platform::writeFileAtomically(file(5, kMSCrashesLogBufferFileExtension, unread), "unread"));
    ASSERT_EQ(::mkfifo(file(6, kMSCrashesLogBufferFileExtension, unread).c_str(), 0600), 0);
    auto previous = MSCrashReporter::setCrashReportReadFunction([](int, void*, size_t) -> ssize_t {
        errno = EIO;
        return -1;
    });
    MSCrashesLogBuffer::processLogBufferAfterCrash(*pipeline.group, encrypter, kDir);
    MSCrashReporter::setCrashReportReadFunction(previous);
    EXPECT_EQ(contents(file(5, kMSCrashesLogBufferFileExtension, unread)), "unread");
    const fs::path root = MSUtility::fullURLForPathComponent(kDir);
    ASSERT_TRUE(platform::writeFileAtomically(file(3, kMSCrashesLogBufferFileExtension, root),
                                              platform::KeyedArchiver::archivedData(*numberedLog(3))));
    MSCrashesLogBuffer::processLogBufferAfterCrash(*pipeline.group, encrypter, kDir);
    ASSERT_TRUE(pipeline.delegate->waitFor("didCompleteEnqueueing", 5));
    pipeline.group->logsQueue()->sync([] {});
    EXPECT_EQ(prepared("3"), 1);
    EXPECT_FALSE(fs::exists(file(3, kMSCrashesLogBufferFileExtension, root)));
}

TEST_F(MSCrashesLogBufferTest, TheTokenTravelsWithItsLog) {
    crashElsewhere([&] { add(1, "one", "target-token-1"); });
    PipelineFixture pipeline;
    struct TokenProbe : MSChannelDelegate {
        std::mutex mutex;
        std::optional<std::set<std::string>> tokens;
        void didPrepareLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log, const std::string&,
                           uint32_t) override {
            std::lock_guard lock(mutex);
            tokens = log->transmissionTargetTokens();
        }
    };
    auto probe = std::make_shared<TokenProbe>();
    pipeline.group->addDelegate(probe);
    MSCrashesLogBuffer::processLogBufferAfterCrash(*pipeline.group, encrypter, kDir);
    std::lock_guard lock(probe->mutex);
    ASSERT_TRUE(probe->tokens);
    EXPECT_EQ(*probe->tokens, std::set<std::string>{"target-token-1"});
}

TEST_F(MSCrashesLogBufferTest, EmptyingTruncatesOnlyBufferFiles) {
    ASSERT_TRUE(platform::writeFileAtomically(file(3), "log"));
    ASSERT_TRUE(platform::writeFileAtomically(file(3, kMSCrashesTargetTokenFileExtension), "token"));
    MSCrashesLogBuffer::emptyLogBufferFiles(kDir);
    EXPECT_EQ(fs::file_size(file(3)), 0u);
    EXPECT_EQ(contents(file(3, kMSCrashesTargetTokenFileExtension)), "token");
}

// A crash-time write while other threads keep filling and freeing slots reads only whole
// records that stay alive (AddressSanitizer would catch a freed one). The work is counted, not
// timed: each thread makes a fixed number of changes, all of them while the writer writes the
// table again and again, so a loaded machine takes longer and checks the same. It runs in a
// process of its own rather than a forked child: the changes allocate and lock, which a child
// forked while other threads run (the queue's workers) may find locked for ever.
#if defined(__SANITIZE_ADDRESS__)
struct LeftToTheDyingProcess {  // what this thread allocates meanwhile is no leak to report
    LeftToTheDyingProcess() { __lsan_disable(); }
    ~LeftToTheDyingProcess() { __lsan_enable(); }
};
#else
struct LeftToTheDyingProcess {};
#endif

TEST_F(MSCrashesLogBufferTest, TheCrashWriterNeverSeesARecordChangeOrGoAway) {
    if (!inFreshProcess()) return;
    // The slots are set up again by this thread with the same exemption as the changing threads.
    LeftToTheDyingProcess leaks;
    auto group = platform::DispatchGroup::make();
    buffer.setupLogBuffer(kDir, platform::DispatchQueue::global(), group);
    ASSERT_TRUE(group->wait(60));
    constexpr int kThreads = 3, kChanges = 600, kLeastWrites = 50;
    std::atomic<bool> writing{false};
    std::atomic<int> changing{kThreads};
    std::vector<std::thread> churn;
    for (int t = 0; t < kThreads; ++t) {
        churn.emplace_back([&, t] {
            // Records replaced while a crash-time write runs are left to the dying process on purpose.
            LeftToTheDyingProcess leaks;
            while (!writing.load()) std::this_thread::yield();
            for (int i = 0; i < kChanges; ++i) {
                const std::string id = std::to_string(t) + "-" + std::to_string(i % 90);
                add(i, id);
                if (i % 3 == 0) buffer.freeLog(id);
            }
            --changing;
        });
    }
    int writes = 0;
    writing = true;
    while (changing.load() > 0 || writes < kLeastWrites) {
        writeLogBufferAtCrash();
        ++writes;
    }
    for (auto& t : churn) t.join();
    EXPECT_TRUE(buffer.writtenAtCrash());
}

// A folder is locked before it bears its name: a start removing abandoned folders and taking those
// of processes that are gone, all the while, takes none of the folders being made.
TEST(MSCrashesFilesTest, AFolderIsLockedBeforeItBearsItsName) {
    const fs::path root = MSUtility::fullURLForPathComponent("lockedfolders");
    fs::remove_all(root);
    fs::create_directories(root);
    std::atomic<bool> done{false};
    std::atomic<int> taken{0};
    std::thread start([&] {
        for (bool last = false; !last;) {
            last = done.load();
            MSCrashesUtil::removeAbandonedTemporaries(root);
            std::error_code ec;
            for (const auto& entry : fs::directory_iterator(root, ec)) {
                if (MSCrashesUtil::isTemporaryName(entry.path().filename().string())) continue;
                if (const int fd = MSCrashesUtil::takeOwnership(entry.path()); fd >= 0) {
                    ++taken;
                    ::close(fd);
                }
            }
        }
    });
    std::vector<int> locks;
    for (int i = 0; i < 300; ++i) {
        auto made = MSCrashesUtil::makeLockedFolder(root, "4242");
        EXPECT_TRUE(made);
        if (!made) break;
        EXPECT_EQ(made->first.filename(), "4242." + std::to_string(i + 1));
        locks.push_back(made->second);
    }
    done = true;
    start.join();
    EXPECT_EQ(taken, 0);
    std::error_code ec;
    EXPECT_EQ(std::distance(fs::directory_iterator(root, ec), fs::directory_iterator()), 300);
    for (int fd : locks) ::close(fd);
    fs::remove_all(root);
}
