#pragma once
// Helpers for the session fetcher tests: running a fetch to its end on the main run loop,
// counting notifications, and a scriptable authorizer.

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fetcher/QNSessionFetcher.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "tests/support/TestHTTPServer.h"

namespace quorvane::test {

inline platform::Bytes bytesOf(std::string_view s) { return platform::Bytes(s.begin(), s.end()); }
// Bytes of every value in a pattern that does not repeat at any short period.
inline std::string patternBody(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = char((i * 131 + i / 7) & 0xff);
    return s;
}
inline std::string stringOf(const std::optional<platform::Bytes>& b) {
    return b ? std::string(b->begin(), b->end()) : std::string();
}

// What a fetch ended with.
struct FetchOutcome {
    int calls = 0;
    std::optional<platform::Bytes> data;
    std::optional<platform::Error> error;
    bool onMainThread = false;
};

// Begins the fetch and pumps the main run loop until the completion ran (or timeout).
inline std::shared_ptr<FetchOutcome> beginFetch(const std::shared_ptr<QNSessionFetcher>& fetcher) {
    auto outcome = std::make_shared<FetchOutcome>();
    fetcher->beginFetchWithCompletionHandler(
        [outcome](const std::optional<platform::Bytes>& data, const std::optional<platform::Error>& error) {
            outcome->calls++;
            outcome->data = data;
            outcome->error = error;
            outcome->onMainThread = platform::RunLoop::isMainThread();
        });
    return outcome;
}

// Bounds are generous: a loaded machine running the sanitizer build can take seconds a request.
inline bool pumpUntil(const std::function<bool()>& predicate, double timeout = 60) {
    return platform::RunLoop::main()->runUntil(predicate, timeout);
}

inline std::shared_ptr<FetchOutcome> fetchToEnd(const std::shared_ptr<QNSessionFetcher>& fetcher, double timeout = 60) {
    auto outcome = beginFetch(fetcher);
    EXPECT_TRUE(pumpUntil([&] { return outcome->calls > 0; }, timeout));
    // Let anything wrongly dispatched after the completion show up.
    platform::RunLoop::main()->runUntil([] { return false; }, 0.02);
    return outcome;
}

// A fresh directory, made the process's temporary directory ($TMPDIR) while the object lives.
class ScopedTemporaryDirectory {
public:
    ScopedTemporaryDirectory() {
        if (const char* old = std::getenv("TMPDIR")) saved_ = old;
        std::string tmpl = (std::filesystem::temp_directory_path() / "quorvane-tmp-XXXXXX").string();
        if (::mkdtemp(tmpl.data())) path = tmpl;
        if (!path.empty()) ::setenv("TMPDIR", path.c_str(), 1);
    }
    ~ScopedTemporaryDirectory() {
        saved_ ? ::setenv("TMPDIR", saved_->c_str(), 1) : ::unsetenv("TMPDIR");
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    ScopedTemporaryDirectory(const ScopedTemporaryDirectory&) = delete;
    ScopedTemporaryDirectory& operator=(const ScopedTemporaryDirectory&) = delete;

    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(path, ec)) names.push_back(entry.path().filename());
        return names;
    }
    bool empty() const { return entries().empty(); }

    std::filesystem::path path;

private:
    std::optional<std::string> saved_;
};

// Counts the fetcher notifications posted for one fetcher.
class NotificationCounter {
public:
    explicit NotificationCounter(const std::shared_ptr<QNSessionFetcher>& fetcher) {
        for (const char* name : {kQNSessionFetcherStartedNotification, kQNSessionFetcherStoppedNotification,
                                 kQNSessionFetcherRetryDelayStartedNotification,
                                 kQNSessionFetcherRetryDelayStoppedNotification,
                                 kQNSessionFetcherCompletionInvokedNotification}) {
            tokens_.push_back(platform::NotificationCenter::defaultCenter().addObserver(
                name, fetcher.get(), nullptr, [this](const platform::Notification& n) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    names_.push_back(n.name);
                    userInfos_.push_back(n.userInfo);
                }));
        }
    }
    int count(const std::string& name) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return int(std::count(names_.begin(), names_.end(), name));
    }
    std::vector<std::string> names() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return names_;
    }
    platform::Value lastUserInfo(const std::string& name) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = names_.size(); i-- > 0;) {
            if (names_[i] == name) return userInfos_[i];
        }
        return platform::Value();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> names_;
    std::vector<platform::Value> userInfos_;
    std::vector<platform::NotificationCenter::TokenPtr> tokens_;
};

// An authorizer that signs with "Bearer <token>", either at once or when the test says so,
// and that can be primed for a refresh (the next token changes).
class TestAuthorizer : public QNFetcherAuthorizationProtocol {
public:
    void authorizeRequest(const std::shared_ptr<platform::URLRequest>& request, AuthorizationCompletion completion) override {
        std::unique_lock<std::mutex> lock(mutex_);
        authorizeCalls++;
        if (holdRequests) {
            waiting_.push_back({request, completion});
            return;
        }
        request->setValue("Bearer " + token, "Authorization");
        lock.unlock();
        completion(request, failWith);
    }
    void stopAuthorization() override {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_.clear();
    }
    void stopAuthorizationForRequest(const std::shared_ptr<platform::URLRequest>& request) override {
        std::lock_guard<std::mutex> lock(mutex_);
        stopCalls++;
        if (ignoreStops) return;
        for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
            if (it->first == request) {
                waiting_.erase(it);
                stoppedWaiting++;
                return;
            }
        }
    }
    bool isAuthorizingRequest(const std::shared_ptr<platform::URLRequest>& request) const override {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& w : waiting_) {
            if (w.first == request) return true;
        }
        return false;
    }
    bool isAuthorizedRequest(const platform::URLRequest& request) const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return request.valueForHTTPHeaderField("Authorization") == "Bearer " + token;
    }
    std::optional<std::string> userEmail() const override { return std::nullopt; }
    std::optional<bool> primeForRefresh() override {
        std::lock_guard<std::mutex> lock(mutex_);
        primeCalls++;
        if (!canRefresh) return false;
        token = token + "-fresh";
        return true;
    }
    // Answers every held request now, signing it.
    void releaseHeld() {
        std::deque<std::pair<std::shared_ptr<platform::URLRequest>, AuthorizationCompletion>> held;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            held.swap(waiting_);
        }
        for (auto& [request, completion] : held) {
            request->setValue("Bearer " + token, "Authorization");
            completion(request, std::nullopt);
        }
    }
    size_t heldCount() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return waiting_.size();
    }

    std::string token = "t1";
    bool canRefresh = true;
    bool holdRequests = false;
    bool ignoreStops = false;  // an authorizer that misses the fetcher's stop
    std::optional<platform::Error> failWith;
    int authorizeCalls = 0, primeCalls = 0, stopCalls = 0, stoppedWaiting = 0;

private:
    mutable std::mutex mutex_;
    std::deque<std::pair<std::shared_ptr<platform::URLRequest>, AuthorizationCompletion>> waiting_;
};

}  // namespace quorvane::test
