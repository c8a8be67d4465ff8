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

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
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
    const std::map<std::string, std::string>& pairedContactsByApple() const { return mPairedByApple; }
    const std::map<std::string, std::string>& pairedContactsByGoogle() const { return mPairedByGoogle; }

private:
    std::vector<SyncHistoryRecordPtr> mRecords;
    std::optional<std::string> mSelectedContainerID;
    std::map<std::string, std::vector<SyncHistoryRecordPtr>> mByApple;
    std::map<std::string, std::vector<SyncHistoryRecordPtr>> mByGoogle;
    int32_t mRelevantCount = 0;
    std::map<std::string, std::string> mPairedByApple;
    std::map<std::string, std::string> mPairedByGoogle;
};

}  // namespace quorvane
