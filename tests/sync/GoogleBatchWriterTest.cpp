// The batch writer against the fake provider: batches and requests in flight, what each batch
// status means for its operation, resending, and stopping on failures no resending can mend.

#include "sync/GoogleBatchWriter.h"

#include <gtest/gtest.h>

#include "gdata/GDataXMLWriter.h"
#include "platform/net/URLSessionConfiguration.h"
#include "platform/runloop/RunLoop.h"
#include "tests/sync/ProviderAccountTestSupport.h"

namespace quorvane {
namespace {

using platform::RunLoop;
using platform::URL;
using test::FakeProvider;
using State = GoogleBatchOutcome::State;

class GoogleBatchWriterTest : public ::testing::Test {
public:
    std::string batchPath() const { return "/m8/feeds/contacts/default/full/batch"; }

    static GoogleBatchOperation insert(const std::string& name) {
        auto entry = GDataEntryContact::contactEntryWithFullNameString(name);
        return {GoogleBatchKind::Insert, entry};
    }

    // The provider's current entry of a contact, as a client that read it would hold it.
    std::shared_ptr<GDataEntryBase> stored(const std::string& id) {
        auto e = provider.entry(FakeProvider::Kind::Contacts, id);
        auto entry = GDataEntryContact::contactEntryWithFullNameString("x");
        entry->setIdentifier(provider.idURL(FakeProvider::Kind::Contacts, id));
        entry->setETag(e ? std::optional<std::string>(e->etag()) : std::nullopt);
        return entry;
    }

    struct Run {
        std::vector<GoogleBatchOutcome> outcomes;
        std::optional<platform::Error> stoppedBy;
        std::vector<std::pair<size_t, size_t>> progress;
        bool done = false;
        size_t requests = 0;
    };

    std::shared_ptr<GoogleBatchWriter> makeWriter(GoogleBatchWriter::Options options) {
        return GoogleBatchWriter::make(service, *URL::URLWithString(provider.feedURL(FakeProvider::Kind::Contacts) + "/batch"),
                                       GoogleBatchWriter::FeedKind::Contacts, options);
    }

    void start(const std::shared_ptr<GoogleBatchWriter>& writer, std::vector<GoogleBatchOperation> ops,
               const std::shared_ptr<Run>& run) {
        writer->start(
            std::move(ops), [run](size_t done, size_t total) { run->progress.emplace_back(done, total); },
            [run, writer](const std::vector<GoogleBatchOutcome>& outcomes, const std::optional<platform::Error>& e) {
                EXPECT_FALSE(run->done) << "finished twice";
                run->outcomes = outcomes;
                run->stoppedBy = e;
                run->done = true;
                run->requests = writer->requestsSent();
            });
    }

    std::shared_ptr<Run> write(std::vector<GoogleBatchOperation> ops, GoogleBatchWriter::Options options = {}) {
        auto run = std::make_shared<Run>();
        start(makeWriter(options), std::move(ops), run);
        EXPECT_TRUE(RunLoop::main()->runUntil([&] { return run->done; }, 60));
        return run;
    }

    test::ProviderAccount account;
    FakeProvider& provider = account.provider;
    std::shared_ptr<GDataServiceGoogleContact>& service = account.service;
};

TEST_F(GoogleBatchWriterTest, SendsEveryOperationInBatchesAndHandsBackTheNewEntries) {
    std::vector<GoogleBatchOperation> ops;
    for (int i = 0; i < 230; ++i) ops.push_back(insert("Person " + std::to_string(i)));
    auto run = write(ops, {.batchSize = 100, .maxInFlight = 2});

    EXPECT_FALSE(run->stoppedBy);
    EXPECT_EQ(run->requests, 3u);
    EXPECT_EQ(provider.server().requestCount(batchPath()), 3u);
    EXPECT_EQ(provider.entries(FakeProvider::Kind::Contacts).size(), 230u);
    ASSERT_EQ(run->outcomes.size(), 230u);
    for (const auto& o : run->outcomes) {
        EXPECT_EQ(o.state, State::Confirmed);
        EXPECT_EQ(o.status, 201);
        ASSERT_TRUE(o.answer);
        EXPECT_FALSE(o.answer->identifier().value_or("").empty());
    }
    ASSERT_FALSE(run->progress.empty());
    EXPECT_EQ(run->progress.back(), std::make_pair(size_t(230), size_t(230)));
    // The caller's entries were not changed by sending them.
    EXPECT_FALSE(ops[0].entry->batchID());
}

TEST_F(GoogleBatchWriterTest, EachBatchStatusDecidesItsOperation) {
    std::string current = provider.addContact("<title>Current</title>");
    std::string stale = provider.addContact("<title>Stale</title>");
    auto staleEntry = stored(stale);  // read, then changed on the provider by someone else
    auto changed = stored(stale);
    changed->setTitleWithString("Changed elsewhere");
    ASSERT_EQ(write({{GoogleBatchKind::Update, changed}})->outcomes[0].state, State::Confirmed);
    provider.server().clearLog();

    int flaky = 0;
    provider.setBatchFault([&](const std::string& batchID, const std::string&) -> std::optional<int> {
        if (batchID == "3" && flaky++ == 0) return 503;  // once
        if (batchID == "4") return 500;                  // always
        if (batchID == "5") return 400;                  // refused
        return std::nullopt;
    });
    auto gone = stored(current);
    gone->setIdentifier(provider.idURL(FakeProvider::Kind::Contacts, "nosuchcontact"));
    auto run = write({{GoogleBatchKind::Update, stored(current)},
                      {GoogleBatchKind::Update, staleEntry},
                      {GoogleBatchKind::Delete, gone},
                      insert("Flaky"),
                      insert("Broken"),
                      insert("Refused")},
                     {.batchSize = 100, .maxInFlight = 2, .maxRounds = 3});

    struct Expect {
        State state;
        int32_t status;
        int32_t rounds;
    };
    const Expect expected[] = {
        {State::Confirmed, 200, 1},  // update with the current ETag
        {State::Conflict, 409, 1},   // stale ETag: never sent again
        {State::Confirmed, 404, 1},  // deleting what is gone already
        {State::Confirmed, 201, 2},  // 503 once, then confirmed in the next round
        {State::Failed, 500, 3},     // not taken in any round, until the rounds run out
        {State::Failed, 400, 1},     // refused: never sent again
    };
    ASSERT_EQ(run->outcomes.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(run->outcomes[i].state, expected[i].state);
        EXPECT_EQ(run->outcomes[i].status, expected[i].status);
        EXPECT_EQ(run->outcomes[i].rounds, expected[i].rounds);
    }
    EXPECT_FALSE(run->stoppedBy);
    EXPECT_EQ(run->requests, 3u);  // the second and third rounds carry only what is still open
    auto flakyContacts = 0;
    for (const auto& e : provider.entries(FakeProvider::Kind::Contacts))
        if (e.xml.find("Flaky") != std::string::npos) ++flakyContacts;
    EXPECT_EQ(flakyContacts, 1);
}

// A request refused as a whole is not sent again; one the provider could not serve is sent again
// until the rounds or the run's time of resending run out, and then stops the writer with its
// error; one never answered stops it at once, said as having no answer.
TEST_F(GoogleBatchWriterTest, RequestsFailingAsAWholeAreResentOnlyWithinTheirBounds) {
    auto config = platform::URLSessionConfiguration::defaultSessionConfiguration();
    config.setTimeoutIntervalForRequest(1);
    service->fetcherService()->setConfiguration(config);
    auto ops = [this] {
        std::vector<GoogleBatchOperation> out;
        for (const char* name : {"<title>A</title>", "<title>B</title>"})
            out.push_back({GoogleBatchKind::Update, stored(provider.addContact(name))});
        return out;
    };
    const struct {
        int status;  // of every answer; 0: none comes
        double resendLimit;
        size_t requests;
        int32_t rounds;
        bool stopped;
    } cases[] = {
        {400, 1e9, 2, 1, false},
        {500, 1e9, 6, 3, true},
        {503, 0, 2, 1, true},
        {0, 1e9, 1, 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        if (c.status) provider.server().on("POST", batchPath(), [&c](const test::TestRequest&, test::TestResponse& res) { res.status = c.status; });
        else provider.server().hold(batchPath());
        auto resending = std::make_shared<GoogleBatchWriter::Options::Resending>();
        resending->limitSeconds = c.resendLimit;
        auto run = write(ops(), {.batchSize = 1, .maxInFlight = 1, .maxRounds = 3, .resending = resending});
        EXPECT_EQ(run->requests, c.requests);
        EXPECT_EQ(bool(run->stoppedBy), c.stopped);
        if (run->stoppedBy) EXPECT_EQ(run->stoppedBy->code, c.status ? c.status : platform::kURLErrorTimedOut);
        ASSERT_EQ(run->outcomes.size(), 2u);
        EXPECT_EQ(run->outcomes[0].state, State::Failed);
        EXPECT_EQ(run->outcomes[0].status, c.status);
        EXPECT_EQ(run->outcomes[0].rounds, c.rounds);
        if (!c.status) EXPECT_NE(run->outcomes[0].reason.value_or("").find("timed out"), std::string::npos);
        EXPECT_EQ(run->outcomes[1].state, c.status ? State::Failed : State::NotSent);
    }
}

// A network or authorization failure on the first of four one-entry requests: the writer stops.
void expectStoppedAfterOneRequest(const std::shared_ptr<GoogleBatchWriterTest::Run>& run, bool authorization) {
    ASSERT_TRUE(run->stoppedBy);
    EXPECT_EQ(GoogleBatchWriter::isAuthorizationError(*run->stoppedBy), authorization);
    EXPECT_EQ(GoogleBatchWriter::isNetworkError(*run->stoppedBy), !authorization);
    EXPECT_EQ(run->requests, 1u);
    ASSERT_EQ(run->outcomes.size(), 4u);
    EXPECT_EQ(run->outcomes[0].state, State::Failed);
    for (size_t i = 1; i < run->outcomes.size(); ++i) EXPECT_EQ(run->outcomes[i].state, State::NotSent);
}

TEST_F(GoogleBatchWriterTest, AnEntryThatIsNotXMLFailsAloneAndNothingMalformedIsSent) {
    auto run = write({insert("Ann Good"), insert("Bad \xFF Byte"), insert("Cut \xC3"), insert("Cy Good")});
    ASSERT_EQ(run->outcomes.size(), 4u);
    EXPECT_EQ(run->outcomes[0].state, State::Confirmed);
    EXPECT_EQ(run->outcomes[3].state, State::Confirmed);
    for (size_t bad : {1, 2}) {
        EXPECT_EQ(run->outcomes[bad].state, State::Failed);
        EXPECT_NE(run->outcomes[bad].reason.value_or("").find("cannot be sent as XML"), std::string::npos);
    }
    EXPECT_EQ(provider.entries(FakeProvider::Kind::Contacts).size(), 2u);
    for (const auto& request : provider.server().requests(batchPath()))
        EXPECT_FALSE(xmlDocumentProblem(request.body)) << request.body;
}

TEST_F(GoogleBatchWriterTest, ALostConnectionStopsTheWriter) {
    provider.server().on("POST", batchPath(), [](const test::TestRequest&, test::TestResponse& res) {
        res.body = std::string(4096, 'x');
        res.closeAfter = 10;
    });
    expectStoppedAfterOneRequest(write({insert("A"), insert("B"), insert("C"), insert("D")}, {.batchSize = 1, .maxInFlight = 1}),
                                 false);
}

TEST_F(GoogleBatchWriterTest, AWithdrawnAuthorizationStopsTheWriter) {
    provider.revokeAllTokens();
    expectStoppedAfterOneRequest(write({insert("A"), insert("B"), insert("C"), insert("D")}, {.batchSize = 1, .maxInFlight = 1}),
                                 true);
}

TEST_F(GoogleBatchWriterTest, CancelLetsTheRequestInFlightFinishAndSendsNothingMore) {
    provider.server().hold(batchPath());
    auto writer = makeWriter({.batchSize = 1, .maxInFlight = 1});
    auto run = std::make_shared<Run>();
    start(writer, {insert("A"), insert("B"), insert("C")}, run);
    ASSERT_TRUE(provider.server().waitForHeld(batchPath(), 1, 60));
    writer->cancel();
    EXPECT_FALSE(run->done);  // the request in flight has not answered yet
    provider.server().release(batchPath());
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return run->done; }, 60));
    EXPECT_FALSE(run->stoppedBy);
    EXPECT_EQ(run->outcomes[0].state, State::Confirmed);
    EXPECT_EQ(run->outcomes[1].state, State::NotSent);
    EXPECT_EQ(run->outcomes[2].state, State::NotSent);
    EXPECT_EQ(provider.entries(FakeProvider::Kind::Contacts).size(), 1u);
}

// Cancelled while it waits between two requests (as an interrupted command cancels it), the writer
// finishes on a turn of its own, and its finished callback may let go of the last reference to it.
TEST_F(GoogleBatchWriterTest, CancelledBetweenTwoRequestsItFinishesLaterAndItsCallbackMayLetItGo) {
    auto writer = makeWriter({.batchSize = 1, .maxInFlight = 1, .pauseSeconds = 600});
    size_t answered = 0;
    bool done = false;
    std::vector<State> states;
    writer->start(
        {insert("A"), insert("B")}, [&](size_t n, size_t) { answered = n; },
        [&](const std::vector<GoogleBatchOutcome>& outcomes, const std::optional<platform::Error>&) {
            writer.reset();
            for (const auto& o : outcomes) states.push_back(o.state);
            done = true;
        });
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return answered == 1; }, 60));
    writer->cancel();
    EXPECT_FALSE(done);
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return done; }, 60));
    EXPECT_EQ(states, (std::vector<State>{State::Confirmed, State::NotSent}));
}

TEST_F(GoogleBatchWriterTest, AnEmptyListFinishesAtOnce) {
    auto run = write({});
    EXPECT_TRUE(run->outcomes.empty());
    EXPECT_EQ(run->requests, 0u);
}

}  // namespace
}  // namespace quorvane
