// The bytes the model writes for a set of documents, compared with the files kept in
// tests/data/gdata/generated. Any change to how XML is generated must leave them identical.
// QUORVANE_UPDATE_GENERATED=1 rewrites the files (only for an intended change of output).

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

#include "gdata/GDataContactConstants.h"
#include "gdata/GDataEmail.h"
#include "gdata/GDataEntryContact.h"
#include "gdata/GDataExtendedProperty.h"
#include "gdata/GDataFeedContact.h"
#include "gdata/GDataFeedContactGroup.h"
#include "gdata/GDataGroupMembershipInfo.h"
#include "gdata/GDataPhoneNumber.h"
#include "tests/support/ContactsFeedGenerator.h"

using namespace quorvane;

namespace {

std::string generatedPath(const std::string& name) {
    return std::string(QUORVANE_TEST_DATA_DIR) + "/gdata/generated/" + name;
}

platform::Bytes bytesOf(const std::string& s) { return platform::Bytes(s.begin(), s.end()); }

std::string written(const GDataObject& object) {
    auto doc = object.XMLDocument();
    if (!doc) return {};
    auto data = doc->XMLData();
    return data ? std::string(data->begin(), data->end()) : std::string();
}

std::string writtenFeed(const GDataClassInfo& cls, const std::string& xml) {
    auto feed = GDataFeedBase::feedWithXMLData(cls, bytesOf(xml)).valueOr(nullptr);
    return feed ? written(*feed) : std::string();
}

// An entry whose namespaces differ from its feed's: other prefixes for known URIs, a default
// namespace, an unknown element with declarations of its own, and a redeclared prefix.
const char* kMixedNamespacesFeed = R"(<?xml version="1.0" encoding="UTF-8"?>
<feed xmlns="http://www.w3.org/2005/Atom" xmlns:g="http://schemas.google.com/g/2005"
      xmlns:c="http://schemas.google.com/contact/2008" xmlns:x="urn:x">
 <id>feed-id</id>
 <x:top a="1"><x:inner x:b="2">t</x:inner></x:top>
 <entry xmlns:gd="http://schemas.google.com/g/2005" g:etag="&quot;E1&quot;">
  <id>e1</id>
  <category scheme="http://schemas.google.com/g/2005#kind" term="http://schemas.google.com/contact/2008#contact"/>
  <g:email address="a@example.com" rel="http://schemas.google.com/g/2005#work" primary="true"/>
  <gd:phoneNumber rel="http://schemas.google.com/g/2005#mobile">+1 555 0100</gd:phoneNumber>
  <c:groupMembershipInfo deleted="false" href="group-1"/>
  <y:unknown xmlns:y="urn:y" xmlns:x="urn:other"><x:deep y:attr="v">&lt;text&amp;</x:deep></y:unknown>
  <gd:extendedProperty name="p"><info xmlns="urn:info">kept</info></gd:extendedProperty>
 </entry>
 <entry xmlns="http://www.w3.org/2005/Atom" xmlns:gd="urn:not-gdata">
  <id>e2</id>
  <gd:email address="not-modelled"/>
  <title type="text">Tab&#9;and&#10;line</title>
 </entry>
</feed>)";

std::shared_ptr<GDataEntryContact> makeContact() {
    auto contact = GDataEntryContact::contactEntryWithFullNameString(std::string("Ann \"Q\" <Example>"));
    contact->setIdentifier(std::string("http://example.com/contacts/1"));
    contact->setETag(std::string("\"etag&1\""));
    auto email = GDataEmail::emailWithLabel(std::string("home"), std::string("ann@example.com"));
    email->setIsPrimary(true);
    contact->addEmailAddress(email);
    contact->addPhoneNumber(GDataPhoneNumber::phoneNumberWithString(std::string("+1 555\x01 0101")));
    contact->addGroupMembershipInfo(GDataGroupMembershipInfo::groupMembershipInfoWithHref(std::string("g/2")));
    contact->addExtendedProperty(GDataExtendedProperty::propertyWithName(std::string("k"), std::string("v\r\n")));
    return contact;
}

std::string handBuiltContact() { return written(*makeContact()); }

// The document's bytes as written entry by entry, and as written from the whole tree.
std::pair<std::string, std::string> writtenBothWays(const GDataObject& object) {
    auto streamed = object.XMLDocument()->XMLData();
    auto built = object.XMLDocument();
    EXPECT_TRUE(built->rootElement());  // the tree is built now
    auto whole = built->XMLData();
    return {streamed ? std::string(streamed->begin(), streamed->end()) : "",
            whole ? std::string(whole->begin(), whole->end()) : ""};
}

struct Case {
    const char* file;
    std::function<std::string()> make;
};

}  // namespace

TEST(GDataGeneratedBytes, EveryDocumentIsWrittenAsBefore) {
    registerContactClasses();
    const Case cases[] = {
        {"contacts-feed.xml",
         [] { return writtenFeed(GDataFeedContact::staticClassInfo(), quorvane::testing::generateContactsFeed({12, 3, true})); }},
        {"contacts-feed-modelled-only.xml",
         [] { return writtenFeed(GDataFeedContact::staticClassInfo(), quorvane::testing::generateContactsFeed({5, 7, false})); }},
        {"groups-feed.xml",
         [] { return writtenFeed(GDataFeedContactGroup::staticClassInfo(), quorvane::testing::generateGroupsFeed(3, 2)); }},
        {"mixed-namespaces-feed.xml", [] { return writtenFeed(GDataFeedContact::staticClassInfo(), kMixedNamespacesFeed); }},
        {"hand-built-contact.xml", handBuiltContact},
    };
    bool update = std::getenv("QUORVANE_UPDATE_GENERATED") != nullptr;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::string bytes = c.make();
        ASSERT_FALSE(bytes.empty());
        if (update) {
            std::ofstream(generatedPath(c.file), std::ios::binary) << bytes;
            continue;
        }
        std::ifstream in(generatedPath(c.file), std::ios::binary);
        ASSERT_TRUE(in) << "missing " << generatedPath(c.file);
        std::stringstream expected;
        expected << in.rdbuf();
        EXPECT_EQ(bytes, expected.str());
    }
}

TEST(GDataGeneratedBytes, AFeedWrittenEntryByEntryEqualsItsWholeTree) {
    registerContactClasses();
    std::vector<std::shared_ptr<GDataFeedBase>> feeds;
    for (uint32_t seed = 1; seed <= 4; ++seed)
        feeds.push_back(GDataFeedBase::feedWithXMLData(
            GDataFeedContact::staticClassInfo(),
            bytesOf(quorvane::testing::generateContactsFeed({seed * 3, seed, seed % 2 == 1}))).valueOr(nullptr));
    feeds.push_back(GDataFeedBase::feedWithXMLData(GDataFeedContact::staticClassInfo(), bytesOf(kMixedNamespacesFeed)).valueOr(nullptr));
    // Text that is escaped, or not, differently in attributes and in content.
    feeds.push_back(GDataFeedBase::feedWithXMLData(
        GDataFeedContact::staticClassInfo(),
        bytesOf("<feed xmlns='http://www.w3.org/2005/Atom' xmlns:gd='http://schemas.google.com/g/2005'><entry>"
                "<gd:email address='Zo\xC3\xAB&#9;&#10;&#13;&lt;&amp;&quot;&gt;@x' label='\xE2\x82\xAC'/>"
                "<title>\xC3\x89&#13;&lt;&gt;&amp;\"'</title><u xmlns='urn:u' a='\xF0\x9F\x99\x82'/></entry></feed>")).valueOr(nullptr));
    feeds.push_back(GDataFeedBase::feedWithXMLData(GDataFeedContactGroup::staticClassInfo(),
                                                   bytesOf(quorvane::testing::generateGroupsFeed(2, 5))).valueOr(nullptr));
    // Made in code: the contact's names need the feed's declarations, or declarations of their
    // own on the root when the plain feed class declares none.
    for (const auto* cls : {&GDataFeedContact::staticClassInfo(), &GDataFeedBase::staticClassInfo()}) {
        auto feed = GDataFeedBase::feed(*cls);
        feed->addEntry(makeContact());
        auto undeclared = makeContact();  // its names need declarations on the feed element
        undeclared->setNamespaces({});
        feed->addEntry(undeclared);
        feeds.push_back(feed);
    }
    for (size_t i = 0; i < feeds.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(feeds[i]);
        auto [streamed, whole] = writtenBothWays(*feeds[i]);
        EXPECT_FALSE(streamed.empty());
        EXPECT_EQ(streamed, whole);
        // Each entry read from a feed, written on its own, binds the prefixes its feed declared.
        if (i + 2 >= feeds.size()) continue;  // the two made in code
        for (const auto& entry : *feeds[i]->entries()) {
            auto alone = entry->writtenXMLData();
            EXPECT_TRUE(alone && !alone->empty()) << entry->identifier().value_or("");
        }
    }
}
