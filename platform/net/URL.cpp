#include "platform/net/URL.h"

#include <cctype>
#include <vector>

#include "platform/foundation/Strings.h"

namespace quorvane::platform {

struct URL::Parts {
    std::optional<std::string> scheme;
    std::optional<std::string> authority;
    std::string path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;
};

namespace {

bool isForbidden(unsigned char c) {
    if (c <= 0x20 || c >= 0x7f) return true;
    switch (c) {
        case '"': case '<': case '>': case '\\': case '^': case '`': case '{': case '|': case '}':
            return true;
        default:
            return false;
    }
}

bool validScheme(std::string_view s) {
    if (s.empty() || !std::isalpha(static_cast<unsigned char>(s[0]))) return false;
    for (char c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
    return true;
}

// Splits a reference into its five parts (RFC 3986 appendix B).
std::optional<URL::Parts> splitReference(std::string_view s) {
    for (char c : s)
        if (isForbidden(static_cast<unsigned char>(c))) return std::nullopt;
    URL::Parts p;
    size_t colon = s.find(':');
    size_t firstDelim = s.find_first_of("/?#");
    if (colon != std::string_view::npos && (firstDelim == std::string_view::npos || colon < firstDelim)) {
        auto scheme = s.substr(0, colon);
        if (!validScheme(scheme)) return std::nullopt;
        p.scheme = std::string(scheme);
        s.remove_prefix(colon + 1);
    }
    if (s.size() >= 2 && s[0] == '/' && s[1] == '/') {
        s.remove_prefix(2);
        size_t end = s.find_first_of("/?#");
        p.authority = std::string(s.substr(0, end));
        s.remove_prefix(end == std::string_view::npos ? s.size() : end);
    }
    size_t hash = s.find('#');
    if (hash != std::string_view::npos) {
        p.fragment = std::string(s.substr(hash + 1));
        s = s.substr(0, hash);
    }
    size_t q = s.find('?');
    if (q != std::string_view::npos) {
        p.query = std::string(s.substr(q + 1));
        s = s.substr(0, q);
    }
    p.path = std::string(s);
    return p;
}

// RFC 3986 section 5.2.4.
std::string removeDotSegments(std::string_view in) {
    std::string input(in), output;
    while (!input.empty()) {
        if (input.rfind("../", 0) == 0) {
            input.erase(0, 3);
        } else if (input.rfind("./", 0) == 0) {
            input.erase(0, 2);
        } else if (input.rfind("/./", 0) == 0) {
            input.erase(0, 2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.rfind("/../", 0) == 0 || input == "/..") {
            input = input == "/.." ? "/" : input.substr(3);
            size_t last = output.rfind('/');
            output.erase(last == std::string::npos ? 0 : last);
        } else if (input == "." || input == "..") {
            input.clear();
        } else {
            size_t start = input[0] == '/' ? 1 : 0;
            size_t next = input.find('/', start);
            output += input.substr(0, next);
            input.erase(0, next == std::string::npos ? input.size() : next);
        }
    }
    return output;
}

std::string mergePaths(const URL::Parts& base, std::string_view ref) {
    if (base.authority && base.path.empty()) return std::string("/").append(ref);
    size_t slash = base.path.rfind('/');
    if (slash == std::string::npos) return std::string(ref);
    return base.path.substr(0, slash + 1) + std::string(ref);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int hi = hexValue(text[i + 1]), lo = hexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(char(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::optional<URL> URL::fromParts(const Parts& p) {
    if (!p.scheme) return std::nullopt;
    URL u;
    u.scheme_ = *p.scheme;
    u.path_ = p.path;
    u.query_ = p.query;
    u.fragment_ = p.fragment;
    std::string text = *p.scheme + ":";
    if (p.authority) {
        u.hasAuthority_ = true;
        std::string_view a = *p.authority;
        text += "//" + *p.authority;
        size_t at = a.rfind('@');
        if (at != std::string_view::npos) {
            auto info = a.substr(0, at);
            size_t c = info.find(':');
            u.user_ = percentDecode(info.substr(0, c));
            if (c != std::string_view::npos) u.password_ = percentDecode(info.substr(c + 1));
            a.remove_prefix(at + 1);
        }
        std::string_view hostPart = a, portPart;
        bool hasPort = false;
        if (!a.empty() && a[0] == '[') {
            size_t close = a.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            hostPart = a.substr(1, close - 1);
            auto rest = a.substr(close + 1);
            if (!rest.empty()) {
                if (rest[0] != ':') return std::nullopt;
                portPart = rest.substr(1);
                hasPort = true;
            }
        } else {
            size_t c = a.rfind(':');
            if (c != std::string_view::npos) {
                hostPart = a.substr(0, c);
                portPart = a.substr(c + 1);
                hasPort = true;
            }
        }
        u.host_ = percentDecode(hostPart);
        if (hasPort && !portPart.empty()) {
            if (portPart.size() > 5) return std::nullopt;
            int port = 0;
            for (char ch : portPart) {
                if (!std::isdigit(static_cast<unsigned char>(ch))) return std::nullopt;
                port = port * 10 + (ch - '0');
            }
            if (port > 65535) return std::nullopt;
            u.port_ = port;
        }
    }
    text += p.path;
    if (p.query) text += "?" + *p.query;
    if (p.fragment) text += "#" + *p.fragment;
    u.text_ = std::move(text);
    return u;
}

std::optional<URL> URL::URLWithString(std::string_view text) {
    auto p = splitReference(text);
    if (!p || !p->scheme) return std::nullopt;
    return fromParts(*p);
}

std::optional<URL> URL::URLWithString(std::string_view text, const URL& base) {
    auto r = splitReference(text);
    if (!r) return std::nullopt;
    auto b = splitReference(base.absoluteString());
    if (!b) return std::nullopt;
    Parts t;
    if (r->scheme) {
        t = *r;
        t.path = removeDotSegments(r->path);
    } else {
        if (r->authority) {
            t.authority = r->authority;
            t.path = removeDotSegments(r->path);
            t.query = r->query;
        } else {
            if (r->path.empty()) {
                t.path = b->path;
                t.query = r->query ? r->query : b->query;
            } else {
                if (r->path[0] == '/') t.path = removeDotSegments(r->path);
                else t.path = removeDotSegments(mergePaths(*b, r->path));
                t.query = r->query;
            }
            t.authority = b->authority;
        }
        t.scheme = b->scheme;
    }
    t.fragment = r->fragment;
    return fromParts(t);
}

URL URL::fileURLWithPath(const std::filesystem::path& path) {
    std::string abs = std::filesystem::absolute(path).lexically_normal().string();
    static const char* hex = "0123456789ABCDEF";
    std::string enc;
    for (unsigned char c : abs) {
        if (std::isalnum(c) || std::string_view("-._~!$&'()*+,;=:@/").find(char(c)) != std::string_view::npos) {
            enc.push_back(char(c));
        } else {
            enc.push_back('%');
            enc.push_back(hex[c >> 4]);
            enc.push_back(hex[c & 15]);
        }
    }
    return *URLWithString("file://" + enc);
}

int URL::effectivePort() const {
    if (port_) return *port_;
    if (asciiEqualsIgnoringCase(scheme_, "https")) return 443;
    if (asciiEqualsIgnoringCase(scheme_, "http")) return 80;
    return 0;
}

bool URL::isSameOrigin(const URL& other) const {
    return asciiEqualsIgnoringCase(scheme_, other.scheme_) &&
           asciiEqualsIgnoringCase(host_.value_or(""), other.host_.value_or("")) && effectivePort() == other.effectivePort();
}

std::string URL::originString() const {
    std::string host = asciiLower(host_.value_or(""));
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return asciiLower(scheme_) + "://" + host + ":" + std::to_string(effectivePort());
}

std::string URL::path() const { return percentDecode(path_); }

std::string URL::resourceSpecifier() const { return text_.substr(scheme_.size() + 1); }

bool URL::isFileURL() const { return asciiEqualsIgnoringCase(scheme_, "file"); }

URL URL::URLByReplacingScheme(std::string_view scheme) const {
    auto u = URLWithString(std::string(scheme) + ":" + resourceSpecifier());
    return u ? *u : *this;
}

std::string URL::absoluteStringWithoutFragment() const {
    if (!fragment_) return text_;
    return text_.substr(0, text_.size() - fragment_->size() - 1);
}

}  // namespace quorvane::platform
