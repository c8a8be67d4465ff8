#pragma once
// The analytics service started by the facade on a fresh log store, sending to the fake
// ingestion server.

#include <gtest/gtest.h>

#include "analytics/MSAnalytics.h"
#include "telemetry/MSLogDBStorage.h"
#include "telemetry/MSRevAzezar.h"
#include "tests/telemetry/PipelineTestSupport.h"

namespace quorvane::test {

// Retires the instances of an earlier test before its defaults are replaced: a retiring session
// tracker writes the session history of its time.
struct RetireServices {
    RetireServices() {
        MSAnalytics::resetSharedInstance();
        MSRevAzezar::resetSharedInstance();
    }
};

struct AnalyticsFixture {
    RetireServices retired;
    FreshDefaults defaults;
    FakeIngestionServer server;
    std::shared_ptr<MSAnalytics> analytics;

    AnalyticsFixture() {
        // Each test starts with an empty log store, whatever earlier tests of the process left.
        for (const char* suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(MSUtility::fullURLForPathComponent(std::string(MSLogDBStorage::kDefaultFileName) + suffix));
        analytics = MSAnalytics::sharedInstance();
        auto& sdk = MSRevAzezar::sharedInstance();
        sdk.setLogUrl(server.baseURL());
        sdk.setOneCollectorLogUrl(server.baseURL());
        sdk.setIngestionOptions(fastRetries());
    }
    ~AnalyticsFixture() {
        MSAnalytics::resetSharedInstance();
        MSRevAzezar::resetSharedInstance();
    }
    bool start() { return MSRevAzezar::sharedInstance().start("app-secret", {analytics}).ok(); }
    // Sends what the service's units hold now.
    void flush() const {
        for (const auto& unit : {analytics->channelUnit(), analytics->criticalChannelUnit()})
            if (unit) unit->flushQueue();
    }
    // The accepted logs of one type, in order.
    std::vector<platform::Value> accepted(const std::string& type) const {
        std::vector<platform::Value> out;
        for (const auto& log : server.acceptedLogs())
            if (log["type"].asString() == type) out.push_back(log);
        return out;
    }
    // Waits until the accepted logs satisfy the predicate.
    bool waitForAccepted(const std::function<bool(const std::vector<platform::Value>&)>& done, double timeout = 60) const {
        for (;;) {
            auto logs = server.acceptedLogs();
            if (done(logs)) return true;
            if (!server.waitForAcceptedLogCount(logs.size() + 1, timeout)) return false;
        }
    }
    bool waitForTypeCount(const std::string& type, size_t n) const {
        return waitForAccepted([&](const auto&) { return accepted(type).size() >= n; });
    }
    bool waitForNamed(const std::string& name) const {
        return waitForAccepted([&](const auto& logs) {
            return std::any_of(logs.begin(), logs.end(), [&](const auto& l) { return l["name"].asString() == name; });
        });
    }
    // Sends everything stored now, the facade's own unit included, and waits for it.
    bool flushAll(size_t expectedAccepted) const {
        MSRevAzezar::sharedInstance().channelUnit()->flushQueue();
        flush();
        return server.waitForAcceptedLogCount(expectedAccepted, 60);
    }
};

}  // namespace quorvane::test
