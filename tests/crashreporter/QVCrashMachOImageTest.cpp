// The Mach-O half of the image reader: linked dylibs read field by field against llvm-objdump,
// hand-made images of both widths and byte orders, and damaged images that must give codes.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "crashreporter/capture/QVCrashAsyncCompactUnwind.h"
#include "crashreporter/capture/QVCrashAsyncMachOFile.h"
#include "tests/crashreporter/MachOFixtures.h"

using namespace quorvane;

using namespace machofixtures;

namespace {

uint64_t num(const std::string& text) { return std::stoull(text, nullptr, 0); }

// What llvm-objdump prints for one image (run with --non-verbose, so values are numbers).
struct Objdump {
    using Fields = std::map<std::string, std::string>;
    std::vector<std::string> header;  // magic cputype cpusubtype caps filetype ncmds sizeofcmds flags
    struct Command {
        Fields fields;
        std::vector<Fields> sections;
    };
    std::vector<Command> commands;
    struct Symbol {
        uint64_t value;
        std::string name;
    };
    std::vector<Symbol> symbols;
    Fields unwindHeader;
    std::vector<uint32_t> commonEncodings;
    std::vector<std::pair<uint64_t, uint32_t>> unwindEntries;  // function offset, encoding
};

Objdump runObjdump(const std::string& path) {
    const std::string text = runCommand("'" + objdumpTool() + "' --macho --private-headers --syms --unwind-info " +
                                        "--non-verbose '" + path + "'");
    Objdump out;
    std::istringstream in(text);
    std::string line;
    enum { kNone, kSymbols, kHeader } mode = kNone;
    Objdump::Fields* fields = nullptr;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key, rest;
        words >> key;
        std::getline(words >> std::ws, rest);
        if (line == "SYMBOL TABLE:") { mode = kSymbols; continue; }
        if (mode == kSymbols) {
            if (line.empty() || line.rfind("Contents of", 0) == 0) mode = kNone;
            else {
                // value, flags, type, segment,section, then the name (which may hold spaces)
                std::istringstream s(line);
                std::string value, scope, kind, section;
                s >> value >> scope >> kind >> section;
                std::string name;
                std::getline(s >> std::ws, name);
                out.symbols.push_back({std::stoull(value, nullptr, 16), name});
                continue;
            }
        }
        if (line == "Mach header") { mode = kHeader; continue; }
        if (mode == kHeader && key == "magic") continue;
        if (mode == kHeader) {
            std::istringstream s(line);
            for (std::string v; s >> v;) out.header.push_back(v);
            mode = kNone;
            continue;
        }
        if (key == "Load") { out.commands.emplace_back(); fields = &out.commands.back().fields; continue; }
        if (key == "Section" && !out.commands.empty()) {
            out.commands.back().sections.emplace_back();
            fields = &out.commands.back().sections.back();
            continue;
        }
        if (line.rfind("    encoding[", 0) == 0) { out.commonEncodings.push_back(uint32_t(num(rest))); continue; }
        if (line.find("function offset=") != std::string::npos && line.find("encoding[") != std::string::npos) {
            const size_t f = line.find("function offset=") + 16, e = line.find("]=") + 2;
            out.unwindEntries.push_back({num(line.substr(f, line.find(',', f) - f)), uint32_t(num(line.substr(e)))});
            continue;
        }
        if (line.rfind("  Version:", 0) == 0 || line.rfind("  Number of", 0) == 0 || line.rfind("  Common", 0) == 0 ||
            line.rfind("  Personality function array", 0) == 0 || line.rfind("  Index array", 0) == 0) {
            out.unwindHeader[line.substr(2, line.find(':') - 2)] = line.substr(line.find(':') + 1);
            continue;
        }
        if (fields != nullptr && !key.empty()) (*fields)[key] = rest;
    }
    return out;
}

uint32_t commandNumber(const std::string& name) {
    static const std::map<std::string, uint32_t> kNumbers = {
        {"LC_SEGMENT_64", 0x19},   {"LC_SYMTAB", 0x2},        {"LC_DYSYMTAB", 0xB},         {"LC_UUID", 0x1B},
        {"LC_ID_DYLIB", 0xD},      {"LC_DYLD_INFO_ONLY", 0x80000022}, {"LC_BUILD_VERSION", 0x32},
        {"LC_FUNCTION_STARTS", 0x26}, {"LC_DATA_IN_CODE", 0x29}};
    auto it = kNumbers.find(name);
    return it == kNumbers.end() ? uint32_t(num(name)) : it->second;
}

std::string uuidText(const uint8_t* b) {
    char text[40];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

// Every value llvm-objdump prints for the dylib, read again through the reader.
void compareWithObjdump(const std::string& file) {
    SCOPED_TRACE(file);
    const std::string path = fixtureDirectory() + "/" + file;
    const Objdump dump = runObjdump(path);
    ASSERT_EQ(dump.header.size(), 8u) << "llvm-objdump printed no header for " << path;
    LoadedImage loaded = loadDylib(path);
    Record record(loaded.header, path.c_str());
    ASSERT_EQ(record.err, QVCRASH_ESUCCESS);
    qvcrash_async_macho_t* image = &record.image;

    const qvcrash_macho_header_t& h = image->macho_header;
    EXPECT_EQ(h.magic, num(dump.header[0]));
    EXPECT_EQ(MSqvcrash_async_macho_cpu_type(image), num(dump.header[1]));
    EXPECT_EQ(MSqvcrash_async_macho_cpu_subtype(image), num(dump.header[2]));
    EXPECT_EQ(h.filetype, num(dump.header[4]));
    EXPECT_EQ(image->ncmds, num(dump.header[5]));
    EXPECT_EQ(h.sizeofcmds, num(dump.header[6]));
    EXPECT_EQ(h.flags, num(dump.header[7]));
    EXPECT_EQ(MSqvcrash_async_macho_header_size(image), 32u);
    EXPECT_TRUE(image->m64);

    size_t index = 0;
    for (const void* cmd = MSqvcrash_async_macho_next_command(image, nullptr); cmd != nullptr;
         cmd = MSqvcrash_async_macho_next_command(image, cmd), ++index) {
        ASSERT_LT(index, dump.commands.size());
        const auto& expected = dump.commands[index];
        SCOPED_TRACE("load command " + std::to_string(index) + " " + expected.fields.at("cmd"));
        qvcrash_macho_load_command_t lc;
        std::memcpy(&lc, cmd, sizeof lc);
        EXPECT_EQ(lc.cmd, commandNumber(expected.fields.at("cmd")));
        EXPECT_EQ(lc.cmdsize, num(expected.fields.at("cmdsize")));
        EXPECT_EQ(MSqvcrash_async_macho_find_command(image, lc.cmd) != nullptr, true);
        if (lc.cmd == QVCRASH_LC_SEGMENT_64) {
            qvcrash_async_macho_segment_t seg;
            ASSERT_TRUE(MSqvcrash_async_macho_read_segment(image, cmd, &seg));
            EXPECT_EQ(seg.segname, expected.fields.at("segname"));
            EXPECT_EQ(MSqvcrash_async_macho_find_segment_cmd(image, seg.segname), cmd);
            EXPECT_EQ(seg.vmaddr, num(expected.fields.at("vmaddr")));
            EXPECT_EQ(seg.vmsize, num(expected.fields.at("vmsize")));
            EXPECT_EQ(seg.fileoff, num(expected.fields.at("fileoff")));
            EXPECT_EQ(seg.filesize, num(expected.fields.at("filesize")));
            EXPECT_EQ(seg.maxprot, num(expected.fields.at("maxprot")));
            EXPECT_EQ(seg.initprot, num(expected.fields.at("initprot")));
            EXPECT_EQ(seg.flags, num(expected.fields.at("flags")));
            ASSERT_EQ(seg.nsects, num(expected.fields.at("nsects")));
            ASSERT_EQ(expected.sections.size(), seg.nsects);
            for (uint32_t i = 0; i < seg.nsects; ++i) {
                const auto& es = expected.sections[i];
                qvcrash_async_macho_section_t sect;
                ASSERT_TRUE(MSqvcrash_async_macho_read_section(image, &seg, i, &sect));
                EXPECT_EQ(sect.sectname, es.at("sectname"));
                EXPECT_EQ(sect.segname, es.at("segname"));
                EXPECT_EQ(sect.addr, num(es.at("addr")));
                EXPECT_EQ(sect.size, num(es.at("size")));
                EXPECT_EQ(sect.offset, num(es.at("offset")));
                EXPECT_EQ("2^" + std::to_string(sect.align), es.at("align").substr(0, es.at("align").find(' ')));
                EXPECT_EQ(sect.flags, num(es.at("flags")));
                // Mapped at its address plus the slide, whole.
                qvcrash_async_mobject_t mobj;
                ASSERT_EQ(MSqvcrash_async_macho_map_section(image, sect.segname, sect.sectname, &mobj), QVCRASH_ESUCCESS);
                EXPECT_EQ(MSqvcrash_async_mobject_base_address(&mobj), sect.addr + image->vmaddr_slide);
                EXPECT_EQ(MSqvcrash_async_mobject_length(&mobj), sect.size);
                MSqvcrash_async_mobject_free(&mobj);
            }
            if (seg.segname == std::string("__TEXT")) {
                EXPECT_EQ(image->text_vmaddr, seg.vmaddr);
                EXPECT_EQ(image->text_size, seg.vmsize);
                EXPECT_EQ(image->vmaddr_slide, loaded.slide());
            }
        } else if (lc.cmd == QVCRASH_LC_SYMTAB) {
            qvcrash_async_macho_lc_symtab_reader_t reader;
            ASSERT_EQ(MSqvcrash_async_macho_symtab_reader_init(&reader, image), QVCRASH_ESUCCESS);
            EXPECT_EQ(reader.nsyms, num(expected.fields.at("nsyms")));
            EXPECT_EQ(reader.string_table_size, num(expected.fields.at("strsize")));
            EXPECT_EQ(reinterpret_cast<const uint8_t*>(reader.symtab) - reinterpret_cast<const uint8_t*>(reader.string_table),
                      int64_t(num(expected.fields.at("symoff"))) - int64_t(num(expected.fields.at("stroff"))));
            MSqvcrash_async_macho_symtab_reader_free(&reader);
        } else if (lc.cmd == QVCRASH_LC_DYSYMTAB) {
            qvcrash_async_macho_lc_symtab_reader_t reader;
            ASSERT_EQ(MSqvcrash_async_macho_symtab_reader_init(&reader, image), QVCRASH_ESUCCESS);
            const size_t entry = sizeof(qvcrash_macho_nlist_64_t);
            auto indexOf = [&](const void* table) {
                return uint64_t((static_cast<const uint8_t*>(table) - static_cast<const uint8_t*>(reader.symtab)) / entry);
            };
            EXPECT_EQ(indexOf(reader.symtab_local), num(expected.fields.at("ilocalsym")));
            EXPECT_EQ(reader.nsyms_local, num(expected.fields.at("nlocalsym")));
            EXPECT_EQ(indexOf(reader.symtab_global), num(expected.fields.at("iextdefsym")));
            EXPECT_EQ(reader.nsyms_global, num(expected.fields.at("nextdefsym")));
            MSqvcrash_async_macho_symtab_reader_free(&reader);
        } else if (lc.cmd == QVCRASH_LC_UUID) {
            uint8_t uuid[16];
            size_t length = 0;
            ASSERT_EQ(MSqvcrash_async_macho_find_uuid(image, uuid, sizeof uuid, &length), QVCRASH_ESUCCESS);
            EXPECT_EQ(length, 16u);
            EXPECT_EQ(uuidText(uuid), expected.fields.at("uuid"));
        }
    }
    EXPECT_EQ(index, dump.commands.size());

    // Symbols: by name, and by an address inside each (the nearest symbol at or below it).
    ASSERT_FALSE(dump.symbols.empty());
    for (const auto& symbol : dump.symbols) {
        SCOPED_TRACE(symbol.name);
        uint64_t address = 0;
        ASSERT_EQ(MSqvcrash_async_macho_find_symbol_by_name(image, symbol.name.c_str(), &address), QVCRASH_ESUCCESS);
        EXPECT_EQ(address, symbol.value + image->vmaddr_slide);
        FoundSymbol f;
        ASSERT_EQ(MSqvcrash_async_macho_find_symbol_by_pc(image, address, recordSymbol, &f), QVCRASH_ESUCCESS);
        EXPECT_EQ(f.calls, 1);
        EXPECT_EQ(f.address, address);
        bool sameAddress = false;  // one of the symbols at that address
        for (const auto& other : dump.symbols) sameAddress |= other.name == f.name && other.value == symbol.value;
        EXPECT_TRUE(sameAddress) << f.name;
    }

    // The compact unwind table: header, and every entry found at its function's start.
    qvcrash_async_mobject_t section;
    ASSERT_EQ(MSqvcrash_async_macho_map_section(image, "__TEXT", "__unwind_info", &section), QVCRASH_ESUCCESS);
    qvcrash_async_cfe_reader_t reader;
    ASSERT_EQ(MSqvcrash_async_cfe_reader_init(&reader, &section, MSqvcrash_async_macho_cpu_type(image)), QVCRASH_ESUCCESS);
    EXPECT_EQ(reader.header.version, num(dump.unwindHeader.at("Version")));
    EXPECT_EQ(reader.header.common_encodings_offset, num(dump.unwindHeader.at("Common encodings array section offset")));
    EXPECT_EQ(reader.header.common_encodings_count, num(dump.unwindHeader.at("Number of common encodings in array")));
    EXPECT_EQ(reader.header.personality_count, num(dump.unwindHeader.at("Number of personality functions in array")));
    EXPECT_EQ(reader.header.index_offset, num(dump.unwindHeader.at("Index array section offset")));
    EXPECT_EQ(reader.header.index_count, num(dump.unwindHeader.at("Number of indices in array")));
    ASSERT_FALSE(dump.unwindEntries.empty());
    for (const auto& [offset, encoding] : dump.unwindEntries) {
        uint32_t foundOffset = 0, foundEncoding = 0;
        ASSERT_EQ(MSqvcrash_async_cfe_reader_find_pc(&reader, offset, &foundOffset, &foundEncoding), QVCRASH_ESUCCESS);
        EXPECT_EQ(foundOffset, offset);
        EXPECT_EQ(foundEncoding, encoding) << std::hex << offset;
    }
    MSqvcrash_async_mobject_free(&section);
}

}  // namespace

TEST(QVCrashMachOImage, ReadsLinkedDylibsAsObjdumpDoes) {
    QV_REQUIRE_MACHO_FIXTURES();
    compareWithObjdump("libqvunwind.dylib");
    compareWithObjdump("libqvobjc.dylib");
}

// Both widths in both byte orders, made by hand: the linker here writes only 64-bit images of
// the host's order.
TEST(QVCrashMachOImage, ReadsBothWidthsAndByteOrders) {
    for (bool is64 : {true, false}) {
        for (bool swapped : {false, true}) {
            SCOPED_TRACE(std::string(is64 ? "64" : "32") + (swapped ? " swapped" : " native"));
            MachOBuilder b(is64, swapped, is64 ? 0x1000007 : 7);
            const size_t text = b.addSection("__TEXT", "__text", 64);
            const size_t data = b.addSection("__DATA", "__data", 32);
            b.setUuid({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
            b.layout();
            const uint64_t t = b.section(text).addr;
            // Locals first, then the external definitions (the dynamic symbol table's order).
            b.addSymbol({"_local", 0x0E, 1, 0, t + 0x10});
            b.addSymbol({"_first", 0x0F, 1, 0, t});
            b.addSymbol({"_twin_a", 0x0F, 1, 0, t + 0x20});
            b.addSymbol({"_twin_b", 0x0F, 1, 0, t + 0x20});
            b.addSymbol({"_thumb", 0x0F, 1, 0x0008, t + 0x30});
            b.addSymbol({"_stab", 0x24, 1, 0, t + 0x38});  // a debugging entry: never a candidate
            const std::vector<uint8_t> bytes = b.build();
            Pages pages(bytes.size());
            std::memcpy(pages.data(), bytes.data(), bytes.size());
            Record r(pages.address());
            ASSERT_EQ(r.err, QVCRASH_ESUCCESS);
            qvcrash_async_macho_t* image = &r.image;
            EXPECT_EQ(image->m64, is64);
            EXPECT_EQ(MSqvcrash_async_macho_byteorder(image),
                      swapped ? MSqvcrash_async_byteorder_swapped() : MSqvcrash_async_byteorder_direct());
            EXPECT_EQ(MSqvcrash_async_macho_header_size(image), is64 ? 32u : 28u);
            EXPECT_EQ(MSqvcrash_async_macho_cpu_type(image), is64 ? 0x1000007u : 7u);
            EXPECT_EQ(MSqvcrash_async_macho_cpu_subtype(image), 3u);
            EXPECT_EQ(image->vmaddr_slide, pages.address() - b.linkBase());
            EXPECT_TRUE(MSqvcrash_async_macho_contains_address(image, pages.address() + 0x10));

            qvcrash_async_mobject_t mobj;
            ASSERT_EQ(MSqvcrash_async_macho_map_section(image, "__DATA", "__data", &mobj), QVCRASH_ESUCCESS);
            EXPECT_EQ(MSqvcrash_async_mobject_base_address(&mobj), b.section(data).addr + image->vmaddr_slide);
            MSqvcrash_async_mobject_free(&mobj);
            EXPECT_EQ(MSqvcrash_async_macho_map_section(image, "__DATA", "__bss", &mobj), QVCRASH_ENOTFOUND);
            EXPECT_EQ(MSqvcrash_async_macho_map_section(image, "__LINKEDIT", "__any", &mobj), QVCRASH_ENOTFOUND);
            qvcrash_async_macho_mapped_segment_t seg;
            ASSERT_EQ(MSqvcrash_async_macho_map_segment(image, "__DATA", &seg), QVCRASH_ESUCCESS);
            EXPECT_EQ(seg.fileoff, b.section(data).addr - b.linkBase());
            MSqvcrash_async_macho_mapped_segment_free(&seg);
            EXPECT_EQ(MSqvcrash_async_macho_map_segment(image, "__OBJC", &seg), QVCRASH_ENOTFOUND);

            uint8_t uuid[16];
            size_t length = 0;
            ASSERT_EQ(MSqvcrash_async_macho_find_uuid(image, uuid, sizeof uuid, &length), QVCRASH_ESUCCESS);
            EXPECT_EQ(uuid[0], 1);
            EXPECT_EQ(uuid[15], 16);

            const uint64_t slide = image->vmaddr_slide;
            struct Case {
                uint64_t pc;
                const char* name;
                uint64_t start;
            } cases[] = {
                {t + 4, "_first", t},       {t + 0x1F, "_local", t + 0x10},  // the local table is searched too
                {t + 0x28, "_twin_a", t + 0x20},                              // the first of equal values
                {t + 0x3F, "_thumb", t + 0x31},                               // normalized: bit 0 set
            };
            for (const Case& c : cases) {
                FoundSymbol f;
                ASSERT_EQ(MSqvcrash_async_macho_find_symbol_by_pc(image, c.pc + slide, recordSymbol, &f), QVCRASH_ESUCCESS);
                EXPECT_EQ(f.name, c.name);
                EXPECT_EQ(f.address, c.start + slide);
            }
            FoundSymbol none;
            EXPECT_EQ(MSqvcrash_async_macho_find_symbol_by_pc(image, t - 1 + slide, recordSymbol, &none), QVCRASH_ENOTFOUND);
            EXPECT_EQ(none.calls, 0);
            uint64_t address = 0;
            EXPECT_EQ(MSqvcrash_async_macho_find_symbol_by_name(image, "_twin_b", &address), QVCRASH_ESUCCESS);
            EXPECT_EQ(address, t + 0x20 + slide);
            EXPECT_EQ(MSqvcrash_async_macho_find_symbol_by_name(image, "_stab", &address), QVCRASH_ENOTFOUND);
        }
    }
}

TEST(QVCrashMachOImage, SearchesTheWholeTableWithoutDysymtabAndHasSlideZeroAtItsLinkAddress) {
    Pages pages(0x4000);
    MachOBuilder b(true, false, 0x1000007);
    b.setLinkBase(pages.address());
    b.setDysymtab(false);
    const size_t text = b.addSection("__TEXT", "__text", 32);
    b.layout();
    b.addSymbol({"_only", 0x0F, 1, 0, b.section(text).addr + 8});
    const std::vector<uint8_t> bytes = b.build();
    std::memcpy(pages.data(), bytes.data(), bytes.size());
    Record r(pages.address());
    ASSERT_EQ(r.err, QVCRASH_ESUCCESS);
    EXPECT_EQ(r.image.vmaddr_slide, 0u);
    FoundSymbol f;
    ASSERT_EQ(MSqvcrash_async_macho_find_symbol_by_pc(&r.image, b.section(text).addr + 9, recordSymbol, &f), QVCRASH_ESUCCESS);
    EXPECT_EQ(f.name, "_only");
    qvcrash_async_macho_lc_symtab_reader_t reader;
    ASSERT_EQ(MSqvcrash_async_macho_symtab_reader_init(&reader, &r.image), QVCRASH_ESUCCESS);
    EXPECT_EQ(reader.symtab_global, nullptr);
    EXPECT_EQ(reader.symtab_local, nullptr);
    MSqvcrash_async_macho_symtab_reader_free(&reader);
}

// Damaged images: each gives its code, never a fault.
TEST(QVCrashMachOImage, RefusesDamagedImagesWithCodes) {
    MachOBuilder b(true, false, 0x1000007);
    const size_t text = b.addSection("__TEXT", "__text", 32);
    b.layout();
    b.addSymbol({"_name", 0x0F, 1, 0, b.section(text).addr});
    const std::vector<uint8_t> good = b.build();
    const size_t firstCommand = 32, textSections = firstCommand + 72;  // __TEXT's command, then its section

    auto put32 = [](std::vector<uint8_t>& bytes, size_t at, uint32_t v) { std::memcpy(bytes.data() + at, &v, 4); };
    auto get32 = [&](size_t at) {
        uint32_t v;
        std::memcpy(&v, good.data() + at, 4);
        return v;
    };
    // The offsets of LC_SYMTAB and LC_DYSYMTAB (after __TEXT and __LINKEDIT).
    const size_t symtab = firstCommand + get32(firstCommand + 4) + 72, dysymtab = symtab + 24;
    ASSERT_EQ(get32(symtab), 2u);
    ASSERT_EQ(get32(dysymtab), 0xBu);

    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
        qvcrash_error_t init;     // of the record
        qvcrash_error_t section;  // of mapping __TEXT,__text
        qvcrash_error_t symbol;   // of a symbol lookup
        const char* sectname = "__text";
    } cases[] = {
        {"a universal archive", [&](auto& m) { put32(m, 0, 0xBEBAFECA); }, QVCRASH_EINVAL},
        {"a universal archive, swapped", [&](auto& m) { put32(m, 0, 0xCAFEBABE); }, QVCRASH_EINVAL},
        {"load commands beyond the mapping", [&](auto& m) { put32(m, 20, 0x10000000); }, QVCRASH_ENOMEM},
        {"no __TEXT", [&](auto& m) { std::memcpy(m.data() + firstCommand + 8, "__TEXX", 6); }, QVCRASH_EINVAL},
        {"a segment command cut short", [&](auto& m) { put32(m, 20, 40); put32(m, firstCommand + 4, 40); },
         QVCRASH_EINVAL},
        {"a zero command size after __TEXT", [&](auto& m) { put32(m, firstCommand + get32(firstCommand + 4) + 4, 0); },
         QVCRASH_ESUCCESS, QVCRASH_ESUCCESS, QVCRASH_ENOTFOUND},
        {"sections beyond the commands", [&](auto& m) { put32(m, firstCommand + 64, 4000); }, QVCRASH_ESUCCESS,
         QVCRASH_EINVAL, QVCRASH_ESUCCESS, "__missing"},
        {"a section beyond memory", [&](auto& m) { put32(m, textSections + 40, 0x7FFFFFF0); }, QVCRASH_ESUCCESS,
         QVCRASH_ENOMEM},
        {"dysymtab past the symbols", [&](auto& m) { put32(m, dysymtab + 16, 7); }, QVCRASH_ESUCCESS,
         QVCRASH_ESUCCESS, QVCRASH_EINVAL},
        {"symbols past __LINKEDIT", [&](auto& m) { put32(m, symtab + 12, 100000); }, QVCRASH_ESUCCESS,
         QVCRASH_ESUCCESS, QVCRASH_EINTERNAL},
        {"a name past __LINKEDIT", [&](auto& m) { put32(m, symtab + 20, 0x100000); }, QVCRASH_ESUCCESS,
         QVCRASH_ESUCCESS, QVCRASH_EINTERNAL},
        {"a string index past the strings", [&](auto& m) { put32(m, get32(symtab + 8), 5000); }, QVCRASH_ESUCCESS,
         QVCRASH_ESUCCESS, QVCRASH_EINVAL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes = good;
        c.damage(bytes);
        Pages pages(bytes.size());
        std::memcpy(pages.data(), bytes.data(), bytes.size());
        Record r(pages.address());
        ASSERT_EQ(r.err, c.init);
        if (r.err != QVCRASH_ESUCCESS) continue;
        qvcrash_async_mobject_t mobj;
        qvcrash_error_t err = MSqvcrash_async_macho_map_section(&r.image, "__TEXT", c.sectname, &mobj);
        EXPECT_EQ(err, c.section);
        if (err == QVCRASH_ESUCCESS) MSqvcrash_async_mobject_free(&mobj);
        FoundSymbol f;
        EXPECT_EQ(MSqvcrash_async_macho_find_symbol_by_pc(&r.image, pages.address() + 0x200, recordSymbol, &f), c.symbol);
    }
}
