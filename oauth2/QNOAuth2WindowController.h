#pragma once
// The sign-in display: shows the provider's sign-in pages in a page view and feeds what the view
// sees to its QNOAuth2SignIn; when the sign-in ends it stores or removes the authorization in the
// keychain and reports to its delegate or completion block. Its class operations are also the
// application's only way to save, load and remove the stored authorization (the keychain record).
//
// There is no window system here. The "window" is the page view (platform/web): the user's
// browser with a loopback listener by default, or any page view set with setWebView() before the
// sign-in starts. The window's check box is plain state (keychainCheckboxState, on unless set
// off; keychainCheckboxHidden), and the user closing the window or pressing its close button is
// windowWillClose() or closeWindow(), called by whoever shows the sign-in to the user.
//
// The keychain record of an authorization named N: a generic password of the default keychain
// with the service N and the account "OAuth", holding the authentication's persistence string
// (UTF-8), and, while it exists, the user-defaults BOOL YES under "OAuth2: N".
//
// Main thread only. From the start until the end is reported (or the sign-in is cancelled) the
// controller keeps itself and its delegate alive.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "fetcher/QNSessionCookieStorage.h"
#include "oauth2/QNOAuth2Authentication.h"
#include "oauth2/QNOAuth2SignIn.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/net/URL.h"
#include "platform/net/URLRequest.h"
#include "platform/web/WebView.h"

namespace quorvane {

// The account name of every keychain record.
inline constexpr const char* kQNOAuth2KeychainAccountName = "OAuth";

class QNOAuth2WindowController : public platform::WebViewDelegate,
                                 public std::enable_shared_from_this<QNOAuth2WindowController> {
public:
    using URL = platform::URL;
    using URLRequest = platform::URLRequest;
    using Error = platform::Error;

    // The delegate's finished selector: (controller, authentication, error).
    using FinishedCallback = std::function<void(const std::shared_ptr<QNOAuth2WindowController>& controller,
                                                const std::shared_ptr<QNOAuth2Authentication>& auth,
                                                const std::optional<Error>& error)>;
    using CompletionHandler =
        std::function<void(const std::shared_ptr<QNOAuth2Authentication>& auth, const std::optional<Error>& error)>;
    // A page asks for a new window: (controller, request).
    using ExternalRequestCallback =
        std::function<void(const std::shared_ptr<QNOAuth2WindowController>& controller, const URLRequest& request)>;

    // --- making ---
    // The sign-in's standard authentication for the scope and client, and the provider's page.
    static std::shared_ptr<QNOAuth2WindowController> controllerWithScope(std::optional<std::string> scope,
                                                                         std::optional<std::string> clientID,
                                                                         std::optional<std::string> clientSecret,
                                                                         std::optional<std::string> keychainItemName);
    static std::shared_ptr<QNOAuth2WindowController> controllerWithAuthentication(
        std::shared_ptr<QNOAuth2Authentication> auth, std::optional<URL> authorizationURL,
        std::optional<std::string> keychainItemName);
    ~QNOAuth2WindowController() override;

    // --- class operations ---
    static void revokeTokenForGoogleAuthentication(const std::shared_ptr<QNOAuth2Authentication>& auth);
    // "OAuth2: " followed by the name.
    static std::string prefsKeyForName(const std::string& name);
    static bool saveAuthToKeychainForName(const std::string& name, const std::shared_ptr<QNOAuth2Authentication>& auth);
    static bool removeAuthFromKeychainForName(const std::string& name);
    // Removes the record only while it holds this refresh token (no other writer comes between
    // the look and the removal); false when it holds another one, which stays.
    static bool removeAuthFromKeychainForName(const std::string& name, const std::string& refreshToken);
    // Stores the authorization in place of the record only while the record holds this refresh
    // token (compare and replace: no other writer comes between); false when it holds another one
    // or none, which stays as it is. Also true when the record could not be written (said in the log).
    static bool replaceAuthInKeychainForName(const std::string& name, const std::shared_ptr<QNOAuth2Authentication>& auth,
                                             const std::string& refreshToken);
    static bool authorizeFromKeychainForName(const std::string& name, const std::shared_ptr<QNOAuth2Authentication>& auth);
    // A "Google" authentication for the client with what the record holds (empty when nothing).
    static std::shared_ptr<QNOAuth2Authentication> authForGoogleFromKeychainForName(
        const std::string& name, std::optional<std::string> clientID, std::optional<std::string> clientSecret);

    // --- running ---
    // window: the caller's window the sheet would hang on (kept, not used: nothing is drawn
    // here); nullptr for a window of its own. The delegate is kept until the end.
    void signInSheetModalForWindow(std::shared_ptr<void> window, std::shared_ptr<void> delegate,
                                   FinishedCallback finishedSelector);
    void signInSheetModalForWindow(std::shared_ptr<void> window, CompletionHandler handler);
    // Ends without reporting.
    void cancelSigningIn();
    // The close button: closes and counts as the user closing the window.
    void closeWindow();
    // The window is closing (the user closed it).
    void windowWillClose();

    // --- the sign-in's callbacks ---
    void signInDisplayRequest(const std::shared_ptr<QNOAuth2SignIn>& signIn, const std::optional<URLRequest>& request);
    void signInFinished(const std::shared_ptr<QNOAuth2SignIn>& signIn, const std::shared_ptr<QNOAuth2Authentication>& auth,
                        const std::optional<Error>& error);

    // --- the page view's callbacks ---
    std::optional<URLRequest> willSendRequest(platform::WebView& view, const URLRequest& request,
                                              const std::shared_ptr<const platform::URLResponse>& redirectResponse) override;
    void didReceiveResponse(platform::WebView& view, const std::shared_ptr<const platform::URLResponse>& response) override;
    void didFinishLoading(platform::WebView& view) override;
    void didFailLoadingWithError(platform::WebView& view, const Error& error) override;
    void decidePolicyForNewWindowAction(platform::WebView& view, const URLRequest& request) override;

    // --- properties ---
    const std::shared_ptr<QNOAuth2SignIn>& signIn() const { return signIn_; }
    std::shared_ptr<QNOAuth2Authentication> authentication() const { return signIn_->authentication(); }
    double networkLossTimeoutInterval() const { return signIn_->networkLossTimeoutInterval(); }
    void setNetworkLossTimeoutInterval(double seconds) { signIn_->setNetworkLossTimeoutInterval(seconds); }
    // A non-empty item name.
    bool shouldUseKeychain() const { return keychainItemName_ && !keychainItemName_->empty(); }
    const std::optional<std::string>& keychainItemName() const { return keychainItemName_; }
    void setKeychainItemName(std::optional<std::string> name) { keychainItemName_ = std::move(name); }
    const std::optional<URLRequest>& initialRequest() const { return initialRequest_; }
    const std::shared_ptr<QNSessionCookieStorage>& cookieStorage() const { return cookieStorage_; }
    const std::optional<std::string>& initialHTMLString() const { return initialHTMLString_; }
    void setInitialHTMLString(std::optional<std::string> html) { initialHTMLString_ = std::move(html); }
    bool shouldPersistUser() const { return shouldPersistUser_; }
    void setShouldPersistUser(bool v) { shouldPersistUser_ = v; }
    const ExternalRequestCallback& externalRequestSelector() const { return externalRequestSelector_; }
    void setExternalRequestSelector(ExternalRequestCallback cb) { externalRequestSelector_ = std::move(cb); }
    const std::shared_ptr<void>& sheetModalForWindow() const { return sheetModalForWindow_; }
    const std::shared_ptr<void>& userData() const { return userData_; }
    void setUserData(std::shared_ptr<void> d) { userData_ = std::move(d); }
    // A null value removes the key.
    void setProperty(platform::Value value, const std::string& key);
    platform::Value propertyForKey(const std::string& key) const;

    // The page view (made at the first display when none was set).
    const std::shared_ptr<platform::WebView>& webView() const { return webView_; }
    void setWebView(std::shared_ptr<platform::WebView> view) { webView_ = std::move(view); }
    // The check box "keep me signed in": on (the default) stores the authorization at the end.
    bool keychainCheckboxState() const { return keychainCheckboxState_; }
    void setKeychainCheckboxState(bool on) { keychainCheckboxState_ = on; }
    bool keychainCheckboxHidden() const { return keychainCheckboxHidden_; }
    bool isWindowShown() const { return windowShown_; }
    bool hasDoneFinalRedirect() const { return hasDoneFinalRedirect_; }
    bool hasCalledFinished() const { return hasCalledFinished_; }

    // The warning page shown instead of the sign-in page when the clock is before 2011.
    static std::string clockWarningHTML(platform::Date now);

    // Constructor for make_shared; use the controllerWith... operations.
    struct Token {};
    explicit QNOAuth2WindowController(Token) {}

private:
    void initWithAuthentication(std::shared_ptr<QNOAuth2Authentication> auth, std::optional<URL> authorizationURL,
                                std::optional<std::string> keychainItemName);
    void signInCommonForWindow(std::shared_ptr<void> window);
    void windowDidLoad();
    void destroyWindow();
    void handlePrematureWindowClose();
    void handleCookiesForResponse(const std::shared_ptr<const platform::URLResponse>& response);
    URLRequest addCookiesToRequest(const URLRequest& request);

    std::shared_ptr<QNOAuth2SignIn> signIn_;
    std::optional<URLRequest> initialRequest_;
    std::shared_ptr<QNSessionCookieStorage> cookieStorage_;
    std::shared_ptr<void> delegate_;
    FinishedCallback finishedSelector_;
    CompletionHandler completionBlock_;
    ExternalRequestCallback externalRequestSelector_;
    bool windowLoaded_ = false;
    bool windowShown_ = false;
    bool hasDoneFinalRedirect_ = false;
    bool hasCalledFinished_ = false;
    std::shared_ptr<void> sheetModalForWindow_;
    std::optional<std::string> keychainItemName_;
    std::optional<std::string> initialHTMLString_;
    bool shouldPersistUser_ = false;
    std::shared_ptr<void> userData_;
    platform::Value properties_;
    std::shared_ptr<platform::WebView> webView_;
    bool keychainCheckboxState_ = true;
    bool keychainCheckboxHidden_ = false;
};

}  // namespace quorvane
