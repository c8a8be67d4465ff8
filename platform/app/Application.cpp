#include "platform/app/Application.h"

#include <execinfo.h>

#include <atomic>

#include "platform/foundation/Log.h"

namespace quorvane::platform {

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

Application& Application::shared() {
    static auto* application = new Application;
    return *application;
}

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
