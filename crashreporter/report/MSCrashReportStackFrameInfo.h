#pragma once
// One stack frame of a decoded crash report's thread or exception.

#include <cstdint>
#include <optional>

#include "crashreporter/report/MSCrashReportSymbolInfo.h"

namespace quorvane {

class MSCrashReportStackFrameInfo {
public:
    static MSCrashReportStackFrameInfo initWithInstructionPointer(uint64_t instructionPointer,
                                                                 std::optional<MSCrashReportSymbolInfo> symbolInfo) {
        return MSCrashReportStackFrameInfo(instructionPointer, std::move(symbolInfo));
    }
    MSCrashReportStackFrameInfo(uint64_t instructionPointer, std::optional<MSCrashReportSymbolInfo> symbolInfo)
        : instructionPointer_(instructionPointer), symbolInfo_(std::move(symbolInfo)) {}

    uint64_t instructionPointer() const { return instructionPointer_; }
    // Only when the engine symbolicated the frame at crash time.
    const std::optional<MSCrashReportSymbolInfo>& symbolInfo() const { return symbolInfo_; }

private:
    uint64_t instructionPointer_;
    std::optional<MSCrashReportSymbolInfo> symbolInfo_;
};

}  // namespace quorvane
