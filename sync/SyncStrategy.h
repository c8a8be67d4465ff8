#pragma once
// The strategy for one pair: from the pair's history record and the two contacts' current state,
// which side changed since the last sync, whether the update merges, and whether the photo moves.
// A pure function of its inputs (SyncStrategyInputs), so every case can be stated as a table.
//
// Also the group-names hash stored in the history: fixed forever, so that no upgrade, library or
// locale change makes every pair look changed.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
#include "sync/FieldValues.h"
#include "sync/SyncStore.h"

namespace quorvane {

// 64-bit FNV-1a of the names, each case-folded, sorted by code point and joined by ","; 0 for nil.
uint64_t groupNamesHash(const std::optional<std::vector<std::string>>& names);

struct SyncStrategyInfo {
    bool historyFound = false;
    bool previouslyMerged = false;
    bool counterpartDeleted = false;  // the contact's partner is gone from its side and deletions go this way
    // The history names a partner that is still there on its side (left out of this run, or
    // paired with another contact): nothing was deleted.
    bool counterpartElsewhere = false;
    bool eitherContactChanged = false;
    // Its content differs from the digest the history keeps of it, whatever the dates say;
    // without a digest (a record of an older run), its date moved by more than kChangeTolerance.
    bool googleContactChanged = false;
    bool appleContactChanged = false;
    bool historyLacksDigests = false;  // the record keeps no digest of one side or both
    bool historyLacksPhotoDigest = false;  // the record keeps no digest of the local photo
    // The record keeps the photo on one side only (a pairing that never carried it, or photos
    // not synced then): it tells nothing of which side removed a photo, so a photo on one side
    // only is carried as at a first pairing.
    bool historyLacksPhotoState = false;
    // Such a record of a pair whose photos are now on both sides or on neither: the history
    // records the photos as they are found.
    bool photoStateFound = false;
    bool mergeContacts = false;
    bool appleGroupsChanged = false;
    bool googleGroupsChanged = false;
    std::optional<platform::Date> lastSyncDate;  // the later of the two stored dates
    bool googlePhotoChanged = false;             // download the Google photo
    bool applePhotoChanged = false;              // upload the local photo
    bool applePhotoVerifiedNotChanged = false;
    // The record, of a run before the history kept photo digests, cannot tell whether the local
    // photo (of the size it recorded) changed, and the Google photo did not: they are compared once.
    bool applePhotoUnverified = false;
    bool googlePhotoVerifiedNotChanged = false;
    int32_t previousApplePhotoSize = 0;
    std::optional<uint64_t> previousApplePhotoDigest;
    std::optional<std::string> previousGoogleETag;
    bool googleETagPendingAssignment = false;
    bool isOtherContact = false;  // the Google contact belongs to no group
    // Of a pair with history: what the last run left on each side, for a merge to judge against.
    std::shared_ptr<const FieldMergeBase> fieldBase;
    bool historyLacksFieldValues = false;  // the record keeps no values of one side or both
};

struct SyncStrategyInputs {
    // The history record that applies: for a pair given with both contacts, the record of exactly
    // that pair; for one contact alone, the first record of that contact. nullptr for none.
    const SyncHistoryRecord* record = nullptr;
    bool hasAppleContact = false;
    bool hasGoogleContact = false;
    bool isOtherContact = false;

    // The run's mode and settings.
    int32_t syncMode = 0;  // SyncMode
    bool syncDeletedContacts = true;
    bool syncPhotos = true;
    bool mergeContacts_2Way = true;
    bool mergeContacts_1Way = true;

    // The contacts now (read for an exact pair only).
    std::optional<platform::Date> googleUpdateDate;
    std::optional<platform::Date> appleModificationDate;
    uint64_t appleGroupNamesHash = 0;
    uint64_t googleGroupNamesHash = 0;
    std::optional<std::string> googlePhotoETag;  // of the Google photo link; a photo when non-empty
    // The byte length of the local photo (0 for none); asked at most once, and only when needed.
    std::function<int32_t()> applePhotoSize;
    // The local photo's photoDigest; nullopt when it is not known. Asked only when the sizes agree.
    std::function<std::optional<uint64_t>()> applePhotoDigest;
    // For one contact alone: whether a partner the history names for it still exists on its side
    // (for a local partner, anywhere in the local store; for a Google one, in the whole feed).
    // Asked only when a record applies; nullptr for none.
    std::function<bool()> partnerExists;
    // The content digests of the contacts now (ContentDigest.h); asked only when the record keeps one.
    std::function<uint64_t()> appleContentDigest;
    std::function<uint64_t()> googleContentDigest;
};

// Without a content digest, timestamps that moved by at most this many seconds either way did not change.
inline constexpr float kChangeTolerance = 5.0f;

SyncStrategyInfo computeSyncStrategy(const SyncStrategyInputs& in);

}  // namespace quorvane
