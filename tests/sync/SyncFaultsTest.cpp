// Whole sync runs against a provider and a user that misbehave at the worst moments: answers lost
// after the provider acted, lists cut short, edits made a second after a run. Each run must leave
// every contact once on each side, with its latest content, or refuse and lose nothing.

#include <gtest/gtest.h>

#include <regex>

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
