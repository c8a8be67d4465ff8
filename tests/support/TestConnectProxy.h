#pragma once
// A tunnelling HTTP proxy on 127.0.0.1 for tests: it answers "CONNECT host:port" with its own
// "200 Connection established" (and a header of its own) and relays bytes both ways to
// 127.0.0.1:port, whatever host was named, so a test can reach its loopback servers by a name
// that is not a loopback one. Or it refuses every CONNECT with a status of the test's choosing.
// Connections, request heads and idle tunnels are bounded; it stops when destroyed.

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorvane::test {

class TestConnectProxy {
public:
    // How an opened tunnel ends early: never, or once the client's first bytes (a TLS hello)
    // came, by a reset or by a plain close, before anything reaches the server.
    enum class Cut { Never, ResetAfterHello, CloseAfterHello };
    // refuseStatus 0: tunnel; otherwise every CONNECT is answered with that status.
    explicit TestConnectProxy(int refuseStatus = 0, Cut cut = Cut::Never);
    ~TestConnectProxy();
    TestConnectProxy(const TestConnectProxy&) = delete;
    TestConnectProxy& operator=(const TestConnectProxy&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:<port>", as the proxy variables take it.
    std::string address() const;
    // The "host:port" of every CONNECT received, in order.
    std::vector<std::string> targets() const;

private:
    void acceptLoop();
    void serve(int client);

    int refuseStatus_;
    Cut cut_;
    int listener_ = -1;
    int port_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::vector<std::thread> connections_;
    std::vector<std::string> targets_;
};

}  // namespace quorvane::test
