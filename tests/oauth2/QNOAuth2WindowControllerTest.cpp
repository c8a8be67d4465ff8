// The sign-in display and the keychain record: whole sign-ins through a page view that loads the
// fake provider's pages itself, with real fetchers, the default keychain and user defaults (both
// in the test's temporary data folders).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>

#include "oauth2/QNOAuth2WindowController.h"
#include "platform/foundation/Date.h"
#include "platform/net/HTTPCookieStorage.h"
#include "platform/store/Keychain.h"
#include "platform/store/UserDefaults.h"
#include "platform/web/BrowserWebView.h"
#include "platform/web/LoadingWebView.h"
#include "tests/oauth2/QNOAuth2SignInTestSupport.h"

namespace quorvane {
namespace {

using platform::Bytes;
using platform::Error;
using platform::URL;
using platform::URLRequest;
using platform::Value;

constexpr const char* kItem = "QuorvaneTest";

struct Outcome {
    std::shared_ptr<QNOAuth2Authentication> auth;
    std::optional<Error> error;
};

class QNOAuth2WindowControllerTest : public test::SignInTestBase {
protected:
    void SetUp() override {
        SignInTestBase::SetUp();
        // The page views' sessions may keep a connection open after the test; the provider must
        // not wait for it when it stops.
        provider.server().setKeepAliveMaxCount(1);
        QNOAuth2WindowController::removeAuthFromKeychainForName(kItem);
        defaults()->removeObjectForKey(QNOAuth2WindowController::prefsKeyForName(kItem));
    }

    static std::shared_ptr<platform::UserDefaults> defaults() { return platform::UserDefaults::standardUserDefaults(); }

    static std::optional<std::string> storedRecord() {
        Bytes data;
        if (platform::Keychain::defaultKeychain()->findGenericPassword(kItem, "OAuth", &data) !=
            platform::KeychainStatus::Success)
            return std::nullopt;
        return std::string(data.begin(), data.end());
    }

    // A controller as the sync model makes one, showing its pages in a loading page view and
    // taking the provider's answer on the test redirect URI.
    std::shared_ptr<QNOAuth2WindowController> makeController(std::optional<std::string> item = std::string(kItem)) {
        auto controller = QNOAuth2WindowController::controllerWithScope("https://www.google.com/m8/feeds/",
                                                                        test::kTestClientID, test::kTestClientSecret, item);
        controller->authentication()->setRedirectURI(redirectURI());
        controller->signIn()->setShouldFetchGoogleUserEmail(true);
        controller->signIn()->setAdditionalAuthorizationParameters(Value::dictionary({{"hl", Value("en")}}));
        controller->setInitialHTMLString("<html><body><div align=center>Loading sign-in page...</div></body></html>");
        view = platform::LoadingWebView::make();
        controller->setWebView(view);
        return controller;
    }

    void start(const std::shared_ptr<QNOAuth2WindowController>& controller) {
        controller->signInSheetModalForWindow(nullptr, [this](const std::shared_ptr<QNOAuth2Authentication>& auth,
                                                              const std::optional<Error>& error) {
            outcomes.push_back({auth, error});
        });
    }

    std::shared_ptr<platform::LoadingWebView> view;
    std::vector<Outcome> outcomes;
};

TEST_F(QNOAuth2WindowControllerTest, FullSignInEndsOnceAndStoresTheRecord) {
    auto controller = makeController();
    std::weak_ptr<QNOAuth2WindowController> weak = controller;
    auto auth = controller->authentication();
    start(controller);
    controller.reset();  // the running sign-in keeps its display alive
    ASSERT_TRUE(weak.lock());
    EXPECT_TRUE(weak.lock()->isWindowShown());
    EXPECT_FALSE(weak.lock()->keychainCheckboxHidden());

    ASSERT_TRUE(pumpUntil([&] { return !outcomes.empty(); }));
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_FALSE(outcomes[0].error) << outcomes[0].error->domain << " " << outcomes[0].error->code;
    EXPECT_EQ(outcomes[0].auth, auth);
    EXPECT_TRUE(auth->canAuthorize());
    EXPECT_TRUE(auth->accessToken() && !auth->accessToken()->empty());
    EXPECT_EQ(auth->userEmail(), "owner@example.com");
    EXPECT_EQ(auth->userEmailIsVerified(), "1");

    // The provider saw the page request with its parameters, and the redirect was never loaded.
    auto pages = provider.server().requests("/o/oauth2/v2/auth");
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_NE(pages[0].query.find("client_id=quorvane-test-client"), std::string::npos);
    EXPECT_NE(pages[0].query.find("hl=en"), std::string::npos);
    EXPECT_NE(pages[0].query.find("response_type=code"), std::string::npos);
    EXPECT_NE(pages[0].query.find("code_challenge_method=S256"), std::string::npos);
    EXPECT_EQ(provider.tokenRequests(), 1u);
    EXPECT_EQ(provider.verifiedCodeChallenges(), 1u);
    EXPECT_FALSE(auth->codeVerifier());  // used once
    // The page was stopped at the redirect: the view still holds the initial HTML.
    EXPECT_NE(view->documentText().find("Loading sign-in page..."), std::string::npos);

    // The record: the persistence string without the access token, and the flag.
    auto record = storedRecord();
    ASSERT_TRUE(record);
    EXPECT_EQ(*record, auth->persistenceResponseString());
    EXPECT_EQ(record->find("access_token"), std::string::npos);
    EXPECT_NE(record->find("refresh_token=" + QNOAuth2Authentication::encodedOAuthValueForString(*auth->refreshToken())),
              std::string::npos);
    EXPECT_NE(record->find("email=owner%40example.com"), std::string::npos);
    EXPECT_TRUE(defaults()->boolForKey("OAuth2: QuorvaneTest"));

    // The application's next start loads it; the first authorization refreshes the token.
    auto loaded = QNOAuth2WindowController::authForGoogleFromKeychainForName(kItem, test::kTestClientID,
                                                                            test::kTestClientSecret);
    EXPECT_TRUE(loaded->canAuthorize());
    EXPECT_FALSE(loaded->accessToken());
    EXPECT_EQ(loaded->refreshToken(), auth->refreshToken());
    EXPECT_EQ(loaded->userEmail(), "owner@example.com");
    EXPECT_EQ(loaded->serviceProvider(), "Google");
    EXPECT_EQ(loaded->tokenURL()->absoluteString(), provider.tokenURL());
    auto request = std::make_shared<URLRequest>(provider.server().url("/m8/feeds/contacts/default/full"));
    std::optional<std::optional<Error>> signed_;
    loaded->authorizeRequest(request, [&](const std::shared_ptr<URLRequest>&, const std::optional<Error>& e) { signed_ = e; });
    ASSERT_TRUE(pumpUntil([&] { return signed_.has_value(); }));
    EXPECT_FALSE(*signed_);
    EXPECT_TRUE(loaded->isAuthorizedRequest(*request));

    // Gone once the sign-in ended: the display let itself go.
    ASSERT_TRUE(pumpUntil([&] { return weak.expired(); }));
}

TEST_F(QNOAuth2WindowControllerTest, DelegateFormReportsOnceWithTheController) {
    auto controller = makeController(std::nullopt);
    auto delegate = std::make_shared<int>(7);
    std::weak_ptr<int> weakDelegate = delegate;
    std::vector<std::shared_ptr<QNOAuth2WindowController>> reported;
    controller->signInSheetModalForWindow(
        nullptr, delegate,
        [&](const std::shared_ptr<QNOAuth2WindowController>& c, const std::shared_ptr<QNOAuth2Authentication>&,
            const std::optional<Error>& error) {
            reported.push_back(c);
            EXPECT_FALSE(error);
        });
    delegate.reset();
    EXPECT_FALSE(weakDelegate.expired());  // kept until the end
    EXPECT_TRUE(controller->keychainCheckboxHidden() || !controller->isWindowShown());
    ASSERT_TRUE(pumpUntil([&] { return !reported.empty(); }));
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], controller);
    reported.clear();
    EXPECT_TRUE(weakDelegate.expired());
    EXPECT_TRUE(controller->keychainCheckboxHidden());  // no item name: no check box
    EXPECT_FALSE(storedRecord());                        // and no record
    controller->closeWindow();                           // a close after the end reaches nobody
    EXPECT_TRUE(reported.empty());
}

TEST_F(QNOAuth2WindowControllerTest, UserClosingThePageGetsMinus1000AndTheRecordIsKept) {
    // An earlier sign-in's record stays untouched by a failed one.
    auto earlier = QNOAuth2Authentication::authenticationWithServiceProvider("Google", QNOAuth2SignIn::googleTokenURL(),
                                                                             redirectURI(), "id", "secret");
    earlier->setRefreshToken("earlier-refresh");
    ASSERT_TRUE(QNOAuth2WindowController::saveAuthToKeychainForName(kItem, earlier));

    provider.server().hold("/o/oauth2/v2/auth");
    auto controller = makeController();
    start(controller);
    ASSERT_TRUE(pumpUntil([&] { return provider.server().waitForHeld("/o/oauth2/v2/auth", 1, 0); }));
    EXPECT_TRUE(controller->isWindowShown());
    controller->windowWillClose();
    ASSERT_EQ(outcomes.size(), 1u);
    ASSERT_TRUE(outcomes[0].error);
    EXPECT_EQ(outcomes[0].error->domain, "com.quorvane.QNOAuth2");
    EXPECT_EQ(outcomes[0].error->code, -1000);
    EXPECT_FALSE(controller->isWindowShown());
    controller->closeWindow();
    controller->windowWillClose();
    EXPECT_EQ(outcomes.size(), 1u);
    provider.server().release("/o/oauth2/v2/auth");
    EXPECT_EQ(provider.tokenRequests(), 0u);
    auto record = storedRecord();
    ASSERT_TRUE(record);
    EXPECT_NE(record->find("earlier-refresh"), std::string::npos);

    // The close button does the same, and a page not yet asked for is never asked for.
    outcomes.clear();
    auto second = makeController();
    start(second);
    second->closeWindow();
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].error->code, -1000);
    outcomes.clear();
    auto third = makeController();
    start(third);
    ASSERT_TRUE(pumpUntil([&] { return !outcomes.empty(); }));
    EXPECT_FALSE(outcomes[0].error);
    EXPECT_EQ(provider.server().requestCount("/o/oauth2/v2/auth"), 2u);  // the first and the third
}

TEST_F(QNOAuth2WindowControllerTest, BrowserSignInComesBackThroughTheLoopbackListener) {
    auto controller = QNOAuth2WindowController::controllerWithScope("https://www.google.com/m8/feeds/", test::kTestClientID,
                                                                    test::kTestClientSecret, std::string(kItem));
    controller->signIn()->setShouldFetchGoogleUserEmail(true);
    auto browserView = platform::BrowserWebView::make();
    ASSERT_TRUE(browserView);
    // The user's browser: it loads the page and follows the provider's redirect to the listener.
    auto browser = platform::LoadingWebView::make();
    std::vector<std::string> opened;
    browserView->setOpener([&](const URL& url) {
        opened.push_back(url.absoluteString());
        browser->loadRequest(URLRequest(url));
        return true;
    });
    controller->setWebView(browserView);
    start(controller);
    EXPECT_EQ(controller->authentication()->redirectURI(), browserView->redirectURI());
    ASSERT_TRUE(pumpUntil([&] { return !outcomes.empty(); }));
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_FALSE(outcomes[0].error);
    EXPECT_EQ(outcomes[0].auth->userEmail(), "owner@example.com");
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_NE(opened[0].find("&state=" + browserView->state()), std::string::npos);
    // The code was exchanged with the loopback redirect URI it was issued for.
    auto token = provider.server().requests("/oauth2/v4/token");
    ASSERT_EQ(token.size(), 1u);
    EXPECT_NE(token[0].body.find("redirect_uri=" + QNOAuth2Authentication::encodedOAuthValueForString(*browserView->redirectURI())),
              std::string::npos);
    // The browser was told the sign-in goes on in the application.
    ASSERT_TRUE(pumpUntil([&] { return !browser->isLoading(); }));
    EXPECT_NE(browser->mainFrameTitle().find("goes on in the application"), std::string::npos);
    EXPECT_TRUE(storedRecord());
}

TEST_F(QNOAuth2WindowControllerTest, ABrowserThatCannotBeOpenedEndsTheSignInWithAnError) {
    auto controller = makeController();
    auto browserView = platform::BrowserWebView::make();
    ASSERT_TRUE(browserView);
    browserView->setOpener([](const URL&) { return false; });
    controller->setWebView(browserView);
    start(controller);
    ASSERT_TRUE(pumpUntil([&] { return !outcomes.empty(); }));
    ASSERT_EQ(outcomes.size(), 1u);
    ASSERT_TRUE(outcomes[0].error);
    EXPECT_EQ(outcomes[0].error->domain, platform::kURLErrorDomain);
    EXPECT_FALSE(controller->isWindowShown());
    EXPECT_FALSE(storedRecord());
}

TEST_F(QNOAuth2WindowControllerTest, ACodeExchangedWithoutItsVerifierIsRefused) {
    auto controller = makeController();
    start(controller);
    // Whoever intercepted the code lacks the verifier.
    controller->authentication()->setCodeVerifier("intercepted-code-without-the-verifier-000000");
    ASSERT_TRUE(pumpUntil([&] { return !outcomes.empty(); }));
    ASSERT_TRUE(outcomes[0].error);
    EXPECT_EQ(outcomes[0].error->code, 400);
    EXPECT_EQ(provider.verifiedCodeChallenges(), 0u);
    EXPECT_FALSE(storedRecord());
}

TEST_F(QNOAuth2WindowControllerTest, NoLoopbackListenerEndsTheSignInAtOnce) {
    // Only two descriptor numbers stay free: the listener's socket opens, its wake-up pipe
    // cannot, so no listener can be made.
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers need free descriptors of their own";
#endif
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    int highest = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    std::vector<int> fillers;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
        fillers.push_back(fd);
        if (fd >= highest) break;
    }
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(highest + 3);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    auto controller = QNOAuth2WindowController::controllerWithScope("https://www.google.com/m8/feeds/",
                                                                    test::kTestClientID, test::kTestClientSecret, std::string(kItem));
    start(controller);
    setrlimit(RLIMIT_NOFILE, &saved);
    for (int fd : fillers) ::close(fd);
    EXPECT_FALSE(controller->webView());
    ASSERT_TRUE(pumpUntil([&] { return !outcomes.empty(); }, 60));
    ASSERT_EQ(outcomes.size(), 1u);
    ASSERT_TRUE(outcomes[0].error);
    EXPECT_EQ(outcomes[0].error->domain, kQNOAuth2ErrorDomain);
    EXPECT_EQ(outcomes[0].error->code, kQNOAuth2ErrorSignInPageUnavailable);
    EXPECT_EQ(provider.server().requestCount(), 0u);
}

TEST_F(QNOAuth2WindowControllerTest, RefusedCodeExchangeIsReportedAndNeverTouchesTheKeychain) {
    provider.server().on("POST", "/oauth2/v4/token", [](const test::TestRequest&, test::TestResponse& res) {
        res.status = 400;
        res.contentType = "application/json";
        res.body = R"({"error":"invalid_grant","error_description":"Bad Request"})";
    });
    auto earlier = QNOAuth2Authentication::authenticationWithServiceProvider("Google", QNOAuth2SignIn::googleTokenURL(),
                                                                             redirectURI(), "id", "secret");
    earlier->setRefreshToken("earlier-refresh");
    ASSERT_TRUE(QNOAuth2WindowController::saveAuthToKeychainForName(kItem, earlier));
    auto controller = makeController();
    start(controller);
    ASSERT_TRUE(pumpUntil([&] { return !outcomes.empty(); }));
    ASSERT_EQ(outcomes.size(), 1u);
    ASSERT_TRUE(outcomes[0].error);
    EXPECT_EQ(outcomes[0].error->domain, "com.quorvane.HTTPStatus");
    EXPECT_EQ(outcomes[0].error->code, 400);
    EXPECT_EQ(outcomes[0].error->userInfo["json"]["error"].asString(), "invalid_grant");
    EXPECT_TRUE(controller->hasDoneFinalRedirect());
    auto record = storedRecord();
    ASSERT_TRUE(record);
    EXPECT_NE(record->find("earlier-refresh"), std::string::npos);
    EXPECT_TRUE(defaults()->boolForKey("OAuth2: QuorvaneTest"));
}

TEST_F(QNOAuth2WindowControllerTest, CheckBoxOffRemovesAnEarlierRecord) {
    auto earlier = QNOAuth2Authentication::authenticationWithServiceProvider("Google", QNOAuth2SignIn::googleTokenURL(),
                                                                             redirectURI(), "id", "secret");
    earlier->setRefreshToken("earlier-refresh");
    ASSERT_TRUE(QNOAuth2WindowController::saveAuthToKeychainForName(kItem, earlier));
    auto controller = makeController();
    controller->setKeychainCheckboxState(false);
    start(controller);
    ASSERT_TRUE(pumpUntil([&] { return !outcomes.empty(); }));
    EXPECT_FALSE(outcomes[0].error);
    EXPECT_FALSE(storedRecord());
    EXPECT_FALSE(defaults()->objectForKey("OAuth2: QuorvaneTest"));
}

TEST_F(QNOAuth2WindowControllerTest, KeychainRecordSaveLoadAndRemove) {
    auto auth = QNOAuth2Authentication::authenticationWithServiceProvider("Google", QNOAuth2SignIn::googleTokenURL(),
                                                                          "urn:ietf:wg:oauth:2.0:oob", "id", "secret");
    EXPECT_EQ(QNOAuth2WindowController::prefsKeyForName("Quorvane"), "OAuth2: Quorvane");

    // Nothing to store: no record, no flag.
    EXPECT_FALSE(QNOAuth2WindowController::saveAuthToKeychainForName(kItem, auth));
    EXPECT_FALSE(storedRecord());
    EXPECT_FALSE(defaults()->objectForKey("OAuth2: QuorvaneTest"));

    // Only an access token: it is what is stored.
    auth->setAccessToken("only-access");
    ASSERT_TRUE(QNOAuth2WindowController::saveAuthToKeychainForName(kItem, auth));
    EXPECT_EQ(storedRecord(), "access_token=only-access&serviceProvider=Google");

    // With a refresh token the access token is never stored.
    auth->setRefreshToken("refresh/1");
    auth->setUserEmail("a@b.c");
    auth->setUserEmailIsVerified("1");
    auth->setUserID("9");
    auth->setScope("s1 s2");
    auth->setCode("code-is-not-kept");
    ASSERT_TRUE(QNOAuth2WindowController::saveAuthToKeychainForName(kItem, auth));
    EXPECT_EQ(storedRecord(),
              "email=a%40b.c&isVerified=1&refresh_token=refresh%2F1&scope=s1%20s2&serviceProvider=Google&userID=9");

    auto loaded = QNOAuth2Authentication::authenticationWithServiceProvider(std::nullopt, std::nullopt, std::nullopt,
                                                                            "id", "secret");
    loaded->setAccessToken("stale");
    ASSERT_TRUE(QNOAuth2WindowController::authorizeFromKeychainForName(kItem, loaded));
    EXPECT_FALSE(loaded->accessToken());
    EXPECT_EQ(loaded->refreshToken(), "refresh/1");
    EXPECT_EQ(loaded->userEmail(), "a@b.c");
    EXPECT_EQ(loaded->userEmailIsVerified(), "1");
    EXPECT_EQ(loaded->userID(), "9");
    EXPECT_EQ(loaded->scope(), "s1 s2");
    EXPECT_EQ(loaded->serviceProvider(), "Google");
    EXPECT_FALSE(loaded->code());

    // Without the user-defaults flag the item is not read, though it exists.
    defaults()->removeObjectForKey("OAuth2: QuorvaneTest");
    auto again = QNOAuth2WindowController::authForGoogleFromKeychainForName(kItem, "id", "secret");
    EXPECT_FALSE(again->canAuthorize());
    EXPECT_TRUE(storedRecord());

    // Removing: the item and the flag go; a second removal finds nothing and answers YES.
    defaults()->setObject(Value(true), "OAuth2: QuorvaneTest");
    EXPECT_TRUE(QNOAuth2WindowController::removeAuthFromKeychainForName(kItem));
    EXPECT_FALSE(storedRecord());
    EXPECT_FALSE(defaults()->objectForKey("OAuth2: QuorvaneTest"));
    defaults()->setObject(Value(true), "OAuth2: QuorvaneTest");
    EXPECT_TRUE(QNOAuth2WindowController::removeAuthFromKeychainForName(kItem));
    EXPECT_TRUE(defaults()->boolForKey("OAuth2: QuorvaneTest"));  // no item: the flag is left as it is
    EXPECT_FALSE(QNOAuth2WindowController::authorizeFromKeychainForName(kItem, loaded));  // flag but no item

    // A record that is not text is not loaded.
    ASSERT_EQ(platform::Keychain::defaultKeychain()->addGenericPassword(kItem, "OAuth", Bytes{0xFF, 0xFE}),
              platform::KeychainStatus::Success);
    EXPECT_FALSE(QNOAuth2WindowController::authorizeFromKeychainForName(kItem, loaded));
    EXPECT_TRUE(QNOAuth2WindowController::removeAuthFromKeychainForName(kItem));
}

TEST_F(QNOAuth2WindowControllerTest, RevocationThroughTheControllerHitsTheRevokeEndpoint) {
    auto tokens = provider.issueTokens();
    auto auth = QNOAuth2SignIn::standardGoogleAuthenticationForScope("s", test::kTestClientID, test::kTestClientSecret);
    auth->setRefreshToken(tokens.refreshToken);
    QNOAuth2WindowController::revokeTokenForGoogleAuthentication(auth);
    EXPECT_FALSE(auth->canAuthorize());
    ASSERT_TRUE(pumpUntil([&] { return provider.server().requestCount("/o/oauth2/revoke") >= 1; }));
    EXPECT_EQ(provider.server().requests("/o/oauth2/revoke")[0].body,
              "token=" + QNOAuth2Authentication::encodedOAuthValueForString(tokens.refreshToken));
}

TEST_F(QNOAuth2WindowControllerTest, PagesKeepTheirCookiesToThemselvesUnlessTheUserPersists) {
    // The provider's page sets a login cookie on the way and checks it on the next page.
    std::vector<std::optional<std::string>> cookieHeaders;
    provider.server().on("GET", "/o/oauth2/v2/auth", [&](const test::TestRequest& req, test::TestResponse& res) {
        res.status = 302;
        res.setHeader("Set-Cookie", "SID=login-1; Path=/; Secure");
        res.setHeader("Location", provider.server().baseURL() + "/o/oauth2/approve?" + req.query);
    });
    provider.server().on("GET", "/o/oauth2/approve", [&](const test::TestRequest& req, test::TestResponse& res) {
        cookieHeaders.push_back(req.header("Cookie"));
        std::string code = provider.issueAuthorizationCode();
        res.status = 302;
        res.setHeader("Location", redirectURI() + "?code=" + code);
    });
    auto controller = makeController();
    start(controller);
    ASSERT_TRUE(pumpUntil([&] { return !outcomes.empty(); }));
    EXPECT_FALSE(outcomes[0].error);
    ASSERT_EQ(cookieHeaders.size(), 1u);
    EXPECT_EQ(cookieHeaders[0], "SID=login-1");
    ASSERT_EQ(controller->cookieStorage()->cookies().size(), 1u);
    auto shared = platform::HTTPCookieStorage::sharedHTTPCookieStorage()->cookiesForURL(provider.server().url("/o/oauth2/approve"));
    EXPECT_FALSE(shared && !shared->empty());

    // A second sign-in starts without the first one's login cookie.
    outcomes.clear();
    auto second = makeController();
    start(second);
    ASSERT_TRUE(pumpUntil([&] { return !outcomes.empty(); }));
    ASSERT_EQ(cookieHeaders.size(), 2u);
    auto pages = provider.server().requests("/o/oauth2/v2/auth");
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_FALSE(pages[1].header("Cookie"));

    // With persistence the shared store keeps the cookie instead.
    outcomes.clear();
    auto persisting = makeController();
    persisting->setShouldPersistUser(true);
    start(persisting);
    ASSERT_TRUE(pumpUntil([&] { return !outcomes.empty(); }));
    EXPECT_TRUE(persisting->cookieStorage()->cookies().empty());
    shared = platform::HTTPCookieStorage::sharedHTTPCookieStorage()->cookiesForURL(provider.server().url("/o/oauth2/approve"));
    ASSERT_TRUE(shared && !shared->empty());
    for (const auto& c : *shared) platform::HTTPCookieStorage::sharedHTTPCookieStorage()->deleteCookie(c);
}

TEST_F(QNOAuth2WindowControllerTest, WrongClockShowsTheWarningInsteadOfThePage) {
    auto controller = makeController();
    auto clock = std::make_shared<platform::ManualClock>(platform::Date::fromUnix(1262304000.0));  // 2010-01-01
    platform::Clock::setCurrent(clock);
    start(controller);
    platform::Clock::setCurrent(nullptr);
    EXPECT_TRUE(controller->keychainCheckboxHidden());
    EXPECT_NE(view->documentText().find("System Clock Incorrect"), std::string::npos);
    EXPECT_NE(view->documentText().find("2010-01-01 00:00:00 +0000"), std::string::npos);
    // Only the user ends it.
    EXPECT_TRUE(outcomes.empty());
    controller->closeWindow();
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].error->code, -1000);
    EXPECT_EQ(provider.server().requestCount("/o/oauth2/v2/auth"), 0u);
}

TEST_F(QNOAuth2WindowControllerTest, CancelReportsNothingAndNewWindowRequestsGoToTheCaller) {
    provider.server().hold("/o/oauth2/v2/auth");
    auto controller = makeController();
    std::vector<std::string> external;
    controller->setExternalRequestSelector([&](const std::shared_ptr<QNOAuth2WindowController>&, const URLRequest& r) {
        external.push_back(r.url()->absoluteString());
    });
    controller->decidePolicyForNewWindowAction(*view, URLRequest(URL::URLWithString("https://example.com/help")));
    EXPECT_EQ(external, std::vector<std::string>{"https://example.com/help"});

    std::weak_ptr<QNOAuth2WindowController> weak = controller;
    start(controller);
    ASSERT_TRUE(pumpUntil([&] { return provider.server().waitForHeld("/o/oauth2/v2/auth", 1, 0); }));
    controller->cancelSigningIn();
    EXPECT_TRUE(controller->hasCalledFinished());
    controller->closeWindow();
    provider.server().release("/o/oauth2/v2/auth");
    controller.reset();
    ASSERT_TRUE(pumpUntil([&] { return weak.expired(); }));
    EXPECT_TRUE(outcomes.empty());

    controller = makeController();
    controller->setProperty(Value("v"), "k");
    EXPECT_EQ(controller->propertyForKey("k").asString(), "v");
    controller->setProperty(Value(), "k");
    EXPECT_TRUE(controller->propertyForKey("k").isNull());
}

}  // namespace
}  // namespace quorvane
