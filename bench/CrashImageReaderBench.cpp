// What fault-free reading costs: a memory object over a table against a plain copy of it, and a
// symbol lookup by address through the image reader against the loader's own dladdr.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstring>
#include <vector>

#include "crashreporter/capture/QVCrashAsyncImage.h"
#include "platform/crash/TaskMemory.h"

using namespace quorvane;

namespace {

void BM_MemoryObject(benchmark::State& state) {
    std::vector<char> table(static_cast<size_t>(state.range(0)), 'x');
    const auto task = quorvane::platform::crash::taskSelf();
    for (auto _ : state) {
        qvcrash_async_mobject_t mobj;
        MSqvcrash_async_mobject_init(&mobj, task, reinterpret_cast<uintptr_t>(table.data()), table.size(), true);
        benchmark::DoNotOptimize(qvcrash_async_mobject_remap_address(&mobj, mobj.task_address, 0, 1));
        MSqvcrash_async_mobject_free(&mobj);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_MemoryObject)->Range(4096, 4 << 20);

void BM_PlainCopy(benchmark::State& state) {
    std::vector<char> table(static_cast<size_t>(state.range(0)), 'x');
    std::vector<char> copy(table.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), table.data(), table.size());
        benchmark::DoNotOptimize(copy.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_PlainCopy)->Range(4096, 4 << 20);

void* getpidAddress() {
    static void* address = ::dlsym(::dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD), "getpid");
    return address;
}

void BM_ImageReaderSymbolByPc(benchmark::State& state) {
    Dl_info info{};
    ::dladdr(getpidAddress(), &info);
    qvcrash_async_macho_t image{};
    MSqvcrash_nasync_macho_init(&image, quorvane::platform::crash::taskSelf(), info.dli_fname,
                                reinterpret_cast<uintptr_t>(info.dli_fbase));
    for (auto _ : state) {
        uint64_t found = 0;
        MSqvcrash_async_macho_find_symbol_by_pc(
            &image, reinterpret_cast<uintptr_t>(getpidAddress()) + 1,
            [](uint64_t address, const char*, void* context) { *static_cast<uint64_t*>(context) = address; }, &found);
        benchmark::DoNotOptimize(found);
    }
    MSqvcrash_nasync_macho_free(&image);
}
BENCHMARK(BM_ImageReaderSymbolByPc);

void BM_Dladdr(benchmark::State& state) {
    for (auto _ : state) {
        Dl_info info{};
        benchmark::DoNotOptimize(::dladdr(static_cast<char*>(getpidAddress()) + 1, &info));
    }
}
BENCHMARK(BM_Dladdr);

}  // namespace
BENCHMARK_MAIN();
