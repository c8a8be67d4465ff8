// Memory kept by a parsed contacts feed of 1k, 10k and 50k entries: libxml2's own tree of the
// same bytes beside the GData model's feed (its objects and whatever XML it keeps). The counter
// "bytes" is the growth of the heap in use (mallinfo2) while the result is alive; "per_entry"
// divides it by the entries. Compare the two rows of one size: the goal is the model at most
// 1.5 times libxml2's tree.

#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <malloc.h>

#include <map>
#include <string>

#include "gdata/GDataFeedBase.h"
#include "tests/support/ContactsFeedGenerator.h"
#include "tests/support/GDataBenchSupport.h"

using namespace quorvane;

namespace {

const platform::Bytes& feedBytes(size_t n) {
    static std::map<size_t, platform::Bytes> cache;
    auto& bytes = cache[n];
    if (bytes.empty()) {
        auto text = testing::generateContactsFeed({n, 7, true});
        bytes.assign(text.begin(), text.end());
    }
    return bytes;
}

size_t heapInUse() {
    malloc_trim(0);
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Runs `keep` once per iteration and reports what its result holds on to.
template <class Make>
void measure(benchmark::State& state, Make make) {
    size_t n = size_t(state.range(0));
    const auto& bytes = feedBytes(n);
    double grown = 0;
    for (auto _ : state) {
        size_t before = heapInUse();
        auto kept = make(bytes);
        size_t after = heapInUse();
        grown = double(after) - double(before);
        benchmark::DoNotOptimize(kept);
    }
    state.counters["bytes"] = grown;
    state.counters["per_entry"] = grown / double(n);
}

void BM_LibXml2TreeMemory(benchmark::State& state) {
    measure(state, [](const platform::Bytes& bytes) {
        auto doc = xmlReadMemory(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()), nullptr, nullptr,
                                 XML_PARSE_NOBLANKS | XML_PARSE_NOCDATA | XML_PARSE_NONET);
        return std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)>(doc, xmlFreeDoc);
    });
}

void BM_ModelFeedMemory(benchmark::State& state) {
    measure(state, [](const platform::Bytes& bytes) { return benchsupport::parseContactsFeed(bytes); });
}

}  // namespace

#define SIZES ->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond)->Iterations(1)
BENCHMARK(BM_LibXml2TreeMemory) SIZES;
BENCHMARK(BM_ModelFeedMemory) SIZES;

BENCHMARK_MAIN();
