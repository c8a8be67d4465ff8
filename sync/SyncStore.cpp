#include "sync/SyncStore.h"

#include <sqlite3.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/contacts/ContactsDatabase.h"

namespace quorvane {

namespace {

using platform::Date;
using platform::Error;
using platform::SQLStatement;

constexpr int kBusyTimeoutMilliseconds = 5000;

// What the failure says about the file (SyncStoreErrorCode), from SQLite's code and the system's
// error number, and the state of the file and its folder.
int64_t failureKind(const std::filesystem::path& file, int code, int systemErrno) {
    switch (code & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED: return kSyncStoreErrorBusy;
        case SQLITE_READONLY: return kSyncStoreErrorReadOnly;
        case SQLITE_PERM:
        case SQLITE_AUTH: return kSyncStoreErrorPermission;
        case SQLITE_FULL: return kSyncStoreErrorDiskFull;
        case SQLITE_MISMATCH: return kSyncStoreErrorNewer;
        case SQLITE_CANTOPEN:
        case SQLITE_IOERR: break;
        default: return kSyncStoreErrorDamaged;  // not a database, corrupt, a table missing
    }
    switch (systemErrno) {
        case EACCES:
        case EPERM: {
            // A folder this user may not write is read-only to it.
            const auto folder = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
            const bool fileOK = ::access(file.c_str(), F_OK) != 0 || ::access(file.c_str(), R_OK | W_OK) == 0;
            return fileOK && ::access(folder.c_str(), W_OK) != 0 ? kSyncStoreErrorReadOnly : kSyncStoreErrorPermission;
        }
        case EROFS: return kSyncStoreErrorReadOnly;
        case ENOSPC:
        case EDQUOT: return kSyncStoreErrorDiskFull;
        case EISDIR:
        case ENOTDIR: return kSyncStoreErrorDamaged;  // something that is not a file stands in its place
        default: break;
    }
    // SQLite does not always keep the cause (a journal it could not make): the file and its folder tell.
    const auto folder = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    if (::access(folder.c_str(), W_OK) != 0 && (errno == EACCES || errno == EPERM || errno == EROFS))
        return kSyncStoreErrorReadOnly;
    if (::access(file.c_str(), F_OK) == 0 && ::access(file.c_str(), R_OK | W_OK) != 0)
        return errno == EROFS ? kSyncStoreErrorReadOnly : kSyncStoreErrorPermission;
    return kSyncStoreErrorOther;
}

Error storeError(const std::filesystem::path& file, int code, int systemErrno, const std::string& description) {
    Error error(kSyncStoreErrorDomain, failureKind(file, code, systemErrno));
    error.userInfo.set(Error::kLocalizedDescriptionKey, description);
    return error;
}

const char* const kSchema = R"SQL(
CREATE TABLE sync_history (
    id INTEGER PRIMARY KEY,
    apple_record_id TEXT,
    google_id TEXT,
    apple_source_id TEXT,
    apple_update_date REAL,
    google_update_date REAL,
    apple_group_names_hash INTEGER NOT NULL DEFAULT 0,
    google_group_names_hash INTEGER NOT NULL DEFAULT 0,
    apple_image_size INTEGER NOT NULL DEFAULT 0,
    google_etag TEXT,
    google_etag_pending_assignment INTEGER NOT NULL DEFAULT 0,
    previously_merged INTEGER NOT NULL DEFAULT 0,
    apple_pending_add_to_my_contacts INTEGER NOT NULL DEFAULT 0,
    synced_my_contacts_at_least_once INTEGER NOT NULL DEFAULT 0,
    apple_content_digest INTEGER,
    google_content_digest INTEGER,
    apple_photo_digest INTEGER,
    apple_field_values BLOB,
    google_field_values BLOB);
CREATE INDEX sync_history_by_apple_record ON sync_history(apple_record_id);
CREATE INDEX sync_history_by_google_id ON sync_history(google_id);
CREATE TABLE sync_log (
    id INTEGER PRIMARY KEY,
    start_date REAL NOT NULL,
    end_date REAL,
    sync_mode INTEGER NOT NULL DEFAULT 0,
    automatic INTEGER NOT NULL DEFAULT 0,
    result TEXT NOT NULL DEFAULT '',
    error TEXT,
    google_account TEXT,
    apple_account TEXT,
    google_created INTEGER NOT NULL DEFAULT 0,
    google_updated INTEGER NOT NULL DEFAULT 0,
    google_deleted INTEGER NOT NULL DEFAULT 0,
    apple_created INTEGER NOT NULL DEFAULT 0,
    apple_updated INTEGER NOT NULL DEFAULT 0,
    apple_deleted INTEGER NOT NULL DEFAULT 0,
    photos_moved INTEGER NOT NULL DEFAULT 0,
    failures INTEGER NOT NULL DEFAULT 0,
    log_text TEXT NOT NULL DEFAULT '');
CREATE TABLE history_accounts (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    local_selection TEXT NOT NULL,
    local_account_name TEXT,
    google_user TEXT);
)SQL";

// What each schema version adds to the one before, from version 1 on.
const char* const kMigrations[] = {
    nullptr,
    nullptr,
    // 2: the content digests of both sides.
    "ALTER TABLE sync_history ADD COLUMN apple_content_digest INTEGER;"
    "ALTER TABLE sync_history ADD COLUMN google_content_digest INTEGER;",
    // 3: the digest of the local photo.
    "ALTER TABLE sync_history ADD COLUMN apple_photo_digest INTEGER;",
    // 4: the values each side held when the pair was last synced.
    "ALTER TABLE sync_history ADD COLUMN apple_field_values BLOB;"
    "ALTER TABLE sync_history ADD COLUMN google_field_values BLOB;",
    // 5: the local accounts the history belongs to.
    "CREATE TABLE IF NOT EXISTS history_accounts (id INTEGER PRIMARY KEY CHECK (id = 1), local_selection TEXT NOT NULL,"
    " local_account_name TEXT);",
    // 6: the Google user the history belongs to.
    "ALTER TABLE history_accounts ADD COLUMN google_user TEXT;",
};
static_assert(sizeof(kMigrations) / sizeof(kMigrations[0]) == SyncStore::kSchemaVersion + 1);

constexpr const char* kHistoryColumns =
    "id, apple_record_id, google_id, apple_source_id, apple_update_date, google_update_date, "
    "apple_group_names_hash, google_group_names_hash, apple_image_size, google_etag, "
    "google_etag_pending_assignment, previously_merged, apple_pending_add_to_my_contacts, "
    "synced_my_contacts_at_least_once, apple_content_digest, google_content_digest, apple_photo_digest, "
    "apple_field_values, google_field_values";

constexpr const char* kLogColumns =
    "id, start_date, end_date, sync_mode, automatic, result, error, google_account, apple_account, "
    "google_created, google_updated, google_deleted, apple_created, apple_updated, apple_deleted, "
    "photos_moved, failures, log_text";

void bindText(SQLStatement& s, int index, const std::optional<std::string>& text) {
    if (text) s.bind(index, std::string_view(*text));
    else s.bindNull(index);
}

void bindDate(SQLStatement& s, int index, const std::optional<Date>& date) {
    if (date) s.bind(index, date->timeIntervalSince1970());
    else s.bindNull(index);
}

std::optional<std::string> columnText(const SQLStatement& s, int col) {
    if (s.isNull(col)) return std::nullopt;
    return s.text(col);
}

std::optional<Date> columnDate(const SQLStatement& s, int col) {
    if (s.isNull(col)) return std::nullopt;
    return Date::fromUnix(s.real(col));
}

// The 64-bit hashes are kept bit for bit in SQLite's signed integers.
int64_t storedHash(uint64_t hash) { return static_cast<int64_t>(hash); }
uint64_t loadedHash(int64_t stored) { return static_cast<uint64_t>(stored); }

void bindDigest(SQLStatement& s, int index, const std::optional<uint64_t>& digest) {
    if (digest) s.bind(index, storedHash(*digest));
    else s.bindNull(index);
}

std::optional<uint64_t> columnDigest(const SQLStatement& s, int col) {
    if (s.isNull(col)) return std::nullopt;
    return loadedHash(s.integer(col));
}

void bindBlob(SQLStatement& s, int index, const std::optional<std::string>& bytes) {
    if (bytes) s.bindBlob(index, bytes->data(), bytes->size());
    else s.bindNull(index);
}

std::optional<std::string> columnBlob(const SQLStatement& s, int col) {
    if (s.isNull(col)) return std::nullopt;
    const auto bytes = s.blob(col);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace

platform::Result<std::unique_ptr<SyncStore>> SyncStore::open(const std::filesystem::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
        if (errno != ENOENT) return storeError(file, SQLITE_CANTOPEN, errno, std::strerror(errno));
        if (auto made = create(file); !made) return made.error();
    } else if (S_ISREG(st.st_mode) && st.st_size == 0) {
        return storeError(file, SQLITE_NOTADB, 0, "it is empty");
    }
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const int systemErrno = db ? sqlite3_system_errno(db) : 0;
        Error error = storeError(file, rc, systemErrno, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        if (db) sqlite3_close(db);
        return error;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMilliseconds);
    std::unique_ptr<SyncStore> store(new SyncStore(db, file));
    if (auto prepared = store->prepareSchema(); !prepared) return prepared.error();
    return store;
}

platform::Result<void> SyncStore::create(const std::filesystem::path& file) {
    std::error_code ec;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
    static std::atomic<uint64_t> counter{0};
    const std::filesystem::path making =
        file.string() + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    auto cleanUp = [&] {
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) ::unlink((making.string() + suffix).c_str());
    };
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(making.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const int systemErrno = db ? sqlite3_system_errno(db) : 0;
        Error error = storeError(file, rc, systemErrno, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        if (db) sqlite3_close(db);
        cleanUp();
        return error;
    }
    platform::Result<void> made;
    {
        SyncStore store(db, file);
        made = store.prepareSchema();
        // Closed here: the journal is folded into the file before it is linked into place.
    }
    if (made && ::link(making.c_str(), file.c_str()) != 0 && errno != EEXIST)
        made = storeError(file, SQLITE_CANTOPEN, errno, std::strerror(errno));
    cleanUp();
    return made;
}

SyncStore::~SyncStore() {
    if (mDb) sqlite3_close(mDb);
}

Error SyncStore::lastError(const std::string& what) const {
    return storeError(mPath, sqlite3_extended_errcode(mDb), sqlite3_system_errno(mDb), what + ": " + sqlite3_errmsg(mDb));
}

platform::Result<void> SyncStore::exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(mDb, sql, nullptr, nullptr, &message) == SQLITE_OK) return {};
    Error error = storeError(mPath, sqlite3_extended_errcode(mDb), sqlite3_system_errno(mDb),
                             std::string("The sync store ") + mPath.string() + " failed: " +
                                 (message ? message : "unknown error"));
    sqlite3_free(message);
    return error;
}

platform::Result<void> SyncStore::prepareSchema() {
    if (auto wal = exec("PRAGMA journal_mode=WAL;"); !wal) return wal;
    auto readVersion = [this]() -> platform::Result<int64_t> {
        SQLStatement s(mDb, "PRAGMA user_version");
        if (!s.ok() || s.step() != SQLITE_ROW) return lastError("The sync store " + mPath.string() + " cannot be read");
        return s.integer(0);
    };
    auto version = readVersion();
    if (!version) return version.error();
    if (*version == kSchemaVersion) return {};
    // Brought up to date in one write transaction, whose version is read again inside it: another
    // process may have upgraded the file since.
    if (auto begun = exec("BEGIN IMMEDIATE;"); !begun) return begun;
    auto migrate = [&]() -> platform::Result<void> {
        version = readVersion();
        if (!version) return version.error();
        if (*version == kSchemaVersion) return {};
        if (*version > kSchemaVersion) {
            return storeError(mPath, SQLITE_MISMATCH, 0,
                              "The sync store " + mPath.string() + " was written by a newer version (schema " +
                                  std::to_string(*version) + ")");
        }
        // A new file gets the whole schema; an older one each step since its version.
        std::string script;
        if (*version == 0) {
            script += kSchema;
        } else {
            for (int64_t v = *version + 1; v <= kSchemaVersion; ++v) script += kMigrations[v];
        }
        script += "PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";";
        return exec(script.c_str());
    };
    auto migrated = migrate();
    if (migrated) migrated = exec("COMMIT;");
    if (!migrated) exec("ROLLBACK;");
    return migrated;
}

std::optional<int64_t> SyncStore::dataVersion() const {
    SQLStatement s(mDb, "PRAGMA data_version");
    if (!s.ok() || s.step() != SQLITE_ROW) return std::nullopt;
    return s.integer(0);
}

platform::Result<void> SyncStore::checkSyncHistory() {
    mCheckedHistory.reset();
    const auto version = dataVersion();
    auto read = readStoredHistory();
    if (!read) return read.error();
    if (version && version == dataVersion()) mCheckedHistory = CheckedHistory{std::move(*read), *version};
    return {};
}

platform::Result<std::vector<SyncHistoryRecordPtr>> SyncStore::fetchSyncHistory() {
    std::optional<CheckedHistory> checked = std::move(mCheckedHistory);
    mCheckedHistory.reset();
    platform::Result<std::vector<SyncHistoryRecordPtr>> stored =
        checked && dataVersion() == checked->dataVersion ? std::move(checked->records) : readStoredHistory();
    if (!stored) return stored;
    std::vector<SyncHistoryRecordPtr> records = std::move(*stored);
    std::erase_if(records, [&](const SyncHistoryRecordPtr& r) { return mDeletedRowIDs.count(r->rowID) > 0; });
    for (const auto& r : mInsertedHistory)
        if (r) records.push_back(r);
    return records;
}

platform::Result<std::vector<SyncHistoryRecordPtr>> SyncStore::readStoredHistory() {
    std::vector<SyncHistoryRecordPtr> records;
    SQLStatement s(mDb, std::string("SELECT ") + kHistoryColumns + " FROM sync_history ORDER BY id");
    if (!s.ok()) return lastError("The sync history cannot be read");
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        int64_t rowID = s.integer(0);
        auto r = std::make_shared<SyncHistoryRecord>();
        r->rowID = rowID;
        r->appleRecordID = columnText(s, 1);
        r->googleID = columnText(s, 2);
        r->appleSourceID = columnText(s, 3);
        r->appleUpdateDate = columnDate(s, 4);
        r->googleUpdateDate = columnDate(s, 5);
        r->appleGroupNamesHash = loadedHash(s.integer(6));
        r->googleGroupNamesHash = loadedHash(s.integer(7));
        r->appleImageSize = static_cast<int32_t>(s.integer(8));
        r->googleETag = columnText(s, 9);
        r->googleETagPendingAssignment = s.integer(10) != 0;
        r->previouslyMerged = s.integer(11) != 0;
        r->applePendingAddToMyContacts = s.integer(12) != 0;
        r->syncedMyContactsAtLeastOnce = s.integer(13) != 0;
        r->appleContentDigest = columnDigest(s, 14);
        r->googleContentDigest = columnDigest(s, 15);
        r->applePhotoDigest = columnDigest(s, 16);
        r->appleFieldValues = columnBlob(s, 17);
        r->googleFieldValues = columnBlob(s, 18);
        records.push_back(std::move(r));
    }
    if (rc != SQLITE_DONE) return lastError("The sync history cannot be read");
    return records;
}

platform::Result<std::vector<SyncLogRecord>> SyncStore::fetchSyncLogs() {
    std::vector<SyncLogRecord> logs;
    SQLStatement s(mDb, std::string("SELECT ") + kLogColumns + " FROM sync_log ORDER BY id");
    if (!s.ok()) return lastError("The sync log cannot be read");
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        SyncLogRecord l;
        l.rowID = s.integer(0);
        l.startDate = Date::fromUnix(s.real(1));
        l.endDate = columnDate(s, 2);
        l.syncMode = static_cast<int32_t>(s.integer(3));
        l.automatic = s.integer(4) != 0;
        l.result = s.text(5);
        l.error = columnText(s, 6);
        l.googleAccount = columnText(s, 7);
        l.appleAccount = columnText(s, 8);
        l.googleCreated = static_cast<int32_t>(s.integer(9));
        l.googleUpdated = static_cast<int32_t>(s.integer(10));
        l.googleDeleted = static_cast<int32_t>(s.integer(11));
        l.appleCreated = static_cast<int32_t>(s.integer(12));
        l.appleUpdated = static_cast<int32_t>(s.integer(13));
        l.appleDeleted = static_cast<int32_t>(s.integer(14));
        l.photosMoved = static_cast<int32_t>(s.integer(15));
        l.failures = static_cast<int32_t>(s.integer(16));
        l.logText = s.text(17);
        logs.push_back(std::move(l));
    }
    if (rc != SQLITE_DONE) return lastError("The sync log cannot be read");
    logs.insert(logs.end(), mInsertedLogs.begin(), mInsertedLogs.end());
    return logs;
}

void SyncStore::insertSyncHistory(const SyncHistoryRecordPtr& record) {
    if (!record || record->rowID != 0) return;
    if (!mInsertedSlots.emplace(record.get(), mInsertedHistory.size()).second) return;
    mInsertedHistory.push_back(record);
}

void SyncStore::deleteSyncHistory(const SyncHistoryRecordPtr& record) {
    if (!record) return;
    if (record->rowID == 0) {
        if (auto it = mInsertedSlots.find(record.get()); it != mInsertedSlots.end()) {
            mInsertedHistory[it->second] = nullptr;
            mInsertedSlots.erase(it);
        }
        return;
    }
    if (mDeletedRowIDs.insert(record->rowID).second) mDeletedHistory.push_back(record->rowID);
}

void SyncStore::insertSyncLog(SyncLogRecord record) {
    record.rowID = 0;
    mInsertedLogs.push_back(std::move(record));
}

platform::Result<std::optional<HistoryAccounts>> SyncStore::historyAccounts() {
    if (mStagedAccounts) return mStagedAccounts;
    SQLStatement s(mDb, "SELECT local_selection, local_account_name, google_user FROM history_accounts WHERE id = 1");
    if (!s.ok()) return lastError("The sync history's accounts cannot be read");
    const int rc = s.step();
    if (rc == SQLITE_DONE) return std::optional<HistoryAccounts>();
    if (rc != SQLITE_ROW) return lastError("The sync history's accounts cannot be read");
    return std::optional<HistoryAccounts>(HistoryAccounts{s.text(0), columnText(s, 1), columnText(s, 2)});
}

void SyncStore::setHistoryAccounts(HistoryAccounts accounts) { mStagedAccounts = std::move(accounts); }

platform::Result<std::map<std::string, size_t>> SyncStore::storedRecordsPerLocalSource() {
    std::map<std::string, size_t> out;
    SQLStatement s(mDb, "SELECT coalesce(apple_source_id, ''), count(*) FROM sync_history GROUP BY 1");
    if (!s.ok()) return lastError("The sync history cannot be read");
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) out[s.text(0)] += size_t(s.integer(1));
    if (rc != SQLITE_DONE) return lastError("The sync history cannot be read");
    return out;
}

bool SyncStore::hasChanges() const {
    return !mInsertedSlots.empty() || !mDeletedHistory.empty() || !mInsertedLogs.empty() || mStagedAccounts;
}

platform::Result<void> SyncStore::save() {
    if (!hasChanges()) return {};
    mCheckedHistory.reset();  // what it read is about to change
    // Insertions deleted again leave empty slots: drop them first.
    std::erase(mInsertedHistory, nullptr);
    for (size_t i = 0; i < mInsertedHistory.size(); ++i) mInsertedSlots[mInsertedHistory[i].get()] = i;
    if (auto begun = exec("BEGIN IMMEDIATE;"); !begun) return begun;
    std::vector<int64_t> newHistoryIDs;
    int64_t savedLogID = 0;
    platform::Result<void> outcome;
    bool ok = true;
    auto fail = [&](const std::string& what) {
        outcome = lastError(what);
        ok = false;
    };
    {
        SQLStatement del(mDb, "DELETE FROM sync_history WHERE id = ?");
        if (!del.ok()) fail("The sync history cannot be written");
        for (size_t i = 0; ok && i < mDeletedHistory.size(); ++i) {
            del.bind(1, mDeletedHistory[i]);
            if (del.step() != SQLITE_DONE) fail("A sync history record cannot be deleted");
            del.reset();
        }
    }
    if (ok) {
        SQLStatement ins(mDb,
                         "INSERT INTO sync_history (apple_record_id, google_id, apple_source_id, apple_update_date, "
                         "google_update_date, apple_group_names_hash, google_group_names_hash, apple_image_size, "
                         "google_etag, google_etag_pending_assignment, previously_merged, "
                         "apple_pending_add_to_my_contacts, synced_my_contacts_at_least_once, "
                         "apple_content_digest, google_content_digest, apple_photo_digest, apple_field_values, "
                         "google_field_values) "
                         "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
        if (!ins.ok()) fail("The sync history cannot be written");
        for (size_t i = 0; ok && i < mInsertedHistory.size(); ++i) {
            const SyncHistoryRecord& r = *mInsertedHistory[i];
            bindText(ins, 1, r.appleRecordID);
            bindText(ins, 2, r.googleID);
            bindText(ins, 3, r.appleSourceID);
            bindDate(ins, 4, r.appleUpdateDate);
            bindDate(ins, 5, r.googleUpdateDate);
            ins.bind(6, storedHash(r.appleGroupNamesHash));
            ins.bind(7, storedHash(r.googleGroupNamesHash));
            ins.bind(8, int64_t(r.appleImageSize));
            bindText(ins, 9, r.googleETag);
            ins.bind(10, int64_t(r.googleETagPendingAssignment));
            ins.bind(11, int64_t(r.previouslyMerged));
            ins.bind(12, int64_t(r.applePendingAddToMyContacts));
            ins.bind(13, int64_t(r.syncedMyContactsAtLeastOnce));
            bindDigest(ins, 14, r.appleContentDigest);
            bindDigest(ins, 15, r.googleContentDigest);
            bindDigest(ins, 16, r.applePhotoDigest);
            bindBlob(ins, 17, r.appleFieldValues);
            bindBlob(ins, 18, r.googleFieldValues);
            if (ins.step() != SQLITE_DONE) fail("A sync history record cannot be written");
            else newHistoryIDs.push_back(sqlite3_last_insert_rowid(mDb));
            ins.reset();
        }
    }
    if (ok) {
        SQLStatement ins(mDb, std::string("INSERT INTO sync_log (") + (kLogColumns + 4) +
                                  ") VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
        if (!ins.ok()) fail("The sync log cannot be written");
        for (size_t i = 0; ok && i < mInsertedLogs.size(); ++i) {
            const SyncLogRecord& l = mInsertedLogs[i];
            ins.bind(1, l.startDate.timeIntervalSince1970());
            bindDate(ins, 2, l.endDate);
            ins.bind(3, int64_t(l.syncMode));
            ins.bind(4, int64_t(l.automatic));
            ins.bind(5, std::string_view(l.result));
            bindText(ins, 6, l.error);
            bindText(ins, 7, l.googleAccount);
            bindText(ins, 8, l.appleAccount);
            const int32_t counts[] = {l.googleCreated, l.googleUpdated, l.googleDeleted, l.appleCreated,
                                      l.appleUpdated,  l.appleDeleted,  l.photosMoved,   l.failures};
            for (int c = 0; c < 8; ++c) ins.bind(9 + c, int64_t(counts[c]));
            ins.bind(17, std::string_view(l.logText));
            if (ins.step() != SQLITE_DONE) fail("A sync log record cannot be written");
            else savedLogID = sqlite3_last_insert_rowid(mDb);
            ins.reset();
        }
    }
    if (ok && mStagedAccounts) {
        SQLStatement ins(mDb, "INSERT OR REPLACE INTO history_accounts (id, local_selection, local_account_name, google_user) "
                              "VALUES (1, ?, ?, ?)");
        if (!ins.ok()) fail("The sync history's accounts cannot be written");
        bindText(ins, 1, mStagedAccounts->localSelection);
        bindText(ins, 2, mStagedAccounts->localAccountName);
        bindText(ins, 3, mStagedAccounts->googleUser);
        if (ok && ins.step() != SQLITE_DONE) fail("The sync history's accounts cannot be written");
    }
    if (ok && !mInsertedLogs.empty()) {
        std::string prune = "DELETE FROM sync_log WHERE id NOT IN (SELECT id FROM sync_log ORDER BY id DESC LIMIT " +
                            std::to_string(kLogsKept) + ");";
        outcome = exec(prune.c_str());
        ok = outcome.ok();
    }
    if (ok) {
        outcome = exec("COMMIT;");
        ok = outcome.ok();
    }
    if (!ok) {
        exec("ROLLBACK;");
        return outcome;
    }
    for (size_t i = 0; i < mInsertedHistory.size(); ++i) mInsertedHistory[i]->rowID = newHistoryIDs[i];
    mInsertedHistory.clear();
    mInsertedSlots.clear();
    mDeletedHistory.clear();
    mDeletedRowIDs.clear();
    if (!mInsertedLogs.empty()) mLastSavedLogID = savedLogID;
    mInsertedLogs.clear();
    mStagedAccounts.reset();
    return {};
}

}  // namespace quorvane
