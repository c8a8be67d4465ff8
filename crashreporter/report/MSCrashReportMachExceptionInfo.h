#pragma once
// The Mach exception a decoded crash report's signal came as.

#include <cstdint>
#include <vector>

namespace quorvane {

class MSCrashReportMachExceptionInfo {
public:
    static MSCrashReportMachExceptionInfo initWithType(uint64_t type, std::vector<uint64_t> codes) {
        return MSCrashReportMachExceptionInfo(type, std::move(codes));
    }
    MSCrashReportMachExceptionInfo(uint64_t type, std::vector<uint64_t> codes) : type_(type), codes_(std::move(codes)) {}

    uint64_t type() const { return type_; }
    // The exception codes in order.
    const std::vector<uint64_t>& codes() const { return codes_; }

private:
    uint64_t type_;
    std::vector<uint64_t> codes_;
};

}  // namespace quorvane
