#include "crashreporter/capture/MSCrashReporter.h"

#include "crashreporter/capture/QVCrashAsyncImageList.h"

#include <fcntl.h>
#include <signal.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <map>
#include <string_view>

#include "crashreporter/capture/MSCrashLogWriter.h"
#include "crashreporter/capture/MSCrashSignalHandler.h"
#include "crashreporter/capture/QVCrashAsync.h"
#include "platform/crash/ProcessHooks.h"
#include "platform/crash/Threads.h"
#include "platform/crash/UncaughtException.h"
#include "platform/foundation/BundleInfo.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"

extern char* program_invocation_short_name;

namespace quorvane {

namespace {

constexpr const char* kLogCategory = "QVCrashReporter";

// ---- process-wide crash state: written while enabling, read by the crash paths ----

qvcrash_handler_context_t gHandlerContext;
MSCrashReporterPostCrashSignalCallback gCrashCallback = nullptr;
void* gCrashCallbackContext = nullptr;
std::atomic<uint32_t> gUncaughtExceptionGuard{0};
bool gEnabledInProcess = false;  // under gEnableMutex
std::mutex gEnableMutex;

// The thread whose crash is being reported, 0 until the first crash claims the process.
std::atomic<qvcrash_thread_t> gCrashingThread{0};

// The process whose memory the crash state above is: the enabling one, and each child forked
// from it (fork's child handler sets it there). A vfork child shares its parent's memory while it
// runs: its crash must leave that state alone, or the parent would find a crash in progress that
// never ends (and hang at exit, or at its own crash). Such a child has another process id.
std::atomic<int> gStateOwner{0};

void forkedChild() { gStateOwner.store(static_cast<int>(::syscall(SYS_getpid)), std::memory_order_relaxed); }

bool ownsCrashState() { return static_cast<int>(::syscall(SYS_getpid)) == gStateOwner.load(std::memory_order_relaxed); }

void resetFatalSignals() {
    for (int fatal : kQVCrashFatalSignals) {
        struct sigaction sa;
        qvcrash_async_memset(&sa, 0, sizeof(sa));
        sa.sa_handler = SIG_DFL;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        ::sigaction(fatal, &sa, nullptr);
    }
}

// The signal path: first in the chain for every fatal signal, never passes control on.
bool signal_handler_callback(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                             qvcrash_signal_handler_callback* next) {
    // A vfork child (or any other process sharing this memory): not reported, and nothing of the
    // parent touched; the signal takes its default action in the child alone.
    if (!ownsCrashState()) return false;
    // One crash is reported per process. A thread that crashes while another writes waits here
    // to be suspended and written like any other thread; the process ends with the first crash.
    const qvcrash_thread_t self = MSpl_mach_thread_self();
    qvcrash_thread_t owner = 0;
    if (!gCrashingThread.compare_exchange_strong(owner, self, std::memory_order_acq_rel)) {
        if (owner == self) {
            // A fault inside the crash path itself: end with it.
            resetFatalSignals();
            return false;
        }
        for (;;) ::pause();
    }
    // Before anything else: from here on no other thread can end the process (_exit, exit_group,
    // exec) while the report is written, however many threads there are to stop and whether or
    // not they can be stopped. The process ends with this crash's signal.
    if (!platform::crash::holdProcessExit()) QVCRASH_DEBUG("Could not hold the process's exit: %s", qvcrash_async_errno_text(errno));

    // For a signal sent by a process (kill, tkill, sigqueue: code <= 0) the address field holds
    // the sender's process id, not an address.
    void* address = info != nullptr && info->si_code > 0 ? info->si_addr : nullptr;
    qvcrash_log_bsd_info_t bsd = {signo, info ? info->si_code : 0, address};
    qvcrash_log_signal_info_t siginfo = {&bsd};
    qvcrash_error_t err = qvcrash_write_report(static_cast<qvcrash_handler_context_t*>(context),
                                               MSpl_mach_thread_self(), uap, &siginfo);
    // The report is closed and in place; the other threads are still stopped (a thread the
    // writer could not stop waits at the end of exit, see below) and stay so: the process ends
    // with this signal, raised again once the chain returns, now with its default action.
    if (err == QVCRASH_ESUCCESS && gCrashCallback != nullptr) gCrashCallback(info, uap, gCrashCallbackContext);
    resetFatalSignals();
    return false;
}

// Registered with atexit and at_quick_exit: a thread that ends the process while another one
// reports its crash (returns from main, calls exit) waits here for the crash to end the process
// with its signal, instead of cutting the report short with an ordinary exit status.
void waitForCrashInProgress() {
    if (!ownsCrashState()) return;
    const qvcrash_thread_t owner = gCrashingThread.load(std::memory_order_acquire);
    if (owner == 0 || owner == MSpl_mach_thread_self()) return;
    for (;;) ::pause();
}

// The engine's files in the report folder, by name, with <base> = "live_report.qvcrash":
//   <base>                   a crash's report, waiting for a start to take it over
//   <base>.<pid>.<n>         the same, when <base> was taken already (qvcrash_place_report)
//   <base>.<pid>.partial     the report process <pid> is writing at its crash
//   <base>.<pid>.<n>.taking  a report start <pid> took over and is reading
enum class ReportFileKind { Other, Pending, Partial, Taking };
struct ReportFileName {
    ReportFileKind kind = ReportFileKind::Other;
    long pid = 0;
};

bool isNumber(std::string_view s) {
    return !s.empty() && s.size() <= 18 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

ReportFileName classifyReportFile(std::string_view name, std::string_view base) {
    if (name == base) return {ReportFileKind::Pending, 0};
    if (name.size() <= base.size() + 1 || name.substr(0, base.size()) != base || name[base.size()] != '.') return {};
    const std::string_view rest = name.substr(base.size() + 1);
    const size_t dot = rest.find('.');
    if (dot == std::string_view::npos || !isNumber(rest.substr(0, dot))) return {};
    const long pid = std::stol(std::string(rest.substr(0, dot)));
    const std::string_view tail = rest.substr(dot + 1);
    if (pid <= 0) return {};
    if (tail == "partial") return {ReportFileKind::Partial, pid};
    const size_t next = tail.find('.');
    if (!isNumber(tail.substr(0, next))) return {};
    if (next == std::string_view::npos) return {ReportFileKind::Pending, pid};
    if (tail.substr(next + 1) == "taking") return {ReportFileKind::Taking, pid};
    return {};
}

// Gone, or (being this process's own id) an earlier process's of the same id.
bool processIsGone(long pid) {
    if (pid == static_cast<long>(::getpid())) return true;
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// The report at `path`, opened and locked; -1 once no report bears that name (another start took it
// over). A report still at its name is locked by someone else only for a moment: by the crashed
// process that put it there, until it closes it, or by another start, until it renames it to take
// it over. So while it keeps its name it is waited for (within bounds), not left to a later start.
int openLockedReport(const std::string& path) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return -1;
        const bool locked = qvcrash_async_lock_file(fd);
        struct stat opened, named;
        const bool same = ::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 &&
                          opened.st_ino == named.st_ino && opened.st_dev == named.st_dev;
        if (locked && same) return fd;
        ::close(fd);
        if (!same) return -1;
        ::usleep(1000);
    }
    return -1;
}

// Partial reports left by processes that ended while writing one (killed in the middle of a
// crash) are never completed: let them go. A live process's partial report is its own: it holds
// the file's lock while it writes, and no process of that id lives here.
void removeAbandonedPartialReports(const std::string& directory, const std::string& reportName) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
        const ReportFileName file = classifyReportFile(entry.path().filename().string(), reportName);
        if (file.kind == ReportFileKind::Partial && processIsGone(file.pid) &&
            qvcrash_async_lock_is_free(entry.path().c_str())) {
            std::filesystem::remove(entry.path(), ec);
        }
    }
}

// The reports this process has taken over and not yet let go or given back.
// Each one's file stays open, and locked, until then.
struct Takings {
    std::mutex mutex;
    std::map<std::string, int> held;
    unsigned next = 0;
};
Takings& takings() {
    static auto* t = new Takings;  // never destroyed: a worker may take a report over during exit
    return *t;
}
void releaseTaken(const std::string& taken) {
    std::lock_guard<std::mutex> lock(takings().mutex);
    auto it = takings().held.find(taken);
    if (it == takings().held.end()) return;
    if (it->second >= 0) ::close(it->second);
    takings().held.erase(it);
}

std::atomic<MSCrashReporter::ReadFunction> gReportRead{[](int fd, void* buffer, size_t count) {
    return ::read(fd, buffer, count);
}};

// The uncaught-exception path: the first caller records the exception and aborts into the
// signal path; any later caller returns at once.
void uncaught_exception_handler(const platform::crash::UncaughtException& exception) {
    uint32_t expected = 0;
    if (!gUncaughtExceptionGuard.compare_exchange_strong(expected, 1, std::memory_order_seq_cst)) return;
    MSqvcrash_log_writer_set_exception(&gHandlerContext.writer, exception.name, exception.reason,
                                       exception.callStackReturnAddresses);
    std::abort();
}

// mkdir -p with the given mode; created folders get exactly that mode (no umask).
platform::Result<void> makeDirectories(const std::filesystem::path& dir, mode_t mode) {
    std::filesystem::path current;
    for (const auto& part : dir) {
        current /= part;
        if (current == current.root_path()) continue;
        if (::mkdir(current.c_str(), mode) == 0) {
            ::chmod(current.c_str(), mode);
            continue;
        }
        int err = errno;
        struct stat st;
        if (err == EEXIST && ::stat(current.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) continue;
            err = ENOTDIR;  // something else stands where the folder should be
        }
        return platform::posixError(err, "Could not create the folder " + current.string());
    }
    return {};
}

bool fileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

platform::Error MSCrashReporterMakeError(MSCrashReporterError code, const std::string& description,
                                         const std::optional<platform::Error>& underlying) {
    platform::Error e(kQVCrashReporterErrorDomain, code);
    e.userInfo.set(platform::Error::kLocalizedDescriptionKey, description);
    if (underlying) {
        e.userInfo.set(platform::Error::kUnderlyingErrorKey,
                       platform::Value::dictionary({{"domain", platform::Value(underlying->domain)},
                                                    {"code", platform::Value(underlying->code)},
                                                    {"userInfo", underlying->userInfo}}));
    }
    return e;
}

MSCrashReporterBundle MSCrashReporterBundle::mainBundle() {
    MSCrashReporterBundle bundle;
    std::string identifier = platform::BundleInfo::identifier();
    if (!identifier.empty()) bundle.bundleIdentifier = identifier;
    std::string version = platform::BundleInfo::buildVersion();
    if (!version.empty()) bundle.bundleVersion = version;
    std::string shortVersion = platform::BundleInfo::version();
    if (!shortVersion.empty()) bundle.shortVersionString = shortVersion;
    return bundle;
}

MSCrashReporter::MSCrashReporter(Token, std::string applicationIdentifier, std::string applicationVersion,
                                 std::optional<std::string> applicationMarketingVersion,
                                 const MSCrashReporterConfig& config)
    : config_(config),
      applicationIdentifier_(std::move(applicationIdentifier)),
      applicationVersion_(std::move(applicationVersion)),
      applicationMarketingVersion_(std::move(applicationMarketingVersion)) {
    std::string component = applicationIdentifier_;
    for (char& c : component) {
        if (c == '/') c = '_';
    }
    const std::filesystem::path root = reportFolderRoot();
    crashReportDirectory_ =
        ((root.empty() ? platform::Paths::cacheHome() / "com.quorvane.crashreporter.data" : root) / component).string();
}

namespace {
std::mutex gReportFolderRootMutex;
std::filesystem::path& reportFolderRootLocked() {
    static auto* root = new std::filesystem::path;
    return *root;
}
}  // namespace

void MSCrashReporter::setReportFolderRoot(std::filesystem::path root) {
    std::lock_guard<std::mutex> lock(gReportFolderRootMutex);
    reportFolderRootLocked() = std::move(root);
}

std::filesystem::path MSCrashReporter::reportFolderRoot() {
    std::lock_guard<std::mutex> lock(gReportFolderRootMutex);
    return reportFolderRootLocked();
}

std::shared_ptr<MSCrashReporter> MSCrashReporter::create() {
    return initWithConfiguration(MSCrashReporterConfig::defaultConfiguration());
}

std::shared_ptr<MSCrashReporter> MSCrashReporter::initWithConfiguration(const MSCrashReporterConfig& config) {
    return initWithBundle(MSCrashReporterBundle::mainBundle(), config);
}

std::shared_ptr<MSCrashReporter> MSCrashReporter::initWithBundle(const MSCrashReporterBundle& bundle,
                                                                 const MSCrashReporterConfig& config) {
    std::string identifier;
    if (bundle.bundleIdentifier) {
        identifier = *bundle.bundleIdentifier;
    } else {
        const char* processName = program_invocation_short_name;
        if (!QV_ASSERT(processName != nullptr && *processName != '\0',
                       "Can not determine process identifier or process name")) {
            return nullptr;
        }
        identifier = processName;
        platform::Log::warning(kLogCategory, std::string("[QVCrashReporter] Warning -- bundle identifier, using process name ") +
                                                 processName);
    }
    std::string version;
    if (bundle.bundleVersion) {
        version = *bundle.bundleVersion;
    } else {
        platform::Log::warning(kLogCategory, "[QVCrashReporter] Warning -- bundle version unavailable");
    }
    return initWithApplicationIdentifier(std::move(identifier), std::move(version), bundle.shortVersionString,
                                         config);
}

std::shared_ptr<MSCrashReporter> MSCrashReporter::initWithApplicationIdentifier(
    std::string applicationIdentifier, std::string applicationVersion,
    std::optional<std::string> applicationMarketingVersion, const MSCrashReporterConfig& config) {
    return std::make_shared<MSCrashReporter>(Token{}, std::move(applicationIdentifier), std::move(applicationVersion),
                                             std::move(applicationMarketingVersion), config);
}

std::shared_ptr<MSCrashReporter> MSCrashReporter::sharedReporter() {
    static std::mutex lock;
    static std::shared_ptr<MSCrashReporter> shared;
    std::lock_guard<std::mutex> guard(lock);
    if (!shared) shared = initWithBundle(MSCrashReporterBundle::mainBundle(), MSCrashReporterConfig::defaultConfiguration());
    return shared;
}

std::string MSCrashReporter::queuedCrashReportDirectory() const {
    return (std::filesystem::path(crashReportDirectory_) / "queued_reports").string();
}

std::string MSCrashReporter::crashReportPath() const {
    return (std::filesystem::path(crashReportDirectory_) / "live_report.qvcrash").string();
}

platform::Result<void> MSCrashReporter::populateCrashReportDirectory() const {
    constexpr mode_t kMode = 0755;
    for (const std::string& dir : {crashReportDirectory_, queuedCrashReportDirectory()}) {
        if (fileExists(dir)) continue;
        if (auto made = makeDirectories(dir, kMode); !made) return made;
    }
    return {};
}

std::vector<MSCrashReporter::PendingReport> MSCrashReporter::pendingCrashReports() const {
    const std::string base = std::filesystem::path(crashReportPath()).filename().string();
    struct Found {
        PendingReport report;
        struct timespec written;
    };
    std::vector<Found> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(crashReportDirectory_, ec)) {
        const ReportFileName file = classifyReportFile(entry.path().filename().string(), base);
        if (file.kind != ReportFileKind::Pending && file.kind != ReportFileKind::Taking) continue;
        const std::string path = entry.path().string();
        // A report is a regular file: anything else at its name (a FIFO, a link) is left alone.
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        bool abandoned = false;
        if (file.kind == ReportFileKind::Taking) {
            {
                std::lock_guard<std::mutex> lock(takings().mutex);
                if (takings().held.count(path) != 0) continue;
            }
            if (!qvcrash_async_lock_is_free(path.c_str())) continue;  // another start is at work on it
            abandoned = true;
        }
        found.push_back({{path, abandoned}, st.st_mtim});
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        if (a.written.tv_sec != b.written.tv_sec) return a.written.tv_sec < b.written.tv_sec;
        if (a.written.tv_nsec != b.written.tv_nsec) return a.written.tv_nsec < b.written.tv_nsec;
        return a.report.path < b.report.path;
    });
    std::vector<PendingReport> out;
    for (auto& f : found) out.push_back(std::move(f.report));
    return out;
}

bool MSCrashReporter::hasPendingCrashReport() const { return !pendingCrashReports().empty(); }

platform::Result<platform::Bytes> MSCrashReporter::loadPendingCrashReportData() const {
    const auto pending = pendingCrashReports();
    if (pending.empty()) return platform::posixError(ENOENT, "Could not read " + crashReportPath());
    return readCrashReportFile(pending.front().path);
}

platform::Result<void> MSCrashReporter::purgePendingCrashReport() const {
    const auto pending = pendingCrashReports();
    if (pending.empty()) return platform::posixError(ENOENT, "Could not remove " + crashReportPath());
    for (const auto& report : pending) {
        if (::unlink(report.path.c_str()) != 0 && errno != ENOENT) {
            return platform::posixError(errno, "Could not remove " + report.path);
        }
    }
    return {};
}

platform::Result<std::string> MSCrashReporter::takeOverPendingCrashReport(const PendingReport& report) const {
    // Locked first, then renamed, not read in place: a crash's report put into place meanwhile
    // keeps its own name, and no other start reads this one too. The lock stays while this start
    // holds it, so that another start (of any process id namespace) finds it taken, not abandoned.
    const int fd = openLockedReport(report.path);
    if (fd < 0) return platform::posixError(ENOENT, "Taken over by another start: " + report.path);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::string taken;
        {
            std::lock_guard<std::mutex> lock(takings().mutex);
            taken = crashReportPath() + "." + std::to_string(::getpid()) + "." + std::to_string(++takings().next) +
                    ".taking";
            takings().held[taken] = -1;  // held from before the rename: not abandoned meanwhile
        }
        const int err = qvcrash_async_rename_noreplace(report.path.c_str(), taken.c_str());
        if (err == 0) {
            std::lock_guard<std::mutex> lock(takings().mutex);
            takings().held[taken] = fd;
            return taken;
        }
        releaseTaken(taken);
        // Taken: an earlier process of this id left one of that name.
        if (err != EEXIST) {
            ::close(fd);
            return platform::posixError(err, "Could not take over " + report.path);
        }
    }
    ::close(fd);
    return platform::posixError(EEXIST, "Could not take over " + report.path);
}

platform::Result<void> MSCrashReporter::returnTakenCrashReport(const std::string& taken) const {
    const std::string path = crashReportPath();
    std::string buffer(path.size() + 64, '\0');
    const int err = qvcrash_place_report(taken.c_str(), path.c_str(), ::getpid(), buffer.data(), buffer.size());
    // One that could not be given back stays under its name: once this process is gone it is
    // pending again.
    releaseTaken(taken);
    if (err != 0) return platform::posixError(err, "Could not give back " + taken);
    return {};
}

platform::Result<void> MSCrashReporter::purgeTakenCrashReport(const std::string& taken) const {
    const int err = ::unlink(taken.c_str()) == 0 ? 0 : errno;
    releaseTaken(taken);
    if (err != 0) return platform::posixError(err, "Could not remove " + taken);
    return {};
}

platform::Result<platform::Bytes> MSCrashReporter::readCrashReportFile(const std::string& path) {
    // Without blocking: opening a FIFO for reading would wait for a writer that never comes.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        return platform::posixError(err, (err == ELOOP ? "Not a regular file: " : "Could not open ") + path);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        return platform::posixError(err, "Could not read " + path);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return platform::posixError(EINVAL, "Not a regular file: " + path);
    }
    const ReadFunction read = gReportRead.load();
    platform::Bytes bytes;
    uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n == 0) break;
        if (n < 0) {
            const int err = errno;
            if (err == EINTR) continue;
            ::close(fd);
            return platform::posixError(err, "Could not read " + path);
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    ::close(fd);
    return bytes;
}

MSCrashReporter::ReadFunction MSCrashReporter::setCrashReportReadFunction(ReadFunction read) {
    return gReportRead.exchange(read);
}

void MSCrashReporter::setCrashCallbacks(const QVCrashReporterCallbacks* callbacks) {
    if (!QV_ASSERT(!enabled_, "The crash reporter has alread been enabled")) return;
    if (!QV_ASSERT(callbacks != nullptr, "A crash callback record is required")) return;
    if (!QV_ASSERT(callbacks->version == 0, "Unsupported crash callback record version")) return;
    gCrashCallbackContext = callbacks->context;
    gCrashCallback = callbacks->handleSignal;
}

uint32_t MSCrashReporter::mapToAsyncSymbolicationStrategy(MSCrashReporterSymbolicationStrategy strategy) {
    return static_cast<uint32_t>(strategy & MSCrashReporterSymbolicationStrategyAll);
}

const char* MSCrashReporter::armedCrashReportPath() { return gHandlerContext.path; }

platform::Result<void> MSCrashReporter::enableCrashReporter() {
    {
        std::lock_guard<std::mutex> guard(gEnableMutex);
        if (gEnabledInProcess) {
            return MSCrashReporterMakeError(MSCrashReporterErrorResourceBusy,
                                            "A QVCrashReporter instance has already been enabled");
        }
        gEnabledInProcess = true;
    }
    gStateOwner.store(static_cast<int>(::syscall(SYS_getpid)));
    static std::once_flag atfork;
    std::call_once(atfork, [] { ::pthread_atfork(nullptr, nullptr, forkedChild); });

    if (auto populated = populateCrashReportDirectory(); !populated) return populated;

    // The crash paths walk the image list without locks; bring it up to date with the loader,
    // and keep it so after every dlopen and dlclose.
    MSqvcrash_nasync_shared_image_list_update();
    platform::crash::setImageChangeHook([] { MSqvcrash_nasync_shared_image_list_update(); });

    // The crash path names its files after the crashing process (a child forked without exec
    // included), so that processes of one application crashing at once write apart; here it
    // gets the room for those names.
    const std::string path = crashReportPath();
    gHandlerContext.path = ::strdup(path.c_str());
    gHandlerContext.path_capacity = path.size() + 64;
    gHandlerContext.partial_path = static_cast<char*>(std::calloc(gHandlerContext.path_capacity, 1));
    gHandlerContext.placed_path = static_cast<char*>(std::calloc(gHandlerContext.path_capacity, 1));
    removeAbandonedPartialReports(crashReportDirectory_, std::filesystem::path(path).filename().string());

    QV_ASSERT(!applicationIdentifier_.empty(), "An application identifier is required");
    MSqvcrash_log_writer_init(&gHandlerContext.writer, applicationIdentifier_.c_str(), applicationVersion_.c_str(),
                              applicationMarketingVersion_ ? applicationMarketingVersion_->c_str() : nullptr,
                              mapToAsyncSymbolicationStrategy(config_.symbolicationStrategy()), false);

    switch (config_.signalHandlerType()) {
        case MSCrashReporterSignalHandlerTypeBSD:
        case MSCrashReporterSignalHandlerTypeMach: {
            // The exception-server mode registers SIGABRT and leaves faults to the server. On
            // Linux every fault reaches the process as a signal, so both modes register the
            // whole fatal list (which starts with SIGABRT).
            auto handler = MSCrashSignalHandler::sharedHandler();
            if (!handler) {
                return MSCrashReporterMakeError(MSCrashReporterErrorOperatingSystem,
                                                "Could not initialize alternative signal stack",
                                                platform::posixError(ENOMEM));
            }
            for (int signo : kQVCrashFatalSignals) {
                auto registered = handler->registerHandlerForSignal(signo, signal_handler_callback, &gHandlerContext);
                if (!registered) return registered;
            }
            // A stack overflow is reported only on a thread with an alternate stack.
            MSCrashSignalHandler::installAlternateStacksOnEveryThread();
            break;
        }
        default:
            break;
    }

    if (config_.shouldRegisterUncaughtExceptionHandler()) {
        platform::crash::setUncaughtExceptionHandler(uncaught_exception_handler);
    }

    // Registered last: runs before the exit work registered while enabling.
    std::atexit(waitForCrashInProgress);
    std::at_quick_exit(waitForCrashInProgress);

    enabled_ = true;
    return {};
}

}  // namespace quorvane
