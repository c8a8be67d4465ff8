// The walked test functions keep their frame pointers and their calls (no tail calls) in optimised
// builds too.
#pragma GCC optimize("no-omit-frame-pointer", "no-optimize-sibling-calls")

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "crashreporter/report/MSCrashReport.h"
#include "crashreporter/capture/MSCrashReporter.h"
#include "crashreporter/report/QVCrashReport.pb-c.h"
#include "platform/crash/UncaughtException.h"
#include "tests/crashreporter/CrashChild.h"
#include "tests/crashreporter/MainImage.h"
#include "tests/crashreporter/ParkedCrash.h"
#include "tests/crashreporter/StackSymbols.h"

using namespace quorvane;
using quorvane::test::runInChild;
using quorvane::test::symbolAt;
namespace fs = std::filesystem;

namespace {

std::string hexOf(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

platform::Bytes bytesOf(const std::string& s) { return platform::Bytes(s.begin(), s.end()); }

std::string describe(const platform::Error& e) {
    return e.userInfo[platform::Error::kLocalizedDescriptionKey].asString();
}

// Decoding must fail with code 2 and this message.
void expectRefused(const platform::Bytes& data, const std::string& message) {
    platform::Error error;
    error = MSCrashReport::initWithData(data).error();
    EXPECT_NE(error.domain, "") << message;
    EXPECT_EQ(error.domain, "QVCrashReporterErrorDomain");
    EXPECT_EQ(error.code, MSCrashReporterErrorCrashReportInvalid);
    EXPECT_EQ(describe(error), message);
}

std::shared_ptr<MSCrashReporter> reporterFor(const std::string& identifier) {
    return MSCrashReporter::initWithApplicationIdentifier(identifier, "42", std::string("1.2"));
}

// A report written by a real crashing child: its main thread crashes three calls deep while a
// second thread waits in a known function.
struct RealCrash {
    platform::Bytes bytes;
    int64_t before = 0, after = 0;
    std::string childOutcome;
};

const RealCrash& realCrash() {
    static RealCrash crash = [] {
        RealCrash out;
        auto reporter = reporterFor("decoder.app");
        out.before = test::realtimeSeconds();
        auto child = runInChild([] {
            ::close(2);  // keep the engine's diagnostics out of the test output
            auto reporter = reporterFor("decoder.app");
            if (!reporter->enableCrashReporter()) return 2;
            return test::crashBesideAParkedThread();
        });
        out.after = test::realtimeSeconds();
        out.childOutcome = child.describe();
        if (child.signaled && child.signal == SIGSEGV) {
            if (auto data = reporter->loadPendingCrashReportData()) out.bytes = std::move(*data);
        }
        reporter->purgePendingCrashReport();
        return out;
    }();
    return crash;
}

// A small valid report built with the generated message types; tests change fields before
// packing it.
struct SampleReport {
    Qvcrash__CrashReport report = QVCRASH__CRASH_REPORT__INIT;
    Qvcrash__CrashReport__SystemInfo system = QVCRASH__CRASH_REPORT__SYSTEM_INFO__INIT;
    Qvcrash__CrashReport__ApplicationInfo application = QVCRASH__CRASH_REPORT__APPLICATION_INFO__INIT;
    Qvcrash__CrashReport__Signal signal = QVCRASH__CRASH_REPORT__SIGNAL__INIT;
    Qvcrash__CrashReport__Thread thread = QVCRASH__CRASH_REPORT__THREAD__INIT;
    Qvcrash__CrashReport__Thread* threads[1] = {&thread};
    Qvcrash__CrashReport__Thread__StackFrame frame = QVCRASH__CRASH_REPORT__THREAD__STACK_FRAME__INIT;
    Qvcrash__CrashReport__Thread__StackFrame* frames[1] = {&frame};
    Qvcrash__CrashReport__BinaryImage image = QVCRASH__CRASH_REPORT__BINARY_IMAGE__INIT;
    Qvcrash__CrashReport__BinaryImage* images[1] = {&image};

    SampleReport() {
        system.os_version = const_cast<char*>("6.1.0");
        system.architecture = QVCRASH__ARCHITECTURE__X86_64;
        system.timestamp = 1700000000;
        application.identifier = const_cast<char*>("sample.app");
        application.version = const_cast<char*>("7");
        signal.name = const_cast<char*>("SIGBUS");
        signal.code = const_cast<char*>("BUS_ADRERR");
        signal.address = 0xbad;
        thread.crashed = 1;
        thread.n_frames = 1;
        thread.frames = frames;
        frame.pc = 0x401234;
        image.base_address = 0x400000;
        image.size = 0x10000;
        image.name = const_cast<char*>("/usr/bin/sample");
        report.system_info = &system;
        report.application_info = &application;
        report.signal = &signal;
        report.n_threads = 1;
        report.threads = threads;
        report.n_binary_images = 1;
        report.binary_images = images;
    }
    SampleReport(const SampleReport&) = delete;

    platform::Bytes file() const {
        const size_t length = qvcrash__crash_report__get_packed_size(&report);
        platform::Bytes out(8 + length);
        std::memcpy(out.data(), "qvcrash\x01", 8);
        qvcrash__crash_report__pack(&report, out.data() + 8);
        return out;
    }

    std::unique_ptr<MSCrashReport> decode() const {
        platform::Error error;
        auto result = MSCrashReport::initWithData(file());
        if (!result) error = result.error();
        auto decoded = std::move(result).valueOr(nullptr);
        EXPECT_NE(decoded, nullptr) << describe(error);
        return decoded;
    }
};

}  // namespace

// ---- real reports ----

TEST(MSCrashReport, RealCrashDecodesIntoEveryRecord) {
    const RealCrash& crash = realCrash();
    ASSERT_FALSE(crash.bytes.empty()) << crash.childOutcome;
    platform::Error error;
    auto reportDecoded = MSCrashReport::initWithData(crash.bytes);
    if (!reportDecoded) error = reportDecoded.error();
    auto report = std::move(reportDecoded).valueOr(nullptr);
    ASSERT_NE(report, nullptr) << describe(error);

    // The identifier is the report section's 16 bytes.
    auto* raw = qvcrash__crash_report__unpack(nullptr, crash.bytes.size() - 8, crash.bytes.data() + 8);
    ASSERT_NE(raw, nullptr);
    ASSERT_TRUE(report->uuidRef().has_value());
    EXPECT_EQ(std::memcmp(report->uuidRef()->bytes().data(), raw->report_info->uuid.data, 16), 0);
    qvcrash__crash_report__free_unpacked(raw, nullptr);

    // System: kept as written on Linux (operating system Linux, x86-64), with the crash time.
    const auto& system = report->systemInfo();
    EXPECT_EQ(system.operatingSystem(), MSCrashReportOperatingSystemLinux);
    EXPECT_EQ(system.architecture(), MSCrashReportArchitectureX86_64);
    EXPECT_FALSE(system.operatingSystemVersion().empty());
    EXPECT_TRUE(system.operatingSystemBuild().has_value());
    ASSERT_TRUE(system.timestamp().has_value());
    EXPECT_GE(system.timestamp()->timeIntervalSince1970(), static_cast<double>(crash.before));
    EXPECT_LE(system.timestamp()->timeIntervalSince1970(), static_cast<double>(crash.after));

    // Machine: the processor in Mach numbering, the same as the system record's.
    ASSERT_TRUE(report->hasMachineInfo());
    const auto& machine = report->machineInfo();
    ASSERT_TRUE(machine->processorInfo().has_value());
    EXPECT_EQ(machine->processorInfo()->typeEncoding(), MSCrashReportProcessorTypeEncodingMach);
    EXPECT_EQ(machine->processorInfo()->type(), 16777223u);
    EXPECT_EQ(machine->processorInfo()->subtype(), 3u);
    EXPECT_EQ(system.processorInfo(), machine->processorInfo());
    EXPECT_EQ(machine->logicalProcessorCount(), static_cast<uint64_t>(::sysconf(_SC_NPROCESSORS_CONF)));
    EXPECT_GE(machine->processorCount(), 1u);

    // Application.
    EXPECT_EQ(report->applicationInfo().applicationIdentifier(), "decoder.app");
    EXPECT_EQ(report->applicationInfo().applicationVersion(), "42");
    EXPECT_EQ(report->applicationInfo().applicationMarketingVersion(), std::optional<std::string>("1.2"));

    // Process: the child, whose parent is this process.
    ASSERT_TRUE(report->hasProcessInfo());
    const auto& process = report->processInfo();
    EXPECT_NE(process->processID(), static_cast<uint64_t>(::getpid()));
    EXPECT_EQ(process->parentProcessID(), static_cast<uint64_t>(::getpid()));
    ASSERT_TRUE(process->processName().has_value());
    EXPECT_EQ(std::string("quorvane_crashreporter_tests").rfind(*process->processName(), 0), 0u);
    EXPECT_EQ(process->parentProcessName(), process->processName());
    EXPECT_EQ(process->processPath(), std::optional<std::string>(fs::read_symlink("/proc/self/exe").string()));
    EXPECT_TRUE(process->native());
    ASSERT_TRUE(process->processStartTime().has_value());
    EXPECT_GE(process->processStartTime()->timeIntervalSince1970(), static_cast<double>(crash.before - 2));
    EXPECT_LE(process->processStartTime()->timeIntervalSince1970(), static_cast<double>(crash.after));

    // Signal; no Mach exception, no uncaught exception.
    EXPECT_EQ(report->signalInfo().name(), "SIGSEGV");
    EXPECT_EQ(report->signalInfo().code(), "SEGV_MAPERR");
    EXPECT_EQ(report->signalInfo().address(), 0x10u);
    EXPECT_FALSE(report->machExceptionInfo().has_value());
    EXPECT_FALSE(report->hasExceptionInfo());
    EXPECT_FALSE(report->exceptionInfo().has_value());

    // Threads: the crashed main thread first with its registers, then the parked one.
    ASSERT_EQ(report->threads().size(), 2u);
    const auto& crashed = report->threads()[0];
    EXPECT_TRUE(crashed.crashed());
    EXPECT_EQ(crashed.threadNumber(), 0);
    ASSERT_GE(crashed.stackFrames().size(), 3u);
    EXPECT_EQ(symbolAt(crashed.stackFrames()[0].instructionPointer()), "qvtest_report_crash_level3");
    EXPECT_EQ(symbolAt(crashed.stackFrames()[1].instructionPointer()), "qvtest_report_crash_level2");
    EXPECT_EQ(symbolAt(crashed.stackFrames()[2].instructionPointer()), "qvtest_report_crash_level1");
    EXPECT_FALSE(crashed.stackFrames()[0].symbolInfo().has_value());  // no symbolication at crash time
    ASSERT_EQ(crashed.registers().size(), 21u);
    EXPECT_EQ(crashed.registers()[0].registerName(), "rip");
    EXPECT_EQ(crashed.registers()[1].registerName(), "rbp");
    EXPECT_EQ(crashed.registers()[2].registerName(), "rsp");
    EXPECT_EQ(crashed.registers()[20].registerName(), "gs");
    EXPECT_EQ(crashed.registers()[0].registerValue(), crashed.stackFrames()[0].instructionPointer());
    const auto& parked = report->threads()[1];
    EXPECT_FALSE(parked.crashed());
    EXPECT_EQ(parked.threadNumber(), 1);
    EXPECT_TRUE(parked.registers().empty());
    ASSERT_GE(parked.stackFrames().size(), 2u);
    EXPECT_EQ(symbolAt(parked.stackFrames()[0].instructionPointer()), "qvtest_thread_parked");

    // Images: this program with its build id as the image UUID (40 digits for a 20-byte id), and
    // the C library; the crashing instruction lies in this program.
    const auto main = quorvane::test::mainImage();
    ASSERT_FALSE(main.buildId.empty());
    const MSCrashReportBinaryImageInfo* mainImage = nullptr;
    bool sawLibc = false;
    for (const auto& image : report->images()) {
        if (image.imageName() == fs::read_symlink("/proc/self/exe").string()) mainImage = &image;
        if (image.imageName().find("libc.so") != std::string::npos) sawLibc = true;
    }
    EXPECT_TRUE(sawLibc);
    ASSERT_NE(mainImage, nullptr);
    EXPECT_EQ(mainImage->imageBaseAddress(), main.base);
    EXPECT_GT(mainImage->imageSize(), 0u);
    ASSERT_TRUE(mainImage->hasImageUUID());
    EXPECT_EQ(mainImage->imageUUID(), std::optional<std::string>(hexOf(main.buildId)));
    EXPECT_EQ(mainImage->imageUUID()->size(), main.buildId.size() * 2);
    ASSERT_TRUE(mainImage->codeType().has_value());
    EXPECT_EQ(mainImage->codeType()->typeEncoding(), MSCrashReportProcessorTypeEncodingMach);
    EXPECT_EQ(mainImage->codeType()->type(), 16777223u);
    EXPECT_EQ(mainImage->codeType()->subtype(), 3u);
    EXPECT_EQ(report->imageForAddress(crashed.stackFrames()[0].instructionPointer()), mainImage);
}

TEST(MSCrashReport, RealUncaughtExceptionDecodesWithItsFrames) {
    auto reporter = reporterFor("decoder-exception.app");
    auto child = runInChild([] {
        ::close(2);
        auto reporter = reporterFor("decoder-exception.app");
        if (!reporter->enableCrashReporter()) return 2;
        platform::crash::UncaughtException exception{"std::length_error", "too many groups", {0x1234, 0xabcdef}};
        platform::crash::uncaughtExceptionHandler()(exception);
        return 3;
    });
    ASSERT_TRUE(child.signaled) << child.describe();
    auto data = reporter->loadPendingCrashReportData();
    ASSERT_TRUE(data);
    reporter->purgePendingCrashReport();

    platform::Error error;
    auto reportDecoded = MSCrashReport::initWithData(*data);
    if (!reportDecoded) error = reportDecoded.error();
    auto report = std::move(reportDecoded).valueOr(nullptr);
    ASSERT_NE(report, nullptr) << describe(error);
    ASSERT_TRUE(report->hasExceptionInfo());
    EXPECT_EQ(report->exceptionInfo()->exceptionName(), "std::length_error");
    EXPECT_EQ(report->exceptionInfo()->exceptionReason(), "too many groups");
    ASSERT_TRUE(report->exceptionInfo()->stackFrames().has_value());
    const auto& frames = *report->exceptionInfo()->stackFrames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].instructionPointer(), 0x1234u);
    EXPECT_EQ(frames[1].instructionPointer(), 0xabcdefu);
    EXPECT_FALSE(frames[0].symbolInfo().has_value());
    EXPECT_EQ(report->signalInfo().name(), "SIGABRT");
    ASSERT_EQ(report->threads().size(), 1u);
    EXPECT_TRUE(report->threads()[0].crashed());
}

// ---- refused data ----

TEST(MSCrashReport, BadFramingIsRefusedWithItsOwnMessage) {
    const std::string truncated = "Could not decode truncated crash log";
    expectRefused({}, truncated);
    expectRefused(bytesOf("qvcrash"), truncated);
    expectRefused(bytesOf(std::string("qvcrash\x01", 8)), truncated);  // the framing of an empty message

    const std::string header = "Could not decode invalid crash log header";
    expectRefused(bytesOf(std::string("xxcrash\x01\x0a\x00", 10)), header);
    expectRefused(bytesOf(std::string("QVCRASH\x01\x0a\x00", 10)), header);
    expectRefused(bytesOf(std::string(64, '\0')), header);

    expectRefused(bytesOf(std::string("qvcrash\x02\x0a\x00", 10)), "Could not decode unsupported crash report version: 2");
    expectRefused(bytesOf(std::string("qvcrash\x00\x0a\x00", 10)), "Could not decode unsupported crash report version: 0");
    expectRefused(bytesOf(std::string("qvcrash\xff\x0a\x00", 10)),
                  "Could not decode unsupported crash report version: 255");

    // Garbage after a sound header, and a well-formed message that lacks a required section.
    const std::string unknown = "An unknown error occured decoding the crash report";
    expectRefused(bytesOf(std::string("qvcrash\x01", 8) + "\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff"), unknown);
    expectRefused(bytesOf(std::string("qvcrash\x01", 8) + "garbage after the header"), unknown);
    SampleReport noSignal;
    noSignal.report.signal = nullptr;
    expectRefused(noSignal.file(), unknown);
    SampleReport noApplication;
    noApplication.report.application_info = nullptr;
    expectRefused(noApplication.file(), unknown);

    // Without an out-error the refusal is just null.
    EXPECT_FALSE(MSCrashReport::initWithData(bytesOf("qvcrash")));
}

TEST(MSCrashReport, EveryTruncationOfARealReportIsRefused) {
    const RealCrash& crash = realCrash();
    ASSERT_FALSE(crash.bytes.empty()) << crash.childOutcome;
    const size_t size = crash.bytes.size();
    // Every cut in the first and last kilobyte, a spread of cuts in between.
    for (size_t length = 0; length < size; length += (length < 1024 || length + 1024 >= size) ? 1 : 61) {
        platform::Bytes cut(crash.bytes.begin(), crash.bytes.begin() + static_cast<std::ptrdiff_t>(length));
        platform::Error error;
        error = MSCrashReport::initWithData(cut).error();
    ASSERT_NE(error.domain, "") << "cut at " << length << " of " << size;
        ASSERT_EQ(error.code, MSCrashReporterErrorCrashReportInvalid);
        ASSERT_FALSE(describe(error).empty());
    }
}

TEST(MSCrashReport, CorruptedReportsDecodeOrFailButNeverFault) {
    const RealCrash& crash = realCrash();
    ASSERT_FALSE(crash.bytes.empty()) << crash.childOutcome;
    std::mt19937 random(20261207);
    size_t decoded = 0, refused = 0;
    for (int round = 0; round < 1500; ++round) {
        platform::Bytes bytes = crash.bytes;
        const int changes = 1 + static_cast<int>(random() % 8);
        for (int i = 0; i < changes; ++i) {
            const size_t at = 8 + random() % (bytes.size() - 8);
            bytes[at] = static_cast<uint8_t>(random());
        }
        platform::Error error;
        auto reportDecoded = MSCrashReport::initWithData(bytes);
        if (!reportDecoded) error = reportDecoded.error();
        auto report = std::move(reportDecoded).valueOr(nullptr);
        if (report) {
            ++decoded;
            EXPECT_FALSE(report->threads().empty());
            EXPECT_FALSE(report->images().empty());
            EXPECT_TRUE(report->systemInfo().processorInfo().has_value());
            for (const auto& image : report->images()) report->imageForAddress(image.imageBaseAddress());
        } else {
            ++refused;
            EXPECT_EQ(error.domain, "QVCrashReporterErrorDomain");
            EXPECT_EQ(error.code, MSCrashReporterErrorCrashReportInvalid);
        }
    }
    EXPECT_GT(decoded, 0u);
    EXPECT_GT(refused, 0u);
}

// ---- sections present and absent ----

TEST(MSCrashReport, AbsentOptionalFieldsReadAsAbsent) {
    SampleReport sample;
    sample.system.timestamp = 0;
    auto report = sample.decode();
    ASSERT_NE(report, nullptr);
    EXPECT_FALSE(report->uuidRef().has_value());
    EXPECT_FALSE(report->hasMachineInfo());
    EXPECT_FALSE(report->machineInfo().has_value());
    EXPECT_FALSE(report->hasProcessInfo());
    EXPECT_FALSE(report->processInfo().has_value());
    EXPECT_FALSE(report->hasExceptionInfo());
    EXPECT_FALSE(report->machExceptionInfo().has_value());
    EXPECT_EQ(report->systemInfo().operatingSystem(), MSCrashReportOperatingSystemUnknown);  // the field's default
    EXPECT_EQ(report->systemInfo().operatingSystemVersion(), "6.1.0");
    EXPECT_EQ(report->systemInfo().operatingSystemBuild(), std::nullopt);
    EXPECT_EQ(report->systemInfo().timestamp(), std::nullopt);
    EXPECT_EQ(report->applicationInfo().applicationMarketingVersion(), std::nullopt);
    EXPECT_EQ(report->signalInfo().name(), "SIGBUS");
    EXPECT_EQ(report->signalInfo().code(), "BUS_ADRERR");
    EXPECT_EQ(report->signalInfo().address(), 0xbadu);
    EXPECT_FALSE(report->threads()[0].stackFrames()[0].symbolInfo().has_value());
    EXPECT_TRUE(report->threads()[0].registers().empty());
    const auto& image = report->images()[0];
    EXPECT_FALSE(image.codeType().has_value());
    EXPECT_FALSE(image.hasImageUUID());
    EXPECT_EQ(image.imageUUID(), std::nullopt);

    // Sections present with only their required fields.
    Qvcrash__CrashReport__ProcessInfo process = QVCRASH__CRASH_REPORT__PROCESS_INFO__INIT;
    process.process_id = 4321;
    process.parent_process_id = 1;
    Qvcrash__CrashReport__Processor processor = QVCRASH__CRASH_REPORT__PROCESSOR__INIT;
    processor.type = 12;
    processor.subtype = 9;
    Qvcrash__CrashReport__MachineInfo machine = QVCRASH__CRASH_REPORT__MACHINE_INFO__INIT;
    machine.processor = &processor;
    machine.processor_count = 2;
    machine.logical_processor_count = 4;
    Qvcrash__CrashReport__ReportInfo info = QVCRASH__CRASH_REPORT__REPORT_INFO__INIT;
    Qvcrash__CrashReport__Symbol symbol = QVCRASH__CRASH_REPORT__SYMBOL__INIT;
    symbol.name = const_cast<char*>("main");
    symbol.start_address = 0x401200;
    Qvcrash__CrashReport__Exception exception = QVCRASH__CRASH_REPORT__EXCEPTION__INIT;
    exception.name = const_cast<char*>("NSInvalidArgumentException");
    exception.reason = const_cast<char*>("");
    sample.report.process_info = &process;
    sample.report.machine_info = &machine;
    sample.report.report_info = &info;
    sample.report.exception = &exception;
    sample.frame.symbol = &symbol;
    sample.image.has_uuid = 1;  // present but empty
    report = sample.decode();
    ASSERT_NE(report, nullptr);
    EXPECT_FALSE(report->uuidRef().has_value());
    ASSERT_TRUE(report->hasProcessInfo());
    EXPECT_EQ(report->processInfo()->processID(), 4321u);
    EXPECT_EQ(report->processInfo()->processName(), std::nullopt);
    EXPECT_EQ(report->processInfo()->processPath(), std::nullopt);
    EXPECT_EQ(report->processInfo()->parentProcessName(), std::nullopt);
    EXPECT_EQ(report->processInfo()->processStartTime(), std::nullopt);
    EXPECT_FALSE(report->processInfo()->native());
    ASSERT_TRUE(report->hasMachineInfo());
    EXPECT_EQ(report->machineInfo()->modelName(), std::nullopt);
    EXPECT_EQ(report->machineInfo()->processorCount(), 2u);
    EXPECT_EQ(report->machineInfo()->logicalProcessorCount(), 4u);
    // An absent encoding is the unknown encoding; the machine's processor is the system's.
    EXPECT_EQ(report->machineInfo()->processorInfo()->typeEncoding(), MSCrashReportProcessorTypeEncodingUnknown);
    EXPECT_EQ(report->systemInfo().processorInfo(), report->machineInfo()->processorInfo());
    const auto& frameSymbol = report->threads()[0].stackFrames()[0].symbolInfo();
    ASSERT_TRUE(frameSymbol.has_value());
    EXPECT_EQ(frameSymbol->symbolName(), "main");
    EXPECT_EQ(frameSymbol->startAddress(), 0x401200u);
    EXPECT_EQ(frameSymbol->endAddress(), 0u);
    EXPECT_FALSE(report->images()[0].hasImageUUID());
    ASSERT_TRUE(report->hasExceptionInfo());
    EXPECT_EQ(report->exceptionInfo()->exceptionName(), "NSInvalidArgumentException");
    EXPECT_EQ(report->exceptionInfo()->exceptionReason(), "");
    EXPECT_FALSE(report->exceptionInfo()->stackFrames().has_value());  // no frames: no list at all

    // The fields a crash-time report does not write: a symbol's end, a time before 1970.
    symbol.has_end_address = 1;
    symbol.end_address = 0x401280;
    sample.system.timestamp = -86400;
    report = sample.decode();
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->threads()[0].stackFrames()[0].symbolInfo()->endAddress(), 0x401280u);
    ASSERT_TRUE(report->systemInfo().timestamp().has_value());
    EXPECT_EQ(report->systemInfo().timestamp()->timeIntervalSince1970(), -86400.0);
}

TEST(MSCrashReport, ReportIdentifierMustBeSixteenBytes) {
    SampleReport sample;
    Qvcrash__CrashReport__ReportInfo info = QVCRASH__CRASH_REPORT__REPORT_INFO__INIT;
    sample.report.report_info = &info;
    uint8_t bytes[17];
    for (uint8_t i = 0; i < sizeof(bytes); ++i) bytes[i] = static_cast<uint8_t>(0xf0 + i);
    info.has_uuid = 1;
    info.uuid.data = bytes;

    info.uuid.len = 16;
    auto report = sample.decode();
    ASSERT_NE(report, nullptr);
    ASSERT_TRUE(report->uuidRef().has_value());
    EXPECT_EQ(report->uuidRef()->uuidString(), "F0F1F2F3-F4F5-F6F7-F8F9-FAFBFCFDFEFF");

    for (size_t len : {0, 15, 17}) {
        info.uuid.len = len;
        expectRefused(sample.file(), "Report UUID value is not a standard 16 bytes");
    }
}

TEST(MSCrashReport, ProcessorIsTakenFromTheArchitectureWithoutAMachineSection) {
    struct Case {
        Qvcrash__Architecture architecture;
        uint64_t type, subtype;
    };
    const Case cases[] = {{QVCRASH__ARCHITECTURE__X86_32, 7, 3},        {QVCRASH__ARCHITECTURE__X86_64, 16777223, 3},
                          {QVCRASH__ARCHITECTURE__ARMV6, 12, 6},        {QVCRASH__ARCHITECTURE__PPC, 18, 0},
                          {QVCRASH__ARCHITECTURE__PPC64, 16777234, 0}, {QVCRASH__ARCHITECTURE__ARMV7, 12, 9}};
    for (const Case& c : cases) {
        SampleReport sample;
        sample.system.architecture = c.architecture;
        auto report = sample.decode();
        ASSERT_NE(report, nullptr);
        const auto& processor = report->systemInfo().processorInfo();
        ASSERT_TRUE(processor.has_value());
        EXPECT_EQ(report->systemInfo().architecture(), static_cast<MSCrashReportArchitecture>(c.architecture));
        EXPECT_EQ(processor->typeEncoding(), MSCrashReportProcessorTypeEncodingMach);
        EXPECT_EQ(processor->type(), c.type) << c.architecture;
        EXPECT_EQ(processor->subtype(), c.subtype) << c.architecture;
    }

    // An architecture without a processor of its own fails the report, unless the machine section
    // names the processor.
    SampleReport unknown;
    unknown.system.architecture = QVCRASH__ARCHITECTURE__ARCHITECTURE_UNKNOWN;
    expectRefused(unknown.file(), "Crash report has an unknown architecture");
    unknown.system.architecture = static_cast<Qvcrash__Architecture>(40);
    expectRefused(unknown.file(), "Crash report has an unknown architecture");
    Qvcrash__CrashReport__Processor processor = QVCRASH__CRASH_REPORT__PROCESSOR__INIT;
    processor.type = 16777228;
    Qvcrash__CrashReport__MachineInfo machine = QVCRASH__CRASH_REPORT__MACHINE_INFO__INIT;
    machine.processor = &processor;
    unknown.report.machine_info = &machine;
    auto report = unknown.decode();
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->systemInfo().architecture(), 40);  // kept as stored
    EXPECT_EQ(report->systemInfo().processorInfo()->type(), 16777228u);

    // A negative number, outside what the generated enum can hold, is read as the number it is.
    const int32_t negative = -1;
    std::memcpy(&unknown.system.architecture, &negative, sizeof negative);
    report = unknown.decode();
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->systemInfo().architecture(), -1);
    unknown.report.machine_info = nullptr;
    expectRefused(unknown.file(), "Crash report has an unknown architecture");
}

TEST(MSCrashReport, ThreadsAndImagesAreRequired) {
    SampleReport noThreads;
    noThreads.report.n_threads = 0;
    expectRefused(noThreads.file(), "Crash report is missing thread state information");
    SampleReport noImages;
    noImages.report.n_binary_images = 0;
    expectRefused(noImages.file(), "Crash report is missing binary image information");

    // A thread without frames is kept; several threads and registers keep their order.
    SampleReport sample;
    Qvcrash__CrashReport__Thread second = QVCRASH__CRASH_REPORT__THREAD__INIT;
    second.thread_number = 7;
    Qvcrash__CrashReport__Thread* threads[2] = {&sample.thread, &second};
    sample.report.threads = threads;
    sample.report.n_threads = 2;
    Qvcrash__CrashReport__Thread__RegisterValue a = QVCRASH__CRASH_REPORT__THREAD__REGISTER_VALUE__INIT;
    Qvcrash__CrashReport__Thread__RegisterValue b = QVCRASH__CRASH_REPORT__THREAD__REGISTER_VALUE__INIT;
    a.name = const_cast<char*>("rip");
    a.value = std::numeric_limits<uint64_t>::max();
    b.name = const_cast<char*>("rbp");
    Qvcrash__CrashReport__Thread__RegisterValue* registers[2] = {&a, &b};
    sample.thread.registers = registers;
    sample.thread.n_registers = 2;
    auto report = sample.decode();
    ASSERT_NE(report, nullptr);
    ASSERT_EQ(report->threads().size(), 2u);
    EXPECT_EQ(report->threads()[1].threadNumber(), 7);
    EXPECT_TRUE(report->threads()[1].stackFrames().empty());
    EXPECT_FALSE(report->threads()[1].crashed());
    ASSERT_EQ(report->threads()[0].registers().size(), 2u);
    EXPECT_EQ(report->threads()[0].registers()[0].registerName(), "rip");
    EXPECT_EQ(report->threads()[0].registers()[0].registerValue(), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(report->threads()[0].registers()[1].registerName(), "rbp");
}

TEST(MSCrashReport, MachExceptionKeepsAtMost255Codes) {
    SampleReport sample;
    Qvcrash__CrashReport__Signal__MachException mach = QVCRASH__CRASH_REPORT__SIGNAL__MACH_EXCEPTION__INIT;
    std::vector<uint64_t> codes(256);
    for (size_t i = 0; i < codes.size(); ++i) codes[i] = 1000 + i;
    mach.type = 1;
    mach.codes = codes.data();
    sample.signal.mach_exception = &mach;

    mach.n_codes = 255;
    auto report = sample.decode();
    ASSERT_NE(report, nullptr);
    ASSERT_TRUE(report->machExceptionInfo().has_value());
    EXPECT_EQ(report->machExceptionInfo()->type(), 1u);
    EXPECT_EQ(report->machExceptionInfo()->codes(), std::vector<uint64_t>(codes.begin(), codes.begin() + 255));

    mach.n_codes = 256;
    expectRefused(sample.file(), "Crash report includes too many Mach Exception codes");

    mach.n_codes = 0;
    report = sample.decode();
    ASSERT_NE(report, nullptr);
    EXPECT_TRUE(report->machExceptionInfo()->codes().empty());
}

TEST(MSCrashReport, ImageForAddressFindsTheFirstImageWhoseRangeHoldsIt) {
    SampleReport sample;
    Qvcrash__CrashReport__BinaryImage overlapping = QVCRASH__CRASH_REPORT__BINARY_IMAGE__INIT;
    overlapping.base_address = 0x408000;
    overlapping.size = 0x10000;
    overlapping.name = const_cast<char*>("/usr/lib/overlapping.so");
    Qvcrash__CrashReport__BinaryImage top = QVCRASH__CRASH_REPORT__BINARY_IMAGE__INIT;
    top.base_address = std::numeric_limits<uint64_t>::max() - 0xfff;
    top.size = 0x2000;  // runs past the end of the address space
    top.name = const_cast<char*>("[top]");
    Qvcrash__CrashReport__BinaryImage* images[3] = {&sample.image, &overlapping, &top};
    sample.report.binary_images = images;
    sample.report.n_binary_images = 3;
    auto report = sample.decode();
    ASSERT_NE(report, nullptr);
    ASSERT_EQ(report->images().size(), 3u);
    const auto& first = report->images()[0];
    const auto& second = report->images()[1];
    EXPECT_EQ(report->imageForAddress(0x400000), &first);
    EXPECT_EQ(report->imageForAddress(0x40ffff), &first);     // in both: the first listed wins
    EXPECT_EQ(report->imageForAddress(0x410000), &second);    // first's base + size is outside it
    EXPECT_EQ(report->imageForAddress(0x417fff), &second);
    EXPECT_EQ(report->imageForAddress(0x418000), nullptr);
    EXPECT_EQ(report->imageForAddress(0x3fffff), nullptr);
    EXPECT_EQ(report->imageForAddress(0), nullptr);
    EXPECT_EQ(report->imageForAddress(std::numeric_limits<uint64_t>::max()), &report->images()[2]);
    EXPECT_EQ(report->imageForAddress(std::numeric_limits<uint64_t>::max() - 0xfff), &report->images()[2]);
}

// ---- the records ----

TEST(MSCrashReportRecords, ImageUUIDIsLowerCaseHexadecimalOfItsBytes) {
    platform::Bytes sixteen;
    for (uint8_t i = 0; i < 16; ++i) sixteen.push_back(i);
    auto image = MSCrashReportBinaryImageInfo::initWithCodeType(std::nullopt, 1, 2, "a", sixteen);
    EXPECT_TRUE(image.hasImageUUID());
    EXPECT_EQ(image.imageUUID(), std::optional<std::string>("000102030405060708090a0b0c0d0e0f"));

    image = MSCrashReportBinaryImageInfo::initWithCodeType(std::nullopt, 1, 2, "a", platform::Bytes{0xab, 0xcd, 0xef, 0x90});
    EXPECT_EQ(image.imageUUID(), std::optional<std::string>("abcdef90"));

    image = MSCrashReportBinaryImageInfo::initWithCodeType(std::nullopt, 1, 2, "a", platform::Bytes{});
    EXPECT_TRUE(image.hasImageUUID());
    EXPECT_EQ(image.imageUUID(), std::optional<std::string>(""));

    image = MSCrashReportBinaryImageInfo::initWithCodeType(std::nullopt, 1, 2, "a", std::nullopt);
    EXPECT_FALSE(image.hasImageUUID());
    EXPECT_EQ(image.imageUUID(), std::nullopt);
}

TEST(MSCrashReportRecords, ShortInitialisersLeaveTheRestAbsent) {
    auto exception = MSCrashReportExceptionInfo::initWithExceptionName("name", "reason");
    EXPECT_EQ(exception.exceptionName(), "name");
    EXPECT_EQ(exception.exceptionReason(), "reason");
    EXPECT_FALSE(exception.stackFrames().has_value());

    auto system = MSCrashReportSystemInfo::initWithOperatingSystem(MSCrashReportOperatingSystemUnknown, "6.1",
                                                                   MSCrashReportArchitectureX86_64, std::nullopt);
    EXPECT_EQ(system.operatingSystemBuild(), std::nullopt);
    EXPECT_FALSE(system.processorInfo().has_value());
}
