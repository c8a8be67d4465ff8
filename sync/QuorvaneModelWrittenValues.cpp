// The values of each contact field that the conversions write, on either side. Both conversions
// and the comparison read a field through these lists, so a value that no conversion ever
// writes (a blank address, an IM account without user name, a date without a day) never shows
// up as a difference between the two sides.

#include "gdata/GDataContactEvent.h"
#include "platform/foundation/Strings.h"
#include "sync/QuorvaneModel.h"

namespace quorvane {

namespace {

template <class T, class Keep>
std::vector<platform::CNLabeledValue<T>> keepApple(const std::vector<platform::CNLabeledValue<T>>& values, Keep keep,
                                                   size_t maxCount = SIZE_MAX) {
    std::vector<platform::CNLabeledValue<T>> kept;
    for (const auto& labeled : values) {
        if (kept.size() >= maxCount) break;
        if (keep(labeled.value())) kept.push_back(labeled);
    }
    return kept;
}

template <class T, class Keep>
std::vector<std::shared_ptr<T>> keepGoogle(const std::vector<std::shared_ptr<T>>& values, Keep keep,
                                           size_t maxCount = SIZE_MAX) {
    std::vector<std::shared_ptr<T>> kept;
    for (const auto& value : values) {
        if (kept.size() >= maxCount) break;
        if (value && keep(*value)) kept.push_back(value);
    }
    return kept;
}

}  // namespace

std::vector<platform::CNLabeledValue<std::string>> QuorvaneModel::getWrittenAppleEmails(const platform::CNContact& contact) {
    return keepApple(contact.emailAddresses(), [this](const std::string& v) { return !stringEffectivelyEmptyWithString(v); });
}

std::vector<platform::CNLabeledValue<platform::CNPhoneNumber>> QuorvaneModel::getWrittenApplePhones(
    const platform::CNContact& contact) {
    return keepApple(
        contact.phoneNumbers(),
        [this](const platform::CNPhoneNumber& v) { return !stringEffectivelyEmptyWithString(v.stringValue); },
        kMaxGooglePhoneNumbers);
}

std::vector<platform::CNLabeledValue<platform::CNPostalAddress>> QuorvaneModel::getWrittenApplePostalAddresses(
    const platform::CNContact& contact) {
    return keepApple(contact.postalAddresses(), [this](const platform::CNPostalAddress& v) {
        return !stringEffectivelyEmptyWithString(getAppleStreetAddressWithPostalAddress(v)) ||
               !stringEffectivelyEmptyWithString(v.city) || !stringEffectivelyEmptyWithString(v.state) ||
               !stringEffectivelyEmptyWithString(v.postalCode) || !stringEffectivelyEmptyWithString(v.country) ||
               isValidCountryCode(truncateStringToDefaultMaxGoogleLength(v.ISOCountryCode));
    });
}

std::vector<platform::CNLabeledValue<std::string>> QuorvaneModel::getWrittenAppleURLs(const platform::CNContact& contact) {
    return keepApple(contact.urlAddresses(), [this](const std::string& v) { return !stringEffectivelyEmptyWithString(v); });
}

std::vector<platform::CNLabeledValue<platform::CNInstantMessageAddress>> QuorvaneModel::getWrittenAppleIMAddresses(
    const platform::CNContact& contact) {
    return keepApple(contact.instantMessageAddresses(), [this](const platform::CNInstantMessageAddress& v) {
        return !stringEffectivelyEmptyWithString(v.username);
    });
}

std::vector<platform::CNLabeledValue<platform::DateComponents>> QuorvaneModel::getWrittenAppleDates(
    const platform::CNContact& contact) {
    return keepApple(contact.dates(),
                     [this](const platform::DateComponents& v) { return getDayWithDateComponents(v).has_value(); });
}

std::vector<platform::CNLabeledValue<platform::CNSocialProfile>> QuorvaneModel::getWrittenAppleSocialProfiles(
    const platform::CNContact& contact) {
    return keepApple(contact.socialProfiles(), [this](const platform::CNSocialProfile& v) {
        return !stringEffectivelyEmptyWithString(v.username);
    });
}

std::optional<platform::DateComponents> QuorvaneModel::getWrittenAppleBirthday(const platform::CNContact& contact) {
    return getDayWithDateComponents(contact.birthday());
}

std::vector<std::shared_ptr<GDataEmail>> QuorvaneModel::getWrittenGoogleEmails(const GDataEntryContact& contact) {
    return keepGoogle(contact.emailAddresses(),
                      [this](const GDataEmail& v) { return !stringEffectivelyEmptyWithString(v.address()); });
}

std::vector<std::shared_ptr<GDataPhoneNumber>> QuorvaneModel::getWrittenGooglePhones(const GDataEntryContact& contact) {
    return keepGoogle(
        contact.phoneNumbers(),
        [this](const GDataPhoneNumber& v) { return !stringEffectivelyEmptyWithString(v.stringValue()); },
        kMaxGooglePhoneNumbers);
}

std::vector<std::shared_ptr<GDataContactWebsiteLink>> QuorvaneModel::getWrittenGoogleURLs(
    const GDataEntryContact& contact) {
    return keepGoogle(contact.websiteLinks(),
                      [this](const GDataContactWebsiteLink& v) { return !stringEffectivelyEmptyWithString(v.href()); });
}

std::vector<std::shared_ptr<GDataIM>> QuorvaneModel::getWrittenGoogleIMAddresses(const GDataEntryContact& contact) {
    return keepGoogle(contact.IMAddresses(),
                      [this](const GDataIM& v) { return !stringEffectivelyEmptyWithString(v.address()); });
}

std::vector<std::shared_ptr<GDataContactEvent>> QuorvaneModel::getWrittenGoogleEvents(const GDataEntryContact& contact) {
    return keepGoogle(contact.events(),
                      [this](const GDataContactEvent& v) { return getDayWithGoogleEvent(v).has_value(); });
}

std::vector<std::shared_ptr<GDataContactUserDefinedField>> QuorvaneModel::getWrittenGoogleUserDefinedFields(
    const GDataEntryContact& contact) {
    return keepGoogle(contact.userDefinedFields(), [this](const GDataContactUserDefinedField& v) {
        return !stringEffectivelyEmptyWithString(v.stringValue());
    });
}

std::optional<std::string> QuorvaneModel::getWrittenPhoneticName(const std::optional<std::string>& part,
                                                                 const std::optional<std::string>& phonetic) {
    if (!part || part->empty()) return std::nullopt;
    return phonetic;
}

std::optional<platform::DateComponents> QuorvaneModel::getDayWithDateComponents(
    const std::optional<platform::DateComponents>& components) {
    using platform::DateComponents;
    if (!components || !DateComponents::isSet(components->month) || !DateComponents::isSet(components->day)) {
        return std::nullopt;
    }
    DateComponents day;
    day.year = components->year == kNoYear ? DateComponents::kUndefined : components->year;
    day.month = components->month;
    day.day = components->day;
    // A day the calendar would roll over (30 February, month 13) names no day.
    static const platform::Calendar utc(platform::TimeZone::universal());
    DateComponents noon = day;
    if (!DateComponents::isSet(noon.year)) noon.year = kNoYear;
    noon.hour = 12;
    auto date = utc.date(noon);
    auto back = date ? utc.components(*date) : std::nullopt;
    if (!back || back->year != noon.year || back->month != day.month || back->day != day.day) return std::nullopt;
    return day;
}

namespace {

// The day of a birthday in one of the two forms the provider and this program write, "1985-06-14"
// and "--06-14" (no year: read in 1604), of a Gregorian year and a day that year has; nullopt
// for any other text, which the entry's own lenient reading takes.
std::optional<platform::DateComponents> plainBirthday(std::string_view text) {
    auto number = [&](size_t at, size_t length) -> int64_t {
        int64_t n = 0;
        for (size_t i = at; i < at + length; ++i) {
            if (text[i] < '0' || text[i] > '9') return -1;
            n = n * 10 + (text[i] - '0');
        }
        return n;
    };
    platform::DateComponents day;
    size_t at = 0;
    if (text.size() == 10 && text[4] == '-' && text[7] == '-') {
        day.year = number(0, 4);
        at = 5;
    } else if (text.size() == 7 && text[0] == '-' && text[1] == '-' && text[4] == '-') {
        day.year = QuorvaneModel::kNoYear;
        at = 2;
    } else {
        return std::nullopt;
    }
    day.month = number(at, 2);
    day.day = number(at + 3, 2);
    // Before 1583 the calendar that reads the text is not the Gregorian one.
    if (day.year < 1583 || day.month < 1 || day.month > 12 || day.day < 1) return std::nullopt;
    const bool leap = (day.year % 4 == 0 && day.year % 100 != 0) || day.year % 400 == 0;
    static constexpr int64_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (day.day > kDays[day.month - 1] + (day.month == 2 && leap ? 1 : 0)) return std::nullopt;
    return day;
}

}  // namespace

std::optional<platform::DateComponents> QuorvaneModel::getDayWithGoogleBirthday(const GDataEntryContact& contact) {
    // The usual forms are read as they stand: the same day as the entry's reading, without its cost.
    if (auto text = contact.birthday())
        if (auto day = plainBirthday(platform::trimWhitespace(*text))) return getDayWithDateComponents(*day);
    // The entry reads the stored day as noon UTC of that day; in UTC it is that day in every zone.
    auto date = contact.birthdayDate();
    if (!date) return std::nullopt;
    static const platform::Calendar utc(platform::TimeZone::universal());
    return getDayWithDateComponents(utc.components(*date));
}

std::optional<platform::DateComponents> QuorvaneModel::getDayWithGoogleEvent(const GDataContactEvent& event) {
    auto when = event.when();
    auto start = when ? when->startTime() : std::nullopt;
    if (!start) return std::nullopt;
    return getDayWithDateComponents(start->dateComponents());
}

}  // namespace quorvane
