#pragma once
// The small value types the sync engine passes around: sync modes and actions, the reason a
// pair is updated, the key sets of contact fetches, the contact source modes and account kinds,
// the rel-or-label pair of a Google multi-valued field, and the local group memberships.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/foundation/Error.h"

namespace quorvane {

// How a run syncs.
enum SyncMode : int32_t {
    SyncModeTwoWay = 0,
    SyncModeGoogleToMac = 1,
    SyncModeMacToGoogle = 2,
    SyncModeManual = 3,
};

// What a run does with one pair.
enum SyncAction : int32_t {
    SyncActionNoUpdate = 0,
    SyncActionGoogleToMac = 1,
    SyncActionMacToGoogle = 2,
    SyncActionDeleteContact = 3,
};

// Why a pair is updated: the first field found to differ.
enum ContactDifference : int32_t {
    ContactDifferenceNotCompared = 0,
    ContactDifferenceNone = 1,
    ContactDifferenceName = 2,
    ContactDifferenceEmail = 3,
    ContactDifferencePhone = 4,
    ContactDifferencePostalAddress = 5,
    ContactDifferenceBirthday = 6,
    ContactDifferenceURL = 7,
    ContactDifferenceRelation = 8,
    ContactDifferenceIM = 9,
    ContactDifferenceEvent = 10,
    ContactDifferenceSocialProfile = 11,
    ContactDifferenceNote = 12,
    ContactDifferenceOrganization = 13,
    ContactDifferenceGroups = 14,
    ContactDifferenceMyContactsMembership = 15,
    ContactDifferencePhoto = 16,
    ContactDifferenceNewContact = 17,
};

// Which contact keys a fetch asks for (0 to 7).
using ContactKeySet = int32_t;
inline constexpr int32_t CONTACT_KEY_SET_COUNT = 8;

// Which local contact source is synced.
enum ContactSourceMode : int32_t {
    ContactSourceModeAutoSelect = 0,
    ContactSourceModeCustomContainer = 1,
    ContactSourceModeAllAccounts = 2,
};

// The kind of account a contact container belongs to.
enum ContainerAccountType : int32_t {
    ContainerAccountTypeNone = 0,
    ContainerAccountTypeICloud = 1,
    ContainerAccountTypeFacebook = 2,
    ContainerAccountTypeGoogle = 3,
    ContainerAccountTypeYahoo = 4,
    ContainerAccountTypeLinkedIn = 5,
    ContainerAccountTypeOtherCardDAV = 6,
    ContainerAccountTypeExchange = 7,
    ContainerAccountTypeLocal = 8,
};

// A Google multi-valued field carries either a rel or a custom label: the label converters give
// the pair with exactly one half set.
struct GmailLabelInfo {
    std::optional<std::string> rel;
    std::optional<std::string> label;

    static GmailLabelInfo withRel(std::string r) { return GmailLabelInfo{std::move(r), std::nullopt}; }
    static GmailLabelInfo withLabel(std::string l) { return GmailLabelInfo{std::nullopt, std::move(l)}; }
    bool operator==(const GmailLabelInfo&) const = default;
};

// Local contact identifier -> the names of the local groups that hold the contact, as far as the
// groups could be read: a group that could not be read is left out and `unread` says why. A read
// that answers in part on purpose: the memberships read are still the ones to use.
struct LocalGroupMembership {
    std::unordered_map<std::string, std::vector<std::string>> byPerson;
    std::optional<platform::Error> unread;
};

}  // namespace quorvane
