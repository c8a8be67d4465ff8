#pragma once
// SyncHistory: the history records of a run, loaded from the SyncStore, and their indexes:
// - by local record id and by Google id, of the records relevant to the synced container (every
//   record when all accounts are synced);
// - the remembered pairs whose two contacts are both present now, both ways.
// The pairing asks it which Google contact a local contact was synced with and back
// (pairedGoogleID, pairedAppleID); the strategy takes the record of a pair (recordForPair,
// firstRecordForAppleID, firstRecordForGoogleID).
//
// Deleting records goes through the store (staged until its save); the indexes keep what was
// loaded until the next load().
//
// The history stage of a run (historyChangesOfRun) is a function of typed values: the run's
// records, the history loaded before the run and what it reads of the contacts give the records
// to delete and the ones to insert; the model applies them to the store.

#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>
#include <optional>
#include <string>
#include <vector>

#include "platform/contacts/CNContact.h"
#include "platform/foundation/Date.h"
#include "sync/NSSyncRecord.h"
#include "sync/SyncStore.h"

namespace quorvane {

class SyncHistory {
public:
    // Replaces the records and rebuilds the record indexes. selectedContainerID is the synced
    // container; nil when every account is synced (every record is then relevant).
    void load(std::vector<SyncHistoryRecordPtr> records, const std::optional<std::string>& selectedContainerID);
    // Empties records and indexes.
    void reset();

    const std::vector<SyncHistoryRecordPtr>& records() const { return mRecords; }
    int32_t relevantCount() const { return mRelevantCount; }
    const std::optional<std::string>& selectedContainerID() const { return mSelectedContainerID; }
    // Whether the record belongs to the synced container.
    bool isRelevant(const SyncHistoryRecord& record) const;

    // The relevant records of a contact, in load order; empty for none.
    const std::vector<SyncHistoryRecordPtr>& recordsForAppleID(const std::optional<std::string>& appleID) const;
    const std::vector<SyncHistoryRecordPtr>& recordsForGoogleID(const std::optional<std::string>& googleID) const;
    bool hasRecordForAppleID(const std::optional<std::string>& appleID) const { return !recordsForAppleID(appleID).empty(); }
    bool hasRecordForGoogleID(const std::optional<std::string>& googleID) const { return !recordsForGoogleID(googleID).empty(); }
    // The first record of the local contact whose Google id is googleID; nullptr for none.
    SyncHistoryRecordPtr recordForPair(const std::string& appleID, const std::string& googleID) const;
    SyncHistoryRecordPtr firstRecordForAppleID(const std::string& appleID) const;
    SyncHistoryRecordPtr firstRecordForGoogleID(const std::string& googleID) const;

    // Rebuilds the remembered pairs from the relevant records whose Google contact exists now
    // (googleExists) and whose local contact exists now (appleCreationDate gives its creation date,
    // nullopt for a contact that does not exist, a nil date when it has none). A record whose
    // local update date lies more than kReusedIdentifierTolerance before the contact's creation
    // date is skipped: its identifier now names a newer contact. A later record of the same id
    // replaces an earlier one.
    using GoogleExists = std::function<bool(const std::string& googleID)>;
    using AppleCreationDate = std::function<std::optional<std::optional<platform::Date>>(const std::string& appleID)>;
    void updatePairedContacts(const GoogleExists& googleExists, const AppleCreationDate& appleCreationDate);
    static constexpr double kReusedIdentifierTolerance = 300.0;

    // The Google id the local contact was last synced with, and back; nil when not remembered.
    std::optional<std::string> pairedGoogleID(const std::string& appleID) const;
    std::optional<std::string> pairedAppleID(const std::string& googleID) const;
    const std::unordered_map<std::string, std::string>& pairedContactsByApple() const { return mPairedByApple; }
    const std::unordered_map<std::string, std::string>& pairedContactsByGoogle() const { return mPairedByGoogle; }

private:
    std::vector<SyncHistoryRecordPtr> mRecords;
    std::optional<std::string> mSelectedContainerID;
    // Hashed: a run asks them once or more per contact.
    std::unordered_map<std::string, std::vector<SyncHistoryRecordPtr>> mByApple;
    std::unordered_map<std::string, std::vector<SyncHistoryRecordPtr>> mByGoogle;
    int32_t mRelevantCount = 0;
    std::unordered_map<std::string, std::string> mPairedByApple;
    std::unordered_map<std::string, std::string> mPairedByGoogle;
};

// The Google contact's identifier, its update date and its photo's ETag; nil without contact.
std::optional<std::string> googleIdentifier(const std::shared_ptr<GDataEntryContact>& contact);
std::optional<platform::Date> googleUpdatedDate(const std::shared_ptr<GDataEntryContact>& contact);
std::optional<std::string> googlePhotoETag(const std::shared_ptr<GDataEntryContact>& contact);

// Whether the history forgets every pair of the record instead of writing one: a deletion, and in
// a one-way run a deletion the user switched off (the contact stays on one side only, unpaired).
bool historyForgetsPairsOfRecord(const NSSyncRecord& record, int32_t syncMode);

// What the history stage reads besides the records and the loaded history.
struct SyncHistoryWriteInputs {
    int32_t syncMode = 0;                    // SyncMode of the run
    std::optional<std::string> containerID;  // the synced container, kept in each new record
    // The local contact's modification date, else its creation date.
    std::function<std::optional<platform::Date>(const platform::CNContactPtr&)> appleDate;
    // The group hashes (groupNamesHash) of the local contact's groups and the Google contact's.
    std::function<uint64_t(const platform::CNContactPtr&)> appleGroupHash;
    std::function<uint64_t(const std::shared_ptr<GDataEntryContact>&)> googleGroupHash;
    // The local group hash without the named groups (memberships that were not carried).
    std::function<uint64_t(const platform::CNContactPtr&, const std::vector<std::string>&)> appleGroupHashWithout;
    // The byte length of the local contact's photo (0 for none), and its photoDigest (nullopt
    // when not known: the record then keeps none, and the next run takes the photo as it finds it).
    std::function<int32_t(const platform::CNContactPtr&)> applePhotoSize;
    std::function<std::optional<uint64_t>(const platform::CNContactPtr&)> applePhotoDigest;
    // The Google entry's content digest (ContentDigest.h); read from the entry when not given.
    std::function<uint64_t(const GDataEntryContact&)> googleDigest;
    // Whether the two sides of a pair hold different values (the planner's comparison); asked
    // only for a pair a one-way run merged, which may keep values on its destination alone.
    std::function<bool(const platform::CNContactPtr&, const std::shared_ptr<GDataEntryContact>&)> sidesDiffer;
    // What each side holds, value by value (QuorvaneModel::localFieldValues, googleFieldValues);
    // nullopt for a Google contact that cannot be read whole. Without them the records keep none.
    std::function<std::optional<FieldValues>(const platform::CNContactPtr&)> appleFieldValues;
    std::function<std::optional<FieldValues>(const std::shared_ptr<GDataEntryContact>&)> googleFieldValues;
};

// What a run changes in the history, in the order found.
struct SyncHistoryChanges {
    std::vector<SyncHistoryRecordPtr> deleted;   // loaded records of the run's contacts, each once
    std::vector<SyncHistoryRecordPtr> inserted;  // one new record per pair now in step
    // The pairs whose record kept no values (an earlier version's) left holding values on one
    // side only: which side removed them cannot be told, so they stay where they are.
    std::vector<std::string> leftApart;
};

// The history stage: for each record, in order,
//   - a write that was not confirmed (still owed when the run ended, sent to Google without
//     success, or a local write that failed) keeps the pair's old history: the next run sees the
//     same differences again;
//   - a record whose pairs are forgotten (historyForgetsPairsOfRecord) deletes them;
//   - a record left alone adds nothing unless its pair was found equal and its history is missing,
//     merged, out of date or waits for a photo's ETag; but one of an earlier version, which keeps
//     no values, gains those of each side unchanged since, the rest of it as it was;
//   - otherwise the old records of both contacts go and, for a pair with both identifiers (not a
//     deletion), a new record keeps the dates, group hashes (the local one without the groups
//     whose memberships were not carried), photo size and ETag (the old ones when
//     the photo did not move), the content digests of what each side holds now, and what each
//     side holds value by value as the next merge is to judge it (FieldMergeBase::nextBase;
//     kept as it was for a pair neither side of which changed or was written).
SyncHistoryChanges historyChangesOfRun(const std::vector<NSSyncRecordPtr>& records, const SyncHistory& history,
                                       const SyncHistoryWriteInputs& inputs);

}  // namespace quorvane
