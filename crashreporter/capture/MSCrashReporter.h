#pragma once
// The capture engine's facade: its configuration, the application's identity, the folder and
// file a crash report is written to, and arming the process once. Everything the crash paths
// need is copied into process-wide state when enabling, because those paths may not allocate,
// lock or call into objects.

#include <signal.h>
#include <ucontext.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "crashreporter/capture/MSCrashReporterConfig.h"
#include "crashreporter/capture/QVCrashAsync.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace quorvane {

inline constexpr const char* kQVCrashReporterErrorDomain = "QVCrashReporterErrorDomain";
enum MSCrashReporterError : int64_t {
    MSCrashReporterErrorUnknown = 0,
    MSCrashReporterErrorOperatingSystem = 1,
    MSCrashReporterErrorCrashReportInvalid = 2,
    MSCrashReporterErrorResourceBusy = 3,
};

// Runs on the crashing thread after a report was written; must be async-signal-safe.
using MSCrashReporterPostCrashSignalCallback = void (*)(siginfo_t* info, ucontext_t* uap, void* context);

struct QVCrashReporterCallbacks {
    uint16_t version;  // must be 0
    void* context;
    MSCrashReporterPostCrashSignalCallback handleSignal;
};

// The identity a reporter takes from an application bundle.
struct MSCrashReporterBundle {
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> bundleVersion;
    std::optional<std::string> shortVersionString;
    // The running application's (from the build's bundle information).
    static MSCrashReporterBundle mainBundle();
};

class MSCrashReporter {
public:
    // With the default configuration.
    static std::shared_ptr<MSCrashReporter> create();
    // For the main bundle.
    static std::shared_ptr<MSCrashReporter> initWithConfiguration(const MSCrashReporterConfig& config);
    // Identity from the bundle; without an identifier the process name is used, without a
    // version "". Null (after a contract failure) when not even a process name is known.
    static std::shared_ptr<MSCrashReporter> initWithBundle(const MSCrashReporterBundle& bundle,
                                                           const MSCrashReporterConfig& config);
    static std::shared_ptr<MSCrashReporter> initWithApplicationIdentifier(
        std::string applicationIdentifier, std::string applicationVersion,
        std::optional<std::string> applicationMarketingVersion, const MSCrashReporterConfig& config = {});
    // One reporter for the main bundle with the default configuration.
    static std::shared_ptr<MSCrashReporter> sharedReporter();

    const MSCrashReporterConfig& config() const { return config_; }
    const std::string& applicationIdentifier() const { return applicationIdentifier_; }
    const std::string& applicationVersion() const { return applicationVersion_; }
    const std::optional<std::string>& applicationMarketingVersion() const { return applicationMarketingVersion_; }
    bool isEnabled() const { return enabled_; }

    // <caches>/com.quorvane.crashreporter.data/<identifier with "/" as "_">
    const std::string& crashReportDirectory() const { return crashReportDirectory_; }
    std::string queuedCrashReportDirectory() const;
    std::string crashReportPath() const;
    // Creates the report and queued folders (0755) when missing.
    platform::Result<void> populateCrashReportDirectory() const;

    bool hasPendingCrashReport() const;
    platform::Result<platform::Bytes> loadPendingCrashReportData() const;
    platform::Result<void> purgePendingCrashReport() const;

    // Sets the post-crash callback; a contract failure once this reporter is enabled.
    void setCrashCallbacks(const QVCrashReporterCallbacks* callbacks);
    // Arms the process; only the first enabling in a process can succeed.
    platform::Result<void> enableCrashReporter();

    static uint32_t mapToAsyncSymbolicationStrategy(MSCrashReporterSymbolicationStrategy strategy);

    // Live reports: the bytes of a report of the running process, written by the same writer as a
    // crash report (marked user-requested) but without a crash, with `thread` as the crashed
    // thread. The signal is SIGTRAP (TRAP_TRACE) at the caller's return address. Every other
    // thread is listed; the calling thread only when it is `thread`, from its current registers.
    // An error when the report could not be written or read back. Live reports need no enabling;
    // one is written at a time.
    platform::Result<platform::Bytes> generateLiveReportWithThread(qvcrash_thread_t thread);
    // The same with the calling thread as the crashed thread.
    platform::Result<platform::Bytes> generateLiveReport();

    // The report file path armed in this process, or null before enabling (diagnostics, tests).
    static const char* armedCrashReportPath();

private:
    struct Token {};

public:
    MSCrashReporter(Token, std::string applicationIdentifier, std::string applicationVersion,
                    std::optional<std::string> applicationMarketingVersion, const MSCrashReporterConfig& config);

private:
    platform::Result<platform::Bytes> writeLiveReport(qvcrash_thread_t thread, uint64_t callerAddress);

    MSCrashReporterConfig config_;
    bool enabled_ = false;
    std::string applicationIdentifier_;
    std::string applicationVersion_;
    std::optional<std::string> applicationMarketingVersion_;
    std::string crashReportDirectory_;
};

// An error of the reporter's domain with a description and, when given, an underlying error.
platform::Error MSCrashReporterMakeError(MSCrashReporterError code, const std::string& description,
                                         const std::optional<platform::Error>& underlying = std::nullopt);

}  // namespace quorvane
