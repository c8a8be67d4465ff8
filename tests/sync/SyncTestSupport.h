#pragma once
// A sync model on its own contact store file, user defaults file and the universal time zone,
// plus builders of local and Google contacts.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "gdata/GDataEntryContact.h"
#include "gdata/GDataFeedContact.h"
#include "gdata/GDataFeedContactGroup.h"
#include "platform/contacts/ACAccountStore.h"
#include "platform/contacts/CNContactStore.h"
#include "platform/foundation/Calendar.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "sync/QuorvaneModel.h"

namespace quorvane::testing {

// The account behind a container: its server name, user name and, when set, one home entry with
// those privileges.
struct AccountSetup {
    std::string serverName;
    std::optional<std::string> userName = std::nullopt;
    std::optional<std::vector<std::string>> privileges = std::nullopt;
};

class SyncModelTestBase : public ::testing::Test {
protected:
    platform::CNContainerPtr addContainer(const std::string& name, platform::CNContainerType type) {
        auto container = store_->addContainer(name, type);
        EXPECT_TRUE(container) << container.error().localizedDescription();
        return container.valueOr(nullptr);
    }

    // A container whose account (kept in the store's account table) has the given properties.
    platform::CNContainerPtr addAccountContainer(const std::string& name, platform::CNContainerType type,
                                                 const AccountSetup& setup) {
        auto container = addContainer(name, type);
        platform::Value properties = platform::Value::dictionary();
        properties.set("servername", setup.serverName);
        if (setup.userName) properties.set("userName", *setup.userName);
        if (setup.privileges) {
            platform::Value privileges = platform::Value::array();
            for (const auto& p : *setup.privileges) privileges.asArray().push_back(p);
            platform::Value entry = platform::Value::dictionary();
            entry.set("privileges", privileges);
            platform::Value home = platform::Value::array();
            home.asArray().push_back(entry);
            properties.set("HomeInfo", home);
        }
        std::string accountID = container->identifier();
        accountID.resize(accountID.size() - std::string(":ABAccount").size());
        platform::ACAccountStore accounts(store_->path());
        EXPECT_TRUE(accounts.saveAccount(platform::ACAccount(accountID, properties)));
        return container;
    }

    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = platform::Paths::dataHome() / "sync-tests" / (std::string(info->test_suite_name()) + "." + info->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        store_ = std::make_shared<platform::CNContactStore>(dir_ / "Contacts.sqlite");
        QuorvaneModel::Environment env;
        env.userDefaults = std::make_shared<platform::UserDefaults>(dir_ / "defaults.json");
        env.contactStore = store_;
        env.timeZone = platform::TimeZone::universal();
        env.dataFolder = dir_ / "profile";
        model_ = std::make_shared<QuorvaneModel>(std::move(env));
        platform::AssertionHandler::resetCount();
    }

    std::filesystem::path dir_;
    std::shared_ptr<platform::CNContactStore> store_;
    std::shared_ptr<QuorvaneModel> model_;
};

struct AppleName {
    std::string given = "", middle = "", family = "", prefix = "", suffix = "", nickname = "", organization = "";
    std::vector<std::string> emails = {};
};

// A local contact with every key available.
inline platform::CNContactPtr makeAppleContact(const AppleName& n) {
    auto c = std::make_shared<platform::CNMutableContact>();
    c->setGivenName(n.given);
    c->setMiddleName(n.middle);
    c->setFamilyName(n.family);
    c->setNamePrefix(n.prefix);
    c->setNameSuffix(n.suffix);
    c->setNickname(n.nickname);
    c->setOrganizationName(n.organization);
    std::vector<platform::CNLabeledValue<std::string>> emails;
    for (const auto& e : n.emails) emails.emplace_back(std::string(platform::CNLabelHome), e);
    c->setEmailAddresses(std::move(emails));
    return c;
}

inline std::shared_ptr<GDataEntryContact> makeGoogleContact(const std::optional<std::string>& given,
                                                            const std::optional<std::string>& additional,
                                                            const std::optional<std::string>& family) {
    return GDataEntryContact::contactEntryWithName(
        GDataName::nameWithPrefix(std::nullopt, given, additional, family, std::nullopt));
}

inline platform::DateComponents ymd(int64_t y, int64_t m, int64_t d) {
    platform::DateComponents c;
    c.year = y;
    c.month = m;
    c.day = d;
    return c;
}

template <class T>
platform::CNLabeledValue<T> lv(std::optional<std::string> label, T value) {
    return platform::CNLabeledValue<T>(std::move(label), std::move(value));
}

// Dr Ann May Lee Jr with a value in every field a sync carries but the photo, each in the form the
// comparison finds equal to its Google side.
inline platform::CNMutableContactPtr fullLocalContact() {
    using namespace platform;
    auto c = std::make_shared<CNMutableContact>();
    c->setGivenName("Ann");
    c->setMiddleName("May");
    c->setFamilyName("Lee");
    c->setNamePrefix("Dr");
    c->setNameSuffix("Jr");
    c->setPhoneticGivenName("ann");
    c->setPhoneticMiddleName("may");
    c->setPhoneticFamilyName("lee");
    c->setNickname("Annie");
    c->setEmailAddresses({lv<std::string>(std::string(CNLabelEmailiCloud), "ann@icloud.example"),
                          lv<std::string>(std::string(CNLabelHome), "ann@example.com")});
    c->setPhoneNumbers({lv(std::string(CNLabelPhoneNumberMobile), CNPhoneNumber{"+1 (555) 123-4567"})});
    c->setPostalAddresses(
        {lv(std::string(CNLabelHome), CNPostalAddress{"1 Main St", "Springfield", "IL", "62701", "United States", "us"})});
    c->setBirthday(ymd(1980, 5, 17));
    c->setUrlAddresses({lv<std::string>(std::string(CNLabelURLAddressHomePage), "http://ann.example")});
    c->setContactRelations({lv(std::string(CNLabelContactRelationFather), CNContactRelation{"Bob Lee"})});
    c->setInstantMessageAddresses(
        {lv(std::string(CNLabelHome), CNInstantMessageAddress{"ann.skype", CNInstantMessageServiceSkype})});
    c->setDates({lv(std::string(CNLabelDateAnniversary), ymd(2005, 6, 1))});
    c->setSocialProfiles({lv<CNSocialProfile>(std::nullopt, CNSocialProfile{"@ann", CNSocialProfileServiceTwitter})});
    c->setNote("Met at the fair.\nLikes tea.");
    c->setOrganizationName("Acme");
    c->setJobTitle("Engineer");
    c->setDepartmentName("R&D");
    return c;
}

// Google contacts and groups from literal XML.
inline const std::string kGroupBase = "http://www.google.com/m8/feeds/groups/me%40example.com/base/";

inline platform::Bytes bytesOf(const std::string& s) { return platform::Bytes(s.begin(), s.end()); }

inline std::string feedXML(const std::string& entries) {
    return "<?xml version='1.0' encoding='UTF-8'?>"
           "<feed xmlns='http://www.w3.org/2005/Atom' xmlns:gd='http://schemas.google.com/g/2005' "
           "xmlns:gContact='http://schemas.google.com/contact/2008' xmlns:x='urn:example:extra'>" +
           entries + "</feed>";
}

// A Google contact from the inner XML of one entry.
inline std::shared_ptr<GDataEntryContact> googleContact(const std::string& body) {
    auto feed = GDataFeedContact::contactFeedWithXMLData(bytesOf(feedXML(
        "<entry><category scheme='http://schemas.google.com/g/2005#kind' "
        "term='http://schemas.google.com/contact/2008#contact'/>" + body + "</entry>")));
    if (!feed || !feed->entries() || feed->entries()->empty()) return nullptr;
    return std::dynamic_pointer_cast<GDataEntryContact>(feed->entries()->front());
}

inline std::string groupEntry(const std::string& id, const std::string& title, const std::string& systemID = "") {
    std::string xml = "<entry><id>" + kGroupBase + id + "</id><title>" + title + "</title>";
    if (!systemID.empty()) xml += "<gContact:systemGroup id='" + systemID + "'/>";
    return xml + "</entry>";
}

// Groups feed with My Contacts, Family (system groups) and the user groups Friends and Work.
inline std::shared_ptr<GDataFeedContactGroup> standardGroupFeed() {
    return GDataFeedContactGroup::contactGroupFeedWithXMLData(bytesOf(feedXML(
        groupEntry("6", "System Group: My Contacts", "Contacts") + groupEntry("friends1", "Friends") +
        groupEntry("family", "System Group: Family", "Family") + groupEntry("work", "Work"))));
}

inline std::string membership(const std::string& id) {
    return "<gContact:groupMembershipInfo href='" + kGroupBase + id + "'/>";
}

}  // namespace quorvane::testing
