#pragma once
// The factory and per-host scheduler of session fetchers.
//
// A service holds the settings every fetcher it makes should share (callback queue, session
// delegate queue, user agent, authorizer, cookie storage, retry settings, allowed insecure
// schemes, properties, test block) and copies them into each new fetcher. It lets at most
// maxRunningFetchersPerHost fetchers run against one host at once, keeps the others waiting in
// a per-host list and starts them, lowest servicePriority first, as running ones stop. While
// session reuse is on (the default) its fetchers share one URL session through a session
// delegate dispatcher, which drops the session once it has been idle for
// unusedSessionTimeout seconds; the next fetch makes a new one.
//
// Fetchers call in from any thread. Lock order: the session-creation semaphore, then the
// service's lock, then the dispatcher's lock. Fetchers, the dispatcher's removeFetcher and the
// authorizer are called with the service's lock released; fetchers' own locks may be taken
// while it is held (a fetcher never calls the service while holding its lock).

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fetcher/QNFetcherAuthorizationProtocol.h"
#include "fetcher/QNSessionFetcher.h"
#include "fetcher/QNSessionFetcherServiceProtocol.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Error.h"
#include "platform/net/HTTPCookieStorage.h"
#include "platform/net/URL.h"
#include "platform/net/URLAuthenticationChallenge.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"
#include "platform/net/URLSessionConfiguration.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/OperationQueue.h"

namespace quorvane {

namespace platform {
class Timer;
}  // namespace platform

class QNSessionFetcherSessionDelegateDispatcher;

// The name of a service's session delegate queue.
inline constexpr const char* kQNSessionFetcherServiceDelegateQueueName =
    "com.quorvane.QNSessionFetcher.NSURLSessionDelegateQueue";

class QNSessionFetcherService : public QNSessionFetcherServiceProtocol,
                                public std::enable_shared_from_this<QNSessionFetcherService> {
public:
    using FetcherPtr = std::shared_ptr<QNSessionFetcher>;
    using FetcherList = std::vector<FetcherPtr>;
    using FetchersByHost = std::map<std::string, FetcherList>;

    // A service with the defaults: ten running fetchers per host, a shared session dropped after
    // 60 s unused, callbacks on the main queue, a serial session delegate queue of its own, the
    // standard user agent.
    static std::shared_ptr<QNSessionFetcherService> make();
    ~QNSessionFetcherService() override;
    QNSessionFetcherService(const QNSessionFetcherService&) = delete;
    QNSessionFetcherService& operator=(const QNSessionFetcherService&) = delete;

    // --- making fetchers ---
    // A new fetcher of class F (constructible from a request and a configuration) with the
    // service's settings.
    template <class F = QNSessionFetcher>
    std::shared_ptr<F> fetcherWithRequest(const platform::URLRequest& request) {
        auto fetcher = std::make_shared<F>(request, configuration());
        configureFetcher(fetcher, request);
        return fetcher;
    }
    // The same for a plain fetcher: what an authorizer holding this service asks for its own
    // fetches (token requests).
    std::shared_ptr<QNSessionFetcher> fetcherWithRequest(const platform::URLRequest& request) override {
        return fetcherWithRequest<QNSessionFetcher>(request);
    }
    std::shared_ptr<QNSessionFetcher> fetcherWithURL(const platform::URL& url);
    // Text that is not a URL gives a fetcher without URL (it fails to begin).
    std::shared_ptr<QNSessionFetcher> fetcherWithURLString(std::string_view urlString);

    // --- what fetchers ask (QNSessionFetcherServiceProtocol) ---
    bool fetcherShouldBeginFetching(const FetcherPtr& fetcher) override;
    void fetcherDidCreateSession(const FetcherPtr& fetcher) override;
    void fetcherDidBeginFetching(const FetcherPtr& fetcher) override;
    void fetcherDidStop(const FetcherPtr& fetcher) override;
    bool isDelayingFetcher(const FetcherPtr& fetcher) override;
    std::shared_ptr<platform::URLSession> session() override;
    std::shared_ptr<platform::URLSession> sessionForFetcherCreation() override;
    std::shared_ptr<platform::URLSessionDelegate> sessionDelegate() override;
    std::optional<platform::Date> stoppedAllFetchersDate() override;
    std::shared_ptr<platform::DispatchQueue> callbackQueue() override;
    // nullptr stores the main queue.
    void setCallbackQueue(std::shared_ptr<platform::DispatchQueue> queue) override;
    bool reuseSession() override;
    void setReuseSession(bool reuse) override;
    std::shared_ptr<platform::OperationQueue> delegateQueue() override { return nullptr; }

    // --- scheduling ---
    uint64_t maxRunningFetchersPerHost() const;
    // 0: no limit.
    void setMaxRunningFetchersPerHost(uint64_t max);
    uint64_t numberOfFetchers();
    uint64_t numberOfRunningFetchers();
    uint64_t numberOfDelayedFetchers();
    // Running ones first, then delayed ones, each by host; nullopt when there is none.
    std::optional<FetcherList> issuedFetchers();
    // The recorded fetchers whose request URL equals the URL; nullopt when the URL has no host
    // or none matches.
    std::optional<FetcherList> issuedFetchersWithRequestURL(const platform::URL& requestURL);
    FetchersByHost runningFetchersByHost();
    void setRunningFetchersByHost(FetchersByHost map);
    FetchersByHost delayedFetchersByHost();
    void setDelayedFetchersByHost(FetchersByHost map);
    // Stops every delayed fetcher, then every running one; none of them calls back.
    void stopAllFetchers();
    // Waits until no fetcher is recorded and every one that stopped meanwhile has delivered its
    // callbacks; false on time-out. On the main thread it runs the run loop meanwhile.
    bool waitForCompletionOfAllFetchersWithTimeout(platform::TimeInterval timeoutInSeconds);
    // How many fetchers of the list do not use a background session.
    static uint64_t numberOfNonBackgroundSessionFetchers(const FetcherList& fetchers);

    // --- the shared session ---
    // Drops the shared session (its running tasks finish); later fetchers share a new one.
    void resetSession();
    platform::TimeInterval unusedSessionTimeout();
    void setUnusedSessionTimeout(platform::TimeInterval timeout);
    // Called by a dispatcher whose discard timer fired: replaces it while the timer is its
    // current one.
    void resetSessionForDispatcherDiscardTimer(const std::shared_ptr<platform::Timer>& timer);

    // --- settings copied into each new fetcher ---
    // nullptr stores the main operation queue.
    std::shared_ptr<platform::OperationQueue> sessionDelegateQueue();
    void setSessionDelegateQueue(std::shared_ptr<platform::OperationQueue> queue);
    std::optional<std::string> userAgent();
    // Added as "User-Agent" to each new fetcher's request that has none; empty adds nothing.
    void setUserAgent(std::optional<std::string> userAgent);
    std::shared_ptr<platform::HTTPCookieStorage> cookieStorage();
    void setCookieStorage(std::shared_ptr<platform::HTTPCookieStorage> storage);
    // Copied only when 0 or more (the fetcher's cookie-storage methods); -1 by default.
    int64_t cookieStorageMethod();
    void setCookieStorageMethod(int64_t method);
    std::optional<platform::URLCredential> credential();
    void setCredential(std::optional<platform::URLCredential> credential);
    std::optional<platform::URLCredential> proxyCredential();
    void setProxyCredential(std::optional<platform::URLCredential> credential);
    std::shared_ptr<QNFetcherAuthorizationProtocol> authorizer();
    // Detaches the previous authorizer from this service and hands the new one this service.
    void setAuthorizer(std::shared_ptr<QNFetcherAuthorizationProtocol> authorizer);
    bool allowLocalhostRequest();
    void setAllowLocalhostRequest(bool flag);
    bool allowInvalidServerCertificates();
    void setAllowInvalidServerCertificates(bool flag);
    // Copied into each fetcher (its maxResponseBodySize).
    int64_t maxResponseBodySize();
    void setMaxResponseBodySize(int64_t bytes);
    bool isRetryEnabled();
    void setRetryEnabled(bool flag);
    // 0: the fetcher's own default.
    platform::TimeInterval maxRetryInterval();
    void setMaxRetryInterval(platform::TimeInterval secs);
    platform::TimeInterval minRetryInterval();
    void setMinRetryInterval(platform::TimeInterval secs);
    std::optional<platform::URLSessionConfiguration> configuration();
    void setConfiguration(std::optional<platform::URLSessionConfiguration> configuration);
    QNSessionFetcher::ConfigurationBlock configurationBlock();
    void setConfigurationBlock(QNSessionFetcher::ConfigurationBlock block);
    QNSessionFetcher::ChallengeBlock challengeBlock();
    void setChallengeBlock(QNSessionFetcher::ChallengeBlock block);
    QNSessionFetcher::RetryBlock retryBlock();
    void setRetryBlock(QNSessionFetcher::RetryBlock block);
    QNSessionFetcher::TestBlock testBlock();
    void setTestBlock(QNSessionFetcher::TestBlock block);
    std::optional<std::vector<std::string>> allowedInsecureSchemes();
    void setAllowedInsecureSchemes(std::optional<std::vector<std::string>> schemes);
    std::optional<QNSessionFetcher::Properties> properties();
    void setProperties(std::optional<QNSessionFetcher::Properties> properties);

    // --- services that answer without the network ---
    // Every fetch of the service gets the response, the data and the error given; plain http is
    // allowed.
    static std::shared_ptr<QNSessionFetcherService> mockFetcherServiceWithFakedData(
        std::optional<platform::Bytes> fakedData, std::shared_ptr<const platform::URLResponse> fakedResponse,
        std::optional<platform::Error> fakedError);
    // The same with an HTTP/1.1 response without headers for a placeholder URL that never
    // resolves: status 500 when an error is given, 200 otherwise.
    static std::shared_ptr<QNSessionFetcherService> mockFetcherServiceWithFakedData(
        std::optional<platform::Bytes> fakedData, std::optional<platform::Error> fakedError);

protected:
    QNSessionFetcherService();
    virtual void init();

    // Copies the settings into a fetcher just made for the request.
    void configureFetcher(const FetcherPtr& fetcher, const platform::URLRequest& request);
    // beginFetchMayDelay(false, true): the fetcher starts without asking again.
    virtual void startFetcher(const FetcherPtr& fetcher);
    virtual void stopFetcher(const FetcherPtr& fetcher);

private:
    // Lock held.
    void addRunningFetcher(const FetcherPtr& fetcher, const std::string& host);
    void addDelayedFetcher(const FetcherPtr& fetcher, const std::string& host);
    void resetSessionInternal();
    std::shared_ptr<QNSessionFetcherSessionDelegateDispatcher> makeDispatcher();
    void abandonDispatcher();
    void detachAuthorizer();
    uint64_t numberOfRunningFetchersUnsynchronized() const;
    uint64_t numberOfDelayedFetchersUnsynchronized() const;

    // The dispatcher that is the delegate of the fetcher's session, or nullptr.
    static std::shared_ptr<QNSessionFetcherSessionDelegateDispatcher> delegateDispatcherForFetcher(
        const FetcherPtr& fetcher);

    // Guards every member below (the semaphore guards itself).
    mutable std::recursive_mutex mutex_;

    // Scheduling: the fetchers running and waiting, per host.
    FetchersByHost delayedFetchersByHost_;
    FetchersByHost runningFetchersByHost_;
    uint64_t maxRunningFetchersPerHost_ = 10;

    // The shared session: its delegate, and the creation one fetcher at a time.
    std::shared_ptr<QNSessionFetcherSessionDelegateDispatcher> delegateDispatcher_;
    platform::DispatchSemaphore sessionCreationSemaphore_{1};
    // Set while a fetcher that was told to create the shared session holds the semaphore.
    bool sessionCreationPending_ = false;
    platform::TimeInterval unusedSessionTimeout_ = 60.0;

    // Stopping all fetchers.
    std::optional<FetcherList> stoppedFetchersToWaitFor_;
    std::optional<platform::Date> stoppedAllFetchersDate_;

    // The settings every fetcher made by this service gets (configureFetcher).
    struct FetcherSettings {
        std::shared_ptr<platform::DispatchQueue> callbackQueue;
        std::shared_ptr<platform::OperationQueue> delegateQueue;
        std::shared_ptr<platform::HTTPCookieStorage> cookieStorage;
        // Negative: the fetcher's own.
        int64_t cookieStorageMethod = -1;
        std::optional<std::string> userAgent;
        std::optional<platform::URLCredential> credential, proxyCredential;
        std::shared_ptr<QNFetcherAuthorizationProtocol> authorizer;
        bool allowLocalhostRequest = false;
        bool allowInvalidServerCertificates = false;
        int64_t maxResponseBodySize = kQNSessionFetcherDefaultMaxResponseBodySize;
        std::optional<std::vector<std::string>> allowedInsecureSchemes;
        bool retryEnabled = false;
        platform::TimeInterval maxRetryInterval = 0;
        platform::TimeInterval minRetryInterval = 0;
        std::optional<platform::URLSessionConfiguration> configuration;
        QNSessionFetcher::ConfigurationBlock configurationBlock;
        QNSessionFetcher::ChallengeBlock challengeBlock;
        QNSessionFetcher::RetryBlock retryBlock;
        QNSessionFetcher::TestBlock testBlock;
        std::optional<QNSessionFetcher::Properties> properties;
    };
    FetcherSettings settings_;
};

}  // namespace quorvane
