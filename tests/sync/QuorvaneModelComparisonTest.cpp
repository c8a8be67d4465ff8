// The field-by-field comparison of a local and a Google contact, the has-a-name tests and the
// group names a run must create. Google contacts are parsed from literal feed XML.

#include <gtest/gtest.h>

#include <functional>

#include "SyncTestSupport.h"
#include "gdata/GDataFeedContact.h"
#include "gdata/GDataFeedContactGroup.h"
#include "platform/contacts/CNContactKeys.h"
#include "tests/sync/QuorvaneModelInternals.h"

namespace quorvane::testing {
namespace {

using platform::CNLabeledValue;

const std::string kGD = "http://schemas.google.com/g/2005";

// Every field of the comparison, as fullLocalContact() holds them.
const std::string kFullGoogleBody =
    "<content type='text'>Met at the fair.\nLikes tea.</content>"
    "<gd:name><gd:givenName yomi='ann'>Ann</gd:givenName><gd:additionalName yomi='may'>May</gd:additionalName>"
    "<gd:familyName yomi='lee'>Lee</gd:familyName><gd:namePrefix>Dr</gd:namePrefix><gd:nameSuffix>Jr</gd:nameSuffix>"
    "</gd:name>"
    "<gContact:nickname>Annie</gContact:nickname>"
    "<gd:email rel='" + kGD + "#home' address='ann@example.com'/>"
    "<gd:email label='iCloud' address='ann@icloud.example'/>"
    "<gd:phoneNumber rel='" + kGD + "#mobile'>+1 (555) 123-4567</gd:phoneNumber>"
    "<gd:structuredPostalAddress rel='" + kGD + "#home'><gd:street>1 Main St</gd:street><gd:city>Springfield</gd:city>"
    "<gd:region>IL</gd:region><gd:postcode>62701</gd:postcode><gd:country>United States</gd:country>"
    "</gd:structuredPostalAddress>"
    "<gContact:birthday when='1980-05-17'/>"
    "<gContact:website rel='home-page' href='http://ann.example'/>"
    "<gContact:relation rel='father'>Bob Lee</gContact:relation>"
    "<gd:im rel='" + kGD + "#home' protocol='" + kGD + "#SKYPE' address='ann.skype'/>"
    "<gContact:event rel='anniversary'><gd:when startTime='2005-06-01'/></gContact:event>"
    "<gContact:userDefinedField key='Twitter' value='@ann'/>"
    "<gd:organization rel='" + kGD + "#work'><gd:orgName>Acme</gd:orgName><gd:orgTitle>Engineer</gd:orgTitle>"
    "<gd:orgDepartment>R&amp;D</gd:orgDepartment></gd:organization>" +
    membership("6") + membership("friends1");

class QuorvaneModelComparisonTest : public SyncModelTestBase {
protected:
    void SetUp() override {
        SyncModelTestBase::SetUp();
        internals(model_).mGroupFeed = standardGroupFeed();
        ASSERT_TRUE(internals(model_).mGroupFeed);
        // A local account that keeps groups.
        internals(model_).mCurrentSourceRecord = std::make_shared<NSContactSourceRecord_QV>();
        internals(model_).mCurrentSourceRecord->mContainerAccountType = ContainerAccountTypeLocal;
    }

    int32_t compare(const platform::CNContactPtr& apple, const std::shared_ptr<GDataEntryContact>& google,
                    const std::optional<std::vector<std::string>>& groups = std::vector<std::string>{"Friends"}) {
        int32_t difference = ContactDifferenceNotCompared;
        const bool differ = model_->contactsDifferWithAppleContact(apple, apple, google, groups, &difference);
        EXPECT_EQ(differ, difference != ContactDifferenceNone);
        return difference;
    }
};

TEST_F(QuorvaneModelComparisonTest, EqualContactsGiveNoDifference) {
    auto google = googleContact(kFullGoogleBody);
    ASSERT_TRUE(google);
    EXPECT_EQ(compare(fullLocalContact(), google), ContactDifferenceNone);

    // Two empty contacts, no difference pointer.
    EXPECT_FALSE(model_->contactsDifferWithAppleContact(std::make_shared<platform::CNMutableContact>(), nullptr,
                                                        googleContact(""), std::nullopt, nullptr));
    EXPECT_EQ(platform::AssertionHandler::count(), 0);
}

TEST_F(QuorvaneModelComparisonTest, EachFieldGivesItsOwnCode) {
    auto google = googleContact(kFullGoogleBody);
    ASSERT_TRUE(google);
    struct Case {
        const char* what;
        std::function<void(platform::CNMutableContact&)> change;
        int32_t code;
    };
    const std::vector<Case> cases = {
        {"given name", [](auto& c) { c.setGivenName("Anne"); }, ContactDifferenceName},
        {"suffix", [](auto& c) { c.setNameSuffix("Sr"); }, ContactDifferenceName},
        {"phonetic middle", [](auto& c) { c.setPhoneticMiddleName("mai"); }, ContactDifferenceName},
        {"nickname", [](auto& c) { c.setNickname("Nan"); }, ContactDifferenceName},
        {"e-mail address",
         [](auto& c) {
             auto v = c.emailAddresses();
             v[1] = v[1].labeledValueBySettingValue("ann@example.org");
             c.setEmailAddresses(v);
         },
         ContactDifferenceEmail},
        {"e-mail label",
         [](auto& c) {
             auto v = c.emailAddresses();
             v[1] = v[1].labeledValueBySettingLabel(std::string(platform::CNLabelWork));
             c.setEmailAddresses(v);
         },
         ContactDifferenceEmail},
        {"phone", [](auto& c) { c.setPhoneNumbers({}); }, ContactDifferencePhone},
        {"postal code",
         [](auto& c) {
             auto v = c.postalAddresses();
             auto a = v[0].value();
             a.postalCode = "62702";
             v[0] = v[0].labeledValueBySettingValue(a);
             c.setPostalAddresses(v);
         },
         ContactDifferencePostalAddress},
        {"birthday", [](auto& c) { c.setBirthday(ymd(1980, 5, 18)); }, ContactDifferenceBirthday},
        {"web address",
         [](auto& c) {
             c.setUrlAddresses({CNLabeledValue<std::string>(std::string(platform::CNLabelWork), "http://ann.example")});
         },
         ContactDifferenceURL},
        {"relation",
         [](auto& c) {
             c.setContactRelations({CNLabeledValue<platform::CNContactRelation>(
                 std::string(platform::CNLabelContactRelationFather), platform::CNContactRelation{"Rob Lee"})});
         },
         ContactDifferenceRelation},
        {"instant messaging service",
         [](auto& c) {
             c.setInstantMessageAddresses({CNLabeledValue<platform::CNInstantMessageAddress>(
                 std::string(platform::CNLabelHome),
                 platform::CNInstantMessageAddress{"ann.skype", platform::CNInstantMessageServiceICQ})});
         },
         ContactDifferenceIM},
        {"event", [](auto& c) {
             c.setDates({CNLabeledValue<platform::DateComponents>(std::string(platform::CNLabelDateAnniversary),
                                                                  ymd(2006, 6, 1))});
         },
         ContactDifferenceEvent},
        {"social profile",
         [](auto& c) {
             c.setSocialProfiles({CNLabeledValue<platform::CNSocialProfile>(
                 std::nullopt, platform::CNSocialProfile{"@ann", platform::CNSocialProfileServiceFlickr})});
         },
         ContactDifferenceSocialProfile},
        {"note", [](auto& c) { c.setNote("Met at the fair. Likes coffee."); }, ContactDifferenceNote},
        {"department", [](auto& c) { c.setDepartmentName("Sales"); }, ContactDifferenceOrganization},
    };
    for (const auto& test : cases) {
        auto apple = fullLocalContact();
        test.change(*apple);
        EXPECT_EQ(compare(apple, google), test.code) << test.what;
    }
    // Groups: one more local group.
    EXPECT_EQ(compare(fullLocalContact(), google, std::vector<std::string>{"Friends", "Work"}), ContactDifferenceGroups);
    EXPECT_EQ(compare(fullLocalContact(), google, std::vector<std::string>{"Work"}), ContactDifferenceGroups);
}

TEST_F(QuorvaneModelComparisonTest, TolerantRulesAreNoDifference) {
    // Case, blanks, phone punctuation, a year-less birthday, label mapping, list order and line breaks.
    auto google = googleContact(
        "<gd:name><gd:givenName>ANN</gd:givenName><gd:familyName>lee</gd:familyName><gd:namePrefix> </gd:namePrefix>"
        "</gd:name>"
        "<gd:email rel='" + kGD + "#work' address='Ann@Example.COM'/>"
        "<gd:email rel='" + kGD + "#other' address='second@example.com'/>"
        "<gd:phoneNumber rel='" + kGD + "#work_fax'>555.123.4567</gd:phoneNumber>"
        "<gd:phoneNumber label='iPhone'>+15551112222</gd:phoneNumber>"
        "<gContact:birthday when='--02-29'/>"
        "<content type='text'>line one\r\nline two</content>" +
        membership("6"));
    ASSERT_TRUE(google);
    auto apple = std::make_shared<platform::CNMutableContact>();
    apple->setGivenName("ann");
    apple->setFamilyName("LEE");
    apple->setNickname("   ");
    apple->setEmailAddresses({CNLabeledValue<std::string>(std::nullopt, "second@example.com"),
                              CNLabeledValue<std::string>(std::string(platform::CNLabelWork), "ann@example.com")});
    apple->setPhoneNumbers({CNLabeledValue<platform::CNPhoneNumber>(std::string(platform::CNLabelPhoneNumberiPhone),
                                                                    platform::CNPhoneNumber{"+1 555 111 2222"}),
                            CNLabeledValue<platform::CNPhoneNumber>(std::string(platform::CNLabelPhoneNumberWorkFax),
                                                                    platform::CNPhoneNumber{"(555) 123-4567"})});
    platform::DateComponents birthday;
    birthday.month = 2;
    birthday.day = 29;
    apple->setBirthday(birthday);
    apple->setNote("line one\nline two");
    // In My Contacts only against no local group.
    EXPECT_EQ(compare(apple, google, std::nullopt), ContactDifferenceNone);
    EXPECT_EQ(compare(apple, google, std::vector<std::string>{"my contacts"}), ContactDifferenceNone);

    // A local birthday in the no-year year matches the Google one without a year.
    apple->setBirthday(ymd(QuorvaneModel::kNoYear, 2, 29));
    EXPECT_EQ(compare(apple, google, std::nullopt), ContactDifferenceNone);
}

TEST_F(QuorvaneModelComparisonTest, BirthdaysCompareByTheirDayInEveryZone) {
    // Far ahead of UTC the Google birthday's noon UTC is already the next local day.
    for (int64_t hours : {-11, 0, 13, 14}) {
        QuorvaneModel::Environment env;
        env.userDefaults = std::make_shared<platform::UserDefaults>(dir_ / "zone-defaults.json");
        env.contactStore = store_;
        env.timeZone = platform::TimeZone::forSecondsFromGMT(hours * 3600);
        QuorvaneModel model(std::move(env));
        auto apple = std::make_shared<platform::CNMutableContact>();
        apple->setBirthday(ymd(1980, 5, 17));
        int32_t difference = 0;
        EXPECT_FALSE(model.contactsDifferWithAppleContact(apple, apple, googleContact("<gContact:birthday when='1980-05-17'/>"),
                                                          std::nullopt, &difference))
            << hours;
        EXPECT_TRUE(model.contactsDifferWithAppleContact(apple, apple, googleContact("<gContact:birthday when='1980-05-18'/>"),
                                                         std::nullopt, &difference))
            << hours;
        EXPECT_EQ(difference, ContactDifferenceBirthday);
    }
}

TEST_F(QuorvaneModelComparisonTest, APairWithoutOneSideIsAContractFailure) {
    int32_t difference = 0;
    EXPECT_FALSE(model_->contactsDifferWithAppleContact(fullLocalContact(), nullptr, nullptr, std::nullopt, &difference));
    EXPECT_EQ(difference, ContactDifferenceNone);
    EXPECT_EQ(platform::AssertionHandler::count(), 1);
}

TEST_F(QuorvaneModelComparisonTest, ListsPlaceEachEntryOnce) {
    auto google = googleContact("<gd:email rel='" + kGD + "#home' address='ann@example.com'/>"
                                "<gd:email rel='" + kGD + "#home' address='other@example.com'/>");
    auto apple = std::make_shared<platform::CNMutableContact>();
    // The same address twice locally: one Google entry cannot absorb both.
    apple->setEmailAddresses({CNLabeledValue<std::string>(std::string(platform::CNLabelHome), "ann@example.com"),
                              CNLabeledValue<std::string>(std::string(platform::CNLabelHome), "ann@example.com")});
    EXPECT_EQ(compare(apple, google, std::nullopt), ContactDifferenceEmail);
    // Counts differ.
    apple->setEmailAddresses({CNLabeledValue<std::string>(std::string(platform::CNLabelHome), "ann@example.com")});
    EXPECT_EQ(compare(apple, google, std::nullopt), ContactDifferenceEmail);
}

TEST_F(QuorvaneModelComparisonTest, NoteAndOrganisationRules) {
    auto apple = std::make_shared<platform::CNMutableContact>();
    // A note on one side only.
    apple->setNote("Call back");
    EXPECT_EQ(compare(apple, googleContact(""), std::nullopt), ContactDifferenceNote);
    apple->setNote("");
    EXPECT_EQ(compare(apple, googleContact("<content type='text'>Call back</content>"), std::nullopt),
              ContactDifferenceNote);

    // A job title locally and no Google organisation.
    apple->setJobTitle("Engineer");
    EXPECT_EQ(compare(apple, googleContact(""), std::nullopt), ContactDifferenceOrganization);
    // A Google department without a local one.
    auto withDept = googleContact(
        "<gd:organization rel='" + kGD + "#work'><gd:orgTitle>engineer</gd:orgTitle>"
        "<gd:orgDepartment>Sales</gd:orgDepartment></gd:organization>");
    EXPECT_EQ(compare(apple, withDept, std::nullopt), ContactDifferenceOrganization);
    apple->setDepartmentName("sales");
    EXPECT_EQ(compare(apple, withDept, std::nullopt), ContactDifferenceNone);
    // The local values may be spread over several Google organisations.
    apple->setOrganizationName("Acme");
    auto spread = googleContact(
        "<gd:organization rel='" + kGD + "#work'><gd:orgTitle>Engineer</gd:orgTitle>"
        "<gd:orgDepartment>Sales</gd:orgDepartment></gd:organization>"
        "<gd:organization rel='" + kGD + "#other'><gd:orgName>ACME</gd:orgName></gd:organization>");
    EXPECT_EQ(compare(apple, spread, std::nullopt), ContactDifferenceNone);
}

TEST_F(QuorvaneModelComparisonTest, FirstDifferingFieldDecides) {
    auto google = googleContact(kFullGoogleBody);
    auto apple = fullLocalContact();
    apple->setNote("Something else");
    apple->setEmailAddresses({});
    apple->setOrganizationName("Other");
    EXPECT_EQ(compare(apple, google), ContactDifferenceEmail);
    apple->setNickname("Nan");
    EXPECT_EQ(compare(apple, google), ContactDifferenceName);

    auto second = fullLocalContact();
    second->setBirthday(std::nullopt);
    second->setPostalAddresses({});
    EXPECT_EQ(compare(second, google), ContactDifferencePostalAddress);
}

TEST_F(QuorvaneModelComparisonTest, AccountsWithoutGroupsOrProfiles) {
    auto google = googleContact(kFullGoogleBody);
    // All accounts synced: group membership is not compared.
    model_->setContactSourceMode(ContactSourceModeAllAccounts);
    EXPECT_EQ(compare(fullLocalContact(), google, std::vector<std::string>{"Work"}), ContactDifferenceNone);
    model_->setContactSourceMode(ContactSourceModeAutoSelect);
    for (int32_t type : {ContainerAccountTypeExchange, ContainerAccountTypeGoogle, ContainerAccountTypeNone}) {
        internals(model_).mCurrentSourceRecord->mContainerAccountType = type;
        EXPECT_EQ(compare(fullLocalContact(), google, std::vector<std::string>{"Work"}), ContactDifferenceNone) << type;
    }
    internals(model_).mCurrentSourceRecord = nullptr;
    EXPECT_EQ(compare(fullLocalContact(), google, std::vector<std::string>{"Work"}), ContactDifferenceNone);

    // An Exchange contact keeps no social profiles: they are not compared.
    auto apple = fullLocalContact();
    apple->setSocialProfiles({});
    internals(model_).mExchangeContactDict[apple->identifier()] = true;
    EXPECT_EQ(compare(apple, google), ContactDifferenceNone);
}

TEST_F(QuorvaneModelComparisonTest, ListsFetchedWithoutTheirKeysAreNotCompared) {
    auto google = googleContact(kFullGoogleBody);
    platform::CNContactFields fields = fullLocalContact()->fields();
    auto keys = fullLocalContact()->availableKeys();
    keys.erase(platform::CNContactPostalAddressesKey);
    keys.erase(platform::CNContactInstantMessageAddressesKey);
    keys.erase(platform::CNContactSocialProfilesKey);
    fields.postalAddresses.clear();
    auto partial = std::make_shared<platform::CNContact>(fields, keys);
    EXPECT_FALSE(model_->contactPostalAddressesDifferWithAppleContact(partial, google));
    EXPECT_FALSE(model_->contactIMAddressesDifferWithAppleContact(partial, google));
    EXPECT_FALSE(model_->contactSocialProfilesDifferWithAppleContact(partial, partial, google));
    EXPECT_EQ(compare(partial, google), ContactDifferenceNone);
    EXPECT_EQ(platform::AssertionHandler::count(), 0);
}

TEST_F(QuorvaneModelComparisonTest, PostalAddressesIgnoreEmptyGoogleOnesAndCompareStreetLines) {
    auto google = googleContact(
        "<gd:structuredPostalAddress rel='" + kGD + "#home'><gd:formattedAddress>x</gd:formattedAddress>"
        "</gd:structuredPostalAddress>"
        "<gd:structuredPostalAddress rel='" + kGD + "#work'><gd:pobox>PO Box 7</gd:pobox>"
        "<gd:street>1 Main St\nSuite 2</gd:street><gd:neighborhood>main st</gd:neighborhood>"
        "<gd:country code='US'>USA</gd:country></gd:structuredPostalAddress>");
    ASSERT_EQ(model_->getValidPostalAddressesWithGoogleContact(google).size(), 1u);
    EXPECT_EQ(model_->getGoogleStreetAddressWithPostalAddress(model_->getValidPostalAddressesWithGoogleContact(google)[0]),
              "PO Box 7, 1 Main St Suite 2");

    auto apple = std::make_shared<platform::CNMutableContact>();
    apple->setPostalAddresses({CNLabeledValue<platform::CNPostalAddress>(
        std::string(platform::CNLabelWork),
        platform::CNPostalAddress{"PO Box 7, 1 Main St\nSuite 2 ", "", "", "", "usa", "de"})});
    EXPECT_FALSE(model_->contactPostalAddressesDifferWithAppleContact(apple, google));
    apple->setPostalAddresses({CNLabeledValue<platform::CNPostalAddress>(
        std::string(platform::CNLabelHome),
        platform::CNPostalAddress{"PO Box 7, 1 Main St Suite 2", "", "", "", "USA", "us"})});
    EXPECT_TRUE(model_->contactPostalAddressesDifferWithAppleContact(apple, google));
}

TEST_F(QuorvaneModelComparisonTest, HasName) {
    auto apple = std::make_shared<platform::CNMutableContact>();
    EXPECT_FALSE(model_->appleContactHasName(apple));
    apple->setDepartmentName("Sales");
    EXPECT_TRUE(model_->appleContactHasName(apple));
    auto onlyEmail = std::make_shared<platform::CNMutableContact>();
    onlyEmail->setEmailAddresses({CNLabeledValue<std::string>(std::nullopt, "a@b.example")});
    EXPECT_TRUE(model_->appleContactHasName(onlyEmail));

    EXPECT_FALSE(model_->googleContactHasName(googleContact("<gd:phoneNumber>555</gd:phoneNumber>")));
    EXPECT_TRUE(model_->googleContactHasName(googleContact("<gContact:nickname>Al</gContact:nickname>")));
    EXPECT_TRUE(model_->googleContactHasName(googleContact("<gd:organization><gd:orgTitle>x</gd:orgTitle></gd:organization>")));
    EXPECT_TRUE(model_->googleContactHasName(
        googleContact("<gd:name><gd:additionalName>Q</gd:additionalName></gd:name>")));
    EXPECT_FALSE(model_->googleContactHasName(nullptr));
}

TEST_F(QuorvaneModelComparisonTest, GroupNamesOfEitherSide) {
    auto google = googleContact(membership("6") + membership("family") + membership("friends1") + membership("gone"));
    EXPECT_EQ(model_->getGoogleContactGroupNamesWithContact(google, true),
              (std::vector<std::string>{"Family", "Friends"}));
    EXPECT_EQ(model_->getGoogleContactGroupNamesWithContact(google, false),
              (std::vector<std::string>{"My Contacts", "Family", "Friends"}));
    EXPECT_TRUE(model_->getGoogleContactGroupNamesWithContact(nullptr, false).empty());

    internals(model_).mGroupMembershipByPerson["p1"] = {"Work", "Friends"};
    EXPECT_EQ(model_->getAppleContactGroupNamesWithAppleContactID(std::string("p1")),
              (std::vector<std::string>{"Work", "Friends"}));
    EXPECT_FALSE(model_->getAppleContactGroupNamesWithAppleContactID(std::nullopt));
    EXPECT_EQ(model_->getGroupHashWithGroups(std::vector<std::string>{"work", "Friends"}),
              model_->getGroupHashWithGroups(std::vector<std::string>{"Friends", "work"}));
    EXPECT_EQ(model_->getGroupHashWithGroups(std::nullopt), 0u);

    EXPECT_TRUE(model_->belongsToMyContacts(google));
    EXPECT_FALSE(model_->belongsToMyContacts(googleContact(membership("work"))));
}

TEST_F(QuorvaneModelComparisonTest, RequiredGroupNames) {
    model_->setAutoAddContactsToGroup(true);
    model_->setAutoAddToGroupName(std::string("Synced"));
    internals(model_).mGroupMembershipByPerson = {};
    auto toGoogle = std::make_shared<NSSyncRecord>();
    toGoogle->mSyncAction = SyncActionMacToGoogle;
    toGoogle->mAppleContact = std::make_shared<platform::CNMutableContact>();
    internals(model_).mGroupMembershipByPerson[toGoogle->mAppleContact->identifier()] = {" Work ", "synced", "  ", "work"};
    auto toMac = std::make_shared<NSSyncRecord>();
    toMac->mSyncAction = SyncActionGoogleToMac;
    toMac->mGoogleContact = googleContact(membership("6") + membership("family") + membership("friends1"));
    auto toMac2 = std::make_shared<NSSyncRecord>();
    toMac2->mSyncAction = SyncActionGoogleToMac;
    toMac2->mGoogleContact = googleContact(membership("work") + membership("friends1"));
    const std::vector<NSSyncRecordPtr> records = {toGoogle, nullptr, toMac, toMac2};

    EXPECT_EQ(model_->getRequiredGoogleGroupNamesForSync(records), (std::vector<std::string>{"Synced", "Work"}));
    EXPECT_EQ(model_->getRequiredAppleGroupNamesForSync(records),
              (std::vector<std::string>{"Synced", "Family", "Friends", "Work"}));

    model_->setAutoAddContactsToGroup(false);
    EXPECT_EQ(model_->getRequiredGoogleGroupNamesForSync(records), (std::vector<std::string>{"Work", "synced"}));
}

TEST_F(QuorvaneModelComparisonTest, CountryCodes) {
    EXPECT_TRUE(model_->isValidCountryCode(std::string("US")));
    EXPECT_TRUE(model_->isValidCountryCode(std::string("de")));
    EXPECT_FALSE(model_->isValidCountryCode(std::string("zz")));
    EXPECT_FALSE(model_->isValidCountryCode(std::string("usa")));
    EXPECT_FALSE(model_->isValidCountryCode(std::nullopt));
    model_->setSyncCountryCodes(false);
    EXPECT_FALSE(model_->isValidCountryCode(std::string("US")));
}

}  // namespace
}  // namespace quorvane::testing
