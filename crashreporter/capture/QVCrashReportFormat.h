#pragma once
// The crash report file, as both sides see it: the writer that makes it at crash time and the
// decoder that reads it at the next start. A file is the 7 ASCII bytes "qvcrash", the version
// byte, then one qvcrash.CrashReport message (crashreporter/report/QVCrashReport.proto) running
// to the end of the file.
//
// The writer encodes the message by hand with the field numbers below; the decoder unpacks it
// with the protobuf-c code generated from the schema. A test holds these numbers and values
// against the generated descriptors, so the two sides cannot drift apart. Everything here is a
// constant: usable at crash time.

#include <cstddef>
#include <cstdint>

namespace quorvane {

// ---- framing ----

inline constexpr char kQVCrashReportFileMagic[] = "qvcrash";  // no terminator in the file
inline constexpr size_t kQVCrashReportFileMagicLength = sizeof(kQVCrashReportFileMagic) - 1;
inline constexpr uint8_t kQVCrashReportFileVersion = 1;
// Magic and version byte; the message follows.
inline constexpr size_t kQVCrashReportHeaderLength = kQVCrashReportFileMagicLength + 1;
// The largest file the writer makes: a write that would pass it is dropped whole, so an oversized
// report is left incomplete and does not decode.
inline constexpr uint64_t kQVCrashReportMaxSize = 262144;

}  // namespace quorvane

// ---- field numbers and enumeration values of the message ----
// Stored format: never renumber.

namespace quorvane::qvcrash::format {

// qvcrash.CrashReport
enum : uint32_t {
    kReportSystemInfo = 1,
    kReportApplicationInfo = 2,
    kReportThreads = 3,
    kReportBinaryImages = 4,
    kReportException = 5,
    kReportSignal = 6,
    kReportProcessInfo = 7,
    kReportMachineInfo = 8,
    kReportReportInfo = 9,
};

// CrashReport.SystemInfo
enum : uint32_t {
    kSystemOS = 1,
    kSystemOSVersion = 2,
    kSystemArchitecture = 3,
    kSystemTimestamp = 4,
    kSystemOSBuild = 5,
};

// CrashReport.Processor
enum : uint32_t {
    kProcessorEncoding = 1,
    kProcessorType = 2,
    kProcessorSubtype = 3,
};

// CrashReport.MachineInfo
enum : uint32_t {
    kMachineModel = 1,
    kMachineProcessor = 2,
    kMachineProcessorCount = 3,
    kMachineLogicalProcessorCount = 4,
};

// CrashReport.ApplicationInfo
enum : uint32_t {
    kApplicationIdentifier = 1,
    kApplicationVersion = 2,
    kApplicationMarketingVersion = 3,
};

// CrashReport.ProcessInfo
enum : uint32_t {
    kProcessName = 1,
    kProcessID = 2,
    kProcessPath = 3,
    kProcessParentName = 4,
    kProcessParentID = 5,
    kProcessNative = 6,
    kProcessStartTime = 7,
};

// CrashReport.Thread
enum : uint32_t {
    kThreadNumber = 1,
    kThreadFrames = 2,
    kThreadCrashed = 3,
    kThreadRegisters = 4,
};

// CrashReport.Thread.StackFrame (1, 2, 4 and 5 are not used)
enum : uint32_t {
    kFramePC = 3,
    kFrameSymbol = 6,
};

// CrashReport.Thread.RegisterValue
enum : uint32_t {
    kRegisterName = 1,
    kRegisterValue = 2,
};

// CrashReport.Symbol
enum : uint32_t {
    kSymbolName = 1,
    kSymbolStartAddress = 2,
    kSymbolEndAddress = 3,
};

// CrashReport.BinaryImage
enum : uint32_t {
    kImageBaseAddress = 1,
    kImageSize = 2,
    kImageName = 3,
    kImageUUID = 4,
    kImageCodeType = 5,
};

// CrashReport.Exception
enum : uint32_t {
    kExceptionName = 1,
    kExceptionReason = 2,
    kExceptionFrames = 3,
};

// CrashReport.Signal
enum : uint32_t {
    kSignalName = 1,
    kSignalCode = 2,
    kSignalAddress = 3,
    kSignalMachException = 4,
};

// CrashReport.Signal.MachException
enum : uint32_t {
    kMachExceptionType = 1,
    kMachExceptionCodes = 2,
};

// CrashReport.ReportInfo
enum : uint32_t {
    kReportInfoUserRequested = 1,
    kReportInfoUUID = 2,
};

// Enumeration values the writer stores.
inline constexpr uint32_t kOperatingSystemUnknown = 3;  // SystemInfo.OperatingSystem
inline constexpr uint32_t kOperatingSystemLinux = 5;
inline constexpr uint32_t kArchitectureX86_64 = 1;      // qvcrash.Architecture
inline constexpr uint32_t kArchitectureUnknown = 6;
inline constexpr uint32_t kTypeEncodingUnknown = 0;  // Processor.TypeEncoding
inline constexpr uint32_t kTypeEncodingMach = 1;

}  // namespace quorvane::qvcrash::format
