// What a whole crash report costs: the writer run as at crash time (every other thread suspended,
// every stack walked twice, the images listed) in a process of 50 threads parked 24 frames deep,
// into a file with the crash-time size limit, without symbols and with the symbol tables.
// Counters give the report's size and the threads and frames it holds. The goals: under 10 ms
// without symbols, under 50 ms with them.
#include <benchmark/benchmark.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "crashreporter/capture/MSCrashLogWriter.h"
#include "crashreporter/report/QVCrashReport.pb-c.h"

using namespace quorvane;

namespace {

std::atomic<int> gParked{0};
std::atomic<int> gRelease{0};

[[gnu::noinline]] void parkDeep(int depth) {
    if (depth > 0) {
        parkDeep(depth - 1);
    } else {
        gParked.fetch_add(1);
        while (gRelease.load() == 0) {
            ::syscall(SYS_futex, reinterpret_cast<int*>(&gRelease), FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
        }
    }
    benchmark::ClobberMemory();
}

struct ParkedThreads {
    std::vector<std::thread> threads;
    explicit ParkedThreads(int count) {
        gParked.store(0);
        gRelease.store(0);
        for (int i = 0; i < count; ++i) threads.emplace_back([] { parkDeep(19); });
        while (gParked.load() < count) std::this_thread::yield();
    }
    ~ParkedThreads() {
        gRelease.store(1);
        ::syscall(SYS_futex, reinterpret_cast<int*>(&gRelease), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
        for (auto& t : threads) t.join();
    }
};

struct Write {
    qvcrash_log_writer_t* writer;
    qvcrash_async_file_t* file;
    qvcrash_log_signal_info_t* siginfo;
};

qvcrash_error_t writeFromHere(qvcrash_async_thread_state_t* state, void* context) {
    auto* w = static_cast<Write*>(context);
    return MSqvcrash_log_writer_write(w->writer, MSpl_mach_thread_self(), MSqvcrash_shared_image_list(), w->file,
                                      w->siginfo, state);
}

void BM_CrashReportOf50Threads(benchmark::State& state) {
    MSqvcrash_shared_image_list();
    ParkedThreads parked(50);
    qvcrash_log_writer_t writer;
    MSqvcrash_log_writer_init(&writer, "bench.app", "1", nullptr, static_cast<uint32_t>(state.range(0)), false);
    qvcrash_log_bsd_info_t bsd = {SIGSEGV, SEGV_MAPERR, nullptr};
    qvcrash_log_signal_info_t siginfo = {&bsd};
    const int fd = ::memfd_create("crash-report-bench", 0);
    qvcrash_async_file_t file;
    Write write = {&writer, &file, &siginfo};

    for (auto _ : state) {
        ::ftruncate(fd, 0);
        ::lseek(fd, 0, SEEK_SET);
        MSqvcrash_async_file_init(&file, fd, kQVCrashReportMaxSize);
        if (MSqvcrash_async_thread_state_current(writeFromHere, &write) != QVCRASH_ESUCCESS) {
            state.SkipWithError("the report was not written whole");
            break;
        }
        MSqvcrash_async_file_flush(&file);
    }

    // What the last report holds.
    const off_t size = ::lseek(fd, 0, SEEK_END);
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    ::pread(fd, bytes.data(), bytes.size(), 0);
    if (auto* r = qvcrash__crash_report__unpack(nullptr, bytes.size() - 8, bytes.data() + 8)) {
        size_t frames = 0;
        for (size_t i = 0; i < r->n_threads; ++i) frames += r->threads[i]->n_frames;
        state.counters["threads"] = static_cast<double>(r->n_threads);
        state.counters["frames"] = static_cast<double>(frames);
        state.counters["images"] = static_cast<double>(r->n_binary_images);
        qvcrash__crash_report__free_unpacked(r, nullptr);
    } else {
        state.SkipWithError("the report does not decode");
    }
    state.counters["bytes"] = static_cast<double>(size);
    ::close(fd);
    MSqvcrash_log_writer_free(&writer);
}
// Without symbols (the default strategy) and with the symbol table.
BENCHMARK(BM_CrashReportOf50Threads)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
