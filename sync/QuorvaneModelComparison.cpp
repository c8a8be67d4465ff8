// Field-by-field comparison of a paired local and Google contact, the has-a-name tests of the
// empty-contact filter and the group names a run must create before it writes contacts.
//
// Every list comparison checks the counts first and then places each local entry on a Google
// entry not yet taken; the first local entry without a partner makes the lists differ. Each
// side's list holds only the values a conversion writes (QuorvaneModelWrittenValues.cpp).

#include <unordered_set>

#include "gdata/GDataEntryContent.h"
#include "gdata/GDataTextConstruct.h"
#include "platform/foundation/Log.h"
#include "sync/NSSyncRecord.h"
#include "sync/QuorvaneModel.h"

namespace quorvane {

namespace {

constexpr const char* kSystemGroupPrefix = "System Group: ";
constexpr const char* kMyContactsGroupName = "My Contacts";

// One-to-one placement of localCount entries on googleCount entries: true when every local entry
// finds a Google entry, not taken before, that matches(localIndex, googleIndex).
template <typename Matches>
bool placeAll(size_t localCount, size_t googleCount, Matches matches) {
    std::vector<bool> used(googleCount, false);
    for (size_t i = 0; i < localCount; ++i) {
        bool placed = false;
        for (size_t j = 0; j < googleCount; ++j) {
            if (used[j] || !matches(i, j)) continue;
            used[j] = true;
            placed = true;
            break;
        }
        if (!placed) return false;
    }
    return true;
}

template <class T>
std::optional<std::string> nameText(const std::shared_ptr<T>& element) {
    return element ? element->stringValue() : std::nullopt;
}

template <class T>
std::optional<std::string> nameYomi(const std::shared_ptr<T>& element) {
    return element ? element->yomi() : std::nullopt;
}

void addUnlessSeen(std::vector<std::string>& names, std::unordered_set<std::string>& seen, const std::string& name) {
    if (seen.insert(platform::lowercase(name)).second) names.push_back(name);
}

}  // namespace

bool QuorvaneModel::appleContactHasName(const platform::CNContactPtr& contact) {
    if (!contact) return false;
    for (const std::string* part : {&contact->givenName(), &contact->familyName(), &contact->middleName(),
                                    &contact->namePrefix(), &contact->nameSuffix(), &contact->nickname(),
                                    &contact->organizationName(), &contact->jobTitle(), &contact->departmentName()}) {
        if (!part->empty()) return true;
    }
    return !contact->emailAddresses().empty();
}

bool QuorvaneModel::googleContactHasName(const std::shared_ptr<GDataEntryContact>& contact) {
    if (!contact) return false;
    auto nonEmpty = [](const std::optional<std::string>& s) { return s && !s->empty(); };
    if (auto name = contact->name()) {
        if (nonEmpty(nameText(name->givenName())) || nonEmpty(nameText(name->familyName())) ||
            nonEmpty(name->namePrefix()) || nonEmpty(name->nameSuffix()) ||
            nonEmpty(nameText(name->additionalName()))) {
            return true;
        }
    }
    if (nonEmpty(contact->nickname())) return true;
    return !contact->organizations().empty() || !contact->emailAddresses().empty();
}

std::vector<std::string> QuorvaneModel::getRequiredGoogleGroupNamesForSync() {
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    if (auto autoName = autoAddToGroupName(); autoAddContactsToGroup() && autoName && !autoName->empty()) {
        addUnlessSeen(names, seen, *autoName);
    }
    for (const auto& record : mSyncRecords) {
        if (!record || record->mSyncAction != SyncActionMacToGoogle || !record->mAppleContact) continue;
        const auto& identifier = record->mAppleContact->identifier();
        if (identifier.empty()) continue;
        auto it = mGroupMembershipByPerson.find(identifier);
        if (it == mGroupMembershipByPerson.end()) continue;
        for (const auto& groupName : it->second) {
            auto trimmed = trimWhitespaceFromString(groupName);
            if (!trimmed || trimmed->empty()) continue;
            addUnlessSeen(names, seen, *trimmed);
        }
    }
    return names;
}

std::vector<std::string> QuorvaneModel::getRequiredAppleGroupNamesForSync() {
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    if (auto autoName = autoAddToGroupName(); autoAddContactsToGroup() && autoName && !autoName->empty()) {
        addUnlessSeen(names, seen, *autoName);
    }

    std::vector<std::string> hrefs;
    std::unordered_set<std::string> seenHrefs;
    for (const auto& record : mSyncRecords) {
        if (!record || record->mSyncAction != SyncActionGoogleToMac || !record->mGoogleContact) continue;
        for (const auto& membership : record->mGoogleContact->groupMembershipInfos()) {
            auto href = membership ? membership->href() : std::nullopt;
            if (href && seenHrefs.insert(*href).second) hrefs.push_back(*href);
        }
    }
    if (!mGroupFeed || !mGroupFeed->entries()) return names;

    auto myContacts = mGroupFeed->entryForSystemGroupID(kGDataSystemGroupIDMyContacts);
    for (const auto& href : hrefs) {
        for (const auto& entry : mGroupFeed->entriesForIdentifier(href)) {
            if (!entry || entry == myContacts) continue;
            auto title = entry->title();
            auto text = title ? title->stringValue() : std::nullopt;
            if (!text) continue;
            auto name = platform::replaceAll(*text, kSystemGroupPrefix, "");
            if (stringEffectivelyEmptyWithString(name)) continue;
            addUnlessSeen(names, seen, name);
        }
    }
    return names;
}

std::vector<std::shared_ptr<GDataStructuredPostalAddress>> QuorvaneModel::getValidPostalAddressesWithGoogleContact(
    const std::shared_ptr<GDataEntryContact>& contact) {
    std::vector<std::shared_ptr<GDataStructuredPostalAddress>> valid;
    if (!contact) return valid;
    for (const auto& address : contact->structuredPostalAddresses()) {
        if (!address) continue;
        if (stringEffectivelyEmptyWithString(address->street()) && stringEffectivelyEmptyWithString(address->city()) &&
            stringEffectivelyEmptyWithString(address->region()) &&
            stringEffectivelyEmptyWithString(address->postCode()) &&
            stringEffectivelyEmptyWithString(address->countryName()) && !isValidCountryCode(address->countryCode())) {
            continue;
        }
        valid.push_back(address);
    }
    return valid;
}

bool QuorvaneModel::contactPostalAddressesDifferWithAppleContact(const platform::CNContactPtr& apple,
                                                                 const std::shared_ptr<GDataEntryContact>& google) {
    if (!apple || !apple->isKeyAvailable(platform::CNContactPostalAddressesKey)) return false;
    const auto local = getWrittenApplePostalAddresses(*apple);
    const auto remote = getValidPostalAddressesWithGoogleContact(google);
    if (local.size() != remote.size()) return true;
    // The converted label and street of each local address, worked out once.
    std::vector<GmailLabelInfo> labels;
    std::vector<std::optional<std::string>> streets;
    for (const auto& labeled : local) {
        labels.push_back(convertToGoogleAddressLabelWithAppleLabel(labeled.label()));
        streets.push_back(getAppleStreetAddressWithPostalAddress(labeled.value()));
    }
    return !placeAll(local.size(), remote.size(), [&](size_t i, size_t j) {
        const auto& mac = local[i].value();
        const auto& g = remote[j];
        return !stringsDifferWithString1(g->rel(), labels[i].rel) &&
               !stringsDifferWithString1(g->label(), labels[i].label) &&
               !stringsDifferWithString1(getGoogleStreetAddressWithPostalAddress(g), streets[i]) &&
               !stringsDifferWithString1(g->city(), mac.city) && !stringsDifferWithString1(g->region(), mac.state) &&
               !stringsDifferWithString1(g->postCode(), mac.postalCode) &&
               !stringsDifferWithString1(g->countryName(), mac.country);
    });
}

bool QuorvaneModel::contactIMAddressesDifferWithAppleContact(const platform::CNContactPtr& apple,
                                                             const std::shared_ptr<GDataEntryContact>& google) {
    if (!apple || !apple->isKeyAvailable(platform::CNContactInstantMessageAddressesKey)) return false;
    const auto local = getWrittenAppleIMAddresses(*apple);
    const auto remote = google ? getWrittenGoogleIMAddresses(*google) : std::vector<std::shared_ptr<GDataIM>>{};
    if (local.size() != remote.size()) return true;
    std::vector<GmailLabelInfo> labels;
    std::vector<std::string> protocols;
    for (const auto& labeled : local) {
        labels.push_back(convertToGoogleIMLabelWithAppleLabel(labeled.label()));
        protocols.push_back(convertToGoogleIMProtocolWithAppleProtocol(labeled.value().service));
    }
    return !placeAll(local.size(), remote.size(), [&](size_t i, size_t j) {
        const auto& g = remote[j];
        return g && !stringsDifferWithString1(g->rel(), labels[i].rel) &&
               !stringsDifferWithString1(g->label(), labels[i].label) &&
               !stringsDifferWithString1(g->address(), local[i].value().username) &&
               !stringsDifferWithString1(g->protocol(), protocols[i]);
    });
}

bool QuorvaneModel::contactSocialProfilesDifferWithAppleContact(const platform::CNContactPtr& apple,
                                                                const platform::CNContactPtr& actualApple,
                                                                const std::shared_ptr<GDataEntryContact>& google) {
    if (isExchangeContact(actualApple)) return false;
    if (!apple || !apple->isKeyAvailable(platform::CNContactSocialProfilesKey)) return false;
    const auto local = getWrittenAppleSocialProfiles(*apple);
    const auto remote = google ? getWrittenGoogleUserDefinedFields(*google)
                               : std::vector<std::shared_ptr<GDataContactUserDefinedField>>{};
    if (local.size() != remote.size()) return true;
    std::vector<std::string> keys;
    for (const auto& labeled : local) keys.push_back(convertToGoogleSocialProfileLabelWithAppleLabel(labeled.value().service));
    return !placeAll(local.size(), remote.size(), [&](size_t i, size_t j) {
        const auto& g = remote[j];
        return g && stringsEqualWithString1(g->key(), keys[i]) &&
               stringsEqualWithString1(g->stringValue(), local[i].value().username);
    });
}

bool QuorvaneModel::contactsDifferWithAppleContact(const platform::CNContactPtr& apple,
                                                   const platform::CNContactPtr& actualApple,
                                                   const std::shared_ptr<GDataEntryContact>& google,
                                                   const std::optional<std::vector<std::string>>& appleGroupNames,
                                                   int32_t* difference) {
    if (difference) *difference = ContactDifferenceNone;
    // Both sides are needed; a pair without one has nothing to compare.
    if (!QV_ASSERT(apple && google, "comparing a pair without both contacts")) return false;

    auto differ = [&](ContactDifference code) {
        if (difference) *difference = code;
        return true;
    };

    // Name parts, their phonetic readings and the nickname.
    auto name = google->name();
    auto givenElement = name ? name->givenName() : nullptr;
    auto additionalElement = name ? name->additionalName() : nullptr;
    auto familyElement = name ? name->familyName() : nullptr;
    if (stringsDifferWithString1(apple->givenName(), nameText(givenElement)) ||
        stringsDifferWithString1(apple->familyName(), nameText(familyElement)) ||
        stringsDifferWithString1(apple->middleName(), nameText(additionalElement)) ||
        stringsDifferWithString1(apple->namePrefix(), name ? name->namePrefix() : std::nullopt) ||
        stringsDifferWithString1(apple->nameSuffix(), name ? name->nameSuffix() : std::nullopt)) {
        return differ(ContactDifferenceName);
    }
    auto phoneticDiffers = [&](const std::string& part, const std::string& phonetic,
                               const std::shared_ptr<GDataNameElement>& element) {
        return stringsDifferWithString1(getWrittenPhoneticName(part, phonetic),
                                        getWrittenPhoneticName(nameText(element), nameYomi(element)));
    };
    if (phoneticDiffers(apple->givenName(), apple->phoneticGivenName(), givenElement) ||
        phoneticDiffers(apple->middleName(), apple->phoneticMiddleName(), additionalElement) ||
        phoneticDiffers(apple->familyName(), apple->phoneticFamilyName(), familyElement)) {
        return differ(ContactDifferenceName);
    }
    if (stringsDifferWithString1(apple->nickname(), google->nickname())) return differ(ContactDifferenceName);

    // E-mail addresses.
    {
        const auto local = getWrittenAppleEmails(*apple);
        const auto remote = getWrittenGoogleEmails(*google);
        if (local.size() != remote.size()) return differ(ContactDifferenceEmail);
        std::vector<GmailLabelInfo> labels;
        for (const auto& labeled : local) labels.push_back(convertToGoogleEmailLabelWithAppleLabel(labeled.label()));
        if (!placeAll(local.size(), remote.size(), [&](size_t i, size_t j) {
                const auto& g = remote[j];
                return g && stringsEqualWithString1(g->rel(), labels[i].rel) &&
                       stringsEqualWithString1(g->label(), labels[i].label) &&
                       stringsEqualWithString1(g->address(), local[i].value());
            })) {
            return differ(ContactDifferenceEmail);
        }
    }

    // Phone numbers.
    {
        const auto local = getWrittenApplePhones(*apple);
        const auto remote = getWrittenGooglePhones(*google);
        if (local.size() != remote.size()) return differ(ContactDifferencePhone);
        std::vector<GmailLabelInfo> labels;
        for (const auto& labeled : local) labels.push_back(convertToGooglePhoneLabelWithAppleLabel(labeled.label()));
        if (!placeAll(local.size(), remote.size(), [&](size_t i, size_t j) {
                const auto& g = remote[j];
                return g && stringsEqualWithString1(g->rel(), labels[i].rel) &&
                       stringsEqualWithString1(g->label(), labels[i].label) &&
                       phoneNumbersEqualWithString1(g->stringValue(), local[i].value().stringValue);
            })) {
            return differ(ContactDifferencePhone);
        }
    }

    if (contactPostalAddressesDifferWithAppleContact(apple, google)) return differ(ContactDifferencePostalAddress);

    // Birthday: the day only; a year-less birthday matches one stored with the no-year year.
    if (datesDifferIgnoringTimeWithDateComponentsA(getWrittenAppleBirthday(*apple), getDayWithGoogleBirthday(*google))) {
        return differ(ContactDifferenceBirthday);
    }

    // Web addresses.
    {
        const auto local = getWrittenAppleURLs(*apple);
        const auto remote = getWrittenGoogleURLs(*google);
        if (local.size() != remote.size()) return differ(ContactDifferenceURL);
        std::vector<GmailLabelInfo> labels;
        for (const auto& labeled : local) labels.push_back(convertToGoogleURLLabelWithAppleLabel(labeled.label()));
        if (!placeAll(local.size(), remote.size(), [&](size_t i, size_t j) {
                const auto& g = remote[j];
                return g && stringsEqualWithString1(g->rel(), labels[i].rel) &&
                       stringsEqualWithString1(g->label(), labels[i].label) &&
                       stringsEqualWithString1(g->href(), local[i].value());
            })) {
            return differ(ContactDifferenceURL);
        }
    }

    // Relations.
    {
        const auto& local = apple->contactRelations();
        const auto remote = google->relations();
        if (local.size() != remote.size()) return differ(ContactDifferenceRelation);
        std::vector<GmailLabelInfo> labels;
        for (const auto& labeled : local) labels.push_back(convertToGoogleRelationLabelWithAppleLabel(labeled.label()));
        if (!placeAll(local.size(), remote.size(), [&](size_t i, size_t j) {
                const auto& g = remote[j];
                return g && stringsEqualWithString1(g->rel(), labels[i].rel) &&
                       stringsEqualWithString1(g->label(), labels[i].label) &&
                       stringsEqualWithString1(g->stringValue(), local[i].value().name);
            })) {
            return differ(ContactDifferenceRelation);
        }
    }

    if (contactIMAddressesDifferWithAppleContact(apple, google)) return differ(ContactDifferenceIM);

    // Events (dates other than the birthday).
    {
        const auto local = getWrittenAppleDates(*apple);
        const auto remote = getWrittenGoogleEvents(*google);
        if (local.size() != remote.size()) return differ(ContactDifferenceEvent);
        std::vector<GmailLabelInfo> labels;
        for (const auto& labeled : local) labels.push_back(convertToGoogleEventLabelWithAppleLabel(labeled.label()));
        if (!placeAll(local.size(), remote.size(), [&](size_t i, size_t j) {
                const auto& g = remote[j];
                if (!g || !stringsEqualWithString1(g->rel(), labels[i].rel) ||
                    !stringsEqualWithString1(g->label(), labels[i].label)) {
                    return false;
                }
                return !datesDifferIgnoringTimeWithDateComponentsA(getDayWithGoogleEvent(*g), local[i].value());
            })) {
            return differ(ContactDifferenceEvent);
        }
    }

    if (contactSocialProfilesDifferWithAppleContact(apple, actualApple, google)) {
        return differ(ContactDifferenceSocialProfile);
    }

    // Note: line breaks do not count.
    {
        std::optional<std::string> localNote = apple->note();
        auto content = google->content();
        std::optional<std::string> remoteNote = content ? content->stringValue() : std::nullopt;
        if (stringsDifferWithString1(localNote, remoteNote)) {
            if (!remoteNote) return differ(ContactDifferenceNote);
            auto withoutBreaks = [](std::string s) {
                std::erase_if(s, [](char c) { return c == '\r' || c == '\n'; });
                return s;
            };
            if (stringsDifferWithString1(withoutBreaks(*localNote), withoutBreaks(*remoteNote))) {
                return differ(ContactDifferenceNote);
            }
        }
    }

    // Organisation: every Google organisation field needs a local counterpart, and every local
    // field an equal value in some Google organisation.
    {
        const std::string& orgName = apple->organizationName();
        const std::string& jobTitle = apple->jobTitle();
        const std::string& department = apple->departmentName();
        const bool hasOrg = !stringEffectivelyEmptyWithString(orgName);
        const bool hasTitle = !stringEffectivelyEmptyWithString(jobTitle);
        const bool hasDept = !stringEffectivelyEmptyWithString(department);
        const auto organizations = google->organizations();
        if ((hasOrg || hasTitle || hasDept) && organizations.empty()) return differ(ContactDifferenceOrganization);
        bool foundOrg = false, foundTitle = false, foundDept = false;
        // One field of a Google organisation against its local counterpart; false means differ.
        auto visit = [&](const std::optional<std::string>& remote, bool has, const std::string& local, bool& found) {
            if (found || stringEffectivelyEmptyWithString(remote)) return true;
            if (!has) return false;
            found = stringsEqualWithString1(remote, local);
            return true;
        };
        for (const auto& organization : organizations) {
            if (!organization) continue;
            if (!visit(organization->orgName(), hasOrg, orgName, foundOrg) ||
                !visit(organization->orgTitle(), hasTitle, jobTitle, foundTitle) ||
                !visit(organization->orgDepartment(), hasDept, department, foundDept)) {
                return differ(ContactDifferenceOrganization);
            }
            if (foundOrg && foundTitle && foundDept) break;
        }
        if ((hasOrg && !foundOrg) || (hasTitle && !foundTitle) || (hasDept && !foundDept)) {
            return differ(ContactDifferenceOrganization);
        }
    }

    // Group membership counts only where the local account keeps groups.
    if (!appleContactSupportsGroups(actualApple)) return false;
    {
        const auto remote = getGoogleContactGroupNamesWithContact(google, true);
        std::vector<std::string> local;
        if (appleGroupNames) {
            for (const auto& groupName : *appleGroupNames) {
                if (!stringsEqualWithString1(groupName, std::string(kMyContactsGroupName))) local.push_back(groupName);
            }
        }
        if (local.size() != remote.size()) return differ(ContactDifferenceGroups);
        // Each Google group name placed on a local name not taken before.
        if (!placeAll(remote.size(), local.size(),
                      [&](size_t i, size_t j) { return stringsEqualWithString1(local[j], remote[i]); })) {
            return differ(ContactDifferenceGroups);
        }
    }
    return false;
}

}  // namespace quorvane
