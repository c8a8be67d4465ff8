// The run log and progress (RunLog, shown through the sink the caller sets), the pending local
// save request, and the small per-contact and per-account tests of a run.

#include "sync/QuorvaneModel.h"
#include "sync/Utils.h"

namespace quorvane {

// --- run log and progress ---

void QuorvaneModel::setProgressWithString(const std::string& text) { mRunLog.setProgress(text); }

void QuorvaneModel::setSubProgressWithString(const std::string& text) { mRunLog.setSubProgress(text); }

void QuorvaneModel::setProgressBarValue(float value) { mRunLog.setProgressBarValue(value); }

void QuorvaneModel::clearLog() { mRunLog.clear(); }

void QuorvaneModel::appendStringToLog(const std::optional<std::string>& text) { mRunLog.appendString(text); }

// --- the pending local save request ---

bool QuorvaneModel::executeSaveRequest() {
    bool ok = true;
    if (mPendingSaveRequest) {
        if (auto saved = mContactStore->executeSaveRequest(*mPendingSaveRequest); !saved) {
            const platform::Error& error = saved.error();
            appendStringToLog("Failed to Execute Save Request with Following Error: " + error.localizedDescription());
            mSyncErrors.push_back(error);
            ok = false;
        }
    }
    mPendingSaveRequest.reset();
    mLastAddressBookChangeDate = platform::Date::now();
    return ok;
}

void QuorvaneModel::saveDeletedAppleContactByAddingToSaveRequest(const platform::CNMutableContactPtr& contact) {
    if (!contact) return;
    if (!mPendingSaveRequest) mPendingSaveRequest = std::make_unique<platform::CNSaveRequest>();
    mPendingSaveRequest->deleteContact(contact);
}

void QuorvaneModel::saveDeletedAppleGroupByAddingToSaveRequest(const platform::CNMutableGroupPtr& group) {
    if (!group) return;
    if (!mPendingSaveRequest) mPendingSaveRequest = std::make_unique<platform::CNSaveRequest>();
    mPendingSaveRequest->deleteGroup(group);
}

// --- tests on contacts and accounts ---

bool QuorvaneModel::isGoogleAuthenticationError(const std::optional<platform::Error>& error) {
    if (!error) return false;
    if (error->code == 403) return true;
    if (error->code != 400) return false;
    const platform::Value* json = error->userInfo.find("json");
    if (!json || !json->isDictionary()) return false;
    const platform::Value* reason = json->find("error");
    return reason && reason->isString() && reason->asString() == "invalid_grant";
}

platform::CNContactPtr QuorvaneModel::getAppleReferenceContactWithAppleContact(const platform::CNContactPtr& contact) {
    if (!contact || contact->identifier().empty()) return contact;
    constexpr ContactKeySet kFullKeySet = 5;
    if (auto cached = getCachedAppleContactWithPartialContact(contact, kFullKeySet)) return cached;
    auto fetched = getAppleContactsMatchingPredicate(
        platform::CNContact::predicateForContactsWithIdentifiers({contact->identifier()}), kFullKeySet);
    if (!fetched || fetched->empty() || !fetched->front()) return contact;
    return fetched->front();
}

bool QuorvaneModel::isOtherContact(const std::shared_ptr<GDataEntryContact>& contact) {
    return contact && GoogleContactCache::readValues(*contact, GoogleContactCache::Values::kGroups).groups.empty();
}

bool QuorvaneModel::isGoogleContactAlreadyMatched(const std::shared_ptr<GDataEntryContact>& contact) {
    if (!contact) return false;
    auto id = contact->identifier();
    return id && mGoogleRecordsAlreadyMatched.count(*id);
}

bool QuorvaneModel::isAppleContactAlreadyMatched(const platform::CNContactPtr& contact) {
    return contact && mAppleRecordsAlreadyMatched.count(contact->identifier());
}

void QuorvaneModel::clearAlreadyMatched() {
    mGoogleRecordsAlreadyMatched.clear();
    mAppleRecordsAlreadyMatched.clear();
}

bool QuorvaneModel::isGroupFilterActive() { return filterByGroups() && !selectedGroupSet().empty(); }

bool QuorvaneModel::forceUpdateAllContacts() { return forceUpdateContacts() && !mAutomaticSync; }

bool QuorvaneModel::isSyncingFacebook() { return isFacebookContainer(mSelectedContainer); }

std::vector<std::string> QuorvaneModel::automaticChoiceRefusal() {
    std::vector<std::string> candidates;
    if (contactSourceMode() != ContactSourceModeAutoSelect) return candidates;
    for (const auto& c : getAppleContainersWithError().valueOr(std::vector<platform::CNContainerPtr>{})) {
        if (!c || isFacebookContainer(c) || isGoogleContainer(c) || isReadOnlyContainer(c)) continue;
        candidates.push_back("\"" + c->name() + "\" (" + c->identifier() + ")");
    }
    if (candidates.size() <= 1) candidates.clear();
    return candidates;
}

platform::Result<void> QuorvaneModel::checkForContactAccountErrorsWithSelectedSyncMode(int32_t syncMode, bool) {
    auto refuse = [&](const std::string& text) -> platform::Result<void> {
        appendStringToLog(text);
        return platform::Error::withDescription(kQuorvaneModelErrorDomain, kQuorvaneModelErrorAccountRefused, text);
    };
    if (auto selected = updateSelectedContainerWithError(); !selected) {
        appendStringToLog(selected.error().localizedDescription());
        return selected;
    }
    if (getAppleSourceInfo().selectedContainerMissing) {
        return refuse(Utils::localized("QuorvaneAC_AttemptingToSyncInvalidAccount",
                                       "Error - Attempting to Sync Invalid Account"));
    }
    // Automatic selection that finds nothing to sync is no selection of every account.
    if (contactSourceMode() == ContactSourceModeAutoSelect && !mSelectedContainer) {
        return refuse(Utils::localized("QuorvaneAC_NoAccountToSync", "Error - No Local Account to Sync"));
    }
    // Nor does it pick one of several accounts on its own: a new account would take the sync over
    // unasked (every contact copied into it, the old one no longer synced). The user chooses.
    if (auto candidates = automaticChoiceRefusal(); !candidates.empty()) {
        std::string names;
        for (const auto& c : candidates) names += (names.empty() ? "" : ", ") + c;
        return refuse("The local account to sync is chosen automatically, and there are " + std::to_string(candidates.size()) +
                      ": " + names +
                      ". Nothing was changed on either side. Choose the one to sync: set customContainerID to its "
                      "identifier and contactSourceMode to 1 (or contactSourceMode to 2 to sync every account).");
    }
    // Nothing is written into an account that only grants reading.
    if (mSelectedContainer && syncMode != SyncModeMacToGoogle && isReadOnlyContainer(mSelectedContainer)) {
        return refuse(Utils::localized("QuorvaneAC_ReadOnlyAccount", "Error - The Local Account Is Read-Only"));
    }
    return {};
}

}  // namespace quorvane
