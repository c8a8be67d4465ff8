// The two delete-all tools: every contact and group of one local account, and every contact and
// user group of the signed-in Google account. Both run as chains of short steps on the main run
// loop, and both forget the sync history of what they delete first, so that the next sync does
// not read the deletions as changes to carry to the other side.

#include "platform/runloop/RunLoop.h"
#include "sync/QuorvaneModel.h"
#include "sync/Utils.h"

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
    auto contacts = getAppleContactsInContainer(container, 0, &error);
    std::vector<std::string> identifiers;
    for (const auto& contact : contacts) identifiers.push_back(contact->identifier());
    auto groups = error ? std::vector<platform::CNGroupPtr>() : getAppleGroupsInContainer(container, &error);
    // Deleting what the history still remembers would carry the deletions to Google at the next
    // sync: nothing is deleted unless the history of every contact is gone first.
    if (!error) {
        fetchSyncHistory();
        if (!clearSyncHistoryWithAppleContactIDs(identifiers))
            error = deleteAllError(kQuorvaneModelErrorHistoryNotCleared, "The sync history could not be cleared.");
    }
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

}  // namespace quorvane
