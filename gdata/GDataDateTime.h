#pragma once
// GDataDateTime: an RFC 3339 date-time as it was written.
//
// The value keeps the calendar fields, the offset and the zone rather than an instant, so that a
// date read from a feed is written back as it came: a date alone stays a date alone, an offset
// stays that offset, "-00:00" stays "-00:00". It converts to and from an instant on demand.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Calendar.h"
#include "platform/foundation/Date.h"

namespace quorvane {

class GDataDateTime {
public:
    using TimeZonePtr = std::shared_ptr<const platform::TimeZone>;
    using CalendarPtr = std::shared_ptr<const platform::Calendar>;

    // The value of an absent field, and of an unspecified offset.
    static constexpr int64_t kUndefined = platform::DateComponents::kUndefined;

    // Every field absent, offset unspecified, not universal, no zone.
    GDataDateTime() = default;
    explicit GDataDateTime(std::string_view rfc3339String) { setFromRFC3339String(rfc3339String); }
    GDataDateTime(platform::Date date, TimeZonePtr timeZone) { setFromDate(date, std::move(timeZone)); }

    static GDataDateTime dateTimeWithRFC3339String(std::string_view rfc3339String) {
        return GDataDateTime(rfc3339String);
    }
    static GDataDateTime dateTimeWithDate(platform::Date date, TimeZonePtr timeZone) {
        return GDataDateTime(date, std::move(timeZone));
    }

    // A copy takes the source's fields, offset and universal flag, and the source's derived
    // timeZone() as its explicit zone. Copies compare equal to their source.
    GDataDateTime(const GDataDateTime& other);
    GDataDateTime& operator=(const GDataDateTime& other);

    // Parses "2006-11-08T19:25:59.123-08:00", "2006-11-08T19:25:59Z", "2006-11-08 19:25:59Z",
    // "2006-11-08", "2006-11-08T19:25-08:00" and the like. Parsing stops at the first part that
    // is missing (seconds may be left out, the zone is read after the minute then); fields not
    // read stay absent. A value without a zone designator is universal time. The fraction of a
    // second is dropped; an offset in the basic form "+0530" is read as "+05:30". Fields are
    // kept as written even when out of range, so the text is written back as it came.
    void setFromRFC3339String(std::string_view rfc3339String);
    // The fields of the instant in the zone (the default zone when timeZone is null), the year
    // kept within -9999...9999.
    void setFromDate(platform::Date date, TimeZonePtr timeZone);

    // "yyyy-mm-ddThh:mm:ss" followed by "Z", "-00:00" or the offset; only the date when the value
    // has no time. Fractional seconds are never written.
    std::string RFC3339String() const;
    std::string stringValue() const { return RFC3339String(); }

    // The instant: with time, the fields in the value's zone (the default zone without one);
    // without time, noon universal time of that day. nullopt when the value is not a date (no
    // year, month or day), when a field is out of range (month 13, February 30, hour 24, minute
    // 60, an offset of 24 hours or with 60 minutes) or when the instant cannot be represented.
    // Second 60 (a leap second) is the first second of the next minute.
    std::optional<platform::Date> date() const;

    const platform::DateComponents& dateComponents() const { return components_; }
    void setDateComponents(const platform::DateComponents& components) { components_ = components; }

    // Seconds east of universal time; kUndefined when unspecified.
    int64_t offsetSeconds() const { return offsetSeconds_; }
    void setOffsetSeconds(int64_t seconds) {
        offsetSeconds_ = seconds;
        offsetInRange_ = true;
    }

    bool isUniversalTime() const { return isUniversalTime_; }
    void setIsUniversalTime(bool flag) { isUniversalTime_ = flag; }

    // The explicit zone; else "Universal" for universal time; else a fixed zone of the offset
    // when it is known; else null. Zones are shared, so the same offset gives the same zone.
    TimeZonePtr timeZone() const;
    // Stores the zone and takes its offset at this value's own instant; null leaves the offset
    // unspecified. Fields and the universal flag are unchanged.
    void setTimeZone(TimeZonePtr timeZone);
    // Stores both as given.
    void setTimeZone(TimeZonePtr timeZone, int64_t offsetSeconds);

    // The shared Gregorian calendar of timeZone(); do not change it.
    CalendarPtr calendar() const { return calendarForTimeZone(timeZone()); }
    // One shared calendar per zone for the whole process; null gives the default zone's calendar.
    static CalendarPtr calendarForTimeZone(const TimeZonePtr& timeZone);

    // Whether hour and minute are both present.
    bool hasTime() const;
    // Turning time on sets hour, minute and second to 0; turning it off removes them and the
    // explicit zone. Either way the offset becomes unspecified and the value not universal.
    void setHasTime(bool flag);

    // Equal fields, offset, universal flag and the same zone object. Two values naming the same
    // instant with different offsets are not equal.
    bool operator==(const GDataDateTime& other) const;

    // "GDataDateTime 0x...: {2006-11-08T19:25:59Z}"
    std::string description() const;

private:
    bool fieldsInRange() const;

    platform::DateComponents components_;
    int64_t offsetSeconds_ = kUndefined;
    bool isUniversalTime_ = false;
    // False when the parsed offset had hours above 23 or minutes above 59.
    bool offsetInRange_ = true;
    TimeZonePtr timeZone_;
};

}  // namespace quorvane
