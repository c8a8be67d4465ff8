#pragma once
// The machine section of a decoded crash report.

#include <cstdint>
#include <optional>
#include <string>

#include "crashreporter/report/MSCrashReportProcessorInfo.h"

namespace quorvane {

class MSCrashReportMachineInfo {
public:
    static MSCrashReportMachineInfo initWithModelName(std::optional<std::string> modelName,
                                                      std::optional<MSCrashReportProcessorInfo> processorInfo,
                                                      uint64_t processorCount, uint64_t logicalProcessorCount) {
        return MSCrashReportMachineInfo(std::move(modelName), processorInfo, processorCount, logicalProcessorCount);
    }
    MSCrashReportMachineInfo(std::optional<std::string> modelName,
                             std::optional<MSCrashReportProcessorInfo> processorInfo, uint64_t processorCount,
                             uint64_t logicalProcessorCount)
        : modelName_(std::move(modelName)),
          processorInfo_(processorInfo),
          processorCount_(processorCount),
          logicalProcessorCount_(logicalProcessorCount) {}

    // The hardware model, when known.
    const std::optional<std::string>& modelName() const { return modelName_; }
    // When the machine section names one.
    const std::optional<MSCrashReportProcessorInfo>& processorInfo() const { return processorInfo_; }
    // Physical processors.
    uint64_t processorCount() const { return processorCount_; }
    uint64_t logicalProcessorCount() const { return logicalProcessorCount_; }

private:
    std::optional<std::string> modelName_;
    std::optional<MSCrashReportProcessorInfo> processorInfo_;
    uint64_t processorCount_;
    uint64_t logicalProcessorCount_;
};

}  // namespace quorvane
