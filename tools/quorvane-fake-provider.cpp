// quorvane-fake-provider: the fake contacts provider as a program, for trying `quorvane` without
// an account at the real provider.
//
//   quorvane-fake-provider [--port N] [--contacts N] [--groups N] [--page-cap N] [--page-size N]
//                          [--plain] [--info FILE] [--contacts-status N] [--one-authorization]
//
// Serves HTTPS on 127.0.0.1 (port N, or one the system chooses) with N generated contacts (in
// "My Contacts") and N user groups beside the four system groups, until SIGINT or SIGTERM. Its
// certificate is signed by a CA made at start. The provider's addresses, client id and secret and
// that CA go to a small JSON file (by default provider.json in the "fake-provider" folder of the
// application's state folder under $XDG_STATE_HOME), where the `fake` profile of `quorvane`
// finds them; the file is removed again at exit. The root URL is also the one line written to
// standard output once the provider is ready. --page-size answers pages of N entries whatever
// the client asks for (a provider that sends more than asked); --plain makes the contacts of the
// kind most address books hold (a name, two e-mail addresses, two phone numbers) instead of ones
// with every element a contact may have. --contacts-status makes every download of the
// contacts feed answer that HTTP status instead (a provider that is down, for trying failures).
// --one-authorization keeps one authorization per account: revoking any token of it (a sign-out)
// ends every token its sign-ins and refreshes brought, as real providers do.
//
// Exit codes: 0 after a signal, 1 when the port cannot be bound or the file cannot be written,
// 2 for a usage error.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include <pthread.h>
#include <unistd.h>

#include "platform/foundation/BundleInfo.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Value.h"
#include "tests/support/ContactsFeedGenerator.h"
#include "tests/support/FakeProvider.h"

using namespace quorvane;

namespace {

volatile std::sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }

constexpr const char* kUsage =
    "usage: quorvane-fake-provider [--port N] [--contacts N] [--groups N] [--page-cap N] [--page-size N]\n"
    "                              [--plain] [--info FILE] [--contacts-status N] [--one-authorization]\n";

bool parseCount(const char* text, long max, long* out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno || *end || v < 0 || v > max) return false;
    *out = v;
    return true;
}

std::filesystem::path defaultInfoPath() {
    return platform::Paths::stateHome() / platform::BundleInfo::identifier() / "fake-provider" / "provider.json";
}

}  // namespace

int main(int argc, char** argv) {
    long port = 0, contacts = 60, groups = 4, pageCap = 0, pageSize = 0, contactsStatus = 0;
    bool plain = false, oneAuthorization = false;
    std::filesystem::path info = defaultInfoPath();
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = true;
        if (arg == "--port") ok = parseCount(value, 65535, &port);
        else if (arg == "--contacts") ok = parseCount(value, 1000000, &contacts);
        else if (arg == "--groups") ok = parseCount(value, 10000, &groups);
        else if (arg == "--page-cap") ok = parseCount(value, 1000000, &pageCap);
        else if (arg == "--page-size") ok = parseCount(value, 1000000, &pageSize);
        else if (arg == "--plain") {
            plain = true;
            continue;
        }
        else if (arg == "--contacts-status") ok = parseCount(value, 599, &contactsStatus) && contactsStatus >= 100;
        else if (arg == "--info" && value && *value) info = value;
        else if (arg == "--one-authorization") {
            oneAuthorization = true;
            continue;
        }
        else if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else ok = false;
        if (!ok) {
            std::fprintf(stderr, "quorvane-fake-provider: bad argument \"%s\"\n%s", arg.c_str(), kUsage);
            return 2;
        }
        ++i;
    }

    // The two signals stay blocked (in the server's threads too, which inherit the mask) except
    // while the main thread waits for them, so none is missed.
    sigset_t stopSignals, waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);

    test::FakeProvider provider(test::FakeProvider::OAuthSettings{}, int(port));
    if (provider.server().port() <= 0) {
        std::fprintf(stderr, "quorvane-fake-provider: cannot listen on 127.0.0.1:%ld\n", port);
        return 1;
    }
    provider.setPageCap(size_t(pageCap));
    provider.setPageSize(size_t(pageSize));
    provider.setOneAuthorizationPerAccount(oneAuthorization);
    if (contactsStatus) {
        provider.setAnswerFault([contactsStatus](const test::TestRequest& req, test::TestResponse& res) {
            if (req.method != "GET" || req.path != "/m8/feeds/contacts/default/full") return;
            res.status = int(contactsStatus);
            res.body = "<errors><error><code>" + std::to_string(contactsStatus) + "</code></error></errors>";
            res.contentType = "application/xml";
        });
    }
    for (long g = 1; g <= groups; ++g) provider.addGroup("Group " + std::to_string(g));
    for (long i = 0; plain && i < contacts; ++i) {
        const std::string n = std::to_string(i);
        provider.addContact("<gd:name><gd:givenName>Given" + n + "</gd:givenName><gd:familyName>Family</gd:familyName></gd:name>"
                            "<gd:email rel='http://schemas.google.com/g/2005#home' address='c" + n + "@a.io' primary='true'/>"
                            "<gd:email rel='http://schemas.google.com/g/2005#work' address='w" + n + "@b.io'/>"
                            "<gd:phoneNumber rel='http://schemas.google.com/g/2005#mobile'>+1 555 0" + n + "</gd:phoneNumber>"
                            "<gd:phoneNumber rel='http://schemas.google.com/g/2005#home'>+1 555 1" + n + "</gd:phoneNumber>",
                            {"6contacts"});
    }
    if (contacts > 0 && !plain) {
        // The generated contacts belong to a group of another account: make them members of
        // this account's "My Contacts".
        std::string feed = testing::generateContactsFeed({size_t(contacts), 7, false});
        const std::string foreign = "http://www.google.com/m8/feeds/groups/owner%40example.com/base/6'";
        const std::string mine = provider.idURL(test::FakeProvider::Kind::Groups, "6contacts") + "'";
        std::string owned;  // in one pass: replacing in place moves the rest of the feed each time
        owned.reserve(feed.size() + feed.size() / 8);
        size_t from = 0;
        for (size_t at = feed.find(foreign); at != std::string::npos; at = feed.find(foreign, from)) {
            owned.append(feed, from, at - from).append(mine);
            from = at + foreign.size();
        }
        owned.append(feed, from, std::string::npos);
        provider.addContactsFromFeed(owned);
    }

    // The CA beside the info file, then the info file itself, each replaced whole.
    std::string base = provider.server().baseURL() + "/";
    std::string json = provider.writeInfoFile(info, int64_t(::getpid()));
    if (json.empty()) {
        std::fprintf(stderr, "quorvane-fake-provider: cannot write %s\n", info.c_str());
        return 1;
    }

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::printf("%s\n", base.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "fake provider on %s: %ld contacts, %ld user groups%s; info in %s\n", base.c_str(), contacts,
                 groups, pageCap ? (", at most " + std::to_string(pageCap) + " per page").c_str() : "", info.c_str());

    while (!gStop) sigsuspend(&waitMask);

    // Another provider may have taken the file over meanwhile: remove it only while it is ours.
    std::string text;
    if (platform::readFile(info, text) && text == json) {
        std::error_code ec;
        std::filesystem::remove(info, ec);
        std::filesystem::remove(info.parent_path() / "ca.pem", ec);
    }
    return 0;
}
