#pragma once
// Cookie storage. A URL session consults its configuration's storage before every request it
// sends (getCookiesForTask) and feeds it after every response, redirects included
// (storeCookies), on the session's delegate queue. Subclasses may replace every operation.
//
// This class keeps its cookies in memory for the life of the process; the shared instance is
// what a default session configuration uses.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/net/HTTPCookie.h"
#include "platform/net/URL.h"

namespace quorvane::platform {

class URLSessionTask;

enum class HTTPCookieAcceptPolicy : uint64_t {
    Always = 0,
    Never = 1,
    OnlyFromMainDocumentDomain = 2,
};

class HTTPCookieStorage : public std::enable_shared_from_this<HTTPCookieStorage> {
public:
    using CookieList = std::vector<HTTPCookiePtr>;

    static const std::shared_ptr<HTTPCookieStorage>& sharedHTTPCookieStorage();
    HTTPCookieStorage() = default;
    virtual ~HTTPCookieStorage() = default;

    virtual CookieList cookies();
    // Stores the cookie, replacing one of the same name, domain and path. An expired cookie
    // removes its stored twin and is not kept. Ignored under the Never policy.
    virtual void setCookie(const HTTPCookiePtr& cookie);
    virtual void deleteCookie(const HTTPCookiePtr& cookie);
    // The cookies to send to the URL (RFC 6265 domain, path and secure rules), longest path
    // first; nullopt when none matches.
    virtual std::optional<CookieList> cookiesForURL(const URL& url);
    // Stores cookies received from the URL, subject to the accept policy. Under
    // OnlyFromMainDocumentDomain they are kept when the URL's host lies within the main
    // document's host, or when no main document is known.
    virtual void setCookies(const CookieList& cookies, const std::optional<URL>& url,
                            const std::optional<URL>& mainDocumentURL);
    // The session's hooks: they read the task's current request.
    virtual void storeCookies(const CookieList& cookies, const std::shared_ptr<URLSessionTask>& task);
    // Calls the completion (on the calling thread here) with the cookies for the task's request.
    virtual void getCookiesForTask(const std::shared_ptr<URLSessionTask>& task,
                                   std::function<void(std::optional<CookieList>)> completionHandler);

    virtual HTTPCookieAcceptPolicy cookieAcceptPolicy();
    virtual void setCookieAcceptPolicy(HTTPCookieAcceptPolicy policy);

private:
    std::mutex mutex_;
    CookieList cookies_;
    HTTPCookieAcceptPolicy policy_ = HTTPCookieAcceptPolicy::Always;
};

// Whether the cookie has an expiry date in the past.
bool cookieHasExpired(const HTTPCookie& cookie, Date now);

}  // namespace quorvane::platform
