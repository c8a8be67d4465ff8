#pragma once
// The image reader: describes one image loaded in a task without trusting it. Its record and
// functions keep the engine's historical names (qvcrash_async_macho_t, MSqvcrash_async_macho_*),
// but on Linux the images are ELF, and this file is their reader: the record copies the ELF
// header, maps the program headers (the image's "load commands"), learns the load bias (the
// slide) and extent from the loadable segments, and on request maps segments, sections, the
// build id and the symbol tables. Every access to image memory goes through memory objects, so
// a damaged image gives a result code instead of a fault.
//
// Section headers and the full symbol table (.symtab) are not loaded by the dynamic loader; the
// record keeps a read-only mapping of the image's file for them (the "file mapping", made when
// the record is initialised and only used when its ELF header matches the loaded one). Reads of
// the file mapping also go through memory objects, so a file truncated on disk gives a result
// code, not a bus error.
//
// Initialising and freeing allocate and are not async-safe; everything else is.
//
// The same record reads Mach-O images, made for the other platform the engine was written for:
// initialising recognises their magics, and the operations whose arguments fit both formats read
// either. QVCrashAsyncMachOFile.h has the Mach-O specifics.

#include <elf.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "crashreporter/capture/QVCrashAsync.h"
#include "crashreporter/capture/QVCrashAsyncMObject.h"
#include "crashreporter/capture/QVCrashMachOFormat.h"

namespace quorvane {

// The record reads ELF images (what this system loads) and Mach-O images (QVCrashAsyncMachOFile.h).
enum : uint32_t {
    QVCRASH_IMAGE_FORMAT_ELF = 0,
    QVCRASH_IMAGE_FORMAT_MACHO = 1,
};

struct qvcrash_async_macho_t {
    qvcrash_task_t task;
    uint64_t header_addr;   // target address of the ELF header
    uint64_t vmaddr_slide;  // header address - vaddr of the segment holding the header (the load bias)
    char* name;             // own copy of the image path
    Elf64_Ehdr header;      // as stored in the image
    uint32_t header_size;
    uint32_t ncmds;                    // number of program headers
    qvcrash_async_mobject_t load_cmds;  // the program header table
    uint64_t text_vmaddr;               // vaddr of the segment holding the header
    uint64_t text_size;                 // from there to the end of the last loadable segment
    bool m64;
    const MSqvcrash_async_byteorder_t* byteorder;
    std::atomic<void*> list_node;  // set by the image list

    uint32_t format;                      // QVCRASH_IMAGE_FORMAT_*
    qvcrash_macho_header_t macho_header;  // a Mach-O image's header as stored (zero for ELF)

    // Read-only mapping of the image's file in this process, or null.
    const void* file_map;
    uint64_t file_size;

    // The image's call-frame information, copied by the DWARF unwinder on first use (at crash
    // time too) and kept until the record is freed: .eh_frame_hdr when the image has one, and
    // the .eh_frame (or .debug_frame) section. cfi_state: 0 not yet copied, 1 being copied by
    // one thread (others copy for themselves meanwhile), 2 ready, 3 the image has none.
    std::atomic<uint32_t> cfi_state;
    bool cfi_has_hdr;
    bool cfi_debug_frame;
    qvcrash_async_mobject_t cfi_hdr;
    qvcrash_async_mobject_t cfi_section;
};

// A segment (program header) mapped from the target, with its place in the file.
struct qvcrash_async_macho_mapped_segment_t {
    qvcrash_async_mobject_t mobj;
    uint64_t fileoff;
    uint64_t filesize;
};

// One symbol table of the reader: the entries and their string table, each a memory object.
struct qvcrash_async_macho_symtab_t {
    bool present;
    qvcrash_async_mobject_t symbols_mobj;
    qvcrash_async_mobject_t strings_mobj;
    const void* symbols;  // local pointer to the first entry
    uint64_t nsyms;
    const char* strings;  // local pointer to the string table
    uint64_t strings_size;
    // The entries that name places in the image, sorted by address (built on request for a
    // reader that serves many lookups), in private pages; null when not built.
    uint64_t* sorted;  // (address - image text vmaddr) << 32 | entry index
    uint64_t sorted_count;
    uint64_t sorted_bytes;
};

// The symbol tables of an image: the dynamic symbols (.dynsym/.dynstr, found through
// PT_DYNAMIC in the loaded image) and, when the file mapping has one, the full .symtab/.strtab.
// A damaged table is left out; the reader fails only when it has none.
struct qvcrash_async_macho_symtab_reader_t {
    qvcrash_async_macho_t* image;
    qvcrash_async_macho_symtab_t dynamic_symbols;
    qvcrash_async_macho_symtab_t full_symbols;
};

// One symbol in host order.
struct qvcrash_async_macho_symtab_entry_t {
    uint32_t n_strx;   // st_name
    uint8_t n_type;    // st_info (binding << 4 | type)
    uint8_t n_other;   // st_other (visibility)
    uint16_t n_sect;   // st_shndx
    uint64_t n_value;  // st_value
    uint64_t n_size;   // st_size
    uint64_t normalized_value;
};

// A damaged image may claim any size. The reader refuses an image whose loadable segments span
// more than kQVCrashMaxImageExtent, and reads of the image's memory must lie inside its extent
// and be no longer than kQVCrashMaxImageRead: it never copies what lies beyond the image.
inline constexpr uint64_t kQVCrashMaxImageExtent = 4ULL << 30;
inline constexpr uint64_t kQVCrashMaxImageRead = 64ULL << 20;

// Initialises the record for the image whose ELF header is at header_addr: 0, or 6 when the
// header cannot be read, 5 for an image that is not a 64-bit ELF image, has no loadable
// segment holding its header or claims a larger extent than kQVCrashMaxImageExtent, or the code
// of mapping the program headers.
qvcrash_error_t MSqvcrash_nasync_macho_init(qvcrash_async_macho_t* image, qvcrash_task_t task, const char* name,
                                            uint64_t header_addr);
void MSqvcrash_nasync_macho_free(qvcrash_async_macho_t* image);

// header address <= address < header address + text size
bool MSqvcrash_async_macho_contains_address(const qvcrash_async_macho_t* image, uint64_t address);
// e_machine and e_flags (ELF has no CPU subtype; its processor flags are the nearest thing).
uint32_t MSqvcrash_async_macho_cpu_type(const qvcrash_async_macho_t* image);
uint32_t MSqvcrash_async_macho_cpu_subtype(const qvcrash_async_macho_t* image);
const Elf64_Ehdr* MSqvcrash_async_macho_header(const qvcrash_async_macho_t* image);
uint32_t MSqvcrash_async_macho_header_size(const qvcrash_async_macho_t* image);
const MSqvcrash_async_byteorder_t* MSqvcrash_async_macho_byteorder(const qvcrash_async_macho_t* image);

// Program headers, as local pointers into the mapped table (in the image's byte order; read
// them with MSqvcrash_async_macho_read_segment). Null at the end or on a damaged table.
const void* MSqvcrash_async_macho_next_command(const qvcrash_async_macho_t* image, const void* previous);
const void* MSqvcrash_async_macho_next_command_type(const qvcrash_async_macho_t* image, const void* previous,
                                                    uint32_t type);
const void* MSqvcrash_async_macho_find_command(const qvcrash_async_macho_t* image, uint32_t type);
// The program header at command in host order; false when it is not inside the table.
bool MSqvcrash_async_macho_read_segment(const qvcrash_async_macho_t* image, const void* command, Elf64_Phdr* out);
// The first program header of that type (PT_LOAD, PT_DYNAMIC, PT_GNU_EH_FRAME, ...), or null.
const void* MSqvcrash_async_macho_find_segment_cmd(const qvcrash_async_macho_t* image, uint32_t type);

// Copies [address, address + length) of the image's memory into a memory object (as
// MSqvcrash_async_mobject_init does): 5 when the range leaves the image's extent or is longer
// than kQVCrashMaxImageRead, else the memory object's code.
qvcrash_error_t MSqvcrash_async_macho_map_memory(const qvcrash_async_macho_t* image, uint64_t address,
                                                 uint64_t length, bool require_full, qvcrash_async_mobject_t* mobj);

// Maps the first segment of that type from the target (partial mapping allowed): 0, 8 when
// there is none, or the memory object's code.
qvcrash_error_t MSqvcrash_async_macho_map_segment(const qvcrash_async_macho_t* image, uint32_t type,
                                                  qvcrash_async_macho_mapped_segment_t* segment);
void MSqvcrash_async_macho_mapped_segment_free(qvcrash_async_macho_mapped_segment_t* segment);

// Maps the named section: an allocated section from the loaded image (its base address is then
// the target address), any other from the file mapping (base address in this process). 0, 8
// when there is no such section or no section table, 5 when the section table or the section
// lies outside the file, or the memory object's code.
qvcrash_error_t MSqvcrash_async_macho_map_section(const qvcrash_async_macho_t* image, const char* sectname,
                                                  qvcrash_async_mobject_t* mobj);

// The build id (the NT_GNU_BUILD_ID note), the image's UUID: 0 with up to capacity bytes copied
// and their number in length, or 8 when the image has none.
qvcrash_error_t MSqvcrash_async_macho_find_uuid(const qvcrash_async_macho_t* image, uint8_t* buffer,
                                                size_t capacity, size_t* length);

// 0, 8 when the image has no symbol table at all, 5 for a damaged dynamic section, 6 when a
// table cannot be mapped.
qvcrash_error_t MSqvcrash_async_macho_symtab_reader_init(qvcrash_async_macho_symtab_reader_t* reader,
                                                         qvcrash_async_macho_t* image);
// The entry at index of the table (which must hold that index).
qvcrash_async_macho_symtab_entry_t MSqvcrash_async_macho_symtab_reader_read(
    const qvcrash_async_macho_symtab_reader_t* reader, const qvcrash_async_macho_symtab_t* table, uint64_t index);
// The NUL-terminated name at the string index of the table's string table, or null.
const char* MSqvcrash_async_macho_symtab_reader_symbol_name(const qvcrash_async_macho_symtab_reader_t* reader,
                                                            const qvcrash_async_macho_symtab_t* table,
                                                            uint32_t string_index);
void MSqvcrash_async_macho_symtab_reader_free(qvcrash_async_macho_symtab_reader_t* reader);
// Sorts each table's entries by address in private pages, so that later lookups through the
// reader are binary searches: worth it for a reader that serves a whole report. A table that
// cannot be sorted (no pages) is searched entry by entry.
void MSqvcrash_async_macho_symtab_reader_sort(qvcrash_async_macho_symtab_reader_t* reader);

using qvcrash_async_macho_found_symbol_cb = void (*)(uint64_t address, const char* name, void* context);

// Calls callback once with the address and name of the symbol that holds pc: the nearest at or
// below it, of .symtab when the image has one, else (or when .symtab names nothing there) of
// .dynsym. A symbol with a size holds only the addresses it spans: past its end the table has no
// symbol for pc (a static function after an exported one is not named after it). Among symbols
// of one address a sized one is taken. 0, 8 when no symbol holds pc, 5 when the name cannot be
// read, or the reader's code.
qvcrash_error_t MSqvcrash_async_macho_find_symbol_by_pc(qvcrash_async_macho_t* image, uint64_t pc,
                                                        qvcrash_async_macho_found_symbol_cb callback, void* context);
// The same through a reader made once (and sorted) for many lookups.
qvcrash_error_t MSqvcrash_async_macho_symtab_reader_find_by_pc(const qvcrash_async_macho_symtab_reader_t* reader,
                                                               uint64_t pc,
                                                               qvcrash_async_macho_found_symbol_cb callback,
                                                               void* context);
// The address of the first defined symbol of that name: 0, or 8.
qvcrash_error_t MSqvcrash_async_macho_find_symbol_by_name(qvcrash_async_macho_t* image, const char* symbol,
                                                          uint64_t* address);

}  // namespace quorvane
