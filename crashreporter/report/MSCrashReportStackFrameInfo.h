#pragma once
// One stack frame of a decoded crash report's thread or exception.

#include <cstdint>
#include <memory>

#include "crashreporter/report/MSCrashReportSymbolInfo.h"

namespace quorvane {

class MSCrashReportStackFrameInfo {
public:
    static std::shared_ptr<MSCrashReportStackFrameInfo> initWithInstructionPointer(
        uint64_t instructionPointer, std::shared_ptr<MSCrashReportSymbolInfo> symbolInfo) {
        return std::make_shared<MSCrashReportStackFrameInfo>(instructionPointer, std::move(symbolInfo));
    }
    MSCrashReportStackFrameInfo(uint64_t instructionPointer, std::shared_ptr<MSCrashReportSymbolInfo> symbolInfo)
        : instructionPointer_(instructionPointer), symbolInfo_(std::move(symbolInfo)) {}

    uint64_t instructionPointer() const { return instructionPointer_; }
    // Only when the engine symbolicated the frame at crash time.
    const std::shared_ptr<MSCrashReportSymbolInfo>& symbolInfo() const { return symbolInfo_; }

private:
    const uint64_t instructionPointer_;
    const std::shared_ptr<MSCrashReportSymbolInfo> symbolInfo_;
};

}  // namespace quorvane
