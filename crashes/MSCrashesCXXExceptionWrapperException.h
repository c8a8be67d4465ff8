#pragma once
// An uncaught C++ exception in the shape of the process's uncaught exceptions, so the capture
// engine's uncaught-exception path reports it: the demangled type as name, the message as
// reason, the throw-site frames as call stack.

#include "crashes/MSCrashesCXXExceptionHandler.h"
#include "platform/crash/UncaughtException.h"

namespace quorvane {

class MSCrashesCXXExceptionWrapperException : public platform::crash::UncaughtException {
public:
    // The record is neither copied nor owned: it must outlive this object.
    explicit MSCrashesCXXExceptionWrapperException(const MSCrashesUncaughtCXXExceptionInfo* info);

    const MSCrashesUncaughtCXXExceptionInfo* info() const { return info_; }

private:
    const MSCrashesUncaughtCXXExceptionInfo* info_;
};

// The handler crash reporting registers with the terminate handler: wraps the record and hands it
// to the process's uncaught-exception handler (the capture engine's, which writes the report and
// ends the process); aborts should that handler return.
[[noreturn]] void uncaughtCXXExceptionHandler(const MSCrashesUncaughtCXXExceptionInfo* info);

}  // namespace quorvane
