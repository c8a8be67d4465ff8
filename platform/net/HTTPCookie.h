#pragma once
// HTTP cookies: immutable values shared by pointer (a storage finds and removes a cookie by
// identity), made from a property dictionary or parsed from "Set-Cookie" lines (RFC 6265).

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Value.h"
#include "platform/net/URL.h"
#include "platform/net/URLRequest.h"

namespace quorvane::platform {

class HTTPCookie;
using HTTPCookiePtr = std::shared_ptr<const HTTPCookie>;

class HTTPCookie {
public:
    // Property keys.
    static constexpr const char* kName = "Name";
    static constexpr const char* kValue = "Value";
    static constexpr const char* kDomain = "Domain";
    static constexpr const char* kPath = "Path";
    static constexpr const char* kExpires = "Expires";        // a date, or an HTTP date string
    static constexpr const char* kMaximumAge = "Max-Age";     // seconds from now
    static constexpr const char* kSecure = "Secure";          // any value but "FALSE" means secure
    static constexpr const char* kHTTPOnly = "HttpOnly";
    static constexpr const char* kOriginURL = "OriginURL";    // URL string: its host is the domain when none is given
    static constexpr const char* kDiscard = "Discard";        // "TRUE": a session cookie
    static constexpr const char* kVersion = "Version";
    static constexpr const char* kSameSitePolicy = "SameSite";

    // nullptr when the name, the value or the domain (and origin URL) is missing.
    static HTTPCookiePtr cookieWithProperties(const Value& properties);
    // The cookies of a response's "Set-Cookie" field (folded lines are split where a new
    // "name=" begins), for the URL the response came from. Invalid cookies are left out.
    static std::vector<HTTPCookiePtr> cookiesWithResponseHeaderFields(const HTTPHeaders& headerFields, const URL& url);
    // The same from separate "Set-Cookie" lines.
    static std::vector<HTTPCookiePtr> cookiesWithSetCookieLines(const std::vector<std::string>& lines, const URL& url);
    // {"Cookie": "a=1; b=2"} for the cookies in the given order; empty for no cookies.
    static HTTPHeaders requestHeaderFieldsWithCookies(const std::vector<HTTPCookiePtr>& cookies);

    const std::string& name() const { return name_; }
    const std::string& value() const { return value_; }
    // A domain starting with "." also covers its subdomains; one without is the host alone.
    const std::string& domain() const { return domain_; }
    const std::string& path() const { return path_; }
    const std::optional<Date>& expiresDate() const { return expires_; }
    bool isSecure() const { return secure_; }
    bool isHTTPOnly() const { return httpOnly_; }
    // A cookie without an expiry date, or one marked to be discarded.
    bool isSessionOnly() const { return sessionOnly_; }
    // The properties it was made from (parsed cookies: Name, Value, Domain, Path and the
    // attributes given; Expires as a date).
    const Value& properties() const { return properties_; }

private:
    HTTPCookie() = default;
    std::string name_, value_, domain_, path_;
    std::optional<Date> expires_;
    bool secure_ = false, httpOnly_ = false, sessionOnly_ = true;
    Value properties_;
};

// The one path rule of every cookie store (RFC 6265 path-match): the cookie's path covers the
// request path when the two are equal, or when the request path continues it at a "/" boundary
// ("/api" covers "/api", "/api/" and "/api/x", never "/apis").
bool cookiePathMatches(std::string_view cookiePath, std::string_view requestPath);
// The path a URL's cookies are matched against: its percent-encoded path, "/" when it has none.
std::string cookieRequestPath(const URL& url);

// Parses an HTTP date (RFC 1123, RFC 850 or asctime form); nullopt when it is not one.
std::optional<Date> parseHTTPDate(std::string_view text);

}  // namespace quorvane::platform
