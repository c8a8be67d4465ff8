#pragma once
// The provider's resumable upload endpoints, installed on a loopback server:
//
//   POST <prefix>/resumable          "X-Goog-Upload-Command: start": answers the upload URL
//   PUT  <prefix>/session/<id>       "upload", "upload, finalize", "finalize" (the offset must be
//                                    the bytes held, else 400), "query", "cancel"
//
// Each upload keeps the bytes it received in order; a finalised one answers its size and
// SHA-256 as JSON ({"size": n, "sha256": "hex"}). Faults: chunk requests answered 503 or cut
// off (the connection closed) without taking their bytes, and chunks from an offset on left
// unanswered until the server stops.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/TestHTTPServer.h"

namespace quorvane::test {

class FakeResumableUploads {
public:
    struct Upload {
        std::string id;
        std::string mimeType;
        int64_t declaredLength = -1;
        std::string bytes;
        bool finalized = false;
        bool cancelled = false;
    };

    FakeResumableUploads(TestHTTPServer& server, std::string prefix = "/upload");

    std::string startURL() const;
    std::string sessionURL(const std::string& id) const;
    std::vector<Upload> uploads() const;
    // The requests to upload sessions, as "command offset length" ("query", "cancel" alone).
    std::vector<std::string> commands() const;

    // The granularity the start and query answers name (0: none).
    void setGranularity(int64_t bytes);
    // The next n chunk requests are answered 503 (status "active").
    void failNextChunks(int n);
    // The next n chunk requests lose their connection before any answer.
    void cutNextChunks(int n);
    // Chunks at or beyond this offset are never answered (until the server stops); nullopt
    // answers them again.
    void stallChunksFrom(std::optional<int64_t> offset);
    // The answer to the chunk that finalises an upload (the JSON above unless set).
    using FinalAnswer = std::function<void(const Upload& upload, TestResponse& res)>;
    void setFinalAnswer(FinalAnswer answer);
    // Waits until that many chunks are being held.
    bool waitForStalledChunks(size_t n, double timeoutSeconds) const;

private:
    void start(const TestRequest& req, TestResponse& res);
    void session(const TestRequest& req, TestResponse& res);

    TestHTTPServer& server_;
    std::string prefix_;
    mutable std::mutex mutex_;
    std::map<std::string, Upload> uploads_;
    std::vector<std::string> commands_;
    int64_t granularity_ = 0;
    int failNext_ = 0, cutNext_ = 0;
    std::optional<int64_t> stallFrom_;
    FinalAnswer finalAnswer_;
    size_t stalled_ = 0;
    uint64_t serial_ = 0;
};

}  // namespace quorvane::test
