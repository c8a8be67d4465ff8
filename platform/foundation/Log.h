#pragma once
// The process logger and the assertion handler.
//
// Contract violations (a caller breaking a documented rule) go to one replaceable handler
// that logs and counts them; it never aborts, since the offending data may come from the network.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace quorvane::platform {

enum class LogLevel { Debug = 0, Info = 1, Warning = 2, Error = 3, None = 4 };

class Log {
public:
    using Sink = std::function<void(LogLevel, std::string_view category, std::string_view message)>;

    static void write(LogLevel level, std::string_view category, std::string_view message);
    static void debug(std::string_view category, std::string_view message) { write(LogLevel::Debug, category, message); }
    static void info(std::string_view category, std::string_view message) { write(LogLevel::Info, category, message); }
    static void warning(std::string_view category, std::string_view message) { write(LogLevel::Warning, category, message); }
    static void error(std::string_view category, std::string_view message) { write(LogLevel::Error, category, message); }

    // Messages below this level are dropped (default Warning; QUORVANE_LOG_LEVEL=debug|info|warning|error|none).
    static void setMinimumLevel(LogLevel level);
    static LogLevel minimumLevel();
    // Replaces where messages go (standard error by default); nullptr restores it.
    static void setSink(Sink sink);
};

struct AssertionFailure {
    std::string_view condition;
    std::string message;
    std::string_view file;
    int line;
    std::string_view function;
};

class AssertionHandler {
public:
    using Handler = std::function<void(const AssertionFailure&)>;
    // Installs a handler; nullptr restores the default (log at Error level).
    static void set(Handler handler);
    static void report(const AssertionFailure& failure);
    // Failures reported since start (or the last reset), whatever the handler.
    static uint64_t count();
    static void resetCount();
};

}  // namespace quorvane::platform

// Reports a contract failure when cond is false; evaluates to cond.
#define QV_ASSERT(cond, msg)                                                                            \
    ((cond) ? true                                                                                       \
            : (::quorvane::platform::AssertionHandler::report(                                           \
                   {#cond, std::string(msg), __FILE__, __LINE__, __func__}),                             \
               false))
