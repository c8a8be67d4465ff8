#include "oauth2/QNOAuth2Authentication.h"

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "fetcher/QNSessionFetcher.h"
#include "fetcher/QNSessionFetcherServiceProtocol.h"
#include "platform/foundation/BundleInfo.h"
#include "platform/foundation/Secrets.h"
#include "platform/foundation/Strings.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/net/URLError.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"

namespace quorvane {

using platform::Bytes;
using platform::Date;
using platform::Error;
using platform::URL;
using platform::URLRequest;
using platform::Value;

// --- QNOAuth2AuthorizationArgs ---

std::shared_ptr<QNOAuth2AuthorizationArgs> QNOAuth2AuthorizationArgs::argsWithRequest(std::shared_ptr<URLRequest> request,
                                                                                      FinishedCallback delegate,
                                                                                      CompletionHandler completionHandler,
                                                                                      std::thread::id thread) {
    auto args = std::make_shared<QNOAuth2AuthorizationArgs>();
    args->request = std::move(request);
    args->delegate = std::move(delegate);
    args->completionHandler = std::move(completionHandler);
    args->thread = thread;
    return args;
}

// --- creation and settings ---

std::shared_ptr<QNOAuth2Authentication> QNOAuth2Authentication::authenticationWithServiceProvider(
    std::optional<std::string> serviceProvider, std::optional<URL> tokenURL, std::optional<std::string> redirectURI,
    std::optional<std::string> clientID, std::optional<std::string> clientSecret) {
    auto auth = std::make_shared<QNOAuth2Authentication>();
    auth->setServiceProvider(std::move(serviceProvider));
    auth->setTokenURL(std::move(tokenURL));
    auth->setRedirectURI(std::move(redirectURI));
    auth->setClientID(std::move(clientID));
    auth->setClientSecret(std::move(clientSecret));
    return auth;
}

// What the client holds in confidence (see also the parameters below) is remembered as it is
// set, so that it is never printed or logged, whatever a server echoes.
#define QV_LOCKED_PROPERTY_REMEMBERING(Type, getter, setter, field, remember) \
    Type QNOAuth2Authentication::getter() const {                             \
        std::lock_guard lock(mutex_);                                         \
        return field;                                                         \
    }                                                                         \
    void QNOAuth2Authentication::setter(Type v) {                             \
        remember(v);                                                          \
        std::lock_guard lock(mutex_);                                         \
        field = std::move(v);                                                 \
    }
#define QV_LOCKED_PROPERTY(Type, getter, setter, field) QV_LOCKED_PROPERTY_REMEMBERING(Type, getter, setter, field, (void))
#define QV_SECRET_PROPERTY(getter, setter, field) \
    QV_LOCKED_PROPERTY_REMEMBERING(std::optional<std::string>, getter, setter, field, rememberSecretText)

namespace {
bool isSecretParameter(const std::string& key) {
    return key == "access_token" || key == "refresh_token" || key == "code" || key == "assertion";
}
void rememberSecretValue(const Value& value) {
    if (value.isString()) platform::rememberSecret(value.asString());
}
void rememberSecretText(const std::optional<std::string>& text) {
    if (text) platform::rememberSecret(*text);
}
}  // namespace

QV_LOCKED_PROPERTY(std::optional<std::string>, clientID, setClientID, clientID_)
QV_SECRET_PROPERTY(clientSecret, setClientSecret, clientSecret_)
QV_LOCKED_PROPERTY(std::optional<std::string>, redirectURI, setRedirectURI, redirectURI_)
QV_LOCKED_PROPERTY(std::optional<URL>, tokenURL, setTokenURL, tokenURL_)
QV_LOCKED_PROPERTY(std::optional<Date>, expirationDate, setExpirationDate, expirationDate_)
QV_LOCKED_PROPERTY(std::optional<std::string>, authorizationTokenKey, setAuthorizationTokenKey, authorizationTokenKey_)
QV_LOCKED_PROPERTY(Value, additionalTokenRequestParameters, setAdditionalTokenRequestParameters,
                   additionalTokenRequestParameters_)
QV_LOCKED_PROPERTY(Value, additionalGrantTypeRequestParameters, setAdditionalGrantTypeRequestParameters,
                   additionalGrantTypeRequestParameters_)
QV_LOCKED_PROPERTY(bool, shouldAuthorizeAllRequests, setShouldAuthorizeAllRequests, shouldAuthorizeAllRequests_)
QV_LOCKED_PROPERTY(std::shared_ptr<void>, userData, setUserData, userData_)
QV_SECRET_PROPERTY(codeVerifier, setCodeVerifier, codeVerifier_)

#undef QV_SECRET_PROPERTY
#undef QV_LOCKED_PROPERTY
#undef QV_LOCKED_PROPERTY_REMEMBERING

std::vector<std::string> QNOAuth2Authentication::authorizedOrigins() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> origins = authorizedOrigins_;
    if (tokenURL_ && tokenURL_->host() && !tokenURL_->host()->empty()) origins.insert(origins.begin(), tokenURL_->originString());
    return origins;
}

void QNOAuth2Authentication::addAuthorizedOrigin(const URL& url) {
    if (!url.host() || url.host()->empty()) return;
    std::string origin = url.originString();
    std::lock_guard lock(mutex_);
    for (const auto& known : authorizedOrigins_)
        if (known == origin) return;
    authorizedOrigins_.push_back(origin);
}

std::shared_ptr<QNSessionFetcherServiceProtocol> QNOAuth2Authentication::fetcherService() const {
    std::lock_guard lock(mutex_);
    return fetcherService_.lock();
}

void QNOAuth2Authentication::setFetcherService(const std::weak_ptr<QNSessionFetcherServiceProtocol>& service) {
    std::lock_guard lock(mutex_);
    fetcherService_ = service;
}

std::shared_ptr<QNSessionFetcher> QNOAuth2Authentication::refreshFetcher() const {
    std::lock_guard lock(queueMutex_);
    return refreshFetcher_;
}

void QNOAuth2Authentication::setProperty(Value value, const std::string& key) {
    std::lock_guard lock(mutex_);
    if (value.isNull()) properties_.remove(key);
    else properties_.set(key, std::move(value));
}

Value QNOAuth2Authentication::propertyForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return properties_[key];
}

// --- parameters ---

Value QNOAuth2Authentication::parameters() const {
    std::lock_guard lock(mutex_);
    return parameters_;
}

Value QNOAuth2Authentication::parameterForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return parameters_[key];
}

std::optional<std::string> QNOAuth2Authentication::parameterString(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const Value* v = parameters_.find(key);
    if (!v) return std::nullopt;
    if (v->isString()) return v->asString();
    if (v->isInt()) return std::to_string(v->asInt());
    if (v->isBool()) return std::string(v->asBool() ? "1" : "0");
    if (v->isDouble()) return std::to_string(v->asInt());  // clamped to the 64-bit range
    return std::nullopt;
}

void QNOAuth2Authentication::setParameter(Value value, const std::string& key) {
    if (isSecretParameter(key)) rememberSecretValue(value);
    std::lock_guard lock(mutex_);
    if (value.isNull()) parameters_.remove(key);
    else parameters_.set(key, std::move(value));
}

void QNOAuth2Authentication::setParameter(std::optional<std::string> value, const std::string& key) {
    setParameter(value ? Value(std::move(*value)) : Value(), key);
}

void QNOAuth2Authentication::addParametersFromDictionary(const Value& dict) {
    if (!dict.isDictionary()) return;
    for (const auto& [k, v] : dict.asDictionary())
        if (isSecretParameter(k)) rememberSecretValue(v);
    std::lock_guard lock(mutex_);
    for (const auto& [k, v] : dict.asDictionary()) parameters_.set(k, v);
}

std::optional<int64_t> QNOAuth2Authentication::expiresIn() const {
    Value v = parameterForKey("expires_in");
    if (v.isInt()) return v.asInt();
    if (v.isDouble()) return v.asInt();  // "expires_in": 1e300 is clamped, not converted out of range
    if (v.isBool()) return v.asBool() ? 1 : 0;
    if (v.isString()) {
        // Like a C integer read: leading blanks, a sign and digits; anything else reads as 0.
        const std::string& s = v.asString();
        return int64_t(std::strtoll(s.c_str(), nullptr, 10));
    }
    return std::nullopt;
}

void QNOAuth2Authentication::setExpiresIn(std::optional<int64_t> seconds) {
    setParameter(seconds ? Value(*seconds) : Value(), "expires_in");
    updateExpirationDate();
}

void QNOAuth2Authentication::updateExpirationDate() {
    // A positive lifetime gives the expiry; none, zero or a negative one leaves no expiry known,
    // so a refresh token is used at the next authorization.
    auto seconds = expiresIn();
    std::optional<Date> date;
    if (seconds && *seconds > 0) date = Date(Date::now().timeIntervalSinceReferenceDate() + double(*seconds));
    setExpirationDate(date);
}

std::optional<std::string> QNOAuth2Authentication::authorizationToken() const {
    auto key = authorizationTokenKey();
    return parameterString(key ? *key : "access_token");
}

// --- state ---

namespace {
bool nonEmpty(const std::optional<std::string>& s) { return s && !s->empty(); }
}  // namespace

bool QNOAuth2Authentication::canAuthorize() const {
    auto refresh = refreshToken();
    if (nonEmpty(refresh)) return true;
    return nonEmpty(authorizationToken());
}

bool QNOAuth2Authentication::shouldRefreshAccessToken() const {
    bool hasRefreshMeans = nonEmpty(refreshToken()) || nonEmpty(assertion()) || nonEmpty(code());
    if (!nonEmpty(accessToken())) return hasRefreshMeans;
    if (!hasRefreshMeans) return false;
    auto expiry = expirationDate();
    if (!expiry) return true;
    return expiry->timeIntervalSince(Date::now()) < 60.0;
}

std::optional<bool> QNOAuth2Authentication::primeForRefresh() {
    if (!nonEmpty(refreshToken())) return false;
    setAccessToken(std::nullopt);
    setExpiresIn(std::nullopt);
    setExpirationDate(std::nullopt);
    setErrorString(std::nullopt);
    return true;
}

void QNOAuth2Authentication::reset() {
    for (const char* key : {"code", "access_token", "refresh_token", "assertion", "expires_in", "error", "email", "isVerified"})
        setParameter(Value(), key);
    setExpirationDate(std::nullopt);
    setAuthorizationTokenKey(std::nullopt);
}

// --- authorizing ---

Error QNOAuth2Authentication::makeError(int64_t code, const std::shared_ptr<URLRequest>& request) const {
    Error e(kQNOAuth2ErrorDomain, code);
    if (request) {
        // The request itself cannot travel in a user-info value; its URL identifies it.
        e.userInfo.set("request", Value(request->url() ? request->url()->absoluteString() : std::string()));
    }
    return e;
}

void QNOAuth2Authentication::authorizeRequest(const std::shared_ptr<URLRequest>& request, AuthorizationCompletion completion) {
    FinishedCallback finished;
    if (completion) {
        finished = [completion = std::move(completion)](const std::shared_ptr<QNOAuth2Authentication>&,
                                                        const std::shared_ptr<URLRequest>& r, const std::optional<Error>& e) {
            completion(r, e);
        };
    }
    authorizeRequest(request, std::move(finished));
}

void QNOAuth2Authentication::authorizeRequest(const std::shared_ptr<URLRequest>& request, FinishedCallback finished) {
    authorizeRequestArgs(QNOAuth2AuthorizationArgs::argsWithRequest(request, std::move(finished), nullptr,
                                                                    std::this_thread::get_id()));
}

void QNOAuth2Authentication::authorizeRequest(const std::shared_ptr<URLRequest>& request, CompletionHandler handler) {
    authorizeRequestArgs(QNOAuth2AuthorizationArgs::argsWithRequest(request, nullptr, std::move(handler),
                                                                    std::this_thread::get_id()));
}

bool QNOAuth2Authentication::authorizeRequest(const std::shared_ptr<URLRequest>& request) {
    auto args = QNOAuth2AuthorizationArgs::argsWithRequest(request, nullptr, nullptr, std::this_thread::get_id());
    return authorizeRequestImmediateArgs(args);
}

bool QNOAuth2Authentication::authorizeRequestArgs(const std::shared_ptr<QNOAuth2AuthorizationArgs>& args) {
    std::lock_guard lock(queueMutex_);
    if (shouldRefreshAccessToken()) {
        if (refreshFetcher_ || lockWaitTimer_) {
            authorizationQueue_.push_back(args);
            return true;
        }
        // Queued first: a refresh that cannot begin answers every waiting call, this one too.
        authorizationQueue_.push_back(args);
        if (startRefresh()) return !args->error;
        authorizationQueue_.pop_back();
    }
    return authorizeRequestImmediateArgs(args);
}

bool QNOAuth2Authentication::authorizeRequestImmediateArgs(const std::shared_ptr<QNOAuth2AuthorizationArgs>& args) {
    const auto& request = args->request;
    std::optional<URL> url = request ? request->url() : std::nullopt;
    bool maySign = !url || url->isFileURL();
    if (!maySign && (platform::asciiEqualsIgnoringCase(url->scheme(), "https") || shouldAuthorizeAllRequests())) {
        const std::string origin = url->originString();
        for (const auto& known : authorizedOrigins())
            if (known == origin) maySign = true;
    }
    std::optional<int64_t> failure;
    std::optional<std::string> why;
    if (!maySign) {
        failure = kQNOAuth2ErrorUnauthorizableRequest;
        why = "The request was addressed to " + url->originString() +
              ", which is not the provider this sign-in is for; the sign-in was not sent there.";
    } else {
        auto token = authorizationToken();
        if (nonEmpty(token) && !platform::HTTPHeaders::isValidValue(*token)) {
            // A token that would split the header is no token: nothing is signed with it.
            failure = kQNOAuth2ErrorAuthorizationFailed;
            why = "The access token holds a line break or NUL; the request was not signed.";
        } else if (nonEmpty(token)) {
            if (request) request->setValue("Bearer " + *token, "Authorization");
            args->error.reset();
        } else {
            failure = kQNOAuth2ErrorAuthorizationFailed;
        }
    }
    if (failure && !args->error) {
        args->error = makeError(*failure, request);
        if (why) args->error->userInfo.set(platform::Error::kLocalizedDescriptionKey, Value(*why));
    }
    bool ok = !args->error;
    if (!args->delegate && !args->completionHandler) return ok;
    if (std::this_thread::get_id() == args->thread) {
        deliver(args);
    } else {
        auto service = fetcherService();
        auto queue = service ? service->callbackQueue() : nullptr;
        if (!queue) queue = platform::DispatchQueue::main();
        queue->async([self = shared_from_this(), args] { self->deliver(args); });
    }
    return ok;
}

void QNOAuth2Authentication::deliver(const std::shared_ptr<QNOAuth2AuthorizationArgs>& args) {
    if (args->delegate) args->delegate(shared_from_this(), args->request, args->error);
    if (args->completionHandler) args->completionHandler(args->error);
}

void QNOAuth2Authentication::unlockRefresh() {
    if (auto timer = std::move(refreshDeadlineTimer_)) timer->invalidate();
    refreshDeadlineTimer_.reset();
    if (auto unlock = std::move(refreshUnlock_)) unlock();
    refreshUnlock_ = nullptr;
}

void QNOAuth2Authentication::setRefreshLock(RefreshLock lock, std::function<void(double seconds)> waiting,
                                            std::optional<double> wait) {
    std::lock_guard guard(queueMutex_);
    refreshLock_ = std::move(lock);
    refreshLockWaiting_ = std::move(waiting);
    refreshLockWait_ = wait;
}

void QNOAuth2Authentication::setRefreshStore(RefreshStore store) {
    std::lock_guard guard(queueMutex_);
    refreshStore_ = std::move(store);
}

double QNOAuth2Authentication::refreshDeadline() const {
    std::lock_guard guard(queueMutex_);
    return refreshDeadline_;
}

void QNOAuth2Authentication::setRefreshDeadline(double seconds) {
    std::lock_guard guard(queueMutex_);
    refreshDeadline_ = seconds > 0 ? seconds : kQNOAuth2RefreshDeadline;
}

namespace {
double steadySeconds() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }
constexpr double kLockPollInterval = 0.02;
// Refreshes with the stored refresh token after the first one failed, within one refresh.
constexpr int kMaxStoredTokenRetries = 3;
}  // namespace

bool QNOAuth2Authentication::startRefresh() {
    storedTokenRetries_ = 0;
    if (refreshLock_ && !refreshUnlock_ && nonEmpty(refreshToken())) {
        RefreshLockTry attempt = refreshLock_();
        if (attempt.state == RefreshLockTry::State::Busy) {
            beginLockWait();
            return true;
        }
        if (attempt.error) {
            endRefresh(attempt.error);
            return true;
        }
        if (attempt.state == RefreshLockTry::State::Taken) refreshUnlock_ = std::move(attempt.unlock);
    }
    if (beginLockedRefresh()) return true;
    // Nothing to exchange, or nothing may be: a failure has answered the calls already.
    return authorizationQueue_.empty();
}

bool QNOAuth2Authentication::sameAccount(const StoredSignIn& stored) const {
    if (auto id = userID(); nonEmpty(id)) return stored.userID == id;
    if (auto email = userEmail(); nonEmpty(email))
        return stored.email && platform::asciiEqualsIgnoringCase(*stored.email, *email);
    return true;
}

QNOAuth2Authentication::StoredSignIn QNOAuth2Authentication::signIn() const {
    StoredSignIn named(refreshToken());
    named.userID = userID();
    named.email = userEmail();
    return named;
}

std::optional<std::string> QNOAuth2Authentication::refusedRefreshToken() const {
    std::lock_guard lock(queueMutex_);
    return refusedRefreshToken_;
}

bool QNOAuth2Authentication::storedSignInGone() const {
    if (!refreshTokenSource_) return false;
    StoredSignIn stored = refreshTokenSource_();
    return !nonEmpty(stored.refreshToken) || !sameAccount(stored);
}

Error QNOAuth2Authentication::signInChangedError() const {
    Error error = makeError(kQNOAuth2ErrorSignInChanged, nullptr);
    if (refreshTokenSource_ && !nonEmpty(refreshTokenSource_().refreshToken)) error.userInfo.set("signedOut", Value(true));
    return error;
}

bool QNOAuth2Authentication::beginLockedRefresh() {
    if (nonEmpty(refreshToken())) {
        // Signed out meanwhile, or signed in to another account: the refresh token is not the
        // user's to present any more, and the other account's is not this command's.
        if (storedSignInGone()) {
            endRefresh(signInChangedError());
            return false;
        }
        // Whoever held the lock before may have refreshed with the same refresh token and stored
        // the one the provider gave in its place: the one stored now is the sign-in. Presenting
        // the replaced one would be refused, and a provider may take it for a stolen token and
        // end the whole grant. (The stored sign-in holds no access token: the refresh is still
        // needed.)
        adoptStoredRefreshToken();
    }
    refreshFetcher_ = beginRefreshFetch();
    if (!refreshFetcher_) unlockRefresh();
    return refreshFetcher_ != nullptr;
}

void QNOAuth2Authentication::beginLockWait() {
    const double bound = refreshLockWait_.value_or(refreshDeadline_ + kQNOAuth2RefreshLockMargin);
    lockWaitUntil_ = steadySeconds() + bound;
    std::weak_ptr<QNOAuth2Authentication> weak = weak_from_this();
    lockWaitTimer_ = platform::Timer::scheduled(
        kLockPollInterval, true,
        [weak](platform::Timer&) {
            if (auto self = weak.lock()) self->pollRefreshLock();
        },
        platform::RunLoop::main());
    if (refreshLockWaiting_) refreshLockWaiting_(bound);
}

void QNOAuth2Authentication::pollRefreshLock() {
    std::lock_guard lock(queueMutex_);
    if (!lockWaitTimer_) return;
    RefreshLockTry attempt = refreshLock_ ? refreshLock_() : RefreshLockTry{};
    if (attempt.state == RefreshLockTry::State::Busy && steadySeconds() < lockWaitUntil_) return;
    lockWaitTimer_->invalidate();
    lockWaitTimer_.reset();
    if (attempt.state == RefreshLockTry::State::Busy) {
        // Still held past the time any refresh may take: presenting the refresh token now could
        // present one the holder is having replaced.
        endRefresh(makeError(kQNOAuth2ErrorRefreshLockBusy, nullptr));
        return;
    }
    if (attempt.state == RefreshLockTry::State::Taken) refreshUnlock_ = std::move(attempt.unlock);
    if (attempt.error) return endRefresh(attempt.error);
    if (!beginLockedRefresh() && !authorizationQueue_.empty()) endRefresh(std::nullopt);
}

void QNOAuth2Authentication::refreshDeadlinePassed(const std::shared_ptr<QNSessionFetcher>& fetcher) {
    {
        std::lock_guard lock(queueMutex_);
        if (!fetcher || fetcher != refreshFetcher_) return;
    }
    stopTokenFetcher(fetcher);
    Error timedOut(platform::kURLErrorDomain, platform::kURLErrorTimedOut);
    timedOut.userInfo.set(Error::kLocalizedDescriptionKey, Value("The token request took longer than a refresh may take."));
    finishedRefresh(fetcher, timedOut);
}

std::shared_ptr<QNSessionFetcher> QNOAuth2Authentication::beginRefreshFetch() {
    refreshPresented_ = refreshToken().value_or("");
    std::weak_ptr<QNOAuth2Authentication> weak = weak_from_this();
    auto fetcher = beginTokenFetchWithDelegate([weak](const std::shared_ptr<QNOAuth2Authentication>&,
                                              const std::shared_ptr<QNSessionFetcher>& f, const std::optional<Error>& error) {
        if (auto self = weak.lock()) self->finishedRefresh(f, error);
    });
    // One deadline for the refresh, its retries with the stored token included.
    if (fetcher && !refreshDeadlineTimer_) {
        refreshDeadlineTimer_ = platform::Timer::scheduled(
            refreshDeadline_, false,
            [weak](platform::Timer&) {
                if (auto self = weak.lock()) self->refreshDeadlinePassed(self->refreshFetcher());
            },
            platform::RunLoop::main());
    }
    return fetcher;
}

bool QNOAuth2Authentication::adoptStoredRefreshToken() {
    if (!refreshTokenSource_) return false;
    StoredSignIn stored = refreshTokenSource_();
    if (!nonEmpty(stored.refreshToken) || stored.refreshToken == refreshToken() || !sameAccount(stored)) return false;
    setRefreshToken(stored.refreshToken);
    setAccessToken(std::nullopt);
    setExpiresIn(std::nullopt);
    return true;
}

void QNOAuth2Authentication::setRefreshTokenSource(RefreshTokenSource source) {
    std::lock_guard lock(queueMutex_);
    refreshTokenSource_ = std::move(source);
}

bool QNOAuth2Authentication::retryRefreshWithStoredToken(const std::optional<Error>& error) {
    // Another process sharing the stored sign-in may have refreshed with the same refresh token
    // first, and the provider, rotating it, refuses it now: the one it stored is the sign-in.
    if (!error || !refreshTokenSource_ || storedTokenRetries_ >= kMaxStoredTokenRetries) return false;
    const Value& word = error->userInfo["json"]["error"];
    if (!word.isString() || word.asString() != "invalid_grant") return false;
    if (!adoptStoredRefreshToken()) return false;
    ++storedTokenRetries_;
    refreshFetcher_ = beginRefreshFetch();
    return refreshFetcher_ != nullptr;
}

void QNOAuth2Authentication::finishedRefresh(const std::shared_ptr<QNSessionFetcher>& fetcher, const std::optional<Error>& error) {
    std::lock_guard lock(queueMutex_);
    // The answer of a refresh stopped meanwhile (its deadline passed) counts no more.
    if (fetcher && fetcher != refreshFetcher_) return;
    refreshFetcher_.reset();
    if (retryRefreshWithStoredToken(error)) return;
    std::optional<Error> failure = error;
    // Refused, and the stored sign-in is gone or another account's: not this sign-in's refusal
    // to act on, but a sign-in changed meanwhile.
    if (error && error->userInfo["json"]["error"].asString() == "invalid_grant") {
        if (storedSignInGone()) failure = signInChangedError();
        else if (!refreshPresented_.empty()) refusedRefreshToken_ = refreshPresented_;
    }
    if (!error && refreshStore_ && !refreshPresented_.empty() && nonEmpty(accessToken()) &&
        !refreshStore_(shared_from_this(), refreshPresented_)) {
        // The stored sign-in is no longer the one refreshed: this answer is nobody's.
        setAccessToken(std::nullopt);
        setExpiresIn(std::nullopt);
        setRefreshToken(std::nullopt);
        if (storedTokenRetries_ < kMaxStoredTokenRetries && adoptStoredRefreshToken()) {
            ++storedTokenRetries_;
            refreshFetcher_ = beginRefreshFetch();
            if (refreshFetcher_) return;
        }
        failure = signInChangedError();
    }
    endRefresh(failure);
}

void QNOAuth2Authentication::endRefresh(const std::optional<Error>& error) {
    unlockRefresh();
    auto waiting = std::move(authorizationQueue_);
    authorizationQueue_.clear();

    bool hasToken = nonEmpty(accessToken());
    if (error || !hasToken) {
        Value info = Value::dictionary();
        if (error) {
            info.set(kQNOAuth2ErrorObjectKey, Value::dictionary({{"domain", Value(error->domain)},
                                                                 {"code", Value(error->code)},
                                                                 {"userInfo", error->userInfo}}));
            if (error->code == 400) {
                const Value& word = error->userInfo["json"]["error"];
                if (word.isString()) info.set("error", word);
            }
        }
        platform::NotificationCenter::defaultCenter().post(kQNOAuth2AccessTokenRefreshFailed, this, info);
    } else {
        platform::NotificationCenter::defaultCenter().post(kQNOAuth2AccessTokenRefreshed, this);
    }
    for (auto& args : waiting) {
        if (!hasToken && !args->error && error) args->error = *error;
        authorizeRequestImmediateArgs(args);
    }
}

void QNOAuth2Authentication::stopAuthorization() {
    std::shared_ptr<QNSessionFetcher> fetcher;
    {
        std::lock_guard lock(queueMutex_);
        authorizationQueue_.clear();
        if (auto timer = std::move(lockWaitTimer_)) timer->invalidate();
        lockWaitTimer_.reset();
        // A refresh of the stored sign-in already sent is let finish (within its deadline), the
        // lock held: a provider rotating refresh tokens has replaced the one presented once it
        // has the request, and only its answer, stored when it comes, keeps the user signed in.
        if (refreshFetcher_ && refreshStore_ && !refreshPresented_.empty()) return;
        fetcher = std::move(refreshFetcher_);
        refreshFetcher_.reset();
        unlockRefresh();
    }
    stopTokenFetcher(fetcher);
}

void QNOAuth2Authentication::stopAuthorizationForRequest(const std::shared_ptr<URLRequest>& request) {
    std::lock_guard lock(queueMutex_);
    auto it = std::find_if(authorizationQueue_.begin(), authorizationQueue_.end(),
                           [&](const auto& args) { return args->request == request; });
    if (it != authorizationQueue_.end()) authorizationQueue_.erase(it);
    if (authorizationQueue_.empty()) stopAuthorization();
}

bool QNOAuth2Authentication::isAuthorizingRequest(const std::shared_ptr<URLRequest>& request) const {
    std::lock_guard lock(queueMutex_);
    return std::any_of(authorizationQueue_.begin(), authorizationQueue_.end(),
                       [&](const auto& args) { return args->request == request; });
}

bool QNOAuth2Authentication::isAuthorizedRequest(const URLRequest& request) const {
    auto value = request.valueForHTTPHeaderField("Authorization");
    return value && !value->empty();
}

bool QNOAuth2Authentication::waitForCompletionWithTimeout(double seconds) {
    {
        // A refresh still waiting for the lock has not begun: its wait is bounded on its own.
        std::lock_guard lock(queueMutex_);
        if (lockWaitTimer_) return false;
    }
    auto fetcher = refreshFetcher();
    return !fetcher || fetcher->waitForCompletionWithTimeout(seconds);
}

void QNOAuth2Authentication::stopTokenFetcher(const std::shared_ptr<QNSessionFetcher>& fetcher) {
    if (fetcher) fetcher->stopFetching();
}

// --- the token request ---

namespace {
Value fetcherNotificationInfo(const std::shared_ptr<QNSessionFetcher>& fetcher) {
    return Value::dictionary({{kQNOAuth2FetcherKey, Value(int64_t(reinterpret_cast<intptr_t>(fetcher.get())))}});
}
}  // namespace

std::shared_ptr<QNSessionFetcher> QNOAuth2Authentication::beginTokenFetchWithDelegate(TokenFetchCallback finished) {
    Value fields = Value::dictionary();
    std::string fetchType, grantType;
    if (auto refresh = refreshToken(); nonEmpty(refresh)) {
        fields.set("refresh_token", Value(*refresh));
        if (auto s = refreshScope(); nonEmpty(s)) fields.set("scope", Value(*s));
        grantType = "refresh_token";
        fetchType = kQNOAuth2FetchTypeRefresh;
    } else if (auto c = code(); nonEmpty(c)) {
        fields.set("code", Value(*c));
        if (auto verifier = codeVerifier(); nonEmpty(verifier)) fields.set("code_verifier", Value(*verifier));
        if (auto r = redirectURI(); nonEmpty(r)) fields.set("redirect_uri", Value(*r));
        if (auto s = scope(); nonEmpty(s)) fields.set("scope", Value(*s));
        grantType = "authorization_code";
        fetchType = kQNOAuth2FetchTypeToken;
    } else if (auto a = assertion(); nonEmpty(a)) {
        fields.set("assertion", Value(*a));
        grantType = kQNOAuth2JWTBearerGrantType;
        fetchType = kQNOAuth2FetchTypeAssertion;
    } else {
        return nullptr;
    }
    fields.set("grant_type", Value(grantType));
    if (auto id = clientID(); nonEmpty(id)) fields.set("client_id", Value(*id));
    if (auto secret = clientSecret(); nonEmpty(secret)) fields.set("client_secret", Value(*secret));
    Value extra = additionalTokenRequestParameters();
    if (extra.isDictionary())
        for (const auto& [k, v] : extra.asDictionary()) fields.set(k, v);
    Value byGrant = additionalGrantTypeRequestParameters()[grantType];
    if (byGrant.isDictionary())
        for (const auto& [k, v] : byGrant.asDictionary()) fields.set(k, v);

    std::string body = encodedQueryParametersForDictionary(fields);
    // The token request times out as every request does (the session's time without a byte).
    URLRequest request(tokenURL());
    // For the same reason a refresh already sent is not cancelled with everything in flight
    // when the program is asked to end.
    if (grantType == "refresh_token") request.setFinishesInFlight(true);
    request.setValue("application/x-www-form-urlencoded", "Content-Type");
    request.setValue(userAgent(), "User-Agent");

    std::shared_ptr<QNSessionFetcher> fetcher;
    if (auto service = fetcherService()) fetcher = service->fetcherWithRequest(request);
    if (!fetcher) fetcher = QNSessionFetcher::fetcherWithRequest(request);
    fetcher->setAuthorizer(nullptr);  // the token request is never signed itself
    fetcher->setBodyData(Bytes(body.begin(), body.end()));
    fetcher->setRetryEnabled(true);
    fetcher->setMaxRetryInterval(15.0);
    // A provider that rotates refresh tokens has replaced the one presented once it has the
    // request: a refresh that timed out waiting for its answer is not asked for again with the
    // replaced token.
    if (grantType == "refresh_token")
        fetcher->setRetryBlock([](bool suggested, const std::optional<Error>& error, QNSessionFetcher::RetryResponse response) {
            response(suggested && !(error && error->domain == platform::kURLErrorDomain &&
                                    error->code == platform::kURLErrorTimedOut));
        });
    fetcher->setServicePriority(kQNSessionFetcherServicePriorityBypass);
    fetcher->setSecretExchange(true);
    fetcher->setMaxResponseBodySize(kQNSessionFetcherSmallResponseBodySize);

    std::weak_ptr<QNSessionFetcher> weakFetcher = fetcher;
    fetcher->beginFetchWithCompletionHandler(
        [self = shared_from_this(), weakFetcher, finished](const std::optional<Bytes>& data, const std::optional<Error>& error) {
            self->tokenFetcherFinished(weakFetcher.lock(), data.value_or(Bytes()), error, finished);
        });
    Value info = fetcherNotificationInfo(fetcher);
    info.set(kQNOAuth2FetchTypeKey, Value(fetchType));
    platform::NotificationCenter::defaultCenter().post(kQNOAuth2FetchStarted, this, info);
    return fetcher;
}

void QNOAuth2Authentication::tokenFetcherFinished(const std::shared_ptr<QNSessionFetcher>& fetcher, const Bytes& data,
                                                  std::optional<Error> error, const TokenFetchCallback& finished) {
    platform::NotificationCenter::defaultCenter().post(kQNOAuth2FetchStopped, this, fetcherNotificationInfo(fetcher));
    std::optional<std::string> contentType;
    if (fetcher)
        if (auto headers = fetcher->responseHeaders()) contentType = headers->valueForHTTPHeaderField("Content-Type");
    bool isJSON = contentType && (platform::hasPrefixIgnoringCase(*contentType, "application/json") ||
                                  platform::hasPrefixIgnoringCase(*contentType, "text/javascript"));
    // A code is exchanged once: its verifier has served.
    if (codeVerifier()) setCodeVerifier(std::nullopt);
    if (!error) {
        if (!data.empty()) {
            if (isJSON) setKeysForResponseJSONData(data);
            else setKeysForResponseString(std::string(data.begin(), data.end()));
        }
    } else if (isJSON) {
        // The error body comes with the data or in the fetcher's error.
        const Bytes* body = &data;
        if (body->empty())
            if (const Value* d = error->userInfo.find("data"); d && d->isBytes()) body = &d->asBytes();
        auto json = dictionaryWithJSONData(*body);
        if (json && json->size() > 0) {
            Error replaced(error->domain, error->code);
            replaced.userInfo = Value::dictionary({{"json", *json}});
            if (error->userInfo.isDictionary())
                for (const auto& [k, v] : error->userInfo.asDictionary()) replaced.userInfo.set(k, v);
            error = replaced;
        }
    }
    if (finished) finished(shared_from_this(), fetcher, error);
}

// --- responses and persistence ---

void QNOAuth2Authentication::setKeysForResponseDictionary(const Value& dict) {
    if (!dict.isDictionary()) return;
    if (dict.contains("access_token") || dict.contains("code")) setParameter(Value(), "expires_in");
    bool refreshTokenChanged = false;
    if (const Value* newRefresh = dict.find("refresh_token")) {
        auto stored = refreshToken();
        refreshTokenChanged = !stored || !newRefresh->isString() || newRefresh->asString() != *stored;
    }
    addParametersFromDictionary(dict);
    updateExpirationDate();
    if (refreshTokenChanged) platform::NotificationCenter::defaultCenter().post(kQNOAuth2RefreshTokenChanged, this);
}

void QNOAuth2Authentication::setKeysForResponseString(const std::string& text) {
    if (auto dict = dictionaryWithResponseString(text)) setKeysForResponseDictionary(*dict);
}

void QNOAuth2Authentication::setKeysForResponseJSONData(const Bytes& data) {
    if (auto dict = dictionaryWithJSONData(data)) setKeysForResponseDictionary(*dict);
}

std::string QNOAuth2Authentication::persistenceResponseString() const {
    Value dict = Value::dictionary();
    auto add = [&](const char* key) {
        if (auto v = parameterString(key)) dict.set(key, Value(*v));
    };
    add("refresh_token");
    if (!refreshToken()) add("access_token");
    for (const char* key : {"serviceProvider", "userID", "email", "isVerified", "scope"}) add(key);
    return encodedQueryParametersForDictionary(dict);
}

std::string QNOAuth2Authentication::userAgent() const {
    std::string agent = "qn-oauth2";
    std::string identifier = platform::BundleInfo::identifier();
    if (!identifier.empty()) {
        agent += " " + identifier;
        std::string version = platform::BundleInfo::version();
        if (version.empty()) version = platform::BundleInfo::buildVersion();
        if (!version.empty()) agent += "/" + version;
    }
    return agent;
}

std::string QNOAuth2Authentication::description() const {
    std::string fields;
    auto add = [&](const char* name, const std::optional<std::string>& value) {
        if (!value) return;
        if (!fields.empty()) fields += ", ";
        fields += std::string(name) + "=\"" + *value + "\"";
    };
    // A description ends up in logs: secrets show as their length only.
    auto addSecret = [&](const char* name, const std::optional<std::string>& value) {
        if (value) add(name, "<" + std::to_string(value->size()) + " characters>");
    };
    addSecret("accessToken", accessToken());
    addSecret("refreshToken", refreshToken());
    addSecret("code", code());
    addSecret("assertion", assertion());
    if (auto expiry = expirationDate()) add("expirationDate", std::to_string(expiry->timeIntervalSince1970()));
    add("errorString", errorString());
    return "QNOAuth2Authentication " + platform::addressText(this) + ": {" + fields + "}";
}

// --- form encoding ---

std::string QNOAuth2Authentication::encodedOAuthValueForString(std::string_view s) { return platform::percentEncoded(s); }

std::string QNOAuth2Authentication::encodedQueryParametersForDictionary(const Value& dict) {
    if (!dict.isDictionary()) return "";
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const auto& [k, v] : dict.asDictionary()) {
        std::string value = v.isString() ? v.asString() : v.isNull() ? "" : v.toJSON();
        pairs.emplace_back(k, value);
    }
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const auto& a, const auto& b) { return platform::asciiLower(a.first) < platform::asciiLower(b.first); });
    std::string out;
    for (const auto& [k, v] : pairs) {
        if (!out.empty()) out += "&";
        out += encodedOAuthValueForString(k) + "=" + encodedOAuthValueForString(v);
    }
    return out;
}

std::optional<std::string> QNOAuth2Authentication::unencodedOAuthParameterForString(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        if (i + 2 >= s.size()) return std::nullopt;
        int hi = hexValue(s[i + 1]), lo = hexValue(s[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += char(hi * 16 + lo);
        i += 2;
    }
    if (!platform::isValidUTF8(out)) return std::nullopt;
    return out;
}

std::optional<Value> QNOAuth2Authentication::dictionaryWithResponseString(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    Value dict = Value::dictionary();
    std::string_view rest = *text;
    while (true) {
        size_t amp = rest.find('&');
        std::string_view piece = rest.substr(0, amp);
        if (!piece.empty()) {
            size_t eq = piece.find('=');
            auto key = unencodedOAuthParameterForString(piece.substr(0, eq));
            auto value = eq == std::string_view::npos ? std::optional<std::string>("")
                                                      : unencodedOAuthParameterForString(piece.substr(eq + 1));
            if (key && value) dict.set(*key, Value(*value));
        }
        if (amp == std::string_view::npos) break;
        rest.remove_prefix(amp + 1);
    }
    return dict;
}

std::optional<Value> QNOAuth2Authentication::dictionaryWithResponseData(const Bytes& data) {
    return dictionaryWithResponseString(std::string(data.begin(), data.end()));
}

std::optional<Value> QNOAuth2Authentication::dictionaryWithJSONData(const Bytes& data) {
    auto value = Value::fromJSON(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    if (!value || !value->isDictionary()) return std::nullopt;
    return std::move(*value);
}

std::string QNOAuth2Authentication::scopeWithStrings(const std::vector<std::string>& scopes) {
    std::string out;
    for (const auto& s : scopes) {
        if (!out.empty()) out += " ";
        out += s;
    }
    return out;
}

}  // namespace quorvane
