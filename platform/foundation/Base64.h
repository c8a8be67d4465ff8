#pragma once
// Base64 (RFC 4648, with padding); decoding rejects bad input.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::platform {

std::string base64Encode(const uint8_t* data, size_t length);
std::string base64Encode(const std::vector<uint8_t>& data);
inline std::string base64Encode(std::string_view s) {
    return base64Encode(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}
// Decodes standard Base64; white space is skipped, missing padding is accepted;
// nullopt for any other character or a truncated quantum.
std::optional<std::vector<uint8_t>> base64Decode(std::string_view text);

// The URL-safe alphabet ("-" and "_"), without padding (PKCE, JWT segments).
std::string base64URLEncode(const uint8_t* data, size_t length);
std::optional<std::vector<uint8_t>> base64URLDecode(std::string_view text);

}  // namespace quorvane::platform
