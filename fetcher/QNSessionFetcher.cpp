// QNSessionFetcher: making fetchers, their description, and the locked property accessors.

#include "fetcher/QNSessionFetcher.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>

#include "fetcher/QNSessionCookieStorage.h"
#include "fetcher/QNSessionFetcherState.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

namespace fetcher_detail {

platform::TimeInterval randomMinRetryInterval() {
    static std::mutex m;
    static std::mt19937 engine{std::random_device{}()};
    std::lock_guard<std::mutex> lock(m);
    std::uniform_int_distribution<uint32_t> dist(0, 65534);
    return 1.0 + double(dist(engine)) / 65535.0;
}

std::string failingURLString(const std::shared_ptr<URLRequest>& request) {
    if (request && request->url()) return request->url()->absoluteString();
    return "(missing URL)";
}

platform::Result<void> checkReachable(const URL& fileURL) {
    std::filesystem::path path = fileURL.path();
    if (!fileURL.isFileURL()) return platform::posixError(EINVAL, "not a file URL: " + fileURL.absoluteString());
    if (::access(path.c_str(), R_OK) != 0) return platform::posixError(errno, path.string());
    return {};
}

void removeItemAtURL(const URL& fileURL) {
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(fileURL.path()), ec);
}

platform::Result<void> writeDataToFile(const Bytes& data, const URL& fileURL) {
    std::filesystem::path path = fileURL.path();
    std::error_code ec;
    if (path.has_parent_path()) {
        std::filesystem::create_directories(path.parent_path(), ec);
        if (ec) return platform::posixError(ec.value(), path.parent_path().string());
    }
    return platform::writeFileAtomically(path, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()),
                                         0644);
}

const char* logCategory() { return "QNSessionFetcher"; }

}  // namespace fetcher_detail

bool QNSessionIsLocalhostHost(const std::optional<std::string>& host) {
    if (!host) return false;
    if (*host == "::1" || *host == "127.0.0.1") return true;
    if (host->size() != 9) return false;
    static const char* kLocal = "localhost";
    for (size_t i = 0; i < 9; ++i) {
        if (std::tolower(static_cast<unsigned char>((*host)[i])) != kLocal[i]) return false;
    }
    return true;
}

// --- making fetchers ---

QNSessionFetcher::QNSessionFetcher(std::optional<URLRequest> request,
                                   std::optional<platform::URLSessionConfiguration> configuration)
    : s_(std::make_unique<State>()) {
    if (request) {
        s_->req.request = std::make_shared<URLRequest>(std::move(*request));
        const auto& body = s_->req.request->HTTPBody();
        s_->req.bodyLength = body ? int64_t(body->size()) : -1;
    }
    s_->task.configuration = std::move(configuration);
    s_->callbacks.queue = platform::DispatchQueue::main();
    s_->status.callbackGroup = platform::DispatchGroup::make();
    s_->task.delegateQueue = platform::OperationQueue::main();
    s_->retry.minInterval = fetcher_detail::randomMinRetryInterval();
    s_->retry.maxInterval = -1.0;
    s_->task.priority = -1.0f;
    s_->caller.testBlockAccumulateDataChunkCount = 1;
}

std::shared_ptr<QNSessionFetcher> QNSessionFetcher::fetcherWithRequest(std::optional<URLRequest> request) {
    return std::make_shared<QNSessionFetcher>(std::move(request), std::nullopt);
}

std::shared_ptr<QNSessionFetcher> QNSessionFetcher::fetcherWithURL(const URL& url) {
    return fetcherWithRequest(URLRequest(url));
}

std::shared_ptr<QNSessionFetcher> QNSessionFetcher::fetcherWithURLString(std::string_view urlString) {
    return fetcherWithRequest(URLRequest(URL::URLWithString(urlString)));
}

std::shared_ptr<QNSessionFetcher> QNSessionFetcher::fetcherWithDownloadResumeData(Bytes resumeData) {
    auto fetcher = fetcherWithRequest(std::nullopt);
    fetcher->setComment("Resuming download");
    fetcher->setDownloadResumeData(std::move(resumeData));
    return fetcher;
}

std::string QNSessionFetcher::description() const {
    QN_LOCKED;
    std::string what;
    if (s_->req.request && s_->req.request->url()) what = s_->req.request->url()->absoluteString();
    if (what.empty()) {
        if (s_->download.resumeData) {
            what = "<download resume data>";
        } else if (s_->background.wasCreatedFromBackgroundSession) {
            what = "<from bg session>";
        } else {
            what = "<no request>";
        }
    }
    return "QNSessionFetcher " + platform::addressText(this) + " (" + what + ")";
}

// --- request ---

std::optional<URLRequest> QNSessionFetcher::request() {
    QN_LOCKED;
    if (!s_->req.request) return std::nullopt;
    return *s_->req.request;
}

void QNSessionFetcher::setRequest(std::optional<URLRequest> request) {
    QN_LOCKED;
    if (isFetchingUnsynchronized()) return;
    s_->req.request = request ? std::make_shared<URLRequest>(std::move(*request)) : nullptr;
}

void QNSessionFetcher::updateMutableRequest(std::optional<URLRequest> request) {
    QN_LOCKED;
    s_->req.request = request ? std::make_shared<URLRequest>(std::move(*request)) : nullptr;
}

void QNSessionFetcher::setRequestValue(std::optional<std::string> value, const std::string& field) {
    QN_LOCKED;
    if (isFetchingUnsynchronized()) return;
    if (!s_->req.request) return;
    s_->req.request->setValue(std::move(value), field);
}

void QNSessionFetcher::updateRequestValue(std::optional<std::string> value, const std::string& field) {
    QN_LOCKED;
    if (!s_->req.request) return;
    s_->req.request->setValue(std::move(value), field);
}

std::shared_ptr<URLRequest> QNSessionFetcher::mutableRequestForTesting() { return s_->req.request; }

// --- response ---

std::shared_ptr<const platform::URLResponse> QNSessionFetcher::responseUnsynchronized() {
    if (s_->task.sessionTask) {
        if (auto r = s_->task.sessionTask->response()) return r;
    }
    return s_->task.response;
}

std::shared_ptr<const platform::URLResponse> QNSessionFetcher::response() {
    QN_LOCKED;
    return responseUnsynchronized();
}

int64_t QNSessionFetcher::statusCodeUnsynchronized() {
    auto http = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(responseUnsynchronized());
    return http ? http->statusCode() : 0;
}

int64_t QNSessionFetcher::statusCode() {
    QN_LOCKED;
    return statusCodeUnsynchronized();
}

std::optional<platform::HTTPHeaders> QNSessionFetcher::responseHeadersUnsynchronized() {
    auto http = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(responseUnsynchronized());
    if (!http) return std::nullopt;
    return http->allHeaderFields();
}

std::optional<platform::HTTPHeaders> QNSessionFetcher::responseHeaders() {
    QN_LOCKED;
    return responseHeadersUnsynchronized();
}

// --- body ---

std::shared_ptr<const Bytes> QNSessionFetcher::bodyData() {
    QN_LOCKED;
    return s_->req.bodyData;
}
void QNSessionFetcher::setBodyData(std::shared_ptr<const Bytes> data) {
    QN_LOCKED;
    s_->req.bodyData = std::move(data);
}
void QNSessionFetcher::setBodyData(Bytes data) { setBodyData(std::make_shared<const Bytes>(std::move(data))); }
std::optional<URL> QNSessionFetcher::bodyFileURL() {
    QN_LOCKED;
    return s_->req.bodyFileURL;
}
void QNSessionFetcher::setBodyFileURL(std::optional<URL> url) {
    QN_LOCKED;
    s_->req.bodyFileURL = std::move(url);
}
QNSessionFetcher::BodyStreamProvider QNSessionFetcher::bodyStreamProvider() {
    QN_LOCKED;
    return s_->req.bodyStreamProvider;
}
void QNSessionFetcher::setBodyStreamProvider(BodyStreamProvider provider) {
    QN_LOCKED;
    s_->req.bodyStreamProvider = std::move(provider);
}
bool QNSessionFetcher::useUploadTask() {
    QN_LOCKED;
    return s_->req.useUploadTask;
}
void QNSessionFetcher::setUseUploadTask(bool flag) {
    QN_LOCKED;
    s_->req.useUploadTask = flag;
}

int64_t QNSessionFetcher::bodyLength() {
    QN_LOCKED;
    if (s_->req.bodyLength == -1) {
        if (s_->req.bodyData) {
            s_->req.bodyLength = int64_t(s_->req.bodyData->size());
        } else if (s_->req.bodyFileURL) {
            std::error_code ec;
            auto size = std::filesystem::file_size(std::filesystem::path(s_->req.bodyFileURL->path()), ec);
            if (!ec) s_->req.bodyLength = int64_t(size);
        }
    }
    return s_->req.bodyLength;
}

// --- download ---

std::optional<URL> QNSessionFetcher::destinationFileURL() {
    QN_LOCKED;
    return s_->download.destinationFileURL;
}

void QNSessionFetcher::setDestinationFileURL(std::optional<URL> url) {
    QN_LOCKED;
    if (s_->download.destinationFileURL == url) return;
    if (s_->background.identifier) {
        const auto& old = s_->download.destinationFileURL;
        platform::Log::warning(fetcher_detail::logCategory(),
                               "QNSessionFetcher: Destination File URL changed from (" +
                                   (old ? old->absoluteString() : "(null)") +
                                   ") to (" + (url ? url->absoluteString() : "(null)") +
                                   ") after session identifier has been created.");
    }
    s_->download.destinationFileURL = std::move(url);
}

std::optional<Bytes> QNSessionFetcher::downloadResumeData() {
    QN_LOCKED;
    return s_->download.resumeData;
}
void QNSessionFetcher::setDownloadResumeData(std::optional<Bytes> data) {
    QN_LOCKED;
    s_->download.resumeData = std::move(data);
}
std::optional<Bytes> QNSessionFetcher::downloadedData() {
    QN_LOCKED;
    return s_->download.data;
}
void QNSessionFetcher::setDownloadedData(std::optional<Bytes> data) {
    QN_LOCKED;
    s_->download.data = std::move(data);
}
int64_t QNSessionFetcher::downloadedLength() {
    QN_LOCKED;
    return s_->download.length;
}

// --- session and task ---

std::shared_ptr<platform::URLSession> QNSessionFetcher::session() {
    QN_LOCKED;
    return s_->task.session;
}
void QNSessionFetcher::setSession(std::shared_ptr<platform::URLSession> session) {
    QN_LOCKED;
    s_->task.session = std::move(session);
}
std::shared_ptr<platform::URLSession> QNSessionFetcher::sessionNeedingInvalidation() {
    QN_LOCKED;
    return s_->task.sessionNeedingInvalidation;
}
void QNSessionFetcher::setSessionNeedingInvalidation(std::shared_ptr<platform::URLSession> session) {
    QN_LOCKED;
    s_->task.sessionNeedingInvalidation = std::move(session);
}
std::shared_ptr<platform::URLSessionTask> QNSessionFetcher::sessionTask() {
    QN_LOCKED;
    return s_->task.sessionTask;
}

void QNSessionFetcher::setSessionTask(std::shared_ptr<platform::URLSessionTask> task) {
    QN_LOCKED;
    if (s_->task.sessionTask == task) return;
    s_->task.sessionTask = std::move(task);
    if (s_->task.sessionTask && !s_->req.request) {
        // A fetcher restored for a background session learns its request from the task.
        if (auto original = s_->task.sessionTask->originalRequest()) {
            s_->req.request = std::make_shared<URLRequest>(*original);
        }
    }
}

bool QNSessionFetcher::recordSessionTask(const std::shared_ptr<platform::URLSessionTask>& task) {
    QN_LOCKED;
    if (task) {
        auto& abandoned = s_->task.abandonedTasks;
        abandoned.erase(std::remove_if(abandoned.begin(), abandoned.end(), [](const auto& w) { return w.expired(); }),
                        abandoned.end());
        for (const auto& w : abandoned) {
            if (w.lock() == task) return false;
        }
    }
    setSessionTask(task);
    return true;
}

std::optional<platform::URLSessionConfiguration> QNSessionFetcher::configuration() {
    QN_LOCKED;
    return s_->task.configuration;
}
void QNSessionFetcher::setConfiguration(std::optional<platform::URLSessionConfiguration> configuration) {
    QN_LOCKED;
    s_->task.configuration = std::move(configuration);
}
QNSessionFetcher::ConfigurationBlock QNSessionFetcher::configurationBlock() {
    QN_LOCKED;
    return s_->callbacks.configurationBlock;
}
void QNSessionFetcher::setConfigurationBlock(ConfigurationBlock block) {
    QN_LOCKED;
    s_->callbacks.configurationBlock = std::move(block);
}
std::optional<std::string> QNSessionFetcher::taskDescription() {
    QN_LOCKED;
    return s_->task.description;
}
void QNSessionFetcher::setTaskDescription(std::optional<std::string> description) {
    QN_LOCKED;
    s_->task.description = std::move(description);
}
float QNSessionFetcher::taskPriority() {
    QN_LOCKED;
    return s_->task.priority;
}
void QNSessionFetcher::setTaskPriority(float priority) {
    QN_LOCKED;
    s_->task.priority = priority;
}
bool QNSessionFetcher::canShareSession() {
    QN_LOCKED;
    return s_->task.canShareSession;
}
void QNSessionFetcher::setCanShareSession(bool flag) {
    QN_LOCKED;
    s_->task.canShareSession = flag;
}
std::shared_ptr<platform::DispatchQueue> QNSessionFetcher::callbackQueue() {
    QN_LOCKED;
    return s_->callbacks.queue;
}
void QNSessionFetcher::setCallbackQueue(std::shared_ptr<platform::DispatchQueue> queue) {
    QN_LOCKED;
    s_->callbacks.queue = queue ? std::move(queue) : platform::DispatchQueue::main();
}
std::shared_ptr<platform::OperationQueue> QNSessionFetcher::sessionDelegateQueue() {
    QN_LOCKED;
    return s_->task.delegateQueue;
}
void QNSessionFetcher::setSessionDelegateQueue(std::shared_ptr<platform::OperationQueue> queue) {
    QN_LOCKED;
    if (isFetchingUnsynchronized()) return;
    s_->task.delegateQueue = queue ? std::move(queue) : platform::OperationQueue::main();
}

// --- service ---

std::shared_ptr<QNSessionFetcherServiceProtocol> QNSessionFetcher::service() {
    QN_LOCKED;
    return s_->scheduling.service;
}
void QNSessionFetcher::setService(std::shared_ptr<QNSessionFetcherServiceProtocol> service) {
    QN_LOCKED;
    s_->scheduling.service = std::move(service);
}
std::optional<std::string> QNSessionFetcher::serviceHost() {
    QN_LOCKED;
    return s_->scheduling.host;
}
void QNSessionFetcher::setServiceHost(std::optional<std::string> host) {
    QN_LOCKED;
    s_->scheduling.host = std::move(host);
}
int64_t QNSessionFetcher::servicePriority() {
    QN_LOCKED;
    return s_->scheduling.priority;
}
void QNSessionFetcher::setServicePriority(int64_t priority) {
    QN_LOCKED;
    s_->scheduling.priority = priority;
}

// --- authorization and security ---

std::shared_ptr<QNFetcherAuthorizationProtocol> QNSessionFetcher::authorizer() {
    QN_LOCKED;
    return s_->security.authorizer;
}
void QNSessionFetcher::setAuthorizer(std::shared_ptr<QNFetcherAuthorizationProtocol> authorizer) {
    QN_LOCKED;
    if (isFetchingUnsynchronized()) return;
    s_->security.authorizer = std::move(authorizer);
}
std::optional<platform::URLCredential> QNSessionFetcher::credential() {
    QN_LOCKED;
    return s_->security.credential;
}
void QNSessionFetcher::setCredential(std::optional<platform::URLCredential> credential) {
    QN_LOCKED;
    s_->security.credential = std::move(credential);
}
std::optional<platform::URLCredential> QNSessionFetcher::proxyCredential() {
    QN_LOCKED;
    return s_->security.proxyCredential;
}
void QNSessionFetcher::setProxyCredential(std::optional<platform::URLCredential> credential) {
    QN_LOCKED;
    s_->security.proxyCredential = std::move(credential);
}
std::vector<std::string> QNSessionFetcher::allowedInsecureSchemes() {
    QN_LOCKED;
    return s_->security.allowedInsecureSchemes;
}
void QNSessionFetcher::setAllowedInsecureSchemes(std::vector<std::string> schemes) {
    QN_LOCKED;
    s_->security.allowedInsecureSchemes = std::move(schemes);
}
int64_t QNSessionFetcher::maxResponseBodySize() {
    QN_LOCKED;
    return s_->download.maxBodySize;
}
void QNSessionFetcher::setMaxResponseBodySize(int64_t bytes) {
    QN_LOCKED;
    s_->download.maxBodySize = bytes;
}
bool QNSessionFetcher::isSecretExchange() {
    QN_LOCKED;
    return s_->security.isSecretExchange;
}
void QNSessionFetcher::setSecretExchange(bool flag) {
    QN_LOCKED;
    s_->security.isSecretExchange = flag;
}
bool QNSessionFetcher::allowLocalhostRequest() {
    QN_LOCKED;
    return s_->security.allowLocalhostRequest;
}
void QNSessionFetcher::setAllowLocalhostRequest(bool flag) {
    QN_LOCKED;
    s_->security.allowLocalhostRequest = flag;
}
bool QNSessionFetcher::allowInvalidServerCertificates() {
    QN_LOCKED;
    return s_->security.allowInvalidServerCertificates;
}
void QNSessionFetcher::setAllowInvalidServerCertificates(bool flag) {
    QN_LOCKED;
    s_->security.allowInvalidServerCertificates = flag;
}

// --- cookies ---

std::shared_ptr<platform::HTTPCookieStorage> QNSessionFetcher::staticCookieStorage() {
    static std::shared_ptr<platform::HTTPCookieStorage> storage = std::make_shared<QNSessionCookieStorage>();
    return storage;
}

void QNSessionFetcher::setCookieStorageMethod(int64_t method) {
    QN_LOCKED;
    switch (method) {
        case kQNSessionFetcherCookieStorageMethodUnchanged:
            break;
        case kQNSessionFetcherCookieStorageMethodSystemDefault:
            s_->task.cookieStorage = platform::HTTPCookieStorage::sharedHTTPCookieStorage();
            break;
        case kQNSessionFetcherCookieStorageMethodPrivate:
            s_->task.cookieStorage = std::make_shared<QNSessionCookieStorage>();
            break;
        default:
            s_->task.cookieStorage = nullptr;
            break;
    }
}
std::shared_ptr<platform::HTTPCookieStorage> QNSessionFetcher::cookieStorage() {
    QN_LOCKED;
    return s_->task.cookieStorage;
}
void QNSessionFetcher::setCookieStorage(std::shared_ptr<platform::HTTPCookieStorage> storage) {
    QN_LOCKED;
    s_->task.cookieStorage = std::move(storage);
}

// --- caller blocks ---

#define QN_BLOCK_ACCESSORS(Type, getter, setter, field) \
    QNSessionFetcher::Type QNSessionFetcher::getter() { \
        QN_LOCKED;                                      \
        return s_->callbacks.field;                     \
    }                                                   \
    void QNSessionFetcher::setter(Type block) {         \
        QN_LOCKED;                                      \
        s_->callbacks.field = std::move(block);         \
    }

QNSessionFetcher::CompletionHandler QNSessionFetcher::completionHandler() {
    QN_LOCKED;
    return s_->callbacks.completionHandler;
}
void QNSessionFetcher::setCompletionHandler(CompletionHandler handler) {
    QN_LOCKED;
    s_->callbacks.completionHandler = std::move(handler);
}
QN_BLOCK_ACCESSORS(AccumulateDataBlock, accumulateDataBlock, setAccumulateDataBlock, accumulateDataBlock)
QN_BLOCK_ACCESSORS(ReceivedProgressBlock, receivedProgressBlock, setReceivedProgressBlock, receivedProgressBlock)
QN_BLOCK_ACCESSORS(DownloadProgressBlock, downloadProgressBlock, setDownloadProgressBlock, downloadProgressBlock)
QN_BLOCK_ACCESSORS(ResumeDataBlock, resumeDataBlock, setResumeDataBlock, resumeDataBlock)
QN_BLOCK_ACCESSORS(DidReceiveResponseBlock, didReceiveResponseBlock, setDidReceiveResponseBlock, didReceiveResponseBlock)
QN_BLOCK_ACCESSORS(ChallengeBlock, challengeBlock, setChallengeBlock, challengeBlock)
QN_BLOCK_ACCESSORS(WillRedirectBlock, willRedirectBlock, setWillRedirectBlock, willRedirectBlock)
QN_BLOCK_ACCESSORS(SendProgressBlock, sendProgressBlock, setSendProgressBlock, sendProgressBlock)
QN_BLOCK_ACCESSORS(WillCacheURLResponseBlock, willCacheURLResponseBlock, setWillCacheURLResponseBlock,
                   willCacheURLResponseBlock)
QN_BLOCK_ACCESSORS(RetryBlock, retryBlock, setRetryBlock, retryBlock)
QN_BLOCK_ACCESSORS(TestBlock, testBlock, setTestBlock, testBlock)

uint64_t QNSessionFetcher::testBlockAccumulateDataChunkCount() {
    QN_LOCKED;
    return s_->caller.testBlockAccumulateDataChunkCount;
}
void QNSessionFetcher::setTestBlockAccumulateDataChunkCount(uint64_t count) {
    QN_LOCKED;
    s_->caller.testBlockAccumulateDataChunkCount = count;
}

// --- retry settings ---

bool QNSessionFetcher::isRetryEnabledUnsynchronized() { return s_->retry.enabled; }
bool QNSessionFetcher::isRetryEnabled() {
    QN_LOCKED;
    return s_->retry.enabled;
}
void QNSessionFetcher::setRetryEnabled(bool flag) {
    QN_LOCKED;
    if (flag && !s_->retry.enabled) {
        s_->retry.minInterval = fetcher_detail::randomMinRetryInterval();
        s_->retry.maxInterval = -1.0;
        s_->retry.factor = 2.0;
        s_->retry.lastInterval = 0.0;
    }
    s_->retry.enabled = flag;
}
platform::TimeInterval QNSessionFetcher::maxRetryInterval() {
    QN_LOCKED;
    return s_->retry.maxInterval;
}
void QNSessionFetcher::setMaxRetryInterval(platform::TimeInterval secs) {
    QN_LOCKED;
    s_->retry.maxInterval = secs > 0 ? secs : -1.0;
}
platform::TimeInterval QNSessionFetcher::minRetryInterval() {
    QN_LOCKED;
    return s_->retry.minInterval;
}
void QNSessionFetcher::setMinRetryInterval(platform::TimeInterval secs) {
    QN_LOCKED;
    s_->retry.minInterval = secs > 0 ? secs : fetcher_detail::randomMinRetryInterval();
}
double QNSessionFetcher::retryFactor() {
    QN_LOCKED;
    return s_->retry.factor;
}
void QNSessionFetcher::setRetryFactor(double factor) {
    QN_LOCKED;
    s_->retry.factor = factor;
}
uint64_t QNSessionFetcher::retryCount() {
    QN_LOCKED;
    return s_->retry.count;
}
std::shared_ptr<platform::Timer> QNSessionFetcher::retryTimer() {
    QN_LOCKED;
    return s_->retry.timer;
}
bool QNSessionFetcher::shouldReleaseCallbacksUponCompletion() { return true; }

// --- properties and diagnostics ---

QNSessionFetcher::Properties QNSessionFetcher::properties() {
    QN_LOCKED;
    return s_->caller.properties ? *s_->caller.properties : Properties();
}
void QNSessionFetcher::setProperties(Properties properties) {
    QN_LOCKED;
    s_->caller.properties = std::move(properties);
}
void QNSessionFetcher::setProperty(const std::string& key, std::any value) {
    QN_LOCKED;
    if (!value.has_value()) {
        if (s_->caller.properties) s_->caller.properties->erase(key);
        return;
    }
    if (!s_->caller.properties) s_->caller.properties.emplace();
    (*s_->caller.properties)[key] = std::move(value);
}
std::any QNSessionFetcher::propertyForKey(const std::string& key) {
    QN_LOCKED;
    if (!s_->caller.properties) return {};
    auto it = s_->caller.properties->find(key);
    return it == s_->caller.properties->end() ? std::any() : it->second;
}
void QNSessionFetcher::addPropertiesFromDictionary(const Properties& dict) {
    QN_LOCKED;
    if (!s_->caller.properties) {
        s_->caller.properties = dict;
        return;
    }
    for (const auto& [k, v] : dict) (*s_->caller.properties)[k] = v;
}
std::shared_ptr<const QNSessionFetcherOwnerRecord> QNSessionFetcher::ownerRecord() {
    QN_LOCKED;
    return s_->caller.ownerRecord;
}
void QNSessionFetcher::setOwnerRecord(std::shared_ptr<const QNSessionFetcherOwnerRecord> record) {
    QN_LOCKED;
    s_->caller.ownerRecord = std::move(record);
}
std::any QNSessionFetcher::userData() {
    QN_LOCKED;
    return s_->caller.userData;
}
void QNSessionFetcher::setUserData(std::any data) {
    QN_LOCKED;
    s_->caller.userData = std::move(data);
}
std::string QNSessionFetcher::comment() {
    QN_LOCKED;
    return s_->caller.comment;
}
void QNSessionFetcher::setComment(std::string comment) {
    QN_LOCKED;
    s_->caller.comment = std::move(comment);
}
std::string QNSessionFetcher::log() {
    QN_LOCKED;
    return s_->caller.log;
}
void QNSessionFetcher::setLog(std::string log) {
    QN_LOCKED;
    s_->caller.log = std::move(log);
}

// --- state flags ---

bool QNSessionFetcher::isFetchingUnsynchronized() {
    return s_->status.initialBeginFetchDate.has_value() && !s_->status.hasStoppedFetching;
}
bool QNSessionFetcher::isFetching() {
    QN_LOCKED;
    return isFetchingUnsynchronized();
}
bool QNSessionFetcher::userStoppedFetching() {
    QN_LOCKED;
    return s_->status.userStoppedFetching;
}
bool QNSessionFetcher::wasCreatedFromBackgroundSession() {
    QN_LOCKED;
    return s_->background.wasCreatedFromBackgroundSession;
}
std::shared_ptr<QNSessionFetcher> QNSessionFetcher::parentUploadFetcher() {
    QN_LOCKED;
    return s_->req.parentUploadFetcher.lock();
}
void QNSessionFetcher::setParentUploadFetcher(const std::shared_ptr<QNSessionFetcher>& parent) {
    QN_LOCKED;
    s_->req.parentUploadFetcher = parent;
}
bool QNSessionFetcher::useBackgroundSession() {
    QN_LOCKED;
    return s_->background.userRequested;
}
void QNSessionFetcher::setUseBackgroundSession(bool flag) {
    QN_LOCKED;
    s_->background.userRequested = flag;
}
bool QNSessionFetcher::isUsingBackgroundSession() {
    QN_LOCKED;
    return s_->background.inUse;
}

}  // namespace quorvane
