// What a crash-time stack walk costs per frame: the engine's frame cursor (DWARF call-frame
// information, then frame pointers) against glibc's backtrace() over the same stack, from the
// same depth. Two stacks: one function recursing into itself, and a chain of eight different
// functions built -O2 without frame pointers (bench/chain), each with a call-frame entry of its
// own, as the stacks of optimised programs are. The engine's first walk through an image also copies that image's call-frame
// sections; later walks reuse the copy, as the walks of one report do. The goal is at most 10
// times backtrace()'s cost per frame.
#include <benchmark/benchmark.h>
#include <execinfo.h>

#include "bench/chain/UnwindChain.h"
#include "crashreporter/capture/QVCrashFrameWalker.h"
#include "platform/crash/TaskMemory.h"

using namespace quorvane;

namespace {

using Walk = void (*)(benchmark::State&);

// Recurses depth calls deep (no tail calls, no frame pointers needed) and runs the walk there.
[[gnu::noinline]] void descend(benchmark::State& state, int depth, Walk walk) {
    if (depth == 0) {
        walk(state);
    } else {
        descend(state, depth - 1, walk);
    }
    benchmark::ClobberMemory();
}

qvcrash_error_t walkStack(qvcrash_async_thread_state_t* thread, void* context) {
    qvframe_cursor_t cursor;
    MSqvframe_cursor_init(&cursor, quorvane::platform::crash::taskSelf(), thread, MSqvcrash_shared_image_list());
    size_t frames = 0;
    while (MSqvframe_cursor_next(&cursor) == QVFRAME_ESUCCESS) ++frames;
    MSqvframe_cursor_free(&cursor);
    *static_cast<size_t*>(context) = frames;
    return QVCRASH_ESUCCESS;
}

void engineWalk(benchmark::State& state) {
    size_t frames = 0;
    for (auto _ : state) MSqvcrash_async_thread_state_current(walkStack, &frames);
    state.counters["frames"] = static_cast<double>(frames);
    state.counters["per_frame"] = benchmark::Counter(static_cast<double>(frames),
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

void glibcBacktrace(benchmark::State& state) {
    void* addresses[512];
    int frames = 0;
    for (auto _ : state) {
        frames = ::backtrace(addresses, 512);
        benchmark::DoNotOptimize(addresses);
    }
    state.counters["frames"] = frames;
    state.counters["per_frame"] = benchmark::Counter(static_cast<double>(frames),
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

void BM_EngineFrameCursor(benchmark::State& state) {
    MSqvcrash_shared_image_list();
    descend(state, static_cast<int>(state.range(0)), engineWalk);
}
BENCHMARK(BM_EngineFrameCursor)->Arg(8)->Arg(32)->Arg(128);

void BM_GlibcBacktrace(benchmark::State& state) { descend(state, static_cast<int>(state.range(0)), glibcBacktrace); }
BENCHMARK(BM_GlibcBacktrace)->Arg(8)->Arg(32)->Arg(128);

// The same walks from the bottom of the optimised chain.
struct ChainWalk {
    benchmark::State* state;
    Walk walk;
};
void walkAtChainBottom(void* context) {
    auto* chain = static_cast<ChainWalk*>(context);
    chain->walk(*chain->state);
}

void BM_EngineFrameCursorOptimisedChain(benchmark::State& state) {
    MSqvcrash_shared_image_list();
    ChainWalk chain = {&state, engineWalk};
    qvchain_enter(static_cast<int>(state.range(0)), walkAtChainBottom, &chain);
}
BENCHMARK(BM_EngineFrameCursorOptimisedChain)->Arg(25)->Arg(65)->Arg(105);

void BM_GlibcBacktraceOptimisedChain(benchmark::State& state) {
    ChainWalk chain = {&state, glibcBacktrace};
    qvchain_enter(static_cast<int>(state.range(0)), walkAtChainBottom, &chain);
}
BENCHMARK(BM_GlibcBacktraceOptimisedChain)->Arg(25)->Arg(65)->Arg(105);

}  // namespace

BENCHMARK_MAIN();
