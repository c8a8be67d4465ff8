#pragma once
// The compact unwind reader: the first frame reader of the cursor. It looks the frame's pc up in
// its image's __TEXT,__unwind_info section (the linker's compact encodings, version 1: a
// first-level index over regular or compressed second-level pages), decodes the function's
// 32-bit encoding and applies it to the registers to give the caller's frame. An encoding that
// defers to DWARF, or no entry at all, makes it fail so that the cursor tries the DWARF reader
// next. ELF images carry no such section. Async-signal-safe: memory objects only, no allocation.

#include <cstdint>

#include "crashreporter/capture/QVCrashAsyncMObject.h"
#include "crashreporter/capture/QVCrashAsyncThread.h"
#include "crashreporter/capture/QVCrashFrameWalker.h"

namespace quorvane {

// One __unwind_info section, mapped by the caller.
struct qvcrash_async_cfe_reader_t {
    const qvcrash_async_mobject_t* mobj;  // not owned
    uint32_t cpu_type;
    struct {
        uint32_t version;
        uint32_t common_encodings_offset, common_encodings_count;
        uint32_t personality_offset, personality_count;
        uint32_t index_offset, index_count;
    } header;
    const MSqvcrash_async_byteorder_t* byteorder;  // always the host's: the section is written for it
};

enum qvcrash_async_cfe_type_t : uint32_t {
    QVCRASH_ASYNC_CFE_TYPE_FRAME_PTR = 1,       // frame-based
    QVCRASH_ASYNC_CFE_TYPE_FRAME_IMMD = 2,      // frameless, stack size in the encoding
    QVCRASH_ASYNC_CFE_TYPE_FRAME_INDIRECT = 3,  // frameless, stack size in the function's code
    QVCRASH_ASYNC_CFE_TYPE_DWARF = 4,           // described by the image's DWARF entry
    QVCRASH_ASYNC_CFE_TYPE_NONE = 5,            // no unwind information
};

inline constexpr uint32_t QVCRASH_ASYNC_CFE_REG_NONE = 0x7FFFFFFF;
inline constexpr uint32_t QVCRASH_ASYNC_CFE_SAVED_REGISTER_MAX = 10;

// One decoded encoding.
struct qvcrash_async_cfe_entry_t {
    qvcrash_async_cfe_type_t type;
    uint32_t cpu_type;
    // FRAME_PTR: the (negative) offset of the saved registers from the frame pointer; FRAME_IMMD:
    // the stack size; FRAME_INDIRECT: the offset in the function of the 32-bit stack size; DWARF:
    // the offset of the DWARF entry.
    int64_t stack_offset;
    uint32_t stack_adjust;  // FRAME_INDIRECT: bytes added to the stack size read
    uint32_t return_address_register;  // a register number, or QVCRASH_ASYNC_CFE_REG_NONE (on the stack)
    uint32_t register_count;
    uint32_t register_list[QVCRASH_ASYNC_CFE_SAVED_REGISTER_MAX];  // in saving order; REG_NONE = empty slot
};

qvframe_error_t MSqvframe_cursor_read_compact_unwind(qvcrash_async_page_cache_t* memory, qvcrash_async_image_list_t* image_list,
                                                     const qvcrash_async_thread_state_t* current_frame,
                                                     const qvcrash_async_thread_state_t* previous_frame,
                                                     qvcrash_async_thread_state_t* next_frame);

// 0; 4 for a CPU type other than x86, x86-64 and ARM64 or a version other than 1; 5 when the
// 28-byte header is not inside the section.
qvcrash_error_t MSqvcrash_async_cfe_reader_init(qvcrash_async_cfe_reader_t* reader, const qvcrash_async_mobject_t* mobj,
                                                uint32_t cpu_type);
// The entry for the image-relative address pc: 0 with its function offset and encoding, 8 when
// no entry covers it, 5 when a table the section declares lies outside it.
qvcrash_error_t MSqvcrash_async_cfe_reader_find_pc(const qvcrash_async_cfe_reader_t* reader, uint64_t pc,
                                                   uint32_t* function_offset, uint32_t* encoding);
void MSqvcrash_async_cfe_reader_free(qvcrash_async_cfe_reader_t* reader);

// 0; 4 for an unknown mode or CPU type; 5 for registers that cannot be decoded.
qvcrash_error_t MSqvcrash_async_cfe_entry_init(qvcrash_async_cfe_entry_t* entry, uint32_t cpu_type, uint32_t encoding);
// The caller's frame from the current one: 0, 4 for DWARF and NONE entries, 8 when a register
// the entry needs is missing, 5 for an address that would overflow, or a read's code.
qvcrash_error_t MSqvcrash_async_cfe_entry_apply(qvcrash_task_t task, uint64_t function_address,
                                                const qvcrash_async_thread_state_t* thread_state,
                                                const qvcrash_async_cfe_entry_t* entry,
                                                qvcrash_async_thread_state_t* new_thread_state);
void MSqvcrash_async_cfe_entry_free(qvcrash_async_cfe_entry_t* entry);

qvcrash_async_cfe_type_t MSqvcrash_async_cfe_entry_type(const qvcrash_async_cfe_entry_t* entry);
int64_t MSqvcrash_async_cfe_entry_stack_offset(const qvcrash_async_cfe_entry_t* entry);
uint32_t MSqvcrash_async_cfe_entry_stack_adjust(const qvcrash_async_cfe_entry_t* entry);
uint32_t MSqvcrash_async_cfe_entry_return_address_register(const qvcrash_async_cfe_entry_t* entry);
uint32_t MSqvcrash_async_cfe_entry_register_count(const qvcrash_async_cfe_entry_t* entry);
void MSqvcrash_async_cfe_entry_register_list(const qvcrash_async_cfe_entry_t* entry, uint32_t* register_list);

// The compact numbers (1 to 6) of count saved registers from their permutation: 0, or 5 for a
// count above 6 or a digit that selects no remaining register.
qvcrash_error_t MSqvcrash_async_cfe_register_decode(uint32_t permutation, uint32_t count, uint32_t* registers);
// The permutation of count (at most 6) compact numbers; the inverse of decoding.
uint32_t MSqvcrash_async_cfe_register_encode(const uint32_t* registers, uint32_t count);
// The thread-state register of a compact number (0 gives QVCRASH_ASYNC_CFE_REG_NONE): 0, 5 for a
// number above 6, 4 for a CPU type other than x86 and x86-64.
qvcrash_error_t qvcrash_async_map_register_name(uint32_t compact, uint32_t* regnum, uint32_t cpu_type);

}  // namespace quorvane
