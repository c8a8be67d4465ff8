// Documents written straight from the model must be byte for byte those its tree gives; where the
// writer cannot be sure, it gives up and the tree is used.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "gdata/GDataAtomServiceDocument.h"
#include "gdata/GDataContactConstants.h"
#include "gdata/GDataEmail.h"
#include "gdata/GDataEntryContact.h"
#include "gdata/GDataEntryContent.h"
#include "gdata/GDataEntryLink.h"
#include "gdata/GDataFeedContact.h"
#include "gdata/GDataGeo.h"
#include "gdata/GDataGeoPt.h"
#include "gdata/GDataXMLWriter.h"

using namespace quorvane;

namespace {

std::string text(const std::optional<platform::Bytes>& bytes) {
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("(none)");
}

GDataObjectPtr parsed(const std::string& xml) {
    auto document = GDataXMLDocument::initWithXMLString(xml).valueOr(nullptr);
    if (!document || !document->rootElement()) return nullptr;
    const GDataClassInfo* cls = GDataObject::objectClassForXMLElement(nullptr, document->rootElement());
    return cls ? GDataObject::objectWithXMLElement(*cls, document->rootElement(), nullptr) : nullptr;
}

// The bytes written directly (nullopt when the writer gave up) and those of the built tree.
std::pair<std::optional<platform::Bytes>, std::optional<platform::Bytes>> bothWays(const GDataObject& object) {
    auto tree = object.XMLDocument();
    tree->rootElement();  // the tree is built now
    return {object.writtenXMLData(), tree->XMLData()};
}

std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(GDataXMLWriter, EveryKeptFeedAndEntryIsWrittenDirectlyAsItsTree) {
    registerContactClasses();
    size_t objects = 0;
    for (const auto& file : std::filesystem::directory_iterator(std::string(QUORVANE_TEST_DATA_DIR) + "/gdata/generated")) {
        SCOPED_TRACE(file.path().filename().string());
        auto object = parsed(fileText(file.path()));
        ASSERT_TRUE(object);
        ++objects;
        auto [direct, tree] = bothWays(*object);
        ASSERT_TRUE(direct) << "the writer gave up";
        EXPECT_EQ(text(direct), text(tree));
    }
    EXPECT_GE(objects, 5u);
}

TEST(GDataXMLWriter, NodesAndNamespacesOutOfTheOrdinary) {
    registerContactClasses();
    const char* atom = "<entry xmlns='http://www.w3.org/2005/Atom' xmlns:gd='http://schemas.google.com/g/2005'";
    struct Case {
        std::string xml;
        bool direct;
    };
    const Case cases[] = {
        // Comments, processing instructions, the xml prefix, text escaped in content and attributes.
        {std::string(atom) + " xml:lang='fr'><!--note--><?pi data?><?bare?><title>a&#13;b &lt;&amp;&gt; \"'</title>"
                             "<u xmlns='urn:u' v='&#9;&#10;&#13;&quot;&lt;\xC3\xA9'>\xE2\x82\xAC<w/><!----></u></entry>",
         true},
        // gd bound to another URI on the entry: its elements are kept nodes under that binding.
        {"<feed xmlns='http://www.w3.org/2005/Atom' xmlns:gd='http://schemas.google.com/g/2005'><entry "
         "xmlns:gd='urn:other' gd:a='1'><gd:email address='x'/><id>i</id></entry></feed>",
         true},
        // A kept element and attribute in namespaces declared on the feed and redeclared below.
        {"<feed xmlns='http://www.w3.org/2005/Atom' xmlns:x='urn:x' xmlns:gd='http://schemas.google.com/g/2005'><entry "
         "x:k='1'><x:a xmlns:x='urn:x'><x:b xmlns:x='urn:y' x:c='2'/></x:a><gd:email address='a' x:m='3'/></entry>"
         "</feed>",
         true},
        // The entry's own attribute in a namespace only the feed declared, under another prefix there.
        {"<feed xmlns='http://www.w3.org/2005/Atom' xmlns:g='http://schemas.google.com/g/2005'><entry g:etag='e'>"
         "<g:email address='b'/></entry></feed>",
         true},
        // An entry on its own that declares the ETag's namespace under a prefix of its own.
        {"<entry xmlns='http://www.w3.org/2005/Atom' xmlns:g='http://schemas.google.com/g/2005' g:etag='e'/>", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.xml);
        auto object = parsed(c.xml);
        ASSERT_TRUE(object);
        auto [direct, tree] = bothWays(*object);
        EXPECT_EQ(bool(direct), c.direct);
        if (direct) {
            EXPECT_EQ(text(direct), text(tree));
        }
    }
}

TEST(GDataXMLWriter, ObjectsMadeInCodeNeedTheirDeclarationsInScope) {
    registerContactClasses();
    auto contact = GDataEntryContact::contactEntryWithFullNameString(std::string("Ann"));
    contact->setETag(std::string("\"e\""));
    contact->addEmailAddress(GDataEmail::emailWithLabel(std::string("home"), std::string("ann@example.com")));
    auto feed = GDataFeedContact::contactFeed();
    feed->addEntry(contact);
    // Declared on the entry, or on the feed it is written in: written directly.
    for (const GDataObject* object : {static_cast<const GDataObject*>(contact.get()), static_cast<const GDataObject*>(feed.get())}) {
        auto [direct, tree] = bothWays(*object);
        ASSERT_TRUE(direct);
        EXPECT_EQ(text(direct), text(tree));
    }
    // Declared on the feed only: written apart from it, the entry declares the feed's bindings.
    contact->setNamespaces({});
    auto apart = contact->writtenXMLData();
    ASSERT_TRUE(apart);
    EXPECT_NE(text(apart).find(" xmlns:gd=\"http://schemas.google.com/g/2005\" "), std::string::npos) << text(apart);
    // Declared nowhere: the tree declares them on the root, the writer gives up.
    auto orphan = std::dynamic_pointer_cast<GDataObject>(contact->copy());
    ASSERT_TRUE(orphan && !orphan->parent());
    EXPECT_FALSE(orphan->writtenXMLData());
    auto [direct, tree] = bothWays(*orphan);
    EXPECT_NE(text(tree).find("=\"http://schemas.google.com/g/2005\""), std::string::npos) << text(tree);
}

TEST(GDataXMLWriter, ClassesThatAddToTheirOwnElementsWriteWhatTheirTreesHold) {
    registerContactClasses();
    GDataAtomServiceDocument::registerServiceDocumentClass();
    auto named = [](const char* name) { return GDataEntryContact::contactEntryWithFullNameString(std::string(name)); };
    auto entry = named("Geo");
    entry->addNamespaces(GDataGeo::geoNamespaces());
    entry->setObject(GDataGeo::geoWithLatitude<GDataGeoRSSPoint>(1.5, -2.25), GDataGeoRSSPoint::staticClassInfo());
    entry->setObject(GDataGeo::geoWithLatitude<GDataGeoRSSWhere>(3, 4), GDataGeoRSSWhere::staticClassInfo());
    entry->setObject(GDataGeo::geoWithLatitude<GDataGeoW3CPoint>(-5.125, 6), GDataGeoW3CPoint::staticClassInfo());
    entry->setObject(GDataGeoPt::geoPtWithLabel(std::string("a & <b>"), 1.0, 2.5, std::nullopt, std::nullopt),
                     GDataGeoPt::staticClassInfo());
    auto link = GDataEntryLink::entryLinkWithHref(std::string("h"), true);
    link->setEntry(named("Linked"));
    entry->setObject(link, GDataEntryLink::staticClassInfo());
    auto content = GDataEntryContent::contentWithString(std::string("text"));
    content->setChildObject(named("Inner"));
    entry->setContent(content);
    auto service = parsed(
        "<service xmlns='http://www.w3.org/2007/app' xmlns:atom='http://www.w3.org/2005/Atom'><workspace>"
        "<atom:title>W</atom:title><collection href='c'><atom:title>C</atom:title><accept>image/*</accept>"
        "</collection></workspace></service>");
    ASSERT_TRUE(service);
    for (const GDataObject* object : {static_cast<const GDataObject*>(entry.get()), static_cast<const GDataObject*>(service.get())}) {
        auto [direct, tree] = bothWays(*object);
        ASSERT_TRUE(direct);
        EXPECT_EQ(text(direct), text(tree));
    }
    auto bytes = text(entry->writtenXMLData());
    for (const char* part : {"<georss:point>1.5 -2.25</georss:point>", "<gml:Point><gml:pos>3 4</gml:pos></gml:Point>",
                             "<geo:lat>-5.125</geo:lat><geo:long>6</geo:long>", "label=\"a &amp; &lt;b&gt;\"",
                             "Linked", "Inner"})
        EXPECT_NE(bytes.find(part), std::string::npos) << part;
}

TEST(GDataXMLWriter, GivesUpOnWhatTheTreeWouldWriteOtherwise) {
    auto written = [](auto&& build) {
        GDataXMLWriter writer;
        build(writer);
        return writer.finish();
    };
    // A prefix bound nowhere, a braced name, text the tree would cut at its first zero byte, two
    // attributes of one expanded name, a second root.
    EXPECT_FALSE(written([](GDataXMLWriter& w) { w.startElement("gd:email"); w.endElement(); }));
    EXPECT_FALSE(written([](GDataXMLWriter& w) { w.startElement("{urn:x}:a"); w.endElement(); }));
    EXPECT_FALSE(written([](GDataXMLWriter& w) {
        w.startElement("a");
        w.addText(std::string_view("x\0y", 3));
        w.endElement();
    }));
    EXPECT_FALSE(written([](GDataXMLWriter& w) {
        w.startElement("a");
        w.declareNamespace("p", "urn:p");
        w.declareNamespace("q", "urn:p");
        w.addAttribute("p:v", "1");
        w.addAttribute("q:v", "2");
        w.endElement();
    }));
    EXPECT_FALSE(written([](GDataXMLWriter& w) {
        w.startElement("a");
        w.endElement();
        w.startElement("b");
        w.endElement();
    }));
    auto fine = written([](GDataXMLWriter& w) {
        w.startElement("a");
        w.declareNamespace("p", "urn:p");
        w.declareNamespace("p", "urn:ignored");
        w.startElement("p:b");
        w.declareNamespace("p", "urn:p");
        w.addAttribute("p:v", "<\"&\n>");
        w.endElement();
        w.startElement("c");
        w.addText("");
        w.endElement();
        w.endElement();
    });
    EXPECT_EQ(text(fine),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<a xmlns:p=\"urn:p\"><p:b p:v=\"&lt;&quot;&amp;&#10;&gt;\"/><c></c></a>\n");
}

// Nothing that is not XML is written. The model drops from what it writes the characters XML
// forbids (controls, U+FFFE, halves of surrogate pairs); any other text that is not UTF-8 makes no
// document by any way of writing it, where a written reference must name an allowed character.
TEST(GDataXMLWriter, RefusesTextXMLCannotHold) {
    struct Case {
        std::string text;
        const char* problem;  // nullptr: fine
        bool droppedByTheModel;
    } const cases[] = {
        {"tab\t, lines\n\r, \xC3\xA9, \xE2\x82\xAC, \xF0\x9F\x98\x80, \xEF\xBF\xBD, &amp; &#9; &#x10FFFF;", nullptr, false},
        {"\xFF", "byte 0xFF at 0 is not UTF-8", false},
        {"ab\xC3", "byte 0xC3 at 2 is not UTF-8", false},              // cut short
        {"\xC0\x80", "byte 0xC0 at 0 is not UTF-8", false},            // overlong
        {"\xF4\x90\x80\x80", "byte 0xF4 at 0 is not UTF-8", false},    // past U+10FFFF
        {"\xED\xA0\x80", "byte 0xED at 0 is not UTF-8", true},         // a surrogate
        {"a\x01", "U+0001 at 1 is a character XML cannot hold", true},
        {"\x1B[0m", "U+001B at 0 is a character XML cannot hold", true},
        {"\xEF\xBF\xBE", "U+FFFE at 0 is a character XML cannot hold", true},
        {"x&#1;", "U+0001 at 1 is a character XML cannot hold", false},
        {"&#x0;", "U+0000 at 0 is a character XML cannot hold", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(xmlDocumentProblem(c.text), c.problem ? std::optional<std::string>(c.problem) : std::nullopt);
        if (c.text.find('&') != std::string::npos) {
            EXPECT_FALSE(xmlTextProblem(c.text));  // in a text it is no reference: it is written escaped
            continue;
        }
        GDataXMLWriter writer;
        writer.startElement("a");
        writer.addAttribute("v", c.text);
        writer.endElement();
        EXPECT_EQ(writer.finish().has_value(), !c.problem);
        EXPECT_EQ(writer.refused().has_value(), bool(c.problem));
        // An entry holding it gives no document, nor does a feed holding that entry.
        const bool written = !c.problem || c.droppedByTheModel;
        auto entry = GDataEntryContact::contactEntryWithFullNameString("Ann " + c.text);
        auto bytes = entry->XMLDocument()->XMLData();
        EXPECT_EQ(bytes.has_value(), written);
        if (bytes) EXPECT_FALSE(xmlDocumentProblem(text(bytes)));
        auto feed = GDataFeedContact::contactFeed();
        feed->addEntry(entry);
        EXPECT_EQ(feed->XMLDocument()->XMLData().has_value(), written);
    }
}
