// What turning a stored crash report into a crash log costs: a report of about 256 KiB (many
// threads with symbolicated frames, a few hundred images) decoded once and formatted per round.
#include <benchmark/benchmark.h>

#include <deque>
#include <string>
#include <vector>

#include "crashes/MSErrorLogFormatter.h"
#include "tests/crashreporter/BuiltReport.h"

namespace {

using namespace quorvane;

// threadCount threads framesPerThread deep, each frame symbolicated and in one of imageCount
// images.
platform::Bytes largeReport(int threadCount, int framesPerThread, int imageCount) {
    test::BuiltReport built;
    // No process section, as this bench has always measured. (A real report has one; the
    // formatter then compares every frame's image path with the process path and takes ~3x as long.)
    built.report.process_info = nullptr;
    std::deque<std::string> names;
    std::vector<uint64_t> bases;
    for (int i = 0; i < imageCount; ++i) {
        bases.push_back(0x7f0000000000ull + uint64_t(i) * 0x100000);
        names.push_back("/usr/lib/x86_64-linux-gnu/libbench" + std::to_string(i) + ".so.1");
        built.image(bases.back(), 0x80000, names.back().c_str());
    }
    size_t i = 0;
    for (int t = 0; t < threadCount; ++t) {
        std::vector<Qvcrash__CrashReport__Thread__StackFrame*> frames;
        for (int f = 0; f < framesPerThread; ++f, ++i)
            frames.push_back(built.frame(bases[i % bases.size()] + 0x1000 + i, "bench_function_with_a_long_name", bases[0]));
        built.thread(uint32_t(t), t == 0, frames);
    }
    return built.bytes();
}

void BM_FormatCrashReport(benchmark::State& state) {
    const auto bytes = largeReport(40, 128, 300);
    auto report = MSCrashReport::initWithData(bytes).valueOr(nullptr);
    if (!report) {
        state.SkipWithError("the built report does not decode");
        return;
    }
    MSErrorLogFormatter::errorLogFromCrashReport(*report);  // the device tracker's first look-up
    for (auto _ : state) benchmark::DoNotOptimize(MSErrorLogFormatter::errorLogFromCrashReport(*report));
    state.counters["reportBytes"] = double(bytes.size());
}
BENCHMARK(BM_FormatCrashReport)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
