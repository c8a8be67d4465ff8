// Carrying out planned records against the fake provider and a real local store: what reaches
// Google, the groups and photos on the way, what the history and the run log keep, and how a run
// that loses the provider ends.

#include "sync/SyncExecutor.h"
#include "sync/SyncRun.h"

#include <gtest/gtest.h>

#include "gdata/GDataEntryContactGroup.h"
#include "gdata/GDataLink.h"
#include "platform/contacts/CNSaveRequest.h"
#include "tests/sync/ProviderAccountTestSupport.h"
#include "tests/sync/SyncTestSupport.h"
#include "tests/sync/QuorvaneModelInternals.h"

namespace quorvane {
namespace {

using platform::RunLoop;
using test::FakeProvider;

class SyncExecutorTest : public testing::SyncModelTestBase {
protected:
    void SetUp() override {
        SyncModelTestBase::SetUp();
        container_ = addContainer("Local", platform::CNContainerType::Local);
        model_->setContactSourceMode(ContactSourceModeCustomContainer);
        model_->setCustomContainerID(container_->identifier());
        internals(model_).mAuth = account_.auth;
        model_->setSyncMode(SyncModeTwoWay);
        model_->updateSelectedContainerWithError();
    }

    // The model's connections to the provider close before the provider stops.
    void TearDown() override { model_.reset(); }

    // Saves a local contact (in the named local groups) and answers it as the run reads it.
    platform::CNContactPtr addLocal(const testing::AppleName& name, const std::vector<std::string>& groups = {},
                                    std::optional<platform::Bytes> photo = std::nullopt) {
        auto contact = std::dynamic_pointer_cast<platform::CNMutableContact>(testing::makeAppleContact(name));
        if (photo) contact->setImageData(photo);
        platform::CNSaveRequest request;
        request.addContact(contact, container_->identifier());
        for (const auto& g : groups) {
            auto group = std::make_shared<platform::CNMutableGroup>();
            group->setName(g);
            request.addGroup(group, container_->identifier());
            request.addMember(contact, group);
        }
        auto saved = store_->executeSaveRequest(request);
        EXPECT_TRUE(saved) << saved.error().localizedDescription();
        return fetchLocal(contact->identifier());
    }

    platform::CNContactPtr fetchLocal(const std::string& id) {
        auto contacts = model_->getAppleContactsInContainer(container_, 5);
        for (const auto& c : contacts.valueOr(std::vector<platform::CNContactPtr>{}))
            if (c->identifier() == id) return c;
        return nullptr;
    }

    NSSyncRecordPtr record(platform::CNContactPtr apple, std::shared_ptr<GDataEntryContact> google, int32_t action) {
        auto r = model_->newSyncRecord();
        r->mAppleContact = std::move(apple);
        r->mGoogleContact = std::move(google);
        r->mSyncAction = r->mInitialSyncAction = action;
        r->generateDescriptionAndSortString();
        records_.push_back(r);
        return r;
    }

    SyncRunResult run(bool feedComplete = true) {
        model_->updateGroupMembershipByPersonWithError();
        model_->fetchSyncHistory();
        SyncExecutor::Input input;
        input.records = records_;
        input.syncMode = SyncModeTwoWay;
        auto groups = model_->googleFeeds().groups.feed;
        input.feeds.groups = {.feed = groups ? groups : GDataFeedContactGroup::contactGroupFeed(), .complete = true};
        input.feeds.contacts = {.feed = account_.contactsFeed(), .complete = feedComplete};
        input.contactsFeedURL = platform::URL::URLWithString(provider().feedURL(FakeProvider::Kind::Contacts));
        input.groupsFeedURL = platform::URL::URLWithString(provider().feedURL(FakeProvider::Kind::Groups));
        input.startDate = platform::Date::now();
        bool done = false;
        SyncRunResult result;
        auto executor = SyncExecutor::make(std::make_shared<SyncRun::ModelExecution>(model_), input);
        executor->start([&](const SyncRunResult& r) {
            EXPECT_FALSE(done);
            result = r;
            done = true;
        });
        EXPECT_TRUE(RunLoop::main()->runUntil([&] { return done; }, 60));
        EXPECT_EQ(executor->state(), SyncExecutor::State::Finished);
        return result;
    }

    FakeProvider& provider() { return account_.provider; }
    size_t googleContacts() { return provider().entries(FakeProvider::Kind::Contacts).size(); }

    test::ProviderAccount account_;
    platform::CNContainerPtr container_;
    std::vector<NSSyncRecordPtr> records_;  // the plan the executor is given
};

TEST_F(SyncExecutorTest, WritesGoogleAsPlannedAndRemembersWhatWasConfirmed) {
    auto created = addLocal({.given = "Ada", .family = "New", .emails = {"ada@example.com"}});
    auto updated = addLocal({.given = "Bo", .family = "Changed"});
    std::string existing = provider().addContact("<title>Bo Old</title>");
    std::string gone = provider().addContact("<title>Deleted Locally</title>");
    record(created, nullptr, SyncActionMacToGoogle);
    record(updated, account_.contact(existing), SyncActionMacToGoogle);
    record(nullptr, account_.contact(gone), SyncActionDeleteContact);

    SyncRunResult result = run();
    EXPECT_EQ(result.outcome, SyncRunOutcome::Ok) << (result.error ? result.error->localizedDescription() : "");
    EXPECT_EQ(result.counts.googleCreated, 1);
    EXPECT_EQ(result.counts.googleUpdated, 1);
    EXPECT_EQ(result.counts.googleDeleted, 1);
    EXPECT_EQ(googleContacts(), 2u);  // the deleted one is gone
    ASSERT_TRUE(provider().entry(FakeProvider::Kind::Contacts, existing));
    EXPECT_NE(provider().entry(FakeProvider::Kind::Contacts, existing)->xml.find("Changed"), std::string::npos);
    // What was sent is not kept once Google settled it: Google's answer stands for each contact.
    for (const auto& r : records_) EXPECT_FALSE(r->mNewGoogleContact);
    EXPECT_TRUE(records_[0]->mGoogleContact && records_[1]->mGoogleContact);

    // Each written pair is remembered; the run is in the log.
    model_->fetchSyncHistory();
    EXPECT_TRUE(model_->hasSyncHistoryRecordWithAppleContact(created));
    EXPECT_TRUE(model_->hasSyncHistoryRecordWithAppleContact(updated));
    model_->fetchSyncLogRecords();
    ASSERT_EQ(model_->syncLogRecords().size(), 1u);
    EXPECT_EQ(model_->syncLogRecords()[0].result, "ok");
    EXPECT_EQ(model_->syncLogRecords()[0].googleCreated, 1);
    EXPECT_NE(model_->syncLogRecords()[0].logText.find("Created"), std::string::npos);
}

TEST_F(SyncExecutorTest, NothingIsDeletedOnGoogleFromAFeedThatWasNotWhole) {
    std::string gone = provider().addContact("<title>Deleted Locally</title>");
    record(nullptr, account_.contact(gone), SyncActionDeleteContact);
    SyncRunResult result = run(/*feedComplete=*/false);
    EXPECT_EQ(result.counts.googleDeleted, 0);
    EXPECT_EQ(googleContacts(), 1u);
}

TEST_F(SyncExecutorTest, MakesMissingGoogleGroupsFirstAndSendsPhotosAfterTheContacts) {
    const platform::Bytes photo = {0xFF, 0xD8, 0xFF, 0xE0, 'p', 'h', 'o', 't', 'o', 0xFF, 0xD9};
    auto climber = addLocal({.given = "Cy", .family = "Climber"}, {"Climbing"}, photo);
    record(climber, nullptr, SyncActionMacToGoogle)->mSyncPhoto = true;
    {  // the run starts from the groups feed it downloaded
        bool done = false;
        model_->getGoogleContactService()->fetchFeedWithURL(
            *platform::URL::URLWithString(provider().feedURL(FakeProvider::Kind::Groups)),
            [&](const GDataServiceTicketPtr&, const GDataObjectPtr& o, const std::optional<platform::Error>&) {
                model_->setGroupFeed(std::dynamic_pointer_cast<GDataFeedContactGroup>(o));
                done = true;
            });
        ASSERT_TRUE(RunLoop::main()->runUntil([&] { return done; }, 60));
    }

    SyncRunResult result = run();
    ASSERT_EQ(result.outcome, SyncRunOutcome::Ok) << (result.error ? result.error->localizedDescription() : "");
    std::string groupID;
    for (const auto& g : provider().entries(FakeProvider::Kind::Groups))
        if (g.xml.find("Climbing") != std::string::npos) groupID = g.id;
    ASSERT_FALSE(groupID.empty());
    auto contacts = provider().entries(FakeProvider::Kind::Contacts);
    ASSERT_EQ(contacts.size(), 1u);
    EXPECT_NE(contacts[0].xml.find(provider().idURL(FakeProvider::Kind::Groups, groupID)), std::string::npos);
    ASSERT_TRUE(contacts[0].photo);
    EXPECT_EQ(*contacts[0].photo, std::string(photo.begin(), photo.end()));
    EXPECT_EQ(result.counts.photosMoved, 1);

    // The history holds the photo's ETag as the provider now gives it: the next run moves nothing.
    model_->fetchSyncHistory();
    auto records = model_->syncHistory().recordsForAppleID(climber->identifier());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]->googleETag, contacts[0].photoETag());
}

TEST_F(SyncExecutorTest, ALostProviderEndsTheRunAsANetworkFailureAndKeepsTheOldHistory) {
    auto local = addLocal({.given = "Di", .family = "Offline"});
    record(local, nullptr, SyncActionMacToGoogle);
    provider().server().on("POST", "/m8/feeds/contacts/default/full/batch", [](const test::TestRequest&, test::TestResponse& res) {
        res.body = std::string(2048, 'x');
        res.closeAfter = 1;
    });
    SyncRunResult result = run();
    EXPECT_EQ(result.outcome, SyncRunOutcome::Network);
    EXPECT_EQ(googleContacts(), 0u);
    model_->fetchSyncHistory();
    EXPECT_FALSE(model_->hasSyncHistoryRecordWithAppleContact(local));
    model_->fetchSyncLogRecords();
    ASSERT_EQ(model_->syncLogRecords().size(), 1u);
    EXPECT_EQ(model_->syncLogRecords()[0].result, "network");
}

// --- the executor alone: its input built directly, its needs answered by a table, the provider real ---

// Writes a local contact to Google as its given name for a title; remembers what the run handed
// to the history and the run log.
class TableExecution final : public SyncExecutor::Context {
public:
    explicit TableExecution(std::shared_ptr<GDataServiceGoogleContact> service) : service_(std::move(service)) {}

    void log(const std::string& line) override { lines += line + "\n"; }
    void progress(const std::string&) override {}
    void subProgress(const std::string& text) override { lastSubProgress = text; }
    void progressBar(float) override {}
    void logWritten(const NSSyncRecordPtr& r, bool created) override { lines += (created ? "created " : "updated ") + r->mAppleContact->givenName() + "\n"; }
    std::shared_ptr<GDataServiceGoogleContact> googleService() override { return service_; }
    platform::CNContactStore& contactStore() override {  // photos only, which no row moves
        if (!store_) {
            const auto dir = platform::Paths::dataHome() / "sync-tests" / "SyncExecutorAloneTest";
            std::filesystem::create_directories(dir);
            store_ = std::make_shared<platform::CNContactStore>(dir / "Contacts.sqlite");
        }
        return *store_;
    }
    std::vector<std::shared_ptr<GDataEntryBase>> missingGoogleGroups(const std::vector<NSSyncRecordPtr>&) override { return {}; }
    void useGroupFeed(const std::shared_ptr<GDataFeedContactGroup>&) override {}
    void rereadLocalGroups() override {}
    platform::CNContactPtr referenceContact(const platform::CNContactPtr& apple) override { return apple; }
    GoogleConversion toGoogle(GoogleContactPtr entry, const platform::CNContactPtr&, const platform::CNContactPtr& apple,
                              const NSSyncRecordPtr& record) override {
        if (!entry) {
            entry = GDataEntryContact::contactEntryWithTitle(apple->givenName());
            record->mCreatedNewContact = true;
        }
        entry->setTitleWithString(apple->givenName());
        GoogleConversion converted{entry, {}};
        if (apple->givenName() == "Long") converted.truncated.push_back({2000, 1000});
        return converted;
    }
    bool contactsDiffer(const platform::CNContactPtr&, const GoogleContactPtr&) override { return false; }
    NSSyncRecordPtr newSyncRecord() override {
        auto r = std::make_shared<NSSyncRecord>();
        r->setModel({});
        return r;
    }
    platform::Result<std::vector<std::string>> saveHistory(const std::vector<NSSyncRecordPtr>& records,
                                                           const std::function<GoogleContactPtr(const std::string&)>&) override {
        historySaved = records;
        if (historyFails) return platform::Error("com.quorvane.test", 1);
        return std::vector<std::string>{};
    }
    platform::Result<int64_t> saveRunLog(platform::Date, SyncRunOutcome outcome, const std::optional<std::string>&,
                                         const SyncRunCounts&) override {
        loggedOutcome = syncRunOutcomeName(outcome);
        return 7;
    }

    GoogleContactPtr keptGoogleContact(const GoogleContactPtr& answer) override {
        ++answersKept;
        return answer;
    }
    GoogleContactPtr leanGoogleContact(const GoogleContactPtr& google) override {
        ++answersKept;  // an answer nothing reads whole again is kept lean
        return google;
    }

    std::string lines, lastSubProgress;
    size_t answersKept = 0;
    std::vector<NSSyncRecordPtr> historySaved;
    bool historyFails = false;
    std::string loggedOutcome;

private:
    std::shared_ptr<GDataServiceGoogleContact> service_;
    std::shared_ptr<platform::CNContactStore> store_;
};

TEST(SyncExecutorAloneTest, WhatEachPlannedActionSendsAndHowTheRunEnds) {
    struct Row {
        const char* what;
        int32_t action;
        bool local, google;  // which sides the record has ("Ann")
        bool feedsWhole = true, historyFails = false;
        int32_t created = 0, updated = 0, deleted = 0, failures = 0;
        size_t googleAfter = 1;  // contacts on the provider afterwards
        const char* outcome = "ok";
        bool warned = false;
    };
    const Row rows[] = {
        {.what = "create on Google", .action = SyncActionMacToGoogle, .local = true, .google = false, .created = 1, .googleAfter = 2},
        {.what = "update Google", .action = SyncActionMacToGoogle, .local = true, .google = true, .updated = 1},
        {.what = "delete on Google", .action = SyncActionDeleteContact, .local = false, .google = true, .deleted = 1, .googleAfter = 0},
        {.what = "no deletion from a cut feed", .action = SyncActionDeleteContact, .local = false, .google = true, .feedsWhole = false},
        {.what = "a local write without a local writer fails", .action = SyncActionGoogleToMac, .local = true, .google = true, .failures = 1, .outcome = "partial"},
        {.what = "nothing to do", .action = SyncActionNoUpdate, .local = true, .google = true},
        {.what = "a history that cannot be saved", .action = SyncActionMacToGoogle, .local = true, .google = true, .historyFails = true, .updated = 1, .outcome = "other"},
        {.what = "a value cut to fit is a warning", .action = SyncActionMacToGoogle, .local = true, .google = false, .created = 1, .googleAfter = 2, .warned = true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        test::ProviderAccount account;
        const std::string id = account.provider.addContact("<title>Ann</title>");
        auto context = std::make_shared<TableExecution>(account.service);
        context->historyFails = row.historyFails;

        SyncExecutor::Input input;
        auto r = context->newSyncRecord();
        if (row.local) r->mAppleContact = testing::makeAppleContact({.given = row.warned ? "Long" : "Ann"});
        if (row.google) r->mGoogleContact = account.contact(id);
        r->mSyncAction = r->mInitialSyncAction = row.action;
        r->generateDescriptionAndSortString();
        input.records = {r};
        input.feeds.groups = {.feed = GDataFeedContactGroup::contactGroupFeed(), .complete = true, .incompleteReason = ""};
        input.feeds.contacts = {.feed = account.contactsFeed(), .complete = row.feedsWhole, .incompleteReason = ""};
        input.contactsFeedURL = platform::URL::URLWithString(account.provider.feedURL(FakeProvider::Kind::Contacts));
        input.pauseSeconds = 0;

        std::optional<SyncRunResult> result;
        auto executor = SyncExecutor::make(context, input);
        executor->start([&](const SyncRunResult& done) { result = done; });
        ASSERT_TRUE(RunLoop::main()->runUntil([&] { return result.has_value(); }, 60));

        EXPECT_EQ(context->loggedOutcome, row.outcome) << context->lines;
        EXPECT_EQ(result->runID, 7);
        EXPECT_EQ(result->counts.googleCreated, row.created);
        EXPECT_EQ(result->counts.googleUpdated, row.updated);
        EXPECT_EQ(result->counts.googleDeleted, row.deleted);
        EXPECT_EQ(result->counts.failures, row.failures);
        EXPECT_EQ(account.provider.entries(FakeProvider::Kind::Contacts).size(), row.googleAfter);
        EXPECT_EQ(result->warnings.size(), row.warned ? 1u : 0u);
        // The history stage is handed every planned record, with what was done to it.
        ASSERT_EQ(context->historySaved.size(), 1u);
        EXPECT_EQ(context->historySaved[0]->mGmailUpdateSucceeded, row.created + row.updated + row.deleted > 0);
        if (row.created) EXPECT_NE(account.provider.entries(FakeProvider::Kind::Contacts).back().xml.find("quorvane-local-record"), std::string::npos);
    }
}

// Writes go out a few batches at a time, each entry made and its answer taken before the next
// ones are made: all of them still arrive, each record keeping Google's answer.
TEST(SyncExecutorAloneTest, ManyWritesGoOutAFewBatchesAtATime) {
    test::ProviderAccount account;
    auto context = std::make_shared<TableExecution>(account.service);
    SyncExecutor::Input input;
    const size_t count = 25;  // more than one round of batches of 2, two at once
    for (size_t i = 0; i < count; ++i) {
        auto r = context->newSyncRecord();
        r->mAppleContact = testing::makeAppleContact({.given = "P" + std::to_string(i)});
        r->mSyncAction = r->mInitialSyncAction = SyncActionMacToGoogle;
        r->generateDescriptionAndSortString();
        input.records.push_back(r);
    }
    input.feeds.groups = {.feed = GDataFeedContactGroup::contactGroupFeed(), .complete = true, .incompleteReason = ""};
    input.feeds.contacts = {.feed = account.contactsFeed(), .complete = true, .incompleteReason = ""};
    input.contactsFeedURL = platform::URL::URLWithString(account.provider.feedURL(FakeProvider::Kind::Contacts));
    input.batchSize = 2;
    input.pauseSeconds = 0;
    std::optional<SyncRunResult> result;
    auto executor = SyncExecutor::make(context, input);
    executor->start([&](const SyncRunResult& done) { result = done; });
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return result.has_value(); }, 60));
    EXPECT_EQ(result->counts.googleCreated, int32_t(count)) << context->lines;
    EXPECT_EQ(account.provider.entries(FakeProvider::Kind::Contacts).size(), count);
    EXPECT_EQ(context->answersKept, count);
    EXPECT_EQ(context->lastSubProgress, "Google 25 of 25");
    for (const auto& r : input.records) EXPECT_TRUE(r->mGmailUpdateSucceeded && r->mGoogleContact && !r->mNewGoogleContact);
}

}  // namespace
}  // namespace quorvane
