// Nothing lost and nothing sent twice after an acknowledgement when the sending process is
// killed with SIGKILL at random points: a child process (this test program again, running only
// TelemetryKillChild.Run) enqueues and sends; the parent kills it and starts the next one on
// the same log file. Every log whose enqueue call returned counts: the store is asynchronous, so
// a kill may take the logs still waiting to be stored, the newest of its run, and no other. The
// window (the longest time between an enqueue's return and its log being stored) is measured.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <tuple>
#include <random>
#include <set>
#include <thread>

#include <sqlite3.h>

#include "PipelineTestSupport.h"
#include "platform/net/ServerTrust.h"

extern char** environ;

using namespace quorvane;
using namespace quorvane::test;

namespace {

const char* env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

void appendLine(const std::string& file, const std::string& line) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    const std::string text = line + "\n";
    if (fd >= 0) {
        (void)!::write(fd, text.data(), text.size());
        ::close(fd);
    }
}

double monotonicNow() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);  // one clock for every process of the machine
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

std::vector<std::string> lines(const std::filesystem::path& file) {
    std::vector<std::string> out;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// Writes "<n> <time>" once a log is in the file and "<n>" once its batch was accepted and
// deleted.
struct FileReporter : MSChannelDelegate {
    std::string stored, acked;
    std::atomic<int> completed{0};
    void didCompleteEnqueueingLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log, const std::string&,
                                  MSEnqueueOutcome) override {
        appendLine(stored, RecordingDelegate::number(log) + " " + std::to_string(monotonicNow()));
        ++completed;
    }
    void didSucceedSendingLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log) override {
        appendLine(acked, RecordingDelegate::number(log));
    }
};

TEST(TelemetryKillChild, Run) {
    if (!*env("QV_CHILD_DB")) GTEST_SKIP() << "runs only as the child of TelemetryKill";
    std::string ca;
    platform::readFile(env("QV_CHILD_CA"), ca);
    platform::TrustStore::addTrustedCertificatesPEM(ca);
    auto ingestion = MSRevAzezarIngestion::make(env("QV_CHILD_URL"), "secret", "install", fastRetries());
    auto storage = std::make_shared<MSLogDBStorage>(env("QV_CHILD_DB"));
    auto group = MSChannelGroup::make(ingestion, storage);
    auto reporter = std::make_shared<FileReporter>();
    reporter->stored = env("QV_CHILD_STORED");
    reporter->acked = env("QV_CHILD_ACKED");
    group->addDelegate(reporter);
    auto unit = group->addChannelUnitWithConfiguration(MSChannelUnitConfiguration::initWithGroupId("Kill", 1, 0.01, 5, 2));
    const int first = std::atoi(env("QV_CHILD_FIRST")), count = std::atoi(env("QV_CHILD_COUNT"));
    for (int i = first; i < first + count; ++i) {
        unit->enqueueItem(numberedLog(i));
        const double returned = monotonicNow();
        appendLine(env("QV_CHILD_ENQUEUED"), std::to_string(i) + " " + std::to_string(returned));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(180);
    while (reporter->completed < count || storage->countAllLogs() > 0 || ingestion->pendingCallCount() > 0) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the log file did not drain";
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Starts this program running only the test `filter`, with the extra environment, its output in
// log.
pid_t spawnSelf(const std::string& filter, const std::vector<std::string>& extra, const std::string& log) {
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e) vars.emplace_back(*e);
    vars.insert(vars.end(), extra.begin(), extra.end());
    std::vector<char*> envp;
    for (auto& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string exe = std::filesystem::read_symlink("/proc/self/exe").string(), only = "--gtest_filter=" + filter;
    char* argv[] = {exe.data(), only.data(), nullptr};
    posix_spawn_file_actions_t output;
    posix_spawn_file_actions_init(&output);
    posix_spawn_file_actions_addopen(&output, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&output, 1, 2);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, exe.c_str(), &output, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&output);
    return spawned == 0 ? pid : -1;
}

// Starts this program as TelemetryKillChild.Run on dir/logs.sqlite: it enqueues count logs
// numbered from first and sends until the file is empty. Files of the run are named by `run`.
pid_t spawnChild(const std::filesystem::path& dir, const std::string& url, const std::string& run, int first, int count) {
    return spawnSelf("TelemetryKillChild.Run",
                     {"QV_CHILD_DB=" + (dir / "logs.sqlite").string(), "QV_CHILD_URL=" + url,
                      "QV_CHILD_CA=" + TestHTTPServer::caCertificatePath().string(),
                      "QV_CHILD_STORED=" + (dir / "stored").string(), "QV_CHILD_ACKED=" + (dir / ("acked-" + run)).string(),
                      "QV_CHILD_ENQUEUED=" + (dir / ("enqueued-" + run)).string(),
                      "QV_CHILD_FIRST=" + std::to_string(first), "QV_CHILD_COUNT=" + std::to_string(count),
                      "TMPDIR=" + (dir / "tmp").string()},
                     (dir / ("child-" + run + ".log")).string());
}

// Another process on a log file: "hold" takes the write lock inside a transaction and stops
// itself there; "save" stores QV_STORE_COUNT logs of group "B" numbered from 100.
TEST(TelemetryStoreChild, Run) {
    const std::string action = env("QV_STORE_ACTION");
    if (action.empty()) GTEST_SKIP() << "runs only as the child of a store test";
    if (action == "save") {
        MSLogDBStorage storage(env("QV_STORE_DB"));
        for (int i = 0; i < std::atoi(env("QV_STORE_COUNT")); ++i)
            ASSERT_TRUE(storage.saveLog(numberedLog(100 + i), "B", MSFlagsNormal));
        return;
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(env("QV_STORE_DB"), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE; INSERT INTO logs (groupId, log, priority) VALUES ('Held', '{}', 1)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    ::raise(SIGSTOP);
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

pid_t spawnStoreChild(const std::filesystem::path& file, const std::string& action, int count = 0) {
    return spawnSelf("TelemetryStoreChild.Run",
                     {"QV_STORE_ACTION=" + action, "QV_STORE_DB=" + file.string(), "QV_STORE_COUNT=" + std::to_string(count)},
                     file.string() + "." + action + ".log");
}

std::multiset<std::string> arrivedNumbers(const FakeIngestionServer& server) {
    std::multiset<std::string> arrived;
    for (const auto& log : server.acceptedLogs()) arrived.insert(log["properties"]["n"].asString());
    return arrived;
}

TEST(TelemetryKill, EveryLogArrivesAndNoneTwiceAfterAcknowledgement) {
    namespace fs = std::filesystem;
    FakeIngestionServer server;
    const fs::path dir = platform::Paths::dataHome() / "kill";
    fs::remove_all(dir);
    fs::create_directories(dir / "tmp");
    std::mt19937 random(std::random_device{}());
    constexpr int kRuns = 16, kPerRun = 30;
    std::vector<size_t> boundaries;  // server batch count after each run
    int killed = 0;
    std::set<std::string> stored;
    std::vector<double> killedAt(kRuns + 1, 0);

    auto runChild = [&](int run, int count, bool kill) {
        // Some answers are slow or fail, so that kills land between the server's receipt and the ack.
        std::vector<FakeIngestionServer::Answer> answers;
        for (int i = 0; i < 20; ++i) answers.push_back({random() % 4 == 0 ? 503 : 200, double(random() % 3) * 0.01});
        server.script(answers);
        const pid_t pid = spawnChild(dir, server.baseURL(), std::to_string(run), run * kPerRun, count);
        ASSERT_GT(pid, 0);
        const std::string log = (dir / ("child-" + std::to_string(run) + ".log")).string();
        int status = 0;
        bool reaped = false;
        if (kill) {
            const size_t storedNow = lines(dir / "stored").size(), batchesNow = server.batchCount();
            const size_t target = random() % 4;
            const size_t storedTarget = storedNow + 1 + random() % count, enqueuedTarget = 1 + random() % count;
            const auto enqueuedFile = dir / ("enqueued-" + std::to_string(run));
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            // Kill once the child has enqueued or stored some logs, or once it has sent a batch or two.
            while (!reaped && std::chrono::steady_clock::now() < deadline) {
                reaped = ::waitpid(pid, &status, WNOHANG) == pid;
                const bool due = target == 0   ? lines(dir / "stored").size() >= storedTarget
                                 : target == 3 ? lines(enqueuedFile).size() >= enqueuedTarget
                                               : server.batchCount() >= batchesNow + target;
                if (!reaped && due) {
                    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
                    killedAt[run] = monotonicNow();
                    ::kill(pid, SIGKILL);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        if (!reaped) ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        killed += WIFSIGNALED(status);
        if (!kill) {
            std::string output;
            platform::readFile(log, output);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the final run did not drain:\n" << output;
        }
        boundaries.push_back(server.batchCount());
    };
    for (int run = 0; run < kRuns; ++run) runChild(run, kPerRun, true);
    runChild(kRuns, 0, false);
    server.script({});

    std::map<std::string, double> storedAt;
    for (const auto& line : lines(dir / "stored")) {
        const auto space = line.find(' ');
        stored.insert(line.substr(0, space));
        storedAt.emplace(line.substr(0, space), std::stod(line.substr(space + 1)));
    }
    const auto batches = server.batches();
    std::multiset<std::string> arrived;
    for (const auto& b : batches)
        if (b.status == 200)
            for (const auto& log : b.logs) arrived.insert(log["properties"]["n"].asString());
    for (const auto& n : stored) EXPECT_GE(arrived.count(n), 1u) << "log " << n << " was stored but never arrived";

    // The window: the longest time from an enqueue's return to its log being stored.
    std::vector<std::tuple<int, std::string, double>> enqueued;  // run, log, time its enqueue returned
    double window = 0;
    for (int run = 0; run < kRuns; ++run)
        for (const auto& line : lines(dir / ("enqueued-" + std::to_string(run)))) {
            const auto space = line.find(' ');
            enqueued.emplace_back(run, line.substr(0, space), std::stod(line.substr(space + 1)));
            if (auto it = storedAt.find(line.substr(0, space)); it != storedAt.end())
                window = std::max(window, it->second - std::get<2>(enqueued.back()));
        }
    // What a kill takes is the newest logs of its run only, those still waiting to be stored: no
    // log is lost that was enqueued before one of its run that arrived.
    size_t lost = 0;
    double lostAge = 0;  // the longest a lost log had waited when its process was killed
    std::vector<double> newestArrived(kRuns, -1);
    for (const auto& [run, n, at] : enqueued)
        if (arrived.count(n)) newestArrived[run] = std::max(newestArrived[run], at);
    for (const auto& [run, n, at] : enqueued) {
        if (arrived.count(n)) continue;
        ++lost;
        ASSERT_GT(killedAt[run], 0.0) << "log " << n << " of a run that was not killed never arrived";
        EXPECT_GT(at, newestArrived[run]) << "log " << n << " was lost, though a log enqueued after it arrived";
        lostAge = std::max(lostAge, killedAt[run] - at);
    }
    // A lost log had waited at least this long: the window is the longer of the two.
    window = std::max(window, lostAge);
    ::testing::Test::RecordProperty("enqueued", int(enqueued.size()));
    ::testing::Test::RecordProperty("lost", int(lost));
    ::testing::Test::RecordProperty("windowMicroseconds", int(window * 1e6));
    std::printf("kill -9 window: %.1f ms (longest time from an enqueue's return to its log stored, or to a kill that "
                "took it); %zu of %zu enqueued logs lost, the oldest enqueued %.1f ms before its kill\n",
                window * 1e3, lost, enqueued.size(), lostAge * 1e3);
    for (int run = 0; run <= kRuns; ++run)
        for (const auto& n : lines(dir / ("acked-" + std::to_string(run))))
            for (size_t i = boundaries[run]; i < batches.size(); ++i)
                for (const auto& log : batches[i].logs)
                    EXPECT_NE(log["properties"]["n"].asString(), n) << "log " << n << " sent again after its ack";
    EXPECT_GT(stored.size(), size_t(kRuns));  // the kills did not all land before the first log
    size_t resent = 0;
    for (const auto& n : stored) resent += arrived.count(n) > 1;
    ::testing::Test::RecordProperty("killed", killed);
    ::testing::Test::RecordProperty("resent", int(resent));
}

// Two processes of one app on one log file, 1,000 logs each, the ingestion accepting all: each
// log goes once. When one is killed mid-way, the other sends what it had stored and in flight;
// only its batches in flight at the kill (at most 2 of 5 logs) may go twice.
TEST(TelemetryKill, TwoProcessesOnOneStoreSendEachLogOnceAndTheSurvivorSendsWhatTheKilledOneHeld) {
    namespace fs = std::filesystem;
    constexpr int kEach = 1000;
    for (const bool kill : {false, true}) {
        SCOPED_TRACE(kill ? "one killed" : "both run");
        FakeIngestionServer server;
        const fs::path dir = platform::Paths::dataHome() / (kill ? "two-killed" : "two");
        fs::remove_all(dir);
        fs::create_directories(dir / "tmp");
        const pid_t first = spawnChild(dir, server.baseURL(), "a", 0, kEach);
        const pid_t second = spawnChild(dir, server.baseURL(), "b", kEach, kEach);
        ASSERT_GT(first, 0);
        ASSERT_GT(second, 0);
        if (kill) {
            EXPECT_TRUE(server.waitForAcceptedLogCount(kEach / 2, 120));
            ::kill(first, SIGKILL);
        }
        // The killed one is reaped last: an ended process not yet reaped holds nothing either.
        int firstStatus = 0, secondStatus = 0;
        ASSERT_EQ(::waitpid(second, &secondStatus, 0), second);
        ASSERT_EQ(::waitpid(first, &firstStatus, 0), first);
        std::string output;
        platform::readFile(dir / "child-b.log", output);
        ASSERT_TRUE(WIFEXITED(secondStatus) && WEXITSTATUS(secondStatus) == 0) << output;
        if (!kill) ASSERT_TRUE(WIFEXITED(firstStatus) && WEXITSTATUS(firstStatus) == 0);

        const auto arrived = arrivedNumbers(server);
        std::set<std::string> stored;
        for (const auto& line : lines(dir / "stored")) stored.insert(line.substr(0, line.find(' ')));
        if (!kill) EXPECT_EQ(stored.size(), size_t(2 * kEach));
        size_t lost = 0, twice = 0;
        for (const auto& n : stored) lost += arrived.count(n) == 0;
        for (const auto& n : std::set<std::string>(arrived.begin(), arrived.end())) twice += arrived.count(n) > 1;
        EXPECT_EQ(lost, 0u);
        EXPECT_LE(twice, kill ? 10u : 0u);
        size_t resentAfterAck = 0;
        for (const auto& n : lines(dir / "acked-a")) resentAfterAck += arrived.count(n) > 1;
        EXPECT_EQ(resentAfterAck, 0u);
        std::printf("two processes%s: %zu logs stored, %zu arrived, %zu lost, %zu sent twice\n",
                    kill ? " (one killed)" : "", stored.size(), arrived.size(), lost, twice);
    }
}

// Process A's delete after a send fails (a full disk) and it keeps the acknowledged ids; the file
// is removed, or replaced as damaged; process B stores new logs under the same ids. A's next call
// finds another file at the path and leaves its logs alone.
TEST(TelemetryKill, AcknowledgedIdsOfARemovedOrReplacedStoreFileLeaveTheNewFilesLogsAlone) {
    namespace fs = std::filesystem;
    for (const bool damaged : {false, true}) {
        SCOPED_TRACE(damaged ? "replaced as damaged" : "removed");
        const fs::path dir = platform::Paths::dataHome() / "replaced", file = dir / "logs.sqlite";
        fs::remove_all(dir);
        auto a = std::make_shared<MSLogDBStorage>(file);
        for (int i = 0; i < 3; ++i) a->saveLog(numberedLog(i), "A", MSFlagsNormal);
        auto batch = a->loadLogsWithGroupId("A", 10);
        ASSERT_TRUE(batch);
        {
            DiskFull full;
            a->deleteLogsWithBatchId(batch->batchId);
        }
        ASSERT_EQ(a->undeletedCount(), 3u);
        for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(file.string() + suffix);
        if (damaged) ASSERT_TRUE(platform::writeFileAtomically(file, std::string(5000, 'g')));
        const pid_t b = spawnStoreChild(file, "save", 5);
        int status = 0;
        ASSERT_EQ(::waitpid(b, &status, 0), b);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_EQ(a->countAllLogs(), 5u);
        EXPECT_EQ(a->undeletedCount(), 0u);
        auto later = MSLogDBStorage(file).loadLogsWithGroupId("B", 10);  // a later start reads no stale record
        ASSERT_TRUE(later);
        EXPECT_EQ(later->logs.size(), 5u);
    }
}

// A process stopped inside its write holds the file: the logs enqueued meanwhile wait in memory
// (one warning), nothing is dropped, and they are stored and sent once it is gone.
TEST(TelemetryKill, AStoreHeldByAStoppedWriterKeepsTheLogsAndSendsThemWhenItFrees) {
    SDKLogCapture log(MSLogLevel::Warning);
    PipelineFixture f;
    auto unit = f.unit(1);
    unit->enqueueItem(numberedLog(0));
    ASSERT_TRUE(f.delegate->waitFor("didSucceed", 1));
    const pid_t holder = spawnStoreChild(f.file, "hold");
    int status = 0;
    ASSERT_EQ(::waitpid(holder, &status, WUNTRACED), holder);
    ASSERT_TRUE(WIFSTOPPED(status));
    for (int i = 1; i <= 5; ++i) unit->enqueueItem(numberedLog(i));
    auto warnings = [&] {
        int n = 0;
        for (const auto& text : log.texts()) n += text.find("held by another connection") != std::string::npos;
        return n;
    };
    for (int i = 0; i < 6000 && warnings() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(warnings(), 1);
    EXPECT_FALSE(f.storage->loadLogsWithGroupId("Test", 10));
    ::kill(holder, SIGKILL);
    ASSERT_EQ(::waitpid(holder, &status, 0), holder);
    ASSERT_TRUE(f.delegate->waitFor("didSucceed", 6, 120));
    for (int i = 1; i <= 5; ++i) EXPECT_EQ(f.delegate->outcome(std::to_string(i)), MSEnqueueOutcome::Stored) << i;
    EXPECT_EQ(f.delegate->count("didCompleteEnqueueing"), 6);
    EXPECT_EQ(warnings(), 1);
}

}  // namespace
