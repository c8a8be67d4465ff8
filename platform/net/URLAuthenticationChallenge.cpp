#include "platform/net/URLAuthenticationChallenge.h"

#include "platform/foundation/Strings.h"

namespace quorvane::platform {

URLCredential URLCredential::credentialWithUser(std::string user, std::string password,
                                                URLCredentialPersistence persistence) {
    URLCredential c;
    c.user_ = std::move(user);
    c.password_ = std::move(password);
    c.persistence_ = persistence;
    return c;
}

URLCredential URLCredential::credentialForTrust(std::shared_ptr<const ServerTrust> trust) {
    URLCredential c;
    c.trust_ = std::move(trust);
    c.persistence_ = URLCredentialPersistence::ForSession;
    return c;
}

bool URLProtectionSpace::receivesCredentialSecurely() const {
    return (protocol_ && asciiEqualsIgnoringCase(*protocol_, "https")) || method_ == kURLAuthenticationMethodHTTPDigest;
}

}  // namespace quorvane::platform
