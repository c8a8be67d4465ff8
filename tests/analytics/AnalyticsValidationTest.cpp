// What the service does with bad names and properties: each case is tracked through the started
// service; what was cut arrives at the fake ingestion cut, what was refused does not arrive, and
// the messages are the service's own.

#include <gtest/gtest.h>

#include <cmath>

#include "AnalyticsTestSupport.h"

using namespace quorvane;
using namespace quorvane::test;
using platform::Value;

namespace {

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

Value manyStrings(int n) {
    auto d = Value::dictionary();
    for (int i = 0; i < n; ++i) d.set("k" + std::string(i < 10 ? "0" : "") + std::to_string(i), "v");
    return d;
}

std::shared_ptr<MSEventProperties> manyTyped(int n) {
    auto p = std::make_shared<MSEventProperties>();
    for (int i = 0; i < n; ++i) p->setInt64(i, "t" + std::string(i < 10 ? "0" : "") + std::to_string(i));
    return p;
}

struct ValidationCase {
    std::string what;
    std::function<void()> track;
    std::string arrives;  // the name of the log that arrives; "" when it is dropped
    std::string field;    // the field of the arrived log to compare
    std::string json;     // its expected JSON (a few cases only compare sizes: see below)
    std::vector<std::string> messages;
};

TEST(AnalyticsValidation, BadNamesAndPropertiesAreCutOrDroppedAndTheRestArrives) {
    const std::string longName = repeat("n", 257), name256 = repeat("n", 256);
    const std::string longKey = repeat("k", 130), key125 = repeat("k", 125);
    const std::string emoji = "\xF0\x9F\x98\x80";  // two UTF-16 units
    const std::string nearEmoji = repeat("a", 124) + emoji;
    const std::string accents = repeat("\xC3\xA9", 200);
    const std::vector<ValidationCase> cases = {
        {"empty event name", [] { MSAnalytics::trackEvent(""); }, "", "", "", {"event name cannot be null or empty"}},
        {"empty page name", [] { MSAnalytics::trackPage(""); }, "", "", "", {"page name cannot be null or empty"}},
        {"name of 257", [&] { MSAnalytics::trackEvent(longName); }, name256, "name", "\"" + name256 + "\"",
         {"event '" + longName + "' : name length cannot be longer than 256 characters. Name will be truncated."}},
        {"name of 256", [&] { MSAnalytics::trackPage(name256); }, name256, "type", "\"page\"", {}},
        {"25 page properties", [] { MSAnalytics::trackPage("p25", manyStrings(25)); }, "p25", "properties", "20",
         {"page 'p25' : properties cannot contain more than 20 items. Skipping other properties."}},
        {"long page keys that cut alike, a long value and an empty key",
         [&] {
             MSAnalytics::trackPage("pk", Value::dictionary({{longKey, repeat("v", 200)}, {longKey + "x", "lost"}, {"", "x"}, {"ok", "y"}}));
         },
         "pk", "properties", "{\"" + key125 + "\":\"" + repeat("v", 125) + "\",\"ok\":\"y\"}",
         {"page 'pk' : a property key cannot be null or empty. Property will be skipped.",
          "page 'pk' : property " + longKey + " : property key length cannot be longer than 125 characters. Property key will be truncated.",
          "page 'pk' : property " + longKey + "x : property key length cannot be longer than 125 characters. Property key will be truncated.",
          "page 'pk' : property " + longKey + "x : its key cut to 125 characters is that of another property. Property will be skipped.",
          "page 'pk' : property '" + key125 + "' : property value cannot be longer than 125 characters. Property value will be truncated."}},
        {"string properties of other kinds",
         [] { MSAnalytics::trackEvent("mixed", Value::dictionary({{"n", 1}, {"null", nullptr}, {"s", "t"}})); },
         "mixed", "typedProperties", R"([{"type":"string","name":"s","value":"t"}])",
         {"Event property contains an invalid value for key null, dropping the property."}},
        {"25 typed properties", [] { MSAnalytics::trackEvent("t25", manyTyped(25)); }, "t25", "typedProperties", "20",
         {"Typed properties cannot contain more than 20 items. Skipping other properties."}},
        {"long typed name and value",
         [&] {
             auto p = std::make_shared<MSEventProperties>();
             p->setString(repeat("v", 200), longKey).setDouble(1.5, key125);
             MSAnalytics::trackEvent("typed long", p);
         },
         "typed long", "typedProperties",
         // The cut name meets the double's name: the double keeps it, the other is left out with a warning.
         R"([{"type":"double","name":")" + key125 + R"(","value":1.5}])",
         {"Typed property '" + longKey + "': key length cannot exceed 125 characters. Property value will be truncated.",
          "Typed property value length cannot exceed 125 characters. Property value will be truncated.",
          "Typed property '" + longKey + "': its name cut to 125 characters is that of another property. Property will be skipped."}},
        {"empty property names, of an event and of a target's event",
         [] {
             MSAnalytics::trackEvent("empty key", Value::dictionary({{"", "x"}, {"ok", "y"}}));
             MSAnalytics::transmissionTargetForToken("tenant-v")->trackEvent("target empty key", Value::dictionary({{"", "x"}}));
         },
         "empty key", "typedProperties", R"([{"type":"string","name":"ok","value":"y"}])",
         {"Key cannot be null or empty. Property will not be added.", "Key cannot be null or empty. Property will not be added."}},
        {"dates no timestamp can carry",
         [] {
             auto p = std::make_shared<MSEventProperties>();
             p->setDate(platform::Date(NAN), "nan").setDate(platform::Date::fromUnix(1e300), "far").setDate(platform::Date(1), "ok");
             MSAnalytics::trackEvent("dates", p);
         },
         "dates", "typedProperties", R"([{"type":"dateTime","name":"ok","value":"2001-01-01T00:00:01.000Z"}])",
         {"Date value for property 'nan' must be finite and within the years 1 to 9999. Property will not be added.",
          "Date value for property 'far' must be finite and within the years 1 to 9999. Property will not be added."}},
        {"empty target event name", [] { MSAnalytics::transmissionTargetForToken("tenant-v")->trackEvent(""); }, "", "", "",
         {"event name cannot be null or empty"}},
        {"target event name of 300", [&] { MSAnalytics::transmissionTargetForToken("tenant-v")->trackEvent(repeat("t", 300)); },
         repeat("t", 256), "iKey", "\"o:tenant\"",
         {"event '" + repeat("t", 300) + "' : name length cannot be longer than 256 characters. Name will be truncated."}},
        {"cuts keep whole characters",
         [&] {
             auto p = std::make_shared<MSEventProperties>();
             p->setString(nearEmoji, "emoji").setString(accents, "accents");
             MSAnalytics::trackEvent("utf8", p);
             MSAnalytics::trackPage("utf8 page", Value::dictionary({{"emoji", nearEmoji}}));
         },
         "utf8", "typedProperties",
         R"([{"type":"string","name":"accents","value":")" + repeat("\xC3\xA9", 125) +
             R"("},{"type":"string","name":"emoji","value":")" + repeat("a", 124) + R"("}])",
         {"Typed property value length cannot exceed 125 characters. Property value will be truncated.",
          "Typed property value length cannot exceed 125 characters. Property value will be truncated.",
          "page 'utf8 page' : property 'emoji' : property value cannot be longer than 125 characters. Property value will be truncated."}},
    };

    AnalyticsFixture f;
    ASSERT_TRUE(f.start());
    int marker = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SDKLogCapture log(MSLogLevel::Warning);
        c.track();
        // A marker after the case: once it arrived, the case's log was stored or dropped.
        const std::string markerName = "marker " + std::to_string(++marker);
        MSAnalytics::trackEvent(markerName);
        f.flush();
        f.analytics->oneCollectorChannelUnit()->flushQueue();
        ASSERT_TRUE(f.waitForNamed(markerName));
        if (!c.arrives.empty()) ASSERT_TRUE(f.waitForNamed(c.arrives));
        auto messages = log.texts();
        // The store of an earlier test of this process may notice that this one replaced its file.
        std::erase_if(messages, [](const std::string& m) { return m.starts_with("The log database "); });
        std::sort(messages.begin(), messages.end());
        auto expected = c.messages;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(messages, expected);
        for (const auto& l : f.server.acceptedLogs()) EXPECT_FALSE(l.contains("name") && l["name"].asString().empty());
        if (c.arrives.empty()) continue;
        const Value* arrived = nullptr;
        auto all = f.server.acceptedLogs();
        for (const auto& l : all)
            if (l["name"].asString() == c.arrives) arrived = &l;
        ASSERT_TRUE(arrived);
        const Value& field = (*arrived)[c.field];
        EXPECT_EQ(c.json.size() <= 2 ? std::to_string(field.size()) : field.toJSON(), c.json);
    }
    auto page = f.accepted("page");
    ASSERT_FALSE(page.empty());
    EXPECT_EQ(page.back()["properties"]["emoji"].asString(), repeat("a", 124));
}

}  // namespace
