#pragma once
// Message digests (OpenSSL).

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvane::platform {

using SHA256Digest = std::array<uint8_t, 32>;

SHA256Digest sha256(const uint8_t* data, size_t length);
inline SHA256Digest sha256(std::string_view bytes) {
    return sha256(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}
// Lower-case hexadecimal.
std::string hexString(const uint8_t* data, size_t length);
inline std::string hexString(const SHA256Digest& digest) { return hexString(digest.data(), digest.size()); }

}  // namespace quorvane::platform
