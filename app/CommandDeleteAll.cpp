// delete-all --google | --local --container ID [--yes]: empties one side before starting afresh.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>

#include "app/Command.h"
#include "platform/runloop/RunLoop.h"
#include "sync/QuorvaneModel.h"
#include "sync/SyncLock.h"
#include "sync/SyncStore.h"

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

// The local contacts are shared by every profile, and so are their deletions: every other profile
// with a sync history forgets its pairs of the deleted contacts too (QuorvaneModel::
// setOtherProfileDataFolders), under its own sync lock, taken after this profile's and the local
// store's. A run of another profile waiting for the local store holds its own lock: when one is
// busy, every lock goes back so that it can go on, and all are taken again after a while, up to
// the lock wait. Then the deletion is refused, nothing deleted. 0 once all are held.
int lockEveryProfile(Session& session, std::vector<std::unique_ptr<SyncLock>>& held) {
    const double wait = Session::lockWait();
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(wait);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", wait);
    std::set<std::string> said;
    for (;;) {
        if (int locked = session.lockSyncData(); locked != kExitOK) return locked;
        std::vector<std::filesystem::path> folders;
        std::optional<std::string> busy;
        for (const auto& name : Profile::existingNames()) {
            auto profile = Profile::named(name);
            if (!profile || name == session.profile().name()) continue;
            const auto folder = profile->dataFolder();
            std::error_code missing;
            if (!std::filesystem::exists(SyncStore::pathInFolder(folder), missing)) continue;  // no history
            auto taken = SyncLock::tryAcquire(SyncLock::pathInFolder(folder));
            if (!taken) return session.fail(taken.error(), "The data of the profile \"" + name + "\" cannot be locked");
            if (!*taken) {
                busy = name;
                break;
            }
            held.push_back(std::move(*taken));
            folders.push_back(folder);
        }
        if (!busy) {
            session.model()->setOtherProfileDataFolders(std::move(folders));
            return kExitOK;
        }
        held.clear();
        session.model()->unlockSyncData();
        const std::string what = "A quorvane run of the profile \"" + *busy +
                                 "\", which syncs these local contacts too, is using its sync history";
        if (std::chrono::steady_clock::now() >= until)
            return session.fail(kCommandErrorLocalStoreBusy, "the profile \"" + *busy +
                                                                 "\", which syncs them too, kept its sync history for " +
                                                                 seconds + " s");
        if (said.insert(*busy).second) session.console().error(what + "; waiting up to " + seconds + " s for it to end");
        platform::RunLoop::main()->runUntil([] { return interrupted(); }, 0.1);
        if (interrupted()) return kExitInterrupted;
    }
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
    std::vector<std::unique_ptr<SyncLock>> otherProfiles;
    if (int locked = lockEveryProfile(session, otherProfiles); locked != kExitOK) return locked;

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
    if (!session.connect()) return session.connectExit();
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
