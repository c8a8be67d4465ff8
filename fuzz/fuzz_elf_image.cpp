// The crash engine's image reader over a damaged ELF image. The image is written into the
// unused low end of the stack of a small child process (a "sleep"), which the reader then reads
// as its target task: whatever sizes and addresses the image claims, reads reach only that
// child's few megabytes of memory. The input is also offered as the image's file. Every lookup
// ends with a result code; names found lie inside the string tables they come from.

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

#include "crashreporter/QVCrashAsyncMachO.h"
#include "fuzz/FuzzCheck.h"

namespace {

constexpr size_t kImageBytes = 64 * 1024;

struct Target {
    pid_t pid = -1;
    uint64_t image = 0;  // where the image goes in the child
    int fileDescriptor = -1;
    char filePath[64] = {};
};

pid_t child;
void stopChild() {
    if (child > 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
}

Target& target() {
    static Target t = [] {
        Target made;
        made.pid = fork();
        FUZZ_CHECK(made.pid >= 0, "the target process is started");
        if (made.pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            execlp("sleep", "sleep", "100000", static_cast<char*>(nullptr));
            _exit(127);
        }
        child = made.pid;
        std::atexit(stopChild);
        // Once the child runs "sleep" (not the copy of this process that fork made), its stack
        // mapping: the low end is far below anything "sleep" uses.
        std::string proc = "/proc/" + std::to_string(made.pid);
        for (int attempt = 0; attempt < 5000; ++attempt) {
            std::string comm;
            std::getline(std::ifstream(proc + "/comm"), comm);
            if (comm == "sleep") break;
            usleep(1000);
        }
        for (int attempt = 0; attempt < 1000 && !made.image; ++attempt) {
            std::ifstream in(proc + "/maps");
            std::string line;
            while (std::getline(in, line)) {
                if (line.find("[stack]") == std::string::npos || line.find("/") != std::string::npos) continue;
                unsigned long long low = 0, high = 0;
                if (std::sscanf(line.c_str(), "%llx-%llx", &low, &high) == 2 && high - low >= 2 * kImageBytes)
                    made.image = low;
            }
            if (!made.image) usleep(1000);  // the child is still exec-ing
        }
        FUZZ_CHECK(made.image, "the target's stack is found");
        made.fileDescriptor = memfd_create("fuzz-image", 0);
        FUZZ_CHECK(made.fileDescriptor >= 0, "the image file is made");
        std::snprintf(made.filePath, sizeof made.filePath, "/proc/self/fd/%d", made.fileDescriptor);
        return made;
    }();
    return t;
}

void noteSymbol(uint64_t, const char* name, void* context) {
    FUZZ_CHECK(name, "a found symbol has a name");
    *static_cast<size_t*>(context) += std::strlen(name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kImageBytes) size = kImageBytes;
    Target& t = target();
    static std::vector<uint8_t> buffer(kImageBytes);
    std::fill(buffer.begin(), buffer.end(), 0);
    std::memcpy(buffer.data(), data, size);
    iovec local{buffer.data(), kImageBytes}, remote{reinterpret_cast<void*>(t.image), kImageBytes};
    FUZZ_CHECK(process_vm_writev(t.pid, &local, 1, &remote, 1, 0) == ssize_t(kImageBytes), "the image is written");
    FUZZ_CHECK(ftruncate(t.fileDescriptor, 0) == 0 && pwrite(t.fileDescriptor, data, size, 0) == ssize_t(size),
               "the image file is written");

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
