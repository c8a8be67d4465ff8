#include "tests/support/FakeIngestionServer.h"

#include <chrono>

#include "platform/foundation/Gzip.h"
#include "platform/foundation/Strings.h"

namespace quorvane::test {

std::optional<std::string> FakeIngestionServer::Batch::header(std::string_view name) const {
    for (const auto& [k, v] : headers)
        if (platform::asciiEqualsIgnoringCase(k, name)) return v;
    return std::nullopt;
}

FakeIngestionServer::FakeIngestionServer() {
    server_.on("POST", "/logs", [this](const TestRequest& rq, TestResponse& rs) { handle(rq, rs); });
    server_.on("POST", "/OneCollector/1.0/", [this](const TestRequest& rq, TestResponse& rs) { handle(rq, rs); });
}

void FakeIngestionServer::script(std::vector<Answer> answers) {
    std::lock_guard lock(mutex_);
    script_.assign(answers.begin(), answers.end());
}

void FakeIngestionServer::handle(const TestRequest& request, TestResponse& response) {
    Batch batch;
    batch.path = request.path;
    batch.headers = request.headers;
    batch.body = request.body;
    const auto encoding = request.header("Content-Encoding");
    batch.gzipped = encoding && platform::asciiEqualsIgnoringCase(*encoding, "gzip");
    if (batch.body.size() >= 2 && uint8_t(batch.body[0]) == 0x1f && uint8_t(batch.body[1]) == 0x8b)
        batch.body = platform::gzipDecompress(batch.body).value_or("");
    if (request.path == "/logs") {
        if (auto json = platform::Value::fromJSON(batch.body)) batch.logs = (*json)["logs"].asArray();
    } else {
        for (const auto& line : platform::split(batch.body, "\n"))
            if (auto json = platform::Value::fromJSON(line)) batch.logs.push_back(*json);
    }
    Answer answer;
    std::function<std::optional<Answer>(const Batch&)> rule;
    {
        std::lock_guard lock(mutex_);
        rule = rule_;
    }
    auto ruled = rule ? rule(batch) : std::nullopt;
    if (ruled) {
        answer = *ruled;
    } else {
        std::lock_guard lock(mutex_);
        if (!script_.empty()) {
            answer = script_.front();
            script_.pop_front();
        }
    }
    response.status = answer.status;
    response.headers = answer.headers;
    response.delay = answer.delay;
    response.contentType = "application/json";
    response.body = R"({"status":"Success"})";
    if (answer.dropConnection) response.closeAfter = 2;
    response.hangUp = answer.status == kNoAnswer;
    batch.status = answer.dropConnection ? 0 : answer.status;
    std::lock_guard lock(mutex_);
    if (batch.status >= 200 && batch.status < 300) acceptedLogs_ += batch.logs.size();
    batches_.push_back(std::move(batch));
    cv_.notify_all();
}

void FakeIngestionServer::setRule(std::function<std::optional<Answer>(const Batch&)> rule) {
    std::lock_guard lock(mutex_);
    rule_ = std::move(rule);
}

std::vector<FakeIngestionServer::Batch> FakeIngestionServer::batches() const {
    std::lock_guard lock(mutex_);
    return batches_;
}

std::vector<platform::Value> FakeIngestionServer::acceptedLogs() const {
    std::lock_guard lock(mutex_);
    std::vector<platform::Value> logs;
    for (const auto& b : batches_)
        if (b.status >= 200 && b.status < 300) logs.insert(logs.end(), b.logs.begin(), b.logs.end());
    return logs;
}

size_t FakeIngestionServer::batchCount() const {
    std::lock_guard lock(mutex_);
    return batches_.size();
}

bool FakeIngestionServer::waitForBatchCount(size_t n, double timeoutSeconds) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] { return batches_.size() >= n; });
}

bool FakeIngestionServer::waitForAcceptedLogCount(size_t n, double timeoutSeconds) const {
    std::unique_lock lock(mutex_);
    for (size_t seen = acceptedLogs_; acceptedLogs_ < n; seen = acceptedLogs_)
        if (!cv_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] { return acceptedLogs_ != seen; }))
            return false;
    return true;
}

void FakeIngestionServer::clear() {
    std::lock_guard lock(mutex_);
    batches_.clear();
    script_.clear();
    rule_ = nullptr;
    acceptedLogs_ = 0;
}

}  // namespace quorvane::test
