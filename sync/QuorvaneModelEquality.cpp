// Tolerant comparisons of names, identifiers, phone numbers, name lists and dates.

#include <unordered_set>

#include "sync/QuorvaneModel.h"

namespace quorvane {

namespace {

bool isBlank(QuorvaneModel& model, const std::optional<std::string>& s) {
    return !s || s->empty() || model.stringEffectivelyEmptyWithString(s);
}

}  // namespace

bool QuorvaneModel::stringsDifferWithString1(const std::optional<std::string>& s1, const std::optional<std::string>& s2) {
    const bool blank1 = isBlank(*this, s1);
    const bool blank2 = isBlank(*this, s2);
    if (blank1 && blank2) return false;
    if (blank1 != blank2) return true;
    if (platform::utf16Length(*s1) != platform::utf16Length(*s2)) return true;
    return !platform::equalsIgnoringCase(*s1, *s2);
}

bool QuorvaneModel::stringsEqualWithString1(const std::optional<std::string>& s1, const std::optional<std::string>& s2) {
    return !stringsDifferWithString1(s1, s2);
}

bool QuorvaneModel::stringEffectivelyEmptyWithString(const std::optional<std::string>& s) {
    if (!s || s->empty()) return true;
    auto trimmed = trimWhitespaceFromString(s);
    return !trimmed || trimmed->empty();
}

bool QuorvaneModel::phoneNumbersEqualWithString1(const std::optional<std::string>& s1,
                                                 const std::optional<std::string>& s2) {
    if (!mDecorativePhoneNumberCharacterSet) {
        mDecorativePhoneNumberCharacterSet =
            platform::CharacterSet::withCharacters(U"().-").united(platform::CharacterSet::whitespace());
    }
    const auto& decorative = *mDecorativePhoneNumberCharacterSet;
    auto strip = [&](const std::optional<std::string>& s) -> std::optional<std::string> {
        if (!s) return std::nullopt;
        std::string out;
        out.reserve(s->size());
        for (char32_t cp : platform::codePoints(*s)) {
            if (!decorative.contains(cp)) platform::appendUTF8(out, cp);
        }
        return out;
    };
    return stringsEqualWithString1(strip(s1), strip(s2));
}

std::vector<std::string> QuorvaneModel::combineStringArraysWithArray1(const std::vector<std::string>& a1,
                                                                      const std::vector<std::string>& a2) {
    std::vector<std::string> result;
    std::unordered_set<std::string> seen;
    for (const auto* list : {&a1, &a2}) {
        for (const auto& s : *list) {
            if (seen.insert(platform::lowercase(s)).second) result.push_back(s);
        }
    }
    return result;
}

float QuorvaneModel::getDateDifferenceWithDate1(const std::optional<platform::Date>& d1,
                                                const std::optional<platform::Date>& d2) {
    if (!d1 || !d2) return 0.0f;
    return static_cast<float>(d2->timeIntervalSince(*d1));
}

}  // namespace quorvane
