#include "crashreporter/report/MSCrashReport.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "crashreporter/capture/MSCrashReporter.h"
#include "crashreporter/capture/QVCrashReportFormat.h"
#include "crashreporter/report/QVCrashReport.pb-c.h"

namespace quorvane {

// The unpacked message, released with the runtime's default allocator.
struct QVCrashReportDecoder {
    Qvcrash__CrashReport* crashReport = nullptr;
    ~QVCrashReportDecoder() {
        if (crashReport != nullptr) qvcrash__crash_report__free_unpacked(crashReport, nullptr);
    }
};

namespace {

// A report refuses this many Mach exception codes or more.
constexpr size_t kMaxMachExceptionCodes = 256;

using Message = Qvcrash__CrashReport;
using StackFrames = std::vector<MSCrashReportStackFrameInfo>;

// Every refusal: code 2 with the message as description. The application ships no translation
// table for these messages, so they stay in English.
platform::Error refusal(const std::string& message) {
    return MSCrashReporterMakeError(MSCrashReporterErrorCrashReportInvalid, message);
}

std::optional<std::string> optionalString(const char* s) {
    if (s == nullptr) return std::nullopt;
    return std::string(s);
}

// Required strings are guaranteed by the unpacking; an absent one reads as empty.
std::string requiredString(const char* s) { return s != nullptr ? std::string(s) : std::string(); }

std::optional<platform::Date> dateSince1970(double seconds) { return platform::Date::fromUnix(seconds); }

// The unpacking stores whatever number a report holds in its enum fields, so a damaged report can
// hold a value no enumerator names: read the field as the integer it is.
template <typename Enum>
int32_t rawEnum(const Enum& field) {
    static_assert(sizeof(Enum) == sizeof(int32_t));
    int32_t value;
    std::memcpy(&value, &field, sizeof value);
    return value;
}

// Verifies the framing and unpacks the message.
platform::Result<Message*> decodeCrashData(const platform::Bytes& data) {
    if (data.size() <= kQVCrashReportHeaderLength) return refusal("Could not decode truncated crash log");
    if (std::memcmp(data.data(), kQVCrashReportFileMagic, kQVCrashReportFileMagicLength) != 0) {
        return refusal("Could not decode invalid crash log header");
    }
    const uint8_t version = data[kQVCrashReportFileMagicLength];
    if (version != kQVCrashReportFileVersion) {
        return refusal("Could not decode unsupported crash report version: " + std::to_string(version));
    }
    Message* message = qvcrash__crash_report__unpack(nullptr, data.size() - kQVCrashReportHeaderLength,
                                                     data.data() + kQVCrashReportHeaderLength);
    if (message == nullptr) return refusal("An unknown error occured decoding the crash report");
    return message;
}

platform::Result<MSCrashReportProcessorInfo> extractProcessorInfo(const Qvcrash__CrashReport__Processor* processor) {
    if (processor == nullptr) return refusal("Crash report is missing processor info section");
    // An absent encoding reads as the schema default, unknown.
    return MSCrashReportProcessorInfo::initWithTypeEncoding(
        static_cast<MSCrashReportProcessorTypeEncoding>(rawEnum(processor->encoding)), processor->type, processor->subtype);
}

// For reports without a machine section: the processor that the architecture stands for.
platform::Result<MSCrashReportProcessorInfo> synthesizeProcessorInfoFromArchitecture(int32_t architecture) {
    uint64_t type = 0, subtype = 0;
    switch (architecture) {
        case QVCRASH__ARCHITECTURE__X86_32: type = 7, subtype = 3; break;
        case QVCRASH__ARCHITECTURE__X86_64: type = 0x1000007, subtype = 3; break;
        case QVCRASH__ARCHITECTURE__ARMV6: type = 12, subtype = 6; break;
        case QVCRASH__ARCHITECTURE__PPC: type = 18, subtype = 0; break;
        case QVCRASH__ARCHITECTURE__PPC64: type = 0x1000012, subtype = 0; break;
        case QVCRASH__ARCHITECTURE__ARMV7: type = 12, subtype = 9; break;
        default: return refusal("Crash report has an unknown architecture");
    }
    return MSCrashReportProcessorInfo::initWithTypeEncoding(MSCrashReportProcessorTypeEncodingMach, type, subtype);
}

platform::Result<MSCrashReportSystemInfo> extractSystemInfo(const Qvcrash__CrashReport__SystemInfo* systemInfo,
                                                           std::optional<MSCrashReportProcessorInfo> processorInfo) {
    if (systemInfo == nullptr) return refusal("Crash report is missing System Information section");
    if (systemInfo->os_version == nullptr) {
        return refusal("Crash report is missing System Information OS version field");
    }
    if (!processorInfo) {
        auto extracted = synthesizeProcessorInfoFromArchitecture(rawEnum(systemInfo->architecture));
        if (!extracted) return extracted.error();
        processorInfo = std::move(*extracted);
    }
    std::optional<platform::Date> timestamp;
    if (systemInfo->timestamp != 0) timestamp = dateSince1970(static_cast<double>(systemInfo->timestamp));
    // An absent operating system reads as the schema default, unknown.
    return MSCrashReportSystemInfo::initWithOperatingSystem(
        static_cast<MSCrashReportOperatingSystem>(rawEnum(systemInfo->operating_system)), systemInfo->os_version,
        optionalString(systemInfo->os_build), static_cast<MSCrashReportArchitecture>(rawEnum(systemInfo->architecture)),
        processorInfo, timestamp);
}

platform::Result<MSCrashReportMachineInfo> extractMachineInfo(const Qvcrash__CrashReport__MachineInfo* machineInfo) {
    if (machineInfo == nullptr) return refusal("Crash report is missing Machine Information section");
    std::optional<MSCrashReportProcessorInfo> processorInfo;
    if (machineInfo->processor != nullptr) {
        auto extracted = extractProcessorInfo(machineInfo->processor);
        if (!extracted) return extracted.error();
        processorInfo = std::move(*extracted);
    }
    return MSCrashReportMachineInfo::initWithModelName(optionalString(machineInfo->model), processorInfo,
                                                       machineInfo->processor_count,
                                                       machineInfo->logical_processor_count);
}

platform::Result<MSCrashReportApplicationInfo> extractApplicationInfo(
    const Qvcrash__CrashReport__ApplicationInfo* applicationInfo) {
    if (applicationInfo == nullptr) return refusal("Crash report is missing Application Information section");
    if (applicationInfo->identifier == nullptr) {
        return refusal("Crash report is missing Application Information app identifier field");
    }
    if (applicationInfo->version == nullptr) {
        return refusal("Crash report is missing Application Information app version field");
    }
    return MSCrashReportApplicationInfo::initWithApplicationIdentifier(
        applicationInfo->identifier, applicationInfo->version, optionalString(applicationInfo->marketing_version));
}

platform::Result<MSCrashReportProcessInfo> extractProcessInfo(const Qvcrash__CrashReport__ProcessInfo* processInfo) {
    if (processInfo == nullptr) return refusal("Crash report is missing Process Information section");
    std::optional<platform::Date> startTime;
    if (processInfo->has_start_time) startTime = dateSince1970(static_cast<double>(processInfo->start_time));
    return MSCrashReportProcessInfo::initWithProcessName(
        optionalString(processInfo->process_name), processInfo->process_id, optionalString(processInfo->process_path),
        startTime, optionalString(processInfo->parent_process_name), processInfo->parent_process_id,
        processInfo->native != 0);
}

platform::Result<MSCrashReportSymbolInfo> extractSymbolInfo(const Qvcrash__CrashReport__Symbol* symbol) {
    if (symbol == nullptr) return refusal("Crash report is missing symbol information");
    return MSCrashReportSymbolInfo::initWithSymbolName(requiredString(symbol->name), symbol->start_address,
                                                       symbol->has_end_address ? symbol->end_address : 0);
}

platform::Result<MSCrashReportStackFrameInfo> extractStackFrameInfo(const Qvcrash__CrashReport__Thread__StackFrame* frame) {
    if (frame == nullptr) return refusal("Crash report is missing stack frame information");
    std::optional<MSCrashReportSymbolInfo> symbolInfo;
    if (frame->symbol != nullptr) {
        auto extracted = extractSymbolInfo(frame->symbol);
        if (!extracted) return extracted.error();
        symbolInfo = std::move(*extracted);
    }
    return MSCrashReportStackFrameInfo::initWithInstructionPointer(frame->pc, std::move(symbolInfo));
}

// The frames of a thread or an exception, in order.
platform::Result<StackFrames> extractStackFrames(Qvcrash__CrashReport__Thread__StackFrame* const* frames, size_t count) {
    StackFrames out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        auto frame = extractStackFrameInfo(frames[i]);
        if (!frame) return frame.error();
        out.push_back(std::move(*frame));
    }
    return out;
}

platform::Result<MSCrashReportThreadInfo> extractThreadInfo(const Qvcrash__CrashReport__Thread* thread) {
    if (thread == nullptr) return refusal("Crash report is missing thread state information");
    auto frames = extractStackFrames(thread->frames, thread->n_frames);
    if (!frames) return frames.error();
    std::vector<MSCrashReportRegisterInfo> registers;
    registers.reserve(thread->n_registers);
    for (size_t i = 0; i < thread->n_registers; ++i) {
        const Qvcrash__CrashReport__Thread__RegisterValue* value = thread->registers[i];
        if (value == nullptr || value->name == nullptr) return refusal("Missing register name in register value");
        registers.push_back(MSCrashReportRegisterInfo::initWithRegisterName(value->name, value->value));
    }
    return MSCrashReportThreadInfo::initWithThreadNumber(thread->thread_number, std::move(*frames),
                                                         thread->crashed != 0, std::move(registers));
}

platform::Result<MSCrashReportBinaryImageInfo> extractImageInfo(const Qvcrash__CrashReport__BinaryImage* image) {
    if (image == nullptr) return refusal("Crash report is missing binary image information");
    if (image->name == nullptr) return refusal("Missing image name in image record");
    std::optional<MSCrashReportProcessorInfo> codeType;
    if (image->code_type != nullptr) {
        auto extracted = extractProcessorInfo(image->code_type);
        if (!extracted) return extracted.error();
        codeType = std::move(*extracted);
    }
    // An empty identifier is no identifier.
    std::optional<platform::Bytes> uuid;
    if (image->has_uuid && image->uuid.len > 0) uuid = platform::Bytes(image->uuid.data, image->uuid.data + image->uuid.len);
    return MSCrashReportBinaryImageInfo::initWithCodeType(codeType, image->base_address, image->size,
                                                          image->name, uuid);
}

platform::Result<MSCrashReportExceptionInfo> extractExceptionInfo(const Qvcrash__CrashReport__Exception* exception) {
    if (exception == nullptr) return refusal("Crash report is missing Exception Information section");
    if (exception->name == nullptr) return refusal("Crash report is missing exception name field");
    if (exception->reason == nullptr) return refusal("Crash report is missing exception reason field");
    // No recorded call stack is no frames at all, not an empty list.
    std::optional<StackFrames> frames;
    if (exception->n_frames > 0) {
        auto extracted = extractStackFrames(exception->frames, exception->n_frames);
        if (!extracted) return extracted.error();
        frames = std::move(*extracted);
    }
    return MSCrashReportExceptionInfo::initWithExceptionName(exception->name, exception->reason, std::move(frames));
}

platform::Result<MSCrashReportSignalInfo> extractSignalInfo(const Qvcrash__CrashReport__Signal* signal) {
    if (signal == nullptr) return refusal("Crash report is missing Signal Information section");
    if (signal->name == nullptr) return refusal("Crash report is missing signal name field");
    if (signal->code == nullptr) return refusal("Crash report is missing signal code field");
    return MSCrashReportSignalInfo::initWithSignalName(signal->name, signal->code, signal->address);
}

platform::Result<MSCrashReportMachExceptionInfo> extractMachExceptionInfo(
    const Qvcrash__CrashReport__Signal__MachException* machException) {
    if (machException == nullptr) return refusal("Crash report is missing Mach Exception Information section");
    if (machException->n_codes >= kMaxMachExceptionCodes) {
        return refusal("Crash report includes too many Mach Exception codes");
    }
    return MSCrashReportMachExceptionInfo::initWithType(
        machException->type, std::vector<uint64_t>(machException->codes, machException->codes + machException->n_codes));
}

// The report's 16-byte identifier in the platform's UUID form.
platform::UUID uuidFromBytes(const uint8_t* b) {
    char text[37];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return *platform::UUID::fromString(text);
}

}  // namespace

MSCrashReport::MSCrashReport() : decoder_(std::make_unique<QVCrashReportDecoder>()) {}

MSCrashReport::~MSCrashReport() = default;

bool MSCrashReport::isOfNewerFormat(const platform::Bytes& data) {
    return data.size() >= kQVCrashReportHeaderLength &&
           std::memcmp(data.data(), kQVCrashReportFileMagic, kQVCrashReportFileMagicLength) == 0 &&
           data[kQVCrashReportFileMagicLength] > kQVCrashReportFileVersion;
}

platform::Result<std::unique_ptr<MSCrashReport>> MSCrashReport::initWithData(const platform::Bytes& data) {
    std::unique_ptr<MSCrashReport> report(new MSCrashReport());

    auto decoded = decodeCrashData(data);
    if (!decoded) return decoded.error();
    report->decoder_->crashReport = *decoded;
    const Message* message = report->decoder_->crashReport;

    if (message->report_info != nullptr && message->report_info->has_uuid) {
        if (message->report_info->uuid.len != 16) return refusal("Report UUID value is not a standard 16 bytes");
        report->uuidRef_ = uuidFromBytes(message->report_info->uuid.data);
    }

    if (message->machine_info != nullptr) {
        auto machineInfo = extractMachineInfo(message->machine_info);
        if (!machineInfo) return machineInfo.error();
        report->machineInfo_ = std::move(*machineInfo);
    }

    auto systemInfo = extractSystemInfo(message->system_info,
                                        report->machineInfo_ ? report->machineInfo_->processorInfo() : std::nullopt);
    if (!systemInfo) return systemInfo.error();
    report->systemInfo_ = std::move(*systemInfo);

    auto applicationInfo = extractApplicationInfo(message->application_info);
    if (!applicationInfo) return applicationInfo.error();
    report->applicationInfo_ = std::move(*applicationInfo);

    if (message->process_info != nullptr) {
        auto processInfo = extractProcessInfo(message->process_info);
        if (!processInfo) return processInfo.error();
        report->processInfo_ = std::move(*processInfo);
    }

    auto signalInfo = extractSignalInfo(message->signal);
    if (!signalInfo) return signalInfo.error();
    report->signalInfo_ = std::move(*signalInfo);

    if (message->signal->mach_exception != nullptr) {
        auto machExceptionInfo = extractMachExceptionInfo(message->signal->mach_exception);
        if (!machExceptionInfo) return machExceptionInfo.error();
        report->machExceptionInfo_ = std::move(*machExceptionInfo);
    }

    if (message->n_threads == 0) return refusal("Crash report is missing thread state information");
    report->threads_.reserve(message->n_threads);
    for (size_t i = 0; i < message->n_threads; ++i) {
        auto thread = extractThreadInfo(message->threads[i]);
        if (!thread) return thread.error();
        report->threads_.push_back(std::move(*thread));
    }

    if (message->n_binary_images == 0) return refusal("Crash report is missing binary image information");
    report->images_.reserve(message->n_binary_images);
    for (size_t i = 0; i < message->n_binary_images; ++i) {
        auto image = extractImageInfo(message->binary_images[i]);
        if (!image) return image.error();
        report->images_.push_back(std::move(*image));
    }

    if (message->exception != nullptr) {
        auto exceptionInfo = extractExceptionInfo(message->exception);
        if (!exceptionInfo) return exceptionInfo.error();
        report->exceptionInfo_ = std::move(*exceptionInfo);
    }
    return report;
}

const MSCrashReportBinaryImageInfo* MSCrashReport::imageForAddress(uint64_t address) const {
    for (const auto& image : images_) {
        // Measured from the base, so that an image reaching the top of the address space (whose
        // base + size wraps) still holds its addresses.
        if (address >= image.imageBaseAddress() && address - image.imageBaseAddress() < image.imageSize()) {
            return &image;
        }
    }
    return nullptr;
}

}  // namespace quorvane
