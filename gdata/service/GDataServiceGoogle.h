#pragma once
// GDataServiceGoogle: the layer between GDataServiceBase and a concrete provider service. It
// offers the named operations (fetch a feed or an entry, insert, update, delete, post a batch
// feed), each with a delegate callback or a completion handler, adds the provider's
// "Authorization" header when a legacy account token is held, and can send writes as POST with a
// method-override header. Requests are otherwise signed by the fetcher service's authorizer
// (OAuth2 bearer tokens).
//
// Account sign-in by user name and password is not available in this build: a call made while a
// user name is set and no account token is held ends with the error
// kGDataServiceErrorSignInImpossible instead of signing in.
//
// GDataServiceTicket is the ticket these services hand out.

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "gdata/GDataEntryACL.h"
#include "gdata/GDataEntryBase.h"
#include "gdata/GDataFeedBase.h"
#include "gdata/service/GDataQuery.h"
#include "gdata/service/GDataServiceBase.h"
#include "platform/foundation/Date.h"

namespace quorvane {

class GDataServiceGoogle;

class GDataServiceTicket : public GDataServiceTicketBase {
public:
    static std::shared_ptr<GDataServiceTicket> ticketForService(const std::shared_ptr<GDataServiceBase>& service);
    // Also copies the service's account token and credential date.
    void initWithService(const std::shared_ptr<GDataServiceBase>& service) override;

    const char* className() const override { return "GDataServiceTicket"; }
    // "GDataServiceTicket 0x...: {service:... objectFetcher:... authorizer:...}" with an
    // authorizer, else "... authFetcher:...}".
    std::string description() const override;
    // Stops an account sign-in the ticket waits for, then cancels as the base does.
    void cancelTicket() override;

    const std::shared_ptr<QNSessionFetcher>& authFetcher() const { return authFetcher_; }
    void setAuthFetcher(std::shared_ptr<QNSessionFetcher> fetcher) { authFetcher_ = std::move(fetcher); }
    const std::optional<std::string>& authToken() const { return authToken_; }
    void setAuthToken(std::optional<std::string> token) { authToken_ = std::move(token); }
    const std::optional<platform::Date>& credentialDate() const { return credentialDate_; }
    void setCredentialDate(std::optional<platform::Date> date) { credentialDate_ = std::move(date); }

private:
    std::shared_ptr<QNSessionFetcher> authFetcher_;
    std::optional<std::string> authToken_;
    std::optional<platform::Date> credentialDate_;
};

// The account type and the provider's account sign-in host when none is set.
inline constexpr const char* kGDataDefaultAccountType = "HOSTED_OR_GOOGLE";
inline constexpr const char* kGDataDefaultSignInDomain = "www.google.com";

// A call waiting for the account sign-in; run() makes it for real. mayRepeat is the call's
// retry-invocation argument: a call repeated after a refused token is not repeated again.
struct GDataServiceInvocation {
    GDataServiceTicketPtr ticket;
    GDataServiceDelegate delegate;
    GDataServiceCompletionHandler completionHandler;
    std::function<GDataServiceTicketPtr(const std::shared_ptr<GDataServiceInvocation>& self)> run;
    bool mayRepeat = true;
};
using GDataServiceInvocationPtr = std::shared_ptr<GDataServiceInvocation>;

// The end of a sign-in without a call: (ticket or nothing, error).
using GDataServiceAuthenticationCallback =
    std::function<void(const GDataServiceTicketPtr& ticket, const std::optional<platform::Error>& error)>;

class GDataServiceGoogle : public GDataServiceBase {
public:
    const char* className() const override { return "GDataServiceGoogle"; }

    // --- class values ---
    GDataServiceTicketPtr makeTicket() override;
    // The service's identifier at the account sign-in ("cp" for contacts); none here.
    virtual std::optional<std::string> defaultServiceID() const { return std::nullopt; }
    virtual std::optional<std::string> serviceRootURLString() const { return std::nullopt; }
    // The class's service root.
    virtual std::optional<std::string> authorizationScope() const { return serviceRootURLString(); }
    // The namespaces an inserted or updated entry without any of its own is given.
    virtual GDataStringDictionary standardServiceNamespaces() const { return GDataEntryBase::baseGDataNamespaces(); }
    // Extra headers of the sign-in request: none.
    virtual std::optional<std::map<std::string, std::string>> customAuthenticationRequestHeaders() const {
        return std::nullopt;
    }

    // Also lets an OAuth2 authorizer sign requests to the service root's host.
    void setAuthorizer(std::shared_ptr<QNFetcherAuthorizationProtocol> authorizer) override;
    // Nothing: the account's password goes to the account sign-in endpoint only (its own
    // fetcher carries it); the service's requests carry the token the sign-in gave.
    void addAuthenticationToFetcher(const std::shared_ptr<QNSessionFetcher>&) const override {}

    // --- settings ---
    const std::optional<std::string>& captchaToken() const { return captchaToken_; }
    void setCaptchaToken(std::optional<std::string> v) { captchaToken_ = std::move(v); }
    const std::optional<std::string>& captchaAnswer() const { return captchaAnswer_; }
    void setCaptchaAnswer(std::optional<std::string> v) { captchaAnswer_ = std::move(v); }
    const std::optional<std::string>& authToken() const { return authToken_; }
    void setAuthToken(std::optional<std::string> v) { authToken_ = std::move(v); }
    const std::optional<std::string>& authSubToken() const { return authSubToken_; }
    void setAuthSubToken(std::optional<std::string> v) { authSubToken_ = std::move(v); }
    // "HOSTED_OR_GOOGLE" when unset.
    std::string accountType() const;
    void setAccountType(std::optional<std::string> v) { accountType_ = std::move(v); }
    // The provider's account sign-in host when unset.
    std::string signInDomain() const;
    void setSignInDomain(std::optional<std::string> v) { signInDomain_ = std::move(v); }
    // The stored one, else the class's; a service whose class has none is a programming error.
    std::optional<std::string> serviceID() const;
    void setServiceID(std::optional<std::string> v) { serviceID_ = std::move(v); }
    const std::shared_ptr<QNSessionFetcher>& pendingAuthFetcher() const { return pendingAuthFetcher_; }
    void setPendingAuthFetcher(std::shared_ptr<QNSessionFetcher> f) { pendingAuthFetcher_ = std::move(f); }
    const std::optional<platform::Date>& credentialDate() const { return credentialDate_; }
    void setCredentialDate(std::optional<platform::Date> d) { credentialDate_ = std::move(d); }
    bool shouldUseMethodOverrideHeader() const { return shouldUseMethodOverrideHeader_; }
    void setShouldUseMethodOverrideHeader(bool flag) { shouldUseMethodOverrideHeader_ = flag; }

    // New credentials forget the token of the old ones (and the authorizer, for a user name)
    // and record the date of the change; the same ones again change nothing.
    void setUserCredentialsWithUsername(std::optional<std::string> username,
                                        std::optional<std::string> password) override;
    void setCaptchaToken(std::optional<std::string> token, std::optional<std::string> answer) {
        captchaToken_ = std::move(token);
        captchaAnswer_ = std::move(answer);
    }

    // --- account sign-in by user name and password ---
    // One sign-in fetch serves every call made while no token is held, in the order they were
    // made; a call refused with 401 or 403 on a token whose credentials have not changed since
    // is repeated once behind a new sign-in.
    // The sign-in request for the service's settings; nullptr without user name or password.
    std::shared_ptr<QNSessionFetcher> authenticationFetcher();
    // The sign-in request itself: https (http for a "localhost:" domain) to
    // <domain>/accounts/ClientLogin with the form of the credentials; nullptr without user name
    // or password.
    static std::shared_ptr<QNSessionFetcher> authTokenFetcherWithUsername(
        const std::optional<std::string>& username, const std::optional<std::string>& password,
        const std::optional<std::string>& service, const std::optional<std::string>& source,
        const std::optional<std::string>& signInDomain, const std::optional<std::string>& accountType,
        const std::map<std::string, std::string>& additionalParameters,
        const std::optional<std::map<std::string, std::string>>& customHeaders);
    // Queues the call behind the running sign-in, or starts one; nullptr when no sign-in could
    // be made (the call has then been told).
    GDataServiceTicketPtr deferUntilAuthenticationForInvocation(const GDataServiceInvocationPtr& invocation);
    GDataServiceTicketPtr authenticateThenInvoke(const GDataServiceInvocationPtr& invocation);
    // A sign-in with no call behind it.
    GDataServiceTicketPtr authenticateWithDelegate(GDataServiceAuthenticationCallback didAuthenticate);
    // Takes the ticket's call off its sign-in; the last one leaving stops the sign-in.
    void stopAuthenticationForTicket(const GDataServiceTicketPtr& ticket);
    // The error of a refused sign-in: the service's domain, the HTTP status, the answer's
    // "Error", "Info" (as the failure reason) and its captcha URL made absolute ("CaptchaFullUrl").
    platform::Error errorForAuthFetcherStatus(int64_t status, const std::optional<platform::Bytes>& data) const;
    static platform::Error cannotCreateAuthFetcherError();
    // Repeats the call behind a new sign-in after a 401 or 403.
    void objectFetcherFinished(const std::shared_ptr<QNSessionFetcher>& fetcher, std::optional<platform::Bytes> data,
                               const std::optional<platform::Error>& error) override;

    // The base request, then the method override and the account token's "Authorization".
    platform::URLRequest requestForURL(const platform::URL& url, const std::optional<std::string>& ETag,
                                       const std::optional<std::string>& httpMethod,
                                       const GDataServiceTicketPtr& ticket) override;
    using GDataServiceBase::requestForURL;

    // Every named operation ends here.
    GDataServiceTicketPtr fetchAuthenticatedObjectWithURL(const std::optional<platform::URL>& url,
                                                          const GDataClassInfo* objectClass,
                                                          const GDataObjectPtr& objectToPost,
                                                          const std::optional<std::string>& ETag,
                                                          const std::optional<std::string>& httpMethod,
                                                          const GDataServiceDelegate& delegate,
                                                          const GDataServiceCompletionHandler& completionHandler);

    // --- feeds (class nullptr: chosen from the answer's XML) ---
    GDataServiceTicketPtr fetchFeedWithURL(const platform::URL& feedURL, const GDataServiceDelegate& delegate);
    GDataServiceTicketPtr fetchFeedWithURL(const platform::URL& feedURL, const GDataServiceCompletionHandler& handler);
    GDataServiceTicketPtr fetchFeedWithURL(const platform::URL& feedURL, const GDataClassInfo& feedClass,
                                           const GDataServiceDelegate& delegate);
    GDataServiceTicketPtr fetchFeedWithURL(const platform::URL& feedURL, const GDataClassInfo& feedClass,
                                           const std::optional<std::string>& ETag,
                                           const GDataServiceDelegate& delegate);
    GDataServiceTicketPtr fetchFeedWithQuery(const GDataQuery& query, const GDataServiceDelegate& delegate);
    GDataServiceTicketPtr fetchFeedWithQuery(const GDataQuery& query, const GDataServiceCompletionHandler& handler);
    GDataServiceTicketPtr fetchFeedWithQuery(const GDataQuery& query, const GDataClassInfo& feedClass,
                                             const GDataServiceDelegate& delegate);

    // --- entries ---
    GDataServiceTicketPtr fetchEntryWithURL(const platform::URL& entryURL, const GDataServiceDelegate& delegate);
    GDataServiceTicketPtr fetchEntryWithURL(const platform::URL& entryURL, const GDataServiceCompletionHandler& handler);
    GDataServiceTicketPtr fetchEntryWithURL(const platform::URL& entryURL, const GDataClassInfo& entryClass,
                                            const GDataServiceDelegate& delegate);
    GDataServiceTicketPtr fetchEntryWithURL(const platform::URL& entryURL, const GDataClassInfo& entryClass,
                                            const GDataServiceCompletionHandler& handler);
    GDataServiceTicketPtr fetchEntryWithURL(const platform::URL& entryURL, const GDataClassInfo& entryClass,
                                            const std::optional<std::string>& ETag,
                                            const GDataServiceDelegate& delegate);

    // POST of the entry to the feed.
    GDataServiceTicketPtr fetchEntryByInsertingEntry(const std::shared_ptr<GDataEntryBase>& entry,
                                                     const platform::URL& feedURL,
                                                     const GDataServiceDelegate& delegate);
    GDataServiceTicketPtr fetchEntryByInsertingEntry(const std::shared_ptr<GDataEntryBase>& entry,
                                                     const platform::URL& feedURL,
                                                     const GDataServiceCompletionHandler& handler);
    // PUT (PATCH with a field selection) of the entry to its edit link or the given URL.
    GDataServiceTicketPtr fetchEntryByUpdatingEntry(const std::shared_ptr<GDataEntryBase>& entry,
                                                    const GDataServiceDelegate& delegate);
    GDataServiceTicketPtr fetchEntryByUpdatingEntry(const std::shared_ptr<GDataEntryBase>& entry,
                                                    const GDataServiceCompletionHandler& handler);
    GDataServiceTicketPtr fetchEntryByUpdatingEntry(const std::shared_ptr<GDataEntryBase>& entry,
                                                    const std::optional<platform::URL>& entryURL,
                                                    const GDataServiceDelegate& delegate);
    GDataServiceTicketPtr fetchEntryByUpdatingEntry(const std::shared_ptr<GDataEntryBase>& entry,
                                                    const std::optional<platform::URL>& entryURL,
                                                    const GDataServiceCompletionHandler& handler);
    // DELETE of the entry's edit link with its ETag. The delegate form keeps the entry as the
    // ticket's posted object.
    GDataServiceTicketPtr deleteEntry(const std::shared_ptr<GDataEntryBase>& entry,
                                      const GDataServiceDelegate& delegate);
    GDataServiceTicketPtr deleteEntry(const std::shared_ptr<GDataEntryBase>& entry,
                                      const GDataServiceCompletionHandler& handler);
    GDataServiceTicketPtr deleteResourceURL(const std::optional<platform::URL>& resourceURL,
                                            const std::optional<std::string>& ETag,
                                            const GDataServiceDelegate& delegate);
    GDataServiceTicketPtr deleteResourceURL(const std::optional<platform::URL>& resourceURL,
                                            const std::optional<std::string>& ETag,
                                            const GDataServiceCompletionHandler& handler);

    // --- batch ---
    // Posts the batch feed; the answer keeps every element (no unknowns are dropped).
    GDataServiceTicketPtr fetchFeedWithBatchFeed(const std::shared_ptr<GDataFeedBase>& batchFeed,
                                                 const platform::URL& batchFeedURL,
                                                 const GDataServiceDelegate& delegate,
                                                 const GDataServiceCompletionHandler& handler);
    GDataServiceTicketPtr fetchFeedWithBatchFeed(const std::shared_ptr<GDataFeedBase>& batchFeed,
                                                 const platform::URL& batchFeedURL,
                                                 const GDataServiceDelegate& delegate) {
        return fetchFeedWithBatchFeed(batchFeed, batchFeedURL, delegate, nullptr);
    }
    GDataServiceTicketPtr fetchFeedWithBatchFeed(const std::shared_ptr<GDataFeedBase>& batchFeed,
                                                 const platform::URL& batchFeedURL,
                                                 const GDataServiceCompletionHandler& handler) {
        return fetchFeedWithBatchFeed(batchFeed, batchFeedURL, GDataServiceDelegate(), handler);
    }

    // --- access-control conveniences ---
    GDataServiceTicketPtr fetchACLFeedWithURL(const platform::URL& feedURL, const GDataServiceDelegate& delegate);
    GDataServiceTicketPtr fetchACLEntryByInsertingEntry(const std::shared_ptr<GDataEntryACL>& entry,
                                                        const platform::URL& feedURL,
                                                        const GDataServiceDelegate& delegate);
    GDataServiceTicketPtr fetchACLEntryByUpdatingEntry(const std::shared_ptr<GDataEntryACL>& entry,
                                                       const GDataServiceDelegate& delegate);
    GDataServiceTicketPtr fetchACLEntryByUpdatingEntry(const std::shared_ptr<GDataEntryACL>& entry,
                                                       const std::optional<platform::URL>& entryURL,
                                                       const GDataServiceDelegate& delegate);
    GDataServiceTicketPtr deleteACLEntry(const std::shared_ptr<GDataEntryACL>& entry,
                                         const GDataServiceDelegate& delegate);

    // Gives an object without namespace declarations the service's standard ones.
    void addNamespacesIfNoneToObject(const GDataObjectPtr& object) const;

private:
    static void addDependentInvocation(const GDataServiceInvocationPtr& invocation,
                                       const std::shared_ptr<QNSessionFetcher>& authFetcher);
    void authFetcherFinished(const std::shared_ptr<QNSessionFetcher>& fetcher, const std::optional<platform::Bytes>& data);
    void authFetcherFailed(const std::shared_ptr<QNSessionFetcher>& fetcher, platform::Error error,
                           const std::optional<platform::Bytes>& data);
    bool authFetcherWillRetry(const std::shared_ptr<QNSessionFetcher>& fetcher, bool suggestedWillRetry,
                              const std::optional<platform::Error>& error);
    GDataServiceTicketPtr repeatAfterRefusedToken(const GDataServiceInvocationPtr& invocation);

    GDataServiceTicketPtr insertEntry(const std::shared_ptr<GDataEntryBase>& entry, const platform::URL& feedURL,
                                      const GDataServiceDelegate& delegate,
                                      const GDataServiceCompletionHandler& handler);
    GDataServiceTicketPtr updateEntry(const std::shared_ptr<GDataEntryBase>& entry,
                                      const std::optional<platform::URL>& entryURL,
                                      const GDataServiceDelegate& delegate,
                                      const GDataServiceCompletionHandler& handler);
    GDataServiceTicketPtr deleteURL(const std::optional<platform::URL>& url, const std::optional<std::string>& ETag,
                                    const GDataServiceDelegate& delegate,
                                    const GDataServiceCompletionHandler& handler);
    static std::optional<platform::URL> editURLOfEntry(const std::shared_ptr<GDataEntryBase>& entry);

    std::optional<std::string> captchaToken_;
    std::optional<std::string> captchaAnswer_;
    std::optional<std::string> authToken_;
    std::optional<std::string> authSubToken_;
    std::optional<std::string> accountType_;
    std::optional<std::string> signInDomain_;
    std::optional<std::string> serviceID_;
    std::shared_ptr<QNSessionFetcher> pendingAuthFetcher_;
    std::optional<platform::Date> credentialDate_;
    bool shouldUseMethodOverrideHeader_ = false;
};

}  // namespace quorvane
