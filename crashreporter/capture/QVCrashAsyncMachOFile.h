#pragma once
// The Mach-O half of the image reader. The record (qvcrash_async_macho_t) and most operations
// are shared with the ELF reader: MSqvcrash_nasync_macho_init recognises a Mach-O magic and
// fills the record from the Mach-O header, and the operations whose arguments fit both formats
// (walking load commands, containment, CPU type, the UUID, symbol lookup) read whichever format
// the record holds. The operations below take Mach-O arguments (segment and section names, the
// LC_SYMTAB reader) and answer "not found" for an ELF record.
//
// Both widths (32 and 64 bit) and both byte orders are read; a universal archive is refused.
// Every access to image memory goes through memory objects, so a damaged image gives a result
// code, never a fault. Everything here except the record's initialisation is async-safe.

#include <cstddef>
#include <cstdint>

#include "crashreporter/capture/QVCrashAsyncImage.h"
#include "crashreporter/capture/QVCrashMachOFormat.h"

namespace quorvane {

inline bool MSqvcrash_async_macho_is_macho(const qvcrash_async_macho_t* image) {
    return image->format == QVCRASH_IMAGE_FORMAT_MACHO;
}

// One segment command in host order, whatever the image's width.
struct qvcrash_async_macho_segment_t {
    char segname[17];  // NUL-terminated copy of the 16-byte field
    uint64_t vmaddr, vmsize, fileoff, filesize;
    uint32_t maxprot, initprot, nsects, flags;
    const void* sections;  // local pointer to the first section entry
};

// One section entry in host order.
struct qvcrash_async_macho_section_t {
    char sectname[17];
    char segname[17];
    uint64_t addr, size;
    uint32_t offset, align, flags;
};

// Reads the segment command (LC_SEGMENT or LC_SEGMENT_64 of the image's width) at command: false
// when it is not one, or does not lie inside the load commands.
bool MSqvcrash_async_macho_read_segment(const qvcrash_async_macho_t* image, const void* command,
                                        qvcrash_async_macho_segment_t* out);
// Section index of the segment: false when that entry is not inside the load commands.
bool MSqvcrash_async_macho_read_section(const qvcrash_async_macho_t* image, const qvcrash_async_macho_segment_t* segment,
                                        uint32_t index, qvcrash_async_macho_section_t* out);

// The segment command of the image's width with that name, or null.
const void* MSqvcrash_async_macho_find_segment_cmd(const qvcrash_async_macho_t* image, const char* segname);
// Maps the named segment (vmaddr + slide, vmsize; partial mapping allowed): 0, 8 when there is
// no such segment, or the memory object's code.
qvcrash_error_t MSqvcrash_async_macho_map_segment(const qvcrash_async_macho_t* image, const char* segname,
                                                  qvcrash_async_macho_mapped_segment_t* segment);
// Maps the named section of the named segment (full mapping required): 0, 8 when the segment or
// section is absent, 5 when the section table runs outside the load commands, or the memory
// object's code.
qvcrash_error_t MSqvcrash_async_macho_map_section(const qvcrash_async_macho_t* image, const char* segname,
                                                  const char* sectname, qvcrash_async_mobject_t* mobj);

// The symbol tables of LC_SYMTAB, read through one mapping of __LINKEDIT. With LC_DYSYMTAB the
// global (external defined) and local symbols are tables of their own; without it they are null.
struct qvcrash_async_macho_lc_symtab_reader_t {
    qvcrash_async_macho_t* image;
    qvcrash_async_macho_mapped_segment_t linkedit;
    const void* symtab;
    uint32_t nsyms;
    const void* symtab_global;
    uint32_t nsyms_global;
    const void* symtab_local;
    uint32_t nsyms_local;
    const char* string_table;
    uint64_t string_table_size;
};

// One symbol in host order. The normalized value has bit 0 set for a Thumb definition.
struct qvcrash_async_macho_nlist_entry_t {
    uint32_t n_strx;
    uint8_t n_type;
    uint8_t n_sect;
    uint16_t n_desc;
    uint64_t n_value;
    uint64_t normalized_value;
};

// 0; 8 without LC_SYMTAB (or for an ELF record); 6 when __LINKEDIT or a table in it cannot be
// mapped; 5 when LC_DYSYMTAB's ranges lie outside the symbol table.
qvcrash_error_t MSqvcrash_async_macho_symtab_reader_init(qvcrash_async_macho_lc_symtab_reader_t* reader,
                                                         qvcrash_async_macho_t* image);
// The entry at index of table (symtab, symtab_global or symtab_local; index below its count).
qvcrash_async_macho_nlist_entry_t MSqvcrash_async_macho_symtab_reader_read(
    const qvcrash_async_macho_lc_symtab_reader_t* reader, const void* table, uint32_t index);
// The NUL-terminated name at the string index, or null when it runs out of __LINKEDIT.
const char* MSqvcrash_async_macho_symtab_reader_symbol_name(const qvcrash_async_macho_lc_symtab_reader_t* reader,
                                                            uint32_t string_index);
void MSqvcrash_async_macho_symtab_reader_free(qvcrash_async_macho_lc_symtab_reader_t* reader);

// ---- used by the shared operations of QVCrashAsyncImage.cpp for a Mach-O record ----

// Fills the record from the Mach-O header at image->header_addr (task, name and header address
// already set; the caller frees the name on failure): 0, 6 when the header cannot be read, 5 for
// a universal archive, an unknown magic, a damaged segment command or no __TEXT, or the code of
// mapping the load commands.
qvcrash_error_t qvcrash_nasync_macho_file_init(qvcrash_async_macho_t* image);
const void* qvcrash_async_macho_file_next_command(const qvcrash_async_macho_t* image, const void* previous);
const void* qvcrash_async_macho_file_find_command(const qvcrash_async_macho_t* image, uint32_t type);
const void* qvcrash_async_macho_file_next_command_type(const qvcrash_async_macho_t* image, const void* previous,
                                                       uint32_t type);
qvcrash_error_t qvcrash_async_macho_file_find_uuid(const qvcrash_async_macho_t* image, uint8_t* buffer,
                                                   size_t capacity, size_t* length);
qvcrash_error_t qvcrash_async_macho_file_find_symbol_by_pc(qvcrash_async_macho_t* image, uint64_t pc,
                                                           qvcrash_async_macho_found_symbol_cb callback,
                                                           void* context);
qvcrash_error_t qvcrash_async_macho_file_find_symbol_by_name(qvcrash_async_macho_t* image, const char* symbol,
                                                             uint64_t* address);

}  // namespace quorvane
