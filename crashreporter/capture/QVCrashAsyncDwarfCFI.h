#pragma once
// The DWARF call-frame information of one image: the entries of its .eh_frame (or .debug_frame)
// section, decoded into plain records, and the search for the entry that covers an instruction
// address, through the binary-search table of .eh_frame_hdr when there is one and a linear walk
// of the section otherwise. The decoders are templates over the image's machine word (4 or 8
// bytes); the records have 64-bit fields in both forms. Every read goes through a memory object;
// nothing allocates or locks.

#include <cstdint>

#include "crashreporter/capture/QVCrashAsyncDwarfEncoding.h"

namespace quorvane::qvcrash::MS::async {

// A decoded common information entry. Offsets are from the section start.
struct qvcrash_async_dwarf_cie_info_t {
    uint64_t cie_offset;  // first byte after the length field
    uint64_t cie_length;
    uint64_t cie_id;
    uint8_t cie_version;
    uint8_t address_size;
    uint8_t segment_size;
    uint64_t code_alignment_factor;
    int64_t data_alignment_factor;
    uint64_t return_address_register;
    bool has_eh_augmentation;
    struct {
        bool has_lsda_encoding;
        uint8_t lsda_encoding;
        bool has_personality_address;
        uint64_t personality_address;  // for an indirect encoding, the address of the pointer to it
        bool has_pointer_encoding;
        uint8_t pointer_encoding;
        bool signal_frame;
    } eh_augmentation;
    uint64_t initial_instructions_offset;
    uint64_t initial_instructions_length;
};

// A decoded frame description entry. Offsets are from the section start.
struct qvcrash_async_dwarf_fde_info_t {
    uint64_t fde_offset;  // first byte after the length field
    uint64_t fde_length;
    uint64_t cie_offset;  // the CIE's length field
    uint64_t pc_start;
    uint64_t pc_end;  // exclusive
    uint64_t instructions_offset;
    uint64_t instructions_length;
};

// The entry's call-frame instructions.
inline uint64_t qvcrash_async_dwarf_cie_info_instructions_offset(const qvcrash_async_dwarf_cie_info_t* cie) {
    return cie->initial_instructions_offset;
}
inline uint64_t qvcrash_async_dwarf_cie_info_instructions_length(const qvcrash_async_dwarf_cie_info_t* cie) {
    return cie->initial_instructions_length;
}
inline uint64_t qvcrash_async_dwarf_fde_info_instructions_offset(const qvcrash_async_dwarf_fde_info_t* fde) {
    return fde->instructions_offset;
}
inline uint64_t qvcrash_async_dwarf_fde_info_instructions_length(const qvcrash_async_dwarf_fde_info_t* fde) {
    return fde->instructions_length;
}

// Decodes the CIE whose length field is at address (inside mobj, whose base is the section
// start); the personality pointer is read with reader.
template <typename machine_ptr>
qvcrash_error_t qvcrash_async_dwarf_cie_info_init(qvcrash_async_dwarf_cie_info_t* info,
                                                  const qvcrash_async_mobject_t* mobj,
                                                  const MSqvcrash_async_byteorder_t* byteorder,
                                                  const gnu_ehptr_reader<machine_ptr>* reader, uint64_t address);
// Decodes the FDE whose length field is at address, and the CIE it points to (into cie when
// given, so that the caller need not decode it again).
template <typename machine_ptr>
qvcrash_error_t qvcrash_async_dwarf_fde_info_init(qvcrash_async_dwarf_fde_info_t* info,
                                                  const qvcrash_async_mobject_t* mobj,
                                                  const MSqvcrash_async_byteorder_t* byteorder, uint64_t address,
                                                  bool debug_frame, qvcrash_async_dwarf_cie_info_t* cie = nullptr);

// One CFI section of one image.
class dwarf_cfi_reader {
public:
    // Always succeeds. mobj maps the section (its base address is the section start); neither it
    // nor the byte order is owned.
    qvcrash_error_t init(const qvcrash_async_mobject_t* mobj, const MSqvcrash_async_byteorder_t* byteorder, bool m64,
                         bool debug_frame);
    // Walks the entries from offset for the FDE with pc_start <= pc < pc_end: 0, ENOTFOUND, or
    // the code of a damaged entry.
    // cie, when given, receives the FDE's CIE.
    qvcrash_error_t find_fde(uint64_t offset, uint64_t pc, qvcrash_async_dwarf_fde_info_t* fde,
                             qvcrash_async_dwarf_cie_info_t* cie = nullptr) const;
    // Decodes the FDE whose length field is at address and checks that it covers pc.
    qvcrash_error_t fde_at(uint64_t address, uint64_t pc, qvcrash_async_dwarf_fde_info_t* fde,
                           qvcrash_async_dwarf_cie_info_t* cie = nullptr) const;

private:
    const qvcrash_async_mobject_t* _mobj = nullptr;
    const MSqvcrash_async_byteorder_t* _byteorder = nullptr;
    bool _m64 = true;
    bool _debug_frame = false;
};

// The .eh_frame_hdr of an image (mapped by hdr): the address of its .eh_frame, and through its
// sorted table the address of the FDE whose start is the highest at or below pc. ENOTFOUND when
// pc precedes every entry, ENOTSUP when the header has no usable table (search the section
// linearly then), EINVAL for a damaged header.
qvcrash_error_t qvcrash_async_dwarf_eh_frame_hdr_eh_frame(const qvcrash_async_mobject_t* hdr,
                                                         const MSqvcrash_async_byteorder_t* byteorder, bool m64,
                                                         uint64_t* eh_frame);
qvcrash_error_t qvcrash_async_dwarf_eh_frame_hdr_search(const qvcrash_async_mobject_t* hdr,
                                                       const MSqvcrash_async_byteorder_t* byteorder, bool m64,
                                                       uint64_t pc, uint64_t* fde_address);

}  // namespace quorvane::qvcrash::MS::async
