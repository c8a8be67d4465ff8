// The crash log and error report made from decoded crash reports: built reports for the rules,
// and reports of real crashing children.
#pragma GCC optimize("no-omit-frame-pointer", "no-optimize-sibling-calls")

#include <execinfo.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "crashes/MSErrorLogFormatter.h"
#include "crashreporter/capture/MSCrashReporter.h"
#include "crashreporter/report/QVCrashReport.pb-c.h"
#include "platform/crash/UncaughtException.h"
#include "telemetry/MSLogger.h"
#include "tests/crashreporter/BuiltReport.h"
#include "tests/crashreporter/CrashChild.h"
#include "tests/support/FreshProcess.h"

using namespace quorvane;
using F = MSErrorLogFormatter;
using quorvane::test::BuiltReport;
using quorvane::test::runInChild;

namespace {

TEST(MSErrorLogFormatter, PathsLoseTheUserFolder) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/Users/u1/Apps/Tool.app/Contents/MacOS/Tool", "/Users/USER/Apps/Tool.app/Contents/MacOS/Tool"},
        {"/Applications/Users Guide.app/Contents/MacOS/x", ""},
        {"/Applications/Tool.app/Contents/MacOS/Tool", "/Applications/Tool.app/Contents/MacOS/Tool"},
        {"/home/alice/bin/tool", "/home/USER/bin/tool"},
        {"/home/alice/mnt/home/bob/lib.so", "/home/USER/mnt/home/USER/lib.so"},
        {"/home/alice", "/home/alice"},
        {"/usr/lib/x86_64-linux-gnu/libc.so.6", "/usr/lib/x86_64-linux-gnu/libc.so.6"},
        {"", ""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(F::anonymizedPathFromPath(in), out) << in;
}

TEST(MSErrorLogFormatter, ImageKindsAddressesAndCodeTypes) {
    const std::string app = "/Applications/Tool.app/Contents/MacOS/Tool";
    EXPECT_EQ(F::imageTypeForImagePath(app, app), MSImageKindApplicationBinary);
    EXPECT_EQ(F::imageTypeForImagePath("/Applications/Tool.app/Contents/Frameworks/A.framework/A", app),
              MSImageKindApplicationFramework);
    EXPECT_EQ(F::imageTypeForImagePath("/Applications/Tool.app/Contents/Frameworks/libswiftCore.dylib", app),
              MSImageKindOther);
    EXPECT_EQ(F::imageTypeForImagePath("/home/a/bin/./tool", std::string("/home/a/bin/tool")),
              MSImageKindApplicationBinary);
    EXPECT_EQ(F::imageTypeForImagePath("/usr/lib/libc.so.6", std::string("/home/a/bin/tool")), MSImageKindOther);
    EXPECT_EQ(F::imageTypeForImagePath(std::nullopt, app), MSImageKindOther);

    EXPECT_EQ(F::formatAddress(4096, F::isCodeType64bit(16777223)), "0x0000000000001000");
    EXPECT_EQ(F::formatAddress(4096, F::isCodeType64bit(7)), "0x00001000");
    EXPECT_FALSE(F::isCodeType64bit(std::nullopt));
    EXPECT_TRUE(F::isCodeType64bit(16777228));
}

TEST(MSErrorLogFormatter, ElfImagesStillNameTheProcessor) {
    // Images that carry their ELF machine (x86-64 is 62) give a valid log in Mach numbering.
    BuiltReport r;
    r.system.architecture = QVCRASH__ARCHITECTURE__PPC64;  // no table entry: only the image tells
    r.thread(0, true, {r.frame(0x401000)});
    r.image(0x400000, 0x10000, "/home/alice/bin/tool", 0, 62, 0);
    auto log = F::errorLogFromCrashReport(*r.decode());
    EXPECT_EQ(log->primaryArchitectureId, 16777223u);
    EXPECT_EQ(log->architectureVariantId, 3u);
    EXPECT_EQ(log->threads->at(0)->frames->at(0)->address(), "0x0000000000401000");
    EXPECT_TRUE(log->isValid());

    // An image of a machine without a mapping falls back to the report's architecture.
    BuiltReport other;
    other.thread(0, true, {other.frame(0x401000)});
    other.image(0x400000, 0x10000, "/opt/x", 0, 9999, 0);
    auto fallback = F::errorLogFromCrashReport(*other.decode());
    EXPECT_EQ(fallback->primaryArchitectureId, 16777223u);
    EXPECT_FALSE(fallback->architectureVariantId);
    EXPECT_TRUE(fallback->isValid());
}

TEST(MSErrorLogFormatter, MissingSectionsGiveTheDefaults) {
    BuiltReport r;
    r.report.process_info = nullptr;
    r.thread(3, false, {r.frame(0x401000)});
    r.exception.name = const_cast<char*>("std::out_of_range");
    r.exception.reason = const_cast<char*>("index 9");
    r.report.exception = &r.exception;  // without frames
    r.image(0x400000, 0x10000, "/home/alice/bin/tool");
    auto log = F::errorLogFromCrashReport(*r.decode());
    EXPECT_EQ(log->processId, 0);
    EXPECT_EQ(log->processName, "???");
    EXPECT_EQ(log->parentProcessName, "???");
    EXPECT_FALSE(log->parentProcessId);
    EXPECT_EQ(log->applicationPath, "???");
    EXPECT_EQ(log->errorThreadId, 0);
    EXPECT_TRUE(log->registers->empty());
    EXPECT_FALSE(log->threads->at(0)->exception);
    EXPECT_EQ(log->exceptionType, "std::out_of_range");
    EXPECT_EQ(log->exceptionReason, "index 9");
    EXPECT_TRUE(log->fatal);
    // A whole crash second gains 0.999 s; the launch time taken from it does not.
    EXPECT_DOUBLE_EQ(log->timestamp->timeIntervalSince1970(), 1700000000.999);
    EXPECT_DOUBLE_EQ(log->appLaunchTimestamp->timeIntervalSince1970(), 1700000000.0);
    EXPECT_EQ(log->osExceptionAddress, "0x10");
    EXPECT_FALSE(log->selectorRegisterValue);
}

TEST(MSErrorLogFormatter, FramesAndBinariesFollowTheReportedAddresses) {
    BuiltReport r;
    r.system.operating_system = QVCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__MAC_OS_X;
    r.system.has_operating_system = 1;
    r.thread(0, false, {r.frame(0x7000'0014, "_main", 0x7000'0000)});
    r.thread(1, true, {r.frame(0x401234, "tool_main", 0x401200), r.frame(0x500fff)},
             {{"rip", 0x401234}, {"rsp", 0x7ffd0000}});
    r.image(0x700000000, 0x1000, "/usr/lib/unused.so");
    r.image(0x70000000, 0x1000, "/usr/lib/libsys.so");  // frame 0
    r.image(0x500000, 0x1000, "/usr/lib/end.so");       // in use through its end address
    r.image(0x600000, 0, "/usr/lib/empty.so");
    r.image(0x400000, 0x10000, "/home/alice/bin/tool", -1);  // the executable: listed, no code type
    auto log = F::errorLogFromCrashReport(*r.decode());

    ASSERT_EQ(log->threads->size(), 2u);
    EXPECT_EQ(log->threads->at(0)->frames->at(0)->code(), "main + 20");
    EXPECT_EQ(log->threads->at(1)->frames->at(0)->code(), "0x400000 + 4660");  // own executable: no symbol
    EXPECT_EQ(log->threads->at(1)->frames->at(1)->code(), "0x500000 + 4095");
    EXPECT_EQ(log->errorThreadId, 1);
    EXPECT_EQ(log->registers, (std::map<std::string, std::string>{{"rip", "0x0000000000401234"},
                                                                  {"rsp", "0x000000007ffd0000"}}));
    EXPECT_EQ(log->applicationPath, "/home/USER/bin/tool");

    std::vector<std::string> listed;
    for (const auto& b : *log->binaries) listed.push_back(*b->name() + " " + *b->startAddress() + "-" + *b->endAddress());
    EXPECT_EQ(listed, (std::vector<std::string>{"tool 0x0000000000400000-0x000000000040ffff",
                                                "end.so 0x0000000000500000-0x0000000000500fff",
                                                "libsys.so 0x0000000070000000-0x0000000070000fff"}));
    const auto& exe = log->binaries->at(0);
    EXPECT_EQ(exe->path(), "/home/USER/bin/tool");
    EXPECT_EQ(exe->binaryId(), "???");
    EXPECT_EQ(exe->architectureVariantId(), 0u);
    EXPECT_EQ(exe->primaryArchitectureId(), 16777223u);

    // The size-0 image is listed, as one address, once an address touches it.
    BuiltReport z;
    z.thread(0, true, {z.frame(0x600000)});
    z.image(0x600000, 0, "/usr/lib/empty.so");
    auto zl = F::errorLogFromCrashReport(*z.decode());
    ASSERT_EQ(zl->binaries->size(), 1u);
    EXPECT_EQ(zl->binaries->at(0)->endAddress(), "0x0000000000600000");

    // On an operating system with unknown symbol rules the name stays whole, with a warning.
    std::vector<std::string> logged;
    const auto level = MSLogger::currentLogLevel();
    MSLogger::setCurrentLogLevel(MSLogLevel::Warning);
    MSLogger::setLogHandler([&](const MSLogger::MessageProvider& message, MSLogLevel, std::string_view tag,
                                const char*, const char*, unsigned) {
        if (tag == kMSCrashesLogTag) logged.push_back(message());
    });
    BuiltReport u;
    u.thread(0, true, {u.frame(0x7000'0014, "_main", 0x7000'0000)});
    u.image(0x70000000, 0x1000, "/usr/lib/libsys.so");
    auto ul = F::errorLogFromCrashReport(*u.decode());
    MSLogger::restoreDefaultLogHandler();
    MSLogger::setCurrentLogLevel(level);
    EXPECT_EQ(ul->threads->at(0)->frames->at(0)->code(), "_main + 20");
    EXPECT_EQ(logged, std::vector<std::string>{"Symbol prefix rules are unknown for this OS!"});
}

TEST(MSErrorLogFormatter, ReportAndLogOfOneCrashShareIdentifierAndTimes) {
    BuiltReport r;
    r.thread(0, true, {r.frame(0x401000)});
    r.image(0x400000, 0x10000, "/home/alice/bin/tool");
    auto report = r.decode();
    auto log = F::errorLogFromCrashReport(*report);
    auto summary = F::errorReportFromCrashReport(report.get());
    ASSERT_TRUE(summary);
    EXPECT_EQ(log->errorId->size(), 36u);
    EXPECT_EQ(summary->incidentIdentifier(), log->errorId);  // no UUID in the report, yet one identifier
    EXPECT_EQ(summary->appErrorTime(), log->timestamp);
    EXPECT_EQ(summary->appStartTime(), log->appLaunchTimestamp);
    EXPECT_EQ(summary->appProcessIdentifier(), 4242u);
    EXPECT_EQ(summary->signal(), "SIGSEGV");
    EXPECT_FALSE(summary->reporterKey()->empty());
    EXPECT_TRUE(summary->device() && summary->device()->isEqual(*log->device));
    EXPECT_FALSE(F::errorReportFromCrashReport(nullptr));

    uint8_t uuid[16] = {0x12, 0x34};
    Qvcrash__CrashReport__ReportInfo info = QVCRASH__CRASH_REPORT__REPORT_INFO__INIT;
    info.has_uuid = 1;
    info.uuid = {16, uuid};
    r.report.report_info = &info;
    EXPECT_EQ(F::errorLogFromCrashReport(*r.decode())->errorId, "12340000-0000-0000-0000-000000000000");
}

// ---- real crashes ----

std::shared_ptr<MSCrashReporter> reporterFor(const std::string& identifier) {
    return MSCrashReporter::initWithApplicationIdentifier(identifier, "42", std::string("1.2"));
}

[[gnu::noinline]] void crashOnNull(int depth) {
    if (depth > 0) return crashOnNull(depth - 1);
    volatile uintptr_t bad = 0x10;
    *reinterpret_cast<volatile int*>(bad) = 1;
}

// Crashes while a second thread waits.
void crashBesideAWaitingThread() {
    static std::atomic<bool> started{false};
    std::thread([] {
        started = true;
        for (;;) ::pause();
    }).detach();
    while (!started) std::this_thread::yield();  // the child's alarm bounds this
    crashOnNull(2);
}

[[gnu::noinline]] void throwAndReport() {
    try {
        throw std::length_error("too many groups");
    } catch (const std::exception& e) {
        void* frames[32];
        const int n = ::backtrace(frames, 32);
        platform::crash::UncaughtException exception{"std::length_error", e.what(), {}};
        for (int i = 0; i < n; ++i) exception.callStackReturnAddresses.push_back(reinterpret_cast<uintptr_t>(frames[i]));
        platform::crash::uncaughtExceptionHandler()(exception);
    }
}

// The report a child leaves behind when it dies in `body`. The child arms an engine of its own,
// which only a process where none was armed yet can do: its tests run in a fresh process.
std::unique_ptr<MSCrashReport> crashReportOf(const std::string& identifier, void (*body)()) {
    auto reporter = reporterFor(identifier);
    auto child = runInChild([&] {
        ::close(2);
        auto r = reporterFor(identifier);
        if (!r->enableCrashReporter()) return 2;
        body();
        return 3;
    });
    EXPECT_TRUE(child.signaled) << child.describe();
    auto data = reporter->loadPendingCrashReportData();
    reporter->purgePendingCrashReport();
    if (!data) return nullptr;
    return MSCrashReport::initWithData(*data).valueOr(nullptr);
}

void expectCrashLog(const MSAppleErrorLog& log, const MSCrashReport& report) {
    EXPECT_TRUE(log.isValid());
    EXPECT_EQ(log.primaryArchitectureId, 16777223u);
    EXPECT_EQ(log.processId, int64_t(report.processInfo()->processID()));
    ASSERT_TRUE(log.threads && !log.threads->empty());
    const auto& crashed = log.threads->front();
    EXPECT_EQ(crashed->threadId, log.errorThreadId);
    EXPECT_FALSE(crashed->frames->empty());
    EXPECT_TRUE(log.registers->contains("rip"));
    // Every frame of the crashed thread lies in a listed image.
    for (const auto& frame : *crashed->frames) {
        const uint64_t pc = std::stoull(*frame->address(), nullptr, 16);
        bool covered = false;
        for (const auto& b : *log.binaries)
            covered |= std::stoull(*b->startAddress(), nullptr, 16) <= pc && pc <= std::stoull(*b->endAddress(), nullptr, 16);
        EXPECT_TRUE(covered || !report.imageForAddress(pc)) << *frame->address();
    }
    for (const auto& b : *log.binaries) {
        EXPECT_TRUE(b->isValid());
        EXPECT_EQ(b->path()->find("/home/") == 0, b->path()->starts_with("/home/USER/")) << *b->path();
    }
}

TEST(MSErrorLogFormatter, RealSignalCrashBecomesAValidLog) {
    if (!test::inFreshProcess()) return;
    auto report = crashReportOf("formatter-signal.app", crashBesideAWaitingThread);
    ASSERT_TRUE(report);
    auto log = F::errorLogFromCrashReport(*report);
    expectCrashLog(*log, *report);
    EXPECT_EQ(log->osExceptionType, "SIGSEGV");
    ASSERT_EQ(log->threads->size(), 2u);
    EXPECT_FALSE(log->threads->at(1)->frames->empty());
    EXPECT_EQ(log->osExceptionAddress, "0x10");
    EXPECT_FALSE(log->exceptionType);
    EXPECT_EQ(log->applicationPath, F::anonymizedPathFromPath(*report->processInfo()->processPath()));
    // The log survives storage unchanged.
    registerCrashesClasses();
    auto back = platform::KeyedUnarchiver::unarchivedObject<MSAppleErrorLog>(platform::KeyedArchiver::archivedData(*log)).valueOr(nullptr);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->isEqual(*log));
}

TEST(MSErrorLogFormatter, RealExceptionCrashPutsTheExceptionOnTheCrashedThread) {
    if (!test::inFreshProcess()) return;
    auto report = crashReportOf("formatter-exception.app", [] { throwAndReport(); });
    ASSERT_TRUE(report);
    auto log = F::errorLogFromCrashReport(*report);
    expectCrashLog(*log, *report);
    EXPECT_EQ(log->osExceptionType, "SIGABRT");
    EXPECT_EQ(log->exceptionType, "std::length_error");
    EXPECT_EQ(log->exceptionReason, "too many groups");
    const auto& exception = log->threads->front()->exception;
    ASSERT_TRUE(exception);
    EXPECT_TRUE(exception->isValid());
    EXPECT_EQ(exception->message, "too many groups");
    EXPECT_EQ(exception->frames->size(), report->exceptionInfo()->stackFrames()->size());
    EXPECT_FALSE(exception->frames->at(0)->code());
}

}  // namespace
