// Memory kept by a parsed contacts feed of 1k, 10k and 50k entries: libxml2's own tree of the
// same bytes beside the GData model's feed (its objects and whatever XML it keeps). The counter
// "bytes" is the growth of the heap in use (mallinfo2) while the result is alive; "per_entry"
// divides it by the entries. Compare the two rows of one size: the goal is the model at most
// 1.5 times libxml2's tree.
//
// BM_KeptPagesMemory is a run's download of 10k, 50k and 100k generated contacts in pages of
// 10,000 (page:0) or in one page (page:1): with keep:1 each page is kept on disk and its entries put in the place of their
// summaries as it comes (GoogleContactCache), with keep:0 the pages' entries are all held, as
// they are without a kept list. "peak" is the most the heap grew while a page was parsed beside
// what the pages before it left, "bytes" what the whole list holds at the end.

#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <malloc.h>

#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>

#include "gdata/GDataFeedBase.h"
#include "gdata/GDataFeedContact.h"
#include "sync/GoogleContactCache.h"
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

// A page of `count` generated contacts (every element a contact entry declares), each entry
// declaring its namespaces as the provider's entries do, so that it can be written on its own.
platform::Bytes contactsPage(uint32_t seed, size_t count) {
    std::string text = testing::generateContactsFeed({count, seed, false});
    const std::string declared =
        "<entry xmlns:gContact='http://schemas.google.com/contact/2008' xmlns:gd='http://schemas.google.com/g/2005' ";
    std::string out;
    out.reserve(text.size() + count * declared.size());
    size_t at = 0;
    for (size_t e = text.find("<entry "); e != std::string::npos; e = text.find("<entry ", at)) {
        out.append(text, at, e - at);
        out += declared;
        at = e + 7;
    }
    out.append(text, at, std::string::npos);
    return platform::Bytes(out.begin(), out.end());
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

void BM_KeptPagesMemory(benchmark::State& state) {
    const size_t n = size_t(state.range(0));
    const bool keep = state.range(1) != 0;
    // page:1 sends the whole list as one page, kept (keep:1) 5,000 entries at a time as it is
    // parsed, as the service shows a page handler the entries of a large page.
    const size_t kPage = state.range(2) ? n : 10000;
    const size_t pages = (n + kPage - 1) / kPage;
    std::vector<platform::Bytes> pageBytes;
    for (size_t p = 0; p < pages; ++p) pageBytes.push_back(contactsPage(uint32_t(p + 1), std::min(kPage, n - p * kPage)));
    const auto folder = std::filesystem::temp_directory_path() / ("quorvane-bench-pages-" + std::to_string(::getpid()));
    double peak = 0, held = 0;
    for (auto _ : state) {
        const size_t before = heapInUse();
        auto cache = GoogleContactCache::empty({"owner@example.com", "https://example.com/feed"});
        if (!cache->beginList(folder)) return state.SkipWithError("the pages cannot be kept");
        std::vector<std::shared_ptr<GDataEntryBase>> list;
        for (size_t p = 0; p < pages; ++p) {
            std::optional<GDataFeedBase::TakenEntriesScope> shown;
            if (keep)
                shown.emplace(
                    [&](const GDataFeedBase& feed, std::vector<std::shared_ptr<GDataEntryBase>>& entries) {
                        auto part = GDataFeedContact::contactFeed();
                        part->setNamespaces(feed.namespaces());
                        part->setEntries(entries);
                        if (!cache->keepPage(*part)) return;
                        entries = *part->entries();
                        peak = std::max(peak, double(heapInUse()) - double(before));
                    },
                    5000);
            // As the service parses a page: of the version it asks for, unknown elements kept.
            auto parsed = GDataObject::objectWithXMLData(pageBytes[p], &GDataFeedContact::staticClassInfo(),
                                                         std::nullopt, nullptr, false);
            auto page = parsed ? std::dynamic_pointer_cast<GDataFeedContact>(*parsed) : nullptr;
            if (!page) return state.SkipWithError("a page does not parse");
            peak = std::max(peak, double(heapInUse()) - double(before));
            if (keep && !cache->keepPage(*page)) return state.SkipWithError("a page cannot be kept");
            if (page->entries()) list.insert(list.end(), page->entries()->begin(), page->entries()->end());
        }
        if (keep && cache->count() != n) return state.SkipWithError("not every entry was kept");
        held = double(heapInUse()) - double(before);
        peak = std::max(peak, held);
        benchmark::DoNotOptimize(list);
    }
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    state.counters["peak"] = peak;
    state.counters["bytes"] = held;
    state.counters["per_entry"] = held / double(n);
}

// Entries of the kind the provider sends: a name, two e-mail addresses, two phone numbers, the
// links and one group membership.
platform::Bytes providerPage(size_t first, size_t count) {
    std::string out =
        "<?xml version='1.0' encoding='UTF-8'?>\n<feed xmlns='http://www.w3.org/2005/Atom' "
        "xmlns:openSearch='http://a9.com/-/spec/opensearch/1.1/' xmlns:gContact='http://schemas.google.com/contact/2008' "
        "xmlns:gd='http://schemas.google.com/g/2005'><id>owner@example.com</id><updated>2026-11-30T10:20:30.000Z</updated>"
        "<title>Contacts</title><openSearch:totalResults>" + std::to_string(count) + "</openSearch:totalResults>\n";
    for (size_t i = first; i < first + count; ++i) {
        const std::string n = std::to_string(i);
        const std::string base = "https://example.com/m8/feeds/contacts/owner%40example.com/full/c" + n;
        out += "<entry xmlns:gContact='http://schemas.google.com/contact/2008' xmlns:gd='http://schemas.google.com/g/2005' "
               "gd:etag='&quot;E" + n + ".&quot;'><id>http://example.com/m8/feeds/contacts/owner%40example.com/base/c" + n +
               "</id><updated>2026-11-21T08:15:30.123Z</updated><category scheme='http://schemas.google.com/g/2005#kind' "
               "term='http://schemas.google.com/contact/2008#contact'/><title>Given" + n + " Family</title>"
               "<link rel='http://schemas.google.com/contacts/2008/rel#photo' type='image/*' href='" + base + "/photo'/>"
               "<link rel='self' type='application/atom+xml' href='" + base + "'/><link rel='edit' "
               "type='application/atom+xml' href='" + base + "'/><gd:name><gd:fullName>Given" + n +
               " Family</gd:fullName><gd:givenName>Given" + n + "</gd:givenName><gd:familyName>Family</gd:familyName>"
               "</gd:name><gd:email rel='http://schemas.google.com/g/2005#home' address='c" + n +
               "@example.com' primary='true'/><gd:email rel='http://schemas.google.com/g/2005#work' address='w" + n +
               "@example.org'/><gd:phoneNumber rel='http://schemas.google.com/g/2005#mobile'>+1 555 0" + n +
               "</gd:phoneNumber><gd:phoneNumber rel='http://schemas.google.com/g/2005#home'>+1 555 1" + n +
               "</gd:phoneNumber><gContact:groupMembershipInfo deleted='false' "
               "href='http://example.com/m8/feeds/groups/owner%40example.com/base/6'/></entry>\n";
    }
    out += "</feed>\n";
    return platform::Bytes(out.begin(), out.end());
}

// The summaries a run holds of a kept list of 10k and 100k entries (all seven kinds of the
// generated contacts, or those of the provider's kind): "bytes" is what loading the list and making
// its summaries left the heap holding.
void BM_KeptListMemory(benchmark::State& state) {
    const size_t n = size_t(state.range(0));
    const bool plain = state.range(1) != 0;
    const auto folder = std::filesystem::temp_directory_path() / ("quorvane-bench-list-" + std::to_string(::getpid()));
    const auto path = folder / "list";
    {
        auto cache = GoogleContactCache::empty({"owner@example.com", "https://example.com/feed"});
        if (!cache->beginList(folder)) return state.SkipWithError("the list cannot be kept");
        std::shared_ptr<GDataFeedContact> last;
        for (size_t at = 0; at < n; at += 10000) {
            const size_t count = std::min<size_t>(10000, n - at);
            auto parsed = GDataObject::objectWithXMLData(plain ? providerPage(at, count) : contactsPage(uint32_t(at / 10000 + 1), count),
                                                         &GDataFeedContact::staticClassInfo(), std::nullopt, nullptr, false);
            last = parsed ? std::dynamic_pointer_cast<GDataFeedContact>(*parsed) : nullptr;
            if (!last || !cache->keepPage(*last)) return state.SkipWithError("a page cannot be kept");
        }
        // The file is written from what was kept: a feed of the list's summaries.
        auto feed = cache->summaryFeed(std::nullopt);
        feed->setUpdatedDate(last->updatedDate());
        if (!feed || !cache->write(path, *feed)) return state.SkipWithError("the list cannot be written");
    }
    double held = 0;
    for (auto _ : state) {
        const size_t before = heapInUse();
        auto loaded = GoogleContactCache::load(path, {"owner@example.com", "https://example.com/feed"});
        if (!loaded) return state.SkipWithError("the list cannot be loaded");
        auto feed = (*loaded)->summaryFeed(std::nullopt);
        if (!feed || feed->entries()->size() != n) return state.SkipWithError("not every entry was loaded");
        held = double(heapInUse()) - double(before);
        benchmark::DoNotOptimize(feed);
    }
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    state.counters["bytes"] = held;
    state.counters["per_entry"] = held / double(n);
}

}  // namespace

#define SIZES ->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond)->Iterations(1)
BENCHMARK(BM_LibXml2TreeMemory) SIZES;
BENCHMARK(BM_ModelFeedMemory) SIZES;
// keep:0 holds the pages' entries as a download without the kept list does; keep:1 keeps each page.
BENCHMARK(BM_KeptPagesMemory)
    ->ArgsProduct({{10000, 50000, 100000}, {0, 1}, {0, 1}})
    ->ArgNames({"entries", "keep", "page"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

BENCHMARK(BM_KeptListMemory)
    ->ArgsProduct({{10000, 100000}, {0, 1}})
    ->ArgNames({"entries", "plain"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

BENCHMARK_MAIN();
