#include "platform/crash/TaskMemory.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace quorvane::platform::crash {

task_t taskSelf() { return static_cast<task_t>(::syscall(SYS_getpid)); }

thread_t threadSelf() { return static_cast<thread_t>(::syscall(SYS_gettid)); }

namespace {

// Writes "/proc/<pid>/maps" into buf without the C library's formatting.
void mapsPath(task_t task, char* buf) {
    const char prefix[] = "/proc/";
    size_t n = 0;
    for (const char* p = prefix; *p; ++p) buf[n++] = *p;
    char digits[16];
    int d = 0;
    unsigned long v = static_cast<unsigned long>(task);
    do {
        digits[d++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (d > 0) buf[n++] = digits[--d];
    const char suffix[] = "/maps";
    for (const char* p = suffix; *p; ++p) buf[n++] = *p;
    buf[n] = '\0';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Streams the maps file line by line through a fixed buffer and classifies the address:
// kKernInvalidAddress when no mapping holds it, kKernProtectionFailure when the mapping is
// not readable, kKernSuccess when it is readable, kKernFailure when the file cannot be read.
KernReturn classifyAddress(task_t task, uintptr_t address) {
    char path[48];
    mapsPath(task, path);
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return kKernFailure;

    char buf[512];
    size_t used = 0;
    KernReturn result = kKernInvalidAddress;
    bool done = false;
    bool eof = false;
    bool skipping = false;  // inside the rest of a line longer than the buffer
    while (!done) {
        if (!eof && used < sizeof(buf)) {
            ssize_t r = ::read(fd, buf + used, sizeof(buf) - used);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) eof = true;
            else used += static_cast<size_t>(r);
        }
        // Find one complete line (or the rest at end of file).
        size_t lineEnd = 0;
        while (lineEnd < used && buf[lineEnd] != '\n') ++lineEnd;
        if (lineEnd == used && !eof && used < sizeof(buf)) continue;
        if (used == 0) break;

        if (skipping) {
            size_t consumed = lineEnd < used ? lineEnd + 1 : used;
            skipping = lineEnd == used;
            for (size_t k = consumed; k < used; ++k) buf[k - consumed] = buf[k];
            used -= consumed;
            if (eof && used == 0) break;
            continue;
        }

        // "start-end perms ..."
        uintptr_t start = 0, end = 0;
        size_t i = 0;
        int h;
        while (i < lineEnd && (h = hexValue(buf[i])) >= 0) start = (start << 4) | static_cast<uintptr_t>(h), ++i;
        if (i < lineEnd && buf[i] == '-') ++i;
        while (i < lineEnd && (h = hexValue(buf[i])) >= 0) end = (end << 4) | static_cast<uintptr_t>(h), ++i;
        if (i < lineEnd && buf[i] == ' ') ++i;
        bool readable = i < lineEnd && buf[i] == 'r';
        if (address >= start && address < end) {
            result = readable ? kKernSuccess : kKernProtectionFailure;
            done = true;
        } else if (start > address) {
            done = true;  // the file is sorted by address
        }

        // Drop the line; the rest of a line longer than the buffer is skipped as it comes.
        size_t consumed = lineEnd < used ? lineEnd + 1 : used;
        skipping = lineEnd == used;
        for (size_t k = consumed; k < used; ++k) buf[k - consumed] = buf[k];
        used -= consumed;
        if (eof && used == 0) break;
    }
    ::close(fd);
    return result;
}

}  // namespace

ssize_t readTaskVector(task_t* task, const struct iovec* local, const struct iovec* remote) {
    ssize_t n = ::process_vm_readv(*task, local, 1, remote, 1, 0);
    if (n < 0 && errno == ESRCH && *task == taskSelf()) {
        *task = threadSelf();
        n = ::process_vm_readv(*task, local, 1, remote, 1, 0);
    }
    return n;
}

KernReturn readTaskMemory(task_t task, uintptr_t address, void* destination, size_t len, int* errnoOut) {
    auto* out = static_cast<unsigned char*>(destination);
    size_t done = 0;
    while (done < len) {
        struct iovec local = {out + done, len - done};
        struct iovec remote = {reinterpret_cast<void*>(address + done), len - done};
        ssize_t n = readTaskVector(&task, &local, &remote);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        int err = n == 0 ? EFAULT : errno;
        if (err == EINTR) continue;
        if (err == EFAULT) {
            // Find the first page of the rest of the range that is not readable.
            const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
            uintptr_t at = address + done;
            const uintptr_t last = address + len - 1;
            while (true) {
                KernReturn r = classifyAddress(task, at);
                if (r != kKernSuccess) return r;
                uintptr_t next = (at & ~(page - 1)) + page;
                if (next == 0 || next > last) break;
                at = next;
            }
            // Every page looks readable but the read still faults (e.g. a file mapping past
            // its end): the bytes are not there.
            return kKernInvalidAddress;
        }
        if (errnoOut) *errnoOut = err;
        return kKernFailure;
    }
    return kKernSuccess;
}

}  // namespace quorvane::platform::crash
