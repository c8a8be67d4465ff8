#include "sync/FieldValues.h"

#include <algorithm>

#include "platform/foundation/Strings.h"

namespace quorvane {

namespace {

constexpr uint64_t kOffsetBasis = 14695981039346656037ull;
constexpr uint64_t kPrime = 1099511628211ull;

uint32_t digest(std::string_view text) {
    uint64_t h = kOffsetBasis;
    for (unsigned char c : text) h = (h ^ c) * kPrime;
    return uint32_t(h ^ (h >> 32));
}

// Trimmed and case-folded; empty for a blank text.
std::string folded(const std::optional<std::string>& text) {
    if (!text || text->empty()) return {};
    return platform::caseFold(platform::trimWhitespace(*text));
}

bool isPhoneDecoration(char32_t c) {
    return c == '(' || c == ')' || c == '.' || c == '-' || c == ' ' || c == '\t' || c == '\n' || c == '\r' ||
           c == 0xA0 || c == 0x2007 || c == 0x202F || (c >= 0x2000 && c <= 0x200A) || c == 0x3000;
}

}  // namespace

void FieldValues::push(size_t slot, uint32_t key) {
    keys_.insert(keys_.begin() + ends_[slot], key);
    for (size_t f = slot; f < kSlots; ++f) ++ends_[f];
}

void FieldValues::add(MergeField field, const ValueKeys& value) {
    if (!value.id) return;
    push(size_t(field), *value.id);
    if (value.version) push(kVersions + size_t(field), *value.version);
    if (value.older) {
        push(kOlder + size_t(field), *value.older);
        olderByKey_.emplace_back(uint64_t(field) << 32 | *value.id, *value.older);
    }
    versionsKnown_ = true;
}

void FieldValues::finish() {
    for (size_t f = 0; f < kSlots; ++f) std::sort(keys_.begin() + begin(f), keys_.begin() + ends_[f]);
    std::sort(olderByKey_.begin(), olderByKey_.end());
}

bool FieldValues::contains(std::span<const uint32_t> sorted, uint32_t key) {
    return std::binary_search(sorted.begin(), sorted.end(), key);
}

bool FieldValues::has(MergeField field, uint32_t key) const { return contains(of(field), key); }

std::optional<uint32_t> FieldValues::olderOf(MergeField field, uint32_t key) const {
    const uint64_t at = uint64_t(field) << 32 | key;
    auto it = std::lower_bound(olderByKey_.begin(), olderByKey_.end(), std::pair<uint64_t, uint32_t>(at, 0));
    if (it == olderByKey_.end() || it->first != at) return std::nullopt;
    return it->second;
}

namespace {

// The number a field is stored under. IMs and social profiles were first recorded by their user
// names alone, and postal addresses by street, city and postal code alone, under their field
// numbers; by their whole identity they are stored under numbers of their own, so that those
// older records are read as unknown for them (and an older release reading these takes the record
// for one without values). Without any, both rules record the same.
constexpr uint32_t kIMsByService = kMergeFieldCount, kSocialProfilesByService = kMergeFieldCount + 1,
                   kAddressesWhole = kMergeFieldCount + 2;
// A field's versions are stored under its number plus kVersionsStored, after every identity;
// kVersionsKept says the record kept versions (of every field, also of those without values).
// Releases that kept none read such a record as one without values.
constexpr uint32_t kVersionsStored = 0x40, kVersionsKept = 0x7f;

uint32_t storedNumber(MergeField field) {
    if (field == MergeField::IMs) return kIMsByService;
    if (field == MergeField::SocialProfiles) return kSocialProfilesByService;
    if (field == MergeField::Addresses) return kAddressesWhole;
    return uint32_t(field);
}

}  // namespace

bool FieldValues::whole() const {
    for (size_t f = 0; f < kMergeFieldCount; ++f)
        if (!known(MergeField(f))) return false;
    return true;
}

std::string FieldValues::encode() const {
    std::string out;
    auto put = [&](uint32_t n, int bytes) {
        for (int i = 0; i < bytes; ++i) out.push_back(char(uint8_t(n >> (8 * i))));
    };
    for (size_t f = 0; f < kMergeFieldCount; ++f) {
        if (!count(f) && !(MergeField(f) == MergeField::Groups && known(MergeField::Groups))) continue;
        put(storedNumber(MergeField(f)), 1);
        put(uint32_t(count(f)), 2);
        for (uint32_t key : of(MergeField(f))) put(key, 4);
    }
    if (!versionsKnown_) return out;
    for (size_t f = 0; f < kMergeFieldCount; ++f) {
        const auto versions = versionsOf(MergeField(f));
        if (versions.empty()) continue;
        put(kVersionsStored + uint32_t(f), 1);
        put(uint32_t(versions.size()), 2);
        for (uint32_t key : versions) put(key, 4);
    }
    put(kVersionsKept, 1);
    put(0, 2);
    return out;
}

std::optional<FieldValues> FieldValues::decode(std::string_view bytes) {
    FieldValues values;
    size_t at = 0;
    auto get = [&](int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v |= uint32_t(uint8_t(bytes[at + i])) << (8 * i);
        at += n;
        return v;
    };
    while (at < bytes.size()) {
        if (bytes.size() - at < 3) return std::nullopt;
        uint32_t field = get(1);
        const uint32_t count = get(2);
        if (bytes.size() - at < size_t(count) * 4) return std::nullopt;
        if (field == uint32_t(MergeField::IMs) || field == uint32_t(MergeField::SocialProfiles) ||
            field == uint32_t(MergeField::Addresses)) {
            // Recorded by the older rule: kept apart, the field unknown by the newer one.
            if (values.olderKnown(MergeField(field))) return std::nullopt;
            values.know(MergeField(field), false);
            values.olderKnown_ |= uint32_t(1) << field;
            for (uint32_t i = 0; i < count; ++i) values.push(kOlder + field, get(4));
            continue;
        }
        if (field == kVersionsKept) {
            if (count || values.versionsKnown_) return std::nullopt;
            values.versionsKnown_ = true;
            continue;
        }
        if (field >= kVersionsStored && field < kVersionsStored + kMergeFieldCount) {
            const size_t slot = kVersions + (field - kVersionsStored);
            if (values.count(slot)) return std::nullopt;
            for (uint32_t i = 0; i < count; ++i) values.push(slot, get(4));
            continue;
        }
        if (field == kIMsByService) field = uint32_t(MergeField::IMs);
        else if (field == kSocialProfilesByService) field = uint32_t(MergeField::SocialProfiles);
        else if (field == kAddressesWhole) field = uint32_t(MergeField::Addresses);
        if (field >= kMergeFieldCount || values.count(field) || (MergeField(field) == MergeField::Groups && values.known(MergeField::Groups)))
            return std::nullopt;
        values.keys_.reserve(values.keys_.size() + count);
        for (uint32_t i = 0; i < count; ++i) values.push(field, get(4));
        if (MergeField(field) == MergeField::Groups) values.knowGroups();
    }
    values.finish();
    return values;
}

std::optional<uint32_t> textKey(const std::optional<std::string>& text) {
    const std::string f = folded(text);
    if (f.empty()) return std::nullopt;
    return digest(f);
}

std::optional<uint32_t> phoneKey(const std::optional<std::string>& number) {
    if (!number) return std::nullopt;
    std::string stripped;
    for (char32_t c : platform::codePoints(*number))
        if (!isPhoneDecoration(c)) platform::appendUTF8(stripped, c);
    if (stripped.empty()) return std::nullopt;
    return digest(platform::caseFold(stripped));
}

std::optional<uint32_t> partsKey(std::initializer_list<std::optional<std::string>> parts) {
    std::string joined;
    bool any = false;
    for (const auto& part : parts) {
        const std::string f = folded(part);
        any = any || !f.empty();
        joined += f;
        joined += '\x1f';
    }
    if (!any) return std::nullopt;
    return digest(joined);
}

std::optional<uint32_t> dayKey(const std::optional<platform::DateComponents>& day) {
    if (!day || !platform::DateComponents::isSet(day->month) || !platform::DateComponents::isSet(day->day))
        return std::nullopt;
    const bool noYear = !platform::DateComponents::isSet(day->year) || day->year == 1604;
    return digest(std::to_string(noYear ? 0 : day->year) + "-" + std::to_string(day->month) + "-" +
                  std::to_string(day->day));
}

std::optional<bool> FieldMergeBase::held(bool local, MergeField field, uint32_t key, bool holdsNow,
                                         std::optional<uint32_t> older, bool holdsOlderNow) const {
    const auto& base = local ? apple : google;
    if (base && base->known(field)) return base->has(field, key);
    const bool unchanged = field == MergeField::Groups ? (local ? appleGroupsUnchanged : googleGroupsUnchanged)
                                                       : (local ? appleUnchanged : googleUnchanged);
    if (unchanged) return holdsNow;
    // By the older rule: a value of an older identity the side did not hold was not there; one of
    // an older identity it held and holds in no form now is gone. A value held now in a form the
    // older rule cannot tell from the one held then counts as held, so it is never removed nor
    // copied over the other side's form of it.
    if (base && older && base->olderKnown(field)) {
        if (!base->hasOlder(field, *older)) return false;
        if (holdsNow || !holdsOlderNow) return true;
    }
    return std::nullopt;
}

std::optional<bool> FieldMergeBase::heldVersion(bool local, MergeField field, uint32_t version, bool holdsNow) const {
    const auto& base = local ? apple : google;
    if (base && base->versionsKnown() && base->known(field)) return base->hasVersion(field, version);
    if (local ? appleUnchanged : googleUnchanged) return holdsNow;
    return std::nullopt;
}

namespace {

// A value one side holds alone: dropped where the other side held it (removed there since),
// copied where neither side held it (added here since), left where it is otherwise.
ValueFate fateOf(std::optional<bool> otherHeld, std::optional<bool> hereHeld) {
    if (otherHeld == true) return ValueFate::Drop;
    if (otherHeld == false && hereHeld != true) return ValueFate::Copy;
    return ValueFate::Keep;
}

}  // namespace

ValueFate FieldMergeBase::fate(bool local, MergeField field, uint32_t key, std::optional<uint32_t> older,
                               bool otherHoldsOlderNow) const {
    return fateOf(held(!local, field, key, false, older, otherHoldsOlderNow), held(local, field, key, true, older, true));
}

ValueFate FieldMergeBase::versionFate(bool local, MergeField field, uint32_t version) const {
    return fateOf(heldVersion(!local, field, version, false), heldVersion(local, field, version, true));
}

SingleFate FieldMergeBase::single(bool sourceLocal, MergeField field, std::optional<uint32_t> source,
                                  std::optional<uint32_t> destination) const {
    if (source == destination) return SingleFate::Default;
    if (source && destination) {
        // The source's value wins where the source changed the field; the destination's stays
        // where only the destination did (or neither did: a value one side cannot hold exactly).
        return held(sourceLocal, field, *source, true) == true ? SingleFate::Keep : SingleFate::Write;
    }
    if (source) return fate(sourceLocal, field, *source) == ValueFate::Copy ? SingleFate::Write : SingleFate::Keep;
    return fate(!sourceLocal, field, *destination) == ValueFate::Drop ? SingleFate::Clear : SingleFate::Keep;
}

FieldValues FieldMergeBase::nextBase(const FieldValues& side, const FieldValues& other, const FieldMergeBase* base,
                                     bool local) {
    FieldValues next;
    next.versionsKnown_ = true;
    // Each distinct key of a sorted list once.
    auto distinct = [](std::span<const uint32_t> keys, auto each) {
        for (size_t i = 0; i < keys.size(); ++i)
            if (i == 0 || keys[i] != keys[i - 1]) each(keys[i]);
    };
    for (size_t f = 0; f < kMergeFieldCount; ++f) {
        const auto field = MergeField(f);
        if (field == MergeField::Groups) {
            next.knowGroups();  // where both sides know them; else none on either side (an account without groups)
            if (!(side.known(field) && other.known(field))) continue;
        }
        for (uint32_t key : side.of(field)) {
            if (other.has(field, key)) {
                next.push(f, key);
                continue;
            }
            // Alone on this side: kept apart when it was so at the last run, or carried later
            // when it was added since.
            const auto wasHeld = base ? base->held(local, field, key, true, side.olderOf(field, key), true)
                                      : std::optional<bool>(false);
            if (wasHeld != false) next.push(f, key);
        }
        // Removed here since and still held there: kept, so that the next merge removes it there.
        if (base) {
            distinct(other.of(field), [&](uint32_t key) {
                if (side.has(field, key)) return;
                const auto older = other.olderOf(field, key);
                if (base->held(local, field, key, false, older, older && side.hasOlder(field, *older)) == true) next.push(f, key);
            });
        }
        // Versions alike: a label changed here and not carried is left out (the next merge carries
        // it), the label this side held that the other still holds is kept.
        for (uint32_t version : side.versionsOf(field)) {
            if (other.hasVersion(field, version) ||
                (base ? base->heldVersion(local, field, version, true) : std::optional<bool>(false)) != false)
                next.push(FieldValues::kVersions + f, version);
        }
        if (base) {
            distinct(other.versionsOf(field), [&](uint32_t version) {
                if (!side.hasVersion(field, version) && base->heldVersion(local, field, version, false) == true)
                    next.push(FieldValues::kVersions + f, version);
            });
        }
    }
    next.finish();
    return next;
}

}  // namespace quorvane
