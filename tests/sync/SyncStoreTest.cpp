// The sync store: a real SQLite file, reopened; staged changes saved together; the newest runs kept.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <string>
#include <vector>

#include "platform/foundation/Paths.h"
#include "platform/store/LockFile.h"
#include "sync/SyncLock.h"
#include "sync/SyncStore.h"

namespace quorvane {
namespace {

using platform::Date;
using platform::Error;

class SyncStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = platform::Paths::dataHome() / "sync-tests" / (std::string("SyncStoreTest.") + info->name());
        std::filesystem::remove_all(dir_);
        path_ = SyncStore::pathInFolder(dir_ / "profile");
    }
    std::unique_ptr<SyncStore> open() {
        auto store = SyncStore::open(path_);
        EXPECT_TRUE(store) << store.error().localizedDescription();
        return store ? std::move(*store) : nullptr;
    }
    // Runs SQL on the file through a connection of its own.
    void rawSQL(const char* sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
    std::filesystem::path dir_, path_;
};

SyncHistoryRecordPtr fullRecord() {
    auto r = std::make_shared<SyncHistoryRecord>();
    r->appleRecordID = "A1";
    r->googleID = "http://example.com/base/g1";
    r->appleSourceID = std::nullopt;
    r->appleUpdateDate = Date::fromUnix(1000.25);
    r->googleUpdateDate = Date::fromUnix(2000.5);
    r->appleGroupNamesHash = 0xFFFFFFFFFFFFFFFFull;  // beyond SQLite's signed range
    r->googleGroupNamesHash = 0x8000000000000001ull;
    r->appleImageSize = 4096;
    r->googleETag = "\"etag-1\"";
    r->googleETagPendingAssignment = true;
    r->previouslyMerged = true;
    r->applePendingAddToMyContacts = true;
    r->syncedMyContactsAtLeastOnce = true;
    r->appleContentDigest = 0xFEDCBA9876543210ull;
    r->googleContentDigest = 7;
    r->appleFieldValues = std::string("\x02\x01\x00\xFF\x00\x00\x80", 7);  // bytes as they are, NUL included
    r->googleFieldValues = "";
    return r;
}

TEST_F(SyncStoreTest, HistoryRoundTripsThroughTheFileReopened) {
    auto written = fullRecord();
    auto sparse = std::make_shared<SyncHistoryRecord>();
    sparse->googleID = "g2";
    {
        auto store = open();
        store->insertSyncHistory(written);
        store->insertSyncHistory(sparse);
        EXPECT_EQ(store->fetchSyncHistory()->size(), 2u);  // staged records are seen
        ASSERT_TRUE(store->save());
        EXPECT_GT(written->rowID, 0);
        EXPECT_FALSE(store->hasChanges());
    }
    auto store = open();
    auto records = *store->fetchSyncHistory();
    ASSERT_EQ(records.size(), 2u);
    const SyncHistoryRecord& r = *records[0];
    EXPECT_EQ(r.rowID, written->rowID);
    EXPECT_EQ(r.appleRecordID, written->appleRecordID);
    EXPECT_EQ(r.googleID, written->googleID);
    EXPECT_EQ(r.appleSourceID, std::nullopt);
    EXPECT_EQ(r.appleUpdateDate, written->appleUpdateDate);
    EXPECT_EQ(r.googleUpdateDate, written->googleUpdateDate);
    EXPECT_EQ(r.appleGroupNamesHash, written->appleGroupNamesHash);
    EXPECT_EQ(r.googleGroupNamesHash, written->googleGroupNamesHash);
    EXPECT_EQ(r.appleImageSize, 4096);
    EXPECT_EQ(r.googleETag, written->googleETag);
    EXPECT_TRUE(r.googleETagPendingAssignment && r.previouslyMerged && r.applePendingAddToMyContacts &&
                r.syncedMyContactsAtLeastOnce);
    EXPECT_EQ(r.appleContentDigest, written->appleContentDigest);
    EXPECT_EQ(r.googleContentDigest, written->googleContentDigest);
    EXPECT_EQ(r.appleFieldValues, written->appleFieldValues);
    EXPECT_EQ(r.googleFieldValues, written->googleFieldValues);
    EXPECT_EQ(records[1]->appleFieldValues, std::nullopt);
    EXPECT_EQ(records[1]->appleRecordID, std::nullopt);
    EXPECT_EQ(records[1]->googleContentDigest, std::nullopt);
    EXPECT_EQ(records[1]->appleUpdateDate, std::nullopt);
    EXPECT_EQ(records[1]->appleGroupNamesHash, 0u);

    // Deletions are staged: seen at once, durable at the save.
    store->deleteSyncHistory(records[0]);
    store->deleteSyncHistory(records[0]);
    EXPECT_EQ(store->fetchSyncHistory()->size(), 1u);
    EXPECT_EQ(open()->fetchSyncHistory()->size(), 2u);
    ASSERT_TRUE(store->save());
    EXPECT_EQ(open()->fetchSyncHistory()->size(), 1u);

    // A record inserted and deleted before the save never reaches the file.
    auto passing = fullRecord();
    store->insertSyncHistory(passing);
    store->deleteSyncHistory(passing);
    EXPECT_FALSE(store->hasChanges());

    // Staged insertions keep their order: one inserted twice counts once, one deleted and inserted
    // again goes last.
    std::vector<SyncHistoryRecordPtr> staged;
    for (const char* id : {"s1", "s2", "s3"}) {
        staged.push_back(std::make_shared<SyncHistoryRecord>());
        staged.back()->googleID = id;
        store->insertSyncHistory(staged.back());
    }
    store->insertSyncHistory(staged[0]);
    store->deleteSyncHistory(staged[1]);
    store->insertSyncHistory(staged[1]);
    auto googleIDs = [](const std::vector<SyncHistoryRecordPtr>& records) {
        std::vector<std::string> ids;
        for (const auto& r : records) ids.push_back(r->googleID.value_or(""));
        return ids;
    };
    const std::vector<std::string> order = {"g2", "s1", "s3", "s2"};
    EXPECT_EQ(googleIDs(*store->fetchSyncHistory()), order);
    ASSERT_TRUE(store->save());
    EXPECT_EQ(googleIDs(*open()->fetchSyncHistory()), order);
    EXPECT_LT(staged[2]->rowID, staged[1]->rowID);
}

TEST_F(SyncStoreTest, AFetchAfterTheCheckSeesEveryChangeMadeSince) {
    // The check's read stands in for the next fetch only while the file is as it read it: a
    // staged change, a save of this store or a write of another connection is seen.
    auto store = open();
    store->insertSyncHistory(fullRecord());
    ASSERT_TRUE(store->save());
    auto count = [&] { return store->fetchSyncHistory().valueOr(std::vector<SyncHistoryRecordPtr>{}).size(); };
    ASSERT_TRUE(store->checkSyncHistory());
    EXPECT_EQ(count(), 1u);
    ASSERT_TRUE(store->checkSyncHistory());
    rawSQL("INSERT INTO sync_history (google_id) VALUES ('other')");
    EXPECT_EQ(count(), 2u);
    ASSERT_TRUE(store->checkSyncHistory());
    auto records = *store->fetchSyncHistory();
    store->deleteSyncHistory(records[0]);
    store->insertSyncHistory(fullRecord());
    ASSERT_TRUE(store->checkSyncHistory());
    EXPECT_EQ(count(), 2u);  // one deleted, one inserted, both staged
    ASSERT_TRUE(store->checkSyncHistory());
    ASSERT_TRUE(store->save());
    rawSQL("DELETE FROM sync_history WHERE google_id = 'other'");
    EXPECT_EQ(count(), 1u);
}

TEST_F(SyncStoreTest, AFailedSaveWritesNothingAndKeepsTheChangesStaged) {
    auto store = open();
    store->insertSyncHistory(fullRecord());
    SyncLogRecord run;
    run.startDate = Date::fromUnix(10);
    store->insertSyncLog(run);
    rawSQL("DROP TABLE sync_log;");
    auto saved = store->save();
    ASSERT_FALSE(saved);
    EXPECT_NE(saved.error().localizedDescription().find("sync log"), std::string::npos) << saved.error().localizedDescription();
    EXPECT_TRUE(store->hasChanges());
    EXPECT_EQ(open()->fetchSyncHistory()->size(), 0u);  // the history insert was rolled back
}

TEST_F(SyncStoreTest, RunsAreKeptNewestFiveHundred) {
    auto store = open();
    for (int i = 0; i < SyncStore::kLogsKept + 7; ++i) {
        SyncLogRecord run;
        run.startDate = Date::fromUnix(1000 + i);
        run.endDate = Date::fromUnix(1001 + i);
        run.syncMode = 2;
        run.automatic = i % 2;
        run.result = "partial";
        run.error = "one failed";
        run.googleAccount = "ann@example.com";
        run.appleAccount = "On This Computer";
        run.googleCreated = i, run.googleUpdated = 2, run.googleDeleted = 3;
        run.appleCreated = 4, run.appleUpdated = 5, run.appleDeleted = 6, run.photosMoved = 7, run.failures = 8;
        run.logText = "run " + std::to_string(i) + "\n";
        store->insertSyncLog(run);
        if (i % 100 == 0) ASSERT_TRUE(store->save());
    }
    ASSERT_TRUE(store->save());
    auto runs = *open()->fetchSyncLogs();
    ASSERT_EQ(runs.size(), size_t(SyncStore::kLogsKept));
    EXPECT_EQ(runs.front().googleCreated, 7);  // the oldest seven are gone
    const SyncLogRecord& last = runs.back();
    EXPECT_EQ(last.startDate, Date::fromUnix(1000 + SyncStore::kLogsKept + 6));
    EXPECT_EQ(last.endDate, Date::fromUnix(1001 + SyncStore::kLogsKept + 6));
    EXPECT_EQ(last.syncMode, 2);
    EXPECT_EQ(last.result, "partial");
    EXPECT_EQ(last.error, std::optional<std::string>("one failed"));
    EXPECT_EQ(last.googleAccount, std::optional<std::string>("ann@example.com"));
    EXPECT_EQ(last.appleAccount, std::optional<std::string>("On This Computer"));
    EXPECT_EQ(last.photosMoved, 7);
    EXPECT_EQ(last.failures, 8);
    EXPECT_EQ(last.logText, "run 506\n");
}

TEST_F(SyncStoreTest, AFileOfANewerSchemaIsRefused) {
    open();
    rawSQL("PRAGMA user_version = 99;");
    auto refused = SyncStore::open(path_);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().localizedDescription().find("newer"), std::string::npos);
    // The journal is WAL (kept in the file once set).
    rawSQL(("PRAGMA user_version = " + std::to_string(SyncStore::kSchemaVersion) + ";").c_str());
    ASSERT_TRUE(open());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &s, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)), "wal");
    sqlite3_finalize(s);
    sqlite3_close(db);
}

TEST_F(SyncStoreTest, AFileOfTheFirstSchemaIsBroughtUpToDateKeepingItsHistory) {
    std::filesystem::create_directories(path_.parent_path());
    rawSQL("CREATE TABLE sync_history (id INTEGER PRIMARY KEY, apple_record_id TEXT, google_id TEXT, "
           "apple_source_id TEXT, apple_update_date REAL, google_update_date REAL, "
           "apple_group_names_hash INTEGER NOT NULL DEFAULT 0, google_group_names_hash INTEGER NOT NULL DEFAULT 0, "
           "apple_image_size INTEGER NOT NULL DEFAULT 0, google_etag TEXT, "
           "google_etag_pending_assignment INTEGER NOT NULL DEFAULT 0, previously_merged INTEGER NOT NULL DEFAULT 0, "
           "apple_pending_add_to_my_contacts INTEGER NOT NULL DEFAULT 0, "
           "synced_my_contacts_at_least_once INTEGER NOT NULL DEFAULT 0);"
           "CREATE TABLE sync_log (id INTEGER PRIMARY KEY, start_date REAL NOT NULL, end_date REAL, "
           "sync_mode INTEGER NOT NULL DEFAULT 0, automatic INTEGER NOT NULL DEFAULT 0, result TEXT NOT NULL DEFAULT '', "
           "error TEXT, google_account TEXT, apple_account TEXT, google_created INTEGER NOT NULL DEFAULT 0, "
           "google_updated INTEGER NOT NULL DEFAULT 0, google_deleted INTEGER NOT NULL DEFAULT 0, "
           "apple_created INTEGER NOT NULL DEFAULT 0, apple_updated INTEGER NOT NULL DEFAULT 0, "
           "apple_deleted INTEGER NOT NULL DEFAULT 0, photos_moved INTEGER NOT NULL DEFAULT 0, "
           "failures INTEGER NOT NULL DEFAULT 0, log_text TEXT NOT NULL DEFAULT '');"
           "INSERT INTO sync_history (apple_record_id, google_id, apple_image_size) VALUES ('A1', 'g1', 12);"
           "PRAGMA user_version = 1;");
    {
        auto store = open();
        ASSERT_TRUE(store);
        auto records = *store->fetchSyncHistory();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0]->appleRecordID, std::optional<std::string>("A1"));
        EXPECT_EQ(records[0]->appleImageSize, 12);
        EXPECT_EQ(records[0]->appleContentDigest, std::nullopt);
        EXPECT_EQ(*store->historyAccounts(), std::nullopt);
        store->insertSyncHistory(fullRecord());
        store->setHistoryAccounts({"C1", "Home", "ann@example.com"});
        ASSERT_TRUE(store->save());
    }
    auto accounts = *open()->historyAccounts();
    ASSERT_TRUE(accounts);
    EXPECT_EQ(accounts->googleUser, std::optional<std::string>("ann@example.com"));
    // Noted by a release that kept no Google user: the accounts stay, the user is not known.
    rawSQL("ALTER TABLE history_accounts DROP COLUMN google_user; PRAGMA user_version = 5;");
    accounts = *open()->historyAccounts();
    ASSERT_TRUE(accounts);
    EXPECT_EQ(accounts->localSelection, "C1");
    EXPECT_EQ(accounts->googleUser, std::nullopt);
    auto records = *open()->fetchSyncHistory();  // opened again: nothing left to migrate
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1]->appleContentDigest, fullRecord()->appleContentDigest);
    EXPECT_EQ(records[1]->appleFieldValues, fullRecord()->appleFieldValues);
    EXPECT_EQ(records[0]->appleFieldValues, std::nullopt);  // a record of the first schema keeps none
}

// Stores opened at once on a file of an older schema (as by processes started together) all open:
// the upgrade is done by one, inside a write transaction that reads the version again. A file of
// no bytes is a damaged store, never a new one, and is left as it is.
TEST_F(SyncStoreTest, StoresOpenedAtOnceOnAnOlderFileAllOpenAndAnEmptyFileIsRefused) {
    for (int round = 0; round < 10; ++round) {
        std::filesystem::remove_all(dir_);
        open();
        rawSQL("ALTER TABLE sync_history DROP COLUMN apple_photo_digest; ALTER TABLE sync_history DROP COLUMN apple_field_values; "
               "ALTER TABLE sync_history DROP COLUMN google_field_values; ALTER TABLE history_accounts DROP COLUMN google_user; "
               "PRAGMA user_version = 2;");
        std::vector<std::thread> threads;
        std::atomic<int> opened{0};
        std::vector<std::string> failures(6);
        for (size_t i = 0; i < failures.size(); ++i)
            threads.emplace_back([&, i] {
                auto store = SyncStore::open(path_);
                if (store) ++opened;
                else failures[i] = store.error().localizedDescription();
            });
        for (auto& t : threads) t.join();
        ASSERT_EQ(opened, 6) << "round " << round << ": " << failures[0] << failures[1] << failures[2] << failures[3];
    }
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(path_.parent_path());
    std::ofstream{path_};
    auto refused = SyncStore::open(path_);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, kSyncStoreErrorDamaged);
    EXPECT_EQ(std::filesystem::file_size(path_), 0u);
}

// Commands that find a link in a lock file's place at the same moment each remove it or find it
// removed, then take the lock or find it busy: none fails (the sync and sign-in locks, and the
// settings' lock).
TEST(LockFileLinkTest, CommandsFindingALinkInTheLocksPlaceAtOnceNeverFail) {
    const auto dir = std::filesystem::temp_directory_path() / ("quorvane-linked-lock-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    for (const bool syncLock : {true, false}) {
        const auto file = dir / (syncLock ? "Sync.lock" : "settings.lock");
        for (int round = 0; round < 40; ++round) {
            std::filesystem::remove(file);
            std::filesystem::create_symlink(dir / "elsewhere", file);
            std::atomic<int> ready{0}, failed{0};
            std::vector<std::thread> takers;
            for (int i = 0; i < 8; ++i) {
                takers.emplace_back([&] {
                    for (++ready; ready < 8;) std::this_thread::yield();
                    const bool ok = syncLock ? bool(SyncLock::tryAcquire(file)) : bool(platform::LockFile::acquire(file, 0));
                    if (!ok) ++failed;
                });
            }
            for (auto& taker : takers) taker.join();
            EXPECT_EQ(failed, 0) << syncLock << " " << round;
            EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere"));
        }
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quorvane
