// plan [--mode M] [--json]: what a sync would do, one line per contact, and a summary.
//
//   + Name (on Google)   a contact created at the provider     < Name   the local contact updated
//   + Name (locally)     a contact created in the local account > Name   the Google contact updated
//   - Name (on Google)   a contact deleted at the provider
//   - Name (locally)     a contact deleted in the local account
//
// With -v each line also says why. sync [...] carries the plan out. Both print the same JSON with
// --json (printJSON below), and show a run's progress with its counts (fetched, planned, written).

#include <unistd.h>

#include <mutex>

#include "app/Command.h"
#include "platform/foundation/Value.h"
#include "platform/net/NetworkThread.h"
#include "sync/QuorvaneModel.h"
#include "platform/runloop/RunLoop.h"
#include "sync/SyncRun.h"
#include "sync/SyncStore.h"

namespace quorvane::app {

namespace {

struct PlanLine {
    const char* symbol;
    const char* action;  // the JSON form
    const char* side;    // "google" or "local"
};

// nullopt for a record with nothing to do. A contact the run created is its record's contact
// afterwards: it stays a creation.
std::optional<PlanLine> lineFor(const NSSyncRecord& record) {
    switch (record.mSyncAction) {
        case SyncActionGoogleToMac:
            if (!record.mAppleContact || record.mCreatedNewContact) return PlanLine{"+", "create", "local"};
            return PlanLine{"<", "update", "local"};
        case SyncActionMacToGoogle:
            if (!record.mGoogleContact || record.mCreatedNewContact) return PlanLine{"+", "create", "google"};
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

const char* outcomeText(SyncRunOutcome outcome) { return syncRunOutcomeName(outcome); }

// The counts the progress line ends with: what was fetched, planned and written so far.
std::string countsText(const SyncRun& run) {
    using State = SyncRun::State;
    std::string out;
    auto add = [&out](const std::string& part) { out += (out.empty() ? "" : ", ") + part; };
    if (run.state() > State::fetchContacts && run.feeds().contacts.feed)
        add("fetched " + SyncRun::grouped(run.feeds().contacts.feed->entryCount()));
    if (run.planned()) add("planned " + SyncRun::grouped(run.plan().changes()));
    if (run.state() >= State::execute) {
        const SyncRunCounts& c = run.counts();
        size_t written = size_t(c.googleCreated + c.googleUpdated + c.googleDeleted + c.appleCreated + c.appleUpdated +
                                c.appleDeleted);
        add("written " + SyncRun::grouped(written));
    }
    return out;
}

// What a run had written, as the main thread last saw it, for the signal thread to read.
struct WrittenSoFar {
    std::mutex mutex;
    SyncRunCounts counts;
};

// Records the run as interrupted, with what it had written, when the program ends for good before
// the run could record itself (SyncStore of its own: the main thread's is busy, or stuck). Runs on
// the signal thread.
std::function<void()> interruptedRunRecord(QuorvaneModel& model, const SyncRunOptions& options,
                                           std::shared_ptr<WrittenSoFar> written) {
    SyncLogRecord record;
    record.startDate = platform::Date::now();
    record.syncMode = options.syncMode;
    record.automatic = options.automatic;
    record.result = "interrupted";
    record.error = "ended without waiting any longer, 9 s after the signal";
    record.googleAccount = model.getGoogleAccountName();
    record.appleAccount = model.getAppleAccountName();
    record.logText = "Interrupted: the run was still going 9 s after the signal and was ended there\n";
    const auto path = SyncStore::pathInFolder(model.dataFolder());
    return [record, path, written] {
        auto store = SyncStore::open(path);
        if (!store) return;
        // Nothing to add when the run recorded itself after all (each is recorded once it began).
        if (auto logs = (*store)->fetchSyncLogs())
            for (const auto& log : *logs)
                if (!(log.startDate < record.startDate)) return;
        SyncLogRecord ended = record;
        ended.endDate = platform::Date::now();
        {
            std::lock_guard lock(written->mutex);
            const SyncRunCounts& c = written->counts;
            ended.googleCreated = c.googleCreated, ended.googleUpdated = c.googleUpdated, ended.googleDeleted = c.googleDeleted;
            ended.appleCreated = c.appleCreated, ended.appleUpdated = c.appleUpdated, ended.appleDeleted = c.appleDeleted;
            ended.photosMoved = c.photosMoved, ended.failures = c.failures;
        }
        (*store)->insertSyncLog(std::move(ended));
        (void)(*store)->save();
    };
}

// Runs a sync (or only its plan) to its end; the run, or nullptr after saying why it could not
// start. An interrupt cancels the run after the work in flight.
std::shared_ptr<SyncRun> runSync(Session& session, SyncRunOptions options, int* code) {
    // The run's record says a failure as the command does.
    options.describeError = [](const platform::Error& error) { return describeFailure(error).sentence; };
    *code = kExitOK;
    if (!session.connect()) {
        *code = session.connectExit();
        return nullptr;
    }
    auto model = session.model();
    if (!model->auth()) {
        *code = session.fail(kCommandErrorNotSignedIn);
        return nullptr;
    }
    // A run that writes holds the profile's lock from here to its end; a plan only reads.
    if (!options.planOnly && (*code = session.lockSyncData()) != kExitOK) return nullptr;
    bool finished = false;
    const SyncRun* current = nullptr;
    auto written = std::make_shared<WrittenSoFar>();
    session.setProgressCounts([&current, written] {
        if (!current) return std::string();
        {
            std::lock_guard lock(written->mutex);
            written->counts = current->counts();
        }
        return countsText(*current);
    });
    // A sync is recorded in the log even when the program has to end before the run ends.
    if (!options.planOnly) setForcedExitRecord(interruptedRunRecord(*model, options, written));
    auto run = model->startSyncRun(options, [&finished](SyncRun&) {
        finished = true;
        setForcedExitRecord(nullptr);
    });
    current = run.get();
    if (!run) {
        setForcedExitRecord(nullptr);
        session.setProgressCounts(nullptr);
        *code = session.fail(kCommandErrorRunInProgress);
        return nullptr;
    }
    const double wait = Session::providerWait();
    if (!session.waitFor([&finished] { return finished; }, wait)) {
        // Interrupted, or the provider went silent: the run ends after the work in flight. What a
        // silent provider holds will not be answered: it is cancelled now, so that the run ends
        // and saves the history of what was confirmed (an interrupt does the same a moment later).
        run->cancel(interrupted() ? SyncRunOutcome::Interrupted : SyncRunOutcome::Network);
        if (!interrupted()) platform::NetworkThread::shared().cancelEverything();
        session.waitFor([&finished] { return finished; }, wait, false);
        session.setProgressCounts(nullptr);
        *code = interrupted() ? kExitInterrupted : session.fail(kCommandErrorProviderSilent);
        return run;
    }
    session.setProgressCounts(nullptr);
    return run;
}

// Why a run refused its plan, when the command's own confirmation did.
struct Refusal {
    CommandError code;
    std::string detail;
};

// Says how the run ended when it did not end well; answers the exit code: the table's for what
// was said (Failures.cpp), as for every other command. An error the table does not know takes
// the code of what the run ended as.
int reportRun(Session& session, const SyncRun& run, const std::optional<Refusal>& refusal, bool planOnly) {
    const int64_t runID = run.result().runID;
    switch (run.outcome()) {
        case SyncRunOutcome::Ok: return kExitOK;
        case SyncRunOutcome::Partial:
            return session.fail(kCommandErrorRecordsFailed, std::to_string(run.counts().failures) + " failed", runID);
        case SyncRunOutcome::Refused:
            if (refusal) return session.fail(refusal->code, refusal->detail, runID);
            if (run.error())
                return session.fail(*run.error(), planOnly ? "The plan was refused" : "The sync was refused",
                                    kCommandErrorRunRefused);
            return session.fail(kCommandErrorRunRefused, run.message(), runID);
        default: break;
    }
    const bool auth = run.outcome() == SyncRunOutcome::Auth;
    int code;
    if (run.error())
        code = session.fail(*run.error(), planOnly ? "The plan could not be made" : "The sync stopped",
                            auth                                         ? kCommandErrorNotSignedIn
                            : run.outcome() == SyncRunOutcome::Network ? kCommandErrorProviderSilent
                                                                         : kCommandErrorRunFailed);
    else if (auth) code = session.fail(kCommandErrorNotSignedIn);
    else code = session.fail(kCommandErrorRunFailed, run.message(), runID);
    // The provider no longer took the sign-in: the run forgot it, unless a newer one was stored.
    if (auto forgotten = run.signInForgotten()) session.console().note(*forgotten ? "Signed out." : kNewerSignInKept);
    return code;
}

// The planned records: one line each, or JSON objects.
platform::Value printRecords(Session& session, const SyncRun& run, bool json) {
    const bool verbose = session.console().verbose();
    platform::Value records = platform::Value::array();
    for (const auto& record : run.records()) {
        if (!record) continue;
        auto line = lineFor(*record);
        if (!line) continue;
        std::string name = record->mDescription.value_or("");
        std::string reason = record->getSyncReasonString(0);
        // A deletion carries one made on the other side since the last sync, which the history saw.
        if (reason.empty() && record->mSyncAction == SyncActionDeleteContact)
            reason = std::string(line->side) == "google" ? "Deleted locally since the last sync"
                                                         : "Deleted on Google since the last sync";
        if (json) {
            platform::Value r = platform::Value::dictionary();
            r.set("action", line->action);
            r.set("side", line->side);
            r.set("name", name);
            if (!reason.empty()) r.set("reason", reason);
            records.append(std::move(r));
            continue;
        }
        std::string text = std::string(line->symbol) + " " + Console::field(name);
        if (*line->symbol == '+' || *line->symbol == '-')
            text += std::string(" (") + (std::string(line->side) == "google" ? "on Google" : "locally") + ")";
        if (verbose && !reason.empty()) text += "\t" + Console::field(reason);
        session.console().out(text);
    }
    return records;
}

platform::Value sideCounts(size_t createGoogle, size_t updateGoogle, size_t deleteGoogle, size_t createLocal,
                           size_t updateLocal, size_t deleteLocal) {
    platform::Value counts = platform::Value::dictionary();
    counts.set("createGoogle", int64_t(createGoogle));
    counts.set("updateGoogle", int64_t(updateGoogle));
    counts.set("deleteGoogle", int64_t(deleteGoogle));
    counts.set("createLocal", int64_t(createLocal));
    counts.set("updateLocal", int64_t(updateLocal));
    counts.set("deleteLocal", int64_t(deleteLocal));
    return counts;
}

platform::Value planSummary(const SyncPlanSummary& plan) {
    platform::Value summary = sideCounts(plan.createGoogle, plan.updateGoogle, plan.deleteGoogle, plan.createLocal,
                                         plan.updateLocal, plan.deleteLocal);
    summary.set("unchanged", int64_t(plan.unchanged));
    summary.set("feedsComplete", plan.googleFeedsComplete);
    platform::Value notes = platform::Value::array();
    for (const auto& n : plan.notes) notes.append(platform::Value(n));
    summary.set("notes", std::move(notes));
    return summary;
}

// What plan --json and sync --json print, also when the run failed or never started:
//   command, outcome, exitCode, runId (null for a plan), error {message, domain, code} when it
//   failed, records (the plan's lines), summary (plan: the planned counts; sync: the counts
//   written, with photosMoved and failed), planned (sync: the plan's summary), failures (sync:
//   name, side and reason of each record that failed), warnings (sync: what the text mode gives
//   as "warning:" lines).
void printJSON(Session& session, const SyncRun* run, bool planOnly, int code, const platform::Value& records) {
    platform::Value out = platform::Value::dictionary();
    out.set("command", planOnly ? "plan" : "sync");
    const bool ran = run && run->state() == SyncRun::State::finished;
    out.set("outcome", code == kExitInterrupted ? "interrupted" : ran ? outcomeText(run->outcome()) : "not started");
    out.set("exitCode", int64_t(code));
    out.set("runId", ran && run->result().runID ? platform::Value(run->result().runID) : platform::Value());
    if (code != kExitOK) {
        platform::Value error = platform::Value::dictionary();
        std::string message = session.console().lastError();
        if (message.empty() && code == kExitInterrupted)
            message = planOnly ? "Interrupted: nothing was planned or written."
                               : "Interrupted: the run ended after the work in flight; what it wrote is kept, and the "
                                 "next sync goes on from there.";
        error.set("message", message);
        if (run && run->error()) {
            error.set("domain", run->error()->domain);
            error.set("code", run->error()->code);
        }
        out.set("error", std::move(error));
    }
    out.set("records", records);
    const bool planned = run && run->planned();
    if (planOnly) {
        if (planned) out.set("summary", planSummary(run->plan()));
    } else {
        const SyncRunCounts& c = run ? run->counts() : SyncRunCounts();
        platform::Value summary = sideCounts(size_t(c.googleCreated), size_t(c.googleUpdated), size_t(c.googleDeleted),
                                             size_t(c.appleCreated), size_t(c.appleUpdated), size_t(c.appleDeleted));
        summary.set("photosMoved", int64_t(c.photosMoved));
        summary.set("failed", int64_t(c.failures));
        out.set("summary", std::move(summary));
        if (planned) out.set("planned", planSummary(run->plan()));
        platform::Value failures = platform::Value::array();
        if (run)
            for (const auto& f : run->result().failed) {
                platform::Value item = platform::Value::dictionary();
                item.set("name", f.name);
                item.set("side", f.side);
                item.set("reason", f.reason);
                failures.append(std::move(item));
            }
        out.set("failures", std::move(failures));
        platform::Value warnings = platform::Value::array();
        if (run)
            for (const auto& warning : run->result().warnings) warnings.append(warning);
        out.set("warnings", std::move(warnings));
    }
    session.console().outJSON(out);
}

void printPlanSummary(Session& session, const SyncPlanSummary& plan) {
    for (const auto& note : plan.notes) session.console().note(note);
    session.console().out("Google: " + std::to_string(plan.createGoogle) + " to create, " +
                          std::to_string(plan.updateGoogle) + " to update, " + std::to_string(plan.deleteGoogle) +
                          " to delete; local: " + std::to_string(plan.createLocal) + " to create, " +
                          std::to_string(plan.updateLocal) + " to update, " + std::to_string(plan.deleteLocal) +
                          " to delete; " + std::to_string(plan.unchanged) + " unchanged");
}

}  // namespace

int commandPlan(Session& session, const std::vector<std::string>& args) {
    auto parsed = Arguments::parse(args, {"--json"}, {"--mode"});
    std::string why = parsed ? std::string() : parsed.error().localizedDescription();
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
    const bool json = parsed->has("--json");
    int code = kExitOK;
    auto run = runSync(session, options, &code);
    if (run && code == kExitOK) code = reportRun(session, *run, std::nullopt, true);
    platform::Value records = code == kExitOK && run ? printRecords(session, *run, json) : platform::Value::array();
    if (json) printJSON(session, run.get(), true, code, records);
    else if (code == kExitOK) printPlanSummary(session, run->plan());
    return code;
}

// sync [--mode M] [--dry-run] [--yes] [--max-delete N] [--force-update] [--no-photos]
int commandSync(Session& session, const std::vector<std::string>& args) {
    auto parsed = Arguments::parse(args, {"--dry-run", "--yes", "--force-update", "--no-photos", "--json"},
                                   {"--mode", "--max-delete"});
    std::string why = parsed ? std::string() : parsed.error().localizedDescription();
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

    // The two switches hold for this run only: the stored settings come back afterwards. The
    // settings file is written only when a switch was given (it may be one the run refuses).
    auto model = session.model();
    struct Restore {
        std::shared_ptr<QuorvaneModel> model;
        std::optional<bool> force, photos;
        ~Restore() {
            if (force) model->setForceUpdateContacts(*force);
            if (photos) model->setSyncPhotosSetting(*photos);
        }
    } restore{model, std::nullopt, std::nullopt};
    if (parsed->has("--force-update")) {
        restore.force = model->forceUpdateContacts();
        model->setForceUpdateContacts(true);
    }
    if (parsed->has("--no-photos")) {
        restore.photos = model->syncPhotosSetting();
        model->setSyncPhotosSetting(false);
    }

    SyncRunOptions options;
    options.syncMode = *mode;
    options.planOnly = false;
    const bool yes = parsed->has("--yes"), json = parsed->has("--json");
    options.historyClearConfirmed = yes;
    Console& console = session.console();
    std::optional<Refusal> refusal;
    // The run's record says why it was refused, as the command does.
    auto refuse = [&refusal](SyncRun& run, CommandError code, std::string detail) {
        run.setRefusal(describeFailure(platform::Error(kCommandErrorDomain, code)).sentence + " (" + detail + ")");
        refusal = Refusal{code, std::move(detail)};
    };
    options.confirm = [&console, &refuse, yes, maxDelete](SyncRun& run, std::function<void(bool)> answer) {
        const SyncPlanSummary& plan = run.plan();
        size_t deletions = plan.deletions();
        if (maxDelete && deletions > size_t(*maxDelete)) {
            refuse(run, kCommandErrorTooManyDeletions,
                   std::to_string(deletions) + " planned, --max-delete " + std::to_string(*maxDelete));
            return answer(false);
        }
        if (deletions == 0 || yes) return answer(true);
        if (::isatty(0) != 1) {
            refuse(run, kCommandErrorPlanNotConfirmed, std::to_string(deletions) + " deletions planned");
            return answer(false);
        }
        console.endProgress();
        bool agreed = askYesNo("Delete " + std::to_string(deletions) + " contacts (" + std::to_string(plan.deleteGoogle) +
                               " on Google, " + std::to_string(plan.deleteLocal) + " locally)");
        if (!agreed) refuse(run, kCommandErrorPlanNotConfirmed, std::to_string(deletions) + " deletions planned");
        answer(agreed);
    };
    int code = kExitOK;
    auto run = runSync(session, options, &code);
    if (run && code == kExitOK) code = reportRun(session, *run, refusal, false);
    platform::Value records = run && run->planned() && json ? printRecords(session, *run, true) : platform::Value::array();
    if (json) {
        printJSON(session, run.get(), false, code, records);
        return code;
    }
    // What the plan had to say (a group filter matching nothing, say); -v shows it in the log.
    if (run && run->planned() && !console.verbose())
        for (const auto& note : run->plan().notes) console.note(note);
    const SyncRunCounts& c = run ? run->counts() : SyncRunCounts();
    // What was written, when the run got to writing (also when it could not finish after).
    const SyncRunOutcome outcome = run ? run->outcome() : SyncRunOutcome::Other;
    const bool wrote = c.googleCreated || c.googleUpdated || c.googleDeleted || c.appleCreated || c.appleUpdated ||
                       c.appleDeleted || c.photosMoved || c.failures;
    if (run && (outcome == SyncRunOutcome::Ok || outcome == SyncRunOutcome::Partial ||
                outcome == SyncRunOutcome::MissingGroups || code == kExitInterrupted || wrote))
        console.out("Google: " + std::to_string(c.googleCreated) + " created, " + std::to_string(c.googleUpdated) +
                    " updated, " + std::to_string(c.googleDeleted) + " deleted; local: " +
                    std::to_string(c.appleCreated) + " created, " + std::to_string(c.appleUpdated) + " updated, " +
                    std::to_string(c.appleDeleted) + " deleted; " + std::to_string(c.photosMoved) +
                    " photos moved; " + std::to_string(c.failures) + " failed");
    if (run) {
        for (const auto& warning : run->result().warnings) console.error("warning: " + warning);
        // Which contacts (or groups) failed and why; the run's log keeps every one.
        constexpr size_t kFailuresShown = 20;
        const auto& failed = run->result().failed;
        for (size_t i = 0; i < failed.size() && i < kFailuresShown; ++i)
            console.note("failed: " + failed[i].name + " (" + (failed[i].side == "google" ? "on Google" : "locally") +
                         "): " + failed[i].reason);
        if (failed.size() > kFailuresShown)
            console.note("and " + std::to_string(failed.size() - kFailuresShown) + " more failed");
    }
    return code;
}

}  // namespace quorvane::app
