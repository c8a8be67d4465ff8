// The class registry in a fresh process: the known kinds are found without any registration
// call, and each kind of element gets its class.

#include <gtest/gtest.h>

#include "gdata/GDataAtomServiceDocument.h"
#include "gdata/GDataClassRegistry.h"
#include "gdata/GDataEntryContact.h"
#include "gdata/GDataEntryContactGroup.h"
#include "gdata/GDataFeedACL.h"
#include "gdata/GDataFeedContact.h"

namespace quorvane {
namespace {

TEST(GDataClassRegistry, ChoosesTheClassOfEachElement) {
    const std::string atom = "xmlns='http://www.w3.org/2005/Atom' xmlns:gd='http://schemas.google.com/g/2005'";
    const std::string kind = "scheme='http://schemas.google.com/g/2005#kind' term=";
    struct Case {
        std::string xml;
        const GDataClassInfo* expected;
    } cases[] = {
        {"<feed " + atom + " gd:kind='contacts#contactFeed'><category " + kind +
             "'http://schemas.google.com/contact/2008#contact'/></feed>",
         &GDataFeedContact::staticClassInfo()},
        {"<entry " + atom + "><category " + kind + "'http://schemas.google.com/contact/2008#group'/></entry>",
         &GDataEntryContactGroup::staticClassInfo()},
        {"<feed " + atom + "><category " + kind + "'http://schemas.google.com/acl/2007#accessRule'/></feed>",
         &GDataFeedACL::staticClassInfo()},
        {"<entry " + atom + "><category scheme='urn:other' term='x'/></entry>", &GDataEntryBase::staticClassInfo()},
        {"<feed " + atom + "/>", &GDataFeedBase::staticClassInfo()},
        {"<service xmlns='http://www.w3.org/2007/app'/>", &GDataAtomServiceDocument::staticClassInfo()},
        {"<title " + atom + ">t</title>", nullptr},
    };
    for (const auto& c : cases) {
        auto element = GDataXMLElement::initWithXMLString(c.xml).valueOr(nullptr);
        ASSERT_TRUE(element) << c.xml;
        EXPECT_EQ(GDataClassRegistry::classForXMLElement(nullptr, element), c.expected) << c.xml;
    }
    EXPECT_EQ(GDataClassRegistry::classNamed("GDataEntryContact"), &GDataEntryContact::staticClassInfo());
    EXPECT_EQ(GDataClassRegistry::classNamed("GDataEntryBase"), &GDataEntryBase::staticClassInfo());
    EXPECT_EQ(GDataClassRegistry::classNamed("GDataNoSuchClass"), nullptr);
}

}  // namespace
}  // namespace quorvane
