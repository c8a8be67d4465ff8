#pragma once
// The list of images loaded into a task, one parsed image record each. Crash-time code walks it
// without locks (announcing itself through the reader count), while ordinary threads change it
// under the list's spin lock.
//
// Linux's loader has no callbacks for loaded and unloaded images, so the list is brought up to
// date by rescanning the loader's own list (dl_iterate_phdr): when the shared list is made,
// when the crash reporter is enabled, and from then on after every dlopen and dlclose (the
// image hook of platform/crash/ProcessHooks.h stands in for the loader's callbacks). A rescan
// is a writer like any other; it never runs at crash time.

#include <cstdint>
#include <mutex>
#include <vector>

#include "crashreporter/capture/QVCrashAsyncList.h"
#include "crashreporter/capture/QVCrashAsyncImage.h"

namespace quorvane {

struct qvcrash_async_image_list_t {
    qvcrash_task_t task;
    quorvane::qvcrash::MS::async::async_list<qvcrash_async_macho_t*> list;
    // Writers only (append, remove, refresh); never taken by readers.
    std::mutex write_mutex;
    // Records removed while readers were active, freed by a later write once none is.
    std::vector<qvcrash_async_macho_t*> retired;
};

void MSqvcrash_nasync_image_list_init(qvcrash_async_image_list_t* list, qvcrash_task_t task);
// Frees every record, then the nodes. Only when nothing else uses the list.
void MSqvcrash_nasync_image_list_free(qvcrash_async_image_list_t* list);
// Parses the image whose header is at header and appends it (allocates; not async-safe).
void MSqvcrash_nasync_image_list_append(qvcrash_async_image_list_t* list, uint64_t header, const char* name);
// Unlinks the record whose header address matches.
void MSqvcrash_nasync_image_list_remove(qvcrash_async_image_list_t* list, uint64_t header);
// Brings the list of this process's images up to date with the loader: images no longer loaded
// are removed, new ones appended. QVCRASH_ENOTSUP for a list of another task.
qvcrash_error_t MSqvcrash_nasync_image_list_refresh(qvcrash_async_image_list_t* list);

// Readers bracket every walk with true and false; next and find are only legal inside.
void MSqvcrash_nasync_image_list_set_reading(qvcrash_async_image_list_t* list, bool enable);
// The record after current, or the first when current is null; null at the end (and for a
// record that is not in the list).
qvcrash_async_macho_t* MSqvcrash_nasync_image_list_next(qvcrash_async_image_list_t* list, qvcrash_async_macho_t* current);
// The first record whose range holds the address, or null.
qvcrash_async_macho_t* MSqvcrash_nasync_image_list_find_image_for_address(qvcrash_async_image_list_t* list,
                                                                         uint64_t address);

// The engine's list of its own process's images, made and filled on first use, never freed.
// The first use allocates, so it must not be at crash time: enabling the reporter makes it.
qvcrash_async_image_list_t* MSqvcrash_shared_image_list();
// Brings the shared list up to date with this process's loader. A process forked from one that
// had made the list inherits it with records that read the parent's memory: it takes the list
// over first and makes every record again for itself. Not at crash time.
qvcrash_error_t MSqvcrash_nasync_shared_image_list_update();
// At crash time in such a forked process: points the inherited records at this process, whose
// memory holds the same images at the same addresses (the parent may be gone, or may refuse to
// be read). Async-signal-safe; only with no writer running.
void MSqvcrash_async_image_list_adopt_task(qvcrash_async_image_list_t* list, qvcrash_task_t task);

}  // namespace quorvane
