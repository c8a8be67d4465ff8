// The command's telemetry against the fake ingestion server: off without a secret; with one,
// the launch event arrives once per profile, and the end of a command sends nothing twice over.

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "analytics/MSAnalytics.h"
#include "analytics/MSEventLog.h"
#include "app/Telemetry.h"
#include "platform/contacts/ContactsDatabase.h"
#include "platform/foundation/BundleInfo.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Paths.h"
#include "platform/store/LockFile.h"
#include "platform/store/UserDefaults.h"
#include "sync/SyncSettings.h"
#include "telemetry/MSDeviceTracker.h"
#include "telemetry/MSHttpIngestion.h"
#include "telemetry/MSLogDBStorage.h"
#include "telemetry/MSStartServiceLog.h"
#include "tests/app/CommandTestSupport.h"
#include "tests/support/FakeIngestionServer.h"

namespace quorvane::test {
namespace {

// Folders of the test's own, inherited by the commands it runs.
void useFreshFolders(const std::string& name) {
    const auto root = std::filesystem::path(std::getenv("XDG_DATA_HOME")).parent_path() / name;
    std::filesystem::remove_all(root);
    for (const auto& [variable, sub] : {std::pair{"XDG_CONFIG_HOME", "config"}, {"XDG_DATA_HOME", "data"},
                                         {"XDG_STATE_HOME", "state"}}) {
        std::filesystem::create_directories(root / sub);
        ::setenv(variable, (root / sub).c_str(), 1);
    }
}

// A profile sending to the server under the secret.
void sendTelemetryTo(const FakeIngestionServer& server, const std::string& profile, const std::string& secret) {
    for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
             {"client-id", "telemetry-test-client"}, {"ca-file", TestHTTPServer::caCertificatePath().string()},
             {"telemetry-url", server.baseURL()},
             {"telemetry-app-secret", secret}})
        EXPECT_EQ(quorvane({"--profile", profile, "config", "set", key, value}).code, 0);
}

// Waits until the server has accepted a log the predicate takes: a command that ended before an
// answer came may have left its request on the way, so the number of logs accepted when it ends
// tells nothing.
template <class Predicate>
std::optional<platform::Value> waitForLog(const FakeIngestionServer& server, Predicate&& wanted) {
    for (;;) {
        const auto logs = server.acceptedLogs();
        for (const auto& log : logs)
            if (wanted(log)) return log;
        if (!server.waitForAcceptedLogCount(logs.size() + 1, 60)) return std::nullopt;
    }
}

bool waitForLaunchEvent(const FakeIngestionServer& server) {
    return waitForLog(server, [](const platform::Value& log) { return log["name"].asString() == app::kLaunchEventName; })
        .has_value();
}

// How often the log that arrived most often arrived.
size_t mostArrivals(const FakeIngestionServer& server) {
    std::map<std::string, size_t> arrivals;
    size_t most = 0;
    for (const auto& batch : server.batches())
        for (const auto& log : batch.logs) most = std::max(most, ++arrivals[log.toJSON()]);
    return most;
}

TEST(TelemetryCommand, TheLaunchEventArrivesOnceAndOnlyWithASecret) {
    useFreshFolders("telemetry-command");
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
    ASSERT_TRUE(waitForLaunchEvent(server));
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
    sendTelemetryTo(second, "two", "secret-2");
    EXPECT_EQ(quorvane({"--profile", "two", "config", "get", "syncDeletions"}).code, 0);
    ASSERT_TRUE(second.waitForBatchCount(1, 60));
    server.script({{307, 0, false, {{"Location", second.baseURL() + "/logs?api-version=1.0.0"}}}});
    EXPECT_EQ(quorvane({"config", "get", "syncDeletions"}).code, 0);
    EXPECT_EQ(quorvane({"config", "get", "syncDeletions"}).code, 0);
    second.script({});
    EXPECT_EQ(quorvane({"--profile", "two", "config", "get", "syncDeletions"}).code, 0);
    ASSERT_TRUE(waitForLaunchEvent(second));
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
    useFreshFolders("telemetry-upgrade");
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

    // The release before kept the profile's own store, keying each log by the address and the
    // secret together: its logs go to the address the profile sends to after it changes.
    server.setRule([](const FakeIngestionServer::Batch&) { return FakeIngestionServer::Answer{503}; });
    {
        MSLogDBStorage profile(app::telemetryStorageFile(*app::Profile::named(app::Profile::kDefaultName)));
        const auto key = MSRevAzezarIngestion::make(server.baseURL(), "secret-1", "i")->destination().addressKey;
        std::vector<MSLogDBStorage::Item> items;
        for (int i = 0; i < 3; ++i) {
            auto event = stamped(std::make_shared<MSEventLog>());
            event->name = "keyed by address";
            event->eventId = "A" + std::to_string(i);
            items.push_back({event, "Analytics", MSFlagsDefault, MSLogDBStorage::storedTextForLog(*event), key});
        }
        EXPECT_EQ(profile.saveLogs(items), std::vector<bool>(3, true));
    }
    FakeIngestionServer moved;
    EXPECT_EQ(quorvane({"config", "set", "telemetry-url", moved.baseURL()}).code, 0);  // starts at the old one
    EXPECT_EQ(quorvane({"config", "get", "syncDeletions"}).code, 0);
    std::set<std::string> arrived;
    for (;;) {
        const auto logs = moved.acceptedLogs();
        for (const auto& log : logs)
            if (log["name"].asString() == "keyed by address") arrived.insert(log["id"].asString());
        if (arrived.size() == 3 || !moved.waitForAcceptedLogCount(logs.size() + 1, 60)) break;
    }
    EXPECT_EQ(arrived, (std::set<std::string>{"A0", "A1", "A2"}));
}

// Two commands starting together on a new profile track its launch event once; a command whose
// settings file another process holds locked goes on within the lock's wait, naming the holder.
TEST(TelemetryCommand, TheLaunchEventIsTrackedOncePerProfileAndAHeldSettingsLockIsNamed) {
    useFreshFolders("telemetry-launch");
    FakeIngestionServer server;
    const std::vector<std::string> profiles{"p1", "p2", "p3"};
    for (const auto& profile : profiles) sendTelemetryTo(server, profile, "secret-" + profile);
    for (const auto& profile : profiles) {
        std::vector<std::unique_ptr<ChildProcess>> together;
        for (int i = 0; i < 2; ++i)
            together.push_back(std::make_unique<ChildProcess>(
                std::vector<std::string>{QUORVANE_BINARY, "--profile", profile, "config", "get", "syncDeletions"}));
        for (auto& child : together) EXPECT_EQ(child->wait(), 0) << child->err();
        // Sends what a slow machine left stored.
        EXPECT_EQ(quorvane({"--profile", profile, "config", "get", "syncDeletions"}).code, 0);
    }
    std::map<std::string, size_t> launches;  // by secret
    for (const auto& batch : server.batches())
        for (const auto& log : batch.logs)
            if (log["name"].asString() == app::kLaunchEventName) ++launches[batch.header("App-Secret").value_or("")];
    EXPECT_EQ(launches, (std::map<std::string, size_t>{{"secret-p1", 1}, {"secret-p2", 1}, {"secret-p3", 1}}));

    // The profile's settings and the telemetry's both held: each is named, and the command waits
    // for the first only (a process's waits are bounded in all).
    sendTelemetryTo(server, "p4", "secret-p4");
    auto p4 = app::Profile::named("p4");
    auto settings = p4->userDefaults()->path();
    auto held = platform::LockFile::acquire(settings += ".lock", 0);
    ASSERT_TRUE(held && held->held());
    auto telemetrySettings = app::telemetrySettingsFile(*p4);
    std::filesystem::create_directories(telemetrySettings.parent_path());
    auto heldToo = platform::LockFile::acquire(telemetrySettings += ".lock", 0);
    ASSERT_TRUE(heldToo && heldToo->held());
    auto r = quorvane({"--profile", "p4", "config", "get", "syncDeletions"});
    EXPECT_EQ(r.code, 0) << r.err;
    auto count = [&](const std::string& text) {
        size_t n = 0;
        for (size_t at = r.err.find(text); at != std::string::npos; at = r.err.find(text, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("locked by process " + std::to_string(::getpid()) + " ("), 2u) << r.err;
    EXPECT_EQ(count(" s; going on"), 1u) << r.err;
    *held = platform::LockFile();
    *heldToo = platform::LockFile();
    for (int run = 0; run < 2; ++run) EXPECT_EQ(quorvane({"--profile", "p4", "config", "get", "syncDeletions"}).code, 0);
    launches.clear();
    for (const auto& batch : server.batches())
        for (const auto& log : batch.logs)
            if (log["name"].asString() == app::kLaunchEventName) ++launches[batch.header("App-Secret").value_or("")];
    EXPECT_EQ(launches["secret-p4"], 1u);  // tracked by the first command that could mark it
}

// One installation sends under one install id, whichever profile starts first and also when
// profiles start together.
TEST(TelemetryCommand, EveryProfileSendsUnderTheInstallationsOneInstallId) {
    const std::string def = app::Profile::kDefaultName;
    const std::vector<std::vector<std::vector<std::string>>> rounds = {
        {{"n1"}, {def}, {"n2"}},  // a named profile first, then the default one
        {{"n1", "n2"}},           // two named ones together
        {{def, "n1", "n2"}},      // the default and two named ones together
    };
    for (size_t round = 0; round < rounds.size(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        useFreshFolders("telemetry-install-id-" + std::to_string(round));
        FakeIngestionServer server;
        std::set<std::string> secrets;
        for (const auto& step : rounds[round])
            for (const auto& profile : step) sendTelemetryTo(server, profile, *secrets.insert("secret-" + profile).first);
        for (const auto& step : rounds[round]) {
            std::vector<std::unique_ptr<ChildProcess>> together;
            for (const auto& profile : step)
                together.push_back(std::make_unique<ChildProcess>(
                    std::vector<std::string>{QUORVANE_BINARY, "--profile", profile, "config", "get", "syncDeletions"}));
            for (auto& child : together) EXPECT_EQ(child->wait(), 0) << child->err();
        }
        std::set<std::string> sent, ids;
        for (;;) {
            const size_t seen = server.batchCount();
            for (const auto& batch : server.batches()) {
                sent.insert(batch.header("App-Secret").value_or(""));
                ids.insert(batch.header("Install-ID").value_or(""));
            }
            if (sent == secrets || !server.waitForBatchCount(seen + 1, 60)) break;
        }
        EXPECT_EQ(sent, secrets);
        EXPECT_EQ(ids.size(), 1u) << *ids.begin() << " and " << *ids.rbegin();
    }
}

// A command waits for the answers of what it sent; a batch whose answer has not come when it ends
// (answered after the wait, or never) stays stored however often that happens, and goes again
// until the ingestion takes it: the crash report and the logs of every run arrive.
TEST(TelemetryCommand, ALogSentWithoutAnAnswerStaysUntilTheIngestionTakesIt) {
    useFreshFolders("telemetry-unanswered");
    FakeIngestionServer server;
    sendTelemetryTo(server, "slow", "secret-slow");
    const std::vector<std::string> run{"--profile", "slow", "config", "get", "syncDeletions"};
    using Answer = FakeIngestionServer::Answer;
    // Refused after the wait, taken after it, or never answered (the connection closed once the
    // request was read; the retry would come after the command's end).
    for (const auto& answer : {Answer{503, 3.0}, Answer{200, 3.0}, Answer{FakeIngestionServer::kNoAnswer, 0.1}}) {
        SCOPED_TRACE("status " + std::to_string(answer.status) + " after " + std::to_string(answer.delay) + " s");
        server.clear();
        ChildProcess crashing({QUORVANE_BINARY, "--profile", "slow", "signin"});
        ASSERT_FALSE(crashing.readLine().empty()) << crashing.err();  // waits for the browser
        crashing.signal(SIGSEGV);
        ASSERT_EQ(crashing.wait(), 128 + SIGSEGV) << crashing.err();
        server.setRule([answer](const FakeIngestionServer::Batch&) { return answer; });
        for (int i = 0; i < 3; ++i) {
            if (i == 2) server.setRule(nullptr);
            const auto r = quorvane(run);
            EXPECT_EQ(r.code, 0) << r.err;
        }
        // Every log the ingestion was ever sent is taken at last, the crash among them.
        std::set<std::string> seen, taken;
        bool crash = false;
        for (;;) {
            const auto accepted = server.acceptedLogs();
            for (const auto& log : accepted) {
                taken.insert(log.toJSON());
                crash = crash || log["type"].asString() == "appleError";
            }
            for (const auto& batch : server.batches())
                for (const auto& log : batch.logs) seen.insert(log.toJSON());
            if (std::includes(taken.begin(), taken.end(), seen.begin(), seen.end()) && crash) break;
            if (!server.waitForAcceptedLogCount(accepted.size() + 1, 60)) break;
        }
        EXPECT_TRUE(crash);
        size_t lost = 0;
        for (const auto& log : seen) lost += !taken.count(log);
        EXPECT_EQ(lost, 0u) << "of " << seen.size() << " logs sent";
        EXPECT_LE(mostArrivals(server), 4u);  // once a start at most
    }
}

// A pause the ingestion asked for holds at the next starts too, for that ingestion only.
TEST(TelemetryCommand, APauseTheIngestionAskedForHoldsAtTheNextStarts) {
    useFreshFolders("telemetry-pause");
    FakeIngestionServer busy, spare;
    for (auto* server : {&busy, &spare})
        server->setRule([](const FakeIngestionServer::Batch&) {
            return FakeIngestionServer::Answer{503, 0, false, {{"Retry-After", "3600"}}};
        });
    const std::vector<std::string> run{"--profile", "p", "config", "get", "syncDeletions"};
    sendTelemetryTo(busy, "p", "secret-p");
    EXPECT_EQ(quorvane(run).code, 0);
    const size_t asked = busy.batchCount();
    EXPECT_GE(asked, 1u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(quorvane(run).code, 0);
    EXPECT_EQ(busy.batchCount(), asked);
    // Another ingestion is asked at once (its own pause then holds too).
    EXPECT_EQ(quorvane({"--profile", "p", "config", "set", "telemetry-url", spare.baseURL()}).code, 0);
    EXPECT_EQ(quorvane(run).code, 0);
    const size_t spareAsked = spare.batchCount();
    EXPECT_GE(spareAsked, 1u);
    EXPECT_EQ(quorvane(run).code, 0);
    EXPECT_EQ(spare.batchCount(), spareAsked);
    EXPECT_EQ(busy.batchCount(), asked);
}

}  // namespace
}  // namespace quorvane::test

namespace quorvane::test {
namespace {

// A run of one profile crashes after a run of another profile began and ended: the crash goes to
// its own profile's ingestion at that profile's next run, stamped with a session of its own
// profile, never with the other profile's.
TEST(TelemetryCommand, AProfilesCrashGoesToItsOwnIngestionWithASessionOfItsOwn) {
    useFreshFolders("telemetry-crash");
    FakeIngestionServer alpha, beta;
    sendTelemetryTo(alpha, "alpha", "secret-alpha");
    sendTelemetryTo(beta, "beta", "secret-beta");
    ChildProcess crashing({QUORVANE_BINARY, "--profile", "alpha", "signin"});
    ASSERT_FALSE(crashing.readLine().empty()) << crashing.err();  // waits for the browser
    EXPECT_EQ(quorvane({"--profile", "beta", "config", "get", "syncDeletions"}).code, 0);
    crashing.signal(SIGSEGV);
    ASSERT_EQ(crashing.wait(), 128 + SIGSEGV) << crashing.err();
    EXPECT_EQ(quorvane({"--profile", "alpha", "config", "get", "syncDeletions"}).code, 0);
    const auto crash = waitForLog(alpha, [](const platform::Value& log) { return log["type"].asString() == "appleError"; });
    ASSERT_TRUE(crash);
    std::set<std::string> alphaSessions, betaSessions;
    for (const auto& log : alpha.acceptedLogs()) alphaSessions.insert(log["sid"].asString());
    for (const auto& log : beta.acceptedLogs()) betaSessions.insert(log["sid"].asString());
    const std::string sid = (*crash)["sid"].asString();
    EXPECT_FALSE(sid.empty());
    EXPECT_EQ(betaSessions.count(sid), 0u) << sid;
    EXPECT_EQ(alphaSessions.count(sid), 1u) << sid;
    for (const auto& log : beta.acceptedLogs()) EXPECT_NE(log["type"].asString(), "appleError");
}

}  // namespace
}  // namespace quorvane::test
