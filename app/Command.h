#pragma once
// The `quorvane` command: global options, the subcommands and their exit codes.
//
//   quorvane [--profile NAME] [-q] [-v] COMMAND [ARGS]
//
// Every subcommand runs on the main thread and drives the main run loop until its work is done.
// SIGINT and SIGTERM are taken by a thread of their own and reach the main loop as
// `interrupted()`; a command ends after the step in flight and exits 130. Requests still in flight
// 3 seconds after the signal are cancelled, and the program ends within 9 seconds whatever it
// was doing.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/Console.h"
#include "app/Failures.h"
#include "app/Profile.h"
#include "platform/foundation/Error.h"

namespace quorvane {
class QuorvaneModel;
}

namespace quorvane::app {

enum ExitCode : int {
    kExitOK = 0,
    kExitPartial = 1,       // some records failed
    kExitUsage = 2,
    kExitAuth = 3,          // not signed in, or the provider refused the authorization
    kExitNetwork = 4,       // the provider could not be reached: safe to retry
    kExitRefused = 5,       // refused for safety
    kExitOther = 6,         // anything else
    kExitInterrupted = 130,
};

// The arguments of one subcommand: flags, options with a value, and the rest in order.
class Arguments {
public:
    // flags: "--yes", ...; valued: "--container", ... (given as "--container ID" or "--container=ID").
    // A kCommandErrorBadArguments error for an unknown option or an option without its value.
    static platform::Result<Arguments> parse(const std::vector<std::string>& args, const std::set<std::string>& flags,
                                             const std::set<std::string>& valued);
    bool has(const std::string& flag) const { return flags_.count(flag) > 0; }
    std::optional<std::string> value(const std::string& option) const;
    const std::vector<std::string>& positional() const { return positional_; }

private:
    std::set<std::string> flags_;
    std::map<std::string, std::string> values_;
    std::vector<std::string> positional_;
};

class Session {
public:
    Session(Profile profile, Console& console) : profile_(std::move(profile)), console_(console) {}

    const Profile& profile() const { return profile_; }
    Console& console() { return console_; }

    // The profile's provider, applied to this process; nullopt after saying why.
    std::optional<ProviderConfiguration> connect();
    // The exit code after connect() failed: 2 for a setting to mend, else 4 (retry later).
    int connectExit() const { return connectExit_; }
    // The sync model on the profile's settings, keychain item and data folder (made once). A
    // local contact store without any account gets the machine's local one first.
    std::shared_ptr<QuorvaneModel> model();

    // While set, the progress line ends with what this answers (a run's counts: "fetched 10,000,
    // planned 57, written 12"); an empty function for none.
    void setProgressCounts(std::function<std::string()> counts) { progressCounts_ = std::move(counts); }

    // Runs the main loop until the predicate holds (true), or until the user interrupts or nothing
    // moved for `quietSeconds` (false either way; interrupted() tells which). Moving is a request
    // starting or ending, a byte of an answer or the run's progress; quietSeconds 0 waits without
    // that bound (a day).
    // A wait for the provider passes providerWait(); an interruptible one stops on interrupt.
    bool waitFor(const std::function<bool()>& done, double quietSeconds, bool interruptible = true);
    // How long a command waits on a provider that does nothing (QUORVANE_PROVIDER_WAIT seconds,
    // default 300), and on another run of the profile (QUORVANE_LOCK_WAIT, default 60).
    static double providerWait();
    static double lockWait();
    // Why QUORVANE_LOCK_WAIT or QUORVANE_PROVIDER_WAIT is not a number of seconds, 0 or more; nullopt when both are.
    static std::optional<std::string> waitSettingProblem();
    // Takes the profile's sync lock and (unless localStore is false) the local store's for the
    // rest of the command (QuorvaneModel::lockSyncData), waiting up to lockWait() in all with a
    // line saying why; 0 once held, else the exit code after saying why.
    int lockSyncData(bool localStore = true);
    // Lets requests in flight (a revocation, say) finish before the program ends, for at most
    // a few seconds.
    void drainRequests();
    // Lets the model go and waits until the network has closed its connections.
    void close();

    // Says what went wrong and what to do about it (app/Failures: the raw error only with -v),
    // after `what` was tried; answers the exit code.
    int fail(const platform::Error& error, const std::string& what = "",
             std::optional<CommandError> unknownAs = std::nullopt);
    // The same for a failure of the command's own, with a detail in words; "RUN" in what to do
    // becomes the run's number when there is one.
    int fail(CommandError code, const std::string& detail = "", int64_t runID = 0);

private:
    Profile profile_;
    Console& console_;
    std::shared_ptr<QuorvaneModel> model_;
    std::optional<ProviderConfiguration> provider_;  // applied to this process
    int connectExit_ = kExitNetwork;
    std::function<std::string()> progressCounts_;
    std::string step_, subStep_;  // the progress line's step and the detail within it

    void showProgress(bool newStep);
};

// The name the local store gives the machine's own account when it has none.
inline constexpr const char* kLocalAccountName = "On This Computer";

// Whether SIGINT or SIGTERM arrived (set on the main thread).
bool interrupted();
// Asks "<question>? [y/N] " on standard error and reads the answer from standard input: true
// for "y", "Y" or "yes". Nothing may have been written yet when it is asked: SIGINT or SIGTERM
// during the question (or just before it) ends the program at once with exit code 130.
bool askYesNo(const std::string& question);
// What the signal thread does before it ends the program for good (9 seconds after the signal):
// record the run in flight as interrupted. Runs on that thread, so it may touch nothing of the
// main thread's; an empty function for none.
void setForcedExitRecord(std::function<void()> record);
// Starts the signal thread; call before any other thread exists.
void installInterruptHandling();

// The subcommands; each answers its exit code.
int commandSignIn(Session& session, const std::vector<std::string>& args);
int commandSignOut(Session& session, const std::vector<std::string>& args);
int commandStatus(Session& session, const std::vector<std::string>& args);
int commandAccounts(Session& session, const std::vector<std::string>& args);
int commandConfig(Session& session, const std::vector<std::string>& args);
int commandDeleteAll(Session& session, const std::vector<std::string>& args);
int commandLog(Session& session, const std::vector<std::string>& args);
int commandPlan(Session& session, const std::vector<std::string>& args);
int commandSync(Session& session, const std::vector<std::string>& args);

// The whole program: parses the global options and runs the subcommand.
int runQuorvane(int argc, char** argv);

}  // namespace quorvane::app
