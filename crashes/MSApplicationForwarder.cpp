#include "crashes/MSApplicationForwarder.h"

#include <mutex>
#include <string>

#include "crashes/MSCrashes.h"
#include "platform/foundation/BundleInfo.h"
#include "telemetry/MSLogger.h"
#include "telemetry/MSUserDefaults.h"

namespace quorvane {

namespace {

platform::Application::ReportExceptionImplementation gOriginalReportException = nullptr;
platform::Application::SendEventImplementation gOriginalSendEvent = nullptr;
std::once_flag gReportExceptionOnce, gSendEventOnce;

// An info value read as a boolean: NO, false and 0 (in any case) are false.
bool isNo(const std::string& value) {
    std::string lower;
    for (char c : value) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return lower == "no" || lower == "false" || lower == "0";
}

}  // namespace

void MSApplicationForwarder::registerForwarding() {
    const std::string key = kMSApplicationForwarderEnabledKey;
    if (auto value = platform::BundleInfo::infoValue(key); value && isNo(*value)) {
        MSLogDebug(MSCrashes::kMSLogTag, "Application forwarder for info.plist key '" + key +
                                             "' disabled. It won't use swizzling.");
        return;
    }
    MSLogDebug(MSCrashes::kMSLogTag,
               "Application forwarder for info.plist key '" + key + "' enabled. It may use swizzling.");
    auto crashOnExceptions = MSUserDefaults::shared().objectForKey(kMSCrashOnExceptionsKey);
    if (crashOnExceptions && crashOnExceptions->asBool()) {
        std::call_once(gReportExceptionOnce, [] {
            gOriginalReportException = platform::Application::setReportExceptionImplementation(ms_reportException);
            MSLogDebug(MSCrashes::kMSLogTag, "Selector 'reportException:' of class 'NSApplication' is swizzled.");
        });
        std::call_once(gSendEventOnce, [] {
            gOriginalSendEvent = platform::Application::setSendEventImplementation(ms_sendEvent);
            MSLogDebug(MSCrashes::kMSLogTag, "Selector 'sendEvent:' of class 'NSApplication' is swizzled.");
        });
        return;
    }
    MSLogInfo(MSCrashes::kMSLogTag,
              std::string("Catching uncaught exceptions thrown on the main thread disabled. Set `") +
                  kMSCrashOnExceptionsKey +
                  "` flag before SDK initialization, to allow crash on uncaught exceptions and the SDK can report "
                  "them.");
}

void MSApplicationForwarder::ms_reportException(platform::Application& application,
                                                const platform::crash::UncaughtException& exception) {
    MSCrashes::applicationDidReportException(exception);
    // Reached when nothing ended the process (a debugger is attached, or no handler is set).
    if (gOriginalReportException) gOriginalReportException(application, exception);
}

void MSApplicationForwarder::ms_sendEvent(platform::Application& application, const platform::ApplicationEvent& event) {
    try {
        if (gOriginalSendEvent) gOriginalSendEvent(application, event);
    } catch (const platform::crash::UncaughtException& exception) {
        ms_reportException(application, exception);
    }
}

}  // namespace quorvane
