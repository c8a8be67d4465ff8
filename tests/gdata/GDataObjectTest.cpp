// The object model with element classes of the tests' own: declarations, parsing into typed
// state, keeping what is not declared, generation, copy, equality and the kind registry.

#include <gtest/gtest.h>

#include <cmath>

#include "gdata/GDataObject.h"
#include "gdata/GDataTextConstruct.h"
#include "gdata/GDataValueConstruct.h"
#include "platform/foundation/Log.h"

using namespace quorvane;

namespace {

constexpr const char* kTestNS = "http://example.com/test";

// <t:rating value="..."/>
class TestRating : public GDataValueConstruct {
    QV_GDATA_CLASS(TestRating)
};
QV_GDATA_DEFINE_CLASS(TestRating, GDataValueConstruct, kTestNS, "t", "rating")

// <t:note>text</t:note>
class TestNote : public GDataValueElementConstruct {
    QV_GDATA_CLASS(TestNote)
};
QV_GDATA_DEFINE_CLASS(TestNote, GDataValueElementConstruct, kTestNS, "t", "note")

// <t:flag/>
class TestFlag : public GDataImplicitValueConstruct {
    QV_GDATA_CLASS(TestFlag)
};
QV_GDATA_DEFINE_CLASS(TestFlag, GDataImplicitValueConstruct, kTestNS, "t", "flag")

// <title type="text">...</title> in the Atom namespace
class TestTitle : public GDataTextConstruct {
    QV_GDATA_CLASS(TestTitle)
};
QV_GDATA_DEFINE_CLASS(TestTitle, GDataTextConstruct, kGDataNamespaceAtom, kGDataNamespaceAtomPrefix, "title")

// t:etag="..." attribute extension
class TestETag : public GDataAttribute {
    QV_GDATA_CLASS(TestETag)
};
QV_GDATA_DEFINE_CLASS(TestETag, GDataAttribute, kTestNS, "t", "etag")

class TestOtherAttr : public GDataAttribute {
    QV_GDATA_CLASS(TestOtherAttr)
};
QV_GDATA_DEFINE_CLASS(TestOtherAttr, GDataAttribute, kTestNS, "t", "other")

// <t:thing id="..." count="..."> with ratings, a note, a flag and a title
class TestThing : public GDataObject {
    QV_GDATA_CLASS(TestThing)
public:
    void addParseDeclarations() override { addLocalAttributeDeclarations({"id", "count", "xml:lang"}); }
    void addExtensionDeclarations() override {
        GDataObject::addExtensionDeclarations();
        addExtensionDeclarationForParentClass(staticClassInfo(), {&TestRating::staticClassInfo(),
                                                                  &TestNote::staticClassInfo(),
                                                                  &TestFlag::staticClassInfo(),
                                                                  &TestTitle::staticClassInfo()});
        addAttributeExtensionDeclarationForParentClass(staticClassInfo(), TestETag::staticClassInfo());
    }
};
QV_GDATA_DEFINE_CLASS(TestThing, GDataObject, kTestNS, "t", "thing")

// An element that keeps its children as XML and has text content.
class TestBlob : public GDataObject {
    QV_GDATA_CLASS(TestBlob)
public:
    void addParseDeclarations() override {
        addContentValueDeclaration();
        addChildXMLElementsDeclaration();
    }
};
QV_GDATA_DEFINE_CLASS(TestBlob, GDataObject, kTestNS, "t", "blob")

// <plain>text</plain> in no namespace
class TestPlain : public GDataValueElementConstruct {
    QV_GDATA_CLASS(TestPlain)
};
QV_GDATA_DEFINE_CLASS(TestPlain, GDataValueElementConstruct, nullptr, nullptr, "plain")

// <t:holder> with notes and plain elements
class TestHolder : public GDataObject {
    QV_GDATA_CLASS(TestHolder)
public:
    void addExtensionDeclarations() override {
        GDataObject::addExtensionDeclarations();
        addExtensionDeclarationForParentClass(staticClassInfo(),
                                              {&TestNote::staticClassInfo(), &TestPlain::staticClassInfo()});
    }
};
QV_GDATA_DEFINE_CLASS(TestHolder, GDataObject, kTestNS, "t", "holder")

const char* kThingXML =
    "<t:thing xmlns:t='http://example.com/test' xmlns:atom='http://www.w3.org/2005/Atom' xmlns:x='urn:x'"
    " id='42' count='12abc' t:etag='W/&quot;abc&quot;' x:extra='kept'>"
    "<t:rating value='5'/><t:rating value=' 42 apples'/>"
    "<t:note>a &amp; b</t:note>"
    "<t:flag>ignored text</t:flag>"
    "<atom:title type='text'>Hello</atom:title>"
    "<x:unknown a='1'>keep me<x:inner/></x:unknown>"
    "<!-- a comment -->"
    "</t:thing>";

std::shared_ptr<TestThing> parseThing(const std::string& xml = kThingXML) {
    auto parsed = GDataXMLElement::initWithXMLString(xml);
    EXPECT_TRUE(parsed) << parsed.error().code;
    auto element = parsed.valueOr(nullptr);
    auto obj = GDataObject::objectWithXMLElement(TestThing::staticClassInfo(), element, nullptr);
    return std::dynamic_pointer_cast<TestThing>(obj);
}

std::string xmlOf(const GDataObject& o) { return o.XMLElement()->XMLString().value_or(""); }

}  // namespace

TEST(GDataObjectParse, DeclaredPartsBecomeTypedState) {
    auto thing = parseThing();
    ASSERT_TRUE(thing);
    EXPECT_EQ(thing->elementName(), "t:thing");
    EXPECT_EQ(thing->stringValueForAttribute("id"), "42");
    EXPECT_EQ(thing->intNumberForAttribute("count"), 12);
    EXPECT_EQ(thing->attributeValueForExtensionClass(TestETag::staticClassInfo()), "W/\"abc\"");

    auto ratings = thing->objectsForExtension<TestRating>();
    ASSERT_EQ(ratings.size(), 2u);
    EXPECT_EQ(ratings[0]->intValue(), 5);
    EXPECT_EQ(ratings[1]->intValue(), 42);  // leading blanks skipped, trailing letters ignored
    EXPECT_EQ(ratings[0]->parent(), thing);

    auto note = thing->objectForExtension<TestNote>();
    ASSERT_TRUE(note);
    EXPECT_EQ(note->stringValue(), "a & b");

    auto flag = thing->objectForExtension<TestFlag>();
    ASSERT_TRUE(flag);
    EXPECT_FALSE(flag->stringValue().has_value());  // presence is the value, text or not

    auto title = thing->objectForExtension<TestTitle>();
    ASSERT_TRUE(title);
    EXPECT_EQ(title->stringValue(), "Hello");
    EXPECT_EQ(title->type(), "text");

    // Namespaces of the element itself.
    EXPECT_EQ(thing->namespaces().size(), 3u);
}

TEST(GDataObjectParse, UndeclaredElementsAttributesAndCommentsComeBack) {
    auto thing = parseThing();
    ASSERT_TRUE(thing);
    ASSERT_EQ(thing->unknownChildren().size(), 2u);  // x:unknown and the comment
    ASSERT_EQ(thing->unknownAttributes().size(), 1u);
    EXPECT_EQ(thing->unknownAttributes()[0]->name(), "x:extra");

    auto xml = xmlOf(*thing);
    EXPECT_NE(xml.find("<x:unknown a=\"1\">keep me<x:inner/></x:unknown>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<!-- a comment -->"), std::string::npos) << xml;
    EXPECT_NE(xml.find("x:extra=\"kept\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("t:etag=\"W/&quot;abc&quot;\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("<t:note>a &amp; b</t:note>"), std::string::npos) << xml;

    // Generated XML parses again into an equal object, and a second generation is identical.
    auto again = parseThing(xml);
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->isEqual(*thing));
    EXPECT_EQ(xmlOf(*again), xml);

    // With the ignore flag nothing unknown is kept or written.
    auto element = GDataXMLElement::initWithXMLString(kThingXML).valueOr(nullptr);
    auto ignoring = std::make_shared<TestThing>();
    ASSERT_TRUE(ignoring->initWithXMLElement(element, nullptr, std::nullopt, nullptr, true));
    EXPECT_TRUE(ignoring->unknownChildren().empty());
    auto ignoredXML = xmlOf(*ignoring);
    EXPECT_EQ(ignoredXML.find("unknown"), std::string::npos);
    EXPECT_EQ(ignoredXML.find("comment"), std::string::npos);
    auto copied = std::dynamic_pointer_cast<GDataObject>(ignoring->copy());
    EXPECT_TRUE(copied->unknownChildren().empty());
}

TEST(GDataObjectParse, UnparsedNodesOutliveTheParsedTreeAndCanStillBeConsumed) {
    auto element = GDataXMLElement::initWithXMLString(kThingXML).valueOr(nullptr);
    auto thing = std::dynamic_pointer_cast<TestThing>(
        GDataObject::objectWithXMLElement(TestThing::staticClassInfo(), element, nullptr));
    ASSERT_TRUE(thing);
    // A node of the parsed element consumed after the lists were made leaves them.
    auto unknown = element->elementsForLocalName("unknown", std::string_view("urn:x"));
    ASSERT_EQ(unknown.size(), 1u);
    thing->handleParsedElement(unknown[0]);
    EXPECT_EQ(thing->unknownChildren().size(), 1u);  // the comment is left
    auto extra = element->attributeForLocalName("extra", std::string_view("urn:x"));
    ASSERT_TRUE(extra);
    thing->handleParsedAttribute(extra);
    EXPECT_TRUE(thing->unknownAttributes().empty());

    // What stays unparsed is written back after the parsed element is gone.
    element.reset();
    unknown.clear();
    extra.reset();
    auto xml = xmlOf(*thing);
    EXPECT_NE(xml.find("<!-- a comment -->"), std::string::npos) << xml;
    EXPECT_EQ(xml.find("x:unknown"), std::string::npos) << xml;
}

TEST(GDataObjectParse, EachParseOfTheSameElementKeepsItsOwnUnparsedNodes) {
    // Objects of two classes parsed one after another from one element (each freed before the
    // next, so they may share an address) and side by side: what one class consumed is still
    // unparsed for the other.
    auto element = GDataXMLElement::initWithXMLString(kThingXML).valueOr(nullptr);
    auto parse = [&](const GDataClassInfo& cls) { return GDataObject::objectWithXMLElement(cls, element, nullptr); };
    auto checkThing = [](const GDataObjectPtr& o) {
        ASSERT_TRUE(o);
        EXPECT_EQ(o->unknownChildren().size(), 2u);
        EXPECT_EQ(o->unknownAttributes().size(), 1u);
        EXPECT_EQ(o->objectsForExtension<TestRating>().size(), 2u);
    };
    auto checkHolder = [](const GDataObjectPtr& o) {  // takes the note alone
        ASSERT_TRUE(o);
        EXPECT_EQ(o->unknownChildren().size(), 6u);
        EXPECT_EQ(o->unknownAttributes().size(), 4u);
    };
    for (int i = 0; i < 3; ++i) {
        checkThing(parse(TestThing::staticClassInfo()));
        checkHolder(parse(TestHolder::staticClassInfo()));
    }
    auto thing = parse(TestThing::staticClassInfo());
    auto holder = parse(TestHolder::staticClassInfo());
    checkThing(thing);
    checkHolder(holder);
    checkThing(parse(TestThing::staticClassInfo()));
}

TEST(GDataObjectParse, ChildrenAreMatchedByNamespaceOrByBareName) {
    struct Case {
        const char* body;
        std::vector<std::string> notes, plains;
        size_t unknown;
    };
    const Case cases[] = {
        // A class in a namespace takes its children in that namespace, whatever their prefix.
        {"<t:note>a</t:note><o:note>b</o:note><n:note xmlns:n='http://example.com/test'>c</n:note>", {"a", "c"}, {}, 1},
        // A class of no namespace takes the children written with its bare name, whatever their
        // namespace, and no prefixed one.
        {"<plain>a</plain><o:plain>b</o:plain><plain xmlns='urn:p'>c</plain>", {}, {"a", "c"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        auto element = GDataXMLElement::initWithXMLString(
            std::string("<t:holder xmlns:t='http://example.com/test' xmlns:o='urn:o'>") + c.body + "</t:holder>").valueOr(nullptr);
        auto holder = GDataObject::objectWithXMLElement(TestHolder::staticClassInfo(), element, nullptr);
        ASSERT_TRUE(holder);
        std::vector<std::string> notes, plains;
        for (const auto& n : holder->objectsForExtension<TestNote>()) notes.push_back(n->stringValue().value_or(""));
        for (const auto& p : holder->objectsForExtension<TestPlain>()) plains.push_back(p->stringValue().value_or(""));
        EXPECT_EQ(notes, c.notes);
        EXPECT_EQ(plains, c.plains);
        EXPECT_EQ(holder->unknownChildren().size(), c.unknown);
    }
    // The class's prefix bound to another namespace in the document still names its children.
    auto element = GDataXMLElement::initWithXMLString("<t:holder xmlns:t='urn:other'><t:note>z</t:note></t:holder>").valueOr(nullptr);
    auto holder = GDataObject::objectWithXMLElement(TestHolder::staticClassInfo(), element, nullptr);
    ASSERT_TRUE(holder);
    auto note = holder->objectForExtension<TestNote>();
    ASSERT_TRUE(note);
    EXPECT_EQ(note->stringValue(), "z");
}

TEST(GDataObjectParse, ContentWithACommentKeepsTheCommentAfterTheContent) {
    auto element = GDataXMLElement::initWithXMLString(
        "<t:blob xmlns:t='http://example.com/test'>text<!--c--><t:kept a='1'/></t:blob>").valueOr(nullptr);
    auto blob = GDataObject::objectWithXMLElement(TestBlob::staticClassInfo(), element, nullptr);
    ASSERT_TRUE(blob);
    EXPECT_EQ(blob->contentStringValue(), "text");
    ASSERT_EQ(blob->childXMLElements().size(), 1u);
    ASSERT_EQ(blob->unknownChildren().size(), 1u);
    EXPECT_EQ(blob->unknownChildren()[0]->kind(), GDataXMLNodeKind::Comment);
    EXPECT_EQ(xmlOf(*blob), "<t:blob xmlns:t=\"http://example.com/test\">text<t:kept a=\"1\"/><!--c--></t:blob>");
}

TEST(GDataObjectParse, RepeatedSingleValuedChildIsAbsentAndReported) {
    class Host : public GDataObject {
    public:
        std::shared_ptr<GDataXMLElement> pick(const GDataXMLElementPtr& e) {
            return childWithQualifiedName("t:note", kTestNS, e);
        }
        const GDataClassInfo& classInfo() const override { return GDataObject::staticClassInfo(); }
    };
    auto host = std::make_shared<Host>();
    host->init();
    auto element = GDataXMLElement::initWithXMLString(
        "<t:thing xmlns:t='http://example.com/test'><t:note>1</t:note><t:note>2</t:note></t:thing>").valueOr(nullptr);
    auto before = platform::AssertionHandler::count();
    EXPECT_FALSE(host->pick(element));
    EXPECT_EQ(platform::AssertionHandler::count(), before + 1);
}

TEST(GDataObjectParse, ChildWhoseClassCannotBeChosenIsWrittenBack) {
    // A host that asks the registry for the class of its "t:note" children: no class answers for
    // such an element, so the children must stay unparsed rather than vanish.
    class Host : public GDataObject {
    public:
        size_t parsed = 0;
        bool initWithXMLElement(const GDataXMLElementPtr& e, const GDataObjectPtr& parent) override {
            if (!GDataObject::initWithXMLElement(e, parent)) return false;
            parsed += objectsForChildrenOfElement(e, "t:note", std::string_view(kTestNS), nullptr).size();
            if (objectForChildOfElement(e, "t:single", std::string_view(kTestNS), nullptr)) ++parsed;
            return true;
        }
    };
    auto element = GDataXMLElement::initWithXMLString(
        "<t:host xmlns:t='http://example.com/test'><t:note>1</t:note><t:note>2</t:note><t:single/></t:host>").valueOr(nullptr);
    auto host = std::make_shared<Host>();
    ASSERT_TRUE(host->initWithXMLElement(element, nullptr));
    EXPECT_EQ(host->parsed, 0u);
    EXPECT_EQ(host->unknownChildren().size(), 3u);
    EXPECT_EQ(xmlOf(*host), "<t:host xmlns:t=\"http://example.com/test\"><t:note>1</t:note><t:note>2</t:note><t:single/></t:host>");
}

TEST(GDataObjectCopy, CopyEqualsSourceAndIsARootWithParentlessExtensions) {
    auto thing = parseThing();
    auto copy = std::dynamic_pointer_cast<TestThing>(thing->copy());
    ASSERT_TRUE(copy);
    EXPECT_TRUE(copy->isEqual(*thing));
    EXPECT_TRUE(thing->isEqual(*copy));
    EXPECT_FALSE(copy->parent());
    for (const auto& r : copy->objectsForExtension<TestRating>()) EXPECT_FALSE(r->parent());
    EXPECT_EQ(xmlOf(*copy), xmlOf(*thing));

    // Copy replaces, it does not share: changing the copy leaves the source alone.
    copy->objectsForExtension<TestRating>()[0]->setIntValue(1);
    EXPECT_EQ(thing->objectsForExtension<TestRating>()[0]->intValue(), 5);
    EXPECT_FALSE(copy->isEqual(*thing));

    // The copy outlives the source and the document it came from.
    thing.reset();
    EXPECT_NE(xmlOf(*copy).find("keep me"), std::string::npos);
}

TEST(GDataObjectDeclarations, OneListServesTheClassAndAnObjectsOwnStaysItsOwn) {
    auto parsed = parseThing();
    auto made = TestThing::object();
    auto copy = std::dynamic_pointer_cast<TestThing>(parsed->copy());
    ASSERT_TRUE(parsed->attributeDeclarations() && copy);
    EXPECT_EQ(*parsed->attributeDeclarations(), (std::vector<std::string>{"id", "count", "xml:lang"}));
    EXPECT_EQ(made->attributeDeclarations(), parsed->attributeDeclarations());
    EXPECT_EQ(copy->attributeDeclarations(), parsed->attributeDeclarations());

    // Declaring more on one object changes neither the class's list nor the next object of the class.
    made->addLocalAttributeDeclarations({"extra"});
    EXPECT_EQ(made->attributeDeclarations()->back(), "extra");
    EXPECT_EQ(parsed->attributeDeclarations()->size(), 3u);
    EXPECT_EQ(TestThing::object()->attributeDeclarations()->size(), 3u);
    auto madeCopy = std::dynamic_pointer_cast<TestThing>(made->copy());
    EXPECT_EQ(madeCopy->attributeDeclarations()->back(), "extra");
    EXPECT_NE(madeCopy->attributeDeclarations(), made->attributeDeclarations());

    // An element name of its own survives a copy.
    made->setElementName("t:other");
    EXPECT_EQ(std::dynamic_pointer_cast<TestThing>(made->copy())->elementName(), "t:other");
}

TEST(GDataObjectEquality, OneSidedBetweenClassAndSubclassAndMissingDiffersFromEmpty) {
    auto a = TestThing::object();
    auto b = GDataObject::object();
    EXPECT_TRUE(b->isEqual(*a));   // a TestThing is a GDataObject
    EXPECT_FALSE(a->isEqual(*b));  // a GDataObject is not a TestThing

    auto withRemoved = TestThing::object();
    auto rating = GDataValueConstruct::valueWithInt(TestRating::staticClassInfo(), 3);
    withRemoved->setObject(rating, TestRating::staticClassInfo());
    withRemoved->setObject(nullptr, TestRating::staticClassInfo());
    EXPECT_FALSE(withRemoved->isEqual(*TestThing::object()));  // an empty dictionary remains

    // Attributes: absent and empty differ.
    auto x = TestThing::object(), y = TestThing::object();
    x->setStringValue(std::string(), "id");
    EXPECT_FALSE(x->isEqual(*y));
    y->setStringValue(std::string(), "id");
    EXPECT_TRUE(x->isEqual(*y));
}

TEST(GDataObjectExtensions, SingleListAndRemoval) {
    auto obj = TestThing::object();
    const auto& cls = TestRating::staticClassInfo();
    auto r1 = GDataValueConstruct::valueWithInt(cls, 1);
    auto r2 = GDataValueConstruct::valueWithInt(cls, 2);
    EXPECT_FALSE(obj->objectsForExtensionClass(cls).has_value());
    obj->addObject(r1, cls);
    obj->addObject(r2, cls);
    ASSERT_EQ(obj->objectsForExtensionClass(cls)->size(), 2u);
    EXPECT_EQ(obj->objectForExtensionClass(cls), r1);
    EXPECT_EQ(r1->elementName(), "t:rating");  // named when stored
    obj->removeObject(GDataValueConstruct::valueWithInt(cls, 1), cls);  // removal by equality
    obj->removeObject(r2, cls);
    ASSERT_TRUE(obj->objectsForExtensionClass(cls).has_value());
    EXPECT_TRUE(obj->objectsForExtensionClass(cls)->empty());
    EXPECT_FALSE(obj->objectForExtensionClass(cls));

    EXPECT_EQ(GDataObject::qualifiedNameForExtensionClass(TestTitle::staticClassInfo()), "title");
    EXPECT_EQ(GDataObject::qualifiedNameForExtensionClass(TestRating::staticClassInfo()), "t:rating");

    // Attribute values of different attribute classes compare by value.
    auto e1 = GDataAttribute::attributeWithValue(TestETag::staticClassInfo(), "v");
    auto e2 = GDataAttribute::attributeWithValue(TestOtherAttr::staticClassInfo(), "v");
    EXPECT_TRUE(e1->isEqual(*e2));
    // A nil attribute value is stored but not written.
    obj->setAttributeValue(std::nullopt, TestETag::staticClassInfo());
    EXPECT_EQ(xmlOf(*obj).find("etag"), std::string::npos);
}

TEST(GDataObjectAttributes, AChangedValueKeepsItsPlaceAndEqualityIgnoresOrder) {
    auto a = TestThing::object();
    a->setStringValue(std::string("1"), "id");
    a->setStringValue(std::string("2"), "count");
    a->setStringValue(std::string(200, 'x'), "id");  // longer than the first value, same place
    a->setStringValue(std::string("", 0), "xml:lang");
    a->setStringValue(std::string("nul\0inside", 11), "other");
    using Dictionary = GDataStringDictionary;
    EXPECT_EQ(a->attributes(), (Dictionary{{"id", std::string(200, 'x')}, {"count", "2"}, {"xml:lang", ""},
                                           {"other", std::string("nul\0inside", 11)}}));
    a->setStringValue(std::nullopt, "count");
    a->setStringValue(std::nullopt, "missing");
    EXPECT_EQ(a->attributes().size(), 3u);
    EXPECT_EQ(a->stringValueForAttribute("other"), std::string("nul\0inside", 11));

    auto b = TestThing::object();
    b->setAttributes({{"other", std::string("nul\0inside", 11)}, {"xml:lang", ""}, {"id", std::string(200, 'x')}});
    EXPECT_TRUE(a->isEqual(*b));
    b->setStringValue(std::string("3"), "count");
    EXPECT_FALSE(a->isEqual(*b));
    EXPECT_FALSE(b->isEqual(*a));
}

TEST(GDataObjectAttributes, TypedAccessorsFollowThePlatformRules) {
    auto o = TestThing::object();
    o->setBoolValue(false, false, "b");
    EXPECT_FALSE(o->stringValueForAttribute("b"));
    o->setBoolValue(false, true, "b");
    EXPECT_EQ(o->stringValueForAttribute("b"), "false");
    o->setStringValue(std::string("FALSE"), "b");
    EXPECT_FALSE(o->boolValueForAttribute("b", true));
    o->setStringValue(std::string("no"), "b");
    EXPECT_TRUE(o->boolValueForAttribute("b", true));
    EXPECT_FALSE(o->boolValueForAttribute("b", false));

    o->setStringValue(std::string(), "n");
    EXPECT_FALSE(o->intNumberForAttribute("n"));
    EXPECT_EQ(o->longLongNumberForAttribute("n"), 0);
    o->setStringValue(std::string("12abc"), "n");
    EXPECT_EQ(o->intNumberForAttribute("n"), 12);
    o->setStringValue(std::string("99999999999"), "n");
    EXPECT_EQ(o->intNumberForAttribute("n"), INT32_MAX);  // saturates
    EXPECT_EQ(o->longLongNumberForAttribute("n"), 99999999999);

    o->setDecimalNumberValue(std::string("0012.3400"), "money");
    EXPECT_EQ(o->stringValueForAttribute("money"), "12.34");
    EXPECT_EQ(o->decimalNumberForAttribute("money"), "12.34");
    EXPECT_EQ(gdataDecimalText("-1.5e3"), "-1500");
    EXPECT_EQ(gdataDecimalText("12345678901234567890.000000000000000001"), "12345678901234567890.000000000000000001");
    EXPECT_EQ(gdataDecimalText("x"), "NaN");
}

TEST(GDataObjectVersions, ServiceVersionAndDescriptionLabels) {
    auto o = TestThing::object();
    o->setServiceVersion(std::string("3.0"));
    EXPECT_TRUE(o->isServiceVersionAtLeast("2.10"));
    EXPECT_FALSE(o->isServiceVersionAtMost("2.9"));
    EXPECT_EQ(o->labelAdjustedForVersion("version>=3.0:shown"), "shown");
    o->setServiceVersion(std::string("2.0"));
    EXPECT_FALSE(o->labelAdjustedForVersion("version>=3.0:shown"));
    EXPECT_EQ(o->labelAdjustedForVersion("plain"), "plain");
    EXPECT_TRUE(o->isCoreProtocolVersion1() == false);  // "2.0" maps to itself in the base

    // A core version set by hand holds until the service version changes.
    o->setCoreProtocolVersion(std::string("1.0"));
    EXPECT_TRUE(o->isCoreProtocolVersion1());
    o->setServiceVersion(std::string("2.0"));
    EXPECT_EQ(o->coreProtocolVersion(), std::string("1.0"));
    o->setServiceVersion(std::string("3.0"));
    EXPECT_EQ(o->coreProtocolVersion(), std::string("3.0"));
    o->setCoreProtocolVersion(std::string("1.0"));
    o->setCoreProtocolVersion(std::nullopt);
    EXPECT_EQ(o->coreProtocolVersion(), std::string("3.0"));
}

TEST(GDataKindRegistry, LookupOrderAndConflicts) {
    GDataKindMap map;
    const std::string scheme = "http://example.com/scheme";
    GDataObject::registerClass(TestThing::staticClassInfo(), map, std::string(kGDataCategoryScheme),
                               std::string("http://example.com/kinds#thing"));
    GDataObject::registerClass(TestBlob::staticClassInfo(), map, scheme, std::string("blob"));
    GDataObject::registerClass(TestRating::staticClassInfo(), map, std::string("http://example.com/any"),
                               std::nullopt);

    // The bare term first, whatever the scheme.
    EXPECT_EQ(GDataObject::classForCategoryWithScheme(std::string("urn:unregistered"),
                                                     std::string("http://example.com/kinds#thing"), map),
              &TestThing::staticClassInfo());
    EXPECT_EQ(GDataObject::classForCategoryWithScheme(std::nullopt, std::string("http://example.com/kinds#thing"), map),
              &TestThing::staticClassInfo());
    // Then {"S":"T"}.
    EXPECT_EQ(GDataObject::classForCategoryWithScheme(scheme, std::string("blob"), map), &TestBlob::staticClassInfo());
    EXPECT_EQ(GDataObject::classForCategoryWithScheme(std::nullopt, std::string("blob"), map), nullptr);
    // Then {"S":""}: a scheme registered without a term matches any term.
    EXPECT_EQ(GDataObject::classForCategoryWithScheme(std::string("http://example.com/any"), std::string("whatever"), map),
              &TestRating::staticClassInfo());
    EXPECT_EQ(GDataObject::classForCategoryWithScheme(scheme, std::string("nope"), map), nullptr);

    auto before = platform::AssertionHandler::count();
    GDataObject::registerClass(TestNote::staticClassInfo(), map, scheme, std::string("blob"));
    EXPECT_EQ(platform::AssertionHandler::count(), before + 1);
    EXPECT_EQ(GDataObject::classForCategoryWithScheme(scheme, std::string("blob"), map), &TestNote::staticClassInfo());
}

TEST(GDataConstructs, ValueConstructReadings) {
    const auto& cls = TestRating::staticClassInfo();
    auto v = [&](const char* s) { return GDataValueConstruct::valueWithString(cls, std::string(s)); };
    EXPECT_EQ(v(" 42abc")->intValue(), 42);
    EXPECT_EQ(v("abc")->intValue(), 0);
    EXPECT_EQ(TestRating::object()->intValue(), 0);
    EXPECT_EQ(v("-99999999999999999999")->longLongValue(), INT64_MIN);
    EXPECT_TRUE(std::isinf(v("-inf")->doubleNumberValue()) && v("-inf")->doubleNumberValue() < 0);
    EXPECT_EQ(v("+INF")->doubleNumberValue(), 0.0);
    EXPECT_EQ(v("nan")->doubleNumberValue(), 0.0);   // no strtod "nan"
    EXPECT_EQ(v("0x10")->doubleNumberValue(), 0.0);  // nor hex
    EXPECT_EQ(v("  -2.5e1x")->doubleNumberValue(), -25.0);
    EXPECT_EQ(TestRating::object()->doubleNumberValue(), 0.0);
    EXPECT_TRUE(v("TRUE")->boolValue());
    EXPECT_FALSE(v("1")->boolValue());
    EXPECT_FALSE(GDataValueConstruct::valueWithString(cls, std::nullopt));
    EXPECT_TRUE(GDataValueConstruct::valueWithInt(cls, 0));
    auto d = GDataValueConstruct::valueWithDouble(cls, 0.1);
    EXPECT_EQ(d->doubleValue(), 0.1);
    auto dt = GDataValueConstruct::valueWithDateTime(cls, GDataDateTime::dateTimeWithRFC3339String("2006-10-01T12:30:00Z"));
    EXPECT_EQ(dt->stringValue(), "2006-10-01T12:30:00Z");

    auto nv = GDataNameValueConstruct::valueWithName(GDataNameValueConstruct::staticClassInfo(), std::string("n"),
                                                     std::string("v"));
    EXPECT_EQ(nv->name(), "n");
    EXPECT_EQ(nv->stringValue(), "v");
    EXPECT_FALSE(GDataNameValueConstruct::valueWithName(GDataNameValueConstruct::staticClassInfo(), std::nullopt,
                                                        std::nullopt));
}

TEST(GDataObjectContent, TextOfEveryLengthSurvivesCopyComparisonAndWriting) {
    // Short text is kept inside the object and longer text outside it: both read, copy, compare
    // and write alike, and no text differs from empty text.
    const std::optional<std::string> texts[] = {std::nullopt, std::string(), std::string(14, 'a'), std::string(15, 'b'),
                                                std::string("nul\0inside", 10) + std::string(300, 'c')};
    for (const auto& text : texts) {
        SCOPED_TRACE(text ? std::to_string(text->size()) + " bytes" : "none");
        auto note = TestNote::object();
        note->setContentStringValue(text);
        EXPECT_EQ(note->contentStringValue(), text);
        auto copy = std::dynamic_pointer_cast<TestNote>(note->copy());
        ASSERT_TRUE(copy);
        EXPECT_EQ(copy->contentStringValue(), text);
        EXPECT_TRUE(note->isEqual(*copy));
        for (const auto& other : texts) {
            if (other == text) continue;
            copy->setContentStringValue(other);
            EXPECT_FALSE(note->isEqual(*copy));
        }
        if (text && !text->empty() && text->find('\0') == std::string::npos) {
            auto read = GDataObject::objectWithXMLElement(TestNote::staticClassInfo(), note->XMLElement(), nullptr);
            ASSERT_TRUE(read);
            EXPECT_EQ(read->contentStringValue(), text);
        }
    }
}

TEST(GDataConstructs, TextConstructTypesAreInterchangeableForPlainText) {
    auto a = GDataTextConstruct::textConstructWithString<TestTitle>(std::string("Hi"));
    auto b = GDataTextConstruct::textConstructWithString<TestTitle>(std::string("Hi"));
    a->setType(std::string("text"));
    a->setLang(std::string("en"));
    b->setLang(std::string("en"));
    EXPECT_TRUE(a->isEqual(*b));
    b->setType(std::string("text/plain"));
    EXPECT_TRUE(a->isEqual(*b));
    b->setType(std::string("html"));
    EXPECT_FALSE(a->isEqual(*b));
    b->setType(std::nullopt);
    b->setLang(std::string("fr"));
    EXPECT_FALSE(a->isEqual(*b));
}
