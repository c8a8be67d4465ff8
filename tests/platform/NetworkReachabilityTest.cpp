// Reachability of a host and port, watched on the main run loop with real sockets on 127.0.0.1.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <vector>

#include "platform/net/NetworkReachability.h"
#include "platform/runloop/RunLoop.h"
#include "tests/support/TestHTTPServer.h"

namespace quorvane::platform {
namespace {

// A socket listening on 127.0.0.1 at the given port (0: any); closed with the object.
struct Listener {
    explicit Listener(int port = 0) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(uint16_t(port));
        socklen_t len = sizeof addr;
        ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd, 16) == 0 &&
             ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
        this->port = ntohs(addr.sin_port);
    }
    ~Listener() { ::close(fd); }
    int fd = -1;
    int port = 0;
    bool ok = false;
};

class NetworkReachabilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved = NetworkReachability::pollInterval();
        NetworkReachability::setPollInterval(0.05);
    }
    void TearDown() override { NetworkReachability::setPollInterval(saved); }
    double saved = 5;
};

TEST_F(NetworkReachabilityTest, OneCheckFindsAListeningPortAndNotAClosedOne) {
    Listener listener;
    ASSERT_TRUE(listener.ok);
    EXPECT_EQ(NetworkReachability::checkHost("127.0.0.1", listener.port, 2), kNetworkReachabilityFlagsReachable);
    EXPECT_EQ(NetworkReachability::checkHost("localhost", listener.port, 2), kNetworkReachabilityFlagsReachable);
    EXPECT_EQ(NetworkReachability::checkHost("127.0.0.1", test::TestHTTPServer::unusedPort(), 2), 0u);
    EXPECT_FALSE(NetworkReachability::withName("", 443));
    EXPECT_FALSE(NetworkReachability::withName("127.0.0.1", 0));
}

TEST_F(NetworkReachabilityTest, ReportsTheFirstResultAndThenOnlyChanges) {
    int port = test::TestHTTPServer::unusedPort();
    auto target = NetworkReachability::withName("127.0.0.1", port);
    ASSERT_TRUE(target);
    std::vector<uint32_t> seen;
    target->setCallback([&](NetworkReachability&, uint32_t flags) {
        EXPECT_TRUE(RunLoop::isMainThread());
        seen.push_back(flags);
    });
    ASSERT_TRUE(target->scheduleWithRunLoop(RunLoop::main()));
    EXPECT_FALSE(target->scheduleWithRunLoop(RunLoop::main()));
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return !seen.empty(); }, 60));
    EXPECT_EQ(seen.front(), 0u);

    // Later checks that find the same report nothing: the next report is the change.
    {
        Listener listener(port);
        ASSERT_TRUE(listener.ok);
        ASSERT_TRUE(RunLoop::main()->runUntil([&] { return seen.size() >= 2; }, 60));
        EXPECT_EQ(seen[1], kNetworkReachabilityFlagsReachable);
        EXPECT_EQ(target->flags(), kNetworkReachabilityFlagsReachable);
    }
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return seen.size() >= 3; }, 60));
    EXPECT_EQ(seen[2], 0u);

    target->unscheduleFromRunLoop();
    size_t count = seen.size();
    Listener again(port);
    ASSERT_TRUE(again.ok);
    // A second watch sees the port open; by then the first would have seen it too.
    auto witness = NetworkReachability::withName("127.0.0.1", port);
    std::optional<uint32_t> witnessed;
    witness->setCallback([&](NetworkReachability&, uint32_t flags) { witnessed = flags; });
    ASSERT_TRUE(witness->scheduleWithRunLoop(RunLoop::main()));
    ASSERT_TRUE(RunLoop::main()->runUntil([&] { return witnessed.has_value(); }, 60));
    EXPECT_EQ(*witnessed, kNetworkReachabilityFlagsReachable);
    EXPECT_EQ(seen.size(), count);  // unscheduled: no more callbacks
}

}  // namespace
}  // namespace quorvane::platform
