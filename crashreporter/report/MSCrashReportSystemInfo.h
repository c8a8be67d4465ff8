#pragma once
// The system section of a decoded crash report: operating system, architecture and crash time.

#include <cstdint>
#include <optional>
#include <string>

#include "crashreporter/report/MSCrashReportProcessorInfo.h"
#include "platform/foundation/Date.h"

namespace quorvane {

// The report format's operating-system numbering, kept as stored (the engine writes Linux; reports
// of earlier versions say Unknown). A stored value outside this list is kept as it is.
enum MSCrashReportOperatingSystem : int32_t {
    MSCrashReportOperatingSystemMacOSX = 0,
    MSCrashReportOperatingSystemiPhoneOS = 1,
    MSCrashReportOperatingSystemiPhoneSimulator = 2,
    MSCrashReportOperatingSystemUnknown = 3,
    MSCrashReportOperatingSystemAppleTVOS = 4,
    MSCrashReportOperatingSystemLinux = 5,
};

// The report format's architecture numbering, kept as stored.
enum MSCrashReportArchitecture : int32_t {
    MSCrashReportArchitectureX86_32 = 0,
    MSCrashReportArchitectureX86_64 = 1,
    MSCrashReportArchitectureARMv6 = 2,
    MSCrashReportArchitecturePPC = 3,
    MSCrashReportArchitecturePPC64 = 4,
    MSCrashReportArchitectureARMv7 = 5,
    MSCrashReportArchitectureUnknown = 6,
};

class MSCrashReportSystemInfo {
public:
    static MSCrashReportSystemInfo initWithOperatingSystem(MSCrashReportOperatingSystem operatingSystem,
                                                           std::string operatingSystemVersion,
                                                           std::optional<std::string> operatingSystemBuild,
                                                           MSCrashReportArchitecture architecture,
                                                           std::optional<MSCrashReportProcessorInfo> processorInfo,
                                                           std::optional<platform::Date> timestamp) {
        return MSCrashReportSystemInfo(operatingSystem, std::move(operatingSystemVersion),
                                       std::move(operatingSystemBuild), architecture, processorInfo, timestamp);
    }
    // Without a processor.
    static MSCrashReportSystemInfo initWithOperatingSystem(MSCrashReportOperatingSystem operatingSystem,
                                                           std::string operatingSystemVersion,
                                                           std::optional<std::string> operatingSystemBuild,
                                                           MSCrashReportArchitecture architecture,
                                                           std::optional<platform::Date> timestamp) {
        return initWithOperatingSystem(operatingSystem, std::move(operatingSystemVersion),
                                       std::move(operatingSystemBuild), architecture, std::nullopt, timestamp);
    }
    // Without a build and without a processor.
    static MSCrashReportSystemInfo initWithOperatingSystem(MSCrashReportOperatingSystem operatingSystem,
                                                           std::string operatingSystemVersion,
                                                           MSCrashReportArchitecture architecture,
                                                           std::optional<platform::Date> timestamp) {
        return initWithOperatingSystem(operatingSystem, std::move(operatingSystemVersion), std::nullopt, architecture,
                                       std::nullopt, timestamp);
    }

    MSCrashReportSystemInfo(MSCrashReportOperatingSystem operatingSystem, std::string operatingSystemVersion,
                            std::optional<std::string> operatingSystemBuild, MSCrashReportArchitecture architecture,
                            std::optional<MSCrashReportProcessorInfo> processorInfo,
                            std::optional<platform::Date> timestamp)
        : operatingSystem_(operatingSystem),
          operatingSystemVersion_(std::move(operatingSystemVersion)),
          operatingSystemBuild_(std::move(operatingSystemBuild)),
          architecture_(architecture),
          timestamp_(timestamp),
          processorInfo_(processorInfo) {}

    MSCrashReportOperatingSystem operatingSystem() const { return operatingSystem_; }
    const std::string& operatingSystemVersion() const { return operatingSystemVersion_; }
    const std::optional<std::string>& operatingSystemBuild() const { return operatingSystemBuild_; }
    MSCrashReportArchitecture architecture() const { return architecture_; }
    // The time of the crash; nullopt when the clock could not be read.
    const std::optional<platform::Date>& timestamp() const { return timestamp_; }
    // The processor that ran the process (a decoded report always has one).
    const std::optional<MSCrashReportProcessorInfo>& processorInfo() const { return processorInfo_; }

private:
    MSCrashReportOperatingSystem operatingSystem_;
    std::string operatingSystemVersion_;
    std::optional<std::string> operatingSystemBuild_;
    MSCrashReportArchitecture architecture_;
    std::optional<platform::Date> timestamp_;
    std::optional<MSCrashReportProcessorInfo> processorInfo_;
};

}  // namespace quorvane
