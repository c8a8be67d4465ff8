// Signing in to the provider and out again: the sign-in controller shows the provider's page in
// the page view it is given (the user's browser with a loopback listener by default), stores the
// authorization under the model's keychain item, and hands it back here. The stored item follows
// the signed-in authorization: a refresh that brings a new refresh token (a provider rotating
// them) stores it before the waiting requests go on, and processes sharing the item pick up the
// one another stored when the provider refuses theirs.

#include <chrono>
#include <thread>

#include "oauth2/QNOAuth2SignIn.h"
#include "oauth2/QNOAuth2WindowController.h"
#include "sync/QuorvaneModel.h"
#include "sync/SyncLock.h"
#include "sync/Utils.h"

namespace quorvane {

namespace {
constexpr const char* kSignInLockFileName = "SignIn.lock";
constexpr const char* kLoadingHTML = "<html><body><div align=center>Loading sign-in page...</div></body></html>";
}  // namespace

void QuorvaneModel::signIntoGoogleWithWindow(std::shared_ptr<platform::WebView> window, SignInSucceeded successSelector,
                                             SignInFailed failureSelector) {
    auto controller = QNOAuth2WindowController::controllerWithScope(std::string(kGoogleContactsScope), mClientID,
                                                                    mClientSecret, mKeychainItemName);
    controller->signIn()->setAdditionalAuthorizationParameters(platform::Value::dictionary({{"hl", "en"}}));
    controller->setInitialHTMLString(std::string(kLoadingHTML));
    controller->setShouldPersistUser(true);
    if (window) controller->setWebView(std::move(window));
    mSignInController = controller;
    mSignInSucceeded = std::move(successSelector);
    mSignInFailed = std::move(failureSelector);
    // The controller keeps what it is given until it reports; the model outlives it.
    QuorvaneModel* self = this;
    std::weak_ptr<int> alive = mAliveMarker;
    controller->signInSheetModalForWindow(
        nullptr, mAliveMarker,
        [self, alive](const std::shared_ptr<QNOAuth2WindowController>& c, const std::shared_ptr<QNOAuth2Authentication>& auth,
                      const std::optional<platform::Error>& error) {
            if (alive.lock()) self->windowController(c, auth, error);
        });
}

void QuorvaneModel::cancelSigningIn() {
    if (auto controller = std::move(mSignInController)) controller->cancelSigningIn();
    mSignInSucceeded = nullptr;
    mSignInFailed = nullptr;
}

void QuorvaneModel::windowController(const std::shared_ptr<QNOAuth2WindowController>&,
                                     const std::shared_ptr<QNOAuth2Authentication>& auth,
                                     const std::optional<platform::Error>& error) {
    mSignInController.reset();
    auto succeeded = std::move(mSignInSucceeded);
    auto failed = std::move(mSignInFailed);
    mSignInSucceeded = nullptr;
    mSignInFailed = nullptr;
    std::optional<platform::Error> failure = error;
    if (!failure && !(auth && auth->canAuthorize()))
        failure = platform::Error(kQNOAuth2ErrorDomain, kQNOAuth2ErrorAuthorizationFailed);
    if (!failure && storedRefreshToken() != auth->refreshToken())
        failure = platform::Error::withDescription(kQuorvaneModelErrorDomain, kQuorvaneModelErrorSignInNotSaved,
                                                   "The new sign-in could not be stored; the one before is kept.");
    if (!failure) {
        // Stored: only now does the sign-in before go, revoked at the provider.
        auto previous = std::move(mAuth);
        setGoogleAuthorization(auth);
        mLastRevocation = previous && previous->refreshToken() != auth->refreshToken() ? revokeGoogleAuthorization(previous)
                                                                                        : nullptr;
        setProgressWithString(Utils::localized("SyncProgressWC_LoginSucceeded", "Login Succeeded!"));
        if (succeeded) succeeded();
        return;
    }
    setProgressWithString(Utils::localized("SyncProgressWC_LoginFailed", "Login Failed"));
    appendStringToLog(Utils::localized("SyncProgressWC_LoginToGoogleFailed", "Login to Google failed") + ": " +
                      signInFailureMessage(*failure));
    if (failed) failed(*failure);
}

std::optional<std::string> QuorvaneModel::storedRefreshToken() const {
    return QNOAuth2WindowController::authForGoogleFromKeychainForName(mKeychainItemName, mClientID, mClientSecret)
        ->refreshToken();
}

void QuorvaneModel::setGoogleAuthorization(std::shared_ptr<QNOAuth2Authentication> auth) {
    mRefreshTokenObserver.reset();
    mAuth = std::move(auth);
    if (!mAuth) return;
    // Delivered on the thread that merged the token answer, before the refresh's waiting calls
    // go on; the model itself may be gone by then, so the block holds only what it needs.
    std::weak_ptr<QNOAuth2Authentication> weak = mAuth;
    mRefreshTokenObserver = platform::NotificationCenter::defaultCenter().addObserver(
        kQNOAuth2RefreshTokenChanged, mAuth.get(), nullptr, [weak, name = mKeychainItemName](const platform::Notification&) {
            if (auto auth = weak.lock(); auth && auth->canAuthorize())
                QNOAuth2WindowController::saveAuthToKeychainForName(name, auth);
        });
    mAuth->setRefreshTokenSource([name = mKeychainItemName, id = mClientID, secret = mClientSecret] {
        return QNOAuth2WindowController::authForGoogleFromKeychainForName(name, id, secret)->refreshToken();
    });
    if (mDataFolder.empty()) return;
    // The commands of a profile refresh one at a time (a refresh is quick; one that is not holds
    // the next for a bounded time, after which it goes ahead). The lock is the file's alone: a
    // sync refreshing its token holds the profile's sync lock on the folder already.
    mAuth->setRefreshLock([file = mDataFolder / kSignInLockFileName]() -> std::function<void()> {
        constexpr double kLockWaitSeconds = 10;
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(kLockWaitSeconds);
        for (;;) {
            auto lock = SyncLock::tryAcquire(file, SyncLock::Scope::FileOnly);
            if (!lock) return nullptr;
            if (*lock) return [held = std::shared_ptr<SyncLock>(std::move(*lock))] {};
            if (std::chrono::steady_clock::now() >= until) return nullptr;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
}

std::string QuorvaneModel::signInFailureMessage(const platform::Error& error) {
    if (const platform::Value* data = error.userInfo.find("data"); data && data->isBytes()) {
        const auto& bytes = data->asBytes();
        std::string text(bytes.begin(), bytes.end());
        if (!text.empty() && platform::isValidUTF8(text)) return text;
    }
    if (const platform::Value* word = error.userInfo.find("error"); word && word->isString() && !word->asString().empty())
        return word->asString();
    return error.localizedDescription();
}

std::shared_ptr<QuorvaneModel::GoogleRevocation> QuorvaneModel::revokeGoogleAuthorization(
    const std::shared_ptr<QNOAuth2Authentication>& auth) {
    auto revocation = std::make_shared<GoogleRevocation>();
    std::weak_ptr<GoogleRevocation> weak = revocation;
    revocation->fetcher = QNOAuth2SignIn::revokeTokenForGoogleAuthentication(
        auth, [weak](const std::optional<platform::Error>& error) {
            if (auto r = weak.lock()) {
                r->ended = true;
                r->error = error;
            }
        });
    return revocation->fetcher ? revocation : nullptr;
}

std::shared_ptr<QuorvaneModel::GoogleRevocation> QuorvaneModel::signOutFromGoogle() {
    auto auth = mAuth;
    forgetGoogleAuthorization();
    return auth ? revokeGoogleAuthorization(auth) : nullptr;
}

void QuorvaneModel::forgetGoogleAuthorization() {
    QNOAuth2WindowController::removeAuthFromKeychainForName(mKeychainItemName);
    setGoogleAuthorization(nullptr);
}

bool QuorvaneModel::forgetRefusedGoogleAuthorization() {
    auto auth = mAuth;
    std::optional<std::string> refused = auth ? auth->refreshToken() : std::nullopt;
    bool forgotten = !refused || refused->empty() ||
                     QNOAuth2WindowController::removeAuthFromKeychainForName(mKeychainItemName, *refused) ||
                     storedRefreshToken() == std::nullopt;
    setGoogleAuthorization(nullptr);
    // A newer sign-in another process stored is of the same grant: revoking would end it too.
    if (auth && forgotten) (void)revokeGoogleAuthorization(auth);
    return forgotten;
}

}  // namespace quorvane
