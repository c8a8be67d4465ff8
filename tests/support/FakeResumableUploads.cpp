#include "tests/support/FakeResumableUploads.h"

#include <chrono>
#include <thread>

#include "platform/foundation/Crypto.h"
#include "platform/foundation/Value.h"

namespace quorvane::test {

FakeResumableUploads::FakeResumableUploads(TestHTTPServer& server, std::string prefix)
    : server_(server), prefix_(std::move(prefix)) {
    server_.on("POST", prefix_ + "/resumable", [this](const TestRequest& req, TestResponse& res) { start(req, res); });
    server_.on("PUT", prefix_ + "/session/*", [this](const TestRequest& req, TestResponse& res) { session(req, res); });
}

std::string FakeResumableUploads::startURL() const { return server_.baseURL() + prefix_ + "/resumable"; }
std::string FakeResumableUploads::sessionURL(const std::string& id) const {
    return server_.baseURL() + prefix_ + "/session/" + id;
}

std::vector<FakeResumableUploads::Upload> FakeResumableUploads::uploads() const {
    std::lock_guard lock(mutex_);
    std::vector<Upload> out;
    for (const auto& [id, upload] : uploads_) out.push_back(upload);
    return out;
}

std::vector<std::string> FakeResumableUploads::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

void FakeResumableUploads::setGranularity(int64_t bytes) {
    std::lock_guard lock(mutex_);
    granularity_ = bytes;
}

void FakeResumableUploads::failNextChunks(int n) {
    std::lock_guard lock(mutex_);
    failNext_ = n;
}

void FakeResumableUploads::cutNextChunks(int n) {
    std::lock_guard lock(mutex_);
    cutNext_ = n;
}

void FakeResumableUploads::stallChunksFrom(std::optional<int64_t> offset) {
    std::lock_guard lock(mutex_);
    stallFrom_ = offset;
}

void FakeResumableUploads::setFinalAnswer(FinalAnswer answer) {
    std::lock_guard lock(mutex_);
    finalAnswer_ = std::move(answer);
}

bool FakeResumableUploads::waitForStalledChunks(size_t n, double timeoutSeconds) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (true) {
        {
            std::lock_guard lock(mutex_);
            if (stalled_ >= n) return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void FakeResumableUploads::start(const TestRequest& req, TestResponse& res) {
    if (req.header("X-Goog-Upload-Protocol") != "resumable" || req.header("X-Goog-Upload-Command") != "start") {
        res.status = 400;
        return;
    }
    std::lock_guard lock(mutex_);
    Upload upload;
    upload.id = "u" + std::to_string(++serial_);
    upload.mimeType = req.header("X-Goog-Upload-Content-Type").value_or("");
    upload.declaredLength = std::stoll(req.header("X-Goog-Upload-Content-Length").value_or("-1"));
    uploads_[upload.id] = upload;
    res.setHeader("X-Goog-Upload-URL", sessionURL(upload.id));
    res.setHeader("X-Goog-Upload-Status", "active");
    if (granularity_ > 0) res.setHeader("X-Goog-Upload-Chunk-Granularity", std::to_string(granularity_));
}

void FakeResumableUploads::session(const TestRequest& req, TestResponse& res) {
    std::string id = req.path.substr(req.path.rfind('/') + 1);
    std::string command = req.header("X-Goog-Upload-Command").value_or("");
    std::unique_lock lock(mutex_);
    auto found = uploads_.find(id);
    if (found == uploads_.end()) {
        res.status = 404;
        return;
    }
    Upload& upload = found->second;
    auto status = [&] { return upload.cancelled ? "cancelled" : upload.finalized ? "final" : "active"; };
    if (command == "query" || command == "cancel") {
        commands_.push_back(command);
        if (command == "cancel" && !upload.finalized) upload.cancelled = true;
        res.setHeader("X-Goog-Upload-Status", status());
        res.setHeader("X-Goog-Upload-Size-Received", std::to_string(upload.bytes.size()));
        if (granularity_ > 0) res.setHeader("X-Goog-Upload-Chunk-Granularity", std::to_string(granularity_));
        return;
    }
    int64_t offset = std::stoll(req.header("X-Goog-Upload-Offset").value_or("-1"));
    commands_.push_back(command + " " + std::to_string(offset) + " " + std::to_string(req.body.size()));
    if (upload.cancelled || upload.finalized) {
        res.status = 400;
        res.setHeader("X-Goog-Upload-Status", status());
        return;
    }
    if (stallFrom_ && offset >= *stallFrom_) {
        ++stalled_;
        res.setHeader("X-Goog-Upload-Status", "active");
        res.body = "held";
        res.stallAfter = 0;
        return;
    }
    if (cutNext_ > 0) {
        --cutNext_;
        res.body = "cut off";
        res.closeAfter = 0;
        return;
    }
    if (failNext_ > 0) {
        --failNext_;
        res.status = 503;
        res.setHeader("X-Goog-Upload-Status", "active");
        return;
    }
    if (offset != int64_t(upload.bytes.size())) {
        res.status = 400;
        res.body = "offset " + std::to_string(offset) + " is not " + std::to_string(upload.bytes.size());
        res.setHeader("X-Goog-Upload-Status", "active");
        return;
    }
    upload.bytes += req.body;
    if (command.find("finalize") != std::string::npos) {
        upload.finalized = true;
        if (finalAnswer_) {
            finalAnswer_(upload, res);
            res.setHeader("X-Goog-Upload-Status", status());
            return;
        }
        res.contentType = "application/json";
        res.body = platform::Value::dictionary({{"size", platform::Value(int64_t(upload.bytes.size()))},
                                                {"sha256", platform::Value(platform::sha256Hex(upload.bytes))}})
                       .toJSON();
    }
    res.setHeader("X-Goog-Upload-Status", status());
}

}  // namespace quorvane::test
