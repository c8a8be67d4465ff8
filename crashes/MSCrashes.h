#pragma once
// Crash reporting as a telemetry service. Starting it arms the capture engine (once per process)
// and takes over the report the engine wrote at the last crash into the "crashes" folder; a
// second later, on the global queue, every stored report is decoded, converted into an
// "appleError" log and an error report, offered to the delegate and, unless the user is asked,
// enqueued with critical persistence, followed by its attachments. A report's file is deleted
// once its log is in the log store. Handled errors go out as "handledError" logs.
//
// Threads: start, enabling and the memory-pressure handler run on the main thread; processing
// and sending on the global queue; the confirmation handler and the sending notifications on the
// main thread. Crash-time code (crashReporterCallback) is async-signal-safe.

#include <signal.h>
#include <ucontext.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "crashes/MSErrorLogs.h"
#include "crashreporter/capture/MSCrashReporter.h"
#include "platform/crash/UncaughtException.h"
#include "platform/foundation/Error.h"
#include "platform/runloop/DispatchQueue.h"
#include "telemetry/MSChannelDelegate.h"
#include "telemetry/MSEncrypter.h"
#include "telemetry/MSServiceAbstract.h"

namespace quorvane {

class MSCrashReport;
class MSCrashes;
class MSLogDBStorage;
namespace platform {
class MemoryPressureSource;
}

// The user's answer for the pending crash reports.
enum MSUserConfirmation : int {
    MSUserConfirmationDontSend = 0,
    MSUserConfirmationSend = 1,
    MSUserConfirmationAlways = 2,
};

// What the application may learn and decide about crash reports. Each member is optional: an
// empty one is "not implemented". All but shouldProcessErrorReport and attachments run on the
// main thread.
struct MSCrashesDelegate {
    using Report = std::shared_ptr<MSErrorReport>;
    // Called on the processing queue; false discards the report.
    std::function<bool(MSCrashes&, const Report&)> shouldProcessErrorReport;
    // Called on the processing queue; the attachments sent with the report.
    std::function<std::vector<std::shared_ptr<MSErrorAttachmentLog>>(MSCrashes&, const Report&)> attachments;
    std::function<void(MSCrashes&, const Report&)> willSendErrorReport;
    std::function<void(MSCrashes&, const Report&)> didSucceedSendingErrorReport;
    std::function<void(MSCrashes&, const Report&, const platform::Error&)> didFailSendingErrorReport;
};

// Runs on the main thread with the pending reports; true when it asked the user (whose answer
// then comes through notifyWithUserConfirmation), false to send without asking.
using MSUserConfirmationHandler = std::function<bool(const std::vector<std::shared_ptr<MSErrorReport>>&)>;

class MSCrashes : public MSServiceAbstract, public MSChannelDelegate {
public:
    static constexpr const char* kMSServiceName = "Crashes";
    static constexpr const char* kMSGroupId = "Crashes";
    static constexpr const char* kMSLogTag = "RevAzezarCrashes";
    static constexpr const char* kMSAppDidReceiveMemoryWarningKey = "MSAppDidReceiveMemoryWarning";
    static constexpr const char* kMSUserConfirmationKey = "MSUserConfirmation";
    // The marker a start keeps in "crashes" while it takes reports over. Each start's bears an id
    // of its own between the name's two parts ("MSCrashes.<id>.analyzer") and is held locked by
    // it; earlier versions made it under this name as it stands.
    static constexpr const char* kMSAnalyzerFilename = "MSCrashes.analyzer";
    static constexpr size_t kMaxAttachmentSize = 7 * 1024 * 1024;
    static constexpr unsigned kMaxAttachmentsPerErrorReport = 2;

    // --- class-level operations, each on the shared instance ---
    static std::shared_ptr<MSCrashes> sharedInstance();
    // Forgets the instance (and re-arms delayed processing): the next sharedInstance is new.
    static void resetSharedInstance();
    static std::string serviceName() { return kMSServiceName; }
    static std::string logTag() { return kMSLogTag; }
    // Ends the process through the engine's crash path (an illegal instruction) once started.
    static void generateTestCrash();
    static bool hasCrashedInLastSession();
    static bool hasReceivedMemoryWarningInLastSession();
    static std::shared_ptr<MSErrorReport> lastSessionCrashReport();
    static void setUserConfirmationHandler(MSUserConfirmationHandler handler);
    static void notifyWithUserConfirmation(MSUserConfirmation userConfirmation);
    static void setDelegate(std::weak_ptr<MSCrashesDelegate> delegate);
    // Takes effect only before the engine is configured.
    static void disableMachExceptionHandler();
    // An exception the application caught at its top level: recorded as this run's crash.
    static void applicationDidReportException(const platform::crash::UncaughtException& exception);
    // Whether an attachment carries an error id, an attachment id, data and a content type.
    static bool validatePropertiesForAttachment(const MSErrorAttachmentLog& attachment);

    // --- the service ---
    std::string className() const override { return "MSCrashes"; }
    std::string groupId() const override { return kMSGroupId; }
    int initializationPriority() const override { return 999; }
    std::optional<MSChannelUnitConfiguration> channelUnitConfiguration() const override;
    void startWithChannelGroup(const std::shared_ptr<MSChannelGroup>& channelGroup, std::optional<std::string> appSecret,
                               std::optional<std::string> transmissionTargetToken, bool fromApplication) override;
    void updateConfigurationWithAppSecret(std::optional<std::string> appSecret,
                                          std::optional<std::string> transmissionTargetToken) override;
    void applyEnabledState(bool enabled) override;
    // Arms the engine at most once per instance.
    void configureCrashReporterWithUncaughtExceptionHandlerEnabled(bool enableUncaughtExceptionHandler);

    bool isMachExceptionHandlerEnabled() const;
    void setEnableMachExceptionHandler(bool enabled);
    bool isAutomaticProcessingEnabled() const;
    void setAutomaticProcessingEnabled(bool enabled);
    std::shared_ptr<MSCrashesDelegate> delegate() const;
    bool didCrashInLastSession() const;
    bool didReceiveMemoryWarningInLastSession() const;
    std::shared_ptr<MSErrorReport> getLastSessionCrashReport() const;
    std::shared_ptr<MSCrashReporter> qvCrashReporter() const;
    platform::crash::UncaughtExceptionHandler exceptionHandler() const;
    platform::Date appStartTime() const { return appStartTime_; }
    const std::string& crashesPathComponent() const { return crashesPathComponent_; }
    const std::string& logBufferPathComponent() const { return logBufferPathComponent_; }
    const std::string& analyzerInProgressFilePathComponent() const { return analyzerInProgressFilePathComponent_; }

    // Stores the memory warning for the next start (the argument is not used).
    void didReceiveMemoryWarning(const void* unused = nullptr);
    // For a host that knows its application came back: processes stored reports not yet processed.
    void applicationWillEnterForeground();
    // Keeps only the current entries of the device, session and user-id histories.
    void clearContextHistoryAndKeepCurrentSession();

    // --- stored reports ---
    void handleLatestCrashReport();
    std::vector<std::filesystem::path> persistedCrashReports();
    std::vector<std::filesystem::path> crashFiles() const;
    void setCrashFiles(std::vector<std::filesystem::path> files);
    void startDelayedCrashProcessing();
    void startCrashProcessing();
    void processCrashReports();
    bool shouldProcessErrorReport(const std::shared_ptr<MSErrorReport>& report);
    // Waits until processing has run (or was found unnecessary), then the pending reports.
    std::vector<std::shared_ptr<MSErrorReport>> unprocessedCrashReports();
    void processMemoryWarningInLastSession();
    // This start's own marker: made once (held until removed), and removed.
    void createAnalyzerFile();
    void removeAnalyzerFile();
    void deleteCrashReportWithFileURL(const std::filesystem::path& url);
    void deleteAllFromCrashesDirectory();

    // --- confirmation and sending ---
    bool shouldAlwaysSend() const;
    bool sendCrashReportsOrAwaitUserConfirmation();
    bool userPromptedForConfirmation();
    void notifyUserConfirmation(MSUserConfirmation userConfirmation);
    void handleUserConfirmation(MSUserConfirmation userConfirmation);
    bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const std::vector<std::string>& incidentIds);
    void clearUnprocessedReports();
    void sendErrorAttachments(const std::vector<std::shared_ptr<MSErrorAttachmentLog>>& attachments,
                              const std::optional<std::string>& incidentIdentifier);

    // --- handled errors ---
    // The new error id, or nullopt when the service cannot be used or is disabled.
    std::optional<std::string> trackModelException(
        const std::shared_ptr<MSException>& exception,
        const std::optional<std::map<std::string, std::string>>& properties = std::nullopt,
        const std::vector<std::shared_ptr<MSErrorAttachmentLog>>& attachments = {});
    std::shared_ptr<MSErrorReport> buildHandledErrorReportWithErrorID(const std::string& errorId) const;

    // --- channel callbacks ---
    // Every log handed to a channel of the group is kept in the crash-time buffer until stored,
    // but for those sent again from another process's buffer.
    void didPrepareLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log, const std::string& internalId,
                       uint32_t flags) override;
    // A crash report's file goes once its log and attachments are stored, and comes back (for
    // the next start) when the store could not take the log. Every other log leaves the
    // crash-time buffer here, unless the store could not take it.
    void didCompleteEnqueueingLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log,
                                  const std::string& internalId, MSEnqueueOutcome outcome) override;
    void willSendLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) override;
    void didSucceedSendingLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) override;
    void didFailSendingLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log,
                           const platform::Error& error) override;

    // The engine's post-crash callback: async-signal-safe.
    static void crashReporterCallback(siginfo_t* info, ucontext_t* uap, void* context);
    // Hands an uncaught exception to the installed uncaught-exception handler, when there is one,
    // and ends the process. For the C++ terminate path.
    [[noreturn]] static void handOverUncaughtExceptionAndAbort(const platform::crash::UncaughtException& exception);

    MSCrashes();
    ~MSCrashes() override;

private:
    // A stored report this start owns, from processing until it is sent (its file deleted) or
    // kept for a later start: its file held open under a lock. Every start of the application
    // processes the same "crashes" folder; a report another start owns is left to it.
    class ReportClaim;
    struct Pending {
        std::shared_ptr<MSAppleErrorLog> log;
        std::shared_ptr<MSErrorReport> report;
        std::filesystem::path file;
        std::shared_ptr<ReportClaim> claim;
    };
    // A report on its way into the log store: its file, marked meanwhile (a temporary name), goes
    // once its attachments and then its log are stored.
    struct Sending {
        std::shared_ptr<MSAppleErrorLog> log;
        std::filesystem::path file;
        std::filesystem::path marked;
        std::optional<std::string> incidentIdentifier;
        std::shared_ptr<ReportClaim> claim;
        size_t attachmentsLeft = 0;  // not yet settled
        size_t attachmentsNotStored = 0;
    };

    template <class T>
    T locked(const T& field) const;
    template <class T>
    void setLocked(T& field, T value);
    std::shared_ptr<MSChannelDelegate> asChannelDelegate();
    void enable();
    void disable();
    // Saves a report's bytes into the "crashes" folder under a name no other report has (the
    // second it is saved, with "-<n>" after it when that is taken), never replacing a file.
    bool saveCrashFile(const platform::Bytes& data) const;
    // Removes what starts that are gone left in the "crashes" folder: files under temporary names,
    // and the given markers of starts that ended.
    void removeAbandonedFiles(const std::vector<std::filesystem::path>& endedStartsMarkers);
    // Takes the pending reports over, the given markers being those of starts that ended (looked
    // at before the reports were listed): those starts' abandoned reports go unread.
    void takeOverPendingCrashReports(const std::vector<std::filesystem::path>& endedStartsMarkers);
    // A report handed to the store is marked ("<name>.<error id>.sending" under a temporary name)
    // until its log is stored. Its crash log is sent, or dropped, once only: the file goes when
    // that log leaves the store (sent or dropped by any start of the application, whichever start
    // marked it), so a marked report whose log the store does not hold was never stored.
    static std::string sendingName(const std::filesystem::path& file, const std::optional<std::string>& incidentIdentifier);
    void settleSentReport(const std::shared_ptr<MSAbstractLog>& log);
    // Settles the reports starts that are gone were handing to the store: gone when their crash
    // log is stored, else given their names back. Before this start's unit sends anything.
    void settleAbandonedSending(MSLogDBStorage* storage);
    // A sending report's log goes to the store, its attachments being stored.
    void storeCrashLog(const std::shared_ptr<Sending>& sending);
    // One of a sending report's logs reached its outcome.
    void sendingSettled(const MSAbstractLog* log, MSEnqueueOutcome outcome);
    // The attachments that may be sent, bound to the report (the others said in the log).
    static std::vector<std::shared_ptr<MSErrorAttachmentLog>> sendableAttachments(
        const std::vector<std::shared_ptr<MSErrorAttachmentLog>>& attachments,
        const std::optional<std::string>& incidentIdentifier);
    // Takes one pending report over into the "crashes" folder; its error report when it decodes.
    std::shared_ptr<MSErrorReport> takeOverCrashReport(const MSCrashReporter& reporter,
                                                       const MSCrashReporter::PendingReport& report);
    void removeCrashFile(const std::filesystem::path& file);
    // The markers in "crashes" of starts that ended while taking reports over (whatever version
    // made them); the others are live starts' own.
    std::vector<std::filesystem::path> analyzerFilesOfEndedStarts() const;
    void discardPending(const Pending& entry);
    void sendPending(const Pending& entry);
    template <class Member, class... Args>
    void notifyDelegate(Member member, const std::shared_ptr<MSAbstractLog>& log, const Args&... args);

    // Where the crash-time log buffer, wrapper exceptions, the C++ exception handler and the
    // application forwarder join the service.
    void setupLogBuffer();
    void processLogBufferAfterCrash();
    void emptyLogBufferFiles();
    static void writeLogBufferAtCrash();
    bool shouldEnableUncaughtExceptionHandler();
    void willSetUpCrashHandlers();
    void didSetUpCrashHandlers();
    void registerCXXExceptionHandler();
    void registerApplicationForwarding();
    void correlateLastSavedWrapperExceptionToReports(const std::vector<std::shared_ptr<MSErrorReport>>& reports);
    void deleteWrapperExceptionWithUUIDString(const std::optional<std::string>& incidentIdentifier);
    void deleteAllWrapperExceptions();

    const platform::Date appStartTime_;
    const std::string crashesPathComponent_;
    const std::string logBufferPathComponent_;
    const std::string analyzerInProgressFilePathComponent_;
    const MSChannelUnitConfiguration channelUnitConfiguration_;

    mutable std::mutex mutex_;  // the fields below
    std::weak_ptr<MSCrashesDelegate> delegate_;
    MSUserConfirmationHandler userConfirmationHandler_;
    bool didCrashInLastSession_ = false;
    bool didReceiveMemoryWarningInLastSession_ = false;
    std::shared_ptr<MSErrorReport> lastSessionCrashReport_;
    bool enableMachExceptionHandler_ = true;
    bool automaticProcessingEnabled_ = true;
    std::shared_ptr<MSCrashReporter> qvCrashReporter_;
    platform::crash::UncaughtExceptionHandler exceptionHandler_ = nullptr;
    std::shared_ptr<platform::MemoryPressureSource> memoryPressureSource_;
    std::filesystem::path analyzerFile_;  // this start's marker, held by analyzerFd_ (-1: none)
    int analyzerFd_ = -1;
    std::vector<std::filesystem::path> crashFiles_;
    std::optional<std::vector<Pending>> unprocessed_;  // nullopt until processing first ran
    std::map<const MSAbstractLog*, std::shared_ptr<Sending>> awaitingStore_;
    bool delayedProcessingScheduled_ = false;
    bool delayedProcessingDone_ = false;

    platform::DispatchSemaphore delayedProcessingSemaphore_{0};

    // The crash-time log buffer's: file creation tasks, the key for target tokens, the re-send unit.
    const std::shared_ptr<platform::DispatchGroup> bufferFileGroup_ = platform::DispatchGroup::make();
    MSEncrypter targetTokenEncrypter_;
    std::shared_ptr<MSChannelUnit> bufferChannelUnit_;  // under mutex_
};

}  // namespace quorvane
