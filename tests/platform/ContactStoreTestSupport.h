#pragma once
// A contact store on a fresh SQLite file in the test's own folder.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "platform/contacts/CNContactStore.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"

namespace quorvane::platform::testing {

class ContactStoreTestBase : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = Paths::dataHome() / "contact-store-tests" / (std::string(info->test_suite_name()) + "." + info->name());
        std::filesystem::remove_all(dir_);
        file_ = dir_ / "Contacts.sqlite";
        store_ = std::make_shared<CNContactStore>(file_);
        AssertionHandler::resetCount();
    }

    // A store on the same file, as another process or a later launch would open it.
    std::shared_ptr<CNContactStore> reopen() { return std::make_shared<CNContactStore>(file_); }

    CNContainerPtr addContainer(const std::string& name, CNContainerType type = CNContainerType::Local,
                                std::optional<std::string> identifier = std::nullopt) {
        auto c = store_->addContainer(name, type, std::move(identifier));
        EXPECT_TRUE(c) << c.error().localizedDescription();
        return c.valueOr(nullptr);
    }

    Result<void> save(const CNSaveRequest& request) { return store_->executeSaveRequest(request); }

    std::vector<CNContactPtr> fetch(const CNPredicatePtr& predicate, const std::vector<CNKeyDescriptor>& keys,
                                    CNContactStore* store = nullptr) {
        auto result = (store ? store : store_.get())->unifiedContactsMatchingPredicate(predicate, keys);
        EXPECT_TRUE(result) << result.error().localizedDescription();
        return result.valueOr(std::vector<CNContactPtr>{});
    }

    std::filesystem::path dir_;
    std::filesystem::path file_;
    std::shared_ptr<CNContactStore> store_;
};

}  // namespace quorvane::platform::testing
