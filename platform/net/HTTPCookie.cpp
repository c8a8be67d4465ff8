#include "platform/net/HTTPCookie.h"

#include <curl/curl.h>
#include <libpsl.h>

#include <cctype>
#include <climits>

#include "platform/foundation/Strings.h"

namespace quorvane::platform {

namespace {

std::string trimWS(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return std::string(s.substr(b, e - b));
}

bool isIPAddress(std::string_view host) {
    if (host.find(':') != std::string_view::npos) return true;
    if (host.empty()) return false;
    for (char c : host)
        if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.') return false;
    return true;
}

// The public suffix list ("com", "co.uk", "github.io"...): the newest of the one built into
// libpsl and the system's copy, loaded once for the process.
const psl_ctx_t* publicSuffixList() {
    static const psl_ctx_t* list = [] {
        const psl_ctx_t* latest = psl_latest(nullptr);
        return latest ? latest : psl_builtin();
    }();
    return list;
}

bool isPublicSuffix(const std::string& domain) {
    const psl_ctx_t* list = publicSuffixList();
    return list && psl_is_public_suffix2(list, domain.c_str(), PSL_TYPE_ANY);
}

// RFC 6265 section 5.1.4 default path.
std::string defaultPath(const URL& url) {
    std::string p = url.percentEncodedPath();
    if (p.empty() || p[0] != '/') return "/";
    size_t last = p.rfind('/');
    if (last == 0) return "/";
    return p.substr(0, last);
}

std::optional<int64_t> parseInteger(std::string_view s) {
    if (s.empty()) return std::nullopt;
    bool neg = s[0] == '-';
    if (neg) s.remove_prefix(1);
    if (s.empty() || s.size() > 18) return std::nullopt;
    int64_t n = 0;
    for (char c : s) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return neg ? -n : n;
}

HTTPCookiePtr parseSetCookie(std::string_view line, const URL& url) {
    auto parts = split(line, ";");
    if (parts.empty()) return nullptr;
    size_t eq = parts[0].find('=');
    if (eq == std::string::npos) return nullptr;
    std::string name = trimWS(std::string_view(parts[0]).substr(0, eq));
    std::string value = trimWS(std::string_view(parts[0]).substr(eq + 1));
    if (name.empty()) return nullptr;
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);

    std::string host = asciiLower(url.host().value_or(""));
    if (host.empty()) return nullptr;

    Value props = Value::dictionary();
    props.set(HTTPCookie::kName, name);
    props.set(HTTPCookie::kValue, value);
    std::optional<std::string> domainAttr, pathAttr;
    std::optional<Date> expires;
    std::optional<int64_t> maxAge;
    bool secure = false, httpOnly = false;
    std::optional<std::string> sameSite;
    for (size_t i = 1; i < parts.size(); ++i) {
        std::string_view attr = parts[i];
        size_t aeq = attr.find('=');
        std::string key = asciiLower(trimWS(attr.substr(0, aeq)));
        std::string val = aeq == std::string_view::npos ? std::string() : trimWS(attr.substr(aeq + 1));
        if (key == "expires") {
            if (auto d = parseHTTPDate(val)) expires = d;
        } else if (key == "max-age") {
            if (auto n = parseInteger(val)) maxAge = n;
        } else if (key == "domain") {
            std::string d = asciiLower(val);
            while (!d.empty() && d[0] == '.') d.erase(0, 1);
            if (!d.empty()) domainAttr = d;
        } else if (key == "path") {
            if (!val.empty() && val[0] == '/') pathAttr = val;
        } else if (key == "secure") {
            secure = true;
        } else if (key == "httponly") {
            httpOnly = true;
        } else if (key == "samesite") {
            sameSite = val;
        }
    }

    // A public suffix as the domain would let any host set cookies for every host under it:
    // such a cookie is kept only for the host itself, when it is that suffix (RFC 6265 5.3 step 5).
    if (domainAttr && !isIPAddress(*domainAttr) && isPublicSuffix(*domainAttr)) {
        if (*domainAttr != host) return nullptr;
        domainAttr.reset();
    }
    std::string domain;
    if (domainAttr) {
        // The domain must cover the host that set the cookie; an IP address covers only itself.
        bool covers = host == *domainAttr ||
                      (!isIPAddress(host) && hasSuffix(host, std::string(".").append(*domainAttr)));
        if (!covers) return nullptr;
        domain = host == *domainAttr && isIPAddress(host) ? host : std::string(".").append(*domainAttr);
    } else {
        domain = host;
    }
    props.set(HTTPCookie::kDomain, domain);
    props.set(HTTPCookie::kPath, pathAttr.value_or(defaultPath(url)));
    if (maxAge) {
        // Max-Age wins over Expires; zero or less means already expired.
        props.set(HTTPCookie::kExpires,
                  *maxAge <= 0 ? Date::distantPast() : Date::now().addingTimeInterval(double(*maxAge)));
    } else if (expires) {
        props.set(HTTPCookie::kExpires, *expires);
    }
    if (secure) props.set(HTTPCookie::kSecure, "TRUE");
    if (httpOnly) props.set(HTTPCookie::kHTTPOnly, "TRUE");
    if (sameSite) props.set(HTTPCookie::kSameSitePolicy, *sameSite);
    props.set(HTTPCookie::kVersion, "0");
    return HTTPCookie::cookieWithProperties(props);
}

// Splits a folded "Set-Cookie" value at the commas that start a new "name=" pair, so the
// comma inside an Expires date ("Wed, 09 Jun 2021") stays with its cookie.
std::vector<std::string> splitFoldedSetCookie(std::string_view v) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] != ',') continue;
        size_t j = i + 1;
        while (j < v.size() && v[j] == ' ') ++j;
        size_t k = j;
        while (k < v.size() && v[k] != '=' && v[k] != ';' && v[k] != ',' && v[k] != ' ') ++k;
        if (k > j && k < v.size() && v[k] == '=') {
            out.emplace_back(v.substr(start, i - start));
            start = j;
        }
    }
    out.emplace_back(v.substr(start));
    return out;
}

}  // namespace

std::optional<Date> parseHTTPDate(std::string_view text) {
    std::string s(text);
    if (s.empty()) return std::nullopt;
    time_t t = curl_getdate(s.c_str(), nullptr);
    if (t == -1) return std::nullopt;
    return Date::fromUnix(double(t));
}

HTTPCookiePtr HTTPCookie::cookieWithProperties(const Value& properties) {
    if (!properties.isDictionary()) return nullptr;
    auto name = properties[kName].stringValue();
    auto value = properties[kValue].stringValue();
    if (!name || name->empty() || !value) return nullptr;
    std::string domain = properties[kDomain].asString();
    if (domain.empty()) {
        if (auto origin = properties[kOriginURL].stringValue()) {
            if (auto u = URL::URLWithString(*origin); u && u->host()) domain = *u->host();
        }
    }
    if (domain.empty()) return nullptr;
    std::string path = properties[kPath].asString();
    if (path.empty()) path.push_back('/');

    auto c = std::shared_ptr<HTTPCookie>(new HTTPCookie());
    c->name_ = *name;
    c->value_ = *value;
    c->domain_ = domain;
    c->path_ = path;
    const Value& exp = properties[kExpires];
    if (exp.isDate()) c->expires_ = exp.asDate();
    else if (exp.isString()) c->expires_ = parseHTTPDate(exp.asString());
    if (const Value* ma = properties.find(kMaximumAge)) {
        std::optional<int64_t> secs = ma->isNumber() ? std::optional<int64_t>(ma->asInt()) : parseInteger(ma->asString());
        if (secs) c->expires_ = *secs <= 0 ? Date::distantPast() : Date::now().addingTimeInterval(double(*secs));
    }
    auto flag = [&](const char* key) {
        const Value* v = properties.find(key);
        if (!v) return false;
        if (v->isBool()) return v->asBool();
        if (v->isString()) return !asciiEqualsIgnoringCase(v->asString(), "FALSE");
        return v->asInt() != 0;
    };
    c->secure_ = flag(kSecure);
    c->httpOnly_ = flag(kHTTPOnly);
    c->sessionOnly_ = !c->expires_ || flag(kDiscard);
    c->properties_ = properties;
    return c;
}

std::vector<HTTPCookiePtr> HTTPCookie::cookiesWithSetCookieLines(const std::vector<std::string>& lines, const URL& url) {
    std::vector<HTTPCookiePtr> out;
    for (const auto& line : lines)
        if (auto c = parseSetCookie(line, url)) out.push_back(std::move(c));
    return out;
}

std::vector<HTTPCookiePtr> HTTPCookie::cookiesWithResponseHeaderFields(const HTTPHeaders& headerFields, const URL& url) {
    auto v = headerFields.valueForHTTPHeaderField("Set-Cookie");
    if (!v) return {};
    return cookiesWithSetCookieLines(splitFoldedSetCookie(*v), url);
}

HTTPHeaders HTTPCookie::requestHeaderFieldsWithCookies(const std::vector<HTTPCookiePtr>& cookies) {
    std::string header;
    for (const auto& c : cookies) {
        if (!c) continue;
        if (!header.empty()) header += "; ";
        header += c->name() + "=" + c->value();
    }
    HTTPHeaders h;
    if (!header.empty()) h.setValue(header, "Cookie");
    return h;
}

bool cookiePathMatches(std::string_view cookiePath, std::string_view requestPath) {
    if (cookiePath.empty() || !requestPath.starts_with(cookiePath)) return false;
    return requestPath.size() == cookiePath.size() || cookiePath.back() == '/' ||
           requestPath[cookiePath.size()] == '/';
}

std::string cookieRequestPath(const URL& url) {
    std::string path = url.percentEncodedPath();
    if (path.empty()) path.push_back('/');
    return path;
}

}  // namespace quorvane::platform
