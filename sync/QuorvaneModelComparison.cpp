// Field-by-field comparison of a paired local and Google contact (the fields are the rows of
// ContactFieldTable; the group memberships are compared here), the three list comparisons, the
// has-a-name tests of the empty-contact filter and the group names a run must create before it
// writes contacts.
//
// Every list comparison checks the counts first and then places each local entry on a Google
// entry not yet taken; the first local entry without a partner makes the lists differ. Each
// side's list holds only the values a conversion writes (QuorvaneModelWrittenValues.cpp).

#include <unordered_set>

#include "gdata/GDataEntryContent.h"
#include "gdata/GDataTextConstruct.h"
#include "platform/foundation/Log.h"
#include "sync/ContactFieldTable.h"
#include "sync/NSSyncRecord.h"
#include "sync/QuorvaneModel.h"

namespace quorvane {

namespace {

constexpr const char* kSystemGroupPrefix = "System Group: ";
constexpr const char* kMyContactsGroupName = "My Contacts";

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
    using Values = GoogleContactCache::Values;
    const auto values = GoogleContactCache::readValues(
        *contact, Values::kName | Values::kNickname | Values::kOrganizations | Values::kEmails);
    if (const auto& name = values.name) {
        if (nonEmpty(name->given) || nonEmpty(name->family) || nonEmpty(name->prefix) || nonEmpty(name->suffix) ||
            nonEmpty(name->additional)) {
            return true;
        }
    }
    if (nonEmpty(values.nickname)) return true;
    return !values.organizations.empty() || !values.emails.empty();
}

std::vector<std::string> QuorvaneModel::getRequiredGoogleGroupNamesForSync(const std::vector<NSSyncRecordPtr>& records) {
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    if (auto autoName = autoAddToGroupName(); autoAddContactsToGroup() && autoName && !autoName->empty()) {
        addUnlessSeen(names, seen, *autoName);
    }
    for (const auto& record : records) {
        // Sent to Google: the local contact, or the values merged into it (which go to Google as
        // well when the caller sends them).
        if (!record || !record->mAppleContact) continue;
        if (record->mSyncAction != SyncActionMacToGoogle && !(record->mSyncAction == SyncActionGoogleToMac && record->mMergeContacts))
            continue;
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

std::vector<std::string> QuorvaneModel::getRequiredAppleGroupNamesForSync(const std::vector<NSSyncRecordPtr>& records) {
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    if (auto autoName = autoAddToGroupName(); autoAddContactsToGroup() && autoName && !autoName->empty()) {
        addUnlessSeen(names, seen, *autoName);
    }

    if (!mGroupFeed || !mGroupFeed->entries()) return names;
    auto myContacts = mGroupFeed->entryForSystemGroupID(kGDataSystemGroupIDMyContacts);
    // The local name of a Google group (none for My Contacts and groups without a name).
    auto nameOf = [&](const std::string& href) -> std::optional<std::string> {
        for (const auto& entry : mGroupFeed->entriesForIdentifier(href)) {
            if (!entry || entry == myContacts) continue;
            auto title = entry->title();
            auto text = title ? title->stringValue() : std::nullopt;
            if (!text) continue;
            auto name = platform::replaceAll(*text, kSystemGroupPrefix, "");
            if (!stringEffectivelyEmptyWithString(name)) return name;
        }
        return std::nullopt;
    };

    std::unordered_set<std::string> seenHrefs;
    for (const auto& record : records) {
        if (!record || record->mSyncAction != SyncActionGoogleToMac || !record->mGoogleContact) continue;
        // A merge judged against the last run writes only the memberships it keeps: a group
        // missing locally is made only for a membership added on Google since, never for one
        // whose group was renamed or deleted locally since.
        const bool judged = record->mAppleContact && record->mMergeContacts && record->mFieldBase;
        for (const auto& membership : GoogleContactCache::readValues(*record->mGoogleContact, GoogleContactCache::Values::kGroups).groups) {
            const auto& href = membership.href;
            if (!href || seenHrefs.count(*href)) continue;
            auto name = nameOf(*href);
            if (!name) continue;
            if (judged && mergedGroupNames(*record->mFieldBase, false, {*name}, {}).empty()) continue;
            seenHrefs.insert(*href);
            addUnlessSeen(names, seen, *name);
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

std::optional<int32_t> QuorvaneModel::nameDifferenceSeenInSummary(const platform::CNContactPtr& apple,
                                                                  const GDataEntryContact& google) {
    if (!apple) return std::nullopt;
    auto values = GoogleContactCache::readValues(google, GoogleContactCache::Values::kName);
    GoogleNameParts parts;
    if (auto& name = values.name)
        parts = {std::move(name->given), std::move(name->additional), std::move(name->family), std::move(name->prefix),
                 std::move(name->suffix)};
    if (namePartsDiffer(*this, *apple, parts)) return ContactDifferenceName;
    return std::nullopt;
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

    // The fields, in the table's order: the first that differs decides the code.
    const ContactFieldCompare fields{*this, apple, actualApple, google};
    for (const auto& row : contactFieldTable()) {
        if (row.differs && row.differs(fields)) return differ(row.difference);
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
