#pragma once
// SyncStore: the sync engine's persistent records, one SQLite file per provider profile (WAL,
// schema version in PRAGMA user_version, older files migrated in place when opened):
// - sync_history: what the engine remembers of every pair it synced (indexed by local record id
//   and by Google id);
// - sync_log: one row per run, the newest kLogsKept kept;
// - history_accounts: which local accounts the history belongs to (one row, once a run noted it).
//
// Inserts and deletes are staged and become durable together, in one transaction, at save(); a
// failed save keeps them staged. Fetches see the staged changes (as the next save would leave the
// file). Main thread only.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Error.h"

struct sqlite3;

namespace quorvane {

// One remembered pair of a local contact and a Google contact.
struct SyncHistoryRecord {
    int64_t rowID = 0;  // 0 until saved
    std::optional<std::string> appleRecordID;  // the local contact
    std::optional<std::string> googleID;       // the Google entry's identifier
    std::optional<std::string> appleSourceID;  // the local container synced then; nil: all accounts
    std::optional<platform::Date> appleUpdateDate;   // the local modification (or creation) date then
    std::optional<platform::Date> googleUpdateDate;  // the Google updated date then
    uint64_t appleGroupNamesHash = 0;   // groupNamesHash of the local group names
    uint64_t googleGroupNamesHash = 0;  // groupNamesHash of the Google group names, My Contacts included
    int32_t appleImageSize = 0;         // byte length of the local photo; 0 for none
    std::optional<std::string> googleETag;  // ETag of the Google photo link
    bool googleETagPendingAssignment = false;  // the stored ETag is not yet the uploaded photo's
    // A one-way run merged the pair and left values on its destination alone: the sides differ.
    bool previouslyMerged = false;
    bool applePendingAddToMyContacts = false;
    bool syncedMyContactsAtLeastOnce = false;
    // Digests of the contents each side held when the pair was last synced (ContentDigest.h); nil
    // in records written before the store kept them.
    std::optional<uint64_t> appleContentDigest;
    std::optional<uint64_t> googleContentDigest;
    // photoDigest of the local photo when the pair was last synced (0: none); nil in records
    // written before the store kept it.
    std::optional<uint64_t> applePhotoDigest;
    // What the last run left on each side, value by value (FieldValues::encode); nil in records
    // written before the store kept it.
    std::optional<std::string> appleFieldValues;
    std::optional<std::string> googleFieldValues;
};
using SyncHistoryRecordPtr = std::shared_ptr<SyncHistoryRecord>;

// One sync run.
struct SyncLogRecord {
    int64_t rowID = 0;  // 0 until saved
    platform::Date startDate;
    std::optional<platform::Date> endDate;
    int32_t syncMode = 0;  // SyncMode
    bool automatic = false;
    std::string result;  // "ok", "partial", "auth", "network", "refused", "missing groups", "other"
    std::optional<std::string> error;
    std::optional<std::string> googleAccount;
    std::optional<std::string> appleAccount;
    int32_t googleCreated = 0, googleUpdated = 0, googleDeleted = 0;
    int32_t appleCreated = 0, appleUpdated = 0, appleDeleted = 0;
    int32_t photosMoved = 0;
    int32_t failures = 0;
    std::string logText;
};

// The accounts a history belongs to: the container synced when it was noted ("" for all
// accounts), that container's name then, and the Google user (nullopt in a store of a release
// that did not note it).
struct HistoryAccounts {
    std::string localSelection;
    std::optional<std::string> localAccountName;
    std::optional<std::string> googleUser;
};

// What an error of the store (domain kSyncStoreErrorDomain) says about the file, by what the user
// can do about it: only a damaged content is a reason to set the file aside.
inline constexpr const char* kSyncStoreErrorDomain = "QuorvaneSyncStoreErrorDomain";
enum SyncStoreErrorCode : int64_t {
    kSyncStoreErrorDamaged = 1,     // not a sync store: empty, junk, cut, a table missing, not a file
    kSyncStoreErrorNewer = 2,       // written by a newer schema
    kSyncStoreErrorPermission = 3,  // this user may not read or write the file or its folder
    kSyncStoreErrorReadOnly = 4,    // the file, its folder or its file system is read-only
    kSyncStoreErrorBusy = 5,        // another process holds it (writing or upgrading it)
    kSyncStoreErrorDiskFull = 6,
    kSyncStoreErrorOther = 7,       // an input/output failure of another kind
};

class SyncStore {
public:
    // 2 added the content digests to sync_history, 3 the local photo's digest, 4 the values each
    // side held, 5 history_accounts; an older file is brought up to date when opened.
    static constexpr int kSchemaVersion = 6;
    static constexpr int kLogsKept = 500;
    static constexpr const char* kFileName = "SyncData.sqlite";

    // The store file of a profile whose data lives in dataFolder.
    static std::filesystem::path pathInFolder(const std::filesystem::path& dataFolder) { return dataFolder / kFileName; }

    // Opens the file (making it, its folder and the schema when missing); fails when it cannot be
    // opened or was written by a newer schema, with a SyncStoreErrorCode. A missing file is made
    // whole under another name and linked into place, so a file of no bytes is never a store
    // being made but a damaged one. An older schema is brought up to date in one write
    // transaction that reads the version again, so that processes opening it at once all succeed.
    static platform::Result<std::unique_ptr<SyncStore>> open(const std::filesystem::path& file);
    ~SyncStore();
    SyncStore(const SyncStore&) = delete;
    SyncStore& operator=(const SyncStore&) = delete;

    const std::filesystem::path& path() const { return mPath; }

    // Every history record, in store order, staged changes included.
    platform::Result<std::vector<SyncHistoryRecordPtr>> fetchSyncHistory();
    // Reads the stored history, as fetchSyncHistory does, to see that it can be read; the next
    // fetchSyncHistory takes what it read instead of reading it again when the file has not
    // changed in between (no save of this store, no write of another connection).
    platform::Result<void> checkSyncHistory();
    // Every run, oldest first, staged ones included.
    platform::Result<std::vector<SyncLogRecord>> fetchSyncLogs();

    // Staged until save(). Deleting a record that was staged for insertion unstages it; deleting
    // a record twice, or one that is gone, changes nothing.
    void insertSyncHistory(const SyncHistoryRecordPtr& record);
    void deleteSyncHistory(const SyncHistoryRecordPtr& record);
    void insertSyncLog(SyncLogRecord record);
    // The accounts noted (staged ones included); nullopt when none were noted yet (a new store, or
    // one an earlier release wrote).
    platform::Result<std::optional<HistoryAccounts>> historyAccounts();
    void setHistoryAccounts(HistoryAccounts accounts);
    // How many stored history records name each local container ("": none, all accounts), without
    // reading the records (nor the staged changes).
    platform::Result<std::map<std::string, size_t>> storedRecordsPerLocalSource();
    bool hasChanges() const;

    // Writes every staged change in one transaction and keeps the newest kLogsKept runs. On
    // failure nothing is written and the changes stay staged.
    platform::Result<void> save();
    // The row id of the last run log record save() wrote (0 before any).
    int64_t lastSavedLogID() const { return mLastSavedLogID; }

private:
    SyncStore(sqlite3* db, std::filesystem::path path) : mDb(db), mPath(std::move(path)) {}
    platform::Result<void> prepareSchema();
    platform::Error lastError(const std::string& what) const;
    // Makes a new store at `file` (not there yet) whole, then links it into place.
    static platform::Result<void> create(const std::filesystem::path& file);
    platform::Result<void> exec(const char* sql);

    sqlite3* mDb;
    std::filesystem::path mPath;
    // Staged insertions in order (a slot emptied when its record is deleted again), with each
    // record's slot; staged deletions by row id.
    std::vector<SyncHistoryRecordPtr> mInsertedHistory;
    std::unordered_map<const SyncHistoryRecord*, size_t> mInsertedSlots;
    std::vector<int64_t> mDeletedHistory;  // row ids, in the order deleted
    std::unordered_set<int64_t> mDeletedRowIDs;
    std::vector<SyncLogRecord> mInsertedLogs;
    std::optional<HistoryAccounts> mStagedAccounts;
    int64_t mLastSavedLogID = 0;
    // The stored records as checkSyncHistory read them, with the file's data version then.
    platform::Result<std::vector<SyncHistoryRecordPtr>> readStoredHistory();
    std::optional<int64_t> dataVersion() const;
    struct CheckedHistory {
        std::vector<SyncHistoryRecordPtr> records;
        int64_t dataVersion = 0;
    };
    std::optional<CheckedHistory> mCheckedHistory;
};

}  // namespace quorvane
