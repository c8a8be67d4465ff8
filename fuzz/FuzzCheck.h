#pragma once
// What the fuzz targets share: an invariant check that stops the run with a message (libFuzzer
// then keeps the input that broke it), and quiet logging.

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/foundation/Log.h"

#define FUZZ_CHECK(condition, what)                                                             \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, what); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

namespace quorvane::fuzz {

// Log lines of every level would only slow the run down.
inline void silenceLog() {
    platform::Log::setMinimumLevel(platform::LogLevel::None);
    platform::Log::setSink([](platform::LogLevel, std::string_view, std::string_view) {});
}

}  // namespace quorvane::fuzz
