#pragma once
// The fake telemetry ingestion: the loopback HTTPS test server answering the Rev Azezar
// ingestion ("/logs") and the One Collector ("/OneCollector/1.0/"). It records every batch it
// receives (gzip bodies decoded) with the status it answered, and follows a script of answers:
// a status with headers, a delay, a connection dropped in the middle of the answer, or one
// closed with no answer at all. A rule
// may answer by what a batch holds; unscripted requests get 200.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "tests/support/TestHTTPServer.h"

namespace quorvane::test {

class FakeIngestionServer {
public:
    // The status of an answer never given: the connection closes once the request is read.
    static constexpr int kNoAnswer = 0;
    struct Answer {
        Answer(int status = 200, double delay = 0, bool dropConnection = false,
               std::vector<std::pair<std::string, std::string>> headers = {})
            : status(status), delay(delay), dropConnection(dropConnection), headers(std::move(headers)) {}
        int status;
        double delay;
        bool dropConnection;
        std::vector<std::pair<std::string, std::string>> headers;
    };
    struct Batch {
        std::string path;
        std::vector<std::pair<std::string, std::string>> headers;
        bool gzipped = false;
        std::string body;                 // decoded
        std::vector<platform::Value> logs;  // the "logs" array, or one object per line
        int status = 0;                   // what the server answered (0: dropped)

        std::optional<std::string> header(std::string_view name) const;
    };

    FakeIngestionServer();
    std::string baseURL() const { return server_.baseURL(); }
    TestHTTPServer& server() { return server_; }

    // Answers for the next requests, in order.
    void script(std::vector<Answer> answers);
    // Asked first for every batch; its answer, when it gives one, replaces the script's.
    void setRule(std::function<std::optional<Answer>(const Batch&)> rule);
    std::vector<Batch> batches() const;
    // The logs of the batches answered with a 2xx, in order.
    std::vector<platform::Value> acceptedLogs() const;
    size_t batchCount() const;
    bool waitForBatchCount(size_t n, double timeoutSeconds) const;
    // Gives up only when no further log was accepted for timeoutSeconds: a long stream of batches
    // on a loaded machine is slow, not stuck.
    bool waitForAcceptedLogCount(size_t n, double timeoutSeconds) const;
    void clear();

    FakeIngestionServer(const FakeIngestionServer&) = delete;
    FakeIngestionServer& operator=(const FakeIngestionServer&) = delete;
    // The handlers reach the members below the server: no handler may still run when those go.
    ~FakeIngestionServer() { server_.stop(); }

private:
    void handle(const TestRequest& request, TestResponse& response);

    TestHTTPServer server_;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::deque<Answer> script_;
    std::function<std::optional<Answer>(const Batch&)> rule_;
    std::vector<Batch> batches_;
    size_t acceptedLogs_ = 0;
};

}  // namespace quorvane::test
