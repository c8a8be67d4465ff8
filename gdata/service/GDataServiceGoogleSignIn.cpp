// GDataServiceGoogle: signing in with the account's user name and password. Calls made while
// no token is held wait on one sign-in fetch and run in order when its token arrives; a call
// refused with 401 or 403 on a token whose credentials have not changed is repeated once behind
// a new sign-in.

#include <algorithm>

#include "fetcher/QNSessionFetcherService.h"
#include "gdata/GDataUtilities.h"
#include "gdata/service/GDataServiceGoogle.h"
#include "oauth2/QNOAuth2Authentication.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

using platform::Bytes;
using platform::Error;
using platform::URL;
using platform::URLRequest;
using platform::Value;

namespace {

bool isEmpty(const std::optional<std::string>& s) { return !s || s->empty(); }

using InvocationList = std::vector<GDataServiceInvocationPtr>;

std::shared_ptr<InvocationList> invocationsOf(const std::shared_ptr<QNSessionFetcher>& fetcher) {
    return GDataFetcherRecordOf(fetcher).waitingInvocations;
}

std::shared_ptr<GDataServiceTicket> googleTicket(const GDataServiceTicketPtr& ticket) {
    return std::dynamic_pointer_cast<GDataServiceTicket>(ticket);
}

// The end of a call that never reached the network: its callbacks, then its ticket's record.
void reportToInvocation(const GDataServiceInvocationPtr& invocation, const Error& error) {
    const auto& ticket = invocation->ticket;
    if (invocation->delegate) invocation->delegate.didFinish(ticket, nullptr, error);
    if (invocation->completionHandler) invocation->completionHandler(ticket, nullptr, error);
    ticket->setFetchError(error);
    ticket->setHasCalledCallback(true);
    ticket->setCurrentFetcher(nullptr);
    if (auto google = googleTicket(ticket)) google->setAuthFetcher(nullptr);
}

}  // namespace

// --- credentials ---

void GDataServiceGoogle::setUserCredentialsWithUsername(std::optional<std::string> username,
                                                        std::optional<std::string> password) {
    bool same = username == this->username() && password == this->password();
    if (!same) {
        authToken_.reset();
        authSubToken_.reset();
        pendingAuthFetcher_.reset();
        credentialDate_ = platform::Date::now();
        if (!isEmpty(username)) GDataServiceBase::setAuthorizer(nullptr);
    }
    GDataServiceBase::setUserCredentialsWithUsername(std::move(username), std::move(password));
}

// --- the call path ---

GDataServiceTicketPtr GDataServiceGoogle::fetchAuthenticatedObjectWithURL(
    const std::optional<URL>& url, const GDataClassInfo* objectClass, const GDataObjectPtr& objectToPost,
    const std::optional<std::string>& ETag, const std::optional<std::string>& httpMethod,
    const GDataServiceDelegate& delegate, const GDataServiceCompletionHandler& completionHandler) {
    auto ticket = makeTicket();
    if (objectToPost) ticket->setPostedObject(objectToPost);

    auto invocation = std::make_shared<GDataServiceInvocation>();
    invocation->ticket = ticket;
    invocation->delegate = delegate;
    invocation->completionHandler = completionHandler;
    std::weak_ptr<GDataServiceGoogle> weak = std::static_pointer_cast<GDataServiceGoogle>(shared_from_this());
    invocation->run = [weak, url, objectClass, objectToPost, ETag, httpMethod](const GDataServiceInvocationPtr& self) {
        auto service = weak.lock();
        if (!service) return GDataServiceTicketPtr();
        GDataServiceRetryInvocation repeat;
        if (self->mayRepeat) {
            // Held by the fetcher's properties for as long as the fetch runs.
            repeat = [weak, self]() -> GDataServiceTicketPtr {
                auto s = weak.lock();
                return s ? s->repeatAfterRefusedToken(self) : nullptr;
            };
        }
        return service->fetchObjectWithURL(url, objectClass, objectToPost, ETag, httpMethod, self->delegate,
                                           self->completionHandler, repeat, self->ticket);
    };

    if (!isEmpty(username())) {
        auto google = googleTicket(ticket);
        bool hasToken = (google && !isEmpty(google->authToken())) || !isEmpty(authSubToken_);
        if (!hasToken) return deferUntilAuthenticationForInvocation(invocation);
    }
    return invocation->run(invocation);
}

GDataServiceTicketPtr GDataServiceGoogle::repeatAfterRefusedToken(const GDataServiceInvocationPtr& invocation) {
    auto ticket = googleTicket(invocation->ticket);
    // Nothing to sign in again with (requests signed by an authorizer, or no password): the
    // refusal stands, and the call ends with it.
    if (!ticket || isEmpty(username()) || isEmpty(password())) return nullptr;
    ticket->setAuthToken(std::nullopt);
    invocation->mayRepeat = false;
    // Credentials changed since the call began: the refusal stands.
    if (credentialDate_ != ticket->credentialDate()) return nullptr;
    deferUntilAuthenticationForInvocation(invocation);
    return invocation->ticket;
}

void GDataServiceGoogle::objectFetcherFinished(const std::shared_ptr<QNSessionFetcher>& fetcher, std::optional<Bytes> data,
                                               const std::optional<Error>& error) {
    // Only a refusal of the request that carried the token says the token is stale: one that
    // lost it on a redirect to another origin was refused by a server the token never reached.
    auto request = fetcher ? fetcher->request() : std::nullopt;
    bool carriedToken = request && request->valueForHTTPHeaderField("Authorization");
    if (error && error->domain == QNSessionFetcherStatusDomain && (error->code == 401 || error->code == 403) &&
        carriedToken) {
        // Taken out of the context first: repeating the call gives the ticket a new one.
        if (auto call = GDataFetcherCallForFetcher(fetcher); call && call.context->retryInvocation) {
            GDataServiceRetryInvocation repeat = std::move(call.context->retryInvocation);
            call.context->retryInvocation = nullptr;
            if (repeat()) return;
        }
    }
    GDataServiceBase::objectFetcherFinished(fetcher, std::move(data), error);
}

// --- the sign-in fetch ---

Error GDataServiceGoogle::cannotCreateAuthFetcherError() {
    return Error(kGDataServiceErrorDomain, kGDataServiceErrorSignInImpossible,
                 Value::dictionary({{"error", Value("empty username/password")}}));
}

std::shared_ptr<QNSessionFetcher> GDataServiceGoogle::authTokenFetcherWithUsername(
    const std::optional<std::string>& username, const std::optional<std::string>& password,
    const std::optional<std::string>& service, const std::optional<std::string>& source,
    const std::optional<std::string>& signInDomain, const std::optional<std::string>& accountType,
    const std::map<std::string, std::string>& additionalParameters,
    const std::optional<std::map<std::string, std::string>>& customHeaders) {
    if (isEmpty(username) || isEmpty(password)) return nullptr;
    std::string domain = isEmpty(signInDomain) ? kGDataDefaultSignInDomain : *signInDomain;
    std::string scheme = platform::hasPrefix(domain, "localhost:") ? "http" : "https";
    auto url = URL::URLWithString(scheme + "://" + domain + "/accounts/ClientLogin");
    URLRequest request(url, URLRequest::CachePolicy::ReloadIgnoringLocalCacheData, 60);
    request.setValue("application/x-www-form-urlencoded", "Content-Type");
    if (customHeaders)
        for (const auto& [name, value] : *customHeaders) request.setValue(value, name);

    auto encode = [](const std::optional<std::string>& s) {
        return QNOAuth2Authentication::encodedOAuthValueForString(s.value_or(""));
    };
    std::string body = "Email=" + encode(username) + "&Passwd=" + encode(password) + "&source=" + encode(source) +
                       "&service=" + encode(service) + "&accountType=" + encode(accountType.value_or(kGDataDefaultAccountType));
    for (const auto& [name, value] : additionalParameters) body += "&" + name + "=" + encode(value);

    auto fetcher = QNSessionFetcher::fetcherWithRequest(request);
    fetcher->setBodyData(Bytes(body.begin(), body.end()));
    // The password travels in the body: it never follows a redirect, nor reaches a notification.
    fetcher->setSecretExchange(true);
    fetcher->setCredential(
        platform::URLCredential::credentialWithUser(*username, *password, platform::URLCredentialPersistence::ForSession));
    fetcher->setRetryEnabled(true);
    return fetcher;
}

std::shared_ptr<QNSessionFetcher> GDataServiceGoogle::authenticationFetcher() {
    std::map<std::string, std::string> parameters;
    if (!isEmpty(captchaToken_) && !isEmpty(captchaAnswer_)) {
        parameters["logintoken"] = *captchaToken_;
        parameters["logincaptcha"] = *captchaAnswer_;
    }
    std::optional<std::string> source = userAgent();
    if (isEmpty(source)) source = defaultApplicationIdentifier();
    auto fetcher = authTokenFetcherWithUsername(username(), password(), serviceID(), source, signInDomain_, accountType_,
                                                parameters, customAuthenticationRequestHeaders());
    if (!fetcher) return nullptr;
    if (auto service = fetcherService()) {
        fetcher->setAllowedInsecureSchemes(service->allowedInsecureSchemes().value_or(std::vector<std::string>()));
        fetcher->setAllowLocalhostRequest(service->allowLocalhostRequest());
    }
    fetcher->setRetryEnabled(isServiceRetryEnabled());
    fetcher->setMaxRetryInterval(serviceMaxRetryInterval());
    return fetcher;
}

void GDataServiceGoogle::addDependentInvocation(const GDataServiceInvocationPtr& invocation,
                                                const std::shared_ptr<QNSessionFetcher>& authFetcher) {
    GDataFetcherRecord record = GDataFetcherRecordOf(authFetcher);
    if (!record.waitingInvocations) {
        record.waitingInvocations = std::make_shared<InvocationList>();
        setGDataFetcherRecord(authFetcher, record);
    }
    record.waitingInvocations->push_back(invocation);
}

GDataServiceTicketPtr GDataServiceGoogle::deferUntilAuthenticationForInvocation(const GDataServiceInvocationPtr& invocation) {
    if (auto pending = pendingAuthFetcher_) {
        addDependentInvocation(invocation, pending);
        if (auto ticket = googleTicket(invocation->ticket)) ticket->setAuthFetcher(pending);
        invocation->ticket->setCurrentFetcher(pending);
        return invocation->ticket;
    }
    return authenticateThenInvoke(invocation);
}

GDataServiceTicketPtr GDataServiceGoogle::authenticateThenInvoke(const GDataServiceInvocationPtr& invocation) {
    auto fetcher = authenticationFetcher();
    if (!fetcher) {
        reportToInvocation(invocation, cannotCreateAuthFetcherError());
        return nullptr;
    }
    addDependentInvocation(invocation, fetcher);
    setGDataTicket(fetcher, invocation->ticket);
    auto self = std::static_pointer_cast<GDataServiceGoogle>(shared_from_this());
    std::weak_ptr<GDataServiceGoogle> weak = self;
    std::weak_ptr<QNSessionFetcher> weakFetcher = fetcher;
    if (invocation->ticket->retrySelector()) {
        fetcher->setRetryBlock([weak, weakFetcher](bool suggested, const std::optional<Error>& error,
                                                   QNSessionFetcher::RetryResponse response) {
            auto service = weak.lock();
            auto f = weakFetcher.lock();
            response(service && f ? service->authFetcherWillRetry(f, suggested, error) : suggested);
        });
    }
    if (auto ticket = googleTicket(invocation->ticket)) ticket->setAuthFetcher(fetcher);
    invocation->ticket->setCurrentFetcher(fetcher);
    pendingAuthFetcher_ = fetcher;
    fetcher->setComment("API authentication");
    fetcher->beginFetchWithCompletionHandler([self, weakFetcher](const std::optional<Bytes>& data,
                                                                 const std::optional<Error>& error) {
        auto f = weakFetcher.lock();
        if (!f) return;
        if (error) self->authFetcherFailed(f, *error, data);
        else self->authFetcherFinished(f, data);
    });
    return invocation->ticket;
}

void GDataServiceGoogle::authFetcherFinished(const std::shared_ptr<QNSessionFetcher>& fetcher,
                                             const std::optional<Bytes>& data) {
    std::optional<std::string> token;
    if (data)
        if (auto answer = GDataUtilities::dictionaryWithResponseData(*data))
            if (auto it = answer->find("Auth"); it != answer->end() && !it->second.empty()) token = it->second;
    if (!token) {
        // An answer without a token is a refusal.
        Value info = Value::dictionary();
        if (data) info.set(QNSessionFetcherStatusDataUserInfoKey, *data);
        authFetcherFailed(fetcher, Error(QNSessionFetcherStatusDomain, 403, info), data);
        return;
    }
    if (pendingAuthFetcher_ == fetcher) {
        authToken_ = token;
        pendingAuthFetcher_.reset();
    }
    auto list = invocationsOf(fetcher);
    releaseGDataFetcher(fetcher);
    if (!list) return;
    for (const auto& invocation : *list) {
        invocation->ticket->setCurrentFetcher(nullptr);
        if (auto ticket = googleTicket(invocation->ticket)) {
            ticket->setAuthToken(token);
            ticket->setAuthFetcher(nullptr);
        }
        invocation->run(invocation);
    }
}

void GDataServiceGoogle::authFetcherFailed(const std::shared_ptr<QNSessionFetcher>& fetcher, Error error,
                                           const std::optional<Bytes>& data) {
    if (pendingAuthFetcher_ == fetcher) {
        authToken_.reset();
        pendingAuthFetcher_.reset();
    }
    if (error.domain == QNSessionFetcherStatusDomain) error = errorForAuthFetcherStatus(error.code, data);
    auto list = invocationsOf(fetcher);
    releaseGDataFetcher(fetcher);
    if (!list) return;
    for (const auto& invocation : *list) reportToInvocation(invocation, error);
}

bool GDataServiceGoogle::authFetcherWillRetry(const std::shared_ptr<QNSessionFetcher>& fetcher, bool suggestedWillRetry,
                                              const std::optional<Error>& error) {
    if (auto list = invocationsOf(fetcher)) {
        for (const auto& invocation : *list) {
            if (const auto& selector = invocation->ticket->retrySelector())
                return invokeRetrySelector(selector, invocation->ticket, suggestedWillRetry, error);
        }
    }
    return suggestedWillRetry;
}

Error GDataServiceGoogle::errorForAuthFetcherStatus(int64_t status, const std::optional<Bytes>& data) const {
    if (!data || data->empty()) return Error(kGDataServiceErrorDomain, status);
    Value info = Value::dictionary();
    if (auto answer = GDataUtilities::dictionaryWithResponseData(*data))
        for (const auto& [key, value] : *answer) info.set(key, Value(value));
    if (auto captcha = info["CaptchaUrl"].stringValue(); captcha && !captcha->empty()) {
        std::string full = *captcha;
        if (!platform::hasPrefix(full, "http:") && !platform::hasPrefix(full, "https:"))
            full = "https://" + signInDomain() + "/accounts/" + full;
        info.set("CaptchaFullUrl", full);
    }
    if (info.contains("Error") && !info.contains("error")) info.set("error", info["Error"]);
    if (auto reason = info["Info"].stringValue()) info.set(Error::kLocalizedFailureReasonKey, *reason);
    return Error(kGDataServiceErrorDomain, status, info);
}

void GDataServiceGoogle::stopAuthenticationForTicket(const GDataServiceTicketPtr& ticket) {
    auto google = googleTicket(ticket);
    auto fetcher = google ? google->authFetcher() : nullptr;
    if (!fetcher) return;
    if (auto list = invocationsOf(fetcher)) {
        auto it = std::find_if(list->begin(), list->end(), [&](const auto& inv) { return inv->ticket == ticket; });
        if (it != list->end()) list->erase(it);
        if (list->empty()) {
            fetcher->stopFetching();
            GDataFetcherRecord record = GDataFetcherRecordOf(fetcher);
            record.waitingInvocations.reset();
            setGDataFetcherRecord(fetcher, std::move(record));
            if (pendingAuthFetcher_ == fetcher) pendingAuthFetcher_.reset();
        }
    }
    google->setAuthFetcher(nullptr);
}

GDataServiceTicketPtr GDataServiceGoogle::authenticateWithDelegate(GDataServiceAuthenticationCallback didAuthenticate) {
    auto fetcher = authenticationFetcher();
    if (!fetcher) {
        if (didAuthenticate) didAuthenticate(nullptr, cannotCreateAuthFetcherError());
        return nullptr;
    }
    auto ticket = makeTicket();
    auto google = googleTicket(ticket);
    if (google) google->setAuthFetcher(fetcher);
    setGDataTicket(fetcher, ticket);
    fetcher->setComment("API authentication");
    auto self = std::static_pointer_cast<GDataServiceGoogle>(shared_from_this());
    std::weak_ptr<QNSessionFetcher> weakFetcher = fetcher;
    fetcher->beginFetchWithCompletionHandler([self, ticket, google, weakFetcher, didAuthenticate](
                                                 const std::optional<Bytes>& data, const std::optional<Error>& error) {
        std::optional<Error> failure = error;
        if (!error) {
            std::optional<std::string> token;
            if (data)
                if (auto answer = GDataUtilities::dictionaryWithResponseData(*data))
                    if (auto it = answer->find("Auth"); it != answer->end() && !it->second.empty()) token = it->second;
            if (token) {
                self->authToken_ = token;
                if (google) google->setAuthToken(token);
            } else {
                failure = self->errorForAuthFetcherStatus(403, data);
            }
        } else if (error->domain == QNSessionFetcherStatusDomain) {
            failure = self->errorForAuthFetcherStatus(error->code, data);
        }
        if (didAuthenticate) didAuthenticate(ticket, failure);
        if (google) google->setAuthFetcher(nullptr);
        if (auto f = weakFetcher.lock()) releaseGDataFetcher(f);
    });
    return ticket;
}

}  // namespace quorvane
