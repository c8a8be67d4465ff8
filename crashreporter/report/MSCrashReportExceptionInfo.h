#pragma once
// The uncaught exception a decoded crash report records.

#include <optional>
#include <string>
#include <vector>

#include "crashreporter/report/MSCrashReportStackFrameInfo.h"

namespace quorvane {

class MSCrashReportExceptionInfo {
public:
    using StackFrames = std::vector<MSCrashReportStackFrameInfo>;

    static MSCrashReportExceptionInfo initWithExceptionName(std::string exceptionName, std::string exceptionReason,
                                                            std::optional<StackFrames> stackFrames) {
        return MSCrashReportExceptionInfo(std::move(exceptionName), std::move(exceptionReason), std::move(stackFrames));
    }
    // Without frames.
    static MSCrashReportExceptionInfo initWithExceptionName(std::string exceptionName, std::string exceptionReason) {
        return initWithExceptionName(std::move(exceptionName), std::move(exceptionReason), std::nullopt);
    }
    MSCrashReportExceptionInfo(std::string exceptionName, std::string exceptionReason,
                               std::optional<StackFrames> stackFrames)
        : exceptionName_(std::move(exceptionName)),
          exceptionReason_(std::move(exceptionReason)),
          stackFrames_(std::move(stackFrames)) {}

    const std::string& exceptionName() const { return exceptionName_; }
    const std::string& exceptionReason() const { return exceptionReason_; }
    // The call stack recorded with the exception, innermost first; nullopt when none was recorded.
    const std::optional<StackFrames>& stackFrames() const { return stackFrames_; }

private:
    std::string exceptionName_;
    std::string exceptionReason_;
    std::optional<StackFrames> stackFrames_;
};

}  // namespace quorvane
