#pragma once
// One process's entry in the kernel's process table, read from /proc/<pid>/stat and
// /proc/<pid>/status. Not for crash time.

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace quorvane::platform::crash {

struct ProcessRecord {
    pid_t pid = 0;
    std::string command;  // the kernel's command name: raw bytes, at most 15
    pid_t parentPid = 0;
    int64_t startSeconds = 0;      // since 1970
    int32_t startMicroseconds = 0;
    bool traced = false;           // a tracer (debugger) is attached
};

// false with errno in *err when there is no such process (ENOENT) or its entry cannot be read.
bool readProcessRecord(pid_t pid, ProcessRecord& record, int* err = nullptr);

}  // namespace quorvane::platform::crash
