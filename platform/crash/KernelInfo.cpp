#include "platform/crash/KernelInfo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace quorvane::platform::crash {

std::string kernelVariablePath(const std::string& name) {
    std::string rest = name;
    if (rest.rfind("kern.", 0) == 0) rest = "kernel." + rest.substr(5);
    for (char& c : rest) {
        if (c == '.') c = '/';
    }
    return "/proc/sys/" + rest;
}

bool readKernelVariable(const std::string& name, std::string& value, int* err) {
    if (name.empty() || name.find("..") != std::string::npos || name.find('/') != std::string::npos) {
        if (err) *err = EINVAL;
        return false;
    }
    int fd = ::open(kernelVariablePath(name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (err) *err = errno;
        return false;
    }
    std::string out;
    char buf[4096];
    while (true) {
        ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int e = errno;
            ::close(fd);
            if (err) *err = e;
            return false;
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    value = std::move(out);
    return true;
}

}  // namespace quorvane::platform::crash
