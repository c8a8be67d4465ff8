#pragma once
// The machine section of a decoded crash report.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "crashreporter/report/MSCrashReportProcessorInfo.h"

namespace quorvane {

class MSCrashReportMachineInfo {
public:
    static std::shared_ptr<MSCrashReportMachineInfo> initWithModelName(
        std::optional<std::string> modelName, std::shared_ptr<MSCrashReportProcessorInfo> processorInfo,
        uint64_t processorCount, uint64_t logicalProcessorCount) {
        return std::make_shared<MSCrashReportMachineInfo>(std::move(modelName), std::move(processorInfo),
                                                          processorCount, logicalProcessorCount);
    }
    MSCrashReportMachineInfo(std::optional<std::string> modelName,
                             std::shared_ptr<MSCrashReportProcessorInfo> processorInfo, uint64_t processorCount,
                             uint64_t logicalProcessorCount)
        : modelName_(std::move(modelName)),
          processorInfo_(std::move(processorInfo)),
          processorCount_(processorCount),
          logicalProcessorCount_(logicalProcessorCount) {}

    // The hardware model, when known.
    const std::optional<std::string>& modelName() const { return modelName_; }
    const std::shared_ptr<MSCrashReportProcessorInfo>& processorInfo() const { return processorInfo_; }
    // Physical processors.
    uint64_t processorCount() const { return processorCount_; }
    uint64_t logicalProcessorCount() const { return logicalProcessorCount_; }

private:
    const std::optional<std::string> modelName_;
    const std::shared_ptr<MSCrashReportProcessorInfo> processorInfo_;
    const uint64_t processorCount_;
    const uint64_t logicalProcessorCount_;
};

}  // namespace quorvane
