// Crash report files: a file the decoder accepts has at least one thread and one image, its
// required sections, and images that hold their own addresses, and renders as a text crash log;
// a refused file has an error.

#include <cstddef>
#include <cstdint>

#include "crashreporter/report/MSCrashReport.h"
#include "crashreporter/report/MSCrashReportTextFormatter.h"
#include "fuzz/FuzzCheck.h"

using namespace quorvane;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto decoded = MSCrashReport::initWithData(platform::Bytes(data, data + size));
    if (!decoded) {
        FUZZ_CHECK(!decoded.error().domain.empty(), "a refused file comes with an error");
        return 0;
    }
    const auto& report = *decoded;
    FUZZ_CHECK(!report->threads().empty(), "an accepted report has a thread");
    FUZZ_CHECK(!report->images().empty(), "an accepted report has an image");
    FUZZ_CHECK(report->systemInfo().processorInfo().has_value(), "an accepted report names its processor");
    for (const auto& image : report->images()) {
        if (image.imageSize() == 0) continue;
        const auto* found = report->imageForAddress(image.imageBaseAddress());
        FUZZ_CHECK(found && report->imageForAddress(image.imageBaseAddress() + image.imageSize() - 1),
                   "an image's own addresses are found in an image");
    }
    for (uint64_t address : {uint64_t(0), uint64_t(0x1000), ~uint64_t(0)}) (void)report->imageForAddress(address);

    const std::string text = MSCrashReportTextFormatter::stringValueForCrashReport(*report, MSCrashReportTextFormatiOS);
    FUZZ_CHECK(text.starts_with("Incident Identifier: ") && text.ends_with("\n"), "the text has its frame");
    FUZZ_CHECK(text.find("\nReport Version:  104\n") != std::string::npos && text.find("\nBinary Images:\n") != std::string::npos,
               "the text has its fixed lines");
    return 0;
}
