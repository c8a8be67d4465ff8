// The text crash log: a fixed built report against its whole expected text, the rules that vary
// it, and the layout of the log of a real crash, line by line.
#pragma GCC optimize("no-omit-frame-pointer", "no-optimize-sibling-calls")

#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "crashreporter/MSCrashReportTextFormatter.h"
#include "crashreporter/MSCrashReporter.h"
#include "platform/foundation/Strings.h"
#include "tests/crashreporter/BuiltReport.h"
#include "tests/crashreporter/CrashChild.h"
#include "tests/crashreporter/ParkedCrash.h"

using namespace quorvane;
using quorvane::test::BuiltReport;
using quorvane::test::runInChild;
using TF = MSCrashReportTextFormatter;

namespace {

const uint8_t kReportUUID[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const uint8_t kImageUUID[4] = {0xde, 0xad, 0xbe, 0xef};

// Every section set, images out of order, a frame outside every image.
void fillFixedReport(BuiltReport& b) {
    b.reportInfo.uuid = {sizeof kReportUUID, const_cast<uint8_t*>(kReportUUID)};
    b.reportInfo.has_uuid = 1;
    b.report.report_info = &b.reportInfo;
    b.machineProcessor.has_encoding = 1;
    b.machineProcessor.encoding = QVCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH;
    b.machineProcessor.type = 16777223;
    b.machineProcessor.subtype = 3;
    b.machine.model = const_cast<char*>("MacBookPro18,3");
    b.machine.processor = &b.machineProcessor;
    b.report.machine_info = &b.machine;
    b.system.has_operating_system = 1;
    b.system.operating_system = QVCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__MAC_OS_X;
    b.system.os_version = const_cast<char*>("13.4.1");
    b.system.os_build = const_cast<char*>("22F82");
    b.application.identifier = const_cast<char*>("com.example.tool");
    b.application.marketing_version = const_cast<char*>("1.2");
    b.process.parent_process_name = const_cast<char*>("launchd");
    b.process.parent_process_id = 1;
    b.exception.name = const_cast<char*>("NSRangeException");
    b.exception.reason = const_cast<char*>("index 3 beyond bounds");
    b.exception.n_frames = 1;
    b.exception.frames = b.list<Qvcrash__CrashReport__Thread__StackFrame>({b.frame(0x401100, "_objc_exception_throw", 0x4010f0)});
    b.report.exception = &b.exception;
    b.thread(0, false, {b.frame(0x7f0000001234)});
    b.thread(1, true, {b.frame(0x401020, "_main", 0x401000), b.frame(0x999)},
             {{"rip", 0x401020}, {"rbp", 0x7ffd0010}, {"rsp", 0x7ffd0000}, {"rax", 0}, {"rbx", ~0ull}});
    b.image(0x7f0000000000, 0x200000, "/usr/lib/libc.so.6");
    b.images.back().has_uuid = 1;
    b.images.back().uuid = {sizeof kImageUUID, const_cast<uint8_t*>(kImageUUID)};
    b.image(0x400000, 0x2000, "/home/alice/bin/tool");
    b.image(0x500000, 0, "/opt/empty.so", -1);
}

const char* const kFixedText =
    "Incident Identifier: 00010203-0405-0607-0809-0A0B0C0D0E0F\n"
    "CrashReporter Key:   TODO\n"
    "Hardware Model:      MacBookPro18,3\n"
    "Process:         tool [4242]\n"
    "Path:            /home/alice/bin/tool\n"
    "Identifier:      com.example.tool\n"
    "Version:         1.2 (7)\n"
    "Code Type:       X86-64\n"
    "Parent Process:  launchd [1]\n"
    "\n"
    "Date/Time:       2023-11-14 22:13:20 +0000\n"
    "OS Version:      Mac OS X 13.4.1 (22F82)\n"
    "Report Version:  104\n"
    "\n"
    "Exception Type:  SIGSEGV\n"
    "Exception Codes: SEGV_MAPERR at 0x10\n"
    "Crashed Thread:  1\n"
    "\n"
    "Application Specific Information:\n"
    "*** Terminating app due to uncaught exception 'NSRangeException', reason: 'index 3 beyond bounds'\n"
    "\n"
    "Last Exception Backtrace:\n"
    "0   tool                                0x0000000000401100 objc_exception_throw + 16\n"
    "\n"
    "Thread 0:\n"
    "0   libc.so.6                           0x00007f0000001234 0x7f0000000000 + 4660\n"
    "\n"
    "Thread 1 Crashed:\n"
    "0   tool                                0x0000000000401020 main + 32\n"
    "1   ???                                 0x0000000000000999 0x0 + 0\n"
    "\n"
    "Thread 1 crashed with X86-64 Thread State:\n"
    "   rip: 0x0000000000401020    rbp: 0x000000007ffd0010    rsp: 0x000000007ffd0000    rax: 0x0000000000000000 \n"
    "   rbx: 0xffffffffffffffff \n"
    "\n"
    "Binary Images:\n"
    "          0x400000 -           0x401fff +tool x86_64  <??\?> /home/alice/bin/tool\n"
    "          0x500000 -           0x500000  empty.so ???  <??\?> /opt/empty.so\n"
    "    0x7f0000000000 -     0x7f00001fffff  libc.so.6 x86_64  <deadbeef> /usr/lib/libc.so.6\n";

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string textOf(BuiltReport& b) {
    auto report = b.decode();
    return report ? TF::stringValueForCrashReport(*report, MSCrashReportTextFormatiOS) : std::string();
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(MSCrashReportTextFormatter, FixedReportGivesTheWholeExpectedText) {
    BuiltReport b;
    fillFixedReport(b);
    const std::string text = textOf(b);
    // Line by line first, so that a difference names its line.
    const auto got = linesOf(text), want = linesOf(kFixedText);
    for (size_t i = 0; i < std::min(got.size(), want.size()); ++i) EXPECT_EQ(got[i], want[i]) << "line " << i + 1;
    EXPECT_EQ(text, kFixedText);
}

TEST(MSCrashReportTextFormatter, OperatingSystemNames) {
    const std::vector<std::pair<int, std::string>> cases = {
        {0, "Mac OS X"}, {1, "iPhone OS"}, {2, "Mac OS X"}, {3, "Unknown (3)"}, {4, "Apple tvOS"}, {9, "Unknown (9)"}};
    for (const auto& [code, name] : cases) {
        BuiltReport b;
        b.system.has_operating_system = 1;
        b.system.operating_system = static_cast<Qvcrash__CrashReport__SystemInfo__OperatingSystem>(code);
        b.thread(0, true, {b.frame(0x401000, "_start", 0x401000)});
        b.image(0x400000, 0x2000, "/bin/tool");
        const std::string text = textOf(b);
        EXPECT_TRUE(contains(text, "OS Version:      " + name + " 6.1.0 (??\?)\n")) << code;
        // Only the known families lose the symbol's leading underscore.
        EXPECT_TRUE(contains(text, code == 3 || code == 9 ? " _start + 0\n" : " start + 0\n")) << code;
    }
}

TEST(MSCrashReportTextFormatter, CodeTypeDecidesNamesAndWidths) {
    struct Case {
        int encoding;
        uint64_t type, subtype;
        std::string codeType, arch, frame, image;
    };
    const std::vector<Case> cases = {
        {1, 7, 3, "X86", "i386", "0x00401000", "  0x400000 -   0x401fff"},
        {1, 12, 9, "ARM", "armv7", "0x00401000", "  0x400000 -   0x401fff"},
        {1, 12, 5, "ARM", "arm-unknown", "0x00401000", "  0x400000 -   0x401fff"},
        {1, 18, 0, "PPC", "powerpc", "0x00401000", "  0x400000 -   0x401fff"},
        {1, 16777228, 13, "ARM-64", "armv8", "0x0000000000401000", "          0x400000 -           0x401fff"},
        {1, 16777228, 2, "ARM-64", "arm64-unknown", "0x0000000000401000", "          0x400000 -           0x401fff"},
        // Images of no known processor: the system's processor (from the architecture) decides.
        {1, 99, 0, "X86-64", "???", "0x0000000000401000", "          0x400000 -           0x401fff"},
        {0, 62, 0, "X86-64", "???", "0x0000000000401000", "          0x400000 -           0x401fff"},
    };
    for (const auto& c : cases) {
        BuiltReport b;
        b.thread(0, true, {b.frame(0x401000)}, {{"r12", 1}});
        b.image(0x400000, 0x2000, "/bin/tool", c.encoding, c.type, c.subtype);
        const std::string text = textOf(b);
        EXPECT_TRUE(contains(text, "Code Type:       " + c.codeType + "\n")) << c.type;
        EXPECT_TRUE(contains(text, " " + c.frame + " 0x400000 + 4096\n")) << c.type;
        EXPECT_TRUE(contains(text, c.image + "  tool " + c.arch + "  <??\?> /bin/tool\n")) << c.type;
        EXPECT_TRUE(contains(text, "Thread 0 crashed with " + c.codeType + " Thread State:\n")) << c.type;
    }

    // Without a machine section or known images: the processor synthesised from the
    // architecture, or the machine's own processor of an unknown type.
    BuiltReport unknown;
    unknown.machineProcessor.type = 42;  // encoding 0
    unknown.machine.processor = &unknown.machineProcessor;
    unknown.report.machine_info = &unknown.machine;
    unknown.thread(0, true, {unknown.frame(0x1)});
    unknown.image(0x400000, 0x2000, "/bin/tool", -1);
    EXPECT_TRUE(contains(textOf(unknown), "Code Type:       Unknown\n"));
    EXPECT_TRUE(contains(textOf(unknown), " 0x0000000000000001 0x0 + 0\n"));
    unknown.machineProcessor.has_encoding = 1;
    unknown.machineProcessor.encoding = QVCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH;
    EXPECT_TRUE(contains(textOf(unknown), "Code Type:       Unknown (42)\n"));
}

TEST(MSCrashReportTextFormatter, RegisterBlockLines) {
    const std::vector<std::pair<size_t, std::string>> cases = {
        {0, "Thread State:\n\nBinary Images:\n"},
        {4, "r3: 0x0000000000000003 \n\nBinary"},
        {5, "r3: 0x0000000000000003 \n    r4: 0x0000000000000004 \n\nBinary"},
        {8, "r7: 0x0000000000000007 \n\nBinary"},
    };
    for (const auto& [count, tail] : cases) {
        BuiltReport b;
        std::vector<std::string> names(count);
        std::vector<std::pair<const char*, uint64_t>> regs;
        for (size_t i = 0; i < count; ++i) {
            names[i] = "r" + std::to_string(i);
            regs.emplace_back(names[i].c_str(), i);
        }
        b.thread(0, true, {b.frame(0x401000)}, regs);
        b.image(0x400000, 0x2000, "/bin/tool");
        const std::string text = textOf(b);
        EXPECT_TRUE(contains(text, tail)) << count << "\n" << text;
        if (count == 8) {
            EXPECT_TRUE(contains(text, "r3: 0x0000000000000003 \n    r4:"));
        }
    }

    // On ARM machines r12 is printed as ip.
    BuiltReport arm;
    arm.machineProcessor.has_encoding = 1;
    arm.machineProcessor.encoding = QVCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH;
    arm.machineProcessor.type = 16777228;
    arm.machine.processor = &arm.machineProcessor;
    arm.report.machine_info = &arm.machine;
    arm.thread(0, true, {arm.frame(0x401000)}, {{"r12", 12}, {"sp", 1}});
    arm.image(0x400000, 0x2000, "/bin/tool", 1, 16777228, 0);
    EXPECT_TRUE(contains(textOf(arm), "\n    ip: 0x000000000000000c     sp: 0x0000000000000001 \n\n"));
}

TEST(MSCrashReportTextFormatter, MissingSectionsPrintAsUnknown) {
    BuiltReport b;
    b.report.process_info = nullptr;
    b.system.timestamp = 0;
    b.thread(0, false, {b.frame(0x401000)});
    b.thread(1, false, {});
    b.image(0x400000, 0x2000, "/bin/tool");
    const std::string text = textOf(b);
    for (const char* line : {"Incident Identifier: ???\n", "Hardware Model:      ???\n", "Process:         ??? [???]\n",
                             "Path:            ???\n", "Version:         7\n", "Parent Process:  ??? [???]\n",
                             "Date/Time:       ???\n", "Thread 1:\n\nBinary Images:\n", "  tool x86_64  <??\?> /bin/tool\n"}) {
        EXPECT_TRUE(contains(text, line)) << line << "\n" << text;
    }
    // No crashed thread: no crashed-thread line and no thread state.
    EXPECT_FALSE(contains(text, "Crashed"));
    EXPECT_FALSE(contains(text, "crashed with"));
    EXPECT_FALSE(contains(text, "Application Specific Information"));
}

TEST(MSCrashReportTextFormatter, BytesComeInTheChosenEncoding) {
    BuiltReport b;
    b.application.identifier = const_cast<char*>("café");
    b.thread(0, true, {b.frame(0x401000)});
    b.image(0x400000, 0x2000, "/bin/tool");
    auto report = b.decode();
    ASSERT_TRUE(report);
    const std::string text = TF::stringValueForCrashReport(*report, MSCrashReportTextFormatiOS);
    auto bytesIn = [&](MSStringEncoding encoding) {
        platform::Error error;
        auto bytes = TF(MSCrashReportTextFormatiOS, encoding).formatReport(*report, &error);
        EXPECT_TRUE(bytes);
        return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
    };
    EXPECT_EQ(bytesIn(MSUTF8StringEncoding), text);
    const std::string ascii = bytesIn(MSASCIIStringEncoding);
    EXPECT_TRUE(contains(ascii, "Identifier:      caf?\n"));
    EXPECT_EQ(ascii.size() + 1, text.size());  // é was two bytes
    EXPECT_TRUE(contains(bytesIn(MSISOLatin1StringEncoding), "caf\xe9\n"));
    const std::string utf16 = bytesIn(MSUTF16LittleEndianStringEncoding);
    EXPECT_EQ(utf16.size(), 2 * platform::utf16Length(text));
    EXPECT_EQ(utf16.substr(0, 4), std::string("I\0n\0", 4));
    EXPECT_EQ(bytesIn(MSUTF16StringEncoding).substr(0, 4), std::string("\xff\xfeI\0", 4));
    EXPECT_EQ(bytesIn(MSUTF16BigEndianStringEncoding).substr(0, 4), std::string("\0I\0n", 4));
}

// ---- a real crash ----

namespace {

// The report a child leaves when its main thread crashes three calls deep while a second thread
// waits; symbolicated at crash time.
platform::Bytes realCrashReport() {
    static platform::Bytes bytes = [] {
        auto reporterFor = [] {
            return MSCrashReporter::initWithApplicationIdentifier(
                "text.app", "42", std::string("1.2"), std::make_shared<MSCrashReporterConfig>(0, 1, true));
        };
        auto child = runInChild([&] {
            ::close(2);
            if (!reporterFor()->enableCrashReporter()) return 2;
            return test::crashBesideAParkedThread();
        });
        EXPECT_TRUE(child.signaled && child.signal == SIGSEGV) << child.describe();
        auto reporter = reporterFor();
        auto data = reporter->loadPendingCrashReportData();
        reporter->purgePendingCrashReport();
        return data.value_or(platform::Bytes{});
    }();
    return bytes;
}

// Checks the layout of a crash log line by line; returns the crashed thread's frame lines.
std::vector<std::string> expectCrashLogLayout(const std::string& text, const std::string& codeType) {
    const auto lines = linesOf(text);
    size_t i = 0;
    auto next = [&]() -> std::string { return i < lines.size() ? lines[i++] : std::string("<end of text>"); };
    auto expectLine = [&](const std::string& pattern) {
        const std::string line = next();
        EXPECT_TRUE(std::regex_match(line, std::regex(pattern))) << "line " << i << ": \"" << line << "\" !~ " << pattern;
        return line;
    };
    const std::string pid = std::to_string(::getpid());
    for (const std::string& pattern : std::vector<std::string>{
             R"(Incident Identifier: [0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})",
          R"(CrashReporter Key:   TODO)", R"(Hardware Model:      .+)", R"(Process:         \S+ \[\d+\])",
          R"(Path:            /\S+/quorvane_crashreporter_tests)", R"(Identifier:      text\.app)",
          R"(Version:         1\.2 \(42\))", "Code Type:       " + codeType, R"(Parent Process:  \S+ \[)" + pid + R"(\])",
          "", R"(Date/Time:       \d{4}-\d\d-\d\d \d\d:\d\d:\d\d \+0000)", R"(OS Version:      Unknown \(3\) \d+\.\d+\.\d+ \(.+\))",
          R"(Report Version:  104)", "", R"(Exception Type:  SIGSEGV)", R"(Exception Codes: SEGV_MAPERR at 0x10)"}) {
        expectLine(pattern);
    }
    std::smatch m;
    const std::string crashedLine = expectLine(R"(Crashed Thread:  \d+)");
    const std::string crashedNumber = crashedLine.substr(17);
    expectLine("");

    // Threads in order, frames numbered from 0: "%-4ld%-35S 0x%016llx <symbol text>".
    const std::regex threadHeader(R"(Thread (\d+)( Crashed)?:)");
    const std::regex frameLine(R"((\d+) *)");
    const std::regex frameRest(R"( 0x[0-9a-f]{16} (.+ \+ -?\d+))");
    std::vector<std::string> crashedFrames;
    int threadNumber = 0;
    while (i < lines.size() && std::regex_match(lines[i], m, threadHeader)) {
        EXPECT_EQ(m[1].str(), std::to_string(threadNumber++));
        const bool crashed = m[2].matched;
        EXPECT_EQ(crashed, m[1].str() == crashedNumber);
        ++i;
        int frame = 0;
        for (; i < lines.size() && !lines[i].empty(); ++i, ++frame) {
            const std::string& line = lines[i];
            if (line.size() <= 39) {
                ADD_FAILURE() << "short frame line: " << line;
                continue;
            }
            const std::string index = line.substr(0, 4);
            EXPECT_TRUE(std::regex_match(index, m, frameLine) && m[1].str() == std::to_string(frame)) << line;
            EXPECT_TRUE(std::regex_match(line.substr(4, 35), std::regex(R"(\S+ *)"))) << line;
            EXPECT_TRUE(std::regex_match(line.substr(39), frameRest)) << line;
            if (crashed) crashedFrames.push_back(line);
        }
        EXPECT_GT(frame, 0) << "thread " << threadNumber - 1 << " has no frames";
        expectLine("");
    }
    EXPECT_GE(threadNumber, 2);

    // x86-64 has 21 registers: five lines of four and one of one.
    expectLine("Thread " + crashedNumber + " crashed with " + codeType + " Thread State:");
    const std::string reg = R"([ a-z0-9]{6}: 0x[0-9a-f]{16} )";
    for (int l = 0; l < 5; ++l) expectLine(reg + reg + reg + reg);
    expectLine(reg);
    expectLine("");

    // Images sorted by base, the process's own marked with "+".
    expectLine("Binary Images:");
    const std::regex image(R"( *0x([0-9a-f]+) -  *0x([0-9a-f]+) ([+ ])(\S.*) x86_64  <([0-9a-f]+|\?\?\?)> (\S.*))");
    uint64_t previous = 0;
    int marked = 0;
    for (; i < lines.size(); ++i) {
        if (!std::regex_match(lines[i], m, image)) {
            ADD_FAILURE() << "not an image line: " << lines[i];
            continue;
        }
        EXPECT_EQ(lines[i].find(" - "), 18u) << lines[i];
        const uint64_t base = std::stoull(m[1].str(), nullptr, 16);
        EXPECT_GE(base, previous);
        EXPECT_LE(base, std::stoull(m[2].str(), nullptr, 16));
        previous = base;
        EXPECT_EQ(m[6].str().substr(m[6].str().rfind('/') + 1), m[4].str());
        marked += m[3].str() == "+";
    }
    EXPECT_EQ(marked, 1);
    return crashedFrames;
}

}  // namespace

TEST(MSCrashReportTextFormatter, RealCrashFollowsTheLayoutLineByLine) {
    auto report = MSCrashReport::initWithData(realCrashReport());
    ASSERT_TRUE(report);
    const std::string text = TF::stringValueForCrashReport(*report, MSCrashReportTextFormatiOS);
    const auto frames = expectCrashLogLayout(text, "X86-64");
    ASSERT_GE(frames.size(), 3u) << text;
    // The crash and its callers, by the names found at crash time.
    const char* names[] = {"qvtest_report_crash_level3", "qvtest_report_crash_level2", "qvtest_report_crash_level1"};
    for (size_t f = 0; f < 3; ++f) {
        EXPECT_EQ(frames[f].substr(4, 35), std::string("quorvane_crashreporter_tests") + std::string(7, ' '));
        EXPECT_TRUE(contains(frames[f], std::string(" ") + names[f] + " + ")) << frames[f];
    }
}

// ---- the crash-report tool ----

namespace {

struct ToolRun {
    int exitCode = -1;
    std::string output;  // standard output and standard error
};

ToolRun runTool(const std::string& arguments) {
    ToolRun run;
    FILE* pipe = ::popen((std::string(QUORVANE_CRASH_REPORT_TOOL) + " " + arguments + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return run;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) run.output.append(buf, n);
    const int status = ::pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace

TEST(CrashReportTool, PrintsARealReportAndRefusesOtherFiles) {
    const platform::Bytes bytes = realCrashReport();
    ASSERT_GT(bytes.size(), 8u);
    const auto dir = std::filesystem::temp_directory_path() / ("qv-crash-report-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    auto write = [&](const std::string& name, const std::string& content) {
        std::ofstream(dir / name, std::ios::binary) << content;
        return (dir / name).string();
    };
    const std::string real = write("live_report.qvcrash", std::string(bytes.begin(), bytes.end()));

    auto run = runTool(real);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    auto report = MSCrashReport::initWithData(bytes);
    ASSERT_TRUE(report);
    EXPECT_EQ(run.output, TF::stringValueForCrashReport(*report, MSCrashReportTextFormatiOS));
    expectCrashLogLayout(run.output, "X86-64");

    const std::string notReport = write("notes.txt", "these are notes, not a crash report");
    const std::string truncated = write("short.qvcrash", std::string(bytes.begin(), bytes.begin() + 8));
    const std::vector<std::pair<std::string, ToolRun>> refused = {
        {notReport, {1, "crash-report: " + notReport + ": not a crash report: Could not decode invalid crash log header\n"}},
        {truncated, {1, "crash-report: " + truncated + ": not a crash report: Could not decode truncated crash log\n"}},
        {(dir / "missing").string(), {1, "crash-report: " + (dir / "missing").string() + ": cannot be read\n"}},
    };
    for (const auto& [argument, expected] : refused) {
        run = runTool(argument);
        EXPECT_EQ(run.exitCode, expected.exitCode) << argument;
        EXPECT_EQ(run.output, expected.output);
    }
    EXPECT_EQ(runTool("").exitCode, 2);
    std::filesystem::remove_all(dir);
}
