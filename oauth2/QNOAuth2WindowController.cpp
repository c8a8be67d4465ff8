#include "oauth2/QNOAuth2WindowController.h"

#include <ctime>

#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"
#include "platform/net/HTTPCookie.h"
#include "platform/runloop/RunLoop.h"
#include "platform/store/Keychain.h"
#include "platform/store/UserDefaults.h"
#include "platform/web/BrowserWebView.h"

namespace quorvane {

using platform::Bytes;
using platform::Error;
using platform::KeychainStatus;
using platform::URL;
using platform::URLRequest;
using platform::Value;

namespace {
constexpr const char* kLogCategory = "QNOAuth2WindowController";
// 2011-01-01 00:00 UTC: a clock before it cannot be right, and the provider's pages would fail.
constexpr double kEarliestPlausibleTime1970 = 1293840000.0;
}  // namespace

// --- making ---

std::shared_ptr<QNOAuth2WindowController> QNOAuth2WindowController::controllerWithScope(
    std::optional<std::string> scope, std::optional<std::string> clientID, std::optional<std::string> clientSecret,
    std::optional<std::string> keychainItemName) {
    auto auth = QNOAuth2SignIn::standardGoogleAuthenticationForScope(std::move(scope), std::move(clientID),
                                                                     std::move(clientSecret));
    return controllerWithAuthentication(std::move(auth), QNOAuth2SignIn::googleAuthorizationURL(),
                                        std::move(keychainItemName));
}

std::shared_ptr<QNOAuth2WindowController> QNOAuth2WindowController::controllerWithAuthentication(
    std::shared_ptr<QNOAuth2Authentication> auth, std::optional<URL> authorizationURL,
    std::optional<std::string> keychainItemName) {
    auto controller = std::make_shared<QNOAuth2WindowController>(Token{});
    controller->initWithAuthentication(std::move(auth), std::move(authorizationURL), std::move(keychainItemName));
    return controller;
}

void QNOAuth2WindowController::initWithAuthentication(std::shared_ptr<QNOAuth2Authentication> auth,
                                                      std::optional<URL> authorizationURL,
                                                      std::optional<std::string> keychainItemName) {
    std::weak_ptr<QNOAuth2WindowController> weak = weak_from_this();
    // The sign-in keeps the controller alive only while it runs (from the start on), so that a
    // controller that is never started is simply let go.
    signIn_ = std::make_shared<QNOAuth2SignIn>(
        std::move(auth), std::move(authorizationURL), nullptr,
        [weak](const std::shared_ptr<QNOAuth2SignIn>& signIn, const std::optional<URLRequest>& request) {
            if (auto self = weak.lock()) self->signInDisplayRequest(signIn, request);
        },
        [weak](const std::shared_ptr<QNOAuth2SignIn>& signIn, const std::shared_ptr<QNOAuth2Authentication>& a,
               const std::optional<Error>& error) {
            if (auto self = weak.lock()) self->signInFinished(signIn, a, error);
        });
    keychainItemName_ = std::move(keychainItemName);
    cookieStorage_ = std::make_shared<QNSessionCookieStorage>();
}

QNOAuth2WindowController::~QNOAuth2WindowController() {
    if (webView_) webView_->setDelegate({});
}

// --- the keychain record ---

void QNOAuth2WindowController::revokeTokenForGoogleAuthentication(const std::shared_ptr<QNOAuth2Authentication>& auth) {
    QNOAuth2SignIn::revokeTokenForGoogleAuthentication(auth);
}

std::string QNOAuth2WindowController::prefsKeyForName(const std::string& name) { return "OAuth2: " + name; }

bool QNOAuth2WindowController::saveAuthToKeychainForName(const std::string& name,
                                                         const std::shared_ptr<QNOAuth2Authentication>& auth) {
    if (!auth || !auth->canAuthorize()) {
        removeAuthFromKeychainForName(name);
        return false;
    }
    std::string text = auth->persistenceResponseString();
    // The new record replaces the old one in one step: a failed write keeps the old sign-in.
    KeychainStatus status = platform::Keychain::defaultKeychain()->setGenericPassword(
        name, kQNOAuth2KeychainAccountName, Bytes(text.begin(), text.end()));
    if (status != KeychainStatus::Success) {
        platform::Log::warning(kLogCategory, "cannot store the authorization \"" + name + "\": status " +
                                                 std::to_string(int(status)));
        return false;
    }
    platform::UserDefaults::standardUserDefaults()->setObject(Value(true), prefsKeyForName(name));
    return true;
}

bool QNOAuth2WindowController::removeAuthFromKeychainForName(const std::string& name) {
    auto keychain = platform::Keychain::defaultKeychain();
    KeychainStatus found = keychain->findGenericPassword(name, kQNOAuth2KeychainAccountName);
    // Without an item there is nothing to remove; the user-defaults flag is left as it is.
    if (found != KeychainStatus::Success && found != KeychainStatus::Decode) return true;
    KeychainStatus deleted = keychain->deleteGenericPassword(name, kQNOAuth2KeychainAccountName);
    platform::UserDefaults::standardUserDefaults()->removeObjectForKey(prefsKeyForName(name));
    return deleted == KeychainStatus::Success;
}

namespace {
// The test of a conditional removal or replacement: the record holds this refresh token.
std::function<bool(const Bytes&)> holdsRefreshToken(const std::string& refreshToken) {
    return [&refreshToken](const Bytes& data) {
        auto stored = QNOAuth2Authentication::dictionaryWithResponseString(std::string(data.begin(), data.end()));
        const Value* token = stored ? stored->find("refresh_token") : nullptr;
        return token && token->isString() && token->asString() == refreshToken;
    };
}
}  // namespace

bool QNOAuth2WindowController::removeAuthFromKeychainForName(const std::string& name, const std::string& refreshToken) {
    KeychainStatus deleted = platform::Keychain::defaultKeychain()->deleteGenericPassword(
        name, kQNOAuth2KeychainAccountName, holdsRefreshToken(refreshToken));
    if (deleted != KeychainStatus::Success) return false;
    platform::UserDefaults::standardUserDefaults()->removeObjectForKey(prefsKeyForName(name));
    return true;
}

bool QNOAuth2WindowController::replaceAuthInKeychainForName(const std::string& name,
                                                            const std::shared_ptr<QNOAuth2Authentication>& auth,
                                                            const std::string& refreshToken) {
    if (!auth || !auth->canAuthorize()) return false;
    std::string text = auth->persistenceResponseString();
    KeychainStatus status = platform::Keychain::defaultKeychain()->setGenericPassword(
        name, kQNOAuth2KeychainAccountName, Bytes(text.begin(), text.end()), holdsRefreshToken(refreshToken));
    if (status == KeychainStatus::ItemNotFound) return false;
    if (status != KeychainStatus::Success)
        platform::Log::warning(kLogCategory, "cannot store the authorization \"" + name + "\": status " +
                                                 std::to_string(int(status)));
    return true;
}

bool QNOAuth2WindowController::authorizeFromKeychainForName(const std::string& name,
                                                            const std::shared_ptr<QNOAuth2Authentication>& auth) {
    if (!auth) return false;
    auth->setAccessToken(std::nullopt);
    if (!platform::UserDefaults::standardUserDefaults()->boolForKey(prefsKeyForName(name))) return false;
    Bytes data;
    if (platform::Keychain::defaultKeychain()->findGenericPassword(name, kQNOAuth2KeychainAccountName, &data) !=
            KeychainStatus::Success ||
        data.empty())
        return false;
    std::string text(data.begin(), data.end());
    if (!platform::isValidUTF8(text)) return false;
    auth->setKeysForPersistenceResponseString(text);
    return true;
}

std::shared_ptr<QNOAuth2Authentication> QNOAuth2WindowController::authForGoogleFromKeychainForName(
    const std::string& name, std::optional<std::string> clientID, std::optional<std::string> clientSecret) {
    auto auth = QNOAuth2Authentication::authenticationWithServiceProvider(
        kQNOAuth2ServiceProviderGoogle, QNOAuth2SignIn::googleTokenURL(), QNOAuth2SignIn::nativeClientRedirectURI(),
        std::move(clientID), std::move(clientSecret));
    authorizeFromKeychainForName(name, auth);
    return auth;
}

// --- running ---

void QNOAuth2WindowController::signInSheetModalForWindow(std::shared_ptr<void> window, std::shared_ptr<void> delegate,
                                                         FinishedCallback finishedSelector) {
    delegate_ = std::move(delegate);
    finishedSelector_ = std::move(finishedSelector);
    signInCommonForWindow(std::move(window));
}

void QNOAuth2WindowController::signInSheetModalForWindow(std::shared_ptr<void> window, CompletionHandler handler) {
    completionBlock_ = std::move(handler);
    signInCommonForWindow(std::move(window));
}

void QNOAuth2WindowController::signInCommonForWindow(std::shared_ptr<void> window) {
    sheetModalForWindow_ = std::move(window);
    hasDoneFinalRedirect_ = false;
    hasCalledFinished_ = false;
    if (!webView_) {
        webView_ = platform::BrowserWebView::make();
        if (!webView_) {
            // Nothing could receive the provider's answer: the sign-in ends now rather than
            // waiting for a page nobody can show.
            platform::Log::error(kLogCategory, "no page view: cannot listen on 127.0.0.1");
            signIn_->setDelegate(shared_from_this());
            std::weak_ptr<QNOAuth2SignIn> weak = signIn_;
            platform::RunLoop::main()->post([weak] {
                if (auto signIn = weak.lock())
                    signIn->invokeFinalCallbackWithError(Error(kQNOAuth2ErrorDomain, kQNOAuth2ErrorSignInPageUnavailable));
            });
            return;
        }
    }
    // A page view that receives the provider's answer itself names the redirect URI.
    if (webView_)
        if (auto uri = webView_->redirectURI(); uri && authentication()) authentication()->setRedirectURI(*uri);
    signIn_->setDelegate(shared_from_this());
    signIn_->startSigningIn();
}

void QNOAuth2WindowController::cancelSigningIn() {
    hasCalledFinished_ = true;
    delegate_.reset();
    finishedSelector_ = nullptr;
    completionBlock_ = nullptr;
    signIn_->cancelSigningIn();
    hasDoneFinalRedirect_ = true;
}

void QNOAuth2WindowController::closeWindow() {
    auto self = shared_from_this();
    destroyWindow();
    handlePrematureWindowClose();
}

void QNOAuth2WindowController::windowWillClose() {
    auto self = shared_from_this();
    if (windowShown_) handlePrematureWindowClose();
    windowShown_ = false;
}

void QNOAuth2WindowController::handlePrematureWindowClose() {
    if (!hasDoneFinalRedirect_) {
        signIn_->windowWasClosed();
        hasDoneFinalRedirect_ = true;
    }
}

void QNOAuth2WindowController::destroyWindow() {
    if (auto view = webView_) {
        std::weak_ptr<platform::WebView> weak = view;
        platform::RunLoop::main()->post([weak] {
            if (auto v = weak.lock()) v->stopLoading();
        });
    }
    sheetModalForWindow_.reset();
    windowShown_ = false;
}

// --- display ---

void QNOAuth2WindowController::signInDisplayRequest(const std::shared_ptr<QNOAuth2SignIn>&,
                                                    const std::optional<URLRequest>& request) {
    if (!request) {
        destroyWindow();
        return;
    }
    initialRequest_ = request;
    if (!windowLoaded_) windowDidLoad();
    windowShown_ = true;
}

std::string QNOAuth2WindowController::clockWarningHTML(platform::Date now) {
    std::time_t t = std::time_t(now.timeIntervalSince1970());
    std::tm tm{};
    gmtime_r(&t, &tm);
    char date[64];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S +0000", &tm);
    return std::string("<html><body><div align=center><font size='7'>&#x231A; ?<br><i>System Clock Incorrect</i><br>") +
           date + "</font></div></body></html>";
}

void QNOAuth2WindowController::windowDidLoad() {
    windowLoaded_ = true;
    if (!webView_) return;
    webView_->setDelegate(weak_from_this());
    if (initialHTMLString_ && !initialHTMLString_->empty()) webView_->loadHTMLString(*initialHTMLString_, std::nullopt);

    platform::Date now = platform::Date::now();
    if (now.timeIntervalSince1970() > kEarliestPlausibleTime1970) {
        std::weak_ptr<QNOAuth2WindowController> weak = weak_from_this();
        platform::Timer::scheduled(
            0.01, false,
            [weak](platform::Timer&) {
                auto self = weak.lock();
                // Closed or cancelled within the delay: the page is no longer wanted.
                if (!self || !self->windowShown_ || self->hasDoneFinalRedirect_ || !self->initialRequest_ || !self->webView_)
                    return;
                self->webView_->loadRequest(*self->initialRequest_);
            },
            platform::RunLoop::main());
        keychainCheckboxHidden_ = !shouldUseKeychain();
    } else {
        platform::Log::warning(kLogCategory, "the system clock is before 2011: the sign-in page is not loaded");
        webView_->loadHTMLString(clockWarningHTML(now), std::nullopt);
        keychainCheckboxHidden_ = true;
    }
}

// --- the end ---

void QNOAuth2WindowController::signInFinished(const std::shared_ptr<QNOAuth2SignIn>&,
                                              const std::shared_ptr<QNOAuth2Authentication>& auth,
                                              const std::optional<Error>& error) {
    if (hasCalledFinished_) return;
    hasCalledFinished_ = true;
    auto self = shared_from_this();

    if (!error && shouldUseKeychain()) {
        if (auth && auth->canAuthorize() && keychainCheckboxState_) saveAuthToKeychainForName(*keychainItemName_, auth);
        else removeAuthFromKeychainForName(*keychainItemName_);
    }
    auto delegate = std::move(delegate_);
    auto finished = std::move(finishedSelector_);
    auto completion = std::move(completionBlock_);
    delegate_.reset();
    finishedSelector_ = nullptr;
    completionBlock_ = nullptr;
    if (finished) finished(self, auth, error);
    if (completion) completion(auth, error);
}

// --- page view traffic ---

std::optional<URLRequest> QNOAuth2WindowController::willSendRequest(
    platform::WebView&, const URLRequest& request, const std::shared_ptr<const platform::URLResponse>& redirectResponse) {
    auto self = shared_from_this();
    URLRequest toSend = request;
    if (!shouldPersistUser_) {
        handleCookiesForResponse(redirectResponse);
        toSend = addCookiesToRequest(request);
    }
    if (hasDoneFinalRedirect_) return toSend;
    hasDoneFinalRedirect_ = signIn_->requestRedirectedToRequest(toSend);
    if (hasDoneFinalRedirect_) return std::nullopt;
    return toSend;
}

void QNOAuth2WindowController::didReceiveResponse(platform::WebView&,
                                                  const std::shared_ptr<const platform::URLResponse>& response) {
    if (!shouldPersistUser_) handleCookiesForResponse(response);
}

void QNOAuth2WindowController::didFinishLoading(platform::WebView& view) {
    auto self = shared_from_this();
    std::string title = view.mainFrameTitle();
    if (!title.empty()) signIn_->titleChanged(title);
    signIn_->cookiesChanged(cookieStorage_);
}

void QNOAuth2WindowController::didFailLoadingWithError(platform::WebView&, const Error& error) {
    auto self = shared_from_this();
    signIn_->loadFailedWithError(error);
}

void QNOAuth2WindowController::decidePolicyForNewWindowAction(platform::WebView&, const URLRequest& request) {
    if (auto external = externalRequestSelector_) {
        external(shared_from_this(), request);
        return;
    }
    if (request.url()) platform::openURLInDefaultBrowser(*request.url());
}

void QNOAuth2WindowController::handleCookiesForResponse(const std::shared_ptr<const platform::URLResponse>& response) {
    auto http = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(response);
    if (!http || !http->url() || http->allHeaderFields().empty()) return;
    for (const auto& cookie : platform::HTTPCookie::cookiesWithSetCookieLines(http->setCookieLines(), *http->url()))
        cookieStorage_->setCookie(cookie);
}

URLRequest QNOAuth2WindowController::addCookiesToRequest(const URLRequest& request) {
    URLRequest copy = request;
    copy.setHTTPShouldHandleCookies(false);
    if (copy.url())
        if (auto cookies = cookieStorage_->cookiesForURL(*copy.url()); cookies && !cookies->empty()) {
            auto fields = platform::HTTPCookie::requestHeaderFieldsWithCookies(*cookies);
            copy.setValue(fields.valueForHTTPHeaderField("Cookie"), "Cookie");
        }
    return copy;
}

// --- properties ---

void QNOAuth2WindowController::setProperty(Value value, const std::string& key) {
    if (value.isNull()) {
        if (properties_.isDictionary()) properties_.remove(key);
        return;
    }
    if (!properties_.isDictionary()) properties_ = Value::dictionary();
    properties_.set(key, std::move(value));
}

Value QNOAuth2WindowController::propertyForKey(const std::string& key) const { return properties_[key]; }

}  // namespace quorvane
