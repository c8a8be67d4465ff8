#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "crashreporter/capture/MSCrashReporter.h"
#include "crashreporter/capture/MSCrashSignalHandler.h"
#include "platform/crash/UncaughtException.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "tests/crashreporter/CrashChild.h"

using namespace quorvane;
using quorvane::test::Marker;
using quorvane::test::runInChild;
namespace fs = std::filesystem;

extern char* program_invocation_short_name;

namespace {

const Marker* gMarker = nullptr;

std::shared_ptr<MSCrashReporter> reporterFor(const std::string& identifier,
                                             const MSCrashReporterConfig& config = {}) {
    return MSCrashReporter::initWithApplicationIdentifier(identifier, "42", std::string("1.2"), config);
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

}  // namespace

TEST(MSCrashReporterConfig, Defaults) {
    auto config = MSCrashReporterConfig::defaultConfiguration();
    EXPECT_EQ(config.signalHandlerType(), MSCrashReporterSignalHandlerTypeBSD);
    EXPECT_EQ(config.symbolicationStrategy(), MSCrashReporterSymbolicationStrategyNone);
    EXPECT_TRUE(config.shouldRegisterUncaughtExceptionHandler());

    MSCrashReporterConfig two(MSCrashReporterSignalHandlerTypeMach, MSCrashReporterSymbolicationStrategyAll);
    EXPECT_EQ(two.signalHandlerType(), MSCrashReporterSignalHandlerTypeMach);
    EXPECT_EQ(two.symbolicationStrategy(), MSCrashReporterSymbolicationStrategyAll);
    EXPECT_TRUE(two.shouldRegisterUncaughtExceptionHandler());

    MSCrashReporterConfig three(7, 1, false);
    EXPECT_EQ(three.signalHandlerType(), 7u);
    EXPECT_EQ(three.symbolicationStrategy(), 1u);
    EXPECT_FALSE(three.shouldRegisterUncaughtExceptionHandler());

    EXPECT_EQ(MSCrashReporter::mapToAsyncSymbolicationStrategy(0), 0u);
    EXPECT_EQ(MSCrashReporter::mapToAsyncSymbolicationStrategy(2), 2u);
    EXPECT_EQ(MSCrashReporter::mapToAsyncSymbolicationStrategy(0xFF), 3u);
}

TEST(MSCrashReporter, IdentityFromTheBundleFallsBackToTheProcessName) {
    auto reporter = MSCrashReporter::initWithBundle({std::nullopt, std::nullopt, std::nullopt},
                                                    MSCrashReporterConfig::defaultConfiguration());
    ASSERT_TRUE(reporter);
    EXPECT_EQ(reporter->applicationIdentifier(), "quorvane_crashreporter_tests");
    EXPECT_EQ(reporter->applicationVersion(), "");
    EXPECT_FALSE(reporter->applicationMarketingVersion());

    auto main = MSCrashReporter::initWithConfiguration(MSCrashReporterConfig::defaultConfiguration());
    EXPECT_EQ(main->applicationIdentifier(), "com.quorvane.Quorvane");
    EXPECT_EQ(main->applicationVersion(), "0.1.0");
    EXPECT_EQ(main->applicationMarketingVersion(), std::optional<std::string>("0.1.0"));
    EXPECT_EQ(MSCrashReporter::create()->config().signalHandlerType(), MSCrashReporterSignalHandlerTypeBSD);

    auto shared = MSCrashReporter::sharedReporter();
    EXPECT_EQ(shared, MSCrashReporter::sharedReporter());
    EXPECT_EQ(shared->applicationIdentifier(), "com.quorvane.Quorvane");
}

TEST(MSCrashReporter, NoIdentifierAndNoProcessNameIsAContractFailure) {
    platform::AssertionHandler::resetCount();
    char* saved = program_invocation_short_name;
    char empty[] = "";
    program_invocation_short_name = empty;
    auto reporter = MSCrashReporter::initWithBundle({std::nullopt, std::string("1"), std::nullopt}, {});
    program_invocation_short_name = saved;
    EXPECT_FALSE(reporter);
    EXPECT_EQ(platform::AssertionHandler::count(), 1u);
    platform::AssertionHandler::resetCount();
}

TEST(MSCrashReporter, ReportFolderLivesUnderTheCachesFolder) {
    auto reporter = reporterFor("com.example/app/x");
    fs::path expected = platform::Paths::cacheHome() / "com.quorvane.crashreporter.data" / "com.example_app_x";
    EXPECT_EQ(reporter->crashReportDirectory(), expected.string());
    EXPECT_EQ(reporter->queuedCrashReportDirectory(), (expected / "queued_reports").string());
    EXPECT_EQ(reporter->crashReportPath(), (expected / "live_report.qvcrash").string());

    auto populated = reporter->populateCrashReportDirectory();
    ASSERT_TRUE(populated) << populated.error().localizedDescription();
    EXPECT_EQ(modeOf(reporter->crashReportDirectory()), 0755u);
    EXPECT_EQ(modeOf(reporter->queuedCrashReportDirectory()), 0755u);
    EXPECT_TRUE(reporter->populateCrashReportDirectory());  // already there
}

TEST(MSCrashReporter, FolderThatCannotBeCreatedGivesThePosixError) {
    auto reporter = reporterFor("blocked.app");
    fs::create_directories(platform::Paths::cacheHome() / "com.quorvane.crashreporter.data");
    std::ofstream(reporter->crashReportDirectory()) << "a file where the folder should be";
    auto populated = reporter->populateCrashReportDirectory();
    ASSERT_FALSE(populated);
    EXPECT_EQ(populated.error().domain, platform::kPOSIXErrorDomain);
    EXPECT_EQ(populated.error().code, ENOTDIR);
    fs::remove(reporter->crashReportDirectory());
}

TEST(MSCrashReporter, PendingReportCanBeLoadedAndPurged) {
    auto reporter = reporterFor("pending.app");
    ASSERT_TRUE(reporter->populateCrashReportDirectory());
    EXPECT_FALSE(reporter->hasPendingCrashReport());
    EXPECT_EQ(reporter->loadPendingCrashReportData().error().code, ENOENT);

    std::string bytes("qvcrash\x01\x00\xff", 10);
    std::ofstream(reporter->crashReportPath(), std::ios::binary) << bytes;
    EXPECT_TRUE(reporter->hasPendingCrashReport());
    auto data = reporter->loadPendingCrashReportData();
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(data->begin(), data->end()), bytes);

    EXPECT_TRUE(reporter->purgePendingCrashReport());
    EXPECT_FALSE(reporter->hasPendingCrashReport());
    auto purged = reporter->purgePendingCrashReport();
    ASSERT_FALSE(purged);
    EXPECT_EQ(purged.error().domain, platform::kPOSIXErrorDomain);
}

TEST(MSCrashReporter, CallbackRecordOfAnotherVersionIsAContractFailure) {
    platform::AssertionHandler::resetCount();
    auto reporter = reporterFor("callbacks.app");
    QVCrashReporterCallbacks callbacks = {1, nullptr, nullptr};
    reporter->setCrashCallbacks(&callbacks);
    reporter->setCrashCallbacks(nullptr);
    EXPECT_EQ(platform::AssertionHandler::count(), 2u);
    platform::AssertionHandler::resetCount();
}

// Enabling changes the process for good, so each case runs in its own child.
TEST(MSCrashReporter, OnlyTheFirstEnablingInAProcessSucceeds) {
    auto child = runInChild([] {
        auto reporter = reporterFor("enable.app");
        if (!reporter->enableCrashReporter()) return 2;
        if (!reporter->isEnabled()) return 3;
        if (!fs::is_directory(reporter->queuedCrashReportDirectory())) return 4;
        const char* armed = MSCrashReporter::armedCrashReportPath();
        if (!armed || reporter->crashReportPath() != armed) return 5;

        // Every fatal signal now goes to the engine's handler on the alternate stack.
        struct sigaction first {};
        sigaction(SIGABRT, nullptr, &first);
        for (int signo : kQVCrashFatalSignals) {
            struct sigaction sa {};
            sigaction(signo, nullptr, &sa);
            if (sa.sa_sigaction != first.sa_sigaction || !(sa.sa_flags & SA_ONSTACK)) return 6;
        }
        if (platform::crash::uncaughtExceptionHandler() == nullptr) return 7;

        // Again, on the same and on another reporter: code 3 and nothing changes.
        for (auto& again : {reporter, reporterFor("other.app")}) {
            auto enabled = again->enableCrashReporter();
            if (enabled) return 8;
            const platform::Error& second = enabled.error();
            if (second.domain != "QVCrashReporterErrorDomain" || second.code != 3) return 9;
            if (second.localizedDescription() != "A QVCrashReporter instance has already been enabled") return 10;
        }
        if (fs::exists(reporterFor("other.app")->crashReportDirectory())) return 11;
        if (std::string(MSCrashReporter::armedCrashReportPath()) != reporter->crashReportPath()) return 12;

        // Callbacks can no longer be changed.
        platform::AssertionHandler::resetCount();
        QVCrashReporterCallbacks callbacks = {0, nullptr, nullptr};
        reporter->setCrashCallbacks(&callbacks);
        if (platform::AssertionHandler::count() != 1) return 13;
        return 0;
    });
    EXPECT_TRUE(child.exited && child.exitCode == 0) << child.describe();
}

TEST(MSCrashReporter, FailedEnablingCannotBeRetried) {
    auto child = runInChild([] {
        ::setenv("XDG_CACHE_HOME", "/proc/no-such-place", 1);
        auto reporter = reporterFor("failing.app");
        auto enabled = reporter->enableCrashReporter();
        if (enabled) return 2;
        if (enabled.error().domain != platform::kPOSIXErrorDomain) return 3;
        struct sigaction sa {};
        sigaction(SIGSEGV, nullptr, &sa);
        struct sigaction abrt {};
        sigaction(SIGABRT, nullptr, &abrt);
        if (abrt.sa_handler != SIG_DFL) return 4;
        if (auto again = reporter->enableCrashReporter(); again || again.error().code != 3) return 5;
        return 0;
    });
    EXPECT_TRUE(child.exited && child.exitCode == 0) << child.describe();
}

// Linux has no exception server: faults reach the process only as signals, so the server mode
// registers the same fatal signals.
TEST(MSCrashReporter, ExceptionServerModeRegistersTheFatalSignals) {
    auto child = runInChild([] {
        auto reporter = reporterFor("server.app", MSCrashReporterConfig(1, 0, true));
        if (!reporter->enableCrashReporter()) return 2;
        for (int signo : kQVCrashFatalSignals) {
            struct sigaction sa {};
            sigaction(signo, nullptr, &sa);
            if (!(sa.sa_flags & SA_SIGINFO) || !(sa.sa_flags & SA_ONSTACK)) return 3;
        }
        return 0;
    });
    EXPECT_TRUE(child.exited && child.exitCode == 0) << child.describe();
}

TEST(MSCrashReporter, UnknownHandlerTypeInstallsNothing) {
    auto child = runInChild([] {
        auto reporter = reporterFor("none.app", MSCrashReporterConfig(2, 0, false));
        if (!reporter->enableCrashReporter()) return 2;
        struct sigaction sa {};
        sigaction(SIGABRT, nullptr, &sa);
        if (sa.sa_handler != SIG_DFL) return 3;
        if (platform::crash::uncaughtExceptionHandler() != nullptr) return 4;
        return 0;
    });
    EXPECT_TRUE(child.exited && child.exitCode == 0) << child.describe();
}

// ---- crashes ----

namespace {

// Runs before the reporter's entry (registered after enabling, so it is at the front), hands
// the signal on, and notes what the reporter did. Only async-signal-safe calls.
bool observingCallback(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                       qvcrash_signal_handler_callback* next) {
    gMarker->append("chain;");
    bool handled = qvcrash_signal_handler_forward(next, signo, info, uap);
    gMarker->append(handled ? "handled;" : "declined;");
    // The reporter reset every fatal signal to the default action.
    bool allDefault = true;
    for (int fatal : kQVCrashFatalSignals) {
        struct sigaction sa;
        sigaction(fatal, nullptr, &sa);
        if (sa.sa_handler != SIG_DFL) allDefault = false;
    }
    gMarker->append(allDefault ? "default;" : "not-default;");
    return handled;
}

void postCrashCallback(siginfo_t*, ucontext_t*, void* context) { gMarker->append(static_cast<const char*>(context)); }

void previousHandler(int) { gMarker->append("previous;"); }

[[gnu::noinline]] void crashWith(int signo) {
    switch (signo) {
        case SIGSEGV: {
            volatile int* bad = reinterpret_cast<volatile int*>(uintptr_t(0x10));
            *bad = 1;
            break;
        }
        case SIGBUS: {
            // Touching a page of a file mapping that lies past the end of the file.
            char path[] = "/tmp/qv-sigbus-XXXXXX";
            int fd = ::mkstemp(path);
            ::unlink(path);
            auto* p = static_cast<volatile char*>(::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
            (void)p[0];
            break;
        }
        case SIGILL:
            __builtin_trap();
        case SIGTRAP:
            asm volatile("int3");
            break;
        case SIGABRT:
            std::abort();
        default:
            ::raise(signo);
    }
}

}  // namespace

class MSCrashReporterCrash : public ::testing::TestWithParam<int> {};

TEST_P(MSCrashReporterCrash, FatalSignalRunsTheChainAndEndsWithTheSignal) {
    const int signo = GetParam();
    Marker marker("crash-" + std::to_string(signo));
    gMarker = &marker;
    auto child = runInChild([signo] {
        // An action installed before the engine: the reporter does not hand fatal signals on.
        struct sigaction sa {};
        sa.sa_handler = previousHandler;
        sigemptyset(&sa.sa_mask);
        sigaction(signo, &sa, nullptr);

        auto reporter = reporterFor("crashing.app");
        QVCrashReporterCallbacks callbacks = {0, const_cast<char*>("post-crash;"), postCrashCallback};
        reporter->setCrashCallbacks(&callbacks);
        if (!reporter->enableCrashReporter()) return 2;
        MSCrashSignalHandler::sharedHandler()->registerHandlerForSignal(signo, observingCallback, nullptr);
        crashWith(signo);
        gMarker->append("survived;");
        return 0;
    });
    ASSERT_TRUE(child.signaled) << child.describe();
    EXPECT_EQ(child.signal, signo);
    // The report was written, then the post-crash callback ran, then the chain went on.
    EXPECT_EQ(marker.read(), "chain;post-crash;declined;default;");
    auto reporter = reporterFor("crashing.app");
    auto data = reporter->loadPendingCrashReportData();
    ASSERT_TRUE(data);
    ASSERT_GT(data->size(), 8u);
    EXPECT_EQ(std::string(data->begin(), data->begin() + 8), std::string("qvcrash\x01", 8));
    EXPECT_TRUE(reporter->purgePendingCrashReport());
}

// The report folder (or its parent) removed while the process runs is made again at the crash;
// only something standing in its way keeps the report from being written, and then the
// post-crash callback does not run. A file size limit below the report's size: the report is cut
// to fit it, or, when even that cannot be, left out whole; the process ends with its own signal
// either way, not SIGXFSZ.
TEST(MSCrashReporter, ReportIsWrittenWholeWhereverItCanBeAndOnlyThenCallsBack) {
    struct Case {
        const char* name;
        int removeLevels;  // folders removed, from the report folder up
        bool blocked;      // a file where the report folder should be
        rlim_t sizeLimit;
        bool written;
    };
    for (const Case c : {Case{"folder removed", 1, false, RLIM_INFINITY, true},
                         Case{"parent removed", 2, false, RLIM_INFINITY, true},
                         Case{"a file in its place", 1, true, RLIM_INFINITY, false},
                         Case{"size limit below the report", 0, false, 24 * 1024, true},
                         Case{"size limit below any report", 0, false, 64, false}}) {
        SCOPED_TRACE(c.name);
        Marker marker("unwritable");
        gMarker = &marker;
        auto reporter = reporterFor("unwritable.app");
        const fs::path folder = reporter->crashReportDirectory();
        auto child = runInChild([&] {
            ::close(2);
            QVCrashReporterCallbacks callbacks = {0, const_cast<char*>("post-crash;"), postCrashCallback};
            reporter->setCrashCallbacks(&callbacks);
            if (!reporter->enableCrashReporter()) return 2;
            MSCrashSignalHandler::sharedHandler()->registerHandlerForSignal(SIGSEGV, observingCallback, nullptr);
            fs::path removed = folder;
            for (int i = 1; i < c.removeLevels; ++i) removed = removed.parent_path();
            if (c.removeLevels > 0) fs::remove_all(removed);
            if (c.blocked) std::ofstream(folder) << "in the way";
            struct rlimit limit = {c.sizeLimit, c.sizeLimit};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
            crashWith(SIGSEGV);
            return 0;
        });
        ASSERT_TRUE(child.signaled) << child.describe();
        EXPECT_EQ(child.signal, SIGSEGV);
        EXPECT_EQ(marker.read(), c.written ? "chain;post-crash;declined;default;" : "chain;declined;default;");
        if (c.blocked) fs::remove(folder);
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec)) {
            EXPECT_EQ(entry.path().string().find(".partial"), std::string::npos) << "left: " << entry.path();
        }
        test::UnpackedReport unpacked;
        auto data = reporter->loadPendingCrashReportData();
        EXPECT_EQ(data && unpacked.unpack(std::string(data->begin(), data->end())), c.written);
        if (data) {
            EXPECT_LE(data->size(), c.sizeLimit);
        }
        reporter->purgePendingCrashReport();
    }
}

// A vfork child shares this process's memory until it execs or ends: its crash leaves no report
// and nothing of the parent's crash state behind. The parent then ends through its exit work, or
// with a crash of its own, reported.
TEST(MSCrashReporter, AVforkChildsCrashLeavesTheParentAlone) {
    for (const bool parentCrashes : {false, true}) {
        SCOPED_TRACE(parentCrashes ? "the parent crashes" : "the parent exits");
        auto reporter = reporterFor("vfork.app");
        auto child = runInChild([&] {
            if (!reporter->enableCrashReporter()) return 2;
            const pid_t pid = ::vfork();
            if (pid == 0) {
                *reinterpret_cast<volatile int*>(uintptr_t(0x10)) = 1;
                ::_exit(0);
            }
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGSEGV) return 3;
            ::alarm(30);  // ends the parent should it hang
            if (parentCrashes) crashWith(SIGSEGV);
            std::quick_exit(0);
        });
        if (!parentCrashes) {
            EXPECT_TRUE(child.exited && child.exitCode == 0) << child.describe();
            EXPECT_FALSE(reporter->hasPendingCrashReport());
            continue;
        }
        ASSERT_TRUE(child.signaled) << child.describe();
        EXPECT_EQ(child.signal, SIGSEGV);
        EXPECT_EQ(reporter->pendingCrashReports().size(), 1u);  // the parent's alone
        test::UnpackedReport unpacked;
        auto data = reporter->loadPendingCrashReportData();
        ASSERT_TRUE(data && unpacked.unpack(std::string(data->begin(), data->end())));
        EXPECT_NE(unpacked.crashedThread(), nullptr);
        reporter->purgePendingCrashReport();
    }
}

// Something already at the crashing process's partial name (left there, or put there on purpose):
// the report is written into a file of its own, never through it, and the crash still ends.
TEST(MSCrashReporter, WhatStandsAtThePartialNameIsNotWrittenThrough) {
    const std::string victim = (fs::temp_directory_path() / ("qv-partial-victim-" + std::to_string(::getpid()))).string();
    for (const char* kind : {"fifo", "link", "link to fifo"}) {
        SCOPED_TRACE(kind);
        std::ofstream(victim) << "untouched";
        auto child = runInChild([&] {
            auto reporter = reporterFor("partial-name.app");
            if (!reporter->enableCrashReporter()) return 2;
            const std::string partial = reporter->crashReportPath() + "." + std::to_string(::getpid()) + ".partial";
            const std::string fifo = victim + ".fifo";
            const std::string_view k = kind;
            if (k != "link" && ::mkfifo(k == "fifo" ? partial.c_str() : fifo.c_str(), 0600) != 0) return 3;
            if (k != "fifo" && ::symlink(k == "link" ? victim.c_str() : fifo.c_str(), partial.c_str()) != 0) return 3;
            crashWith(SIGSEGV);
            return 0;
        });
        ASSERT_TRUE(child.signaled) << child.describe();
        EXPECT_EQ(child.signal, SIGSEGV);
        std::string text;
        std::getline(std::ifstream(victim), text);
        EXPECT_EQ(text, "untouched");
        auto reporter = reporterFor("partial-name.app");
        test::UnpackedReport unpacked;
        auto data = reporter->loadPendingCrashReportData();
        EXPECT_TRUE(data && unpacked.unpack(std::string(data->begin(), data->end())));
        reporter->purgePendingCrashReport();
        fs::remove(victim + ".fifo");
    }
    fs::remove(victim);
}

INSTANTIATE_TEST_SUITE_P(FatalSignals, MSCrashReporterCrash,
                         ::testing::Values(SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

TEST(MSCrashReporter, OnlyTheFirstUncaughtExceptionIsTakenAndAbortsTheProcess) {
    Marker marker("uncaught");
    gMarker = &marker;
    static platform::crash::UncaughtException second{"SecondException", "too late", {}};
    auto child = runInChild([] {
        auto reporter = reporterFor("exception.app");
        if (!reporter->enableCrashReporter()) return 2;
        // While the first exception aborts the process, a second one arrives: it must return
        // at once instead of storing itself or aborting again.
        MSCrashSignalHandler::sharedHandler()->registerHandlerForSignal(
            SIGABRT,
            [](int signo, siginfo_t* info, ucontext_t* uap, void*, qvcrash_signal_handler_callback* next) {
                platform::crash::uncaughtExceptionHandler()(second);
                gMarker->append("second-returned;");
                return qvcrash_signal_handler_forward(next, signo, info, uap);
            },
            nullptr);
        platform::crash::UncaughtException first{"FirstException", "boom", {0x1000, 0x2000}};
        platform::crash::uncaughtExceptionHandler()(first);
        gMarker->append("first-returned;");
        return 0;
    });
    ASSERT_TRUE(child.signaled) << child.describe();
    EXPECT_EQ(child.signal, SIGABRT);
    EXPECT_EQ(marker.read(), "second-returned;");
}

TEST(MSCrashReporter, ForkedChildrenCrashingTogetherEachLeaveAReportOfTheirOwn) {
    auto reporter = reporterFor("forking.app");
    const std::string base = reporter->crashReportPath();
    // What the children were, written by the process that forks them.
    void* page = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    auto* shared = static_cast<pid_t*>(page);
    constexpr size_t kChildren = 3;
    for (int run = 0; run < 20; ++run) {
        SCOPED_TRACE(run);
        // Partial files: one of this (live) test process stays, one of a process that is gone goes,
        // and one whose id names no process here but whose writer holds its lock (a process of
        // another PID namespace) stays.
        ASSERT_TRUE(reporter->populateCrashReportDirectory());
        const pid_t gone = test::deadProcessId(), elsewhere = test::deadProcessId();
        for (pid_t pid : {::getpid(), gone, elsewhere}) std::ofstream(base + "." + std::to_string(pid) + ".partial") << "cut";
        const std::string held = base + "." + std::to_string(elsewhere) + ".partial";
        const int writer = qvcrash_async_open_locked(held.c_str(), false);
        ASSERT_GE(writer, 0);
        auto child = runInChild([&] {
            if (!reporterFor("forking.app")->enableCrashReporter()) return 2;
            shared[0] = ::getpid();
            const auto pids = test::crashTogether(kChildren);
            std::copy(pids.begin(), pids.end(), shared + 1);
            return pids.size() == kChildren ? 0 : 3;
        });
        ASSERT_TRUE(child.exited && child.exitCode == 0) << child.describe();
        EXPECT_TRUE(fs::exists(base + "." + std::to_string(::getpid()) + ".partial"));
        EXPECT_FALSE(fs::exists(base + "." + std::to_string(gone) + ".partial"));
        EXPECT_TRUE(fs::exists(held));
        ::close(writer);
        for (const std::string& left : {base + "." + std::to_string(::getpid()) + ".partial", held}) fs::remove(left);

        // Each child's report is whole, in a file of its own, and tells that child and its parent.
        const auto pending = reporter->pendingCrashReports();
        std::set<pid_t> children(shared + 1, shared + 1 + kChildren), reported;
        std::set<std::string> ids;
        for (const auto& report : pending) {
            test::UnpackedReport unpacked;
            ASSERT_TRUE(unpacked.unpack(test::readAll(report.path))) << report.path;
            const auto* process = unpacked.message->process_info;
            ASSERT_NE(process, nullptr);
            reported.insert(static_cast<pid_t>(process->process_id));
            EXPECT_EQ(process->parent_process_id, static_cast<uint32_t>(shared[0]));
            EXPECT_STREQ(process->parent_process_name, process->process_name);
            ids.emplace(reinterpret_cast<const char*>(unpacked.message->report_info->uuid.data), 16);
            ASSERT_NE(unpacked.crashedThread(), nullptr);
            EXPECT_GT(unpacked.crashedThread()->n_frames, 0u);
        }
        EXPECT_EQ(reported, children);
        EXPECT_EQ(ids.size(), kChildren) << "children share a report id";
        ASSERT_TRUE(reporter->purgePendingCrashReport());
    }
    ::munmap(page, 4096);
}
