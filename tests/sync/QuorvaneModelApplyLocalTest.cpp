// Writing the local side of planned records into a real contact store: updates with their group
// memberships, new contacts, deletions, read-only contacts, bounded save requests, and one failing
// change that fails no other record.

#include <gtest/gtest.h>

#include "platform/contacts/CNSaveRequest.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "tests/sync/SyncTestSupport.h"

namespace quorvane::testing {
namespace {

using namespace platform;
using std::string;

class QuorvaneModelApplyLocalTest : public SyncModelTestBase {
protected:
    void SetUp() override {
        SyncModelTestBase::SetUp();
        model_->mGroupFeed = standardGroupFeed();
        container_ = addContainer("On My Mac", CNContainerType::Local);
        model_->mSelectedContainer = container_;
        model_->mCurrentSourceRecord = std::make_shared<NSContactSourceRecord_QV>();
        model_->mCurrentSourceRecord->mContainerAccountType = ContainerAccountTypeLocal;
    }

    CNMutableContactPtr addLocal(const string& given, const std::vector<CNGroupPtr>& groups = {}) {
        auto c = std::make_shared<CNMutableContact>();
        c->setGivenName(given);
        c->setEmailAddresses({lv<string>(string(CNLabelHome), given + "@old.org")});
        CNSaveRequest request;
        request.addContact(c, container_->identifier());
        for (const auto& g : groups) request.addMember(c, g);
        EXPECT_TRUE(store_->executeSaveRequest(request));
        return c;
    }

    CNGroupPtr addGroup(const string& name) {
        auto g = std::make_shared<CNMutableGroup>();
        g->setName(name);
        CNSaveRequest request;
        request.addGroup(g, container_->identifier());
        EXPECT_TRUE(store_->executeSaveRequest(request));
        return g;
    }

    NSSyncRecordPtr plan(int32_t action, const CNContactPtr& apple, const string& googleBody = "") {
        auto r = model_->newSyncRecord();
        r->mSyncAction = action;
        r->mAppleContact = apple;
        if (!googleBody.empty() || action == SyncActionGoogleToMac) r->mGoogleContact = googleContact(googleBody);
        model_->mSyncRecords.push_back(r);
        return r;
    }

    // Runs the local writes; the number of successful saves they made.
    int apply(std::optional<Error>* error = nullptr) {
        int saves = 0;
        auto token = NotificationCenter::defaultCenter().addObserver(CNContactStoreDidChangeNotification, store_.get(), nullptr,
                                                                     [&](const Notification&) { ++saves; });
        bool finished = false;
        size_t lastDone = 0, lastTotal = 1;
        model_->performSynchronization_Step1([&](size_t done, size_t total) { lastDone = done, lastTotal = total; },
                                             [&](const std::optional<Error>& e) {
                                                 finished = true;
                                                 if (error) *error = e;
                                             });
        EXPECT_TRUE(RunLoop::main()->runUntil([&] { return finished; }, 120));
        EXPECT_EQ(lastDone, lastTotal);  // the last progress says all done
        return saves;
    }

    std::optional<CNContactPtr> stored(const string& id) {
        auto found = store_->unifiedContactsMatchingPredicate(CNContact::predicateForContactsWithIdentifiers({id}),
                                                              {CNContactGivenNameKey, CNContactEmailAddressesKey});
        if (!found || found->empty()) return std::nullopt;
        return found->front();
    }

    std::vector<string> groupNamesOf(const string& id) {
        model_->mGroupMembershipByPerson = model_->getGroupMembershipByPersonWithError(nullptr);
        return model_->getAppleContactGroupNamesWithAppleContactID(id).value_or(std::vector<string>{});
    }

    CNContainerPtr container_;
};

TEST_F(QuorvaneModelApplyLocalTest, WritesUpdatesNewContactsDeletionsAndGroupsButNoReadOnlyContact) {
    auto old = addGroup("Old");
    auto ann = addLocal("Ann", {old});
    auto bob = addLocal("Bob");
    auto locked = addLocal("Locked");
    auto idle = addLocal("Idle");
    model_->mGroupMembershipByPerson = model_->getGroupMembershipByPersonWithError(nullptr);
    model_->mReadOnlyContactDict[locked->identifier()] = true;

    auto update = plan(SyncActionGoogleToMac, ann, "<gd:name><gd:givenName>Anna</gd:givenName></gd:name>"
                                                   "<gd:email rel='http://schemas.google.com/g/2005#work' address='anna@new.org'/>" +
                                                       membership("6") + membership("work"));
    auto create = plan(SyncActionGoogleToMac, nullptr, "<gd:name><gd:givenName>Cy</gd:givenName></gd:name>" + membership("friends1"));
    auto remove = plan(SyncActionDeleteContact, bob);
    auto readOnly = plan(SyncActionGoogleToMac, locked, "<gd:name><gd:givenName>Changed</gd:givenName></gd:name>");
    plan(SyncActionNoUpdate, idle, "<gd:name><gd:givenName>Other</gd:givenName></gd:name>");

    std::optional<Error> error;
    apply(&error);
    EXPECT_FALSE(error);

    auto annNow = stored(ann->identifier());
    ASSERT_TRUE(annNow);
    EXPECT_EQ((*annNow)->givenName(), "Anna");
    ASSERT_EQ((*annNow)->emailAddresses().size(), 1u);
    EXPECT_EQ((*annNow)->emailAddresses()[0].value(), "anna@new.org");
    EXPECT_EQ(groupNamesOf(ann->identifier()), std::vector<string>{"Work"});  // "Work" made; "Old" left
    EXPECT_FALSE(update->mAppleUpdateFailed);
    EXPECT_EQ(update->mMutableAppleContact->identifier(), ann->identifier());

    ASSERT_TRUE(create->mMutableAppleContact);
    EXPECT_TRUE(create->mCreatedNewContact);
    EXPECT_EQ(groupNamesOf(create->mMutableAppleContact->identifier()), std::vector<string>{"Friends"});
    EXPECT_FALSE(stored(bob->identifier()));
    EXPECT_FALSE(remove->mAppleUpdateFailed);

    EXPECT_TRUE(readOnly->mAppleUpdateFailed);
    EXPECT_EQ((*stored(locked->identifier()))->givenName(), "Locked");
    EXPECT_EQ((*stored(idle->identifier()))->givenName(), "Idle");
}

TEST_F(QuorvaneModelApplyLocalTest, SavesInBoundedRequestsAndOneFailingChangeFailsNoOther) {
    const size_t count = 2 * QuorvaneModel::kMaxLocalSaveOperations + 1;
    for (size_t i = 0; i < count; ++i) plan(SyncActionGoogleToMac, nullptr, "<gd:name><gd:givenName>N" + std::to_string(i) + "</gd:givenName></gd:name>");
    EXPECT_EQ(apply(), 3);
    for (const auto& r : model_->mSyncRecords) EXPECT_FALSE(r->mAppleUpdateFailed);

    // A deletion of a contact that is already gone fails its request; the others are saved alone,
    // and the deletion counts as done.
    model_->mSyncRecords.clear();
    auto gone = addLocal("Gone");
    auto keep = addLocal("Keep");
    CNSaveRequest request;
    request.deleteContact(gone->mutableCopy());
    ASSERT_TRUE(store_->executeSaveRequest(request));
    auto deletion = plan(SyncActionDeleteContact, gone);
    auto update = plan(SyncActionGoogleToMac, keep, "<gd:name><gd:givenName>Kept</gd:givenName></gd:name>");
    std::optional<Error> error;
    apply(&error);
    EXPECT_FALSE(error);
    EXPECT_NE(model_->log().find("Failed to Execute Save Request"), string::npos);  // the request of both failed
    EXPECT_FALSE(deletion->mAppleUpdateFailed);
    EXPECT_FALSE(update->mAppleUpdateFailed);
    EXPECT_EQ((*stored(keep->identifier()))->givenName(), "Kept");
}

}  // namespace
}  // namespace quorvane::testing
