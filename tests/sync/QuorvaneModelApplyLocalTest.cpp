// Writing the local side of planned records into a real contact store: updates with their group
// memberships, new contacts, deletions, read-only contacts, bounded save requests, one failing
// change that fails no other record; and whole runs against the fake provider after which every
// pair of contacts with every kind of field compares equal.

#include <gtest/gtest.h>

#include "platform/contacts/CNSaveRequest.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "sync/SyncRun.h"
#include "tests/sync/ProviderSyncTestBase.h"
#include "tests/sync/QuorvaneModelInternals.h"

namespace quorvane::testing {
namespace {

using namespace platform;
using std::string;

class QuorvaneModelApplyLocalTest : public SyncModelTestBase {
protected:
    void SetUp() override {
        SyncModelTestBase::SetUp();
        internals(model_).mGroupFeed = standardGroupFeed();
        container_ = addContainer("On This Computer", CNContainerType::Local);
        internals(model_).mSelectedContainer = container_;
        internals(model_).mCurrentSourceRecord = std::make_shared<NSContactSourceRecord_QV>();
        internals(model_).mCurrentSourceRecord->mContainerAccountType = ContainerAccountTypeLocal;
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
        records_.push_back(r);
        return r;
    }

    // Runs the local writes; the number of successful saves they made.
    int apply(std::optional<Error>* error = nullptr) {
        int saves = 0;
        auto token = NotificationCenter::defaultCenter().addObserver(CNContactStoreDidChangeNotification, store_.get(), nullptr,
                                                                     [&](const Notification&) { ++saves; });
        bool finished = false;
        size_t lastDone = 0, lastTotal = 1;
        model_->performSynchronization_Step1(records_, [&](size_t done, size_t total) { lastDone = done, lastTotal = total; },
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
        internals(model_).mGroupMembershipByPerson = model_->getGroupMembershipByPersonWithError().byPerson;
        return model_->getAppleContactGroupNamesWithAppleContactID(id).value_or(std::vector<string>{});
    }

    CNContainerPtr container_;
    std::vector<NSSyncRecordPtr> records_;  // the records planned so far
};

TEST_F(QuorvaneModelApplyLocalTest, WritesUpdatesNewContactsDeletionsAndGroupsButNoReadOnlyContact) {
    auto old = addGroup("Old");
    auto ann = addLocal("Ann", {old});
    auto bob = addLocal("Bob");
    auto locked = addLocal("Locked");
    auto idle = addLocal("Idle");
    internals(model_).mGroupMembershipByPerson = model_->getGroupMembershipByPersonWithError().byPerson;
    internals(model_).mReadOnlyContactDict[locked->identifier()] = true;

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
    for (const auto& r : records_) EXPECT_FALSE(r->mAppleUpdateFailed);

    // A deletion of a contact that is already gone fails its request; the others are saved alone,
    // and the deletion counts as done.
    records_.clear();
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

// Two runs against the provider: contacts with every kind of field, made on either side, come
// out of the first run equal under the comparison, so the second finds no difference at all.
class RichRunTest : public ProviderSyncTestBase {};

TEST_F(RichRunTest, ContactsWrittenEitherWayCompareEqualOnTheNextRun) {
    const string gd = "http://schemas.google.com/g/2005";
    const string rich =
        "<gd:name><gd:givenName yomi='an'>Ann</gd:givenName><gd:familyName>Lee</gd:familyName></gd:name>"
        "<gContact:nickname>Annie</gContact:nickname><content type='text'>Two\nlines</content>"
        "<gContact:birthday when='--05-17'/><gd:organization rel='" + gd + "#work'><gd:orgName>Acme</gd:orgName>"
        "<gd:orgTitle>Boss</gd:orgTitle></gd:organization><gd:email label='Boat' address='ann@x.org'/>"
        "<gd:email rel='" + gd + "#work' address=' '/><gd:phoneNumber rel='" + gd + "#car'>555 0100</gd:phoneNumber>"
        "<gd:phoneNumber rel='" + gd + "#fax'>555 0101</gd:phoneNumber>"
        "<gd:structuredPostalAddress rel='" + gd + "#home'><gd:pobox>PO 5</gd:pobox><gd:street>1 Main St</gd:street>"
        "<gd:city>Oslo</gd:city><gd:country code='NO'>Norway</gd:country></gd:structuredPostalAddress>"
        "<gContact:website rel='blog' href='https://a.example'/><gContact:relation rel='domestic-partner'>Bo</gContact:relation>"
        "<gd:im rel='" + gd + "#home' protocol='" + gd + "#NETMEETING' address='ann'/><gd:im label='x' protocol='Mastodon' address='a'/>"
        "<gContact:event rel='anniversary'><gd:when startTime='2010-06-01'/></gContact:event>"
        "<gContact:userDefinedField key='Sina Weibo' value='@ann'/><gContact:userDefinedField key='Colour' value='red'/>";
    for (int i = 0; i < 5; ++i) provider.addContact(rich, {"6contacts"});
    auto container = addContainer("Home", CNContainerType::Local);
    auto local = std::make_shared<CNMutableContact>();
    local->setGivenName("Cy");
    local->setPhoneticGivenName("sai");
    local->setPhoneticFamilyName("alone");
    local->setBirthday(ymd(1999, 2, 30));
    local->setEmailAddresses({lv<string>(string(CNLabelEmailiCloud), "cy@x.org"), lv<string>(string(CNLabelWork), "")});
    local->setPhoneNumbers({lv(std::optional<string>("tty/tdd"), CNPhoneNumber{"555 0102"})});
    local->setPostalAddresses({lv(std::optional<string>(CNLabelWork), CNPostalAddress{"1 Side St\nFlat 2", "Bergen", "", "", "", "no"})});
    local->setDates({lv(std::optional<string>("First met"), ymd(DateComponents::kUndefined, 3, 4))});
    local->setInstantMessageAddresses({lv(std::optional<string>(CNLabelOther), CNInstantMessageAddress{"cy", CNInstantMessageServiceGaduGadu}),
                                       lv(std::optional<string>(CNLabelOther), CNInstantMessageAddress{"", CNInstantMessageServiceSkype})});
    local->setSocialProfiles({lv(std::optional<string>(), CNSocialProfile{"@cy", CNSocialProfileServiceTwitter})});
    local->setContactRelations({lv(std::optional<string>(CNLabelContactRelationManager), CNContactRelation{"Di"})});
    CNSaveRequest request;
    request.addContact(local, container->identifier());
    ASSERT_TRUE(store_->executeSaveRequest(request));
    model_->setContactSourceMode(ContactSourceModeCustomContainer);
    model_->setCustomContainerID(container->identifier());

    auto run = [&](bool planOnly) {
        bool finished = false;
        auto r = model_->startSyncRun(SyncRunOptions{.planOnly = planOnly}, [&](SyncRun&) { finished = true; });
        EXPECT_TRUE(r && RunLoop::main()->runUntil([&] { return finished; }, 120));
        return r;
    };
    auto first = run(false);
    ASSERT_EQ(first->outcome(), SyncRunOutcome::Ok) << model_->log();
    EXPECT_EQ(first->result().counts.appleCreated, 5);
    EXPECT_EQ(first->result().counts.googleCreated, 1);
    auto second = run(true);
    EXPECT_EQ(second->plan().changes(), 0u);
    ASSERT_EQ(second->records().size(), 6u);
    for (const auto& r : second->records()) EXPECT_EQ(r->mContactDifference, ContactDifferenceNone) << r->mDescription.value_or("");
}

}  // namespace
}  // namespace quorvane::testing
