// The command's help: one entry per subcommand, from which both the overall help and each
// subcommand's own help (`quorvane help sync`, `quorvane sync --help`) are made.

#include "app/Help.h"

#include <vector>

namespace quorvane::app {

namespace {

struct CommandHelp {
    const char* name;
    const char* synopsis;  // after "quorvane "
    const char* summary;   // one line, for the list of commands
    const char* details;   // what it does
    const char* options;   // one option a line, "" for none
    const char* example;
};

// The waits the environment sets, for the commands that read them.
#define PROVIDER_WAIT_HELP                                                                              \
    "QUORVANE_PROVIDER_WAIT=SECONDS  give up on a provider that did nothing for that long\n"              \
    "                                (default 300; 0: no such limit, only the 10-minute request bound)"
#define LOCK_WAIT_HELP                                                                                  \
    "QUORVANE_LOCK_WAIT=SECONDS      wait that long for another sync of the profile, one of another\n"  \
    "                                profile writing the local contacts, or a command refreshing\n"     \
    "                                the sign-in, to end\n"                                            \
    "                                (default 60; 0: refuse at once)"

const std::vector<CommandHelp>& helps() {
    static const std::vector<CommandHelp> table = {
        {"signin", "signin [--no-browser] [--timeout SECONDS]", "sign in to the provider",
         "Opens the provider's sign-in page in your browser and waits for its answer on 127.0.0.1.\n"
         "The sign-in is kept for this profile until signout.",
         "  --no-browser         print the address to open instead of opening a browser\n"
         "  --timeout SECONDS    give up after SECONDS without an answer (default 300)\n",
         "quorvane signin --no-browser"},
        {"signout", "signout", "forget the sign-in and revoke its token",
         "Forgets this profile's sign-in and asks the provider to revoke its token, waiting up to 30 s\n"
         "for its answer (less when QUORVANE_PROVIDER_WAIT is shorter). The sign-in is forgotten in any\n"
         "case; when the provider did not confirm the revocation the command says so and exits\n"
         "non-zero (4 no answer, 6 refused, 130 interrupted): the token stays valid until it expires.\n"
         "\n" PROVIDER_WAIT_HELP,
         "", "quorvane signout"},
        {"status", "status", "the profile, the provider, who is signed in, the local account",
         "Says which provider this profile talks to, who is signed in, which local account is\n"
         "synced, where the data is kept and how the last run ended.",
         "", "quorvane --profile google status"},
        {"accounts", "accounts", "the local accounts",
         "Lists the local contact accounts, one a line: identifier, kind, number of contacts,\n"
         "read-only or not, name; the account that is synced is marked.",
         "", "quorvane accounts"},
        {"config", "config get [KEY] | config set KEY VALUE", "show or change a setting",
         "Shows one setting, or all of them, or changes one. Provider keys (contacts-root,\n"
         "client-id, client-secret, ca-file, ...) point a profile at its provider; an empty value\n"
         "puts a provider key's default back. telemetry-app-secret turns telemetry on and\n"
         "telemetry-url says where it sends. The other keys are the sync settings.",
         "", "quorvane config set syncDeletions false"},
        {"plan", "plan [--mode M] [--json]", "what a sync would do, one line per contact",
         "Downloads both sides and prints what a sync would do, one line per contact:\n"
         "  + created   > sent to Google   < written to the local account   - deleted\n"
         "and a summary. -v says why each contact changes. No contact, history or setting is\n"
         "written; what a plan keeps is a cache: the downloaded Google list beside the sync store\n"
         "(the store's file is made, empty, when the profile has none yet), and a refreshed\n"
         "sign-in with its lock file. It does not wait for\n"
         "another sync of the profile, but a QUORVANE_LOCK_WAIT that is no number of seconds is\n"
         "refused all the same.\n"
         "\n" PROVIDER_WAIT_HELP "\n" LOCK_WAIT_HELP,
         "  --mode M   two-way (default), google-to-local or local-to-google\n"
         "  --json     the plan, its counts and the exit code as JSON on standard output\n",
         "quorvane -v plan --mode google-to-local"},
        {"sync", "sync [--mode M] [--dry-run] [--yes] [--max-delete N] [--force-update] [--no-photos] [--json]",
         "carry the plan out",
         "Plans as `plan` does, then writes the changes on both sides and records the run (see log).\n"
         "Deletions need --yes, or a \"y\" at the terminal; more than --max-delete of them refuse the\n"
         "whole run. Ctrl-C (or SIGTERM) stops after the request in flight and keeps what was done;\n"
         "a request still running 3 s later is cancelled, and the command ends within 10 s (exit 130).\n"
         "One sync of a profile runs at a time, and one of all profiles writes the local contacts:\n"
         "another waits up to 60 s, then refuses (exit 5).\n"
         "\n" PROVIDER_WAIT_HELP "\n" LOCK_WAIT_HELP,
         "  --mode M         two-way (default), google-to-local or local-to-google\n"
         "  --dry-run        only plan (as quorvane plan)\n"
         "  --yes            allow the planned deletions\n"
         "  --max-delete N   refuse the run when it would delete more than N contacts\n"
         "  --force-update   write every paired contact, changed or not\n"
         "  --no-photos      leave photos alone this time\n"
         "  --json           the counts per side, failures with reasons, the run and the exit code\n"
         "                   as JSON on standard output\n",
         "quorvane sync --yes --max-delete 20"},
        {"delete-all", "delete-all --google | --local --container ID [--yes]", "empty one side",
         "Deletes every contact and user group of the signed-in provider account (--google), or\n"
         "every contact and group of one local account (--local). At a terminal it asks first unless\n"
         "--yes is given; without a terminal (a script, a pipe) it needs --yes and otherwise refuses\n"
         "(exit 5) without deleting anything.\n"
         "\n" PROVIDER_WAIT_HELP "\n" LOCK_WAIT_HELP,
         "  --google         the provider's side\n"
         "  --local          a local account, given by --container\n"
         "  --container ID   the local account (quorvane accounts lists them)\n"
         "  --yes            do not ask\n",
         "quorvane delete-all --local --container 3F2A... --yes"},
        {"log", "log [--last N] [--show RUN]", "the last runs, or one run's log",
         "Lists the last runs of this profile, newest last: number, start, mode, result and counts.\n"
         "--show prints one run's whole log, failures and their reasons among it.",
         "  --last N     how many runs (default 10)\n"
         "  --show RUN   one run's log\n",
         "quorvane log --show 12"},
        {"help", "help [COMMAND]", "this help, or one command's",
         "Prints the list of commands, or everything about one of them (as COMMAND --help does).", "",
         "quorvane help sync"},
    };
    return table;
}

#undef PROVIDER_WAIT_HELP
#undef LOCK_WAIT_HELP

constexpr const char* kGlobalOptions =
    "options (before or after the command):\n"
    "  --profile NAME   the provider profile (default \"fake\": the fake provider on this machine;\n"
    "                   \"google\": the real provider)\n"
    "  -q               no progress and no notes\n"
    "  -v               notes of detail, and the raw error codes of failures\n"
    "  -h, --help       help\n";

constexpr const char* kExitCodes =
    "exit codes: 0 done, 1 some records failed, 2 usage, 3 not signed in or authorization refused,\n"
    "4 provider unreachable (safe to retry), 5 refused for safety, 6 other failure, 130 interrupted\n";

}  // namespace

std::string overallHelp() {
    std::string out = "usage: quorvane [--profile NAME] [-q] [-v] COMMAND [ARGS]\n\ncommands:\n";
    for (const auto& h : helps()) {
        std::string name = h.name;
        out += "  " + name + std::string(name.size() < 12 ? 12 - name.size() : 1, ' ') + h.summary + "\n";
    }
    out += "\nquorvane help COMMAND (or quorvane COMMAND --help) says more about one.\n\n";
    out += kGlobalOptions;
    out += "\n";
    out += kExitCodes;
    return out;
}

std::optional<std::string> commandHelp(const std::string& name) {
    for (const auto& h : helps()) {
        if (name != h.name) continue;
        std::string out = std::string("usage: quorvane ") + h.synopsis + "\n\n" + h.details + "\n";
        if (*h.options) out += std::string("\noptions:\n") + h.options;
        out += std::string("\nexample:\n  ") + h.example + "\n\n" + kGlobalOptions + "\n" + kExitCodes;
        return out;
    }
    return std::nullopt;
}

bool isProfileCommand(std::string_view word) {
    if (word == "help") return false;
    for (const auto& h : helps())
        if (word == h.name) return true;
    return false;
}

}  // namespace quorvane::app
