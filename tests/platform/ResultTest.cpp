#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Paths.h"
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

TEST(ResultTest, FoundationOperationsReportTheirFailures) {
    const auto missing = std::filesystem::temp_directory_path() / "qv-result-no-such-folder" / "file";
    struct Case {
        const char* what;
        Error error;
        std::string domain;
        int64_t code;
    };
    const Case cases[] = {
        {"write into a missing folder", writeFileAtomically(missing, "x").error(), kPOSIXErrorDomain, ENOENT},
        {"malformed JSON", Value::fromJSON("{").error(), kJSONErrorDomain, kJSONErrorMalformed},
        {"deep JSON", Value::fromJSON(std::string(600, '[') + std::string(600, ']')).error(), kJSONErrorDomain,
         kJSONErrorNestedTooDeeply},
        {"no archive", KeyedUnarchiver::unarchivedObject<Coding>("not an archive").error(), kKeyedArchiveErrorDomain,
         kKeyedArchiveErrorUnreadable},
        {"no archive list", KeyedUnarchiver::unarchivedObjects<Coding>("[").error(), kKeyedArchiveErrorDomain,
         kKeyedArchiveErrorUnreadable},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.domain, c.domain) << c.what;
        EXPECT_EQ(c.error.code, c.code) << c.what;
        EXPECT_FALSE(c.error.localizedDescription().empty()) << c.what;
    }
    EXPECT_NE(cases[0].error.localizedDescription().find("cannot create a temporary file"), std::string::npos);
}
