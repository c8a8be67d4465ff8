// Elements of the XML layer: lookups, attributes, namespace declarations, and the namespace
// fix-up of nodes grafted into a tree.

#include <gtest/gtest.h>

#include "gdata/GDataXMLDocument.h"
#include "gdata/GDataXMLElement.h"
#include "tests/gdata/GDataXMLTestSupport.h"

namespace quorvane {
namespace {

// The error of a parse that must fail; an empty error when it did not.
template <class R>
platform::Error failureOf(const R& result) {
    return result ? platform::Error() : result.error();
}

using namespace xmltest;

std::shared_ptr<GDataXMLElement> parseElement(const std::string& xml) {
    auto element = GDataXMLElement::initWithXMLString(xml).valueOr(nullptr);
    EXPECT_TRUE(element) << xml;
    return element;
}

std::string q(const char* uri) { return std::string("'") + uri + "'"; }

std::shared_ptr<GDataXMLElement> atomEntry() {
    return parseElement("<entry xmlns=" + q(kAtomNS) + " xmlns:gd=" + q(kGDNS) + "/>");
}

// The element written as the root of a document, then parsed again.
std::shared_ptr<GDataXMLElement> roundTrip(const std::shared_ptr<GDataXMLElement>& element) {
    auto data = GDataXMLDocument::initWithRootElement(element)->XMLData();
    EXPECT_TRUE(data);
    if (!data) return nullptr;
    EXPECT_TRUE(reparsesCleanly(*data));
    auto doc = GDataXMLDocument::initWithData(*data).valueOr(nullptr);
    return doc ? doc->rootElement() : nullptr;
}

TEST(GDataXMLElementTest, ElementsForNameResolvesBoundPrefixesByURI) {
    // The document writes the gd namespace under two prefixes.
    auto feed = parseElement("<feed xmlns=" + q(kAtomNS) + " xmlns:gd=" + q(kGDNS) +
                             "><entry xmlns:g2=" + q(kGDNS) +
                             "><g2:email address='a'/><gd:email address='b'/><email address='c'/></entry></feed>");
    auto entry = feed->elementsForName("entry").at(0);
    auto emails = entry->elementsForName("gd:email");
    ASSERT_EQ(emails.size(), 2u);
    EXPECT_EQ(emails[0]->attributeForName("address")->stringValue(), "a");
    EXPECT_EQ(emails[1]->attributeForName("address")->stringValue(), "b");
    EXPECT_EQ(entry->elementsForLocalName("email", kGDNS).size(), 2u);
    EXPECT_EQ(entry->elementsForLocalName("email", kAtomNS).size(), 1u);
    EXPECT_TRUE(entry->elementsForLocalName("email", std::nullopt).empty());
    EXPECT_TRUE(entry->elementsForName("gd:phoneNumber").empty());

    // An unbound prefix matches the literal qualified name only.
    auto holder = GDataXMLNode::elementWithName("holder");
    holder->addChild(GDataXMLNode::elementWithName("zz:thing"));
    holder->addChild(GDataXMLNode::elementWithName("thing"));
    auto literal = holder->elementsForName("zz:thing");
    ASSERT_EQ(literal.size(), 1u);
    EXPECT_EQ(literal[0]->name(), "zz:thing");
    EXPECT_EQ(holder->elementsForLocalName("thing", std::nullopt).size(), 1u);
}

TEST(GDataXMLElementTest, UnresolvedBracedNamesAreFoundByURI) {
    auto holder = GDataXMLNode::elementWithName("holder");
    holder->addChild(GDataXMLNode::elementWithNameURI("p:thing", "urn:nowhere"));
    EXPECT_EQ(holder->XMLString(), "<holder><{urn:nowhere}:thing/></holder>");
    auto found = holder->elementsForLocalName("thing", "urn:nowhere");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]->localName(), "thing");
    EXPECT_TRUE(holder->elementsForLocalName("thing", "urn:elsewhere").empty());

    // Written as a document, the name gets a declaration and parses again.
    auto back = roundTrip(holder);
    ASSERT_TRUE(back);
    auto thing = back->elementsForLocalName("thing", "urn:nowhere");
    ASSERT_EQ(thing.size(), 1u);
    EXPECT_EQ(thing[0]->URI(), "urn:nowhere");
}

TEST(GDataXMLElementTest, AddedChildTakesThePrefixDeclaredForItsURI) {
    auto entry = atomEntry();
    entry->addChild(GDataXMLNode::elementWithNameURI("email", kGDNS));
    entry->addChild(GDataXMLNode::elementWithName("title", "Ann"));  // plain name: default namespace
    EXPECT_EQ(entry->XMLString(), "<entry xmlns=\"" + std::string(kAtomNS) + "\" xmlns:gd=\"" + kGDNS +
                                      "\"><gd:email/><title>Ann</title></entry>");
    auto email = entry->elementsForLocalName("email", kGDNS);
    ASSERT_EQ(email.size(), 1u);
    EXPECT_EQ(email[0]->name(), "gd:email");
    auto title = entry->elementsForLocalName("title", kAtomNS);
    ASSERT_EQ(title.size(), 1u);
    EXPECT_EQ(title[0]->URI(), kAtomNS);
    EXPECT_EQ(entry->elementsForName("title").size(), 1u);

    // A prefixed name resolves when its prefix is bound where it lands.
    entry->addChild(GDataXMLNode::elementWithName("gd:phoneNumber", "555"));
    EXPECT_EQ(entry->elementsForLocalName("phoneNumber", kGDNS).size(), 1u);
}

TEST(GDataXMLElementTest, DuplicateDeclarationsOfAGraftedChildAreDropped) {
    auto entry = atomEntry();
    entry->addChild(parseElement("<gd:email xmlns:gd=" + q(kGDNS) + " address='x'><gd:extra/></gd:email>"));
    entry->addChild(parseElement("<gd:im xmlns:gd='urn:other'/>"));  // same prefix, other URI: kept
    EXPECT_EQ(entry->XMLString(), "<entry xmlns=\"" + std::string(kAtomNS) + "\" xmlns:gd=\"" + kGDNS +
                                      "\"><gd:email address=\"x\"><gd:extra/></gd:email>"
                                      "<gd:im xmlns:gd=\"urn:other\"/></entry>");
    auto email = entry->elementsForLocalName("email", kGDNS).at(0);
    EXPECT_TRUE(email->namespaces().empty());
    xmlNsPtr entryGD = entry->XMLNode()->nsDef->next;
    EXPECT_EQ(email->XMLNode()->ns, entryGD);
    EXPECT_EQ(email->elementsForLocalName("extra", kGDNS).at(0)->XMLNode()->ns, entryGD);
    EXPECT_EQ(entry->elementsForLocalName("im", "urn:other").size(), 1u);
    ASSERT_TRUE(roundTrip(entry));
}

TEST(GDataXMLElementTest, NestedRedeclarationsKeepTheirMeaning) {
    // The middle element rebinds "p"; the inner one redeclares the outer binding.
    auto root = parseElement("<r xmlns:p='urn:one'/>");
    root->addChild(parseElement("<m xmlns:p='urn:two'><p:x/><i xmlns:p='urn:one'><p:y/></i></m>"));
    auto back = roundTrip(root);
    ASSERT_TRUE(back);
    auto m = back->elementsForName("m").at(0);
    EXPECT_EQ(m->elementsForLocalName("x", "urn:two").size(), 1u);
    EXPECT_EQ(m->elementsForName("i").at(0)->elementsForLocalName("y", "urn:one").size(), 1u);
}

TEST(GDataXMLElementTest, AddAttributeNeverReplacesAndResolvesNamespaces) {
    auto link = GDataXMLNode::elementWithName("link");
    link->addAttribute(GDataXMLNode::attributeWithName("rel", "alternate"));
    link->addAttribute(GDataXMLNode::attributeWithName("rel", "self"));
    EXPECT_EQ(link->attributes().size(), 1u);
    EXPECT_EQ(link->attributeForName("rel")->stringValue(), "alternate");

    auto entry = atomEntry();
    entry->addAttribute(GDataXMLNode::attributeWithName("gd:etag", kGDNS, "one"));
    entry->addAttribute(GDataXMLNode::attributeWithName("gd:etag", kGDNS, "two"));
    entry->addAttribute(GDataXMLNode::attributeWithName("gd:etag", "three"));  // prefixed literal
    entry->addAttribute(GDataXMLNode::attributeWithName("etag", "plain"));     // no namespace: another attribute
    ASSERT_EQ(entry->attributes().size(), 2u);
    auto etag = entry->attributeForLocalName("etag", kGDNS);
    ASSERT_TRUE(etag);
    EXPECT_EQ(etag->stringValue(), "one");
    EXPECT_EQ(etag->name(), "gd:etag");
    EXPECT_EQ(entry->attributeForLocalName("etag", std::nullopt)->stringValue(), "plain");
    // An unprefixed attribute stays out of the default namespace.
    EXPECT_FALSE(entry->attributeForLocalName("etag", kAtomNS));
    ASSERT_TRUE(roundTrip(entry));

    // Routed through addChild too.
    link->addChild(GDataXMLNode::attributeWithName("href", "http://x/"));
    EXPECT_EQ(link->attributeForName("href")->stringValue(), "http://x/");
}

TEST(GDataXMLElementTest, AttributeNamespacesGetUsablePrefixes) {
    // No declaration anywhere: the braced name waits, and the written document declares it.
    auto standalone = GDataXMLNode::elementWithName("e");
    standalone->addAttribute(GDataXMLNode::attributeWithName("p:foo", "urn:p", "1"));
    EXPECT_EQ(standalone->attributeForLocalName("foo", "urn:p")->stringValue(), "1");
    auto back = roundTrip(standalone);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->attributeForLocalName("foo", "urn:p")->stringValue(), "1");

    // The URI is only the default namespace: an attribute cannot use that, it gets a prefix.
    auto entry = parseElement("<entry xmlns='urn:d'/>");
    entry->addAttribute(parseElement("<x xmlns:d='urn:d' d:flag='on'/>")->attributeForName("d:flag"));
    back = roundTrip(entry);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->attributeForLocalName("flag", "urn:d")->stringValue(), "on");

    // The attribute's own prefix is bound to another URI here.
    auto clash = parseElement("<e xmlns:gd='urn:not-gd'/>");
    clash->addAttribute(parseElement("<x xmlns:gd=" + q(kGDNS) + " gd:etag='v'/>")->attributeForName("gd:etag"));
    back = roundTrip(clash);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->attributeForLocalName("etag", kGDNS)->stringValue(), "v");
    EXPECT_FALSE(back->attributeForLocalName("etag", "urn:not-gd"));
}

TEST(GDataXMLElementTest, AttributeLookups) {
    auto element = parseElement("<e xmlns:gd=" + q(kGDNS) + " gd:a='1' b='2' xml:lang='en'/>");
    auto attributes = element->attributes();
    ASSERT_EQ(attributes.size(), 3u);
    EXPECT_EQ(element->attributeForName("gd:a"), attributes[0]);  // the cached wrapper itself
    EXPECT_EQ(element->attributeForName("b")->stringValue(), "2");
    EXPECT_EQ(element->attributeForName("xml:lang")->stringValue(), "en");
    EXPECT_EQ(element->attributeForLocalName("lang", kXMLNS)->stringValue(), "en");
    EXPECT_EQ(element->attributeForLocalName("a", kGDNS)->stringValue(), "1");
    EXPECT_FALSE(element->attributeForLocalName("a", std::nullopt));
    EXPECT_FALSE(element->attributeForLocalName("a", "urn:other"));
    EXPECT_FALSE(element->attributeForName("missing"));
    EXPECT_EQ(element->attributeForXMLNode(reinterpret_cast<xmlAttrPtr>(attributes[1]->XMLNode())), attributes[1]);
    EXPECT_FALSE(element->attributeForXMLNode(nullptr));
}

TEST(GDataXMLElementTest, InPlaceReadersSeeWhatTheWrappersSee) {
    auto element = parseElement("<e xmlns:gd=" + q(kGDNS) + " gd:a='1' b='2'><gd:x/>text<y><z/></y><!--c--></e>");
    std::vector<const void*> seen;
    element->forEachChild([&](const GDataXMLNode& child) { seen.push_back(child.identity()); });
    std::vector<std::pair<std::string, std::string>> namespaces;
    element->forEachNamespace([&](std::string_view p, std::string_view u) { namespaces.emplace_back(p, u); });
    EXPECT_EQ(namespaces, (std::vector<std::pair<std::string, std::string>>{{"gd", kGDNS}}));

    // Lookups made before the children are cached wrap their matches alone; once cached, the
    // cached wrappers are handed out.
    auto early = element->elementsForName("gd:x");
    ASSERT_EQ(early.size(), 1u);
    const auto& children = element->children();
    ASSERT_EQ(children.size(), seen.size());
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(children[i]->identity(), seen[i]);
    EXPECT_EQ(early[0]->identity(), children[0]->identity());
    EXPECT_EQ(element->elementsForName("gd:x").at(0), children[0]);
    EXPECT_EQ(element->elementsForLocalName("y", std::nullopt).at(0), children[2]);

    // A wrapper by identity for a child element only.
    auto x = element->childElementWithIdentity(seen[0]);
    ASSERT_TRUE(x);
    EXPECT_EQ(x->name(), "gd:x");
    EXPECT_FALSE(element->childElementWithIdentity(seen[1]));  // text
    EXPECT_FALSE(element->childElementWithIdentity(children[2]->children().at(0)->identity()));  // grandchild
    EXPECT_FALSE(element->childElementWithIdentity(nullptr));

    std::string value;
    EXPECT_TRUE(element->visitAttributeForName("gd:a", [&](const GDataXMLNode& a) { value = *a.simpleContent(); }));
    EXPECT_EQ(value, "1");
    EXPECT_TRUE(element->visitAttributeForLocalName("b", std::nullopt, [&](const GDataXMLNode& a) { value = *a.simpleContent(); }));
    EXPECT_EQ(value, "2");
    EXPECT_FALSE(element->visitAttributeForLocalName("a", "urn:other", [](const GDataXMLNode&) { FAIL(); }));
}

TEST(GDataXMLElementTest, ResolvePrefixForNamespaceURI) {
    auto entry = atomEntry();
    EXPECT_EQ(entry->resolvePrefixForNamespaceURI(kAtomNS), "");
    EXPECT_EQ(entry->resolvePrefixForNamespaceURI(kGDNS), "gd");
    EXPECT_EQ(entry->resolvePrefixForNamespaceURI(kXMLNS), "xml");
    EXPECT_FALSE(entry->resolvePrefixForNamespaceURI("urn:unknown"));
}

TEST(GDataXMLElementTest, NamespacesNeverListTheXMLPrefix) {
    auto element = parseElement("<a xmlns:p='urn:p' xml:lang='en'><p:b xml:space='preserve'/></a>");
    auto namespaces = element->namespaces();
    ASSERT_EQ(namespaces.size(), 1u);
    EXPECT_EQ(namespaces[0]->name(), "p");
    EXPECT_EQ(namespaces[0]->stringValue(), "urn:p");
    element->addNamespace(GDataXMLNode::namespaceWithName("xml", kXMLNS));
    EXPECT_EQ(element->namespaces().size(), 1u);
    EXPECT_EQ(element->XMLString()->find("xmlns:xml"), std::string::npos);
    ASSERT_TRUE(roundTrip(element));
}

TEST(GDataXMLElementTest, DeclaringNamespacesResolvesTheSubtree) {
    auto feed = GDataXMLNode::elementWithName("feed");
    feed->addChild(GDataXMLNode::elementWithName("entry"));
    feed->addChild(GDataXMLNode::elementWithName("gd:email"));
    feed->setNamespaces({GDataXMLNode::namespaceWithName("", kAtomNS), GDataXMLNode::namespaceWithName("gd", kGDNS)});
    EXPECT_EQ(feed->namespaces().size(), 2u);
    EXPECT_EQ(feed->URI(), kAtomNS);
    EXPECT_EQ(feed->elementsForLocalName("entry", kAtomNS).size(), 1u);
    EXPECT_EQ(feed->elementsForLocalName("email", kGDNS).size(), 1u);

    feed->addNamespace(GDataXMLNode::namespaceWithName("gd", "urn:again"));  // prefix already declared
    EXPECT_EQ(feed->namespaces().size(), 2u);
    feed->addNamespace(GDataXMLNode::namespaceWithName("gContact", kContactNS));
    EXPECT_EQ(feed->namespaces().size(), 3u);
    EXPECT_EQ(feed->resolvePrefixForNamespaceURI(kContactNS), "gContact");
    ASSERT_TRUE(roundTrip(feed));
}

TEST(GDataXMLElementTest, ReplacingDeclarationsInUseKeepsTheTreeWritable) {
    auto entry = parseElement("<entry xmlns:gd=" + q(kGDNS) + " gd:etag='e'><gd:email/></entry>");
    auto oldDeclaration = entry->namespaces().at(0);
    entry->setNamespaces({GDataXMLNode::namespaceWithName("g", kGDNS)});
    EXPECT_EQ(oldDeclaration->name(), "gd");  // still readable
    EXPECT_EQ(oldDeclaration->stringValue(), kGDNS);
    auto back = roundTrip(entry);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->elementsForLocalName("email", kGDNS).size(), 1u);
    EXPECT_EQ(back->attributeForLocalName("etag", kGDNS)->stringValue(), "e");

    // Setting an element's own declarations again.
    auto same = parseElement("<entry xmlns=" + q(kAtomNS) + " xmlns:gd=" + q(kGDNS) + "><gd:email/><title/></entry>");
    same->setNamespaces(same->namespaces());
    EXPECT_EQ(same->namespaces().size(), 2u);
    back = roundTrip(same);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->URI(), kAtomNS);
    EXPECT_EQ(back->elementsForLocalName("email", kGDNS).size(), 1u);
    EXPECT_EQ(back->elementsForLocalName("title", kAtomNS).size(), 1u);

    // A new declaration that hides an outer one of the same prefix.
    auto outer = parseElement("<a xmlns:p='urn:one'><b><p:c/></b></a>");
    outer->elementsForName("b").at(0)->addNamespace(GDataXMLNode::namespaceWithName("p", "urn:two"));
    back = roundTrip(outer);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->elementsForName("b").at(0)->elementsForLocalName("c", "urn:one").size(), 1u);
}

TEST(GDataXMLElementTest, RemovedChildrenStayReadable) {
    auto doc = GDataXMLDocument::initWithXMLString("<feed xmlns=" + q(kAtomNS) + " xmlns:gd=" + q(kGDNS) +
                                                   "><entry><gd:email address='a'/></entry><entry/></feed>").valueOr(nullptr);
    auto feed = doc->rootElement();
    auto entries = feed->elementsForName("entry");
    ASSERT_EQ(entries.size(), 2u);
    auto email = entries[0]->children().at(0);
    feed->removeChild(entries[0]);
    EXPECT_EQ(feed->childCount(), 1u);
    EXPECT_EQ(feed->elementsForName("entry").size(), 1u);
    EXPECT_EQ(feed->children().at(0)->XMLNode(), entries[1]->XMLNode());
    feed->removeChild(entries[0]);  // not a child any more: nothing happens
    EXPECT_EQ(feed->childCount(), 1u);
    doc.reset();
    feed.reset();
    EXPECT_EQ(entries[0]->name(), "entry");
    EXPECT_EQ(email->URI(), kGDNS);
    auto copy = entries[0]->copy();
    ASSERT_TRUE(copy->XMLString());
    EXPECT_TRUE(reparsesCleanly(*copy->XMLString()));

    auto element = parseElement("<e a='1' b='2'/>");
    element->removeChild(element->attributeForName("a"));
    EXPECT_EQ(element->XMLString(), "<e b=\"2\"/>");
}

TEST(GDataXMLElementTest, AdjacentTextIsMergedLikeParsedText) {
    auto element = GDataXMLNode::elementWithName("e");
    element->addChild(GDataXMLNode::textWithStringValue("x"));
    element->addChild(GDataXMLNode::textWithStringValue("y"));
    EXPECT_EQ(element->childCount(), 1u);
    EXPECT_EQ(element->stringValue(), "xy");
    element->addChild(GDataXMLNode::elementWithName("b"));
    element->addChild(GDataXMLNode::textWithStringValue("z"));
    EXPECT_EQ(element->childCount(), 3u);
}

TEST(GDataXMLElementTest, AdoptingAChildGivesWhatAddingACopyGives) {
    // A subtree that buried a duplicate declaration when its own child was grafted.
    auto build = [] {
        auto email = GDataXMLNode::elementWithName("gd:email");
        email->addNamespace(GDataXMLNode::namespaceWithName("q", "urn:q"));
        email->addChild(parseElement("<q:badge xmlns:q='urn:q'>B</q:badge>"));
        email->addAttributeWithName("address", std::nullopt, "a@example.com");
        return email;
    };
    auto copied = atomEntry(), adopted = atomEntry();
    copied->addChild(build());
    adopted->adoptChild(build());
    EXPECT_EQ(adopted->XMLString(), copied->XMLString());

    // A child someone else still holds goes in as a copy and stays as it was.
    auto held = build();
    adopted->adoptChild(held);
    EXPECT_EQ(held->XMLString(), build()->XMLString());
    EXPECT_EQ(adopted->elementsForLocalName("email", kGDNS).size(), 2u);

    // A document adopts its root the same way, and the bytes parse again.
    auto doc = GDataXMLDocument::initAdoptingRootElement(std::move(adopted));
    ASSERT_TRUE(doc);
    auto data = doc->XMLData();
    ASSERT_TRUE(data);
    EXPECT_TRUE(reparsesCleanly(*data));
    EXPECT_EQ(doc->rootElement()->elementsForLocalName("email", kGDNS).size(), 2u);
}

TEST(GDataXMLElementTest, ParseFailuresOfElements) {
    platform::Error error;
    EXPECT_EQ((error = failureOf(GDataXMLElement::initWithXMLString("<a><b></a>"))).domain, kGDataXMLErrorDomain);
    EXPECT_EQ(error.domain, kGDataXMLErrorDomain);
    EXPECT_EQ(error.code, -1);
    EXPECT_EQ(error.userInfo.size(), 0u);
    EXPECT_EQ((error = failureOf(GDataXMLElement::initWithXMLString(""))).domain, kGDataXMLErrorDomain);
    EXPECT_EQ((error = failureOf(GDataXMLElement::initWithXMLString("<?xml version='1.0'?>"))).domain, kGDataXMLErrorDomain);
}

}  // namespace
}  // namespace quorvane
