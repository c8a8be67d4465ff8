#include "app/Command.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <string_view>
#include <thread>

#include "app/Failures.h"
#include "app/Help.h"
#include "app/Telemetry.h"
#include "fetcher/QNSessionFetcher.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Memory.h"
#include "platform/net/NetworkThread.h"
#include "platform/net/URLSessionConfiguration.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "sync/DurableReplace.h"
#include "sync/GoogleBatchWriter.h"
#include "sync/QuorvaneModel.h"

namespace quorvane::app {

namespace {

bool gInterrupted = false;          // main thread only
// Shared with the signal thread: whether a signal came, whether the main thread waits at a
// question, and what to record before the forced exit.
std::mutex gSignalMutex;
bool gSignalled = false;
bool gAtQuestion = false;
std::function<void()> gForcedExitRecord;
std::atomic<int> gFetchersRunning{0};
// Counts every request started or ended and every step of progress: a wait sees whether anything
// moved.
std::atomic<uint64_t> gMoves{0};

constexpr double kLongWait = 24 * 3600.0;
constexpr double kDrainSeconds = 5.0;
// After SIGINT or SIGTERM: requests still in flight are cancelled after the first, and the
// program ends after the second, whatever it is doing.
constexpr double kInterruptCancelSeconds = 3.0;
constexpr double kInterruptExitSeconds = 9.0;
// The longest a request of the command may take from its start to its end (the URL session's
// own default is a week).
constexpr double kRequestDeadlineSeconds = 10 * 60.0;
constexpr double kDefaultProviderWait = 300;
constexpr double kDefaultLockWait = 60;
// How often a wait looks whether anything moved, and a lock wait tries the lock again.
constexpr double kWaitTick = 0.1;

// The longest wait the environment may ask for (about three years).
constexpr double kLongestEnvironmentWait = 1e8;

// A number of seconds, 0 or more, from the environment: decimal digits with at most one point
// ("30", "2.5", ".5"), blanks around it allowed; the default when it is unset or blank; nullopt
// for anything else ("abc", "-1", "1e9", "0x10", "inf") and above the longest wait.
std::optional<double> secondsFromEnvironment(const char* name, double fallback) {
    const char* raw = std::getenv(name);
    std::string_view text = raw ? raw : "";
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    if (text.empty()) return fallback;
    size_t digits = 0, points = 0;
    for (char c : text) {
        if (c >= '0' && c <= '9') ++digits;
        else if (c == '.' && ++points == 1) continue;
        else return std::nullopt;
    }
    if (digits == 0) return std::nullopt;
    const double v = std::strtod(std::string(text).c_str(), nullptr);
    if (!(v <= kLongestEnvironmentWait)) return std::nullopt;
    return v;
}

// What to do, without the clause that points at a run's log, for a run whose log could not be
// saved: "quorvane log --show RUN says why; the next sync tries again." -> "The next sync tries
// again."
std::string withoutRunHint(const std::string& next) {
    std::string out;
    size_t from = 0;
    while (from <= next.size()) {
        size_t end = next.find("; ", from);
        std::string clause = next.substr(from, end == std::string::npos ? std::string::npos : end - from);
        if (clause.find("RUN") == std::string::npos) out += (out.empty() ? "" : "; ") + clause;
        if (end == std::string::npos) break;
        from = end + 2;
    }
    while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
    if (out.empty()) return out;
    out[0] = char(std::toupper(static_cast<unsigned char>(out[0])));
    return out + ".";
}

}  // namespace

// --- arguments ---

platform::Result<Arguments> Arguments::parse(const std::vector<std::string>& args, const std::set<std::string>& flags,
                                             const std::set<std::string>& valued) {
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
            else return commandError(kCommandErrorBadArguments, name + " needs a value");
        } else {
            return commandError(kCommandErrorBadArguments, "unknown option " + a);
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

namespace {

// Ends the program at a question: nothing has been written, so there is nothing to wait for.
[[noreturn]] void endAtQuestion() {
    static const char line[] = "\nquorvane: interrupted; nothing was written\n";
    (void)!::write(2, line, sizeof line - 1);
    ::_exit(kExitInterrupted);
}

}  // namespace

namespace {

// Runs the work on a thread of its own and waits for it up to the bound; what has not ended by
// then is left behind (the program is about to end).
void runForAMoment(std::function<void()> work, int milliseconds) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread([work = std::move(work), done] {
        work();
        *done = true;
    }).detach();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!*done && std::chrono::steady_clock::now() < until) ::usleep(5000);
}

}  // namespace

bool askYesNo(const std::string& question) {
    {
        std::lock_guard lock(gSignalMutex);
        if (gSignalled) endAtQuestion();
        gAtQuestion = true;
    }
    std::fprintf(stderr, "%s? [y/N] ", Console::printable(question, false).c_str());
    std::fflush(stderr);
    std::string answer;
    std::getline(std::cin, answer);
    std::lock_guard lock(gSignalMutex);
    gAtQuestion = false;
    return answer == "y" || answer == "Y" || answer == "yes";
}

void setForcedExitRecord(std::function<void()> record) {
    std::lock_guard lock(gSignalMutex);
    gForcedExitRecord = std::move(record);
}

void installInterruptHandling() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // Blocked here and in every thread made later; only the waiting thread takes them.
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // The first signal asks the command to end after the step in flight. Whatever is in flight,
    // the end comes soon: requests still running a moment later are cancelled (so the run
    // ends with what completed saved), and a program still running after that ends anyway.
    std::thread([set] {
        int signal = 0;
        while (sigwait(&set, &signal) != 0) {
        }
        {
            std::lock_guard lock(gSignalMutex);
            gSignalled = true;
            if (gAtQuestion) endAtQuestion();
        }
        platform::RunLoop::main()->post([] { gInterrupted = true; });
        auto waitUntil = [&set](std::chrono::steady_clock::time_point until) {
            for (;;) {
                auto left = until - std::chrono::steady_clock::now();
                if (left <= std::chrono::steady_clock::duration::zero()) return;
                auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
                timespec span{time_t(ns / 1000000000), long(ns % 1000000000)};
                (void)sigtimedwait(&set, nullptr, &span);  // later signals change nothing
            }
        };
        const auto start = std::chrono::steady_clock::now();
        waitUntil(start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(kInterruptCancelSeconds)));
        platform::NetworkThread::shared().cancelEverything();
        waitUntil(start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(kInterruptExitSeconds)));
        std::function<void()> record;
        {
            std::lock_guard lock(gSignalMutex);
            record = gForcedExitRecord;
        }
        // Recorded on a thread of its own, waited for a moment only: a store another connection
        // holds locked must not hold the end up.
        if (record) runForAMoment(record, 700);
        // The same for the last line: a standard error nobody reads (a full pipe) must not hold
        // the end up, and its description is shared with whoever started the command, so it is
        // left as it is (made non-blocking, it would fail the parent's own writes later); the
        // line is given up when it cannot be written in time.
        runForAMoment([] {
            static const char line[] = "quorvane: interrupted; ended without waiting any longer\n";
            (void)!::write(2, line, sizeof line - 1);
        }, 300);
        ::_exit(kExitInterrupted);
    }).detach();
    // Count the requests in flight, so that the program can let them finish before it ends.
    auto& center = platform::NotificationCenter::defaultCenter();
    center.addObserver(kQNSessionFetcherStartedNotification, nullptr, nullptr,
                       [](const platform::Notification&) {
                           ++gFetchersRunning;
                           ++gMoves;
                       });
    center.addObserver(kQNSessionFetcherStoppedNotification, nullptr, nullptr,
                       [](const platform::Notification&) {
                           --gFetchersRunning;
                           ++gMoves;
                       });
}

// --- the session ---

std::optional<ProviderConfiguration> Session::connect() {
    if (provider_) return provider_;
    auto provider = profile_.provider();
    platform::Result<void> applied = provider ? Profile::apply(*provider) : provider.error();
    if (!applied) {
        const bool mend = applied.error().domain == kCommandErrorDomain && applied.error().code == kCommandErrorBadArguments;
        connectExit_ = mend ? kExitUsage : kExitNetwork;
        console_.error(applied.error().localizedDescription());
        return std::nullopt;
    }
    console_.detail("provider: " + provider->contactsRoot);
    provider_ = *provider;
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
    auto provider = profile_.provider();
    if (provider && !provider_ && Profile::apply(*provider)) provider_ = *provider;
    if (!provider) provider = Profile::defaultProvider();
    env.clientID = provider->clientID;
    env.clientSecret = provider->clientSecret;
    // Another command's sign-in lock is waited for as another run's locks are.
    env.signInLockWait = lockWait();
    auto store = std::make_shared<platform::CNContactStore>();
    auto containers = store->containersMatchingPredicate(nullptr);
    if (containers && containers->empty()) (void)store->addContainerIfNone(kLocalAccountName, platform::CNContainerType::Local);
    env.contactStore = std::move(store);
    model_ = std::make_shared<QuorvaneModel>(std::move(env));
    // The step and the detail within it go to the progress line; the log's own text only with -v.
    model_->setRunLogSink([this](const RunLog&, const RunLog::Event& event) {
        ++gMoves;
        switch (event.change) {
            case RunLog::Change::Progress:
                step_ = event.text;
                subStep_.clear();
                showProgress(true);
                break;
            case RunLog::Change::SubProgress:
                subStep_ = event.text;
                if (!event.text.empty()) showProgress(false);
                break;
            case RunLog::Change::Log: {
                std::string line = event.text;
                while (!line.empty() && line.back() == '\n') line.pop_back();
                if (!line.empty()) console_.detail(line);
                break;
            }
            case RunLog::Change::ProgressBar:
                break;
        }
    });
    return model_;
}

void Session::showProgress(bool newStep) {
    std::string text = step_;
    if (!subStep_.empty()) text += ": " + subStep_;
    std::string counts = progressCounts_ ? progressCounts_() : "";
    if (!counts.empty()) text += " (" + counts + ")";
    console_.progress(text, newStep);
}

bool Session::waitFor(const std::function<bool()>& done, double quietSeconds, bool interruptible) {
    using Clock = std::chrono::steady_clock;
    const double quiet = quietSeconds > 0 ? quietSeconds : kLongWait;
    // A request starting or ending, the run's progress, or a byte of an answer.
    auto moves = [] { return gMoves.load() + platform::NetworkThread::shared().bytesReceived(); };
    uint64_t seen = moves();
    auto movedAt = Clock::now();
    for (;;) {
        if (platform::RunLoop::main()->runUntil([&] { return done() || (interruptible && gInterrupted); }, kWaitTick))
            return done();
        if (const uint64_t now = moves(); now != seen) {
            seen = now;
            movedAt = Clock::now();
        } else if (std::chrono::duration<double>(Clock::now() - movedAt).count() >= quiet) {
            return false;
        }
    }
}

double Session::providerWait() {
    return secondsFromEnvironment("QUORVANE_PROVIDER_WAIT", kDefaultProviderWait).value_or(kDefaultProviderWait);
}
double Session::lockWait() { return secondsFromEnvironment("QUORVANE_LOCK_WAIT", kDefaultLockWait).value_or(kDefaultLockWait); }

std::optional<std::string> Session::waitSettingProblem() {
    for (const char* name : {"QUORVANE_LOCK_WAIT", "QUORVANE_PROVIDER_WAIT"}) {
        if (!secondsFromEnvironment(name, 0))
            return std::string(name) + " must be a number of seconds (digits, a decimal point allowed; 0 or more, " +
                   "at most 100000000), not \"" + std::getenv(name) + "\"";
    }
    return std::nullopt;
}

int Session::lockSyncData(bool localStore) {
    using DataLock = QuorvaneModel::DataLock;
    auto model = this->model();
    const double wait = lockWait();
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", wait);
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(wait);
    // One wait for both locks, each said once when it makes the command wait.
    std::set<DataLock> said;
    for (;;) {
        auto locked = model->lockSyncData(localStore);
        if (!locked) return fail(locked.error(), "The profile's data cannot be locked");
        if (*locked == DataLock::Held) return kExitOK;
        const bool profile = *locked == DataLock::ProfileBusy;
        if (std::chrono::steady_clock::now() >= until)
            return fail(profile ? kCommandErrorRunInProgress : kCommandErrorLocalStoreBusy,
                        std::string("waited ") + seconds + " s");
        if (said.insert(*locked).second) {
            console_.endProgress();
            console_.error(std::string(profile ? "Another quorvane sync of this profile is running"
                                               : "A quorvane sync of another profile is writing the local contacts") +
                           "; waiting up to " + seconds + " s for it to end");
        }
        platform::RunLoop::main()->runUntil([] { return gInterrupted; }, kWaitTick);
        if (gInterrupted) return kExitInterrupted;
    }
}

void Session::drainRequests() {
    platform::RunLoop::main()->runUntil([] { return gFetchersRunning.load() <= 0; }, kDrainSeconds);
}

void Session::close() {
    // The model's sessions hand their connections to the network thread to close; they must be
    // closed before the program's exit tears the TLS library down under them.
    platform::releaseInBulk([this] {
        if (model_) model_->leaveRunDataToProcessExit();
        model_.reset();
    });
    // A kept Google list written this run takes its place once on the disk.
    waitForReplacements(30);
    // What the closing posted to this thread runs now (nothing waits for more to come).
    platform::RunLoop::main()->runOnce(0);
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

int Session::fail(const platform::Error& error, const std::string& what, std::optional<CommandError> unknownAs) {
    FailureText failure = describeFailure(error, unknownAs);
    std::string text = failure.sentence;
    if (!what.empty()) text = what + ": " + text;
    if (!failure.next.empty()) text += " " + failure.next;
    console_.error(text);
    console_.detail("(" + rawError(error) + ")");
    return failure.exitCode;
}

int Session::fail(CommandError code, const std::string& detail, int64_t runID) {
    FailureText failure = describeFailure(platform::Error(kCommandErrorDomain, code));
    std::string text = failure.sentence;
    if (!detail.empty()) text += " (" + detail + ")";
    if (size_t at = failure.next.find("RUN"); at != std::string::npos) {
        if (runID > 0) failure.next.replace(at, 3, std::to_string(runID));
        else failure.next = withoutRunHint(failure.next);
    }
    if (!failure.next.empty()) text += " " + failure.next;
    console_.error(text);
    return failure.exitCode;
}

// --- the program ---

int runQuorvane(int argc, char** argv) {
    // A write past the file-size limit (ulimit -f) fails like any refused write, with its error
    // (EFBIG), instead of ending the command by SIGXFSZ: the stores name the limit and the command
    // ends with its sentence. Programs the command starts get the signal's default back.
    ::signal(SIGXFSZ, SIG_IGN);
    std::string profileName = Profile::kDefaultName;
    bool quiet = false, verbose = false, help = false;
    std::vector<std::string> rest;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            rest.insert(rest.end(), argv + i, argv + argc);
            break;
        }
        if (a == "-q" || a == "--quiet") quiet = true;
        else if (a == "-v" || a == "--verbose") verbose = true;
        else if (a == "--profile" || a.rfind("--profile=", 0) == 0) {
            profileName = a != "--profile" ? a.substr(10) : i + 1 < argc ? argv[++i] : "";
            if (profileName.empty()) {
                Console(quiet, verbose).error("--profile needs a profile name: quorvane --profile NAME COMMAND");
                return kExitUsage;
            }
        }
        else if (a == "-h" || a == "--help") help = true;
        else rest.push_back(a);
    }
    Console console(quiet, verbose);
    // "help [COMMAND]", "COMMAND --help", or "--help" alone.
    if (!help && !rest.empty() && rest[0] == "help") {
        help = true;
        rest.erase(rest.begin());
    }
    if (help) {
        if (rest.empty()) {
            std::fputs(overallHelp().c_str(), stdout);
            return kExitOK;
        }
        if (auto text = commandHelp(rest[0])) {
            std::fputs(text->c_str(), stdout);
            return kExitOK;
        }
        console.error("unknown command \"" + rest[0] + "\" (quorvane --help lists them)");
        return kExitUsage;
    }
    if (rest.empty()) {
        // "quorvane --profile sync": the name forgotten, the command taken for it.
        if (isProfileCommand(profileName) && profileName != Profile::kDefaultName) {
            console.error("--profile needs a profile name before the command: quorvane --profile NAME " + profileName);
            return kExitUsage;
        }
        std::fputs(overallHelp().c_str(), stderr);
        return kExitUsage;
    }
    auto profile = Profile::named(profileName);
    if (!profile) {
        console.error(profile.error().localizedDescription());
        return kExitUsage;
    }
    platform::Log::setMinimumLevel(verbose ? platform::LogLevel::Info : platform::LogLevel::Error);
    installInterruptHandling();
    platform::URLSessionConfiguration::setDefaultTimeoutIntervalForResource(kRequestDeadlineSeconds);

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
    // The waits of the commands that run against the provider and the profile's lock: a setting
    // that is not a number of seconds is refused, never taken for the default.
    if (rest[0] == "plan" || rest[0] == "sync" || rest[0] == "delete-all" || rest[0] == "signin" ||
        rest[0] == "signout") {
        if (auto problem = Session::waitSettingProblem()) {
            console.error(*problem);
            return kExitUsage;
        }
    }
    // A profile name never used before is a new profile only where one is made (its settings set,
    // or a sign-in); anywhere else it is most likely a typing error, and refused.
    bool made = false;
    if (!profile->exists()) {
        const bool makes = rest[0] == "signin" || (rest[0] == "config" && rest.size() > 1 && rest[1] == "set");
        if (!makes) {
            std::string names;
            for (const auto& name : Profile::existingNames()) names += (names.empty() ? "" : ", ") + name;
            console.error("there is no profile \"" + profileName + "\" (there are: " + names + "); quorvane --profile " +
                          profileName + " config set KEY VALUE, or signin, makes it");
            return kExitUsage;
        }
        console.note("making the new profile \"" + profileName +
                     "\": it uses the real provider until its provider keys are set (quorvane --profile " + profileName +
                     " config get lists them)");
        profile->make();
        made = true;
    }
    if (profileName != Profile::kDefaultName) console.setProfile(profileName);
    Session session(std::move(*profile), console);
    Telemetry telemetry;
    telemetry.start(session.profile(), console);
    int code = it->second(session, std::vector<std::string>(rest.begin() + 1, rest.end()));
    session.drainRequests();
    telemetry.finish(kDrainSeconds);
    session.close();
    // A command refused or failed leaves no new profile behind unless it kept something in it.
    if (made && code != kExitOK && session.profile().unmakeIfEmpty()) console.note("the new profile \"" + profileName + "\" was not made");
    return code;
}

}  // namespace quorvane::app
