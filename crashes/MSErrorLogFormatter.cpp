#include "crashes/MSErrorLogFormatter.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "crashes/MSWrapperException.h"
#include "platform/foundation/Crypto.h"
#include "telemetry/MSDeviceTracker.h"
#include "telemetry/MSLogger.h"
#include "telemetry/MSRevAzezar.h"
#include "telemetry/MSSessionContext.h"
#include "telemetry/MSUserIdContext.h"

namespace quorvane {

namespace {

constexpr uint64_t kCpuTypeX86 = 7;
constexpr uint64_t kCpuTypeX86_64 = 16777223;
constexpr uint64_t kCpuTypeArm = 12;
constexpr uint64_t kCpuTypeArm64 = 16777228;
constexpr uint64_t kCpuTypePowerPC = 18;
constexpr uint64_t kCpuTypePowerPC64 = 16777234;

// ELF machine numbers of the images this machine loads.
constexpr uint64_t kElfMachine386 = 3;
constexpr uint64_t kElfMachinePPC = 20;
constexpr uint64_t kElfMachinePPC64 = 21;
constexpr uint64_t kElfMachineARM = 40;
constexpr uint64_t kElfMachineX86_64 = 62;
constexpr uint64_t kElfMachineAArch64 = 183;

std::optional<uint64_t> cpuTypeForArchitecture(MSCrashReportArchitecture architecture) {
    switch (architecture) {
        case MSCrashReportArchitectureX86_32: return kCpuTypeX86;
        case MSCrashReportArchitectureX86_64: return kCpuTypeX86_64;
        case MSCrashReportArchitectureARMv6: return kCpuTypeArm;
        case MSCrashReportArchitecturePPC: return kCpuTypePowerPC;
        case MSCrashReportArchitectureARMv7: return kCpuTypeArm;
        default: return std::nullopt;
    }
}

std::string hexAddress(uint64_t value) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "0x%" PRIx64, value);
    return buf;
}

// "<base or name> + <offset>", the offset printed as a signed number.
std::string withOffset(const std::string& head, uint64_t from, uint64_t to) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), " + %" PRId64, static_cast<int64_t>(to - from));
    return head + buf;
}

std::string lastPathComponent(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    auto slash = p.rfind('/');
    return slash == std::string::npos || p.size() == 1 ? p : p.substr(slash + 1);
}

std::string lowercased(std::string s) {
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string standardizedPath(const std::string& path) {
    std::string s = std::filesystem::path(path).lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

// Replaces every "<prefix><name>/" by "<prefix>USER/".
std::string replaceUserFolders(const std::string& path, const std::string& prefix) {
    std::string out;
    size_t i = 0;
    while (i < path.size()) {
        if (path.compare(i, prefix.size(), prefix) == 0) {
            const size_t nameStart = i + prefix.size();
            const size_t slash = path.find('/', nameStart);
            if (slash != std::string::npos && slash > nameStart) {
                out += prefix + "USER/";
                i = slash + 1;
                continue;
            }
        }
        out += path[i++];
    }
    return out;
}

}  // namespace

std::string MSErrorLogFormatter::formatAddress(uint64_t address, bool is64bit) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "0x%0*" PRIx64, is64bit ? 16 : 8, normalizeAddress(address, is64bit));
    return buf;
}

std::optional<MSErrorLogFormatter::MachCodeType> MSErrorLogFormatter::machCodeTypeOfImage(
    const MSCrashReportBinaryImageInfo& image) {
    const auto& codeType = image.codeType();
    if (!codeType) return std::nullopt;
    if (codeType->typeEncoding() == MSCrashReportProcessorTypeEncodingMach)
        return MachCodeType{codeType->type(), codeType->subtype()};
    if (codeType->typeEncoding() != MSCrashReportProcessorTypeEncodingUnknown) return std::nullopt;
    switch (codeType->type()) {
        case kElfMachineX86_64: return MachCodeType{kCpuTypeX86_64, 3};
        case kElfMachine386: return MachCodeType{kCpuTypeX86, 3};
        case kElfMachineAArch64: return MachCodeType{kCpuTypeArm64, 0};
        case kElfMachineARM: return MachCodeType{kCpuTypeArm, 0};
        case kElfMachinePPC: return MachCodeType{kCpuTypePowerPC, 0};
        case kElfMachinePPC64: return MachCodeType{kCpuTypePowerPC64, 0};
        default: return std::nullopt;
    }
}

std::optional<uint64_t> MSErrorLogFormatter::extractCodeTypeFromReport(const MSCrashReport& report) {
    const auto architecture = report.systemInfo().architecture();
    for (const auto& image : report.images()) {
        if (auto mach = machCodeTypeOfImage(image)) return mach->type;
        if (auto fromTable = cpuTypeForArchitecture(architecture)) return fromTable;
    }
    // No image tells: the processor the engine recorded for the machine.
    const auto& processor = report.systemInfo().processorInfo();
    if (processor && processor->typeEncoding() == MSCrashReportProcessorTypeEncodingMach) return processor->type();
    return cpuTypeForArchitecture(architecture);
}

bool MSErrorLogFormatter::isCodeType64bit(std::optional<uint64_t> codeType) {
    return codeType && (*codeType == kCpuTypeX86_64 || *codeType == kCpuTypeArm64 || *codeType == kCpuTypePowerPC64);
}

std::optional<std::string> MSErrorLogFormatter::uuidRefToString(const std::optional<platform::UUID>& uuid) {
    return uuid ? std::optional<std::string>(uuid->uuidString()) : std::nullopt;
}

std::string MSErrorLogFormatter::errorIdForCrashReport(const MSCrashReport& report) {
    if (auto id = uuidRefToString(report.uuidRef())) return *id;
    // A name-based identifier: the same report always gets the same one.
    std::string seed = "qvcrash-report";
    auto add = [&seed](uint64_t v) { seed.append(reinterpret_cast<const char*>(&v), sizeof(v)); };
    if (const auto& ts = report.systemInfo().timestamp()) seed += std::to_string(ts->timeIntervalSinceReferenceDate());
    if (const auto& process = report.processInfo()) {
        add(process->processID());
        if (process->processStartTime()) seed += std::to_string(process->processStartTime()->timeIntervalSinceReferenceDate());
        seed += process->processPath().value_or("");
    }
    seed += report.signalInfo().name() + "/" + report.signalInfo().code();
    add(report.signalInfo().address());
    for (const auto& thread : report.threads()) {
        add(static_cast<uint64_t>(thread.threadNumber()));
        for (const auto& frame : thread.stackFrames()) add(frame.instructionPointer());
    }
    for (const auto& image : report.images()) add(image.imageBaseAddress());
    auto digest = platform::sha256(seed);
    digest[6] = static_cast<uint8_t>((digest[6] & 0x0F) | 0x50);  // version 5 layout
    digest[8] = static_cast<uint8_t>((digest[8] & 0x3F) | 0x80);
    static const char* hex = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

MSAppleErrorLog& MSErrorLogFormatter::addProcessInfoAndApplicationPathTo(MSAppleErrorLog& log,
                                                                         const MSCrashReport& report) {
    log.processId = 0;
    log.processName = "???";
    log.parentProcessName = "???";
    log.parentProcessId.reset();
    log.applicationPath = "???";
    if (const auto& process = report.processInfo()) {
        log.processId = static_cast<int64_t>(process->processID());
        if (process->processName()) log.processName = *process->processName();
        if (process->processPath()) log.applicationPath = anonymizedPathFromPath(*process->processPath());
        if (process->parentProcessName()) log.parentProcessName = *process->parentProcessName();
        log.parentProcessId = static_cast<int64_t>(process->parentProcessID());
    }
    return log;
}

platform::Date MSErrorLogFormatter::getCrashTimeFromReport(const MSCrashReport& report) {
    return report.systemInfo().timestamp().value_or(platform::Date::fromUnix(0));
}

std::optional<platform::Date> MSErrorLogFormatter::getAppLaunchTimeFromReport(const MSCrashReport& report) {
    if (report.processInfo()) return report.processInfo()->processStartTime();
    return getCrashTimeFromReport(report);
}

const MSCrashReportThreadInfo* MSErrorLogFormatter::findCrashedThreadInReport(const MSCrashReport& report) {
    for (const auto& thread : report.threads())
        if (thread.crashed()) return &thread;
    return nullptr;
}

std::optional<std::string> MSErrorLogFormatter::extractExceptionReasonFromReport(const MSCrashReport& report) {
    if (!report.exceptionInfo()) return std::nullopt;
    return report.exceptionInfo()->exceptionReason();
}

std::optional<std::string> MSErrorLogFormatter::selectorRegisterValueFromReport(
    const MSCrashReport& report, const MSCrashReportThreadInfo* crashedThread, bool is64bit) {
    if (!crashedThread) return std::nullopt;
    if (is64bit) return selectorForRegisterWithName("x1", *crashedThread, report);
    if (auto value = selectorForRegisterWithName("r1", *crashedThread, report)) return value;
    return selectorForRegisterWithName("r2", *crashedThread, report);
}

std::optional<std::string> MSErrorLogFormatter::selectorForRegisterWithName(const std::string& name,
                                                                            const MSCrashReportThreadInfo& thread,
                                                                            const MSCrashReport& report) {
    const MSCrashReportRegisterInfo* reg = nullptr;
    for (const auto& r : thread.registers())
        if (r.registerName() == name) {
            reg = &r;
            break;
        }
    if (!reg || reg->registerValue() == 0) return std::nullopt;
    if (!report.imageForAddress(reg->registerValue())) return std::nullopt;
    // Method names live in the "__objc_methname" section of a Mach-O image; the ELF images this
    // process loads have no such section, so no loaded image can name the selector.
    return std::nullopt;
}

std::string MSErrorLogFormatter::formatStackFrame(const MSCrashReportStackFrameInfo& frame, const MSCrashReport& report) {
    const uint64_t ip = frame.instructionPointer();
    const auto* image = report.imageForAddress(ip);
    const uint64_t base = image ? image->imageBaseAddress() : 0;
    std::optional<std::string> imagePath;
    if (image) imagePath = image->imageName();
    std::optional<std::string> processPath;
    if (report.processInfo()) processPath = report.processInfo()->processPath();
    const auto kind = imageTypeForImagePath(imagePath, processPath);
    const auto& symbol = frame.symbolInfo();
    if (kind != MSImageKindOther || !symbol) return withOffset(hexAddress(base), base, ip);
    std::string symbolName = symbol->symbolName();
    if (symbolName.size() >= 2 && symbolName[0] == '_') {
        // The Mach-O systems give C symbols a leading underscore; elsewhere the rule is unknown.
        switch (report.systemInfo().operatingSystem()) {
            case MSCrashReportOperatingSystemMacOSX:
            case MSCrashReportOperatingSystemiPhoneOS:
            case MSCrashReportOperatingSystemiPhoneSimulator:
            case MSCrashReportOperatingSystemAppleTVOS: symbolName.erase(0, 1); break;
            default: MSLogWarning(kMSCrashesLogTag, "Symbol prefix rules are unknown for this OS!");
        }
    }
    return withOffset(symbolName, symbol->startAddress(), ip);
}

std::vector<std::shared_ptr<MSThread>> MSErrorLogFormatter::extractThreadsFromReport(
    const MSCrashReport& report, const MSCrashReportThreadInfo* crashedThread, bool is64bit) {
    std::shared_ptr<MSException> exception;
    const auto& info = report.exceptionInfo();
    if (info && info->stackFrames() && !info->stackFrames()->empty()) {
        exception = std::make_shared<MSException>();
        exception->frames.emplace();
        for (const auto& f : *info->stackFrames()) {
            auto frame = std::make_shared<MSStackFrame>();
            frame->setAddress(formatAddress(f.instructionPointer(), is64bit));
            exception->frames->push_back(std::move(frame));
        }
        exception->message = info->exceptionReason();
        exception->type = info->exceptionName();
    }
    std::vector<std::shared_ptr<MSThread>> threads;
    threads.reserve(report.threads().size());
    for (const auto& t : report.threads()) {
        auto thread = std::make_shared<MSThread>();
        thread->threadId = t.threadNumber();
        if (exception && crashedThread && t.threadNumber() == crashedThread->threadNumber())
            thread->exception = exception;
        thread->frames->reserve(t.stackFrames().size());
        for (const auto& f : t.stackFrames()) {
            auto frame = std::make_shared<MSStackFrame>();
            frame->setAddress(formatAddress(f.instructionPointer(), is64bit));
            frame->setCode(formatStackFrame(f, report));
            thread->frames->push_back(std::move(frame));
        }
        threads.push_back(std::move(thread));
    }
    return threads;
}

std::map<std::string, std::string> MSErrorLogFormatter::extractRegistersFromCrashedThread(
    const MSCrashReportThreadInfo* thread, bool is64bit) {
    std::map<std::string, std::string> registers;
    if (!thread) return registers;
    for (const auto& r : thread->registers()) registers[r.registerName()] = formatAddress(r.registerValue(), is64bit);
    return registers;
}

std::vector<uint64_t> MSErrorLogFormatter::addressesFromReport(const MSCrashReport& report, bool is64bit) {
    std::vector<uint64_t> addresses;
    const auto& info = report.exceptionInfo();
    if (info && info->stackFrames())
        for (const auto& f : *info->stackFrames()) addresses.push_back(f.instructionPointer());
    for (const auto& thread : report.threads()) {
        for (const auto& f : thread.stackFrames()) addresses.push_back(f.instructionPointer());
        for (const auto& r : thread.registers()) addresses.push_back(r.registerValue());
    }
    return addresses;
}

bool MSErrorLogFormatter::isBinaryWithStart(uint64_t start, uint64_t end, const std::vector<uint64_t>& sortedAddresses) {
    auto it = std::lower_bound(sortedAddresses.begin(), sortedAddresses.end(), start);
    return it != sortedAddresses.end() && *it <= end;
}

std::vector<std::shared_ptr<MSBinary>> MSErrorLogFormatter::extractBinaryImagesFromReport(
    const MSCrashReport& report, std::optional<uint64_t> codeType, bool is64bit) {
    auto addresses = addressesFromReport(report, is64bit);
    std::sort(addresses.begin(), addresses.end());
    std::vector<const MSCrashReportBinaryImageInfo*> images;
    images.reserve(report.images().size());
    for (const auto& image : report.images()) images.push_back(&image);
    std::stable_sort(images.begin(), images.end(),
                     [](const auto* a, const auto* b) { return a->imageBaseAddress() < b->imageBaseAddress(); });
    std::optional<std::string> processPath;
    if (report.processInfo()) processPath = report.processInfo()->processPath();

    std::vector<std::shared_ptr<MSBinary>> binaries;
    for (const MSCrashReportBinaryImageInfo* image : images) {
        const uint64_t start = image->imageBaseAddress();
        const uint64_t size = image->imageSize();
        const uint64_t end = size == 0 ? start : start + (size - 1);
        const std::string& imageName = image->imageName();
        const auto kind = imageTypeForImagePath(imageName, processPath);
        if (!isBinaryWithStart(start, end, addresses) && kind == MSImageKindOther) continue;

        auto binary = std::make_shared<MSBinary>();
        binary->setBinaryId(image->imageUUID().value_or("???"));
        binary->setStartAddress(formatAddress(start, is64bit));
        binary->setEndAddress(formatAddress(end, is64bit));
        binary->setPath(anonymizedPathFromPath(imageName));
        binary->setName(imageName.empty() ? std::string("???") : lastPathComponent(imageName));
        binary->setPrimaryArchitectureId(codeType);
        auto mach = machCodeTypeOfImage(*image);
        binary->setArchitectureVariantId(mach ? mach->subtype : image->codeType() ? image->codeType()->subtype() : 0);
        binaries.push_back(std::move(binary));
    }
    return binaries;
}

MSImageKind MSErrorLogFormatter::imageTypeForImagePath(const std::optional<std::string>& imagePath,
                                                       const std::optional<std::string>& processPath) {
    if (!imagePath || !processPath) return MSImageKindOther;
    const std::string standardized = lowercased(standardizedPath(*imagePath));
    const std::string image = lowercased(*imagePath);
    const std::string process = lowercased(*processPath);
    // Executables outside a bundle (the usual case on Linux) are still the application's own.
    if (!process.empty() && standardized == lowercased(standardizedPath(*processPath))) return MSImageKindApplicationBinary;
    const bool swiftRuntime = standardized.find("frameworks/libswift") != std::string::npos &&
                              standardized.size() >= 6 && standardized.ends_with(".dylib");
    if (standardized.find(".app/") != std::string::npos && !swiftRuntime) {
        return standardized == process || image.starts_with(process) ? MSImageKindApplicationBinary
                                                                     : MSImageKindApplicationFramework;
    }
    return MSImageKindOther;
}

std::string MSErrorLogFormatter::anonymizedPathFromPath(const std::string& path) {
    if (path.empty()) return "";
    if (path.starts_with("/Users/")) return replaceUserFolders(path, "/Users/");
    if (path.starts_with("/home/")) return replaceUserFolders(path, "/home/");
    if (path.find("Users") != std::string::npos) return "";
    return path;
}

std::shared_ptr<MSAppleErrorLog> MSErrorLogFormatter::errorLogFromCrashReport(const MSCrashReport& report) {
    auto log = std::make_shared<MSAppleErrorLog>();
    const auto codeType = extractCodeTypeFromReport(report);
    const bool is64bit = isCodeType64bit(codeType);

    log->errorId = errorIdForCrashReport(report);
    addProcessInfoAndApplicationPathTo(*log, report);
    const MSCrashReportThreadInfo* crashedThread = findCrashedThreadInReport(report);
    log->errorThreadId = crashedThread ? crashedThread->threadNumber() : 0;
    log->fatal = true;
    log->appLaunchTimestamp = getAppLaunchTimeFromReport(report);

    // A whole number of seconds means the clock gave no fraction: the crash came within that second.
    // Its end is capped just before this run read its histories (session, user id, device): what
    // this run recorded, when it started within the crash's second, is not the crashed run's.
    platform::Date crashTime = getCrashTimeFromReport(report);
    const double since1970 = crashTime.timeIntervalSince1970();
    if (std::isfinite(since1970) && std::trunc(since1970) == since1970) {
        const platform::Date thisRun = std::min({MSSessionContext::sharedInstance().historyLoadedAt(),
                                                 MSUserIdContext::sharedInstance().historyLoadedAt(),
                                                 MSDeviceTracker::sharedInstance().historyLoadedAt()});
        crashTime = std::max(crashTime, std::min(crashTime.addingTimeInterval(0.999), thisRun.addingTimeInterval(-0.001)));
    }
    log->timestamp = crashTime;

    for (const auto& image : report.images()) {
        if (auto mach = machCodeTypeOfImage(image)) {
            log->primaryArchitectureId = mach->type;
            log->architectureVariantId = mach->subtype;
        }
    }
    // No image names its processor: the process's code type still does, so the log stays valid.
    if (!log->primaryArchitectureId) log->primaryArchitectureId = codeType;

    const auto& signal = report.signalInfo();
    log->osExceptionType = signal.name();
    log->osExceptionCode = signal.code();
    log->osExceptionAddress = hexAddress(signal.address());
    log->exceptionReason = extractExceptionReasonFromReport(report);
    if (report.exceptionInfo()) log->exceptionType = report.exceptionInfo()->exceptionName();
    log->selectorRegisterValue = selectorRegisterValueFromReport(report, crashedThread, is64bit);
    log->threads = extractThreadsFromReport(report, crashedThread, is64bit);
    log->registers = extractRegistersFromCrashedThread(crashedThread, is64bit);
    log->binaries = extractBinaryImagesFromReport(report, codeType, is64bit);
    log->device = MSDeviceTracker::sharedInstance().deviceForTimestamp(log->timestamp);
    // A wrapper SDK's own view of the crash, when it saved one: kept under the report's incident
    // id, which is the error id (the report's UUID, or the id drawn from its content).
    if (auto wrapper = MSWrapperExceptionManager::loadWrapperExceptionWithUUIDString(*log->errorId))
        log->exception = wrapper->modelException;
    return log;
}

std::shared_ptr<MSErrorReport> MSErrorLogFormatter::errorReportFromCrashReport(const MSCrashReport* report) {
    if (!report) return nullptr;
    return errorReportFromLog(*errorLogFromCrashReport(*report));
}

std::shared_ptr<MSErrorReport> MSErrorLogFormatter::errorReportFromLog(const MSAppleErrorLog& log) {
    return std::make_shared<MSErrorReport>(log.errorId, MSRevAzezar::installId(), log.osExceptionType,
                                           log.exceptionType, log.exceptionReason, log.appLaunchTimestamp,
                                           log.timestamp,
                                           MSDeviceTracker::sharedInstance().deviceForTimestamp(log.timestamp),
                                           static_cast<uint64_t>(log.processId.value_or(0)));
}

}  // namespace quorvane
