#include "platform/runloop/Application.h"

#include <execinfo.h>

#include <atomic>

#include "platform/foundation/Log.h"
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

// ---- events and application exceptions ----

namespace {

void defaultReportException(Application&, const crash::UncaughtException& exception) {
    Log::error("Application", exception.name + ": " + exception.reason);
}

void defaultSendEvent(Application&, const ApplicationEvent& event) {
    if (event.action) event.action();
}

std::atomic<Application::ReportExceptionImplementation> gReportException{defaultReportException};
std::atomic<Application::SendEventImplementation> gSendEvent{defaultSendEvent};

}  // namespace

void Application::reportException(const crash::UncaughtException& exception) { gReportException.load()(*this, exception); }

void Application::sendEvent(const ApplicationEvent& event) { gSendEvent.load()(*this, event); }

void Application::handleEvent(const ApplicationEvent& event) {
    try {
        sendEvent(event);
    } catch (const crash::UncaughtException& exception) {
        reportException(exception);
    }
}

Application::ReportExceptionImplementation Application::setReportExceptionImplementation(
    ReportExceptionImplementation implementation) {
    return gReportException.exchange(implementation);
}

Application::SendEventImplementation Application::setSendEventImplementation(SendEventImplementation implementation) {
    return gSendEvent.exchange(implementation);
}

void raiseApplicationException(std::string name, std::string reason) {
    crash::UncaughtException exception{std::move(name), std::move(reason), {}};
    void* addresses[128];
    const int n = ::backtrace(addresses, 128);
    for (int i = 0; i < n; ++i) exception.callStackReturnAddresses.push_back(reinterpret_cast<uintptr_t>(addresses[i]));
    throw exception;
}

}  // namespace quorvane::platform
