#pragma once
// What the kept list's source files (GoogleContactCache*.cpp) share; not for other use.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"

namespace quorvane::keptlist {

// The checksum of bytes kept in the file (64-bit FNV-1a), continued from `h`.
uint64_t checksum(std::string_view bytes, uint64_t h = 0xcbf29ce484222325ULL);
// Why a kept list cannot be used (or written), as an error.
platform::Error unusable(const std::string& why);

}  // namespace quorvane::keptlist
