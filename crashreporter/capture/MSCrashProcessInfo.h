#pragma once
// A process's identity for the report's process section: name, parent, start time and
// whether a debugger is attached. Not for crash time.

#include <sys/time.h>
#include <sys/types.h>

#include <optional>
#include <string>

namespace quorvane {

class MSCrashProcessInfo {
public:
    // The calling process; empty when its entry cannot be read.
    static std::optional<MSCrashProcessInfo> currentProcessInfo();
    // Empty when there is no such process.
    static std::optional<MSCrashProcessInfo> initWithProcessID(pid_t pid);

    pid_t processID() const { return _processID; }
    // The command name decoded as UTF-8; nullopt when it is not valid UTF-8 from its first byte.
    const std::optional<std::string>& processName() const { return _processName; }
    pid_t parentProcessID() const { return _parentProcessID; }
    struct timeval startTime() const { return _startTime; }
    bool isTraced() const { return _traced; }

private:
    pid_t _processID = 0;
    std::optional<std::string> _processName;
    pid_t _parentProcessID = 0;
    struct timeval _startTime {};
    bool _traced = false;
};

}  // namespace quorvane
