#include "platform/web/BrowserWebView.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <vector>

#include "platform/foundation/Log.h"
#include "platform/foundation/UUID.h"
#include "platform/runloop/RunLoop.h"

namespace quorvane::platform {

namespace {

constexpr const char* kCallbackPath = "/oauth2callback";
// A connection that has not sent its request head within this time is closed. It holds up
// nobody meanwhile: every connection is served on its own.
constexpr double kConnectionIdleSeconds = 60;
// Connections open at once; the oldest goes when another comes.
constexpr size_t kMaxConnections = 32;
constexpr size_t kMaxRequestBytes = 16 * 1024;

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string randomState() {
    uint8_t bytes[16];
    if (!randomBytes(bytes, sizeof bytes)) return UUID().uuidString();
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

void writeAll(int fd, const std::string& text) {
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = ::send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        off += size_t(n);
    }
}

void reply(int fd, int status, const std::string& reason, const std::string& message) {
    std::string body = "<html><head><title>" + message + "</title></head><body><div align=center>" + message +
                       "</div></body></html>";
    writeAll(fd, "HTTP/1.1 " + std::to_string(status) + " " + reason +
                     "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\nConnection: close\r\n"
                     "Content-Length: " +
                     std::to_string(body.size()) + "\r\n\r\n" + body);
    ::close(fd);
}

// The value of a query parameter, percent-decoded ("+" as a blank); nullopt when absent.
std::optional<std::string> queryValue(const std::optional<std::string>& query, const std::string& name) {
    if (!query) return std::nullopt;
    size_t pos = 0;
    while (pos <= query->size()) {
        size_t amp = query->find('&', pos);
        std::string piece = query->substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
        size_t eq = piece.find('=');
        if (piece.substr(0, eq) == name) {
            std::string value = eq == std::string::npos ? "" : piece.substr(eq + 1);
            for (char& c : value)
                if (c == '+') c = ' ';
            return percentDecode(value);
        }
        if (amp == std::string::npos) break;
        pos = amp + 1;
    }
    return std::nullopt;
}

}  // namespace

std::shared_ptr<BrowserWebView> BrowserWebView::make() {
    std::shared_ptr<BrowserWebView> view(new BrowserWebView());
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || ::pipe2(view->wake_, O_CLOEXEC) != 0) {
        ::close(fd);
        return nullptr;
    }
    view->listener_ = fd;
    view->port_ = ntohs(addr.sin_port);
    view->thread_ = std::thread([raw = view.get()] { raw->listen(); });
    return view;
}

BrowserWebView::~BrowserWebView() {
    stopLoading();
    if (thread_.joinable()) thread_.join();
    for (int fd : wake_)
        if (fd >= 0) ::close(fd);
}

std::optional<std::string> BrowserWebView::redirectURI() const {
    return "http://127.0.0.1:" + std::to_string(port_) + kCallbackPath;
}

void BrowserWebView::stopLoading() {
    if (stopped_.exchange(true)) return;
    char c = 0;
    if (wake_[1] >= 0) (void)!::write(wake_[1], &c, 1);
}

void BrowserWebView::loadHTMLString(const std::string& html, const std::optional<URL>&) {
    title_ = titleOfHTML(html);
    std::weak_ptr<WebView> weak = weak_from_this();
    RunLoop::main()->post([weak] {
        auto view = weak.lock();
        if (!view) return;
        if (auto d = view->delegate()) d->didFinishLoading(*view);
    });
}

void BrowserWebView::loadRequest(const URLRequest& request) {
    if (stopped_) return;
    std::optional<URLRequest> toSend = request;
    auto self = shared_from_this();
    if (auto d = delegate()) toSend = d->willSendRequest(*this, request, nullptr);
    if (!toSend || !toSend->url()) return;
    state_ = randomState();
    const URL& url = *toSend->url();
    std::string text = url.absoluteStringWithoutFragment();
    text += (url.query() ? "&" : "?");
    text += "state=" + state_;
    auto withState = URL::URLWithString(text);
    if (!withState || !opener_ || !opener_(*withState)) {
        if (auto d = delegate()) {
            Error error(kURLErrorDomain, kURLErrorCannotConnectToHost);
            error.userInfo.set(Error::kLocalizedDescriptionKey, Value("The browser could not be opened."));
            error.userInfo.set(kWebViewErrorFailingURLKey, Value(url.absoluteString()));
            d->didFailLoadingWithError(*this, error);
        }
    }
}

void BrowserWebView::listen() {
    struct Client {
        int fd;
        double deadline;
        std::string request;
    };
    std::vector<Client> clients;
    auto drop = [&clients](size_t i) {
        ::close(clients[i].fd);
        clients.erase(clients.begin() + long(i));
    };
    while (!stopped_) {
        std::vector<pollfd> fds = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        double now = steadySeconds(), next = INFINITY;
        for (const auto& c : clients) {
            fds.push_back({c.fd, POLLIN, 0});
            next = std::min(next, c.deadline);
        }
        int timeout = std::isinf(next) ? -1 : int(std::max(0.0, std::ceil((next - now) * 1000)));
        int n = ::poll(fds.data(), nfds_t(fds.size()), timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents || stopped_) break;
        // Reads first (from the back, so that dropping one keeps the indexes of the rest).
        for (size_t i = clients.size(); i-- > 0;) {
            if (!fds[i + 2].revents) continue;
            char buffer[2048];
            ssize_t got = ::recv(clients[i].fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (got <= 0) {
                drop(i);
                continue;
            }
            clients[i].request.append(buffer, size_t(got));
            bool whole = clients[i].request.find("\r\n\r\n") != std::string::npos;
            if (whole || clients[i].request.size() >= kMaxRequestBytes) {
                int fd = clients[i].fd;
                std::string request = std::move(clients[i].request);
                clients.erase(clients.begin() + long(i));
                serve(fd, request);
            }
        }
        now = steadySeconds();
        for (size_t i = clients.size(); i-- > 0;)
            if (clients[i].deadline <= now) drop(i);
        if (fds[0].revents & POLLIN) {
            int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                if (clients.size() >= kMaxConnections) drop(0);
                clients.push_back({client, now + kConnectionIdleSeconds, {}});
            }
        }
    }
    for (auto& c : clients) ::close(c.fd);
    ::close(listener_);
    listener_ = -1;
}

void BrowserWebView::serve(int client, const std::string& request) {
    if (request.find("\r\n\r\n") == std::string::npos) {
        reply(client, 400, "Bad Request", "Bad request.");
        return;
    }
    size_t lineEnd = request.find("\r\n");
    std::string line = request.substr(0, lineEnd);
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || line.substr(0, sp1) != "GET") {
        reply(client, 400, "Bad Request", "Bad request.");
        return;
    }
    std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    // The decision needs the delegate, which lives on the main thread.
    std::weak_ptr<WebView> weak = weak_from_this();
    RunLoop::main()->post([weak, client, target] {
        auto view = std::static_pointer_cast<BrowserWebView>(weak.lock());
        if (!view) {
            reply(client, 410, "Gone", "This sign-in has ended.");
            return;
        }
        view->answer(client, target);
    });
}

void BrowserWebView::answer(int client, const std::string& target) {
    auto url = URL::URLWithString("http://127.0.0.1:" + std::to_string(port_) + target);
    if (!url || url->percentEncodedPath() != kCallbackPath) {
        reply(client, 404, "Not Found", "Not found.");
        return;
    }
    auto state = queryValue(url->query(), "state");
    if (stopped_ || state_.empty() || !state || *state != state_) {
        reply(client, 400, "Bad Request", "This answer does not belong to the sign-in in progress.");
        return;
    }
    std::optional<URLRequest> next = URLRequest(*url);
    auto self = shared_from_this();
    if (auto d = delegate()) next = d->willSendRequest(*this, *next, nullptr);
    if (!next) {
        reply(client, 200, "OK", "The sign-in goes on in the application. You may close this window.");
        return;
    }
    reply(client, 400, "Bad Request", "The application could not read this answer.");
}

}  // namespace quorvane::platform
