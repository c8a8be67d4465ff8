// The sync history: loading it from the profile's store and indexing it (SyncHistory), the
// strategy of each pair (computeSyncStrategy), writing it back after a run, the clearing rules,
// and the record of each run.

#include <algorithm>
#include <map>

#include "platform/contacts/CNContactKeys.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"
#include "sync/ContentDigest.h"
#include "sync/ContactFieldTable.h"
#include "sync/QuorvaneModel.h"
#include "sync/Utils.h"

namespace quorvane {

namespace {

using platform::Error;

bool isEmpty(const std::optional<std::string>& s) { return !s || s->empty(); }

// The photoDigest of a local contact's photo: from its bytes when it was read with them, else
// from the contact cache, which kept it when it dropped them; nullopt when neither knows it.
template <class Cache>
std::optional<uint64_t> knownPhotoDigest(QuorvaneModel& model, const Cache& cache, const platform::CNContactPtr& contact) {
    if (!contact) return uint64_t(0);
    if (contact->isKeyAvailable(platform::CNContactImageDataKey) ||
        contact->isKeyAvailable(platform::CNContactThumbnailImageDataKey)) {
        return photoDigest(model.getAppleContactImageData(contact));
    }
    if (auto it = cache.find(contact->identifier()); it != cache.end()) {
        for (const auto& cached : it->second)
            if (cached && cached->mAppleContact == contact && cached->mImageDigest) return cached->mImageDigest;
        for (const auto& cached : it->second)
            if (cached && cached->mImageDigest) return cached->mImageDigest;
    }
    return std::nullopt;
}

std::string replaceFirst(std::string text, std::string_view placeholder, const std::string& value) {
    if (auto at = text.find(placeholder); at != std::string::npos) text.replace(at, placeholder.size(), value);
    return text;
}

// A store that exists but cannot be used: which file, the real cause, and what to do about it.
// Only a file whose content is damaged is worth setting aside; any other cause leaves the history
// in it whole for the run after the cause is mended.
Error unreadableHistory(const std::filesystem::path& file, const Error& cause) {
    const std::string history = "The sync history " + file.string();
    const std::string why = " (" + cause.localizedDescription() + "), so nothing was changed on either side. ";
    const std::string kept = "; the history in it is kept.";
    std::string text;
    switch (cause.domain == kSyncStoreErrorDomain ? cause.code : kSyncStoreErrorDamaged) {
        case kSyncStoreErrorNewer:
            text = history + " was written by a newer version of quorvane" + why + "Use that version" + kept;
            break;
        case kSyncStoreErrorPermission:
            text = history + " cannot be opened: permission denied" + why +
                   "Let this user read and write the file and its folder, then run again" + kept;
            break;
        case kSyncStoreErrorReadOnly:
            text = history + " cannot be written: the file or its folder is read-only" + why +
                   "Make them writable, then run again" + kept;
            break;
        case kSyncStoreErrorBusy:
            text = history + " is busy: another process is writing or upgrading it" + why +
                   "Run again once it has finished" + kept;
            break;
        case kSyncStoreErrorDiskFull:
            text = history + " cannot be written: the disk is full" + why + "Free some space, then run again" + kept;
            break;
        case kSyncStoreErrorOther:
            text = history + " cannot be opened" + why + "Check the disk, then run again" + kept;
            break;
        default:
            text = history + " cannot be read" + why +
                   "Restore the file from a backup, or move it aside to start again as a first sync, which cannot "
                   "know of the contacts deleted on either side since the last sync, nor which side changed a "
                   "contact since: a contact edited on either side since the last sync may have that edit "
                   "overwritten by the other side's older values, and deleted contacts come back.";
            break;
    }
    Error error(kQuorvaneModelErrorDomain, kQuorvaneModelErrorHistoryUnreadable);
    error.userInfo.set(Error::kLocalizedDescriptionKey, text);
    return error;
}

}  // namespace

platform::Result<SyncStore*> QuorvaneModel::syncStore() {
    if (mSyncStore) return mSyncStore.get();
    auto opened = SyncStore::open(SyncStore::pathInFolder(dataFolder()));
    if (!opened) return opened.error();
    mSyncStore = std::move(*opened);
    return mSyncStore.get();
}

platform::Result<void> QuorvaneModel::checkSyncStore() {
    auto opened = syncStore();
    platform::Result<void> read = opened ? (*opened)->checkSyncHistory() : platform::Result<void>(opened.error());
    if (read) return {};
    return unreadableHistory(SyncStore::pathInFolder(dataFolder()), read.error());
}

NSSyncRecordPtr QuorvaneModel::newSyncRecord() {
    auto record = std::make_shared<NSSyncRecord>();
    // A model not held by a shared pointer gives its records no model to ask, never the shared one.
    record->setModel(weak_from_this());
    return record;
}

// --- loading ---

platform::Result<void> QuorvaneModel::fetchSyncHistory() {
    auto loaded = loadSyncHistoryForRun(false, true);
    if (!loaded) return loaded.error();
    return {};
}

platform::Result<QuorvaneModel::HistoryLoad> QuorvaneModel::loadSyncHistoryForRun(bool writeNothing, bool clearConfirmed) {
    // A store that cannot be opened is not cleared either: what the last run noted stays as it
    // was, for the run after the store is mended.
    if (auto opened = syncStore(); !opened) {
        mSyncHistory.load({}, std::nullopt);
        return unreadableHistory(SyncStore::pathInFolder(dataFolder()), opened.error());
    }
    // Which accounts the history belongs to is part of it: one that cannot be read stops the run.
    auto owner = historyLocalAccounts();
    if (!owner) return unreadableHistory(SyncStore::pathInFolder(dataFolder()), owner.error());
    HistoryLoad result;
    const int32_t reason = shouldClearSyncHistory();
    // From one container to another the history stays, each record naming its container; but the
    // new one has none of its own, so what was deleted in the one before comes back in it.
    const std::string current = mSelectedContainer ? mSelectedContainer->identifier() : std::string();
    if (reason == 0 && *owner && !(*owner)->containerID.empty() && !current.empty() && (*owner)->containerID != current) {
        std::string text = "The local account selection changed since the last sync: the sync history belongs to " +
                           (*owner)->name + " (" + (*owner)->containerID + "), and " + describeContainer(mSelectedContainer) +
                           " has none of its own, so its contacts are paired anew";
        if (auto fetched = doFetchSyncHistory(); !fetched) return fetched.error();
        const size_t pending = deletionsNotYetCarried(true);
        if (pending > 0) {
            text += "; the history still holds " + std::to_string(pending) + " deletion" + (pending == 1 ? "" : "s") +
                    " not yet carried (contacts deleted on one side since the last sync), and they would come back in it.";
            if (!writeNothing && !clearConfirmed) {
                appendStringToLog(text);
                return platform::Error::withDescription(kQuorvaneModelErrorDomain, kQuorvaneModelErrorHistoryClearNotConfirmed,
                                                        text + " Nothing was changed on either side.");
            }
            if (writeNothing) text += " A sync asks for confirmation.";
        } else {
            text += ".";
        }
        appendStringToLog(text);
        if (writeNothing) result.note = text;
    }
    if (reason != 0) {
        if (auto fetched = doFetchSyncHistory(); !fetched) return fetched.error();
        const std::string why = reason == 1 ? Utils::localized("QVR_ClearedSyncHistoryNewGmailAccount",
                                                               "Cleared sync history since a new Google account was selected.")
                                            : Utils::localized("QVR_ClearedSyncHistoryNewMacAccount",
                                                               "Cleared sync history since another local account was selected.");
        if (reason == 2) {
            if (const size_t pending = deletionsNotYetCarried(); pending > 0 && !clearConfirmed) {
                const std::string text =
                    "The local account selection changed since the last sync, which clears the sync history; it still "
                    "holds " + std::to_string(pending) + " deletion" + (pending == 1 ? "" : "s") +
                    " not yet carried (contacts deleted on one side since the last sync), and without it they would "
                    "come back.";
                if (!writeNothing) {
                    appendStringToLog(text);
                    return platform::Error::withDescription(kQuorvaneModelErrorDomain,
                                                            kQuorvaneModelErrorHistoryClearNotConfirmed,
                                                            text + " Nothing was changed on either side.");
                }
                result.note = text + " A sync asks for confirmation.";
            }
        }
        if (writeNothing) {
            // What the sync would plan, without touching the store or the settings.
            mSyncHistory.load({}, mSelectedContainer ? std::optional<std::string>(mSelectedContainer->identifier())
                                                     : std::nullopt);
            appendStringToLog(why + " (not saved: a plan writes nothing)");
            if (!result.note) result.note = why.substr(0, why.size() - 1) + ": the plan starts from no history.";
            return result;
        }
        // The clear is saved before anything is planned, and the accounts are noted only once it
        // is: a clear that did not happen is tried again by the next run.
        if (auto cleared = clearSyncHistory(); !cleared) {
            Error error(kQuorvaneModelErrorDomain, kQuorvaneModelErrorHistoryNotCleared);
            error.userInfo.set(Error::kLocalizedDescriptionKey,
                               "The sync history has to be cleared, " + why.substr(why.find("since")) +
                                   " It could not be (" + cleared.error().localizedDescription() +
                                   "), so nothing was changed on either side. Run the sync again.");
            return error;
        }
        appendStringToLog(why);
    }
    if (!writeNothing && !notePreviousAccounts()) {
        Error error(kQuorvaneModelErrorDomain, kQuorvaneModelErrorSettingsUnusable);
        error.userInfo.set(Error::kLocalizedDescriptionKey,
                           "The settings file " + mUserDefaults->path().string() +
                               " cannot be written, so the accounts of this sync cannot be noted: nothing was changed "
                               "on either side. Check that the file and its folder can be written.");
        return error;
    }
    if (auto fetched = doFetchSyncHistory(); !fetched) return fetched.error();
    std::string text = Utils::localized("QVR_FetchedSyncRecords_Formatted", "Fetched %d Sync History records (%d relevant)");
    text = replaceFirst(std::move(text), "%d", std::to_string(mSyncHistory.records().size()));
    text = replaceFirst(std::move(text), "%d", std::to_string(mSyncHistory.relevantCount()));
    appendStringToLog(text);
    return result;
}

size_t QuorvaneModel::deletionsNotYetCarried(bool localOnly) {
    if (!syncDeletedContacts()) return 0;
    // The records of the previous selection: every one after all accounts, else its container's.
    const auto previous = previousLocalSelection();
    std::set<std::string> googleIDs, appleIDs;
    if (mContactFeed && mContactFeed->entries())
        for (const auto& e : *mContactFeed->entries())
            if (auto g = std::dynamic_pointer_cast<GDataEntryContact>(e))
                if (auto id = g->identifier()) googleIDs.insert(*id);
    auto every = getEveryAppleContactIdentifier();
    if (!every) return 0;
    appleIDs.insert(every->begin(), every->end());
    size_t pending = 0;
    for (const auto& r : mSyncHistory.records()) {
        if (!r || (!isEmpty(previous) && r->appleSourceID.value_or("") != *previous)) continue;
        const bool google = r->googleID && googleIDs.count(*r->googleID);
        const bool apple = r->appleRecordID && appleIDs.count(*r->appleRecordID);
        if (google != apple && (google || !localOnly)) ++pending;
    }
    return pending;
}

int32_t QuorvaneModel::shouldClearSyncHistory() {
    int32_t answer = 0;
    // An empty user name is nobody signed in, not another account, and a user never noted (a new
    // profile) is no change: forgetting every pair for either would make the run treat every
    // contact as new.
    const std::string username = getUsername();
    // The settings' word first (it may be set by hand); the store's where the settings lost it,
    // so that a settings file made anew does not hand one account's history to another.
    auto previousUser = previousGmailUsername();
    if (isEmpty(previousUser)) previousUser = historyGoogleUser();
    if (!username.empty() && !isEmpty(previousUser) && stringsDifferWithString1(username, *previousUser)) answer = 1;
    // Between one container and another the history stays: each record names its container. All
    // accounts are noted as "", so a selection never noted is told from all accounts.
    std::optional<std::string> containerID;
    if (mSelectedContainer) containerID = mSelectedContainer->identifier();
    const auto previous = previousLocalSelection();
    if (previous && isEmpty(containerID) != isEmpty(previous)) answer = 2;
    return answer;
}

std::optional<std::string> QuorvaneModel::previousLocalSelection() {
    // The store's word first: a settings file made anew (or set by hand) does not move the history.
    if (auto owner = historyLocalAccounts(); owner && *owner) return (*owner)->containerID;
    return previousContainerID();
}

std::optional<std::string> QuorvaneModel::historyGoogleUser() {
    auto store = syncStore();
    if (!store) return std::nullopt;
    auto noted = (*store)->historyAccounts();
    return noted && *noted ? (*noted)->googleUser : std::nullopt;
}

platform::Result<std::optional<QuorvaneModel::HistoryLocalAccounts>> QuorvaneModel::historyLocalAccounts() {
    auto store = syncStore();
    if (!store) return store.error();
    auto noted = (*store)->historyAccounts();
    if (!noted) return noted.error();
    const std::string current = mSelectedContainer ? mSelectedContainer->identifier() : std::string();
    auto named = [this](const std::string& id, const std::optional<std::string>& notedName) {
        if (id.empty()) return std::string("all accounts");
        if (auto container = getContainerWithIdentifier(id)) return describeContainer(container);
        return "\"" + notedName.value_or(id) + "\"";
    };
    if (*noted) return std::optional<HistoryLocalAccounts>(
        HistoryLocalAccounts{(*noted)->localSelection, named((*noted)->localSelection, (*noted)->localAccountName), false});
    // Noted by no run of this version: what the records name. The current selection when they hold
    // records of its own; else the one the settings noted, when they hold its; else all accounts
    // when any record was written for them; else the container most records name.
    auto sources = (*store)->storedRecordsPerLocalSource();
    if (!sources) return sources.error();
    std::map<std::string, size_t>& containers = *sources;
    const bool all = containers.erase("") > 0;
    if (!all && containers.empty()) return std::optional<HistoryLocalAccounts>();
    auto holds = [&](const std::string& id) { return id.empty() ? all : containers.count(id) > 0; };
    std::string selection;
    if (holds(current)) {
        selection = current;
    } else if (auto settings = previousContainerID(); settings && holds(*settings)) {
        selection = *settings;
    } else if (!all) {
        selection = std::max_element(containers.begin(), containers.end(),
                                     [](const auto& a, const auto& b) { return a.second < b.second; })->first;
    }
    return std::optional<HistoryLocalAccounts>(HistoryLocalAccounts{selection, named(selection, std::nullopt), true});
}

std::string QuorvaneModel::describeContainer(const platform::CNContainerPtr& container) {
    if (!container) return "all accounts";
    return "\"" + container->name() + "\"";
}

bool QuorvaneModel::notePreviousAccounts() {
    const std::string username = getUsername();
    if (!username.empty() && stringsDifferWithString1(username, previousGmailUsername())) setPreviousGmailUsername(username);
    const std::string containerID = mSelectedContainer ? mSelectedContainer->identifier() : std::string();
    if (previousContainerID() != containerID) setPreviousContainerID(containerID);
    if (auto store = syncStore()) {
        std::optional<std::string> name;
        if (mSelectedContainer) name = mSelectedContainer->name();
        // Signed out, the user noted before stays.
        auto user = username.empty() ? historyGoogleUser() : std::optional<std::string>(username);
        (*store)->setHistoryAccounts(HistoryAccounts{containerID, name, std::move(user)});
    }
    return mUserDefaults->synchronize();
}

platform::Result<void> QuorvaneModel::doFetchSyncHistory() {
    std::vector<SyncHistoryRecordPtr> records;
    auto store = syncStore();
    auto read = store ? (*store)->fetchSyncHistory() : platform::Result<std::vector<SyncHistoryRecordPtr>>(store.error());
    if (read) records = std::move(*read);
    std::optional<std::string> containerID;
    if (mSelectedContainer) containerID = mSelectedContainer->identifier();
    mSyncHistory.load(std::move(records), containerID);
    if (!read) return unreadableHistory(SyncStore::pathInFolder(dataFolder()), read.error());
    return {};
}

void QuorvaneModel::updateSyncHistoryDict() {
    std::optional<std::string> containerID;
    if (mSelectedContainer) containerID = mSelectedContainer->identifier();
    auto records = mSyncHistory.records();
    mSyncHistory.load(std::move(records), containerID);
}

void QuorvaneModel::updatePairedContactsDict() {
    updatePairedContactsDict(
        [this](const std::string& id) {
            auto found = mGoogleContactDict.find(id);
            return found == mGoogleContactDict.end() ? nullptr : found->second;
        },
        [this](const std::string& id) {
            auto found = mExistingAppleContactDict.find(id);
            return found == mExistingAppleContactDict.end() ? nullptr : found->second;
        });
}

void QuorvaneModel::updatePairedContactsDict(const GoogleContactLookup& googleContactDict,
                                             const AppleContactLookup& existingAppleContactDict) {
    mSyncHistory.updatePairedContacts(
        [&](const std::string& googleID) { return googleContactDict && googleContactDict(googleID) != nullptr; },
        [&](const std::string& appleID) -> std::optional<std::optional<platform::Date>> {
            auto contact = existingAppleContactDict ? existingAppleContactDict(appleID) : nullptr;
            if (!contact) return std::nullopt;
            return getCreationDateWithAppleContact(contact);
        });
}

bool QuorvaneModel::hasSyncHistoryRecordWithAppleContact(const platform::CNContactPtr& contact) {
    return contact && mSyncHistory.hasRecordForAppleID(contact->identifier());
}

bool QuorvaneModel::hasSyncHistoryRecordWithGoogleRecord(const std::shared_ptr<GDataEntryContact>& contact) {
    auto id = googleIdentifier(contact);
    return !isEmpty(id) && mSyncHistory.hasRecordForGoogleID(id);
}

// --- strategy ---

bool QuorvaneModel::appleContactExistsInStore(const std::string& identifier) {
    if (identifier.empty()) return false;
    if (mExistingAppleContactDict.count(identifier)) return true;
    if (!mSelectedContainer) return false;  // the run read every account
    if (!mHistoryContactsOutsideSelection) {
        std::vector<std::string> named;
        for (const auto& r : mSyncHistory.records()) {
            if (r && r->appleRecordID && !r->appleRecordID->empty() && mSyncHistory.isRelevant(*r) &&
                !mExistingAppleContactDict.count(*r->appleRecordID))
                named.push_back(*r->appleRecordID);
        }
        std::sort(named.begin(), named.end());
        named.erase(std::unique(named.begin(), named.end()), named.end());
        std::unordered_set<std::string> held;
        for (size_t at = 0; at < named.size(); at += kMaxIdentifiersPerFetch) {
            std::vector<std::string> part(named.begin() + at, named.begin() + std::min(named.size(), at + kMaxIdentifiersPerFetch));
            auto found = getAppleContactsMatchingPredicate(platform::CNContact::predicateForContactsWithIdentifiers(part), 0);
            if (!found) {
                held.insert(named.begin(), named.end());
                break;
            }
            for (const auto& c : *found)
                if (c) held.insert(c->identifier());
        }
        mHistoryContactsOutsideSelection = std::move(held);
    }
    return mHistoryContactsOutsideSelection->count(identifier) > 0;
}

SyncStrategyInfo QuorvaneModel::getSyncStrategyWithAppleContact(const platform::CNContactPtr& apple,
                                                                const std::shared_ptr<GDataEntryContact>& google) {
    SyncStrategyInputs in;
    in.hasAppleContact = apple != nullptr;
    in.hasGoogleContact = google != nullptr;
    // The Google contact's memberships and photo link, read once for all that asks below.
    using Values = GoogleContactCache::Values;
    const Values googleValues = google ? GoogleContactCache::readValues(*google, Values::kGroups | Values::kPhotoLink) : Values();
    in.isOtherContact = google && googleValues.groups.empty();
    in.syncMode = mSyncMode;
    in.syncDeletedContacts = syncDeletedContacts();
    in.syncPhotos = syncPhotosSetting();
    in.mergeContacts_2Way = mergeContacts_2Way();
    in.mergeContacts_1Way = mergeContacts_1Way();

    SyncHistoryRecordPtr record;
    if (apple && google) {
        auto googleID = googleIdentifier(google);
        record = mSyncHistory.recordForPair(apple->identifier(), googleID.value_or(""));
        // A pair made anew (by name, say) of a contact whose recorded partner was deleted since,
        // a card deleted and a like one made, is judged against that record: what the deleted
        // card held is what its side held at the last run, so none of its values come back.
        if (!record) {
            for (const auto& r : mSyncHistory.recordsForGoogleID(googleID))
                if (r && r->appleRecordID && !appleContactExistsInStore(*r->appleRecordID)) record = r;
        }
        if (!record && !googleContactFeedCutShort()) {
            for (const auto& r : mSyncHistory.recordsForAppleID(apple->identifier()))
                if (r && r->googleID && !mGoogleContactDict.count(*r->googleID)) record = r;
        }
    } else if (apple) {
        record = mSyncHistory.firstRecordForAppleID(apple->identifier());
        in.partnerExists = [this, id = apple->identifier()] {
            for (const auto& r : mSyncHistory.recordsForAppleID(id))
                if (r && r->googleID && mGoogleContactDict.count(*r->googleID)) return true;
            return false;
        };
    } else if (google) {
        const std::string id = googleIdentifier(google).value_or("");
        record = mSyncHistory.firstRecordForGoogleID(id);
        in.partnerExists = [this, id] {
            for (const auto& r : mSyncHistory.recordsForGoogleID(id))
                if (r && r->appleRecordID && appleContactExistsInStore(*r->appleRecordID)) return true;
            return false;
        };
    }
    in.record = record.get();
    if (record && apple && google) {
        in.googleUpdateDate = googleUpdatedDate(google);
        in.appleModificationDate = getModificationDateWithAppleContact(apple);
        in.appleGroupNamesHash = getGroupHashWithGroups(getAppleContactGroupNamesWithAppleContactID(apple->identifier()));
        in.googleGroupNamesHash = getGroupHashWithGroups(googleGroupNamesOfMemberships(googleValues.groups, false));
        const auto* photo = googleValues.photoLink();
        in.googlePhotoETag = photo ? photo->etag : std::nullopt;
        in.applePhotoSize = [this, apple] { return getPhotoSizeWithAppleContact(apple, -1); };
        in.applePhotoDigest = [this, apple] { return knownPhotoDigest(*this, mCachedAppleContactDict, apple); };
        in.appleContentDigest = [apple] { return localContentDigest(*apple); };
        in.googleContentDigest = [this, google] { return googleContentDigestOfContact(*google); };
    } else if (apple && google) {
        // A first pairing: a photo on one side only is carried.
        const auto* photo = googleValues.photoLink();
        in.googlePhotoETag = photo ? photo->etag : std::nullopt;
        in.applePhotoSize = [this, apple] { return getPhotoSizeWithAppleContact(apple, -1); };
    }
    return computeSyncStrategy(in);
}

int32_t QuorvaneModel::getPhotoSizeWithAppleContact(const platform::CNContactPtr& contact, int32_t cachedSize) {
    if (cachedSize >= 0) return cachedSize;
    if (!contact) return 0;
    if (contact->isKeyAvailable(platform::CNContactImageDataKey) ||
        contact->isKeyAvailable(platform::CNContactThumbnailImageDataKey)) {
        auto image = getAppleContactImageData(contact);
        return image ? int32_t(image->size()) : 0;
    }
    // A copy from the contact cache: the cache kept the size of the photo it dropped.
    if (auto it = mCachedAppleContactDict.find(contact->identifier()); it != mCachedAppleContactDict.end()) {
        for (const auto& cached : it->second) {
            if (cached && cached->mAppleContact == contact && cached->mImageSize) return *cached->mImageSize;
        }
        for (const auto& cached : it->second) {
            if (cached && cached->mImageSize) return *cached->mImageSize;
        }
    }
    return 0;
}

bool QuorvaneModel::shouldSyncPhotosWithAppleContact(const platform::CNContactPtr&,
                                                     const std::shared_ptr<GDataEntryContact>&, int32_t syncAction,
                                                     bool photoVerifiedNotChanged_Apple,
                                                     bool photoVerifiedNotChanged_Google) {
    if (!syncPhotosSetting()) return false;
    if (forceUpdateAllContacts()) return true;
    if (syncAction == SyncActionMacToGoogle && photoVerifiedNotChanged_Apple) return false;
    if (syncAction == SyncActionGoogleToMac && photoVerifiedNotChanged_Google) return false;
    return true;
}

// --- writing ---

bool QuorvaneModel::shouldRemoveSyncHistoryRecordsAssociatedWithSyncRecord(const NSSyncRecordPtr& record) {
    return record && historyForgetsPairsOfRecord(*record, mSyncMode);
}

void QuorvaneModel::removeSyncHistoryRecordsAssociatedWithSyncRecord(const NSSyncRecordPtr& record) {
    if (!record) return;
    SyncStore* store = syncStore().valueOr(nullptr);
    if (!store) return;
    if (record->mAppleContact && !record->mAppleContact->identifier().empty()) {
        for (const auto& r : mSyncHistory.recordsForAppleID(record->mAppleContact->identifier())) store->deleteSyncHistory(r);
    }
    auto googleID = googleIdentifier(record->mGoogleContact);
    if (!isEmpty(googleID)) {
        for (const auto& r : mSyncHistory.recordsForGoogleID(googleID)) store->deleteSyncHistory(r);
    }
}

platform::Result<std::vector<std::string>> QuorvaneModel::serializeSyncData(const std::vector<NSSyncRecordPtr>& records,
                                                        const GoogleContactLookup& googleContactDict) {
    auto opened = syncStore();
    if (!opened) return opened.error();
    SyncStore* store = *opened;

    // The memberships that could be read are the ones the history records.
    updateGroupMembershipByPersonWithError();
    std::optional<std::string> containerID;
    if (mSelectedContainer) containerID = mSelectedContainer->identifier();
    auto everyAppleContact = getEveryAppleContactIdentifier();
    std::unordered_set<std::string> allAppleContacts;
    if (everyAppleContact) {
        allAppleContacts.reserve(everyAppleContact->size());
        for (auto& identifier : *everyAppleContact)
            if (!identifier.empty()) allAppleContacts.insert(std::move(identifier));
        everyAppleContact->clear();
    }

    // A local contact written in this run is held as it was read for the write, without its
    // photo: the size the history keeps is read from the store, where the photo is.
    std::map<std::string, int32_t> storedPhotoSizes;
    std::map<std::string, uint64_t> storedPhotoDigests;
    {
        std::vector<std::string> unread;
        for (const auto& s : records) {
            if (s && s->mMutableAppleContact && !s->mMutableAppleContact_Image &&
                !s->mMutableAppleContact->isKeyAvailable(platform::CNContactImageDataKey) &&
                !s->mMutableAppleContact->identifier().empty()) {
                unread.push_back(s->mMutableAppleContact->identifier());
            }
        }
        for (size_t at = 0; at < unread.size(); at += kMaxIdentifiersPerFetch) {
            std::vector<std::string> chunk(unread.begin() + at, unread.begin() + std::min(unread.size(), at + kMaxIdentifiersPerFetch));
            auto stored = mContactStore->unifiedContactsMatchingPredicate(
                platform::CNContact::predicateForContactsWithIdentifiers(chunk), {platform::CNContactImageDataKey});
            for (const auto& c : stored.valueOr(std::vector<platform::CNContactPtr>{})) {
                if (!c) continue;
                storedPhotoSizes[c->identifier()] = getPhotoSizeWithAppleContact(c, -1);
                storedPhotoDigests[c->identifier()] = photoDigest(getAppleContactImageData(c));
            }
        }
    }
    auto photoSize = [&](const platform::CNContactPtr& contact) {
        auto it = storedPhotoSizes.find(contact->identifier());
        if (it != storedPhotoSizes.end() && !contact->isKeyAvailable(platform::CNContactImageDataKey)) return it->second;
        return getPhotoSizeWithAppleContact(contact, -1);
    };

    // The record dates of the local contacts the history may keep, read many at a time (a contact
    // written in this run is held without them).
    StoredRecordDates storedDates;
    {
        std::vector<platform::CNContactPtr> kept;
        kept.reserve(records.size());
        for (const auto& s : records)
            if (s) kept.push_back(s->mMutableAppleContact ? s->mMutableAppleContact : s->mAppleContact);
        storedDates = getStoredRecordDatesWithAppleContacts(kept);
    }

    SyncHistoryWriteInputs inputs;
    inputs.syncMode = mSyncMode;
    inputs.containerID = containerID;
    inputs.appleDate = [this, &storedDates](const platform::CNContactPtr& apple) {
        auto date = getModificationDateWithAppleContact(apple, &storedDates);
        return date ? date : getCreationDateWithAppleContact(apple, &storedDates);
    };
    inputs.appleGroupHash = [this](const platform::CNContactPtr& apple) {
        return getGroupHashWithGroups(getAppleContactGroupNamesWithAppleContactID(apple->identifier()));
    };
    inputs.appleGroupHashWithout = [this](const platform::CNContactPtr& apple, const std::vector<std::string>& left) {
        auto names = getAppleContactGroupNamesWithAppleContactID(apple->identifier());
        if (names)
            std::erase_if(*names, [&](const std::string& name) {
                const auto trimmed = trimWhitespaceFromString(name);
                return std::any_of(left.begin(), left.end(), [&](const std::string& l) { return stringsEqualWithString1(trimmed, l); });
            });
        return getGroupHashWithGroups(names && names->empty() ? std::nullopt : names);
    };
    inputs.googleGroupHash = [this](const std::shared_ptr<GDataEntryContact>& google) {
        return getGroupHashWithGroups(getGoogleContactGroupNamesWithContact(google, false));
    };
    inputs.applePhotoSize = photoSize;
    inputs.applePhotoDigest = [&](const platform::CNContactPtr& contact) -> std::optional<uint64_t> {
        auto it = storedPhotoDigests.find(contact->identifier());
        if (it != storedPhotoDigests.end() && !contact->isKeyAvailable(platform::CNContactImageDataKey)) return it->second;
        return knownPhotoDigest(*this, mCachedAppleContactDict, contact);
    };
    inputs.googleDigest = [this](const GDataEntryContact& google) { return googleContentDigestOfContact(google); };
    inputs.sidesDiffer = [this](const platform::CNContactPtr& apple, const std::shared_ptr<GDataEntryContact>& google) {
        const auto whole = wholeGoogleContact(google);
        int32_t difference = ContactDifferenceNone;
        return !whole || contactsDifferWithAppleContact(apple, apple, whole,
                                                        getAppleContactGroupNamesWithAppleContactID(apple->identifier()),
                                                        &difference);
    };
    inputs.appleFieldValues = [this](const platform::CNContactPtr& apple) -> std::optional<FieldValues> {
        for (const auto& row : contactFieldTable())
            for (const char* key : row.keys)
                if (row.difference != ContactDifferencePhoto)
                    if (!apple->isKeyAvailable(key)) return std::nullopt;  // not read whole
        return localFieldValues(*apple);
    };
    inputs.googleFieldValues = [this](const std::shared_ptr<GDataEntryContact>& google) -> std::optional<FieldValues> {
        const auto whole = wholeGoogleContact(google);
        if (!whole) return std::nullopt;
        return googleFieldValues(*whole);
    };
    const SyncHistoryChanges changes = historyChangesOfRun(records, mSyncHistory, inputs);
    for (const auto& r : changes.deleted) store->deleteSyncHistory(r);
    for (const auto& r : changes.inserted) store->insertSyncHistory(r);
    for (const auto& name : changes.leftApart)
        appendStringToLog("Values on one side only were left where they are, as the history of an earlier version cannot "
                          "tell which side removed them (remove them where they are not wanted): " + name);

    // Sweep the records of contacts gone from both sides, only on complete information: not when
    // the run's contacts feed was cut short (a contact it did not fetch is not gone).
    auto validContainers = getValidAppleContainerIDDictWithError();
    if (validContainers && everyAppleContact && !googleContactFeedCutShort()) {
        for (const auto& r : mSyncHistory.records()) {
            if (r && !isValidSyncHistoryRecord(*r, *validContainers, allAppleContacts, googleContactDict)) {
                store->deleteSyncHistory(r);
            }
        }
    }

    auto saved = store->save();
    if (!saved) {
        platform::Log::error("sync", "Save error! " + saved.error().localizedDescription());
        return saved.error();
    }
    return changes.leftApart;
}

bool QuorvaneModel::isValidSyncHistoryRecord(const SyncHistoryRecord& record,
                                             const std::set<std::string>& validAppleContainerIDs,
                                             const std::unordered_set<std::string>& allAppleContactIDs,
                                             const GoogleContactLookup& googleContactDict) {
    if (!isEmpty(record.appleSourceID) && !validAppleContainerIDs.count(*record.appleSourceID)) return false;
    if (!isEmpty(record.googleID) && googleContactDict && googleContactDict(*record.googleID)) return true;
    return record.appleRecordID && allAppleContactIDs.count(*record.appleRecordID);
}

platform::Result<std::set<std::string>> QuorvaneModel::getValidAppleContainerIDDictWithError() {
    std::set<std::string> ids;
    auto containers = getAppleContainersWithError();
    if (!containers) return containers.error();
    for (const auto& container : *containers) {
        if (container && !container->identifier().empty()) ids.insert(container->identifier());
    }
    return ids;
}

// --- clearing ---

platform::Result<void> QuorvaneModel::clearSyncHistory() {
    auto store = syncStore();
    if (!store) return store.error();
    for (const auto& r : mSyncHistory.records()) (*store)->deleteSyncHistory(r);
    return (*store)->save();
}

platform::Result<void> QuorvaneModel::clearSyncHistoryWithGoogleContacts(
    const std::vector<std::shared_ptr<GDataEntryContact>>& contacts) {
    auto store = syncStore();
    if (!store) return store.error();
    std::set<std::string> ids;
    for (const auto& contact : contacts) {
        if (auto id = googleIdentifier(contact)) ids.insert(*id);
    }
    for (const auto& r : mSyncHistory.records()) {
        if (r && r->googleID && ids.count(*r->googleID)) (*store)->deleteSyncHistory(r);
    }
    return (*store)->save();
}

platform::Result<void> QuorvaneModel::clearSyncHistoryWithAppleContactIDs(const std::vector<std::string>& identifiers) {
    auto store = syncStore();
    if (!store) return store.error();
    const std::set<std::string> ids(identifiers.begin(), identifiers.end());
    for (const auto& r : mSyncHistory.records()) {
        if (r && r->appleRecordID && ids.count(*r->appleRecordID)) (*store)->deleteSyncHistory(r);
    }
    return (*store)->save();
}

// --- the record of each run ---

void QuorvaneModel::fetchSyncLogRecords() {
    mSyncLogRecords.clear();
    if (auto store = syncStore()) mSyncLogRecords = (*store)->fetchSyncLogs().valueOr(std::vector<SyncLogRecord>{});
}

SyncLogRecord QuorvaneModel::newSyncLogRecord(platform::Date startDate, std::string result,
                                              std::optional<std::string> error) {
    SyncLogRecord record;
    record.startDate = startDate;
    record.endDate = platform::Date::now();
    record.syncMode = mSyncMode;
    record.automatic = isAutomaticSync();
    record.result = std::move(result);
    record.error = std::move(error);
    record.googleAccount = getGoogleAccountName();
    record.appleAccount = getAppleAccountName();
    record.logText = log();
    return record;
}

platform::Result<int64_t> QuorvaneModel::saveSyncLogRecord(SyncLogRecord record) {
    auto store = syncStore();
    if (!store) return store.error();
    (*store)->insertSyncLog(std::move(record));
    if (auto saved = (*store)->save(); !saved) return saved.error();
    return (*store)->lastSavedLogID();
}

std::optional<uint64_t> QuorvaneModel::applePhotoDigestAsRead(const platform::CNContactPtr& contact) {
    return knownPhotoDigest(*this, mCachedAppleContactDict, contact);
}

}  // namespace quorvane
