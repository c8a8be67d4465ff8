#pragma once
// The report writer's state, filled when the reporter is enabled so that the crash path only
// has to read it, and the crash path's entry into writing a report.
//
// What is here: the writer's identity fields (strategy, user-requested flag, report UUID,
// application identifier and versions) and the uncaught exception it carries. The report
// encoding itself (system, machine, process, threads, images, signal) is not built yet:
// qvcrash_write_report answers QVCRASH_ENOTSUP and touches no file, so no partial report
// is ever left behind.

#include <signal.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "crashreporter/QVCrashAsync.h"

namespace quorvane {

struct qvcrash_log_writer_t {
    uint32_t symbolication_strategy;
    bool user_requested;
    uint8_t uuid[16];

    struct {
        char* app_identifier;
        char* app_version;
        char* app_marketing_version;  // may be null
    } application_info;

    struct {
        bool has_exception;
        char* name;
        char* reason;
        uint64_t* callstack;
        size_t callstack_count;
    } uncaught_exception;
};

// The POSIX side of a crash.
struct qvcrash_log_bsd_info_t {
    int signo;
    int code;
    void* address;
};

// The crash information handed to the writer. The machine-exception part of the original
// design does not exist on Linux: crashes arrive as signals only.
struct qvcrash_log_signal_info_t {
    qvcrash_log_bsd_info_t* bsd_info;
};

// The process-wide state the crash paths use, written only while enabling.
struct qvcrash_handler_context_t {
    qvcrash_log_writer_t writer;
    char* path;  // the report file
};

// Fills the writer at enabling time. marketing_version may be null.
qvcrash_error_t MSqvcrash_log_writer_init(qvcrash_log_writer_t* writer, const char* app_identifier,
                                          const char* app_version, const char* app_marketing_version,
                                          uint32_t symbolication_strategy, bool user_requested);

// Stores the uncaught exception; called once (the reporter's guard makes sure).
void MSqvcrash_log_writer_set_exception(qvcrash_log_writer_t* writer, const std::string& name,
                                        const std::string& reason, const std::vector<uint64_t>& returnAddresses);

// Releases every string and the exception's addresses.
void MSqvcrash_log_writer_free(qvcrash_log_writer_t* writer);

// Writes the report of a crash into the context's file. Async-signal-safe.
qvcrash_error_t qvcrash_write_report(qvcrash_handler_context_t* context, qvcrash_thread_t crashed_thread,
                                     const ucontext_t* current_state, qvcrash_log_signal_info_t* siginfo);

}  // namespace quorvane
