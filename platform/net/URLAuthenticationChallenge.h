#pragma once
// Authentication challenges a session hands its delegate: HTTP Basic and Digest (a 401 with
// "WWW-Authenticate"), and server trust (a TLS certificate that does not verify).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/net/ServerTrust.h"
#include "platform/net/URLResponse.h"

namespace quorvane::platform {

inline constexpr const char* kURLAuthenticationMethodDefault = "NSURLAuthenticationMethodDefault";
inline constexpr const char* kURLAuthenticationMethodHTTPBasic = "NSURLAuthenticationMethodHTTPBasic";
inline constexpr const char* kURLAuthenticationMethodHTTPDigest = "NSURLAuthenticationMethodHTTPDigest";
inline constexpr const char* kURLAuthenticationMethodServerTrust = "NSURLAuthenticationMethodServerTrust";

// How the delegate answers a challenge.
enum class URLSessionAuthChallengeDisposition : int64_t {
    UseCredential = 0,           // with the credential given
    PerformDefaultHandling = 1,  // as if there were no delegate: no credential, no trust exception
    CancelAuthenticationChallenge = 2,  // the task fails with the cancelled error
    RejectProtectionSpace = 3,   // like default handling here (no other space is offered)
};

enum class URLCredentialPersistence : uint64_t { None = 0, ForSession = 1, Permanent = 2, Synchronizable = 3 };

class URLCredential {
public:
    static URLCredential credentialWithUser(std::string user, std::string password,
                                            URLCredentialPersistence persistence = URLCredentialPersistence::ForSession);
    // Accepts the server trust of a challenge for this connection.
    static URLCredential credentialForTrust(std::shared_ptr<const ServerTrust> trust);

    const std::optional<std::string>& user() const { return user_; }
    const std::optional<std::string>& password() const { return password_; }
    bool hasPassword() const { return password_.has_value(); }
    const std::shared_ptr<const ServerTrust>& serverTrust() const { return trust_; }
    URLCredentialPersistence persistence() const { return persistence_; }

private:
    URLCredential() = default;
    std::optional<std::string> user_, password_;
    std::shared_ptr<const ServerTrust> trust_;
    URLCredentialPersistence persistence_ = URLCredentialPersistence::None;
};

class URLProtectionSpace {
public:
    URLProtectionSpace(std::string host, int port, std::optional<std::string> protocol,
                       std::optional<std::string> realm, std::string authenticationMethod,
                       std::shared_ptr<const ServerTrust> serverTrust = nullptr)
        : host_(std::move(host)),
          port_(port),
          protocol_(std::move(protocol)),
          realm_(std::move(realm)),
          method_(std::move(authenticationMethod)),
          trust_(std::move(serverTrust)) {}

    const std::string& host() const { return host_; }
    int port() const { return port_; }
    const std::optional<std::string>& protocol() const { return protocol_; }
    const std::optional<std::string>& realm() const { return realm_; }
    const std::string& authenticationMethod() const { return method_; }
    // Sessions here talk to servers directly, never through an authenticating proxy.
    bool isProxy() const { return false; }
    // The trust to evaluate, for the server-trust method.
    const std::shared_ptr<const ServerTrust>& serverTrust() const { return trust_; }
    bool receivesCredentialSecurely() const;

private:
    std::string host_;
    int port_;
    std::optional<std::string> protocol_, realm_;
    std::string method_;
    std::shared_ptr<const ServerTrust> trust_;
};

class URLAuthenticationChallenge {
public:
    URLAuthenticationChallenge(URLProtectionSpace space, std::optional<URLCredential> proposedCredential,
                               int64_t previousFailureCount, std::shared_ptr<const URLResponse> failureResponse,
                               std::optional<Error> error)
        : space_(std::move(space)),
          proposed_(std::move(proposedCredential)),
          failures_(previousFailureCount),
          failureResponse_(std::move(failureResponse)),
          error_(std::move(error)) {}

    const URLProtectionSpace& protectionSpace() const { return space_; }
    const std::optional<URLCredential>& proposedCredential() const { return proposed_; }
    // How many times this space was challenged before in this task.
    int64_t previousFailureCount() const { return failures_; }
    // The 401 response, for HTTP authentication.
    const std::shared_ptr<const URLResponse>& failureResponse() const { return failureResponse_; }
    // Why the trust failed, for server trust.
    const std::optional<Error>& error() const { return error_; }

private:
    URLProtectionSpace space_;
    std::optional<URLCredential> proposed_;
    int64_t failures_;
    std::shared_ptr<const URLResponse> failureResponse_;
    std::optional<Error> error_;
};

}  // namespace quorvane::platform
