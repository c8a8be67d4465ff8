#include "gdata/GDataNormalPlayTime.h"

#include <cinttypes>
#include <cstdio>
#include <limits>

#include "gdata/GDataScanner.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

namespace {

int64_t saturatingMulAdd(int64_t a, int64_t mul, int64_t add) {
    int64_t product = 0, sum = 0;
    if (__builtin_mul_overflow(a, mul, &product) || __builtin_add_overflow(product, add, &sum))
        return (a < 0) != (mul < 0) ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    return sum;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A negative offset (other than "now") is written as its distance from zero with a minus sign.
GDataNormalPlayTime absoluteTime(int64_t negativeOffset) {
    GDataNormalPlayTime t;
    t.setTimeOffsetInMilliseconds(negativeOffset == std::numeric_limits<int64_t>::min()
                                      ? std::numeric_limits<int64_t>::max()
                                      : -negativeOffset);
    return t;
}

}  // namespace

GDataNormalPlayTime GDataNormalPlayTime::normalPlayTimeWithString(std::string_view str) {
    GDataNormalPlayTime t;
    t.setFromString(str);
    return t;
}

void GDataNormalPlayTime::setFromString(std::string_view str) {
    if (platform::equalsIgnoringCase(platform::trimWhitespace(str), "now")) {
        isNow_ = true;
        timeOffsetInMilliseconds_ = -1;
        return;
    }
    isNow_ = false;
    timeOffsetInMilliseconds_ = 0;

    size_t pos = 0;
    int64_t seconds = 0;
    gdata_scan::skipWhitespace(str, pos);
    if (!gdata_scan::scanInteger(str, pos, seconds, gdata_scan::Overflow::Clamp)) return;

    // Up to two more fields: minutes and seconds, or hours, minutes and seconds.
    for (int i = 0; i < 2; ++i) {
        size_t p = pos;
        gdata_scan::skipWhitespace(str, p);
        if (p >= str.size() || str[p] != ':') break;
        ++p;
        gdata_scan::skipWhitespace(str, p);
        int64_t next = 0;
        if (!gdata_scan::scanInteger(str, p, next, gdata_scan::Overflow::Clamp)) break;
        seconds = saturatingMulAdd(seconds, 60, next);
        pos = p;
    }

    // A fraction of a second: its first three digits, padded on the right, are the milliseconds
    // (".5" is 500 ms, ".05" is 50 ms).
    int64_t ms = 0;
    size_t p = pos;
    gdata_scan::skipWhitespace(str, p);
    if (p < str.size() && str[p] == '.') {
        ++p;
        gdata_scan::skipWhitespace(str, p);
        int digits = 0;
        for (; p < str.size() && isDigit(str[p]); ++p) {
            if (digits < 3) {
                ms = ms * 10 + (str[p] - '0');
                ++digits;
            }
        }
        for (int d = digits; d > 0 && d < 3; ++d) ms *= 10;
    }
    timeOffsetInMilliseconds_ = saturatingMulAdd(seconds, 1000, ms);
}

void GDataNormalPlayTime::setTimeOffsetInMilliseconds(int64_t ms) {
    timeOffsetInMilliseconds_ = ms;
    isNow_ = ms == -1;
}

void GDataNormalPlayTime::setIsNow(bool flag) {
    isNow_ = flag;
    if (flag) timeOffsetInMilliseconds_ = -1;
}

std::string GDataNormalPlayTime::HHMMSSString() const {
    if (isNow_) return "now";
    int64_t offset = timeOffsetInMilliseconds_;
    if (offset < 0) return "-" + absoluteTime(offset).HHMMSSString();
    int64_t hours = offset / 3600000;
    int64_t minutes = (offset / 60000) % 60;
    int64_t seconds = (offset / 1000) % 60;
    int64_t ms = offset % 1000;
    char buf[96];
    if (ms > 0)
        std::snprintf(buf, sizeof buf, "%" PRId64 ":%02" PRId64 ":%02" PRId64 ".%03" PRId64, hours, minutes, seconds, ms);
    else
        std::snprintf(buf, sizeof buf, "%" PRId64 ":%02" PRId64 ":%02" PRId64, hours, minutes, seconds);
    return buf;
}

std::string GDataNormalPlayTime::secondsString() const {
    if (isNow_) return "now";
    if (timeOffsetInMilliseconds_ < 0) return "-" + absoluteTime(timeOffsetInMilliseconds_).secondsString();
    int64_t seconds = timeOffsetInMilliseconds_ / 1000;
    int64_t ms = timeOffsetInMilliseconds_ % 1000;
    char buf[64];
    if (ms == 0)
        std::snprintf(buf, sizeof buf, "%" PRId64, seconds);
    else
        std::snprintf(buf, sizeof buf, "%" PRId64 ".%03" PRId64, seconds, ms);
    return buf;
}

bool GDataNormalPlayTime::isEqual(const GDataNormalPlayTime& other) const {
    if (isNow_ || other.isNow_) return isNow_ == other.isNow_;
    return timeOffsetInMilliseconds_ == other.timeOffsetInMilliseconds_;
}

std::string GDataNormalPlayTime::description() const {
    return "GDataNormalPlayTime " + platform::addressText(this) + ": {" + HHMMSSString() + "}";
}

}  // namespace quorvane
