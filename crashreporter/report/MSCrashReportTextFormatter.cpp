#include "crashreporter/report/MSCrashReportTextFormatter.h"

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cxxabi.h>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <vector>

#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

namespace {

constexpr const char* kUnknown = "???";

// CPU types of the report's processor numbering.
constexpr uint64_t kCpuTypeX86 = 7;
constexpr uint64_t kCpuTypeArm = 12;
constexpr uint64_t kCpuTypePowerPC = 18;
constexpr uint64_t kCpuTypeX86_64 = 0x1000007;
constexpr uint64_t kCpuTypeArm64 = 0x100000C;

[[gnu::format(printf, 2, 3)]] void appendFormat(std::string& out, const char* format, ...) {
    char stack[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(stack, sizeof stack, format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(n) < sizeof stack) {
        out.append(stack, static_cast<size_t>(n));
    } else {
        std::vector<char> heap(static_cast<size_t>(n) + 1);
        std::vsnprintf(heap.data(), heap.size(), format, again);
        out.append(heap.data(), static_cast<size_t>(n));
    }
    va_end(again);
}

// The part of a path after its last "/" (a trailing "/" is ignored).
std::string lastComponentOf(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || path.size() == 1) return std::string(path);
    return std::string(path.substr(slash + 1));
}

bool isMach(const std::optional<MSCrashReportProcessorInfo>& processor) {
    return processor && processor->typeEncoding() == MSCrashReportProcessorTypeEncodingMach;
}

struct CodeType {
    std::string name;
    bool lp64 = true;
};

std::optional<CodeType> knownCodeType(uint64_t cpuType) {
    switch (cpuType) {
        case kCpuTypeX86: return CodeType{"X86", false};
        case kCpuTypeArm: return CodeType{"ARM", false};
        case kCpuTypePowerPC: return CodeType{"PPC", false};
        case kCpuTypeX86_64: return CodeType{"X86-64", true};
        case kCpuTypeArm64: return CodeType{"ARM-64", true};
        default: return std::nullopt;
    }
}

// The first image of a known processor decides; then the system's processor; else "Unknown".
CodeType codeTypeOf(const MSCrashReport& report) {
    for (const auto& image : report.images()) {
        if (!isMach(image.codeType())) continue;
        if (auto known = knownCodeType(image.codeType()->type())) return *known;
    }
    const auto& processor = report.systemInfo().processorInfo();
    if (isMach(processor)) {
        if (auto known = knownCodeType(processor->type())) return *known;
        CodeType unknown;
        appendFormat(unknown.name, "Unknown (%" PRIu64 ")", processor->type());
        return unknown;
    }
    return CodeType{"Unknown", true};
}

std::string operatingSystemName(int32_t code) {
    switch (code) {
        case MSCrashReportOperatingSystemMacOSX:
        case MSCrashReportOperatingSystemiPhoneSimulator: return "Mac OS X";
        case MSCrashReportOperatingSystemiPhoneOS: return "iPhone OS";
        case MSCrashReportOperatingSystemAppleTVOS: return "Apple tvOS";
        case MSCrashReportOperatingSystemLinux: return "Linux";
        default: {
            std::string out;
            appendFormat(out, "Unknown (%d)", code);
            return out;
        }
    }
}

std::string architectureNameOf(const MSCrashReportBinaryImageInfo& image) {
    const auto& codeType = image.codeType();
    if (!isMach(codeType)) return kUnknown;
    const uint64_t subtype = codeType->subtype();
    switch (codeType->type()) {
        case kCpuTypeX86: return "i386";
        case kCpuTypeArm:
            return subtype == 6 ? "armv6" : subtype == 9 ? "armv7" : subtype == 11 ? "armv7s" : "arm-unknown";
        case kCpuTypePowerPC: return "powerpc";
        case kCpuTypeX86_64: return "x86_64";
        case kCpuTypeArm64: return subtype == 0 ? "arm64" : subtype == 13 ? "armv8" : "arm64-unknown";
        default: return kUnknown;
    }
}

// The date as "yyyy-MM-dd HH:mm:ss +0000".
std::string dateDescription(const std::optional<platform::Date>& date) {
    if (!date) return kUnknown;
    const double seconds = std::floor(date->timeIntervalSinceReferenceDate() + platform::kTimeIntervalSince1970);
    // Years a calendar date can show; a report can hold any 64-bit time.
    if (!(seconds > -1e15 && seconds < 1e15)) return kUnknown;
    const auto whole = static_cast<time_t>(seconds);
    struct tm tm {};
    if (::gmtime_r(&whole, &tm) == nullptr) return kUnknown;
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
    return buf;
}

// Pads on the right to `width` UTF-16 units.
std::string padded(const std::string& text, size_t width) {
    const size_t length = platform::utf16Length(text);
    return length >= width ? text : text + std::string(width - length, ' ');
}

// A C++ symbol's name as the source spells it; any other name as it is.
std::string demangled(const std::string& name) {
    if (name.rfind("_Z", 0) != 0) return name;
    int status = 0;
    char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    std::string out = status == 0 && text != nullptr ? text : name;
    std::free(text);
    return out;
}

// The symbol's name for display: platforms of the known families prefix C names with "_"; C++
// names are shown demangled.
std::string displaySymbolName(const std::string& name, int32_t operatingSystem) {
    switch (operatingSystem) {
        case MSCrashReportOperatingSystemLinux: return demangled(name);
        case MSCrashReportOperatingSystemMacOSX:
        case MSCrashReportOperatingSystemiPhoneOS:
        case MSCrashReportOperatingSystemiPhoneSimulator:
        case MSCrashReportOperatingSystemAppleTVOS:
            return name.size() >= 2 && name[0] == '_' ? name.substr(1) : name;
        default:
            platform::Log::debug("QVCrashReporter", "Symbol prefix rules are unknown for this OS!");
            return name;
    }
}

void appendThreadState(std::string& out, const MSCrashReport& report, const MSCrashReportThreadInfo& thread,
                       const CodeType& codeType) {
    appendFormat(out, "Thread %" PRId64 " crashed with %s Thread State:\n", thread.threadNumber(),
                 codeType.name.c_str());
    bool arm = false;
    if (report.hasMachineInfo() && isMach(report.machineInfo()->processorInfo())) {
        arm = (report.machineInfo()->processorInfo()->type() & 0xFFFFFF) == kCpuTypeArm;
    }
    size_t index = 0;
    for (const auto& reg : thread.registers()) {
        const std::string& name = arm && reg.registerName() == "r12" ? std::string("ip") : reg.registerName();
        if (codeType.lp64) {
            appendFormat(out, "%6s: 0x%016" PRIx64 " ", name.c_str(), reg.registerValue());
        } else {
            appendFormat(out, "%6s: 0x%08" PRIx64 " ", name.c_str(), reg.registerValue());
        }
        if (++index % 4 == 0) out += '\n';
    }
    if (index % 4 != 0) out += '\n';
    out += '\n';
}

void appendBinaryImages(std::string& out, const MSCrashReport& report, bool lp64) {
    out += "Binary Images:\n";
    std::vector<const MSCrashReportBinaryImageInfo*> images;
    images.reserve(report.images().size());
    for (const auto& image : report.images()) images.push_back(&image);
    std::stable_sort(images.begin(), images.end(),
                     [](const auto* a, const auto* b) { return a->imageBaseAddress() < b->imageBaseAddress(); });
    const auto& process = report.processInfo();
    for (const MSCrashReportBinaryImageInfo* image : images) {
        const uint64_t base = image->imageBaseAddress();
        const uint64_t end = image->imageSize() == 0 ? base : base + image->imageSize() - 1;
        const bool isProcess = process && process->processPath() && *process->processPath() == image->imageName();
        appendFormat(out, lp64 ? "%#18" PRIx64 " - %#18" PRIx64 " %s%s %s  <%s> %s\n"
                               : "%#10" PRIx64 " - %#10" PRIx64 " %s%s %s  <%s> %s\n",
                     base, end, isProcess ? "+" : " ", lastComponentOf(image->imageName()).c_str(),
                     architectureNameOf(*image).c_str(), image->imageUUID().value_or(kUnknown).c_str(),
                     image->imageName().c_str());
    }
}

// Characters the encoding cannot hold become "?".
platform::Bytes encode(const std::string& text, MSStringEncoding encoding) {
    platform::Bytes out;
    auto put16 = [&out](char16_t unit, bool bigEndian) {
        const auto hi = static_cast<uint8_t>(unit >> 8), lo = static_cast<uint8_t>(unit & 0xFF);
        out.push_back(bigEndian ? hi : lo);
        out.push_back(bigEndian ? lo : hi);
    };
    switch (encoding) {
        case MSASCIIStringEncoding:
        case MSISOLatin1StringEncoding: {
            const char32_t limit = encoding == MSASCIIStringEncoding ? 0x80 : 0x100;
            for (char32_t cp : platform::codePoints(text)) out.push_back(static_cast<uint8_t>(cp < limit ? cp : '?'));
            return out;
        }
        case MSUTF16StringEncoding:
        case MSUTF16BigEndianStringEncoding:
        case MSUTF16LittleEndianStringEncoding: {
            const bool bigEndian = encoding == MSUTF16BigEndianStringEncoding ||
                                   (encoding == MSUTF16StringEncoding && std::endian::native == std::endian::big);
            if (encoding == MSUTF16StringEncoding) put16(0xFEFF, bigEndian);
            for (char16_t unit : platform::toUTF16(text)) put16(unit, bigEndian);
            return out;
        }
        default:
            return platform::Bytes(text.begin(), text.end());
    }
}

}  // namespace

platform::Result<platform::Bytes> MSCrashReportTextFormatter::formatReport(const MSCrashReport& report) const {
    return encode(stringValueForCrashReport(report, textFormat_), stringEncoding_);
}

std::string MSCrashReportTextFormatter::formatStackFrame(const MSCrashReportStackFrameInfo& frame, int64_t frameIndex,
                                                         const MSCrashReport& report, bool lp64) {
    const uint64_t pc = frame.instructionPointer();
    std::string imageName = kUnknown;
    uint64_t base = 0;
    uint64_t offset = 0;
    if (const auto* image = report.imageForAddress(pc)) {
        imageName = lastComponentOf(image->imageName());
        base = image->imageBaseAddress();
        offset = pc - base;
    }

    std::string symbol;
    if (const auto& info = frame.symbolInfo()) {
        appendFormat(symbol, "%s + %" PRId64,
                     displaySymbolName(info->symbolName(), report.systemInfo().operatingSystem()).c_str(),
                     static_cast<int64_t>(pc - info->startAddress()));
    } else {
        appendFormat(symbol, "0x%" PRIx64 " + %" PRId64, base, static_cast<int64_t>(offset));
    }

    std::string line;
    appendFormat(line, "%-4" PRId64 "%s 0x%0*" PRIx64 " %s\n", frameIndex, padded(imageName, 35).c_str(),
                 lp64 ? 16 : 8, pc, symbol.c_str());
    return line;
}

std::string MSCrashReportTextFormatter::stringValueForCrashReport(const MSCrashReport& report,
                                                                  MSCrashReportTextFormat) {
    std::string out;
    const CodeType codeType = codeTypeOf(report);
    const auto& system = report.systemInfo();
    const auto& application = report.applicationInfo();
    const auto& process = report.processInfo();

    // Header.
    appendFormat(out, "Incident Identifier: %s\n",
                 report.uuidRef() ? report.uuidRef()->uuidString().c_str() : kUnknown);
    out += "CrashReporter Key:   TODO\n";
    const auto& machine = report.machineInfo();
    appendFormat(out, "Hardware Model:      %s\n",
                 machine && machine->modelName() ? machine->modelName()->c_str() : kUnknown);
    if (process) {
        appendFormat(out, "Process:         %s [%" PRIu64 "]\n", process->processName().value_or(kUnknown).c_str(),
                     process->processID());
        appendFormat(out, "Path:            %s\n", process->processPath().value_or(kUnknown).c_str());
    } else {
        appendFormat(out, "Process:         %s [%s]\n", kUnknown, kUnknown);
        appendFormat(out, "Path:            %s\n", kUnknown);
    }
    appendFormat(out, "Identifier:      %s\n", application.applicationIdentifier().c_str());
    if (application.applicationMarketingVersion()) {
        appendFormat(out, "Version:         %s (%s)\n", application.applicationMarketingVersion()->c_str(),
                     application.applicationVersion().c_str());
    } else {
        appendFormat(out, "Version:         %s\n", application.applicationVersion().c_str());
    }
    appendFormat(out, "Code Type:       %s\n", codeType.name.c_str());
    if (process) {
        appendFormat(out, "Parent Process:  %s [%" PRIu64 "]\n",
                     process->parentProcessName().value_or(kUnknown).c_str(), process->parentProcessID());
    } else {
        appendFormat(out, "Parent Process:  %s [%s]\n", kUnknown, kUnknown);
    }
    out += "\n";
    appendFormat(out, "Date/Time:       %s\n", dateDescription(system.timestamp()).c_str());
    appendFormat(out, "OS Version:      %s %s (%s)\n", operatingSystemName(system.operatingSystem()).c_str(),
                 system.operatingSystemVersion().c_str(), system.operatingSystemBuild().value_or(kUnknown).c_str());
    out += "Report Version:  104\n";
    out += "\n";

    // The signal.
    const auto& signal = report.signalInfo();
    appendFormat(out, "Exception Type:  %s\n", signal.name().c_str());
    appendFormat(out, "Exception Codes: %s at 0x%" PRIx64 "\n", signal.code().c_str(), signal.address());
    for (const auto& thread : report.threads()) {
        if (!thread.crashed()) continue;
        appendFormat(out, "Crashed Thread:  %" PRId64 "\n", thread.threadNumber());
        break;
    }
    out += "\n";

    // The uncaught exception.
    if (const auto& exception = report.exceptionInfo()) {
        out += "Application Specific Information:\n";
        appendFormat(out, "*** Terminating app due to uncaught exception '%s', reason: '%s'\n",
                     exception->exceptionName().c_str(), exception->exceptionReason().c_str());
        out += "\n";
        if (exception->stackFrames() && !exception->stackFrames()->empty()) {
            out += "Last Exception Backtrace:\n";
            int64_t index = 0;
            for (const auto& frame : *exception->stackFrames()) {
                out += formatStackFrame(frame, index++, report, codeType.lp64);
            }
            out += "\n";
        }
    }

    // The threads, then the crashed one's registers.
    const MSCrashReportThreadInfo* crashed = nullptr;
    for (const auto& thread : report.threads()) {
        if (thread.crashed()) {
            appendFormat(out, "Thread %" PRId64 " Crashed:\n", thread.threadNumber());
            crashed = &thread;
        } else {
            appendFormat(out, "Thread %" PRId64 ":\n", thread.threadNumber());
        }
        int64_t index = 0;
        for (const auto& frame : thread.stackFrames()) {
            out += formatStackFrame(frame, index++, report, codeType.lp64);
        }
        out += "\n";
    }
    if (crashed) appendThreadState(out, report, *crashed, codeType);

    appendBinaryImages(out, report, codeType.lp64);
    return out;
}

}  // namespace quorvane
