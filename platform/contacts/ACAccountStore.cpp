#include "platform/contacts/ACAccountStore.h"

#include "platform/contacts/CNContactKeys.h"
#include "platform/contacts/CNContactStore.h"
#include "platform/contacts/ContactsDatabase.h"
#include "platform/foundation/Log.h"

namespace quorvane::platform {

ACAccountStore::ACAccountStore() : ACAccountStore(CNContactStore::defaultPath()) {}
ACAccountStore::ACAccountStore(std::filesystem::path contactStoreFile) : path_(std::move(contactStoreFile)) {}
ACAccountStore::~ACAccountStore() = default;

ContactsDatabase* ACAccountStore::database(Error* error) {
    if (!db_) db_ = ContactsDatabase::open(path_, error);
    return db_.get();
}

std::optional<ACAccount> ACAccountStore::accountWithIdentifier(const std::string& identifier, Error* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto db = database(error);
    if (!db) return std::nullopt;
    SQLStatement st(db->handle(), "SELECT properties FROM accounts WHERE identifier = ?");
    if (!st.ok()) {
        if (error) *error = db->error(CNErrorCodeCommunicationError, "Accounts cannot be read");
        return std::nullopt;
    }
    st.bind(1, identifier);
    int rc = st.step();
    if (rc == SQLITE_DONE) return std::nullopt;
    if (rc != SQLITE_ROW) {
        if (error) *error = db->error(CNErrorCodeCommunicationError, "Accounts cannot be read");
        return std::nullopt;
    }
    auto properties = Value::fromJSON(st.text(0));
    if (!properties) Log::error("contacts", "The properties of account " + identifier + " are not readable");
    return ACAccount(identifier, properties ? std::move(*properties) : Value::dictionary());
}

bool ACAccountStore::saveAccount(const ACAccount& account, Error* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto db = database(error);
    if (!db) return false;
    SQLStatement st(db->handle(),
                    "INSERT INTO accounts (identifier, properties) VALUES (?, ?)"
                    " ON CONFLICT(identifier) DO UPDATE SET properties = excluded.properties");
    if (!st.ok()) {
        if (error) *error = db->error(CNErrorCodeCommunicationError, "The account cannot be saved");
        return false;
    }
    st.bind(1, account.identifier());
    st.bind(2, account.properties().isNull() ? std::string("{}") : account.properties().toJSON());
    if (st.step() != SQLITE_DONE) {
        if (error) *error = db->error(CNErrorCodeCommunicationError, "The account cannot be saved");
        return false;
    }
    return true;
}

}  // namespace quorvane::platform
