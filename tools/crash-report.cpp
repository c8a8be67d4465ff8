// crash-report FILE
//
// Decodes a crash report file written by the capture engine and prints it as a text crash log on
// standard output. Exits 1 with a message on standard error when the file cannot be read or is
// not a crash report, 2 on a usage error.

#include <cstdio>
#include <string>

#include "crashreporter/report/MSCrashReport.h"
#include "crashreporter/report/MSCrashReportTextFormatter.h"
#include "platform/foundation/Paths.h"

using namespace quorvane;

namespace {

int fail(const std::string& message) {
    std::fprintf(stderr, "crash-report: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help") {
        std::fprintf(stderr,
                     "usage: crash-report FILE\n"
                     "Prints a crash report file (such as live_report.qvcrash) as a text crash log.\n");
        return 2;
    }
    const std::string path = argv[1];
    std::string bytes;
    if (!platform::readFile(path, bytes)) return fail(path + ": cannot be read");

    auto report = MSCrashReport::initWithData(platform::Bytes(bytes.begin(), bytes.end()));
    if (!report) return fail(path + ": not a crash report: " + report.error().localizedDescription());

    const std::string text = MSCrashReportTextFormatter::stringValueForCrashReport(**report, MSCrashReportTextFormatiOS);
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        return fail("could not write the crash log");
    }
    return 0;
}
