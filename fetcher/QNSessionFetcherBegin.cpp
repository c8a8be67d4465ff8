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
        fetcher->s_->background.wasCreatedFromBackgroundSession = true;
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
    return [self, didFinish](std::optional<Bytes>&& data, const std::optional<Error>& error) {
        if (didFinish) didFinish(self, std::move(data), error);
    };
}

void QNSessionFetcher::beginFetchForRetry() { beginFetchMayDelay(true, true); }

bool QNSessionFetcher::appAllowsInsecureRequests() {
    // Nothing below the application refuses plain http here, so the fetcher's own rule applies.
    return true;
}

// What one pass of the begin sequence learns on its way; it lives for that pass only. The
// fetcher's own state is read and written under its lock by the steps themselves.
struct QNSessionFetcher::BeginContext {
    std::shared_ptr<QNSessionFetcher> self;
    bool mayDelay = false;
    bool mayAuthorize = false;
    // Taken at the start of the pass.
    std::shared_ptr<URLRequest> request;
    std::optional<URL> url;
    std::optional<std::string> priorSessionIdentifier;
    bool hasTask = false;
    bool hasResumeData = false;
    // Where the fetch runs.
    bool usingBackground = false;
    bool isDataURL = false;
    bool restoring = false;
    bool canShare = false;
    std::shared_ptr<platform::HTTPCookieStorage> cookies;
    std::shared_ptr<QNSessionFetcherServiceProtocol> service;
    std::shared_ptr<platform::URLSession> session;
    // What is sent.
    bool isGET = false;
    bool needsUploadTask = false;
    std::string method;
    std::shared_ptr<const Bytes> bodyData;
    std::optional<URL> bodyFile;
    BodyStreamProvider streamProvider;
    // What runs it.
    std::shared_ptr<platform::URLSessionTask> task;
    bool useTestBlock = false;
};

void QNSessionFetcher::beginFetchMayDelay(bool mayDelay, bool mayAuthorize) {
    struct Step {
        const char* name;
        BeginStep (QNSessionFetcher::*run)(BeginContext&);
    };
    static constexpr Step kSteps[] = {
        {"take the request", &QNSessionFetcher::beginTakeRequest},
        {"check there is something to fetch", &QNSessionFetcher::beginCheckSomethingToFetch},
        {"choose a background session", &QNSessionFetcher::beginChooseBackgroundSession},
        {"check the body file", &QNSessionFetcher::beginCheckBodyFile},
        {"check the scheme", &QNSessionFetcher::beginCheckScheme},
        {"take the cookie storage", &QNSessionFetcher::beginTakeCookieStorage},
        {"decide on sharing the session", &QNSessionFetcher::beginDecideSessionSharing},
        {"take the service's session", &QNSessionFetcher::beginTakeServiceSession},
        {"make a session", &QNSessionFetcher::beginMakeSession},
        {"reattach a background session", &QNSessionFetcher::beginReattachBackgroundSession},
        {"clear the received data", &QNSessionFetcher::beginClearReceivedData},
        {"wait for the service", &QNSessionFetcher::beginWaitForService},
        {"prepare the method and body", &QNSessionFetcher::beginPrepareMethodAndBody},
        {"authorize", &QNSessionFetcher::beginAuthorize},
        {"cap the backoff", &QNSessionFetcher::beginCapBackoff},
        {"make the task", &QNSessionFetcher::beginMakeTask},
        {"record the task", &QNSessionFetcher::beginRecordTask},
        {"announce the start", &QNSessionFetcher::beginAnnounceStart},
        {"start the task", &QNSessionFetcher::beginStartTask},
    };
    BeginContext c;
    c.self = shared_from_this();
    c.mayDelay = mayDelay;
    c.mayAuthorize = mayAuthorize;
    for (const Step& step : kSteps) {
        if ((this->*step.run)(c) == BeginStep::Next) continue;
        if (platform::Log::minimumLevel() <= platform::LogLevel::Debug) {
            platform::Log::debug(fetcher_detail::logCategory(), description() + ": begin ends at: " + step.name);
        }
        return;
    }
}

QNSessionFetcher::BeginStep QNSessionFetcher::failToBeginWithCode(const BeginContext& c, int64_t code) {
    Value info = Value::dictionary();
    info.set(Error::kURLErrorFailingURLStringKey, fetcher_detail::failingURLString(c.request));
    failToBeginFetchWithError(Error(QNSessionFetcherErrorDomain, code, info));
    return BeginStep::End;
}

QNSessionFetcher::BeginStep QNSessionFetcher::beginTakeRequest(BeginContext& c) {
    QN_LOCKED;
    // A stop by the caller is final: a delayed start or a late authorization begins nothing.
    if (s_->status.userStoppedFetching) return BeginStep::End;
    c.request = s_->req.request;
    if (c.request) c.url = c.request->url();
    c.priorSessionIdentifier = s_->background.identifier;
    if (!s_->status.initialBeginFetchDate) s_->status.initialBeginFetchDate = platform::Date::now();
    if (!s_->security.originURL && c.url) s_->security.originURL = c.url;
    c.hasTask = s_->task.sessionTask != nullptr;
    c.hasResumeData = s_->download.resumeData.has_value();
    // A retry or a delayed start begins again: the fetch is running once more.
    s_->status.hasStoppedFetching = false;
    return BeginStep::Next;
}

QNSessionFetcher::BeginStep QNSessionFetcher::beginCheckSomethingToFetch(BeginContext& c) {
    // An attached task: a background fetch is already running; anything else is a misuse.
    if (c.hasTask && c.priorSessionIdentifier) return BeginStep::End;
    if (c.hasTask || (!c.url && !c.priorSessionIdentifier && !c.hasResumeData)) {
        return failToBeginWithCode(c, QNSessionFetcherErrorCannotBegin);
    }
    return BeginStep::Next;
}

QNSessionFetcher::BeginStep QNSessionFetcher::beginChooseBackgroundSession(BeginContext& c) {
    bool requested = useBackgroundSession() && canFetchWithBackgroundSession();
    QN_LOCKED;
    s_->background.inUse = requested || s_->background.inUse;
    c.usingBackground = s_->background.inUse;
    return BeginStep::Next;
}

QNSessionFetcher::BeginStep QNSessionFetcher::beginCheckBodyFile(BeginContext&) {
    auto bodyFile = bodyFileURL();
    if (!bodyFile) return BeginStep::Next;
    auto reachable = fetcher_detail::checkReachable(*bodyFile);
    if (reachable) return BeginStep::Next;
    platform::Log::error(fetcher_detail::logCategory(), "Body file is unreachable: " + bodyFile->path() + "\n  " +
                                                            reachable.error().localizedDescription());
    failToBeginFetchWithError(reachable.error());
    return BeginStep::End;
}

bool QNSessionFetcher::admitsInsecureURL(const URL& url) {
    const std::string& scheme = url.scheme();
    if (schemeEquals(scheme, "https")) return true;
    for (const auto& allowed : allowedInsecureSchemes()) {
        if (schemeEquals(scheme, allowed)) return true;
    }
    if (!allowLocalhostRequest()) return false;
    const auto& host = url.host();
    return QNSessionIsLocalhostHost(host) || ((!host || host->empty()) && url.isFileURL());
}

QNSessionFetcher::BeginStep QNSessionFetcher::beginCheckScheme(BeginContext& c) {
    // A data URL runs in an ephemeral session of its own, with neither the https rule nor
    // authorization.
    c.isDataURL = c.url && c.url->scheme() == "data";
    if (c.isDataURL) {
        QN_LOCKED;
        if (s_->background.identifier) {
            removeFetcherForIdentifier(*s_->background.identifier, this);
            s_->background.identifier.reset();
        }
        s_->background.userRequested = false;
        s_->background.inUse = false;
        c.usingBackground = false;
        c.priorSessionIdentifier.reset();
        return BeginStep::Next;
    }
    if (!c.url || !appAllowsInsecureRequests() || admitsInsecureURL(*c.url)) return BeginStep::Next;
    platform::Log::error(fetcher_detail::logCategory(), "Insecure fetch disallowed for " + c.url->absoluteString());
    return failToBeginWithCode(c, QNSessionFetcherErrorInsecureFetchDisallowed);
}

QNSessionFetcher::BeginStep QNSessionFetcher::beginTakeCookieStorage(BeginContext& c) {
    QN_LOCKED;
    if (!s_->task.cookieStorage) s_->task.cookieStorage = staticCookieStorage();
    c.cookies = s_->task.cookieStorage;
    return BeginStep::Next;
}

QNSessionFetcher::BeginStep QNSessionFetcher::beginDecideSessionSharing(BeginContext& c) {
    c.restoring = !c.request && c.priorSessionIdentifier.has_value();
    c.canShare = !c.restoring && !c.usingBackground;
    QN_LOCKED;
    // A session identifier without a configuration makes a background session of its own
    // below: asking the service for its shared one would hold the service's session creation
    // for a session that is never reported back.
    if (s_->background.identifier && !s_->task.configuration) c.canShare = false;
    s_->task.canShareSession = c.canShare;
    c.service = s_->scheduling.service;
    c.session = s_->task.session;
    return BeginStep::Next;
}

QNSessionFetcher::BeginStep QNSessionFetcher::beginTakeServiceSession(BeginContext& c) {
    if (c.session || !c.canShare || !c.service) return BeginStep::Next;
    c.session = c.service->sessionForFetcherCreation();
    if (c.session) setSession(c.session);
    return BeginStep::Next;
}

QNSessionFetcher::BeginStep QNSessionFetcher::beginMakeSession(BeginContext& c) {
    // A session of its own (or the first shared one).
    if (c.session) return BeginStep::Next;
    std::optional<platform::URLSessionConfiguration> configuration;
    std::shared_ptr<platform::OperationQueue> delegateQueue;
    {
        QN_LOCKED;
        auto& task = s_->task;
        if (!task.configuration) {
            if (!s_->background.identifier && !s_->background.inUse) {
                task.configuration = platform::URLSessionConfiguration::ephemeralSessionConfiguration();
            } else {
                std::string identifier = s_->background.identifier ? *s_->background.identifier
                                                                   : createSessionIdentifierWithMetadata(std::nullopt);
                setFetcherForIdentifier(identifier, c.self);
                task.configuration =
                    platform::URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(identifier);
                s_->background.inUse = true;
                c.usingBackground = true;
                c.canShare = false;
                task.canShareSession = false;
            }
            task.configuration->setTLSMinimumSupportedProtocolVersion(platform::TLSProtocolVersion::TLSv12);
        }
        task.configuration->setHTTPCookieStorage(c.cookies);
        configuration = task.configuration;
        delegateQueue = task.delegateQueue;
    }
    if (auto block = configurationBlock()) block(c.self, *configuration);

    std::shared_ptr<platform::URLSessionDelegate> delegate;
    if (c.service && c.canShare) delegate = c.service->sessionDelegate();
    bool ownDelegate = !delegate;
    if (ownDelegate) delegate = c.self;
    c.session = platform::URLSession::sessionWithConfiguration(*configuration, delegate, delegateQueue);
    {
        QN_LOCKED;
        s_->task.session = c.session;
        if (ownDelegate && c.session) s_->task.shouldInvalidateSession = true;
    }
    if (c.service) c.service->fetcherDidCreateSession(c.self);
    return BeginStep::Next;
}

QNSessionFetcher::BeginStep QNSessionFetcher::beginReattachBackgroundSession(BeginContext& c) {
    // Reattaching a background session: its task's callbacks drive the rest.
    if (!c.restoring) return BeginStep::Next;
    {
        QN_LOCKED;
        s_->task.shouldInvalidateSession = true;
    }
    c.session->getTasksWithCompletionHandler(
        [self = c.self](std::vector<std::shared_ptr<platform::URLSessionDataTask>> dataTasks,
                        std::vector<std::shared_ptr<platform::URLSessionUploadTask>> uploadTasks,
                        std::vector<std::shared_ptr<platform::URLSessionDownloadTask>> downloadTasks) {
            if (!dataTasks.empty() || !uploadTasks.empty() || !downloadTasks.empty()) return;
            platform::DispatchQueue::main()->asyncAfter(1.0, [self] {
                if (self->sessionTask()) return;
                self->removePersistedBackgroundSessionFromDefaults();
                self->failToBeginFetchWithError(
                    Error(QNSessionFetcherErrorDomain, QNSessionFetcherErrorBackgroundTaskLost));
            });
        });
    return BeginStep::End;
}

QNSessionFetcher::BeginStep QNSessionFetcher::beginClearReceivedData(BeginContext&) {
    QN_LOCKED;
    s_->download.data.reset();
    s_->download.length = 0;
    s_->download.limitError.reset();
    s_->download.errorBodyCut = false;
    return BeginStep::Next;
}

QNSessionFetcher::BeginStep QNSessionFetcher::beginWaitForService(BeginContext& c) {
    // The service may queue the fetcher and begin it later.
    if (!c.mayDelay || !c.service || servicePriority() == kQNSessionFetcherServicePriorityBypass) {
        return BeginStep::Next;
    }
    if (c.service->fetcherShouldBeginFetching(c.self)) return BeginStep::Next;
    // A stale shared session is not reused when the fetcher starts later.
    if (c.canShare) setSession(nullptr);
    return BeginStep::End;
}

QNSessionFetcher::BeginStep QNSessionFetcher::beginPrepareMethodAndBody(BeginContext& c) {
    QN_LOCKED;
    const auto& request = s_->req.request;
    c.bodyData = s_->req.bodyData;
    c.bodyFile = s_->req.bodyFileURL;
    c.streamProvider = s_->req.bodyStreamProvider;
    std::optional<std::string> method;
    if (request) {
        method = request->valueForHTTPHeaderField("X-HTTP-Method-Override");
        if (!method) method = request->HTTPMethod();
    }
    c.method = method.value_or("");
    c.isGET = !method || method->empty() || *method == "GET";
    c.needsUploadTask = s_->req.useUploadTask || c.bodyFile || c.streamProvider;
    // A body file counts as a body too: a GET would leave it unsent.
    if (request && (c.bodyData || c.bodyFile || c.streamProvider || request->HTTPBodyStream())) {
        if (c.isGET) {
            request->setHTTPMethod("POST");
            c.isGET = false;
        }
        if (c.bodyData && !c.needsUploadTask) request->setHTTPBody(c.bodyData);
    }
    return BeginStep::Next;
}

QNSessionFetcher::BeginStep QNSessionFetcher::beginAuthorize(BeginContext& c) {
    // The authorizer signs first; it begins the fetch again once the request is signed.
    auto auth = authorizer();
    if (!c.mayAuthorize || c.isDataURL || !auth) return BeginStep::Next;
    std::optional<URLRequest> toCheck = request();
    if (!toCheck || auth->isAuthorizedRequest(*toCheck)) return BeginStep::Next;
    if (c.canShare) setSession(nullptr);
    authorizeRequest();
    return BeginStep::End;
}

QNSessionFetcher::BeginStep QNSessionFetcher::beginCapBackoff(BeginContext& c) {
    QN_LOCKED;
    if (s_->retry.enabled && !(s_->retry.maxInterval > 0)) {
        s_->retry.maxInterval = (c.isGET || c.method == "HEAD") ? 60.0 : 600.0;
    }
    return BeginStep::Next;
}

QNSessionFetcher::BeginStep QNSessionFetcher::beginMakeTask(BeginContext& c) {
    std::optional<Bytes> resumeData = downloadResumeData();
    std::optional<URL> destination = destinationFileURL();
    URLRequest sendRequest;
    {
        QN_LOCKED;
        if (s_->req.request) sendRequest = *s_->req.request;
    }
    const auto& session = c.session;
    // The session's call that made no task, and what it was given.
    const char* made = "dataTaskWithRequest";
    std::string given;
    if (resumeData) {
        c.task = session->downloadTaskWithResumeData(*resumeData);
        made = "downloadTaskWithResumeData";
        given = ", resume data " + std::to_string(resumeData->size()) + " bytes";
    } else if (!c.isDataURL && destination) {
        c.task = session->downloadTaskWithRequest(sendRequest);
        made = "downloadTaskWithRequest";
    } else if (c.needsUploadTask && c.bodyFile) {
        c.task = session->uploadTaskWithRequest(sendRequest, *c.bodyFile);
        made = "uploadTaskWithRequest";
        given = ", file " + c.bodyFile->path();
    } else if (c.needsUploadTask && c.streamProvider) {
        c.task = session->uploadTaskWithStreamedRequest(sendRequest);
        made = "uploadTaskWithStreamedRequest";
    } else if (c.needsUploadTask) {
        std::string describe = c.url ? c.url->absoluteString() : "(missing URL)";
        if (!c.bodyData) platform::Log::error(fetcher_detail::logCategory(), "Upload task needs body data, " + describe);
        c.task = session->uploadTaskWithRequest(sendRequest, c.bodyData ? c.bodyData : std::make_shared<const Bytes>());
        made = "uploadTaskWithRequest";
        given = ", body data " + std::to_string(c.bodyData ? c.bodyData->size() : 0) + " bytes";
    } else {
        c.task = session->dataTaskWithRequest(sendRequest);
    }
    if (c.task) return BeginStep::Next;
    platform::Log::error(fetcher_detail::logCategory(), std::string("Failed ") + made + " for " +
                                                            (c.url ? c.url->absoluteString() : "(missing URL)") + given);
    {
        QN_LOCKED;
        s_->task.sessionTask.reset();
    }
    return failToBeginWithCode(c, QNSessionFetcherErrorTaskNotCreated);
}

QNSessionFetcher::BeginStep QNSessionFetcher::beginRecordTask(BeginContext& c) {
    std::unique_lock<std::recursive_mutex> lock(mutex_);
    if (s_->status.userStoppedFetching) {
        // Stopped from another thread while the task was being made: it never starts.
        s_->task.abandonedTasks.push_back(c.task);
        std::shared_ptr<platform::URLSession> own;
        if (s_->task.shouldInvalidateSession && s_->task.session == c.session) {
            own = std::move(s_->task.session);
            s_->task.session.reset();
        }
        lock.unlock();
        c.task->cancel();
        if (own) own->finishTasksAndInvalidate();
        return BeginStep::End;
    }
    s_->task.sessionTask = c.task;
    bool isDownload = std::dynamic_pointer_cast<platform::URLSessionDownloadTask>(c.task) != nullptr;
    if (!isDownload && !s_->callbacks.accumulateDataBlock) s_->download.data = Bytes();
    if (s_->task.description) c.task->setTaskDescription(s_->task.description);
    if (s_->task.priority >= 0) c.task->setPriority(s_->task.priority);
    if (!s_->callbacks.testBlock) s_->callbacks.testBlock = fetcher_detail::globalTestBlock();
    s_->status.isUsingTestBlock = s_->callbacks.testBlock != nullptr;
    c.useTestBlock = s_->status.isUsingTestBlock;
    if (!s_->status.initialRequestDate) s_->status.initialRequestDate = platform::Date::now();
    return BeginStep::Next;
}

QNSessionFetcher::BeginStep QNSessionFetcher::beginAnnounceStart(BeginContext& c) {
    sendStopNotificationIfNeeded();
    addPersistedBackgroundSessionToDefaults();
    setStopNotificationNeeded(true);
    postNotificationOnMainThreadWithName(kQNSessionFetcherStartedNotification, Value(), false);
    if (c.service) c.service->fetcherDidBeginFetching(c.self);
    return BeginStep::Next;
}

QNSessionFetcher::BeginStep QNSessionFetcher::beginStartTask(BeginContext& c) {
    if (c.useTestBlock) {
        simulateFetchForTestBlock();
    } else {
        c.task->resume();
    }
    return BeginStep::Next;
}

void QNSessionFetcher::failToBeginFetchWithError(std::optional<Error> error) {
    auto self = shared_from_this();
    std::shared_ptr<QNSessionFetcherServiceProtocol> svc;
    std::shared_ptr<platform::URLSession> ownSession;
    {
        QN_LOCKED;
        s_->status.hasStoppedFetching = true;
        svc = s_->scheduling.service;
        // A session the fetcher made for this fetch would otherwise never be let go.
        if (s_->task.shouldInvalidateSession && s_->task.session) {
            ownSession = std::move(s_->task.session);
            s_->task.session.reset();
        }
    }
    if (!error) error = Error(QNSessionFetcherErrorDomain, QNSessionFetcherErrorCannotBegin);
    invokeFetchCallbacksOnCallbackQueueWithData(std::nullopt, error);
    releaseCallbacks();
    if (ownSession) ownSession->finishTasksAndInvalidate();
    if (svc) svc->fetcherDidStop(self);
    QN_LOCKED;
    s_->security.authorizer.reset();
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
        toSign = std::make_shared<URLRequest>(s_->req.request ? *s_->req.request : URLRequest());
        s_->req.authorizingRequest = toSign;
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
        if (s_->status.hasStoppedFetching || s_->status.userStoppedFetching) return;
        if (s_->req.authorizingRequest == request) s_->req.authorizingRequest.reset();
    }
    if (error) {
        failToBeginFetchWithError(error);
        return;
    }
    {
        QN_LOCKED;
        if (request) s_->req.request = std::make_shared<URLRequest>(*request);
    }
    beginFetchMayDelay(false, false);
}

// --- stopping ---

void QNSessionFetcher::stopFetching() {
    {
        QN_LOCKED;
        s_->status.userStoppedFetching = true;
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
        s_->status.hasStoppedFetching = true;
        svc = s_->scheduling.service;
        heldRequest = s_->req.authorizingRequest ? s_->req.authorizingRequest : s_->req.request;
        s_->req.authorizingRequest.reset();
        bool cancelled = false;
        if (auto task = s_->task.sessionTask) {
            if (!s_->status.isUsingTestBlock) {
                if (auto r = task->response()) s_->task.response = r;
            }
            s_->task.sessionTask.reset();
            if (task->state() != platform::URLSessionTask::State::Completed) {
                s_->task.abandonedTasks.push_back(task);
                auto download = std::dynamic_pointer_cast<platform::URLSessionDownloadTask>(task);
                if (s_->callbacks.resumeDataBlock && download) {
                    resumeBlock = std::move(s_->callbacks.resumeDataBlock);
                    s_->callbacks.resumeDataBlock = nullptr;
                    resumeTask = download;
                    resumeQueue = s_->callbacks.queue;
                    group = s_->status.callbackGroup;
                } else {
                    cancelTask = task;
                }
                cancelled = true;
            }
        }
        if (s_->task.shouldInvalidateSession && s_->task.session) {
            if (cancelled) {
                s_->task.sessionNeedingInvalidation = s_->task.session;
            } else {
                sessionToInvalidate = s_->task.session;
            }
            s_->task.session.reset();
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
        s_->security.authorizer.reset();
    }
    if (svc) svc->fetcherDidStop(self);
}

void QNSessionFetcher::releaseCallbacks() {
    State::Callbacks released;  // the blocks are destroyed after the lock is left
    QN_LOCKED;
    std::swap(released, s_->callbacks);
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
            const auto& task = s_->task.sessionTask;
            if (task && task->state() != platform::URLSessionTask::State::Completed) busy = true;
            if (s_->callbacks.completionHandler) busy = true;
            group = s_->status.callbackGroup;
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
    return s_->background.identifier;
}

void QNSessionFetcher::setSessionIdentifier(const std::string& sessionIdentifier) {
    QN_LOCKED;
    s_->background.identifier = sessionIdentifier;
    s_->background.inUse = true;
    s_->task.canShareSession = false;
    restoreDefaultStateForSessionIdentifierMetadata();
}

void QNSessionFetcher::setSessionIdentifierInternal(std::optional<std::string> sessionIdentifier) {
    QN_LOCKED;
    s_->background.identifier = std::move(sessionIdentifier);
}

std::optional<Value> QNSessionFetcher::sessionUserInfo() {
    QN_LOCKED;
    if (!s_->background.userInfo) {
        if (auto metadata = sessionIdentifierMetadataUnsynchronized()) {
            Value info = Value::dictionary();
            for (const auto& [key, value] : metadata->asDictionary()) {
                if (!platform::hasPrefix(key, "_")) info.set(key, value);
            }
            if (info.size() > 0) s_->background.userInfo = info;
        }
    }
    return s_->background.userInfo;
}

void QNSessionFetcher::setSessionUserInfo(std::optional<Value> info) {
    QN_LOCKED;
    s_->background.userInfo = std::move(info);
}

std::optional<Value> QNSessionFetcher::sessionIdentifierMetadata() {
    QN_LOCKED;
    return sessionIdentifierMetadataUnsynchronized();
}

std::optional<Value> QNSessionFetcher::sessionIdentifierMetadataUnsynchronized() {
    if (!s_->background.identifier) return std::nullopt;
    const std::string& id = *s_->background.identifier;
    // prefix "_" uuid "_" json: every part must be present.
    size_t first = id.find('_');
    if (first == std::string::npos || first == 0) return std::nullopt;
    size_t second = id.find('_', first + 1);
    if (second == std::string::npos || second == first + 1) return std::nullopt;
    size_t end = id.find('\n', second + 1);
    std::string json = id.substr(second + 1, end == std::string::npos ? std::string::npos : end - second - 1);
    if (json.empty()) return std::nullopt;
    s_->background.identifierUUID = id.substr(first + 1, second - first - 1);
    auto metadata = Value::fromJSON(json);
    if (!metadata || !metadata->isDictionary()) return std::nullopt;
    return std::move(*metadata);
}

std::optional<Value> QNSessionFetcher::sessionIdentifierDefaultMetadata() {
    QN_LOCKED;
    Value metadata = Value::dictionary();
    if (s_->download.destinationFileURL) metadata.set("_destURL", s_->download.destinationFileURL->absoluteString());
    if (s_->req.bodyFileURL) metadata.set("_bodyURL", s_->req.bodyFileURL->absoluteString());
    if (metadata.size() == 0) return std::nullopt;
    return metadata;
}

void QNSessionFetcher::restoreDefaultStateForSessionIdentifierMetadata() {
    QN_LOCKED;
    auto metadata = sessionIdentifierMetadataUnsynchronized();
    if (!metadata) return;
    if (auto dest = (*metadata)["_destURL"].stringValue()) {
        if (auto url = URL::URLWithString(*dest)) s_->download.destinationFileURL = *url;
    }
    if (auto body = (*metadata)["_bodyURL"].stringValue()) {
        if (auto url = URL::URLWithString(*body)) s_->req.bodyFileURL = *url;
    }
}

std::string QNSessionFetcher::createSessionIdentifierWithMetadata(const std::optional<Value>& metadataToInclude) {
    QN_LOCKED;
    s_->background.identifierUUID = platform::UUID().uuidString();
    std::string identifier = std::string(kQNSessionIdentifierPrefix) + "_" + *s_->background.identifierUUID;
    Value metadata = Value::dictionary();
    auto merge = [&](const std::optional<Value>& dict) {
        if (!dict || !dict->isDictionary()) return;
        for (const auto& [key, value] : dict->asDictionary()) metadata.set(key, value);
    };
    merge(s_->background.userInfo);
    merge(metadataToInclude);
    merge(sessionIdentifierDefaultMetadata());
    if (metadata.size() > 0) {
        std::string json = metadata.toJSON(false);
        if (!json.empty()) identifier += "_" + json;
    }
    s_->background.identifier = identifier;
    s_->background.didCreateIdentifier = true;
    return identifier;
}

void QNSessionFetcher::forgetSessionIdentifierForFetcher() {
    QN_LOCKED;
    forgetSessionIdentifierForFetcherWithoutSyncCheck();
}

void QNSessionFetcher::forgetSessionIdentifierForFetcherWithoutSyncCheck() {
    if (!s_ || !s_->background.identifier) return;
    removeFetcherForIdentifier(*s_->background.identifier, this);
    s_->background.identifier.reset();
    s_->background.didCreateIdentifier = false;
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
