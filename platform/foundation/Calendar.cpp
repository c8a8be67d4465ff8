#include "platform/foundation/Calendar.h"

#include <unicode/gregocal.h>
#include <unicode/simpletz.h>
#include <unicode/timezone.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

namespace quorvane::platform {

namespace {

// The instants ICU's calendars can represent, in milliseconds since 1970.
constexpr double kMinMillis = -184303902528000000.0;
constexpr double kMaxMillis = 183882168921600000.0;

// Fields beyond these cannot come from any real date; refusing them keeps ICU's own
// 32-bit arithmetic away from overflow.
constexpr int64_t kMaxYear = 5'000'000;
constexpr int64_t kMaxField = 100'000'000;

constexpr int64_t kMaxFixedOffset = 18 * 3600;

struct ZoneCache {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<const TimeZone>, std::less<>> byName;
    std::map<int64_t, std::shared_ptr<const TimeZone>> byOffset;
};

ZoneCache& zoneCache() {
    static ZoneCache* cache = new ZoneCache;  // lives for the whole process, like the zones it hands out
    return *cache;
}

}  // namespace

TimeZone::TimeZone(std::string name, std::unique_ptr<icu::TimeZone> zone)
    : name_(std::move(name)), zone_(std::move(zone)) {}

TimeZone::~TimeZone() = default;

std::shared_ptr<const TimeZone> TimeZone::named(std::string_view name) {
    auto& cache = zoneCache();
    std::lock_guard lock(cache.mutex);
    if (auto it = cache.byName.find(name); it != cache.byName.end()) return it->second;

    auto id = icu::UnicodeString::fromUTF8(icu::StringPiece(name.data(), int32_t(name.size())));
    std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createTimeZone(id));
    if (!zone || *zone == icu::TimeZone::getUnknown()) return nullptr;
    std::shared_ptr<const TimeZone> result(new TimeZone(std::string(name), std::move(zone)));
    cache.byName.emplace(std::string(name), result);
    return result;
}

std::shared_ptr<const TimeZone> TimeZone::universal() {
    static const auto& zone = *new std::shared_ptr<const TimeZone>(named("Universal"));
    return zone;
}

std::shared_ptr<const TimeZone> TimeZone::forSecondsFromGMT(int64_t seconds) {
    if (seconds < -kMaxFixedOffset || seconds > kMaxFixedOffset) return nullptr;
    auto& cache = zoneCache();
    std::lock_guard lock(cache.mutex);
    if (auto it = cache.byOffset.find(seconds); it != cache.byOffset.end()) return it->second;

    int64_t magnitude = seconds < 0 ? -seconds : seconds;
    char buf[32];
    int64_t h = magnitude / 3600, m = (magnitude / 60) % 60, s = magnitude % 60;
    if (s != 0)
        std::snprintf(buf, sizeof buf, "GMT%c%02lld%02lld%02lld", seconds < 0 ? '-' : '+', (long long)h,
                      (long long)m, (long long)s);
    else
        std::snprintf(buf, sizeof buf, "GMT%c%02lld%02lld", seconds < 0 ? '-' : '+', (long long)h, (long long)m);
    std::string name(buf);
    auto zone = std::make_unique<icu::SimpleTimeZone>(int32_t(seconds * 1000), icu::UnicodeString::fromUTF8(name));
    std::shared_ptr<const TimeZone> result(new TimeZone(name, std::move(zone)));
    cache.byOffset.emplace(seconds, result);
    return result;
}

int64_t TimeZone::secondsFromGMT(Date at) const {
    double millis = at.timeIntervalSince1970() * 1000.0;
    if (std::isnan(millis)) return standardSecondsFromGMT();
    millis = std::clamp(millis, kMinMillis, kMaxMillis);
    int32_t raw = 0, dst = 0;
    UErrorCode status = U_ZERO_ERROR;
    zone_->getOffset(millis, false, raw, dst, status);
    if (U_FAILURE(status)) return standardSecondsFromGMT();
    return (int64_t(raw) + int64_t(dst)) / 1000;
}

int64_t TimeZone::standardSecondsFromGMT() const { return int64_t(zone_->getRawOffset()) / 1000; }

Calendar::Calendar(std::shared_ptr<const TimeZone> zone) : zone_(std::move(zone)) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::TimeZone> icuZone(zone_ ? zone_->icuZone().clone() : icu::TimeZone::createDefault());
    calendar_ = std::make_unique<icu::GregorianCalendar>(icuZone.release(), icu::Locale::getRoot(), status);
    // Proleptic Gregorian, as RFC 3339 dates are.
    calendar_->setGregorianChange(kMinMillis, status);
}

Calendar::~Calendar() = default;

std::optional<DateComponents> Calendar::components(Date date) const {
    double millis = date.timeIntervalSince1970() * 1000.0;
    if (!std::isfinite(millis) || millis < kMinMillis || millis > kMaxMillis) return std::nullopt;
    std::lock_guard lock(mutex_);
    UErrorCode status = U_ZERO_ERROR;
    calendar_->setTime(millis, status);
    DateComponents c;
    c.year = calendar_->get(UCAL_EXTENDED_YEAR, status);
    c.month = int64_t(calendar_->get(UCAL_MONTH, status)) + 1;
    c.day = calendar_->get(UCAL_DATE, status);
    c.hour = calendar_->get(UCAL_HOUR_OF_DAY, status);
    c.minute = calendar_->get(UCAL_MINUTE, status);
    c.second = calendar_->get(UCAL_SECOND, status);
    if (U_FAILURE(status)) return std::nullopt;
    return c;
}

std::optional<Date> Calendar::date(const DateComponents& c) const {
    auto fits = [](int64_t v, int64_t limit) { return !DateComponents::isSet(v) || (v >= -limit && v <= limit); };
    if (!fits(c.year, kMaxYear) || !fits(c.month, kMaxField) || !fits(c.day, kMaxField) ||
        !fits(c.hour, kMaxField) || !fits(c.minute, kMaxField) || !fits(c.second, kMaxField))
        return std::nullopt;

    std::lock_guard lock(mutex_);
    calendar_->clear();
    if (DateComponents::isSet(c.year)) calendar_->set(UCAL_EXTENDED_YEAR, int32_t(c.year));
    if (DateComponents::isSet(c.month)) calendar_->set(UCAL_MONTH, int32_t(c.month - 1));
    if (DateComponents::isSet(c.day)) calendar_->set(UCAL_DATE, int32_t(c.day));
    if (DateComponents::isSet(c.hour)) calendar_->set(UCAL_HOUR_OF_DAY, int32_t(c.hour));
    if (DateComponents::isSet(c.minute)) calendar_->set(UCAL_MINUTE, int32_t(c.minute));
    if (DateComponents::isSet(c.second)) calendar_->set(UCAL_SECOND, int32_t(c.second));
    UErrorCode status = U_ZERO_ERROR;
    double millis = calendar_->getTime(status);
    if (U_FAILURE(status) || !std::isfinite(millis)) return std::nullopt;
    return Date::fromUnix(millis / 1000.0);
}

}  // namespace quorvane::platform
