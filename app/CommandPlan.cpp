// plan [--mode M] [--json]: what a sync would do, one line per contact, and a summary.
//
//   + Name (on Google)   a contact created at the provider     < Name   the local contact updated
//   + Name (locally)     a contact created in the local account > Name   the Google contact updated
//   - Name (on Google)   a contact deleted at the provider
//   - Name (locally)     a contact deleted in the local account
//
// With -v each line also says why.

#include <unistd.h>

#include <iostream>

#include "app/Command.h"
#include "platform/foundation/Value.h"
#include "sync/QuorvaneModel.h"
#include "platform/runloop/RunLoop.h"
#include "sync/SyncRun.h"

namespace quorvane::app {

namespace {

struct PlanLine {
    const char* symbol;
    const char* action;  // the JSON form
    const char* side;    // "google" or "local"
};

// nullopt for a record with nothing to do.
std::optional<PlanLine> lineFor(const NSSyncRecord& record) {
    switch (record.mSyncAction) {
        case SyncActionGoogleToMac:
            if (!record.mAppleContact) return PlanLine{"+", "create", "local"};
            return PlanLine{"<", "update", "local"};
        case SyncActionMacToGoogle:
            if (!record.mGoogleContact) return PlanLine{"+", "create", "google"};
            return PlanLine{">", "update", "google"};
        case SyncActionDeleteContact:
            return PlanLine{"-", "delete", record.mGoogleContact ? "google" : "local"};
        default:
            return std::nullopt;
    }
}

std::optional<int32_t> parseSyncMode(const std::string& text) {
    if (text == "two-way" || text == "0") return SyncModeTwoWay;
    if (text == "google-to-local" || text == "1") return SyncModeGoogleToMac;
    if (text == "local-to-google" || text == "2") return SyncModeMacToGoogle;
    return std::nullopt;
}

// Runs a sync (or only its plan) to its end; the run, or nullptr after a message when it could
// not start. An interrupt cancels the run after the work in flight.
std::shared_ptr<SyncRun> runSync(Session& session, SyncRunOptions options, int* code) {
    *code = kExitOK;
    if (!session.connect()) {
        *code = kExitNetwork;
        return nullptr;
    }
    auto model = session.model();
    if (!model->mAuth) {
        session.console().error("not signed in (quorvane signin)");
        *code = kExitAuth;
        return nullptr;
    }
    bool finished = false;
    auto run = model->startSyncRun(options, [&finished](SyncRun&) { finished = true; });
    if (!run) {
        session.console().error("a run is in progress");
        *code = kExitOther;
        return nullptr;
    }
    if (!session.waitFor([&finished] { return finished; })) {
        run->cancel();
        platform::RunLoop::main()->runUntil([&finished] { return finished; }, 24 * 3600.0);
        *code = kExitInterrupted;
    }
    return run;
}

int exitCodeForRun(Session& session, const SyncRun& run) {
    std::string why = run.message();
    if (why.empty() && run.error()) why = run.error()->localizedDescription();
    switch (run.outcome()) {
        case SyncRunOutcome::Ok: return kExitOK;
        case SyncRunOutcome::Partial:
            session.console().error("some records failed (quorvane log --show lists them)" + (why.empty() ? "" : ": " + why));
            return kExitPartial;
        case SyncRunOutcome::Auth:
            session.console().error("the provider refused the sign-in: " + why);
            session.model()->signOutFromGoogle();
            session.console().note("signed out: sign in again with quorvane signin");
            return kExitAuth;
        case SyncRunOutcome::Network:
            session.console().error("the provider is unreachable (safe to retry): " + why);
            return kExitNetwork;
        case SyncRunOutcome::Refused: session.console().error("refused: " + why); return kExitRefused;
        default: session.console().error("the run failed: " + why); return kExitOther;
    }
}

void printPlan(Session& session, const SyncRun& run, bool json) {
    auto model = session.model();
    const bool verbose = session.console().verbose();
    const SyncPlanSummary& plan = run.plan();
    platform::Value records = platform::Value::array();
    for (const auto& record : model->mSyncRecords) {
        if (!record) continue;
        auto line = lineFor(*record);
        if (!line) continue;
        std::string name = record->mDescription.value_or("");
        std::string reason = record->getSyncReasonString(0);
        if (json) {
            platform::Value r = platform::Value::dictionary();
            r.set("action", line->action);
            r.set("side", line->side);
            r.set("name", name);
            if (!reason.empty()) r.set("reason", reason);
            records.append(std::move(r));
            continue;
        }
        std::string text = std::string(line->symbol) + " " + name;
        if (*line->symbol == '+' || *line->symbol == '-')
            text += std::string(" (") + (std::string(line->side) == "google" ? "on Google" : "locally") + ")";
        if (verbose && !reason.empty()) text += "\t" + reason;
        session.console().out(text);
    }
    if (json) {
        platform::Value out = platform::Value::dictionary();
        out.set("records", std::move(records));
        platform::Value summary = platform::Value::dictionary();
        summary.set("createGoogle", int64_t(plan.createGoogle));
        summary.set("updateGoogle", int64_t(plan.updateGoogle));
        summary.set("deleteGoogle", int64_t(plan.deleteGoogle));
        summary.set("createLocal", int64_t(plan.createLocal));
        summary.set("updateLocal", int64_t(plan.updateLocal));
        summary.set("deleteLocal", int64_t(plan.deleteLocal));
        summary.set("unchanged", int64_t(plan.unchanged));
        summary.set("feedsComplete", plan.googleFeedsComplete);
        platform::Value notes = platform::Value::array();
        for (const auto& n : plan.notes) notes.append(platform::Value(n));
        summary.set("notes", std::move(notes));
        out.set("summary", std::move(summary));
        session.console().out(out.toJSON(true));
        return;
    }
    for (const auto& note : plan.notes) session.console().note(note);
    session.console().out("Google: " + std::to_string(plan.createGoogle) + " to create, " +
                          std::to_string(plan.updateGoogle) + " to update, " + std::to_string(plan.deleteGoogle) +
                          " to delete; local: " + std::to_string(plan.createLocal) + " to create, " +
                          std::to_string(plan.updateLocal) + " to update, " + std::to_string(plan.deleteLocal) +
                          " to delete; " + std::to_string(plan.unchanged) + " unchanged");
}

}  // namespace

int commandPlan(Session& session, const std::vector<std::string>& args) {
    std::string why;
    auto parsed = Arguments::parse(args, {"--json"}, {"--mode"}, &why);
    std::optional<int32_t> mode = SyncModeTwoWay;
    if (parsed && !parsed->positional().empty()) why = "unexpected argument \"" + parsed->positional()[0] + "\"";
    if (parsed && parsed->value("--mode") && !(mode = parseSyncMode(*parsed->value("--mode"))))
        why = "--mode is two-way, google-to-local or local-to-google";
    if (!parsed || !why.empty()) {
        session.console().error(why);
        return kExitUsage;
    }
    SyncRunOptions options;
    options.syncMode = *mode;
    options.planOnly = true;
    int code = kExitOK;
    auto run = runSync(session, options, &code);
    if (!run || code != kExitOK) return code;
    if (run->outcome() != SyncRunOutcome::Ok) return exitCodeForRun(session, *run);
    printPlan(session, *run, parsed->has("--json"));
    return kExitOK;
}

// sync [--mode M] [--dry-run] [--yes] [--max-delete N] [--force-update] [--no-photos]
int commandSync(Session& session, const std::vector<std::string>& args) {
    std::string why;
    auto parsed = Arguments::parse(args, {"--dry-run", "--yes", "--force-update", "--no-photos", "--json"},
                                   {"--mode", "--max-delete"}, &why);
    std::optional<int32_t> mode = SyncModeTwoWay;
    std::optional<long> maxDelete;
    if (parsed && !parsed->positional().empty()) why = "unexpected argument \"" + parsed->positional()[0] + "\"";
    if (parsed && parsed->value("--mode") && !(mode = parseSyncMode(*parsed->value("--mode"))))
        why = "--mode is two-way, google-to-local or local-to-google";
    if (parsed && parsed->value("--max-delete")) {
        char* end = nullptr;
        const std::string text = *parsed->value("--max-delete");
        long v = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end || v < 0) why = "--max-delete needs a number of 0 or more";
        else maxDelete = v;
    }
    if (!parsed || !why.empty()) {
        session.console().error(why);
        return kExitUsage;
    }
    if (parsed->has("--dry-run")) {
        std::vector<std::string> planArgs = {"--mode", std::to_string(*mode)};
        if (parsed->has("--json")) planArgs.push_back("--json");
        return commandPlan(session, planArgs);
    }

    // The two switches hold for this run only: the stored settings come back afterwards.
    auto model = session.model();
    struct Restore {
        std::shared_ptr<QuorvaneModel> model;
        bool force, photos;
        ~Restore() {
            model->setForceUpdateContacts(force);
            model->setSyncPhotosSetting(photos);
        }
    } restore{model, model->forceUpdateContacts(), model->syncPhotosSetting()};
    if (parsed->has("--force-update")) model->setForceUpdateContacts(true);
    if (parsed->has("--no-photos")) model->setSyncPhotosSetting(false);

    SyncRunOptions options;
    options.syncMode = *mode;
    options.planOnly = false;
    const bool yes = parsed->has("--yes");
    Console& console = session.console();
    options.confirm = [&console, yes, maxDelete](SyncRun& run, std::function<void(bool)> answer) {
        const SyncPlanSummary& plan = run.plan();
        size_t deletions = plan.deletions();
        if (maxDelete && deletions > size_t(*maxDelete)) {
            console.error(std::to_string(deletions) + " deletions planned, more than --max-delete " +
                          std::to_string(*maxDelete) + ": nothing was written");
            return answer(false);
        }
        if (deletions == 0 || yes) return answer(true);
        if (::isatty(0) != 1) {
            console.error(std::to_string(deletions) + " deletions planned: confirm them with --yes");
            return answer(false);
        }
        console.endProgress();
        std::fprintf(stderr, "Delete %zu contacts (%zu on Google, %zu locally)? [y/N] ", deletions, plan.deleteGoogle,
                     plan.deleteLocal);
        std::string reply;
        std::getline(std::cin, reply);
        answer(reply == "y" || reply == "Y" || reply == "yes");
    };
    int code = kExitOK;
    auto run = runSync(session, options, &code);
    if (!run) return code;
    const SyncRunCounts& c = run->result().counts;
    if (run->state() == SyncRun::State::finished && run->outcome() != SyncRunOutcome::Refused)
        console.out("Google: " + std::to_string(c.googleCreated) + " created, " + std::to_string(c.googleUpdated) +
                    " updated, " + std::to_string(c.googleDeleted) + " deleted; local: " +
                    std::to_string(c.appleCreated) + " created, " + std::to_string(c.appleUpdated) + " updated, " +
                    std::to_string(c.appleDeleted) + " deleted; " + std::to_string(c.photosMoved) +
                    " photos moved; " + std::to_string(c.failures) + " failed");
    for (const auto& warning : run->result().warnings) console.error("warning: " + warning);
    if (code == kExitInterrupted) return code;
    return exitCodeForRun(session, *run);
}

}  // namespace quorvane::app
