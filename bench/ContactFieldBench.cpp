// The three field-by-field operations on a pair: the comparison of a local and a Google contact,
// and the conversions local -> Google and Google -> local. Each iteration works 1,000 pairs.
// BM_CompareNamesOnly is the common case of a no-change sync (contacts with a name and little
// else, equal on both sides); BM_CompareEveryField walks every field of two equal full contacts,
// the worst case of a pair that does not differ.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchModel.h"
#include "platform/foundation/Calendar.h"
#include "sync/NSContactSourceRecord_QV.h"
#include "tests/sync/QuorvaneModelInternals.h"
#include "sync/NSSyncRecord.h"
#include "sync/QuorvaneModel.h"

using namespace quorvane;
namespace fs = std::filesystem;
using platform::CNLabeledValue;

namespace {

constexpr size_t kPairs = 1000;

platform::DateComponents ymd(int y, int m, int d) {
    platform::DateComponents c;
    c.year = y;
    c.month = m;
    c.day = d;
    return c;
}

platform::CNMutableContactPtr namedContact(size_t i) {
    auto c = std::make_shared<platform::CNMutableContact>();
    c->setGivenName("Given" + std::to_string(i));
    c->setFamilyName("Family" + std::to_string(i % 97));
    return c;
}

platform::CNMutableContactPtr fullContact(size_t i) {
    auto c = namedContact(i);
    const std::string id = std::to_string(i);
    c->setMiddleName("May");
    c->setNamePrefix("Dr");
    c->setPhoneticGivenName("given");
    c->setNickname("Nick" + id);
    c->setEmailAddresses({{std::string(platform::CNLabelHome), "person" + id + "@example.org"},
                          {std::string(platform::CNLabelWork), "work" + id + "@example.org"}});
    c->setPhoneNumbers({{std::string(platform::CNLabelPhoneNumberMobile), platform::CNPhoneNumber{"+1 555 01" + id}},
                        {std::string(platform::CNLabelHome), platform::CNPhoneNumber{"(555) 02-" + id}}});
    c->setPostalAddresses({{std::string(platform::CNLabelHome),
                            platform::CNPostalAddress{id + " Main St", "Springfield", "IL", "62701", "United States", ""}}});
    c->setBirthday(ymd(1980, 5, 17));
    c->setUrlAddresses({{std::string(platform::CNLabelURLAddressHomePage), "http://example.org/" + id}});
    c->setContactRelations({{std::string(platform::CNLabelContactRelationFather), platform::CNContactRelation{"Bob"}}});
    c->setInstantMessageAddresses(
        {{std::string(platform::CNLabelHome), platform::CNInstantMessageAddress{"im" + id, platform::CNInstantMessageServiceSkype}}});
    c->setDates({{std::string(platform::CNLabelDateAnniversary), ymd(2005, 6, 1)}});
    c->setSocialProfiles({{std::nullopt, platform::CNSocialProfile{"@p" + id, platform::CNSocialProfileServiceTwitter}}});
    c->setNote("Met at the fair.\nLikes tea.");
    c->setOrganizationName("Acme");
    c->setJobTitle("Engineer");
    c->setDepartmentName("R&D");
    return c;
}

NSSyncRecordPtr replaceRecord() {
    auto r = std::make_shared<NSSyncRecord>();
    r->mMergeContacts = false;
    return r;
}

// A model on an empty store, a local account that keeps groups, and kPairs equal pairs: each
// Google contact is its local contact converted.
struct Fixture {
    fs::path dir;
    std::shared_ptr<QuorvaneModel> model;
    std::vector<platform::CNMutableContactPtr> local;
    std::vector<std::shared_ptr<GDataEntryContact>> google;

    Fixture(const std::string& name, platform::CNMutableContactPtr (*make)(size_t)) {
        dir = bench::freshFolder("contact-field", name);
        model = bench::makeModel(dir);
        auto source = std::make_shared<NSContactSourceRecord_QV>();
        source->mContainerAccountType = ContainerAccountTypeLocal;
        internals(model).mCurrentSourceRecord = source;
        for (size_t i = 0; i < kPairs; ++i) {
            local.push_back(make(i));
            google.push_back(model->createGoogleContactWithAppleContact(local.back(), local.back(), replaceRecord(),
                                                                        std::nullopt));
        }
    }
};

void compareAll(benchmark::State& state, Fixture& f) {
    size_t differing = 0;
    for (auto _ : state) {
        differing = 0;
        for (size_t i = 0; i < kPairs; ++i) {
            int32_t code = 0;
            differing += f.model->contactsDifferWithAppleContact(f.local[i], f.local[i], f.google[i], std::nullopt, &code);
        }
    }
    if (differing) state.SkipWithError("pairs built equal compare as different");
    state.SetItemsProcessed(state.iterations() * int64_t(kPairs));
}

void BM_CompareNamesOnly(benchmark::State& state) {
    Fixture f("names", namedContact);
    compareAll(state, f);
}
BENCHMARK(BM_CompareNamesOnly)->Unit(benchmark::kMicrosecond);

void BM_CompareEveryField(benchmark::State& state) {
    Fixture f("every", fullContact);
    compareAll(state, f);
}
BENCHMARK(BM_CompareEveryField)->Unit(benchmark::kMicrosecond);

void BM_UpdateGoogleContact(benchmark::State& state) {
    Fixture f("to-google", fullContact);
    for (auto _ : state) {
        for (size_t i = 0; i < kPairs; ++i) {
            f.model->updateGoogleContact(f.google[i], f.local[i], f.local[i], replaceRecord(), std::nullopt);
        }
    }
    state.SetItemsProcessed(state.iterations() * int64_t(kPairs));
}
BENCHMARK(BM_UpdateGoogleContact)->Unit(benchmark::kMicrosecond);

void BM_UpdateAppleContact(benchmark::State& state) {
    Fixture f("to-local", fullContact);
    for (auto _ : state) {
        for (size_t i = 0; i < kPairs; ++i) {
            auto target = f.local[i]->mutableCopy();
            f.model->updateAppleContact(target, f.google[i], replaceRecord(), false);
        }
    }
    state.SetItemsProcessed(state.iterations() * int64_t(kPairs));
}
BENCHMARK(BM_UpdateAppleContact)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
