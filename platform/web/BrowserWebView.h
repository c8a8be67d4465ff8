#pragma once
// The production page view: the sign-in page opens in the user's own browser and the
// provider's final redirect comes back to a listener of this view on 127.0.0.1.
//
// - redirectURI() is "http://127.0.0.1:<port>/oauth2callback", the port chosen by the system
//   when the view is made. The caller makes it the redirect URI of the page request.
// - loadRequest() asks the delegate about the request, adds a random "state" parameter to it and
//   opens it with xdg-open.
// - A request to the listener on the callback path whose "state" equals the one sent is handed
//   to the delegate as a redirect (willSendRequest with the request for that URL); any other
//   request is answered 400 (or 404 for another path) and not reported. When the delegate takes
//   the redirect (answers nullopt) the browser gets a page saying that the sign-in may go on in
//   the application.
// - Every connection is served on its own: one that is idle or slow holds up nobody; it is
//   closed after a minute without a whole request head, and at most 32 stay open at once.
// - stopLoading() closes the listener for good.
// - loadHTMLString() keeps the document (and its title) without showing it anywhere: there is no
//   window of ours to show it in.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/web/WebView.h"

namespace quorvane::platform {

class BrowserWebView : public WebView {
public:
    // nullptr when no listener could be opened on 127.0.0.1.
    static std::shared_ptr<BrowserWebView> make();
    ~BrowserWebView() override;

    void loadHTMLString(const std::string& html, const std::optional<URL>& baseURL) override;
    void loadRequest(const URLRequest& request) override;
    void stopLoading() override;
    std::string mainFrameTitle() const override { return title_; }
    std::optional<std::string> redirectURI() const override;

    int port() const { return port_; }
    // The state sent with the last page request ("" before the first).
    const std::string& state() const { return state_; }

    // Opens a URL for the page; replaceable for tools that open pages another way.
    using Opener = std::function<bool(const URL& url)>;
    void setOpener(Opener opener) { opener_ = std::move(opener); }

private:
    BrowserWebView() = default;
    void listen();
    // A whole request head (or as much as is allowed) of one connection.
    void serve(int client, const std::string& request);
    void answer(int client, const std::string& target);

    int listener_ = -1;
    int wake_[2] = {-1, -1};
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stopped_{false};
    std::string state_;
    std::string title_;
    Opener opener_ = openURLInDefaultBrowser;
};

}  // namespace quorvane::platform
