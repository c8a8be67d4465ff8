#pragma once
// The report writer: its state, filled when the reporter is enabled so that the crash path only
// has to read it, and the crash path itself, which writes one report file (framing and field
// numbers in QVCrashReportFormat.h) with every other thread suspended.
//
// The message is encoded here by hand, without allocation or locks, in two passes per embedded
// message: the message's writer first runs without a file to learn its length, then the key and
// length are written, then the message itself.
//
// On Linux the report holds:
//   system     the kernel release as "major.minor.patch", the kernel's build string
//              (/proc/sys/kernel/version), operating system LINUX, architecture X86_64
//   machine    the firmware's product name when there is one, the build's processor as the CPU
//              type and subtype the format numbers (x86-64: 16777223 / 3), core and logical
//              processor counts
//   process    name, id, executable path (/proc/self/exe), start time, parent id and name
//   threads    every thread of /proc/self/task, walked with the frame cursor
//   images     every image of the image list: the ELF header's address, the extent of its
//              loadable segments, its path, its GNU build id as the image UUID (whatever its
//              length) and its machine mapped to the same CPU type numbering
//   signal     the signal and its code by name, the fault address. Linux has no machine
//              exceptions, so the signal never carries one.

#include <signal.h>
#include <ucontext.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "crashreporter/capture/QVCrashAsync.h"
#include "crashreporter/capture/QVCrashAsyncImageList.h"
#include "crashreporter/capture/QVCrashAsyncThread.h"
#include "crashreporter/capture/QVCrashReportFormat.h"
#include "platform/crash/Threads.h"

namespace quorvane {

struct qvcrash_log_writer_t {
    uint32_t symbolication_strategy;
    bool user_requested;
    uint8_t uuid[16];

    struct {
        char* version;  // "%d.%d.%d", or null when it could not be read
        char* build;    // or null
    } system_info;

    struct {
        char* model;  // or null
        uint64_t cpu_type;
        uint64_t cpu_subtype;
        uint32_t processor_count;
        uint32_t logical_processor_count;
    } machine_info;

    struct {
        char* app_identifier;
        char* app_version;
        char* app_marketing_version;  // may be null
    } application_info;

    struct {
        char* process_name;  // may be null
        uint32_t process_id;
        char* process_path;  // may be null
        uint64_t start_time;  // seconds since 1970
        char* parent_process_name;  // may be null
        uint32_t parent_process_id;
        bool native;
    } process_info;

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

// The crash information handed to the writer. Linux delivers every crash as a signal, so there
// is no machine-exception part.
struct qvcrash_log_signal_info_t {
    qvcrash_log_bsd_info_t* bsd_info;  // required
};

// The process-wide state the crash paths use, written only while enabling.
struct qvcrash_handler_context_t {
    qvcrash_log_writer_t writer;
    char* path;  // the report file's name, when no other report has it
    // Room for the names made at crash time, path_capacity bytes each: the partial file the
    // report is written into ("<path>.<pid>.partial", the crashing process's id) and the name
    // the whole report takes.
    char* partial_path;
    char* placed_path;
    size_t path_capacity;
};

// Frames written per thread and per exception.
inline constexpr uint32_t kQVCrashReportMaxFrames = 512;
// Threads a report can list (as many as can be held suspended); the rest are left out, never
// the crashed one.
inline constexpr size_t kQVCrashReportMaxThreads = platform::crash::kMaxSuspendedThreads;

// Fills the writer at enabling time (allocates; not async-safe). marketing_version may be null.
qvcrash_error_t MSqvcrash_log_writer_init(qvcrash_log_writer_t* writer, const char* app_identifier,
                                          const char* app_version, const char* app_marketing_version,
                                          uint32_t symbolication_strategy, bool user_requested);

// Stores the uncaught exception; called once (the reporter's guard makes sure).
void MSqvcrash_log_writer_set_exception(qvcrash_log_writer_t* writer, const std::string& name,
                                        const std::string& reason, const std::vector<uint64_t>& returnAddresses);

// What happens to the other threads once the report is written.
enum class qvcrash_other_threads_t {
    resume,        // they run again (a report taken while the process lives on)
    keep_stopped,  // they stay stopped until the process ends (a crash)
};

// Writes the whole report into file: header, then the message. The other threads of the process
// are suspended while it runs, and afterwards as `others` says. current_state is the calling thread's state, or null when the
// calling thread is not to be written (it must then not be the crashed thread). When the file
// has a size limit, the sizing pass shrinks the report to fit it: other threads lose their
// deepest frames first; the crashed thread, the images and the signal are kept. 0 when the
// report is complete; QVCRASH_EINTERNAL when the threads could not be listed, QVCRASH_OUTPUT_ERR
// when some of it could not be written. Async-signal-safe.
qvcrash_error_t MSqvcrash_log_writer_write(qvcrash_log_writer_t* writer, qvcrash_thread_t crashed_thread,
                                           qvcrash_async_image_list_t* image_list, qvcrash_async_file_t* file,
                                           qvcrash_log_signal_info_t* siginfo,
                                           const qvcrash_async_thread_state_t* current_state,
                                           qvcrash_other_threads_t others = qvcrash_other_threads_t::resume);

// Nothing to do; always succeeds.
qvcrash_error_t MSqvcrash_log_writer_close(qvcrash_log_writer_t* writer);

// Releases every string and the exception's addresses.
void MSqvcrash_log_writer_free(qvcrash_log_writer_t* writer);

// Writes the report of a crash, limited to kQVCrashReportMaxSize bytes (or the process's file
// size limit when lower, which the sizing pass then fits; SIGXFSZ is ignored meanwhile), into a
// partial file of the crashing process (named after its id, taken now: a child forked without
// exec writes a file of its own; made anew, 0644, whatever stood at that name removed first, the
// report folder made again when it is gone; locked while open, see qvcrash_async_lock_file),
// flushes it, and only when every byte was written gives it a name no other report has
// (qvcrash_place_report): the report file is whole or absent, whoever looks at it and whenever,
// and a report already in place is never replaced; a report not written whole is removed. In a
// forked child the report tells that child's id and gets an id of its own. current_state is the
// crashed thread's signal context. The other threads stay stopped on return, so that none of
// them can end the process before the crash does. 0 when the report was written whole; 6 when
// the file could not be opened, written whole, flushed, closed or put into place; otherwise the
// writer's result. Async-signal-safe.
qvcrash_error_t qvcrash_write_report(qvcrash_handler_context_t* context, qvcrash_thread_t crashed_thread,
                                     const ucontext_t* current_state, qvcrash_log_signal_info_t* siginfo);

// Gives the whole report at `from` a name no other report has: `path` while it is free, else
// "<path>.<pid>.<n>" with the first free n from 1, made in `buffer` (capacity bytes). 0, or the
// errno value of the rename that failed. Async-signal-safe.
int qvcrash_place_report(const char* from, const char* path, int pid, char* buffer, size_t capacity);

// ---- the encoder ----

// Field types, numbered as protobuf-c numbers them in its descriptors.
enum qvcrash_protobuf_type_t : uint32_t {
    QVCRASH_PROTOBUF_TYPE_INT32 = 0,
    QVCRASH_PROTOBUF_TYPE_SINT32 = 1,
    QVCRASH_PROTOBUF_TYPE_SFIXED32 = 2,
    QVCRASH_PROTOBUF_TYPE_INT64 = 3,
    QVCRASH_PROTOBUF_TYPE_SINT64 = 4,
    QVCRASH_PROTOBUF_TYPE_SFIXED64 = 5,
    QVCRASH_PROTOBUF_TYPE_UINT32 = 6,
    QVCRASH_PROTOBUF_TYPE_FIXED32 = 7,
    QVCRASH_PROTOBUF_TYPE_UINT64 = 8,
    QVCRASH_PROTOBUF_TYPE_FIXED64 = 9,
    QVCRASH_PROTOBUF_TYPE_FLOAT = 10,
    QVCRASH_PROTOBUF_TYPE_DOUBLE = 11,
    QVCRASH_PROTOBUF_TYPE_BOOL = 12,
    QVCRASH_PROTOBUF_TYPE_ENUM = 13,
    QVCRASH_PROTOBUF_TYPE_STRING = 14,
    QVCRASH_PROTOBUF_TYPE_BYTES = 15,
    QVCRASH_PROTOBUF_TYPE_MESSAGE = 16,
};

// The value of a bytes field.
struct qvcrash_protobuf_bytes_t {
    uint64_t len;
    const void* data;
};

// Writes one field's key and value through file (or, with a null file, only measures them) and
// returns their size in bytes. value points to: int32_t (int32, sint32, sfixed32), int64_t
// (int64, sint64, sfixed64), uint32_t (uint32, fixed32, enum), uint64_t (uint64, fixed64),
// float, double, bool, a qvcrash_protobuf_bytes_t (bytes), or the precomputed uint32_t length
// of an embedded message (only the key and length are written; the caller writes the content
// next). For a string, value is the NUL-terminated string itself (null writes ""). A type
// outside 0 to 16 is a programming error that aborts the process.
size_t MSqvcrash_writer_pack(qvcrash_async_file_t* file, uint32_t field_id, qvcrash_protobuf_type_t field_type,
                             const void* value);

}  // namespace quorvane
