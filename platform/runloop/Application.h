#pragma once
// The application's activity as the desktop would report it: active or not, hidden or not.
// Changes are posted on the default notification center, on the thread that makes them, under
// the desktop's notification names. A command-line process starts active and visible; whoever
// learns of a change (a window, a terminal, a test) tells the application.

#include <mutex>

namespace quorvane::platform {

inline constexpr const char* kApplicationWillBecomeActiveNotification = "NSApplicationWillBecomeActiveNotification";
inline constexpr const char* kApplicationDidResignActiveNotification = "NSApplicationDidResignActiveNotification";

class Application {
public:
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

private:
    Application() = default;
    mutable std::mutex mutex_;
    bool active_ = true;
    bool hidden_ = false;
};

}  // namespace quorvane::platform
