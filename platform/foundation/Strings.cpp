#include "platform/foundation/Strings.h"
#include "platform/foundation/PrintableText.h"
#include "platform/foundation/Secrets.h"

#include <cstdio>

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <memory>
#include <optional>
#include <mutex>

namespace quorvane::platform {

std::u16string toUTF16(std::string_view utf8) {
    auto u = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), int32_t(utf8.size())));
    return std::u16string(reinterpret_cast<const char16_t*>(u.getBuffer()), size_t(u.length()));
}

std::string fromUTF16(std::u16string_view utf16) {
    icu::UnicodeString u(utf16.data(), int32_t(utf16.size()));
    std::string out;
    u.toUTF8String(out);
    return out;
}

std::vector<char32_t> codePoints(std::string_view s) {
    std::vector<char32_t> out;
    out.reserve(s.size());
    int32_t i = 0, n = int32_t(s.size());
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    while (i < n) {
        UChar32 c;
        U8_NEXT(p, i, n, c);
        out.push_back(c < 0 ? 0xFFFD : char32_t(c));
    }
    return out;
}

void appendUTF8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

size_t utf16Length(std::string_view s) {
    size_t units = 0;
    int32_t i = 0, n = int32_t(s.size());
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    while (i < n) {
        UChar32 c;
        U8_NEXT(p, i, n, c);
        units += (c >= 0x10000) ? 2 : 1;
    }
    return units;
}

std::string utf16Prefix(std::string_view s, size_t maxUnits) {
    size_t units = 0;
    int32_t i = 0, n = int32_t(s.size());
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    while (i < n) {
        int32_t start = i;
        UChar32 c;
        U8_NEXT(p, i, n, c);
        size_t w = (c >= 0x10000) ? 2 : 1;
        if (units + w > maxUnits) return std::string(s.substr(0, size_t(start)));
        units += w;
    }
    return std::string(s);
}

bool isValidUTF8(std::string_view s) {
    int32_t i = 0, n = int32_t(s.size());
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    while (i < n) {
        UChar32 c;
        U8_NEXT(p, i, n, c);
        if (c < 0) return false;
    }
    return true;
}

namespace {
icu::UnicodeString uni(std::string_view s) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), int32_t(s.size())));
}
std::string utf8(const icu::UnicodeString& u) {
    std::string out;
    u.toUTF8String(out);
    return out;
}
}  // namespace

namespace {
// ASCII text lowers (and folds) letter by letter: only A-Z change, to a-z, except the I of the
// Turkic languages, which lowers to a dotless i. Nullopt for text this does not cover.
std::optional<std::string> asciiLowered(std::string_view s, bool byLocale) {
    std::string out(s);
    bool capitalI = false;
    for (char& c : out) {
        if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
        if (c >= 'A' && c <= 'Z') {
            capitalI = capitalI || c == 'I';
            c = char(c - 'A' + 'a');
        }
    }
    if (capitalI && byLocale) {
        const std::string_view language = icu::Locale::getDefault().getLanguage();
        if (language == "tr" || language == "az") return std::nullopt;
    }
    return out;
}
}  // namespace

std::string lowercase(std::string_view s) {
    if (auto ascii = asciiLowered(s, true)) return std::move(*ascii);
    return utf8(uni(s).toLower());
}
std::string uppercase(std::string_view s) { return utf8(uni(s).toUpper()); }
std::string caseFold(std::string_view s) {
    if (auto ascii = asciiLowered(s, false)) return std::move(*ascii);
    return utf8(uni(s).foldCase());
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a == b) return true;
    return uni(a).caseCompare(uni(b), U_FOLD_CASE_DEFAULT) == 0;
}

int compareIgnoringCase(std::string_view a, std::string_view b) {
    int r = uni(a).caseCompare(uni(b), U_FOLD_CASE_DEFAULT);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int localizedCompareIgnoringCase(std::string_view a, std::string_view b) {
    // A collator is not thread-safe for configuration but compare() is const and safe; one per thread
    // keeps it simple.
    thread_local std::unique_ptr<icu::Collator> collator = [] {
        UErrorCode status = U_ZERO_ERROR;
        // The POSIX locale (no LANG set) collates by code point; the root order is what a user expects.
        icu::Locale locale = icu::Locale::getDefault();
        if (std::string_view(locale.getVariant()) == "POSIX" || std::string_view(locale.getName()).empty())
            locale = icu::Locale::getRoot();
        std::unique_ptr<icu::Collator> c(icu::Collator::createInstance(locale, status));
        if (U_FAILURE(status) || !c) {
            status = U_ZERO_ERROR;
            c.reset(icu::Collator::createInstance(icu::Locale::getRoot(), status));
        }
        if (c) c->setStrength(icu::Collator::SECONDARY);
        return c;
    }();
    if (!collator) return compareIgnoringCase(a, b);
    UErrorCode status = U_ZERO_ERROR;
    auto r = collator->compareUTF8(icu::StringPiece(a.data(), int32_t(a.size())),
                                   icu::StringPiece(b.data(), int32_t(b.size())), status);
    if (U_FAILURE(status)) return compareIgnoringCase(a, b);
    return r == UCOL_LESS ? -1 : (r == UCOL_GREATER ? 1 : 0);
}

bool hasPrefixIgnoringCase(std::string_view text, std::string_view prefix) {
    auto t = uni(caseFold(text));
    auto p = uni(caseFold(prefix));
    return t.startsWith(p);
}

CharacterSet CharacterSet::inverted() const {
    auto p = pred_;
    return CharacterSet([p](char32_t c) { return !p(c); });
}

CharacterSet CharacterSet::united(const CharacterSet& other) const {
    auto a = pred_;
    auto b = other.pred_;
    return CharacterSet([a, b](char32_t c) { return a(c) || b(c); });
}

CharacterSet CharacterSet::withCharacters(std::u32string_view chars) {
    std::u32string set(chars);
    return CharacterSet([set](char32_t c) { return set.find(c) != std::u32string::npos; });
}

const CharacterSet& CharacterSet::whitespace() {
    static const CharacterSet set([](char32_t c) { return c == U'\t' || u_charType(UChar32(c)) == U_SPACE_SEPARATOR; });
    return set;
}

const CharacterSet& CharacterSet::newline() {
    static const CharacterSet set([](char32_t c) {
        return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
    });
    return set;
}

const CharacterSet& CharacterSet::whitespaceAndNewline() {
    static const CharacterSet set = whitespace().united(newline());
    return set;
}

const CharacterSet& CharacterSet::control() {
    static const CharacterSet set([](char32_t c) {
        auto t = u_charType(UChar32(c));
        return t == U_CONTROL_CHAR || t == U_FORMAT_CHAR;
    });
    return set;
}

std::string trim(std::string_view s, const CharacterSet& set) {
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    int32_t n = int32_t(s.size());
    int32_t start = 0;
    while (start < n) {
        int32_t i = start;
        UChar32 c;
        U8_NEXT(p, i, n, c);
        if (c < 0 || !set.contains(char32_t(c))) break;
        start = i;
    }
    int32_t end = n;
    while (end > start) {
        int32_t i = end;
        UChar32 c;
        U8_PREV(p, start, i, c);
        if (c < 0 || !set.contains(char32_t(c))) break;
        end = i;
    }
    return std::string(s.substr(size_t(start), size_t(end - start)));
}

bool isBlank(std::string_view s) { return trimWhitespace(s).empty(); }

std::vector<std::string> split(std::string_view text, std::string_view sep) {
    std::vector<std::string> out;
    if (sep.empty()) {
        out.emplace_back(text);
        return out;
    }
    size_t pos = 0;
    while (true) {
        size_t next = text.find(sep, pos);
        if (next == std::string_view::npos) {
            out.emplace_back(text.substr(pos));
            break;
        }
        out.emplace_back(text.substr(pos, next - pos));
        pos = next + sep.size();
    }
    return out;
}

std::string join(const std::vector<std::string>& parts, std::string_view sep) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += sep;
        out += parts[i];
    }
    return out;
}

bool hasPrefix(std::string_view t, std::string_view p) { return t.substr(0, p.size()) == p; }
bool hasSuffix(std::string_view t, std::string_view s) {
    return t.size() >= s.size() && t.substr(t.size() - s.size()) == s;
}

std::string replaceAll(std::string_view text, std::string_view from, std::string_view to) {
    if (from.empty()) return std::string(text);
    std::string out;
    size_t pos = 0;
    while (true) {
        size_t next = text.find(from, pos);
        if (next == std::string_view::npos) break;
        out.append(text.substr(pos, next - pos));
        out.append(to);
        pos = next + from.size();
    }
    out.append(text.substr(pos));
    return out;
}

std::string asciiLower(std::string_view t) {
    std::string out(t);
    for (auto& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

bool asciiEqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string addressText(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

namespace {

// A character as "\\uNNNN": readable, and within a JSON string the same character again.
void appendEscaped(std::string& out, uint32_t code) {
    static const char hex[] = "0123456789ABCDEF";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += hex[(code >> shift) & 15];
}

bool isHiddenFormatCharacter(UChar32 c) {
    return c == 0x061C || (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
           (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF;
}

}  // namespace

std::string printableText(std::string_view original, TextBreaks keep, TextSecrets secrets) {
    // Secrets first: what a server echoed of them is gone before anything is shown.
    const std::string redacted = secrets == TextSecrets::Redact ? redactSecrets(original) : std::string(original);
    const std::string_view text = redacted;
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const int32_t n = int32_t(text.size());
    for (int32_t i = 0; i < n;) {
        // A run of printable ASCII is kept whole: nothing in it is escaped.
        int32_t plain = i;
        while (plain < n && p[plain] >= 0x20 && p[plain] < 0x7F) ++plain;
        if (plain > i) {
            out.append(text.substr(size_t(i), size_t(plain - i)));
            i = plain;
            continue;
        }
        const int32_t start = i;
        UChar32 c;
        U8_NEXT(p, i, n, c);
        if (c < 0) {
            out += "\xEF\xBF\xBD";  // bytes that are no UTF-8: the replacement character
        } else if (c == '\n' ? keep != TextBreaks::Keep
                   : c == '\t' ? keep == TextBreaks::Escape
                               : c < 0x20 || (c >= 0x7F && c < 0xA0) || isHiddenFormatCharacter(c)) {
            appendEscaped(out, uint32_t(c));
        } else {
            out.append(text.substr(size_t(start), size_t(i - start)));
        }
    }
    return out;
}

std::string percentEncoded(std::string_view text, bool lowercaseHex) {
    const char* hex = lowercaseHex ? "0123456789abcdef" : "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace quorvane::platform
