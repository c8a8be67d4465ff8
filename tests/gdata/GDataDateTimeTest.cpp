#include "gdata/GDataDateTime.h"

#include <gtest/gtest.h>

#include "platform/foundation/Strings.h"

#include <cmath>
#include <limits>
#include <regex>
#include <thread>
#include <vector>

namespace quorvane {
namespace {

using platform::Date;
using platform::TimeZone;

constexpr int64_t kAbsent = GDataDateTime::kUndefined;

struct ParseCase {
    const char* input;
    const char* formatted;
    bool hasTime;
    bool universal;
    int64_t offset;
};

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, ParsesAndFormats) {
    const auto& c = GetParam();
    auto dt = GDataDateTime::dateTimeWithRFC3339String(c.input);
    EXPECT_EQ(dt.RFC3339String(), c.formatted);
    EXPECT_EQ(dt.stringValue(), c.formatted);
    EXPECT_EQ(dt.hasTime(), c.hasTime);
    EXPECT_EQ(dt.isUniversalTime(), c.universal);
    EXPECT_EQ(dt.offsetSeconds(), c.offset);
    // What was written reads back as written.
    EXPECT_EQ(GDataDateTime(c.formatted).RFC3339String(), c.formatted);
    if (std::string_view(c.input) == c.formatted) {
        EXPECT_EQ(GDataDateTime(c.formatted), dt);
    }
}

INSTANTIATE_TEST_SUITE_P(
    RFC3339, ParseTest,
    ::testing::Values(
        // Written back character for character.
        ParseCase{"2006-11-08T19:25:59Z", "2006-11-08T19:25:59Z", true, true, 0},
        ParseCase{"2006-11-08T19:25:59-07:00", "2006-11-08T19:25:59-07:00", true, false, -25200},
        ParseCase{"2006-11-08T19:25:59+05:30", "2006-11-08T19:25:59+05:30", true, false, 19800},
        ParseCase{"2006-11-08T19:25:59+00:00", "2006-11-08T19:25:59+00:00", true, false, 0},
        ParseCase{"2006-11-08T19:25:59-00:00", "2006-11-08T19:25:59-00:00", true, false, kAbsent},
        ParseCase{"2006-11-08", "2006-11-08", false, true, 0},
        // Normalised on the way out.
        ParseCase{"2006-11-08T19:25:59.123-07:00", "2006-11-08T19:25:59-07:00", true, false, -25200},
        ParseCase{"2006-11-08T19:25:59.999Z", "2006-11-08T19:25:59Z", true, true, 0},
        ParseCase{"2006-11-08t19:25:59z", "2006-11-08T19:25:59Z", true, true, 0},
        ParseCase{"2006-11-08 19:25:59Z", "2006-11-08T19:25:59Z", true, true, 0},
        ParseCase{"2006-11-08T19:25:59", "2006-11-08T19:25:59Z", true, true, 0},
        ParseCase{"  2006-11-08T19:25:59Z", "2006-11-08T19:25:59Z", true, true, 0},
        ParseCase{"2006-11-08T19:25:59+05", "2006-11-08T19:25:59+05:00", true, false, 18000},
        ParseCase{"2006-11-08T19:25:59-09:30", "2006-11-08T19:25:59-09:30", true, false, -34200},
        // A time without seconds is written with zero seconds, and keeps its zone.
        ParseCase{"2006-11-08T19:25", "2006-11-08T19:25:00Z", true, true, 0},
        ParseCase{"2006-11-08T19:25Z", "2006-11-08T19:25:00Z", true, true, 0},
        ParseCase{"1979-05-27T07:32-07:00", "1979-05-27T07:32:00-07:00", true, false, -25200},
        ParseCase{"1979-05-27T07:32+05:30", "1979-05-27T07:32:00+05:30", true, false, 19800},
        ParseCase{"1979-05-27T07:32-00:00", "1979-05-27T07:32:00-00:00", true, false, kAbsent},
        // Hours of the offset are written modulo 24.
        ParseCase{"2006-11-08T19:25:59+25:00", "2006-11-08T19:25:59+01:00", true, false, 90000},
        // Offsets too large to compute are left unspecified rather than overflowing.
        ParseCase{"2006-11-08T19:25:59+3000000000000000:00", "2006-11-08T19:25:59-00:00", true, false, kAbsent},
        ParseCase{"2006-11-08T19:25:59-3000000000000000:00", "2006-11-08T19:25:59-00:00", true, false, kAbsent},
        ParseCase{"2006-11-08T19:25:59+00:9223372036854775807", "2006-11-08T19:25:59-00:00", true, false,
                  kAbsent}));

TEST(GDataDateTime, ParsedFieldsAndAbsentOnes) {
    auto dt = GDataDateTime("2006-11-08T19:25:59.75-07:00");
    const auto& c = dt.dateComponents();
    EXPECT_EQ(c.year, 2006);
    EXPECT_EQ(c.month, 11);
    EXPECT_EQ(c.day, 8);
    EXPECT_EQ(c.hour, 19);
    EXPECT_EQ(c.minute, 25);
    EXPECT_EQ(c.second, 59);

    auto dateOnly = GDataDateTime("2006-11-08");
    EXPECT_EQ(dateOnly.dateComponents().hour, kAbsent);
    EXPECT_EQ(dateOnly.dateComponents().minute, kAbsent);
    EXPECT_EQ(dateOnly.dateComponents().second, kAbsent);

    EXPECT_EQ(GDataDateTime("2006-11-08T19:25").dateComponents().second, kAbsent);

    auto bc = GDataDateTime("-0044-03-15T12:00:00Z");
    EXPECT_EQ(bc.dateComponents().year, -44);

    // Nothing readable: every field absent, still universal (no designator).
    auto empty = GDataDateTime("not a date");
    EXPECT_EQ(empty.dateComponents(), platform::DateComponents{});
    EXPECT_FALSE(empty.hasTime());

    // A year beyond 64 bits stops the parse instead of wrapping.
    EXPECT_EQ(GDataDateTime("99999999999999999999-01-01").dateComponents().year, kAbsent);
    // Seconds that cannot be a whole number are not read.
    auto hugeSeconds = GDataDateTime("2006-11-08T19:25:1e30Z");
    EXPECT_EQ(hugeSeconds.dateComponents().second, kAbsent);
    EXPECT_TRUE(hugeSeconds.hasTime());
}

TEST(GDataDateTime, ZonesOfParsedValues) {
    EXPECT_EQ(GDataDateTime("2006-11-08T19:25:59Z").timeZone(), TimeZone::universal());
    EXPECT_EQ(GDataDateTime("2006-11-08T19:25:59-00:00").timeZone(), nullptr);
    auto fixed = GDataDateTime("2006-11-08T19:25:59-07:00").timeZone();
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(fixed, TimeZone::forSecondsFromGMT(-25200));
    EXPECT_EQ(fixed->secondsFromGMT(Date(0)), -25200);
}

TEST(GDataDateTime, ConvertsToInstants) {
    struct Case {
        const char* input;
        double unix;
    };
    for (auto c : {
             Case{"2006-11-08T19:25:59-08:00", 1163042759},
             Case{"2006-11-09T03:25:59Z", 1163042759},
             Case{"2006-11-09T08:55:59+05:30", 1163042759},
             Case{"2006-11-08", 1162987200},  // noon universal time of that day
             Case{"2006-11-08T19:25:59.9-08:00", 1163042759},
             Case{"1979-05-27T07:32-07:00", 296663520},
             // Proleptic Gregorian, as RFC 3339 counts, also before 1582.
             Case{"1500-03-01T00:00:00Z", -14826672000},
             Case{"0001-01-01T00:00:00Z", -62135596800},
         }) {
        auto date = GDataDateTime(c.input).date();
        ASSERT_TRUE(date.has_value()) << c.input;
        EXPECT_EQ(date->timeIntervalSince1970(), c.unix) << c.input;
    }
    // Fields no calendar can hold name no instant.
    auto far = GDataDateTime("99999999999-01-01T00:00:00Z");
    EXPECT_FALSE(far.date().has_value());
}

// Broken and out-of-range text names no instant (so it can never win a "newer" comparison), and
// is still written back as it came.
TEST(GDataDateTime, BadInputGivesNoInstant) {
    constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* input;
        double unix;            // kNone: no instant
        const char* formatted;  // nullptr: not checked
    };
    for (auto c : {
             Case{"not a date", kNone, nullptr},
             Case{"", kNone, nullptr},
             Case{"T", kNone, nullptr},
             Case{"2006", kNone, nullptr},
             Case{"2006-13-01T00:00:00Z", kNone, "2006-13-01T00:00:00Z"},
             Case{"2006-00-10", kNone, "2006-00-10"},
             Case{"2006-02-31", kNone, "2006-02-31"},
             Case{"2007-02-29", kNone, nullptr},
             Case{"1900-02-29", kNone, nullptr},
             Case{"2008-02-29", 1204286400, nullptr},
             Case{"2000-02-29", 951825600, nullptr},
             Case{"2006-11-08T24:00:00Z", kNone, "2006-11-08T24:00:00Z"},
             Case{"2006-11-08T19:60:00Z", kNone, "2006-11-08T19:60:00Z"},
             Case{"2006-11-08T19:25:61Z", kNone, "2006-11-08T19:25:61Z"},
             Case{"2006-11-08T19:25:-1Z", kNone, nullptr},
             Case{"2006-11-08T19:25:59+05:60", kNone, nullptr},
             Case{"2006-11-08T19:25:59+24:00", kNone, nullptr},
             // A leap second is the first second of the next minute.
             Case{"2016-12-31T23:59:60Z", 1483228800, "2016-12-31T23:59:60Z"},
             // The fraction is dropped, never rounded up into the next second or day.
             Case{"2006-11-08T19:25:59.999999Z", 1163013959, "2006-11-08T19:25:59Z"},
             Case{"2006-11-08T23:59:59.99999999999Z", 1163030399, "2006-11-08T23:59:59Z"},
             Case{"2006-11-08T19:25:59.5-07:00", 1163039159, "2006-11-08T19:25:59-07:00"},
             // The basic form of an offset is hours and minutes.
             Case{"2006-11-08T19:25:59+0530", 1162994159, "2006-11-08T19:25:59+05:30"},
             // Offsets up to 23:59 are counted exactly.
             Case{"2006-11-08T19:25:59+20:00", 1162941959, "2006-11-08T19:25:59+20:00"},
         }) {
        GDataDateTime dt(c.input);
        auto date = dt.date();
        if (std::isnan(c.unix)) {
            EXPECT_FALSE(date.has_value()) << c.input << " gave " << date->timeIntervalSince1970();
        } else {
            ASSERT_TRUE(date.has_value()) << c.input;
            EXPECT_EQ(date->timeIntervalSince1970(), c.unix) << c.input;
        }
        if (c.formatted) {
            EXPECT_EQ(dt.RFC3339String(), c.formatted) << c.input;
        }
    }
}

TEST(GDataDateTime, MadeFromInstants) {
    Date instant = Date::fromUnix(1151755200);  // 2006-07-01T12:00:00Z

    auto utc = GDataDateTime::dateTimeWithDate(instant, TimeZone::universal());
    EXPECT_EQ(utc.RFC3339String(), "2006-07-01T12:00:00Z");
    EXPECT_TRUE(utc.isUniversalTime());

    auto la = TimeZone::named("America/Los_Angeles");
    ASSERT_NE(la, nullptr);
    auto summer = GDataDateTime::dateTimeWithDate(instant, la);
    EXPECT_EQ(summer.RFC3339String(), "2006-07-01T05:00:00-07:00");
    EXPECT_EQ(summer.timeZone(), la);
    auto winter = GDataDateTime::dateTimeWithDate(Date::fromUnix(1162987200), la);
    EXPECT_EQ(winter.RFC3339String(), "2006-11-08T04:00:00-08:00");

    // A zone at GMT that is not the one named "Universal" writes its offset.
    auto gmt = GDataDateTime::dateTimeWithDate(instant, TimeZone::forSecondsFromGMT(0));
    EXPECT_FALSE(gmt.isUniversalTime());
    EXPECT_EQ(gmt.RFC3339String(), "2006-07-01T12:00:00+00:00");

    // Without a zone: the default zone's fields, offset unspecified.
    auto local = GDataDateTime::dateTimeWithDate(instant, nullptr);
    EXPECT_EQ(local.offsetSeconds(), kAbsent);
    EXPECT_TRUE(platform::hasSuffix(local.RFC3339String(), "-00:00"));
    EXPECT_EQ(local.date(), instant);

    // Whole seconds survive the trip through the fields in every zone.
    for (const char* name : {"Universal", "America/Los_Angeles", "Asia/Kolkata", "Australia/Lord_Howe"}) {
        auto zone = TimeZone::named(name);
        ASSERT_NE(zone, nullptr) << name;
        for (double unix : {0.0, 1151755200.0, 1162987200.0, -2208988800.0, 4102444800.0}) {
            auto dt = GDataDateTime::dateTimeWithDate(Date::fromUnix(unix), zone);
            EXPECT_EQ(dt.date(), Date::fromUnix(unix)) << name << " " << dt.RFC3339String();
            // Offsets with seconds (old local mean times) cannot be written exactly.
            if (dt.offsetSeconds() % 60 == 0) {
                EXPECT_EQ(GDataDateTime(dt.RFC3339String()).date(), Date::fromUnix(unix)) << name;
            }
        }
    }
}

TEST(GDataDateTime, YearsAreClampedWhenMadeFromInstants) {
    constexpr double kYear = 365.2425 * 86400;
    struct Case {
        Date date;
        int64_t year;
    };
    for (auto c : {
             Case{Date(-(2001.0 + 20000) * kYear), -9999},
             Case{Date(-(2001.0 + 9997.5) * kYear), -9998},
             Case{Date((12000.0 - 2001) * kYear), 9999},
             Case{Date(1e300), 9999},
             Case{Date(-1e300), -9999},
         }) {
        auto dt = GDataDateTime::dateTimeWithDate(c.date, TimeZone::universal());
        EXPECT_EQ(dt.dateComponents().year, c.year) << dt.RFC3339String();
    }
    auto nan = GDataDateTime::dateTimeWithDate(Date(std::nan("")), TimeZone::universal());
    EXPECT_FALSE(nan.hasTime());
}

TEST(GDataDateTime, SetTimeZoneTakesTheZoneOffsetAtTheValuesInstant) {
    auto la = TimeZone::named("America/Los_Angeles");
    auto summer = GDataDateTime("2006-07-01T05:00:00Z");
    summer.setTimeZone(la);
    EXPECT_EQ(summer.offsetSeconds(), -25200);
    EXPECT_TRUE(summer.isUniversalTime());  // the flag is left alone
    EXPECT_EQ(summer.dateComponents().hour, 5);
    EXPECT_EQ(summer.timeZone(), la);

    auto winter = GDataDateTime("2006-01-15T05:00:00Z");
    winter.setTimeZone(la);
    EXPECT_EQ(winter.offsetSeconds(), -28800);

    winter.setTimeZone(nullptr);
    EXPECT_EQ(winter.offsetSeconds(), kAbsent);

    auto stored = GDataDateTime("2006-07-01T05:00:00-00:00");
    stored.setTimeZone(la, 3600);
    EXPECT_EQ(stored.offsetSeconds(), 3600);
    EXPECT_EQ(stored.timeZone(), la);
    EXPECT_EQ(stored.RFC3339String(), "2006-07-01T05:00:00+01:00");
}

TEST(GDataDateTime, SetHasTime) {
    auto dt = GDataDateTime("2006-11-08");
    dt.setHasTime(true);
    EXPECT_TRUE(dt.hasTime());
    EXPECT_FALSE(dt.isUniversalTime());
    EXPECT_EQ(dt.offsetSeconds(), kAbsent);
    EXPECT_EQ(dt.RFC3339String(), "2006-11-08T00:00:00-00:00");

    auto la = TimeZone::named("America/Los_Angeles");
    auto timed = GDataDateTime("2006-11-08T19:25:59-08:00");
    timed.setTimeZone(la, -28800);
    timed.setHasTime(false);
    EXPECT_FALSE(timed.hasTime());
    EXPECT_EQ(timed.dateComponents().second, kAbsent);
    EXPECT_EQ(timed.offsetSeconds(), kAbsent);
    EXPECT_EQ(timed.timeZone(), nullptr);
    EXPECT_EQ(timed.RFC3339String(), "2006-11-08");

    // Asking for the state it already has changes nothing.
    auto unchanged = GDataDateTime("2006-11-08T19:25:59-08:00");
    unchanged.setHasTime(true);
    EXPECT_EQ(unchanged, GDataDateTime("2006-11-08T19:25:59-08:00"));
    auto dateOnly = GDataDateTime("2006-11-08");
    dateOnly.setHasTime(false);
    EXPECT_TRUE(dateOnly.isUniversalTime());
}

TEST(GDataDateTime, Equality) {
    auto la = TimeZone::named("America/Los_Angeles");
    auto base = GDataDateTime("2006-11-08T19:25:59-08:00");

    EXPECT_EQ(base, base);
    EXPECT_EQ(base, GDataDateTime("2006-11-08T19:25:59-08:00"));
    EXPECT_EQ(GDataDateTime("2006-11-08T19:25:59-00:00"), GDataDateTime("2006-11-08T19:25:59-00:00"));

    // The same instant with another offset is another value.
    EXPECT_NE(base, GDataDateTime("2006-11-09T03:25:59Z"));
    // Equal fields and offset, one with an explicit zone and one without.
    auto withZone = base;
    withZone.setTimeZone(la, -28800);
    EXPECT_NE(base, withZone);
    // Universal and "+00:00" differ.
    EXPECT_NE(GDataDateTime("2006-11-08T19:25:59Z"), GDataDateTime("2006-11-08T19:25:59+00:00"));
    EXPECT_NE(GDataDateTime("2006-11-08T19:25:58Z"), GDataDateTime("2006-11-08T19:25:59Z"));

    // Copies take the source's derived zone as their own and stay equal to it.
    for (const char* s : {"2006-11-08T19:25:59-08:00", "2006-11-08T19:25:59Z", "2006-11-08T19:25:59-00:00",
                          "2006-11-08"}) {
        GDataDateTime source(s);
        GDataDateTime copy(source);
        EXPECT_EQ(copy, source) << s;
        EXPECT_EQ(copy.timeZone(), source.timeZone()) << s;
        GDataDateTime assigned;
        assigned = source;
        EXPECT_EQ(assigned, source) << s;
    }
}

TEST(GDataDateTime, CalendarsAreSharedPerZone) {
    auto la = TimeZone::named("America/Los_Angeles");
    EXPECT_EQ(GDataDateTime::calendarForTimeZone(la), GDataDateTime::calendarForTimeZone(la));
    EXPECT_EQ(GDataDateTime("2006-11-08T19:25:59Z").calendar(), GDataDateTime("2001-01-01T00:00:00Z").calendar());
    EXPECT_NE(GDataDateTime::calendarForTimeZone(la), GDataDateTime::calendarForTimeZone(TimeZone::universal()));
    EXPECT_EQ(GDataDateTime::calendarForTimeZone(nullptr), GDataDateTime::calendarForTimeZone(nullptr));
    EXPECT_EQ(GDataDateTime::calendarForTimeZone(la)->timeZone(), la);
}

TEST(GDataDateTime, SharedCalendarsConvertCorrectlyFromManyThreads) {
    auto la = TimeZone::named("America/Los_Angeles");
    std::vector<std::thread> threads;
    std::vector<int> failures(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                Date d = Date::fromUnix(1000000000.0 + 86400.0 * 37 * (i + t * 300));
                auto dt = GDataDateTime::dateTimeWithDate(d, (i % 2) ? la : TimeZone::universal());
                if (dt.date() != d) ++failures[size_t(t)];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int f : failures) EXPECT_EQ(f, 0);
}

TEST(GDataDateTime, Description) {
    auto dt = GDataDateTime("2006-11-08T19:25:59Z");
    EXPECT_TRUE(std::regex_match(dt.description(), std::regex(R"(GDataDateTime 0x[0-9a-f]+: \{2006-11-08T19:25:59Z\})")))
        << dt.description();
}

}  // namespace
}  // namespace quorvane
