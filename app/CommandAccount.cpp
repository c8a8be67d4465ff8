// signin, signout, status and accounts: who is signed in to the provider, and which local
// accounts there are.

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/Command.h"
#include "fetcher/QNSessionFetcher.h"
#include "platform/runloop/RunLoop.h"
#include "platform/web/BrowserWebView.h"
#include "sync/GoogleBatchWriter.h"
#include "sync/QuorvaneModel.h"

namespace quorvane::app {

namespace {

const char* accountKind(int32_t type) {
    switch (type) {
        case ContainerAccountTypeICloud: return "icloud";
        case ContainerAccountTypeFacebook: return "facebook";
        case ContainerAccountTypeGoogle: return "google";
        case ContainerAccountTypeYahoo: return "yahoo";
        case ContainerAccountTypeLinkedIn: return "linkedin";
        case ContainerAccountTypeOtherCardDAV: return "carddav";
        case ContainerAccountTypeExchange: return "exchange";
        case ContainerAccountTypeLocal: return "local";
        default: return "other";
    }
}

// Parses arguments that take no positional ones; nullopt after a usage message.
std::optional<Arguments> parseOnly(Session& session, const std::vector<std::string>& args,
                                   const std::set<std::string>& flags, const std::set<std::string>& valued = {}) {
    auto parsed = Arguments::parse(args, flags, valued);
    std::string why = parsed ? std::string() : parsed.error().localizedDescription();
    if (parsed && !parsed->positional().empty()) why = "unexpected argument \"" + parsed->positional()[0] + "\"";
    else if (parsed) return std::move(*parsed);
    session.console().error(why);
    return std::nullopt;
}

// How long a command waits for the provider to confirm a revocation, at most, whatever
// QUORVANE_PROVIDER_WAIT says (a shorter one stops the wait sooner when nothing moves).
constexpr double kRevocationWait = 30;

// Waits (bounded) for the provider to confirm the revocation; nullopt once it did, else what went
// wrong in words and the exit code, ready for "the token could not be revoked: ...".
struct RevocationFailure {
    std::string why;
    int exitCode;
};
std::optional<RevocationFailure> awaitRevocation(Session& session, const std::shared_ptr<QuorvaneModel::GoogleRevocation>& r) {
    if (!r) return std::nullopt;
    const double quiet = Session::providerWait();
    const double bound = quiet > 0 ? std::min(kRevocationWait, quiet) : kRevocationWait;
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(kRevocationWait);
    session.waitFor([&r, until] { return r->ended || std::chrono::steady_clock::now() >= until; }, bound);
    if (!r->ended) {
        if (r->fetcher) r->fetcher->stopFetching();
        if (interrupted()) return RevocationFailure{"the command was interrupted before the provider answered", kExitInterrupted};
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", bound);
        return RevocationFailure{std::string("the provider did not answer within ") + seconds + " s", kExitNetwork};
    }
    if (!r->error) return std::nullopt;
    FailureText failure = describeFailure(*r->error);
    std::string why = failure.sentence;
    if (!why.empty()) why[0] = char(std::tolower(static_cast<unsigned char>(why[0])));
    while (!why.empty() && why.back() == '.') why.pop_back();
    session.console().detail("(" + rawError(*r->error) + ")");
    return RevocationFailure{why, failure.exitCode == kExitNetwork ? kExitNetwork : kExitOther};
}

constexpr const char* kChooseAccount =
    "set the one to sync with quorvane config set customContainerID ID, then quorvane config set contactSourceMode 1";

// Which local accounts the sync history belongs to, in words.
std::string historyAccounts(QuorvaneModel& model) {
    auto owner = model.historyLocalAccounts();
    if (!owner) return "unknown (" + owner.error().localizedDescription() + ")";
    if (!*owner) return "none (no sync yet)";
    std::string text = Console::field((*owner)->name);
    if (!(*owner)->containerID.empty()) text += " [" + Console::field((*owner)->containerID) + "]";
    return text;
}

constexpr const char* kStillValid =
    "It stays valid at the provider until it expires or you remove this application's access in the account's "
    "settings.";

}  // namespace

// How long a sign-in waits for the provider's answer: long enough to type a password and pass
// a second factor, short enough that a sign-in nobody answers does not hold the listener for long.
constexpr double kDefaultSignInTimeout = 300;

int commandSignIn(Session& session, const std::vector<std::string>& args) {
    auto parsed = parseOnly(session, args, {"--no-browser"}, {"--timeout"});
    if (!parsed) return kExitUsage;
    double timeout = kDefaultSignInTimeout;
    if (auto text = parsed->value("--timeout")) {
        char* end = nullptr;
        timeout = std::strtod(text->c_str(), &end);
        if (text->empty() || *end || !(timeout > 0)) {
            session.console().error("--timeout needs a number of seconds above 0");
            return kExitUsage;
        }
    }
    auto provider = session.connect();
    if (!provider) return session.connectExit();
    // No provider accepts the built-in placeholder: the sign-in would only wait out its time-out.
    if (provider->clientID == QuorvaneModel::kOAuth2ClientID) {
        session.console().error("the profile \"" + session.profile().name() +
                                "\" has no client id of its own yet, and a sign-in needs one: set the application's "
                                "registration with the provider first, with quorvane config set client-id ID and "
                                "quorvane config set client-secret SECRET");
        return kExitUsage;
    }
    auto model = session.model();
    auto view = platform::BrowserWebView::make();
    if (!view) {
        session.console().error("cannot listen on 127.0.0.1 for the provider's answer");
        return kExitOther;
    }
    Console& console = session.console();
    bool useBrowser = !parsed->has("--no-browser");
    view->setOpener([&console, useBrowser](const platform::URL& url) {
        // The address is printed in every case: a browser that was started may still not show up
        // (no display, no browser configured).
        if (useBrowser && platform::openURLInDefaultBrowser(url)) {
            console.note("The sign-in page opens in your browser. If it does not, open this address:");
        } else {
            console.note("Open this address in a browser to sign in:");
        }
        console.out(url.absoluteString());
        return true;
    });
    bool finished = false, timedOut = false;
    std::optional<platform::Error> failure;
    model->signIntoGoogleWithWindow(
        view, [&finished] { finished = true; },
        [&finished, &failure](const platform::Error& error) {
            finished = true;
            failure = error;
        });
    auto timer = platform::Timer::scheduled(timeout, false, [&timedOut](platform::Timer&) { timedOut = true; });
    // The user's own time in the browser: bounded by the timer, not by the provider wait.
    session.waitFor([&finished, &timedOut] { return finished || timedOut; }, 0);
    const bool interrupted = app::interrupted();
    timer->invalidate();
    if (interrupted || !finished) {
        model->cancelSigningIn();
        if (interrupted) return kExitInterrupted;
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", timeout);
        console.error(std::string("sign-in timed out: no answer from the sign-in page within ") + seconds +
                      " s (signin --timeout SECONDS waits longer)");
        return kExitAuth;
    }
    if (failure) {
        platform::Error signingIn = *failure;
        signingIn.userInfo.set(kFailedSigningInKey, platform::Value(true));
        const int code = session.fail(signingIn, "The sign-in failed");
        console.detail("(the provider said: " + QuorvaneModel::signInFailureMessage(*failure) + ")");
        return code;
    }
    std::string user = model->getUsername();
    console.out("signed in" + (user.empty() ? std::string() : " as " + Console::field(user)));
    // The sign-in before is replaced: its token is revoked now that the new one is stored.
    if (auto failed = awaitRevocation(session, model->lastRevocation()))
        console.note("the token of the sign-in before could not be revoked at the provider: " + failed->why + ". " +
                     kStillValid);
    return kExitOK;
}

int commandSignOut(Session& session, const std::vector<std::string>& args) {
    if (!parseOnly(session, args, {})) return kExitUsage;
    auto model = session.model();
    if (!model->auth()) {
        // A stored item that holds nothing usable goes as well.
        model->forgetGoogleAuthorization();
        session.console().out("not signed in");
        return kExitOK;
    }
    std::string user = model->getUsername();
    const std::string who = user.empty() ? std::string() : " " + Console::field(user);
    // The sign-in is forgotten here in every case; the provider is asked to revoke its token,
    // and the command waits for its answer.
    std::optional<RevocationFailure> failed;
    if (!session.connect()) {
        model->forgetGoogleAuthorization();
        failed = RevocationFailure{"the provider's settings cannot be read", session.connectExit()};
    } else {
        failed = awaitRevocation(session, model->signOutFromGoogle());
    }
    if (!failed) {
        session.console().out("signed out" + who);
        return kExitOK;
    }
    session.console().error("signed out" + who + " here, but its token could not be revoked at the provider: " +
                            failed->why + ". " + kStillValid);
    return failed->exitCode;
}

int commandStatus(Session& session, const std::vector<std::string>& args) {
    if (!parseOnly(session, args, {})) return kExitUsage;
    Console& console = session.console();
    const Profile& profile = session.profile();
    console.out("profile: " + profile.name());
    if (auto provider = profile.provider()) console.out("provider: " + provider->contactsRoot);
    else console.out("provider: unavailable (" + provider.error().localizedDescription() + ")");
    auto model = session.model();
    std::string user = model->getUsername();
    console.out("signed in: " + (model->auth() ? (user.empty() ? std::string("yes") : Console::field(user)) : std::string("no")));
    model->updateSelectedContainerWithError();
    std::string account = "none";
    if (auto refused = model->automaticChoiceRefusal(); !refused.empty()) {
        account += ": automatic choice is refused, it meets " + std::to_string(refused.size()) + " accounts (";
        for (size_t i = 0; i < refused.size(); ++i) account += (i ? ", " : "") + Console::field(refused[i]);
        account += "); " + console.advise(kChooseAccount);
    } else {
        if (model->currentSourceRecord()) account = model->currentSourceRecord()->getDescriptionWithVerbose(true, true);
        if (model->selectedContainer()) account += " [" + Console::field(model->selectedContainer()->identifier()) + "]";
    }
    console.out("local account: " + account);
    console.out("history belongs to: " + historyAccounts(*model));
    console.out("data: " + profile.dataFolder().string());
    model->fetchSyncLogRecords();
    if (!model->syncLogRecords().empty()) {
        const auto& last = model->syncLogRecords().back();
        console.out("last run: " + std::to_string(last.rowID) + " " + last.result);
    }
    return kExitOK;
}

int commandAccounts(Session& session, const std::vector<std::string>& args) {
    if (!parseOnly(session, args, {})) return kExitUsage;
    auto model = session.model();
    auto containers = model->getAppleContainersWithError();
    if (!containers) return session.fail(containers.error(), "The local accounts cannot be read");
    model->updateSelectedContainerWithError();
    // Automatic choice that meets several accounts takes none: the one it would name is not synced.
    const bool refused = !model->automaticChoiceRefusal().empty();
    auto owner = model->historyLocalAccounts();
    for (const auto& container : *containers) {
        auto info = model->getContainerInfoWithContainer(container);
        bool selected = !refused && model->selectedContainer() &&
                        model->selectedContainer()->identifier() == container->identifier();
        bool history = owner && *owner && (*owner)->containerID == container->identifier();
        std::string line = Console::field(container->identifier()) + "\t" + accountKind(info->mContainerAccountType) + "\t" +
                           std::to_string(info->mNumContacts) + " contacts\t" +
                           (info->mReadOnlySource ? "read-only" : "read-write") + "\t" +
                           Console::field(info->mDescription.value_or(container->name())) + (selected ? "\t(synced)" : "") +
                           (history ? "\t(history)" : "");
        session.console().out(line);
    }
    if (refused) session.console().note(std::string("Automatic choice of the local account is refused, as it meets several: ") +
                                        kChooseAccount + ".");
    if (owner && *owner && (*owner)->containerID.empty()) session.console().note("The sync history belongs to all accounts.");
    return kExitOK;
}

}  // namespace quorvane::app
