// Placeholder bodies while the fetch machinery is written (replaced file by file).

#include "fetcher/QNSessionFetcher.h"
#include "fetcher/QNSessionFetcherState.h"

namespace quorvane {

using platform::Bytes;
using platform::Error;
using platform::URL;
using platform::URLRequest;

QNSessionFetcher::~QNSessionFetcher() = default;
std::shared_ptr<QNSessionFetcher> QNSessionFetcher::fetcherWithSessionIdentifier(const std::string&) { return nullptr; }
void QNSessionFetcher::beginFetchWithCompletionHandler(CompletionHandler handler) {
    setCompletionHandler(std::move(handler));
    beginFetchMayDelay(true, true);
}
void QNSessionFetcher::beginFetchWithDelegate(FinishedCallback didFinish) {
    beginFetchWithCompletionHandler(completionHandlerWithTarget(std::move(didFinish)));
}
QNSessionFetcher::CompletionHandler QNSessionFetcher::completionHandlerWithTarget(FinishedCallback didFinish) {
    auto self = shared_from_this();
    return [self, didFinish](const std::optional<Bytes>& data, const std::optional<Error>& error) {
        if (didFinish) didFinish(self, data, error);
    };
}
void QNSessionFetcher::beginFetchForRetry() { beginFetchMayDelay(true, true); }
void QNSessionFetcher::beginFetchMayDelay(bool, bool) {}
bool QNSessionFetcher::appAllowsInsecureRequests() { return true; }
std::vector<std::shared_ptr<QNSessionFetcher>> QNSessionFetcher::fetchersForBackgroundSessions() { return {}; }
void QNSessionFetcher::reconnectFetchersForBackgroundSessionsOnAppLaunch() {}
void QNSessionFetcher::stopFetching() {}
void QNSessionFetcher::stopFetchReleasingCallbacks(bool) {}
void QNSessionFetcher::releaseCallbacks() {}
bool QNSessionFetcher::waitForCompletionWithTimeout(platform::TimeInterval) { return true; }
platform::TimeInterval QNSessionFetcher::nextRetryInterval() { return 0; }
platform::TimeInterval QNSessionFetcher::nextRetryIntervalUnsynchronized() { return 0; }
bool QNSessionFetcher::isRetryError(const Error&) { return false; }
bool QNSessionFetcher::hasRetryAfterInterval() { return false; }
platform::TimeInterval QNSessionFetcher::retryAfterInterval() { return 0; }
std::optional<std::string> QNSessionFetcher::sessionIdentifier() { return std::nullopt; }
void QNSessionFetcher::setSessionIdentifier(const std::string&) {}
std::optional<platform::Value> QNSessionFetcher::sessionUserInfo() { return std::nullopt; }
void QNSessionFetcher::setSessionUserInfo(std::optional<platform::Value>) {}
std::optional<platform::Value> QNSessionFetcher::sessionIdentifierMetadata() { return std::nullopt; }
std::string QNSessionFetcher::createSessionIdentifierWithMetadata(const std::optional<platform::Value>&) { return {}; }
std::optional<std::vector<std::string>> QNSessionFetcher::activePersistedBackgroundSessions() { return std::nullopt; }
void QNSessionFetcher::setGlobalTestBlock(TestBlock) {}
std::optional<URL> QNSessionFetcher::redirectURLWithOriginalRequestURL(const std::optional<URL>& a,
                                                                       const std::optional<URL>&) {
    return a;
}
void QNSessionFetcher::evaluateServerTrust(std::shared_ptr<const platform::ServerTrust>, const std::optional<URLRequest>&,
                                           std::function<void(bool)>) {}
void QNSessionFetcher::didBecomeInvalidWithError(const std::shared_ptr<platform::URLSession>&, const std::optional<Error>&) {}
void QNSessionFetcher::willPerformHTTPRedirection(const std::shared_ptr<platform::URLSession>&,
                                                  const std::shared_ptr<platform::URLSessionTask>&,
                                                  const std::shared_ptr<const HTTPURLResponse>&, const URLRequest&,
                                                  RedirectCompletion) {}
void QNSessionFetcher::didReceiveChallenge(const std::shared_ptr<platform::URLSession>&,
                                           const std::shared_ptr<platform::URLSessionTask>&,
                                           const platform::URLAuthenticationChallenge&, ChallengeCompletion) {}
void QNSessionFetcher::needNewBodyStream(const std::shared_ptr<platform::URLSession>&,
                                         const std::shared_ptr<platform::URLSessionTask>&, BodyStreamCompletion) {}
void QNSessionFetcher::didSendBodyData(const std::shared_ptr<platform::URLSession>&,
                                       const std::shared_ptr<platform::URLSessionTask>&, int64_t, int64_t, int64_t) {}
void QNSessionFetcher::didCompleteWithError(const std::shared_ptr<platform::URLSession>&,
                                            const std::shared_ptr<platform::URLSessionTask>&, const std::optional<Error>&) {}
void QNSessionFetcher::didReceiveResponse(const std::shared_ptr<platform::URLSession>&,
                                          const std::shared_ptr<platform::URLSessionDataTask>&,
                                          const std::shared_ptr<const URLResponse>&, ResponseCompletion) {}
void QNSessionFetcher::didReceiveData(const std::shared_ptr<platform::URLSession>&,
                                      const std::shared_ptr<platform::URLSessionDataTask>&, const Bytes&) {}
void QNSessionFetcher::didFinishDownloadingToURL(const std::shared_ptr<platform::URLSession>&,
                                                 const std::shared_ptr<platform::URLSessionDownloadTask>&, const URL&) {}
void QNSessionFetcher::didWriteData(const std::shared_ptr<platform::URLSession>&,
                                    const std::shared_ptr<platform::URLSessionDownloadTask>&, int64_t, int64_t, int64_t) {}
void QNSessionFetcher::didResumeAtOffset(const std::shared_ptr<platform::URLSession>&,
                                         const std::shared_ptr<platform::URLSessionDownloadTask>&, int64_t, int64_t) {}
void QNSessionFetcher::willCacheResponse(const std::shared_ptr<platform::URLSession>&,
                                         const std::shared_ptr<platform::URLSessionDataTask>&,
                                         const platform::CachedURLResponse&,
                                         std::function<void(std::optional<platform::CachedURLResponse>)>) {}
void QNSessionFetcher::failToBeginFetchWithError(std::optional<Error>) {}
void QNSessionFetcher::authorizeRequest() {}
void QNSessionFetcher::authorizerFinished(const std::shared_ptr<URLRequest>&, const std::optional<Error>&) {}
void QNSessionFetcher::invokeOnCallbackQueue(const std::shared_ptr<platform::DispatchQueue>&, bool, std::function<void()>) {}
void QNSessionFetcher::invokeOnCallbackQueueAfterUserStopped(bool, std::function<void()>) {}
void QNSessionFetcher::invokeOnCallbackUnsynchronizedQueueAfterUserStopped(bool, std::function<void()>) {}
void QNSessionFetcher::invokeOnCallbackQueueUnlessStopped(std::function<void()>) {}
void QNSessionFetcher::invokeFetchCallbacksOnCallbackQueueWithData(std::optional<Bytes>, std::optional<Error>) {}
void QNSessionFetcher::postNotificationOnMainThreadWithName(const std::string&, platform::Value, bool) {}
void QNSessionFetcher::respondToChallenge(const platform::URLAuthenticationChallenge&, ChallengeCompletion) {}
void QNSessionFetcher::finishWithError(std::optional<Error>, bool) {}
void QNSessionFetcher::shouldRetryNowForStatus(int64_t, std::optional<Error>, bool, std::function<void(bool)>) {}
void QNSessionFetcher::beginRetryTimer() {}
void QNSessionFetcher::retryTimerFired() {}
void QNSessionFetcher::destroyRetryTimer() {}
void QNSessionFetcher::retryFetch() {}
Error QNSessionFetcher::statusErrorWithData(int64_t status, const std::optional<Bytes>&) {
    return Error(QNSessionFetcherStatusDomain, status);
}
void QNSessionFetcher::setStopNotificationNeeded(bool) {}
void QNSessionFetcher::sendStopNotificationIfNeeded() {}
void QNSessionFetcher::setSessionIdentifierInternal(std::optional<std::string>) {}
std::optional<platform::Value> QNSessionFetcher::sessionIdentifierMetadataUnsynchronized() { return std::nullopt; }
std::optional<platform::Value> QNSessionFetcher::sessionIdentifierDefaultMetadata() { return std::nullopt; }
void QNSessionFetcher::restoreDefaultStateForSessionIdentifierMetadata() {}
void QNSessionFetcher::forgetSessionIdentifierForFetcher() {}
void QNSessionFetcher::forgetSessionIdentifierForFetcherWithoutSyncCheck() {}
void QNSessionFetcher::addPersistedBackgroundSessionToDefaults() {}
void QNSessionFetcher::removePersistedBackgroundSessionFromDefaults() {}
void QNSessionFetcher::simulateFetchForTestBlock() {}
void QNSessionFetcher::simulateDataCallbacksForTestBlockWithBodyData(std::optional<Bytes>,
                                                                     std::shared_ptr<const URLResponse>,
                                                                     std::optional<Bytes>, std::optional<Error>) {}
void QNSessionFetcher::simulateByteTransferReportWithDataLength(int64_t, std::function<void(int64_t, int64_t, int64_t)>) {}
void QNSessionFetcher::simulateByteTransferWithData(const Bytes&,
                                                    std::function<void(const Bytes&, int64_t, int64_t, int64_t)>) {}

}  // namespace quorvane
