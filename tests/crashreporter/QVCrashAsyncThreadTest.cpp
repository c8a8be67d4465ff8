// The walked test functions keep their frame pointers and their calls (no tail calls) in optimised
// builds too.
#pragma GCC optimize("no-omit-frame-pointer", "no-optimize-sibling-calls")

#include <gtest/gtest.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "crashreporter/capture/QVCrashAsyncThread.h"
#include "platform/crash/Threads.h"
#include "tests/crashreporter/CrashChild.h"
#include "tests/crashreporter/StackSymbols.h"

using namespace quorvane;

using quorvane::test::runInChild;
using quorvane::test::symbolAt;
namespace crash = quorvane::platform::crash;

// A thread parked in a known function: it waits on a futex with the system call made inline, so
// its interrupted instruction pointer and frame pointer are this function's own.
// Calls to it keep a function from being a leaf, whose frame pointer an optimised build leaves out.
extern "C" [[gnu::noinline]] void qvtest_not_a_leaf() { asm volatile(""); }

extern "C" [[gnu::noinline]] void qvtest_thread_parked(std::atomic<int>* ready, std::atomic<int>* release) {
    qvtest_not_a_leaf();
    ready->store(1);
    while (release->load() == 0) {
        long rax = SYS_futex;
        register long r10 asm("r10") = 0;
        asm volatile("syscall"
                     : "+a"(rax)
                     : "D"(reinterpret_cast<int*>(release)), "S"(FUTEX_WAIT_PRIVATE), "d"(0), "r"(r10)
                     : "rcx", "r11", "memory");
    }
    asm volatile("");
}

extern "C" [[gnu::noinline]] void qvtest_thread_parked_caller(std::atomic<int>* ready, std::atomic<int>* release) {
    qvtest_thread_parked(ready, release);
    asm volatile("");
}

namespace {

struct ParkedThread {
    std::atomic<int> ready{0};
    std::atomic<int> release{0};
    std::atomic<pid_t> tid{0};
    std::thread thread;

    ParkedThread() {
        thread = std::thread([this] {
            tid.store(static_cast<pid_t>(::syscall(SYS_gettid)));
            qvtest_thread_parked_caller(&ready, &release);
        });
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (ready.load() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    }
    ~ParkedThread() {
        release.store(1);
        ::syscall(SYS_futex, reinterpret_cast<int*>(&release), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
        thread.join();
    }
};

qvcrash_async_thread_state_t stateFor(uint32_t cpu) {
    qvcrash_async_thread_state_t state;
    EXPECT_EQ(MSqvcrash_async_thread_state_init(&state, cpu), QVCRASH_ESUCCESS);
    return state;
}

}  // namespace

TEST(QVCrashAsyncThread, ArchitecturesHaveTheirRegisterSetsAndUnknownOnesAreRefused) {
    auto x86 = stateFor(QVCRASH_CPU_TYPE_X86);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg_count(&x86), 16u);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_greg_size(&x86), 4u);
    EXPECT_EQ(x86.x86_state.tsh.count, 16u);
    EXPECT_EQ(x86.x86_exc_state.esh.count, 3u);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_stack_direction(&x86), QVCRASH_ASYNC_STACK_DIRECTION_DOWN);
    EXPECT_STREQ(MSqvcrash_async_thread_state_get_reg_name(&x86, QVCRASH_X86_TRAPNO), "trapno");

    auto x64 = stateFor(QVCRASH_CPU_TYPE_X86_64);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg_count(&x64), 21u);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_greg_size(&x64), 8u);
    EXPECT_EQ(x64.x86_state.tsh.count, 42u);
    EXPECT_EQ(x64.x86_exc_state.esh.count, 4u);
    EXPECT_EQ(x64.valid_regs, 0u);
    EXPECT_STREQ(MSqvcrash_async_thread_state_get_reg_name(&x64, 0), "rip");
    EXPECT_STREQ(MSqvcrash_async_thread_state_get_reg_name(&x64, 1), "rbp");
    EXPECT_STREQ(MSqvcrash_async_thread_state_get_reg_name(&x64, 2), "rsp");
    EXPECT_STREQ(MSqvcrash_async_thread_state_get_reg_name(&x64, 20), "gs");

    qvcrash_async_thread_state_t other;
    EXPECT_EQ(MSqvcrash_async_thread_state_init(&other, 12), QVCRASH_ENOTSUP);
    EXPECT_EQ(QVCRASH_X86_THREAD_STATE_COUNT, 44u);
    EXPECT_EQ(QVCRASH_X86_EXCEPTION_STATE_COUNT, 6u);
}

TEST(QVCrashAsyncThread, RegistersAreStoredByWidthAndTrackedByTheirBits) {
    auto x86 = stateFor(QVCRASH_CPU_TYPE_X86);
    MSqvcrash_async_thread_state_set_reg(&x86, QVCRASH_X86_TRAPNO, 0x12345);
    EXPECT_TRUE(MSqvcrash_async_thread_state_has_reg(&x86, QVCRASH_X86_TRAPNO));
    EXPECT_EQ(x86.x86_exc_state.ues.es32.trapno, 0x2345);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&x86, QVCRASH_X86_TRAPNO), 0x2345u);
    MSqvcrash_async_thread_state_set_reg(&x86, QVCRASH_X86_EBX, 0x1122334455667788ull);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&x86, QVCRASH_X86_EBX), 0x55667788u);
    EXPECT_EQ(x86.x86_state.uts.ts32.ebx, 0x55667788u);

    auto x64 = stateFor(QVCRASH_CPU_TYPE_X86_64);
    for (qvcrash_regnum_t r = 0; r <= QVCRASH_X86_64_LAST_REG; ++r) {
        MSqvcrash_async_thread_state_set_reg(&x64, r, 0x1000000000ull + r);
    }
    for (qvcrash_regnum_t r = 0; r <= QVCRASH_X86_64_LAST_REG; ++r) {
        EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&x64, r), 0x1000000000ull + r) << r;
    }
    EXPECT_EQ(x64.x86_state.uts.ts64.r12, 0x1000000000ull + QVCRASH_X86_64_R12);
    MSqvcrash_async_thread_state_clear_reg(&x64, QVCRASH_X86_64_RSP);
    EXPECT_FALSE(MSqvcrash_async_thread_state_has_reg(&x64, QVCRASH_X86_64_RSP));
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&x64, QVCRASH_X86_64_RSP), 0x1000000000ull + 2);

    qvcrash_async_thread_state_t copy;
    MSqvcrash_async_thread_state_copy(&copy, &x64);
    EXPECT_EQ(std::memcmp(&copy, &x64, sizeof(copy)), 0);
    MSqvcrash_async_thread_state_clear_all_regs(&copy);
    EXPECT_EQ(copy.valid_regs, 0u);
}

TEST(QVCrashAsyncThread, DwarfNumbersMapBothWays) {
    auto x64 = stateFor(QVCRASH_CPU_TYPE_X86_64);
    auto x86 = stateFor(QVCRASH_CPU_TYPE_X86);
    qvcrash_regnum_t reg = -1;
    uint64_t dwarf = 0;
    EXPECT_FALSE(MSqvcrash_async_thread_state_map_dwarf_to_reg(&x64, 16, &reg));
    EXPECT_FALSE(MSqvcrash_async_thread_state_map_reg_to_dwarf(&x64, QVCRASH_X86_64_RIP, &dwarf));
    ASSERT_TRUE(MSqvcrash_async_thread_state_map_dwarf_to_reg(&x86, 8, &reg));
    EXPECT_EQ(reg, QVCRASH_X86_EIP);
    ASSERT_TRUE(MSqvcrash_async_thread_state_map_dwarf_to_reg(&x64, 6, &reg));
    EXPECT_EQ(reg, QVCRASH_X86_64_RBP);
    ASSERT_TRUE(MSqvcrash_async_thread_state_map_reg_to_dwarf(&x64, QVCRASH_X86_64_RDX, &dwarf));
    EXPECT_EQ(dwarf, 1u);
    ASSERT_TRUE(MSqvcrash_async_thread_state_map_reg_to_dwarf(&x64, QVCRASH_X86_64_GS, &dwarf));
    EXPECT_EQ(dwarf, 55u);
    int mapped = 0;
    for (qvcrash_regnum_t r = 0; r <= QVCRASH_X86_64_LAST_REG; ++r) {
        if (!MSqvcrash_async_thread_state_map_reg_to_dwarf(&x64, r, &dwarf)) continue;
        ++mapped;
        ASSERT_TRUE(MSqvcrash_async_thread_state_map_dwarf_to_reg(&x64, dwarf, &reg));
        EXPECT_EQ(reg, r);
    }
    EXPECT_EQ(mapped, 20);
    EXPECT_FALSE(MSqvcrash_async_thread_state_map_reg_to_dwarf(&x86, QVCRASH_X86_EFLAGS, &dwarf));
}

TEST(QVCrashAsyncThread, MachineContextFillsEveryRegisterAndOnlyCalleeSavedOnesSurviveClearing) {
    mcontext_t mctx{};
    for (int i = 0; i < NGREG; ++i) mctx.gregs[i] = 0x100 + i;
    mctx.gregs[REG_CSGSFS] = 0x002b0000'00000033;  // fs 0, gs 0, cs 0x33 ... ss 0x2b
    mctx.gregs[REG_CSGSFS] |= 0x0000'0007'0005'0000;
    qvcrash_async_thread_state_t state;
    MSqvcrash_async_thread_state_mcontext_init(&state, &mctx);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg_count(&state), 21u);
    for (qvcrash_regnum_t r = 0; r <= QVCRASH_X86_64_LAST_REG; ++r) {
        EXPECT_TRUE(MSqvcrash_async_thread_state_has_reg(&state, r)) << r;
    }
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&state, QVCRASH_X86_64_RIP), 0x100u + REG_RIP);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&state, QVCRASH_X86_64_RBP), 0x100u + REG_RBP);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&state, QVCRASH_X86_64_RSP), 0x100u + REG_RSP);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&state, QVCRASH_X86_64_RAX), 0x100u + REG_RAX);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&state, QVCRASH_X86_64_RDX), 0x100u + REG_RDX);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&state, QVCRASH_X86_64_R15), 0x100u + REG_R15);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&state, QVCRASH_X86_64_RFLAGS), 0x100u + REG_EFL);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&state, QVCRASH_X86_64_CS), 0x33u);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&state, QVCRASH_X86_64_GS), 5u);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&state, QVCRASH_X86_64_FS), 7u);
    EXPECT_EQ(state.x86_exc_state.ues.es64.trapno, 0x100 + REG_TRAPNO);
    EXPECT_EQ(state.x86_exc_state.ues.es64.err, 0x100u + REG_ERR);
    EXPECT_EQ(state.x86_exc_state.ues.es64.faultvaddr, 0x100u + REG_CR2);

    MSqvcrash_async_thread_state_clear_volatile_regs(&state);
    std::vector<qvcrash_regnum_t> valid;
    for (qvcrash_regnum_t r = 0; r <= QVCRASH_X86_64_LAST_REG; ++r) {
        if (MSqvcrash_async_thread_state_has_reg(&state, r)) valid.push_back(r);
    }
    EXPECT_EQ(valid, (std::vector<qvcrash_regnum_t>{QVCRASH_X86_64_RBP, QVCRASH_X86_64_RSP, QVCRASH_X86_64_RBX,
                                                     QVCRASH_X86_64_R12, QVCRASH_X86_64_R13, QVCRASH_X86_64_R14,
                                                     QVCRASH_X86_64_R15}));
}

TEST(QVCrashAsyncThread, RegisterNameBeyondTheCountAbortsTheProcess) {
    auto child = runInChild([] {
        auto state = stateFor(QVCRASH_CPU_TYPE_X86_64);
        MSqvcrash_async_thread_state_get_reg_name(&state, 21);
        return 0;
    });
    ASSERT_TRUE(child.signaled) << child.describe();
    EXPECT_EQ(child.signal, SIGABRT);
}

namespace {

struct Captured {
    qvcrash_async_thread_state_t state;
    uint64_t returnSlot = 0;
};

qvcrash_error_t keepState(qvcrash_async_thread_state_t* state, void* context) {
    auto* captured = static_cast<Captured*>(context);
    MSqvcrash_async_thread_state_copy(&captured->state, state);
    // The word below the caller's stack pointer is the return address the call pushed.
    captured->returnSlot = *reinterpret_cast<const uint64_t*>(
        MSqvcrash_async_thread_state_get_reg(state, QVCRASH_X86_64_RSP) - 8);
    return QVCRASH_EINVALID_DATA;
}

}  // namespace

extern "C" [[gnu::noinline]] qvcrash_error_t qvtest_capture_here(Captured* captured, uint64_t* frame) {
    *frame = reinterpret_cast<uint64_t>(__builtin_frame_address(0));
    qvcrash_error_t err = MSqvcrash_async_thread_state_current(keepState, captured);
    asm volatile("");
    return err;
}

TEST(QVCrashAsyncThread, CallingThreadIsCapturedAtTheCallSite) {
    Captured captured;
    uint64_t frame = 0;
    // The callback's result is handed back.
    EXPECT_EQ(qvtest_capture_here(&captured, &frame), QVCRASH_EINVALID_DATA);
    const auto& state = captured.state;
    for (qvcrash_regnum_t r = 0; r <= QVCRASH_X86_64_LAST_REG; ++r) {
        EXPECT_TRUE(MSqvcrash_async_thread_state_has_reg(&state, r)) << r;
    }
    const uint64_t rip = MSqvcrash_async_thread_state_get_reg(&state, QVCRASH_X86_64_RIP);
    EXPECT_EQ(symbolAt(rip), "qvtest_capture_here");
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&state, QVCRASH_X86_64_RBP), frame);
    EXPECT_EQ(captured.returnSlot, rip);
    EXPECT_NE(MSqvcrash_async_thread_state_get_reg(&state, QVCRASH_X86_64_CS), 0u);
}

TEST(QVCrashAsyncThread, AnotherThreadIsReadWhereItIsParked) {
    ParkedThread parked;
    ASSERT_EQ(parked.ready.load(), 1);
    qvcrash_async_thread_state_t state;
    ASSERT_EQ(MSqvcrash_async_thread_state_mach_thread_init(&state, parked.tid.load()), QVCRASH_ESUCCESS);
    for (qvcrash_regnum_t r = 0; r <= QVCRASH_X86_64_LAST_REG; ++r) {
        EXPECT_TRUE(MSqvcrash_async_thread_state_has_reg(&state, r)) << r;
    }
    EXPECT_EQ(symbolAt(MSqvcrash_async_thread_state_get_reg(&state, QVCRASH_X86_64_RIP)), "qvtest_thread_parked");

    // The calling thread cannot be read this way.
    EXPECT_EQ(MSqvcrash_async_thread_state_mach_thread_init(&state, crash::threadSelf()), QVCRASH_EINTERNAL);
}

TEST(QVCrashThreads, ThreadsAreListedSuspendedAndResumed) {
    ParkedThread parked;
    const pid_t tid = parked.tid.load();

    pid_t threads[256];
    size_t count = 0;
    ASSERT_EQ(crash::listThreads(crash::taskSelf(), threads, 256, &count), crash::kKernSuccess);
    ASSERT_GE(count, 2u);
    ASSERT_LE(count, 256u);
    EXPECT_NE(std::find(threads, threads + count, tid), threads + count);
    EXPECT_NE(std::find(threads, threads + count, crash::threadSelf()), threads + count);
    size_t none = 0;
    EXPECT_EQ(crash::listThreads(crash::taskSelf(), threads, 0, &none), crash::kKernSuccess);
    EXPECT_EQ(none, count);

    // Suspensions nest; a suspended thread gives the same registers every time.
    ASSERT_EQ(crash::suspendThread(tid), crash::kKernSuccess);
    ASSERT_EQ(crash::suspendThread(tid), crash::kKernSuccess);
    mcontext_t first{}, second{};
    ASSERT_EQ(crash::threadMachineContext(tid, &first), crash::kKernSuccess);
    ASSERT_EQ(crash::threadMachineContext(tid, &second), crash::kKernSuccess);
    EXPECT_EQ(std::memcmp(first.gregs, second.gregs, sizeof(first.gregs)), 0);
    EXPECT_EQ(crash::resumeThread(tid), crash::kKernSuccess);
    EXPECT_EQ(crash::resumeThread(tid), crash::kKernSuccess);
    EXPECT_EQ(crash::resumeThread(tid), crash::kKernFailure);

    // The thread runs again: it can be stopped again, and it finishes when released.
    ASSERT_EQ(crash::suspendThread(tid), crash::kKernSuccess);
    EXPECT_EQ(crash::resumeThread(tid), crash::kKernSuccess);

    EXPECT_EQ(crash::suspendThread(crash::threadSelf()), crash::kKernFailure);
}

TEST(QVCrashThreads, ThreadThatBlocksTheSignalOrIsGoneCannotBeSuspended) {
    std::atomic<int> blocked{0};
    std::atomic<int> release{0};
    std::atomic<pid_t> tid{0};
    std::thread thread([&] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, crash::suspendSignal());
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        tid.store(static_cast<pid_t>(::syscall(SYS_gettid)));
        blocked.store(1);
        ::syscall(SYS_futex, reinterpret_cast<int*>(&release), FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
        while (release.load() == 0) {
            ::syscall(SYS_futex, reinterpret_cast<int*>(&release), FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
        }
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (blocked.load() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    EXPECT_EQ(crash::suspendThread(tid.load()), crash::kKernFailure);
    release.store(1);
    ::syscall(SYS_futex, reinterpret_cast<int*>(&release), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
    thread.join();

    // The same id is no longer a thread of this process.
    EXPECT_EQ(crash::suspendThread(tid.load()), crash::kKernFailure);
    mcontext_t context;
    EXPECT_EQ(crash::threadMachineContext(tid.load(), &context), crash::kKernFailure);
}

TEST(QVCrashThreads, SuspensionsFromSeveralThreadsAtOnceStayBalanced) {
    ParkedThread parked;
    const pid_t tid = parked.tid.load();
    std::atomic<int> failures{0};
    std::vector<std::thread> controllers;
    for (int c = 0; c < 3; ++c) {
        controllers.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                if (crash::suspendThread(tid) != crash::kKernSuccess) {
                    failures.fetch_add(1);
                    continue;
                }
                mcontext_t context;
                if (crash::threadMachineContext(tid, &context) != crash::kKernSuccess) failures.fetch_add(1);
                if (crash::resumeThread(tid) != crash::kKernSuccess) failures.fetch_add(1);
            }
        });
    }
    for (auto& controller : controllers) controller.join();
    EXPECT_EQ(failures.load(), 0);
    // Every suspension was released: the thread is not held any more.
    EXPECT_EQ(crash::resumeThread(tid), crash::kKernFailure);
}
