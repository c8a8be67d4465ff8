#include "platform/foundation/Digest.h"

#include <openssl/evp.h>

namespace quorvane::platform {

SHA256Digest sha256(const uint8_t* data, size_t length) {
    SHA256Digest digest{};
    unsigned int written = 0;
    EVP_Digest(data, length, digest.data(), &written, EVP_sha256(), nullptr);
    return digest;
}

std::string hexString(const uint8_t* data, size_t length) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        out += hex[data[i] >> 4];
        out += hex[data[i] & 15];
    }
    return out;
}

}  // namespace quorvane::platform
