// Live reports of this test process, with threads parked in known functions beside the caller.
#pragma GCC optimize("no-omit-frame-pointer", "no-optimize-sibling-calls")

#include <gtest/gtest.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "crashreporter/report/MSCrashReport.h"
#include "crashreporter/capture/MSCrashReporter.h"
#include "crashreporter/report/QVCrashReport.pb-c.h"
#include "tests/crashreporter/ParkedCrash.h"
#include "tests/crashreporter/StackSymbols.h"

using namespace quorvane;
using quorvane::test::symbolAt;
namespace fs = std::filesystem;

namespace {

// Threads parked in qvtest_thread_parked until the end of the scope.
class ParkedThreads {
public:
    explicit ParkedThreads(size_t count) : ready_(count) {
        for (size_t i = 0; i < count; ++i) {
            threads_.emplace_back([this, i] {
                tids_[i] = ::gettid();
                qvtest_thread_parked_caller(&ready_[i], &release_);
            });
        }
        for (auto& r : ready_) {
            while (r.load() == 0) std::this_thread::yield();
        }
    }
    ~ParkedThreads() {
        release_.store(1);
        ::syscall(SYS_futex, reinterpret_cast<int*>(&release_), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
        for (auto& t : threads_) t.join();
    }
    pid_t tid(size_t i) const { return tids_[i]; }

private:
    std::vector<std::atomic<int>> ready_;
    std::atomic<int> release_{0};
    pid_t tids_[8] = {};
    std::vector<std::thread> threads_;
};

size_t threadsOfThisProcess() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) ++n;
    return n;
}

// Symbolicated at write time, so the report itself names every frame.
std::shared_ptr<MSCrashReporter> liveReporter() {
    return MSCrashReporter::initWithApplicationIdentifier("live.app", "3", std::nullopt,
                                                          MSCrashReporterConfig(0, 1, false));
}

bool hasFrameNamed(const MSCrashReportThreadInfo& thread, const std::string& part) {
    for (const auto& frame : thread.stackFrames()) {
        if (frame.symbolInfo() && frame.symbolInfo()->symbolName().find(part) != std::string::npos) return true;
    }
    return false;
}

std::string frame0(const MSCrashReportThreadInfo& thread) {
    const auto& frames = thread.stackFrames();
    return !frames.empty() && frames[0].symbolInfo() ? frames[0].symbolInfo()->symbolName() : std::string();
}

bool userRequested(const platform::Bytes& bytes) {
    auto* raw = qvcrash__crash_report__unpack(nullptr, bytes.size() - 8, bytes.data() + 8);
    const bool requested = raw && raw->report_info && raw->report_info->user_requested;
    qvcrash__crash_report__free_unpacked(raw, nullptr);
    return requested;
}

struct LiveRun {
    std::unique_ptr<MSCrashReport> report;
    size_t threadsOfProcess = 0;
};

// A live report written while three threads wait in qvtest_thread_parked: with the calling
// thread as the crashed one, or the second parked thread.
[[gnu::noinline]] LiveRun liveReportBesideParkedThreads(bool callerCrashed) {
    LiveRun run;
    platform::Result<platform::Bytes> bytes = platform::Bytes();
    platform::Error error;
    {
        ParkedThreads parked(3);
        run.threadsOfProcess = threadsOfThisProcess();
        bytes = callerCrashed ? liveReporter()->generateLiveReport()
                              : liveReporter()->generateLiveReportWithThread(parked.tid(1));
    }
    EXPECT_TRUE(bytes) << bytes.error().localizedDescription();
    if (!bytes) return run;
    EXPECT_TRUE(userRequested(*bytes));
    auto decoded = MSCrashReport::initWithData(*bytes);
    if (!decoded) error = decoded.error();
    run.report = std::move(decoded).valueOr(nullptr);
    EXPECT_TRUE(run.report) << error.localizedDescription();
    return run;
}

}  // namespace

TEST(MSCrashReporterLiveReport, EveryThreadIsListedAndTheCallingThreadIsMarked) {
    const LiveRun run = liveReportBesideParkedThreads(true);
    ASSERT_TRUE(run.report);
    const auto& report = *run.report;
    EXPECT_EQ(report.threads().size(), run.threadsOfProcess);
    size_t crashed = 0, parkedSeen = 0;
    for (const auto& thread : report.threads()) {
        EXPECT_FALSE(thread.stackFrames().empty()) << thread.threadNumber();
        parkedSeen += frame0(thread) == "qvtest_thread_parked";
        EXPECT_EQ(thread.registers().size(), thread.crashed() ? 21u : 0u);
        if (!thread.crashed()) continue;
        ++crashed;
        // The calling thread, from the writer up through the caller.
        EXPECT_TRUE(hasFrameNamed(thread, "generateLiveReport"));
        EXPECT_TRUE(hasFrameNamed(thread, "liveReportBesideParkedThreads"));
    }
    EXPECT_EQ(crashed, 1u);
    EXPECT_EQ(parkedSeen, 3u);

    // No crash: a trace trap at the call.
    EXPECT_EQ(report.signalInfo().name(), "SIGTRAP");
    EXPECT_EQ(report.signalInfo().code(), "TRAP_TRACE");
    EXPECT_NE(symbolAt(report.signalInfo().address()).find("liveReportBesideParkedThreads"), std::string::npos);
    EXPECT_EQ(report.applicationInfo().applicationIdentifier(), "live.app");
    EXPECT_FALSE(report.hasExceptionInfo());
}

TEST(MSCrashReporterLiveReport, AnotherThreadCanBeTheCrashedOne) {
    const LiveRun run = liveReportBesideParkedThreads(false);
    ASSERT_TRUE(run.report);
    // The calling thread is left out; the chosen one carries the registers.
    EXPECT_EQ(run.report->threads().size(), run.threadsOfProcess - 1);
    size_t crashed = 0;
    for (const auto& thread : run.report->threads()) {
        EXPECT_FALSE(hasFrameNamed(thread, "generateLiveReport"));
        if (!thread.crashed()) continue;
        ++crashed;
        EXPECT_EQ(frame0(thread), "qvtest_thread_parked");
        EXPECT_EQ(thread.registers().size(), 21u);
    }
    EXPECT_EQ(crashed, 1u);
}

TEST(MSCrashReporterLiveReport, TemporaryFileIsRemovedAndItsFolderMustExist) {
    const char* saved = std::getenv("TMPDIR");
    const std::string savedValue = saved ? saved : "";
    const fs::path dir = fs::temp_directory_path() / ("qv-live-" + std::to_string(::getpid()));
    fs::create_directories(dir);

    ::setenv("TMPDIR", dir.c_str(), 1);
    EXPECT_TRUE(liveReporter()->generateLiveReport());
    EXPECT_TRUE(fs::is_empty(dir));

    ::setenv("TMPDIR", (dir / "missing").c_str(), 1);
    auto refused = liveReporter()->generateLiveReport();
    ASSERT_FALSE(refused);
    const platform::Error& error = refused.error();
    EXPECT_EQ(error.domain, kQVCrashReporterErrorDomain);
    EXPECT_EQ(error.code, MSCrashReporterErrorOperatingSystem);
    EXPECT_EQ(error.localizedDescription(), "Failed to create temporary path");
    EXPECT_EQ(error.userInfo[platform::Error::kUnderlyingErrorKey]["code"].asInt(), ENOENT);

    if (saved) {
        ::setenv("TMPDIR", savedValue.c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
    fs::remove_all(dir);
}
