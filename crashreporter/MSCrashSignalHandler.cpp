#include "crashreporter/MSCrashSignalHandler.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "crashreporter/QVCrashAsync.h"
#include "crashreporter/QVCrashAsyncList.h"

namespace quorvane {

using qvcrash::MS::async::async_list;

namespace {

// Process-wide lists, never destroyed before exit (a late signal may still read them);
// their nodes are freed at exit by the holder below.
async_list<qvcrash_signal_callback>& callbackList() {
    static auto* list = new async_list<qvcrash_signal_callback>();
    return *list;
}
async_list<qvcrash_previous_action>& previousActionList() {
    static auto* list = new async_list<qvcrash_previous_action>();
    return *list;
}

struct ListsAtExit {
    ~ListsAtExit() {
        previousActionList().free_all();
        callbackList().free_all();
    }
};

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
        static ListsAtExit freeAtExit;
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
void fail(platform::Error* error, int err, const char* description) {
    if (!error) return;
    platform::Error e("QVCrashReporterErrorDomain", 1);
    e.userInfo.set(platform::Error::kLocalizedDescriptionKey, description);
    platform::Error underlying = platform::posixError(err);
    e.userInfo.set(platform::Error::kUnderlyingErrorKey,
                   platform::Value::dictionary({{"domain", platform::Value(underlying.domain)},
                                                {"code", platform::Value(underlying.code)},
                                                {"userInfo", underlying.userInfo}}));
    *error = e;
}
}  // namespace

bool MSCrashSignalHandler::registerHandlerWithSignal(int signo, platform::Error* error) {
    std::lock_guard<std::mutex> guard(registrationMutex());

    if (::sigaltstack(&_sigstk, nullptr) != 0) {
        fail(error, errno, "Could not initialize alternative signal stack");
        return false;
    }

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
    if (installed) return true;

    struct sigaction sa {};
    sa.sa_sigaction = qvcrash_signal_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_ONSTACK | SA_SIGINFO;
    qvcrash_previous_action entry{};
    entry.signo = signo;
    if (::sigaction(signo, &sa, &entry.action) != 0) {
        fail(error, errno, "Failed to register signal handler");
        return false;
    }
    previous.nasync_append(entry);
    return true;
}

bool MSCrashSignalHandler::registerHandlerForSignal(int signo, qvcrash_signal_handler_callback_func callback,
                                                    void* context, platform::Error* error) {
    if (!registerHandlerWithSignal(signo, error)) return false;
    callbackList().nasync_prepend({callback, context});
    return true;
}

void MSCrashSignalHandler::resetHandlers() {
    std::lock_guard<std::mutex> guard(registrationMutex());
    {
        auto& list = previousActionList();
        list.set_reading(true);
        auto* n = list.next(nullptr);
        list.set_reading(false);
        while (n != nullptr) {
            list.nasync_remove_node(n);
            list.set_reading(true);
            n = list.next(nullptr);
            list.set_reading(false);
        }
    }
    {
        auto& list = callbackList();
        list.set_reading(true);
        auto* n = list.next(nullptr);
        list.set_reading(false);
        while (n != nullptr) {
            list.nasync_remove_node(n);
            list.set_reading(true);
            n = list.next(nullptr);
            list.set_reading(false);
        }
    }
}

}  // namespace quorvane
