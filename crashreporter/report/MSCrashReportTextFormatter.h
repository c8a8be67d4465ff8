#pragma once
// A decoded crash report as a human-readable crash log (report version 104): a header, the
// uncaught exception, every thread's backtrace, the crashed thread's registers and the binary
// images, in one fixed layout. Values the report does not have print as "???".

#include <cstdint>
#include <string>

#include "crashreporter/report/MSCrashReport.h"
#include "crashreporter/report/MSCrashReportFormatter.h"

namespace quorvane {

// The requested layout. There is one; the value is kept and passed on.
enum MSCrashReportTextFormat : int32_t {
    MSCrashReportTextFormatiOS = 0,
};

// String encodings, numbered as the platform's string encodings are.
using MSStringEncoding = uint64_t;
inline constexpr MSStringEncoding MSASCIIStringEncoding = 1;
inline constexpr MSStringEncoding MSUTF8StringEncoding = 4;
inline constexpr MSStringEncoding MSISOLatin1StringEncoding = 5;
// UTF-16 in this machine's byte order, after a byte-order mark.
inline constexpr MSStringEncoding MSUTF16StringEncoding = 10;
inline constexpr MSStringEncoding MSUTF16BigEndianStringEncoding = 0x90000100;
inline constexpr MSStringEncoding MSUTF16LittleEndianStringEncoding = 0x94000100;

class MSCrashReportTextFormatter : public MSCrashReportFormatter {
public:
    // An encoding not listed above renders as UTF-8.
    MSCrashReportTextFormatter(MSCrashReportTextFormat textFormat, MSStringEncoding stringEncoding)
        : textFormat_(textFormat), stringEncoding_(stringEncoding) {}

    MSCrashReportTextFormat textFormat() const { return textFormat_; }
    MSStringEncoding stringEncoding() const { return stringEncoding_; }

    // The report text in the formatter's encoding; characters the encoding cannot hold become
    // "?". Never fails.
    platform::Result<platform::Bytes> formatReport(const MSCrashReport& report) const override;

    // The report text (UTF-8).
    static std::string stringValueForCrashReport(const MSCrashReport& report, MSCrashReportTextFormat textFormat);

    // One backtrace line, ending with a line feed.
    static std::string formatStackFrame(const MSCrashReportStackFrameInfo& frame, int64_t frameIndex,
                                        const MSCrashReport& report, bool lp64);

private:
    MSCrashReportTextFormat textFormat_;
    MSStringEncoding stringEncoding_;
};

}  // namespace quorvane
