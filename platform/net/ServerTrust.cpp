#include "platform/net/ServerTrust.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <mutex>

#include "platform/foundation/Base64.h"

namespace quorvane::platform {

namespace {

struct AddedCertificates {
    std::mutex mutex;
    std::vector<X509*> certs;  // one reference each, owned here
};

AddedCertificates& added() {
    static AddedCertificates* a = new AddedCertificates();  // lives for the process
    return *a;
}

struct X509Deleter {
    void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;

X509Ptr parseDER(const Bytes& der) {
    const unsigned char* p = der.data();
    return X509Ptr(d2i_X509(nullptr, &p, long(der.size())));
}

// The security level a TLS connection of this process verifies peers at: the library's default
// as its configuration sets it, and never below 2 (RSA, DSA and DH keys of 2048 bits, EC keys of
// 224, no SHA-1 or MD5 signatures but on a trust anchor itself).
int connectionSecurityLevel() {
    static const int level = [] {
        int l = 2;
        if (SSL_CTX* ctx = SSL_CTX_new(TLS_client_method())) {
            l = std::max(l, SSL_CTX_get_security_level(ctx));
            SSL_CTX_free(ctx);
        }
        ERR_clear_error();
        return l;
    }();
    return level;
}

}  // namespace

bool TrustStore::addTrustedCertificatesPEM(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), int(pem.size()));
    if (!bio) return false;
    std::vector<X509*> certs;
    while (X509* x = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) certs.push_back(x);
    ERR_clear_error();
    BIO_free(bio);
    if (certs.empty()) return false;
    auto& a = added();
    std::lock_guard lock(a.mutex);
    a.certs.insert(a.certs.end(), certs.begin(), certs.end());
    return true;
}

void TrustStore::removeAddedCertificates() {
    auto& a = added();
    std::lock_guard lock(a.mutex);
    for (X509* x : a.certs) X509_free(x);
    a.certs.clear();
}

void TrustStore::addToStore(void* x509Store) {
    auto* store = static_cast<X509_STORE*>(x509Store);
    auto& a = added();
    std::lock_guard lock(a.mutex);
    for (X509* x : a.certs) X509_STORE_add_cert(store, x);  // takes its own reference; duplicates are fine
    ERR_clear_error();
}

Result<TrustResultType> ServerTrust::evaluate() const {
    auto unreadable = [](const std::string& why) {
        return Error::withDescription(kURLErrorDomain, kURLErrorSecureConnectionFailed, why);
    };
    if (chain_.empty()) return unreadable("No certificate to evaluate.");
    X509Ptr leaf = parseDER(chain_[0]);
    if (!leaf) return unreadable("The server certificate cannot be read.");
    STACK_OF(X509)* untrusted = sk_X509_new_null();
    std::vector<X509Ptr> keep;
    for (size_t i = 1; i < chain_.size(); ++i) {
        if (auto x = parseDER(chain_[i])) {
            sk_X509_push(untrusted, x.get());
            keep.push_back(std::move(x));
        }
    }
    X509_STORE* store = X509_STORE_new();
    X509_STORE_set_default_paths(store);
    TrustStore::addToStore(store);
    X509_STORE_CTX* ctx = X509_STORE_CTX_new();
    bool ok = X509_STORE_CTX_init(ctx, store, leaf.get(), untrusted) == 1;
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx);
    X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
    // No weaker than the handshake's own check: its security level for every key and signature
    // of the chain, and its host-name rules (a wildcard is a whole leftmost label, "a*.x.y"
    // matches nothing).
    X509_VERIFY_PARAM_set_auth_level(param, connectionSecurityLevel());
    // The subject's common name counts only on a certificate without subject alternative names
    // of any kind: one that lists only addresses names no host by its common name.
    unsigned int hostFlags = X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS;
    if (X509_get_ext_by_NID(leaf.get(), NID_subject_alt_name, -1) >= 0) hostFlags |= X509_CHECK_FLAG_NEVER_CHECK_SUBJECT;
    X509_VERIFY_PARAM_set_hostflags(param, hostFlags);
    // The host name or address must be named by the certificate; an empty name never is.
    if (host_.empty()) {
        ok = false;
    } else if (X509_VERIFY_PARAM_set1_ip_asc(param, host_.c_str()) != 1 &&
               X509_VERIFY_PARAM_set1_host(param, host_.c_str(), host_.size()) != 1) {
        ok = false;
    }
    std::string why;
    if (ok) {
        ok = X509_verify_cert(ctx) == 1;
        if (!ok) why = X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx));
    } else {
        why = "The certificate chain cannot be evaluated.";
    }
    X509_STORE_CTX_free(ctx);
    X509_STORE_free(store);
    sk_X509_free(untrusted);
    ERR_clear_error();
    if (!ok) {
        return Error::withDescription(kURLErrorDomain, kURLErrorServerCertificateUntrusted,
                                      "The certificate for this server is invalid: " + why);
    }
    return TrustResultType::Unspecified;
}

std::optional<std::string> ServerTrust::leafPublicKeyPin() const {
    if (chain_.empty()) return std::nullopt;
    X509Ptr leaf = parseDER(chain_[0]);
    if (!leaf) return std::nullopt;
    EVP_PKEY* key = X509_get0_pubkey(leaf.get());
    if (!key) return std::nullopt;
    unsigned char* der = nullptr;
    int len = i2d_PUBKEY(key, &der);
    if (len <= 0) return std::nullopt;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int dlen = 0;
    EVP_Digest(der, size_t(len), digest, &dlen, EVP_sha256(), nullptr);
    OPENSSL_free(der);
    return "sha256//" + base64Encode(digest, dlen);
}

}  // namespace quorvane::platform
