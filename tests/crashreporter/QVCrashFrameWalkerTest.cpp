// The walked test functions keep their frame pointers and their calls (no tail calls) in optimised
// builds too.
#pragma GCC optimize("no-omit-frame-pointer", "no-optimize-sibling-calls")

#include <gtest/gtest.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "crashreporter/capture/MSCrashReporter.h"
#include "crashreporter/capture/MSCrashSignalHandler.h"
#include "crashreporter/capture/QVCrashFrameWalker.h"
#include "platform/crash/Threads.h"
#include "tests/crashreporter/CrashChild.h"
#include "tests/crashreporter/StackSymbols.h"

using namespace quorvane;
using quorvane::test::Marker;
using quorvane::test::runInChild;
using quorvane::test::symbolAt;
namespace crash = quorvane::platform::crash;

namespace {

constexpr size_t kMaxFrames = 64;

struct Walk {
    uint64_t ips[kMaxFrames] = {};
    size_t count = 0;
    qvframe_error_t end = QVFRAME_ESUCCESS;
};

// Walks the whole stack from a state; async-signal-safe.
void walkFrom(const qvcrash_async_thread_state_t* state, Walk* walk) {
    qvframe_cursor_t cursor;
    MSqvframe_cursor_init(&cursor, crash::taskSelf(), state, nullptr);
    qvframe_error_t err;
    while ((err = MSqvframe_cursor_next(&cursor)) == QVFRAME_ESUCCESS && walk->count < kMaxFrames) {
        uint64_t ip = 0;
        MSqvframe_cursor_get_reg(&cursor, QVCRASH_REG_IP, &ip);
        walk->ips[walk->count++] = ip;
    }
    walk->end = err;
    MSqvframe_cursor_free(&cursor);
}

std::vector<std::string> namesOf(const Walk& walk, size_t n) {
    std::vector<std::string> names;
    for (size_t i = 0; i < n && i < walk.count; ++i) names.push_back(symbolAt(walk.ips[i]));
    return names;
}

qvcrash_error_t walkCurrent(qvcrash_async_thread_state_t* state, void* context) {
    walkFrom(state, static_cast<Walk*>(context));
    return QVCRASH_ESUCCESS;
}

// A fake stack of frame records {saved frame pointer, return address}, as a downward stack holds
// them: frame i+1 lies above frame i.
struct FakeStack {
    uint64_t words[16] = {};
    uint64_t frame(int i) { return reinterpret_cast<uint64_t>(&words[2 * i]); }
    void link(int i, uint64_t savedFp, uint64_t returnAddress) {
        words[2 * i] = savedFp;
        words[2 * i + 1] = returnAddress;
    }
};

qvcrash_async_thread_state_t stateAt(uint64_t ip, uint64_t fp) {
    qvcrash_async_thread_state_t state;
    MSqvcrash_async_thread_state_init(&state, QVCRASH_CPU_TYPE_X86_64);
    MSqvcrash_async_thread_state_set_reg(&state, QVCRASH_REG_IP, ip);
    MSqvcrash_async_thread_state_set_reg(&state, QVCRASH_REG_FP, fp);
    MSqvcrash_async_thread_state_set_reg(&state, QVCRASH_REG_SP, fp - 64);
    return state;
}

}  // namespace

extern "C" [[gnu::noinline]] void qvtest_walk_level3(Walk* walk) {
    MSqvcrash_async_thread_state_current(walkCurrent, walk);
    asm volatile("");
}
extern "C" [[gnu::noinline]] void qvtest_walk_level2(Walk* walk) {
    qvtest_walk_level3(walk);
    asm volatile("");
}
extern "C" [[gnu::noinline]] void qvtest_walk_level1(Walk* walk) {
    qvtest_walk_level2(walk);
    asm volatile("");
}

TEST(QVFrameCursor, CallingThreadIsWalkedThroughItsCallers) {
    Walk walk;
    qvtest_walk_level1(&walk);
    ASSERT_GE(walk.count, 4u);
    EXPECT_EQ(namesOf(walk, 3),
              (std::vector<std::string>{"qvtest_walk_level3", "qvtest_walk_level2", "qvtest_walk_level1"}));
    // The walk goes on into the test body and ends on its own.
    EXPECT_NE(walk.end, QVFRAME_ESUCCESS);
    EXPECT_LT(walk.count, kMaxFrames);
}

// A thread parked in a known function (see the thread state tests).
extern "C" void qvtest_thread_parked_caller(std::atomic<int>* ready, std::atomic<int>* release);

TEST(QVFrameCursor, ParkedThreadIsWalkedFromWhereItWaits) {
    std::atomic<int> ready{0};
    std::atomic<int> release{0};
    std::atomic<pid_t> tid{0};
    std::thread thread([&] {
        tid.store(static_cast<pid_t>(::syscall(SYS_gettid)));
        qvtest_thread_parked_caller(&ready, &release);
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ready.load() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();

    // Walked while it stays suspended, as at crash time.
    ASSERT_EQ(crash::suspendThread(tid.load()), crash::kKernSuccess);
    qvframe_cursor_t cursor;
    ASSERT_EQ(MSqvframe_cursor_thread_init(&cursor, crash::taskSelf(), tid.load(), MSqvcrash_shared_image_list()),
              QVCRASH_ESUCCESS);
    Walk walk;
    qvframe_error_t err;
    while ((err = MSqvframe_cursor_next(&cursor)) == QVFRAME_ESUCCESS && walk.count < kMaxFrames) {
        ASSERT_EQ(MSqvframe_cursor_get_reg(&cursor, QVCRASH_REG_IP, &walk.ips[walk.count]), QVFRAME_ESUCCESS);
        ++walk.count;
    }
    MSqvframe_cursor_free(&cursor);
    EXPECT_EQ(crash::resumeThread(tid.load()), crash::kKernSuccess);

    release.store(1);
    ::syscall(SYS_futex, reinterpret_cast<int*>(&release), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
    thread.join();

    ASSERT_GE(walk.count, 2u);
    EXPECT_EQ(namesOf(walk, 2), (std::vector<std::string>{"qvtest_thread_parked", "qvtest_thread_parked_caller"}));
    EXPECT_NE(err, QVFRAME_ESUCCESS);
}

TEST(QVFrameCursor, FirstStepYieldsTheInitialStateUnchecked) {
    qvcrash_async_thread_state_t state = stateAt(0, 0);
    qvframe_cursor_t cursor;
    ASSERT_EQ(MSqvframe_cursor_init(&cursor, crash::taskSelf(), &state, nullptr), QVFRAME_ESUCCESS);
    EXPECT_EQ(cursor.depth, 0u);
    ASSERT_EQ(MSqvframe_cursor_next(&cursor), QVFRAME_ESUCCESS);
    EXPECT_EQ(cursor.depth, 1u);
    EXPECT_EQ(std::memcmp(&cursor.frame, &state, sizeof(state)), 0);
    uint64_t value = 1;
    EXPECT_EQ(MSqvframe_cursor_get_reg(&cursor, QVCRASH_REG_IP, &value), QVFRAME_ESUCCESS);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(MSqvframe_cursor_get_reg(&cursor, QVCRASH_X86_64_RAX, &value), QVFRAME_ENOTSUP);
    EXPECT_EQ(MSqvframe_cursor_get_regcount(&cursor), 21u);
    EXPECT_STREQ(MSqvframe_cursor_get_regname(&cursor, QVCRASH_REG_SP), "rsp");
    // A zero frame pointer ends the chain.
    EXPECT_EQ(MSqvframe_cursor_next(&cursor), QVFRAME_ENOFRAME);

    // Without readers only the first step succeeds.
    MSqvframe_cursor_init(&cursor, crash::taskSelf(), &state, nullptr);
    EXPECT_EQ(MSqvframe_cursor_next_with_readers(&cursor, nullptr, 0), QVFRAME_ESUCCESS);
    EXPECT_EQ(MSqvframe_cursor_next_with_readers(&cursor, nullptr, 0), QVFRAME_EINVAL);
    MSqvframe_cursor_free(&cursor);
}

TEST(QVFrameCursor, FramePointerChainGivesOnlyFrameAndInstructionPointers) {
    FakeStack stack;
    stack.link(0, stack.frame(1), 0x1001);
    stack.link(1, stack.frame(1), 0x2000);  // a frame that points at itself
    stack.link(2, 0, 0x1000);
    qvcrash_async_thread_state_t state = stateAt(0x5000, stack.frame(0));
    qvframe_cursor_t cursor;
    MSqvframe_cursor_init(&cursor, crash::taskSelf(), &state, nullptr);
    ASSERT_EQ(MSqvframe_cursor_next(&cursor), QVFRAME_ESUCCESS);
    ASSERT_EQ(MSqvframe_cursor_next(&cursor), QVFRAME_ESUCCESS);
    EXPECT_EQ(cursor.depth, 2u);
    uint64_t value = 0;
    EXPECT_EQ(MSqvframe_cursor_get_reg(&cursor, QVCRASH_REG_IP, &value), QVFRAME_ESUCCESS);
    EXPECT_EQ(value, 0x1001u);
    EXPECT_EQ(MSqvframe_cursor_get_reg(&cursor, QVCRASH_REG_FP, &value), QVFRAME_ESUCCESS);
    EXPECT_EQ(value, stack.frame(1));
    EXPECT_EQ(MSqvframe_cursor_get_reg(&cursor, QVCRASH_REG_SP, &value), QVFRAME_ENOTSUP);
    EXPECT_EQ(cursor.frame.valid_regs, (1u << QVCRASH_REG_IP) | (1u << QVCRASH_REG_FP));
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&cursor.prev_frame, QVCRASH_REG_IP), 0x5000u);

    // Frame 1's saved frame pointer is frame 1 itself: the chain would repeat it, so it ends.
    EXPECT_EQ(MSqvframe_cursor_next(&cursor), QVFRAME_EBADFRAME);
    // Mended, a new walk (a walk reads the stack as it was at its first read) goes on to frame 2.
    stack.link(1, stack.frame(2), 0x2000);
    MSqvframe_cursor_init(&cursor, crash::taskSelf(), &state, nullptr);
    ASSERT_EQ(MSqvframe_cursor_next(&cursor), QVFRAME_ESUCCESS);
    ASSERT_EQ(MSqvframe_cursor_next(&cursor), QVFRAME_ESUCCESS);
    ASSERT_EQ(MSqvframe_cursor_next(&cursor), QVFRAME_ESUCCESS);
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&cursor.frame, QVCRASH_REG_IP), 0x2000u);
    EXPECT_EQ(MSqvframe_cursor_next(&cursor), QVFRAME_ENOFRAME);  // its return address is 0x1000
    EXPECT_EQ(MSqvcrash_async_thread_state_get_reg(&cursor.frame, QVCRASH_REG_FP), stack.frame(2));

    // With an image list, a return address outside every image ends the walk normally.
    stack.link(0, stack.frame(1), 0x1001);
    state = stateAt(0x5000, stack.frame(0));
    MSqvframe_cursor_init(&cursor, crash::taskSelf(), &state, MSqvcrash_shared_image_list());
    ASSERT_EQ(MSqvframe_cursor_next(&cursor), QVFRAME_ESUCCESS);
    EXPECT_EQ(MSqvframe_cursor_next(&cursor), QVFRAME_ENOFRAME);
}

TEST(QVFrameCursor, CorruptFramesEndTheWalkWithAnError) {
    // A frame pointer that goes down the stack.
    FakeStack stack;
    stack.link(1, stack.frame(0), 0x3000);
    stack.link(0, 0, 0x4000);
    qvcrash_async_thread_state_t state = stateAt(0x5000, stack.frame(1));
    qvframe_cursor_t cursor;
    MSqvframe_cursor_init(&cursor, crash::taskSelf(), &state, nullptr);
    ASSERT_EQ(MSqvframe_cursor_next(&cursor), QVFRAME_ESUCCESS);
    EXPECT_EQ(MSqvframe_cursor_next(&cursor), QVFRAME_EBADFRAME);

    // A frame pointer into memory that is not mapped, or not readable.
    void* guard = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(guard, MAP_FAILED);
    for (uint64_t bad : {uint64_t(0x800000000000), reinterpret_cast<uint64_t>(guard)}) {
        state = stateAt(0x5000, bad);
        MSqvframe_cursor_init(&cursor, crash::taskSelf(), &state, nullptr);
        ASSERT_EQ(MSqvframe_cursor_next(&cursor), QVFRAME_ESUCCESS);
        EXPECT_EQ(MSqvframe_cursor_next(&cursor), QVFRAME_EBADFRAME);
    }
    ::munmap(guard, 4096);

    // A frame without a frame pointer.
    MSqvcrash_async_thread_state_clear_reg(&state, QVCRASH_REG_FP);
    MSqvframe_cursor_init(&cursor, crash::taskSelf(), &state, nullptr);
    ASSERT_EQ(MSqvframe_cursor_next(&cursor), QVFRAME_ESUCCESS);
    EXPECT_EQ(MSqvframe_cursor_next(&cursor), QVFRAME_EBADFRAME);

    EXPECT_STREQ(MSqvframe_strerror(QVFRAME_ENOFRAME), "No frames are available");
    EXPECT_STREQ(MSqvframe_strerror(QVFRAME_EBADFRAME), "Corrupted frame");
    EXPECT_STREQ(MSqvframe_strerror(static_cast<qvframe_error_t>(8)), "Unhandled error code");
}

// Overwrites its own saved frame pointer with an address above the stack that is never mapped,
// walks, and puts the word back before it returns.
extern "C" [[gnu::noinline]] void qvtest_walk_corrupted(Walk* walk) {
    auto* savedFp = static_cast<uint64_t*>(__builtin_frame_address(0));
    const uint64_t original = *savedFp;
    *reinterpret_cast<volatile uint64_t*>(savedFp) = 0x7ffffffff800ull;  // the last user page, never mapped
    MSqvcrash_async_thread_state_current(walkCurrent, walk);
    *reinterpret_cast<volatile uint64_t*>(savedFp) = original;
    asm volatile("" ::: "memory");
}
extern "C" [[gnu::noinline]] void qvtest_walk_corrupted_caller(Walk* walk) {
    qvtest_walk_corrupted(walk);
    asm volatile("");
}

TEST(QVFrameCursor, CorruptedSavedFramePointerOnTheRealStackEndsTheWalk) {
    Walk walk;
    qvtest_walk_corrupted_caller(&walk);
    // Frame 0 is in the corrupting function, frame 1 in its caller (the return address is
    // intact); the caller's frame pointer points nowhere.
    ASSERT_EQ(walk.count, 2u);
    EXPECT_EQ(namesOf(walk, 2), (std::vector<std::string>{"qvtest_walk_corrupted", "qvtest_walk_corrupted_caller"}));
    EXPECT_EQ(walk.end, QVFRAME_EBADFRAME);
}

namespace {

const Marker* gMarker = nullptr;

// Reads the crashed thread from the signal context and writes one line per frame:
// "<ip in hex>\n", then "end <code> trap <n> addr <hex>\n". Async-signal-safe.
bool walkingCallback(int, siginfo_t*, ucontext_t* uap, void*, qvcrash_signal_handler_callback*) {
    qvcrash_async_thread_state_t state;
    MSqvcrash_async_thread_state_mcontext_init(&state, &uap->uc_mcontext);
    qvframe_cursor_t cursor;
    MSqvframe_cursor_init(&cursor, crash::taskSelf(), &state, MSqvcrash_shared_image_list());
    char line[96];
    qvframe_error_t err;
    int frames = 0;
    while ((err = MSqvframe_cursor_next(&cursor)) == QVFRAME_ESUCCESS && frames++ < 64) {
        uint64_t ip = 0;
        MSqvframe_cursor_get_reg(&cursor, QVCRASH_REG_IP, &ip);
        qvcrash_async_format(line, sizeof(line), "%llx\n", static_cast<unsigned long long>(ip));
        gMarker->append(line);
    }
    MSqvframe_cursor_free(&cursor);
    qvcrash_async_format(line, sizeof(line), "end %u trap %u addr %llx\n", static_cast<unsigned>(err),
                         static_cast<unsigned>(state.x86_exc_state.ues.es64.trapno),
                         static_cast<unsigned long long>(state.x86_exc_state.ues.es64.faultvaddr));
    gMarker->append(line);
    return false;
}

}  // namespace

extern "C" void qvtest_not_a_leaf();

extern "C" [[gnu::noinline]] void qvtest_crash_level3(int value) {
    qvtest_not_a_leaf();
    *reinterpret_cast<volatile int*>(uintptr_t(0x10)) = value;
    asm volatile("");
}
extern "C" [[gnu::noinline]] void qvtest_crash_level2(int value) {
    qvtest_crash_level3(value + 1);
    asm volatile("");
}
extern "C" [[gnu::noinline]] void qvtest_crash_level1(int value) {
    qvtest_crash_level2(value + 1);
    asm volatile("");
}

TEST(QVFrameCursor, CrashedThreadIsWalkedFromItsSignalContext) {
    Marker marker("frame-walk");
    gMarker = &marker;
    auto child = runInChild([] {
        auto reporter = MSCrashReporter::initWithApplicationIdentifier("walking.app", "42", std::string("1.2"));
        if (!reporter->enableCrashReporter()) return 2;
        MSCrashSignalHandler::sharedHandler()->registerHandlerForSignal(SIGSEGV, walkingCallback, nullptr);
        qvtest_crash_level1(1);
        return 0;
    });
    ASSERT_TRUE(child.signaled) << child.describe();
    EXPECT_EQ(child.signal, SIGSEGV);

    // The child was forked from this process, so its code lies at the same addresses.
    std::vector<uint64_t> ips;
    std::string endLine;
    std::string text = marker.read();
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) break;
        std::string line = text.substr(start, nl - start);
        start = nl + 1;
        if (line.rfind("end ", 0) == 0) {
            endLine = line;
        } else {
            ips.push_back(std::stoull(line, nullptr, 16));
        }
    }
    ASSERT_GE(ips.size(), 3u) << text;
    EXPECT_EQ(symbolAt(ips[0]), "qvtest_crash_level3");
    EXPECT_EQ(symbolAt(ips[1]), "qvtest_crash_level2");
    EXPECT_EQ(symbolAt(ips[2]), "qvtest_crash_level1");
    // A page fault (trap 14) at the address written.
    EXPECT_NE(endLine.find("trap 14 addr 10"), std::string::npos) << endLine;
    EXPECT_EQ(endLine.rfind("end 0", 0), std::string::npos) << endLine;
}
