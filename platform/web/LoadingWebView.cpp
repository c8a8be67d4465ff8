#include "platform/web/LoadingWebView.h"

#include "platform/net/URLSessionConfiguration.h"
#include "platform/runloop/OperationQueue.h"
#include "platform/runloop/RunLoop.h"

namespace quorvane::platform {

// The session's delegate: forwards to the view while it lives (the session holds this object,
// the view holds the session).
class LoadingWebView::SessionDelegate : public URLSessionDelegate {
public:
    explicit SessionDelegate(std::weak_ptr<LoadingWebView> view) : view_(std::move(view)) {}

    void willPerformHTTPRedirection(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>& task,
                                    const std::shared_ptr<const HTTPURLResponse>& response, const URLRequest& newRequest,
                                    RedirectCompletion completion) override {
        if (auto v = view_.lock()) v->redirect(task, response, newRequest, std::move(completion));
        else completion(std::nullopt);
    }
    void didReceiveResponse(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>& task,
                            const std::shared_ptr<const URLResponse>& response, ResponseCompletion completion) override {
        if (auto v = view_.lock()) v->received(task, response);
        completion(URLSessionResponseDisposition::Allow);
    }
    void didReceiveData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>& task,
                        const Bytes& data) override {
        if (auto v = view_.lock()) v->receivedData(task, data);
    }
    void didCompleteWithError(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>& task,
                              const std::optional<Error>& error) override {
        if (auto v = view_.lock()) v->completed(task, error);
    }

private:
    std::weak_ptr<LoadingWebView> view_;
};

std::shared_ptr<LoadingWebView> LoadingWebView::make() {
    std::shared_ptr<LoadingWebView> view(new LoadingWebView());
    auto delegate = std::make_shared<SessionDelegate>(view);
    view->session_ = URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration(),
                                                          delegate, OperationQueue::main());
    return view;
}

LoadingWebView::~LoadingWebView() {
    if (session_) session_->invalidateAndCancel();
}

void LoadingWebView::loadHTMLString(const std::string& html, const std::optional<URL>&) {
    stopLoading();
    document_ = html;
    title_ = titleOfHTML(html);
    std::weak_ptr<WebView> weak = weak_from_this();
    RunLoop::main()->post([weak] {
        auto view = weak.lock();
        if (!view) return;
        if (auto d = view->delegate()) d->didFinishLoading(*view);
    });
}

void LoadingWebView::loadRequest(const URLRequest& request) {
    stopLoading();
    std::optional<URLRequest> toSend = request;
    if (auto d = delegate()) toSend = d->willSendRequest(*this, request, nullptr);
    if (!toSend || !session_) return;
    task_ = session_->dataTaskWithRequest(*toSend);
    pending_.clear();
    if (task_) task_->resume();
}

void LoadingWebView::stopLoading() {
    auto task = std::move(task_);
    task_.reset();
    if (task) task->cancel();
}

void LoadingWebView::redirect(const std::shared_ptr<URLSessionTask>& task,
                              const std::shared_ptr<const HTTPURLResponse>& response, const URLRequest& request,
                              URLSessionDelegate::RedirectCompletion completion) {
    if (task != task_) {
        completion(std::nullopt);
        return;
    }
    std::optional<URLRequest> next = request;
    auto self = std::static_pointer_cast<LoadingWebView>(shared_from_this());  // the delegate may drop the view
    if (auto d = delegate()) next = d->willSendRequest(*this, request, response);
    if (!next) {
        // The delegate stopped the load at this redirect: it ends here, silently.
        if (task == task_) stopLoading();
        completion(std::nullopt);
        return;
    }
    completion(next);
}

void LoadingWebView::received(const std::shared_ptr<URLSessionTask>& task, const std::shared_ptr<const URLResponse>& response) {
    if (task != task_) return;
    pending_.clear();
    auto self = shared_from_this();
    if (auto d = delegate()) d->didReceiveResponse(*this, response);
}

void LoadingWebView::receivedData(const std::shared_ptr<URLSessionTask>& task, const Bytes& data) {
    if (task != task_) return;
    pending_.append(data.begin(), data.end());
}

void LoadingWebView::completed(const std::shared_ptr<URLSessionTask>& task, const std::optional<Error>& error) {
    if (task != task_) return;
    task_.reset();
    auto self = shared_from_this();
    auto d = delegate();
    if (error) {
        Error failure = *error;
        auto url = task->currentRequest() ? task->currentRequest()->url() : std::nullopt;
        if (!url && task->originalRequest()) url = task->originalRequest()->url();
        if (url) failure.userInfo.set(kWebViewErrorFailingURLKey, Value(url->absoluteString()));
        if (d) d->didFailLoadingWithError(*this, failure);
        return;
    }
    document_ = std::move(pending_);
    pending_.clear();
    title_ = titleOfHTML(document_);
    if (d) d->didFinishLoading(*this);
}

}  // namespace quorvane::platform
