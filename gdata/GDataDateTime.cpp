#include "gdata/GDataDateTime.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <mutex>

#include "gdata/GDataScanner.h"

namespace quorvane {

using platform::DateComponents;

namespace {

constexpr bool isSet(int64_t v) { return DateComponents::isSet(v); }

// Instants far enough out that their year is beyond the clamp in either direction, and well
// inside what the calendar can split.
constexpr double kEarliestInstant = -400'000'000'000.0;  // about 10675 BC
constexpr double kLatestInstant = 400'000'000'000.0;     // about AD 14676
constexpr int64_t kMinYear = -9999;
constexpr int64_t kMaxYear = 9999;

// The calendar cache: one Gregorian calendar per zone, for the process's lifetime.
struct CalendarCache {
    std::mutex mutex;
    std::map<const platform::TimeZone*, GDataDateTime::CalendarPtr> calendars;
    GDataDateTime::CalendarPtr defaultZoneCalendar;
};

CalendarCache& calendarCache() {
    static CalendarCache* cache = new CalendarCache;
    return *cache;
}

// hours * 3600 + minutes * 60, or nullopt when that does not fit.
std::optional<int64_t> offsetFrom(int64_t hours, int64_t minutes) {
    int64_t h = 0, m = 0, sum = 0;
    if (__builtin_mul_overflow(hours, int64_t(3600), &h) || __builtin_mul_overflow(minutes, int64_t(60), &m) ||
        __builtin_add_overflow(h, m, &sum))
        return std::nullopt;
    return sum;
}

// Days in the month of the proleptic Gregorian calendar (astronomical years: 0 is a leap year).
int64_t daysInMonth(int64_t year, int64_t month) {
    static constexpr int8_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// An absent field is written as zero rather than as the absent marker.
long long printable(int64_t field) { return isSet(field) ? (long long)field : 0LL; }

}  // namespace

GDataDateTime::GDataDateTime(const GDataDateTime& other)
    : components_(other.components_),
      offsetSeconds_(other.offsetSeconds_),
      isUniversalTime_(other.isUniversalTime_),
      offsetInRange_(other.offsetInRange_),
      timeZone_(other.timeZone()) {}

GDataDateTime& GDataDateTime::operator=(const GDataDateTime& other) {
    if (this != &other) {
        components_ = other.components_;
        offsetSeconds_ = other.offsetSeconds_;
        isUniversalTime_ = other.isUniversalTime_;
        offsetInRange_ = other.offsetInRange_;
        timeZone_ = other.timeZone();
    }
    return *this;
}

void GDataDateTime::setFromRFC3339String(std::string_view str) {
    using namespace gdata_scan;
    int64_t year = kUndefined, month = kUndefined, day = kUndefined, hour = kUndefined, minute = kUndefined,
            second = kUndefined;
    std::string_view designator;
    int64_t offsetHours = 0, offsetMinutes = 0;
    size_t offsetHoursDigits = 0;

    size_t pos = 0;
    auto number = [&](int64_t& field) {
        skipWhitespace(str, pos);
        int64_t v = 0;
        if (!scanInteger(str, pos, v, Overflow::Fail)) return false;
        field = v;
        return true;
    };
    // Whole seconds and an optional fraction, which is dropped: reading the digits rather than a
    // binary fraction keeps 59.9999999 at 59. Seconds with an exponent are not read.
    auto seconds = [&] {
        skipWhitespace(str, pos);
        size_t i = pos;
        if (i < str.size() && (str[i] == '+' || str[i] == '-')) ++i;
        size_t digitsStart = i;
        while (i < str.size() && str[i] >= '0' && str[i] <= '9') ++i;
        size_t wholeEnd = i;
        if (i < str.size() && str[i] == '.') {
            ++i;
            while (i < str.size() && str[i] >= '0' && str[i] <= '9') ++i;
        }
        if (i == digitsStart || (i == digitsStart + 1 && wholeEnd == digitsStart)) return false;
        if (i < str.size() && (str[i] == 'e' || str[i] == 'E')) return false;
        int64_t v = 0;
        size_t wholePos = pos;
        if (wholeEnd > digitsStart) {
            std::string_view whole = str.substr(0, wholeEnd);
            if (!scanInteger(whole, wholePos, v, Overflow::Fail)) return false;
        }
        second = v;
        pos = i;
        return true;
    };
    auto offsetHoursField = [&] {
        size_t start = pos;
        if (!number(offsetHours)) return false;
        offsetHoursDigits = pos - start;
        return true;
    };
    // Each step runs only when the ones before it succeeded. Seconds may be left out: the zone
    // then follows the minute ("07:32-07:00"), and is read rather than taken as universal time.
    (void)(number(year)                                                                   //
           && scanCharacters(str, pos, "-") && number(month)                              //
           && scanCharacters(str, pos, "-") && number(day)                                //
           && scanCharacters(str, pos, "Tt ") && number(hour)                             //
           && scanCharacters(str, pos, ":") && number(minute)                             //
           && (!scanCharacters(str, pos, ":") || seconds())                               //
           && scanCharacters(str, pos, "+-zZ", &designator) && offsetHoursField()         //
           && scanCharacters(str, pos, ":") && number(offsetMinutes));

    // The basic form "+0530" is five and a half hours, not 530.
    if (offsetHoursDigits == 4 && offsetMinutes == 0 && offsetHours >= 0) {
        offsetMinutes = offsetHours % 100;
        offsetHours /= 100;
    }

    components_ = DateComponents{};
    components_.year = year;
    components_.month = month;
    components_.day = day;
    components_.hour = hour;
    components_.minute = minute;
    components_.second = second;

    timeZone_.reset();
    offsetSeconds_ = kUndefined;
    isUniversalTime_ = false;
    // An offset whose hours or minutes are out of range names no instant; it is still kept.
    offsetInRange_ = offsetHours >= 0 && offsetHours <= 23 && offsetMinutes >= 0 && offsetMinutes <= 59;

    if (designator.empty() || designator == "Z" || designator == "z") {
        isUniversalTime_ = true;
        offsetSeconds_ = 0;
        offsetInRange_ = true;
    } else if (designator == "-") {
        auto offset = offsetFrom(offsetHours, offsetMinutes);
        // "-00:00" says the local offset is unknown. An offset too large to hold stays unknown too.
        if (offset && *offset != 0 && *offset != std::numeric_limits<int64_t>::min()) offsetSeconds_ = -*offset;
    } else {
        if (auto offset = offsetFrom(offsetHours, offsetMinutes)) offsetSeconds_ = *offset;
    }
}

void GDataDateTime::setFromDate(platform::Date date, TimeZonePtr timeZone) {
    double secs = date.timeIntervalSinceReferenceDate();
    components_ = DateComponents{};
    if (!std::isnan(secs)) {
        // The year is clamped below anyway; keeping the instant in range keeps the split defined.
        platform::Date inRange(std::clamp(secs, kEarliestInstant, kLatestInstant));
        if (auto c = calendarForTimeZone(timeZone)->components(inRange)) components_ = *c;
    }
    if (isSet(components_.year)) components_.year = std::clamp(components_.year, kMinYear, kMaxYear);

    isUniversalTime_ = false;
    offsetInRange_ = true;
    if (timeZone) {
        offsetSeconds_ = timeZone->secondsFromGMT(date);
        if (offsetSeconds_ == 0 && timeZone->name() == "Universal") isUniversalTime_ = true;
    } else {
        offsetSeconds_ = kUndefined;
    }
    timeZone_ = std::move(timeZone);
}

namespace {

// Appends the number as "%0*lld" writes it (every entry's dates are written, so without printf
// for the usual values).
void appendPadded(std::string& out, long long value, int width) {
    long long limit = 1;
    for (int i = 0; i < width; ++i) limit *= 10;
    if (value < 0 || value >= limit) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%0*lld", width, value);
        out += buf;
        return;
    }
    char digits[8];
    for (int i = width - 1; i >= 0; --i, value /= 10) digits[i] = char('0' + value % 10);
    out.append(digits, size_t(width));
}

}  // namespace

std::string GDataDateTime::RFC3339String() const {
    std::string out;
    out.reserve(32);
    appendPadded(out, printable(components_.year), 4);
    out += '-';
    appendPadded(out, printable(components_.month), 2);
    out += '-';
    appendPadded(out, printable(components_.day), 2);
    if (hasTime()) {
        // A time read without seconds is written with zero seconds.
        out += 'T';
        appendPadded(out, printable(components_.hour), 2);
        out += ':';
        appendPadded(out, printable(components_.minute), 2);
        out += ':';
        appendPadded(out, printable(components_.second), 2);
        if (isUniversalTime_) {
            out += 'Z';
        } else if (!isSet(offsetSeconds_)) {
            out += "-00:00";
        } else {
            // Magnitude in unsigned arithmetic: the smallest offset has no positive counterpart.
            uint64_t magnitude = offsetSeconds_ < 0 ? 0 - uint64_t(offsetSeconds_) : uint64_t(offsetSeconds_);
            out += offsetSeconds_ < 0 ? '-' : '+';
            appendPadded(out, (long long)((magnitude / 3600) % 24), 2);
            out += ':';
            appendPadded(out, (long long)((magnitude / 60) % 60), 2);
        }
    }
    return out;
}

std::optional<platform::Date> GDataDateTime::date() const {
    // Text that is not a date, and fields out of range, name no instant rather than one the
    // calendar would roll over to.
    if (!fieldsInRange()) return std::nullopt;
    if (hasTime()) {
        if (timeZone_ || isUniversalTime_ || !isSet(offsetSeconds_)) return calendar()->date(components_);
        // A fixed offset counts from universal time, whatever zones the calendar can make.
        auto universal = calendarForTimeZone(platform::TimeZone::universal())->date(components_);
        if (!universal) return std::nullopt;
        return universal->addingTimeInterval(-double(offsetSeconds_));
    }
    // Noon keeps the calendar day when the instant is shown in any zone within 12 hours.
    DateComponents noon;
    noon.year = components_.year;
    noon.month = components_.month;
    noon.day = components_.day;
    noon.hour = 12;
    noon.minute = 0;
    noon.second = 0;
    return calendarForTimeZone(platform::TimeZone::universal())->date(noon);
}

bool GDataDateTime::fieldsInRange() const {
    const auto& c = components_;
    if (!isSet(c.year) || !isSet(c.month) || !isSet(c.day)) return false;
    if (c.month < 1 || c.month > 12 || c.day < 1 || c.day > daysInMonth(c.year, c.month)) return false;
    if (!hasTime()) return true;
    if (c.hour < 0 || c.hour > 23 || c.minute < 0 || c.minute > 59) return false;
    // Second 60 is a leap second; it counts as the first second of the next minute.
    if (isSet(c.second) && (c.second < 0 || c.second > 60)) return false;
    if (isSet(offsetSeconds_) && (offsetSeconds_ <= -86400 || offsetSeconds_ >= 86400)) return false;
    return offsetInRange_;
}

GDataDateTime::TimeZonePtr GDataDateTime::timeZone() const {
    if (timeZone_) return timeZone_;
    if (isUniversalTime_) return platform::TimeZone::universal();
    if (isSet(offsetSeconds_)) return platform::TimeZone::forSecondsFromGMT(offsetSeconds_);
    return nullptr;
}

void GDataDateTime::setTimeZone(TimeZonePtr timeZone) {
    timeZone_ = std::move(timeZone);
    offsetInRange_ = true;
    if (!timeZone_) {
        offsetSeconds_ = kUndefined;
        return;
    }
    // The zone's offset at this value's instant, reckoned in the new zone.
    if (auto instant = date())
        offsetSeconds_ = timeZone_->secondsFromGMT(*instant);
    else
        offsetSeconds_ = timeZone_->standardSecondsFromGMT();
}

void GDataDateTime::setTimeZone(TimeZonePtr timeZone, int64_t offsetSeconds) {
    timeZone_ = std::move(timeZone);
    offsetInRange_ = true;
    offsetSeconds_ = offsetSeconds;
}

GDataDateTime::CalendarPtr GDataDateTime::calendarForTimeZone(const TimeZonePtr& timeZone) {
    auto& cache = calendarCache();
    std::lock_guard lock(cache.mutex);
    if (!timeZone) {
        if (!cache.defaultZoneCalendar) cache.defaultZoneCalendar = std::make_shared<platform::Calendar>(nullptr);
        return cache.defaultZoneCalendar;
    }
    auto& slot = cache.calendars[timeZone.get()];
    if (!slot) slot = std::make_shared<platform::Calendar>(timeZone);
    return slot;
}

bool GDataDateTime::hasTime() const { return isSet(components_.hour) && isSet(components_.minute); }

void GDataDateTime::setHasTime(bool flag) {
    if (flag == hasTime()) return;
    if (flag) {
        components_.hour = 0;
        components_.minute = 0;
        components_.second = 0;
    } else {
        components_.hour = kUndefined;
        components_.minute = kUndefined;
        components_.second = kUndefined;
        timeZone_.reset();
    }
    offsetSeconds_ = kUndefined;
    isUniversalTime_ = false;
    offsetInRange_ = true;
}

bool GDataDateTime::operator==(const GDataDateTime& other) const {
    if (this == &other) return true;
    return components_ == other.components_ && offsetSeconds_ == other.offsetSeconds_ &&
           isUniversalTime_ == other.isUniversalTime_ && offsetInRange_ == other.offsetInRange_ &&
           timeZone() == other.timeZone();
}

std::string GDataDateTime::description() const {
    char buf[64];
    std::snprintf(buf, sizeof buf, "GDataDateTime %p: {", static_cast<const void*>(this));
    return buf + RFC3339String() + "}";
}

}  // namespace quorvane
