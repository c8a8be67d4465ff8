// Live reports: a report of the running process on request, without a crash.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>

#include "crashreporter/capture/MSCrashLogWriter.h"
#include "crashreporter/capture/MSCrashReporter.h"
#include "crashreporter/capture/QVCrashAsyncImageList.h"
#include "crashreporter/capture/QVCrashAsyncThread.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"

namespace quorvane {

namespace {

constexpr const char* kLogCategory = "QVCrashReporter";

// What the writer needs, handed through the register capture of the calling thread.
struct LiveReportWrite {
    qvcrash_log_writer_t* writer;
    qvcrash_thread_t thread;
    qvcrash_async_file_t* file;
    qvcrash_log_signal_info_t* siginfo;
};

qvcrash_error_t writeFromCurrentState(qvcrash_async_thread_state_t* state, void* context) {
    auto* w = static_cast<LiveReportWrite*>(context);
    return MSqvcrash_log_writer_write(w->writer, w->thread, MSqvcrash_shared_image_list(), w->file, w->siginfo,
                                      state);
}

// Two writers suspending each other's threads would wait on each other for ever.
std::mutex gLiveReportMutex;

}  // namespace

[[gnu::noinline]] platform::Result<platform::Bytes> MSCrashReporter::generateLiveReportWithThread(
    qvcrash_thread_t thread) {
    return writeLiveReport(thread, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

[[gnu::noinline]] platform::Result<platform::Bytes> MSCrashReporter::generateLiveReport() {
    return writeLiveReport(MSpl_mach_thread_self(), reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

platform::Result<platform::Bytes> MSCrashReporter::writeLiveReport(qvcrash_thread_t thread, uint64_t callerAddress) {
    std::lock_guard<std::mutex> guard(gLiveReportMutex);

    const char* tmp = std::getenv("TMPDIR");
    std::string path = (std::filesystem::path(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") /
                        "live_crash_report.XXXXXX").string();
    const int fd = ::mkstemp(path.data());
    if (fd < 0) {
        return MSCrashReporterMakeError(MSCrashReporterErrorOperatingSystem, "Failed to create temporary path",
                                        platform::posixError(errno));
    }

    qvcrash_log_writer_t writer;
    MSqvcrash_log_writer_init(&writer, applicationIdentifier_.c_str(), applicationVersion_.c_str(),
                              applicationMarketingVersion_ ? applicationMarketingVersion_->c_str() : nullptr,
                              mapToAsyncSymbolicationStrategy(config_.symbolicationStrategy()), true);
    qvcrash_async_file_t file;
    MSqvcrash_async_file_init(&file, fd, kQVCrashReportMaxSize);

    // Images loaded since the list was last read belong in the report.
    MSqvcrash_nasync_image_list_refresh(MSqvcrash_shared_image_list());

    qvcrash_log_bsd_info_t bsd = {SIGTRAP, TRAP_TRACE, reinterpret_cast<void*>(callerAddress)};
    qvcrash_log_signal_info_t siginfo = {&bsd};
    LiveReportWrite write = {&writer, thread, &file, &siginfo};
    qvcrash_error_t err = thread == MSpl_mach_thread_self()
                              ? MSqvcrash_async_thread_state_current(writeFromCurrentState, &write)
                              : MSqvcrash_log_writer_write(&writer, thread, MSqvcrash_shared_image_list(), &file,
                                                           &siginfo, nullptr);
    MSqvcrash_log_writer_close(&writer);
    // A report that did not reach the file whole is no report.
    const bool flushed = MSqvcrash_async_file_flush(&file);
    const bool closed = MSqvcrash_async_file_close(&file);
    if (err == QVCRASH_ESUCCESS && !(flushed && closed)) err = QVCRASH_EINTERNAL;

    platform::Result<platform::Bytes> bytes = platform::Bytes();
    if (err != QVCRASH_ESUCCESS) {
        platform::Log::error(kLogCategory, std::string("Write failed with error ") + qvcrash_async_strerror(err));
        bytes = MSCrashReporterMakeError(MSCrashReporterErrorUnknown, "Failed to write the crash report to disk");
    } else {
        std::string content;
        if (!platform::readFile(path, content)) {
            bytes = MSCrashReporterMakeError(MSCrashReporterErrorUnknown, "Unable to open live crash report for reading");
        } else {
            bytes = platform::Bytes(content.begin(), content.end());
        }
    }

    MSqvcrash_log_writer_free(&writer);
    if (::unlink(path.c_str()) != 0) {
        platform::Log::error(kLogCategory,
                             std::string("Failure occured deleting live crash report: ") + std::strerror(errno));
    }
    return bytes;
}

}  // namespace quorvane
