// The delete-all tools against a real contact store and sync store.

#include <fstream>

#include "platform/contacts/CNContactKeys.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "tests/sync/ProviderSyncTestBase.h"

namespace quorvane::testing {
namespace {

// The Google ids of the history records stored in the test's profile, read from the file afresh.
std::vector<std::string> storedGoogleIDs(const std::filesystem::path& dir) {
    std::vector<std::string> ids;
    auto reopened = SyncStore::open(SyncStore::pathInFolder(dir / "profile"));
    if (reopened)
        for (const auto& r : (*reopened)->fetchSyncHistory().valueOr(std::vector<SyncHistoryRecordPtr>{}))
            ids.push_back(r->googleID.value_or(""));
    return ids;
}

class QuorvaneModelDeleteAllTest : public SyncModelTestBase {
protected:
    // Adds `count` contacts and the named groups to the container, in one save.
    void fill(const platform::CNContainerPtr& container, int count, const std::vector<std::string>& groups) {
        platform::CNSaveRequest request;
        for (int i = 0; i < count; ++i) {
            auto c = std::make_shared<platform::CNMutableContact>();
            c->setGivenName("Person " + std::to_string(i));
            request.addContact(c, container->identifier());
        }
        for (const auto& name : groups) {
            auto g = std::make_shared<platform::CNMutableGroup>();
            g->setName(name);
            request.addGroup(g, container->identifier());
        }
        auto saved = store_->executeSaveRequest(request);
        ASSERT_TRUE(saved) << saved.error().localizedDescription();
    }

    size_t contactsIn(const platform::CNContainerPtr& container) {
        return model_->getAppleContactsInContainer(container, 0)->size();
    }

    // Runs the deletion to its end; answers its error, if any.
    std::optional<platform::Error> deleteAll(const platform::CNContainerPtr& container) {
        bool finished = false;
        std::optional<platform::Error> result;
        model_->deleteContactsFromContainer(container, [&](const std::optional<platform::Error>& error) {
            finished = true;
            result = error;
        });
        EXPECT_TRUE(platform::RunLoop::main()->runUntil([&] { return finished; }, 120));
        return result;
    }

    void captureSubProgress() {
        model_->setRunLogSink([this](const RunLog&, const RunLog::Event& e) {
            if (e.change == RunLog::Change::SubProgress) subProgress_.push_back(e.text);
        });
    }
    std::vector<std::string> subProgress_;
};

TEST_F(QuorvaneModelDeleteAllTest, TwoThousandFiveHundredContactsSaveEveryThousandAndForgetTheirHistory) {
    auto mine = addContainer("Mine", platform::CNContainerType::Local);
    auto other = addContainer("Other", platform::CNContainerType::CardDAV);
    fill(mine, 2500, {"Friends", "Work"});
    fill(other, 3, {"Club"});
    auto contacts = *model_->getAppleContactsInContainer(mine, 0);
    auto kept = *model_->getAppleContactsInContainer(other, 0);
    // History of one deleted contact and of one that stays.
    auto opened = model_->syncStore();
    ASSERT_TRUE(opened);
    SyncStore* sync = *opened;
    for (const auto& [apple, google] : {std::pair{contacts[7]->identifier(), std::string("g7")},
                                        std::pair{kept[0]->identifier(), std::string("g0")}}) {
        auto r = std::make_shared<SyncHistoryRecord>();
        r->appleRecordID = apple;
        r->googleID = google;
        sync->insertSyncHistory(r);
    }
    ASSERT_TRUE(sync->save());

    // What the account holds after each save.
    std::vector<size_t> afterSaves;
    auto token = platform::NotificationCenter::defaultCenter().addObserver(
        platform::CNContactStoreDidChangeNotification, nullptr, nullptr,
        [&](const platform::Notification&) { afterSaves.push_back(contactsIn(mine)); });
    captureSubProgress();
    EXPECT_FALSE(deleteAll(mine));
    platform::NotificationCenter::defaultCenter().removeObserver(token);

    // The groups first, then 1000, 1000 and the last 500.
    EXPECT_EQ(afterSaves, (std::vector<size_t>{2500, 1500, 500, 0}));
    EXPECT_EQ(contactsIn(other), 3u);
    EXPECT_TRUE(model_->getAppleGroupsInContainer(mine)->empty());
    EXPECT_EQ(model_->getAppleGroupsInContainer(other)->size(), 1u);
    // The count goes up at most 15 a step, stops at 1000 and 2000 for the saves, then the end.
    ASSERT_GE(subProgress_.size(), 4u);
    EXPECT_EQ(subProgress_.front(), "Working...");
    int previous = 0;
    std::set<int> seen;
    for (size_t i = 1; i + 2 < subProgress_.size(); ++i) {
        int n = 0, total = 0;
        ASSERT_EQ(std::sscanf(subProgress_[i].c_str(), "Deleting Contact #%d/%d", &n, &total), 2) << subProgress_[i];
        EXPECT_EQ(total, 2500);
        EXPECT_GT(n, previous);
        EXPECT_LE(n - previous, 15);
        previous = n;
        seen.insert(n);
    }
    EXPECT_TRUE(seen.count(1000) && seen.count(2000));
    EXPECT_EQ(subProgress_[subProgress_.size() - 2], "Saving Changes...");
    EXPECT_EQ(subProgress_.back(), "Done");
    // Only the history of the deleted contact is gone.
    EXPECT_EQ(storedGoogleIDs(dir_), (std::vector<std::string>{"g0"}));
}

TEST_F(QuorvaneModelDeleteAllTest, AnEmptyAccountLosesItsGroupsAndGoesStraightToSaving) {
    auto mine = addContainer("Mine", platform::CNContainerType::Local);
    fill(mine, 0, {"Friends"});
    captureSubProgress();
    EXPECT_FALSE(deleteAll(mine));
    EXPECT_TRUE(model_->getAppleGroupsInContainer(mine)->empty());
    EXPECT_EQ(subProgress_, (std::vector<std::string>{"Working...", "Saving Changes...", "Done"}));
}

TEST_F(QuorvaneModelDeleteAllTest, NoAccountOrOneWithoutIdentifierIsRefusedAndNothingGoes) {
    auto mine = addContainer("Mine", platform::CNContainerType::Local);
    fill(mine, 4, {});
    for (const auto& container : {platform::CNContainerPtr(),
                                  std::make_shared<platform::CNContainer>("", "Nameless", platform::CNContainerType::Local)}) {
        auto error = deleteAll(container);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain, kQuorvaneModelErrorDomain);
        EXPECT_EQ(error->code, kQuorvaneModelErrorNoContainer);
    }
    EXPECT_EQ(contactsIn(mine), 4u);
}

TEST_F(QuorvaneModelDeleteAllTest, NothingIsDeletedWhenTheHistoryCannotBeCleared) {
    auto mine = addContainer("Mine", platform::CNContainerType::Local);
    fill(mine, 3, {"Friends"});
    // A data folder that cannot be made: the sync store does not open.
    std::ofstream(dir_ / "not-a-folder") << "x";
    QuorvaneModel::Environment env;
    env.userDefaults = std::make_shared<platform::UserDefaults>(dir_ / "defaults.json");
    env.contactStore = store_;
    env.dataFolder = dir_ / "not-a-folder" / "profile";
    model_ = std::make_shared<QuorvaneModel>(std::move(env));
    auto error = deleteAll(mine);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, kQuorvaneModelErrorHistoryNotCleared);
    EXPECT_EQ(contactsIn(mine), 3u);
    EXPECT_EQ(model_->getAppleGroupsInContainer(mine)->size(), 1u);
}

// --- the Google account ---

class QuorvaneModelDeleteGoogleTest : public ProviderSyncTestBase {
protected:
    using Kind = test::FakeProvider::Kind;

    // Runs the deletion to its end; answers its error, if any.
    std::optional<platform::Error> deleteAll() {
        bool finished = false;
        std::optional<platform::Error> result;
        model_->deleteGmailContactsWithFinishedSelector([&] { finished = true; },
                                                        [&](const platform::Error& error) {
                                                            finished = true;
                                                            result = error;
                                                        });
        EXPECT_TRUE(platform::RunLoop::main()->runUntil([&] { return finished; }, 120));
        return result;
    }
    size_t batches(Kind kind) {
        return provider.server().requestCount(kind == Kind::Contacts ? "/m8/feeds/contacts/default/full/batch"
                                                                     : "/m8/feeds/groups/default/full/batch");
    }
    std::vector<std::string> groupTitles() {
        std::vector<std::string> titles;
        for (const auto& e : provider.entries(Kind::Groups)) {
            size_t from = e.xml.find("System Group: ");
            titles.push_back(from == std::string::npos ? "user group" : e.xml.substr(from + 14, e.xml.find('<', from) - from - 14));
        }
        return titles;
    }
};

TEST_F(QuorvaneModelDeleteGoogleTest, EveryContactAndUserGroupGoesTheSystemGroupsStayAndTheHistoryIsForgotten) {
    std::vector<std::string> ids;
    for (int i = 0; i < 230; ++i) ids.push_back(addPerson("Given" + std::to_string(i), "Family"));
    provider.addGroup("Friends");
    provider.addGroup("Work");
    auto opened = model_->syncStore();
    ASSERT_TRUE(opened);
    SyncStore* sync = *opened;
    for (const auto& googleID : {provider.idURL(Kind::Contacts, ids[3]), std::string("https://elsewhere/unrelated")}) {
        auto r = std::make_shared<SyncHistoryRecord>();
        r->appleRecordID = "local-" + googleID;
        r->googleID = googleID;
        sync->insertSyncHistory(r);
    }
    ASSERT_TRUE(sync->save());
    // The same user as last time: the history as a whole stays.
    model_->setPreviousGmailUsername(model_->getUsername());

    EXPECT_FALSE(deleteAll());
    EXPECT_TRUE(provider.entries(Kind::Contacts).empty());
    EXPECT_EQ(groupTitles(), (std::vector<std::string>{"My Contacts", "Friends", "Family", "Coworkers"}));
    EXPECT_EQ(batches(Kind::Contacts), 3u);
    EXPECT_EQ(batches(Kind::Groups), 1u);
    EXPECT_EQ(model_->runLog().progressBarValue(), 1.0f);
    EXPECT_EQ(storedGoogleIDs(dir_), (std::vector<std::string>{"https://elsewhere/unrelated"}));
}

TEST_F(QuorvaneModelDeleteGoogleTest, WithoutBatchingEachEntryGoesAlone) {
    for (int i = 0; i < 3; ++i) addPerson("Given" + std::to_string(i), "Family");
    provider.addGroup("Friends");
    model_->setBatchGoogleContacts(false);
    EXPECT_FALSE(deleteAll());
    EXPECT_EQ(batches(Kind::Contacts), 3u);
    EXPECT_EQ(batches(Kind::Groups), 1u);
    EXPECT_TRUE(provider.entries(Kind::Contacts).empty());
}

TEST_F(QuorvaneModelDeleteGoogleTest, EntriesTheProviderKeepsAreCountedAndFailTheDeletion) {
    for (int i = 0; i < 3; ++i) addPerson("Given" + std::to_string(i), "Family");
    provider.setBatchFault([](const std::string& batchID, const std::string&) -> std::optional<int> {
        if (batchID == "1") return 500;
        return std::nullopt;
    });
    auto error = deleteAll();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, kQuorvaneModelErrorEntriesRemain);
    EXPECT_EQ(error->userInfo["remaining"].asInt(), 1);
    EXPECT_EQ(provider.entries(Kind::Contacts).size(), 1u);
    // Sent again for the rounds the deletion allows, then given up.
    EXPECT_EQ(batches(Kind::Contacts), 10u);
}

TEST_F(QuorvaneModelDeleteGoogleTest, AFeedCutShortFailsEvenWhenAllItShowedWent) {
    for (int i = 0; i < 30; ++i) addPerson("Given" + std::to_string(i), "Family");
    provider.setPageCap(1);
    auto error = deleteAll();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, kQuorvaneModelErrorEntriesRemain);
    EXPECT_FALSE(provider.entries(Kind::Contacts).empty());
    EXPECT_NE(model_->log().find("not downloaded"), std::string::npos) << model_->log();
}

}  // namespace
}  // namespace quorvane::testing
