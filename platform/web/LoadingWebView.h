#pragma once
// A page view that loads its pages itself, over a URL session of its own, and follows the
// server's redirects after asking its delegate about each. It keeps no display: the title of the
// last document is what it shows. Used by tests and tools that drive a web sign-in without a
// browser.

#include <memory>
#include <optional>
#include <string>

#include "platform/net/URLSession.h"
#include "platform/web/WebView.h"

namespace quorvane::platform {

class LoadingWebView : public WebView {
public:
    // The session keeps cookies in the shared cookie storage, for requests that handle cookies.
    static std::shared_ptr<LoadingWebView> make();
    ~LoadingWebView() override;

    void loadHTMLString(const std::string& html, const std::optional<URL>& baseURL) override;
    void loadRequest(const URLRequest& request) override;
    void stopLoading() override;
    std::string mainFrameTitle() const override { return title_; }

    bool isLoading() const { return task_ != nullptr; }
    // The body of the last document loaded.
    const std::string& documentText() const { return document_; }

private:
    class SessionDelegate;
    LoadingWebView() = default;
    void redirect(const std::shared_ptr<URLSessionTask>& task, const std::shared_ptr<const HTTPURLResponse>& response,
                  const URLRequest& request, URLSessionDelegate::RedirectCompletion completion);
    void received(const std::shared_ptr<URLSessionTask>& task, const std::shared_ptr<const URLResponse>& response);
    void receivedData(const std::shared_ptr<URLSessionTask>& task, const Bytes& data);
    void completed(const std::shared_ptr<URLSessionTask>& task, const std::optional<Error>& error);

    std::shared_ptr<URLSession> session_;
    std::shared_ptr<URLSessionTask> task_;
    std::string pending_;
    std::string document_;
    std::string title_;
};

}  // namespace quorvane::platform
