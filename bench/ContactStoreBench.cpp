// The local contact store against plain SQLite on the same file layout: saving 1000 contacts in
// one save request beside an insert loop of the same rows in one transaction, and the key-set-1
// fetch of 2000 contacts by identifier (identifier and the two record dates) beside a plain
// SELECT of those columns. Items per second are contacts per second.

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/contacts/CNContactStore.h"

using namespace quorvane::platform;
namespace fs = std::filesystem;

namespace {

fs::path benchFile(const std::string& name) {
    fs::path dir = fs::temp_directory_path() / "quorvane-contact-bench";
    fs::create_directories(dir);
    fs::path file = dir / name;
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(file.string() + suffix);
    return file;
}

CNMutableContactPtr makeContact(int i) {
    auto c = std::make_shared<CNMutableContact>();
    c->setGivenName("Given" + std::to_string(i));
    c->setFamilyName("Family" + std::to_string(i));
    c->setOrganizationName("Org");
    c->setNote("A short note for contact " + std::to_string(i));
    c->setPhoneNumbers({CNLabeledValue<CNPhoneNumber>(std::string(CNLabelPhoneNumberMobile), {"+1 555 01" + std::to_string(i)})});
    c->setEmailAddresses({CNLabeledValue<std::string>(std::string(CNLabelHome), "c" + std::to_string(i) + "@example.com")});
    return c;
}

void BM_SaveRequestAdd1000(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        CNContactStore store(benchFile("save.sqlite"));
        store.addContainer("Local", CNContainerType::Local);
        CNSaveRequest request;
        for (int i = 0; i < 1000; ++i) request.addContact(makeContact(i), std::nullopt);
        state.ResumeTiming();
        if (!store.executeSaveRequest(request)) state.SkipWithError("save failed");
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_SaveRequestAdd1000)->Unit(benchmark::kMillisecond);

void BM_PlainSQLiteInsert1000(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        // Same schema and rows as the store writes.
        auto file = benchFile("plain.sqlite");
        { CNContactStore(file).addContainer("Local", CNContainerType::Local); }
        std::vector<CNMutableContactPtr> contacts;
        for (int i = 0; i < 1000; ++i) contacts.push_back(makeContact(i));
        sqlite3* db = nullptr;
        sqlite3_open(file.c_str(), &db);
        state.ResumeTiming();
        sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db,
                           "INSERT INTO contacts (identifier, container_id, given_name, family_name, organization_name, note,"
                           " phone_numbers, email_addresses, creation_date, modification_date) VALUES (?, 1, ?, ?, ?, ?, ?, ?, 0, 0)",
                           -1, &st, nullptr);
        for (const auto& c : contacts) {
            const auto& f = c->fields();
            std::string phones = "[{\"identifier\":\"" + f.phoneNumbers[0].identifier() + "\",\"label\":\"m\",\"value\":\"" +
                                 f.phoneNumbers[0].value().stringValue + "\"}]";
            std::string emails = "[{\"identifier\":\"" + f.emailAddresses[0].identifier() + "\",\"label\":\"h\",\"value\":\"" +
                                 f.emailAddresses[0].value() + "\"}]";
            sqlite3_bind_text(st, 1, f.identifier.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(st, 2, f.givenName.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(st, 3, f.familyName.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(st, 4, f.organizationName.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(st, 5, f.note.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(st, 6, phones.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(st, 7, emails.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(st);
            sqlite3_reset(st);
        }
        sqlite3_finalize(st);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        state.PauseTiming();
        sqlite3_close(db);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_PlainSQLiteInsert1000)->Unit(benchmark::kMillisecond);

// A store of 5000 contacts and 2000 of their identifiers.
struct FetchFixture {
    fs::path file = benchFile("fetch.sqlite");
    std::vector<std::string> ids;
    FetchFixture() {
        CNContactStore store(file);
        store.addContainer("Local", CNContainerType::Local);
        CNSaveRequest request;
        for (int i = 0; i < 5000; ++i) {
            auto c = makeContact(i);
            if (i % 5 < 2) ids.push_back(c->identifier());
            request.addContact(c, std::nullopt);
        }
        store.executeSaveRequest(request);
    }
};
FetchFixture& fetchFixture() {
    static FetchFixture f;
    return f;
}

void BM_FetchByIdentifiers2000(benchmark::State& state) {
    auto& f = fetchFixture();
    CNContactStore store(f.file);
    auto predicate = CNContact::predicateForContactsWithIdentifiers(f.ids);
    for (auto _ : state) {
        auto found = store.unifiedContactsMatchingPredicate(
            predicate, {CNContactIdentifierKey, CNContactModificationDateKey, CNContactCreationDateKey});
        if (!found || found->size() != f.ids.size()) state.SkipWithError("fetch failed");
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(state.iterations() * int64_t(f.ids.size()));
}
BENCHMARK(BM_FetchByIdentifiers2000)->Unit(benchmark::kMillisecond);

void BM_PlainSQLiteSelect2000(benchmark::State& state) {
    auto& f = fetchFixture();
    sqlite3* db = nullptr;
    sqlite3_open(f.file.c_str(), &db);
    std::string json = "[";
    for (size_t i = 0; i < f.ids.size(); ++i) json += (i ? ",\"" : "\"") + f.ids[i] + "\"";
    json += "]";
    for (auto _ : state) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db,
                           "SELECT identifier, modification_date, creation_date FROM contacts"
                           " WHERE identifier IN (SELECT value FROM json_each(?1)) ORDER BY id",
                           -1, &st, nullptr);
        sqlite3_bind_text(st, 1, json.c_str(), -1, SQLITE_TRANSIENT);
        std::vector<std::pair<std::string, double>> rows;
        while (sqlite3_step(st) == SQLITE_ROW)
            rows.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), sqlite3_column_double(st, 1));
        sqlite3_finalize(st);
        benchmark::DoNotOptimize(rows);
    }
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations() * int64_t(f.ids.size()));
}
BENCHMARK(BM_PlainSQLiteSelect2000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
