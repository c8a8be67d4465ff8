#pragma once
// Server trust: the certificate chain a TLS server presented, and its evaluation against the
// system's trusted roots plus the certificates this process added (TrustStore).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace quorvane::platform {

enum class TrustResultType : uint32_t {
    Invalid = 0,
    Proceed = 1,
    Deny = 3,
    Unspecified = 4,  // the chain is good; no explicit user setting
    RecoverableTrustFailure = 5,
    FatalTrustFailure = 6,
    OtherError = 7,
};

class ServerTrust {
public:
    // host: the name or address the client connected to; chain: DER certificates, leaf first.
    ServerTrust(std::string host, std::vector<Bytes> certificateChain)
        : host_(std::move(host)), chain_(std::move(certificateChain)) {}

    const std::string& host() const { return host_; }
    size_t certificateCount() const { return chain_.size(); }
    const Bytes& certificateAtIndex(size_t i) const { return chain_.at(i); }

    // Verifies the chain and the host name: Unspecified when trusted. When not, a URL error saying
    // why: kURLErrorServerCertificateUntrusted when the chain or the host name fails the check
    // (a recoverable trust failure), kURLErrorSecureConnectionFailed when there is no readable
    // certificate to evaluate.
    Result<TrustResultType> evaluate() const;

    // The leaf's public key as a pin: "sha256//" + Base64 of the SHA-256 of its DER key.
    std::optional<std::string> leafPublicKeyPin() const;

private:
    std::string host_;
    std::vector<Bytes> chain_;
};

// Certificates this process trusts in addition to the system's roots (a private CA, a test
// CA). They take effect for connections made afterwards.
class TrustStore {
public:
    // Adds every certificate of the PEM text; false when it holds none.
    static bool addTrustedCertificatesPEM(const std::string& pem);
    static void removeAddedCertificates();
    // Adds the added certificates to an OpenSSL X509_STORE (passed as void* to keep OpenSSL
    // out of this header).
    static void addToStore(void* x509Store);
};

}  // namespace quorvane::platform
