#pragma once
// The SDK's logger: messages go to one installed handler, which builds the text only when the
// level passes the current log level.

#include <functional>
#include <string>
#include <string_view>

namespace quorvane {

enum class MSLogLevel : int { Verbose = 2, Debug = 3, Info = 4, Warning = 5, Error = 6, Assert = 7, None = 99 };

// The SDK's own log tag.
inline constexpr const char* kMSLogTag = "RevAzezar";

class MSLogger {
public:
    using MessageProvider = std::function<std::string()>;
    using Handler = std::function<void(const MessageProvider&, MSLogLevel, std::string_view tag, const char* file,
                                       const char* function, unsigned line)>;

    static void logMessage(const MessageProvider& message, MSLogLevel level, std::string_view tag, const char* file,
                           const char* function, unsigned line);

    // Messages at or above this level pass (default Assert: only assertions).
    static MSLogLevel currentLogLevel();
    static void setCurrentLogLevel(MSLogLevel level);
    // Replaces the handler; nullptr installs none (messages are dropped). The default handler
    // writes "[tag] LEVEL: text" to the platform log.
    static void setLogHandler(Handler handler);
    static void restoreDefaultLogHandler();
};

}  // namespace quorvane

#define MS_LOG_AT(level, tag, text)                                                                   \
    ::quorvane::MSLogger::logMessage([&]() -> std::string { return text; }, ::quorvane::MSLogLevel::level, \
                                     tag, __FILE__, __func__, __LINE__)
#define MSLogVerbose(tag, text) MS_LOG_AT(Verbose, tag, text)
#define MSLogDebug(tag, text) MS_LOG_AT(Debug, tag, text)
#define MSLogInfo(tag, text) MS_LOG_AT(Info, tag, text)
#define MSLogWarning(tag, text) MS_LOG_AT(Warning, tag, text)
#define MSLogError(tag, text) MS_LOG_AT(Error, tag, text)
