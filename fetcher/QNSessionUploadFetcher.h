#pragma once
// QNSessionUploadFetcher uploads a body of any size to a server that speaks the resumable upload
// protocol (the "X-Goog-Upload-" headers): a first request announces the upload and receives an
// upload URL; the body then goes to that URL in chunks, each naming its offset; after a failure
// or a pause the fetcher asks the server how much it holds and goes on from there; the last
// chunk finalises the upload, and a cancel command abandons it.
//
// The fetcher performs the first request itself; every later request (chunk, query, cancel) is a
// stand-alone QNSessionFetcher it makes, watches and lets go. To its caller it is one fetcher:
// one completion handler, one stream of send-progress calls, one status code.
//
// The body comes from one of four sources: a provider block, data in memory, a file URL or an
// open file handle (tried in that order when chunk bytes are produced). Chunks are the chunk
// size (at most 100 MiB unless a whole file goes at once), rounded to the server's granularity;
// the last chunk also takes a tail shorter than 2,500 bytes.
//
// Failures: a chunk is never resent blindly; a failed chunk leads to a query of the server's
// offset, after a delay that doubles with each failure in a row (from the minimum retry
// interval up to the maximum one), and the upload gives up after kQNUploadMaxFailuresInARow
// failures without progress, keeping its upload URL for a later resume.
//
// Uploads of a file URL may send their chunks on background sessions: each chunk's session
// identifier carries a description of the upload, so that a later process rebuilds the upload
// (uploadFetchersForBackgroundSessions, called once at start-up) and continues it through an
// offset query.
//
// Threads: chunk bytes from files are read on a global queue; chunks begin on the main queue;
// the caller's callbacks run on the callback queue the fetcher had when it began.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fetcher/QNSessionFetcher.h"
#include "platform/foundation/FileHandle.h"

namespace quorvane {

class QNSessionFetcherService;

// Posted (object: the upload fetcher) when the server has given the upload URL.
inline constexpr const char* kQNSessionFetcherUploadLocationObtainedNotification =
    "kQNSessionFetcherUploadLocationObtainedNotification";
// Code of QNSessionFetcherErrorDomain: the chunk's bytes could not be produced.
inline constexpr int64_t QNSessionFetcherErrorChunkUnavailable = -2;
// Failed chunk or query requests in a row, without the server's offset moving past the furthest
// it ever confirmed, before the upload gives up. Only such progress starts the count again, and
// the furthest offset never goes back, so no answer of the server can keep an upload going for
// ever.
inline constexpr int kQNUploadMaxFailuresInARow = 6;
// Code of QNSessionFetcherErrorDomain: the server named an offset outside the upload (below 0 or
// beyond its length); the upload ends and forgets its URL.
inline constexpr int64_t QNSessionFetcherErrorUploadOffsetInvalid = -7;

enum QNSessionUploadFetcherStatus : int64_t {
    kQNSessionUploadFetcherStatusUnknown = 0,
    kQNSessionUploadFetcherStatusActive = 1,
    kQNSessionUploadFetcherStatusFinal = 2,
    kQNSessionUploadFetcherStatusCancelled = 3,
};

class QNSessionUploadFetcher : public QNSessionFetcher {
public:
    // A provider answers (data, total length or -1 when still unknown, error) once.
    using DataProviderResponse =
        std::function<void(std::optional<Bytes> data, int64_t fullUploadLength, std::optional<Error> error)>;
    using DataProvider = std::function<void(int64_t offset, int64_t length, DataProviderResponse response)>;
    // (the cancel fetcher or nothing, its data, its error).
    using CancellationHandler = std::function<void(const std::shared_ptr<QNSessionFetcher>& fetcher,
                                                   const std::optional<Bytes>& data, const std::optional<Error>& error)>;

    explicit QNSessionUploadFetcher(std::optional<URLRequest> request = std::nullopt,
                                    std::optional<platform::URLSessionConfiguration> configuration = std::nullopt);
    ~QNSessionUploadFetcher() override;

    // --- making ---
    // A new upload: the request is the first request (the caller's method and body, such as
    // metadata).
    static std::shared_ptr<QNSessionUploadFetcher> uploadFetcherWithRequest(
        const URLRequest& request, const std::string& uploadMIMEType, int64_t chunkSize,
        const std::shared_ptr<QNSessionFetcherService>& fetcherService);
    // Resumes an upload at a known upload URL (it begins with an offset query).
    static std::shared_ptr<QNSessionUploadFetcher> uploadFetcherWithLocation(
        std::optional<URL> uploadLocationURL, const std::string& uploadMIMEType, int64_t chunkSize,
        const std::shared_ptr<QNSessionFetcherService>& fetcherService);
    static std::shared_ptr<QNSessionUploadFetcher> uploadFetcherWithLocation(
        std::optional<URL> uploadLocationURL, const std::string& uploadMIMEType, int64_t chunkSize,
        bool allowsCellularAccess, const std::shared_ptr<QNSessionFetcherService>& fetcherService);
    // Made by the service when there is one; chunks on background sessions.
    static std::shared_ptr<QNSessionUploadFetcher> uploadFetcherWithRequest(
        const URLRequest& request, const std::shared_ptr<QNSessionFetcherService>& fetcherService);
    void setLocationURL(std::optional<URL> location, std::optional<std::string> uploadMIMEType, int64_t chunkSize,
                        bool allowsCellularAccess);

    // "active" 1, "final" 2, "cancelled" 3 of "X-Goog-Upload-Status"; anything else 0.
    static int64_t uploadStatusFromResponseHeaders(const std::optional<platform::HTTPHeaders>& headers);

    // --- the body ---
    std::optional<Bytes> uploadData();
    void setUploadData(std::optional<Bytes> data);
    std::shared_ptr<platform::FileHandle> uploadFileHandle();
    void setUploadFileHandle(std::shared_ptr<platform::FileHandle> handle);
    std::optional<URL> uploadFileURL();
    void setUploadFileURL(std::optional<URL> url);
    DataProvider uploadDataProvider();
    // The total length (-1: not known yet) and the provider.
    void setUploadDataLength(int64_t fullLength, DataProvider provider);
    // Taken only while the length is unknown.
    void setUploadFileLength(int64_t length);
    std::optional<std::string> uploadMIMEType();
    void setUploadMIMEType(std::optional<std::string> type);
    int64_t chunkSize();
    // The total body length, found from the source when needed; -1 while unknown.
    int64_t fullUploadLength();

    // --- running ---
    void beginFetchWithCompletionHandler(CompletionHandler handler) override;
    void setCompletionHandler(CompletionHandler handler) override;
    // Stops the chunk in flight; resumeFetching asks the server's offset and goes on from there.
    void pauseFetching();
    void resumeFetching();
    bool isPaused();
    // Discards the chunk in flight; with an upload URL sends a cancel request (its result goes to
    // the cancellation handler), else calls the cancellation handler with nothing at once.
    void stopFetching() override;
    void stopFetchReleasingCallbacks(bool shouldReleaseCallbacks) override;
    bool waitForCompletionWithTimeout(platform::TimeInterval timeoutInSeconds) override;
    bool isFetching() override;
    CancellationHandler cancellationHandler();
    void setCancellationHandler(CancellationHandler handler);

    // --- state ---
    std::optional<URL> uploadLocationURL();
    void setUploadLocationURL(std::optional<URL> url);
    int64_t currentOffset();
    std::shared_ptr<QNSessionFetcher> chunkFetcher();
    // The request in flight (chunk, query or cancel), else the upload fetcher itself.
    std::shared_ptr<QNSessionFetcher> activeFetcher();
    std::optional<URLRequest> lastChunkRequest();
    // The last chunk's status once the upload ended, else the first request's.
    int64_t statusCodeUnsynchronized() override;
    // The chunk in flight's headers, else the last chunk's, else the first request's.
    std::optional<platform::HTTPHeaders> responseHeaders() override;
    std::shared_ptr<platform::DispatchQueue> delegateCallbackQueue();
    void setDelegateCallbackQueue(std::shared_ptr<platform::DispatchQueue> queue);
    CompletionHandler delegateCompletionHandler();
    bool isRestartedUpload();

    // --- background sessions ---
    // Whether chunks of a file-URL upload go on background sessions.
    bool useBackgroundSession() override;
    void setUseBackgroundSession(bool flag) override;
    // The description of the upload each chunk's session identifier carries.
    platform::Value uploadSessionIdentifierMetadata();
    // The live uploads on background sessions, and those rebuilt from the chunk fetches of an
    // earlier process (each continues through an offset query; set its completion handler).
    static std::vector<std::shared_ptr<QNSessionUploadFetcher>> uploadFetchersForBackgroundSessions();
    static std::shared_ptr<QNSessionUploadFetcher> uploadFetcherForSessionIdentifier(const std::string& identifier);
    // A rebuilt upload fetcher, or nullptr for a description that does not describe an upload.
    static std::shared_ptr<QNSessionUploadFetcher> uploadFetcherForSessionIdentifierMetadata(const platform::Value& metadata);

    // --- base fetcher overrides ---
    void beginFetchForRetry() override;
    bool shouldReleaseCallbacksUponCompletion() override { return false; }
    bool canFetchWithBackgroundSession() override { return false; }
    void didSendBodyData(const std::shared_ptr<platform::URLSession>& session,
                         const std::shared_ptr<platform::URLSessionTask>& task, int64_t bytesSent,
                         int64_t totalBytesSent, int64_t totalBytesExpectedToSend) override;

private:
    struct Upload;
    std::shared_ptr<QNSessionUploadFetcher> selfUpload();
    void setupRequestHeaders();
    int64_t fullUploadLengthLocked();

    void firstRequestFinished(const std::optional<Bytes>& data, const std::optional<Error>& error);
    void beginChunkFetches();
    std::shared_ptr<QNSessionFetcher> uploadFetcherWithProperties(const Properties& properties, bool isQueryFetch);
    int64_t updateChunkFetcher(const std::shared_ptr<QNSessionFetcher>& chunk, int64_t offset);
    void uploadNextChunkWithOffset(int64_t offset, const Properties& properties);
    void uploadNextChunkWithOffset(int64_t offset);
    void generateChunkSubdata(int64_t offset, int64_t length, DataProviderResponse response);
    void beginChunkFetcher(const std::shared_ptr<QNSessionFetcher>& chunk, int64_t offset);
    void chunkFetcherFinished(const std::shared_ptr<QNSessionFetcher>& chunk, const std::optional<Bytes>& data,
                              std::optional<Error> error);
    void queryAfterFailure(const Properties& properties, const std::optional<Bytes>& data, const std::optional<Error>& error);
    void sendQueryForUploadOffset(const Properties& properties);
    void queryFetcherFinished(const std::shared_ptr<QNSessionFetcher>& query, const std::optional<Bytes>& data,
                              const std::optional<Error>& error);
    void sendCancelUpload(const Properties& properties);
    void destroyChunkFetcher();
    Error prematureFailureError(const std::optional<Bytes>& data);
    void invokeFinalCallback(std::optional<Bytes> data, std::optional<Error> error, bool shouldInvalidateLocation);
    void releaseUploadCallbacks(bool keepCancellationHandler);
    bool triggerCancellationHandler(const std::shared_ptr<QNSessionFetcher>& fetcher, const std::optional<Bytes>& data,
                                    const std::optional<Error>& error);
    void invokeDelegateWithDidSendBytes(int64_t bytesSent, int64_t totalBytesSent, int64_t totalBytesExpectedToSend,
                                        const std::shared_ptr<QNSessionFetcher>& keepAlive);
    SendProgressBlock chunkProgressBlock();
    void setFetcherInFlight(std::shared_ptr<QNSessionFetcher> fetcher);
    void clearFetcherInFlight(const QNSessionFetcher* fetcher);

    // The upload's state, under the base fetcher's lock (mutex_).
    std::unique_ptr<Upload> u_;
};

}  // namespace quorvane
