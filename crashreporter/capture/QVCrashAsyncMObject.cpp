#include "crashreporter/capture/QVCrashAsyncMObject.h"

#include "crashreporter/capture/QVCrashAsyncImage.h"
#include "platform/crash/TaskMapping.h"

namespace quorvane {

namespace pc = quorvane::platform::crash;

qvcrash_error_t MSqvcrash_async_mobject_init(qvcrash_async_mobject_t* mobj, qvcrash_task_t task,
                                             uint64_t task_address, uint64_t length, bool require_full) {
    const uint64_t page = pc::pageSize();
    const uint64_t page_mask = page - 1;
    const uint64_t start = task_address & ~page_mask;
    uint64_t end;
    if (length > UINT64_MAX - task_address || (task_address + length) > UINT64_MAX - page_mask) {
        QVCRASH_DEBUG("Range 0x%llx + 0x%llx leaves the address space", (unsigned long long)task_address,
                      (unsigned long long)length);
        return QVCRASH_ENOMEM;
    }
    end = (task_address + length + page_mask) & ~page_mask;
    uint64_t total = end - start;
    if (total == 0) total = page;  // an empty range still maps the page it points into
    if (total > SIZE_MAX) return QVCRASH_ENOMEM;

    int err = 0;
    void* base = pc::reservePages(static_cast<size_t>(total), &err);
    if (base == nullptr) {
        QVCRASH_DEBUG("Failed to allocate a target page range for the page remapping: %d", err);
        return QVCRASH_EINTERNAL;
    }

    ssize_t copied = pc::copyTaskMemoryPrefix(task, static_cast<uintptr_t>(start), base, static_cast<size_t>(total), &err);
    qvcrash_error_t failure = QVCRASH_ESUCCESS;
    const uint64_t page_offset = task_address - start;
    if (copied < 0) {
        QVCRASH_DEBUG("Failed to read target pages at 0x%llx: %d", (unsigned long long)start, err);
        failure = QVCRASH_ENOMEM;
    } else if (require_full && static_cast<uint64_t>(copied) < total) {
        QVCRASH_DEBUG("Only 0x%llx of 0x%llx bytes at 0x%llx are readable", (unsigned long long)copied,
                      (unsigned long long)total, (unsigned long long)start);
        failure = QVCRASH_ENOMEM;
    } else if (copied == 0 || static_cast<uint64_t>(copied) < page_offset) {
        QVCRASH_DEBUG("No mappable pages found at 0x%llx", (unsigned long long)start);
        failure = QVCRASH_ENOMEM;
    }
    if (failure == QVCRASH_ESUCCESS && static_cast<uint64_t>(copied) < total) {
        // Give back the pages past the readable prefix.
        const uint64_t keep = (static_cast<uint64_t>(copied) + page_mask) & ~page_mask;
        if (keep < total && pc::releasePages(static_cast<char*>(base) + keep, static_cast<size_t>(total - keep), &err)) {
            total = keep;
        }
    }
    if (failure == QVCRASH_ESUCCESS && !pc::protectPagesReadOnly(base, static_cast<size_t>(total), &err)) {
        QVCRASH_DEBUG("mprotect() failure: %d", err);
        failure = QVCRASH_EINTERNAL;
    }
    if (failure != QVCRASH_ESUCCESS) {
        if (!pc::releasePages(base, static_cast<size_t>(total), &err)) QVCRASH_DEBUG("vm_deallocate() failed: %d", err);
        return failure;
    }

    const uint64_t usable = static_cast<uint64_t>(copied) - page_offset;
    mobj->task = task;
    mobj->vm_address = reinterpret_cast<uintptr_t>(base);
    mobj->vm_length = total;
    mobj->address = mobj->vm_address + static_cast<uintptr_t>(page_offset);
    mobj->task_address = task_address;
    mobj->length = usable < length ? usable : length;
    mobj->vm_slide = static_cast<int64_t>(task_address - static_cast<uint64_t>(mobj->address));
    return QVCRASH_ESUCCESS;
}

void MSqvcrash_async_mobject_free(qvcrash_async_mobject_t* mobj) {
    int err = 0;
    if (mobj->vm_address != 0 &&
        !pc::releasePages(reinterpret_cast<void*>(mobj->vm_address), static_cast<size_t>(mobj->vm_length), &err)) {
        QVCRASH_DEBUG("vm_deallocate() failure: %d", err);
    }
    mobj->vm_address = 0;
    mobj->vm_length = 0;
    mobj->length = 0;
}

uint64_t MSqvcrash_async_mobject_base_address(const qvcrash_async_mobject_t* mobj) { return mobj->task_address; }
uint64_t MSqvcrash_async_mobject_length(const qvcrash_async_mobject_t* mobj) { return mobj->length; }
qvcrash_task_t MSqvcrash_async_mobject_task(const qvcrash_async_mobject_t* mobj) { return mobj->task; }

bool MSqvcrash_async_mobject_verify_local_pointer(const qvcrash_async_mobject_t* mobj, uintptr_t pointer,
                                                  int64_t offset, size_t length) {
    uint64_t start;
    if (!MSqvcrash_async_address_apply_offset(pointer, offset, &start)) return false;
    if (UINT64_MAX - start < length) return false;
    if (start < mobj->address) return false;
    return static_cast<uint64_t>(mobj->address) + mobj->length >= start + length;
}

void* qvcrash_async_mobject_remap_address(const qvcrash_async_mobject_t* mobj, uint64_t task_address,
                                          int64_t offset, size_t length) {
    const uintptr_t local = static_cast<uintptr_t>(task_address - static_cast<uint64_t>(mobj->vm_slide));
    if (!MSqvcrash_async_mobject_verify_local_pointer(mobj, local, offset, length)) return nullptr;
    return reinterpret_cast<void*>(local + static_cast<uintptr_t>(offset));
}

namespace {
template <typename T>
qvcrash_error_t readValue(const qvcrash_async_mobject_t* mobj, uint64_t task_address, int64_t offset, T* out) {
    const void* p = qvcrash_async_mobject_remap_address(mobj, task_address, offset, sizeof(T));
    if (p == nullptr) return QVCRASH_EINVAL;
    qvcrash_async_memcpy(out, p, sizeof(T));
    return QVCRASH_ESUCCESS;
}
}  // namespace

qvcrash_error_t MSqvcrash_async_mobject_read_uint8(const qvcrash_async_mobject_t* mobj, uint64_t task_address,
                                                   int64_t offset, uint8_t* result) {
    return readValue(mobj, task_address, offset, result);
}

qvcrash_error_t MSqvcrash_async_mobject_read_uint16(const qvcrash_async_mobject_t* mobj,
                                                    const MSqvcrash_async_byteorder_t* byteorder,
                                                    uint64_t task_address, int64_t offset, uint16_t* result) {
    qvcrash_error_t err = readValue(mobj, task_address, offset, result);
    if (err == QVCRASH_ESUCCESS) *result = byteorder->swap16(*result);
    return err;
}

qvcrash_error_t MSqvcrash_async_mobject_read_uint32(const qvcrash_async_mobject_t* mobj,
                                                    const MSqvcrash_async_byteorder_t* byteorder,
                                                    uint64_t task_address, int64_t offset, uint32_t* result) {
    qvcrash_error_t err = readValue(mobj, task_address, offset, result);
    if (err == QVCRASH_ESUCCESS) *result = byteorder->swap32(*result);
    return err;
}

qvcrash_error_t MSqvcrash_async_mobject_read_uint64(const qvcrash_async_mobject_t* mobj,
                                                    const MSqvcrash_async_byteorder_t* byteorder,
                                                    uint64_t task_address, int64_t offset, uint64_t* result) {
    qvcrash_error_t err = readValue(mobj, task_address, offset, result);
    if (err == QVCRASH_ESUCCESS) *result = byteorder->swap64(*result);
    return err;
}

// ---- the page cache ----

void MSqvcrash_async_page_cache_init(qvcrash_async_page_cache_t* cache, qvcrash_task_t task) {
    cache->task = task;
    for (uint32_t i = 0; i < qvcrash_async_page_cache_t::kBlocks; ++i) {
        cache->block_used[i] = false;
        cache->block_address[i] = 0;
        cache->block_status[i] = QVCRASH_ESUCCESS;
    }
    cache->last = 0;
}

namespace {
// The slot holding the block at block_address, filled now when no slot holds it (the slot read
// least recently is reused).
uint32_t cachedBlock(qvcrash_async_page_cache_t* cache, uint64_t block_address) {
    constexpr uint32_t n = qvcrash_async_page_cache_t::kBlocks;
    for (uint32_t k = 0; k < n; ++k) {
        const uint32_t i = (cache->last + k) % n;  // the last one first: walks read on in the same block
        if (cache->block_used[i] && cache->block_address[i] == block_address) return cache->last = i;
    }
    const uint32_t i = (cache->last + 1) % n;
    cache->block_used[i] = true;
    cache->block_address[i] = block_address;
    cache->block_status[i] = MSqvcrash_async_task_memcpy(cache->task, block_address, 0, cache->bytes[i],
                                                          qvcrash_async_page_cache_t::kBlockSize);
    return cache->last = i;
}
}  // namespace

qvcrash_error_t MSqvcrash_async_page_cache_read(qvcrash_async_page_cache_t* cache, uint64_t address, int64_t offset,
                                                void* dest, size_t len) {
    constexpr uint64_t block = qvcrash_async_page_cache_t::kBlockSize;
    uint64_t target;
    if (!MSqvcrash_async_address_apply_offset(address, offset, &target)) return QVCRASH_ENOMEM;
    if (len > 0 && UINT64_MAX - target < len - 1) return QVCRASH_ENOMEM;
    auto* out = static_cast<uint8_t*>(dest);
    while (len > 0) {
        const uint64_t start = target & ~(block - 1);
        const uint32_t i = cachedBlock(cache, start);
        if (cache->block_status[i] != QVCRASH_ESUCCESS) return cache->block_status[i];
        const uint64_t within = target - start;
        const size_t n = len < block - within ? len : static_cast<size_t>(block - within);
        qvcrash_async_memcpy(out, cache->bytes[i] + within, n);
        out += n;
        len -= n;
        target += n;
    }
    return QVCRASH_ESUCCESS;
}

// ---- lazily mapped strings ----

qvcrash_error_t qvcrash_async_macho_string_init(qvcrash_async_macho_string_t* string,
                                                const qvcrash_async_macho_t* image, uint64_t address) {
    string->image = image;
    string->address = address;
    string->mapped = false;
    string->length = 0;
    string->mobj = {};
    return QVCRASH_ESUCCESS;
}

namespace {
constexpr uint64_t kStringPage = 4096;

qvcrash_error_t mapString(qvcrash_async_macho_string_t* string) {
    if (string->mapped) return QVCRASH_ESUCCESS;
    uint64_t pages = 1;
    qvcrash_error_t err =
        MSqvcrash_async_mobject_init(&string->mobj, string->image->task, string->address, kStringPage, false);
    if (err != QVCRASH_ESUCCESS) return err;

    for (uint64_t i = 0;; ++i) {
        const char* c =
            static_cast<const char*>(qvcrash_async_mobject_remap_address(&string->mobj, string->address, (int64_t)i, 1));
        if (c == nullptr) {
            QVCRASH_DEBUG("Mapped a string larger than one page! Remapping ...");
            MSqvcrash_async_mobject_free(&string->mobj);
            ++pages;
            err = MSqvcrash_async_mobject_init(&string->mobj, string->image->task, string->address,
                                               pages * kStringPage, false);
            if (err != QVCRASH_ESUCCESS) return err;
            c = static_cast<const char*>(
                qvcrash_async_mobject_remap_address(&string->mobj, string->address, (int64_t)i, 1));
            if (c == nullptr) {
                QVCRASH_DEBUG("Failed to remap additional space ...");
                MSqvcrash_async_mobject_free(&string->mobj);
                return QVCRASH_EINVAL;
            }
        }
        if (*c == '\0') {
            string->length = i;
            string->mapped = true;
            return QVCRASH_ESUCCESS;
        }
    }
}
}  // namespace

qvcrash_error_t qvcrash_async_macho_string_get_length(qvcrash_async_macho_string_t* string, uint64_t* length) {
    qvcrash_error_t err = mapString(string);
    if (err != QVCRASH_ESUCCESS) return err;
    *length = string->length;
    return QVCRASH_ESUCCESS;
}

qvcrash_error_t qvcrash_async_macho_string_get_pointer(qvcrash_async_macho_string_t* string, const char** pointer) {
    qvcrash_error_t err = mapString(string);
    if (err != QVCRASH_ESUCCESS) return err;
    const void* p = qvcrash_async_mobject_remap_address(&string->mobj, string->mobj.task_address, 0,
                                                        static_cast<size_t>(string->mobj.length));
    if (p == nullptr) return QVCRASH_EACCESS;
    *pointer = static_cast<const char*>(p);
    return QVCRASH_ESUCCESS;
}

void qvcrash_async_macho_string_free(qvcrash_async_macho_string_t* string) {
    if (string->mapped) MSqvcrash_async_mobject_free(&string->mobj);
    string->mapped = false;
}

}  // namespace quorvane
