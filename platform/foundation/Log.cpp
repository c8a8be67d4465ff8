#include "platform/foundation/Log.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/foundation/ForkSafeMutex.h"
#include "platform/foundation/PrintableText.h"

namespace quorvane::platform {

namespace {
ForkSafeMutex& gLogMutex() {
    static auto& m = *new ForkSafeMutex;  // never destroyed: threads may use it while the process exits
    return m;
}
Log::Sink gSink;
std::atomic<int> gMinLevel{-1};
ForkSafeMutex& gAssertMutex() {
    static auto& m = *new ForkSafeMutex;  // never destroyed: threads may use it while the process exits
    return m;
}
AssertionHandler::Handler gAssertHandler;
std::atomic<uint64_t> gAssertCount{0};

int initialLevel() {
    const char* env = std::getenv("QUORVANE_LOG_LEVEL");
    if (!env) return int(LogLevel::Warning);
    std::string s(env);
    if (s == "debug") return int(LogLevel::Debug);
    if (s == "info") return int(LogLevel::Info);
    if (s == "error") return int(LogLevel::Error);
    if (s == "none") return int(LogLevel::None);
    return int(LogLevel::Warning);
}

const char* levelName(LogLevel l) {
    switch (l) {
        case LogLevel::Debug: return "debug";
        case LogLevel::Info: return "info";
        case LogLevel::Warning: return "warning";
        case LogLevel::Error: return "error";
        default: return "";
    }
}
}  // namespace

LogLevel Log::minimumLevel() {
    int l = gMinLevel.load();
    if (l < 0) {
        l = initialLevel();
        gMinLevel = l;
    }
    return LogLevel(l);
}

void Log::setMinimumLevel(LogLevel level) { gMinLevel = int(level); }

void Log::setSink(Sink sink) {
    std::lock_guard lock(gLogMutex());
    gSink = std::move(sink);
}

void Log::write(LogLevel level, std::string_view category, std::string_view message) {
    if (level < minimumLevel() || level == LogLevel::None) return;
    std::lock_guard lock(gLogMutex());
    if (gSink) {
        gSink(level, category, message);
        return;
    }
    // A message may carry what a server sent: no secret of the process and no control character
    // reaches the terminal through it.
    const std::string shown = printableText(message);
    std::fprintf(stderr, "[%.*s] %s: %s\n", int(category.size()), category.data(), levelName(level), shown.c_str());
}

void AssertionHandler::set(Handler handler) {
    std::lock_guard lock(gAssertMutex());
    gAssertHandler = std::move(handler);
}

void AssertionHandler::report(const AssertionFailure& f) {
    ++gAssertCount;
    Handler h;
    {
        std::lock_guard lock(gAssertMutex());
        h = gAssertHandler;
    }
    if (h) {
        h(f);
        return;
    }
    std::string text = "assertion failed: " + std::string(f.condition) + " (" + f.message + ") in " +
                       std::string(f.function) + " at " + std::string(f.file) + ":" + std::to_string(f.line);
    Log::error("assert", text);
}

uint64_t AssertionHandler::count() { return gAssertCount.load(); }
void AssertionHandler::resetCount() { gAssertCount = 0; }

}  // namespace quorvane::platform
