#pragma once
// Uncaught C++ exceptions. A C++ exception that nobody catches ends the process in
// std::terminate, where a crash report would show only the terminate path. The program's own
// __cxa_throw (crashes/throwhook, linked into every executable that links this library) keeps
// the return addresses of each thread's last throw; the terminate handler installed here tells
// the exception's type and message apart and hands them, with the throw-site frames, to every
// registered handler.

#include <cstdint>

namespace quorvane {

// What the terminate handler knows of the uncaught exception. Built on the terminate handler's
// stack; it and the texts it points to live only while the handlers run.
struct MSCrashesUncaughtCXXExceptionInfo {
    const void* exception;             // the terminate handler's holder of the current exception
    const char* exceptionTypeName;     // as the type information gives it (mangled)
    const char* exceptionMessage;      // may be null
    uint32_t exceptionFramesCount;
    const uint64_t* exceptionFrames;   // the throw site first, without the hook's own frame
};

using MSCrashesUncaughtCXXExceptionHandler = void (*)(const MSCrashesUncaughtCXXExceptionInfo* info);

// The frames of one thread's last recorded throw. One per thread that has thrown while the
// terminate handler was installed; freed when the thread ends.
struct MSCrashesCXXThrowRecord {
    static constexpr uint32_t kMaxFrames = 128;
    const void* thrownObject;
    uint64_t frames[kMaxFrames];  // as backtrace gives them: the first is the hook's own frame
    uint32_t frameCount;
};

class MSCrashesUncaughtCXXExceptionHandlerManager {
public:
    // Registers a handler (the same one may stand more than once); the first registration
    // installs the terminate handler.
    static void addCXXExceptionHandler(MSCrashesUncaughtCXXExceptionHandler handler);
    // Removes one registration. When none is left, the terminate handler that was in force
    // before is put back, unless someone else has replaced ours since.
    static void removeCXXExceptionHandler(MSCrashesUncaughtCXXExceptionHandler handler);
    static uint32_t countCXXExceptionHandler();
};

// The terminate handler: calls the registered handlers, then the previous terminate handler, or
// aborts. Handlers run under the manager's lock and must not call the manager.
[[noreturn]] void uncaughtCXXTerminateHandler();

// For the throw hook: whether throws are being recorded now, and this thread's record (made on
// first use; nullptr when it cannot be had).
bool MSCrashesCXXThrowRecordingEnabled();
MSCrashesCXXThrowRecord* MSCrashesCXXThrowRecordForCurrentThread();
// This thread's record without making one (nullptr when it has none).
const MSCrashesCXXThrowRecord* MSCrashesCXXThrowRecordIfAny();

}  // namespace quorvane
