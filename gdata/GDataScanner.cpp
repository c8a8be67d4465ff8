#include "gdata/GDataScanner.h"

#include <unicode/utf8.h>

#include <charconv>
#include <locale.h>
#include <stdlib.h>
#include <string>
#include <type_traits>

namespace quorvane::gdata_scan {

char32_t codePointAt(std::string_view s, size_t pos, size_t& len) {
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    int32_t i = int32_t(pos);
    int32_t n = int32_t(s.size());
    UChar32 c;
    U8_NEXT(p, i, n, c);
    len = size_t(i) - pos;
    if (len == 0) len = 1;
    return c < 0 ? char32_t(0xFFFD) : char32_t(c);
}

void skipWhitespace(std::string_view s, size_t& pos) {
    const auto& set = platform::CharacterSet::whitespaceAndNewline();
    while (pos < s.size()) {
        unsigned char b = static_cast<unsigned char>(s[pos]);
        if (b < 0x80) {
            if (!set.contains(char32_t(b))) return;
            ++pos;
            continue;
        }
        size_t len = 0;
        char32_t c = codePointAt(s, pos, len);
        if (c == 0xFFFD || !set.contains(c)) return;
        pos += len;
    }
}

namespace {
bool isDigit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

bool scanInteger(std::string_view s, size_t& pos, int64_t& out, Overflow overflow) {
    size_t i = pos;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    if (i >= s.size() || !isDigit(s[i])) return false;
    // Accumulate as a negative number so that the smallest value fits.
    int64_t value = 0;
    bool overflowed = false;
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    for (; i < s.size() && isDigit(s[i]); ++i) {
        int digit = s[i] - '0';
        if (overflowed) continue;
        if (value < (kMin + digit) / 10) {
            overflowed = true;
            continue;
        }
        value = value * 10 - digit;
    }
    if (!overflowed && !negative && value == kMin) overflowed = true;
    if (overflowed) {
        if (overflow == Overflow::Fail) return false;
        out = negative ? kMin : std::numeric_limits<int64_t>::max();
    } else {
        out = negative ? value : -value;
    }
    pos = i;
    return true;
}

namespace {

// The extent of a decimal number at pos: sign, digits with an optional fraction, an optional exponent.
bool numberExtent(std::string_view s, size_t pos, size_t& numberStart, size_t& end, bool& negative) {
    size_t i = pos;
    negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    numberStart = i;
    size_t digits = 0;
    while (i < s.size() && isDigit(s[i])) ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && isDigit(s[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
        if (j < s.size() && isDigit(s[j])) {
            while (j < s.size() && isDigit(s[j])) ++j;
            i = j;
        }
    }
    end = i;
    return true;
}

locale_t cLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t(0));
    return locale;
}

template <class F>
bool scanNumber(std::string_view s, size_t& pos, F& out) {
    size_t numberStart = 0, end = 0;
    bool negative = false;
    if (!numberExtent(s, pos, numberStart, end, negative)) return false;
    F value = 0;
    auto [stop, ec] = std::from_chars(s.data() + numberStart, s.data() + end, value, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // Too large gives infinity, too small gives zero (the C library's reading, in the C locale).
        std::string text(s.substr(numberStart, end - numberStart));
        if constexpr (std::is_same_v<F, float>)
            value = strtof_l(text.c_str(), nullptr, cLocale());
        else
            value = strtod_l(text.c_str(), nullptr, cLocale());
    } else if (ec != std::errc() || stop != s.data() + end) {
        return false;
    }
    out = negative ? -value : value;
    pos = end;
    return true;
}

}  // namespace

bool scanFloat(std::string_view s, size_t& pos, float& out) { return scanNumber(s, pos, out); }
bool scanDouble(std::string_view s, size_t& pos, double& out) { return scanNumber(s, pos, out); }

}  // namespace quorvane::gdata_scan
