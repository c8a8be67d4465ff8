// Access-control lists: rule entries with scope, role, keyed role and additional roles, their
// feed, and the kind registration that makes access-rule feeds parse into these classes.

#include <gtest/gtest.h>

#include "gdata/GDataACLKeyedRole.h"
#include "gdata/GDataACLRole.h"
#include "gdata/GDataACLScope.h"
#include "gdata/GDataCategory.h"
#include "gdata/GDataEntryACL.h"
#include "gdata/GDataFeedACL.h"
#include "gdata/GDataLink.h"
#include "gdata/GDataNamespaces.h"
#include "platform/foundation/Log.h"
#include "tests/gdata/GDataElementTestSupport.h"

using namespace quorvane;

namespace {

constexpr const char* kAccessRule = "http://schemas.google.com/acl/2007#accessRule";

platform::Bytes bytes(const std::string& s) { return platform::Bytes(s.begin(), s.end()); }

const std::string kACLFeed = R"(<?xml version="1.0" encoding="UTF-8"?>
<feed xmlns="http://www.w3.org/2005/Atom" xmlns:gd="http://schemas.google.com/g/2005"
      xmlns:gAcl="http://schemas.google.com/acl/2007" xmlns:openSearch="http://a9.com/-/spec/opensearch/1.1/"
      gd:etag="W/&quot;acl&quot;">
  <id>http://example.com/feeds/doc1/acl</id>
  <updated>2009-06-01T12:00:00.000Z</updated>
  <category scheme="http://schemas.google.com/g/2005#kind" term="http://schemas.google.com/acl/2007#accessRule"/>
  <title>Permissions</title>
  <link rel="http://schemas.google.com/g/2005#post" type="application/atom+xml" href="http://example.com/feeds/doc1/acl"/>
  <openSearch:totalResults>3</openSearch:totalResults>
  <entry gd:etag="&quot;r1&quot;">
    <id>http://example.com/feeds/doc1/acl/user%3Aowner%40example.com</id>
    <category scheme="http://schemas.google.com/g/2005#kind" term="http://schemas.google.com/acl/2007#accessRule"/>
    <title>Permission - owner@example.com</title>
    <link rel="edit" href="http://example.com/feeds/doc1/acl/user%3Aowner%40example.com"/>
    <link rel="http://schemas.google.com/acl/2007#controlledObject" href="http://example.com/feeds/doc1"/>
    <gAcl:role value="owner"/>
    <gAcl:scope type="user" value="owner@example.com" name="Owner Person"/>
  </entry>
  <entry>
    <id>http://example.com/feeds/doc1/acl/default</id>
    <category scheme="http://schemas.google.com/g/2005#kind" term="http://schemas.google.com/acl/2007#accessRule"/>
    <gAcl:withKey key="k3y"><gAcl:role value="reader"/><gAcl:additionalRole value="commenter"/></gAcl:withKey>
    <gAcl:scope type="default"/>
  </entry>
  <entry>
    <id>http://example.com/feeds/doc1/acl/domain%3Aexample.com</id>
    <gAcl:role value="writer"/>
    <gAcl:additionalRole value="commenter"/>
    <gAcl:additionalRole value="publisher"/>
    <gAcl:scope type="domain" value="example.com"/>
    <gAcl:expiry gAcl:when="2010-01-01"/>
  </entry>
</feed>)";

}  // namespace

TEST(GDataACL, AccessControlFeedParsesIntoItsClasses) {
    auto feed = GDataFeedACL::ACLFeedWithXMLData(bytes(kACLFeed));
    ASSERT_TRUE(feed);
    EXPECT_EQ(feed->ETag(), "W/\"acl\"");
    EXPECT_EQ(feed->totalResults(), 3);
    EXPECT_TRUE(feed->canPost());
    ASSERT_EQ(feed->entryCount(), 3u);
    // The third entry has no kind category: the feed's entries are access rules regardless.
    for (size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(std::dynamic_pointer_cast<GDataEntryACL>(feed->entryAtIndex(i))) << i;

    auto owner = std::dynamic_pointer_cast<GDataEntryACL>(feed->entryAtIndex(0));
    ASSERT_TRUE(owner->scope());
    EXPECT_EQ(owner->scope()->type(), "user");
    EXPECT_EQ(owner->scope()->value(), "owner@example.com");
    EXPECT_EQ(owner->scope()->name(), "Owner Person");
    ASSERT_TRUE(owner->role());
    EXPECT_EQ(owner->role()->value(), "owner");
    EXPECT_FALSE(owner->keyedRole());
    EXPECT_TRUE(owner->additionalRoles().empty());
    ASSERT_TRUE(owner->controlledObjectLink());
    EXPECT_EQ(owner->controlledObjectLink()->href(), "http://example.com/feeds/doc1");
    EXPECT_TRUE(owner->canEdit());
    EXPECT_TRUE(owner->unknownChildren().empty());
    EXPECT_NE(owner->description().find("role:GDataACLRole"), std::string::npos) << owner->description();

    auto byKey = std::dynamic_pointer_cast<GDataEntryACL>(feed->entryAtIndex(1));
    EXPECT_FALSE(byKey->role());
    ASSERT_TRUE(byKey->keyedRole());
    EXPECT_EQ(byKey->keyedRole()->key(), "k3y");
    ASSERT_TRUE(byKey->keyedRole()->role());
    EXPECT_EQ(byKey->keyedRole()->role()->value(), "reader");
    ASSERT_EQ(byKey->keyedRole()->additionalRoles().size(), 1u);
    EXPECT_EQ(byKey->keyedRole()->additionalRoles()[0]->value(), "commenter");
    EXPECT_NE(byKey->keyedRole()->description().find("role:"), std::string::npos);
    // A "default" scope carries no value: absent, not empty.
    EXPECT_EQ(byKey->scope()->type(), "default");
    EXPECT_FALSE(byKey->scope()->value().has_value());
    EXPECT_FALSE(byKey->controlledObjectLink());

    auto domain = std::dynamic_pointer_cast<GDataEntryACL>(feed->entryAtIndex(2));
    auto extra = domain->additionalRoles();
    ASSERT_EQ(extra.size(), 2u);
    EXPECT_EQ(extra[0]->value(), "commenter");
    EXPECT_EQ(extra[1]->value(), "publisher");
    EXPECT_EQ(domain->unknownChildren().size(), 1u) << "undeclared gAcl elements are kept";
}

TEST(GDataACL, KindRegistrationChoosesTheClassesOutsideTheTypedFeed) {
    registerACLClasses();
    EXPECT_EQ(GDataEntryBase::entryClassForCategoryWithScheme(std::string(kGDataCategoryScheme), std::string(kAccessRule)),
              &GDataEntryACL::staticClassInfo());
    EXPECT_EQ(GDataFeedBase::feedClassForCategoryWithScheme(std::string(kGDataCategoryScheme), std::string(kAccessRule)),
              &GDataFeedACL::staticClassInfo());

    // The root element's kind names the feed class; inside a plain feed each entry's kind
    // category names its class, and an entry without one stays a plain entry.
    auto parsed = GDataXMLDocument::initWithData(bytes(kACLFeed));
    ASSERT_TRUE(parsed);
    auto doc = parsed.valueOr(nullptr);
    EXPECT_EQ(GDataObject::objectClassForXMLElement(nullptr, doc->rootElement()), &GDataFeedACL::staticClassInfo());
    auto plain = GDataFeedBase::feedWithXMLData(GDataFeedBase::staticClassInfo(), bytes(kACLFeed)).valueOr(nullptr);
    ASSERT_TRUE(plain);
    ASSERT_EQ(plain->entryCount(), 3u);
    auto first = std::dynamic_pointer_cast<GDataEntryACL>(plain->entryAtIndex(0));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->role()->value(), "owner");
    EXPECT_TRUE(std::dynamic_pointer_cast<GDataEntryACL>(plain->entryAtIndex(1)));
    EXPECT_EQ(&plain->entryAtIndex(2)->classInfo(), &GDataEntryBase::staticClassInfo());

    // Registration happens once however often the factories run.
    auto before = platform::AssertionHandler::count();
    registerACLClasses();
    GDataFeedACL::ACLFeed();
    GDataEntryACL::ACLEntryWithScope(nullptr, nullptr);
    GDataFeedACL::ACLFeedWithXMLData(bytes(kACLFeed));
    EXPECT_EQ(platform::AssertionHandler::count(), before);

    // Another class claiming the access-rule kind is a reported conflict.
    GDataEntryBase::registerEntryClass(GDataEntryBase::staticClassInfo(), std::string(kGDataCategoryScheme),
                                       std::string(kAccessRule));
    EXPECT_EQ(platform::AssertionHandler::count(), before + 1);
    // Put the access-rule class back for the other tests.
    GDataEntryBase::registerEntryClass(GDataEntryACL::staticClassInfo());
    EXPECT_EQ(GDataEntryBase::entryClassForCategoryWithScheme(std::string(kGDataCategoryScheme), std::string(kAccessRule)),
              &GDataEntryACL::staticClassInfo());
}

TEST(GDataACL, ParsedFeedGeneratesTheSameFeedAgain) {
    auto feed = GDataFeedACL::ACLFeedWithXMLData(bytes(kACLFeed));
    ASSERT_TRUE(feed);
    auto data = feed->XMLDocument()->XMLData();
    ASSERT_TRUE(data);
    std::string text(data->begin(), data->end());
    EXPECT_NE(text.find("<gAcl:withKey key=\"k3y\"><gAcl:role value=\"reader\"/><gAcl:additionalRole value=\"commenter\"/>"
                        "</gAcl:withKey>"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("<gAcl:expiry gAcl:when=\"2010-01-01\"/>"), std::string::npos) << text;
    auto again = GDataFeedACL::ACLFeedWithXMLData(*data);
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->isEqual(*feed));
    EXPECT_TRUE(feed->isEqual(*again));
    EXPECT_EQ(*again->XMLDocument()->XMLData(), *data);

    auto copy = std::dynamic_pointer_cast<GDataFeedACL>(feed->copy());
    ASSERT_TRUE(copy);
    EXPECT_TRUE(copy->isEqual(*feed));
    EXPECT_TRUE(std::dynamic_pointer_cast<GDataEntryACL>(copy->entryAtIndex(1)));

    // A changed role makes the rules differ.
    auto changed = std::dynamic_pointer_cast<GDataEntryACL>(again->entryAtIndex(0));
    changed->role()->setValue(std::string("reader"));
    EXPECT_FALSE(again->isEqual(*feed));
}

TEST(GDataACL, RulesBuiltInCodeStandAloneAndReadBack) {
    auto rule = GDataEntryACL::ACLEntryWithScope(GDataACLScope::scopeWithType(std::string("group"), std::string("")),
                                                 GDataACLRoleBase::roleWithValue<GDataACLRole>(std::string("writer")));
    ASSERT_TRUE(rule);
    ASSERT_TRUE(rule->kindCategory());
    EXPECT_EQ(rule->kindCategory()->term(), kAccessRule);
    rule->addAdditionalRole(GDataACLRoleBase::roleWithValue<GDataACLAdditionalRole>(std::string("commenter")));
    rule->setKeyedRole(GDataACLKeyedRole::keyedRoleWithKey(std::string("abc"), std::string("reader")));
    rule->keyedRole()->addAdditionalRole(GDataACLRoleBase::roleWithValue<GDataACLAdditionalRole>(std::string("x")));

    auto feed = GDataFeedACL::ACLFeed();
    ASSERT_EQ(feed->categories().size(), 1u);
    EXPECT_EQ(feed->categories()[0]->term(), kAccessRule);
    feed->addEntry(rule);
    auto data = feed->XMLDocument()->XMLData();
    ASSERT_TRUE(data);
    std::string text(data->begin(), data->end());
    EXPECT_NE(text.find("xmlns:gAcl=\"http://schemas.google.com/acl/2007\""), std::string::npos) << text;

    auto parsed = GDataFeedACL::ACLFeedWithXMLData(*data);
    ASSERT_TRUE(parsed);
    auto back = std::dynamic_pointer_cast<GDataEntryACL>(parsed->firstEntry());
    ASSERT_TRUE(back);
    // On its own the rule declares its namespaces and reads back equal (written in declaration
    // order from then on).
    auto alone = elementtest::parse<GDataEntryACL>(elementtest::xmlOf(*rule));
    ASSERT_TRUE(alone);
    EXPECT_TRUE(alone->isEqual(*rule));
    EXPECT_TRUE(rule->isEqual(*alone));
    EXPECT_TRUE(elementtest::roundTrip(alone));
    // An empty scope value stays empty, distinct from a missing one.
    EXPECT_EQ(back->scope()->value(), "");
    EXPECT_FALSE(back->scope()->name().has_value());
    EXPECT_EQ(back->role()->value(), "writer");
    EXPECT_EQ(back->keyedRole()->key(), "abc");
    EXPECT_EQ(back->keyedRole()->role()->value(), "reader");
    ASSERT_EQ(back->keyedRole()->additionalRoles().size(), 1u);
    ASSERT_EQ(back->additionalRoles().size(), 1u);
    EXPECT_EQ(back->additionalRoles()[0]->value(), "commenter");

    // Setting nil removes each element; the values of what stays are untouched.
    back->setKeyedRole(nullptr);
    back->setAdditionalRoles(std::nullopt);
    back->scope()->setValue(std::nullopt);
    back->role()->setValue(std::nullopt);
    EXPECT_FALSE(back->keyedRole());
    EXPECT_TRUE(back->additionalRoles().empty());
    auto xml = elementtest::xmlOf(*back);
    EXPECT_EQ(xml.find("withKey"), std::string::npos) << xml;
    EXPECT_EQ(xml.find("additionalRole"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<gAcl:scope type=\"group\"/>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<gAcl:role/>"), std::string::npos) << xml;
    back->setScope(nullptr);
    back->setRole(nullptr);
    EXPECT_FALSE(back->scope());
    EXPECT_FALSE(back->role());
}
