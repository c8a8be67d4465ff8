// The crash engine's Mach-O readers over a damaged image, written into a child process that they
// read as their target task (fuzz/FuzzChildTarget.h): the image reader (load commands, segments,
// sections, UUID, symbol tables), the compact unwind lookup and its encodings applied to a
// thread state whose stack lies in the image, and the Objective-C metadata parser behind the
// symbol lookup. Every call ends with a result code; names found are terminated strings.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "crashreporter/capture/QVCrashAsyncCompactUnwind.h"
#include "crashreporter/capture/QVCrashAsyncSymbols.h"
#include "fuzz/FuzzChildTarget.h"

using namespace quorvane;

namespace {

using quorvane::fuzz::kImageBytes;

void noteSymbol(uint64_t, const char* name, void* context) {
    FUZZ_CHECK(name, "a found symbol has a name");
    FUZZ_CHECK(std::strlen(name) < 256, "a symbol name fits the lookup's buffer");
    ++*static_cast<int*>(context);
}

void noteMethod(bool, qvcrash_async_macho_string_t* className, qvcrash_async_macho_string_t* methodName, uint64_t,
                void* context) {
    for (qvcrash_async_macho_string_t* s : {className, methodName}) {
        uint64_t length = 0;
        const char* text = nullptr;
        if (qvcrash_async_macho_string_get_length(s, &length) == QVCRASH_ESUCCESS &&
            qvcrash_async_macho_string_get_pointer(s, &text) == QVCRASH_ESUCCESS) {
            FUZZ_CHECK(text[length] == '\0', "a mapped name ends where its length says");
        }
    }
    ++*static_cast<int*>(context);
}

void readUnwind(qvcrash_async_macho_t* image, uint64_t header) {
    qvcrash_async_mobject_t section;
    if (MSqvcrash_async_macho_map_section(image, "__TEXT", "__unwind_info", &section) != QVCRASH_ESUCCESS) return;
    qvcrash_async_cfe_reader_t reader;
    if (MSqvcrash_async_cfe_reader_init(&reader, &section, MSqvcrash_async_macho_cpu_type(image)) == QVCRASH_ESUCCESS) {
        for (uint64_t pc : {uint64_t(0), uint64_t(0x100), uint64_t(0x400), uint64_t(0x2000), uint64_t(0xFFFFFFFF)}) {
            uint32_t function = 0, encoding = 0;
            if (MSqvcrash_async_cfe_reader_find_pc(&reader, pc, &function, &encoding) != QVCRASH_ESUCCESS) continue;
            qvcrash_async_cfe_entry_t entry;
            if (MSqvcrash_async_cfe_entry_init(&entry, QVCRASH_CPU_TYPE_X86_64, encoding) != QVCRASH_ESUCCESS) continue;
            FUZZ_CHECK(MSqvcrash_async_cfe_entry_register_count(&entry) <= QVCRASH_ASYNC_CFE_SAVED_REGISTER_MAX,
                       "an entry holds at most ten registers");
            // The frame's registers point into the image, so every stack read stays in the child.
            qvcrash_async_thread_state_t state, next;
            MSqvcrash_async_thread_state_init(&state, QVCRASH_CPU_TYPE_X86_64);
            MSqvcrash_async_thread_state_set_reg(&state, QVCRASH_REG_IP, header + function);
            MSqvcrash_async_thread_state_set_reg(&state, QVCRASH_REG_SP, header + 0x800);
            MSqvcrash_async_thread_state_set_reg(&state, QVCRASH_REG_FP, header + 0x900);
            (void)MSqvcrash_async_cfe_entry_apply(image->task, header + function, &state, &entry, &next);
        }
    }
    MSqvcrash_async_mobject_free(&section);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kImageBytes) size = kImageBytes;
    quorvane::fuzz::Target& t = quorvane::fuzz::target();
    quorvane::fuzz::writeInput(t, data, size);
    const uint64_t header = t.image;

    qvcrash_async_macho_t image{};
    if (MSqvcrash_nasync_macho_init(&image, t.pid, "fuzz.dylib", header) != QVCRASH_ESUCCESS) return 0;
    for (const void* cmd = MSqvcrash_async_macho_next_command(&image, nullptr); cmd != nullptr;
         cmd = MSqvcrash_async_macho_next_command(&image, cmd)) {
        qvcrash_async_macho_segment_t segment;
        if (!MSqvcrash_async_macho_read_segment(&image, cmd, &segment)) continue;
        qvcrash_async_macho_mapped_segment_t mapped;
        if (MSqvcrash_async_macho_map_segment(&image, segment.segname, &mapped) == QVCRASH_ESUCCESS)
            MSqvcrash_async_macho_mapped_segment_free(&mapped);
        for (uint32_t i = 0; i < segment.nsects && i < 64; ++i) {
            qvcrash_async_macho_section_t section;
            if (!MSqvcrash_async_macho_read_section(&image, &segment, i, &section)) break;
            qvcrash_async_mobject_t mobj;
            if (MSqvcrash_async_macho_map_section(&image, section.segname, section.sectname, &mobj) == QVCRASH_ESUCCESS)
                MSqvcrash_async_mobject_free(&mobj);
        }
    }
    uint8_t uuid[16];
    size_t uuidLength = 0;
    if (MSqvcrash_async_macho_find_uuid(&image, uuid, sizeof uuid, &uuidLength) == QVCRASH_ESUCCESS)
        FUZZ_CHECK(uuidLength == 16, "a UUID has 16 bytes");

    qvcrash_async_macho_lc_symtab_reader_t reader;
    if (MSqvcrash_async_macho_symtab_reader_init(&reader, &image) == QVCRASH_ESUCCESS) {
        for (uint32_t i = 0; i < reader.nsyms && i < 4096; ++i) {
            auto entry = MSqvcrash_async_macho_symtab_reader_read(&reader, reader.symtab, i);
            if (const char* name = MSqvcrash_async_macho_symtab_reader_symbol_name(&reader, entry.n_strx))
                FUZZ_CHECK(name >= reader.string_table && name < reader.string_table + reader.string_table_size,
                           "a name starts inside the string table");
        }
        MSqvcrash_async_macho_symtab_reader_free(&reader);
    }

    readUnwind(&image, header);

    qvcrash_async_objc_cache_t cache;
    MSqvcrash_async_objc_cache_init(&cache);
    int methods = 0;
    (void)qv_async_objc_parse(&image, &cache, noteMethod, &methods);
    for (uint64_t pc : {header + 0x100, header + 0x1000, header + 0x4000}) {
        int calls = 0;
        if (MSqvcrash_async_find_symbol(&image, 3, &cache, pc, noteSymbol, &calls) == QVCRASH_ESUCCESS)
            FUZZ_CHECK(calls == 1, "a found symbol is reported once");
    }
    uint64_t address = 0;
    (void)MSqvcrash_async_macho_find_symbol_by_name(&image, "_main", &address);
    MSqvcrash_async_objc_cache_free(&cache);
    MSqvcrash_nasync_macho_free(&image);
    return 0;
}
