#pragma once
// The capture engine's async-signal-safe toolkit: result codes and their texts, the debug
// line on standard error, the buffered output file, task memory reads with byte-order
// conversion, string and memory helpers, the current thread, and a UTF-8 validity scan.
// Nothing here allocates or locks, so all of it may run inside a signal handler.

#include <sys/types.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "platform/crash/TaskMemory.h"

namespace quorvane {

// The engine's result code.
enum qvcrash_error_t : uint32_t {
    QVCRASH_ESUCCESS = 0,
    QVCRASH_EUNKNOWN = 1,
    QVCRASH_OUTPUT_ERR = 2,
    QVCRASH_ENOMEM = 3,
    QVCRASH_ENOTSUP = 4,
    QVCRASH_EINVAL = 5,
    QVCRASH_EINTERNAL = 6,
    QVCRASH_EACCESS = 7,
    QVCRASH_ENOTFOUND = 8,
    QVCRASH_EINVALID_DATA = 9,
};

using qvcrash_task_t = quorvane::platform::crash::task_t;
using qvcrash_thread_t = quorvane::platform::crash::thread_t;

// The fixed text of a result code ("Unhandled error code" for an unknown one).
const char* qvcrash_async_strerror(qvcrash_error_t error);

// The system's text for an errno value, without locale lookups or allocation.
const char* qvcrash_async_errno_text(int err);

// printf-like formatting into buf (always terminated when size > 0), without allocation.
// Understands %% %c %s %d %i %u %x %X %o %p, the length modifiers hh h l ll j z t, the flags
// '-' and '0' and a field width. Returns the number of bytes stored (without the terminator).
size_t qvcrash_async_vformat(char* buf, size_t size, const char* format, va_list args);
size_t qvcrash_async_format(char* buf, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Writes one diagnostic line to standard error: "[QVCrashReport] <function>:<line>: <message>".
// Each piece is formatted into a 128-byte buffer, so a long message is cut at 127 bytes.
void qvcrash_async_debug_log(const char* function, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
#define QVCRASH_DEBUG(...) ::quorvane::qvcrash_async_debug_log(__func__, __LINE__, __VA_ARGS__)

// Writes all len bytes, retrying after interruptions; len on success, -1 on an error.
ssize_t qvcrash_async_writen(int fd, const void* data, size_t len);

// Renames from to `to` unless something already has that name (EEXIST then): atomically where
// the file system can refuse to replace, else through a hard link, else after a look. 0 or an
// errno value.
int qvcrash_async_rename_noreplace(const char* from, const char* to);

// Makes every missing folder on the way to the file at file_path (mode 0755), built up in
// scratch (capacity bytes, at least the path's length plus one). False when a folder could not
// be made or the path does not fit.
bool qvcrash_async_make_parent_folders(const char* file_path, char* scratch, size_t capacity);

// Takes a write lock on the whole file open for writing at fd, held by that open file (not by
// the process: it stays while the file is open, in any process id namespace, and goes when the
// last descriptor of it is closed, the owner's death included). False when another open of the
// file holds one.
bool qvcrash_async_lock_file(int fd);

// Opens the file at path for reading and writing (no link followed, no FIFO waited on; made,
// 0644, when create is set), locks it, and checks that it is still the file of that name once
// locked, not one its last holder removed or replaced meanwhile. The descriptor, or -1.
int qvcrash_async_open_locked(const char* path, bool create);

// True when nobody holds the lock of the file at path and it is still the file of that name once
// looked at: whoever held it (a process writing its crash's report, a start at work on a file) is
// gone, in whatever process id namespace it ran, and did not let the file go first. A file that
// cannot be opened counts as held. Only looked at, never taken: one who looks must not keep the
// file from whoever takes the lock meanwhile.
bool qvcrash_async_lock_is_free(const char* path);

// Buffered output file with an optional limit on the total size.
struct qvcrash_async_file_t {
    int fd;
    uint64_t limit_bytes;  // 0 = no limit
    uint64_t total_bytes;  // accepted so far
    uint64_t buflen;       // waiting in buffer
    bool write_failed;     // some write was dropped (over the limit) or failed
    char buffer[256];
};
void MSqvcrash_async_file_init(qvcrash_async_file_t* file, int fd, uint64_t output_limit);
bool MSqvcrash_async_file_write(qvcrash_async_file_t* file, const void* data, size_t len);
bool MSqvcrash_async_file_flush(qvcrash_async_file_t* file);
bool MSqvcrash_async_file_close(qvcrash_async_file_t* file);

// Byte-order conversion: direct (identity) or swapped.
struct MSqvcrash_async_byteorder_t {
    uint16_t (*swap16)(uint16_t);
    uint32_t (*swap32)(uint32_t);
    uint64_t (*swap64)(uint64_t);
};
const MSqvcrash_async_byteorder_t* MSqvcrash_async_byteorder_direct();
const MSqvcrash_async_byteorder_t* MSqvcrash_async_byteorder_swapped();

// base + offset; false when the result would leave 0 ... 2^64-1. result may be null.
bool MSqvcrash_async_address_apply_offset(uint64_t base, int64_t offset, uint64_t* result);

// Copies len bytes at address + offset of the task into dest: ENOTFOUND for an unmapped
// address, EACCESS for an unreadable one, ENOMEM when address + offset overflows.
qvcrash_error_t MSqvcrash_async_task_memcpy(qvcrash_task_t task, uint64_t address, int64_t offset, void* dest,
                                            size_t len);
qvcrash_error_t MSqvcrash_async_task_read_uint8(qvcrash_task_t task, uint64_t address, int64_t offset,
                                                uint8_t* result);
qvcrash_error_t MSqvcrash_async_task_read_uint16(qvcrash_task_t task, const MSqvcrash_async_byteorder_t* byteorder,
                                                 uint64_t address, int64_t offset, uint16_t* result);
qvcrash_error_t MSqvcrash_async_task_read_uint32(qvcrash_task_t task, const MSqvcrash_async_byteorder_t* byteorder,
                                                 uint64_t address, int64_t offset, uint32_t* result);
qvcrash_error_t MSqvcrash_async_task_read_uint64(qvcrash_task_t task, const MSqvcrash_async_byteorder_t* byteorder,
                                                 uint64_t address, int64_t offset, uint64_t* result);

// Byte-wise helpers.
int qvcrash_async_strcmp(const char* s1, const char* s2);
int qvcrash_async_strncmp(const char* s1, const char* s2, size_t n);
// memcpy and memset are async-signal-safe (POSIX.1-2016). Inline, so that the small fixed-size
// copies the stack walk makes for every frame become plain loads and stores, with no call.
inline void* qvcrash_async_memcpy(void* dest, const void* source, size_t n) { return __builtin_memcpy(dest, source, n); }
inline void* qvcrash_async_memset(void* dest, uint8_t value, size_t n) { return __builtin_memset(dest, value, n); }
size_t qvcrash_async_strlen(const char* s);

// The calling thread (nothing to release).
qvcrash_thread_t MSpl_mach_thread_self();

// Number of leading bytes that form valid UTF-8 (a leading byte-order mark counts as valid),
// looking at no more than max_length bytes; a NUL byte ends the scan.
size_t MSqvcrash_async_utf8_valid_length(const uint8_t* bytes, size_t max_length);
size_t MSqvcrash_async_utf8_valid_length_cstr(const char* string);

}  // namespace quorvane
