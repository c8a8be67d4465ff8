#include "telemetry/MSLogDBStorage.h"

#include <sqlite3.h>

#include "platform/foundation/Base64.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/UUID.h"
#include "telemetry/MSEncrypter.h"
#include "telemetry/MSLogger.h"
#include "telemetry/MSTelemetryClasses.h"
#include "telemetry/MSUtility.h"

namespace quorvane {

namespace {
std::string quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

struct Statement {
    sqlite3_stmt* stmt = nullptr;
    Statement(sqlite3* db, const std::string& sql) { sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr); }
    ~Statement() { sqlite3_finalize(stmt); }
    explicit operator bool() const { return stmt != nullptr; }
};

// A stored log: its keyed archive, or (as written before) the Base64 text of that archive. An
// archive begins with "{", which Base64 never holds.
std::shared_ptr<MSAbstractLog> archivedLog(std::string_view stored, std::string& error) {
    if (stored.starts_with('{')) return platform::KeyedUnarchiver::unarchivedObject<MSAbstractLog>(stored, &error);
    auto bytes = platform::base64Decode(stored);
    if (!bytes) {
        error = "the text is neither an archive nor Base64";
        return nullptr;
    }
    return platform::KeyedUnarchiver::unarchivedObject<MSAbstractLog>(
        std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), &error);
}

std::optional<std::string> targetTokenOf(const MSAbstractLog& log) {
    auto tokens = log.transmissionTargetTokens();
    if (!tokens || tokens->empty()) return std::nullopt;
    return *tokens->begin();
}
}  // namespace

MSLogDBStorage::MSLogDBStorage(std::filesystem::path file, int64_t maxStorageSize)
    : path_(std::move(file)), maxSize_(maxStorageSize) {
    registerTelemetryClasses();
    platform::Paths::ensureDirectory(path_.parent_path());
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        MSLogError(kMSLogTag, "Couldn't open the log database at " + path_.string() + ": " + sqlite3_errmsg(db_));
        sqlite3_close(db_);
        db_ = nullptr;
        return;
    }
    sqlite3_busy_timeout(db_, 5000);
    std::lock_guard lock(mutex_);
    const bool ok = execLocked("PRAGMA journal_mode=WAL") && execLocked("PRAGMA synchronous=NORMAL") &&
                    execLocked("CREATE TABLE IF NOT EXISTS logs (id INTEGER PRIMARY KEY AUTOINCREMENT, "
                               "groupId TEXT NOT NULL, log TEXT NOT NULL, targetKey TEXT, targetToken TEXT, "
                               "priority INTEGER NOT NULL)") &&
                    execLocked("CREATE INDEX IF NOT EXISTS logs_by_group ON logs (groupId, priority DESC, id)") &&
                    execLocked("PRAGMA user_version=1");
    if (ok)
        sqlite3_prepare_v2(db_, "INSERT INTO logs (groupId, log, targetKey, targetToken, priority) VALUES (?, ?, ?, ?, ?)", -1,
                           &insert_, nullptr);
    Statement sum(db_, "SELECT COALESCE(SUM(LENGTH(log)), 0) FROM logs");
    if (!ok || !insert_ || !sum || sqlite3_step(sum.stmt) != SQLITE_ROW) {
        MSLogError(kMSLogTag, "Couldn't prepare the log database at " + path_.string() + ": " + sqlite3_errmsg(db_));
        sqlite3_finalize(insert_);
        insert_ = nullptr;
        sqlite3_close(db_);
        db_ = nullptr;
        return;
    }
    bytes_ = sqlite3_column_int64(sum.stmt, 0);
}

MSEncrypter& MSLogDBStorage::encrypterLocked() {
    if (!encrypter_) encrypter_ = std::make_unique<MSEncrypter>();
    return *encrypter_;
}

MSLogDBStorage::~MSLogDBStorage() {
    sqlite3_finalize(insert_);
    sqlite3_close(db_);
}

bool MSLogDBStorage::execLocked(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) == SQLITE_OK) return true;
    MSLogError(kMSLogTag, std::string("Log database statement failed (") + sql + "): " + (error ? error : ""));
    sqlite3_free(error);
    return false;
}

std::string MSLogDBStorage::inFlightListLocked() const {
    std::string list;
    for (int64_t id : inFlight_) list += (list.empty() ? "" : ",") + std::to_string(id);
    return list;
}

bool MSLogDBStorage::makeRoomLocked(int64_t bytes) {
    if (bytes > maxSize_) return false;
    const std::string notInFlight = inFlight_.empty() ? "" : " AND id NOT IN (" + inFlightListLocked() + ")";
    for (const char* which : {"priority <= 1", "1"}) {
        while (bytes_ + bytes > maxSize_) {
            Statement oldest(db_, std::string("SELECT id, LENGTH(log) FROM logs WHERE ") + which + notInFlight +
                                      " ORDER BY id LIMIT 64");
            std::vector<std::pair<int64_t, int64_t>> victims;
            while (oldest && sqlite3_step(oldest.stmt) == SQLITE_ROW && bytes_ + bytes > maxSize_) {
                victims.emplace_back(sqlite3_column_int64(oldest.stmt, 0), sqlite3_column_int64(oldest.stmt, 1));
                bytes_ -= victims.back().second;
            }
            if (victims.empty()) break;
            std::string ids;
            for (auto& v : victims) ids += (ids.empty() ? "" : ",") + std::to_string(v.first);
            execLocked(("DELETE FROM logs WHERE id IN (" + ids + ")").c_str());
            MSLogWarning(kMSLogTag, "Storage is full: dropped the " + std::to_string(victims.size()) + " oldest logs.");
        }
    }
    return bytes_ + bytes <= maxSize_;
}

bool MSLogDBStorage::insertLocked(const std::string& text, const Item& item) {
    if (!makeRoomLocked(int64_t(text.size()))) {
        MSLogError(kMSLogTag, "Couldn't store a log of " + std::to_string(text.size()) + " bytes: storage is full.");
        return false;
    }
    const auto token = targetTokenOf(*item.log);
    const auto key = token ? MSUtility::targetKeyFromTargetToken(*token) : std::nullopt;
    const auto sealedToken = token ? encrypterLocked().encryptString(*token) : std::nullopt;
    sqlite3_reset(insert_);
    sqlite3_bind_text(insert_, 1, item.groupId.c_str(), -1, SQLITE_TRANSIENT);
    // Bound as bytes, so that LENGTH(log) counts bytes also where the text is not ASCII.
    sqlite3_bind_blob(insert_, 2, text.data(), int(text.size()), SQLITE_STATIC);
    if (key)
        sqlite3_bind_text(insert_, 3, key->c_str(), -1, SQLITE_TRANSIENT);
    else
        sqlite3_bind_null(insert_, 3);
    if (sealedToken)
        sqlite3_bind_text(insert_, 4, sealedToken->c_str(), -1, SQLITE_TRANSIENT);
    else
        sqlite3_bind_null(insert_, 4);
    sqlite3_bind_int(insert_, 5, int(item.flags & MSFlagsPersistenceMask));
    const bool ok = sqlite3_step(insert_) == SQLITE_DONE;
    sqlite3_reset(insert_);
    if (!ok) {
        MSLogError(kMSLogTag, std::string("Couldn't store a log: ") + sqlite3_errmsg(db_));
        return false;
    }
    bytes_ += int64_t(text.size());
    return true;
}

std::string MSLogDBStorage::storedTextForLog(const MSAbstractLog& log) {
    return platform::KeyedArchiver::archivedData(log);
}

bool MSLogDBStorage::saveLog(const std::shared_ptr<MSAbstractLog>& log, const std::string& groupId, uint32_t flags) {
    return saveLogs({{log, groupId, flags, {}}}).front();
}

std::vector<bool> MSLogDBStorage::saveLogs(std::vector<Item> items) {
    std::vector<std::string> texts;
    texts.reserve(items.size());
    for (auto& item : items) texts.push_back(item.storedText.empty() ? storedTextForLog(*item.log) : std::move(item.storedText));
    std::vector<bool> saved(items.size(), false);
    std::lock_guard lock(mutex_);
    if (!db_) return saved;
    const bool transaction = items.size() > 1 && execLocked("BEGIN IMMEDIATE");
    for (size_t i = 0; i < items.size(); ++i) saved[i] = insertLocked(texts[i], items[i]);
    if (transaction && !execLocked("COMMIT")) {
        execLocked("ROLLBACK");
        std::fill(saved.begin(), saved.end(), false);
        Statement sum(db_, "SELECT COALESCE(SUM(LENGTH(log)), 0) FROM logs");
        if (sum && sqlite3_step(sum.stmt) == SQLITE_ROW) bytes_ = sqlite3_column_int64(sum.stmt, 0);
    }
    return saved;
}

std::optional<MSLogDBStorage::Batch> MSLogDBStorage::loadLogsWithGroupId(const std::string& groupId, size_t limit,
                                                                          const std::set<std::string>& excluded) {
    std::lock_guard lock(mutex_);
    if (!db_ || limit == 0) return std::nullopt;
    std::string sql = "SELECT id, log, targetToken FROM logs WHERE groupId = " + quoted(groupId);
    if (!inFlight_.empty()) sql += " AND id NOT IN (" + inFlightListLocked() + ")";
    if (!excluded.empty()) {
        std::string keys;
        for (const auto& k : excluded) keys += (keys.empty() ? "" : ",") + quoted(k);
        sql += " AND (targetKey IS NULL OR targetKey NOT IN (" + keys + "))";
    }
    sql += " ORDER BY priority DESC, id LIMIT " + std::to_string(limit);
    Statement select(db_, sql);
    Batch batch;
    std::vector<int64_t> ids, damaged;
    while (select && sqlite3_step(select.stmt) == SQLITE_ROW) {
        const int64_t id = sqlite3_column_int64(select.stmt, 0);
        const auto* data = static_cast<const char*>(sqlite3_column_blob(select.stmt, 1));
        std::string error;
        auto log = archivedLog(std::string_view(data ? data : "", size_t(sqlite3_column_bytes(select.stmt, 1))), error);
        if (!log) {
            MSLogWarning(kMSLogTag, "Deleting a stored log that cannot be read: " + error);
            damaged.push_back(id);
            bytes_ -= int64_t(sqlite3_column_bytes(select.stmt, 1));
            continue;
        }
        if (const auto* sealed = reinterpret_cast<const char*>(sqlite3_column_text(select.stmt, 2))) {
            if (auto token = encrypterLocked().decryptString(sealed)) log->addTransmissionTargetToken(*token);
        }
        ids.push_back(id);
        batch.logs.push_back(std::move(log));
    }
    for (int64_t id : damaged) execLocked(("DELETE FROM logs WHERE id = " + std::to_string(id)).c_str());
    if (ids.empty()) return std::nullopt;
    batch.batchId = platform::UUID().uuidString();
    inFlight_.insert(ids.begin(), ids.end());
    batches_[batch.batchId] = std::move(ids);
    return batch;
}

void MSLogDBStorage::deleteLogsWithBatchId(const std::string& batchId) {
    std::lock_guard lock(mutex_);
    auto it = batches_.find(batchId);
    if (it == batches_.end() || !db_) return;
    std::string ids;
    for (int64_t id : it->second) ids += (ids.empty() ? "" : ",") + std::to_string(id);
    Statement size(db_, "SELECT COALESCE(SUM(LENGTH(log)), 0) FROM logs WHERE id IN (" + ids + ")");
    if (size && sqlite3_step(size.stmt) == SQLITE_ROW) bytes_ -= sqlite3_column_int64(size.stmt, 0);
    execLocked(("DELETE FROM logs WHERE id IN (" + ids + ")").c_str());
    for (int64_t id : it->second) inFlight_.erase(id);
    batches_.erase(it);
}

size_t MSLogDBStorage::deleteLogsWithGroupId(const std::string& groupId) {
    std::lock_guard lock(mutex_);
    if (!db_) return 0;
    Statement ids(db_, "SELECT id, LENGTH(log) FROM logs WHERE groupId = " + quoted(groupId));
    while (ids && sqlite3_step(ids.stmt) == SQLITE_ROW) {
        inFlight_.erase(sqlite3_column_int64(ids.stmt, 0));
        bytes_ -= sqlite3_column_int64(ids.stmt, 1);
    }
    execLocked(("DELETE FROM logs WHERE groupId = " + quoted(groupId)).c_str());
    return size_t(sqlite3_changes(db_));
}

size_t MSLogDBStorage::countLogs(const std::string& groupId) {
    std::lock_guard lock(mutex_);
    if (!db_) return 0;
    std::string sql = "SELECT COUNT(*) FROM logs WHERE groupId = " + quoted(groupId);
    if (!inFlight_.empty()) sql += " AND id NOT IN (" + inFlightListLocked() + ")";
    Statement count(db_, sql);
    return count && sqlite3_step(count.stmt) == SQLITE_ROW ? size_t(sqlite3_column_int64(count.stmt, 0)) : 0;
}

size_t MSLogDBStorage::countAllLogs() {
    std::lock_guard lock(mutex_);
    if (!db_) return 0;
    Statement count(db_, "SELECT COUNT(*) FROM logs");
    return count && sqlite3_step(count.stmt) == SQLITE_ROW ? size_t(sqlite3_column_int64(count.stmt, 0)) : 0;
}

int64_t MSLogDBStorage::storedBytes() {
    std::lock_guard lock(mutex_);
    return bytes_;
}

void MSLogDBStorage::setMaxStorageSize(int64_t bytes) {
    std::lock_guard lock(mutex_);
    maxSize_ = bytes;
}

}  // namespace quorvane
