// The model's history entry points on a real store and a real SQLite history file: the clearing
// rules, writing the history after a run, the run log through its sink, the account check, the
// pending local save request and the small per-contact tests.

#include <sqlite3.h>

#include "SyncTestSupport.h"
#include "oauth2/QNOAuth2Authentication.h"
#include "platform/contacts/CNSaveRequest.h"
#include "tests/sync/QuorvaneModelInternals.h"

namespace quorvane::testing {
namespace {

using platform::CNContainerType;
using platform::Date;

const std::string kContactBase = "http://www.google.com/m8/feeds/contacts/me%40example.com/base/";

class QuorvaneModelHistoryTest : public SyncModelTestBase {
protected:
    void signIn(const std::string& email) {
        auto auth = QNOAuth2Authentication::authenticationWithServiceProvider(
            "Google", platform::URL::URLWithString("https://127.0.0.1/token"), "urn:ietf:wg:oauth:2.0:oob",
            std::string(QuorvaneModel::kOAuth2ClientID), std::string(QuorvaneModel::kOAuth2ClientSecret));
        auth->setRefreshToken("refresh");
        auth->setUserEmail(email);
        internals(model_).mAuth = auth;
    }
    void selectContainer(const platform::CNContainerPtr& container) {
        model_->setContactSourceMode(container ? ContactSourceModeCustomContainer : ContactSourceModeAllAccounts);
        model_->setCustomContainerID(container ? std::optional<std::string>(container->identifier()) : std::nullopt);
        model_->updateSelectedContainerWithError();
    }
    // A saved local contact as a fetch with dates gives it.
    platform::CNContactPtr saveLocal(const std::string& given, const platform::CNContainerPtr& container) {
        auto contact = std::dynamic_pointer_cast<platform::CNMutableContact>(makeAppleContact({.given = given}));
        platform::CNSaveRequest request;
        request.addContact(contact, container->identifier());
        EXPECT_TRUE(store_->executeSaveRequest(request));
        auto fetched = *model_->doGetAppleContactsMatchingPredicate(
            platform::CNContact::predicateForContactsWithIdentifiers({contact->identifier()}), 1);
        return fetched.empty() ? nullptr : fetched.front();
    }
    std::shared_ptr<GDataEntryContact> google(const std::string& id, const std::string& updated) {
        return googleContact("<id>" + kContactBase + id + "</id><updated>" + updated + "</updated>" +
                             membership("friends1"));
    }
    SyncHistoryRecordPtr history(const std::string& appleID, const std::string& googleID,
                                 std::optional<std::string> source = std::nullopt) {
        auto r = std::make_shared<SyncHistoryRecord>();
        r->appleRecordID = appleID;
        r->googleID = googleID;
        r->appleSourceID = std::move(source);
        r->appleGroupNamesHash = 7;
        return r;
    }
    void storeHistory(const std::vector<SyncHistoryRecordPtr>& records) {
        auto opened = model_->syncStore();
        ASSERT_TRUE(opened);
        SyncStore* store = *opened;
        for (const auto& r : records) store->insertSyncHistory(r);
        ASSERT_TRUE(store->save());
    }
    // What a model opened afresh on the same profile folder reads.
    std::vector<SyncHistoryRecordPtr> reopenedHistory() {
        auto reopened = SyncStore::open(SyncStore::pathInFolder(dir_ / "profile"));
        if (!reopened) return {};
        return (*reopened)->fetchSyncHistory().valueOr(std::vector<SyncHistoryRecordPtr>{});
    }
    QuorvaneModel::GoogleContactLookup lookup(const std::vector<std::shared_ptr<GDataEntryContact>>& contacts) {
        return [contacts](const std::string& id) -> std::shared_ptr<GDataEntryContact> {
            for (const auto& c : contacts) {
                if (c->identifier() == id) return c;
            }
            return nullptr;
        };
    }
};

TEST_F(QuorvaneModelHistoryTest, ClearingRules) {
    auto home = addContainer("Home", CNContainerType::Local);
    auto work = addContainer("Work", CNContainerType::Local);
    struct Step {
        const char* what;
        std::optional<std::string> user;  // nil: signed out
        platform::CNContainerPtr container;  // nullptr: all accounts
        int32_t answer;
    };
    const Step steps[] = {
        {"first run: a user and a container never noted are no change", "ann@example.com", home, 0},
        {"the same again", "ann@example.com", home, 0},
        {"another container keeps the history", "ann@example.com", work, 0},
        {"signed out: an empty name is no new account", std::nullopt, work, 0},
        {"signed in again as the same user", "ann@example.com", work, 0},
        {"to all accounts", "ann@example.com", nullptr, 2},
        {"back to one container", "ann@example.com", home, 2},
        {"another user", "bob@example.com", home, 1},
        {"both at once: the local message", "ann@example.com", nullptr, 2},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.user) signIn(*step.user);
        else internals(model_).mAuth = nullptr;
        selectContainer(step.container);
        EXPECT_EQ(model_->shouldClearSyncHistory(), step.answer);
        EXPECT_EQ(model_->shouldClearSyncHistory(), step.answer) << "asking writes nothing";
        EXPECT_TRUE(model_->notePreviousAccounts());
    }
    EXPECT_EQ(model_->previousGmailUsername(), std::optional<std::string>("ann@example.com"));
    EXPECT_EQ(model_->previousContainerID(), std::optional<std::string>(""));  // all accounts, noted
    // A settings file made anew: the user the store noted answers for the one it lost.
    for (const auto& [user, answer] : {std::pair{"ann@example.com", 0}, {"dave@example.com", 1}}) {
        model_->setPreviousGmailUsername(std::nullopt);
        signIn(user);
        EXPECT_EQ(model_->shouldClearSyncHistory(), answer) << user;
    }
    signIn("ann@example.com");

    // fetchSyncHistory clears, logs why, and loads the rest; relevant records are the container's.
    storeHistory({history("A1", "G1", home->identifier()), history("A2", "G2", work->identifier())});
    signIn("carol@example.com");
    model_->clearLog();
    model_->fetchSyncHistory();
    EXPECT_EQ(model_->log(),
              "Cleared sync history since a new Google account was selected.\n"
              "Fetched 0 Sync History records (0 relevant)\n");
    EXPECT_TRUE(reopenedHistory().empty());

    storeHistory({history("A1", "G1", home->identifier()), history("A2", "G2", work->identifier())});
    selectContainer(home);
    model_->clearLog();
    model_->fetchSyncHistory();
    EXPECT_EQ(model_->log(), "Cleared sync history since another local account was selected.\n"
                             "Fetched 0 Sync History records (0 relevant)\n");

    storeHistory({history("A1", "G1", home->identifier()), history("A2", "G2", work->identifier())});
    model_->clearLog();
    model_->fetchSyncHistory();
    EXPECT_EQ(model_->log(), "Fetched 2 Sync History records (1 relevant)\n");
    EXPECT_EQ(model_->syncHistory().recordsForAppleID("A1").size(), 1u);
    EXPECT_TRUE(model_->syncHistory().recordsForAppleID("A2").empty());

    // The targeted clearings save at once.
    EXPECT_TRUE(model_->clearSyncHistoryWithAppleContactIDs({"A2"}));
    EXPECT_EQ(reopenedHistory().size(), 1u);
}

TEST_F(QuorvaneModelHistoryTest, RememberedPairsSkipIdentifiersReusedByNewerContacts) {
    auto home = addContainer("Home", CNContainerType::Local);
    auto ann = saveLocal("Ann", home);
    ASSERT_TRUE(ann);
    const Date created = *model_->getCreationDateWithAppleContact(ann);
    auto old = history(ann->identifier(), "G1");
    old->appleUpdateDate = Date::fromUnix(created.timeIntervalSince1970() - 300.0);  // at the limit: kept
    auto reused = history(ann->identifier(), "G2");
    reused->appleUpdateDate = Date::fromUnix(created.timeIntervalSince1970() - 301.0);
    auto gone = history("A-gone", "G3");
    storeHistory({old, reused, gone});
    model_->doFetchSyncHistory();

    std::set<std::string> feed = {"G1", "G2", "G3"};
    auto googleLookup = [&](const std::string& id) -> std::shared_ptr<GDataEntryContact> {
        return feed.count(id) ? makeGoogleContact("x", std::nullopt, std::nullopt) : nullptr;
    };
    auto appleLookup = [&](const std::string& id) { return id == ann->identifier() ? ann : nullptr; };
    model_->updatePairedContactsDict(googleLookup, appleLookup);
    EXPECT_EQ(model_->syncHistory().pairedGoogleID(ann->identifier()), std::optional<std::string>("G1"));
    EXPECT_EQ(model_->syncHistory().pairedAppleID("G1"), ann->identifier());
    EXPECT_EQ(model_->syncHistory().pairedAppleID("G2"), std::nullopt);
    EXPECT_EQ(model_->syncHistory().pairedAppleID("G3"), std::nullopt);
}

TEST_F(QuorvaneModelHistoryTest, SerializeKeepsUnconfirmedWritesAndDropsDeletions) {
    auto home = addContainer("Home", CNContainerType::Local);
    selectContainer(home);
    internals(model_).mGroupFeed = standardGroupFeed();
    model_->setSyncMode(SyncModeTwoWay);

    std::vector<platform::CNContactPtr> locals;
    std::vector<std::shared_ptr<GDataEntryContact>> googles;
    std::vector<SyncHistoryRecordPtr> old;
    for (int i = 0; i < 7; ++i) {
        locals.push_back(saveLocal("P" + std::to_string(i), home));
        googles.push_back(google("g" + std::to_string(i), "2024-01-0" + std::to_string(i + 1) + "T00:00:00.000Z"));
        old.push_back(history(locals[i]->identifier(), *googles[i]->identifier(), home->identifier()));
    }
    old.pop_back();  // pair 6 has no history yet
    auto stale = history("A-gone", kContactBase + "g-gone", home->identifier());
    auto otherContainer = history(locals[0]->identifier(), kContactBase + "g-elsewhere", "no-such-container");
    storeHistory(old);
    storeHistory({stale, otherContainer});
    model_->doFetchSyncHistory();

    auto record = [&](int i, int32_t action) {
        auto r = model_->newSyncRecord();
        r->mAppleContact = locals[i];
        r->mGoogleContact = googles[i];
        r->mSyncAction = r->mInitialSyncAction = action;
        r->mHasSyncHistory = i != 6;
        r->mMergeContacts = true;
        return r;
    };
    std::vector<NSSyncRecordPtr> records = {
        record(0, SyncActionMacToGoogle),   // the Google request failed: kept
        record(1, SyncActionGoogleToMac),   // the local write failed: kept
        record(2, SyncActionDeleteContact), // deleted: no history left
        record(3, SyncActionMacToGoogle),   // written: rewritten
        record(4, SyncActionNoUpdate),      // not confirmed equal: kept as it was
        record(5, SyncActionNoUpdate),      // confirmed equal, timestamps moved: rewritten
        record(6, SyncActionNoUpdate),      // confirmed equal, no history: written
        nullptr,
    };
    records[0]->mSubmittedGmailUpdate = true;
    records[1]->mAppleUpdateFailed = true;
    records[3]->mSubmittedGmailUpdate = records[3]->mGmailUpdateSucceeded = true;
    records[5]->mContactsConfirmedEquivalentBeforeSync = true;
    records[5]->mTimeStampsChanged = true;
    records[6]->mContactsConfirmedEquivalentBeforeSync = true;

    auto saved = model_->serializeSyncData(records, lookup(googles));
    ASSERT_TRUE(saved) << saved.error().localizedDescription();

    std::map<std::string, SyncHistoryRecordPtr> byGoogle;
    for (const auto& r : reopenedHistory()) byGoogle[r->googleID.value_or("")] = r;
    ASSERT_EQ(byGoogle.size(), 6u) << "pairs 0, 1, 3, 4, 5 and 6; no deleted pair, stale or foreign record";
    for (int i : {0, 1, 4}) EXPECT_EQ(byGoogle[*googles[i]->identifier()]->rowID, old[i]->rowID) << i;
    EXPECT_FALSE(byGoogle.count(*googles[2]->identifier()));
    const auto& written = byGoogle[*googles[3]->identifier()];
    EXPECT_NE(written->rowID, old[3]->rowID);
    EXPECT_EQ(written->appleRecordID, locals[3]->identifier());
    EXPECT_EQ(written->appleSourceID, home->identifier());
    EXPECT_EQ(written->googleUpdateDate, googles[3]->updatedDate()->date());
    EXPECT_EQ(written->appleUpdateDate, model_->getModificationDateWithAppleContact(locals[3]));
    EXPECT_FALSE(written->previouslyMerged);  // a two-way merge leaves the sides in step
    EXPECT_EQ(written->googleGroupNamesHash, groupNamesHash(std::vector<std::string>{"Friends"}));
    EXPECT_EQ(written->appleGroupNamesHash, 0u);  // no local groups: nil names
    EXPECT_FALSE(byGoogle[*googles[5]->identifier()]->previouslyMerged);  // no update: never merged
    EXPECT_EQ(byGoogle[*googles[6]->identifier()]->appleRecordID, locals[6]->identifier());

    // The next run finds the pair it wrote unchanged, and the deleted pair's contacts alone.
    model_->doFetchSyncHistory();
    auto again = model_->getSyncStrategyWithAppleContact(locals[3], googles[3]);
    EXPECT_TRUE(again.historyFound && !again.previouslyMerged);
    EXPECT_FALSE(again.eitherContactChanged || again.appleGroupsChanged || again.googleGroupsChanged);
    EXPECT_FALSE(model_->getSyncStrategyWithAppleContact(locals[2], nullptr).historyFound);
    EXPECT_TRUE(model_->hasSyncHistoryRecordWithGoogleRecord(googles[0]));

    // A save that fails is reported to the run, not only logged.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(SyncStore::pathInFolder(dir_ / "profile").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DROP TABLE sync_history", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    EXPECT_FALSE(model_->serializeSyncData({record(3, SyncActionMacToGoogle)}, lookup(googles)));
}

TEST_F(QuorvaneModelHistoryTest, RunLogAndProgressReachTheSink) {
    std::vector<std::string> seen;
    model_->setRunLogSink([&](const RunLog& log, const RunLog::Event& e) {
        switch (e.change) {
            case RunLog::Change::Log: seen.push_back("log: " + e.text); break;
            case RunLog::Change::Progress: seen.push_back("progress: " + log.progressText()); break;
            case RunLog::Change::SubProgress: seen.push_back("sub: " + log.subProgressText()); break;
            case RunLog::Change::ProgressBar: seen.push_back("bar: " + std::to_string(int(e.value * 100))); break;
        }
    });
    model_->setProgressWithString("Fetching Google contacts");
    model_->setSubProgressWithString("Deleted 1 of 4");
    model_->setProgressBarValue(0.25f);
    model_->appendStringToLog(std::nullopt);
    model_->appendStringToLog(std::string("Ann: Updated"));
    model_->setProgressWithString("Saving");
    model_->appendStringToLog(std::string("B\x1b[2J\te\xff \xE2\x80\xAEx\ny"));  // escaped between plain runs
    EXPECT_EQ(model_->runLog().subProgressText(), "");
    const std::string escaped = "B\\u001B[2J\\u0009e\xEF\xBF\xBD \\u202Ex\\u000Ay";
    EXPECT_EQ(model_->log(), "Fetching Google contacts\nAnn: Updated\nSaving\n" + escaped + "\n");
    EXPECT_EQ(seen, (std::vector<std::string>{"progress: Fetching Google contacts", "sub: Deleted 1 of 4", "bar: 25",
                                              "log: Ann: Updated", "progress: Saving", "log: " + escaped}));
    model_->clearLog();
    EXPECT_EQ(seen.back(), "log: ");
    EXPECT_EQ(model_->log(), "");

    // A run's record goes to the store and comes back.
    SyncLogRecord run;
    run.startDate = Date::fromUnix(100);
    run.result = "ok";
    run.logText = "Saving\n";
    ASSERT_TRUE(model_->saveSyncLogRecord(run));
    model_->fetchSyncLogRecords();
    ASSERT_EQ(model_->syncLogRecords().size(), 1u);
    EXPECT_EQ(model_->syncLogRecords()[0].logText, "Saving\n");
}

TEST_F(QuorvaneModelHistoryTest, AccountCheckRefusesNoContainerAndReadOnlyWrites) {
    // Automatic mode with nothing it may choose: a read-only account only.
    auto readOnly = addAccountContainer("Shared", CNContainerType::CardDAV,
                                        {.serverName = "dav.example.com", .privileges = std::vector<std::string>{"DAV::read"}});
    model_->setContactSourceMode(ContactSourceModeAutoSelect);
    auto refusal = [&](int32_t syncMode) {
        auto checked = model_->checkForContactAccountErrorsWithSelectedSyncMode(syncMode, false);
        if (checked) return std::string("accepted");
        EXPECT_EQ(checked.error().code, kQuorvaneModelErrorAccountRefused);
        return checked.error().localizedDescription();
    };
    EXPECT_EQ(refusal(SyncModeTwoWay), "Error - No Local Account to Sync");
    EXPECT_EQ(model_->log(), "Error - No Local Account to Sync\n");

    // The read-only account chosen: nothing may be written into it, reading it is fine.
    selectContainer(readOnly);
    EXPECT_EQ(refusal(SyncModeGoogleToMac), "Error - The Local Account Is Read-Only");
    EXPECT_EQ(refusal(SyncModeMacToGoogle), "accepted");

    model_->setCustomContainerID(std::string("gone:ABAccount"));
    EXPECT_EQ(refusal(SyncModeMacToGoogle), "Error - Attempting to Sync Invalid Account");

    auto local = addContainer("On This Computer", CNContainerType::Local);
    model_->setContactSourceMode(ContactSourceModeAutoSelect);
    EXPECT_EQ(refusal(SyncModeTwoWay), "accepted");
}

TEST_F(QuorvaneModelHistoryTest, PendingSaveRequestRunsOnceAndReportsFailure) {
    auto home = addContainer("Home", CNContainerType::Local);
    auto ann = saveLocal("Ann", home);
    EXPECT_TRUE(model_->executeSaveRequest());  // nothing pending
    model_->saveDeletedAppleContactByAddingToSaveRequest(nullptr);
    model_->saveDeletedAppleContactByAddingToSaveRequest(ann->mutableCopy());
    model_->saveDeletedAppleGroupByAddingToSaveRequest(nullptr);
    EXPECT_EQ(model_->pendingSaveRequestCount(), 1u);
    EXPECT_TRUE(model_->executeSaveRequest());
    EXPECT_EQ(model_->pendingSaveRequestCount(), 0u);
    EXPECT_TRUE(model_->getAppleContactsInContainer(home, 0)->empty());
    ASSERT_TRUE(internals(model_).mLastAddressBookChangeDate.has_value());

    // Deleting it again fails: logged, kept among the run's errors, and the request dropped.
    model_->saveDeletedAppleContactByAddingToSaveRequest(ann->mutableCopy());
    EXPECT_FALSE(model_->executeSaveRequest());
    EXPECT_EQ(model_->pendingSaveRequestCount(), 0u);
    EXPECT_EQ(model_->syncErrors().size(), 1u);
    EXPECT_EQ(model_->log().rfind("Failed to Execute Save Request with Following Error: ", 0), 0u) << model_->log();
}

TEST_F(QuorvaneModelHistoryTest, PerContactAndRunTests) {
    platform::Error forbidden("com.google.HTTPStatus", 403);
    platform::Error badRequest("com.google.HTTPStatus", 400);
    platform::Error invalidGrant = badRequest;
    platform::Value json = platform::Value::dictionary();
    json.set("error", "invalid_grant");
    invalidGrant.userInfo.set("json", json);
    EXPECT_TRUE(QuorvaneModel::isGoogleAuthenticationError(forbidden));
    EXPECT_TRUE(QuorvaneModel::isGoogleAuthenticationError(invalidGrant));
    EXPECT_FALSE(QuorvaneModel::isGoogleAuthenticationError(badRequest));
    EXPECT_FALSE(QuorvaneModel::isGoogleAuthenticationError(std::nullopt));

    auto grouped = google("g1", "2024-01-01T00:00:00.000Z");
    auto other = googleContact("<id>" + kContactBase + "g2</id>");
    EXPECT_FALSE(model_->isOtherContact(grouped));
    EXPECT_TRUE(model_->isOtherContact(other));
    EXPECT_FALSE(model_->isOtherContact(nullptr));

    EXPECT_FALSE(model_->isGoogleContactAlreadyMatched(grouped));
    model_->setGoogleContactAlreadyMatched(*grouped->identifier());
    EXPECT_TRUE(model_->isGoogleContactAlreadyMatched(grouped));
    model_->clearAlreadyMatched();
    EXPECT_FALSE(model_->isGoogleContactAlreadyMatched(grouped));

    model_->setFilterByGroups(true);
    EXPECT_FALSE(model_->isGroupFilterActive());
    model_->setSelectedGroupStrings({"Work"});
    EXPECT_TRUE(model_->isGroupFilterActive());

    model_->setForceUpdateContacts(true);
    EXPECT_TRUE(model_->forceUpdateAllContacts());
    model_->setAutomaticSync(true);
    EXPECT_FALSE(model_->forceUpdateAllContacts());
    model_->setAutomaticSync(false);
    // A forced update moves photos, unless photo sync is off.
    EXPECT_TRUE(model_->shouldSyncPhotosWithAppleContact(nullptr, nullptr, SyncActionMacToGoogle, true, true));
    model_->setForceUpdateContacts(false);
    EXPECT_FALSE(model_->shouldSyncPhotosWithAppleContact(nullptr, nullptr, SyncActionMacToGoogle, true, false));
    EXPECT_FALSE(model_->shouldSyncPhotosWithAppleContact(nullptr, nullptr, SyncActionGoogleToMac, false, true));
    EXPECT_TRUE(model_->shouldSyncPhotosWithAppleContact(nullptr, nullptr, SyncActionGoogleToMac, true, false));
    model_->setSyncPhotosSetting(false);
    EXPECT_FALSE(model_->shouldSyncPhotosWithAppleContact(nullptr, nullptr, SyncActionGoogleToMac, false, false));
}

TEST_F(QuorvaneModelHistoryTest, AShortCachedFetchReportsTheStoresFirstError) {
    auto home = addContainer("Home", CNContainerType::Local);
    saveLocal("Ann", home);
    saveLocal("Bob", home);
    // The full fetches fail from now on (a column they read is gone); the partial one still works.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(store_->path().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "ALTER TABLE contacts DROP COLUMN note", nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
    auto contacts = model_->getAppleContactsInContainer(home, 5);
    ASSERT_FALSE(contacts) << "a short result is never a success";
    EXPECT_NE(contacts.error().domain, "Contacts Framework") << "the store's own error comes first";
    // The partial fetch alone still succeeds.
    EXPECT_EQ(model_->getAppleContactsInContainer(home, 1)->size(), 2u);
}

TEST_F(QuorvaneModelHistoryTest, RecordsOfAModelNeverMakeTheSharedOne) {
    QuorvaneModel::shutdown();
    model_->setSyncMode(SyncModeManual);
    auto home = addContainer("Home", CNContainerType::Local);
    auto r = model_->newSyncRecord();
    r->mAppleContact = saveLocal("Ann", home);
    r->mSyncAction = SyncActionMacToGoogle;
    EXPECT_FALSE(r->getAppleContactLastUpdateString().empty());
    EXPECT_EQ(r->getSyncActionDescription(), model_->getSyncActionDescriptionForSyncAction(SyncActionMacToGoogle));
    r->mSyncAction = SyncActionNoUpdate;
    EXPECT_EQ(r->getSyncReasonString(0), "");  // this model's manual mode
    EXPECT_FALSE(QuorvaneModel::hasSharedQuorvaneModel());
    // Once its model has gone, a record asks no model at all.
    model_.reset();
    EXPECT_EQ(r->getSyncActionDescription(), "");
    EXPECT_FALSE(QuorvaneModel::hasSharedQuorvaneModel());
}

}  // namespace
}  // namespace quorvane::testing
