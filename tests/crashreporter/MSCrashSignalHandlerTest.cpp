// The signal handler chain, exercised in forked children so that the handlers installed here
// never reach the test process.

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <thread>

#include "crashreporter/capture/MSCrashSignalHandler.h"
#include "tests/crashreporter/CrashChild.h"

using quorvane::MSCrashSignalHandler;
using quorvane::qvcrash_signal_handler_callback;
using quorvane::test::Marker;
using quorvane::test::runInChild;

namespace {

const Marker* gMarker = nullptr;
siginfo_t* gRaisedInfo = nullptr;
ucontext_t* gRaisedContext = nullptr;

void previousThreeArgumentHandler(int signo, siginfo_t* info, void* uap) {
    gMarker->append("previous3;");
    if (info == gRaisedInfo && uap == gRaisedContext) gMarker->append("same-info;");
}

void previousOneArgumentHandler(int signo) { gMarker->append("previous1;"); }

// The first entry of the chain: notes what it got, then forwards.
bool recordingCallback(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                       qvcrash_signal_handler_callback* next) {
    gRaisedInfo = info;
    gRaisedContext = uap;
    gMarker->append(static_cast<const char*>(context));
    // On the engine's alternate stack?
    const stack_t& stack = MSCrashSignalHandler::sharedHandler()->alternateStack();
    auto here = reinterpret_cast<uintptr_t>(&signo);
    auto base = reinterpret_cast<uintptr_t>(stack.ss_sp);
    if (here >= base && here < base + stack.ss_size) gMarker->append("altstack;");
    if (next == nullptr) gMarker->append("no-next;");
    bool handled = quorvane::qvcrash_signal_handler_forward(next, signo, info, uap);
    gMarker->append(handled ? "handled;" : "declined;");
    return handled;
}

bool decliningCallback(int signo, siginfo_t*, ucontext_t*, void* context, qvcrash_signal_handler_callback*) {
    gMarker->append(static_cast<const char*>(context));
    return false;
}

void install(int signo, void (*handler)(int), void (*action)(int, siginfo_t*, void*)) {
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    if (action) {
        sa.sa_sigaction = action;
        sa.sa_flags = SA_SIGINFO;
    } else {
        sa.sa_handler = handler;
    }
    sigaction(signo, &sa, nullptr);
}

}  // namespace

TEST(MSCrashSignalHandler, RegisteringTwiceKeepsTheFirstPreviousActionAndPassesTheSignalInfoOn) {
    Marker marker("twice");
    gMarker = &marker;
    auto child = runInChild([] {
        install(SIGUSR1, nullptr, previousThreeArgumentHandler);
        auto handler = MSCrashSignalHandler::sharedHandler();
        if (!handler->registerHandlerForSignal(SIGUSR1, recordingCallback, const_cast<char*>("first;"))) return 2;
        struct sigaction engine {};
        sigaction(SIGUSR1, nullptr, &engine);
        if (!(engine.sa_flags & SA_ONSTACK) || !(engine.sa_flags & SA_SIGINFO)) return 3;
        // The second registration must not save the engine's own handler as "previous".
        if (!handler->registerHandlerWithSignal(SIGUSR1)) return 4;
        struct sigaction again {};
        sigaction(SIGUSR1, nullptr, &again);
        if (again.sa_sigaction != engine.sa_sigaction) return 5;
        raise(SIGUSR1);
        gMarker->append("survived;");
        return 0;
    });
    EXPECT_TRUE(child.exited && child.exitCode == 0) << child.describe();
    EXPECT_EQ(marker.read(), "first;altstack;previous3;same-info;handled;survived;");
}

TEST(MSCrashSignalHandler, IgnoredPreviousActionCountsAsHandled) {
    Marker marker("ignore");
    gMarker = &marker;
    auto child = runInChild([] {
        install(SIGUSR2, SIG_IGN, nullptr);
        MSCrashSignalHandler::sharedHandler()->registerHandlerForSignal(SIGUSR2, recordingCallback,
                                                                       const_cast<char*>("cb;"));
        raise(SIGUSR2);
        gMarker->append("survived;");
        return 0;
    });
    EXPECT_TRUE(child.exited && child.exitCode == 0) << child.describe();
    EXPECT_EQ(marker.read(), "cb;altstack;handled;survived;");
}

TEST(MSCrashSignalHandler, OneArgumentPreviousHandlerIsCalled) {
    Marker marker("onearg");
    gMarker = &marker;
    auto child = runInChild([] {
        install(SIGUSR2, previousOneArgumentHandler, nullptr);
        MSCrashSignalHandler::sharedHandler()->registerHandlerWithSignal(SIGUSR2);
        raise(SIGUSR2);
        gMarker->append("survived;");
        return 0;
    });
    EXPECT_TRUE(child.exited && child.exitCode == 0) << child.describe();
    EXPECT_EQ(marker.read(), "previous1;survived;");
}

// With the default action before the engine's, nobody handles the signal: it is raised again
// and ends the process with its default action (instead of coming back to the handler).
TEST(MSCrashSignalHandler, DefaultPreviousActionEndsTheProcessWithTheSignal) {
    Marker marker("default");
    gMarker = &marker;
    auto child = runInChild([] {
        install(SIGUSR2, SIG_DFL, nullptr);
        MSCrashSignalHandler::sharedHandler()->registerHandlerForSignal(SIGUSR2, recordingCallback,
                                                                       const_cast<char*>("cb;"));
        raise(SIGUSR2);
        gMarker->append("survived;");
        return 0;
    });
    EXPECT_TRUE(child.signaled) << child.describe();
    EXPECT_EQ(child.signal, SIGUSR2);
    EXPECT_EQ(marker.read(), "cb;altstack;declined;");
}

TEST(MSCrashSignalHandler, LaterRegistrationsRunFirstAndADecliningCallbackStopsTheChain) {
    Marker marker("order");
    gMarker = &marker;
    auto child = runInChild([] {
        install(SIGUSR1, SIG_IGN, nullptr);
        auto handler = MSCrashSignalHandler::sharedHandler();
        handler->registerHandlerForSignal(SIGUSR1, decliningCallback, const_cast<char*>("older;"));
        handler->registerHandlerForSignal(SIGUSR1, recordingCallback, const_cast<char*>("newer;"));
        raise(SIGUSR1);  // newer forwards to older, which declines without forwarding
        return 0;
    });
    EXPECT_TRUE(child.signaled) << child.describe();
    EXPECT_EQ(child.signal, SIGUSR1);
    EXPECT_EQ(marker.read(), "newer;altstack;older;declined;");
}

TEST(MSCrashSignalHandler, ResetEmptiesTheListsButLeavesTheActionsInstalled) {
    Marker marker("reset");
    gMarker = &marker;
    auto child = runInChild([] {
        install(SIGUSR1, SIG_IGN, nullptr);
        auto handler = MSCrashSignalHandler::sharedHandler();
        handler->registerHandlerForSignal(SIGUSR1, recordingCallback, const_cast<char*>("cb;"));
        struct sigaction engine {};
        sigaction(SIGUSR1, nullptr, &engine);
        MSCrashSignalHandler::resetHandlers();
        struct sigaction after {};
        sigaction(SIGUSR1, nullptr, &after);
        if (after.sa_sigaction != engine.sa_sigaction) return 2;
        // With an empty chain nothing handles the signal: the default action ends the process.
        raise(SIGUSR1);
        return 0;
    });
    EXPECT_TRUE(child.signaled) << child.describe();
    EXPECT_EQ(child.signal, SIGUSR1);
    EXPECT_EQ(marker.read(), "");
}

TEST(MSCrashSignalHandler, RegistrationFailureReportsThePosixError) {
    auto child = runInChild([] {
        // SIGKILL's action cannot be changed.
        auto registered = MSCrashSignalHandler::sharedHandler()->registerHandlerForSignal(SIGKILL, recordingCallback, nullptr);
        if (registered) return 2;
        const quorvane::platform::Error& error = registered.error();
        if (error.domain != "QVCrashReporterErrorDomain" || error.code != 1) return 3;
        if (error.localizedDescription() != "Failed to register signal handler") return 4;
        auto underlying = error.userInfo.find(quorvane::platform::Error::kUnderlyingErrorKey);
        if (!underlying || underlying->find("code")->asInt() != EINVAL) return 5;
        return 0;
    });
    EXPECT_TRUE(child.exited && child.exitCode == 0) << child.describe();
}

namespace {

size_t mappingCount() {
    std::ifstream maps("/proc/self/maps");
    size_t n = 0;
    for (std::string line; std::getline(maps, line);) ++n;
    return n;
}

}  // namespace

TEST(MSCrashSignalHandler, EveryThreadGetsAnAlternateStackThatEndsWithIt) {
    auto child = runInChild([] {
        std::thread older([] {});  // started before: asked to take one by signal
        MSCrashSignalHandler::installAlternateStacksOnEveryThread();
        older.join();
        const size_t before = mappingCount();
        for (int i = 0; i < 100; ++i) {
            std::thread t([] {
                stack_t current;
                if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) ||
                    current.ss_size < MSCrashSignalHandler::kAlternateStackSize) {
                    _exit(3);
                }
            });
            t.join();
        }
        // The stacks of ended threads are given back (a few mappings may come and go).
        return mappingCount() < before + 10 ? 0 : 4;
    });
    EXPECT_TRUE(child.exited && child.exitCode == 0) << child.describe();
}
