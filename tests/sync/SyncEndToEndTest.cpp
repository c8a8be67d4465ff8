// Whole sync runs, from the account check to the run log, against the fake provider and a real
// local contact store: what reaches each side, what a second run finds to do, and how runs that
// lose the provider, the authorization or the process itself are mended by the next run.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>

#include <sqlite3.h>
#include <httplib.h>

#include <mutex>

#include "gdata/GDataXMLWriter.h"
#include "oauth2/QNOAuth2WindowController.h"
#include "platform/contacts/CNSaveRequest.h"
#include "platform/foundation/Paths.h"
#include "platform/net/ServerTrust.h"
#include "platform/store/Keychain.h"
#include "sync/DurableReplace.h"
#include "sync/GoogleContactCache.h"
#include "sync/GoogleFeedFetch.h"
#include "sync/SyncRun.h"
#include "tests/sync/QuorvaneModelInternals.h"
#include "tests/sync/SyncEndToEndSupport.h"
#include "tests/sync/QuorvaneModelInternals.h"

namespace quorvane {
namespace {

using namespace quorvane::testing;
using test::FakeProvider;

constexpr const char* kBatchPath = "/m8/feeds/contacts/default/full/batch";

class SyncEndToEndTest : public EndToEndTestBase {};

TEST_F(SyncEndToEndTest, AFirstSyncMergesOverlapAndCreatesTheRestBothWaysThenASecondRunDoesNothing) {
    model_->setMergeContacts_2Way(true);
    // One contact a request, so that the merged pairs go to Google in several rounds of writes,
    // each merged back into its local contacts before the next.
    model_->setBatchGoogleContacts(false);
    std::vector<std::string> pairs{"Ann Lee"};
    for (int i = 0; i < 8; ++i) pairs.push_back("Pair " + std::to_string(i));
    for (const auto& name : pairs) {
        const auto space = name.find(' ');
        const std::string given = name.substr(0, space), family = name.substr(space + 1);
        addLocal({.given = given, .family = family, .emails = {given + family + "@example.com"}});
        addPerson(given, family, false, "<gd:phoneNumber rel='http://schemas.google.com/g/2005#mobile'>555 01" + family + "</gd:phoneNumber>");
    }
    addLocal({.given = "Bob", .family = "Local"});
    addPerson("Cy", "Google");

    auto first = sync();
    EXPECT_EQ(first->outcome(), SyncRunOutcome::Ok) << first->message();
    EXPECT_EQ(first->result().counts.googleCreated, 1);
    EXPECT_EQ(first->result().counts.appleCreated, 1);
    auto local = localByName();
    auto google = googleByName();
    EXPECT_EQ(local.size(), pairs.size() + 2);
    EXPECT_TRUE(local.count("Bob Local") && local.count("Cy Google"));
    EXPECT_EQ(names(google), names(local));
    // Each overlapping contact holds both sides' fields on both sides.
    for (const auto& name : pairs) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(local.count(name) && google.count(name));
        EXPECT_EQ(local[name]->phoneNumbers().size(), 1u);
        EXPECT_EQ(local[name]->emailAddresses().size(), 1u);
        EXPECT_EQ(google[name]->emailAddresses().size(), 1u);
        EXPECT_EQ(google[name]->phoneNumbers().size(), 1u);
    }

    const size_t batches = provider.server().requestCount(kBatchPath);
    later();
    auto second = sync();
    EXPECT_EQ(second->outcome(), SyncRunOutcome::Ok) << second->message();
    EXPECT_EQ(second->plan().changes(), 0u);
    EXPECT_EQ(provider.server().requestCount(kBatchPath), batches);
    expectInSync(pairs.size() + 2);
}

TEST_F(SyncEndToEndTest, AnEditOnOneSideReachesTheOtherAndGoogleUpdatesCarryTheEntryETag) {
    addLocal({.given = "Dee", .family = "Edit", .emails = {"dee@example.com"}});
    ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
    const std::string id = googleID("Dee Edit");
    const std::string etag = provider.entry(FakeProvider::Kind::Contacts, id)->etag();

    later();
    editLocal("Dee Edit", [](platform::CNMutableContact& c) { c.setNote("met at the climbing wall"); });
    provider.server().clearLog();
    ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
    EXPECT_NE(provider.entry(FakeProvider::Kind::Contacts, id)->xml.find("climbing wall"), std::string::npos);
    auto posts = provider.server().requests(kBatchPath);
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_NE(posts[0].body.find(xmlEscaped(etag)), std::string::npos) << posts[0].body;

    later();
    ASSERT_TRUE(provider.replaceContact(id, personXML("Dee", "Edit") + "<gd:email rel='http://schemas.google.com/g/2005#home' address='dee@new.example'/>", {"6contacts"}));
    ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
    auto local = localByName();
    ASSERT_EQ(local["Dee Edit"]->emailAddresses().size(), 1u);
    EXPECT_EQ(local["Dee Edit"]->emailAddresses()[0].value(), "dee@new.example");

    // An edit within the second of the write the last run read: the same update date, another ETag.
    provider.holdClock(true);
    ASSERT_TRUE(provider.replaceContact(id, personXML("Dee", "Edit") + "<gd:email rel='http://schemas.google.com/g/2005#home' address='dee@same.second'/>", {"6contacts"}));
    ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
    EXPECT_EQ(localByName()["Dee Edit"]->emailAddresses().at(0).value(), "dee@same.second");
    provider.holdClock(false);
    expectInSync(1);
}

TEST_F(SyncEndToEndTest, BothSidesEditedTheNewerWinsMergedWhenTheSettingIsOn) {
    for (bool merge : {false, true}) {
        SCOPED_TRACE(merge ? "merging" : "replacing");
        const std::string family = merge ? "Merged" : "Replaced";
        model_->setMergeContacts_2Way(merge);
        addLocal({.given = "Eve", .family = family});
        ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
        later();
        editLocal("Eve " + family, [](platform::CNMutableContact& c) {
            c.setPhoneNumbers({lv<platform::CNPhoneNumber>(std::string(platform::CNLabelHome), {"555 0199"})});
        });
        later();  // the Google edit is the newer one
        ASSERT_TRUE(provider.replaceContact(googleID("Eve " + family),
                                            personXML("Eve", family) + "<content>from Google</content>", {"6contacts"}));
        ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
        auto local = localByName()["Eve " + family];
        auto google = googleByName()["Eve " + family];
        EXPECT_EQ(local->note(), "from Google");
        EXPECT_EQ(local->phoneNumbers().size(), merge ? 1u : 0u);
        EXPECT_EQ(google->phoneNumbers().size(), merge ? 1u : 0u);
    }
    expectInSync(2);
}

// Merged into Google (the local edit is the newer), a run stopped as Google answers, before the
// merged values come back locally: the next run still drops the phone removed on Google.
TEST_F(SyncEndToEndTest, AMergeStoppedBeforeItsValuesComeBackLocallyIsFinishedByTheNextRun) {
    model_->setMergeContacts_2Way(true);
    addLocal({.given = "Eve", .family = "Stopped"});
    editLocal("Eve Stopped", [](platform::CNMutableContact& c) {
        c.setPhoneNumbers({lv<platform::CNPhoneNumber>(std::string(platform::CNLabelHome), {"555 0199"})});
    });
    ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
    later();
    ASSERT_TRUE(provider.replaceContact(googleID("Eve Stopped"), personXML("Eve", "Stopped"), {"6contacts"}));
    later();  // the local edit is the newer one
    editLocal("Eve Stopped", [](platform::CNMutableContact& c) { c.setNote("from here"); });
    provider.setAnswerFault([this](const test::TestRequest& req, test::TestResponse&) {
        if (req.path != "/m8/feeds/contacts/default/full/batch") return;
        platform::RunLoop::main()->post([this] {
            if (internals(model_).mSyncRun) internals(model_).mSyncRun->cancel();
        });
    });
    sync();
    provider.setAnswerFault(nullptr);
    later();
    ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
    auto local = localByName()["Eve Stopped"];
    auto google = googleByName()["Eve Stopped"];
    EXPECT_EQ(local->note(), "from here");
    EXPECT_EQ(googleNote(google), "from here");
    EXPECT_TRUE(local->phoneNumbers().empty());
    EXPECT_TRUE(google->phoneNumbers().empty());
    expectInSync(1);
}

TEST_F(SyncEndToEndTest, AOneWayMergeWritesOnlyItsDestination) {
    model_->setMergeContacts_1Way(true);
    for (int32_t mode : {SyncModeGoogleToMac, SyncModeMacToGoogle}) {
        SCOPED_TRACE(mode);
        const std::string family = mode == SyncModeGoogleToMac ? "ToLocal" : "ToGoogle";
        addLocal({.given = "Nia", .family = family, .emails = {"nia@example.com"}});
        addPerson("Nia", family, false, "<gd:phoneNumber rel='http://schemas.google.com/g/2005#mobile'>555 0102</gd:phoneNumber>");
        ASSERT_EQ(sync(false, mode)->outcome(), SyncRunOutcome::Ok);
        auto local = localByName()["Nia " + family];
        auto google = googleByName()["Nia " + family];
        EXPECT_EQ(local->emailAddresses().size() + local->phoneNumbers().size(), mode == SyncModeGoogleToMac ? 2u : 1u);
        EXPECT_EQ(google->emailAddresses().size() + google->phoneNumbers().size(), mode == SyncModeMacToGoogle ? 2u : 1u);
    }
}

TEST_F(SyncEndToEndTest, AContactDeletedOnGoogleIsDeletedLocallyOnlyWhenDeletionsAreSynced) {
    for (bool deletions : {false, true}) {
        SCOPED_TRACE(deletions ? "deletions synced" : "deletions not synced");
        const std::string name = std::string("Flo ") + (deletions ? "Deleted" : "Kept");
        model_->setSyncDeletedContacts(deletions);
        addLocal({.given = "Flo", .family = deletions ? "Deleted" : "Kept"});
        ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
        later();
        ASSERT_TRUE(provider.deleteContact(googleID(name)));
        auto run = sync();
        ASSERT_EQ(run->outcome(), SyncRunOutcome::Ok) << run->message();
        EXPECT_EQ(localByName().count(name), deletions ? 0u : 1u);
        EXPECT_EQ(run->result().counts.appleDeleted, deletions ? 1 : 0);
    }
}

TEST_F(SyncEndToEndTest, ARunOnTheKeptListSendsWholeEntriesAndTakesInTheProvidersEditsAndDeletions) {
    // As a new process would start each run: nothing in memory, the list kept on disk.
    auto fromDisk = [&] {
        internals(model_).mContactFeed = nullptr;
        internals(model_).mGoogleContactCache = nullptr;
    };
    const std::string kim = addPerson("Kim", "Kept", false, "<x:kept xmlns:x='urn:example:kept' level='2'>keep me</x:kept>");
    const std::string del = addPerson("Del", "Gone");
    const std::string ed = addPerson("Ed", "Changed");
    later();
    provider.addGroup("Unrelated");  // the list is dated after the contacts' last change
    ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
    ASSERT_EQ(localByName().size(), 3u);

    later();
    fromDisk();
    editLocal("Kim Kept", [](platform::CNMutableContact& c) { c.setNote("edited locally"); });
    ASSERT_TRUE(provider.deleteContact(del));
    ASSERT_TRUE(provider.replaceContact(ed, personXML("Ed", "Changed") + "<content>edited on Google</content>", {"6contacts"}));
    provider.server().clearLog();
    auto run = sync();
    ASSERT_EQ(run->outcome(), SyncRunOutcome::Ok) << run->message();
    EXPECT_TRUE(run->feeds().contacts.incremental);
    // The changes since the kept list, and after the run's write to Google the changes since
    // again (the kept list then takes that write in and is dated after it).
    auto feedRequests = provider.server().requests("/m8/feeds/contacts/default/full");
    ASSERT_EQ(feedRequests.size(), 2u);
    for (const auto& request : feedRequests) EXPECT_NE(request.query.find("updated-min="), std::string::npos);
    // The update of a contact known only from the kept list carried its whole entry.
    const std::string kept = provider.entry(FakeProvider::Kind::Contacts, kim)->xml;
    EXPECT_NE(kept.find("keep me"), std::string::npos) << kept;
    EXPECT_NE(kept.find("edited locally"), std::string::npos) << kept;
    auto local = localByName();
    EXPECT_EQ(local.count("Del Gone"), 0u);
    EXPECT_EQ(local["Ed Changed"]->note(), "edited on Google");
    EXPECT_EQ(run->result().counts.appleDeleted, 1);

    // The contact the provider deleted stays deleted on both sides in the next runs.
    for (int i = 0; i < 2; ++i) {
        later();
        fromDisk();
        auto again = sync();
        ASSERT_EQ(again->outcome(), SyncRunOutcome::Ok);
        EXPECT_EQ(again->result().counts.appleCreated + again->result().counts.googleCreated, 0);
    }
    EXPECT_TRUE(provider.entry(FakeProvider::Kind::Contacts, del)->deleted);
    fromDisk();
    expectInSync(2);
}

// A run makes more Google contacts than a download of changes holds whole; the next run, as a
// new process, must download one page of changes and carry an edit stamped with the second the
// kept list is dated at. The download that dates the kept list after the run's writes may fail:
// the list then keeps the answers and its date, and the next run is as good.
class KeptListAfterWritesTest : public EndToEndTestBase, public ::testing::WithParamInterface<bool> {};

TEST_P(KeptListAfterWritesTest, TheRunAfterOneThatMadeManyGoogleContactsDownloadsOnePageOfChangesWithAnEditOfItsDatedSecond) {
    const bool redatingFails = GetParam();
    struct Limit {
        size_t was = GoogleFeedFetch::mostChangesHeldWhole();
        ~Limit() { GoogleFeedFetch::setMostChangesHeldWhole(was); }
    } limit;
    GoogleFeedFetch::setMostChangesHeldWhole(10);
    for (int i = 0; i < 40; ++i) {
        addLocal(AppleName{.given = "Many", .family = std::to_string(i)});
        editLocal("Many " + std::to_string(i), [&](platform::CNMutableContact& c) { c.setNote("note " + std::to_string(i)); });
    }
    if (redatingFails) {
        provider.setAnswerFault([](const test::TestRequest& request, test::TestResponse& answer) {
            if (request.method == "GET" && request.path == "/m8/feeds/contacts/default/full" &&
                request.query.find("updated-min=") != std::string::npos) {
                answer.status = 400;
                answer.body = "Bad Request";
            }
        });
    }
    ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
    provider.setAnswerFault(nullptr);
    ASSERT_EQ(googleByName().size(), 40u);
    // The answers are kept as Google keeps the contacts: without the batch elements of the answer.
    ASSERT_TRUE(waitForReplacements(60));
    std::string keptList;
    ASSERT_TRUE(platform::readFile(GoogleContactCache::pathInFolder(dir_ / "profile"), keptList));
    EXPECT_EQ(keptList.find("<batch:"), std::string::npos);

    // As a new process starts; an edit on Google stamped with the provider's last stamp (its
    // clock held): the run's last write, the second the kept list is dated at when it could be.
    internals(model_).mContactFeed = nullptr;
    internals(model_).mGoogleContactCache = nullptr;
    provider.holdClock(true);
    ASSERT_TRUE(provider.editContact(googleID("Many 7"), [](std::string& xml) {
        xml.replace(xml.find("note 7"), 6, "edited in the dated second");
    }));
    provider.holdClock(false);
    provider.server().clearLog();
    auto run = sync();
    ASSERT_EQ(run->outcome(), SyncRunOutcome::Ok) << run->message();
    auto lists = provider.server().requests("/m8/feeds/contacts/default/full");
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_NE(lists[0].query.find("updated-min="), std::string::npos);
    EXPECT_TRUE(run->feeds().contacts.incremental && run->feeds().contacts.complete);
    EXPECT_EQ(localByName()["Many 7"]->note(), "edited in the dated second");
    EXPECT_EQ(run->result().counts.appleUpdated, 1);
    EXPECT_EQ(run->plan().changes(), 1u);
    expectInSync(40);

    // A kept contact sent again carries this request's batch elements alone, and nothing it sends
    // comes back shortened.
    later();
    editLocal("Many 3", [](platform::CNMutableContact& c) { c.setNote("edited locally"); });
    provider.server().clearLog();
    run = sync();
    ASSERT_EQ(run->result().counts.googleUpdated, 1);
    EXPECT_TRUE(run->result().warnings.empty()) << run->result().warnings.front();
    auto batches = provider.server().requests("/m8/feeds/contacts/default/full/batch");
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0].body.find("batch:status"), std::string::npos) << batches[0].body;
}

INSTANTIATE_TEST_SUITE_P(Redating, KeptListAfterWritesTest, ::testing::Values(false, true));

TEST_F(SyncEndToEndTest, AKeptEntryThatCannotBeReadIsNeverSentInPartAndTheNextRunSendsItWhole) {
    const std::string kim = addPerson("Kim", "Kept", false, "<x:kept xmlns:x='urn:example:kept' level='2'>keep me</x:kept>");
    later();
    provider.addGroup("Unrelated");  // the list is dated after the contacts' last change
    ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);

    // Kim's kept bytes damaged, then an edit on the local side: the run has only Kim's summary.
    const auto keptList = GoogleContactCache::pathInFolder(dir_ / "profile");
    ASSERT_TRUE(waitForReplacements(60));
    std::string bytes;
    ASSERT_TRUE(platform::readFile(keptList, bytes));
    const size_t at = bytes.find("keep me");
    ASSERT_NE(at, std::string::npos);
    bytes[at] = 'K';
    ASSERT_TRUE(platform::writeFileAtomically(keptList, bytes));
    internals(model_).mContactFeed = nullptr;
    internals(model_).mGoogleContactCache = nullptr;
    later();
    editLocal("Kim Kept", [](platform::CNMutableContact& c) { c.setNote("edited locally"); });
    auto run = sync();
    ASSERT_EQ(run->outcome(), SyncRunOutcome::Ok) << run->message();
    EXPECT_EQ(run->plan().changes(), 0u);
    ASSERT_EQ(run->plan().notes.size(), 1u);
    EXPECT_NE(run->plan().notes[0].find("could not be read"), std::string::npos) << run->plan().notes[0];
    std::string onGoogle = provider.entry(FakeProvider::Kind::Contacts, kim)->xml;
    EXPECT_NE(onGoogle.find("keep me"), std::string::npos) << onGoogle;
    EXPECT_EQ(onGoogle.find("edited locally"), std::string::npos) << onGoogle;

    // The next run downloads the whole list and sends the whole entry with the edit.
    later();
    ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
    onGoogle = provider.entry(FakeProvider::Kind::Contacts, kim)->xml;
    EXPECT_NE(onGoogle.find("keep me"), std::string::npos) << onGoogle;
    EXPECT_NE(onGoogle.find("edited locally"), std::string::npos) << onGoogle;
}

TEST_F(SyncEndToEndTest, AnEntryAnswered503IsSentAgainAConflictIsNotAndTheNextRunRepairsIt) {
    for (const char* family : {"Adams", "Brown", "Clark"}) addLocal({.given = "Gus", .family = family});
    ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
    later();
    for (const char* family : {"Adams", "Brown", "Clark"})
        editLocal(std::string("Gus ") + family, [](platform::CNMutableContact& c) { c.setNote("edited"); });
    // The records go out in name order: Adams 0, Brown 1, Clark 2.
    auto sends = std::make_shared<std::map<std::string, int>>();
    provider.setBatchFault([sends](const std::string& batchID, const std::string&) -> std::optional<int> {
        int n = ++(*sends)[batchID];
        if (batchID == "0" && n == 1) return 503;
        if (batchID == "1") return 412;
        if (batchID == "2") return 409;
        return std::nullopt;
    });
    auto run = sync();
    EXPECT_EQ(run->outcome(), SyncRunOutcome::Partial);
    EXPECT_EQ((*sends)["0"], 2);
    EXPECT_EQ((*sends)["1"], 1);
    EXPECT_EQ((*sends)["2"], 1);
    auto google = googleByName();
    EXPECT_EQ(googleNote(google["Gus Adams"]), "edited");
    EXPECT_EQ(googleNote(google["Gus Brown"]), "");
    EXPECT_EQ(googleNote(google["Gus Clark"]), "");

    provider.setBatchFault(nullptr);
    ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
    for (const auto& [name, entry] : googleByName()) EXPECT_EQ(googleNote(entry), "edited") << name;
    expectInSync(3);
}

// Once the contacts are downloaded, the provider stops taking the tokens it gave.
class SyncEndToEndAuthTest : public EndToEndTestBase {
protected:
    void TearDown() override {
        QNOAuth2WindowController::removeAuthFromKeychainForName(QuorvaneModel::kKeychainItemName);
        EndToEndTestBase::TearDown();
    }
    void failTokensAfterTheDownload(bool revoke) {
        provider.setAnswerFault([this, revoke](const test::TestRequest& req, test::TestResponse&) {
            if (req.method != "GET" || req.path != "/m8/feeds/contacts/default/full") return;
            provider.setAnswerFault(nullptr);
            revoke ? provider.revokeAllTokens() : provider.expireAccessTokens();
        });
    }
};

TEST_F(SyncEndToEndAuthTest, AnExpiredTokenIsRefreshedOnceAndTheRunGoesOn) {
    addLocal({.given = "Hal", .family = "Token"});
    const size_t refreshes = provider.tokenRequests();
    failTokensAfterTheDownload(false);
    auto run = sync();
    EXPECT_EQ(run->outcome(), SyncRunOutcome::Ok) << run->message();
    EXPECT_EQ(provider.tokenRequests(), refreshes + 1);
    EXPECT_EQ(googleByName().count("Hal Token"), 1u);
    EXPECT_TRUE(internals(model_).mAuth);
}

TEST_F(SyncEndToEndAuthTest, AnInvalidGrantEndsTheRunSignedOutWithTheAuthorizationResult) {
    ASSERT_TRUE(QNOAuth2WindowController::saveAuthToKeychainForName(QuorvaneModel::kKeychainItemName, account.auth));
    addLocal({.given = "Ida", .family = "Revoked"});
    failTokensAfterTheDownload(true);
    auto run = sync();
    EXPECT_EQ(run->outcome(), SyncRunOutcome::Auth) << run->message();
    EXPECT_FALSE(internals(model_).mAuth);
    EXPECT_FALSE(QNOAuth2WindowController::authForGoogleFromKeychainForName(QuorvaneModel::kKeychainItemName, "", "")
                     ->canAuthorize());
    model_->fetchSyncLogRecords();
    ASSERT_FALSE(model_->syncLogRecords().empty());
    EXPECT_EQ(model_->syncLogRecords().back().result, "auth");
}

TEST_F(SyncEndToEndTest, AConnectionLostDuringARunEndsItAsNetworkAndTheRerunMakesNoDuplicate) {
    for (const char* given : {"Jo", "Kim", "Lou"}) addLocal({.given = given, .family = "Offline"});
    // The provider carries the batch out, but its answer never arrives whole.
    provider.setAnswerFault([](const test::TestRequest& req, test::TestResponse& res) {
        if (req.path == kBatchPath) res.closeAfter = 10;
    });
    auto run = sync();
    EXPECT_EQ(run->outcome(), SyncRunOutcome::Network) << run->message();
    provider.setAnswerFault(nullptr);
    later();
    auto rerun = sync();
    EXPECT_EQ(rerun->outcome(), SyncRunOutcome::Ok) << rerun->message();
    EXPECT_EQ(names(googleByName()), (std::vector<std::string>{"Jo Offline", "Kim Offline", "Lou Offline"}));
    EXPECT_EQ(provider.entries(FakeProvider::Kind::Contacts).size(), 3u);
    expectInSync(3);
}

// A local contact changed while the run waits for its plan to be confirmed (in any field, its
// photo or the account it is in) is not written over, deleted or given the provider's photo: the
// run says it was left for the next run, which sees the change.
TEST_F(SyncEndToEndTest, ALocalChangeMadeWhileTheRunWaitsIsNotOverwrittenAndTheNextRunCarriesIt) {
    model_->setSyncPhotosSetting(true);
    auto other = addContainer("Elsewhere", platform::CNContainerType::Local);
    const platform::Bytes mine = {0xFF, 0xD8, 'm', 'i', 'n', 'e', 0xFF, 0xD9};
    const auto moveElsewhere = [&](const std::string& name) { moveLocal(localByName()[name]->identifier(), other); };
    const struct {
        const char* family;
        std::function<void(const std::string& id)> onGoogle;  // the provider's change
        std::function<void(const std::string& name)> locally;  // made while the run waits
        bool elsewhere = false;                                // the contact ends in the other account
    } cases[] = {
        {"Note", [&](const std::string& id) { provider.replaceContact(id, personXML("Eve", "Note") + "<content>g</content>", {"6contacts"}); },
         [&](const std::string& name) { editLocal(name, [](platform::CNMutableContact& c) { c.setNote("added while waiting"); }); }},
        {"Deleted", [&](const std::string& id) { provider.deleteContact(id); },
         [&](const std::string& name) { editLocal(name, [&](platform::CNMutableContact& c) { c.setImageData(mine); }); }},
        {"Photo", [&](const std::string& id) { provider.setPhoto(id, std::string("\xFF\xD8 theirs \xFF\xD9")); },
         [&](const std::string& name) { editLocal(name, [&](platform::CNMutableContact& c) { c.setImageData(mine); }); }},
        {"Moved", [&](const std::string& id) { provider.deleteContact(id); }, moveElsewhere, true},
        {"MovedEdited", [&](const std::string& id) { provider.replaceContact(id, personXML("Eve", "MovedEdited") + "<content>g</content>", {"6contacts"}); },
         moveElsewhere, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.family);
        const std::string name = std::string("Eve ") + c.family;
        addLocal({.given = "Eve", .family = c.family});
        ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
        later();
        const std::string localID = localByName()[name]->identifier();
        c.onGoogle(googleID(name));
        later();
        SyncRunOptions options;
        options.planOnly = false;
        options.confirm = [&](SyncRun&, std::function<void(bool)> answer) {
            c.locally(name);
            answer(true);
        };
        bool finished = false;
        auto run = model_->startSyncRun(options, [&](SyncRun&) { finished = true; });
        ASSERT_TRUE(run && platform::RunLoop::main()->runUntil([&] { return finished; }, 240));
        EXPECT_EQ(run->outcome(), SyncRunOutcome::Partial) << run->message();
        ASSERT_EQ(run->result().failed.size(), 1u);
        EXPECT_EQ(run->result().failed[0].reason, "Changed locally during the sync, left for the next run");
        auto kept = store_->unifiedContactsMatchingPredicate(platform::CNContact::predicateForContactsWithIdentifiers({localID}),
                                                              {platform::CNContactNoteKey, platform::CNContactImageDataKey});
        ASSERT_TRUE(kept && kept->size() == 1u);
        const auto& contact = kept->front();
        if (std::string(c.family) == "Note") EXPECT_EQ(contact->note(), "added while waiting");
        if (std::string(c.family) == "Deleted" || std::string(c.family) == "Photo") EXPECT_EQ(contact->imageData(), mine);
        if (c.elsewhere) {
            auto in = store_->containersMatchingPredicate(platform::CNContainer::predicateForContainerOfContactWithIdentifier(localID));
            ASSERT_TRUE(in && in->size() == 1u);
            EXPECT_EQ(in->front()->identifier(), other->identifier());
            EXPECT_EQ(contact->note(), "");
        }
        later();
        ASSERT_NE(sync()->outcome(), SyncRunOutcome::Refused);
    }
    later();
    EXPECT_EQ(googleNote(googleByName()["Eve Note"]), "added while waiting");
}

// A creation the provider carries out after the run that sent it gave up, and after the next run
// made the contact again, leaves two Google contacts of one local contact. The run after removes
// the copy that holds the same and leaves one that differs (in its text, its photo or its groups),
// saying so; neither is copied locally.
TEST_F(SyncEndToEndTest, ACreationTheProviderCarriesOutLateLeavesNoDuplicateAfterTheNextRun) {
    for (const std::string family : {"Same", "Differs", "Grouped", "Pictured"}) {
        const bool editedBetween = family == "Differs", same = family == "Same";
        SCOPED_TRACE(family);
        addLocal({.given = "Lia", .family = family});
        auto mutex = std::make_shared<std::mutex>();
        auto sent = std::make_shared<std::pair<std::string, std::string>>();  // the request body, its authorization
        provider.setBatchFault([](const std::string&, const std::string& type) -> std::optional<int> {
            return type == "insert" ? std::optional<int>(503) : std::nullopt;  // held back for now
        });
        provider.setAnswerFault([mutex, sent](const test::TestRequest& req, test::TestResponse& res) {
            if (req.path != kBatchPath) return;
            std::lock_guard lock(*mutex);
            *sent = {req.body, req.header("Authorization").value_or("")};
            res.closeAfter = 10;
        });
        EXPECT_EQ(sync()->outcome(), SyncRunOutcome::Network);
        provider.setBatchFault(nullptr);
        provider.setAnswerFault(nullptr);
        later();
        if (editedBetween) editLocal("Lia " + family, [](platform::CNMutableContact& c) { c.setNote("newer"); });
        ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
        // The provider carries out the first run's request now.
        httplib::Client late(provider.server().baseURL());
        late.set_ca_cert_path(test::TestHTTPServer::caCertificatePath().c_str());
        std::lock_guard lock(*mutex);
        auto answer = late.Post(kBatchPath, {{"Authorization", sent->second}}, sent->first, "application/atom+xml");
        ASSERT_TRUE(answer && answer->status == 200);
        // The late copy gains what a deletion would lose.
        std::string copy;
        for (const auto& e : provider.entries(FakeProvider::Kind::Contacts))
            if (e.xml.find(family) != std::string::npos) copy = e.id;
        if (family == "Grouped") {
            provider.editContact(copy, [&](std::string& xml) {
                xml.insert(xml.rfind("</entry>"), "<gContact:groupMembershipInfo deleted='false' href='" +
                                                      provider.idURL(FakeProvider::Kind::Groups, "6friends") + "'/>");
            });
        }
        if (family == "Pictured") provider.setPhoto(copy, std::string("\xFF\xD8 copy's photo \xFF\xD9"));
        later();
        auto run = sync();
        EXPECT_EQ(run->outcome(), SyncRunOutcome::Ok) << run->message();
        const auto notes = run->plan().notes;
        EXPECT_EQ(std::count_if(notes.begin(), notes.end(),
                                [](const std::string& n) { return n.find(" Google contacts made twice") != std::string::npos; }),
                  1);
        size_t copies = 0;
        for (const auto& e : provider.entries(FakeProvider::Kind::Contacts)) copies += e.xml.find(family) != std::string::npos;
        EXPECT_EQ(copies, same ? 1u : 2u);
        if (!same) EXPECT_TRUE(provider.entry(FakeProvider::Kind::Contacts, copy));
        EXPECT_EQ(localByName().count("Lia " + family), 1u);
        EXPECT_EQ(sync()->plan().changes(), 0u);
    }
}

// Two people of one name and organisation, told apart by their e-mail addresses: deleting one
// on either side deletes its partner, and only it, once.
TEST_F(SyncEndToEndTest, ADeletedTwinIsDeletedOnTheOtherSideAndItsTwinStays) {
    const auto localEmails = [this](const std::string& family) {
        std::multiset<std::string> out;
        auto all = store_->unifiedContactsMatchingPredicate(nullptr, {platform::CNContactFamilyNameKey, platform::CNContactEmailAddressesKey});
        for (const auto& c : all.valueOr(std::vector<platform::CNContactPtr>{}))
            if (c->familyName() == family)
                for (const auto& e : c->emailAddresses()) out.insert(e.value());
        return out;
    };
    const auto googleWith = [this](const std::string& email) {
        std::vector<std::string> ids;
        for (const auto& e : provider.entries(FakeProvider::Kind::Contacts))
            if (e.xml.find(email) != std::string::npos) ids.push_back(e.id);
        return ids;
    };
    for (const bool onGoogle : {false, true}) {
        const std::string family = onGoogle ? "GoogleTwin" : "LocalTwin";
        SCOPED_TRACE(family);
        const std::string gone = "gone@" + family + ".example", stays = "stays@" + family + ".example";
        addLocal({.given = "Sam", .family = family, .organization = "Acme", .emails = {gone}});
        addLocal({.given = "Sam", .family = family, .organization = "Acme", .emails = {stays}});
        ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
        ASSERT_EQ(googleWith(gone).size(), 1u);
        later();
        if (onGoogle) {
            ASSERT_TRUE(provider.deleteContact(googleWith(gone)[0]));
        } else {
            auto all = store_->unifiedContactsMatchingPredicate(nullptr, {platform::CNContactEmailAddressesKey});
            for (const auto& c : all.valueOr(std::vector<platform::CNContactPtr>{}))
                if (!c->emailAddresses().empty() && c->emailAddresses()[0].value() == gone) saveLocal(c, nullptr, /*remove=*/true);
        }
        later();
        auto run = sync();
        EXPECT_EQ(run->outcome(), SyncRunOutcome::Ok) << run->message();
        EXPECT_EQ(run->result().counts.googleDeleted + run->result().counts.appleDeleted, 1);
        EXPECT_EQ(localEmails(family), (std::multiset<std::string>{stays}));
        EXPECT_TRUE(googleWith(gone).empty());
        EXPECT_EQ(googleWith(stays).size(), 1u);
        later();
        EXPECT_EQ(sync(true)->plan().changes(), 0u);
    }
}

TEST_F(SyncEndToEndTest, APhotoIsUploadedOnceAndTheNextRunMovesNoPhoto) {
    model_->setSyncPhotosSetting(true);
    model_->setMergeContacts_2Way(true);
    const platform::Bytes photo = {0xFF, 0xD8, 0xFF, 0xE0, 'f', 'a', 'c', 'e', 0xFF, 0xD9};
    // A pair whose Google side holds more: merged, so its local contact is written back as well.
    addPerson("Ray", "Merged", false, "<gd:phoneNumber rel='http://schemas.google.com/g/2005#mobile'>555 0101</gd:phoneNumber>");
    later();
    addLocal({.given = "Ray", .family = "Merged"}, photo);
    addLocal({.given = "May", .family = "Photo"}, photo);
    auto run = sync();
    ASSERT_EQ(run->outcome(), SyncRunOutcome::Ok) << run->message();
    EXPECT_EQ(run->result().counts.photosMoved, 2);
    EXPECT_EQ(run->result().counts.appleUpdated, 1);  // the merged pair
    auto stored = provider.entry(FakeProvider::Kind::Contacts, googleID("May Photo"));
    ASSERT_TRUE(stored && stored->photo);
    EXPECT_EQ(*stored->photo, std::string(photo.begin(), photo.end()));

    later();
    provider.server().clearLog();
    auto next = sync();
    EXPECT_EQ(next->result().counts.photosMoved, 0);
    EXPECT_EQ(next->plan().changes(), 0u);
    EXPECT_EQ(provider.server().requestCount("/m8/feeds/photos/media/default/" + stored->id), 0u);

    // An edit of either contact sends the edit, not the photo Google already holds.
    later();
    for (const char* name : {"Ray Merged", "May Photo"})
        editLocal(name, [](platform::CNMutableContact& c) { c.setNote("edited"); });
    auto edited = sync();
    ASSERT_EQ(edited->outcome(), SyncRunOutcome::Ok) << edited->message();
    EXPECT_EQ(edited->result().counts.googleUpdated, 2);
    EXPECT_EQ(edited->result().counts.photosMoved, 0);
}

TEST_F(SyncEndToEndTest, ALocalContactWhoseTextIsNotUTF8FailsAloneAndTheRestOfItsBatchIsSent) {
    for (int i = 0; i < 5; ++i) addLocal({.given = "Good", .family = std::to_string(i)});
    const std::string bad = addLocal({.given = "Bad", .family = "Byte"});
    // A name another program wrote into the store's file: it holds the byte 0xFF.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(store_->path().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "UPDATE contacts SET given_name = 'B' || x'FF' || 'd' WHERE identifier = ?", -1, &st, nullptr), SQLITE_OK);
    sqlite3_bind_text(st, 1, bad.c_str(), -1, SQLITE_TRANSIENT);
    ASSERT_EQ(sqlite3_step(st), SQLITE_DONE);
    sqlite3_finalize(st);
    sqlite3_close(db);

    for (int round = 0; round < 2; ++round) {  // the same on every run, with no duplicate
        SCOPED_TRACE(round);
        auto run = sync();
        EXPECT_EQ(run->outcome(), SyncRunOutcome::Partial) << run->message();
        EXPECT_EQ(run->result().counts.googleCreated, round == 0 ? 5 : 0);
        ASSERT_EQ(run->result().failed.size(), 1u);
        EXPECT_NE(run->result().failed[0].reason.find("given name"), std::string::npos) << run->result().failed[0].reason;
        EXPECT_EQ(provider.entries(FakeProvider::Kind::Contacts).size(), 5u);
        later();
    }
    for (const auto& request : provider.server().requests(kBatchPath))
        EXPECT_FALSE(xmlDocumentProblem(request.body)) << request.body;
}

// A stored local value that cannot be read (another program wrote it) is not an empty one, and
// text that is not UTF-8 is not cut: the contact fails alone, naming the field, on every run, and
// nothing of it is written on either side, while a provider edit of another contact is carried.
TEST_F(SyncEndToEndTest, AStoredLocalValueThatCannotBeReadFailsItsContactAloneAndIsWrittenNowhere) {
    struct Case {
        const char* family;
        const char* column;
        std::string value;  // SQL
        const char* field;
    };
    const Case cases[] = {
        {"Phone", "phone_numbers", "'[{\"identifier\":\"p\",\"label\":\"mo' || x'FF' || '\",\"value\":\"555 0100\"}]'", "phone numbers"},
        {"Mail", "email_addresses", "'[{\"identifier\":\"m\",\"label\":\"ho' || x'FF' || '\",\"value\":\"a@example.com\"}]'",
         "e-mail addresses"},
        {"Lone", "given_name", "'Annette' || x'EDA080'", "given name"},  // a surrogate encoded on its own
        // A value of another shape than the store writes (another program's), and dates in words.
        {"Shape", "phone_numbers", "'[{\"identifier\":\"p\",\"label\":null,\"value\":{\"stringValue\":\"555 0100\"}}]'",
         "phone numbers"},
        {"Date", "birthday", "'{\"year\":\"1980\",\"month\":2,\"day\":3}'", "birthday"},
    };
    const std::string body = "<gd:email rel='http://schemas.google.com/g/2005#home' address='a@example.com'/>"
                             "<gd:phoneNumber rel='http://schemas.google.com/g/2005#mobile'>555 0100</gd:phoneNumber>";
    std::map<std::string, std::string> ids;
    const std::vector<const char*> families = {"Phone", "Mail", "Lone", "Shape", "Date", "Good"};
    for (const char* family : families) {
        ids[family] = addLocal({.given = "Ann", .family = family, .emails = {"a@example.com"}});
        editLocal(std::string("Ann ") + family, [](platform::CNMutableContact& c) {
            c.setPhoneNumbers({{std::string(platform::CNLabelPhoneNumberMobile), platform::CNPhoneNumber{"555 0100"}}});
        });
    }
    ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
    std::map<std::string, std::string> googleIDs;
    for (const char* family : families) googleIDs[family] = googleID(std::string("Ann ") + family);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(store_->path().c_str(), &db), SQLITE_OK);
    auto column = [&](const Case& c, const std::string* set) {
        const std::string sql = std::string(set ? "UPDATE contacts SET " : "SELECT ") + c.column +
                                (set ? " = " + *set : std::string()) + (set ? "" : " FROM contacts") + " WHERE identifier = ?";
        sqlite3_stmt* st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql;
        sqlite3_bind_text(st, 1, ids[c.family].c_str(), -1, SQLITE_TRANSIENT);
        std::string out;
        if (sqlite3_step(st) == SQLITE_ROW) out.assign(reinterpret_cast<const char*>(sqlite3_column_blob(st, 0)), sqlite3_column_bytes(st, 0));
        sqlite3_finalize(st);
        return out;
    };
    later();
    std::map<std::string, std::string> stored, googleXML;
    for (const Case& c : cases) {
        column(c, &c.value);
        stored[c.family] = column(c, nullptr);
    }
    for (const char* family : families) {
        ASSERT_TRUE(provider.replaceContact(googleIDs[family], personXML("Ann", family) + "<content>edited</content>" + body,
                                            {"6contacts"}));
        googleXML[family] = provider.entry(FakeProvider::Kind::Contacts, googleIDs[family])->xml;
    }
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        later();
        auto run = sync();
        EXPECT_EQ(run->outcome(), SyncRunOutcome::Partial) << run->message();
        EXPECT_EQ(run->result().counts.appleUpdated, round == 0 ? 1 : 0);  // the good one
        ASSERT_EQ(run->result().failed.size(), std::size(cases));
        for (const Case& c : cases) {
            EXPECT_EQ(column(c, nullptr), stored[c.family]) << c.family;
            EXPECT_EQ(provider.entry(FakeProvider::Kind::Contacts, googleIDs[c.family])->xml, googleXML[c.family]) << c.family;
            bool named = false;
            for (const auto& f : run->result().failed) named = named || f.reason.find(c.field) != std::string::npos;
            EXPECT_TRUE(named) << c.field;
        }
        EXPECT_EQ(localByName()["Ann Good"]->note(), "edited");
    }
    sqlite3_close(db);
}

TEST_F(SyncEndToEndTest, APhotoAddedChangedOrRemovedOnEitherSideAloneReachesTheOther) {
    model_->setSyncPhotosSetting(true);
    addLocal({.given = "Pia", .family = "Pic"});
    ASSERT_EQ(sync()->outcome(), SyncRunOutcome::Ok);
    const std::string id = googleID("Pia Pic");
    auto localPhoto = [&] { return localByName()["Pia Pic"]->imageData(); };
    auto googlePhoto = [&] { return provider.entry(FakeProvider::Kind::Contacts, id)->photo; };
    auto bytes = [](const std::string& s) { return platform::Bytes(s.begin(), s.end()); };
    auto setLocal = [&](std::optional<platform::Bytes> photo) {
        editLocal("Pia Pic", [&](platform::CNMutableContact& c) { c.setImageData(photo); });
    };
    // A text edit on one side, then (later, so that side is the newer) a photo change on the other.
    auto googleNoteThen = [&](const std::function<void()>& photo) {
        ASSERT_TRUE(provider.replaceContact(id, personXML("Pia", "Pic") + "<content>from Google</content>", {"6contacts"}));
        later();
        photo();
    };
    auto localNoteThen = [&](const std::function<void()>& photo) {
        editLocal("Pia Pic", [](platform::CNMutableContact& c) { c.setNote("from here"); });
        later();
        photo();
    };
    struct Step {
        const char* what;
        std::function<void()> change;
        std::optional<std::string> expected;  // on both sides after the run
        const char* note = nullptr;           // the note on both sides after the run, when checked
        int moved = 1;                        // photos the run moves
    };
    const Step steps[] = {
        {"added locally", [&] { setLocal(bytes("\xFF\xD8one")); }, "\xFF\xD8one"},
        {"changed locally, same size", [&] { setLocal(bytes("\xFF\xD8two")); }, "\xFF\xD8two"},
        {"changed on Google", [&] { provider.setPhoto(id, "\xFF\xD8three"); }, "\xFF\xD8three"},
        {"removed on Google", [&] { provider.setPhoto(id, std::nullopt); }, std::nullopt},
        {"added on Google", [&] { provider.setPhoto(id, "\xFF\xD8four"); }, "\xFF\xD8four"},
        // A photo moves on its own: it never carries its side's older text over the other's edit.
        {"Google note, then a local photo", [&] { googleNoteThen([&] { setLocal(bytes("\xFF\xD8five")); }); },
         "\xFF\xD8five", "from Google"},
        {"local note, then a Google photo", [&] { localNoteThen([&] { provider.setPhoto(id, "\xFF\xD8six"); }); },
         "\xFF\xD8six", "from here"},
        {"both photos, Google's newer", [&] { setLocal(bytes("\xFF\xD8seven")); later(); provider.setPhoto(id, "\xFF\xD8eight"); },
         "\xFF\xD8eight"},
        // A history of a version that kept no photo digests: the photo is compared with Google's once.
        {"changed locally, same size, before the history kept photo digests", [&] {
             setLocal(bytes("\xFF\xD8nine!"));
             sqlite3* db = nullptr;
             ASSERT_EQ(sqlite3_open(SyncStore::pathInFolder(dir_ / "profile").c_str(), &db), SQLITE_OK);
             EXPECT_EQ(sqlite3_exec(db, "UPDATE sync_history SET apple_photo_digest = NULL", nullptr, nullptr, nullptr), SQLITE_OK);
             sqlite3_close(db);
         }, "\xFF\xD8nine!"},
        // Gone from both sides (a removal whose answer was lost): in step, with nothing to send.
        {"removed on Google, then locally", [&] { provider.setPhoto(id, std::nullopt); later(); setLocal(std::nullopt); },
         std::nullopt, nullptr, 0},
        {"added locally again", [&] { setLocal(bytes("\xFF\xD8ten")); }, "\xFF\xD8ten"},
        {"removed locally", [&] { setLocal(std::nullopt); }, std::nullopt},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        later();
        const std::string etagBefore = provider.entry(FakeProvider::Kind::Contacts, id)->photoETag();
        step.change();
        auto run = sync();
        ASSERT_EQ(run->outcome(), SyncRunOutcome::Ok) << run->message();
        EXPECT_EQ(run->result().counts.photosMoved, step.moved);
        EXPECT_EQ(googlePhoto(), step.expected);
        const auto local = localPhoto();
        EXPECT_EQ(local ? std::optional<std::string>(std::string(local->begin(), local->end())) : std::nullopt, step.expected);
        if (step.note) {
            EXPECT_EQ(localByName()["Pia Pic"]->note(), step.note);
            EXPECT_EQ(googleNote(googleByName()["Pia Pic"]), step.note);
        }
        // A removal names the photo it removes.
        for (const auto& request : provider.server().requests("/m8/feeds/photos/media/default/" + id))
            if (request.method == "DELETE") EXPECT_EQ(request.header("If-Match"), etagBefore);
        // The next run finds nothing to move.
        later();
        auto again = sync();
        EXPECT_EQ(again->plan().changes(), 0u);
        EXPECT_EQ(again->result().counts.photosMoved, 0);
    }
}


const char* env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// The child of the killed-run scenario: one run on its parent's files and provider, until killed.
TEST(SyncEndToEndChild, Run) {
    if (!*env("QV_SYNC_CHILD_DIR")) GTEST_SKIP() << "runs only as the child of SyncEndToEndTest";
    std::string ca;
    platform::readFile(env("QV_SYNC_CHILD_CA"), ca);
    platform::TrustStore::addTrustedCertificatesPEM(ca);
    registerContactClasses();
    const std::filesystem::path dir = env("QV_SYNC_CHILD_DIR");
    QuorvaneModel::Environment environment;
    environment.userDefaults = std::make_shared<platform::UserDefaults>(dir / "defaults.json");
    environment.contactStore = std::make_shared<platform::CNContactStore>(dir / "Contacts.sqlite");
    environment.timeZone = platform::TimeZone::universal();
    environment.dataFolder = dir / "profile";
    auto model = std::make_shared<QuorvaneModel>(std::move(environment));
    FakeProvider::OAuthSettings oauth;
    auto auth = QNOAuth2Authentication::authenticationWithServiceProvider(
        "Google", platform::URL::URLWithString(env("QV_SYNC_CHILD_TOKEN_URL")), "http://127.0.0.1/oauth2callback",
        oauth.clientID, oauth.clientSecret);
    auth->setAccessToken(std::string(env("QV_SYNC_CHILD_ACCESS")));
    auth->setRefreshToken(std::string(env("QV_SYNC_CHILD_REFRESH")));
    auth->setExpiresIn(3600);
    auth->setUserEmail(oauth.userEmail);
    internals(model).mAuth = auth;
    GDataServiceGoogleContact::setContactServiceRootURLString(std::string(env("QV_SYNC_CHILD_FEEDS")));
    SyncRunOptions options;
    options.planOnly = false;
    bool finished = false;
    ASSERT_TRUE(model->startSyncRun(options, [&](SyncRun&) { finished = true; }));
    ASSERT_TRUE(platform::RunLoop::main()->runUntil([&] { return finished; }, 240));
}

TEST_F(SyncEndToEndTest, ARunKilledBetweenTwoBatchesLosesAndDuplicatesNothingOnTheRerun) {
    constexpr int kLocal = 250, kGoogle = 20;  // three Google batches, two in flight
    for (int i = 0; i < kLocal; ++i) addLocal({.given = "Local", .family = "Person " + std::to_string(i)});
    for (int i = 0; i < kGoogle; ++i) addPerson("Google", "Person " + std::to_string(i));
    auto tokens = provider.issueTokens();

    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e) vars.emplace_back(*e);
    for (std::string v : {"QV_SYNC_CHILD_DIR=" + dir_.string(), "QV_SYNC_CHILD_CA=" + test::TestHTTPServer::caCertificatePath().string(),
                          "QV_SYNC_CHILD_TOKEN_URL=" + provider.tokenURL(), "QV_SYNC_CHILD_FEEDS=" + provider.feedsRoot(),
                          "QV_SYNC_CHILD_ACCESS=" + tokens.accessToken, "QV_SYNC_CHILD_REFRESH=" + tokens.refreshToken,
                          "TMPDIR=" + (dir_ / "child-tmp").string()})
        vars.push_back(v);
    std::filesystem::create_directories(dir_ / "child-tmp");  // the killed child's folders go with the parent's
    std::vector<char*> envp;
    for (auto& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::string exe = std::filesystem::read_symlink("/proc/self/exe").string(), filter = "--gtest_filter=SyncEndToEndChild.Run";
    char* argv[] = {exe.data(), filter.data(), nullptr};
    posix_spawn_file_actions_t output;
    posix_spawn_file_actions_init(&output);
    const std::string log = (dir_ / "child.log").string();
    posix_spawn_file_actions_addopen(&output, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&output, 1, 2);
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, exe.c_str(), &output, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&output);
    // The third batch goes out only once the provider has answered one of the first two.
    int status = 0;
    bool reaped = false;
    while (!(reaped = ::waitpid(pid, &status, WNOHANG) == pid) &&
           provider.server().requestCount(kBatchPath) < 3) {
        provider.server().waitForRequestCount(provider.server().requestCount() + 1, 1);
    }
    if (!reaped) {
        ::kill(pid, SIGKILL);
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    }
    std::string childLog;
    platform::readFile(log, childLog);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended before it was killed:\n" << childLog;
    ASSERT_GE(provider.server().requestCount(kBatchPath), 3u);

    later();
    auto rerun = sync();
    EXPECT_EQ(rerun->outcome(), SyncRunOutcome::Ok) << rerun->message();
    EXPECT_EQ(provider.entries(FakeProvider::Kind::Contacts).size(), size_t(kLocal + kGoogle));
    expectInSync(kLocal + kGoogle);
}

}  // namespace
}  // namespace quorvane
