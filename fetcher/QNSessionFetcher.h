#pragma once
// QNSessionFetcher performs one HTTP request over a URL session and hands the caller the
// response body or an error, exactly once, on its callback queue (the main queue unless set).
//
// Beyond a bare URL session it adds:
// - an https-only rule: plain http is refused (-5) unless the scheme is listed in
//   allowedInsecureSchemes, or allowLocalhostRequest is set and the host is the local host.
//   This platform has no transport security of its own that would refuse plain http, so
//   appAllowsInsecureRequests() answers true (TLS enforcement is left to the application) and
//   the rule therefore always applies here;
// - authorization of the request by a pluggable authorizer just before it is sent, and one
//   forced retry after a 401 when the authorizer can refresh its credentials;
// - per-host scheduling through an optional fetcher service;
// - retries with exponential backoff (a fixed table of transient errors, "Retry-After");
// - cookie storage per fetcher or shared, redirect and challenge policies;
// - progress and data-accumulation callbacks on the callback queue;
// - background sessions whose identifiers are kept in user defaults so that the fetch can be
//   reattached at the next start (fetchersForBackgroundSessions). Here a background session is
//   an in-process session tagged with its identifier; after a restart its task is gone and the
//   restored fetcher fails with QNSessionFetcherErrorBackgroundTaskLost;
// - test blocks that answer a fetch without the network.
//
// Locking: every fetcher has one recursive lock. Operations whose names end in Unsynchronized
// expect it held. It is never held while the fetcher calls its service, its authorizer, the URL
// session or a caller's block (except the challenge answer). The setters of the request, the
// authorizer and the session delegate queue are ignored while a fetch runs.

#include <any>
#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fetcher/QNFetcherAuthorizationProtocol.h"
#include "fetcher/QNSessionFetcherServiceProtocol.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/net/HTTPCookieStorage.h"
#include "platform/net/InputStream.h"
#include "platform/net/ServerTrust.h"
#include "platform/net/URL.h"
#include "platform/net/URLAuthenticationChallenge.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"
#include "platform/net/URLSession.h"
#include "platform/net/URLSessionConfiguration.h"
#include "platform/net/URLSessionDelegate.h"
#include "platform/net/URLSessionTask.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/OperationQueue.h"
#include "platform/runloop/RunLoop.h"

namespace quorvane {

// Error domains.
inline constexpr const char* QNSessionFetcherErrorDomain = "com.quorvane.QNSessionFetcher";
inline constexpr const char* QNSessionFetcherStatusDomain = "com.quorvane.HTTPStatus";

// Codes of QNSessionFetcherErrorDomain.
enum QNSessionFetcherError : int64_t {
    QNSessionFetcherErrorCannotBegin = -1,
    QNSessionFetcherErrorBackgroundTaskLost = -4,
    QNSessionFetcherErrorInsecureFetchDisallowed = -5,
    QNSessionFetcherErrorTaskNotCreated = -6,
};

// The most body bytes a fetch holds in memory unless told otherwise (128 MiB): over three times
// the largest contacts feed the sync asks for in one response (10,000 entries with every field
// filled, about 40 MB; real entries are smaller), while a body that never ends costs at most
// this much.
inline constexpr int64_t kQNSessionFetcherDefaultMaxResponseBodySize = int64_t(128) << 20;
// The limit for answers that are small by nature (a token, the user's identity), and what is kept
// of an error answer's body (its status is what the fetch ends with).
inline constexpr int64_t kQNSessionFetcherSmallResponseBodySize = int64_t(1) << 20;

// User-info keys of a status error: the response body and its content type.
inline constexpr const char* QNSessionFetcherStatusDataUserInfoKey = "data";
inline constexpr const char* QNSessionFetcherStatusDataContentTypeUserInfoKey = "data_content_type";
// True in a status error answered by the origin of a request that carried an "Authorization"
// header (not by another origin a redirect led to, which is sent none): only such an answer
// speaks of the credentials.
inline constexpr const char* kQNSessionFetcherAnsweredSignedRequestKey = "answeredSignedRequest";
// User-info keys added to the final error of a fetch that was retried.
inline constexpr const char* kQNSessionFetcherElapsedIntervalWithRetriesKey = "kQNSessionFetcherElapsedIntervalWithRetriesKey";
inline constexpr const char* kQNSessionFetcherNumberOfRetriesDoneKey = "kQNSessionFetcherNumberOfRetriesDoneKey";

// Notifications, posted on the main thread with the fetcher (its address) as object.
inline constexpr const char* kQNSessionFetcherStartedNotification = "kQNSessionFetcherStartedNotification";
inline constexpr const char* kQNSessionFetcherStoppedNotification = "kQNSessionFetcherStoppedNotification";
inline constexpr const char* kQNSessionFetcherRetryDelayStartedNotification = "kQNSessionFetcherRetryDelayStartedNotification";
inline constexpr const char* kQNSessionFetcherRetryDelayStoppedNotification = "kQNSessionFetcherRetryDelayStoppedNotification";
inline constexpr const char* kQNSessionFetcherCompletionInvokedNotification = "kQNSessionFetcherCompletionInvokedNotification";
// User-info keys of the completion-invoked notification (each only when present): the body as
// bytes, and the error as a dictionary {"domain", "code", "userInfo"}.
inline constexpr const char* kQNSessionFetcherCompletionDataKey = "data";
inline constexpr const char* kQNSessionFetcherCompletionErrorKey = "error";

// Prefix of every background session identifier a fetcher makes.
inline constexpr const char* kQNSessionIdentifierPrefix = "com.quorvane.QNSessionFetcher";
// User-defaults key of the background sessions in flight.
inline constexpr const char* kQNSessionFetcherPersistedDestinationKey = "com.quorvane.QNSessionFetcher.downloads";

// Cookie-storage methods (setCookieStorageMethod).
enum QNSessionFetcherCookieStorageMethod : int64_t {
    // No storage of its own: the static storage shared by every such fetcher.
    kQNSessionFetcherCookieStorageMethodStatic = 0,
    // The fetcher's cookie storage is left as it is.
    kQNSessionFetcherCookieStorageMethodUnchanged = 1,
    // The system's shared cookie storage.
    kQNSessionFetcherCookieStorageMethodSystemDefault = 2,
    // A private storage for this fetcher alone.
    kQNSessionFetcherCookieStorageMethodPrivate = 3,
};

// The service priority that bypasses the service's delay.
inline constexpr int64_t kQNSessionFetcherServicePriorityBypass = std::numeric_limits<int64_t>::min();

// "localhost" ignoring case, "::1" or "127.0.0.1".
bool QNSessionIsLocalhostHost(const std::optional<std::string>& host);

// What the object driving a fetch keeps on its fetcher while the fetch runs (the GData service's
// call), as one record of that object's own type; the fetcher only holds it. A record is not
// changed once set: a change sets a new one.
class QNSessionFetcherOwnerRecord {
public:
    virtual ~QNSessionFetcherOwnerRecord() = default;
};

class QNSessionFetcher : public platform::URLSessionDelegate, public std::enable_shared_from_this<QNSessionFetcher> {
public:
    using Bytes = platform::Bytes;
    using Error = platform::Error;
    using URL = platform::URL;
    using URLRequest = platform::URLRequest;
    using URLResponse = platform::URLResponse;
    using HTTPURLResponse = platform::HTTPURLResponse;

    // The final callback: the body (nothing on most failures) and the error (nothing on success).
    // A callback that takes the body by rvalue may keep it without a copy (a feed's answer can be
    // tens of megabytes); one that takes it by const reference leaves it to the completion notice.
    using CompletionHandler = std::function<void(std::optional<Bytes>&& data, const std::optional<Error>& error)>;
    // The "delegate + selector" form of the final callback: (fetcher, data, error).
    using FinishedCallback = std::function<void(const std::shared_ptr<QNSessionFetcher>& fetcher,
                                                std::optional<Bytes>&& data, const std::optional<Error>& error)>;
    using ConfigurationBlock = std::function<void(const std::shared_ptr<QNSessionFetcher>& fetcher,
                                                  platform::URLSessionConfiguration& configuration)>;
    // Gets a completion to call once with a fresh stream of the body.
    using BodyStreamProvider = std::function<void(std::function<void(std::shared_ptr<platform::InputStream>)> completion)>;
    // A chunk of the body, or nothing: discard what was accumulated (a new response started).
    using AccumulateDataBlock = std::function<void(const std::optional<Bytes>& chunk)>;
    using ReceivedProgressBlock = std::function<void(int64_t bytesWritten, int64_t totalBytesWritten)>;
    using DownloadProgressBlock =
        std::function<void(int64_t bytesWritten, int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite)>;
    using SendProgressBlock =
        std::function<void(int64_t bytesSent, int64_t totalBytesSent, int64_t totalBytesExpectedToSend)>;
    using ResumeDataBlock = std::function<void(const Bytes& resumeData)>;
    using DidReceiveResponseBlock = std::function<void(const std::shared_ptr<const URLResponse>& response,
                                                       std::function<void(platform::URLSessionResponseDisposition)> completion)>;
    using ChallengeCompletion = platform::URLSessionDelegate::ChallengeCompletion;
    using ChallengeBlock = std::function<void(const std::shared_ptr<QNSessionFetcher>& fetcher,
                                              const platform::URLAuthenticationChallenge& challenge,
                                              ChallengeCompletion completion)>;
    // Call the completion once with the request to follow, or nothing to refuse the redirect.
    using WillRedirectBlock = std::function<void(const std::shared_ptr<const HTTPURLResponse>& redirectResponse,
                                                 const URLRequest& redirectRequest,
                                                 std::function<void(std::optional<URLRequest>)> completion)>;
    // Call the completion once with the response to cache, or nothing.
    using WillCacheURLResponseBlock =
        std::function<void(const platform::CachedURLResponse& proposedResponse,
                           std::function<void(std::optional<platform::CachedURLResponse>)> completion)>;
    // Call the response once with the decision.
    using RetryResponse = std::function<void(bool shouldRetry)>;
    using RetryBlock = std::function<void(bool suggestedWillRetry, const std::optional<Error>& error, RetryResponse response)>;
    // Test blocks: answer a fetch with (response, body, error), each possibly nothing; all three
    // nothing lets the fetch go to the network.
    using TestResponse = std::function<void(std::shared_ptr<const URLResponse> response, std::optional<Bytes> data,
                                            std::optional<Error> error)>;
    using TestBlock = std::function<void(const std::shared_ptr<QNSessionFetcher>& fetcher, TestResponse response)>;
    // The caller's named values.
    using Properties = std::map<std::string, std::any>;

    // --- making fetchers ---
    // initWithRequest:configuration: — the request (nothing for a fetcher restored from a
    // background session or resume data) and a configuration for a session the fetcher makes
    // itself (nothing: an ephemeral one, or a background one).
    QNSessionFetcher(std::optional<URLRequest> request = std::nullopt,
                     std::optional<platform::URLSessionConfiguration> configuration = std::nullopt);
    ~QNSessionFetcher() override;
    QNSessionFetcher(const QNSessionFetcher&) = delete;
    QNSessionFetcher& operator=(const QNSessionFetcher&) = delete;

    static std::shared_ptr<QNSessionFetcher> fetcherWithRequest(std::optional<URLRequest> request);
    static std::shared_ptr<QNSessionFetcher> fetcherWithURL(const URL& url);
    // Text that is not a URL gives a fetcher without URL (it fails to begin with -1).
    static std::shared_ptr<QNSessionFetcher> fetcherWithURLString(std::string_view urlString);
    static std::shared_ptr<QNSessionFetcher> fetcherWithDownloadResumeData(Bytes resumeData);
    // The live fetcher of the background session identifier, or a new one restored for it when
    // the identifier is one of ours; nullptr otherwise.
    static std::shared_ptr<QNSessionFetcher> fetcherWithSessionIdentifier(const std::string& sessionIdentifier);

    // "QNSessionFetcher 0x... (url)".
    std::string description() const;

    // --- beginning ---
    virtual void beginFetchWithCompletionHandler(CompletionHandler handler);
    void beginFetchWithDelegate(FinishedCallback didFinish);
    // Wraps the "delegate + selector" callback as a completion handler.
    CompletionHandler completionHandlerWithTarget(FinishedCallback didFinish);
    virtual void beginFetchForRetry();
    // The begin sequence. mayDelay: the service may queue the fetcher; mayAuthorize: the
    // authorizer may sign the request first.
    void beginFetchMayDelay(bool mayDelay, bool mayAuthorize);

    // Whether plain http reaches the fetcher's own https rule (see the top of this file): true here.
    static bool appAllowsInsecureRequests();

    // Reattaches the background sessions of the persisted list (call once at start-up): the
    // live fetchers or new restored ones, begun without completion handler.
    static std::vector<std::shared_ptr<QNSessionFetcher>> fetchersForBackgroundSessions();
    // The same, asynchronously on the main queue.
    static void reconnectFetchersForBackgroundSessionsOnAppLaunch();

    // --- stopping and waiting ---
    // Ends the fetch: no completion call follows.
    virtual void stopFetching();
    virtual void stopFetchReleasingCallbacks(bool shouldReleaseCallbacks);
    // Drops the completion handler, the callback queue and every caller block.
    void releaseCallbacks();
    // Waits for the task, the completion and every dispatched callback; false on time-out.
    // On the main thread with callbacks on the main queue it runs the run loop meanwhile.
    virtual bool waitForCompletionWithTimeout(platform::TimeInterval timeoutInSeconds);
    virtual bool isFetching();
    bool isFetchingUnsynchronized();
    bool userStoppedFetching();

    // --- request ---
    // An immutable copy of the request; nothing when there is none.
    std::optional<URLRequest> request();
    void setRequest(std::optional<URLRequest> request);  // ignored while fetching
    // Replaces the request, also while fetching.
    void updateMutableRequest(std::optional<URLRequest> request);
    void setRequestValue(std::optional<std::string> value, const std::string& field);     // ignored while fetching
    void updateRequestValue(std::optional<std::string> value, const std::string& field);  // also while fetching
    // The live request object (identity is what the authorizer tracks); unlocked.
    std::shared_ptr<URLRequest> mutableRequestForTesting();

    // --- response ---
    std::shared_ptr<const URLResponse> response();
    std::shared_ptr<const URLResponse> responseUnsynchronized();
    int64_t statusCode();
    virtual int64_t statusCodeUnsynchronized();
    virtual std::optional<platform::HTTPHeaders> responseHeaders();
    std::optional<platform::HTTPHeaders> responseHeadersUnsynchronized();

    // --- body ---
    std::shared_ptr<const Bytes> bodyData();
    void setBodyData(std::shared_ptr<const Bytes> data);
    void setBodyData(Bytes data);
    std::optional<URL> bodyFileURL();
    void setBodyFileURL(std::optional<URL> url);
    BodyStreamProvider bodyStreamProvider();
    void setBodyStreamProvider(BodyStreamProvider provider);
    bool useUploadTask();
    void setUseUploadTask(bool flag);
    // The body size, computed on first read (-1 while unknown).
    int64_t bodyLength();

    // --- download ---
    std::optional<URL> destinationFileURL();
    void setDestinationFileURL(std::optional<URL> url);
    std::optional<Bytes> downloadResumeData();
    void setDownloadResumeData(std::optional<Bytes> data);
    // The body received so far; a successful fetch hands it to its completion handler, after
    // which the fetcher holds none of it (downloadedLength still says how long it was).
    std::optional<Bytes> downloadedData();
    void setDownloadedData(std::optional<Bytes> data);
    int64_t downloadedLength();

    // --- session and task ---
    std::shared_ptr<platform::URLSession> session();
    void setSession(std::shared_ptr<platform::URLSession> session);
    std::shared_ptr<platform::URLSession> sessionNeedingInvalidation();
    void setSessionNeedingInvalidation(std::shared_ptr<platform::URLSession> session);
    std::shared_ptr<platform::URLSessionTask> sessionTask();
    // Records the task; a task new to a fetcher without request gives it the task's request.
    void setSessionTask(std::shared_ptr<platform::URLSessionTask> task);
    std::optional<platform::URLSessionConfiguration> configuration();
    void setConfiguration(std::optional<platform::URLSessionConfiguration> configuration);
    ConfigurationBlock configurationBlock();
    void setConfigurationBlock(ConfigurationBlock block);
    std::optional<std::string> taskDescription();
    void setTaskDescription(std::optional<std::string> description);
    // Negative: the system default.
    float taskPriority();
    void setTaskPriority(float priority);
    bool canShareSession();
    void setCanShareSession(bool flag);
    // Setting nothing sets the main queue.
    std::shared_ptr<platform::DispatchQueue> callbackQueue();
    void setCallbackQueue(std::shared_ptr<platform::DispatchQueue> queue);
    // Setting nothing sets the main operation queue; ignored while fetching.
    std::shared_ptr<platform::OperationQueue> sessionDelegateQueue();
    void setSessionDelegateQueue(std::shared_ptr<platform::OperationQueue> queue);

    // --- service ---
    // The service that made the fetcher; held (strongly) for the fetcher's life, as the service
    // holds its running and delayed fetchers only until they stop.
    std::shared_ptr<QNSessionFetcherServiceProtocol> service();
    void setService(std::shared_ptr<QNSessionFetcherServiceProtocol> service);
    std::optional<std::string> serviceHost();
    void setServiceHost(std::optional<std::string> host);
    int64_t servicePriority();
    void setServicePriority(int64_t priority);

    // --- authorization and security ---
    std::shared_ptr<QNFetcherAuthorizationProtocol> authorizer();
    void setAuthorizer(std::shared_ptr<QNFetcherAuthorizationProtocol> authorizer);  // ignored while fetching
    // The credential answers authentication challenges of the origin (scheme, host and port)
    // the fetch was begun for, and of no other: a redirect elsewhere never gets it.
    std::optional<platform::URLCredential> credential();
    void setCredential(std::optional<platform::URLCredential> credential);
    std::optional<platform::URLCredential> proxyCredential();
    void setProxyCredential(std::optional<platform::URLCredential> credential);
    std::vector<std::string> allowedInsecureSchemes();
    void setAllowedInsecureSchemes(std::vector<std::string> schemes);
    bool allowLocalhostRequest();
    void setAllowLocalhostRequest(bool flag);
    // A fetch that exchanges secrets (a token request, a revocation): it never follows a
    // redirect to another origin, and its completion notification carries neither the body
    // nor the error's user info.
    bool isSecretExchange();
    void setSecretExchange(bool flag);
    bool allowInvalidServerCertificates();
    void setAllowInvalidServerCertificates(bool flag);
    // The most bytes of a response body the fetch holds in memory (decoded, counted as they
    // arrive); past it the transfer stops and the fetch fails with kURLErrorDataLengthExceedsMaximum.
    // 0 or less: no limit. A body written to a file or handed to an accumulate block is not held,
    // so not limited.
    int64_t maxResponseBodySize();
    void setMaxResponseBodySize(int64_t bytes);

    // --- cookies ---
    // kQNSessionFetcherCookieStorageMethod... values.
    void setCookieStorageMethod(int64_t method);
    std::shared_ptr<platform::HTTPCookieStorage> cookieStorage();
    void setCookieStorage(std::shared_ptr<platform::HTTPCookieStorage> storage);
    // The storage shared by every fetcher without one of its own.
    static std::shared_ptr<platform::HTTPCookieStorage> staticCookieStorage();

    // --- caller blocks ---
    CompletionHandler completionHandler();
    virtual void setCompletionHandler(CompletionHandler handler);
    AccumulateDataBlock accumulateDataBlock();
    void setAccumulateDataBlock(AccumulateDataBlock block);
    ReceivedProgressBlock receivedProgressBlock();
    void setReceivedProgressBlock(ReceivedProgressBlock block);
    DownloadProgressBlock downloadProgressBlock();
    void setDownloadProgressBlock(DownloadProgressBlock block);
    ResumeDataBlock resumeDataBlock();
    void setResumeDataBlock(ResumeDataBlock block);
    DidReceiveResponseBlock didReceiveResponseBlock();
    void setDidReceiveResponseBlock(DidReceiveResponseBlock block);
    ChallengeBlock challengeBlock();
    void setChallengeBlock(ChallengeBlock block);
    WillRedirectBlock willRedirectBlock();
    void setWillRedirectBlock(WillRedirectBlock block);
    SendProgressBlock sendProgressBlock();
    void setSendProgressBlock(SendProgressBlock block);
    WillCacheURLResponseBlock willCacheURLResponseBlock();
    void setWillCacheURLResponseBlock(WillCacheURLResponseBlock block);

    // --- retry ---
    bool isRetryEnabled();
    bool isRetryEnabledUnsynchronized();
    // Turning retry on resets the intervals: minimum 1-2 s, no cap, factor 2.
    void setRetryEnabled(bool flag);
    // Not above 0: not set (-1).
    platform::TimeInterval maxRetryInterval();
    void setMaxRetryInterval(platform::TimeInterval secs);
    // Not above 0: a new random minimum of 1-2 s.
    platform::TimeInterval minRetryInterval();
    void setMinRetryInterval(platform::TimeInterval secs);
    double retryFactor();
    void setRetryFactor(double factor);
    uint64_t retryCount();
    platform::TimeInterval nextRetryInterval();
    platform::TimeInterval nextRetryIntervalUnsynchronized();
    std::shared_ptr<platform::Timer> retryTimer();
    RetryBlock retryBlock();
    void setRetryBlock(RetryBlock block);
    // HTTP 408, 502, 503, 504; URL errors -1001 and -1005.
    virtual bool isRetryError(const Error& error);
    bool hasRetryAfterInterval();
    // Seconds of the response's "Retry-After" (an HTTP date or a number), 0 when none.
    platform::TimeInterval retryAfterInterval();
    virtual bool shouldReleaseCallbacksUponCompletion();

    // --- properties and diagnostics ---
    Properties properties();
    void setProperties(Properties properties);
    // An empty value removes the key.
    void setProperty(const std::string& key, std::any value);
    std::any propertyForKey(const std::string& key);
    void addPropertiesFromDictionary(const Properties& dict);
    std::shared_ptr<const QNSessionFetcherOwnerRecord> ownerRecord();
    void setOwnerRecord(std::shared_ptr<const QNSessionFetcherOwnerRecord> record);
    std::any userData();
    void setUserData(std::any data);
    std::string comment();
    void setComment(std::string comment);
    std::string log();
    void setLog(std::string log);
    static void setLoggingEnabled(bool) {}
    static bool isLoggingEnabled() { return false; }

    // --- background sessions ---
    std::optional<std::string> sessionIdentifier();
    // Sets the identifier of a background session to attach to, and restores the destination
    // and body file kept in its metadata.
    void setSessionIdentifier(const std::string& sessionIdentifier);
    // The caller's metadata kept in the identifier (keys without a leading "_").
    std::optional<platform::Value> sessionUserInfo();
    void setSessionUserInfo(std::optional<platform::Value> info);
    // The metadata decoded from the identifier, when it has any.
    std::optional<platform::Value> sessionIdentifierMetadata();
    std::string createSessionIdentifierWithMetadata(const std::optional<platform::Value>& metadata);
    virtual bool canFetchWithBackgroundSession() { return true; }
    bool wasCreatedFromBackgroundSession();
    virtual bool useBackgroundSession();
    virtual void setUseBackgroundSession(bool flag);
    // The resumable upload fetcher that made this chunk, query or cancel fetcher; nullptr otherwise.
    std::shared_ptr<QNSessionFetcher> parentUploadFetcher();
    void setParentUploadFetcher(const std::shared_ptr<QNSessionFetcher>& parent);
    bool isUsingBackgroundSession();
    // The identifiers in the persisted list that have a live fetcher; nothing when none.
    static std::optional<std::vector<std::string>> activePersistedBackgroundSessions();

    // --- test blocks ---
    TestBlock testBlock();
    void setTestBlock(TestBlock block);
    // Number of chunks a simulated body is cut into (0 counts as 1).
    uint64_t testBlockAccumulateDataChunkCount();
    void setTestBlockAccumulateDataChunkCount(uint64_t count);
    // For every fetcher begun afterwards without a test block of its own; nothing clears it.
    static void setGlobalTestBlock(TestBlock block);

    // --- redirects and trust ---
    // The URL to follow: a redirect never turns an https fetch into plain http.
    static std::optional<URL> redirectURLWithOriginalRequestURL(const std::optional<URL>& originalRequestURL,
                                                                const std::optional<URL>& redirectRequestURL);
    // Evaluates the trust on a global queue, one evaluation at a time; the verdict arrives there.
    static void evaluateServerTrust(std::shared_ptr<const platform::ServerTrust> serverTrust,
                                    const std::optional<URLRequest>& request, std::function<void(bool allow)> completion);

    // --- URL session delegate (the fetcher's own session, or forwarded by the service) ---
    void didBecomeInvalidWithError(const std::shared_ptr<platform::URLSession>& session,
                                   const std::optional<Error>& error) override;
    void willPerformHTTPRedirection(const std::shared_ptr<platform::URLSession>& session,
                                    const std::shared_ptr<platform::URLSessionTask>& task,
                                    const std::shared_ptr<const HTTPURLResponse>& response, const URLRequest& newRequest,
                                    RedirectCompletion completionHandler) override;
    void didReceiveChallenge(const std::shared_ptr<platform::URLSession>& session,
                             const std::shared_ptr<platform::URLSessionTask>& task,
                             const platform::URLAuthenticationChallenge& challenge,
                             ChallengeCompletion completionHandler) override;
    void needNewBodyStream(const std::shared_ptr<platform::URLSession>& session,
                           const std::shared_ptr<platform::URLSessionTask>& task,
                           BodyStreamCompletion completionHandler) override;
    void didSendBodyData(const std::shared_ptr<platform::URLSession>& session,
                         const std::shared_ptr<platform::URLSessionTask>& task, int64_t bytesSent,
                         int64_t totalBytesSent, int64_t totalBytesExpectedToSend) override;
    void didCompleteWithError(const std::shared_ptr<platform::URLSession>& session,
                              const std::shared_ptr<platform::URLSessionTask>& task,
                              const std::optional<Error>& error) override;
    void didReceiveResponse(const std::shared_ptr<platform::URLSession>& session,
                            const std::shared_ptr<platform::URLSessionDataTask>& dataTask,
                            const std::shared_ptr<const URLResponse>& response,
                            ResponseCompletion completionHandler) override;
    void didReceiveData(const std::shared_ptr<platform::URLSession>& session,
                        const std::shared_ptr<platform::URLSessionDataTask>& dataTask, const Bytes& data) override;
    void didFinishDownloadingToURL(const std::shared_ptr<platform::URLSession>& session,
                                   const std::shared_ptr<platform::URLSessionDownloadTask>& downloadTask,
                                   const URL& location) override;
    void didWriteData(const std::shared_ptr<platform::URLSession>& session,
                      const std::shared_ptr<platform::URLSessionDownloadTask>& downloadTask, int64_t bytesWritten,
                      int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) override;
    void didResumeAtOffset(const std::shared_ptr<platform::URLSession>& session,
                           const std::shared_ptr<platform::URLSessionDownloadTask>& downloadTask, int64_t fileOffset,
                           int64_t expectedTotalBytes) override;
    // The caching decision (this platform's sessions keep no cache and never ask; a test block
    // replay does).
    void willCacheResponse(const std::shared_ptr<platform::URLSession>& session,
                           const std::shared_ptr<platform::URLSessionDataTask>& dataTask,
                           const platform::CachedURLResponse& proposedResponse,
                           std::function<void(std::optional<platform::CachedURLResponse>)> completionHandler);

protected:
    // Records the task a session callback is about (setSessionTask); false, recording nothing,
    // for a task this fetcher cancelled and left behind (its callbacks are answered and dropped).
    bool recordSessionTask(const std::shared_ptr<platform::URLSessionTask>& task);
    // Ends a fetch that fails to start: one completion call with the error (-1 when none).
    void failToBeginFetchWithError(std::optional<Error> error);
    // Hands the request to the authorizer, which re-enters the begin sequence when done.
    void authorizeRequest();
    void authorizerFinished(const std::shared_ptr<URLRequest>& request, const std::optional<Error>& error);

    // Callback delivery on the callback queue inside the callback group. Unless afterUserStopped,
    // the block is dropped when the caller stopped the fetch or the service stopped all fetchers
    // after this fetch began.
    void invokeOnCallbackQueue(const std::shared_ptr<platform::DispatchQueue>& queue, bool afterUserStopped,
                               std::function<void()> block);
    void invokeOnCallbackQueueAfterUserStopped(bool afterUserStopped, std::function<void()> block);
    void invokeOnCallbackUnsynchronizedQueueAfterUserStopped(bool afterUserStopped, std::function<void()> block);
    void invokeOnCallbackQueueUnlessStopped(std::function<void()> block);
    void invokeFetchCallbacksOnCallbackQueueWithData(std::optional<Bytes> data, std::optional<Error> error);
    void postNotificationOnMainThreadWithName(const std::string& name, platform::Value userInfo, bool requireAsync);
    void respondToChallenge(const platform::URLAuthenticationChallenge& challenge, ChallengeCompletion completion);

    // Completion and retry.
    void finishWithError(std::optional<Error> error, bool shouldRetry);
    void shouldRetryNowForStatus(int64_t status, std::optional<Error> error, bool forceAssumeRetry,
                                 std::function<void(bool)> response);
    void beginRetryTimer();
    void retryTimerFired();
    void destroyRetryTimer();
    void retryFetch();
    void logNowWithError(const std::optional<Error>& error) {}
    Error statusErrorWithData(int64_t status, const std::optional<Bytes>& data);
    // Whether the response came from the origin of the request and the request carried an
    // "Authorization" header. The fetcher's lock is held.
    bool answeredSignedRequestUnsynchronized();

    void setStopNotificationNeeded(bool flag);
    void sendStopNotificationIfNeeded();

    // Background sessions.
    void setSessionIdentifierInternal(std::optional<std::string> sessionIdentifier);
    std::optional<platform::Value> sessionIdentifierMetadataUnsynchronized();
    std::optional<platform::Value> sessionIdentifierDefaultMetadata();
    void restoreDefaultStateForSessionIdentifierMetadata();
    void forgetSessionIdentifierForFetcher();
    void forgetSessionIdentifierForFetcherWithoutSyncCheck();
    void addPersistedBackgroundSessionToDefaults();
    void removePersistedBackgroundSessionFromDefaults();

    // Test-block simulation.
    void simulateFetchForTestBlock();
    void simulateDataCallbacksForTestBlockWithBodyData(std::optional<Bytes> bodyData,
                                                       std::shared_ptr<const URLResponse> response,
                                                       std::optional<Bytes> responseData, std::optional<Error> error);
    void simulateByteTransferReportWithDataLength(int64_t length, std::function<void(int64_t, int64_t, int64_t)> block);
    void simulateByteTransferWithData(const Bytes& data,
                                      std::function<void(const Bytes& chunk, int64_t, int64_t, int64_t)> block);

    mutable std::recursive_mutex mutex_;
    // The fields (fetcher/QNSessionFetcherState.h), under mutex_.
    struct State;
    std::unique_ptr<State> s_;

private:
    // The begin sequence, run by beginFetchMayDelay one step after another. A step answers Next
    // to go on, or End once it has ended the pass: the fetch failed to begin, was handed to the
    // authorizer or queued by the service, reattached a background session or was stopped.
    // No step holds the lock while it calls out.
    struct BeginContext;
    enum class BeginStep { Next, End };
    BeginStep beginTakeRequest(BeginContext& c);
    BeginStep beginCheckSomethingToFetch(BeginContext& c);
    BeginStep beginChooseBackgroundSession(BeginContext& c);
    BeginStep beginCheckBodyFile(BeginContext& c);
    BeginStep beginCheckScheme(BeginContext& c);
    BeginStep beginTakeCookieStorage(BeginContext& c);
    BeginStep beginDecideSessionSharing(BeginContext& c);
    BeginStep beginTakeServiceSession(BeginContext& c);
    BeginStep beginMakeSession(BeginContext& c);
    BeginStep beginReattachBackgroundSession(BeginContext& c);
    BeginStep beginClearReceivedData(BeginContext& c);
    BeginStep beginWaitForService(BeginContext& c);
    BeginStep beginPrepareMethodAndBody(BeginContext& c);
    BeginStep beginAuthorize(BeginContext& c);
    BeginStep beginCapBackoff(BeginContext& c);
    BeginStep beginMakeTask(BeginContext& c);
    BeginStep beginRecordTask(BeginContext& c);
    BeginStep beginAnnounceStart(BeginContext& c);
    BeginStep beginStartTask(BeginContext& c);
    // Fails to begin with an error of the fetcher's domain that names the request URL; End.
    BeginStep failToBeginWithCode(const BeginContext& c, int64_t code);
    // The https rule: https, a scheme allowed without TLS, or the local host when allowed.
    bool admitsInsecureURL(const URL& url);
};

}  // namespace quorvane
