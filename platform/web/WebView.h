#pragma once
// The page view that shows a web sign-in page and tells its delegate what the page does: each
// request before it is sent (redirects included), each response, the end of a load, a failed
// load, and a page that asks for a new window.
//
// Two views serve:
// - BrowserWebView (production): the page opens in the user's own browser (xdg-open); the
//   provider's final redirect comes back to a listener on 127.0.0.1 with a port of its own,
//   whose address is the view's redirectURI(). The view adds a random "state" to the page
//   request and hands the delegate only a redirect that carries the same state.
// - LoadingWebView (tests, tools): loads the page itself with a URL session and follows the
//   server's redirects, handing each one to the delegate first.
//
// Main thread only: every delegate call runs on the main run loop.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/net/URL.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"

namespace quorvane::platform {

class WebView;

// User-info key under which a load failure carries the URL (as text) that failed.
inline constexpr const char* kWebViewErrorFailingURLKey = "NSErrorFailingURLKey";

class WebViewDelegate {
public:
    virtual ~WebViewDelegate() = default;

    // Before a request goes out: the first one of a load (no redirect response) and each
    // redirect (with the response that asked for it). Answer the request to send, or nullopt to
    // stop the load there (nothing further is reported for it).
    virtual std::optional<URLRequest> willSendRequest(WebView& view, const URLRequest& request,
                                                      const std::shared_ptr<const URLResponse>& redirectResponse) {
        return request;
    }
    virtual void didReceiveResponse(WebView& view, const std::shared_ptr<const URLResponse>& response) {}
    // A document finished loading (whatever its HTTP status); its title is the view's mainFrameTitle().
    virtual void didFinishLoading(WebView& view) {}
    // A load failed; the error carries the failing URL under kWebViewErrorFailingURLKey.
    virtual void didFailLoadingWithError(WebView& view, const Error& error) {}
    // A page asks for a new window for the request; the view itself does not load it.
    virtual void decidePolicyForNewWindowAction(WebView& view, const URLRequest& request) {}
};

class WebView : public std::enable_shared_from_this<WebView> {
public:
    virtual ~WebView() = default;

    // The resource-load and policy delegate (not owned).
    void setDelegate(std::weak_ptr<WebViewDelegate> delegate) { delegate_ = std::move(delegate); }
    std::shared_ptr<WebViewDelegate> delegate() const { return delegate_.lock(); }

    // Shows the HTML text as the main document.
    virtual void loadHTMLString(const std::string& html, const std::optional<URL>& baseURL) = 0;
    // Loads the request as the main document.
    virtual void loadRequest(const URLRequest& request) = 0;
    // Ends every load in progress; nothing further is reported for them.
    virtual void stopLoading() = 0;
    // The title of the main document ("document.title"), "" when it has none.
    virtual std::string mainFrameTitle() const = 0;
    // The redirect URI the view itself receives the provider's answer on, when it has one.
    virtual std::optional<std::string> redirectURI() const { return std::nullopt; }

    // The text of an HTML document's <title>, entities decoded and white space collapsed.
    static std::string titleOfHTML(std::string_view html);

private:
    std::weak_ptr<WebViewDelegate> delegate_;
};

// Opens the URL in the user's default browser (xdg-open, without a shell); false when it could
// not be started.
bool openURLInDefaultBrowser(const URL& url);

}  // namespace quorvane::platform
