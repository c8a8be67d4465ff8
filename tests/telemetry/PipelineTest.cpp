// Channel units, the log store and the ingestion against the fake ingestion server.

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>
#include <future>
#include <set>
#include <tuple>
#include <thread>

#include "PipelineTestSupport.h"
#include "telemetry/MSUserDefaults.h"
#include "tests/support/FreshProcess.h"
#include "platform/contacts/ContactsDatabase.h"
#include "platform/foundation/Base64.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/RunLoop.h"
#include "telemetry/MSTicketCache.h"

using namespace quorvane;
using namespace quorvane::test;
using Answer = FakeIngestionServer::Answer;

namespace {

// Lets nothing run on a queue until opened.
struct QueueGate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    explicit QueueGate(platform::DispatchQueue& queue) {
        queue.async([this] {
            std::unique_lock lock(mutex);
            cv.wait(lock, [&] { return open; });
        });
    }
    void release() {
        std::lock_guard lock(mutex);
        open = true;
        cv.notify_all();
    }
};

TEST(Pipeline, AcceptedBatchIsDeletedAndDelegatesHearEachStepInOrder) {
    PipelineFixture f;
    auto unit = f.unit(2);
    unit->enqueueItem(numberedLog(1));
    unit->enqueueItem(numberedLog(2));
    ASSERT_TRUE(f.delegate->waitFor("didSucceed", 2));
    EXPECT_EQ(f.acceptedNumbers(), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(f.storage->countAllLogs(), 0u);
    auto batch = f.server.batches().at(0);
    EXPECT_EQ(batch.header("App-Secret"), "app-secret-1");
    EXPECT_EQ(batch.header("Install-ID"), "install-1");
    EXPECT_EQ(batch.logs[0]["device"]["model"].asString(), "ThinkStation P3");
    std::lock_guard lock(f.delegate->mutex);
    const std::vector<std::string> first{"prepare 1", "didPrepare 1"};
    EXPECT_TRUE(std::equal(first.begin(), first.end(), f.delegate->events.begin()));
    auto pos = [&](const std::string& e) {
        return std::find(f.delegate->events.begin(), f.delegate->events.end(), e) - f.delegate->events.begin();
    };
    EXPECT_LT(pos("shouldFilter 1"), pos("didCompleteEnqueueing 1"));
    EXPECT_LT(pos("didCompleteEnqueueing 2"), pos("willSend 1"));
    EXPECT_LT(pos("willSend 2"), pos("didSucceed 1"));
}

TEST(Pipeline, RecoverableFailuresKeepTheBatchAndRetryUntilAccepted) {
    struct Case {
        const char* name;
        Answer answer;
    };
    const std::vector<Case> cases{{"500", {500}}, {"503", {503}}, {"408", {408}}, {"429", {429}},
                                  {"500 cut short", {500, 0, true}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PipelineFixture f;
        f.server.script(std::vector<Answer>(1000, c.answer));
        auto unit = f.unit(3);
        for (int i = 0; i < 3; ++i) unit->enqueueItem(numberedLog(i));
        ASSERT_TRUE(f.server.waitForBatchCount(3, 60));  // failed, retried, failed again
        EXPECT_EQ(f.storage->countAllLogs(), 3u);
        EXPECT_EQ(f.delegate->count("didSucceed") + f.delegate->count("didFail"), 0);
        for (const auto& b : f.server.batches()) EXPECT_EQ(b.logs.size(), 3u);
        f.server.script({});  // the server recovers
        ASSERT_TRUE(f.delegate->waitFor("didSucceed", 3));
        EXPECT_EQ(f.acceptedNumbers(), (std::vector<std::string>{"0", "1", "2"}));
        EXPECT_EQ(f.storage->countAllLogs(), 0u);
        EXPECT_EQ(f.delegate->count("didFail"), 0);
    }
}

TEST(Pipeline, RefusedBatchIsDroppedAndDelegatesHearTheFailure) {
    PipelineFixture f;
    f.server.script({{403}});  // about the request, not the logs: no use sending them again
    auto unit = f.unit(2);
    unit->enqueueItem(numberedLog(1));
    unit->enqueueItem(numberedLog(2));
    ASSERT_TRUE(f.delegate->waitFor("didFail", 2));
    EXPECT_EQ(f.storage->countAllLogs(), 0u);
    EXPECT_EQ(f.delegate->errors.at(0).code, 403);
    unit->enqueueItem(numberedLog(3));
    unit->enqueueItem(numberedLog(4));
    ASSERT_TRUE(f.delegate->waitFor("didSucceed", 2));
    EXPECT_EQ(f.acceptedNumbers(), (std::vector<std::string>{"3", "4"}));  // 1 and 2 were not sent again
    EXPECT_EQ(f.server.batchCount(), 2u);
}

// A 2xx is the server's acceptance, also when its body cannot be read; a redirect is not
// followed (nothing reaches another origin, or goes in clear): the logs fail with the 3xx.
TEST(Pipeline, EachLogEndsOnceWithA2xxWhoseBodyIsUnreadableOrARedirect) {
    FakeIngestionServer elsewhere;
    const std::string other = elsewhere.baseURL() + "/logs?api-version=1.0.0";
    std::string clear = other;
    clear.replace(0, 5, "http");
    struct Case {
        const char* name;
        Answer answer;
        bool accepted;
    };
    const std::vector<Case> cases{
        {"200 cut short", {200, 0, true}, true},
        {"200 not the gzip it says", {200, 0, false, {{"Content-Encoding", "gzip"}}}, true},
        {"302 on the POST", {302, 0, false, {{"Location", "/logs?api-version=1.0.0"}}}, false},
        {"307 to another origin", {307, 0, false, {{"Location", other}}}, false},
        {"308 to http", {308, 0, false, {{"Location", clear}}}, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PipelineFixture f;
        f.server.script({c.answer});
        auto unit = f.unit(2);
        unit->enqueueItem(numberedLog(1));
        unit->enqueueItem(numberedLog(2));
        ASSERT_TRUE(f.delegate->waitFor(c.accepted ? "didSucceed" : "didFail", 2));
        f.group->logsQueue()->sync([] {});
        EXPECT_EQ(f.delegate->count("didSucceed") + f.delegate->count("didFail"), 2);
        EXPECT_EQ(f.ingestion->requestCount(), 1u);
        EXPECT_EQ(f.server.batchCount(), 1u);
        EXPECT_EQ(f.storage->countAllLogs(), 0u);
        if (!c.accepted) {
            EXPECT_EQ(f.delegate->errors.at(0).code, c.answer.status);
        }
    }
    EXPECT_EQ(elsewhere.batchCount(), 0u);
}

// The disk fills while the batch is in flight, or before it is loaded (then it goes unclaimed);
// the store comes back in the same process, or only after a restart: either way the accepted
// logs are deleted first and none is sent again.
TEST(Pipeline, AnAcceptedBatchIsNotSentAgainWhenItsDeleteFailsAndTheStoreComesBack) {
    for (const bool fullBeforeLoading : {false, true})
    for (const bool restart : {false, true}) {
        SCOPED_TRACE(std::string(restart ? "restart" : "same process") + (fullBeforeLoading ? ", full before loading" : ""));
        SDKLogCapture log(MSLogLevel::Info);
        PipelineFixture f;
        auto unit = f.unit(50);
        fullBeforeLoading ? unit->pauseWithIdentifyingObject(&f) : f.server.server().hold("/logs");
        std::vector<std::string> expected;
        for (int i = 1; i <= 50; ++i) unit->enqueueItem(numberedLog(i)), expected.push_back(std::to_string(i));
        if (fullBeforeLoading) ASSERT_TRUE(f.delegate->waitFor("didCompleteEnqueueing", 50));
        else ASSERT_TRUE(f.server.server().waitForHeld("/logs", 1, 60));
        {
            DiskFull full;
            fullBeforeLoading ? unit->resumeWithIdentifyingObject(&f) : f.server.server().release("/logs");
            ASSERT_TRUE(f.delegate->waitFor("didSucceed", 50, 60));  // accepted; the delete failed
            EXPECT_EQ(f.storage->undeletedCount(), 50u);
            unit->flushQueue();
            f.group->logsQueue()->sync([] {});
            // A log the full disk cannot take: the delegates hear that it was not stored.
            unit->enqueueItem(numberedLog(99));
            ASSERT_TRUE(f.delegate->waitFor("didCompleteEnqueueing", 51, 60));
            EXPECT_EQ(f.delegate->outcome("99"), MSEnqueueOutcome::NotStored);
            if (restart) {  // the process ends while nothing can be written
                f.group->logsQueue()->sync([] {});
                unit.reset();
                f.group.reset();
                f.storage.reset();
            }
        }
        if (restart) {
            f.storage = std::make_shared<MSLogDBStorage>(f.file);
            f.group = MSChannelGroup::make(f.ingestion, f.storage);
            f.group->addDelegate(f.delegate);
            unit = f.unit(50);  // its group's stored logs are the 50 sent ones
        }
        // The disk has room again: the store deletes the sent logs and takes new ones.
        auto after = f.unit(2, "After");
        after->enqueueItem(numberedLog(3));
        after->enqueueItem(numberedLog(4));
        ASSERT_TRUE(f.delegate->waitFor("didSucceed", 52, 60));
        f.group->logsQueue()->sync([] {});  // whatever the units took from the store is on its way
        for (int i = 0; i < 6000 && f.ingestion->pendingCallCount() > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        expected.insert(expected.end(), {"3", "4"});
        EXPECT_EQ(f.acceptedNumbers(), expected);
        EXPECT_EQ(f.storage->undeletedCount(), 0u);
        EXPECT_EQ(f.storage->countAllLogs(), 0u);
        std::vector<std::string> retried;  // said once, with the number, and not for an ordinary delete
        for (const auto& text : log.texts())
            if (text.find("whose delete had failed") != std::string::npos) retried.push_back(text);
        EXPECT_EQ(retried, std::vector<std::string>{"Deleted the 50 sent logs whose delete had failed."});
    }
}

// After one failed delete the full disk still lets the file be read: its other logs go out.
TEST(Pipeline, LogsGoOutWhileTheDiskIsFullAfterADeleteFailed) {
    PipelineFixture f;
    auto unit = f.unit(10, "Test", 1);
    unit->pauseWithIdentifyingObject(&f);
    for (int i = 0; i < 40; ++i) unit->enqueueItem(numberedLog(i));
    ASSERT_TRUE(f.delegate->waitFor("didCompleteEnqueueing", 40));
    {
        DiskFull full;
        unit->resumeWithIdentifyingObject(&f);
        ASSERT_TRUE(f.delegate->waitFor("didSucceed", 40, 60));
        EXPECT_EQ(f.storage->undeletedCount(), 40u);
    }
    const auto accepted = f.acceptedNumbers();
    EXPECT_EQ(std::set<std::string>(accepted.begin(), accepted.end()).size(), 40u);
    EXPECT_EQ(f.storage->countAllLogs(), 0u);  // deleted once the disk has room
}

// A file that is not a database, or whose table has another layout, is set aside as it was and
// a new store takes the logs of that start and the next.
TEST(Pipeline, AStoreFileThatIsNotADatabaseIsMovedAsideAndANewStoreTakesTheLogs) {
    PipelineFixture f;
    const std::vector<std::pair<std::string, std::string>> cases{
        {"not a database", ""},
        {"another layout", "CREATE TABLE logs (id INTEGER PRIMARY KEY, groupId TEXT, log TEXT, targetKey TEXT, "
                           "targetToken TEXT); INSERT INTO logs (groupId, log) VALUES ('G', 'kept')"}};
    int n = 0;
    for (const auto& [name, sql] : cases) {
        SCOPED_TRACE(name);
        // A folder of each case's own: a store of the last one may still be winding down on its file.
        const auto file = f.file.parent_path() / ("damaged-" + std::to_string(n)) / "Logs.sqlite";
        std::filesystem::remove_all(file.parent_path());
        std::filesystem::create_directories(file.parent_path());
        if (sql.empty()) {
            ASSERT_TRUE(platform::writeFileAtomically(file, std::string(5000, 'g')));
        } else {
            sqlite3* raw = nullptr;
            ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(raw);
        }
        std::string original;
        ASSERT_TRUE(platform::readFile(file, original));
        for (int start = 0; start < 2; ++start, ++n) {  // the first start recovers; a later one finds the new store
            SDKLogCapture log(MSLogLevel::Error);
            auto storage = std::make_shared<MSLogDBStorage>(file);
            ASSERT_TRUE(storage->isOpen());
            std::string aside;
            ASSERT_TRUE(platform::readFile(storage->damagedPath(), aside));
            EXPECT_EQ(aside, original);
            const auto errors = log.texts();
            ASSERT_EQ(errors.size(), start == 0 ? 1u : 0u);
            if (start == 0) {
                EXPECT_NE(errors[0].find("moved it to " + storage->damagedPath().string()), std::string::npos);
            }
            auto group = MSChannelGroup::make(f.ingestion, storage);
            group->addDelegate(f.delegate);
            // A group id of each start's own: the last start's unit may still be winding down on the file.
            auto unit = group->addChannelUnitWithConfiguration(
                MSChannelUnitConfiguration::initWithGroupId("D" + std::to_string(n), 1, 3600, 1, 3));
            unit->enqueueItem(numberedLog(n));
            ASSERT_TRUE(f.delegate->waitFor("didSucceed", n + 1, 60));
        }
    }
    EXPECT_EQ(f.acceptedNumbers(), (std::vector<std::string>{"0", "1", "2", "3"}));
}

// 431: a log whose target token makes the headers too long.
TEST(Pipeline, ABatchRefusedForWhatItHoldsIsSplitUntilOnlyTheRefusedLogIsDropped) {
    for (int status : {413, 400, 431}) {
        SCOPED_TRACE(status);
        PipelineFixture f;
        f.server.setRule([status](const FakeIngestionServer::Batch& b) -> std::optional<Answer> {
            for (const auto& log : b.logs)
                if (log["properties"]["n"].asString() == "5") return Answer{status};
            return std::nullopt;
        });
        auto unit = f.unit(8);
        for (int i = 0; i < 8; ++i) unit->enqueueItem(numberedLog(i));
        ASSERT_TRUE(f.delegate->waitFor("didSucceed", 7, 60));
        ASSERT_TRUE(f.delegate->waitFor("didFail", 1, 60));
        auto accepted = f.acceptedNumbers();
        std::sort(accepted.begin(), accepted.end());
        EXPECT_EQ(accepted, (std::vector<std::string>{"0", "1", "2", "3", "4", "6", "7"}));
        std::lock_guard lock(f.delegate->mutex);
        EXPECT_EQ(std::count(f.delegate->events.begin(), f.delegate->events.end(), "didFail 5"), 1);
        EXPECT_EQ(f.delegate->counts["didFail"], 1);
        EXPECT_EQ(f.delegate->errors.at(0).code, status);
        EXPECT_EQ(f.server.batchCount(), 7u);  // 8, 4 + 4, 2 + 2 of the refused half, 1 + 1
    }
}

// A Retry-After makes the next wait longer, never shorter than the client's own.
// A batch of several tenants refused for one tenant's credentials: only that tenant's logs fail.
TEST(Pipeline, ATenantRefusedByItsCredentialsFailsOnlyItsOwnLogs) {
    for (int status : {401, 403}) {
        SCOPED_TRACE(status);
        PipelineFixture f;
        f.server.setRule([status](const FakeIngestionServer::Batch& b) -> std::optional<Answer> {
            if (b.header("apikey").value_or("").find("revoked") != std::string::npos) return Answer{status};
            return std::nullopt;
        });
        auto unit = f.group->addChannelUnitWithConfiguration(
            MSChannelUnitConfiguration::initWithGroupId("T/one", 1, 3600, 40, 3),
            MSOneCollectorIngestion::make(f.server.baseURL(), fastRetries()));
        for (int i = 0; i < 40; ++i) {
            auto log = numberedLog(i);
            log->addTransmissionTargetToken(i % 2 ? "revoked-key" : (i % 4 ? "good-key" : "other-key"));
            unit->enqueueItem(log);
        }
        ASSERT_TRUE(f.delegate->waitFor("didFail", 20, 60));
        ASSERT_TRUE(f.delegate->waitFor("didSucceed", 20, 60));
        std::lock_guard lock(f.delegate->mutex);
        for (int i = 0; i < 40; ++i)
            EXPECT_EQ(std::count(f.delegate->events.begin(), f.delegate->events.end(),
                                 std::string(i % 2 ? "didFail " : "didSucceed ") + std::to_string(i)), 1) << i;
        EXPECT_EQ(f.delegate->errors.at(0).code, status);
    }
}

TEST(Pipeline, RetryAfterOfA429Or503OnlyLengthensTheNextDelay) {
    const std::vector<std::tuple<int, std::string, std::string>> cases{
        {503, "0", "3600."}, {429, " 0 ", "3600."}, {503, "Thu, 01 Jan 1970 00:00:00 GMT", "3600."}, {429, "7200", "7200."}};
    for (const auto& [status, retryAfter, delay] : cases) {
        SCOPED_TRACE(retryAfter);
        MSUserDefaults::shared().removeObjectForKey(MSHttpIngestion::kPausesKey);
        SDKLogCapture log(MSLogLevel::Warning);
        PipelineFixture f;
        MSHttpIngestion::Options slow;
        slow.retryIntervals = {3600};
        auto ingestion = MSRevAzezarIngestion::make(f.server.baseURL(), "s", "i", slow);
        auto group = MSChannelGroup::make(ingestion, f.storage);
        f.server.script({{status, 0, false, {{"Retry-After", retryAfter}}}});
        auto unit = group->addChannelUnitWithConfiguration(MSChannelUnitConfiguration::initWithGroupId("R", 1, 3600, 1, 3));
        unit->enqueueItem(numberedLog(1));
        auto said = [&] {
            for (const auto& text : log.texts())
                if (text.find("retrying in ") != std::string::npos) return text;
            return std::string();
        };
        ASSERT_TRUE(platform::RunLoop::main()->runUntil([&] { return !said().empty(); }, 60));
        EXPECT_NE(said().find("retrying in " + delay), std::string::npos) << said();
        EXPECT_EQ(f.server.batchCount(), 1u);
        group->setEnabled(false, false);
    }
    // The pause holds for the next start at the address (a huge one bounded to a day), for no other
    // address, and ends with a batch taken there.
    for (const std::string retryAfter : {"99999999999", "1"}) {
        SCOPED_TRACE(retryAfter);
        MSUserDefaults::shared().removeObjectForKey(MSHttpIngestion::kPausesKey);
        PipelineFixture f;
        f.server.script({{503, 0, false, {{"Retry-After", retryAfter}}}});
        f.server.server().hold("/logs");
        auto unit = f.unit(1);
        unit->enqueueItem(numberedLog(1));
        ASSERT_TRUE(f.server.server().waitForHeld("/logs", 1, 60));
        // Registered while the answer is held: heard once it came and the pause is kept.
        std::promise<void> answered;
        unit->notifyWhenIdle([&] { answered.set_value(); });
        f.server.server().release("/logs");
        ASSERT_EQ(answered.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
        if (retryAfter == "1") {
            ASSERT_TRUE(f.delegate->waitFor("didSucceed", 1));
            EXPECT_EQ(f.server.batchCount(), 2u);
            EXPECT_FALSE(MSUserDefaults::shared().objectForKey(MSHttpIngestion::kPausesKey));
            continue;
        }
        auto next = MSRevAzezarIngestion::make(f.server.baseURL(), "s", "i");
        EXPECT_GT(next->pauseLeft(f.server.baseURL()), MSHttpIngestion::kMaxRetryAfter - 600);
        EXPECT_LE(next->pauseLeft(f.server.baseURL()), MSHttpIngestion::kMaxRetryAfter);
        EXPECT_EQ(next->pauseLeft("https://127.0.0.1:1"), 0.0);
    }
    MSUserDefaults::shared().removeObjectForKey(MSHttpIngestion::kPausesKey);
    const auto now = platform::Date::fromUnix(1'000'000);
    EXPECT_EQ(MSHttpIngestion::retryAfterDelay("120", now), 120.0);
    EXPECT_EQ(MSHttpIngestion::retryAfterDelay("Mon, 12 Jan 1970 13:47:10 GMT", now), 30.0);
    EXPECT_EQ(MSHttpIngestion::retryAfterDelay("99999999999", now), MSHttpIngestion::kMaxRetryAfter);
    EXPECT_EQ(MSHttpIngestion::retryAfterDelay("soon", now), std::nullopt);
    EXPECT_EQ(MSHttpIngestion::retryAfterDelay("-5", now), std::nullopt);
}

TEST(Pipeline, LogsWaitingToBeStoredStayWithinTheStoresBoundOldestNormalFirst) {
    PipelineFixture f;
    auto unit = f.unit(1000);
    auto sample = numberedLog(10);
    sample->timestamp = platform::Date::now();
    const size_t one = MSLogDBStorage::storedTextForLog(*sample).size();
    f.storage->setMaxStorageSize(int64_t(one * 10 + one / 2));  // ten logs fit
    SDKLogCapture log(MSLogLevel::Warning);
    QueueGate gate(*f.group->logsQueue());  // nothing is stored meanwhile
    unit->enqueueItem(numberedLog(10), MSFlagsCritical);
    for (int i = 11; i < 40; ++i) {
        unit->enqueueItem(numberedLog(i));
        ASSERT_LE(unit->pendingBytes(), size_t(f.storage->maxStorageSize()));
    }
    EXPECT_EQ(unit->droppedLogCount(), 20u);
    // Done with at once, while nothing is stored: a queue that does not drain holds none of them.
    EXPECT_EQ(f.delegate->count("didCompleteEnqueueing"), 20);
    gate.release();
    ASSERT_TRUE(f.delegate->waitFor("didCompleteEnqueueing", 30, 60));  // dropped ones too
    auto batch = f.storage->loadLogsWithGroupId("Test", 100);
    ASSERT_TRUE(batch);
    std::vector<std::string> kept;
    for (const auto& l : batch->logs) kept.push_back(RecordingDelegate::number(l));
    EXPECT_EQ(kept, (std::vector<std::string>{"10", "31", "32", "33", "34", "35", "36", "37", "38", "39"}));
    EXPECT_EQ(f.delegate->outcome("11"), MSEnqueueOutcome::NotStored);
    EXPECT_EQ(f.delegate->outcome("31"), MSEnqueueOutcome::Stored);
    const auto texts = log.texts();
    EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [](const std::string& t) {
        return t.find("dropped the 20 oldest waiting") != std::string::npos;
    }));
}

// Logs that give way to newer ones when the store is full are reported failed, in this run or a
// later one; a normal log never takes the room of a critical one, stored or waiting.
TEST(Pipeline, LogsGivingWayToNewerOnesAreReportedAndNeverForLowerPriorityOnes) {
    PipelineFixture f;
    auto unit = f.unit(1000);
    unit->pauseWithIdentifyingObject(&f);
    auto sample = numberedLog(10);
    sample->timestamp = platform::Date::now();
    const size_t one = MSLogDBStorage::storedTextForLog(*sample).size();
    f.storage->setMaxStorageSize(int64_t(one * 10 + one / 2));  // ten logs fit
    int n = 0;
    auto enqueue = [&](int count, uint32_t flags) {
        for (int i = 0; i < count; ++i, ++n) {
            unit->enqueueItem(numberedLog(n), flags);
            ASSERT_TRUE(f.delegate->waitFor("didCompleteEnqueueing", n + 1));
        }
    };
    enqueue(4, MSFlagsCritical);  // 0-3
    enqueue(30, MSFlagsNormal);   // 4-33: the first 24 give way
    // A later run on the same file: its newer logs push out the last run's.
    f.group->logsQueue()->sync([] {});
    unit.reset();
    f.group.reset();
    f.storage = std::make_shared<MSLogDBStorage>(f.file, int64_t(one * 10 + one / 2));
    f.group = MSChannelGroup::make(f.ingestion, f.storage);
    f.group->addDelegate(f.delegate);
    unit = f.unit(1000);
    unit->pauseWithIdentifyingObject(&f);
    enqueue(3, MSFlagsNormal);  // 34-36: 24-26 give way
    enqueue(7, MSFlagsCritical);  // 37-43: the normal ones give way, then the oldest critical one
    EXPECT_EQ(f.delegate->count("didFail"), 34);  // 0 and 4-36
    auto batch = f.storage->loadLogsWithGroupId("Test", 100);
    ASSERT_TRUE(batch);
    std::set<int> stored;
    for (const auto& log : batch->logs) stored.insert(std::stoi(RecordingDelegate::number(log)));
    EXPECT_EQ(stored, (std::set<int>{1, 2, 3, 37, 38, 39, 40, 41, 42, 43}));
    // Waiting to be stored: a normal log finding only critical ones waiting gives way itself.
    f.storage->deleteLogsWithBatchId(batch->batchId);
    QueueGate gate(*f.group->logsQueue());
    for (int i = 100; i < 110; ++i) unit->enqueueItem(numberedLog(i), MSFlagsCritical);
    unit->enqueueItem(numberedLog(110), MSFlagsNormal);
    EXPECT_EQ(f.delegate->outcome("110"), MSEnqueueOutcome::NotStored);
    EXPECT_FALSE(f.delegate->outcome("100"));
    gate.release();
    ASSERT_TRUE(f.delegate->waitFor("didCompleteEnqueueing", n + 11));
    EXPECT_EQ(f.storage->countAllLogs(), 10u);
}

// Each log goes only to the address it was accepted for: while that is down it waits there, and
// logs accepted after the address changed go to the new one.
TEST(Pipeline, ServerDownKeepsTheLogsAndRetriesWithGrowingDelays) {
    PipelineFixture f;
    f.ingestion->setBaseURL("https://127.0.0.1:" + std::to_string(TestHTTPServer::unusedPort()));
    auto unit = f.unit(1);
    unit->enqueueItem(numberedLog(1));
    ASSERT_TRUE(platform::RunLoop::main()->runUntil([&] { return f.ingestion->requestCount() >= 3; }, 60));
    EXPECT_EQ(f.storage->countAllLogs(), 1u);
    EXPECT_EQ(f.delegate->count("didFail"), 0);
    f.ingestion->setBaseURL(f.server.baseURL());
    unit->enqueueItem(numberedLog(2));
    ASSERT_TRUE(f.delegate->waitFor("didSucceed", 1));
    EXPECT_EQ(f.acceptedNumbers(), std::vector<std::string>{"2"});
    EXPECT_EQ(f.storage->countAllLogs(), 1u);
}

// Apps (or profiles) sharing a log file, with their own secrets and addresses: each sends only
// the logs it accepted, under its own secret, to the address it sends to now: logs accepted before
// an app's address changed go to the new one. A row of a version that kept no destination goes
// with whichever loads it, once; one keyed by the address and secret together, as stored before,
// goes with the app of that secret at that address. An app that opts out deletes its own logs only,
// its target events (which go with no secret) too.
TEST(Pipeline, ALogIsSentOnlyUnderTheSecretItWasAcceptedForToTheAppsCurrentAddress) {
    PipelineFixture f;
    FakeIngestionServer other;
    struct App {
        std::string url, secret, later;  // later: the address it sends to once its logs are stored
        int first;
        std::shared_ptr<MSRevAzezarIngestion> ingestion;
        std::shared_ptr<MSChannelGroup> group;
        std::shared_ptr<MSChannelUnit> unit, targets;  // targets: its One Collector unit
    };
    std::vector<App> apps{{f.server.baseURL(), "secret-a", other.baseURL(), 0},
                          {f.server.baseURL(), "secret-b", f.server.baseURL(), 100},
                          {other.baseURL(), "secret-c", other.baseURL(), 200}};
    for (auto& app : apps) {
        app.ingestion = MSRevAzezarIngestion::make(app.url, app.secret, "i", fastRetries());
        app.group = MSChannelGroup::make(app.ingestion, std::make_shared<MSLogDBStorage>(f.file));
        app.group->addDelegate(f.delegate);
        app.unit = app.group->addChannelUnitWithConfiguration(MSChannelUnitConfiguration::initWithGroupId("S", 1, 3600, 5, 3));
        app.unit->pauseWithIdentifyingObject(&f);
        app.targets = app.group->addChannelUnitWithConfiguration(MSChannelUnitConfiguration::initWithGroupId("S/one", 1, 3600, 5, 3),
                                                                 MSOneCollectorIngestion::make(other.baseURL(), fastRetries(), app.secret));
        app.targets->pauseWithIdentifyingObject(&f);
    }
    for (auto& app : apps)
        for (int i = app.first; i < app.first + 10; ++i) {
            app.unit->enqueueItem(numberedLog(i));
            auto target = numberedLog(i + 60);
            target->addTransmissionTargetToken("tenant-" + app.secret);
            app.targets->enqueueItem(target);
        }
    ASSERT_TRUE(f.delegate->waitFor("didCompleteEnqueueing", 60));
    apps[2].unit->setEnabled(false, true);
    apps[2].targets->setEnabled(false, true);
    ASSERT_TRUE(f.delegate->waitFor("didFail", 20));
    {
        std::lock_guard lock(f.delegate->mutex);
        for (const auto& e : f.delegate->events)
            if (e.starts_with("didFail")) EXPECT_EQ(e.substr(8, 1), "2") << e;
    }
    apps.pop_back();
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(f.file.c_str(), &raw), SQLITE_OK);
    sqlite3_busy_timeout(raw, 30000);  // the stores may be writing meanwhile
    for (const auto& [n, destination] : {std::pair{999, std::string()}, {150, apps[1].ingestion->destination().addressKey}}) {
        platform::SQLStatement earlier(raw, "INSERT INTO logs (groupId, log, priority, destination) VALUES ('S', ?, 1, ?)");
        earlier.bind(1, platform::KeyedArchiver::archivedData(*numberedLog(n)));
        destination.empty() ? earlier.bindNull(2) : earlier.bind(2, destination);
        EXPECT_EQ(earlier.step(), SQLITE_DONE);
    }
    sqlite3_close(raw);
    for (auto& app : apps) {
        app.ingestion->setBaseURL(app.later);
        app.unit->resumeWithIdentifyingObject(&f);
        app.targets->resumeWithIdentifyingObject(&f);
    }
    ASSERT_TRUE(f.delegate->waitFor("didSucceed", 40, 60));
    for (auto& app : apps) app.unit->flushQueue();  // the earlier rows wait with one of them
    ASSERT_TRUE(f.delegate->waitFor("didSucceed", 42, 60));
    std::multiset<int> all;
    for (auto* server : {&f.server, &other})
        for (const auto& batch : server->batches())
            for (const auto& log : batch.logs) {
                const int n = std::stoi(log["properties"]["n"].asString());
                all.insert(n);
                const auto& app = apps[size_t(n / 100)];
                if (n == 999 || n % 100 >= 60) continue;  // a target event: no secret
                EXPECT_EQ(server->baseURL(), app.later) << n;
                EXPECT_EQ(batch.header("App-Secret"), app.secret) << n;
            }
    EXPECT_EQ(all.size(), 42u);
    EXPECT_EQ(std::set<int>(all.begin(), all.end()).size(), 42u);
    EXPECT_EQ(f.delegate->count("didFail"), 20);
    for (auto& app : apps) app.group->setEnabled(false, false);
}

TEST(Pipeline, PausedObjectsAndTokensHoldLogsBack) {
    PipelineFixture f;
    auto unit = f.unit(1);
    int a = 0, b = 0;
    unit->pauseWithIdentifyingObject(&a);
    unit->pauseWithIdentifyingObject(&b);
    unit->enqueueItem(numberedLog(1));
    ASSERT_TRUE(f.delegate->waitFor("didCompleteEnqueueing", 1));
    unit->resumeWithIdentifyingObject(&a);
    unit->flushQueue();
    unit->enqueueItem(numberedLog(2));
    ASSERT_TRUE(f.delegate->waitFor("didCompleteEnqueueing", 2));
    EXPECT_EQ(f.server.batchCount(), 0u);  // b still pauses it
    unit->resumeWithIdentifyingObject(&b);
    ASSERT_TRUE(f.delegate->waitFor("didSucceed", 2));

    unit->pauseSendingLogsWithToken("held-secret");
    auto held = numberedLog(3);
    held->addTransmissionTargetToken("held-secret");
    unit->enqueueItem(held);
    unit->enqueueItem(numberedLog(4));
    ASSERT_TRUE(f.delegate->waitFor("didSucceed", 3));
    EXPECT_EQ(f.acceptedNumbers().back(), "4");
    EXPECT_EQ(f.storage->countAllLogs(), 1u);
    unit->resumeSendingLogsWithToken("held-secret");
    ASSERT_TRUE(f.delegate->waitFor("didSucceed", 4));
    EXPECT_EQ(f.acceptedNumbers().back(), "3");
}

TEST(Pipeline, InvalidFilteredAndDisabledLogsAreNotStored) {
    PipelineFixture f;
    auto unit = f.unit(1);
    SDKLogCapture log(MSLogLevel::Warning);
    auto invalid = numberedLog(0);
    invalid->type.reset();
    unit->enqueueItem(invalid);
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Log is not valid."});
    EXPECT_EQ(f.delegate->count("prepare"), 0);

    f.delegate->filter = [](const auto& l) { return RecordingDelegate::number(l) == "1"; };
    unit->enqueueItem(numberedLog(1));
    unit->enqueueItem(numberedLog(2));
    ASSERT_TRUE(f.delegate->waitFor("didSucceed", 1));
    EXPECT_EQ(f.acceptedNumbers(), std::vector<std::string>{"2"});

    int pause = 0;
    unit->pauseWithIdentifyingObject(&pause);
    unit->enqueueItem(numberedLog(5));
    ASSERT_TRUE(f.delegate->waitFor("didCompleteEnqueueing", 3));
    EXPECT_EQ(f.storage->countAllLogs(), 1u);
    unit->setEnabled(false, true);  // deletes what is stored
    unit->resumeWithIdentifyingObject(&pause);
    unit->enqueueItem(numberedLog(3));
    ASSERT_TRUE(f.delegate->waitFor("didCompleteEnqueueing", 4));
    EXPECT_EQ(f.storage->countAllLogs(), 0u);
    unit->setEnabled(true, false);
    unit->enqueueItem(numberedLog(4));
    ASSERT_TRUE(f.delegate->waitFor("didSucceed", 2));
    EXPECT_EQ(f.acceptedNumbers().back(), "4");
    // The delegates heard which were left out on purpose.
    for (const auto& [n, outcome] : std::vector<std::pair<std::string, MSEnqueueOutcome>>{
             {"1", MSEnqueueOutcome::Discarded}, {"2", MSEnqueueOutcome::Stored}, {"5", MSEnqueueOutcome::Stored},
             {"3", MSEnqueueOutcome::Discarded}, {"4", MSEnqueueOutcome::Stored}})
        EXPECT_EQ(f.delegate->outcome(n), outcome) << n;
}

TEST(Pipeline, AtMostThePendingBatchesLimitIsInFlight) {
    PipelineFixture f;
    f.server.server().hold("/logs");
    auto unit = f.unit(2, "Test", 1);
    for (int i = 0; i < 6; ++i) unit->enqueueItem(numberedLog(i));
    ASSERT_TRUE(f.delegate->waitFor("didCompleteEnqueueing", 6));
    ASSERT_TRUE(f.server.server().waitForHeld("/logs", 1, 60));
    for (int i = 0; i < 3; ++i) f.group->logsQueue()->sync([] {});  // whatever the unit was to do is done
    EXPECT_EQ(f.ingestion->requestCount(), 1u);
    f.server.server().release("/logs");
    ASSERT_TRUE(f.delegate->waitFor("didSucceed", 6));
    EXPECT_EQ(f.server.batchCount(), 3u);
}

TEST(Pipeline, TenThousandLogsFromEightThreadsArriveExactlyOnce) {
    PipelineFixture f;
    auto unit = f.unit(50);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 1250; ++i) unit->enqueueItem(numberedLog(t * 1250 + i));
        });
    for (auto& t : threads) t.join();
    // 10,000 logs of ~450 stored bytes are well within the bound of the logs waiting to be
    // stored: none may give way (a dropped one would also leave a short batch waiting for the
    // flush timer).
    EXPECT_EQ(unit->droppedLogCount(), 0u);
    ASSERT_TRUE(f.server.waitForAcceptedLogCount(10000, 120));
    const auto numbers = f.acceptedNumbers();
    EXPECT_EQ(numbers.size(), 10000u);
    EXPECT_EQ(std::set<std::string>(numbers.begin(), numbers.end()).size(), 10000u);
    ASSERT_TRUE(f.delegate->waitFor("didSucceed", 10000));
    EXPECT_EQ(f.storage->countAllLogs(), 0u);
    for (const auto& b : f.server.batches()) EXPECT_EQ(b.logs.size(), 50u);  // by size only: the timer is out of reach
}

TEST(Pipeline, LargeBatchesAreGzippedAndSlashesSurviveTheJSON) {
    PipelineFixture f;
    auto unit = f.unit(40);
    for (int i = 0; i < 40; ++i) {
        auto log = numberedLog(i);
        (*log->properties)["path"] = "a\\/b/c";
        unit->enqueueItem(log);
    }
    ASSERT_TRUE(f.delegate->waitFor("didSucceed", 40));
    auto batch = f.server.batches().at(0);
    EXPECT_TRUE(batch.gzipped);
    EXPECT_EQ(batch.logs[0]["properties"]["path"].asString(), "a\\/b/c");
}

struct NamedLog : MSLogWithProperties {
    std::shared_ptr<MSCommonSchemaLog> toCommonSchemaLogForTargetToken(const std::string& token,
                                                                     uint32_t flags) const override {
        auto cs = MSAbstractLog::toCommonSchemaLogForTargetToken(token, flags);
        cs->name = "named";
        cs->ext->protocolExt->setTicketKeys(std::vector<std::string>{"tk"});
        return cs;
    }
};

TEST(Pipeline, LogsWithTargetTokensGoToTheOneCollectorOnly) {
    PipelineFixture f;
    auto oneCollector = std::make_shared<MSOneCollectorChannelDelegate>(
        MSOneCollectorIngestion::make(f.server.baseURL(), fastRetries()));
    f.group->addDelegate(oneCollector);
    auto unit = f.unit(1, "Analytics");
    ASSERT_TRUE(f.group->channelUnitForGroupId("Analytics/one"));
    MSTicketCache::sharedInstance().setTicket("ticket-value", "tk");
    auto log = std::make_shared<NamedLog>();
    log->type = "event";
    log->properties = std::map<std::string, std::string>{{"n", "1"}};
    log->addTransmissionTargetToken("tenant1-secret");
    log->addTransmissionTargetToken("tenant2-secret");
    unit->enqueueItem(log);
    unit->enqueueItem(numberedLog(2));
    ASSERT_TRUE(f.delegate->waitFor("didCompleteEnqueueing", 4));  // the two logs and two Common Schema logs
    f.group->channelUnitForGroupId("Analytics/one")->flushQueue();
    ASSERT_TRUE(f.server.waitForAcceptedLogCount(3, 60));
    std::vector<FakeIngestionServer::Batch> one, core;
    for (const auto& b : f.server.batches()) (b.path == "/logs" ? core : one).push_back(b);
    ASSERT_EQ(core.size(), 1u);
    EXPECT_EQ(core[0].logs.size(), 1u);  // the log with tokens was dropped from its own unit
    ASSERT_EQ(one.size(), 1u);
    ASSERT_EQ(one[0].logs.size(), 2u);
    EXPECT_EQ(one[0].logs[0]["iKey"].asString(), "o:tenant1");
    EXPECT_EQ(one[0].logs[0]["name"].asString(), "named");
    EXPECT_EQ(one[0].header("apikey"), "tenant1-secret,tenant2-secret");
    EXPECT_EQ(one[0].header("Tickets"), R"({"tk":"ticket-value"})");
}

TEST(Pipeline, StorageLoadsByPriorityAndDropsTheOldestNormalLogsWhenFull) {
    PipelineFixture f;
    for (int i = 0; i < 4; ++i) {
        auto log = numberedLog(i);
        (*log->properties)["city"] = "Zürich";  // the store counts bytes, not characters
        f.storage->saveLog(log, "G", i == 1 ? MSFlagsCritical : MSFlagsNormal);
    }
    auto batch = f.storage->loadLogsWithGroupId("G", 2);
    ASSERT_TRUE(batch);
    EXPECT_EQ(RecordingDelegate::number(batch->logs[0]), "1");
    EXPECT_EQ(RecordingDelegate::number(batch->logs[1]), "0");
    EXPECT_EQ(f.storage->countLogs("G"), 2u);  // the batch's logs are held back
    auto rest = f.storage->loadLogsWithGroupId("G", 10);
    EXPECT_EQ(rest->logs.size(), 2u);
    EXPECT_FALSE(f.storage->loadLogsWithGroupId("G", 10));
    f.storage->deleteLogsWithBatchId(batch->batchId);
    f.storage->deleteLogsWithBatchId(rest->batchId);

    EXPECT_EQ(f.storage->storedBytes(), 0);
    f.storage->saveLog(numberedLog(10), "G", MSFlagsCritical);
    const int64_t size = f.storage->storedBytes();
    f.storage->setMaxStorageSize(size * 3 + size / 2);
    f.storage->saveLog(numberedLog(11), "G", MSFlagsNormal);
    f.storage->saveLog(numberedLog(12), "G", MSFlagsNormal);
    f.storage->saveLog(numberedLog(13), "G", MSFlagsNormal);  // drops 11, the oldest normal one
    auto left = f.storage->loadLogsWithGroupId("G", 10);
    std::vector<std::string> numbers;
    for (const auto& l : left->logs) numbers.push_back(RecordingDelegate::number(l));
    EXPECT_EQ(numbers, (std::vector<std::string>{"10", "12", "13"}));
    sqlite3* raw = nullptr;  // rows another version or a damaged disk left behind are dropped on load
    ASSERT_EQ(sqlite3_open(f.file.c_str(), &raw), SQLITE_OK);
    sqlite3_busy_timeout(raw, 30000);  // the stores may be writing meanwhile
    sqlite3_exec(raw, "INSERT INTO logs (groupId, log, priority) VALUES ('G2', 'not base64!', 1), ('G2', 'e30=', 1), "
                      "('G2', '{\"$archive\"', 1)",
                 nullptr, nullptr, nullptr);
    // Earlier versions stored the Base64 of the archive: such a row still loads.
    const std::string earlier = "INSERT INTO logs (groupId, log, priority) VALUES ('G3', '" +
                                platform::base64Encode(platform::KeyedArchiver::archivedData(*numberedLog(20))) + "', 1)";
    sqlite3_exec(raw, earlier.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(raw);
    EXPECT_FALSE(f.storage->loadLogsWithGroupId("G2", 10));
    EXPECT_EQ(f.storage->countLogs("G2"), 0u);
    auto earlierBatch = f.storage->loadLogsWithGroupId("G3", 10);
    ASSERT_TRUE(earlierBatch);
    EXPECT_EQ(RecordingDelegate::number(earlierBatch->logs.at(0)), "20");
    f.storage->deleteLogsWithBatchId(earlierBatch->batchId);

    f.storage->setMaxStorageSize(size / 2);  // a log larger than the bound is refused, nothing dropped
    EXPECT_FALSE(f.storage->saveLog(numberedLog(14), "G", MSFlagsNormal));
    EXPECT_EQ(f.storage->countAllLogs(), 3u);
    // The normal logs are in flight: a new normal one is refused rather than take a critical one's room.
    f.storage->setMaxStorageSize(size * 10);
    EXPECT_TRUE(f.storage->saveLog(numberedLog(15), "H", MSFlagsCritical));
    f.storage->setMaxStorageSize(f.storage->storedBytes() + size / 2);
    EXPECT_FALSE(f.storage->saveLog(numberedLog(16), "G", MSFlagsNormal));
    EXPECT_EQ(f.storage->countLogs("H"), 1u);
    // Nor does another store on the file (another process) take the room of what this one has in
    // flight: that is this one's to send and report.
    MSLogDBStorage other(f.file, f.storage->storedBytes() + size / 2);
    EXPECT_FALSE(other.saveLog(numberedLog(17), "G", MSFlagsNormal));
    EXPECT_EQ(other.countAllLogs(), 4u);
}

// The logs of an earlier file move into a store once each, with their destinations: those of the
// destinations given or of none; another app's stay there, as do those another process has in
// flight; a move that ended half-way (its note left in the store) is finished, not done again.
// The file goes once it holds nothing.
TEST(Pipeline, AnEarlierFilesLogsMoveOnceAndTheFileGoesWhenEmpty) {
    PipelineFixture f;
    const auto earlier = f.file.parent_path() / "earlier" / "Logs.sqlite";
    std::filesystem::remove_all(earlier.parent_path());
    auto numbers = [&](const std::vector<std::string>& destinations) {
        std::vector<std::string> out;
        if (auto batch = f.storage->loadLogsWithGroupId("G", 10, {}, destinations))
            for (const auto& l : batch->logs) out.push_back(RecordingDelegate::number(l));
        return out;
    };
    {
        MSLogDBStorage old(earlier);
        for (const auto& [n, destination] : std::vector<std::pair<int, std::string>>{{1, ""}, {2, "mine"}, {3, "theirs"}, {4, ""}})
            old.saveLogs({{numberedLog(n), "G", MSFlagsNormal, {}, destination}});
        ASSERT_TRUE(old.loadLogsWithGroupId("G", 1));  // 1, in flight while `old` lives
        EXPECT_EQ(f.storage->adoptLogsFrom(earlier, {"mine"}), 2u);
        EXPECT_EQ(f.storage->adoptLogsFrom(earlier, {"mine"}), 0u);
    }
    // Log 1 was moved by a process that ended before deleting it there: the note finishes that.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(f.file.c_str(), &raw), SQLITE_OK);
    sqlite3_busy_timeout(raw, 30000);  // the stores may be writing meanwhile
    const std::string note = "INSERT INTO storeInfo VALUES ('adopting', (SELECT value FROM e.storeInfo WHERE key = "
                             "'storeId') || '.1')";
    ASSERT_EQ(sqlite3_exec(raw, ("ATTACH '" + earlier.string() + "' AS e; " + note + "; DETACH e").c_str(), nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(raw);
    EXPECT_EQ(f.storage->adoptLogsFrom(earlier, {"mine"}), 0u);
    EXPECT_TRUE(std::filesystem::exists(earlier));  // another app's log is still there
    EXPECT_EQ(numbers({"mine"}), (std::vector<std::string>{"2", "4"}));
    EXPECT_EQ(f.storage->adoptLogsFrom(earlier, {"theirs"}), 1u);
    EXPECT_FALSE(std::filesystem::exists(earlier));
    EXPECT_EQ(numbers({"theirs"}), std::vector<std::string>{"3"});
}

// A file of the version before claims opens and sends; a batch claimed by one store is not
// handed out by another on the same file until the first is gone.
TEST(Pipeline, StoresOnOneFileHandOutEachBatchOnceAndAFileOfThePreviousVersionOpens) {
    PipelineFixture f;
    const auto file = f.file.parent_path() / "previous" / "Logs.sqlite";
    std::filesystem::remove_all(file.parent_path());
    std::filesystem::create_directories(file.parent_path());
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
    const std::string previous =
        "PRAGMA journal_mode=WAL; CREATE TABLE logs (id INTEGER PRIMARY KEY AUTOINCREMENT, groupId TEXT NOT NULL, "
        "log TEXT NOT NULL, targetKey TEXT, targetToken TEXT, priority INTEGER NOT NULL); PRAGMA user_version=1; "
        "INSERT INTO logs (groupId, log, priority) VALUES ('G', '" +
        platform::KeyedArchiver::archivedData(*numberedLog(1)) + "', 1)";
    ASSERT_EQ(sqlite3_exec(raw, previous.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
    auto one = std::make_shared<MSLogDBStorage>(file), other = std::make_shared<MSLogDBStorage>(file);
    other->saveLog(numberedLog(2), "G", MSFlagsNormal);
    auto first = one->loadLogsWithGroupId("G", 1), second = other->loadLogsWithGroupId("G", 10);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(RecordingDelegate::number(first->logs.at(0)), "1");
    ASSERT_EQ(second->logs.size(), 1u);
    EXPECT_EQ(RecordingDelegate::number(second->logs.at(0)), "2");
    EXPECT_FALSE(other->loadLogsWithGroupId("G", 10));
    EXPECT_EQ(other->countLogsClaimedElsewhere("G"), 1u);
    one.reset();  // what it had in flight is free again
    auto again = other->loadLogsWithGroupId("G", 10);
    ASSERT_TRUE(again);
    EXPECT_EQ(RecordingDelegate::number(again->logs.at(0)), "1");
    // Claims made without the process's start time, by a process id in use: one older than a day
    // is released, a fresh one is not.
    ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
    const auto archive = platform::KeyedArchiver::archivedData(*numberedLog(3));
    for (const int64_t age : {2 * 86400, 0}) {
        platform::SQLStatement claimed(raw, "INSERT INTO logs (groupId, log, priority, claim, claimedAt) VALUES ('U', ?, 1, ?, ?)");
        claimed.bind(1, archive);
        claimed.bind(2, std::to_string(::getppid()) + "--" + std::to_string(age));
        claimed.bind(3, int64_t(::time(nullptr)) - age);
        ASSERT_EQ(claimed.step(), SQLITE_DONE);
    }
    sqlite3_close(raw);
    EXPECT_EQ(other->countLogs("U"), 1u);
}

}  // namespace

// A write that fails half-way (the file reaches its size limit, as on a full disk) does not leave
// the store broken: once there is room again, later logs are stored. Run in a child, whose limit
// touches no other thread of the test.
TEST(Pipeline, TheStoreTakesLogsAgainOnceAFailedWriteHasRoom) {
    // The child forks before any thread starts: a lock another thread held at the fork (the
    // allocator's, say) would never be let go in it.
    if (!test::inFreshProcess()) return;
    const auto file = platform::Paths::dataHome() / "pipeline" / "limited.sqlite";
    std::filesystem::create_directories(file.parent_path());
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(file.string() + suffix);
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        MSLogDBStorage storage(file);
        auto save = [&](int from, int count) {
            std::vector<MSLogDBStorage::Item> items;
            for (int k = from; k < from + count; ++k) items.push_back({numberedLog(k), "G", MSFlagsNormal, {}});
            const auto saved = storage.saveLogs(items);
            return size_t(std::count(saved.begin(), saved.end(), true));
        };
        rlimit room{};
        ::getrlimit(RLIMIT_FSIZE, &room);
        rlimit limited = room;
        limited.rlim_cur = 64 * 1024;
        ::setrlimit(RLIMIT_FSIZE, &limited);
        size_t stored = 0;
        for (int i = 0; i < 2000; i += 500) stored += save(i, 500);
        ::setrlimit(RLIMIT_FSIZE, &room);
        // What was said stored is what the file holds, and the later logs all go in.
        const bool ok = stored < 2000 && storage.countAllLogs() == stored && save(5000, 10) == 10 &&
                        storage.countAllLogs() == stored + 10;
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
