#pragma once
// The one network thread of the process: it owns a libcurl multi handle and runs every
// transfer of every URL session. Other threads hand it work with post(); the thread itself
// runs only the session's own code, never a delegate or any other caller code.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

typedef void CURLM;

namespace quorvane::platform {

class URLSessionTransfer;

class NetworkThread {
public:
    static NetworkThread& shared();

    // Runs the block on the network thread, soon; callable from any thread.
    void post(std::function<void()> block);
    bool isCurrent() const { return std::this_thread::get_id() == threadId_; }

    // Network thread only.
    CURLM* multi() const { return multi_; }
    // Watches the transfer's deadlines; the transfer added its easy handle itself.
    void track(const std::shared_ptr<URLSessionTransfer>& transfer);
    void untrack(URLSessionTransfer* transfer);
    // An easy handle in its initial state (new, or reused and reset); give it back with releaseEasy.
    void* acquireEasy();
    void releaseEasy(void* easy);
    // Runs the block once this pass of the loop is done (so deliveries queued during the pass
    // wake the delegate queue once, not once each).
    void atEndOfPass(std::function<void()> block);

    // Ends every transfer in flight with kURLErrorCancelled, and every one that begins from now
    // on: for a program that is ending and will not wait for its requests. Any thread.
    void cancelEverything();
    bool cancellingEverything() const { return cancelEverything_.load(); }

    // Every byte of every answer received so far (headers and body, as transfers take them):
    // whether a server still answers, however slowly. Any thread.
    uint64_t bytesReceived() const { return bytesReceived_.load(std::memory_order_relaxed); }
    void noteReceived(size_t bytes) { bytesReceived_.fetch_add(bytes, std::memory_order_relaxed); }

    // Stops the thread between two passes for the rest of the process: it touches no transfer or
    // connection again (open connections are left to the kernel). Called at exit before the
    // libraries' own exit code runs, which tears the TLS library down; true once stopped, false
    // when a pass did not end within the time given.
    bool park(double seconds);

private:
    NetworkThread();
    void run();
    void checkDeadlines();

    CURLM* multi_ = nullptr;
    std::thread::id threadId_;
    int pid_ = 0;
    std::mutex mutex_;
    std::vector<std::function<void()>> commands_;
    bool wakePending_ = false;
    bool parkRequested_ = false;
    bool parked_ = false;
    std::atomic<bool> cancelEverything_{false};
    std::atomic<uint64_t> bytesReceived_{0};
    std::condition_variable parkedChanged_;
    std::vector<std::shared_ptr<URLSessionTransfer>> tracked_;  // network thread only
    std::vector<void*> easyPool_;                              // network thread only
    std::vector<std::function<void()>> endOfPass_;             // network thread only
    double nextDeadlineCheck_ = 0;
};

}  // namespace quorvane::platform
