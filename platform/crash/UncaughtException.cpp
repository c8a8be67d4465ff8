#include "platform/crash/UncaughtException.h"

#include <atomic>

namespace quorvane::platform::crash {

namespace {
std::atomic<UncaughtExceptionHandler> gHandler{nullptr};
}

void setUncaughtExceptionHandler(UncaughtExceptionHandler handler) { gHandler.store(handler); }

UncaughtExceptionHandler uncaughtExceptionHandler() { return gHandler.load(); }

}  // namespace quorvane::platform::crash
