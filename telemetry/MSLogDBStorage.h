#pragma once
// The stored logs: one SQLite file (WAL), table "logs" with each log's keyed archive in "log" (its
// UTF-8 text, kept as bytes; rows of earlier versions hold the Base64 of it, and still load), its
// group id, target key, priority (the low 8 bits of its flags) and destination: a key of the
// secret it was accepted for (MSHttpIngestion::Destination; earlier, of the address and secret),
// so that a process sending under another secret (another app, another profile on the same file)
// never sends it, nor deletes it when its own app opts out; rows stored before destinations were
// kept (each app had a file of its own then) go with whichever process loads them. The archive is text already,
// with bytes inside it in Base64: Base64 of it again would make an attachment at the allowed
// maximum (7 MiB) ~13 MB, over the default bound, where the archive is ~9.8 MB. A log's
// target token, which its archive leaves out, is kept beside it encrypted (MSEncrypter) and given
// back to the log when it loads.
//
// Logs load by priority, then age. Several processes may share the file: a batch handed out is
// claimed in the file itself ("claim": the claiming store's owner token, made of its process id,
// that process's start time and a random part; "claimedAt": when), in the same transaction that
// picks it, so no other process takes it. Its logs stay stored and claimed until the batch is
// deleted (sent); a claim whose process has ended (killed, crashed) is released by the next store
// that looks, so a crash before an acknowledgement sends them again and nothing after one does.
// A process that ends while a batch's answer is outstanding releases it, counting the send in
// "unanswered": the log stays stored and goes again (it may then arrive twice; each carries its
// id). A log leaves the file only when the ingestion took or refused it, or the size bound below
// made room with it.
// A claim made or looked at without the process's start time (/proc unreadable) cannot tell its
// process from a later one with the same id: it is released a day after it was made. Where the
// file takes no writes (read-only, a full disk) a batch goes unclaimed, held back by this store
// only.
//
// Each file has an identity of its own (a random id in its table "storeInfo"), and what a store
// holds about rows (batches in flight, acknowledged ids) belongs to the file it read them from:
// when the file at the path is removed or replaced (set aside as damaged by another process) the
// store opens the new one and forgets them, so ids of the old file never touch the new one's rows.
//
// A batch whose delete fails (a write error, a full disk, a read-only file) stays held back while
// the delete is tried again before each later operation (its failing there keeps the connection,
// so the file is still read and its other logs sent); its ids are also recorded beside the file,
// in the folder "<name>.acknowledged", as the names of empty files (made without writing a byte
// of data, so also where the file system takes no data) headed by the file's identity, which
// every store on that file reads: an acknowledged log is not sent again by this process, by
// another one, or after a restart, and the first store that can write deletes them. Records of
// another identity are about a file gone and are removed. The file is kept under a size bound:
// when a new log does not fit, the oldest logs of normal priority not in flight (here or in another
// process that still runs) go first, then
// the oldest of a priority no higher than the new log's (a log that still does not fit is
// refused); the caller hears of each log deleted so.
//
// Another connection holding a write transaction for long (a process stopped inside its write)
// makes the store "busy": saveLogs stores nothing and says so, for the caller to keep the logs
// and try again; loading hands out nothing. One warning is logged; while busy, writes wait only
// briefly for the file, so nothing blocks on it, until a write succeeds again.
//
// Failures: after an I/O error the connection is closed and the next operation opens the file
// again; a file that is not a database (or is damaged), or whose tables have another layout, is
// moved aside to "<name>.damaged" (one copy kept, the last) and a new store started in its place,
// with an error in the log. Every SQL statement binds its values. Thread-safe.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "platform/foundation/ForkSafeMutex.h"
#include "telemetry/MSAbstractLog.h"

struct sqlite3;

namespace quorvane::platform {
class SQLStatement;
}

namespace quorvane {

class MSEncrypter;

class MSLogDBStorage {
public:
    static constexpr int64_t kDefaultMaxStorageSize = 10 * 1024 * 1024;
    static constexpr const char* kDefaultFileName = "Logs.sqlite";

    // The file's folder is created when missing.
    explicit MSLogDBStorage(std::filesystem::path file, int64_t maxStorageSize = kDefaultMaxStorageSize);
    ~MSLogDBStorage();
    MSLogDBStorage(const MSLogDBStorage&) = delete;
    MSLogDBStorage& operator=(const MSLogDBStorage&) = delete;

    // Whether the file is open now; operations open it again when it is not.
    bool isOpen();
    const std::filesystem::path& path() const { return path_; }

    struct Item {
        std::shared_ptr<MSAbstractLog> log;
        std::string groupId;
        uint32_t flags = MSFlagsDefault;
        // The log's keyed archive when the caller made it already.
        std::string storedText;
        // The ingestion (and secret) the log was accepted for: it is sent only there. Empty: any.
        std::string destination;
    };
    // The text a log is stored as: its keyed archive.
    static std::string storedTextForLog(const MSAbstractLog& log);
    bool saveLog(const std::shared_ptr<MSAbstractLog>& log, const std::string& groupId, uint32_t flags);
    // A stored log deleted unsent to make room for a new one.
    struct Evicted {
        std::string groupId;
        std::shared_ptr<MSAbstractLog> log;
    };
    // Saves the items in one transaction; one result per item. busy: set when the file is held by
    // another connection and nothing was saved. evicted: the stored logs (of any group) that gave
    // way to them, for their delegates to hear; a log gives way only to one of its priority or
    // higher.
    std::vector<bool> saveLogs(const std::vector<Item>& items, bool* busy = nullptr,
                               std::vector<Evicted>* evicted = nullptr);
    // Whether the file was found held by another connection and no write has succeeded since.
    bool isBusy();

    // The destinations whose logs a caller sends or deletes (with those stored without one); any
    // when not given.
    using Destinations = std::optional<std::vector<std::string>>;

    struct Batch {
        std::string batchId;
        std::vector<std::shared_ptr<MSAbstractLog>> logs;
    };
    // Up to limit logs of the group not in flight and not of an excluded target key (and, when
    // given, stored for one of the destinations or for none), marked as in flight under a new batch
    // id; nullopt when there are none.
    std::optional<Batch> loadLogsWithGroupId(const std::string& groupId, size_t limit,
                                             const std::set<std::string>& excludedTargetKeys = {},
                                             const Destinations& destinations = std::nullopt);
    // Deletes the logs of a batch (after the ingestion accepted or refused them).
    void deleteLogsWithBatchId(const std::string& batchId);
    // A batch whose request left and whose answer this process no longer waits for (it ends):
    // its logs are released, each with the send counted in "unanswered", for another store or the
    // next start to send again. False when the file takes no write (the logs then stay claimed,
    // and go again once this process has ended).
    bool releaseUnansweredBatch(const std::string& batchId);
    // Splits a batch in flight in two: its first `firstCount` logs and the rest, each under a new
    // batch id (returned); nullopt for an unknown batch or a count that leaves a part empty.
    std::optional<std::pair<std::string, std::string>> splitBatch(const std::string& batchId, size_t firstCount);
    // The same by the logs' places: those marked go into the first part, in their order.
    std::optional<std::pair<std::string, std::string>> splitBatch(const std::string& batchId, const std::vector<bool>& first);
    // Deletes every log of the group (of the destinations, when given), in flight or not; returns
    // how many.
    size_t deleteLogsWithGroupId(const std::string& groupId, const Destinations& destinations = std::nullopt);
    // Logs of the group not in flight, after releasing the claims of processes that have ended.
    size_t countLogs(const std::string& groupId, const Destinations& destinations = std::nullopt);
    // Logs of the group in flight in another store (another process) now.
    size_t countLogsClaimedElsewhere(const std::string& groupId, const Destinations& destinations = std::nullopt);
    size_t countAllLogs();
    // Whether a log of the group with `value` under the key `field` is stored (in flight or not);
    // nullopt when the file cannot be read.
    std::optional<bool> holdsLogWith(const std::string& groupId, const std::string& field, const std::string& value);
    // Deletes the logs of the group with `value` under `field` that are not in flight; how many.
    size_t deleteUnsentLogsWith(const std::string& groupId, const std::string& field, const std::string& value);
    int64_t storedBytes();
    void setMaxStorageSize(int64_t bytes);
    int64_t maxStorageSize() const { return maxSize_.load(); }
    // Logs of finished batches whose delete has not succeeded yet.
    size_t undeletedCount();
    // Moves into this store, to be sent from here, the logs of an earlier file (the one store an
    // earlier version kept for every app and profile) accepted for one of the destinations or for
    // none, as they are (group, priority, target, destination), skipping those another process
    // has in flight or has sent; each moves once, also when a process ends half-way or two move
    // at once. The earlier file is removed once it holds no log. Returns how many moved.
    size_t adoptLogsFrom(const std::filesystem::path& earlier, const std::vector<std::string>& destinations);
    // Keys again the logs stored under one destination key with another (those another process
    // has in flight too: they come back under the new key); returns how many.
    size_t rekeyLogs(const std::string& from, const std::string& to);
    // Where a damaged file is moved.
    std::filesystem::path damagedPath() const;
    // The folder that records acknowledged logs whose delete failed.
    std::filesystem::path acknowledgedPath() const;
    // This store's claim on the logs it hands out.
    const std::string& owner() const { return owner_; }

private:
    // Whether the store that made an owner token still runs; Unconfirmed: its process id is in use
    // but the start times that would tell whether by the same run are not both known.
    enum class OwnerState { Alive, Ended, Unconfirmed };
    static OwnerState ownerState(const std::string& owner);
    // Opens the file when it is closed and retries pending deletes; false when it cannot be used.
    bool readyLocked();
    bool openLocked();
    // Schema and statements, and the file's identity (empty when it has none and takes no writes);
    // an SQLite result code.
    int prepareLocked(std::string& storeId);
    // SQLITE_NOTADB, with damagedReason_, when the tables are not of our layout.
    int checkLayoutLocked();
    void closeLocked();
    // Whether the path still names the file the connection has open.
    bool sameFileLocked() const;
    // Drops what is held about the rows of the file last opened.
    void forgetFileStateLocked();
    void noteBusyLocked();     // a write found the file held by another connection
    void noteWrittenLocked();  // a write succeeded
    bool moveDamagedFileAsideLocked();
    // Logs a failed statement; after an error that leaves the connection unusable it is closed
    // (and a damaged file set aside at the next open). Returns false.
    bool failedLocked(int rc, const std::string& what);
    // Whether a statement was prepared; failedLocked when not.
    bool preparedLocked(const platform::SQLStatement& statement);
    // removed: how many of the rows were there. An SQLite result code; logs nothing.
    int deleteRowsLocked(const std::vector<int64_t>& ids, size_t* removed = nullptr);
    bool deleteRowsOrFailLocked(const std::vector<int64_t>& ids);
    void retryUndeletedLocked();
    // These return an SQLite result code and log nothing.
    int releaseDeadClaimsLocked();
    // Reads up to limit logs free to send (not claimed, not held, not of an excluded key); rows
    // that cannot be read go to damaged.
    int pickLocked(const std::string& groupId, size_t limit, const std::set<std::string>& excluded,
                   const Destinations& destinations, Batch& batch, std::vector<int64_t>& ids,
                   std::vector<int64_t>& damaged);
    int claimLocked(const std::vector<int64_t>& ids);
    // The acknowledged ids other stores (or an earlier run) recorded; removes stale records.
    void readAcknowledgedLocked();
    bool recordAcknowledgedLocked(const std::vector<int64_t>& ids);
    void forgetAcknowledgedRecordsLocked();
    // Deletes the oldest logs not in flight, normal ones first, none of a higher priority than
    // the new log's, until it fits; those deleted go to evicting_.
    bool makeRoomLocked(int64_t bytes, int64_t priority);
    bool insertLocked(const std::string& text, const Item& item);
    // This store's note of the earlier file's logs it took, while that file may still hold them.
    std::optional<std::string> adoptingLocked();
    void recountLocked();
    MSEncrypter& encrypterLocked();

    const std::filesystem::path path_;
    platform::ForkSafeMutex mutex_;
    sqlite3* db_ = nullptr;
    std::unique_ptr<platform::SQLStatement> insert_;
    std::unique_ptr<MSEncrypter> encrypter_;  // made when the first token is stored or read
    std::atomic<int64_t> maxSize_;  // read without the lock by the channel units
    int64_t bytes_ = 0;  // sum of the stored log texts
    bool damaged_ = false;       // the file answered that it is damaged or not a database
    std::string damagedReason_;  // why, for the message when it is set aside
    bool openFailureLogged_ = false;
    bool busy_ = false;
    std::string storeId_;                       // the identity of the file last opened
    std::pair<dev_t, ino_t> file_{};           // and the file itself
    const std::string owner_;
    std::map<std::string, std::vector<int64_t>> batches_;  // in flight
    std::set<int64_t> held_;              // in flight, or finished and not deleted yet
    std::set<int64_t> undeleted_;         // finished (here or in a record), delete still to do
    std::set<std::string> records_;       // the acknowledged records read or written, by name
    std::vector<Evicted> evicting_;       // deleted by the write in progress
};

}  // namespace quorvane
