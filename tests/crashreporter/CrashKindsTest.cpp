// Every kind of crash a user meets, each in a child process with the reporter enabled and the
// post-crash callback set: the report must be written, decode, list every thread of the child
// with its stack, and start the crashed thread's frames where the crash happened.

// The crashing functions keep their frames and calls in optimised builds too.
#pragma GCC optimize("no-omit-frame-pointer", "no-optimize-sibling-calls")

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "crashreporter/capture/MSCrashReporter.h"
#include "crashreporter/report/QVCrashReport.pb-c.h"
#include "tests/crashreporter/CrashChild.h"
#include "tests/crashreporter/StackSymbols.h"

using namespace quorvane;
using quorvane::test::Marker;
using quorvane::test::runInChild;
using quorvane::test::symbolAt;

extern "C" void qvtest_thread_parked_caller(std::atomic<int>* ready, std::atomic<int>* release);

namespace {

enum class Kind {
    Segv, Bus, Ill, Fpe, Abort, Trap, CxxException, OverflowMain, OverflowThread, OverflowEarlyThread, TwoAtOnce, LateLibrary,
    WorkerWhileMainEnds, StaticDestructor, ExitWorkOlderThanEnabling, ExitPastTheReport, ExitBlockingSignals,
    MainExits, ExecBlockingSignals
};

std::atomic<int> gStart{0};

}  // namespace

extern "C" [[gnu::noinline]] void qvtest_kind_fault(Kind kind) {
    switch (kind) {
        case Kind::Bus: {
            // A page of a file mapping past the end of the file.
            char path[] = "/tmp/qv-kind-bus-XXXXXX";
            int fd = ::mkstemp(path);
            ::unlink(path);
            auto* p = static_cast<volatile char*>(::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
            (void)p[0];
            break;
        }
        case Kind::Ill: __builtin_trap();
        case Kind::Fpe:  // an integer division by zero the sanitizers cannot see
            asm volatile("xor %%ecx, %%ecx\n\tmov $1, %%eax\n\tcltd\n\tidiv %%ecx" ::: "eax", "ecx", "edx");
            break;
        case Kind::Abort: std::abort();
        case Kind::Trap: asm volatile("int3"); break;
        default: *reinterpret_cast<volatile int*>(uintptr_t(0x10)) = 1; break;
    }
    asm volatile("");
}

namespace {

// Made before enabling, so they run at exit after everything enabling registered.
std::atomic<Kind> gCrashAtExit{Kind::Segv};
struct CrashesWhenDestroyed {
    ~CrashesWhenDestroyed() {
        if (gCrashAtExit.load() == Kind::StaticDestructor) qvtest_kind_fault(Kind::Segv);
    }
};
void crashInExitWork() {
    if (gCrashAtExit.load() == Kind::ExitWorkOlderThanEnabling) qvtest_kind_fault(Kind::Segv);
}

}  // namespace

extern "C" [[gnu::noinline]] int qvtest_kind_recurse(int depth) {
    if (depth < 0) return 0;  // never: the recursion ends in the overflow
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    return qvtest_kind_recurse(depth + 1) + frame[0];
}

extern "C" [[gnu::noinline]] void qvtest_kind_late(int (*crash)(int)) {
    crash(1);
    asm volatile("");
}

[[gnu::noinline]] void qvtest_kind_throw_inner() { throw std::runtime_error("no more contacts"); }
extern "C" [[gnu::noinline]] void qvtest_kind_throw() noexcept {
    qvtest_kind_throw_inner();
    asm volatile("");
}

namespace {

struct Row {
    const char* name;
    Kind kind;
    int signal;
    size_t parked;          // threads parked before the crash
    size_t threads;         // threads the child has at the crash
    const char* function;   // expected among the crashed thread's first frames
};

const Row kRows[] = {
    {"SIGSEGV", Kind::Segv, SIGSEGV, 2, 3, "qvtest_kind_fault"},
    {"SIGBUS", Kind::Bus, SIGBUS, 2, 3, "qvtest_kind_fault"},
    {"SIGILL", Kind::Ill, SIGILL, 2, 3, "qvtest_kind_fault"},
    {"SIGFPE", Kind::Fpe, SIGFPE, 2, 3, "qvtest_kind_fault"},
    {"SIGABRT", Kind::Abort, SIGABRT, 2, 3, "qvtest_kind_fault"},
    {"SIGTRAP", Kind::Trap, SIGTRAP, 2, 3, "qvtest_kind_fault"},
    {"UncaughtCxxException", Kind::CxxException, SIGABRT, 2, 3, "qvtest_kind_throw"},
    {"StackOverflowOnMain", Kind::OverflowMain, SIGSEGV, 2, 3, "qvtest_kind_recurse"},
    {"StackOverflowOnAnotherThread", Kind::OverflowThread, SIGSEGV, 2, 4, "qvtest_kind_recurse"},
    {"StackOverflowOnThreadOlderThanEnabling", Kind::OverflowEarlyThread, SIGSEGV, 2, 4, "qvtest_kind_recurse"},
    {"TwoThreadsAtOnce", Kind::TwoAtOnce, SIGSEGV, 2, 5, "qvtest_kind_fault"},
    {"ThreeHundredThreads", Kind::Segv, SIGSEGV, 300, 301, "qvtest_kind_fault"},
    // Thousands of threads, more than a report lists, and one thread ends the process with _exit
    // as soon as the report's file appears: one left out of the report, one that blocks every
    // signal (so it cannot be stopped), the main thread blocking every signal; or one that blocks
    // every signal runs another program.
    {"ThreadPastTheReportCallsExit", Kind::ExitPastTheReport, SIGSEGV, 2000, 512, "qvtest_kind_fault"},
    {"ThreadBlockingSignalsCallsExit", Kind::ExitBlockingSignals, SIGSEGV, 2000, 512, "qvtest_kind_fault"},
    {"MainThreadCallsExit", Kind::MainExits, SIGSEGV, 2000, 512, "qvtest_kind_fault"},
    {"ThreadBlockingSignalsRunsAProgram", Kind::ExecBlockingSignals, SIGSEGV, 2000, 512, "qvtest_kind_fault"},
    {"LibraryLoadedAfterEnabling", Kind::LateLibrary, SIGSEGV, 2, 3, "qvtest_kind_late"},
    {"DetachedWorkerWhileMainEnds", Kind::WorkerWhileMainEnds, SIGSEGV, 0, 2, "qvtest_kind_fault"},
    {"StaticDestructorWhileThreadsRun", Kind::StaticDestructor, SIGSEGV, 2, 3, "qvtest_kind_fault"},
    {"ExitWorkOlderThanEnablingWhileThreadsRun", Kind::ExitWorkOlderThanEnabling, SIGSEGV, 2, 3, "qvtest_kind_fault"},
};

const Marker* gMarker = nullptr;
void postCrash(siginfo_t*, ucontext_t*, void*) { gMarker->append("post-crash;"); }

std::atomic<int> gReady[2000];
std::atomic<int> gRelease{0};

int crashChild(const Row& row, const std::string& identifier) {
    std::vector<std::thread> threads;
    if (row.kind == Kind::OverflowEarlyThread) {
        // Started before the reporter is enabled, it overflows once told to.
        threads.emplace_back([] {
            while (gStart.load() == 0) std::this_thread::yield();
            qvtest_kind_recurse(0);
        });
    }
    // (A static the test program made before main would be destroyed only after the program's
    // test folder is removed at exit.)
    static CrashesWhenDestroyed crashesWhenDestroyed;
    std::atexit(crashInExitWork);
    auto reporter = MSCrashReporter::initWithApplicationIdentifier(identifier, "1", std::nullopt);
    QVCrashReporterCallbacks callbacks = {0, nullptr, postCrash};
    reporter->setCrashCallbacks(&callbacks);
    if (!reporter->enableCrashReporter()) return 2;
    if (row.parked > 100) ::close(2);  // thousands of diagnostic lines from the 300 threads are of no use here

    for (size_t i = 0; i < row.parked; ++i) threads.emplace_back(qvtest_thread_parked_caller, &gReady[i], &gRelease);
    for (size_t i = 0; i < row.parked; ++i) {
        while (gReady[i].load() == 0) std::this_thread::yield();  // bounded by the child's alarm
    }
    switch (row.kind) {
        case Kind::CxxException: qvtest_kind_throw(); break;
        case Kind::OverflowMain: qvtest_kind_recurse(0); break;
        case Kind::OverflowThread: threads.emplace_back([] { qvtest_kind_recurse(0); }); break;
        case Kind::OverflowEarlyThread: gStart.store(1); break;
        case Kind::LateLibrary: {
            void* library = ::dlopen(QUORVANE_LATE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
            auto* crash = library ? reinterpret_cast<int (*)(int)>(::dlsym(library, "qvtest_late_library_crash")) : nullptr;
            if (crash == nullptr) return 4;
            qvtest_kind_late(crash);
            break;
        }
        case Kind::TwoAtOnce:
            for (int i = 0; i < 2; ++i) {
                threads.emplace_back([] {
                    gStart.fetch_add(1);
                    while (gStart.load() < 2) {
                    }
                    qvtest_kind_fault(Kind::Segv);
                });
            }
            break;
        case Kind::WorkerWhileMainEnds:
            // The crash cuts the sleep short; the process must not end before its report is whole.
            std::thread([] { qvtest_kind_fault(Kind::Segv); }).detach();
            ::sleep(100);
            return 3;
        case Kind::ExitPastTheReport:
        case Kind::ExitBlockingSignals:
        case Kind::MainExits:
        case Kind::ExecBlockingSignals: {
            // The exit is set off by the crash itself: the exiting thread waits for the report's
            // partial file to be made, which happens only inside the crash handler.
            const std::string partial = std::to_string(::getpid()) + ".partial";
            const int watch = ::inotify_init1(IN_CLOEXEC);
            if (watch < 0 || ::inotify_add_watch(watch, reporter->crashReportDirectory().c_str(), IN_CREATE) < 0) return 4;
            static const Kind kind = row.kind;
            static std::atomic<int> go{0};
            auto exitOnceWritten = [watch, partial] {
                if (kind != Kind::ExitPastTheReport) {
                    sigset_t all;
                    sigfillset(&all);
                    ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
                }
                go.store(1);
                alignas(struct inotify_event) char events[4096];
                for (;;) {
                    const ssize_t n = ::read(watch, events, sizeof events);
                    for (ssize_t at = 0; at < n;) {
                        const auto* event = reinterpret_cast<const struct inotify_event*>(events + at);
                        at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
                        const std::string name = event->len > 0 ? event->name : "";
                        if (name.size() > partial.size() && name.compare(name.size() - partial.size(), partial.size(), partial) == 0) {
                            if (kind == Kind::ExecBlockingSignals) ::execl("/bin/true", "true", static_cast<char*>(nullptr));
                            ::_exit(0);
                        }
                    }
                }
            };
            std::thread crasher([] {
                while (go.load() == 0) std::this_thread::yield();
                qvtest_kind_fault(Kind::Segv);
            });
            if (row.kind == Kind::MainExits) exitOnceWritten();
            threads.emplace_back(exitOnceWritten);  // started last, so listed last: past the report's threads
            crasher.join();
            break;
        }
        case Kind::StaticDestructor:
        case Kind::ExitWorkOlderThanEnabling:
            gCrashAtExit.store(row.kind);
            std::exit(3);  // the parked threads still run
        default: qvtest_kind_fault(row.kind); break;
    }
    for (auto& t : threads) t.join();
    return 3;
}

struct Outcome {
    bool written = false, decodes = false, everyThread = false, framesPlausible = false;
};

class CrashKinds : public ::testing::TestWithParam<Row> {};

TEST_P(CrashKinds, ReportIsWrittenWholeAndDecodes) {
    const Row& row = GetParam();
    const std::string identifier = std::string("kinds.") + row.name;
    // The races are run several times: they went wrong only some of the time.
    const bool exitRace = row.kind == Kind::ExitPastTheReport || row.kind == Kind::ExitBlockingSignals ||
                          row.kind == Kind::MainExits || row.kind == Kind::ExecBlockingSignals;
    const int runs = row.kind == Kind::TwoAtOnce ? 5 : row.kind == Kind::WorkerWhileMainEnds ? 20 : exitRace ? 3 : 1;
    for (int run = 0; run < runs; ++run) {
        SCOPED_TRACE(run);
        Marker marker(std::string("kinds-") + row.name);
        gMarker = &marker;
        auto child = runInChild([&] { return crashChild(row, identifier); });
        ASSERT_TRUE(child.signaled) << child.describe();
        EXPECT_EQ(child.signal, row.signal);
        // The callback runs once, and only after a whole report.
        EXPECT_EQ(marker.read(), "post-crash;");

        Outcome outcome;
        auto reporter = MSCrashReporter::initWithApplicationIdentifier(identifier, "1", std::nullopt);
        auto data = reporter->loadPendingCrashReportData();
        reporter->purgePendingCrashReport();
        outcome.written = data && data->size() > 8 && std::string(data->begin(), data->begin() + 8) == std::string("qvcrash\x01", 8);
        ASSERT_TRUE(outcome.written);
        Qvcrash__CrashReport* r = qvcrash__crash_report__unpack(nullptr, data->size() - 8, data->data() + 8);
        outcome.decodes = r != nullptr;
        ASSERT_TRUE(outcome.decodes);

        size_t crashed = 0, withFrames = 0, walked = 0;
        const Qvcrash__CrashReport__Thread* crashedThread = nullptr;
        for (size_t i = 0; i < r->n_threads; ++i) {
            if (r->threads[i]->crashed) {
                ++crashed;
                crashedThread = r->threads[i];
            }
            if (r->threads[i]->n_frames > 0) ++withFrames;
            if (r->threads[i]->n_frames >= 3) ++walked;
        }
        // Past its first frame a stack is walked through the process's memory, which must stay
        // readable when the first thread has ended meanwhile.
        if (exitRace) {
            EXPECT_EQ(walked, withFrames);
        }
        // A main thread that blocks every signal cannot be stopped: listed without its stack
        // unless it has ended before the listing.
        const size_t unstoppable = row.kind == Kind::MainExits ? 1 : 0;
        outcome.everyThread = r->n_threads == row.threads && withFrames + unstoppable >= row.threads && crashed == 1;
        EXPECT_TRUE(outcome.everyThread) << r->n_threads << " threads, " << withFrames << " with frames, " << crashed
                                         << " crashed" << [&] {
                                                std::string s;
                                                for (size_t i = 0; i < r->n_threads; ++i)
                                                    s += " " + std::to_string(r->threads[i]->n_frames);
                                                return s;
                                            }();

        if (crashedThread != nullptr && crashedThread->n_frames > 0 && crashedThread->n_registers == 21) {
            bool named = false;
            for (size_t f = 0; f < crashedThread->n_frames && f < 16 && !named; ++f) {
                // An optimised build moves a path that never returns into "<function>.cold", and
                // a call that never returns may end its function: look inside the call too.
                for (uint64_t back : {0, 1}) {
                    const std::string name = symbolAt(crashedThread->frames[f]->pc - back);
                    named = named || name == row.function || name.rfind(std::string(row.function) + ".", 0) == 0;
                }
            }
            outcome.framesPlausible = named && crashedThread->registers[0]->value == crashedThread->frames[0]->pc;
        }
        EXPECT_TRUE(outcome.framesPlausible) << [&] {
            std::string names;
            for (size_t f = 0; crashedThread && f < crashedThread->n_frames && f < 16; ++f) {
                names += symbolAt(crashedThread->frames[f]->pc) + " ";
            }
            return names;
        }();

        if (row.kind == Kind::LateLibrary && crashedThread != nullptr && crashedThread->n_frames > 0) {
            // The library is among the images, and the crash lies inside it.
            const std::string file = std::string(QUORVANE_LATE_LIBRARY).substr(std::string(QUORVANE_LATE_LIBRARY).rfind('/'));
            bool inside = false;
            for (size_t i = 0; i < r->n_binary_images; ++i) {
                const auto* image = r->binary_images[i];
                const std::string name = image->name;
                if (name.size() < file.size() || name.compare(name.size() - file.size(), file.size(), file) != 0) continue;
                const uint64_t pc = crashedThread->frames[0]->pc;
                inside = pc >= image->base_address && pc < image->base_address + image->size;
            }
            EXPECT_TRUE(inside) << "the library loaded after enabling is missing from the report" << [&] {
                std::string s = std::to_string(crashedThread->frames[0]->pc);
                for (size_t i = 0; i < r->n_binary_images; ++i) s += std::string(" ") + r->binary_images[i]->name;
                return s;
            }();
            outcome.framesPlausible = outcome.framesPlausible && inside;
        }

        ASSERT_NE(r->signal, nullptr);
        EXPECT_EQ(std::string(r->signal->name), std::string("SIG") + sigabbrev_np(row.signal));
        EXPECT_EQ(std::string(r->signal->code).find('#'), std::string::npos) << r->signal->code;
        if (row.signal == SIGABRT) {
            EXPECT_EQ(r->signal->address, 0u) << "a sent signal has no address";
        }
        if (row.kind == Kind::Segv || row.kind == Kind::TwoAtOnce || row.kind == Kind::WorkerWhileMainEnds) {
            EXPECT_EQ(r->signal->address, 0x10u);
        }

        std::printf("| %-28s | %-7s | %-7s | %3zu of %3zu | %-5s |\n", row.name, outcome.written ? "yes" : "no",
                    outcome.decodes ? "yes" : "no", withFrames, row.threads, outcome.framesPlausible ? "yes" : "no");
        qvcrash__crash_report__free_unpacked(r, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, CrashKinds, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
