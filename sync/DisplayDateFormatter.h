#pragma once
// Dates as the sync windows and records show them: the current locale's form of
// "MM/dd/yy hh:mma" in the default time zone.

#include <string>

#include "platform/foundation/Date.h"

namespace quorvane {

class DisplayDateFormatter {
public:
    // The current locale's pattern for the template (template expansion without options).
    static std::string patternForTemplate(const std::string& dateTemplate);
    // The date in the locale's pattern of the template, in the process's default time zone.
    static std::string stringFromDate(platform::Date date, const std::string& dateTemplate = "MM/dd/yy hh:mma");
};

}  // namespace quorvane
