#pragma once
// Digests and authenticated encryption through OpenSSL.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::platform {

// Keeps OpenSSL set up until the process is gone. OpenSSL otherwise tears itself down in an exit
// handler while worker threads may still draw random bytes or open connections. Called before
// anything else here touches OpenSSL (taking effect only if it comes first); cheap to repeat.
void keepCryptoLibraryUntilExit();

// SHA-256 of the bytes (32 bytes), and as 64 lower-case hexadecimal digits.
std::vector<uint8_t> sha256(std::string_view bytes);
std::string sha256Hex(std::string_view bytes);

// AES-256-GCM with a fresh random 96-bit nonce per message. The sealed form is
// nonce (12 bytes) || ciphertext || tag (16 bytes). key must be 32 bytes.
inline constexpr size_t kAES256KeyLength = 32;
inline constexpr size_t kAESGCMNonceLength = 12;
inline constexpr size_t kAESGCMTagLength = 16;
std::optional<std::vector<uint8_t>> aes256GCMSeal(const std::vector<uint8_t>& key, std::string_view plaintext);
// nullopt when the key has the wrong length, the text is too short or was not sealed with this key
// (tampered with, truncated, or foreign).
std::optional<std::string> aes256GCMOpen(const std::vector<uint8_t>& key, const std::vector<uint8_t>& sealed);

}  // namespace quorvane::platform
