#include "tests/support/TestConnectProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace quorvane::test {

namespace {

constexpr size_t kMaxConnections = 64;
constexpr size_t kMaxHead = 16 * 1024;
constexpr int kIdleMs = 60 * 1000;  // a tunnel with nothing moving this long is closed

bool writeAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        data += w;
        n -= size_t(w);
    }
    return true;
}

bool writeText(int fd, const std::string& text) { return writeAll(fd, text.data(), text.size()); }

int connectLoopback(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(uint16_t(port));
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

}  // namespace

TestConnectProxy::TestConnectProxy(int refuseStatus, Cut cut) : refuseStatus_(refuseStatus), cut_(cut) {
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) return;
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listener_, 16) != 0) return;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

TestConnectProxy::~TestConnectProxy() {
    if (stopPipe_[1] >= 0) (void)!::write(stopPipe_[1], "x", 1);
    if (acceptor_.joinable()) acceptor_.join();
    for (auto& t : connections_) t.join();  // the acceptor has ended: nobody adds any more
    for (int fd : {listener_, stopPipe_[0], stopPipe_[1]})
        if (fd >= 0) ::close(fd);
}

std::string TestConnectProxy::address() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> TestConnectProxy::targets() const {
    std::lock_guard lock(mutex_);
    return targets_;
}

void TestConnectProxy::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        std::lock_guard lock(mutex_);
        if (connections_.size() >= kMaxConnections) {
            ::close(client);
            continue;
        }
        connections_.emplace_back([this, client] { serve(client); });
    }
}

void TestConnectProxy::serve(int client) {
    int upstream = -1;
    auto done = [&] {
        ::close(client);
        if (upstream >= 0) ::close(upstream);
    };
    // The request head, up to its blank line.
    std::string head;
    char buffer[16384];
    while (head.find("\r\n\r\n") == std::string::npos) {
        pollfd fds[2] = {{client, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, kIdleMs) <= 0 || fds[1].revents) return done();
        ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0 || head.size() + size_t(n) > kMaxHead) return done();
        head.append(buffer, size_t(n));
    }
    std::string extra = head.substr(head.find("\r\n\r\n") + 4);  // what the client sent beyond the head
    char target[512] = {};
    if (std::sscanf(head.c_str(), "CONNECT %511s HTTP/1.", target) != 1) {
        writeText(client, "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return done();
    }
    {
        std::lock_guard lock(mutex_);
        targets_.emplace_back(target);
    }
    std::string name = target;
    size_t colon = name.rfind(':');
    int port = colon == std::string::npos ? 0 : std::atoi(name.c_str() + colon + 1);
    if (refuseStatus_ != 0) {
        std::string answer = "HTTP/1.1 " + std::to_string(refuseStatus_) +
                             " Refused\r\nProxy-Agent: quorvane-test-proxy\r\nContent-Length: 7\r\n"
                             "Connection: close\r\n\r\nrefused";
        writeText(client, answer);
        return done();
    }
    if (cut_ != Cut::Never) {
        static const char opened[] = "HTTP/1.1 200 Connection established\r\n\r\n";
        pollfd fds[2] = {{client, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (writeText(client, opened) && extra.empty() && ::poll(fds, 2, kIdleMs) > 0 && !fds[1].revents)
            (void)::recv(client, buffer, sizeof buffer, 0);
        if (cut_ == Cut::ResetAfterHello) {
            linger now{1, 0};
            ::setsockopt(client, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        }
        return done();
    }
    upstream = port > 0 ? connectLoopback(port) : -1;
    if (upstream < 0) {
        writeText(client, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        return done();
    }
    static const char established[] = "HTTP/1.1 200 Connection established\r\nProxy-Agent: quorvane-test-proxy\r\n\r\n";
    if (!writeText(client, established) ||
        (!extra.empty() && !writeAll(upstream, extra.data(), extra.size())))
        return done();
    // The tunnel: bytes both ways until either side closes, nothing moves for a while, or the
    // proxy stops.
    for (;;) {
        pollfd fds[3] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (::poll(fds, 3, kIdleMs) <= 0 || fds[2].revents) return done();
        for (int i = 0; i < 2; ++i) {
            if (!fds[i].revents) continue;
            ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
            if (n <= 0 || !writeAll(fds[1 - i].fd, buffer, size_t(n))) return done();
        }
    }
}

}  // namespace quorvane::test
