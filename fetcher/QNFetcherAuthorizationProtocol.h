#pragma once
// What a fetcher asks of the object that signs its requests (an OAuth2 authentication, say).
// An authorizer may be called from any thread and must lock itself.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/net/URLRequest.h"

namespace quorvane {

class QNSessionFetcherServiceProtocol;

class QNFetcherAuthorizationProtocol {
public:
    virtual ~QNFetcherAuthorizationProtocol() = default;

    // Called once, on any thread, with the request it was given (now signed) and the error when
    // signing failed.
    using AuthorizationCompletion =
        std::function<void(const std::shared_ptr<platform::URLRequest>& request, const std::optional<platform::Error>& error)>;

    // Signs the request in place, refreshing the credentials first when needed; the request
    // object's identity is what isAuthorizingRequest and stopAuthorizationForRequest look for.
    virtual void authorizeRequest(const std::shared_ptr<platform::URLRequest>& request, AuthorizationCompletion completion) = 0;
    // Forgets every waiting call; no completion follows.
    virtual void stopAuthorization() = 0;
    // Forgets the waiting call that holds this very request; its completion never comes.
    virtual void stopAuthorizationForRequest(const std::shared_ptr<platform::URLRequest>& request) = 0;
    virtual bool isAuthorizingRequest(const std::shared_ptr<platform::URLRequest>& request) const = 0;
    virtual bool isAuthorizedRequest(const platform::URLRequest& request) const = 0;
    // The signed-in account's address, when there is one.
    virtual std::optional<std::string> userEmail() const = 0;

    // Optional parts, with the answers of an authorizer that lacks them.
    // Makes the next authorization fetch fresh credentials; nullopt when the authorizer has no
    // such notion, false when it cannot (no refresh credential).
    virtual std::optional<bool> primeForRefresh() { return std::nullopt; }
    // The fetcher service the authorizer makes its own fetches with (not owned).
    virtual std::shared_ptr<QNSessionFetcherServiceProtocol> fetcherService() const { return nullptr; }
    virtual void setFetcherService(const std::weak_ptr<QNSessionFetcherServiceProtocol>&) {}
};

}  // namespace quorvane
