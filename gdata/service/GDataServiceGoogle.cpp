#include "gdata/service/GDataServiceGoogle.h"

#include "gdata/GDataLink.h"
#include "oauth2/QNOAuth2Authentication.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

using platform::addressText;
using platform::Error;
using platform::URL;
using platform::URLRequest;
using platform::Value;

namespace {


bool isEmpty(const std::optional<std::string>& s) { return !s || s->empty(); }

}  // namespace

// --- GDataServiceTicket ---

std::shared_ptr<GDataServiceTicket> GDataServiceTicket::ticketForService(const std::shared_ptr<GDataServiceBase>& service) {
    auto ticket = std::make_shared<GDataServiceTicket>();
    ticket->initWithService(service);
    return ticket;
}

void GDataServiceTicket::initWithService(const std::shared_ptr<GDataServiceBase>& service) {
    GDataServiceTicketBase::initWithService(service);
    if (auto google = std::dynamic_pointer_cast<GDataServiceGoogle>(service)) {
        authToken_ = google->authToken();
        credentialDate_ = google->credentialDate();
    }
}

std::string GDataServiceTicket::description() const {
    std::string out = std::string(className()) + " " + addressText(this) + ": {service:";
    out += service() ? service()->description() : "(null)";
    out += " objectFetcher:";
    out += objectFetcher() ? objectFetcher()->description() : "(null)";
    if (authorizer()) {
        out += " authorizer:" + addressText(authorizer().get());
    } else {
        out += " authFetcher:";
        out += authFetcher_ ? authFetcher_->description() : "(null)";
    }
    out += "}";
    return out;
}

void GDataServiceTicket::cancelTicket() {
    // A ticket waiting for the account sign-in leaves it (the last one stops it).
    if (authFetcher_) {
        if (auto google = std::dynamic_pointer_cast<GDataServiceGoogle>(service())) {
            google->stopAuthenticationForTicket(std::static_pointer_cast<GDataServiceTicketBase>(shared_from_this()));
        } else {
            auto fetcher = std::move(authFetcher_);
            fetcher->stopFetching();
        }
        authFetcher_.reset();
    }
    GDataServiceTicketBase::cancelTicket();
}

// --- GDataServiceGoogle: class values and settings ---

GDataServiceTicketPtr GDataServiceGoogle::makeTicket() { return GDataServiceTicket::ticketForService(shared_from_this()); }

std::string GDataServiceGoogle::accountType() const { return accountType_.value_or(kGDataDefaultAccountType); }

std::string GDataServiceGoogle::signInDomain() const { return signInDomain_.value_or(kGDataDefaultSignInDomain); }

std::optional<std::string> GDataServiceGoogle::serviceID() const {
    if (serviceID_) return serviceID_;
    auto id = defaultServiceID();
    QV_ASSERT(id.has_value(), "GDataServiceGoogle should have a serviceID");
    return id;
}

// --- requests ---

URLRequest GDataServiceGoogle::requestForURL(const URL& url, const std::optional<std::string>& ETag,
                                             const std::optional<std::string>& httpMethod,
                                             const GDataServiceTicketPtr& ticket) {
    URLRequest request = GDataServiceBase::requestForURL(url, ETag, httpMethod, ticket);

    if (shouldUseMethodOverrideHeader_ && !isEmpty(httpMethod) && *httpMethod != "POST") {
        request.setValue(*httpMethod, "X-HTTP-Method-Override");
        request.setHTTPMethod("POST");
    }

    std::optional<std::string> token;
    if (ticket) {
        if (auto googleTicket = std::dynamic_pointer_cast<GDataServiceTicket>(ticket)) token = googleTicket->authToken();
    } else {
        token = authToken_;
    }
    if (!isEmpty(token)) {
        request.setValue("GoogleLogin auth=" + *token, "Authorization");
    } else if (!isEmpty(authSubToken_)) {
        request.setValue("AuthSub token=" + *authSubToken_, "Authorization");
    }
    return request;
}

// --- feeds ---

GDataServiceTicketPtr GDataServiceGoogle::fetchFeedWithURL(const URL& feedURL, const GDataServiceDelegate& delegate) {
    return fetchAuthenticatedObjectWithURL(feedURL, nullptr, nullptr, std::nullopt, std::nullopt, delegate, nullptr);
}

GDataServiceTicketPtr GDataServiceGoogle::fetchFeedWithURL(const URL& feedURL,
                                                           const GDataServiceCompletionHandler& handler) {
    return fetchAuthenticatedObjectWithURL(feedURL, nullptr, nullptr, std::nullopt, std::nullopt,
                                           GDataServiceDelegate(), handler);
}

GDataServiceTicketPtr GDataServiceGoogle::fetchFeedWithURL(const URL& feedURL, const GDataClassInfo& feedClass,
                                                           const GDataServiceDelegate& delegate) {
    return fetchAuthenticatedObjectWithURL(feedURL, &feedClass, nullptr, std::nullopt, std::nullopt, delegate, nullptr);
}

GDataServiceTicketPtr GDataServiceGoogle::fetchFeedWithURL(const URL& feedURL, const GDataClassInfo& feedClass,
                                                           const std::optional<std::string>& ETag,
                                                           const GDataServiceDelegate& delegate) {
    return fetchAuthenticatedObjectWithURL(feedURL, &feedClass, nullptr, ETag, std::nullopt, delegate, nullptr);
}

GDataServiceTicketPtr GDataServiceGoogle::fetchFeedWithQuery(const GDataQuery& query,
                                                             const GDataServiceDelegate& delegate) {
    return fetchAuthenticatedObjectWithURL(query.URL(), nullptr, nullptr, std::nullopt, std::nullopt, delegate,
                                           nullptr);
}

GDataServiceTicketPtr GDataServiceGoogle::fetchFeedWithQuery(const GDataQuery& query,
                                                             const GDataServiceCompletionHandler& handler) {
    return fetchAuthenticatedObjectWithURL(query.URL(), nullptr, nullptr, std::nullopt, std::nullopt,
                                           GDataServiceDelegate(), handler);
}

GDataServiceTicketPtr GDataServiceGoogle::fetchFeedWithQuery(const GDataQuery& query, const GDataClassInfo& feedClass,
                                                             const GDataServiceDelegate& delegate) {
    return fetchAuthenticatedObjectWithURL(query.URL(), &feedClass, nullptr, std::nullopt, std::nullopt, delegate,
                                           nullptr);
}

// --- entries ---

GDataServiceTicketPtr GDataServiceGoogle::fetchEntryWithURL(const URL& entryURL, const GDataServiceDelegate& delegate) {
    return fetchAuthenticatedObjectWithURL(entryURL, nullptr, nullptr, std::nullopt, std::nullopt, delegate, nullptr);
}

GDataServiceTicketPtr GDataServiceGoogle::fetchEntryWithURL(const URL& entryURL,
                                                            const GDataServiceCompletionHandler& handler) {
    return fetchAuthenticatedObjectWithURL(entryURL, nullptr, nullptr, std::nullopt, std::nullopt,
                                           GDataServiceDelegate(), handler);
}

GDataServiceTicketPtr GDataServiceGoogle::fetchEntryWithURL(const URL& entryURL, const GDataClassInfo& entryClass,
                                                            const GDataServiceDelegate& delegate) {
    return fetchAuthenticatedObjectWithURL(entryURL, &entryClass, nullptr, std::nullopt, std::nullopt, delegate,
                                           nullptr);
}

GDataServiceTicketPtr GDataServiceGoogle::fetchEntryWithURL(const URL& entryURL, const GDataClassInfo& entryClass,
                                                            const GDataServiceCompletionHandler& handler) {
    return fetchAuthenticatedObjectWithURL(entryURL, &entryClass, nullptr, std::nullopt, std::nullopt,
                                           GDataServiceDelegate(), handler);
}

GDataServiceTicketPtr GDataServiceGoogle::fetchEntryWithURL(const URL& entryURL, const GDataClassInfo& entryClass,
                                                            const std::optional<std::string>& ETag,
                                                            const GDataServiceDelegate& delegate) {
    return fetchAuthenticatedObjectWithURL(entryURL, &entryClass, nullptr, ETag, std::nullopt, delegate, nullptr);
}

void GDataServiceGoogle::addNamespacesIfNoneToObject(const GDataObjectPtr& object) const {
    if (object && object->namespaces().empty()) object->setNamespaces(standardServiceNamespaces());
}

GDataServiceTicketPtr GDataServiceGoogle::insertEntry(const std::shared_ptr<GDataEntryBase>& entry,
                                                      const URL& feedURL, const GDataServiceDelegate& delegate,
                                                      const GDataServiceCompletionHandler& handler) {
    if (!QV_ASSERT(entry != nullptr, "inserting no entry")) return nullptr;
    addNamespacesIfNoneToObject(entry);
    return fetchAuthenticatedObjectWithURL(feedURL, &entry->classInfo(), entry, entry->ETag(), std::string("POST"),
                                           delegate, handler);
}

GDataServiceTicketPtr GDataServiceGoogle::fetchEntryByInsertingEntry(const std::shared_ptr<GDataEntryBase>& entry,
                                                                     const URL& feedURL,
                                                                     const GDataServiceDelegate& delegate) {
    return insertEntry(entry, feedURL, delegate, nullptr);
}

GDataServiceTicketPtr GDataServiceGoogle::fetchEntryByInsertingEntry(const std::shared_ptr<GDataEntryBase>& entry,
                                                                     const URL& feedURL,
                                                                     const GDataServiceCompletionHandler& handler) {
    return insertEntry(entry, feedURL, GDataServiceDelegate(), handler);
}

std::optional<URL> GDataServiceGoogle::editURLOfEntry(const std::shared_ptr<GDataEntryBase>& entry) {
    if (!entry) return std::nullopt;
    auto link = entry->editLink();
    return link ? link->URL() : std::nullopt;
}

GDataServiceTicketPtr GDataServiceGoogle::updateEntry(const std::shared_ptr<GDataEntryBase>& entry,
                                                      const std::optional<URL>& entryURL,
                                                      const GDataServiceDelegate& delegate,
                                                      const GDataServiceCompletionHandler& handler) {
    if (!QV_ASSERT(entry != nullptr, "updating no entry")) return nullptr;
    bool hasFieldSelection = !isEmpty(entry->fieldSelection());
    // An entry parsed with its unmodelled XML dropped would erase that XML on the server if it
    // were written back whole: the update is refused and nothing is sent.
    if (!QV_ASSERT(!entry->shouldIgnoreUnknowns() || hasFieldSelection,
                   std::string("unsafe update of ") + entry->classInfo().name))
        return nullptr;
    addNamespacesIfNoneToObject(entry);
    std::string method = hasFieldSelection ? "PATCH" : "PUT";
    return fetchAuthenticatedObjectWithURL(entryURL, &entry->classInfo(), entry, entry->ETag(), method, delegate,
                                           handler);
}

GDataServiceTicketPtr GDataServiceGoogle::fetchEntryByUpdatingEntry(const std::shared_ptr<GDataEntryBase>& entry,
                                                                    const GDataServiceDelegate& delegate) {
    return updateEntry(entry, editURLOfEntry(entry), delegate, nullptr);
}

GDataServiceTicketPtr GDataServiceGoogle::fetchEntryByUpdatingEntry(const std::shared_ptr<GDataEntryBase>& entry,
                                                                    const GDataServiceCompletionHandler& handler) {
    return updateEntry(entry, editURLOfEntry(entry), GDataServiceDelegate(), handler);
}

GDataServiceTicketPtr GDataServiceGoogle::fetchEntryByUpdatingEntry(const std::shared_ptr<GDataEntryBase>& entry,
                                                                    const std::optional<URL>& entryURL,
                                                                    const GDataServiceDelegate& delegate) {
    return updateEntry(entry, entryURL, delegate, nullptr);
}

GDataServiceTicketPtr GDataServiceGoogle::fetchEntryByUpdatingEntry(const std::shared_ptr<GDataEntryBase>& entry,
                                                                    const std::optional<URL>& entryURL,
                                                                    const GDataServiceCompletionHandler& handler) {
    return updateEntry(entry, entryURL, GDataServiceDelegate(), handler);
}

GDataServiceTicketPtr GDataServiceGoogle::deleteURL(const std::optional<URL>& url,
                                                    const std::optional<std::string>& ETag,
                                                    const GDataServiceDelegate& delegate,
                                                    const GDataServiceCompletionHandler& handler) {
    QV_ASSERT(url.has_value(), "deleting unspecified resource");
    return fetchAuthenticatedObjectWithURL(url, nullptr, nullptr, ETag, std::string("DELETE"), delegate, handler);
}

GDataServiceTicketPtr GDataServiceGoogle::deleteEntry(const std::shared_ptr<GDataEntryBase>& entry,
                                                      const GDataServiceDelegate& delegate) {
    auto editURL = editURLOfEntry(entry);
    QV_ASSERT(editURL.has_value(),
              std::string("deleting uneditable entry: ") + (entry ? entry->description() : std::string("(null)")));
    auto ticket = deleteURL(editURL, entry ? entry->ETag() : std::nullopt, delegate, nullptr);
    if (ticket) ticket->setPostedObject(entry);
    return ticket;
}

GDataServiceTicketPtr GDataServiceGoogle::deleteEntry(const std::shared_ptr<GDataEntryBase>& entry,
                                                      const GDataServiceCompletionHandler& handler) {
    return deleteURL(editURLOfEntry(entry), entry ? entry->ETag() : std::nullopt, GDataServiceDelegate(), handler);
}

GDataServiceTicketPtr GDataServiceGoogle::deleteResourceURL(const std::optional<URL>& resourceURL,
                                                            const std::optional<std::string>& ETag,
                                                            const GDataServiceDelegate& delegate) {
    return deleteURL(resourceURL, ETag, delegate, nullptr);
}

GDataServiceTicketPtr GDataServiceGoogle::deleteResourceURL(const std::optional<URL>& resourceURL,
                                                            const std::optional<std::string>& ETag,
                                                            const GDataServiceCompletionHandler& handler) {
    return deleteURL(resourceURL, ETag, GDataServiceDelegate(), handler);
}

// --- batch ---

GDataServiceTicketPtr GDataServiceGoogle::fetchFeedWithBatchFeed(const std::shared_ptr<GDataFeedBase>& batchFeed,
                                                                 const URL& batchFeedURL,
                                                                 const GDataServiceDelegate& delegate,
                                                                 const GDataServiceCompletionHandler& handler) {
    if (!QV_ASSERT(batchFeed != nullptr, "posting no batch feed")) return nullptr;
    addBatchNamespacesIfMissing(*batchFeed);
    auto ticket = fetchAuthenticatedObjectWithURL(batchFeedURL, &batchFeed->classInfo(), batchFeed, std::nullopt,
                                                  std::nullopt, delegate, handler);
    if (ticket) ticket->setShouldFeedsIgnoreUnknowns(false);
    return ticket;
}

// --- access control ---

GDataServiceTicketPtr GDataServiceGoogle::fetchACLFeedWithURL(const URL& feedURL, const GDataServiceDelegate& delegate) {
    return fetchFeedWithURL(feedURL, delegate);
}

GDataServiceTicketPtr GDataServiceGoogle::fetchACLEntryByInsertingEntry(const std::shared_ptr<GDataEntryACL>& entry,
                                                                        const URL& feedURL,
                                                                        const GDataServiceDelegate& delegate) {
    if (entry && entry->namespaces().empty()) entry->setNamespaces(GDataEntryACL::ACLNamespaces());
    return fetchEntryByInsertingEntry(entry, feedURL, delegate);
}

GDataServiceTicketPtr GDataServiceGoogle::fetchACLEntryByUpdatingEntry(const std::shared_ptr<GDataEntryACL>& entry,
                                                                       const GDataServiceDelegate& delegate) {
    if (entry && entry->namespaces().empty()) entry->setNamespaces(GDataEntryACL::ACLNamespaces());
    return fetchEntryByUpdatingEntry(std::static_pointer_cast<GDataEntryBase>(entry), delegate);
}

GDataServiceTicketPtr GDataServiceGoogle::fetchACLEntryByUpdatingEntry(const std::shared_ptr<GDataEntryACL>& entry,
                                                                       const std::optional<URL>& entryURL,
                                                                       const GDataServiceDelegate& delegate) {
    if (entry && entry->namespaces().empty()) entry->setNamespaces(GDataEntryACL::ACLNamespaces());
    return fetchEntryByUpdatingEntry(std::static_pointer_cast<GDataEntryBase>(entry), entryURL, delegate);
}

GDataServiceTicketPtr GDataServiceGoogle::deleteACLEntry(const std::shared_ptr<GDataEntryACL>& entry,
                                                         const GDataServiceDelegate& delegate) {
    return deleteEntry(std::static_pointer_cast<GDataEntryBase>(entry), delegate);
}

void GDataServiceGoogle::setAuthorizer(std::shared_ptr<QNFetcherAuthorizationProtocol> authorizer) {
    if (auto oauth = std::dynamic_pointer_cast<QNOAuth2Authentication>(authorizer)) {
        if (auto root = serviceRootURLString())
            if (auto url = platform::URL::URLWithString(*root)) oauth->addAuthorizedOrigin(*url);
    }
    GDataServiceBase::setAuthorizer(std::move(authorizer));
}

}  // namespace quorvane
