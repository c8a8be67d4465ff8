#pragma once
// gzip streams (RFC 1952) through zlib.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::platform {

// The bytes as one gzip member; nullopt only when zlib fails.
std::optional<std::vector<uint8_t>> gzipCompress(std::string_view bytes);
// The bytes of a gzip stream; nullopt when it is damaged, truncated or would exceed maxLength.
std::optional<std::string> gzipDecompress(std::string_view gzipped, size_t maxLength = size_t(1) << 30);

}  // namespace quorvane::platform
