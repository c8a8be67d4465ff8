// Date helpers: calendar days of instants, birthdays and dates without a year, record dates of
// local contacts.

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

std::optional<platform::Date> QuorvaneModel::getModificationDateWithAppleContact(const platform::CNContactPtr& contact) {
    if (!contact) return std::nullopt;
    if (contact->isKeyAvailable(platform::CNContactModificationDateKey) && contact->modificationDate()) {
        return contact->modificationDate();
    }
    if (!mAddressBookRef || contact->identifier().empty()) return std::nullopt;
    auto record = mAddressBookRef->recordForUniqueId(contact->identifier());
    return record ? record->modificationDate() : std::nullopt;
}

}  // namespace quorvane
