// The sync store's loaders on stored rows of any SQLite type: the input fills a store file's
// sync_history and sync_log tables cell by cell, the store loads them and the sync history indexes
// them. What loads is written to a second store and loaded again and must come back equal (load,
// store, load gives the same values), and the history's indexes must agree with its records.
//
// Input: one byte choosing the synced container, then rows: a byte whose low bit picks the table,
// then one cell per column: a type byte (null, integer, real, text, blob) and its value (8 bytes
// little-endian for numbers, a length byte and the bytes for text and blobs).

#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "sync/SyncHistory.h"
#include "sync/SyncStore.h"

using namespace quorvane;
namespace fs = std::filesystem;

namespace {

constexpr const char* kHistoryInsert =
    "INSERT INTO sync_history (apple_record_id, google_id, apple_source_id, apple_update_date, google_update_date, "
    "apple_group_names_hash, google_group_names_hash, apple_image_size, google_etag, google_etag_pending_assignment, "
    "previously_merged, apple_pending_add_to_my_contacts, synced_my_contacts_at_least_once) "
    "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)";
constexpr int kHistoryColumns = 13;
constexpr const char* kLogInsert =
    "INSERT INTO sync_log (start_date, end_date, sync_mode, automatic, result, error, google_account, apple_account, "
    "google_created, google_updated, google_deleted, apple_created, apple_updated, apple_deleted, photos_moved, "
    "failures, log_text) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
constexpr int kLogColumns = 17;
constexpr int kMaxRows = 64;

struct Reader {
    const uint8_t* p;
    size_t left;
    bool done() const { return left == 0; }
    uint8_t byte() {
        if (!left) return 0;
        --left;
        return *p++;
    }
    uint64_t word() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= uint64_t(byte()) << (8 * i);
        return v;
    }
    std::string_view bytes() {
        size_t n = std::min<size_t>(byte(), left);
        std::string_view s(reinterpret_cast<const char*>(p), n);
        p += n;
        left -= n;
        return s;
    }
};

void bindCell(sqlite3_stmt* stmt, int index, Reader& in) {
    switch (in.byte() % 5) {
    case 0: sqlite3_bind_null(stmt, index); break;
    case 1: sqlite3_bind_int64(stmt, index, int64_t(in.word())); break;
    case 2: {
        uint64_t bits = in.word();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        sqlite3_bind_double(stmt, index, d);
        break;
    }
    case 3: {
        auto s = in.bytes();
        sqlite3_bind_text(stmt, index, s.data(), int(s.size()), SQLITE_TRANSIENT);
        break;
    }
    default: {
        auto s = in.bytes();
        sqlite3_bind_blob(stmt, index, s.empty() ? "" : s.data(), int(s.size()), SQLITE_TRANSIENT);
    }
    }
}

bool sameDate(const std::optional<platform::Date>& a, const std::optional<platform::Date>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    const double x = a->timeIntervalSince1970(), y = b->timeIntervalSince1970();
    return x == y || (std::isnan(x) && std::isnan(y));
}

bool sameRecord(const SyncHistoryRecord& a, const SyncHistoryRecord& b) {
    return a.appleRecordID == b.appleRecordID && a.googleID == b.googleID && a.appleSourceID == b.appleSourceID &&
           sameDate(a.appleUpdateDate, b.appleUpdateDate) && sameDate(a.googleUpdateDate, b.googleUpdateDate) &&
           a.appleGroupNamesHash == b.appleGroupNamesHash && a.googleGroupNamesHash == b.googleGroupNamesHash &&
           a.appleImageSize == b.appleImageSize && a.googleETag == b.googleETag &&
           a.googleETagPendingAssignment == b.googleETagPendingAssignment && a.previouslyMerged == b.previouslyMerged &&
           a.applePendingAddToMyContacts == b.applePendingAddToMyContacts &&
           a.syncedMyContactsAtLeastOnce == b.syncedMyContactsAtLeastOnce;
}

bool sameLog(const SyncLogRecord& a, const SyncLogRecord& b) {
    return sameDate(a.startDate, b.startDate) && sameDate(a.endDate, b.endDate) && a.syncMode == b.syncMode &&
           a.automatic == b.automatic && a.result == b.result && a.error == b.error &&
           a.googleAccount == b.googleAccount && a.appleAccount == b.appleAccount &&
           a.googleCreated == b.googleCreated && a.googleUpdated == b.googleUpdated &&
           a.googleDeleted == b.googleDeleted && a.appleCreated == b.appleCreated &&
           a.appleUpdated == b.appleUpdated && a.appleDeleted == b.appleDeleted && a.photosMoved == b.photosMoved &&
           a.failures == b.failures && a.logText == b.logText;
}

// The store files live in memory where it can be, in a folder of this process. libFuzzer ends
// without running exit handlers, so each run removes the folders of runs that have ended.
const fs::path& folder() {
    static const fs::path dir = [] {
        const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        const std::string prefix = "quorvane-fuzz-sync-store-";
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(base, ec)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(prefix, 0) != 0) continue;
            const pid_t pid = pid_t(std::atol(name.c_str() + prefix.size()));
            if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH) fs::remove_all(entry.path(), ec);
        }
        fs::path d = base / (prefix + std::to_string(getpid()));
        fs::create_directories(d);
        return d;
    }();
    return dir;
}

void removeStore(const fs::path& file) {
    std::error_code ec;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) fs::remove(file.string() + suffix, ec);
}

// A store file with the schema in place and the input's rows in its tables.
void writeRows(const fs::path& file, Reader& in) {
    removeStore(file);
    FUZZ_CHECK(SyncStore::open(file).ok(), "a new store file opens");
    sqlite3* db = nullptr;
    FUZZ_CHECK(sqlite3_open(file.c_str(), &db) == SQLITE_OK, "the store file opens for writing rows");
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* history = nullptr;
    sqlite3_stmt* log = nullptr;
    sqlite3_prepare_v2(db, kHistoryInsert, -1, &history, nullptr);
    sqlite3_prepare_v2(db, kLogInsert, -1, &log, nullptr);
    for (int row = 0; row < kMaxRows && !in.done(); ++row) {
        const bool isLog = in.byte() & 1;
        sqlite3_stmt* stmt = isLog ? log : history;
        const int columns = isLog ? kLogColumns : kHistoryColumns;
        for (int c = 1; c <= columns; ++c) bindCell(stmt, c, in);
        sqlite3_step(stmt);  // a row the schema refuses (NULL in a NOT NULL column) is not stored
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
    }
    sqlite3_finalize(history);
    sqlite3_finalize(log);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

void checkHistoryIndexes(const std::vector<SyncHistoryRecordPtr>& records, const std::optional<std::string>& container) {
    SyncHistory history;
    history.load(records, container);
    int32_t relevant = 0;
    for (const auto& r : records) {
        if (!history.isRelevant(*r)) continue;
        ++relevant;
        if (r->appleRecordID) {
            const auto& found = history.recordsForAppleID(r->appleRecordID);
            FUZZ_CHECK(std::find(found.begin(), found.end(), r) != found.end(), "a relevant record is indexed by its local id");
        }
        if (r->googleID) {
            const auto& found = history.recordsForGoogleID(r->googleID);
            FUZZ_CHECK(std::find(found.begin(), found.end(), r) != found.end(), "a relevant record is indexed by its Google id");
        }
    }
    FUZZ_CHECK(history.relevantCount() == relevant, "the relevant count counts the relevant records");

    history.updatePairedContacts(
        [](const std::string& googleID) { return googleID.size() % 2 == 0; },
        [](const std::string& appleID) -> std::optional<std::optional<platform::Date>> {
            if (appleID.empty()) return std::nullopt;
            if (appleID.size() % 3 == 0) return std::optional<platform::Date>();
            return platform::Date::fromUnix(double(uint8_t(appleID[0])) * 1000.0);
        });
    for (const auto& [appleID, googleID] : history.pairedContactsByApple())
        FUZZ_CHECK(history.pairedAppleID(googleID).has_value(), "a pair remembered by local id is known by Google id");
    for (const auto& [googleID, appleID] : history.pairedContactsByGoogle())
        FUZZ_CHECK(history.pairedGoogleID(appleID).has_value(), "a pair remembered by Google id is known by local id");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, size};
    std::optional<std::string> container;
    if (uint8_t choice = in.byte() % 4) container = std::string(size_t(choice - 1), 'a');  // nil, "", "a", "aa"

    const fs::path first = folder() / "first.sqlite";
    const fs::path second = folder() / "second.sqlite";
    writeRows(first, in);

    auto opened = SyncStore::open(first);
    FUZZ_CHECK(opened.ok(), "a store file with any rows opens");
    auto store = std::move(*opened);
    auto fetchedRecords = store->fetchSyncHistory();
    auto fetchedLogs = store->fetchSyncLogs();
    FUZZ_CHECK(fetchedRecords.ok() && fetchedLogs.ok(), "a store file with any rows reads");
    auto records = std::move(*fetchedRecords);
    auto logs = std::move(*fetchedLogs);
    store.reset();
    checkHistoryIndexes(records, container);

    removeStore(second);
    auto openedCopy = SyncStore::open(second);
    FUZZ_CHECK(openedCopy.ok(), "a new store file opens");
    auto copy = std::move(*openedCopy);
    for (const auto& r : records) {
        auto fresh = std::make_shared<SyncHistoryRecord>(*r);
        fresh->rowID = 0;
        copy->insertSyncHistory(fresh);
    }
    for (const auto& l : logs) copy->insertSyncLog(l);
    FUZZ_CHECK(copy->save().ok(), "loaded records store again");
    copy.reset();

    auto reopened = SyncStore::open(second);
    FUZZ_CHECK(reopened.ok(), "the copy opens");
    auto recordsAgain = (*reopened)->fetchSyncHistory().valueOr(std::vector<SyncHistoryRecordPtr>{});
    auto logsAgain = (*reopened)->fetchSyncLogs().valueOr(std::vector<SyncLogRecord>{});
    FUZZ_CHECK(recordsAgain.size() == records.size(), "every history record comes back");
    for (size_t i = 0; i < records.size(); ++i)
        FUZZ_CHECK(sameRecord(*records[i], *recordsAgain[i]), "load, store, load gives the same history record");
    FUZZ_CHECK(logsAgain.size() == std::min<size_t>(logs.size(), SyncStore::kLogsKept), "every run log comes back");
    for (size_t i = 0; i < logsAgain.size(); ++i)
        FUZZ_CHECK(sameLog(logs[logs.size() - logsAgain.size() + i], logsAgain[i]), "load, store, load gives the same run log");
    return 0;
}
