#pragma once
// NSSyncRecord: one planned change of a sync run, pairing at most one local contact with at most
// one Google contact. The planner makes one per pair and fills every field; the review window
// shows and edits it (mSyncAction); the execution steps read and mark it.
//
// A new record has every object nil, every number 0 and every flag false.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gdata/GDataEntryContact.h"
#include "platform/contacts/CNContact.h"
#include "platform/foundation/Date.h"
#include "sync/FieldValues.h"
#include "sync/SyncTypes.h"

namespace quorvane {

class QuorvaneModel;

class NSSyncRecord {
public:
    platform::CNContactPtr mAppleContact;                     // as fetched for planning; nil without a local side
    platform::CNMutableContactPtr mMutableAppleContact;       // editable copy while writing Google-to-local changes
    platform::CNMutableContactPtr mMutableAppleContact_Image; // editable copy of the photo download
    platform::CNContactPtr mAppleContact_Reference;           // the model's reference copy for comparisons
    std::shared_ptr<GDataEntryContact> mGoogleContact;         // nil without a Google side
    std::shared_ptr<GDataEntryContact> mNewGoogleContact;      // the entry sent to Google, until settled
    int32_t mSyncAction = SyncActionNoUpdate;                  // the review window may change it
    int32_t mInitialSyncAction = SyncActionNoUpdate;           // what the planner chose
    bool mMergeContacts = false;
    bool mSyncPhoto = false;
    // The way the photo moves when it is not mSyncAction's (a photo moves on its own: one side's
    // text and the other side's photo may both have changed); NoUpdate: it follows mSyncAction.
    int32_t mPhotoAction = SyncActionNoUpdate;
    bool mPreviouslyMerged = false;
    bool mHasSyncHistory = false;
    bool mTimeStampsChanged = false;
    // The history kept no photo state of the pair and its photos are now on both sides or on
    // neither: they are recorded as found.
    bool mPhotoStateAsFound = false;
    bool mContactsConfirmedEquivalentBeforeSync = false;
    bool mSubmittedGmailUpdate = false;
    bool mGmailUpdateSucceeded = false;
    bool mDisableGmailResubmit = false;
    std::optional<std::string> mDescription;
    std::optional<std::string> mSortString;
    std::optional<platform::Date> mLastSyncDate;
    int32_t mPreviousApplePhotoSize = 0;
    std::optional<uint64_t> mPreviousApplePhotoDigest;
    std::optional<std::string> mPreviousGoogleETag;
    bool mSyncPhotoSuccessful = false;
    // The local photo is compared with the provider's once and sent if they differ
    // (SyncStrategyInfo::applePhotoUnverified); verified once compared equal or sent.
    bool mVerifyApplePhoto = false;
    bool mApplePhotoVerified = false;
    bool mGoogleETagPendingAssignment = false;
    bool mGoogleETagPreviouslyPendingAssignment = false;
    int32_t mContactDifference = ContactDifferenceNotCompared;
    bool mCreatedNewContact = false;
    bool mAppleUpdateFailed = false;
    // Why the planner left the pair as it is and the run counts it failed (a local value that
    // cannot be read); nothing of it is written to either side.
    std::optional<std::string> mRefusedBecause;

    // The way the photo moves: none when the record is not carried out.
    int32_t photoAction() const {
        if (mSyncAction == SyncActionNoUpdate) return SyncActionNoUpdate;
        return mPhotoAction != SyncActionNoUpdate ? mPhotoAction : mSyncAction;
    }
    // The photo was to move and was not written (the run stopped first, or the transfer failed).
    bool photoOwed() const { return mSyncPhoto && !mSyncPhotoSuccessful; }
    bool mAppleChangedDuringSync = false;  // not written: edited locally since the run read it
    // The writes the run still owes the record: set by the executor when it takes the plan, and
    // cleared as each is confirmed (or found not needed). A record that still owes a write when
    // the run ends (stopped, refused, cancelled) keeps its old history, so the next run plans it
    // again.
    bool mLocalWriteOwed = false;
    bool mGoogleWriteOwed = false;
    // Local groups of the contact whose memberships did not reach Google (a group that could not
    // be made there): the history records only the memberships carried, so they stay pending.
    std::vector<std::string> mGroupsNotCarried;
    // What the last run left on each side of the pair (nil without history): a merge of the
    // record judges against it, and the history keeps what it becomes.
    std::shared_ptr<const FieldMergeBase> mFieldBase;
    // What the Google side holds after the run, read while its entry was whole (the provider's
    // answer to a write, or the entry before the run let it go); nil when not read.
    std::optional<FieldValues> mGoogleFieldValues;
    // Whether the sides still differ after a one-way merge, read while the Google entry was whole
    // (its answer, or the entry before the run let it go); nil when not read.
    std::optional<bool> mSidesDifferAfterMerge;

    // The model that planned the record (QuorvaneModel::newSyncRecord), which its texts ask; a
    // record made without one asks the shared model, and one whose model has gone asks none.
    void setModel(std::weak_ptr<QuorvaneModel> model) {
        mModel = std::move(model);
        mHasModel = true;
    }

    // Once the run's writes and its history are recorded: lets go of what only writing read (the
    // contacts written, the merge's base), keeping what describes the record (its sides, action,
    // names and reason).
    void releaseWrittenState() {
        mMutableAppleContact.reset();
        mMutableAppleContact_Image.reset();
        mAppleContact_Reference.reset();
        mNewGoogleContact.reset();
        mFieldBase.reset();
        mGoogleFieldValues.reset();
        mSidesDifferAfterMerge.reset();
    }

    // The local contact's modification date (as the shared model finds it) for display; "" without one.
    std::string getAppleContactLastUpdateString() const;
    // The Google contact's updated date for display; "" without one.
    std::string getGoogleContactLastUpdateString() const;
    // mLastSyncDate for display; "" when nil.
    std::string getLastSyncTime() const;
    std::string getAppleContactDescription() const;
    std::string getGoogleContactDescription() const;
    // Sets mDescription and mSortString from the side the change comes from: the local contact
    // unless the change goes Google to local; "" for both without either contact.
    void generateDescriptionAndSortString();
    std::string getSyncActionDescription() const;
    // Why the record is updated: detail level 0 for list rows and the run log, 2 for the detail view.
    std::string getSyncReasonString(int32_t detailLevel) const;

private:
    std::shared_ptr<QuorvaneModel> model() const;
    std::weak_ptr<QuorvaneModel> mModel;
    bool mHasModel = false;
};

using NSSyncRecordPtr = std::shared_ptr<NSSyncRecord>;

}  // namespace quorvane
