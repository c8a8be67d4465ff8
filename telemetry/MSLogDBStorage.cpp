#include "telemetry/MSLogDBStorage.h"

#include <sqlite3.h>

#include "platform/contacts/ContactsDatabase.h"
#include "platform/foundation/Base64.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/UUID.h"
#include "telemetry/MSEncrypter.h"
#include "telemetry/MSLogger.h"
#include "telemetry/MSTelemetryClasses.h"
#include "telemetry/MSUtility.h"

namespace quorvane {

using platform::SQLStatement;

namespace {
// A stored log: its keyed archive, or (as written before) the Base64 text of that archive. An
// archive begins with "{", which Base64 never holds.
platform::Result<std::shared_ptr<MSAbstractLog>> archivedLog(std::string_view stored) {
    if (stored.starts_with('{')) return platform::KeyedUnarchiver::unarchivedObject<MSAbstractLog>(stored);
    auto bytes = platform::base64Decode(stored);
    if (!bytes) return platform::keyedArchiveError("the text is neither an archive nor Base64");
    return platform::KeyedUnarchiver::unarchivedObject<MSAbstractLog>(
        std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
}

std::optional<std::string> targetTokenOf(const MSAbstractLog& log) {
    auto tokens = log.transmissionTargetTokens();
    if (!tokens || tokens->empty()) return std::nullopt;
    return *tokens->begin();
}

std::string_view columnBytes(const SQLStatement& statement, int column) {
    const auto* data = static_cast<const char*>(sqlite3_column_blob(statement.get(), column));
    return data ? std::string_view(data, size_t(sqlite3_column_bytes(statement.get(), column))) : std::string_view();
}

// Errors after which the connection is not to be trusted: it is closed and opened again.
bool leavesConnectionUnusable(int rc) {
    switch (rc & 0xff) {
    case SQLITE_IOERR:
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FULL:
    case SQLITE_CANTOPEN:
    case SQLITE_READONLY:
    case SQLITE_PROTOCOL:
        return true;
    default:
        return false;
    }
}

bool meansDamagedFile(int rc) { return (rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB; }
}  // namespace

MSLogDBStorage::MSLogDBStorage(std::filesystem::path file, int64_t maxStorageSize)
    : path_(std::move(file)), maxSize_(maxStorageSize) {
    registerTelemetryClasses();
    std::lock_guard lock(mutex_);
    openLocked();
}

MSLogDBStorage::~MSLogDBStorage() {
    std::lock_guard lock(mutex_);
    if (db_ && !undeleted_.empty()) retryUndeletedLocked();
    closeLocked();
}

MSEncrypter& MSLogDBStorage::encrypterLocked() {
    if (!encrypter_) encrypter_ = std::make_unique<MSEncrypter>();
    return *encrypter_;
}

std::filesystem::path MSLogDBStorage::damagedPath() const {
    auto damaged = path_;
    return damaged += ".damaged";
}

bool MSLogDBStorage::isOpen() {
    std::lock_guard lock(mutex_);
    return readyLocked();
}

bool MSLogDBStorage::openLocked() {
    if (db_) return true;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (damaged_ && !moveDamagedFileAsideLocked("it is damaged")) break;
        std::string message;
        auto opened = platform::openSQLiteFile(path_);
        db_ = opened.valueOr(nullptr);
        if (!opened) message = opened.error().localizedDescription();
        const int rc = db_ ? prepareLocked() : SQLITE_CANTOPEN;
        if (rc == SQLITE_OK) {
            openFailureLogged_ = false;
            return true;
        }
        if (db_) message = sqlite3_errmsg(db_);
        closeLocked();
        if (!meansDamagedFile(rc) || attempt > 0) {
            if (!std::exchange(openFailureLogged_, true))
                MSLogError(kMSLogTag, "Couldn't open the log database at " + path_.string() + ": " + message +
                                          "; logs are not stored until it opens.");
            return false;
        }
        damaged_ = true;
    }
    return false;
}

int MSLogDBStorage::prepareLocked() {
    auto exec = [&](const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); };
    int rc = exec("PRAGMA journal_mode=WAL");
    if (rc == SQLITE_OK) rc = exec("PRAGMA synchronous=NORMAL");
    if (rc == SQLITE_OK)
        rc = exec("CREATE TABLE IF NOT EXISTS logs (id INTEGER PRIMARY KEY AUTOINCREMENT, groupId TEXT NOT NULL, "
                  "log TEXT NOT NULL, targetKey TEXT, targetToken TEXT, priority INTEGER NOT NULL)");
    if (rc == SQLITE_OK) rc = exec("CREATE INDEX IF NOT EXISTS logs_by_group ON logs (groupId, priority DESC, id)");
    if (rc == SQLITE_OK) {  // written only when it differs: opening writes nothing else
        int64_t version = -1;
        {
            SQLStatement read(db_, "PRAGMA user_version");
            if (!read.ok()) return sqlite3_errcode(db_);
            if ((rc = read.step()) == SQLITE_ROW) version = read.integer(0), rc = SQLITE_OK;
        }
        if (rc == SQLITE_OK && version != 1) rc = exec("PRAGMA user_version=1");
    }
    if (rc != SQLITE_OK) return rc;
    insert_ = std::make_unique<SQLStatement>(
        db_, "INSERT INTO logs (groupId, log, targetKey, targetToken, priority) VALUES (?, ?, ?, ?, ?)");
    if (!insert_->ok()) return sqlite3_errcode(db_);
    SQLStatement sum(db_, "SELECT COALESCE(SUM(LENGTH(log)), 0) FROM logs");
    if (!sum.ok()) return sqlite3_errcode(db_);
    rc = sum.step();
    if (rc != SQLITE_ROW) return rc;
    bytes_ = sum.integer(0);
    return SQLITE_OK;
}

void MSLogDBStorage::closeLocked() {
    insert_.reset();
    // A statement of the failing operation may still be alive: the connection goes when it does.
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
}

bool MSLogDBStorage::moveDamagedFileAsideLocked(const std::string& reason) {
    damaged_ = false;
    closeLocked();
    std::error_code ec;
    const auto damaged = damagedPath();
    std::filesystem::rename(path_, damaged, ec);
    if (ec && std::filesystem::exists(path_)) {
        MSLogError(kMSLogTag, "Couldn't move the damaged log database " + path_.string() + " aside: " + ec.message());
        return false;
    }
    // Its journal belongs to it: kept beside it, or gone with it.
    for (const char* suffix : {"-wal", "-shm"}) {
        auto from = path_, to = damaged;
        from += suffix;
        to += suffix;
        std::error_code ignored;
        std::filesystem::remove(to, ignored);
        if (std::filesystem::exists(from, ignored)) std::filesystem::rename(from, to, ignored);
    }
    // Rows of the old file are gone: nothing of them is in flight any more.
    batches_.clear();
    held_.clear();
    undeleted_.clear();
    bytes_ = 0;
    MSLogError(kMSLogTag, "The log database " + path_.string() + " could not be read (" + reason + "); moved it to " +
                              damaged.string() + " and started a new one. The logs it held are lost.");
    return true;
}

bool MSLogDBStorage::failedLocked(int rc, const std::string& what) {
    MSLogError(kMSLogTag, what + ": " + (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc)));
    if (meansDamagedFile(rc)) damaged_ = true;
    if (leavesConnectionUnusable(rc)) {
        closeLocked();
        MSLogWarning(kMSLogTag, "Closed the log database after that error; it is opened again when next used.");
    }
    return false;
}

bool MSLogDBStorage::preparedLocked(const SQLStatement& statement) {
    return statement.ok() || failedLocked(sqlite3_errcode(db_), "Couldn't prepare a log database statement");
}

bool MSLogDBStorage::readyLocked() {
    if (!db_ && !openLocked()) return false;
    if (!undeleted_.empty()) retryUndeletedLocked();
    return db_ != nullptr;
}

bool MSLogDBStorage::execLocked(const char* sql) {
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK || failedLocked(rc, std::string("Log database statement failed (") + sql + ")");
}

void MSLogDBStorage::recountLocked() {
    SQLStatement sum(db_, "SELECT COALESCE(SUM(LENGTH(log)), 0) FROM logs");
    if (sum.ok() && sum.step() == SQLITE_ROW) bytes_ = sum.integer(0);
}

bool MSLogDBStorage::deleteRowsLocked(const std::vector<int64_t>& ids) {
    if (ids.empty()) return true;
    // Inside the caller's transaction (making room while storing) or in one of its own.
    const bool own = sqlite3_get_autocommit(db_) != 0;
    if (own && !execLocked("BEGIN IMMEDIATE")) return false;
    auto rollback = [&] {
        if (own && db_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    };
    SQLStatement size(db_, "SELECT LENGTH(log) FROM logs WHERE id = ?");
    SQLStatement remove(db_, "DELETE FROM logs WHERE id = ?");
    if (!size.ok() || !remove.ok()) {
        const int rc = sqlite3_errcode(db_);
        rollback();
        return failedLocked(rc, "Couldn't prepare a log database statement");
    }
    int64_t freed = 0;
    for (int64_t id : ids) {
        size.reset();
        size.bind(1, id);
        if (size.step() == SQLITE_ROW) freed += size.integer(0);
        remove.reset();
        remove.bind(1, id);
        if (const int rc = remove.step(); rc != SQLITE_DONE) {
            rollback();
            return failedLocked(rc, "Couldn't delete stored logs");
        }
    }
    if (const int rc = own ? sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) : SQLITE_OK; rc != SQLITE_OK) {
        rollback();
        return failedLocked(rc, "Couldn't delete stored logs");
    }
    bytes_ -= freed;
    return true;
}

void MSLogDBStorage::retryUndeletedLocked() {
    if (!deleteRowsLocked(undeleted_)) return;
    MSLogInfo(kMSLogTag, "Deleted the " + std::to_string(undeleted_.size()) + " sent logs whose delete had failed.");
    for (int64_t id : undeleted_) held_.erase(id);
    undeleted_.clear();
}

bool MSLogDBStorage::makeRoomLocked(int64_t bytes) {
    if (bytes > maxSize_) return false;
    for (const char* sql : {"SELECT id, LENGTH(log) FROM logs WHERE priority <= 1 ORDER BY id",
                            "SELECT id, LENGTH(log) FROM logs ORDER BY id"}) {
        if (bytes_ + bytes <= maxSize_) break;
        std::vector<int64_t> victims;
        int64_t freed = 0;
        {
            SQLStatement oldest(db_, sql);
            if (!preparedLocked(oldest)) return false;
            while (bytes_ - freed + bytes > maxSize_ && oldest.step() == SQLITE_ROW) {
                if (held_.count(oldest.integer(0))) continue;
                victims.push_back(oldest.integer(0));
                freed += oldest.integer(1);
            }
        }
        if (victims.empty()) continue;
        if (!deleteRowsLocked(victims)) return false;
        MSLogWarning(kMSLogTag, "Storage is full: dropped the " + std::to_string(victims.size()) + " oldest logs.");
    }
    return bytes_ + bytes <= maxSize_;
}

bool MSLogDBStorage::insertLocked(const std::string& text, const Item& item) {
    if (!makeRoomLocked(int64_t(text.size()))) {
        if (db_)
            MSLogError(kMSLogTag, "Couldn't store a log of " + std::to_string(text.size()) + " bytes: storage is full.");
        return false;
    }
    const auto token = targetTokenOf(*item.log);
    const auto key = token ? MSUtility::targetKeyFromTargetToken(*token) : std::nullopt;
    const auto sealedToken = token ? encrypterLocked().encryptString(*token) : std::nullopt;
    auto& insert = *insert_;
    insert.reset();
    insert.bind(1, item.groupId);
    // Bound as bytes, so that LENGTH(log) counts bytes also where the text is not ASCII.
    insert.bindBlob(2, text.data(), text.size());
    key ? insert.bind(3, *key) : insert.bindNull(3);
    sealedToken ? insert.bind(4, *sealedToken) : insert.bindNull(4);
    insert.bind(5, int64_t(item.flags & MSFlagsPersistenceMask));
    const int rc = insert.step();
    insert.reset();
    if (rc != SQLITE_DONE) return failedLocked(rc, "Couldn't store a log");
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
    if (!readyLocked()) {
        if (!items.empty())
            MSLogError(kMSLogTag, "Couldn't store " + std::to_string(items.size()) + " logs: the log database is not open.");
        return saved;
    }
    const bool transaction = items.size() > 1 && execLocked("BEGIN IMMEDIATE");
    for (size_t i = 0; i < items.size() && db_; ++i) saved[i] = insertLocked(texts[i], items[i]);
    if (transaction) {
        const int rc = db_ ? sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) : SQLITE_ABORT;
        if (rc != SQLITE_OK) {
            if (db_) {
                sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
                failedLocked(rc, "Couldn't store " + std::to_string(items.size()) + " logs");
            }
            std::fill(saved.begin(), saved.end(), false);
            if (db_) recountLocked();
        }
    }
    return saved;
}

std::optional<MSLogDBStorage::Batch> MSLogDBStorage::loadLogsWithGroupId(const std::string& groupId, size_t limit,
                                                                          const std::set<std::string>& excluded) {
    std::lock_guard lock(mutex_);
    if (limit == 0 || !readyLocked()) return std::nullopt;
    // Rows are picked by their id and target key; only the chosen ones are read whole.
    std::vector<int64_t> candidates;
    {
        SQLStatement select(db_, "SELECT id, targetKey FROM logs WHERE groupId = ? ORDER BY priority DESC, id");
        if (!preparedLocked(select)) return std::nullopt;
        select.bind(1, groupId);
        int rc = SQLITE_DONE;
        while (candidates.size() < limit && (rc = select.step()) == SQLITE_ROW) {
            if (held_.count(select.integer(0))) continue;
            if (!select.isNull(1) && excluded.count(select.text(1))) continue;
            candidates.push_back(select.integer(0));
        }
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            failedLocked(rc, "Couldn't load stored logs");
            return std::nullopt;
        }
    }
    Batch batch;
    std::vector<int64_t> ids, damaged;
    {
        SQLStatement row(db_, "SELECT log, targetToken FROM logs WHERE id = ?");
        if (!preparedLocked(row)) return std::nullopt;
        for (int64_t id : candidates) {
            row.reset();
            row.bind(1, id);
            if (const int rc = row.step(); rc != SQLITE_ROW) {
                if (rc == SQLITE_DONE) continue;
                failedLocked(rc, "Couldn't load stored logs");
                return std::nullopt;
            }
            auto archived = archivedLog(columnBytes(row, 0));
            if (!archived) {
                MSLogWarning(kMSLogTag,
                             "Deleting a stored log that cannot be read: " + archived.error().localizedDescription());
                damaged.push_back(id);
                continue;
            }
            std::shared_ptr<MSAbstractLog> log = std::move(*archived);
            if (!row.isNull(1))
                if (auto token = encrypterLocked().decryptString(row.text(1))) log->addTransmissionTargetToken(*token);
            ids.push_back(id);
            batch.logs.push_back(std::move(log));
        }
    }
    deleteRowsLocked(damaged);
    if (ids.empty()) return std::nullopt;
    batch.batchId = platform::UUID().uuidString();
    held_.insert(ids.begin(), ids.end());
    batches_[batch.batchId] = std::move(ids);
    return batch;
}

void MSLogDBStorage::deleteLogsWithBatchId(const std::string& batchId) {
    std::lock_guard lock(mutex_);
    auto it = batches_.find(batchId);
    if (it == batches_.end()) return;
    // Its logs stay held back until the delete succeeds: they were sent, or refused for good.
    undeleted_.insert(undeleted_.end(), it->second.begin(), it->second.end());
    batches_.erase(it);
    if (readyLocked() || undeleted_.empty()) return;
    MSLogWarning(kMSLogTag, "Couldn't delete " + std::to_string(undeleted_.size()) +
                                " sent logs; they are not sent again, and the delete is tried again before the next "
                                "use of the log database.");
}

std::optional<std::pair<std::string, std::string>> MSLogDBStorage::splitBatch(const std::string& batchId,
                                                                              size_t firstCount) {
    std::lock_guard lock(mutex_);
    auto it = batches_.find(batchId);
    if (it == batches_.end() || firstCount == 0 || firstCount >= it->second.size()) return std::nullopt;
    std::vector<int64_t> first(it->second.begin(), it->second.begin() + ptrdiff_t(firstCount));
    std::vector<int64_t> rest(it->second.begin() + ptrdiff_t(firstCount), it->second.end());
    batches_.erase(it);
    std::pair<std::string, std::string> ids{platform::UUID().uuidString(), platform::UUID().uuidString()};
    batches_[ids.first] = std::move(first);
    batches_[ids.second] = std::move(rest);
    return ids;
}

size_t MSLogDBStorage::deleteLogsWithGroupId(const std::string& groupId) {
    std::lock_guard lock(mutex_);
    if (!readyLocked()) return 0;
    std::vector<int64_t> ids;
    {
        SQLStatement select(db_, "SELECT id FROM logs WHERE groupId = ?");
        if (!preparedLocked(select)) return 0;
        select.bind(1, groupId);
        while (select.step() == SQLITE_ROW) ids.push_back(select.integer(0));
    }
    if (!deleteRowsLocked(ids)) return 0;
    for (int64_t id : ids) held_.erase(id);
    std::erase_if(undeleted_, [&](int64_t id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); });
    for (auto& [batch, batchIds] : batches_)
        std::erase_if(batchIds, [&](int64_t id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); });
    return ids.size();
}

size_t MSLogDBStorage::countLogs(const std::string& groupId) {
    std::lock_guard lock(mutex_);
    if (!readyLocked()) return 0;
    SQLStatement select(db_, "SELECT id FROM logs WHERE groupId = ?");
    if (!preparedLocked(select)) return 0;
    select.bind(1, groupId);
    size_t count = 0;
    while (select.step() == SQLITE_ROW) count += held_.count(select.integer(0)) == 0;
    return count;
}

size_t MSLogDBStorage::countAllLogs() {
    std::lock_guard lock(mutex_);
    if (!readyLocked()) return 0;
    SQLStatement count(db_, "SELECT COUNT(*) FROM logs");
    if (!preparedLocked(count)) return 0;
    return count.step() == SQLITE_ROW ? size_t(count.integer(0)) : 0;
}

int64_t MSLogDBStorage::storedBytes() {
    std::lock_guard lock(mutex_);
    return bytes_;
}

void MSLogDBStorage::setMaxStorageSize(int64_t bytes) {
    std::lock_guard lock(mutex_);
    maxSize_ = bytes;
}

size_t MSLogDBStorage::undeletedCount() {
    std::lock_guard lock(mutex_);
    return undeleted_.size();
}

}  // namespace quorvane
