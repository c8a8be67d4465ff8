#pragma once
// Lets crash reporting see application exceptions that the application object catches on the
// main thread (which would otherwise only be logged): where the application has opted into
// crashing on uncaught exceptions, the application object's reportException and sendEvent are
// replaced, once per process, by versions that first hand the exception to the crashes service.

#include "platform/runloop/Application.h"

namespace quorvane {

class MSApplicationForwarder {
public:
    static constexpr const char* kMSApplicationForwarderEnabledKey = "RevAzezarApplicationForwarderEnabled";
    static constexpr const char* kMSCrashOnExceptionsKey = "NSApplicationCrashOnExceptions";

    // Off when the bundle's info says "RevAzezarApplicationForwarderEnabled" is NO; replaces the
    // operations only when the user default "NSApplicationCrashOnExceptions" is YES.
    static void registerForwarding();

    // The replacements.
    static void ms_reportException(platform::Application& application, const platform::crash::UncaughtException& exception);
    static void ms_sendEvent(platform::Application& application, const platform::ApplicationEvent& event);
};

}  // namespace quorvane
