#pragma once
// Memory objects: bounded, fault-free access to a range of a task's memory (in practice this
// process's own, seen as a target). The range's pages are copied once into private read-only
// pages of the engine, stopping at the first page that cannot be read, and every later access
// is a local pointer that has first been checked to lie inside the copy. A damaged or unmapped
// range therefore gives a result code, never a fault. Async-signal-safe: system calls only,
// no allocator, no locks.

#include <cstddef>
#include <cstdint>

#include "crashreporter/capture/QVCrashAsync.h"

namespace quorvane {

struct qvcrash_async_mobject_t {
    qvcrash_task_t task;
    uintptr_t address;       // local address of the first requested byte
    uint64_t task_address;   // target address of the first requested byte
    uint64_t length;         // usable bytes from address (at most the requested length)
    int64_t vm_slide;        // task_address - address (wrapping)
    uintptr_t vm_address;    // the whole page-aligned local copy, released on free
    uint64_t vm_length;
};

// Copies [task_address, task_address + length) of the task. With require_full the whole range
// must be readable (else QVCRASH_ENOMEM); without it the object ends at the first unreadable
// page (QVCRASH_ENOMEM when not even the first is readable). QVCRASH_EINTERNAL when no local
// pages can be had.
qvcrash_error_t MSqvcrash_async_mobject_init(qvcrash_async_mobject_t* mobj, qvcrash_task_t task,
                                             uint64_t task_address, uint64_t length, bool require_full);
void MSqvcrash_async_mobject_free(qvcrash_async_mobject_t* mobj);

uint64_t MSqvcrash_async_mobject_base_address(const qvcrash_async_mobject_t* mobj);
uint64_t MSqvcrash_async_mobject_length(const qvcrash_async_mobject_t* mobj);
qvcrash_task_t MSqvcrash_async_mobject_task(const qvcrash_async_mobject_t* mobj);

// True when pointer + offset and the length bytes after it lie wholly inside the usable range,
// with no wrap-around. A length of 0 right at the end passes.
bool MSqvcrash_async_mobject_verify_local_pointer(const qvcrash_async_mobject_t* mobj, uintptr_t pointer,
                                                  int64_t offset, size_t length);
// The local pointer for task_address + offset when length bytes from there are inside, else null.
void* qvcrash_async_mobject_remap_address(const qvcrash_async_mobject_t* mobj, uint64_t task_address,
                                          int64_t offset, size_t length);

// Reads at task_address + offset: QVCRASH_ESUCCESS, or QVCRASH_EINVAL when outside the object.
qvcrash_error_t MSqvcrash_async_mobject_read_uint8(const qvcrash_async_mobject_t* mobj, uint64_t task_address,
                                                   int64_t offset, uint8_t* result);
qvcrash_error_t MSqvcrash_async_mobject_read_uint16(const qvcrash_async_mobject_t* mobj,
                                                    const MSqvcrash_async_byteorder_t* byteorder,
                                                    uint64_t task_address, int64_t offset, uint16_t* result);
qvcrash_error_t MSqvcrash_async_mobject_read_uint32(const qvcrash_async_mobject_t* mobj,
                                                    const MSqvcrash_async_byteorder_t* byteorder,
                                                    uint64_t task_address, int64_t offset, uint32_t* result);
qvcrash_error_t MSqvcrash_async_mobject_read_uint64(const qvcrash_async_mobject_t* mobj,
                                                    const MSqvcrash_async_byteorder_t* byteorder,
                                                    uint64_t task_address, int64_t offset, uint64_t* result);

// Reads of a task's memory through a few cached 4 KiB blocks, for a walk that reads many small
// values close together (the frames of one stack): one system call per block instead of one per
// value. Every block is filled by a checked read of the task, so an unreadable block gives that
// read's code (kept for the cache's life), never a fault. The cache holds copies: it serves
// memory that does not change while the cache lives, such as a stopped thread's stack during one
// walk. Async-signal-safe; it allocates nothing (the blocks are part of the record).
struct qvcrash_async_page_cache_t {
    static constexpr uint64_t kBlockSize = 4096;  // inside one page on every page size
    static constexpr uint32_t kBlocks = 2;
    qvcrash_task_t task;
    uint64_t block_address[kBlocks];
    qvcrash_error_t block_status[kBlocks];  // the fill's code
    bool block_used[kBlocks];
    uint32_t last;                          // the block read most recently
    uint8_t bytes[kBlocks][kBlockSize];
};

void MSqvcrash_async_page_cache_init(qvcrash_async_page_cache_t* cache, qvcrash_task_t task);
// As MSqvcrash_async_task_memcpy: ENOTFOUND for an unmapped address, EACCESS for an unreadable
// one, ENOMEM when address + offset overflows.
qvcrash_error_t MSqvcrash_async_page_cache_read(qvcrash_async_page_cache_t* cache, uint64_t address, int64_t offset,
                                                void* dest, size_t len);

struct qvcrash_async_macho_t;

// A NUL-terminated string in target memory, copied on first use: one page first, then one
// more page each time the string runs past the copy.
struct qvcrash_async_macho_string_t {
    const qvcrash_async_macho_t* image;  // for its task
    uint64_t address;
    qvcrash_async_mobject_t mobj;
    bool mapped;
    uint64_t length;  // without the NUL
};

qvcrash_error_t qvcrash_async_macho_string_init(qvcrash_async_macho_string_t* string,
                                                const qvcrash_async_macho_t* image, uint64_t address);
qvcrash_error_t qvcrash_async_macho_string_get_length(qvcrash_async_macho_string_t* string, uint64_t* length);
qvcrash_error_t qvcrash_async_macho_string_get_pointer(qvcrash_async_macho_string_t* string, const char** pointer);
void qvcrash_async_macho_string_free(qvcrash_async_macho_string_t* string);

}  // namespace quorvane
