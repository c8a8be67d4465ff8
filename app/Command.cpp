#include "app/Command.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "app/Telemetry.h"
#include "fetcher/QNSessionFetcher.h"
#include "platform/foundation/Log.h"
#include "platform/net/NetworkThread.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "sync/GoogleBatchWriter.h"
#include "sync/QuorvaneModel.h"

namespace quorvane::app {

namespace {

bool gInterrupted = false;          // main thread only
std::atomic<int> gFetchersRunning{0};

constexpr double kLongWait = 24 * 3600.0;
constexpr double kDrainSeconds = 5.0;

constexpr const char* kUsage =
    "usage: quorvane [--profile NAME] [-q] [-v] COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  signin [--no-browser] [--timeout SECONDS]\n"
    "                               sign in to the provider (--no-browser: print the address to open);\n"
    "                               gives up after SECONDS without an answer (default 300)\n"
    "  signout                      forget the sign-in and revoke its token\n"
    "  status                       the profile, the provider, who is signed in, the local account\n"
    "  accounts                     the local accounts: identifier, kind, contacts, read-only\n"
    "  config get [KEY]             show one setting, or all of them\n"
    "  config set KEY VALUE         change a setting (an empty value puts a provider key's default back)\n"
    "                               telemetry-app-secret turns telemetry on; telemetry-url is where it\n"
    "                               sends (default: the telemetry service)\n"
    "  delete-all --google [--yes]  delete every contact and user group of the signed-in account\n"
    "  delete-all --local --container ID [--yes]\n"
    "                               delete every contact and group of one local account\n"
    "  plan [--mode M] [--json]     what a sync would do, one line per contact: + create, > to Google,\n"
    "                               < to the local account, - delete; -v says why; M: two-way (default),\n"
    "                               google-to-local, local-to-google\n"
    "  sync [--mode M] [--dry-run] [--yes] [--max-delete N] [--force-update] [--no-photos]\n"
    "                               carry the plan out; deletions need --yes (or a \"y\" at the terminal);\n"
    "                               more than N deletions refuse the run; --dry-run only plans\n"
    "  log [--last N] [--show RUN]  the last runs (default 10), or the whole log of one run\n"
    "\n"
    "options:\n"
    "  --profile NAME   the provider profile (default \"fake\": the fake provider on this machine;\n"
    "                   \"google\": the real provider)\n"
    "  -q               no progress and no notes\n"
    "  -v               notes of detail\n"
    "\n"
    "exit codes: 0 done, 1 some records failed, 2 usage, 3 not signed in or authorization refused,\n"
    "4 provider unreachable (safe to retry), 5 refused for safety, 6 other failure, 130 interrupted\n";

}  // namespace

// --- arguments ---

std::optional<Arguments> Arguments::parse(const std::vector<std::string>& args, const std::set<std::string>& flags,
                                          const std::set<std::string>& valued, std::string* error) {
    Arguments out;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.size() < 2 || a[0] != '-' || a == "--") {
            size_t from = a == "--" ? i + 1 : i;
            if (a == "--") {
                out.positional_.insert(out.positional_.end(), args.begin() + long(from), args.end());
                break;
            }
            out.positional_.push_back(a);
            continue;
        }
        size_t eq = a.find('=');
        std::string name = a.substr(0, eq);
        if (flags.count(name) && eq == std::string::npos) {
            out.flags_.insert(name);
        } else if (valued.count(name)) {
            if (eq != std::string::npos) out.values_[name] = a.substr(eq + 1);
            else if (i + 1 < args.size()) out.values_[name] = args[++i];
            else {
                if (error) *error = name + " needs a value";
                return std::nullopt;
            }
        } else {
            if (error) *error = "unknown option " + a;
            return std::nullopt;
        }
    }
    return out;
}

std::optional<std::string> Arguments::value(const std::string& option) const {
    auto it = values_.find(option);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

// --- interruption ---

bool interrupted() { return gInterrupted; }

void installInterruptHandling() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // Blocked here and in every thread made later; only the waiting thread takes them.
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set] {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) continue;
            platform::RunLoop::main()->post([] { gInterrupted = true; });
        }
    }).detach();
    // Count the requests in flight, so that the program can let them finish before it ends.
    auto& center = platform::NotificationCenter::defaultCenter();
    center.addObserver(kQNSessionFetcherStartedNotification, nullptr, nullptr,
                       [](const platform::Notification&) { ++gFetchersRunning; });
    center.addObserver(kQNSessionFetcherStoppedNotification, nullptr, nullptr,
                       [](const platform::Notification&) { --gFetchersRunning; });
}

// --- the session ---

std::optional<ProviderConfiguration> Session::connect() {
    if (provider_) return provider_;
    std::string why;
    auto provider = profile_.provider(&why);
    if (!provider || !Profile::apply(*provider, &why)) {
        console_.error(why);
        return std::nullopt;
    }
    console_.detail("provider: " + provider->contactsRoot);
    provider_ = provider;
    return provider_;
}

std::shared_ptr<QuorvaneModel> Session::model() {
    if (model_) return model_;
    QuorvaneModel::Environment env;
    env.userDefaults = profile_.userDefaults();
    env.dataFolder = profile_.dataFolder();
    env.keychainItemName = profile_.keychainItemName();
    // The stored authorization refreshes at the profile's provider, with its registration: the
    // provider is applied first when it can be read. A profile whose provider cannot be read still
    // has its keychain item to show or remove.
    auto provider = profile_.provider(nullptr);
    if (provider && !provider_ && Profile::apply(*provider, nullptr)) provider_ = provider;
    if (!provider) provider = Profile::defaultProvider();
    env.clientID = provider->clientID;
    env.clientSecret = provider->clientSecret;
    auto store = std::make_shared<platform::CNContactStore>();
    platform::Error error;
    auto containers = store->containersMatchingPredicate(nullptr, &error);
    if (containers && containers->empty())
        store->addContainer(kLocalAccountName, platform::CNContainerType::Local, std::nullopt, &error);
    env.contactStore = std::move(store);
    model_ = std::make_shared<QuorvaneModel>(std::move(env));
    // Progress lines and sub-progress go to the progress line; the log's own text only with -v.
    Console& console = console_;
    model_->setRunLogSink([&console](const RunLog& log, const RunLog::Event& event) {
        switch (event.change) {
            case RunLog::Change::Progress:
                console.progress(event.text);
                break;
            case RunLog::Change::SubProgress:
                if (!event.text.empty()) console.progress(log.progressText() + ": " + event.text);
                break;
            case RunLog::Change::Log: {
                std::string line = event.text;
                while (!line.empty() && line.back() == '\n') line.pop_back();
                if (!line.empty()) console.detail(line);
                break;
            }
            case RunLog::Change::ProgressBar:
                break;
        }
    });
    return model_;
}

bool Session::waitFor(const std::function<bool()>& done) {
    platform::RunLoop::main()->runUntil([&] { return done() || gInterrupted; }, kLongWait);
    return !gInterrupted;
}

void Session::drainRequests() {
    platform::RunLoop::main()->runUntil([] { return gFetchersRunning.load() <= 0; }, kDrainSeconds);
}

void Session::close() {
    // The model's sessions hand their connections to the network thread to close; they must be
    // closed before the program's exit tears the TLS library down under them.
    model_.reset();
    platform::RunLoop::main()->runUntil([] { return false; }, 0.05);
    // Shared with the posted block, which may still run after a timed-out wait has returned.
    struct Pass {
        std::mutex mutex;
        std::condition_variable done;
        bool passed = false;
    };
    auto pass = std::make_shared<Pass>();
    platform::NetworkThread::shared().post([pass] {
        std::lock_guard lock(pass->mutex);
        pass->passed = true;
        pass->done.notify_all();
    });
    std::unique_lock lock(pass->mutex);
    pass->done.wait_for(lock, std::chrono::duration<double>(kDrainSeconds), [&] { return pass->passed; });
}

int Session::failWithError(const std::string& what, const platform::Error& error) {
    std::string text = what + ": " + error.localizedDescription() + " (" + error.domain + " " +
                       std::to_string(error.code) + ")";
    console_.error(text);
    if (GoogleBatchWriter::isAuthorizationError(error)) return kExitAuth;
    if (GoogleBatchWriter::isNetworkError(error)) return kExitNetwork;
    return kExitOther;
}

// --- the program ---

int runQuorvane(int argc, char** argv) {
    std::string profileName = Profile::kDefaultName;
    bool quiet = false, verbose = false;
    std::vector<std::string> rest;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-q" || a == "--quiet") quiet = true;
        else if (a == "-v" || a == "--verbose") verbose = true;
        else if (a == "--profile" && i + 1 < argc) profileName = argv[++i];
        else if (a.rfind("--profile=", 0) == 0) profileName = a.substr(10);
        else if (a == "-h" || a == "--help" || a == "help") {
            std::fputs(kUsage, stdout);
            return kExitOK;
        } else rest.push_back(a);
    }
    Console console(quiet, verbose);
    if (rest.empty()) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    std::string why;
    auto profile = Profile::named(profileName, &why);
    if (!profile) {
        console.error(why);
        return kExitUsage;
    }
    platform::Log::setMinimumLevel(verbose ? platform::LogLevel::Info : platform::LogLevel::Error);
    installInterruptHandling();

    using Handler = int (*)(Session&, const std::vector<std::string>&);
    const std::map<std::string, Handler> commands = {
        {"signin", commandSignIn},     {"signout", commandSignOut}, {"status", commandStatus},
        {"accounts", commandAccounts}, {"config", commandConfig},   {"delete-all", commandDeleteAll},
        {"log", commandLog},           {"plan", commandPlan},       {"sync", commandSync},
    };
    auto it = commands.find(rest[0]);
    if (it == commands.end()) {
        console.error("unknown command \"" + rest[0] + "\" (quorvane --help lists them)");
        return kExitUsage;
    }
    Session session(std::move(*profile), console);
    Telemetry telemetry;
    telemetry.start(session.profile(), console);
    int code = it->second(session, std::vector<std::string>(rest.begin() + 1, rest.end()));
    session.drainRequests();
    telemetry.finish(kDrainSeconds);
    session.close();
    return code;
}

}  // namespace quorvane::app
