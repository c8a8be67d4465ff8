#include "fetcher/QNSessionCookieStorage.h"

#include <algorithm>

#include "platform/foundation/Date.h"
#include "platform/foundation/Strings.h"
#include "platform/net/URLSessionTask.h"

namespace quorvane {

using platform::Date;
using platform::HTTPCookie;
using platform::URL;

namespace {

bool isLocalhostHost(std::string_view host) {
    return platform::asciiEqualsIgnoringCase(host, "localhost") || host == "::1" || host == "127.0.0.1";
}

}  // namespace

bool QNSessionCookieStorage::hasCookieExpired(const HTTPCookie& cookie) {
    std::optional<Date> expires = cookie.expiresDate();
    if (!expires) {
        const platform::Value& v = cookie.properties()[HTTPCookie::kExpires];
        if (v.isDate()) expires = v.asDate();
    }
    return expires && *expires < Date::now();
}

QNSessionCookieStorage::CookieList QNSessionCookieStorage::cookies() {
    std::lock_guard lock(mutex_);
    return cookies_;
}

void QNSessionCookieStorage::setCookie(const HTTPCookiePtr& cookie) {
    if (!cookie) return;
    std::lock_guard lock(mutex_);
    internalSetCookieUnsynchronized(cookie);
}

void QNSessionCookieStorage::setCookies(const CookieList& cookies, const std::optional<URL>& url,
                                        const std::optional<URL>& mainDocumentURL) {
    // One lock for the policy and the storing, so a policy change cannot fall in between.
    std::lock_guard lock(mutex_);
    switch (policy_) {
        case HTTPCookieAcceptPolicy::Never: return;
        case HTTPCookieAcceptPolicy::OnlyFromMainDocumentDomain: {
            if (!mainDocumentURL || !mainDocumentURL->host() || mainDocumentURL->host()->empty()) return;
            // The host must be the main document's host or lie below it: a bare suffix test
            // would let "evilexample.com" set cookies as "example.com".
            std::string mainHost = platform::asciiLower(*mainDocumentURL->host());
            std::string host = url && url->host() ? platform::asciiLower(*url->host()) : std::string();
            if (host != mainHost && !platform::hasSuffix(host, "." + mainHost)) return;
            break;
        }
        default: break;
    }
    setCookiesUnsynchronized(cookies);
}

void QNSessionCookieStorage::deleteCookie(const HTTPCookiePtr& cookie) {
    if (!cookie) return;
    std::lock_guard lock(mutex_);
    if (auto stored = cookieMatchingCookieUnsynchronized(*cookie)) {
        auto it = std::find(cookies_.begin(), cookies_.end(), stored);
        if (it != cookies_.end()) cookies_.erase(it);
    }
}

std::optional<QNSessionCookieStorage::CookieList> QNSessionCookieStorage::cookiesForURL(const URL& url) {
    std::lock_guard lock(mutex_);
    removeExpiredCookiesUnsynchronized();

    std::string host = platform::asciiLower(url.host().value_or(""));
    std::string path = platform::cookieRequestPath(url);
    bool secureRequest = platform::asciiEqualsIgnoringCase(url.scheme(), "https");
    bool localRequest = isLocalhostHost(host);
    std::string dottedHost;
    if (!localRequest && !host.empty()) dottedHost = "." + host;

    CookieList result;
    for (const auto& cookie : cookies_) {
        std::string domain = platform::asciiLower(cookie->domain());
        bool domainMatch;
        if (localRequest) {
            domainMatch = isLocalhostHost(domain) || domain == "localhost.local";
        } else {
            if (domain.empty() || domain[0] != '.') domain.insert(domain.begin(), '.');
            domainMatch = !dottedHost.empty() && platform::hasSuffix(dottedHost, domain);
        }
        if (!domainMatch) continue;
        if (!platform::cookiePathMatches(cookie->path(), path)) continue;
        if (cookie->isSecure() && !secureRequest) continue;
        result.push_back(cookie);
    }
    if (result.empty()) return std::nullopt;
    return result;
}

void QNSessionCookieStorage::storeCookies(const CookieList& cookies,
                                          const std::shared_ptr<platform::URLSessionTask>& task) {
    std::optional<URL> url;
    if (task) {
        if (auto request = task->currentRequest()) url = request->url();
    }
    setCookies(cookies, url, std::nullopt);
}

void QNSessionCookieStorage::getCookiesForTask(const std::shared_ptr<platform::URLSessionTask>& task,
                                               std::function<void(std::optional<CookieList>)> completionHandler) {
    if (!completionHandler) return;
    std::optional<CookieList> found;
    if (task) {
        auto request = task->currentRequest();
        if (request && request->url()) found = cookiesForURL(*request->url());
    }
    completionHandler(std::move(found));
}

QNSessionCookieStorage::HTTPCookieAcceptPolicy QNSessionCookieStorage::cookieAcceptPolicy() {
    std::lock_guard lock(mutex_);
    return policy_;
}

void QNSessionCookieStorage::setCookieAcceptPolicy(HTTPCookieAcceptPolicy policy) {
    std::lock_guard lock(mutex_);
    policy_ = policy;
}

void QNSessionCookieStorage::removeAllCookies() {
    std::lock_guard lock(mutex_);
    cookies_.clear();
}

void QNSessionCookieStorage::setCookiesUnsynchronized(const CookieList& cookies) {
    removeExpiredCookiesUnsynchronized();
    for (const auto& cookie : cookies)
        if (cookie) internalSetCookieUnsynchronized(cookie);
}

void QNSessionCookieStorage::internalSetCookieUnsynchronized(const HTTPCookiePtr& cookie) {
    if (policy_ == HTTPCookieAcceptPolicy::Never) return;
    if (cookie->name().empty() || cookie->domain().empty() || cookie->path().empty()) return;
    if (auto stored = cookieMatchingCookieUnsynchronized(*cookie)) {
        auto it = std::find(cookies_.begin(), cookies_.end(), stored);
        if (it != cookies_.end()) cookies_.erase(it);
    }
    if (!hasCookieExpired(*cookie)) cookies_.push_back(cookie);
}

platform::HTTPCookiePtr QNSessionCookieStorage::cookieMatchingCookieUnsynchronized(const HTTPCookie& cookie) const {
    for (const auto& stored : cookies_) {
        if (stored->name() == cookie.name() && stored->domain() == cookie.domain() && stored->path() == cookie.path())
            return stored;
    }
    return nullptr;
}

void QNSessionCookieStorage::removeExpiredCookiesUnsynchronized() {
    for (size_t i = cookies_.size(); i-- > 0;)
        if (hasCookieExpired(*cookies_[i])) cookies_.erase(cookies_.begin() + ptrdiff_t(i));
}

}  // namespace quorvane
