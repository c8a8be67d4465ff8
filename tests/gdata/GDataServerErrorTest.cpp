// The provider's error bodies: parsing into a group of errors, the main error and its summary.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "gdata/GDataServerError.h"

using namespace quorvane;

namespace {

platform::Bytes bytesOf(std::string_view text) { return platform::Bytes(text.begin(), text.end()); }

platform::Bytes dataFile(const std::string& name) {
    std::ifstream in(std::string(QUORVANE_TEST_DATA_DIR) + "/gdata/" + name, std::ios::binary);
    EXPECT_TRUE(in) << name;
    return platform::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(GDataServerErrorTest, ProviderErrorBodyGivesGroupMainErrorAndSummary) {
    auto group = GDataServerErrorGroup::initWithData(dataFile("server-errors.xml"));
    ASSERT_TRUE(group);
    ASSERT_TRUE(group->errors());
    // Two gd errors; the one outside the gd namespace is not among them.
    ASSERT_EQ(group->errors()->size(), 2u);

    auto main = group->mainError();
    ASSERT_TRUE(main);
    EXPECT_EQ(main, group->errors()->front());
    EXPECT_EQ(main->domain(), "GData");
    EXPECT_EQ(main->code(), "versionConflict");
    EXPECT_EQ(main->internalReason(), "Version conflict: the entry was changed since it was fetched");
    EXPECT_EQ(main->extendedHelpURI(), "http://example.com/help/conflicts");
    EXPECT_EQ(main->sendReportURI(), "http://example.com/report");
    EXPECT_EQ(main->summary(),
              "GData error versionConflict: \"Version conflict: the entry was changed since it was fetched\"");

    // An empty internal reason counts as none.
    auto second = (*group->errors())[1];
    EXPECT_EQ(second->internalReason(), "");
    EXPECT_EQ(second->summary(), "GData error invalid");
    EXPECT_FALSE(second->extendedHelpURI());

    auto desc = second->description();
    EXPECT_EQ(desc.rfind("GDataServerError 0x", 0), 0u) << desc;
    EXPECT_NE(desc.find(": {domain=\"GData\" code=\"invalid\" reason=\"\"}"), std::string::npos) << desc;
    EXPECT_NE(group->description().find("{errors: ("), std::string::npos);
}

TEST(GDataServerErrorTest, BodiesWithoutErrorsGiveNoGroup) {
    EXPECT_FALSE(GDataServerErrorGroup::initWithData({}));
    EXPECT_FALSE(GDataServerErrorGroup::initWithData(bytesOf("Service Unavailable")));
    EXPECT_FALSE(GDataServerErrorGroup::initWithData(bytesOf("<errors xmlns='http://schemas.google.com/g/2005'>")));
    EXPECT_FALSE(GDataServerErrorGroup::initWithData(bytesOf("<errors><error><code>x</code></error></errors>")));
    EXPECT_FALSE(GDataServerErrorGroup::serverErrorsWithData(bytesOf("<errors/>")));

    // Any root name will do; only direct children are errors; a missing field is nil.
    auto group = GDataServerErrorGroup::initWithData(
        bytesOf("<r xmlns:gd='http://schemas.google.com/g/2005'><gd:error><gd:code>c</gd:code></gd:error>"
                "<wrap><gd:error><gd:code>deep</gd:code></gd:error></wrap></r>"));
    ASSERT_TRUE(group);
    ASSERT_EQ(group->errors()->size(), 1u);
    EXPECT_FALSE(group->mainError()->domain());
    EXPECT_EQ(group->mainError()->code(), "c");
}

TEST(GDataServerErrorTest, CopiesAreEqualAndIndependent) {
    auto group = GDataServerErrorGroup::initWithData(dataFile("server-errors.xml"));
    ASSERT_TRUE(group);
    auto copy = group->copy();
    EXPECT_TRUE(copy->isEqual(*group));
    EXPECT_NE(copy->mainError(), group->mainError());
    copy->mainError()->setCode(std::string("other"));
    EXPECT_FALSE(copy->isEqual(*group));
    EXPECT_EQ(group->mainError()->code(), "versionConflict");

    // nil and empty differ field by field.
    GDataServerError a, b;
    EXPECT_TRUE(a.isEqual(b));
    b.setSendReportURI(std::string());
    EXPECT_FALSE(a.isEqual(b));

    GDataServerErrorGroup none;
    EXPECT_FALSE(none.mainError());
    EXPECT_TRUE(none.isEqual(GDataServerErrorGroup()));
    none.setErrors(std::vector<GDataServerErrorPtr>{});
    EXPECT_FALSE(none.mainError());
    EXPECT_FALSE(none.isEqual(GDataServerErrorGroup()));
}
