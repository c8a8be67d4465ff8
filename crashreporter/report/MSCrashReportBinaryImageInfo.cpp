#include "crashreporter/report/MSCrashReportBinaryImageInfo.h"

namespace quorvane {

MSCrashReportBinaryImageInfo::MSCrashReportBinaryImageInfo(std::optional<MSCrashReportProcessorInfo> codeType,
                                                           uint64_t baseAddress, uint64_t size, std::string name,
                                                           const std::optional<platform::Bytes>& uuid)
    : codeType_(codeType), imageBaseAddress_(baseAddress), imageSize_(size), imageName_(std::move(name)) {
    if (!uuid) return;
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(uuid->size() * 2);
    for (uint8_t byte : *uuid) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0f]);
    }
    imageUUID_ = std::move(text);
}

}  // namespace quorvane
