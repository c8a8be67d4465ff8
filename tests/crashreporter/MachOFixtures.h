#pragma once
// Mach-O images for the image reader's tests: the dylibs linked at build time from
// tests/data/crashreporter/macho (loaded here the way the loader would: segments at their
// offsets from __TEXT, pointers rebased), and images made by hand for what the linker cannot
// make (32-bit and byte-swapped images, regular unwind pages, DWARF-mode entries, legacy
// Objective-C metadata).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "crashreporter/capture/QVCrashAsyncMachOFile.h"
#include "platform/crash/TaskMemory.h"

namespace machofixtures {

using namespace quorvane;

// An image record of this process's memory at header, freed with the object.
struct Record {
    explicit Record(uint64_t header, const char* name = "fixture.dylib")
        : err(MSqvcrash_nasync_macho_init(&image, quorvane::platform::crash::taskSelf(), name, header)) {}
    ~Record() {
        if (err == QVCRASH_ESUCCESS) MSqvcrash_nasync_macho_free(&image);
    }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    qvcrash_async_macho_t image{};
    qvcrash_error_t err;
};

// What a symbol lookup reported: how often, and the last start and name.
struct FoundSymbol {
    int calls = 0;
    uint64_t address = 0;
    std::string name;
};
void recordSymbol(uint64_t address, const char* name, void* context);

// The fixtures' directory, or a skip of the calling test when the toolchain is absent.
#define QV_REQUIRE_MACHO_FIXTURES()                                                                          \
    do {                                                                                                     \
        if (machofixtures::fixtureDirectory().empty())                                                       \
            GTEST_SKIP() << "clang, ld64.lld or llvm-objdump were not found when the build was configured; " \
                            "scripts/setup installs them";                                                   \
    } while (0)

// The directory of the linked fixtures, or "" when the toolchain was not found at configure time.
std::string fixtureDirectory();
std::string objdumpTool();
std::vector<uint8_t> readFile(const std::string& path);
// Standard output of a command.
std::string runCommand(const std::string& command);

// Private read-write pages; below 4 GiB on request (32-bit images hold 32-bit pointers).
class Pages {
public:
    Pages(size_t length, bool low = false);
    ~Pages();
    Pages(const Pages&) = delete;
    Pages& operator=(const Pages&) = delete;
    uint8_t* data() const { return base_; }
    uint64_t address() const { return reinterpret_cast<uintptr_t>(base_); }
    size_t size() const { return length_; }

private:
    uint8_t* base_;
    size_t length_;
};

// A linked 64-bit dylib loaded into private pages: each segment's bytes at its offset from
// __TEXT, every rebase of its dyld info applied for the load address.
struct LoadedImage {
    std::unique_ptr<Pages> pages;
    uint64_t header = 0;
    uint64_t textVmaddr = 0;
    uint64_t slide() const { return header - textVmaddr; }
};
LoadedImage loadDylib(const std::string& path);

// Writes values in an image's width and byte order.
struct Writer {
    bool swap = false;
    void u8(std::vector<uint8_t>& out, uint8_t v) const { out.push_back(v); }
    void u16(std::vector<uint8_t>& out, uint16_t v) const;
    void u32(std::vector<uint8_t>& out, uint32_t v) const;
    void u64(std::vector<uint8_t>& out, uint64_t v) const;
    void put32(std::vector<uint8_t>& out, size_t at, uint32_t v) const;
    void put64(std::vector<uint8_t>& out, size_t at, uint64_t v) const;
};

// A hand-made image: header, segments with sections, LC_SYMTAB (+ LC_DYSYMTAB), LC_UUID. File
// layout equals memory layout, so loading is copying the bytes to the load address. Sections
// get their addresses from layout(); their contents are written after that.
class MachOBuilder {
public:
    struct Section {
        std::string segment, name;
        std::vector<uint8_t> data;
        uint64_t addr = 0;  // link-time address, after layout
    };
    struct Symbol {
        std::string name;
        uint8_t type;   // n_type
        uint8_t sect;   // 1-based section number
        uint16_t desc;
        uint64_t value;
    };

    MachOBuilder(bool is64, bool swapped, uint32_t cputype, uint32_t cpusubtype = 3);
    // Adds a zero-filled section (segments are made in order of first mention, __TEXT first).
    size_t addSection(const std::string& segment, const std::string& name, size_t size);
    void addSymbol(const Symbol& symbol) { symbols_.push_back(symbol); }
    void setDysymtab(bool on) { dysymtab_ = on; }
    void setUuid(const std::vector<uint8_t>& uuid) { uuid_ = uuid; }
    void setLinkBase(uint64_t base) { linkBase_ = base; }
    // Gives every section its link-time address; the runtime address adds loadAddress - linkBase.
    void layout();
    Section& section(size_t index) { return sections_[index]; }
    uint64_t linkBase() const { return linkBase_; }
    const Writer& writer() const { return writer_; }
    bool is64() const { return is64_; }
    // The image's bytes.
    std::vector<uint8_t> build() const;

private:
    struct Segment {
        std::string name;
        uint64_t vmaddr = 0, vmsize = 0;
        std::vector<size_t> sections;
    };
    size_t commandsSize() const;

    bool is64_, dysymtab_ = true;
    Writer writer_;
    uint32_t cputype_, cpusubtype_;
    uint64_t linkBase_ = 0x1000;
    std::vector<Segment> segments_;
    std::vector<Section> sections_;
    std::vector<Symbol> symbols_;
    std::vector<uint8_t> uuid_;
    uint64_t linkeditAt_ = 0;
};

}  // namespace machofixtures
