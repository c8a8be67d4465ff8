#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <link.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "crashreporter/capture/QVCrashAsyncImage.h"
#include "platform/crash/TaskMemory.h"

using namespace quorvane;

extern "C" __attribute__((noinline, used)) int qvtest_image_reader_known_function(int x) {
    asm volatile("");
    return x * 3 + 1;
}

namespace {

const qvcrash_task_t kSelf = quorvane::platform::crash::taskSelf();

uint64_t addressOf(const void* p) { return reinterpret_cast<uintptr_t>(p); }

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> out(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
    return out;
}

// The build id as the file on disk has it, found through the section headers (the reader uses
// the loaded program headers instead).
std::vector<uint8_t> buildIdFromFile(const std::string& path) {
    std::vector<uint8_t> file = readFile(path);
    if (file.size() < sizeof(Elf64_Ehdr)) return {};
    Elf64_Ehdr eh;
    std::memcpy(&eh, file.data(), sizeof(eh));
    for (size_t i = 0; i < eh.e_shnum; ++i) {
        Elf64_Shdr sh;
        std::memcpy(&sh, file.data() + eh.e_shoff + i * sizeof(sh), sizeof(sh));
        if (sh.sh_type != SHT_NOTE) continue;
        size_t at = sh.sh_offset, end = sh.sh_offset + sh.sh_size;
        const size_t align = sh.sh_addralign == 8 ? 8 : 4;
        while (at + 12 <= end) {
            Elf64_Nhdr nh;
            std::memcpy(&nh, file.data() + at, sizeof(nh));
            size_t name = at + 12, desc = name + ((nh.n_namesz + align - 1) & ~(align - 1));
            if (nh.n_type == NT_GNU_BUILD_ID && nh.n_namesz == 4 && std::memcmp(file.data() + name, "GNU", 4) == 0) {
                return {file.begin() + desc, file.begin() + desc + nh.n_descsz};
            }
            at = desc + ((nh.n_descsz + align - 1) & ~(align - 1));
        }
    }
    return {};
}

std::string executablePath() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

// A record for the image holding the code address.
class ImageOf {
public:
    explicit ImageOf(const void* code) {
        Dl_info info{};
        EXPECT_NE(::dladdr(code, &info), 0);
        header = addressOf(info.dli_fbase);
        path = info.dli_fname;
        if (path.empty() || path[0] != '/') path = executablePath();  // the main program
        err = MSqvcrash_nasync_macho_init(&image, kSelf, path.c_str(), header);
    }
    ~ImageOf() {
        if (err == QVCRASH_ESUCCESS) MSqvcrash_nasync_macho_free(&image);
    }
    qvcrash_async_macho_t image{};
    qvcrash_error_t err;
    uint64_t header;
    std::string path;
};

struct FoundSymbol {
    int calls = 0;
    uint64_t address = 0;
    std::string name;
};

void recordSymbol(uint64_t address, const char* name, void* context) {
    auto* found = static_cast<FoundSymbol*>(context);
    ++found->calls;
    found->address = address;
    found->name = name;
}

void* libcHandle() { return ::dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD); }

}  // namespace

TEST(QVCrashAsyncImage, ReadsTheTestProgramsOwnImage) {
    ImageOf own(reinterpret_cast<const void*>(&qvtest_image_reader_known_function));
    ASSERT_EQ(own.err, QVCRASH_ESUCCESS);
    qvcrash_async_macho_t* image = &own.image;

    EXPECT_EQ(image->header_addr, own.header);
    EXPECT_STREQ(image->name, own.path.c_str());
    EXPECT_EQ(MSqvcrash_async_macho_cpu_type(image), unsigned(EM_X86_64));
    EXPECT_EQ(MSqvcrash_async_macho_header_size(image), sizeof(Elf64_Ehdr));
    EXPECT_EQ(MSqvcrash_async_macho_byteorder(image), MSqvcrash_async_byteorder_direct());
    EXPECT_EQ(std::memcmp(MSqvcrash_async_macho_header(image)->e_ident, ELFMAG, SELFMAG), 0);
    EXPECT_NE(image->file_map, nullptr);

    // The slide is the loader's bias for this image.
    std::pair<uint64_t, uint64_t> headerAndBias{own.header, UINT64_MAX};
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            auto* out = static_cast<std::pair<uint64_t, uint64_t>*>(data);
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const auto& ph = info->dlpi_phdr[i];
                if (ph.p_type == PT_LOAD && ph.p_offset == 0 && info->dlpi_addr + ph.p_vaddr == out->first) {
                    out->second = info->dlpi_addr;
                    return 1;
                }
            }
            return 0;
        },
        &headerAndBias);
    const uint64_t bias = headerAndBias.second;
    EXPECT_EQ(image->vmaddr_slide, bias);

    // Every program header is walked, and each type is found where the walk saw it.
    unsigned count = 0, loads = 0;
    for (const void* cmd = MSqvcrash_async_macho_next_command(image, nullptr); cmd != nullptr;
         cmd = MSqvcrash_async_macho_next_command(image, cmd)) {
        Elf64_Phdr ph;
        ASSERT_TRUE(MSqvcrash_async_macho_read_segment(image, cmd, &ph));
        ++count;
        if (ph.p_type == PT_LOAD) ++loads;
    }
    EXPECT_EQ(count, image->ncmds);
    EXPECT_EQ(count, MSqvcrash_async_macho_header(image)->e_phnum);
    unsigned loadsByType = 0;
    for (const void* cmd = MSqvcrash_async_macho_find_command(image, PT_LOAD); cmd != nullptr;
         cmd = MSqvcrash_async_macho_next_command_type(image, cmd, PT_LOAD)) {
        ++loadsByType;
    }
    EXPECT_EQ(loadsByType, loads);
    EXPECT_GE(loads, 1u);

    // The build id is the one in the file on disk.
    std::vector<uint8_t> expected = buildIdFromFile(own.path);
    ASSERT_FALSE(expected.empty()) << "the test program has no build id";
    uint8_t uuid[64];
    size_t length = 0;
    ASSERT_EQ(MSqvcrash_async_macho_find_uuid(image, uuid, sizeof(uuid), &length), QVCRASH_ESUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(uuid, uuid + length), expected);
    // A short buffer gets the leading bytes.
    ASSERT_EQ(MSqvcrash_async_macho_find_uuid(image, uuid, 4, &length), QVCRASH_ESUCCESS);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(std::memcmp(uuid, expected.data(), 4), 0);

    // The image holds its own code and data, and not what lies before its header.
    EXPECT_TRUE(MSqvcrash_async_macho_contains_address(image, addressOf((void*)&qvtest_image_reader_known_function)));
    EXPECT_TRUE(MSqvcrash_async_macho_contains_address(image, own.header));
    EXPECT_FALSE(MSqvcrash_async_macho_contains_address(image, own.header - 1));
    EXPECT_FALSE(MSqvcrash_async_macho_contains_address(image, own.header + image->text_size));
}

TEST(QVCrashAsyncImage, MapsSegmentsAndSections) {
    ImageOf own(reinterpret_cast<const void*>(&qvtest_image_reader_known_function));
    ASSERT_EQ(own.err, QVCRASH_ESUCCESS);
    const uint64_t fn = addressOf((void*)&qvtest_image_reader_known_function);

    qvcrash_async_macho_mapped_segment_t segment;
    ASSERT_EQ(MSqvcrash_async_macho_map_segment(&own.image, PT_DYNAMIC, &segment), QVCRASH_ESUCCESS);
    EXPECT_GT(MSqvcrash_async_mobject_length(&segment.mobj), 0u);
    EXPECT_GT(segment.fileoff, 0u);
    MSqvcrash_async_macho_mapped_segment_free(&segment);
    EXPECT_EQ(MSqvcrash_async_macho_map_segment(&own.image, PT_SHLIB, &segment), QVCRASH_ENOTFOUND);

    // An allocated section comes from the loaded image and holds the code.
    qvcrash_async_mobject_t text;
    ASSERT_EQ(MSqvcrash_async_macho_map_section(&own.image, ".text", &text), QVCRASH_ESUCCESS);
    EXPECT_LE(MSqvcrash_async_mobject_base_address(&text), fn);
    EXPECT_GT(MSqvcrash_async_mobject_base_address(&text) + MSqvcrash_async_mobject_length(&text), fn);
    const void* code = qvcrash_async_mobject_remap_address(&text, fn, 0, 8);
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(std::memcmp(code, reinterpret_cast<const void*>(fn), 8), 0);
    MSqvcrash_async_mobject_free(&text);

    // A section that is not loaded comes from the file.
    qvcrash_async_mobject_t comment;
    ASSERT_EQ(MSqvcrash_async_macho_map_section(&own.image, ".comment", &comment), QVCRASH_ESUCCESS);
    const char* c = static_cast<const char*>(
        qvcrash_async_mobject_remap_address(&comment, MSqvcrash_async_mobject_base_address(&comment), 0, 4));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(std::string(c, 4), "GCC:");
    MSqvcrash_async_mobject_free(&comment);

    EXPECT_EQ(MSqvcrash_async_macho_map_section(&own.image, ".no_such_section", &text), QVCRASH_ENOTFOUND);
    EXPECT_EQ(MSqvcrash_async_macho_map_section(&own.image, ".tex", &text), QVCRASH_ENOTFOUND);
}

TEST(QVCrashAsyncImage, FindsSymbolsByAddressAndByName) {
    // From the full symbol table of the file.
    ImageOf own(reinterpret_cast<const void*>(&qvtest_image_reader_known_function));
    ASSERT_EQ(own.err, QVCRASH_ESUCCESS);
    const uint64_t fn = addressOf((void*)&qvtest_image_reader_known_function);
    FoundSymbol found;
    ASSERT_EQ(MSqvcrash_async_macho_find_symbol_by_pc(&own.image, fn + 3, recordSymbol, &found), QVCRASH_ESUCCESS);
    EXPECT_EQ(found.calls, 1);
    EXPECT_EQ(found.address, fn);
    EXPECT_EQ(found.name, "qvtest_image_reader_known_function");
    uint64_t address = 0;
    ASSERT_EQ(MSqvcrash_async_macho_find_symbol_by_name(&own.image, "qvtest_image_reader_known_function", &address),
              QVCRASH_ESUCCESS);
    EXPECT_EQ(address, fn);
    EXPECT_EQ(MSqvcrash_async_macho_find_symbol_by_name(&own.image, "qvtest_no_such_symbol", &address),
              QVCRASH_ENOTFOUND);

    // From the dynamic symbols of a shared library, as the loader resolves them.
    void* libc = libcHandle();
    ASSERT_NE(libc, nullptr);
    void* getpidAddress = ::dlsym(libc, "getpid");
    ASSERT_NE(getpidAddress, nullptr);
    ImageOf libcImage(getpidAddress);
    ASSERT_EQ(libcImage.err, QVCRASH_ESUCCESS);
    qvcrash_async_macho_symtab_reader_t reader;
    ASSERT_EQ(MSqvcrash_async_macho_symtab_reader_init(&reader, &libcImage.image), QVCRASH_ESUCCESS);
    EXPECT_TRUE(reader.dynamic_symbols.present);
    EXPECT_GT(reader.dynamic_symbols.nsyms, 100u);
    MSqvcrash_async_macho_symtab_reader_free(&reader);

    ASSERT_EQ(MSqvcrash_async_macho_find_symbol_by_name(&libcImage.image, "getpid", &address), QVCRASH_ESUCCESS);
    EXPECT_EQ(address, addressOf(getpidAddress));
    found = {};
    ASSERT_EQ(MSqvcrash_async_macho_find_symbol_by_pc(&libcImage.image, addressOf(getpidAddress) + 1, recordSymbol,
                                                      &found),
              QVCRASH_ESUCCESS);
    EXPECT_EQ(found.address, addressOf(getpidAddress));
    EXPECT_EQ(::dlsym(libc, found.name.c_str()), getpidAddress) << found.name;  // getpid or an alias of it
    ::dlclose(libc);
}

namespace {

// A hand-made image in this process's memory: an ELF header followed by program headers.
struct FakeImage {
    alignas(16) uint8_t bytes[4096] = {};
    Elf64_Ehdr* header() { return reinterpret_cast<Elf64_Ehdr*>(bytes); }
    Elf64_Phdr* phdr(int i) { return reinterpret_cast<Elf64_Phdr*>(bytes + sizeof(Elf64_Ehdr)) + i; }
    uint64_t address() const { return reinterpret_cast<uintptr_t>(bytes); }

    FakeImage() {
        std::memcpy(header()->e_ident, ELFMAG, SELFMAG);
        header()->e_ident[EI_CLASS] = ELFCLASS64;
        header()->e_ident[EI_DATA] = ELFDATA2LSB;
        header()->e_machine = EM_X86_64;
        header()->e_phoff = sizeof(Elf64_Ehdr);
        header()->e_phentsize = sizeof(Elf64_Phdr);
        header()->e_phnum = 2;
        phdr(0)->p_type = PT_NOTE;
        phdr(1)->p_type = PT_LOAD;
        phdr(1)->p_offset = 0;
        phdr(1)->p_memsz = 0x2000;
    }
};

}  // namespace

TEST(QVCrashAsyncImage, RefusesDamagedImagesWithCodes) {
    qvcrash_async_macho_t image{};
    // Unreadable header.
    EXPECT_EQ(MSqvcrash_nasync_macho_init(&image, kSelf, "nowhere", 16), QVCRASH_EINTERNAL);
    EXPECT_EQ(image.name, nullptr);  // the name copy is released again

    // Not ELF, 32-bit ELF, unknown byte order.
    {
        FakeImage fake;
        fake.header()->e_ident[0] = 0;
        EXPECT_EQ(MSqvcrash_nasync_macho_init(&image, kSelf, "fake", fake.address()), QVCRASH_EINVAL);
    }
    {
        FakeImage fake;
        fake.header()->e_ident[EI_CLASS] = ELFCLASS32;
        EXPECT_EQ(MSqvcrash_nasync_macho_init(&image, kSelf, "fake", fake.address()), QVCRASH_EINVAL);
    }
    {
        FakeImage fake;
        fake.header()->e_ident[EI_DATA] = 7;
        EXPECT_EQ(MSqvcrash_nasync_macho_init(&image, kSelf, "fake", fake.address()), QVCRASH_EINVAL);
    }
    // Program headers out in unmapped memory.
    {
        FakeImage fake;
        fake.header()->e_phoff = 0x7000000000000000ULL - fake.address();
        EXPECT_EQ(MSqvcrash_nasync_macho_init(&image, kSelf, "fake", fake.address()), QVCRASH_ENOMEM);
    }
    // No loadable segment holds the header.
    {
        FakeImage fake;
        fake.phdr(1)->p_offset = 0x1000;
        EXPECT_EQ(MSqvcrash_nasync_macho_init(&image, kSelf, "fake", fake.address()), QVCRASH_EINVAL);
    }
}

TEST(QVCrashAsyncImage, ReadsNothingBeyondWhatADamagedImageReallyHolds) {
    // Claims of a damaged image, each of which once made the reader copy whatever memory lay
    // there: an extent past the sane limit or past the address space is refused at once; a note
    // segment that leaves the image or is larger than any real one is not read.
    const struct {
        const char* claim;
        uint64_t loadSize, noteOffset, noteSize;
        qvcrash_error_t init, note;
    } cases[] = {
        {"sane image", 0x2000, 0x100, 0x40, QVCRASH_ESUCCESS, QVCRASH_ESUCCESS},
        {"extent of 1 TiB", 1ULL << 40, 0x100, 0x40, QVCRASH_EINVAL, QVCRASH_ESUCCESS},
        {"extent past the address space", ~0ULL - 0x10, 0x100, 0x40, QVCRASH_EINVAL, QVCRASH_ESUCCESS},
        {"note past the image's end", 0x2000, 0x1f00, 0x1000, QVCRASH_ESUCCESS, QVCRASH_EINVAL},
        {"note before the image", 0x2000, ~0ULL - 0xfff, 0x40, QVCRASH_ESUCCESS, QVCRASH_EINVAL},
        {"note of 1 GiB inside a 2 GiB image", 2ULL << 30, 0x100, 1ULL << 30, QVCRASH_ESUCCESS, QVCRASH_EINVAL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.claim);
        FakeImage fake;
        fake.phdr(1)->p_memsz = c.loadSize;
        fake.phdr(0)->p_vaddr = c.noteOffset;
        fake.phdr(0)->p_memsz = c.noteSize;
        qvcrash_async_macho_t image{};
        ASSERT_EQ(MSqvcrash_nasync_macho_init(&image, kSelf, "fake", fake.address()), c.init);
        if (c.init != QVCRASH_ESUCCESS) continue;
        qvcrash_async_macho_mapped_segment_t note;
        const qvcrash_error_t mapped = MSqvcrash_async_macho_map_segment(&image, PT_NOTE, &note);
        EXPECT_EQ(mapped, c.note);
        if (mapped == QVCRASH_ESUCCESS) MSqvcrash_async_macho_mapped_segment_free(&note);
        uint8_t uuid[20];
        size_t length = 0;
        EXPECT_EQ(MSqvcrash_async_macho_find_uuid(&image, uuid, sizeof(uuid), &length), QVCRASH_ENOTFOUND);
        MSqvcrash_nasync_macho_free(&image);
    }
}

TEST(QVCrashAsyncImage, AHandMadeImageGetsItsSlideAndExtent) {
    FakeImage fake;
    qvcrash_async_macho_t image{};
    // Linked at 0: the slide is the header address.
    ASSERT_EQ(MSqvcrash_nasync_macho_init(&image, kSelf, "fake", fake.address()), QVCRASH_ESUCCESS);
    EXPECT_EQ(image.vmaddr_slide, fake.address());
    EXPECT_EQ(image.text_size, 0x2000u);
    EXPECT_EQ(image.file_map, nullptr);  // "fake" is not a file
    EXPECT_TRUE(MSqvcrash_async_macho_contains_address(&image, fake.address() + 0x1fff));
    EXPECT_FALSE(MSqvcrash_async_macho_contains_address(&image, fake.address() + 0x2000));
    EXPECT_NE(MSqvcrash_async_macho_find_command(&image, PT_NOTE), nullptr);
    EXPECT_EQ(MSqvcrash_async_macho_find_command(&image, PT_DYNAMIC), nullptr);
    // No dynamic section, no file: no symbols, no sections, no build id.
    FoundSymbol found;
    EXPECT_EQ(MSqvcrash_async_macho_find_symbol_by_pc(&image, fake.address() + 8, recordSymbol, &found),
              QVCRASH_ENOTFOUND);
    EXPECT_EQ(found.calls, 0);
    qvcrash_async_mobject_t mobj;
    EXPECT_EQ(MSqvcrash_async_macho_map_section(&image, ".text", &mobj), QVCRASH_ENOTFOUND);
    uint8_t uuid[20];
    size_t length;
    EXPECT_EQ(MSqvcrash_async_macho_find_uuid(&image, uuid, sizeof(uuid), &length), QVCRASH_ENOTFOUND);
    MSqvcrash_nasync_macho_free(&image);

    // Linked at its own address: slide 0. A second loadable segment extends the image.
    fake.phdr(1)->p_vaddr = fake.address();
    fake.phdr(0)->p_type = PT_LOAD;
    fake.phdr(0)->p_offset = 0x3000;
    fake.phdr(0)->p_vaddr = fake.address() + 0x3000;
    fake.phdr(0)->p_memsz = 0x100;
    ASSERT_EQ(MSqvcrash_nasync_macho_init(&image, kSelf, "fake", fake.address()), QVCRASH_ESUCCESS);
    EXPECT_EQ(image.vmaddr_slide, 0u);
    EXPECT_EQ(image.text_vmaddr, fake.address());
    EXPECT_EQ(image.text_size, 0x3100u);
    MSqvcrash_nasync_macho_free(&image);
}

TEST(QVCrashAsyncImage, ReadsABigEndianImageThroughTheSwappingTable) {
    FakeImage fake;
    auto* h = fake.header();
    h->e_ident[EI_DATA] = ELFDATA2MSB;
    h->e_machine = __builtin_bswap16(EM_PPC64);
    h->e_flags = __builtin_bswap32(2);
    h->e_phoff = __builtin_bswap64(sizeof(Elf64_Ehdr));
    h->e_phentsize = __builtin_bswap16(sizeof(Elf64_Phdr));
    h->e_phnum = __builtin_bswap16(2);
    fake.phdr(0)->p_type = __builtin_bswap32(PT_NOTE);
    fake.phdr(1)->p_type = __builtin_bswap32(PT_LOAD);
    fake.phdr(1)->p_vaddr = __builtin_bswap64(0x10000);
    fake.phdr(1)->p_memsz = __builtin_bswap64(0x4000);

    qvcrash_async_macho_t image{};
    ASSERT_EQ(MSqvcrash_nasync_macho_init(&image, kSelf, "fake", fake.address()), QVCRASH_ESUCCESS);
    EXPECT_EQ(MSqvcrash_async_macho_byteorder(&image), MSqvcrash_async_byteorder_swapped());
    EXPECT_EQ(MSqvcrash_async_macho_cpu_type(&image), unsigned(EM_PPC64));
    EXPECT_EQ(MSqvcrash_async_macho_cpu_subtype(&image), 2u);
    EXPECT_EQ(image.ncmds, 2u);
    EXPECT_EQ(image.text_vmaddr, 0x10000u);
    EXPECT_EQ(image.text_size, 0x4000u);
    EXPECT_EQ(image.vmaddr_slide, fake.address() - 0x10000);
    Elf64_Phdr ph;
    ASSERT_TRUE(MSqvcrash_async_macho_read_segment(&image, MSqvcrash_async_macho_find_command(&image, PT_LOAD), &ph));
    EXPECT_EQ(ph.p_memsz, 0x4000u);
    MSqvcrash_nasync_macho_free(&image);
}
