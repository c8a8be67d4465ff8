// delete-all --google | --local --container ID [--yes]: empties one side before starting afresh.

#include <unistd.h>

#include "app/Command.h"
#include "platform/runloop/RunLoop.h"
#include "sync/QuorvaneModel.h"

namespace quorvane::app {

namespace {

// Whether the user agrees: --yes, or "y" typed at the terminal. Off a terminal without --yes the
// answer is no.
bool confirmed(Session& session, const Arguments& args, const std::string& question) {
    if (args.has("--yes")) return true;
    if (::isatty(0) != 1) {
        session.console().error(question + ": refused without --yes");
        return false;
    }
    return askYesNo(question);
}

int deleteLocal(Session& session, const Arguments& args) {
    auto id = args.value("--container");
    if (!id || id->empty()) {
        session.console().error("delete-all --local needs --container ID (quorvane accounts lists them)");
        return kExitUsage;
    }
    auto model = session.model();
    auto container = model->getContainerWithIdentifier(*id);
    if (!container) {
        session.console().error("no local account \"" + *id + "\" (quorvane accounts lists them)");
        return kExitUsage;
    }
    auto info = model->getContainerInfoWithContainer(container);
    if (info->mReadOnlySource) {
        session.console().error("the account \"" + *id + "\" is read-only");
        return kExitRefused;
    }
    std::string what = "delete all " + std::to_string(info->mNumContacts) + " contacts and every group of " +
                       info->mDescription.value_or(container->name());
    if (!confirmed(session, args, what)) return kExitRefused;
    if (int locked = session.lockSyncData(); locked != kExitOK) return locked;

    bool finished = false;
    std::optional<platform::Error> failure;
    model->deleteContactsFromContainer(container, [&](const std::optional<platform::Error>& error) {
        finished = true;
        failure = error;
    });
    // Once started the deletion is not cut short: a half-emptied account is worse than waiting.
    platform::RunLoop::main()->runUntil([&finished] { return finished; }, 24 * 3600.0);
    if (failure) return session.fail(*failure, "The deletion stopped");
    session.console().out("deleted " + std::to_string(info->mNumContacts) + " contacts");
    return kExitOK;
}

int deleteGoogle(Session& session, const Arguments& args) {
    if (!session.connect()) return kExitNetwork;
    auto model = session.model();
    if (!model->auth()) return session.fail(kCommandErrorNotSignedIn);
    std::string user = model->getUsername();
    if (!confirmed(session, args, "delete every contact and user group of " + (user.empty() ? "the account" : user) +
                                      " at the provider"))
        return kExitRefused;
    if (int locked = session.lockSyncData(false); locked != kExitOK) return locked;

    bool finished = false;
    std::optional<platform::Error> failure;
    model->deleteGmailContactsWithFinishedSelector([&finished] { finished = true; },
                                                   [&](const platform::Error& error) {
                                                       finished = true;
                                                       failure = error;
                                                   });
    // Ctrl-C ends the deletion after the request in flight; the end says what remains.
    // A provider gone silent ends it the same way, and says so.
    const double wait = Session::providerWait();
    const bool interruptedRun = !session.waitFor([&finished] { return finished; }, wait) && interrupted();
    if (!finished) {
        model->cancelDeleteGmailContacts();
        session.waitFor([&finished] { return finished; }, wait, false);
        if (!interruptedRun) return session.fail(kCommandErrorProviderSilent);
    }
    if (failure && failure->domain == kQuorvaneModelErrorDomain && failure->code == kQuorvaneModelErrorEntriesRemain) {
        int code = session.fail(*failure, failure->localizedDescription());
        return interruptedRun ? kExitInterrupted : code;
    }
    if (failure) {
        int code = session.fail(*failure, "The deletion stopped");
        if (providerRefusedSignIn(*failure)) {
            // The provider no longer takes this sign-in: it is of no use any more.
            if (model->forgetRefusedGoogleAuthorization())
                session.console().note("signed out: sign in again with quorvane signin");
            else
                session.console().note(kNewerSignInKept);
        }
        return interruptedRun ? kExitInterrupted : code;
    }
    session.console().out("deleted every contact and user group" + (user.empty() ? std::string() : " of " + user));
    return interruptedRun ? kExitInterrupted : kExitOK;
}

}  // namespace

int commandDeleteAll(Session& session, const std::vector<std::string>& args) {
    auto parsed = Arguments::parse(args, {"--google", "--local", "--yes"}, {"--container"});
    std::string why = parsed ? std::string() : parsed.error().localizedDescription();
    if (parsed && !parsed->positional().empty()) why = "unexpected argument \"" + parsed->positional()[0] + "\"";
    else if (parsed && parsed->has("--google") == parsed->has("--local"))
        why = "delete-all needs --google, or --local --container ID";
    else if (parsed && parsed->has("--google") && parsed->value("--container"))
        why = "--container goes with --local";
    else if (parsed) why.clear();
    if (!parsed || !why.empty()) {
        session.console().error(why);
        return kExitUsage;
    }
    if (parsed->has("--local")) return deleteLocal(session, *parsed);
    return deleteGoogle(session, *parsed);
}

}  // namespace quorvane::app
