// The command's telemetry against the fake ingestion server: off without a secret; with one,
// the launch event arrives once per installation.

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>

#include "analytics/MSAnalytics.h"
#include "analytics/MSEventLog.h"
#include "app/Telemetry.h"
#include "platform/contacts/ContactsDatabase.h"
#include "platform/foundation/BundleInfo.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Paths.h"
#include "sync/SyncSettings.h"
#include "telemetry/MSDeviceTracker.h"
#include "telemetry/MSLogDBStorage.h"
#include "telemetry/MSStartServiceLog.h"
#include "tests/app/CommandTestSupport.h"
#include "tests/support/FakeIngestionServer.h"

namespace quorvane::test {
namespace {

// Folders of the test's own, inherited by the command.
void useOwnFolders(const char* name) {
    const auto root = std::filesystem::path(std::getenv("XDG_DATA_HOME")).parent_path() / name;
    std::filesystem::remove_all(root);
    for (const auto& [variable, sub] : {std::pair{"XDG_CONFIG_HOME", "config"}, {"XDG_DATA_HOME", "data"},
                                         {"XDG_STATE_HOME", "state"}}) {
        std::filesystem::create_directories(root / sub);
        ::setenv(variable, (root / sub).c_str(), 1);
    }
}

TEST(TelemetryCommand, TheLaunchEventArrivesOnceAndOnlyWithASecret) {
    useOwnFolders("telemetry-command");
    const auto services = app::telemetryServices();
    ASSERT_EQ(services.size(), 2u);
    EXPECT_EQ(services[0]->serviceName(), "Crashes");
    EXPECT_EQ(services[1]->serviceName(), "Analytics");

    FakeIngestionServer server;
    EXPECT_EQ(quorvane({"config", "set", "telemetry-url", server.baseURL()}).code, 0);
    EXPECT_EQ(quorvane({"config", "set", "telemetry-url", "http://plain.example"}).code, 2);
    EXPECT_EQ(quorvane({"config", "set", "ca-file", TestHTTPServer::caCertificatePath().string()}).code, 0);
    EXPECT_EQ(quorvane({"config", "get", "telemetry-url"}).out, server.baseURL() + "\n");
    EXPECT_EQ(quorvane({"config", "get", "telemetry-app-secret"}).out, "\n");
    EXPECT_EQ(server.batchCount(), 0u);  // no secret, no telemetry

    EXPECT_EQ(quorvane({"config", "set", "telemetry-app-secret", "secret-1"}).code, 0);
    auto r = quorvane({"config", "get", "telemetry-app-secret"});
    EXPECT_EQ(r.code, 0) << r.err;
    std::vector<platform::Value> launches;
    auto collect = [&] {
        launches.clear();
        for (const auto& log : server.acceptedLogs())
            if (log["name"].asString() == app::kLaunchEventName) launches.push_back(log);
        return launches.size();
    };
    ASSERT_TRUE(server.waitForAcceptedLogCount(2, 60));  // the launch event, then the start logs
    EXPECT_EQ(collect(), 1u);
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0]["type"].asString(), "event");
    EXPECT_EQ(launches[0]["typedProperties"][size_t(0)]["name"].asString(), "version");
    EXPECT_FALSE(launches[0]["sid"].asString().empty());
    for (const auto& b : server.batches()) EXPECT_EQ(b.header("App-Secret"), "secret-1");

    auto again = quorvane({"config", "get", "syncDeletions"});
    EXPECT_EQ(again.code, 0) << again.err;
    EXPECT_EQ(collect(), 1u);

    // A second profile with its own secret and address, whose ingestion is down for now: its logs
    // wait in its own store, and no run of the first profile sends them. A redirect of the first
    // profile's ingestion takes its secret nowhere.
    FakeIngestionServer second;
    second.script(std::vector<FakeIngestionServer::Answer>(10000, {503}));
    for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
             {"ca-file", TestHTTPServer::caCertificatePath().string()}, {"telemetry-url", second.baseURL()},
             {"telemetry-app-secret", "secret-2"}})
        EXPECT_EQ(quorvane({"--profile", "two", "config", "set", key, value}).code, 0);
    EXPECT_EQ(quorvane({"--profile", "two", "config", "get", "syncDeletions"}).code, 0);
    ASSERT_TRUE(second.waitForBatchCount(1, 60));
    server.script({{307, 0, false, {{"Location", second.baseURL() + "/logs?api-version=1.0.0"}}}});
    EXPECT_EQ(quorvane({"config", "get", "syncDeletions"}).code, 0);
    EXPECT_EQ(quorvane({"config", "get", "syncDeletions"}).code, 0);
    second.script({});
    EXPECT_EQ(quorvane({"--profile", "two", "config", "get", "syncDeletions"}).code, 0);
    ASSERT_TRUE(second.waitForAcceptedLogCount(1, 60));
    for (const auto& b : server.batches()) EXPECT_EQ(b.header("App-Secret"), "secret-1");
    for (const auto& b : second.batches()) EXPECT_EQ(b.header("App-Secret"), "secret-2");
    size_t secondLaunches = 0;
    for (const auto& log : second.acceptedLogs()) secondLaunches += log["name"].asString() == app::kLaunchEventName;
    EXPECT_EQ(secondLaunches, 1u);
    EXPECT_EQ(collect(), 1u);
    EXPECT_TRUE(std::filesystem::exists(app::telemetryStorageFile(*app::Profile::named("two"))));
    EXPECT_TRUE(std::filesystem::exists(app::telemetryStorageFile(*app::Profile::named(app::Profile::kDefaultName))));
}

// The previous release kept one log store for every profile, in the telemetry storage folder, and
// marked the launch event sent in the profile's settings as soon as it was stored: after the
// upgrade each of its logs moves once into the profile's own store, to be sent from there, and the
// old file goes.
TEST(TelemetryCommand, LogsThePreviousReleaseStoredMoveOnceIntoTheProfilesStoreAfterTheUpgrade) {
    useOwnFolders("telemetry-upgrade");
    FakeIngestionServer server;
    for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
             {"ca-file", TestHTTPServer::caCertificatePath().string()}, {"telemetry-url", server.baseURL()}})
        ASSERT_EQ(quorvane({"config", "set", key, value}).code, 0);
    const auto previous = platform::Paths::dataHome() / platform::BundleInfo::identifier() / "com.dedozirav.revazezar" /
                          MSLogDBStorage::kDefaultFileName;
    std::filesystem::create_directories(previous.parent_path());
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(previous.c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw,
                           "PRAGMA journal_mode=WAL; CREATE TABLE logs (id INTEGER PRIMARY KEY AUTOINCREMENT, groupId "
                           "TEXT NOT NULL, log TEXT NOT NULL, targetKey TEXT, targetToken TEXT, priority INTEGER NOT "
                           "NULL, claim TEXT, claimedAt INTEGER); CREATE TABLE storeInfo (key TEXT PRIMARY KEY, value "
                           "TEXT NOT NULL); INSERT INTO storeInfo VALUES ('storeId', '5d41402abc4b2a76b9719d911017c592'); "
                           "CREATE INDEX logs_by_group ON logs (groupId, priority DESC, id); PRAGMA user_version=3",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    auto store = [&](const std::string& group, const MSAbstractLog& log) {
        platform::SQLStatement insert(raw, "INSERT INTO logs (groupId, log, priority) VALUES (?, ?, 1)");
        const auto text = platform::KeyedArchiver::archivedData(log);
        insert.bind(1, group);
        insert.bindBlob(2, text.data(), text.size());
        EXPECT_EQ(insert.step(), SQLITE_DONE);
    };
    auto stamped = [](auto log) {
        log->timestamp = platform::Date::now();
        log->device = MSDeviceTracker::sharedInstance().device();
        return log;
    };
    auto started = stamped(std::make_shared<MSStartServiceLog>());
    started->services = std::vector<std::string>{"Crashes", "Analytics"};
    store("RevAzezar", *started);
    for (int i = 0; i < 20; ++i) {
        auto event = stamped(std::make_shared<MSEventLog>());
        event->name = i == 0 ? std::string(app::kLaunchEventName) : "earlier " + std::to_string(i);
        event->eventId = "E" + std::to_string(i);
        store("Analytics", *event);
    }
    sqlite3_close(raw);
    auto defaults = app::Profile::named(app::Profile::kDefaultName)->userDefaults();
    defaults->setObject(true, SyncSettings::keyOf(Setting::HasSentInitalLaunchAnswerEvent));
    defaults->setObject(std::string("secret-1"), app::kTelemetryAppSecretKey);
    ASSERT_TRUE(defaults->synchronize());

    auto r = quorvane({"config", "get", "syncDeletions"});
    EXPECT_EQ(r.code, 0) << r.err;
    // Each is in the profile's store once, or was sent (the run leaves them at its end, and may
    // end before their answers come).
    std::map<std::string, int> sent, stored;
    for (const auto& log : server.acceptedLogs())
        if (log["type"].asString() == "event") ++sent[log["id"].asString()];
    {
        registerAnalyticsClasses();
        MSLogDBStorage profile(app::telemetryStorageFile(*app::Profile::named(app::Profile::kDefaultName)));
        while (auto batch = profile.loadLogsWithGroupId("Analytics", 50))
            for (const auto& log : batch->logs)
                if (auto event = std::dynamic_pointer_cast<MSEventLog>(log)) ++stored[event->eventId.value_or("")];
    }
    for (int i = 0; i < 20; ++i) {
        const auto id = "E" + std::to_string(i);
        EXPECT_TRUE(sent.count(id) || stored.count(id)) << id;
        EXPECT_LE(stored[id], 1) << id;
    }
    for (const auto& b : server.batches()) EXPECT_EQ(b.header("App-Secret"), "secret-1");
    EXPECT_FALSE(std::filesystem::exists(previous));
}

}  // namespace
}  // namespace quorvane::test
