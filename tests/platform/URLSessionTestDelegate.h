#pragma once
// A URL session delegate for tests: records every call in order (and whether it ran on the
// session's delegate queue), answers redirects, challenges, responses and body streams as the
// test scripts, and lets the test wait for completions with a deadline.

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/net/URLSession.h"

namespace quorvane::test {

using namespace quorvane::platform;

class RecordingDelegate : public URLSessionDelegate {
public:
    struct TaskRecord {
        std::vector<std::string> events;
        std::vector<std::shared_ptr<const URLResponse>> responses;
        Bytes data;
        std::optional<Error> error;
        int completions = 0;
        int64_t lastTotalSent = 0, lastExpectedToSend = 0;
        int64_t lastTotalWritten = 0, lastExpectedToWrite = 0;
        std::string downloadedContents;
        std::filesystem::path downloadLocation;
        std::vector<std::pair<int64_t, int64_t>> resumedAt;
        std::vector<URLAuthenticationChallenge> challenges;
        std::vector<URLRequest> redirects;
        int bodyStreamRequests = 0;
    };

    // Scripts (optional). Each gets the task and returns the answer.
    std::function<std::optional<URLRequest>(const std::shared_ptr<const HTTPURLResponse>&, const URLRequest&)> onRedirect;
    std::function<std::pair<URLSessionAuthChallengeDisposition, std::optional<URLCredential>>(const URLAuthenticationChallenge&)>
        onChallenge;
    std::function<URLSessionResponseDisposition(const std::shared_ptr<const URLResponse>&)> onResponse;
    std::function<std::shared_ptr<InputStream>()> onBodyStream;
    // Keep response completions for the test to call later (answerHeldResponses).
    bool holdResponses = false;

    std::shared_ptr<OperationQueue> queue;  // the queue every call must run on

    TaskRecord record(const std::shared_ptr<URLSessionTask>& task) {
        std::lock_guard lock(mutex_);
        return records_[task->taskIdentifier()];
    }
    int totalCompletions() {
        std::lock_guard lock(mutex_);
        return completions_;
    }
    bool offQueue() {
        std::lock_guard lock(mutex_);
        return offQueue_;
    }
    std::vector<std::string> sessionEvents() {
        std::lock_guard lock(mutex_);
        return sessionEvents_;
    }
    bool waitForCompletions(int n, double timeout = 60) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::duration<double>(timeout), [&] { return completions_ >= n; });
    }
    bool waitForInvalid(double timeout = 60) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::duration<double>(timeout), [&] { return invalid_; });
    }
    // Waits until the predicate holds. It runs without the lock (it may read records), so a delegate
    // call can slip in between it and the wait, and it may read what no delegate call announces (a
    // task's byte counts): it is asked again every few milliseconds, not only when woken.
    bool waitFor(const std::function<bool()>& predicate, double timeout = 60) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
        while (!predicate()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::unique_lock lock(mutex_);
            cv_.wait_for(lock, std::chrono::milliseconds(5));
        }
        return true;
    }
    void poke() { cv_.notify_all(); }
    size_t heldResponseCount() {
        std::lock_guard lock(mutex_);
        return heldResponses_.size();
    }
    // Answers the held response of the task from the calling thread.
    void answerHeldResponse(const std::shared_ptr<URLSessionTask>& task, URLSessionResponseDisposition d) {
        ResponseCompletion completion;
        {
            std::lock_guard lock(mutex_);
            for (auto it = heldResponses_.begin(); it != heldResponses_.end(); ++it) {
                if (it->first == task->taskIdentifier()) {
                    completion = std::move(it->second);
                    heldResponses_.erase(it);
                    break;
                }
            }
        }
        if (completion) completion(d);
    }

    // --- delegate ---
    void didBecomeInvalidWithError(const std::shared_ptr<URLSession>&, const std::optional<Error>&) override {
        note(0, "invalid");
        std::lock_guard lock(mutex_);
        invalid_ = true;
        cv_.notify_all();
    }
    void willPerformHTTPRedirection(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>& task,
                                    const std::shared_ptr<const HTTPURLResponse>& response, const URLRequest& newRequest,
                                    RedirectCompletion completion) override {
        note(task->taskIdentifier(), "redirect", [&](TaskRecord& r) {
            r.responses.push_back(response);
            r.redirects.push_back(newRequest);
        });
        completion(onRedirect ? onRedirect(response, newRequest) : std::optional<URLRequest>(newRequest));
    }
    void didReceiveChallenge(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>& task,
                             const URLAuthenticationChallenge& challenge, ChallengeCompletion completion) override {
        note(task->taskIdentifier(), "challenge", [&](TaskRecord& r) { r.challenges.push_back(challenge); });
        if (onChallenge) {
            auto [d, c] = onChallenge(challenge);
            completion(d, c);
        } else {
            completion(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
        }
    }
    void needNewBodyStream(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>& task,
                           BodyStreamCompletion completion) override {
        note(task->taskIdentifier(), "bodystream", [&](TaskRecord& r) { ++r.bodyStreamRequests; });
        completion(onBodyStream ? onBodyStream() : nullptr);
    }
    void didSendBodyData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>& task, int64_t,
                         int64_t total, int64_t expected) override {
        note(task->taskIdentifier(), "sent", [&](TaskRecord& r) {
            r.lastTotalSent = total;
            r.lastExpectedToSend = expected;
        });
    }
    void didCompleteWithError(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>& task,
                              const std::optional<Error>& error) override {
        note(task->taskIdentifier(), "complete", [&](TaskRecord& r) {
            r.error = error;
            ++r.completions;
        });
        std::lock_guard lock(mutex_);
        ++completions_;
        cv_.notify_all();
    }
    void didReceiveResponse(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>& task,
                            const std::shared_ptr<const URLResponse>& response, ResponseCompletion completion) override {
        note(task->taskIdentifier(), "response", [&](TaskRecord& r) { r.responses.push_back(response); });
        if (holdResponses) {
            std::lock_guard lock(mutex_);
            heldResponses_.emplace_back(task->taskIdentifier(), std::move(completion));
            cv_.notify_all();
            return;
        }
        completion(onResponse ? onResponse(response) : URLSessionResponseDisposition::Allow);
    }
    void didReceiveData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>& task,
                        const Bytes& data) override {
        note(task->taskIdentifier(), "data", [&](TaskRecord& r) { r.data.insert(r.data.end(), data.begin(), data.end()); });
    }
    void didFinishDownloadingToURL(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDownloadTask>& task,
                                   const URL& location) override {
        std::ifstream in(location.path(), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        note(task->taskIdentifier(), "downloaded", [&](TaskRecord& r) {
            r.downloadedContents = ss.str();
            r.downloadLocation = location.path();
        });
    }
    void didWriteData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDownloadTask>& task, int64_t,
                      int64_t total, int64_t expected) override {
        note(task->taskIdentifier(), "written", [&](TaskRecord& r) {
            r.lastTotalWritten = total;
            r.lastExpectedToWrite = expected;
        });
    }
    void didResumeAtOffset(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDownloadTask>& task,
                           int64_t offset, int64_t expected) override {
        note(task->taskIdentifier(), "resumed", [&](TaskRecord& r) { r.resumedAt.emplace_back(offset, expected); });
    }

private:
    void note(uint64_t task, const std::string& event, const std::function<void(TaskRecord&)>& f = nullptr) {
        std::lock_guard lock(mutex_);
        if (queue && !queue->isCurrent()) offQueue_ = true;
        if (task != 0) {
            auto& r = records_[task];
            // Collapse runs of progress events, so event lists read as a protocol.
            bool repeat = !r.events.empty() && r.events.back() == event &&
                          (event == "data" || event == "sent" || event == "written");
            if (!repeat) r.events.push_back(event);
            if (f) f(r);
        }
        sessionEvents_.push_back(event);
        cv_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::map<uint64_t, TaskRecord> records_;
    std::vector<std::pair<uint64_t, ResponseCompletion>> heldResponses_;
    std::vector<std::string> sessionEvents_;
    int completions_ = 0;
    bool invalid_ = false;
    bool offQueue_ = false;
};

inline Bytes toBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }
inline std::string toString(const Bytes& b) { return std::string(b.begin(), b.end()); }

// A body of the given size that is not a repeating pattern.
inline std::string randomBody(size_t size, uint32_t seed = 12345) {
    std::string s(size, '\0');
    uint32_t x = seed;
    for (auto& c : s) {
        x = x * 1664525u + 1013904223u;
        c = char(x >> 24);
    }
    return s;
}

}  // namespace quorvane::test
