#pragma once
// The Mach-O file format as the image reader sees it: magics, load command numbers and the
// on-disk records it reads, in the image's own byte order. Written for this engine from the
// format's published layout; sizes are checked below so a record can be copied byte for byte.

#include <cstdint>

namespace quorvane {

inline constexpr uint32_t QVCRASH_MH_MAGIC = 0xFEEDFACE;     // 32-bit, host order
inline constexpr uint32_t QVCRASH_MH_CIGAM = 0xCEFAEDFE;     // 32-bit, swapped
inline constexpr uint32_t QVCRASH_MH_MAGIC_64 = 0xFEEDFACF;  // 64-bit, host order
inline constexpr uint32_t QVCRASH_MH_CIGAM_64 = 0xCFFAEDFE;  // 64-bit, swapped
inline constexpr uint32_t QVCRASH_FAT_MAGIC = 0xCAFEBABE;    // universal archive (refused)
inline constexpr uint32_t QVCRASH_FAT_CIGAM = 0xBEBAFECA;

inline constexpr uint32_t QVCRASH_LC_SEGMENT = 0x1;
inline constexpr uint32_t QVCRASH_LC_SYMTAB = 0x2;
inline constexpr uint32_t QVCRASH_LC_DYSYMTAB = 0xB;
inline constexpr uint32_t QVCRASH_LC_SEGMENT_64 = 0x19;
inline constexpr uint32_t QVCRASH_LC_UUID = 0x1B;

inline constexpr uint32_t QVCRASH_CPU_TYPE_ARM64 = 0x100000C;

// True for every magic the reader recognises, universal archives included.
inline bool qvcrash_macho_is_magic(uint32_t magic) {
    return magic == QVCRASH_MH_MAGIC || magic == QVCRASH_MH_CIGAM || magic == QVCRASH_MH_MAGIC_64 ||
           magic == QVCRASH_MH_CIGAM_64 || magic == QVCRASH_FAT_MAGIC || magic == QVCRASH_FAT_CIGAM;
}

// The header fields both widths share (the 64-bit header adds a reserved word).
struct qvcrash_macho_header_t {
    uint32_t magic;
    uint32_t cputype;
    uint32_t cpusubtype;
    uint32_t filetype;
    uint32_t ncmds;
    uint32_t sizeofcmds;
    uint32_t flags;
};

struct qvcrash_macho_load_command_t {
    uint32_t cmd;
    uint32_t cmdsize;
};

struct qvcrash_macho_segment_command_t {
    uint32_t cmd, cmdsize;
    char segname[16];
    uint32_t vmaddr, vmsize, fileoff, filesize;
    uint32_t maxprot, initprot, nsects, flags;
};

struct qvcrash_macho_segment_command_64_t {
    uint32_t cmd, cmdsize;
    char segname[16];
    uint64_t vmaddr, vmsize, fileoff, filesize;
    uint32_t maxprot, initprot, nsects, flags;
};

struct qvcrash_macho_section_t {
    char sectname[16];
    char segname[16];
    uint32_t addr, size, offset, align, reloff, nreloc, flags, reserved1, reserved2;
};

struct qvcrash_macho_section_64_t {
    char sectname[16];
    char segname[16];
    uint64_t addr, size;
    uint32_t offset, align, reloff, nreloc, flags, reserved1, reserved2, reserved3;
};

struct qvcrash_macho_symtab_command_t {
    uint32_t cmd, cmdsize, symoff, nsyms, stroff, strsize;
};

struct qvcrash_macho_dysymtab_command_t {
    uint32_t cmd, cmdsize;
    uint32_t ilocalsym, nlocalsym, iextdefsym, nextdefsym, iundefsym, nundefsym;
    uint32_t tocoff, ntoc, modtaboff, nmodtab, extrefsymoff, nextrefsyms;
    uint32_t indirectsymoff, nindirectsyms, extreloff, nextrel, locreloff, nlocrel;
};

struct qvcrash_macho_uuid_command_t {
    uint32_t cmd, cmdsize;
    uint8_t uuid[16];
};

struct qvcrash_macho_nlist_t {
    uint32_t n_strx;
    uint8_t n_type;
    uint8_t n_sect;
    uint16_t n_desc;
    uint32_t n_value;
};

struct qvcrash_macho_nlist_64_t {
    uint32_t n_strx;
    uint8_t n_type;
    uint8_t n_sect;
    uint16_t n_desc;
    uint64_t n_value;
};

static_assert(sizeof(qvcrash_macho_header_t) == 28);
static_assert(sizeof(qvcrash_macho_segment_command_t) == 56);
static_assert(sizeof(qvcrash_macho_segment_command_64_t) == 72);
static_assert(sizeof(qvcrash_macho_section_t) == 68);
static_assert(sizeof(qvcrash_macho_section_64_t) == 80);
static_assert(sizeof(qvcrash_macho_dysymtab_command_t) == 80);
static_assert(sizeof(qvcrash_macho_nlist_t) == 12);
static_assert(sizeof(qvcrash_macho_nlist_64_t) == 16);

}  // namespace quorvane
