#pragma once
// What turns a decoded crash report into bytes of some document form.

#include <optional>

#include "crashreporter/report/MSCrashReport.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace quorvane {

class MSCrashReportFormatter {
public:
    virtual ~MSCrashReportFormatter() = default;
    // The report as bytes, or the error saying why it cannot be rendered.
    virtual platform::Result<platform::Bytes> formatReport(const MSCrashReport& report) const = 0;
};

}  // namespace quorvane
