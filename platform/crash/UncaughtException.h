#pragma once
// The process's uncaught-exception hook. Linux has no runtime of its own that reports an
// uncaught application exception, so whoever catches one at the top of a thread (the
// application's exception forwarder, the C++ terminate handler) hands it to the handler
// installed here. One handler per process; installing replaces the previous one.

#include <cstdint>
#include <string>
#include <vector>

namespace quorvane::platform::crash {

struct UncaughtException {
    std::string name;
    std::string reason;
    std::vector<uint64_t> callStackReturnAddresses;  // innermost first; may be empty
};

using UncaughtExceptionHandler = void (*)(const UncaughtException& exception);

void setUncaughtExceptionHandler(UncaughtExceptionHandler handler);
// The installed handler, or nullptr.
UncaughtExceptionHandler uncaughtExceptionHandler();

}  // namespace quorvane::platform::crash
