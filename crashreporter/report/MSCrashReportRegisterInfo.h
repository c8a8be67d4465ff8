#pragma once
// One register of a decoded crash report's crashed thread.

#include <cstdint>
#include <string>

namespace quorvane {

class MSCrashReportRegisterInfo {
public:
    static MSCrashReportRegisterInfo initWithRegisterName(std::string registerName, uint64_t registerValue) {
        return MSCrashReportRegisterInfo(std::move(registerName), registerValue);
    }
    MSCrashReportRegisterInfo(std::string registerName, uint64_t registerValue)
        : registerName_(std::move(registerName)), registerValue_(registerValue) {}

    // As the engine named it ("rip", "rbp", ...).
    const std::string& registerName() const { return registerName_; }
    uint64_t registerValue() const { return registerValue_; }

private:
    std::string registerName_;
    uint64_t registerValue_;
};

}  // namespace quorvane
