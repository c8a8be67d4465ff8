#pragma once
// The primitive readers of DWARF call-frame information: LEB128 numbers, fixed-width numbers and
// GNU exception-handling pointers (DW_EH_PE encodings). Every byte is read through a memory
// object (or a window of the target task mapped for the call), so damaged data gives a result
// code, never a fault. Async-signal-safe: nothing allocates or locks.

#include <cstdint>

#include "crashreporter/capture/QVCrashAsync.h"
#include "crashreporter/capture/QVCrashAsyncMObject.h"

namespace quorvane::qvcrash::MS::async {

// DW_EH_PE pointer encodings: low nibble = value format, bits 4-6 = application, bit 7 = indirect.
enum : uint8_t {
    DW_EH_PE_absptr = 0x00,
    DW_EH_PE_uleb128 = 0x01,
    DW_EH_PE_udata2 = 0x02,
    DW_EH_PE_udata4 = 0x03,
    DW_EH_PE_udata8 = 0x04,
    DW_EH_PE_sleb128 = 0x09,
    DW_EH_PE_sdata2 = 0x0A,
    DW_EH_PE_sdata4 = 0x0B,
    DW_EH_PE_sdata8 = 0x0C,

    DW_EH_PE_pcrel = 0x10,
    DW_EH_PE_textrel = 0x20,
    DW_EH_PE_datarel = 0x30,
    DW_EH_PE_funcrel = 0x40,
    DW_EH_PE_aligned = 0x50,

    DW_EH_PE_indirect = 0x80,
    DW_EH_PE_omit = 0xFF,
};

// One LEB128 number from a byte source: fetch(index, &byte) is false when that byte cannot be
// read (EINVAL); more than ten bytes (past 64 bits) is ENOTSUP. size receives the bytes consumed.
template <typename Fetch>
qvcrash_error_t qvcrash_async_dwarf_decode_leb128(Fetch fetch, bool is_signed, uint64_t* result, uint64_t* size) {
    uint64_t value = 0;
    unsigned shift = 0;
    for (uint64_t i = 0;; ++i) {
        uint8_t byte;
        if (!fetch(i, &byte)) {
            QVCRASH_DEBUG("ULEB128 value did not terminate within mapped memory range");
            return QVCRASH_EINVAL;
        }
        value |= static_cast<uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) {
            if (is_signed && (byte & 0x40) != 0 && shift + 7 <= 63) value |= ~UINT64_C(0) << (shift + 7);
            *result = value;
            *size = i + 1;
            return QVCRASH_ESUCCESS;
        }
        shift += 7;
        if (shift >= 64) {
            QVCRASH_DEBUG("ULEB128 is larger than the maximum supported size of 64 bits");
            return QVCRASH_ENOTSUP;
        }
    }
}

// location + offset is an address in the memory object's address space; size receives the bytes
// consumed. EINVAL when a byte lies outside the object, ENOTSUP past ten bytes (64 bits).
qvcrash_error_t qvcrash_async_dwarf_read_uleb128(const qvcrash_async_mobject_t* mobj, uint64_t location,
                                                 int64_t offset, uint64_t* result, uint64_t* size);
qvcrash_error_t qvcrash_async_dwarf_read_sleb128(const qvcrash_async_mobject_t* mobj, uint64_t location,
                                                 int64_t offset, int64_t* result, uint64_t* size);
// The same, straight from the target task through a 4096-byte window mapped for the call.
qvcrash_error_t qvcrash_async_dwarf_read_task_uleb128(qvcrash_task_t task, uint64_t base, int64_t offset,
                                                      uint64_t* result, uint64_t* size);
qvcrash_error_t qvcrash_async_dwarf_read_task_sleb128(qvcrash_task_t task, uint64_t base, int64_t offset,
                                                      int64_t* result, uint64_t* size);
// An unsigned value of width 1, 2, 4 or 8 bytes, zero-extended.
qvcrash_error_t qvcrash_async_dwarf_read_uintmax64(const qvcrash_async_mobject_t* mobj,
                                                   const MSqvcrash_async_byteorder_t* byteorder, uint64_t location,
                                                   int64_t offset, uint8_t width, uint64_t* result);

// Decodes GNU exception-handling pointers of an image whose machine word is machine_ptr.
// A new reader has no bases; textrel, datarel, funcrel and aligned values need theirs.
template <typename machine_ptr>
class gnu_ehptr_reader {
public:
    explicit gnu_ehptr_reader(const MSqvcrash_async_byteorder_t* byteorder) : _byteorder(byteorder) {}

    void set_frame_section_base(machine_ptr section_base, machine_ptr vm_addr) {
        _frame_section = {true, section_base, vm_addr};
    }
    void set_text_base(machine_ptr address) { _text = {true, address}; }
    void set_data_base(machine_ptr address) { _data = {true, address}; }
    void set_func_base(machine_ptr address) { _func = {true, address}; }

    qvcrash_error_t read(const qvcrash_async_mobject_t* mobj, uint64_t location, int64_t offset, uint8_t encoding,
                         machine_ptr* result, uint64_t* size) const;

private:
    struct base {
        bool valid = false;
        machine_ptr address = 0;
    };
    const MSqvcrash_async_byteorder_t* _byteorder;
    struct {
        bool valid = false;
        machine_ptr base = 0;
        machine_ptr vm_addr = 0;
    } _frame_section;
    base _text, _data, _func;
};

extern template class gnu_ehptr_reader<uint32_t>;
extern template class gnu_ehptr_reader<uint64_t>;

}  // namespace quorvane::qvcrash::MS::async
