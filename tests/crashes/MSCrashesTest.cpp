// The crash-reporting service in this process, over the real pipeline and the fake ingestion,
// with crash reports written by crashing children.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <set>

#include "crashes/MSCrashesLogBuffer.h"
#include "crashes/MSErrorLogFormatter.h"
#include "crashreporter/capture/QVCrashAsync.h"
#include "crashreporter/report/MSCrashReport.h"
#include "platform/foundation/Base64.h"
#include "platform/runloop/MemoryPressureSource.h"
#include "tests/crashes/CrashesServiceSupport.h"
#include "tests/support/FreshProcess.h"

using namespace quorvane;
using namespace quorvane::test;
namespace fs = std::filesystem;

namespace {

// A delegate that records what it hears as "<event> <incident id>", and on which thread.
struct Recorder {
    std::mutex mutex;
    std::vector<std::string> events;
    bool offMain = false;
    std::shared_ptr<MSCrashesDelegate> delegate = std::make_shared<MSCrashesDelegate>();

    Recorder() {
        delegate->willSendErrorReport = [this](MSCrashes&, const MSCrashesDelegate::Report& r) { add("will-send", r); };
        delegate->didSucceedSendingErrorReport = [this](MSCrashes&, const MSCrashesDelegate::Report& r) {
            add("did-send", r);
        };
        delegate->didFailSendingErrorReport = [this](MSCrashes&, const MSCrashesDelegate::Report& r,
                                                     const platform::Error& e) {
            add("did-fail " + std::to_string(e.code), r);
        };
    }
    void add(const std::string& what, const MSCrashesDelegate::Report& report) {
        std::lock_guard lock(mutex);
        offMain = offMain || !platform::RunLoop::isMainThread();
        events.push_back(what + " " + report->incidentIdentifier().value_or("?"));
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return events.size();
    }
};

// How many lines of the log hold the words.
long linesWith(const SDKLogCapture& log, const std::string& words) {
    const auto texts = log.texts();
    return std::count_if(texts.begin(), texts.end(),
                         [&](const std::string& t) { return t.find(words) != std::string::npos; });
}

std::vector<std::string> namesIn(const std::string& component) {
    std::vector<std::string> out;
    for (const auto& p : MSUtility::contentsOfDirectory(component).value_or(std::vector<fs::path>{}))
        out.push_back(p.filename().string());
    return out;
}

}  // namespace

TEST_F(CrashesServiceTest, IdentityFoldersAndAttachmentRules) {
    auto service = MSCrashes::sharedInstance();
    EXPECT_EQ(MSCrashes::serviceName(), "Crashes");
    EXPECT_EQ(MSCrashes::logTag(), "RevAzezarCrashes");
    EXPECT_EQ(service->groupId(), "Crashes");
    EXPECT_EQ(service->initializationPriority(), 999);
    EXPECT_EQ(service->isEnabledKey(), "kMSCrashesIsEnabledKey");
    auto config = *service->channelUnitConfiguration();
    EXPECT_EQ(std::tie(config.groupId, config.priority, config.flushInterval, config.batchSizeLimit,
                       config.pendingBatchesLimit),
              std::make_tuple(std::string("Crashes"), 2, 1.0, size_t(1), size_t(3)));
    EXPECT_EQ(service->analyzerInProgressFilePathComponent(), "crashes/MSCrashes.analyzer");
    for (const auto& dir : {MSCrashesUtil::crashesDir(), MSCrashesUtil::logBufferDir(), MSCrashesUtil::wrapperExceptionsDir()})
        EXPECT_TRUE(fs::is_directory(MSUtility::fullURLForPathComponent(dir))) << dir;
    EXPECT_FALSE(service->canBeUsed());  // not started
    EXPECT_TRUE(service->unprocessedCrashReports().empty());  // nothing scheduled: no wait
    EXPECT_FALSE(service->trackModelException(std::make_shared<MSException>()));

    struct Case {
        std::optional<std::string> errorId, attachmentId, contentType;
        std::optional<platform::Bytes> data;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"E", "A", "text/plain", platform::Bytes{1}, true},   {std::nullopt, "A", "text/plain", platform::Bytes{1}, false},
        {"E", "", "text/plain", platform::Bytes{1}, false},    {"E", "A", std::nullopt, platform::Bytes{1}, false},
        {"E", "A", "text/plain", platform::Bytes{}, false},    {"E", "A", "text/plain", std::nullopt, false},
    };
    for (const auto& c : cases) {
        MSErrorAttachmentLog a;
        a.errorId = c.errorId;
        a.attachmentId = c.attachmentId;
        a.contentType = c.contentType;
        a.data = c.data;
        EXPECT_EQ(MSCrashes::validatePropertiesForAttachment(a), c.valid);
    }
}

TEST_F(CrashesServiceTest, CrashOfTheLastRunIsSentOnceWithItsAttachmentAndTheIdsOfItsTime) {
    {
        ClockShift earlier(-10);
        MSSessionContext::sharedInstance().setSessionId("session-of-the-crash");
        MSUserIdContext::sharedInstance().setUserId("user-of-the-crash");
    }
    ASSERT_NO_FATAL_FAILURE(crashInChild());
    {
        ClockShift later(+5);  // a new session, recorded after the crash's second
        MSSessionContext::sharedInstance().setSessionId("session-now");
        MSUserIdContext::sharedInstance().setUserId("user-now");
    }
    Recorder recorder;
    recorder.delegate->attachments = [](MSCrashes&, const MSCrashesDelegate::Report& report) {
        return std::vector{MSErrorAttachmentLog::attachmentWithText("log of " + *report->incidentIdentifier(),
                                                                    std::string("log.txt"))};
    };
    ASSERT_NO_FATAL_FAILURE(start([&] { MSCrashes::setDelegate(recorder.delegate); }));
    EXPECT_TRUE(MSCrashes::hasCrashedInLastSession());
    auto report = MSCrashes::lastSessionCrashReport();
    ASSERT_TRUE(report && report->incidentIdentifier());
    EXPECT_EQ(report->signal(), "SIGSEGV");
    EXPECT_FALSE(applicationEngine()->hasPendingCrashReport());
    EXPECT_EQ(crashes->crashFiles().size(), 1u);

    ASSERT_TRUE(pumpUntil([&] { return server.acceptedLogs().size() >= 2 && recorder.count() >= 2; }));
    auto crashLogs = acceptedOfType("appleError");
    ASSERT_EQ(crashLogs.size(), 1u);
    const auto& log = crashLogs[0];
    EXPECT_EQ(log["id"].asString(), *report->incidentIdentifier());
    EXPECT_EQ(log["sid"].asString(), "session-of-the-crash");
    EXPECT_EQ(log["userId"].asString(), "user-of-the-crash");
    EXPECT_EQ(log["osExceptionType"].asString(), "SIGSEGV");
    EXPECT_TRUE(log["fatal"].asBool());
    EXPECT_FALSE(log["threads"].asArray().empty());
    EXPECT_FALSE(log["binaries"].asArray().empty());
    auto attachments = acceptedOfType("errorAttachment");
    ASSERT_EQ(attachments.size(), 1u);
    EXPECT_EQ(attachments[0]["errorId"].asString(), *report->incidentIdentifier());
    EXPECT_EQ(attachments[0]["fileName"].asString(), "log.txt");
    {
        std::lock_guard lock(recorder.mutex);
        EXPECT_EQ(recorder.events, (std::vector<std::string>{"will-send " + *report->incidentIdentifier(),
                                                             "did-send " + *report->incidentIdentifier()}));
        EXPECT_FALSE(recorder.offMain);
    }
    EXPECT_TRUE(pumpUntil([] { return namesIn("crashes").empty(); }));
    EXPECT_TRUE(crashes->crashFiles().empty());

    // The next run has nothing to send.
    ASSERT_NO_FATAL_FAILURE(restart());
    EXPECT_FALSE(MSCrashes::hasCrashedInLastSession());
    EXPECT_FALSE(MSCrashes::lastSessionCrashReport());
    EXPECT_TRUE(crashes->unprocessedCrashReports().empty());
    EXPECT_EQ(acceptedOfType("appleError").size(), 1u);
}

TEST_F(CrashesServiceTest, ReportFileStaysUntilItsLogIsInTheStoreAtThisStartOrALaterOne) {
    // This run's crash-time buffer is written in this process below.
    if (!inFreshProcess()) return;
    ASSERT_NO_FATAL_FAILURE(crashInChild());
    // Hold the logs queue, so that the hand-over and the store are apart.
    platform::DispatchSemaphore held, release;
    struct Watch : MSChannelDelegate {
        std::atomic<bool> crashHandedOver{false}, storeTried{false};
        std::atomic<int> attachments{0};
        void prepareLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log) override {
            if (log->type == "appleError") crashHandedOver = true;
            if (log->type == "errorAttachment") ++attachments;
        }
        void didCompleteEnqueueingLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log, const std::string&,
                                      MSEnqueueOutcome outcome) override {
            if (log->type == "errorAttachment") {
                EXPECT_EQ(outcome, MSEnqueueOutcome::NotStored);
                storeTried = true;
            }
        }
    };
    auto watch = std::make_shared<Watch>();
    auto delegate = std::make_shared<MSCrashesDelegate>();
    delegate->attachments = [](MSCrashes&, const MSCrashesDelegate::Report&) {
        return std::vector{MSErrorAttachmentLog::attachmentWithText("sync log", std::string("sync.log"))};
    };
    auto withDelegate = [&] { MSCrashes::setDelegate(delegate); };
    ASSERT_NO_FATAL_FAILURE(start(withDelegate));
    auto group = MSRevAzezar::sharedInstance().channelGroup();
    group->addDelegate(watch);
    group->logsQueue()->async([&] {
        held.signal();
        release.wait();
    });
    ASSERT_TRUE(held.wait(30));
    // The attachment goes to the store first; the report stays, marked as on its way.
    ASSERT_TRUE(pumpUntil([&] { return watch->attachments.load() == 1; }));
    const auto before = namesIn("crashes");
    ASSERT_EQ(before.size(), 1u) << "deleted before its logs were stored";
    EXPECT_TRUE(MSCrashesUtil::isTemporaryName(before[0]));
    ASSERT_TRUE(crashes->trackModelException(std::make_shared<MSException>()));
    {
        // The log store cannot take the logs (a full disk): the report stays, under its name.
        DiskFull full;
        release.signal();
        ASSERT_TRUE(pumpUntil([&] { return watch->storeTried.load(); }));
        group->logsQueue()->sync([] {});
    }
    const auto after = namesIn("crashes");
    ASSERT_EQ(after.size(), 1u) << "deleted although its attachment was not stored";
    EXPECT_FALSE(MSCrashesUtil::isTemporaryName(after[0]));
    EXPECT_FALSE(watch->crashHandedOver) << "the crash went without its attachment";
    // This run crashes later: the handled error, still not stored, is written at the crash.
    writeLogBufferAtCrash();
    // The next start stores the logs, lets the file go and sends each once. It is another process:
    // this one's buffer folder is left as one that is gone leaves it.
    const fs::path buffer = MSCrashesLogBuffer::shared().ownFolder();
    fs::rename(buffer, buffer.parent_path() / "gone.1");
    ASSERT_NO_FATAL_FAILURE(restart(withDelegate));
    EXPECT_TRUE(pumpUntil([] { return namesIn("crashes").empty(); }));
    EXPECT_TRUE(server.waitForAcceptedLogCount(3, 60));
    EXPECT_EQ(acceptedOfType("appleError").size(), 1u);
    EXPECT_EQ(acceptedOfType("errorAttachment").size(), 1u);
    EXPECT_EQ(acceptedOfType("handledError").size(), 1u);
}

TEST_F(CrashesServiceTest, ReportsTakenOverInTheSameSecondKeepTheirOwnFiles) {
    ASSERT_NO_FATAL_FAILURE(start());
    ClockShift fixed(0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_NO_FATAL_FAILURE(crashInChild());
        crashes->handleLatestCrashReport();
        EXPECT_FALSE(applicationEngine()->hasPendingCrashReport());
    }
    EXPECT_EQ(crashes->persistedCrashReports().size(), 3u);
    auto names = namesIn("crashes");
    EXPECT_EQ(names.size(), 3u);
    crashes->deleteAllFromCrashesDirectory();
}

TEST_F(CrashesServiceTest, UnfinishedTakeOverIsPurgedAndOnlyRealReportFilesAreListed) {
    ASSERT_NO_FATAL_FAILURE(start());
    // A start, gone now, took a report over and left its marker (or an earlier version its plain
    // one): reading that report may be what ended it, so it goes unread. A report nobody had read
    // yet is taken over. The marker a live start holds stays.
    const fs::path folder = MSUtility::fullURLForPathComponent(crashes->crashesPathComponent());
    const int live = qvcrash_async_open_locked((folder / "MSCrashes.LIVE.analyzer").c_str(), true);
    ASSERT_GE(live, 0);
    for (const char* marker : {"MSCrashes.analyzer", "MSCrashes.ENDED.analyzer"}) {
        SCOPED_TRACE(marker);
        ASSERT_NO_FATAL_FAILURE(crashInChild());
        const std::string broken =
            applicationEngine()->crashReportPath() + "." + std::to_string(deadProcessId()) + ".1.taking";
        fs::rename(applicationEngine()->pendingCrashReports().at(0).path, broken);
        ASSERT_NO_FATAL_FAILURE(crashInChild());
        std::ofstream(folder / marker).flush();
        {
            SDKLogCapture log(MSLogLevel::Error);
            crashes->handleLatestCrashReport();
            EXPECT_EQ(log.texts(), std::vector<std::string>{"Error on loading the crash report, it will be purged."});
        }
        EXPECT_FALSE(applicationEngine()->hasPendingCrashReport());
        EXPECT_FALSE(fs::exists(broken));
        EXPECT_TRUE(crashes->getLastSessionCrashReport());
        EXPECT_EQ(crashes->persistedCrashReports().size(), 1u);
        EXPECT_EQ(namesIn("crashes").size(), 2u);  // the report and the live start's marker
        EXPECT_TRUE(fs::exists(folder / "MSCrashes.LIVE.analyzer"));
        for (const auto& report : crashes->persistedCrashReports()) fs::remove(report);
    }
    // With no report pending, the next start still removes an ended start's marker, never a
    // live one's.
    std::ofstream(folder / "MSCrashes.ENDED.analyzer").flush();
    ASSERT_FALSE(applicationEngine()->hasPendingCrashReport());
    ASSERT_NO_FATAL_FAILURE(restart());
    EXPECT_EQ(namesIn("crashes"), std::vector<std::string>{"MSCrashes.LIVE.analyzer"});
    ::close(live);
    MSUtility::deleteItemForPathComponent("crashes");

    for (const char* name : {"786297600", "786297601.plist", "a.DS_Store", "b.data", "c.meta", "d.desc", "e.analyzer"})
        MSUtility::createFileAtPathComponent(std::string("crashes/") + name, platform::Bytes{1, 2}, false, true);
    MSUtility::createFileAtPathComponent(std::string("crashes/786297602"), platform::Bytes{}, false, true);
    MSUtility::createDirectoryForPathComponent("crashes/786297603");
    auto files = crashes->persistedCrashReports();
    std::sort(files.begin(), files.end());
    ASSERT_EQ(files.size(), 2u);  // the empty one is listed, to be let go
    EXPECT_EQ(files[0].filename(), "786297600");
    EXPECT_EQ(files[1].filename(), "786297602");

    MSUtility::deleteItemForPathComponent("crashes");
    SDKLogCapture log(MSLogLevel::Error);
    EXPECT_TRUE(crashes->persistedCrashReports().empty());
    EXPECT_EQ(log.texts(), std::vector<std::string>{"No persisted crashes found."});
}

TEST_F(CrashesServiceTest, UnreadableReportsGoAtTheStartThatFindsThemAndOneBeingWrittenStays) {
    ASSERT_NO_FATAL_FAILURE(crashInChild());
    auto whole = applicationEngine()->loadPendingCrashReportData();
    ASSERT_TRUE(whole);
    applicationEngine()->purgePendingCrashReport();
    const platform::Bytes cut(whole->begin(), whole->begin() + whole->size() / 2);
    const std::string junk = "not a crash report at all";
    const std::vector<std::pair<std::string, platform::Bytes>> files = {
        {"786297610", cut},
        {"786297611", {}},
        {"786297612", platform::Bytes(junk.begin(), junk.end())},
        {"786297613", *whole},
        // Copies on their way into place (of this version or an earlier one): those whose writer
        // is gone go, whatever their names; one its writer still holds stays.
        {".786297614.Ab12Cd", cut},
        {".786297615." + std::to_string(deadProcessId()) + ".1.saving", *whole},
        {"..786297615." + std::to_string(deadProcessId()) + ".1.saving.Xy12Ab", *whole},
        {".786297616." + std::to_string(::getppid()) + ".1", *whole},
    };
    for (const auto& [name, bytes] : files)
        ASSERT_TRUE(MSUtility::createFileAtPathComponent("crashes/" + name, bytes, false, true));
    const std::string held = ".786297616." + std::to_string(::getppid()) + ".1";
    const int writer = qvcrash_async_open_locked(MSUtility::fullURLForPathComponent("crashes/" + held).c_str(), false);
    ASSERT_GE(writer, 0);

    SDKLogCapture log(MSLogLevel::Warning);
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(pumpUntil([] { return namesIn("crashes").size() == 1; }));
    EXPECT_EQ(namesIn("crashes"), std::vector<std::string>{held});
    ::close(writer);
    ASSERT_TRUE(server.waitForAcceptedLogCount(1, 60));
    EXPECT_EQ(acceptedOfType("appleError").size(), 1u);
    EXPECT_EQ(linesWith(log, "couldn't parse"), 3) << ::testing::PrintToString(log.texts());

    // The next start neither counts nor mentions them.
    ASSERT_NO_FATAL_FAILURE(restart());
    EXPECT_TRUE(crashes->crashFiles().empty());
    crashes->unprocessedCrashReports();
    EXPECT_EQ(linesWith(log, "couldn't parse"), 3);
}

TEST_F(CrashesServiceTest, ReportsNotReadWholeOrOfALaterFormatAreKeptAndAFifoHoldsNoStart) {
    // A FIFO where the report would go: the crash's report takes a name of its own.
    const std::string fifo = applicationEngine()->crashReportPath();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_NO_FATAL_FAILURE(crashInChild());
    auto stored = applicationEngine()->loadPendingCrashReportData();
    ASSERT_TRUE(stored);
    applicationEngine()->purgePendingCrashReport();
    ASSERT_NO_FATAL_FAILURE(crashInChild());
    platform::Bytes later = *stored;
    later[7] = 2;  // the format version
    ASSERT_TRUE(MSUtility::createFileAtPathComponent("crashes/786297630", *stored, false, true));
    ASSERT_TRUE(MSUtility::createFileAtPathComponent("crashes/786297631", later, false, true));
    std::ofstream(fifo + ".1.1", std::ios::binary).write(reinterpret_cast<const char*>(later.data()), later.size());

    // Every read fails, as on a disk or network file system in trouble: nothing is lost.
    auto previous = MSCrashReporter::setCrashReportReadFunction([](int, void*, size_t) -> ssize_t {
        errno = EIO;
        return -1;
    });
    {
        SDKLogCapture log(MSLogLevel::Warning);
        ASSERT_NO_FATAL_FAILURE(start());
        crashes->unprocessedCrashReports();
        EXPECT_EQ(linesWith(log, "kept for a later start"), 4) << ::testing::PrintToString(log.texts());
    }
    MSCrashReporter::setCrashReportReadFunction(previous);
    EXPECT_EQ(applicationEngine()->pendingCrashReports().size(), 2u);
    EXPECT_EQ(namesIn("crashes"), (std::vector<std::string>{"786297630", "786297631"}));

    // Read whole at the next start, both crashes are sent; the later format waits for its version.
    ASSERT_NO_FATAL_FAILURE(restart());
    ASSERT_TRUE(server.waitForAcceptedLogCount(2, 60));
    EXPECT_TRUE(pumpUntil([] { return namesIn("crashes").size() == 2; }));
    EXPECT_FALSE(applicationEngine()->hasPendingCrashReport());
    crashes->unprocessedCrashReports();
    for (const auto& name : namesIn("crashes")) {
        const auto bytes = MSCrashReporter::readCrashReportFile(MSUtility::fullURLForPathComponent("crashes/" + name));
        EXPECT_TRUE(bytes && MSCrashReport::isOfNewerFormat(*bytes)) << name;
    }
    EXPECT_EQ(acceptedOfType("appleError").size(), 2u);
    struct stat st {};
    EXPECT_TRUE(::lstat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    ::unlink(fifo.c_str());
}

TEST_F(CrashesServiceTest, CrashesAtOnceKeepReportsOfTheirOwnAndOneStartSendsThemAll) {
    std::multiset<int64_t> crashed;
    for (int run = 0; run < 5; ++run) {
        SCOPED_TRACE(run);
        const auto pids = crashTogether(3);
        ASSERT_EQ(pids.size(), 3u);
        crashed.insert(pids.begin(), pids.end());
        ASSERT_NO_FATAL_FAILURE(restart());
        ASSERT_TRUE(server.waitForAcceptedLogCount(crashed.size(), 60));
    }

    // A crash's report put into place while a start reads another is left for the next start.
    static std::atomic<bool> land;
    land = true;
    ASSERT_NO_FATAL_FAILURE(crashInChild());
    fs::rename(applicationEngine()->pendingCrashReports().at(0).path, applicationEngine()->crashReportPath() + ".landing");
    ASSERT_NO_FATAL_FAILURE(crashInChild());
    auto previous = MSCrashReporter::setCrashReportReadFunction([](int fd, void* buffer, size_t count) {
        if (land.exchange(false))
            fs::rename(applicationEngine()->crashReportPath() + ".landing", applicationEngine()->crashReportPath());
        return ::read(fd, buffer, count);
    });
    ASSERT_NO_FATAL_FAILURE(restart());
    MSCrashReporter::setCrashReportReadFunction(previous);
    EXPECT_FALSE(land);
    EXPECT_EQ(applicationEngine()->pendingCrashReports().size(), 1u);
    ASSERT_NO_FATAL_FAILURE(restart());
    EXPECT_TRUE(server.waitForAcceptedLogCount(crashed.size() + 2, 60));
    EXPECT_FALSE(applicationEngine()->hasPendingCrashReport());

    std::multiset<int64_t> sent;
    for (const auto& log : acceptedOfType("appleError")) sent.insert(log["processId"].asInt());
    EXPECT_EQ(sent.size(), crashed.size() + 2);
    for (int64_t pid : crashed) EXPECT_EQ(sent.count(pid), 1u) << pid;
}

TEST_F(CrashesServiceTest, UserConfirmationDecidesAndAlwaysIsRemembered) {
    std::atomic<size_t> asked{0};
    auto withHandler = [&] {
        MSCrashes::setUserConfirmationHandler([&](const std::vector<std::shared_ptr<MSErrorReport>>& reports) {
            EXPECT_TRUE(platform::RunLoop::isMainThread());
            EXPECT_EQ(reports.size(), 1u);
            ++asked;
            return true;
        });
    };
    struct Case {
        MSUserConfirmation answer;
        size_t sent;
    };
    size_t expectedSent = 0;
    for (auto c : {Case{MSUserConfirmationDontSend, 0}, Case{MSUserConfirmationSend, 1}, Case{MSUserConfirmationAlways, 1}}) {
        SCOPED_TRACE(c.answer);
        ASSERT_NO_FATAL_FAILURE(crashInChild());
        const size_t askedBefore = asked;
        ASSERT_NO_FATAL_FAILURE(restart(withHandler));
        ASSERT_TRUE(pumpUntil([&] { return asked > askedBefore; }));
        EXPECT_EQ(crashes->unprocessedCrashReports().size(), 1u);
        EXPECT_EQ(namesIn("crashes").size(), 1u);  // nothing happens before the answer
        MSCrashes::notifyWithUserConfirmation(c.answer);
        expectedSent += c.sent;
        EXPECT_TRUE(pumpUntil([&] { return namesIn("crashes").empty(); }));
        EXPECT_TRUE(server.waitForAcceptedLogCount(expectedSent, 60));
        EXPECT_TRUE(crashes->unprocessedCrashReports().empty());
    }
    EXPECT_EQ(acceptedOfType("appleError").size(), 2u);
    EXPECT_TRUE(crashes->shouldAlwaysSend());

    // Remembered: the next crash goes without asking.
    ASSERT_NO_FATAL_FAILURE(crashInChild());
    const size_t askedBefore = asked;
    ASSERT_NO_FATAL_FAILURE(restart(withHandler));
    EXPECT_TRUE(server.waitForAcceptedLogCount(3, 60));
    EXPECT_EQ(asked, askedBefore);
}

TEST_F(CrashesServiceTest, DelegateRefusesOrHearsTheFailure) {
    // A refused report is deleted unsent.
    Recorder recorder;
    recorder.delegate->shouldProcessErrorReport = [](MSCrashes&, const MSCrashesDelegate::Report&) { return false; };
    auto withDelegate = [&] { MSCrashes::setDelegate(recorder.delegate); };
    ASSERT_NO_FATAL_FAILURE(crashInChild());
    ASSERT_NO_FATAL_FAILURE(start(withDelegate));
    EXPECT_TRUE(crashes->unprocessedCrashReports().empty());
    EXPECT_TRUE(namesIn("crashes").empty());

    // A report the ingestion refuses: will-send, then did-fail with the status.
    recorder.delegate->shouldProcessErrorReport = nullptr;
    server.script({{400}});
    ASSERT_NO_FATAL_FAILURE(crashInChild());
    ASSERT_NO_FATAL_FAILURE(restart(withDelegate));
    ASSERT_TRUE(pumpUntil([&] { return recorder.count() >= 2; }));
    auto id = *MSCrashes::lastSessionCrashReport()->incidentIdentifier();
    std::lock_guard lock(recorder.mutex);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"will-send " + id, "did-fail 400 " + id}));
}

TEST_F(CrashesServiceTest, AttachmentsAreCheckedAndCounted) {
    struct Count : MSChannelDelegate {
        std::atomic<size_t> attachments{0};
        void prepareLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log) override {
            attachments += log->type == "errorAttachment";
        }
    };
    auto count = std::make_shared<Count>();
    ASSERT_NO_FATAL_FAILURE(start());
    MSRevAzezar::sharedInstance().channelGroup()->addDelegate(count);
    auto sized = [](size_t n) {
        platform::Bytes data(n);
        for (size_t i = 0; i < n; ++i) data[i] = uint8_t(i * 131 + (i >> 16));
        return MSErrorAttachmentLog::attachmentWithBinary(std::move(data), std::string("f" + std::to_string(n)),
                                                          std::string("application/octet-stream"));
    };
    auto noType = sized(3);
    noType->contentType.reset();
    struct Case {
        std::vector<std::shared_ptr<MSErrorAttachmentLog>> attachments;
        std::optional<std::string> incident;
        std::vector<std::string> messages;
        size_t enqueued;
    };
    const std::vector<Case> cases = {
        {{sized(7340032), sized(7340033)},
         "I1",
         {"Discarding attachment with size above 7340032 bytes: size=7340033, fileName=f7340033."},
         1},
        {{sized(1), sized(2), sized(3)},
         "I2",
         {"A limit of 2 attachments per error report / exception might be enforced by server."},
         3},
        {{sized(1), noType, sized(2)}, std::nullopt,
         std::vector<std::string>(3, "Not all required fields are present in MSErrorAttachmentLog."), 0},
    };
    for (const auto& c : cases) {
        const size_t before = count->attachments;
        SDKLogCapture log(MSLogLevel::Warning);
        crashes->sendErrorAttachments(c.attachments, c.incident);
        // Crash reporting's own messages: the store of an earlier test's SDK may still speak.
        std::vector<std::string> said;
        {
            std::lock_guard lock(*log.mutex);
            for (const auto& line : *log.lines)
                if (line.tag == MSCrashes::kMSLogTag) said.push_back(line.text);
        }
        EXPECT_EQ(said, c.messages);
        EXPECT_EQ(count->attachments - before, c.enqueued);
        for (const auto& a : c.attachments) EXPECT_EQ(a->errorId, c.incident);
    }
    // The largest allowed attachment is stored and arrives whole.
    ASSERT_TRUE(server.waitForAcceptedLogCount(4, 120));
    const auto arrived = acceptedOfType("errorAttachment");
    const auto largest = std::find_if(arrived.begin(), arrived.end(), [](const platform::Value& a) {
        return a["fileName"].asString() == "f7340032";
    });
    ASSERT_NE(largest, arrived.end());
    EXPECT_EQ((*largest)["errorId"].asString(), "I1");
    EXPECT_EQ(platform::base64Decode((*largest)["data"].asString()), cases[0].attachments[0]->data);
    EXPECT_EQ(std::count_if(arrived.begin(), arrived.end(),
                            [](const platform::Value& a) { return a["errorId"].asString() == "I2"; }),
              3);
}

TEST_F(CrashesServiceTest, HandledErrorWithPropertiesAndAttachmentArrives) {
    ASSERT_NO_FATAL_FAILURE(start());
    MSUserIdContext::sharedInstance().setUserId("alice");
    auto exception = std::make_shared<MSException>();
    exception->type = "std::runtime_error";
    exception->message = "sync failed";
    auto id = crashes->trackModelException(exception, std::map<std::string, std::string>{{"screen", "groups"}},
                                           {MSErrorAttachmentLog::attachmentWithText("details", std::string("a.txt"))});
    ASSERT_TRUE(id);
    auto second = crashes->trackModelException(exception, std::map<std::string, std::string>{});
    ASSERT_TRUE(second);
    EXPECT_NE(*id, *second);
    ASSERT_TRUE(server.waitForAcceptedLogCount(3, 60));
    auto handled = acceptedOfType("handledError");
    ASSERT_EQ(handled.size(), 2u);
    const auto& first = handled[0]["id"].asString() == *id ? handled[0] : handled[1];
    const auto& other = handled[0]["id"].asString() == *id ? handled[1] : handled[0];
    EXPECT_EQ(first["properties"]["screen"].asString(), "groups");
    EXPECT_EQ(first["userId"].asString(), "alice");
    EXPECT_EQ(first["exception"]["message"].asString(), "sync failed");
    EXPECT_FALSE(other.find("properties"));
    EXPECT_EQ(acceptedOfType("errorAttachment").at(0)["errorId"].asString(), *id);

    auto report = crashes->buildHandledErrorReportWithErrorID(*id);
    EXPECT_EQ(report->incidentIdentifier(), *id);
    EXPECT_EQ(report->appStartTime(), crashes->appStartTime());
    EXPECT_EQ(report->appProcessIdentifier(), 0u);
    EXPECT_FALSE(report->signal());

    crashes->setEnabled(false);
    EXPECT_FALSE(crashes->trackModelException(exception));
    crashes->setEnabled(true);
}

TEST_F(CrashesServiceTest, DisablingCleansUpAndReEnablingForgetsTheCrashOfThatTime) {
    ASSERT_NO_FATAL_FAILURE(start());
    MSUtility::createFileAtPathComponent(std::string("crashes/786297600"), platform::Bytes{1}, false, true);
    crashes->didReceiveMemoryWarning();
    {
        SDKLogCapture log(MSLogLevel::Debug);
        crashes->setEnabled(false);
        auto texts = log.texts();
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts.front(), "Cleaning up all crash files.");
        EXPECT_EQ(texts.back(), "Crashes service has been disabled.");
    }
    EXPECT_FALSE(MSUtility::fileExistsForPathComponent("crashes"));
    EXPECT_FALSE(MSUserDefaults::shared().objectForKey(MSCrashes::kMSAppDidReceiveMemoryWarningKey));

    ASSERT_NO_FATAL_FAILURE(crashInChild());  // a crash while disabled
    {
        SDKLogCapture log(MSLogLevel::Debug);
        crashes->setEnabled(true);
        auto texts = log.texts();
        EXPECT_NE(std::find(texts.begin(), texts.end(), "Already configured QVCrashReporter."), texts.end());
        EXPECT_EQ(std::count(texts.begin(), texts.end(), "The application crashed in the last session."), 0);
    }
    EXPECT_FALSE(applicationEngine()->hasPendingCrashReport());
    EXPECT_FALSE(crashes->didCrashInLastSession());
}

TEST_F(CrashesServiceTest, MemoryPressureOfTheLastRunIsKnownAtTheNextStart) {
    struct Case {
        const char* pressure;
        const char* meminfo;
        std::optional<platform::MemoryPressure> level;
    };
    const std::vector<Case> cases = {
        {"", "", std::nullopt},
        {"some avg10=0.00 avg60=0.00 avg300=0.00 total=1\nfull avg10=0.00 avg60=0.00 avg300=0.00 total=0\n", "",
         platform::MemoryPressure::Normal},
        {"some avg10=12.50 avg60=1.00 avg300=0.00 total=9\nfull avg10=2.00 avg60=0.00 avg300=0.00 total=0\n", "",
         platform::MemoryPressure::Warning},
        {"some avg10=40.00 avg60=1 avg300=0 total=9\nfull avg10=15.00 avg60=0 avg300=0 total=9\n", "",
         platform::MemoryPressure::Critical},
        {"", "MemTotal:       1000000 kB\nMemFree:  10 kB\nMemAvailable:     80000 kB\n", platform::MemoryPressure::Warning},
        {"", "MemTotal:       1000000 kB\nMemAvailable:     40000 kB\n", platform::MemoryPressure::Critical},
        {"", "MemTotal:       1000000 kB\nMemAvailable:    500000 kB\n", platform::MemoryPressure::Normal},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::MemoryPressureSource::levelFrom(c.pressure, c.meminfo), c.level);
    EXPECT_TRUE(platform::MemoryPressureSource::currentLevel());

    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_FALSE(MSCrashes::hasReceivedMemoryWarningInLastSession());
    platform::MemoryPressureSource::simulate(platform::MemoryPressure::Normal);
    platform::MemoryPressureSource::simulate(platform::MemoryPressure::Warning);
    ASSERT_TRUE(pumpUntil([] { return MSUserDefaults::shared().objectForKey(MSCrashes::kMSAppDidReceiveMemoryWarningKey).has_value(); }));
    ASSERT_NO_FATAL_FAILURE(restart());
    EXPECT_TRUE(MSCrashes::hasReceivedMemoryWarningInLastSession());
    EXPECT_FALSE(MSUserDefaults::shared().objectForKey(MSCrashes::kMSAppDidReceiveMemoryWarningKey));
}

TEST(CrashesServiceHandOver, MissingUncaughtExceptionHandlerIsCheckedBeforeTheCall) {
    auto child = runInChild([] {
        platform::crash::setUncaughtExceptionHandler(nullptr);
        struct sigaction sa {};
        sa.sa_handler = SIG_DFL;
        ::sigaction(SIGABRT, &sa, nullptr);
        MSCrashes::handOverUncaughtExceptionAndAbort({"std::logic_error", "no handler", {}});
        return 0;
    });
    EXPECT_TRUE(child.signaled && child.signal == SIGABRT) << child.describe();
}
