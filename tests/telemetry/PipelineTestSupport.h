#pragma once
// A channel group over a real log file and the fake ingestion, and a delegate that records what
// it heard.

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>

#include "TelemetryTestSupport.h"
#include "telemetry/MSChannelGroup.h"
#include "telemetry/MSHttpIngestion.h"
#include "telemetry/MSLogDBStorage.h"
#include "tests/support/FakeIngestionServer.h"

namespace quorvane::test {

struct RecordingDelegate : MSChannelDelegate {
    mutable std::mutex mutex;
    mutable std::condition_variable cv;
    std::vector<std::string> events;  // "<callback> <log number>"
    std::map<std::string, int> counts;
    std::vector<platform::Error> errors;
    std::map<std::string, MSEnqueueOutcome> outcomes;  // by log number
    std::function<bool(const std::shared_ptr<MSAbstractLog>&)> filter;

    static std::string number(const std::shared_ptr<MSAbstractLog>& log) {
        auto p = std::dynamic_pointer_cast<MSLogWithProperties>(log);
        return p && p->properties ? p->properties->at("n") : "?";
    }
    void record(const char* what, const std::shared_ptr<MSAbstractLog>& log) {
        std::lock_guard lock(mutex);
        events.push_back(std::string(what) + " " + number(log));
        ++counts[what];
        cv.notify_all();
    }
    int count(const std::string& what) const {
        std::lock_guard lock(mutex);
        auto it = counts.find(what);
        return it == counts.end() ? 0 : it->second;
    }
    bool waitFor(const std::string& what, int n, double timeout = 60) const {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::duration<double>(timeout), [&] {
            auto it = counts.find(what);
            return it != counts.end() && it->second >= n;
        });
    }

    void prepareLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log) override { record("prepare", log); }
    void didPrepareLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log, const std::string&, uint32_t) override {
        record("didPrepare", log);
    }
    void didCompleteEnqueueingLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log, const std::string&,
                                  MSEnqueueOutcome outcome) override {
        {
            std::lock_guard lock(mutex);
            outcomes[number(log)] = outcome;
        }
        record("didCompleteEnqueueing", log);
    }
    std::optional<MSEnqueueOutcome> outcome(const std::string& number) const {
        std::lock_guard lock(mutex);
        auto it = outcomes.find(number);
        return it == outcomes.end() ? std::nullopt : std::optional(it->second);
    }
    bool shouldFilterLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log) override {
        record("shouldFilter", log);
        return filter && filter(log);
    }
    void willSendLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log) override { record("willSend", log); }
    void didSucceedSendingLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log) override {
        record("didSucceed", log);
    }
    void didFailSendingLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log, const platform::Error& e) override {
        {
            std::lock_guard lock(mutex);
            errors.push_back(e);
        }
        record("didFail", log);
    }
};

inline std::shared_ptr<MSLogWithProperties> numberedLog(int n) {
    auto log = std::make_shared<MSLogWithProperties>();
    log->type = "event";
    log->device = sampleDevice();
    log->properties = std::map<std::string, std::string>{{"n", std::to_string(n)}};
    return log;
}

inline MSHttpIngestion::Options fastRetries() {
    MSHttpIngestion::Options o;
    o.retryIntervals = {0.01, 0.02, 0.05};
    return o;
}

// A group on a fresh log file of the current test, sending to the fake ingestion.
struct PipelineFixture {
    FakeIngestionServer server;
    std::filesystem::path file;
    std::shared_ptr<MSRevAzezarIngestion> ingestion;
    std::shared_ptr<MSLogDBStorage> storage;
    std::shared_ptr<MSChannelGroup> group;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();

    PipelineFixture() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        file = platform::Paths::dataHome() / "pipeline" / (std::string(info->test_suite_name()) + "." + info->name() + ".sqlite");
        std::filesystem::remove_all(file.parent_path() / file.filename());
        ingestion = MSRevAzezarIngestion::make(server.baseURL(), "app-secret-1", "install-1", fastRetries());
        storage = std::make_shared<MSLogDBStorage>(file);
        group = MSChannelGroup::make(ingestion, storage);
        group->addDelegate(delegate);
    }
    // A unit that sends a batch as soon as `batch` logs wait (the timer is out of reach).
    std::shared_ptr<MSChannelUnit> unit(size_t batch, std::string groupId = "Test", size_t pending = 3) {
        return group->addChannelUnitWithConfiguration(
            MSChannelUnitConfiguration::initWithGroupId(std::move(groupId), 1, 3600, batch, pending));
    }
    // Numbers of the logs the server accepted, in order.
    std::vector<std::string> acceptedNumbers() const {
        std::vector<std::string> out;
        for (const auto& log : server.acceptedLogs()) out.push_back(log["properties"]["n"].asString());
        return out;
    }
};

}  // namespace quorvane::test
