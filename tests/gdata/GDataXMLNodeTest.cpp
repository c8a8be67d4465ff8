// Nodes of the XML layer: factories, names, values, serialisation, copies, equality, XPath,
// and the lifetime of wrappers against the trees they point into.

#include <gtest/gtest.h>

#include "gdata/GDataXMLDocument.h"
#include "gdata/GDataXMLElement.h"
#include "gdata/GDataXMLNode.h"
#include "platform/foundation/Log.h"
#include "tests/gdata/GDataXMLTestSupport.h"

namespace quorvane {
namespace {

using namespace xmltest;

std::shared_ptr<GDataXMLElement> parseElement(std::string_view xml) {
    auto parsed = GDataXMLElement::initWithXMLString(xml);
    EXPECT_TRUE(parsed) << xml;
    auto element = parsed.valueOr(nullptr);
    return element;
}

const std::string kFeed = std::string("<feed xmlns='") + kAtomNS + "' xmlns:gd='" + kGDNS +
                          "'><title>Contacts</title>"
                          "<entry gd:etag='W/&quot;1&quot;'><title>Ann</title><gd:email address='ann@example.com'/></entry>"
                          "<entry><title>Bob</title><!-- kept --></entry></feed>";

TEST(GDataXMLNodeTest, FactoriesMakeOwningNodesOfEachKind) {
    auto element = GDataXMLNode::elementWithName("gd:email");
    ASSERT_TRUE(element);
    EXPECT_EQ(element->kind(), GDataXMLNodeKind::Element);
    EXPECT_TRUE(element->shouldFreeXMLNode());
    EXPECT_EQ(element->name(), "gd:email");  // literal until grafted where gd is bound
    EXPECT_EQ(element->localName(), "email");
    EXPECT_EQ(element->prefix(), "");
    EXPECT_FALSE(element->URI());
    EXPECT_EQ(element->XMLString(), "<gd:email/>");

    auto braced = GDataXMLNode::elementWithNameURI("x:email", kGDNS);
    EXPECT_EQ(braced->name(), std::string("{") + kGDNS + "}:email");
    EXPECT_EQ(braced->localName(), "email");

    auto withValue = GDataXMLNode::elementWithName("title", "Ann & Bob");
    EXPECT_EQ(withValue->childCount(), 1u);
    EXPECT_EQ(withValue->stringValue(), "Ann & Bob");
    EXPECT_EQ(withValue->XMLString(), "<title>Ann &amp; Bob</title>");

    auto attribute = GDataXMLNode::attributeWithName("rel", "home");
    EXPECT_EQ(attribute->kind(), GDataXMLNodeKind::Attribute);
    EXPECT_EQ(attribute->name(), "rel");
    EXPECT_EQ(attribute->stringValue(), "home");
    EXPECT_EQ(attribute->XMLString(), "rel=\"home\"");
    auto bracedAttribute = GDataXMLNode::attributeWithName("gd:rel", kGDNS, "work");
    EXPECT_EQ(bracedAttribute->name(), std::string("{") + kGDNS + "}:rel");

    auto text = GDataXMLNode::textWithStringValue("a < b");
    EXPECT_EQ(text->kind(), GDataXMLNodeKind::Text);
    EXPECT_EQ(text->stringValue(), "a < b");
    EXPECT_EQ(text->XMLString(), "a &lt; b");

    auto ns = GDataXMLNode::namespaceWithName("gd", kGDNS);
    EXPECT_EQ(ns->kind(), GDataXMLNodeKind::Namespace);
    EXPECT_EQ(ns->name(), "gd");
    EXPECT_EQ(ns->localName(), "gd");
    EXPECT_EQ(ns->stringValue(), kGDNS);
    EXPECT_FALSE(ns->URI());
    EXPECT_EQ(ns->prefix(), "");
    EXPECT_EQ(ns->XMLString(), std::string("xmlns:gd=\"") + kGDNS + "\"");
    EXPECT_EQ(ns->childCount(), 0u);
    EXPECT_TRUE(ns->children().empty());
    auto defaultNS = GDataXMLNode::namespaceWithName("", kAtomNS);
    EXPECT_EQ(defaultNS->name(), "");
    ns->setStringValue(kContactNS);
    EXPECT_EQ(ns->stringValue(), kContactNS);

    EXPECT_EQ(GDataXMLNode::nodeConsumingXMLNode(nullptr), nullptr);
    EXPECT_EQ(GDataXMLNode::nodeBorrowingXMLNode(nullptr), nullptr);
}

TEST(GDataXMLNodeTest, LocalNameAndPrefixOfNames) {
    EXPECT_EQ(GDataXMLNode::localNameForName("gd:email"), "email");
    EXPECT_EQ(GDataXMLNode::localNameForName("email"), "email");
    EXPECT_EQ(GDataXMLNode::localNameForName("gd:"), "gd:");  // its only colon ends it
    EXPECT_EQ(GDataXMLNode::localNameForName("a:b:c"), "b:c");
    EXPECT_EQ(GDataXMLNode::prefixForName("a:b:c"), "a");
    EXPECT_EQ(GDataXMLNode::prefixForName("gd:email"), "gd");
    EXPECT_FALSE(GDataXMLNode::prefixForName("email"));
}

TEST(GDataXMLNodeTest, ParsedNodesReportNamesPrefixesAndURIs) {
    auto feed = parseElement(kFeed);
    EXPECT_EQ(feed->name(), "feed");
    EXPECT_EQ(feed->URI(), kAtomNS);
    EXPECT_EQ(feed->prefix(), "");
    auto entry = feed->elementsForName("entry").at(0);
    auto email = entry->elementsForLocalName("email", kGDNS).at(0);
    EXPECT_EQ(email->name(), "gd:email");
    EXPECT_EQ(email->qualifiedName(), "gd:email");
    EXPECT_EQ(email->localName(), "email");
    EXPECT_EQ(email->prefix(), "gd");
    EXPECT_EQ(email->URI(), kGDNS);
    auto etag = entry->attributeForName("gd:etag");
    ASSERT_TRUE(etag);
    EXPECT_EQ(etag->name(), "gd:etag");
    EXPECT_EQ(etag->URI(), kGDNS);
    EXPECT_EQ(etag->stringValue(), "W/\"1\"");

    auto second = feed->elementsForName("entry").at(1);
    ASSERT_EQ(second->childCount(), 2u);
    EXPECT_EQ(second->childAtIndex(1)->kind(), GDataXMLNodeKind::Comment);
    EXPECT_EQ(second->childAtIndex(1)->XMLString(), "<!-- kept -->");
    EXPECT_EQ(second->childAtIndex(2), nullptr);
    EXPECT_EQ(second->stringValue(), "Bob");
}

TEST(GDataXMLNodeTest, ChildWrappersAreCachedUntilTheElementChanges) {
    auto feed = parseElement(kFeed);
    auto first = feed->children();
    auto again = feed->children();
    ASSERT_EQ(first.size(), 3u);
    for (size_t i = 0; i < first.size(); ++i) EXPECT_EQ(first[i], again[i]);
    // Lookups hand out the same wrappers, so a node can be recognised by identity.
    EXPECT_EQ(feed->elementsForName("entry").at(0), first[1]);
    feed->addChild(GDataXMLNode::elementWithName("entry"));
    EXPECT_EQ(feed->childCount(), 4u);
    EXPECT_EQ(feed->children().size(), 4u);
}

TEST(GDataXMLNodeTest, SetStringValueStoresTextLiterally) {
    const std::string tricky = "AT&T &amp; <x> \"q\"";
    auto note = GDataXMLNode::elementWithName("note");
    note->setStringValue(tricky);
    EXPECT_EQ(note->stringValue(), tricky);
    EXPECT_EQ(note->XMLString(), "<note>AT&amp;T &amp;amp; &lt;x&gt; \"q\"</note>");
    auto reparsed = parseElement(*note->XMLString());
    EXPECT_EQ(reparsed->stringValue(), tricky);

    // Replacing the content of an element with children: wrappers of the old children stay usable.
    auto entry = parseElement("<entry><title>Old</title><b>x</b></entry>");
    auto oldTitle = entry->children().at(0);
    entry->setStringValue(tricky);
    EXPECT_EQ(entry->childCount(), 1u);
    EXPECT_EQ(entry->stringValue(), tricky);
    EXPECT_EQ(oldTitle->XMLString(), "<title>Old</title>");

    auto attribute = GDataXMLNode::attributeWithName("label", "x");
    attribute->setStringValue(tricky);
    EXPECT_EQ(attribute->stringValue(), tricky);
    auto holder = GDataXMLNode::elementWithName("holder");
    holder->addAttribute(attribute);
    auto doc = GDataXMLDocument::initWithRootElement(holder);
    auto data = doc->XMLData();
    ASSERT_TRUE(data);
    EXPECT_TRUE(reparsesCleanly(*data));
    auto back = GDataXMLDocument::initWithData(*data).valueOr(nullptr);
    EXPECT_EQ(back->rootElement()->attributeForName("label")->stringValue(), tricky);

    auto text = GDataXMLNode::textWithStringValue("a");
    text->setStringValue("&lt;");
    EXPECT_EQ(text->stringValue(), "&lt;");
}

TEST(GDataXMLNodeTest, XMLStringIsTrimmed) {
    auto text = GDataXMLNode::textWithStringValue("\n\n  hello world \n");
    EXPECT_EQ(text->XMLString(), "hello world");
    auto comment = parseElement("<a><!--\n note \n--></a>")->childAtIndex(0);
    EXPECT_EQ(comment->XMLString(), "<!--\n note \n-->");
}

TEST(GDataXMLNodeTest, EqualityIsShallow) {
    auto a = parseElement("<entry><title>Ann</title></entry>");
    auto b = parseElement("<entry><name>Bob</name></entry>");
    auto c = parseElement("<entry><title>Ann</title><title>Ann</title></entry>");
    auto d = parseElement("<item><title>Ann</title></item>");
    EXPECT_TRUE(a->isEqual(b));  // same kind, name and number of children
    EXPECT_FALSE(a->isEqual(c));
    EXPECT_FALSE(a->isEqual(d));
    EXPECT_FALSE(a->isEqual(nullptr));
    auto wrapper = GDataXMLNode::nodeBorrowingXMLNode(a->XMLNode());
    EXPECT_TRUE(a->isEqual(wrapper));
    EXPECT_EQ(a->hash(), d->hash());
    EXPECT_EQ(a->hash(), GDataXMLNode::textWithStringValue("x")->hash());
}

TEST(GDataXMLNodeTest, DescriptionShowsTypeNameAndXML) {
    auto element = GDataXMLNode::elementWithName("foo");
    std::string description = element->description();
    EXPECT_EQ(description.rfind("GDataXMLElement 0x", 0), 0u) << description;
    EXPECT_NE(description.find(": {type:1 name:foo xml:\"<foo/>\"}"), std::string::npos) << description;
    EXPECT_EQ(GDataXMLNode::textWithStringValue("t")->description().rfind("GDataXMLNode ", 0), 0u);
}

TEST(GDataXMLNodeTest, KindsFollowTheNodeTypes) {
    auto doc = GDataXMLDocument::initWithXMLString("<?xml version='1.0'?><!DOCTYPE a><a><?pi data?>t<!--c--></a>").valueOr(nullptr);
    ASSERT_TRUE(doc);
    auto root = doc->rootElement();
    ASSERT_EQ(root->childCount(), 3u);
    EXPECT_EQ(root->childAtIndex(0)->kind(), GDataXMLNodeKind::ProcessingInstruction);
    EXPECT_EQ(root->childAtIndex(1)->kind(), GDataXMLNodeKind::Text);
    EXPECT_EQ(root->childAtIndex(2)->kind(), GDataXMLNodeKind::Comment);
    auto top = doc->nodesForXPath("/");
    ASSERT_TRUE(top);
    ASSERT_EQ(top->size(), 1u);
    EXPECT_EQ(top->at(0)->kind(), GDataXMLNodeKind::Document);
    EXPECT_EQ(top->at(0)->childAtIndex(0)->kind(), GDataXMLNodeKind::DTD);
}

TEST(GDataXMLNodeTest, CopiesAreDeepAndIndependent) {
    auto feed = parseElement(kFeed);
    auto entry = feed->elementsForName("entry").at(0);
    auto copy = entry->copy();
    ASSERT_TRUE(copy);
    EXPECT_TRUE(copy->shouldFreeXMLNode());
    EXPECT_NE(copy->XMLNode(), entry->XMLNode());
    EXPECT_TRUE(copy->isEqual(entry));
    feed.reset();
    entry.reset();
    // The copy declares the namespaces it uses from its former ancestors.
    auto xml = copy->XMLString();
    ASSERT_TRUE(xml);
    EXPECT_TRUE(reparsesCleanly(*xml));
    EXPECT_EQ(copy->elementsForLocalName("email", kGDNS).size(), 1u);
}

TEST(GDataXMLNodeTest, AttributeCopyKeepsItsNamespaceAndOwnsItsStrings) {
    auto doc = GDataXMLDocument::initWithXMLString(kFeed).valueOr(nullptr);
    auto etag = doc->rootElement()->elementsForName("entry").at(0)->attributeForName("gd:etag");
    ASSERT_TRUE(etag);
    auto copy = etag->copy();
    etag.reset();
    doc.reset();  // the source document and its string dictionary are gone
    EXPECT_EQ(copy->kind(), GDataXMLNodeKind::Attribute);
    EXPECT_EQ(copy->name(), "gd:etag");
    EXPECT_EQ(copy->URI(), kGDNS);
    EXPECT_EQ(copy->stringValue(), "W/\"1\"");
    EXPECT_EQ(copy->XMLString(), "gd:etag=\"W/&quot;1&quot;\"");

    // Added to an element that has no gd declaration, it brings one.
    auto entry = GDataXMLNode::elementWithName("entry");
    entry->addAttribute(copy);
    auto added = entry->attributeForLocalName("etag", kGDNS);
    ASSERT_TRUE(added);
    EXPECT_EQ(added->stringValue(), "W/\"1\"");
    EXPECT_TRUE(reparsesCleanly(*entry->XMLString()));

    // The raw copy keeps the namespace too.
    auto parsed = parseElement(std::string("<e xmlns:gd='") + kGDNS + "' gd:x='1'/>");
    xmlNodePtr raw = parsed->attributeForName("gd:x")->XMLNodeCopy();
    ASSERT_TRUE(raw);
    auto rawAttribute = reinterpret_cast<xmlAttrPtr>(raw);
    ASSERT_TRUE(rawAttribute->ns);
    EXPECT_STREQ(reinterpret_cast<const char*>(rawAttribute->ns->href), kGDNS);
    xmlNsPtr rawNS = rawAttribute->ns;
    xmlFreeProp(rawAttribute);
    xmlFreeNs(rawNS);
}

TEST(GDataXMLNodeTest, WrappersKeepTheirDocumentAlive) {
    // Parse, keep wrappers, drop the document, then read and serialise them.
    auto doc = GDataXMLDocument::initWithXMLString(kFeed).valueOr(nullptr);
    ASSERT_TRUE(doc);
    auto root = doc->rootElement();
    auto entry = root->elementsForName("entry").at(0);
    auto unparsed = entry->children();  // what an object keeps as unparsed XML
    auto attributes = entry->attributes();
    doc.reset();
    root.reset();

    EXPECT_EQ(entry->name(), "entry");
    ASSERT_EQ(unparsed.size(), 2u);
    EXPECT_EQ(unparsed[1]->name(), "gd:email");
    EXPECT_EQ(attributes.at(0)->stringValue(), "W/\"1\"");

    // Written back into a new tree, the kept nodes come out whole.
    auto rebuilt = GDataXMLNode::elementWithName("entry");
    rebuilt->addNamespace(GDataXMLNode::namespaceWithName("", kAtomNS));
    for (const auto& node : unparsed) rebuilt->addChild(node);
    for (const auto& attribute : attributes) rebuilt->addAttribute(attribute);
    auto out = GDataXMLDocument::initWithRootElement(rebuilt)->XMLData();
    ASSERT_TRUE(out);
    EXPECT_TRUE(reparsesCleanly(*out));
    auto again = GDataXMLDocument::initWithData(*out).valueOr(nullptr)->rootElement();
    EXPECT_EQ(again->elementsForLocalName("email", kGDNS).at(0)->attributeForName("address")->stringValue(),
              "ann@example.com");
    EXPECT_EQ(again->attributeForLocalName("etag", kGDNS)->stringValue(), "W/\"1\"");
}

TEST(GDataXMLNodeTest, OwnershipCanBeHandedOver) {
    auto element = GDataXMLNode::elementWithName("mine");
    xmlNodePtr raw = element->XMLNode();
    element->setShouldFreeXMLNode(false);
    EXPECT_FALSE(element->shouldFreeXMLNode());
    element.reset();
    EXPECT_STREQ(reinterpret_cast<const char*>(raw->name), "mine");  // not freed
    auto adopted = GDataXMLNode::nodeConsumingXMLNode(raw);
    EXPECT_TRUE(adopted->shouldFreeXMLNode());
    EXPECT_TRUE(std::dynamic_pointer_cast<GDataXMLElement>(adopted));

    // A node inside a tree cannot be taken over.
    platform::AssertionHandler::set([](const platform::AssertionFailure&) {});
    platform::AssertionHandler::resetCount();
    auto feed = parseElement(kFeed);
    auto borrowed = GDataXMLNode::nodeBorrowingXMLNode(feed->childAtIndex(0)->XMLNode());
    EXPECT_FALSE(borrowed->shouldFreeXMLNode());
    borrowed->setShouldFreeXMLNode(true);
    EXPECT_FALSE(borrowed->shouldFreeXMLNode());
    EXPECT_EQ(platform::AssertionHandler::count(), 1u);
    platform::AssertionHandler::set(nullptr);
}

// --- XPath ---

TEST(GDataXMLNodeTest, XPathWithAndWithoutNamespaceDictionary) {
    auto doc = GDataXMLDocument::initWithXMLString(kFeed).valueOr(nullptr);
    GDataXMLNamespaceDictionary namespaces{{"a", kAtomNS}, {"gd", kGDNS}};
    auto entries = doc->nodesForXPath("//a:entry", &namespaces);
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 2u);
    EXPECT_TRUE(std::dynamic_pointer_cast<GDataXMLElement>(entries->at(0)));
    auto emails = doc->nodesForXPath("//gd:email/@address", &namespaces);
    ASSERT_TRUE(emails);
    ASSERT_EQ(emails->size(), 1u);
    EXPECT_EQ(emails->at(0)->kind(), GDataXMLNodeKind::Attribute);
    EXPECT_EQ(emails->at(0)->stringValue(), "ann@example.com");

    // Without a dictionary the declarations from the context element's namespace on are
    // registered, the default one as "_def_ns".
    auto root = doc->rootElement();
    auto titles = root->nodesForXPath("_def_ns:entry/_def_ns:title");
    ASSERT_TRUE(titles);
    ASSERT_EQ(titles->size(), 2u);
    EXPECT_EQ(titles->at(1)->stringValue(), "Bob");
    auto gdEmails = root->nodesForXPath("//gd:email");
    ASSERT_TRUE(gdEmails);
    EXPECT_EQ(gdEmails->size(), 1u);

    auto count = doc->nodesForXPath("count(//*)", &namespaces);
    ASSERT_TRUE(count);
    EXPECT_TRUE(count->empty());  // not a node set
}

TEST(GDataXMLNodeTest, XPathFailureReportsLibxmlError) {
    auto doc = GDataXMLDocument::initWithXMLString(kFeed).valueOr(nullptr);
    testing::internal::CaptureStderr();
    auto invalid = doc->nodesForXPath("//[");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_FALSE(invalid);
    platform::Error error = invalid.error();
    EXPECT_EQ(error.domain, kGDataXMLErrorDomain);
    EXPECT_EQ(error.code, XML_XPATH_EXPR_ERROR);
    EXPECT_EQ(error.userInfo[kGDataXMLErrorKey].asString(), "Invalid expression");

    auto undeclared = doc->nodesForXPath("//undeclared:thing");
    ASSERT_FALSE(undeclared);
    EXPECT_FALSE(undeclared.error().userInfo[kGDataXMLErrorKey].asString().empty());
    EXPECT_TRUE(doc->nodesForXPath("//*"));

    auto ns = GDataXMLNode::namespaceWithName("p", "urn:p");
    auto refused = ns->nodesForXPath("*");
    ASSERT_FALSE(refused);
    error = refused.error();
    EXPECT_EQ(error.code, -1);
    EXPECT_EQ(error.userInfo[kGDataXMLErrorKey].asString(), "invalid node");
}

TEST(GDataXMLNodeTest, XPathNamespaceResultsAreOwnedCopies) {
    auto doc = GDataXMLDocument::initWithXMLString(kFeed).valueOr(nullptr);
    auto found = doc->rootElement()->nodesForXPath("namespace::*");
    doc.reset();
    ASSERT_TRUE(found);
    ASSERT_GE(found->size(), 2u);  // default, gd and the implicit xml namespace
    bool sawGD = false;
    for (const auto& node : *found) {
        EXPECT_EQ(node->kind(), GDataXMLNodeKind::Namespace);
        EXPECT_TRUE(node->shouldFreeXMLNode());
        if (node->name() == "gd") {
            sawGD = true;
            EXPECT_EQ(node->stringValue(), kGDNS);
        }
    }
    EXPECT_TRUE(sawGD);
}

TEST(GDataXMLNodeTest, XPathOnDetachedSubtreeLeavesItDetached) {
    auto tree = parseElement("<a><b><c>1</c><c>2</c></b></a>");
    auto b = tree->elementsForName("b").at(0);
    auto relative = b->nodesForXPath("c");
    ASSERT_TRUE(relative);
    EXPECT_EQ(relative->size(), 2u);
    auto absolute = b->nodesForXPath("/a/b/c[2]");
    ASSERT_TRUE(absolute);
    ASSERT_EQ(absolute->size(), 1u);
    EXPECT_EQ(absolute->at(0)->stringValue(), "2");
    auto top = b->nodesForXPath("/");
    ASSERT_TRUE(top);
    EXPECT_TRUE(top->empty());  // the scratch document does not come back
    EXPECT_EQ(tree->XMLNode()->doc, nullptr);
    EXPECT_EQ(tree->XMLNode()->parent, nullptr);
    EXPECT_EQ(b->XMLNode()->doc, nullptr);
    EXPECT_EQ(tree->XMLString(), "<a><b><c>1</c><c>2</c></b></a>");

    auto lone = GDataXMLNode::textWithStringValue("t");
    auto self = lone->nodesForXPath(".");
    ASSERT_TRUE(self);
    ASSERT_EQ(self->size(), 1u);
    EXPECT_EQ(self->at(0)->XMLNode(), lone->XMLNode());
}

}  // namespace
}  // namespace quorvane

namespace quorvane {
namespace {

TEST(GDataXMLNodeTest, ViewsReadNamesTextAndMarksWithoutCopies) {
    auto feed = GDataXMLElement::initWithXMLString(
        std::string("<feed xmlns='") + xmltest::kAtomNS + "' xmlns:gd='" + xmltest::kGDNS +
        "'><gd:email a='1' gd:b=''><![CDATA[x]]>y</gd:email><title>T</title><u:x xmlns:u='urn:u'/><e/></feed>").valueOr(nullptr);
    ASSERT_TRUE(feed);
    const auto& c = feed->children();
    ASSERT_EQ(c.size(), 4u);
    struct Row {
        std::shared_ptr<GDataXMLNode> node;
        std::string_view stored;
        std::optional<std::string_view> uri;
        std::string_view qualified;
        std::optional<std::string_view> simple;
    };
    auto email = std::static_pointer_cast<GDataXMLElement>(c[0]);
    const Row rows[] = {
        {feed, "feed", std::string_view(xmltest::kAtomNS), "feed", std::nullopt},  // element children
        {c[0], "email", std::string_view(xmltest::kGDNS), "gd:email", std::string_view("xy")},  // CDATA merged
        {c[1], "title", std::string_view(xmltest::kAtomNS), "title", std::string_view("T")},
        {c[3], "e", std::string_view(xmltest::kAtomNS), "e", std::string_view("")},
        {email->attributeForName("a"), "a", std::nullopt, "a", std::string_view("1")},
        {email->attributeForName("gd:b"), "b", std::string_view(xmltest::kGDNS), "gd:b", std::string_view("")},
        {email->children()[0], "text", std::nullopt, "text", std::string_view("xy")},
    };
    for (const auto& r : rows) {
        ASSERT_TRUE(r.node);
        SCOPED_TRACE(std::string(r.qualified));
        EXPECT_EQ(r.node->storedName(), r.stored);
        EXPECT_EQ(r.node->namespaceURIView(), r.uri);
        EXPECT_TRUE(r.node->hasQualifiedName(r.qualified));
        EXPECT_FALSE(r.node->hasQualifiedName(std::string(r.qualified) + "x"));
        EXPECT_EQ(r.node->simpleContent(), r.simple);
        EXPECT_EQ(r.node->mark(), nullptr);
        r.node->setMark(&r);
        EXPECT_EQ(r.node->mark(), &r);
    }
    EXPECT_TRUE(email->children()[0]->isTextNode());
    EXPECT_FALSE(email->isTextNode());
    // The mark lives on the node: another wrapper of it sees it.
    EXPECT_EQ(feed->children()[1]->identity(), c[1]->identity());
    EXPECT_EQ(feed->children()[1]->mark(), &rows[2]);
    auto ns = GDataXMLNode::namespaceWithName("p", "urn:p");
    ns->setMark(&rows[0]);  // a namespace record has no mark
    EXPECT_EQ(ns->mark(), nullptr);
}

}  // namespace
}  // namespace quorvane
