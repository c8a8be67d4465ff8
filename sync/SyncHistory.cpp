#include "sync/SyncHistory.h"

#include "platform/foundation/Strings.h"

namespace quorvane {

namespace {

const std::vector<SyncHistoryRecordPtr> kNoRecords;

bool isEmpty(const std::optional<std::string>& s) { return !s || s->empty(); }

// Identifiers compare as the model's tolerant equality does: nil equals empty, letter case aside.
bool identifiersEqual(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    if (isEmpty(a) || isEmpty(b)) return isEmpty(a) && isEmpty(b);
    return platform::equalsIgnoringCase(*a, *b);
}

}  // namespace

void SyncHistory::load(std::vector<SyncHistoryRecordPtr> records, const std::optional<std::string>& selectedContainerID) {
    mRecords = std::move(records);
    mSelectedContainerID = selectedContainerID;
    mByApple.clear();
    mByGoogle.clear();
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

}  // namespace quorvane
