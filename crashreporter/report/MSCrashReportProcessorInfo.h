#pragma once
// A processor description of a decoded crash report: the machine's processor or an image's code
// type.

#include <cstdint>

namespace quorvane {

// How a processor's type and subtype are to be read.
enum MSCrashReportProcessorTypeEncoding : int32_t {
    MSCrashReportProcessorTypeEncodingUnknown = 0,
    // Mach CPU type and subtype numbering (on Linux the engine maps the ELF machine onto it).
    MSCrashReportProcessorTypeEncodingMach = 1,
};

class MSCrashReportProcessorInfo {
public:
    static MSCrashReportProcessorInfo initWithTypeEncoding(MSCrashReportProcessorTypeEncoding typeEncoding,
                                                           uint64_t type, uint64_t subtype) {
        return MSCrashReportProcessorInfo(typeEncoding, type, subtype);
    }
    MSCrashReportProcessorInfo(MSCrashReportProcessorTypeEncoding typeEncoding, uint64_t type, uint64_t subtype)
        : typeEncoding_(typeEncoding), type_(type), subtype_(subtype) {}

    MSCrashReportProcessorTypeEncoding typeEncoding() const { return typeEncoding_; }
    // The CPU type, e.g. 7 x86, 16777223 x86-64, 12 ARM, 16777228 ARM64, 18 PowerPC.
    uint64_t type() const { return type_; }
    uint64_t subtype() const { return subtype_; }

    bool operator==(const MSCrashReportProcessorInfo&) const = default;

private:
    MSCrashReportProcessorTypeEncoding typeEncoding_;
    uint64_t type_;
    uint64_t subtype_;
};

}  // namespace quorvane
