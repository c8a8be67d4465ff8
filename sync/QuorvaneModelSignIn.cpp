// Signing in to the provider and out again: the sign-in controller shows the provider's page in
// the page view it is given (the user's browser with a loopback listener by default), stores the
// authorization under the model's keychain item, and hands it back here.

#include "oauth2/QNOAuth2WindowController.h"
#include "sync/QuorvaneModel.h"
#include "sync/Utils.h"

namespace quorvane {

namespace {
constexpr const char* kLoadingHTML = "<html><body><div align=center>Loading sign-in page...</div></body></html>";
}  // namespace

void QuorvaneModel::signIntoGoogleWithWindow(std::shared_ptr<platform::WebView> window, SignInSucceeded successSelector,
                                             SignInFailed failureSelector) {
    signOutFromGoogle();
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
    if (!error && auth && auth->canAuthorize()) {
        mAuth = auth;
        setProgressWithString(Utils::localized("SyncProgressWC_LoginSucceeded", "Login Succeeded!"));
        if (succeeded) succeeded();
        return;
    }
    platform::Error failure = error.value_or(platform::Error(kQNOAuth2ErrorDomain, kQNOAuth2ErrorAuthorizationFailed));
    setProgressWithString(Utils::localized("SyncProgressWC_LoginFailed", "Login Failed"));
    appendStringToLog(Utils::localized("SyncProgressWC_LoginToGoogleFailed", "Login to Google failed") + ": " +
                      signInFailureMessage(failure));
    mAuth = nullptr;
    if (failed) failed(failure);
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

void QuorvaneModel::signOutFromGoogle() {
    if (mAuth) QNOAuth2WindowController::revokeTokenForGoogleAuthentication(mAuth);
    forgetGoogleAuthorization();
}

void QuorvaneModel::forgetGoogleAuthorization() {
    QNOAuth2WindowController::removeAuthFromKeychainForName(mKeychainItemName);
    mAuth = nullptr;
}

}  // namespace quorvane
