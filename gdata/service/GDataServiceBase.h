#pragma once
// GDataServiceBase turns one GData operation (fetch a feed or an entry, post, update or delete
// an object) into one HTTPS request run by a session fetcher from its fetcher service, and
// hands the parsed answer back through the call's delegate callback, its completion handler,
// or both, exactly once. Every call returns a ticket that identifies it while it runs.
//
// When a fetch ends, the answer is parsed on the service's operation queue and the report is
// delivered back on the thread (or serial queue) that received the fetch completion: the main
// thread in this program. Feed answers with a next link can be followed page after page on the
// same ticket, the entries gathered into the first page's feed, for at most 26 more pages; a
// feed cut there is reported with the next link it was cut at.
//
// The service and its tickets are used from one thread and take no locks.

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fetcher/QNFetcherAuthorizationProtocol.h"
#include "fetcher/QNSessionFetcher.h"
#include "fetcher/QNSessionFetcherService.h"
#include "fetcher/QNSessionUserAgent.h"
#include "gdata/GDataFeedBase.h"
#include "gdata/GDataObject.h"
#include "gdata/GDataServerError.h"
#include "gdata/service/GDataQuery.h"
#include "gdata/service/GDataServiceTicketBase.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/net/URL.h"
#include "platform/net/URLRequest.h"
#include "platform/runloop/OperationQueue.h"

namespace quorvane {

// The service's own error domain and codes.
inline constexpr const char* kGDataServiceErrorDomain = "com.quorvane.GDataServiceDomain";
enum GDataServiceError : int64_t {
    // The account sign-in cannot be done.
    kGDataServiceErrorSignInImpossible = -1,
    // A non-empty answer gave no object (and the XML parser reported nothing).
    kGDataServiceErrorCouldNotConstructObject = -100,
    // A synchronous wait ran out before the call ended.
    kGDataServiceErrorWaitTimedOut = -101,
    // The object to send holds text XML cannot carry (not UTF-8, or a character XML forbids):
    // nothing was sent.
    kGDataServiceErrorObjectNotWritable = -102,
};

// User-info keys of a failed call: the provider's error document and its summary.
inline constexpr const char* kGDataServerErrorsKey = "serverErrors";
inline constexpr const char* kGDataErrorSummaryKey = "error";

// Posted on the default notification center with the ticket (its address) as object: before an
// answer is parsed, and before its report.
inline constexpr const char* kGDataServiceTicketParsingStartedNotification =
    "kGDataServiceTicketParsingStartedNotification";
inline constexpr const char* kGDataServiceTicketParsingStoppedNotification =
    "kGDataServiceTicketParsingStoppedNotification";


// The library's version: 1.12.0. Fills whichever of the three it is given.
void GDataFrameworkVersion(int* major, int* minor, int* release);
// "1.12".
std::string GDataFrameworkVersionString();

class GDataServiceBase : public std::enable_shared_from_this<GDataServiceBase> {
public:
    // Use service<T>(): the services set themselves up with virtual calls after construction.
    GDataServiceBase() = default;
    virtual ~GDataServiceBase();
    GDataServiceBase(const GDataServiceBase&) = delete;
    GDataServiceBase& operator=(const GDataServiceBase&) = delete;

    // A new service of class T, set up.
    template <class T = GDataServiceBase>
    static std::shared_ptr<T> service() {
        auto s = std::make_shared<T>();
        s->init();
        return s;
    }
    // Makes the operation queue and the fetcher service and sets the defaults.
    virtual void init();

    virtual const char* className() const { return "GDataServiceBase"; }
    // "<class> 0x...".
    std::string description() const;

    // --- class values (subclasses override) ---
    // A new ticket of the service's ticket class, made for this service.
    virtual GDataServiceTicketPtr makeTicket();
    virtual std::optional<std::string> defaultServiceVersion() const { return std::nullopt; }
    virtual uint64_t defaultServiceUploadChunkSize() const { return 0; }
    // The system part of the user agent.
    static std::string systemVersionString();
    // The bundle the service belongs to: the application's.
    static QNSessionBundle owningBundle();
    static std::string defaultApplicationIdentifier();

    // --- settings ---
    // The stored version, else the class's default.
    std::optional<std::string> serviceVersion() const;
    void setServiceVersion(std::optional<std::string> version) { serviceVersion_ = std::move(version); }
    const std::optional<std::string>& userAgent() const { return userAgent_; }
    void setExactUserAgent(std::optional<std::string> userAgent) { userAgent_ = std::move(userAgent); }
    // Stores the text made into a legal user-agent token.
    void setUserAgent(const std::optional<std::string>& userAgent);
    const std::shared_ptr<QNSessionFetcherService>& fetcherService() const { return fetcherService_; }
    void setFetcherService(std::shared_ptr<QNSessionFetcherService> service) { fetcherService_ = std::move(service); }
    // nullptr: answers are parsed on the thread that received the fetch completion.
    const std::shared_ptr<platform::OperationQueue>& operationQueue() const { return operationQueue_; }
    void setOperationQueue(std::shared_ptr<platform::OperationQueue> queue) { operationQueue_ = std::move(queue); }
    // The fetcher service's authorizer.
    std::shared_ptr<QNFetcherAuthorizationProtocol> authorizer() const;
    // A non-null authorizer clears the user name and password first.
    virtual void setAuthorizer(std::shared_ptr<QNFetcherAuthorizationProtocol> authorizer);

    virtual void setUserCredentialsWithUsername(std::optional<std::string> username,
                                                std::optional<std::string> password);
    const std::optional<std::string>& username() const { return username_; }
    // The password, unmasked into a fresh string.
    std::optional<std::string> password() const;

    const std::any& serviceUserData() const { return serviceUserData_; }
    void setServiceUserData(std::any data) { serviceUserData_ = std::move(data); }
    const std::optional<GDataServiceProperties>& serviceProperties() const { return serviceProperties_; }
    void setServiceProperties(std::optional<GDataServiceProperties> p) { serviceProperties_ = std::move(p); }
    // An empty value removes the key; the dictionary is made on first use.
    void setServiceProperty(const std::string& key, std::any value);
    std::any servicePropertyForKey(const std::string& key) const;
    const GDataSurrogates& serviceSurrogates() const { return serviceSurrogates_; }
    void setServiceSurrogates(GDataSurrogates surrogates) { serviceSurrogates_ = std::move(surrogates); }
    bool shouldServiceFeedsIgnoreUnknowns() const { return shouldServiceFeedsIgnoreUnknowns_; }
    void setShouldServiceFeedsIgnoreUnknowns(bool flag) { shouldServiceFeedsIgnoreUnknowns_ = flag; }
    const GDataServiceUploadProgressHandler& serviceUploadProgressSelector() const { return serviceUploadProgressSelector_; }
    void setServiceUploadProgressSelector(GDataServiceUploadProgressHandler c) { serviceUploadProgressSelector_ = std::move(c); }
    const GDataServiceUploadProgressHandler& serviceUploadProgressHandler() const { return serviceUploadProgressHandler_; }
    void setServiceUploadProgressHandler(GDataServiceUploadProgressHandler h) { serviceUploadProgressHandler_ = std::move(h); }
    uint64_t serviceUploadChunkSize() const { return uploadChunkSize_; }
    // The largest value asks for the standard size, 25 MiB.
    void setServiceUploadChunkSize(uint64_t size);
    bool isServiceRetryEnabled() const { return isServiceRetryEnabled_; }
    void setIsServiceRetryEnabled(bool flag) { isServiceRetryEnabled_ = flag; }
    const GDataServiceRetryCallback& serviceRetrySelector() const { return serviceRetrySelector_; }
    void setServiceRetrySelector(GDataServiceRetryCallback c) { serviceRetrySelector_ = std::move(c); }
    // Seconds; 0 leaves the fetcher's own maximum.
    double serviceMaxRetryInterval() const { return serviceMaxRetryInterval_; }
    void setServiceMaxRetryInterval(double secs) { serviceMaxRetryInterval_ = secs; }
    // -1 leaves each fetcher's own cookie method; 0 or more is handed to each fetcher.
    int64_t cookieStorageMethod() const { return cookieStorageMethod_; }
    void setCookieStorageMethod(int64_t method) { cookieStorageMethod_ = method; }
    bool serviceShouldFollowNextLinks() const { return serviceShouldFollowNextLinks_; }
    void setServiceShouldFollowNextLinks(bool flag) { serviceShouldFollowNextLinks_ = flag; }

    // Kept for callers of the older interface; they change nothing.
    std::optional<std::vector<std::string>> runLoopModes() const { return std::nullopt; }
    void setRunLoopModes(const std::optional<std::vector<std::string>>&) {}
    bool shouldFetchInBackground() const { return true; }
    void setShouldFetchInBackground(bool) {}
    bool shouldCacheResponseData() const { return false; }
    void setShouldCacheResponseData(bool) {}
    uint64_t responseDataCacheCapacity() const { return 0; }
    void setResponseDataCacheCapacity(uint64_t) {}
    void clearResponseDataCache() {}

    // --- requests ---
    // The "User-Agent" to send.
    std::string requestUserAgent() const;
    // The base request: user agent, version and the ETag condition for the method.
    virtual platform::URLRequest requestForURL(const platform::URL& url, const std::optional<std::string>& ETag,
                                               const std::optional<std::string>& httpMethod,
                                               const GDataServiceTicketPtr& ticket);
    platform::URLRequest requestForURL(const platform::URL& url, const std::optional<std::string>& ETag,
                                       const std::optional<std::string>& httpMethod) {
        return requestForURL(url, ETag, httpMethod, nullptr);
    }
    // A request carrying a GData object (the object's ETag when none is given).
    platform::URLRequest objectRequestForURL(const platform::URL& url, const GDataObjectPtr& object,
                                             const std::optional<std::string>& ETag,
                                             const std::optional<std::string>& httpMethod,
                                             const GDataServiceTicketPtr& ticket);

    // --- the fetch path every call takes ---
    // Returns the ticket, or null when nothing was started (no URL and no upload location) or
    // the callbacks already ran while the fetch began. URL may be null only when the object to
    // post has an upload location.
    GDataServiceTicketPtr fetchObjectWithURL(const std::optional<platform::URL>& url,
                                             const GDataClassInfo* objectClass, const GDataObjectPtr& objectToPost,
                                             const std::optional<std::string>& ETag,
                                             const std::optional<std::string>& httpMethod,
                                             const GDataServiceDelegate& delegate,
                                             const GDataServiceCompletionHandler& completionHandler,
                                             const GDataServiceRetryInvocation& retryInvocation,
                                             GDataServiceTicketPtr ticket);

    // Fetches that bypass the account sign-in layer (the authorizer still signs them).
    GDataServiceTicketPtr fetchPublicFeedWithURL(const platform::URL& feedURL, const GDataClassInfo& feedClass,
                                                 const GDataServiceDelegate& delegate);
    GDataServiceTicketPtr fetchPublicFeedWithURL(const platform::URL& feedURL, const GDataClassInfo& feedClass,
                                                 const GDataServiceCompletionHandler& handler);
    GDataServiceTicketPtr fetchPublicEntryWithURL(const platform::URL& entryURL, const GDataClassInfo& entryClass,
                                                  const GDataServiceDelegate& delegate);
    GDataServiceTicketPtr fetchPublicEntryWithURL(const platform::URL& entryURL, const GDataClassInfo& entryClass,
                                                  const GDataServiceCompletionHandler& handler);
    GDataServiceTicketPtr fetchPublicFeedWithQuery(const GDataQuery& query, const GDataClassInfo& feedClass,
                                                   const GDataServiceDelegate& delegate);
    GDataServiceTicketPtr fetchPublicFeedWithQuery(const GDataQuery& query, const GDataClassInfo& feedClass,
                                                   const GDataServiceCompletionHandler& handler);
    // Posts a batch feed; its answer keeps every element (no unknowns are dropped).
    GDataServiceTicketPtr fetchPublicFeedWithBatchFeed(const std::shared_ptr<GDataFeedBase>& batchFeed,
                                                       const platform::URL& feedURL,
                                                       const GDataServiceDelegate& delegate,
                                                       const GDataServiceCompletionHandler& handler);
    GDataServiceTicketPtr fetchPublicFeedWithBatchFeed(const std::shared_ptr<GDataFeedBase>& batchFeed,
                                                       const platform::URL& feedURL,
                                                       const GDataServiceDelegate& delegate) {
        return fetchPublicFeedWithBatchFeed(batchFeed, feedURL, delegate, nullptr);
    }
    GDataServiceTicketPtr fetchPublicFeedWithBatchFeed(const std::shared_ptr<GDataFeedBase>& batchFeed,
                                                       const platform::URL& feedURL,
                                                       const GDataServiceCompletionHandler& handler) {
        return fetchPublicFeedWithBatchFeed(batchFeed, feedURL, GDataServiceDelegate(), handler);
    }

    // Gives the fetcher a credential of the user name and password when both are set; the
    // fetcher answers with it only the challenges of its own request's origin.
    virtual void addAuthenticationToFetcher(const std::shared_ptr<QNSessionFetcher>& fetcher) const;

    // Runs the current thread's run loop until the ticket called back or the time-out passed.
    // The fetched object (possibly none) when the call ended without error, else its error; a
    // time-out gives the error -101, and a missing ticket (a call that never started) -100.
    platform::Result<GDataObjectPtr> waitForTicket(const GDataServiceTicketPtr& ticket, double timeoutSeconds);

    // --- fetch completion, parsing and the report ---
    // The finished callback of every object fetcher.
    virtual void objectFetcherFinished(const std::shared_ptr<QNSessionFetcher>& fetcher,
                                       std::optional<platform::Bytes> data, const std::optional<platform::Error>& error);
    void objectFetcherFailed(const std::shared_ptr<QNSessionFetcher>& fetcher,
                             const std::optional<platform::Bytes>& data, const platform::Error& error);
    // The user info of a failed fetch: the previous one plus the provider's error document under
    // "serverErrors", its summary under "error" and the failure reason "(summary)".
    static platform::Value userInfoForErrorResponseData(const std::optional<platform::Bytes>& data,
                                                        const std::optional<std::string>& contentType,
                                                        const platform::Value& previousUserInfo);
    // The provider's error document kept under "serverErrors" of an error's user info (errors are
    // plain values, so the document travels as a list of dictionaries with the keys "domain",
    // "code", "internalReason", "extendedHelpURI" and "sendReportURI"); null when there is none.
    static GDataServerErrorGroupPtr serverErrorGroupFromError(const platform::Error& error);
    static platform::Value valueForServerErrorGroup(const GDataServerErrorGroup& group);
    // Calls a delegate's finished callback with (ticket, object, error).
    static void invokeCallback(const GDataServiceDelegate& delegate, const GDataServiceTicketPtr& ticket,
                               const GDataObjectPtr& object, const std::optional<platform::Error>& error);
    // Starts the next page's fetch on the same ticket; false when the page limit was reached or
    // nothing was started.
    bool fetchNextFeedWithURL(const platform::URL& nextFeedURL, const GDataServiceDelegate& delegate,
                              const GDataServiceCompletionHandler& completionHandler,
                              const GDataServiceTicketPtr& ticket);

    // --- progress and retry ---
    void objectFetcherDidSendBytes(const std::shared_ptr<QNSessionFetcher>& fetcher, int64_t bytesSent,
                                   int64_t totalBytesSent, int64_t totalBytesExpectedToSend);
    void invokeProgressCallbackForTicket(const GDataServiceTicketPtr& ticket, uint64_t deliveredBytes,
                                         uint64_t totalBytes);
    bool objectFetcherWillRetry(const std::shared_ptr<QNSessionFetcher>& fetcher, bool suggestedWillRetry,
                                const std::optional<platform::Error>& error);
    bool invokeRetrySelector(const GDataServiceRetryCallback& retrySelector, const GDataServiceTicketPtr& ticket,
                             bool willRetry, const std::optional<platform::Error>& error);

    // A send-progress block for a fetcher that reports to this service.
    QNSessionFetcher::SendProgressBlock sendProgressBlockForFetcher(const std::shared_ptr<QNSessionFetcher>& fetcher);

protected:
    // A batch feed without a "gd" prefix gets the base GData namespaces, one without a "batch"
    // prefix the batch namespaces.
    static void addBatchNamespacesIfMissing(GDataFeedBase& feed);
    // Ends a call that cannot reach the network: the error is reported once, later, on the
    // fetcher service's callback queue, unless the ticket is cancelled first.
    void reportFailureLater(const GDataServiceTicketPtr& ticket, const GDataServiceDelegate& delegate,
                            const GDataServiceCompletionHandler& completionHandler, platform::Error error);

private:
    // What the parse needs, taken on the completion thread, and what it gives.
    struct ParseInput;
    // The parsed object (none for an empty body or a cancelled parse), or the parse error.
    using ParseResult = platform::Result<GDataObjectPtr>;
    static ParseResult parseObjectFromDataOfFetcher(const ParseInput& input,
                                                    const std::shared_ptr<platform::Operation>& operation);
    // `emptyAnswer`: the response had no body.
    void handleParsedObjectForFetcher(const std::shared_ptr<QNSessionFetcher>& fetcher, bool emptyAnswer,
                                      ParseResult parsed);
    static GDataServiceCallbackPoster currentCallbackPoster();
    // Ends the fetch after its report: the fetcher, the ticket and the context let go of each other.
    static void endFetch(const GDataServiceTicketPtr& ticket, const std::shared_ptr<QNSessionFetcher>& fetcher);

    std::shared_ptr<platform::OperationQueue> operationQueue_;
    std::optional<std::string> serviceVersion_;
    std::optional<std::string> userAgent_;
    std::shared_ptr<QNSessionFetcherService> fetcherService_;
    std::optional<std::string> username_;
    std::optional<platform::Bytes> maskedPassword_;
    std::any serviceUserData_;
    std::optional<GDataServiceProperties> serviceProperties_;
    GDataSurrogates serviceSurrogates_;
    bool shouldServiceFeedsIgnoreUnknowns_ = false;
    GDataServiceUploadProgressHandler serviceUploadProgressSelector_;
    GDataServiceUploadProgressHandler serviceUploadProgressHandler_;
    uint64_t uploadChunkSize_ = 0;
    bool isServiceRetryEnabled_ = false;
    GDataServiceRetryCallback serviceRetrySelector_;
    double serviceMaxRetryInterval_ = 0;
    int64_t cookieStorageMethod_ = -1;
    bool serviceShouldFollowNextLinks_ = false;
};

}  // namespace quorvane
