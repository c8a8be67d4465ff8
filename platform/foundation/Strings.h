#pragma once
// Text helpers over UTF-8 strings, with UTF-16 counting where the stored formats and limits
// count UTF-16 code units. Case and character classes come from ICU.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::platform {

// --- UTF-8 / UTF-16 ---
std::u16string toUTF16(std::string_view utf8);
std::string fromUTF16(std::u16string_view utf16);
// Number of UTF-16 code units of the text (an emoji outside the BMP counts 2).
size_t utf16Length(std::string_view utf8);
// The longest prefix of at most maxUnits UTF-16 units that does not split a surrogate pair.
std::string utf16Prefix(std::string_view utf8, size_t maxUnits);
// Whether the bytes are well-formed UTF-8.
bool isValidUTF8(std::string_view bytes);
// Decodes the code points of UTF-8 text (ill-formed bytes become U+FFFD).
std::vector<char32_t> codePoints(std::string_view utf8);
void appendUTF8(std::string& out, char32_t cp);

// --- case ---
std::string lowercase(std::string_view utf8);
std::string uppercase(std::string_view utf8);
std::string caseFold(std::string_view utf8);
// Equal after full Unicode case folding ("ÉLODIE" equals "élodie").
bool equalsIgnoringCase(std::string_view a, std::string_view b);
// Three-way comparison ignoring case, by code point after case folding (-1, 0, 1).
int compareIgnoringCase(std::string_view a, std::string_view b);
// Three-way comparison ignoring case, in the user's locale order (ICU collation, secondary strength).
int localizedCompareIgnoringCase(std::string_view a, std::string_view b);
bool hasPrefixIgnoringCase(std::string_view text, std::string_view prefix);

// --- character sets ---
class CharacterSet {
public:
    using Predicate = std::function<bool(char32_t)>;
    explicit CharacterSet(Predicate p) : pred_(std::move(p)) {}
    bool contains(char32_t cp) const { return pred_(cp); }
    CharacterSet inverted() const;
    CharacterSet united(const CharacterSet& other) const;

    static CharacterSet withCharacters(std::u32string_view chars);
    // Unicode general category Zs plus tab.
    static const CharacterSet& whitespace();
    // U+000A–U+000D, U+0085, U+2028, U+2029.
    static const CharacterSet& newline();
    static const CharacterSet& whitespaceAndNewline();
    // General categories Cc and Cf.
    static const CharacterSet& control();

private:
    Predicate pred_;
};

std::string trim(std::string_view utf8, const CharacterSet& set);
// Trims Unicode white space and newlines (NBSP, U+3000 included).
inline std::string trimWhitespace(std::string_view utf8) { return trim(utf8, CharacterSet::whitespaceAndNewline()); }
// Whether the text is empty or only white space and newlines.
bool isBlank(std::string_view utf8);

// --- plain helpers ---
std::vector<std::string> split(std::string_view text, std::string_view separator);
std::string join(const std::vector<std::string>& parts, std::string_view separator);
bool hasPrefix(std::string_view text, std::string_view prefix);
bool hasSuffix(std::string_view text, std::string_view suffix);
std::string replaceAll(std::string_view text, std::string_view from, std::string_view to);
// ASCII-only lower case, for protocol tokens (header names, schemes).
std::string asciiLower(std::string_view text);
bool asciiEqualsIgnoringCase(std::string_view a, std::string_view b);
// An object's address as descriptions print it ("0x55d0c3a1e2f0").
std::string addressText(const void* p);

// Every byte but the unreserved ASCII letters, digits and "-._~" as "%XX" (upper-case hex, or
// lower-case).
std::string percentEncoded(std::string_view text, bool lowercaseHex = false);

}  // namespace quorvane::platform
