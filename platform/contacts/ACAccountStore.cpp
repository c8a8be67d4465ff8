#include "platform/contacts/ACAccountStore.h"

#include "platform/contacts/CNContactKeys.h"
#include "platform/contacts/CNContactStore.h"
#include "platform/contacts/ContactsDatabase.h"
#include "platform/foundation/Log.h"

namespace quorvane::platform {

ACAccountStore::ACAccountStore() : ACAccountStore(CNContactStore::defaultPath()) {}
ACAccountStore::ACAccountStore(std::filesystem::path contactStoreFile) : path_(std::move(contactStoreFile)) {}
ACAccountStore::~ACAccountStore() = default;

Result<ContactsDatabase*> ACAccountStore::database() {
    if (!db_) {
        auto opened = ContactsDatabase::open(path_);
        if (!opened) return opened.error();
        db_ = std::move(*opened);
    }
    return db_.get();
}

Result<std::optional<ACAccount>> ACAccountStore::accountWithIdentifier(const std::string& identifier) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto db = database();
    if (!db) return db.error();
    SQLStatement st((*db)->handle(), "SELECT properties FROM accounts WHERE identifier = ?");
    if (!st.ok()) return (*db)->error(CNErrorCodeCommunicationError, "Accounts cannot be read");
    st.bind(1, identifier);
    int rc = st.step();
    if (rc == SQLITE_DONE) return std::optional<ACAccount>();
    if (rc != SQLITE_ROW) return (*db)->error(CNErrorCodeCommunicationError, "Accounts cannot be read");
    auto properties = Value::fromJSON(st.text(0));
    if (!properties) Log::error("contacts", "The properties of account " + identifier + " are not readable");
    return std::optional<ACAccount>(ACAccount(identifier, properties ? std::move(*properties) : Value::dictionary()));
}

Result<void> ACAccountStore::saveAccount(const ACAccount& account) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto db = database();
    if (!db) return db.error();
    SQLStatement st((*db)->handle(),
                    "INSERT INTO accounts (identifier, properties) VALUES (?, ?)"
                    " ON CONFLICT(identifier) DO UPDATE SET properties = excluded.properties");
    if (!st.ok()) return (*db)->error(CNErrorCodeCommunicationError, "The account cannot be saved");
    st.bind(1, account.identifier());
    st.bind(2, account.properties().isNull() ? std::string("{}") : account.properties().toJSON());
    if (st.step() != SQLITE_DONE) return (*db)->error(CNErrorCodeCommunicationError, "The account cannot be saved");
    return {};
}

}  // namespace quorvane::platform
