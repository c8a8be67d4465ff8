// Media RSS elements: the media group and its parts read from and written to XML, keywords
// lists, and normal play time offsets.

#include <gtest/gtest.h>

#include "gdata/GDataMediaGroup.h"
#include "gdata/GDataNamespaces.h"
#include "gdata/GDataNormalPlayTime.h"

using namespace quorvane;

namespace {

const char* kGroupXML =
    "<media:group xmlns:media='http://search.yahoo.com/mrss/' xmlns:x='urn:x'>"
    "<media:content url='http://example.com/v.mp4' fileSize='5000000000' type='video/mp4' medium='video'"
    " isDefault='true' expression='full' bitrate='128.50' framerate='25' samplingrate='44.1' channels='2'"
    " duration='185' height='480' width='640' lang='en'/>"
    "<media:content url='http://example.com/a.mp3' medium='audio'/>"
    "<media:category label='Music' scheme='urn:s'>music/rock</media:category>"
    "<media:category>misc</media:category>"
    "<media:credit role='producer' scheme='urn:ebu'>Ann &amp; Bob</media:credit>"
    "<media:description type='plain'>A clip</media:description>"
    "<media:player url='http://example.com/play' height='200' width='400'/>"
    "<media:rating scheme='urn:simple'>nonadult</media:rating>"
    "<media:restriction relationship='allow' type='country'>au us</media:restriction>"
    "<media:thumbnail url='http://example.com/t.jpg' height='90' width='120' time='12:05:01.123'/>"
    "<media:keywords> kitty, cat ,, big dog ,</media:keywords>"
    "<media:title type='plain'>The Clip</media:title>"
    "<x:other>kept</x:other>"
    "</media:group>";

template <class T>
std::shared_ptr<T> parse(const std::string& xml) {
    auto parsed = GDataXMLElement::initWithXMLString(xml);
    EXPECT_TRUE(parsed) << parsed.error().code;
    auto element = parsed.valueOr(nullptr);
    return std::dynamic_pointer_cast<T>(GDataObject::objectWithXMLElement(T::staticClassInfo(), element, nullptr));
}

std::string xmlOf(const GDataObject& o) { return o.XMLElement()->XMLString().value_or(""); }

using Strings = std::vector<std::string>;

}  // namespace

TEST(GDataMediaGroup, ParsesEveryPartIntoTypedStateAndWritesItBack) {
    auto group = parse<GDataMediaGroup>(kGroupXML);
    ASSERT_TRUE(group);

    auto contents = group->mediaContents();
    ASSERT_EQ(contents.size(), 2u);
    const auto& c = contents[0];
    EXPECT_EQ(c->URLString(), "http://example.com/v.mp4");
    EXPECT_EQ(c->fileSize(), 5000000000LL);
    EXPECT_EQ(c->type(), "video/mp4");
    EXPECT_EQ(c->medium(), "video");
    EXPECT_TRUE(c->isDefault());
    EXPECT_EQ(c->expression(), "full");
    EXPECT_EQ(c->bitrate(), "128.5");
    EXPECT_EQ(c->framerate(), "25");
    EXPECT_EQ(c->samplingrate(), "44.1");
    EXPECT_EQ(c->channels(), 2);
    EXPECT_EQ(c->duration(), 185);
    EXPECT_EQ(c->height(), 480);
    EXPECT_EQ(c->width(), 640);
    EXPECT_EQ(c->lang(), "en");
    EXPECT_FALSE(contents[1]->isDefault());
    EXPECT_FALSE(contents[1]->fileSize());

    auto categories = group->mediaCategories();
    ASSERT_EQ(categories.size(), 2u);
    EXPECT_EQ(categories[0]->label(), "Music");
    EXPECT_EQ(categories[0]->scheme(), "urn:s");
    EXPECT_EQ(categories[0]->stringValue(), "music/rock");
    EXPECT_FALSE(categories[1]->label());

    ASSERT_EQ(group->mediaCredits().size(), 1u);
    EXPECT_EQ(group->mediaCredits()[0]->role(), "producer");
    EXPECT_EQ(group->mediaCredits()[0]->scheme(), "urn:ebu");
    EXPECT_EQ(group->mediaCredits()[0]->stringValue(), "Ann & Bob");

    ASSERT_EQ(group->mediaPlayers().size(), 1u);
    EXPECT_EQ(group->mediaPlayers()[0]->URLString(), "http://example.com/play");
    EXPECT_EQ(group->mediaPlayers()[0]->height(), 200);
    EXPECT_EQ(group->mediaPlayers()[0]->width(), 400);

    ASSERT_EQ(group->mediaRatings().size(), 1u);
    EXPECT_EQ(group->mediaRatings()[0]->scheme(), "urn:simple");
    EXPECT_EQ(group->mediaRatings()[0]->stringValue(), "nonadult");

    ASSERT_EQ(group->mediaRestrictions().size(), 1u);
    EXPECT_EQ(group->mediaRestrictions()[0]->relationship(), "allow");
    EXPECT_EQ(group->mediaRestrictions()[0]->type(), "country");
    EXPECT_EQ(group->mediaRestrictions()[0]->stringValue(), "au us");

    ASSERT_EQ(group->mediaThumbnails().size(), 1u);
    auto thumb = group->mediaThumbnails()[0];
    EXPECT_EQ(thumb->URLString(), "http://example.com/t.jpg");
    EXPECT_EQ(thumb->height(), 90);
    EXPECT_EQ(thumb->width(), 120);
    ASSERT_TRUE(thumb->time());
    EXPECT_EQ(thumb->time()->timeOffsetInMilliseconds(), ((12 * 60 + 5) * 60 + 1) * 1000 + 123);

    ASSERT_TRUE(group->mediaKeywords());
    EXPECT_EQ(group->mediaKeywords()->keywords(), (Strings{"kitty", "cat", "big dog"}));
    ASSERT_TRUE(group->mediaTitle());
    EXPECT_EQ(group->mediaTitle()->stringValue(), "The Clip");
    EXPECT_EQ(group->mediaTitle()->type(), "plain");
    ASSERT_TRUE(group->mediaDescription());
    EXPECT_EQ(group->mediaDescription()->stringValue(), "A clip");

    EXPECT_NE(group->description().find("categories:2"), std::string::npos) << group->description();

    // Written back whole: the unknown child too, and the text of the keywords as it was.
    auto xml = xmlOf(*group);
    EXPECT_NE(xml.find("<x:other>kept</x:other>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<media:keywords> kitty, cat ,, big dog ,</media:keywords>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("isDefault=\"true\""), std::string::npos) << xml;
    auto again = parse<GDataMediaGroup>(xml);
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->isEqual(*group));
    EXPECT_EQ(xmlOf(*again), xml);

    auto copy = std::dynamic_pointer_cast<GDataMediaGroup>(group->copy());
    ASSERT_TRUE(copy);
    EXPECT_TRUE(copy->isEqual(*group));
    copy->mediaThumbnails()[0]->setWidth(1);
    EXPECT_FALSE(copy->isEqual(*group));
}

TEST(GDataMediaGroup, BuiltInCodeRoundTrips) {
    auto group = GDataMediaGroup::mediaGroup();
    group->setNamespaces({{kGDataNamespaceMediaPrefix, kGDataNamespaceMediaURI}});

    auto content = GDataMediaContent::mediaContentWithURLString(std::string("http://example.com/c"));
    content->setFileSize(1234567890123LL);
    content->setBitrate(std::string("0096.000"));
    content->setWidth(320);
    content->setIsDefault(false);
    EXPECT_FALSE(content->stringValueForAttribute("isDefault"));  // written only when true
    content->setIsDefault(true);
    content->setWidth(std::nullopt);
    EXPECT_FALSE(content->stringValueForAttribute("width"));
    group->addMediaContent(content);
    group->addMediaThumbnail(GDataMediaThumbnail::mediaContentWithURL(std::string("http://example.com/t")));
    group->addMediaPlayer(GDataMediaPlayer::mediaPlayerWithURLString(std::string("http://example.com/p")));
    group->addMediaCredit(GDataMediaCredit::mediaCreditWithString(std::string("Ann")));
    group->addMediaCategory(GDataMediaCategory::mediaCategoryWithString(std::string("rock")));
    group->addMediaCategory(GDataMediaCategory::mediaCategoryWithString(std::string("pop")));
    group->addMediaRating(GDataMediaRating::mediaRatingWithString(std::string("adult")));
    group->addMediaRestriction(GDataMediaRestriction::mediaRestrictionWithString(std::string("fr"),
                                                                                 std::string("deny"),
                                                                                 std::string("country")));
    group->setMediaKeywords(GDataMediaKeywords::keywordsWithString(std::string_view(" a ,b,, a")));
    group->setMediaTitle(GDataTextConstruct::textConstructWithString<GDataMediaTitle>(std::string("T")));
    group->setMediaDescription(GDataTextConstruct::textConstructWithString<GDataMediaDescription>(std::string("D")));

    auto xml = xmlOf(*group);
    EXPECT_NE(xml.find("<media:content url=\"http://example.com/c\" fileSize=\"1234567890123\" bitrate=\"96\""
                       " isDefault=\"true\"/>"),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find("<media:restriction relationship=\"deny\" type=\"country\">fr</media:restriction>"),
              std::string::npos)
        << xml;
    // keywordsWithString writes the normalised list; duplicates in the given text are kept.
    EXPECT_NE(xml.find("<media:keywords>a, b, a</media:keywords>"), std::string::npos) << xml;

    auto parsed = parse<GDataMediaGroup>(xml);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->isEqual(*group));
    EXPECT_EQ(parsed->mediaCategories().size(), 2u);

    group->setMediaCategories(std::nullopt);
    EXPECT_TRUE(group->mediaCategories().empty());
    EXPECT_EQ(xmlOf(*group).find("media:category"), std::string::npos);
}

TEST(GDataMediaThumbnail, TimeReadsWritesAndReplacesTheAttribute) {
    auto thumb = parse<GDataMediaThumbnail>(
        "<media:thumbnail xmlns:media='http://search.yahoo.com/mrss/' url='u' time='0:00:10'/>");
    ASSERT_TRUE(thumb);
    ASSERT_TRUE(thumb->time());
    EXPECT_EQ(thumb->time()->timeOffsetInMilliseconds(), 10000);

    thumb->setTime(GDataNormalPlayTime::normalPlayTimeWithString("1:02:03.5"));
    EXPECT_EQ(thumb->stringValueForAttribute("time"), "1:02:03.500");
    auto xml = xmlOf(*thumb);
    EXPECT_EQ(xml.find("0:00:10"), std::string::npos) << xml;
    EXPECT_NE(xml.find("time=\"1:02:03.500\""), std::string::npos) << xml;

    thumb->setTime(GDataNormalPlayTime::normalPlayTimeWithString("now"));
    EXPECT_EQ(thumb->stringValueForAttribute("time"), "now");
    EXPECT_TRUE(thumb->time()->isNow());

    thumb->setTime(std::nullopt);
    EXPECT_FALSE(thumb->stringValueForAttribute("time"));
    EXPECT_FALSE(thumb->time());
    thumb->setStringValue(std::string(), "time");
    EXPECT_FALSE(thumb->time());  // an empty attribute is no time
}

TEST(GDataMediaKeywords, SplitTrimJoinAndAdd) {
    EXPECT_EQ(GDataMediaKeywords::keywordsFromString(std::string_view("a,,b,")), (Strings{"a", "b"}));
    EXPECT_EQ(GDataMediaKeywords::keywordsFromString(std::string_view("  one two \n,\tthree\u00a0")),
              (Strings{"one two", "three"}));
    EXPECT_FALSE(GDataMediaKeywords::keywordsFromString(std::string_view(" , ,\n")));
    EXPECT_FALSE(GDataMediaKeywords::keywordsFromString(std::nullopt));
    EXPECT_EQ(GDataMediaKeywords::stringFromKeywords(Strings{"a", "b"}), "a, b");
    EXPECT_FALSE(GDataMediaKeywords::stringFromKeywords(Strings{}));
    EXPECT_FALSE(GDataMediaKeywords::stringFromKeywords(std::nullopt));
    EXPECT_EQ(GDataMediaKeywords::trimString("\n x y \r\n"), "x y");

    auto kw = GDataMediaKeywords::object();
    EXPECT_FALSE(kw->keywords());
    kw->addKeyword("   ");
    EXPECT_FALSE(kw->stringValue());
    kw->addKeyword(" first ");
    EXPECT_EQ(kw->stringValue(), "first");
    kw->addKeyword("second");
    kw->addKeyword("first");  // already present: nothing changes
    EXPECT_EQ(kw->stringValue(), "first, second");
    kw->addKeyword("First");  // equality is exact
    EXPECT_EQ(kw->keywords(), (Strings{"first", "second", "First"}));

    kw->setKeywords(std::nullopt);
    EXPECT_FALSE(kw->stringValue());
    auto fromList = GDataMediaKeywords::keywordsWithStrings(Strings{"x", "y"});
    EXPECT_EQ(fromList->stringValue(), "x, y");
}

TEST(GDataNormalPlayTime, ParsesEveryForm) {
    auto t = GDataNormalPlayTime::normalPlayTimeWithString("1:02:03.5");
    EXPECT_FALSE(t.isNow());
    EXPECT_EQ(t.timeOffsetInMilliseconds(), 3723500);
    EXPECT_EQ(t.HHMMSSString(), "1:02:03.500");
    EXPECT_EQ(t.secondsString(), "3723.500");

    // The fraction's digits are a decimal fraction: padded on the right, cut after three.
    EXPECT_EQ(GDataNormalPlayTime::normalPlayTimeWithString("1.05").timeOffsetInMilliseconds(), 1050);
    EXPECT_EQ(GDataNormalPlayTime::normalPlayTimeWithString("0.5").timeOffsetInMilliseconds(), 500);
    EXPECT_EQ(GDataNormalPlayTime::normalPlayTimeWithString("2.123456").timeOffsetInMilliseconds(), 2123);
    EXPECT_EQ(GDataNormalPlayTime::normalPlayTimeWithString("7.").timeOffsetInMilliseconds(), 7000);

    EXPECT_EQ(GDataNormalPlayTime::normalPlayTimeWithString("2:30").timeOffsetInMilliseconds(), 150000);
    EXPECT_EQ(GDataNormalPlayTime::normalPlayTimeWithString("45").timeOffsetInMilliseconds(), 45000);
    // At most three fields; what follows a field that does not scan is ignored.
    EXPECT_EQ(GDataNormalPlayTime::normalPlayTimeWithString("1:00:00:30").timeOffsetInMilliseconds(), 3600000);
    EXPECT_EQ(GDataNormalPlayTime::normalPlayTimeWithString("5:x").timeOffsetInMilliseconds(), 5000);

    auto junk = GDataNormalPlayTime::normalPlayTimeWithString("abc");
    EXPECT_FALSE(junk.isNow());
    EXPECT_EQ(junk.timeOffsetInMilliseconds(), 0);
    EXPECT_EQ(GDataNormalPlayTime::normalPlayTimeWithString("").timeOffsetInMilliseconds(), 0);
    // Huge values saturate rather than wrap.
    EXPECT_GT(GDataNormalPlayTime::normalPlayTimeWithString("99999999999999999999:59:59").timeOffsetInMilliseconds(), 0);

    auto now = GDataNormalPlayTime::normalPlayTimeWithString("  NOW \n");
    EXPECT_TRUE(now.isNow());
    EXPECT_EQ(now.timeOffsetInMilliseconds(), -1);
    EXPECT_EQ(now.HHMMSSString(), "now");
    EXPECT_EQ(now.secondsString(), "now");

    // Parsing again replaces the earlier state.
    now.setFromString("3");
    EXPECT_FALSE(now.isNow());
    EXPECT_EQ(now.timeOffsetInMilliseconds(), 3000);
}

TEST(GDataNormalPlayTime, WritesStatesAndCompares) {
    GDataNormalPlayTime t;
    t.setTimeOffsetInMilliseconds(90000);
    EXPECT_EQ(t.HHMMSSString(), "0:01:30");
    EXPECT_EQ(t.secondsString(), "90");
    t.setTimeOffsetInMilliseconds(36000001);
    EXPECT_EQ(t.HHMMSSString(), "10:00:00.001");
    EXPECT_EQ(t.secondsString(), "36000.001");

    t.setTimeOffsetInMilliseconds(-1);
    EXPECT_TRUE(t.isNow());
    t.setTimeOffsetInMilliseconds(0);
    EXPECT_FALSE(t.isNow());
    t.setIsNow(true);
    EXPECT_EQ(t.timeOffsetInMilliseconds(), -1);

    GDataNormalPlayTime a, b;
    a.setIsNow(true);
    b.setFromString("now");
    EXPECT_TRUE(a.isEqual(b));
    b.setTimeOffsetInMilliseconds(1500);
    EXPECT_FALSE(a.isEqual(b));
    EXPECT_TRUE(b == GDataNormalPlayTime::normalPlayTimeWithString("1.5"));
    auto copy = b;
    EXPECT_TRUE(copy == b);
    EXPECT_NE(b.description().find("GDataNormalPlayTime"), std::string::npos);
    EXPECT_NE(b.description().find("{0:00:01.500}"), std::string::npos) << b.description();
}
