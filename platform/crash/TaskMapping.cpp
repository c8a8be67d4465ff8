#include "platform/crash/TaskMapping.h"

#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/uio.h>

#include <cerrno>

namespace quorvane::platform::crash {

size_t pageSize() {
    unsigned long size = ::getauxval(AT_PAGESZ);
    return size != 0 ? static_cast<size_t>(size) : 4096;
}

void* reservePages(size_t length, int* errnoOut) {
    void* base = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
        if (errnoOut) *errnoOut = errno;
        return nullptr;
    }
    return base;
}

bool protectPagesReadOnly(void* base, size_t length, int* errnoOut) {
    if (::mprotect(base, length, PROT_READ) != 0) {
        if (errnoOut) *errnoOut = errno;
        return false;
    }
    return true;
}

bool releasePages(void* base, size_t length, int* errnoOut) {
    if (::munmap(base, length) != 0) {
        if (errnoOut) *errnoOut = errno;
        return false;
    }
    return true;
}

ssize_t copyTaskMemoryPrefix(task_t task, uintptr_t address, void* destination, size_t len, int* errnoOut) {
    auto* out = static_cast<unsigned char*>(destination);
    const uintptr_t page = pageSize();
    size_t done = 0;
    bool onePage = false;  // after a fault: read up to the next page boundary only
    while (done < len) {
        size_t want = len - done;
        if (onePage) {
            size_t toBoundary = page - ((address + done) & (page - 1));
            if (toBoundary < want) want = toBoundary;
        }
        struct iovec local = {out + done, want};
        struct iovec remote = {reinterpret_cast<void*>(address + done), want};
        ssize_t n = readTaskVector(&task, &local, &remote);
        if (n > 0) {
            // Current kernels stop at the first page they cannot reach and report the bytes
            // before it; the next round then fails on that page.
            done += static_cast<size_t>(n);
            onePage = false;
            continue;
        }
        if (n == 0) break;
        if (errno == EINTR) continue;
        if (errno == EFAULT) {
            // A kernel that fails the whole request without a partial count: find the prefix
            // page by page.
            if (!onePage && want > page - ((address + done) & (page - 1))) {
                onePage = true;
                continue;
            }
            break;
        }
        if (errnoOut) *errnoOut = errno;
        return -1;
    }
    return static_cast<ssize_t>(done);
}

}  // namespace quorvane::platform::crash
