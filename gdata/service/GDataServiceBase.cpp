#include "gdata/service/GDataServiceBase.h"

#include "fetcher/QNSessionUploadFetcher.h"

#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <vector>

#include "gdata/GDataEntryBase.h"
#include "gdata/GDataFeedBase.h"
#include "gdata/GDataLink.h"
#include "gdata/GDataNamespaces.h"
#include "gdata/GDataXMLDocument.h"
#include "gdata/service/GDataFeedBounds.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"

namespace quorvane {

using platform::addressText;
using platform::Bytes;
using platform::Error;
using platform::URL;
using platform::URLRequest;
using platform::Value;

namespace {

constexpr int kMajorVersion = 1;
constexpr int kMinorVersion = 12;
constexpr int kReleaseVersion = 0;

// The name the library goes by in the user agent.
constexpr const char* kLibraryName = "GData-Cxx";

// The password is kept XOR-ed with this byte while stored.
constexpr uint8_t kPasswordMask = 0x9B;

// The standard upload chunk size, asked for with the largest value.
constexpr uint64_t kStandardUploadChunkSize = 26214400;

// A next-link chain is followed for at most this many pages after the first.
constexpr uint64_t kMaxNextLinksFollowed = 25;

constexpr const char* kAtomContentType = "application/atom+xml; charset=utf-8";
constexpr const char* kXMLContentType = "application/xml; charset=utf-8";

bool isEmpty(const std::optional<std::string>& s) { return !s || s->empty(); }

std::mutex gFeedBoundsMutex;
GDataFeedBounds gFeedBounds;
// The bytes of the pages of each call that follows next links, until the call reports.
std::vector<std::pair<std::weak_ptr<GDataServiceTicketBase>, uint64_t>> gFeedBytes;

uint64_t addFeedBytes(const GDataServiceTicketPtr& ticket, uint64_t bytes) {
    std::lock_guard lock(gFeedBoundsMutex);
    std::erase_if(gFeedBytes, [](const auto& kept) { return kept.first.expired(); });
    for (auto& [kept, total] : gFeedBytes)
        if (kept.lock() == ticket) return total += bytes;
    gFeedBytes.emplace_back(ticket, bytes);
    return bytes;
}

void forgetFeedBytes(const GDataServiceTicketPtr& ticket) {
    std::lock_guard lock(gFeedBoundsMutex);
    std::erase_if(gFeedBytes, [&](const auto& kept) { return kept.first.expired() || kept.first.lock() == ticket; });
}

Error feedTooLarge(const std::string& bound) {
    return Error::withDescription(kGDataServiceErrorDomain, kGDataServiceErrorFeedTooLarge,
                                  "The provider's list is larger than a download may be (more than " + bound + ").");
}

std::optional<std::string> ETagOfObject(const GDataObjectPtr& object) {
    if (auto entry = std::dynamic_pointer_cast<GDataEntryBase>(object)) return entry->ETag();
    if (auto feed = std::dynamic_pointer_cast<GDataFeedBase>(object)) return feed->ETag();
    return std::nullopt;
}

}  // namespace

GDataFeedBounds gdataFeedBounds() {
    std::lock_guard lock(gFeedBoundsMutex);
    return gFeedBounds;
}

void setGDataFeedBounds(GDataFeedBounds bounds) {
    std::lock_guard lock(gFeedBoundsMutex);
    gFeedBounds = bounds;
}

void GDataFrameworkVersion(int* major, int* minor, int* release) {
    if (major) *major = kMajorVersion;
    if (minor) *minor = kMinorVersion;
    if (release) *release = kReleaseVersion;
}

std::string GDataFrameworkVersionString() {
    return std::to_string(kMajorVersion) + "." + std::to_string(kMinorVersion);
}

// --- making ---

GDataServiceBase::~GDataServiceBase() = default;

void GDataServiceBase::init() {
    operationQueue_ = platform::OperationQueue::make("com.quorvane.GDataService.parse");
    fetcherService_ = QNSessionFetcherService::make();
    cookieStorageMethod_ = -1;
    setServiceUploadChunkSize(defaultServiceUploadChunkSize());
}

std::string GDataServiceBase::description() const { return std::string(className()) + " " + addressText(this); }

GDataServiceTicketPtr GDataServiceBase::makeTicket() {
    return GDataServiceTicketBase::ticketForService(shared_from_this());
}

std::string GDataServiceBase::systemVersionString() { return QNSessionSystemVersionString(); }

QNSessionBundle GDataServiceBase::owningBundle() {
    // Every service class is linked into the application itself.
    return QNSessionBundle::mainBundle();
}

std::string GDataServiceBase::defaultApplicationIdentifier() {
    auto bundle = owningBundle();
    return QNSessionApplicationIdentifier(&bundle);
}

// --- settings ---

std::optional<std::string> GDataServiceBase::serviceVersion() const {
    if (serviceVersion_) return serviceVersion_;
    return defaultServiceVersion();
}

void GDataServiceBase::setUserAgent(const std::optional<std::string>& userAgent) {
    userAgent_ = QNSessionCleanedUserAgentToken(userAgent);
}

std::shared_ptr<QNFetcherAuthorizationProtocol> GDataServiceBase::authorizer() const {
    return fetcherService_ ? fetcherService_->authorizer() : nullptr;
}

void GDataServiceBase::setAuthorizer(std::shared_ptr<QNFetcherAuthorizationProtocol> authorizer) {
    if (authorizer) setUserCredentialsWithUsername(std::nullopt, std::nullopt);
    if (fetcherService_ && authorizer != fetcherService_->authorizer()) fetcherService_->setAuthorizer(authorizer);
}

void GDataServiceBase::setUserCredentialsWithUsername(std::optional<std::string> username,
                                                      std::optional<std::string> password) {
    username_ = std::move(username);
    if (!password) {
        maskedPassword_.reset();
        return;
    }
    Bytes masked(password->begin(), password->end());
    for (auto& b : masked) b ^= kPasswordMask;
    maskedPassword_ = std::move(masked);
}

std::optional<std::string> GDataServiceBase::password() const {
    if (!maskedPassword_) return std::nullopt;
    std::string clear(maskedPassword_->size(), '\0');
    for (size_t i = 0; i < clear.size(); ++i) clear[i] = static_cast<char>((*maskedPassword_)[i] ^ kPasswordMask);
    return clear;
}

void GDataServiceBase::setServiceProperty(const std::string& key, std::any value) {
    if (!value.has_value()) {
        if (serviceProperties_) serviceProperties_->erase(key);
        return;
    }
    if (!serviceProperties_) serviceProperties_.emplace();
    (*serviceProperties_)[key] = std::move(value);
}

std::any GDataServiceBase::servicePropertyForKey(const std::string& key) const {
    if (!serviceProperties_) return {};
    auto it = serviceProperties_->find(key);
    return it == serviceProperties_->end() ? std::any() : it->second;
}

void GDataServiceBase::setServiceUploadChunkSize(uint64_t size) {
    // Every platform this runs on takes the large standard chunk.
    uploadChunkSize_ = size == std::numeric_limits<uint64_t>::max() ? kStandardUploadChunkSize : size;
}

// --- requests ---

std::string GDataServiceBase::requestUserAgent() const {
    std::string agent = userAgent_.value_or("");
    if (agent.empty() || agent.rfind("MyCompany-", 0) == 0) agent = defaultApplicationIdentifier();
    if (platform::asciiLower(agent).find(platform::asciiLower(kLibraryName)) != std::string::npos) return agent;
    return agent + " " + kLibraryName + "/" + GDataFrameworkVersionString() + " " + systemVersionString() +
           " (gzip)";
}

URLRequest GDataServiceBase::requestForURL(const URL& url, const std::optional<std::string>& ETag,
                                           const std::optional<std::string>& httpMethod,
                                           const GDataServiceTicketPtr& ticket) {
    URLRequest request(url, URLRequest::CachePolicy::ReloadIgnoringLocalCacheData, 60.0);
    request.setValue(requestUserAgent(), "User-Agent");

    auto version = serviceVersion();
    if (!isEmpty(version)) {
        const auto& query = url.query();
        bool versionInURL = query && (query->find("&v=") != std::string::npos || query->rfind("v=", 0) == 0);
        if (!versionInURL) request.setValue(*version, "GData-Version");
    }

    if (!isEmpty(httpMethod)) request.setHTTPMethod(*httpMethod);

    if (!isEmpty(ETag)) {
        std::string method = httpMethod.value_or("");
        if (method.empty() || platform::equalsIgnoringCase(method, "GET")) {
            request.setValue(*ETag, "If-None-Match");
        } else if ((platform::equalsIgnoringCase(method, "PUT") || platform::equalsIgnoringCase(method, "DELETE") ||
                    platform::equalsIgnoringCase(method, "PATCH")) &&
                   ETag->rfind("W/", 0) != 0) {
            request.setValue(*ETag, "If-Match");
        }
    }
    return request;
}

URLRequest GDataServiceBase::objectRequestForURL(const URL& url, const GDataObjectPtr& object,
                                                 const std::optional<std::string>& ETag,
                                                 const std::optional<std::string>& httpMethod,
                                                 const GDataServiceTicketPtr& ticket) {
    std::optional<std::string> etag = ETag;
    if (object && !etag) etag = ETagOfObject(object);
    const char* contentType = kAtomContentType;
    if (object && httpMethod && platform::equalsIgnoringCase(*httpMethod, "PATCH")) contentType = kXMLContentType;

    URLRequest request = requestForURL(url, etag, httpMethod, ticket);
    request.setValue("application/atom+xml, text/xml", "Accept");
    request.setValue(std::string(contentType), "Content-Type");
    request.setValue("no-cache", "Cache-Control");
    return request;
}

// --- the fetch path ---

GDataServiceTicketPtr GDataServiceBase::fetchObjectWithURL(
    const std::optional<URL>& url, const GDataClassInfo* objectClass, const GDataObjectPtr& objectToPost,
    const std::optional<std::string>& ETag, const std::optional<std::string>& httpMethod,
    const GDataServiceDelegate& delegate, const GDataServiceCompletionHandler& completionHandler,
    const GDataServiceRetryInvocation& retryInvocation, GDataServiceTicketPtr ticket) {
    auto entryToPost = std::dynamic_pointer_cast<GDataEntryBase>(objectToPost);
    std::optional<std::string> uploadLocation = entryToPost ? entryToPost->uploadLocationURL() : std::nullopt;

    // 1. Nothing to send to.
    if (!url && !uploadLocation) return nullptr;

    // 2. The ticket.
    if (!ticket) ticket = makeTicket();

    // 3. The request (none without a URL: the fetcher then fails to begin).
    URLRequest request;
    if (url) request = objectRequestForURL(*url, objectToPost, ETag, httpMethod, ticket);

    std::shared_ptr<const Bytes> bodyData;
    std::shared_ptr<platform::InputStream> bodyStream;
    bool progressWanted = false;
    bool isUploadFetcher = false;

    if (objectToPost) {
        // 5. What kind of upload this is.
        ticket->setPostedObject(objectToPost);
        bool hasMedia = entryToPost && (entryToPost->uploadData() || entryToPost->uploadFileHandle());
        isUploadFetcher = hasMedia && uploadChunkSize_ != 0;
        bool mediaOnly = isUploadFetcher && (uploadLocation || entryToPost->shouldUploadDataOnly());
        progressWanted = ticket->uploadProgressSelector() || ticket->uploadProgressHandler();

        // 6. Body and headers.
        GDataHeaderList headers;
        uint64_t length = 0;
        std::shared_ptr<platform::InputStream> stream;
        if (mediaOnly) {
            // The media goes in chunks; the first request carries its headers and no body.
            headers = entryToPost->contentHeaders();
        } else if (!isUploadFetcher && objectToPost->generateContentInputStream(stream, length, headers)) {
            bodyStream = std::move(stream);
        } else {
            Bytes xml;
            if (auto doc = objectToPost->XMLDocument())
                if (auto data = doc->XMLData()) xml = std::move(*data);
            if (xml.empty()) {
                // Never a body that is not the object: the call fails without sending anything.
                Error error(kGDataServiceErrorDomain, kGDataServiceErrorObjectNotWritable);
                error.userInfo.set(Error::kLocalizedDescriptionKey,
                                   std::string("It holds text that cannot be sent as XML (not UTF-8, or a "
                                               "character XML does not allow)"));
                reportFailureLater(ticket, delegate, completionHandler, std::move(error));
                return ticket;
            }
            length = xml.size();
            bodyData = std::make_shared<const Bytes>(std::move(xml));
            if (entryToPost && !isEmpty(entryToPost->uploadSlug())) headers.emplace_back("Slug", *entryToPost->uploadSlug());
        }
        // 7. The body's own headers replace the defaults.
        if (url) {
            for (const auto& [name, value] : headers) request.setValue(value, name);
            request.setValue(std::to_string(length), "Content-Length");
        }
    }

    // 4, 8. The fetcher: the resumable upload fetcher for media in chunks.
    std::shared_ptr<QNSessionFetcher> fetcher;
    if (isUploadFetcher) {
        int64_t chunkSize = int64_t(std::max<uint64_t>(uploadChunkSize_, 50000));
        std::string mimeType = entryToPost->uploadMIMEType().value_or("");
        std::shared_ptr<QNSessionUploadFetcher> upload;
        if (uploadLocation) {
            upload = QNSessionUploadFetcher::uploadFetcherWithLocation(URL::URLWithString(*uploadLocation), mimeType,
                                                                       chunkSize, fetcherService_);
        } else {
            upload = QNSessionUploadFetcher::uploadFetcherWithRequest(request, mimeType, chunkSize, fetcherService_);
        }
        // A resumed upload needs its media too, from memory as well as from a file.
        if (entryToPost->uploadData()) upload->setUploadData(*entryToPost->uploadData());
        else upload->setUploadFileHandle(entryToPost->uploadFileHandle());
        fetcher = upload;
    } else {
        fetcher = fetcherService_->fetcherWithRequest(request);
    }
    auto self = shared_from_this();

    // 9. Its settings.
    if (cookieStorageMethod_ >= 0) fetcher->setCookieStorageMethod(cookieStorageMethod_);
    fetcher->setRetryEnabled(ticket->isRetryEnabled());
    fetcher->setMaxRetryInterval(ticket->maxRetryInterval());
    if (ticket->retrySelector()) {
        std::weak_ptr<GDataServiceBase> weakSelf = self;
        std::weak_ptr<QNSessionFetcher> weakFetcher = fetcher;
        fetcher->setRetryBlock([weakSelf, weakFetcher](bool suggestedWillRetry, const std::optional<Error>& error,
                                                       QNSessionFetcher::RetryResponse response) {
            auto service = weakSelf.lock();
            auto f = weakFetcher.lock();
            bool answer = suggestedWillRetry;
            if (service && f) answer = service->objectFetcherWillRetry(f, suggestedWillRetry, error);
            if (response) response(answer);
        });
    }
    ticket->setObjectFetcher(fetcher);
    ticket->setCurrentFetcher(fetcher);

    GDataFetchContext context;
    context.fetcher = fetcher;
    context.objectClass = objectClass;
    context.delegate = delegate;
    context.completionHandler = completionHandler;
    context.retryInvocation = retryInvocation;
    ticket->setFetchContext(std::move(context));
    setGDataTicket(fetcher, ticket);

    if (bodyData) {
        fetcher->setBodyData(bodyData);
    } else if (bodyStream) {
        fetcher->setBodyStreamProvider(
            [bodyStream](std::function<void(std::shared_ptr<platform::InputStream>)> completion) {
                if (completion) completion(bodyStream);
            });
    }
    if (objectToPost && progressWanted) fetcher->setSendProgressBlock(sendProgressBlockForFetcher(fetcher));
    fetcher->setAuthorizer(ticket->authorizer());
    addAuthenticationToFetcher(fetcher);
    if (!delegate.finishedSelectorName.empty()) fetcher->setComment(delegate.finishedSelectorName);

    // 10. Begin. The ticket on the fetcher keeps the service alive while the call
    // runs, so the fetcher holds the service weakly: the service is never let go of on whatever
    // thread the fetcher happens to drop its callbacks.
    std::weak_ptr<GDataServiceBase> weakSelf = self;
    fetcher->beginFetchWithDelegate([weakSelf](const std::shared_ptr<QNSessionFetcher>& f, std::optional<Bytes>&& data,
                                               const std::optional<Error>& error) {
        if (auto service = weakSelf.lock()) service->objectFetcherFinished(f, std::move(data), error);
    });

    // 11. A failure reported while beginning has already ended the call.
    if (ticket->hasCalledCallback()) {
        releaseGDataFetcher(fetcher);
        ticket->setCurrentFetcher(nullptr);
        return nullptr;
    }
    return ticket;
}

QNSessionFetcher::SendProgressBlock GDataServiceBase::sendProgressBlockForFetcher(
    const std::shared_ptr<QNSessionFetcher>& fetcher) {
    std::weak_ptr<GDataServiceBase> weakSelf = shared_from_this();
    std::weak_ptr<QNSessionFetcher> weakFetcher = fetcher;
    return [weakSelf, weakFetcher](int64_t bytesSent, int64_t totalBytesSent, int64_t totalBytesExpectedToSend) {
        auto service = weakSelf.lock();
        auto f = weakFetcher.lock();
        if (service && f) service->objectFetcherDidSendBytes(f, bytesSent, totalBytesSent, totalBytesExpectedToSend);
    };
}

void GDataServiceBase::reportFailureLater(const GDataServiceTicketPtr& ticket, const GDataServiceDelegate& delegate,
                                          const GDataServiceCompletionHandler& completionHandler, Error error) {
    auto queue = fetcherService_ ? fetcherService_->callbackQueue() : platform::DispatchQueue::main();
    if (!queue) queue = platform::DispatchQueue::main();
    queue->async([ticket, delegate, completionHandler, error = std::move(error)]() {
        // A cancelled ticket has let go of its service and reports nothing.
        if (!ticket->service() || ticket->hasCalledCallback()) return;
        ticket->setFetchError(error);
        invokeCallback(delegate, ticket, nullptr, error);
        if (completionHandler) completionHandler(ticket, nullptr, error);
        ticket->setHasCalledCallback(true);
        ticket->setCurrentFetcher(nullptr);
    });
}

// --- public fetches ---

GDataServiceTicketPtr GDataServiceBase::fetchPublicFeedWithURL(const URL& feedURL, const GDataClassInfo& feedClass,
                                                               const GDataServiceDelegate& delegate) {
    return fetchObjectWithURL(feedURL, &feedClass, nullptr, std::nullopt, std::nullopt, delegate, nullptr, nullptr,
                              nullptr);
}

GDataServiceTicketPtr GDataServiceBase::fetchPublicFeedWithURL(const URL& feedURL, const GDataClassInfo& feedClass,
                                                               const GDataServiceCompletionHandler& handler) {
    return fetchObjectWithURL(feedURL, &feedClass, nullptr, std::nullopt, std::nullopt, GDataServiceDelegate(),
                              handler, nullptr, nullptr);
}

GDataServiceTicketPtr GDataServiceBase::fetchPublicEntryWithURL(const URL& entryURL, const GDataClassInfo& entryClass,
                                                                const GDataServiceDelegate& delegate) {
    return fetchObjectWithURL(entryURL, &entryClass, nullptr, std::nullopt, std::nullopt, delegate, nullptr, nullptr,
                              nullptr);
}

GDataServiceTicketPtr GDataServiceBase::fetchPublicEntryWithURL(const URL& entryURL, const GDataClassInfo& entryClass,
                                                                const GDataServiceCompletionHandler& handler) {
    return fetchObjectWithURL(entryURL, &entryClass, nullptr, std::nullopt, std::nullopt, GDataServiceDelegate(),
                              handler, nullptr, nullptr);
}

GDataServiceTicketPtr GDataServiceBase::fetchPublicFeedWithQuery(const GDataQuery& query,
                                                                 const GDataClassInfo& feedClass,
                                                                 const GDataServiceDelegate& delegate) {
    return fetchObjectWithURL(query.URL(), &feedClass, nullptr, std::nullopt, std::nullopt, delegate, nullptr,
                              nullptr, nullptr);
}

GDataServiceTicketPtr GDataServiceBase::fetchPublicFeedWithQuery(const GDataQuery& query,
                                                                 const GDataClassInfo& feedClass,
                                                                 const GDataServiceCompletionHandler& handler) {
    return fetchObjectWithURL(query.URL(), &feedClass, nullptr, std::nullopt, std::nullopt, GDataServiceDelegate(),
                              handler, nullptr, nullptr);
}

namespace {

bool declaresPrefix(const GDataObject& object, std::string_view prefix) {
    for (const auto& [p, uri] : object.namespaces())
        if (p == prefix) return true;
    return false;
}

}  // namespace

void GDataServiceBase::addBatchNamespacesIfMissing(GDataFeedBase& feed) {
    if (!declaresPrefix(feed, kGDataNamespaceGDataPrefix)) feed.addNamespaces(GDataEntryBase::baseGDataNamespaces());
    if (!declaresPrefix(feed, kGDataNamespaceBatchPrefix)) feed.addNamespaces(GDataEntryBase::batchNamespaces());
}

GDataServiceTicketPtr GDataServiceBase::fetchPublicFeedWithBatchFeed(const std::shared_ptr<GDataFeedBase>& batchFeed,
                                                                     const URL& feedURL,
                                                                     const GDataServiceDelegate& delegate,
                                                                     const GDataServiceCompletionHandler& handler) {
    if (!batchFeed) return nullptr;
    addBatchNamespacesIfMissing(*batchFeed);
    auto ticket = fetchObjectWithURL(feedURL, &batchFeed->classInfo(), batchFeed, std::nullopt, std::nullopt, delegate,
                                     handler, nullptr, nullptr);
    if (ticket) ticket->setShouldFeedsIgnoreUnknowns(false);
    return ticket;
}

void GDataServiceBase::addAuthenticationToFetcher(const std::shared_ptr<QNSessionFetcher>& fetcher) const {
    auto pass = password();
    if (isEmpty(username_) || isEmpty(pass)) return;
    fetcher->setCredential(platform::URLCredential::credentialWithUser(*username_, *pass,
                                                                       platform::URLCredentialPersistence::ForSession));
}

// --- waiting ---

platform::Result<GDataObjectPtr> GDataServiceBase::waitForTicket(const GDataServiceTicketPtr& ticket,
                                                                  double timeoutSeconds) {
    if (!ticket) {
        return Error::withDescription(kGDataServiceErrorDomain, kGDataServiceErrorCouldNotConstructObject,
                                      "There is no ticket to wait for: the call did not start.");
    }
    // The loop runs what arrives (the fetch's callbacks among it) until the ticket has called back.
    if (!ticket->hasCalledCallback() && timeoutSeconds > 0)
        platform::RunLoop::current()->runUntil([&] { return ticket->hasCalledCallback(); }, timeoutSeconds);
    if (auto error = ticket->fetchError()) return *error;
    if (!ticket->hasCalledCallback()) return Error(kGDataServiceErrorDomain, kGDataServiceErrorWaitTimedOut);
    return ticket->fetchedObject();
}

// --- completion, parsing, report ---

struct GDataServiceBase::ParseInput {
    const GDataClassInfo* objectClass = nullptr;
    GDataSurrogates surrogates;
    bool shouldFeedsIgnoreUnknowns = false;
    std::optional<std::string> serviceVersion;
    std::optional<Bytes> data;
    // The ticket's page handler, run where the ticket's callbacks run (`poster`), and shown the
    // entries of a feed page a part at a time while the page is parsed.
    GDataServiceFeedPageHandler pageHandler;
    GDataServiceCallbackPoster poster;
    // The ticket's skip of entries held already, asked on the parsing thread.
    GDataFeedBase::EntrySkip entrySkip;
};

namespace {

// The entries a page handler is shown at a time while a large page is parsed: the page is then
// never held whole, only this many of its entries.
constexpr size_t kEntriesShownWhileParsing = 5000;

// Runs `block` through the poster and waits for it; false when the operation was cancelled first
// (the block then does nothing when it runs).
bool runAndWait(const GDataServiceCallbackPoster& poster, const std::shared_ptr<platform::Operation>& operation,
                std::function<void()> block) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        bool done = false, abandoned = false;
    };
    auto shared = std::make_shared<Shared>();
    poster([shared, block = std::move(block)] {
        std::lock_guard lock(shared->mutex);
        if (shared->abandoned) return;
        block();
        shared->done = true;
        shared->changed.notify_all();
    });
    std::unique_lock lock(shared->mutex);
    while (!shared->done) {
        if (operation && operation->isCancelled()) {
            shared->abandoned = true;
            return false;
        }
        shared->changed.wait_for(lock, std::chrono::milliseconds(50));
    }
    return true;
}

}  // namespace

GDataServiceCallbackPoster GDataServiceBase::currentCallbackPoster() {
    if (platform::RunLoop::isMainThread()) {
        auto loop = platform::RunLoop::main();
        return [loop](std::function<void()> block) { loop->post(std::move(block)); };
    }
    if (auto queue = platform::DispatchQueue::currentQueue())
        return [queue](std::function<void()> block) { queue->async(std::move(block)); };
    auto loop = platform::RunLoop::current();
    return [loop](std::function<void()> block) { loop->post(std::move(block)); };
}

void GDataServiceBase::objectFetcherFinished(const std::shared_ptr<QNSessionFetcher>& fetcher, std::optional<Bytes> data,
                                             const std::optional<Error>& error) {
    if (error) {
        objectFetcherFailed(fetcher, data, *error);
        return;
    }
    auto call = GDataFetcherCallForFetcher(fetcher);
    if (!call) return;  // the call was cancelled
    auto ticket = call.ticket;
    if (ticket->shouldFollowNextLinks() && data) {
        const uint64_t limit = gdataFeedBounds().maxBytes;
        if (addFeedBytes(ticket, data->size()) > limit && limit > 0) {
            ticket->setAccumulatedFeed(nullptr);
            objectFetcherFailed(fetcher, std::nullopt, feedTooLarge(std::to_string(limit >> 20) + " MiB"));
            return;
        }
    }

    auto poster = currentCallbackPoster();
    call.context->callbackPoster = poster;

    platform::NotificationCenter::defaultCenter().post(kGDataServiceTicketParsingStartedNotification, ticket.get());

    // Everything the parse reads of the ticket and the fetcher is taken here, on this thread.
    ParseInput input;
    input.objectClass = call.context->objectClass;
    input.surrogates = ticket->surrogates();
    input.shouldFeedsIgnoreUnknowns = ticket->shouldFeedsIgnoreUnknowns();
    if (auto headers = fetcher->responseHeaders()) input.serviceVersion = headers->valueForHTTPHeaderField("Gdata-Version");
    input.pageHandler = ticket->feedPageHandler();
    input.entrySkip = ticket->feedEntrySkip();
    // The body is the parse's now: a feed page is parsed from the fetcher's own bytes, not a copy.
    input.data = std::move(data);
    input.poster = poster;

    auto self = shared_from_this();
    if (!operationQueue_) {
        const bool emptyAnswer = !input.data || input.data->empty();
        handleParsedObjectForFetcher(fetcher, emptyAnswer, parseObjectFromDataOfFetcher(input, nullptr));
        return;
    }
    // The operation holds the service and the fetcher weakly: a queue may destroy a finished
    // operation on one of its threads, and the last reference to either must not go there.
    auto opHolder = std::make_shared<std::weak_ptr<platform::Operation>>();
    std::weak_ptr<GDataServiceBase> weakSelf = self;
    std::weak_ptr<QNSessionFetcher> weakFetcher = fetcher;
    auto op = platform::Operation::withBlock([weakSelf, weakFetcher, input = std::move(input), opHolder, poster]() mutable {
        auto operation = opHolder->lock();
        auto service = weakSelf.lock();
        auto f = weakFetcher.lock();
        if (!service || !f) return;  // the call was cancelled and let go of
        ParseResult parsed = parseObjectFromDataOfFetcher(input, operation);
        if (operation && operation->isCancelled()) return;
        // The report needs only whether there was an answer: the bytes go now, not with the
        // operation.
        const bool emptyAnswer = !input.data || input.data->empty();
        input.data.reset();
        poster([service, f, emptyAnswer, parsed = std::move(parsed)]() mutable {
            service->handleParsedObjectForFetcher(f, emptyAnswer, std::move(parsed));
        });
    });
    *opHolder = op;
    ticket->setParseOperation(op);
    operationQueue_->addOperation(op);
}

GDataServiceBase::ParseResult GDataServiceBase::parseObjectFromDataOfFetcher(
    const ParseInput& input, const std::shared_ptr<platform::Operation>& operation) {
    if (!input.data || input.data->empty()) return nullptr;
    if (operation && operation->isCancelled()) return nullptr;
    // A page handler sees the page's entries a part at a time as they are parsed, where the
    // ticket's callbacks run (the parse waits for it), and may put stand-ins in their place.
    std::optional<GDataFeedBase::TakenEntriesScope> shown;
    const GDataClassInfo* feedClass = input.objectClass;
    if ((input.pageHandler || input.entrySkip) && feedClass && feedClass->isSubclassOf(GDataFeedBase::staticClassInfo())) {
        GDataFeedBase::TakenEntriesHandler showPart;
        if (input.pageHandler)
            showPart = [&input, &operation, feedClass](const GDataFeedBase& feed, std::vector<std::shared_ptr<GDataEntryBase>>& entries) {
                // A feed of the part, binding the prefixes the page binds for its entries.
                auto part = std::dynamic_pointer_cast<GDataFeedBase>(feedClass->make());
                if (!part) return;
                part->setServiceVersion(input.serviceVersion);
                part->setNamespaces(feed.namespaces());
                part->setEntries(entries);
                auto show = [&input, part] { input.pageHandler(part); };
                if (!operation || !input.poster) show();
                else if (!runAndWait(input.poster, operation, show)) return;
                entries = part->entries() ? *part->entries() : std::vector<std::shared_ptr<GDataEntryBase>>{};
            };
        shown.emplace(std::move(showPart), kEntriesShownWhileParsing, input.entrySkip);
    }
    auto parsed = GDataObject::objectWithXMLData(*input.data, input.objectClass, input.serviceVersion, &input.surrogates,
                                                 input.shouldFeedsIgnoreUnknowns);
    if (operation && operation->isCancelled()) return nullptr;
    return parsed;
}

void GDataServiceBase::handleParsedObjectForFetcher(const std::shared_ptr<QNSessionFetcher>& fetcher, bool emptyAnswer,
                                                    ParseResult parsed) {
    // A ticket cancelled after its answer was parsed has let go of the fetcher and its context.
    auto call = GDataFetcherCallForFetcher(fetcher);
    if (!call) return;
    auto ticket = call.ticket;
    ticket->setParseOperation(nullptr);
    call.context->callbackPoster = nullptr;
    call.context->parsedObject = parsed ? std::move(*parsed) : nullptr;
    call.context->parseError = parsed ? std::nullopt : std::optional<Error>(parsed.error());

    // Copies: a next page replaces the context, and a callback may cancel the ticket.
    const GDataServiceDelegate delegate = call.context->delegate;
    GDataObjectPtr object = call.context->parsedObject;
    const std::optional<Error> parseError = call.context->parseError;
    const GDataServiceCompletionHandler completion = call.context->completionHandler;

    platform::NotificationCenter::defaultCenter().post(kGDataServiceTicketParsingStoppedNotification, ticket.get());

    if (object || emptyAnswer) {
        auto feed = std::dynamic_pointer_cast<GDataFeedBase>(object);
        // The next link of the last page when it was not followed (the page limit was reached or
        // its fetch could not start): the feed goes on beyond what is reported.
        std::shared_ptr<GDataLink> unfollowed;
        if (feed && ticket->feedPageHandler()) {
            const GDataServiceFeedPageHandler onPage = ticket->feedPageHandler();
            onPage(feed);
            if (!GDataFetcherCallForFetcher(fetcher)) return;  // the handler cancelled the call
        }
        if (ticket->shouldFollowNextLinks() && feed) {
            ticket->accumulateFeed(feed);
            if (const uint64_t limit = gdataFeedBounds().maxEntries;
                limit > 0 && ticket->accumulatedFeed()->entryCount() > limit) {
                // What was gathered goes at once: it is of no use, and it is the memory the bound is for.
                ticket->setAccumulatedFeed(nullptr);
                feed.reset();
                object.reset();
                call.context->parsedObject.reset();
                objectFetcherFailed(fetcher, std::nullopt, feedTooLarge(std::to_string(limit) + " entries"));
                return;
            }
            if (auto link = feed->nextLink()) {
                if (auto nextURL = link->URL()) {
                    if (fetchNextFeedWithURL(*nextURL, delegate, completion, ticket)) {
                        // The next page carries on the call; this fetcher is done with it.
                        releaseGDataFetcher(fetcher);
                        return;
                    }
                }
                unfollowed = link;
            }
        }
        if (auto accumulated = ticket->accumulatedFeed()) {
            object = accumulated;
            // The first page's own next link was followed. A cut feed keeps the link where it
            // was cut, so that it never passes for a complete one.
            if (auto link = accumulated->nextLink()) accumulated->removeLink(link);
            if (unfollowed) {
                if (auto link = std::dynamic_pointer_cast<GDataLink>(unfollowed->copy())) accumulated->addLink(link);
            }
        }
        forgetFeedBytes(ticket);
        ticket->setFetchedObject(object);
        invokeCallback(delegate, ticket, object, std::nullopt);
        if (completion) completion(ticket, object, std::nullopt);
    } else {
        Error error = parseError.value_or(Error(kGDataServiceErrorDomain, kGDataServiceErrorCouldNotConstructObject));
        ticket->setFetchError(error);
        invokeCallback(delegate, ticket, nullptr, error);
        if (completion) completion(ticket, nullptr, error);
    }
    endFetch(ticket, fetcher);
}

void GDataServiceBase::objectFetcherFailed(const std::shared_ptr<QNSessionFetcher>& fetcher,
                                           const std::optional<Bytes>& data, const Error& error) {
    auto call = GDataFetcherCallForFetcher(fetcher);
    if (!call) return;  // the call was cancelled
    auto ticket = call.ticket;
    forgetFeedBytes(ticket);
    const GDataServiceDelegate delegate = call.context->delegate;
    const GDataServiceCompletionHandler completion = call.context->completionHandler;

    // The body of the refused request: what the completion gave, else what the fetcher kept.
    std::optional<Bytes> responseData = data;
    if (!responseData || responseData->empty()) responseData = fetcher->downloadedData();
    if ((!responseData || responseData->empty())) {
        if (const Value* kept = error.userInfo.find(QNSessionFetcherStatusDataUserInfoKey); kept && kept->isBytes())
            responseData = kept->asBytes();
    }
    std::optional<std::string> contentType;
    if (auto headers = fetcher->responseHeaders()) contentType = headers->valueForHTTPHeaderField("Content-Type");

    Error reported(error.domain, error.code, userInfoForErrorResponseData(responseData, contentType, error.userInfo));
    ticket->setFetchError(reported);
    invokeCallback(delegate, ticket, nullptr, reported);
    if (completion) completion(ticket, nullptr, reported);
    endFetch(ticket, fetcher);
}

void GDataServiceBase::endFetch(const GDataServiceTicketPtr& ticket, const std::shared_ptr<QNSessionFetcher>& fetcher) {
    // The fetcher lets go of the ticket, and the ticket of this fetch's context, unless a callback
    // already started another fetch on it.
    releaseGDataFetcher(fetcher);
    if (ticket->fetchContextForFetcher(fetcher)) ticket->setFetchContext(std::nullopt);
    ticket->setHasCalledCallback(true);
    ticket->setCurrentFetcher(nullptr);
}

Value GDataServiceBase::valueForServerErrorGroup(const GDataServerErrorGroup& group) {
    Value list = Value::array();
    if (group.errors()) {
        for (const auto& e : *group.errors()) {
            if (!e) continue;
            Value item = Value::dictionary();
            if (e->domain()) item.set("domain", *e->domain());
            if (e->code()) item.set("code", *e->code());
            if (e->internalReason()) item.set("internalReason", *e->internalReason());
            if (e->extendedHelpURI()) item.set("extendedHelpURI", *e->extendedHelpURI());
            if (e->sendReportURI()) item.set("sendReportURI", *e->sendReportURI());
            list.append(std::move(item));
        }
    }
    return list;
}

GDataServerErrorGroupPtr GDataServiceBase::serverErrorGroupFromError(const Error& error) {
    const Value* list = error.userInfo.find(kGDataServerErrorsKey);
    if (!list || !list->isArray() || list->size() == 0) return nullptr;
    std::vector<GDataServerErrorPtr> errors;
    for (const auto& item : list->asArray()) {
        auto e = std::make_shared<GDataServerError>();
        e->setDomain(item["domain"].stringValue());
        e->setCode(item["code"].stringValue());
        e->setInternalReason(item["internalReason"].stringValue());
        e->setExtendedHelpURI(item["extendedHelpURI"].stringValue());
        e->setSendReportURI(item["sendReportURI"].stringValue());
        errors.push_back(std::move(e));
    }
    auto group = std::make_shared<GDataServerErrorGroup>();
    group->setErrors(std::move(errors));
    return group;
}

Value GDataServiceBase::userInfoForErrorResponseData(const std::optional<Bytes>& data,
                                                     const std::optional<std::string>& contentType,
                                                     const Value& previousUserInfo) {
    Value info = previousUserInfo.isDictionary() ? previousUserInfo : Value::dictionary();
    if (!data || data->empty()) return info;

    std::optional<std::string> summary;
    if (contentType && platform::asciiLower(*contentType).rfind(kGDataServerErrorContentType, 0) == 0) {
        if (auto group = GDataServerErrorGroup::initWithData(*data)) {
            info.set(kGDataServerErrorsKey, valueForServerErrorGroup(*group));
            if (auto main = group->mainError()) summary = main->summary();
        }
    }
    if (info.size() == 0) {
        std::string text(data->begin(), data->end());
        if (platform::isValidUTF8(text)) summary = std::move(text);
    }
    if (summary) {
        info.set(kGDataErrorSummaryKey, *summary);
        info.set(Error::kLocalizedFailureReasonKey, "(" + *summary + ")");
    }
    return info;
}

void GDataServiceBase::invokeCallback(const GDataServiceDelegate& delegate, const GDataServiceTicketPtr& ticket,
                                      const GDataObjectPtr& object, const std::optional<Error>& error) {
    if (delegate.didFinish) delegate.didFinish(ticket, object, error);
}

bool GDataServiceBase::fetchNextFeedWithURL(const URL& nextFeedURL, const GDataServiceDelegate& delegate,
                                            const GDataServiceCompletionHandler& completionHandler,
                                            const GDataServiceTicketPtr& ticket) {
    if (ticket->nextLinksFollowedCounter() > kMaxNextLinksFollowed) return false;
    // Pages come over the network only (plain http where the fetcher's own rule allows it): a
    // next link to a data: or file: URL, or any other scheme, is left unfollowed.
    const std::string scheme = platform::asciiLower(nextFeedURL.scheme());
    if (scheme != "https" && scheme != "http") return false;
    ticket->setNextLinksFollowedCounter(ticket->nextLinksFollowedCounter() + 1);
    const GDataClassInfo* feedClass = ticket->accumulatedFeed() ? &ticket->accumulatedFeed()->classInfo() : nullptr;
    auto started = fetchObjectWithURL(nextFeedURL, feedClass, nullptr, std::nullopt, std::nullopt, delegate,
                                      completionHandler, nullptr, ticket);
    return started == ticket;
}

// --- progress and retry ---

void GDataServiceBase::objectFetcherDidSendBytes(const std::shared_ptr<QNSessionFetcher>& fetcher, int64_t bytesSent,
                                                 int64_t totalBytesSent, int64_t totalBytesExpectedToSend) {
    auto ticket = GDataTicket(fetcher);
    if (!ticket) return;
    invokeProgressCallbackForTicket(ticket, static_cast<uint64_t>(std::max<int64_t>(totalBytesSent, 0)),
                                    static_cast<uint64_t>(std::max<int64_t>(totalBytesExpectedToSend, 0)));
}

void GDataServiceBase::invokeProgressCallbackForTicket(const GDataServiceTicketPtr& ticket, uint64_t deliveredBytes,
                                                       uint64_t totalBytes) {
    // Copies: a callback may change or cancel the ticket.
    auto selector = ticket->uploadProgressSelector();
    auto handler = ticket->uploadProgressHandler();
    if (selector) selector(ticket, deliveredBytes, totalBytes);
    if (handler) handler(ticket, deliveredBytes, totalBytes);
}

bool GDataServiceBase::objectFetcherWillRetry(const std::shared_ptr<QNSessionFetcher>& fetcher,
                                              bool suggestedWillRetry, const std::optional<Error>& error) {
    auto ticket = GDataTicket(fetcher);
    if (!ticket || !ticket->retrySelector()) return suggestedWillRetry;
    return invokeRetrySelector(ticket->retrySelector(), ticket, suggestedWillRetry, error);
}

bool GDataServiceBase::invokeRetrySelector(const GDataServiceRetryCallback& retrySelector,
                                           const GDataServiceTicketPtr& ticket, bool willRetry,
                                           const std::optional<Error>& error) {
    if (!retrySelector) return willRetry;
    return retrySelector(ticket, willRetry, error);
}

}  // namespace quorvane
