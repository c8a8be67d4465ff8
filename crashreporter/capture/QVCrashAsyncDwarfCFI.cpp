#include "crashreporter/capture/QVCrashAsyncDwarfCFI.h"

namespace quorvane::qvcrash::MS::async {

namespace {

// An entry's header: its length and the size of the length field (4, or 12 in the 64-bit format).
struct EntryHeader {
    uint64_t length;
    uint64_t header_size;
    bool m64;
};

bool readEntryHeader(const qvcrash_async_mobject_t* mobj, const MSqvcrash_async_byteorder_t* byteorder,
                     uint64_t address, EntryHeader* header) {
    uint32_t length32;
    if (MSqvcrash_async_mobject_read_uint32(mobj, byteorder, address, 0, &length32)) return false;
    if (length32 != UINT32_MAX) {
        *header = {length32, 4, false};
        return true;
    }
    uint64_t length64;
    if (MSqvcrash_async_mobject_read_uint64(mobj, byteorder, address, 4, &length64)) return false;
    *header = {length64, 12, true};
    return true;
}

// An entry that claims more bytes than its section holds after it.
bool entryOverrunsSection(const qvcrash_async_mobject_t* mobj, uint64_t address, const EntryHeader& header) {
    const uint64_t end = MSqvcrash_async_mobject_base_address(mobj) + MSqvcrash_async_mobject_length(mobj);
    if (address > end || end - address < header.header_size || end - address - header.header_size < header.length) {
        QVCRASH_DEBUG("CFI entry 0x%llx of length 0x%llx runs past the end of its section",
                      static_cast<unsigned long long>(address), static_cast<unsigned long long>(header.length));
        return true;
    }
    return false;
}

// The length of an entry's instructions: what its declared length leaves after the `at` bytes
// read from its start (header included). False when it declared less than that.
bool instructionsLength(const char* kind, const EntryHeader& header, uint64_t at, uint64_t* length) {
    const uint64_t consumed = at - header.header_size;
    if (header.length < consumed) {
        QVCRASH_DEBUG("%s length of 0x%llx declared to be less than the actual read length of 0x%llx", kind,
                      static_cast<unsigned long long>(header.length), static_cast<unsigned long long>(consumed));
        return false;
    }
    *length = header.length - consumed;
    return true;
}

// A NUL-terminated string at address: its length without the NUL, false when it runs out.
bool stringLength(const qvcrash_async_mobject_t* mobj, uint64_t address, uint64_t* length) {
    for (uint64_t i = 0;; ++i) {
        uint8_t c;
        if (MSqvcrash_async_mobject_read_uint8(mobj, address, static_cast<int64_t>(i), &c)) return false;
        if (c == 0) {
            *length = i;
            return true;
        }
    }
}

}  // namespace

template <typename machine_ptr>
qvcrash_error_t qvcrash_async_dwarf_cie_info_init(qvcrash_async_dwarf_cie_info_t* info,
                                                  const qvcrash_async_mobject_t* mobj,
                                                  const MSqvcrash_async_byteorder_t* byteorder,
                                                  const gnu_ehptr_reader<machine_ptr>* reader, uint64_t address) {
    qvcrash_async_memset(info, 0, sizeof(*info));
    const uint64_t base = MSqvcrash_async_mobject_base_address(mobj);
    EntryHeader header;
    if (address < base || !readEntryHeader(mobj, byteorder, address, &header)) {
        QVCRASH_DEBUG("CIE 0x%llx header lies outside the mapped range", static_cast<unsigned long long>(address));
        return QVCRASH_EINVAL;
    }
    if (entryOverrunsSection(mobj, address, header)) return QVCRASH_EINVAL;
    info->cie_offset = address - base + header.header_size;
    info->cie_length = header.length;
    uint64_t at = header.header_size;  // position relative to address

    uint64_t id;
    qvcrash_error_t err = qvcrash_async_dwarf_read_uintmax64(mobj, byteorder, address, static_cast<int64_t>(at),
                                                             header.m64 ? 8 : 4, &id);
    if (err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("CIE id could not be read");
        return err;
    }
    if (id != 0 && id != (header.m64 ? UINT64_MAX : UINT32_MAX)) {
        QVCRASH_DEBUG("CIE id is not one of 0 (eh_frame) or UINT?_MAX (debug_frame): %llx",
                      static_cast<unsigned long long>(id));
        return QVCRASH_EINVAL;
    }
    info->cie_id = id;
    at += header.m64 ? 8 : 4;

    if ((err = MSqvcrash_async_mobject_read_uint8(mobj, address, static_cast<int64_t>(at), &info->cie_version))) {
        QVCRASH_DEBUG("CIE version could not be read");
        return err;
    }
    if (info->cie_version != 1 && info->cie_version != 3 && info->cie_version != 4) {
        QVCRASH_DEBUG("CIE version is not one of 1 (eh_frame) or 3 (DWARF3) or 4 (DWARF4): %hhu", info->cie_version);
        return QVCRASH_EINVAL;
    }
    at += 1;

    const uint64_t augmentation_at = at;
    uint64_t augmentation_length;
    if (!stringLength(mobj, address + at, &augmentation_length)) {
        QVCRASH_DEBUG("CIE augmentation string could not be read");
        return QVCRASH_EINVAL;
    }
    uint8_t first = 0;
    MSqvcrash_async_mobject_read_uint8(mobj, address, static_cast<int64_t>(at), &first);
    if (first != 0 && first != 'z') {
        QVCRASH_DEBUG("Unknown augmentation string prefix of %c, cannot parse CIE", static_cast<char>(first));
        return QVCRASH_ENOTSUP;
    }
    info->has_eh_augmentation = first == 'z';
    at += augmentation_length + 1;

    if (info->cie_version == 4) {
        if ((err = MSqvcrash_async_mobject_read_uint8(mobj, address, static_cast<int64_t>(at), &info->address_size))) {
            QVCRASH_DEBUG("CIE address_size could not be read");
            return err;
        }
        if ((err = MSqvcrash_async_mobject_read_uint8(mobj, address, static_cast<int64_t>(at + 1),
                                                      &info->segment_size))) {
            QVCRASH_DEBUG("CIE segment_size could not be read");
            return err;
        }
        at += 2;
    }

    uint64_t size;
    if ((err = qvcrash_async_dwarf_read_uleb128(mobj, address, static_cast<int64_t>(at), &info->code_alignment_factor,
                                                &size))) {
        QVCRASH_DEBUG("Failed to read CIE code alignment value");
        return err;
    }
    at += size;
    if ((err = qvcrash_async_dwarf_read_sleb128(mobj, address, static_cast<int64_t>(at), &info->data_alignment_factor,
                                                &size))) {
        QVCRASH_DEBUG("Failed to read CIE data alignment value");
        return err;
    }
    at += size;
    if ((err = qvcrash_async_dwarf_read_uleb128(mobj, address, static_cast<int64_t>(at),
                                                &info->return_address_register, &size))) {
        QVCRASH_DEBUG("Failed to read CIE return address register");
        return err;
    }
    at += size;

    if (info->has_eh_augmentation) {
        uint64_t data_length;
        if ((err = qvcrash_async_dwarf_read_uleb128(mobj, address, static_cast<int64_t>(at), &data_length, &size))) {
            QVCRASH_DEBUG("Failed to read the augmentation data uleb128 length");
            return err;
        }
        at += size;
        uint64_t cursor = at;
        auto& aug = info->eh_augmentation;
        for (uint64_t i = 1; i < augmentation_length; ++i) {
            uint8_t letter = 0;
            MSqvcrash_async_mobject_read_uint8(mobj, address, static_cast<int64_t>(augmentation_at + i), &letter);
            if (letter == 'L') {
                if ((err = MSqvcrash_async_mobject_read_uint8(mobj, address, static_cast<int64_t>(cursor),
                                                              &aug.lsda_encoding))) {
                    QVCRASH_DEBUG("Failed to read the LSDA encoding value");
                    return err;
                }
                aug.has_lsda_encoding = true;
                cursor += 1;
            } else if (letter == 'P') {
                uint8_t encoding;
                if ((err = MSqvcrash_async_mobject_read_uint8(mobj, address, static_cast<int64_t>(cursor), &encoding))) {
                    QVCRASH_DEBUG("Failed to read the personality routine encoding value");
                    return err;
                }
                cursor += 1;
                // Read without following an indirect encoding: a walk never calls the routine,
                // and following it would read the target's memory for every frame.
                machine_ptr personality;
                if ((err = reader->read(mobj, address, static_cast<int64_t>(cursor),
                                        static_cast<uint8_t>(encoding & ~DW_EH_PE_indirect), &personality, &size))) {
                    QVCRASH_DEBUG("Failed to read the personality routine pointer value");
                    return err;
                }
                aug.personality_address = personality;
                aug.has_personality_address = true;
                cursor += size;
            } else if (letter == 'R') {
                if ((err = MSqvcrash_async_mobject_read_uint8(mobj, address, static_cast<int64_t>(cursor),
                                                              &aug.pointer_encoding))) {
                    QVCRASH_DEBUG("Failed to read CIE augmentation data");
                    return err;
                }
                aug.has_pointer_encoding = true;
                cursor += 1;
            } else if (letter == 'S') {
                aug.signal_frame = true;
            } else {
                QVCRASH_DEBUG("Unknown augmentation entry of %c; terminating parsing early", static_cast<char>(letter));
                break;
            }
        }
        at += data_length;  // the declared extent, not what was understood
    }

    info->initial_instructions_offset = info->cie_offset - header.header_size + at;
    if (!instructionsLength("CIE", header, at, &info->initial_instructions_length)) return QVCRASH_EINVAL;
    return QVCRASH_ESUCCESS;
}

template <typename machine_ptr>
qvcrash_error_t qvcrash_async_dwarf_fde_info_init(qvcrash_async_dwarf_fde_info_t* info,
                                                  const qvcrash_async_mobject_t* mobj,
                                                  const MSqvcrash_async_byteorder_t* byteorder, uint64_t address,
                                                  bool debug_frame, qvcrash_async_dwarf_cie_info_t* cie_out) {
    qvcrash_async_memset(info, 0, sizeof(*info));
    const uint64_t base = MSqvcrash_async_mobject_base_address(mobj);
    EntryHeader header;
    if (address < base || !readEntryHeader(mobj, byteorder, address, &header)) {
        QVCRASH_DEBUG("The current FDE entry 0x%llx header lies outside the mapped range",
                      static_cast<unsigned long long>(address));
        return QVCRASH_EINVAL;
    }
    if (entryOverrunsSection(mobj, address, header)) return QVCRASH_EINVAL;
    info->fde_offset = address - base + header.header_size;
    info->fde_length = header.length;
    uint64_t at = header.header_size;

    uint64_t pointer;
    qvcrash_error_t err = qvcrash_async_dwarf_read_uintmax64(mobj, byteorder, address, static_cast<int64_t>(at),
                                                             header.m64 ? 8 : 4, &pointer);
    if (err != QVCRASH_ESUCCESS) {
        QVCRASH_DEBUG("The current FDE entry 0x%llx header lies outside the mapped range",
                      static_cast<unsigned long long>(address));
        return err;
    }
    uint64_t cie_address;
    if (debug_frame) {
        if (static_cast<int64_t>(pointer) < 0 || !MSqvcrash_async_address_apply_offset(base, static_cast<int64_t>(pointer), &cie_address)) {
            QVCRASH_DEBUG("CIE offset of 0x%llx overflows representable range of qv_vm_address_t",
                          static_cast<unsigned long long>(pointer));
            return QVCRASH_EINVAL;
        }
    } else {
        const uint64_t field = address + at;
        if (pointer > field || field - pointer < base) {
            QVCRASH_DEBUG("CIE offset 0x%llx would place the CIE value outside of the .eh_frame section",
                          static_cast<unsigned long long>(pointer));
            return QVCRASH_EINVAL;
        }
        cie_address = field - pointer;
    }
    info->cie_offset = cie_address - base;
    at += header.m64 ? 8 : 4;

    gnu_ehptr_reader<machine_ptr> reader(byteorder);
    qvcrash_async_dwarf_cie_info_t own_cie;
    qvcrash_async_dwarf_cie_info_t& cie = cie_out != nullptr ? *cie_out : own_cie;
    if ((err = qvcrash_async_dwarf_cie_info_init<machine_ptr>(&cie, mobj, byteorder, &reader, cie_address))) {
        QVCRASH_DEBUG("Failed to parse CFE for FDE");
        return err;
    }
    const uint8_t encoding = cie.has_eh_augmentation && cie.eh_augmentation.has_pointer_encoding
                                 ? cie.eh_augmentation.pointer_encoding
                                 : static_cast<uint8_t>(DW_EH_PE_absptr);
    machine_ptr start, range;
    uint64_t size;
    if ((err = reader.read(mobj, address, static_cast<int64_t>(at), encoding, &start, &size))) {
        QVCRASH_DEBUG("Failed to read FDE initial_location");
        return err;
    }
    at += size;
    if ((err = reader.read(mobj, address, static_cast<int64_t>(at), encoding & 0x0F, &range, &size))) {
        QVCRASH_DEBUG("Failed to read FDE address_length");
        return err;
    }
    at += size;
    if (static_cast<uint64_t>(range) > UINT64_MAX - static_cast<uint64_t>(start)) {
        QVCRASH_DEBUG("FDE address_length + initial_location exceeds UINT64_MAX");
        return QVCRASH_EINVAL;
    }
    info->pc_start = start;
    info->pc_end = static_cast<uint64_t>(start) + static_cast<uint64_t>(range);

    if (cie.has_eh_augmentation) {
        uint64_t data_length;
        if ((err = qvcrash_async_dwarf_read_uleb128(mobj, address, static_cast<int64_t>(at), &data_length, &size))) {
            return err;
        }
        if (data_length > UINT64_MAX - at - size) return QVCRASH_EINVAL;
        at += size + data_length;
    }

    info->instructions_offset = info->fde_offset - header.header_size + at;
    if (!instructionsLength("FDE", header, at, &info->instructions_length)) return QVCRASH_EINVAL;
    return QVCRASH_ESUCCESS;
}

template qvcrash_error_t qvcrash_async_dwarf_cie_info_init<uint32_t>(qvcrash_async_dwarf_cie_info_t*,
                                                                     const qvcrash_async_mobject_t*,
                                                                     const MSqvcrash_async_byteorder_t*,
                                                                     const gnu_ehptr_reader<uint32_t>*, uint64_t);
template qvcrash_error_t qvcrash_async_dwarf_cie_info_init<uint64_t>(qvcrash_async_dwarf_cie_info_t*,
                                                                     const qvcrash_async_mobject_t*,
                                                                     const MSqvcrash_async_byteorder_t*,
                                                                     const gnu_ehptr_reader<uint64_t>*, uint64_t);
template qvcrash_error_t qvcrash_async_dwarf_fde_info_init<uint32_t>(qvcrash_async_dwarf_fde_info_t*,
                                                                     const qvcrash_async_mobject_t*,
                                                                     const MSqvcrash_async_byteorder_t*, uint64_t, bool,
                                                                     qvcrash_async_dwarf_cie_info_t*);
template qvcrash_error_t qvcrash_async_dwarf_fde_info_init<uint64_t>(qvcrash_async_dwarf_fde_info_t*,
                                                                     const qvcrash_async_mobject_t*,
                                                                     const MSqvcrash_async_byteorder_t*, uint64_t, bool,
                                                                     qvcrash_async_dwarf_cie_info_t*);

qvcrash_error_t dwarf_cfi_reader::init(const qvcrash_async_mobject_t* mobj, const MSqvcrash_async_byteorder_t* byteorder,
                                       bool m64, bool debug_frame) {
    _mobj = mobj;
    _byteorder = byteorder;
    _m64 = m64;
    _debug_frame = debug_frame;
    return QVCRASH_ESUCCESS;
}

qvcrash_error_t dwarf_cfi_reader::find_fde(uint64_t offset, uint64_t pc, qvcrash_async_dwarf_fde_info_t* fde,
                                           qvcrash_async_dwarf_cie_info_t* cie) const {
    const uint64_t base = MSqvcrash_async_mobject_base_address(_mobj);
    const uint64_t end = base + MSqvcrash_async_mobject_length(_mobj);
    uint64_t entry;
    if (offset > UINT64_MAX - base) {
        QVCRASH_DEBUG("FDE offset hint overflows the mobject's base address");
        return QVCRASH_EINVAL;
    }
    entry = base + offset;
    if (entry >= end) {
        QVCRASH_DEBUG("FDE base address + offset falls outside the mapped range");
        return QVCRASH_EINVAL;
    }
    while (entry < end) {
        EntryHeader header;
        if (!readEntryHeader(_mobj, _byteorder, entry, &header)) {
            QVCRASH_DEBUG("The current CFI entry 0x%llx header lies outside the mapped range",
                          static_cast<unsigned long long>(entry));
            return QVCRASH_EINVAL;
        }
        if (header.length == 0) return QVCRASH_ENOTFOUND;
        if (header.length > UINT64_MAX - entry - header.header_size) {
            QVCRASH_DEBUG("Entry length size overflows the CFI address");
            return QVCRASH_EINVAL;
        }
        const uint64_t next = entry + header.header_size + header.length;
        uint64_t id;
        if (qvcrash_async_dwarf_read_uintmax64(_mobj, _byteorder, entry, static_cast<int64_t>(header.header_size),
                                               header.m64 ? 8 : 4, &id)) {
            QVCRASH_DEBUG("The current CFI entry 0x%llx cie_id lies outside the mapped range",
                          static_cast<unsigned long long>(entry));
            return QVCRASH_EINVAL;
        }
        const bool is_cie = _debug_frame ? id == (header.m64 ? UINT64_MAX : UINT32_MAX) : id == 0;
        if (!is_cie) {
            qvcrash_error_t err =
                _m64 ? qvcrash_async_dwarf_fde_info_init<uint64_t>(fde, _mobj, _byteorder, entry, _debug_frame, cie)
                     : qvcrash_async_dwarf_fde_info_init<uint32_t>(fde, _mobj, _byteorder, entry, _debug_frame, cie);
            if (err != QVCRASH_ESUCCESS) return err;
            if (fde->pc_start <= pc && pc < fde->pc_end) return QVCRASH_ESUCCESS;
        }
        entry = next;
    }
    return QVCRASH_ENOTFOUND;
}

qvcrash_error_t dwarf_cfi_reader::fde_at(uint64_t address, uint64_t pc, qvcrash_async_dwarf_fde_info_t* fde,
                                         qvcrash_async_dwarf_cie_info_t* cie) const {
    qvcrash_error_t err =
        _m64 ? qvcrash_async_dwarf_fde_info_init<uint64_t>(fde, _mobj, _byteorder, address, _debug_frame, cie)
             : qvcrash_async_dwarf_fde_info_init<uint32_t>(fde, _mobj, _byteorder, address, _debug_frame, cie);
    if (err != QVCRASH_ESUCCESS) return err;
    return fde->pc_start <= pc && pc < fde->pc_end ? QVCRASH_ESUCCESS : QVCRASH_ENOTFOUND;
}

// ---- .eh_frame_hdr ----
//
// Layout: version (1), eh_frame_ptr encoding, fde_count encoding, table encoding, the encoded
// eh_frame_ptr, the encoded fde_count, then fde_count pairs (initial location, FDE address) in
// the table encoding, sorted by initial location. Data-relative values count from the header.

namespace {

struct HdrTable {
    uint64_t eh_frame;
    uint64_t count;
    uint64_t table;  // address of the first pair
    uint8_t encoding;
    uint8_t width;  // bytes of one value; 0 when the encoding has no fixed width
};

template <typename machine_ptr>
qvcrash_error_t readHdr(const qvcrash_async_mobject_t* hdr, const MSqvcrash_async_byteorder_t* byteorder,
                        HdrTable* out) {
    const uint64_t base = MSqvcrash_async_mobject_base_address(hdr);
    uint8_t bytes[4];
    for (int i = 0; i < 4; ++i) {
        if (MSqvcrash_async_mobject_read_uint8(hdr, base, i, &bytes[i])) return QVCRASH_EINVAL;
    }
    if (bytes[0] != 1) {
        QVCRASH_DEBUG("Unsupported .eh_frame_hdr version %u", static_cast<unsigned>(bytes[0]));
        return QVCRASH_EINVAL;
    }
    gnu_ehptr_reader<machine_ptr> reader(byteorder);
    reader.set_data_base(static_cast<machine_ptr>(base));
    machine_ptr value;
    uint64_t size;
    uint64_t at = 4;
    if (reader.read(hdr, base, static_cast<int64_t>(at), bytes[1], &value, &size)) return QVCRASH_EINVAL;
    out->eh_frame = value;
    at += size;
    out->count = 0;
    out->width = 0;
    out->encoding = bytes[3];
    if (bytes[2] == DW_EH_PE_omit || bytes[3] == DW_EH_PE_omit) return QVCRASH_ENOTSUP;
    if (reader.read(hdr, base, static_cast<int64_t>(at), bytes[2], &value, &size)) return QVCRASH_EINVAL;
    out->count = value;
    at += size;
    out->table = base + at;
    switch (bytes[3] & 0x0F) {
        case DW_EH_PE_udata2: case DW_EH_PE_sdata2: out->width = 2; break;
        case DW_EH_PE_udata4: case DW_EH_PE_sdata4: out->width = 4; break;
        case DW_EH_PE_udata8: case DW_EH_PE_sdata8: out->width = 8; break;
        case DW_EH_PE_absptr: out->width = sizeof(machine_ptr); break;
        default: return QVCRASH_ENOTSUP;
    }
    if ((bytes[3] & DW_EH_PE_indirect) != 0 || (bytes[3] & 0x70) == DW_EH_PE_aligned) return QVCRASH_ENOTSUP;
    return QVCRASH_ESUCCESS;
}

template <typename machine_ptr>
qvcrash_error_t hdrSearch(const qvcrash_async_mobject_t* hdr, const MSqvcrash_async_byteorder_t* byteorder,
                          uint64_t pc, uint64_t* fde_address) {
    HdrTable t;
    qvcrash_error_t err = readHdr<machine_ptr>(hdr, byteorder, &t);
    if (err != QVCRASH_ESUCCESS) return err;
    const uint64_t base = MSqvcrash_async_mobject_base_address(hdr);
    const uint64_t pair = 2u * t.width;
    if (t.count == 0) return QVCRASH_ENOTFOUND;
    const uint64_t length = MSqvcrash_async_mobject_length(hdr);
    if (t.table - base > length || t.count > (length - (t.table - base)) / pair) {
        QVCRASH_DEBUG(".eh_frame_hdr table of %llu entries runs past its segment", static_cast<unsigned long long>(t.count));
        return QVCRASH_EINVAL;
    }
    // The table every linker writes: pairs of signed 4-byte offsets from the header. Searched
    // in place, in the header's copy, after one bounds check for the whole table.
    if (t.encoding == (DW_EH_PE_datarel | DW_EH_PE_sdata4)) {
        const auto* table = static_cast<const uint8_t*>(
            qvcrash_async_mobject_remap_address(hdr, t.table, 0, static_cast<size_t>(t.count * pair)));
        if (table == nullptr) return QVCRASH_EINVAL;
        auto value = [&](uint64_t index, uint64_t field) {
            uint32_t raw;
            __builtin_memcpy(&raw, table + index * pair + field * 4, 4);
            return static_cast<machine_ptr>(base + static_cast<uint64_t>(static_cast<int64_t>(
                                                       static_cast<int32_t>(byteorder->swap32(raw)))));
        };
        uint64_t low = 0, high = t.count;
        while (low < high) {
            const uint64_t mid = low + (high - low) / 2;
            if (value(mid, 0) <= pc) {
                low = mid + 1;
            } else {
                high = mid;
            }
        }
        if (low == 0) return QVCRASH_ENOTFOUND;
        *fde_address = value(low - 1, 1);
        return QVCRASH_ESUCCESS;
    }
    gnu_ehptr_reader<machine_ptr> reader(byteorder);
    reader.set_data_base(static_cast<machine_ptr>(base));
    auto entry = [&](uint64_t index, uint64_t field, machine_ptr* value) {
        uint64_t size;
        return reader.read(hdr, t.table, static_cast<int64_t>(index * pair + field * t.width), t.encoding, value, &size) ==
               QVCRASH_ESUCCESS;
    };
    // The last entry whose initial location is at or below pc.
    uint64_t low = 0, high = t.count;
    while (low < high) {
        const uint64_t mid = low + (high - low) / 2;
        machine_ptr start;
        if (!entry(mid, 0, &start)) return QVCRASH_EINVAL;
        if (start <= pc) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    if (low == 0) return QVCRASH_ENOTFOUND;
    machine_ptr fde;
    if (!entry(low - 1, 1, &fde)) return QVCRASH_EINVAL;
    *fde_address = fde;
    return QVCRASH_ESUCCESS;
}

}  // namespace

qvcrash_error_t qvcrash_async_dwarf_eh_frame_hdr_eh_frame(const qvcrash_async_mobject_t* hdr,
                                                         const MSqvcrash_async_byteorder_t* byteorder, bool m64,
                                                         uint64_t* eh_frame) {
    HdrTable t;
    qvcrash_error_t err = m64 ? readHdr<uint64_t>(hdr, byteorder, &t) : readHdr<uint32_t>(hdr, byteorder, &t);
    if (err != QVCRASH_ESUCCESS && err != QVCRASH_ENOTSUP) return err;
    *eh_frame = t.eh_frame;
    return QVCRASH_ESUCCESS;
}

qvcrash_error_t qvcrash_async_dwarf_eh_frame_hdr_search(const qvcrash_async_mobject_t* hdr,
                                                       const MSqvcrash_async_byteorder_t* byteorder, bool m64,
                                                       uint64_t pc, uint64_t* fde_address) {
    return m64 ? hdrSearch<uint64_t>(hdr, byteorder, pc, fde_address)
               : hdrSearch<uint32_t>(hdr, byteorder, pc, fde_address);
}

}  // namespace quorvane::qvcrash::MS::async
