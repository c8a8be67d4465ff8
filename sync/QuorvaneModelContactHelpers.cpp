// Contact helpers the comparison and the planner share: group names of either side, My Contacts
// membership, the one-line street texts and whether the selected account keeps groups.

#include <algorithm>
#include <functional>
#include <unordered_set>

#include <unicode/uloc.h>

#include "gdata/GDataTextConstruct.h"
#include "sync/QuorvaneModel.h"

namespace quorvane {

namespace {

constexpr const char* kSystemGroupPrefix = "System Group: ";
constexpr const char* kMyContactsGroupName = "My Contacts";

// The group's title as the local side names it; nil when it has no title text.
std::optional<std::string> groupDisplayName(const std::shared_ptr<GDataEntryBase>& group) {
    if (!group) return std::nullopt;
    auto title = group->title();
    if (!title) return std::nullopt;
    auto text = title->stringValue();
    if (!text) return std::nullopt;
    return platform::replaceAll(*text, kSystemGroupPrefix, "");
}

}  // namespace

std::vector<std::string> QuorvaneModel::getGoogleContactGroupNamesWithContact(
    const std::shared_ptr<GDataEntryContact>& contact, bool ignoringMyContacts) {
    if (!contact || !mGroupFeed || !mGroupFeed->entries()) return {};
    return googleGroupNamesOfMemberships(GoogleContactCache::readValues(*contact, GoogleContactCache::Values::kGroups).groups,
                                         ignoringMyContacts);
}

std::vector<std::string> QuorvaneModel::googleGroupNamesOfMemberships(
    const std::vector<GoogleContactCache::Values::Membership>& groups, bool ignoringMyContacts) {
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    if (!mGroupFeed || !mGroupFeed->entries()) return names;
    for (const auto& membership : groups) {
        const auto& href = membership.href;
        if (!href) continue;
        for (const auto& entry : mGroupFeed->entriesForIdentifier(*href)) {
            if (!entry) continue;
            auto name = groupDisplayName(entry);
            if (!name || stringEffectivelyEmptyWithString(name)) continue;
            if (ignoringMyContacts && stringsEqualWithString1(name, std::string(kMyContactsGroupName))) continue;
            if (!seen.insert(platform::lowercase(*name)).second) continue;
            names.push_back(*name);
        }
    }
    return names;
}

std::optional<std::vector<std::string>> QuorvaneModel::getAppleContactGroupNamesWithAppleContactID(
    const std::optional<std::string>& identifier) {
    if (!identifier) return std::nullopt;
    auto it = mGroupMembershipByPerson.find(*identifier);
    if (it == mGroupMembershipByPerson.end()) return std::nullopt;
    return it->second;
}

uint64_t QuorvaneModel::getGroupHashWithGroups(const std::optional<std::vector<std::string>>& groups) {
    return groupNamesHash(groups);
}

bool QuorvaneModel::belongsToMyContacts(const std::shared_ptr<GDataEntryContact>& contact) {
    if (!contact) return false;
    auto myContacts = mGroupFeed ? mGroupFeed->entryForSystemGroupID(kGDataSystemGroupIDMyContacts) : nullptr;
    if (!myContacts) return true;
    auto groupID = myContacts->identifier();
    if (!groupID) return true;
    for (const auto& membership : GoogleContactCache::readValues(*contact, GoogleContactCache::Values::kGroups).groups) {
        if (membership.href == groupID) return true;
    }
    return false;
}

std::optional<std::string> QuorvaneModel::getAppleStreetAddressWithPostalAddress(
    const platform::CNPostalAddress& address) {
    return trimWhitespaceFromString(removeCarriageReturnsFromString(address.street));
}

std::optional<std::string> QuorvaneModel::getGoogleStreetAddressWithPostalAddress(
    const std::shared_ptr<GDataStructuredPostalAddress>& address) {
    if (!address) return std::nullopt;
    // Post box, street, neighbourhood: each on one line, blanks and exact repeats left out.
    std::vector<std::string> lines;
    for (const auto& part : {address->POBox(), address->street(), address->neighborhood()}) {
        auto line = trimWhitespaceFromString(removeCarriageReturnsFromString(part));
        if (!line || line->empty()) continue;
        if (std::find(lines.begin(), lines.end(), *line) != lines.end()) continue;
        lines.push_back(*line);
    }
    // A line already contained in a longer kept line says nothing new. Longest lines first, so a
    // line is only ever dropped in favour of one that stays.
    std::vector<size_t> byLength(lines.size());
    for (size_t i = 0; i < lines.size(); ++i) byLength[i] = i;
    std::stable_sort(byLength.begin(), byLength.end(), [&](size_t a, size_t b) {
        return platform::utf16Length(lines[a]) > platform::utf16Length(lines[b]);
    });
    std::vector<bool> kept(lines.size(), false);
    std::vector<std::string> keptFolded;
    for (size_t index : byLength) {
        const auto folded = platform::caseFold(lines[index]);
        bool contained = false;
        for (const auto& longer : keptFolded) {
            if (longer.size() > folded.size() && longer.find(folded) != std::string::npos) {
                contained = true;
                break;
            }
        }
        if (contained) continue;
        kept[index] = true;
        keptFolded.push_back(folded);
    }
    std::vector<std::string> result;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (kept[i]) result.push_back(lines[i]);
    }
    if (result.empty()) return std::nullopt;
    return platform::join(result, ", ");
}

bool QuorvaneModel::appleContactSupportsGroups(const platform::CNContactPtr&) {
    return selectedAppleAccountSupportsGroups();
}

bool QuorvaneModel::selectedAppleAccountSupportsGroups() {
    if (contactSourceMode() == ContactSourceModeAllAccounts) return false;
    if (mSelectedContainer) {
        // The accounts are read once per selection (each run's account check makes a new one),
        // not once per contact.
        const std::string& id = mSelectedContainer->identifier();
        if (!mSelectedContainerLocked || mSelectedContainerLocked->first != id) {
            mSelectedContainerLocked.emplace(id, isReadOnlyContainer(mSelectedContainer) ||
                                                     isFacebookContainer(mSelectedContainer));
        }
        if (mSelectedContainerLocked->second) return false;
    }
    if (!mCurrentSourceRecord) return false;
    switch (mCurrentSourceRecord->mContainerAccountType) {
        case ContainerAccountTypeExchange:
        case ContainerAccountTypeGoogle:
        case ContainerAccountTypeNone:
            return false;
        default:
            return true;
    }
}

bool QuorvaneModel::isValidCountryCode(const std::optional<std::string>& code) {
    if (!code || !syncCountryCodes()) return false;
    if (!mISOCountryCodeDict) {
        mISOCountryCodeDict.emplace();
        for (const char* const* country = uloc_getISOCountries(); country && *country; ++country) {
            mISOCountryCodeDict->insert(platform::asciiLower(*country));
        }
    }
    const auto lower = platform::lowercase(*code);
    return platform::utf16Length(lower) == 2 && mISOCountryCodeDict->count(lower) > 0;
}

}  // namespace quorvane
