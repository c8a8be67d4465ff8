#pragma once
// GDataServiceTicketBase: one GData call in flight. The service makes a ticket for every call;
// it carries the per-call settings copied from the service when it was made, the fetcher that
// runs the call, and, once the call ended, the fetched object or the error.
//
// A ticket holds its service strongly until it is cancelled. Tickets are used on one thread
// (the thread that makes the calls, the main thread in this program) and take no locks.

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "fetcher/QNFetcherAuthorizationProtocol.h"
#include "fetcher/QNSessionFetcher.h"
#include "gdata/GDataFeedBase.h"
#include "gdata/GDataObject.h"
#include "platform/foundation/Error.h"
#include "platform/runloop/OperationQueue.h"

namespace quorvane {

class GDataServiceBase;
class GDataServiceTicketBase;
using GDataServiceTicketPtr = std::shared_ptr<GDataServiceTicketBase>;

// The end of a call: (ticket, fetched object, error). Exactly one of object and error is set,
// except for an empty answer (a delete's), which reports neither.
using GDataServiceCompletionHandler = std::function<void(const GDataServiceTicketPtr& ticket,
                                                         const GDataObjectPtr& object,
                                                         const std::optional<platform::Error>& error)>;
// Upload progress: (ticket, bytes delivered so far, total bytes).
using GDataServiceUploadProgressHandler =
    std::function<void(const GDataServiceTicketPtr& ticket, uint64_t deliveredBytes, uint64_t totalBytes)>;
// The retry question: (ticket, the fetcher's suggestion, the error) -> whether to retry.
using GDataServiceRetryCallback = std::function<bool(const GDataServiceTicketPtr& ticket, bool suggestedWillRetry,
                                                     const std::optional<platform::Error>& error)>;
// Repeats a call (the account sign-in layer's re-invocation after a refused request).
using GDataServiceRetryInvocation = std::function<GDataServiceTicketPtr()>;
// Named values of the caller kept with a service or a ticket.
using GDataServiceProperties = std::map<std::string, std::any>;
// Runs a block on the thread (or serial queue) that received a fetch completion.
using GDataServiceCallbackPoster = std::function<void(std::function<void()>)>;
// Called with each page of a feed as it is parsed, before its entries join the pages before it;
// it may put smaller entries in the place of the page's own. While a large page is parsed it is
// also called (where the callbacks run, the parse waiting for it) with feeds of parts of the page,
// a few thousand entries each, holding only those entries: a page is never held whole.
using GDataServiceFeedPageHandler = std::function<void(const std::shared_ptr<GDataFeedBase>& page)>;

// The "delegate and finished selector" form of a call's callback. A call may be given one of
// these, a completion handler, or both; the delegate is called first. The constructor is
// explicit so that a bare lambda passed to a service operation selects the completion form.
struct GDataServiceDelegate {
    GDataServiceDelegate() = default;
    explicit GDataServiceDelegate(GDataServiceCompletionHandler finished, std::string selectorName = {})
        : didFinish(std::move(finished)), finishedSelectorName(std::move(selectorName)) {}

    GDataServiceCompletionHandler didFinish;
    // The selector's name, for diagnostics (the fetcher's comment); may be empty.
    std::string finishedSelectorName;

    explicit operator bool() const { return static_cast<bool>(didFinish); }
};

// What one object fetch of a call carries from the fetch path to its report, typed. The ticket
// owns it; each fetch of the call (a next page is another) starts a fresh one, and the report or
// a cancellation ends it, so a late event of an earlier fetcher finds none of its own.
struct GDataFetchContext {
    std::weak_ptr<QNSessionFetcher> fetcher;  // the object fetcher it belongs to
    const GDataClassInfo* objectClass = nullptr;  // null: the class the answer's root element names
    GDataServiceDelegate delegate;
    GDataServiceCompletionHandler completionHandler;
    GDataServiceRetryInvocation retryInvocation;  // the sign-in layer's repeat after a refusal
    GDataServiceCallbackPoster callbackPoster;    // set from the fetch completion until the parse ran
    GDataObjectPtr parsedObject;
    std::optional<platform::Error> parseError;
};

class GDataServiceTicketBase : public std::enable_shared_from_this<GDataServiceTicketBase> {
public:
    GDataServiceTicketBase() = default;
    virtual ~GDataServiceTicketBase() = default;
    GDataServiceTicketBase(const GDataServiceTicketBase&) = delete;
    GDataServiceTicketBase& operator=(const GDataServiceTicketBase&) = delete;

    // A new ticket of this class for the service.
    static GDataServiceTicketPtr ticketForService(const std::shared_ptr<GDataServiceBase>& service);
    // Copies, in this order, user data, properties, surrogates, upload progress selector, retry
    // enabled, retry selector, maximum retry interval, follow-next-links, feeds-ignore-unknowns,
    // upload progress handler and authorizer from the service.
    virtual void initWithService(const std::shared_ptr<GDataServiceBase>& service);

    virtual const char* className() const { return "GDataServiceTicketBase"; }
    // "GDataServiceTicketBase 0x...: {service:... currentFetcher:... userData:...}"
    virtual std::string description() const;

    // Ends the call: no callback of it follows. Stops the fetcher, cancels a queued parse and
    // releases the service.
    virtual void cancelTicket();

    // Forwarded to a resumable upload fetcher; a plain object fetcher cannot pause (false).
    void pauseUpload();
    void resumeUpload();
    bool isUploadPaused() const;

    // --- settings ---
    const std::shared_ptr<GDataServiceBase>& service() const { return service_; }
    void setService(std::shared_ptr<GDataServiceBase> service) { service_ = std::move(service); }
    const std::any& userData() const { return userData_; }
    void setUserData(std::any data) { userData_ = std::move(data); }
    const std::optional<GDataServiceProperties>& properties() const { return properties_; }
    void setProperties(std::optional<GDataServiceProperties> properties) { properties_ = std::move(properties); }
    // An empty value removes the key; the dictionary is made on first use.
    void setProperty(const std::string& key, std::any value);
    std::any propertyForKey(const std::string& key) const;
    const GDataSurrogates& surrogates() const { return surrogates_; }
    void setSurrogates(GDataSurrogates surrogates) { surrogates_ = std::move(surrogates); }

    const GDataServiceUploadProgressHandler& uploadProgressSelector() const { return uploadProgressSelector_; }
    // Also hooks the current object fetcher's send progress when the callback is set.
    void setUploadProgressSelector(GDataServiceUploadProgressHandler callback);
    const GDataServiceUploadProgressHandler& uploadProgressHandler() const { return uploadProgressHandler_; }
    // Also hooks the current object fetcher's send progress when the handler is set.
    void setUploadProgressHandler(GDataServiceUploadProgressHandler handler);

    bool shouldFollowNextLinks() const { return shouldFollowNextLinks_; }
    void setShouldFollowNextLinks(bool flag) { shouldFollowNextLinks_ = flag; }
    bool shouldFeedsIgnoreUnknowns() const { return shouldFeedsIgnoreUnknowns_; }
    void setShouldFeedsIgnoreUnknowns(bool flag) { shouldFeedsIgnoreUnknowns_ = flag; }
    bool isRetryEnabled() const { return isRetryEnabled_; }
    void setIsRetryEnabled(bool flag) { isRetryEnabled_ = flag; }
    const GDataServiceRetryCallback& retrySelector() const { return retrySelector_; }
    void setRetrySelector(GDataServiceRetryCallback callback) { retrySelector_ = std::move(callback); }
    double maxRetryInterval() const { return maxRetryInterval_; }
    void setMaxRetryInterval(double secs) { maxRetryInterval_ = secs; }
    const std::shared_ptr<QNFetcherAuthorizationProtocol>& authorizer() const { return authorizer_; }
    void setAuthorizer(std::shared_ptr<QNFetcherAuthorizationProtocol> authorizer) { authorizer_ = std::move(authorizer); }

    // --- the call ---
    const std::shared_ptr<QNSessionFetcher>& currentFetcher() const { return currentFetcher_; }
    void setCurrentFetcher(std::shared_ptr<QNSessionFetcher> fetcher) { currentFetcher_ = std::move(fetcher); }
    const std::shared_ptr<QNSessionFetcher>& objectFetcher() const { return objectFetcher_; }
    void setObjectFetcher(std::shared_ptr<QNSessionFetcher> fetcher) { objectFetcher_ = std::move(fetcher); }
    // The HTTP status of the object fetcher's last response (0 when there is none).
    int64_t statusCode() const;
    const GDataObjectPtr& postedObject() const { return postedObject_; }
    void setPostedObject(GDataObjectPtr object) { postedObject_ = std::move(object); }
    const std::shared_ptr<platform::Operation>& parseOperation() const { return parseOperation_; }
    void setParseOperation(std::shared_ptr<platform::Operation> op) { parseOperation_ = std::move(op); }

    // The context of the fetch the fetcher runs for this ticket; null when the fetcher's call
    // ended, was cancelled or moved on to another fetcher.
    GDataFetchContext* fetchContextForFetcher(const std::shared_ptr<QNSessionFetcher>& fetcher);
    void setFetchContext(std::optional<GDataFetchContext> context) { fetchContext_ = std::move(context); }

    // --- results ---
    const GDataObjectPtr& fetchedObject() const { return fetchedObject_; }
    void setFetchedObject(GDataObjectPtr object) { fetchedObject_ = std::move(object); }
    const std::optional<platform::Error>& fetchError() const { return fetchError_; }
    void setFetchError(std::optional<platform::Error> error) { fetchError_ = std::move(error); }
    bool hasCalledCallback() const { return hasCalledCallback_; }
    void setHasCalledCallback(bool flag) { hasCalledCallback_ = flag; }

    // --- next links ---
    const std::shared_ptr<GDataFeedBase>& accumulatedFeed() const { return accumulatedFeed_; }
    void setAccumulatedFeed(std::shared_ptr<GDataFeedBase> feed) { accumulatedFeed_ = std::move(feed); }
    // The first feed becomes the accumulated feed; the entries of each later one move into it,
    // in order (the later feeds' own elements are dropped).
    void accumulateFeed(const std::shared_ptr<GDataFeedBase>& feed);
    // Sees each page of the feed as it comes (the only page of a feed without next links too), so
    // that a caller can keep what it needs of a page's entries and let the page go before the next.
    const GDataServiceFeedPageHandler& feedPageHandler() const { return feedPageHandler_; }
    void setFeedPageHandler(GDataServiceFeedPageHandler handler) { feedPageHandler_ = std::move(handler); }
    // Asked, on the thread that parses the pages, for each entry of a feed page before any object
    // is made of it: an entry it answers true for is passed over (GDataFeedBase::EntrySkip).
    const GDataFeedBase::EntrySkip& feedEntrySkip() const { return feedEntrySkip_; }
    void setFeedEntrySkip(GDataFeedBase::EntrySkip skip) { feedEntrySkip_ = std::move(skip); }
    uint64_t nextLinksFollowedCounter() const { return nextLinksFollowedCounter_; }
    void setNextLinksFollowedCounter(uint64_t n) { nextLinksFollowedCounter_ = n; }

protected:
    // Installs the send-progress hook on the current object fetcher.
    void installSendProgressOnCurrentFetcher();

private:
    std::shared_ptr<GDataServiceBase> service_;
    std::any userData_;
    std::optional<GDataServiceProperties> properties_;
    GDataSurrogates surrogates_;
    std::shared_ptr<QNSessionFetcher> currentFetcher_;
    std::shared_ptr<QNSessionFetcher> objectFetcher_;
    GDataServiceUploadProgressHandler uploadProgressSelector_;
    bool shouldFollowNextLinks_ = false;
    bool shouldFeedsIgnoreUnknowns_ = false;
    bool isRetryEnabled_ = false;
    GDataServiceRetryCallback retrySelector_;
    double maxRetryInterval_ = 0;
    GDataServiceUploadProgressHandler uploadProgressHandler_;
    GDataObjectPtr postedObject_;
    GDataObjectPtr fetchedObject_;
    std::shared_ptr<GDataFeedBase> accumulatedFeed_;
    std::optional<platform::Error> fetchError_;
    bool hasCalledCallback_ = false;
    uint64_t nextLinksFollowedCounter_ = 0;
    GDataServiceFeedPageHandler feedPageHandler_;
    GDataFeedBase::EntrySkip feedEntrySkip_;
    std::shared_ptr<platform::Operation> parseOperation_;
    std::shared_ptr<QNFetcherAuthorizationProtocol> authorizer_;
    std::optional<GDataFetchContext> fetchContext_;
};

// What the service keeps on a fetcher of a GData call while it runs (the fetcher's owner record):
// the call's ticket, which keeps the call alive, and on a sign-in fetcher the calls waiting for
// the sign-in. Everything else of the call travels in the ticket's GDataFetchContext.
class GDataServiceInvocation;
struct GDataFetcherRecord : QNSessionFetcherOwnerRecord {
    GDataServiceTicketPtr ticket;
    std::shared_ptr<std::vector<std::shared_ptr<GDataServiceInvocation>>> waitingInvocations;
};
// The fetcher's record; an empty one when it has none.
GDataFetcherRecord GDataFetcherRecordOf(const std::shared_ptr<QNSessionFetcher>& fetcher);
void setGDataFetcherRecord(const std::shared_ptr<QNSessionFetcher>& fetcher, GDataFetcherRecord record);
// The ticket a fetcher of a GData call carries; null when none.
GDataServiceTicketPtr GDataTicket(const std::shared_ptr<QNSessionFetcher>& fetcher);
void setGDataTicket(const std::shared_ptr<QNSessionFetcher>& fetcher, const GDataServiceTicketPtr& ticket);
// The fetcher lets go of its call: its record and the properties the service gave it.
void releaseGDataFetcher(const std::shared_ptr<QNSessionFetcher>& fetcher);
// What a fetcher's callback needs of its call: its ticket and that fetch's context, or nulls
// when the call was cancelled or ended.
struct GDataFetcherCall {
    GDataServiceTicketPtr ticket;
    GDataFetchContext* context = nullptr;
    explicit operator bool() const { return ticket && context; }
};
GDataFetcherCall GDataFetcherCallForFetcher(const std::shared_ptr<QNSessionFetcher>& fetcher);

}  // namespace quorvane
