// The two delete-all tools: every contact and group of one local account, and every contact and
// user group of the signed-in Google account. Both run as chains of short steps on the main run
// loop, and both forget the sync history of what they delete first, so that the next sync does
// not read the deletions as changes to carry to the other side.

#include "platform/runloop/RunLoop.h"
#include "sync/QuorvaneModel.h"
#include "sync/SyncStore.h"
#include "sync/Utils.h"

#include <filesystem>
#include <set>

namespace quorvane {

namespace {

constexpr double kStepDelay = 0.01;       // seconds between two steps
constexpr double kDoneDelay = 0.5;        // "Done" shows this long before the end
constexpr int32_t kContactsPerStep = 15;  // deletions queued by one step
constexpr int32_t kMaxPendingSave = 1000; // deletions saved at once at most

platform::Error deleteAllError(int64_t code, const std::string& description) {
    platform::Error error(kQuorvaneModelErrorDomain, code);
    error.userInfo.set(platform::Error::kLocalizedDescriptionKey, platform::Value(description));
    return error;
}

}  // namespace

void QuorvaneModel::afterDelay(double seconds, std::function<void()> step) {
    std::weak_ptr<int> alive = mAliveMarker;
    platform::Timer::scheduled(
        seconds, false,
        [alive, step = std::move(step)](platform::Timer&) {
            if (alive.lock()) step();
        },
        platform::RunLoop::main());
}

// --- a local account ---

void QuorvaneModel::deleteContactsFromContainer(const platform::CNContainerPtr& container, DeleteFinished finished) {
    // Without an identifier the store would be asked for the contacts of every account.
    if (!container || container->identifier().empty()) {
        if (finished)
            finished(deleteAllError(kQuorvaneModelErrorNoContainer, "Deleting contacts needs the account to delete from."));
        return;
    }
    mDeleteAll = std::make_unique<DeleteAllState>();
    mDeleteAll->mFinished = std::move(finished);
    clearSyncErrors();
    setProgressWithString(Utils::localized("QVR_DeletingContacts", "Deleting Contacts"));
    setSubProgressWithString(Utils::localized("Global_Working", "Working..."));
    afterDelay(kStepDelay, [this, container] { deleteContactsFromContainer_Step1(container); });
}

void QuorvaneModel::deleteContactsFromContainer_Step1(const platform::CNContainerPtr& container) {
    std::optional<platform::Error> error;
    std::vector<platform::CNContactPtr> contacts;
    std::vector<platform::CNGroupPtr> groups;
    if (auto read = getAppleContactsInContainer(container, 0)) {
        contacts = std::move(*read);
    } else {
        error = read.error();
    }
    std::vector<std::string> identifiers;
    for (const auto& contact : contacts) identifiers.push_back(contact->identifier());
    if (!error) {
        if (auto read = getAppleGroupsInContainer(container)) {
            groups = std::move(*read);
        } else {
            error = read.error();
        }
    }
    // Deleting what the history still remembers would carry the deletions to Google at the next
    // sync: nothing is deleted unless the history of every contact is gone first.
    // Read as it is, noting nothing: the deletion changes neither the accounts synced nor their
    // selection, and a tool that reads no selection must not note one for the next run.
    if (!error) {
        if (!doFetchSyncHistory() || !clearSyncHistoryWithAppleContactIDs(identifiers))
            error = deleteAllError(kQuorvaneModelErrorHistoryNotCleared, "The sync history could not be cleared.");
    }
    if (!error) error = forgetAppleContactsInOtherProfiles(identifiers);
    if (error) {
        appendStringToLog("Nothing was deleted: " + error->localizedDescription());
        auto finished = std::move(mDeleteAll->mFinished);
        mDeleteAll.reset();
        if (finished) finished(*error);
        return;
    }
    mDeleteAll->mContactsToDelete = std::move(contacts);
    for (const auto& group : groups)
        if (group) saveDeletedAppleGroupByAddingToSaveRequest(group->mutableCopy());
    executeSaveRequest();
    afterDelay(kStepDelay, [this] { deleteContactsFromContainer_Step2(); });
}

std::optional<platform::Error> QuorvaneModel::forgetAppleContactsInOtherProfiles(
    const std::vector<std::string>& identifiers) {
    const std::set<std::string> ids(identifiers.begin(), identifiers.end());
    for (const auto& folder : mOtherProfileDataFolders) {
        const auto file = SyncStore::pathInFolder(folder);
        std::error_code missing;
        if (ids.empty() || !std::filesystem::exists(file, missing)) continue;  // a profile that never synced
        const std::string profile = "the profile \"" + folder.filename().string() + "\"";
        auto cannot = [&](const platform::Error& why) {
            return deleteAllError(kQuorvaneModelErrorHistoryNotCleared,
                                  "The sync history of " + profile + " (" + file.string() +
                                      "), which syncs these local contacts too, could not be cleared: " +
                                      why.localizedDescription());
        };
        auto store = SyncStore::open(file);
        if (!store) return cannot(store.error());
        auto records = (*store)->fetchSyncHistory();
        if (!records) return cannot(records.error());
        size_t forgotten = 0;
        for (const auto& r : *records)
            if (r && r->appleRecordID && ids.count(*r->appleRecordID)) {
                (*store)->deleteSyncHistory(r);
                ++forgotten;
            }
        if (forgotten == 0) continue;
        if (auto saved = (*store)->save(); !saved) return cannot(saved.error());
        appendStringToLog("Cleared the sync history of " + std::to_string(forgotten) + " deleted contact" +
                          (forgotten == 1 ? "" : "s") + " in " + profile + ", which syncs them too");
    }
    return std::nullopt;
}

void QuorvaneModel::deleteContactsFromContainer_Step2() {
    DeleteAllState& s = *mDeleteAll;
    if (s.mNumDeletionsPendingSave >= kMaxPendingSave) {
        s.mNumDeletionsPendingSave = 0;
        executeSaveRequest();
    }
    const auto total = int32_t(s.mContactsToDelete.size());
    for (int32_t i = 0; i < kContactsPerStep; ++i) {
        if (s.mNumDeletionsPendingSave > kMaxPendingSave - 1 || s.mCurrentContactIdx >= total) break;
        saveDeletedAppleContactByAddingToSaveRequest(s.mContactsToDelete[size_t(s.mCurrentContactIdx)]->mutableCopy());
        ++s.mCurrentContactIdx;
        ++s.mNumDeletionsPendingSave;
    }
    if (s.mCurrentContactIdx >= total) {
        setSubProgressWithString(Utils::localized("Global_SavingChanges", "Saving Changes..."));
        afterDelay(kStepDelay, [this] { deleteContactsFromContainer_Finish_Begin(); });
        return;
    }
    setSubProgressWithString(Utils::stringWithFormat(Utils::localized("QVR_DeletingContactFormatted", "Deleting Contact #%d/%d"),
                                                     {std::to_string(s.mCurrentContactIdx), std::to_string(total)}));
    afterDelay(kStepDelay, [this] { deleteContactsFromContainer_Step2(); });
}

void QuorvaneModel::deleteContactsFromContainer_Finish_Begin() {
    executeSaveRequest();
    setSubProgressWithString(Utils::localized("Global_Done", "Done"));
    afterDelay(kDoneDelay, [this] { deleteContactsFromContainer_Finish(); });
}

void QuorvaneModel::deleteContactsFromContainer_Finish() {
    auto finished = std::move(mDeleteAll->mFinished);
    mDeleteAll.reset();
    // A failed save was logged and noted; the caller learns of the first one.
    std::optional<platform::Error> error;
    if (!syncErrors().empty()) error = syncErrors().front();
    if (finished) finished(error);
}

// --- the Google account ---

void QuorvaneModel::deleteGmailContactsWithFinishedSelector(std::function<void()> finished,
                                                            std::function<void(const platform::Error&)> failed) {
    mDeleteGmail = std::make_unique<DeleteGmailState>();
    mDeleteGmail->mDeleteGmailDoneSelector = std::move(finished);
    mDeleteGmail->mDeleteGmailFailedSelector = std::move(failed);
    mPauseBetweenGmailRequests = 0.15f;
    setProgressBarValue(0);
    clearLog();
    setProgressWithString(Utils::localized("QVR_DeletingGmailContacts", "Deleting Google contacts"));
    deleteGmailContacts_Step1();
}

void QuorvaneModel::deleteGmailContacts_Step1() {
    setProgressWithString(Utils::localized("QVR_DownloadingGmailContacts", "Downloading Google Contacts"));
    fetchAllGroupsAndContactsWithFinishedSelector([this] { deleteGmail_onFetchAllDone(); },
                                                  [this](const platform::Error& error) { deleteGmail_onFetchAllFailed(error); });
}

void QuorvaneModel::deleteGmail_onFetchAllFailed(const platform::Error& error) {
    setProgressBarValue(1.0f);
    auto failed = std::move(mDeleteGmail->mDeleteGmailFailedSelector);
    mDeleteGmail.reset();
    if (failed) failed(error);
}

void QuorvaneModel::deleteGmail_onFetchAllDone() {
    if (mDeleteGmail->mCancelled) return deleteGmailContacts_Step4();
    deleteGmailContacts_Step2();
}

void QuorvaneModel::deleteGmailContacts_Step2() {
    setProgressWithString(Utils::localized("QVR_DeletingGmailContacts", "Deleting Google contacts"));
    setProgressBarValue(0.25f);
    getSelectedGroupURLDict();
    std::vector<std::shared_ptr<GDataEntryContact>> contacts;
    std::vector<std::shared_ptr<GDataEntryBase>> entries;
    if (mContactFeed && mContactFeed->entries())
        for (const auto& entry : *mContactFeed->entries())
            if (auto contact = std::dynamic_pointer_cast<GDataEntryContact>(entry)) {
                contacts.push_back(contact);
                entries.push_back(contact);
            }
    // Deleting what the history still remembers would carry the deletions to the local account at
    // the next sync: nothing is deleted unless the history of every contact is gone first.
    if (!doFetchSyncHistory() || !clearSyncHistoryWithGoogleContacts(contacts))
        return deleteGmail_onFetchAllFailed(
            deleteAllError(kQuorvaneModelErrorHistoryNotCleared, "The sync history could not be cleared."));
    deleteEntries(entries, [this] { deleteGmailContacts_Step3(); }, 0.25f, 0.75f, false);
}

void QuorvaneModel::deleteGmailContacts_Step3() {
    // Once the provider refused the authorization or could not be reached, the groups would fare
    // no better.
    if (mDeleteGmail->mStoppedBy || mDeleteGmail->mCancelled) return deleteGmailContacts_Step4();
    setProgressWithString(Utils::localized("QVR_DeletingGmailGroups", "Deleting Google groups"));
    setProgressBarValue(0.75f);
    std::vector<std::shared_ptr<GDataEntryBase>> groups;
    if (mGroupFeed && mGroupFeed->entries()) groups.assign(mGroupFeed->entries()->begin(), mGroupFeed->entries()->end());
    deleteEntries(groups, [this] { deleteGmailContacts_Step4(); }, 0.75f, 1.0f, true);
}

void QuorvaneModel::deleteGmailContacts_Step4() {
    setProgressBarValue(1.0f);
    auto state = std::move(mDeleteGmail);
    // Every contact and user group of the feeds not confirmed deleted remains, and so does what
    // an incomplete feed never showed.
    size_t total = 0;
    if (mContactFeed && mContactFeed->entries()) total += mContactFeed->entries()->size();
    if (mGroupFeed && mGroupFeed->entries())
        for (const auto& entry : *mGroupFeed->entries()) {
            auto group = std::dynamic_pointer_cast<GDataEntryContactGroup>(entry);
            if (!group || !group->systemGroup()) ++total;
        }
    size_t remaining = total - std::min(total, state->mEntriesDeleted);
    bool whole = googleFeedsComplete();
    if (remaining > 0 || !whole) {
        std::string text = std::to_string(remaining) + " Google entries remain";
        if (!whole) text += ", and more that were not downloaded (" + mFeedIncompleteReason + ")";
        appendStringToLog(text);
        if (!state->mStoppedBy) {
            state->mStoppedBy = deleteAllError(kQuorvaneModelErrorEntriesRemain, text);
        }
        state->mStoppedBy->userInfo.set("remaining", platform::Value(int64_t(remaining)));
        if (state->mDeleteGmailFailedSelector) state->mDeleteGmailFailedSelector(*state->mStoppedBy);
        return;
    }
    if (state->mDeleteGmailDoneSelector) state->mDeleteGmailDoneSelector();
}

void QuorvaneModel::cancelDeleteGmailContacts() {
    if (!mDeleteGmail) return;
    mDeleteGmail->mCancelled = true;
    if (mDeleteGmail->mWriter) mDeleteGmail->mWriter->cancel();
}

void QuorvaneModel::deleteEntries(const std::vector<std::shared_ptr<GDataEntryBase>>& entries,
                                  std::function<void()> onFinished, float progressBarMin, float progressBarMax,
                                  bool deletingGroups) {
    std::vector<GoogleBatchOperation> operations;
    for (const auto& entry : entries) {
        if (!entry) continue;
        auto group = std::dynamic_pointer_cast<GDataEntryContactGroup>(entry);
        if (deletingGroups && group && group->systemGroup()) continue;
        operations.push_back({GoogleBatchKind::Delete, entry});
    }
    std::shared_ptr<GDataFeedBase> feed = deletingGroups ? std::shared_ptr<GDataFeedBase>(mGroupFeed)
                                                         : std::shared_ptr<GDataFeedBase>(mContactFeed);
    auto link = feed ? feed->batchLink() : nullptr;
    auto url = link ? link->URL() : std::nullopt;
    if (operations.empty() || !url) {
        if (!operations.empty()) appendStringToLog("The feed has no batch link: nothing could be deleted.");
        return onFinished();
    }
    GoogleBatchWriter::Options options;
    options.batchSize = batchGoogleContacts() ? 100 : 1;
    options.maxInFlight = 2;
    options.pauseSeconds = mPauseBetweenGmailRequests;
    options.maxRounds = 10;
    auto writer = GoogleBatchWriter::make(getGoogleContactService(), *url,
                                          deletingGroups ? GoogleBatchWriter::FeedKind::Groups
                                                         : GoogleBatchWriter::FeedKind::Contacts,
                                          options);
    mDeleteGmail->mWriter = writer;
    std::weak_ptr<int> alive = mAliveMarker;
    const float span = progressBarMax - progressBarMin;
    writer->start(
        operations,
        [this, alive, progressBarMin, span](size_t done, size_t total) {
            if (!alive.lock()) return;
            setSubProgressWithString(Utils::stringWithFormat(Utils::localized("QVR_DeletedFormatted", "Deleted %d of %d"),
                                                             {std::to_string(done), std::to_string(total)}));
            setProgressBarValue(progressBarMin + float(done) * span / float(std::max<size_t>(total, 1)));
        },
        [this, alive, operations, onFinished = std::move(onFinished)](const std::vector<GoogleBatchOutcome>& outcomes,
                                                                      const std::optional<platform::Error>& stoppedBy) {
            if (!alive.lock() || !mDeleteGmail) return;
            mDeleteGmail->mWriter.reset();
            for (size_t i = 0; i < outcomes.size(); ++i) {
                const auto& entry = operations[i].entry;
                if (outcomes[i].state == GoogleBatchOutcome::State::Confirmed) {
                    ++mDeleteGmail->mEntriesDeleted;
                    if (auto id = entry->identifier()) mDeleteGmail->mEntriesSuccessfullyDeletedSet.insert(*id);
                } else if (outcomes[i].state != GoogleBatchOutcome::State::NotSent) {
                    appendStringToLog("Not deleted: " + entry->identifier().value_or("?") + " (" +
                                      std::to_string(outcomes[i].status) + " " + outcomes[i].reason.value_or("") + ")");
                }
            }
            if (stoppedBy && !mDeleteGmail->mStoppedBy) mDeleteGmail->mStoppedBy = stoppedBy;
            onFinished();
        });
}

}  // namespace quorvane
