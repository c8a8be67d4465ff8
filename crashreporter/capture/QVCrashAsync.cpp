#include "crashreporter/capture/QVCrashAsync.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorvane {

const char* qvcrash_async_strerror(qvcrash_error_t error) {
    switch (error) {
        case QVCRASH_ESUCCESS: return "No error";
        case QVCRASH_EUNKNOWN: return "Unknown error";
        case QVCRASH_OUTPUT_ERR: return "Output file can not be opened (or written to)";
        case QVCRASH_ENOMEM: return "No memory available";
        case QVCRASH_ENOTSUP: return "Operation not supported";
        case QVCRASH_EINVAL: return "Invalid argument";
        case QVCRASH_EINTERNAL: return "Internal error";
        case QVCRASH_EACCESS: return "Access denied";
        case QVCRASH_ENOTFOUND: return "Not found";
        case QVCRASH_EINVALID_DATA: return "The input data is in an unknown or invalid format.";
    }
    return "Unhandled error code";
}

const char* qvcrash_async_errno_text(int err) {
    // strerrordesc_np reads glibc's static table: no locale, no allocation.
    const char* text = ::strerrordesc_np(err);
    return text ? text : "Unknown error";
}

// ---- formatting ----

namespace {

struct FormatSink {
    char* buf;
    size_t size;
    size_t len;
    void put(char c) {
        if (size > 0 && len + 1 < size) buf[len++] = c;
    }
    void pad(char c, int count) {
        for (int i = 0; i < count; ++i) put(c);
    }
};

// Writes the digits of v in the given base into out (reversed order undone); returns count.
int digitsOf(unsigned long long v, unsigned base, bool upper, char* out) {
    const char* table = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char rev[24];
    int n = 0;
    do {
        rev[n++] = table[v % base];
        v /= base;
    } while (v != 0);
    for (int i = 0; i < n; ++i) out[i] = rev[n - 1 - i];
    return n;
}

void emitField(FormatSink& sink, const char* prefix, const char* body, int bodyLen, int width, bool left,
               bool zero) {
    int prefixLen = 0;
    while (prefix[prefixLen]) ++prefixLen;
    int padding = width > prefixLen + bodyLen ? width - prefixLen - bodyLen : 0;
    if (!left && !zero) sink.pad(' ', padding);
    for (int i = 0; i < prefixLen; ++i) sink.put(prefix[i]);
    if (!left && zero) sink.pad('0', padding);
    for (int i = 0; i < bodyLen; ++i) sink.put(body[i]);
    if (left) sink.pad(' ', padding);
}

}  // namespace

size_t qvcrash_async_vformat(char* buf, size_t size, const char* format, va_list args) {
    FormatSink sink{buf, size, 0};
    for (const char* p = format; *p; ++p) {
        if (*p != '%') {
            sink.put(*p);
            continue;
        }
        ++p;
        bool left = false, zero = false;
        for (;; ++p) {
            if (*p == '-') left = true;
            else if (*p == '0') zero = true;
            else break;
        }
        int width = 0;
        while (*p >= '0' && *p <= '9') width = width * 10 + (*p++ - '0');
        enum { kInt, kChar, kShort, kLong, kLongLong, kIntMax, kSize, kPtrDiff } length = kInt;
        if (*p == 'h') {
            ++p;
            length = kShort;
            if (*p == 'h') ++p, length = kChar;
        } else if (*p == 'l') {
            ++p;
            length = kLong;
            if (*p == 'l') ++p, length = kLongLong;
        } else if (*p == 'j') {
            ++p, length = kIntMax;
        } else if (*p == 'z') {
            ++p, length = kSize;
        } else if (*p == 't') {
            ++p, length = kPtrDiff;
        }
        char digits[32];
        switch (*p) {
            case '\0':
                --p;  // a lone '%' at the end: stop after this round
                break;
            case '%':
                sink.put('%');
                break;
            case 'c': {
                char c = static_cast<char>(va_arg(args, int));
                emitField(sink, "", &c, 1, width, left, false);
                break;
            }
            case 's': {
                const char* s = va_arg(args, const char*);
                if (!s) s = "(null)";
                int n = 0;
                while (s[n]) ++n;
                emitField(sink, "", s, n, width, left, false);
                break;
            }
            case 'd':
            case 'i': {
                long long v;
                switch (length) {
                    case kLong: v = va_arg(args, long); break;
                    case kLongLong: v = va_arg(args, long long); break;
                    case kIntMax: v = va_arg(args, intmax_t); break;
                    case kSize: v = va_arg(args, ssize_t); break;
                    case kPtrDiff: v = va_arg(args, ptrdiff_t); break;
                    case kChar: v = static_cast<signed char>(va_arg(args, int)); break;
                    case kShort: v = static_cast<short>(va_arg(args, int)); break;
                    default: v = va_arg(args, int); break;
                }
                unsigned long long mag = v < 0 ? 0ULL - static_cast<unsigned long long>(v)
                                               : static_cast<unsigned long long>(v);
                int n = digitsOf(mag, 10, false, digits);
                emitField(sink, v < 0 ? "-" : "", digits, n, width, left, zero);
                break;
            }
            case 'u':
            case 'x':
            case 'X':
            case 'o': {
                unsigned long long v;
                switch (length) {
                    case kLong: v = va_arg(args, unsigned long); break;
                    case kLongLong: v = va_arg(args, unsigned long long); break;
                    case kIntMax: v = va_arg(args, uintmax_t); break;
                    case kSize: v = va_arg(args, size_t); break;
                    case kPtrDiff: v = static_cast<unsigned long long>(va_arg(args, ptrdiff_t)); break;
                    case kChar: v = static_cast<unsigned char>(va_arg(args, unsigned)); break;
                    case kShort: v = static_cast<unsigned short>(va_arg(args, unsigned)); break;
                    default: v = va_arg(args, unsigned); break;
                }
                unsigned base = *p == 'u' ? 10 : *p == 'o' ? 8 : 16;
                int n = digitsOf(v, base, *p == 'X', digits);
                emitField(sink, "", digits, n, width, left, zero);
                break;
            }
            case 'p': {
                auto v = reinterpret_cast<uintptr_t>(va_arg(args, void*));
                int n = digitsOf(v, 16, false, digits);
                emitField(sink, "0x", digits, n, width, left, zero);
                break;
            }
            default:
                // Unknown conversion: copy it as it stands.
                sink.put('%');
                sink.put(*p);
                break;
        }
    }
    if (size > 0) buf[sink.len] = '\0';
    return sink.len;
}

size_t qvcrash_async_format(char* buf, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    size_t n = qvcrash_async_vformat(buf, size, format, args);
    va_end(args);
    return n;
}

void qvcrash_async_debug_log(const char* function, int line, const char* format, ...) {
    int saved = errno;
    char piece[128];
    static const char kPrefix[] = "[QVCrashReport] ";
    qvcrash_async_writen(STDERR_FILENO, kPrefix, sizeof(kPrefix) - 1);
    size_t n = qvcrash_async_format(piece, sizeof(piece), "%s", function);
    qvcrash_async_writen(STDERR_FILENO, piece, n);
    n = qvcrash_async_format(piece, sizeof(piece), ":%d: ", line);
    qvcrash_async_writen(STDERR_FILENO, piece, n);
    va_list args;
    va_start(args, format);
    n = qvcrash_async_vformat(piece, sizeof(piece), format, args);
    va_end(args);
    qvcrash_async_writen(STDERR_FILENO, piece, n);
    qvcrash_async_writen(STDERR_FILENO, "\n", 1);
    errno = saved;
}

int qvcrash_async_rename_noreplace(const char* from, const char* to) {
    constexpr unsigned kRenameNoReplace = 1;  // RENAME_NOREPLACE
    if (::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, kRenameNoReplace) == 0) return 0;
    int err = errno;
    if (err != EINVAL && err != ENOSYS) return err;
    // A file system that cannot refuse to replace: a hard link is never made over a name.
    if (::link(from, to) == 0) {
        ::unlink(from);
        return 0;
    }
    err = errno;
    if (err == EEXIST) return err;
    // Nor hard links: look first. Only two crashes of one process id could meet in between.
    struct stat st;
    if (::lstat(to, &st) == 0) return EEXIST;
    return ::rename(from, to) == 0 ? 0 : errno;
}

bool qvcrash_async_make_parent_folders(const char* file_path, char* scratch, size_t capacity) {
    const size_t length = qvcrash_async_strlen(file_path);
    if (length + 1 > capacity) return false;
    qvcrash_async_memcpy(scratch, file_path, length + 1);
    for (size_t i = 1; i < length; ++i) {
        if (scratch[i] != '/') continue;
        scratch[i] = '\0';
        const bool made = ::mkdir(scratch, 0755) == 0 || errno == EEXIST;
        scratch[i] = '/';
        if (!made) return false;
    }
    return true;
}

bool qvcrash_async_lock_file(int fd) {
    struct flock lock;
    qvcrash_async_memset(&lock, 0, sizeof(lock));
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

int qvcrash_async_open_locked(const char* path, bool create) {
    const int fd = ::open(path, O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
    if (fd < 0) return -1;
    struct stat opened, named;
    if (!qvcrash_async_lock_file(fd) || ::fstat(fd, &opened) != 0 || ::lstat(path, &named) != 0 ||
        opened.st_ino != named.st_ino || opened.st_dev != named.st_dev) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool qvcrash_async_lock_is_free(const char* path) {
    const int fd = ::open(path, O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct flock lock;
    qvcrash_async_memset(&lock, 0, sizeof(lock));
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    // The name looked at after the lock: a holder lets its file go (removes it) before the lock.
    struct stat opened, named;
    const bool free = ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type == F_UNLCK && ::fstat(fd, &opened) == 0 &&
                      ::lstat(path, &named) == 0 && opened.st_ino == named.st_ino && opened.st_dev == named.st_dev;
    ::close(fd);
    return free;
}

ssize_t qvcrash_async_writen(int fd, const void* data, size_t len) {
    if (len == 0) return 0;
    const char* p = static_cast<const char*>(data);
    size_t left = len;
    while (left > 0) {
        ssize_t w = ::write(fd, p, left);
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        p += w;
        left -= static_cast<size_t>(w);
    }
    return static_cast<ssize_t>(len);
}

// ---- async file ----

void MSqvcrash_async_file_init(qvcrash_async_file_t* file, int fd, uint64_t output_limit) {
    file->fd = fd;
    file->limit_bytes = output_limit;
    file->total_bytes = 0;
    file->buflen = 0;
    file->write_failed = false;
}

bool MSqvcrash_async_file_write(qvcrash_async_file_t* file, const void* data, size_t len) {
    if (file->limit_bytes != 0 && file->total_bytes + len > file->limit_bytes) {
        file->write_failed = true;
        return false;
    }
    file->total_bytes += len;

    if (file->buflen + len > sizeof(file->buffer)) {
        if (qvcrash_async_writen(file->fd, file->buffer, file->buflen) < 0) {
            QVCRASH_DEBUG("Error occured writing to crash log: %s", qvcrash_async_errno_text(errno));
            file->write_failed = true;
            return false;
        }
        file->buflen = 0;
    }
    if (file->buflen + len <= sizeof(file->buffer)) {
        qvcrash_async_memcpy(file->buffer + file->buflen, data, len);
        file->buflen += len;
        return true;
    }
    if (qvcrash_async_writen(file->fd, data, len) < 0) {
        QVCRASH_DEBUG("Error occured writing to crash log: %s", qvcrash_async_errno_text(errno));
        file->write_failed = true;
        return false;
    }
    return true;
}

bool MSqvcrash_async_file_flush(qvcrash_async_file_t* file) {
    if (file->buflen == 0) return true;
    if (qvcrash_async_writen(file->fd, file->buffer, file->buflen) < 0) {
        QVCRASH_DEBUG("Error occured writing to crash log: %s", qvcrash_async_errno_text(errno));
        file->write_failed = true;
        return false;
    }
    file->buflen = 0;
    return true;
}

bool MSqvcrash_async_file_close(qvcrash_async_file_t* file) {
    if (!MSqvcrash_async_file_flush(file)) return false;
    if (::close(file->fd) != 0) {
        QVCRASH_DEBUG("Error closing file: %s", qvcrash_async_errno_text(errno));
        return false;
    }
    return true;
}

// ---- byte order ----

namespace {
uint16_t direct16(uint16_t v) { return v; }
uint32_t direct32(uint32_t v) { return v; }
uint64_t direct64(uint64_t v) { return v; }
uint16_t swap16(uint16_t v) { return __builtin_bswap16(v); }
uint32_t swap32(uint32_t v) { return __builtin_bswap32(v); }
uint64_t swap64(uint64_t v) { return __builtin_bswap64(v); }
const MSqvcrash_async_byteorder_t kDirect = {direct16, direct32, direct64};
const MSqvcrash_async_byteorder_t kSwapped = {swap16, swap32, swap64};
}  // namespace

const MSqvcrash_async_byteorder_t* MSqvcrash_async_byteorder_direct() { return &kDirect; }
const MSqvcrash_async_byteorder_t* MSqvcrash_async_byteorder_swapped() { return &kSwapped; }

// ---- task memory ----

bool MSqvcrash_async_address_apply_offset(uint64_t base, int64_t offset, uint64_t* result) {
    uint64_t value;
    if (offset >= 0) {
        uint64_t add = static_cast<uint64_t>(offset);
        if (UINT64_MAX - base < add) return false;
        value = base + add;
    } else {
        // Magnitude without overflowing on INT64_MIN.
        uint64_t sub = static_cast<uint64_t>(-(offset + 1)) + 1;
        if (sub > base) return false;
        value = base - sub;
    }
    if (result) *result = value;
    return true;
}

qvcrash_error_t MSqvcrash_async_task_memcpy(qvcrash_task_t task, uint64_t address, int64_t offset, void* dest,
                                            size_t len) {
    uint64_t target;
    if (!MSqvcrash_async_address_apply_offset(address, offset, &target)) return QVCRASH_ENOMEM;
    // The range itself must not wrap past the top of the address space either.
    if (len > 0 && UINT64_MAX - target < len - 1) return QVCRASH_ENOMEM;
    if (len == 0) return QVCRASH_ESUCCESS;

    using namespace quorvane::platform::crash;
    KernReturn kr = readTaskMemory(task, static_cast<uintptr_t>(target), dest, len);
    switch (kr) {
        case kKernSuccess: return QVCRASH_ESUCCESS;
        case kKernInvalidAddress: return QVCRASH_ENOTFOUND;
        case kKernProtectionFailure: return QVCRASH_EACCESS;
        default:
            QVCRASH_DEBUG("Unexpected error from vm_read_overwrite: %d", static_cast<int>(kr));
            return QVCRASH_EUNKNOWN;
    }
}

qvcrash_error_t MSqvcrash_async_task_read_uint8(qvcrash_task_t task, uint64_t address, int64_t offset,
                                                uint8_t* result) {
    return MSqvcrash_async_task_memcpy(task, address, offset, result, sizeof(*result));
}

qvcrash_error_t MSqvcrash_async_task_read_uint16(qvcrash_task_t task, const MSqvcrash_async_byteorder_t* byteorder,
                                                 uint64_t address, int64_t offset, uint16_t* result) {
    qvcrash_error_t err = MSqvcrash_async_task_memcpy(task, address, offset, result, sizeof(*result));
    *result = byteorder->swap16(*result);
    return err;
}

qvcrash_error_t MSqvcrash_async_task_read_uint32(qvcrash_task_t task, const MSqvcrash_async_byteorder_t* byteorder,
                                                 uint64_t address, int64_t offset, uint32_t* result) {
    qvcrash_error_t err = MSqvcrash_async_task_memcpy(task, address, offset, result, sizeof(*result));
    *result = byteorder->swap32(*result);
    return err;
}

qvcrash_error_t MSqvcrash_async_task_read_uint64(qvcrash_task_t task, const MSqvcrash_async_byteorder_t* byteorder,
                                                 uint64_t address, int64_t offset, uint64_t* result) {
    qvcrash_error_t err = MSqvcrash_async_task_memcpy(task, address, offset, result, sizeof(*result));
    *result = byteorder->swap64(*result);
    return err;
}

// ---- strings and memory ----

int qvcrash_async_strcmp(const char* s1, const char* s2) {
    for (;; ++s1, ++s2) {
        if (*s1 != *s2) return static_cast<unsigned char>(*s1) - static_cast<unsigned char>(*s2);
        if (*s1 == '\0') return 0;
    }
}

int qvcrash_async_strncmp(const char* s1, const char* s2, size_t n) {
    for (; n > 0; ++s1, ++s2, --n) {
        if (*s1 != *s2) return static_cast<unsigned char>(*s1) - static_cast<unsigned char>(*s2);
        if (*s1 == '\0') return 0;
    }
    return 0;
}

size_t qvcrash_async_strlen(const char* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

qvcrash_thread_t MSpl_mach_thread_self() { return quorvane::platform::crash::threadSelf(); }

// ---- UTF-8 ----

size_t MSqvcrash_async_utf8_valid_length(const uint8_t* bytes, size_t max_length) {
    size_t i = 0;
    if (max_length >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) i = 3;
    while (i < max_length) {
        uint8_t c = bytes[i];
        if (c == 0) break;
        size_t continuation;
        if (c < 0x80) continuation = 0;
        else if ((c & 0xE0) == 0xC0) continuation = 1;
        else if ((c & 0xF0) == 0xE0) continuation = 2;
        else if ((c & 0xF8) == 0xF0) continuation = 3;
        else break;
        if (max_length - i - 1 < continuation) break;
        bool ok = true;
        for (size_t k = 1; k <= continuation; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) {  // also rejects NUL
                ok = false;
                break;
            }
        }
        if (!ok) break;
        i += continuation + 1;
    }
    return i;
}

size_t MSqvcrash_async_utf8_valid_length_cstr(const char* string) {
    return MSqvcrash_async_utf8_valid_length(reinterpret_cast<const uint8_t*>(string), qvcrash_async_strlen(string));
}

}  // namespace quorvane
