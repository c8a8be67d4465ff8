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

std::string trimmed(const std::optional<std::string>& s) { return s ? platform::trim(*s, blankSet()) : std::string(); }

// A property of a local contact, or "" when the contact was fetched without its key (reading it
// would be a contract failure of the store).
std::string appleField(const CNContactPtr& c, const char* key, const std::string& (platform::CNContact::*getter)() const) {
    return c->isKeyAvailable(key) ? ((*c).*getter)() : std::string();
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

// The Google contact's name part texts.
std::optional<std::string> partText(const std::shared_ptr<GDataNameElement>& e) {
    return e ? e->stringValue() : std::nullopt;
}

}  // namespace

std::string QuorvaneModel::getContactDescriptionWithFirstName(
    const std::optional<std::string>& firstName, const std::optional<std::string>& middleName,
    const std::optional<std::string>& lastName, const std::optional<std::string>& prefix,
    const std::optional<std::string>& suffix, const std::optional<std::string>& nickName,
    const std::optional<std::string>& emailString, const std::optional<std::string>& organization,
    bool forceFirstNameFirst) {
    // Given name first in either case: the platform has no name-order preference to follow.
    (void)forceFirstNameFirst;
    std::string name = joinNonEmpty(
        {trimmed(prefix), trimmed(firstName), trimmed(middleName), trimmed(lastName), trimmed(suffix)}, " ");
    if (!name.empty()) return name;
    for (const auto* fallback : {&nickName, &organization, &emailString}) {
        std::string text = trimmed(*fallback);
        if (!text.empty()) return text;
    }
    return "";
}

std::string QuorvaneModel::getDescriptionWithAppleContact(const CNContactPtr& contact) {
    if (!contact) return "";
    using platform::CNContact;
    std::optional<std::string> email;
    if (contact->isKeyAvailable(platform::CNContactEmailAddressesKey)) {
        for (const auto& lv : contact->emailAddresses()) {
            if (!trimmed(lv.value()).empty()) email = lv.value();
        }
    }
    return getContactDescriptionWithFirstName(
        appleField(contact, platform::CNContactGivenNameKey, &CNContact::givenName),
        appleField(contact, platform::CNContactMiddleNameKey, &CNContact::middleName),
        appleField(contact, platform::CNContactFamilyNameKey, &CNContact::familyName),
        appleField(contact, platform::CNContactNamePrefixKey, &CNContact::namePrefix),
        appleField(contact, platform::CNContactNameSuffixKey, &CNContact::nameSuffix),
        appleField(contact, platform::CNContactNicknameKey, &CNContact::nickname), email,
        appleField(contact, platform::CNContactOrganizationNameKey, &CNContact::organizationName), false);
}

std::string QuorvaneModel::getDescriptionWithGoogleContact(const std::shared_ptr<GDataEntryContact>& contact,
                                                           bool forceFirstNameFirst) {
    if (!contact) return "";
    std::optional<std::string> given, additional, family, prefix, suffix, full;
    if (auto name = contact->name()) {
        given = partText(name->givenName());
        additional = partText(name->additionalName());
        family = partText(name->familyName());
        prefix = name->namePrefix();
        suffix = name->nameSuffix();
        full = partText(name->fullName());
    }
    const bool noParts = trimmed(given).empty() && trimmed(additional).empty() && trimmed(family).empty() &&
                         trimmed(prefix).empty() && trimmed(suffix).empty();
    if (noParts) {
        auto title = contact->title();
        for (const std::string& text : {trimmed(full), trimmed(title ? title->stringValue() : std::nullopt)}) {
            if (!text.empty()) return text;
        }
    }
    std::optional<std::string> email;
    for (const auto& e : contact->emailAddresses()) {
        if (!trimmed(e->address()).empty()) email = e->address();
    }
    return getContactDescriptionWithFirstName(given, additional, family, prefix, suffix, contact->nickname(), email,
                                              getOrganizationStringWithOrganizations(contact->organizations()),
                                              forceFirstNameFirst);
}

std::string QuorvaneModel::getSortStringWithAppleContact(const CNContactPtr& contact, const std::string& description) {
    std::string key;
    if (contact) {
        using platform::CNContact;
        key = joinNonEmpty({trimmed(appleField(contact, platform::CNContactFamilyNameKey, &CNContact::familyName)),
                            trimmed(appleField(contact, platform::CNContactGivenNameKey, &CNContact::givenName)),
                            trimmed(appleField(contact, platform::CNContactMiddleNameKey, &CNContact::middleName))},
                           " ");
    }
    return platform::lowercase(key.empty() ? trimmed(description) : key);
}

std::string QuorvaneModel::getSortStringWithGoogleContact(const std::shared_ptr<GDataEntryContact>& contact,
                                                          const std::string& description) {
    std::string key;
    if (contact) {
        if (auto name = contact->name()) {
            key = joinNonEmpty({trimmed(partText(name->familyName())), trimmed(partText(name->givenName())),
                                trimmed(partText(name->additionalName()))},
                               " ");
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
