#pragma once
// The application object. Its activity as the desktop would report it: active or not, hidden or
// not. Changes are posted on the default notification center, on the thread that makes them, under
// the desktop's notification names. A command-line process starts active and visible; whoever
// learns of a change (a window, a terminal, a test) tells the application.
//
// It is also where the application's events are dispatched on the main thread: an application
// exception (platform::crash::UncaughtException, thrown) that escapes an event's handling is
// caught and reported through reportException, which only logs it, and the application runs on.
// Both operations dispatch through implementations that can be replaced at run time (the previous
// one is returned, so that a replacement can call it).

#include <functional>
#include <mutex>
#include <string>

#include "platform/crash/UncaughtException.h"

namespace quorvane::platform {

inline constexpr const char* kApplicationWillBecomeActiveNotification = "NSApplicationWillBecomeActiveNotification";
inline constexpr const char* kApplicationDidResignActiveNotification = "NSApplicationDidResignActiveNotification";

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

    bool isActive() const;
    bool isHidden() const;

    // Posts the will-become-active notification, then is active; nothing when already active.
    void activate();
    // Stops being active, then posts the did-resign-active notification; nothing when inactive.
    void resignActive();
    // Hiding resigns the active state; showing again activates.
    void hide();
    void unhide();

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
    mutable std::mutex mutex_;
    bool active_ = true;
    bool hidden_ = false;
};

// Throws an application exception with the calling stack's return addresses.
[[noreturn]] void raiseApplicationException(std::string name, std::string reason);

}  // namespace quorvane::platform
