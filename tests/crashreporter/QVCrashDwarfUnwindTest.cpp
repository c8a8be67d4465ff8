// Real crashes of optimised code without frame pointers, walked by the engine and written with
// frame symbols; and a walk through the kernel's signal return into the interrupted code.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crashreporter/capture/MSCrashReporter.h"
#include "crashreporter/capture/MSCrashReporterConfig.h"
#include "crashreporter/capture/QVCrashAsyncDwarfUnwind.h"
#include "crashreporter/report/QVCrashReport.pb-c.h"
#include "platform/crash/TaskMemory.h"
#include "tests/crashreporter/CrashChild.h"
#include "tests/crashreporter/DwarfCallChain.h"
#include "tests/crashreporter/StackSymbols.h"

using namespace quorvane;
using quorvane::test::runInChild;

namespace {

// An address in the zero page: the store faults.
volatile int* const kUnmapped = reinterpret_cast<volatile int*>(uintptr_t(0x10));

std::shared_ptr<MSCrashReporter> symbolisingReporter(const std::string& identifier) {
    auto config = MSCrashReporterConfig(MSCrashReporterSignalHandlerTypeBSD,
                                                          MSCrashReporterSymbolicationStrategySymbolTable);
    return MSCrashReporter::initWithApplicationIdentifier(identifier, "1", std::string("1.0"), config);
}

// The frames of one thread, by the names the report gives them.
struct Thread {
    std::vector<std::string> names;
    std::vector<uint64_t> pcs;
    size_t index(const std::string& name) const {
        return static_cast<size_t>(std::find(names.begin(), names.end(), name) - names.begin());
    }
};

struct Report {
    std::vector<Thread> threads;
    size_t crashed = SIZE_MAX;
    std::vector<std::pair<std::string, std::pair<uint64_t, uint64_t>>> images;  // name, [base, base + size)
    std::string imageOf(uint64_t pc) const {
        for (const auto& [name, range] : images) {
            if (pc >= range.first && pc < range.second) return name;
        }
        return "";
    }
};

// Crashes a child with the symbolising reporter enabled and reads back its report.
Report crashReport(const std::string& identifier, const std::function<void()>& body, int* signal) {
    auto reporter = symbolisingReporter(identifier);
    reporter->purgePendingCrashReport();
    auto child = runInChild([&] {
        if (::getenv("QV_KEEP_STDERR") == nullptr) ::close(2);  // keep the engine's diagnostics out of the test output
        auto r = symbolisingReporter(identifier);
        if (!r->enableCrashReporter()) return 2;
        body();
        return 3;
    });
    *signal = child.signaled ? child.signal : 0;
    if (!child.signaled) ADD_FAILURE() << identifier << ": " << child.describe();
    Report out;
    auto data = reporter->loadPendingCrashReportData();
    reporter->purgePendingCrashReport();
    if (!data || data->size() <= 8) return out;
    Qvcrash__CrashReport* message =
        qvcrash__crash_report__unpack(nullptr, data->size() - 8, reinterpret_cast<const uint8_t*>(data->data()) + 8);
    if (message == nullptr) return out;
    for (size_t t = 0; t < message->n_threads; ++t) {
        Thread thread;
        for (size_t f = 0; f < message->threads[t]->n_frames; ++f) {
            const auto* frame = message->threads[t]->frames[f];
            thread.pcs.push_back(frame->pc);
            thread.names.push_back(frame->symbol != nullptr ? frame->symbol->name : "");
        }
        if (message->threads[t]->crashed) out.crashed = out.threads.size();
        out.threads.push_back(std::move(thread));
    }
    for (size_t i = 0; i < message->n_binary_images; ++i) {
        const auto* image = message->binary_images[i];
        out.images.push_back({image->name, {image->base_address, image->base_address + image->size}});
    }
    qvcrash__crash_report__free_unpacked(message, nullptr);
    return out;
}

std::string joined(const std::vector<std::string>& names) {
    std::string s;
    for (const auto& n : names) s += (n.empty() ? "?" : n) + " ";
    return s;
}

// Waits (bounded by the child's alarm) until the thread is inside the read system call.
void waitUntilInRead(pid_t tid) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    for (;;) {
        std::ifstream in(path);
        std::string number;
        in >> number;
        if (number == "0") return;  // read
        std::this_thread::yield();
    }
}

}  // namespace

TEST(QVCrashDwarfUnwind, OptimisedFramelessCrashIsWalkedAndNamedWithABlockedThread) {
    int signal = 0;
    Report report = crashReport("dwarf.app", [] {
        int fds[2];
        if (::pipe(fds) != 0) return;
        static volatile int started = 0;
        static std::atomic<pid_t> tid{0};
        std::thread blocked([fd = fds[0]] {
            tid = static_cast<pid_t>(::syscall(SYS_gettid));
            qvdwarf_blocked_reader(fd, &started);
        });
        while (started == 0 || tid.load() == 0) std::this_thread::yield();
        waitUntilInRead(tid.load());
        qvdwarf_level1(kUnmapped, 3);
        blocked.join();
    }, &signal);
    EXPECT_EQ(signal, SIGSEGV);
    ASSERT_EQ(report.threads.size(), 2u);
    ASSERT_LT(report.crashed, 2u);

    const Thread& crashed = report.threads[report.crashed];
    ASSERT_GE(crashed.names.size(), 6u) << joined(crashed.names);
    const std::vector<std::string> chain(crashed.names.begin(), crashed.names.begin() + 5);
    EXPECT_EQ(chain, (std::vector<std::string>{"qvdwarf_leaf", "qvdwarf_level4", "qvdwarf_level3", "qvdwarf_level2",
                                               "qvdwarf_level1"}))
        << joined(crashed.names);
    EXPECT_LT(crashed.index("main"), crashed.names.size()) << "the walk goes on to main: " << joined(crashed.names);

    // The blocked thread: the C library's read (and, in sanitizer builds, its interceptor), then
    // the application frame that called it.
    const Thread& blocked = report.threads[1 - report.crashed];
    const size_t reader = blocked.index("qvdwarf_blocked_reader");
    ASSERT_LT(reader, blocked.names.size()) << joined(blocked.names);
    ASSERT_GE(reader, 1u);
    EXPECT_NE(report.imageOf(blocked.pcs[0]).find("libc.so"), std::string::npos) << joined(blocked.names);
    EXPECT_NE(blocked.names[0].find("read"), std::string::npos) << joined(blocked.names);
    // ... and on through the thread's start in the C library (named by its nearest exported symbol).
    EXPECT_NE(report.imageOf(blocked.pcs.back()).find("libc.so"), std::string::npos) << joined(blocked.names);
}

TEST(QVCrashDwarfUnwind, AbortIsWalkedThroughRaiseAndAbortToTheApplication) {
    int signal = 0;
    Report report = crashReport("dwarf.abort", [] { qvdwarf_abort_level1(1); }, &signal);
    EXPECT_EQ(signal, SIGABRT);
    ASSERT_LT(report.crashed, report.threads.size());
    const Thread& t = report.threads[report.crashed];
    const size_t abortAt = t.index("abort");
    ASSERT_LT(abortAt + 2, t.names.size()) << joined(t.names);
    EXPECT_LT(std::min(t.index("raise"), t.index("gsignal")), abortAt) << joined(t.names);  // one function, two names
    // abort ends qvdwarf_abort_level2: its return address is looked up inside the call.
    EXPECT_EQ(t.names[abortAt + 1], "qvdwarf_abort_level2") << joined(t.names);
    EXPECT_EQ(t.names[abortAt + 2], "qvdwarf_abort_level1") << joined(t.names);
    EXPECT_LT(t.index("main"), t.names.size()) << joined(t.names);
    EXPECT_LT(t.names.size(), 64u) << "no runaway frames: " << joined(t.names);
}

// ---- through the signal return ----

namespace {

struct SharedWalk {
    uint64_t pcs[64];
    bool returnAddress[64];
    size_t count;
};
SharedWalk* gWalk = nullptr;

qvcrash_error_t walkHere(qvcrash_async_thread_state_t* state, void*) {
    qvframe_cursor_t cursor;
    MSqvframe_cursor_init(&cursor, platform::crash::taskSelf(), state, MSqvcrash_shared_image_list());
    while (gWalk->count < 64 && MSqvframe_cursor_next(&cursor) == QVFRAME_ESUCCESS) {
        uint64_t pc = 0;
        MSqvframe_cursor_get_reg(&cursor, QVCRASH_REG_IP, &pc);
        gWalk->returnAddress[gWalk->count] = cursor.frame.ip_is_return_address;
        gWalk->pcs[gWalk->count++] = pc;
    }
    MSqvframe_cursor_free(&cursor);
    return QVCRASH_ESUCCESS;
}

extern "C" [[gnu::noinline]] void qvtest_dwarf_signal_handler(int, siginfo_t*, void*) {
    MSqvcrash_async_thread_state_current(walkHere, nullptr);
    ::_exit(0);
}

}  // namespace

TEST(QVCrashDwarfUnwind, WalkFromASignalHandlerCrossesTheSignalReturnIntoTheInterruptedCode) {
    gWalk = static_cast<SharedWalk*>(
        ::mmap(nullptr, sizeof(SharedWalk), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(gWalk, MAP_FAILED);
    gWalk->count = 0;
    MSqvcrash_shared_image_list();  // made before the crash: making it allocates
    auto child = runInChild([] {
        struct sigaction sa {};
        sa.sa_sigaction = qvtest_dwarf_signal_handler;
        sa.sa_flags = SA_SIGINFO;
        ::sigaction(SIGSEGV, &sa, nullptr);
        qvdwarf_level1(kUnmapped, 5);
        return 3;
    });
    EXPECT_TRUE(child.exited && child.exitCode == 0) << child.describe();

    std::vector<std::string> names;
    for (size_t i = 0; i < gWalk->count; ++i) {
        names.push_back(test::symbolAt(gWalk->returnAddress[i] ? gWalk->pcs[i] - 1 : gWalk->pcs[i]));
    }
    const size_t handler = static_cast<size_t>(std::find(names.begin(), names.end(), "qvtest_dwarf_signal_handler") - names.begin());
    ASSERT_LT(handler + 7, names.size()) << joined(names);
    // The handler returns into the kernel's signal return code, whose frame restores the
    // interrupted registers: the next frame is the faulting instruction itself, not a call.
    const size_t leaf = handler + 2;
    EXPECT_EQ(names[leaf], "qvdwarf_leaf") << joined(names);
    EXPECT_FALSE(gWalk->returnAddress[leaf]);
    const std::vector<std::string> callers(names.begin() + leaf + 1, names.begin() + leaf + 5);
    EXPECT_EQ(callers, (std::vector<std::string>{"qvdwarf_level4", "qvdwarf_level3", "qvdwarf_level2", "qvdwarf_level1"}))
        << joined(names);
    ::munmap(gWalk, sizeof(SharedWalk));
    gWalk = nullptr;
}
