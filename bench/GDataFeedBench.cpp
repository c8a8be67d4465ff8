// Contacts feeds of 1k, 10k and 50k entries (and 3k for the forked parses): parse, read every field, generate and copy through the
// GData model, each beside libxml2's own parse + tree walk and dump of the same bytes.
// Items per second are entries per second; compare the rows of one size with each other.
//
// The in-process rows run one side after the other on one heap, which the earlier rows leave
// fragmented, so the later side pays for the earlier one's leftovers. The "Forked" rows compare
// the two parses fairly and run first: every iteration runs in a child forked from the same parent
// (which has only the feed bytes of every size and the initialised libraries), so each starts from
// the same heap state with the same bytes, and the child times its own parse, walk and teardown
// (wall time, and CPU time as "cpu_ms").

#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <map>
#include <memory>
#include <string>

#include "gdata/GDataContactConstants.h"
#include "gdata/GDataFeedBase.h"
#include "tests/support/ContactsFeedGenerator.h"
#include "tests/support/GDataBenchSupport.h"

using namespace quorvane;

namespace {

const std::string& feedText(size_t n) {
    static std::map<size_t, std::string> cache;
    auto& s = cache[n];
    if (s.empty()) s = testing::generateContactsFeed({n, 7, true});
    return s;
}

platform::Bytes feedBytes(size_t n) {
    const auto& s = feedText(n);
    return platform::Bytes(s.begin(), s.end());
}

size_t walk(xmlNodePtr node) {
    size_t count = 0;
    for (xmlNodePtr n = node; n; n = n->next) {
        ++count;
        if (n->type == XML_ELEMENT_NODE) {
            benchmark::DoNotOptimize(n->name);
            for (xmlAttrPtr a = n->properties; a; a = a->next) {
                xmlChar* v = xmlNodeGetContent(reinterpret_cast<xmlNodePtr>(a));
                benchmark::DoNotOptimize(v);
                xmlFree(v);
            }
        } else if (n->type == XML_TEXT_NODE) {
            benchmark::DoNotOptimize(n->content);
        }
        count += walk(n->children);
    }
    return count;
}

void BM_LibXml2ParseWalk(benchmark::State& state) {
    size_t n = size_t(state.range(0));
    const auto& text = feedText(n);
    // One untimed pass first, so both sides start with the allocator warmed up.
    xmlFreeDoc(xmlReadMemory(text.data(), int(text.size()), nullptr, nullptr, XML_PARSE_NOBLANKS | XML_PARSE_NOCDATA));
    for (auto _ : state) {
        xmlDocPtr doc = xmlReadMemory(text.data(), int(text.size()), nullptr, nullptr,
                                      XML_PARSE_NOBLANKS | XML_PARSE_NOCDATA | XML_PARSE_NONET);
        benchmark::DoNotOptimize(walk(xmlDocGetRootElement(doc)));
        xmlFreeDoc(doc);
    }
    state.SetItemsProcessed(int64_t(state.iterations() * n));
}

void BM_LibXml2Dump(benchmark::State& state) {
    size_t n = size_t(state.range(0));
    const auto& text = feedText(n);
    xmlDocPtr doc = xmlReadMemory(text.data(), int(text.size()), nullptr, nullptr,
                                  XML_PARSE_NOBLANKS | XML_PARSE_NOCDATA | XML_PARSE_NONET);
    for (auto _ : state) {
        xmlChar* out = nullptr;
        int len = 0;
        xmlDocDumpMemory(doc, &out, &len);
        benchmark::DoNotOptimize(out);
        xmlFree(out);
    }
    xmlFreeDoc(doc);
    state.SetItemsProcessed(int64_t(state.iterations() * n));
}

void BM_ModelParse(benchmark::State& state) {
    size_t n = size_t(state.range(0));
    auto bytes = feedBytes(n);
    benchsupport::parseContactsFeed(bytes);  // untimed warm-up pass
    for (auto _ : state) {
        auto feed = benchsupport::parseContactsFeed(bytes);
        if (!feed || feed->entryCount() != n) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(feed);
    }
    state.SetItemsProcessed(int64_t(state.iterations() * n));
}

void BM_ModelReadFields(benchmark::State& state) {
    size_t n = size_t(state.range(0));
    auto feed = benchsupport::parseContactsFeed(feedBytes(n));
    for (auto _ : state) benchmark::DoNotOptimize(benchsupport::readEveryField(*feed));
    state.SetItemsProcessed(int64_t(state.iterations() * n));
}

void BM_ModelGenerate(benchmark::State& state) {
    size_t n = size_t(state.range(0));
    auto feed = benchsupport::parseContactsFeed(feedBytes(n));
    for (auto _ : state) {
        auto data = feed->XMLDocument()->XMLData();
        benchmark::DoNotOptimize(data);
    }
    state.SetItemsProcessed(int64_t(state.iterations() * n));
}

void BM_ModelCopy(benchmark::State& state) {
    size_t n = size_t(state.range(0));
    auto feed = benchsupport::parseContactsFeed(feedBytes(n));
    for (auto _ : state) benchmark::DoNotOptimize(feed->copy());
    state.SetItemsProcessed(int64_t(state.iterations() * n));
}

// Runs `work` in a child forked from this process and answers the wall and CPU seconds the child
// measured (the CPU time is the steadier figure on a busy machine); negative when the child failed.
struct ChildTimes {
    double wall = -1, cpu = -1;
};

double processCPUSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

template <class Work>
ChildTimes timesInForkedChild(Work work) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = processCPUSeconds();
        bool ok = work();
        ChildTimes times{std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                         processCPUSeconds() - cpuStart};
        if (!ok) times = {};
        ssize_t written = ::write(pipeFds[1], &times, sizeof times);
        ::_exit(written == sizeof times ? 0 : 1);
    }
    ::close(pipeFds[1]);
    ChildTimes times;
    if (pid < 0 || ::read(pipeFds[0], &times, sizeof times) != sizeof times) times = {};
    ::close(pipeFds[0]);
    int status = 0;
    if (pid > 0) ::waitpid(pid, &status, 0);
    return times;
}

// The feed as the service holds it.
const platform::Bytes& preparedBytes(size_t n) {
    static std::map<size_t, platform::Bytes> cache;
    auto& bytes = cache[n];
    if (bytes.empty()) bytes = feedBytes(n);
    return bytes;
}

// Every size's bytes made before the first fork, so each child starts from the same heap.
void prepareForkedParses() {
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    xmlInitParser();
    registerContactClasses();
    for (size_t n : {1000, 3000, 10000, 50000}) preparedBytes(n);
}

void BM_LibXml2ParseWalkForked(benchmark::State& state) {
    size_t n = size_t(state.range(0));
    prepareForkedParses();
    const auto& text = feedText(n);
    double cpu = 0;
    for (auto _ : state) {
        ChildTimes times = timesInForkedChild([&] {
            xmlDocPtr doc = xmlReadMemory(text.data(), int(text.size()), nullptr, nullptr,
                                          XML_PARSE_NOBLANKS | XML_PARSE_NOCDATA | XML_PARSE_NONET);
            if (!doc) return false;
            benchmark::DoNotOptimize(walk(xmlDocGetRootElement(doc)));
            xmlFreeDoc(doc);
            return true;
        });
        if (times.wall < 0) return state.SkipWithError("the child failed");
        state.SetIterationTime(times.wall);
        cpu += times.cpu;
    }
    state.counters["cpu_ms"] = cpu * 1000 / double(state.iterations());
    state.SetItemsProcessed(int64_t(state.iterations() * n));
}

void BM_ModelParseForked(benchmark::State& state) {
    size_t n = size_t(state.range(0));
    prepareForkedParses();
    const auto& bytes = preparedBytes(n);
    double cpu = 0;
    for (auto _ : state) {
        ChildTimes times = timesInForkedChild([&] {
            auto feed = benchsupport::parseContactsFeed(bytes);
            bool ok = feed && feed->entryCount() == n;
            feed.reset();
            return ok;
        });
        if (times.wall < 0) return state.SkipWithError("the child failed");
        state.SetIterationTime(times.wall);
        cpu += times.cpu;
    }
    state.counters["cpu_ms"] = cpu * 1000 / double(state.iterations());
    state.SetItemsProcessed(int64_t(state.iterations() * n));
}

}  // namespace

// The fair comparison first, while this process has done nothing but make the feeds (so the heap
// every child starts from is the same whatever rows run), and also at 3k, where a feed of a few
// pages sits.
#define FORKED_SIZES ->Arg(1000)->Arg(3000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond)->UseManualTime()
BENCHMARK(BM_LibXml2ParseWalkForked) FORKED_SIZES;
BENCHMARK(BM_ModelParseForked) FORKED_SIZES;
#define SIZES ->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond)
BENCHMARK(BM_LibXml2ParseWalk) SIZES;
BENCHMARK(BM_ModelParse) SIZES;
BENCHMARK(BM_ModelReadFields) SIZES;
BENCHMARK(BM_LibXml2Dump) SIZES;
BENCHMARK(BM_ModelGenerate) SIZES;
BENCHMARK(BM_ModelCopy) SIZES;

BENCHMARK_MAIN();
