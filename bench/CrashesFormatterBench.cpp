// What turning a stored crash report into a crash log costs: a report of about 256 KiB (many
// threads with symbolicated frames, a few hundred images) decoded once and formatted per round.
#include <benchmark/benchmark.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "crashes/MSErrorLogFormatter.h"
#include "crashreporter/report/QVCrashReport.pb-c.h"

namespace {

using namespace quorvane;

platform::Bytes largeReport(int threadCount, int framesPerThread, int imageCount) {
    Qvcrash__CrashReport report = QVCRASH__CRASH_REPORT__INIT;
    Qvcrash__CrashReport__SystemInfo system = QVCRASH__CRASH_REPORT__SYSTEM_INFO__INIT;
    Qvcrash__CrashReport__ApplicationInfo application = QVCRASH__CRASH_REPORT__APPLICATION_INFO__INIT;
    Qvcrash__CrashReport__Signal signal = QVCRASH__CRASH_REPORT__SIGNAL__INIT;
    Qvcrash__CrashReport__Processor processor = QVCRASH__CRASH_REPORT__PROCESSOR__INIT;
    system.os_version = const_cast<char*>("6.1.0");
    system.architecture = QVCRASH__ARCHITECTURE__X86_64;
    system.timestamp = 1700000000;
    application.identifier = const_cast<char*>("bench.app");
    application.version = const_cast<char*>("1");
    signal.name = const_cast<char*>("SIGSEGV");
    signal.code = const_cast<char*>("SEGV_MAPERR");
    processor.has_encoding = 1;
    processor.encoding = QVCRASH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH;
    processor.type = 16777223;
    processor.subtype = 3;

    std::deque<std::string> names;
    std::vector<Qvcrash__CrashReport__BinaryImage> images(static_cast<size_t>(imageCount));
    std::vector<Qvcrash__CrashReport__BinaryImage*> imagePointers;
    for (int i = 0; i < imageCount; ++i) {
        auto& image = images[static_cast<size_t>(i)];
        qvcrash__crash_report__binary_image__init(&image);
        image.base_address = 0x7f0000000000ull + uint64_t(i) * 0x100000;
        image.size = 0x80000;
        image.name = names.emplace_back("/usr/lib/x86_64-linux-gnu/libbench" + std::to_string(i) + ".so.1").data();
        image.code_type = &processor;
        imagePointers.push_back(&image);
    }
    Qvcrash__CrashReport__Symbol symbol = QVCRASH__CRASH_REPORT__SYMBOL__INIT;
    symbol.name = const_cast<char*>("bench_function_with_a_long_name");
    std::vector<Qvcrash__CrashReport__Thread__StackFrame> frames(size_t(threadCount) * size_t(framesPerThread));
    std::vector<Qvcrash__CrashReport__Thread__StackFrame*> framePointers;
    for (size_t i = 0; i < frames.size(); ++i) {
        qvcrash__crash_report__thread__stack_frame__init(&frames[i]);
        frames[i].pc = images[i % images.size()].base_address + 0x1000 + i;
        frames[i].symbol = &symbol;
        framePointers.push_back(&frames[i]);
    }
    symbol.start_address = images[0].base_address;
    std::vector<Qvcrash__CrashReport__Thread> threads(static_cast<size_t>(threadCount));
    std::vector<Qvcrash__CrashReport__Thread*> threadPointers;
    for (int t = 0; t < threadCount; ++t) {
        auto& thread = threads[static_cast<size_t>(t)];
        qvcrash__crash_report__thread__init(&thread);
        thread.thread_number = uint32_t(t);
        thread.crashed = t == 0;
        thread.n_frames = size_t(framesPerThread);
        thread.frames = framePointers.data() + size_t(t) * size_t(framesPerThread);
        threadPointers.push_back(&thread);
    }
    report.system_info = &system;
    report.application_info = &application;
    report.signal = &signal;
    report.n_threads = threadPointers.size();
    report.threads = threadPointers.data();
    report.n_binary_images = imagePointers.size();
    report.binary_images = imagePointers.data();
    platform::Bytes out(8 + qvcrash__crash_report__get_packed_size(&report));
    std::memcpy(out.data(), "qvcrash\x01", 8);
    qvcrash__crash_report__pack(&report, out.data() + 8);
    return out;
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
