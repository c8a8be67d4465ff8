#include "platform/runloop/Application.h"

#include "platform/runloop/NotificationCenter.h"

namespace quorvane::platform {

Application& Application::shared() {
    static auto* application = new Application();  // kept through exit: observers may still ask
    return *application;
}

bool Application::isActive() const {
    std::lock_guard lock(mutex_);
    return active_;
}

bool Application::isHidden() const {
    std::lock_guard lock(mutex_);
    return hidden_;
}

void Application::activate() {
    {
        std::lock_guard lock(mutex_);
        if (active_) return;
    }
    NotificationCenter::defaultCenter().post(kApplicationWillBecomeActiveNotification, this);
    std::lock_guard lock(mutex_);
    active_ = true;
}

void Application::resignActive() {
    {
        std::lock_guard lock(mutex_);
        if (!active_) return;
        active_ = false;
    }
    NotificationCenter::defaultCenter().post(kApplicationDidResignActiveNotification, this);
}

void Application::hide() {
    {
        std::lock_guard lock(mutex_);
        hidden_ = true;
    }
    resignActive();
}

void Application::unhide() {
    {
        std::lock_guard lock(mutex_);
        hidden_ = false;
    }
    activate();
}

}  // namespace quorvane::platform
