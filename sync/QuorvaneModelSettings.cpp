// The model's settings: loaded from the user defaults when the model starts, each setter storing
// its value under the same key at once. Also the contact-store change note and the contacts
// service of the signed-in account.

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/unistr.h>

#include "platform/foundation/BundleInfo.h"
#include "platform/foundation/Strings.h"
#include "sync/QuorvaneModel.h"

namespace quorvane {

namespace {

using platform::Date;
using platform::UserDefaults;
using platform::Value;

// The keys of the stored settings.
constexpr const char* kSelectedManualSyncModeKey = "selectedManualSyncMode";
constexpr const char* kSelectedAutoSyncModeKey = "selectedAutoSyncMode";
constexpr const char* kSyncPhotosSettingKey = "syncPhotosSetting";
constexpr const char* kMergeContacts2WayKey = "mergeContacts_2Way";
constexpr const char* kMergeContacts1WayKey = "mergeContacts_1Way";
constexpr const char* kIgnoreOtherContactsKey = "ignoreOtherContacts";
constexpr const char* kForceUpdateContactsKey = "forceUpdateContacts";
constexpr const char* kSyncDeletionsKey = "syncDeletions";
constexpr const char* kDetectGoogleDuplicatesKey = "detectGoogleDuplicates_v2";
constexpr const char* kBatchGoogleContactsKey = "batchGoogleContacts";
constexpr const char* kSyncCountryCodesKey = "syncCountryCodes_v2";
constexpr const char* kWelcomeShownKey = "welcomeShown_v2";
constexpr const char* kShowContactAccountWarningsKey = "showContactAccountWarnings";
constexpr const char* kShowLeaveReviewPromptKey = "showLeaveReviewPrompt_v13";
constexpr const char* kTellAFriendMessageShownKey = "tellAFriendMessageShown";
constexpr const char* kLikeUsOnFacebookMessageShownKey = "likeUsOnFacebookMessageShown";
constexpr const char* kContactSourceModeKey = "contactSourceMode";
constexpr const char* kCustomContainerIDKey = "customContainerID";
constexpr const char* kPreviousContainerIDKey = "previousContainerID";
constexpr const char* kPreviousGmailUsernameKey = "previousGmailUsername";
constexpr const char* kSelectedLanguageKey = "selectedLanguage_v3";
constexpr const char* kAutoUpdateIntervalKey = "autoUpdateInterval";
constexpr const char* kConfirmPendingDeletionsKey = "confirmPendingDeletions";
constexpr const char* kUseBlackAndWhiteIconKey = "useBlackAndWhiteIcon";
constexpr const char* kAttachAppToMenuBarKey = "attachAppToMenuBar";
constexpr const char* kShowSyncTypeAlertKey = "showSyncTypeAlert";
constexpr const char* kShowICloudTipKey = "showICloudTip";
constexpr const char* kShowGoogleAccountTipKey = "showGoogleAccountTip";
constexpr const char* kOriginalAppVersionKey = "originalAppVersion";
constexpr const char* kShowEditSyncActionsAlertKey = "showEditSyncActionsAlert";
constexpr const char* kFilterByGroupsKey = "filterByGroups_v1";
constexpr const char* kIgnoreNewContactsSettingsKey = "ignoreNewContactsSettings";
constexpr const char* kIgnoreEmptyContactsKey = "ignoreEmptyContacts";
constexpr const char* kAutoAddContactsToGroupKey = "autoAddContactsToGroup";
constexpr const char* kAutoAddToGroupNameKey = "autoAddToGroupName";
constexpr const char* kSkipSyncConfirmationAlertKey = "skipSyncConfirmationAlert";
constexpr const char* kHasSentInitialLaunchAnswerEventKey = "hasSentInitialLaunchAnswerEvent";
constexpr const char* kShowManualSyncAlertKey = "showManualSyncAlert";
constexpr const char* kHasShownSkipSyncConfirmationTipKey = "hasShownSkipSyncConfirmationTip";
constexpr const char* kLastICloudTipDateKey = "lastICloudTipDate";
constexpr const char* kLastGoogleAccountTipDateKey = "lastGoogleAccountTipDate";
constexpr const char* kLastLeaveReviewPromptDateKey = "lastLeaveReviewPromptDate";
constexpr const char* kAutoSyncLastUpdateKey = "autoSyncLastUpdate";
constexpr const char* kLastCompletedSyncDateKey = "lastCompletedSyncDate";
constexpr const char* kSelectedGroupStringsKey = "selectedGroupStrings_v1";

// The date of the tip and prompt settings that were never set.
constexpr Date kNeverDate = Date::fromUnix(0);

// A stored object converts the way a number object does: booleans, numbers and number texts
// ("YES" and "true" count as true).
bool readBool(const UserDefaults& defaults, const char* key, bool fallback) {
    return defaults.objectForKey(key) ? defaults.boolForKey(key) : fallback;
}

int32_t readInt(const UserDefaults& defaults, const char* key, int32_t fallback) {
    auto stored = defaults.objectForKey(key);
    if (!stored) return fallback;
    // A text like "2.5" reads as 2, as a number would; values beyond 32 bits are held at the ends.
    double value = stored->isString() ? defaults.doubleForKey(key) : double(defaults.integerForKey(key));
    if (!(value == value)) return 0;
    value = std::clamp(value, double(std::numeric_limits<int32_t>::min()), double(std::numeric_limits<int32_t>::max()));
    return int32_t(value);
}

float readFloat(const UserDefaults& defaults, const char* key, float fallback) {
    return defaults.objectForKey(key) ? float(defaults.doubleForKey(key)) : fallback;
}

// A stored text (a number reads as its decimal text). An object of any other kind is no text, and
// the setting keeps its default rather than holding something the rest of the model cannot read.
std::optional<std::string> readString(const UserDefaults& defaults, const char* key,
                                      std::optional<std::string> fallback) {
    if (auto text = defaults.stringForKey(key)) return text;
    return fallback;
}

// A stored date; an object of another kind keeps the default, as for texts.
std::optional<Date> readDate(const UserDefaults& defaults, const char* key, std::optional<Date> fallback) {
    auto stored = defaults.objectForKey(key);
    if (stored && stored->isDate()) return stored->asDate();
    return fallback;
}

void storeString(UserDefaults& defaults, const char* key, const std::optional<std::string>& value) {
    if (value) defaults.setObject(Value(*value), key);
    else defaults.removeObjectForKey(key);
}

void storeDate(UserDefaults& defaults, const char* key, const std::optional<Date>& value) {
    if (value) defaults.setObject(Value(*value), key);
    else defaults.removeObjectForKey(key);
}

}  // namespace

void QuorvaneModel::loadSettings() {
    const UserDefaults& d = *mUserDefaults;
    mSelectedManualSyncMode = readInt(d, kSelectedManualSyncModeKey, 0);
    mSelectedAutoSyncMode = readInt(d, kSelectedAutoSyncModeKey, 0);
    mSyncPhotosSetting = readBool(d, kSyncPhotosSettingKey, true);
    mMergeContacts_2Way = readBool(d, kMergeContacts2WayKey, true);
    mMergeContacts_1Way = readBool(d, kMergeContacts1WayKey, true);
    mIgnoreOtherContacts = readBool(d, kIgnoreOtherContactsKey, true);
    mForceUpdateContacts = readBool(d, kForceUpdateContactsKey, false);
    mSyncDeletedContacts = readBool(d, kSyncDeletionsKey, true);
    mDetectGoogleDuplicates = readBool(d, kDetectGoogleDuplicatesKey, true);
    mBatchGoogleContacts = readBool(d, kBatchGoogleContactsKey, true);
    mSyncCountryCodes = readBool(d, kSyncCountryCodesKey, true);
    mWelcomeMessageShown = readBool(d, kWelcomeShownKey, false);
    mShowContactAccountWarnings = readBool(d, kShowContactAccountWarningsKey, true);
    mShowLeaveAReviewPrompt = readBool(d, kShowLeaveReviewPromptKey, true);
    mTellAFriendMessageShown = readBool(d, kTellAFriendMessageShownKey, false);
    mLikeUsOnFacebookMessageShown = readBool(d, kLikeUsOnFacebookMessageShownKey, false);
    mContactSourceMode = readInt(d, kContactSourceModeKey, ContactSourceModeAutoSelect);
    mCustomContainerID = readString(d, kCustomContainerIDKey, std::nullopt);
    mPreviousContainerID = readString(d, kPreviousContainerIDKey, std::nullopt);
    mPreviousGmailUsername = readString(d, kPreviousGmailUsernameKey, std::nullopt);
    mSelectedLanguage = readInt(d, kSelectedLanguageKey, 0);
    mAutoSyncUpdateInterval_Minutes = readFloat(d, kAutoUpdateIntervalKey, 5.0f);
    mConfirmPendingDeletions = readBool(d, kConfirmPendingDeletionsKey, true);
    mUseBlackAndWhiteIcon = readBool(d, kUseBlackAndWhiteIconKey, false);
    mAttachAppToMenuBar = readBool(d, kAttachAppToMenuBarKey, true);
    mShowSyncTypeAlert = readBool(d, kShowSyncTypeAlertKey, true);
    mShowICloudTip = readBool(d, kShowICloudTipKey, true);
    mShowGoogleAccountTip = readBool(d, kShowGoogleAccountTipKey, true);
    mOriginalAppVersion = readString(d, kOriginalAppVersionKey, std::nullopt);
    mShowEditSyncActionsAlert = readBool(d, kShowEditSyncActionsAlertKey, true);
    mFilterByGroups = readBool(d, kFilterByGroupsKey, false);
    mIgnoreNewContactsSetting = readInt(d, kIgnoreNewContactsSettingsKey, 0);
    mIgnoreEmptyContacts = readBool(d, kIgnoreEmptyContactsKey, true);
    mAutoAddContactsToGroup = readBool(d, kAutoAddContactsToGroupKey, false);
    mAutoAddToGroupName = readString(d, kAutoAddToGroupNameKey, getDefaultAutoAddToGroupName());
    mSkipSyncConfirmationAlert = readBool(d, kSkipSyncConfirmationAlertKey, false);
    mHasSentInitalLaunchAnswerEvent = readBool(d, kHasSentInitialLaunchAnswerEventKey, false);
    mShowManualSyncAlert = readBool(d, kShowManualSyncAlertKey, true);
    mHasShownSkipSyncConfirmationTip = readBool(d, kHasShownSkipSyncConfirmationTipKey, false);
    mLastICloudTipDate = readDate(d, kLastICloudTipDateKey, kNeverDate);
    mLastGoogleAccountTipDate = readDate(d, kLastGoogleAccountTipDateKey, kNeverDate);
    mLastLeaveReviewPromptDate = readDate(d, kLastLeaveReviewPromptDateKey, kNeverDate);
    mAutoSyncLastUpdate = readDate(d, kAutoSyncLastUpdateKey, kNeverDate);
    mLastCompletedSyncDate = readDate(d, kLastCompletedSyncDateKey, std::nullopt);

    // The group filter: names that differ only in letter case enter once, as first seen.
    mSelectedGroupSet.clear();
    mSelectedGroupSet_Lower.clear();
    if (auto names = d.arrayForKey(kSelectedGroupStringsKey)) {
        for (const Value& name : *names) {
            if (!name.isString()) continue;
            std::string lower = platform::lowercase(name.asString());
            if (mSelectedGroupSet_Lower.count(lower)) continue;
            mSelectedGroupSet.insert(name.asString());
            mSelectedGroupSet_Lower.insert(std::move(lower));
        }
    }
}

// --- setters ---

void QuorvaneModel::setSelectedManualSyncMode(int32_t v) {
    mSelectedManualSyncMode = v;
    mUserDefaults->setObject(Value(v), kSelectedManualSyncModeKey);
}
void QuorvaneModel::setSelectedAutoSyncMode(int32_t v) {
    mSelectedAutoSyncMode = v;
    mUserDefaults->setObject(Value(v), kSelectedAutoSyncModeKey);
}
void QuorvaneModel::setSyncPhotosSetting(bool v) {
    mSyncPhotosSetting = v;
    mUserDefaults->setObject(Value(v), kSyncPhotosSettingKey);
}
void QuorvaneModel::setMergeContacts_2Way(bool v) {
    mMergeContacts_2Way = v;
    mUserDefaults->setObject(Value(v), kMergeContacts2WayKey);
}
void QuorvaneModel::setMergeContacts_1Way(bool v) {
    mMergeContacts_1Way = v;
    mUserDefaults->setObject(Value(v), kMergeContacts1WayKey);
}
void QuorvaneModel::setIgnoreOtherContacts(bool v) {
    mIgnoreOtherContacts = v;
    mUserDefaults->setObject(Value(v), kIgnoreOtherContactsKey);
}
void QuorvaneModel::setForceUpdateContacts(bool v) {
    mForceUpdateContacts = v;
    mUserDefaults->setObject(Value(v), kForceUpdateContactsKey);
}
void QuorvaneModel::setSyncDeletedContacts(bool v) {
    mSyncDeletedContacts = v;
    mUserDefaults->setObject(Value(v), kSyncDeletionsKey);
}
void QuorvaneModel::setDetectGoogleDuplicates(bool v) {
    mDetectGoogleDuplicates = v;
    mUserDefaults->setObject(Value(v), kDetectGoogleDuplicatesKey);
}
void QuorvaneModel::setBatchGoogleContacts(bool v) {
    mBatchGoogleContacts = v;
    mUserDefaults->setObject(Value(v), kBatchGoogleContactsKey);
}
void QuorvaneModel::setSyncCountryCodes(bool v) {
    mSyncCountryCodes = v;
    mUserDefaults->setObject(Value(v), kSyncCountryCodesKey);
}
void QuorvaneModel::setWelcomeMessageShown(bool v) {
    mWelcomeMessageShown = v;
    mUserDefaults->setObject(Value(v), kWelcomeShownKey);
}
void QuorvaneModel::setShowContactAccountWarnings(bool v) {
    mShowContactAccountWarnings = v;
    mUserDefaults->setObject(Value(v), kShowContactAccountWarningsKey);
}
void QuorvaneModel::setShowLeaveAReviewPrompt(bool v) {
    mShowLeaveAReviewPrompt = v;
    mUserDefaults->setObject(Value(v), kShowLeaveReviewPromptKey);
}
void QuorvaneModel::setTellAFriendMessageShown(bool v) {
    mTellAFriendMessageShown = v;
    mUserDefaults->setObject(Value(v), kTellAFriendMessageShownKey);
}
void QuorvaneModel::setLikeUsOnFacebookMessageShown(bool v) {
    mLikeUsOnFacebookMessageShown = v;
    mUserDefaults->setObject(Value(v), kLikeUsOnFacebookMessageShownKey);
}
void QuorvaneModel::setContactSourceMode(int32_t v) {
    mContactSourceMode = v;
    mUserDefaults->setObject(Value(v), kContactSourceModeKey);
}
void QuorvaneModel::setCustomContainerID(std::optional<std::string> v) {
    mCustomContainerID = std::move(v);
    storeString(*mUserDefaults, kCustomContainerIDKey, mCustomContainerID);
}
void QuorvaneModel::setPreviousContainerID(std::optional<std::string> v) {
    mPreviousContainerID = std::move(v);
    storeString(*mUserDefaults, kPreviousContainerIDKey, mPreviousContainerID);
}
void QuorvaneModel::setPreviousGmailUsername(std::optional<std::string> v) {
    mPreviousGmailUsername = std::move(v);
    storeString(*mUserDefaults, kPreviousGmailUsernameKey, mPreviousGmailUsername);
}
void QuorvaneModel::setSelectedLanguage(int32_t v) {
    mSelectedLanguage = v;
    mUserDefaults->setObject(Value(v), kSelectedLanguageKey);
}
void QuorvaneModel::setAutoSyncUpdateInterval_Minutes(float v) {
    mAutoSyncUpdateInterval_Minutes = v;
    // Not-a-number and infinities have no form in the file; they are kept as "not set".
    if (std::isfinite(v)) mUserDefaults->setObject(Value(double(v)), kAutoUpdateIntervalKey);
    else mUserDefaults->removeObjectForKey(kAutoUpdateIntervalKey);
}
void QuorvaneModel::setConfirmPendingDeletions(bool v) {
    mConfirmPendingDeletions = v;
    mUserDefaults->setObject(Value(v), kConfirmPendingDeletionsKey);
}
void QuorvaneModel::setUseBlackAndWhiteIcon(bool v) {
    mUseBlackAndWhiteIcon = v;
    mUserDefaults->setObject(Value(v), kUseBlackAndWhiteIconKey);
}
void QuorvaneModel::setAttachAppToMenuBar(bool v) {
    mAttachAppToMenuBar = v;
    mUserDefaults->setObject(Value(v), kAttachAppToMenuBarKey);
}
void QuorvaneModel::setShowSyncTypeAlert(bool v) {
    mShowSyncTypeAlert = v;
    mUserDefaults->setObject(Value(v), kShowSyncTypeAlertKey);
}
void QuorvaneModel::setShowICloudTip(bool v) {
    mShowICloudTip = v;
    mUserDefaults->setObject(Value(v), kShowICloudTipKey);
}
void QuorvaneModel::setShowGoogleAccountTip(bool v) {
    mShowGoogleAccountTip = v;
    mUserDefaults->setObject(Value(v), kShowGoogleAccountTipKey);
}
void QuorvaneModel::setOriginalAppVersion(std::optional<std::string> v) {
    mOriginalAppVersion = std::move(v);
    storeString(*mUserDefaults, kOriginalAppVersionKey, mOriginalAppVersion);
}
void QuorvaneModel::setShowEditSyncActionsAlert(bool v) {
    mShowEditSyncActionsAlert = v;
    mUserDefaults->setObject(Value(v), kShowEditSyncActionsAlertKey);
}
void QuorvaneModel::setFilterByGroups(bool v) {
    mFilterByGroups = v;
    mUserDefaults->setObject(Value(v), kFilterByGroupsKey);
}
void QuorvaneModel::setIgnoreNewContactsSetting(int32_t v) {
    mIgnoreNewContactsSetting = v;
    mUserDefaults->setObject(Value(v), kIgnoreNewContactsSettingsKey);
}
void QuorvaneModel::setIgnoreEmptyContacts(bool v) {
    mIgnoreEmptyContacts = v;
    mUserDefaults->setObject(Value(v), kIgnoreEmptyContactsKey);
}
void QuorvaneModel::setAutoAddContactsToGroup(bool v) {
    mAutoAddContactsToGroup = v;
    mUserDefaults->setObject(Value(v), kAutoAddContactsToGroupKey);
}
void QuorvaneModel::setAutoAddToGroupName(std::optional<std::string> v) {
    mAutoAddToGroupName = std::move(v);
    storeString(*mUserDefaults, kAutoAddToGroupNameKey, mAutoAddToGroupName);
}
void QuorvaneModel::setSkipSyncConfirmationAlert(bool v) {
    mSkipSyncConfirmationAlert = v;
    mUserDefaults->setObject(Value(v), kSkipSyncConfirmationAlertKey);
}
void QuorvaneModel::setHasSentInitalLaunchAnswerEvent(bool v) {
    mHasSentInitalLaunchAnswerEvent = v;
    mUserDefaults->setObject(Value(v), kHasSentInitialLaunchAnswerEventKey);
}
void QuorvaneModel::setShowManualSyncAlert(bool v) {
    mShowManualSyncAlert = v;
    mUserDefaults->setObject(Value(v), kShowManualSyncAlertKey);
}
void QuorvaneModel::setHasShownSkipSyncConfirmationTip(bool v) {
    mHasShownSkipSyncConfirmationTip = v;
    mUserDefaults->setObject(Value(v), kHasShownSkipSyncConfirmationTipKey);
}
void QuorvaneModel::setLastICloudTipDate(std::optional<Date> v) {
    mLastICloudTipDate = v;
    storeDate(*mUserDefaults, kLastICloudTipDateKey, v);
}
void QuorvaneModel::setLastGoogleAccountTipDate(std::optional<Date> v) {
    mLastGoogleAccountTipDate = v;
    storeDate(*mUserDefaults, kLastGoogleAccountTipDateKey, v);
}
void QuorvaneModel::setLastLeaveReviewPromptDate(std::optional<Date> v) {
    mLastLeaveReviewPromptDate = v;
    storeDate(*mUserDefaults, kLastLeaveReviewPromptDateKey, v);
}
void QuorvaneModel::setAutoSyncLastUpdate(std::optional<Date> v) {
    mAutoSyncLastUpdate = v;
    storeDate(*mUserDefaults, kAutoSyncLastUpdateKey, v);
}
void QuorvaneModel::setLastCompletedSyncDate(std::optional<Date> v) {
    mLastCompletedSyncDate = v;
    storeDate(*mUserDefaults, kLastCompletedSyncDateKey, v);
}

void QuorvaneModel::setSelectedGroupStrings(const std::vector<std::string>& names) {
    mSelectedGroupSet.clear();
    mSelectedGroupSet_Lower.clear();
    Value::Array stored;
    for (const auto& name : names) {
        std::string lower = platform::lowercase(name);
        if (mSelectedGroupSet_Lower.count(lower)) continue;
        mSelectedGroupSet.insert(name);
        mSelectedGroupSet_Lower.insert(std::move(lower));
        stored.emplace_back(name);
    }
    mUserDefaults->setObject(Value(std::move(stored)), kSelectedGroupStringsKey);
}

// --- the rest of start-up ---

std::string QuorvaneModel::getDefaultAutoAddToGroupName() {
    return "Modified by: " + platform::BundleInfo::displayName();
}

void QuorvaneModel::onAddressBookChangedExternally(const platform::Notification&) {
    mLastAddressBookChangeDate = Date::now();
}

std::shared_ptr<GDataServiceGoogleContact> QuorvaneModel::getGoogleContactService() {
    if (!mGoogleContactService) {
        mGoogleContactService = GDataServiceGoogleContact::contactService();
        mGoogleContactService->setServiceShouldFollowNextLinks(true);
        mGoogleContactService->setIsServiceRetryEnabled(false);
    }
    // The account may have signed in or out since the last call.
    mGoogleContactService->setAuthorizer(mAuth);
    return mGoogleContactService;
}

std::string QuorvaneModel::DateFormatter::stringFromDate(Date date) const {
    UErrorCode status = U_ZERO_ERROR;
    icu::SimpleDateFormat format(icu::UnicodeString::fromUTF8(dateFormat), icu::Locale::getDefault(), status);
    if (U_FAILURE(status)) return "";
    icu::UnicodeString text;
    format.format(static_cast<UDate>(date.timeIntervalSince1970() * 1000.0), text);
    std::string out;
    text.toUTF8String(out);
    return out;
}

}  // namespace quorvane
