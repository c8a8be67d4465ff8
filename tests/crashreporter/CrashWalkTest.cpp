// Reports of crashes in optimised code without frame pointers: every frame walked to the thread's
// entry without a word on standard error, every frame named by the symbol that holds it, and the
// call-frame programs of real compilers' output read whole.

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <link.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crashreporter/capture/MSCrashReporter.h"
#include "crashreporter/capture/QVCrashAsyncDwarfCFAState.h"
#include "crashreporter/capture/QVCrashAsyncImage.h"
#include "crashreporter/report/QVCrashReport.pb-c.h"
#include "tests/crashreporter/CrashChild.h"
#include "tests/crashreporter/DwarfCallChain.h"
#include "tests/crashreporter/StackSymbols.h"

using namespace quorvane;
using namespace quorvane::qvcrash::MS::async;
using quorvane::test::readAll;
using quorvane::test::runInChild;
using quorvane::test::symbolAt;
namespace fs = std::filesystem;

extern "C" void qvtest_thread_parked_caller(std::atomic<int>* ready, std::atomic<int>* release);

namespace {

// The report of a crash in a child that enabled a reporter with the given symbol strategy, and
// what the child wrote to standard error.
struct ChildCrash {
    test::UnpackedReport report;
    std::string standardError;
};

std::unique_ptr<ChildCrash> crashInChild(const std::string& identifier, uint64_t strategy, int signal,
                                         const std::function<void()>& crash) {
    const std::string errors = (fs::temp_directory_path() / ("qv-walk-stderr-" + std::to_string(::getpid()))).string();
    const MSCrashReporterConfig config(MSCrashReporterSignalHandlerTypeBSD, strategy);
    auto child = runInChild([&] {
        int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || ::dup2(fd, STDERR_FILENO) < 0) return 5;
        auto reporter = MSCrashReporter::initWithApplicationIdentifier(identifier, "1", std::nullopt, config);
        if (!reporter->enableCrashReporter()) return 2;
        crash();
        return 3;
    });
    EXPECT_TRUE(child.signaled && child.signal == signal) << child.describe();
    auto result = std::make_unique<ChildCrash>();
    result->standardError = readAll(errors);
    fs::remove(errors);
    auto reporter = MSCrashReporter::initWithApplicationIdentifier(identifier, "1", std::nullopt, config);
    auto data = reporter->loadPendingCrashReportData();
    reporter->purgePendingCrashReport();
    EXPECT_TRUE(data && result->report.unpack(std::string(data->begin(), data->end()))) << "no report";
    return result;
}

// The names of a thread's frames, looked up in this process (a child is a copy of it): a return
// address inside the call before it.
std::vector<std::string> frameNames(const Qvcrash__CrashReport__Thread* thread) {
    std::vector<std::string> names;
    for (size_t f = 0; thread != nullptr && f < thread->n_frames; ++f) {
        names.push_back(symbolAt(thread->frames[f]->pc - (f > 0 ? 1 : 0)));
    }
    return names;
}

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& n : names) out += (n.empty() ? "?" : n) + " ";
    return out;
}

// The names in order, each after the one before (others may lie between).
bool inOrder(const std::vector<std::string>& names, const std::vector<std::string>& wanted) {
    size_t at = 0;
    for (const auto& n : names) {
        if (at < wanted.size() && n == wanted[at]) ++at;
    }
    return at == wanted.size();
}

}  // namespace

// g++ tracks the bytes pushed for a call's stack arguments (DW_CFA_GNU_args_size) in a function
// with cleanups; the walk reads past it, and ends at the program's entry, whose return address is
// undefined, without a line on standard error.
TEST(CrashWalk, CleanupFramesAreWalkedToTheProgramsEntryQuietly) {
    auto crash = crashInChild("walk.cleanups", MSCrashReporterSymbolicationStrategyNone, SIGSEGV,
                              [] { qvwalk_outer1(42 - 0); });
    const auto names = frameNames(crash->report.crashedThread());
    EXPECT_TRUE(inOrder(names, {"qvdwarf_many", "qvwalk_outer2", "qvwalk_outer1", "main"})) << joined(names);
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.back(), "_start") << joined(names);
    EXPECT_EQ(crash->standardError.find("eturn address"), std::string::npos) << crash->standardError;
    EXPECT_EQ(crash->standardError.find("Unsupported opcode"), std::string::npos) << crash->standardError;
}

// An abort passes through static functions of the C library: a frame is named only by a symbol
// whose extent holds it, never by the exported one before it.
TEST(CrashWalk, AbortFramesAreNamedOnlyBySymbolsThatHoldThem) {
    auto crash = crashInChild("walk.abort", MSCrashReporterSymbolicationStrategySymbolTable, SIGABRT,
                              [] { qvdwarf_abort_level1(1); });
    const auto* thread = crash->report.crashedThread();
    ASSERT_NE(thread, nullptr);
    bool namedAbort = false;
    for (size_t f = 0; f < thread->n_frames; ++f) {
        const auto* frame = thread->frames[f];
        if (frame->symbol == nullptr) continue;
        const std::string name = frame->symbol->name;
        namedAbort = namedAbort || name == "abort";
        const uint64_t lookup = frame->pc - (f > 0 ? 1 : 0);
        Dl_info info{};
        ElfW(Sym)* symbol = nullptr;
        if (::dladdr1(reinterpret_cast<void*>(frame->symbol->start_address), &info, reinterpret_cast<void**>(&symbol),
                      RTLD_DL_SYMENT) == 0 ||
            symbol == nullptr || info.dli_sname == nullptr || name != info.dli_sname) {
            continue;  // a name the dynamic symbols do not hold
        }
        if (symbol->st_size == 0) continue;
        EXPECT_LT(lookup - frame->symbol->start_address, symbol->st_size)
            << "frame " << f << " named " << name << " lies past its end";
    }
    EXPECT_TRUE(namedAbort);
}

// A library loaded by a relative path: its static function is named by the full symbol table;
// with that table damaged the exported symbols still name what they hold, and nothing else.
TEST(CrashWalk, LibraryStaticFunctionsAreNamedByTheirOwnSymbols) {
    struct Case {
        const char* what;
        bool damaged;
    };
    for (const Case c : {Case{"intact", false}, Case{"damaged symbol table", true}}) {
        SCOPED_TRACE(c.what);
        const fs::path dir = fs::temp_directory_path() / ("qv-walk-lib-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        const fs::path copy = dir / "libqvwalk.so";
        fs::copy_file(QUORVANE_LATE_LIBRARY, copy, fs::copy_options::overwrite_existing);
        if (c.damaged) {
            // The full symbol table's link to its strings points past the section table.
            std::fstream file(copy, std::ios::in | std::ios::out | std::ios::binary);
            Elf64_Ehdr header;
            file.read(reinterpret_cast<char*>(&header), sizeof header);
            bool found = false;
            for (uint16_t i = 0; i < header.e_shnum && !found; ++i) {
                Elf64_Shdr section;
                file.seekg(static_cast<std::streamoff>(header.e_shoff + i * sizeof section));
                file.read(reinterpret_cast<char*>(&section), sizeof section);
                if (section.sh_type != SHT_SYMTAB) continue;
                section.sh_link = 0xFFF0;
                file.seekp(static_cast<std::streamoff>(header.e_shoff + i * sizeof section));
                file.write(reinterpret_cast<const char*>(&section), sizeof section);
                found = true;
            }
            ASSERT_TRUE(found) << "the library has no full symbol table";
        }
        auto crash = crashInChild("walk.library", MSCrashReporterSymbolicationStrategySymbolTable, SIGSEGV, [&] {
            if (::chdir(dir.c_str()) != 0) return;
            void* library = ::dlopen("./libqvwalk.so", RTLD_NOW | RTLD_LOCAL);
            auto* crashInside = library ? reinterpret_cast<int (*)(int)>(::dlsym(library, "qvtest_late_library_static_crash"))
                                        : nullptr;
            if (crashInside != nullptr) crashInside(1);
        });
        fs::remove_all(dir);
        const auto* thread = crash->report.crashedThread();
        ASSERT_NE(thread, nullptr);
        ASSERT_GE(thread->n_frames, 2u);
        const auto* inner = thread->frames[0]->symbol;
        const auto* outer = thread->frames[1]->symbol;
        if (c.damaged) {
            EXPECT_TRUE(inner == nullptr || std::string(inner->name) != "qvtest_late_library_crash") << inner->name;
        } else {
            ASSERT_NE(inner, nullptr);
            EXPECT_STREQ(inner->name, "qvtest_late_static_crash");
        }
        ASSERT_NE(outer, nullptr);
        EXPECT_STREQ(outer->name, "qvtest_late_library_static_crash");
    }
}

// Fifty threads parked deep, named with the symbol table through the report's shared readers:
// every frame carries the name a lookup of its own gives, and every thread reaches its entry.
TEST(CrashWalk, EveryFrameOfEveryThreadIsNamedAsItsOwnLookupNamesIt) {
    constexpr int kThreads = 50;
    static std::atomic<int> ready[kThreads];
    static std::atomic<int> release{0};
    auto crash = crashInChild("walk.threads", MSCrashReporterSymbolicationStrategySymbolTable, SIGSEGV, [] {
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) threads.emplace_back(qvtest_thread_parked_caller, &ready[i], &release);
        for (int i = 0; i < kThreads; ++i) {
            while (ready[i].load() == 0) std::this_thread::yield();  // bounded by the child's alarm
        }
        qvwalk_outer1(42);
    });
    ASSERT_NE(crash->report.message, nullptr);
    EXPECT_EQ(crash->report.message->n_threads, static_cast<size_t>(kThreads + 1));
    size_t named = 0;
    std::map<uint64_t, std::string> own;  // the threads share their frames
    auto ownName = [&](uint64_t pc) {
        auto it = own.find(pc);
        return it != own.end() ? it->second : own[pc] = symbolAt(pc);
    };
    for (size_t t = 0; t < crash->report.message->n_threads; ++t) {
        const auto* thread = crash->report.message->threads[t];
        for (size_t f = 0; f < thread->n_frames; ++f) {
            const auto* frame = thread->frames[f];
            EXPECT_EQ(frame->symbol != nullptr ? std::string(frame->symbol->name) : std::string(),
                      ownName(frame->pc - (f > 0 ? 1 : 0)))
                << "thread " << t << " frame " << f;
            named += frame->symbol != nullptr;
        }
        ASSERT_GT(thread->n_frames, 0u);
        // The main thread ends at the program's entry, the others in the C library's thread start.
        const uint64_t last = thread->frames[thread->n_frames - 1]->pc - 1;
        Dl_info info{};
        const bool inLibc = ::dladdr(reinterpret_cast<void*>(last), &info) != 0 && info.dli_fname != nullptr &&
                            std::string(info.dli_fname).find("libc.so") != std::string::npos;
        EXPECT_TRUE(symbolAt(last) == "_start" || inLibc) << "thread " << t << " ends in " << symbolAt(last);
    }
    EXPECT_GT(named, static_cast<size_t>(kThreads) * 2);  // each parked thread at least in its two functions
    // Each walk ended at its thread's entry, whose return address is undefined, without a word.
    EXPECT_EQ(crash->standardError.find("eturn address"), std::string::npos) << crash->standardError.substr(0, 2000);
}

// Every call-frame program of a C++ program built by g++ and clang at -O2 and -O0 runs to its end:
// no opcode these compilers emit is one the unwinder cannot read.
TEST(CrashWalk, EveryCallFrameProgramOfRealCompilersRuns) {
#ifndef QUORVANE_CFA_FIXTURES
    GTEST_SKIP() << "built without g++ or clang++";
#else
    for (const char* name : {"libcfa_gxx_O2.so", "libcfa_gxx_O0.so", "libcfa_clangxx_O2.so", "libcfa_clangxx_O0.so"}) {
        SCOPED_TRACE(name);
        const std::string path = std::string(QUORVANE_CFA_FIXTURES) + "/" + name;
        void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << ::dlerror();
        Dl_info info{};
        ASSERT_NE(::dladdr(::dlsym(library, "qvcfa_entry"), &info), 0);
        qvcrash_async_macho_t image;
        ASSERT_EQ(MSqvcrash_nasync_macho_init(&image, quorvane::platform::crash::taskSelf(), path.c_str(),
                                              reinterpret_cast<uintptr_t>(info.dli_fbase)),
                  QVCRASH_ESUCCESS);
        qvcrash_async_mobject_t section;
        ASSERT_EQ(MSqvcrash_async_macho_map_section(&image, ".eh_frame", &section), QVCRASH_ESUCCESS);
        const auto* byteorder = MSqvcrash_async_byteorder_direct();
        const uint64_t base = MSqvcrash_async_mobject_base_address(&section);
        const uint64_t length = MSqvcrash_async_mobject_length(&section);
        gnu_ehptr_reader<uint64_t> pointers(byteorder);
        size_t programs = 0;
        for (uint64_t at = 0; at + 8 <= length;) {
            uint32_t size = 0, id = 0;
            ASSERT_EQ(MSqvcrash_async_mobject_read_uint32(&section, byteorder, base, static_cast<int64_t>(at), &size), 0u);
            if (size == 0) break;  // the terminator
            ASSERT_NE(size, 0xFFFFFFFFu) << "no 64-bit entries in these objects";
            ASSERT_EQ(MSqvcrash_async_mobject_read_uint32(&section, byteorder, base, static_cast<int64_t>(at + 4), &id), 0u);
            if (id != 0) {
                qvcrash_async_dwarf_fde_info_t fde;
                qvcrash_async_dwarf_cie_info_t cie;
                ASSERT_EQ(qvcrash_async_dwarf_fde_info_init<uint64_t>(&fde, &section, byteorder, base + at, false), 0u);
                ASSERT_EQ(qvcrash_async_dwarf_cie_info_init<uint64_t>(&cie, &section, byteorder, &pointers,
                                                                      base + fde.cie_offset),
                          0u);
                dwarf_cfa_state<uint64_t, int64_t> state;
                EXPECT_EQ(state.eval_program(&section, 0, fde.pc_start, &cie, &pointers, byteorder, base,
                                             cie.initial_instructions_offset, cie.initial_instructions_length),
                          QVCRASH_ESUCCESS)
                    << "CIE of the entry at " << at;
                EXPECT_EQ(state.eval_program(&section, 0, fde.pc_start, &cie, &pointers, byteorder, base,
                                             fde.instructions_offset, fde.instructions_length),
                          QVCRASH_ESUCCESS)
                    << "entry at " << at << " for " << symbolAt(fde.pc_start);
                ++programs;
            }
            at += 4 + static_cast<uint64_t>(size);
        }
        EXPECT_GT(programs, 8u);
        MSqvcrash_async_mobject_free(&section);
        MSqvcrash_nasync_macho_free(&image);
        ::dlclose(library);
    }
#endif
}
