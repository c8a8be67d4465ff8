#include "sync/SyncStrategy.h"

#include <algorithm>

#include "platform/foundation/Strings.h"
#include "sync/SyncTypes.h"

namespace quorvane {

namespace {

constexpr uint64_t kFNVOffsetBasis = 14695981039346656037ull;
constexpr uint64_t kFNVPrime = 1099511628211ull;

// date2 - date1 in seconds as the comparisons take it; 0 when either is missing.
float difference(const std::optional<platform::Date>& d1, const std::optional<platform::Date>& d2) {
    if (!d1 || !d2) return 0.0f;
    return static_cast<float>(d2->timeIntervalSince1970() - d1->timeIntervalSince1970());
}

bool moved(float seconds) { return seconds > kChangeTolerance || seconds < -kChangeTolerance; }

bool textsDiffer(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    return a.value_or("") != b.value_or("");
}

}  // namespace

uint64_t groupNamesHash(const std::optional<std::vector<std::string>>& names) {
    if (!names) return 0;
    std::vector<std::string> folded;
    folded.reserve(names->size());
    for (const auto& name : *names) folded.push_back(platform::caseFold(name));
    // UTF-8 byte order is code point order.
    std::sort(folded.begin(), folded.end());
    uint64_t hash = kFNVOffsetBasis;
    for (size_t i = 0; i < folded.size(); ++i) {
        if (i > 0) hash = (hash ^ uint8_t(',')) * kFNVPrime;
        for (unsigned char c : folded[i]) hash = (hash ^ c) * kFNVPrime;
    }
    return hash;
}

SyncStrategyInfo computeSyncStrategy(const SyncStrategyInputs& in) {
    SyncStrategyInfo info;
    info.isOtherContact = in.hasGoogleContact && in.isOtherContact;
    const int32_t mode = in.syncMode;
    const bool exactPair = in.hasAppleContact && in.hasGoogleContact;

    if (!in.record) {
        // A pair without history merges by the setting of its direction.
        if (exactPair) {
            info.mergeContacts = mode == SyncModeTwoWay ? in.mergeContacts_2Way : in.mergeContacts_1Way;
        }
        return info;
    }
    const SyncHistoryRecord& r = *in.record;
    info.historyFound = true;
    info.previouslyMerged = r.previouslyMerged;
    info.previousApplePhotoSize = r.appleImageSize;
    info.previousGoogleETag = r.googleETag;
    info.googleETagPendingAssignment = r.googleETagPendingAssignment;
    if (r.googleUpdateDate && r.appleUpdateDate) info.lastSyncDate = std::max(*r.googleUpdateDate, *r.appleUpdateDate);
    else info.lastSyncDate = r.googleUpdateDate ? r.googleUpdateDate : r.appleUpdateDate;

    if (!exactPair) {
        // The contact had a partner that is gone.
        if (in.syncDeletedContacts &&
            (mode == SyncModeTwoWay || (in.hasGoogleContact && mode == SyncModeMacToGoogle) ||
             (in.hasAppleContact && mode == SyncModeGoogleToMac))) {
            info.counterpartDeleted = true;
        }
        return info;
    }

    // By content where the history keeps a digest: any edit counts, however soon after the run,
    // and dates that moved over the same content do not.
    if (r.googleContentDigest && in.googleContentDigest) {
        // The provider gives an entry a new update date, to the millisecond, on every write: an
        // entry that still carries the date recorded with its digest holds what was digested.
        const bool sameWrite = r.googleUpdateDate && in.googleUpdateDate && *r.googleUpdateDate == *in.googleUpdateDate;
        info.googleContactChanged = !sameWrite && in.googleContentDigest() != *r.googleContentDigest;
    } else {
        info.googleContactChanged = moved(difference(r.googleUpdateDate, in.googleUpdateDate));
    }
    if (r.appleContentDigest && in.appleContentDigest) {
        info.appleContactChanged = in.appleContentDigest() != *r.appleContentDigest;
    } else {
        info.appleContactChanged = moved(difference(r.appleUpdateDate, in.appleModificationDate));
    }
    info.historyLacksDigests = !r.googleContentDigest || !r.appleContentDigest;
    info.eitherContactChanged = info.googleContactChanged || info.appleContactChanged;
    info.appleGroupsChanged = in.appleGroupNamesHash != r.appleGroupNamesHash;
    info.googleGroupsChanged = in.googleGroupNamesHash != r.googleGroupNamesHash;

    if (in.syncPhotos) {
        const bool hasGooglePhoto = in.googlePhotoETag && !in.googlePhotoETag->empty();
        const bool pending = r.googleETagPendingAssignment;
        std::optional<int32_t> size;
        auto photoSize = [&] {
            if (!size) size = in.applePhotoSize ? in.applePhotoSize() : 0;
            return *size;
        };
        const bool googleSide = info.googleContactChanged || info.googleGroupsChanged;
        if ((mode == SyncModeTwoWay || mode == SyncModeGoogleToMac) &&
            (googleSide || (mode == SyncModeTwoWay && r.previouslyMerged))) {
            const int32_t s = photoSize();
            if (hasGooglePhoto && !pending && textsDiffer(r.googleETag, in.googlePhotoETag)) {
                info.googlePhotoChanged = googleSide;
            } else if (s <= 0 && hasGooglePhoto) {
                info.googlePhotoChanged = googleSide;
            } else if (!pending) {
                info.googlePhotoVerifiedNotChanged = true;
            }
        }
        const bool appleSide = info.appleContactChanged || info.appleGroupsChanged;
        if ((mode == SyncModeTwoWay || mode == SyncModeMacToGoogle) &&
            (appleSide || (mode == SyncModeTwoWay && r.previouslyMerged))) {
            const int32_t s = photoSize();
            if (s > 0 && s != r.appleImageSize) {
                info.applePhotoChanged = appleSide;
            } else if (s > 0 && !hasGooglePhoto) {
                info.applePhotoChanged = appleSide;
            } else {
                info.applePhotoVerifiedNotChanged = true;
            }
        }
    }

    const bool googleSide = info.googleContactChanged || info.googleGroupsChanged || info.googlePhotoChanged;
    const bool appleSide = info.appleContactChanged || info.appleGroupsChanged || info.applePhotoChanged;
    switch (mode) {
        case SyncModeTwoWay:
            info.mergeContacts = in.mergeContacts_2Way &&
                                 ((googleSide && appleSide) || (r.previouslyMerged && (googleSide || appleSide)));
            break;
        case SyncModeManual: break;
        default: info.mergeContacts = in.mergeContacts_1Way; break;
    }
    return info;
}

}  // namespace quorvane
