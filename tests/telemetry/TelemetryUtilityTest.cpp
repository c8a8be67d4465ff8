// MSUtility: wire dates, property validation, target keys, digests and the storage folder.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "TelemetryTestSupport.h"
#include "telemetry/MSUtility.h"

using namespace quorvane;
using namespace quorvane::test;
using platform::Value;

namespace {

TEST(TelemetryUtility, ISO8601DatesIgnoreTheUsersLocaleAndZone) {
    const char* oldLang = std::getenv("LANG");
    const char* oldTZ = std::getenv("TZ");
    const std::string lang = oldLang ? oldLang : "", tz = oldTZ ? oldTZ : "";
    ::setenv("LANG", "de_DE.UTF-8", 1);
    ::setenv("LC_ALL", "de_DE.UTF-8", 1);
    ::setenv("TZ", "Pacific/Kiritimati", 1);
    ::tzset();
    const std::vector<std::pair<double, const char*>> cases{
        {0, "2001-01-01T00:00:00.000Z"},
        {-0.001, "2000-12-31T23:59:59.999Z"},
        {86399.9995, "2001-01-01T23:59:59.999Z"},
        {757382400.123, "2025-01-01T00:00:00.123Z"},
        {-978307200.0, "1970-01-01T00:00:00.000Z"},
    };
    for (const auto& [secs, text] : cases) EXPECT_EQ(MSUtility::dateToISO8601(platform::Date(secs)), text) << secs;
    EXPECT_EQ(MSDeviceTracker::deviceFromSystem()->timeZoneOffset(), 14 * 60);
    EXPECT_EQ(MSDeviceTracker::deviceFromSystem()->locale(), "de_DE");
    oldLang ? ::setenv("LANG", lang.c_str(), 1) : ::unsetenv("LANG");
    oldTZ ? ::setenv("TZ", tz.c_str(), 1) : ::unsetenv("TZ");
    ::unsetenv("LC_ALL");
    ::tzset();
}

TEST(TelemetryUtility, PropertiesAreLimitedTo20Entries) {
    for (int count : {20, 21}) {
        SDKLogCapture log(MSLogLevel::Warning);
        Value props = Value::dictionary();
        props.set("not a string", 5);  // skipped silently, does not count
        props.set("", "empty key");     // skipped with a warning, does not count
        for (int i = 0; i < count; ++i) props.set("k" + std::to_string(100 + i), "v");
        auto valid = MSUtility::validateProperties(props, "buy", "Event");
        EXPECT_EQ(valid.size(), 20u) << count;
        EXPECT_EQ(valid.count("k120"), 0u);
        const auto texts = log.texts();
        ASSERT_EQ(texts.size(), count == 21 ? 2u : 1u);
        EXPECT_EQ(texts[0], "Event 'buy' : a property key cannot be null or empty. Property will be skipped.");
        if (count == 21)
            EXPECT_EQ(texts[1], "Event 'buy' : properties cannot contain more than 20 items. Skipping other properties.");
    }
}

TEST(TelemetryUtility, KeysAndValuesAreCutAt125UnitsWithoutSplittingSurrogatePairs) {
    const std::string emoji = "😀";  // two UTF-16 units
    struct Case {
        std::string text;
        std::string expected;
        bool warned;
    };
    const std::vector<Case> cases{
        {std::string(125, 'a'), std::string(125, 'a'), false},
        {std::string(126, 'a'), std::string(125, 'a'), true},
        {std::string(123, 'a') + emoji, std::string(123, 'a') + emoji, false},       // exactly 125 units
        {std::string(124, 'a') + emoji, std::string(124, 'a'), true},                // the pair straddles the cut
        {std::string(124, 'a') + "é" + emoji, std::string(124, 'a') + "é", true},   // two-byte UTF-8 kept whole
    };
    for (const auto& c : cases) {
        SDKLogCapture log(MSLogLevel::Warning);
        auto valid = MSUtility::validateProperties(Value::dictionary({{c.text, c.text}}), "buy", "Event");
        ASSERT_EQ(valid.size(), 1u);
        EXPECT_EQ(valid.begin()->first, c.expected);
        EXPECT_EQ(valid.begin()->second, c.expected);
        EXPECT_EQ(log.texts().size(), c.warned ? 2u : 0u);
    }
}

TEST(TelemetryUtility, TargetKeysAndDigests) {
    EXPECT_EQ(MSUtility::targetKeyFromTargetToken("abc-def-ghi"), "abc");
    EXPECT_EQ(MSUtility::targetKeyFromTargetToken("abc"), "abc");
    EXPECT_EQ(MSUtility::targetKeyFromTargetToken("-abc"), std::nullopt);
    EXPECT_EQ(MSUtility::targetKeyFromTargetToken(""), std::nullopt);
    EXPECT_EQ(MSUtility::sha256("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(TelemetryUtility, FileOperationsStayUnderTheStorageRoot) {
    const auto root = MSUtility::storageRoot();
    EXPECT_EQ(root, platform::Paths::dataHome() / "com.quorvane.Quorvane" / "com.dedozirav.revazezar");
    const platform::Bytes one{'1'}, two{'2'};
    auto url = MSUtility::createFileAtPathComponent("files/a/one", one, true, false);
    ASSERT_EQ(url, root / "files/a/one");
    EXPECT_EQ(MSUtility::createFileAtPathComponent("files/a/one", two, false, false), url);  // kept
    EXPECT_EQ(MSUtility::loadDataForPathComponent("files/a/one"), one);
    MSUtility::createFileAtPathComponent("files/a/one", two, false, true);
    EXPECT_EQ(MSUtility::loadDataForPathComponent("files/a/one"), two);
    EXPECT_EQ(MSUtility::createFileAtPathComponent(std::nullopt, one, true, true), std::nullopt);
    MSUtility::createFileAtPathComponent("files/a/empty", std::nullopt, true, false);
    EXPECT_EQ(MSUtility::loadDataForPathComponent("files/a/empty"), platform::Bytes{});
    EXPECT_EQ(MSUtility::contentsOfDirectory("files/a")->size(), 2u);
    EXPECT_EQ(MSUtility::contentsOfDirectory(""), std::nullopt);

    SDKLogCapture log;
    EXPECT_TRUE(MSUtility::deleteItemForPathComponent("files"));
    EXPECT_FALSE(MSUtility::fileExistsForPathComponent("files/a/one"));
    EXPECT_FALSE(MSUtility::deleteItemForPathComponent("files"));
    ASSERT_EQ(log.texts().size(), 1u);
    EXPECT_EQ(log.texts()[0].rfind("Couldn't remove item at " + (root / "files").string() + ": ", 0), 0u);
}

TEST(TelemetryUtility, ApplicationStateIsUnknownOffTheMainThread) {
    EXPECT_EQ(MSUtility::applicationState(), MSApplicationState::Active);
    MSApplicationState other{};
    std::thread([&] { other = MSUtility::applicationState(); }).join();
    EXPECT_EQ(other, MSApplicationState::Unknown);
    EXPECT_EQ(MSUtility::currentAppEnvironment(), MSEnvironment::Other);
}

}  // namespace
