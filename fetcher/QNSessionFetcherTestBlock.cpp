// QNSessionFetcher test blocks: a fetch answered without the network. The fetcher prepares its
// task as usual, hands itself to the test block, replays the callbacks a real fetch would
// have made with the block's answer, and finishes through the usual completion and retry path.

#include <fstream>

#include "fetcher/QNSessionFetcher.h"
#include "fetcher/QNSessionFetcherState.h"

namespace quorvane {


namespace {

std::mutex& globalTestBlockMutex() {
    static std::mutex m;
    return m;
}

QNSessionFetcher::TestBlock& globalTestBlockStorage() {
    static QNSessionFetcher::TestBlock* block = new QNSessionFetcher::TestBlock();
    return *block;
}

}  // namespace

namespace fetcher_detail {
QNSessionFetcher::TestBlock globalTestBlock() {
    std::lock_guard<std::mutex> lock(globalTestBlockMutex());
    return globalTestBlockStorage();
}
}  // namespace fetcher_detail

void QNSessionFetcher::setGlobalTestBlock(TestBlock block) {
    std::lock_guard<std::mutex> lock(globalTestBlockMutex());
    globalTestBlockStorage() = std::move(block);
}

void QNSessionFetcher::simulateFetchForTestBlock() {
    auto self = shared_from_this();
    TestBlock block = testBlock();
    if (!block) return;
    block(self, [self](std::shared_ptr<const URLResponse> response, std::optional<Bytes> data, std::optional<Error> error) {
        // All nothing: the test block lets the fetch go to the network.
        if (!response && !data && !error) {
            std::shared_ptr<platform::URLSessionTask> task;
            {
                std::lock_guard<std::recursive_mutex> lock(self->mutex_);
                self->s_->callbacks.testBlock = nullptr;
                self->s_->status.isUsingTestBlock = false;
                task = self->s_->task.sessionTask;
            }
            if (task) task->resume();
            return;
        }
        if (auto provider = self->bodyStreamProvider()) {
            provider([self, response, data, error](std::shared_ptr<platform::InputStream> stream) {
                self->invokeOnCallbackQueue(platform::DispatchQueue::global(), false, [self, stream, response, data, error] {
                    std::optional<Bytes> body;
                    std::optional<Error> streamError;
                    if (stream) {
                        body = Bytes();
                        stream->open();
                        uint8_t buffer[512];
                        while (stream->hasBytesAvailable()) {
                            int64_t n = stream->read(buffer, sizeof buffer);
                            if (n <= 0) break;
                            body->insert(body->end(), buffer, buffer + n);
                        }
                        stream->close();
                        streamError = stream->streamError();
                        if (streamError) body.reset();
                    }
                    std::optional<Error> finalError = error ? error : streamError;
                    platform::DispatchQueue::main()->async([self, body, response, data, finalError] {
                        self->simulateDataCallbacksForTestBlockWithBodyData(body, response, data, finalError);
                    });
                });
            });
            return;
        }
        std::optional<Bytes> body;
        if (auto bodyData = self->bodyData()) body = *bodyData;
        std::optional<Error> finalError = error;
        if (auto bodyFile = self->bodyFileURL()) {
            std::ifstream in(std::filesystem::path(bodyFile->path()), std::ios::binary);
            if (in) {
                body = Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            } else {
                body.reset();
                // A body that cannot be read fails the fetch; the test block's own error stays
                // the error when the file reads.
                finalError = platform::posixError(errno ? errno : ENOENT, bodyFile->path());
            }
        }
        platform::DispatchQueue::main()->async([self, body, response, data, finalError] {
            self->simulateDataCallbacksForTestBlockWithBodyData(body, response, data, finalError);
        });
    });
}

void QNSessionFetcher::simulateDataCallbacksForTestBlockWithBodyData(std::optional<Bytes> bodyData,
                                                                     std::shared_ptr<const URLResponse> response,
                                                                     std::optional<Bytes> responseData,
                                                                     std::optional<Error> error) {
    auto self = shared_from_this();
    {
        QN_LOCKED;
        std::optional<URL> destination = s_->download.destinationFileURL;
        auto willRedirect = s_->callbacks.willRedirectBlock;
        auto didReceiveResponse = s_->callbacks.didReceiveResponseBlock;
        auto sendProgress = s_->callbacks.sendProgressBlock;
        auto downloadProgress = s_->callbacks.downloadProgressBlock;
        auto accumulate = s_->callbacks.accumulateDataBlock;
        auto receivedProgress = s_->callbacks.receivedProgressBlock;
        auto willCache = s_->callbacks.willCacheURLResponseBlock;
        auto challenge = s_->callbacks.challengeBlock;
        URLRequest current = s_->req.request ? *s_->req.request : URLRequest();

        if (willRedirect) {
            auto redirectResponse = std::dynamic_pointer_cast<const HTTPURLResponse>(response);
            invokeOnCallbackUnsynchronizedQueueAfterUserStopped(true, [willRedirect, redirectResponse, current] {
                willRedirect(redirectResponse, current, [](std::optional<URLRequest>) {});
            });
        }
        if (challenge) {
            std::optional<URL> url = current.url();
            platform::URLProtectionSpace space(url && url->host() ? *url->host() : std::string(),
                                               url ? url->effectivePort() : 0,
                                               url ? std::optional<std::string>(url->scheme()) : std::nullopt, std::nullopt,
                                               platform::kURLAuthenticationMethodHTTPBasic);
            platform::URLAuthenticationChallenge simulated(space, std::nullopt, 0, nullptr, std::nullopt);
            invokeOnCallbackUnsynchronizedQueueAfterUserStopped(true, [self, challenge, simulated] {
                challenge(self, simulated, [](platform::URLSessionAuthChallengeDisposition,
                                              std::optional<platform::URLCredential>) {});
            });
        }
        if (response && didReceiveResponse) {
            invokeOnCallbackUnsynchronizedQueueAfterUserStopped(true, [didReceiveResponse, response] {
                didReceiveResponse(response, [](platform::URLSessionResponseDisposition) {});
            });
        }
        if (sendProgress) {
            int64_t length = bodyData ? int64_t(bodyData->size()) : 0;
            simulateByteTransferReportWithDataLength(length, sendProgress);
        }
        if (destination) {
            if (downloadProgress) {
                int64_t length = responseData ? int64_t(responseData->size()) : 0;
                simulateByteTransferReportWithDataLength(length, downloadProgress);
            }
            if (auto written = fetcher_detail::writeDataToFile(responseData ? *responseData : Bytes(), *destination);
                !written) {
                error = written.error();
            }
        } else {
            if (responseData && (accumulate || receivedProgress)) {
                simulateByteTransferWithData(*responseData, [accumulate, receivedProgress](const Bytes& chunk, int64_t chunkLength,
                                                                                           int64_t total, int64_t) {
                    if (accumulate) accumulate(chunk);
                    if (receivedProgress) receivedProgress(chunkLength, total);
                });
            }
            if (!accumulate) s_->download.data = responseData;
            if (willCache) {
                platform::CachedURLResponse cached{response, responseData ? *responseData : Bytes()};
                invokeOnCallbackUnsynchronizedQueueAfterUserStopped(
                    true, [willCache, cached] { willCache(cached, [](std::optional<platform::CachedURLResponse>) {}); });
            }
        }
        s_->task.response = response;
    }
    std::shared_ptr<platform::OperationQueue> queue = sessionDelegateQueue();
    queue->addOperation([self, error] {
        if (error && (error->code < 200 || error->code > 399)) {
            int64_t status = error->code;
            self->shouldRetryNowForStatus(status, error, false,
                                          [self, error](bool shouldRetry) { self->finishWithError(error, shouldRetry); });
        } else {
            self->finishWithError(std::nullopt, false);
        }
    });
}

void QNSessionFetcher::simulateByteTransferReportWithDataLength(int64_t length,
                                                                std::function<void(int64_t, int64_t, int64_t)> block) {
    if (length <= 0) return;
    int64_t step = length / 3 + 1;
    int64_t sent = 0;
    while (sent < length) {
        step = std::min(step, length - sent);
        sent += step;
        int64_t thisStep = step, total = sent;
        invokeOnCallbackQueueUnlessStopped([block, thisStep, total, length] { block(thisStep, total, length); });
    }
}

void QNSessionFetcher::simulateByteTransferWithData(const Bytes& data,
                                                    std::function<void(const Bytes&, int64_t, int64_t, int64_t)> block) {
    if (data.empty()) return;
    uint64_t count;
    {
        QN_LOCKED;
        count = s_->caller.testBlockAccumulateDataChunkCount == 0 ? 1 : s_->caller.testBlockAccumulateDataChunkCount;
    }
    int64_t length = int64_t(data.size());
    int64_t chunk = length / int64_t(count) + 1;
    int64_t offset = 0;
    do {
        chunk = std::min(chunk, length - offset);
        Bytes piece(data.begin() + offset, data.begin() + offset + chunk);
        offset += chunk;
        int64_t thisChunk = chunk, total = offset;
        invokeOnCallbackQueueUnlessStopped(
            [block, piece = std::move(piece), thisChunk, total, length] { block(piece, thisChunk, total, length); });
    } while (offset < length);
}

}  // namespace quorvane
