#pragma once
// Whether a host can be reached, watched on a run loop.
//
// A target names a host and a port. Once scheduled on a run loop it checks the host at once and
// then every pollInterval() seconds: the name is resolved, and the host counts as reachable when
// a TCP connection to one of its addresses on the port opens within a few seconds (it is closed
// at once; nothing is sent). Each check runs on a worker thread; the callback runs on the run
// loop the target is scheduled on, with the first result and then whenever the flags change.
// After unschedule() no callback starts.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Date.h"

namespace quorvane::platform {

class RunLoop;

// The flag bits callers test.
enum NetworkReachabilityFlags : uint32_t {
    kNetworkReachabilityFlagsReachable = 1u << 1,           // 2
    kNetworkReachabilityFlagsConnectionRequired = 1u << 2,  // 4: never set here
};

class NetworkReachability : public std::enable_shared_from_this<NetworkReachability> {
public:
    using Callback = std::function<void(NetworkReachability& target, uint32_t flags)>;

    // nullptr for an empty host name or a port outside 1...65535.
    static std::shared_ptr<NetworkReachability> withName(std::string host, int port);
    ~NetworkReachability();

    const std::string& host() const { return host_; }
    int port() const { return port_; }

    void setCallback(Callback callback);
    // Starts watching on the loop; false when already scheduled.
    bool scheduleWithRunLoop(const std::shared_ptr<RunLoop>& loop);
    void unscheduleFromRunLoop();

    // The last flags found; nullopt before the first check ended.
    std::optional<uint32_t> flags() const;

    // Seconds between two checks of every target scheduled from now on (5 by default).
    static TimeInterval pollInterval();
    static void setPollInterval(TimeInterval seconds);

    // One check, on the calling thread (blocks while resolving and connecting).
    static uint32_t checkHost(const std::string& host, int port, TimeInterval connectTimeout);

    // The watch's shared state (internal to the implementation).
    struct State;

private:
    NetworkReachability(std::string host, int port);

    std::string host_;
    int port_;
    std::shared_ptr<State> state_;
};

}  // namespace quorvane::platform
