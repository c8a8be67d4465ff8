// Which local contacts the model counts as Exchange, Google CardDAV, Facebook and read-only
// contacts, where new local contacts land, and the group names the group filter offers, on a
// real contact store with real accounts behind its containers.

#include <gtest/gtest.h>

#include "gdata/GDataFeedContactGroup.h"
#include "platform/contacts/ACAccountStore.h"
#include "platform/contacts/CNSaveRequest.h"
#include "tests/sync/SyncTestSupport.h"
#include "tests/sync/QuorvaneModelInternals.h"

namespace quorvane::testing {
namespace {

using platform::CNContainerPtr;
using platform::CNContainerType;
using platform::Value;

class QuorvaneModelAccountsTest : public SyncModelTestBase {
protected:
    // A CardDAV container whose account has the server name and, when given, one home entry
    // with those privileges.
    CNContainerPtr addCardDAV(const std::string& name, const std::string& serverName,
                              std::optional<std::vector<std::string>> privileges = std::nullopt) {
        return addAccountContainer(name, CNContainerType::CardDAV, {serverName, std::nullopt, std::move(privileges)});
    }

    platform::CNContactPtr saveContact(const std::string& given, const CNContainerPtr& container) {
        auto contact = std::dynamic_pointer_cast<platform::CNMutableContact>(makeAppleContact({.given = given}));
        platform::CNSaveRequest request;
        request.addContact(contact, container->identifier());
        auto saved = store_->executeSaveRequest(request);
        EXPECT_TRUE(saved) << saved.error().localizedDescription();
        return contact;
    }

    void addGroup(const std::string& name, const CNContainerPtr& container) {
        auto group = std::make_shared<platform::CNMutableGroup>();
        group->setName(name);
        platform::CNSaveRequest request;
        request.addGroup(group, container->identifier());
        ASSERT_TRUE(store_->executeSaveRequest(request));
    }

    void select(int32_t mode, const CNContainerPtr& container = nullptr) {
        model_->setContactSourceMode(mode);
        model_->setCustomContainerID(container ? std::optional<std::string>(container->identifier()) : std::nullopt);
        model_->updateSelectedContainerWithError();
    }

    // The four rebuilds, in the order the planner runs them.
    void rebuild() {
        model_->updateExchangeContactDict();
        model_->updateGoogleCardDAVContactDict();
        model_->updateFacebookContactDict();
        model_->updateReadOnlyContactDict();
    }

    // One contact in each kind of account.
    void populate() {
        local_ = addContainer("On This Computer", CNContainerType::Local);
        exchange_ = addContainer("Work", CNContainerType::Exchange);
        icloud_ = addCardDAV("iCloud", "p42-contacts.icloud.com");
        google_ = addCardDAV("Google", "google.com");
        facebook_ = addCardDAV("Facebook", "graph.facebook.com");
        shared_ = addCardDAV("Shared", "dav.example.org", std::vector<std::string>{"DAV::read"});
        localContact_ = saveContact("Local", local_);
        exchangeContact_ = saveContact("Exchange", exchange_);
        icloudContact_ = saveContact("Cloud", icloud_);
        googleContact_ = saveContact("Google", google_);
        facebookContact_ = saveContact("Friend", facebook_);
        sharedContact_ = saveContact("Shared", shared_);
    }

    CNContainerPtr local_, exchange_, icloud_, google_, facebook_, shared_;
    platform::CNContactPtr localContact_, exchangeContact_, icloudContact_, googleContact_, facebookContact_,
        sharedContact_;
};

TEST_F(QuorvaneModelAccountsTest, AllAccountsClassifyEveryContactByItsAccount) {
    populate();
    auto secondExchangeContact = saveContact("Exchange two", exchange_);
    select(ContactSourceModeAllAccounts);
    rebuild();

    EXPECT_TRUE(model_->isExchangeContact(exchangeContact_));
    EXPECT_TRUE(model_->isExchangeContact(secondExchangeContact));
    EXPECT_EQ(internals(model_).mExchangeContactDict.size(), 2u);

    EXPECT_TRUE(model_->isGoogleCardDAVContact(googleContact_));
    EXPECT_EQ(internals(model_).mGoogleCardDAVContactDict.size(), 1u);

    // The Facebook account's contacts are Facebook contacts and read-only ones.
    EXPECT_TRUE(model_->isFacebookContact(facebookContact_));
    EXPECT_EQ(internals(model_).mFacebookContactDict.size(), 1u);
    EXPECT_TRUE(model_->isReadOnlyContactWithContact(facebookContact_));
    EXPECT_TRUE(model_->isReadOnlyContactWithContact(sharedContact_));
    EXPECT_EQ(internals(model_).mReadOnlyContactDict.size(), 2u);

    for (const auto& plain : {localContact_, icloudContact_}) {
        EXPECT_FALSE(model_->isExchangeContact(plain));
        EXPECT_FALSE(model_->isGoogleCardDAVContact(plain));
        EXPECT_FALSE(model_->isFacebookContact(plain));
        EXPECT_FALSE(model_->isReadOnlyContactWithContact(plain));
    }
    EXPECT_FALSE(model_->isExchangeContact(nullptr));
    EXPECT_FALSE(model_->isGoogleCardDAVContact(nullptr));
    EXPECT_FALSE(model_->isFacebookContact(nullptr));
    EXPECT_FALSE(model_->isReadOnlyContactWithContact(nullptr));
}

TEST_F(QuorvaneModelAccountsTest, OneSelectedContainerLimitsAllButTheReadOnlyDictionary) {
    populate();
    auto otherExchange = addContainer("Other work", CNContainerType::Exchange);
    auto otherExchangeContact = saveContact("Elsewhere", otherExchange);

    // A single iCloud container: no contact is an Exchange, Google or Facebook contact, but the
    // read-only account and the Facebook account still mark theirs read-only.
    select(ContactSourceModeCustomContainer, icloud_);
    ASSERT_EQ(internals(model_).mSelectedContainer->identifier(), icloud_->identifier());
    rebuild();
    EXPECT_TRUE(internals(model_).mExchangeContactDict.empty());
    EXPECT_TRUE(internals(model_).mGoogleCardDAVContactDict.empty());
    EXPECT_TRUE(internals(model_).mFacebookContactDict.empty());
    EXPECT_TRUE(model_->isReadOnlyContactWithContact(sharedContact_));
    EXPECT_TRUE(model_->isReadOnlyContactWithContact(facebookContact_));
    EXPECT_EQ(internals(model_).mReadOnlyContactDict.size(), 2u);

    // A selected Exchange container marks its own contacts only, not another Exchange account's.
    select(ContactSourceModeCustomContainer, exchange_);
    rebuild();
    EXPECT_TRUE(model_->isExchangeContact(exchangeContact_));
    EXPECT_FALSE(model_->isExchangeContact(otherExchangeContact));
    EXPECT_EQ(internals(model_).mExchangeContactDict.size(), 1u);

    // The same for a selected Google CardDAV container and the Facebook container.
    select(ContactSourceModeCustomContainer, google_);
    rebuild();
    EXPECT_TRUE(internals(model_).mExchangeContactDict.empty());  // rebuilt, not kept from the last pass
    EXPECT_TRUE(model_->isGoogleCardDAVContact(googleContact_));
    select(ContactSourceModeCustomContainer, facebook_);
    rebuild();
    EXPECT_TRUE(internals(model_).mGoogleCardDAVContactDict.empty());
    EXPECT_TRUE(model_->isFacebookContact(facebookContact_));
    EXPECT_EQ(internals(model_).mFacebookContactDict.size(), 1u);
}

TEST_F(QuorvaneModelAccountsTest, AContactLeavingItsAccountIsClassifiedAfreshAtTheNextPass) {
    populate();
    select(ContactSourceModeAllAccounts);
    rebuild();
    ASSERT_TRUE(model_->isExchangeContact(exchangeContact_));

    platform::CNSaveRequest request;
    request.deleteContact(exchangeContact_->mutableCopy());
    ASSERT_TRUE(store_->executeSaveRequest(request));
    // Between passes the dictionaries still answer for the last one.
    EXPECT_TRUE(model_->isExchangeContact(exchangeContact_));
    rebuild();
    EXPECT_FALSE(model_->isExchangeContact(exchangeContact_));
    EXPECT_TRUE(internals(model_).mExchangeContactDict.empty());
}

TEST_F(QuorvaneModelAccountsTest, AnUnreadableStoreLeavesEveryDictionaryEmpty) {
    const auto blocked = dir_ / "Blocked.sqlite";
    std::filesystem::create_directories(blocked);
    QuorvaneModel::Environment env;
    env.userDefaults = std::make_shared<platform::UserDefaults>(dir_ / "defaults2.json");
    env.contactStore = std::make_shared<platform::CNContactStore>(blocked);
    env.timeZone = platform::TimeZone::universal();
    QuorvaneModel model(std::move(env));
    internals(model).mUsingExchange = true;
    internals(model).mUsingGoogleCardDAV = true;
    internals(model).mExchangeContactDict["old"] = true;
    internals(model).mReadOnlyContactDict["old"] = true;

    model.updateExchangeContactDict();
    model.updateGoogleCardDAVContactDict();
    model.updateFacebookContactDict();
    model.updateReadOnlyContactDict();
    EXPECT_TRUE(internals(model).mExchangeContactDict.empty());
    EXPECT_TRUE(internals(model).mGoogleCardDAVContactDict.empty());
    EXPECT_TRUE(internals(model).mFacebookContactDict.empty());
    EXPECT_TRUE(internals(model).mReadOnlyContactDict.empty());
}

TEST_F(QuorvaneModelAccountsTest, NewContactsLandInExchangeOnlyThroughAnExchangeSourceOrDefault) {
    auto local = addContainer("On This Computer", CNContainerType::Local);
    auto exchange = addContainer("Work", CNContainerType::Exchange);

    select(ContactSourceModeCustomContainer, exchange);
    EXPECT_TRUE(model_->isExchangeDestinationForNewContacts());
    select(ContactSourceModeCustomContainer, local);
    EXPECT_FALSE(model_->isExchangeDestinationForNewContacts());

    // All accounts: new contacts go to the default container.
    select(ContactSourceModeAllAccounts);
    EXPECT_FALSE(model_->isExchangeDestinationForNewContacts());
    ASSERT_TRUE(store_->setDefaultContainerIdentifier(exchange->identifier()));
    select(ContactSourceModeAllAccounts);
    EXPECT_TRUE(model_->isExchangeDestinationForNewContacts());

    // The default container does not matter when one account is synced.
    select(ContactSourceModeAutoSelect);
    ASSERT_EQ(internals(model_).mSelectedContainer->identifier(), local->identifier());
    EXPECT_FALSE(model_->isExchangeDestinationForNewContacts());
}

TEST_F(QuorvaneModelAccountsTest, GroupFilterOffersEachNameOnceInItsFirstFormSorted) {
    auto local = addContainer("On This Computer", CNContainerType::Local);
    auto exchange = addContainer("Work", CNContainerType::Exchange);
    addGroup("WORK", local);
    addGroup("book club", local);
    addGroup("Elsewhere", exchange);  // not in the selected container
    select(ContactSourceModeCustomContainer, local);

    // Chosen earlier; "Gone" no longer exists anywhere but stays offered.
    model_->setSelectedGroupStrings({"friends", "Gone"});
    const std::string base = "http://www.google.com/m8/feeds/groups/user%40example.com/base/";
    const std::string xml =
        "<?xml version='1.0' encoding='UTF-8'?>"
        "<feed xmlns='http://www.w3.org/2005/Atom' xmlns:gContact='http://schemas.google.com/contact/2008'>"
        "<entry><id>" +
        base +
        "6</id><title>System Group: My Contacts</title><gContact:systemGroup id='Contacts'/></entry>"
        "<entry><id>" +
        base +
        "d</id><title>System Group: Friends</title><gContact:systemGroup id='Friends'/></entry>"
        "<entry><id>" +
        base +
        "a1</id><title>Work</title></entry>"
        "<entry><id>" +
        base +
        "a2</id></entry>"
        "<entry><id>" +
        base +
        "a3</id><title>Zoo Trip</title></entry>"
        "</feed>";
    internals(model_).mGroupFeed = GDataFeedContactGroup::contactGroupFeedWithXMLData(platform::Bytes(xml.begin(), xml.end()));
    ASSERT_TRUE(internals(model_).mGroupFeed);
    // The selection is refreshed before the local groups are read.
    internals(model_).mSelectedContainer = nullptr;

    EXPECT_EQ(model_->getGroupFilterCandidateList(),
              (std::vector<std::string>{"book club", "friends", "Gone", "My Contacts", "Work", "Zoo Trip"}));
    ASSERT_TRUE(internals(model_).mSelectedContainer);
    EXPECT_EQ(internals(model_).mSelectedContainer->identifier(), local->identifier());

    // Nothing chosen and no Google groups: the local groups alone.
    model_->setSelectedGroupStrings({});
    internals(model_).mGroupFeed = nullptr;
    EXPECT_EQ(model_->getGroupFilterCandidateList(), (std::vector<std::string>{"book club", "WORK"}));
}

}  // namespace
}  // namespace quorvane::testing
