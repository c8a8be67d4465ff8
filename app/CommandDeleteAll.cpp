// delete-all --local --container ID | --google [--yes]: empties one side before starting afresh.

#include <unistd.h>

#include <iostream>

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
    std::fprintf(stderr, "%s? [y/N] ", question.c_str());
    std::string answer;
    std::getline(std::cin, answer);
    return answer == "y" || answer == "Y" || answer == "yes";
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

    bool finished = false;
    std::optional<platform::Error> failure;
    model->deleteContactsFromContainer(container, [&](const std::optional<platform::Error>& error) {
        finished = true;
        failure = error;
    });
    // Once started the deletion is not cut short: a half-emptied account is worse than waiting.
    platform::RunLoop::main()->runUntil([&finished] { return finished; }, 24 * 3600.0);
    if (failure) return session.failWithError("the deletion failed", *failure);
    session.console().out("deleted " + std::to_string(info->mNumContacts) + " contacts");
    return kExitOK;
}

}  // namespace

int commandDeleteAll(Session& session, const std::vector<std::string>& args) {
    std::string why;
    auto parsed = Arguments::parse(args, {"--local", "--yes"}, {"--container"}, &why);
    if (parsed && !parsed->positional().empty()) why = "unexpected argument \"" + parsed->positional()[0] + "\"";
    else if (parsed && !parsed->has("--local")) why = "delete-all needs --local --container ID";
    else if (parsed) why.clear();
    if (!parsed || !why.empty()) {
        session.console().error(why);
        return kExitUsage;
    }
    return deleteLocal(session, *parsed);
}

}  // namespace quorvane::app
