#pragma once
// The DWARF call-frame program's building blocks and the expression evaluator.
//
// dwarf_opcode_stream is a bounded cursor over a range of instruction or expression bytes inside
// a memory object: every operand read is checked against the range first.
//
// qvcrash_async_dwarf_expression_eval runs a DWARF expression (a stack program over a thread's
// registers and memory) with a fixed stack of 100 machine words on the caller's stack; arithmetic
// wraps at the word width. Memory is dereferenced through safe task reads. Nothing allocates.

#include <cstdint>

#include "crashreporter/capture/QVCrashAsyncDwarfEncoding.h"
#include "crashreporter/capture/QVCrashAsyncThread.h"

namespace quorvane::qvcrash::MS::async {

class dwarf_opcode_stream {
public:
    // The range [address + offset, address + offset + length) of mobj.
    qvcrash_error_t init(const qvcrash_async_mobject_t* mobj, const MSqvcrash_async_byteorder_t* byteorder,
                         uint64_t address, int64_t offset, int64_t length);

    bool at_end() const { return _position >= _local_end; }
    // The target address of the next byte to read.
    uint64_t position_address() const { return _start + (_position - _local_start); }
    uint64_t start_address() const { return _start; }
    uint64_t end_address() const { return _end; }

    // A fixed-size operand in the stream's byte order; false when it runs past the end.
    template <typename V>
    bool read_intU(V* value);
    bool read_uleb128(uint64_t* value);
    bool read_sleb128(int64_t* value);
    template <typename machine_ptr>
    bool read_gnueh_ptr(const gnu_ehptr_reader<machine_ptr>* reader, uint8_t encoding, machine_ptr* value);
    // Moves by offset bytes when the new position stays inside [start, end]; false otherwise.
    bool skip(int64_t offset);

private:
    bool read_leb128(bool is_signed, uint64_t* value);

    uintptr_t _position = 0;
    const qvcrash_async_mobject_t* _mobj = nullptr;
    uint64_t _start = 0;
    uint64_t _end = 0;
    uintptr_t _local_start = 0;
    uintptr_t _local_end = 0;
    const MSqvcrash_async_byteorder_t* _byteorder = nullptr;
};

template <typename V>
bool dwarf_opcode_stream::read_intU(V* value) {
    if (_local_end - _position < sizeof(V)) {
        QVCRASH_DEBUG("Read of size %zu exceeds mapped range", sizeof(V));
        return false;
    }
    V raw;
    qvcrash_async_memcpy(&raw, reinterpret_cast<const void*>(_position), sizeof(V));
    if constexpr (sizeof(V) == 2) raw = static_cast<V>(_byteorder->swap16(static_cast<uint16_t>(raw)));
    if constexpr (sizeof(V) == 4) raw = static_cast<V>(_byteorder->swap32(static_cast<uint32_t>(raw)));
    if constexpr (sizeof(V) == 8) raw = static_cast<V>(_byteorder->swap64(static_cast<uint64_t>(raw)));
    *value = raw;
    _position += sizeof(V);
    return true;
}

template <typename machine_ptr>
bool dwarf_opcode_stream::read_gnueh_ptr(const gnu_ehptr_reader<machine_ptr>* reader, uint8_t encoding,
                                         machine_ptr* value) {
    uint64_t size;
    qvcrash_error_t err = reader->read(_mobj, position_address(), 0, encoding, value, &size);
    if (err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("Read of GNU EH pointer value failed with %u", static_cast<unsigned>(err));
        return false;
    }
    if (size > _local_end - _position) {
        QVCRASH_DEBUG("GNU EH pointer value extends past end of opstream");
        return false;
    }
    _position += size;
    return true;
}

// The expression's bytes are [address + offset, + length) of mobj; initial_state values are
// pushed first, the last ending on top. 0 with the value left on top, or the failure's code.
template <typename machine_ptr, typename machine_ptr_s>
qvcrash_error_t qvcrash_async_dwarf_expression_eval(const qvcrash_async_mobject_t* mobj, qvcrash_task_t task,
                                                   const qvcrash_async_thread_state_t* thread_state,
                                                   const MSqvcrash_async_byteorder_t* byteorder, uint64_t address,
                                                   int64_t offset, int64_t length, const machine_ptr* initial_state,
                                                   size_t initial_count, machine_ptr* result);

extern template qvcrash_error_t qvcrash_async_dwarf_expression_eval<uint32_t, int32_t>(
    const qvcrash_async_mobject_t*, qvcrash_task_t, const qvcrash_async_thread_state_t*,
    const MSqvcrash_async_byteorder_t*, uint64_t, int64_t, int64_t, const uint32_t*, size_t, uint32_t*);
extern template qvcrash_error_t qvcrash_async_dwarf_expression_eval<uint64_t, int64_t>(
    const qvcrash_async_mobject_t*, qvcrash_task_t, const qvcrash_async_thread_state_t*,
    const MSqvcrash_async_byteorder_t*, uint64_t, int64_t, int64_t, const uint64_t*, size_t, uint64_t*);

}  // namespace quorvane::qvcrash::MS::async
