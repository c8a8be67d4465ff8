#pragma once
// Turns a decoded crash report into the crash log that crash reporting sends and into the error
// report it hands to the application. Stateless; callable from any thread.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crashes/MSErrorLogs.h"
#include "crashreporter/report/MSCrashReport.h"

namespace quorvane {

inline constexpr const char* kMSCrashesLogTag = "RevAzezarCrashes";

// Where an image belongs.
enum MSImageKind : int {
    MSImageKindApplicationBinary = 0,     // the process's own executable
    MSImageKindApplicationFramework = 1,  // any other image inside the application bundle
    MSImageKindOther = 2,                 // system libraries and everything else
};

class MSErrorLogFormatter {
public:
    static std::shared_ptr<MSAppleErrorLog> errorLogFromCrashReport(const MSCrashReport& report);
    // Null for a null report.
    static std::shared_ptr<MSErrorReport> errorReportFromCrashReport(const MSCrashReport* report);
    static std::shared_ptr<MSErrorReport> errorReportFromLog(const MSAppleErrorLog& log);

    // The steps of the conversion.
    // The report's UUID text; without one, an identifier drawn from the report's own content, so
    // every conversion of the same report names the same error.
    static std::string errorIdForCrashReport(const MSCrashReport& report);
    static MSAppleErrorLog& addProcessInfoAndApplicationPathTo(MSAppleErrorLog& log, const MSCrashReport& report);
    static std::optional<platform::Date> getAppLaunchTimeFromReport(const MSCrashReport& report);
    // The crash time, 1970-01-01 when the report has none.
    static platform::Date getCrashTimeFromReport(const MSCrashReport& report);
    static const MSCrashReportThreadInfo* findCrashedThreadInReport(const MSCrashReport& report);
    // The processor type of the crashed process in Mach CPU numbering.
    static std::optional<uint64_t> extractCodeTypeFromReport(const MSCrashReport& report);
    static bool isCodeType64bit(std::optional<uint64_t> codeType);
    static std::optional<std::string> extractExceptionReasonFromReport(const MSCrashReport& report);
    static std::optional<std::string> selectorRegisterValueFromReport(const MSCrashReport& report,
                                                                      const MSCrashReportThreadInfo* crashedThread,
                                                                      bool is64bit);
    static std::optional<std::string> selectorForRegisterWithName(const std::string& name,
                                                                  const MSCrashReportThreadInfo& thread,
                                                                  const MSCrashReport& report);
    static std::vector<std::shared_ptr<MSThread>> extractThreadsFromReport(const MSCrashReport& report,
                                                                           const MSCrashReportThreadInfo* crashedThread,
                                                                           bool is64bit);
    static std::string formatStackFrame(const MSCrashReportStackFrameInfo& frame, const MSCrashReport& report);
    static std::map<std::string, std::string> extractRegistersFromCrashedThread(const MSCrashReportThreadInfo* thread,
                                                                                bool is64bit);
    static std::vector<std::shared_ptr<MSBinary>> extractBinaryImagesFromReport(const MSCrashReport& report,
                                                                                std::optional<uint64_t> codeType,
                                                                                bool is64bit);
    // Exception frames, then per thread its frames and its register values; in report order.
    static std::vector<uint64_t> addressesFromReport(const MSCrashReport& report, bool is64bit);
    // Whether a sorted address list holds an address in [start, end].
    static bool isBinaryWithStart(uint64_t start, uint64_t end, const std::vector<uint64_t>& sortedAddresses);
    static MSImageKind imageTypeForImagePath(const std::optional<std::string>& imagePath,
                                             const std::optional<std::string>& processPath);
    // The user's folder of a path replaced, so that no user name leaves the machine.
    static std::string anonymizedPathFromPath(const std::string& path);
    static std::optional<std::string> uuidRefToString(const std::optional<platform::UUID>& uuid);
    static uint64_t normalizeAddress(uint64_t address, bool is64bit) { return address; }
    // "0x" and lower-case hexadecimal digits, zero-padded to 16 (64-bit) or 8.
    static std::string formatAddress(uint64_t address, bool is64bit);

    // An image's processor type and subtype in Mach CPU numbering: as stored, or mapped from the
    // image's ELF machine. Nullopt when neither applies.
    struct MachCodeType {
        uint64_t type;
        uint64_t subtype;
    };
    static std::optional<MachCodeType> machCodeTypeOfImage(const MSCrashReportBinaryImageInfo& image);
};

}  // namespace quorvane
