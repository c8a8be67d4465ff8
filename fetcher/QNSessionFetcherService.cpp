#include "fetcher/QNSessionFetcherService.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "fetcher/QNSessionFetcherSessionDelegateDispatcher.h"
#include "fetcher/QNSessionUserAgent.h"
#include "platform/net/URLSession.h"
#include "platform/runloop/RunLoop.h"

namespace quorvane {

using namespace platform;

namespace {

// The host a fetcher is scheduled under: its request URL's host, "localhost" for a file URL
// without one, "" when it is not to be scheduled.
std::string hostKeyForURL(const std::optional<URL>& url, bool fileURLsAreLocal) {
    if (!url) return {};
    std::string host = url->host().value_or(std::string());
    if (host.empty() && fileURLsAreLocal && url->isFileURL()) host = "localhost";
    return host;
}

std::string hostKeyForFetcher(const std::shared_ptr<QNSessionFetcher>& fetcher, bool fileURLsAreLocal = true) {
    auto request = fetcher->request();
    return hostKeyForURL(request ? request->url() : std::nullopt, fileURLsAreLocal);
}

bool containsFetcher(const QNSessionFetcherService::FetcherList& list, const std::shared_ptr<QNSessionFetcher>& fetcher) {
    return std::find(list.begin(), list.end(), fetcher) != list.end();
}

void removeFetcherFrom(QNSessionFetcherService::FetcherList& list, const std::shared_ptr<QNSessionFetcher>& fetcher) {
    list.erase(std::remove(list.begin(), list.end(), fetcher), list.end());
}

// A URL of scheme http whose host never resolves (".invalid" is reserved for that).
constexpr const char* kMockResponseURL = "http://mock.quorvane.invalid/";

}  // namespace

// --- making the service ---

QNSessionFetcherService::QNSessionFetcherService() = default;

std::shared_ptr<QNSessionFetcherService> QNSessionFetcherService::make() {
    std::shared_ptr<QNSessionFetcherService> service(new QNSessionFetcherService());
    service->init();
    return service;
}

void QNSessionFetcherService::init() {
    std::lock_guard lock(mutex_);
    settings_.callbackQueue = DispatchQueue::main();
    settings_.delegateQueue = OperationQueue::make(kQNSessionFetcherServiceDelegateQueueName, 1);
    settings_.userAgent = QNSessionStandardUserAgentString();
    delegateDispatcher_ = makeDispatcher();
}

QNSessionFetcherService::~QNSessionFetcherService() {
    detachAuthorizer();
    abandonDispatcher();
}

std::shared_ptr<QNSessionFetcherSessionDelegateDispatcher> QNSessionFetcherService::makeDispatcher() {
    return QNSessionFetcherSessionDelegateDispatcher::initWithParentService(weak_from_this(), unusedSessionTimeout_);
}

// --- making fetchers ---

void QNSessionFetcherService::configureFetcher(const FetcherPtr& fetcher, const URLRequest& request) {
    fetcher->setCallbackQueue(callbackQueue());
    fetcher->setSessionDelegateQueue(sessionDelegateQueue());
    fetcher->setChallengeBlock(challengeBlock());
    fetcher->setCredential(credential());
    fetcher->setProxyCredential(proxyCredential());
    fetcher->setAuthorizer(authorizer());
    fetcher->setCookieStorage(cookieStorage());
    fetcher->setAllowedInsecureSchemes(allowedInsecureSchemes().value_or(std::vector<std::string>()));
    fetcher->setAllowLocalhostRequest(allowLocalhostRequest());
    fetcher->setAllowInvalidServerCertificates(allowInvalidServerCertificates());
    fetcher->setMaxResponseBodySize(maxResponseBodySize());
    fetcher->setConfigurationBlock(configurationBlock());
    fetcher->setRetryEnabled(isRetryEnabled());
    fetcher->setRetryBlock(retryBlock());
    fetcher->setMaxRetryInterval(maxRetryInterval());
    fetcher->setMinRetryInterval(minRetryInterval());
    if (auto props = properties()) fetcher->setProperties(*props);
    fetcher->setService(shared_from_this());
    if (int64_t method = cookieStorageMethod(); method >= 0) fetcher->setCookieStorageMethod(method);
    auto agent = userAgent();
    if (agent && !agent->empty() && !request.valueForHTTPHeaderField("User-Agent"))
        fetcher->setRequestValue(*agent, "User-Agent");
    fetcher->setTestBlock(testBlock());
}

std::shared_ptr<QNSessionFetcher> QNSessionFetcherService::fetcherWithURL(const URL& url) {
    return fetcherWithRequest(URLRequest(url));
}

std::shared_ptr<QNSessionFetcher> QNSessionFetcherService::fetcherWithURLString(std::string_view urlString) {
    return fetcherWithRequest(URLRequest(URL::URLWithString(urlString)));
}

// --- scheduling ---

void QNSessionFetcherService::addRunningFetcher(const FetcherPtr& fetcher, const std::string& host) {
    runningFetchersByHost_[host].push_back(fetcher);
}

void QNSessionFetcherService::addDelayedFetcher(const FetcherPtr& fetcher, const std::string& host) {
    delayedFetchersByHost_[host].push_back(fetcher);
}

bool QNSessionFetcherService::fetcherShouldBeginFetching(const FetcherPtr& fetcher) {
    std::string host = hostKeyForFetcher(fetcher);
    if (host.empty()) return true;  // not scheduled at all

    std::lock_guard lock(mutex_);
    auto running = runningFetchersByHost_.find(host);
    if (running != runningFetchersByHost_.end() && containsFetcher(running->second, fetcher)) return true;
    auto delayed = delayedFetchersByHost_.find(host);
    if (delayed != delayedFetchersByHost_.end() && containsFetcher(delayed->second, fetcher)) return false;

    // The host key is recorded on the fetcher before the lock is left, so a stop that comes
    // in at once from another thread finds the fetcher and takes it out of the lists.
    if (!fetcher->isUsingBackgroundSession() && maxRunningFetchersPerHost_ > 0) {
        uint64_t count = running == runningFetchersByHost_.end()
                             ? 0
                             : numberOfNonBackgroundSessionFetchers(running->second);
        if (count >= maxRunningFetchersPerHost_) {
            addDelayedFetcher(fetcher, host);
            fetcher->setServiceHost(host);
            return false;
        }
    }
    addRunningFetcher(fetcher, host);
    fetcher->setServiceHost(host);
    return true;
}

void QNSessionFetcherService::fetcherDidStop(const FetcherPtr& fetcher) {
    std::optional<std::string> host = fetcher->serviceHost();
    if (!host) return;

    if (auto dispatcher = delegateDispatcherForFetcher(fetcher)) dispatcher->removeFetcher(fetcher);

    FetcherList toStart;
    {
        std::lock_guard lock(mutex_);
        if (stoppedFetchersToWaitFor_) stoppedFetchersToWaitFor_->push_back(fetcher);

        auto running = runningFetchersByHost_.find(*host);
        if (running != runningFetchersByHost_.end()) removeFetcherFrom(running->second, fetcher);
        auto delayed = delayedFetchersByHost_.find(*host);
        if (delayed != delayedFetchersByHost_.end()) {
            removeFetcherFrom(delayed->second, fetcher);
            while (!delayed->second.empty() && maxRunningFetchersPerHost_ > 0) {
                running = runningFetchersByHost_.find(*host);
                uint64_t count = running == runningFetchersByHost_.end()
                                     ? 0
                                     : numberOfNonBackgroundSessionFetchers(running->second);
                if (count >= maxRunningFetchersPerHost_) break;
                // The lowest priority value first; among equals the one delayed first.
                auto& list = delayed->second;
                auto best = list.begin();
                int64_t bestPriority = (*best)->servicePriority();
                for (auto it = std::next(list.begin()); it != list.end(); ++it) {
                    int64_t priority = (*it)->servicePriority();
                    if (priority < bestPriority) {
                        best = it;
                        bestPriority = priority;
                    }
                }
                FetcherPtr next = *best;
                list.erase(best);
                addRunningFetcher(next, *host);
                toStart.push_back(next);
            }
            if (delayed->second.empty()) delayedFetchersByHost_.erase(delayed);
        }
        running = runningFetchersByHost_.find(*host);
        if (running != runningFetchersByHost_.end() && running->second.empty()) runningFetchersByHost_.erase(running);
    }

    for (const auto& next : toStart) startFetcher(next);
    fetcher->setServiceHost(std::nullopt);
}

bool QNSessionFetcherService::isDelayingFetcher(const FetcherPtr& fetcher) {
    std::string host = hostKeyForFetcher(fetcher, false);
    if (host.empty()) return false;
    std::lock_guard lock(mutex_);
    auto delayed = delayedFetchersByHost_.find(host);
    return delayed != delayedFetchersByHost_.end() && containsFetcher(delayed->second, fetcher);
}

void QNSessionFetcherService::startFetcher(const FetcherPtr& fetcher) { fetcher->beginFetchMayDelay(false, true); }

void QNSessionFetcherService::stopFetcher(const FetcherPtr& fetcher) { fetcher->stopFetching(); }

uint64_t QNSessionFetcherService::numberOfNonBackgroundSessionFetchers(const FetcherList& fetchers) {
    uint64_t count = 0;
    for (const auto& fetcher : fetchers)
        if (!fetcher->isUsingBackgroundSession()) ++count;
    return count;
}

uint64_t QNSessionFetcherService::maxRunningFetchersPerHost() const {
    std::lock_guard lock(mutex_);
    return maxRunningFetchersPerHost_;
}

void QNSessionFetcherService::setMaxRunningFetchersPerHost(uint64_t max) {
    std::lock_guard lock(mutex_);
    maxRunningFetchersPerHost_ = max;
}

uint64_t QNSessionFetcherService::numberOfRunningFetchersUnsynchronized() const {
    uint64_t sum = 0;
    for (const auto& [host, list] : runningFetchersByHost_) sum += list.size();
    return sum;
}

uint64_t QNSessionFetcherService::numberOfDelayedFetchersUnsynchronized() const {
    uint64_t sum = 0;
    for (const auto& [host, list] : delayedFetchersByHost_) sum += list.size();
    return sum;
}

uint64_t QNSessionFetcherService::numberOfFetchers() {
    std::lock_guard lock(mutex_);
    return numberOfRunningFetchersUnsynchronized() + numberOfDelayedFetchersUnsynchronized();
}

uint64_t QNSessionFetcherService::numberOfRunningFetchers() {
    std::lock_guard lock(mutex_);
    return numberOfRunningFetchersUnsynchronized();
}

uint64_t QNSessionFetcherService::numberOfDelayedFetchers() {
    std::lock_guard lock(mutex_);
    return numberOfDelayedFetchersUnsynchronized();
}

std::optional<QNSessionFetcherService::FetcherList> QNSessionFetcherService::issuedFetchers() {
    FetcherList all;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [host, list] : runningFetchersByHost_) all.insert(all.end(), list.begin(), list.end());
        for (const auto& [host, list] : delayedFetchersByHost_) all.insert(all.end(), list.begin(), list.end());
    }
    if (all.empty()) return std::nullopt;
    return all;
}

std::optional<QNSessionFetcherService::FetcherList> QNSessionFetcherService::issuedFetchersWithRequestURL(
    const URL& requestURL) {
    if (!requestURL.host() || requestURL.host()->empty()) return std::nullopt;
    auto all = issuedFetchers();
    if (!all) return std::nullopt;
    // Platform URLs are always absolute: their text is the absolute form.
    const std::string& wanted = requestURL.absoluteString();
    FetcherList matches;
    for (const auto& fetcher : *all) {
        auto request = fetcher->request();
        if (request && request->url() && request->url()->absoluteString() == wanted) matches.push_back(fetcher);
    }
    if (matches.empty()) return std::nullopt;
    return matches;
}

QNSessionFetcherService::FetchersByHost QNSessionFetcherService::runningFetchersByHost() {
    std::lock_guard lock(mutex_);
    return runningFetchersByHost_;
}

void QNSessionFetcherService::setRunningFetchersByHost(FetchersByHost map) {
    std::lock_guard lock(mutex_);
    runningFetchersByHost_ = std::move(map);
}

QNSessionFetcherService::FetchersByHost QNSessionFetcherService::delayedFetchersByHost() {
    std::lock_guard lock(mutex_);
    return delayedFetchersByHost_;
}

void QNSessionFetcherService::setDelayedFetchersByHost(FetchersByHost map) {
    std::lock_guard lock(mutex_);
    delayedFetchersByHost_ = std::move(map);
}

void QNSessionFetcherService::stopAllFetchers() {
    FetchersByHost delayed, running;
    {
        std::lock_guard lock(mutex_);
        stoppedAllFetchersDate_ = Date::now();
        delayed.swap(delayedFetchersByHost_);
        running.swap(runningFetchersByHost_);
    }
    for (const auto& [host, list] : delayed)
        for (const auto& fetcher : list) stopFetcher(fetcher);
    for (const auto& [host, list] : running)
        for (const auto& fetcher : list) stopFetcher(fetcher);
}

bool QNSessionFetcherService::waitForCompletionOfAllFetchersWithTimeout(TimeInterval timeoutInSeconds) {
    const double giveUp = Clock::current()->monotonic() + timeoutInSeconds;
    // The wait list is filled by fetcherDidStop on other threads: it is read and changed under
    // the lock like the maps.
    {
        std::lock_guard lock(mutex_);
        stoppedFetchersToWaitFor_.emplace();
    }
    const bool isMainThread = RunLoop::isMainThread();
    auto dropWaitList = [this] {
        std::lock_guard lock(mutex_);
        stoppedFetchersToWaitFor_.reset();
    };
    while (true) {
        FetcherPtr stopped;
        {
            std::lock_guard lock(mutex_);
            bool waitListEmpty = !stoppedFetchersToWaitFor_ || stoppedFetchersToWaitFor_->empty();
            if (numberOfRunningFetchersUnsynchronized() + numberOfDelayedFetchersUnsynchronized() == 0 && waitListEmpty)
                break;
            if (!waitListEmpty) {
                stopped = stoppedFetchersToWaitFor_->front();
                stoppedFetchersToWaitFor_->erase(stoppedFetchersToWaitFor_->begin());
            }
        }
        if (Clock::current()->monotonic() > giveUp) {
            dropWaitList();
            return false;
        }
        if (stopped) stopped->waitForCompletionWithTimeout(0.01);
        if (isMainThread) {
            RunLoop::current()->runOnce(0.001);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    dropWaitList();
    return true;
}

// --- the shared session ---

std::shared_ptr<QNSessionFetcherSessionDelegateDispatcher> QNSessionFetcherService::delegateDispatcherForFetcher(
    const FetcherPtr& fetcher) {
    auto session = fetcher->session();
    if (!session) return nullptr;
    return std::dynamic_pointer_cast<QNSessionFetcherSessionDelegateDispatcher>(session->delegate());
}

std::shared_ptr<URLSession> QNSessionFetcherService::session() {
    std::lock_guard lock(mutex_);
    return delegateDispatcher_ ? delegateDispatcher_->session() : nullptr;
}

std::shared_ptr<URLSession> QNSessionFetcherService::sessionForFetcherCreation() {
    {
        std::lock_guard lock(mutex_);
        if (!delegateDispatcher_) return nullptr;
    }
    // One fetcher at a time may be told to create the shared session; the others wait here
    // until it has reported the session in fetcherDidCreateSession.
    sessionCreationSemaphore_.wait();
    std::lock_guard lock(mutex_);
    if (!delegateDispatcher_) {
        // Reuse was turned off meanwhile.
        sessionCreationSemaphore_.signal();
        return nullptr;
    }
    delegateDispatcher_->startSessionUsage();
    auto session = delegateDispatcher_->session();
    if (session) {
        sessionCreationSemaphore_.signal();
        return session;
    }
    sessionCreationPending_ = true;
    return nullptr;
}

std::shared_ptr<URLSessionDelegate> QNSessionFetcherService::sessionDelegate() {
    std::lock_guard lock(mutex_);
    return delegateDispatcher_;
}

void QNSessionFetcherService::fetcherDidCreateSession(const FetcherPtr& fetcher) {
    if (!fetcher->canShareSession()) return;
    auto dispatcher = delegateDispatcherForFetcher(fetcher);
    std::lock_guard lock(mutex_);
    // Only the current dispatcher takes the session: an abandoned one would never let it go.
    if (dispatcher && dispatcher == delegateDispatcher_) dispatcher->setSession(fetcher->session());
    // The semaphore is given back by the fetcher that was told to create the session, however
    // its session turned out (reuse may have been turned off meanwhile), and only once.
    if (sessionCreationPending_) {
        sessionCreationPending_ = false;
        sessionCreationSemaphore_.signal();
    }
}

void QNSessionFetcherService::fetcherDidBeginFetching(const FetcherPtr& fetcher) {
    // The task's callbacks reach whichever dispatcher is its session's delegate, even one
    // abandoned since the session was taken: map it there, or they would find no fetcher.
    if (auto dispatcher = delegateDispatcherForFetcher(fetcher)) dispatcher->setFetcher(fetcher, fetcher->sessionTask());
}

bool QNSessionFetcherService::reuseSession() {
    std::lock_guard lock(mutex_);
    return delegateDispatcher_ != nullptr;
}

void QNSessionFetcherService::setReuseSession(bool reuse) {
    std::lock_guard lock(mutex_);
    if ((delegateDispatcher_ != nullptr) == reuse) return;
    abandonDispatcher();
    if (reuse) delegateDispatcher_ = makeDispatcher();
}

void QNSessionFetcherService::abandonDispatcher() {
    std::lock_guard lock(mutex_);
    if (delegateDispatcher_) {
        delegateDispatcher_->abandon();
        delegateDispatcher_.reset();
    }
}

void QNSessionFetcherService::resetSession() {
    sessionCreationSemaphore_.wait();
    {
        std::lock_guard lock(mutex_);
        resetSessionInternal();
    }
    sessionCreationSemaphore_.signal();
}

void QNSessionFetcherService::resetSessionInternal() {
    if (!delegateDispatcher_) return;
    delegateDispatcher_->abandon();
    delegateDispatcher_ = makeDispatcher();
}

void QNSessionFetcherService::resetSessionForDispatcherDiscardTimer(const std::shared_ptr<Timer>& timer) {
    sessionCreationSemaphore_.wait();
    {
        std::lock_guard lock(mutex_);
        if (delegateDispatcher_ && timer && delegateDispatcher_->discardTimer() == timer) resetSessionInternal();
    }
    sessionCreationSemaphore_.signal();
}

TimeInterval QNSessionFetcherService::unusedSessionTimeout() {
    std::lock_guard lock(mutex_);
    return unusedSessionTimeout_;
}

void QNSessionFetcherService::setUnusedSessionTimeout(TimeInterval timeout) {
    std::lock_guard lock(mutex_);
    unusedSessionTimeout_ = timeout;
    if (delegateDispatcher_) delegateDispatcher_->setDiscardInterval(timeout);
}

std::optional<Date> QNSessionFetcherService::stoppedAllFetchersDate() {
    std::lock_guard lock(mutex_);
    return stoppedAllFetchersDate_;
}

// --- authorizer ---

std::shared_ptr<QNFetcherAuthorizationProtocol> QNSessionFetcherService::authorizer() {
    std::lock_guard lock(mutex_);
    return settings_.authorizer;
}

void QNSessionFetcherService::detachAuthorizer() {
    std::shared_ptr<QNFetcherAuthorizationProtocol> old;
    {
        std::lock_guard lock(mutex_);
        old = settings_.authorizer;
    }
    if (!old) return;
    auto itsService = old->fetcherService();
    // While this service is being destroyed the authorizer's weak link reads empty already.
    if (itsService.get() == static_cast<QNSessionFetcherServiceProtocol*>(this) || (!itsService && weak_from_this().expired()))
        old->setFetcherService({});
}

void QNSessionFetcherService::setAuthorizer(std::shared_ptr<QNFetcherAuthorizationProtocol> authorizer) {
    bool replacing;
    {
        std::lock_guard lock(mutex_);
        replacing = settings_.authorizer != authorizer;
    }
    if (replacing) detachAuthorizer();
    {
        std::lock_guard lock(mutex_);
        settings_.authorizer = authorizer;
    }
    if (authorizer) authorizer->setFetcherService(weak_from_this());
}

// --- plain settings ---

std::shared_ptr<DispatchQueue> QNSessionFetcherService::callbackQueue() {
    std::lock_guard lock(mutex_);
    return settings_.callbackQueue;
}

void QNSessionFetcherService::setCallbackQueue(std::shared_ptr<DispatchQueue> queue) {
    std::lock_guard lock(mutex_);
    settings_.callbackQueue = queue ? std::move(queue) : DispatchQueue::main();
}

std::shared_ptr<OperationQueue> QNSessionFetcherService::sessionDelegateQueue() {
    std::lock_guard lock(mutex_);
    return settings_.delegateQueue;
}

void QNSessionFetcherService::setSessionDelegateQueue(std::shared_ptr<OperationQueue> queue) {
    std::lock_guard lock(mutex_);
    settings_.delegateQueue = queue ? std::move(queue) : OperationQueue::main();
}

#define QN_SERVICE_PROPERTY(Type, getter, setter, field)  \
    Type QNSessionFetcherService::getter() {              \
        std::lock_guard lock(mutex_);                     \
        return settings_.field;                           \
    }                                                     \
    void QNSessionFetcherService::setter(Type value) {    \
        std::lock_guard lock(mutex_);                     \
        settings_.field = std::move(value);               \
    }

QN_SERVICE_PROPERTY(std::optional<std::string>, userAgent, setUserAgent, userAgent)
QN_SERVICE_PROPERTY(std::shared_ptr<HTTPCookieStorage>, cookieStorage, setCookieStorage, cookieStorage)
QN_SERVICE_PROPERTY(int64_t, cookieStorageMethod, setCookieStorageMethod, cookieStorageMethod)
QN_SERVICE_PROPERTY(std::optional<URLCredential>, credential, setCredential, credential)
QN_SERVICE_PROPERTY(std::optional<URLCredential>, proxyCredential, setProxyCredential, proxyCredential)
QN_SERVICE_PROPERTY(bool, allowLocalhostRequest, setAllowLocalhostRequest, allowLocalhostRequest)
QN_SERVICE_PROPERTY(bool, allowInvalidServerCertificates, setAllowInvalidServerCertificates, allowInvalidServerCertificates)
QN_SERVICE_PROPERTY(int64_t, maxResponseBodySize, setMaxResponseBodySize, maxResponseBodySize)
QN_SERVICE_PROPERTY(bool, isRetryEnabled, setRetryEnabled, retryEnabled)
QN_SERVICE_PROPERTY(TimeInterval, maxRetryInterval, setMaxRetryInterval, maxRetryInterval)
QN_SERVICE_PROPERTY(TimeInterval, minRetryInterval, setMinRetryInterval, minRetryInterval)
QN_SERVICE_PROPERTY(std::optional<URLSessionConfiguration>, configuration, setConfiguration, configuration)
QN_SERVICE_PROPERTY(QNSessionFetcher::ConfigurationBlock, configurationBlock, setConfigurationBlock, configurationBlock)
QN_SERVICE_PROPERTY(QNSessionFetcher::ChallengeBlock, challengeBlock, setChallengeBlock, challengeBlock)
QN_SERVICE_PROPERTY(QNSessionFetcher::RetryBlock, retryBlock, setRetryBlock, retryBlock)
QN_SERVICE_PROPERTY(QNSessionFetcher::TestBlock, testBlock, setTestBlock, testBlock)
QN_SERVICE_PROPERTY(std::optional<std::vector<std::string>>, allowedInsecureSchemes, setAllowedInsecureSchemes,
                    allowedInsecureSchemes)
QN_SERVICE_PROPERTY(std::optional<QNSessionFetcher::Properties>, properties, setProperties, properties)

#undef QN_SERVICE_PROPERTY

// --- services that answer without the network ---

std::shared_ptr<QNSessionFetcherService> QNSessionFetcherService::mockFetcherServiceWithFakedData(
    std::optional<Bytes> fakedData, std::shared_ptr<const URLResponse> fakedResponse, std::optional<Error> fakedError) {
    auto service = make();
    service->setAllowedInsecureSchemes(std::vector<std::string>{"http"});
    service->setTestBlock([fakedData = std::move(fakedData), fakedResponse = std::move(fakedResponse),
                           fakedError = std::move(fakedError)](const std::shared_ptr<QNSessionFetcher>&,
                                                               QNSessionFetcher::TestResponse response) {
        response(fakedResponse, fakedData, fakedError);
    });
    return service;
}

std::shared_ptr<QNSessionFetcherService> QNSessionFetcherService::mockFetcherServiceWithFakedData(
    std::optional<Bytes> fakedData, std::optional<Error> fakedError) {
    auto response = std::make_shared<HTTPURLResponse>(*URL::URLWithString(kMockResponseURL), fakedError ? 500 : 200,
                                                      std::string("HTTP/1.1"), HTTPHeaders());
    return mockFetcherServiceWithFakedData(std::move(fakedData), std::move(response), std::move(fakedError));
}

}  // namespace quorvane
