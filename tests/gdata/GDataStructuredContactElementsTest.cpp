// The structured contact elements: e-mail, phone, IM and one-line postal addresses, structured
// postal addresses, organizations and names, with their setters' nil-versus-empty rules.

#include <gtest/gtest.h>

#include "gdata/GDataContactConstants.h"
#include "gdata/GDataEmail.h"
#include "gdata/GDataIM.h"
#include "gdata/GDataName.h"
#include "gdata/GDataOrganization.h"
#include "gdata/GDataPhoneNumber.h"
#include "gdata/GDataPostalAddress.h"
#include "gdata/GDataStructuredPostalAddress.h"
#include "tests/gdata/GDataElementTestSupport.h"

using namespace quorvane;
using namespace quorvane::elementtest;

namespace {

const std::string kGD = " xmlns:gd='http://schemas.google.com/g/2005'";
// NO-BREAK SPACE, IDEOGRAPHIC SPACE, a tab and a line feed: blank to Unicode, not all to isspace.
const std::string kUnicodeBlank = "\u00A0\u3000\t\n";

}  // namespace

// --- e-mail, phone, IM, one-line postal address: "primary" is left out of equality ---

TEST(GDataContactAddressElements, ParseAndWriteBack) {
    auto email = parse<GDataEmail>("<gd:email" + kGD +
                                   " rel='http://schemas.google.com/g/2005#work' address='ann@example.com'"
                                   " primary='True'/>");
    ASSERT_TRUE(email);
    EXPECT_EQ(email->rel(), kGDataContactWork);
    EXPECT_EQ(email->address(), "ann@example.com");
    EXPECT_TRUE(email->isPrimary());  // "true" in any case of letters
    roundTrip(email);

    auto phone = parse<GDataPhoneNumber>("<gd:phoneNumber" + kGD +
                                         " rel='http://schemas.google.com/g/2005#mobile' uri='tel:+1-555-0100'>"
                                         "+1 555 0100</gd:phoneNumber>");
    ASSERT_TRUE(phone);
    EXPECT_EQ(phone->rel(), kGDataPhoneNumberMobile);
    EXPECT_EQ(phone->stringValue(), "+1 555 0100");
    EXPECT_EQ(phone->URI(), "tel:+1-555-0100");
    EXPECT_FALSE(phone->isPrimary());
    roundTrip(phone);

    auto im = parse<GDataIM>("<gd:im" + kGD +
                             " address='ann@jabber.example' protocol='http://schemas.google.com/g/2005#JABBER'"
                             " label='chat' primary='yes'/>");
    ASSERT_TRUE(im);
    EXPECT_EQ(im->protocol(), kGDataIMProtocolJabber);
    EXPECT_EQ(im->label(), "chat");
    EXPECT_FALSE(im->isPrimary());  // only "true" is true
    roundTrip(im);

    auto postal = parse<GDataPostalAddress>("<gd:postalAddress" + kGD +
                                            " rel='http://schemas.google.com/g/2005#home'>1 Main St\nSpringfield"
                                            "</gd:postalAddress>");
    ASSERT_TRUE(postal);
    EXPECT_EQ(postal->stringValue(), "1 Main St\nSpringfield");
    roundTrip(postal);
}

TEST(GDataContactAddressElements, FactoriesSetWhatTheyNameAndPrimaryIsWrittenOnlyWhenSet) {
    auto email = GDataEmail::emailWithLabel(std::string("personal"), std::string("a@example.com"));
    EXPECT_EQ(email->label(), "personal");
    EXPECT_EQ(email->address(), "a@example.com");
    EXPECT_FALSE(email->rel());
    email->setIsPrimary(true);
    EXPECT_EQ(email->stringValueForAttribute("primary"), "true");
    email->setIsPrimary(false);
    EXPECT_FALSE(email->stringValueForAttribute("primary"));

    auto im = GDataIM::IMWithProtocol(std::string(kGDataIMProtocolSkype), std::string(kGDataContactHome), std::nullopt,
                                      std::string("ann.s"));
    EXPECT_EQ(im->protocol(), kGDataIMProtocolSkype);
    EXPECT_EQ(im->rel(), kGDataContactHome);
    EXPECT_FALSE(im->label());
    EXPECT_EQ(im->address(), "ann.s");
    declareNamespaces(*im);
    roundTrip(im);

    EXPECT_EQ(GDataPhoneNumber::phoneNumberWithString(std::string("555"))->stringValue(), "555");
    EXPECT_EQ(GDataPostalAddress::postalAddressWithString(std::string("x"))->stringValue(), "x");
    EXPECT_FALSE(GDataPhoneNumber::phoneNumberWithString(std::nullopt)->stringValue());
}

TEST(GDataContactAddressElements, PrimaryIsIgnoredByEqualityOfTheseFourOnly) {
    auto a = GDataEmail::emailWithLabel(std::nullopt, std::string("a@example.com"));
    a->setRel(std::string(kGDataContactWork));
    auto b = std::dynamic_pointer_cast<GDataEmail>(a->copy());
    b->setIsPrimary(true);
    EXPECT_TRUE(a->isEqual(*b));
    EXPECT_TRUE(b->isEqual(*a));
    b->setAddress(std::string("b@example.com"));
    EXPECT_FALSE(a->isEqual(*b));

    auto p1 = GDataPhoneNumber::phoneNumberWithString(std::string("555"));
    auto p2 = GDataPhoneNumber::phoneNumberWithString(std::string("555"));
    p2->setIsPrimary(true);
    EXPECT_TRUE(p1->isEqual(*p2));
    p2->setStringValue(std::string("556"));
    EXPECT_FALSE(p1->isEqual(*p2));

    auto i1 = GDataIM::IMWithProtocol(std::nullopt, std::nullopt, std::nullopt, std::string("x"));
    auto i2 = GDataIM::IMWithProtocol(std::nullopt, std::nullopt, std::nullopt, std::string("x"));
    i1->setIsPrimary(true);
    EXPECT_TRUE(i1->isEqual(*i2));

    auto s1 = GDataPostalAddress::postalAddressWithString(std::string("x"));
    auto s2 = GDataPostalAddress::postalAddressWithString(std::string("x"));
    s1->setIsPrimary(true);
    EXPECT_TRUE(s1->isEqual(*s2));

    // Organizations and structured addresses compare "primary" too.
    auto o1 = GDataOrganization::organizationWithName(std::string("Acme"));
    auto o2 = GDataOrganization::organizationWithName(std::string("Acme"));
    EXPECT_TRUE(o1->isEqual(*o2));
    o2->setIsPrimary(true);
    EXPECT_FALSE(o1->isEqual(*o2));
    auto a1 = GDataStructuredPostalAddress::structuredPostalAddress();
    auto a2 = GDataStructuredPostalAddress::structuredPostalAddress();
    a1->setCity(std::string("Paris"));
    a2->setCity(std::string("Paris"));
    EXPECT_TRUE(a1->isEqual(*a2));
    a1->setIsPrimary(true);
    EXPECT_FALSE(a1->isEqual(*a2));
}

// --- structured postal address ---

TEST(GDataStructuredPostalAddress, PartsParseAndWriteBack) {
    auto address = parse<GDataStructuredPostalAddress>(
        "<gd:structuredPostalAddress" + kGD +
        " rel='http://schemas.google.com/g/2005#work' mailClass='http://schemas.google.com/g/2005#letters'"
        " usage='http://schemas.google.com/g/2005#general' primary='true'>"
        "<gd:agent>c/o Ann</gd:agent><gd:housename>Rose Villa</gd:housename><gd:street>1 Main St</gd:street>"
        "<gd:pobox>PO 12</gd:pobox><gd:neighborhood>Old Town</gd:neighborhood><gd:city>Springfield</gd:city>"
        "<gd:subregion>County</gd:subregion><gd:region>IL</gd:region><gd:postcode>62701</gd:postcode>"
        "<gd:country code='US'>United States</gd:country>"
        "<gd:formattedAddress>1 Main St, Springfield</gd:formattedAddress></gd:structuredPostalAddress>");
    ASSERT_TRUE(address);
    EXPECT_EQ(address->mailClass(), kGDataPostalAddressMailClassLetters);
    EXPECT_EQ(address->usage(), kGDataPostalAddressUsageGeneral);
    EXPECT_TRUE(address->isPrimary());
    EXPECT_EQ(address->agent(), "c/o Ann");
    EXPECT_EQ(address->houseName(), "Rose Villa");
    EXPECT_EQ(address->street(), "1 Main St");
    EXPECT_EQ(address->POBox(), "PO 12");
    EXPECT_EQ(address->neighborhood(), "Old Town");
    EXPECT_EQ(address->city(), "Springfield");
    EXPECT_EQ(address->subregion(), "County");
    EXPECT_EQ(address->region(), "IL");
    EXPECT_EQ(address->postCode(), "62701");
    EXPECT_EQ(address->countryName(), "United States");
    EXPECT_EQ(address->countryCode(), "US");
    EXPECT_EQ(address->formattedAddress(), "1 Main St, Springfield");
    EXPECT_TRUE(address->unknownChildren().empty());
    auto d = address->description();
    EXPECT_TRUE(contains(d, "city:Springfield") && contains(d, "countryCode:US") && contains(d, "fmtAddr:"));
    auto again = roundTrip(address);
    again->setRegion(std::string("WI"));
    EXPECT_FALSE(again->isEqual(*address));
}

TEST(GDataStructuredPostalAddress, PartSettersKeepEmptyTextAndRemoveOnNil) {
    auto address = GDataStructuredPostalAddress::structuredPostalAddress();
    address->setCity(std::string());
    ASSERT_TRUE(address->objectForExtension<GDataPostalAddressCity>());
    EXPECT_EQ(address->city(), "");
    declareNamespaces(*address);
    EXPECT_TRUE(contains(xmlOf(*address), "<gd:city/>")) << xmlOf(*address);
    address->setCity(std::nullopt);
    EXPECT_FALSE(address->objectForExtension<GDataPostalAddressCity>());
    EXPECT_FALSE(address->city());
    address->setStreet(std::string("  "));  // parts keep what they are given, blanks too
    EXPECT_EQ(address->street(), "  ");
}

TEST(GDataStructuredPostalAddress, CountryCodeAndNameShareOneElement) {
    auto address = GDataStructuredPostalAddress::structuredPostalAddress();
    declareNamespaces(*address);
    address->setCountryCode(std::nullopt);
    address->setCountryName(std::nullopt);
    EXPECT_FALSE(address->objectForExtension<GDataPostalAddressCountry>());  // nil adds nothing

    address->setCountryCode(std::string("FR"));
    auto country = address->objectForExtension<GDataPostalAddressCountry>();
    ASSERT_TRUE(country);
    EXPECT_EQ(country->code(), "FR");
    EXPECT_FALSE(country->stringValue());
    EXPECT_TRUE(contains(xmlOf(*address), "<gd:country code=\"FR\"/>")) << xmlOf(*address);

    address->setCountryName(std::string("France"));
    EXPECT_EQ(address->countryName(), "France");
    EXPECT_EQ(address->countryCode(), "FR");
    EXPECT_TRUE(contains(xmlOf(*address), "<gd:country code=\"FR\">France</gd:country>")) << xmlOf(*address);
    roundTrip(address);

    // nil clears one half; the element stays with the other.
    address->setCountryName(std::nullopt);
    ASSERT_TRUE(address->objectForExtension<GDataPostalAddressCountry>());
    EXPECT_EQ(address->countryCode(), "FR");
    address->setCountryName(std::string("France"));
    address->setCountryCode(std::nullopt);
    EXPECT_EQ(address->countryName(), "France");
    EXPECT_FALSE(address->countryCode());

    auto other = GDataStructuredPostalAddress::structuredPostalAddress();
    other->setCountryName(std::string("Japan"));
    EXPECT_EQ(other->countryName(), "Japan");
    EXPECT_FALSE(other->countryCode());
}

// --- organization ---

TEST(GDataOrganization, PartsParseAndWriteBack) {
    auto org = parse<GDataOrganization>(
        "<gd:organization" + kGD +
        " rel='http://schemas.google.com/g/2005#other' label='job' primary='true'>"
        "<gd:orgName yomi='akume'>Acme</gd:orgName><gd:orgTitle>Engineer</gd:orgTitle>"
        "<gd:orgDepartment>R&amp;D</gd:orgDepartment><gd:orgJobDescription>Builds</gd:orgJobDescription>"
        "<gd:orgSymbol>ACME</gd:orgSymbol><gd:where valueString='Building 4'/></gd:organization>");
    ASSERT_TRUE(org);
    EXPECT_EQ(org->rel(), kGDataContactOther);
    EXPECT_EQ(org->orgName(), "Acme");
    EXPECT_EQ(org->orgNameYomi(), "akume");
    EXPECT_EQ(org->orgTitle(), "Engineer");
    EXPECT_EQ(org->orgDepartment(), "R&D");
    EXPECT_EQ(org->orgJobDescription(), "Builds");
    EXPECT_EQ(org->orgSymbol(), "ACME");
    ASSERT_TRUE(org->where());
    EXPECT_EQ(org->where()->stringValue(), "Building 4");
    EXPECT_TRUE(org->isPrimary());
    auto d = org->description();
    EXPECT_TRUE(contains(d, "name:Acme") && contains(d, "dept:R&D") && contains(d, "primary:YES") &&
                contains(d, "where:GDataWhere"))
        << d;
    roundTrip(org);

    auto name = GDataOrganizationName::organizationNameWithString(std::nullopt);
    ASSERT_TRUE(name);
    EXPECT_FALSE(name->stringValue());
    name->setYomi(std::string());
    EXPECT_EQ(name->yomi(), "");
    EXPECT_TRUE(contains(name->description(), "yomi:"));
}

TEST(GDataOrganization, BlankNamesKeepTheElementAndBlankPartsRemoveIt) {
    auto org = GDataOrganization::object();
    org->setOrgName(std::nullopt);
    EXPECT_FALSE(org->objectForExtension<GDataOrganizationName>());  // nil adds nothing

    // Unicode blanks (no-break and ideographic spaces) count as blank.
    org->setOrgName(" " + kUnicodeBlank);
    auto element = org->objectForExtension<GDataOrganizationName>();
    ASSERT_TRUE(element);
    EXPECT_FALSE(element->stringValue());
    declareNamespaces(*org);
    EXPECT_TRUE(contains(xmlOf(*org), "<gd:orgName/>")) << xmlOf(*org);

    org->setOrgName(std::string(" Acme "));
    EXPECT_EQ(org->orgName(), " Acme ");  // stored as given, untrimmed
    org->setOrgName(std::nullopt);
    EXPECT_TRUE(org->objectForExtension<GDataOrganizationName>());  // never removed here
    EXPECT_FALSE(org->orgName());

    org->setOrgTitle(std::string("CEO"));
    EXPECT_EQ(org->orgTitle(), "CEO");
    org->setOrgTitle(kUnicodeBlank);
    EXPECT_FALSE(org->objectForExtension<GDataOrgTitle>());
    org->setOrgDepartment(std::string("\u3000Sales\u00A0"));
    EXPECT_EQ(org->orgDepartment(), "\u3000Sales\u00A0");
    org->setOrgDepartment(std::string());
    EXPECT_FALSE(org->objectForExtension<GDataOrgDepartment>());
    org->setOrgJobDescription(std::string("\u00A0"));
    org->setOrgSymbol(std::nullopt);
    EXPECT_FALSE(org->objectForExtension<GDataOrgJobDescription>() || org->objectForExtension<GDataOrgSymbol>());
}

TEST(GDataOrganization, YomiAddsANameElementAndKeepsAnEmptyReading) {
    auto org = GDataOrganization::object();
    org->setOrgNameYomi(std::nullopt);
    EXPECT_FALSE(org->objectForExtension<GDataOrganizationName>());
    org->setOrgNameYomi(std::string());
    ASSERT_TRUE(org->objectForExtension<GDataOrganizationName>());
    EXPECT_EQ(org->orgNameYomi(), "");
    EXPECT_FALSE(org->orgName());
    org->setOrgName(std::string("Acme"));
    org->setOrgNameYomi(std::string("akume"));
    EXPECT_EQ(org->orgName(), "Acme");
    EXPECT_EQ(org->orgNameYomi(), "akume");
    org->setOrgNameYomi(std::nullopt);
    EXPECT_FALSE(org->orgNameYomi());
    EXPECT_EQ(org->orgName(), "Acme");

    auto made = GDataOrganization::organizationWithName(std::string("Initech"));
    EXPECT_EQ(made->orgName(), "Initech");
    made->setWhere(GDataWhere::whereWithString(std::string("Austin")));
    declareNamespaces(*made);
    roundTrip(made);
}

// --- name ---

TEST(GDataName, PartsParseAndWriteBack) {
    auto name = parse<GDataName>("<gd:name" + kGD +
                                 "><gd:givenName yomi='jon'>John</gd:givenName>"
                                 "<gd:additionalName>Q</gd:additionalName><gd:familyName yomi='do'>Doe</gd:familyName>"
                                 "<gd:namePrefix>Dr</gd:namePrefix><gd:nameSuffix>Jr</gd:nameSuffix>"
                                 "<gd:fullName>Dr John Q Doe Jr</gd:fullName></gd:name>");
    ASSERT_TRUE(name);
    ASSERT_TRUE(name->givenName() && name->familyName() && name->additionalName() && name->fullName());
    EXPECT_EQ(name->givenName()->stringValue(), "John");
    EXPECT_EQ(name->givenName()->yomi(), "jon");
    EXPECT_EQ(name->familyName()->yomi(), "do");
    EXPECT_EQ(name->additionalName()->stringValue(), "Q");
    EXPECT_EQ(name->namePrefix(), "Dr");
    EXPECT_EQ(name->nameSuffix(), "Jr");
    EXPECT_EQ(name->fullName()->stringValue(), "Dr John Q Doe Jr");
    EXPECT_TRUE(name->unknownChildren().empty());
    auto d = name->description();
    EXPECT_TRUE(contains(d, "prefix:Dr") && contains(d, "given:John") && contains(d, "full:Dr John Q Doe Jr")) << d;
    auto again = roundTrip(name);
    again->givenName()->setYomi(std::string("john"));
    EXPECT_FALSE(again->isEqual(*name));
}

TEST(GDataName, FactoriesMakeOnlyThePartsGiven) {
    auto name = GDataName::nameWithPrefix(std::nullopt, std::string("Ann"), std::nullopt, std::string(), std::nullopt);
    declareNamespaces(*name);
    auto xml = xmlOf(*name);
    EXPECT_TRUE(contains(xml, "><gd:givenName>Ann</gd:givenName></gd:name>")) << xml;
    auto slots = name->objectsForExtensionClass(GDataNameFamily::staticClassInfo());
    EXPECT_FALSE(slots && !slots->empty());
    EXPECT_FALSE(name->namePrefix() || name->nameSuffix() || name->familyName() || name->additionalName());
    roundTrip(name);

    auto full = GDataName::nameWithFullNameString(std::string("Ann Lee"));
    ASSERT_TRUE(full->fullName());
    EXPECT_EQ(full->fullName()->stringValue(), "Ann Lee");
    EXPECT_FALSE(GDataName::nameWithFullNameString(std::string())->fullName());
    EXPECT_TRUE(GDataName::name()->isEqual(*GDataName::object()));
}

TEST(GDataName, ElementSettersKeepAnEmptyPartWhileStringSettersRemoveIt) {
    auto name = GDataName::name();
    name->setGivenName(nullptr);
    ASSERT_TRUE(name->givenName());  // an empty element, not a removal
    EXPECT_FALSE(name->givenName()->stringValue());
    declareNamespaces(*name);
    EXPECT_TRUE(contains(xmlOf(*name), "<gd:givenName/>")) << xmlOf(*name);
    name->setGivenNameWithString(std::nullopt);
    EXPECT_FALSE(name->givenName());
    name->setGivenNameWithString(std::string("Ann"));
    name->setGivenNameWithString(std::string());
    EXPECT_FALSE(name->givenName());

    // The stored element is a new one carrying the given text and reading, of the part's class.
    auto source = GDataNameElement::nameElementWithString<GDataNameFull>(std::string("Lee"));
    source->setYomi(std::string("rii"));
    name->setFamilyName(source);
    auto family = name->familyName();
    ASSERT_TRUE(family);
    EXPECT_NE(family, source);
    EXPECT_EQ(&family->classInfo(), &GDataNameFamily::staticClassInfo());
    EXPECT_EQ(family->stringValue(), "Lee");
    EXPECT_EQ(family->yomi(), "rii");
    source->setStringValue(std::string("Changed"));
    EXPECT_EQ(name->familyName()->stringValue(), "Lee");

    name->setNamePrefix(std::string("Ms"));
    EXPECT_EQ(name->namePrefix(), "Ms");
    name->setNamePrefix(std::string());
    EXPECT_FALSE(name->objectForExtension<GDataNamePrefix>());
    name->setNameSuffix(std::string("III"));
    name->setNameSuffix(std::nullopt);
    EXPECT_FALSE(name->objectForExtension<GDataNameSuffix>());

    EXPECT_FALSE(GDataNameElement::nameElementWithString<GDataNameGiven>(std::string()));
    EXPECT_FALSE(GDataNameElement::nameElementWithString<GDataNameGiven>(std::nullopt));
    auto blank = GDataNameElement::nameElementWithNameElement<GDataNameGiven>(nullptr);
    ASSERT_TRUE(blank);
    EXPECT_FALSE(blank->stringValue() || blank->yomi());
}

TEST(GDataName, EmptyYomiRemovesTheAttribute) {
    auto part = GDataNameElement::nameElementWithString<GDataNameGiven>(std::string("Ann"));
    part->setYomi(std::string("an"));
    EXPECT_EQ(part->yomi(), "an");
    part->setYomi(std::string());
    EXPECT_FALSE(part->yomi());
    EXPECT_FALSE(part->stringValueForAttribute("yomi"));
    part->setYomi(std::string("an"));
    part->setYomi(std::nullopt);
    EXPECT_FALSE(part->yomi());
}

// --- contact constants ---

TEST(GDataContactConstants, CoreProtocolVersionAndNamespaces) {
    EXPECT_EQ(GDataContactConstants::coreProtocolVersionForServiceVersion(std::string("1.0")), "1.0");
    EXPECT_EQ(GDataContactConstants::coreProtocolVersionForServiceVersion(std::string("2")), "2.0");
    EXPECT_EQ(GDataContactConstants::coreProtocolVersionForServiceVersion(std::string("3.0")), "2.0");
    EXPECT_EQ(GDataContactConstants::coreProtocolVersionForServiceVersion(std::nullopt), "1.0");

    auto ns = GDataContactConstants::contactNamespaces();
    ASSERT_EQ(ns.size(), 4u);
    EXPECT_EQ(ns[0], (std::pair<std::string, std::string>("gContact", "http://schemas.google.com/contact/2008")));
    auto uriOf = [&](const std::string& prefix) -> std::string {
        for (const auto& [p, u] : ns)
            if (p == prefix) return u;
        return "(none)";
    };
    EXPECT_EQ(uriOf(""), kGDataNamespaceAtom);
    EXPECT_EQ(uriOf("gd"), kGDataNamespaceGData);
    EXPECT_EQ(uriOf("app"), "http://www.w3.org/2007/app");
    EXPECT_EQ(std::string(kGDataCategoryContactGroup), "http://schemas.google.com/contact/2008#group");
    EXPECT_EQ(std::string(kGDataPhoneNumberWorkMobile), "http://schemas.google.com/g/2005#work_mobile");
}
