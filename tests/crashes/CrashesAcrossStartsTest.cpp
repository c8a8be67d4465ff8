// Crash reporting across process starts: each start is this test program again, running only
// CrashesAcrossStartsChild.Run on one shared set of data folders, with the SDK sending to the fake
// ingestion in the parent. A start may crash at its end; the next start sends what it left.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "platform/net/ServerTrust.h"
#include "telemetry/MSDispatcherUtil.h"
#include "telemetry/MSHttpIngestion.h"
#include "telemetry/MSLogDBStorage.h"
#include "tests/crashes/CrashesServiceSupport.h"

extern char** environ;

using namespace quorvane;
using namespace quorvane::test;
namespace fs = std::filesystem;

namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

void appendLine(const std::string& file, const std::string& line) {
    std::ofstream(file, std::ios::app) << line << "\n";
}

std::vector<std::string> lines(const fs::path& file) {
    std::vector<std::string> out;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'", as the logs carry their times.
double unixFromISO8601(const std::string& text) {
    std::tm tm{};
    int ms = 0;
    std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
                &tm.tm_sec, &ms);
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return double(::timegm(&tm)) + ms / 1000.0;
}

[[noreturn]] [[gnu::noinline]] void throwUncaught() { throw std::runtime_error("sync state is broken"); }

void crash(const std::string& kind) {
    if (kind == "segv") *reinterpret_cast<volatile int*>(uintptr_t(0x10)) = 1;
    if (kind == "abort") std::abort();
    if (kind == "cxx-main") throwUncaught();
    if (kind == "cxx-thread") std::thread(throwUncaught).join();
    if (kind == "worker") {
        // A detached worker crashes while the main thread sleeps; woken, that one ends the
        // process at once.
        std::thread([] { *reinterpret_cast<volatile int*>(uintptr_t(0x10)) = 1; }).detach();
        ::sleep(100);
        std::_Exit(0);
    }
}

// A start that begins at a given time, on a clock that runs a thousand times slower than the
// real one: all it does happens within a few milliseconds of that time, however loaded the machine.
struct SlowClock : platform::Clock {
    explicit SlowClock(double startUnix) : start(platform::Date::fromUnix(startUnix)), realStart(system.monotonic()) {}
    platform::Date now() const override { return start.addingTimeInterval((system.monotonic() - realStart) / 1000); }
    double monotonic() const override { return system.monotonic(); }
    platform::Date start;
    platform::SystemClock system;
    double realStart;
};

// The logs handed to a channel and not yet stored, and the types of those stored.
struct StoreWatch : MSChannelDelegate {
    std::mutex mutex;
    std::set<std::string> handedOver;
    std::multiset<std::string> storedTypes;
    void didPrepareLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>&, const std::string& id, uint32_t) override {
        std::lock_guard lock(mutex);
        handedOver.insert(id);
    }
    void didCompleteEnqueueingLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log, const std::string& id,
                                  MSEnqueueOutcome) override {
        std::lock_guard lock(mutex);
        handedOver.erase(id);
        storedTypes.insert(log->type.value_or(""));
    }
    size_t stored(const std::string& type) {
        std::lock_guard lock(mutex);
        return storedTypes.count(type);
    }
    size_t waiting() {
        std::lock_guard lock(mutex);
        return handedOver.size();
    }
};

// Holds the logs queue, and with it every log handed to a channel before the store, until opened.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    void wait() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return open; });
    }
    void release() {
        std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
};

void awaitFile(const std::string& file) {
    while (!fs::exists(file)) std::this_thread::sleep_for(std::chrono::milliseconds(5));  // bounded by the alarm
}

// How a start, or a child it forked, ended; with the start's output.
struct Start {
    int status = 0;
    std::string output;
    ::testing::AssertionResult crashedWith(int signo) const {
        return WIFSIGNALED(status) && WTERMSIG(status) == signo ? ::testing::AssertionSuccess()
                                                                : ::testing::AssertionFailure() << *this;
    }
    ::testing::AssertionResult exitedCleanly() const {
        return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ::testing::AssertionSuccess()
                                                             : ::testing::AssertionFailure() << *this;
    }
    friend std::ostream& operator<<(std::ostream& out, const Start& s) {
        if (WIFSIGNALED(s.status)) out << "signal " << WTERMSIG(s.status);
        if (WIFEXITED(s.status)) out << "exit " << WEXITSTATUS(s.status);
        return out << "\n" << s.output;
    }
};

Start waitFor(pid_t pid) {
    Start ended;
    while (pid > 0 && ::waitpid(pid, &ended.status, 0) < 0 && errno == EINTR) {
    }
    return ended;
}

// A start killed at a chosen step of its storing, seen through the log store's statements:
// "crash-stored" ("attachment-stored") once the transaction that stored the crash log (its
// attachment) has committed, "report-gone" as
// the first statement begins after the crash report left the "crashes" folder.
std::string gKillAt;
fs::path gCrashesFolder;
std::atomic<bool> gReportSeen{false};

bool crashesFolderHoldsAReport() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(gCrashesFolder, ec))
        if (entry.path().extension() != fs::path(MSCrashes::kMSAnalyzerFilename).extension()) return true;
    return false;
}

// A start held at a chosen step, until told to go on: "crashes-count" as its crash reporting's
// unit first counts what the store holds for it.
std::string gPauseAt;

int killAtStep(unsigned type, void*, void* p, void*) {
    auto* statement = static_cast<sqlite3_stmt*>(p);
    if (gPauseAt == "crashes-count" && type == SQLITE_TRACE_STMT) {
        static std::atomic<bool> paused{false};
        constexpr std::string_view kCount = "SELECT id FROM logs WHERE groupId = 'Crashes' AND claim IS NULL";
        if (char* sql = sqlite3_expanded_sql(statement)) {
            const bool count = std::string_view(sql).starts_with(kCount);
            sqlite3_free(sql);
            if (count && !paused.exchange(true)) {
                appendLine(env("QV_CHILD_PAUSED"), "paused");
                awaitFile(env("QV_CHILD_RESUME"));
            }
        }
    }
    if (gKillAt == "report-gone" && type == SQLITE_TRACE_STMT) {
        if (crashesFolderHoldsAReport()) gReportSeen = true;
        else if (gReportSeen) ::raise(SIGKILL);
    }
    if ((gKillAt == "crash-stored" || gKillAt == "attachment-stored") && type == SQLITE_TRACE_PROFILE) {
        static std::atomic<bool> inserted{false};
        if (char* sql = sqlite3_expanded_sql(statement)) {
            // The log is bound as a blob, written out in hex.
            const char* kind = gKillAt == "crash-stored" ? "6170706c654572726f72" /* appleError */
                                                         : "6572726f724174746163686d656e74" /* errorAttachment */;
            if (::strncasecmp(sql, "INSERT", 6) == 0 && std::strstr(sql, kind)) inserted = true;
            sqlite3_free(sql);
        }
        if (inserted && sqlite3_get_autocommit(sqlite3_db_handle(statement))) ::raise(SIGKILL);
    }
    return 0;
}

int watchConnection(sqlite3* db, const char**, const sqlite3_api_routines*) {
    sqlite3_trace_v2(db, SQLITE_TRACE_STMT | SQLITE_TRACE_PROFILE, killAtStep, nullptr);
    return SQLITE_OK;
}

}  // namespace

// One start of the application. QV_CHILD_* tell what it does: its data folders, the ingestion,
// the session to record, the answer to give when asked, whether to attach a file to each crash,
// to report a handled error, to give up on sending (ingestion down), and how to crash at the end.
TEST(CrashesAcrossStartsChild, Run) {
    if (env("QV_CHILD_ROOT").empty()) GTEST_SKIP() << "runs only as a start of CrashesAcrossStarts";
    ::alarm(120);  // a start that hangs ends with SIGALRM, which its parent reports
    if (const std::string at = env("QV_CHILD_CLOCK"); !at.empty())
        platform::Clock::setCurrent(std::make_shared<SlowClock>(std::stod(at)));
    const fs::path root = env("QV_CHILD_ROOT");
    for (auto [var, sub] : {std::pair{"XDG_CONFIG_HOME", "config"}, {"XDG_DATA_HOME", "data"},
                            {"XDG_CACHE_HOME", "cache"}, {"XDG_STATE_HOME", "state"}})
        ::setenv(var, (root / sub).c_str(), 1);
    // A profile of its own: the log store and every crash file in its folder.
    const fs::path profile = env("QV_CHILD_PROFILE");
    if (!profile.empty()) {
        MSCrashesUtil::setStorageFolder(profile);
        MSRevAzezar::sharedInstance().setLogStorageFile(profile / MSLogDBStorage::kDefaultFileName);
    }
    const fs::path store = profile.empty() ? MSUtility::fullURLForPathComponent(MSLogDBStorage::kDefaultFileName)
                                           : profile / MSLogDBStorage::kDefaultFileName;
    gKillAt = env("QV_CHILD_KILL_AT");
    gPauseAt = env("QV_CHILD_PAUSE_AT");
    if (!gKillAt.empty() || !gPauseAt.empty()) {
        gCrashesFolder = MSUtility::fullURLForPathComponent(MSCrashesUtil::crashesDir());
        sqlite3_auto_extension(reinterpret_cast<void (*)()>(&watchConnection));
    }
    if (env("QV_CHILD_ENGINE_CRASH") == "1") {
        // A process of the application that crashes with only the engine armed: a pending report.
        ASSERT_TRUE(MSCrashReporter::initWithConfiguration(MSCrashReporterConfig::defaultConfiguration())
                        ->enableCrashReporter());
        crash("segv");
    }
    if (!env("QV_CHILD_READING").empty()) {
        // Ends while reading the first report it takes over, as a report that breaks its reader would.
        MSCrashReporter::setCrashReportReadFunction([](int, void*, size_t) -> ssize_t {
            appendLine(env("QV_CHILD_READING"), "reading");
            awaitFile(env("QV_CHILD_RELEASE"));
            ::raise(SIGKILL);
            return -1;
        });
    }
    MSLogger::setCurrentLogLevel(MSLogLevel::Error);  // into the start's output
    std::string ca;
    platform::readFile(env("QV_CHILD_CA"), ca);
    platform::TrustStore::addTrustedCertificatesPEM(ca);
    const std::string events = env("QV_CHILD_EVENTS");

    auto crashes = MSCrashes::sharedInstance();
    auto delegate = std::make_shared<MSCrashesDelegate>();
    std::atomic<int> notified{0}, finished{0};
    delegate->willSendErrorReport = [&](MSCrashes&, const MSCrashesDelegate::Report& r) {
        appendLine(events, "will-send " + *r->incidentIdentifier());
        ++notified;
    };
    delegate->didSucceedSendingErrorReport = [&](MSCrashes&, const MSCrashesDelegate::Report& r) {
        appendLine(events, "did-send " + *r->incidentIdentifier());
        ++finished;
    };
    delegate->didFailSendingErrorReport = [&](MSCrashes&, const MSCrashesDelegate::Report& r, const platform::Error& e) {
        appendLine(events, "did-fail " + std::to_string(e.code) + " " + *r->incidentIdentifier());
        ++finished;
    };
    if (env("QV_CHILD_ATTACH") == "1")
        delegate->attachments = [](MSCrashes&, const MSCrashesDelegate::Report& r) {
            return std::vector{MSErrorAttachmentLog::attachmentWithText("log of " + *r->incidentIdentifier(),
                                                                        std::string("sync.log"))};
        };
    MSCrashes::setDelegate(delegate);
    if (const std::string answer = env("QV_CHILD_CONFIRM"); !answer.empty())
        MSCrashes::setUserConfirmationHandler([answer, events](const std::vector<std::shared_ptr<MSErrorReport>>&) {
            appendLine(events, "asked");
            MSDispatcherUtil::performBlockOnMainThread([answer] {
                MSCrashes::notifyWithUserConfirmation(answer == "always" ? MSUserConfirmationAlways
                                                                         : MSUserConfirmationDontSend);
            });
            return true;
        });

    auto& sdk = MSRevAzezar::sharedInstance();
    sdk.setLogUrl(env("QV_CHILD_URL"));
    MSHttpIngestion::Options fast;
    fast.retryIntervals = {0.05, 0.1, 0.2};
    sdk.setIngestionOptions(fast);
    auto watch = std::make_shared<StoreWatch>();
    sqlite3* busy = nullptr;
    if (env("QV_CHILD_STORE_BUSY") == "1") {
        // Another connection holds the store: nothing this start hands over is stored.
        ASSERT_EQ(sqlite3_open(store.c_str(), &busy), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(busy, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    ASSERT_TRUE(sdk.start("app-secret", {crashes}));
    sdk.channelGroup()->addDelegate(watch);
    if (env("QV_CHILD_FLUSH") == "1") sdk.channelUnit()->flushQueue();  // its start-service log, without waiting
    // Crashes while the logs it took from another process's buffer wait for the store.
    if (busy) crash(env("QV_CHILD_CRASH"));
    if (MSCrashes::hasCrashedInLastSession()) appendLine(events, "crashed-last");
    if (const std::string session = env("QV_CHILD_SESSION"); !session.empty()) {
        // A session that began after any earlier crash (unless the start has a clock of its own).
        std::optional<ClockShift> later;
        if (env("QV_CHILD_CLOCK").empty()) later.emplace(env("QV_CHILD_CRASH").empty() ? 5 : 0);
        MSSessionContext::sharedInstance().setSessionId(session);
    }
    if (env("QV_CHILD_HANDLED") == "1") {
        auto exception = std::make_shared<MSException>();
        exception->type = "std::invalid_argument";
        exception->message = "unknown group";
        ASSERT_TRUE(crashes->trackModelException(exception, std::map<std::string, std::string>{{"screen", "groups"}}));
    }

    // Done once every stored report is gone (sent into the log store or discarded), every log
    // handed over is stored, and, unless the ingestion is down, everything stored was sent and
    // the delegate heard how.
    const bool offline = env("QV_CHILD_OFFLINE") == "1";
    auto storage = sdk.channelGroup()->storage();
    auto ingestion = sdk.channelGroup()->ingestion();
    const bool done = platform::RunLoop::main()->runUntil(
        [&] {
            if (!crashes->persistedCrashReports().empty() || watch->waiting() > 0) return false;
            // Down: done once the crash and its attachment wait in the store. (Counting the store
            // is not enough: the logs an earlier start buffered at its crash are stored again too.)
            if (offline)
                return watch->stored("appleError") >= 1 &&
                       watch->stored("errorAttachment") >= (env("QV_CHILD_ATTACH") == "1" ? 1u : 0u);
            return storage->countAllLogs() == 0 && ingestion->pendingCallCount() == 0 && notified == finished;
        },
        60);
    ASSERT_TRUE(done) << "the start did not finish its work: reports " << crashes->persistedCrashReports().size()
                      << ", not stored " << watch->waiting() << ", in the store "
                      << storage->countAllLogs() << ", in flight " << ingestion->pendingCallCount() << ", heard "
                      << notified << "/" << finished;
    // Runs side by side with another start: tells it this one is under way, or waits for it.
    if (const std::string ready = env("QV_CHILD_READY"); !ready.empty()) appendLine(ready, "ready");
    if (const std::string awaited = env("QV_CHILD_AWAIT"); !awaited.empty()) awaitFile(awaited);
    // A child forked without exec, before the logs below: it lives on after this start crashes,
    // until told to crash itself.
    const std::string fork = env("QV_CHILD_FORK");
    if (fork == "live") {
        const pid_t child = ::fork();
        if (child == 0) {
            ::alarm(120);
            awaitFile(env("QV_CHILD_RELEASE"));
            crash("segv");
            ::_exit(3);
        }
        appendLine((root / "forked").string(), std::to_string(child));
    }
    auto gate = std::make_shared<Gate>();
    if (const int buffered = std::atoi(env("QV_CHILD_BUFFERED").c_str()); buffered > 0) {
        // Handed to the channel but held before the store: only the crash-time buffer keeps them.
        sdk.channelGroup()->logsQueue()->async([gate] { gate->wait(); });
        for (int i = 0; i < buffered; ++i) {
            auto exception = std::make_shared<MSException>();
            exception->type = "buffered";
            exception->message = env("QV_CHILD_TAG") + "-" + std::to_string(i);
            ASSERT_TRUE(crashes->trackModelException(exception));
        }
    }
    if (fork == "crash") {
        // A child forked without exec crashes while this start lives on and stores its logs.
        const pid_t child = ::fork();
        if (child == 0) crash("segv");
        ASSERT_TRUE(waitFor(child).crashedWith(SIGSEGV));
        gate->release();
        ASSERT_TRUE(platform::RunLoop::main()->runUntil(
            [&] { return watch->waiting() == 0 && storage->countAllLogs() == 0 && ingestion->pendingCallCount() == 0; },
            60));
    }
    if (const std::string kind = env("QV_CHILD_CRASH"); !kind.empty()) {
        if (const std::string file = env("QV_CHILD_CRASH_AT"); !file.empty()) {
            // Early in a second, so that the next start can begin within it.
            while (std::fmod(platform::Date::now().timeIntervalSince1970(), 1.0) > 0.3)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            appendLine(file, std::to_string(platform::Date::now().timeIntervalSince1970()));
        }
        crash(kind);
    }
    // With the ingestion down the pipeline is still retrying: the start ends at once, as a killed
    // or quitting application would, without running the program's exit work under it.
    if (offline) {
        std::fflush(nullptr);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
}


namespace {

using Vars = std::map<std::string, std::string>;

class CrashesAcrossStarts : public ::testing::Test {
protected:
    // A new installation: its own data folders, and nothing received yet.
    void install(const std::string& name) {
        root = platform::Paths::dataHome() / "e2e" / name;
        fs::remove_all(root);
        for (const char* sub : {"config", "data", "cache", "state", "tmp"}) fs::create_directories(root / sub);
        server.clear();
    }
    // A race, run several times: each run in a new installation.
    template <class Run>
    void repeat(const std::string& name, int runs, Run&& run) {
        for (int i = 0; i < runs && !HasFatalFailure(); ++i) {
            SCOPED_TRACE(i);
            install(name + "-" + std::to_string(i));
            run();
        }
    }

    Start start(Vars vars) { return startTogether({std::move(vars)}).at(0); }

    // Starts at once, each with its variables; waits for all of them.
    std::vector<Start> startTogether(std::vector<Vars> all) {
        std::vector<std::pair<pid_t, std::string>> running;
        for (auto& vars : all) running.push_back(spawn(std::move(vars)));
        std::vector<Start> done;
        for (const auto& spawned : running) done.push_back(finish(spawned));
        return done;
    }

    std::pair<pid_t, std::string> spawn(Vars vars) {
        std::vector<std::string> all;
        for (char** e = environ; *e; ++e) all.emplace_back(*e);
        vars.try_emplace("URL", server.baseURL());
        vars["ROOT"] = root.string();
        vars["CA"] = TestHTTPServer::caCertificatePath().string();
        vars.try_emplace("EVENTS", (root / "events").string());
        for (const auto& [k, v] : vars) all.push_back("QV_CHILD_" + k + "=" + v);
        all.push_back("TMPDIR=" + (root / "tmp").string());
        std::vector<char*> envp;
        for (auto& v : all) envp.push_back(v.data());
        envp.push_back(nullptr);
        std::string exe = fs::read_symlink("/proc/self/exe").string(), filter = "--gtest_filter=CrashesAcrossStartsChild.Run",
                    uncaught = "--gtest_catch_exceptions=0";
        char* argv[] = {exe.data(), filter.data(), uncaught.data(), nullptr};
        const std::string log = (root / ("start-" + std::to_string(++starts) + ".log")).string();
        posix_spawn_file_actions_t output;
        posix_spawn_file_actions_init(&output);
        posix_spawn_file_actions_addopen(&output, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&output, 1, 2);
        pid_t pid = 0;
        if (::posix_spawn(&pid, exe.c_str(), &output, nullptr, argv, envp.data()) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&output);
        return {pid, log};
    }

    // Waits until the spawned start writes the file; false when it ended first.
    static bool awaitFileFrom(const std::pair<pid_t, std::string>& spawned, const std::string& file) {
        siginfo_t ended{};
        while (!fs::exists(file) && ::waitid(P_PID, spawned.first, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               ended.si_pid == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return fs::exists(file);
    }

    static Start finish(const std::pair<pid_t, std::string>& spawned) {
        Start result = waitFor(spawned.first);
        platform::readFile(spawned.second, result.output);
        return result;
    }

    std::vector<platform::Value> accepted(const std::string& type) const {
        std::vector<platform::Value> out;
        for (const auto& log : server.acceptedLogs())
            if (log["type"].asString() == type) out.push_back(log);
        return out;
    }
    // That many crashes arrived, each once.
    void expectEachCrashSentOnce(size_t crashes) const {
        std::map<std::string, int> sent;
        for (const auto& log : accepted("appleError")) ++sent[log["id"].asString()];
        EXPECT_EQ(sent.size(), crashes);
        for (const auto& [id, times] : sent) EXPECT_EQ(times, 1) << id;
    }
    std::vector<std::string> events() const { return lines(root / "events"); }
    fs::path crashesFolder() const { return root / "data/com.quorvane.Quorvane/com.dedozirav.revazezar/crashes"; }
    // How often each handled error's message arrived.
    std::map<std::string, int> handledMessages(const FakeIngestionServer& ingestion) const {
        std::map<std::string, int> sent;
        for (const auto& log : ingestion.acceptedLogs())
            if (log["type"].asString() == "handledError") ++sent[log["exception"]["message"].asString()];
        return sent;
    }
    static std::map<std::string, int> once(const std::string& tag, int count, std::map<std::string, int> more = {}) {
        for (int i = 0; i < count; ++i) more[tag + "-" + std::to_string(i)] = 1;
        return more;
    }

    FakeIngestionServer server;
    fs::path root;
    int starts = 0;
};

TEST_F(CrashesAcrossStarts, EachKindOfCrashIsSentOnceAtTheNextStartWithTheSessionOfItsTime) {
    for (auto [kind, signo] :
         {std::pair{"segv", SIGSEGV}, {"abort", SIGABRT}, {"cxx-main", SIGABRT}, {"cxx-thread", SIGABRT}}) {
        SCOPED_TRACE(kind);
        install(kind);
        const std::string session = std::string("session-") + kind;
        ASSERT_TRUE(start({{"SESSION", session}, {"CRASH", kind}}).crashedWith(signo));
        ASSERT_TRUE(start({{"SESSION", "session-after"}}).exitedCleanly());
        std::vector<platform::Value> logs;
        for (const auto& log : accepted("appleError"))
            if (log["sid"].asString() == session) logs.push_back(log);
        ASSERT_EQ(logs.size(), 1u);
        const auto& log = logs[0];
        EXPECT_EQ(log["osExceptionType"].asString(), std::string("SIG") + sigabbrev_np(signo));
        EXPECT_TRUE(log["fatal"].asBool());
        const auto& threads = log["threads"].asArray();
        ASSERT_FALSE(threads.empty());
        EXPECT_FALSE(threads[0]["frames"].asArray().empty());
        if (std::string(kind) == "cxx-thread") EXPECT_GE(threads.size(), 2u);
        EXPECT_FALSE(log["binaries"].asArray().empty());
        EXPECT_EQ(events(), (std::vector<std::string>{"crashed-last", "will-send " + log["id"].asString(),
                                                      "did-send " + log["id"].asString()}));

        const size_t crashLogs = accepted("appleError").size();
        ASSERT_TRUE(start({}).exitedCleanly());
        EXPECT_EQ(accepted("appleError").size(), crashLogs);
        EXPECT_EQ(events().size(), 3u);  // no crash, nothing sent
    }

    // The next start begins within the second of the crash (a service manager restarts at once):
    // the crash still gets the session of its own run, not the one the next start has begun.
    // A crash that took so long that its second ended first does not test this: tried again.
    bool sameSecond = false;
    for (int attempt = 0; attempt < 3 && !sameSecond; ++attempt) {
        install("restart-" + std::to_string(attempt));
        const std::string crashedAt = (root / "crashed-at").string();
        ASSERT_TRUE(
            start({{"SESSION", "session-crashed"}, {"CRASH", "segv"}, {"CRASH_AT", crashedAt}}).crashedWith(SIGSEGV));
        const double t0 = std::stod(lines(crashedAt).at(0));
        char clock[32];
        std::snprintf(clock, sizeof clock, "%.3f", std::floor(t0) + 0.95);
        ASSERT_TRUE(start({{"SESSION", "session-next"}, {"CLOCK", clock}}).exitedCleanly());
        auto logs = accepted("appleError");
        ASSERT_EQ(logs.size(), 1u);
        const double stamped = unixFromISO8601(logs[0]["timestamp"].asString());
        sameSecond = std::floor(stamped) == std::floor(t0);
        if (!sameSecond) continue;
        EXPECT_EQ(logs[0]["sid"].asString(), "session-crashed");
        EXPECT_LT(stamped, std::floor(t0) + 0.95);
    }
    EXPECT_TRUE(sameSecond) << "no crash of three stayed within its second";
}

TEST_F(CrashesAcrossStarts, AWorkersCrashIsSentWhenTheMainThreadEndsTheProcessMeanwhile) {
    repeat("worker", 5, [&] {
        ASSERT_TRUE(start({{"SESSION", "session-worker"}, {"CRASH", "worker"}}).crashedWith(SIGSEGV));
        auto second = start({});
        ASSERT_TRUE(second.exitedCleanly());
        auto logs = accepted("appleError");
        ASSERT_EQ(logs.size(), 1u) << second;
        EXPECT_EQ(logs[0]["sid"].asString(), "session-worker");
        EXPECT_EQ(logs[0]["osExceptionType"].asString(), "SIGSEGV");
    });
}

TEST_F(CrashesAcrossStarts, ConfirmationAttachmentsHandledErrorsAndAnIngestionThatWasDown) {
    install("confirmation");
    // Each report once, in the order first accepted: a start that ends with a request in flight
    // never hears the answer, so a report may arrive twice (the next start sends it again).
    auto idsOf = [&](const std::string& type) {
        std::vector<std::string> out;
        for (const auto& log : accepted(type))
            if (std::find(out.begin(), out.end(), log["id"].asString()) == out.end()) out.push_back(log["id"].asString());
        return out;
    };

    // "Don't send": asked, nothing sent, the report is gone.
    ASSERT_TRUE(start({{"CRASH", "segv"}}).crashedWith(SIGSEGV));
    ASSERT_TRUE(start({{"CONFIRM", "dontsend"}}).exitedCleanly());
    EXPECT_EQ(events(), (std::vector<std::string>{"crashed-last", "asked"}));
    EXPECT_TRUE(idsOf("appleError").empty());
    std::error_code ec;
    EXPECT_TRUE(fs::is_empty(crashesFolder(), ec));

    // "Always send", with an attachment and a handled error.
    ASSERT_TRUE(start({{"CRASH", "abort"}}).crashedWith(SIGABRT));
    ASSERT_TRUE(start({{"CONFIRM", "always"}, {"ATTACH", "1"}, {"HANDLED", "1"}}).exitedCleanly());
    ASSERT_EQ(idsOf("appleError").size(), 1u);
    const std::string firstId = idsOf("appleError")[0];
    auto attachments = accepted("errorAttachment");
    ASSERT_EQ(attachments.size(), 1u);
    EXPECT_EQ(attachments[0]["errorId"].asString(), firstId);
    EXPECT_EQ(attachments[0]["fileName"].asString(), "sync.log");
    auto handled = accepted("handledError");
    ASSERT_EQ(handled.size(), 1u);
    EXPECT_EQ(handled[0]["properties"]["screen"].asString(), "groups");
    EXPECT_EQ(handled[0]["exception"]["message"].asString(), "unknown group");

    // Remembered: not asked again. The ingestion is down, so the crash stays stored ...
    ASSERT_TRUE(start({{"CRASH", "segv"}}).crashedWith(SIGSEGV));
    // (Whether the down start got as far as trying to send is its own business: its events go apart.)
    server.script(std::vector<FakeIngestionServer::Answer>(10000, {503}));
    ASSERT_TRUE(start({{"CONFIRM", "always"}, {"ATTACH", "1"}, {"OFFLINE", "1"}, {"EVENTS", (root / "events-offline").string()}})
                    .exitedCleanly());
    EXPECT_EQ(lines(root / "events-offline").at(0), "crashed-last");
    for (const auto& line : lines(root / "events-offline")) EXPECT_NE(line, "asked");
    // Still down while counted: a request of that start the server reads late is refused too.
    EXPECT_EQ(idsOf("appleError").size(), 1u);
    server.script({});
    // ... and leaves with its attachment when the ingestion is back.
    ASSERT_TRUE(start({}).exitedCleanly());
    auto ids = idsOf("appleError");
    ASSERT_EQ(ids.size(), 2u);
    const std::string secondId = ids[1];
    EXPECT_EQ(accepted("errorAttachment").at(1)["errorId"].asString(), secondId);

    // A report the ingestion refuses: the delegate hears the failure.
    ASSERT_TRUE(start({{"CRASH", "segv"}}).crashedWith(SIGSEGV));
    server.script(std::vector<FakeIngestionServer::Answer>(10, {400}));
    ASSERT_TRUE(start({}).exitedCleanly());
    server.script({});
    auto all = events();
    ASSERT_FALSE(all.empty());
    const std::string thirdId = all.back().substr(all.back().rfind(' ') + 1);
    EXPECT_EQ(all, (std::vector<std::string>{
                       "crashed-last", "asked",                                                  // declined
                       "crashed-last", "asked", "will-send " + firstId, "did-send " + firstId,  // always
                       "will-send " + secondId, "did-send " + secondId,                        // back
                       "crashed-last", "will-send " + thirdId, "did-fail 400 " + thirdId}));
}

// Four starts at once with six crashes' reports pending: each report is taken over by one start,
// stored under a name of its own, processed by one start and sent once.
TEST_F(CrashesAcrossStarts, PendingReportsAreSentOnceByStartsAtOnce) {
    repeat("together", 10, [&] {
        for (const auto& crashed : startTogether(std::vector<Vars>(6, {{"ENGINE_CRASH", "1"}})))
            ASSERT_TRUE(crashed.crashedWith(SIGSEGV));
        // Meanwhile the "crashes" folder is cleaned up again and again, as each start does: a copy
        // on its way there is never taken for abandoned, however soon it is seen.
        std::atomic<bool> finished{false};
        std::thread cleaner([&, crashes = crashesFolder()] {
            while (!finished) MSCrashesUtil::removeAbandonedTemporaries(crashes);
        });
        const auto ended = startTogether(std::vector<Vars>(4));
        finished = true;
        cleaner.join();
        for (const auto& s : ended) ASSERT_TRUE(s.exitedCleanly());
        expectEachCrashSentOnce(6);
    });
}

// A start ends while reading a report it took over, and another start runs meanwhile: that one
// leaves the reader's marker alone and says nothing of it; the start after the reader ended
// purges the report unread, saying so.
TEST_F(CrashesAcrossStarts, AReportItsReaderEndedOnIsPurgedThoughAnotherStartRanMeanwhile) {
    install("reader");
    for (int crash = 0; crash < 2; ++crash) ASSERT_TRUE(start({{"ENGINE_CRASH", "1"}}).crashedWith(SIGSEGV));
    const std::string reading = (root / "reading").string(), release = (root / "release").string();
    const auto reader = spawn({{"READING", reading}, {"RELEASE", release}});
    siginfo_t ended{};
    while (!fs::exists(reading) && ::waitid(P_PID, reader.first, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           ended.si_pid == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(fs::exists(reading)) << finish(reader);
    auto markers = [&] {
        std::error_code ec;
        return std::count_if(fs::directory_iterator(crashesFolder(), ec), fs::directory_iterator(), [](const auto& e) {
            return e.path().extension() == fs::path(MSCrashes::kMSAnalyzerFilename).extension();
        });
    };
    const std::string purged = "Error on loading the crash report, it will be purged.";
    const Start beside = start({});  // takes the other report over
    ASSERT_TRUE(beside.exitedCleanly());
    EXPECT_EQ(beside.output.find(purged), std::string::npos) << beside;
    EXPECT_EQ(markers(), 1);
    appendLine(release, "end");
    ASSERT_TRUE(finish(reader).crashedWith(SIGKILL));
    const Start next = start({});
    ASSERT_TRUE(next.exitedCleanly());
    EXPECT_NE(next.output.find(purged), std::string::npos) << next;
    EXPECT_EQ(markers(), 0);
    EXPECT_EQ(accepted("appleError").size(), 1u);
}

// Two processes of the application run side by side; the first crashes with five logs in its
// crash-time buffer, the second later with three. Then two starts at once: each buffered log is
// sent once, none lost to the other process's crash.
TEST_F(CrashesAcrossStarts, EachProcessKeepsItsOwnCrashTimeBufferAndOneStartSendsIt) {
    repeat("buffers", 10, [&] {
        const std::string ready = (root / "b-ready").string(), firstCrashed = (root / "a-crashed").string();
        auto b = spawn({{"READY", ready}, {"AWAIT", firstCrashed}, {"BUFFERED", "3"}, {"TAG", "b"}, {"CRASH", "segv"}});
        auto a = finish(spawn({{"AWAIT", ready}, {"BUFFERED", "5"}, {"TAG", "a"}, {"CRASH", "segv"}}));
        appendLine(firstCrashed, "crashed");
        const Start second = finish(b);
        ASSERT_TRUE(a.crashedWith(SIGSEGV));
        ASSERT_TRUE(second.crashedWith(SIGSEGV));
        for (const auto& s : startTogether(std::vector<Vars>(2))) ASSERT_TRUE(s.exitedCleanly());
        EXPECT_EQ(handledMessages(server), once("a", 5, once("b", 3)));
        EXPECT_EQ(accepted("appleError").size(), 2u);
    });
}

// Two profiles, each with its own ingestion and files: what one profile's run left at its crash
// (its report and the logs in its crash-time buffer) is sent by a start of that profile only.
TEST_F(CrashesAcrossStarts, EachProfileSendsOnlyItsOwnCrashesAndBufferedLogs) {
    install("profiles");
    FakeIngestionServer beta;
    const std::string alphaFolder = (root / "alpha").string(), betaFolder = (root / "beta").string();
    ASSERT_TRUE(
        start({{"PROFILE", alphaFolder}, {"BUFFERED", "3"}, {"TAG", "alpha"}, {"CRASH", "segv"}}).crashedWith(SIGSEGV));
    ASSERT_TRUE(start({{"PROFILE", betaFolder}, {"URL", beta.baseURL()}}).exitedCleanly());
    for (const auto& log : beta.acceptedLogs()) EXPECT_EQ(log["type"].asString(), "startService");
    EXPECT_TRUE(accepted("appleError").empty());
    ASSERT_TRUE(start({{"PROFILE", alphaFolder}}).exitedCleanly());
    EXPECT_EQ(accepted("appleError").size(), 1u);
    EXPECT_EQ(handledMessages(server), once("alpha", 3));
    EXPECT_TRUE(handledMessages(beta).empty());
}

// A child forked without exec has a crash-time buffer of its own: its crash while the parent
// lives sends nothing of the parent's twice; the parent's crash is sent while the child lives;
// the child's crash after the parent's loses nothing of the parent's. (What the child keeps is
// settled at the fork, not by a race: one run tells.)
TEST_F(CrashesAcrossStarts, AForkedChildKeepsABufferOfItsOwn) {
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);  // the orphaned children are ours to wait for
    install("fork");
    ASSERT_TRUE(start({{"BUFFERED", "3"}, {"TAG", "a"}, {"FORK", "crash"}}).exitedCleanly());

    const std::string release = (root / "release").string();
    ASSERT_TRUE(start({{"FORK", "live"}, {"RELEASE", release}, {"BUFFERED", "3"}, {"TAG", "b"}, {"CRASH", "segv"}})
                    .crashedWith(SIGSEGV));
    const pid_t child = std::stoi(lines(root / "forked").at(0));
    ASSERT_TRUE(start({}).exitedCleanly());
    EXPECT_EQ(handledMessages(server), once("a", 3, once("b", 3)));

    appendLine(release, "crash");
    ASSERT_TRUE(waitFor(child).crashedWith(SIGSEGV));
    ASSERT_TRUE(start({}).exitedCleanly());
    EXPECT_EQ(handledMessages(server), once("a", 3, once("b", 3)));
    EXPECT_EQ(accepted("appleError").size(), 3u);
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

// Starts that crash while the logs they took from a crashed process's buffer wait for a busy
// store: the logs are sent once, by the start that stores them.
TEST_F(CrashesAcrossStarts, StartsCrashingWhileReplayingABufferSendItOnce) {
    repeat("replay", 10, [&] {
        ASSERT_TRUE(start({{"BUFFERED", "5"}, {"TAG", "a"}, {"CRASH", "segv"}}).crashedWith(SIGSEGV));
        for (int replaying = 0; replaying < 2; ++replaying)
            ASSERT_TRUE(start({{"STORE_BUSY", "1"}, {"CRASH", "segv"}}).crashedWith(SIGSEGV));
        ASSERT_TRUE(start({}).exitedCleanly());
        EXPECT_EQ(handledMessages(server), once("a", 5));
        EXPECT_EQ(accepted("appleError").size(), 3u);
    });
}

// A start killed while storing a crash: right after its attachment's transaction (the crash log
// not stored yet), right after the crash log's, or as soon as the report file is gone. The next
// start sends the crash and its attachment once each.
TEST_F(CrashesAcrossStarts, AStartKilledWhileStoringACrashLeavesItSentOnceWithItsAttachment) {
    for (const std::string step : {"attachment-stored", "crash-stored", "report-gone"}) {
        SCOPED_TRACE(step);
        install(step);
        ASSERT_TRUE(start({{"CRASH", "segv"}}).crashedWith(SIGSEGV));
        auto killed = start({{"ATTACH", "1"}, {"KILL_AT", step}});
        // Once the report is gone nothing may be left to store: then the start ends unharmed.
        ASSERT_TRUE(killed.crashedWith(SIGKILL) || (step == "report-gone" && killed.exitedCleanly())) << killed;
        ASSERT_TRUE(start({{"ATTACH", "1"}}).exitedCleanly());
        auto crashLogs = accepted("appleError");
        ASSERT_EQ(crashLogs.size(), 1u);
        // An attachment the killed start had sent may come again (it never heard the answer).
        std::set<std::string> attachments;
        for (const auto& log : accepted("errorAttachment")) {
            attachments.insert(log["id"].asString());
            EXPECT_EQ(log["errorId"].asString(), crashLogs[0]["id"].asString());
        }
        EXPECT_EQ(attachments.size(), 1u);
    }
}

// A start killed right after it stored a crash log (before its report's marked file went) while
// another start runs beside it and sends that log: the crash arrives once, and the starts after
// them (the next run's start beside, and a last one) send it no more. Ten runs.
TEST_F(CrashesAcrossStarts, ACrashStoredByAStartKilledBesideAnotherIsSentOnce) {
    install("beside");
    for (int run = 0; run < 10 && !HasFatalFailure(); ++run) {
        SCOPED_TRACE(run);
        const std::string paused = (root / ("paused-" + std::to_string(run))).string(),
                          resume = (root / ("resume-" + std::to_string(run))).string();
        const auto beside =
            spawn({{"PAUSE_AT", "crashes-count"}, {"PAUSED", paused}, {"RESUME", resume}, {"FLUSH", "1"}});
        ASSERT_TRUE(awaitFileFrom(beside, paused)) << finish(beside);
        ASSERT_TRUE(start({{"ENGINE_CRASH", "1"}}).crashedWith(SIGSEGV));
        ASSERT_TRUE(start({{"KILL_AT", "crash-stored"}, {"FLUSH", "1"}}).crashedWith(SIGKILL));
        appendLine(resume, "go");
        ASSERT_TRUE(finish(beside).exitedCleanly());
    }
    ASSERT_TRUE(start({}).exitedCleanly());
    expectEachCrashSentOnce(10);
}

// A run sets its session; two starts of the application begin at once beside it (each with no
// report to send cuts the session history back; one of them sends the crash of the run before);
// then the run crashes: its crash carries its own session, not theirs nor none. Ten runs.
TEST_F(CrashesAcrossStarts, ACrashCarriesTheSessionOfItsOwnRunWhateverStartsRanBeside) {
    install("sessions");
    auto sessionsSent = [&] {
        std::vector<std::string> out;
        for (const auto& log : accepted("appleError")) out.push_back(log["sid"].asString());
        return out;
    };
    std::vector<std::string> crashed;
    for (int run = 0; run < 10 && !HasFatalFailure(); ++run) {
        SCOPED_TRACE(run);
        const std::string ready = (root / ("ready-" + std::to_string(run))).string(),
                          release = (root / ("release-" + std::to_string(run))).string();
        crashed.push_back("session-crashed-" + std::to_string(run));
        const auto crashing = spawn(
            {{"SESSION", crashed.back()}, {"READY", ready}, {"AWAIT", release}, {"CRASH", "segv"}, {"FLUSH", "1"}});
        ASSERT_TRUE(awaitFileFrom(crashing, ready)) << finish(crashing);
        for (const auto& s :
             startTogether({{{"SESSION", "session-a"}, {"FLUSH", "1"}}, {{"SESSION", "session-b"}, {"FLUSH", "1"}}}))
            ASSERT_TRUE(s.exitedCleanly()) << s;
        appendLine(release, "crash");
        ASSERT_TRUE(finish(crashing).crashedWith(SIGSEGV));
    }
    ASSERT_TRUE(start({}).exitedCleanly());
    EXPECT_EQ(sessionsSent(), crashed);
}

}  // namespace
