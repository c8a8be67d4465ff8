#include "crashreporter/capture/MSCrashHostInfo.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "crashreporter/capture/MSCrashSysctl.h"
#include "platform/foundation/Log.h"

namespace quorvane {

namespace {

// Reads an unsigned decimal integer at pos; false when there is none.
bool scanInteger(const std::string& s, size_t& pos, uint64_t& out) {
    size_t start = pos;
    uint64_t v = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
        v = v * 10 + static_cast<uint64_t>(s[pos] - '0');
        ++pos;
    }
    if (pos == start) return false;
    out = v;
    return true;
}

}  // namespace

std::optional<MSCrashHostInfo> MSCrashHostInfo::currentHostInfo() {
    char* release = MSqvcrash_sysctlbyname_copy_string("kern.osrelease");
    if (!release) {
        int err = errno;
        platform::Log::error("QVCrashReporter", "Failed to fetch kern.osrelease value " + std::to_string(err) + ": " +
                                                    std::strerror(err));
        return std::nullopt;
    }
    MSCrashHostInfo info = hostInfoWithOSRelease(release);
    std::free(release);
    return info;
}

MSCrashHostInfo MSCrashHostInfo::hostInfoWithOSRelease(const std::string& release) {
    MSCrashHostInfo info;
    uint64_t* parts[] = {&info._darwinVersion.major, &info._darwinVersion.minor, &info._darwinVersion.revision};
    size_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        bool ok = (i == 0 || (pos < release.size() && release[pos++] == '.')) && scanInteger(release, pos, *parts[i]);
        if (!ok) {
            platform::Log::error("QVCrashReporter", "Unexpected kern.osrelease string format: " + release);
            break;
        }
    }
    return info;
}

}  // namespace quorvane
