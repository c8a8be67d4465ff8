// Entries and feeds: kinds choosing classes, links by rel, entries and their parent, batch feeds,
// upload bodies, copies.

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "fetcher/QNMIMEDocument.h"
#include "gdata/GDataAtomElements.h"
#include "gdata/GDataBatchElements.h"
#include "gdata/GDataCategory.h"
#include "gdata/GDataEntryBase.h"
#include "gdata/GDataFeedBase.h"
#include "gdata/GDataLink.h"
#include "gdata/GDataNamespaces.h"
#include "platform/foundation/Log.h"
#include "platform/net/InputStream.h"

using namespace quorvane;

namespace {

constexpr const char* kWidgetKind = "http://example.com/kinds#widget";
constexpr const char* kGadgetKind = "http://example.com/kinds#gadget";

class TestWidgetEntry : public GDataEntryBase {
    QV_GDATA_CLASS(TestWidgetEntry)
public:
    std::optional<std::string> standardEntryKind() const override { return std::string(kWidgetKind); }
};
QV_GDATA_DEFINE_CLASS(TestWidgetEntry, GDataEntryBase, nullptr, nullptr, nullptr)

class TestGadgetEntry : public GDataEntryBase {
    QV_GDATA_CLASS(TestGadgetEntry)
public:
    std::optional<std::string> standardKindAttributeValue() const override { return std::string("test#gadget"); }
};
QV_GDATA_DEFINE_CLASS(TestGadgetEntry, GDataEntryBase, nullptr, nullptr, nullptr)

// A typed feed whose unregistered entries become widgets.
class TestWidgetFeed : public GDataFeedBase {
    QV_GDATA_CLASS(TestWidgetFeed)
public:
    const GDataClassInfo& defaultClassForEntries() const override { return TestWidgetEntry::staticClassInfo(); }
};
QV_GDATA_DEFINE_CLASS(TestWidgetFeed, GDataFeedBase, nullptr, nullptr, nullptr)

void registerTestKinds() {
    static std::once_flag once;
    std::call_once(once, [] {
        GDataEntryBase::registerEntryClass(TestWidgetEntry::staticClassInfo());
        GDataEntryBase::registerEntryClass(TestGadgetEntry::staticClassInfo());
    });
}

platform::Bytes bytes(const std::string& s) { return platform::Bytes(s.begin(), s.end()); }

const std::string kFeed = R"(<?xml version="1.0" encoding="UTF-8"?>
<feed xmlns="http://www.w3.org/2005/Atom" xmlns:gd="http://schemas.google.com/g/2005"
      xmlns:openSearch="http://a9.com/-/spec/opensearch/1.1/" gd:etag="W/&quot;feed&quot;">
  <id>http://example.com/feed</id>
  <updated>2008-12-10T10:04:15.446Z</updated>
  <title type="text">Things</title>
  <link rel="http://schemas.google.com/g/2005#post" type="application/atom+xml" href="http://example.com/feed"/>
  <link rel="http://schemas.google.com/g/2005#batch" type="application/atom+xml" href="http://example.com/feed/batch"/>
  <link rel="next" type="application/atom+xml" href="http://example.com/feed?start-index=3"/>
  <generator version="1.0" uri="http://example.com">Example</generator>
  <openSearch:totalResults>7</openSearch:totalResults>
  <openSearch:startIndex>1</openSearch:startIndex>
  <openSearch:itemsPerPage>2</openSearch:itemsPerPage>
  <entry gd:etag="&quot;a&quot;">
    <id>urn:1</id>
    <category scheme="http://schemas.google.com/g/2005#kind" term="http://example.com/kinds#widget"/>
    <title>One</title>
    <link rel="edit" href="http://example.com/1"/>
    <link href="http://example.com/html/1" type="text/html"/>
    <x:extra xmlns:x="urn:x">kept</x:extra>
  </entry>
  <entry gd:kind="test#gadget">
    <id>urn:2</id>
    <title>Two</title>
  </entry>
  <entry>
    <id>urn:3</id>
    <category scheme="urn:other" term="unknown"/>
  </entry>
</feed>)";

}  // namespace

TEST(GDataFeedBase, EntriesOfTwoRegisteredKindsParseIntoBothClasses) {
    registerTestKinds();
    auto feed = GDataFeedBase::feedWithXMLData(GDataFeedBase::staticClassInfo(), bytes(kFeed)).valueOr(nullptr);
    ASSERT_TRUE(feed);
    ASSERT_EQ(feed->entryCount(), 3u);
    EXPECT_TRUE(std::dynamic_pointer_cast<TestWidgetEntry>(feed->entryAtIndex(0)));
    EXPECT_TRUE(std::dynamic_pointer_cast<TestGadgetEntry>(feed->entryAtIndex(1)));
    // An unregistered kind in a base feed is a plain entry; in a typed feed, the feed's default.
    EXPECT_EQ(&feed->entryAtIndex(2)->classInfo(), &GDataEntryBase::staticClassInfo());
    auto typed = GDataFeedBase::feedWithXMLData(TestWidgetFeed::staticClassInfo(), bytes(kFeed)).valueOr(nullptr);
    ASSERT_TRUE(typed);
    EXPECT_TRUE(std::dynamic_pointer_cast<TestWidgetEntry>(typed->entryAtIndex(2)));

    EXPECT_EQ(feed->identifier(), "http://example.com/feed");
    EXPECT_EQ(feed->ETag(), "W/\"feed\"");
    EXPECT_EQ(feed->title()->stringValue(), "Things");
    EXPECT_EQ(feed->totalResults(), 7);
    EXPECT_EQ(feed->startIndex(), 1);
    EXPECT_EQ(feed->itemsPerPage(), 2);
    ASSERT_TRUE(feed->nextLink());
    EXPECT_EQ(feed->nextLink()->href(), "http://example.com/feed?start-index=3");
    ASSERT_TRUE(feed->batchLink());
    EXPECT_TRUE(feed->canPost());
    ASSERT_TRUE(feed->generator());
    EXPECT_EQ(feed->entryForIdentifier("urn:2"), feed->entryAtIndex(1));
    EXPECT_EQ(feed->entriesWithCategoryKind(kWidgetKind).size(), 1u);
    EXPECT_FALSE(feed->entryAtIndex(3));
    EXPECT_TRUE(feed->unknownChildren().empty()) << "entries and generator are consumed";

    auto first = feed->entryAtIndex(0);
    EXPECT_EQ(first->parent(), feed);
    EXPECT_EQ(first->ETag(), "\"a\"");
    ASSERT_TRUE(first->editLink());
    EXPECT_TRUE(first->canEdit());
    // A link without rel is the alternate link, found by rel alone and by rel and type.
    ASSERT_TRUE(first->alternateLink());
    ASSERT_TRUE(first->HTMLLink());
    EXPECT_EQ(first->HTMLLink()->href(), "http://example.com/html/1");
    ASSERT_TRUE(first->kindCategory());
    EXPECT_EQ(first->unknownChildren().size(), 1u);
}

TEST(GDataFeedBase, GenerateParseRoundTripKeepsEverythingAndIsStable) {
    registerTestKinds();
    auto feed = GDataFeedBase::feedWithXMLData(GDataFeedBase::staticClassInfo(), bytes(kFeed)).valueOr(nullptr);
    ASSERT_TRUE(feed);
    auto doc = feed->XMLDocument();
    ASSERT_TRUE(doc);
    auto data = doc->XMLData();
    ASSERT_TRUE(data);
    auto again = GDataFeedBase::feedWithXMLData(GDataFeedBase::staticClassInfo(), *data).valueOr(nullptr);
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->isEqual(*feed));
    EXPECT_EQ(again->entryCount(), 3u);
    std::string text(data->begin(), data->end());
    EXPECT_NE(text.find("<x:extra xmlns:x=\"urn:x\">kept</x:extra>"), std::string::npos) << text;
    EXPECT_NE(text.find("<generator"), std::string::npos);
    auto second = again->XMLDocument()->XMLData();
    EXPECT_EQ(*second, *data);
}

TEST(GDataFeedBase, GDataAttributesAreToldByTheirNamespaceURI) {
    // The feed binds "gd" to another URI: its gd:etag is not the modelled ETag and is written
    // back as it came; the entry's ETag uses another prefix for the real URI.
    auto feed = GDataFeedBase::feedWithXMLData(
        GDataFeedBase::staticClassInfo(),
        bytes("<feed xmlns='http://www.w3.org/2005/Atom' xmlns:gd='urn:not-gdata' gd:etag='other'>"
              "<entry xmlns:g='http://schemas.google.com/g/2005' g:etag='E1'><id>e</id></entry></feed>")).valueOr(nullptr);
    ASSERT_TRUE(feed);
    EXPECT_FALSE(feed->ETag());
    ASSERT_EQ(feed->entryCount(), 1u);
    EXPECT_EQ(feed->firstEntry()->ETag(), "E1");
    auto data = feed->XMLDocument()->XMLData();
    ASSERT_TRUE(data);
    std::string text(data->begin(), data->end());
    EXPECT_NE(text.find("gd:etag=\"other\""), std::string::npos) << text;
    auto again = GDataFeedBase::feedWithXMLData(GDataFeedBase::staticClassInfo(), *data).valueOr(nullptr);
    ASSERT_TRUE(again);
    EXPECT_FALSE(again->ETag());
    EXPECT_EQ(again->firstEntry()->ETag(), "E1");
}

TEST(GDataFeedBase, EmptyAndMalformedFeeds) {
    auto empty = GDataFeedBase::feedWithXMLData(
        GDataFeedBase::staticClassInfo(), bytes("<feed xmlns='http://www.w3.org/2005/Atom'><id>x</id></feed>")).valueOr(nullptr);
    ASSERT_TRUE(empty);
    EXPECT_FALSE(empty->entries().has_value());
    EXPECT_FALSE(empty->firstEntry());

    auto bad = GDataFeedBase::feedWithXMLData(GDataFeedBase::staticClassInfo(),
                                              bytes("<feed xmlns='http://www.w3.org/2005/Atom'><entry>"));
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().domain, kGDataXMLErrorDomain);
    EXPECT_EQ(bad.error().code, -1);
}

TEST(GDataFeedBase, EntriesKeepTheirFeedAsAWeakParent) {
    auto feed = GDataFeedBase::feed(GDataFeedBase::staticClassInfo());
    auto entry = GDataEntryBase::entry(GDataEntryBase::staticClassInfo());
    entry->setIdentifier(std::string("urn:e"));
    feed->addEntry(entry);
    EXPECT_EQ(entry->parent(), feed);
    ASSERT_EQ(feed->entryCount(), 1u);

    // Adding an entry of another feed is a reported contract failure; the copying form is for that.
    auto other = GDataFeedBase::feed(GDataFeedBase::staticClassInfo());
    auto before = platform::AssertionHandler::count();
    other->addEntry(entry);
    EXPECT_EQ(platform::AssertionHandler::count(), before + 1);
    other->addEntryWithEntry(feed->firstEntry());
    EXPECT_EQ(other->entryAtIndex(1)->parent(), other);
    EXPECT_TRUE(other->entryAtIndex(1)->isEqual(*entry));

    // An entry that outlives its feed sees no parent rather than a freed one.
    auto survivor = feed->firstEntry();
    feed.reset();
    other.reset();
    EXPECT_FALSE(survivor->parent());
    EXPECT_EQ(survivor->identifier(), "urn:e");

    // A feed parsed as a child of something else is still a root.
    auto element = GDataXMLElement::initWithXMLString("<feed xmlns='http://www.w3.org/2005/Atom'/>").valueOr(nullptr);
    auto host = GDataObject::object();
    auto nested = GDataObject::objectWithXMLElement(GDataFeedBase::staticClassInfo(), element, host);
    ASSERT_TRUE(nested);
    EXPECT_FALSE(nested->parent());
}

// While a large page is read, its entries are shown a part at a time (without a parent, beside the
// feed's bindings) and what the handler leaves takes their place, in order; the last part stays.
TEST(GDataFeedBase, EntriesAreShownAPartAtATimeWhileReadAndWhatIsLeftTakesTheirPlace) {
    std::string xml = "<feed xmlns='http://www.w3.org/2005/Atom' xmlns:gd='http://schemas.google.com/g/2005'>";
    for (int i = 0; i < 7; ++i)
        xml += "<entry gd:etag='\"e" + std::to_string(i) + "\"'><id>urn:e" + std::to_string(i) + "</id></entry>";
    xml += "<title>Seven</title></feed>";
    std::vector<size_t> shown;
    std::vector<std::string> boundPrefixes;
    GDataFeedBase::TakenEntriesScope scope(
        [&](const GDataFeedBase& feed, std::vector<std::shared_ptr<GDataEntryBase>>& entries) {
            shown.push_back(entries.size());
            for (const auto& [prefix, uri] : feed.namespaces()) boundPrefixes.push_back(prefix);
            for (auto& e : entries) {
                EXPECT_FALSE(e->parent());
                auto standIn = GDataEntryBase::entry(GDataEntryBase::staticClassInfo());
                standIn->setIdentifier("stand-in " + e->identifier().value_or(""));
                e = standIn;
            }
            entries.pop_back();  // a handler may leave fewer
        },
        3);
    auto parsed = GDataObject::objectWithXMLData(bytes(xml), &GDataFeedBase::staticClassInfo(), std::nullopt, nullptr, false);
    ASSERT_TRUE(parsed && *parsed);
    auto feed = std::dynamic_pointer_cast<GDataFeedBase>(*parsed);
    EXPECT_EQ(shown, (std::vector<size_t>{3, 3}));
    EXPECT_NE(std::find(boundPrefixes.begin(), boundPrefixes.end(), "gd"), boundPrefixes.end());
    std::vector<std::string> ids;
    for (const auto& e : *feed->entries()) {
        ids.push_back(e->identifier().value_or(""));
        EXPECT_EQ(e->parent(), feed);
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"stand-in urn:e0", "stand-in urn:e1", "stand-in urn:e3", "stand-in urn:e4", "urn:e6"}));
    EXPECT_EQ(feed->title()->stringValue(), "Seven");
}

// Finding entries by identifier goes through an index: it answers what a walk of the entries
// answers, also after the entry list or an entry's identifier changed.
TEST(GDataFeedBase, EntriesByIdentifierAnswerAsAWalkOfTheEntries) {
    auto feed = GDataFeedBase::feed(GDataFeedBase::staticClassInfo());
    auto walk = [&feed](const std::string& id) {
        std::vector<std::shared_ptr<GDataEntryBase>> found;
        for (size_t i = 0; i < feed->entryCount(); ++i)
            if (feed->entryAtIndex(i)->identifier() == id) found.push_back(feed->entryAtIndex(i));
        return found;
    };
    auto expectAsWalk = [&](const char* when) {
        for (const char* id : {"urn:0", "urn:1", "urn:2", "urn:3", "urn:new", "", "urn:none"}) {
            auto expected = walk(id);
            EXPECT_EQ(feed->entriesForIdentifier(id), expected) << when << " " << id;
            EXPECT_EQ(feed->entryForIdentifier(id), expected.empty() ? nullptr : expected.front()) << when << " " << id;
        }
    };
    EXPECT_FALSE(feed->entryForIdentifier("urn:0"));
    // Repeated identifiers, and entries with none or an empty one.
    for (int i = 0; i < 9; ++i) {
        auto entry = GDataEntryBase::entry(GDataEntryBase::staticClassInfo());
        if (i % 4 == 3) entry->setIdentifier(i == 3 ? std::optional<std::string>() : std::string());
        else entry->setIdentifier("urn:" + std::to_string(i % 3));
        feed->addEntry(entry);
    }
    expectAsWalk("built");
    feed->entryAtIndex(0)->setIdentifier(std::string("urn:new"));
    feed->entryAtIndex(5)->setIdentifier(std::string("urn:0"));
    expectAsWalk("identifiers changed");
    auto late = GDataEntryBase::entry(GDataEntryBase::staticClassInfo());
    late->setIdentifier(std::string("urn:3"));
    feed->addEntry(late);
    expectAsWalk("entry added");
    auto answer = GDataEntryBase::entry(GDataEntryBase::staticClassInfo());
    answer->setIdentifier(std::string("urn:1"));
    const auto first = walk("urn:1").front();
    EXPECT_TRUE(feed->replaceEntryWithSameIdentifier(answer));
    EXPECT_EQ(std::count(feed->entries()->begin(), feed->entries()->end(), first), 0);
    expectAsWalk("entry replaced");
    answer = GDataEntryBase::entry(GDataEntryBase::staticClassInfo());
    answer->setIdentifier(std::string("urn:none"));
    EXPECT_FALSE(feed->replaceEntryWithSameIdentifier(answer));
    auto entries = *feed->entries();
    std::reverse(entries.begin(), entries.end());
    feed->setEntries(entries);
    expectAsWalk("entries reordered");
    feed->setEntriesWithEntries(std::nullopt);
    expectAsWalk("entries removed");
}

TEST(GDataFeedBase, BatchFeedOfAHundredEntriesRoundTrips) {
    auto feed = GDataFeedBase::feed(GDataFeedBase::staticClassInfo());
    feed->setNamespaces(GDataEntryBase::baseGDataNamespaces());
    feed->addNamespaces(GDataEntryBase::batchNamespaces());
    for (int i = 0; i < 100; ++i) {
        // Entries of a batch feed take the feed's namespace declarations.
        auto e = GDataEntryBase::object();
        e->setIdentifier("urn:entry:" + std::to_string(i));
        e->setTitleWithString("Entry " + std::to_string(i));
        e->setBatchIDWithString("b" + std::to_string(i));
        e->setBatchOperation(GDataBatchOperation::batchOperationWithType(i % 3 == 0 ? "insert" : "update"));
        feed->addEntry(e);
    }
    auto data = feed->XMLDocument()->XMLData();
    ASSERT_TRUE(data);
    auto parsed = GDataFeedBase::feedWithXMLData(GDataFeedBase::staticClassInfo(), *data).valueOr(nullptr);
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->entryCount(), 100u);
    EXPECT_TRUE(parsed->isEqual(*feed));
    EXPECT_TRUE(feed->isEqual(*parsed));
    EXPECT_EQ(parsed->entryAtIndex(43)->batchID()->stringValue(), "b43");
    EXPECT_EQ(parsed->entryAtIndex(43)->batchOperation()->type(), "update");
    EXPECT_EQ(parsed->entryAtIndex(99)->batchOperation()->type(), "insert");

    auto copy = std::dynamic_pointer_cast<GDataFeedBase>(parsed->copy());
    ASSERT_TRUE(copy);
    EXPECT_TRUE(copy->isEqual(*parsed));
    EXPECT_EQ(copy->entryAtIndex(0)->parent(), copy);
}

TEST(GDataEntryBase, KindAccessorsAndDefaults) {
    registerTestKinds();
    auto widget = GDataEntryBase::entry<TestWidgetEntry>();
    ASSERT_TRUE(widget->kindCategory());
    EXPECT_EQ(widget->kindCategory()->term(), kWidgetKind);
    auto gadget = GDataEntryBase::entry<TestGadgetEntry>();
    EXPECT_EQ(gadget->kind(), "test#gadget");
    EXPECT_EQ(GDataEntryBase::entryClassForKindAttributeValue("test#gadget"), &TestGadgetEntry::staticClassInfo());

    auto e = GDataEntryBase::entry(GDataEntryBase::staticClassInfo());
    e->setIsDeleted(false);
    EXPECT_FALSE(e->hasExtensions());  // nothing was stored
    e->setIsDeleted(true);
    EXPECT_TRUE(e->isDeleted());
    e->setIsDeleted(false);
    EXPECT_FALSE(e->isDeleted());
    e->setTitleWithString(std::nullopt);  // the string forms always store an element
    ASSERT_TRUE(e->title());
    EXPECT_FALSE(e->title()->stringValue());
    e->setIdentifier(std::nullopt);
    EXPECT_FALSE(e->identifier());
}

TEST(GDataEntryBase, UploadBodies) {
    auto e = GDataEntryBase::entry(GDataEntryBase::staticClassInfo());
    e->setTitleWithString(std::string("photo"));
    std::shared_ptr<platform::InputStream> stream;
    uint64_t length = 0;
    GDataHeaderList headers;

    e->setUploadData(platform::Bytes{1, 2, 3});
    e->setUploadMIMEType(std::string(""));
    EXPECT_FALSE(e->generateContentInputStream(stream, length, headers));
    e->setUploadData(std::nullopt);
    e->setUploadMIMEType(std::string("image/jpeg"));
    e->setShouldUploadDataOnly(true);
    EXPECT_FALSE(e->generateContentInputStream(stream, length, headers));

    e->setUploadSlug(std::string("été 100%.jpg"));
    EXPECT_EQ(e->uploadSlug(), "%C3%A9t%C3%A9 100%25.jpg");

    // Media alone.
    e->setUploadData(platform::Bytes{1, 2, 3});
    ASSERT_TRUE(e->generateContentInputStream(stream, length, headers));
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(headers, (GDataHeaderList{{"Content-Type", "image/jpeg"}, {"MIME-Version", "1.0"},
                                        {"Slug", "%C3%A9t%C3%A9 100%25.jpg"}}));

    // Entry and media as multipart/related; the body parses back into the two parts.
    e->setShouldUploadDataOnly(false);
    ASSERT_TRUE(e->generateContentInputStream(stream, length, headers));
    ASSERT_EQ(headers.size(), 3u);
    const std::string prefix = "multipart/related; boundary=\"";
    ASSERT_EQ(headers[0].second.rfind(prefix, 0), 0u);
    std::string boundary = headers[0].second.substr(prefix.size());
    boundary.pop_back();
    platform::Bytes body(length);
    stream->open();
    size_t got = 0;
    while (got < length) {
        auto n = stream->read(body.data() + got, length - got);
        ASSERT_GT(n, 0);
        got += size_t(n);
    }
    auto parts = QNMIMEDocument::MIMEPartsWithBoundary(boundary, platform::DispatchData(body));
    ASSERT_TRUE(parts);
    ASSERT_EQ(parts->size(), 2u);
    EXPECT_EQ((*parts)[0]->headers()->at("Content-Type"), "application/atom+xml; charset=UTF-8");
    EXPECT_EQ((*parts)[1]->headers()->at("Content-Transfer-Encoding"), "binary");
    EXPECT_EQ((*parts)[1]->body()->size(), 3u);

    // Copies carry the upload fields and compare equal.
    auto copy = std::dynamic_pointer_cast<GDataEntryBase>(e->copy());
    EXPECT_TRUE(copy->isEqual(*e));
    EXPECT_EQ(copy->uploadSlug(), e->uploadSlug());
    copy->setUploadData(platform::Bytes{9});
    EXPECT_FALSE(copy->isEqual(*e));
}
