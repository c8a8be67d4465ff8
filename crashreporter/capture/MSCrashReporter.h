#pragma once
// The capture engine's facade: its configuration, the application's identity, the folder and
// file a crash report is written to, and arming the process once. Everything the crash paths
// need is copied into process-wide state when enabling, because those paths may not allocate,
// lock or call into objects.

#include <signal.h>
#include <ucontext.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

    // Reporters made from now on keep their report folder in `root` (empty: the user's caches),
    // so that each set of the application's data (a profile) has its crashes apart.
    static void setReportFolderRoot(std::filesystem::path root);
    static std::filesystem::path reportFolderRoot();
    // <root>/<identifier with "/" as "_">, the root being <caches>/com.quorvane.crashreporter.data
    // unless one was set.
    const std::string& crashReportDirectory() const { return crashReportDirectory_; }
    std::string queuedCrashReportDirectory() const;
    std::string crashReportPath() const;
    // Creates the report and queued folders (0755) when missing.
    platform::Result<void> populateCrashReportDirectory() const;

    // A crash's report waiting in the report folder for a start to take it over. Each crash's
    // report has a name of its own: crashReportPath() when it was free at the crash, else one
    // made from it and the crashing process's id.
    struct PendingReport {
        std::string path;
        // A start took it over and ended before it had finished with it (reading it may have
        // been what ended that start).
        bool abandoned = false;
    };
    // Every pending report, the oldest first; only regular files (a FIFO or a link at a report's
    // name is left alone). A report another live start has taken over is not pending.
    std::vector<PendingReport> pendingCrashReports() const;
    bool hasPendingCrashReport() const;
    // The oldest pending report's bytes (ENOENT when there is none).
    platform::Result<platform::Bytes> loadPendingCrashReportData() const;
    // Removes every pending report; ENOENT when there was none.
    platform::Result<void> purgePendingCrashReport() const;

    // Takes a pending report over: renames it to a name of this process's own, so that no other
    // start takes it too and a crash's report put into place meanwhile is not touched. The path
    // it now has; ENOENT when another start took it first. Each report taken over is then
    // either purged or given back.
    platform::Result<std::string> takeOverPendingCrashReport(const PendingReport& report) const;
    // Gives a report taken over back, pending again under a name of its own, for a later start.
    platform::Result<void> returnTakenCrashReport(const std::string& taken) const;
    platform::Result<void> purgeTakenCrashReport(const std::string& taken) const;

    // The bytes of a report file, read whole. Only a regular file is read, and opening never
    // blocks (a FIFO or device is refused, EINVAL). A file that could not be read is an error
    // with the system's errno (ENOENT when it is gone), never a shorter report.
    static platform::Result<platform::Bytes> readCrashReportFile(const std::string& path);
    // The read(2) that readCrashReportFile uses. Replaceable, so that a test can make reading
    // fail as a failing disk or a network file system that times out does; returns the one it
    // replaces.
    using ReadFunction = ssize_t (*)(int fd, void* buffer, size_t count);
    static ReadFunction setCrashReportReadFunction(ReadFunction read);

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
