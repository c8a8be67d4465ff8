// The text crash log: a fixed built report against its whole expected text, the rules that vary
// it, and the layout of the log of a real crash, line by line.
#pragma GCC optimize("no-omit-frame-pointer", "no-optimize-sibling-calls")

#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>

#include "crashreporter/report/MSCrashReportTextFormatter.h"
#include "crashreporter/capture/MSCrashReporter.h"
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

void setMachineProcessor(BuiltReport& b, int encoding, uint64_t type) {
    b.machineProcessor.has_encoding = 1;
    b.machineProcessor.encoding = static_cast<Qvcrash__CrashReport__Processor__TypeEncoding>(encoding);
    b.machineProcessor.type = type;
    b.machine.processor = &b.machineProcessor;
    b.report.machine_info = &b.machine;
}

// A crashed thread with one frame at 0x401000 and the given registers, in one image.
void basic(BuiltReport& b, std::vector<std::pair<const char*, uint64_t>> regs = {}, int encoding = 1,
           uint64_t type = 16777223, uint64_t subtype = 3) {
    b.thread(0, true, {b.frame(0x401000, "_start", 0x401000)}, std::move(regs));
    b.image(0x400000, 0x2000, "/bin/tool", encoding, type, subtype);
}

}  // namespace

TEST(MSCrashReportTextFormatter, FixedReportGivesTheWholeExpectedText) {
    BuiltReport b;
    fillFixedReport(b);
    EXPECT_EQ(textOf(b), kFixedText);
}

// Each case changes a basic report and names pieces of text that must (or must not) appear.
TEST(MSCrashReportTextFormatter, RulesThatVaryTheText) {
    struct Case {
        std::string name;
        std::function<void(BuiltReport&)> setup;
        std::vector<std::string> present, absent = {};
    };
    auto os = [](int code) {
        return [code](BuiltReport& b) {
            b.system.has_operating_system = 1;
            b.system.operating_system = static_cast<Qvcrash__CrashReport__SystemInfo__OperatingSystem>(code);
            basic(b);
        };
    };
    auto image = [](uint64_t type, uint64_t subtype, int encoding = 1) {
        return [=](BuiltReport& b) { basic(b, {{"r12", 1}}, encoding, type, subtype); };
    };
    const std::string wide = "          0x400000 -           0x401fff  tool ";
    const std::string narrow = "  0x400000 -   0x401fff  tool ";
    auto regs = [](size_t count) {
        return [count](BuiltReport& b) {
            static const char* names[] = {"r0", "r1", "r2", "r3", "r4", "r5", "r6", "r7"};
            std::vector<std::pair<const char*, uint64_t>> list;
            for (size_t i = 0; i < count; ++i) list.emplace_back(names[i], i);
            basic(b, list);
        };
    };
    const std::vector<Case> cases = {
        // Operating systems; only the known families lose a symbol's leading underscore.
        {"os 0", os(0), {"OS Version:      Mac OS X 6.1.0 (?\?\?)\n", " start + 0\n"}},
        {"os 1", os(1), {"OS Version:      iPhone OS ", " start + 0\n"}},
        {"os 2", os(2), {"OS Version:      Mac OS X ", " start + 0\n"}},
        {"os 3", os(3), {"OS Version:      Unknown (3) ", " _start + 0\n"}},
        {"os 4", os(4), {"OS Version:      Apple tvOS ", " start + 0\n"}},
        {"os 9", os(9), {"OS Version:      Unknown (9) ", " _start + 0\n"}},
        {"os 5", os(5), {"OS Version:      Linux ", " _start + 0\n"}},
        // On Linux a C++ name reads as the source spells it; one that is no valid mangling stays.
        {"demangled",
         [](BuiltReport& b) {
             b.system.has_operating_system = 1;
             b.system.operating_system = QVCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__LINUX;
             b.thread(0, true, {b.frame(0x401004, "_ZN8quorvane7MSCrash4walkEPKci", 0x401000), b.frame(0x401008, "_Zbroken", 0x401000)});
             b.image(0x400000, 0x2000, "/bin/tool");
         },
         {" quorvane::MSCrash::walk(char const*, int) + 4\n", " _Zbroken + 8\n"}},
        // Code types: names, architectures and address widths.
        {"x86", image(7, 3), {"Code Type:       X86\n", " 0x00401000 ", narrow + "i386  <", "with X86 Thread State:\n"}},
        {"armv7", image(12, 9), {"Code Type:       ARM\n", narrow + "armv7  <"}},
        {"arm other", image(12, 5), {narrow + "arm-unknown  <"}},
        {"ppc", image(18, 0), {"Code Type:       PPC\n", narrow + "powerpc  <"}},
        {"armv8", image(16777228, 13), {"Code Type:       ARM-64\n", " 0x0000000000401000 ", wide + "armv8  <"}},
        {"arm64 other", image(16777228, 2), {wide + "arm64-unknown  <"}},
        // An image of no known processor leaves it to the system's (here from the architecture).
        {"unknown image", image(99, 0), {"Code Type:       X86-64\n", wide + "?\?\?  <"}},
        {"no mach image", image(62, 0, 0), {"Code Type:       X86-64\n", wide + "?\?\?  <"}},
        {"machine unknown encoding",
         [](BuiltReport& b) {
             setMachineProcessor(b, 0, 42);
             basic(b, {}, -1);
         },
         {"Code Type:       Unknown\n", " 0x0000000000401000 "}},
        {"machine unknown type",
         [](BuiltReport& b) {
             setMachineProcessor(b, 1, 42);
             basic(b, {}, -1);
         },
         {"Code Type:       Unknown (42)\n"}},
        // Registers: four to a line, a line feed after a partial line, then a blank line.
        {"0 registers", regs(0), {"Thread State:\n\nBinary Images:\n"}},
        {"4 registers", regs(4), {"    r0: 0x0000000000000000     r1:", "r3: 0x0000000000000003 \n\nBinary"}},
        {"5 registers", regs(5), {"r3: 0x0000000000000003 \n    r4: 0x0000000000000004 \n\nBinary"}},
        {"8 registers", regs(8), {"r3: 0x0000000000000003 \n    r4:", "r7: 0x0000000000000007 \n\nBinary"}},
        {"arm r12 is ip",
         [](BuiltReport& b) {
             setMachineProcessor(b, 1, 16777228);
             basic(b, {{"r12", 12}, {"sp", 1}}, 1, 16777228, 0);
         },
         {"\n    ip: 0x000000000000000c     sp: 0x0000000000000001 \n\n"}},
        // Missing values.
        {"missing sections",
         [](BuiltReport& b) {
             b.report.process_info = nullptr;
             b.system.timestamp = 0;
             b.thread(0, false, {b.frame(0x999)});
             b.thread(1, false, {});
             b.image(0x400000, 0x2000, "/bin/tool");
         },
         {"Incident Identifier: ?\?\?\n", "Hardware Model:      ?\?\?\n", "Process:         ??? [?\?\?]\n",
          "Path:            ?\?\?\n", "Version:         7\n", "Parent Process:  ??? [?\?\?]\n",
          "Date/Time:       ?\?\?\n", "0   ???                                 0x0000000000000999 0x0 + 0\n",
          "Thread 1:\n\nBinary Images:\n", "  tool x86_64  <?\?\?> /bin/tool\n"},
         {"Crashed", "crashed with", "Application Specific Information"}},
        {"time past any calendar",
         [](BuiltReport& b) {
             b.system.timestamp = INT64_MAX;
             basic(b);
         },
         {"Date/Time:       ?\?\?\n"}},
    };
    for (const auto& c : cases) {
        BuiltReport b;
        c.setup(b);
        const std::string text = textOf(b);
        for (const auto& part : c.present) EXPECT_TRUE(contains(text, part)) << c.name << ": " << part << "\n" << text;
        for (const auto& part : c.absent) EXPECT_FALSE(contains(text, part)) << c.name << ": " << part;
    }
}

TEST(MSCrashReportTextFormatter, BytesComeInTheChosenEncoding) {
    BuiltReport b;
    b.application.identifier = const_cast<char*>("café");
    basic(b);
    auto report = b.decode();
    ASSERT_TRUE(report);
    const std::string text = TF::stringValueForCrashReport(*report, MSCrashReportTextFormatiOS);
    auto head = [&](MSStringEncoding encoding, size_t n) {
        auto bytes = TF(MSCrashReportTextFormatiOS, encoding).formatReport(*report);
        return bytes ? std::string(bytes->begin(), bytes->begin() + std::min(n, bytes->size())) : std::string();
    };
    const size_t at = text.find("caf");
    EXPECT_EQ(head(MSUTF8StringEncoding, SIZE_MAX), text);
    EXPECT_EQ(head(MSASCIIStringEncoding, at + 5).substr(at), "caf?\n");  // é was two bytes
    EXPECT_EQ(head(MSISOLatin1StringEncoding, at + 5).substr(at), "caf\xe9\n");
    EXPECT_EQ(head(MSUTF16LittleEndianStringEncoding, 4), std::string("I\0n\0", 4));
    EXPECT_EQ(head(MSUTF16BigEndianStringEncoding, 4), std::string("\0I\0n", 4));
    EXPECT_EQ(head(MSUTF16StringEncoding, 4), std::string("\xff\xfeI\0", 4));
}

// ---- a real crash ----

namespace {

// The report a child leaves when its main thread crashes three calls deep while a second thread
// waits; symbolicated at crash time.
platform::Bytes realCrashReport() {
    static platform::Bytes bytes = [] {
        auto reporterFor = [] {
            return MSCrashReporter::initWithApplicationIdentifier(
                "text.app", "42", std::string("1.2"), MSCrashReporterConfig(0, 1, true));
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
        return data.valueOr(platform::Bytes{});
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
          "", R"(Date/Time:       \d{4}-\d\d-\d\d \d\d:\d\d:\d\d \+0000)", R"(OS Version:      Linux \d+\.\d+\.\d+ \(.+\))",
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
    auto report = MSCrashReport::initWithData(realCrashReport()).valueOr(nullptr);
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
    auto report = MSCrashReport::initWithData(bytes).valueOr(nullptr);
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
