#pragma once
// The older record view of the same contact store: a person record found by its unique
// identifier, which is the contact's identifier, with the record's creation and modification
// dates. Callers use it for the dates of a contact that was fetched without them.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/contacts/CNContactStore.h"
#include "platform/foundation/Date.h"

namespace quorvane::platform {

class ABRecord {
public:
    ABRecord(std::string uniqueId, std::optional<Date> creationDate, std::optional<Date> modificationDate)
        : uniqueId_(std::move(uniqueId)), creationDate_(creationDate), modificationDate_(modificationDate) {}

    const std::string& uniqueId() const { return uniqueId_; }
    const std::optional<Date>& creationDate() const { return creationDate_; }
    const std::optional<Date>& modificationDate() const { return modificationDate_; }

private:
    std::string uniqueId_;
    std::optional<Date> creationDate_;
    std::optional<Date> modificationDate_;
};

class ABAddressBook {
public:
    explicit ABAddressBook(std::filesystem::path contactStoreFile);
    // The address book of the standard contact store file, made at the first call.
    static std::shared_ptr<ABAddressBook> sharedAddressBook();

    // The person record with that identifier; empty when there is none or the store cannot be read.
    std::optional<ABRecord> recordForUniqueId(const std::string& uniqueId);
    // The person records of those identifiers that the store holds, read in one query; an error
    // when the store cannot be read.
    Result<std::vector<ABRecord>> recordsForUniqueIds(const std::vector<std::string>& uniqueIds);

private:
    CNContactStore store_;
};

}  // namespace quorvane::platform
