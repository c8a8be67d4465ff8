// The sign-in flow against the fake provider, through real fetchers: the page request, the
// page's answer by redirect or title, the code exchange, the identity, the end reported once,
// the reachability watch and revocation.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fetcher/QNSessionFetcher.h"
#include "platform/foundation/Base64.h"
#include "platform/foundation/Crypto.h"
#include "platform/net/NetworkReachability.h"
#include "tests/oauth2/QNOAuth2SignInTestSupport.h"

namespace quorvane {
namespace {

using platform::Bytes;
using platform::Error;
using platform::URL;
using platform::URLRequest;
using platform::Value;

struct Outcome {
    std::shared_ptr<QNOAuth2Authentication> auth;
    std::optional<Error> error;
};

class QNOAuth2SignInTest : public test::SignInTestBase {
protected:
    // A sign-in whose delegate records what it is asked to display and how it ended.
    std::shared_ptr<QNOAuth2SignIn> makeSignIn(std::shared_ptr<QNOAuth2Authentication> auth,
                                               std::optional<URL> url = std::nullopt) {
        if (!url) url = QNOAuth2SignIn::googleAuthorizationURL();
        auto signIn = std::make_shared<QNOAuth2SignIn>(
            std::move(auth), url, std::make_shared<int>(0),
            [this](const std::shared_ptr<QNOAuth2SignIn>&, const std::optional<URLRequest>& request) {
                displayed.push_back(request);
            },
            [this](const std::shared_ptr<QNOAuth2SignIn>&, const std::shared_ptr<QNOAuth2Authentication>& a,
                   const std::optional<Error>& e) { outcomes.push_back({a, e}); });
        return signIn;
    }

    // The page's answer as the provider's redirect would carry it.
    URLRequest redirect(const std::string& query) const {
        return URLRequest(URL::URLWithString(redirectURI() + "?" + query));
    }

    std::shared_ptr<QNOAuth2Authentication> authWithRedirect() {
        auto auth = standardAuth();
        auth->setRedirectURI(redirectURI());
        return auth;
    }

    std::vector<std::optional<URLRequest>> displayed;
    std::vector<Outcome> outcomes;
};

TEST_F(QNOAuth2SignInTest, ProviderConstantsAndTheStandardAuthentication) {
    QNOAuth2SignIn::setEndpoints(QNOAuth2SignIn::defaultEndpoints());
    EXPECT_EQ(QNOAuth2SignIn::googleAuthorizationURL().path(), "/o/oauth2/v2/auth");
    EXPECT_EQ(QNOAuth2SignIn::googleTokenURL().path(), "/oauth2/v4/token");
    EXPECT_EQ(QNOAuth2SignIn::googleRevocationURL().path(), "/o/oauth2/revoke");
    EXPECT_EQ(QNOAuth2SignIn::googleUserInfoURL().path(), "/oauth2/v3/userinfo");
    for (const URL& u : {QNOAuth2SignIn::googleAuthorizationURL(), QNOAuth2SignIn::googleTokenURL(),
                         QNOAuth2SignIn::googleRevocationURL(), QNOAuth2SignIn::googleUserInfoURL()})
        EXPECT_EQ(u.scheme(), "https");
    EXPECT_EQ(QNOAuth2SignIn::nativeClientRedirectURI(), "urn:ietf:wg:oauth:2.0:oob");

    auto auth = QNOAuth2SignIn::standardGoogleAuthenticationForScope("scope-a", "id", "secret");
    EXPECT_EQ(auth->serviceProvider(), "Google");
    EXPECT_EQ(auth->tokenURL(), QNOAuth2SignIn::googleTokenURL());
    EXPECT_EQ(auth->redirectURI(), "urn:ietf:wg:oauth:2.0:oob");
    EXPECT_EQ(auth->scope(), "scope-a");

    // The e-mail fetch is on for the provider's own hosts only.
    EXPECT_TRUE(makeSignIn(auth, QNOAuth2SignIn::googleAuthorizationURL())->shouldFetchGoogleUserEmail());
    EXPECT_FALSE(makeSignIn(auth, URL::URLWithString("https://127.0.0.1:9/o/oauth2/v2/auth"))->shouldFetchGoogleUserEmail());
    EXPECT_FALSE(makeSignIn(auth, URL::URLWithString("https://evilgoogle.com/auth"))->shouldFetchGoogleUserEmail());
}

TEST_F(QNOAuth2SignInTest, WebSafeBase64) {
    std::string text = "{\"sub\":\"1\"}?>";
    std::string encoded = platform::base64URLEncode(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    EXPECT_EQ(QNOAuth2SignIn::decodeWebSafeBase64(encoded), Bytes(text.begin(), text.end()));
    EXPECT_EQ(QNOAuth2SignIn::decodeWebSafeBase64(encoded + "=="), Bytes(text.begin(), text.end()));
    EXPECT_EQ(QNOAuth2SignIn::decodeWebSafeBase64("-_8"), (Bytes{0xFB, 0xFF}));
    EXPECT_EQ(QNOAuth2SignIn::decodeWebSafeBase64("QQ"), (Bytes{'A'}));
    EXPECT_EQ(QNOAuth2SignIn::decodeWebSafeBase64("Q"), Bytes());
    EXPECT_EQ(QNOAuth2SignIn::decodeWebSafeBase64(""), Bytes());
    EXPECT_EQ(QNOAuth2SignIn::decodeWebSafeBase64("Q\xC3\xA9"), std::nullopt);
}

TEST_F(QNOAuth2SignInTest, PageRequestCarriesTheSortedParametersAfterTheURLsOwnQuery) {
    auto auth = authWithRedirect();
    auto url = URL::URLWithString(provider.authorizationURL() + "?prompt=consent#frag");
    auto signIn = makeSignIn(auth, url);
    signIn->setNetworkLossTimeoutInterval(0);
    signIn->setShouldFetchGoogleUserEmail(true);
    signIn->setAdditionalAuthorizationParameters(Value::dictionary({{"hl", Value("en")}}));
    ASSERT_TRUE(signIn->startSigningIn());
    ASSERT_EQ(displayed.size(), 1u);
    ASSERT_TRUE(displayed[0] && displayed[0]->url());
    std::string scope = "https://www.google.com/m8/feeds/ https://www.googleapis.com/auth/userinfo.email";
    // PKCE: the challenge is the SHA-256 of the verifier the code exchange will send.
    auto verifier = auth->codeVerifier();
    ASSERT_TRUE(verifier);
    EXPECT_EQ(verifier->size(), 43u);
    auto digest = platform::sha256(*verifier);
    std::string challenge = platform::base64URLEncode(digest.data(), digest.size());
    EXPECT_EQ(displayed[0]->url()->absoluteString(),
              provider.authorizationURL() + "?prompt=consent&client_id=quorvane-test-client&code_challenge=" + challenge +
                  "&code_challenge_method=S256&hl=en&redirect_uri=" +
                  QNOAuth2Authentication::encodedOAuthValueForString(redirectURI()) +
                  "&response_type=code&scope=" + QNOAuth2Authentication::encodedOAuthValueForString(scope));
    EXPECT_FALSE(signIn->isWatchingReachability());  // interval 0: no watch

    // Starting again does not add the e-mail scope twice; a nil scope stays nil.
    signIn->addScopeForGoogleUserInfo();
    EXPECT_EQ(auth->scope(), scope);
    auth->setScope(std::nullopt);
    signIn->addScopeForGoogleUserInfo();
    EXPECT_EQ(auth->scope(), std::nullopt);

    // Without a client identifier there are no parameters at all, the extra ones included.
    auth->setClientID(std::nullopt);
    EXPECT_TRUE(signIn->parametersForWebRequest().isNull());
    auto plain = URL::URLWithString("https://127.0.0.1:8443/a%20b/auth");
    EXPECT_EQ(QNOAuth2SignIn::mutableURLRequestWithURL(*plain, "").url(), plain);
    EXPECT_EQ(QNOAuth2SignIn::mutableURLRequestWithURL(*plain, "x=1").url()->absoluteString(),
              "https://127.0.0.1:8443/a%20b/auth?x=1");
    signIn->cancelSigningIn();
}

TEST_F(QNOAuth2SignInTest, RedirectWithCodeExchangesItAndReadsTheIdentityThenEndsOnce) {
    auto auth = authWithRedirect();
    auto signIn = makeSignIn(auth);
    signIn->setShouldFetchGoogleUserEmail(true);
    signIn->startSigningIn();
    ASSERT_EQ(displayed.size(), 1u);
    EXPECT_TRUE(signIn->isWatchingReachability());

    // Pages on the way are not the answer.
    EXPECT_FALSE(signIn->requestRedirectedToRequest(*displayed[0]));
    EXPECT_FALSE(signIn->requestRedirectedToRequest(URLRequest(URL::URLWithString("http://127.0.0.1/other?code=x"))));

    std::string code = provider.issueAuthorizationCode();
    ASSERT_TRUE(signIn->requestRedirectedToRequest(redirect("code=" + code)));
    EXPECT_TRUE(signIn->hasHandledCallback());
    ASSERT_EQ(displayed.size(), 2u);
    EXPECT_FALSE(displayed[1]);  // the display is asked to close
    EXPECT_FALSE(signIn->isWatchingReachability());
    EXPECT_TRUE(signIn->pendingFetcher());
    EXPECT_EQ(count(kQNOAuth2UserSignedIn), 1u);
    // A second sight of the answer is taken and ignored.
    EXPECT_TRUE(signIn->requestRedirectedToRequest(redirect("code=other")));

    ASSERT_TRUE(pumpUntil([&] { return !outcomes.empty(); }));
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_FALSE(outcomes[0].error) << outcomes[0].error->code;
    EXPECT_EQ(outcomes[0].auth, auth);
    EXPECT_TRUE(auth->accessToken() && !auth->accessToken()->empty());
    EXPECT_TRUE(auth->refreshToken() && !auth->refreshToken()->empty());
    EXPECT_EQ(auth->userEmail(), "owner@example.com");
    EXPECT_EQ(auth->userID(), "1000001");
    EXPECT_EQ(auth->userEmailIsVerified(), "1");
    ASSERT_TRUE(signIn->userProfile());
    EXPECT_EQ((*signIn->userProfile())["email"].asString(), "owner@example.com");
    EXPECT_FALSE(signIn->pendingFetcher());
    EXPECT_FALSE(signIn->delegate());
    EXPECT_EQ(count("kQNOAuth2FetchStarted:userInfo"), 1u);
    EXPECT_EQ(provider.server().requestCount("/oauth2/v3/userinfo"), 1u);
    auto info = provider.server().requests("/oauth2/v3/userinfo");
    EXPECT_EQ(info[0].header("Authorization"), "Bearer " + *auth->accessToken());
    EXPECT_EQ(info[0].header("Cache-Control"), "no-cache");

    // Nothing ends it again.
    signIn->windowWasClosed();
    EXPECT_EQ(outcomes.size(), 1u);
}

TEST_F(QNOAuth2SignInTest, TitleOfTheOutOfBandPageCarriesTheCode) {
    auto auth = standardAuth();
    auto signIn = makeSignIn(auth);
    signIn->setNetworkLossTimeoutInterval(0);
    signIn->startSigningIn();
    EXPECT_FALSE(signIn->requestRedirectedToRequest(redirect("code=abc")));  // out-of-band: no redirect counts
    EXPECT_FALSE(signIn->titleChanged("Sign in - Provider Accounts"));
    EXPECT_FALSE(signIn->titleChanged("Success"));
    EXPECT_FALSE(signIn->titleChanged("Denied state=1"));
    std::string code = provider.issueAuthorizationCode();
    ASSERT_TRUE(signIn->titleChanged("Success code=" + code));
    EXPECT_TRUE(signIn->titleChanged("Success code=again"));
    ASSERT_TRUE(pumpUntil([&] { return !outcomes.empty(); }));
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_FALSE(outcomes[0].error);
    EXPECT_TRUE(auth->refreshToken());
    // The e-mail fetch is off for this host: no identity request was made.
    EXPECT_EQ(provider.server().requestCount("/oauth2/v3/userinfo"), 0u);
    EXPECT_EQ(provider.tokenRequests(), 1u);
}

TEST_F(QNOAuth2SignInTest, AnswerWithoutCodeEndsWithTheProvidersErrorWord) {
    auto signIn = makeSignIn(authWithRedirect());
    signIn->setNetworkLossTimeoutInterval(0);
    signIn->startSigningIn();
    ASSERT_TRUE(signIn->requestRedirectedToRequest(redirect("error=access_denied")));
    ASSERT_EQ(outcomes.size(), 1u);  // at once: nothing to exchange
    ASSERT_TRUE(outcomes[0].error);
    EXPECT_EQ(outcomes[0].error->domain, "com.quorvane.QNOAuth2");
    EXPECT_EQ(outcomes[0].error->code, -1001);
    EXPECT_EQ(outcomes[0].error->userInfo["error"].asString(), "access_denied");
    EXPECT_EQ(provider.tokenRequests(), 0u);
    EXPECT_EQ(count(kQNOAuth2UserSignedIn), 0u);
}

TEST_F(QNOAuth2SignInTest, RefusedCodeExchangeReportsTheTokenError) {
    auto auth = authWithRedirect();
    auto signIn = makeSignIn(auth);
    signIn->setShouldFetchGoogleUserEmail(true);
    signIn->startSigningIn();
    ASSERT_TRUE(signIn->requestRedirectedToRequest(redirect("code=never-issued")));
    ASSERT_TRUE(pumpUntil([&] { return !outcomes.empty(); }));
    ASSERT_EQ(outcomes.size(), 1u);
    ASSERT_TRUE(outcomes[0].error);
    EXPECT_EQ(outcomes[0].error->domain, "com.quorvane.HTTPStatus");
    EXPECT_EQ(outcomes[0].error->code, 400);
    EXPECT_EQ(outcomes[0].error->userInfo["json"]["error"].asString(), "invalid_grant");
    EXPECT_FALSE(auth->accessToken());
    EXPECT_EQ(provider.server().requestCount("/oauth2/v3/userinfo"), 0u);
    EXPECT_EQ(count(kQNOAuth2UserSignedIn), 1u);
}

TEST_F(QNOAuth2SignInTest, IdTokenWithEmailSparesTheUserInfoRequest) {
    auto jwt = [](const std::string& claims) {
        return "eyJhbGciOiJSUzI1NiJ9." +
               platform::base64URLEncode(reinterpret_cast<const uint8_t*>(claims.data()), claims.size()) + ".c2ln";
    };
    std::string claims = R"({"sub":"42","email":"id@example.com","email_verified":"true"})";
    provider.server().on("POST", "/oauth2/v4/token", [&](const test::TestRequest&, test::TestResponse& res) {
        res.contentType = "application/json";
        res.body = R"({"access_token":"a1","refresh_token":"r1","expires_in":3600,"id_token":")" + jwt(claims) + "\"}";
    });
    auto auth = authWithRedirect();
    auto signIn = makeSignIn(auth);
    signIn->setShouldFetchGoogleUserEmail(true);
    signIn->setNetworkLossTimeoutInterval(0);
    signIn->startSigningIn();
    ASSERT_TRUE(signIn->requestRedirectedToRequest(redirect("code=c1")));
    ASSERT_TRUE(pumpUntil([&] { return !outcomes.empty(); }));
    EXPECT_FALSE(outcomes[0].error);
    EXPECT_EQ(auth->userID(), "42");
    EXPECT_EQ(auth->userEmail(), "id@example.com");
    EXPECT_EQ(auth->userEmailIsVerified(), "1");
    EXPECT_EQ(provider.server().requestCount("/oauth2/v3/userinfo"), 0u);

    // Without an e-mail in the id_token the user-info endpoint is asked; its answer wins.
    claims = R"({"sub":"42"})";
    outcomes.clear();
    provider.server().on("GET", "/oauth2/v3/userinfo", [](const test::TestRequest& req, test::TestResponse& res) {
        res.status = req.header("Authorization") == std::optional<std::string>("Bearer a1") ? 200 : 401;
        res.contentType = "application/json";
        res.body = R"({"sub":"43","email":"info@example.com","email_verified":false})";
    });
    auto auth2 = authWithRedirect();
    auto signIn2 = makeSignIn(auth2);
    signIn2->setShouldFetchGoogleUserEmail(true);
    signIn2->setNetworkLossTimeoutInterval(0);
    signIn2->startSigningIn();
    ASSERT_TRUE(signIn2->requestRedirectedToRequest(redirect("code=c2")));
    ASSERT_TRUE(pumpUntil([&] { return !outcomes.empty(); }));
    EXPECT_FALSE(outcomes[0].error);
    EXPECT_EQ(provider.server().requestCount("/oauth2/v3/userinfo"), 1u);
    EXPECT_EQ(auth2->userID(), "43");
    EXPECT_EQ(auth2->userEmail(), "info@example.com");
    EXPECT_EQ(auth2->userEmailIsVerified(), "0");
}

TEST_F(QNOAuth2SignInTest, LoadFailuresOfTheAuthorizationPageOnlyEndTheSignIn) {
    auto signIn = makeSignIn(authWithRedirect());
    signIn->setNetworkLossTimeoutInterval(0);
    signIn->startSigningIn();
    Error other(platform::kURLErrorDomain, platform::kURLErrorCannotConnectToHost);
    other.userInfo.set("NSErrorFailingURLKey", "https://127.0.0.1:1/some/other/page");
    EXPECT_FALSE(signIn->loadFailedWithError(other));
    EXPECT_TRUE(outcomes.empty());

    Error own(platform::kURLErrorDomain, platform::kURLErrorCannotConnectToHost);
    own.userInfo.set(Error::kURLErrorFailingURLStringKey, provider.authorizationURL() + "?client_id=x");
    EXPECT_TRUE(signIn->loadFailedWithError(own));
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].error, own);
    EXPECT_FALSE(displayed.back());  // closed
}

TEST_F(QNOAuth2SignInTest, ALoadFailureAfterTheAnswerDoesNotCutTheExchangeShort) {
    provider.server().hold("/oauth2/v4/token");
    auto auth = authWithRedirect();
    auto signIn = makeSignIn(auth);
    signIn->setNetworkLossTimeoutInterval(0);
    signIn->startSigningIn();
    ASSERT_TRUE(signIn->requestRedirectedToRequest(redirect("code=" + provider.issueAuthorizationCode())));
    ASSERT_TRUE(pumpUntil([&] { return provider.server().waitForHeld("/oauth2/v4/token", 1, 0); }));
    Error own(platform::kURLErrorDomain, platform::kURLErrorCancelled);
    own.userInfo.set(Error::kURLErrorFailingURLStringKey, provider.authorizationURL());
    EXPECT_FALSE(signIn->loadFailedWithError(own));
    EXPECT_TRUE(outcomes.empty());
    provider.server().release("/oauth2/v4/token");
    ASSERT_TRUE(pumpUntil([&] { return !outcomes.empty(); }));
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_FALSE(outcomes[0].error);
    EXPECT_TRUE(auth->refreshToken());
}

TEST_F(QNOAuth2SignInTest, ASignInThatNeverEndsTimesOut) {
    auto signIn = makeSignIn(authWithRedirect());
    signIn->setNetworkLossTimeoutInterval(0);
    signIn->setSignInTimeoutInterval(0.05);
    ASSERT_TRUE(signIn->startSigningIn());
    // Nobody answers the page.
    ASSERT_TRUE(pumpUntil([&] { return !outcomes.empty(); }));
    ASSERT_EQ(outcomes.size(), 1u);
    ASSERT_TRUE(outcomes[0].error);
    EXPECT_EQ(outcomes[0].error->domain, kQNOAuth2ErrorDomain);
    EXPECT_EQ(outcomes[0].error->code, kQNOAuth2ErrorSignInTimedOut);
    ASSERT_EQ(displayed.size(), 2u);
    EXPECT_FALSE(displayed[1]);  // the display was asked to close
    // A late answer changes nothing.
    signIn->requestRedirectedToRequest(redirect("code=" + provider.issueAuthorizationCode()));
    platform::RunLoop::main()->runUntil([] { return false; }, 0.05);
    EXPECT_EQ(outcomes.size(), 1u);
}

TEST_F(QNOAuth2SignInTest, ClosedWindowEndsWithMinus1000AndCancelEndsSilently) {
    auto signIn = makeSignIn(authWithRedirect());
    signIn->startSigningIn();
    signIn->windowWasClosed();
    ASSERT_EQ(outcomes.size(), 1u);
    ASSERT_TRUE(outcomes[0].error);
    EXPECT_EQ(outcomes[0].error->domain, "com.quorvane.QNOAuth2");
    EXPECT_EQ(outcomes[0].error->code, -1000);
    EXPECT_FALSE(signIn->isWatchingReachability());
    signIn->windowWasClosed();
    EXPECT_EQ(outcomes.size(), 1u);

    // Cancelling during the code exchange stops it; nobody hears of it.
    provider.server().hold("/oauth2/v4/token");
    auto auth = authWithRedirect();
    auto cancelled = makeSignIn(auth);
    cancelled->startSigningIn();
    ASSERT_TRUE(cancelled->requestRedirectedToRequest(redirect("code=" + provider.issueAuthorizationCode())));
    ASSERT_TRUE(pumpUntil([&] { return provider.server().waitForHeld("/oauth2/v4/token", 1, 0); }));
    auto fetcher = cancelled->pendingFetcher();
    ASSERT_TRUE(fetcher);
    cancelled->cancelSigningIn();
    EXPECT_FALSE(cancelled->pendingFetcher());
    EXPECT_FALSE(cancelled->delegate());
    EXPECT_FALSE(fetcher->isFetching());
    provider.server().release("/oauth2/v4/token");
    cancelled->windowWasClosed();
    EXPECT_EQ(outcomes.size(), 1u);
    EXPECT_FALSE(auth->accessToken());
}

// A socket listening on 127.0.0.1 at the port.
struct Listener {
    explicit Listener(int port) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(uint16_t(port));
        ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd, 16) == 0;
    }
    ~Listener() { ::close(fd); }
    int fd;
    bool ok = false;
};

TEST_F(QNOAuth2SignInTest, UnreachableHostIsAnnouncedAfterTheTimeoutAndItsReturnToo) {
    double savedPoll = platform::NetworkReachability::pollInterval();
    platform::NetworkReachability::setPollInterval(0.05);
    int port = test::TestHTTPServer::unusedPort();
    auto signIn = makeSignIn(authWithRedirect(),
                             URL::URLWithString("https://127.0.0.1:" + std::to_string(port) + "/o/oauth2/v2/auth"));
    signIn->setNetworkLossTimeoutInterval(0.1);
    signIn->startSigningIn();
    ASSERT_TRUE(signIn->isWatchingReachability());
    ASSERT_TRUE(pumpUntil([&] { return count(kQNOAuthNetworkLost) > 0; }));
    EXPECT_EQ(count(kQNOAuthNetworkFound), 0u);
    {
        Listener listener(port);
        ASSERT_TRUE(listener.ok);
        ASSERT_TRUE(pumpUntil([&] { return count(kQNOAuthNetworkFound) > 0; }));
        EXPECT_EQ(count(kQNOAuthNetworkLost), 1u);
        signIn->windowWasClosed();
    }
    EXPECT_FALSE(signIn->isWatchingReachability());
    ASSERT_EQ(outcomes.size(), 1u);  // an unreachable host never ended the sign-in by itself
    EXPECT_EQ(outcomes[0].error->code, -1000);
    platform::NetworkReachability::setPollInterval(savedPoll);
}

TEST_F(QNOAuth2SignInTest, RevocationPostsTheRefreshTokenAndResetsTheAuthentication) {
    auto tokens = provider.issueTokens();
    auto auth = standardAuth();
    auth->setRefreshToken(tokens.refreshToken);
    auth->setAccessToken(tokens.accessToken);
    auth->setUserEmail("owner@example.com");
    QNOAuth2SignIn::revokeTokenForGoogleAuthentication(auth);
    EXPECT_FALSE(auth->refreshToken());
    EXPECT_FALSE(auth->accessToken());
    EXPECT_FALSE(auth->userEmail());
    ASSERT_TRUE(pumpUntil([&] { return provider.server().requestCount("/o/oauth2/revoke") >= 1; }));
    auto request = provider.server().requests("/o/oauth2/revoke")[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.body, "token=" + QNOAuth2Authentication::encodedOAuthValueForString(tokens.refreshToken));
    EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");

    // Another provider's authentication is only reset.
    auto other = QNOAuth2Authentication::authenticationWithServiceProvider("Other", QNOAuth2SignIn::googleTokenURL(),
                                                                           "urn:x", "id", "secret");
    other->setRefreshToken("r");
    QNOAuth2SignIn::revokeTokenForGoogleAuthentication(other);
    EXPECT_FALSE(other->refreshToken());
    provider.server().clearLog();
    // A request of its own shows that nothing else was queued before it.
    auto probe = QNSessionFetcher::fetcherWithURL(provider.server().url("/probe"));
    bool done = false;
    probe->beginFetchWithCompletionHandler([&](const auto&, const auto&) { done = true; });
    ASSERT_TRUE(pumpUntil([&] { return done; }));
    EXPECT_EQ(provider.server().requestCount("/o/oauth2/revoke"), 0u);
}

}  // namespace
}  // namespace quorvane
