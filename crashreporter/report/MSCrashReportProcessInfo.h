#pragma once
// The process section of a decoded crash report.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Date.h"

namespace quorvane {

class MSCrashReportProcessInfo {
public:
    static MSCrashReportProcessInfo initWithProcessName(std::optional<std::string> processName, uint64_t processID,
                                                       std::optional<std::string> processPath,
                                                       std::optional<platform::Date> processStartTime,
                                                       std::optional<std::string> parentProcessName,
                                                       uint64_t parentProcessID, bool native) {
        return MSCrashReportProcessInfo(std::move(processName), processID, std::move(processPath), processStartTime,
                                        std::move(parentProcessName), parentProcessID, native);
    }
    MSCrashReportProcessInfo(std::optional<std::string> processName, uint64_t processID,
                             std::optional<std::string> processPath, std::optional<platform::Date> processStartTime,
                             std::optional<std::string> parentProcessName, uint64_t parentProcessID, bool native)
        : processName_(std::move(processName)),
          processID_(processID),
          processPath_(std::move(processPath)),
          processStartTime_(processStartTime),
          parentProcessName_(std::move(parentProcessName)),
          parentProcessID_(parentProcessID),
          native_(native) {}

    const std::optional<std::string>& processName() const { return processName_; }
    uint64_t processID() const { return processID_; }
    // The executable's path.
    const std::optional<std::string>& processPath() const { return processPath_; }
    const std::optional<platform::Date>& processStartTime() const { return processStartTime_; }
    const std::optional<std::string>& parentProcessName() const { return parentProcessName_; }
    uint64_t parentProcessID() const { return parentProcessID_; }
    // True when the process ran natively on the machine's processor, as the engine recorded it.
    bool native() const { return native_; }

private:
    std::optional<std::string> processName_;
    uint64_t processID_;
    std::optional<std::string> processPath_;
    std::optional<platform::Date> processStartTime_;
    std::optional<std::string> parentProcessName_;
    uint64_t parentProcessID_;
    bool native_;
};

}  // namespace quorvane
