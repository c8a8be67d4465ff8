// Event properties, the analytics logs and the Common Schema form of an event.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "analytics/MSAnalytics.h"
#include "analytics/MSStartSessionLog.h"
#include "tests/telemetry/TelemetryTestSupport.h"

using namespace quorvane;
using namespace quorvane::test;
using platform::Value;

namespace {

TEST(EventProperties, SettersRefuseAbsentOrNonFiniteValuesAndReplaceByName) {
    SDKLogCapture log(MSLogLevel::Error);
    MSEventProperties p;
    p.setString(std::nullopt, "a")
        .setString("", "empty")
        .setString("x", std::nullopt)
        .setDouble(INFINITY, "inf")
        .setDouble(NAN, "nan")
        .setDouble(std::numeric_limits<double>::max(), "max")
        .setDate(std::nullopt, "when")
        .setInt64(5, "n")
        .setString("five", "n")
        .setBool(true, "b");
    EXPECT_EQ(log.texts(), (std::vector<std::string>{
                               "Value cannot be null. Property will not be added.",
                               "Key cannot be null or empty. Property will not be added.",
                               "Double value for property 'inf' must be finite (cannot be INFINITY or NAN).",
                               "Double value for property 'nan' must be finite (cannot be INFINITY or NAN).",
                               "Value cannot be null. Property will not be added."}));
    EXPECT_EQ(p.serializeToArray().toJSON(),
              R"([{"type":"boolean","name":"b","value":true},{"type":"string","name":"empty","value":""},)"
              R"({"type":"double","name":"max","value":1.7976931348623157e+308},{"type":"string","name":"n","value":"five"}])");

    MSEventProperties other;
    other.setInt64(7, "n").setDate(platform::Date(0), "when");
    p.mergeEventProperties(other);
    EXPECT_EQ(p.properties().at("n")->type(), "long");
    EXPECT_EQ(p.count(), 5u);

    registerAnalyticsClasses();
    auto back = platform::KeyedUnarchiver::unarchivedObject<MSEventProperties>(platform::KeyedArchiver::archivedData(p)).valueOr(nullptr);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->isEqual(p));
    EXPECT_FALSE(back->isEqual(other));
}

TEST(AnalyticsLogs, SerialiseArchiveAndCompareByTheirOwnFields) {
    registerAnalyticsClasses();
    auto event = stamped(std::make_shared<MSEventLog>());
    event->name = "checkout";
    event->eventId = "E1";
    event->properties = std::map<std::string, std::string>{{"screen", "cart"}};
    event->typedProperties = std::make_shared<MSEventProperties>();
    event->typedProperties->setInt64(3, "items").setDate(platform::Date(0), "at");
    auto json = event->serializeToDictionary();
    EXPECT_EQ(json["type"].asString(), "event");
    EXPECT_EQ(json["name"].asString(), "checkout");
    EXPECT_EQ(json["id"].asString(), "E1");
    EXPECT_EQ(json["properties"].toJSON(), R"({"screen":"cart"})");
    EXPECT_EQ(json["typedProperties"].toJSON(),
              R"([{"type":"dateTime","name":"at","value":"2001-01-01T00:00:00.000Z"},{"type":"long","name":"items","value":3}])");

    auto page = stamped(std::make_shared<MSPageLog>());
    page->name = "settings";
    auto start = stamped(std::make_shared<MSStartSessionLog>());
    for (const std::shared_ptr<MSAbstractLog>& log : std::vector<std::shared_ptr<MSAbstractLog>>{event, page, start}) {
        SCOPED_TRACE(*log->type);
        EXPECT_TRUE(log->isValid());
        auto back = platform::KeyedUnarchiver::unarchivedObject<MSAbstractLog>(platform::KeyedArchiver::archivedData(*log)).valueOr(nullptr);
        ASSERT_TRUE(back);
        EXPECT_TRUE(back->isEqual(*log));
        EXPECT_EQ(back->serializeToDictionary(), log->serializeToDictionary());
    }
    EXPECT_TRUE(dynamic_cast<MSNoAutoAssignSessionIdLog*>(start.get()));

    // Typed properties do not take part in equality; the id and the name do.
    auto twin = stamped(std::make_shared<MSEventLog>());
    twin->name = "checkout";
    twin->eventId = "E1";
    twin->properties = event->properties;
    EXPECT_TRUE(twin->isEqual(*event));
    twin->eventId = "E2";
    EXPECT_FALSE(twin->isEqual(*event));
    EXPECT_FALSE(page->isEqual(*event));
    twin->eventId.reset();
    EXPECT_FALSE(twin->isValid());
    page->name.reset();
    EXPECT_FALSE(page->isValid());
}

struct CommonSchemaCase {
    const char* what;
    std::function<void(MSEventProperties&)> properties;
    const char* data;      // the data properties, or "" for none
    const char* metadata;  // the metadata extension, or "" for none
    std::vector<std::string> warnings;
};

TEST(AnalyticsLogs, CommonSchemaConversionBuildsPropertyAndTypeTreesAndLeavesTheEventAlone) {
    const std::vector<CommonSchemaCase> cases = {
        {"nested names", [](auto& p) { p.setInt64(5, "a.b").setString("x", "a.c").setDouble(1.5, "d"); },
         R"({"a":{"b":5,"c":"x"},"d":1.5})", R"({"f":{"a":{"f":{"b":4}},"d":6}})", {}},
        {"a value where a branch goes", [](auto& p) { p.setString("s", "a").setInt64(1, "a.b"); },
         R"({"a":"s"})", "", {"Property key 'b' already has a value, choosing one."}},
        {"baseType with baseData", [](auto& p) { p.setString("Order", "baseType").setInt64(2, "baseData.x"); },
         R"({"baseData":{"x":2},"baseType":"Order"})", R"({"f":{"baseData":{"f":{"x":4}}}})", {}},
        {"baseType alone", [](auto& p) { p.setString("Order", "baseType").setBool(true, "ok"); },
         R"({"ok":true})", "", {"baseType was set but baseData is missing."}},
        {"baseType of another kind",
         [](auto& p) { p.setInt64(1, "baseType").setString("y", "baseData.x").setString("z", "keep"); },
         R"({"keep":"z"})", "", {"baseData was set but baseType is missing or invalid."}},
        {"reserved names as objects or values",
         [](auto& p) { p.setString("T", "baseType").setString("v", "baseType.x").setString("w", "baseData").setString("u", "baseData.y"); },
         R"({"baseData":{"y":"u"},"baseType":"T"})", "",
         {"baseData must be an object.", "baseType must not be an object."}},
        {"dates and strings only", [](auto& p) { p.setDate(platform::Date(0), "when").setString("v", "s"); },
         R"({"s":"v","when":"2001-01-01T00:00:00.000Z"})", R"({"f":{"when":9}})", {}},
        {"no properties", [](auto&) {}, "", "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto event = stamped(std::make_shared<MSEventLog>());
        event->name = "order";
        event->eventId = "E";
        event->typedProperties = std::make_shared<MSEventProperties>();
        c.properties(*event->typedProperties);
        const auto before = event->typedProperties->serializeToArray();
        auto tag = std::make_shared<int>(1);
        event->tag = tag;
        SDKLogCapture log(MSLogLevel::Warning);
        auto cs = event->toCommonSchemaLogForTargetToken("key1-secret", MSFlagsCritical);
        auto warnings = log.texts();
        std::sort(warnings.begin(), warnings.end());
        EXPECT_EQ(warnings, c.warnings);
        EXPECT_EQ(cs->name, "order");
        EXPECT_EQ(cs->iKey, "o:key1");
        EXPECT_EQ(cs->flags, 2);
        EXPECT_EQ(cs->tag, event->tag);
        EXPECT_EQ(cs->data ? cs->data->properties.toJSON() : "", c.data);
        EXPECT_EQ(cs->ext->metadataExt ? cs->ext->metadataExt->metadata().toJSON() : "", c.metadata);
        // The caller's set is not changed by the conversion.
        EXPECT_EQ(event->typedProperties->serializeToArray(), before);
    }
}

}  // namespace
