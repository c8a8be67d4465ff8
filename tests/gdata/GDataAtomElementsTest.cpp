// The Atom and AtomPub element classes: links, categories, content, persons, the generator,
// the one-value elements, the edit control and the service document, parsed from real XML,
// generated back and compared.

#include <gtest/gtest.h>

#include "gdata/GDataAtomElements.h"
#include "gdata/GDataAtomPubControl.h"
#include "gdata/GDataAtomServiceDocument.h"
#include "gdata/GDataCategory.h"
#include "gdata/GDataEntryContent.h"
#include "gdata/GDataGenerator.h"
#include "gdata/GDataLink.h"
#include "gdata/GDataPerson.h"
#include "platform/foundation/Log.h"

using namespace quorvane;

namespace {

constexpr const char* kNS =
    " xmlns='http://www.w3.org/2005/Atom' xmlns:gd='http://schemas.google.com/g/2005'"
    " xmlns:app='http://www.w3.org/2007/app' xmlns:openSearch='http://a9.com/-/spec/opensearch/1.1/'";

template <class T>
std::shared_ptr<T> parse(const std::string& xml) {
    auto parsed = GDataXMLElement::initWithXMLString(xml);
    EXPECT_TRUE(parsed) << parsed.error().code << " " << xml;
    auto element = parsed.valueOr(nullptr);
    if (!element) return nullptr;
    return std::dynamic_pointer_cast<T>(GDataObject::objectWithXMLElement(T::staticClassInfo(), element, nullptr));
}

std::string xmlOf(const GDataObject& o) { return o.XMLElement()->XMLString().value_or(""); }

// Generates the object, parses the result again as T and checks that it is equal.
template <class T>
std::shared_ptr<T> roundTrip(const T& o) {
    auto again = parse<T>(xmlOf(o));
    EXPECT_TRUE(again);
    if (again) {
        EXPECT_TRUE(again->isEqual(o)) << xmlOf(o) << "\n" << xmlOf(*again);
        EXPECT_TRUE(o.isEqual(*again));
    }
    return again;
}

std::string wrap(const std::string& inner) { return "<feed" + std::string(kNS) + ">" + inner + "</feed>"; }

// An element holding any number of Atom contents, to see contents of different types side by
// side in one parsed tree.
class TestContentHolder : public GDataObject {
    QV_GDATA_CLASS(TestContentHolder)
public:
    void addExtensionDeclarations() override {
        GDataObject::addExtensionDeclarations();
        addExtensionDeclarationForParentClass(classInfo(), GDataAtomContent::staticClassInfo());
    }
};
QV_GDATA_DEFINE_CLASS(TestContentHolder, GDataObject, kGDataNamespaceAtom, kGDataNamespaceAtomPrefix, "feed")

}  // namespace

TEST(GDataLinkTest, ParsesAllAttributesContentAndETagAndRoundTrips) {
    auto link = parse<GDataLink>(
        "<link" + std::string(kNS) +
        " rel='edit-media' type='image/jpeg' href='http://example.com/p/1' hrefLang='en' title='Photo'"
        " xml:lang='fr' length='12345' gd:etag='W/\"x1\"'><content type='text'>inside</content></link>");
    ASSERT_TRUE(link);
    EXPECT_EQ(link->rel(), "edit-media");
    EXPECT_EQ(link->type(), "image/jpeg");
    EXPECT_EQ(link->href(), "http://example.com/p/1");
    EXPECT_EQ(link->hrefLang(), "en");
    EXPECT_EQ(link->title(), "Photo");
    EXPECT_EQ(link->titleLang(), "fr");
    EXPECT_EQ(link->resourceLength(), 12345);
    EXPECT_EQ(link->ETag(), "W/\"x1\"");
    ASSERT_TRUE(link->content());
    EXPECT_EQ(link->content()->stringValue(), "inside");
    ASSERT_TRUE(link->URL());
    EXPECT_EQ(link->URL()->host(), "example.com");
    EXPECT_TRUE(link->unknownChildren().empty());
    EXPECT_TRUE(link->unknownAttributes().empty());
    roundTrip(*link);

    link->setResourceLength(7);
    EXPECT_EQ(link->stringValueForAttribute("length"), "7");
    link->setHref(std::string());
    EXPECT_FALSE(link->URL());
}

TEST(GDataLinkTest, MissingOrEmptyRelReadsAlternate) {
    auto bare = parse<GDataLink>("<link" + std::string(kNS) + " href='http://example.com/a'/>");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->rel(), "alternate");
    EXPECT_FALSE(bare->stringValueForAttribute("rel"));  // nothing is written for it
    EXPECT_EQ(xmlOf(*bare).find("rel="), std::string::npos);

    auto empty = GDataLink::linkWithRel(std::string(), std::nullopt, std::string("http://example.com/b"));
    EXPECT_EQ(empty->rel(), "alternate");

    std::vector<GDataLinkPtr> links{GDataLink::linkWithRel(std::string("self"), std::nullopt, std::string("s")), bare};
    EXPECT_EQ(GDataLink::linkWithRel(std::string("alternate"), std::nullopt, links), bare);
    EXPECT_EQ(GDataLink::linkNamesFromLinks(links), (std::vector<std::string>{"self", "alternate"}));
}

TEST(GDataLinkTest, ArrayLookups) {
    auto next1 = GDataLink::linkWithRel(std::string("http://schemas.google.com/g/2005#next"), std::nullopt,
                                        std::string("a"));
    auto next2 = GDataLink::linkWithRel(std::string("next"), std::nullopt, std::string("b"));
    auto untyped = GDataLink::linkWithRel(std::string("alternate"), std::nullopt, std::string("c"));
    auto html = GDataLink::linkWithRel(std::string("alternate"), std::string("text/html"), std::string("d"));
    auto batch = GDataLink::linkWithRel(std::string("http://schemas.google.com/g/2005#batch"),
                                        std::string("application/atom+xml"), std::string("e"));
    std::vector<GDataLinkPtr> links{next1, next2, untyped, html, batch};

    EXPECT_EQ(GDataLink::linkNamesFromLinks(links),
              (std::vector<std::string>{"next", "next", "alternate", "alternate", "batch"}));
    EXPECT_FALSE(GDataLink::linkNamesFromLinks({}));

    // A given type skips a matching-rel link without a type.
    EXPECT_EQ(GDataLink::linkWithRel(std::string("alternate"), std::string("text/html"), links), html);
    EXPECT_EQ(GDataLink::linkWithRel(std::string("alternate"), std::nullopt, links), untyped);
    // A nil rel matches any link.
    EXPECT_EQ(GDataLink::linkWithRel(std::nullopt, std::nullopt, links), next1);
    EXPECT_EQ(GDataLink::linkWithRel(std::nullopt, std::string("application/atom+xml"), links), batch);
    EXPECT_FALSE(GDataLink::linkWithRel(std::string("edit"), std::nullopt, links));

    EXPECT_EQ(GDataLink::linkWithRelAttributeSuffix("#batch", links), batch);
    EXPECT_EQ(GDataLink::linkWithRelAttributeSuffix("next", links), next1);
    EXPECT_FALSE(GDataLink::linkWithRelAttributeSuffix("#post", links));
}

TEST(GDataCategoryTest, AttributesLabelsAndLookups) {
    auto cat = parse<GDataCategory>("<category" + std::string(kNS) +
                                    " scheme='http://example.com/s' term='t1' label='One' xml:lang='en'/>");
    ASSERT_TRUE(cat);
    EXPECT_EQ(cat->scheme(), "http://example.com/s");
    EXPECT_EQ(cat->term(), "t1");
    EXPECT_EQ(cat->label(), "One");
    EXPECT_EQ(cat->labelLang(), "en");
    roundTrip(*cat);

    // The language is not compared.
    auto other = std::dynamic_pointer_cast<GDataCategory>(cat->copy());
    other->setLabelLang(std::string("de"));
    EXPECT_TRUE(GDataCategory::categoryWithScheme(std::string("http://example.com/s"), std::string("t1"))
                    ->isEqual(*GDataCategory::categoryWithScheme(std::string("http://example.com/s"),
                                                                 std::string("t1"))));
    EXPECT_TRUE(cat->isEqual(*other));
    other->setLabel(std::string("Two"));
    EXPECT_FALSE(cat->isEqual(*other));

    auto starred = GDataCategory::categoryWithLabel("starred");
    EXPECT_EQ(starred->scheme(), "http://schemas.google.com/g/2005/labels");
    EXPECT_EQ(starred->term(), "http://schemas.google.com/g/2005/labels#starred");
    EXPECT_EQ(starred->label(), "starred");

    auto noScheme = GDataCategory::categoryWithScheme(std::nullopt, std::string("bare"));
    auto sub = GDataCategory::categoryWithScheme(std::string("http://example.com/s/sub"), std::string("t2"));
    sub->setLabel(std::string("One"));
    std::vector<GDataCategoryPtr> cats{cat, starred, noScheme, sub};

    EXPECT_EQ(GDataCategory::categoriesWithScheme(std::string("http://example.com/s"), cats),
              (std::vector<GDataCategoryPtr>{cat}));
    EXPECT_EQ(GDataCategory::categoriesWithScheme(std::nullopt, cats), (std::vector<GDataCategoryPtr>{noScheme}));
    EXPECT_EQ(GDataCategory::categoriesWithSchemePrefix("http://example.com/", cats),
              (std::vector<GDataCategoryPtr>{cat, sub}));
    EXPECT_TRUE(GDataCategory::categoriesWithSchemePrefix("urn:none", cats).empty());
    EXPECT_EQ(GDataCategory::categoryLabelsFromCategories(cats), (std::vector<std::string>{"One", "starred"}));

    EXPECT_TRUE(GDataCategory::containsCategoryWithScheme(cats, std::nullopt, std::string("t2"), std::string("One")));
    EXPECT_FALSE(GDataCategory::containsCategoryWithScheme(cats, std::string("http://example.com/s"),
                                                           std::string("t2"), std::nullopt));
    EXPECT_TRUE(GDataCategory::containsCategoryWithScheme(cats, std::nullopt, std::nullopt, std::nullopt));
    EXPECT_TRUE(GDataCategory::containsCategoryWithLabel(cats, "starred"));
    EXPECT_FALSE(GDataCategory::containsCategoryWithLabel(cats, "One"));  // not a label category
}

TEST(GDataEntryContentTest, TextTypesHoldTextOthersDoNot) {
    const auto assertionsBefore = platform::AssertionHandler::count();
    auto plain = parse<GDataAtomContent>("<content" + std::string(kNS) + " type='text/plain'>hello</content>");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->stringValue(), "hello");
    roundTrip(*plain);

    auto image = parse<GDataAtomContent>("<content" + std::string(kNS) +
                                         " type='image/jpeg' src='http://example.com/photo.jpg'/>");
    ASSERT_TRUE(image);
    EXPECT_FALSE(image->stringValue());
    ASSERT_TRUE(image->sourceURL());
    EXPECT_EQ(image->sourceURL()->absoluteString(), "http://example.com/photo.jpg");
    EXPECT_EQ(image->sourceURI(), "http://example.com/photo.jpg");
    roundTrip(*image);

    // "text" and no type at all are the same kind of content.
    auto typed = parse<GDataAtomContent>("<content" + std::string(kNS) + " type='text'>same</content>");
    auto untyped = parse<GDataAtomContent>("<content" + std::string(kNS) + ">same</content>");
    ASSERT_TRUE(typed && untyped);
    EXPECT_TRUE(typed->isEqual(*untyped));
    EXPECT_TRUE(untyped->isEqual(*typed));
    auto html = parse<GDataAtomContent>("<content" + std::string(kNS) + " type='html'>same</content>");
    EXPECT_TRUE(html->isEqual(*typed));  // every text type is alike
    auto pdf = parse<GDataAtomContent>("<content" + std::string(kNS) + " type='application/pdf'>same</content>");
    EXPECT_FALSE(pdf->isEqual(*typed));

    // A type the model does not know keeps its children and writes them back.
    auto other = parse<GDataAtomContent>("<content" + std::string(kNS) +
                                         " type='application/x-thing'><x:a xmlns:x='urn:x'>1</x:a></content>");
    ASSERT_TRUE(other);
    EXPECT_FALSE(other->stringValue());
    EXPECT_FALSE(other->XMLValues());
    EXPECT_NE(xmlOf(*other).find("<x:a xmlns:x=\"urn:x\">1</x:a>"), std::string::npos) << xmlOf(*other);

    // The factories: a string content holds text even when the string is nil.
    auto made = GDataEntryContent::contentWithString(std::nullopt);
    EXPECT_TRUE(made->hasDeclaredContentValue());
    EXPECT_FALSE(made->stringValue());
    auto src = GDataEntryContent::contentWithSourceURI<GDataAtomContent>(std::string("http://example.com/v"),
                                                                         std::string("video/mp4"));
    EXPECT_EQ(src->type(), "video/mp4");
    EXPECT_EQ(xmlOf(*src), "<content src=\"http://example.com/v\" type=\"video/mp4\"/>");
    EXPECT_EQ(platform::AssertionHandler::count(), assertionsBefore);
}

TEST(GDataEntryContentTest, KMLKeepsChildXMLAndDeclarationsStayWithEachContent) {
    const auto assertionsBefore = platform::AssertionHandler::count();
    auto holder = parse<TestContentHolder>(wrap(
        "<content type='text'>words</content>"
        "<content type='application/vnd.google-earth.kml+xml'><Placemark xmlns='http://earth.example/kml'>"
        "<name>Here</name></Placemark></content>"
        "<content type='text'>more</content>"));
    ASSERT_TRUE(holder);
    auto contents = holder->objectsForExtension<GDataAtomContent>();
    ASSERT_EQ(contents.size(), 3u);
    EXPECT_EQ(contents[0]->stringValue(), "words");
    // The KML content kept its XML and holds no text, although a text content of the same class
    // was parsed before it in the same tree.
    EXPECT_FALSE(contents[1]->stringValue());
    ASSERT_TRUE(contents[1]->XMLValues());
    EXPECT_EQ(contents[1]->XMLValues()->size(), 1u);
    EXPECT_EQ(contents[2]->stringValue(), "more");
    EXPECT_FALSE(contents[0]->XMLValues());
    EXPECT_TRUE(contents[1]->unknownChildren().empty());

    auto xml = xmlOf(*holder);
    EXPECT_NE(xml.find("<name>Here</name>"), std::string::npos) << xml;
    auto again = roundTrip(*holder);

    auto made = GDataEntryContent::contentWithXMLValue(GDataXMLElement::initWithXMLString("<k><p/></k>").valueOr(nullptr),
                                                       std::string("application/vnd.google-earth.kml+xml"));
    ASSERT_TRUE(made->XMLValues());
    EXPECT_EQ(xmlOf(*made), "<content type=\"application/vnd.google-earth.kml+xml\"><k><p/></k></content>");
    EXPECT_EQ(platform::AssertionHandler::count(), assertionsBefore);
}

TEST(GDataEntryContentTest, AtomContentCarriesAParsedChildObject) {
    const auto assertionsBefore = platform::AssertionHandler::count();
    // The class of the carried element comes from the kind registry; a "service" root is found
    // by name, so it stands in for any registered kind here.
    GDataAtomServiceDocument::registerServiceDocumentClass();
    auto content = parse<GDataAtomContent>(
        "<content" + std::string(kNS) +
        " type='application/atom+xml;type=service'><app:service><app:workspace><title>W</title>"
        "</app:workspace></app:service></content>");
    ASSERT_TRUE(content);
    auto doc = std::dynamic_pointer_cast<GDataAtomServiceDocument>(content->childObject());
    ASSERT_TRUE(doc);
    ASSERT_TRUE(doc->primaryWorkspace());
    EXPECT_EQ(doc->primaryWorkspace()->title()->stringValue(), "W");
    EXPECT_FALSE(content->stringValue());
    EXPECT_TRUE(content->unknownChildren().empty());  // the child is not also kept as XML

    auto xml = xmlOf(*content);
    EXPECT_EQ(xml.find("app:service"), xml.rfind("app:service", xml.find("</app:service>") - 1)) << xml;
    auto again = roundTrip(*content);
    ASSERT_TRUE(again && again->childObject());

    // A copy owns a copy of the child.
    auto copy = std::dynamic_pointer_cast<GDataAtomContent>(content->copy());
    ASSERT_TRUE(copy && copy->childObject());
    EXPECT_NE(copy->childObject(), content->childObject());
    EXPECT_TRUE(copy->isEqual(*content));
    std::dynamic_pointer_cast<GDataAtomServiceDocument>(copy->childObject())->setWorkspaces(std::nullopt);
    EXPECT_FALSE(copy->isEqual(*content));

    // Without the ";" parameter the type is not an Atom payload: the child stays unparsed XML.
    auto plain = parse<GDataAtomContent>("<content" + std::string(kNS) +
                                         " type='application/atom+xml'><app:service/></content>");
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->childObject());
    EXPECT_EQ(plain->unknownChildren().size(), 1u);
    EXPECT_EQ(platform::AssertionHandler::count(), assertionsBefore);
}

TEST(GDataPersonTest, AuthorsAndContributorsRoundTrip) {
    auto author = parse<GDataAtomAuthor>("<author" + std::string(kNS) +
                                         " xml:lang='en'><name>Ann</name><email>ann@example.com</email>"
                                         "<uri>http://example.com/ann</uri></author>");
    ASSERT_TRUE(author);
    EXPECT_EQ(author->name(), "Ann");
    EXPECT_EQ(author->email(), "ann@example.com");
    EXPECT_EQ(author->URI(), "http://example.com/ann");
    EXPECT_EQ(author->nameLang(), "en");
    EXPECT_TRUE(author->unknownChildren().empty());
    roundTrip(*author);

    auto contributor = GDataPerson::personWithName<GDataAtomContributor>(std::string("Bo"), std::nullopt);
    EXPECT_EQ(xmlOf(*contributor), "<contributor><name>Bo</name></contributor>");
    contributor->setEmail(std::string("bo@example.com"));
    contributor->setName(std::nullopt);
    EXPECT_EQ(xmlOf(*contributor), "<contributor><email>bo@example.com</email></contributor>");
    EXPECT_EQ(xmlOf(*GDataPerson::personWithName(std::string("C"), std::nullopt)), "<author><name>C</name></author>");
}

TEST(GDataAtomValueElementsTest, ValuesDatesNumbersAndAttributes) {
    auto holder = parse<GDataObject>(wrap(""));  // a namespace context for the fragments below
    ASSERT_TRUE(holder);

    auto published = parse<GDataAtomPublishedDate>("<published" + std::string(kNS) +
                                                   ">2024-03-01T10:20:30+01:00</published>");
    ASSERT_TRUE(published && published->dateTimeValue());
    EXPECT_EQ(published->dateTimeValue()->RFC3339String(), "2024-03-01T10:20:30+01:00");
    auto edited = GDataValueConstruct::valueWithDateTime(GDataAtomPubEditedDate::staticClassInfo(),
                                                         GDataDateTime("2024-01-02T03:04:05Z"));
    EXPECT_EQ(xmlOf(*std::dynamic_pointer_cast<GDataObject>(edited)), "<app:edited>2024-01-02T03:04:05Z</app:edited>");

    auto total = parse<GDataOpenSearchTotalResults>("<openSearch:totalResults" + std::string(kNS) +
                                                    ">1234</openSearch:totalResults>");
    ASSERT_TRUE(total);
    EXPECT_EQ(total->intNumberValue(), 1234);
    roundTrip(*total);

    auto title = parse<GDataAtomTitle>("<title" + std::string(kNS) + " type='text' xml:lang='en'>Hi</title>");
    ASSERT_TRUE(title);
    EXPECT_EQ(title->stringValue(), "Hi");
    EXPECT_EQ(title->lang(), "en");
    EXPECT_EQ(xmlOf(*GDataTextConstruct::textConstructWithString<GDataAtomRights>(std::string("(c)"))),
              "<rights>(c)</rights>");

    auto deleted = GDataDeleted::deleted();
    EXPECT_EQ(xmlOf(*deleted), "<gd:deleted/>");
    EXPECT_FALSE(deleted->stringValue());
    EXPECT_EQ(xmlOf(*GDataValueConstruct::valueWithString<GDataResourceID>(std::string("r1"))),
              "<gd:resourceId>r1</gd:resourceId>");

    EXPECT_EQ(GDataObject::qualifiedNameForExtensionClass(GDataETagAttribute::staticClassInfo()), "gd:etag");
    EXPECT_EQ(GDataObject::qualifiedNameForExtensionClass(GDataFieldsAttribute::staticClassInfo()), "gd:fields");
    EXPECT_EQ(GDataObject::qualifiedNameForExtensionClass(GDataKindAttribute::staticClassInfo()), "gd:kind");
    EXPECT_EQ(GDataObject::qualifiedNameForExtensionClass(GDataOpenSearchItemsPerPage::staticClassInfo()),
              "openSearch:itemsPerPage");
    EXPECT_EQ(GDataObject::qualifiedNameForExtensionClass(GDataAtomID::staticClassInfo()), "id");
}

TEST(GDataGeneratorTest, NameVersionAndURI) {
    auto generator = parse<GDataGenerator>("<generator" + std::string(kNS) +
                                           " version='1.0' uri='http://example.com/gen'>Contacts</generator>");
    ASSERT_TRUE(generator);
    EXPECT_EQ(generator->name(), "Contacts");
    EXPECT_EQ(generator->version(), "1.0");
    EXPECT_EQ(generator->URI(), "http://example.com/gen");
    roundTrip(*generator);
    auto made = GDataGenerator::generatorWithName(std::string("G"), std::string("2"), std::nullopt);
    EXPECT_EQ(xmlOf(*made), "<generator version=\"2\">G</generator>");
}

TEST(GDataAtomPubControlTest, DraftFlag) {
    auto control = parse<GDataAtomPubControl>("<app:control" + std::string(kNS) +
                                              "><app:draft>YES</app:draft></app:control>");
    ASSERT_TRUE(control);
    EXPECT_TRUE(control->isDraft());
    EXPECT_NE(control->description().find("isDraft:yes"), std::string::npos);
    control->setIsDraft(false);
    EXPECT_FALSE(control->isDraft());
    EXPECT_EQ(xmlOf(*control).find("draft"), std::string::npos);
    EXPECT_NE(control->description().find("isDraft:no"), std::string::npos);

    auto made = GDataAtomPubControl::atomPubControlWithIsDraft(true);
    EXPECT_EQ(made->serviceVersion(), "2.0");
    auto xml = xmlOf(*made);
    EXPECT_NE(xml.find("xmlns:app=\"http://www.w3.org/2007/app\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("<app:draft>yes</app:draft>"), std::string::npos) << xml;
    auto again = parse<GDataAtomPubControl>(xml);
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->isDraft());

    auto notDraft = parse<GDataAtomPubControl>("<app:control" + std::string(kNS) +
                                               "><app:draft>no</app:draft></app:control>");
    EXPECT_FALSE(notDraft->isDraft());
}

TEST(GDataAtomServiceDocumentTest, ParsesByRootNameAndRoundTrips) {
    const auto assertionsBefore = platform::AssertionHandler::count();
    GDataAtomServiceDocument::registerServiceDocumentClass();
    const std::string xml =
        "<service xmlns='http://www.w3.org/2007/app' xmlns:atom='http://www.w3.org/2005/Atom'>"
        "<workspace><atom:title>Main</atom:title>"
        "<collection href='http://example.com/c1'><atom:title>Photos</atom:title>"
        "<accept>image/png</accept><accept>image/jpeg</accept>"
        "<categories fixed='YES' scheme='http://example.com/s'>"
        "<atom:category term='a'/><atom:category term='b'/></categories></collection>"
        "<collection href='http://example.com/c2'/></workspace>"
        "<workspace/></service>";
    auto element = GDataXMLElement::initWithXMLString(xml).valueOr(nullptr);
    ASSERT_TRUE(element);
    auto cls = GDataObject::objectClassForXMLElement(nullptr, element);
    ASSERT_EQ(cls, &GDataAtomServiceDocument::staticClassInfo());
    auto doc = std::dynamic_pointer_cast<GDataAtomServiceDocument>(GDataObject::objectWithXMLElement(*cls, element, nullptr));
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->serviceVersion(), "2.0");
    ASSERT_EQ(doc->workspaces().size(), 2u);
    auto ws = doc->primaryWorkspace();
    EXPECT_EQ(ws->title()->stringValue(), "Main");
    ASSERT_EQ(ws->collections().size(), 2u);
    auto coll = ws->primaryCollection();
    EXPECT_EQ(coll->href(), "http://example.com/c1");
    EXPECT_EQ(coll->title()->stringValue(), "Photos");
    EXPECT_EQ(coll->serviceAcceptStrings(), (std::vector<std::string>{"image/png", "image/jpeg"}));
    auto group = coll->categoryGroup();
    ASSERT_TRUE(group);
    EXPECT_TRUE(group->isFixed());
    EXPECT_EQ(group->scheme(), "http://example.com/s");
    ASSERT_EQ(group->categories().size(), 2u);
    EXPECT_EQ(group->categories()[1]->term(), "b");
    EXPECT_FALSE(doc->workspaces()[1]->primaryCollection());
    EXPECT_FALSE(ws->collections()[1]->serviceAcceptStrings());

    auto regenerated = xmlOf(*doc);
    auto again = parse<GDataAtomServiceDocument>(regenerated);
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->isEqual(*doc)) << regenerated;

    group->setIsFixed(false);
    EXPECT_FALSE(group->stringValueForAttribute("fixed"));
    group->setIsFixed(true);
    EXPECT_EQ(group->stringValueForAttribute("fixed"), "yes");

    coll->setServiceAcceptStrings(std::vector<std::string>{});
    EXPECT_FALSE(coll->serviceAcceptStrings());
    EXPECT_EQ(xmlOf(*coll).find("accept"), std::string::npos);
    coll->setServiceAcceptStrings(std::vector<std::string>{"*/*"});
    EXPECT_EQ(coll->serviceAcceptStrings(), (std::vector<std::string>{"*/*"}));

    EXPECT_FALSE(GDataAtomServiceDocument::object()->primaryWorkspace());
    EXPECT_EQ(platform::AssertionHandler::count(), assertionsBefore);
}
