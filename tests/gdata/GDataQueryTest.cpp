// Feed request URLs built by queries: parameters, their removal values and order, date-times,
// category filters, feed URLs that already carry a query, and the contacts queries.

#include <gtest/gtest.h>

#include "gdata/service/GDataQuery.h"
#include "gdata/service/GDataQueryContact.h"

using namespace quorvane;

namespace {

platform::URL url(std::string_view text) {
    auto u = platform::URL::URLWithString(text);
    EXPECT_TRUE(u) << text;
    return u ? *u : *platform::URL::URLWithString("http://invalid.example/");
}

std::string urlText(const GDataQuery& query) {
    auto u = query.URL();
    EXPECT_TRUE(u) << "not a valid URL";
    return u ? u->absoluteString() : "";
}

}  // namespace

TEST(GDataQueryTest, IncrementalContactsFetchURL) {
    auto query = GDataQueryContact::contactQueryForUserID("default");
    query->setMaxResults(10000);
    query->setShouldShowDeleted(true);
    query->setUpdatedMinDateTime(GDataDateTime("2024-03-01T10:20:30+01:00"));
    EXPECT_EQ(urlText(*query),
              "https://www.google.com/m8/feeds/contacts/default/full"
              "?max-results=10000&showdeleted=true&updated-min=2024-03-01T10%3A20%3A30%2B01%3A00");

    // The values read back as they were set.
    EXPECT_EQ(query->maxResults(), 10000);
    EXPECT_TRUE(query->shouldShowDeleted());
    ASSERT_TRUE(query->updatedMinDateTime());
    EXPECT_EQ(query->updatedMinDateTime()->RFC3339String(), "2024-03-01T10:20:30+01:00");
    EXPECT_EQ(query->updatedMinDateTime()->offsetSeconds(), 3600);

    // A full fetch of the groups feed.
    auto groups = GDataQueryContact::contactQueryWithFeedURL(
        url("https://www.google.com/m8/feeds/groups/default/full"));
    groups->setMaxResults(10000);
    EXPECT_EQ(urlText(*groups), "https://www.google.com/m8/feeds/groups/default/full?max-results=10000");
    groups->setGroupIdentifier(std::string("http://www.google.com/m8/feeds/groups/a%40b/base/6"));
    EXPECT_EQ(urlText(*groups),
              "https://www.google.com/m8/feeds/groups/default/full"
              "?group=http%3A%2F%2Fwww.google.com%2Fm8%2Ffeeds%2Fgroups%2Fa%2540b%2Fbase%2F6&max-results=10000");
    EXPECT_STREQ(groups->className(), "GDataQueryContact");
}

TEST(GDataQueryTest, RemovalValuesAndReaders) {
    GDataQuery query(url("http://example.com/feed"));
    EXPECT_EQ(query.startIndex(), -1);
    EXPECT_EQ(query.maxResults(), -1);
    EXPECT_FALSE(query.customParameters());
    EXPECT_EQ(query.queryParamString(), "");
    EXPECT_EQ(urlText(query), "http://example.com/feed");

    query.setStartIndex(26);
    query.setShouldShowDeleted(true);
    query.setShouldShowDeleted(false);  // removed, not "false"
    EXPECT_FALSE(query.valueForParameterWithName("showdeleted"));
    query.setStartIndex(-1);
    EXPECT_FALSE(query.valueForParameterWithName("start-index"));
    ASSERT_TRUE(query.customParameters());
    EXPECT_TRUE(query.customParameters()->empty());

    query.setIsAscendingOrder(false);  // never removed
    EXPECT_EQ(query.valueForParameterWithName("sortorder"), "descending");
    EXPECT_FALSE(query.isAscendingOrder());
    query.addCustomParameterWithName("sortorder", std::string("Ascending"));
    EXPECT_TRUE(query.isAscendingOrder());

    query.setShouldFormatErrorsAsXML(true);
    EXPECT_EQ(query.valueForParameterWithName("err"), "xml");
    query.addCustomParameterWithName("err", std::string("XML"));
    EXPECT_TRUE(query.shouldFormatErrorsAsXML());
    query.setShouldFormatErrorsAsXML(false);
    EXPECT_FALSE(query.valueForParameterWithName("err"));

    query.addCustomParameterWithName("strict", std::string("TRUE"));
    EXPECT_TRUE(query.isStrict());
    query.addCustomParameterWithName("strict", std::string("yes"));
    EXPECT_FALSE(query.isStrict());
    query.addCustomParameterWithNameBoolValue("flag", false, true);  // a non-default false is written
    EXPECT_EQ(query.valueForParameterWithName("flag"), "false");
    query.addCustomParameterWithName("max-results", std::string("25abc"));
    EXPECT_EQ(query.maxResults(), 25);

    query.setFullTextQueryString(std::string("a b+c"));
    EXPECT_EQ(query.fullTextQueryString(), "a b+c");
    query.setFullTextQueryString(std::nullopt);
    EXPECT_FALSE(query.fullTextQueryString());
    query.setPublishedMaxDateTime(std::nullopt);
    EXPECT_FALSE(query.publishedMaxDateTime());
    query.setPublishedMaxDateTime(GDataDateTime("2023-12-31T23:59:59Z"));
    EXPECT_EQ(query.valueForParameterWithName("published-max"), "2023-12-31T23:59:59Z");
}

TEST(GDataQueryTest, ParametersSortIgnoringCaseAndAreFormEncoded) {
    GDataQuery query(url("http://example.com/feed"));
    query.addCustomParameterWithName("Zeta", std::string("1"));
    query.addCustomParameterWithName("alpha", std::string("two words"));
    query.addCustomParameterWithName("Beta", std::string("a&b=c+d/é"));
    query.setFieldSelection(std::string("entry(title)"));
    EXPECT_EQ(query.queryParamString(),
              "alpha=two+words&Beta=a%26b%3Dc%2Bd%2F%C3%A9&fields=entry%28title%29&Zeta=1");
    EXPECT_EQ(urlText(query), "http://example.com/feed?" + query.queryParamString());
}

TEST(GDataQueryTest, ExistingQueryIsKeptFirst) {
    GDataQuery query(url("http://example.com/feed?alt=rss&x=1"));
    EXPECT_EQ(urlText(query), "http://example.com/feed?alt=rss&x=1");
    query.setMaxResults(5);
    EXPECT_EQ(urlText(query), "http://example.com/feed?alt=rss&x=1&max-results=5");
    query.addCategoryFilterWithScheme(std::nullopt, std::string("starred"));
    EXPECT_EQ(urlText(query), "http://example.com/feed/-/starred?alt=rss&x=1&max-results=5");

    GDataQuery emptyQuery(url("http://example.com/feed?"));
    emptyQuery.setMaxResults(5);
    EXPECT_EQ(urlText(emptyQuery), "http://example.com/feed?max-results=5");
}

TEST(GDataQueryTest, CategoryFilters) {
    auto filter = GDataCategoryFilter::categoryFilter();
    filter->addCategoryWithScheme(std::string("http://example.com/s"), std::string("A"));
    filter->addCategoryWithScheme(std::nullopt, std::string("B"));
    filter->addExcludeCategoryWithScheme(std::nullopt, std::string("C"));
    EXPECT_EQ(filter->stringValue(), "{http://example.com/s}A|B|-C");
    EXPECT_NE(filter->description().find(": {{http://example.com/s}A|B|-C}"), std::string::npos);

    auto onlyExcluded = GDataCategoryFilter::categoryFilter();
    onlyExcluded->addExcludeCategoryWithScheme(std::nullopt, std::string("D"));
    EXPECT_EQ(onlyExcluded->stringValue(), "-D");

    // A feed URL ending in "/" gets no doubled "/"; empty filters are skipped.
    GDataQuery query(url("http://example.com/feed/"));
    query.addCategoryFilter(filter);
    query.addCategoryFilter(GDataCategoryFilter::categoryFilter());
    query.addCategoryFilter(onlyExcluded);
    EXPECT_EQ(query.categoryFilterString(), "-/%7Bhttp%3A%2F%2Fexample.com%2Fs%7DA%7CB%7C-C/-D");
    EXPECT_EQ(urlText(query), "http://example.com/feed/-/%7Bhttp%3A%2F%2Fexample.com%2Fs%7DA%7CB%7C-C/-D");

    GDataQuery plain(url("http://example.com/feed"));
    plain.addCategoryFilterWithCategory(GDataCategory::categoryWithLabel("starred"));
    EXPECT_EQ(urlText(plain),
              "http://example.com/feed/-/"
              "%7Bhttp%3A%2F%2Fschemas.google.com%2Fg%2F2005%2Flabels%7D"
              "http%3A%2F%2Fschemas.google.com%2Fg%2F2005%2Flabels%23starred");

    // A filter copy holds copies of the categories.
    auto copy = filter->copy();
    EXPECT_EQ(copy->stringValue(), filter->stringValue());
    EXPECT_NE(copy->categories()->front(), filter->categories()->front());
    copy->categories()->front()->setTerm(std::string("Z"));
    EXPECT_EQ(filter->stringValue(), "{http://example.com/s}A|B|-C");
}

TEST(GDataQueryTest, SpacesInPathSegmentsKeepTheURLValid) {
    // A user id with a space.
    auto query = GDataQueryContact::contactQueryForUserID("john doe@example.com");
    ASSERT_TRUE(query->feedURL());
    EXPECT_EQ(query->feedURL()->absoluteString(), "https://www.google.com/m8/feeds/contacts/john%20doe%40example.com/full");

    // Category text with a space is a path segment too; parameter values keep the form encoding.
    query->addCategoryFilterWithScheme(std::nullopt, std::string("My Friends"));
    query->setFullTextQueryString(std::string("Ann Lee"));
    EXPECT_EQ(urlText(*query),
              "https://www.google.com/m8/feeds/contacts/john%20doe%40example.com/full/-/My%20Friends?q=Ann+Lee");
    EXPECT_EQ(query->URL()->path(), "/m8/feeds/contacts/john doe@example.com/full/-/My Friends");

    EXPECT_EQ(GDataQuery::stringByURLEncodingPathSegment("a b/c%"), "a%20b%2Fc%25");
}

TEST(GDataQueryTest, CopiesAndDescriptions) {
    auto query = GDataQueryContact::contactQueryWithFeedURL(url("http://example.com/feed"));
    auto filter = GDataCategoryFilter::categoryFilter();
    filter->addCategoryWithScheme(std::nullopt, std::string("x"));
    query->addCategoryFilter(filter);
    query->setMaxResults(3);

    auto copy = query->copy();
    ASSERT_TRUE(std::dynamic_pointer_cast<GDataQueryContact>(copy));
    EXPECT_EQ(copy->URL(), query->URL());
    EXPECT_EQ(copy->categoryFilters()->front(), filter);  // the same filter objects
    copy->setMaxResults(4);
    copy->addCategoryFilterWithScheme(std::nullopt, std::string("y"));
    EXPECT_EQ(query->maxResults(), 3);
    EXPECT_EQ(query->categoryFilters()->size(), 1u);

    auto desc = query->description();
    EXPECT_EQ(desc.rfind("GDataQueryContact 0x", 0), 0u) << desc;
    EXPECT_NE(desc.find(": {http://example.com/feed/-/x?max-results=3}"), std::string::npos) << desc;

    GDataQuery noFeed;
    EXPECT_FALSE(noFeed.URL());
    EXPECT_NE(noFeed.description().find("{(null)}"), std::string::npos);
}
