// Contact, group and profile entries and their feeds: whole-feed round trips that keep unknown
// XML, typed reading, primary marks, birthdays, one-value setters, system groups, kinds,
// versions and descriptions.

#include <gtest/gtest.h>

#include "gdata/GDataAtomElements.h"
#include "gdata/GDataCategory.h"
#include "gdata/GDataContactConstants.h"
#include "gdata/GDataEmail.h"
#include "gdata/GDataFeedContact.h"
#include "gdata/GDataFeedContactGroup.h"
#include "gdata/GDataFeedContactProfile.h"
#include "gdata/GDataTextConstruct.h"
#include "gdata/GDataWhen.h"
#include "platform/foundation/Calendar.h"
#include "platform/foundation/Log.h"
#include "tests/gdata/GDataElementTestSupport.h"
#include "tests/gdata/GDataXMLTestSupport.h"
#include "tests/gdata/XMLInfosetTestSupport.h"
#include "tests/support/ContactsFeedGenerator.h"

using namespace quorvane;
using elementtest::contains;
using elementtest::xmlOf;

namespace {

platform::Bytes bytes(const std::string& s) { return platform::Bytes(s.begin(), s.end()); }
std::string text(const platform::Bytes& b) { return std::string(b.begin(), b.end()); }

std::string generated(const GDataObject& o) {
    auto doc = o.XMLDocument();
    EXPECT_TRUE(doc);
    auto data = doc ? doc->XMLData() : std::nullopt;
    EXPECT_TRUE(data);
    return data ? text(*data) : std::string();
}

platform::Date noonUTC(int64_t year, int64_t month, int64_t day) {
    platform::Calendar calendar(platform::TimeZone::universal());
    platform::DateComponents c;
    c.year = year;
    c.month = month;
    c.day = day;
    c.hour = 12;
    c.minute = 0;
    c.second = 0;
    return *calendar.date(c);
}

std::string entryXML(const std::string& body) {
    return "<entry xmlns='http://www.w3.org/2005/Atom' xmlns:gd='http://schemas.google.com/g/2005'"
           " xmlns:gContact='http://schemas.google.com/contact/2008'>"
           "<category scheme='http://schemas.google.com/g/2005#kind' term='http://schemas.google.com/contact/2008#contact'/>" +
           body + "</entry>";
}

std::shared_ptr<GDataEntryContact> parseContact(const std::string& body) {
    registerContactClasses();
    return elementtest::parse<GDataEntryContact>(entryXML(body));
}

std::vector<std::string> unknownNames(const GDataObject& o) {
    std::vector<std::string> names;
    for (const auto& n : o.unknownChildren()) names.push_back(n->name().value_or(""));
    return names;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The comparison the round trips rely on

TEST(XMLInfoset, IgnoresPrefixesAttributeOrderAndIndentationButNothingElse) {
    const std::string a = "<a xmlns='urn:a' xmlns:p='urn:p'>\n  <p:b x='1' p:y='2'>t</p:b>\n  <c/><p:b/></a>";
    EXPECT_TRUE(infoset::sameInfoset(a, "<q:a xmlns:q='urn:a'><c xmlns='urn:a'/><b xmlns='urn:p' xmlns:z='urn:p' z:y='2' "
                                        "x='1'>t</b><b xmlns='urn:p'/></q:a>"));
    EXPECT_FALSE(infoset::sameInfoset(a, "<a xmlns='urn:a' xmlns:p='urn:p'><p:b x='1'>t</p:b><c/><p:b/></a>"));
    EXPECT_FALSE(infoset::sameInfoset(a, "<a xmlns='urn:a' xmlns:p='urn:p'><p:b x='1' p:y='2'>u</p:b><c/><p:b/></a>"));
    EXPECT_FALSE(infoset::sameInfoset(a, "<a xmlns='urn:a' xmlns:p='urn:p'><p:b x='1' p:y='2'>t</p:b><c/></a>"));
    EXPECT_FALSE(infoset::sameInfoset(a, "<a xmlns='urn:a' xmlns:p='urn:p'><p:b x='1' y='2'>t</p:b><c/><p:b/></a>"));
    // Same-named siblings keep their order.
    EXPECT_FALSE(infoset::sameInfoset(a, "<a xmlns='urn:a' xmlns:p='urn:p'><p:b/><c/><p:b x='1' p:y='2'>t</p:b></a>"));
}

// ---------------------------------------------------------------------------------------------
// Whole feeds

TEST(GDataFeedContact, GeneratedFeedRoundTripKeepsEveryElementAndAttributeAndIsStable) {
    const std::string original = quorvane::testing::generateContactsFeed({200, 11, true});
    auto feed = GDataFeedContact::contactFeedWithXMLData(bytes(original));
    ASSERT_TRUE(feed);
    ASSERT_EQ(feed->entryCount(), 200u);

    // Every element the generator writes inside an entry is modelled, except the one that is
    // unknown on purpose; unknown parts nested in modelled elements stay with those elements.
    for (size_t i = 0; i < feed->entryCount(); ++i) {
        auto contact = std::dynamic_pointer_cast<GDataEntryContact>(feed->entryAtIndex(i));
        ASSERT_TRUE(contact) << i;
        EXPECT_EQ(unknownNames(*contact), std::vector<std::string>{"q:unknown"}) << i;
        EXPECT_EQ(contact->unknownAttributes().size(), 1u) << i;
        EXPECT_EQ(unknownNames(*contact->organizations().at(0)), std::vector<std::string>{"q:badge"}) << i;
        EXPECT_EQ(contact->emailAddresses().at(1)->unknownAttributes().size(), 1u) << i;
    }
    EXPECT_EQ(unknownNames(*feed), std::vector<std::string>{"q:feedNote"});

    const std::string first = generated(*feed);
    EXPECT_TRUE(infoset::sameInfoset(original, first));

    auto again = GDataFeedContact::contactFeedWithXMLData(bytes(first));
    ASSERT_TRUE(again);
    const std::string second = generated(*again);
    EXPECT_EQ(second, first) << "a second generation must be byte-identical";
    // Generation drops a declaration an ancestor already makes (the unknown parts redeclare
    // theirs); where a namespace is declared is not content, so what was read back is equal.
    for (size_t i = 0; i < feed->entryCount(); ++i) {
        EXPECT_TRUE(feed->entryAtIndex(i)->isEqual(*again->entryAtIndex(i))) << i;
        EXPECT_TRUE(again->entryAtIndex(i)->isEqual(*feed->entryAtIndex(i))) << i;
    }
    EXPECT_TRUE(feed->isEqual(*again));
    auto third = GDataFeedContact::contactFeedWithXMLData(bytes(second));
    ASSERT_TRUE(third);
    EXPECT_TRUE(third->isEqual(*again));
    // A prefix bound to another namespace is still a difference.
    auto email = std::dynamic_pointer_cast<GDataEntryContact>(again->entryAtIndex(0))->emailAddresses().at(1);
    auto rebound = std::dynamic_pointer_cast<GDataObject>(email->copy());
    rebound->setNamespaces({{"q", "urn:other"}});
    EXPECT_FALSE(rebound->isEqual(*email));
    EXPECT_FALSE(email->isEqual(*rebound));

    auto copy = std::dynamic_pointer_cast<GDataFeedContact>(feed->copy());
    ASSERT_TRUE(copy);
    EXPECT_EQ(generated(*copy), first);
}

TEST(GDataFeedContact, UnknownAttributesSharingALocalNameWithAKnownOneAreKept) {
    // x:address beside address, a plain etag and x:etag beside gd:etag, a plain lang beside
    // xml:lang: unmodelled attributes an update would otherwise erase on the server.
    const std::string original =
        "<feed xmlns='http://www.w3.org/2005/Atom' xmlns:gd='http://schemas.google.com/g/2005'"
        " xmlns:gContact='http://schemas.google.com/contact/2008' xmlns:x='urn:x'>"
        "<entry gd:etag='E1' etag='plain' x:etag='other'>"
        "<category scheme='http://schemas.google.com/g/2005#kind' term='http://schemas.google.com/contact/2008#contact'/>"
        "<title xml:lang='en' lang='fr'>T</title>"
        "<gd:email address='a@example.com' x:address='b@example.com' rel='http://schemas.google.com/g/2005#home'/>"
        "</entry></feed>";
    registerContactClasses();
    auto feed = GDataFeedContact::contactFeedWithXMLData(bytes(original));
    ASSERT_TRUE(feed);
    const std::string first = generated(*feed);
    EXPECT_TRUE(infoset::sameInfoset(original, first)) << first;
    auto again = GDataFeedContact::contactFeedWithXMLData(bytes(first));
    ASSERT_TRUE(again);
    EXPECT_EQ(generated(*again), first);
}

TEST(GDataEntryContact, JoinersMarksAndSoftHyphensAreWrittenBackUnchanged) {
    // Persian with a zero-width non-joiner, an emoji sequence with joiners, Hebrew with a
    // direction mark, a soft hyphen and a word joiner.
    const std::string name = "\u0645\u06CC\u200C\u062E\u0648\u0627\u0647\u0645 \U0001F469\u200D\U0001F4BB";
    const std::string note = "\u05E9\u05DC\u05D5\u05DD\u200F (Tel\u00ADAviv)\u2060!";
    auto contact = parseContact("<title>" + name + "</title><content>" + note + "</content><gd:name><gd:fullName>" +
                                name + "</gd:fullName></gd:name>");
    ASSERT_TRUE(contact);
    const std::string xml = xmlOf(*contact);
    EXPECT_TRUE(contains(xml, "<gd:fullName>" + name + "</gd:fullName>")) << xml;
    EXPECT_TRUE(contains(xml, ">" + note + "</content>")) << xml;
    EXPECT_TRUE(contains(xml, "<title>" + name + "</title>")) << xml;
}

TEST(GDataFeedContact, FeedWithoutUnknownPartsParsesBackIntoAnEqualFeed) {
    const std::string original = quorvane::testing::generateContactsFeed({40, 5, false});
    auto feed = GDataFeedContact::contactFeedWithXMLData(bytes(original));
    ASSERT_TRUE(feed);
    ASSERT_EQ(feed->entryCount(), 40u);
    for (size_t i = 0; i < feed->entryCount(); ++i) EXPECT_TRUE(feed->entryAtIndex(i)->unknownChildren().empty()) << i;
    const std::string first = generated(*feed);
    EXPECT_TRUE(infoset::sameInfoset(original, first));
    auto again = GDataFeedContact::contactFeedWithXMLData(bytes(first));
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->isEqual(*feed));
    EXPECT_TRUE(feed->isEqual(*again));
    EXPECT_EQ(generated(*again), first);
}

TEST(GDataFeedContactGroup, GeneratedGroupsFeedRoundTripsAndFindsSystemGroups) {
    const std::string original = quorvane::testing::generateGroupsFeed(12, 3);
    auto feed = GDataFeedContactGroup::contactGroupFeedWithXMLData(bytes(original));
    ASSERT_TRUE(feed);
    ASSERT_EQ(feed->entryCount(), 16u);
    for (size_t i = 0; i < feed->entryCount(); ++i) {
        auto group = std::dynamic_pointer_cast<GDataEntryContactGroup>(feed->entryAtIndex(i));
        ASSERT_TRUE(group);
        EXPECT_TRUE(group->unknownChildren().empty()) << i;
        // System groups are exactly those with the marker.
        EXPECT_EQ(group->systemGroup() != nullptr, i < 4) << i;
        EXPECT_EQ(group->extendedProperties().size(), i < 4 ? 0u : 1u) << i;
    }

    auto myContacts = feed->entryForSystemGroupID(kGDataSystemGroupIDMyContacts);
    ASSERT_TRUE(myContacts);
    EXPECT_EQ(myContacts->title()->stringValue(), "System Group: My Contacts");
    EXPECT_EQ(feed->entryForSystemGroupID(kGDataSystemGroupIDCoworkers), feed->entryAtIndex(3));
    EXPECT_FALSE(feed->entryForSystemGroupID("Nobody"));

    const std::string first = generated(*feed);
    EXPECT_TRUE(infoset::sameInfoset(original, first));
    auto again = GDataFeedContactGroup::contactGroupFeedWithXMLData(bytes(first));
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->isEqual(*feed));
    EXPECT_EQ(generated(*again), first);

    // A groups feed holding only user groups has no "My Contacts".
    auto userOnly = GDataFeedContactGroup::contactGroupFeed();
    userOnly->addEntry(GDataEntryContactGroup::contactGroupEntryWithTitle("Climbing"));
    EXPECT_FALSE(userOnly->entryForSystemGroupID(kGDataSystemGroupIDMyContacts));
}

TEST(GDataFeedContact, AFreshProcessParsesAContactsFeedThroughTheBaseClassIntoContacts) {
    // The statement runs in a newly started copy of this program, where no contact factory has
    // been used yet.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string xml = quorvane::testing::generateContactsFeed({3, 2, false});
    EXPECT_EXIT(
        {
            auto feed = GDataFeedBase::feedWithXMLData(GDataFeedBase::staticClassInfo(), bytes(xml)).valueOr(nullptr);
            bool contacts = feed && feed->entryCount() == 3;
            for (size_t i = 0; contacts && i < feed->entryCount(); ++i)
                contacts = std::dynamic_pointer_cast<GDataEntryContact>(feed->entryAtIndex(i)) != nullptr;
            std::_Exit(contacts ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(GDataFeedContact, WrittenXMLBindsEveryPrefixWhereverTheObjectIsWritten) {
    // An entry parsed from a feed, which declared the prefixes, and written on its own.
    auto feed = GDataFeedContact::contactFeedWithXMLData(bytes(quorvane::testing::generateContactsFeed({2, 2, true})));
    ASSERT_TRUE(feed);
    auto entry = feed->entryAtIndex(1);
    const std::string alone = generated(*entry);
    EXPECT_TRUE(xmltest::reparsesCleanly(alone));
    EXPECT_TRUE(contains(alone, "http://schemas.google.com/g/2005")) << alone;

    // A new element added to a feed that binds the gd namespace to another prefix.
    const std::string original =
        "<feed xmlns='http://www.w3.org/2005/Atom' xmlns:g='http://schemas.google.com/g/2005'>"
        "<entry><category scheme='http://schemas.google.com/g/2005#kind'"
        " term='http://schemas.google.com/contact/2008#contact'/><g:email address='a@example.com'/></entry></feed>";
    auto other = GDataFeedContact::contactFeedWithXMLData(bytes(original));
    ASSERT_TRUE(other);
    auto contact = std::dynamic_pointer_cast<GDataEntryContact>(other->entryAtIndex(0));
    ASSERT_TRUE(contact);
    contact->addEmailAddress(GDataEmail::emailWithLabel(std::nullopt, "b@example.com"));
    const std::string written = generated(*other);
    EXPECT_TRUE(xmltest::reparsesCleanly(written));
    auto again = GDataFeedContact::contactFeedWithXMLData(bytes(written));
    ASSERT_TRUE(again);
    auto reread = std::dynamic_pointer_cast<GDataEntryContact>(again->entryAtIndex(0));
    ASSERT_TRUE(reread);
    EXPECT_EQ(reread->emailAddresses().size(), 2u) << written;
}

TEST(GDataFeedContact, KindsChooseTheContactClassesInFeedsOfAnyClass) {
    registerContactClasses();
    registerContactClasses();  // a second call registers nothing twice
    auto before = platform::AssertionHandler::count();
    const std::string mixed =
        "<feed xmlns='http://www.w3.org/2005/Atom' xmlns:gContact='http://schemas.google.com/contact/2008'>"
        "<entry><category scheme='http://schemas.google.com/g/2005#kind' term='http://schemas.google.com/contact/2008#group'/>"
        "<title>Friends</title><gContact:systemGroup id='Friends'/></entry>"
        "<entry><category scheme='http://schemas.google.com/g/2005#kind' term='http://schemas.google.com/contact/2008#contact'/>"
        "<gContact:nickname>Bo</gContact:nickname></entry>"
        "<entry><category scheme='http://schemas.google.com/g/2005#kind' term='http://schemas.google.com/contact/2008#profile'/>"
        "<gContact:occupation>Pilot</gContact:occupation></entry>"
        "</feed>";
    auto feed = GDataFeedBase::feedWithXMLData(GDataFeedBase::staticClassInfo(), bytes(mixed)).valueOr(nullptr);
    ASSERT_TRUE(feed);
    ASSERT_EQ(feed->entryCount(), 3u);
    auto group = std::dynamic_pointer_cast<GDataEntryContactGroup>(feed->entryAtIndex(0));
    ASSERT_TRUE(group);
    EXPECT_EQ(group->systemGroup()->identifier(), "Friends");
    auto contact = std::dynamic_pointer_cast<GDataEntryContact>(feed->entryAtIndex(1));
    ASSERT_TRUE(contact);
    EXPECT_EQ(contact->nickname(), "Bo");
    auto profile = std::dynamic_pointer_cast<GDataEntryContactProfile>(feed->entryAtIndex(2));
    ASSERT_TRUE(profile);
    EXPECT_EQ(profile->occupation(), "Pilot");

    // The root's own kind picks the feed class when none is asked for.
    auto root = GDataXMLElement::initWithXMLString(quorvane::testing::generateGroupsFeed(1)).valueOr(nullptr);
    ASSERT_TRUE(root);
    auto chosen = GDataObject::objectClassForXMLElement(nullptr, root);
    EXPECT_EQ(chosen, &GDataFeedContactGroup::staticClassInfo());
    EXPECT_EQ(platform::AssertionHandler::count(), before);
}

// ---------------------------------------------------------------------------------------------
// Reading a contact

TEST(GDataEntryContact, ReadsEveryKindOfContactElement) {
    auto c = parseContact(
        "<link rel='http://schemas.google.com/contacts/2008/rel#photo' type='image/*' href='https://p.example/1' "
        "gd:etag='&quot;ph&quot;'/>"
        "<link rel='http://schemas.google.com/contacts/2008/rel#edit-photo' type='image/*' href='https://p.example/1/e'/>"
        "<gd:name><gd:givenName yomi='Ai'>Ann</gd:givenName><gd:familyName>Lee</gd:familyName></gd:name>"
        "<gContact:yomiName>Ai Ri</gContact:yomiName>"
        "<gd:email address='a@x' rel='http://schemas.google.com/g/2005#home'/>"
        "<gd:email address='b@x' label='Spare' primary='true'/>"
        "<gd:phoneNumber rel='http://schemas.google.com/g/2005#mobile'>+1 555</gd:phoneNumber>"
        "<gd:im address='ann' protocol='http://schemas.google.com/g/2005#SKYPE' primary='TRUE'/>"
        "<gd:postalAddress>1 Main St</gd:postalAddress>"
        "<gd:structuredPostalAddress><gd:city>Oslo</gd:city></gd:structuredPostalAddress>"
        "<gd:organization primary='true'><gd:orgName>Acme</gd:orgName></gd:organization>"
        "<gContact:birthday when='--05-17'/><gContact:gender value='female'/>"
        "<gContact:hobby>chess</gContact:hobby><gContact:hobby>go</gContact:hobby>"
        "<gContact:event rel='anniversary'><gd:when startTime='2010-06-01'/></gContact:event>"
        "<gContact:relation rel='spouse'>Bo</gContact:relation>"
        "<gContact:website href='https://a.example' rel='blog'/>"
        "<gContact:calendarLink href='https://c.example' rel='free-busy' primary='true'/>"
        "<gContact:userDefinedField key='Team' value='Blue'/>"
        "<gContact:externalId rel='account' value='A-1'/><gContact:jot rel='user'>note</gContact:jot>"
        "<gContact:language code='fr'/><gContact:priority rel='high'/><gContact:sensitivity rel='private'/>"
        "<gd:where valueString='Office'/>"
        "<gd:extendedProperty name='a' value='1'/><gd:extendedProperty name='b' value='2'/>"
        "<gContact:groupMembershipInfo href='urn:g1'/><gContact:groupMembershipInfo href='urn:g2' deleted='true'/>");
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->unknownChildren().empty()) << unknownNames(*c).size();
    EXPECT_EQ(c->name()->givenName()->yomi(), "Ai");
    EXPECT_EQ(c->yomi(), "Ai Ri");
    ASSERT_EQ(c->emailAddresses().size(), 2u);
    EXPECT_EQ(c->primaryEmailAddress(), c->emailAddresses()[1]);
    EXPECT_EQ(c->phoneNumbers().at(0)->stringValue(), "+1 555");
    EXPECT_FALSE(c->primaryPhoneNumber());
    EXPECT_EQ(c->primaryIMAddress(), c->IMAddresses().at(0)) << "TRUE in capitals is true";
    EXPECT_EQ(c->postalAddresses().at(0)->stringValue(), "1 Main St");
    EXPECT_EQ(c->structuredPostalAddresses().at(0)->city(), "Oslo");
    EXPECT_EQ(c->primaryOrganization()->orgName(), "Acme");
    EXPECT_EQ(c->birthday(), "--05-17");
    EXPECT_EQ(c->gender(), "female");
    EXPECT_EQ(c->hobbies().size(), 2u);
    EXPECT_EQ(c->events().at(0)->rel(), "anniversary");
    EXPECT_TRUE(c->events().at(0)->when());
    EXPECT_EQ(c->relations().at(0)->stringValue(), "Bo");
    EXPECT_EQ(c->websiteLinks().at(0)->rel(), "blog");
    EXPECT_FALSE(c->primaryWebsiteLink());
    EXPECT_EQ(c->primaryCalendarLink(), c->calendarLinks().at(0));
    EXPECT_EQ(c->userDefinedFields().at(0)->key(), "Team");
    EXPECT_EQ(c->externalIDs().at(0)->stringValue(), "A-1");
    EXPECT_EQ(c->jots().at(0)->stringValue(), "note");
    EXPECT_EQ(c->languages().at(0)->code(), "fr");
    EXPECT_EQ(c->priority(), "high");
    EXPECT_EQ(c->sensitivity(), "private");
    EXPECT_EQ(c->where()->stringValue(), "Office");
    EXPECT_EQ(c->extendedPropertyForName("b")->value(), "2");
    EXPECT_FALSE(c->extendedPropertyForName("c"));
    EXPECT_EQ(c->groupMembershipInfoWithHref("urn:g2"), c->groupMembershipInfos().at(1));
    EXPECT_TRUE(c->groupMembershipInfoWithHref("urn:g2")->isDeleted());
    EXPECT_FALSE(c->groupMembershipInfoWithHref("urn:g3"));
    // The photo link, not the edit-photo link, with the ETag that marks a stored photo.
    ASSERT_TRUE(c->photoLink());
    EXPECT_EQ(c->photoLink()->href(), "https://p.example/1");
    EXPECT_EQ(c->photoLink()->ETag(), "\"ph\"");
    EXPECT_FALSE(parseContact("")->photoLink());

    // Unset one-value elements read as nil, not "".
    EXPECT_EQ(c->nickname(), std::nullopt);
    EXPECT_EQ(c->maidenName(), std::nullopt);
}

TEST(GDataFeedContact, EntriesWithGroupHrefKeepFeedOrder) {
    auto feed = GDataFeedContact::contactFeed();
    auto member = [](const char* title, std::vector<const char*> hrefs) {
        auto e = GDataEntryContact::contactEntryWithTitle(std::string(title));
        for (auto h : hrefs) e->addGroupMembershipInfo(GDataGroupMembershipInfo::groupMembershipInfoWithHref(std::string(h)));
        return e;
    };
    feed->addEntry(member("a", {"urn:g1"}));
    feed->addEntry(member("b", {"urn:g2"}));
    feed->addEntry(member("c", {"urn:g2", "urn:g1"}));
    auto inG1 = feed->entriesWithGroupHref("urn:g1");
    ASSERT_EQ(inG1.size(), 2u);
    EXPECT_EQ(inG1[0]->title()->stringValue(), "a");
    EXPECT_EQ(inG1[1]->title()->stringValue(), "c");
    EXPECT_TRUE(feed->entriesWithGroupHref("urn:none").empty());
    EXPECT_TRUE(GDataFeedContact::contactFeed()->entriesWithGroupHref("urn:g1").empty());
}

// ---------------------------------------------------------------------------------------------
// Primary marks

TEST(GDataEntryContact, SettingThePrimaryElementMovesTheMarkOrAppends) {
    auto c = GDataEntryContact::contactEntryWithFullNameString(std::string("Ann Lee"));
    auto mail = [](const char* address, bool primary) {
        auto e = GDataEmail::emailWithLabel(std::string("l"), std::string(address));
        e->setIsPrimary(primary);
        return e;
    };
    c->setEmailAddresses(std::vector{mail("a@x", true), mail("b@x", false), mail("c@x", false)});

    // Equal to the second apart from its mark: the mark moves there, in place.
    c->setPrimaryEmailAddress(mail("b@x", false));
    auto list = c->emailAddresses();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_FALSE(list[0]->isPrimary());
    EXPECT_TRUE(list[1]->isPrimary());
    EXPECT_FALSE(list[2]->isPrimary());
    EXPECT_EQ(c->primaryEmailAddress(), list[1]);

    // Equal to none: every mark is cleared and the new address joins as primary.
    auto fresh = mail("d@x", false);
    c->setPrimaryEmailAddress(fresh);
    list = c->emailAddresses();
    ASSERT_EQ(list.size(), 4u);
    for (size_t i = 0; i < 3; ++i) EXPECT_FALSE(list[i]->isPrimary()) << i;
    EXPECT_EQ(list[3], fresh);
    EXPECT_TRUE(fresh->isPrimary());

    // nil clears every mark.
    c->setPrimaryEmailAddress(nullptr);
    EXPECT_FALSE(c->primaryEmailAddress());
    EXPECT_EQ(c->emailAddresses().size(), 4u);

    // Organizations compare their mark too: one differing only in it is not the same one.
    auto org = [](bool primary) {
        auto o = GDataOrganization::organizationWithName(std::string("Acme"));
        o->setIsPrimary(primary);
        return o;
    };
    c->addOrganization(org(false));
    c->setPrimaryOrganization(org(false));
    ASSERT_EQ(c->organizations().size(), 1u);
    EXPECT_TRUE(c->organizations()[0]->isPrimary());
    c->setPrimaryOrganization(org(false));
    EXPECT_EQ(c->organizations().size(), 2u);
    EXPECT_EQ(c->primaryOrganization(), c->organizations()[1]);

    // Website links leave the mark out of equality, like e-mail.
    c->addWebsiteLink(GDataContactLink::linkWithRel<GDataContactWebsiteLink>(std::string("blog"), std::nullopt,
                                                                              std::string("https://a")));
    c->setPrimaryWebsiteLink(GDataContactLink::linkWithRel<GDataContactWebsiteLink>(std::string("blog"), std::nullopt,
                                                                                     std::string("https://a")));
    ASSERT_EQ(c->websiteLinks().size(), 1u);
    EXPECT_TRUE(c->primaryWebsiteLink());
    EXPECT_TRUE(contains(xmlOf(*c), "primary=\"true\""));
}

// ---------------------------------------------------------------------------------------------
// Birthdays

TEST(GDataEntryContact, BirthdaysReadAndWriteWithAndWithoutYear) {
    auto c = GDataEntryContact::contactEntryWithTitle(std::string("B"));
    EXPECT_FALSE(c->birthdayDate());

    c->setBirthday(std::string("--05-17"));
    EXPECT_EQ(c->birthdayDate(), noonUTC(1604, 5, 17));
    c->setBirthdayWithDate(c->birthdayDate());
    EXPECT_EQ(c->birthday(), "--05-17");

    // 1604 is a leap year, so a yearless 29 February survives.
    c->setBirthday(std::string("--02-29"));
    EXPECT_EQ(c->birthdayDate(), noonUTC(1604, 2, 29));
    c->setBirthdayWithDate(c->birthdayDate());
    EXPECT_EQ(c->birthday(), "--02-29");

    c->setBirthday(std::string("1990-05-17"));
    EXPECT_EQ(c->birthdayDate(), noonUTC(1990, 5, 17));
    c->setBirthdayWithDate(c->birthdayDate());
    EXPECT_EQ(c->birthday(), "1990-05-17");

    c->setBirthday(std::string(" \u00a01990-05-17\n"));
    EXPECT_EQ(c->birthdayDate(), noonUTC(1990, 5, 17)) << "trimmed of Unicode blanks";

    c->setBirthday(std::string("05/17/1990, extra"));
    EXPECT_EQ(c->birthdayDate(), noonUTC(1990, 5, 17));

    for (const char* bad : {"soon", "1990-02-30", "1990-05-17 later", "--", "17.05.1990"}) {
        c->setBirthday(std::string(bad));
        EXPECT_FALSE(c->birthdayDate()) << bad;
    }

    // The written day is the day in UTC, whatever the time of day.
    c->setBirthdayWithDate(noonUTC(2001, 12, 31).addingTimeInterval(11 * 3600 + 59 * 60));
    EXPECT_EQ(c->birthday(), "2001-12-31");
    EXPECT_TRUE(contains(xmlOf(*c), "<gContact:birthday when=\"2001-12-31\"/>")) << xmlOf(*c);

    c->setBirthdayWithDate(std::nullopt);
    EXPECT_FALSE(c->birthday());
    EXPECT_FALSE(contains(xmlOf(*c), "birthday"));
}

// ---------------------------------------------------------------------------------------------
// Setters of one-value elements, priority and sensitivity, titles

TEST(GDataEntryContact, OneValueSettersRemoveOnEmptyButPriorityAndSensitivityKeepAnElement) {
    auto c = GDataEntryContact::contactEntryWithTitle(std::string("N"));
    c->setNickname(std::string("Bo"));
    c->setMaidenName(std::string("Ray"));
    c->setYomi(std::string("Bo Yomi"));
    c->setGender(std::string(kGDataContactGenderMale));
    EXPECT_TRUE(contains(xmlOf(*c), "<gContact:nickname>Bo</gContact:nickname>"));
    EXPECT_TRUE(contains(xmlOf(*c), "<gContact:gender value=\"male\"/>"));

    c->setNickname(std::string(""));
    EXPECT_FALSE(c->nickname());
    EXPECT_FALSE(contains(xmlOf(*c), "nickname"));
    c->setMaidenName(std::nullopt);
    EXPECT_FALSE(c->maidenName());
    c->setYomi(std::string(""));
    EXPECT_FALSE(contains(xmlOf(*c), "yomiName"));

    c->setPriority(std::string(kGDataContactPriorityHigh));
    EXPECT_EQ(c->priority(), "high");
    c->setPriority(std::nullopt);
    EXPECT_FALSE(c->priority());
    EXPECT_TRUE(contains(xmlOf(*c), "<gContact:priority/>")) << xmlOf(*c);
    c->setSensitivity(std::nullopt);
    EXPECT_TRUE(contains(xmlOf(*c), "<gContact:sensitivity/>"));
    c->setSensitivity(std::string(kGDataContactSensitivityPrivate));
    EXPECT_EQ(c->sensitivity(), "private");

    // Titles: empty text removes the title, through either setter.
    c->setTitleWithString(std::string(""));
    EXPECT_FALSE(c->title());
    c->setTitleWithString(std::string("Bo Ray"));
    EXPECT_EQ(c->title()->stringValue(), "Bo Ray");
    c->setTitle(GDataTextConstruct::textConstructWithString<GDataAtomTitle>(std::string("")));
    EXPECT_FALSE(c->title());
    c->setTitle(GDataTextConstruct::textConstructWithString<GDataAtomTitle>(std::string("T")));
    EXPECT_EQ(c->title()->stringValue(), "T");

    auto again = elementtest::parse<GDataEntryContact>(xmlOf(*c));
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->isEqual(*c));
    EXPECT_FALSE(again->priority());
    EXPECT_EQ(again->sensitivity(), "private");
}

// ---------------------------------------------------------------------------------------------
// Factories, kinds, versions and descriptions

TEST(GDataEntryContact, FactoriesDeclareTheContactNamespacesAndKinds) {
    auto c = GDataEntryContact::contactEntryWithFullNameString(std::string("Ann Lee"));
    EXPECT_EQ(c->namespaces(), GDataContactConstants::contactNamespaces());
    ASSERT_TRUE(c->kindCategory());
    EXPECT_EQ(c->kindCategory()->term(), kGDataCategoryContact);
    EXPECT_EQ(c->name()->fullName()->stringValue(), "Ann Lee");
    c->addEmailAddress(GDataEmail::emailWithLabel(std::nullopt, std::string("a@x")));
    c->setNickname(std::string("Annie"));
    // The entry stands alone: generated, it parses again (as its kind) into an equal entry.
    auto xml = generated(*c);
    EXPECT_TRUE(contains(xml, "xmlns:gContact=\"http://schemas.google.com/contact/2008\"")) << xml;
    auto root = GDataXMLElement::initWithXMLString(xml).valueOr(nullptr);
    ASSERT_TRUE(root);
    auto parsed = GDataObject::objectWithXMLElement(*GDataObject::objectClassForXMLElement(nullptr, root), root, nullptr);
    auto again = std::dynamic_pointer_cast<GDataEntryContact>(parsed);
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->isEqual(*c));
    // Made in code, children are written in the order they were set; parsed, in the order the
    // class declares them. Either way nothing is lost.
    EXPECT_TRUE(infoset::sameInfoset(xml, generated(*again)));

    auto group = GDataEntryContactGroup::contactGroupEntryWithTitle(std::string("Climbing"));
    EXPECT_EQ(group->kindCategory()->term(), kGDataCategoryContactGroup);
    EXPECT_EQ(group->title()->stringValue(), "Climbing");
    EXPECT_EQ(group->namespaces(), GDataContactConstants::contactNamespaces());
    EXPECT_EQ(GDataEntryContactProfile::contactProfileEntry()->kindCategory()->term(), kGDataCategoryContactProfile);

    for (const auto& [feed, kind] : std::vector<std::pair<std::shared_ptr<GDataFeedBase>, const char*>>{
             {GDataFeedContact::contactFeed(), kGDataCategoryContact},
             {GDataFeedContactGroup::contactGroupFeed(), kGDataCategoryContactGroup},
             {GDataFeedContactProfile::contactProfileFeed(), kGDataCategoryContactProfile}}) {
        ASSERT_EQ(feed->categories().size(), 1u) << kind;
        EXPECT_EQ(feed->categories()[0]->term(), kind);
        EXPECT_EQ(feed->namespaces(), GDataContactConstants::contactNamespaces());
    }
}

TEST(GDataEntryContact, VersionsAndVersionDependentDescriptions) {
    auto c = GDataEntryContact::contactEntryWithTitle(std::string("V"));
    EXPECT_EQ(c->serviceVersion(), "3.0");
    EXPECT_EQ(c->coreProtocolVersion(), "2.0");
    c->setServiceVersion(std::string("1.0"));
    EXPECT_EQ(c->coreProtocolVersion(), "1.0");
    EXPECT_TRUE(c->isCoreProtocolVersion1());

    EXPECT_EQ(GDataEntryContactGroup::object()->coreProtocolVersion(), "2.0");
    EXPECT_EQ(GDataFeedContact::object()->coreProtocolVersion(), "2.0");
    EXPECT_EQ(GDataFeedContactProfile::object()->serviceVersion(), "3.0");
    auto groups = GDataFeedContactGroup::object();
    EXPECT_EQ(groups->serviceVersion(), std::nullopt) << "the groups feed has no default of its own";
    EXPECT_EQ(groups->coreProtocolVersion(), "1.0");
    groups->setServiceVersion(std::string("3.0"));
    EXPECT_EQ(groups->coreProtocolVersion(), "2.0");

    c->addEmailAddress(GDataEmail::emailWithLabel(std::nullopt, std::string("a@x")));
    c->addPostalAddress(GDataPostalAddress::postalAddressWithString(std::string("1 Main St")));
    c->setNickname(std::string("Vee"));
    c->setYomi(std::string("Bui"));
    c->addGroupMembershipInfo(GDataGroupMembershipInfo::groupMembershipInfoWithHref(std::string("urn:g")));
    c->setServiceVersion(std::string("2.0"));
    auto v2 = c->description();
    EXPECT_TRUE(contains(v2, " email:(")) << v2;
    EXPECT_TRUE(contains(v2, " postal:(")) << v2;
    EXPECT_FALSE(contains(v2, "nickname:")) << v2;
    EXPECT_FALSE(contains(v2, "yomi:")) << v2;
    c->setServiceVersion(std::string("3.0"));
    auto v3 = c->description();
    EXPECT_TRUE(contains(v3, " nickname:Vee")) << v3;
    EXPECT_TRUE(contains(v3, " yomi:Bui")) << v3;
    EXPECT_TRUE(contains(v3, " group:(")) << v3;
    EXPECT_FALSE(contains(v3, "postal:")) << v3;

    auto group = GDataEntryContactGroup::contactGroupEntryWithTitle(std::string("System Group: Friends"));
    auto marker = GDataContactSystemGroup::object();
    marker->setIdentifier(std::string(kGDataSystemGroupIDFriends));
    group->setSystemGroup(marker);
    group->addExtendedProperty(GDataExtendedProperty::propertyWithName(std::string("a"), std::string("1")));
    auto g = group->description();
    EXPECT_TRUE(contains(g, "systemGroup:Friends")) << g;
    EXPECT_TRUE(contains(g, "extProps:1")) << g;
}
