#include "platform/foundation/Crypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <memory>
#include <mutex>

#include "platform/foundation/UUID.h"

namespace quorvane::platform {

namespace {
struct CipherContextDeleter {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;
}  // namespace

void keepCryptoLibraryUntilExit() {
    static std::once_flag once;
    std::call_once(once, [] { OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr); });
}

std::vector<uint8_t> sha256(std::string_view bytes) {
    keepCryptoLibraryUntilExit();
    std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
    unsigned length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
    digest.resize(length);
    return digest;
}

std::string sha256Hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : sha256(bytes)) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::optional<std::vector<uint8_t>> aes256GCMSeal(const std::vector<uint8_t>& key, std::string_view plaintext) {
    keepCryptoLibraryUntilExit();
    if (key.size() != kAES256KeyLength) return std::nullopt;
    std::vector<uint8_t> out(kAESGCMNonceLength + plaintext.size() + kAESGCMTagLength);
    if (!randomBytes(out.data(), kAESGCMNonceLength)) return std::nullopt;
    CipherContext ctx(EVP_CIPHER_CTX_new());
    int length = 0;
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), out.data()) != 1 ||
        EVP_EncryptUpdate(ctx.get(), out.data() + kAESGCMNonceLength, &length,
                          reinterpret_cast<const uint8_t*>(plaintext.data()), int(plaintext.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), out.data() + kAESGCMNonceLength + length, &length) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, int(kAESGCMTagLength),
                            out.data() + out.size() - kAESGCMTagLength) != 1)
        return std::nullopt;
    return out;
}

std::optional<std::string> aes256GCMOpen(const std::vector<uint8_t>& key, const std::vector<uint8_t>& sealed) {
    keepCryptoLibraryUntilExit();
    if (key.size() != kAES256KeyLength || sealed.size() < kAESGCMNonceLength + kAESGCMTagLength) return std::nullopt;
    const size_t textLength = sealed.size() - kAESGCMNonceLength - kAESGCMTagLength;
    std::string out(textLength, '\0');
    std::vector<uint8_t> tag(sealed.end() - kAESGCMTagLength, sealed.end());
    CipherContext ctx(EVP_CIPHER_CTX_new());
    int length = 0;
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), sealed.data()) != 1 ||
        EVP_DecryptUpdate(ctx.get(), reinterpret_cast<uint8_t*>(out.data()), &length,
                          sealed.data() + kAESGCMNonceLength, int(textLength)) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, int(kAESGCMTagLength), tag.data()) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), reinterpret_cast<uint8_t*>(out.data()) + length, &length) != 1)
        return std::nullopt;
    return out;
}

}  // namespace quorvane::platform
