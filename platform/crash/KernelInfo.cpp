#include "platform/crash/KernelInfo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <sstream>
#include <utility>

namespace quorvane::platform::crash {

namespace {

bool readWholeFile(const char* path, std::string& value, int* err);

// The report's numbering of the build's architecture: {type, subtype}.
bool buildArchitecture(int64_t& type, int64_t& subtype) {
#if defined(__x86_64__)
    type = 0x01000007;
    subtype = 3;
    return true;
#elif defined(__aarch64__)
    type = 0x0100000C;
    subtype = 0;
    return true;
#elif defined(__i386__)
    type = 7;
    subtype = 3;
    return true;
#else
    return false;
#endif
}

// Machine facts that /proc/sys does not hold. true when the name is one of them (the result
// is then in value or err).
bool readMachineFact(const std::string& name, std::string& value, bool& ok, int* err) {
    if (name == "hw.model") {
        for (const char* path : {"/sys/devices/virtual/dmi/id/product_name", "/sys/firmware/devicetree/base/model"}) {
            std::string model;
            if (readWholeFile(path, model, nullptr)) {
                while (!model.empty() && (model.back() == '\n' || model.back() == '\0')) model.pop_back();
                if (!model.empty()) {
                    value = model;
                    ok = true;
                    return true;
                }
            }
        }
        if (err) *err = ENOENT;
        ok = false;
        return true;
    }
    if (name == "hw.cputype" || name == "hw.cpusubtype") {
        int64_t type = 0, subtype = 0;
        ok = buildArchitecture(type, subtype);
        if (ok) value = std::to_string(name == "hw.cputype" ? type : subtype);
        else if (err) *err = ENOENT;
        return true;
    }
    if (name == "hw.logicalcpu_max" || name == "hw.physicalcpu_max") {
        long logical = ::sysconf(_SC_NPROCESSORS_CONF);
        if (logical <= 0) {
            if (err) *err = errno ? errno : ENOENT;
            ok = false;
            return true;
        }
        long count = logical;
        std::string cpuinfo;
        if (name == "hw.physicalcpu_max" && readWholeFile("/proc/cpuinfo", cpuinfo, nullptr)) {
            std::set<std::pair<std::string, std::string>> cores;
            std::istringstream in(cpuinfo);
            std::string line, physical;
            while (std::getline(in, line)) {
                auto colon = line.find(':');
                if (colon == std::string::npos) continue;
                std::string key = line.substr(0, line.find_last_not_of(" \t", colon - 1) + 1);
                std::string val = colon + 2 <= line.size() ? line.substr(colon + 2) : "";
                if (key == "physical id") physical = val;
                else if (key == "core id") cores.insert({physical, val});
            }
            if (!cores.empty()) count = static_cast<long>(cores.size());
        }
        value = std::to_string(count);
        ok = true;
        return true;
    }
    return false;
}

}  // namespace

std::string kernelVariablePath(const std::string& name) {
    if (name == "kern.osversion") return "/proc/sys/kernel/version";
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
    bool ok = false;
    if (readMachineFact(name, value, ok, err)) return ok;
    std::string out;
    if (!readWholeFile(kernelVariablePath(name).c_str(), out, err)) return false;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    value = std::move(out);
    return true;
}

namespace {

bool readWholeFile(const char* path, std::string& out, int* err) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (err) *err = errno;
        return false;
    }
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
    return true;
}

}  // namespace

}  // namespace quorvane::platform::crash
