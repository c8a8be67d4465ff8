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
    // The report as bytes, or nullopt with *error set (when given) when it cannot be rendered.
    virtual std::optional<platform::Bytes> formatReport(const MSCrashReport& report,
                                                        platform::Error* error = nullptr) const = 0;
};

}  // namespace quorvane
