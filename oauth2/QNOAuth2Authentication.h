#pragma once
// The authorizer of one signed-in account: holds the provider's token response (access token,
// refresh token, expiry, identity), signs requests with a bearer "Authorization" header,
// refreshes the access token at the token endpoint when it is missing or about to expire (one
// refresh at a time; calls that arrive meanwhile wait for it), and turns itself into a
// form-encoded persistence string and back. Safe to call from any thread.

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fetcher/QNFetcherAuthorizationProtocol.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/net/URL.h"
#include "platform/net/URLRequest.h"

namespace quorvane {
namespace platform {
class Timer;
}

class QNSessionFetcher;

inline constexpr const char* kQNOAuth2ErrorDomain = "com.quorvane.QNOAuth2";
inline constexpr int64_t kQNOAuth2ErrorAuthorizationFailed = -1001;
inline constexpr int64_t kQNOAuth2ErrorUnauthorizableRequest = -1004;
// The stored sign-in was removed or replaced (signed out, or signed in anew) while a refresh ran
// or before it began: the refresh's answer was dropped, or nothing was sent.
inline constexpr int64_t kQNOAuth2ErrorSignInChanged = -1020;
// Another refresh held the refresh lock past the wait for it: nothing was sent.
inline constexpr int64_t kQNOAuth2ErrorRefreshLockBusy = -1021;

// How long a refresh may take, its retries included (its token request is stopped then, with a
// time-out), and how much longer one waiting for the refresh lock waits for it.
inline constexpr double kQNOAuth2RefreshDeadline = 120;
inline constexpr double kQNOAuth2RefreshLockMargin = 5;

inline constexpr const char* kQNOAuth2FetchStarted = "kQNOAuth2FetchStarted";
inline constexpr const char* kQNOAuth2FetchStopped = "kQNOAuth2FetchStopped";
inline constexpr const char* kQNOAuth2AccessTokenRefreshed = "kQNOAuth2AccessTokenRefreshed";
inline constexpr const char* kQNOAuth2AccessTokenRefreshFailed = "kQNOAuth2AccessTokenRefreshFailed";
inline constexpr const char* kQNOAuth2RefreshTokenChanged = "kQNOAuth2RefreshTokenChanged";
inline constexpr const char* kQNOAuth2ErrorObjectKey = "kQNOAuth2ErrorObjectKey";
// User-info keys of the fetch notifications. "fetcher" holds the fetcher's address (an integer)
// to compare with the fetcher an observer knows.
inline constexpr const char* kQNOAuth2FetcherKey = "fetcher";
inline constexpr const char* kQNOAuth2FetchTypeKey = "FetchType";
inline constexpr const char* kQNOAuth2FetchTypeRefresh = "refresh";
inline constexpr const char* kQNOAuth2FetchTypeToken = "token";
inline constexpr const char* kQNOAuth2FetchTypeAssertion = "assertion";
inline constexpr const char* kQNOAuth2FetchTypeUserInfo = "userInfo";

// The grant type of the OAuth JWT bearer profile.
inline constexpr const char* kQNOAuth2JWTBearerGrantType = "http://oauth.net/grant_type/jwt/1.0/bearer";

class QNOAuth2Authentication;

// One authorization call: the request, who to tell and on which thread it was made.
struct QNOAuth2AuthorizationArgs {
    using FinishedCallback = std::function<void(const std::shared_ptr<QNOAuth2Authentication>& auth,
                                                const std::shared_ptr<platform::URLRequest>& request,
                                                const std::optional<platform::Error>& error)>;
    using CompletionHandler = std::function<void(const std::optional<platform::Error>& error)>;

    std::shared_ptr<platform::URLRequest> request;
    FinishedCallback delegate;           // the "delegate and selector" form
    CompletionHandler completionHandler;  // the block form
    std::thread::id thread;
    std::optional<platform::Error> error;

    static std::shared_ptr<QNOAuth2AuthorizationArgs> argsWithRequest(std::shared_ptr<platform::URLRequest> request,
                                                                      FinishedCallback delegate,
                                                                      CompletionHandler completionHandler,
                                                                      std::thread::id thread);
};

class QNOAuth2Authentication : public QNFetcherAuthorizationProtocol,
                               public std::enable_shared_from_this<QNOAuth2Authentication> {
public:
    using FinishedCallback = QNOAuth2AuthorizationArgs::FinishedCallback;
    using CompletionHandler = QNOAuth2AuthorizationArgs::CompletionHandler;
    // The end of a token fetch: (authentication, fetcher, error).
    using TokenFetchCallback = std::function<void(const std::shared_ptr<QNOAuth2Authentication>& auth,
                                                  const std::shared_ptr<QNSessionFetcher>& fetcher,
                                                  const std::optional<platform::Error>& error)>;

    QNOAuth2Authentication() = default;
    static std::shared_ptr<QNOAuth2Authentication> authenticationWithServiceProvider(
        std::optional<std::string> serviceProvider, std::optional<platform::URL> tokenURL,
        std::optional<std::string> redirectURI, std::optional<std::string> clientID,
        std::optional<std::string> clientSecret);

    // --- the authorizer interface ---
    // Signs the request, refreshing first when needed, then calls the completion with
    // (request, error) on the calling thread when it can finish at once there, else on the
    // fetcher service's callback queue (the main queue without a service).
    void authorizeRequest(const std::shared_ptr<platform::URLRequest>& request, AuthorizationCompletion completion) override;
    void stopAuthorization() override;
    void stopAuthorizationForRequest(const std::shared_ptr<platform::URLRequest>& request) override;
    bool isAuthorizingRequest(const std::shared_ptr<platform::URLRequest>& request) const override;
    bool isAuthorizedRequest(const platform::URLRequest& request) const override;
    std::optional<std::string> userEmail() const override { return parameterString("email"); }
    // With a refresh token: forgets the access token and its expiry so that the next
    // authorization refreshes, and answers true; without one answers false.
    std::optional<bool> primeForRefresh() override;
    std::shared_ptr<QNSessionFetcherServiceProtocol> fetcherService() const override;
    void setFetcherService(const std::weak_ptr<QNSessionFetcherServiceProtocol>& service) override;

    // The other forms of a call: finished with (authentication, request, error), or a handler
    // with the error alone.
    void authorizeRequest(const std::shared_ptr<platform::URLRequest>& request, FinishedCallback finished);
    void authorizeRequest(const std::shared_ptr<platform::URLRequest>& request, CompletionHandler handler);
    // Signs at once with the current token; never refreshes, calls nobody. True when signed.
    bool authorizeRequest(const std::shared_ptr<platform::URLRequest>& request);
    // True when the call waits for a refresh or succeeded at once.
    bool authorizeRequestArgs(const std::shared_ptr<QNOAuth2AuthorizationArgs>& args);

    bool canAuthorize() const;
    bool shouldRefreshAccessToken() const;
    void reset();
    // Waits (pumping the main run loop when called on the main thread) until no refresh runs;
    // false on time-out.
    bool waitForCompletionWithTimeout(double seconds);

    // Starts the token request for what the authentication holds (refresh token, code or
    // assertion); nullptr when there is nothing to exchange.
    std::shared_ptr<QNSessionFetcher> beginTokenFetchWithDelegate(TokenFetchCallback finished);

    // Merging a token response.
    void setKeysForResponseDictionary(const platform::Value& dict);
    void setKeysForResponseString(const std::string& text);
    void setKeysForResponseJSONData(const platform::Bytes& data);
    void setKeysForPersistenceResponseString(const std::string& text) { setKeysForResponseString(text); }
    std::string persistenceResponseString() const;

    // The token the "Authorization" header carries.
    std::optional<std::string> authorizationToken() const;

    // --- token parameters (nullopt removes) ---
    std::optional<std::string> accessToken() const { return parameterString("access_token"); }
    void setAccessToken(std::optional<std::string> v) { setParameter(std::move(v), "access_token"); }
    std::optional<std::string> refreshToken() const { return parameterString("refresh_token"); }
    void setRefreshToken(std::optional<std::string> v) { setParameter(std::move(v), "refresh_token"); }
    std::optional<std::string> code() const { return parameterString("code"); }
    void setCode(std::optional<std::string> v) { setParameter(std::move(v), "code"); }
    std::optional<std::string> assertion() const { return parameterString("assertion"); }
    void setAssertion(std::optional<std::string> v) { setParameter(std::move(v), "assertion"); }
    std::optional<std::string> refreshScope() const { return parameterString("refreshScope"); }
    void setRefreshScope(std::optional<std::string> v) { setParameter(std::move(v), "refreshScope"); }
    std::optional<std::string> errorString() const { return parameterString("error"); }
    void setErrorString(std::optional<std::string> v) { setParameter(std::move(v), "error"); }
    std::optional<std::string> tokenType() const { return parameterString("token_type"); }
    void setTokenType(std::optional<std::string> v) { setParameter(std::move(v), "token_type"); }
    std::optional<std::string> scope() const { return parameterString("scope"); }
    void setScope(std::optional<std::string> v) { setParameter(std::move(v), "scope"); }
    // "expires_in" as a number (a string value is read as an integer).
    std::optional<int64_t> expiresIn() const;
    // Also recomputes the expiration date.
    void setExpiresIn(std::optional<int64_t> seconds);
    std::optional<std::string> serviceProvider() const { return parameterString("serviceProvider"); }
    void setServiceProvider(std::optional<std::string> v) { setParameter(std::move(v), "serviceProvider"); }
    std::optional<std::string> userID() const { return parameterString("userID"); }
    void setUserID(std::optional<std::string> v) { setParameter(std::move(v), "userID"); }
    void setUserEmail(std::optional<std::string> v) { setParameter(std::move(v), "email"); }
    std::optional<std::string> userEmailIsVerified() const { return parameterString("isVerified"); }
    void setUserEmailIsVerified(std::optional<std::string> v) { setParameter(std::move(v), "isVerified"); }

    // The parameter dictionary (a copy) and its single entries.
    platform::Value parameters() const;
    platform::Value parameterForKey(const std::string& key) const;
    void setParameter(platform::Value value, const std::string& key);  // null removes
    void setParameter(std::optional<std::string> value, const std::string& key);
    void addParametersFromDictionary(const platform::Value& dict);

    // --- settings ---
    std::optional<std::string> clientID() const;
    void setClientID(std::optional<std::string> v);
    std::optional<std::string> clientSecret() const;
    void setClientSecret(std::optional<std::string> v);
    std::optional<std::string> redirectURI() const;
    void setRedirectURI(std::optional<std::string> v);
    std::optional<platform::URL> tokenURL() const;
    void setTokenURL(std::optional<platform::URL> v);
    std::optional<platform::Date> expirationDate() const;
    void setExpirationDate(std::optional<platform::Date> v);
    std::optional<std::string> authorizationTokenKey() const;
    void setAuthorizationTokenKey(std::optional<std::string> v);
    platform::Value additionalTokenRequestParameters() const;
    void setAdditionalTokenRequestParameters(platform::Value dict);
    platform::Value additionalGrantTypeRequestParameters() const;
    void setAdditionalGrantTypeRequestParameters(platform::Value dict);
    // Also plain http requests (to the origins below).
    bool shouldAuthorizeAllRequests() const;
    void setShouldAuthorizeAllRequests(bool v);
    // The origins (scheme, host and port) whose requests are signed: the token endpoint's and
    // those added (the service the authentication is for adds its own). A request to any other
    // origin, another port or scheme of the same host included, is refused (-1004), so the
    // token never reaches a server it was not made for.
    std::vector<std::string> authorizedOrigins() const;
    // Adds the URL's origin ("scheme://host:port", URL::originString()).
    void addAuthorizedOrigin(const platform::URL& url);
    // PKCE: the verifier of the code challenge the authorization page was given; sent with the
    // exchange of the code (and forgotten after it).
    std::optional<std::string> codeVerifier() const;
    void setCodeVerifier(std::optional<std::string> verifier);
    std::shared_ptr<QNSessionFetcher> refreshFetcher() const;
    // Where the refresh token is kept for other processes too (the stored sign-in), which may
    // renew it there: when the provider refuses the refresh token ("invalid_grant") and the
    // source answers another one, a refresh with that one is tried before the refusal reaches
    // the waiting calls (a few times at most). A stored sign-in is taken only when it is of the
    // account this authentication is for (sameAccount()); one of another account, like none at
    // all, ends the refresh with kQNOAuth2ErrorSignInChanged, nothing sent with it.
    struct StoredSignIn {
        std::optional<std::string> refreshToken, userID, email;
        StoredSignIn(std::optional<std::string> token = std::nullopt) : refreshToken(std::move(token)) {}
    };
    using RefreshTokenSource = std::function<StoredSignIn()>;
    // Whether the stored sign-in is of this authentication's account: the same user id, or
    // without one the same e-mail address. An authentication that names no account takes any;
    // one that does never takes a sign-in naming none.
    bool sameAccount(const StoredSignIn& stored) const;
    // The account this authentication names, as the source would give it.
    StoredSignIn signIn() const;
    // The refresh token the provider last refused outright ("invalid_grant" at the token
    // endpoint), as it was presented then; nullopt while none was. A refresh token taken from the
    // source since (a sign-in stored meanwhile) does not change it.
    std::optional<std::string> refusedRefreshToken() const;
    void setRefreshTokenSource(RefreshTokenSource source);
    // A lock shared with the other processes, taken before a refresh is sent and let go once its
    // answer has been stored (or dropped), so that they refresh one at a time, each with the
    // token the one before stored. One call is one try: taken (with what lets it go), held by
    // another, or not to be had at all: with an error (the lock cannot be used) the refresh
    // fails with it and sends nothing; without, it goes ahead without the lock. A refresh that finds
    // it held tries again on the main run loop for `wait` seconds (by default as long as another
    // may hold it: refreshDeadline() and kQNOAuth2RefreshLockMargin), telling `waiting` once with that bound;
    // past it the refresh sends nothing and its calls fail (kQNOAuth2ErrorRefreshLockBusy). With a
    // source, a refresh token is never sent once the source holds none (signed out meanwhile:
    // kQNOAuth2ErrorSignInChanged).
    struct RefreshLockTry {
        enum class State { Taken, Busy, Unavailable };
        State state = State::Unavailable;
        std::function<void()> unlock;
        std::optional<platform::Error> error;
    };
    using RefreshLock = std::function<RefreshLockTry()>;
    void setRefreshLock(RefreshLock lock, std::function<void(double seconds)> waiting = nullptr,
                        std::optional<double> wait = std::nullopt);
    // Stores a refreshed authentication where the source reads it, but only while what is kept
    // there still holds the refresh token the refresh presented (compare and replace); answers
    // whether it is kept. Called, the refresh lock held, after every refresh the provider granted.
    // An answer kept nowhere (signed out or signed in anew meanwhile) is dropped: the tokens it
    // brought are forgotten (the store revokes what it must), a refresh with the source's other
    // refresh token follows when it holds one, and the calls fail otherwise
    // (kQNOAuth2ErrorSignInChanged).
    using RefreshStore = std::function<bool(const std::shared_ptr<QNOAuth2Authentication>& auth, const std::string& presented)>;
    void setRefreshStore(RefreshStore store);
    // The whole time a refresh may take (kQNOAuth2RefreshDeadline unless set).
    double refreshDeadline() const;
    void setRefreshDeadline(double seconds);
    std::shared_ptr<void> userData() const;
    void setUserData(std::shared_ptr<void> v);
    void setProperty(platform::Value value, const std::string& key);  // null removes
    platform::Value propertyForKey(const std::string& key) const;

    // "qn-oauth2", then the application's identifier and version.
    std::string userAgent() const;
    // The fields that are set; token texts are never shown, only their length.
    std::string description() const;

    // --- form encoding ---
    // Percent-encodes all but ASCII letters, digits and "-._~".
    static std::string encodedOAuthValueForString(std::string_view s);
    // Keys sorted case-insensitively, "key=value" joined by "&", both encoded.
    static std::string encodedQueryParametersForDictionary(const platform::Value& dict);
    // Removes percent-encoding ("+" stays); nullopt when the text does not decode.
    static std::optional<std::string> unencodedOAuthParameterForString(std::string_view s);
    // "a=1&b=2" into a dictionary of strings; nullopt for nullopt text.
    static std::optional<platform::Value> dictionaryWithResponseString(const std::optional<std::string>& text);
    static std::optional<platform::Value> dictionaryWithResponseData(const platform::Bytes& data);
    static std::optional<platform::Value> dictionaryWithJSONData(const platform::Bytes& data);
    static std::string scopeWithStrings(const std::vector<std::string>& scopes);

private:
    std::optional<std::string> parameterString(const std::string& key) const;
    void updateExpirationDate();
    bool authorizeRequestImmediateArgs(const std::shared_ptr<QNOAuth2AuthorizationArgs>& args);
    // Lets go of the refresh lock, if held, and stops the refresh's deadline; the queue's lock is held.
    void unlockRefresh();
    // Begins a refresh for the waiting calls: takes the refresh lock (or starts waiting for it)
    // and sends the request. False when there is nothing to exchange; the queue's lock is held.
    bool startRefresh();
    // The lock taken or not to be had: sends the request with the token stored last. The queue's
    // lock is held; false when there is nothing to exchange (the calls go on at once).
    bool beginLockedRefresh();
    void beginLockWait();
    void pollRefreshLock();
    void refreshDeadlinePassed(const std::shared_ptr<QNSessionFetcher>& fetcher);
    // Starts the token fetch of a refresh, whose end is finishedRefresh(); the queue's lock is held.
    std::shared_ptr<QNSessionFetcher> beginRefreshFetch();
    void finishedRefresh(const std::shared_ptr<QNSessionFetcher>& fetcher, const std::optional<platform::Error>& error);
    // Ends the refresh: lets go of the lock and answers the waiting calls (with the error when
    // there is no access token); the queue's lock is held.
    void endRefresh(const std::optional<platform::Error>& error);
    // Whether the source holds no sign-in this authentication may take: none at all (signed
    // out), or one of another account.
    bool storedSignInGone() const;
    // The error of a refresh the stored sign-in no longer allows (kQNOAuth2ErrorSignInChanged;
    // its user info says "signedOut" when nothing is stored).
    platform::Error signInChangedError() const;
    // Takes the source's refresh token when it differs from this one's (the access token goes
    // with the refresh token it came from); whether it did. The queue's lock is held.
    bool adoptStoredRefreshToken();
    // After a refresh refused with "invalid_grant": begins one with the source's refresh token
    // when it has another; the queue's lock is held.
    bool retryRefreshWithStoredToken(const std::optional<platform::Error>& error);
    void tokenFetcherFinished(const std::shared_ptr<QNSessionFetcher>& fetcher, const platform::Bytes& data,
                              std::optional<platform::Error> error, const TokenFetchCallback& finished);
    void deliver(const std::shared_ptr<QNOAuth2AuthorizationArgs>& args);
    static void stopTokenFetcher(const std::shared_ptr<QNSessionFetcher>& fetcher);
    platform::Error makeError(int64_t code, const std::shared_ptr<platform::URLRequest>& request) const;

    // Settings and the parameters: one lock.
    mutable std::mutex mutex_;
    std::optional<std::string> clientID_, clientSecret_, redirectURI_, authorizationTokenKey_;
    std::optional<platform::URL> tokenURL_;
    std::optional<platform::Date> expirationDate_;
    platform::Value parameters_ = platform::Value::dictionary();
    platform::Value additionalTokenRequestParameters_, additionalGrantTypeRequestParameters_;
    platform::Value properties_;
    std::shared_ptr<void> userData_;
    bool shouldAuthorizeAllRequests_ = false;
    std::vector<std::string> authorizedOrigins_;
    std::optional<std::string> codeVerifier_;
    std::weak_ptr<QNSessionFetcherServiceProtocol> fetcherService_;

    // The waiting calls and the running refresh.
    mutable std::recursive_mutex queueMutex_;
    std::deque<std::shared_ptr<QNOAuth2AuthorizationArgs>> authorizationQueue_;
    std::shared_ptr<QNSessionFetcher> refreshFetcher_;
    RefreshTokenSource refreshTokenSource_;
    RefreshLock refreshLock_;
    std::function<void(double)> refreshLockWaiting_;
    std::optional<double> refreshLockWait_;
    RefreshStore refreshStore_;
    std::function<void()> refreshUnlock_;  // while a refresh holds the lock
    int storedTokenRetries_ = 0;  // of the refresh now running
    std::string refreshPresented_;  // the refresh token the running refresh sent
    std::optional<std::string> refusedRefreshToken_;  // the last one answered "invalid_grant"
    double refreshDeadline_ = kQNOAuth2RefreshDeadline;
    std::shared_ptr<platform::Timer> refreshDeadlineTimer_;  // while a refresh runs
    std::shared_ptr<platform::Timer> lockWaitTimer_;  // while a refresh waits for the lock
    double lockWaitUntil_ = 0;  // steady seconds
};

}  // namespace quorvane
