#pragma once
// The host's kernel version. The engine's name for it is the "Darwin version"; on Linux it is
// the kernel release ("kern.osrelease", e.g. "6.1.0-18-amd64" gives 6, 1, 0).

#include <cstdint>
#include <optional>
#include <string>

namespace quorvane {

struct QVCrashHostInfoVersion {
    uint64_t major = 0;
    uint64_t minor = 0;
    uint64_t revision = 0;
};

class MSCrashHostInfo {
public:
    // Empty when the release string cannot be read.
    static std::optional<MSCrashHostInfo> currentHostInfo();
    // From a given release string: the leading "major.minor.revision" parts that parse, the rest
    // 0 (a string that stops early is logged).
    static MSCrashHostInfo hostInfoWithOSRelease(const std::string& release);

    QVCrashHostInfoVersion darwinVersion() const { return _darwinVersion; }

private:
    QVCrashHostInfoVersion _darwinVersion;
};

}  // namespace quorvane
