#include "sync/SyncHistory.h"

#include <unordered_set>

#include "gdata/GDataLink.h"
#include "platform/foundation/Strings.h"
#include "sync/ContentDigest.h"
#include "sync/GoogleContactCache.h"
#include "sync/SyncTypes.h"

namespace quorvane {

namespace {

const std::vector<SyncHistoryRecordPtr> kNoRecords;

bool isEmpty(const std::optional<std::string>& s) { return !s || s->empty(); }

// Identifiers compare as the model's tolerant equality does: nil equals empty, letter case aside.
bool identifiersEqual(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    if (isEmpty(a) || isEmpty(b)) return isEmpty(a) && isEmpty(b);
    return platform::equalsIgnoringCase(*a, *b);
}

// What the new record keeps of each side's values: as the old record kept them for a pair neither
// side of which changed or was written; else what each side holds now (of the sides named), as
// the next merge is to judge it.
// Answers whether a record of an earlier version (FieldMergeBase::recorded false) was left with
// the sides apart.
bool keepFieldValues(SyncHistoryRecord& r, const NSSyncRecord& s, const SyncHistory& history,
                     const SyncHistoryWriteInputs& in, const platform::CNContactPtr& apple,
                     const std::shared_ptr<GDataEntryContact>& google, bool appleSide = true, bool googleSide = true) {
    const FieldMergeBase* base = s.mFieldBase.get();
    if (base && base->unchangedSince() && s.mSyncAction == SyncActionNoUpdate) {
        if (auto old = history.recordForPair(*r.appleRecordID, *r.googleID);
            old && old->appleFieldValues && old->googleFieldValues) {
            r.appleFieldValues = old->appleFieldValues;
            r.googleFieldValues = old->googleFieldValues;
            return false;
        }
    }
    if (!in.appleFieldValues || !in.googleFieldValues) return false;
    std::optional<FieldValues> googleNow = s.mGoogleFieldValues;
    if (!googleNow) googleNow = in.googleFieldValues(google);
    const auto appleNow = googleNow ? in.appleFieldValues(apple) : std::nullopt;
    if (!appleNow) return false;  // the next run reads the pair as of an older store
    if (appleSide) r.appleFieldValues = FieldMergeBase::nextBase(*appleNow, *googleNow, base, true).encode();
    if (googleSide) r.googleFieldValues = FieldMergeBase::nextBase(*googleNow, *appleNow, base, false).encode();
    return s.mHasSyncHistory && base && !base->recorded() && r.appleFieldValues && r.googleFieldValues &&
           *r.appleFieldValues != *r.googleFieldValues;
}

// A pair a run leaves alone keeps its record. One of an earlier version keeps no values, and a
// side unchanged since (by content and groups) holds exactly what the last run left there: the
// record gains that side's values, so that every later change of it is judged against them (a
// side changed since gains its values once a run writes the pair). nullptr when it gains none;
// else `old` is the record it replaces, and `apart` says whether the sides then hold different values.
SyncHistoryRecordPtr withValuesOfUnchangedSides(const NSSyncRecord& s, const SyncHistory& history,
                                                const SyncHistoryWriteInputs& in, SyncHistoryRecordPtr& old, bool& apart) {
    const FieldMergeBase* base = s.mFieldBase.get();
    if (!base || base->recorded() || !s.mAppleContact || !s.mGoogleContact) return nullptr;
    const bool apple = base->appleUnchanged && base->appleGroupsUnchanged && !(base->apple && base->apple->whole());
    const bool google = base->googleUnchanged && base->googleGroupsUnchanged && !(base->google && base->google->whole());
    const auto googleID = googleIdentifier(s.mGoogleContact);
    if ((!apple && !google) || !googleID) return nullptr;
    old = history.recordForPair(s.mAppleContact->identifier(), *googleID);
    if (!old) return nullptr;
    auto r = std::make_shared<SyncHistoryRecord>(*old);
    r->rowID = 0;
    apart = keepFieldValues(*r, s, history, in, s.mAppleContact, s.mGoogleContact, apple, google);
    if (r->appleFieldValues == old->appleFieldValues && r->googleFieldValues == old->googleFieldValues) return nullptr;
    return r;
}

}  // namespace

void SyncHistory::load(std::vector<SyncHistoryRecordPtr> records, const std::optional<std::string>& selectedContainerID) {
    mRecords = std::move(records);
    mSelectedContainerID = selectedContainerID;
    mByApple.clear();
    mByGoogle.clear();
    mByApple.reserve(mRecords.size());
    mByGoogle.reserve(mRecords.size());
    mRelevantCount = 0;
    for (const auto& record : mRecords) {
        if (!record || !isRelevant(*record)) continue;
        ++mRelevantCount;
        if (record->appleRecordID) mByApple[*record->appleRecordID].push_back(record);
        if (record->googleID) mByGoogle[*record->googleID].push_back(record);
    }
}

void SyncHistory::reset() {
    load({}, std::nullopt);
    mPairedByApple.clear();
    mPairedByGoogle.clear();
}

bool SyncHistory::isRelevant(const SyncHistoryRecord& record) const {
    return !mSelectedContainerID || identifiersEqual(record.appleSourceID, mSelectedContainerID);
}

const std::vector<SyncHistoryRecordPtr>& SyncHistory::recordsForAppleID(const std::optional<std::string>& appleID) const {
    if (!appleID) return kNoRecords;
    auto it = mByApple.find(*appleID);
    return it == mByApple.end() ? kNoRecords : it->second;
}

const std::vector<SyncHistoryRecordPtr>& SyncHistory::recordsForGoogleID(const std::optional<std::string>& googleID) const {
    if (!googleID) return kNoRecords;
    auto it = mByGoogle.find(*googleID);
    return it == mByGoogle.end() ? kNoRecords : it->second;
}

SyncHistoryRecordPtr SyncHistory::recordForPair(const std::string& appleID, const std::string& googleID) const {
    for (const auto& record : recordsForAppleID(appleID)) {
        if (identifiersEqual(record->appleRecordID, appleID) && identifiersEqual(record->googleID, googleID)) return record;
    }
    return nullptr;
}

SyncHistoryRecordPtr SyncHistory::firstRecordForAppleID(const std::string& appleID) const {
    const auto& records = recordsForAppleID(appleID);
    return records.empty() ? nullptr : records.front();
}

SyncHistoryRecordPtr SyncHistory::firstRecordForGoogleID(const std::string& googleID) const {
    const auto& records = recordsForGoogleID(googleID);
    return records.empty() ? nullptr : records.front();
}

void SyncHistory::updatePairedContacts(const GoogleExists& googleExists, const AppleCreationDate& appleCreationDate) {
    mPairedByApple.clear();
    mPairedByGoogle.clear();
    mPairedByApple.reserve(mRelevantCount);
    mPairedByGoogle.reserve(mRelevantCount);
    for (const auto& record : mRecords) {
        if (!record || !isRelevant(*record) || !record->appleRecordID || !record->googleID) continue;
        const std::string& appleID = *record->appleRecordID;
        const std::string& googleID = *record->googleID;
        if (!googleExists(googleID)) continue;
        auto created = appleCreationDate(appleID);
        if (!created) continue;
        if (*created && record->appleUpdateDate &&
            record->appleUpdateDate->timeIntervalSince1970() - (*created)->timeIntervalSince1970() <
                -kReusedIdentifierTolerance) {
            continue;
        }
        mPairedByApple[appleID] = googleID;
        mPairedByGoogle[googleID] = appleID;
    }
}

std::optional<std::string> SyncHistory::pairedGoogleID(const std::string& appleID) const {
    auto it = mPairedByApple.find(appleID);
    if (it == mPairedByApple.end()) return std::nullopt;
    return it->second;
}

std::optional<std::string> SyncHistory::pairedAppleID(const std::string& googleID) const {
    auto it = mPairedByGoogle.find(googleID);
    if (it == mPairedByGoogle.end()) return std::nullopt;
    return it->second;
}

// --- the history stage of a run ---

std::optional<std::string> googleIdentifier(const std::shared_ptr<GDataEntryContact>& contact) {
    return contact ? contact->identifier() : std::nullopt;
}

std::optional<platform::Date> googleUpdatedDate(const std::shared_ptr<GDataEntryContact>& contact) {
    if (!contact) return std::nullopt;
    auto updated = contact->updatedDate();
    return updated ? updated->date() : std::nullopt;
}

std::optional<std::string> googlePhotoETag(const std::shared_ptr<GDataEntryContact>& contact) {
    if (!contact) return std::nullopt;
    const auto values = GoogleContactCache::readValues(*contact, GoogleContactCache::Values::kPhotoLink);
    const auto* link = values.photoLink();
    return link ? link->etag : std::nullopt;
}

namespace {

// A merged pair written on one side whose write to the other never happened (it failed, or the
// run stopped first). The side written is recorded as written and the other as the run read it,
// the pair marked apart (previouslyMerged): the next two-way run merges what did not reach the
// other side, judged against what each side then held, so a value the user puts back on the
// written side is an addition there and is never removed again.
bool writtenOnOneSide(const NSSyncRecord& s) {
    if (!s.mMergeContacts || !s.mAppleContact || !s.mGoogleContact) return false;
    if (s.mSyncAction == SyncActionGoogleToMac)  // merged locally, its values owed to Google
        return s.mGoogleWriteOwed && !s.mLocalWriteOwed && !s.mAppleUpdateFailed && s.mMutableAppleContact;
    if (s.mSyncAction == SyncActionMacToGoogle)  // merged into Google, its values owed locally
        return s.mLocalWriteOwed && !s.mGoogleWriteOwed && s.mGmailUpdateSucceeded;
    return false;
}

}  // namespace

bool historyForgetsPairsOfRecord(const NSSyncRecord& record, int32_t syncMode) {
    if (record.mSyncAction == SyncActionDeleteContact) return true;
    if (syncMode != SyncModeGoogleToMac && syncMode != SyncModeMacToGoogle) return false;
    if (record.mInitialSyncAction != SyncActionDeleteContact || record.mSyncAction != SyncActionNoUpdate) return false;
    return syncMode == SyncModeGoogleToMac ? !record.mGoogleContact : !record.mAppleContact;
}

SyncHistoryChanges historyChangesOfRun(const std::vector<NSSyncRecordPtr>& records, const SyncHistory& history,
                                       const SyncHistoryWriteInputs& in) {
    SyncHistoryChanges changes;
    std::unordered_set<const SyncHistoryRecord*> deleted;
    auto forget = [&](const platform::CNContactPtr& apple, const std::optional<std::string>& googleID) {
        auto drop = [&](const std::vector<SyncHistoryRecordPtr>& records) {
            for (const auto& r : records)
                if (deleted.insert(r.get()).second) changes.deleted.push_back(r);
        };
        if (apple && !apple->identifier().empty()) drop(history.recordsForAppleID(apple->identifier()));
        if (googleID && !googleID->empty()) drop(history.recordsForGoogleID(googleID));
    };
    for (const auto& s : records) {
        if (!s) continue;
        // A write that was planned and never confirmed (the run stopped first, or it failed).
        const bool half = writtenOnOneSide(*s);
        if ((s->mLocalWriteOwed || s->mGoogleWriteOwed) && !half) continue;
        if (s->mSubmittedGmailUpdate && !s->mGmailUpdateSucceeded && !half) continue;
        if (s->mAppleUpdateFailed &&
            (s->mSyncAction == SyncActionGoogleToMac || s->mSyncAction == SyncActionDeleteContact)) {
            continue;
        }
        if (historyForgetsPairsOfRecord(*s, in.syncMode)) {
            forget(s->mAppleContact, googleIdentifier(s->mGoogleContact));
            continue;
        }
        if (s->mSyncAction == SyncActionNoUpdate &&
            !(s->mContactsConfirmedEquivalentBeforeSync &&
              (!s->mHasSyncHistory || s->mPreviouslyMerged || s->mTimeStampsChanged ||
               s->mGoogleETagPreviouslyPendingAssignment))) {
            SyncHistoryRecordPtr old;
            bool apart = false;
            if (auto r = withValuesOfUnchangedSides(*s, history, in, old, apart)) {
                if (deleted.insert(old.get()).second) changes.deleted.push_back(old);
                changes.inserted.push_back(r);
                if (apart) changes.leftApart.push_back(s->mDescription.value_or(""));
            }
            continue;
        }

        platform::CNContactPtr apple = s->mMutableAppleContact ? s->mMutableAppleContact : s->mAppleContact;
        const auto& google = s->mGoogleContact;
        const auto googleID = googleIdentifier(google);
        forget(apple, googleID);
        if (!apple || apple->identifier().empty() || !google || !googleID || googleID->empty() ||
            s->mSyncAction == SyncActionDeleteContact) {
            continue;
        }

        auto r = std::make_shared<SyncHistoryRecord>();
        r->appleRecordID = apple->identifier();
        r->googleID = googleID;
        r->appleSourceID = in.containerID;
        r->appleUpdateDate = in.appleDate(apple);
        r->googleUpdateDate = googleUpdatedDate(google);
        // Kept only while the sides differ after a merge: a pair merged into step carries every
        // later one-sided change as made, and a one-way merge that left values on its
        // destination alone is looked at again by the next two-way run.
        const bool oneWay = in.syncMode == SyncModeGoogleToMac || in.syncMode == SyncModeMacToGoogle;
        r->previouslyMerged = half || (s->mSyncAction != SyncActionNoUpdate && s->mMergeContacts && oneWay &&
                                       (s->mSidesDifferAfterMerge ? *s->mSidesDifferAfterMerge
                                                                  : !in.sidesDiffer || in.sidesDiffer(apple, google)));
        r->appleGroupNamesHash = s->mGroupsNotCarried.empty() || !in.appleGroupHashWithout
                                     ? in.appleGroupHash(apple)
                                     : in.appleGroupHashWithout(apple, s->mGroupsNotCarried);
        r->googleGroupNamesHash = in.googleGroupHash(google);
        const platform::CNContactPtr pictured =
            s->mMutableAppleContact_Image ? platform::CNContactPtr(s->mMutableAppleContact_Image) : apple;
        // A photo is in step only once it was written: one that was to move and did not (the run
        // stopped first, or its transfer failed) keeps what the last run recorded of the side it
        // comes from (nothing, for a new pair), so the next run moves it.
        const bool uploadOwed = s->photoOwed() && s->photoAction() == SyncActionMacToGoogle &&
                                (s->mHasSyncHistory || in.applePhotoSize(pictured) > 0);
        const bool downloadOwed = s->photoOwed() && s->photoAction() == SyncActionGoogleToMac;
        if (uploadOwed) {
            r->appleImageSize = s->mHasSyncHistory ? s->mPreviousApplePhotoSize : 0;
        } else if (s->mSyncPhotoSuccessful || !s->mHasSyncHistory || s->mPhotoStateAsFound) {
            r->appleImageSize = in.applePhotoSize(pictured);
        } else {
            r->appleImageSize = s->mPreviousApplePhotoSize;
        }
        // A photo that did not move keeps the digest it had, so that the next run sees its change
        // again; a record of an older run without one takes the photo as it is now.
        if (uploadOwed) {
            r->applePhotoDigest = s->mHasSyncHistory ? s->mPreviousApplePhotoDigest : std::nullopt;
        } else if (s->mVerifyApplePhoto && !s->mApplePhotoVerified && !s->mSyncPhotoSuccessful) {
            r->applePhotoDigest = std::nullopt;  // not compared yet: the next run compares it
        } else if (s->mSyncPhotoSuccessful || !s->mHasSyncHistory || !s->mPreviousApplePhotoDigest || s->mPhotoStateAsFound) {
            r->applePhotoDigest = in.applePhotoDigest ? in.applePhotoDigest(pictured) : std::nullopt;
        } else {
            r->applePhotoDigest = s->mPreviousApplePhotoDigest;
        }
        if (downloadOwed) {
            r->googleETag = s->mHasSyncHistory ? s->mPreviousGoogleETag : std::nullopt;
        } else if (s->mSyncPhotoSuccessful || !s->mHasSyncHistory || s->mGoogleETagPreviouslyPendingAssignment ||
                   s->mPhotoStateAsFound) {
            r->googleETag = googlePhotoETag(google);
        } else {
            r->googleETag = s->mPreviousGoogleETag;
        }
        r->googleETagPendingAssignment = s->mGoogleETagPendingAssignment;
        // What each side holds now: the values written to it, or read from it when it was not written.
        r->appleContentDigest = localContentDigest(*apple);
        r->googleContentDigest = in.googleDigest ? in.googleDigest(*google) : googleContentDigest(*google);
        if (keepFieldValues(*r, *s, history, in, apple, google)) changes.leftApart.push_back(s->mDescription.value_or(""));
        changes.inserted.push_back(r);
    }
    return changes;
}

}  // namespace quorvane
