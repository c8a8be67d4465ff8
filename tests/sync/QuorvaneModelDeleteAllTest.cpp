// The delete-all tools against a real contact store and sync store.

#include "platform/contacts/CNContactKeys.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "tests/sync/SyncTestSupport.h"

namespace quorvane::testing {
namespace {

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
        platform::Error error;
        ASSERT_TRUE(store_->executeSaveRequest(request, &error)) << error.localizedDescription();
    }

    size_t contactsIn(const platform::CNContainerPtr& container) {
        return model_->getAppleContactsInContainer(container, 0, nullptr).size();
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
    auto contacts = model_->getAppleContactsInContainer(mine, 0, nullptr);
    auto kept = model_->getAppleContactsInContainer(other, 0, nullptr);
    // History of one deleted contact and of one that stays.
    SyncStore* sync = model_->syncStore();
    ASSERT_TRUE(sync);
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
    EXPECT_TRUE(model_->getAppleGroupsInContainer(mine, nullptr).empty());
    EXPECT_EQ(model_->getAppleGroupsInContainer(other, nullptr).size(), 1u);
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
    auto reopened = SyncStore::open(SyncStore::pathInFolder(dir_ / "profile"));
    ASSERT_TRUE(reopened);
    auto history = reopened->fetchSyncHistory();
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0]->googleID, "g0");
}

TEST_F(QuorvaneModelDeleteAllTest, AnEmptyAccountLosesItsGroupsAndGoesStraightToSaving) {
    auto mine = addContainer("Mine", platform::CNContainerType::Local);
    fill(mine, 0, {"Friends"});
    captureSubProgress();
    EXPECT_FALSE(deleteAll(mine));
    EXPECT_TRUE(model_->getAppleGroupsInContainer(mine, nullptr).empty());
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

}  // namespace
}  // namespace quorvane::testing
