#include <gtest/gtest.h>

#include <sqlite3.h>

#include "ContactStoreTestSupport.h"
#include "platform/contacts/ABAddressBook.h"
#include "platform/contacts/ACAccountStore.h"
#include "platform/contacts/CNContactViewController.h"

using namespace quorvane::platform;
using quorvane::platform::testing::ContactStoreTestBase;

namespace {

DateComponents ymd(int64_t y, int64_t m, int64_t d) {
    DateComponents c;
    c.year = y;
    c.month = m;
    c.day = d;
    return c;
}

std::vector<CNKeyDescriptor> allKeys() {
    std::vector<CNKeyDescriptor> keys;
    for (const auto& k : CNContactAllKeys()) keys.emplace_back(k);
    return keys;
}

CNMutableContactPtr fullContact() {
    auto c = std::make_shared<CNMutableContact>();
    c->setNamePrefix("Dr.");
    c->setGivenName("Ada");
    c->setMiddleName("Augusta");
    c->setFamilyName("Byron");
    c->setPreviousFamilyName("Milbanke");
    c->setNameSuffix("PhD");
    c->setNickname("Countess");
    c->setPhoneticGivenName("AY-da");
    c->setPhoneticMiddleName("aw-GUS-ta");
    c->setPhoneticFamilyName("BY-ron");
    c->setOrganizationName("Analytical Engines");
    c->setDepartmentName("Programs");
    c->setJobTitle("Analyst");
    c->setNote("First line\r\nSecond line \xE2\x9C\x93");
    DateComponents noYear;
    noYear.month = 12;
    noYear.day = 10;
    c->setBirthday(noYear);
    c->setNonGregorianBirthday(CNNonGregorianDate{"hebrew", ymd(5576, 3, 30)});
    c->setDates({CNLabeledValue<DateComponents>(std::string(CNLabelDateAnniversary), ymd(1835, 7, 8)),
                 CNLabeledValue<DateComponents>(std::nullopt, ymd(1843, 9, 1))});
    c->setPhoneNumbers({CNLabeledValue<CNPhoneNumber>(std::string(CNLabelPhoneNumberMobile), {"+44 (20) 7946-0000"}),
                        CNLabeledValue<CNPhoneNumber>(std::string("boat \"B\"/"), {"555 0100 \\ ext\t9\x01"})});
    c->setEmailAddresses({CNLabeledValue<std::string>(std::string(CNLabelHome), "ada@example.org"),
                          CNLabeledValue<std::string>(std::string(""), "a.byron@example.com")});
    c->setPostalAddresses({CNLabeledValue<CNPostalAddress>(
        std::string(CNLabelWork), {"12 St James's Square\nFlat 2", "London", "Greater London", "SW1Y 4JH", "United Kingdom", "gb"})});
    c->setUrlAddresses({CNLabeledValue<std::string>(std::string(CNLabelURLAddressHomePage), "https://example.org/ada")});
    c->setContactRelations({CNLabeledValue<CNContactRelation>(std::string(CNLabelContactRelationFather), {"George"}),
                            CNLabeledValue<CNContactRelation>(std::string(CNLabelContactRelationFriend), {""})});
    c->setInstantMessageAddresses(
        {CNLabeledValue<CNInstantMessageAddress>(std::string(CNLabelOther), {"ada.im", CNInstantMessageServiceJabber})});
    c->setSocialProfiles({CNLabeledValue<CNSocialProfile>(std::nullopt, {"@ada", CNSocialProfileServiceTwitter})});
    c->setImageData(Bytes{0x89, 'P', 'N', 'G', 0x00, 0xff});
    return c;
}

class ContactStoreTest : public ContactStoreTestBase {
protected:
    // A contact with no values, in a new container.
    void addBlankContact() {
        addContainer("Local");
        CNSaveRequest add;
        add.addContact(std::make_shared<CNMutableContact>(), std::nullopt);
        ASSERT_TRUE(save(add));
    }
};

TEST_F(ContactStoreTest, EveryFieldSurvivesSaveAndReopening) {
    auto clock = std::make_shared<ManualClock>(Date(700000000));
    Clock::setCurrent(clock);
    auto local = addContainer("On This Computer");
    auto original = fullContact();
    CNSaveRequest add;
    add.addContact(original, std::nullopt);
    ASSERT_TRUE(save(add));
    Clock::setCurrent(nullptr);

    auto reopened = reopen();
    auto found = fetch(CNContact::predicateForContactsWithIdentifiers({original->identifier()}), allKeys(), reopened.get());
    ASSERT_EQ(found.size(), 1u);
    const auto& c = *found[0];
    const auto& o = original->fields();
    EXPECT_EQ(c.identifier(), original->identifier());
    EXPECT_EQ(c.namePrefix(), o.namePrefix);
    EXPECT_EQ(c.givenName(), o.givenName);
    EXPECT_EQ(c.middleName(), o.middleName);
    EXPECT_EQ(c.familyName(), o.familyName);
    EXPECT_EQ(c.previousFamilyName(), o.previousFamilyName);
    EXPECT_EQ(c.nameSuffix(), o.nameSuffix);
    EXPECT_EQ(c.nickname(), o.nickname);
    EXPECT_EQ(c.phoneticGivenName(), o.phoneticGivenName);
    EXPECT_EQ(c.phoneticMiddleName(), o.phoneticMiddleName);
    EXPECT_EQ(c.phoneticFamilyName(), o.phoneticFamilyName);
    EXPECT_EQ(c.organizationName(), o.organizationName);
    EXPECT_EQ(c.departmentName(), o.departmentName);
    EXPECT_EQ(c.jobTitle(), o.jobTitle);
    EXPECT_EQ(c.note(), o.note);
    ASSERT_TRUE(c.birthday());
    EXPECT_EQ(*c.birthday(), *o.birthday);
    EXPECT_FALSE(DateComponents::isSet(c.birthday()->year));
    EXPECT_EQ(c.nonGregorianBirthday(), o.nonGregorianBirthday);
    // Labeled values keep order, labels (an absent label stays absent, an empty one empty) and identifiers.
    EXPECT_EQ(c.dates(), o.dates);
    EXPECT_FALSE(c.dates()[1].label());
    EXPECT_EQ(c.phoneNumbers(), o.phoneNumbers);
    EXPECT_EQ(c.emailAddresses(), o.emailAddresses);
    ASSERT_TRUE(c.emailAddresses()[1].label());
    EXPECT_EQ(*c.emailAddresses()[1].label(), "");
    EXPECT_EQ(c.postalAddresses(), o.postalAddresses);
    EXPECT_EQ(c.urlAddresses(), o.urlAddresses);
    EXPECT_EQ(c.contactRelations(), o.contactRelations);
    EXPECT_EQ(c.instantMessageAddresses(), o.instantMessageAddresses);
    EXPECT_EQ(c.socialProfiles(), o.socialProfiles);
    EXPECT_EQ(c.imageData(), o.imageData);
    EXPECT_EQ(c.thumbnailImageData(), o.imageData);
    EXPECT_TRUE(c.imageDataAvailable());
    EXPECT_EQ(c.creationDate(), Date(700000000));
    EXPECT_EQ(c.modificationDate(), Date(700000000));
    EXPECT_EQ(AssertionHandler::count(), 0u);

    // The contact lives in the default container.
    auto containers = reopened->containersMatchingPredicate(
        CNContainer::predicateForContainerOfContactWithIdentifier(original->identifier()));
    ASSERT_TRUE(containers);
    ASSERT_EQ(containers->size(), 1u);
    EXPECT_EQ((*containers)[0]->identifier(), local->identifier());
}

TEST_F(ContactStoreTest, NewContactWithoutValuesReadsEmpty) {
    addBlankContact();
    auto found = fetch(nullptr, allKeys());
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->givenName(), "");
    EXPECT_FALSE(found[0]->birthday());
    EXPECT_FALSE(found[0]->nonGregorianBirthday());
    EXPECT_TRUE(found[0]->phoneNumbers().empty());
    EXPECT_FALSE(found[0]->imageData());
    EXPECT_FALSE(found[0]->thumbnailImageData());
    EXPECT_FALSE(found[0]->imageDataAvailable());
}

TEST_F(ContactStoreTest, AValueThatIsNotUTF8IsRefusedWithAnErrorAndNothingOfTheRequestIsSaved) {
    auto container = addContainer("Local");
    // Values the store keeps as JSON, added and updated; and a lookup by such an identifier.
    auto good = std::make_shared<CNMutableContact>();
    good->setGivenName("Good");
    auto bad = std::make_shared<CNMutableContact>();
    bad->setEmailAddresses({CNLabeledValue<std::string>(std::string(CNLabelHome), "b\xFFd@example.org")});
    CNSaveRequest add;
    add.addContact(good, container->identifier());
    add.addContact(bad, container->identifier());
    auto added = save(add);
    ASSERT_FALSE(added);
    EXPECT_EQ(added.error().code, CNErrorCodeTextNotUTF8);
    EXPECT_NE(added.error().localizedDescription().find("emailAddresses"), std::string::npos);
    EXPECT_TRUE(fetch(nullptr, {CNContactGivenNameKey}).empty());

    CNSaveRequest addGood;
    addGood.addContact(good, container->identifier());
    ASSERT_TRUE(save(addGood));
    auto edited = fetch(nullptr, allKeys())[0]->mutableCopy();
    edited->setPostalAddresses({CNLabeledValue<CNPostalAddress>(std::string(CNLabelHome), CNPostalAddress{"Via \x80", "", "", "", "", ""})});
    CNSaveRequest update;
    update.updateContact(edited);
    EXPECT_EQ(save(update).error().code, CNErrorCodeTextNotUTF8);
    EXPECT_TRUE(fetch(nullptr, allKeys())[0]->postalAddresses().empty());
    EXPECT_TRUE(fetch(CNContact::predicateForContactsWithIdentifiers({"\xFF"}), {CNContactGivenNameKey}).empty());
}

TEST_F(ContactStoreTest, KeyLimitedFetchAnswersOnlyTheFetchedKeys) {
    addContainer("Local");
    auto original = fullContact();
    CNSaveRequest add;
    add.addContact(original, std::nullopt);
    ASSERT_TRUE(save(add));

    auto found = fetch(nullptr, {CNContactIdentifierKey, CNContactGivenNameKey, CNContactModificationDateKey});
    ASSERT_EQ(found.size(), 1u);
    const auto& c = *found[0];
    EXPECT_EQ(c.givenName(), "Ada");
    EXPECT_TRUE(c.modificationDate());
    EXPECT_TRUE(c.isKeyAvailable(CNContactGivenNameKey));
    EXPECT_FALSE(c.isKeyAvailable(CNContactPostalAddressesKey));
    EXPECT_FALSE(c.areKeysAvailable({CNContactGivenNameKey, CNContactFamilyNameKey}));
    EXPECT_EQ(AssertionHandler::count(), 0u);

    // Reading what was not fetched is a contract failure with an empty answer.
    EXPECT_EQ(c.familyName(), "");
    EXPECT_TRUE(c.postalAddresses().empty());
    EXPECT_FALSE(c.imageData());
    EXPECT_FALSE(c.imageDataAvailable());
    EXPECT_FALSE(c.creationDate());
    EXPECT_EQ(AssertionHandler::count(), 5u);

    // The identifier alone is always there.
    auto bare = fetch(nullptr, {});
    ASSERT_EQ(bare.size(), 1u);
    EXPECT_EQ(bare[0]->identifier(), original->identifier());

    // The contact card's descriptor brings every shown property but not the record dates.
    auto card = fetch(nullptr, {CNContactViewController::descriptorForRequiredKeys()});
    ASSERT_EQ(card.size(), 1u);
    EXPECT_TRUE(card[0]->areKeysAvailable({CNContactViewController::descriptorForRequiredKeys()}));
    EXPECT_EQ(card[0]->socialProfiles(), original->socialProfiles());
    EXPECT_FALSE(card[0]->isKeyAvailable(CNContactModificationDateKey));

    // An unknown key is a contract failure and is left out.
    AssertionHandler::resetCount();
    auto odd = fetch(nullptr, {CNContactGivenNameKey, "shoeSize"});
    ASSERT_EQ(odd.size(), 1u);
    EXPECT_EQ(AssertionHandler::count(), 1u);
    EXPECT_FALSE(odd[0]->isKeyAvailable("shoeSize"));
}

TEST_F(ContactStoreTest, UpdatingAPartlyFetchedContactKeepsWhatItDidNotRead) {
    auto clock = std::make_shared<ManualClock>(Date(1000));
    Clock::setCurrent(clock);
    addContainer("Local");
    auto original = fullContact();
    CNSaveRequest add;
    add.addContact(original, std::nullopt);
    ASSERT_TRUE(save(add));

    auto partial = fetch(nullptr, {CNContactGivenNameKey});
    ASSERT_EQ(partial.size(), 1u);
    auto edit = partial[0]->mutableCopy();
    edit->setGivenName("Augusta Ada");
    edit->setPhoneNumbers({});  // set without having been fetched: written too
    // What was set becomes readable on the copy alone; what was neither fetched nor set stays out.
    EXPECT_TRUE(edit->isKeyAvailable(CNContactPhoneNumbersKey));
    EXPECT_FALSE(partial[0]->isKeyAvailable(CNContactPhoneNumbersKey));
    EXPECT_FALSE(edit->copy()->isKeyAvailable(CNContactFamilyNameKey));
    EXPECT_TRUE(edit->copy()->phoneNumbers().empty());
    EXPECT_EQ(AssertionHandler::count(), 0u);
    clock->advance(60);
    CNSaveRequest update;
    update.updateContact(edit);
    ASSERT_TRUE(save(update));
    Clock::setCurrent(nullptr);

    auto after = fetch(nullptr, allKeys());
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0]->givenName(), "Augusta Ada");
    EXPECT_TRUE(after[0]->phoneNumbers().empty());
    EXPECT_EQ(after[0]->familyName(), "Byron");
    EXPECT_EQ(after[0]->emailAddresses(), original->emailAddresses());
    EXPECT_EQ(after[0]->imageData(), original->imageData());
    EXPECT_EQ(after[0]->creationDate(), Date(1000));
    EXPECT_EQ(after[0]->modificationDate(), Date(1060));
    EXPECT_EQ(AssertionHandler::count(), 0u);

    // Removing the image removes the thumbnail with it.
    auto noImage = after[0]->mutableCopy();
    noImage->setImageData(Bytes{});
    CNSaveRequest clear;
    clear.updateContact(noImage);
    ASSERT_TRUE(save(clear));
    auto cleared = fetch(nullptr, {CNContactImageDataKey, CNContactThumbnailImageDataKey, CNContactImageDataAvailableKey});
    EXPECT_FALSE(cleared[0]->imageData());
    EXPECT_FALSE(cleared[0]->thumbnailImageData());
    EXPECT_FALSE(cleared[0]->imageDataAvailable());
}

TEST_F(ContactStoreTest, ContainersByTypeAndPredicate) {
    auto exchange = addContainer("Work", CNContainerType::Exchange);
    auto carddav = addContainer("Cloud", CNContainerType::CardDAV, std::string("ACCOUNT-1:ABAccount"));
    auto local = addContainer("On This Computer", CNContainerType::Local);
    EXPECT_EQ(carddav->identifier(), "ACCOUNT-1:ABAccount");
    EXPECT_NE(exchange->identifier().find(":ABAccount"), std::string::npos);

    auto all = store_->containersMatchingPredicate(nullptr);
    ASSERT_TRUE(all);
    ASSERT_EQ(all->size(), 3u);
    EXPECT_EQ((*all)[0]->type(), CNContainerType::Exchange);
    EXPECT_EQ((*all)[1]->type(), CNContainerType::CardDAV);
    EXPECT_EQ((*all)[1]->name(), "Cloud");
    EXPECT_EQ((*all)[2]->type(), CNContainerType::Local);
    EXPECT_EQ(int(CNContainerType::Local), 1);
    EXPECT_EQ(int(CNContainerType::Exchange), 2);
    EXPECT_EQ(int(CNContainerType::CardDAV), 3);

    auto one = store_->containersMatchingPredicate(CNContainer::predicateForContainersWithIdentifiers({carddav->identifier()}));
    ASSERT_TRUE(one);
    ASSERT_EQ(one->size(), 1u);
    EXPECT_EQ((*one)[0]->identifier(), carddav->identifier());
    auto none = store_->containersMatchingPredicate(CNContainer::predicateForContainersWithIdentifiers({"gone"}));
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());

    // The default container: the first local one, unless one was set.
    EXPECT_EQ(store_->defaultContainerIdentifier(), local->identifier());
    ASSERT_TRUE(store_->setDefaultContainerIdentifier(exchange->identifier()));
    EXPECT_EQ(reopen()->defaultContainerIdentifier(), exchange->identifier());
    EXPECT_EQ(store_->setDefaultContainerIdentifier("gone").error().code, CNErrorCodeRecordDoesNotExist);

    // An identifier is taken once.
    EXPECT_EQ(store_->addContainer("Again", CNContainerType::Local, carddav->identifier()).error().code,
              CNErrorCodeInsertedRecordAlreadyExists);
}

TEST_F(ContactStoreTest, ContactsByIdentifiersContainerAndGroup) {
    auto a = addContainer("A");
    auto b = addContainer("B", CNContainerType::CardDAV);
    std::vector<CNMutableContactPtr> people;
    CNSaveRequest add;
    for (int i = 0; i < 5; ++i) {
        auto c = std::make_shared<CNMutableContact>();
        c->setGivenName("P" + std::to_string(i));
        people.push_back(c);
        add.addContact(c, i < 3 ? a->identifier() : b->identifier());
    }
    auto friends = std::make_shared<CNMutableGroup>();
    friends->setName("Friends");
    add.addGroup(friends, a->identifier());
    add.addMember(people[0], friends);
    add.addMember(people[2], friends);
    ASSERT_TRUE(save(add));

    auto names = [](const std::vector<CNContactPtr>& list) {
        std::vector<std::string> out;
        for (const auto& c : list) out.push_back(c->givenName());
        return out;
    };
    using V = std::vector<std::string>;
    // Store order, whatever the order of the identifiers asked for; unknown identifiers are skipped.
    EXPECT_EQ(names(fetch(CNContact::predicateForContactsWithIdentifiers(
                              {people[4]->identifier(), "nobody", people[1]->identifier()}),
                          {CNContactGivenNameKey})),
              (V{"P1", "P4"}));
    EXPECT_EQ(names(fetch(CNContact::predicateForContactsInContainerWithIdentifier(b->identifier()), {CNContactGivenNameKey})),
              (V{"P3", "P4"}));
    EXPECT_EQ(names(fetch(CNContact::predicateForContactsInGroupWithIdentifier(friends->identifier()), {CNContactGivenNameKey})),
              (V{"P0", "P2"}));
    EXPECT_EQ(names(fetch(nullptr, {CNContactGivenNameKey})), (V{"P0", "P1", "P2", "P3", "P4"}));
    EXPECT_TRUE(fetch(CNContact::predicateForContactsInContainerWithIdentifier("gone"), {}).empty());
    // Counting and listing identifiers select what fetching does, in store order.
    for (const auto& [predicate, count] :
         std::vector<std::pair<CNPredicatePtr, size_t>>{
             {CNContact::predicateForContactsWithIdentifiers({people[4]->identifier(), "nobody", people[1]->identifier()}), 2},
             {CNContact::predicateForContactsInContainerWithIdentifier(b->identifier()), 2},
             {CNContact::predicateForContactsInGroupWithIdentifier(friends->identifier()), 2},
             {CNContact::predicateForContactsInContainerWithIdentifier("gone"), 0},
             {nullptr, 5}}) {
        auto counted = store_->countOfContactsMatchingPredicate(predicate);
        ASSERT_TRUE(counted);
        EXPECT_EQ(*counted, count);
        auto identifiers = store_->identifiersOfContactsMatchingPredicate(predicate);
        ASSERT_TRUE(identifiers);
        std::vector<std::string> fetched;
        for (const auto& c : fetch(predicate, {})) fetched.push_back(c->identifier());
        EXPECT_EQ(*identifiers, fetched);
    }

    // Many identifiers at once.
    std::vector<std::string> ids;
    for (int i = 0; i < 2000; ++i) ids.push_back("missing-" + std::to_string(i));
    ids.push_back(people[3]->identifier());
    EXPECT_EQ(names(fetch(CNContact::predicateForContactsWithIdentifiers(ids), {CNContactGivenNameKey})), (V{"P3"}));

    // Enumeration stops when asked; results can be editable.
    CNContactFetchRequest request({CNContactGivenNameKey});
    request.setMutableObjects(true);
    request.setUnifyResults(false);
    int seen = 0;
    ASSERT_TRUE(store_->enumerateContactsWithFetchRequest(request, [&](const CNContactPtr& c, bool& stop) {
        EXPECT_TRUE(std::dynamic_pointer_cast<CNMutableContact>(c));
        stop = ++seen == 2;
    }));
    EXPECT_EQ(seen, 2);

    // A predicate of the wrong kind is a contract failure and a failed fetch.
    EXPECT_FALSE(store_->unifiedContactsMatchingPredicate(CNGroup::predicateForGroupsWithIdentifiers({}), {}));
    EXPECT_EQ(AssertionHandler::count(), 1u);
}

TEST_F(ContactStoreTest, AccountsKeepTheirPropertiesBesideTheContainers) {
    auto container = addContainer("Google", CNContainerType::CardDAV, std::string("4F1C-ACCOUNT:ABAccount"));
    Value properties = Value::dictionary();
    properties.set("servername", "carddav.example.com");
    properties.set("userName", "ada@example.com");
    Value home = Value::dictionary();
    home.set("privileges", Value(Value::Array{Value("DAV::read")}));
    properties.set("HomeInfo", Value(Value::Array{home}));
    {
        ACAccountStore accounts(file_);
        ASSERT_TRUE(accounts.saveAccount(ACAccount("4F1C-ACCOUNT", properties)));
    }
    ACAccountStore reader(file_);
    auto account = reader.accountWithIdentifier("4F1C-ACCOUNT").value();
    ASSERT_TRUE(account);
    EXPECT_EQ(account->properties()["servername"].asString(), "carddav.example.com");
    EXPECT_EQ(account->properties()["userName"].asString(), "ada@example.com");
    EXPECT_EQ(account->properties()["HomeInfo"][0]["privileges"][0].asString(), "DAV::read");
    EXPECT_FALSE(reader.accountWithIdentifier("other").value());

    // Saving again replaces the properties.
    ASSERT_TRUE(reader.saveAccount(ACAccount("4F1C-ACCOUNT", Value::dictionary())));
    EXPECT_FALSE(reader.accountWithIdentifier("4F1C-ACCOUNT").value()->properties().contains("servername"));
    // The container is untouched by its account.
    EXPECT_EQ(reopen()->containersMatchingPredicate(nullptr)->size(), 1u);
}

TEST_F(ContactStoreTest, StoredValuesReadAlikeWhateverJSONTheyAreWrittenIn) {
    // Values as another writer may have left them: other spacing and key order, \u escapes,
    // unknown keys, values of other types, text that is no JSON. Each reads as a JSON reader
    // would take it; what cannot be read is left out, and its key is listed as unreadable.
    addBlankContact();
    using Phones = std::vector<CNLabeledValue<CNPhoneNumber>>;
    auto phone = [](std::string id, std::optional<std::string> label, std::string value) {
        return CNLabeledValue<CNPhoneNumber>(std::move(id), std::move(label), CNPhoneNumber{std::move(value)});
    };
    DateComponents partial;
    partial.year = -44;
    partial.day = 15;
    const struct {
        const char* column;
        const char* text;
        Phones phones;
        CNPostalAddress address;
        std::optional<DateComponents> birthday;
        bool unreadable = false;
    } cases[] = {
        {"phone_numbers", R"( [ { "value" : "1\u00e9\ud83d\ude00" , "label" : null, "identifier":"p1" } ] )",
         {phone("p1", std::nullopt, "1\xC3\xA9\xF0\x9F\x98\x80")}},
        {"phone_numbers", R"([{"identifier":"p1","label":"a\"b","value":"x\\y\/z\n"}])", {phone("p1", "a\"b", "x\\y/z\n")}},
        {"phone_numbers", R"([{"identifier":"p1","value":5,"extra":true},"junk",{"value":"2","label":7}])",
         {phone("p1", std::nullopt, ""), phone("", std::nullopt, "2")}, {}, {}, true},
        {"phone_numbers", "[{\"identifier\":\"p1\",\"value\":\"\xFF\"}]", {}, {}, {}, true},
        {"phone_numbers", "[{\"identifier\":\"p1\",\"value\":\"\xED\xA0\x80\"}]", {}, {}, {}, true},  // a surrogate
        {"phone_numbers", R"([{"identifier":"p1","value":"1"}] and more)", {}, {}, {}, true},
        // Long texts, read eight bytes at a time: what stops a run may fall anywhere in a word.
        {"phone_numbers", "[{\"identifier\":\"a-long-identifier-0123\",\"label\":\"0123456\\\"89\\\\x\",\"value\":\"01234567 \xC3\xA9 tail\"}]",
         {phone("a-long-identifier-0123", "0123456\"89\\x", "01234567 \xC3\xA9 tail")}},
        {"phone_numbers", "[{\"identifier\":\"p1\",\"value\":\"0123456789ab\xFF\"}]", {}, {}, {}, true},
        {"phone_numbers", "[{\"identifier\":\"p1\",\"value\":\"0123456789\tab\"}]", {}, {}, {}, true},
        {"phone_numbers", "not json", {}, {}, {}, true},
        {"postal_addresses", R"([{"value":{"city":"Rome","planet":"Earth"},"value":{"street":"Via Appia"}}])", {},
         CNPostalAddress{"Via Appia", "", "", "", "", ""}},
        {"birthday", R"({"year":-44,"month":3.0,"day":15,"hour":123456789012345678901})", {}, {}, partial, true},
        // A value of another shape than the store writes is no empty one.
        {"phone_numbers", R"([{"identifier":"p1","value":{"stringValue":"555 0100"}}])", {phone("p1", std::nullopt, "")}, {}, {}, true},
        {"birthday", R"({"day":015})", {}, {}, DateComponents{}, true},
    };
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file_.c_str(), &db), SQLITE_OK);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.column) + " " + c.text);
        const std::string sql = std::string("UPDATE contacts SET phone_numbers = '[]', postal_addresses = '[]',"
                                            " birthday = NULL, ") + c.column + " = ?";
        sqlite3_stmt* st = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK);
        sqlite3_bind_text(st, 1, c.text, -1, SQLITE_TRANSIENT);
        ASSERT_EQ(sqlite3_step(st), SQLITE_DONE);
        sqlite3_finalize(st);
        auto found = fetch(nullptr, {CNContactPhoneNumbersKey, CNContactPostalAddressesKey, CNContactBirthdayKey});
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0]->phoneNumbers(), c.phones);
        const auto& addresses = found[0]->postalAddresses();
        if (c.address == CNPostalAddress{}) {
            EXPECT_TRUE(addresses.empty());
        } else {
            ASSERT_EQ(addresses.size(), 1u);
            EXPECT_EQ(addresses[0].value(), c.address);
        }
        EXPECT_EQ(found[0]->birthday(), c.birthday);
        EXPECT_EQ(found[0]->unreadableKeys().size(), c.unreadable ? 1u : 0u);
    }
    sqlite3_close(db);
}

TEST_F(ContactStoreTest, UnreadableOrNewerFilesFailWithAnError) {
    // A file of a newer schema is refused, not altered.
    {
        auto c = addContainer("Local");
        ASSERT_TRUE(c);
    }
    store_.reset();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file_.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    auto junk = dir_ / "junk.sqlite";  // a file that is no database at all
    ASSERT_TRUE(writeFileAtomically(junk, std::string(4096, 'x')));
    CNSaveRequest add;
    add.addContact(std::make_shared<CNMutableContact>(), std::nullopt);

    // Every operation of the stores reports the failure, with the store's domain and code.
    for (const auto& file : {file_, junk}) {
        SCOPED_TRACE(file.filename().string());
        CNContactStore store(file);
        ACAccountStore accounts(file);
        const std::pair<const char*, Error> failures[] = {
            {"contacts", store.unifiedContactsMatchingPredicate(nullptr, {CNContactGivenNameKey}).error()},
            {"count", store.countOfContactsMatchingPredicate(nullptr).error()},
            {"identifiers", store.identifiersOfContactsMatchingPredicate(nullptr).error()},
            {"enumerate", store.enumerateContactsWithFetchRequest(CNContactFetchRequest({CNContactGivenNameKey}),
                                                                 [](const CNContactPtr&, bool&) {}).error()},
            {"groups", store.groupsMatchingPredicate(nullptr).error()},
            {"containers", store.containersMatchingPredicate(nullptr).error()},
            {"save", store.executeSaveRequest(add).error()},
            {"add container", store.addContainer("New", CNContainerType::Local).error()},
            {"default container", store.setDefaultContainerIdentifier("any").error()},
            {"account", accounts.accountWithIdentifier("x").error()},
            {"save account", accounts.saveAccount(ACAccount("x", Value::dictionary())).error()},
        };
        for (const auto& [what, error] : failures) {
            EXPECT_EQ(error.domain, CNErrorDomain) << what;
            EXPECT_EQ(error.code, CNErrorCodeCommunicationError) << what;
            if (file == file_) EXPECT_NE(error.localizedDescription().find("99"), std::string::npos) << what;
        }
        EXPECT_EQ(store.defaultContainerIdentifier(), "");
    }
    EXPECT_EQ(AssertionHandler::count(), 0u);  // each call failed: no error was read from a success
}

TEST_F(ContactStoreTest, AddressBookRecordsGiveTheDatesOfAContact) {
    auto clock = std::make_shared<ManualClock>(Date(2000));
    Clock::setCurrent(clock);
    addContainer("Local");
    auto c = std::make_shared<CNMutableContact>();
    CNSaveRequest add;
    add.addContact(c, std::nullopt);
    ASSERT_TRUE(save(add));
    clock->advance(90);
    c->setNote("changed");
    CNSaveRequest update;
    update.updateContact(c);
    ASSERT_TRUE(save(update));
    Clock::setCurrent(nullptr);

    ABAddressBook book(file_);
    auto record = book.recordForUniqueId(c->identifier());
    ASSERT_TRUE(record);
    EXPECT_EQ(record->uniqueId(), c->identifier());
    EXPECT_EQ(record->creationDate(), Date(2000));
    EXPECT_EQ(record->modificationDate(), Date(2090));
    EXPECT_FALSE(book.recordForUniqueId("nobody:ABPerson"));
    EXPECT_FALSE(ABAddressBook(dir_ / "junk" / "x.sqlite").recordForUniqueId(c->identifier()));
}

TEST_F(ContactStoreTest, StandardFileLivesUnderTheDataHome) {
    auto path = CNContactStore::defaultPath();
    EXPECT_EQ(path.filename(), "Contacts.sqlite");
    EXPECT_EQ(path.string().rfind(Paths::dataHome().string(), 0), 0u);
    CNContactStore standard;
    EXPECT_EQ(standard.path(), path);
}

}  // namespace
