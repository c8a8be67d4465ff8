#pragma once
// The SQLite file behind CNContactStore and ACAccountStore: one connection, the schema made
// on first open and checked by its version (PRAGMA user_version), and small statement helpers.
// Not thread-safe by itself: its owner serialises calls.

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/Value.h"

namespace quorvane::platform {

// SQLite failures outside a store's own domain: the code is SQLite's, the description its message.
inline constexpr const char* kSQLiteErrorDomain = "com.quorvane.SQLite";

// Opens (making it and its folder when missing) a SQLite file for reading and writing, with a
// busy timeout of 5 s; the caller closes the handle. A kSQLiteErrorDomain error on failure.
Result<sqlite3*> openSQLiteFile(const std::filesystem::path& file);

// SQLite's message for a failure (rc when there is no connection), and, for a write the system
// refused, why: a "disk I/O error" that is the process's file-size limit says so, with the limit.
std::string sqliteErrorText(sqlite3* db, int rc);

class ContactsDatabase {
public:
    static constexpr int kSchemaVersion = 1;

    // Opens (creating the file and its folder when missing) and makes or checks the schema.
    // A CNErrorCodeCommunicationError on failure or a newer schema.
    static Result<std::unique_ptr<ContactsDatabase>> open(const std::filesystem::path& file);
    ~ContactsDatabase();

    sqlite3* handle() const { return db_; }
    // An error of the store's domain with the connection's last message.
    Error error(int64_t code, const std::string& what) const;
    // Runs statements without results; a CNErrorCodeCommunicationError on failure.
    Result<void> exec(const char* sql);

private:
    explicit ContactsDatabase(sqlite3* db) : db_(db) {}
    Result<void> prepareSchema();
    sqlite3* db_;
};

// One prepared statement.
class SQLStatement {
public:
    SQLStatement(sqlite3* db, std::string_view sql);
    ~SQLStatement();
    SQLStatement(const SQLStatement&) = delete;
    SQLStatement& operator=(const SQLStatement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }

    void bind(int index, std::string_view text);
    void bind(int index, int64_t value);
    void bind(int index, double value);
    void bindBlob(int index, const void* data, size_t size);
    void bindNull(int index);

    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return sqlite3_step(stmt_); }
    void reset() { sqlite3_reset(stmt_); sqlite3_clear_bindings(stmt_); }

    bool isNull(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
    std::string text(int col) const;
    // The text in place, valid until the next step.
    std::string_view textView(int col) const;
    int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }
    double real(int col) const { return sqlite3_column_double(stmt_, col); }
    Bytes blob(int col) const;

private:
    sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace quorvane::platform
