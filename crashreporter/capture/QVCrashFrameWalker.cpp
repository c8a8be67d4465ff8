#include "crashreporter/capture/QVCrashFrameWalker.h"

#include "crashreporter/capture/QVCrashAsyncCompactUnwind.h"
#include "crashreporter/capture/QVCrashAsyncDwarfUnwind.h"

namespace quorvane {

namespace {

// The readers tried in order for every step: the image's compact unwind information (Mach-O
// images only), its DWARF call-frame information, then the frame-pointer chain.
const qvframe_cursor_frame_reader_t kFrameReaders[] = {
    MSqvframe_cursor_read_compact_unwind,
    MSqvframe_cursor_read_dwarf_unwind,
    MSqvframe_cursor_read_frame_ptr,
};
constexpr size_t kFrameReaderCount = sizeof(kFrameReaders) / sizeof(kFrameReaders[0]);

// The frame record at fp, two words of the thread's size: the caller's frame pointer, then the
// return address.
template <typename Word>
qvcrash_error_t read_frame_record(qvcrash_async_page_cache_t* memory, uint64_t fp, uint64_t* caller_fp,
                                  uint64_t* caller_ip) {
    Word words[2];
    const qvcrash_error_t err = MSqvcrash_async_page_cache_read(memory, fp, 0, words, sizeof(words));
    if (err != QVCRASH_ESUCCESS) return err;
    *caller_fp = words[0];
    *caller_ip = words[1];
    return QVCRASH_ESUCCESS;
}

}  // namespace

qvframe_error_t MSqvframe_cursor_init(qvframe_cursor_t* cursor, qvcrash_task_t task,
                                      const qvcrash_async_thread_state_t* thread_state,
                                      qvcrash_async_image_list_t* image_list) {
    cursor->task = task;
    cursor->image_list = image_list;
    cursor->depth = 0;
    MSqvcrash_async_page_cache_init(&cursor->memory, task);
    qvcrash_async_memset(&cursor->prev_frame, 0, sizeof(cursor->prev_frame));
    MSqvcrash_async_thread_state_copy(&cursor->frame, thread_state);
    return QVFRAME_ESUCCESS;
}

qvcrash_error_t MSqvframe_cursor_thread_init(qvframe_cursor_t* cursor, qvcrash_task_t task, qvcrash_thread_t thread,
                                             qvcrash_async_image_list_t* image_list) {
    qvcrash_async_thread_state_t state;
    qvcrash_error_t err = MSqvcrash_async_thread_state_mach_thread_init(&state, thread);
    if (err != QVCRASH_ESUCCESS) return err;
    MSqvframe_cursor_init(cursor, task, &state, image_list);
    return QVCRASH_ESUCCESS;
}

qvframe_error_t MSqvframe_cursor_next_with_readers(qvframe_cursor_t* cursor, const qvframe_cursor_frame_reader_t* readers,
                                                   size_t reader_count) {
    if (cursor->depth == 0) {
        cursor->depth = 1;
        return QVFRAME_ESUCCESS;
    }
    const qvcrash_async_thread_state_t* previous = cursor->depth == 1 ? nullptr : &cursor->prev_frame;
    if (reader_count == 0) return QVFRAME_EINVAL;

    qvcrash_async_thread_state_t next;
    qvframe_error_t ferr = QVFRAME_EUNKNOWN;
    for (size_t i = 0; i < reader_count; ++i) {
        ferr = readers[i](&cursor->memory, cursor->image_list, &cursor->frame, previous, &next);
        if (ferr == QVFRAME_ESUCCESS) break;
    }
    if (ferr != QVFRAME_ESUCCESS) return ferr;

    // No return address: the current frame is the outermost (a thread's or the program's entry).
    if (!MSqvcrash_async_thread_state_has_reg(&next, QVCRASH_REG_IP)) return QVFRAME_ENOFRAME;
    // A return address in the zero page ends the walk.
    if (MSqvcrash_async_thread_state_get_reg(&next, QVCRASH_REG_IP) <= 0x1000) return QVFRAME_ENOFRAME;

    MSqvcrash_async_thread_state_copy(&cursor->prev_frame, &cursor->frame);
    MSqvcrash_async_thread_state_copy(&cursor->frame, &next);
    cursor->depth++;
    return QVFRAME_ESUCCESS;
}

qvframe_error_t MSqvframe_cursor_next(qvframe_cursor_t* cursor) {
    return MSqvframe_cursor_next_with_readers(cursor, kFrameReaders, kFrameReaderCount);
}

qvframe_error_t MSqvframe_cursor_get_reg(const qvframe_cursor_t* cursor, qvcrash_regnum_t regnum, uint64_t* reg) {
    if (!MSqvcrash_async_thread_state_has_reg(&cursor->frame, regnum)) return QVFRAME_ENOTSUP;
    *reg = MSqvcrash_async_thread_state_get_reg(&cursor->frame, regnum);
    return QVFRAME_ESUCCESS;
}

const char* MSqvframe_cursor_get_regname(const qvframe_cursor_t* cursor, qvcrash_regnum_t regnum) {
    return MSqvcrash_async_thread_state_get_reg_name(&cursor->frame, regnum);
}

size_t MSqvframe_cursor_get_regcount(const qvframe_cursor_t* cursor) {
    return MSqvcrash_async_thread_state_get_reg_count(&cursor->frame);
}

void MSqvframe_cursor_free(qvframe_cursor_t* cursor) {
    // Nothing was retained (see qvframe_cursor_t::task).
    (void)cursor;
}

const char* MSqvframe_strerror(qvframe_error_t error) {
    switch (error) {
        case QVFRAME_ESUCCESS: return "No error";
        case QVFRAME_EUNKNOWN: return "Unknown error";
        case QVFRAME_ENOFRAME: return "No frames are available";
        case QVFRAME_EBADFRAME: return "Corrupted frame";
        case QVFRAME_ENOTSUP: return "Operation not supported";
        case QVFRAME_EINVAL: return "Invalid argument";
        case QVFRAME_EINTERNAL: return "Internal error";
        case QVFRAME_EBADREG: return "Invalid register";
    }
    return "Unhandled error code";
}

qvframe_error_t MSqvframe_cursor_read_frame_ptr(qvcrash_async_page_cache_t* memory, qvcrash_async_image_list_t* image_list,
                                                const qvcrash_async_thread_state_t* current_frame,
                                                const qvcrash_async_thread_state_t* previous_frame,
                                                qvcrash_async_thread_state_t* next_frame) {
    const uint64_t word_size = MSqvcrash_async_thread_state_get_greg_size(current_frame);
    if (!MSqvcrash_async_thread_state_has_reg(current_frame, QVCRASH_REG_FP)) {
        QVCRASH_DEBUG("The frame pointer is unavailable, can't read saved register.");
        return QVFRAME_EBADFRAME;
    }
    const uint64_t fp = MSqvcrash_async_thread_state_get_reg(current_frame, QVCRASH_REG_FP);
    if (fp == 0) return QVFRAME_ENOFRAME;

    if (previous_frame != nullptr && MSqvcrash_async_thread_state_has_reg(previous_frame, QVCRASH_REG_FP)) {
        const uint64_t previous_fp = MSqvcrash_async_thread_state_get_reg(previous_frame, QVCRASH_REG_FP);
        const uint32_t direction = MSqvcrash_async_thread_state_get_stack_direction(current_frame);
        if ((direction == QVCRASH_ASYNC_STACK_DIRECTION_DOWN && fp < previous_fp) ||
            (direction == QVCRASH_ASYNC_STACK_DIRECTION_UP && fp > previous_fp)) {
            QVCRASH_DEBUG("Stack growing in wrong direction, terminating stack walk");
            return QVFRAME_EBADFRAME;
        }
    }

    uint64_t caller_fp = 0;
    uint64_t caller_ip = 0;
    const qvcrash_error_t err = word_size == 4 ? read_frame_record<uint32_t>(memory, fp, &caller_fp, &caller_ip)
                                               : read_frame_record<uint64_t>(memory, fp, &caller_fp, &caller_ip);
    if (err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("Failed to read frame: %d", static_cast<int>(err));
        return QVFRAME_EBADFRAME;
    }

    // A chain must make progress: a saved frame pointer that does not move up the stack would
    // repeat (or go back over) frames already walked.
    const uint32_t direction = MSqvcrash_async_thread_state_get_stack_direction(current_frame);
    if (caller_fp != 0 && ((direction == QVCRASH_ASYNC_STACK_DIRECTION_DOWN && caller_fp <= fp) ||
                           (direction == QVCRASH_ASYNC_STACK_DIRECTION_UP && caller_fp >= fp))) {
        QVCRASH_DEBUG("Saved frame pointer 0x%llx does not move up the stack from 0x%llx, terminating stack walk",
                      static_cast<unsigned long long>(caller_fp), static_cast<unsigned long long>(fp));
        return QVFRAME_EBADFRAME;
    }
    // A return address outside every loaded image is not one: the chain has left the frames.
    if (image_list != nullptr) {
        MSqvcrash_nasync_image_list_set_reading(image_list, true);
        const bool known = MSqvcrash_nasync_image_list_find_image_for_address(image_list, caller_ip) != nullptr;
        MSqvcrash_nasync_image_list_set_reading(image_list, false);
        if (!known) return QVFRAME_ENOFRAME;
    }

    MSqvcrash_async_thread_state_copy(next_frame, current_frame);
    MSqvcrash_async_thread_state_clear_all_regs(next_frame);
    next_frame->ip_is_return_address = true;
    MSqvcrash_async_thread_state_set_reg(next_frame, QVCRASH_REG_FP, caller_fp);
    MSqvcrash_async_thread_state_set_reg(next_frame, QVCRASH_REG_IP, caller_ip);
    return QVFRAME_ESUCCESS;
}

}  // namespace quorvane
