#include "platform/crash/Threads.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/futex.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace quorvane::platform::crash {

namespace {

// One slot per stopped thread. word = thread id << 8 | phase, 0 when free; the phase moves
// free -> requested (suspender) -> copying -> stopped (thread) -> resuming (suspender) -> free
// (thread). The thread id in the same word keeps a late handler away from a slot that was
// given up and taken again for another thread.
enum Phase : uint32_t { kRequested = 1, kCopying = 2, kStopped = 3, kResuming = 4 };

struct Slot {
    std::atomic<uint32_t> word{0};
    std::atomic<uint32_t> suspendCount{0};
    mcontext_t context{};
};

constexpr size_t kSlotCount = kMaxSuspendedThreads;
Slot gSlots[kSlotCount];
std::atomic<bool> gHandlerInstalled{false};

// Parking: while gParking holds a generation (not 0), a thread that takes the signal without a
// slot waiting for it stops until the generation ends. gParked counts the threads stopped so.
std::atomic<uint32_t> gParking{0};
std::atomic<uint32_t> gParkGeneration{0};
std::atomic<uint32_t> gParked{0};

static_assert(std::atomic<uint32_t>::is_always_lock_free);

uint32_t wordFor(thread_t thread, Phase phase) { return (static_cast<uint32_t>(thread) << 8) | phase; }

long futexWait(std::atomic<uint32_t>* word, uint32_t expected, const struct timespec* timeout) {
    return ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, timeout, nullptr, 0);
}

void futexWake(std::atomic<uint32_t>* word) {
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}

int64_t nowMs() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits while the word holds value, until deadlineMs (or forever when deadlineMs < 0).
// False when the deadline passed with the value unchanged.
bool waitWhile(std::atomic<uint32_t>* word, uint32_t value, int64_t deadlineMs) {
    while (word->load(std::memory_order_acquire) == value) {
        if (deadlineMs < 0) {
            futexWait(word, value, nullptr);
            continue;
        }
        int64_t left = deadlineMs - nowMs();
        if (left <= 0) return word->load(std::memory_order_acquire) != value;
        struct timespec ts {};
        ts.tv_sec = left / 1000;
        ts.tv_nsec = (left % 1000) * 1000000;
        futexWait(word, value, &ts);
    }
    return true;
}

void suspendHandler(int, siginfo_t*, void* uap) {
    int savedErrno = errno;
    thread_t self = threadSelf();
    const uint32_t requested = wordFor(self, kRequested);
    for (Slot& slot : gSlots) {
        uint32_t expected = requested;
        if (!slot.word.compare_exchange_strong(expected, wordFor(self, kCopying), std::memory_order_acq_rel)) continue;
        const auto* uc = static_cast<const ucontext_t*>(uap);
        slot.context = uc->uc_mcontext;
        slot.context.fpregs = nullptr;
        slot.word.store(wordFor(self, kStopped), std::memory_order_release);
        futexWake(&slot.word);
        waitWhile(&slot.word, wordFor(self, kStopped), -1);
        // The suspender has set the resuming phase: hand the slot back.
        slot.word.store(0, std::memory_order_release);
        futexWake(&slot.word);
        errno = savedErrno;
        return;
    }
    if (gParking.load(std::memory_order_acquire) != 0) {
        gParked.fetch_add(1, std::memory_order_acq_rel);
        futexWake(&gParked);
        // Until no parking is under way: one that began meanwhile (a crash during a live report)
        // keeps the thread.
        for (uint32_t generation; (generation = gParking.load(std::memory_order_acquire)) != 0;) {
            futexWait(&gParking, generation, nullptr);
        }
        gParked.fetch_sub(1, std::memory_order_acq_rel);
    }
    errno = savedErrno;
}

bool installHandler() {
    if (gHandlerInstalled.load(std::memory_order_acquire)) return true;
    struct sigaction sa {};
    sa.sa_sigaction = suspendHandler;
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    if (::sigaction(suspendSignal(), &sa, nullptr) != 0) return false;
    gHandlerInstalled.store(true, std::memory_order_release);
    return true;
}

Slot* stoppedSlot(thread_t thread) {
    const uint32_t stopped = wordFor(thread, kStopped);
    for (Slot& slot : gSlots) {
        if (slot.word.load(std::memory_order_acquire) == stopped) return &slot;
    }
    return nullptr;
}

// Appends the decimal digits of value to buf at n.
size_t appendNumber(char* buf, size_t n, unsigned long value) {
    char digits[24];
    int d = 0;
    do {
        digits[d++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (d > 0) buf[n++] = digits[--d];
    return n;
}

struct LinuxDirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

}  // namespace

int suspendSignal() { return SIGRTMAX - 3; }

namespace {

// Reads /proc/<this process>/task/<thread>/status into buf (NUL-terminated, cut at capacity - 1);
// its length, 0 when it cannot be read.
size_t readThreadStatus(thread_t thread, char* buf, size_t capacity) {
    char path[64];
    size_t n = 0;
    for (const char* p = "/proc/"; *p; ++p) path[n++] = *p;
    n = appendNumber(path, n, static_cast<unsigned long>(taskSelf()));
    for (const char* p = "/task/"; *p; ++p) path[n++] = *p;
    n = appendNumber(path, n, static_cast<unsigned long>(thread));
    for (const char* p = "/status"; *p; ++p) path[n++] = *p;
    path[n] = '\0';

    size_t len = 0;
    int fd = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
    if (fd >= 0) {
        for (;;) {
            long got = ::syscall(SYS_read, fd, buf + len, capacity - 1 - len);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            len += static_cast<size_t>(got);
            if (len == capacity - 1) break;
        }
        ::close(fd);
    }
    buf[len] = '\0';
    return len;
}

// The value of a status line ("\nKey:"), blanks skipped; null when the line is not there.
const char* statusField(const char* buf, size_t len, const char* key) {
    size_t keyLength = 0;
    while (key[keyLength] != '\0') ++keyLength;
    for (size_t i = 0; i + keyLength <= len; ++i) {
        size_t k = 0;
        while (k < keyLength && buf[i + k] == key[k]) ++k;
        if (k != keyLength) continue;
        const char* c = buf + i + k;
        while (*c == ' ' || *c == '\t') ++c;
        return c;
    }
    return nullptr;
}

// True when the process's first thread has ended while others run on (a zombie until the last
// one ends): it is still listed, but can be neither stopped nor read.
bool leaderHasEnded(task_t task) {
    if (task != taskSelf() || threadSelf() == task) return false;
    char buf[512];
    const size_t len = readThreadStatus(task, buf, sizeof buf);
    const char* state = statusField(buf, len, "\nState:");
    return state != nullptr && (*state == 'Z' || *state == 'X');
}

// Calls visit(id, context) for every thread of the task (from /proc/<task>/task), without
// allocation; a first thread that has ended while others run is left out. False when the folder
// cannot be read.
bool forEachThread(task_t task, void (*visit)(thread_t, void*), void* context) {
    char path[48];
    size_t n = 0;
    for (const char* p = "/proc/"; *p; ++p) path[n++] = *p;
    n = appendNumber(path, n, static_cast<unsigned long>(task));
    for (const char* p = "/task"; *p; ++p) path[n++] = *p;
    path[n] = '\0';

    int fd = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd < 0) return false;
    const bool leaderEnded = leaderHasEnded(task);
    alignas(8) char buf[2048];
    for (;;) {
        long got = ::syscall(SYS_getdents64, fd, buf, sizeof(buf));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ::close(fd);
            return false;
        }
        if (got == 0) break;
        for (long offset = 0; offset < got;) {
            const auto* entry = reinterpret_cast<const LinuxDirent64*>(buf + offset);
            offset += entry->d_reclen;
            long id = 0;
            const char* c = entry->d_name;
            if (*c < '0' || *c > '9') continue;  // "." and ".."
            for (; *c >= '0' && *c <= '9'; ++c) id = id * 10 + (*c - '0');
            if (leaderEnded && id == task) continue;
            visit(static_cast<thread_t>(id), context);
        }
    }
    ::close(fd);
    return true;
}

}  // namespace

KernReturn listThreads(task_t task, thread_t* threads, size_t capacity, size_t* count) {
    struct Listing {
        thread_t* threads;
        size_t capacity;
        size_t found;
    } listing = {threads, capacity, 0};
    const bool listed = forEachThread(
        task,
        [](thread_t id, void* context) {
            auto* l = static_cast<Listing*>(context);
            if (l->found < l->capacity) l->threads[l->found] = id;
            ++l->found;
        },
        &listing);
    if (!listed) return kKernFailure;
    if (count) *count = listing.found;
    return kKernSuccess;
}

uint32_t parkUnlistedThreads(const thread_t* listed, size_t count) {
    if (!installHandler()) return 0;
    uint32_t generation = gParkGeneration.fetch_add(1, std::memory_order_acq_rel) + 1;
    if (generation == 0) generation = gParkGeneration.fetch_add(1, std::memory_order_acq_rel) + 1;
    gParking.store(generation, std::memory_order_release);

    struct Round {
        const thread_t* listed;
        size_t count;
        thread_t self;
        task_t task;
        uint32_t asked;
    };
    const int64_t deadline = nowMs() + kSuspendTimeoutMs;
    for (;;) {
        // Every thread not held by a slot is asked (again: one already parked has the signal
        // blocked, so asking it once more only leaves the signal pending until it is let go).
        Round round = {listed, count, threadSelf(), taskSelf(), 0};
        const bool seen = forEachThread(
            round.task,
            [](thread_t id, void* context) {
                auto* r = static_cast<Round*>(context);
                if (id == r->self) return;
                for (size_t i = 0; i < r->count; ++i) {
                    if (r->listed[i] == id) return;
                }
                if (::syscall(SYS_tgkill, r->task, id, suspendSignal()) == 0) ++r->asked;
            },
            &round);
        if (!seen) break;
        uint32_t parked = gParked.load(std::memory_order_acquire);
        // All of them were stopped before this round asked: none was started meanwhile.
        if (parked >= round.asked) break;
        while (parked < round.asked) {
            const int64_t left = deadline - nowMs();
            if (left <= 0) break;
            struct timespec ts {};
            ts.tv_sec = left / 1000;
            ts.tv_nsec = (left % 1000) * 1000000;
            futexWait(&gParked, parked, &ts);
            parked = gParked.load(std::memory_order_acquire);
        }
        if (parked < round.asked) break;  // out of time: one blocks the signal, or is ending
    }
    return generation;
}

void releaseParkedThreads(uint32_t parking) {
    // Only the parking this caller began: a later one (a crash meanwhile) keeps the threads.
    if (parking == 0 || !gParking.compare_exchange_strong(parking, 0, std::memory_order_acq_rel)) return;
    futexWake(&gParking);
}

namespace {

enum class Request { kHeld, kSent, kFailed };

// The first half of a suspension: a thread already stopped gets one more hold; any other gets a
// slot in the requested phase and the signal.
// True when some slot is taken for the thread: it is being stopped, is stopped or is leaving the
// handler (where the signal is blocked only while the handler runs).
bool hasSlot(thread_t thread) {
    for (Slot& slot : gSlots) {
        const uint32_t word = slot.word.load(std::memory_order_acquire);
        if (word != 0 && (word >> 8) == static_cast<uint32_t>(thread)) return true;
    }
    return false;
}

Request requestSuspension(thread_t thread, Slot** out) {
    if (thread <= 0 || thread == threadSelf() || static_cast<uint32_t>(thread) >= (1u << 24)) return Request::kFailed;
    if (Slot* stopped = stoppedSlot(thread)) {
        // Only while a suspension is still held: once the count has dropped to 0 the thread is
        // on its way out of the handler, and a fresh request stops it again when it has left.
        uint32_t held = stopped->suspendCount.load(std::memory_order_acquire);
        while (held > 0) {
            if (stopped->suspendCount.compare_exchange_weak(held, held + 1, std::memory_order_acq_rel)) {
                return Request::kHeld;
            }
        }
    }
    if (!installHandler()) return Request::kFailed;

    const uint32_t requested = wordFor(thread, kRequested);
    Slot* slot = nullptr;
    for (Slot& candidate : gSlots) {
        uint32_t expected = 0;
        if (candidate.word.compare_exchange_strong(expected, requested, std::memory_order_acq_rel)) {
            slot = &candidate;
            break;
        }
    }
    if (slot == nullptr) return Request::kFailed;
    slot->suspendCount.store(1, std::memory_order_release);

    if (::syscall(SYS_tgkill, taskSelf(), thread, suspendSignal()) != 0) {
        slot->word.store(0, std::memory_order_release);
        return Request::kFailed;
    }
    *out = slot;
    return Request::kSent;
}

// The second half: waits for the thread to stop until the deadline; false (and the request
// withdrawn) when it did not.
bool awaitSuspension(thread_t thread, Slot* slot, int64_t deadlineMs) {
    const uint32_t requested = wordFor(thread, kRequested);
    if (!waitWhile(&slot->word, requested, deadlineMs)) {
        uint32_t expected = requested;
        if (slot->word.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) return false;
        // The thread took the request at the last moment: it is about to stop.
    }
    waitWhile(&slot->word, wordFor(thread, kCopying), -1);
    return true;
}

}  // namespace

bool threadBlocksSignal(thread_t thread, int signo) {
    if (signo <= 0 || signo > 64) return false;
    char buf[4096];
    const size_t len = readThreadStatus(thread, buf, sizeof buf);
    const char* value = statusField(buf, len, "\nSigBlk:");
    if (value == nullptr) return false;
    uint64_t mask = 0;
    for (const char* c = value;; ++c) {
        int digit;
        if (*c >= '0' && *c <= '9') digit = *c - '0';
        else if (*c >= 'a' && *c <= 'f') digit = *c - 'a' + 10;
        else if (*c >= 'A' && *c <= 'F') digit = *c - 'A' + 10;
        else break;
        mask = (mask << 4) | static_cast<uint64_t>(digit);
    }
    return (mask >> (signo - 1)) & 1;
}

KernReturn suspendThread(thread_t thread) {
    Slot* slot = nullptr;
    switch (requestSuspension(thread, &slot)) {
        case Request::kHeld: return kKernSuccess;
        case Request::kFailed: return kKernFailure;
        case Request::kSent: break;
    }
    return awaitSuspension(thread, slot, nowMs() + kSuspendTimeoutMs) ? kKernSuccess : kKernFailure;
}

size_t suspendThreads(const thread_t* threads, size_t count, bool* suspended) {
    // Every request goes out first, so the threads stop side by side and a slow one costs the
    // deadline once, not once per thread. A thread that blocks the signal is asked too (it may
    // block it only for a moment, as a thread starting another does), but waited for only
    // briefly.
    Slot* slots[kMaxSuspendedThreads];
    bool blocks[kMaxSuspendedThreads];
    size_t stopped = 0;
    const int64_t start = nowMs();
    for (size_t i = 0; i < count; ++i) {
        suspended[i] = false;
        if (i >= kMaxSuspendedThreads) continue;
        slots[i] = nullptr;
        // Inside the handler (a suspension under way) the signal is blocked too: that is no sign.
        blocks[i] = threads[i] > 0 && !hasSlot(threads[i]) && threadBlocksSignal(threads[i], suspendSignal());
        switch (requestSuspension(threads[i], &slots[i])) {
            case Request::kHeld:
                suspended[i] = true;
                ++stopped;
                break;
            case Request::kFailed: break;
            case Request::kSent: break;
        }
    }
    for (size_t i = 0; i < count && i < kMaxSuspendedThreads; ++i) {
        if (slots[i] == nullptr || suspended[i]) continue;
        const int64_t deadline = start + (blocks[i] ? kBlockedSuspendTimeoutMs : kSuspendTimeoutMs);
        suspended[i] = awaitSuspension(threads[i], slots[i], deadline);
        if (suspended[i]) ++stopped;
    }
    return stopped;
}

KernReturn resumeThread(thread_t thread) {
    Slot* slot = stoppedSlot(thread);
    if (slot == nullptr) return kKernFailure;
    uint32_t held = slot->suspendCount.load(std::memory_order_acquire);
    do {
        if (held == 0) return kKernFailure;  // released by another caller meanwhile
    } while (!slot->suspendCount.compare_exchange_weak(held, held - 1, std::memory_order_acq_rel));
    if (held > 1) return kKernSuccess;
    const uint32_t resuming = wordFor(thread, kResuming);
    slot->word.store(resuming, std::memory_order_release);
    futexWake(&slot->word);
    // Wait until the thread has handed the slot back, so that a suspension that follows at
    // once finds it running again.
    waitWhile(&slot->word, resuming, nowMs() + kSuspendTimeoutMs);
    return kKernSuccess;
}

KernReturn threadMachineContext(thread_t thread, mcontext_t* context) {
    if (thread == threadSelf()) return kKernFailure;
    if (Slot* slot = stoppedSlot(thread)) {
        *context = slot->context;
        return kKernSuccess;
    }
    KernReturn kr = suspendThread(thread);
    if (kr != kKernSuccess) return kr;
    Slot* slot = stoppedSlot(thread);
    if (slot) *context = slot->context;
    resumeThread(thread);
    return slot ? kKernSuccess : kKernFailure;
}

bool holdProcessExit() {
    // exit_group, execve and execveat fail from now on, for every thread, on both system call
    // tables of the machine (and the x32 one, told by a bit of the number). Nothing else changes.
    constexpr uint32_t kX32Bit = 0x40000000;
    constexpr uint32_t kDenied = SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA);
    const struct sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 8),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, ~kX32Bit),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 231, 11, 0),  // exit_group
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 59, 10, 0),   // execve
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 322, 9, 0),   // execveat
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 520, 8, 0),   // execve (x32)
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 545, 7, 0),   // execveat (x32)
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_I386, 0, 4),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 252, 3, 0),  // exit_group
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 11, 2, 0),   // execve
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 358, 1, 0),  // execveat
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, kDenied),
    };
    const struct sock_fprog filter = {static_cast<unsigned short>(sizeof program / sizeof program[0]),
                                      const_cast<struct sock_filter*>(program)};
    // Without privileges a filter needs this flag (which only keeps later executions from gaining
    // privileges: there are none once the filter is in place).
    if (::syscall(SYS_prctl, PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    return ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &filter) == 0;
}

}  // namespace quorvane::platform::crash
