// The crash engine's image reader over a damaged ELF image, written into a child process that the
// reader reads as its target task (fuzz/FuzzChildTarget.h). The input is also offered as the
// image's file. Every lookup ends with a result code; names found lie inside the string tables
// they come from.

#include <elf.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "crashreporter/capture/QVCrashAsyncImage.h"
#include "fuzz/FuzzCheck.h"
#include "fuzz/FuzzChildTarget.h"

using namespace quorvane;

namespace {

using quorvane::fuzz::kImageBytes;
using quorvane::fuzz::Target;
using quorvane::fuzz::target;

void noteSymbol(uint64_t, const char* name, void* context) {
    FUZZ_CHECK(name, "a found symbol has a name");
    *static_cast<size_t*>(context) += std::strlen(name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kImageBytes) size = kImageBytes;
    Target& t = target();
    quorvane::fuzz::writeInput(t, data, size);

    const auto task = t.pid;
    const uint64_t header = t.image;
    qvcrash_async_macho_t image{};
    if (MSqvcrash_nasync_macho_init(&image, task, t.filePath, header) != QVCRASH_ESUCCESS) return 0;

    for (const void* cmd = MSqvcrash_async_macho_next_command(&image, nullptr); cmd;
         cmd = MSqvcrash_async_macho_next_command(&image, cmd)) {
        Elf64_Phdr phdr;
        FUZZ_CHECK(MSqvcrash_async_macho_read_segment(&image, cmd, &phdr), "a listed program header can be read");
    }
    for (uint32_t type : {uint32_t(PT_LOAD), uint32_t(PT_DYNAMIC), uint32_t(PT_NOTE), uint32_t(PT_GNU_EH_FRAME)}) {
        qvcrash_async_macho_mapped_segment_t segment;
        if (MSqvcrash_async_macho_map_segment(&image, type, &segment) == QVCRASH_ESUCCESS)
            MSqvcrash_async_macho_mapped_segment_free(&segment);
    }
    for (const char* name : {".text", ".eh_frame", ".symtab", ".debug_info"}) {
        qvcrash_async_mobject_t mobj;
        if (MSqvcrash_async_macho_map_section(&image, name, &mobj) == QVCRASH_ESUCCESS)
            MSqvcrash_async_mobject_free(&mobj);
    }
    uint8_t uuid[64];
    size_t uuidLength = 0;
    if (MSqvcrash_async_macho_find_uuid(&image, uuid, sizeof uuid, &uuidLength) == QVCRASH_ESUCCESS)
        FUZZ_CHECK(uuidLength <= sizeof uuid, "the build id fits the buffer it was copied to");

    qvcrash_async_macho_symtab_reader_t reader;
    if (MSqvcrash_async_macho_symtab_reader_init(&reader, &image) == QVCRASH_ESUCCESS) {
        for (auto* table : {&reader.dynamic_symbols, &reader.full_symbols}) {
            if (!table->present) continue;
            for (uint64_t i = 0; i < table->nsyms && i < 64; ++i) {
                auto entry = MSqvcrash_async_macho_symtab_reader_read(&reader, table, i);
                if (const char* name = MSqvcrash_async_macho_symtab_reader_symbol_name(&reader, table, entry.n_strx)) {
                    FUZZ_CHECK(name >= table->strings && name < table->strings + table->strings_size,
                               "a symbol name lies inside its string table");
                    FUZZ_CHECK(std::memchr(name, 0, size_t(table->strings + table->strings_size - name)),
                               "a symbol name ends inside its string table");
                }
            }
        }
        MSqvcrash_async_macho_symtab_reader_free(&reader);
    }
    size_t nameBytes = 0;
    for (uint64_t pc : {header, header + 0x40, header + 0x1000, image.vmaddr_slide + image.text_vmaddr + 16})
        (void)MSqvcrash_async_macho_find_symbol_by_pc(&image, pc, noteSymbol, &nameBytes);
    uint64_t address = 0;
    (void)MSqvcrash_async_macho_find_symbol_by_name(&image, "main", &address);
    (void)MSqvcrash_async_macho_contains_address(&image, header + 8);
    MSqvcrash_nasync_macho_free(&image);
    return 0;
}
