#pragma once
// An in-memory cookie store that fetchers install on the URL sessions they make, so their
// cookies stay in the process and apart from the shared store. Nothing is persisted: the
// cookies live as long as the object.
//
// Matching rules (cookiesForURL):
// - domain: a cookie domain covers the host itself and every host below it, whether or not it
//   starts with "."; a request to a local host ("localhost", "127.0.0.1", "::1") takes the
//   cookies of local-host domains and of "localhost.local" only;
// - path: platform::cookiePathMatches, the one rule of every cookie store ("/api" covers "/api/x",
//   never "/apis");
// - scheme: secure cookies go only to "https" URLs.
// Matching cookies come in the order they were stored (a replaced cookie moves to the end).
//
// Every public operation locks the store; the session hooks arrive on the session's delegate
// queue while other threads read cookies.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/net/HTTPCookie.h"
#include "platform/net/HTTPCookieStorage.h"
#include "platform/net/URL.h"

namespace quorvane {

class QNSessionCookieStorage : public platform::HTTPCookieStorage {
public:
    using HTTPCookiePtr = platform::HTTPCookiePtr;
    using HTTPCookieAcceptPolicy = platform::HTTPCookieAcceptPolicy;

    // Empty, accepting every cookie.
    QNSessionCookieStorage() = default;

    // A copy of the stored cookies in the order they were stored.
    CookieList cookies() override;
    // Stores the cookie, replacing the one of the same name, domain and path; an expired
    // cookie only removes its stored twin. Ignored for nullptr, under the Never policy, and
    // for a cookie with an empty name, domain or path.
    void setCookie(const HTTPCookiePtr& cookie) override;
    // Under Never nothing is stored; under OnlyFromMainDocumentDomain only when the main
    // document has a host and the URL's host is that host or lies below it; else all of them.
    void setCookies(const CookieList& cookies, const std::optional<platform::URL>& url,
                    const std::optional<platform::URL>& mainDocumentURL) override;
    // Removes the stored cookie with the same name, domain and path, if any.
    void deleteCookie(const HTTPCookiePtr& cookie) override;
    // The cookies to send to the URL (rules above); nullopt when none matches.
    std::optional<CookieList> cookiesForURL(const platform::URL& url) override;

    // The session's hooks. Cookies from a task count as coming from its current request's
    // URL with no main document, so OnlyFromMainDocumentDomain drops them.
    void storeCookies(const CookieList& cookies, const std::shared_ptr<platform::URLSessionTask>& task) override;
    // Calls the handler at once, on the calling thread, with the cookies for the task's
    // current request URL.
    void getCookiesForTask(const std::shared_ptr<platform::URLSessionTask>& task,
                           std::function<void(std::optional<CookieList>)> completionHandler) override;

    HTTPCookieAcceptPolicy cookieAcceptPolicy() override;
    void setCookieAcceptPolicy(HTTPCookieAcceptPolicy policy) override;

    void removeAllCookies();

    // Whether the cookie's expiry date (or, without one, a date under its "Expires" property)
    // lies before now. A cookie without either never expires.
    static bool hasCookieExpired(const platform::HTTPCookie& cookie);

private:
    // The caller holds mutex_.
    void setCookiesUnsynchronized(const CookieList& cookies);
    void internalSetCookieUnsynchronized(const HTTPCookiePtr& cookie);
    HTTPCookiePtr cookieMatchingCookieUnsynchronized(const platform::HTTPCookie& cookie) const;
    void removeExpiredCookiesUnsynchronized();

    std::mutex mutex_;
    CookieList cookies_;
    HTTPCookieAcceptPolicy policy_ = HTTPCookieAcceptPolicy::Always;
};

}  // namespace quorvane
