// Display texts: contact display names, sort keys and the names of sync actions.

#include "gdata/GDataTextConstruct.h"
#include "platform/foundation/Strings.h"
#include "sync/QuorvaneModel.h"
#include "sync/Utils.h"

namespace quorvane {

namespace {

using platform::CNContactPtr;

const platform::CharacterSet& blankSet() {
    static const platform::CharacterSet set =
        platform::CharacterSet::whitespaceAndNewline().united(platform::CharacterSet::control());
    return set;
}

// Text without the blanks at its ends. Most texts begin and end with a printable ASCII
// character, which is never blank: those are taken as they are, without a copy.
std::string_view trimmedView(std::string_view s, std::string& storage) {
    auto printable = [](char c) { return c > ' ' && c < 0x7f; };
    if (s.empty() || (printable(s.front()) && printable(s.back()))) return s;
    storage = platform::trim(s, blankSet());
    return storage;
}

std::string trimmed(const std::optional<std::string>& s) {
    if (!s) return std::string();
    std::string storage;
    return std::string(trimmedView(*s, storage));
}

// A property of a local contact, or "" when the contact was fetched without its key (reading it
// would be a contract failure of the store).
const std::string& appleField(const CNContactPtr& c, const char* key,
                              const std::string& (platform::CNContact::*getter)() const) {
    static const std::string none;
    return c->isKeyAvailable(key) ? ((*c).*getter)() : none;
}

// The parts that are not blank, trimmed, joined by the separator.
std::string joinTrimmed(std::initializer_list<std::string_view> parts, std::string_view separator) {
    std::string out, storage;
    for (const auto p : parts) {
        const std::string_view text = trimmedView(p, storage);
        if (text.empty()) continue;
        if (!out.empty()) out += separator;
        out += text;
    }
    return out;
}

std::string joinNonEmpty(std::initializer_list<std::string> parts, std::string_view separator) {
    std::string out;
    for (const auto& p : parts) {
        if (p.empty()) continue;
        if (!out.empty()) out += separator;
        out += p;
    }
    return out;
}

// The display name of a contact from its parts: its name, else its nickname, organization or
// e-mail address.
std::string describe(std::string_view first, std::string_view middle, std::string_view last, std::string_view prefix,
                     std::string_view suffix, std::string_view nickName, std::string_view email,
                     std::string_view organization) {
    std::string name = joinTrimmed({prefix, first, middle, last, suffix}, " ");
    if (!name.empty()) return name;
    std::string storage;
    for (const auto fallback : {nickName, organization, email}) {
        const std::string_view text = trimmedView(fallback, storage);
        if (!text.empty()) return std::string(text);
    }
    return "";
}

std::string_view textOf(const std::optional<std::string>& s) { return s ? std::string_view(*s) : std::string_view(); }

}  // namespace

std::string QuorvaneModel::getContactDescriptionWithFirstName(
    const std::optional<std::string>& firstName, const std::optional<std::string>& middleName,
    const std::optional<std::string>& lastName, const std::optional<std::string>& prefix,
    const std::optional<std::string>& suffix, const std::optional<std::string>& nickName,
    const std::optional<std::string>& emailString, const std::optional<std::string>& organization,
    bool forceFirstNameFirst) {
    // Given name first in either case: the platform has no name-order preference to follow.
    (void)forceFirstNameFirst;
    return describe(textOf(firstName), textOf(middleName), textOf(lastName), textOf(prefix), textOf(suffix),
                    textOf(nickName), textOf(emailString), textOf(organization));
}

std::string QuorvaneModel::getDescriptionWithAppleContact(const CNContactPtr& contact) {
    if (!contact) return "";
    using platform::CNContact;
    std::string_view email;
    if (contact->isKeyAvailable(platform::CNContactEmailAddressesKey)) {
        std::string storage;
        for (const auto& lv : contact->emailAddresses()) {
            if (!trimmedView(lv.value(), storage).empty()) email = lv.value();
        }
    }
    return describe(appleField(contact, platform::CNContactGivenNameKey, &CNContact::givenName),
                    appleField(contact, platform::CNContactMiddleNameKey, &CNContact::middleName),
                    appleField(contact, platform::CNContactFamilyNameKey, &CNContact::familyName),
                    appleField(contact, platform::CNContactNamePrefixKey, &CNContact::namePrefix),
                    appleField(contact, platform::CNContactNameSuffixKey, &CNContact::nameSuffix),
                    appleField(contact, platform::CNContactNicknameKey, &CNContact::nickname), email,
                    appleField(contact, platform::CNContactOrganizationNameKey, &CNContact::organizationName));
}

std::string QuorvaneModel::getDescriptionWithGoogleContact(const std::shared_ptr<GDataEntryContact>& contact,
                                                           bool forceFirstNameFirst) {
    if (!contact) return "";
    using Values = GoogleContactCache::Values;
    const auto values = GoogleContactCache::readValues(
        *contact, Values::kTitle | Values::kName | Values::kNickname | Values::kOrganizations | Values::kEmails);
    const Values::NameParts name = values.name.value_or(Values::NameParts{});
    const bool noParts = trimmed(name.given).empty() && trimmed(name.additional).empty() && trimmed(name.family).empty() &&
                         trimmed(name.prefix).empty() && trimmed(name.suffix).empty();
    if (noParts) {
        for (const std::string& text : {trimmed(name.full), trimmed(values.title)}) {
            if (!text.empty()) return text;
        }
    }
    std::optional<std::string> email;
    for (const auto& address : values.emails) {
        if (!trimmed(address).empty()) email = address;
    }
    const auto organization = values.organizations.empty() ? std::nullopt : values.organizations.front();
    return getContactDescriptionWithFirstName(name.given, name.additional, name.family, name.prefix, name.suffix,
                                              values.nickname, email, organization, forceFirstNameFirst);
}

std::string QuorvaneModel::getSortStringWithAppleContact(const CNContactPtr& contact, const std::string& description) {
    std::string key;
    if (contact) {
        using platform::CNContact;
        key = joinTrimmed({appleField(contact, platform::CNContactFamilyNameKey, &CNContact::familyName),
                           appleField(contact, platform::CNContactGivenNameKey, &CNContact::givenName),
                           appleField(contact, platform::CNContactMiddleNameKey, &CNContact::middleName)},
                          " ");
    }
    return platform::lowercase(key.empty() ? trimmed(description) : key);
}

std::string QuorvaneModel::getSortStringWithGoogleContact(const std::shared_ptr<GDataEntryContact>& contact,
                                                          const std::string& description) {
    std::string key;
    if (contact) {
        if (const auto name = GoogleContactCache::readValues(*contact, GoogleContactCache::Values::kName).name) {
            key = joinNonEmpty({trimmed(name->family), trimmed(name->given), trimmed(name->additional)}, " ");
        }
    }
    return platform::lowercase(key.empty() ? trimmed(description) : key);
}

std::optional<std::string> QuorvaneModel::getOrganizationStringWithOrganizations(
    const std::vector<std::shared_ptr<GDataOrganization>>& organizations) {
    if (organizations.empty() || !organizations.front()) return std::nullopt;
    return organizations.front()->orgName();
}

std::string QuorvaneModel::getAppleAccountName() { return Utils::localized("Global_ThisComputer", "This Computer"); }

std::string QuorvaneModel::getGoogleAccountName() { return Utils::localized("Global_Google", "Google"); }

std::string QuorvaneModel::getSyncActionDescriptionForSyncAction(int32_t syncAction) {
    switch (syncAction) {
        case SyncActionNoUpdate:
            return Utils::localized("QVR_DontUpdate", "Don't Update");
        case SyncActionGoogleToMac:
            return getGoogleAccountName() + " -> " + getAppleAccountName();
        case SyncActionMacToGoogle:
            return getAppleAccountName() + " -> " + getGoogleAccountName();
        default:
            return Utils::localized("QVR_DeleteContact", "Delete Contact");
    }
}

}  // namespace quorvane
