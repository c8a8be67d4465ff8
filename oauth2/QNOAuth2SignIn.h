#pragma once
// One interactive OAuth2 sign-in with the provider, independent of any window: builds the
// request for the provider's authorization page and lets its delegate display it, recognises
// the page's answer (a redirect to the redirect URI, or for the out-of-band redirect URI the page
// title), exchanges the code for tokens through the authentication, learns the user's identity
// (from the "id_token" or the user-info endpoint), watches whether the authorization host stays
// reachable, and reports the end exactly once. Its class operations give the provider's
// endpoints and standard authentication, revoke a token and decode web-safe base64.
//
// Main thread only. The delegate is an object kept alive until the final callback (or a
// cancellation) plus its two selectors as callbacks; at the end all three are let go, so a
// second end, or a request to close the display after it, reaches nobody.
//
// The user-info fetch is announced with the authentication's "kQNOAuth2FetchStarted" and
// "kQNOAuth2FetchStopped" (object: the authentication; "fetcher": the fetcher's address;
// "FetchType": "userInfo"), in the same form as its own token fetches.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "oauth2/QNOAuth2Authentication.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/net/HTTPCookieStorage.h"
#include "platform/net/URL.h"
#include "platform/net/URLRequest.h"

namespace quorvane {

class QNSessionFetcher;
namespace platform {
class NetworkReachability;
class Timer;
}  // namespace platform

// Errors at the end of a sign-in (domain kQNOAuth2ErrorDomain).
inline constexpr int64_t kQNOAuth2ErrorWindowClosed = -1000;
// -1001 (kQNOAuth2ErrorAuthorizationFailed): the page answered without a code.
// The sign-in did not end within its time-out (signInTimeoutInterval).
inline constexpr int64_t kQNOAuth2ErrorSignInTimedOut = -1010;
// No page view could be shown (the loopback listener of the browser sign-in could not open).
inline constexpr int64_t kQNOAuth2ErrorSignInPageUnavailable = -1011;

// Notifications (object: the sign-in, no user info).
inline constexpr const char* kQNOAuth2UserSignedIn = "kQNOAuth2UserSignedIn";
inline constexpr const char* kQNOAuthNetworkLost = "kQNOAuthNetworkLost";
inline constexpr const char* kQNOAuthNetworkFound = "kQNOAuthNetworkFound";

// The provider's service-provider name of its standard authentication.
inline constexpr const char* kQNOAuth2ServiceProviderGoogle = "Google";

class QNOAuth2SignIn : public std::enable_shared_from_this<QNOAuth2SignIn> {
public:
    using URL = platform::URL;
    using URLRequest = platform::URLRequest;
    using Error = platform::Error;

    // Display a request; nullopt asks the delegate to close the display.
    using WebRequestCallback =
        std::function<void(const std::shared_ptr<QNOAuth2SignIn>& signIn, const std::optional<URLRequest>& request)>;
    // The end: (sign-in, authentication, error).
    using FinishedCallback = std::function<void(const std::shared_ptr<QNOAuth2SignIn>& signIn,
                                                const std::shared_ptr<QNOAuth2Authentication>& auth,
                                                const std::optional<Error>& error)>;

    // The provider's endpoints. The defaults are the provider's published ones; a tool or a
    // test may point the whole process at another provider (such as a local fake).
    struct Endpoints {
        std::string authorizationURL;  // accounts host, "/o/oauth2/v2/auth"
        std::string tokenURL;          // API host, "/oauth2/v4/token"
        std::string revocationURL;     // accounts host, "/o/oauth2/revoke"
        std::string userInfoURL;       // API host, "/oauth2/v3/userinfo"
        // An authorization host ending with this ("." and the provider's domain) switches the
        // e-mail fetch on.
        std::string domainSuffix;
    };
    static Endpoints defaultEndpoints();
    static Endpoints endpoints();
    static void setEndpoints(Endpoints endpoints);

    // --- class operations ---
    static URL googleAuthorizationURL();
    static URL googleTokenURL();
    static URL googleRevocationURL();
    static URL googleUserInfoURL();
    static std::string nativeClientRedirectURI();  // "urn:ietf:wg:oauth:2.0:oob"
    static std::string emailScope();
    static std::string profileScope();

    static std::shared_ptr<QNOAuth2Authentication> standardGoogleAuthenticationForScope(
        std::optional<std::string> scope, std::optional<std::string> clientID, std::optional<std::string> clientSecret);
    // The URL with the parameter text appended to its query (rules in the implementation).
    static URLRequest mutableURLRequestWithURL(const URL& url, const std::string& paramString);
    // A fetcher for the user-info endpoint signed by the authentication (not begun).
    static std::shared_ptr<QNSessionFetcher> userInfoFetcherWithAuth(const std::shared_ptr<QNOAuth2Authentication>& auth);
    // Revokes the refresh token at the provider (not awaited) and resets the authentication.
    static void revokeTokenForGoogleAuthentication(const std::shared_ptr<QNOAuth2Authentication>& auth);
    // The same, telling `finished` how the provider answered: no error once it confirmed the
    // revocation, else the fetch's error (a status error for an answer other than 2xx). Answers
    // the begun fetch, to stop it (then `finished` is not called); nullptr when there was no
    // refresh token of the provider to revoke (`finished` is not called either).
    using RevocationFinished = std::function<void(const std::optional<platform::Error>& error)>;
    static std::shared_ptr<QNSessionFetcher> revokeTokenForGoogleAuthentication(
        const std::shared_ptr<QNOAuth2Authentication>& auth, RevocationFinished finished);
    // base64url (RFC 4648) with or without "=" padding; nullopt for text that is not ASCII.
    static std::optional<platform::Bytes> decodeWebSafeBase64(std::string_view text);

    // --- making and running ---
    // initWithAuthentication:authorizationURL:delegate:webRequestSelector:finishedSelector:
    QNOAuth2SignIn(std::shared_ptr<QNOAuth2Authentication> authentication, std::optional<URL> authorizationURL,
                   std::shared_ptr<void> delegate, WebRequestCallback webRequestSelector,
                   FinishedCallback finishedSelector);
    ~QNOAuth2SignIn();
    QNOAuth2SignIn(const QNOAuth2SignIn&) = delete;
    QNOAuth2SignIn& operator=(const QNOAuth2SignIn&) = delete;

    // Adds the user-info scopes and asks the delegate to display the page. True.
    bool startSigningIn();
    // Stops everything without a final callback.
    void cancelSigningIn();

    // --- answers from the display ---
    // True when the request is the redirect that ends the page.
    bool requestRedirectedToRequest(const URLRequest& redirectedRequest);
    bool titleChanged(const std::string& title);
    // Does nothing; false.
    bool cookiesChanged(const std::shared_ptr<platform::HTTPCookieStorage>& cookieStorage);
    // True when the failure was the authorization page's own (the sign-in then ends with it).
    bool loadFailedWithError(const Error& error);
    // The user closed the display: ends with -1000.
    void windowWasClosed();

    // --- steps (public for the display and for tests) ---
    platform::Value parametersForWebRequest();
    bool startWebRequest();
    void closeTheWindow();
    void authCodeObtained();
    void fetchGoogleUserInfo();
    void updateGoogleUserInfoWithData(const std::optional<platform::Bytes>& data);
    void finishSignInWithError(const std::optional<Error>& error);
    void invokeFinalCallbackWithError(const std::optional<Error>& error);
    void addScopeForGoogleUserInfo();
    // The reachability watch.
    void startReachabilityCheck();
    void stopReachabilityCheck();
    void reachabilityTargetChangedFlags(uint32_t flags);
    void reachabilityTimerFired();
    void destroyUnreachabilityTimer();

    // --- properties ---
    const std::shared_ptr<QNOAuth2Authentication>& authentication() const { return authentication_; }
    void setAuthentication(std::shared_ptr<QNOAuth2Authentication> a) { authentication_ = std::move(a); }
    const std::optional<URL>& authorizationURL() const { return authorizationURL_; }
    void setAuthorizationURL(std::optional<URL> url) { authorizationURL_ = std::move(url); }
    // nullopt: none.
    const std::optional<platform::Value>& additionalAuthorizationParameters() const { return additionalAuthorizationParameters_; }
    void setAdditionalAuthorizationParameters(std::optional<platform::Value> dict) {
        additionalAuthorizationParameters_ = std::move(dict);
    }
    const std::shared_ptr<void>& delegate() const { return delegate_; }
    void setDelegate(std::shared_ptr<void> delegate) { delegate_ = std::move(delegate); }
    const WebRequestCallback& webRequestSelector() const { return webRequestSelector_; }
    void setWebRequestSelector(WebRequestCallback cb) { webRequestSelector_ = std::move(cb); }
    const FinishedCallback& finishedSelector() const { return finishedSelector_; }
    void setFinishedSelector(FinishedCallback cb) { finishedSelector_ = std::move(cb); }
    bool hasHandledCallback() const { return hasHandledCallback_; }
    void setHasHandledCallback(bool v) { hasHandledCallback_ = v; }
    const std::shared_ptr<QNSessionFetcher>& pendingFetcher() const { return pendingFetcher_; }
    void setPendingFetcher(std::shared_ptr<QNSessionFetcher> f) { pendingFetcher_ = std::move(f); }
    const std::shared_ptr<void>& userData() const { return userData_; }
    void setUserData(std::shared_ptr<void> d) { userData_ = std::move(d); }
    bool shouldFetchGoogleUserEmail() const { return shouldFetchGoogleUserEmail_; }
    void setShouldFetchGoogleUserEmail(bool v) { shouldFetchGoogleUserEmail_ = v; }
    bool shouldFetchGoogleUserProfile() const { return shouldFetchGoogleUserProfile_; }
    void setShouldFetchGoogleUserProfile(bool v) { shouldFetchGoogleUserProfile_ = v; }
    const std::optional<platform::Value>& userProfile() const { return userProfile_; }
    void setUserProfile(std::optional<platform::Value> p) { userProfile_ = std::move(p); }
    // The longest a sign-in may take from its start to its end (600 s unless set; 0 or less:
    // no limit); beyond it the sign-in ends with kQNOAuth2ErrorSignInTimedOut.
    double signInTimeoutInterval() const { return signInTimeoutInterval_; }
    void setSignInTimeoutInterval(double seconds) { signInTimeoutInterval_ = seconds; }
    double networkLossTimeoutInterval() const { return networkLossTimeoutInterval_; }
    void setNetworkLossTimeoutInterval(double seconds) { networkLossTimeoutInterval_ = seconds; }
    // Whether a reachability watch exists now.
    bool isWatchingReachability() const { return reachability_ != nullptr; }

private:
    void authFinished(const std::shared_ptr<QNSessionFetcher>& fetcher, const std::optional<Error>& error);
    void infoFetcherFinished(const std::shared_ptr<QNSessionFetcher>& fetcher, const std::optional<platform::Bytes>& data,
                             const std::optional<Error>& error);
    void postNotification(const char* name);
    void startSignInTimer();
    void destroySignInTimer();
    void signInTimedOut();

    std::shared_ptr<QNOAuth2Authentication> authentication_;
    std::optional<URL> authorizationURL_;
    std::optional<platform::Value> additionalAuthorizationParameters_;
    std::shared_ptr<void> delegate_;
    WebRequestCallback webRequestSelector_;
    FinishedCallback finishedSelector_;
    bool hasHandledCallback_ = false;
    std::shared_ptr<QNSessionFetcher> pendingFetcher_;
    bool shouldFetchGoogleUserEmail_ = false;
    bool shouldFetchGoogleUserProfile_ = false;
    std::optional<platform::Value> userProfile_;
    std::shared_ptr<platform::NetworkReachability> reachability_;
    std::shared_ptr<platform::Timer> networkLossTimer_;
    double networkLossTimeoutInterval_ = 30.0;
    std::shared_ptr<platform::Timer> signInTimer_;
    double signInTimeoutInterval_ = 600.0;
    bool hasNotifiedNetworkLoss_ = false;
    std::shared_ptr<void> userData_;
};

}  // namespace quorvane
