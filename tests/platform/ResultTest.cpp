#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/foundation/Result.h"

using namespace quorvane::platform;

namespace {

struct Base {
    virtual ~Base() = default;
};
struct Derived : Base {};

Result<std::string> named(bool fail) {
    if (fail) return Error("test", 7);
    return "seven";  // made into the value
}

}  // namespace

TEST(ResultTest, CarriesTheValueOrTheError) {
    auto good = named(false);
    ASSERT_TRUE(good);
    EXPECT_EQ(good.value(), "seven");
    EXPECT_EQ(good->size(), 5u);
    EXPECT_EQ(good.valueOr("none"), "seven");

    auto bad = named(true);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error(), Error("test", 7));
    EXPECT_EQ(Result<int>(Error::withDescription("test", 9, "Nine.")).error().localizedDescription(), "Nine.");
    EXPECT_EQ(bad.valueOr("none"), "none");

    Result<std::unique_ptr<int>> owned = std::make_unique<int>(3);
    std::unique_ptr<int> taken = std::move(owned).value();
    EXPECT_EQ(*taken, 3);

    Result<std::shared_ptr<Base>> base = std::make_shared<Derived>();
    EXPECT_NE(std::dynamic_pointer_cast<Derived>(base.value()), nullptr);

    Result<void> done;
    EXPECT_TRUE(done);
    Result<void> failed = Error("test", 8);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().code, 8);
}

TEST(ResultTest, ReadingTheWrongSideIsAReportedContractFailure) {
    AssertionHandler::set([](const AssertionFailure&) {});
    AssertionHandler::resetCount();
    EXPECT_EQ(named(false).error().domain, "");
    EXPECT_EQ(Result<void>().error().code, 0);
    EXPECT_THROW((void)named(true).value(), std::bad_variant_access);
    EXPECT_EQ(AssertionHandler::count(), 3u);
    AssertionHandler::set(nullptr);
}
