#pragma once
// One loaded image of a decoded crash report.

#include <cstdint>
#include <optional>
#include <string>

#include "crashreporter/report/MSCrashReportProcessorInfo.h"
#include "platform/foundation/Value.h"

namespace quorvane {

class MSCrashReportBinaryImageInfo {
public:
    // `uuid` is the image identifier's raw bytes, or nullopt when the image has none. On Linux the
    // engine records the image's GNU build id here, at its own length (usually 20 bytes).
    static MSCrashReportBinaryImageInfo initWithCodeType(std::optional<MSCrashReportProcessorInfo> codeType,
                                                         uint64_t baseAddress, uint64_t size, std::string name,
                                                         const std::optional<platform::Bytes>& uuid) {
        return MSCrashReportBinaryImageInfo(codeType, baseAddress, size, std::move(name), uuid);
    }
    MSCrashReportBinaryImageInfo(std::optional<MSCrashReportProcessorInfo> codeType, uint64_t baseAddress,
                                 uint64_t size, std::string name, const std::optional<platform::Bytes>& uuid);

    // The image's processor description, when the report gives one.
    const std::optional<MSCrashReportProcessorInfo>& codeType() const { return codeType_; }
    // The load address.
    uint64_t imageBaseAddress() const { return imageBaseAddress_; }
    uint64_t imageSize() const { return imageSize_; }
    // The image's path.
    const std::string& imageName() const { return imageName_; }
    bool hasImageUUID() const { return imageUUID_.has_value(); }
    // The identifier as lower-case hexadecimal digits without separators (two per byte).
    const std::optional<std::string>& imageUUID() const { return imageUUID_; }

private:
    std::optional<MSCrashReportProcessorInfo> codeType_;
    uint64_t imageBaseAddress_;
    uint64_t imageSize_;
    std::string imageName_;
    std::optional<std::string> imageUUID_;
};

}  // namespace quorvane
