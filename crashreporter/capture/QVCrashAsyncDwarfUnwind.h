#pragma once
// The frame reader that unwinds through DWARF call-frame information: it finds the image holding
// the frame's pc, the FDE covering it (through .eh_frame_hdr's table, or a walk of .eh_frame or
// .debug_frame), runs the CIE's and the FDE's programs up to the pc and applies the rules to the
// current registers. For a return address the pc looked up is the one before it (the call), so a
// call that ends a function is still described by that function's entry.

#include "crashreporter/capture/QVCrashFrameWalker.h"

namespace quorvane {

qvframe_error_t MSqvframe_cursor_read_dwarf_unwind(qvcrash_async_page_cache_t* memory, qvcrash_async_image_list_t* image_list,
                                                   const qvcrash_async_thread_state_t* current_frame,
                                                   const qvcrash_async_thread_state_t* previous_frame,
                                                   qvcrash_async_thread_state_t* next_frame);

// The pc to look up code information (unwind entries, symbols) for: one before a return address.
inline uint64_t MSqvcrash_async_thread_state_lookup_pc(const qvcrash_async_thread_state_t* state, uint64_t pc) {
    return state->ip_is_return_address && pc > 0 ? pc - 1 : pc;
}

}  // namespace quorvane
