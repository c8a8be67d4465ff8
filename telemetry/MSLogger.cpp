#include "platform/foundation/ForkSafeMutex.h"
#include "telemetry/MSLogger.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/foundation/Log.h"

namespace quorvane {

namespace {

std::atomic<MSLogLevel> logLevel{MSLogLevel::Assert};

const char* levelName(MSLogLevel level) {
    switch (level) {
    case MSLogLevel::Verbose: return "VERBOSE";
    case MSLogLevel::Debug: return "DEBUG";
    case MSLogLevel::Info: return "INFO";
    case MSLogLevel::Warning: return "WARNING";
    case MSLogLevel::Error: return "ERROR";
    case MSLogLevel::Assert: return "ASSERT";
    case MSLogLevel::None: break;
    }
    return "";
}

void defaultHandler(const MSLogger::MessageProvider& message, MSLogLevel level, std::string_view tag, const char*,
                    const char*, unsigned) {
    if (level < MSLogger::currentLogLevel() || level == MSLogLevel::None) return;
    const auto platformLevel = level >= MSLogLevel::Error     ? platform::LogLevel::Error
                               : level == MSLogLevel::Warning ? platform::LogLevel::Warning
                               : level == MSLogLevel::Info    ? platform::LogLevel::Info
                                                              : platform::LogLevel::Debug;
    platform::Log::write(platformLevel, tag, "[" + std::string(tag) + "] " + levelName(level) + ": " + message());
}

struct HandlerSlot {
    platform::ForkSafeMutex mutex;
    std::shared_ptr<const MSLogger::Handler> handler =
        std::make_shared<const MSLogger::Handler>(defaultHandler);
};
// Lives as long as the process: a worker thread may still log while the process exits.
HandlerSlot& slot() {
    static auto& s = *new HandlerSlot;
    return s;
}

}  // namespace

void MSLogger::logMessage(const MessageProvider& message, MSLogLevel level, std::string_view tag, const char* file,
                          const char* function, unsigned line) {
    std::shared_ptr<const Handler> handler;
    {
        std::lock_guard lock(slot().mutex);
        handler = slot().handler;
    }
    if (handler && *handler) (*handler)(message, level, tag, file, function, line);
}

MSLogLevel MSLogger::currentLogLevel() { return logLevel.load(); }
void MSLogger::setCurrentLogLevel(MSLogLevel level) { logLevel = level; }

void MSLogger::setLogHandler(Handler handler) {
    std::lock_guard lock(slot().mutex);
    slot().handler = handler ? std::make_shared<const Handler>(std::move(handler)) : nullptr;
}

void MSLogger::restoreDefaultLogHandler() { setLogHandler(defaultHandler); }

}  // namespace quorvane
