#include "crashreporter/capture/MSCrashSysctl.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/crash/KernelInfo.h"

namespace quorvane {

char* MSqvcrash_sysctlbyname_copy_string(const char* name) {
    std::string value;
    int err = 0;
    if (!platform::crash::readKernelVariable(name, value, &err)) {
        errno = err;
        return nullptr;
    }
    char* copy = static_cast<char*>(std::malloc(value.size() + 1));
    if (!copy) {
        errno = ENOMEM;
        return nullptr;
    }
    std::memcpy(copy, value.c_str(), value.size() + 1);
    return copy;
}

bool MSqvcrash_sysctlbyname_int32(const char* name, int32_t* result) {
    std::string value;
    int err = 0;
    if (!platform::crash::readKernelVariable(name, value, &err)) {
        errno = err;
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(value.c_str(), &end, 10);
    while (end && (*end == ' ' || *end == '\t')) ++end;
    if (value.empty() || errno != 0 || !end || *end != '\0' || v < INT32_MIN || v > INT32_MAX) {
        errno = EINVAL;
        return false;
    }
    *result = static_cast<int32_t>(v);
    return true;
}

}  // namespace quorvane
