#include "crashreporter/capture/QVCrashAsyncDwarfEncoding.h"

namespace quorvane::qvcrash::MS::async {

namespace {

qvcrash_error_t readMobjectLeb128(const qvcrash_async_mobject_t* mobj, uint64_t location, int64_t offset,
                                  bool is_signed, uint64_t* result, uint64_t* size) {
    return qvcrash_async_dwarf_decode_leb128(
        [&](uint64_t i, uint8_t* byte) {
            int64_t at;
            if (__builtin_add_overflow(offset, static_cast<int64_t>(i), &at)) return false;
            return MSqvcrash_async_mobject_read_uint8(mobj, location, at, byte) == QVCRASH_ESUCCESS;
        },
        is_signed, result, size);
}

qvcrash_error_t readTaskLeb128(qvcrash_task_t task, uint64_t base, int64_t offset, bool is_signed, uint64_t* result,
                               uint64_t* size) {
    uint64_t address;
    if (!MSqvcrash_async_address_apply_offset(base, offset, &address)) {
        QVCRASH_DEBUG("Applying the  offset of 0x%lld to base address %llx exceeds QV_VM_ADDRESS_MAX",
                      static_cast<long long>(offset), static_cast<unsigned long long>(base));
        return QVCRASH_EINVAL;
    }
    qvcrash_async_mobject_t window;
    qvcrash_error_t err = MSqvcrash_async_mobject_init(&window, task, address, 4096, false);
    if (err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("Failed to map uleb128 page: %d", static_cast<int>(err));
        return err;
    }
    err = readMobjectLeb128(&window, address, 0, is_signed, result, size);
    MSqvcrash_async_mobject_free(&window);
    return err;
}

}  // namespace

qvcrash_error_t qvcrash_async_dwarf_read_uleb128(const qvcrash_async_mobject_t* mobj, uint64_t location,
                                                 int64_t offset, uint64_t* result, uint64_t* size) {
    return readMobjectLeb128(mobj, location, offset, false, result, size);
}

qvcrash_error_t qvcrash_async_dwarf_read_sleb128(const qvcrash_async_mobject_t* mobj, uint64_t location,
                                                 int64_t offset, int64_t* result, uint64_t* size) {
    uint64_t value = 0;
    qvcrash_error_t err = readMobjectLeb128(mobj, location, offset, true, &value, size);
    if (err == QVCRASH_ESUCCESS) *result = static_cast<int64_t>(value);
    return err;
}

qvcrash_error_t qvcrash_async_dwarf_read_task_uleb128(qvcrash_task_t task, uint64_t base, int64_t offset,
                                                      uint64_t* result, uint64_t* size) {
    return readTaskLeb128(task, base, offset, false, result, size);
}

qvcrash_error_t qvcrash_async_dwarf_read_task_sleb128(qvcrash_task_t task, uint64_t base, int64_t offset,
                                                      int64_t* result, uint64_t* size) {
    uint64_t value = 0;
    qvcrash_error_t err = readTaskLeb128(task, base, offset, true, &value, size);
    if (err == QVCRASH_ESUCCESS) *result = static_cast<int64_t>(value);
    return err;
}

qvcrash_error_t qvcrash_async_dwarf_read_uintmax64(const qvcrash_async_mobject_t* mobj,
                                                   const MSqvcrash_async_byteorder_t* byteorder, uint64_t location,
                                                   int64_t offset, uint8_t width, uint64_t* result) {
    switch (width) {
        case 1: {
            uint8_t v;
            if (MSqvcrash_async_mobject_read_uint8(mobj, location, offset, &v)) return QVCRASH_EINVAL;
            *result = v;
            return QVCRASH_ESUCCESS;
        }
        case 2: {
            uint16_t v;
            if (MSqvcrash_async_mobject_read_uint16(mobj, byteorder, location, offset, &v)) return QVCRASH_EINVAL;
            *result = v;
            return QVCRASH_ESUCCESS;
        }
        case 4: {
            uint32_t v;
            if (MSqvcrash_async_mobject_read_uint32(mobj, byteorder, location, offset, &v)) return QVCRASH_EINVAL;
            *result = v;
            return QVCRASH_ESUCCESS;
        }
        case 8:
            if (MSqvcrash_async_mobject_read_uint64(mobj, byteorder, location, offset, result)) return QVCRASH_EINVAL;
            return QVCRASH_ESUCCESS;
        default:
            QVCRASH_DEBUG("Unhandled data width %llu", static_cast<unsigned long long>(width));
            return QVCRASH_EINVAL;
    }
}

template <typename machine_ptr>
qvcrash_error_t gnu_ehptr_reader<machine_ptr>::read(const qvcrash_async_mobject_t* mobj, uint64_t location,
                                                    int64_t offset, uint8_t encoding, machine_ptr* result,
                                                    uint64_t* size) const {
    if (encoding == DW_EH_PE_omit) {
        QVCRASH_DEBUG("Skipping decoding of DW_EH_PE_omit pointer");
        return QVCRASH_ENOTFOUND;
    }
    *size = 0;
    machine_ptr base = 0;
    switch (encoding & 0x70) {
        case DW_EH_PE_absptr: break;
        case DW_EH_PE_pcrel: base = static_cast<machine_ptr>(location + static_cast<uint64_t>(offset)); break;
        case DW_EH_PE_textrel:
            if (!_text.valid) {
                QVCRASH_DEBUG("Cannot decode DW_EH_PE_textrel value with QVCRASH_ASYNC_DWARF_INVALID_BASE_ADDR text_addr");
                return QVCRASH_ENOTSUP;
            }
            base = _text.address;
            break;
        case DW_EH_PE_datarel:
            if (!_data.valid) {
                QVCRASH_DEBUG("Cannot decode DW_EH_PE_datarel value with QVCRASH_ASYNC_DWARF_INVALID_BASE_ADDR data_base");
                return QVCRASH_ENOTSUP;
            }
            base = _data.address;
            break;
        case DW_EH_PE_funcrel:
            if (!_func.valid) {
                QVCRASH_DEBUG("Cannot decode DW_EH_PE_funcrel value with QVCRASH_ASYNC_DWARF_INVALID_BASE_ADDR func_base");
                return QVCRASH_ENOTSUP;
            }
            base = _func.address;
            break;
        case DW_EH_PE_aligned: {
            if (!_frame_section.valid || location + static_cast<uint64_t>(offset) < _frame_section.base) {
                QVCRASH_DEBUG("Cannot decode DW_EH_PE_aligned value without a valid frame section base configured");
                return QVCRASH_ENOTSUP;
            }
            const uint64_t vm = _frame_section.vm_addr + (location + static_cast<uint64_t>(offset) - _frame_section.base);
            const uint64_t pad = (sizeof(machine_ptr) - vm % sizeof(machine_ptr)) % sizeof(machine_ptr);
            offset += static_cast<int64_t>(pad);
            *size += pad;
            break;
        }
        default:
            QVCRASH_DEBUG("Unsupported pointer base encoding of 0x%x", static_cast<unsigned>(encoding));
            return QVCRASH_ENOTSUP;
    }

    uint64_t value = 0;
    uint64_t bytes = 0;
    qvcrash_error_t err;
    const char* what = nullptr;
    auto fixed = [&](uint8_t width, bool sign) {
        err = qvcrash_async_dwarf_read_uintmax64(mobj, _byteorder, location, offset, width, &value);
        if (err == QVCRASH_ESUCCESS && sign && width < 8) {
            const unsigned bits = width * 8u;
            if (value & (UINT64_C(1) << (bits - 1))) value |= ~UINT64_C(0) << bits;
        }
        bytes = width;
    };
    switch (encoding & 0x0F) {
        case DW_EH_PE_absptr:
            what = "value";
            fixed(sizeof(machine_ptr), false);
            break;
        case DW_EH_PE_uleb128:
            what = "uleb128";
            err = qvcrash_async_dwarf_read_uleb128(mobj, location, offset, &value, &bytes);
            break;
        case DW_EH_PE_udata2: what = "udata2"; fixed(2, false); break;
        case DW_EH_PE_udata4: what = "udata4"; fixed(4, false); break;
        case DW_EH_PE_udata8: what = "udata8"; fixed(8, false); break;
        case DW_EH_PE_sleb128: {
            what = "sleb128";
            int64_t s = 0;
            err = qvcrash_async_dwarf_read_sleb128(mobj, location, offset, &s, &bytes);
            value = static_cast<uint64_t>(s);
            break;
        }
        case DW_EH_PE_sdata2: what = "sdata2"; fixed(2, true); break;
        case DW_EH_PE_sdata4: what = "sdata4"; fixed(4, true); break;
        case DW_EH_PE_sdata8: what = "sdata8"; fixed(8, true); break;
        default:
            QVCRASH_DEBUG("Unknown pointer encoding of type 0x%x", static_cast<unsigned>(encoding));
            return QVCRASH_ENOTSUP;
    }
    if (err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("Failed to read %s at 0x%llx", what,
                      static_cast<unsigned long long>(location + static_cast<uint64_t>(offset)));
        return err;
    }
    *size += bytes;
    machine_ptr pointer = static_cast<machine_ptr>(base + static_cast<machine_ptr>(value));

    if (encoding & DW_EH_PE_indirect) {
        machine_ptr target;
        err = MSqvcrash_async_task_memcpy(MSqvcrash_async_mobject_task(mobj), pointer, 0, &target, sizeof(target));
        if (err != QVCRASH_ESUCCESS) return err;
        pointer = sizeof(machine_ptr) == 8 ? static_cast<machine_ptr>(_byteorder->swap64(target))
                                           : static_cast<machine_ptr>(_byteorder->swap32(static_cast<uint32_t>(target)));
    }
    *result = pointer;
    return QVCRASH_ESUCCESS;
}

template class gnu_ehptr_reader<uint32_t>;
template class gnu_ehptr_reader<uint64_t>;

}  // namespace quorvane::qvcrash::MS::async
