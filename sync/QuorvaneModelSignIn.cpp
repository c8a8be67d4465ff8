// Signing in to the provider and out again: the sign-in controller shows the provider's page in
// the page view it is given (the user's browser with a loopback listener by default) and hands
// the authorization back here, where it is stored under the model's keychain item. The stored
// item follows the signed-in authorization: a refresh that brings a new refresh token (a provider
// rotating them) stores it before the waiting requests go on, but only over the sign-in it
// refreshed; processes sharing the item pick up the one another stored. Refreshes, sign-ins and
// sign-outs of a profile change the item one at a time, under the profile's sign-in lock.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "oauth2/QNOAuth2SignIn.h"
#include "oauth2/QNOAuth2WindowController.h"
#include "sync/QuorvaneModel.h"
#include "sync/SyncLock.h"
#include "platform/store/UserDefaults.h"
#include "sync/Utils.h"

namespace quorvane {

namespace {
constexpr const char* kLoadingHTML = "<html><body><div align=center>Loading sign-in page...</div></body></html>";

// What the keychain item holds now (an authentication without tokens when it holds nothing).
std::shared_ptr<QNOAuth2Authentication> storedAuthorization(const std::string& name, const std::string& clientID,
                                                            const std::string& clientSecret) {
    return QNOAuth2WindowController::authForGoogleFromKeychainForName(name, clientID, clientSecret);
}

// One try at the sign-in lock: what lets it go, nullptr while another holds it, an error when
// the lock file cannot be opened. It is a lock of the file and its folder, as the sync lock is
// (removing the file while it is held lets nobody in), in a folder of its own: a sync holding
// the sync lock on the profile's folder takes it to refresh.
platform::Result<std::shared_ptr<void>> tryTakeSignInLock(const std::filesystem::path& file) {
    auto lock = SyncLock::tryAcquire(file);
    if (!lock) return lock.error();
    return std::shared_ptr<void>(std::shared_ptr<SyncLock>(std::move(*lock)));
}
}  // namespace

void QuorvaneModel::signIntoGoogleWithWindow(std::shared_ptr<platform::WebView> window, SignInSucceeded successSelector,
                                             SignInFailed failureSelector) {
    // The controller is given no keychain item: the new sign-in is stored here, under the
    // profile's sign-in lock, in place of whatever is stored by then.
    auto controller = QNOAuth2WindowController::controllerWithScope(std::string(kGoogleContactsScope), mClientID,
                                                                    mClientSecret, std::nullopt);
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
    std::shared_ptr<QNOAuth2Authentication> previous;
    if (!failure) {
        // Stored while no refresh of another command runs: the sign-in it replaces is the one
        // stored now (a refresh may have replaced the one this command read at its start), and
        // a refresh running meanwhile stores nothing over it.
        auto held = waitForSignInLock();
        // Whenever it was stored: another sign-in may have stored one since this command read
        // its settings (where the item's flag is).
        platform::UserDefaults::standardUserDefaults()->reload();
        previous = storedAuthorization(mKeychainItemName, mClientID, mClientSecret);
        if (!QNOAuth2WindowController::saveAuthToKeychainForName(mKeychainItemName, auth) ||
            storedRefreshToken() != auth->refreshToken())
            failure = platform::Error::withDescription(kQuorvaneModelErrorDomain, kQuorvaneModelErrorSignInNotSaved,
                                                       "The new sign-in could not be stored; the one before is kept.");
    }
    if (!failure) {
        // Stored: only now does the sign-in before go. One of another account is revoked at the
        // provider; one of the same account is only forgotten: a provider may hold one
        // authorization per account and client, which revoking any of its tokens ends whole,
        // the new sign-in's tokens included.
        setGoogleAuthorization(auth);
        mLastRevocation = previous->canAuthorize() && previous->refreshToken() != auth->refreshToken() &&
                                  !previous->sameAccount(auth->signIn())
                              ? revokeGoogleAuthorization(previous)
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
    return storedAuthorization(mKeychainItemName, mClientID, mClientSecret)->refreshToken();
}

void QuorvaneModel::sayWaitingForSignInLock(double seconds) {
    char bound[32];
    std::snprintf(bound, sizeof bound, "%g", seconds);
    setProgressWithString("Another quorvane command of this profile is refreshing or changing the sign-in; waiting up to " +
                          std::string(bound) + " s for it to end");
}

double QuorvaneModel::signInLockWait() const {
    return mSignInLockWait.value_or((mAuth ? mAuth->refreshDeadline() : kQNOAuth2RefreshDeadline) +
                                    kQNOAuth2RefreshLockMargin);
}

std::filesystem::path QuorvaneModel::signInLockPath(const std::filesystem::path& dataFolder) {
    return dataFolder / "SignIn" / "SignIn.lock";
}

std::shared_ptr<void> QuorvaneModel::waitForSignInLock() {
    if (mDataFolder.empty()) return nullptr;
    const auto file = signInLockPath(mDataFolder);
    const double bound = signInLockWait();
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(bound);
    for (bool said = false;; said = true) {
        auto lock = tryTakeSignInLock(file);
        if (!lock) return nullptr;
        if (*lock) return std::move(*lock);
        if (std::chrono::steady_clock::now() >= until) return nullptr;
        if (!said) sayWaitingForSignInLock(bound);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void QuorvaneModel::setGoogleAuthorization(std::shared_ptr<QNOAuth2Authentication> auth) {
    mAuth = std::move(auth);
    if (!mAuth) return;
    if (!mSignInSelf) mSignInSelf = std::make_shared<QuorvaneModel*>(this);
    const std::string name = mKeychainItemName, id = mClientID, secret = mClientSecret;
    mAuth->setRefreshTokenSource([name, id, secret] {
        auto stored = storedAuthorization(name, id, secret);
        QNOAuth2Authentication::StoredSignIn signIn(stored->refreshToken());
        signIn.userID = stored->userID();
        signIn.email = stored->userEmail();
        return signIn;
    });
    // A refresh's answer is stored only over the sign-in it refreshed: a sign-out or a new
    // sign-in made meanwhile stays, and a refresh token the answer brought is revoked, so that
    // no grant stays live with nothing referring to it; but not while a sign-in of the same
    // account is stored, whose authorization revoking it could end too.
    mAuth->setRefreshStore([name, id, secret](const std::shared_ptr<QNOAuth2Authentication>& refreshed,
                                              const std::string& presented) {
        if (refreshed->refreshToken() == presented) return storedAuthorization(name, id, secret)->refreshToken() == presented;
        if (QNOAuth2WindowController::replaceAuthInKeychainForName(name, refreshed, presented)) return true;
        if (auto stored = storedAuthorization(name, id, secret);
            stored->canAuthorize() && refreshed->sameAccount(stored->signIn()))
            return false;
        auto dropped = QNOAuth2Authentication::authenticationWithServiceProvider(
            refreshed->serviceProvider(), refreshed->tokenURL(), refreshed->redirectURI(), refreshed->clientID(),
            refreshed->clientSecret());
        dropped->setRefreshToken(refreshed->refreshToken());
        QNOAuth2SignIn::revokeTokenForGoogleAuthentication(dropped);
        return false;
    });
    if (mDataFolder.empty()) return;
    // The commands of a profile refresh one at a time, and not while one signs in or out. A lock
    // that cannot be taken (something else in its place) sends no refresh.
    std::weak_ptr<QuorvaneModel*> model = mSignInSelf;
    mAuth->setRefreshLock(
        [file = signInLockPath(mDataFolder)]() {
            using Try = QNOAuth2Authentication::RefreshLockTry;
            auto lock = tryTakeSignInLock(file);
            if (!lock) return Try{Try::State::Unavailable, nullptr, lock.error()};
            if (!*lock) return Try{Try::State::Busy, nullptr, std::nullopt};
            return Try{Try::State::Taken, [held = std::move(*lock)] {}, std::nullopt};
        },
        [model](double seconds) {
            if (auto self = model.lock()) (*self)->sayWaitingForSignInLock(seconds);
        },
        mSignInLockWait);
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
    std::shared_ptr<QNOAuth2Authentication> stored;
    {
        // Removed while no refresh of another command runs, so that none stores it again; the
        // token to revoke is the one stored now (a refresh may have replaced the one this command
        // read at its start: presenting that one would be presenting a replaced token).
        auto held = waitForSignInLock();
        stored = storedAuthorization(mKeychainItemName, mClientID, mClientSecret);
        forgetGoogleAuthorization();
    }
    return stored->canAuthorize() ? revokeGoogleAuthorization(stored) : nullptr;
}

void QuorvaneModel::forgetGoogleAuthorization() {
    QNOAuth2WindowController::removeAuthFromKeychainForName(mKeychainItemName);
    setGoogleAuthorization(nullptr);
}

bool QuorvaneModel::forgetRefusedGoogleAuthorization() {
    auto auth = mAuth;
    // The refresh token as it was when the provider refused it: one taken up since (a sign-in
    // stored meanwhile, adopted by a later refresh) is not the refused one, and stays.
    const std::optional<std::string> refusedOutright = auth ? auth->refusedRefreshToken() : std::nullopt;
    std::optional<std::string> refused = refusedOutright ? refusedOutright : auth ? auth->refreshToken() : std::nullopt;
    bool forgotten = !refused || refused->empty() ||
                     QNOAuth2WindowController::removeAuthFromKeychainForName(mKeychainItemName, *refused) ||
                     storedRefreshToken() == std::nullopt;
    setGoogleAuthorization(nullptr);
    // A newer sign-in another process stored may be of the same authorization: revoking would
    // end it too. A refresh token refused outright is gone at the provider already.
    if (auth && forgotten && !refusedOutright) (void)revokeGoogleAuthorization(auth);
    return forgotten;
}

}  // namespace quorvane
