// Merging converted values into a Google contact and into a local contact: merge against
// replace, the tolerant equality that decides which existing values a new one covers, the
// Google phone cap and the limits of an Exchange account.

#include <gtest/gtest.h>

#include "gdata/GDataWhen.h"
#include "platform/contacts/CNContactKeys.h"
#include "platform/contacts/CNSaveRequest.h"
#include "tests/sync/SyncTestSupport.h"

namespace quorvane::testing {
namespace {

using platform::CNLabeledValue;

const std::string kGD = "http://schemas.google.com/g/2005";

std::shared_ptr<GDataEmail> email(const std::string& address, const std::string& rel) {
    auto e = GDataEmail::emailWithLabel(std::nullopt, address);
    e->setRel(kGD + rel);
    return e;
}

std::shared_ptr<GDataPhoneNumber> phone(const std::string& number) {
    return GDataPhoneNumber::phoneNumberWithString(number);
}

std::shared_ptr<GDataStructuredPostalAddress> address(std::optional<std::string> street,
                                                      std::optional<std::string> city,
                                                      std::optional<std::string> postCode) {
    auto a = GDataStructuredPostalAddress::structuredPostalAddress();
    a->setStreet(std::move(street));
    a->setCity(std::move(city));
    a->setPostCode(std::move(postCode));
    return a;
}

std::shared_ptr<GDataContactEvent> event(const std::string& rel, const std::string& day) {
    return GDataContactEvent::eventWithRel(rel, std::nullopt,
                                           GDataWhen::whenWithStartTime(GDataDateTime(day), std::nullopt));
}

template <class T, class F>
std::vector<std::string> texts(const std::vector<std::shared_ptr<T>>& list, F f) {
    std::vector<std::string> out;
    for (const auto& item : list) out.push_back(f(*item).value_or("<nil>"));
    return out;
}

std::vector<std::string> addresses(const std::shared_ptr<GDataEntryContact>& g) {
    return texts(g->emailAddresses(), [](const GDataEmail& e) { return e.address(); });
}

template <class T, class F>
std::vector<std::string> values(const std::vector<CNLabeledValue<T>>& list, F f) {
    std::vector<std::string> out;
    for (const auto& item : list) out.push_back(f(item.value()));
    return out;
}

std::vector<CNLabeledValue<std::string>> strings(const std::vector<std::string>& list) {
    std::vector<CNLabeledValue<std::string>> out;
    for (const auto& s : list) out.emplace_back(std::string(platform::CNLabelHome), s);
    return out;
}

std::string plain(const std::string& s) { return s; }

class QuorvaneModelMergeTest : public SyncModelTestBase {
protected:
    std::shared_ptr<GDataEntryContact> google() { return makeGoogleContact("Ann", std::nullopt, "Lee"); }
    platform::CNMutableContactPtr apple() { return std::make_shared<platform::CNMutableContact>(); }
};

// ----- Google side -----

TEST_F(QuorvaneModelMergeTest, GoogleEmailsMergeReplacesCoveredAddressesAndReplaceDropsAll) {
    auto g = google();
    g->setEmailAddresses(std::vector{email("p@example.com", "#home"), email("q@example.com", "#home")});
    // Equal to P but for letter case: P gives way to the new address with its work rel.
    model_->mergeNewGoogleEmailsWithGoogleContact(g, {email("P@Example.com", "#work")}, true);
    EXPECT_EQ(addresses(g), (std::vector<std::string>{"q@example.com", "P@Example.com"}));
    EXPECT_EQ(g->emailAddresses()[1]->rel(), kGD + "#work");

    // Merging the same values again adds nothing twice.
    model_->mergeNewGoogleEmailsWithGoogleContact(g, {email("p@example.com", "#work"), email("Q@EXAMPLE.COM", "#home")},
                                                  true);
    EXPECT_EQ(addresses(g), (std::vector<std::string>{"p@example.com", "Q@EXAMPLE.COM"}));

    // Without merge every existing address goes, even when nothing new comes.
    model_->mergeNewGoogleEmailsWithGoogleContact(g, {email("r@example.com", "#other")}, false);
    EXPECT_EQ(addresses(g), (std::vector<std::string>{"r@example.com"}));
    model_->mergeNewGoogleEmailsWithGoogleContact(g, {}, false);
    EXPECT_TRUE(g->emailAddresses().empty());

    // With merge and nothing new, the contact keeps what it has.
    g->setEmailAddresses(std::vector{email("s@example.com", "#home")});
    model_->mergeNewGoogleEmailsWithGoogleContact(g, {}, true);
    EXPECT_EQ(addresses(g), (std::vector<std::string>{"s@example.com"}));
    model_->mergeNewGoogleEmailsWithGoogleContact(nullptr, {email("t@example.com", "#home")}, true);
}

TEST_F(QuorvaneModelMergeTest, GooglePhonesCompareAsNumbersAndStopAtTheCap) {
    auto g = google();
    g->setPhoneNumbers(std::vector{phone("(555) 123-4567"), phone("555 000 1111")});
    model_->mergeNewGooglePhonesWithGoogleContact(g, {phone("555.123.4567")}, true);
    EXPECT_EQ(texts(g->phoneNumbers(), [](const GDataPhoneNumber& p) { return p.stringValue(); }),
              (std::vector<std::string>{"555 000 1111", "555.123.4567"}));

    // 449 numbers and three new ones: one more fits.
    std::vector<std::shared_ptr<GDataPhoneNumber>> many;
    for (int i = 0; i < 449; ++i) many.push_back(phone("1000" + std::to_string(i)));
    g->setPhoneNumbers(many);
    model_->mergeNewGooglePhonesWithGoogleContact(g, {phone("2001"), phone("2002"), phone("2003")}, true);
    auto numbers = g->phoneNumbers();
    ASSERT_EQ(numbers.size(), QuorvaneModel::kMaxGooglePhoneNumbers);
    EXPECT_EQ(numbers.back()->stringValue(), "2001");

    // Without merge the new numbers alone, however few.
    model_->mergeNewGooglePhonesWithGoogleContact(g, {phone("3001")}, false);
    ASSERT_EQ(g->phoneNumbers().size(), 1u);
}

TEST_F(QuorvaneModelMergeTest, GoogleAddressesAreOneValueByStreetCityAndPostCode) {
    auto g = google();
    auto otherCity = address("1 Main St", "Shelbyville", "62701");
    auto sameCityOtherStreet = address("9 Elm St", "Springfield", "62702");
    auto same = address("1 MAIN ST ", "springfield", "62701");
    g->setStructuredPostalAddresses(std::vector{otherCity, sameCityOtherStreet, same});
    model_->mergeNewGoogleAddressesWithGoogleContact(g, {address("1 main st", "Springfield", "62701")}, true);
    EXPECT_EQ(texts(g->structuredPostalAddresses(), [](const GDataStructuredPostalAddress& a) { return a.street(); }),
              (std::vector<std::string>{"1 Main St", "9 Elm St", "1 main st"}));

    // The street text joins the post box and neighbourhood and ignores line breaks.
    auto multiLine = address("1 Main St\nFlat 2", "Springfield", "62701");
    multiLine->setPOBox("PO 7");
    g->setStructuredPostalAddresses(std::vector{multiLine});
    auto oneLine = address("1 Main St Flat 2", "Springfield", "62701");
    oneLine->setPOBox("po 7");
    model_->mergeNewGoogleAddressesWithGoogleContact(g, {oneLine}, true);
    ASSERT_EQ(g->structuredPostalAddresses().size(), 1u);
    EXPECT_EQ(g->structuredPostalAddresses()[0]->POBox(), "po 7");
}

TEST_F(QuorvaneModelMergeTest, GoogleEventsWebsitesRelationsAndIMCompareTheirOwnValuesOnly) {
    auto g = google();
    // Events: the day decides, the rel does not.
    g->setEvents(std::vector{event("anniversary", "1990-05-17"), event("other", "2001-01-01")});
    model_->mergeNewGoogleEventsWithGoogleContact(g, {event("other", "1990-05-17T08:00:00Z")}, true);
    auto events = g->events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]->rel(), "other");
    EXPECT_EQ(events[0]->when()->startTime()->dateComponents().year, 2001);
    EXPECT_EQ(events[1]->when()->startTime()->dateComponents().year, 1990);
    EXPECT_EQ(events[1]->rel(), "other");

    // Web addresses by href, ignoring case.
    g->setWebsiteLinks(std::vector{
        GDataContactLink::linkWithRel<GDataContactWebsiteLink>("home-page", std::nullopt, "http://ann.example"),
        GDataContactLink::linkWithRel<GDataContactWebsiteLink>("blog", std::nullopt, "http://blog.example")});
    model_->mergeNewGoogleURLsWithGoogleContact(
        g, {GDataContactLink::linkWithRel<GDataContactWebsiteLink>("work", std::nullopt, "HTTP://ANN.EXAMPLE")}, true);
    EXPECT_EQ(texts(g->websiteLinks(), [](const GDataContactWebsiteLink& l) { return l.href(); }),
              (std::vector<std::string>{"http://blog.example", "HTTP://ANN.EXAMPLE"}));

    // Relations by the related person's name.
    g->setRelations(std::vector{GDataContactRelation::relationWithRel("father", std::nullopt, "Bob Lee"),
                                GDataContactRelation::relationWithRel("sister", std::nullopt, "Cat Lee")});
    model_->mergeNewGoogleRelationsWithGoogleContact(
        g, {GDataContactRelation::relationWithRel("parent", std::nullopt, "bob lee")}, true);
    EXPECT_EQ(texts(g->relations(), [](const GDataContactRelation& r) { return r.stringValue(); }),
              (std::vector<std::string>{"Cat Lee", "bob lee"}));

    // IM addresses by address and protocol together.
    const std::string skype = kGD + "#SKYPE", aim = kGD + "#AIM";
    g->setIMAddresses(std::vector{GDataIM::IMWithProtocol(skype, kGD + "#home", std::nullopt, "ann"),
                                  GDataIM::IMWithProtocol(aim, kGD + "#home", std::nullopt, "ann")});
    model_->mergeNewGoogleIMAddressesWithGoogleContact(
        g, {GDataIM::IMWithProtocol(skype, kGD + "#work", std::nullopt, "ANN")}, true);
    auto ims = g->IMAddresses();
    ASSERT_EQ(ims.size(), 2u);
    EXPECT_EQ(ims[0]->protocol(), aim);
    EXPECT_EQ(ims[1]->rel(), kGD + "#work");
}

TEST_F(QuorvaneModelMergeTest, GoogleUserDefinedFieldsNeedKeyAndValueAndReplaceDropsEveryField) {
    auto g = google();
    g->setUserDefinedFields(std::vector{GDataContactUserDefinedField::userDefinedFieldWithKey("Twitter", "@ann"),
                                        GDataContactUserDefinedField::userDefinedFieldWithKey("Shoe size", "38")});
    model_->mergeNewGoogleUserDefinedFieldsWithGoogleContact(
        g,
        {GDataContactUserDefinedField::userDefinedFieldWithKey("twitter", "@ANN"),
         GDataContactUserDefinedField::userDefinedFieldWithKey("Flickr", "38")},
        true);
    EXPECT_EQ(texts(g->userDefinedFields(), [](const GDataContactUserDefinedField& f) { return f.key(); }),
              (std::vector<std::string>{"Shoe size", "twitter", "Flickr"}));

    // Without merge every field goes, also those that did not come from social profiles.
    model_->mergeNewGoogleUserDefinedFieldsWithGoogleContact(
        g, {GDataContactUserDefinedField::userDefinedFieldWithKey("Twitter", "@ann")}, false);
    EXPECT_EQ(texts(g->userDefinedFields(), [](const GDataContactUserDefinedField& f) { return f.key(); }),
              (std::vector<std::string>{"Twitter"}));
}

TEST_F(QuorvaneModelMergeTest, GoogleReplaceLeavesOnlyTheNewValuesInEveryField) {
    auto g = google();
    g->setStructuredPostalAddresses(std::vector{address("1 Main St", "Springfield", "1")});
    g->setWebsiteLinks(
        std::vector{GDataContactLink::linkWithRel<GDataContactWebsiteLink>("work", std::nullopt, "http://a")});
    g->setRelations(std::vector{GDataContactRelation::relationWithRel("father", std::nullopt, "Bob")});
    g->setIMAddresses(std::vector{GDataIM::IMWithProtocol(kGD + "#AIM", kGD + "#home", std::nullopt, "ann")});
    g->setEvents(std::vector{event("anniversary", "1990-05-17")});

    model_->mergeNewGoogleAddressesWithGoogleContact(g, {address("2 Elm St", "Shelbyville", "2")}, false);
    model_->mergeNewGoogleURLsWithGoogleContact(
        g, {GDataContactLink::linkWithRel<GDataContactWebsiteLink>("work", std::nullopt, "http://b")}, false);
    model_->mergeNewGoogleRelationsWithGoogleContact(g, {}, false);
    model_->mergeNewGoogleIMAddressesWithGoogleContact(g, {}, false);
    model_->mergeNewGoogleEventsWithGoogleContact(g, {event("other", "2001-01-01")}, false);

    EXPECT_EQ(texts(g->structuredPostalAddresses(), [](const GDataStructuredPostalAddress& a) { return a.street(); }),
              (std::vector<std::string>{"2 Elm St"}));
    EXPECT_EQ(texts(g->websiteLinks(), [](const GDataContactWebsiteLink& l) { return l.href(); }),
              (std::vector<std::string>{"http://b"}));
    EXPECT_TRUE(g->relations().empty());
    EXPECT_TRUE(g->IMAddresses().empty());
    ASSERT_EQ(g->events().size(), 1u);
    EXPECT_EQ(g->events()[0]->rel(), "other");
}

// ----- Local side -----

TEST_F(QuorvaneModelMergeTest, AppleEmailsMergeAppendsUncoveredValuesOnceAndExchangeKeepsTheLast) {
    auto c = apple();
    c->setEmailAddresses(strings({"a@example.com", "", "B@example.com", "b@EXAMPLE.com", "c@example.com"}));
    auto v = strings({"b@example.com"});
    model_->mergeNewAppleEmailsWithAppleContact(c, v, true, false);
    // New values first, then the existing ones not covered: the blank one skipped, B covered.
    const auto expected = std::vector<std::string>{"b@example.com", "a@example.com", "c@example.com"};
    EXPECT_EQ(values(v, plain), expected);
    EXPECT_EQ(values(c->emailAddresses(), plain), expected);

    // Exchange keeps three: with merge the existing values win over a new one.
    c->setEmailAddresses(strings({"a@example.com", "b@example.com", "c@example.com"}));
    v = strings({"new@example.com"});
    model_->mergeNewAppleEmailsWithAppleContact(c, v, true, true);
    EXPECT_EQ(values(c->emailAddresses(), plain),
              (std::vector<std::string>{"a@example.com", "b@example.com", "c@example.com"}));
    EXPECT_EQ(v.size(), 3u);

    // Without merge the new values replace the old ones.
    v = strings({"only@example.com"});
    model_->mergeNewAppleEmailsWithAppleContact(c, v, false, true);
    EXPECT_EQ(values(c->emailAddresses(), plain), (std::vector<std::string>{"only@example.com"}));
}

TEST_F(QuorvaneModelMergeTest, AppleExchangeLimitsKeepTheLastValues) {
    auto c = apple();
    std::vector<CNLabeledValue<platform::CNPhoneNumber>> phones;
    for (int i = 1; i <= 15; ++i)
        phones.emplace_back(std::string(platform::CNLabelHome),
                            platform::CNPhoneNumber{"555-01" + std::to_string(10 + i)});
    c->setPhoneNumbers({CNLabeledValue<platform::CNPhoneNumber>(std::nullopt, {"999"})});
    model_->mergeNewApplePhonesWithAppleContact(c, phones, false, true);
    auto kept = values(c->phoneNumbers(), [](const platform::CNPhoneNumber& p) { return p.stringValue; });
    ASSERT_EQ(kept.size(), QuorvaneModel::kExchangeMaxPhoneNumbers);
    EXPECT_EQ(kept.front(), "555-0114");
    EXPECT_EQ(kept.back(), "555-0125");

    // One web address and one date.
    c->setUrlAddresses(strings({"http://old.example"}));
    auto urls = strings({"http://a.example", "http://b.example"});
    model_->mergeNewAppleURLsWithAppleContact(c, urls, true, true);
    EXPECT_EQ(values(c->urlAddresses(), plain), (std::vector<std::string>{"http://old.example"}));
    model_->mergeNewAppleURLsWithAppleContact(c, urls = strings({"http://a.example", "http://b.example"}), false, true);
    EXPECT_EQ(values(c->urlAddresses(), plain), (std::vector<std::string>{"http://b.example"}));
    // Not an Exchange destination: no limit.
    model_->mergeNewAppleURLsWithAppleContact(c, urls = strings({"http://a.example"}), true, false);
    EXPECT_EQ(values(c->urlAddresses(), plain), (std::vector<std::string>{"http://a.example", "http://b.example"}));

    auto day = [](int64_t y, int64_t m, int64_t d) {
        platform::DateComponents c;
        c.year = y;
        c.month = m;
        c.day = d;
        return c;
    };
    c->setDates(
        {CNLabeledValue<platform::DateComponents>(std::string(platform::CNLabelDateAnniversary), day(1990, 5, 17))});
    std::vector<CNLabeledValue<platform::DateComponents>> dates{
        CNLabeledValue<platform::DateComponents>(std::string(platform::CNLabelOther), day(2001, 1, 1)),
        CNLabeledValue<platform::DateComponents>(std::string(platform::CNLabelOther), day(2002, 2, 2))};
    model_->mergeNewAppleEventsWithAppleContact(c, dates, true, true);
    ASSERT_EQ(c->dates().size(), 1u);
    EXPECT_EQ(c->dates()[0].value(), day(1990, 5, 17));

    // A date of the same day, in 1604 for no year, covers an existing one without a year.
    auto noYear = day(platform::DateComponents::kUndefined, 5, 17);
    c->setDates(
        {CNLabeledValue<platform::DateComponents>(std::string(platform::CNLabelOther), noYear),
         CNLabeledValue<platform::DateComponents>(std::string(platform::CNLabelOther), platform::DateComponents{})});
    dates = {CNLabeledValue<platform::DateComponents>(std::string(platform::CNLabelDateAnniversary), day(1604, 5, 17))};
    model_->mergeNewAppleEventsWithAppleContact(c, dates, true, false);
    ASSERT_EQ(c->dates().size(), 1u);
    EXPECT_EQ(c->dates()[0].label(), std::string(platform::CNLabelDateAnniversary));
}

TEST_F(QuorvaneModelMergeTest, AppleAddressesRelationsIMAndProfilesUseTheirOwnEquality) {
    auto c = apple();
    using platform::CNPostalAddress;
    auto addr = [](std::string street, std::string city, std::string code) {
        CNPostalAddress a;
        a.street = std::move(street);
        a.city = std::move(city);
        a.postalCode = std::move(code);
        return CNLabeledValue<CNPostalAddress>(std::string(platform::CNLabelHome), a);
    };
    // An empty address equals a new empty one; the same city with another street stays.
    c->setPostalAddresses(
        {addr("", "", ""), addr("9 Elm St", "Springfield", "1"), addr("1 Main St\nFlat 2", "X", "62701")});
    std::vector<CNLabeledValue<CNPostalAddress>> newAddresses{addr("", "", ""), addr("1 Main St", "Springfield", "2"),
                                                              addr("1 main st flat 2", "x", "62701")};
    model_->mergeNewAppleAddressesWithAppleContact(c, newAddresses, true, false);
    EXPECT_EQ(values(c->postalAddresses(), [](const CNPostalAddress& a) { return a.street; }),
              (std::vector<std::string>{"", "1 Main St", "1 main st flat 2", "9 Elm St"}));

    // Relations by name, blank names skipped.
    using platform::CNContactRelation;
    auto rel = [](std::string name) {
        return CNLabeledValue<CNContactRelation>(std::string(platform::CNLabelContactRelationFather),
                                                 CNContactRelation{std::move(name)});
    };
    c->setContactRelations({rel("Bob Lee"), rel(""), rel("Cat Lee")});
    std::vector<CNLabeledValue<CNContactRelation>> relations{rel("BOB LEE")};
    model_->mergeNewAppleRelationsWithAppleContact(c, relations, true, false);
    EXPECT_EQ(values(c->contactRelations(), [](const CNContactRelation& r) { return r.name; }),
              (std::vector<std::string>{"BOB LEE", "Cat Lee"}));

    // IM addresses by service and user name: another service is another value.
    using platform::CNInstantMessageAddress;
    auto im = [](std::string user, std::string service) {
        return CNLabeledValue<CNInstantMessageAddress>(std::string(platform::CNLabelHome),
                                                       CNInstantMessageAddress{std::move(user), std::move(service)});
    };
    c->setInstantMessageAddresses({im("ann", "Skype"), im("ann", "AIM"), im("", "ICQ")});
    std::vector<CNLabeledValue<CNInstantMessageAddress>> ims{im("ANN", "Skype"), im("ann", "Jabber")};
    model_->mergeNewAppleIMAddressesWithAppleContact(c, ims, true, false);
    EXPECT_EQ(values(c->instantMessageAddresses(), [](const CNInstantMessageAddress& a) { return a.service + ":" + a.username; }),
              (std::vector<std::string>{"Skype:ANN", "Jabber:ann", "AIM:ann"}));

    // Social profiles: an empty user name is dropped, no Exchange limit applies.
    using platform::CNSocialProfile;
    auto profile = [](std::string user, std::string service) {
        return CNLabeledValue<CNSocialProfile>(std::nullopt, CNSocialProfile{std::move(user), std::move(service)});
    };
    c->setSocialProfiles({profile("", "Twitter"), profile("ann", "Flickr"), profile("ann", "Twitter")});
    std::vector<CNLabeledValue<CNSocialProfile>> profiles{profile("Ann", "twitter")};
    model_->mergeNewAppleSocialProfilesWithAppleContact(c, profiles, true);
    EXPECT_EQ(values(c->socialProfiles(), [](const CNSocialProfile& p) { return p.service + ":" + p.username; }),
              (std::vector<std::string>{"twitter:Ann", "Flickr:ann"}));
}

TEST_F(QuorvaneModelMergeTest, AppleReplaceLeavesOnlyTheNewValuesInEveryField) {
    auto c = apple();
    platform::CNPostalAddress oldAddress;
    oldAddress.street = "1 Main St";
    oldAddress.city = "Springfield";
    c->setPostalAddresses({CNLabeledValue<platform::CNPostalAddress>(std::nullopt, oldAddress)});
    c->setContactRelations({CNLabeledValue<platform::CNContactRelation>(std::nullopt, {"Bob"})});
    c->setInstantMessageAddresses({CNLabeledValue<platform::CNInstantMessageAddress>(std::nullopt, {"ann", "AIM"})});
    c->setSocialProfiles({CNLabeledValue<platform::CNSocialProfile>(std::nullopt, {"ann", "Twitter"})});
    platform::DateComponents oldDay{.year = 1990, .month = 5, .day = 17};
    c->setDates({CNLabeledValue<platform::DateComponents>(std::nullopt, oldDay)});

    platform::CNPostalAddress newAddress;
    newAddress.street = "2 Elm St";
    newAddress.city = "Shelbyville";
    std::vector<CNLabeledValue<platform::CNPostalAddress>> addresses{{std::nullopt, newAddress}};
    std::vector<CNLabeledValue<platform::CNContactRelation>> relations;
    std::vector<CNLabeledValue<platform::CNInstantMessageAddress>> ims{{std::nullopt, {"ann", "Skype"}}};
    std::vector<CNLabeledValue<platform::CNSocialProfile>> profiles;
    std::vector<CNLabeledValue<platform::DateComponents>> dates;
    model_->mergeNewAppleAddressesWithAppleContact(c, addresses, false, false);
    model_->mergeNewAppleRelationsWithAppleContact(c, relations, false, false);
    model_->mergeNewAppleIMAddressesWithAppleContact(c, ims, false, false);
    model_->mergeNewAppleSocialProfilesWithAppleContact(c, profiles, false);
    model_->mergeNewAppleEventsWithAppleContact(c, dates, false, false);

    ASSERT_EQ(c->postalAddresses().size(), 1u);
    EXPECT_EQ(c->postalAddresses()[0].value(), newAddress);
    EXPECT_TRUE(c->contactRelations().empty());
    ASSERT_EQ(c->instantMessageAddresses().size(), 1u);
    EXPECT_EQ(c->instantMessageAddresses()[0].value().service, "Skype");
    EXPECT_TRUE(c->socialProfiles().empty());
    EXPECT_TRUE(c->dates().empty());
}

TEST_F(QuorvaneModelMergeTest, AppleMergeOnAStoredContactKeepsItsValuesThroughASave) {
    auto stored = std::dynamic_pointer_cast<platform::CNMutableContact>(
        makeAppleContact({.given = "Ann", .emails = {"a@example.com", "b@example.com"}}));
    ASSERT_TRUE(store_->addContainer("On This Computer", platform::CNContainerType::Local));
    platform::CNSaveRequest add;
    add.addContact(stored, std::nullopt);
    ASSERT_TRUE(store_->executeSaveRequest(add));

    auto fetch = [&](std::vector<platform::CNKeyDescriptor> keys) {
        auto contacts = store_->unifiedContactsMatchingPredicate(
            platform::CNContact::predicateForContactsWithIdentifiers({stored->identifier()}), keys);
        EXPECT_TRUE(contacts && contacts->size() == 1);
        return contacts->front()->mutableCopy();
    };

    auto contact = fetch({platform::CNContactEmailAddressesKey});
    auto v = strings({"A@example.com", "z@example.com"});
    model_->mergeNewAppleEmailsWithAppleContact(contact, v, true, false);
    platform::CNSaveRequest update;
    update.updateContact(contact);
    ASSERT_TRUE(store_->executeSaveRequest(update));
    EXPECT_EQ(values(fetch({platform::CNContactEmailAddressesKey})->emailAddresses(), plain),
              (std::vector<std::string>{"A@example.com", "z@example.com", "b@example.com"}));

    // A contact read without the field has nothing to keep: the new values are set and the
    // unread field is not touched as if it were empty.
    platform::AssertionHandler::resetCount();
    auto partial = fetch({platform::CNContactGivenNameKey});
    auto urls = strings({"http://ann.example"});
    model_->mergeNewAppleURLsWithAppleContact(partial, urls, true, false);
    EXPECT_EQ(platform::AssertionHandler::count(), 0u);
    EXPECT_EQ(values(partial->urlAddresses(), plain), (std::vector<std::string>{"http://ann.example"}));
}

}  // namespace
}  // namespace quorvane::testing
