// The other contact elements: one-value elements, priority and sensitivity, events, relations,
// website and calendar links, user-defined fields, group memberships, external ids, jots,
// languages and extended properties.

#include <gtest/gtest.h>

#include "gdata/GDataContactConstants.h"
#include "gdata/GDataContactElements.h"
#include "gdata/GDataContactEvent.h"
#include "gdata/GDataContactExternalID.h"
#include "gdata/GDataContactJot.h"
#include "gdata/GDataContactLanguage.h"
#include "gdata/GDataContactLink.h"
#include "gdata/GDataContactRelation.h"
#include "gdata/GDataContactUserDefinedField.h"
#include "gdata/GDataExtendedProperty.h"
#include "gdata/GDataGroupMembershipInfo.h"
#include "tests/gdata/GDataElementTestSupport.h"

using namespace quorvane;
using namespace quorvane::elementtest;

namespace {

const std::string kGC = " xmlns:gContact='http://schemas.google.com/contact/2008'";
const std::string kGCGD = kGC + " xmlns:gd='http://schemas.google.com/g/2005'";

// An element that declares the one-value contact elements, as the contact entry does.
class TestContactHolder : public GDataObject {
    QV_GDATA_CLASS(TestContactHolder)
public:
    void addExtensionDeclarations() override {
        GDataObject::addExtensionDeclarations();
        addExtensionDeclarationForParentClass(
            staticClassInfo(),
            {&GDataContactBillingInformation::staticClassInfo(), &GDataContactBirthday::staticClassInfo(),
             &GDataContactDirectoryServer::staticClassInfo(), &GDataContactGender::staticClassInfo(),
             &GDataContactHobby::staticClassInfo(), &GDataContactInitials::staticClassInfo(),
             &GDataContactMaidenName::staticClassInfo(), &GDataContactMileage::staticClassInfo(),
             &GDataContactNickname::staticClassInfo(), &GDataContactOccupation::staticClassInfo(),
             &GDataContactShortName::staticClassInfo(), &GDataContactSubject::staticClassInfo(),
             &GDataContactYomiName::staticClassInfo(), &GDataContactSystemGroup::staticClassInfo(),
             &GDataContactPriority::staticClassInfo(), &GDataContactSensitivity::staticClassInfo()});
    }
};
QV_GDATA_DEFINE_CLASS(TestContactHolder, GDataObject, "http://example.com/test", "t", "holder")

template <class T>
std::optional<std::string> valueOf(const GDataObject& holder) {
    auto o = holder.objectForExtension<T>();
    return o ? o->stringValue() : std::nullopt;
}

}  // namespace

// --- one-value elements, priority and sensitivity ---

TEST(GDataContactOneValueElements, ValuesInTextOrInTheirAttribute) {
    auto holder = parse<TestContactHolder>(
        "<t:holder xmlns:t='http://example.com/test'" + kGC +
        "><gContact:billingInformation>net 30</gContact:billingInformation>"
        "<gContact:birthday when='--05-17'/><gContact:directoryServer>ldap</gContact:directoryServer>"
        "<gContact:gender value='female'/><gContact:hobby>chess</gContact:hobby><gContact:hobby>go</gContact:hobby>"
        "<gContact:initials>A.L.</gContact:initials><gContact:maidenName>Smith</gContact:maidenName>"
        "<gContact:mileage>12 km</gContact:mileage><gContact:nickname>Annie</gContact:nickname>"
        "<gContact:occupation>pilot</gContact:occupation><gContact:shortName>AL</gContact:shortName>"
        "<gContact:subject>friend</gContact:subject><gContact:yomiName>an rii</gContact:yomiName>"
        "<gContact:systemGroup id='Contacts'/><gContact:priority rel='high'/>"
        "<gContact:sensitivity rel='private'/></t:holder>");
    ASSERT_TRUE(holder);
    EXPECT_TRUE(holder->unknownChildren().empty());
    EXPECT_EQ(valueOf<GDataContactBillingInformation>(*holder), "net 30");
    EXPECT_EQ(valueOf<GDataContactBirthday>(*holder), "--05-17");
    EXPECT_EQ(valueOf<GDataContactDirectoryServer>(*holder), "ldap");
    EXPECT_EQ(valueOf<GDataContactGender>(*holder), kGDataContactGenderFemale);
    auto hobbies = holder->objectsForExtension<GDataContactHobby>();
    ASSERT_EQ(hobbies.size(), 2u);
    EXPECT_EQ(hobbies[1]->stringValue(), "go");
    EXPECT_EQ(valueOf<GDataContactInitials>(*holder), "A.L.");
    EXPECT_EQ(valueOf<GDataContactMaidenName>(*holder), "Smith");
    EXPECT_EQ(valueOf<GDataContactMileage>(*holder), "12 km");
    EXPECT_EQ(valueOf<GDataContactNickname>(*holder), "Annie");
    EXPECT_EQ(valueOf<GDataContactOccupation>(*holder), "pilot");
    EXPECT_EQ(valueOf<GDataContactShortName>(*holder), "AL");
    EXPECT_EQ(valueOf<GDataContactSubject>(*holder), "friend");
    EXPECT_EQ(valueOf<GDataContactYomiName>(*holder), "an rii");
    ASSERT_TRUE(holder->objectForExtension<GDataContactSystemGroup>());
    EXPECT_EQ(holder->objectForExtension<GDataContactSystemGroup>()->identifier(), kGDataSystemGroupIDMyContacts);
    EXPECT_EQ(holder->objectForExtension<GDataContactPriority>()->rel(), kGDataContactPriorityHigh);
    EXPECT_EQ(holder->objectForExtension<GDataContactSensitivity>()->rel(), kGDataContactSensitivityPrivate);
    auto again = roundTrip(holder);
    again->objectsForExtension<GDataContactHobby>()[0]->setStringValue(std::string("golf"));
    EXPECT_FALSE(again->isEqual(*holder));
}

TEST(GDataContactOneValueElements, FactoriesAndWhereTheValueIsWritten) {
    EXPECT_FALSE(GDataValueConstruct::valueWithString<GDataContactNickname>(std::nullopt));
    auto birthday = GDataValueConstruct::valueWithString<GDataContactBirthday>(std::string("1990-05-17"));
    declareNamespaces(*birthday);
    EXPECT_TRUE(contains(xmlOf(*birthday), "<gContact:birthday xmlns:gd=\"http://schemas.google.com/g/2005\""
                                           " xmlns:gContact=\"http://schemas.google.com/contact/2008\""
                                           " when=\"1990-05-17\"/>"))
        << xmlOf(*birthday);
    auto nickname = GDataValueConstruct::valueWithString<GDataContactNickname>(std::string("Bo & Co"));
    EXPECT_TRUE(contains(xmlOf(*nickname), ">Bo &amp; Co</gContact:nickname>")) << xmlOf(*nickname);
    auto group = GDataContactSystemGroup::object();
    group->setIdentifier(std::string(kGDataSystemGroupIDFamily));
    EXPECT_EQ(group->stringValueForAttribute("id"), "Family");
    EXPECT_EQ(group->identifier(), "Family");

    // Priority and sensitivity are made even without a rel.
    auto priority = GDataContactPriority::priorityWithRel(std::nullopt);
    ASSERT_TRUE(priority);
    EXPECT_FALSE(priority->rel());
    EXPECT_TRUE(contains(xmlOf(*priority), "<gContact:priority/>")) << xmlOf(*priority);
    auto sensitivity = GDataContactSensitivity::sensitivityWithRel(std::nullopt);
    ASSERT_TRUE(sensitivity);
    EXPECT_FALSE(sensitivity->rel());
    EXPECT_FALSE(GDataContactSensitivity::sensitivityWithRel(std::string("normal"))->isEqual(*sensitivity));
}

// --- events, relations, external ids, jots, languages ---

TEST(GDataContactEvent, RelLabelAndDate) {
    auto event = parse<GDataContactEvent>("<gContact:event" + kGCGD +
                                          " rel='anniversary'><gd:when startTime='2001-06-30'/></gContact:event>");
    ASSERT_TRUE(event);
    EXPECT_EQ(event->rel(), kGDataContactEventAnniversary);
    ASSERT_TRUE(event->when());
    EXPECT_EQ(event->when()->startTime()->RFC3339String(), "2001-06-30");
    EXPECT_TRUE(contains(event->description(), "when:GDataWhen"));
    auto again = roundTrip(event);
    again->when()->setStartTime(GDataDateTime::dateTimeWithRFC3339String("2001-07-01"));
    EXPECT_FALSE(again->isEqual(*event));

    auto made = GDataContactEvent::eventWithRel(std::nullopt, std::string("first met"),
                                                GDataWhen::whenWithStartTime(
                                                    GDataDateTime::dateTimeWithRFC3339String("2010-02-03"), std::nullopt));
    EXPECT_EQ(made->label(), "first met");
    declareNamespaces(*made);
    EXPECT_TRUE(contains(xmlOf(*made), "<gd:when startTime=\"2010-02-03\"/>")) << xmlOf(*made);
    roundTrip(made);
    made->setWhen(nullptr);
    EXPECT_FALSE(made->when());
    EXPECT_FALSE(contains(xmlOf(*made), "when"));
}

TEST(GDataContactRelation, NameWithRelOrLabel) {
    auto relation = parse<GDataContactRelation>("<gContact:relation" + kGC + " rel='spouse'>Bob</gContact:relation>");
    ASSERT_TRUE(relation);
    EXPECT_EQ(relation->rel(), kGDataContactRelationSpouse);
    EXPECT_EQ(relation->stringValue(), "Bob");
    roundTrip(relation);

    auto brother = GDataContactRelation::relationWithRel(std::string("brother"), std::nullopt, std::string("Bob"));
    auto friendOf = GDataContactRelation::relationWithRel(std::string("friend"), std::nullopt, std::string("Bob"));
    EXPECT_FALSE(brother->isEqual(*friendOf));  // same name, other rel
    auto custom = GDataContactRelation::relationWithRel(std::nullopt, std::string("mentor"), std::string("Eve"));
    EXPECT_FALSE(custom->rel());
    EXPECT_EQ(custom->label(), "mentor");
    EXPECT_EQ(custom->stringValue(), "Eve");
}

TEST(GDataContactExternalIDJotLanguage, ParseAndFactories) {
    auto id = parse<GDataContactExternalID>("<gContact:externalId" + kGC + " rel='account' value='A-17'/>");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->rel(), kGDataContactExternalIDAccount);
    EXPECT_EQ(id->stringValue(), "A-17");
    roundTrip(id);
    auto madeID = GDataContactExternalID::externalIDWithRel(std::nullopt, std::string("badge"), std::string("42"));
    EXPECT_EQ(madeID->stringValueForAttribute("value"), "42");
    EXPECT_EQ(madeID->label(), "badge");

    auto jot = parse<GDataContactJot>("<gContact:jot" + kGC + " rel='keywords'>sailing, chess</gContact:jot>");
    ASSERT_TRUE(jot);
    EXPECT_EQ(jot->rel(), kGDataContactJotKeywords);
    EXPECT_EQ(jot->stringValue(), "sailing, chess");
    roundTrip(jot);
    EXPECT_EQ(GDataContactJot::jotWithRel(std::string("user"), std::string("n"))->stringValue(), "n");

    auto language = parse<GDataContactLanguage>("<gContact:language" + kGC + " code='fr' label='French'/>");
    ASSERT_TRUE(language);
    EXPECT_EQ(language->code(), "fr");
    EXPECT_EQ(language->label(), "French");
    roundTrip(language);
    auto madeLanguage = GDataContactLanguage::languageWithCode(std::string("de"), std::nullopt);
    EXPECT_EQ(madeLanguage->code(), "de");
    EXPECT_FALSE(madeLanguage->label());
    EXPECT_FALSE(madeLanguage->isEqual(*GDataContactLanguage::languageWithCode(std::string("de"), std::string("German"))));
}

// --- website and calendar links ---

TEST(GDataContactLink, WebsiteAndCalendarLinksIgnorePrimaryInEquality) {
    auto site = parse<GDataContactWebsiteLink>("<gContact:website" + kGC +
                                               " href='http://ann.example.com/' rel='blog' primary='TRUE'/>");
    ASSERT_TRUE(site);
    EXPECT_EQ(site->href(), "http://ann.example.com/");
    EXPECT_EQ(site->rel(), kGDataContactWebsiteLinkBlog);
    EXPECT_TRUE(site->isPrimary());
    roundTrip(site);

    auto a = GDataContactLink::linkWithRel<GDataContactWebsiteLink>(std::string("home-page"), std::nullopt,
                                                                    std::string("http://a.example/"));
    auto b = GDataContactLink::linkWithRel<GDataContactWebsiteLink>(std::string("home-page"), std::nullopt,
                                                                    std::string("http://a.example/"));
    ASSERT_TRUE(a && b);
    b->setIsPrimary(true);
    EXPECT_TRUE(a->isEqual(*b));
    EXPECT_TRUE(b->isEqual(*a));
    b->setIsPrimary(false);
    EXPECT_FALSE(b->stringValueForAttribute("primary"));
    b->setRel(std::string("work"));
    EXPECT_FALSE(a->isEqual(*b));

    auto calendar = GDataContactLink::linkWithRel<GDataContactCalendarLink>(
        std::string(kGDataContactCalendarLinkFreeBusy), std::nullopt, std::string("http://a.example/"));
    declareNamespaces(*calendar);
    EXPECT_TRUE(contains(xmlOf(*calendar), "<gContact:calendarLink ")) << xmlOf(*calendar);
    roundTrip(calendar);
    // A website link and a calendar link are different elements even with the same values.
    auto sameValues = GDataContactLink::linkWithRel<GDataContactWebsiteLink>(
        std::string(kGDataContactCalendarLinkFreeBusy), std::nullopt, std::string("http://a.example/"));
    EXPECT_FALSE(calendar->isEqual(*sameValues));
    EXPECT_FALSE(sameValues->isEqual(*calendar));
}

// --- user-defined fields ---

TEST(GDataContactUserDefinedField, KeyAndValueAttributes) {
    auto field = GDataContactUserDefinedField::userDefinedFieldWithKey(std::string("twitter"), std::string("@ann"));
    EXPECT_EQ(field->key(), "twitter");
    EXPECT_EQ(field->stringValue(), "@ann");
    EXPECT_EQ(field->stringValueForAttribute("key"), "twitter");
    EXPECT_EQ(field->stringValueForAttribute("value"), "@ann");
    declareNamespaces(*field);
    auto xml = xmlOf(*field);
    EXPECT_TRUE(contains(xml, "key=\"twitter\" value=\"@ann\"")) << xml;
    roundTrip(field);

    auto parsed = parse<GDataContactUserDefinedField>("<gContact:userDefinedField" + kGC + " value='v' key='k'/>");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->key(), "k");
    EXPECT_EQ(parsed->stringValue(), "v");
    EXPECT_TRUE(parsed->unknownAttributes().empty());

    auto empty = GDataContactUserDefinedField::userDefinedFieldWithKey(std::nullopt, std::nullopt);
    ASSERT_TRUE(empty);  // always an element
    EXPECT_FALSE(empty->key() || empty->stringValue());
}

// --- group membership ---

TEST(GDataGroupMembershipInfo, HrefAndDeletedFlag) {
    auto info = parse<GDataGroupMembershipInfo>("<gContact:groupMembershipInfo" + kGC +
                                                " href='http://x/groups/ann/base/6' deleted='TRUE'/>");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->href(), "http://x/groups/ann/base/6");
    EXPECT_TRUE(info->isDeleted());
    auto again = roundTrip(info);
    again->setIsDeleted(false);
    EXPECT_FALSE(again->stringValueForAttribute("deleted"));
    EXPECT_FALSE(contains(xmlOf(*again), "deleted"));
    EXPECT_FALSE(again->isEqual(*info));
    again->setIsDeleted(true);
    EXPECT_EQ(again->stringValueForAttribute("deleted"), "true");

    auto none = GDataGroupMembershipInfo::groupMembershipInfoWithHref(std::nullopt);
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->href());
    EXPECT_TRUE(contains(xmlOf(*none), "<gContact:groupMembershipInfo/>")) << xmlOf(*none);
}

// --- extended properties ---

TEST(GDataExtendedProperty, EmptyDefaultNamespaceUnlessOneIsPresent) {
    auto made = GDataExtendedProperty::propertyWithName(std::string("color"), std::string("blue"));
    auto ns = made->namespaces();
    ASSERT_EQ(ns.size(), 1u);
    EXPECT_EQ(ns[0], (std::pair<std::string, std::string>("", "")));
    EXPECT_EQ(made->name(), "color");
    EXPECT_EQ(made->value(), "blue");
    EXPECT_FALSE(made->XMLValuesDictionary());

    // Parsed: the element's own default namespace is kept as it is; without one, the empty one
    // is added.
    auto own = parse<GDataExtendedProperty>("<gd:extendedProperty xmlns='urn:app'" + kGCGD + " name='n'/>");
    ASSERT_TRUE(own);
    bool hasAppDefault = false, hasEmptyDefault = false;
    for (const auto& [prefix, uri] : own->namespaces()) {
        if (prefix.empty() && uri == "urn:app") hasAppDefault = true;
        if (prefix.empty() && uri.empty()) hasEmptyDefault = true;
    }
    EXPECT_TRUE(hasAppDefault);
    EXPECT_FALSE(hasEmptyDefault);
    auto plain = parse<GDataExtendedProperty>("<gd:extendedProperty" + kGCGD + " name='n' value='v' realm='r'/>");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->realm(), "r");
    hasEmptyDefault = false;
    for (const auto& [prefix, uri] : plain->namespaces())
        if (prefix.empty() && uri.empty()) hasEmptyDefault = true;
    EXPECT_TRUE(hasEmptyDefault);
}

namespace {

// Parses the first extended property of an Atom entry.
std::shared_ptr<GDataExtendedProperty> propertyInEntry(const std::string& entryXML) {
    auto entryElement = GDataXMLElement::initWithXMLString(entryXML).valueOr(nullptr);
    EXPECT_TRUE(entryElement) << entryXML;
    if (!entryElement) return nullptr;
    auto found = entryElement->elementsForLocalName("extendedProperty", std::string_view(kGDataNamespaceGData));
    EXPECT_EQ(found.size(), 1u);
    if (found.empty()) return nullptr;
    return std::dynamic_pointer_cast<GDataExtendedProperty>(
        GDataObject::objectWithXMLElement(GDataExtendedProperty::staticClassInfo(), found[0], nullptr));
}

// Writes the property into an Atom entry and parses the text again.
GDataXMLElementPtr writtenInEntry(const GDataExtendedProperty& property, std::string& text) {
    auto entry = GDataXMLNode::elementWithName("entry");
    entry->addNamespace(GDataXMLNode::namespaceWithName("", kGDataNamespaceAtom));
    entry->addNamespace(GDataXMLNode::namespaceWithName("gd", kGDataNamespaceGData));
    entry->addChild(property.XMLElement());
    text = entry->XMLString().value_or("");
    auto reparsed = GDataXMLElement::initWithXMLString(text).valueOr(nullptr);
    EXPECT_TRUE(reparsed) << text;
    if (!reparsed) return nullptr;
    auto found = reparsed->elementsForLocalName("extendedProperty", std::string_view(kGDataNamespaceGData));
    EXPECT_EQ(found.size(), 1u) << text;
    return found.empty() ? nullptr : found[0];
}

}  // namespace

TEST(GDataExtendedProperty, ChildXMLStaysOutsideTheAtomNamespaceOfTheEntry) {
    // Values in no namespace, as a client writes them (the property carries xmlns="").
    auto declared = propertyInEntry("<entry xmlns='http://www.w3.org/2005/Atom'" + kGCGD +
                                    "><gd:extendedProperty name='prefs' xmlns=''><prefs><color>blue</color></prefs>"
                                    "<size>2</size></gd:extendedProperty></entry>");
    ASSERT_TRUE(declared);
    ASSERT_EQ(declared->XMLValues().size(), 2u);
    EXPECT_EQ(declared->XMLValues()[0]->URI().value_or(""), "");
    std::string text;
    auto written = writtenInEntry(*declared, text);
    ASSERT_TRUE(written);
    EXPECT_EQ(written->elementsForLocalName("prefs", std::nullopt).size(), 1u) << text;
    EXPECT_EQ(written->elementsForLocalName("size", std::nullopt).size(), 1u) << text;

    // Values written without a prefix and without xmlns="" inside the Atom entry: read, they
    // fall into the Atom namespace; they are written back in none. Prefixed elements, their
    // attributes and values with a default namespace of their own keep their namespaces.
    auto inherited = propertyInEntry(
        "<entry xmlns='http://www.w3.org/2005/Atom' xmlns:x='urn:x'" + kGCGD +
        "><gd:extendedProperty name='prefs'><prefs a='1' x:b='2'><color>blue</color><!--note-->"
        "<x:wrap><deep>d</deep></x:wrap><own xmlns='urn:own'><k/></own></prefs><size>2</size>"
        "</gd:extendedProperty></entry>");
    ASSERT_TRUE(inherited);
    ASSERT_EQ(inherited->XMLValues().size(), 2u);
    EXPECT_EQ(inherited->XMLValues()[0]->URI().value_or(""), "");
    EXPECT_EQ(inherited->XMLValueForKey("size"), "2");
    written = writtenInEntry(*inherited, text);
    ASSERT_TRUE(written);
    auto prefs = written->elementsForLocalName("prefs", std::nullopt);
    ASSERT_EQ(prefs.size(), 1u) << text;
    EXPECT_TRUE(written->elementsForLocalName("prefs", std::string_view(kGDataNamespaceAtom)).empty()) << text;
    EXPECT_EQ(prefs[0]->elementsForLocalName("color", std::nullopt).size(), 1u) << text;
    auto wrap = prefs[0]->elementsForLocalName("wrap", std::string_view("urn:x"));
    ASSERT_EQ(wrap.size(), 1u) << text;
    EXPECT_EQ(wrap[0]->elementsForLocalName("deep", std::nullopt).size(), 1u) << text;
    EXPECT_EQ(prefs[0]->elementsForLocalName("own", std::string_view("urn:own")).size(), 1u) << text;
    ASSERT_TRUE(prefs[0]->attributeForLocalName("b", std::string_view("urn:x"))) << text;
    EXPECT_EQ(prefs[0]->attributeForName("a")->stringValue(), "1");
    EXPECT_TRUE(contains(text, "<!--note-->")) << text;

    // Read back, the values are the same.
    auto again = std::dynamic_pointer_cast<GDataExtendedProperty>(
        GDataObject::objectWithXMLElement(GDataExtendedProperty::staticClassInfo(), written, nullptr));
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->isEqual(*inherited));
    EXPECT_EQ(again->XMLValueForKey("prefs"), "blued");  // the text of the whole value
}

TEST(GDataExtendedProperty, ValuesAsADictionary) {
    auto property = GDataExtendedProperty::propertyWithName(std::string("p"), std::nullopt);
    property->setXMLValue(std::nullopt, "absent");
    EXPECT_FALSE(property->XMLValuesDictionary());
    property->setXMLValue(std::string("1"), "a");
    property->setXMLValue(std::string("x < y"), "b");
    EXPECT_EQ(property->XMLValueForKey("a"), "1");
    EXPECT_EQ(property->XMLValueForKey("b"), "x < y");
    EXPECT_FALSE(property->XMLValueForKey("c"));
    ASSERT_EQ(property->XMLValues().size(), 2u);
    declareNamespaces(*property);
    auto xml = xmlOf(*property);
    EXPECT_TRUE(contains(xml, "<a>1</a><b>x &lt; y</b>")) << xml;
    roundTrip(property);

    property->setXMLValue(std::string("2"), "a");
    EXPECT_EQ(property->XMLValueForKey("a"), "2");
    EXPECT_EQ(property->XMLValues().size(), 2u);
    property->setXMLValue(std::nullopt, "b");
    property->setXMLValue(std::nullopt, "a");
    EXPECT_TRUE(property->XMLValues().empty());
    EXPECT_FALSE(property->XMLValuesDictionary());
    EXPECT_FALSE(contains(xmlOf(*property), "<a>"));

    // A later element of a name seen before wins.
    auto parsed = parse<GDataExtendedProperty>("<gd:extendedProperty" + kGCGD +
                                               " name='n'><k>first</k><other>o</other><k>second</k>"
                                               "</gd:extendedProperty>");
    ASSERT_TRUE(parsed);
    auto dict = parsed->XMLValuesDictionary();
    ASSERT_TRUE(dict);
    ASSERT_EQ(dict->size(), 2u);
    EXPECT_EQ(parsed->XMLValueForKey("k"), "second");
    parsed->setXMLValuesDictionary(GDataStringDictionary{});
    EXPECT_TRUE(parsed->XMLValues().empty());
    parsed->setXMLValuesDictionary(GDataStringDictionary{{"z", "26"}});
    EXPECT_EQ(parsed->XMLValueForKey("z"), "26");
    parsed->setXMLValuesDictionary(std::nullopt);
    EXPECT_TRUE(parsed->XMLValues().empty());
}
