#include "platform/net/NetworkThread.h"

#include <curl/curl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cmath>

#include "platform/foundation/Crypto.h"
#include "platform/foundation/Log.h"
#include "platform/net/URLSessionTransfer.h"

namespace quorvane::platform {

NetworkThread& NetworkThread::shared() {
    static NetworkThread* thread = new NetworkThread();  // runs for the life of the process
    return *thread;
}

NetworkThread::NetworkThread() {
    keepCryptoLibraryUntilExit();  // before curl sets OpenSSL up
    curl_global_init(CURL_GLOBAL_DEFAULT);
    multi_ = curl_multi_init();
    // Keep idle connections for reuse. (By default curl keeps four per transfer in progress,
    // so connections closed as the last transfers of a burst ended and had to be set up again.)
    curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, 64L);
    std::thread t([this] { run(); });
    threadId_ = t.get_id();
    pid_ = ::getpid();
    t.detach();
    // At exit this runs before the libraries' destructors, which tear the TLS library down: a
    // connection the server closes while the process ends must not reach it then.
    std::atexit([] { NetworkThread::shared().park(2.0); });
}

bool NetworkThread::park(double seconds) {
    // A forked child has no network thread to stop.
    if (isCurrent() || ::getpid() != pid_) return false;
    {
        std::lock_guard lock(mutex_);
        parkRequested_ = true;
    }
    curl_multi_wakeup(multi_);
    std::unique_lock lock(mutex_);
    return parkedChanged_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return parked_; });
}

void NetworkThread::post(std::function<void()> block) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        commands_.push_back(std::move(block));
        if (!wakePending_) wakePending_ = wake = true;
    }
    if (wake) curl_multi_wakeup(multi_);
}

void NetworkThread::track(const std::shared_ptr<URLSessionTransfer>& transfer) {
    tracked_.push_back(transfer);
    nextDeadlineCheck_ = std::min(nextDeadlineCheck_, transfer->deadline());
}

void NetworkThread::cancelEverything() {
    cancelEverything_.store(true);
    post([this] {
        auto snapshot = tracked_;  // each untracks itself
        for (auto& t : snapshot) t->cancelInFlight();
    });
}

void NetworkThread::untrack(URLSessionTransfer* transfer) {
    std::erase_if(tracked_, [transfer](const auto& t) { return t.get() == transfer; });
}

void* NetworkThread::acquireEasy() {
    if (easyPool_.empty()) return curl_easy_init();
    void* e = easyPool_.back();
    easyPool_.pop_back();
    return e;
}

void NetworkThread::releaseEasy(void* easy) {
    CURL* e = static_cast<CURL*>(easy);
    // A pooled handle keeps nothing of its last transfer: not the session's connections, not its
    // options, and not curl's count of retries on dead reused connections, which otherwise grows
    // across transfers until a single stale keep-alive connection fails a request.
    curl_easy_setopt(e, CURLOPT_SHARE, nullptr);
    curl_easy_reset(e);
    if (easyPool_.size() < 64) easyPool_.push_back(e);
    else curl_easy_cleanup(e);
}

void NetworkThread::atEndOfPass(std::function<void()> block) { endOfPass_.push_back(std::move(block)); }

void NetworkThread::checkDeadlines() {
    double now = URLSessionTransfer::steadyNow();
    // Copy: a transfer that times out untracks itself.
    auto snapshot = tracked_;
    for (auto& t : snapshot) t->checkDeadline(now);
}

void NetworkThread::run() {
    pthread_setname_np(pthread_self(), "quorvane-net");
    std::vector<std::function<void()>> batch;
    while (true) {
        {
            std::unique_lock lock(mutex_);
            if (parkRequested_) {
                parked_ = true;
                parkedChanged_.notify_all();
                parkedChanged_.wait(lock, [] { return false; });  // until the process ends
            }
            batch.swap(commands_);
            wakePending_ = false;
        }
        for (auto& block : batch) block();
        batch.clear();

        int running = 0;
        curl_multi_perform(multi_, &running);
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
            if (msg->msg != CURLMSG_DONE) continue;
            URLSessionTransfer* raw = nullptr;
            curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &raw);
            CURLcode result = msg->data.result;
            if (!raw) continue;
            auto transfer = raw->shared_from_this();
            transfer->curlDone(int(result));
        }

        double now = URLSessionTransfer::steadyNow();
        if (now >= nextDeadlineCheck_) {
            checkDeadlines();
            now = URLSessionTransfer::steadyNow();
            double next = now + 1.0;
            for (const auto& t : tracked_) next = std::min(next, t->deadline());
            nextDeadlineCheck_ = std::max(next, now + 0.005);
        }
        while (!endOfPass_.empty()) {
            auto blocks = std::move(endOfPass_);
            endOfPass_.clear();
            for (auto& block : blocks) block();
        }
        {
            std::lock_guard lock(mutex_);
            if (!commands_.empty()) continue;
        }
        int timeoutMs = int(std::clamp((nextDeadlineCheck_ - now) * 1000.0, 1.0, 1000.0));
        long curlTimeout = -1;
        curl_multi_timeout(multi_, &curlTimeout);
        if (curlTimeout >= 0) timeoutMs = std::min<int>(timeoutMs, int(curlTimeout));
        curl_multi_poll(multi_, nullptr, 0, timeoutMs, nullptr);
    }
}

}  // namespace quorvane::platform
