#include "crashes/MSCrashes.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "crashes/MSApplicationForwarder.h"
#include "crashes/MSCrashesCXXExceptionHandler.h"
#include "crashes/MSCrashesCXXExceptionWrapperException.h"
#include "crashes/MSCrashesLogBuffer.h"
#include "crashes/MSCrashesUtil.h"
#include "crashes/MSErrorLogFormatter.h"
#include "crashes/MSWrapperException.h"
#include "crashreporter/report/MSCrashReport.h"
#include "crashreporter/capture/MSCrashReporter.h"
#include "crashreporter/capture/QVCrashAsync.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/UUID.h"
#include "platform/runloop/MemoryPressureSource.h"
#include "platform/runloop/RunLoop.h"
#include "telemetry/MSChannelGroup.h"
#include "telemetry/MSDeviceTracker.h"
#include "telemetry/MSDispatcherUtil.h"
#include "telemetry/MSLogDBStorage.h"
#include "telemetry/MSLogger.h"
#include "telemetry/MSRevAzezar.h"
#include "telemetry/MSSessionContext.h"
#include "telemetry/MSUserDefaults.h"
#include "telemetry/MSUserIdContext.h"
#include "telemetry/MSUtility.h"

namespace fs = std::filesystem;

namespace quorvane {

namespace {

constexpr const char* kTag = MSCrashes::kMSLogTag;

// The shared instance's slot. Replaced instances are kept: threads of the old one may still run.
struct Slot {
    std::mutex mutex;
    std::shared_ptr<MSCrashes> instance;
    std::vector<std::shared_ptr<MSCrashes>> retired;
};
Slot& slot() {
    static auto* s = new Slot;
    return *s;
}

// Handed to the engine once; it keeps the address.
const QVCrashReporterCallbacks kCrashCallbacks = {0, nullptr, &MSCrashes::crashReporterCallback};

// What a report's temporary name ends in while it is being handed to the log store.
constexpr std::string_view kSendingSuffix = ".sending";

bool hasIgnoredSuffix(const std::string& name) {
    for (const char* suffix : {".DS_Store", ".analyzer", ".plist", ".data", ".meta", ".desc"}) {
        const size_t n = std::char_traits<char>::length(suffix);
        if (name.size() >= n && name.compare(name.size() - n, n, suffix) == 0) return true;
    }
    return false;
}

}  // namespace

// ---------------------------------------------------------------- the shared instance

std::shared_ptr<MSCrashes> MSCrashes::sharedInstance() {
    auto& s = slot();
    std::lock_guard lock(s.mutex);
    if (!s.instance) {
        s.instance = std::make_shared<MSCrashes>();
        s.instance->init();
    }
    return s.instance;
}

void MSCrashes::resetSharedInstance() {
    auto& s = slot();
    std::lock_guard lock(s.mutex);
    if (s.instance) s.retired.push_back(std::move(s.instance));
}

MSCrashes::MSCrashes()
    : appStartTime_(platform::Date::now()),
      crashesPathComponent_(MSCrashesUtil::crashesDir()),
      logBufferPathComponent_(MSCrashesUtil::logBufferDir()),
      analyzerInProgressFilePathComponent_(crashesPathComponent_ + "/" + kMSAnalyzerFilename),
      channelUnitConfiguration_(MSChannelUnitConfiguration::initWithGroupId(kMSGroupId, 2, 1, 1, 3)) {
    registerCrashesClasses();
    setupLogBuffer();
}

MSCrashes::~MSCrashes() {
    if (memoryPressureSource_) memoryPressureSource_->cancel();
    removeAnalyzerFile();
}

std::shared_ptr<MSChannelDelegate> MSCrashes::asChannelDelegate() {
    return std::shared_ptr<MSChannelDelegate>(shared_from_this(), static_cast<MSChannelDelegate*>(this));
}

std::optional<MSChannelUnitConfiguration> MSCrashes::channelUnitConfiguration() const {
    return channelUnitConfiguration_;
}

// ---------------------------------------------------------------- class-level operations

void MSCrashes::generateTestCrash() {
    auto self = sharedInstance();
    std::lock_guard lock(self->sharedInstanceLock());
    if (!self->canBeUsed()) return;
    if (MSUtility::currentAppEnvironment() == MSEnvironment::AppStore) {
        MSLogWarning(kTag, "GenerateTestCrash was just called in an App Store environment. The call will be ignored.");
        return;
    }
    if (MSRevAzezar::isDebuggerAttached())
        MSLogWarning(kTag, "The debugger is attached. The following crash cannot be detected by the SDK!");
    __builtin_trap();
}

bool MSCrashes::hasCrashedInLastSession() { return sharedInstance()->didCrashInLastSession(); }
bool MSCrashes::hasReceivedMemoryWarningInLastSession() {
    return sharedInstance()->didReceiveMemoryWarningInLastSession();
}
std::shared_ptr<MSErrorReport> MSCrashes::lastSessionCrashReport() {
    return sharedInstance()->getLastSessionCrashReport();
}

void MSCrashes::setUserConfirmationHandler(MSUserConfirmationHandler handler) {
    auto self = sharedInstance();
    self->setLocked(self->userConfirmationHandler_, std::move(handler));
}

void MSCrashes::notifyWithUserConfirmation(MSUserConfirmation userConfirmation) {
    sharedInstance()->notifyUserConfirmation(userConfirmation);
}

void MSCrashes::setDelegate(std::weak_ptr<MSCrashesDelegate> delegate) {
    auto self = sharedInstance();
    self->setLocked(self->delegate_, std::move(delegate));
}

void MSCrashes::disableMachExceptionHandler() { sharedInstance()->setEnableMachExceptionHandler(false); }

void MSCrashes::applicationDidReportException(const platform::crash::UncaughtException& exception) {
    if (MSRevAzezar::isDebuggerAttached()) return;
    if (auto handler = sharedInstance()->exceptionHandler()) handler(exception);
}

bool MSCrashes::validatePropertiesForAttachment(const MSErrorAttachmentLog& attachment) {
    auto filled = [](const std::optional<std::string>& s) { return s && !s->empty(); };
    return filled(attachment.errorId) && filled(attachment.attachmentId) && attachment.data &&
           !attachment.data->empty() && filled(attachment.contentType);
}

// ---------------------------------------------------------------- accessors

template <class T>
T MSCrashes::locked(const T& field) const {
    std::lock_guard lock(mutex_);
    return field;
}
template <class T>
void MSCrashes::setLocked(T& field, T value) {
    std::lock_guard lock(mutex_);
    field = std::move(value);
}

bool MSCrashes::isMachExceptionHandlerEnabled() const { return locked(enableMachExceptionHandler_); }
void MSCrashes::setEnableMachExceptionHandler(bool enabled) { setLocked(enableMachExceptionHandler_, enabled); }
bool MSCrashes::isAutomaticProcessingEnabled() const { return locked(automaticProcessingEnabled_); }
void MSCrashes::setAutomaticProcessingEnabled(bool enabled) { setLocked(automaticProcessingEnabled_, enabled); }
std::shared_ptr<MSCrashesDelegate> MSCrashes::delegate() const { return locked(delegate_).lock(); }
bool MSCrashes::didCrashInLastSession() const { return locked(didCrashInLastSession_); }
bool MSCrashes::didReceiveMemoryWarningInLastSession() const { return locked(didReceiveMemoryWarningInLastSession_); }
std::shared_ptr<MSErrorReport> MSCrashes::getLastSessionCrashReport() const { return locked(lastSessionCrashReport_); }
std::shared_ptr<MSCrashReporter> MSCrashes::qvCrashReporter() const { return locked(qvCrashReporter_); }
platform::crash::UncaughtExceptionHandler MSCrashes::exceptionHandler() const { return locked(exceptionHandler_); }
std::vector<fs::path> MSCrashes::crashFiles() const { return locked(crashFiles_); }
void MSCrashes::setCrashFiles(std::vector<fs::path> files) { setLocked(crashFiles_, std::move(files)); }

// ---------------------------------------------------------------- start, enabling, arming

void MSCrashes::startWithChannelGroup(const std::shared_ptr<MSChannelGroup>& channelGroup,
                                      std::optional<std::string> appSecret,
                                      std::optional<std::string> transmissionTargetToken, bool fromApplication) {
    // A delegate before the unit exists: the unit may start at once to send what an earlier run
    // stored, and the sending notifications must hear that too.
    channelGroup->addDelegate(asChannelDelegate());
    settleAbandonedSending(channelGroup->storage().get());
    MSServiceAbstract::startWithChannelGroup(channelGroup, std::move(appSecret), std::move(transmissionTargetToken),
                                             fromApplication);
    processLogBufferAfterCrash();
    processMemoryWarningInLastSession();
    MSLogVerbose(kTag, "Started crash service.");
}

void MSCrashes::updateConfigurationWithAppSecret(std::optional<std::string> appSecret,
                                                 std::optional<std::string> transmissionTargetToken) {
    processLogBufferAfterCrash();
    MSServiceAbstract::updateConfigurationWithAppSecret(std::move(appSecret), std::move(transmissionTargetToken));
}

void MSCrashes::applyEnabledState(bool enabled) {
    MSServiceAbstract::applyEnabledState(enabled);
    enabled ? enable() : disable();
}

void MSCrashes::enable() {
    const bool uncaughtExceptionHandler = shouldEnableUncaughtExceptionHandler();
    willSetUpCrashHandlers();
    configureCrashReporterWithUncaughtExceptionHandlerEnabled(uncaughtExceptionHandler);
    didSetUpCrashHandlers();

    auto source = platform::MemoryPressureSource::make(
        static_cast<unsigned>(platform::MemoryPressure::Warning) | static_cast<unsigned>(platform::MemoryPressure::Critical),
        platform::DispatchQueue::main(), [weak = std::weak_ptr<MSServiceAbstract>(shared_from_this())](auto) {
            if (auto self = std::static_pointer_cast<MSCrashes>(weak.lock())) self->didReceiveMemoryWarning();
        });
    {
        std::lock_guard lock(mutex_);
        if (memoryPressureSource_) memoryPressureSource_->cancel();
        memoryPressureSource_ = source;
    }
    source->resume();

    auto reporter = qvCrashReporter();
    // Re-enabled within a run: a crash that happened while the service was disabled is not reported.
    if (!isEnabled() && reporter) reporter->purgePendingCrashReport();
    // The markers of starts that ended, at every start (with a report pending or not), and before
    // the pending reports are listed: a start that ends in between has its report listed as
    // abandoned, so that it goes with its marker.
    const auto ended = analyzerFilesOfEndedStarts();
    if (reporter && reporter->hasPendingCrashReport()) {
        setLocked(didCrashInLastSession_, true);
        MSLogDebug(kTag, "The application crashed in the last session.");
        takeOverPendingCrashReports(ended);
    }
    removeAbandonedFiles(ended);
    setCrashFiles(persistedCrashReports());
    if (!crashFiles().empty()) {
        startDelayedCrashProcessing();
    } else {
        setLocked(delayedProcessingDone_, true);
        delayedProcessingSemaphore_.signal();
        clearContextHistoryAndKeepCurrentSession();
    }
    if (MSRevAzezar::isDebuggerAttached())
        MSLogInfo(kTag, "Crashes service has been enabled but the service cannot detect crashes due to running the "
                        "application with a debugger attached.");
    else
        MSLogInfo(kTag, "Crashes service has been enabled.");
}

void MSCrashes::disable() {
    std::shared_ptr<platform::MemoryPressureSource> source;
    {
        std::lock_guard lock(mutex_);
        source = std::move(memoryPressureSource_);
    }
    if (source) source->cancel();
    MSLogDebug(kTag, "Cleaning up all crash files.");
    deleteAllWrapperExceptions();
    deleteAllFromCrashesDirectory();
    emptyLogBufferFiles();
    removeAnalyzerFile();
    if (auto reporter = qvCrashReporter()) reporter->purgePendingCrashReport();
    clearUnprocessedReports();
    clearContextHistoryAndKeepCurrentSession();
    MSUserDefaults::shared().removeObjectForKey(kMSAppDidReceiveMemoryWarningKey);
    MSLogInfo(kTag, "Crashes service has been disabled.");
}

void MSCrashes::configureCrashReporterWithUncaughtExceptionHandlerEnabled(bool enableUncaughtExceptionHandler) {
    if (qvCrashReporter()) {
        MSLogDebug(kTag, "Already configured QVCrashReporter.");
        return;
    }
    MSLogDebug(kTag, enableUncaughtExceptionHandler
                         ? "EnableUncaughtExceptionHandler is set to YES"
                         : "EnableUncaughtExceptionHandler is set to NO, we're running in a Xamarin runtime.");
    MSCrashReporterSignalHandlerType type = MSCrashReporterSignalHandlerTypeBSD;
    if (isMachExceptionHandlerEnabled()) {
        type = MSCrashReporterSignalHandlerTypeMach;
        MSLogVerbose(kTag, "Enabled Mach exception handler.");
    }
    const MSCrashReporterConfig config(type, MSCrashReporterSymbolicationStrategyNone,
                                                          enableUncaughtExceptionHandler);
    auto reporter = MSCrashReporter::initWithConfiguration(config);
    setLocked(qvCrashReporter_, reporter);
    if (MSRevAzezar::isDebuggerAttached()) {
        MSLogWarning(kTag, "Detecting crashes is NOT enabled due to running the app with a debugger attached.");
        return;
    }
    const auto before = platform::crash::uncaughtExceptionHandler();
    reporter->setCrashCallbacks(&kCrashCallbacks);
    if (auto enabled = reporter->enableCrashReporter(); !enabled)
        MSLogError(kTag, "Could not enable crash reporter: " + enabled.error().localizedDescription());
    const auto now = platform::crash::uncaughtExceptionHandler();
    if (now && now != before) {
        setLocked(exceptionHandler_, now);
        MSLogDebug(kTag, "Exception handler successfully initialized.");
    } else if (!enableUncaughtExceptionHandler && now) {
        setLocked(exceptionHandler_, now);
        MSLogDebug(kTag,
                   "Exception handler successfully initialized but it has not been registered due to the wrapper SDK.");
    } else {
        MSLogError(kTag, "Exception handler could not be set. Make sure there is no other exception handler set up!");
    }
    registerCXXExceptionHandler();
    registerApplicationForwarding();
}

void MSCrashes::didReceiveMemoryWarning(const void*) {
    MSUserDefaults::shared().setObject(true, kMSAppDidReceiveMemoryWarningKey);
}

void MSCrashes::applicationWillEnterForeground() {
    if (!crashFiles().empty()) startDelayedCrashProcessing();
}

void MSCrashes::clearContextHistoryAndKeepCurrentSession() {
    MSDeviceTracker::sharedInstance().clearDevices();
    MSSessionContext::sharedInstance().clearSessionHistoryAndKeepCurrentSession(true);
    MSUserIdContext::sharedInstance().clearUserIdHistory();
}

void MSCrashes::crashReporterCallback(siginfo_t*, ucontext_t*, void*) { writeLogBufferAtCrash(); }

void MSCrashes::handOverUncaughtExceptionAndAbort(const platform::crash::UncaughtException& exception) {
    if (auto handler = platform::crash::uncaughtExceptionHandler()) {
        handler(exception);
    } else {
        static const char kMessage[] = "[RevAzezarCrashes] No uncaught-exception handler is installed.\n";
        (void)!::write(STDERR_FILENO, kMessage, sizeof(kMessage) - 1);
    }
    std::abort();
}

// ---------------------------------------------------------------- stored reports

void MSCrashes::createAnalyzerFile() {
    if (locked(analyzerFd_) >= 0) return;  // this start's stands already
    const fs::path plain(kMSAnalyzerFilename);
    const std::string name = plain.stem().string() + "." + platform::UUID().uuidString() + plain.extension().string();
    const auto folder = MSUtility::createDirectoryForPathComponent(crashesPathComponent_);
    const int fd = folder ? MSCrashesUtil::makeLockedFile(*folder, name) : -1;
    if (fd < 0) {
        MSLogError(kTag, "Couldn't create crash analyzer file.");
        return;
    }
    std::lock_guard lock(mutex_);
    analyzerFd_ = fd;
    analyzerFile_ = *folder / name;
}

void MSCrashes::removeAnalyzerFile() {
    fs::path file;
    int fd = -1;
    {
        std::lock_guard lock(mutex_);
        std::swap(fd, analyzerFd_);
        std::swap(file, analyzerFile_);
    }
    if (fd < 0) return;
    // Gone before its lock: never seen as the marker of a start that ended.
    ::unlink(file.c_str());
    ::close(fd);
}

std::vector<fs::path> MSCrashes::analyzerFilesOfEndedStarts() const {
    const fs::path plain(kMSAnalyzerFilename);
    const std::string prefix = plain.stem().string() + ".", suffix = plain.extension().string();
    std::vector<fs::path> ended;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(MSUtility::fullURLForPathComponent(crashesPathComponent_), ec)) {
        const std::string name = entry.path().filename().string();
        // Its owner holds its lock while it lives; an earlier version's, never locked, is ended.
        if (name.starts_with(prefix) && name.ends_with(suffix) && qvcrash_async_lock_is_free(entry.path().c_str()))
            ended.push_back(entry.path());
    }
    return ended;
}

class MSCrashes::ReportClaim {
public:
    // The claim, or null when another start owns the report or it is gone.
    static std::shared_ptr<ReportClaim> take(const fs::path& file) {
        // Locked, and still the file of that name: not one another start sent and deleted while
        // this one waited to open it.
        const int fd = qvcrash_async_open_locked(file.c_str(), false);
        return fd < 0 ? nullptr : std::shared_ptr<ReportClaim>(new ReportClaim(fd));
    }
    ~ReportClaim() { ::close(fd_); }
    ReportClaim(const ReportClaim&) = delete;
    ReportClaim& operator=(const ReportClaim&) = delete;

private:
    explicit ReportClaim(int fd) : fd_(fd) {}
    const int fd_;
};

bool MSCrashes::saveCrashFile(const platform::Bytes& data) const {
    if (!MSUtility::createDirectoryForPathComponent(crashesPathComponent_)) return false;
    char name[64];
    std::snprintf(name, sizeof(name), "%.0f", platform::Date::now().timeIntervalSinceReferenceDate());
    // Whole before it is named, and never over another start's report of the same second.
    auto saved = MSCrashesUtil::saveNewFile(MSUtility::fullURLForPathComponent(crashesPathComponent_), name,
                                            std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    if (!saved) MSLogError(kTag, "Couldn't save the crash report: " + saved.error().localizedDescription());
    return saved.ok();
}

void MSCrashes::removeAbandonedFiles(const std::vector<fs::path>& endedStartsMarkers) {
    // A copy a start was saving when it ended: it was being taken over (the reading may be what
    // ended that start).
    MSCrashesUtil::removeAbandonedTemporaries(MSUtility::fullURLForPathComponent(crashesPathComponent_));
    std::error_code ec;
    for (const auto& file : endedStartsMarkers) fs::remove(file, ec);
}

std::string MSCrashes::sendingName(const fs::path& file, const std::optional<std::string>& incidentIdentifier) {
    // "<name>.<error id>.sending": a report's name has no dot of its own.
    return file.filename().string() + (incidentIdentifier ? "." + *incidentIdentifier : "") + std::string(kSendingSuffix);
}

void MSCrashes::settleSentReport(const std::shared_ptr<MSAbstractLog>& log) {
    auto crash = std::dynamic_pointer_cast<MSAppleErrorLog>(log);
    if (!crash || !crash->errorId) return;
    // Whichever start hands it to the ingestion (or drops it), and whichever start marked it: a
    // crash log that leaves the store never comes back, so neither may its report.
    const std::string suffix = sendingName("", crash->errorId);
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(MSUtility::fullURLForPathComponent(crashesPathComponent_), ec))
        if (MSCrashesUtil::intendedName(entry.path().filename().string()).ends_with(suffix))
            fs::remove(entry.path(), ec);
}

void MSCrashes::settleAbandonedSending(MSLogDBStorage* storage) {
    // Asked before this start sends a log: one a start sent and deleted from the store meanwhile
    // would be taken for one never stored.
    const fs::path folder = MSUtility::fullURLForPathComponent(crashesPathComponent_);
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = MSCrashesUtil::intendedName(entry.path().filename().string());
        if (!name.ends_with(kSendingSuffix)) continue;
        const int fd = MSCrashesUtil::takeOwnership(entry.path());
        if (fd < 0) continue;  // its start lives
        std::optional<std::string> id;
        std::optional<bool> stored;
        if (auto bytes = MSCrashReporter::readCrashReportFile(entry.path()); bytes && storage) {
            if (auto report = MSCrashReport::initWithData(*bytes)) {
                id = MSErrorLogFormatter::errorIdForCrashReport(**report);
                stored = storage->holdsLogWith(kMSGroupId, "id", *id);
            }
        }
        if (stored.value_or(false)) {
            deleteCrashReportWithFileURL(entry.path());
        } else if (auto placed = MSCrashesUtil::placeUnderNewName(entry.path(), folder, name.substr(0, name.find('.')));
                   !placed) {
            MSLogError(kTag, "Couldn't give an unsent crash report its name back: " + placed.error().localizedDescription());
        } else if (id && stored) {
            // Its attachments are asked for again when it is sent: those stored go.
            storage->deleteUnsentLogsWith(kMSGroupId, "errorId", *id);
        }
        ::close(fd);
    }
}

void MSCrashes::handleLatestCrashReport() {
    const auto ended = analyzerFilesOfEndedStarts();
    takeOverPendingCrashReports(ended);
    removeAbandonedFiles(ended);
}

void MSCrashes::takeOverPendingCrashReports(const std::vector<fs::path>& ended) {
    auto reporter = qvCrashReporter();
    if (!reporter) return;
    auto pending = reporter->pendingCrashReports();
    if (!ended.empty()) {
        // A start ended while taking a report over: the report it was reading may be what ended
        // it, so that one goes unread. Reports nobody had read yet are taken over as usual. A
        // start still at work keeps its marker.
        MSLogError(kTag, "Error on loading the crash report, it will be purged.");
        for (const auto& report : pending) {
            if (!report.abandoned) continue;
            if (auto taken = reporter->takeOverPendingCrashReport(report)) reporter->purgeTakenCrashReport(*taken);
        }
        std::erase_if(pending, [](const auto& report) { return report.abandoned; });
    }
    std::vector<std::shared_ptr<MSErrorReport>> errorReports;
    if (!pending.empty()) createAnalyzerFile();
    for (const auto& report : pending)
        if (auto errorReport = takeOverCrashReport(*reporter, report)) errorReports.push_back(std::move(errorReport));
    removeAnalyzerFile();
    if (errorReports.empty()) return;
    // The latest crash is the last session's (the reports are taken over oldest first).
    setLocked(lastSessionCrashReport_, errorReports.back());
    correlateLastSavedWrapperExceptionToReports(errorReports);
}

std::shared_ptr<MSErrorReport> MSCrashes::takeOverCrashReport(const MSCrashReporter& reporter,
                                                              const MSCrashReporter::PendingReport& report) {
    auto taken = reporter.takeOverPendingCrashReport(report);
    if (!taken) {
        // Gone: another start of the application took it over first.
        if (taken.error().code != ENOENT)
            MSLogError(kTag, "Couldn't load crash report: " + taken.error().localizedDescription());
        return nullptr;
    }
    auto data = MSCrashReporter::readCrashReportFile(*taken);
    if (!data) {
        // Not read whole is not a damaged report: a later start may read it.
        MSLogWarning(kTag, "Couldn't load crash report, it is kept for a later start: " +
                               data.error().localizedDescription());
        reporter.returnTakenCrashReport(*taken);
        return nullptr;
    }
    auto decoded = MSCrashReport::initWithData(*data);
    // A report of a later format goes into the "crashes" folder too, where the version that
    // reads it finds it.
    if (!decoded && !MSCrashReport::isOfNewerFormat(*data)) {
        MSLogWarning(kTag, "Couldn't parse crash report: " + decoded.error().localizedDescription());
        reporter.purgeTakenCrashReport(*taken);
        return nullptr;
    }
    // Only a report that reached the "crashes" folder leaves the engine.
    if (!saveCrashFile(*data)) {
        reporter.returnTakenCrashReport(*taken);
        return nullptr;
    }
    reporter.purgeTakenCrashReport(*taken);
    return decoded ? MSErrorLogFormatter::errorReportFromCrashReport(decoded->get()) : nullptr;
}

std::vector<fs::path> MSCrashes::persistedCrashReports() {
    std::vector<fs::path> out;
    auto entries = MSUtility::contentsOfDirectory(crashesPathComponent_);
    if (!entries) {
        MSLogError(kTag, "No persisted crashes found.");
        return out;
    }
    for (const auto& url : *entries) {
        std::error_code ec;
        if (!fs::is_regular_file(fs::symlink_status(url, ec))) continue;
        // A hidden name is a report still being written (by this process or another one of the
        // application), which takes its own name only once whole. An empty file is listed: it is
        // no report and goes at the next processing.
        const std::string name = url.filename().string();
        if (name.starts_with('.') || hasIgnoredSuffix(name)) continue;
        out.push_back(url);
    }
    return out;
}

void MSCrashes::startDelayedCrashProcessing() {
    setLocked(delayedProcessingScheduled_, true);
    platform::DispatchQueue::global()->asyncAfter(1.0, [weak = weak_from_this()] {
        auto self = std::static_pointer_cast<MSCrashes>(weak.lock());
        if (!self) return;
        if (self->isAutomaticProcessingEnabled() && MSUtility::applicationState() == MSApplicationState::Background) {
            MSLogWarning(kTag, "Crashes will not be processed because the application is in the background.");
            return;
        }
        {
            std::lock_guard lock(self->mutex_);
            if (self->delayedProcessingDone_) return;
            self->delayedProcessingDone_ = true;
        }
        self->startCrashProcessing();
        self->delayedProcessingSemaphore_.signal();
    });
}

void MSCrashes::startCrashProcessing() {
    MSLogDebug(kTag, "Start delayed CrashManager processing");
    const auto handler = exceptionHandler();
    if (handler && handler != platform::crash::uncaughtExceptionHandler())
        MSLogWarning(kTag, "Another exception handler was added. If this invokes any kind of exit() after processing "
                           "the exception, which causes any subsequent error handler not to be invoked, these crashes "
                           "will NOT be reported to Rev Azezar!");
    processCrashReports();
}

void MSCrashes::processCrashReports() {
    if (!isEnabled()) {
        MSLogDebug(kTag, "Crashes service is disabled; discard all crash reports");
        deleteAllFromCrashesDirectory();
        deleteAllWrapperExceptions();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        unprocessed_.emplace();
    }
    struct Decoded {
        fs::path file;
        std::unique_ptr<MSCrashReport> report;
        std::shared_ptr<MSErrorReport> errorReport;
        std::shared_ptr<ReportClaim> claim;
    };
    std::vector<Decoded> decoded;
    for (const auto& file : crashFiles()) {
        auto claim = ReportClaim::take(file);
        if (!claim) {
            // Another start of the application owns it (or has sent it already).
            MSLogDebug(kTag, "Crash report " + file.filename().string() + " is being processed by another start.");
            std::lock_guard lock(mutex_);
            std::erase(crashFiles_, file);
            continue;
        }
        auto bytes = MSCrashReporter::readCrashReportFile(file);
        if (!bytes) {
            // Gone meanwhile, or not read whole: kept for a later start, never taken for a cut file.
            if (bytes.error().code != ENOENT)
                MSLogWarning(kTag, "Crash report found but couldn't read it, it is kept for a later start: " +
                                       file.filename().string() + ": " + bytes.error().localizedDescription());
            continue;
        }
        auto read = MSCrashReport::initWithData(*bytes);
        if (!read && MSCrashReport::isOfNewerFormat(*bytes)) {
            MSLogWarning(kTag, "Crash report found of a later format than this version reads, it is kept: " +
                                   file.filename().string());
            continue;
        }
        if (!read) {
            // It could never be sent: let it go now rather than meet it at every start.
            MSLogWarning(kTag, "Crash report found but couldn't parse it, discard the crash report: " +
                                   file.filename().string() + ": " + read.error().localizedDescription());
            removeCrashFile(file);
            continue;
        }
        std::unique_ptr<MSCrashReport> report = std::move(*read);
        auto errorReport = MSErrorLogFormatter::errorReportFromCrashReport(report.get());
        decoded.push_back({file, std::move(report), std::move(errorReport), std::move(claim)});
    }
    std::vector<std::shared_ptr<MSErrorReport>> reports;
    for (const auto& d : decoded) reports.push_back(d.errorReport);
    correlateLastSavedWrapperExceptionToReports(reports);

    const bool automatic = isAutomaticProcessingEnabled();
    for (const auto& d : decoded) {
        MSLogVerbose(kTag, "Crash reports found");
        auto log = MSErrorLogFormatter::errorLogFromCrashReport(*d.report);
        const std::string description = d.file.filename().string() + " (" +
                                        d.errorReport->incidentIdentifier().value_or("") + ")";
        if (automatic && !shouldProcessErrorReport(d.errorReport)) {
            MSLogDebug(kTag, "shouldProcessErrorReport returned NO, discard the crash report: " + description);
            deleteWrapperExceptionWithUUIDString(d.errorReport->incidentIdentifier());
            removeCrashFile(d.file);
            continue;
        }
        MSLogDebug(kTag, automatic ? "shouldProcessErrorReport is not implemented or returned YES, processing the "
                                     "crash report: " + description
                                   : "Automatic crash processing is disabled, storing the crash report for later "
                                     "processing: " + description);
        std::lock_guard lock(mutex_);
        unprocessed_->push_back({log, d.errorReport, d.file, d.claim});
    }
    if (automatic) sendCrashReportsOrAwaitUserConfirmation();
}

bool MSCrashes::shouldProcessErrorReport(const std::shared_ptr<MSErrorReport>& report) {
    auto d = delegate();
    if (!d || !d->shouldProcessErrorReport) return true;
    return d->shouldProcessErrorReport(*this, report);
}

std::vector<std::shared_ptr<MSErrorReport>> MSCrashes::unprocessedCrashReports() {
    bool pending;
    {
        std::lock_guard lock(mutex_);
        pending = delayedProcessingScheduled_ && !delayedProcessingDone_;
    }
    // Waits only while processing is scheduled and still to come; later callers pass at once,
    // and so do callers in a run that never scheduled it (disabled service).
    if (pending) {
        delayedProcessingSemaphore_.wait();
        delayedProcessingSemaphore_.signal();
    }
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<MSErrorReport>> out;
    if (unprocessed_)
        for (const auto& entry : *unprocessed_) out.push_back(entry.report);
    return out;
}

void MSCrashes::processMemoryWarningInLastSession() {
    if (!isEnabled()) return;
    auto stored = MSUserDefaults::shared().objectForKey(kMSAppDidReceiveMemoryWarningKey);
    const bool warned = stored && stored->asBool(false);
    setLocked(didReceiveMemoryWarningInLastSession_, warned);
    if (warned) MSLogDebug(kTag, "The application received a low memory warning in the last session.");
    MSUserDefaults::shared().removeObjectForKey(kMSAppDidReceiveMemoryWarningKey);
}

void MSCrashes::deleteCrashReportWithFileURL(const fs::path& url) { MSUtility::deleteFileAtURL(url); }

void MSCrashes::deleteAllFromCrashesDirectory() {
    MSUtility::deleteItemForPathComponent(crashesPathComponent_);
    std::lock_guard lock(mutex_);
    crashFiles_.clear();
}

void MSCrashes::removeCrashFile(const fs::path& file) {
    deleteCrashReportWithFileURL(file);
    std::lock_guard lock(mutex_);
    std::erase(crashFiles_, file);
}

// ---------------------------------------------------------------- confirmation and sending

bool MSCrashes::shouldAlwaysSend() const {
    auto stored = MSUserDefaults::shared().objectForKey(kMSUserConfirmationKey);
    return stored && stored->asBool(false);
}

bool MSCrashes::sendCrashReportsOrAwaitUserConfirmation() {
    const bool alwaysSend = shouldAlwaysSend();
    {
        std::lock_guard lock(mutex_);
        if (!unprocessed_ || unprocessed_->empty()) return alwaysSend;
    }
    if (alwaysSend) {
        MSLogDebug(kTag, "The flag for user confirmation is set to MSUserConfirmationAlways, continue sending logs");
        handleUserConfirmation(MSUserConfirmationSend);
        return alwaysSend;
    }
    if (isAutomaticProcessingEnabled()) {
        bool hasHandler;
        {
            std::lock_guard lock(mutex_);
            hasHandler = static_cast<bool>(userConfirmationHandler_);
        }
        if (!hasHandler || !userPromptedForConfirmation()) {
            MSLogDebug(kTag, "The user confirmation handler is not implemented or returned NO, continue sending logs");
            handleUserConfirmation(MSUserConfirmationSend);
        }
        return alwaysSend;
    }
    MSLogDebug(kTag, "Automatic crash processing is disabled and \"AlwaysSend\" is false. Awaiting user confirmation.");
    return alwaysSend;
}

bool MSCrashes::userPromptedForConfirmation() {
    MSUserConfirmationHandler handler;
    std::vector<std::shared_ptr<MSErrorReport>> reports;
    {
        std::lock_guard lock(mutex_);
        handler = userConfirmationHandler_;
        if (unprocessed_)
            for (const auto& entry : *unprocessed_) reports.push_back(entry.report);
    }
    if (!handler) return false;
    if (platform::RunLoop::isMainThread()) return handler(reports);
    bool asked = false;
    platform::DispatchQueue::main()->sync([&] { asked = handler(reports); });
    return asked;
}

void MSCrashes::notifyUserConfirmation(MSUserConfirmation userConfirmation) {
    {
        std::lock_guard lock(mutex_);
        if (!userConfirmationHandler_ && !unprocessed_) {
            MSLogError(kTag, "Incorrect usage of notifyWithUserConfirmation: it should only be called from "
                             "userConfirmationHandler. For more information refer to the documentation.");
            return;
        }
    }
    handleUserConfirmation(userConfirmation);
}

void MSCrashes::handleUserConfirmation(MSUserConfirmation userConfirmation) {
    std::vector<Pending> entries;
    {
        std::lock_guard lock(mutex_);
        if (unprocessed_) entries = *unprocessed_;
    }
    if (userConfirmation == MSUserConfirmationDontSend) {
        for (const auto& entry : entries) discardPending(entry);
    } else {
        if (userConfirmation == MSUserConfirmationAlways) MSUserDefaults::shared().setObject(true, kMSUserConfirmationKey);
        for (const auto& entry : entries) sendPending(entry);
    }
    clearUnprocessedReports();
    clearContextHistoryAndKeepCurrentSession();
}

void MSCrashes::discardPending(const Pending& entry) {
    removeCrashFile(entry.file);
    deleteWrapperExceptionWithUUIDString(entry.report->incidentIdentifier());
}

void MSCrashes::sendPending(const Pending& entry) {
    std::vector<std::shared_ptr<MSErrorAttachmentLog>> attachments;
    if (auto d = delegate(); d && d->attachments)
        attachments = d->attachments(*this, entry.report);
    else
        MSLogDebug(kTag, "attachmentsWithCrashes is not implemented");
    const auto incident = entry.report->incidentIdentifier();
    attachments = sendableAttachments(attachments, incident);

    // The ids the crashed process had when it crashed, not the current ones nor another run's.
    auto& log = entry.log;
    if (log->timestamp) {
        const MSIdHistory::Process crashed{
            log->processId.value_or(0),
            log->appLaunchTimestamp ? static_cast<int64_t>(std::floor(log->appLaunchTimestamp->timeIntervalSince1970())) : 0};
        log->sid = MSSessionContext::sharedInstance().sessionIdAt(*log->timestamp, crashed, log->parentProcessId);
        log->userId = MSUserIdContext::sharedInstance().userIdAt(*log->timestamp, crashed, log->parentProcessId);
    }
    auto unit = channelUnit();
    {
        std::lock_guard lock(mutex_);
        std::erase(crashFiles_, entry.file);
    }
    if (!unit) return;  // the report stays for a later start
    // Marked as handed to the store before it is: a start that ends before the file goes leaves
    // it under a temporary name, which the next start removes instead of sending the crash again.
    // The attachments are stored first, and the log only once they all are; the file goes once
    // the log is stored. A log or attachment the store could not take brings the report back
    // under its name, for a later start (which asks for the attachments again).
    auto sending = std::make_shared<Sending>();
    sending->log = log;
    sending->file = entry.file;
    sending->marked = entry.file.parent_path() / MSCrashesUtil::temporaryName(sendingName(entry.file, incident));
    sending->incidentIdentifier = incident;
    sending->claim = entry.claim;
    sending->attachmentsLeft = attachments.size();
    if (const int err = qvcrash_async_rename_noreplace(entry.file.c_str(), sending->marked.c_str()); err != 0) {
        MSLogWarning(kTag, "Couldn't mark crash report " + entry.file.filename().string() +
                               " as sent; it is kept for a later start: " + std::strerror(err));
        return;
    }
    if (attachments.size() > kMaxAttachmentsPerErrorReport)
        MSLogWarning(kTag, "A limit of " + std::to_string(kMaxAttachmentsPerErrorReport) +
                               " attachments per error report / exception might be enforced by server.");
    if (attachments.empty()) return storeCrashLog(sending);
    {
        std::lock_guard lock(mutex_);
        for (const auto& attachment : attachments) awaitingStore_[attachment.get()] = sending;
    }
    for (const auto& attachment : attachments) {
        unit->enqueueItem(attachment, MSFlagsNormal);
        if (!attachment->isValid()) sendingSettled(attachment.get(), MSEnqueueOutcome::Discarded);
    }
}

void MSCrashes::storeCrashLog(const std::shared_ptr<Sending>& sending) {
    auto unit = channelUnit();
    const auto log = sending->log;
    {
        std::lock_guard lock(mutex_);
        awaitingStore_[log.get()] = sending;
    }
    if (!unit) return sendingSettled(log.get(), MSEnqueueOutcome::NotStored);
    unit->enqueueItem(log, MSFlagsCritical);
    // Refused by the channel: the report can never be sent.
    if (!log->isValid()) sendingSettled(log.get(), MSEnqueueOutcome::Discarded);
}

void MSCrashes::sendingSettled(const MSAbstractLog* log, MSEnqueueOutcome outcome) {
    std::shared_ptr<Sending> sending;
    {
        std::lock_guard lock(mutex_);
        auto it = awaitingStore_.find(log);
        if (it == awaitingStore_.end()) return;
        sending = std::move(it->second);
        awaitingStore_.erase(it);
        if (log != sending->log.get()) {
            if (outcome == MSEnqueueOutcome::NotStored) ++sending->attachmentsNotStored;
            if (--sending->attachmentsLeft > 0) return;
        }
    }
    const std::string name = sending->file.filename().string();
    auto keep = [&](const std::string& what) {
        MSLogError(kTag, what + " of crash report " + name + " could not be stored; the report is kept to be sent at "
                                                             "the next start.");
        if (const int err = qvcrash_async_rename_noreplace(sending->marked.c_str(), sending->file.c_str()); err != 0)
            MSLogError(kTag, "Couldn't keep crash report " + name + ": " + std::strerror(err));
    };
    if (log != sending->log.get()) {
        if (sending->attachmentsNotStored)
            return keep(std::to_string(sending->attachmentsNotStored) + " attachments");
        return storeCrashLog(sending);
    }
    if (outcome == MSEnqueueOutcome::NotStored) return keep("The log");
    deleteCrashReportWithFileURL(sending->marked);
    deleteWrapperExceptionWithUUIDString(sending->incidentIdentifier);
}

bool MSCrashes::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const std::vector<std::string>& incidentIds) {
    std::vector<Pending> kept, dropped;
    {
        std::lock_guard lock(mutex_);
        if (unprocessed_) {
            for (auto& entry : *unprocessed_) {
                const auto& id = entry.report->incidentIdentifier();
                const bool keep = id && std::find(incidentIds.begin(), incidentIds.end(), *id) != incidentIds.end();
                (keep ? kept : dropped).push_back(entry);
            }
            *unprocessed_ = kept;
        }
    }
    for (const auto& entry : dropped) discardPending(entry);
    return sendCrashReportsOrAwaitUserConfirmation();
}

void MSCrashes::clearUnprocessedReports() {
    std::lock_guard lock(mutex_);
    if (unprocessed_) unprocessed_->clear();
}

std::vector<std::shared_ptr<MSErrorAttachmentLog>> MSCrashes::sendableAttachments(
    const std::vector<std::shared_ptr<MSErrorAttachmentLog>>& attachments,
    const std::optional<std::string>& incidentIdentifier) {
    std::vector<std::shared_ptr<MSErrorAttachmentLog>> out;
    for (const auto& attachment : attachments) {
        if (!attachment) continue;
        attachment->errorId = incidentIdentifier;
        if (!validatePropertiesForAttachment(*attachment)) {
            MSLogError(kTag, "Not all required fields are present in MSErrorAttachmentLog.");
        } else if (attachment->data->size() > kMaxAttachmentSize) {
            MSLogError(kTag, "Discarding attachment with size above " + std::to_string(kMaxAttachmentSize) +
                                 " bytes: size=" + std::to_string(attachment->data->size()) +
                                 ", fileName=" + attachment->filename.value_or("(null)") + ".");
        } else {
            out.push_back(attachment);
        }
    }
    return out;
}

void MSCrashes::sendErrorAttachments(const std::vector<std::shared_ptr<MSErrorAttachmentLog>>& attachments,
                                     const std::optional<std::string>& incidentIdentifier) {
    auto unit = channelUnit();
    const auto sendable = sendableAttachments(attachments, incidentIdentifier);
    if (!unit) return;
    for (const auto& attachment : sendable) unit->enqueueItem(attachment, MSFlagsNormal);
    if (sendable.size() > kMaxAttachmentsPerErrorReport)
        MSLogWarning(kTag, "A limit of " + std::to_string(kMaxAttachmentsPerErrorReport) +
                               " attachments per error report / exception might be enforced by server.");
}

// ---------------------------------------------------------------- handled errors

std::optional<std::string> MSCrashes::trackModelException(
    const std::shared_ptr<MSException>& exception, const std::optional<std::map<std::string, std::string>>& properties,
    const std::vector<std::shared_ptr<MSErrorAttachmentLog>>& attachments) {
    std::lock_guard lock(sharedInstanceLock());
    if (!canBeUsed() || !isEnabled()) return std::nullopt;
    auto log = std::make_shared<MSHandledErrorLog>();
    log->userId = MSUserIdContext::sharedInstance().userId();
    log->errorId = platform::UUID().uuidString();
    log->exception = exception;
    if (properties && !properties->empty()) {
        auto dictionary = platform::Value::dictionary();
        for (const auto& [key, value] : *properties) dictionary.set(key, value);
        log->properties = MSUtility::validateProperties(dictionary, "ErrorLog: " + *log->errorId, *log->type);
    }
    if (auto unit = channelUnit()) unit->enqueueItem(log, MSFlagsNormal);
    if (!attachments.empty()) sendErrorAttachments(attachments, log->errorId);
    return log->errorId;
}

std::shared_ptr<MSErrorReport> MSCrashes::buildHandledErrorReportWithErrorID(const std::string& errorId) const {
    return std::make_shared<MSErrorReport>(errorId, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                           appStartTime_, platform::Date::now(),
                                           MSDeviceTracker::sharedInstance().device(), 0);
}

// ---------------------------------------------------------------- channel callbacks

void MSCrashes::didPrepareLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log,
                              const std::string& internalId, uint32_t) {
    if (!log || !isEnabled()) return;
    // A log sent again from another process's buffer is kept by that buffer's file until it is
    // stored: a copy in this one would come back beside it should this start crash.
    if (unit.configuration().groupId == kMSCrashesBufferGroupId) return;
    MSCrashesLogBuffer::shared().bufferLog(*log, internalId, targetTokenEncrypter_);
}

void MSCrashes::didCompleteEnqueueingLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log,
                                         const std::string& internalId, MSEnqueueOutcome outcome) {
    // A log the store could not take stays buffered: should this run crash, the next start sends it.
    if (outcome != MSEnqueueOutcome::NotStored) MSCrashesLogBuffer::shared().freeLog(internalId);
    sendingSettled(log.get(), outcome);
}

template <class Member, class... Args>
void MSCrashes::notifyDelegate(Member member, const std::shared_ptr<MSAbstractLog>& log, const Args&... args) {
    auto d = delegate();
    if (!d || !((*d).*member)) return;
    auto appleLog = std::dynamic_pointer_cast<MSAppleErrorLog>(log);
    if (!appleLog) return;
    auto report = MSErrorLogFormatter::errorReportFromLog(*appleLog);
    auto self = std::static_pointer_cast<MSCrashes>(shared_from_this());
    MSDispatcherUtil::performBlockOnMainThread([d, self, report, member, args...] { ((*d).*member)(*self, report, args...); });
}

void MSCrashes::willSendLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log) {
    settleSentReport(log);
    notifyDelegate(&MSCrashesDelegate::willSendErrorReport, log);
}

void MSCrashes::didSucceedSendingLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log) {
    notifyDelegate(&MSCrashesDelegate::didSucceedSendingErrorReport, log);
}

void MSCrashes::didFailSendingLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log,
                                  const platform::Error& error) {
    settleSentReport(log);
    notifyDelegate(&MSCrashesDelegate::didFailSendingErrorReport, log, error);
}

// ---------------------------------------------------------------- call points of the neighbouring parts

void MSCrashes::setupLogBuffer() {
    MSCrashesLogBuffer::shared().setupLogBuffer(logBufferPathComponent_, platform::DispatchQueue::global(),
                                                bufferFileGroup_);
}

void MSCrashes::processLogBufferAfterCrash() {
    auto group = channelGroup();
    if (!group) return;
    auto unit = MSCrashesLogBuffer::processLogBufferAfterCrash(*group, targetTokenEncrypter_, logBufferPathComponent_);
    setLocked(bufferChannelUnit_, std::move(unit));
}

void MSCrashes::emptyLogBufferFiles() { MSCrashesLogBuffer::emptyLogBufferFiles(logBufferPathComponent_); }

void MSCrashes::writeLogBufferAtCrash() { quorvane::writeLogBufferAtCrash(); }

bool MSCrashes::shouldEnableUncaughtExceptionHandler() {
    auto delegate = MSWrapperCrashesHelper::getCrashHandlerSetupDelegate();
    return delegate && delegate->shouldEnableUncaughtExceptionHandler ? delegate->shouldEnableUncaughtExceptionHandler()
                                                                      : true;
}

void MSCrashes::willSetUpCrashHandlers() {
    auto delegate = MSWrapperCrashesHelper::getCrashHandlerSetupDelegate();
    if (delegate && delegate->willSetUpCrashHandlers) delegate->willSetUpCrashHandlers();
}

void MSCrashes::didSetUpCrashHandlers() {
    auto delegate = MSWrapperCrashesHelper::getCrashHandlerSetupDelegate();
    if (delegate && delegate->didSetUpCrashHandlers) delegate->didSetUpCrashHandlers();
}

void MSCrashes::registerCXXExceptionHandler() {
    MSCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(uncaughtCXXExceptionHandler);
}

void MSCrashes::registerApplicationForwarding() { MSApplicationForwarder::registerForwarding(); }

void MSCrashes::correlateLastSavedWrapperExceptionToReports(const std::vector<std::shared_ptr<MSErrorReport>>& reports) {
    MSWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(reports);
}

void MSCrashes::deleteWrapperExceptionWithUUIDString(const std::optional<std::string>& incidentIdentifier) {
    if (incidentIdentifier) MSWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(*incidentIdentifier);
}

void MSCrashes::deleteAllWrapperExceptions() { MSWrapperExceptionManager::deleteAllWrapperExceptions(); }

}  // namespace quorvane
