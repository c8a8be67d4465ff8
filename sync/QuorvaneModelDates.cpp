// Date helpers: calendar days of instants, birthdays and dates without a year, record dates of
// local contacts, one at a time or many at once.

#include <algorithm>
#include <unordered_set>

#include "sync/QuorvaneModel.h"

namespace quorvane {

using platform::DateComponents;

std::optional<DateComponents> QuorvaneModel::getGregorianDateComponentsWithDate(const std::optional<platform::Date>& date) {
    if (!date) return std::nullopt;
    auto all = mGregorianCalendar.components(*date);
    if (!all) return std::nullopt;
    DateComponents day;
    day.year = all->year;
    day.month = all->month;
    day.day = all->day;
    return day;
}

std::optional<platform::Date> QuorvaneModel::convertAppleDateComponentsToGoogleDate(
    const std::optional<DateComponents>& components) {
    if (!components) return std::nullopt;
    DateComponents c = *components;  // the caller's components stay as they were
    if (!DateComponents::isSet(c.year)) c.year = kNoYear;
    if (!DateComponents::isSet(c.hour)) c.hour = 12;
    return mGregorianCalendar.date(c);
}

bool QuorvaneModel::datesDifferIgnoringTimeWithDateComponentsA(const std::optional<DateComponents>& a,
                                                               const std::optional<DateComponents>& b) {
    if (!a && !b) return false;
    if (!a || !b) return true;
    auto noYear = [](int64_t year) { return !DateComponents::isSet(year) || year == kNoYear; };
    const bool yearsMatch = a->year == b->year || (noYear(a->year) && noYear(b->year));
    return !(yearsMatch && a->month == b->month && a->day == b->day);
}

namespace {

bool hasOwnModificationDate(const platform::CNContact& contact) {
    return contact.isKeyAvailable(platform::CNContactModificationDateKey) && contact.modificationDate();
}

bool hasOwnCreationDate(const platform::CNContact& contact) {
    return contact.isKeyAvailable(platform::CNContactCreationDateKey) && contact.creationDate();
}

}  // namespace

QuorvaneModel::StoredRecordDates QuorvaneModel::getStoredRecordDatesWithAppleContacts(
    const std::vector<platform::CNContactPtr>& contacts) {
    StoredRecordDates stored;
    if (!mAddressBookRef) return stored;
    std::vector<std::string> unread;
    std::unordered_set<std::string_view> listed;
    for (const auto& c : contacts) {
        if (!c || c->identifier().empty()) continue;
        if (hasOwnModificationDate(*c) && hasOwnCreationDate(*c)) continue;
        if (listed.insert(c->identifier()).second) unread.push_back(c->identifier());
    }
    for (size_t at = 0; at < unread.size(); at += kMaxIdentifiersPerFetch) {
        std::vector<std::string> part(unread.begin() + at, unread.begin() + std::min(unread.size(), at + kMaxIdentifiersPerFetch));
        auto records = mAddressBookRef->recordsForUniqueIds(part);
        if (!records) continue;
        for (auto& id : part) stored.emplace(std::move(id), std::nullopt);
        for (auto& record : *records) {
            if (auto it = stored.find(record.uniqueId()); it != stored.end()) it->second = std::move(record);
        }
    }
    return stored;
}

std::optional<platform::ABRecord> QuorvaneModel::storeRecordOfAppleContact(const platform::CNContactPtr& contact,
                                                                           const StoredRecordDates* stored) {
    if (!mAddressBookRef || contact->identifier().empty()) return std::nullopt;
    if (stored) {
        if (auto it = stored->find(contact->identifier()); it != stored->end()) return it->second;
    }
    return mAddressBookRef->recordForUniqueId(contact->identifier());
}

std::optional<platform::Date> QuorvaneModel::getModificationDateWithAppleContact(const platform::CNContactPtr& contact,
                                                                                 const StoredRecordDates* stored) {
    if (!contact) return std::nullopt;
    if (hasOwnModificationDate(*contact)) return contact->modificationDate();
    auto record = storeRecordOfAppleContact(contact, stored);
    return record ? record->modificationDate() : std::nullopt;
}

std::optional<platform::Date> QuorvaneModel::getCreationDateWithAppleContact(const platform::CNContactPtr& contact,
                                                                             const StoredRecordDates* stored) {
    if (!contact) return std::nullopt;
    if (hasOwnCreationDate(*contact)) return contact->creationDate();
    auto record = storeRecordOfAppleContact(contact, stored);
    return record ? record->creationDate() : std::nullopt;
}

}  // namespace quorvane
