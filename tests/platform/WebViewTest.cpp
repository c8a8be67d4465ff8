// The sign-in page views: the loading view against the loopback HTTPS server, and the browser
// view's loopback listener driven by a real socket client standing in for the browser.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <string>
#include <vector>

#include "platform/runloop/RunLoop.h"
#include "platform/web/BrowserWebView.h"
#include "platform/web/LoadingWebView.h"
#include "tests/support/TestHTTPServer.h"

namespace quorvane::platform {
namespace {

struct RecordingDelegate : WebViewDelegate {
    std::optional<URLRequest> willSendRequest(WebView&, const URLRequest& request,
                                              const std::shared_ptr<const URLResponse>& redirectResponse) override {
        requests.push_back(request.url() ? request.url()->absoluteString() : "");
        redirects.push_back(redirectResponse != nullptr);
        if (stopAtPath && request.url() && request.url()->path() == *stopAtPath) return std::nullopt;
        return request;
    }
    void didReceiveResponse(WebView&, const std::shared_ptr<const URLResponse>&) override { ++responses; }
    void didFinishLoading(WebView& view) override { titles.push_back(view.mainFrameTitle()); }
    void didFailLoadingWithError(WebView&, const Error& error) override { failures.push_back(error); }

    std::optional<std::string> stopAtPath;
    std::vector<std::string> requests;
    std::vector<bool> redirects;
    int responses = 0;
    std::vector<std::string> titles;
    std::vector<Error> failures;
};

TEST(WebViewTitleTest, TitleOfHTML) {
    EXPECT_EQ(WebView::titleOfHTML("<html><head><TITLE lang=en>\n Success  code=4/a&amp;b \n</title>"), "Success code=4/a&b");
    EXPECT_EQ(WebView::titleOfHTML("<title>&#x231A; &#65;&lt;</title>"), "\xE2\x8C\x9A A<");
    EXPECT_EQ(WebView::titleOfHTML("<html><body>no title</body></html>"), "");
    EXPECT_EQ(WebView::titleOfHTML("<title>unterminated"), "");
}

TEST(LoadingWebViewTest, HandsEachRedirectToTheDelegateAndStopsWhereItSays) {
    test::TestHTTPServer server;
    server.setKeepAliveMaxCount(1);  // no connection outlives its answer, so the server stops at once
    server.on("GET", "/start", [&](const test::TestRequest&, test::TestResponse& res) {
        res.status = 302;
        res.setHeader("Location", server.baseURL() + "/middle");
    });
    server.on("GET", "/middle", [&](const test::TestRequest&, test::TestResponse& res) {
        res.status = 302;
        res.setHeader("Location", server.baseURL() + "/callback?code=abc");
    });
    server.respond("/page", 200, "<html><head><title>Done code=xyz</title></head></html>", "text/html");

    auto view = LoadingWebView::make();
    auto delegate = std::make_shared<RecordingDelegate>();
    view->setDelegate(delegate);
    delegate->stopAtPath = "/callback";
    view->loadRequest(URLRequest(server.url("/start")));
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return delegate->requests.size() >= 3 && !view->isLoading(); }, 60));
    EXPECT_EQ(delegate->requests,
              (std::vector<std::string>{server.baseURL() + "/start", server.baseURL() + "/middle",
                                        server.baseURL() + "/callback?code=abc"}));
    EXPECT_EQ(delegate->redirects, (std::vector<bool>{false, true, true}));
    EXPECT_EQ(server.requestCount("/callback"), 0u);  // stopped before it was sent
    EXPECT_TRUE(delegate->failures.empty());
    EXPECT_TRUE(delegate->titles.empty());

    // A page that loads gives its title at the end.
    view->loadRequest(URLRequest(server.url("/page")));
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return !delegate->titles.empty(); }, 60));
    EXPECT_EQ(delegate->titles.back(), "Done code=xyz");
    EXPECT_EQ(view->mainFrameTitle(), "Done code=xyz");
    EXPECT_GE(delegate->responses, 1);

    // A failed load names the URL that failed.
    auto dead = URL::URLWithString("https://127.0.0.1:" + std::to_string(test::TestHTTPServer::unusedPort()) + "/o/auth");
    view->loadRequest(URLRequest(dead));
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return !delegate->failures.empty(); }, 60));
    EXPECT_EQ(delegate->failures.back().userInfo[kWebViewErrorFailingURLKey].asString(), dead->absoluteString());

    // An HTML string finishes too.
    view->loadHTMLString("<html><title>Loading</title></html>", std::nullopt);
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return delegate->titles.size() >= 2; }, 60));
    EXPECT_EQ(delegate->titles.back(), "Loading");
}

// Sends one GET to the loopback listener as a browser would and answers the status line.
std::string browserGet(int port, const std::string& target) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(uint16_t(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return "no connection";
    }
    std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    (void)!::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char buffer[1024];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, size_t(n));
    ::close(fd);
    return answer.substr(0, answer.find("\r\n"));
}

TEST(BrowserWebViewTest, OpensThePageWithStateAndTakesOnlyTheMatchingAnswer) {
    auto view = BrowserWebView::make();
    ASSERT_TRUE(view);
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->stopAtPath = "/oauth2callback";
    view->setDelegate(delegate);
    std::vector<std::string> opened;
    view->setOpener([&](const URL& url) {
        opened.push_back(url.absoluteString());
        return true;
    });
    ASSERT_TRUE(view->redirectURI());
    EXPECT_EQ(*view->redirectURI(), "http://127.0.0.1:" + std::to_string(view->port()) + "/oauth2callback");

    view->loadRequest(URLRequest(URL::URLWithString("https://accounts.example.com/auth?client_id=c")));
    ASSERT_EQ(opened.size(), 1u);
    ASSERT_EQ(view->state().size(), 32u);
    EXPECT_EQ(opened[0], "https://accounts.example.com/auth?client_id=c&state=" + view->state());
    ASSERT_EQ(delegate->requests.size(), 1u);  // the page request went through the delegate first

    auto get = [&](const std::string& target) {
        auto answer = std::async(std::launch::async, browserGet, view->port(), target);
        RunLoop::main()->runUntil([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 60);
        return answer.get();
    };
    EXPECT_EQ(get("/favicon.ico"), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(get("/oauth2callback?code=forged&state=wrong"), "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(get("/oauth2callback?code=forged"), "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(delegate->requests.size(), 1u);  // none of these reached the delegate

    EXPECT_EQ(get("/oauth2callback?code=4%2Fgood&state=" + view->state()), "HTTP/1.1 200 OK");
    ASSERT_EQ(delegate->requests.size(), 2u);
    EXPECT_EQ(delegate->requests[1],
              "http://127.0.0.1:" + std::to_string(view->port()) + "/oauth2callback?code=4%2Fgood&state=" + view->state());

    // A connection that sends nothing, and one that sends half a request, hold up nobody: the
    // browser's answer is taken while both are still open.
    auto connectIdle = [&] {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(uint16_t(view->port()));
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        return fd;
    };
    int idle = connectIdle(), slow = connectIdle();
    (void)!::send(slow, "GET /oauth2callback?code=", 25, MSG_NOSIGNAL);
    EXPECT_EQ(get("/oauth2callback?code=again&state=" + view->state()), "HTTP/1.1 200 OK");
    EXPECT_EQ(delegate->requests.size(), 3u);
    for (int fd : {idle, slow}) {
        char c;
        EXPECT_EQ(::recv(fd, &c, 1, MSG_DONTWAIT), -1) << "closed before the answer was taken";
        ::close(fd);
    }

    // The listener closes on its own thread: a late browser finds no listener, or one that hangs
    // up without an answer; the answer never reaches the delegate.
    view->stopLoading();
    const std::string late = get("/oauth2callback?code=late&state=" + view->state());
    EXPECT_TRUE(late == "no connection" || late.empty()) << late;
    EXPECT_EQ(delegate->requests.size(), 3u);
}

}  // namespace
}  // namespace quorvane::platform
