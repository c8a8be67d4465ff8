// The settings table: one row per setting, each with its own key, and every set stored at once.

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>

#include "platform/foundation/Paths.h"
#include "sync/SyncSettings.h"

namespace quorvane {
namespace {

using platform::Date;
using platform::UserDefaults;

class SyncSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = platform::Paths::dataHome() / "sync-tests" / "SyncSettingsTest";
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        defaults_ = std::make_shared<UserDefaults>(dir_ / "defaults.json");
    }
    std::filesystem::path dir_;
    std::shared_ptr<UserDefaults> defaults_;
};

TEST_F(SyncSettingsTest, EverySettingHasARowWithItsOwnKey) {
    std::set<std::string> keys;
    for (size_t i = 0; i < static_cast<size_t>(Setting::Count); ++i) {
        const char* key = SyncSettings::keyOf(static_cast<Setting>(i));
        ASSERT_NE(key, nullptr);
        EXPECT_TRUE(keys.insert(key).second) << key;
    }
    EXPECT_EQ(keys.size(), static_cast<size_t>(Setting::Count));
}

TEST_F(SyncSettingsTest, EverySetIsStoredAtOnce) {
    SyncSettings settings(defaults_, "Auto");
    settings.load();
    EXPECT_EQ(settings.textValue(Setting::AutoAddToGroupName), std::optional<std::string>("Auto"));

    settings.setBool(Setting::SyncPhotosSetting, false);
    settings.setInt(Setting::SelectedLanguage, 3);
    settings.setFloat(Setting::AutoSyncUpdateInterval_Minutes, 7.5f);
    settings.setText(Setting::PreviousGmailUsername, std::string("ann@example.com"));
    settings.setDate(Setting::LastCompletedSyncDate, Date::fromUnix(1000));
    EXPECT_EQ(defaults_->boolForKey("syncPhotosSetting"), false);
    EXPECT_TRUE(defaults_->objectForKey("syncPhotosSetting"));
    EXPECT_EQ(defaults_->integerForKey("selectedLanguage_v3"), 3);
    EXPECT_DOUBLE_EQ(defaults_->doubleForKey("autoUpdateInterval"), 7.5);
    EXPECT_EQ(defaults_->stringForKey("previousGmailUsername"), std::optional<std::string>("ann@example.com"));
    ASSERT_TRUE(defaults_->objectForKey("lastCompletedSyncDate"));

    // Nil removes the key; a value without a stored form is kept but its key removed.
    settings.setText(Setting::PreviousGmailUsername, std::nullopt);
    EXPECT_FALSE(defaults_->objectForKey("previousGmailUsername"));
    settings.setFloat(Setting::AutoSyncUpdateInterval_Minutes, NAN);
    EXPECT_TRUE(std::isnan(settings.floatValue(Setting::AutoSyncUpdateInterval_Minutes)));
    EXPECT_FALSE(defaults_->objectForKey("autoUpdateInterval"));

    // Another table on the same defaults reads every value back.
    SyncSettings again(defaults_, "Auto");
    again.load();
    EXPECT_FALSE(again.boolValue(Setting::SyncPhotosSetting));
    EXPECT_EQ(again.intValue(Setting::SelectedLanguage), 3);
    EXPECT_FLOAT_EQ(again.floatValue(Setting::AutoSyncUpdateInterval_Minutes), 5.0f);
    EXPECT_EQ(again.dateValue(Setting::LastCompletedSyncDate), Date::fromUnix(1000));
}

}  // namespace
}  // namespace quorvane
