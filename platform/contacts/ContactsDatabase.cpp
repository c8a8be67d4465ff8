#include "platform/contacts/ContactsDatabase.h"

#include <sys/resource.h>

#include <algorithm>
#include <string>
#include <system_error>

#include "platform/contacts/CNContactKeys.h"
#include "platform/foundation/Log.h"

namespace quorvane::platform {

namespace {

const char* const kSchema = R"SQL(
CREATE TABLE store_info (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE accounts (
    id INTEGER PRIMARY KEY,
    identifier TEXT NOT NULL UNIQUE,
    properties TEXT NOT NULL DEFAULT '{}');
CREATE TABLE containers (
    id INTEGER PRIMARY KEY,
    identifier TEXT NOT NULL UNIQUE,
    name TEXT NOT NULL DEFAULT '',
    type INTEGER NOT NULL);
CREATE TABLE contact_groups (
    id INTEGER PRIMARY KEY,
    identifier TEXT NOT NULL UNIQUE,
    name TEXT NOT NULL DEFAULT '',
    container_id INTEGER NOT NULL REFERENCES containers(id) ON DELETE CASCADE);
CREATE TABLE contacts (
    id INTEGER PRIMARY KEY,
    identifier TEXT NOT NULL UNIQUE,
    container_id INTEGER NOT NULL REFERENCES containers(id) ON DELETE CASCADE,
    name_prefix TEXT NOT NULL DEFAULT '',
    given_name TEXT NOT NULL DEFAULT '',
    middle_name TEXT NOT NULL DEFAULT '',
    family_name TEXT NOT NULL DEFAULT '',
    previous_family_name TEXT NOT NULL DEFAULT '',
    name_suffix TEXT NOT NULL DEFAULT '',
    nickname TEXT NOT NULL DEFAULT '',
    phonetic_given_name TEXT NOT NULL DEFAULT '',
    phonetic_middle_name TEXT NOT NULL DEFAULT '',
    phonetic_family_name TEXT NOT NULL DEFAULT '',
    organization_name TEXT NOT NULL DEFAULT '',
    department_name TEXT NOT NULL DEFAULT '',
    job_title TEXT NOT NULL DEFAULT '',
    note TEXT NOT NULL DEFAULT '',
    birthday TEXT,
    non_gregorian_birthday TEXT,
    dates TEXT NOT NULL DEFAULT '[]',
    phone_numbers TEXT NOT NULL DEFAULT '[]',
    email_addresses TEXT NOT NULL DEFAULT '[]',
    postal_addresses TEXT NOT NULL DEFAULT '[]',
    url_addresses TEXT NOT NULL DEFAULT '[]',
    contact_relations TEXT NOT NULL DEFAULT '[]',
    instant_message_addresses TEXT NOT NULL DEFAULT '[]',
    social_profiles TEXT NOT NULL DEFAULT '[]',
    image_data BLOB,
    creation_date REAL,
    modification_date REAL);
CREATE INDEX contacts_by_container ON contacts(container_id);
CREATE INDEX groups_by_container ON contact_groups(container_id);
CREATE TABLE group_members (
    group_id INTEGER NOT NULL REFERENCES contact_groups(id) ON DELETE CASCADE,
    contact_id INTEGER NOT NULL REFERENCES contacts(id) ON DELETE CASCADE,
    PRIMARY KEY (group_id, contact_id));
CREATE INDEX members_by_contact ON group_members(contact_id);
)SQL";

}  // namespace

std::string sqliteErrorText(sqlite3* db, int rc) {
    std::string text = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    const int primary = (db ? sqlite3_errcode(db) : rc) & 0xff;
    rlimit limit{};
    if (!db || (primary != SQLITE_IOERR && primary != SQLITE_FULL) || ::getrlimit(RLIMIT_FSIZE, &limit) != 0 ||
        limit.rlim_cur == RLIM_INFINITY)
        return text;
    // SQLite keeps no reliable errno of the failed write: a limit is named when the file or its
    // journal is within one write (a page of at most 64 KiB and its frame header) of it.
    const char* file = sqlite3_db_filename(db, "main");
    if (!file || !*file) return text;
    uintmax_t largest = 0;
    for (const char* suffix : {"", "-wal", "-journal"}) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(std::string(file) + suffix, ec);
        if (!ec) largest = std::max<uintmax_t>(largest, size);
    }
    constexpr uintmax_t kLargestWrite = 65536 + 24;
    if (largest + kLargestWrite < limit.rlim_cur) return text;
    text += " (the file reached this process's file-size limit of " + std::to_string(limit.rlim_cur) + " bytes";
    if (limit.rlim_max != RLIM_INFINITY) text += "; its hard limit is " + std::to_string(limit.rlim_max) + " bytes";
    return text + ")";
}

Result<sqlite3*> openSQLiteFile(const std::filesystem::path& file) {
    std::error_code ec;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        Error error = Error::withDescription(kSQLiteErrorDomain, rc, sqliteErrorText(db, rc));
        if (db) sqlite3_close(db);
        return error;
    }
    sqlite3_busy_timeout(db, 5000);
    return db;
}

Result<std::unique_ptr<ContactsDatabase>> ContactsDatabase::open(const std::filesystem::path& file) {
    auto db = openSQLiteFile(file);
    if (!db) {
        return Error::withDescription(CNErrorDomain, CNErrorCodeCommunicationError,
                                      "The contact store " + file.string() +
                                          " cannot be opened: " + db.error().localizedDescription());
    }
    std::unique_ptr<ContactsDatabase> result(new ContactsDatabase(*db));
    // The schema is checked before anything else touches the file: a newer one is left as it is.
    if (auto done = result->exec("PRAGMA foreign_keys = ON"); !done) return done.error();
    if (auto done = result->prepareSchema(); !done) return done.error();
    if (auto done = result->exec("PRAGMA journal_mode = WAL"); !done) return done.error();
    return result;
}

ContactsDatabase::~ContactsDatabase() { sqlite3_close(db_); }

Error ContactsDatabase::error(int64_t code, const std::string& what) const {
    Error e(CNErrorDomain, code);
    e.userInfo.set(Error::kLocalizedDescriptionKey, what + ": " + sqliteErrorText(db_, SQLITE_ERROR));
    return e;
}

Result<void> ContactsDatabase::exec(const char* sql) {
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) return {};
    const std::string text = sqliteErrorText(db_, rc);
    Log::error("contacts", "SQLite: " + text);
    return Error::withDescription(CNErrorDomain, CNErrorCodeCommunicationError, "The contact store failed: " + text);
}

Result<void> ContactsDatabase::prepareSchema() {
    if (auto begun = exec("BEGIN IMMEDIATE"); !begun) return begun;
    int64_t version = -1;
    {
        SQLStatement st(db_, "PRAGMA user_version");
        if (st.ok() && st.step() == SQLITE_ROW) version = st.integer(0);
    }
    Result<void> made;
    if (version == 0) {
        made = exec(kSchema);
        if (made) made = exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
    } else if (version != kSchemaVersion) {
        made = Error::withDescription(CNErrorDomain, CNErrorCodeCommunicationError,
                                      "The contact store has schema version " + std::to_string(version) +
                                          ", which this version cannot read.");
    }
    if (!made) {
        (void)exec("ROLLBACK");
        return made;
    }
    return exec("COMMIT");
}

SQLStatement::SQLStatement(sqlite3* db, std::string_view sql) {
    if (sqlite3_prepare_v2(db, sql.data(), int(sql.size()), &stmt_, nullptr) != SQLITE_OK) {
        Log::error("sqlite", std::string("SQLite cannot prepare: ") + sqlite3_errmsg(db));
        stmt_ = nullptr;
    }
}

SQLStatement::~SQLStatement() { sqlite3_finalize(stmt_); }

void SQLStatement::bind(int index, std::string_view text) {
    sqlite3_bind_text(stmt_, index, text.data(), int(text.size()), SQLITE_TRANSIENT);
}
void SQLStatement::bind(int index, int64_t value) { sqlite3_bind_int64(stmt_, index, value); }
void SQLStatement::bind(int index, double value) { sqlite3_bind_double(stmt_, index, value); }
void SQLStatement::bindBlob(int index, const void* data, size_t size) {
    // A zero-length blob still reads back as a blob, not NULL.
    sqlite3_bind_blob(stmt_, index, size ? data : "", int(size), SQLITE_TRANSIENT);
}
void SQLStatement::bindNull(int index) { sqlite3_bind_null(stmt_, index); }

std::string SQLStatement::text(int col) const {
    const unsigned char* p = sqlite3_column_text(stmt_, col);
    return p ? std::string(reinterpret_cast<const char*>(p), size_t(sqlite3_column_bytes(stmt_, col))) : std::string();
}

std::string_view SQLStatement::textView(int col) const {
    const unsigned char* p = sqlite3_column_text(stmt_, col);
    return p ? std::string_view(reinterpret_cast<const char*>(p), size_t(sqlite3_column_bytes(stmt_, col)))
             : std::string_view();
}

Bytes SQLStatement::blob(int col) const {
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, col));
    int n = sqlite3_column_bytes(stmt_, col);
    return p ? Bytes(p, p + n) : Bytes();
}

}  // namespace quorvane::platform
