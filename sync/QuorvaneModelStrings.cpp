// String helpers: truncation to the provider's limits, trimming, newline removal.

#include "sync/QuorvaneModel.h"

namespace quorvane {

std::optional<std::string> QuorvaneModel::truncateString(const std::optional<std::string>& s, int32_t maxLength) {
    if (!s) return std::nullopt;
    const size_t limit = maxLength > 0 ? static_cast<size_t>(maxLength) : 0;
    if (platform::utf16Length(*s) <= limit) return s;
    // A cut inside a surrogate pair would leave half a character: keep the pair out instead.
    std::string kept = platform::utf16Prefix(*s, limit);
    // The warning counts characters as a person does (an emoji is one), not the units of the limit.
    mTruncatedValues.emplace_back(platform::codePoints(*s).size(), platform::codePoints(kept).size());
    return kept;
}

std::optional<std::string> QuorvaneModel::truncateStringToDefaultMaxGoogleLength(const std::optional<std::string>& s) {
    return truncateString(s, kDefaultMaxGoogleLength);
}

std::optional<std::string> QuorvaneModel::trimWhitespaceFromString(const std::optional<std::string>& s) {
    if (!s) return std::nullopt;
    if (!mWhitespaceCharacterSet) {
        mWhitespaceCharacterSet =
            platform::CharacterSet::whitespaceAndNewline().united(platform::CharacterSet::control());
    }
    return platform::trim(*s, *mWhitespaceCharacterSet);
}

std::vector<std::string> QuorvaneModel::trimWhitespaceFromStringArray(const std::vector<std::string>& strings) {
    std::vector<std::string> result;
    result.reserve(strings.size());
    for (const auto& s : strings) result.push_back(*trimWhitespaceFromString(s));
    return result;
}

std::optional<std::string> QuorvaneModel::removeCarriageReturnsFromString(const std::optional<std::string>& s) {
    if (!s) return std::nullopt;
    if (!mCarriageReturnCharacterSet) mCarriageReturnCharacterSet = platform::CharacterSet::newline();
    const auto& newlines = *mCarriageReturnCharacterSet;
    std::string out;
    out.reserve(s->size());
    bool inRun = false;
    for (char32_t cp : platform::codePoints(*s)) {
        if (newlines.contains(cp)) {
            if (!inRun) out.push_back(' ');
            inRun = true;
        } else {
            platform::appendUTF8(out, cp);
            inRun = false;
        }
    }
    return out;
}

}  // namespace quorvane
