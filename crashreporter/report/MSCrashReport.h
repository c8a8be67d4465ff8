#pragma once
// A crash report file read back: the framing is verified, the message is unpacked with the
// generated protobuf-c code and every section becomes a read-only record. Decoding is all or
// nothing: the first refused section fails the whole report with one error of the reporter's
// domain (code MSCrashReporterErrorCrashReportInvalid), and nothing is logged.
//
// Values are kept as the engine stored them and not translated. On Linux the engine writes the
// operating system as MSCrashReportOperatingSystemUnknown, the processor in Mach CPU numbering
// (x86-64: type 16777223, subtype 3) and each image's GNU build id as its UUID, at the build id's
// own length (usually 20 bytes, so 40 hexadecimal digits).

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "crashreporter/report/MSCrashReportApplicationInfo.h"
#include "crashreporter/report/MSCrashReportBinaryImageInfo.h"
#include "crashreporter/report/MSCrashReportExceptionInfo.h"
#include "crashreporter/report/MSCrashReportMachExceptionInfo.h"
#include "crashreporter/report/MSCrashReportMachineInfo.h"
#include "crashreporter/report/MSCrashReportProcessInfo.h"
#include "crashreporter/report/MSCrashReportProcessorInfo.h"
#include "crashreporter/report/MSCrashReportRegisterInfo.h"
#include "crashreporter/report/MSCrashReportSignalInfo.h"
#include "crashreporter/report/MSCrashReportStackFrameInfo.h"
#include "crashreporter/report/MSCrashReportSymbolInfo.h"
#include "crashreporter/report/MSCrashReportSystemInfo.h"
#include "crashreporter/report/MSCrashReportThreadInfo.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/UUID.h"
#include "platform/foundation/Value.h"

namespace quorvane {

// Holds the unpacked message for the report's whole life (defined with the decoder).
struct QVCrashReportDecoder;

class MSCrashReport {
public:
    // The bytes of one report file; a kQVCrashReporterErrorDomain error saying what is wrong when
    // they are not a valid report.
    static platform::Result<std::unique_ptr<MSCrashReport>> initWithData(const platform::Bytes& data);
    // True when the bytes are framed as a report of a later format version than this build
    // reads: a later version of the application sharing the folders can read it.
    static bool isOfNewerFormat(const platform::Bytes& data);
    ~MSCrashReport();
    MSCrashReport(const MSCrashReport&) = delete;
    MSCrashReport& operator=(const MSCrashReport&) = delete;

    const MSCrashReportSystemInfo& systemInfo() const { return *systemInfo_; }
    bool hasMachineInfo() const { return machineInfo_.has_value(); }
    // Empty when the file has no machine section.
    const std::optional<MSCrashReportMachineInfo>& machineInfo() const { return machineInfo_; }
    const MSCrashReportApplicationInfo& applicationInfo() const { return *applicationInfo_; }
    bool hasProcessInfo() const { return processInfo_.has_value(); }
    // Empty when the file has no process section.
    const std::optional<MSCrashReportProcessInfo>& processInfo() const { return processInfo_; }
    const MSCrashReportSignalInfo& signalInfo() const { return *signalInfo_; }
    // Empty unless the crash came as a Mach exception.
    const std::optional<MSCrashReportMachExceptionInfo>& machExceptionInfo() const { return machExceptionInfo_; }
    // In file order; at least one.
    const std::vector<MSCrashReportThreadInfo>& threads() const { return threads_; }
    // In file order; at least one.
    const std::vector<MSCrashReportBinaryImageInfo>& images() const { return images_; }
    bool hasExceptionInfo() const { return exceptionInfo_.has_value(); }
    // Empty unless the process died of an uncaught exception.
    const std::optional<MSCrashReportExceptionInfo>& exceptionInfo() const { return exceptionInfo_; }
    // The report's identifier; nullopt when the file has none.
    const std::optional<platform::UUID>& uuidRef() const { return uuidRef_; }

    // The first image, in images() order, whose range [base, base + size) holds the address; null
    // when none does. Points into this report.
    const MSCrashReportBinaryImageInfo* imageForAddress(uint64_t address) const;

private:
    MSCrashReport();

    std::unique_ptr<QVCrashReportDecoder> decoder_;
    // The records are values the report owns; the three always present are set by a decode that
    // succeeds (a report is handed out only then).
    std::optional<MSCrashReportSystemInfo> systemInfo_;
    std::optional<MSCrashReportMachineInfo> machineInfo_;
    std::optional<MSCrashReportApplicationInfo> applicationInfo_;
    std::optional<MSCrashReportProcessInfo> processInfo_;
    std::optional<MSCrashReportSignalInfo> signalInfo_;
    std::optional<MSCrashReportMachExceptionInfo> machExceptionInfo_;
    std::vector<MSCrashReportThreadInfo> threads_;
    std::vector<MSCrashReportBinaryImageInfo> images_;
    std::optional<MSCrashReportExceptionInfo> exceptionInfo_;
    std::optional<platform::UUID> uuidRef_;
};

}  // namespace quorvane
