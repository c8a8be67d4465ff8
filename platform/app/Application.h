#pragma once
// The application object: the one place where the application's events are dispatched on the
// main thread. An application exception (platform::crash::UncaughtException, thrown) that escapes
// an event's handling is caught here and reported through reportException, which only logs it;
// the application runs on. Both operations dispatch through implementations that can be replaced
// at run time (the previous one is returned, so a replacement can call it).

#include <functional>
#include <string>

#include "platform/crash/UncaughtException.h"

namespace quorvane::platform {

// One event: what handling it does.
struct ApplicationEvent {
    std::string name;
    std::function<void()> action;
};

class Application {
public:
    using ReportExceptionImplementation = void (*)(Application& application,
                                                   const crash::UncaughtException& exception);
    using SendEventImplementation = void (*)(Application& application, const ApplicationEvent& event);

    static Application& shared();

    // Reports an application exception (by default: logs its name and reason).
    void reportException(const crash::UncaughtException& exception);
    // Dispatches one event (by default: runs its action).
    void sendEvent(const ApplicationEvent& event);
    // The event loop's step for one event: sendEvent, and an application exception that escapes
    // it goes to reportException. Other exceptions pass on.
    void handleEvent(const ApplicationEvent& event);

    // Replace the implementations; each returns the one it replaced.
    static ReportExceptionImplementation setReportExceptionImplementation(ReportExceptionImplementation implementation);
    static SendEventImplementation setSendEventImplementation(SendEventImplementation implementation);

private:
    Application() = default;
};

// Throws an application exception with the calling stack's return addresses.
[[noreturn]] void raiseApplicationException(std::string name, std::string reason);

}  // namespace quorvane::platform
