#pragma once
// The fields of a QNSessionFetcher, shared by the files of its implementation (and by
// subclasses that need them).

#include <any>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fetcher/QNSessionFetcher.h"
#include "platform/runloop/RunLoop.h"

namespace quorvane {

// Shared by the fetcher's implementation files only.
using platform::Bytes;
using platform::Error;
using platform::URL;
using platform::URLRequest;
using platform::Value;

// Holds the fetcher's lock for the rest of the scope.
#define QN_LOCKED std::lock_guard<std::recursive_mutex> qnLock(mutex_)

// The fetcher's state, in groups. Every group, and every field in it, is guarded by the
// fetcher's recursive lock (QNSessionFetcher::mutex_, taken with QN_LOCKED); nothing here is
// read or written without it, except by the destructor.
struct QNSessionFetcher::State {
    // What is sent: the request and its body.
    struct Request {
        // The request being sent; authorization and redirects replace it.
        std::shared_ptr<platform::URLRequest> request;
        // The copy of the request handed to the authorizer while it signs it.
        std::shared_ptr<platform::URLRequest> authorizingRequest;
        std::shared_ptr<const platform::Bytes> bodyData;
        // -1 while unknown.
        int64_t bodyLength = -1;
        std::optional<platform::URL> bodyFileURL;
        BodyStreamProvider bodyStreamProvider;
        bool useUploadTask = false;
        // The resumable upload fetcher this chunk, query or cancel fetcher works for.
        std::weak_ptr<QNSessionFetcher> parentUploadFetcher;
    };

    // The URL session, how it is made, and the task running in it.
    struct Task {
        std::shared_ptr<platform::URLSession> session;
        // The fetcher made the session itself and lets it go when done.
        bool shouldInvalidateSession = false;
        // Let go once the task a stop cancelled has completed.
        std::shared_ptr<platform::URLSession> sessionNeedingInvalidation;
        // The session came from (and goes back to) the fetcher service.
        bool canShareSession = false;
        // For a session the fetcher makes itself.
        std::optional<platform::URLSessionConfiguration> configuration;
        std::shared_ptr<platform::OperationQueue> delegateQueue;
        std::shared_ptr<platform::HTTPCookieStorage> cookieStorage;
        std::shared_ptr<platform::URLSessionTask> sessionTask;
        // Tasks cancelled by a stop: their late callbacks belong to no attempt of this fetcher.
        std::vector<std::weak_ptr<platform::URLSessionTask>> abandonedTasks;
        std::optional<std::string> description;
        // Negative: the system default.
        float priority = -1.0f;
        // The last response, kept after the task is let go (or the last redirect response).
        std::shared_ptr<const platform::URLResponse> response;
    };

    // The response body: accumulated in memory or downloaded to a file.
    struct Download {
        std::optional<platform::Bytes> data;
        int64_t length = 0;
        std::optional<platform::URL> destinationFileURL;
        std::optional<platform::Bytes> resumeData;
        // Failure to place a downloaded file.
        std::optional<platform::Error> finishedError;
        // The small error body of a failed download.
        std::optional<platform::Bytes> taskErrorData;
        // 0 or less: no limit.
        int64_t maxBodySize = kQNSessionFetcherDefaultMaxResponseBodySize;
        // The body grew past the limit: the task was cancelled and the fetch ends with this.
        std::optional<platform::Error> limitError;
        // An error answer's body reached kQNSessionFetcherSmallResponseBodySize: the task was
        // cancelled and the fetch ends with the status and what was kept of the body.
        bool errorBodyCut = false;
    };

    // Retries with backoff.
    struct Retry {
        bool enabled = false;
        std::shared_ptr<platform::Timer> timer;
        uint64_t count = 0;
        // Not above 0: not set.
        platform::TimeInterval maxInterval = -1.0;
        platform::TimeInterval minInterval = 1.0;
        double factor = 0;
        platform::TimeInterval lastInterval = 0;
        // The one forced retry after a 401 was used.
        bool hasAttemptedAuthRefresh = false;
    };

    // Background sessions: the identifier kept in user defaults and its metadata.
    struct Background {
        std::optional<std::string> identifier;
        std::optional<std::string> identifierUUID;
        // This fetcher generated its identifier.
        bool didCreateIdentifier = false;
        // The fetcher was made again for a background session at start-up.
        bool wasCreatedFromBackgroundSession = false;
        // The useBackgroundSession property.
        bool userRequested = false;
        // The fetch actually runs in a background session.
        bool inUse = false;
        // The caller's metadata kept in the identifier.
        std::optional<platform::Value> userInfo;
    };

    // The caller's queue and blocks: let go together when the fetch ends (releaseCallbacks).
    struct Callbacks {
        std::shared_ptr<platform::DispatchQueue> queue;
        CompletionHandler completionHandler;
        ConfigurationBlock configurationBlock;
        AccumulateDataBlock accumulateDataBlock;
        ReceivedProgressBlock receivedProgressBlock;
        DownloadProgressBlock downloadProgressBlock;
        ResumeDataBlock resumeDataBlock;
        DidReceiveResponseBlock didReceiveResponseBlock;
        ChallengeBlock challengeBlock;
        WillRedirectBlock willRedirectBlock;
        SendProgressBlock sendProgressBlock;
        WillCacheURLResponseBlock willCacheURLResponseBlock;
        RetryBlock retryBlock;
        TestBlock testBlock;
    };

    // Who may sign and what may be sent where.
    struct Security {
        std::shared_ptr<QNFetcherAuthorizationProtocol> authorizer;
        std::optional<platform::URLCredential> credential;
        std::optional<platform::URLCredential> proxyCredential;
        std::vector<std::string> allowedInsecureSchemes;
        bool allowLocalhostRequest = false;
        bool isSecretExchange = false;
        bool allowInvalidServerCertificates = false;
        // The URL the fetch was first begun with: its origin is the only one whose challenges
        // the credential answers.
        std::optional<platform::URL> originURL;
    };

    // Scheduling by the fetcher service.
    struct Scheduling {
        std::shared_ptr<QNSessionFetcherServiceProtocol> service;
        std::optional<std::string> host;
        int64_t priority = 0;
    };

    // Where the fetch stands.
    struct Status {
        std::optional<platform::Date> initialBeginFetchDate;
        std::optional<platform::Date> initialRequestDate;
        bool hasStoppedFetching = false;
        bool userStoppedFetching = false;
        // A started notification went out and its stopped notification is owed.
        bool isStopNotificationNeeded = false;
        // The fetch is answered by a test block.
        bool isUsingTestBlock = false;
        // Every callback dispatch enters it; kept after the callbacks are let go, for waits.
        std::shared_ptr<platform::DispatchGroup> callbackGroup;

        // 0 before the first request.
        platform::TimeInterval secondsSinceInitialRequest() const {
            return initialRequestDate ? platform::Date::now().timeIntervalSince(*initialRequestDate) : 0;
        }
    };

    // The caller's own values.
    struct CallerData {
        std::any userData;
        std::optional<Properties> properties;
        std::shared_ptr<const QNSessionFetcherOwnerRecord> ownerRecord;
        std::string comment, log;
        // Number of chunks a simulated body is cut into.
        uint64_t testBlockAccumulateDataChunkCount = 1;
    };

    Request req;
    Task task;
    Download download;
    Retry retry;
    Background background;
    Callbacks callbacks;
    Security security;
    Scheduling scheduling;
    Status status;
    CallerData caller;
};

// Helpers shared by the implementation files.
namespace fetcher_detail {
// 1 + r/65535 with r uniform in 0..65534.
platform::TimeInterval randomMinRetryInterval();
// The request URL's absolute string, or "(missing URL)".
std::string failingURLString(const std::shared_ptr<platform::URLRequest>& request);
// Whether a file URL's target can be reached; the file system's error otherwise.
platform::Result<void> checkReachable(const platform::URL& fileURL);
// Writes the bytes to the file (atomically), creating its folder; the error when that fails.
platform::Result<void> writeDataToFile(const platform::Bytes& data, const platform::URL& fileURL);
void removeItemAtURL(const platform::URL& fileURL);
const char* logCategory();
// A copy of the process-wide test block.
QNSessionFetcher::TestBlock globalTestBlock();
}  // namespace fetcher_detail

}  // namespace quorvane
