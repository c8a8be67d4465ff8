#pragma once
// The frame cursor: walks one thread's stack frame by frame at crash time. Frame 0 is the thread
// state the cursor starts from; every further frame is derived from the current one by the
// first frame reader of an ordered list that succeeds. Async-signal-safe: no allocation, no
// locks, target memory read only through the engine's safe task reads, and the stack through the
// cursor's page cache: a walk reads each 4 KiB block of the stack once.
//
// The reader list used by MSqvframe_cursor_next holds, in order, the compact unwind reader, the
// DWARF call-frame reader and the frame-pointer reader.

#include <cstdint>

#include "crashreporter/capture/QVCrashAsync.h"
#include "crashreporter/capture/QVCrashAsyncImageList.h"
#include "crashreporter/capture/QVCrashAsyncThread.h"

namespace quorvane {

enum qvframe_error_t : uint32_t {
    QVFRAME_ESUCCESS = 0,
    QVFRAME_EUNKNOWN = 1,
    QVFRAME_ENOFRAME = 2,  // the walk has ended normally
    QVFRAME_EBADFRAME = 3,
    QVFRAME_ENOTSUP = 4,
    QVFRAME_EINVAL = 5,
    QVFRAME_EINTERNAL = 6,
    QVFRAME_EBADREG = 7,
};

struct qvframe_cursor_t {
    // The task whose memory is read. A Linux task is a process id, which holds no reference
    // count, so the cursor has nothing to retain.
    qvcrash_task_t task;
    // Borrowed; may be null.
    qvcrash_async_image_list_t* image_list;
    // Frames handed out so far.
    uint32_t depth;
    // Valid from depth 2 on.
    qvcrash_async_thread_state_t prev_frame;
    qvcrash_async_thread_state_t frame;
    // The task's memory as this walk reads it (the stack does not change while it is walked).
    qvcrash_async_page_cache_t memory;
};

// Derives the caller's frame (next_frame) from current_frame; previous_frame is null for frame 0.
// Target memory is read through memory (its task is the walk's). On 0 next_frame is complete,
// or has no IP when current_frame is the outermost (its return address is undefined): the walk
// ends there. On any other code next_frame is not used and the next reader is tried.
using qvframe_cursor_frame_reader_t = qvframe_error_t (*)(qvcrash_async_page_cache_t* memory,
                                                          qvcrash_async_image_list_t* image_list,
                                                          const qvcrash_async_thread_state_t* current_frame,
                                                          const qvcrash_async_thread_state_t* previous_frame,
                                                          qvcrash_async_thread_state_t* next_frame);

qvframe_error_t MSqvframe_cursor_init(qvframe_cursor_t* cursor, qvcrash_task_t task,
                                      const qvcrash_async_thread_state_t* thread_state,
                                      qvcrash_async_image_list_t* image_list);
// The initial state is read from another thread of this process (stopped for the read when it is
// not suspended already): 0, or the code of MSqvcrash_async_thread_state_mach_thread_init.
qvcrash_error_t MSqvframe_cursor_thread_init(qvframe_cursor_t* cursor, qvcrash_task_t task, qvcrash_thread_t thread,
                                             qvcrash_async_image_list_t* image_list);

// Steps to the next frame: 0 with the cursor on it, 2 at the normal end of the walk, or the
// error that ended it early. The first call yields frame 0.
qvframe_error_t MSqvframe_cursor_next(qvframe_cursor_t* cursor);
qvframe_error_t MSqvframe_cursor_next_with_readers(qvframe_cursor_t* cursor, const qvframe_cursor_frame_reader_t* readers,
                                                   size_t reader_count);

// 4 when the current frame holds no value for the register, else 0 and the value.
qvframe_error_t MSqvframe_cursor_get_reg(const qvframe_cursor_t* cursor, qvcrash_regnum_t regnum, uint64_t* reg);
const char* MSqvframe_cursor_get_regname(const qvframe_cursor_t* cursor, qvcrash_regnum_t regnum);
size_t MSqvframe_cursor_get_regcount(const qvframe_cursor_t* cursor);
void MSqvframe_cursor_free(qvframe_cursor_t* cursor);

const char* MSqvframe_strerror(qvframe_error_t error);

// The frame-pointer reader: the caller's frame pointer and return address are the two words at
// the current frame pointer.
qvframe_error_t MSqvframe_cursor_read_frame_ptr(qvcrash_async_page_cache_t* memory, qvcrash_async_image_list_t* image_list,
                                                const qvcrash_async_thread_state_t* current_frame,
                                                const qvcrash_async_thread_state_t* previous_frame,
                                                qvcrash_async_thread_state_t* next_frame);

}  // namespace quorvane
