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

bool hasText(const std::optional<std::string>& s) { return s && !s->empty(); }

// Without a photo state in the history (no record, or one that kept the photo on one side only)
// nothing says that the side without a photo removed it: a photo present on one side only is
// carried to the other, as any other value present on one side only. With `verify`, a side that
// has nothing to carry is known not to have changed.
void carryPhotoOnOneSide(const SyncStrategyInputs& in, SyncStrategyInfo& info, bool verify) {
    const int32_t mode = in.syncMode;
    const bool google = hasText(in.googlePhotoETag);
    const bool apple = (in.applePhotoSize ? in.applePhotoSize() : 0) > 0;
    if (mode == SyncModeTwoWay || mode == SyncModeGoogleToMac) {
        info.googlePhotoChanged = google && !apple;
        info.googlePhotoVerifiedNotChanged = verify && !info.googlePhotoChanged;
    }
    if (mode == SyncModeTwoWay || mode == SyncModeMacToGoogle) {
        info.applePhotoChanged = apple && !google;
        info.applePhotoVerifiedNotChanged = verify && !info.applePhotoChanged;
    }
    info.photoStateFound = verify && apple == google;
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
            if (in.syncPhotos) carryPhotoOnOneSide(in, info, false);
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
        // The contact had a partner. Only one gone from its side was deleted: one still there is
        // left out of this run or paired with another contact.
        if (in.partnerExists && in.partnerExists()) {
            info.counterpartElsewhere = true;
            return info;
        }
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
        // Always read: update dates have whole seconds, so two writes within one second carry the
        // same date (an unchanged entry's digest is the kept list's, read without parsing).
        info.googleContactChanged = in.googleContentDigest() != *r.googleContentDigest;
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

    // A photo is content of its own: added, changed or removed on a side since the last sync is
    // a change of that side, whatever else changed. The provider shows it in the photo link's
    // ETag (an ETag still pending after an upload tells nothing); the local side by the photo's
    // size and digest. A record of an older run keeps no photo digest: its size is the baseline.
    info.historyLacksPhotoDigest = !r.applePhotoDigest;
    info.previousApplePhotoDigest = r.applePhotoDigest;
    // A photo is in step in the history only once it is on both sides (an ETag still pending
    // follows a photo sent, so the record is of one on both sides).
    info.historyLacksPhotoState = !r.googleETagPendingAssignment && (r.appleImageSize > 0) != hasText(r.googleETag);
    if (in.syncPhotos && info.historyLacksPhotoState) {
        carryPhotoOnOneSide(in, info, true);
    } else if (in.syncPhotos) {
        if ((mode == SyncModeTwoWay || mode == SyncModeGoogleToMac) && !r.googleETagPendingAssignment) {
            const bool changed = textsDiffer(r.googleETag, in.googlePhotoETag);
            info.googlePhotoChanged = changed;
            info.googlePhotoVerifiedNotChanged = !changed;
        }
        if (mode == SyncModeTwoWay || mode == SyncModeMacToGoogle) {
            const int32_t s = in.applePhotoSize ? in.applePhotoSize() : 0;
            bool changed = s != r.appleImageSize;
            if (!changed && s > 0 && r.applePhotoDigest && in.applePhotoDigest) {
                const auto digest = in.applePhotoDigest();
                changed = digest && *digest != *r.applePhotoDigest;
            }
            info.applePhotoChanged = changed;
            info.applePhotoVerifiedNotChanged = !changed;
            info.applePhotoUnverified = !changed && s > 0 && !r.applePhotoDigest && !info.googlePhotoChanged &&
                                        !r.googleETagPendingAssignment && in.googlePhotoETag && !in.googlePhotoETag->empty();
        }
    }

    // What the last run left on each side. A record of an older run keeps none: a side unchanged
    // since holds it still, and a changed one is judged without it.
    auto base = std::make_shared<FieldMergeBase>();
    if (r.appleFieldValues) base->apple = FieldValues::decode(*r.appleFieldValues);
    if (r.googleFieldValues) base->google = FieldValues::decode(*r.googleFieldValues);
    base->appleUnchanged = !info.appleContactChanged;
    base->googleUnchanged = !info.googleContactChanged;
    base->appleGroupsUnchanged = !info.appleGroupsChanged;
    base->googleGroupsUnchanged = !info.googleGroupsChanged;
    info.historyLacksFieldValues = !base->recorded();
    // The last run left the sides holding different values (kept apart, or lossy).
    const bool apart = base->apple && base->google && !(*base->apple == *base->google);
    info.fieldBase = std::move(base);

    // Merging is of the texts: a photo, which moves on its own, makes no merge.
    const bool googleSide = info.googleContactChanged || info.googleGroupsChanged;
    const bool appleSide = info.appleContactChanged || info.appleGroupsChanged;
    // A pair in step carries a change made on one side as it was made, removals included: it
    // merges only where what it merges may still be wanted, that is where both sides changed, or
    // the destination of a one-way run changed, or the last run left the two sides holding
    // different values (previouslyMerged: a one-way merge kept values only the destination has;
    // or values kept apart where the history could not tell which side removed them), which a
    // replace would lose.
    switch (mode) {
        case SyncModeTwoWay:
            info.mergeContacts = in.mergeContacts_2Way && ((googleSide && appleSide) || r.previouslyMerged || apart);
            break;
        case SyncModeGoogleToMac: info.mergeContacts = in.mergeContacts_1Way && (appleSide || r.previouslyMerged || apart); break;
        case SyncModeMacToGoogle: info.mergeContacts = in.mergeContacts_1Way && (googleSide || r.previouslyMerged || apart); break;
        default: break;
    }
    return info;
}

}  // namespace quorvane
