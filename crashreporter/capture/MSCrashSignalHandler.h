#pragma once
// One process-wide signal handler per registered signal, run on a private alternate stack,
// dispatching every caught signal through a chain of callbacks. The chain ends in forwarder
// entries that hand the signal to whatever action was installed before the engine's.

#include <signal.h>
#include <ucontext.h>

#include <memory>

#include "platform/foundation/Error.h"

namespace quorvane {

// A callback's way on along the chain; null when it is the last entry.
struct qvcrash_signal_handler_callback {
    bool (*callback)(int signo, siginfo_t* info, ucontext_t* uap, void* context);
    void* context;
};

// A chain entry: returns true when the signal was handled.
using qvcrash_signal_handler_callback_func = bool (*)(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                                                      qvcrash_signal_handler_callback* next);

struct qvcrash_signal_callback {
    qvcrash_signal_handler_callback_func callback;
    void* context;
};

// The action that was installed for a signal before the engine's.
struct qvcrash_previous_action {
    int signo;
    struct sigaction action;
};

// Hands the signal to the next entry: false when there is none, else that entry's result.
bool qvcrash_signal_handler_forward(qvcrash_signal_handler_callback* next, int signo, siginfo_t* info,
                                    ucontext_t* uap);

// The fatal signals the crash reporter registers, in registration order.
inline constexpr int kQVCrashFatalSignals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP};
inline constexpr int kQVCrashFatalSignalCount = 6;

class MSCrashSignalHandler {
public:
    // The shared handler; null only when its alternate stack could not be allocated.
    static std::shared_ptr<MSCrashSignalHandler> sharedHandler();

    // Makes sure the engine's handler is installed for signo and that a forwarder entry
    // ends the chain; sets the calling thread's alternate stack. Set-up time, not crash time.
    platform::Result<void> registerHandlerWithSignal(int signo);
    // The same, then puts {callback, context} at the front of the chain.
    platform::Result<void> registerHandlerForSignal(int signo, qvcrash_signal_handler_callback_func callback,
                                                    void* context);

    // Empties the previous-action list and then the callback list. Installed actions stay.
    static void resetHandlers();

    // The alternate stack all registering threads use.
    const stack_t& alternateStack() const { return _sigstk; }

    // Gives every thread that has no alternate signal stack of at least kAlternateStackSize one
    // of its own, so that a stack overflow on any thread still reaches the handlers: threads
    // started from now on get one before their start routine runs (released when they end);
    // threads already running get one through a private real-time signal (kept until the
    // process ends). A running thread that blocks that signal gets its stack once it unblocks
    // it. Once per process; later calls do nothing.
    static void installAlternateStacksOnEveryThread();
    // The signal that asks a running thread to install its alternate stack.
    static int alternateStackSignal();

    static constexpr size_t kAlternateStackSize = 65536;

    MSCrashSignalHandler(const MSCrashSignalHandler&) = delete;
    MSCrashSignalHandler& operator=(const MSCrashSignalHandler&) = delete;

private:
    struct Token {};

public:
    explicit MSCrashSignalHandler(Token);

private:
    stack_t _sigstk{};
};

}  // namespace quorvane
