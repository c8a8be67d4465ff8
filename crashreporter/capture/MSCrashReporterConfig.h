#pragma once
// The capture engine's configuration: how crashes are caught, whether frames are symbolicated
// at crash time, and whether the uncaught-exception handler is installed. An immutable value.

#include <cstdint>

namespace quorvane {

// 0: POSIX signal handlers. 1: the exception-server mode (plus the SIGABRT handler); on Linux,
// where faults reach a process only as signals, it installs the signal handlers too.
// Any other value installs nothing.
using MSCrashReporterSignalHandlerType = uint64_t;
inline constexpr MSCrashReporterSignalHandlerType MSCrashReporterSignalHandlerTypeBSD = 0;
inline constexpr MSCrashReporterSignalHandlerType MSCrashReporterSignalHandlerTypeMach = 1;

// Bit set: bit 0 symbol table, bit 1 object-runtime metadata; 0 = no symbolication at crash time.
using MSCrashReporterSymbolicationStrategy = uint64_t;
inline constexpr MSCrashReporterSymbolicationStrategy MSCrashReporterSymbolicationStrategyNone = 0;
inline constexpr MSCrashReporterSymbolicationStrategy MSCrashReporterSymbolicationStrategySymbolTable = 1 << 0;
inline constexpr MSCrashReporterSymbolicationStrategy MSCrashReporterSymbolicationStrategyObjC = 1 << 1;
inline constexpr MSCrashReporterSymbolicationStrategy MSCrashReporterSymbolicationStrategyAll = 3;

class MSCrashReporterConfig {
public:
    // Type 0, strategy 0, uncaught-exception handler on.
    static MSCrashReporterConfig defaultConfiguration();

    MSCrashReporterConfig();
    MSCrashReporterConfig(MSCrashReporterSignalHandlerType signalHandlerType,
                          MSCrashReporterSymbolicationStrategy symbolicationStrategy);
    MSCrashReporterConfig(MSCrashReporterSignalHandlerType signalHandlerType,
                          MSCrashReporterSymbolicationStrategy symbolicationStrategy,
                          bool shouldRegisterUncaughtExceptionHandler);

    MSCrashReporterSignalHandlerType signalHandlerType() const { return signalHandlerType_; }
    MSCrashReporterSymbolicationStrategy symbolicationStrategy() const { return symbolicationStrategy_; }
    bool shouldRegisterUncaughtExceptionHandler() const { return shouldRegisterUncaughtExceptionHandler_; }

private:
    MSCrashReporterSignalHandlerType signalHandlerType_;
    MSCrashReporterSymbolicationStrategy symbolicationStrategy_;
    bool shouldRegisterUncaughtExceptionHandler_;
};

}  // namespace quorvane
