#pragma once
// The signal section of a decoded crash report.

#include <cstdint>
#include <string>

namespace quorvane {

class MSCrashReportSignalInfo {
public:
    static MSCrashReportSignalInfo initWithSignalName(std::string name, std::string code, uint64_t address) {
        return MSCrashReportSignalInfo(std::move(name), std::move(code), address);
    }
    MSCrashReportSignalInfo(std::string name, std::string code, uint64_t address)
        : name_(std::move(name)), code_(std::move(code)), address_(address) {}

    // As the engine wrote it: "SIGSEGV", or "#<number>" for a signal without a name.
    const std::string& name() const { return name_; }
    // The signal code's name, e.g. "SEGV_MAPERR", or "#<code>".
    const std::string& code() const { return code_; }
    // The faulting address.
    uint64_t address() const { return address_; }

private:
    std::string name_;
    std::string code_;
    uint64_t address_;
};

}  // namespace quorvane
