// QNSessionFetcher: how a fetch ends once its task completes: success, a status or transport
// error, or a retry after an exponential backoff (and the one forced retry after a 401 when
// the authorizer can refresh its credentials).

#include <cctype>
#include <limits>

#include "fetcher/QNSessionFetcher.h"
#include "fetcher/QNSessionFetcherState.h"
#include "platform/net/HTTPCookie.h"

namespace quorvane {


// --- the task's completion ---

void QNSessionFetcher::didCompleteWithError(const std::shared_ptr<platform::URLSession>& session,
                                            const std::shared_ptr<platform::URLSessionTask>& task,
                                            const std::optional<Error>& taskError) {
    std::shared_ptr<platform::URLSession> toInvalidate;
    bool stoppedByCaller;
    {
        QN_LOCKED;
        // The session of a task cancelled by a stop is let go once that task has completed,
        // whatever else this completion means (a simulated fetch's task completes this way too).
        toInvalidate = std::move(s_->task.sessionNeedingInvalidation);
        s_->task.sessionNeedingInvalidation.reset();
        stoppedByCaller = s_->status.userStoppedFetching;
    }
    if (toInvalidate) toInvalidate->finishTasksAndInvalidate();
    // A fetch the caller stopped has already ended; a task a stop cancelled belongs to no
    // attempt (a retry may already run another).
    if (stoppedByCaller || !recordSessionTask(task)) return;

    int64_t status = statusCode();
    std::optional<Error> error;
    bool forceAssumeRetry = false;
    {
        std::unique_lock<std::recursive_mutex> lock(mutex_);
        if (s_->status.isUsingTestBlock) return;
        // The cancel that cut an error answer's body short is no error of the fetch: its status is.
        const bool cut = s_->download.errorBodyCut;
        error = s_->download.limitError ? s_->download.limitError
                                        : (taskError && !cut ? taskError : s_->download.finishedError);
        if (!error && status <= 299) {
            s_->req.bodyLength = task ? task->countOfBytesSent() : s_->req.bodyLength;
            lock.unlock();
            finishWithError(std::nullopt, false);
            return;
        }
        // A background session followed a redirect and lost the authorization: try again at the
        // new URL with the request's own headers.
        if (status == 403 && s_->background.inUse && s_->req.request) {
            auto response = responseUnsynchronized();
            std::optional<URL> responseURL = response ? response->url() : std::nullopt;
            // Only within the request's origin: the credentials never go to another one.
            std::optional<URL> requestURL = s_->req.request->url();
            if (responseURL && requestURL && responseURL != requestURL && responseURL->isSameOrigin(*requestURL) &&
                s_->req.request->valueForHTTPHeaderField("Authorization")) {
                auto redirected = std::make_shared<URLRequest>(*s_->req.request);
                redirected->setURL(responseURL);
                s_->req.request = redirected;
                s_->task.session.reset();
                forceAssumeRetry = true;
            }
        }
    }
    auto self = shared_from_this();
    shouldRetryNowForStatus(status, error, forceAssumeRetry,
                            [self, error](bool shouldRetry) { self->finishWithError(error, shouldRetry); });
}

// --- finishing ---

bool QNSessionFetcher::answeredSignedRequestUnsynchronized() {
    const auto& request = s_->req.request;
    if (!request || !request->url()) return false;
    auto authorization = request->valueForHTTPHeaderField("Authorization");
    auto response = responseUnsynchronized();
    std::optional<URL> answeredBy = response ? response->url() : std::nullopt;
    return authorization && !authorization->empty() && (!answeredBy || answeredBy->isSameOrigin(*request->url()));
}

Error QNSessionFetcher::statusErrorWithData(int64_t status, const std::optional<Bytes>& data) {
    QN_LOCKED;
    Value info = Value::dictionary();
    if (answeredSignedRequestUnsynchronized()) info.set(kQNSessionFetcherAnsweredSignedRequestKey, true);
    if (data && !data->empty()) {
        info.set(QNSessionFetcherStatusDataUserInfoKey, *data);
        if (auto headers = responseHeadersUnsynchronized()) {
            if (auto type = headers->valueForHTTPHeaderField("Content-Type")) {
                info.set(QNSessionFetcherStatusDataContentTypeUserInfoKey, *type);
            }
        }
    }
    return Error(QNSessionFetcherStatusDomain, status, info);
}

void QNSessionFetcher::finishWithError(std::optional<Error> error, bool shouldRetry) {
    removePersistedBackgroundSessionFromDefaults();
    std::optional<Bytes> callbackData;
    {
        std::unique_lock<std::recursive_mutex> lock(mutex_);
        int64_t status = statusCodeUnsynchronized();
        std::optional<URL> destination = s_->download.destinationFileURL;
        bool hasBody = s_->download.data && !s_->download.data->empty();
        if (error || status > 299) {
            if (shouldRetry) {
                lock.unlock();
                beginRetryTimer();
                sendStopNotificationIfNeeded();
                return;
            }
            if (error) {
                if (auto resumeBlock = s_->callbacks.resumeDataBlock) {
                    s_->callbacks.resumeDataBlock = nullptr;
                    if (const Value* resume = error->userInfo.find(platform::kURLSessionDownloadTaskResumeData);
                        resume && resume->isBytes()) {
                        Bytes data = resume->asBytes();
                        invokeOnCallbackUnsynchronizedQueueAfterUserStopped(true, [resumeBlock, data] { resumeBlock(data); });
                    }
                }
            } else {
                error = statusErrorWithData(status, hasBody ? s_->download.data : s_->download.taskErrorData);
            }
            if (hasBody) callbackData = s_->download.data;
            if (s_->retry.count > 0) {
                Value info = error->userInfo.isDictionary() ? error->userInfo : Value::dictionary();
                info.set(kQNSessionFetcherElapsedIntervalWithRetriesKey, s_->status.secondsSinceInitialRequest());
                info.set(kQNSessionFetcherNumberOfRetriesDoneKey, int64_t(s_->retry.count));
                error = Error(error->domain, error->code, info);
            }
        } else {
            error.reset();
            if (destination && hasBody) {
                // A data task's body (a data: URL, say) goes to the destination file.
                fetcher_detail::removeItemAtURL(*destination);
                if (auto written = fetcher_detail::writeDataToFile(*s_->download.data, *destination); !written) {
                    s_->download.finishedError = written.error();
                    error = written.error();
                } else {
                    s_->download.data.reset();
                }
            }
            // The body goes to the completion handler rather than being copied for it: a feed's
            // answer can be tens of megabytes, and nothing reads the fetcher's own after this.
            callbackData = std::move(s_->download.data);
            s_->download.data.reset();
        }
    }
    sendStopNotificationIfNeeded();
    invokeFetchCallbacksOnCallbackQueueWithData(std::move(callbackData), std::move(error));
    stopFetchReleasingCallbacks(shouldReleaseCallbacksUponCompletion());
}

// --- the retry decision ---

bool QNSessionFetcher::isRetryError(const Error& error) {
    if (error.domain == QNSessionFetcherStatusDomain) {
        return error.code == 408 || error.code == 502 || error.code == 503 || error.code == 504;
    }
    if (error.domain == platform::kURLErrorDomain) {
        return error.code == platform::kURLErrorTimedOut || error.code == platform::kURLErrorNetworkConnectionLost;
    }
    return false;
}

bool QNSessionFetcher::hasRetryAfterInterval() {
    QN_LOCKED;
    auto headers = responseHeadersUnsynchronized();
    return headers && headers->contains("Retry-After");
}

platform::TimeInterval QNSessionFetcher::retryAfterInterval() {
    QN_LOCKED;
    auto headers = responseHeadersUnsynchronized();
    if (!headers) return 0;
    auto value = headers->valueForHTTPHeaderField("Retry-After");
    if (!value) return 0;
    double secs;
    if (auto date = platform::parseHTTPDate(*value)) {
        secs = date->timeIntervalSinceNow();
    } else {
        // The leading integer, as a number of seconds.
        size_t i = 0;
        while (i < value->size() && std::isspace(static_cast<unsigned char>((*value)[i]))) ++i;
        bool negative = false;
        if (i < value->size() && ((*value)[i] == '-' || (*value)[i] == '+')) negative = (*value)[i++] == '-';
        double n = 0;
        while (i < value->size() && std::isdigit(static_cast<unsigned char>((*value)[i]))) {
            n = n * 10 + ((*value)[i++] - '0');
            if (n > 1e15) break;
        }
        secs = negative ? -n : n;
    }
    return secs < 0 ? 0 : secs;
}

platform::TimeInterval QNSessionFetcher::nextRetryIntervalUnsynchronized() {
    // The server's "Retry-After" sets the delay, but never below the minimum interval: "0" would
    // make the retries spin.
    if (statusCodeUnsynchronized() == 503 && hasRetryAfterInterval())
        return std::max(s_->retry.minInterval, retryAfterInterval());
    double secs = s_->retry.lastInterval * s_->retry.factor;
    if (s_->retry.maxInterval > 0) secs = std::min(secs, s_->retry.maxInterval);
    return std::max(s_->retry.minInterval, secs);
}

platform::TimeInterval QNSessionFetcher::nextRetryInterval() {
    QN_LOCKED;
    return nextRetryIntervalUnsynchronized();
}

void QNSessionFetcher::shouldRetryNowForStatus(int64_t status, std::optional<Error> error, bool forceAssumeRetry,
                                               std::function<void(bool)> response) {
    // One forced retry after a 401, when the authorizer can fetch fresh credentials.
    bool forceRetryForRefresh = false;
    auto auth = authorizer();
    bool attempted, answeredSignedRequest = false;
    {
        QN_LOCKED;
        attempted = s_->retry.hasAttemptedAuthRefresh;
        // Only a 401 of the origin the token was sent to says the token is stale: a request
        // that carried none (a redirect to another origin drops it) or an answer from elsewhere
        // refreshes nothing.
        answeredSignedRequest = answeredSignedRequestUnsynchronized();
    }
    if (auth && status == 401 && !attempted && answeredSignedRequest) {
        auto primed = auth->primeForRefresh();
        if (primed && *primed) {
            {
                QN_LOCKED;
                s_->retry.hasAttemptedAuthRefresh = true;
            }
            updateRequestValue(std::nullopt, "Authorization");
            forceRetryForRefresh = true;
        }
    }

    bool shouldRetry;
    std::optional<Error> workingError;
    RetryBlock retryBlock;
    {
        QN_LOCKED;
        bool canRetry = false;
        if (s_->retry.enabled) {
            // Retrying ends three caps after the first request, whatever the server asks: a
            // server that always answers "Retry-After" would keep the fetch going for ever.
            bool withinOverallBound = s_->status.secondsSinceInitialRequest() <= 3 * s_->retry.maxInterval;
            canRetry = withinOverallBound &&
                       (hasRetryAfterInterval() || s_->retry.maxInterval > nextRetryIntervalUnsynchronized());
        }
        if (!canRetry && !forceAssumeRetry && !forceRetryForRefresh) {
            shouldRetry = false;
        } else {
            Error statusError = statusErrorWithData(status, s_->download.data);
            workingError = error ? *error : statusError;
            if (forceAssumeRetry || forceRetryForRefresh) {
                shouldRetry = true;
            } else {
                shouldRetry = isRetryError(*workingError) || (error && isRetryError(statusError));
            }
            retryBlock = s_->callbacks.retryBlock;
        }
    }
    if (retryBlock) {
        invokeOnCallbackQueueUnlessStopped(
            [retryBlock, shouldRetry, workingError, response] { retryBlock(shouldRetry, workingError, response); });
        return;
    }
    response(shouldRetry);
}

// --- the retry timer ---

void QNSessionFetcher::beginRetryTimer() {
    auto self = shared_from_this();
    if (!platform::RunLoop::isMainThread()) {
        std::shared_ptr<platform::DispatchGroup> group;
        {
            QN_LOCKED;
            group = s_->status.callbackGroup;
        }
        group->enter();
        platform::DispatchQueue::main()->async([self, group] {
            self->beginRetryTimer();
            group->leave();
        });
        return;
    }
    destroyRetryTimer();
    {
        QN_LOCKED;
        double cap = s_->retry.maxInterval > 0 ? s_->retry.maxInterval : std::numeric_limits<double>::max();
        double interval = std::min(nextRetryIntervalUnsynchronized(), cap);
        s_->retry.lastInterval = interval;
        auto timer = platform::Timer::make(interval, false, [self](platform::Timer&) { self->retryTimerFired(); });
        timer->setTolerance(1.0);
        s_->retry.timer = timer;
        platform::RunLoop::main()->addTimer(timer);
    }
    postNotificationOnMainThreadWithName(kQNSessionFetcherRetryDelayStartedNotification, Value(), false);
}

void QNSessionFetcher::destroyRetryTimer() {
    std::shared_ptr<platform::Timer> timer;
    {
        QN_LOCKED;
        timer = std::move(s_->retry.timer);
        s_->retry.timer.reset();
    }
    if (!timer) return;
    timer->invalidate();
    postNotificationOnMainThreadWithName(kQNSessionFetcherRetryDelayStoppedNotification, Value(), false);
}

void QNSessionFetcher::retryTimerFired() {
    destroyRetryTimer();
    std::shared_ptr<platform::OperationQueue> queue;
    {
        QN_LOCKED;
        s_->retry.count++;
        queue = s_->task.delegateQueue;
    }
    auto self = shared_from_this();
    queue->addOperation([self] { self->retryFetch(); });
}

void QNSessionFetcher::retryFetch() {
    stopFetchReleasingCallbacks(false);
    {
        QN_LOCKED;
        if (s_->background.didCreateIdentifier) {
            // A new background identifier is made for the next attempt.
            forgetSessionIdentifierForFetcher();
            s_->task.configuration.reset();
        }
        if (s_->task.canShareSession) s_->task.session.reset();
    }
    beginFetchForRetry();
}

}  // namespace quorvane
