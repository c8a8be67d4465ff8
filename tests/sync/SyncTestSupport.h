#pragma once
// A sync model on its own contact store file, user defaults file and the universal time zone,
// plus builders of local and Google contacts.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "gdata/GDataEntryContact.h"
#include "platform/contacts/CNContactStore.h"
#include "platform/foundation/Calendar.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "sync/QuorvaneModel.h"

namespace quorvane::testing {

class SyncModelTestBase : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = platform::Paths::dataHome() / "sync-tests" / (std::string(info->test_suite_name()) + "." + info->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        store_ = std::make_shared<platform::CNContactStore>(dir_ / "Contacts.sqlite");
        QuorvaneModel::Environment env;
        env.userDefaults = std::make_shared<platform::UserDefaults>(dir_ / "defaults.json");
        env.contactStore = store_;
        env.timeZone = platform::TimeZone::universal();
        model_ = std::make_shared<QuorvaneModel>(std::move(env));
        platform::AssertionHandler::resetCount();
    }

    std::filesystem::path dir_;
    std::shared_ptr<platform::CNContactStore> store_;
    std::shared_ptr<QuorvaneModel> model_;
};

struct AppleName {
    std::string given = "", middle = "", family = "", prefix = "", suffix = "", nickname = "", organization = "";
    std::vector<std::string> emails = {};
};

// A local contact with every key available.
inline platform::CNContactPtr makeAppleContact(const AppleName& n) {
    auto c = std::make_shared<platform::CNMutableContact>();
    c->setGivenName(n.given);
    c->setMiddleName(n.middle);
    c->setFamilyName(n.family);
    c->setNamePrefix(n.prefix);
    c->setNameSuffix(n.suffix);
    c->setNickname(n.nickname);
    c->setOrganizationName(n.organization);
    std::vector<platform::CNLabeledValue<std::string>> emails;
    for (const auto& e : n.emails) emails.emplace_back(std::string(platform::CNLabelHome), e);
    c->setEmailAddresses(std::move(emails));
    return c;
}

inline std::shared_ptr<GDataEntryContact> makeGoogleContact(const std::optional<std::string>& given,
                                                            const std::optional<std::string>& additional,
                                                            const std::optional<std::string>& family) {
    return GDataEntryContact::contactEntryWithName(
        GDataName::nameWithPrefix(std::nullopt, given, additional, family, std::nullopt));
}

}  // namespace quorvane::testing
