// The common gd elements: time spans, places, people, ratings, money, links to nested entries
// and feeds, comments, custom properties and geographic points.

#include <gtest/gtest.h>

#include <mutex>

#include "gdata/GDataComment.h"
#include "gdata/GDataCustomProperty.h"
#include "gdata/GDataEntryBase.h"
#include "gdata/GDataEntryLink.h"
#include "gdata/GDataFeedBase.h"
#include "gdata/GDataFeedLink.h"
#include "gdata/GDataGeoPt.h"
#include "gdata/GDataMoney.h"
#include "gdata/GDataRating.h"
#include "gdata/GDataWhen.h"
#include "gdata/GDataWhere.h"
#include "gdata/GDataWho.h"
#include "tests/gdata/GDataElementTestSupport.h"

using namespace quorvane;
using namespace quorvane::elementtest;

namespace {

const std::string kGD = " xmlns:gd='http://schemas.google.com/g/2005'";
const std::string kGDAtom = kGD + " xmlns:atom='http://www.w3.org/2005/Atom'";

// An entry class of the tests' own, registered under its kind.
class TestLinkedEntry : public GDataEntryBase {
    QV_GDATA_CLASS(TestLinkedEntry)
public:
    std::optional<std::string> standardEntryKind() const override {
        return std::string("http://example.com/kinds#linked");
    }
};
QV_GDATA_DEFINE_CLASS(TestLinkedEntry, GDataEntryBase, nullptr, nullptr, nullptr)

void registerTestLinkedEntry() {
    static std::once_flag once;
    std::call_once(once, [] { GDataEntryBase::registerEntryClass(TestLinkedEntry::staticClassInfo()); });
}

std::string entryLinkXML(const std::string& kind) {
    return "<gd:entryLink" + kGDAtom + " href='http://x/e/9'><atom:entry><atom:id>http://x/e/9</atom:id>"
           "<atom:category scheme='http://schemas.google.com/g/2005#kind' term='" + kind + "'/></atom:entry>"
           "</gd:entryLink>";
}

}  // namespace

TEST(GDataWhen, DatesKeepTheirFormAndAMissingEndIsNotWritten) {
    auto when = parse<GDataWhen>("<gd:when" + kGD +
                                 " startTime='2007-05-17' endTime='2007-05-18T10:00:00-07:00' valueString='all day'/>");
    ASSERT_TRUE(when);
    ASSERT_TRUE(when->startTime());
    EXPECT_FALSE(when->startTime()->hasTime());
    EXPECT_EQ(when->endTime()->RFC3339String(), "2007-05-18T10:00:00-07:00");
    EXPECT_EQ(when->value(), "all day");
    roundTrip(when);

    auto made = GDataWhen::whenWithStartTime(GDataDateTime::dateTimeWithRFC3339String("1990-05-17"), std::nullopt);
    declareNamespaces(*made);
    auto xml = xmlOf(*made);
    EXPECT_TRUE(contains(xml, "startTime=\"1990-05-17\"")) << xml;
    EXPECT_FALSE(contains(xml, "endTime")) << xml;
    EXPECT_FALSE(contains(xml, "T00:00")) << xml;
    roundTrip(made);

    made->setStartTime(std::nullopt);
    EXPECT_FALSE(made->startTime());
    EXPECT_FALSE(contains(xmlOf(*made), "startTime"));
}

TEST(GDataEntryLink, ReadOnlyIsWrittenOnlyWhenSetAndReadInAnyCase) {
    auto link = parse<GDataEntryLink>("<gd:entryLink" + kGD + " href='http://x/e/1' readOnly='TRUE' rel='r'/>");
    ASSERT_TRUE(link);
    EXPECT_TRUE(link->isReadOnly());
    EXPECT_EQ(link->href(), "http://x/e/1");
    EXPECT_EQ(link->rel(), "r");
    EXPECT_FALSE(link->entry());

    link->setIsReadOnly(false);
    EXPECT_FALSE(contains(xmlOf(*link), "readOnly"));
    link->setIsReadOnly(true);
    EXPECT_TRUE(contains(xmlOf(*link), "readOnly=\"true\""));

    auto made = GDataEntryLink::entryLinkWithHref(std::string("http://x/e/2"), false);
    EXPECT_FALSE(made->stringValueForAttribute("readOnly"));
    EXPECT_FALSE(made->isReadOnly());
}

// A nested entry goes back whole, whatever class the kind registry gives it (or none, when no
// entry class is registered: then it stays as XML the link does not model).
TEST(GDataEntryLink, NestedEntryComesBackWholeAndTakesPartInEqualityAndCopy) {
    const std::string xml = "<gd:entryLink" + kGDAtom +
                            " href='http://x/e/1'>"
                            "<atom:entry><atom:id>http://x/e/1</atom:id>"
                            "<atom:category scheme='http://schemas.google.com/g/2005#kind'"
                            " term='http://example.com/kinds#unregistered'/>"
                            "<atom:title>Nested</atom:title></atom:entry></gd:entryLink>";
    auto link = parse<GDataEntryLink>(xml);
    ASSERT_TRUE(link);
    auto out = xmlOf(*link);
    EXPECT_TRUE(contains(out, "<atom:id>http://x/e/1</atom:id>")) << out;
    EXPECT_TRUE(contains(out, "<atom:title>Nested</atom:title>")) << out;
    EXPECT_TRUE(contains(out, "term=\"http://example.com/kinds#unregistered\"")) << out;
    auto again = roundTrip(link);

    if (link->entry()) {
        // A typed nested entry: its parent is the link, the copy has its own, and a change to it
        // makes the links differ.
        EXPECT_EQ(link->entry()->parent(), link);
        auto copy = std::dynamic_pointer_cast<GDataEntryLink>(link->copy());
        ASSERT_TRUE(copy && copy->entry());
        EXPECT_NE(copy->entry(), link->entry());
        copy->entry()->setStringValue(std::string("changed"), "xml:lang");
        EXPECT_FALSE(copy->isEqual(*link));
        EXPECT_TRUE(again->isEqual(*link));
        copy->setEntry(nullptr);
        EXPECT_FALSE(copy->isEqual(*link));
        EXPECT_FALSE(link->isEqual(*copy));
    } else {
        ASSERT_EQ(link->unknownChildren().size(), 1u);
        EXPECT_EQ(link->unknownChildren()[0]->localName(), "entry");
    }
}

TEST(GDataEntryLink, NestedEntryTakesTheClassOfItsKind) {
    registerTestLinkedEntry();
    auto typed = parse<GDataEntryLink>(entryLinkXML("http://example.com/kinds#linked"));
    ASSERT_TRUE(typed);
    ASSERT_TRUE(std::dynamic_pointer_cast<TestLinkedEntry>(typed->entry()));
    EXPECT_EQ(std::dynamic_pointer_cast<GDataEntryBase>(typed->entry())->identifier(), "http://x/e/9");
    EXPECT_TRUE(typed->unknownChildren().empty());
    roundTrip(typed);

    // A kind nobody registered gives the entry base.
    auto plain = parse<GDataEntryLink>(entryLinkXML("http://example.com/kinds#nobody"));
    ASSERT_TRUE(plain && plain->entry());
    EXPECT_EQ(&plain->entry()->classInfo(), &GDataEntryBase::staticClassInfo());
    EXPECT_FALSE(plain->isEqual(*typed));

    // Only the first entry is the nested one; a second stays as XML and goes back as it came.
    auto two = parse<GDataEntryLink>("<gd:entryLink" + kGDAtom +
                                     "><atom:entry><atom:id>one</atom:id></atom:entry>"
                                     "<atom:entry><atom:id>two</atom:id></atom:entry></gd:entryLink>");
    ASSERT_TRUE(two && two->entry());
    EXPECT_EQ(std::dynamic_pointer_cast<GDataEntryBase>(two->entry())->identifier(), "one");
    auto xml = xmlOf(*two);
    EXPECT_TRUE(contains(xml, "<atom:id>one</atom:id>") && contains(xml, "<atom:id>two</atom:id>")) << xml;
}

TEST(GDataEntryLink, AnEntrySetInCodeIsWrittenAfterTheLinkContent) {
    auto nested = GDataObject::object();
    nested->setElementName("entry");
    nested->setStringValue(std::string("v"), "a");
    auto link = GDataEntryLink::entryLinkWithHref(std::string("http://x/e/3"), true);
    link->setEntry(nested);
    auto xml = xmlOf(*link);
    EXPECT_TRUE(contains(xml, "<entry a=\"v\"/>")) << xml;

    auto other = GDataEntryLink::entryLinkWithHref(std::string("http://x/e/3"), true);
    EXPECT_FALSE(link->isEqual(*other));  // one has a nested entry, the other none
    other->setEntry(std::dynamic_pointer_cast<GDataObject>(nested->copy()));
    EXPECT_TRUE(link->isEqual(*other));
}

TEST(GDataFeedLink, AttributesURLAndNestedFeed) {
    const std::string xml = "<gd:feedLink" + kGDAtom +
                            " href='http://x/feeds/comments' rel='http://x/rel#c' countHint='12' readOnly='true'>"
                            "<atom:feed><atom:id>http://x/feeds/comments</atom:id>"
                            "<atom:title>Comments</atom:title></atom:feed></gd:feedLink>";
    auto link = parse<GDataFeedLink>(xml);
    ASSERT_TRUE(link);
    EXPECT_EQ(link->countHint(), 12);
    EXPECT_TRUE(link->isReadOnly());
    ASSERT_TRUE(link->URL());
    EXPECT_EQ(link->URL()->absoluteString(), "http://x/feeds/comments");
    auto out = xmlOf(*link);
    EXPECT_TRUE(contains(out, "<atom:title>Comments</atom:title>")) << out;
    roundTrip(link);
    ASSERT_TRUE(std::dynamic_pointer_cast<GDataFeedBase>(link->feed()));
    EXPECT_FALSE(link->feed()->parent()) << "a nested feed is a root of its own";

    link->setCountHint(std::nullopt);
    EXPECT_FALSE(link->countHint());
    link->setHref(std::string());
    EXPECT_FALSE(link->URL());
    link->setHref(std::nullopt);
    EXPECT_FALSE(link->URL());

    auto made = GDataFeedLink::feedLinkWithHref(std::string("http://x/f"), false);
    made->setCountHint(-3);
    EXPECT_EQ(made->stringValueForAttribute("countHint"), "-3");
    EXPECT_FALSE(made->stringValueForAttribute("readOnly"));
}

TEST(GDataComment, HoldsAFeedLink) {
    auto comment = parse<GDataComment>("<gd:comments" + kGD +
                                       " rel='http://schemas.google.com/g/2005#regular'>"
                                       "<gd:feedLink href='http://x/c' countHint='2'/></gd:comments>");
    ASSERT_TRUE(comment);
    EXPECT_EQ(comment->rel(), "http://schemas.google.com/g/2005#regular");
    ASSERT_TRUE(comment->feedLink());
    EXPECT_EQ(comment->feedLink()->countHint(), 2);
    EXPECT_TRUE(contains(comment->description(), "feedLink:GDataFeedLink"));
    roundTrip(comment);

    auto made = GDataComment::commentWithFeedLink(GDataFeedLink::feedLinkWithHref(std::string("http://x/c"), false));
    declareNamespaces(*made);
    EXPECT_TRUE(contains(xmlOf(*made), "<gd:feedLink href=\"http://x/c\"/>"));
    roundTrip(made);
}

TEST(GDataWhere, ValueRelLabelAndEntryLink) {
    auto where = parse<GDataWhere>("<gd:where" + kGD +
                                   " rel='http://schemas.google.com/g/2005#event' valueString='Room 1' label='main'>"
                                   "<gd:entryLink href='http://x/rooms/1'/></gd:where>");
    ASSERT_TRUE(where);
    EXPECT_EQ(where->stringValue(), "Room 1");
    EXPECT_EQ(where->label(), "main");
    ASSERT_TRUE(where->entryLink());
    EXPECT_EQ(where->entryLink()->href(), "http://x/rooms/1");
    EXPECT_TRUE(contains(where->description(), "entryLink:GDataEntryLink"));
    roundTrip(where);

    auto made = GDataWhere::whereWithString(std::string("Paris"));
    EXPECT_EQ(made->stringValueForAttribute("valueString"), "Paris");
    EXPECT_FALSE(GDataWhere::whereWithString(std::string("Lyon"))->isEqual(*made));
}

TEST(GDataWho, PersonWithAttendeeTypeStatusAndEntryLink) {
    auto who = parse<GDataWho>("<gd:who" + kGD +
                               " rel='http://schemas.google.com/g/2005#event.organizer' valueString='Ann'"
                               " email='ann@example.com'>"
                               "<gd:attendeeType value='http://schemas.google.com/g/2005#event.required'/>"
                               "<gd:attendeeStatus value='http://schemas.google.com/g/2005#event.accepted'/>"
                               "<gd:entryLink href='http://x/people/ann'/></gd:who>");
    ASSERT_TRUE(who);
    EXPECT_EQ(who->stringValue(), "Ann");
    EXPECT_EQ(who->email(), "ann@example.com");
    ASSERT_TRUE(who->attendeeType() && who->attendeeStatus() && who->entryLink());
    EXPECT_EQ(who->attendeeStatus()->stringValue(), "http://schemas.google.com/g/2005#event.accepted");
    auto d = who->description();
    EXPECT_TRUE(contains(d, "attendeeType:") && contains(d, "attendeeStatus:") && contains(d, "entryLink:")) << d;
    auto again = roundTrip(who);

    again->setAttendeeStatus(
        GDataValueConstruct::valueWithString<GDataAttendeeStatus>(std::string("http://schemas.google.com/g/2005#event.declined")));
    EXPECT_FALSE(again->isEqual(*who));
    again->setAttendeeStatus(nullptr);
    EXPECT_FALSE(contains(xmlOf(*again), "attendeeStatus"));

    auto made = GDataWho::whoWithRel(std::nullopt, std::string("Bob"), std::string("bob@example.com"));
    EXPECT_FALSE(made->rel());
    EXPECT_EQ(made->stringValue(), "Bob");
    EXPECT_EQ(made->email(), "bob@example.com");
}

TEST(GDataRating, NumbersReadAndWritten) {
    auto rating = parse<GDataRating>("<gd:rating" + kGD +
                                     " rel='http://schemas.google.com/g/2005#overall' value='4' min='1' max='5'"
                                     " average='3.75' numRaters='120'/>");
    ASSERT_TRUE(rating);
    EXPECT_EQ(rating->value(), 4);
    EXPECT_EQ(rating->min(), 1);
    EXPECT_EQ(rating->max(), 5);
    EXPECT_EQ(rating->numberOfRaters(), 120);
    EXPECT_EQ(rating->average(), 3.75);
    roundTrip(rating);

    auto made = GDataRating::ratingWithValue(2, 10, 0);
    EXPECT_EQ(made->stringValueForAttribute("value"), "2");
    EXPECT_EQ(made->stringValueForAttribute("max"), "10");
    EXPECT_EQ(made->stringValueForAttribute("min"), "0");
    EXPECT_FALSE(made->average());
    made->setAverage(0.1);
    EXPECT_EQ(made->stringValueForAttribute("average"), "0.1");
    EXPECT_EQ(made->average(), 0.1);
    made->setNumberOfRaters(std::nullopt);
    made->setAverage(std::nullopt);
    EXPECT_FALSE(made->stringValueForAttribute("numRaters") || made->stringValueForAttribute("average"));
}

TEST(GDataMoney, AmountIsDecimalTextThatLosesNoDigit) {
    // More digits than a double holds: the amount must come back exactly.
    auto money = parse<GDataMoney>("<gd:money" + kGD + " amount='12345678901234567.89' currencyCode='USD'/>");
    ASSERT_TRUE(money);
    EXPECT_EQ(money->amount(), "12345678901234567.89");
    EXPECT_EQ(money->currencyCode(), "USD");
    auto again = roundTrip(money);
    EXPECT_TRUE(contains(xmlOf(*again), "amount=\"12345678901234567.89\""));

    auto made = GDataMoney::moneyWithAmount(std::string("0019.990"), std::string("EUR"));
    EXPECT_EQ(made->stringValueForAttribute("amount"), "19.99");
    EXPECT_EQ(made->amount(), "19.99");
    made->setAmount(std::string("0.1"));
    EXPECT_EQ(made->amount(), "0.1");
    made->setAmount(std::nullopt);
    EXPECT_FALSE(made->amount());
    EXPECT_FALSE(made->stringValueForAttribute("amount"));
}

TEST(GDataCustomProperty, AttributesAndText) {
    auto prop = parse<GDataCustomProperty>("<gd:customProperty" + kGD +
                                           " name='height' type='http://www.w3.org/2001/XMLSchema#float'"
                                           " unit='m'>1.85</gd:customProperty>");
    ASSERT_TRUE(prop);
    EXPECT_EQ(prop->name(), "height");
    EXPECT_EQ(prop->unit(), "m");
    EXPECT_EQ(prop->value(), "1.85");
    roundTrip(prop);

    auto made = GDataCustomProperty::customPropertyWithName(std::string("n"), std::string("t"), std::string("v & w"),
                                                            std::nullopt);
    declareNamespaces(*made);
    EXPECT_TRUE(contains(xmlOf(*made), ">v &amp; w</gd:customProperty>")) << xmlOf(*made);
    EXPECT_FALSE(made->unit());
    roundTrip(made);
}

TEST(GDataGeoPt, FieldsAreWrittenOnlyWhenSet) {
    auto pt = GDataGeoPt::geoPtWithLabel(std::nullopt, 48.8566, 2.3522, std::nullopt, std::nullopt);
    declareNamespaces(*pt);
    auto xml = xmlOf(*pt);
    EXPECT_TRUE(contains(xml, "lat=\"48.8566\" lon=\"2.3522\"")) << xml;
    EXPECT_FALSE(contains(xml, "label") || contains(xml, "elev") || contains(xml, "time")) << xml;
    roundTrip(pt);

    auto full = parse<GDataGeoPt>("<gd:geoPt" + kGD +
                                  " label='Summit' lat='-33.5' lon='151.25' elev='1200' time='2008-01-02T03:04:05Z'"
                                  " extra='kept'/>");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->label(), "Summit");
    EXPECT_EQ(full->lat(), -33.5);
    EXPECT_EQ(full->lon(), 151.25);
    EXPECT_EQ(full->elev(), 1200.0);
    ASSERT_TRUE(full->time());
    EXPECT_EQ(full->time()->RFC3339String(), "2008-01-02T03:04:05Z");
    auto out = xmlOf(*full);
    EXPECT_TRUE(contains(out, "extra=\"kept\"")) << out;
    EXPECT_TRUE(contains(out, "label=\"Summit\" lat=\"-33.5\" lon=\"151.25\" elev=\"1200\" time=\"2008-01-02T03:04:05Z\""))
        << out;
    EXPECT_TRUE(full->unknownChildren().empty());
    ASSERT_EQ(full->unknownAttributes().size(), 1u);  // the fields are not also kept as unknowns
    auto again = roundTrip(full);

    // Each field takes part in equality; a copy is its own.
    auto copy = std::dynamic_pointer_cast<GDataGeoPt>(full->copy());
    copy->setElev(1200.5);
    EXPECT_FALSE(copy->isEqual(*full));
    copy->setElev(1200.0);
    EXPECT_TRUE(copy->isEqual(*full));
    copy->setTime(GDataDateTime::dateTimeWithRFC3339String("2008-01-02T03:04:06Z"));
    EXPECT_FALSE(copy->isEqual(*full));
    EXPECT_EQ(full->time()->RFC3339String(), "2008-01-02T03:04:05Z");
    copy->setTime(std::nullopt);
    copy->setLabel(std::nullopt);
    EXPECT_FALSE(copy->isEqual(*full));
    EXPECT_TRUE(contains(full->description(), "label:Summit"));
}
