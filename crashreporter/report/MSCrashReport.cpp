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
// table for these messages, so they stay in English. Reads as "nothing" for any record.
struct Refusal {
    template <typename T>
    operator std::optional<T>() const { return std::nullopt; }
    template <typename T>
    operator std::unique_ptr<T>() const { return nullptr; }
    operator Message*() const { return nullptr; }
};
Refusal fail(platform::Error* error, const std::string& message) {
    if (error != nullptr) *error = MSCrashReporterMakeError(MSCrashReporterErrorCrashReportInvalid, message);
    return {};
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

// Verifies the framing and unpacks the message; null after setting the error.
Message* decodeCrashData(const platform::Bytes& data, platform::Error* error) {
    if (data.size() <= kQVCrashReportHeaderLength) return fail(error, "Could not decode truncated crash log");
    if (std::memcmp(data.data(), kQVCrashReportFileMagic, kQVCrashReportFileMagicLength) != 0) {
        return fail(error, "Could not decode invalid crash log header");
    }
    const uint8_t version = data[kQVCrashReportFileMagicLength];
    if (version != kQVCrashReportFileVersion) {
        return fail(error, "Could not decode unsupported crash report version: " + std::to_string(version));
    }
    Message* message = qvcrash__crash_report__unpack(nullptr, data.size() - kQVCrashReportHeaderLength,
                                                     data.data() + kQVCrashReportHeaderLength);
    if (message == nullptr) return fail(error, "An unknown error occured decoding the crash report");
    return message;
}

std::optional<MSCrashReportProcessorInfo> extractProcessorInfo(const Qvcrash__CrashReport__Processor* processor,
                                                                 platform::Error* error) {
    if (processor == nullptr) return fail(error, "Crash report is missing processor info section");
    // An absent encoding reads as the schema default, unknown.
    return MSCrashReportProcessorInfo::initWithTypeEncoding(
        static_cast<MSCrashReportProcessorTypeEncoding>(rawEnum(processor->encoding)), processor->type, processor->subtype);
}

// For reports without a machine section: the processor that the architecture stands for.
std::optional<MSCrashReportProcessorInfo> synthesizeProcessorInfoFromArchitecture(int32_t architecture,
                                                                                    platform::Error* error) {
    uint64_t type = 0, subtype = 0;
    switch (architecture) {
        case QVCRASH__ARCHITECTURE__X86_32: type = 7, subtype = 3; break;
        case QVCRASH__ARCHITECTURE__X86_64: type = 0x1000007, subtype = 3; break;
        case QVCRASH__ARCHITECTURE__ARMV6: type = 12, subtype = 6; break;
        case QVCRASH__ARCHITECTURE__PPC: type = 18, subtype = 0; break;
        case QVCRASH__ARCHITECTURE__PPC64: type = 0x1000012, subtype = 0; break;
        case QVCRASH__ARCHITECTURE__ARMV7: type = 12, subtype = 9; break;
        default: return fail(error, "Crash report has an unknown architecture");
    }
    return MSCrashReportProcessorInfo::initWithTypeEncoding(MSCrashReportProcessorTypeEncodingMach, type, subtype);
}

std::optional<MSCrashReportSystemInfo> extractSystemInfo(const Qvcrash__CrashReport__SystemInfo* systemInfo,
                                                           std::optional<MSCrashReportProcessorInfo> processorInfo,
                                                           platform::Error* error) {
    if (systemInfo == nullptr) return fail(error, "Crash report is missing System Information section");
    if (systemInfo->os_version == nullptr) {
        return fail(error, "Crash report is missing System Information OS version field");
    }
    if (!processorInfo) {
        processorInfo = synthesizeProcessorInfoFromArchitecture(rawEnum(systemInfo->architecture), error);
        if (!processorInfo) return std::nullopt;
    }
    std::optional<platform::Date> timestamp;
    if (systemInfo->timestamp != 0) timestamp = dateSince1970(static_cast<double>(systemInfo->timestamp));
    // An absent operating system reads as the schema default, unknown.
    return MSCrashReportSystemInfo::initWithOperatingSystem(
        static_cast<MSCrashReportOperatingSystem>(rawEnum(systemInfo->operating_system)), systemInfo->os_version,
        optionalString(systemInfo->os_build), static_cast<MSCrashReportArchitecture>(rawEnum(systemInfo->architecture)),
        processorInfo, timestamp);
}

std::optional<MSCrashReportMachineInfo> extractMachineInfo(const Qvcrash__CrashReport__MachineInfo* machineInfo,
                                                             platform::Error* error) {
    if (machineInfo == nullptr) return fail(error, "Crash report is missing Machine Information section");
    std::optional<MSCrashReportProcessorInfo> processorInfo;
    if (machineInfo->processor != nullptr) {
        processorInfo = extractProcessorInfo(machineInfo->processor, error);
        if (!processorInfo) return std::nullopt;
    }
    return MSCrashReportMachineInfo::initWithModelName(optionalString(machineInfo->model), processorInfo,
                                                       machineInfo->processor_count,
                                                       machineInfo->logical_processor_count);
}

std::optional<MSCrashReportApplicationInfo> extractApplicationInfo(
    const Qvcrash__CrashReport__ApplicationInfo* applicationInfo, platform::Error* error) {
    if (applicationInfo == nullptr) return fail(error, "Crash report is missing Application Information section");
    if (applicationInfo->identifier == nullptr) {
        return fail(error, "Crash report is missing Application Information app identifier field");
    }
    if (applicationInfo->version == nullptr) {
        return fail(error, "Crash report is missing Application Information app version field");
    }
    return MSCrashReportApplicationInfo::initWithApplicationIdentifier(
        applicationInfo->identifier, applicationInfo->version, optionalString(applicationInfo->marketing_version));
}

std::optional<MSCrashReportProcessInfo> extractProcessInfo(const Qvcrash__CrashReport__ProcessInfo* processInfo,
                                                             platform::Error* error) {
    if (processInfo == nullptr) return fail(error, "Crash report is missing Process Information section");
    std::optional<platform::Date> startTime;
    if (processInfo->has_start_time) startTime = dateSince1970(static_cast<double>(processInfo->start_time));
    return MSCrashReportProcessInfo::initWithProcessName(
        optionalString(processInfo->process_name), processInfo->process_id, optionalString(processInfo->process_path),
        startTime, optionalString(processInfo->parent_process_name), processInfo->parent_process_id,
        processInfo->native != 0);
}

std::optional<MSCrashReportSymbolInfo> extractSymbolInfo(const Qvcrash__CrashReport__Symbol* symbol,
                                                           platform::Error* error) {
    if (symbol == nullptr) return fail(error, "Crash report is missing symbol information");
    return MSCrashReportSymbolInfo::initWithSymbolName(requiredString(symbol->name), symbol->start_address,
                                                       symbol->has_end_address ? symbol->end_address : 0);
}

std::optional<MSCrashReportStackFrameInfo> extractStackFrameInfo(const Qvcrash__CrashReport__Thread__StackFrame* frame,
                                                                   platform::Error* error) {
    if (frame == nullptr) return fail(error, "Crash report is missing stack frame information");
    std::optional<MSCrashReportSymbolInfo> symbolInfo;
    if (frame->symbol != nullptr) {
        symbolInfo = extractSymbolInfo(frame->symbol, error);
        if (!symbolInfo) return std::nullopt;
    }
    return MSCrashReportStackFrameInfo::initWithInstructionPointer(frame->pc, std::move(symbolInfo));
}

// The frames of a thread or an exception, in order; false after setting the error.
bool extractStackFrames(Qvcrash__CrashReport__Thread__StackFrame* const* frames, size_t count, StackFrames& out,
                        platform::Error* error) {
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        auto frame = extractStackFrameInfo(frames[i], error);
        if (!frame) return false;
        out.push_back(std::move(*frame));
    }
    return true;
}

std::optional<MSCrashReportThreadInfo> extractThreadInfo(const Qvcrash__CrashReport__Thread* thread,
                                                           platform::Error* error) {
    if (thread == nullptr) return fail(error, "Crash report is missing thread state information");
    StackFrames frames;
    if (!extractStackFrames(thread->frames, thread->n_frames, frames, error)) return std::nullopt;
    std::vector<MSCrashReportRegisterInfo> registers;
    registers.reserve(thread->n_registers);
    for (size_t i = 0; i < thread->n_registers; ++i) {
        const Qvcrash__CrashReport__Thread__RegisterValue* value = thread->registers[i];
        if (value == nullptr || value->name == nullptr) return fail(error, "Missing register name in register value");
        registers.push_back(MSCrashReportRegisterInfo::initWithRegisterName(value->name, value->value));
    }
    return MSCrashReportThreadInfo::initWithThreadNumber(thread->thread_number, std::move(frames),
                                                         thread->crashed != 0, std::move(registers));
}

std::optional<MSCrashReportBinaryImageInfo> extractImageInfo(const Qvcrash__CrashReport__BinaryImage* image,
                                                               platform::Error* error) {
    if (image == nullptr) return fail(error, "Crash report is missing binary image information");
    if (image->name == nullptr) return fail(error, "Missing image name in image record");
    std::optional<MSCrashReportProcessorInfo> codeType;
    if (image->code_type != nullptr) {
        codeType = extractProcessorInfo(image->code_type, error);
        if (!codeType) return std::nullopt;
    }
    // An empty identifier is no identifier.
    std::optional<platform::Bytes> uuid;
    if (image->has_uuid && image->uuid.len > 0) uuid = platform::Bytes(image->uuid.data, image->uuid.data + image->uuid.len);
    return MSCrashReportBinaryImageInfo::initWithCodeType(codeType, image->base_address, image->size,
                                                          image->name, uuid);
}

std::optional<MSCrashReportExceptionInfo> extractExceptionInfo(const Qvcrash__CrashReport__Exception* exception,
                                                                 platform::Error* error) {
    if (exception == nullptr) return fail(error, "Crash report is missing Exception Information section");
    if (exception->name == nullptr) return fail(error, "Crash report is missing exception name field");
    if (exception->reason == nullptr) return fail(error, "Crash report is missing exception reason field");
    // No recorded call stack is no frames at all, not an empty list.
    std::optional<StackFrames> frames;
    if (exception->n_frames > 0) {
        frames.emplace();
        if (!extractStackFrames(exception->frames, exception->n_frames, *frames, error)) return std::nullopt;
    }
    return MSCrashReportExceptionInfo::initWithExceptionName(exception->name, exception->reason, std::move(frames));
}

std::optional<MSCrashReportSignalInfo> extractSignalInfo(const Qvcrash__CrashReport__Signal* signal,
                                                           platform::Error* error) {
    if (signal == nullptr) return fail(error, "Crash report is missing Signal Information section");
    if (signal->name == nullptr) return fail(error, "Crash report is missing signal name field");
    if (signal->code == nullptr) return fail(error, "Crash report is missing signal code field");
    return MSCrashReportSignalInfo::initWithSignalName(signal->name, signal->code, signal->address);
}

std::optional<MSCrashReportMachExceptionInfo> extractMachExceptionInfo(
    const Qvcrash__CrashReport__Signal__MachException* machException, platform::Error* error) {
    if (machException == nullptr) return fail(error, "Crash report is missing Mach Exception Information section");
    if (machException->n_codes >= kMaxMachExceptionCodes) {
        return fail(error, "Crash report includes too many Mach Exception codes");
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

std::unique_ptr<MSCrashReport> MSCrashReport::initWithData(const platform::Bytes& data, platform::Error* error) {
    std::unique_ptr<MSCrashReport> report(new MSCrashReport());

    report->decoder_->crashReport = decodeCrashData(data, error);
    const Message* message = report->decoder_->crashReport;
    if (message == nullptr) return nullptr;

    if (message->report_info != nullptr && message->report_info->has_uuid) {
        if (message->report_info->uuid.len != 16) return fail(error, "Report UUID value is not a standard 16 bytes");
        report->uuidRef_ = uuidFromBytes(message->report_info->uuid.data);
    }

    if (message->machine_info != nullptr) {
        report->machineInfo_ = extractMachineInfo(message->machine_info, error);
        if (!report->machineInfo_) return nullptr;
    }

    auto systemInfo = extractSystemInfo(
        message->system_info, report->machineInfo_ ? report->machineInfo_->processorInfo() : std::nullopt, error);
    if (!systemInfo) return nullptr;
    report->systemInfo_ = std::move(*systemInfo);

    auto applicationInfo = extractApplicationInfo(message->application_info, error);
    if (!applicationInfo) return nullptr;
    report->applicationInfo_ = std::move(*applicationInfo);

    if (message->process_info != nullptr) {
        report->processInfo_ = extractProcessInfo(message->process_info, error);
        if (!report->processInfo_) return nullptr;
    }

    auto signalInfo = extractSignalInfo(message->signal, error);
    if (!signalInfo) return nullptr;
    report->signalInfo_ = std::move(*signalInfo);

    if (message->signal->mach_exception != nullptr) {
        report->machExceptionInfo_ = extractMachExceptionInfo(message->signal->mach_exception, error);
        if (!report->machExceptionInfo_) return nullptr;
    }

    if (message->n_threads == 0) return fail(error, "Crash report is missing thread state information");
    report->threads_.reserve(message->n_threads);
    for (size_t i = 0; i < message->n_threads; ++i) {
        auto thread = extractThreadInfo(message->threads[i], error);
        if (!thread) return nullptr;
        report->threads_.push_back(std::move(*thread));
    }

    if (message->n_binary_images == 0) return fail(error, "Crash report is missing binary image information");
    report->images_.reserve(message->n_binary_images);
    for (size_t i = 0; i < message->n_binary_images; ++i) {
        auto image = extractImageInfo(message->binary_images[i], error);
        if (!image) return nullptr;
        report->images_.push_back(std::move(*image));
    }

    if (message->exception != nullptr) {
        report->exceptionInfo_ = extractExceptionInfo(message->exception, error);
        if (!report->exceptionInfo_) return nullptr;
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
