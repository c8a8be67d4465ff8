#include "gdata/GDataUtilities.h"

#include <unicode/utf8.h>

#include <array>
#include <cmath>
#include <mutex>

#include "gdata/GDataScanner.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

namespace {

// The characters XML 1.0 does not allow in a document, removed from written text: the C0
// controls other than tab, line feed and carriage return, U+FFFE and U+FFFF, and surrogates
// (which UTF-8 can only carry unpaired, as the three bytes ED A0..BF 80..BF). Everything else
// stays, format characters included: joiners, direction marks and soft hyphens are part of
// names and notes.
bool isFilteredASCII(unsigned char b) { return b < 0x20 && b != '\t' && b != '\n' && b != '\r'; }

// Whether the character starting at pos is filtered; len is its length in bytes.
bool isFilteredAt(std::string_view s, size_t pos, size_t& len) {
    unsigned char b = static_cast<unsigned char>(s[pos]);
    if (b < 0x80) {
        len = 1;
        return isFilteredASCII(b);
    }
    auto byteAt = [&](size_t i) { return i < s.size() ? static_cast<unsigned char>(s[i]) : 0; };
    if (b == 0xED && byteAt(pos + 1) >= 0xA0 && byteAt(pos + 1) <= 0xBF && (byteAt(pos + 2) & 0xC0) == 0x80) {
        len = 3;
        return true;  // a surrogate
    }
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    int32_t i = int32_t(pos), n = int32_t(s.size());
    UChar32 c;
    U8_NEXT(p, i, n, c);
    len = size_t(i) - pos;
    if (len == 0) len = 1;
    return c == 0xFFFE || c == 0xFFFF;  // ill-formed bytes stay
}

constexpr char kHex[] = "0123456789ABCDEF";

void appendEscaped(std::string& out, unsigned char b) {
    out += '%';
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
}

bool isASCIIAlphanumeric(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Every character outside the allowed ASCII set is written as its UTF-8 bytes, each "%XX".
// All allowed characters are ASCII, so encoding byte by byte gives the same.
template <class Allowed>
std::string percentEncode(std::string_view str, Allowed allowed) {
    std::string out;
    out.reserve(str.size());
    for (char ch : str) {
        auto b = static_cast<unsigned char>(ch);
        if (allowed(b))
            out += ch;
        else
            appendEscaped(out, b);
    }
    return out;
}

struct MIMEType {
    std::string_view extension;
    std::string_view type;
};

// The usual types of the extensions an upload may carry.
constexpr std::array kMIMETypes = {
    MIMEType{"3gp", "video/3gpp"},
    MIMEType{"aac", "audio/aac"},
    MIMEType{"ai", "application/postscript"},
    MIMEType{"aif", "audio/aiff"},
    MIMEType{"aiff", "audio/aiff"},
    MIMEType{"atom", "application/atom+xml"},
    MIMEType{"avi", "video/avi"},
    MIMEType{"bmp", "image/bmp"},
    MIMEType{"css", "text/css"},
    MIMEType{"csv", "text/csv"},
    MIMEType{"doc", "application/msword"},
    MIMEType{"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    MIMEType{"eps", "application/postscript"},
    MIMEType{"flac", "audio/flac"},
    MIMEType{"gif", "image/gif"},
    MIMEType{"gz", "application/x-gzip"},
    MIMEType{"heic", "image/heic"},
    MIMEType{"htm", "text/html"},
    MIMEType{"html", "text/html"},
    MIMEType{"ico", "image/vnd.microsoft.icon"},
    MIMEType{"ics", "text/calendar"},
    MIMEType{"jpe", "image/jpeg"},
    MIMEType{"jpeg", "image/jpeg"},
    MIMEType{"jpg", "image/jpeg"},
    MIMEType{"js", "text/javascript"},
    MIMEType{"json", "application/json"},
    MIMEType{"kml", "application/vnd.google-earth.kml+xml"},
    MIMEType{"kmz", "application/vnd.google-earth.kmz"},
    MIMEType{"m4a", "audio/x-m4a"},
    MIMEType{"m4v", "video/x-m4v"},
    MIMEType{"mov", "video/quicktime"},
    MIMEType{"mp3", "audio/mpeg"},
    MIMEType{"mp4", "video/mp4"},
    MIMEType{"mpeg", "video/mpeg"},
    MIMEType{"mpg", "video/mpeg"},
    MIMEType{"odp", "application/vnd.oasis.opendocument.presentation"},
    MIMEType{"ods", "application/vnd.oasis.opendocument.spreadsheet"},
    MIMEType{"odt", "application/vnd.oasis.opendocument.text"},
    MIMEType{"ogg", "audio/ogg"},
    MIMEType{"pdf", "application/pdf"},
    MIMEType{"png", "image/png"},
    MIMEType{"ppt", "application/vnd.ms-powerpoint"},
    MIMEType{"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    MIMEType{"ps", "application/postscript"},
    MIMEType{"psd", "image/vnd.adobe.photoshop"},
    MIMEType{"rtf", "text/rtf"},
    MIMEType{"svg", "image/svg+xml"},
    MIMEType{"tar", "application/x-tar"},
    MIMEType{"tif", "image/tiff"},
    MIMEType{"tiff", "image/tiff"},
    MIMEType{"tsv", "text/tab-separated-values"},
    MIMEType{"txt", "text/plain"},
    MIMEType{"vcf", "text/vcard"},
    MIMEType{"wav", "audio/wav"},
    MIMEType{"webm", "video/webm"},
    MIMEType{"webp", "image/webp"},
    MIMEType{"wmv", "video/x-ms-wmv"},
    MIMEType{"xls", "application/vnd.ms-excel"},
    MIMEType{"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    MIMEType{"xml", "application/xml"},
    MIMEType{"zip", "application/zip"},
};

}  // namespace

bool GDataUtilities::stringHasControlsToFilter(std::string_view str) {
    size_t pos = 0, len = 0;
    while (pos < str.size()) {
        // Printable ASCII, most of any text, is never filtered.
        if (unsigned char b = static_cast<unsigned char>(str[pos]); b >= 0x20 && b < 0x80) {
            ++pos;
            continue;
        }
        if (isFilteredAt(str, pos, len)) return true;
        pos += len;
    }
    return false;
}

std::string GDataUtilities::stringWithControlsFilteredForString(std::string str) {
    size_t pos = 0, len = 0;
    while (pos < str.size() && !isFilteredAt(str, pos, len)) pos += len;
    if (pos == str.size()) return str;  // nothing to remove: the input itself

    std::string out(str, 0, pos);
    out.reserve(str.size());
    while (pos < str.size()) {
        bool filtered = isFilteredAt(str, pos, len);
        if (!filtered) out.append(str, pos, len);
        pos += len;
    }
    return out;
}

std::optional<double> GDataUtilities::doubleNumberOrInfForString(std::optional<std::string_view> str) {
    if (!str || str->empty()) return std::nullopt;
    size_t pos = 0;
    gdata_scan::skipWhitespace(*str, pos);
    double value = 0;
    if (!gdata_scan::scanDouble(*str, pos, value)) value = 0;
    if (value == 0) {
        if (platform::asciiEqualsIgnoringCase(*str, "INF")) return HUGE_VAL;
        if (platform::asciiEqualsIgnoringCase(*str, "-INF")) return -HUGE_VAL;
    }
    return value;
}

std::string GDataUtilities::stringByURLEncodingString(std::string_view str) {
    return percentEncode(str, [](unsigned char c) {
        if (isASCIIAlphanumeric(c)) return true;
        switch (c) {
            case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',':
            case '-': case '.': case '/': case ':': case '=': case '@': case '_': case '~':
                return true;
            default:
                return false;
        }
    });
}

std::string GDataUtilities::stringByURLEncodingForURI(std::string_view str) {
    return percentEncode(str, [](unsigned char c) {
        return isASCIIAlphanumeric(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == ' ';
    });
}

std::string GDataUtilities::stringByURLEncodingStringParameter(std::string_view str) {
    std::string out = stringByURLEncodingForURI(str);
    for (auto& c : out)
        if (c == ' ') c = '+';
    return out;
}

std::string GDataUtilities::stringByPercentEncodingUTF8ForString(std::string str) {
    auto needsEscape = [](unsigned char b) { return b == '%' || b < 32 || b > 126; };
    size_t pos = 0;
    while (pos < str.size() && !needsEscape(static_cast<unsigned char>(str[pos]))) ++pos;
    if (pos == str.size()) return str;  // nothing to encode: the input itself

    std::string out(str, 0, pos);
    for (; pos < str.size(); ++pos) {
        auto b = static_cast<unsigned char>(str[pos]);
        if (needsEscape(b))
            appendEscaped(out, b);
        else
            out += char(b);
    }
    return out;
}

std::optional<std::map<std::string, std::string>> GDataUtilities::dictionaryWithResponseString(
    std::optional<std::string_view> str) {
    if (!str) return std::nullopt;
    std::map<std::string, std::string> result;
    for (const auto& line : platform::split(*str, "\n")) {
        std::string_view l(line);
        size_t pos = 0;
        gdata_scan::skipWhitespace(l, pos);
        size_t equals = l.find('=', pos);
        if (equals == std::string_view::npos || equals == pos) continue;  // no "=", or an empty key
        std::string_view key = l.substr(pos, equals - pos);
        pos = equals + 1;
        gdata_scan::skipWhitespace(l, pos);
        if (pos >= l.size()) continue;  // an empty value
        result[std::string(key)] = std::string(l.substr(pos));
    }
    return result;
}

std::optional<std::map<std::string, std::string>> GDataUtilities::dictionaryWithResponseData(
    const platform::Bytes& data) {
    std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    if (!platform::isValidUTF8(text)) return std::nullopt;
    return dictionaryWithResponseString(text);
}

int GDataUtilities::compareVersion(std::optional<std::string_view> v1, std::optional<std::string_view> v2) {
    auto parts = [](std::string_view version) {
        std::array<int64_t, 4> out{};
        size_t pos = 0;
        for (auto& part : out) {
            gdata_scan::skipCharacters(version, pos, ".");
            if (!gdata_scan::scanInteger(version, pos, part, gdata_scan::Overflow::Clamp)) break;
        }
        return out;
    };
    auto a = parts(v1.value_or(std::string_view()));
    auto b = parts(v2.value_or(std::string_view()));
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] < b[i]) return -1;
        if (a[i] > b[i]) return 1;
    }
    return 0;
}

std::optional<std::string> GDataUtilities::MIMETypeForFileAtPath(std::string_view path,
                                                                 std::optional<std::string> defaultMIMEType) {
    // The extension of the last path component; a leading dot (a hidden file's name) is no extension.
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return defaultMIMEType;
    std::string extension = platform::asciiLower(name.substr(dot + 1));
    for (const auto& entry : kMIMETypes)
        if (entry.extension == extension) return std::string(entry.type);
    return defaultMIMEType;
}

}  // namespace quorvane
