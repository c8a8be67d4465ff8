// Pairing and planning of generated populations: N local contacts against N Google contacts, most
// sharing a name, some only an e-mail address or a phone number, the rest on one side only.
// BM_Pairing times the pairing inputs and both pairing passes; BM_Planning the whole plan (the
// local contacts read from the store, pairing, comparison and strategy of every pair). Run at
// 1,000 and 10,000 each: a linear plan takes about ten times as long for ten times the contacts.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchModel.h"
#include "gdata/GDataContactConstants.h"
#include "gdata/GDataEntryContact.h"
#include "gdata/GDataFeedContact.h"
#include "gdata/GDataFeedContactGroup.h"
#include "platform/contacts/CNContactStore.h"
#include "platform/contacts/CNSaveRequest.h"
#include "platform/foundation/Calendar.h"
#include "sync/SyncPlanner.h"
#include "sync/SyncRun.h"
#include "sync/QuorvaneModel.h"

using namespace quorvane;
namespace fs = std::filesystem;

namespace {

using bench::kGroupBase;

struct Population {
    std::vector<platform::CNMutableContactPtr> local;
    std::shared_ptr<GDataFeedContact> google;
};

// Contact i of each side: 0..60% named alike on both sides, 60..70% nameless with the same e-mail,
// 70..75% nameless with the same phone, the rest different people on each side.
Population makePopulation(size_t n) {
    Population p;
    p.google = GDataFeedContact::contactFeed();
    for (size_t i = 0; i < n; ++i) {
        const size_t pct = i * 100 / n;
        const std::string id = std::to_string(i);
        auto a = std::make_shared<platform::CNMutableContact>();
        auto g = GDataEntryContact::contactEntryWithName(nullptr);
        g->setIdentifier("urn:google:" + id);
        if (pct < 60) {
            a->setGivenName("Given" + id);
            a->setFamilyName("Family" + std::to_string(i % 97));
            g->setName(GDataName::nameWithPrefix(std::nullopt, "given" + id, std::nullopt, "FAMILY" + std::to_string(i % 97), std::nullopt));
        } else if (pct < 70) {
            a->setEmailAddresses({{std::string(platform::CNLabelHome), "person" + id + "@example.org"}});
            g->addEmailAddress(GDataEmail::emailWithLabel(std::nullopt, "Person" + id + "@example.org"));
        } else if (pct < 75) {
            a->setPhoneNumbers({{std::string(platform::CNLabelHome), platform::CNPhoneNumber{"(555) 01-" + id}}});
            g->addPhoneNumber(GDataPhoneNumber::phoneNumberWithString("555.01" + id));
        } else {
            a->setGivenName("Local" + id);
            a->setFamilyName("Only");
            g->setName(GDataName::nameWithPrefix(std::nullopt, "Google" + id, std::nullopt, "Only", std::nullopt));
        }
        if (i % 3) g->addGroupMembershipInfo(GDataGroupMembershipInfo::groupMembershipInfoWithHref(kGroupBase + "6"));
        p.local.push_back(a);
        p.google->addEntry(g);
    }
    return p;
}

// A model on its own store in a fresh folder, with the population's local contacts saved.
struct Fixture {
    fs::path dir;
    std::shared_ptr<platform::CNContactStore> store;
    std::shared_ptr<QuorvaneModel> model;

    explicit Fixture(const Population& p, const std::string& name) {
        dir = bench::freshFolder("pairing", name);
        store = std::make_shared<platform::CNContactStore>(dir / "Contacts.sqlite");
        auto container = store->addContainer("Local", platform::CNContainerType::Local).valueOr(nullptr);
        platform::CNSaveRequest request;
        for (const auto& c : p.local) request.addContact(c, container->identifier());
        store->executeSaveRequest(request);
        model = bench::makeModel(dir, store);
        model->updateSelectedContainerWithError();
        GoogleFeeds feeds;
        feeds.groups = {.feed = bench::groupFeed(), .complete = true};
        feeds.contacts = {.feed = p.google, .complete = true};
        model->setGoogleFeeds(feeds);
    }
};

void BM_Pairing(benchmark::State& state) {
    const size_t n = size_t(state.range(0));
    auto population = makePopulation(n);
    Fixture f(population, "pairing" + std::to_string(n));
    f.model->loadExistingAppleContactsWithKeySet(6);
    size_t pairs = 0;
    for (auto _ : state) {
        auto& m = *f.model;
        m.preparePairingDicts();
        pairs = 0;
        for (const auto& a : m.existingAppleContacts()) {
            if (auto g = m.getBestGoogleContactMatchWithAppleContact(a)) {
                m.setGoogleContactAlreadyMatched(*g->identifier());
                m.setAppleContactAlreadyMatched(a->identifier());
                ++pairs;
            }
        }
        for (const auto& e : *m.googleFeeds().contacts.feed->entries()) {
            auto g = std::dynamic_pointer_cast<GDataEntryContact>(e);
            if (m.isGoogleContactAlreadyMatched(g)) continue;
            if (auto a = m.getBestAppleContactMatchWithGoogleContact(g)) {
                m.setGoogleContactAlreadyMatched(*g->identifier());
                m.setAppleContactAlreadyMatched(a->identifier());
                ++pairs;
            }
        }
    }
    state.counters["pairs"] = double(pairs);
    state.SetItemsProcessed(state.iterations() * int64_t(2 * n));
}
BENCHMARK(BM_Pairing)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_Planning(benchmark::State& state) {
    const size_t n = size_t(state.range(0));
    auto population = makePopulation(n);
    Fixture f(population, "planning" + std::to_string(n));
    SyncPlan plan;
    for (auto _ : state) {
        auto input = SyncRun::preparePlanning(*f.model, SyncModeTwoWay, f.model->googleFeeds());
        if (!input) {
            state.SkipWithError("the local contacts cannot be read");
            break;
        }
        SyncRun::ModelPlanning planning(*f.model);
        SyncPlanner planner(planning, std::move(*input));
        while (!planner.pairLocalContacts(1000)) {}
        while (!planner.pairGoogleContacts(1000)) {}
        while (!planner.planPairs(1000)) {}
        plan = planner.takePlan();
    }
    state.counters["records"] = double(plan.records.size());
    state.counters["changes"] = double(plan.summary.changes());
    state.SetItemsProcessed(state.iterations() * int64_t(2 * n));
}
BENCHMARK(BM_Planning)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
