#pragma once
// Time zones, calendar fields and Gregorian calendars, all through ICU.
//
// Zones are shared, immutable objects that are interned: asking twice for the zone of the same
// name, or for the fixed zone of the same offset, gives the same object, so zones can be
// compared by identity.

#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Date.h"

#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class TimeZone;
class GregorianCalendar;
U_NAMESPACE_END

namespace quorvane::platform {

class TimeZone {
public:
    ~TimeZone();
    TimeZone(const TimeZone&) = delete;
    TimeZone& operator=(const TimeZone&) = delete;

    // The zone of an Olson name ("America/Los_Angeles", "Universal"); nullptr when unknown.
    static std::shared_ptr<const TimeZone> named(std::string_view name);
    // The zone named "Universal".
    static std::shared_ptr<const TimeZone> universal();
    // A zone fixed at that many seconds east of GMT, named like "GMT+0530"; nullptr beyond ±18 hours.
    static std::shared_ptr<const TimeZone> forSecondsFromGMT(int64_t seconds);

    const std::string& name() const { return name_; }
    // Offset from GMT at that instant, daylight saving included.
    int64_t secondsFromGMT(Date at) const;
    // The zone's offset without daylight saving.
    int64_t standardSecondsFromGMT() const;

    const icu::TimeZone& icuZone() const { return *zone_; }

private:
    TimeZone(std::string name, std::unique_ptr<icu::TimeZone> zone);
    std::string name_;
    std::unique_ptr<icu::TimeZone> zone_;
};

// Calendar fields; a field not set holds kUndefined.
struct DateComponents {
    static constexpr int64_t kUndefined = std::numeric_limits<int64_t>::max();
    static constexpr bool isSet(int64_t field) { return field != kUndefined; }

    int64_t year = kUndefined;  // astronomical numbering: 1 BC is year 0
    int64_t month = kUndefined;
    int64_t day = kUndefined;
    int64_t hour = kUndefined;
    int64_t minute = kUndefined;
    int64_t second = kUndefined;

    bool operator==(const DateComponents&) const = default;
};

// A proleptic Gregorian calendar fixed to one zone. Safe to share between threads.
class Calendar {
public:
    // zone nullptr: the process's default zone at the time of creation.
    explicit Calendar(std::shared_ptr<const TimeZone> zone);
    ~Calendar();
    Calendar(const Calendar&) = delete;
    Calendar& operator=(const Calendar&) = delete;

    // The zone it was made with (nullptr for the default zone).
    const std::shared_ptr<const TimeZone>& timeZone() const { return zone_; }

    // The fields of an instant; nullopt when the instant is outside the calendar's range or not a number.
    std::optional<DateComponents> components(Date date) const;
    // The instant of the fields (unset fields take the calendar's defaults, 1970-01-01 00:00:00;
    // out-of-range fields roll over); nullopt when a field does not fit the calendar.
    std::optional<Date> date(const DateComponents& components) const;

private:
    std::shared_ptr<const TimeZone> zone_;
    mutable std::mutex mutex_;
    std::unique_ptr<icu::GregorianCalendar> calendar_;
};

}  // namespace quorvane::platform
