#include "oauth2/QNOAuth2SignIn.h"

#include <array>
#include <mutex>

#include "fetcher/QNSessionFetcher.h"
#include "fetcher/QNSessionFetcherServiceProtocol.h"
#include "platform/foundation/Base64.h"
#include "platform/foundation/Crypto.h"
#include "platform/foundation/Strings.h"
#include "platform/foundation/UUID.h"
#include "platform/net/NetworkReachability.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"

namespace quorvane {

using platform::Bytes;
using platform::Error;
using platform::URL;
using platform::URLRequest;
using platform::Value;

namespace {

constexpr const char* kOutOfBandRedirectURI = "urn:ietf:wg:oauth:2.0:oob";
constexpr const char* kEmailScope = "https://www.googleapis.com/auth/userinfo.email";
constexpr const char* kProfileScope = "https://www.googleapis.com/auth/userinfo.profile";

std::mutex gEndpointsMutex;
std::optional<QNOAuth2SignIn::Endpoints> gEndpoints;

bool nonEmpty(const std::optional<std::string>& s) { return s && !s->empty(); }

URL urlOrDefault(const std::string& text, const std::string& fallback) {
    if (auto url = URL::URLWithString(text)) return *url;
    return *URL::URLWithString(fallback);
}

// The text form of a boolean read from JSON: "1" or "0"; a string counts as true when it
// starts (after blanks and a sign) with Y, y, T, t or a digit 1-9.
std::optional<std::string> booleanText(const Value& v) {
    if (v.isNull()) return std::nullopt;
    if (v.isBool()) return v.asBool() ? "1" : "0";
    if (v.isInt()) return v.asInt() != 0 ? "1" : "0";
    if (v.isDouble()) return v.asDouble() != 0 ? "1" : "0";
    if (v.isString()) {
        const std::string& s = v.asString();
        size_t i = 0;
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n')) ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        while (i < s.size() && s[i] == '0') ++i;
        bool yes = i < s.size() && (s[i] == 'Y' || s[i] == 'y' || s[i] == 'T' || s[i] == 't' || (s[i] >= '1' && s[i] <= '9'));
        return yes ? "1" : "0";
    }
    return std::nullopt;
}

// A JSON value as a parameter string: strings as they are, numbers in decimal.
std::optional<std::string> parameterText(const Value& v) {
    if (v.isString()) return v.asString();
    if (v.isInt()) return std::to_string(v.asInt());
    if (v.isDouble()) {
        double d = v.asDouble();
        if (d == double(int64_t(d))) return std::to_string(int64_t(d));
        return std::to_string(d);
    }
    return std::nullopt;
}

std::optional<URL> failingURLOfError(const Error& error) {
    for (const char* key : {"NSErrorFailingURLKey", Error::kURLErrorFailingURLStringKey}) {
        if (auto text = error.userInfo[key].stringValue())
            if (auto url = URL::URLWithString(*text)) return url;
    }
    return std::nullopt;
}

Value fetcherInfo(const std::shared_ptr<QNSessionFetcher>& fetcher) {
    return Value::dictionary({{kQNOAuth2FetcherKey, Value(int64_t(reinterpret_cast<intptr_t>(fetcher.get())))}});
}

}  // namespace

// --- the provider ---

QNOAuth2SignIn::Endpoints QNOAuth2SignIn::defaultEndpoints() {
    return Endpoints{
        "https://accounts.google.com/o/oauth2/v2/auth",
        "https://www.googleapis.com/oauth2/v4/token",
        "https://accounts.google.com/o/oauth2/revoke",
        "https://www.googleapis.com/oauth2/v3/userinfo",
        ".google.com",
    };
}

QNOAuth2SignIn::Endpoints QNOAuth2SignIn::endpoints() {
    std::lock_guard lock(gEndpointsMutex);
    return gEndpoints ? *gEndpoints : defaultEndpoints();
}

void QNOAuth2SignIn::setEndpoints(Endpoints endpoints) {
    std::lock_guard lock(gEndpointsMutex);
    gEndpoints = std::move(endpoints);
}

URL QNOAuth2SignIn::googleAuthorizationURL() { return urlOrDefault(endpoints().authorizationURL, defaultEndpoints().authorizationURL); }
URL QNOAuth2SignIn::googleTokenURL() { return urlOrDefault(endpoints().tokenURL, defaultEndpoints().tokenURL); }
URL QNOAuth2SignIn::googleRevocationURL() { return urlOrDefault(endpoints().revocationURL, defaultEndpoints().revocationURL); }
URL QNOAuth2SignIn::googleUserInfoURL() { return urlOrDefault(endpoints().userInfoURL, defaultEndpoints().userInfoURL); }
std::string QNOAuth2SignIn::nativeClientRedirectURI() { return kOutOfBandRedirectURI; }
std::string QNOAuth2SignIn::emailScope() { return kEmailScope; }
std::string QNOAuth2SignIn::profileScope() { return kProfileScope; }

std::shared_ptr<QNOAuth2Authentication> QNOAuth2SignIn::standardGoogleAuthenticationForScope(
    std::optional<std::string> scope, std::optional<std::string> clientID, std::optional<std::string> clientSecret) {
    auto auth = QNOAuth2Authentication::authenticationWithServiceProvider(
        kQNOAuth2ServiceProviderGoogle, googleTokenURL(), nativeClientRedirectURI(), std::move(clientID),
        std::move(clientSecret));
    auth->setScope(std::move(scope));
    return auth;
}

URLRequest QNOAuth2SignIn::mutableURLRequestWithURL(const URL& oldURL, const std::string& paramString) {
    if (paramString.empty()) return URLRequest(oldURL);
    std::string query = paramString;
    if (oldURL.query() && !oldURL.query()->empty()) query = *oldURL.query() + "&" + paramString;
    std::string host = oldURL.host().value_or("");
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    std::string port = oldURL.port() ? ":" + std::to_string(*oldURL.port()) : "";
    // The path keeps its escapes, so that a path with escaped characters stays a valid URL.
    std::string text = oldURL.scheme() + "://" + host + port + oldURL.percentEncodedPath() + (query.empty() ? "" : "?") + query;
    return URLRequest(URL::URLWithString(text));
}

std::shared_ptr<QNSessionFetcher> QNOAuth2SignIn::userInfoFetcherWithAuth(const std::shared_ptr<QNOAuth2Authentication>& auth) {
    URLRequest request(googleUserInfoURL());
    std::string userAgent = auth->userAgent();
    if (!userAgent.empty()) request.setValue(userAgent, "User-Agent");
    request.setValue("no-cache", "Cache-Control");

    std::shared_ptr<QNSessionFetcher> fetcher;
    if (auto service = auth->fetcherService()) fetcher = service->fetcherWithRequest(request);
    if (!fetcher) fetcher = QNSessionFetcher::fetcherWithRequest(request);
    // The user-info endpoint is one of the provider's: the authentication may sign for it.
    auth->addAuthorizedOrigin(googleUserInfoURL());
    fetcher->setAuthorizer(auth);
    fetcher->setRetryEnabled(true);
    fetcher->setMaxRetryInterval(15.0);
    fetcher->setMaxResponseBodySize(kQNSessionFetcherSmallResponseBodySize);
    return fetcher;
}

void QNOAuth2SignIn::revokeTokenForGoogleAuthentication(const std::shared_ptr<QNOAuth2Authentication>& auth) {
    (void)revokeTokenForGoogleAuthentication(auth, [](const std::optional<Error>&) {});
}

std::shared_ptr<QNSessionFetcher> QNOAuth2SignIn::revokeTokenForGoogleAuthentication(
    const std::shared_ptr<QNOAuth2Authentication>& auth, RevocationFinished finished) {
    if (!auth) return nullptr;
    std::shared_ptr<QNSessionFetcher> fetcher;
    auto refresh = auth->refreshToken();
    if (nonEmpty(refresh) && auth->canAuthorize() && auth->serviceProvider() == std::string(kQNOAuth2ServiceProviderGoogle)) {
        URLRequest request(googleRevocationURL());
        request.setHTTPMethod("POST");
        request.setValue("application/x-www-form-urlencoded", "Content-Type");
        request.setValue(auth->userAgent(), "User-Agent");
        std::string body = "token=" + QNOAuth2Authentication::encodedOAuthValueForString(*refresh);

        if (auto service = auth->fetcherService()) fetcher = service->fetcherWithRequest(request);
        if (!fetcher) fetcher = QNSessionFetcher::fetcherWithRequest(request);
        fetcher->setBodyData(Bytes(body.begin(), body.end()));
        fetcher->setSecretExchange(true);
        fetcher->setMaxResponseBodySize(kQNSessionFetcherSmallResponseBodySize);
        fetcher->setComment("QNOAuth2 revoke token for " + auth->userEmail().value_or(""));
        fetcher->beginFetchWithCompletionHandler(
            [finished = std::move(finished)](const std::optional<Bytes>&, const std::optional<Error>& error) {
                if (finished) finished(error);
            });
    }
    auth->reset();
    return fetcher;
}

std::optional<Bytes> QNOAuth2SignIn::decodeWebSafeBase64(std::string_view text) {
    static const std::array<uint8_t, 256> table = [] {
        std::array<uint8_t, 256> t{};
        const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
        for (uint8_t i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = i;
        return t;
    }();
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
    size_t n = text.size();
    while (n > 0 && text[n - 1] == '=') --n;
    size_t outLength = n * 3 / 4;
    Bytes out(outLength);
    size_t o = 0;
    for (size_t i = 0; i < n && o < outLength; i += 4) {
        uint32_t v = 0;
        for (size_t k = 0; k < 4; ++k) {
            uint8_t d = i + k < n ? table[static_cast<unsigned char>(text[i + k])] : 0;
            v = (v << 6) | d;
        }
        for (int shift = 16; shift >= 0 && o < outLength; shift -= 8) out[o++] = uint8_t((v >> shift) & 0xFF);
    }
    return out;
}

// --- making ---

QNOAuth2SignIn::QNOAuth2SignIn(std::shared_ptr<QNOAuth2Authentication> authentication, std::optional<URL> authorizationURL,
                               std::shared_ptr<void> delegate, WebRequestCallback webRequestSelector,
                               FinishedCallback finishedSelector)
    : authentication_(std::move(authentication)),
      authorizationURL_(std::move(authorizationURL)),
      delegate_(std::move(delegate)),
      webRequestSelector_(std::move(webRequestSelector)),
      finishedSelector_(std::move(finishedSelector)) {
    std::string suffix = endpoints().domainSuffix;
    if (authorizationURL_ && authorizationURL_->host() && !suffix.empty())
        shouldFetchGoogleUserEmail_ = platform::hasSuffix(*authorizationURL_->host(), suffix);
}

QNOAuth2SignIn::~QNOAuth2SignIn() {
    stopReachabilityCheck();
    destroySignInTimer();
}

void QNOAuth2SignIn::postNotification(const char* name) {
    platform::NotificationCenter::defaultCenter().post(name, this);
}

// --- running ---

bool QNOAuth2SignIn::startSigningIn() {
    addScopeForGoogleUserInfo();
    startSignInTimer();
    return startWebRequest();
}

void QNOAuth2SignIn::startSignInTimer() {
    destroySignInTimer();
    if (signInTimeoutInterval_ <= 0) return;
    std::weak_ptr<QNOAuth2SignIn> weak = weak_from_this();
    signInTimer_ = platform::Timer::scheduled(signInTimeoutInterval_, false, [weak](platform::Timer&) {
        if (auto self = weak.lock()) self->signInTimedOut();
    });
}

void QNOAuth2SignIn::destroySignInTimer() {
    if (auto timer = std::move(signInTimer_)) timer->invalidate();
    signInTimer_.reset();
}

void QNOAuth2SignIn::signInTimedOut() {
    auto self = shared_from_this();
    signInTimer_.reset();
    if (!finishedSelector_) return;
    if (auto fetcher = std::move(pendingFetcher_)) fetcher->stopFetching();
    pendingFetcher_.reset();
    if (authentication_) authentication_->stopAuthorization();
    closeTheWindow();
    invokeFinalCallbackWithError(Error(kQNOAuth2ErrorDomain, kQNOAuth2ErrorSignInTimedOut));
}

void QNOAuth2SignIn::addScopeForGoogleUserInfo() {
    auto auth = authentication_;
    if (!auth) return;
    if (shouldFetchGoogleUserEmail_) {
        auto scope = auth->scope();
        if (scope && scope->find(kEmailScope) == std::string::npos)
            auth->setScope(QNOAuth2Authentication::scopeWithStrings({*scope, kEmailScope}));
    }
    if (shouldFetchGoogleUserProfile_) {
        auto scope = auth->scope();
        if (scope && scope->find(kProfileScope) == std::string::npos)
            auth->setScope(QNOAuth2Authentication::scopeWithStrings({*scope, kProfileScope}));
    }
}

Value QNOAuth2SignIn::parametersForWebRequest() {
    auto auth = authentication_;
    if (!auth) return Value();
    auto clientID = auth->clientID();
    auto redirectURI = auth->redirectURI();
    if (!nonEmpty(clientID) || !nonEmpty(redirectURI)) return Value();
    Value params = Value::dictionary();
    params.set("response_type", "code");
    params.set("client_id", *clientID);
    if (auto scope = auth->scope(); nonEmpty(scope)) params.set("scope", *scope);
    params.set("redirect_uri", *redirectURI);
    if (additionalAuthorizationParameters_ && additionalAuthorizationParameters_->isDictionary())
        for (const auto& [key, value] : additionalAuthorizationParameters_->asDictionary()) params.set(key, value);
    return params;
}

bool QNOAuth2SignIn::startWebRequest() {
    Value params = parametersForWebRequest();
    if (params.isDictionary() && authentication_) {
        // PKCE (S256): only whoever holds the verifier can exchange the code the page returns.
        uint8_t random[32];
        platform::randomBytes(random, sizeof random);
        std::string verifier = platform::base64URLEncode(random, sizeof random);
        authentication_->setCodeVerifier(verifier);
        auto digest = platform::sha256(verifier);
        params.set("code_challenge", platform::base64URLEncode(digest.data(), digest.size()));
        params.set("code_challenge_method", "S256");
    }
    std::string paramString = params.isDictionary() ? QNOAuth2Authentication::encodedQueryParametersForDictionary(params) : "";
    URLRequest request = authorizationURL_ ? mutableURLRequestWithURL(*authorizationURL_, paramString) : URLRequest();
    auto self = shared_from_this();
    if (auto display = webRequestSelector_) display(self, request);
    startReachabilityCheck();
    return true;
}

void QNOAuth2SignIn::closeTheWindow() {
    stopReachabilityCheck();
    if (auto display = webRequestSelector_) display(shared_from_this(), std::nullopt);
}

// --- the page's answer ---

bool QNOAuth2SignIn::requestRedirectedToRequest(const URLRequest& redirectedRequest) {
    auto auth = authentication_;
    if (!auth) return false;
    auto redirectURI = auth->redirectURI();
    if (!nonEmpty(redirectURI) || *redirectURI == kOutOfBandRedirectURI) return false;
    auto redirectURL = URL::URLWithString(*redirectURI);
    const auto& requestURL = redirectedRequest.url();
    if (!requestURL) return false;
    bool isCallback;
    if (requestURL->host()) {
        isCallback = redirectURL && redirectURL->host() == requestURL->host() && redirectURL->path() == requestURL->path();
    } else {
        isCallback = redirectURL && *redirectURL == *requestURL;
    }
    if (!isCallback) return false;
    if (hasHandledCallback_) return true;  // a second sight of the answer changes nothing
    auth->setKeysForResponseString(requestURL->query().value_or(""));
    authCodeObtained();
    return true;
}

bool QNOAuth2SignIn::titleChanged(const std::string& title) {
    size_t blank = title.rfind(' ');
    if (blank == std::string::npos) return false;
    auto dict = QNOAuth2Authentication::dictionaryWithResponseString(title.substr(blank + 1));
    if (!dict) return false;
    auto hasText = [&](const char* key) {
        auto v = (*dict)[key].stringValue();
        return v && !v->empty();
    };
    if (!hasText("code") && !hasText("error")) return false;
    if (hasHandledCallback_) return true;
    if (authentication_) authentication_->setKeysForResponseDictionary(*dict);
    authCodeObtained();
    return true;
}

bool QNOAuth2SignIn::cookiesChanged(const std::shared_ptr<platform::HTTPCookieStorage>&) { return false; }

bool QNOAuth2SignIn::loadFailedWithError(const Error& error) {
    // Once the page has answered, the display no longer matters: a failure it reports later
    // (such as the stopped load of the redirect) must not end the code exchange under way.
    if (hasHandledCallback_) return false;
    auto failedURL = failingURLOfError(error);
    bool isAuthURL = failedURL && authorizationURL_ && failedURL->host() == authorizationURL_->host() &&
                     failedURL->path() == authorizationURL_->path();
    if (!isAuthURL) return false;
    closeTheWindow();
    invokeFinalCallbackWithError(error);
    return true;
}

void QNOAuth2SignIn::windowWasClosed() {
    stopReachabilityCheck();
    invokeFinalCallbackWithError(Error(kQNOAuth2ErrorDomain, kQNOAuth2ErrorWindowClosed));
}

void QNOAuth2SignIn::authCodeObtained() {
    auto self = shared_from_this();
    hasHandledCallback_ = true;
    if (webRequestSelector_) closeTheWindow();
    else addScopeForGoogleUserInfo();

    auto auth = authentication_;
    std::optional<Error> error;
    if (auth && nonEmpty(auth->code())) {
        // The token fetch keeps the sign-in alive until it answers.
        auto fetcher = auth->beginTokenFetchWithDelegate(
            [self](const std::shared_ptr<QNOAuth2Authentication>&, const std::shared_ptr<QNSessionFetcher>& f,
                   const std::optional<Error>& e) { self->authFinished(f, e); });
        pendingFetcher_ = fetcher;
        if (!fetcher) error = Error(QNSessionFetcherStatusDomain, -1);
        postNotification(kQNOAuth2UserSignedIn);
    } else {
        Error noCode(kQNOAuth2ErrorDomain, kQNOAuth2ErrorAuthorizationFailed);
        if (auth)
            if (auto word = auth->errorString(); nonEmpty(word)) noCode.userInfo.set("error", *word);
        error = noCode;
    }
    if (error) finishSignInWithError(error);
}

void QNOAuth2SignIn::authFinished(const std::shared_ptr<QNSessionFetcher>&, const std::optional<Error>& error) {
    auto self = shared_from_this();
    pendingFetcher_.reset();
    if (error) {
        finishSignInWithError(error);
        return;
    }
    if (!shouldFetchGoogleUserEmail_ && !shouldFetchGoogleUserProfile_) {
        finishSignInWithError(std::nullopt);
        return;
    }
    if (authentication_ && authentication_->serviceProvider() == std::string(kQNOAuth2ServiceProviderGoogle)) {
        fetchGoogleUserInfo();
        return;
    }
    finishSignInWithError(std::nullopt);
}

void QNOAuth2SignIn::fetchGoogleUserInfo() {
    auto auth = authentication_;
    if (!auth) return;
    if (!shouldFetchGoogleUserProfile_) {
        // The identity may already be in the id_token of the token answer.
        if (auto idToken = auth->parameterForKey("id_token").stringValue()) {
            std::vector<std::string> parts;
            size_t start = 0;
            while (true) {
                size_t dot = idToken->find('.', start);
                parts.push_back(idToken->substr(start, dot == std::string::npos ? std::string::npos : dot - start));
                if (dot == std::string::npos) break;
                start = dot + 1;
            }
            if (parts.size() == 3 && !parts[1].empty()) {
                if (auto bytes = decodeWebSafeBase64(parts[1])) {
                    updateGoogleUserInfoWithData(*bytes);
                    if (nonEmpty(auth->userID()) && nonEmpty(auth->userEmail())) {
                        finishSignInWithError(std::nullopt);
                        return;
                    }
                }
            }
        }
    }
    auto fetcher = userInfoFetcherWithAuth(auth);
    auto self = shared_from_this();
    std::weak_ptr<QNSessionFetcher> weakFetcher = fetcher;
    pendingFetcher_ = fetcher;
    fetcher->beginFetchWithCompletionHandler(
        [self, weakFetcher](const std::optional<Bytes>& data, const std::optional<Error>& error) {
            self->infoFetcherFinished(weakFetcher.lock(), data, error);
        });
    Value info = fetcherInfo(fetcher);
    info.set(kQNOAuth2FetchTypeKey, kQNOAuth2FetchTypeUserInfo);
    platform::NotificationCenter::defaultCenter().post(kQNOAuth2FetchStarted, auth.get(), info);
}

void QNOAuth2SignIn::infoFetcherFinished(const std::shared_ptr<QNSessionFetcher>& fetcher,
                                         const std::optional<Bytes>& data, const std::optional<Error>& error) {
    auto self = shared_from_this();
    if (authentication_)
        platform::NotificationCenter::defaultCenter().post(kQNOAuth2FetchStopped, authentication_.get(), fetcherInfo(fetcher));
    pendingFetcher_.reset();
    if (!error) updateGoogleUserInfoWithData(data);
    finishSignInWithError(error);
}

void QNOAuth2SignIn::updateGoogleUserInfoWithData(const std::optional<Bytes>& data) {
    if (!data) return;
    auto dict = QNOAuth2Authentication::dictionaryWithJSONData(*data);
    if (!dict || !dict->isDictionary()) return;
    userProfile_ = *dict;
    if (!authentication_) return;
    authentication_->setUserID(parameterText((*dict)["sub"]));
    authentication_->setUserEmail(parameterText((*dict)["email"]));
    authentication_->setUserEmailIsVerified(booleanText((*dict)["email_verified"]));
}

// --- the end ---

void QNOAuth2SignIn::finishSignInWithError(const std::optional<Error>& error) { invokeFinalCallbackWithError(error); }

void QNOAuth2SignIn::invokeFinalCallbackWithError(const std::optional<Error>& error) {
    // The delegate goes first, so that a second end (or a call from within the callback) calls nobody.
    auto self = shared_from_this();
    destroySignInTimer();
    auto delegate = std::move(delegate_);
    auto finished = std::move(finishedSelector_);
    delegate_.reset();
    finishedSelector_ = nullptr;
    webRequestSelector_ = nullptr;
    if (finished) finished(self, authentication_, error);
}

void QNOAuth2SignIn::cancelSigningIn() {
    auto self = shared_from_this();
    destroySignInTimer();
    if (auto fetcher = std::move(pendingFetcher_)) fetcher->stopFetching();
    pendingFetcher_.reset();
    if (authentication_) authentication_->stopAuthorization();
    closeTheWindow();
    delegate_.reset();
    finishedSelector_ = nullptr;
    webRequestSelector_ = nullptr;
}

// --- reachability ---

void QNOAuth2SignIn::startReachabilityCheck() {
    if (networkLossTimeoutInterval_ <= 0 || reachability_) return;
    if (!authorizationURL_ || !authorizationURL_->host()) return;
    auto target = platform::NetworkReachability::withName(*authorizationURL_->host(), authorizationURL_->effectivePort());
    if (!target) return;
    std::weak_ptr<QNOAuth2SignIn> weak = weak_from_this();
    target->setCallback([weak](platform::NetworkReachability&, uint32_t flags) {
        if (auto self = weak.lock()) self->reachabilityTargetChangedFlags(flags);
    });
    if (!target->scheduleWithRunLoop(platform::RunLoop::current())) {
        target->setCallback(nullptr);
        return;
    }
    reachability_ = std::move(target);
}

void QNOAuth2SignIn::reachabilityTargetChangedFlags(uint32_t flags) {
    bool reachable = (flags & platform::kNetworkReachabilityFlagsReachable) &&
                     !(flags & platform::kNetworkReachabilityFlagsConnectionRequired);
    if (reachable) {
        destroyUnreachabilityTimer();
        if (hasNotifiedNetworkLoss_) {
            postNotification(kQNOAuthNetworkFound);
            hasNotifiedNetworkLoss_ = false;
        }
        return;
    }
    if (!networkLossTimer_ && networkLossTimeoutInterval_ > 0 && !hasNotifiedNetworkLoss_) {
        std::weak_ptr<QNOAuth2SignIn> weak = weak_from_this();
        networkLossTimer_ = platform::Timer::scheduled(networkLossTimeoutInterval_, false, [weak](platform::Timer&) {
            if (auto self = weak.lock()) self->reachabilityTimerFired();
        });
    }
}

void QNOAuth2SignIn::reachabilityTimerFired() {
    if (!hasNotifiedNetworkLoss_) {
        postNotification(kQNOAuthNetworkLost);
        hasNotifiedNetworkLoss_ = true;
    }
    destroyUnreachabilityTimer();
}

void QNOAuth2SignIn::destroyUnreachabilityTimer() {
    if (auto timer = std::move(networkLossTimer_)) timer->invalidate();
    networkLossTimer_.reset();
}

void QNOAuth2SignIn::stopReachabilityCheck() {
    destroyUnreachabilityTimer();
    if (auto target = std::move(reachability_)) {
        target->unscheduleFromRunLoop();
        target->setCallback(nullptr);
    }
    reachability_.reset();
}

}  // namespace quorvane
