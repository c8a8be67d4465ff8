#include "crashreporter/capture/MSCrashProcessInfo.h"

#include <unistd.h>

#include <cstring>

#include "crashreporter/capture/QVCrashAsync.h"
#include "platform/crash/ProcessTable.h"

namespace quorvane {

std::optional<MSCrashProcessInfo> MSCrashProcessInfo::currentProcessInfo() { return initWithProcessID(::getpid()); }

std::optional<MSCrashProcessInfo> MSCrashProcessInfo::initWithProcessID(pid_t pid) {
    platform::crash::ProcessRecord record;
    int err = 0;
    if (!platform::crash::readProcessRecord(pid, record, &err)) {
        if (err == ENOENT) QVCRASH_DEBUG("Unexpected sysctl error %d: %s", err, qvcrash_async_errno_text(err));
        return std::nullopt;
    }

    std::optional<MSCrashProcessInfo> info(std::in_place);
    info->_processID = pid;
    info->_traced = record.traced;

    // The kernel keeps the name as raw bytes: take the leading valid UTF-8 part.
    constexpr size_t kMaxCommand = 16;
    size_t length = record.command.size() < kMaxCommand ? record.command.size() : kMaxCommand;
    size_t valid =
        MSqvcrash_async_utf8_valid_length(reinterpret_cast<const uint8_t*>(record.command.data()), length);
    if (valid > 0) {
        info->_processName = record.command.substr(0, valid);
    } else {
        QVCRASH_DEBUG("Failed to decode p_comm for pid=%jd as UTF-8!", static_cast<intmax_t>(pid));
    }

    info->_parentProcessID = record.parentPid;
    info->_startTime.tv_sec = static_cast<time_t>(record.startSeconds);
    info->_startTime.tv_usec = static_cast<suseconds_t>(record.startMicroseconds);
    return info;
}

}  // namespace quorvane
