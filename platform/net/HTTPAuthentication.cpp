#include "platform/net/HTTPAuthentication.h"

#include <openssl/evp.h>

#include <cctype>
#include <cstdio>

#include "platform/foundation/Base64.h"
#include "platform/foundation/Strings.h"
#include "platform/foundation/UUID.h"

namespace quorvane::platform {

namespace {

bool isTokenChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

void skipSpaces(std::string_view s, size_t& i) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
}

std::string readToken(std::string_view s, size_t& i) {
    size_t start = i;
    while (i < s.size() && isTokenChar(s[i])) ++i;
    return std::string(s.substr(start, i - start));
}

// Parses one value: scheme [token68 | param *("," param)] *("," challenge).
void parseValue(std::string_view s, std::vector<HTTPAuthChallenge>& out) {
    size_t i = 0;
    HTTPAuthChallenge* current = nullptr;
    while (i < s.size()) {
        skipSpaces(s, i);
        if (i < s.size() && s[i] == ',') {
            ++i;
            continue;
        }
        std::string token = readToken(s, i);
        if (token.empty()) {
            ++i;  // stray character
            continue;
        }
        skipSpaces(s, i);
        if (i < s.size() && s[i] == '=' && current) {
            // name=value parameter of the current challenge (token68 padding "==" is rare here).
            ++i;
            skipSpaces(s, i);
            std::string value;
            if (i < s.size() && s[i] == '"') {
                ++i;
                while (i < s.size() && s[i] != '"') {
                    if (s[i] == '\\' && i + 1 < s.size()) ++i;
                    value.push_back(s[i++]);
                }
                if (i < s.size()) ++i;
            } else {
                size_t vs = i;
                while (i < s.size() && s[i] != ',' && s[i] != ' ' && s[i] != '\t') ++i;
                value = std::string(s.substr(vs, i - vs));
            }
            current->params.emplace_back(asciiLower(token), value);
            continue;
        }
        // A new challenge: the token is its scheme.
        out.push_back(HTTPAuthChallenge{token, {}});
        current = &out.back();
        // A token68 credential right after the scheme is kept whole.
        size_t j = i;
        std::string t68 = readToken(s, j);
        size_t k = j;
        while (k < s.size() && s[k] == '=') ++k;
        size_t m = k;
        skipSpaces(s, m);
        if (!t68.empty() && k > j && (m == s.size() || s[m] == ',')) {
            current->params.emplace_back("token68", std::string(s.substr(i, k - i)));
            i = k;
        }
    }
}

std::string hashHex(const EVP_MD* md, std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), digest, &len, md, nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < len; ++i) {
        out.push_back(hex[digest[i] >> 4]);
        out.push_back(hex[digest[i] & 15]);
    }
    return out;
}

std::string quoted(std::string_view v) {
    std::string out = "\"";
    for (char c : v) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

const EVP_MD* digestAlgorithm(const HTTPAuthChallenge& c, bool* sess) {
    std::string alg = asciiLower(c.param("algorithm").value_or("MD5"));
    *sess = hasSuffix(alg, "-sess");
    if (*sess) alg.resize(alg.size() - 5);
    if (alg == "md5") return EVP_md5();
    if (alg == "sha-256") return EVP_sha256();
    return nullptr;
}

bool offersQopAuth(const HTTPAuthChallenge& c) {
    auto qop = c.param("qop");
    if (!qop) return false;
    for (auto& q : split(*qop, ","))
        if (asciiLower(trimWhitespace(q)) == "auth") return true;
    return false;
}

}  // namespace

std::optional<std::string> HTTPAuthChallenge::param(std::string_view name) const {
    for (const auto& [k, v] : params)
        if (asciiEqualsIgnoringCase(k, name)) return v;
    return std::nullopt;
}

bool HTTPAuthChallenge::isBasic() const { return asciiEqualsIgnoringCase(scheme, "Basic"); }
bool HTTPAuthChallenge::isDigest() const { return asciiEqualsIgnoringCase(scheme, "Digest"); }

bool HTTPAuthChallenge::isSupported() const {
    if (isBasic()) return true;
    if (!isDigest() || !param("nonce")) return false;
    bool sess = false;
    if (!digestAlgorithm(*this, &sess)) return false;
    return !param("qop") || offersQopAuth(*this);
}

std::vector<HTTPAuthChallenge> parseAuthenticateChallenges(const std::vector<std::string>& values) {
    std::vector<HTTPAuthChallenge> out;
    for (const auto& v : values) parseValue(v, out);
    return out;
}

std::optional<HTTPAuthChallenge> preferredAuthChallenge(const std::vector<HTTPAuthChallenge>& challenges) {
    for (const auto& c : challenges)
        if (c.isDigest() && c.isSupported()) return c;
    for (const auto& c : challenges)
        if (c.isBasic()) return c;
    return std::nullopt;
}

std::string basicAuthorization(std::string_view user, std::string_view password) {
    std::string pair = std::string(user) + ":" + std::string(password);
    return "Basic " + base64Encode(pair);
}

std::string digestAuthorization(const HTTPAuthChallenge& c, std::string_view method, std::string_view uri,
                                std::string_view user, std::string_view password, std::string cnonce, uint32_t nc) {
    bool sess = false;
    const EVP_MD* md = digestAlgorithm(c, &sess);
    if (!md) md = EVP_md5();
    std::string realm = c.param("realm").value_or("");
    std::string nonce = c.param("nonce").value_or("");
    bool qop = offersQopAuth(c);
    if (cnonce.empty()) {
        uint8_t raw[16];
        randomBytes(raw, sizeof raw);
        static const char* hex = "0123456789abcdef";
        for (uint8_t b : raw) {
            cnonce.push_back(hex[b >> 4]);
            cnonce.push_back(hex[b & 15]);
        }
    }
    char ncText[9];
    std::snprintf(ncText, sizeof ncText, "%08x", nc);

    std::string ha1 = hashHex(md, std::string(user) + ":" + realm + ":" + std::string(password));
    if (sess) ha1 = hashHex(md, ha1 + ":" + nonce + ":" + cnonce);
    std::string ha2 = hashHex(md, std::string(method) + ":" + std::string(uri));
    std::string response = qop ? hashHex(md, ha1 + ":" + nonce + ":" + ncText + ":" + cnonce + ":auth:" + ha2)
                               : hashHex(md, ha1 + ":" + nonce + ":" + ha2);

    std::string h = "Digest username=" + quoted(user) + ", realm=" + quoted(realm) + ", nonce=" + quoted(nonce) +
                    ", uri=" + quoted(uri);
    if (auto alg = c.param("algorithm")) h += ", algorithm=" + *alg;
    h += ", response=" + quoted(response);
    if (qop) h += ", qop=auth, nc=" + std::string(ncText) + ", cnonce=" + quoted(cnonce);
    if (auto opaque = c.param("opaque")) h += ", opaque=" + quoted(*opaque);
    return h;
}

}  // namespace quorvane::platform
