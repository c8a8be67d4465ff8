#include "platform/crash/ProcessTable.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "platform/foundation/Paths.h"

namespace quorvane::platform::crash {

namespace {

// Boot time in seconds since 1970 ("btime" of /proc/stat).
bool bootTime(int64_t& seconds) {
    std::string stat;
    if (!readFile("/proc/stat", stat)) return false;
    std::istringstream in(stat);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("btime ", 0) == 0) {
            seconds = std::strtoll(line.c_str() + 6, nullptr, 10);
            return true;
        }
    }
    return false;
}

}  // namespace

bool readProcessRecord(pid_t pid, ProcessRecord& record, int* err) {
    const std::string dir = "/proc/" + std::to_string(pid);
    std::string stat;
    errno = 0;
    if (pid <= 0 || !readFile(dir + "/stat", stat)) {
        if (err) *err = (pid <= 0 || errno == 0) ? ENOENT : errno;
        return false;
    }
    // "pid (command) state ppid ...": the command may hold spaces and ')', so it ends at the last ')'.
    size_t open = stat.find('(');
    size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        if (err) *err = EINVAL;
        return false;
    }
    ProcessRecord r;
    r.pid = pid;
    r.command = stat.substr(open + 1, close - open - 1);
    std::istringstream rest(stat.substr(close + 1));
    std::vector<std::string> fields;  // fields[0] is field 3 (state)
    std::string f;
    while (rest >> f) fields.push_back(f);
    if (fields.size() < 20) {
        if (err) *err = EINVAL;
        return false;
    }
    r.parentPid = static_cast<pid_t>(std::strtol(fields[1].c_str(), nullptr, 10));
    // Field 22: start time in clock ticks after boot.
    unsigned long long ticks = std::strtoull(fields[19].c_str(), nullptr, 10);
    long hz = ::sysconf(_SC_CLK_TCK);
    int64_t boot = 0;
    if (hz > 0 && bootTime(boot)) {
        r.startSeconds = boot + static_cast<int64_t>(ticks / static_cast<unsigned long long>(hz));
        r.startMicroseconds = static_cast<int32_t>((ticks % static_cast<unsigned long long>(hz)) * 1000000 / hz);
    }

    std::string status;
    if (readFile(dir + "/status", status)) {
        size_t at = status.find("\nTracerPid:");
        if (at != std::string::npos) r.traced = std::strtol(status.c_str() + at + 11, nullptr, 10) != 0;
    }
    record = std::move(r);
    return true;
}

}  // namespace quorvane::platform::crash
