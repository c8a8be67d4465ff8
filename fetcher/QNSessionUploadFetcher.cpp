#include "fetcher/QNSessionUploadFetcher.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "fetcher/QNSessionFetcherService.h"
#include "fetcher/QNSessionFetcherState.h"
#include "fetcher/QNSessionUserAgent.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"
#include "platform/foundation/UUID.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/RunLoop.h"

namespace quorvane {

using platform::Bytes;
using platform::Error;
using platform::HTTPHeaders;
using platform::URL;
using platform::URLRequest;
using platform::Value;

namespace {

constexpr int64_t kMaxChunkSize = 100LL * 1024 * 1024;
// A last chunk takes a tail shorter than this rather than leaving it for a chunk of its own.
constexpr int64_t kMinTailLength = 2500;
constexpr const char* kCommand = "X-Goog-Upload-Command";
constexpr const char* kUserAgentMarker = "(QNSUF/1)";
// The files that carry a file upload's chunks, one per chunk, in the temporary directory.
constexpr std::string_view kChunkFilePrefix = "QNUpload_temp_";

std::optional<int64_t> headerNumber(const std::optional<HTTPHeaders>& headers, const char* name) {
    if (!headers) return std::nullopt;
    auto text = headers->valueForHTTPHeaderField(name);
    if (!text) return std::nullopt;
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (ec != std::errc() || end == text->data()) return std::nullopt;
    return value;
}

Error chunkUnavailableError(std::string text) {
    return Error(QNSessionFetcherErrorDomain, QNSessionFetcherErrorChunkUnavailable,
                 Value::dictionary({{"description", Value(std::move(text))}}));
}

std::string rangeInvalidText(int64_t offset, int64_t length, int64_t dataLength, std::optional<int64_t> expected) {
    std::string text = "Range invalid for upload data.  offset: " + std::to_string(offset) +
                       "\tlength: " + std::to_string(length) + "\tdataLength: " + std::to_string(dataLength);
    if (expected) text += "\texpected UploadLength: " + std::to_string(*expected);
    return text;
}

// The bytes [offset, offset + length) of an open file.
std::optional<Bytes> readRange(platform::FileHandle& handle, int64_t offset, int64_t length) {
    if (!handle.seekToFileOffset(uint64_t(offset))) return std::nullopt;
    auto data = handle.readDataOfLength(size_t(length));
    if (!data || int64_t(data->size()) != length) return std::nullopt;
    return data;
}

// The chunk files this process made and has not removed yet. Those left when the process exits
// normally go with it: no chunk is sent after that (a rebuilt upload queries the server and
// makes its chunks anew). A process that is killed leaves them; the next start removes those of
// uploads on background sessions as it rebuilds them.
struct LiveChunkFiles {
    std::mutex mutex;
    std::set<std::string> paths;
};
LiveChunkFiles& liveChunkFiles() {
    // Never destroyed: the exit handler may run after static objects are gone.
    static auto* files = new LiveChunkFiles;
    return *files;
}
void removeLiveChunkFilesAtExit() {
    auto& files = liveChunkFiles();
    std::lock_guard lock(files.mutex);
    for (const auto& path : files.paths) {
        std::error_code ec;
        std::filesystem::remove(path, ec);
    }
    files.paths.clear();
}
void rememberChunkFile(const std::filesystem::path& path) {
    static std::once_flag once;
    std::call_once(once, [] { std::atexit(removeLiveChunkFilesAtExit); });
    auto& files = liveChunkFiles();
    std::lock_guard lock(files.mutex);
    files.paths.insert(path.string());
}

// Removes the chunk's body file when it is a chunk file: never the upload's own file, and never
// a file of another name, even when a session description restored from disk names it.
void removeChunkFile(QNSessionFetcher& chunk, const std::optional<URL>& uploadFile) {
    auto body = chunk.bodyFileURL();
    if (!body || body == uploadFile) return;
    std::filesystem::path path(body->path());
    if (!platform::hasPrefix(path.filename().string(), kChunkFilePrefix)) return;
    std::error_code ec;
    std::filesystem::remove(path, ec);
    auto& files = liveChunkFiles();
    std::lock_guard lock(files.mutex);
    files.paths.erase(path.string());
}

// The live upload fetchers whose chunks go on background sessions.
std::mutex gBackgroundMutex;
std::vector<std::weak_ptr<QNSessionUploadFetcher>>& backgroundUploads() {
    static std::vector<std::weak_ptr<QNSessionUploadFetcher>> list;
    return list;
}

}  // namespace

// The upload's state, in groups. Like the base fetcher's state, every field is guarded by the
// fetcher's recursive lock (QNSessionFetcher::mutex_, taken with QN_LOCKED).
struct QNSessionUploadFetcher::Upload {
    // Where the bytes come from: data, a file handle, a file URL or a provider.
    struct Source {
        std::shared_ptr<const Bytes> data;
        std::shared_ptr<platform::FileHandle> fileHandle;
        std::optional<URL> fileURL;
        DataProvider dataProvider;
        // -1 while unknown.
        int64_t fileLength = -1;
        std::optional<std::string> MIMEType;
    };

    // The upload at the server and how far it has got.
    struct Chunks {
        std::optional<URL> locationURL;
        int64_t size = 0;
        // The server's granularity; chunks are multiples of it.
        int64_t granularity = 0;
        int64_t currentOffset = 0;
        // The first request's body, and what of it was sent.
        int64_t initialBodyLength = 0;
        int64_t initialBodySent = 0;
        // Made from a location URL: the upload goes on after an offset query.
        bool isRestartedUpload = false;
        bool shouldInitiateOffsetQuery = false;
        bool allowsCellularAccess = true;
        bool useBackgroundSession = false;
        std::optional<HTTPHeaders> recentResponseHeaders;
        int64_t recentStatusCode = -1;
        std::optional<URLRequest> lastRequest;
    };

    // What runs now.
    struct Flight {
        std::shared_ptr<QNSessionFetcher> chunkFetcher;
        std::shared_ptr<QNSessionFetcher> fetcherInFlight;
        bool selfInFlight = false;  // the first request
        bool isCancelInFlight = false;
        // The provider is making a chunk's bytes.
        bool subdataGenerating = false;
        bool isPaused = false;
    };

    // The caller's completion and cancellation, kept apart from the chunk fetchers' own.
    struct Caller {
        CompletionHandler completionHandler;
        std::shared_ptr<platform::DispatchQueue> callbackQueue;
        CancellationHandler cancellationHandler;
    };

    // The failure/query cycle: failures since the server's offset last moved, and the query
    // waiting for its delay (a new generation forgets a waiting one).
    struct Recovery {
        int failuresInARow = 0;
        int64_t lastKnownOffset = 0;
        bool queryScheduled = false;
        uint64_t queryGeneration = 0;
    };

    Source source;
    Chunks chunks;
    Flight flight;
    Caller caller;
    Recovery recovery;
};

// --- making ---

QNSessionUploadFetcher::QNSessionUploadFetcher(std::optional<URLRequest> request,
                                               std::optional<platform::URLSessionConfiguration> configuration)
    : QNSessionFetcher(std::move(request), std::move(configuration)), u_(std::make_unique<Upload>()) {}

QNSessionUploadFetcher::~QNSessionUploadFetcher() {
    // A chunk still held here is one nothing will finish: its file goes with the upload.
    if (auto chunk = std::move(u_->flight.chunkFetcher)) {
        chunk->stopFetching();
        removeChunkFile(*chunk, u_->source.fileURL);
    }
}

std::shared_ptr<QNSessionUploadFetcher> QNSessionUploadFetcher::selfUpload() {
    return std::static_pointer_cast<QNSessionUploadFetcher>(shared_from_this());
}

namespace {
std::shared_ptr<QNSessionUploadFetcher> makeUploadFetcher(const std::optional<URLRequest>& request,
                                                          const std::shared_ptr<QNSessionFetcherService>& service) {
    if (service && request) return service->fetcherWithRequest<QNSessionUploadFetcher>(*request);
    return std::make_shared<QNSessionUploadFetcher>(request);
}
}  // namespace

std::shared_ptr<QNSessionUploadFetcher> QNSessionUploadFetcher::uploadFetcherWithRequest(
    const URLRequest& request, const std::string& uploadMIMEType, int64_t chunkSize,
    const std::shared_ptr<QNSessionFetcherService>& fetcherService) {
    auto fetcher = makeUploadFetcher(request, fetcherService);
    fetcher->setLocationURL(std::nullopt, uploadMIMEType, chunkSize, request.allowsCellularAccess());
    fetcher->setupRequestHeaders();
    return fetcher;
}

std::shared_ptr<QNSessionUploadFetcher> QNSessionUploadFetcher::uploadFetcherWithLocation(
    std::optional<URL> uploadLocationURL, const std::string& uploadMIMEType, int64_t chunkSize,
    const std::shared_ptr<QNSessionFetcherService>& fetcherService) {
    return uploadFetcherWithLocation(std::move(uploadLocationURL), uploadMIMEType, chunkSize, true, fetcherService);
}

std::shared_ptr<QNSessionUploadFetcher> QNSessionUploadFetcher::uploadFetcherWithLocation(
    std::optional<URL> uploadLocationURL, const std::string& uploadMIMEType, int64_t chunkSize,
    bool allowsCellularAccess, const std::shared_ptr<QNSessionFetcherService>& fetcherService) {
    std::shared_ptr<QNSessionUploadFetcher> fetcher;
    if (fetcherService) {
        // The service's settings, without a first request.
        fetcher = fetcherService->fetcherWithRequest<QNSessionUploadFetcher>(URLRequest());
        fetcher->setRequest(std::nullopt);
    } else {
        fetcher = std::make_shared<QNSessionUploadFetcher>();
    }
    fetcher->setLocationURL(std::move(uploadLocationURL), uploadMIMEType, chunkSize, allowsCellularAccess);
    return fetcher;
}

std::shared_ptr<QNSessionUploadFetcher> QNSessionUploadFetcher::uploadFetcherWithRequest(
    const URLRequest& request, const std::shared_ptr<QNSessionFetcherService>& fetcherService) {
    auto fetcher = makeUploadFetcher(request, fetcherService);
    fetcher->setUseBackgroundSession(true);
    return fetcher;
}

void QNSessionUploadFetcher::setLocationURL(std::optional<URL> location, std::optional<std::string> uploadMIMEType,
                                            int64_t chunkSize, bool allowsCellularAccess) {
    QN_LOCKED;
    u_->chunks.isRestartedUpload = location.has_value();
    u_->chunks.locationURL = std::move(location);
    u_->source.MIMEType = std::move(uploadMIMEType);
    u_->chunks.size = chunkSize;
    u_->chunks.allowsCellularAccess = allowsCellularAccess;
    u_->source.fileLength = -1;
    u_->chunks.recentStatusCode = -1;
}

int64_t QNSessionUploadFetcher::uploadStatusFromResponseHeaders(const std::optional<HTTPHeaders>& headers) {
    if (!headers) return kQNSessionUploadFetcherStatusUnknown;
    auto status = headers->valueForHTTPHeaderField("X-Goog-Upload-Status");
    if (!status) return kQNSessionUploadFetcherStatusUnknown;
    if (platform::asciiEqualsIgnoringCase(*status, "active")) return kQNSessionUploadFetcherStatusActive;
    if (platform::asciiEqualsIgnoringCase(*status, "final")) return kQNSessionUploadFetcherStatusFinal;
    if (platform::asciiEqualsIgnoringCase(*status, "cancelled")) return kQNSessionUploadFetcherStatusCancelled;
    return kQNSessionUploadFetcherStatusUnknown;
}

void QNSessionUploadFetcher::setupRequestHeaders() {
    auto req = request();
    if (!req) return;
    req->setValue("resumable", "X-Goog-Upload-Protocol");
    req->setValue("start", kCommand);
    req->setValue(uploadMIMEType().value_or(""), "X-Goog-Upload-Content-Type");
    req->setValue(std::to_string(fullUploadLength()), "X-Goog-Upload-Content-Length");
    if (platform::asciiEqualsIgnoringCase(req->HTTPMethod(), "GET")) req->setHTTPMethod("POST");
    std::string agent = req->valueForHTTPHeaderField("User-Agent").value_or("");
    if (agent.find(kUserAgentMarker) == std::string::npos) {
        if (agent.empty()) agent = QNSessionStandardUserAgentString();
        req->setValue(agent + " " + kUserAgentMarker, "User-Agent");
    }
    updateMutableRequest(std::move(req));
}

// --- the body ---

std::optional<Bytes> QNSessionUploadFetcher::uploadData() {
    QN_LOCKED;
    if (!u_->source.data) return std::nullopt;
    return *u_->source.data;
}

void QNSessionUploadFetcher::setUploadData(std::optional<Bytes> data) {
    {
        QN_LOCKED;
        u_->source.data = data ? std::make_shared<const Bytes>(std::move(*data)) : nullptr;
    }
    setupRequestHeaders();
}

std::shared_ptr<platform::FileHandle> QNSessionUploadFetcher::uploadFileHandle() {
    QN_LOCKED;
    return u_->source.fileHandle;
}

void QNSessionUploadFetcher::setUploadFileHandle(std::shared_ptr<platform::FileHandle> handle) {
    {
        QN_LOCKED;
        if (u_->source.fileHandle == handle) return;
        u_->source.fileHandle = std::move(handle);
    }
    setupRequestHeaders();
}

std::optional<URL> QNSessionUploadFetcher::uploadFileURL() {
    QN_LOCKED;
    return u_->source.fileURL;
}

void QNSessionUploadFetcher::setUploadFileURL(std::optional<URL> url) {
    {
        QN_LOCKED;
        if (u_->source.fileURL == url) return;
        u_->source.fileURL = std::move(url);
    }
    setupRequestHeaders();
}

QNSessionUploadFetcher::DataProvider QNSessionUploadFetcher::uploadDataProvider() {
    QN_LOCKED;
    return u_->source.dataProvider;
}

void QNSessionUploadFetcher::setUploadDataLength(int64_t fullLength, DataProvider provider) {
    {
        QN_LOCKED;
        u_->source.dataProvider = std::move(provider);
        u_->source.fileLength = fullLength;
    }
    setupRequestHeaders();
}

void QNSessionUploadFetcher::setUploadFileLength(int64_t length) {
    QN_LOCKED;
    if (u_->source.fileLength == -1 && length != -1) u_->source.fileLength = length;
}

std::optional<std::string> QNSessionUploadFetcher::uploadMIMEType() {
    QN_LOCKED;
    return u_->source.MIMEType;
}

void QNSessionUploadFetcher::setUploadMIMEType(std::optional<std::string> type) {
    QN_LOCKED;
    u_->source.MIMEType = std::move(type);
}

int64_t QNSessionUploadFetcher::chunkSize() {
    QN_LOCKED;
    return u_->chunks.size;
}

int64_t QNSessionUploadFetcher::fullUploadLength() {
    QN_LOCKED;
    return fullUploadLengthLocked();
}

int64_t QNSessionUploadFetcher::fullUploadLengthLocked() {
    if (u_->source.data) return int64_t(u_->source.data->size());
    if (u_->source.fileLength != -1) return u_->source.fileLength;
    if (u_->source.fileHandle) {
        if (auto size = u_->source.fileHandle->fileSize()) u_->source.fileLength = int64_t(*size);
    } else if (u_->source.dataProvider) {
        // Unknown until the provider says.
    } else if (u_->source.fileURL) {
        std::error_code ec;
        auto size = std::filesystem::file_size(u_->source.fileURL->path(), ec);
        u_->source.fileLength = ec ? 0 : int64_t(size);
    }
    return u_->source.fileLength;
}

// --- beginning ---

void QNSessionUploadFetcher::setCompletionHandler(CompletionHandler handler) {
    QN_LOCKED;
    u_->caller.completionHandler = std::move(handler);
}

void QNSessionUploadFetcher::beginFetchWithCompletionHandler(CompletionHandler handler) {
    bool restarted, paused;
    {
        QN_LOCKED;
        u_->chunks.initialBodyLength = std::max<int64_t>(0, bodyLength());
        u_->caller.callbackQueue = s_->callbacks.queue;
        u_->caller.completionHandler = std::move(handler);
        restarted = u_->chunks.isRestartedUpload;
        paused = u_->flight.isPaused;
        if (!restarted) u_->flight.selfInFlight = true;
    }
    if (restarted) {
        if (!paused) sendQueryForUploadOffset(properties());
        return;
    }
    auto self = selfUpload();
    QNSessionFetcher::setCompletionHandler(
        [self](const std::optional<Bytes>& data, const std::optional<Error>& error) { self->firstRequestFinished(data, error); });
    beginFetchMayDelay(true, true);
}

void QNSessionUploadFetcher::beginFetchForRetry() {
    {
        QN_LOCKED;
        u_->chunks.initialBodyLength = std::max<int64_t>(0, bodyLength());
        u_->flight.selfInFlight = true;
    }
    QNSessionFetcher::beginFetchForRetry();
}

void QNSessionUploadFetcher::firstRequestFinished(const std::optional<Bytes>& data, const std::optional<Error>& error) {
    bool restarted;
    {
        QN_LOCKED;
        u_->flight.selfInFlight = false;
        restarted = u_->chunks.isRestartedUpload;
    }
    if (restarted) {
        invokeFinalCallback(data, error, false);
        return;
    }
    if (error) {
        if (retryTimer()) return;
        invokeFinalCallback(data, error, true);
        return;
    }
    auto headers = QNSessionFetcher::responseHeaders();
    int64_t status = uploadStatusFromResponseHeaders(headers);
    std::optional<std::string> location = headers ? headers->valueForHTTPHeaderField("X-Goog-Upload-URL") : std::nullopt;
    std::optional<URL> locationURL;
    if (location && !location->empty()) {
        auto base = request();
        locationURL = base && base->url() ? URL::URLWithString(*location, *base->url()) : URL::URLWithString(*location);
    }
    if (status == kQNSessionUploadFetcherStatusFinal || status == kQNSessionUploadFetcherStatusCancelled || !locationURL) {
        invokeFinalCallback(std::nullopt, prematureFailureError(data), true);
        return;
    }
    bool paused;
    {
        QN_LOCKED;
        u_->chunks.granularity = headerNumber(headers, "X-Goog-Upload-Chunk-Granularity").value_or(0);
        u_->chunks.locationURL = locationURL;
        u_->chunks.initialBodySent = u_->chunks.initialBodyLength;
        paused = u_->flight.isPaused;
    }
    postNotificationOnMainThreadWithName(kQNSessionFetcherUploadLocationObtainedNotification, Value(), false);
    if (!paused) uploadNextChunkWithOffset(0);
}

Error QNSessionUploadFetcher::prematureFailureError(const std::optional<Bytes>& data) {
    Value info = Value::dictionary();
    if (data && !data->empty()) info.set(QNSessionFetcherStatusDataUserInfoKey, *data);
    return Error(QNSessionFetcherStatusDomain, 501, info);
}

// --- chunk, query and cancel fetchers ---

std::shared_ptr<QNSessionFetcher> QNSessionUploadFetcher::uploadFetcherWithProperties(const Properties& properties,
                                                                                     bool isQueryFetch) {
    auto first = request();
    URLRequest chunkRequest(uploadLocationURL());
    chunkRequest.setHTTPMethod("PUT");
    if (first) {
        chunkRequest.setAllowsCellularAccess(first->allowsCellularAccess());
        if (auto agent = first->valueForHTTPHeaderField("User-Agent"); agent && !agent->empty())
            chunkRequest.setValue(*agent, "User-Agent");
        chunkRequest.setTimeoutInterval(first->timeoutInterval());
    } else {
        QN_LOCKED;
        chunkRequest.setAllowsCellularAccess(u_->chunks.allowsCellularAccess);
    }
    chunkRequest.setValue("resumable", "X-Goog-Upload-Protocol");

    auto chunk = QNSessionFetcher::fetcherWithRequest(chunkRequest);
    chunk->setCallbackQueue(callbackQueue());
    chunk->setSessionUserInfo(sessionUserInfo());
    chunk->setConfigurationBlock(configurationBlock());
    chunk->setAllowedInsecureSchemes(allowedInsecureSchemes());
    chunk->setAllowLocalhostRequest(allowLocalhostRequest());
    chunk->setAllowInvalidServerCertificates(allowInvalidServerCertificates());
    chunk->setUseUploadTask(!isQueryFetch);
    bool background;
    {
        QN_LOCKED;
        background = !isQueryFetch && u_->chunks.useBackgroundSession && u_->source.fileURL;
    }
    // Its session identifier is made when it begins (beginChunkFetcher), once its body is known.
    if (background) chunk->setUseBackgroundSession(true);
    chunk->setProperties(properties);
    chunk->setParentUploadFetcher(shared_from_this());

    bool retry = isRetryEnabled();
    chunk->setRetryEnabled(retry);
    chunk->setMaxRetryInterval(maxRetryInterval());
    chunk->setMinRetryInterval(minRetryInterval());
    if (retry) {
        // The upload decides; a chunk is never resent as it is: a retry becomes an offset query.
        std::weak_ptr<QNSessionUploadFetcher> weak = selfUpload();
        chunk->setRetryBlock([weak, isQueryFetch](bool suggested, const std::optional<Error>& error, RetryResponse response) {
            auto self = weak.lock();
            if (!self) {
                response(false);
                return;
            }
            auto decided = [weak, isQueryFetch, response](bool willRetry) {
                if (auto s = weak.lock(); s && willRetry) {
                    std::lock_guard<std::recursive_mutex> lock(s->mutex_);
                    s->u_->chunks.shouldInitiateOffsetQuery = !isQueryFetch;
                }
                response(false);
            };
            if (auto own = self->retryBlock()) own(suggested, error, decided);
            else decided(suggested);
        });
    }
    return chunk;
}

int64_t QNSessionUploadFetcher::updateChunkFetcher(const std::shared_ptr<QNSessionFetcher>& chunk, int64_t offset) {
    int64_t length, total;
    std::string command;
    {
        QN_LOCKED;
        int64_t size = u_->chunks.size > 0 ? u_->chunks.size : std::numeric_limits<int64_t>::max();
        total = fullUploadLengthLocked();
        bool wholeFile = u_->source.fileURL && total >= 0 && size >= total && offset == 0;
        if (!wholeFile) size = std::min(size, kMaxChunkSize);
        if (int64_t granularity = u_->chunks.granularity; granularity > 0)
            size = size < granularity ? granularity : (size / granularity) * granularity;
        int64_t remaining = total - offset;
        if (total >= 0 && remaining - kMinTailLength < size) {
            length = std::max<int64_t>(remaining, 0);
            command = remaining > 0 ? "upload, finalize" : "finalize";
        } else {
            length = size;
            command = "upload";
        }
    }
    chunk->updateRequestValue(command, kCommand);
    chunk->updateRequestValue(std::to_string(length), "Content-Length");
    chunk->updateRequestValue(std::to_string(offset), "X-Goog-Upload-Offset");
    if (total >= 0) chunk->updateRequestValue(std::to_string(total), "X-Goog-Upload-Content-Length");
    std::string name = comment().empty() ? "upload" : comment();
    chunk->setComment(name + " (" + std::to_string(offset) + "-" + std::to_string(std::max<int64_t>(0, offset + length - 1)) + ")");
    return length;
}

void QNSessionUploadFetcher::uploadNextChunkWithOffset(int64_t offset) { uploadNextChunkWithOffset(offset, properties()); }

void QNSessionUploadFetcher::uploadNextChunkWithOffset(int64_t offset, const Properties& properties) {
    {
        // The offset named in the headers and the bytes sent come from one value: the offset
        // rounded down to the server's granularity.
        QN_LOCKED;
        if (u_->chunks.granularity > 0) offset -= offset % u_->chunks.granularity;
    }
    auto chunk = uploadFetcherWithProperties(properties, false);
    chunk->setSendProgressBlock(chunkProgressBlock());
    int64_t length = updateChunkFetcher(chunk, offset);

    std::optional<URL> fileURL;
    int64_t total;
    {
        QN_LOCKED;
        fileURL = u_->source.fileURL;
        total = fullUploadLengthLocked();
        // The whole file in one request: its body is the file itself.
        if (!(fileURL && total >= 0 && offset == 0 && length >= total)) u_->flight.subdataGenerating = true;
    }
    if (fileURL && total >= 0 && offset == 0 && length >= total) {
        chunk->setBodyFileURL(fileURL);
        beginChunkFetcher(chunk, offset);
        return;
    }
    auto self = selfUpload();
    generateChunkSubdata(offset, length, [self, chunk, offset, length](std::optional<Bytes> data, int64_t fullLength,
                                                                      std::optional<Error> error) mutable {
        platform::DispatchQueue::main()->async([self, chunk, offset, length, data = std::move(data), fullLength,
                                                error = std::move(error)]() mutable {
            std::optional<URL> fileURL;
            {
                std::lock_guard<std::recursive_mutex> lock(self->mutex_);
                self->u_->flight.subdataGenerating = false;
                // Paused or stopped while the bytes were produced: the chunk is not wanted.
                if (self->u_->flight.isPaused || self->s_->status.userStoppedFetching) return;
                fileURL = self->u_->source.fileURL;
                if (self->u_->source.dataProvider && fullLength > 0) {
                    if (self->u_->source.fileLength == -1) self->u_->source.fileLength = fullLength;
                }
            }
            if (fullLength > 0 && offset + length >= fullLength && self->uploadDataProvider()) {
                length = self->updateChunkFetcher(chunk, offset);
                if (length == 0) {
                    chunk->setBodyData(Bytes());
                    self->beginChunkFetcher(chunk, offset);
                    return;
                }
                if (data && int64_t(data->size()) > length) data->resize(size_t(length));
            }
            if (!data) {
                self->invokeFinalCallback(std::nullopt, error ? *error : chunkUnavailableError("chunkData is nil"), true);
                return;
            }
            if (fileURL) {
                // A file upload sends files (what a background session can carry).
                auto temp = platform::Paths::temporaryDirectory() /
                            (std::string(kChunkFilePrefix) + platform::UUID().uuidString());
                if (platform::writeFileAtomically(temp, std::string(data->begin(), data->end()))) {
                    rememberChunkFile(temp);
                    chunk->setBodyFileURL(URL::fileURLWithPath(temp));
                } else {
                    chunk->setBodyData(std::move(*data));
                }
            } else {
                chunk->setBodyData(std::move(*data));
            }
            self->beginChunkFetcher(chunk, offset);
        });
    });
}

void QNSessionUploadFetcher::generateChunkSubdata(int64_t offset, int64_t length, DataProviderResponse response) {
    DataProvider provider;
    std::shared_ptr<const Bytes> data;
    std::optional<URL> fileURL;
    std::shared_ptr<platform::FileHandle> handle;
    int64_t total;
    {
        QN_LOCKED;
        provider = u_->source.dataProvider;
        data = u_->source.data;
        fileURL = u_->source.fileURL;
        handle = u_->source.fileHandle;
        total = fullUploadLengthLocked();
    }
    if (provider) {
        provider(offset, length, std::move(response));
        return;
    }
    if (data) {
        int64_t size = int64_t(data->size());
        if (offset == 0 && length == size) {
            response(*data, -1, std::nullopt);
        } else if (offset < 0 || length < 0 || offset + length > size) {
            response(std::nullopt, -1, chunkUnavailableError(rangeInvalidText(offset, length, size, std::nullopt)));
        } else {
            response(Bytes(data->begin() + offset, data->begin() + offset + length), -1, std::nullopt);
        }
        return;
    }
    if (fileURL) {
        platform::DispatchQueue::global()->async([fileURL, offset, length, total, response] {
            auto file = platform::FileHandle::forReadingAtPath(fileURL->path());
            if (!file) {
                response(std::nullopt, -1, chunkUnavailableError("cannot open " + fileURL->path()));
                return;
            }
            int64_t size = int64_t(file->fileSize().value_or(0));
            if (offset + length > size) {
                response(std::nullopt, -1, chunkUnavailableError(rangeInvalidText(offset, length, size, total)));
                return;
            }
            auto bytes = readRange(*file, offset, length);
            if (!bytes) response(std::nullopt, -1, chunkUnavailableError("cannot read " + fileURL->path()));
            else response(std::move(bytes), -1, std::nullopt);
        });
        return;
    }
    if (handle) {
        platform::DispatchQueue::global()->async([handle, offset, length, response] {
            auto bytes = readRange(*handle, offset, length);
            if (!bytes) response(std::nullopt, -1, chunkUnavailableError("cannot read the upload file at " + std::to_string(offset)));
            else response(std::move(bytes), -1, std::nullopt);
        });
        return;
    }
    response(std::nullopt, -1, std::nullopt);
}

void QNSessionUploadFetcher::beginChunkFetcher(const std::shared_ptr<QNSessionFetcher>& chunk, int64_t offset) {
    // A chunk on a background session carries the upload's description, its chunk file among
    // it, so that a later process that takes the chunk over also removes that file.
    if (chunk->useBackgroundSession()) chunk->createSessionIdentifierWithMetadata(uploadSessionIdentifierMetadata());
    bool wanted;
    std::shared_ptr<QNSessionFetcher> replaced;
    {
        QN_LOCKED;
        // Paused or stopped meanwhile (a query answered after the pause, say): the chunk is
        // not sent, and its file goes.
        wanted = !u_->flight.isPaused && !s_->status.userStoppedFetching;
        if (wanted) {
            if (u_->flight.chunkFetcher != chunk) replaced = u_->flight.chunkFetcher;
            u_->chunks.currentOffset = offset;
        }
    }
    if (!wanted) {
        removeChunkFile(*chunk, uploadFileURL());
        return;
    }
    // A chunk begun while another is still held (two resumes, two queries, two chunks): the
    // older one is stopped and its file removed.
    if (replaced) destroyChunkFetcher();
    {
        QN_LOCKED;
        u_->flight.chunkFetcher = chunk;
        u_->flight.fetcherInFlight = chunk;
        u_->chunks.lastRequest = chunk->request();
    }
    auto self = selfUpload();
    std::weak_ptr<QNSessionFetcher> weakChunk = chunk;
    chunk->beginFetchWithCompletionHandler([self, weakChunk](const std::optional<Bytes>& data, const std::optional<Error>& error) {
        if (auto c = weakChunk.lock()) self->chunkFetcherFinished(c, data, error);
    });
}

void QNSessionUploadFetcher::chunkFetcherFinished(const std::shared_ptr<QNSessionFetcher>& chunk,
                                                  const std::optional<Bytes>& data, std::optional<Error> error) {
    clearFetcherInFlight(chunk.get());
    int64_t status = uploadStatusFromResponseHeaders(chunk->responseHeaders());
    bool stopped = status == kQNSessionUploadFetcherStatusFinal || status == kQNSessionUploadFetcherStatusCancelled;
    auto chunkRequest = chunk->request();
    bool isQuery = chunkRequest && chunkRequest->valueForHTTPHeaderField(kCommand) == std::string("query");
    int64_t chunkLength = 0;
    if (chunkRequest)
        if (auto text = chunkRequest->valueForHTTPHeaderField("Content-Length")) chunkLength = std::atoll(text->c_str());
    bool dataSent = chunkLength > 0 || stopped;
    int64_t total = fullUploadLength();
    int64_t current = currentOffset();

    if (!error && (isQuery || dataSent)) {
        if (!stopped && (current <= total || total <= 0)) {
            {
                // Only bytes beyond the furthest offset ever confirmed are progress.
                QN_LOCKED;
                if (current + chunkLength > u_->recovery.lastKnownOffset) {
                    u_->recovery.lastKnownOffset = current + chunkLength;
                    u_->recovery.failuresInARow = 0;
                }
            }
            Properties chunkProperties = chunk->properties();
            destroyChunkFetcher();
            uploadNextChunkWithOffset(current + chunkLength, chunkProperties);
            return;
        }
        std::optional<Bytes> finalData;
        std::optional<Error> finalError;
        if (status == kQNSessionUploadFetcherStatusCancelled) {
            finalError = prematureFailureError(data);
        } else {
            finalData = data;
            QN_LOCKED;
            u_->chunks.recentStatusCode = chunk->statusCode();
        }
        invokeFinalCallback(std::move(finalData), std::move(finalError), true);
        destroyChunkFetcher();
        return;
    }

    bool queryInstead;
    {
        QN_LOCKED;
        queryInstead = u_->chunks.shouldInitiateOffsetQuery;
        u_->chunks.shouldInitiateOffsetQuery = false;
    }
    if (!queryInstead && (isQuery || dataSent)) {
        // Only a client error on data the server still wants asks for a query; anything else
        // ends the upload, which keeps its URL so that the caller may resume it later.
        bool clientError = error && error->domain == QNSessionFetcherStatusDomain && error->code >= 400 &&
                           error->code <= 499 && error->code != 404;
        if (!(chunkLength > 0 && status == kQNSessionUploadFetcherStatusActive && clientError)) {
            invokeFinalCallback(data, error, false);
            destroyChunkFetcher();
            return;
        }
    }
    Properties chunkProperties = chunk->properties();
    destroyChunkFetcher();
    queryAfterFailure(chunkProperties, data, error);
}

void QNSessionUploadFetcher::queryAfterFailure(const Properties& properties, const std::optional<Bytes>& data,
                                               const std::optional<Error>& error) {
    double delay;
    uint64_t generation;
    {
        QN_LOCKED;
        int failures = ++u_->recovery.failuresInARow;
        if (failures > kQNUploadMaxFailuresInARow) {
            u_->recovery.failuresInARow = 0;
            delay = -1;
        } else {
            double cap = s_->retry.maxInterval > 0 ? s_->retry.maxInterval : 60.0;
            delay = std::min(cap, s_->retry.minInterval * std::pow(2.0, failures - 1));
        }
        generation = ++u_->recovery.queryGeneration;
        u_->recovery.queryScheduled = delay >= 0;
    }
    if (delay < 0) {
        invokeFinalCallback(data, error ? *error : prematureFailureError(data), false);
        return;
    }
    auto self = selfUpload();
    platform::DispatchQueue::main()->asyncAfter(delay, [self, generation, properties] {
        {
            std::lock_guard<std::recursive_mutex> lock(self->mutex_);
            if (generation != self->u_->recovery.queryGeneration || !self->u_->recovery.queryScheduled) return;
            self->u_->recovery.queryScheduled = false;
            if (self->u_->flight.isPaused || self->s_->status.userStoppedFetching) return;
        }
        self->sendQueryForUploadOffset(properties);
    });
}

void QNSessionUploadFetcher::sendQueryForUploadOffset(const Properties& properties) {
    auto query = uploadFetcherWithProperties(properties, true);
    query->setBodyData(Bytes());
    query->setComment((comment().empty() ? std::string("upload") : comment()) + " (query offset)");
    query->updateRequestValue("query", kCommand);
    setFetcherInFlight(query);
    auto self = selfUpload();
    std::weak_ptr<QNSessionFetcher> weakQuery = query;
    query->beginFetchWithCompletionHandler([self, weakQuery](const std::optional<Bytes>& data, const std::optional<Error>& error) {
        if (auto q = weakQuery.lock()) self->queryFetcherFinished(q, data, error);
    });
}

void QNSessionUploadFetcher::queryFetcherFinished(const std::shared_ptr<QNSessionFetcher>& query,
                                                  const std::optional<Bytes>& data, const std::optional<Error>& error) {
    clearFetcherInFlight(query.get());
    if (error) {
        chunkFetcherFinished(query, data, error);
        return;
    }
    auto headers = query->responseHeaders();
    int64_t status = uploadStatusFromResponseHeaders(headers);
    auto received = headerNumber(headers, "X-Goog-Upload-Size-Received");
    if (status == kQNSessionUploadFetcherStatusCancelled || (status == kQNSessionUploadFetcherStatusActive && !received)) {
        chunkFetcherFinished(query, data, prematureFailureError(data));
        return;
    }
    int64_t total = fullUploadLength();
    // An offset outside the upload is an answer no upload can go on from.
    if (received && (*received < 0 || (total >= 0 && *received > total))) {
        Error invalid(QNSessionFetcherErrorDomain, QNSessionFetcherErrorUploadOffsetInvalid);
        invalid.userInfo.set(Error::kLocalizedDescriptionKey,
                             Value("The server reports " + std::to_string(*received) + " bytes received of an upload of " +
                                   (total >= 0 ? std::to_string(total) : std::string("unknown length")) + " bytes."));
        destroyChunkFetcher();
        invokeFinalCallback(data, invalid, true);
        return;
    }
    // With everything received but not yet final, the upload finishes at that offset (an
    // empty "finalize"); it never starts over.
    if (status != kQNSessionUploadFetcherStatusFinal && received && *received >= 0 && (*received <= total || total < 0)) {
        {
            QN_LOCKED;
            u_->chunks.granularity = headerNumber(headers, "X-Goog-Upload-Chunk-Granularity").value_or(0);
            if (*received > u_->recovery.lastKnownOffset) {
                u_->recovery.lastKnownOffset = *received;
                u_->recovery.failuresInARow = 0;
            }
        }
        uploadNextChunkWithOffset(*received, query->properties());
        return;
    }
    chunkFetcherFinished(query, data, std::nullopt);
}

void QNSessionUploadFetcher::sendCancelUpload(const Properties& properties) {
    {
        QN_LOCKED;
        u_->flight.isCancelInFlight = true;
    }
    auto cancel = uploadFetcherWithProperties(properties, true);
    cancel->setBodyData(Bytes());
    cancel->setComment((comment().empty() ? std::string("upload") : comment()) + " (cancel)");
    cancel->updateRequestValue("cancel", kCommand);
    setFetcherInFlight(cancel);
    auto self = selfUpload();
    std::weak_ptr<QNSessionFetcher> weakCancel = cancel;
    cancel->beginFetchWithCompletionHandler([self, weakCancel](const std::optional<Bytes>& data, const std::optional<Error>& error) {
        auto c = weakCancel.lock();
        self->clearFetcherInFlight(c.get());
        self->triggerCancellationHandler(c, data, error);
        std::lock_guard<std::recursive_mutex> lock(self->mutex_);
        self->u_->flight.isCancelInFlight = false;
    });
}

void QNSessionUploadFetcher::destroyChunkFetcher() {
    std::shared_ptr<QNSessionFetcher> chunk;
    std::optional<URL> ownFile;
    {
        QN_LOCKED;
        chunk = std::move(u_->flight.chunkFetcher);
        u_->flight.chunkFetcher.reset();
        if (!chunk) return;
        if (u_->flight.fetcherInFlight == chunk) u_->flight.fetcherInFlight.reset();
        ownFile = u_->source.fileURL;
    }
    chunk->stopFetching();
    removeChunkFile(*chunk, ownFile);
    auto headers = chunk->responseHeaders();
    {
        QN_LOCKED;
        u_->chunks.recentResponseHeaders = headers;
    }
    chunk->setProperties({});
    chunk->setRetryBlock(nullptr);
    chunk->setSendProgressBlock(nullptr);
}

void QNSessionUploadFetcher::setFetcherInFlight(std::shared_ptr<QNSessionFetcher> fetcher) {
    QN_LOCKED;
    u_->flight.fetcherInFlight = std::move(fetcher);
}

void QNSessionUploadFetcher::clearFetcherInFlight(const QNSessionFetcher* fetcher) {
    QN_LOCKED;
    if (u_->flight.fetcherInFlight.get() == fetcher) u_->flight.fetcherInFlight.reset();
}

// --- the end ---

void QNSessionUploadFetcher::invokeFinalCallback(std::optional<Bytes> data, std::optional<Error> error,
                                                 bool shouldInvalidateLocation) {
    std::shared_ptr<platform::DispatchQueue> queue;
    CompletionHandler handler;
    {
        QN_LOCKED;
        if (shouldInvalidateLocation) u_->chunks.locationURL.reset();
        queue = u_->caller.callbackQueue;
        handler = u_->caller.completionHandler;
    }
    if (queue && handler) {
        invokeOnCallbackQueue(queue, false, [handler, data = std::move(data), error = std::move(error)]() mutable {
            handler(std::move(data), error);
        });
    }
    releaseUploadCallbacks(userStoppedFetching());
}

void QNSessionUploadFetcher::releaseUploadCallbacks(bool keepCancellationHandler) {
    {
        // The blocks are destroyed after the lock is left: what they hold may call the fetcher.
        Upload::Caller released;
        DataProvider provider;
        QN_LOCKED;
        std::swap(released, u_->caller);
        provider = std::move(u_->source.dataProvider);
        u_->source.dataProvider = nullptr;
        if (keepCancellationHandler) u_->caller.cancellationHandler = std::move(released.cancellationHandler);
    }
    releaseCallbacks();
}

QNSessionUploadFetcher::CancellationHandler QNSessionUploadFetcher::cancellationHandler() {
    QN_LOCKED;
    return u_->caller.cancellationHandler;
}

void QNSessionUploadFetcher::setCancellationHandler(CancellationHandler handler) {
    QN_LOCKED;
    u_->caller.cancellationHandler = std::move(handler);
}

bool QNSessionUploadFetcher::triggerCancellationHandler(const std::shared_ptr<QNSessionFetcher>& fetcher,
                                                        const std::optional<Bytes>& data, const std::optional<Error>& error) {
    CancellationHandler handler;
    {
        QN_LOCKED;
        handler = std::move(u_->caller.cancellationHandler);
        u_->caller.cancellationHandler = nullptr;
    }
    if (handler) handler(fetcher, data, error);
    return handler != nullptr;
}

// --- pause, resume, stop, wait ---

void QNSessionUploadFetcher::pauseFetching() {
    {
        QN_LOCKED;
        u_->flight.isPaused = true;
        u_->recovery.queryScheduled = false;
    }
    destroyChunkFetcher();
}

void QNSessionUploadFetcher::resumeFetching() {
    bool wasPaused;
    {
        QN_LOCKED;
        wasPaused = u_->flight.isPaused;
        u_->flight.isPaused = false;
    }
    if (wasPaused) sendQueryForUploadOffset(properties());
}

bool QNSessionUploadFetcher::isPaused() {
    QN_LOCKED;
    return u_->flight.isPaused;
}

void QNSessionUploadFetcher::stopFetching() {
    destroyChunkFetcher();
    std::optional<URL> location;
    bool cancelInFlight;
    std::shared_ptr<platform::DispatchQueue> queue;
    {
        QN_LOCKED;
        location = u_->chunks.locationURL;
        cancelInFlight = u_->flight.isCancelInFlight;
        u_->recovery.queryScheduled = false;
        queue = s_->callbacks.queue;
    }
    if (location) {
        sendCancelUpload(properties());
        QN_LOCKED;
        u_->chunks.locationURL.reset();
    } else if (!cancelInFlight) {
        auto self = selfUpload();
        invokeOnCallbackQueue(queue, true, [self] { self->triggerCancellationHandler(nullptr, std::nullopt, std::nullopt); });
    }
    QNSessionFetcher::stopFetching();
}

void QNSessionUploadFetcher::stopFetchReleasingCallbacks(bool shouldReleaseCallbacks) {
    {
        QN_LOCKED;
        u_->flight.selfInFlight = false;
    }
    QNSessionFetcher::stopFetchReleasingCallbacks(shouldReleaseCallbacks);
    if (shouldReleaseCallbacks) releaseUploadCallbacks(true);
}

bool QNSessionUploadFetcher::isFetching() {
    {
        QN_LOCKED;
        const auto& flight = u_->flight;
        if (flight.fetcherInFlight || flight.selfInFlight || flight.subdataGenerating || u_->recovery.queryScheduled) {
            return true;
        }
    }
    return QNSessionFetcher::isFetching();
}

bool QNSessionUploadFetcher::waitForCompletionWithTimeout(platform::TimeInterval timeoutInSeconds) {
    double giveUp = platform::Clock::current()->monotonic() + timeoutInSeconds;
    while (true) {
        std::shared_ptr<QNSessionFetcher> inFlight;
        bool self, busy;
        {
            QN_LOCKED;
            inFlight = u_->flight.fetcherInFlight;
            self = u_->flight.selfInFlight;
            busy = u_->flight.subdataGenerating || u_->recovery.queryScheduled;
        }
        if (!inFlight && !self && !busy) return true;
        double left = giveUp - platform::Clock::current()->monotonic();
        if (left <= 0) return false;
        if (self) {
            if (!QNSessionFetcher::waitForCompletionWithTimeout(left)) return false;
            QN_LOCKED;
            u_->flight.selfInFlight = false;
        } else if (inFlight) {
            if (!inFlight->waitForCompletionWithTimeout(left)) return false;
        } else if (platform::RunLoop::isMainThread()) {
            platform::RunLoop::main()->runUntil([] { return false; }, 0.001);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

// --- state ---

std::optional<URL> QNSessionUploadFetcher::uploadLocationURL() {
    QN_LOCKED;
    return u_->chunks.locationURL;
}

void QNSessionUploadFetcher::setUploadLocationURL(std::optional<URL> url) {
    QN_LOCKED;
    u_->chunks.locationURL = std::move(url);
}

int64_t QNSessionUploadFetcher::currentOffset() {
    QN_LOCKED;
    return u_->chunks.currentOffset;
}

std::shared_ptr<QNSessionFetcher> QNSessionUploadFetcher::chunkFetcher() {
    QN_LOCKED;
    return u_->flight.chunkFetcher;
}

std::shared_ptr<QNSessionFetcher> QNSessionUploadFetcher::activeFetcher() {
    QN_LOCKED;
    if (u_->flight.fetcherInFlight) return u_->flight.fetcherInFlight;
    return shared_from_this();
}

std::optional<URLRequest> QNSessionUploadFetcher::lastChunkRequest() {
    QN_LOCKED;
    return u_->chunks.lastRequest;
}

int64_t QNSessionUploadFetcher::statusCodeUnsynchronized() {
    if (u_->chunks.recentStatusCode != -1) return u_->chunks.recentStatusCode;
    return QNSessionFetcher::statusCodeUnsynchronized();
}

std::optional<HTTPHeaders> QNSessionUploadFetcher::responseHeaders() {
    std::shared_ptr<QNSessionFetcher> chunk;
    {
        QN_LOCKED;
        chunk = u_->flight.chunkFetcher;
        if (!chunk && u_->chunks.recentResponseHeaders) return u_->chunks.recentResponseHeaders;
    }
    if (chunk) return chunk->responseHeaders();
    return QNSessionFetcher::responseHeaders();
}

std::shared_ptr<platform::DispatchQueue> QNSessionUploadFetcher::delegateCallbackQueue() {
    QN_LOCKED;
    return u_->caller.callbackQueue;
}

void QNSessionUploadFetcher::setDelegateCallbackQueue(std::shared_ptr<platform::DispatchQueue> queue) {
    QN_LOCKED;
    u_->caller.callbackQueue = std::move(queue);
}

QNSessionFetcher::CompletionHandler QNSessionUploadFetcher::delegateCompletionHandler() {
    QN_LOCKED;
    return u_->caller.completionHandler;
}

bool QNSessionUploadFetcher::isRestartedUpload() {
    QN_LOCKED;
    return u_->chunks.isRestartedUpload;
}

// --- progress ---

void QNSessionUploadFetcher::didSendBodyData(const std::shared_ptr<platform::URLSession>&,
                                             const std::shared_ptr<platform::URLSessionTask>& task, int64_t bytesSent,
                                             int64_t totalBytesSent, int64_t totalBytesExpectedToSend) {
    if (!recordSessionTask(task)) return;
    invokeDelegateWithDidSendBytes(bytesSent, totalBytesSent, totalBytesExpectedToSend + fullUploadLength(), nullptr);
}

QNSessionFetcher::SendProgressBlock QNSessionUploadFetcher::chunkProgressBlock() {
    std::weak_ptr<QNSessionUploadFetcher> weak = selfUpload();
    return [weak](int64_t bytesSent, int64_t totalBytesSent, int64_t) {
        auto self = weak.lock();
        if (!self) return;
        int64_t sentBefore, expected;
        std::shared_ptr<QNSessionFetcher> chunk;
        {
            std::lock_guard<std::recursive_mutex> lock(self->mutex_);
            sentBefore = self->u_->chunks.initialBodySent + self->u_->chunks.currentOffset;
            expected = self->fullUploadLengthLocked() + self->u_->chunks.initialBodyLength;
            chunk = self->u_->flight.chunkFetcher;
        }
        self->invokeDelegateWithDidSendBytes(bytesSent, totalBytesSent + sentBefore, expected, chunk);
    };
}

void QNSessionUploadFetcher::invokeDelegateWithDidSendBytes(int64_t bytesSent, int64_t totalBytesSent,
                                                            int64_t totalBytesExpectedToSend,
                                                            const std::shared_ptr<QNSessionFetcher>& keepAlive) {
    auto block = sendProgressBlock();
    auto queue = delegateCallbackQueue();
    if (!block || !queue) return;
    invokeOnCallbackQueue(queue, false, [block, keepAlive, bytesSent, totalBytesSent, totalBytesExpectedToSend] {
        block(bytesSent, totalBytesSent, totalBytesExpectedToSend);
    });
}

// --- background sessions ---

bool QNSessionUploadFetcher::useBackgroundSession() {
    QN_LOCKED;
    return u_->chunks.useBackgroundSession;
}

void QNSessionUploadFetcher::setUseBackgroundSession(bool flag) {
    QN_LOCKED;
    if (u_->chunks.useBackgroundSession == flag) return;
    u_->chunks.useBackgroundSession = flag;
    std::lock_guard listLock(gBackgroundMutex);
    auto& list = backgroundUploads();
    if (flag) {
        list.push_back(selfUpload());
    } else {
        auto it = std::find_if(list.begin(), list.end(), [this](const auto& w) { return w.lock().get() == this; });
        if (it != list.end()) list.erase(it);
    }
}

Value QNSessionUploadFetcher::uploadSessionIdentifierMetadata() {
    QN_LOCKED;
    Value metadata = Value::dictionary();
    metadata.set("_upChunk", true);
    if (u_->source.fileURL) metadata.set("_upFileURL", u_->source.fileURL->absoluteString());
    metadata.set("_upFileLen", fullUploadLengthLocked());
    if (u_->chunks.locationURL) metadata.set("_upLocURL", u_->chunks.locationURL->absoluteString());
    if (u_->source.MIMEType) metadata.set("_uploadMIME", *u_->source.MIMEType);
    metadata.set("_upChSize", u_->chunks.size);
    metadata.set("_upOffset", u_->chunks.currentOffset);
    bool cellular = s_->req.request ? s_->req.request->allowsCellularAccess() : u_->chunks.allowsCellularAccess;
    metadata.set("_upAllowsCellularAccess", cellular);
    return metadata;
}

std::shared_ptr<QNSessionUploadFetcher> QNSessionUploadFetcher::uploadFetcherForSessionIdentifierMetadata(
    const Value& metadata) {
    if (!metadata.isDictionary()) return nullptr;
    const Value& length = metadata["_upFileLen"];
    auto fileURLText = metadata["_upFileURL"].stringValue();
    if (!length.isInt() || !fileURLText) return nullptr;
    auto fileURL = URL::URLWithString(*fileURLText);
    if (!fileURL) return nullptr;
    std::optional<URL> location;
    if (auto text = metadata["_upLocURL"].stringValue()) location = URL::URLWithString(*text);
    int64_t chunkSize = metadata["_upChSize"].isInt() ? metadata["_upChSize"].asInt() : 0;
    if (chunkSize <= 0) chunkSize = std::numeric_limits<int64_t>::max();
    int64_t offset = metadata["_upOffset"].isInt() ? metadata["_upOffset"].asInt() : 0;
    const Value& cellular = metadata["_upAllowsCellularAccess"];
    bool allowsCellular = cellular.isBool() ? cellular.asBool() : true;
    if (offset > length.asInt()) return nullptr;

    auto fetcher = uploadFetcherWithLocation(location, metadata["_uploadMIME"].stringValue().value_or(""), chunkSize,
                                             allowsCellular, nullptr);
    fetcher->setUploadFileLength(length.asInt());
    fetcher->setUploadFileURL(fileURL);
    fetcher->setSessionUserInfo(metadata);
    fetcher->setUseBackgroundSession(true);
    {
        std::lock_guard<std::recursive_mutex> lock(fetcher->mutex_);
        fetcher->u_->chunks.currentOffset = offset;
        fetcher->u_->caller.callbackQueue = fetcher->s_->callbacks.queue;
    }
    fetcher->setAllowedInsecureSchemes({"http"});
    return fetcher;
}

std::vector<std::shared_ptr<QNSessionUploadFetcher>> QNSessionUploadFetcher::uploadFetchersForBackgroundSessions() {
    std::vector<std::shared_ptr<QNSessionUploadFetcher>> result;
    std::vector<std::string> liveIdentifiers;
    {
        std::lock_guard listLock(gBackgroundMutex);
        auto& list = backgroundUploads();
        list.erase(std::remove_if(list.begin(), list.end(), [](const auto& w) { return w.expired(); }), list.end());
        for (const auto& weak : list) {
            auto upload = weak.lock();
            auto chunk = upload ? upload->chunkFetcher() : nullptr;
            auto identifier = chunk ? chunk->sessionIdentifier() : std::nullopt;
            if (!identifier) continue;
            liveIdentifiers.push_back(*identifier);
            result.push_back(upload);
        }
    }
    for (const auto& restored : fetchersForBackgroundSessions()) {
        auto identifier = restored->sessionIdentifier();
        if (!identifier || std::find(liveIdentifiers.begin(), liveIdentifiers.end(), *identifier) != liveIdentifiers.end())
            continue;
        auto metadata = restored->sessionIdentifierMetadata();
        if (!metadata || !(*metadata)["_upChunk"].isBool() || !(*metadata)["_upChunk"].asBool()) continue;
        auto upload = uploadFetcherForSessionIdentifierMetadata(*metadata);
        if (!upload) {
            restored->stopFetching();
            removeChunkFile(*restored, std::nullopt);
            continue;
        }
        result.push_back(upload);
        // The restored fetch completes into the upload's chunk completion: with its task gone
        // (transfers do not outlive the process here) that completion queries the server's
        // offset and the upload goes on from there.
        {
            std::lock_guard<std::recursive_mutex> lock(upload->mutex_);
            upload->u_->flight.chunkFetcher = restored;
            upload->u_->flight.fetcherInFlight = restored;
        }
        restored->setSendProgressBlock(upload->chunkProgressBlock());
        std::weak_ptr<QNSessionFetcher> weakRestored = restored;
        restored->setCompletionHandler([upload, weakRestored](const std::optional<Bytes>& data, const std::optional<Error>& error) {
            if (auto r = weakRestored.lock()) upload->chunkFetcherFinished(r, data, error);
        });
    }
    return result;
}

std::shared_ptr<QNSessionUploadFetcher> QNSessionUploadFetcher::uploadFetcherForSessionIdentifier(const std::string& identifier) {
    for (const auto& upload : uploadFetchersForBackgroundSessions()) {
        auto chunk = upload->chunkFetcher();
        if (chunk && chunk->sessionIdentifier() == identifier) return upload;
    }
    return nullptr;
}

}  // namespace quorvane
