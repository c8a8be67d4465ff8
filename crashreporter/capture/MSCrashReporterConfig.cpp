#include "crashreporter/capture/MSCrashReporterConfig.h"

namespace quorvane {

MSCrashReporterConfig MSCrashReporterConfig::defaultConfiguration() { return MSCrashReporterConfig(); }

MSCrashReporterConfig::MSCrashReporterConfig()
    : MSCrashReporterConfig(MSCrashReporterSignalHandlerTypeBSD, MSCrashReporterSymbolicationStrategyNone) {}

MSCrashReporterConfig::MSCrashReporterConfig(MSCrashReporterSignalHandlerType signalHandlerType,
                                             MSCrashReporterSymbolicationStrategy symbolicationStrategy)
    : MSCrashReporterConfig(signalHandlerType, symbolicationStrategy, true) {}

MSCrashReporterConfig::MSCrashReporterConfig(MSCrashReporterSignalHandlerType signalHandlerType,
                                             MSCrashReporterSymbolicationStrategy symbolicationStrategy,
                                             bool shouldRegisterUncaughtExceptionHandler)
    : signalHandlerType_(signalHandlerType),
      symbolicationStrategy_(symbolicationStrategy),
      shouldRegisterUncaughtExceptionHandler_(shouldRegisterUncaughtExceptionHandler) {}

}  // namespace quorvane
