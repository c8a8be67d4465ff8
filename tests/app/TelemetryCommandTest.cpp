// The command's telemetry against the fake ingestion server: off without a secret; with one,
// the launch event arrives once per installation.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "analytics/MSAnalytics.h"
#include "app/Telemetry.h"
#include "tests/app/CommandTestSupport.h"
#include "tests/support/FakeIngestionServer.h"

namespace quorvane::test {
namespace {

TEST(TelemetryCommand, TheLaunchEventArrivesOnceAndOnlyWithASecret) {
    // Folders of this test's own, inherited by the command.
    const auto root = std::filesystem::path(std::getenv("XDG_DATA_HOME")).parent_path() / "telemetry-command";
    std::filesystem::remove_all(root);
    for (const auto& [variable, sub] : {std::pair{"XDG_CONFIG_HOME", "config"}, {"XDG_DATA_HOME", "data"},
                                         {"XDG_STATE_HOME", "state"}}) {
        std::filesystem::create_directories(root / sub);
        ::setenv(variable, (root / sub).c_str(), 1);
    }
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

}  // namespace
}  // namespace quorvane::test
