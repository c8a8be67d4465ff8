#include "platform/net/HTTPCookieStorage.h"

#include <algorithm>

#include "platform/foundation/Strings.h"
#include "platform/net/URLSessionTask.h"

namespace quorvane::platform {

namespace {

bool domainMatches(const std::string& cookieDomain, const std::string& host) {
    std::string d = asciiLower(cookieDomain);
    if (!d.empty() && d[0] == '.') {
        std::string bare = d.substr(1);
        return host == bare || hasSuffix(host, d);
    }
    return host == d;
}

bool sameCookie(const HTTPCookie& a, const HTTPCookie& b) {
    return a.name() == b.name() && asciiEqualsIgnoringCase(a.domain(), b.domain()) && a.path() == b.path();
}

}  // namespace

bool cookieHasExpired(const HTTPCookie& cookie, Date now) {
    return cookie.expiresDate() && *cookie.expiresDate() < now;
}

const std::shared_ptr<HTTPCookieStorage>& HTTPCookieStorage::sharedHTTPCookieStorage() {
    static const auto& shared = *new std::shared_ptr<HTTPCookieStorage>(std::make_shared<HTTPCookieStorage>());
    return shared;
}

HTTPCookieStorage::CookieList HTTPCookieStorage::cookies() {
    std::lock_guard lock(mutex_);
    Date now = Date::now();
    std::erase_if(cookies_, [&](const HTTPCookiePtr& c) { return cookieHasExpired(*c, now); });
    return cookies_;
}

void HTTPCookieStorage::setCookie(const HTTPCookiePtr& cookie) {
    if (!cookie) return;
    std::lock_guard lock(mutex_);
    if (policy_ == HTTPCookieAcceptPolicy::Never) return;
    std::erase_if(cookies_, [&](const HTTPCookiePtr& c) { return sameCookie(*c, *cookie); });
    if (!cookieHasExpired(*cookie, Date::now())) cookies_.push_back(cookie);
}

void HTTPCookieStorage::deleteCookie(const HTTPCookiePtr& cookie) {
    if (!cookie) return;
    std::lock_guard lock(mutex_);
    std::erase_if(cookies_, [&](const HTTPCookiePtr& c) { return sameCookie(*c, *cookie); });
}

std::optional<HTTPCookieStorage::CookieList> HTTPCookieStorage::cookiesForURL(const URL& url) {
    std::string host = asciiLower(url.host().value_or(""));
    if (host.empty()) return std::nullopt;
    std::string path = cookieRequestPath(url);
    bool secure = asciiEqualsIgnoringCase(url.scheme(), "https");
    CookieList out;
    {
        std::lock_guard lock(mutex_);
        Date now = Date::now();
        std::erase_if(cookies_, [&](const HTTPCookiePtr& c) { return cookieHasExpired(*c, now); });
        for (const auto& c : cookies_) {
            if (!domainMatches(c->domain(), host) || !cookiePathMatches(c->path(), path)) continue;
            if (c->isSecure() && !secure) continue;
            out.push_back(c);
        }
    }
    if (out.empty()) return std::nullopt;
    std::stable_sort(out.begin(), out.end(),
                     [](const HTTPCookiePtr& a, const HTTPCookiePtr& b) { return a->path().size() > b->path().size(); });
    return out;
}

void HTTPCookieStorage::setCookies(const CookieList& cookies, const std::optional<URL>& url,
                                   const std::optional<URL>& mainDocumentURL) {
    HTTPCookieAcceptPolicy policy = cookieAcceptPolicy();
    if (policy == HTTPCookieAcceptPolicy::Never) return;
    if (policy == HTTPCookieAcceptPolicy::OnlyFromMainDocumentDomain && mainDocumentURL && mainDocumentURL->host()) {
        std::string mainHost = asciiLower(*mainDocumentURL->host());
        std::string host = url && url->host() ? asciiLower(*url->host()) : std::string();
        if (host != mainHost && !hasSuffix(host, std::string(".").append(mainHost))) return;
    }
    for (const auto& c : cookies) setCookie(c);
}

void HTTPCookieStorage::storeCookies(const CookieList& cookies, const std::shared_ptr<URLSessionTask>& task) {
    if (!task) return;
    auto request = task->currentRequest();
    if (!request) return;
    setCookies(cookies, request->url(), request->mainDocumentURL());
}

void HTTPCookieStorage::getCookiesForTask(const std::shared_ptr<URLSessionTask>& task,
                                          std::function<void(std::optional<CookieList>)> completionHandler) {
    if (!completionHandler) return;
    std::optional<CookieList> found;
    if (task) {
        auto request = task->currentRequest();
        if (request && request->url()) found = cookiesForURL(*request->url());
    }
    completionHandler(std::move(found));
}

HTTPCookieAcceptPolicy HTTPCookieStorage::cookieAcceptPolicy() {
    std::lock_guard lock(mutex_);
    return policy_;
}

void HTTPCookieStorage::setCookieAcceptPolicy(HTTPCookieAcceptPolicy policy) {
    std::lock_guard lock(mutex_);
    policy_ = policy;
}

}  // namespace quorvane::platform
