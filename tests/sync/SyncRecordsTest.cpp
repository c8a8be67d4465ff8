// Sync records: display names and sort keys of both sides, the reason texts of every action,
// the descriptions of contact sources, and display dates.

#include <gtest/gtest.h>

#include <unicode/locid.h>
#include <unicode/timezone.h>

#include "SyncTestSupport.h"
#include "gdata/GDataTextConstruct.h"
#include "sync/DisplayDateFormatter.h"
#include "sync/NSCachedAppleContact.h"
#include "sync/NSContactSourceRecord_QV.h"
#include "sync/NSContainerInfo.h"
#include "sync/NSSyncRecord.h"
#include "sync/ContentDigest.h"
#include "sync/SyncHistory.h"

namespace quorvane::testing {
namespace {

using platform::CNContactPtr;
using std::nullopt;
using std::string;

// Sets the shared model's sync mode for one test.
class SharedSyncMode {
public:
    explicit SharedSyncMode(SyncMode mode) : saved_(QuorvaneModel::sharedQuorvaneModel()->syncMode()) {
        QuorvaneModel::sharedQuorvaneModel()->setSyncMode(mode);
    }
    ~SharedSyncMode() { QuorvaneModel::sharedQuorvaneModel()->setSyncMode(saved_); }

private:
    SyncMode saved_;
};

TEST(ContactDescriptionTest, LocalContactNamesWithMissingParts) {
    EXPECT_EQ(QuorvaneModel::getDescriptionWithAppleContact(nullptr), "");
    EXPECT_EQ(QuorvaneModel::getDescriptionWithAppleContact(
                  makeAppleContact({"Anna", "Maria", "Smith", "Dr.", "PhD", "", "", {}})),
              "Dr. Anna Maria Smith PhD");
    EXPECT_EQ(QuorvaneModel::getDescriptionWithAppleContact(makeAppleContact({"", "", "Smith", "", "", "", "", {}})),
              "Smith");
    EXPECT_EQ(QuorvaneModel::getDescriptionWithAppleContact(makeAppleContact({" Anna ", "  ", "", "", "", "", "", {}})),
              "Anna");
    // Without a name: nickname, then organisation, then the last non-empty e-mail address.
    EXPECT_EQ(QuorvaneModel::getDescriptionWithAppleContact(
                  makeAppleContact({"", "", "", "", "", "Annie", "Acme", {"a@x.org"}})),
              "Annie");
    EXPECT_EQ(QuorvaneModel::getDescriptionWithAppleContact(makeAppleContact({"", "", "", "", "", "", "Acme", {"a@x.org"}})),
              "Acme");
    EXPECT_EQ(QuorvaneModel::getDescriptionWithAppleContact(
                  makeAppleContact({"", "", "", "", "", "", "", {"a@x.org", "b@x.org", "  "}})),
              "b@x.org");
    EXPECT_EQ(QuorvaneModel::getDescriptionWithAppleContact(makeAppleContact({})), "");
}

TEST(ContactDescriptionTest, PartlyFetchedLocalContactIsDescribedFromWhatWasFetched) {
    platform::AssertionHandler::resetCount();
    platform::CNContactFields fields;
    fields.identifier = "id-1";
    fields.givenName = "Anna";
    fields.familyName = "Smith";
    fields.organizationName = "Acme";
    auto onlyGiven = std::make_shared<platform::CNContact>(fields, std::set<string>{platform::CNContactGivenNameKey});
    EXPECT_EQ(QuorvaneModel::getDescriptionWithAppleContact(onlyGiven), "Anna");
    EXPECT_EQ(QuorvaneModel::getSortStringWithAppleContact(onlyGiven, "Anna"), "anna");
    auto onlyDates = std::make_shared<platform::CNContact>(fields, std::set<string>{platform::CNContactModificationDateKey});
    EXPECT_EQ(QuorvaneModel::getDescriptionWithAppleContact(onlyDates), "");
    EXPECT_EQ(platform::AssertionHandler::count(), 0u);
}

TEST(ContactDescriptionTest, GoogleContactNames) {
    EXPECT_EQ(QuorvaneModel::getDescriptionWithGoogleContact(nullptr, false), "");
    auto named = GDataEntryContact::contactEntryWithName(
        GDataName::nameWithPrefix(string("Mr."), string("John"), string("Q"), string("Public"), string("Jr.")));
    EXPECT_EQ(QuorvaneModel::getDescriptionWithGoogleContact(named, false), "Mr. John Q Public Jr.");
    EXPECT_EQ(QuorvaneModel::getDescriptionWithGoogleContact(makeGoogleContact(nullopt, nullopt, string("Public")), true),
              "Public");

    // Only a full name, only a title.
    EXPECT_EQ(QuorvaneModel::getDescriptionWithGoogleContact(
                  GDataEntryContact::contactEntryWithFullNameString(string("Jane Roe")), false),
              "Jane Roe");
    EXPECT_EQ(QuorvaneModel::getDescriptionWithGoogleContact(
                  GDataEntryContact::contactEntryWithTitle(string("Title Only")), false),
              "Title Only");

    // No name at all: nickname, organisation, last non-empty e-mail address.
    auto nameless = GDataEntryContact::contactEntryWithTitle(nullopt);
    nameless->addEmailAddress(GDataEmail::emailWithLabel(nullopt, string("first@x.org")));
    nameless->addEmailAddress(GDataEmail::emailWithLabel(nullopt, string("last@x.org")));
    EXPECT_EQ(QuorvaneModel::getDescriptionWithGoogleContact(nameless, false), "last@x.org");
    nameless->addOrganization(GDataOrganization::organizationWithName(string("Initech")));
    EXPECT_EQ(QuorvaneModel::getDescriptionWithGoogleContact(nameless, false), "Initech");
    nameless->setNickname(string("Bud"));
    EXPECT_EQ(QuorvaneModel::getDescriptionWithGoogleContact(nameless, false), "Bud");
    EXPECT_EQ(QuorvaneModel::getDescriptionWithGoogleContact(GDataEntryContact::contactEntryWithTitle(nullopt), false), "");
}

TEST(ContactDescriptionTest, SortStringsGoByFamilyThenGivenNameElseTheDescription) {
    auto anna = makeAppleContact({"Anna", "", "Zeller", "", "", "", "", {}});
    EXPECT_EQ(QuorvaneModel::getSortStringWithAppleContact(anna, "Anna Zeller"), "zeller anna");
    auto org = makeAppleContact({"", "", "", "", "", "", "Acme", {}});
    EXPECT_EQ(QuorvaneModel::getSortStringWithAppleContact(org, "Acme"), "acme");
    EXPECT_EQ(QuorvaneModel::getSortStringWithGoogleContact(makeGoogleContact(string("Émile"), nullopt, string("Ávila")),
                                                            "Émile Ávila"),
              "ávila émile");
    EXPECT_EQ(QuorvaneModel::getSortStringWithGoogleContact(GDataEntryContact::contactEntryWithTitle(string("X")), "Title"),
              "title");
    // Zeller sorts after Adams whatever the given names.
    auto adams = makeAppleContact({"Zoe", "", "Adams", "", "", "", "", {}});
    EXPECT_LT(QuorvaneModel::getSortStringWithAppleContact(adams, ""), QuorvaneModel::getSortStringWithAppleContact(anna, ""));
}

TEST(SyncRecordTest, DescriptionComesFromTheSideTheChangeComesFrom) {
    auto apple = makeAppleContact({"Anna", "", "Apple", "", "", "", "", {}});
    auto google = makeGoogleContact(string("Greg"), nullopt, string("Google"));

    NSSyncRecord neither;
    neither.generateDescriptionAndSortString();
    EXPECT_EQ(neither.mDescription, "");
    EXPECT_EQ(neither.mSortString, "");

    for (int32_t action : {SyncActionNoUpdate, SyncActionMacToGoogle, SyncActionDeleteContact}) {
        NSSyncRecord both;
        both.mAppleContact = apple;
        both.mGoogleContact = google;
        both.mSyncAction = action;
        both.generateDescriptionAndSortString();
        EXPECT_EQ(both.mDescription, "Anna Apple") << action;
        EXPECT_EQ(both.mSortString, "apple anna") << action;
    }
    NSSyncRecord toMac;
    toMac.mAppleContact = apple;
    toMac.mGoogleContact = google;
    toMac.mSyncAction = SyncActionGoogleToMac;
    toMac.generateDescriptionAndSortString();
    EXPECT_EQ(toMac.mDescription, "Greg Google");
    EXPECT_EQ(toMac.mSortString, "google greg");

    NSSyncRecord appleOnlyToMac;
    appleOnlyToMac.mAppleContact = apple;
    appleOnlyToMac.mSyncAction = SyncActionGoogleToMac;
    appleOnlyToMac.generateDescriptionAndSortString();
    EXPECT_EQ(appleOnlyToMac.mDescription, "Anna Apple");

    NSSyncRecord googleOnly;
    googleOnly.mGoogleContact = google;
    googleOnly.generateDescriptionAndSortString();
    EXPECT_EQ(googleOnly.mDescription, "Greg Google");
    EXPECT_EQ(googleOnly.getGoogleContactDescription(), "Greg Google");
    EXPECT_EQ(googleOnly.getAppleContactDescription(), "");
}

TEST(SyncRecordTest, NewRecordIsEmpty) {
    NSSyncRecord r;
    EXPECT_FALSE(r.mAppleContact || r.mGoogleContact || r.mNewGoogleContact || r.mMutableAppleContact);
    EXPECT_EQ(r.mSyncAction, 0);
    EXPECT_EQ(r.mContactDifference, ContactDifferenceNotCompared);
    EXPECT_FALSE(r.mDescription || r.mSortString || r.mLastSyncDate || r.mPreviousGoogleETag);
    EXPECT_FALSE(r.mMergeContacts || r.mHasSyncHistory || r.mSubmittedGmailUpdate || r.mAppleUpdateFailed);
    EXPECT_EQ(r.getLastSyncTime(), "");
    EXPECT_EQ(r.getAppleContactLastUpdateString(), "");
    EXPECT_EQ(r.getGoogleContactLastUpdateString(), "");
}

// The history stage alone: a run's records and the history loaded before it give the records to
// delete and to insert, without a model.
TEST(SyncHistoryStageTest, WhatEachRecordOfARunChangesInTheHistory) {
    struct Row {
        const char* what;
        int32_t action;
        size_t deleted, inserted;
        int32_t mode = SyncModeTwoWay;
        bool submitted = false, confirmed = false, localFailed = false;
        bool equalBefore = false, history = true, photoMoved = false;
        int32_t initialAction = -1;  // the planned action when the user changed it
        bool google = true;
    };
    const Row rows[] = {
        {.what = "a confirmed Google write", .action = SyncActionMacToGoogle, .deleted = 1, .inserted = 1, .submitted = true, .confirmed = true},
        {.what = "an unconfirmed Google write keeps the old record", .action = SyncActionMacToGoogle, .deleted = 0, .inserted = 0, .submitted = true},
        {.what = "a failed local write keeps the old record", .action = SyncActionGoogleToMac, .deleted = 0, .inserted = 0, .localFailed = true},
        {.what = "a deletion forgets the pair", .action = SyncActionDeleteContact, .deleted = 1, .inserted = 0},
        {.what = "left alone: nothing", .action = SyncActionNoUpdate, .deleted = 0, .inserted = 0},
        {.what = "found equal without history: remembered", .action = SyncActionNoUpdate, .deleted = 1, .inserted = 1, .equalBefore = true, .history = false},
        {.what = "a one-way deletion switched off forgets the pair", .action = SyncActionNoUpdate, .deleted = 1, .inserted = 0, .mode = SyncModeGoogleToMac, .initialAction = SyncActionDeleteContact, .google = false},
        {.what = "the photo moved: its size is read", .action = SyncActionGoogleToMac, .deleted = 1, .inserted = 1, .photoMoved = true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        auto apple = makeAppleContact({.given = "Ann", .family = "Lee"});
        auto google = googleContact("<id>urn:g1</id><gd:name><gd:givenName>Ann</gd:givenName></gd:name>");
        auto old = std::make_shared<SyncHistoryRecord>();
        old->appleRecordID = apple->identifier();
        old->googleID = "urn:g1";
        SyncHistory history;
        history.load({old}, std::nullopt);

        auto r = std::make_shared<NSSyncRecord>();
        r->setModel({});
        r->mAppleContact = apple;
        if (row.google) r->mGoogleContact = google;
        r->mSyncAction = row.action;
        r->mInitialSyncAction = row.initialAction >= 0 ? row.initialAction : row.action;
        r->mSubmittedGmailUpdate = row.submitted;
        r->mGmailUpdateSucceeded = row.confirmed;
        r->mAppleUpdateFailed = row.localFailed;
        r->mContactsConfirmedEquivalentBeforeSync = row.equalBefore;
        r->mHasSyncHistory = row.history;
        r->mSyncPhotoSuccessful = row.photoMoved;
        r->mPreviousApplePhotoSize = 42;
        r->mPreviousGoogleETag = "old-etag";

        SyncHistoryWriteInputs in;
        in.syncMode = row.mode;
        in.containerID = "box";
        in.appleDate = [](const CNContactPtr&) { return platform::Date::fromUnix(100); };
        in.appleGroupHash = [](const CNContactPtr&) { return uint64_t(11); };
        in.googleGroupHash = [](const std::shared_ptr<GDataEntryContact>&) { return uint64_t(22); };
        in.applePhotoSize = [](const CNContactPtr&) { return 7; };
        const auto changes = historyChangesOfRun({r}, history, in);

        ASSERT_EQ(changes.deleted.size(), row.deleted);
        if (row.deleted) EXPECT_EQ(changes.deleted[0], old);
        ASSERT_EQ(changes.inserted.size(), row.inserted);
        if (!row.inserted) continue;
        const auto& n = *changes.inserted[0];
        EXPECT_EQ(n.appleRecordID, apple->identifier());
        EXPECT_EQ(n.googleID, "urn:g1");
        EXPECT_EQ(n.appleSourceID, "box");
        EXPECT_EQ(n.appleUpdateDate, platform::Date::fromUnix(100));
        EXPECT_EQ(n.appleGroupNamesHash, 11u);
        EXPECT_EQ(n.googleGroupNamesHash, 22u);
        // A photo that did not move keeps what the last record said of it.
        const bool photoRead = row.photoMoved || !row.history;
        EXPECT_EQ(n.appleImageSize, photoRead ? 7 : 42);
        EXPECT_EQ(n.googleETag, photoRead ? std::nullopt : std::optional<std::string>("old-etag"));
        EXPECT_EQ(n.appleContentDigest, localContentDigest(*apple));
        EXPECT_EQ(n.googleContentDigest, googleContentDigest(*google));
    }
}

TEST(SyncRecordTest, ReasonsOfDeleteAndNoUpdate) {
    SharedSyncMode twoWay(SyncModeTwoWay);
    NSSyncRecord del;
    del.mSyncAction = SyncActionDeleteContact;
    del.mAppleContact = makeAppleContact({.given = "A"});
    EXPECT_EQ(del.getSyncReasonString(0), "");
    EXPECT_EQ(del.getSyncReasonString(1), "");
    EXPECT_EQ(del.getSyncReasonString(2), "Deleting Matching Contact");
    del.mGoogleContact = makeGoogleContact(string("A"), nullopt, nullopt);
    EXPECT_EQ(del.getSyncReasonString(2), "Deleting Contacts");

    NSSyncRecord none;
    EXPECT_EQ(none.getSyncReasonString(0), "Already Synced");
    EXPECT_EQ(none.getSyncReasonString(2), "Already Synced");
    none.mInitialSyncAction = SyncActionMacToGoogle;  // the user switched the change off
    EXPECT_EQ(none.getSyncReasonString(0), "");
    none.mInitialSyncAction = SyncActionNoUpdate;
    {
        SharedSyncMode manual(SyncModeManual);
        EXPECT_EQ(none.getSyncReasonString(0), "");
    }
    EXPECT_EQ(none.getSyncReasonString(0), "Already Synced");
}

TEST(SyncRecordTest, ReasonsOfUpdates) {
    NSSyncRecord r;
    r.mSyncAction = SyncActionMacToGoogle;
    r.mHasSyncHistory = true;
    const std::pair<int32_t, std::pair<const char*, const char*>> table[] = {
        {2, {"Name", "Name Changed"}},
        {7, {"Web Address", "Web Address Changed"}},
        {8, {"Relation", "Relationship Changed"}},
        {14, {"Groups", "Groups Changed"}},
        {15, {"Contacts Group", "Missing from Contacts (My Contacts) Group"}},
        {16, {"Photo", "Photo Changed"}},
        {17, {"New Contact", "New Contact"}},
    };
    for (const auto& [difference, texts] : table) {
        r.mContactDifference = difference;
        EXPECT_EQ(r.getSyncReasonString(0), texts.first) << difference;
        EXPECT_EQ(r.getSyncReasonString(1), texts.second) << difference;
        EXPECT_EQ(r.getSyncReasonString(2), texts.second) << difference;
    }
    for (int32_t outside : {-1, 0, 1, 18}) {
        r.mContactDifference = outside;
        EXPECT_EQ(r.getSyncReasonString(0), "") << outside;
        EXPECT_EQ(r.getSyncReasonString(2), "") << outside;
    }

    // Without history: a new contact, a merge of both sides, or an unsynced pair.
    NSSyncRecord fresh;
    fresh.mSyncAction = SyncActionGoogleToMac;
    fresh.mContactDifference = ContactDifferenceNewContact;
    EXPECT_EQ(fresh.getSyncReasonString(0), "New Contact");
    fresh.mContactDifference = ContactDifferenceName;
    EXPECT_EQ(fresh.getSyncReasonString(0), "");
    EXPECT_EQ(fresh.getSyncReasonString(2), "Unsynced Contacts");
    fresh.mMergeContacts = true;
    fresh.mAppleContact = makeAppleContact({.given = "A"});
    EXPECT_EQ(fresh.getSyncReasonString(2), "Unsynced Contacts");  // merging needs both sides
    fresh.mGoogleContact = makeGoogleContact(string("A"), nullopt, nullopt);
    EXPECT_EQ(fresh.getSyncReasonString(0), "Merge");
    EXPECT_EQ(fresh.getSyncReasonString(2), "Merging unsynced contacts");
    fresh.mSyncAction = 7;  // an action above 3 reads as an update
    EXPECT_EQ(fresh.getSyncReasonString(0), "Merge");
}

TEST(SyncRecordTest, ActionDescriptionsNameTheDirection) {
    auto model = QuorvaneModel::sharedQuorvaneModel();
    EXPECT_EQ(model->getSyncActionDescriptionForSyncAction(SyncActionNoUpdate), "Don't Update");
    EXPECT_EQ(model->getSyncActionDescriptionForSyncAction(SyncActionGoogleToMac), "Google -> This Computer");
    EXPECT_EQ(model->getSyncActionDescriptionForSyncAction(SyncActionMacToGoogle), "This Computer -> Google");
    EXPECT_EQ(model->getSyncActionDescriptionForSyncAction(SyncActionDeleteContact), "Delete Contact");
    EXPECT_EQ(model->getSyncActionDescriptionForSyncAction(-2), "Delete Contact");
    NSSyncRecord r;
    r.mSyncAction = SyncActionMacToGoogle;
    EXPECT_EQ(r.getSyncActionDescription(), "This Computer -> Google");
}

class DisplayDateTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedLocale_ = icu::Locale::getDefault();
        savedZone_.reset(icu::TimeZone::createDefault());
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(icu::Locale("en_US"), status);
        icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("UTC"));
    }
    void TearDown() override {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(savedLocale_, status);
        icu::TimeZone::setDefault(*savedZone_);
    }
    icu::Locale savedLocale_;
    std::unique_ptr<icu::TimeZone> savedZone_;
};

TEST_F(DisplayDateTest, RecordDatesUseTheLocaleFormOfTheTemplate) {
    const auto date = platform::Date::fromUnix(1700000000);  // 2023-11-14 22:13:20 UTC
    const string shown = DisplayDateFormatter::stringFromDate(date);
    EXPECT_NE(shown.find("11/14/23"), string::npos) << shown;
    EXPECT_NE(shown.find("10:13"), string::npos) << shown;
    EXPECT_NE(shown.find("PM"), string::npos) << shown;

    NSSyncRecord r;
    r.mLastSyncDate = date;
    EXPECT_EQ(r.getLastSyncTime(), shown);
    r.mGoogleContact = makeGoogleContact(string("A"), nullopt, nullopt);
    EXPECT_EQ(r.getGoogleContactLastUpdateString(), "");
    r.mGoogleContact->setUpdatedDate(GDataDateTime(string("2023-11-14T22:13:20Z")));
    EXPECT_EQ(r.getGoogleContactLastUpdateString(), shown);

    platform::CNContactFields fields;
    fields.identifier = "local-1";
    fields.modificationDate = date;
    r.mAppleContact = std::make_shared<platform::CNContact>(fields, std::set<string>{platform::CNContactModificationDateKey});
    EXPECT_EQ(r.getAppleContactLastUpdateString(), shown);
}

TEST(ContactSourceRecordTest, DescriptionsWithAndWithoutUserName) {
    NSContactSourceRecord_QV source;
    EXPECT_EQ(source.getContainerID(), nullopt);
    EXPECT_EQ(source.getDescriptionWithVerbose(true, true), "");
    source.mDescription = "iCloud account";
    source.mConciseDescription = "iCloud";
    EXPECT_EQ(source.getDescriptionWithVerbose(true, false), "iCloud account");
    EXPECT_EQ(source.getDescriptionWithVerbose(false, true), "iCloud");
    source.mUsername = "";
    EXPECT_EQ(source.getDescriptionWithVerbose(true, true), "iCloud account");
    source.mUsername = "anna@x.org";
    EXPECT_EQ(source.getDescriptionWithVerbose(true, true), "iCloud account (anna@x.org)");
    EXPECT_EQ(source.getDescriptionWithVerbose(false, false), "iCloud");
    source.mConciseDescription.reset();
    EXPECT_EQ(source.getDescriptionWithVerbose(false, true), "");

    source.mContactSourceMode = ContactSourceModeCustomContainer;
    source.mContainer = std::make_shared<platform::CNContainer>("C1:ABAccount", "Home", platform::CNContainerType::Local);
    EXPECT_EQ(source.getContainerID(), "C1:ABAccount");
}

}  // namespace
}  // namespace quorvane::testing
