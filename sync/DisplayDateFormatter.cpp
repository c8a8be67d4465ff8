#include "sync/DisplayDateFormatter.h"

#include <memory>

#include <unicode/dtptngen.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/unistr.h>

namespace quorvane {

namespace {

// The template's pattern letters, without the literal text between them (a skeleton).
icu::UnicodeString skeletonOfTemplate(const std::string& dateTemplate) {
    icu::UnicodeString skeleton;
    bool quoted = false;
    for (char c : dateTemplate) {
        if (c == '\'') {
            quoted = !quoted;
            continue;
        }
        if (!quoted && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) skeleton.append(static_cast<char16_t>(c));
    }
    return skeleton;
}

}  // namespace

std::string DisplayDateFormatter::patternForTemplate(const std::string& dateTemplate) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::DateTimePatternGenerator> generator(
        icu::DateTimePatternGenerator::createInstance(icu::Locale::getDefault(), status));
    if (U_FAILURE(status) || !generator) return dateTemplate;
    icu::UnicodeString pattern = generator->getBestPattern(skeletonOfTemplate(dateTemplate), status);
    if (U_FAILURE(status) || pattern.isEmpty()) return dateTemplate;
    std::string out;
    pattern.toUTF8String(out);
    return out;
}

std::string DisplayDateFormatter::stringFromDate(platform::Date date, const std::string& dateTemplate) {
    UErrorCode status = U_ZERO_ERROR;
    icu::SimpleDateFormat format(icu::UnicodeString::fromUTF8(patternForTemplate(dateTemplate)),
                                 icu::Locale::getDefault(), status);
    if (U_FAILURE(status)) return "";
    icu::UnicodeString text;
    format.format(static_cast<UDate>(date.timeIntervalSince1970() * 1000.0), text);
    std::string out;
    text.toUTF8String(out);
    return out;
}

}  // namespace quorvane
