// The model's settings: the table of SyncSettings, loaded from the user defaults when the model
// starts, each setter storing its value under the same key at once. Also the contact-store change
// note and the contacts service of the signed-in account.

#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/unistr.h>

#include "platform/foundation/BundleInfo.h"
#include "platform/foundation/Strings.h"
#include "sync/QuorvaneModel.h"

namespace quorvane {

using platform::Date;

void QuorvaneModel::loadSettings() { mSettings->load(); }

platform::Result<void> QuorvaneModel::checkSettings() {
    const std::string file = mUserDefaults->path().string();
    auto unusable = [](const std::string& text) {
        return platform::Error::withDescription(kQuorvaneModelErrorDomain, kQuorvaneModelErrorSettingsUnusable, text);
    };
    // What the file says of the accounts decides whether the history is kept: a file that cannot
    // be read is not taken for one without them. It is read as it is now, with the run's lock
    // held: another process's run may have written it while this one waited.
    mUserDefaults->reload();
    std::string why;
    switch (mUserDefaults->fileState(&why)) {
        case platform::UserDefaults::FileState::Unreadable:
            return unusable("The settings file " + file + " cannot be read (" + why +
                            "), so nothing was changed on either side: without it the sync cannot tell which accounts "
                            "its history belongs to. Restore the file from a backup, or set the settings again (the "
                            "file is then started anew and the one that cannot be read kept beside it as .corrupt, or .corrupt.2 and "
                            "so on when one is kept already).");
        case platform::UserDefaults::FileState::Absent: {
            auto store = syncStore();
            auto history = store ? (*store)->fetchSyncHistory() : platform::Result<std::vector<SyncHistoryRecordPtr>>(store.error());
            if (history && history->empty()) break;
            return unusable("The settings file " + file +
                            " is missing, though this profile has synced before, so nothing was changed on either "
                            "side: without it the sync cannot tell which accounts its history belongs to. Restore the "
                            "file from a backup, or set the settings again (the sync history is then kept as it is).");
        }
        case platform::UserDefaults::FileState::Read: break;
    }
    // A value no setting takes is never read as its default (a junk syncDeletions is no "off").
    mSettings->load();
    if (const auto& problems = mSettings->problems(); !problems.empty()) {
        const auto& p = problems.front();
        return unusable("The settings file " + file + " holds " + p.stored + " for \"" + p.key + "\", which takes " +
                        p.expected + ", so nothing was changed on either side. Set \"" + p.key +
                        "\" again, or remove it from the file to use its default.");
    }
    return {};
}

// --- setters: each stores its value under its key (SyncSettings) ---

void QuorvaneModel::setSelectedManualSyncMode(int32_t v) { mSettings->setInt(Setting::SelectedManualSyncMode, v); }
void QuorvaneModel::setSelectedAutoSyncMode(int32_t v) { mSettings->setInt(Setting::SelectedAutoSyncMode, v); }
void QuorvaneModel::setSyncPhotosSetting(bool v) { mSettings->setBool(Setting::SyncPhotosSetting, v); }
void QuorvaneModel::setMergeContacts_2Way(bool v) { mSettings->setBool(Setting::MergeContacts_2Way, v); }
void QuorvaneModel::setMergeContacts_1Way(bool v) { mSettings->setBool(Setting::MergeContacts_1Way, v); }
void QuorvaneModel::setIgnoreOtherContacts(bool v) { mSettings->setBool(Setting::IgnoreOtherContacts, v); }
void QuorvaneModel::setForceUpdateContacts(bool v) { mSettings->setBool(Setting::ForceUpdateContacts, v); }
void QuorvaneModel::setSyncDeletedContacts(bool v) { mSettings->setBool(Setting::SyncDeletedContacts, v); }
void QuorvaneModel::setDetectGoogleDuplicates(bool v) { mSettings->setBool(Setting::DetectGoogleDuplicates, v); }
void QuorvaneModel::setBatchGoogleContacts(bool v) { mSettings->setBool(Setting::BatchGoogleContacts, v); }
void QuorvaneModel::setSyncCountryCodes(bool v) { mSettings->setBool(Setting::SyncCountryCodes, v); }
void QuorvaneModel::setWelcomeMessageShown(bool v) { mSettings->setBool(Setting::WelcomeMessageShown, v); }
void QuorvaneModel::setShowContactAccountWarnings(bool v) { mSettings->setBool(Setting::ShowContactAccountWarnings, v); }
void QuorvaneModel::setShowLeaveAReviewPrompt(bool v) { mSettings->setBool(Setting::ShowLeaveAReviewPrompt, v); }
void QuorvaneModel::setTellAFriendMessageShown(bool v) { mSettings->setBool(Setting::TellAFriendMessageShown, v); }
void QuorvaneModel::setLikeUsOnFacebookMessageShown(bool v) { mSettings->setBool(Setting::LikeUsOnFacebookMessageShown, v); }
void QuorvaneModel::setContactSourceMode(int32_t v) { mSettings->setInt(Setting::ContactSourceMode, v); }
void QuorvaneModel::setCustomContainerID(std::optional<std::string> v) { mSettings->setText(Setting::CustomContainerID, std::move(v)); }
void QuorvaneModel::setPreviousContainerID(std::optional<std::string> v) { mSettings->setText(Setting::PreviousContainerID, std::move(v)); }
void QuorvaneModel::setPreviousGmailUsername(std::optional<std::string> v) { mSettings->setText(Setting::PreviousGmailUsername, std::move(v)); }
void QuorvaneModel::setSelectedLanguage(int32_t v) { mSettings->setInt(Setting::SelectedLanguage, v); }
void QuorvaneModel::setAutoSyncUpdateInterval_Minutes(float v) { mSettings->setFloat(Setting::AutoSyncUpdateInterval_Minutes, v); }
void QuorvaneModel::setConfirmPendingDeletions(bool v) { mSettings->setBool(Setting::ConfirmPendingDeletions, v); }
void QuorvaneModel::setUseBlackAndWhiteIcon(bool v) { mSettings->setBool(Setting::UseBlackAndWhiteIcon, v); }
void QuorvaneModel::setAttachAppToMenuBar(bool v) { mSettings->setBool(Setting::AttachAppToMenuBar, v); }
void QuorvaneModel::setShowSyncTypeAlert(bool v) { mSettings->setBool(Setting::ShowSyncTypeAlert, v); }
void QuorvaneModel::setShowICloudTip(bool v) { mSettings->setBool(Setting::ShowICloudTip, v); }
void QuorvaneModel::setShowGoogleAccountTip(bool v) { mSettings->setBool(Setting::ShowGoogleAccountTip, v); }
void QuorvaneModel::setOriginalAppVersion(std::optional<std::string> v) { mSettings->setText(Setting::OriginalAppVersion, std::move(v)); }
void QuorvaneModel::setShowEditSyncActionsAlert(bool v) { mSettings->setBool(Setting::ShowEditSyncActionsAlert, v); }
void QuorvaneModel::setFilterByGroups(bool v) { mSettings->setBool(Setting::FilterByGroups, v); }
void QuorvaneModel::setIgnoreNewContactsSetting(int32_t v) { mSettings->setInt(Setting::IgnoreNewContactsSetting, v); }
void QuorvaneModel::setIgnoreEmptyContacts(bool v) { mSettings->setBool(Setting::IgnoreEmptyContacts, v); }
void QuorvaneModel::setAutoAddContactsToGroup(bool v) { mSettings->setBool(Setting::AutoAddContactsToGroup, v); }
void QuorvaneModel::setAutoAddToGroupName(std::optional<std::string> v) { mSettings->setText(Setting::AutoAddToGroupName, std::move(v)); }
void QuorvaneModel::setSkipSyncConfirmationAlert(bool v) { mSettings->setBool(Setting::SkipSyncConfirmationAlert, v); }
void QuorvaneModel::setHasSentInitalLaunchAnswerEvent(bool v) { mSettings->setBool(Setting::HasSentInitalLaunchAnswerEvent, v); }
void QuorvaneModel::setShowManualSyncAlert(bool v) { mSettings->setBool(Setting::ShowManualSyncAlert, v); }
void QuorvaneModel::setHasShownSkipSyncConfirmationTip(bool v) { mSettings->setBool(Setting::HasShownSkipSyncConfirmationTip, v); }
void QuorvaneModel::setLastICloudTipDate(std::optional<Date> v) { mSettings->setDate(Setting::LastICloudTipDate, std::move(v)); }
void QuorvaneModel::setLastGoogleAccountTipDate(std::optional<Date> v) { mSettings->setDate(Setting::LastGoogleAccountTipDate, std::move(v)); }
void QuorvaneModel::setLastLeaveReviewPromptDate(std::optional<Date> v) { mSettings->setDate(Setting::LastLeaveReviewPromptDate, std::move(v)); }
void QuorvaneModel::setAutoSyncLastUpdate(std::optional<Date> v) { mSettings->setDate(Setting::AutoSyncLastUpdate, std::move(v)); }
void QuorvaneModel::setLastCompletedSyncDate(std::optional<Date> v) { mSettings->setDate(Setting::LastCompletedSyncDate, std::move(v)); }

void QuorvaneModel::setSelectedGroupStrings(const std::vector<std::string>& names) {
    mSettings->setTextList(Setting::SelectedGroupStrings, names);
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
