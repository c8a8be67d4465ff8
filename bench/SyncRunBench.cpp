// Whole sync runs of the `quorvane` command against the fake provider, as a user runs them: N
// provider contacts and N local contacts, half of each pairing by name with the other side, 10% of
// each with a photo, synced two ways at N = 1,000, 3,000 and 10,000:
//   BM_FirstSync           the first sync of the two sides (no history);
//   BM_SyncAfterTenChanges a sync after 5 paired contacts were edited on each side;
//   BM_SyncNothingChanged  a sync with nothing changed since the last one.
//   BM_SyncSequence        on N provider and N local contacts: /N/0 of different people (none
//                          pair), /N/1 half pairing as above, which the first sync merges. The
//                          first sync creates every other contact on the other side; then
//                          5 provider and 5 local edits (the provider's clock moved on) and a
//                          sync; then a sync with nothing changed. Each run's wall time, CPU time
//                          and peak resident size are counters of their own (first_, changes_,
//                          nothing_), and "*_list_requests" the list requests it made.
// The two before it start from the steady state: after the first sync, one more sync (untimed) takes
// in what the first one wrote to Google.
// Each iteration runs `quorvane -q sync` as a child process; the time is its wall time, and the
// counters are its CPU time (user + system), its peak resident size and (BM_SyncSequence) its page
// faults, as wait4 reports them to
// the small program that starts it (bench/tools/MeasureCommand.cpp).
// The provider runs in this process (its work is not the command's), on a store of its own under
// a fresh set of XDG folders; setting up a population and signing in are not timed.
// The counters "google_writes" and "local_writes" are what the run reported it created, updated
// and deleted on each side, and "photos" the photos it moved, so a run that did too little or too
// much shows.
//
//   quorvane_bench_SyncRunBench [--benchmark_filter=/1000]
// Growth is linear when the 10,000 row takes about ten times the 1,000 row.
// To compare with another build (e.g. the previous release), alternated so that both see the same
// load: bench/compare-sync.sh BUILD_DIR OTHER_QUORVANE [ROUNDS]. Wall times move with the machine's
// load; the page faults and peak do not.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/contacts/CNContactKeys.h"
#include "platform/contacts/CNContactStore.h"
#include "platform/contacts/CNSaveRequest.h"
#include "platform/foundation/BundleInfo.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Value.h"
#include "tests/app/CommandTestSupport.h"
#include "tests/support/ContactsFeedGenerator.h"
#include "tests/support/FakeProvider.h"

extern char** environ;

using namespace quorvane;
namespace fs = std::filesystem;

namespace {

struct ChildUsage {
    int code = -1;
    double wallSeconds = 0, cpuSeconds = 0;
    double peakMB = 0;
    double faults = 0;  // page faults, minor and major
    std::string out, err;
};

// The command measured: the one built beside this program, or $QUORVANE_BENCH_COMMAND (another
// build of it, to compare).
std::string commandPath() {
    const char* other = std::getenv("QUORVANE_BENCH_COMMAND");
    return other && *other ? other : QUORVANE_BINARY;
}

// Runs `quorvane ARGS` to its end with its output in files, and measures it (through the
// measuring program: its peak is then the command's own, not this program's).
ChildUsage runCommand(const fs::path& folder, std::vector<std::string> args) {
    const fs::path resultFile = folder / "command.usage";
    std::error_code ec;
    fs::remove(resultFile, ec);
    args.insert(args.begin(), {QUORVANE_MEASURE_BINARY, resultFile.string(), commandPath()});
    const fs::path outFile = folder / "command.out", errFile = folder / "command.err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ChildUsage usage;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (pid <= 0) return usage;
    int status = 0;
    struct rusage ru {};
    while (::wait4(pid, &status, 0, &ru) < 0 && errno == EINTR) {
    }
    usage.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string measured;
    platform::readFile(resultFile, measured);
    long long peakKB = 0, userMicros = 0, systemMicros = 0, minor = 0, major = 0;
    if (std::sscanf(measured.c_str(), "%lld %lld %lld %lld %lld", &peakKB, &userMicros, &systemMicros, &minor, &major) >= 3) {
        usage.cpuSeconds = double(userMicros + systemMicros) / 1e6;
        usage.peakMB = double(peakKB) / 1024.0;
        usage.faults = double(minor + major);
    }
    usage.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    platform::readFile(outFile, usage.out);
    platform::readFile(errFile, usage.err);
    return usage;
}

struct Writes {
    int google = -1, local = -1, photos = -1;
};

// "Google: 0 created, 5 updated, 0 deleted; local: 0 created, 5 updated, 0 deleted; 1 photos
// moved": the writes of each side and the photos moved.
Writes writesOfSummary(const std::string& out) {
    int g[3] = {-1, -1, -1}, l[3] = {-1, -1, -1}, photos = -1;
    auto at = out.find("Google: ");
    if (at == std::string::npos ||
        std::sscanf(out.c_str() + at,
                    "Google: %d created, %d updated, %d deleted; local: %d created, %d updated, %d deleted; %d photos",
                    &g[0], &g[1], &g[2], &l[0], &l[1], &l[2], &photos) != 7) {
        return {};
    }
    return {g[0] + g[1] + g[2], l[0] + l[1] + l[2], photos};
}

std::string photoBytes(size_t i) {
    // A photo-sized blob (what the bytes are does not matter to either side).
    std::string bytes(6000, '\0');
    for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = char((k * 31 + i * 7) & 0xff);
    return "\xff\xd8\xff\xe0" + bytes;
}

std::string between(const std::string& text, const std::string& open, const std::string& close, size_t from = 0) {
    size_t a = text.find(open, from);
    if (a == std::string::npos) return "";
    a += open.size();
    size_t b = text.find(close, a);
    return b == std::string::npos ? "" : text.substr(a, b - a);
}

// One population of N on each side, its provider and its folders; the command's profile signed in.
class World {
public:
    // `pairing`: half of each side pairs by name with the other; otherwise none does.
    explicit World(size_t n, bool pairing = true) : n_(n), pairing_(pairing) {
        root_ = fs::temp_directory_path() / ("quorvane-sync-bench-" + std::to_string(::getpid())) / std::to_string(n);
        fs::remove_all(root_);
        for (const char* sub : {"config", "data", "cache", "state", "home"}) fs::create_directories(root_ / sub);
        ::setenv("HOME", (root_ / "home").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (root_ / "cache").c_str(), 1);
        ::setenv("XDG_STATE_HOME", (root_ / "state").c_str(), 1);
        provider_ = std::make_unique<test::FakeProvider>();
        fillProvider();
        writeProviderInfo();
        fillLocalStore();
        signIn();
    }
    ~World() {
        provider_.reset();
        std::error_code ec;
        fs::remove_all(root_.parent_path(), ec);
    }

    const fs::path& root() const { return root_; }
    bool synced = false;
    bool settled = false;  // synced once more after the first sync
    std::chrono::steady_clock::time_point lastSyncEnd;
    std::string failure;

    // Five provider contacts and five local contacts (of the pairs) edited, as users would. The
    // history tells a change from the run's own write by its time, give or take a few seconds:
    // the provider's clock moves on a minute, and the local edits wait until the last run ended
    // more than that long ago (untimed).
    void makeTenChanges() {
        ++round_;
        provider_->advanceTime(60);
        std::this_thread::sleep_until(lastSyncEnd + std::chrono::seconds(6));
        // The first quarter's pairs are edited on the provider, the second quarter's locally.
        const size_t quarter = n_ / 4;
        for (size_t k = 0; k < 5; ++k) {
            const auto& id = googleIDs_[(round_ * 5 + k) * 7 % quarter];
            provider_->editContact(id, [&](std::string& xml) {
                size_t at = xml.find("</content>");
                if (at != std::string::npos) xml.insert(at, " Edited " + std::to_string(round_) + ".");
            });
        }
        platform::CNContactStore store;
        auto contacts = store.unifiedContactsMatchingPredicate(nullptr, {platform::CNContactNoteKey});
        if (!contacts || contacts->size() < n_) {
            failure = "the local contacts cannot be read";
            return;
        }
        platform::CNSaveRequest request;
        for (size_t k = 0; k < 5; ++k) {
            auto c = (*contacts)[quarter + (round_ * 5 + k) * 11 % quarter]->mutableCopy();
            c->setNote(c->note() + " Local edit " + std::to_string(round_) + ".");
            request.updateContact(c);
        }
        if (!store.executeSaveRequest(request)) failure = "the local edits cannot be saved";
    }

private:
    void fillProvider() {
        // The generated contacts, each with a family name of its own (the generator repeats a few
        // hundred names), in My Contacts and in seven user groups of this account.
        std::string feed = testing::generateContactsFeed({n_, 7, false});
        std::vector<std::string> groups;
        for (int g = 0; g < 7; ++g) groups.push_back(provider_->addGroup("Team " + std::to_string(g)));
        const std::string base = "http://www.google.com/m8/feeds/groups/owner%40example.com/base/";
        std::string out;
        out.reserve(feed.size() + feed.size() / 8);
        size_t at = 0, index = 0;
        for (size_t entry = feed.find("<entry ", at); entry != std::string::npos; entry = feed.find("<entry ", at)) {
            size_t end = feed.find("</entry>", entry) + 8;
            out.append(feed, at, entry - at);
            std::string e = feed.substr(entry, end - entry);
            const std::string family = between(e, "<gd:familyName>", "</gd:familyName>");
            const std::string given = between(e, "<gd:givenName", "</gd:givenName>");
            const std::string unique = family + " " + std::to_string(index);
            auto replaceAll = [&e](const std::string& from, const std::string& to) {
                for (size_t p = e.find(from); p != std::string::npos; p = e.find(from, p + to.size())) e.replace(p, from.size(), to);
            };
            replaceAll("<gd:familyName>" + family + "</gd:familyName>", "<gd:familyName>" + unique + "</gd:familyName>");
            const std::string givenText = given.substr(given.find('>') + 1);
            replaceAll(givenText + " " + family + "<", givenText + " " + unique + "<");
            replaceAll(base + "6'", provider_->idURL(test::FakeProvider::Kind::Groups, "6contacts") + "'");
            for (uint32_t g = 0; g < 7; ++g) {
                char hex[32];
                std::snprintf(hex, sizeof hex, "%08x%08x", 7u, g);
                replaceAll(base + hex + "'", provider_->idURL(test::FakeProvider::Kind::Groups, groups[g]) + "'");
            }
            out += e;
            at = end;
            ++index;
        }
        out.append(feed, at, std::string::npos);
        // The provider's contacts were last changed an hour before the local ones, so that the
        // first sync's choice between the two sides of a pair is the same every time.
        provider_->advanceTime(-3600);
        provider_->addContactsFromFeed(out);
        provider_->advanceTime(3600);
        for (const auto& e : provider_->entries(test::FakeProvider::Kind::Contacts)) googleIDs_.push_back(e.id);
        for (size_t i = 0; i < googleIDs_.size(); i += 10) provider_->setPhoto(googleIDs_[i], photoBytes(i));
        // The first half pairs by name with local contacts: remember their name parts.
        for (size_t i = 0; pairing_ && i < n_ / 2 && i < googleIDs_.size(); ++i) {
            const std::string xml = provider_->entry(test::FakeProvider::Kind::Contacts, googleIDs_[i])->xml;
            Name name;
            name.prefix = between(xml, "namePrefix>", "</");
            std::string given = between(xml, "<gd:givenName", "</");
            name.given = given.substr(given.find('>') + 1);
            name.middle = between(xml, "additionalName>", "</");
            name.family = between(xml, "familyName>", "</");
            name.suffix = between(xml, "nameSuffix>", "</");
            name.email = between(xml, "address='", "'", xml.find("<gd:email"));
            names_.push_back(name);
        }
    }

    void writeProviderInfo() {
        // Where the command's `fake` profile looks for the provider.
        const fs::path info =
            platform::Paths::stateHome() / platform::BundleInfo::identifier() / "fake-provider" / "provider.json";
        fs::create_directories(info.parent_path());
        const fs::path caFile = info.parent_path() / "ca.pem";
        test::FakeProvider::OAuthSettings oauth;
        platform::Value record = platform::Value::dictionary();
        record.set("root", provider_->server().baseURL() + "/");
        record.set("contactsRoot", provider_->feedsRoot());
        record.set("authorizationURL", provider_->authorizationURL());
        record.set("tokenURL", provider_->tokenURL());
        record.set("revocationURL", provider_->revokeURL());
        record.set("userInfoURL", provider_->userInfoURL());
        record.set("clientID", oauth.clientID);
        record.set("clientSecret", oauth.clientSecret);
        record.set("caFile", caFile.string());
        record.set("pid", int64_t(::getpid()));
        if (!platform::writeFileAtomically(caFile, test::TestHTTPServer::caCertificatePEM(), 0644) ||
            !platform::writeFileAtomically(info, record.toJSON(), 0644)) {
            failure = "cannot write " + info.string();
        }
        caFile_ = caFile.string();
    }

    void fillLocalStore() {
        platform::CNContactStore store;
        auto container = store.addContainer("On My Computer", platform::CNContainerType::Local);
        if (!container) {
            failure = "the local account cannot be made: " + container.error().localizedDescription();
            return;
        }
        platform::CNSaveRequest request;
        for (size_t i = 0; i < n_; ++i) {
            auto c = std::make_shared<platform::CNMutableContact>();
            if (i < names_.size()) {
                const Name& name = names_[i];
                c->setNamePrefix(name.prefix);
                c->setGivenName(name.given);
                c->setMiddleName(name.middle);
                c->setFamilyName(name.family);
                c->setNameSuffix(name.suffix);
                c->setEmailAddresses({{std::string(platform::CNLabelWork), name.email}});
            } else {
                c->setGivenName("Local" + std::to_string(i));
                c->setFamilyName("Person");
                c->setEmailAddresses({{std::string(platform::CNLabelHome), "local" + std::to_string(i) + "@example.net"}});
                c->setPhoneNumbers({{std::string(platform::CNLabelHome), platform::CNPhoneNumber{"+1 555 2" + std::to_string(100000 + i)}}});
                c->setOrganizationName("Local Works " + std::to_string(i % 50));
            }
            c->setNote("Local contact " + std::to_string(i));
            if (i % 10 == 5) {
                std::string photo = photoBytes(i);
                c->setImageData(platform::Bytes(photo.begin(), photo.end()));
            }
            request.addContact(c, (*container)->identifier());
        }
        if (auto saved = store.executeSaveRequest(request); !saved)
            failure = "the local contacts cannot be saved: " + saved.error().localizedDescription();
    }

    void signIn() {
        test::ChildProcess child({commandPath(), "signin", "--no-browser"});
        const std::string address = child.readLine();
        if (test::completeSignInInBrowser(address, caFile_) != 200 || child.wait() != 0) {
            failure = "the sign-in failed: " + child.err();
        }
    }

    struct Name {
        std::string prefix, given, middle, family, suffix, email;
    };
    size_t n_;
    bool pairing_ = true;
    size_t round_ = 0;
    fs::path root_;
    std::string caFile_;
    std::unique_ptr<test::FakeProvider> provider_;
    std::vector<std::string> googleIDs_;

public:
    // The contacts-list requests the provider has answered so far.
    size_t listRequests() const {
        size_t n = 0;
        for (const auto& request : provider_->server().requests("/m8/feeds/contacts/default/full"))
            if (request.method == "GET") ++n;
        return n;
    }

private:
    std::vector<Name> names_;
};

// The population of the size last asked for (one at a time: the last one is let go first).
std::unique_ptr<World>& worldSlot() {
    static std::unique_ptr<World> world;
    return world;
}

World* freshWorld(size_t n) {
    auto& slot = worldSlot();
    slot.reset();
    slot = std::make_unique<World>(n);
    return slot.get();
}

// Runs one measured sync; false (with the state skipped) when it failed.
bool measuredSync(benchmark::State& state, World& world, double& cpu, double& peak, Writes& writes) {
    auto usage = runCommand(world.root(), {"-q", "sync", "--yes"});
    world.lastSyncEnd = std::chrono::steady_clock::now();
    if (usage.code != 0) {
        state.SkipWithError(("the sync exited " + std::to_string(usage.code) + ": " + usage.err.substr(0, 400)).c_str());
        return false;
    }
    state.SetIterationTime(usage.wallSeconds);
    cpu += usage.cpuSeconds;
    peak = std::max(peak, usage.peakMB);
    writes = writesOfSummary(usage.out);
    return true;
}

// A world of n synced once.
World* syncedWorld(benchmark::State& state, size_t n) {
    auto& slot = worldSlot();
    World* world = slot && slot->synced && slot->root().filename() == std::to_string(n) ? slot.get() : freshWorld(n);
    if (!world->failure.empty()) {
        state.SkipWithError(world->failure.c_str());
        return nullptr;
    }
    // The first sync, then the one after it, both untimed: the second downloads what the first
    // wrote to Google (half the list and more) and records the merged pairs anew, which is not the
    // steady state the measured syncs are about.
    for (auto [done, what] : {std::pair{&world->synced, "first"}, std::pair{&world->settled, "settling"}}) {
        if (*done) continue;
        auto usage = runCommand(world->root(), {"-q", "sync", "--yes"});
        world->lastSyncEnd = std::chrono::steady_clock::now();
        if (usage.code != 0) {
            state.SkipWithError(("the " + std::string(what) + " sync exited " + std::to_string(usage.code) + ": " +
                                 usage.err.substr(0, 400)).c_str());
            return nullptr;
        }
        *done = true;
    }
    return world;
}

// With $QUORVANE_BENCH_HOLD set to a file name: before each measured sync, prints the world's
// folders (to run the command by hand, e.g. under a profiler, with the same XDG_* settings) and
// waits, with the provider serving, until that file exists.
void waitWhileProfiled(const World& world) {
    const char* hold = std::getenv("QUORVANE_BENCH_HOLD");
    if (!hold || !*hold) return;
    std::fprintf(stderr, "world: %s (HOME=home XDG_CONFIG_HOME=config XDG_DATA_HOME=data XDG_CACHE_HOME=cache XDG_STATE_HOME=state); waiting for %s\n",
                 world.root().c_str(), hold);
    while (!fs::exists(hold)) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    fs::remove(hold);
}

enum class Phase { First, TenChanges, NothingChanged };

void BM_Sync(benchmark::State& state, Phase phase) {
    const size_t n = size_t(state.range(0));
    double cpu = 0, peak = 0;
    Writes writes;
    for (auto _ : state) {
        World* world = nullptr;
        if (phase == Phase::First) {
            world = freshWorld(n);
            if (!world->failure.empty()) return state.SkipWithError(world->failure.c_str());
            waitWhileProfiled(*world);
        } else {
            world = syncedWorld(state, n);
            if (!world) return;
            if (phase == Phase::TenChanges) world->makeTenChanges();
            if (!world->failure.empty()) return state.SkipWithError(world->failure.c_str());
            waitWhileProfiled(*world);
        }
        if (!measuredSync(state, *world, cpu, peak, writes)) return;
        world->synced = true;
    }
    const double iterations = double(state.iterations());
    state.counters["cpu_s"] = cpu / iterations;
    state.counters["peak_MB"] = peak;
    state.counters["google_writes"] = writes.google;
    state.counters["local_writes"] = writes.local;
    state.counters["photos"] = writes.photos;
}

// The first sync of two populations, the run after ten edits, the run after that. The second
// argument: 0, the populations do not pair; 1, half of each pairs by name with the other, so that
// the first sync merges those pairs.
void BM_SyncSequence(benchmark::State& state) {
    const size_t n = size_t(state.range(0));
    const bool pairing = state.range(1) != 0;
    for (auto _ : state) {
        worldSlot().reset();
        worldSlot() = std::make_unique<World>(n, pairing);
        World& world = *worldSlot();
        if (!world.failure.empty()) return state.SkipWithError(world.failure.c_str());
        double total = 0;
        for (const char* run : {"first", "changes", "nothing"}) {
            if (std::string(run) == "changes") world.makeTenChanges();
            if (!world.failure.empty()) return state.SkipWithError(world.failure.c_str());
            waitWhileProfiled(world);
            const size_t requestsBefore = world.listRequests();
            auto usage = runCommand(world.root(), {"-q", "sync", "--yes"});
            world.lastSyncEnd = std::chrono::steady_clock::now();
            if (usage.code != 0) {
                return state.SkipWithError((std::string("the ") + run + " sync exited " + std::to_string(usage.code) +
                                            ": " + usage.err.substr(0, 400)).c_str());
            }
            total += usage.wallSeconds;
            if (std::getenv("QUORVANE_BENCH_SHOW_LOG")) {
                static int runNumber = 0;
                auto shown = runCommand(world.root(), {"log", "--show", std::to_string(++runNumber)});
                std::fprintf(stderr, "--- %s run:\n%s%s\n", run, shown.out.c_str(), shown.err.c_str());
            }
            const std::string name(run);
            state.counters[name + "_s"] = usage.wallSeconds;
            state.counters[name + "_cpu_s"] = usage.cpuSeconds;
            state.counters[name + "_peak_MB"] = usage.peakMB;
            state.counters[name + "_faults"] = usage.faults;
            state.counters[name + "_list_requests"] = double(world.listRequests() - requestsBefore);
            const Writes writes = writesOfSummary(usage.out);
            state.counters[name + "_writes"] = writes.google + writes.local;
        }
        state.SetIterationTime(total);
    }
    worldSlot().reset();
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    for (int64_t n : {1000, 10000}) {
        benchmark::RegisterBenchmark("BM_SyncSequence", BM_SyncSequence)
            ->Args({n, 0})->Args({n, 1})->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
    }
    for (int64_t n : {1000, 3000, 10000}) {
        // A first sync needs a fresh population each time: one iteration.
        benchmark::RegisterBenchmark("BM_FirstSync", BM_Sync, Phase::First)
            ->Arg(n)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
        benchmark::RegisterBenchmark("BM_SyncAfterTenChanges", BM_Sync, Phase::TenChanges)
            ->Arg(n)->UseManualTime()->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_SyncNothingChanged", BM_Sync, Phase::NothingChanged)
            ->Arg(n)->UseManualTime()->Unit(benchmark::kMillisecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    worldSlot().reset();
    benchmark::Shutdown();
    return 0;
}
