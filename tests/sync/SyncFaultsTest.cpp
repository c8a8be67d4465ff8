// Whole sync runs against a provider and a user that misbehave at the worst moments: answers lost
// after the provider acted, lists cut short, edits made a second after a run. Each run must leave
// every contact once on each side, with its latest content, or refuse and lose nothing.

#include <gtest/gtest.h>

#include <atomic>
#include <regex>

#include "platform/net/URLSessionConfiguration.h"
#include "sync/DurableReplace.h"
#include "sync/GoogleContactCache.h"
#include "sync/GoogleFeedFetch.h"
#include "tests/sync/SyncEndToEndSupport.h"

namespace quorvane {
namespace {

using namespace quorvane::testing;
using test::FakeProvider;

constexpr const char* kBatchPath = "/m8/feeds/contacts/default/full/batch";
constexpr const char* kContactsPath = "/m8/feeds/contacts/default/full";

class SyncFaultsTest : public EndToEndTestBase {
protected:
    // A second passes on both sides: too little for timestamps to tell an edit from the run's own write.
    void aSecondLater() { later(1); }
};

TEST_F(SyncFaultsTest, AnEditMadeASecondAfterTheRunThatWroteTheContactIsSentEitherWay) {
    addLocal({.given = "Ivy", .family = "Local"});
    addPerson("Jon", "Google");
    ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);  // Ivy written to Google, Jon locally

    aSecondLater();
    editLocal("Ivy Local", [](platform::CNMutableContact& c) { c.setNote("edited locally"); });
    aSecondLater();
    ASSERT_TRUE(provider.replaceContact(googleID("Jon Google"), personXML("Jon", "Google") + "<content>edited on Google</content>",
                                        {"6contacts"}));
    auto run = sync();
    EXPECT_EQ(run->outcome(), SyncRunOutcome::Ok) << run->message();
    EXPECT_EQ(googleNote(googleByName()["Ivy Local"]), "edited locally");
    EXPECT_EQ(localByName()["Jon Google"]->note(), "edited on Google");
    expectInSync(2);
}

TEST_F(SyncFaultsTest, ACreationWhoseAnswerWasLostIsFoundAndPairedNeverMadeTwice) {
    for (const char* family : {"Ames", "Boyd", "Cole"}) addLocal({.given = "Lia", .family = family});
    // The provider carries the batch out, then its answer is lost in a 500.
    auto answers = std::make_shared<int>(0);
    provider.setAnswerFault([answers](const test::TestRequest& req, test::TestResponse& res) {
        if (req.path != kBatchPath || (*answers)++ > 0) return;
        res.status = 500;
        res.body = "lost";
    });
    auto run = sync();
    EXPECT_EQ(run->outcome(), SyncRunOutcome::Ok) << run->message();
    EXPECT_EQ(run->result().counts.googleCreated, 3);
    EXPECT_EQ(provider.entries(FakeProvider::Kind::Contacts).size(), 3u);

    // Cut off after the provider carried it out, the run stops; the next one pairs what was made.
    addLocal({.given = "Lia", .family = "Dunn"});
    provider.setAnswerFault([](const test::TestRequest& req, test::TestResponse& res) {
        if (req.path == kBatchPath) res.closeAfter = 10;
    });
    EXPECT_EQ(sync()->outcome(), SyncRunOutcome::Network);
    provider.setAnswerFault(nullptr);
    later();
    EXPECT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
    EXPECT_EQ(provider.entries(FakeProvider::Kind::Contacts).size(), 4u);
    expectInSync(4);
}

// A batch the provider never answers stops the run once its request times out, as the network's
// failure; what it carried is said as sent without an answer, never as refused.
TEST_F(SyncFaultsTest, ABatchNotAnsweredInTimeStopsTheRunAndIsSaidAsATimeOut) {
    auto config = platform::URLSessionConfiguration::defaultSessionConfiguration();
    config.setTimeoutIntervalForRequest(2);
    model_->getGoogleContactService()->fetcherService()->setConfiguration(config);
    addLocal({.given = "Lia", .family = "Ames"});
    ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
    later();
    editLocal("Lia Ames", [](platform::CNMutableContact& c) { c.setNote("changed"); });
    provider.server().hold(kBatchPath);
    auto run = sync();
    EXPECT_EQ(run->outcome(), SyncRunOutcome::Network) << run->message();
    ASSERT_EQ(run->result().failed.size(), 1u);
    EXPECT_EQ(run->result().failed[0].reason, "Not written to Google (The request timed out.)");
    EXPECT_EQ(provider.server().requestCount(kBatchPath), 2u);  // the first run's and this one
}

TEST_F(SyncFaultsTest, ARunOverACutListIsRefusedWritesNothingAndTheNextWholeRunRepairsAll) {
    provider.setPageCap(1);  // every list of two or more entries comes in pages
    const struct {
        const char* what;
        std::function<void(const test::TestRequest&, test::TestResponse&)> cut;
    } cuts[] = {
        {"next link removed",
         [](const test::TestRequest&, test::TestResponse& res) {
             res.body = std::regex_replace(res.body, std::regex("<link rel='next'[^>]*/>"), "");
         }},
        {"page emptied",
         [](const test::TestRequest& req, test::TestResponse& res) {
             if (req.query.find("start-index=") == std::string::npos || req.query.find("start-index=1&") != std::string::npos) return;
             res.body = std::regex_replace(res.body, std::regex("<entry[\\s\\S]*?</entry>"), "");
         }},
        {"total removed",
         [](const test::TestRequest&, test::TestResponse& res) {
             res.body = std::regex_replace(res.body, std::regex("<openSearch:totalResults>[0-9]*</openSearch:totalResults>"), "");
         }},
        {"an entry named twice",
         [](const test::TestRequest&, test::TestResponse& res) {
             res.body = std::regex_replace(res.body, std::regex("<entry[\\s\\S]*?</entry>"), "$&$&",
                                           std::regex_constants::format_first_only);
         }},
    };
    int round = 0;
    for (const auto& c : cuts) {
        SCOPED_TRACE(c.what);
        const std::string family = "Cut" + std::to_string(++round);
        for (const char* given : {"Al", "Bo", "Cy", "Di", "Ed"}) addLocal({.given = given, .family = family});
        ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
        later();
        ASSERT_TRUE(provider.deleteContact(googleID("Al " + family)));
        saveLocal(localByName()["Bo " + family], nullptr, /*remove=*/true);
        ASSERT_TRUE(provider.replaceContact(googleID("Cy " + family), personXML("Cy", family) + "<content>new</content>",
                                            {"6contacts"}));
        editLocal("Di " + family, [](platform::CNMutableContact& ct) { ct.setNote("new too"); });
        const size_t googleBefore = provider.entries(FakeProvider::Kind::Contacts).size();
        const size_t localBefore = localByName().size();
        provider.setAnswerFault([cut = c.cut](const test::TestRequest& req, test::TestResponse& res) {
            if (req.method == "GET" && req.path == kContactsPath) cut(req, res);
        });
        later();
        auto refused = sync();
        EXPECT_EQ(refused->outcome(), SyncRunOutcome::Refused) << refused->message();
        EXPECT_NE(refused->message().find("incomplete"), std::string::npos) << refused->message();
        EXPECT_EQ(provider.entries(FakeProvider::Kind::Contacts).size(), googleBefore);
        EXPECT_EQ(localByName().size(), localBefore);
        EXPECT_EQ(localByName()["Cy " + family]->note(), "");

        provider.setAnswerFault(nullptr);
        later();
        ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
        auto local = localByName();
        auto google = googleByName();
        EXPECT_FALSE(local.count("Al " + family) || google.count("Al " + family) || local.count("Bo " + family) ||
                     google.count("Bo " + family));
        EXPECT_EQ(local["Cy " + family]->note(), "new");
        EXPECT_EQ(googleNote(google["Di " + family]), "new too");
    }
    expectInSync(3 * std::size(cuts));
}

// Neither an answer that is no feed nor one that is not this account's list of the kind asked
// for (a groups list for the contacts or the other way round, another account's list, an entry
// without an id) is read as the list, on the whole or the changes path: nothing is written.
TEST_F(SyncFaultsTest, AnAnswerThatIsNotAContactsFeedStopsTheRunAndDeletesNothing) {
    for (const char* given : {"Al", "Bo", "Cy", "Di", "Ed"}) addLocal({.given = given, .family = "Portal"});
    ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
    auto edit = [](const char* from, const char* to, bool all = true) {
        return [from, to, all](std::string& body) {
            body = std::regex_replace(body, std::regex(from), to, all ? std::regex_constants::format_default
                                                                      : std::regex_constants::format_first_only);
        };
    };
    const struct {
        const char* what;
        std::string body, contentType;
        std::function<void(std::string&)> change = nullptr;  // of the provider's own answer, instead of the body
        const char* path = kContactsPath;
        const char* says = "not an Atom feed";
    } answers[] = {
        {"an HTML page", "<!DOCTYPE html><html><head><title>Sign in</title></head><body><p>Wi-Fi</p></body></html>", "text/html"},
        {"an XHTML page", "<?xml version='1.0'?><html xmlns='http://www.w3.org/1999/xhtml'><body><p>Proxy error</p></body></html>",
         "application/xhtml+xml"},
        {"an errors document", "<errors xmlns='http://schemas.google.com/g/2005'><error><domain>GData</domain></error></errors>",
         "application/atom+xml"},
        {"a lone entry", "<entry xmlns='http://www.w3.org/2005/Atom'><id>x</id><title>x</title></entry>", "text/html"},
        {"a groups list", "", "", edit("2008#contact'", "2008#group'"), kContactsPath, "not this account's contacts list: it is a list of groups"},
        {"a groups list holding contacts", "", "", edit("2008#contact'", "2008#group'", false), kContactsPath, "it is a list of groups"},
        {"another account's list", "", "", edit("owner(@|%40)example", "someone$1example"), kContactsPath,
         "it names another account (someone@example.com)"},
        {"an entry without an id", "", "", edit("(<entry[^>]*>)<id>[^<]*</id>", "$1", false), kContactsPath, "an entry in it has no id"},
        {"an entry with a blank id", "", "", edit("(<entry[^>]*>)<id>[^<]*</id>", "$1<id> </id>", false), kContactsPath,
         "an entry in it has no id"},
        {"the contacts list for the groups", "", "", edit("2008#group'", "2008#contact'"), "/m8/feeds/groups/default/full",
         "not this account's groups list: it is a list of contacts"},
        {"another account's empty groups list", "", "",
         [&](std::string& body) {
             body = std::regex_replace(body, std::regex("<entry[\\s\\S]*</entry>"), "");
             body = std::regex_replace(body, std::regex("totalResults>[0-9]*"), "totalResults>0");
             edit("owner(@|%40)example", "someone$1example")(body);
         },
         "/m8/feeds/groups/default/full", "not this account's groups list: it names another account"},
    };
    for (const auto& answer : answers) {
        SCOPED_TRACE(answer.what);
        // Downloaded whole (the kept list lost) or as changes: neither reads as an empty list.
        for (const bool whole : {true, false}) {
            if (whole) {
                internals(model_).mContactFeed = nullptr;
                internals(model_).mGoogleContactCache = nullptr;
                ASSERT_TRUE(waitForReplacements(60));
                std::filesystem::remove(GoogleContactCache::pathInFolder(dir_ / "profile"));
            }
            // Something to carry, so that the changes hold an entry.
            const std::string note = std::string(answer.what) + (whole ? " whole" : " changes");
            ASSERT_TRUE(provider.replaceContact(googleID("Al Portal"), personXML("Al", "Portal") + "<content>" + note + "</content>",
                                                {"6contacts"}));
            provider.setAnswerFault([&answer](const test::TestRequest& req, test::TestResponse& res) {
                if (req.method != "GET" || req.path != answer.path) return;
                if (answer.change) return answer.change(res.body);
                res.body = answer.body;
                res.contentType = answer.contentType;
            });
            later();
            for (const bool planOnly : {true, false}) {
                auto run = sync(planOnly);
                EXPECT_EQ(run->outcome(), SyncRunOutcome::Other) << run->message();
                EXPECT_NE(run->message().find(answer.says), std::string::npos) << run->message();
                const auto& c = run->counts();
                EXPECT_EQ(c.appleCreated + c.appleUpdated + c.appleDeleted + c.googleCreated + c.googleUpdated + c.googleDeleted, 0);
            }
            EXPECT_EQ(localByName().size(), 5u);
            EXPECT_NE(localByName()["Al Portal"]->note(), note);
            EXPECT_EQ(provider.entries(FakeProvider::Kind::Contacts).size(), 5u);
            provider.setAnswerFault(nullptr);
            later();
            ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
            EXPECT_EQ(localByName()["Al Portal"]->note(), note);
        }
    }
    expectInSync(5);
}

// The kept list lost, the whole list is read page by page while the provider deletes an entry
// already read and gains one: an entry that exists lands on no page although the count matches.
// Nothing that exists is deleted; the run reads the list again and carries only what happened.
TEST_F(SyncFaultsTest, AWholeListThatShiftsWhileItIsPagedDeletesNothingThatExists) {
    for (const char* given : {"Al", "Bo", "Cy", "Di", "Ed", "Fy"}) addLocal({.given = given, .family = "Shift"});
    ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
    for (const int shifts : {1, 5}) {  // once, then on every download: the run gives up, refused
        SCOPED_TRACE(shifts);
        later();
        internals(model_).mContactFeed = nullptr;
        internals(model_).mGoogleContactCache = nullptr;
        ASSERT_TRUE(waitForReplacements(60));
        std::filesystem::remove(GoogleContactCache::pathInFolder(dir_ / "profile"));
        provider.setPageCap(2);
        auto left = std::make_shared<int>(shifts);
        provider.setAnswerFault([this, left](const test::TestRequest& req, test::TestResponse&) {
            if (req.method != "GET" || req.path != kContactsPath || req.query.find("updated-min") != std::string::npos ||
                req.query.find("start-index=") != std::string::npos || *left <= 0)
                return;
            // After the first page was answered: one entry gone, one more at the end.
            --*left;
            if (auto first = provider.entries(FakeProvider::Kind::Contacts); !first.empty()) provider.deleteContact(first[0].id);
            addPerson("New" + std::to_string(*left), "Shift");
        });
        auto run = sync();
        provider.setAnswerFault(nullptr);
        provider.setPageCap(0);
        EXPECT_EQ(run->outcome(), shifts == 1 ? SyncRunOutcome::Ok : SyncRunOutcome::Refused) << run->message();
        // Only what the provider deleted is deleted locally.
        const auto google = googleByName();
        for (const auto& [name, contact] : localByName())
            EXPECT_TRUE(shifts > 1 || google.count(name)) << name << " deleted although it exists";
        EXPECT_LE(run->counts().appleDeleted, 1);
    }
    later();
    ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
    expectInSync(provider.entries(FakeProvider::Kind::Contacts).size());
}

// The provider's clock steps back while the answer to the download after the run's writes is on
// its way: other clients' changes then carry earlier stamps than the list's date. A small step is
// within the margin the changes are asked for with; a larger one shows as a conflict on a write,
// after which the next run reads the whole list. Either way every change arrives and settles.
TEST_F(SyncFaultsTest, AProviderClockThatStepsBackLosesNoChange) {
    model_->setMergeContacts_2Way(true);  // Bob is edited on both sides: both edits are kept
    for (const int step : {2, 300}) {
        SCOPED_TRACE(step);
        const std::string family = "Step" + std::to_string(step);
        addLocal({.given = "Ann", .family = family});
        addLocal({.given = "Bob", .family = family});
        ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
        later();
        editLocal("Ann " + family, [](platform::CNMutableContact& c) { c.setNote("local edit"); });
        // The download after the run's writes: answered, then the clock steps back.
        auto batched = std::make_shared<std::atomic<int>>(0);
        provider.setAnswerFault([this, step, batched](const test::TestRequest& req, test::TestResponse&) {
            if (req.path == kBatchPath && *batched == 0) *batched = 1;
            if (req.method == "GET" && req.path == kContactsPath && req.query.find("updated-min") != std::string::npos &&
                *batched == 1) {
                *batched = 2;
                provider.advanceTime(-step);
            }
        });
        ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
        provider.setAnswerFault(nullptr);
        ASSERT_TRUE(provider.replaceContact(googleID("Bob " + family), personXML("Bob", family) + "<content>google edit</content>",
                                            {"6contacts"}));
        addPerson("Cy", family);
        editLocal("Bob " + family, [](platform::CNMutableContact& c) { c.setJobTitle("local title"); });
        for (int run = 0; run < 3 && sync()->plan().changes() > 0; ++run) later();
        EXPECT_EQ(localByName()["Bob " + family]->note(), "google edit");
        EXPECT_EQ(localByName()["Bob " + family]->jobTitle(), "local title");
        EXPECT_EQ(localByName().count("Cy " + family), 1u);
        later(step);
    }
    expectInSync(6);
}

// Synced while the provider's clock ran ahead, which is then set right: the kept list is dated in
// the provider's future, and what it changes next is dated before it. The edit and the deletion
// arrive with the next run all the same (the whole list is read once).
TEST_F(SyncFaultsTest, ChangesAfterTheProvidersClockWasSetRightArrive) {
    for (const int ahead : {120, 3600}) {
        SCOPED_TRACE(ahead);
        const std::string family = "Ahead" + std::to_string(ahead);
        for (const char* given : {"Ann", "Bob", "Cy"}) addLocal({.given = given, .family = family});
        provider.advanceTime(ahead);
        ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
        later(1);
        provider.advanceTime(-ahead);
        ASSERT_TRUE(provider.replaceContact(googleID("Ann " + family), personXML("Ann", family) + "<content>edited</content>",
                                            {"6contacts"}));
        ASSERT_TRUE(provider.deleteContact(googleID("Bob " + family)));
        later(1);
        auto run = sync();
        EXPECT_EQ(run->outcome(), SyncRunOutcome::Ok) << run->message();
        EXPECT_EQ(localByName()["Ann " + family]->note(), "edited");
        EXPECT_FALSE(localByName().count("Bob " + family));
        EXPECT_EQ(sync()->plan().changes(), 0u);
    }
    expectInSync(4);
}

// With pages capped, the changes since the kept list (mostly deletions) run past the pages that
// are followed while the whole list would fit: the whole list is read instead, and the
// deletions arrive.
TEST_F(SyncFaultsTest, ChangesLongerThanThePagesFollowedGiveWayToTheWholeList) {
    for (const char* given : {"Al", "Bo", "Cy", "Di"}) addLocal({.given = given, .family = "Long"});
    ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
    later();
    // Ten per page, a few dozen pages followed: 400 deletions cannot be read as changes.
    for (int i = 0; i < 400; ++i) provider.deleteContact(addPerson("Gone" + std::to_string(i), "Long"));
    ASSERT_TRUE(provider.deleteContact(googleID("Al Long")));
    provider.setPageCap(10);
    later();
    auto run = sync();
    provider.setPageCap(0);
    EXPECT_EQ(run->outcome(), SyncRunOutcome::Ok) << run->message();
    EXPECT_EQ(run->counts().appleDeleted, 1);
    EXPECT_FALSE(localByName().count("Al Long"));
    expectInSync(3);

    // Deletions count towards the changes held whole: past the most, the whole list is read.
    GoogleFeedFetch::setMostChangesHeldWhole(50);
    for (int i = 0; i < 100; ++i) provider.deleteContact(addPerson("Gone" + std::to_string(i), "Again"));
    later();
    provider.server().clearLog();
    EXPECT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
    GoogleFeedFetch::setMostChangesHeldWhole(GoogleFeedFetch::kMaxResults);
    const auto lists = provider.server().requests(kContactsPath);
    EXPECT_TRUE(std::any_of(lists.begin(), lists.end(),
                            [](const auto& r) { return r.query.find("updated-min") == std::string::npos; }));
}

TEST_F(SyncFaultsTest, AValueTheProviderShortensIsReportedAndThePairIsNotWrittenBackAndForth) {
    // The warning counts characters, not the UTF-16 units of the provider's limit: an emoji is one.
    std::string emoji;
    for (int i = 0; i < 700; ++i) emoji += "\U0001F600";
    const struct {
        std::string given, family, says;
    } cases[] = {
        {"Max", std::string(3000, 'x'), "only the first 1024 of the 3000 characters of a value"},
        {"Moe", emoji, "only the first 512 of the 700 characters of a value"},
    };
    for (const auto& c : cases) {
        addLocal({.given = c.given, .family = c.family});
        auto run = sync();
        EXPECT_EQ(run->outcome(), SyncRunOutcome::Ok) << run->message();
        ASSERT_EQ(run->result().warnings.size(), 1u) << c.given;
        EXPECT_NE(run->result().warnings[0].find(c.says), std::string::npos) << run->result().warnings[0];
        EXPECT_NE(model_->log().find(run->result().warnings[0]), std::string::npos);
        later();
        auto again = sync();
        EXPECT_EQ(again->plan().changes(), 0u) << c.given;
        EXPECT_TRUE(again->result().warnings.empty());
    }
}

}  // namespace
}  // namespace quorvane
