// Writing local contacts into Google contact entries: every field with its labels, the length
// limits, the merge and replace modes, birthdays in far zones, group memberships and new groups.

#include <gtest/gtest.h>

#include "gdata/GDataContactConstants.h"
#include "gdata/GDataEntryContent.h"
#include "gdata/GDataFeedContact.h"
#include "gdata/GDataTextConstruct.h"
#include "gdata/GDataXMLElement.h"
#include "platform/contacts/CNSaveRequest.h"
#include "tests/sync/SyncTestSupport.h"
#include "tests/sync/QuorvaneModelInternals.h"

namespace quorvane::testing {
namespace {

std::vector<std::string> hrefs(const std::shared_ptr<GDataEntryContact>& c) {
    std::vector<std::string> out;
    for (const auto& m : c->groupMembershipInfos()) out.push_back(m->href().value_or("").substr(kGroupBase.size()));
    return out;
}

class QuorvaneModelConversionTest : public SyncModelTestBase {
protected:
    void SetUp() override {
        SyncModelTestBase::SetUp();
        internals(model_).mGroupFeed = standardGroupFeed();
        ASSERT_TRUE(internals(model_).mGroupFeed);
        internals(model_).mCurrentSourceRecord = std::make_shared<NSContactSourceRecord_QV>();
        internals(model_).mCurrentSourceRecord->mContainerAccountType = ContainerAccountTypeLocal;
        container_ = store_->addContainer("On This Computer", platform::CNContainerType::Local).valueOr(nullptr);
        ASSERT_TRUE(container_);
    }

    // Saves the contact in the test's store, so that it carries a real identifier.
    platform::CNMutableContactPtr save(const platform::CNMutableContactPtr& c) {
        platform::CNSaveRequest request;
        request.addContact(c, container_->identifier());
        auto saved = store_->executeSaveRequest(request);
        EXPECT_TRUE(saved) << saved.error().localizedDescription();
        return c;
    }

    NSSyncRecordPtr record(bool merge, const std::string& description = "Ann Lee") {
        auto r = std::make_shared<NSSyncRecord>();
        r->mMergeContacts = merge;
        r->mDescription = description;
        return r;
    }

    platform::CNContainerPtr container_;
};

platform::CNMutableContactPtr fullContact() {
    auto c = std::make_shared<platform::CNMutableContact>();
    c->setNamePrefix("Dr");
    c->setGivenName("Ann");
    c->setMiddleName("May");
    c->setFamilyName("Lee");
    c->setNameSuffix("Jr");
    c->setPhoneticGivenName("ann");
    c->setPhoneticFamilyName("lee");
    c->setNickname("Annie");
    c->setEmailAddresses({lv<std::string>(std::string(platform::CNLabelHome), "ann@example.com"),
                          lv<std::string>(std::string("iCloud"), "ann@icloud.example"),
                          lv<std::string>(std::string(platform::CNLabelWork), "")});
    c->setPhoneNumbers({lv(std::optional<std::string>(platform::CNLabelPhoneNumberMobile),
                           platform::CNPhoneNumber{"+1 555 123"}),
                        lv(std::optional<std::string>("Boat"), platform::CNPhoneNumber{"  "})});
    c->setPostalAddresses({lv(std::optional<std::string>(platform::CNLabelHome),
                              platform::CNPostalAddress{"1 Main St\nFlat 2", "Springfield", "IL", "62701", "USA", "us"})});
    c->setBirthday(ymd(1990, 5, 17));
    c->setUrlAddresses({lv<std::string>(std::string(platform::CNLabelURLAddressHomePage), "https://ann.example"),
                        lv<std::string>(std::string("Blog"), " ")});
    c->setContactRelations({lv(std::optional<std::string>(platform::CNLabelContactRelationSpouse),
                               platform::CNContactRelation{"Bob"}),
                            lv(std::optional<std::string>("Mentor"), platform::CNContactRelation{""})});
    c->setInstantMessageAddresses(
        {lv(std::optional<std::string>(platform::CNLabelHome),
            platform::CNInstantMessageAddress{"ann.skype", platform::CNInstantMessageServiceSkype}),
         lv(std::optional<std::string>(platform::CNLabelHome), platform::CNInstantMessageAddress{"", "Jabber"})});
    c->setDates({lv(std::optional<std::string>(platform::CNLabelDateAnniversary), ymd(2010, 6, 1))});
    c->setSocialProfiles({lv(std::optional<std::string>(std::nullopt),
                             platform::CNSocialProfile{"@ann", platform::CNSocialProfileServiceTwitter}),
                          lv(std::optional<std::string>(std::nullopt),
                             platform::CNSocialProfile{"", platform::CNSocialProfileServiceTwitter})});
    c->setNote("Met at the fair.");
    c->setOrganizationName("Acme");
    c->setJobTitle("Engineer");
    c->setDepartmentName("R&D");
    return c;
}

TEST_F(QuorvaneModelConversionTest, NewEntryCarriesEveryFieldWithItsLabels) {
    auto apple = save(fullContact());
    auto r = record(false);
    auto google = model_->createGoogleContactWithAppleContact(apple, apple, r, std::vector<std::string>{"Work"});
    ASSERT_TRUE(google);
    EXPECT_TRUE(r->mCreatedNewContact);
    EXPECT_EQ(google->categories().size(), 1u);

    auto name = google->name();
    ASSERT_TRUE(name);
    EXPECT_EQ(name->givenName()->stringValue(), "Ann");
    EXPECT_EQ(name->givenName()->yomi(), "ann");
    EXPECT_EQ(name->additionalName()->stringValue(), "May");
    EXPECT_FALSE(name->additionalName()->yomi());
    EXPECT_EQ(name->familyName()->yomi(), "lee");
    EXPECT_EQ(google->nickname(), "Annie");

    auto emails = google->emailAddresses();
    ASSERT_EQ(emails.size(), 2u);  // the empty one is left out
    EXPECT_EQ(emails[0]->address(), "ann@example.com");
    EXPECT_EQ(emails[0]->rel(), kGDataContactHome);
    EXPECT_FALSE(emails[0]->label());
    EXPECT_EQ(emails[1]->label(), "iCloud");
    EXPECT_FALSE(emails[1]->rel());

    auto phones = google->phoneNumbers();
    ASSERT_EQ(phones.size(), 1u);
    EXPECT_EQ(phones[0]->stringValue(), "+1 555 123");
    EXPECT_EQ(phones[0]->rel(), kGDataPhoneNumberMobile);

    auto addresses = google->structuredPostalAddresses();
    ASSERT_EQ(addresses.size(), 1u);
    EXPECT_EQ(addresses[0]->street(), "1 Main St Flat 2");
    EXPECT_EQ(addresses[0]->city(), "Springfield");
    EXPECT_EQ(addresses[0]->region(), "IL");
    EXPECT_EQ(addresses[0]->postCode(), "62701");
    EXPECT_EQ(addresses[0]->countryName(), "USA");
    EXPECT_EQ(addresses[0]->countryCode(), "us");
    EXPECT_EQ(addresses[0]->rel(), kGDataContactHome);

    EXPECT_EQ(google->birthday(), "1990-05-17");

    auto links = google->websiteLinks();
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0]->href(), "https://ann.example");
    EXPECT_EQ(links[0]->rel(), kGDataContactWebsiteLinkHomePage);

    auto relations = google->relations();
    ASSERT_EQ(relations.size(), 2u);  // an empty relation name is written too
    EXPECT_EQ(relations[0]->stringValue(), "Bob");
    EXPECT_EQ(relations[0]->rel(), kGDataContactRelationSpouse);
    EXPECT_EQ(relations[1]->label(), "Mentor");

    auto ims = google->IMAddresses();
    ASSERT_EQ(ims.size(), 1u);
    EXPECT_EQ(ims[0]->address(), "ann.skype");
    EXPECT_EQ(ims[0]->protocol(), kGDataIMProtocolSkype);

    auto events = google->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]->rel(), kGDataContactEventAnniversary);
    auto start = events[0]->when()->startTime();
    ASSERT_TRUE(start);
    EXPECT_FALSE(start->hasTime());
    EXPECT_EQ(start->RFC3339String(), "2010-06-01");

    auto fields = google->userDefinedFields();
    ASSERT_EQ(fields.size(), 1u);
    EXPECT_EQ(fields[0]->key(), model_->convertToGoogleSocialProfileLabelWithAppleLabel(platform::CNSocialProfileServiceTwitter));
    EXPECT_EQ(fields[0]->stringValue(), "@ann");

    ASSERT_TRUE(google->content());
    EXPECT_EQ(google->content()->stringValue(), "Met at the fair.");
    auto orgs = google->organizations();
    ASSERT_EQ(orgs.size(), 1u);
    EXPECT_EQ(orgs[0]->orgName(), "Acme");
    EXPECT_EQ(orgs[0]->orgTitle(), "Engineer");
    EXPECT_EQ(orgs[0]->orgDepartment(), "R&D");
    EXPECT_EQ(orgs[0]->rel(), kGDataContactOther);

    // A new contact in a user group is in My Contacts too.
    EXPECT_EQ(hrefs(google), (std::vector<std::string>{"work", "6"}));
    // Logged once Google confirms the write, never by the conversion.
    EXPECT_EQ(model_->log(), "");
}

TEST_F(QuorvaneModelConversionTest, TextIsCutToGoogleLimitsWithoutSplittingSurrogatePairs) {
    const std::string smile = "\xF0\x9F\x98\x80";  // two UTF-16 units
    auto apple = std::make_shared<platform::CNMutableContact>();
    apple->setGivenName(std::string(1023, 'g') + smile);
    apple->setEmailAddresses({lv<std::string>(std::string(platform::CNLabelHome), std::string(1001, 'e'))});
    apple->setPhoneNumbers({lv(std::optional<std::string>(platform::CNLabelPhoneNumberMobile),
                               platform::CNPhoneNumber{std::string(999, '5') + smile})});
    apple->setNote(std::string(129999, 'n') + smile + "tail");
    apple->setUrlAddresses({lv<std::string>(std::string("x"), std::string(2000, 'u'))});
    save(apple);
    auto google = model_->createGoogleContactWithAppleContact(apple, apple, record(false), std::nullopt);
    EXPECT_EQ(google->name()->givenName()->stringValue(), std::string(1023, 'g'));
    EXPECT_EQ(google->emailAddresses()[0]->address(), std::string(1000, 'e'));
    EXPECT_EQ(google->phoneNumbers()[0]->stringValue(), std::string(999, '5'));
    EXPECT_EQ(google->content()->stringValue(), std::string(129999, 'n'));
    EXPECT_EQ(google->websiteLinks()[0]->href()->size(), 2000u);  // web addresses are not cut
}

TEST_F(QuorvaneModelConversionTest, CountryCodeOnlyWhenTheSettingIsOnAndTheCodeIsKnown) {
    auto apple = std::make_shared<platform::CNMutableContact>();
    apple->setPostalAddresses({lv(std::optional<std::string>(platform::CNLabelHome), platform::CNPostalAddress{"", "", "", "", "", "de"}),
                               lv(std::optional<std::string>(platform::CNLabelWork), platform::CNPostalAddress{"", "Oslo", "", "", "", "zz"})});
    save(apple);
    model_->setSyncCountryCodes(true);
    auto google = model_->createGoogleContactWithAppleContact(apple, apple, record(false), std::nullopt);
    auto addresses = google->structuredPostalAddresses();
    ASSERT_EQ(addresses.size(), 2u);
    EXPECT_EQ(addresses[0]->countryCode(), "de");
    EXPECT_FALSE(addresses[0]->countryName());
    EXPECT_FALSE(addresses[1]->countryCode());

    // Without the setting an address holding only a code has nothing to write: it is left out.
    model_->setSyncCountryCodes(false);
    google = model_->createGoogleContactWithAppleContact(apple, apple, record(false), std::nullopt);
    ASSERT_EQ(google->structuredPostalAddresses().size(), 1u);
    EXPECT_EQ(google->structuredPostalAddresses()[0]->city(), "Oslo");
    EXPECT_FALSE(google->structuredPostalAddresses()[0]->countryCode());
}

TEST_F(QuorvaneModelConversionTest, BirthdayWithAndWithoutYearNamesTheLocalDayInEveryZone) {
    for (int64_t hours : {-11, 0, 13, 14}) {
        QuorvaneModel::Environment env;
        env.userDefaults = std::make_shared<platform::UserDefaults>(dir_ / "zone-defaults.json");
        env.contactStore = store_;
        env.timeZone = platform::TimeZone::forSecondsFromGMT(hours * 3600);
        QuorvaneModel model(std::move(env));
        auto apple = std::make_shared<platform::CNMutableContact>();
        apple->setBirthday(ymd(1990, 5, 17));
        apple->setDates({lv(std::optional<std::string>(platform::CNLabelDateAnniversary), ymd(2010, 6, 1))});
        auto google = model.createGoogleContactWithAppleContact(apple, apple, record(false), std::nullopt);
        EXPECT_EQ(google->birthday(), "1990-05-17") << hours;
        EXPECT_EQ(google->events()[0]->when()->startTime()->RFC3339String(), "2010-06-01") << hours;
        // What is written compares equal to the local contact again.
        int32_t difference = -1;
        model.contactsDifferWithAppleContact(apple, apple, google, std::nullopt, &difference);
        EXPECT_NE(difference, ContactDifferenceBirthday) << hours;
        EXPECT_NE(difference, ContactDifferenceEvent) << hours;

        platform::DateComponents noYear;
        noYear.month = 5;
        noYear.day = 17;
        apple->setBirthday(noYear);
        google = model.createGoogleContactWithAppleContact(apple, apple, record(false), std::nullopt);
        EXPECT_EQ(google->birthday(), "--05-17") << hours;
    }
}

TEST_F(QuorvaneModelConversionTest, MergeModeKeepsWhatTheLocalContactLacksReplaceModeClearsIt) {
    const std::string body =
        "<content type='text'>Old note</content>"
        "<gd:name><gd:givenName>Old</gd:givenName></gd:name><gContact:nickname>Oldie</gContact:nickname>"
        "<gContact:birthday when='1970-01-02'/>"
        "<gd:email rel='http://schemas.google.com/g/2005#work' address='old@example.com'/>"
        "<gd:organization rel='http://schemas.google.com/g/2005#work'><gd:orgName>OldCo</gd:orgName></gd:organization>"
        "<x:unmodelled flavour='mint'>keep me</x:unmodelled>" + membership("work");
    auto apple = std::make_shared<platform::CNMutableContact>();
    apple->setNickname("Annie");
    apple->setNote("   ");
    apple->setEmailAddresses({lv<std::string>(std::string(platform::CNLabelHome), "ann@example.com")});
    save(apple);

    auto merged = googleContact(body);
    ASSERT_TRUE(merged);
    model_->updateGoogleContact(merged, apple, apple, record(true), std::vector<std::string>{"Friends"});
    EXPECT_EQ(merged->name()->givenName()->stringValue(), "Old");
    EXPECT_EQ(merged->nickname(), "Annie");
    EXPECT_EQ(merged->birthday(), "1970-01-02");
    EXPECT_EQ(merged->content()->stringValue(), "Old note");  // a blank note does not replace it
    ASSERT_EQ(merged->emailAddresses().size(), 2u);
    EXPECT_EQ(merged->organizations()[0]->orgName(), "OldCo");
    // Merging keeps the Google groups; the contact was not in My Contacts and gets a group.
    EXPECT_EQ(hrefs(merged), (std::vector<std::string>{"friends1", "work"}));
    auto xml = merged->XMLElement()->XMLString().value_or("");
    EXPECT_NE(xml.find("keep me"), std::string::npos) << xml;
    EXPECT_NE(xml.find("mint"), std::string::npos) << xml;

    auto replaced = googleContact(body);
    apple->setNote("");
    model_->updateGoogleContact(replaced, apple, apple, record(false), std::vector<std::string>{"Nowhere"});
    ASSERT_TRUE(replaced->name());
    EXPECT_FALSE(replaced->name()->givenName());
    EXPECT_FALSE(replaced->birthday());
    ASSERT_TRUE(replaced->content());
    EXPECT_EQ(replaced->content()->stringValue().value_or(""), "");
    ASSERT_EQ(replaced->emailAddresses().size(), 1u);
    auto orgs = replaced->organizations();
    ASSERT_EQ(orgs.size(), 1u);
    EXPECT_FALSE(orgs[0]->orgName());
    EXPECT_FALSE(orgs[0]->orgTitle());
    EXPECT_EQ(orgs[0]->rel(), kGDataContactOther);
    // No name found a group, so the contact lands in My Contacts.
    EXPECT_EQ(hrefs(replaced), (std::vector<std::string>{"6"}));
    xml = replaced->XMLElement()->XMLString().value_or("");
    EXPECT_NE(xml.find("keep me"), std::string::npos) << xml;
}

TEST_F(QuorvaneModelConversionTest, PhoneticNameWithoutItsPartIsNotWritten) {
    auto apple = std::make_shared<platform::CNMutableContact>();
    apple->setPhoneticGivenName("ann");
    apple->setFamilyName("Lee");
    save(apple);
    auto google = model_->createGoogleContactWithAppleContact(apple, apple, record(false), std::nullopt);
    EXPECT_FALSE(google->name()->givenName());
    EXPECT_FALSE(google->name()->familyName()->yomi());

    // Merging a contact whose only name is phonetic keeps Google's name.
    apple->setFamilyName("");
    google = googleContact("<gd:name><gd:givenName>Ann</gd:givenName></gd:name>");
    model_->updateGoogleContact(google, apple, apple, record(true), std::nullopt);
    ASSERT_TRUE(google->name()->givenName());
    EXPECT_EQ(google->name()->givenName()->stringValue(), "Ann");
}

TEST_F(QuorvaneModelConversionTest, GroupMembershipsFollowTheLocalGroupsAndTheAutoAddGroup) {
    auto apple = save(std::make_shared<platform::CNMutableContact>());
    // "My Contacts" named explicitly is added once; a user group wins over a system group of the same name.
    internals(model_).mGroupFeed = GDataFeedContactGroup::contactGroupFeedWithXMLData(bytesOf(feedXML(
        groupEntry("6", "System Group: My Contacts", "Contacts") + groupEntry("friends1", "Friends") +
        groupEntry("family", "System Group: Family", "Family") + groupEntry("work", "Work") +
        groupEntry("family-user", "family"))));
    auto google = googleContact(membership("work"));
    model_->updateGoogleContact(google, apple, apple, record(false),
                                std::vector<std::string>{" Work ", "my contacts", "Family", ""});
    EXPECT_EQ(hrefs(google), (std::vector<std::string>{"work", "6", "family-user"}));

    // Only in other groups before, not new: stays out of My Contacts.
    google = googleContact(membership("work"));
    model_->updateGoogleContact(google, apple, apple, record(false), std::vector<std::string>{"Friends"});
    EXPECT_EQ(hrefs(google), (std::vector<std::string>{"friends1"}));

    // The auto-add group joins the names.
    model_->setAutoAddContactsToGroup(true);
    model_->setAutoAddToGroupName(std::string(" Work "));
    google = googleContact(membership("6"));
    model_->updateGoogleContact(google, apple, apple, record(false), std::nullopt);
    EXPECT_EQ(hrefs(google), (std::vector<std::string>{"work", "6"}));

    // An account without groups keeps the Google groups.
    model_->setAutoAddContactsToGroup(false);
    internals(model_).mCurrentSourceRecord->mContainerAccountType = ContainerAccountTypeExchange;
    google = googleContact(membership("friends1"));
    model_->updateGoogleContact(google, apple, apple, record(false), std::vector<std::string>{});
    EXPECT_EQ(hrefs(google), (std::vector<std::string>{"friends1"}));

    // Without a My Contacts group in the feed no membership without a group is written.
    internals(model_).mGroupFeed = GDataFeedContactGroup::contactGroupFeedWithXMLData(bytesOf(feedXML(groupEntry("work", "Work"))));
    google = googleContact("");
    model_->updateGoogleContact(google, apple, apple, record(false), std::nullopt);
    EXPECT_TRUE(google->groupMembershipInfos().empty());
}

TEST_F(QuorvaneModelConversionTest, PhotoFlagsAndLog) {
    auto apple = std::make_shared<platform::CNMutableContact>();
    apple->setImageData(platform::Bytes{1, 2, 3});
    save(apple);
    // Fetched back from the store, which tells whether the contact has image data.
    std::vector<platform::CNKeyDescriptor> keys;
    for (const char* key : {platform::CNContactGivenNameKey, platform::CNContactMiddleNameKey, platform::CNContactFamilyNameKey,
                            platform::CNContactNamePrefixKey, platform::CNContactNameSuffixKey, platform::CNContactPhoneticGivenNameKey,
                            platform::CNContactPhoneticMiddleNameKey, platform::CNContactPhoneticFamilyNameKey,
                            platform::CNContactNicknameKey, platform::CNContactEmailAddressesKey, platform::CNContactPhoneNumbersKey,
                            platform::CNContactBirthdayKey, platform::CNContactUrlAddressesKey, platform::CNContactRelationsKey,
                            platform::CNContactDatesKey, platform::CNContactNoteKey, platform::CNContactOrganizationNameKey,
                            platform::CNContactJobTitleKey, platform::CNContactDepartmentNameKey,
                            platform::CNContactImageDataAvailableKey}) {
        keys.emplace_back(key);
    }
    auto fetched = store_->unifiedContactsMatchingPredicate(
        platform::CNContact::predicateForContactsWithIdentifiers({apple->identifier()}), keys);
    ASSERT_TRUE(fetched) << fetched.error().localizedDescription();
    ASSERT_EQ(fetched->size(), 1u);
    auto stored = fetched->front();
    EXPECT_FALSE(stored->isKeyAvailable(platform::CNContactPostalAddressesKey));
    auto r = record(true);
    r->mSyncPhoto = true;
    // Lists fetched without their keys leave the entry's alone.
    auto google = googleContact("<gd:im protocol='http://schemas.google.com/g/2005#SKYPE' address='kept'/>");
    model_->updateGoogleContact(google, stored, stored, r, std::nullopt);
    EXPECT_EQ(google->IMAddresses().size(), 1u);
    EXPECT_TRUE(internals(model_).mHasABPhotosToSubmit);
    EXPECT_FALSE(internals(model_).mHasABPhotosToSubmitForNewRecord);
    EXPECT_EQ(model_->log().find(": Updated Ann Lee"), std::string::npos) << model_->log();
    model_->createGoogleContactWithAppleContact(stored, stored, r, std::nullopt);
    EXPECT_TRUE(internals(model_).mHasABPhotosToSubmitForNewRecord);
}

TEST_F(QuorvaneModelConversionTest, GroupMembershipByPersonAndNewGoogleGroups) {
    auto ann = save(std::make_shared<platform::CNMutableContact>());
    auto upper = std::make_shared<platform::CNMutableGroup>();
    upper->setName("A");
    auto lower = std::make_shared<platform::CNMutableGroup>();
    lower->setName("a");
    auto system = std::make_shared<platform::CNMutableGroup>();
    system->setName("System Group: Team");
    platform::CNSaveRequest request;
    request.addGroup(upper, container_->identifier());
    request.addGroup(lower, container_->identifier());
    request.addGroup(system, container_->identifier());
    request.addMember(ann, upper);
    request.addMember(ann, lower);
    request.addMember(ann, system);
    ASSERT_TRUE(store_->executeSaveRequest(request));
    internals(model_).mSelectedContainer = container_;
    auto membership = model_->getGroupMembershipByPersonWithError();
    EXPECT_FALSE(membership.unread);
    auto& byPerson = membership.byPerson;
    ASSERT_EQ(byPerson.size(), 1u);
    EXPECT_EQ(byPerson[ann->identifier()], (std::vector<std::string>{"A", "Team"}));

    EXPECT_FALSE(model_->createGoogleGroupWithABGroupName("family"));
    EXPECT_FALSE(model_->createGoogleGroupWithABGroupName("  "));
    EXPECT_FALSE(model_->createGoogleGroupWithABGroupName("WORK"));
    auto made = model_->createGoogleGroupWithABGroupName("Book Club");
    ASSERT_TRUE(made);
    EXPECT_EQ(made->title()->stringValue(), "Book Club");
}

}  // namespace
}  // namespace quorvane::testing
