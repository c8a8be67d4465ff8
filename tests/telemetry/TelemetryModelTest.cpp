// The log model: serialisation, equality, keyed archiving and the stored archive format.

#include <gtest/gtest.h>

#include <fstream>

#include "platform/foundation/Paths.h"
#include "TelemetryTestSupport.h"

using namespace quorvane;
using namespace quorvane::test;
using platform::KeyedArchiver;
using platform::KeyedUnarchiver;
using platform::Value;

namespace {

const std::filesystem::path kFixtures = std::filesystem::path(QUORVANE_TEST_DATA_DIR) / "telemetry";

std::string readFixture(const std::string& name) {
    std::string text;
    EXPECT_TRUE(platform::readFile(kFixtures / (name + ".qvarchive"), text)) << name;
    return text;
}

TEST(TelemetryModel, EveryLogClassArchivesAndDecodesToAnEqualLog) {
    for (const auto& [name, log] : sampleLogs()) {
        SCOPED_TRACE(name);
        auto decoded = KeyedUnarchiver::unarchivedObject<MSAbstractLog>(KeyedArchiver::archivedData(*log));
        ASSERT_TRUE(decoded) << decoded.error().localizedDescription();
        auto back = decoded.valueOr(nullptr);
        EXPECT_EQ(&back->classInfo(), &log->classInfo());
        EXPECT_TRUE(back->isEqual(*log));
        EXPECT_EQ(back->serializeToDictionary(), log->serializeToDictionary());
    }
}

TEST(TelemetryModel, ArchivesOfTheFirstFormatVersionStillReadBack) {
    // The fixtures were written by format version 1; stored logs must read back unchanged.
    for (const auto& [name, log] : sampleLogs()) {
        SCOPED_TRACE(name);
        auto decoded = KeyedUnarchiver::unarchivedObject<MSAbstractLog>(readFixture(name));
        ASSERT_TRUE(decoded) << decoded.error().localizedDescription();
        auto back = decoded.valueOr(nullptr);
        EXPECT_TRUE(back->isEqual(*log));
    }
}

// Rewrites the fixtures from the samples (run by hand when a new format version is added).
TEST(TelemetryModel, DISABLED_WriteFixtures) {
    for (const auto& [name, log] : sampleLogs())
        std::ofstream(kFixtures / (name + ".qvarchive")) << KeyedArchiver::archivedData(*log);
}

TEST(TelemetryModel, DamagedOrForeignArchivesDecodeAsErrors) {
    registerTelemetryClasses();
    const std::string good = readFixture("log-with-properties");
    auto replaced = [&](std::string from, std::string to) {
        std::string s = good;
        auto at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? s : s.replace(at, from.size(), to);
    };
    std::string deep = R"({"$archive":"quorvane.keyed","$version":1,"$root":{"$class":"MSLogWithProperties","properties":)";
    for (int i = 0; i < 200; ++i) deep += R"({"$dict":{"a":)";
    deep += "1" + std::string(400, '}') + "}}";
    const std::vector<std::pair<const char*, std::string>> cases{
        {"empty", ""},
        {"not JSON", "\x01\x02garbage"},
        {"truncated", good.substr(0, good.size() / 2)},
        {"not an archive", R"({"logs":[]})"},
        {"later version", replaced(R"("$version":1)", R"("$version":2)")},
        {"unknown class", replaced("MSLogWithProperties", "MSNoSuchLog")},
        {"wrong type", replaced(R"("sid":"6A1E)", R"("sid":7,"x":"6A1E)")},
        {"bad date", replaced(R"("timestamp":{"$date":)", R"("timestamp":{"$date":"x","y":)")},
        {"nested too deeply", deep},
        {"archive name not a string", replaced(R"("$archive":"quorvane.keyed")", R"("$archive":7)")},
        {"archive name given twice", replaced(R"("$version":1)", R"("$archive":1,"$version":1)")},
        {"version beyond 32 bits", replaced(R"("$version":1)", R"("$version":4294967297)")},
        {"version beyond 64 bits signed", replaced(R"("$version":1)", R"("$version":18446744073709551615)")},
    };
    for (const auto& [what, text] : cases) {
        auto refused = KeyedUnarchiver::unarchivedObject<MSAbstractLog>(text);
        ASSERT_FALSE(refused) << what;
        EXPECT_EQ(refused.error().domain, platform::kKeyedArchiveErrorDomain) << what;
        EXPECT_FALSE(refused.error().localizedDescription().empty()) << what;
    }
    EXPECT_FALSE(KeyedUnarchiver::unarchivedObject<MSStartServiceLog>(good)) << "another class";
}

TEST(TelemetryModel, ANegativeZeroTimeArchivesAsItself) {
    auto log = sampleLogs()[1].second;
    log->timestamp = platform::Date(-0.0);
    const std::string archive = KeyedArchiver::archivedData(*log);
    auto back = KeyedUnarchiver::unarchivedObject<MSAbstractLog>(archive).valueOr(nullptr);
    ASSERT_TRUE(back);
    EXPECT_TRUE(std::signbit(back->timestamp->timeIntervalSinceReferenceDate()));
    EXPECT_EQ(KeyedArchiver::archivedData(*back), archive);
}

TEST(TelemetryModel, IllFormedTextArchivesAsReplacementCharacters) {
    auto log = std::static_pointer_cast<MSLogWithProperties>(sampleLogs()[1].second);
    log->properties = std::map<std::string, std::string>{{"k\xff", std::string("a\xc3\0\"\\/", 7)}};
    auto decoded = KeyedUnarchiver::unarchivedObject<MSLogWithProperties>(KeyedArchiver::archivedData(*log));
    ASSERT_TRUE(decoded) << decoded.error().localizedDescription();
    auto back = decoded.valueOr(nullptr);
    EXPECT_EQ(*back->properties, (std::map<std::string, std::string>{{"k\uFFFD", std::string("a\uFFFD\0\"\\/", 9)}}));
}

TEST(TelemetryModel, SerialisesOnlyPresentFieldsUnderFixedKeys) {
    auto logs = sampleLogs();
    auto props = logs[1].second->serializeToDictionary();
    EXPECT_EQ(props.keys(), (std::vector<std::string>{"type", "timestamp", "sid", "distributionGroupId", "userId",
                                                      "device", "properties"}));
    EXPECT_EQ(props["timestamp"].asString(), MSUtility::dateToISO8601(platform::Date(786297600.25)));
    EXPECT_EQ(props["device"]["timeZoneOffset"].asInt(), 60);

    auto bare = std::make_shared<MSLogWithProperties>();
    bare->properties.emplace();  // present but empty: not serialised
    EXPECT_EQ(bare->serializeToDictionary().size(), 0u);
    EXPECT_FALSE(bare->isValid());

    auto cs = std::static_pointer_cast<MSCommonSchemaLog>(logs[3].second)->serializeToDictionary();
    EXPECT_EQ(cs.keys(), (std::vector<std::string>{"ver", "name", "time", "popSample", "iKey", "flags", "ext", "data"}));
    EXPECT_EQ(cs["data"].keys(), (std::vector<std::string>{"baseType", "baseData", "total", "when"}));
    EXPECT_EQ(cs["ext"]["metadata"]["f"]["total"].asInt(), 9);
    EXPECT_EQ(cs["ext"]["device"].size(), 0u);
}

TEST(TelemetryModel, EqualityComparesEveryFieldButTargetTokens) {
    auto make = [] { return sampleLogs()[1].second; };
    auto a = make(), b = make();
    a->addTransmissionTargetToken("t-1");
    EXPECT_TRUE(a->isEqual(*b));
    const std::vector<std::function<void(MSAbstractLog&)>> changes{
        [](MSAbstractLog& l) { l.sid.reset(); },
        [](MSAbstractLog& l) { l.userId = "bob"; },
        [](MSAbstractLog& l) { l.timestamp = platform::Date(1); },
        [](MSAbstractLog& l) { l.device = sampleDevice("other"); },
        [](MSAbstractLog& l) { l.tag = std::make_shared<int>(1); },
        [](MSAbstractLog& l) { static_cast<MSLogWithProperties&>(l).properties.reset(); },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        auto c = make();
        changes[i](*c);
        EXPECT_FALSE(c->isEqual(*b)) << i;
    }
    EXPECT_FALSE(sampleLogs()[0].second->isEqual(*b));
}

TEST(TelemetryModel, ValidityNeedsTypeTimestampAndAValidDevice) {
    auto log = sampleLogs()[0].second;
    EXPECT_TRUE(log->isValid());
    log->device->setTimeZoneOffset(std::nullopt);
    EXPECT_FALSE(log->isValid());
    log->device = nullptr;
    EXPECT_FALSE(log->isValid());
    auto start = std::static_pointer_cast<MSStartServiceLog>(sampleLogs()[2].second);
    start->services->clear();
    EXPECT_FALSE(start->isValid());
}

TEST(TelemetryModel, CommonSchemaLogsArePerTargetToken) {
    auto log = sampleLogs()[1].second;
    log->addTransmissionTargetToken("key1-secret");
    log->addTransmissionTargetToken("key2-secret");
    auto cs = log->toCommonSchemaLogsWithFlags(MSFlagsNormal);
    ASSERT_EQ(cs.size(), 2u);
    EXPECT_EQ(cs[0]->iKey, "o:key1");
    EXPECT_EQ(cs[1]->transmissionTargetTokens(), (std::set<std::string>{"key2-secret"}));
    EXPECT_EQ(cs[0]->flags, 1);
    EXPECT_EQ(cs[0]->timestamp, log->timestamp);
    const auto ext = cs[0]->ext->serializeToDictionary();
    EXPECT_EQ(ext["user"]["localId"].asString(), "c:alice");
    EXPECT_EQ(ext["protocol"]["devMake"].asString(), "Lenovo");
    EXPECT_EQ(ext["os"]["ver"].asString(), "12");
    EXPECT_EQ(ext["app"]["ver"].asString(), "1.2.0");
    EXPECT_EQ(ext["sdk"]["libVer"].asString(), "revazezar.linux-0.1.0");
    EXPECT_EQ(ext["loc"]["tz"].asString(), "+01:00");
}

TEST(TelemetryModel, TypedPropertiesSerialiseAndArchiveWithTheirKind) {
    registerTelemetryClasses();
    auto s = std::make_shared<MSStringTypedProperty>();
    s->name = "s";
    s->setValue("text");
    auto b = std::make_shared<MSBooleanTypedProperty>();
    b->name = "b";
    b->setValue(true);
    auto l = std::make_shared<MSLongTypedProperty>();
    l->name = "l";
    l->setValue(INT64_MIN);
    auto d = std::make_shared<MSDoubleTypedProperty>();
    d->name = "d";
    d->setValue(2.0);
    auto t = std::make_shared<MSDateTimeTypedProperty>();
    t->name = "t";
    t->setValue(platform::Date(0.5));
    const std::vector<std::pair<std::shared_ptr<MSTypedProperty>, Value>> cases{
        {s, "text"}, {b, true}, {l, INT64_MIN}, {d, 2.0}, {t, "2001-01-01T00:00:00.500Z"}};
    for (const auto& [p, wire] : cases) {
        SCOPED_TRACE(p->type());
        auto dict = p->serializeToDictionary();
        EXPECT_EQ(dict.keys(), (std::vector<std::string>{"type", "name", "value"}));
        EXPECT_EQ(dict["value"], wire);
        EXPECT_EQ(dict["value"].type(), wire.type());
        auto back = KeyedUnarchiver::unarchivedObject<MSTypedProperty>(KeyedArchiver::archivedData(*p)).valueOr(nullptr);
        ASSERT_TRUE(back);
        EXPECT_TRUE(back->isEqual(*p));
        EXPECT_EQ(back->value().type(), p->value().type());
    }
}

}  // namespace
