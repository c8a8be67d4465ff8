// plan [--mode M] [--json]: what a sync would do, one line per contact, and a summary.
//
//   + Name (on Google)   a contact created at the provider     < Name   the local contact updated
//   + Name (locally)     a contact created in the local account > Name   the Google contact updated
//   - Name (on Google)   a contact deleted at the provider
//   - Name (locally)     a contact deleted in the local account
//
// With -v each line also says why.

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

int planRun(Session& session, int32_t mode, bool planOnly, std::shared_ptr<SyncRun>* out) {
    if (!session.connect()) return kExitNetwork;
    auto model = session.model();
    if (!model->mAuth) {
        session.console().error("not signed in (quorvane signin)");
        return kExitAuth;
    }
    SyncRunOptions options;
    options.syncMode = mode;
    options.planOnly = planOnly;
    bool finished = false;
    auto run = model->startSyncRun(options, [&finished](SyncRun&) { finished = true; });
    if (!run) {
        session.console().error("a run is in progress");
        return kExitOther;
    }
    if (!session.waitFor([&finished] { return finished; })) {
        run->cancel();
        platform::RunLoop::main()->runUntil([&finished] { return finished; }, 24 * 3600.0);
        *out = run;
        return kExitInterrupted;
    }
    *out = run;
    return kExitOK;
}

int exitCodeForRun(Session& session, const SyncRun& run) {
    using R = SyncRun::Result;
    std::string why = run.message();
    if (run.error()) why += (why.empty() ? "" : ": ") + run.error()->localizedDescription();
    switch (run.result()) {
        case R::ok: return kExitOK;
        case R::partial: session.console().error("some records failed: " + why); return kExitPartial;
        case R::auth:
            session.console().error("the provider refused the sign-in: " + why);
            session.model()->signOutFromGoogle();
            session.console().note("signed out: sign in again with quorvane signin");
            return kExitAuth;
        case R::network: session.console().error("the provider could not be reached: " + why); return kExitNetwork;
        case R::refused: session.console().error("refused: " + why); return kExitRefused;
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
    std::shared_ptr<SyncRun> run;
    int code = planRun(session, *mode, true, &run);
    if (code != kExitOK) return code;
    if (run->result() != SyncRun::Result::ok) return exitCodeForRun(session, *run);
    printPlan(session, *run, parsed->has("--json"));
    return kExitOK;
}

}  // namespace quorvane::app
