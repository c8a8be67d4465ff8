// The model's access to the local contact store: container classification through the accounts,
// the container to sync, the account summary, fetches by key set, the cache of full contacts and
// the groups of a container, on a real store file.

#include <gtest/gtest.h>

#include "platform/contacts/ACAccountStore.h"
#include "platform/contacts/CNContactViewController.h"
#include "platform/contacts/CNSaveRequest.h"
#include "platform/foundation/Date.h"
#include "tests/sync/SyncTestSupport.h"
#include "tests/sync/QuorvaneModelInternals.h"

namespace quorvane::testing {
namespace {

using platform::CNContainerPtr;
using platform::CNContainerType;
using platform::Value;


class QuorvaneModelStoreTest : public SyncModelTestBase {
protected:
    void SetUp() override {
        SyncModelTestBase::SetUp();
        clock_ = std::make_shared<platform::ManualClock>(platform::Date(800000000));
        platform::Clock::setCurrent(clock_);
    }
    void TearDown() override { platform::Clock::setCurrent(nullptr); }

    CNContainerPtr addICloud(const std::string& name = "iCloud") {
        return addAccountContainer(name, CNContainerType::CardDAV, {"p42-contacts.icloud.com"});
    }
    CNContainerPtr addGoogle(const std::string& name, std::optional<std::string> user = std::nullopt) {
        return addAccountContainer(name, CNContainerType::CardDAV, {"google.com", std::move(user)});
    }
    CNContainerPtr addFacebook() {
        return addAccountContainer("Facebook", CNContainerType::CardDAV, {"graph.facebook.com"});
    }

    platform::CNMutableContactPtr saveContact(const AppleName& name, const CNContainerPtr& container) {
        auto contact = std::dynamic_pointer_cast<platform::CNMutableContact>(makeAppleContact(name));
        platform::CNSaveRequest request;
        request.addContact(contact, container ? std::optional<std::string>(container->identifier()) : std::nullopt);
        auto saved = store_->executeSaveRequest(request);
        EXPECT_TRUE(saved) << saved.error().localizedDescription();
        return contact;
    }

    void renameContact(const std::string& identifier, const std::string& given) {
        auto contacts = store_->unifiedContactsMatchingPredicate(
            platform::CNContact::predicateForContactsWithIdentifiers({identifier}), {platform::CNContactGivenNameKey});
        ASSERT_TRUE(contacts && contacts->size() == 1);
        auto mutableContact = contacts->front()->mutableCopy();
        mutableContact->setGivenName(given);
        platform::CNSaveRequest request;
        request.updateContact(mutableContact);
        ASSERT_TRUE(store_->executeSaveRequest(request));
    }

    std::shared_ptr<platform::ManualClock> clock_;
};

TEST_F(QuorvaneModelStoreTest, ClassifiesContainersByTheirAccounts) {
    auto local = addContainer("On This Computer", CNContainerType::Local);
    auto exchange = addContainer("Work", CNContainerType::Exchange);
    auto icloud = addICloud();
    auto google = addGoogle("Google", std::string("ann@example.com"));
    auto facebook = addFacebook();
    auto yahoo = addAccountContainer("Yahoo", CNContainerType::CardDAV, {"CardDAV.Address.Yahoo.com"});
    auto yahooNoDAV = addAccountContainer("Yahoo mail", CNContainerType::CardDAV, {"mail.yahoo.com"});
    auto linkedin = addAccountContainer("LinkedIn", CNContainerType::CardDAV, {"api.linkedin.com"});
    auto readOnly = addAccountContainer("Shared", CNContainerType::CardDAV, {"dav.example.org", std::nullopt,
                                                                              std::vector<std::string>{"DAV::read"}});
    auto writable = addAccountContainer("Mine", CNContainerType::CardDAV, {"dav.example.org", std::nullopt,
                                                                            std::vector<std::string>{"DAV::read", "DAV::write"}});
    // The server name of a Google account counts only on a CardDAV container.
    auto exchangeAtGoogle = addAccountContainer("Odd", CNContainerType::Exchange, {"google.com"});
    auto noAccount = addContainer("Orphan", CNContainerType::CardDAV);

    EXPECT_TRUE(model_->isICloudContainer(icloud));
    EXPECT_TRUE(model_->isGoogleContainer(google));
    EXPECT_TRUE(model_->isFacebookContainer(facebook));
    EXPECT_TRUE(model_->isYahooContainer(yahoo));
    EXPECT_FALSE(model_->isYahooContainer(yahooNoDAV));
    EXPECT_FALSE(model_->isGoogleContainer(exchangeAtGoogle));
    EXPECT_FALSE(model_->isGoogleContainer(noAccount));
    EXPECT_FALSE(model_->isGoogleContainer(nullptr));
    EXPECT_FALSE(model_->isICloudContainer(google));
    EXPECT_TRUE(model_->isExchangeContainer(exchange));
    EXPECT_FALSE(model_->isExchangeContainer(local));
    EXPECT_TRUE(model_->isReadOnlyContainer(readOnly));
    EXPECT_FALSE(model_->isReadOnlyContainer(writable));
    EXPECT_FALSE(model_->isReadOnlyContainer(noAccount));
    EXPECT_EQ(model_->getUsernameFromContainer(google), "ann@example.com");
    EXPECT_EQ(model_->getUsernameFromContainer(icloud), std::nullopt);

    EXPECT_EQ(model_->getContainerAccountTypeWithContainer(icloud), ContainerAccountTypeICloud);
    EXPECT_EQ(model_->getContainerAccountTypeWithContainer(facebook), ContainerAccountTypeFacebook);
    EXPECT_EQ(model_->getContainerAccountTypeWithContainer(google), ContainerAccountTypeGoogle);
    EXPECT_EQ(model_->getContainerAccountTypeWithContainer(yahoo), ContainerAccountTypeYahoo);
    EXPECT_EQ(model_->getContainerAccountTypeWithContainer(linkedin), ContainerAccountTypeLinkedIn);
    EXPECT_EQ(model_->getContainerAccountTypeWithContainer(readOnly), ContainerAccountTypeOtherCardDAV);
    EXPECT_EQ(model_->getContainerAccountTypeWithContainer(exchange), ContainerAccountTypeExchange);
    EXPECT_EQ(model_->getContainerAccountTypeWithContainer(local), ContainerAccountTypeLocal);

    // Twelve containers, of which one is Facebook and one Google.
    EXPECT_EQ(model_->getNumAccountsExcludingFacebookAndGoogle(), 10);

    auto containers = *model_->getAppleContainersWithError();
    ASSERT_EQ(containers.size(), 12u);
    EXPECT_EQ(containers[0]->identifier(), local->identifier());
    EXPECT_EQ(containers[11]->identifier(), noAccount->identifier());
    EXPECT_EQ(model_->getContainerWithIdentifier(google->identifier())->identifier(), google->identifier());
    EXPECT_EQ(model_->getContainerWithIdentifier(std::string("gone:ABAccount")), nullptr);
    EXPECT_EQ(model_->getContainerWithIdentifier(std::nullopt), nullptr);
}

TEST_F(QuorvaneModelStoreTest, ContainerRecordsDescribeTheContainer) {
    auto google = addGoogle("Work Google", std::string("ann@example.com"));
    saveContact({.given = "Ann"}, google);
    saveContact({.given = "Bob"}, google);

    auto record = model_->getContactSourceRecordWithContainer(google);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->mContactSourceMode, ContactSourceModeCustomContainer);
    EXPECT_EQ(record->mContainer, google);
    EXPECT_EQ(record->mContactCount, 2);
    EXPECT_EQ(record->mContainerAccountType, ContainerAccountTypeGoogle);
    EXPECT_EQ(record->mUsername, "ann@example.com");
    EXPECT_EQ(record->getDescriptionWithVerbose(true, true), "Google: Work Google (ann@example.com)");
    EXPECT_EQ(record->getDescriptionWithVerbose(false, false), "Google");
    EXPECT_EQ(model_->getContactSourceRecordWithContainer(nullptr), nullptr);

    auto all = model_->getContactSourceRecordWithContactSourceMode(ContactSourceModeAllAccounts, std::nullopt);
    EXPECT_EQ(all->mContactSourceMode, ContactSourceModeAllAccounts);
    EXPECT_EQ(all->mDescription, "All");
    auto gone = model_->getContactSourceRecordWithContactSourceMode(ContactSourceModeCustomContainer, std::string("x"));
    EXPECT_EQ(gone->mDescription, "Invalid");
    EXPECT_EQ(gone->mContainer, nullptr);
    auto custom = model_->getContactSourceRecordWithContactSourceMode(ContactSourceModeCustomContainer, google->identifier());
    EXPECT_EQ(custom->getContainerID(), google->identifier());
    auto automatic = model_->getContactSourceRecordWithContactSourceMode(ContactSourceModeAutoSelect, std::nullopt);
    EXPECT_EQ(automatic->mDescription, "Auto Select");
    EXPECT_EQ(automatic->mContactCount, 0);
}

TEST_F(QuorvaneModelStoreTest, AutomaticChoicePrefersICloudThenLocalThenOtherCardDAV) {
    auto a = addContainer("A", CNContainerType::Local);
    auto b = addContainer("B", CNContainerType::Local);
    auto c = addAccountContainer("C", CNContainerType::CardDAV, {"dav.example.org"});
    EXPECT_EQ(model_->getAutoSelectedContainer()->identifier(), b->identifier());
    EXPECT_EQ(model_->getAutoSelectedContainerWithContainers({c, a}), a);

    auto google = addGoogle("G");
    auto exchange = addContainer("E", CNContainerType::Exchange);
    EXPECT_EQ(model_->getAutoSelectedContainerWithContainers({google, exchange, c}), c);
    EXPECT_EQ(model_->getAutoSelectedContainerWithContainers({google, exchange}), exchange);
    EXPECT_EQ(model_->getAutoSelectedContainerWithContainers({google}), google);
    EXPECT_EQ(model_->getAutoSelectedContainerWithContainers({}), nullptr);

    auto icloud = addICloud();
    EXPECT_EQ(model_->getAutoSelectedContainer()->identifier(), icloud->identifier());

    // Read-only and Facebook containers are never chosen, not even an iCloud one.
    auto readOnlyICloud = addAccountContainer("Shared iCloud", CNContainerType::CardDAV,
                                              {"contacts.icloud.com", std::nullopt, std::vector<std::string>{"DAV::read"}});
    auto readOnly = addAccountContainer("RO", CNContainerType::CardDAV,
                                        {"dav.example.org", std::nullopt, std::vector<std::string>{"DAV::read"}});
    EXPECT_EQ(model_->getAutoSelectedContainerWithContainers({readOnlyICloud, a}), a);
    EXPECT_EQ(model_->getAutoSelectedContainerWithContainers({readOnlyICloud, readOnly}), nullptr);
    internals(model_).mFacebookContainerID = icloud->identifier();
    EXPECT_EQ(model_->getAutoSelectedContainerWithContainers({icloud, b}), b);
}

TEST_F(QuorvaneModelStoreTest, UpdateSelectedContainerFollowsTheSourceMode) {
    auto local = addContainer("On This Computer", CNContainerType::Local);
    auto exchange = addContainer("Work", CNContainerType::Exchange);
    auto facebook = addFacebook();
    auto google = addGoogle("Google");
    auto google2 = addGoogle("Google 2");
    auto icloud = addICloud();
    ASSERT_TRUE(store_->setDefaultContainerIdentifier(exchange->identifier()));

    model_->setContactSourceMode(ContactSourceModeAutoSelect);
    EXPECT_TRUE(model_->updateSelectedContainerWithError());
    ASSERT_TRUE(internals(model_).mSelectedContainer);
    EXPECT_EQ(internals(model_).mSelectedContainer->identifier(), icloud->identifier());
    EXPECT_TRUE(internals(model_).mUsingiCloud);
    EXPECT_FALSE(internals(model_).mUsingExchange);
    EXPECT_FALSE(internals(model_).mUsingGoogleCardDAV);
    EXPECT_EQ(internals(model_).mFacebookContainerID, facebook->identifier());
    EXPECT_EQ(internals(model_).mNumABGoogleAccounts, 2);
    EXPECT_TRUE(internals(model_).mHasExchangeAccount);
    EXPECT_TRUE(internals(model_).mDefaultContainerIsExchange);
    ASSERT_TRUE(internals(model_).mCurrentSourceRecord);
    EXPECT_EQ(internals(model_).mCurrentSourceRecord->mContainerAccountType, ContainerAccountTypeICloud);

    model_->setContactSourceMode(ContactSourceModeCustomContainer);
    model_->setCustomContainerID(google2->identifier());
    model_->updateSelectedContainerWithError();
    EXPECT_EQ(internals(model_).mSelectedContainer->identifier(), google2->identifier());
    EXPECT_TRUE(internals(model_).mUsingGoogleCardDAV);
    EXPECT_FALSE(internals(model_).mUsingiCloud);
    EXPECT_EQ(internals(model_).mCurrentSourceRecord->getContainerID(), google2->identifier());

    model_->setCustomContainerID(std::string("gone:ABAccount"));
    model_->updateSelectedContainerWithError();
    EXPECT_EQ(internals(model_).mSelectedContainer, nullptr);
    EXPECT_EQ(internals(model_).mCurrentSourceRecord, nullptr);
    EXPECT_FALSE(internals(model_).mUsingGoogleCardDAV);
    EXPECT_TRUE(model_->getAppleSourceInfo().selectedContainerMissing);

    model_->setContactSourceMode(ContactSourceModeAllAccounts);
    model_->updateSelectedContainerWithError();
    EXPECT_EQ(internals(model_).mSelectedContainer, nullptr);
    EXPECT_TRUE(internals(model_).mUsingiCloud);
    EXPECT_TRUE(internals(model_).mUsingGoogleCardDAV);
    EXPECT_TRUE(internals(model_).mUsingExchange);
    (void)local;
    (void)google;
}

TEST_F(QuorvaneModelStoreTest, PromptsForTheDeviceAccountOnlyWhenTheChoiceIsUnclear) {
    model_->setContactSourceMode(ContactSourceModeAutoSelect);
    EXPECT_TRUE(model_->shouldPromptToSelectDeviceAccount());  // nothing to choose
    addContainer("On This Computer", CNContainerType::Local);
    addGoogle("Google");
    EXPECT_FALSE(model_->shouldPromptToSelectDeviceAccount());
    addContainer("Work", CNContainerType::Exchange);
    EXPECT_TRUE(model_->shouldPromptToSelectDeviceAccount());  // two accounts besides Google
    model_->setContactSourceMode(ContactSourceModeAllAccounts);
    EXPECT_FALSE(model_->shouldPromptToSelectDeviceAccount());
}

TEST_F(QuorvaneModelStoreTest, AppleSourceInfoSummarisesTheAccounts) {
    // No containers at all.
    AppleSourceInfo none = model_->getAppleSourceInfo();
    EXPECT_FALSE(none.hasLocalOrICloudContainer || none.hasExchangeContainer || none.hasGoogleContainer ||
                 none.selectedContainerMissing || none.autoSelectedContainerIsGoogle);
    EXPECT_EQ(none.numContainersExcludingFacebook, 0);
    model_->setContactSourceMode(ContactSourceModeCustomContainer);
    model_->setCustomContainerID(std::string("anything"));
    EXPECT_TRUE(model_->getAppleSourceInfo().selectedContainerMissing);

    // Only a Google account: it is the automatic choice.
    auto google = addGoogle("Google", std::string("Ann.Smith@Example.com"));
    model_->setContactSourceMode(ContactSourceModeAutoSelect);
    AppleSourceInfo onlyGoogle = model_->getAppleSourceInfo();
    EXPECT_TRUE(onlyGoogle.hasGoogleContainer);
    EXPECT_TRUE(onlyGoogle.autoSelectedContainerIsGoogle);
    EXPECT_FALSE(onlyGoogle.hasLocalOrICloudContainer);
    // Nobody signed in: a known user name is not the signed-in user's.
    EXPECT_FALSE(onlyGoogle.hasSameUserGoogleContainer);

    auto auth = std::make_shared<QNOAuth2Authentication>();
    auth->setUserEmail(std::string("ann.smith@example.com"));
    internals(model_).mAuth = auth;
    EXPECT_TRUE(model_->getAppleSourceInfo().hasSameUserGoogleContainer);

    auto facebook = addFacebook();
    auto icloud = addICloud();
    auto yahoo = addAccountContainer("Yahoo", CNContainerType::CardDAV, {"carddav.address.yahoo.com"});
    auto exchange = addContainer("Work", CNContainerType::Exchange);
    auto otherGoogle = addGoogle("Other Google", std::string("bob@example.com"));
    auto shared = addAccountContainer("Shared", CNContainerType::CardDAV,
                                      {"dav.example.org", std::nullopt, std::vector<std::string>{"DAV::read"}});

    AppleSourceInfo full = model_->getAppleSourceInfo();
    EXPECT_TRUE(full.hasLocalOrICloudContainer);
    EXPECT_TRUE(full.hasExchangeContainer);
    EXPECT_TRUE(full.hasGoogleContainer);
    EXPECT_TRUE(full.hasSameUserGoogleContainer);
    EXPECT_TRUE(full.hasYahooContainer);
    EXPECT_FALSE(full.autoSelectedContainerIsGoogle);  // iCloud is chosen now
    EXPECT_FALSE(full.selectedContainerMissing);
    EXPECT_EQ(full.numContainersExcludingFacebook, 6);

    model_->setContactSourceMode(ContactSourceModeCustomContainer);
    model_->setCustomContainerID(google->identifier());
    AppleSourceInfo chosenGoogle = model_->getAppleSourceInfo();
    EXPECT_TRUE(chosenGoogle.selectedContainerIsGoogle);
    EXPECT_TRUE(chosenGoogle.selectedContainerIsSameUserGoogle);
    EXPECT_FALSE(chosenGoogle.selectedContainerIsReadOnly);
    EXPECT_FALSE(chosenGoogle.autoSelectedContainerIsGoogle);

    model_->setCustomContainerID(otherGoogle->identifier());
    AppleSourceInfo chosenOther = model_->getAppleSourceInfo();
    EXPECT_TRUE(chosenOther.selectedContainerIsGoogle);
    EXPECT_FALSE(chosenOther.selectedContainerIsSameUserGoogle);
    EXPECT_TRUE(chosenOther.hasSameUserGoogleContainer);

    model_->setCustomContainerID(facebook->identifier());
    AppleSourceInfo chosenFacebook = model_->getAppleSourceInfo();
    EXPECT_TRUE(chosenFacebook.selectedContainerIsFacebook);
    EXPECT_FALSE(chosenFacebook.selectedContainerIsGoogle);

    model_->setCustomContainerID(shared->identifier());
    AppleSourceInfo chosenShared = model_->getAppleSourceInfo();
    EXPECT_TRUE(chosenShared.selectedContainerIsReadOnly);
    EXPECT_FALSE(chosenShared.selectedContainerIsFacebook);
    (void)icloud;
    (void)yahoo;
    (void)exchange;
}

TEST_F(QuorvaneModelStoreTest, KeySetsNameTheKeysOfEachFetch) {
    using namespace platform;
    EXPECT_EQ(model_->getContactKeysWithKeySet(0), (std::vector<CNKeyDescriptor>{CNContactIdentifierKey}));
    EXPECT_EQ(model_->getContactKeysWithKeySet(1),
              (std::vector<CNKeyDescriptor>{CNContactIdentifierKey, "modificationDate", "creationDate"}));
    EXPECT_EQ(model_->getContactKeysWithKeySet(3).back(), CNKeyDescriptor(CNContactInstantMessageAddressesKey));
    auto five = model_->getContactKeysWithKeySet(5);
    auto six = model_->getContactKeysWithKeySet(6);
    EXPECT_EQ(five.size(), 27u);
    EXPECT_EQ(six.size(), 30u);
    EXPECT_EQ(five.back(), CNKeyDescriptor(CNContactRelationsKey));
    EXPECT_EQ(six[23], CNKeyDescriptor(CNContactEmailAddressesKey));
    EXPECT_EQ(six[24], CNKeyDescriptor(CNContactPostalAddressesKey));
    EXPECT_EQ(six.back(), CNKeyDescriptor(CNContactInstantMessageAddressesKey));
    for (int set : {7, 8, -1}) {
        EXPECT_EQ(model_->getContactKeysWithKeySet(set),
                  (std::vector<CNKeyDescriptor>{CNContactViewController::descriptorForRequiredKeys()}))
            << set;
    }
}

TEST_F(QuorvaneModelStoreTest, FetchesContactsWithTheKeysOfTheSet) {
    auto local = addContainer("On This Computer", CNContainerType::Local);
    auto other = addContainer("Other", CNContainerType::Local);
    auto ann = saveContact({.given = "Ann", .family = "Lee", .emails = {"ann@example.com"}}, local);
    saveContact({.given = "Bob"}, other);

    auto partial = *model_->getAppleContactsInContainer(local, 1);
    ASSERT_EQ(partial.size(), 1u);
    EXPECT_EQ(partial[0]->identifier(), ann->identifier());
    EXPECT_FALSE(partial[0]->isKeyAvailable(platform::CNContactGivenNameKey));
    EXPECT_TRUE(partial[0]->isKeyAvailable(platform::CNContactModificationDateKey));
    EXPECT_TRUE(partial[0]->modificationDate().has_value());

    auto full = *model_->getAppleContactsInContainer(local, 6);
    ASSERT_EQ(full.size(), 1u);
    EXPECT_EQ(full[0]->givenName(), "Ann");
    EXPECT_EQ(full[0]->emailAddresses().size(), 1u);
    EXPECT_TRUE(full[0]->isKeyAvailable(platform::CNContactSocialProfilesKey));
    EXPECT_TRUE(full[0]->isKeyAvailable(platform::CNContactInstantMessageAddressesKey));

    EXPECT_EQ(model_->getAppleContactsInContainer(nullptr, 0)->size(), 2u);
    internals(model_).mSelectedContainer = other;
    auto selected = *model_->getAppleContactsInSelectedContainerWithKeySet(5);
    ASSERT_EQ(selected.size(), 1u);
    EXPECT_EQ(selected[0]->givenName(), "Bob");
    EXPECT_FALSE(selected[0]->isKeyAvailable(platform::CNContactPostalAddressesKey));
    EXPECT_EQ(platform::AssertionHandler::count(), 0u);
}

TEST_F(QuorvaneModelStoreTest, CacheServesFullContactsUntilTheyChange) {
    auto local = addContainer("On This Computer", CNContainerType::Local);
    auto ann = saveContact({.given = "Ann"}, local);
    clock_->advance(10);
    auto bob = saveContact({.given = "Bob"}, local);

    auto first = *model_->getAppleContactsInContainer(local, 5);
    ASSERT_EQ(first.size(), 2u);
    ASSERT_EQ(internals(model_).mCachedAppleContactDict.size(), 2u);

    // Unchanged: the same objects come from the cache.
    auto second = *model_->getAppleContactsInContainer(local, 5);
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0], first[0]);
    EXPECT_EQ(second[1], first[1]);

    // Another key set is cached beside it, not in its place.
    ASSERT_TRUE(model_->getAppleContactsInContainer(local, 2));
    EXPECT_EQ(internals(model_).mCachedAppleContactDict[ann->identifier()].size(), 2u);

    // A change after the fetch makes the contact come from the store again; the cached one is listed first.
    clock_->advance(60);
    renameContact(ann->identifier(), "Anne");
    auto third = *model_->getAppleContactsInContainer(local, 5);
    ASSERT_EQ(third.size(), 2u);
    EXPECT_EQ(third[0], first[1]);
    EXPECT_EQ(third[0]->identifier(), bob->identifier());
    EXPECT_EQ(third[1]->givenName(), "Anne");
    EXPECT_NE(third[1], first[0]);
    // Both current again: all from the cache, in store order.
    auto fourth = *model_->getAppleContactsInContainer(local, 5);
    ASSERT_EQ(fourth.size(), 2u);
    EXPECT_EQ(fourth[0], third[1]);
    EXPECT_EQ(fourth[1], third[0]);
}

TEST_F(QuorvaneModelStoreTest, CachedCopyToleratesATenthOfASecond) {
    auto local = addContainer("On This Computer", CNContainerType::Local);
    auto ann = saveContact({.given = "Ann"}, local);
    auto partial = *model_->getAppleContactsInContainer(local, 1);
    ASSERT_EQ(partial.size(), 1u);
    const platform::Date stored = *partial[0]->modificationDate();

    auto full = *model_->getAppleContactsInContainer(local, 4);
    ASSERT_EQ(full.size(), 1u);
    auto& entry = internals(model_).mCachedAppleContactDict[ann->identifier()].front();

    entry->mModificationDate = stored.addingTimeInterval(-0.05);
    EXPECT_EQ(model_->getCachedAppleContactWithPartialContact(partial[0], 4), full[0]);
    EXPECT_EQ(model_->getCachedAppleContactWithPartialContact(partial[0], 3), nullptr);
    entry->mModificationDate = stored.addingTimeInterval(-0.2);
    EXPECT_EQ(model_->getCachedAppleContactWithPartialContact(partial[0], 4), nullptr);
    // An entry without a date proves nothing.
    entry->mModificationDate.reset();
    EXPECT_EQ(model_->getCachedAppleContactWithPartialContact(partial[0], 4), nullptr);

    // Storing again replaces the entry of that key set.
    model_->storeCachedAppleContactWithContact(full[0], 4);
    ASSERT_EQ(internals(model_).mCachedAppleContactDict[ann->identifier()].size(), 1u);
    EXPECT_EQ(internals(model_).mCachedAppleContactDict[ann->identifier()].front()->mModificationDate, stored);
}

TEST_F(QuorvaneModelStoreTest, CachedFetchCrossesTheIdentifierLimit) {
    auto local = addContainer("On This Computer", CNContainerType::Local);
    platform::CNSaveRequest request;
    const size_t count = QuorvaneModel::kMaxIdentifiersPerFetch + 3;
    for (size_t i = 0; i < count; ++i) {
        auto c = std::dynamic_pointer_cast<platform::CNMutableContact>(makeAppleContact({.given = "P" + std::to_string(i)}));
        request.addContact(c, local->identifier());
    }
    ASSERT_TRUE(store_->executeSaveRequest(request));

    auto contacts = model_->getAppleContactsInContainer(local, 5);
    ASSERT_TRUE(contacts);
    ASSERT_EQ(contacts->size(), count);
    EXPECT_EQ(contacts->front()->givenName(), "P0");
    EXPECT_EQ(contacts->back()->givenName(), "P" + std::to_string(count - 1));
    EXPECT_EQ(internals(model_).mCachedAppleContactDict.size(), count);
}

TEST_F(QuorvaneModelStoreTest, GroupsOfAContainer) {
    auto local = addContainer("On This Computer", CNContainerType::Local);
    auto exchange = addContainer("Work", CNContainerType::Exchange);
    auto friends = std::make_shared<platform::CNMutableGroup>();
    friends->setName("Friends");
    auto team = std::make_shared<platform::CNMutableGroup>();
    team->setName("Team");
    auto family = std::make_shared<platform::CNMutableGroup>();
    family->setName("Family");
    auto ann = saveContact({.given = "Ann"}, local);
    platform::CNSaveRequest request;
    request.addGroup(friends, local->identifier());
    request.addGroup(team, exchange->identifier());
    request.addGroup(family, local->identifier());
    request.addMember(ann, friends);
    ASSERT_TRUE(store_->executeSaveRequest(request));

    auto names = [](const std::vector<platform::CNGroupPtr>& groups) {
        std::vector<std::string> out;
        for (const auto& g : groups) out.push_back(g->name());
        return out;
    };
    EXPECT_EQ(names(*model_->getAppleGroupsInContainer(local)), (std::vector<std::string>{"Friends", "Family"}));
    EXPECT_EQ(names(*model_->getAppleGroupsInContainer(nullptr)),
              (std::vector<std::string>{"Friends", "Team", "Family"}));
    EXPECT_TRUE(internals(model_).mGroupContainerIDDict.empty());

    // With an Exchange account the groups are sorted by their containers, remembered per group.
    internals(model_).mHasExchangeAccount = true;
    EXPECT_EQ(names(*model_->getAppleGroupsInContainer(exchange)), (std::vector<std::string>{"Team"}));
    EXPECT_EQ(internals(model_).mGroupContainerIDDict.size(), 3u);
    EXPECT_EQ(internals(model_).mGroupContainerIDDict[team->identifier()], exchange->identifier());
    internals(model_).mSelectedContainer = local;
    EXPECT_EQ(names(*model_->getAppleGroupsInSelectedContainerWithError()), (std::vector<std::string>{"Friends", "Family"}));

    auto members = *model_->getAppleContactsInGroup(friends, 5);
    ASSERT_EQ(members.size(), 1u);
    EXPECT_EQ(members[0]->givenName(), "Ann");
    EXPECT_TRUE(model_->getAppleContactsInGroup(nullptr, 5)->empty());
    EXPECT_TRUE(model_->getAppleContactsInGroup(std::make_shared<platform::CNGroup>("", "x"), 5)->empty());
}

TEST_F(QuorvaneModelStoreTest, ContactDatesAndImageFollowTheFetchedKeys) {
    auto local = addContainer("On This Computer", CNContainerType::Local);
    auto ann = std::dynamic_pointer_cast<platform::CNMutableContact>(makeAppleContact({.given = "Ann"}));
    ann->setImageData(platform::Bytes{1, 2, 3});
    platform::CNSaveRequest request;
    request.addContact(ann, local->identifier());
    ASSERT_TRUE(store_->executeSaveRequest(request));

    auto bare = *model_->getAppleContactsInContainer(local, 0);
    ASSERT_EQ(bare.size(), 1u);
    // Dates not fetched come from the address-book record.
    EXPECT_EQ(model_->getCreationDateWithAppleContact(bare[0]), clock_->now());
    EXPECT_EQ(model_->getAppleContactImageData(bare[0]), std::nullopt);
    // The cached fetch keeps no image bytes, only their size; an uncached fetch has the bytes.
    auto full = *model_->getAppleContactsInContainer(local, 5);
    EXPECT_EQ(model_->getAppleContactImageData(full[0]), std::nullopt);
    EXPECT_TRUE(full[0]->imageDataAvailable());
    EXPECT_EQ(model_->getPhotoSizeWithAppleContact(full[0], -1), 3);
    auto uncached = *model_->doGetAppleContactsMatchingPredicate(nullptr, 5);
    ASSERT_EQ(uncached.size(), 1u);
    EXPECT_EQ(model_->getAppleContactImageData(uncached[0]), (platform::Bytes{1, 2, 3}));
    EXPECT_EQ(model_->getPhotoSizeWithAppleContact(uncached[0], -1), 3);
    EXPECT_EQ(model_->getCreationDateWithAppleContact(nullptr), std::nullopt);
    EXPECT_EQ(platform::AssertionHandler::count(), 0u);
}

TEST_F(QuorvaneModelStoreTest, AnUnreadableStoreReportsErrorsAndSelectsNothing) {
    // A directory where the store file should be: every store operation fails.
    const auto blocked = dir_ / "Blocked.sqlite";
    std::filesystem::create_directories(blocked);
    QuorvaneModel::Environment env;
    env.userDefaults = std::make_shared<platform::UserDefaults>(dir_ / "defaults2.json");
    env.contactStore = std::make_shared<platform::CNContactStore>(blocked);
    env.timeZone = platform::TimeZone::universal();
    QuorvaneModel model(std::move(env));
    model.setContactSourceMode(ContactSourceModeCustomContainer);
    model.setCustomContainerID(std::string("some:ABAccount"));
    internals(model).mUsingiCloud = true;

    auto selected = model.updateSelectedContainerWithError();
    ASSERT_FALSE(selected);
    EXPECT_EQ(selected.error().domain, platform::CNErrorDomain);
    EXPECT_EQ(internals(model).mSelectedContainer, nullptr);
    EXPECT_FALSE(internals(model).mUsingiCloud);
    EXPECT_TRUE(model.getAppleSourceInfo().selectedContainerMissing);
    EXPECT_EQ(model.getAppleSourceInfo().numContainersExcludingFacebook, 0);

    for (int keySet : {1, 5}) EXPECT_FALSE(model.getAppleContactsInContainer(nullptr, keySet)) << keySet;
    EXPECT_FALSE(model.getAppleGroupsInContainer(nullptr));
    EXPECT_FALSE(model.isGoogleContainer(std::make_shared<platform::CNContainer>("x:ABAccount", "x", CNContainerType::CardDAV)));
}

}  // namespace
}  // namespace quorvane::testing
