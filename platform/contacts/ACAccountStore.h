#pragma once
// The accounts the contact containers belong to, kept beside them in the contact store's file.
// An account is an identifier and a dictionary of properties (server name, user name, the
// account's home information with its privileges, ...), as the account's set-up stored them.
// Properties are kept as JSON: strings, numbers, booleans, arrays and dictionaries read back
// as they were stored.

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/Value.h"

namespace quorvane::platform {

class ContactsDatabase;

class ACAccount {
public:
    ACAccount(std::string identifier, Value properties) : identifier_(std::move(identifier)), properties_(std::move(properties)) {}

    const std::string& identifier() const { return identifier_; }
    // The account's "properties" dictionary.
    const Value& properties() const { return properties_; }
    void setProperties(Value v) { properties_ = std::move(v); }

private:
    std::string identifier_;
    Value properties_;
};

class ACAccountStore {
public:
    // The accounts of the standard contact store file.
    ACAccountStore();
    explicit ACAccountStore(std::filesystem::path contactStoreFile);
    ~ACAccountStore();
    ACAccountStore(const ACAccountStore&) = delete;
    ACAccountStore& operator=(const ACAccountStore&) = delete;

    // nullopt when there is no such account; an error when the store cannot be read.
    Result<std::optional<ACAccount>> accountWithIdentifier(const std::string& identifier);
    // Set-up: stores the account, replacing one with the same identifier.
    Result<void> saveAccount(const ACAccount& account);

private:
    Result<ContactsDatabase*> database();

    const std::filesystem::path path_;
    std::mutex mutex_;
    std::unique_ptr<ContactsDatabase> db_;
};

}  // namespace quorvane::platform
