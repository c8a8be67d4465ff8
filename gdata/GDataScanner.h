#pragma once
// Small scanning steps over UTF-8 text, shared by the date-time parser and the utilities.
// Each step either succeeds and moves the position past what it read, or fails and leaves
// the position where it was.

#include <cstdint>
#include <limits>
#include <string_view>

#include "platform/foundation/Strings.h"

namespace quorvane::gdata_scan {

// Decodes the code point at pos; sets len to its byte length (ill-formed bytes count as one).
char32_t codePointAt(std::string_view s, size_t pos, size_t& len);

// Moves pos past white space and newlines (Unicode Zs, tab, U+000A-U+000D, U+0085, U+2028, U+2029).
void skipWhitespace(std::string_view s, size_t& pos);

// Moves pos past the characters found in the ASCII set.
inline void skipCharacters(std::string_view s, size_t& pos, std::string_view set) {
    while (pos < s.size() && set.find(s[pos]) != std::string_view::npos) ++pos;
}

// Reads one or more characters of the ASCII set into out.
inline bool scanCharacters(std::string_view s, size_t& pos, std::string_view set, std::string_view* out = nullptr) {
    size_t start = pos;
    skipCharacters(s, pos, set);
    if (pos == start) return false;
    if (out) *out = s.substr(start, pos - start);
    return true;
}

enum class Overflow { Fail, Clamp };

// An optional sign and decimal digits. On overflow the step fails, or gives the largest or
// smallest 64-bit value.
bool scanInteger(std::string_view s, size_t& pos, int64_t& out, Overflow overflow);

// An optional sign, digits with an optional fraction, and an optional exponent, read in
// single precision.
bool scanFloat(std::string_view s, size_t& pos, float& out);
// The same, in double precision.
bool scanDouble(std::string_view s, size_t& pos, double& out);

}  // namespace quorvane::gdata_scan
