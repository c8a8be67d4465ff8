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

void FieldValues::push(size_t field, uint32_t key) {
    keys_.insert(keys_.begin() + ends_[field], key);
    for (size_t f = field; f < kMergeFieldCount; ++f) ++ends_[f];
}

void FieldValues::finish() {
    for (size_t f = 0; f < kMergeFieldCount; ++f) std::sort(keys_.begin() + begin(f), keys_.begin() + ends_[f]);
}

bool FieldValues::has(MergeField field, uint32_t key) const {
    const auto v = of(field);
    return std::binary_search(v.begin(), v.end(), key);
}

namespace {

// The number a field is stored under. IMs and social profiles were first recorded by their user
// names alone, and postal addresses by street, city and postal code alone, under their field
// numbers; by their whole identity they are stored under numbers of their own, so that those
// older records are read as unknown for them (and an older release reading these takes the record
// for one without values). Without any, both rules record the same.
constexpr uint32_t kIMsByService = kMergeFieldCount, kSocialProfilesByService = kMergeFieldCount + 1,
                   kAddressesWhole = kMergeFieldCount + 2;

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
            values.know(MergeField(field), false);  // recorded by the older rule
            at += size_t(count) * 4;
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

std::optional<bool> FieldMergeBase::held(bool local, MergeField field, uint32_t key, bool holdsNow) const {
    const auto& base = local ? apple : google;
    if (base && base->known(field)) return base->has(field, key);
    const bool unchanged = field == MergeField::Groups ? (local ? appleGroupsUnchanged : googleGroupsUnchanged)
                                                       : (local ? appleUnchanged : googleUnchanged);
    if (unchanged) return holdsNow;
    return std::nullopt;
}

ValueFate FieldMergeBase::fate(bool local, MergeField field, uint32_t key) const {
    const auto otherHeld = held(!local, field, key, false);
    if (otherHeld == true) return ValueFate::Drop;  // removed there since
    if (otherHeld == false && held(local, field, key, true) != true) return ValueFate::Copy;  // added here since
    return ValueFate::Keep;
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
    const std::optional<FieldValues>* old = base ? &(local ? base->apple : base->google) : nullptr;
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
            const auto wasHeld = base ? base->held(local, field, key, true) : std::optional<bool>(false);
            if (wasHeld != false) next.push(f, key);
        }
        if (old && *old) {
            for (uint32_t key : (**old).of(field))
                if (!side.has(field, key) && other.has(field, key)) next.push(f, key);
        }
    }
    next.finish();
    return next;
}

}  // namespace quorvane
