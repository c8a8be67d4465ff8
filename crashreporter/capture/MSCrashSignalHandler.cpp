#include "crashreporter/capture/MSCrashSignalHandler.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "crashreporter/capture/QVCrashAsync.h"
#include "crashreporter/capture/QVCrashAsyncList.h"
#include "platform/crash/ProcessHooks.h"
#include "platform/crash/TaskMapping.h"
#include "platform/crash/Threads.h"

namespace quorvane {

using qvcrash::MS::async::async_list;

namespace {

// Process-wide lists, never destroyed nor emptied at exit: a crash during exit (in a static
// destructor, in exit work of any age, with other threads still running) is reported like any
// other, so the signal path must find them whole until the process is gone.
async_list<qvcrash_signal_callback>& callbackList() {
    static auto* list = new async_list<qvcrash_signal_callback>();
    return *list;
}
async_list<qvcrash_previous_action>& previousActionList() {
    static auto* list = new async_list<qvcrash_previous_action>();
    return *list;
}

std::mutex& registrationMutex() {
    static std::mutex m;
    return m;
}

// Runs the entry after `previous` (or the head when previous is null).
bool internal_callback_iterator(int signo, siginfo_t* info, ucontext_t* uap, void* context) {
    auto& list = callbackList();
    auto* previous = static_cast<async_list<qvcrash_signal_callback>::node*>(context);
    list.set_reading(true);
    auto* entry = list.next(previous);
    if (entry == nullptr) {
        list.set_reading(false);
        return false;
    }
    qvcrash_signal_handler_callback nextHandler = {internal_callback_iterator, entry};
    bool hasNext = list.next(entry) != nullptr;
    qvcrash_signal_callback cb = entry->value();
    bool handled = cb.callback(signo, info, uap, cb.context, hasNext ? &nextHandler : nullptr);
    list.set_reading(false);
    return handled;
}

void qvcrash_signal_handler(int signo, siginfo_t* info, void* uapVoid) {
    // A handled signal returns to the interrupted code, which must find errno as it left it.
    int savedErrno = errno;
    bool handled = internal_callback_iterator(signo, info, static_cast<ucontext_t*>(uapVoid), nullptr);
    if (!handled) {
        // Nobody handled it: the signal takes its default action. With this handler still
        // installed, the raised signal (or the faulting instruction, once resumed) would come
        // straight back here and the process would spin instead of ending.
        struct sigaction sa;
        qvcrash_async_memset(&sa, 0, sizeof(sa));
        sa.sa_handler = SIG_DFL;
        sigemptyset(&sa.sa_mask);
        ::sigaction(signo, &sa, nullptr);
        ::raise(signo);
    }
    errno = savedErrno;
}

// The last entries of the chain: the action that was installed before the engine's.
bool previous_action_callback(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                              qvcrash_signal_handler_callback* next) {
    if (next != nullptr && qvcrash_signal_handler_forward(next, signo, info, uap)) return true;

    auto& list = previousActionList();
    list.set_reading(true);
    bool found = false;
    struct sigaction action {};
    for (auto* n = list.next(nullptr); n != nullptr; n = list.next(n)) {
        qvcrash_previous_action prev = n->value();
        if (prev.signo == signo) {
            action = prev.action;
            found = true;
            break;
        }
    }
    list.set_reading(false);
    if (!found) return false;

    if (action.sa_flags & SA_SIGINFO) {
        action.sa_sigaction(signo, info, uap);
        return true;
    }
    if (action.sa_handler == SIG_IGN) return true;
    if (action.sa_handler == SIG_DFL) return false;
    action.sa_handler(signo);
    return true;
}

}  // namespace

bool qvcrash_signal_handler_forward(qvcrash_signal_handler_callback* next, int signo, siginfo_t* info,
                                    ucontext_t* uap) {
    if (next == nullptr) return false;
    return next->callback(signo, info, uap, next->context);
}

MSCrashSignalHandler::MSCrashSignalHandler(Token) {}

std::shared_ptr<MSCrashSignalHandler> MSCrashSignalHandler::sharedHandler() {
    static std::shared_ptr<MSCrashSignalHandler> shared = [] {
        auto handler = std::make_shared<MSCrashSignalHandler>(Token{});
        // Allocated once, never released: a signal may arrive at any time until exit.
        void* stack = std::malloc(kAlternateStackSize);
        if (stack == nullptr) return std::shared_ptr<MSCrashSignalHandler>();
        static void* const keptUntilExit = stack;  // still reachable after the handler is gone
        (void)keptUntilExit;
        handler->_sigstk.ss_sp = stack;
        handler->_sigstk.ss_size = kAlternateStackSize;
        handler->_sigstk.ss_flags = 0;
        return handler;
    }();
    return shared;
}

namespace {
platform::Error failure(int err, const char* description) {
    platform::Error e("QVCrashReporterErrorDomain", 1);
    e.userInfo.set(platform::Error::kLocalizedDescriptionKey, description);
    platform::Error underlying = platform::posixError(err);
    e.userInfo.set(platform::Error::kUnderlyingErrorKey,
                   platform::Value::dictionary({{"domain", platform::Value(underlying.domain)},
                                                {"code", platform::Value(underlying.code)},
                                                {"userInfo", underlying.userInfo}}));
    return e;
}
}  // namespace

platform::Result<void> MSCrashSignalHandler::registerHandlerWithSignal(int signo) {
    std::lock_guard<std::mutex> guard(registrationMutex());

    if (::sigaltstack(&_sigstk, nullptr) != 0) return failure(errno, "Could not initialize alternative signal stack");

    // A forwarder passes control on first and acts only when everything after it declined,
    // so one more at the end changes nothing in how the chain behaves.
    callbackList().nasync_append({previous_action_callback, nullptr});

    auto& previous = previousActionList();
    previous.set_reading(true);
    bool installed = false;
    for (auto* n = previous.next(nullptr); n != nullptr; n = previous.next(n)) {
        if (n->value().signo == signo) {
            installed = true;
            break;
        }
    }
    previous.set_reading(false);
    if (installed) return {};

    struct sigaction sa {};
    sa.sa_sigaction = qvcrash_signal_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_ONSTACK | SA_SIGINFO;
    qvcrash_previous_action entry{};
    entry.signo = signo;
    if (::sigaction(signo, &sa, &entry.action) != 0) return failure(errno, "Failed to register signal handler");
    previous.nasync_append(entry);
    return {};
}

platform::Result<void> MSCrashSignalHandler::registerHandlerForSignal(int signo,
                                                                      qvcrash_signal_handler_callback_func callback,
                                                                      void* context) {
    if (auto registered = registerHandlerWithSignal(signo); !registered) return registered;
    callbackList().nasync_prepend({callback, context});
    return {};
}

// ---- an alternate stack on every thread ----

namespace {

// One thread's own alternate stack: a guard page, the stack, and a page holding this record.
struct ThreadAlternateStack {
    void* mapping;
    size_t length;
    void* stack;
    stack_t previous;  // the one it replaced, restored when the thread ends
};

pthread_key_t gAlternateStackKey;
std::atomic<uint32_t> gAlternateStackAcks{0};

// Gives the calling thread its own alternate stack unless it has one large enough. Only system
// calls: safe in a signal handler. Null when the thread keeps what it has.
ThreadAlternateStack* installThreadAlternateStack() {
    stack_t current;
    if (::sigaltstack(nullptr, &current) != 0) return nullptr;
    if (!(current.ss_flags & SS_DISABLE) && current.ss_size >= MSCrashSignalHandler::kAlternateStackSize) {
        return nullptr;
    }
    const size_t page = quorvane::platform::crash::pageSize();
    const size_t length = page + MSCrashSignalHandler::kAlternateStackSize + page;
    void* mapping = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return nullptr;
    ::mprotect(mapping, page, PROT_NONE);  // an overflowing handler faults instead of running on
    auto* record = reinterpret_cast<ThreadAlternateStack*>(static_cast<char*>(mapping) + length - page);
    record->mapping = mapping;
    record->length = length;
    record->stack = static_cast<char*>(mapping) + page;
    record->previous = current;
    stack_t ours = {};
    ours.ss_sp = record->stack;
    ours.ss_size = MSCrashSignalHandler::kAlternateStackSize;
    ours.ss_flags = 0;
    if (::sigaltstack(&ours, nullptr) != 0) {
        ::munmap(mapping, length);
        return nullptr;
    }
    return record;
}

// At the end of a thread started after installing: puts back what the thread had and frees the
// stack, unless somebody else has replaced it meanwhile.
void releaseThreadAlternateStack(void* value) {
    auto* record = static_cast<ThreadAlternateStack*>(value);
    stack_t current;
    if (::sigaltstack(nullptr, &current) != 0 || current.ss_sp != record->stack || (current.ss_flags & SS_ONSTACK)) {
        return;
    }
    stack_t restore = record->previous;
    if (restore.ss_flags & SS_DISABLE) {
        restore = {};
        restore.ss_flags = SS_DISABLE;
    }
    if (::sigaltstack(&restore, nullptr) == 0) ::munmap(record->mapping, record->length);
}

void threadStarted() {
    if (ThreadAlternateStack* record = installThreadAlternateStack()) {
        ::pthread_setspecific(gAlternateStackKey, record);
    }
}

void alternateStackRequested(int, siginfo_t*, void* uap) {
    const int savedErrno = errno;
    if (ThreadAlternateStack* record = installThreadAlternateStack()) {
        // Returning from a handler puts back the alternate stack the thread had when the signal
        // came, from the saved context: make that ours.
        auto* context = static_cast<ucontext_t*>(uap);
        context->uc_stack.ss_sp = record->stack;
        context->uc_stack.ss_size = MSCrashSignalHandler::kAlternateStackSize;
        context->uc_stack.ss_flags = 0;
    }
    gAlternateStackAcks.fetch_add(1, std::memory_order_acq_rel);
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&gAlternateStackAcks), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr,
              nullptr, 0);
    errno = savedErrno;
}

int64_t monotonicMs() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

int MSCrashSignalHandler::alternateStackSignal() { return SIGRTMAX - 4; }

void MSCrashSignalHandler::installAlternateStacksOnEveryThread() {
    static std::once_flag once;
    std::call_once(once, [] {
        namespace crash = quorvane::platform::crash;
        if (::pthread_key_create(&gAlternateStackKey, releaseThreadAlternateStack) == 0) {
            crash::setThreadStartHook(threadStarted);
        }

        struct sigaction sa {};
        sa.sa_sigaction = alternateStackRequested;
        sa.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&sa.sa_mask);
        if (::sigaction(alternateStackSignal(), &sa, nullptr) != 0) return;

        crash::thread_t threads[crash::kMaxSuspendedThreads];
        size_t total = 0;
        if (crash::listThreads(crash::taskSelf(), threads, crash::kMaxSuspendedThreads, &total) != crash::kKernSuccess) {
            return;
        }
        if (total > crash::kMaxSuspendedThreads) total = crash::kMaxSuspendedThreads;
        const crash::thread_t self = crash::threadSelf();
        uint32_t asked = 0;
        for (size_t i = 0; i < total; ++i) {
            if (threads[i] == self) continue;
            // A thread that blocks the signal now (one still starting up blocks them all) takes
            // it when it unblocks it; only the others are waited for.
            const bool blocks = crash::threadBlocksSignal(threads[i], alternateStackSignal());
            if (::syscall(SYS_tgkill, crash::taskSelf(), threads[i], alternateStackSignal()) == 0 && !blocks) ++asked;
        }
        // Wait for the answers, but not for long: a thread stuck with the signal masked inside
        // a handler of its own answers late or never.
        const int64_t deadline = monotonicMs() + crash::kSuspendTimeoutMs;
        for (uint32_t seen; (seen = gAlternateStackAcks.load(std::memory_order_acquire)) < asked;) {
            const int64_t left = deadline - monotonicMs();
            if (left <= 0) break;
            struct timespec ts = {static_cast<time_t>(left / 1000), static_cast<long>((left % 1000) * 1000000)};
            ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&gAlternateStackAcks), FUTEX_WAIT_PRIVATE, seen, &ts,
                      nullptr, 0);
        }
    });
}

void MSCrashSignalHandler::resetHandlers() {
    std::lock_guard<std::mutex> guard(registrationMutex());
    auto removeAll = [](auto& list) {
        list.set_reading(true);
        auto* n = list.next(nullptr);
        list.set_reading(false);
        while (n != nullptr) {
            list.nasync_remove_node(n);
            list.set_reading(true);
            n = list.next(nullptr);
            list.set_reading(false);
        }
    };
    removeAll(previousActionList());
    removeAll(callbackList());
}

}  // namespace quorvane
