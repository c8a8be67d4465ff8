// QNSessionFetcher: the begin sequence, authorization, stopping, waiting, and background
// sessions (identifiers, the persisted list, restoring at start-up).

#include <unistd.h>

#include <chrono>
#include <thread>

#include "fetcher/QNSessionFetcher.h"
#include "fetcher/QNSessionFetcherState.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"
#include "platform/foundation/UUID.h"
#include "platform/store/UserDefaults.h"

namespace quorvane {


namespace {

// Session identifier -> fetcher (weak): the live fetcher of each background session.
struct SessionIdentifierMap {
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<QNSessionFetcher>> map;
};

SessionIdentifierMap& sessionIdentifierToFetcherMap() {
    static SessionIdentifierMap* instance = new SessionIdentifierMap();
    return *instance;
}

std::shared_ptr<QNSessionFetcher> liveFetcherForIdentifier(const std::string& identifier) {
    auto& m = sessionIdentifierToFetcherMap();
    std::lock_guard<std::mutex> lock(m.mutex);
    auto it = m.map.find(identifier);
    return it == m.map.end() ? nullptr : it->second.lock();
}

void setFetcherForIdentifier(const std::string& identifier, const std::shared_ptr<QNSessionFetcher>& fetcher) {
    auto& m = sessionIdentifierToFetcherMap();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.map[identifier] = fetcher;
}

// Removes the entry unless it belongs to another live fetcher.
void removeFetcherForIdentifier(const std::string& identifier, const QNSessionFetcher* fetcher) {
    auto& m = sessionIdentifierToFetcherMap();
    std::lock_guard<std::mutex> lock(m.mutex);
    auto it = m.map.find(identifier);
    if (it == m.map.end()) return;
    auto live = it->second.lock();
    if (!live || live.get() == fetcher) m.map.erase(it);
}

std::shared_ptr<platform::UserDefaults> fetcherUserDefaults() { return platform::UserDefaults::standardUserDefaults(); }

std::vector<std::string> storedPersistedSessions() {
    std::vector<std::string> result;
    auto array = fetcherUserDefaults()->arrayForKey(kQNSessionFetcherPersistedDestinationKey);
    if (!array) return result;
    for (const auto& v : *array) {
        if (auto s = v.stringValue()) result.push_back(*s);
    }
    return result;
}

void writePersistedSessions(const std::vector<std::string>& identifiers) {
    auto defaults = fetcherUserDefaults();
    if (identifiers.empty()) {
        defaults->removeObjectForKey(kQNSessionFetcherPersistedDestinationKey);
    } else {
        Value array = Value::array();
        for (const auto& s : identifiers) array.append(Value(s));
        defaults->setObject(array, kQNSessionFetcherPersistedDestinationKey);
    }
    defaults->synchronize();
}

bool schemeEquals(const std::string& scheme, std::string_view other) {
    return platform::equalsIgnoringCase(scheme, other);
}

}  // namespace

// --- making and ending ---

QNSessionFetcher::~QNSessionFetcher() {
    // No lock: nobody else can reach the fetcher any more.
    forgetSessionIdentifierForFetcherWithoutSyncCheck();
}

std::shared_ptr<QNSessionFetcher> QNSessionFetcher::fetcherWithSessionIdentifier(const std::string& sessionIdentifier) {
    if (auto live = liveFetcherForIdentifier(sessionIdentifier)) return live;
    if (!platform::hasPrefix(sessionIdentifier, kQNSessionIdentifierPrefix)) return nullptr;
    auto fetcher = fetcherWithRequest(std::nullopt);
    fetcher->setSessionIdentifier(sessionIdentifier);
    setFetcherForIdentifier(sessionIdentifier, fetcher);
    {
        std::lock_guard<std::recursive_mutex> lock(fetcher->mutex_);
        fetcher->s_->wasCreatedFromBackgroundSession = true;
    }
    return fetcher;
}

// --- beginning ---

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

bool QNSessionFetcher::appAllowsInsecureRequests() {
    // Nothing below the application refuses plain http here, so the fetcher's own rule applies.
    return true;
}

void QNSessionFetcher::beginFetchMayDelay(bool mayDelay, bool mayAuthorize) {
    auto self = shared_from_this();
    std::shared_ptr<URLRequest> fetchRequest;
    std::optional<URL> fetchURL;
    std::optional<std::string> priorSessionIdentifier;
    bool hasTask = false, hasResumeData = false;
    {
        QN_LOCKED;
        // A stop by the caller is final: a delayed start or a late authorization begins nothing.
        if (s_->userStoppedFetching) return;
        fetchRequest = s_->request;
        if (fetchRequest) fetchURL = fetchRequest->url();
        priorSessionIdentifier = s_->sessionIdentifier;
        if (!s_->initialBeginFetchDate) s_->initialBeginFetchDate = platform::Date::now();
        hasTask = s_->sessionTask != nullptr;
        hasResumeData = s_->downloadResumeData.has_value();
        // A retry or a delayed start begins again: the fetch is running once more.
        s_->hasStoppedFetching = false;
    }
    auto failWithCode = [&](int64_t code) {
        Value info = Value::dictionary();
        info.set(Error::kURLErrorFailingURLStringKey, fetcher_detail::failingURLString(fetchRequest));
        failToBeginFetchWithError(Error(QNSessionFetcherErrorDomain, code, info));
    };

    // 2. An attached task: a background fetch is already running; anything else is a misuse.
    if (hasTask) {
        if (priorSessionIdentifier) return;
        failWithCode(QNSessionFetcherErrorCannotBegin);
        return;
    }
    if (!fetchURL && !priorSessionIdentifier && !hasResumeData) {
        failWithCode(QNSessionFetcherErrorCannotBegin);
        return;
    }

    // 3.
    bool usingBackground = useBackgroundSession() && canFetchWithBackgroundSession();
    {
        QN_LOCKED;
        s_->usingBackgroundSession = usingBackground || s_->usingBackgroundSession;
        usingBackground = s_->usingBackgroundSession;
    }

    // 4. The body file must be reachable.
    if (auto bodyFile = bodyFileURL()) {
        if (auto fileError = fetcher_detail::checkReachable(*bodyFile)) {
            platform::Log::error(fetcher_detail::logCategory(),
                                 "Body file is unreachable: " + bodyFile->path() + "\n  " + fileError->localizedDescription());
            failToBeginFetchWithError(fileError);
            return;
        }
    }

    // 5. The https rule.
    bool isDataURL = fetchURL && fetchURL->scheme() == "data";
    if (isDataURL) {
        QN_LOCKED;
        if (s_->sessionIdentifier) {
            removeFetcherForIdentifier(*s_->sessionIdentifier, this);
            s_->sessionIdentifier.reset();
        }
        s_->userRequestedBackgroundSession = false;
        s_->usingBackgroundSession = false;
        usingBackground = false;
        priorSessionIdentifier.reset();
    } else if (fetchURL && appAllowsInsecureRequests()) {
        const std::string& scheme = fetchURL->scheme();
        bool admitted = schemeEquals(scheme, "https");
        if (!admitted) {
            for (const auto& allowed : allowedInsecureSchemes()) {
                if (schemeEquals(scheme, allowed)) {
                    admitted = true;
                    break;
                }
            }
        }
        if (!admitted && allowLocalhostRequest()) {
            const auto& host = fetchURL->host();
            admitted = QNSessionIsLocalhostHost(host) || ((!host || host->empty()) && fetchURL->isFileURL());
        }
        if (!admitted) {
            platform::Log::error(fetcher_detail::logCategory(),
                                 "Insecure fetch disallowed for " + fetchURL->absoluteString());
            failWithCode(QNSessionFetcherErrorInsecureFetchDisallowed);
            return;
        }
    }

    // 6. Cookies.
    std::shared_ptr<platform::HTTPCookieStorage> cookies;
    {
        QN_LOCKED;
        if (!s_->cookieStorage) s_->cookieStorage = staticCookieStorage();
        cookies = s_->cookieStorage;
    }

    // 7.
    bool restoring = !fetchRequest && priorSessionIdentifier.has_value();
    bool canShare = !restoring && !usingBackground;
    std::shared_ptr<QNSessionFetcherServiceProtocol> svc;
    std::shared_ptr<platform::URLSession> session;
    {
        QN_LOCKED;
        // A session identifier without a configuration makes a background session of its own
        // below: asking the service for its shared one would hold the service's session
        // creation for a session that is never reported back.
        if (s_->sessionIdentifier && !s_->configuration) canShare = false;
        s_->canShareSession = canShare;
        svc = s_->service;
        session = s_->session;
    }

    // 8. The service's shared session.
    if (!session && canShare && svc) {
        session = svc->sessionForFetcherCreation();
        if (session) setSession(session);
    }

    // 9. A session of its own (or the first shared one).
    if (!session) {
        std::optional<platform::URLSessionConfiguration> configuration;
        std::shared_ptr<platform::OperationQueue> delegateQueue;
        {
            QN_LOCKED;
            if (!s_->configuration) {
                if (!s_->sessionIdentifier && !s_->usingBackgroundSession) {
                    s_->configuration = platform::URLSessionConfiguration::ephemeralSessionConfiguration();
                } else {
                    std::string identifier = s_->sessionIdentifier ? *s_->sessionIdentifier
                                                                   : createSessionIdentifierWithMetadata(std::nullopt);
                    setFetcherForIdentifier(identifier, self);
                    s_->configuration = platform::URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(identifier);
                    s_->usingBackgroundSession = true;
                    usingBackground = true;
                    canShare = false;
                    s_->canShareSession = false;
                }
                s_->configuration->setTLSMinimumSupportedProtocolVersion(platform::TLSProtocolVersion::TLSv12);
            }
            s_->configuration->setHTTPCookieStorage(cookies);
            configuration = s_->configuration;
            delegateQueue = s_->delegateQueue;
        }
        if (auto block = configurationBlock()) block(self, *configuration);

        std::shared_ptr<platform::URLSessionDelegate> delegate;
        if (svc && canShare) delegate = svc->sessionDelegate();
        bool ownDelegate = !delegate;
        if (ownDelegate) delegate = self;
        session = platform::URLSession::sessionWithConfiguration(*configuration, delegate, delegateQueue);
        {
            QN_LOCKED;
            s_->session = session;
            if (ownDelegate && session) s_->shouldInvalidateSession = true;
        }
        if (svc) svc->fetcherDidCreateSession(self);
    }

    // 10. Reattaching a background session: its task's callbacks drive the rest.
    if (restoring) {
        {
            QN_LOCKED;
            s_->shouldInvalidateSession = true;
        }
        session->getTasksWithCompletionHandler(
            [self](std::vector<std::shared_ptr<platform::URLSessionDataTask>> dataTasks,
                   std::vector<std::shared_ptr<platform::URLSessionUploadTask>> uploadTasks,
                   std::vector<std::shared_ptr<platform::URLSessionDownloadTask>> downloadTasks) {
                if (!dataTasks.empty() || !uploadTasks.empty() || !downloadTasks.empty()) return;
                platform::DispatchQueue::main()->asyncAfter(1.0, [self] {
                    if (self->sessionTask()) return;
                    self->removePersistedBackgroundSessionFromDefaults();
                    self->failToBeginFetchWithError(Error(QNSessionFetcherErrorDomain, QNSessionFetcherErrorBackgroundTaskLost));
                });
            });
        return;
    }

    // 11.
    {
        QN_LOCKED;
        s_->downloadedData.reset();
        s_->downloadedLength = 0;
    }

    // 12. The service may queue the fetcher and begin it later.
    if (mayDelay && svc && servicePriority() != kQNSessionFetcherServicePriorityBypass) {
        if (!svc->fetcherShouldBeginFetching(self)) {
            if (canShare) setSession(nullptr);
            return;
        }
    }

    // 13, 14. The method, and the body.
    bool isGET = false, needsUploadTask = false;
    std::string methodForCap;
    std::shared_ptr<const Bytes> bodyData;
    std::optional<URL> bodyFile;
    BodyStreamProvider streamProvider;
    {
        QN_LOCKED;
        bodyData = s_->bodyData;
        bodyFile = s_->bodyFileURL;
        streamProvider = s_->bodyStreamProvider;
        std::optional<std::string> method;
        if (s_->request) {
            method = s_->request->valueForHTTPHeaderField("X-HTTP-Method-Override");
            if (!method) method = s_->request->HTTPMethod();
        }
        methodForCap = method.value_or("");
        isGET = !method || method->empty() || *method == "GET";
        needsUploadTask = s_->useUploadTask || bodyFile || streamProvider;
        // A body file counts as a body too: a GET would leave it unsent.
        if (s_->request && (bodyData || bodyFile || streamProvider || s_->request->HTTPBodyStream())) {
            if (isGET) {
                s_->request->setHTTPMethod("POST");
                isGET = false;
            }
            if (bodyData && !needsUploadTask) s_->request->setHTTPBody(bodyData);
        }
    }

    // 15. Authorization first.
    auto auth = authorizer();
    if (mayAuthorize && !isDataURL && auth) {
        std::optional<URLRequest> toCheck = request();
        if (toCheck && !auth->isAuthorizedRequest(*toCheck)) {
            if (canShare) setSession(nullptr);
            authorizeRequest();
            return;
        }
    }

    // 16. The backoff cap.
    {
        QN_LOCKED;
        if (s_->isRetryEnabled && !(s_->maxRetryInterval > 0)) {
            s_->maxRetryInterval = (isGET || methodForCap == "HEAD") ? 60.0 : 600.0;
        }
    }

    // 17. The task.
    std::shared_ptr<platform::URLSessionTask> task;
    std::optional<Bytes> resumeData = downloadResumeData();
    std::optional<URL> destination = destinationFileURL();
    URLRequest sendRequest;
    {
        QN_LOCKED;
        if (s_->request) sendRequest = *s_->request;
    }
    std::string describe = fetchURL ? fetchURL->absoluteString() : "(missing URL)";
    if (resumeData) {
        task = session->downloadTaskWithResumeData(*resumeData);
        if (!task) {
            platform::Log::error(fetcher_detail::logCategory(),
                                 "Failed downloadTaskWithResumeData for " + describe + ", resume data " +
                                     std::to_string(resumeData->size()) + " bytes");
        }
    } else if (!isDataURL && destination) {
        task = session->downloadTaskWithRequest(sendRequest);
        if (!task) platform::Log::error(fetcher_detail::logCategory(), "Failed downloadTaskWithRequest for " + describe);
    } else if (needsUploadTask && bodyFile) {
        task = session->uploadTaskWithRequest(sendRequest, *bodyFile);
        if (!task) {
            platform::Log::error(fetcher_detail::logCategory(),
                                 "Failed uploadTaskWithRequest for " + describe + ", file " + bodyFile->path());
        }
    } else if (needsUploadTask && streamProvider) {
        task = session->uploadTaskWithStreamedRequest(sendRequest);
        if (!task) platform::Log::error(fetcher_detail::logCategory(), "Failed uploadTaskWithStreamedRequest for " + describe);
    } else if (needsUploadTask) {
        if (!bodyData) platform::Log::error(fetcher_detail::logCategory(), "Upload task needs body data, " + describe);
        task = session->uploadTaskWithRequest(sendRequest, bodyData ? bodyData : std::make_shared<const Bytes>());
        if (!task) {
            platform::Log::error(fetcher_detail::logCategory(),
                                 "Failed uploadTaskWithRequest for " + describe + ", body data " +
                                     std::to_string(bodyData ? bodyData->size() : 0) + " bytes");
        }
    } else {
        task = session->dataTaskWithRequest(sendRequest);
        if (!task) platform::Log::error(fetcher_detail::logCategory(), "Failed dataTaskWithRequest for " + describe);
    }
    if (!task) {
        {
            QN_LOCKED;
            s_->sessionTask.reset();
        }
        failWithCode(QNSessionFetcherErrorTaskNotCreated);
        return;
    }

    // 18, 19.
    bool useTestBlock = false;
    {
        std::unique_lock<std::recursive_mutex> lock(mutex_);
        if (s_->userStoppedFetching) {
            // Stopped from another thread while the task was being made: it never starts.
            s_->abandonedTasks.push_back(task);
            std::shared_ptr<platform::URLSession> own;
            if (s_->shouldInvalidateSession && s_->session == session) {
                own = std::move(s_->session);
                s_->session.reset();
            }
            lock.unlock();
            task->cancel();
            if (own) own->finishTasksAndInvalidate();
            return;
        }
        s_->sessionTask = task;
        bool isDownload = std::dynamic_pointer_cast<platform::URLSessionDownloadTask>(task) != nullptr;
        if (!isDownload && !s_->accumulateDataBlock) s_->downloadedData = Bytes();
        if (s_->taskDescription) task->setTaskDescription(s_->taskDescription);
        if (s_->taskPriority >= 0) task->setPriority(s_->taskPriority);
        if (!s_->testBlock) s_->testBlock = fetcher_detail::globalTestBlock();
        s_->isUsingTestBlock = s_->testBlock != nullptr;
        useTestBlock = s_->isUsingTestBlock;
        // 20.
        if (!s_->initialRequestDate) s_->initialRequestDate = platform::Date::now();
    }
    sendStopNotificationIfNeeded();
    addPersistedBackgroundSessionToDefaults();
    setStopNotificationNeeded(true);
    postNotificationOnMainThreadWithName(kQNSessionFetcherStartedNotification, Value(), false);
    if (svc) svc->fetcherDidBeginFetching(self);

    // 21.
    if (useTestBlock) {
        simulateFetchForTestBlock();
    } else {
        task->resume();
    }
}

void QNSessionFetcher::failToBeginFetchWithError(std::optional<Error> error) {
    auto self = shared_from_this();
    std::shared_ptr<QNSessionFetcherServiceProtocol> svc;
    std::shared_ptr<platform::URLSession> ownSession;
    {
        QN_LOCKED;
        s_->hasStoppedFetching = true;
        svc = s_->service;
        // A session the fetcher made for this fetch would otherwise never be let go.
        if (s_->shouldInvalidateSession && s_->session) {
            ownSession = std::move(s_->session);
            s_->session.reset();
        }
    }
    if (!error) error = Error(QNSessionFetcherErrorDomain, QNSessionFetcherErrorCannotBegin);
    invokeFetchCallbacksOnCallbackQueueWithData(std::nullopt, error);
    releaseCallbacks();
    if (ownSession) ownSession->finishTasksAndInvalidate();
    if (svc) svc->fetcherDidStop(self);
    QN_LOCKED;
    s_->authorizer.reset();
}

// --- authorization ---

void QNSessionFetcher::authorizeRequest() {
    auto auth = authorizer();
    if (!auth) {
        beginFetchMayDelay(false, false);
        return;
    }
    std::shared_ptr<URLRequest> toSign;
    {
        QN_LOCKED;
        toSign = std::make_shared<URLRequest>(s_->request ? *s_->request : URLRequest());
        s_->authorizingRequest = toSign;
    }
    auto self = shared_from_this();
    auth->authorizeRequest(toSign, [self](const std::shared_ptr<URLRequest>& request, const std::optional<Error>& error) {
        self->authorizerFinished(request, error);
    });
}

void QNSessionFetcher::authorizerFinished(const std::shared_ptr<URLRequest>& request, const std::optional<Error>& error) {
    {
        QN_LOCKED;
        // A stopped fetch stays stopped, whatever an authorizer that missed the stop says.
        if (s_->hasStoppedFetching || s_->userStoppedFetching) return;
        if (s_->authorizingRequest == request) s_->authorizingRequest.reset();
    }
    if (error) {
        failToBeginFetchWithError(error);
        return;
    }
    {
        QN_LOCKED;
        if (request) s_->request = std::make_shared<URLRequest>(*request);
    }
    beginFetchMayDelay(false, false);
}

// --- stopping ---

void QNSessionFetcher::stopFetching() {
    {
        QN_LOCKED;
        s_->userStoppedFetching = true;
    }
    stopFetchReleasingCallbacks(true);
}

void QNSessionFetcher::stopFetchReleasingCallbacks(bool shouldReleaseCallbacks) {
    auto self = shared_from_this();
    removePersistedBackgroundSessionFromDefaults();
    destroyRetryTimer();

    std::shared_ptr<QNSessionFetcherServiceProtocol> svc;
    std::shared_ptr<URLRequest> heldRequest;
    std::shared_ptr<platform::URLSessionTask> cancelTask;
    std::shared_ptr<platform::URLSessionDownloadTask> resumeTask;
    ResumeDataBlock resumeBlock;
    std::shared_ptr<platform::DispatchQueue> resumeQueue;
    std::shared_ptr<platform::DispatchGroup> group;
    std::shared_ptr<platform::URLSession> sessionToInvalidate;
    {
        QN_LOCKED;
        s_->hasStoppedFetching = true;
        svc = s_->service;
        heldRequest = s_->authorizingRequest ? s_->authorizingRequest : s_->request;
        s_->authorizingRequest.reset();
        bool cancelled = false;
        if (auto task = s_->sessionTask) {
            if (!s_->isUsingTestBlock) {
                if (auto r = task->response()) s_->response = r;
            }
            s_->sessionTask.reset();
            if (task->state() != platform::URLSessionTask::State::Completed) {
                s_->abandonedTasks.push_back(task);
                auto download = std::dynamic_pointer_cast<platform::URLSessionDownloadTask>(task);
                if (s_->resumeDataBlock && download) {
                    resumeBlock = std::move(s_->resumeDataBlock);
                    s_->resumeDataBlock = nullptr;
                    resumeTask = download;
                    resumeQueue = s_->callbackQueue;
                    group = s_->callbackGroup;
                } else {
                    cancelTask = task;
                }
                cancelled = true;
            }
        }
        if (s_->shouldInvalidateSession && s_->session) {
            if (cancelled) {
                s_->sessionNeedingInvalidation = s_->session;
            } else {
                sessionToInvalidate = s_->session;
            }
            s_->session.reset();
        }
    }
    if (resumeTask) {
        group->enter();
        resumeTask->cancelByProducingResumeData([self, resumeBlock, resumeQueue, group](std::optional<Bytes> data) {
            if (data) {
                Bytes bytes = std::move(*data);
                self->invokeOnCallbackQueue(resumeQueue, true, [resumeBlock, bytes] { resumeBlock(bytes); });
            }
            group->leave();
        });
    }
    if (cancelTask) cancelTask->cancel();
    if (sessionToInvalidate) sessionToInvalidate->finishTasksAndInvalidate();

    sendStopNotificationIfNeeded();
    if (auto auth = authorizer(); auth && heldRequest) auth->stopAuthorizationForRequest(heldRequest);
    if (shouldReleaseCallbacks) {
        releaseCallbacks();
        QN_LOCKED;
        s_->authorizer.reset();
    }
    if (svc) svc->fetcherDidStop(self);
}

void QNSessionFetcher::releaseCallbacks() {
    std::shared_ptr<platform::DispatchQueue> queue;
    CompletionHandler handler;
    State released;  // blocks are destroyed after the lock is left
    {
        QN_LOCKED;
        queue = std::move(s_->callbackQueue);
        s_->callbackQueue.reset();
        handler = std::move(s_->completionHandler);
        s_->completionHandler = nullptr;
        std::swap(released.configurationBlock, s_->configurationBlock);
        std::swap(released.didReceiveResponseBlock, s_->didReceiveResponseBlock);
        std::swap(released.challengeBlock, s_->challengeBlock);
        std::swap(released.willRedirectBlock, s_->willRedirectBlock);
        std::swap(released.sendProgressBlock, s_->sendProgressBlock);
        std::swap(released.receivedProgressBlock, s_->receivedProgressBlock);
        std::swap(released.downloadProgressBlock, s_->downloadProgressBlock);
        std::swap(released.accumulateDataBlock, s_->accumulateDataBlock);
        std::swap(released.willCacheURLResponseBlock, s_->willCacheURLResponseBlock);
        std::swap(released.retryBlock, s_->retryBlock);
        std::swap(released.testBlock, s_->testBlock);
        std::swap(released.resumeDataBlock, s_->resumeDataBlock);
    }
}

bool QNSessionFetcher::waitForCompletionWithTimeout(platform::TimeInterval timeoutInSeconds) {
    double giveUp = platform::Clock::current()->monotonic() + timeoutInSeconds;
    bool spin = false;
    if (platform::RunLoop::isMainThread()) {
        auto queue = callbackQueue();
        spin = !queue || queue == platform::DispatchQueue::main();
    }
    while (true) {
        bool busy = false;
        std::shared_ptr<platform::DispatchGroup> group;
        {
            QN_LOCKED;
            if (s_->sessionTask && s_->sessionTask->state() != platform::URLSessionTask::State::Completed) busy = true;
            if (s_->completionHandler) busy = true;
            group = s_->callbackGroup;
        }
        if (!busy && group && !group->wait(spin ? 0.0 : 0.1)) busy = true;
        if (!busy) return true;
        if (platform::Clock::current()->monotonic() > giveUp) return false;
        if (spin) {
            platform::RunLoop::current()->runOnce(0.001);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

// --- background sessions ---

std::optional<std::string> QNSessionFetcher::sessionIdentifier() {
    QN_LOCKED;
    return s_->sessionIdentifier;
}

void QNSessionFetcher::setSessionIdentifier(const std::string& sessionIdentifier) {
    QN_LOCKED;
    s_->sessionIdentifier = sessionIdentifier;
    s_->usingBackgroundSession = true;
    s_->canShareSession = false;
    restoreDefaultStateForSessionIdentifierMetadata();
}

void QNSessionFetcher::setSessionIdentifierInternal(std::optional<std::string> sessionIdentifier) {
    QN_LOCKED;
    s_->sessionIdentifier = std::move(sessionIdentifier);
}

std::optional<Value> QNSessionFetcher::sessionUserInfo() {
    QN_LOCKED;
    if (!s_->sessionUserInfo) {
        if (auto metadata = sessionIdentifierMetadataUnsynchronized()) {
            Value info = Value::dictionary();
            for (const auto& [key, value] : metadata->asDictionary()) {
                if (!platform::hasPrefix(key, "_")) info.set(key, value);
            }
            if (info.size() > 0) s_->sessionUserInfo = info;
        }
    }
    return s_->sessionUserInfo;
}

void QNSessionFetcher::setSessionUserInfo(std::optional<Value> info) {
    QN_LOCKED;
    s_->sessionUserInfo = std::move(info);
}

std::optional<Value> QNSessionFetcher::sessionIdentifierMetadata() {
    QN_LOCKED;
    return sessionIdentifierMetadataUnsynchronized();
}

std::optional<Value> QNSessionFetcher::sessionIdentifierMetadataUnsynchronized() {
    if (!s_->sessionIdentifier) return std::nullopt;
    const std::string& id = *s_->sessionIdentifier;
    // prefix "_" uuid "_" json: every part must be present.
    size_t first = id.find('_');
    if (first == std::string::npos || first == 0) return std::nullopt;
    size_t second = id.find('_', first + 1);
    if (second == std::string::npos || second == first + 1) return std::nullopt;
    size_t end = id.find('\n', second + 1);
    std::string json = id.substr(second + 1, end == std::string::npos ? std::string::npos : end - second - 1);
    if (json.empty()) return std::nullopt;
    s_->sessionIdentifierUUID = id.substr(first + 1, second - first - 1);
    auto metadata = Value::fromJSON(json);
    if (!metadata || !metadata->isDictionary()) return std::nullopt;
    return metadata;
}

std::optional<Value> QNSessionFetcher::sessionIdentifierDefaultMetadata() {
    QN_LOCKED;
    Value metadata = Value::dictionary();
    if (s_->destinationFileURL) metadata.set("_destURL", s_->destinationFileURL->absoluteString());
    if (s_->bodyFileURL) metadata.set("_bodyURL", s_->bodyFileURL->absoluteString());
    if (metadata.size() == 0) return std::nullopt;
    return metadata;
}

void QNSessionFetcher::restoreDefaultStateForSessionIdentifierMetadata() {
    QN_LOCKED;
    auto metadata = sessionIdentifierMetadataUnsynchronized();
    if (!metadata) return;
    if (auto dest = (*metadata)["_destURL"].stringValue()) {
        if (auto url = URL::URLWithString(*dest)) s_->destinationFileURL = *url;
    }
    if (auto body = (*metadata)["_bodyURL"].stringValue()) {
        if (auto url = URL::URLWithString(*body)) s_->bodyFileURL = *url;
    }
}

std::string QNSessionFetcher::createSessionIdentifierWithMetadata(const std::optional<Value>& metadataToInclude) {
    QN_LOCKED;
    s_->sessionIdentifierUUID = platform::UUID().uuidString();
    std::string identifier = std::string(kQNSessionIdentifierPrefix) + "_" + *s_->sessionIdentifierUUID;
    Value metadata = Value::dictionary();
    auto merge = [&](const std::optional<Value>& dict) {
        if (!dict || !dict->isDictionary()) return;
        for (const auto& [key, value] : dict->asDictionary()) metadata.set(key, value);
    };
    merge(s_->sessionUserInfo);
    merge(metadataToInclude);
    merge(sessionIdentifierDefaultMetadata());
    if (metadata.size() > 0) {
        std::string json = metadata.toJSON(false);
        if (!json.empty()) identifier += "_" + json;
    }
    s_->sessionIdentifier = identifier;
    s_->didCreateSessionIdentifier = true;
    return identifier;
}

void QNSessionFetcher::forgetSessionIdentifierForFetcher() {
    QN_LOCKED;
    forgetSessionIdentifierForFetcherWithoutSyncCheck();
}

void QNSessionFetcher::forgetSessionIdentifierForFetcherWithoutSyncCheck() {
    if (!s_ || !s_->sessionIdentifier) return;
    removeFetcherForIdentifier(*s_->sessionIdentifier, this);
    s_->sessionIdentifier.reset();
    s_->didCreateSessionIdentifier = false;
}

std::optional<std::vector<std::string>> QNSessionFetcher::activePersistedBackgroundSessions() {
    auto stored = storedPersistedSessions();
    if (stored.empty()) return std::nullopt;
    std::vector<std::string> active;
    for (const auto& identifier : stored) {
        if (liveFetcherForIdentifier(identifier)) active.push_back(identifier);
    }
    if (active.empty()) return std::nullopt;
    return active;
}

void QNSessionFetcher::addPersistedBackgroundSessionToDefaults() {
    auto identifier = sessionIdentifier();
    if (!identifier) return;
    auto active = activePersistedBackgroundSessions().value_or(std::vector<std::string>());
    if (std::find(active.begin(), active.end(), *identifier) != active.end()) return;
    active.push_back(*identifier);
    writePersistedSessions(active);
}

void QNSessionFetcher::removePersistedBackgroundSessionFromDefaults() {
    auto identifier = sessionIdentifier();
    if (!identifier) return;
    auto active = activePersistedBackgroundSessions();
    if (!active) return;
    auto it = std::find(active->begin(), active->end(), *identifier);
    if (it == active->end()) return;
    active->erase(it);
    writePersistedSessions(*active);
}

std::vector<std::shared_ptr<QNSessionFetcher>> QNSessionFetcher::fetchersForBackgroundSessions() {
    std::vector<std::shared_ptr<QNSessionFetcher>> fetchers;
    for (const auto& identifier : storedPersistedSessions()) {
        auto fetcher = liveFetcherForIdentifier(identifier);
        if (!fetcher) {
            fetcher = fetcherWithSessionIdentifier(identifier);
            if (fetcher) fetcher->beginFetchWithCompletionHandler(nullptr);
        }
        if (fetcher) fetchers.push_back(fetcher);
    }
    return fetchers;
}

void QNSessionFetcher::reconnectFetchersForBackgroundSessionsOnAppLaunch() {
    platform::DispatchQueue::main()->async([] { fetchersForBackgroundSessions(); });
}

}  // namespace quorvane
