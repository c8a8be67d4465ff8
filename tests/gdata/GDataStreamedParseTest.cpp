// A document parsed while it is read (entries taken and freed one by one) gives the same object
// as the parse of its whole tree, whatever comes where in the feed.

#include <gtest/gtest.h>

#include "gdata/GDataEntryContact.h"
#include "gdata/GDataFeedContact.h"
#include "gdata/GDataNamespaces.h"
#include "tests/support/ContactsFeedGenerator.h"

using namespace quorvane;

namespace {

platform::Bytes bytesOf(const std::string& s) { return platform::Bytes(s.begin(), s.end()); }

std::string written(const GDataObjectPtr& object) {
    auto data = object ? object->XMLDocument()->XMLData() : std::nullopt;
    return data ? std::string(data->begin(), data->end()) : std::string("(none)");
}

// The object as the parse of the whole tree gives it.
GDataObjectPtr parsedWhole(const std::string& xml, const GDataClassInfo* cls, bool ignoreUnknowns) {
    auto doc = GDataXMLDocument::initWithData(bytesOf(xml)).valueOr(nullptr);
    auto root = doc ? doc->rootElement() : nullptr;
    if (!root) return nullptr;
    if (!cls) cls = GDataObject::objectClassForXMLElement(nullptr, root);
    auto object = std::dynamic_pointer_cast<GDataObject>(cls->allocate());
    if (!object->initWithXMLElement(root, nullptr, std::nullopt, nullptr, ignoreUnknowns)) return nullptr;
    return object;
}

const std::string kHead = std::string("<feed xmlns='") + kGDataNamespaceAtom + "' xmlns:gd='" + kGDataNamespaceGData +
                          "' xmlns:gContact='" + kGDataNamespaceContactURI + "' xmlns:q='urn:q'>";
const std::string kContactKind = "<category scheme='http://schemas.google.com/g/2005#kind' "
                                 "term='http://schemas.google.com/contact/2008#contact'/>";
std::string entry(const std::string& id, const std::string& more = "") {
    return "<entry><id>" + id + "</id>" + more + "<gd:email address='" + id + "@example.com'/></entry>";
}

struct Case {
    const char* name;
    std::string xml;
    bool classGiven;  // parsed as a contacts feed; otherwise as the class the root names
};

TEST(GDataStreamedParseTest, GivesTheObjectOfTheWholeTree) {
    const Case cases[] = {
        {"generated contacts", quorvane::testing::generateContactsFeed({40, 3, true}), true},
        {"generated, class from the root", quorvane::testing::generateContactsFeed({5, 4, true}), false},
        {"kind named after the entries", kHead + "<id>f</id>" + entry("1") + entry("2") + kContactKind + "</feed>",
         false},
        {"text, comments and unknowns between entries",
         kHead + kContactKind + "lead" + entry("1") + "  mid <!--c--><q:x q:a='1'>u</q:x>" + entry("2") +
             "<link rel='next' href='n'/>tail</feed>",
         false},
        {"entry of another kind and entry namespaces",
         kHead + kContactKind + entry("1", "<category scheme='http://schemas.google.com/g/2005#kind' term='urn:k'/>") +
             "<entry xmlns:g2='" + kGDataNamespaceGData + "'><id>2</id><g2:email address='b'/></entry></feed>",
         true},
        {"entries in no namespace",
         std::string("<feed xmlns:a='") + kGDataNamespaceAtom + "'><a:id>f</a:id><entry><id>1</id></entry></feed>",
         false},
        {"document type with entities",
         "<!DOCTYPE feed [<!ENTITY n 'Ann'>]>" + kHead + entry("&n;") + entry("2") + "</feed>", false},
        {"a single entry", std::string("<entry xmlns='") + kGDataNamespaceAtom + "'><id>1</id></entry>", false},
        {"no entries", kHead + kContactKind + "<id>f</id></feed>", true},
    };
    for (const auto& c : cases) {
        const GDataClassInfo* cls = c.classGiven ? &GDataFeedContact::staticClassInfo() : nullptr;
        for (bool ignoreUnknowns : {false, true}) {
            auto parsed = GDataObject::objectWithXMLData(bytesOf(c.xml), cls, std::nullopt, nullptr, ignoreUnknowns);
            ASSERT_TRUE(parsed) << c.name;
            auto streamed = *parsed;
            auto whole = parsedWhole(c.xml, cls, ignoreUnknowns);
            ASSERT_TRUE(streamed && whole) << c.name;
            EXPECT_STREQ(streamed->classInfo().name, whole->classInfo().name) << c.name;
            EXPECT_EQ(written(streamed), written(whole)) << c.name;
            EXPECT_TRUE(streamed->isEqual(*whole)) << c.name;
        }
    }
}

TEST(GDataStreamedParseTest, AFaultAfterTakenEntriesFailsTheWholeDocument) {
    for (std::string xml : {kHead + entry("1") + entry("2") + "<entry>", kHead + entry("1") + "<entry><p:x/></entry></feed>"}) {
        auto streamed = GDataObject::objectWithXMLData(bytesOf(xml), nullptr, std::nullopt, nullptr, false);
        auto whole = GDataXMLDocument::initWithData(bytesOf(xml));
        ASSERT_FALSE(streamed) << xml;
        ASSERT_FALSE(whole) << xml;
        EXPECT_EQ(streamed.error(), whole.error());
        EXPECT_EQ(streamed.error().userInfo.toJSON(), whole.error().userInfo.toJSON());
    }
}

// What the objects keep of XML no class reads is bounded by the answer's size: unknown nodes at a
// density the parse allows (one for every 20 bytes), in the feed, between its entries or inside
// one, are refused in a sentence; a feed that ignores unknown XML keeps none of them, and
// generated feeds read.
TEST(GDataStreamedParseTest, AnAnswerThatWouldKeepMoreUnknownXMLThanItsSizeAllowsIsRefused) {
    auto repeated = [](const std::string& unit, size_t n) {
        std::string out;
        for (size_t i = 0; i < n; ++i) out += unit;
        return out;
    };
    const std::string dense = repeated("<q:unknown123/>", 150000);  // 15 bytes a node
    const struct {
        const char* what;
        std::string xml;
        bool read;
    } cases[] = {
        {"in the feed", kHead + kContactKind + dense + entry("1") + "</feed>", false},
        {"between entries", kHead + kContactKind + entry("1") + repeated("<!--comment 1-->", 150000) + entry("2") + "</feed>", false},
        {"inside an entry", kHead + kContactKind + entry("1", dense) + "</feed>", false},
        {"a few", kHead + kContactKind + entry("1", repeated("<q:unknown123/>", 1000)) + "</feed>", true},
        {"generated contacts", quorvane::testing::generateContactsFeed({500, 5, true}), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto parsed = GDataObject::objectWithXMLData(bytesOf(c.xml), &GDataFeedContact::staticClassInfo(), std::nullopt,
                                                     nullptr, false);
        EXPECT_EQ(bool(parsed), c.read);
        if (parsed || c.read) continue;
        EXPECT_EQ(parsed.error().code, kGDataXMLErrorTooManyNodes);
        EXPECT_NE(parsed.error().localizedDescription().find("more than a document of its size can keep"), std::string::npos)
            << parsed.error().localizedDescription();
    }
    // A feed that ignores unknown XML keeps none of it.
    EXPECT_TRUE(GDataObject::objectWithXMLData(bytesOf(cases[0].xml), &GDataFeedContact::staticClassInfo(), std::nullopt,
                                               nullptr, true));
}

}  // namespace
