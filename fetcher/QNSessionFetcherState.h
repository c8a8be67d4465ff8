#pragma once
// The fields of a QNSessionFetcher, shared by the files of its implementation (and by
// subclasses that need them). Every field is guarded by the fetcher's recursive lock.

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

struct QNSessionFetcher::State {
    std::shared_ptr<platform::URLRequest> request;
    // The copy of the request handed to the authorizer while it signs it.
    std::shared_ptr<platform::URLRequest> authorizingRequest;
    bool useUploadTask = false;
    std::optional<platform::URL> bodyFileURL;
    BodyStreamProvider bodyStreamProvider;
    std::shared_ptr<platform::URLSession> session;
    bool shouldInvalidateSession = false;
    std::shared_ptr<platform::URLSession> sessionNeedingInvalidation;
    std::optional<platform::URLSessionConfiguration> configuration;
    std::shared_ptr<platform::URLSessionTask> sessionTask;
    // Tasks cancelled by a stop: their late callbacks belong to no attempt of this fetcher.
    std::vector<std::weak_ptr<platform::URLSessionTask>> abandonedTasks;
    std::optional<std::string> taskDescription;
    float taskPriority = -1.0f;
    std::shared_ptr<const platform::URLResponse> response;
    std::optional<std::string> sessionIdentifier;
    bool wasCreatedFromBackgroundSession = false;
    bool didCreateSessionIdentifier = false;
    std::optional<std::string> sessionIdentifierUUID;
    bool userRequestedBackgroundSession = false;
    bool usingBackgroundSession = false;
    std::optional<platform::Bytes> downloadedData;
    std::optional<platform::Error> downloadFinishedError;
    std::optional<platform::Bytes> downloadResumeData;
    std::optional<platform::Bytes> downloadTaskErrorData;
    std::optional<platform::URL> destinationFileURL;
    int64_t downloadedLength = 0;
    std::optional<platform::URLCredential> credential;
    std::optional<platform::URLCredential> proxyCredential;
    bool isStopNotificationNeeded = false;
    bool isUsingTestBlock = false;
    std::any userData;
    std::optional<Properties> properties;
    std::shared_ptr<platform::DispatchQueue> callbackQueue;
    std::shared_ptr<platform::DispatchGroup> callbackGroup;
    std::shared_ptr<platform::OperationQueue> delegateQueue;
    std::shared_ptr<QNFetcherAuthorizationProtocol> authorizer;
    std::shared_ptr<QNSessionFetcherServiceProtocol> service;
    std::optional<std::string> serviceHost;
    int64_t servicePriority = 0;
    bool hasStoppedFetching = false;
    bool userStoppedFetching = false;
    bool isRetryEnabled = false;
    std::shared_ptr<platform::Timer> retryTimer;
    uint64_t retryCount = 0;
    platform::TimeInterval maxRetryInterval = -1.0;
    platform::TimeInterval minRetryInterval = 1.0;
    double retryFactor = 0;
    platform::TimeInterval lastRetryInterval = 0;
    std::optional<platform::Date> initialBeginFetchDate;
    std::optional<platform::Date> initialRequestDate;
    bool hasAttemptedAuthRefresh = false;
    std::string comment, log;
    bool canShareSession = false;
    bool allowLocalhostRequest = false;
    bool isSecretExchange = false;
    bool allowInvalidServerCertificates = false;
    ConfigurationBlock configurationBlock;
    std::optional<platform::Value> sessionUserInfo;
    CompletionHandler completionHandler;
    std::shared_ptr<const platform::Bytes> bodyData;
    int64_t bodyLength = -1;
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
    std::vector<std::string> allowedInsecureSchemes;
    std::shared_ptr<platform::HTTPCookieStorage> cookieStorage;
    TestBlock testBlock;
    uint64_t testBlockAccumulateDataChunkCount = 1;
};

// Helpers shared by the implementation files.
namespace fetcher_detail {
// 1 + r/65535 with r uniform in 0..65534.
platform::TimeInterval randomMinRetryInterval();
// The request URL's absolute string, or "(missing URL)".
std::string failingURLString(const std::shared_ptr<platform::URLRequest>& request);
// Whether a file URL's target can be reached; the file system's error otherwise.
std::optional<platform::Error> checkReachable(const platform::URL& fileURL);
// Writes the bytes to the file (atomically), creating its folder; the error when that fails.
std::optional<platform::Error> writeDataToFile(const platform::Bytes& data, const platform::URL& fileURL);
void removeItemAtURL(const platform::URL& fileURL);
const char* logCategory();
// A copy of the process-wide test block.
QNSessionFetcher::TestBlock globalTestBlock();
}  // namespace fetcher_detail

}  // namespace quorvane
