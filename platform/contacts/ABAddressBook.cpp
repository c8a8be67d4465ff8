#include "platform/contacts/ABAddressBook.h"

namespace quorvane::platform {

ABAddressBook::ABAddressBook(std::filesystem::path contactStoreFile) : store_(std::move(contactStoreFile)) {}

std::shared_ptr<ABAddressBook> ABAddressBook::sharedAddressBook() {
    static const auto& shared = *new std::shared_ptr<ABAddressBook>(std::make_shared<ABAddressBook>(CNContactStore::defaultPath()));
    return shared;
}

std::optional<ABRecord> ABAddressBook::recordForUniqueId(const std::string& uniqueId) {
    auto found = store_.unifiedContactsMatchingPredicate(CNContact::predicateForContactsWithIdentifiers({uniqueId}),
                                                         {CNContactCreationDateKey, CNContactModificationDateKey});
    if (!found || found->empty()) return std::nullopt;
    const auto& c = found->front();
    return ABRecord(c->identifier(), c->creationDate(), c->modificationDate());
}

Result<std::vector<ABRecord>> ABAddressBook::recordsForUniqueIds(const std::vector<std::string>& uniqueIds) {
    std::vector<ABRecord> records;
    if (uniqueIds.empty()) return records;
    auto found = store_.unifiedContactsMatchingPredicate(CNContact::predicateForContactsWithIdentifiers(uniqueIds),
                                                         {CNContactCreationDateKey, CNContactModificationDateKey});
    if (!found) return found.error();
    records.reserve(found->size());
    for (const auto& c : *found)
        if (c) records.emplace_back(c->identifier(), c->creationDate(), c->modificationDate());
    return records;
}

}  // namespace quorvane::platform
