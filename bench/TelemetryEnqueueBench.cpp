// Enqueueing telemetry logs (validation, delegates, archiving and the SQLite insert on
// the logs queue) beside a plain SQLite insert loop of the same stored texts in one transaction,
// on the same table layout. Items per second are logs per second; the unit is paused, so nothing
// is sent.

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include "platform/runloop/DispatchQueue.h"
#include "telemetry/MSChannelGroup.h"
#include "telemetry/MSDeviceTracker.h"
#include "telemetry/MSHttpIngestion.h"
#include "telemetry/MSLogDBStorage.h"
#include "telemetry/MSLogWithProperties.h"

using namespace quorvane;
namespace fs = std::filesystem;

namespace {

constexpr int kLogs = 1000;

fs::path benchFile(const std::string& name) {
    fs::path dir = fs::temp_directory_path() / "quorvane-telemetry-bench";
    fs::create_directories(dir);
    fs::path file = dir / name;
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(file.string() + suffix);
    return file;
}

std::shared_ptr<MSLogWithProperties> makeLog(int i) {
    static const auto device = MSDeviceTracker::deviceFromSystem();
    auto log = std::make_shared<MSLogWithProperties>();
    log->type = "event";
    log->timestamp = platform::Date(786297600.0 + i);
    log->sid = "6A1E2C4F-0000-4000-8000-000000000001";
    log->device = device;
    log->properties = std::map<std::string, std::string>{{"screen", "main/list"}, {"n", std::to_string(i)}};
    return log;
}

struct Counter : MSChannelDelegate {
    std::mutex mutex;
    std::condition_variable cv;
    int done = 0;
    void didCompleteEnqueueingLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>&, const std::string&,
                                  MSEnqueueOutcome) override {
        std::lock_guard lock(mutex);
        if (++done % kLogs == 0) cv.notify_all();
    }
    void waitFor(int n) {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return done >= n; });
    }
};

// A group over a store file of its own, with a delegate that counts the logs its unit is done
// with, and one unit, paused: nothing is sent (the ingestion points nowhere either).
struct PausedChannel {
    std::string groupId;
    std::shared_ptr<MSLogDBStorage> storage;
    std::shared_ptr<MSChannelGroup> group;
    std::shared_ptr<Counter> counter = std::make_shared<Counter>();
    std::shared_ptr<MSChannelUnit> unit;
    int total = 0;  // logs enqueued

    PausedChannel(std::string id, std::shared_ptr<MSLogDBStorage> store)
        : groupId(std::move(id)),
          storage(std::move(store)),
          group(MSChannelGroup::make(MSRevAzezarIngestion::make("https://127.0.0.1:9", "secret", "install"), storage)) {
        group->addDelegate(counter);
        unit = group->addChannelUnitWithConfiguration(
            MSChannelUnitConfiguration::initWithGroupId(groupId, 1, 1e9, size_t(1) << 40, 1));
        unit->pauseWithIdentifyingObject(this);
    }
    // Ends a round of `count` enqueues: waits until the unit is done with them (timed), then
    // empties the store (untimed).
    void finishRound(benchmark::State& state, int count) {
        total += count;
        counter->waitFor(total);
        state.PauseTiming();
        storage->deleteLogsWithGroupId(groupId);
        state.ResumeTiming();
    }
};

void BM_ChannelUnitEnqueue(benchmark::State& state) {
    PausedChannel channel("Bench", std::make_shared<MSLogDBStorage>(benchFile("enqueue.sqlite"), int64_t(1) << 40));
    std::vector<std::shared_ptr<MSLogWithProperties>> logs;
    for (int i = 0; i < kLogs; ++i) logs.push_back(makeLog(i));
    for (auto _ : state) {
        for (const auto& log : logs) channel.unit->enqueueItem(log);
        channel.finishRound(state, kLogs);
    }
    state.SetItemsProcessed(state.iterations() * kLogs);
}

void BM_PlainBatchedInsert(benchmark::State& state) {
    const auto file = benchFile("plain.sqlite");
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; CREATE TABLE logs (id INTEGER PRIMARY KEY "
                     "AUTOINCREMENT, groupId TEXT NOT NULL, log TEXT NOT NULL, targetKey TEXT, targetToken TEXT, "
                     "priority INTEGER NOT NULL); CREATE INDEX logs_by_group ON logs (groupId, priority DESC, id)",
                 nullptr, nullptr, nullptr);
    std::vector<std::string> texts;
    for (int i = 0; i < kLogs; ++i) texts.push_back(MSLogDBStorage::storedTextForLog(*makeLog(i)));
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO logs (groupId, log, targetKey, targetToken, priority) VALUES ('Bench', ?, NULL, NULL, 1)",
                       -1, &insert, nullptr);
    for (auto _ : state) {
        sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        for (const auto& text : texts) {
            sqlite3_bind_blob(insert, 1, text.data(), int(text.size()), SQLITE_STATIC);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        state.PauseTiming();
        sqlite3_exec(db, "DELETE FROM logs", nullptr, nullptr, nullptr);
        state.ResumeTiming();
    }
    sqlite3_finalize(insert);
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations() * kLogs);
}

// Resident memory of the process now, in bytes.
double residentBytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) * 1024;
    return 0;
}

// A burst of 100,000 enqueues while nothing is stored (the logs queue is held): the logs waiting
// stay within the store's default bound (10 MiB of stored text), the oldest giving way. Reports
// the growth of resident memory over the burst and how many logs were dropped.
void BM_EnqueueBurstMemory(benchmark::State& state) {
    constexpr int kBurst = 100000;
    PausedChannel channel("Burst", std::make_shared<MSLogDBStorage>(benchFile("burst.sqlite")));
    double growth = 0;
    for (auto _ : state) {
        std::mutex mutex;
        std::condition_variable cv;
        bool open = false;
        channel.group->logsQueue()->async([&] {
            std::unique_lock lock(mutex);
            cv.wait(lock, [&] { return open; });
        });
        const double before = residentBytes();
        for (int i = 0; i < kBurst; ++i) channel.unit->enqueueItem(makeLog(i));
        growth = std::max(growth, residentBytes() - before);
        {
            std::lock_guard lock(mutex);
            open = true;
        }
        cv.notify_all();
        channel.finishRound(state, kBurst);
    }
    state.counters["rss_growth_MB"] = growth / 1e6;
    state.counters["dropped"] = double(channel.unit->droppedLogCount()) / double(state.iterations());
}

BENCHMARK(BM_ChannelUnitEnqueue)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EnqueueBurstMemory)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_PlainBatchedInsert)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
