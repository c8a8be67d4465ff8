// QNSessionFetcher as the URL session delegate of its task: redirects, responses, challenges
// and server trust, body streams, progress, data accumulation, downloads to a file; and the
// one way every caller callback and notification is delivered.

#include <filesystem>
#include <fstream>

#include "fetcher/QNSessionFetcher.h"
#include "fetcher/QNSessionFetcherState.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"
#include "platform/net/URLError.h"
#include "platform/runloop/NotificationCenter.h"

namespace quorvane {


namespace {

Value errorAsValue(const Error& error) {
    Value v = Value::dictionary();
    v.set("domain", error.domain);
    v.set("code", error.code);
    v.set("userInfo", error.userInfo);
    return v;
}

}  // namespace

// --- callback delivery ---

void QNSessionFetcher::invokeOnCallbackQueue(const std::shared_ptr<platform::DispatchQueue>& queue, bool afterUserStopped,
                                             std::function<void()> block) {
    if (!queue) return;
    std::shared_ptr<platform::DispatchGroup> group;
    {
        QN_LOCKED;
        group = s_->status.callbackGroup;
    }
    auto self = shared_from_this();
    group->enter();
    queue->async([self, afterUserStopped, block = std::move(block), group] {
        bool run = true;
        if (!afterUserStopped) {
            auto svc = self->service();
            std::optional<platform::Date> stoppedAll = svc ? svc->stoppedAllFetchersDate() : std::nullopt;
            std::lock_guard<std::recursive_mutex> lock(self->mutex_);
            const auto& status = self->s_->status;
            run = !status.userStoppedFetching &&
                  (!stoppedAll || (status.initialBeginFetchDate && *status.initialBeginFetchDate > *stoppedAll));
        }
        if (run) block();
        group->leave();
    });
}

void QNSessionFetcher::invokeOnCallbackQueueAfterUserStopped(bool afterUserStopped, std::function<void()> block) {
    std::shared_ptr<platform::DispatchQueue> queue;
    {
        QN_LOCKED;
        queue = s_->callbacks.queue;
    }
    invokeOnCallbackQueue(queue, afterUserStopped, std::move(block));
}

void QNSessionFetcher::invokeOnCallbackUnsynchronizedQueueAfterUserStopped(bool afterUserStopped,
                                                                           std::function<void()> block) {
    invokeOnCallbackQueue(s_->callbacks.queue, afterUserStopped, std::move(block));
}

void QNSessionFetcher::invokeOnCallbackQueueUnlessStopped(std::function<void()> block) {
    invokeOnCallbackQueueAfterUserStopped(false, std::move(block));
}

void QNSessionFetcher::invokeFetchCallbacksOnCallbackQueueWithData(std::optional<Bytes> data, std::optional<Error> error) {
    QN_LOCKED;
    CompletionHandler handler = s_->callbacks.completionHandler;
    if (!handler) return;
    auto self = shared_from_this();
    bool secret = s_->security.isSecretExchange;
    invokeOnCallbackUnsynchronizedQueueAfterUserStopped(false, [self, handler, secret, data = std::move(data),
                                                                error = std::move(error)]() mutable {
        handler(std::move(data), error);
        Value info = Value::dictionary();
        // The handler is done with the bytes: the notification takes them over (a feed's answer
        // can be tens of megabytes), unless the handler kept them.
        if (data && !secret) info.set(kQNSessionFetcherCompletionDataKey, std::move(*data));
        if (error) info.set(kQNSessionFetcherCompletionErrorKey, secret ? errorAsValue(Error(error->domain, error->code))
                                                                        : errorAsValue(*error));
        self->postNotificationOnMainThreadWithName(kQNSessionFetcherCompletionInvokedNotification,
                                                   info.size() > 0 ? std::move(info) : Value(), false);
    });
}

void QNSessionFetcher::postNotificationOnMainThreadWithName(const std::string& name, Value userInfo, bool requireAsync) {
    platform::Notification note{name, static_cast<const void*>(this), std::move(userInfo)};
    if (platform::RunLoop::isMainThread() && !requireAsync) {
        platform::NotificationCenter::defaultCenter().post(note);
        return;
    }
    // Keep the fetcher alive until its notification has gone out.
    auto self = shared_from_this();
    platform::DispatchQueue::main()->async([self, note] { platform::NotificationCenter::defaultCenter().post(note); });
}

void QNSessionFetcher::setStopNotificationNeeded(bool flag) {
    QN_LOCKED;
    s_->status.isStopNotificationNeeded = flag;
}

void QNSessionFetcher::sendStopNotificationIfNeeded() {
    bool needed;
    {
        QN_LOCKED;
        needed = s_->status.isStopNotificationNeeded;
        s_->status.isStopNotificationNeeded = false;
    }
    if (needed) postNotificationOnMainThreadWithName(kQNSessionFetcherStoppedNotification, Value(), false);
}

// --- redirects ---

std::optional<URL> QNSessionFetcher::redirectURLWithOriginalRequestURL(const std::optional<URL>& originalRequestURL,
                                                                       const std::optional<URL>& redirectRequestURL) {
    if (!redirectRequestURL) return originalRequestURL;
    if (!originalRequestURL) return redirectRequestURL;
    std::string originalScheme = originalRequestURL->scheme().empty() ? "https" : originalRequestURL->scheme();
    const std::string& redirectScheme = redirectRequestURL->scheme();
    bool insecureToSecure = platform::equalsIgnoringCase(originalScheme, "http") &&
                            platform::equalsIgnoringCase(redirectScheme, "https");
    bool sameScheme = platform::equalsIgnoringCase(originalScheme, redirectScheme);
    if (insecureToSecure || sameScheme) return redirectRequestURL;
    return redirectRequestURL->URLByReplacingScheme(originalScheme);
}

void QNSessionFetcher::willPerformHTTPRedirection(const std::shared_ptr<platform::URLSession>& session,
                                                  const std::shared_ptr<platform::URLSessionTask>& task,
                                                  const std::shared_ptr<const HTTPURLResponse>& redirectResponse,
                                                  const URLRequest& newRequest, RedirectCompletion completionHandler) {
    if (!recordSessionTask(task)) {
        completionHandler(std::nullopt);
        return;
    }
    std::unique_lock<std::recursive_mutex> lock(mutex_);
    if (s_->status.userStoppedFetching) {
        lock.unlock();
        completionHandler(std::nullopt);
        return;
    }
    if (!redirectResponse) {
        lock.unlock();
        completionHandler(newRequest);
        return;
    }
    // Follow with the fetcher's own request (method, body, headers), at the redirect's URL and
    // with the headers the redirect names.
    URLRequest redirectRequest = s_->req.request ? *s_->req.request : newRequest;
    std::optional<URL> currentURL = s_->req.request ? s_->req.request->url() : std::nullopt;
    redirectRequest.setURL(redirectURLWithOriginalRequestURL(currentURL, newRequest.url()));
    // The credentials and the body never follow a redirect to another origin; an exchange of
    // secrets does not follow it at all.
    if (!currentURL || !redirectRequest.url() || !redirectRequest.url()->isSameOrigin(*currentURL)) {
        if (s_->security.isSecretExchange) {
            lock.unlock();
            completionHandler(std::nullopt);
            return;
        }
        redirectRequest.removeCredentialsAndBody();
    }
    for (const auto& [name, value] : newRequest.allHTTPHeaderFields()) redirectRequest.setValue(value, name);
    s_->task.response = redirectResponse;
    logNowWithError(std::nullopt);

    if (auto block = s_->callbacks.willRedirectBlock) {
        auto self = shared_from_this();
        invokeOnCallbackUnsynchronizedQueueAfterUserStopped(true, [self, block, redirectResponse, redirectRequest,
                                                                  completionHandler] {
            block(redirectResponse, redirectRequest, [self, completionHandler](std::optional<URLRequest> chosen) {
                if (chosen) self->updateMutableRequest(*chosen);
                completionHandler(chosen);
            });
        });
        return;
    }
    s_->req.request = std::make_shared<URLRequest>(redirectRequest);
    lock.unlock();
    completionHandler(redirectRequest);
}

// --- responses and data ---

void QNSessionFetcher::didReceiveResponse(const std::shared_ptr<platform::URLSession>& session,
                                          const std::shared_ptr<platform::URLSessionDataTask>& dataTask,
                                          const std::shared_ptr<const URLResponse>& response,
                                          ResponseCompletion completionHandler) {
    if (!recordSessionTask(dataTask)) {
        completionHandler(platform::URLSessionResponseDisposition::Cancel);
        return;
    }
    auto self = shared_from_this();
    // A new response starts a new body.
    auto reset = [self, completionHandler](platform::URLSessionResponseDisposition disposition) {
        {
            std::lock_guard<std::recursive_mutex> lock(self->mutex_);
            int64_t hadLength = self->s_->download.length;
            if (self->s_->download.data) self->s_->download.data->clear();
            self->s_->download.length = 0;
            if (disposition != platform::URLSessionResponseDisposition::Cancel && hadLength > 0) {
                if (auto accumulate = self->s_->callbacks.accumulateDataBlock) {
                    self->invokeOnCallbackUnsynchronizedQueueAfterUserStopped(false, [accumulate] { accumulate(std::nullopt); });
                }
            }
        }
        completionHandler(disposition);
    };
    std::unique_lock<std::recursive_mutex> lock(mutex_);
    if (auto block = s_->callbacks.didReceiveResponseBlock) {
        invokeOnCallbackUnsynchronizedQueueAfterUserStopped(true, [block, response, reset] { block(response, reset); });
        return;
    }
    lock.unlock();
    reset(platform::URLSessionResponseDisposition::Allow);
}

namespace {

// Makes room in a body held in memory for `more` bytes, so that it costs about what it holds
// and is never copied whole: the first time, room for the announced length (when there is one,
// up to the limit: a body that keeps to it is never copied); else doubling from 64 KiB, and past
// 1 MiB the limit at once. Room not yet written is address space only, not memory: pages count
// once bytes land in them, and the old buffer (at most 1 MiB) is all a growth copies.
void reserveBodyRoom(Bytes& body, size_t more, int64_t limit, int64_t expected) {
    constexpr size_t kFirstRoom = 64 * 1024, kLastDoubling = 1024 * 1024;
    const size_t needed = body.size() + more;
    if (needed <= body.capacity()) return;
    const size_t cap = limit > 0 ? size_t(limit) : SIZE_MAX;
    size_t room;
    if (body.capacity() == 0 && expected > 0) room = std::min(size_t(expected), cap);
    else if (body.capacity() < kLastDoubling || cap == SIZE_MAX) room = std::max(body.capacity() * 2, kFirstRoom);
    else room = cap;
    body.reserve(std::max(room, needed));
}

// The body's length as the response announces it, when that is the length it will have once
// decoded; -1 otherwise.
int64_t announcedBodyLength(const std::shared_ptr<const platform::URLResponse>& response) {
    auto http = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(response);
    if (!http || http->valueForHTTPHeaderField("Content-Encoding")) return -1;
    return http->expectedContentLength();
}

}  // namespace

void QNSessionFetcher::didReceiveData(const std::shared_ptr<platform::URLSession>& session,
                                      const std::shared_ptr<platform::URLSessionDataTask>& dataTask, const Bytes& data) {
    if (!recordSessionTask(dataTask)) return;
    if (data.empty()) return;
    QN_LOCKED;
    if (auto accumulate = s_->callbacks.accumulateDataBlock) {
        s_->download.length += int64_t(data.size());
        invokeOnCallbackUnsynchronizedQueueAfterUserStopped(false, [accumulate, data] { accumulate(data); });
        return;
    }
    if (s_->status.userStoppedFetching || s_->download.limitError || s_->download.errorBodyCut) return;
    int64_t held = s_->download.data ? int64_t(s_->download.data->size()) : 0;
    if (statusCodeUnsynchronized() >= 300 && held + int64_t(data.size()) > kQNSessionFetcherSmallResponseBodySize) {
        // An error answer's body is read for its words: the first part is plenty.
        if (!s_->download.data) s_->download.data = Bytes();
        size_t keep = size_t(kQNSessionFetcherSmallResponseBodySize - held);
        s_->download.data->insert(s_->download.data->end(), data.begin(), data.begin() + long(keep));
        s_->download.length = int64_t(s_->download.data->size());
        s_->download.errorBodyCut = true;
        dataTask->cancel();
        return;
    }
    if (int64_t limit = s_->download.maxBodySize; limit > 0 && held + int64_t(data.size()) > limit) {
        // Held in memory, the body may grow no further: the transfer stops here.
        Error error = platform::makeURLError(platform::kURLErrorDataLengthExceedsMaximum, dataTask->currentRequest()
                                                 ? dataTask->currentRequest()->url() : std::nullopt);
        error.userInfo.set(platform::Error::kLocalizedDescriptionKey,
                           Value("The response body is larger than the fetcher's limit of " + std::to_string(limit) +
                                 " bytes."));
        s_->download.limitError = std::move(error);
        s_->download.data.reset();
        s_->download.length = 0;
        dataTask->cancel();
        return;
    }
    if (!s_->download.data) s_->download.data = Bytes();
    reserveBodyRoom(*s_->download.data, data.size(), s_->download.maxBodySize, announcedBodyLength(dataTask->response()));
    s_->download.data->insert(s_->download.data->end(), data.begin(), data.end());
    s_->download.length = int64_t(s_->download.data->size());
    if (auto progress = s_->callbacks.receivedProgressBlock) {
        auto self = shared_from_this();
        int64_t chunk = int64_t(data.size());
        invokeOnCallbackUnsynchronizedQueueAfterUserStopped(false, [self, progress, chunk] {
            int64_t total = self->downloadedLength();
            progress(chunk, total);
        });
    }
}

void QNSessionFetcher::willCacheResponse(const std::shared_ptr<platform::URLSession>& session,
                                         const std::shared_ptr<platform::URLSessionDataTask>& dataTask,
                                         const platform::CachedURLResponse& proposedResponse,
                                         std::function<void(std::optional<platform::CachedURLResponse>)> completionHandler) {
    if (dataTask && !recordSessionTask(dataTask)) {
        completionHandler(std::nullopt);
        return;
    }
    std::unique_lock<std::recursive_mutex> lock(mutex_);
    if (auto block = s_->callbacks.willCacheURLResponseBlock) {
        invokeOnCallbackUnsynchronizedQueueAfterUserStopped(
            true, [block, proposedResponse, completionHandler] { block(proposedResponse, completionHandler); });
        return;
    }
    lock.unlock();
    completionHandler(proposedResponse);
}

// --- challenges ---

void QNSessionFetcher::didReceiveChallenge(const std::shared_ptr<platform::URLSession>& session,
                                           const std::shared_ptr<platform::URLSessionTask>& task,
                                           const platform::URLAuthenticationChallenge& challenge,
                                           ChallengeCompletion completionHandler) {
    if (!recordSessionTask(task)) {
        completionHandler(platform::URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, std::nullopt);
        return;
    }
    QN_LOCKED;
    if (auto block = s_->callbacks.challengeBlock) {
        auto self = shared_from_this();
        invokeOnCallbackUnsynchronizedQueueAfterUserStopped(
            true, [self, block, challenge, completionHandler] { block(self, challenge, completionHandler); });
        return;
    }
    respondToChallenge(challenge, std::move(completionHandler));
}

void QNSessionFetcher::respondToChallenge(const platform::URLAuthenticationChallenge& challenge,
                                          ChallengeCompletion completion) {
    using Disposition = platform::URLSessionAuthChallengeDisposition;
    QN_LOCKED;
    if (challenge.previousFailureCount() > 2) {
        completion(Disposition::CancelAuthenticationChallenge, std::nullopt);
        return;
    }
    const auto& space = challenge.protectionSpace();
    if (space.authenticationMethod() == platform::kURLAuthenticationMethodServerTrust) {
        auto trust = space.serverTrust();
        if (!trust) {
            completion(Disposition::PerformDefaultHandling, std::nullopt);
            return;
        }
        // A refused trust takes the session's default handling, which ends the task with the
        // certificate's own failure (why it was refused), not as a cancelled task.
        auto verdict = [trust, completion](bool allow) {
            if (allow) {
                completion(Disposition::UseCredential, platform::URLCredential::credentialForTrust(trust));
            } else {
                completion(Disposition::PerformDefaultHandling, std::nullopt);
            }
        };
        if (s_->security.allowInvalidServerCertificates) {
            verdict(true);
        } else {
            std::optional<URLRequest> request;
            if (s_->req.request) request = *s_->req.request;
            evaluateServerTrust(trust, request, verdict);
        }
        return;
    }
    // The credential answers only the origin it was given for; a proxy's challenge only the
    // proxy credential.
    std::optional<platform::URLCredential> credential;
    if (space.isProxy()) {
        credential = s_->security.proxyCredential;
    } else if (const auto& origin = s_->security.originURL;
               origin && platform::equalsIgnoringCase(space.protocol().value_or(""), origin->scheme()) &&
               platform::equalsIgnoringCase(space.host(), origin->host().value_or("")) &&
               space.port() == origin->effectivePort()) {
        credential = s_->security.credential;
    }
    if (credential) {
        completion(Disposition::UseCredential, credential);
    } else {
        completion(Disposition::PerformDefaultHandling, std::nullopt);
    }
}

void QNSessionFetcher::evaluateServerTrust(std::shared_ptr<const platform::ServerTrust> serverTrust,
                                           const std::optional<URLRequest>& request,
                                           std::function<void(bool allow)> completion) {
    platform::DispatchQueue::global()->async([serverTrust, completion] {
        static std::mutex evaluationLock;
        bool allow = false;
        {
            std::lock_guard<std::mutex> lock(evaluationLock);
            auto result = serverTrust->evaluate();
            allow = result && (*result == platform::TrustResultType::Proceed ||
                               *result == platform::TrustResultType::Unspecified);
        }
        completion(allow);
    });
}

// --- bodies sent ---

void QNSessionFetcher::needNewBodyStream(const std::shared_ptr<platform::URLSession>& session,
                                         const std::shared_ptr<platform::URLSessionTask>& task,
                                         BodyStreamCompletion completionHandler) {
    if (!recordSessionTask(task)) {
        completionHandler(nullptr);
        return;
    }
    std::unique_lock<std::recursive_mutex> lock(mutex_);
    if (auto provider = s_->req.bodyStreamProvider) {
        invokeOnCallbackUnsynchronizedQueueAfterUserStopped(false, [provider, completionHandler] { provider(completionHandler); });
        return;
    }
    lock.unlock();
    completionHandler(nullptr);
}

void QNSessionFetcher::didSendBodyData(const std::shared_ptr<platform::URLSession>& session,
                                       const std::shared_ptr<platform::URLSessionTask>& task, int64_t bytesSent,
                                       int64_t totalBytesSent, int64_t totalBytesExpectedToSend) {
    if (!recordSessionTask(task)) return;
    QN_LOCKED;
    // The block is taken now: the fetch's end, queued just behind this report, releases the
    // fetcher's callbacks, and the last bytes' report must still reach the caller.
    auto block = s_->callbacks.sendProgressBlock;
    if (!block) return;
    invokeOnCallbackUnsynchronizedQueueAfterUserStopped(false, [block, bytesSent, totalBytesSent, totalBytesExpectedToSend] {
        block(bytesSent, totalBytesSent, totalBytesExpectedToSend);
    });
}

// --- downloads ---

void QNSessionFetcher::didWriteData(const std::shared_ptr<platform::URLSession>& session,
                                    const std::shared_ptr<platform::URLSessionDownloadTask>& downloadTask,
                                    int64_t bytesWritten, int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) {
    if (!recordSessionTask(downloadTask)) return;
    QN_LOCKED;
    auto block = s_->callbacks.downloadProgressBlock;
    if (!block) return;
    int64_t expected =
        totalBytesExpectedToWrite < totalBytesWritten ? platform::kURLSessionTransferSizeUnknown : totalBytesExpectedToWrite;
    invokeOnCallbackUnsynchronizedQueueAfterUserStopped(
        false, [block, bytesWritten, totalBytesWritten, expected] { block(bytesWritten, totalBytesWritten, expected); });
}

void QNSessionFetcher::didResumeAtOffset(const std::shared_ptr<platform::URLSession>& session,
                                         const std::shared_ptr<platform::URLSessionDownloadTask>& downloadTask,
                                         int64_t fileOffset, int64_t expectedTotalBytes) {
    recordSessionTask(downloadTask);
}

void QNSessionFetcher::didFinishDownloadingToURL(const std::shared_ptr<platform::URLSession>& session,
                                                 const std::shared_ptr<platform::URLSessionDownloadTask>& downloadTask,
                                                 const URL& location) {
    if (!recordSessionTask(downloadTask)) return;
    std::filesystem::path temporary = location.path();
    std::error_code ec;
    auto size = std::filesystem::file_size(temporary, ec);
    int64_t length = ec ? 0 : int64_t(size);

    QN_LOCKED;
    s_->download.length = length;
    std::optional<URL> destination = s_->download.destinationFileURL;
    if (destination) fetcher_detail::removeItemAtURL(*destination);
    int64_t status = statusCodeUnsynchronized();
    if (status >= 200 && status <= 399) {
        if (!destination) return;
        std::filesystem::path target = destination->path();
        if (target.has_parent_path()) {
            std::filesystem::create_directories(target.parent_path(), ec);
            if (ec) {
                s_->download.finishedError = platform::posixError(ec.value(), target.parent_path().string());
                return;
            }
        }
        std::filesystem::rename(temporary, target, ec);
        if (ec) {
            // Another file system: copy, then the temporary file goes with the session.
            std::error_code copyError;
            std::filesystem::copy_file(temporary, target, std::filesystem::copy_options::overwrite_existing, copyError);
            if (copyError) s_->download.finishedError = platform::posixError(copyError.value(), target.string());
        }
        return;
    }
    // A failed download keeps a small error body to report with the status error.
    if (length > 0 && length <= 20000) {
        std::ifstream in(temporary, std::ios::binary);
        Bytes body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (in.good() || in.eof()) s_->download.taskErrorData = std::move(body);
    }
}

// --- the session ---

void QNSessionFetcher::didBecomeInvalidWithError(const std::shared_ptr<platform::URLSession>& session,
                                                 const std::optional<Error>& error) {
    QN_LOCKED;
    if (session && session == s_->task.session) s_->task.session.reset();
}

}  // namespace quorvane
