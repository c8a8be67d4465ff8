// Geo locations in their three encodings (GeoRSS point, GeoRSS where with a GML point, W3C
// point), coordinate strings, and the location helpers used by entries.

#include <gtest/gtest.h>

#include <cmath>

#include "gdata/GDataGeo.h"
#include "gdata/GDataNamespaces.h"
#include "platform/foundation/Log.h"

using namespace quorvane;

namespace {

// An element that carries a location the way entries do.
class TestPlace : public GDataObject {
    QV_GDATA_CLASS(TestPlace)
public:
    void addExtensionDeclarations() override {
        GDataObject::addExtensionDeclarations();
        GDataGeo::addGeoExtensionDeclarationsToObject(*this, staticClassInfo());
        addExtensionDeclarationForParentClass(staticClassInfo(), {&GDataGeoRSSFeatureName::staticClassInfo(),
                                                                  &GDataGeoRSSRadius::staticClassInfo()});
    }
};
QV_GDATA_DEFINE_CLASS(TestPlace, GDataObject, "urn:test", "t", "place")

const char* kNS =
    " xmlns:t='urn:test' xmlns:georss='http://www.georss.org/georss' xmlns:gml='http://www.opengis.net/gml'"
    " xmlns:geo='http://www.w3.org/2003/01/geo/wgs84_pos#'";

GDataXMLElementPtr element(const std::string& xml) {
    auto parsed = GDataXMLElement::initWithXMLString(xml);
    EXPECT_TRUE(parsed) << parsed.error().code << " " << xml;
    auto e = parsed.valueOr(nullptr);
    return e;
}

template <class T>
std::shared_ptr<T> parse(const std::string& xml) {
    return std::dynamic_pointer_cast<T>(GDataObject::objectWithXMLElement(T::staticClassInfo(), element(xml), nullptr));
}

std::string xmlOf(const GDataObject& o) { return o.XMLElement()->XMLString().value_or(""); }

std::shared_ptr<TestPlace> place(const std::string& children) {
    return parse<TestPlace>(std::string("<t:place") + kNS + ">" + children + "</t:place>");
}

template <class T>
void expectRoundTrip(const std::shared_ptr<T>& obj) {
    auto xml = xmlOf(*obj);
    auto again = parse<T>(xml);
    ASSERT_TRUE(again) << xml;
    EXPECT_TRUE(again->isEqual(*obj)) << xml;
    EXPECT_EQ(xmlOf(*again), xml);
}

}  // namespace

TEST(GDataGeoEncodings, EachReadsAndWritesAPoint) {
    auto rss = parse<GDataGeoRSSPoint>(
        "<georss:point xmlns:georss='http://www.georss.org/georss'> 45.256  -71.92 </georss:point>");
    ASSERT_TRUE(rss);
    EXPECT_TRUE(rss->isPoint());
    EXPECT_DOUBLE_EQ(rss->latitude(), 45.256);
    EXPECT_DOUBLE_EQ(rss->longitude(), -71.92);
    EXPECT_EQ(xmlOf(*rss),
              "<georss:point xmlns:georss=\"http://www.georss.org/georss\">45.256 -71.92</georss:point>");
    expectRoundTrip(rss);

    auto where = parse<GDataGeoRSSWhere>(
        "<georss:where xmlns:georss='http://www.georss.org/georss' xmlns:gml='http://www.opengis.net/gml'>"
        "<gml:Point><gml:pos>-33.5 151</gml:pos></gml:Point></georss:where>");
    ASSERT_TRUE(where);
    EXPECT_DOUBLE_EQ(where->latitude(), -33.5);
    EXPECT_DOUBLE_EQ(where->longitude(), 151);
    EXPECT_EQ(xmlOf(*where),
              "<georss:where xmlns:georss=\"http://www.georss.org/georss\" xmlns:gml=\"http://www.opengis.net/gml\">"
              "<gml:Point><gml:pos>-33.5 151</gml:pos></gml:Point></georss:where>");
    expectRoundTrip(where);

    auto w3c = parse<GDataGeoW3CPoint>(
        "<geo:Point xmlns:geo='http://www.w3.org/2003/01/geo/wgs84_pos#'>"
        "<geo:long>2.35</geo:long><geo:lat>48.85</geo:lat></geo:Point>");
    ASSERT_TRUE(w3c);
    EXPECT_DOUBLE_EQ(w3c->latitude(), 48.85);
    EXPECT_DOUBLE_EQ(w3c->longitude(), 2.35);
    EXPECT_EQ(xmlOf(*w3c),
              "<geo:Point xmlns:geo=\"http://www.w3.org/2003/01/geo/wgs84_pos#\">"
              "<geo:lat>48.85</geo:lat><geo:long>2.35</geo:long></geo:Point>");
    expectRoundTrip(w3c);

    // Copies carry the coordinates; different coordinates are not equal.
    auto copy = std::dynamic_pointer_cast<GDataGeo>(w3c->copy());
    ASSERT_TRUE(copy);
    EXPECT_TRUE(copy->isEqual(*w3c));
    copy->setValues(std::vector<double>{1, 2});
    EXPECT_FALSE(copy->isEqual(*w3c));
    EXPECT_NE(copy->description().find("values:(1, 2)"), std::string::npos) << copy->description();
}

TEST(GDataGeoEncodings, NewLocationsUseTheirOwnNamesAndNamespaces) {
    auto host = TestPlace::object();
    host->setNamespaces(GDataGeo::geoNamespaces());
    host->addNamespaces({{"t", "urn:test"}});  // its own prefix, so the XML reads back
    for (const auto* cls : {&GDataGeoRSSPoint::staticClassInfo(), &GDataGeoRSSWhere::staticClassInfo(),
                            &GDataGeoW3CPoint::staticClassInfo()}) {
        auto geo = GDataGeo::geoWithLatitude(*cls, 10.5, -20.25);
        ASSERT_TRUE(geo);
        GDataGeo::setGeoLocation(geo, *host);
        auto xml = xmlOf(*host);
        auto parsed = parse<TestPlace>(xml);
        ASSERT_TRUE(parsed) << xml;
        auto found = GDataGeo::geoLocationForObject(*parsed);
        ASSERT_TRUE(found) << xml;
        EXPECT_EQ(&found->classInfo(), cls) << xml;
        EXPECT_TRUE(found->isEqual(*geo)) << xml;
        EXPECT_DOUBLE_EQ(found->latitude(), 10.5);
        EXPECT_DOUBLE_EQ(found->longitude(), -20.25);
    }
    // A W3C point made in code and never stored writes the "geo" prefix.
    auto loose = GDataGeo::geoWithLatitude<GDataGeoW3CPoint>(1, 2);
    EXPECT_EQ(xmlOf(*loose), "<geo:Point><geo:lat>1</geo:lat><geo:long>2</geo:long></geo:Point>");
    // The base class alone writes a georss point.
    auto base = GDataGeo::geoWithLatitude<GDataGeo>(3, 4);
    EXPECT_EQ(xmlOf(*base), "<georss:point>3 4</georss:point>");
}

TEST(GDataGeoEncodings, W3CChildrenFollowTheParsedPrefix) {
    auto other = parse<GDataGeoW3CPoint>(
        "<w:Point xmlns:w='http://www.w3.org/2003/01/geo/wgs84_pos#'><w:lat>1.5</w:lat><w:long>2.5</w:long></w:Point>");
    ASSERT_TRUE(other);
    EXPECT_TRUE(other->isPoint());
    other->setValues(std::vector<double>{3, 4});
    EXPECT_EQ(xmlOf(*other), "<w:Point xmlns:w=\"http://www.w3.org/2003/01/geo/wgs84_pos#\"><w:lat>3</w:lat>"
                             "<w:long>4</w:long></w:Point>");

    // In a default namespace the children are plain "lat" and "long", never ":lat".
    auto plain = parse<GDataGeoW3CPoint>(
        "<Point xmlns='http://www.w3.org/2003/01/geo/wgs84_pos#'><lat>5</lat><long>6</long></Point>");
    ASSERT_TRUE(plain);
    EXPECT_DOUBLE_EQ(plain->latitude(), 5);
    auto xml = xmlOf(*plain);
    EXPECT_EQ(xml, "<Point xmlns=\"http://www.w3.org/2003/01/geo/wgs84_pos#\"><lat>5</lat><long>6</long></Point>");
    expectRoundTrip(plain);

    // Children of another namespace are not coordinates.
    auto foreign = parse<GDataGeoW3CPoint>(
        "<geo:Point xmlns:geo='http://www.w3.org/2003/01/geo/wgs84_pos#' xmlns:x='urn:x'>"
        "<x:lat>1</x:lat><x:long>2</x:long></geo:Point>");
    ASSERT_TRUE(foreign);
    EXPECT_FALSE(foreign->values());
}

TEST(GDataGeoEncodings, IncompleteOrMalformedLocationsKeepTheirXML) {
    auto onlyLat = parse<GDataGeoW3CPoint>(
        "<geo:Point xmlns:geo='http://www.w3.org/2003/01/geo/wgs84_pos#'><geo:lat>1</geo:lat></geo:Point>");
    ASSERT_TRUE(onlyLat);
    EXPECT_FALSE(onlyLat->values());
    EXPECT_FALSE(onlyLat->isPoint());
    EXPECT_TRUE(std::isnan(onlyLat->latitude()));
    EXPECT_TRUE(std::isnan(onlyLat->longitude()));
    EXPECT_NE(xmlOf(*onlyLat).find("<geo:lat>1</geo:lat>"), std::string::npos) << xmlOf(*onlyLat);

    auto three = parse<GDataGeoRSSPoint>("<georss:point xmlns:georss='http://www.georss.org/georss'>1 2 3</georss:point>");
    ASSERT_TRUE(three);
    EXPECT_EQ(three->values(), (std::vector<double>{1, 2}));
    EXPECT_TRUE(three->isPoint());

    auto words = parse<GDataGeoRSSPoint>("<georss:point xmlns:georss='http://www.georss.org/georss'>here</georss:point>");
    ASSERT_TRUE(words);
    EXPECT_FALSE(words->values());
    EXPECT_NE(xmlOf(*words).find(">here<"), std::string::npos);

    auto noPoint = parse<GDataGeoRSSWhere>(
        "<georss:where xmlns:georss='http://www.georss.org/georss' xmlns:gml='http://www.opengis.net/gml'>"
        "<gml:Envelope/></georss:where>");
    ASSERT_TRUE(noPoint);
    EXPECT_FALSE(noPoint->values());
    EXPECT_NE(xmlOf(*noPoint).find("<gml:Envelope/>"), std::string::npos);

    auto twoPairs = parse<GDataGeoRSSWhere>(
        "<georss:where xmlns:georss='http://www.georss.org/georss' xmlns:gml='http://www.opengis.net/gml'>"
        "<gml:Point><gml:pos>1 2 3 4</gml:pos></gml:Point></georss:where>");
    ASSERT_TRUE(twoPairs);
    EXPECT_EQ(twoPairs->values(), (std::vector<double>{1, 2, 3, 4}));
    EXPECT_FALSE(twoPairs->isPoint());
    EXPECT_TRUE(std::isnan(twoPairs->latitude()));
}

TEST(GDataGeoCoordinates, StringsAndValues) {
    using V = std::vector<double>;
    EXPECT_EQ(GDataGeo::valuesWithCoordinateString("45.256 -71.92"), (V{45.256, -71.92}));
    EXPECT_EQ(GDataGeo::valuesWithCoordinateString("\n 1\t2 3 4 5 "), (V{1, 2, 3, 4}));
    EXPECT_EQ(GDataGeo::valuesWithCoordinateString("1e2 +3.5"), (V{100, 3.5}));
    EXPECT_TRUE(GDataGeo::valuesWithCoordinateString("").empty());
    EXPECT_TRUE(GDataGeo::valuesWithCoordinateString("7").empty());
    EXPECT_TRUE(GDataGeo::valuesWithCoordinateString("north 7 8").empty());
    EXPECT_EQ(GDataGeo::valuesWithCoordinateString("1 2 x 3 4"), (V{1, 2}));

    EXPECT_EQ(GDataGeo::coordinateStringWithValues(V{45.256, -71.92, 0.1, 100}), "45.256 -71.92 0.1 100");
    EXPECT_EQ(GDataGeo::coordinateStringWithValues(V{}), "");
    EXPECT_FALSE(GDataGeo::coordinateStringWithValues(std::nullopt));

    auto ns = GDataGeo::geoNamespaces();
    ASSERT_EQ(ns.size(), 3u);
    EXPECT_EQ(ns[0], (std::pair<std::string, std::string>{"georss", kGDataNamespaceGeoRSSURI}));
    EXPECT_EQ(ns[1], (std::pair<std::string, std::string>{"geo", kGDataNamespaceGeoW3CURI}));
    EXPECT_EQ(ns[2], (std::pair<std::string, std::string>{"gml", kGDataNamespaceGMLURI}));
}

TEST(GDataGeoLocation, LookupOrderReplacementAndRemoval) {
    auto p = place("<geo:Point><geo:lat>1</geo:lat><geo:long>2</geo:long></geo:Point>"
                   "<georss:where><gml:Point><gml:pos>3 4</gml:pos></gml:Point></georss:where>"
                   "<georss:featurename>Harbour</georss:featurename><georss:radius>500</georss:radius>");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->objectForExtension<GDataGeoRSSFeatureName>()->stringValue(), "Harbour");
    EXPECT_EQ(p->objectForExtension<GDataGeoRSSRadius>()->intValue(), 500);

    // The where comes before the W3C point.
    auto found = GDataGeo::geoLocationForObject(*p);
    ASSERT_TRUE(found);
    EXPECT_EQ(&found->classInfo(), &GDataGeoRSSWhere::staticClassInfo());
    EXPECT_DOUBLE_EQ(found->latitude(), 3);

    // Removing takes away the location found, of whatever encoding.
    GDataGeo::setGeoLocation(nullptr, *p);
    found = GDataGeo::geoLocationForObject(*p);
    ASSERT_TRUE(found);
    EXPECT_EQ(&found->classInfo(), &GDataGeoW3CPoint::staticClassInfo());
    GDataGeo::setGeoLocation(nullptr, *p);
    EXPECT_FALSE(GDataGeo::geoLocationForObject(*p));
    auto xml = xmlOf(*p);
    EXPECT_EQ(xml.find("Point"), std::string::npos) << xml;
    EXPECT_EQ(xml.find("where"), std::string::npos) << xml;

    // A new location of another encoding replaces the one there.
    GDataGeo::setGeoLocation(GDataGeo::geoWithLatitude<GDataGeoW3CPoint>(5, 6), *p);
    GDataGeo::setGeoLocation(GDataGeo::geoWithLatitude<GDataGeoRSSPoint>(7, 8), *p);
    EXPECT_FALSE(p->objectForExtension<GDataGeoW3CPoint>());
    found = GDataGeo::geoLocationForObject(*p);
    ASSERT_TRUE(found);
    EXPECT_EQ(&found->classInfo(), &GDataGeoRSSPoint::staticClassInfo());
    xml = xmlOf(*p);
    EXPECT_NE(xml.find("<georss:point>7 8</georss:point>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<georss:featurename>Harbour</georss:featurename>"), std::string::npos) << xml;
    auto again = parse<TestPlace>(xml);
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->isEqual(*p));
}

TEST(GDataGeoLocation, TheAbstractBaseIsRefused) {
    auto before = platform::AssertionHandler::count();
    auto parsed = GDataObject::objectWithXMLElement(
        GDataGeo::staticClassInfo(),
        element("<georss:point xmlns:georss='http://www.georss.org/georss'>1 2</georss:point>"), nullptr);
    EXPECT_FALSE(parsed);
    EXPECT_EQ(platform::AssertionHandler::count(), before + 1);

    auto host = TestPlace::object();
    GDataGeo::setGeoLocation(GDataGeo::geoWithLatitude<GDataGeoRSSPoint>(1, 2), *host);
    GDataGeo::setGeoLocation(GDataGeo::geoWithLatitude<GDataGeo>(3, 4), *host);
    EXPECT_EQ(platform::AssertionHandler::count(), before + 2);
    EXPECT_FALSE(GDataGeo::geoLocationForObject(*host));  // the old one is gone, the base not stored
    EXPECT_FALSE(host->objectForExtensionClass(GDataGeo::staticClassInfo()));
}
