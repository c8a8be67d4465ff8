// The contact field table: for each field the sync carries, its conversion to Google, its
// conversion to local and its comparison, side by side.
//
// To Google: values are cut to Google's lengths; replace mode writes single fields even when
// empty (clearing Google's), merge mode only non-empty ones; lists go through the Google-side
// merges. To local: the reverse, every value read through the written-value lists the comparison
// uses and every label through the reverse label converters, so a contact written one way and
// read back the other compares equal to its source; lists go through the local-side merges
// within an Exchange account's limits. Comparison: every list comparison checks the counts first
// and then places each local entry on a Google entry not yet taken; each side's list holds only
// the values a conversion writes (QuorvaneModelWrittenValues.cpp).

#include "sync/ContactFieldTable.h"

#include "gdata/GDataContactConstants.h"
#include "gdata/GDataContactEvent.h"
#include "gdata/GDataEntryContent.h"
#include "gdata/GDataTextConstruct.h"
#include "sync/QuorvaneModel.h"

namespace quorvane {

namespace {

using namespace platform;
using ToGoogle = ContactFieldToGoogle;
using ToLocal = ContactFieldToLocal;
using Compare = ContactFieldCompare;

bool isEmpty(const std::optional<std::string>& s) { return !s || s->empty(); }

// nil for an empty string, so that setters leave out the element.
std::optional<std::string> nonEmpty(const std::optional<std::string>& s) {
    if (!s || s->empty()) return std::nullopt;
    return s;
}

template <class T>
GmailLabelInfo labelInfo(const T& element) {
    return GmailLabelInfo{element.rel(), element.label()};
}

std::optional<std::string> nameText(const std::shared_ptr<GDataNameElement>& part) {
    return part ? part->stringValue() : std::nullopt;
}

std::optional<std::string> nameYomi(const std::shared_ptr<GDataNameElement>& part) {
    return part ? part->yomi() : std::nullopt;
}

// The instant a local date is written as. Google birthdays and events name a day in UTC (the
// birthday is written as its UTC day, an event date in the universal zone), so the instant is
// taken at noon UTC of the local date's day: noon in the local zone would already be the previous
// day in UTC for zones thirteen or more hours ahead of it.
std::optional<Date> googleDayDate(const std::optional<DateComponents>& components) {
    if (!components) return std::nullopt;
    DateComponents c = *components;
    if (!DateComponents::isSet(c.year)) c.year = QuorvaneModel::kNoYear;
    if (!DateComponents::isSet(c.hour)) c.hour = 12;
    static const Calendar utc(TimeZone::universal());
    return utc.date(c);
}

// With a merge judged against the last run (QuorvaneModel::fieldMergeBase), what a single-valued
// field gets from the source; Default: as without one.
SingleFate fateToGoogle(const ToGoogle& f, MergeField field) {
    if (!f.merge || f.created || !f.model.fieldMergeBase()) return SingleFate::Default;
    return f.model.singleFieldFate(true, field, f.model.localSingleKey(field, f.apple),
                                   f.model.googleSingleKey(field, *f.google));
}

SingleFate fateToLocal(const ToLocal& f, MergeField field) {
    if (!f.merge || f.created || !f.model.fieldMergeBase()) return SingleFate::Default;
    return f.model.singleFieldFate(false, field, f.model.googleSingleKey(field, *f.google),
                                   f.model.localSingleKey(field, *f.apple));
}

// Whether the field is written: as the fate says, or as without a base.
bool writes(SingleFate fate, bool byDefault) { return fate == SingleFate::Default ? byDefault : fate != SingleFate::Keep; }

// ---- Name and phonetic name ----------------------------------------------------------------

constexpr const char* kNameKeys[] = {CNContactGivenNameKey,         CNContactMiddleNameKey,
                                     CNContactFamilyNameKey,        CNContactNamePrefixKey,
                                     CNContactNameSuffixKey,        CNContactPhoneticGivenNameKey,
                                     CNContactPhoneticMiddleNameKey, CNContactPhoneticFamilyNameKey};

void nameToGoogle(const ToGoogle& f) {
    auto& m = f.model;
    auto given = m.truncateStringToDefaultMaxGoogleLength(f.apple.givenName());
    auto middle = m.truncateStringToDefaultMaxGoogleLength(f.apple.middleName());
    auto family = m.truncateStringToDefaultMaxGoogleLength(f.apple.familyName());
    auto prefix = m.truncateStringToDefaultMaxGoogleLength(f.apple.namePrefix());
    auto suffix = m.truncateStringToDefaultMaxGoogleLength(f.apple.nameSuffix());
    auto phoneticGiven = m.truncateStringToDefaultMaxGoogleLength(f.apple.phoneticGivenName());
    auto phoneticMiddle = m.truncateStringToDefaultMaxGoogleLength(f.apple.phoneticMiddleName());
    auto phoneticFamily = m.truncateStringToDefaultMaxGoogleLength(f.apple.phoneticFamilyName());
    auto name = GDataName::nameWithPrefix(prefix, given, middle, family, suffix);
    auto setYomi = [](const std::shared_ptr<GDataNameElement>& part, const std::optional<std::string>& yomi) {
        if (part && !isEmpty(yomi)) part->setYomi(yomi);
    };
    setYomi(name->givenName(), QuorvaneModel::getWrittenPhoneticName(given, phoneticGiven));
    setYomi(name->additionalName(), QuorvaneModel::getWrittenPhoneticName(middle, phoneticMiddle));
    setYomi(name->familyName(), QuorvaneModel::getWrittenPhoneticName(family, phoneticFamily));
    // A phonetic name counts only with its part: alone it writes nothing, and merging must not
    // replace Google's name by an empty one for it.
    const bool anyPart =
        !isEmpty(given) || !isEmpty(middle) || !isEmpty(family) || !isEmpty(prefix) || !isEmpty(suffix);
    if (writes(fateToGoogle(f, MergeField::Name), f.replace || anyPart)) f.google->setName(name);
}

void nameToLocal(const ToLocal& f) {
    auto name = f.google->name();
    auto given = name ? name->givenName() : nullptr;
    auto additional = name ? name->additionalName() : nullptr;
    auto family = name ? name->familyName() : nullptr;
    auto text = [](const std::shared_ptr<GDataNameElement>& part) { return nameText(part).value_or(""); };
    auto yomi = [](const std::shared_ptr<GDataNameElement>& part) {
        return part ? QuorvaneModel::getWrittenPhoneticName(part->stringValue(), part->yomi()).value_or("") : "";
    };
    const std::string prefix = name ? name->namePrefix().value_or("") : "";
    const std::string suffix = name ? name->nameSuffix().value_or("") : "";
    const bool anyPart =
        !text(given).empty() || !text(additional).empty() || !text(family).empty() || !prefix.empty() || !suffix.empty();
    if (writes(fateToLocal(f, MergeField::Name), f.replace || anyPart)) {
        f.apple->setGivenName(text(given));
        f.apple->setMiddleName(text(additional));
        f.apple->setFamilyName(text(family));
        f.apple->setNamePrefix(prefix);
        f.apple->setNameSuffix(suffix);
        f.apple->setPhoneticGivenName(yomi(given));
        f.apple->setPhoneticMiddleName(yomi(additional));
        f.apple->setPhoneticFamilyName(yomi(family));
    }
}

}  // namespace

bool namePartsDiffer(QuorvaneModel& m, const platform::CNContact& apple, const GoogleNameParts& google) {
    return m.stringsDifferWithString1(apple.givenName(), google.given) ||
           m.stringsDifferWithString1(apple.familyName(), google.family) ||
           m.stringsDifferWithString1(apple.middleName(), google.additional) ||
           m.stringsDifferWithString1(apple.namePrefix(), google.prefix) ||
           m.stringsDifferWithString1(apple.nameSuffix(), google.suffix);
}

namespace {

bool nameDiffers(const Compare& f) {
    auto& m = f.model;
    const auto& apple = *f.apple;
    auto name = f.google->name();
    auto givenElement = name ? name->givenName() : nullptr;
    auto additionalElement = name ? name->additionalName() : nullptr;
    auto familyElement = name ? name->familyName() : nullptr;
    // Each part's text is read once, for the part and for its phonetic reading.
    const auto given = nameText(givenElement);
    const auto additional = nameText(additionalElement);
    const auto family = nameText(familyElement);
    if (namePartsDiffer(m, apple, {given, additional, family, name ? name->namePrefix() : std::nullopt,
                                   name ? name->nameSuffix() : std::nullopt}))
        return true;
    // A phonetic name as the conversions write it (getWrittenPhoneticName): only beside its part,
    // so two sides without the part agree whatever their readings.
    auto phoneticDiffers = [&](const std::string& part, const std::string& phonetic,
                               const std::optional<std::string>& googlePart,
                               const std::shared_ptr<GDataNameElement>& element) {
        const bool localWritten = !part.empty();
        const bool googleWritten = googlePart && !googlePart->empty();
        if (!localWritten && !googleWritten) return false;
        return m.stringsDifferWithString1(localWritten ? std::optional<std::string>(phonetic) : std::nullopt,
                                          googleWritten ? nameYomi(element) : std::nullopt);
    };
    return phoneticDiffers(apple.givenName(), apple.phoneticGivenName(), given, givenElement) ||
           phoneticDiffers(apple.middleName(), apple.phoneticMiddleName(), additional, additionalElement) ||
           phoneticDiffers(apple.familyName(), apple.phoneticFamilyName(), family, familyElement);
}

// ---- Nickname ----------------------------------------------------------------------------

constexpr const char* kNicknameKeys[] = {CNContactNicknameKey};

void nicknameToGoogle(const ToGoogle& f) {
    auto nickname = f.model.truncateStringToDefaultMaxGoogleLength(f.apple.nickname());
    if (writes(fateToGoogle(f, MergeField::Nickname), f.replace || !isEmpty(nickname))) f.google->setNickname(nonEmpty(nickname));
}

void nicknameToLocal(const ToLocal& f) {
    auto nickname = f.google->nickname();
    if (writes(fateToLocal(f, MergeField::Nickname), f.replace || !isEmpty(nickname))) f.apple->setNickname(nickname.value_or(""));
}

bool nicknameDiffers(const Compare& f) { return f.model.stringsDifferWithString1(f.apple->nickname(), f.google->nickname()); }

// ---- E-mail addresses ----------------------------------------------------------------------

constexpr const char* kEmailKeys[] = {CNContactEmailAddressesKey};

void emailsToGoogle(const ToGoogle& f) {
    auto& m = f.model;
    std::vector<std::shared_ptr<GDataEmail>> emails;
    for (const auto& labeled : m.getWrittenAppleEmails(f.apple)) {
        auto info = m.convertToGoogleEmailLabelWithAppleLabel(labeled.label());
        auto email = GDataEmail::emailWithLabel(
            info.label, m.truncateString(labeled.value(), QuorvaneModel::kMaxGoogleEmailPhoneLength));
        email->setRel(info.rel);
        emails.push_back(email);
    }
    m.mergeNewGoogleEmailsWithGoogleContact(f.google, emails, f.merge);
}

void emailsToLocal(const ToLocal& f) {
    if (!f.writesList(CNContactEmailAddressesKey)) return;
    auto& m = f.model;
    std::vector<CNLabeledValue<std::string>> emails;
    for (const auto& email : m.getWrittenGoogleEmails(*f.google)) {
        emails.emplace_back(m.convertToAppleEmailLabelWithGoogleLabel(labelInfo(*email)), email->address().value_or(""));
    }
    m.mergeNewAppleEmailsWithAppleContact(f.apple, emails, f.merge, f.exchange);
}

bool emailsDiffer(const Compare& f) {
    auto& m = f.model;
    const auto local = m.getWrittenAppleEmails(*f.apple);
    const auto remote = m.getWrittenGoogleEmails(*f.google);
    if (local.size() != remote.size()) return true;
    std::vector<GmailLabelInfo> labels;
    for (const auto& labeled : local) labels.push_back(m.convertToGoogleEmailLabelWithAppleLabel(labeled.label()));
    return !placeAll(local.size(), remote.size(), [&](size_t i, size_t j) {
        const auto& g = remote[j];
        return g && m.stringsEqualWithString1(g->rel(), labels[i].rel) &&
               m.stringsEqualWithString1(g->label(), labels[i].label) &&
               m.stringsEqualWithString1(g->address(), local[i].value());
    });
}

// ---- Phone numbers -------------------------------------------------------------------------

constexpr const char* kPhoneKeys[] = {CNContactPhoneNumbersKey};

void phonesToGoogle(const ToGoogle& f) {
    auto& m = f.model;
    std::vector<std::shared_ptr<GDataPhoneNumber>> phones;
    for (const auto& labeled : m.getWrittenApplePhones(f.apple)) {
        const auto& number = labeled.value().stringValue;
        auto info = m.convertToGooglePhoneLabelWithAppleLabel(labeled.label());
        auto phone =
            GDataPhoneNumber::phoneNumberWithString(m.truncateString(number, QuorvaneModel::kMaxGoogleEmailPhoneLength));
        phone->setRel(info.rel);
        phone->setLabel(info.label);
        phones.push_back(phone);
    }
    m.mergeNewGooglePhonesWithGoogleContact(f.google, phones, f.merge);
}

void phonesToLocal(const ToLocal& f) {
    if (!f.writesList(CNContactPhoneNumbersKey)) return;
    auto& m = f.model;
    std::vector<CNLabeledValue<CNPhoneNumber>> phones;
    for (const auto& phone : m.getWrittenGooglePhones(*f.google)) {
        phones.emplace_back(m.convertToApplePhoneLabelWithGoogleLabel(labelInfo(*phone)),
                            CNPhoneNumber{phone->stringValue().value_or("")});
    }
    m.mergeNewApplePhonesWithAppleContact(f.apple, phones, f.merge, f.exchange);
}

bool phonesDiffer(const Compare& f) {
    auto& m = f.model;
    const auto local = m.getWrittenApplePhones(*f.apple);
    const auto remote = m.getWrittenGooglePhones(*f.google);
    if (local.size() != remote.size()) return true;
    std::vector<GmailLabelInfo> labels;
    for (const auto& labeled : local) labels.push_back(m.convertToGooglePhoneLabelWithAppleLabel(labeled.label()));
    return !placeAll(local.size(), remote.size(), [&](size_t i, size_t j) {
        const auto& g = remote[j];
        return g && m.stringsEqualWithString1(g->rel(), labels[i].rel) &&
               m.stringsEqualWithString1(g->label(), labels[i].label) &&
               m.phoneNumbersEqualWithString1(g->stringValue(), local[i].value().stringValue);
    });
}

// ---- Postal addresses (only when fetched) ----------------------------------------------------

constexpr const char* kPostalKeys[] = {CNContactPostalAddressesKey};

void postalToGoogle(const ToGoogle& f) {
    if (!f.apple.isKeyAvailable(CNContactPostalAddressesKey)) return;  // Google's stay as they are
    auto& m = f.model;
    std::vector<std::shared_ptr<GDataStructuredPostalAddress>> addresses;
    for (const auto& labeled : m.getWrittenApplePostalAddresses(f.apple)) {
        const auto& postal = labeled.value();
        auto address = GDataStructuredPostalAddress::structuredPostalAddress();
        auto part = [&](const std::optional<std::string>& value) -> std::optional<std::string> {
            if (m.stringEffectivelyEmptyWithString(value)) return std::nullopt;
            return m.truncateStringToDefaultMaxGoogleLength(value);
        };
        if (auto v = part(m.getAppleStreetAddressWithPostalAddress(postal))) address->setStreet(v);
        if (auto v = part(postal.city)) address->setCity(v);
        if (auto v = part(postal.state)) address->setRegion(v);
        if (auto v = part(postal.postalCode)) address->setPostCode(v);
        if (auto v = part(postal.country)) address->setCountryName(v);
        auto code = m.truncateStringToDefaultMaxGoogleLength(postal.ISOCountryCode);
        if (m.isValidCountryCode(code)) address->setCountryCode(code);
        auto info = m.convertToGoogleAddressLabelWithAppleLabel(labeled.label());
        address->setRel(info.rel);
        address->setLabel(info.label);
        addresses.push_back(address);
    }
    m.mergeNewGoogleAddressesWithGoogleContact(f.google, addresses, f.merge);
}

// Post box, street and neighbourhood become the one street text; a street alone keeps its lines.
void postalToLocal(const ToLocal& f) {
    if (!f.writesList(CNContactPostalAddressesKey)) return;
    auto& m = f.model;
    std::vector<CNLabeledValue<CNPostalAddress>> addresses;
    for (const auto& address : m.getValidPostalAddressesWithGoogleContact(f.google)) {
        CNPostalAddress postal;
        const bool streetOnly = m.stringEffectivelyEmptyWithString(address->POBox()) &&
                                m.stringEffectivelyEmptyWithString(address->neighborhood());
        postal.street = (streetOnly ? m.trimWhitespaceFromString(address->street())
                                    : m.getGoogleStreetAddressWithPostalAddress(address))
                            .value_or("");
        postal.city = address->city().value_or("");
        postal.state = address->region().value_or("");
        postal.postalCode = address->postCode().value_or("");
        postal.country = address->countryName().value_or("");
        if (m.isValidCountryCode(address->countryCode())) postal.ISOCountryCode = *address->countryCode();
        addresses.emplace_back(m.convertToAppleAddressLabelWithGoogleLabel(labelInfo(*address)), std::move(postal));
    }
    m.mergeNewAppleAddressesWithAppleContact(f.apple, addresses, f.merge, f.exchange);
}

bool postalDiffers(const Compare& f) { return f.model.contactPostalAddressesDifferWithAppleContact(f.apple, f.google); }

// ---- Birthday: the day only --------------------------------------------------------------

constexpr const char* kBirthdayKeys[] = {CNContactBirthdayKey};

void birthdayToGoogle(const ToGoogle& f) {
    auto date = googleDayDate(f.model.getWrittenAppleBirthday(f.apple));
    if (writes(fateToGoogle(f, MergeField::Birthday), f.replace || date)) f.google->setBirthdayWithDate(date);
}

// The day Google stores, without a year for a year-less one.
void birthdayToLocal(const ToLocal& f) {
    auto day = f.model.getDayWithGoogleBirthday(*f.google);
    if (writes(fateToLocal(f, MergeField::Birthday), f.replace || day)) f.apple->setBirthday(day);
}

// A year-less birthday matches one stored with the no-year year.
bool birthdayDiffers(const Compare& f) {
    return f.model.datesDifferIgnoringTimeWithDateComponentsA(f.model.getWrittenAppleBirthday(*f.apple),
                                                              f.model.getDayWithGoogleBirthday(*f.google));
}

// ---- Web addresses -------------------------------------------------------------------------

constexpr const char* kURLKeys[] = {CNContactUrlAddressesKey};

void urlsToGoogle(const ToGoogle& f) {
    auto& m = f.model;
    std::vector<std::shared_ptr<GDataContactWebsiteLink>> links;
    for (const auto& labeled : m.getWrittenAppleURLs(f.apple)) {
        auto info = m.convertToGoogleURLLabelWithAppleLabel(labeled.label());
        links.push_back(GDataContactLink::linkWithRel<GDataContactWebsiteLink>(info.rel, info.label, labeled.value()));
    }
    m.mergeNewGoogleURLsWithGoogleContact(f.google, links, f.merge);
}

void urlsToLocal(const ToLocal& f) {
    if (!f.writesList(CNContactUrlAddressesKey)) return;
    auto& m = f.model;
    std::vector<CNLabeledValue<std::string>> urls;
    for (const auto& link : m.getWrittenGoogleURLs(*f.google)) {
        urls.emplace_back(m.convertToAppleURLLabelWithGoogleLabel(labelInfo(*link)), link->href().value_or(""));
    }
    m.mergeNewAppleURLsWithAppleContact(f.apple, urls, f.merge, f.exchange);
}

bool urlsDiffer(const Compare& f) {
    auto& m = f.model;
    const auto local = m.getWrittenAppleURLs(*f.apple);
    const auto remote = m.getWrittenGoogleURLs(*f.google);
    if (local.size() != remote.size()) return true;
    std::vector<GmailLabelInfo> labels;
    for (const auto& labeled : local) labels.push_back(m.convertToGoogleURLLabelWithAppleLabel(labeled.label()));
    return !placeAll(local.size(), remote.size(), [&](size_t i, size_t j) {
        const auto& g = remote[j];
        return g && m.stringsEqualWithString1(g->rel(), labels[i].rel) &&
               m.stringsEqualWithString1(g->label(), labels[i].label) &&
               m.stringsEqualWithString1(g->href(), local[i].value());
    });
}

// ---- Relations (an empty name is carried too) ------------------------------------------------

constexpr const char* kRelationKeys[] = {CNContactRelationsKey};

void relationsToGoogle(const ToGoogle& f) {
    auto& m = f.model;
    std::vector<std::shared_ptr<GDataContactRelation>> relations;
    for (const auto& labeled : f.apple.contactRelations()) {
        auto info = m.convertToGoogleRelationLabelWithAppleLabel(labeled.label());
        relations.push_back(GDataContactRelation::relationWithRel(
            info.rel, info.label, m.truncateStringToDefaultMaxGoogleLength(labeled.value().name)));
    }
    m.mergeNewGoogleRelationsWithGoogleContact(f.google, relations, f.merge);
}

void relationsToLocal(const ToLocal& f) {
    if (!f.writesList(CNContactRelationsKey)) return;
    auto& m = f.model;
    std::vector<CNLabeledValue<CNContactRelation>> relations;
    for (const auto& relation : f.google->relations()) {
        if (!relation) continue;
        relations.emplace_back(m.convertToAppleRelationLabelWithGoogleLabel(labelInfo(*relation)),
                               CNContactRelation{relation->stringValue().value_or("")});
    }
    m.mergeNewAppleRelationsWithAppleContact(f.apple, relations, f.merge, f.exchange);
}

bool relationsDiffer(const Compare& f) {
    auto& m = f.model;
    const auto& local = f.apple->contactRelations();
    const auto remote = f.google->relations();
    if (local.size() != remote.size()) return true;
    std::vector<GmailLabelInfo> labels;
    for (const auto& labeled : local) labels.push_back(m.convertToGoogleRelationLabelWithAppleLabel(labeled.label()));
    return !placeAll(local.size(), remote.size(), [&](size_t i, size_t j) {
        const auto& g = remote[j];
        return g && m.stringsEqualWithString1(g->rel(), labels[i].rel) &&
               m.stringsEqualWithString1(g->label(), labels[i].label) &&
               m.stringsEqualWithString1(g->stringValue(), local[i].value().name);
    });
}

// ---- Instant messaging (only when fetched; unknown services kept as they are) -----------------

constexpr const char* kIMKeys[] = {CNContactInstantMessageAddressesKey};

void imsToGoogle(const ToGoogle& f) {
    if (!f.apple.isKeyAvailable(CNContactInstantMessageAddressesKey)) return;
    auto& m = f.model;
    std::vector<std::shared_ptr<GDataIM>> ims;
    for (const auto& labeled : m.getWrittenAppleIMAddresses(f.apple)) {
        const auto& im = labeled.value();
        auto info = m.convertToGoogleIMLabelWithAppleLabel(labeled.label());
        ims.push_back(GDataIM::IMWithProtocol(m.convertToGoogleIMProtocolWithAppleProtocol(im.service), info.rel,
                                              info.label, m.truncateStringToDefaultMaxGoogleLength(im.username)));
    }
    m.mergeNewGoogleIMAddressesWithGoogleContact(f.google, ims, f.merge);
}

void imsToLocal(const ToLocal& f) {
    if (!f.writesList(CNContactInstantMessageAddressesKey)) return;
    auto& m = f.model;
    std::vector<CNLabeledValue<CNInstantMessageAddress>> ims;
    for (const auto& im : m.getWrittenGoogleIMAddresses(*f.google)) {
        ims.emplace_back(m.convertToAppleIMLabelWithGoogleLabel(labelInfo(*im)),
                         CNInstantMessageAddress{im->address().value_or(""),
                                                 m.convertToAppleIMProtocolWithGoogleProtocol(im->protocol())});
    }
    m.mergeNewAppleIMAddressesWithAppleContact(f.apple, ims, f.merge, f.exchange);
}

bool imsDiffer(const Compare& f) { return f.model.contactIMAddressesDifferWithAppleContact(f.apple, f.google); }

// ---- Events: dates other than the birthday, by their day in the universal zone ----------------

constexpr const char* kEventKeys[] = {CNContactDatesKey};

void eventsToGoogle(const ToGoogle& f) {
    auto& m = f.model;
    std::vector<std::shared_ptr<GDataContactEvent>> events;
    for (const auto& labeled : m.getWrittenAppleDates(f.apple)) {
        auto date = googleDayDate(labeled.value());
        if (!date) continue;
        GDataDateTime start(*date, TimeZone::universal());
        start.setHasTime(false);
        auto info = m.convertToGoogleEventLabelWithAppleLabel(labeled.label());
        events.push_back(
            GDataContactEvent::eventWithRel(info.rel, info.label, GDataWhen::whenWithStartTime(start, std::nullopt)));
    }
    m.mergeNewGoogleEventsWithGoogleContact(f.google, events, f.merge);
}

void eventsToLocal(const ToLocal& f) {
    if (!f.writesList(CNContactDatesKey)) return;
    auto& m = f.model;
    std::vector<CNLabeledValue<DateComponents>> dates;
    for (const auto& event : m.getWrittenGoogleEvents(*f.google)) {
        dates.emplace_back(m.convertToAppleEventLabelWithGoogleLabel(labelInfo(*event)), *m.getDayWithGoogleEvent(*event));
    }
    m.mergeNewAppleEventsWithAppleContact(f.apple, dates, f.merge, f.exchange);
}

bool eventsDiffer(const Compare& f) {
    auto& m = f.model;
    const auto local = m.getWrittenAppleDates(*f.apple);
    const auto remote = m.getWrittenGoogleEvents(*f.google);
    if (local.size() != remote.size()) return true;
    std::vector<GmailLabelInfo> labels;
    for (const auto& labeled : local) labels.push_back(m.convertToGoogleEventLabelWithAppleLabel(labeled.label()));
    return !placeAll(local.size(), remote.size(), [&](size_t i, size_t j) {
        const auto& g = remote[j];
        if (!g || !m.stringsEqualWithString1(g->rel(), labels[i].rel) ||
            !m.stringsEqualWithString1(g->label(), labels[i].label)) {
            return false;
        }
        return !m.datesDifferIgnoringTimeWithDateComponentsA(m.getDayWithGoogleEvent(*g), local[i].value());
    });
}

// ---- Social profiles as Google user-defined fields (only when fetched; an Exchange account
// keeps none) -------------------------------------------------------------------------------

constexpr const char* kSocialProfileKeys[] = {CNContactSocialProfilesKey};

void socialProfilesToGoogle(const ToGoogle& f) {
    if (!f.apple.isKeyAvailable(CNContactSocialProfilesKey)) return;
    auto& m = f.model;
    std::vector<std::shared_ptr<GDataContactUserDefinedField>> fields;
    for (const auto& labeled : m.getWrittenAppleSocialProfiles(f.apple)) {
        const auto& profile = labeled.value();
        fields.push_back(GDataContactUserDefinedField::userDefinedFieldWithKey(
            m.convertToGoogleSocialProfileLabelWithAppleLabel(profile.service), profile.username));
    }
    m.mergeNewGoogleUserDefinedFieldsWithGoogleContact(f.google, fields, f.merge);
}

void socialProfilesToLocal(const ToLocal& f) {
    if (f.exchange || !f.writesList(CNContactSocialProfilesKey)) return;
    auto& m = f.model;
    std::vector<CNLabeledValue<CNSocialProfile>> profiles;
    for (const auto& field : m.getWrittenGoogleUserDefinedFields(*f.google)) {
        profiles.emplace_back(std::nullopt,
                              CNSocialProfile{field->stringValue().value_or(""),
                                              m.convertToAppleSocialProfileServiceWithGoogleLabel(field->key())});
    }
    m.mergeNewAppleSocialProfilesWithAppleContact(f.apple, profiles, f.merge);
}

bool socialProfilesDiffer(const Compare& f) {
    return f.model.contactSocialProfilesDifferWithAppleContact(f.apple, f.actualApple, f.google);
}

// ---- Note: without the merge flag always (empty for none), with it only a real note ----------

constexpr const char* kNoteKeys[] = {CNContactNoteKey};

void noteToGoogle(const ToGoogle& f) {
    const auto& note = f.apple.note();
    if (writes(fateToGoogle(f, MergeField::Note), !f.merge || (!note.empty() && !f.model.stringEffectivelyEmptyWithString(note)))) {
        f.google->setContentWithString(f.model.truncateString(note, QuorvaneModel::kMaxGoogleNoteLength));
    }
}

void noteToLocal(const ToLocal& f) {
    auto content = f.google->content();
    auto note = content ? content->stringValue() : std::nullopt;
    if (writes(fateToLocal(f, MergeField::Note), !f.merge || !f.model.stringEffectivelyEmptyWithString(note))) {
        f.apple->setNote(note.value_or(""));
    }
}

// Line breaks do not count.
bool noteDiffers(const Compare& f) {
    auto& m = f.model;
    std::optional<std::string> localNote = f.apple->note();
    auto content = f.google->content();
    std::optional<std::string> remoteNote = content ? content->stringValue() : std::nullopt;
    if (!m.stringsDifferWithString1(localNote, remoteNote)) return false;
    if (!remoteNote) return true;
    auto withoutBreaks = [](std::string s) {
        std::erase_if(s, [](char c) { return c == '\r' || c == '\n'; });
        return s;
    };
    return m.stringsDifferWithString1(withoutBreaks(*localNote), withoutBreaks(*remoteNote));
}

// ---- Organisation: name, job title and department --------------------------------------------

constexpr const char* kOrganizationKeys[] = {CNContactOrganizationNameKey, CNContactJobTitleKey,
                                             CNContactDepartmentNameKey};

// One organisation of rel "other" replaces Google's.
void organizationToGoogle(const ToGoogle& f) {
    auto& m = f.model;
    auto orgName = m.truncateStringToDefaultMaxGoogleLength(f.apple.organizationName());
    auto title = m.truncateStringToDefaultMaxGoogleLength(f.apple.jobTitle());
    auto department = m.truncateStringToDefaultMaxGoogleLength(f.apple.departmentName());
    if (writes(fateToGoogle(f, MergeField::Organization), f.replace || !isEmpty(orgName) || !isEmpty(title) || !isEmpty(department))) {
        f.google->setOrganizations(std::vector<std::shared_ptr<GDataOrganization>>{});
        auto organization = GDataOrganization::organizationWithName(nonEmpty(orgName));
        if (!m.stringEffectivelyEmptyWithString(title)) organization->setOrgTitle(title);
        if (!m.stringEffectivelyEmptyWithString(department)) organization->setOrgDepartment(department);
        organization->setRel(std::string(kGDataContactOther));
        f.google->addOrganization(organization);
    }
}

// Each part from the first Google organisation that has it, which is what the comparison accepts
// as equal.
void organizationToLocal(const ToLocal& f) {
    auto& m = f.model;
    std::optional<std::string> orgName, title, department;
    for (const auto& organization : f.google->organizations()) {
        if (!organization) continue;
        if (!orgName && !m.stringEffectivelyEmptyWithString(organization->orgName())) orgName = organization->orgName();
        if (!title && !m.stringEffectivelyEmptyWithString(organization->orgTitle())) title = organization->orgTitle();
        if (!department && !m.stringEffectivelyEmptyWithString(organization->orgDepartment())) {
            department = organization->orgDepartment();
        }
    }
    if (writes(fateToLocal(f, MergeField::Organization), f.replace || orgName || title || department)) {
        f.apple->setOrganizationName(orgName.value_or(""));
        f.apple->setJobTitle(title.value_or(""));
        f.apple->setDepartmentName(department.value_or(""));
    }
}

// Every Google organisation field needs a local counterpart, and every local field an equal value
// in some Google organisation.
bool organizationDiffers(const Compare& f) {
    auto& m = f.model;
    const std::string& orgName = f.apple->organizationName();
    const std::string& jobTitle = f.apple->jobTitle();
    const std::string& department = f.apple->departmentName();
    const bool hasOrg = !m.stringEffectivelyEmptyWithString(orgName);
    const bool hasTitle = !m.stringEffectivelyEmptyWithString(jobTitle);
    const bool hasDept = !m.stringEffectivelyEmptyWithString(department);
    const auto organizations = f.google->organizations();
    if ((hasOrg || hasTitle || hasDept) && organizations.empty()) return true;
    bool foundOrg = false, foundTitle = false, foundDept = false;
    // One field of a Google organisation against its local counterpart; false means differ.
    auto visit = [&](const std::optional<std::string>& remote, bool has, const std::string& local, bool& found) {
        if (found || m.stringEffectivelyEmptyWithString(remote)) return true;
        if (!has) return false;
        found = m.stringsEqualWithString1(remote, local);
        return true;
    };
    for (const auto& organization : organizations) {
        if (!organization) continue;
        if (!visit(organization->orgName(), hasOrg, orgName, foundOrg) ||
            !visit(organization->orgTitle(), hasTitle, jobTitle, foundTitle) ||
            !visit(organization->orgDepartment(), hasDept, department, foundDept)) {
            return true;
        }
        if (foundOrg && foundTitle && foundDept) break;
    }
    return (hasOrg && !foundOrg) || (hasTitle && !foundTitle) || (hasDept && !foundDept);
}

// ---- Photo: moved by the run's photo step; the plan compares it through the history ----------

constexpr const char* kPhotoKeys[] = {CNContactImageDataKey, CNContactThumbnailImageDataKey,
                                      CNContactImageDataAvailableKey};

// Only the flags the photo step reads (never cleared here).
void photoToGoogle(const ToGoogle& f) {
    if (f.record.mSyncPhoto && f.apple.imageDataAvailable()) {
        f.model.notePhotoToSubmit(f.created);
    }
}

// Google's photo was removed since the last sync.
void photoToLocal(const ToLocal& f) {
    if (f.replace && !f.created && f.googleHadPhoto && f.model.syncPhotosSetting()) {
        auto photo = f.google->photoLink();
        if (!photo || isEmpty(photo->ETag())) f.apple->setImageData(std::nullopt);
    }
}

constexpr ContactFieldRow kRows[] = {
    {"name", kNameKeys, ContactDifferenceName, nameToGoogle, nameToLocal, nameDiffers},
    {"nickname", kNicknameKeys, ContactDifferenceName, nicknameToGoogle, nicknameToLocal, nicknameDiffers},
    {"e-mail addresses", kEmailKeys, ContactDifferenceEmail, emailsToGoogle, emailsToLocal, emailsDiffer},
    {"phone numbers", kPhoneKeys, ContactDifferencePhone, phonesToGoogle, phonesToLocal, phonesDiffer},
    {"postal addresses", kPostalKeys, ContactDifferencePostalAddress, postalToGoogle, postalToLocal, postalDiffers},
    {"birthday", kBirthdayKeys, ContactDifferenceBirthday, birthdayToGoogle, birthdayToLocal, birthdayDiffers},
    {"web addresses", kURLKeys, ContactDifferenceURL, urlsToGoogle, urlsToLocal, urlsDiffer},
    {"relations", kRelationKeys, ContactDifferenceRelation, relationsToGoogle, relationsToLocal, relationsDiffer},
    {"instant messaging", kIMKeys, ContactDifferenceIM, imsToGoogle, imsToLocal, imsDiffer},
    {"events", kEventKeys, ContactDifferenceEvent, eventsToGoogle, eventsToLocal, eventsDiffer},
    {"social profiles", kSocialProfileKeys, ContactDifferenceSocialProfile, socialProfilesToGoogle,
     socialProfilesToLocal, socialProfilesDiffer},
    {"note", kNoteKeys, ContactDifferenceNote, noteToGoogle, noteToLocal, noteDiffers},
    {"organisation", kOrganizationKeys, ContactDifferenceOrganization, organizationToGoogle, organizationToLocal,
     organizationDiffers},
    {"photo", kPhotoKeys, ContactDifferencePhoto, photoToGoogle, photoToLocal, nullptr},
};

constexpr ContactFieldNotCarried kNotCarried[] = {
    {CNContactIdentifierKey, "the contact's identity in the local store: pairs keep it in the history"},
    {CNContactPreviousFamilyNameKey, "not synced: read for the local contact card only"},
    {CNContactNonGregorianBirthdayKey, "not synced: the birthday row carries the Gregorian birthday"},
    {CNContactCreationDateKey, "the store's record date: the plan reads it to choose a side"},
    {CNContactModificationDateKey, "the store's record date: the plan reads it to choose a side"},
};

}  // namespace

std::span<const ContactFieldRow> contactFieldTable() { return kRows; }

std::span<const ContactFieldNotCarried> contactFieldsNotCarried() { return kNotCarried; }

// ---- A value's identity ----------------------------------------------------------------------

std::optional<uint32_t> ValueIdentity::operator()(const std::string& text) const { return textKey(text); }
std::optional<uint32_t> ValueIdentity::operator()(const GDataEmail& email) const { return textKey(email.address()); }
std::optional<uint32_t> ValueIdentity::operator()(const GDataContactWebsiteLink& url) const { return textKey(url.href()); }

std::optional<uint32_t> ValueIdentity::operator()(const platform::CNPhoneNumber& phone) const {
    return phoneKey(phone.stringValue);
}
std::optional<uint32_t> ValueIdentity::operator()(const GDataPhoneNumber& phone) const { return phoneKey(phone.stringValue()); }

std::optional<uint32_t> ValueIdentity::operator()(const platform::CNPostalAddress& address) const {
    return partsKey({model_.getAppleStreetAddressWithPostalAddress(address), address.city, address.state, address.postalCode,
                     address.country});
}
std::optional<uint32_t> ValueIdentity::operator()(const GDataStructuredPostalAddress& address) const {
    // Not owned: only read for the call.
    const std::shared_ptr<GDataStructuredPostalAddress> self(std::shared_ptr<GDataStructuredPostalAddress>{},
                                                             const_cast<GDataStructuredPostalAddress*>(&address));
    return partsKey({model_.getGoogleStreetAddressWithPostalAddress(self), address.city(), address.region(),
                     address.postCode(), address.countryName()});
}

std::optional<uint32_t> ValueIdentity::operator()(const platform::CNContactRelation& relation) const {
    return textKey(relation.name);
}
std::optional<uint32_t> ValueIdentity::operator()(const GDataContactRelation& relation) const {
    return textKey(relation.stringValue());
}

// A value without user name is none; the service counts in the form the provider holds it, so a
// service either side cannot name exactly is the same on both.
std::optional<uint32_t> ValueIdentity::operator()(const platform::CNInstantMessageAddress& im) const {
    if (!textKey(im.username)) return std::nullopt;
    return partsKey({model_.convertToGoogleIMProtocolWithAppleProtocol(im.service), im.username});
}
std::optional<uint32_t> ValueIdentity::operator()(const GDataIM& im) const {
    if (!textKey(im.address())) return std::nullopt;
    return partsKey({im.protocol(), im.address()});
}

std::optional<uint32_t> ValueIdentity::operator()(const platform::DateComponents& date) const {
    return dayKey(model_.getDayWithDateComponents(date));
}
std::optional<uint32_t> ValueIdentity::operator()(const GDataContactEvent& event) const {
    return dayKey(model_.getDayWithGoogleEvent(event));
}

std::optional<uint32_t> ValueIdentity::operator()(const platform::CNSocialProfile& profile) const {
    if (!textKey(profile.username)) return std::nullopt;
    return partsKey({model_.convertToGoogleSocialProfileLabelWithAppleLabel(profile.service), profile.username});
}
std::optional<uint32_t> ValueIdentity::operator()(const GDataContactUserDefinedField& field) const {
    if (!textKey(field.stringValue())) return std::nullopt;
    return partsKey({field.key(), field.stringValue()});
}

// ---- A value with its label, and its identity by the older rule ---------------------------------

namespace {

GmailLabelInfo googleLabel(QuorvaneModel& m, MergeField field, const std::optional<std::string>& label) {
    switch (field) {
        case MergeField::Emails: return m.convertToGoogleEmailLabelWithAppleLabel(label);
        case MergeField::Phones: return m.convertToGooglePhoneLabelWithAppleLabel(label);
        case MergeField::Addresses: return m.convertToGoogleAddressLabelWithAppleLabel(label);
        case MergeField::URLs: return m.convertToGoogleURLLabelWithAppleLabel(label);
        case MergeField::Relations: return m.convertToGoogleRelationLabelWithAppleLabel(label);
        case MergeField::IMs: return m.convertToGoogleIMLabelWithAppleLabel(label);
        case MergeField::Events: return m.convertToGoogleEventLabelWithAppleLabel(label);
        default: return {};  // social profiles: the service is their label, and part of the identity
    }
}

std::optional<uint32_t> versionKey(std::optional<uint32_t> id, const GmailLabelInfo& label) {
    if (!id) return std::nullopt;
    return partsKey({std::to_string(*id), label.rel, label.label});
}

template <class T>
std::optional<uint32_t> olderKey(QuorvaneModel&, const T&) {
    return std::nullopt;
}
std::optional<uint32_t> olderKey(QuorvaneModel& m, const CNPostalAddress& a) {
    return partsKey({m.getAppleStreetAddressWithPostalAddress(a), a.city, a.postalCode});
}
std::optional<uint32_t> olderKey(QuorvaneModel& m, const GDataStructuredPostalAddress& a) {
    const std::shared_ptr<GDataStructuredPostalAddress> self(std::shared_ptr<GDataStructuredPostalAddress>{},
                                                             const_cast<GDataStructuredPostalAddress*>(&a));
    return partsKey({m.getGoogleStreetAddressWithPostalAddress(self), a.city(), a.postCode()});
}
std::optional<uint32_t> olderKey(QuorvaneModel&, const CNInstantMessageAddress& im) { return textKey(im.username); }
std::optional<uint32_t> olderKey(QuorvaneModel&, const GDataIM& im) { return textKey(im.address()); }
std::optional<uint32_t> olderKey(QuorvaneModel&, const CNSocialProfile& p) { return textKey(p.username); }
std::optional<uint32_t> olderKey(QuorvaneModel&, const GDataContactUserDefinedField& f) { return textKey(f.stringValue()); }

}  // namespace

template <class T>
ValueKeys ValueIdentity::keys(MergeField field, const platform::CNLabeledValue<T>& value) const {
    const auto id = (*this)(value.value());
    return {id, versionKey(id, googleLabel(model_, field, value.label())), id ? olderKey(model_, value.value()) : std::nullopt};
}

template <class T>
ValueKeys ValueIdentity::keys(MergeField, const T& element) const {
    const auto id = (*this)(element);
    GmailLabelInfo label;
    if constexpr (requires { element.rel(); }) label = labelInfo(element);
    return {id, versionKey(id, label), id ? olderKey(model_, element) : std::nullopt};
}

template ValueKeys ValueIdentity::keys(MergeField, const CNLabeledValue<std::string>&) const;
template ValueKeys ValueIdentity::keys(MergeField, const CNLabeledValue<CNPhoneNumber>&) const;
template ValueKeys ValueIdentity::keys(MergeField, const CNLabeledValue<CNPostalAddress>&) const;
template ValueKeys ValueIdentity::keys(MergeField, const CNLabeledValue<CNContactRelation>&) const;
template ValueKeys ValueIdentity::keys(MergeField, const CNLabeledValue<CNInstantMessageAddress>&) const;
template ValueKeys ValueIdentity::keys(MergeField, const CNLabeledValue<DateComponents>&) const;
template ValueKeys ValueIdentity::keys(MergeField, const CNLabeledValue<CNSocialProfile>&) const;
template ValueKeys ValueIdentity::keys(MergeField, const GDataEmail&) const;
template ValueKeys ValueIdentity::keys(MergeField, const GDataPhoneNumber&) const;
template ValueKeys ValueIdentity::keys(MergeField, const GDataStructuredPostalAddress&) const;
template ValueKeys ValueIdentity::keys(MergeField, const GDataContactWebsiteLink&) const;
template ValueKeys ValueIdentity::keys(MergeField, const GDataContactRelation&) const;
template ValueKeys ValueIdentity::keys(MergeField, const GDataIM&) const;
template ValueKeys ValueIdentity::keys(MergeField, const GDataContactEvent&) const;
template ValueKeys ValueIdentity::keys(MergeField, const GDataContactUserDefinedField&) const;

}  // namespace quorvane
