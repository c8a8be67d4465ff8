#include "telemetry/MSLogDBStorage.h"

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>

#include "platform/contacts/ContactsDatabase.h"
#include "platform/foundation/Base64.h"
#include "platform/foundation/ForkSafeMutex.h"
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

// The file takes no writes (read-only, a full disk), though it still reads: SQLite has rolled the
// write back and the connection is kept (opened again, the file might not open at all).
bool meansUnwritable(int rc) {
    switch (rc) {  // extended result codes
    case SQLITE_READONLY:
    case SQLITE_FULL:
    case SQLITE_IOERR_WRITE:
    case SQLITE_IOERR_FSYNC:
    case SQLITE_IOERR_DIR_FSYNC:
    case SQLITE_IOERR_TRUNCATE:
        return true;
    default:
        return false;
    }
}

// Errors after which the connection is not to be trusted: it is closed and opened again.
bool leavesConnectionUnusable(int rc) {
    if (meansUnwritable(rc)) return false;
    switch (rc & 0xff) {
    case SQLITE_IOERR:
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_CANTOPEN:
    case SQLITE_READONLY:
    case SQLITE_PROTOCOL:
        return true;
    default:
        return false;
    }
}

bool meansDamagedFile(int rc) { return (rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB; }

bool meansBusy(int rc) { return (rc & 0xff) == SQLITE_BUSY; }

// The rows a process sending to some destinations may send (or delete): theirs, and those stored
// before logs had a destination (each app had its own file then, so they are the app's). Any row
// when none are given.
std::string ofDestinations(const MSLogDBStorage::Destinations& destinations) {
    if (!destinations) return {};
    std::string clause = " AND (destination IS NULL";
    for (size_t i = 0; i < destinations->size(); ++i) clause += i ? ", ?" : " OR destination IN (?";
    return clause + (destinations->empty() ? ")" : "))");
}
// Binds them from the index given.
void bindDestinations(SQLStatement& statement, int index, const MSLogDBStorage::Destinations& destinations) {
    if (destinations)
        for (const auto& key : *destinations) statement.bind(index++, key);
}

// How long a write waits for another connection's transaction to end; while the file has been
// found held (a process stopped inside its write) only briefly, so that nothing waits on it.
constexpr int kBusyTimeoutMs = 1000;
constexpr int kHeldBusyTimeoutMs = 50;
// A claim whose process cannot be confirmed alive (its start time unknown) counts this long: as
// long as the longest wait the ingestion honours.
constexpr int64_t kUnconfirmedClaimSeconds = 24 * 3600;

// A process's start time (clock ticks after boot, from /proc): with its id it names one process
// run, as an id alone does not once ids are reused. Empty when it cannot be read. ended: whether
// the process has ended and waits only to be reaped.
std::string processStartTime(pid_t pid, bool* ended = nullptr) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) return {};
    const auto close = stat.rfind(')');  // the command name may hold spaces and parentheses
    if (close == std::string::npos) return {};
    size_t at = close + 2;
    if (ended && at < stat.size()) *ended = stat[at] == 'Z' || stat[at] == 'X';
    for (int field = 3; field < 22 && at != std::string::npos; ++field) {
        at = stat.find(' ', at);
        if (at != std::string::npos) ++at;
    }
    if (at == std::string::npos) return {};
    return stat.substr(at, stat.find(' ', at) - at);
}

// The owner tokens of the stores alive in this process: a store gone while its process runs
// leaves claims that no one else would free. Kept for the whole process: a worker may let go of
// its store while the process exits.
struct LiveOwners {
    platform::ForkSafeMutex mutex;
    std::set<std::string> owners;
};
LiveOwners& liveOwners() {
    static auto* live = new LiveOwners;
    return *live;
}

std::string makeOwner() {
    const std::string owner = std::to_string(::getpid()) + "-" + processStartTime(::getpid()) + "-" +
                              platform::UUID().uuidString().substr(0, 8);
    auto& live = liveOwners();
    std::lock_guard lock(live.mutex);
    live.owners.insert(owner);
    return owner;
}

// An acknowledged record's name: a random part, then the ids as ranges ("7.12-61,70"). The
// name is the record, so making the (empty) file writes it whole or not at all.
constexpr size_t kRecordNameLimit = 200;
constexpr int64_t kRecordRangeLimit = 100000;  // ids in one record: more than any batch holds

std::vector<std::string> recordNames(const std::vector<int64_t>& sortedIds, size_t limit = kRecordNameLimit) {
    std::vector<std::string> names;
    std::string name;
    for (size_t i = 0; i < sortedIds.size();) {
        size_t j = i;
        while (j + 1 < sortedIds.size() && sortedIds[j + 1] == sortedIds[j] + 1) ++j;
        std::string range = std::to_string(sortedIds[i]);
        if (j > i) range += "-" + std::to_string(sortedIds[j]);
        if (!name.empty() && name.size() + range.size() + 1 > limit) names.push_back(std::exchange(name, {}));
        if (name.empty()) name = platform::UUID().uuidString().substr(0, 8) + ".";
        else name += ",";
        name += range;
        i = j + 1;
    }
    if (!name.empty()) names.push_back(name);
    return names;
}

std::optional<std::vector<int64_t>> recordIds(std::string_view name) {
    const auto dot = name.find('.');
    if (dot == std::string_view::npos || dot + 1 == name.size()) return std::nullopt;
    std::vector<int64_t> ids;
    auto number = [](std::string_view text) -> std::optional<int64_t> {
        int64_t value = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || end != text.data() + text.size() || value <= 0) return std::nullopt;
        return value;
    };
    for (std::string_view rest = name.substr(dot + 1); !rest.empty();) {
        const auto comma = rest.find(',');
        const std::string_view range = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        const auto dash = range.find('-');
        const auto first = number(range.substr(0, dash));
        const auto last = dash == std::string_view::npos ? first : number(range.substr(dash + 1));
        if (!first || !last || *last < *first || *last - *first >= kRecordRangeLimit - int64_t(ids.size()))
            return std::nullopt;
        for (int64_t id = *first; id <= *last; ++id) ids.push_back(id);
    }
    return ids;
}
}  // namespace

MSLogDBStorage::OwnerState MSLogDBStorage::ownerState(const std::string& owner) {
    const auto dash = owner.find('-');
    const auto second = dash == std::string::npos ? dash : owner.find('-', dash + 1);
    if (second == std::string::npos) return OwnerState::Ended;  // not a claim of ours: nobody holds it
    pid_t pid = 0;
    if (std::from_chars(owner.data(), owner.data() + dash, pid).ptr != owner.data() + dash || pid <= 0)
        return OwnerState::Ended;
    const std::string start = owner.substr(dash + 1, second - dash - 1);
    if (pid == ::getpid() && start == processStartTime(pid)) {
        auto& live = liveOwners();
        std::lock_guard lock(live.mutex);
        return live.owners.count(owner) ? OwnerState::Alive : OwnerState::Ended;
    }
    if (::kill(pid, 0) != 0 && errno == ESRCH) return OwnerState::Ended;
    bool ended = false;
    const std::string now = processStartTime(pid, &ended);
    if (ended) return OwnerState::Ended;
    // The id is in use: by the same run when the start times agree. Without both of them it may
    // be anyone's now, so the claim counts only for a while.
    if (now.empty() || start.empty()) return OwnerState::Unconfirmed;
    return now == start ? OwnerState::Alive : OwnerState::Ended;
}

MSLogDBStorage::MSLogDBStorage(std::filesystem::path file, int64_t maxStorageSize)
    : path_(std::move(file)), maxSize_(maxStorageSize), owner_(makeOwner()) {
    registerTelemetryClasses();
    std::lock_guard lock(mutex_);
    openLocked();
}

MSLogDBStorage::~MSLogDBStorage() {
    std::lock_guard lock(mutex_);
    if (db_ && !undeleted_.empty()) retryUndeletedLocked();
    // What is in flight here goes to the next store; acknowledged logs not deleted stay claimed
    // (and recorded) until this process ends.
    if (db_ && undeleted_.empty()) {
        SQLStatement release(db_, "UPDATE logs SET claim = NULL WHERE claim = ?");
        if (release.ok()) {
            release.bind(1, owner_);
            release.step();
        }
    }
    closeLocked();
    auto& live = liveOwners();
    std::lock_guard owners(live.mutex);
    live.owners.erase(owner_);
}

MSEncrypter& MSLogDBStorage::encrypterLocked() {
    if (!encrypter_) encrypter_ = std::make_unique<MSEncrypter>();
    return *encrypter_;
}

std::filesystem::path MSLogDBStorage::damagedPath() const {
    auto damaged = path_;
    return damaged += ".damaged";
}

std::filesystem::path MSLogDBStorage::acknowledgedPath() const {
    auto folder = path_;
    return folder += ".acknowledged";
}

bool MSLogDBStorage::isOpen() {
    std::lock_guard lock(mutex_);
    return readyLocked();
}

bool MSLogDBStorage::openLocked() {
    if (db_) return true;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (damaged_ && !moveDamagedFileAsideLocked()) break;
        std::string message;
        auto opened = platform::openSQLiteFile(path_);
        db_ = opened.valueOr(nullptr);
        if (!opened) message = opened.error().localizedDescription();
        if (db_) {
            sqlite3_extended_result_codes(db_, 1);
            sqlite3_busy_timeout(db_, busy_ ? kHeldBusyTimeoutMs : kBusyTimeoutMs);
        }
        std::string storeId;
        const int rc = db_ ? prepareLocked(storeId) : SQLITE_CANTOPEN;
        if (rc == SQLITE_OK) {
            openFailureLogged_ = false;
            struct stat st{};
            if (::stat(path_.c_str(), &st) == 0) file_ = {st.st_dev, st.st_ino};
            // What is held or acknowledged belongs to the file it was read from: another file at
            // the path (the first removed, or set aside as damaged) has other logs under its ids.
            if (storeId.empty() || storeId != storeId_) forgetFileStateLocked();
            storeId_ = std::move(storeId);
            return true;
        }
        if (db_) message = platform::sqliteErrorText(db_, rc);
        closeLocked();
        if (meansBusy(rc)) {
            noteBusyLocked();
            return false;
        }
        if (!meansDamagedFile(rc) || attempt > 0) {
            if (!std::exchange(openFailureLogged_, true))
                MSLogError(kMSLogTag, "Couldn't open the log database at " + path_.string() + ": " + message +
                                          "; logs are not stored until it opens.");
            return false;
        }
        damaged_ = true;
        if (damagedReason_.empty()) damagedReason_ = "it is damaged";
    }
    return false;
}

void MSLogDBStorage::forgetFileStateLocked() {
    batches_.clear();
    held_.clear();
    undeleted_.clear();
    records_.clear();
}

bool MSLogDBStorage::sameFileLocked() const {
    struct stat st{};
    if (::stat(path_.c_str(), &st) != 0) return errno != ENOENT;
    return std::pair(st.st_dev, st.st_ino) == file_;
}

int MSLogDBStorage::checkLayoutLocked() {
    for (const char* table : {"logs", "storeInfo"}) {
        SQLStatement type(db_, "SELECT type FROM sqlite_master WHERE name = ?");
        if (!type.ok()) return sqlite3_errcode(db_);
        type.bind(1, std::string_view(table));
        int rc = type.step();
        if (rc == SQLITE_DONE) continue;  // made below
        if (rc != SQLITE_ROW) return rc;
        std::string missing = type.text(0) == "table" ? "" : "it is not a table";
        std::set<std::string> columns;
        bool rowid = false;
        SQLStatement info(db_, "SELECT name, type, pk FROM pragma_table_info(?)");
        if (!info.ok()) return sqlite3_errcode(db_);
        info.bind(1, std::string_view(table));
        while ((rc = info.step()) == SQLITE_ROW) {
            columns.insert(info.text(0));
            if (info.text(0) == "id") rowid = info.integer(2) == 1 && strcasecmp(info.text(1).c_str(), "INTEGER") == 0;
        }
        if (rc != SQLITE_DONE) return rc;
        const bool logs = table == std::string_view("logs");
        if (logs && !rowid && missing.empty()) missing = "no integer key \"id\"";
        for (const char* column : logs ? std::vector<const char*>{"groupId", "log", "targetKey", "targetToken", "priority"}
                                       : std::vector<const char*>{"key", "value"})
            if (missing.empty() && !columns.count(column)) missing = std::string("no column \"") + column + "\"";
        if (!missing.empty()) {
            damagedReason_ = std::string("its table \"") + table + "\" has another layout: " + missing;
            return SQLITE_NOTADB;
        }
    }
    return SQLITE_OK;
}

int MSLogDBStorage::prepareLocked(std::string& storeId) {
    auto exec = [&](const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); };
    // Before anything is written: a file of another layout is set aside as it is.
    int rc = checkLayoutLocked();
    if (rc == SQLITE_OK) rc = exec("PRAGMA journal_mode=WAL");
    if (rc == SQLITE_OK) rc = exec("PRAGMA synchronous=NORMAL");
    if (rc == SQLITE_OK)
        rc = exec("CREATE TABLE IF NOT EXISTS logs (id INTEGER PRIMARY KEY AUTOINCREMENT, groupId TEXT NOT NULL, "
                  "log TEXT NOT NULL, targetKey TEXT, targetToken TEXT, priority INTEGER NOT NULL, claim TEXT, "
                  "claimedAt INTEGER, destination TEXT, unanswered INTEGER)");
    // Files of earlier versions get the columns of claims, of destinations and of sends unanswered.
    for (const char* column : {"claim TEXT", "claimedAt INTEGER", "destination TEXT", "unanswered INTEGER"}) {
        if (rc != SQLITE_OK) break;
        const std::string name(column, std::strchr(column, ' '));
        SQLStatement present(db_, "SELECT COUNT(*) FROM pragma_table_info('logs') WHERE name = ?");
        if (!present.ok()) return sqlite3_errcode(db_);
        present.bind(1, name);
        if ((rc = present.step()) == SQLITE_ROW)
            rc = present.integer(0) ? SQLITE_OK : exec(("ALTER TABLE logs ADD COLUMN " + std::string(column)).c_str());
    }
    // The file's identity, made with it: what is recorded about its rows names it.
    if (rc == SQLITE_OK) rc = exec("CREATE TABLE IF NOT EXISTS storeInfo (key TEXT PRIMARY KEY, value TEXT NOT NULL)");
    if (rc == SQLITE_OK) {
        SQLStatement insert(db_, "INSERT OR IGNORE INTO storeInfo (key, value) VALUES ('storeId', ?)");
        SQLStatement read(db_, "SELECT value FROM storeInfo WHERE key = 'storeId'");
        if (!insert.ok() || !read.ok()) return sqlite3_errcode(db_);
        if ((rc = read.step()) == SQLITE_DONE) {
            std::string id = platform::UUID().uuidString();
            std::erase(id, '-');
            insert.bind(1, id);
            // A file that takes no writes is used without one.
            if (rc = insert.step(); rc != SQLITE_DONE && !meansUnwritable(rc)) return rc;
            read.reset();
            rc = read.step();
        }
        if (rc == SQLITE_ROW) storeId = read.text(0);
        rc = rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
    } else if (meansUnwritable(rc)) {
        rc = SQLITE_OK;
    }
    if (rc == SQLITE_OK) rc = exec("CREATE INDEX IF NOT EXISTS logs_by_group ON logs (groupId, priority DESC, id)");
    if (rc == SQLITE_OK) rc = exec("CREATE INDEX IF NOT EXISTS logs_by_claim ON logs (claim) WHERE claim IS NOT NULL");
    if (rc == SQLITE_OK) {  // written only when it differs: opening writes nothing else
        int64_t version = -1;
        {
            SQLStatement read(db_, "PRAGMA user_version");
            if (!read.ok()) return sqlite3_errcode(db_);
            if ((rc = read.step()) == SQLITE_ROW) version = read.integer(0), rc = SQLITE_OK;
        }
        if (rc == SQLITE_OK && version != 4) rc = exec("PRAGMA user_version=4");
    }
    if (rc != SQLITE_OK) return rc;
    insert_ = std::make_unique<SQLStatement>(
        db_, "INSERT INTO logs (groupId, log, targetKey, targetToken, priority, destination) VALUES (?, ?, ?, ?, ?, ?)");
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

bool MSLogDBStorage::moveDamagedFileAsideLocked() {
    damaged_ = false;
    std::string reason = std::exchange(damagedReason_, {});
    if (reason.empty()) reason = "it is damaged";
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
    forgetFileStateLocked();
    forgetAcknowledgedRecordsLocked();
    bytes_ = 0;
    MSLogError(kMSLogTag, "The log database " + path_.string() + " could not be read (" + reason + "); moved it to " +
                              damaged.string() + " and started a new one. The logs it held are lost.");
    return true;
}

bool MSLogDBStorage::failedLocked(int rc, const std::string& what) {
    if (meansBusy(rc)) {
        noteBusyLocked();
        return false;
    }
    MSLogError(kMSLogTag, what + ": " + platform::sqliteErrorText(db_, rc));
    if (meansDamagedFile(rc) && !damaged_) damaged_ = true, damagedReason_ = "it is damaged";
    if (leavesConnectionUnusable(rc)) {
        closeLocked();
        MSLogWarning(kMSLogTag, "Closed the log database after that error; it is opened again when next used.");
    }
    return false;
}

bool MSLogDBStorage::preparedLocked(const SQLStatement& statement) {
    return statement.ok() || failedLocked(sqlite3_errcode(db_), "Couldn't prepare a log database statement");
}

void MSLogDBStorage::noteBusyLocked() {
    if (std::exchange(busy_, true)) return;
    if (db_) sqlite3_busy_timeout(db_, kHeldBusyTimeoutMs);
    MSLogWarning(kMSLogTag, "The log database " + path_.string() +
                                " is held by another connection (a process stopped while writing to it?); logs wait "
                                "in memory and are stored when it is free.");
}

void MSLogDBStorage::noteWrittenLocked() {
    if (!std::exchange(busy_, false)) return;
    if (db_) sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    MSLogInfo(kMSLogTag, "The log database is free again.");
}

bool MSLogDBStorage::isBusy() {
    std::lock_guard lock(mutex_);
    return busy_;
}

bool MSLogDBStorage::readyLocked() {
    if (db_ && !sameFileLocked()) {
        MSLogWarning(kMSLogTag, "The log database " + path_.string() + " was removed or replaced; opening it again.");
        closeLocked();
    }
    if (!db_ && !openLocked()) return false;
    readAcknowledgedLocked();
    if (!undeleted_.empty()) retryUndeletedLocked();
    return db_ != nullptr;
}

void MSLogDBStorage::readAcknowledgedLocked() {
    const auto folder = acknowledgedPath();
    std::error_code ec;
    if (storeId_.empty() || !std::filesystem::is_directory(folder, ec)) return;
    for (auto it = std::filesystem::directory_iterator(folder, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (records_.count(name)) continue;
        // A record names the file it is about: one of another file (since removed or set aside)
        // is about rows that are not in this one.
        if (!name.starts_with(storeId_ + ".")) {
            std::error_code ignored;
            std::filesystem::remove(it->path(), ignored);
            continue;
        }
        auto ids = recordIds(std::string_view(name).substr(storeId_.size() + 1));
        if (!ids) {
            MSLogWarning(kMSLogTag, "Ignoring " + it->path().string() + ": not a record of acknowledged logs.");
            records_.insert(name);  // looked at once
            continue;
        }
        records_.insert(name);
        undeleted_.insert(ids->begin(), ids->end());
        held_.insert(ids->begin(), ids->end());
    }
}

bool MSLogDBStorage::recordAcknowledgedLocked(const std::vector<int64_t>& ids) {
    if (storeId_.empty()) return false;  // a file without an identity: no record could be tied to it
    std::vector<int64_t> sorted(ids);
    std::sort(sorted.begin(), sorted.end());
    const auto folder = acknowledgedPath();
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    for (auto name : recordNames(sorted)) {
        name = storeId_ + "." + name;
        const int fd = ::open((folder / name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            MSLogError(kMSLogTag, "Couldn't record acknowledged logs in " + folder.string() + ": " +
                                      std::generic_category().message(errno));
            return false;
        }
        ::close(fd);
        records_.insert(name);
    }
    return true;
}

void MSLogDBStorage::forgetAcknowledgedRecordsLocked() {
    std::error_code ec;
    std::filesystem::remove_all(acknowledgedPath(), ec);
    records_.clear();
}

void MSLogDBStorage::recountLocked() {
    SQLStatement sum(db_, "SELECT COALESCE(SUM(LENGTH(log)), 0) FROM logs");
    if (sum.ok() && sum.step() == SQLITE_ROW) bytes_ = sum.integer(0);
}

int MSLogDBStorage::deleteRowsLocked(const std::vector<int64_t>& ids, size_t* removed) {
    if (removed) *removed = 0;
    if (ids.empty()) return SQLITE_OK;
    // Inside the caller's transaction (making room while storing) or in one of its own.
    const bool own = sqlite3_get_autocommit(db_) != 0;
    int rc = own ? sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) : SQLITE_OK;
    if (rc != SQLITE_OK) return rc;
    int64_t freed = 0;
    size_t found = 0;
    {
        SQLStatement size(db_, "SELECT LENGTH(log) FROM logs WHERE id = ?");
        SQLStatement remove(db_, "DELETE FROM logs WHERE id = ?");
        if (!size.ok() || !remove.ok()) rc = sqlite3_errcode(db_);
        for (size_t i = 0; rc == SQLITE_OK && i < ids.size(); ++i) {
            size.reset();
            size.bind(1, ids[i]);
            if (size.step() == SQLITE_ROW) freed += size.integer(0), ++found;
            remove.reset();
            remove.bind(1, ids[i]);
            if (const int step = remove.step(); step != SQLITE_DONE) rc = step;
        }
    }
    if (rc == SQLITE_OK && own) rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        if (own && db_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return rc;
    }
    if (own) noteWrittenLocked();
    bytes_ -= freed;
    if (removed) *removed = found;
    return SQLITE_OK;
}

bool MSLogDBStorage::deleteRowsOrFailLocked(const std::vector<int64_t>& ids) {
    const int rc = deleteRowsLocked(ids);
    return rc == SQLITE_OK || failedLocked(rc, "Couldn't delete stored logs");
}

void MSLogDBStorage::retryUndeletedLocked() {
    size_t removed = 0;
    // Tried before every use: a file still taking no writes (a full disk) or held by another
    // connection keeps its connection and is used as it is; the logs stay held back.
    if (const int rc = deleteRowsLocked({undeleted_.begin(), undeleted_.end()}, &removed); rc != SQLITE_OK) {
        if (meansBusy(rc)) noteBusyLocked();
        else if (!meansUnwritable(rc)) failedLocked(rc, "Couldn't delete stored logs");
        return;
    }
    // Only those still there count: another store may have deleted some already.
    if (removed)
        MSLogInfo(kMSLogTag, "Deleted the " + std::to_string(removed) + " sent logs whose delete had failed.");
    for (int64_t id : undeleted_) held_.erase(id);
    undeleted_.clear();
    // The records read or written so far are done with; another store's later ones are not.
    const auto folder = acknowledgedPath();
    for (const auto& name : records_) {
        std::error_code ec;
        std::filesystem::remove(folder / name, ec);
    }
    records_.clear();
}

int MSLogDBStorage::releaseDeadClaimsLocked() {
    const int64_t cutoff = int64_t(::time(nullptr)) - kUnconfirmedClaimSeconds;
    std::vector<std::pair<std::string, int64_t>> release;  // a claim, and the time before which it is let go
    {
        SQLStatement owners(db_, "SELECT claim, MIN(COALESCE(claimedAt, 0)) FROM logs WHERE claim IS NOT NULL GROUP BY claim");
        if (!owners.ok()) return sqlite3_errcode(db_);
        int rc;
        while ((rc = owners.step()) == SQLITE_ROW) {
            auto owner = owners.text(0);
            if (owner == owner_) continue;
            const auto state = ownerState(owner);
            if (state == OwnerState::Ended) release.emplace_back(std::move(owner), INT64_MAX);
            else if (state == OwnerState::Unconfirmed && owners.integer(1) < cutoff) release.emplace_back(std::move(owner), cutoff);
        }
        if (rc != SQLITE_DONE) return rc;
    }
    if (release.empty()) return SQLITE_OK;
    SQLStatement update(db_, "UPDATE logs SET claim = NULL, claimedAt = NULL WHERE claim = ? AND COALESCE(claimedAt, 0) < ?");
    if (!update.ok()) return sqlite3_errcode(db_);
    for (const auto& [owner, before] : release) {
        update.reset();
        update.bind(1, owner);
        update.bind(2, before);
        if (const int rc = update.step(); rc != SQLITE_DONE) return rc;
    }
    MSLogInfo(kMSLogTag, "Released the logs in flight of " + std::to_string(release.size()) +
                             " process(es) that ended or could not be confirmed alive for a day; they are sent again.");
    return SQLITE_OK;
}

int MSLogDBStorage::pickLocked(const std::string& groupId, size_t limit, const std::set<std::string>& excluded,
                               const Destinations& destinations, Batch& batch, std::vector<int64_t>& ids,
                               std::vector<int64_t>& damaged) {
    batch = {};
    ids.clear();
    damaged.clear();
    // Rows are picked by their id and target key; only the chosen ones are read whole.
    std::vector<int64_t> candidates;
    {
        SQLStatement select(db_, "SELECT id, targetKey FROM logs WHERE groupId = ? AND claim IS NULL" +
                                     ofDestinations(destinations) + " ORDER BY priority DESC, id");
        if (!select.ok()) return sqlite3_errcode(db_);
        select.bind(1, groupId);
        bindDestinations(select, 2, destinations);
        int rc = SQLITE_DONE;
        while (candidates.size() < limit && (rc = select.step()) == SQLITE_ROW) {
            if (held_.count(select.integer(0))) continue;
            if (!select.isNull(1) && excluded.count(select.text(1))) continue;
            candidates.push_back(select.integer(0));
        }
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) return rc;
    }
    SQLStatement row(db_, "SELECT log, targetToken FROM logs WHERE id = ?");
    if (!row.ok()) return sqlite3_errcode(db_);
    for (int64_t id : candidates) {
        row.reset();
        row.bind(1, id);
        if (const int rc = row.step(); rc != SQLITE_ROW) {
            if (rc == SQLITE_DONE) continue;
            return rc;
        }
        auto archived = archivedLog(columnBytes(row, 0));
        if (!archived) {
            MSLogWarning(kMSLogTag, "Deleting a stored log that cannot be read: " + archived.error().localizedDescription());
            damaged.push_back(id);
            continue;
        }
        std::shared_ptr<MSAbstractLog> log = std::move(*archived);
        if (!row.isNull(1))
            if (auto token = encrypterLocked().decryptString(row.text(1))) log->addTransmissionTargetToken(*token);
        ids.push_back(id);
        batch.logs.push_back(std::move(log));
    }
    return SQLITE_OK;
}

int MSLogDBStorage::claimLocked(const std::vector<int64_t>& ids) {
    SQLStatement claim(db_, "UPDATE logs SET claim = ?, claimedAt = ? WHERE id = ?");
    if (!claim.ok()) return sqlite3_errcode(db_);
    for (int64_t id : ids) {
        claim.reset();
        claim.bind(1, owner_);
        claim.bind(2, int64_t(::time(nullptr)));
        claim.bind(3, id);
        if (const int rc = claim.step(); rc != SQLITE_DONE) return rc;
    }
    return SQLITE_OK;
}

bool MSLogDBStorage::makeRoomLocked(int64_t bytes, int64_t priority) {
    if (bytes > maxSize_) return false;
    // Logs another process has in flight are its to report: they never give way here. Those of a
    // process that ended are free again first (not for the write to fail on).
    bool released = false;
    for (const int64_t highest : {std::min<int64_t>(priority, 1), priority}) {
        if (bytes_ + bytes <= maxSize_) break;
        if (!std::exchange(released, true)) releaseDeadClaimsLocked();
        std::vector<int64_t> victims;
        int64_t freed = 0;
        {
            SQLStatement oldest(db_, "SELECT id, LENGTH(log) FROM logs WHERE priority <= ? AND claim IS NULL ORDER BY id");
            if (!preparedLocked(oldest)) return false;
            oldest.bind(1, highest);
            while (bytes_ - freed + bytes > maxSize_ && oldest.step() == SQLITE_ROW) {
                if (held_.count(oldest.integer(0))) continue;
                victims.push_back(oldest.integer(0));
                freed += oldest.integer(1);
            }
        }
        if (victims.empty()) continue;
        // Read before they go, so that whoever waits for them hears that they failed.
        std::vector<Evicted> evicted;
        {
            SQLStatement row(db_, "SELECT groupId, log, targetToken FROM logs WHERE id = ?");
            if (!preparedLocked(row)) return false;
            for (int64_t id : victims) {
                row.reset();
                row.bind(1, id);
                if (row.step() != SQLITE_ROW) continue;
                auto archived = archivedLog(columnBytes(row, 1));
                if (!archived) continue;
                if (!row.isNull(2))
                    if (auto token = encrypterLocked().decryptString(row.text(2))) (*archived)->addTransmissionTargetToken(*token);
                evicted.push_back({row.text(0), std::move(*archived)});
            }
        }
        if (!deleteRowsOrFailLocked(victims)) return false;
        evicting_.insert(evicting_.end(), std::make_move_iterator(evicted.begin()), std::make_move_iterator(evicted.end()));
        MSLogWarning(kMSLogTag, "Storage is full: dropped the " + std::to_string(victims.size()) + " oldest logs.");
    }
    return bytes_ + bytes <= maxSize_;
}

bool MSLogDBStorage::insertLocked(const std::string& text, const Item& item) {
    if (!makeRoomLocked(int64_t(text.size()), int64_t(item.flags & MSFlagsPersistenceMask))) {
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
    item.destination.empty() ? insert.bindNull(6) : insert.bind(6, item.destination);
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

std::vector<bool> MSLogDBStorage::saveLogs(const std::vector<Item>& items, bool* busy, std::vector<Evicted>* evicted) {
    if (busy) *busy = false;
    // The logs deleted to make room count once the write is committed: rolled back, they stay.
    struct Handover {
        std::vector<Evicted>& evicting;
        std::vector<Evicted>* evicted;
        bool committed = false;
        ~Handover() {
            if (committed && evicted) evicted->insert(evicted->end(), std::make_move_iterator(evicting.begin()), std::make_move_iterator(evicting.end()));
            evicting.clear();
        }
    };
    std::vector<std::string> made(items.size());  // the texts the caller did not make
    for (size_t i = 0; i < items.size(); ++i)
        if (items[i].storedText.empty()) made[i] = storedTextForLog(*items[i].log);
    std::vector<bool> saved(items.size(), false);
    if (items.empty()) return saved;
    std::lock_guard lock(mutex_);
    Handover handover{evicting_, evicted};
    // Held by another connection: nothing is stored, and the caller keeps the logs for later.
    auto held = [&] {
        if (busy) *busy = true;
        return saved;
    };
    if (!readyLocked()) {
        if (busy_) return held();
        MSLogError(kMSLogTag, "Couldn't store " + std::to_string(items.size()) + " logs: the log database is not open.");
        return saved;
    }
    if (const int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr); rc != SQLITE_OK) {
        failedLocked(rc, "Couldn't store " + std::to_string(items.size()) + " logs");
        return meansBusy(rc) ? held() : saved;
    }
    // SQLite may roll the whole transaction back itself (a full disk): what would follow would
    // be written outside it, and nothing of it is stored.
    bool rolledBack = false;
    for (size_t i = 0; i < items.size() && db_ && !rolledBack; ++i) {
        saved[i] = insertLocked(items[i].storedText.empty() ? made[i] : items[i].storedText, items[i]);
        rolledBack = db_ && sqlite3_get_autocommit(db_);
    }
    const int rc = !db_ ? SQLITE_ABORT : rolledBack ? SQLITE_FULL : sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) {
        noteWrittenLocked();
        handover.committed = true;
        return saved;
    }
    if (db_ && !rolledBack) {
        // The reason is the commit's: a rollback that finds no transaction left would replace it.
        failedLocked(rc, "Couldn't store " + std::to_string(items.size()) + " logs");
        if (db_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    } else if (db_) {
        MSLogError(kMSLogTag, "Couldn't store " + std::to_string(items.size()) + " logs: the write was rolled back.");
    }
    std::fill(saved.begin(), saved.end(), false);
    if (db_) recountLocked();
    return meansBusy(rc) ? held() : saved;
}

std::optional<MSLogDBStorage::Batch> MSLogDBStorage::loadLogsWithGroupId(const std::string& groupId, size_t limit,
                                                                          const std::set<std::string>& excluded,
                                                                          const Destinations& destinations) {
    std::lock_guard lock(mutex_);
    if (limit == 0 || !readyLocked()) return std::nullopt;
    Batch batch;
    std::vector<int64_t> ids, damaged;
    // Picked and claimed in one write transaction: no other process picks the same rows.
    bool writing = true;  // whether a failure is one of writing
    int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) rc = releaseDeadClaimsLocked();
    if (rc == SQLITE_OK) writing = false, rc = pickLocked(groupId, limit, excluded, destinations, batch, ids, damaged);
    if (rc == SQLITE_OK) writing = true, rc = claimLocked(ids);
    if (rc == SQLITE_OK) rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) noteWrittenLocked();
    if (rc != SQLITE_OK) {
        // The file takes no writes (read-only, a full disk): the transaction is rolled back and the
        // connection kept, as it still reads (opened again, it might not). One held by another
        // connection is not read past its claims: the batch waits until it is free.
        const bool unwritable = writing && meansUnwritable(rc);
        if (!unwritable) failedLocked(rc, "Couldn't load stored logs");
        else MSLogError(kMSLogTag, std::string("Couldn't claim stored logs for sending: ") + platform::sqliteErrorText(db_, rc));
        if (db_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        if (!unwritable || !db_) return std::nullopt;
        // As before claims: they go held back by this process only, and nothing stops another
        // process sharing the file from sending them too.
        MSLogWarning(kMSLogTag, "Sending stored logs of group " + groupId + " without a claim on them.");
        if (rc = pickLocked(groupId, limit, excluded, destinations, batch, ids, damaged); rc != SQLITE_OK) {
            failedLocked(rc, "Couldn't load stored logs");
            return std::nullopt;
        }
    }
    if (!damaged.empty()) deleteRowsLocked(damaged);
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
    const std::vector<int64_t> ids = std::move(it->second);
    batches_.erase(it);
    if (readyLocked() && deleteRowsOrFailLocked(ids)) {
        for (int64_t id : ids) held_.erase(id);
        return;
    }
    // They were sent, or refused for good: held back here, and recorded for every other store
    // and the next run, until a delete succeeds.
    undeleted_.insert(ids.begin(), ids.end());
    const bool recorded = recordAcknowledgedLocked(ids);
    MSLogWarning(kMSLogTag, "Couldn't delete " + std::to_string(ids.size()) +
                                " sent logs; they are not sent again, and the delete is tried again before the next "
                                "use of the log database" +
                                (recorded ? "." : " (by this process only: a restart may send them again)."));
}

bool MSLogDBStorage::releaseUnansweredBatch(const std::string& batchId) {
    std::lock_guard lock(mutex_);
    auto it = batches_.find(batchId);
    if (it == batches_.end()) return false;
    const std::vector<int64_t> ids = std::move(it->second);
    batches_.erase(it);
    // Where the file cannot be written the logs stay claimed, and go again once this process ends.
    if (!readyLocked()) return false;
    // However often their answer went missing, the logs stay until the ingestion takes or refuses
    // them (or the size bound makes room): the server may have taken none of those sends. The
    // column only counts the sends whose answer never came.
    int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) {
        SQLStatement release(db_, "UPDATE logs SET unanswered = COALESCE(unanswered, 0) + 1, claim = NULL, "
                                  "claimedAt = NULL WHERE id = ?");
        if (!release.ok()) rc = sqlite3_errcode(db_);
        for (size_t i = 0; rc == SQLITE_OK && i < ids.size(); ++i) {
            release.reset();
            release.bind(1, ids[i]);
            if (const int step = release.step(); step != SQLITE_DONE) rc = step;
        }
    }
    if (rc == SQLITE_OK) rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        if (db_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        if (!meansUnwritable(rc)) failedLocked(rc, "Couldn't release the logs sent without an answer");
        if (db_) recountLocked();
        return false;
    }
    noteWrittenLocked();
    for (int64_t id : ids) held_.erase(id);
    return true;
}

std::optional<std::pair<std::string, std::string>> MSLogDBStorage::splitBatch(const std::string& batchId,
                                                                              size_t firstCount) {
    std::vector<bool> marked(firstCount, true);
    {
        std::lock_guard lock(mutex_);
        auto it = batches_.find(batchId);
        if (it == batches_.end() || firstCount >= it->second.size()) return std::nullopt;
        marked.resize(it->second.size(), false);
    }
    return splitBatch(batchId, marked);
}

std::optional<std::pair<std::string, std::string>> MSLogDBStorage::splitBatch(const std::string& batchId,
                                                                              const std::vector<bool>& marked) {
    std::lock_guard lock(mutex_);
    auto it = batches_.find(batchId);
    if (it == batches_.end() || marked.size() != it->second.size()) return std::nullopt;
    std::vector<int64_t> first, rest;
    for (size_t i = 0; i < marked.size(); ++i) (marked[i] ? first : rest).push_back(it->second[i]);
    if (first.empty() || rest.empty()) return std::nullopt;
    batches_.erase(it);
    std::pair<std::string, std::string> ids{platform::UUID().uuidString(), platform::UUID().uuidString()};
    batches_[ids.first] = std::move(first);
    batches_[ids.second] = std::move(rest);
    return ids;
}

size_t MSLogDBStorage::deleteLogsWithGroupId(const std::string& groupId, const Destinations& destinations) {
    std::lock_guard lock(mutex_);
    if (!readyLocked()) return 0;
    std::vector<int64_t> ids;
    {
        SQLStatement select(db_, "SELECT id FROM logs WHERE groupId = ?" + ofDestinations(destinations));
        if (!preparedLocked(select)) return 0;
        select.bind(1, groupId);
        bindDestinations(select, 2, destinations);
        while (select.step() == SQLITE_ROW) ids.push_back(select.integer(0));
    }
    if (!deleteRowsOrFailLocked(ids)) return 0;
    for (int64_t id : ids) held_.erase(id), undeleted_.erase(id);
    for (auto& [batch, batchIds] : batches_)
        std::erase_if(batchIds, [&](int64_t id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); });
    return ids.size();
}

size_t MSLogDBStorage::rekeyLogs(const std::string& from, const std::string& to) {
    std::lock_guard lock(mutex_);
    if (from == to || !readyLocked()) return 0;
    SQLStatement update(db_, "UPDATE logs SET destination = ? WHERE destination = ?");
    if (!preparedLocked(update)) return 0;
    update.bind(1, to);
    update.bind(2, from);
    if (const int rc = update.step(); rc != SQLITE_DONE) {
        if (meansBusy(rc)) noteBusyLocked();
        else if (!meansUnwritable(rc)) failedLocked(rc, "Couldn't key the stored logs again");
        return 0;
    }
    noteWrittenLocked();
    return size_t(sqlite3_changes(db_));
}

size_t MSLogDBStorage::countLogs(const std::string& groupId, const Destinations& destinations) {
    std::lock_guard lock(mutex_);
    if (!readyLocked()) return 0;
    releaseDeadClaimsLocked();  // not for this count to fail on
    SQLStatement select(db_, "SELECT id FROM logs WHERE groupId = ? AND claim IS NULL" + ofDestinations(destinations));
    if (!preparedLocked(select)) return 0;
    select.bind(1, groupId);
    bindDestinations(select, 2, destinations);
    size_t count = 0;
    while (select.step() == SQLITE_ROW) count += held_.count(select.integer(0)) == 0;
    return count;
}

namespace {
// The rows of a group whose log holds a value under a key: ?1 the group, ?2 the key, ?3 the value.
// A row whose text is no archive has no keys (and must not fail the query).
constexpr const char* kRowsWithValue = "SELECT id FROM logs WHERE groupId = ?1 AND CASE WHEN json_valid(log) THEN "
                                       "json_extract(log, '$.\"$root\".' || ?2) END = ?3";
}  // namespace

std::optional<bool> MSLogDBStorage::holdsLogWith(const std::string& groupId, const std::string& field,
                                                 const std::string& value) {
    std::lock_guard lock(mutex_);
    if (!readyLocked()) return std::nullopt;
    SQLStatement select(db_, std::string(kRowsWithValue) + " LIMIT 1");
    if (!preparedLocked(select)) return std::nullopt;
    select.bind(1, groupId);
    select.bind(2, field);
    select.bind(3, value);
    const int rc = select.step();
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    return std::nullopt;
}

size_t MSLogDBStorage::deleteUnsentLogsWith(const std::string& groupId, const std::string& field, const std::string& value) {
    std::lock_guard lock(mutex_);
    if (!readyLocked()) return 0;
    releaseDeadClaimsLocked();
    std::vector<int64_t> ids;
    {
        SQLStatement select(db_, std::string(kRowsWithValue) + " AND claim IS NULL");
        if (!preparedLocked(select)) return 0;
        select.bind(1, groupId);
        select.bind(2, field);
        select.bind(3, value);
        while (select.step() == SQLITE_ROW)
            if (!held_.count(select.integer(0))) ids.push_back(select.integer(0));
    }
    return deleteRowsOrFailLocked(ids) ? ids.size() : 0;
}

size_t MSLogDBStorage::countLogsClaimedElsewhere(const std::string& groupId, const Destinations& destinations) {
    std::lock_guard lock(mutex_);
    if (!readyLocked()) return 0;
    SQLStatement select(db_, "SELECT id FROM logs WHERE claim != ? AND groupId = ?" + ofDestinations(destinations));
    if (!preparedLocked(select)) return 0;
    select.bind(1, owner_);
    select.bind(2, groupId);
    bindDestinations(select, 3, destinations);
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

// ---- logs of an earlier file ----

namespace {
// Rows taken from an earlier file at a time, each lot in one transaction of each file.
constexpr size_t kAdoptedLot = 500;
// This store's note of a lot it took and the earlier file may still hold: "<its identity>.<ids>".
constexpr const char* kAdoptingKey = "adopting";
}  // namespace

std::optional<std::string> MSLogDBStorage::adoptingLocked() {
    SQLStatement read(db_, "SELECT value FROM storeInfo WHERE key = ?");
    if (!read.ok()) return std::nullopt;
    read.bind(1, std::string_view(kAdoptingKey));
    return read.step() == SQLITE_ROW ? std::optional(read.text(0)) : std::nullopt;
}

size_t MSLogDBStorage::adoptLogsFrom(const std::filesystem::path& earlier, const std::vector<std::string>& destinations) {
    std::error_code ec;
    if (!std::filesystem::exists(earlier, ec) || std::filesystem::equivalent(earlier, path_, ec)) return 0;
    MSLogDBStorage source(earlier, std::numeric_limits<int64_t>::max());
    std::scoped_lock lock(source.mutex_, mutex_);
    if (!source.readyLocked() || !readyLocked() || source.storeId_.empty() || storeId_.empty()) return 0;
    auto exec = [](sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); };
    auto rollback = [&](sqlite3* db) {
        if (db && !sqlite3_get_autocommit(db)) exec(db, "ROLLBACK");
    };
    const MSLogDBStorage::Destinations keys(destinations);
    size_t moved = 0;
    bool gone = false;
    // Each lot: claimed in the earlier file's write transaction, stored here with a note of the ids
    // in one transaction, then deleted there. A process ending between the two leaves the note,
    // and the next one deletes what it names before taking more: each log moves once.
    for (;;) {
        int rc = exec(source.db_, "BEGIN IMMEDIATE");
        if (rc == SQLITE_OK) rc = source.releaseDeadClaimsLocked();
        if (rc == SQLITE_OK)
            if (const auto note = adoptingLocked(); note && note->starts_with(source.storeId_ + "."))
                if (const auto done = recordIds(*note)) rc = source.deleteRowsLocked(*done);
        std::vector<int64_t> ids;
        struct Row {
            std::string groupId, log;
            std::optional<std::string> targetKey, targetToken, destination;
            int64_t priority;
        };
        std::vector<Row> rows;
        if (rc == SQLITE_OK) {
            SQLStatement select(source.db_, "SELECT id, groupId, log, targetKey, targetToken, priority, destination "
                                            "FROM logs WHERE claim IS NULL" + ofDestinations(keys) + " ORDER BY id");
            if (!select.ok()) rc = sqlite3_errcode(source.db_);
            else bindDestinations(select, 1, keys);
            auto text = [&](int column) { return select.isNull(column) ? std::nullopt : std::optional(select.text(column)); };
            while (rc == SQLITE_OK && rows.size() < kAdoptedLot && (rc = select.step()) == SQLITE_ROW) {
                rc = SQLITE_OK;
                if (source.held_.count(select.integer(0))) continue;  // sent already, its delete to come
                ids.push_back(select.integer(0));
                rows.push_back({select.text(1), std::string(columnBytes(select, 2)), text(3), text(4), text(6),
                                select.integer(5)});
            }
            if (rc == SQLITE_DONE) rc = SQLITE_OK;
        }
        if (rc == SQLITE_OK && rows.empty()) {
            // Nothing left for this app: the file goes once it holds nothing for anyone, removed
            // while it is held for writing, so that no write goes into it meanwhile.
            SQLStatement count(source.db_, "SELECT COUNT(*) FROM logs");
            if (count.ok() && count.step() == SQLITE_ROW && count.integer(0) == 0 && source.undeleted_.empty()) {
                for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(earlier.string() + suffix, ec);
                std::filesystem::remove_all(source.acknowledgedPath(), ec);
                gone = true;
            }
            if (exec(source.db_, "COMMIT") == SQLITE_OK) {
                if (adoptingLocked()) exec(db_, "DELETE FROM storeInfo WHERE key = 'adopting'");
            } else {
                rollback(source.db_);
            }
            break;
        }
        if (rc == SQLITE_OK) rc = exec(db_, "BEGIN IMMEDIATE");
        int64_t bytes = 0;
        for (size_t i = 0; rc == SQLITE_OK && i < rows.size(); ++i) {
            const auto& row = rows[i];
            auto& insert = *insert_;
            insert.reset();
            insert.bind(1, row.groupId);
            insert.bindBlob(2, row.log.data(), row.log.size());
            row.targetKey ? insert.bind(3, *row.targetKey) : insert.bindNull(3);
            row.targetToken ? insert.bind(4, *row.targetToken) : insert.bindNull(4);
            insert.bind(5, row.priority);
            row.destination ? insert.bind(6, *row.destination) : insert.bindNull(6);
            rc = insert.step() == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db_);
            insert.reset();
            bytes += int64_t(row.log.size());
        }
        if (rc == SQLITE_OK) {
            SQLStatement note(db_, "INSERT OR REPLACE INTO storeInfo (key, value) VALUES (?, ?)");
            const std::string name = recordNames(ids, std::numeric_limits<size_t>::max()).front();
            note.bind(1, std::string_view(kAdoptingKey));
            note.bind(2, source.storeId_ + name.substr(name.find('.')));
            rc = note.ok() && note.step() == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db_);
        }
        if (rc == SQLITE_OK) rc = exec(db_, "COMMIT");
        if (rc != SQLITE_OK) {
            MSLogError(kMSLogTag, "Couldn't move the logs of " + earlier.string() + " to " + path_.string() + ": " +
                                      sqlite3_errstr(rc) + "; tried again at the next start.");
            rollback(db_);
            rollback(source.db_);
            if (db_) recountLocked();
            break;
        }
        bytes_ += bytes;
        moved += rows.size();
        // Deleted there; when that fails the note here deletes them next time.
        if (source.deleteRowsLocked(ids) == SQLITE_OK && exec(source.db_, "COMMIT") == SQLITE_OK)
            exec(db_, "DELETE FROM storeInfo WHERE key = 'adopting'");
        else {
            rollback(source.db_);
            break;
        }
    }
    if (moved) MSLogInfo(kMSLogTag, "Moved " + std::to_string(moved) + " logs of " + earlier.string() + " to " + path_.string() + ".");
    if (gone) MSLogInfo(kMSLogTag, "Removed " + earlier.string() + ": it holds no more logs.");
    return moved;
}

}  // namespace quorvane
