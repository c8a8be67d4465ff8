#include "platform/net/NetworkReachability.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>

#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/RunLoop.h"

namespace quorvane::platform {

namespace {
std::atomic<double> gPollInterval{5.0};
constexpr TimeInterval kConnectTimeout = 3.0;

bool connects(const addrinfo* ai, TimeInterval timeout) {
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) return false;
    bool ok = false;
    int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (rc == 0) {
        ok = true;
    } else if (errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int n;
        do {
            n = ::poll(&p, 1, int(timeout * 1000));
        } while (n < 0 && errno == EINTR);
        if (n == 1) {
            int err = 0;
            socklen_t len = sizeof err;
            ok = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
        }
    }
    ::close(fd);
    return ok;
}
}  // namespace

struct NetworkReachability::State {
    std::mutex mutex;
    Callback callback;
    std::weak_ptr<NetworkReachability> owner;
    std::weak_ptr<RunLoop> loop;
    std::shared_ptr<Timer> timer;
    bool scheduled = false;
    bool checking = false;
    uint64_t generation = 0;  // bumped by every schedule and unschedule
    std::optional<uint32_t> flags;
    bool reported = false;
    std::string host;
    int port = 0;
};

NetworkReachability::NetworkReachability(std::string host, int port)
    : host_(std::move(host)), port_(port), state_(std::make_shared<State>()) {
    state_->host = host_;
    state_->port = port_;
}

std::shared_ptr<NetworkReachability> NetworkReachability::withName(std::string host, int port) {
    if (host.empty() || port <= 0 || port > 65535) return nullptr;
    std::shared_ptr<NetworkReachability> target(new NetworkReachability(std::move(host), port));
    target->state_->owner = target;
    return target;
}

NetworkReachability::~NetworkReachability() { unscheduleFromRunLoop(); }

TimeInterval NetworkReachability::pollInterval() { return gPollInterval.load(); }
void NetworkReachability::setPollInterval(TimeInterval seconds) { gPollInterval.store(seconds > 0 ? seconds : 5.0); }

void NetworkReachability::setCallback(Callback callback) {
    std::lock_guard lock(state_->mutex);
    state_->callback = std::move(callback);
}

std::optional<uint32_t> NetworkReachability::flags() const {
    std::lock_guard lock(state_->mutex);
    return state_->flags;
}

uint32_t NetworkReachability::checkHost(const std::string& host, int port, TimeInterval connectTimeout) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || !list) return 0;
    uint32_t flags = 0;
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (connects(ai, connectTimeout)) {
            flags = kNetworkReachabilityFlagsReachable;
            break;
        }
    }
    ::freeaddrinfo(list);
    return flags;
}

namespace {

// Starts one check unless one runs; its result reaches the loop of the current schedule.
void startCheck(const std::shared_ptr<NetworkReachability::State>& state);

}  // namespace

bool NetworkReachability::scheduleWithRunLoop(const std::shared_ptr<RunLoop>& loop) {
    if (!loop) return false;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->scheduled) return false;
        state_->scheduled = true;
        state_->loop = loop;
        ++state_->generation;
        std::weak_ptr<State> weak = state_;
        state_->timer = Timer::scheduled(pollInterval(), true, [weak](Timer&) {
            if (auto s = weak.lock()) startCheck(s);
        }, loop);
    }
    startCheck(state_);
    return true;
}

void NetworkReachability::unscheduleFromRunLoop() {
    std::shared_ptr<Timer> timer;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->scheduled) return;
        state_->scheduled = false;
        ++state_->generation;
        state_->loop.reset();
        timer = std::move(state_->timer);
    }
    if (timer) timer->invalidate();
}

namespace {

void startCheck(const std::shared_ptr<NetworkReachability::State>& state) {
    uint64_t generation;
    std::string host;
    int port;
    {
        std::lock_guard lock(state->mutex);
        if (!state->scheduled || state->checking) return;
        state->checking = true;
        generation = state->generation;
        host = state->host;
        port = state->port;
    }
    DispatchQueue::global()->async([state, generation, host, port] {
        uint32_t flags = NetworkReachability::checkHost(host, port, kConnectTimeout);
        std::shared_ptr<RunLoop> loop;
        {
            std::lock_guard lock(state->mutex);
            state->checking = false;
            if (state->generation != generation || !state->scheduled) return;
            loop = state->loop.lock();
        }
        if (!loop) return;
        loop->post([state, generation, flags] {
            NetworkReachability::Callback callback;
            std::shared_ptr<NetworkReachability> owner;
            {
                std::lock_guard lock(state->mutex);
                if (state->generation != generation || !state->scheduled) return;
                bool changed = !state->reported || state->flags != flags;
                state->flags = flags;
                state->reported = true;
                if (!changed) return;
                callback = state->callback;
                owner = state->owner.lock();
            }
            if (callback && owner) callback(*owner, flags);
        });
    });
}

}  // namespace

}  // namespace quorvane::platform
