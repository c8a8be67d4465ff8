#include "platform/web/WebView.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cctype>

#include "platform/foundation/Log.h"
#include "platform/runloop/DispatchQueue.h"

extern char** environ;

namespace quorvane::platform {

namespace {

size_t findIgnoringCase(std::string_view text, std::string_view what, size_t from) {
    for (size_t i = from; i + what.size() <= text.size(); ++i) {
        size_t j = 0;
        while (j < what.size() && std::tolower(static_cast<unsigned char>(text[i + j])) == what[j]) ++j;
        if (j == what.size()) return i;
    }
    return std::string_view::npos;
}

std::string decodeEntities(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '&') {
            out += s[i];
            continue;
        }
        size_t semi = s.find(';', i);
        if (semi == std::string_view::npos || semi - i > 10) {
            out += s[i];
            continue;
        }
        std::string_view name = s.substr(i + 1, semi - i - 1);
        std::string repl;
        if (name == "amp") repl = "&";
        else if (name == "lt") repl = "<";
        else if (name == "gt") repl = ">";
        else if (name == "quot") repl = "\"";
        else if (name == "apos") repl = "'";
        else if (!name.empty() && name[0] == '#') {
            unsigned long cp = 0;
            try {
                cp = (name.size() > 1 && (name[1] == 'x' || name[1] == 'X')) ? std::stoul(std::string(name.substr(2)), nullptr, 16)
                                                                          : std::stoul(std::string(name.substr(1)));
            } catch (...) {
                cp = 0;
            }
            if (cp > 0 && cp < 0x80) repl = std::string(1, char(cp));
            else if (cp >= 0x80 && cp < 0x800) {
                repl += char(0xC0 | (cp >> 6));
                repl += char(0x80 | (cp & 0x3F));
            } else if (cp >= 0x800 && cp < 0x10000 && !(cp >= 0xD800 && cp < 0xE000)) {
                repl += char(0xE0 | (cp >> 12));
                repl += char(0x80 | ((cp >> 6) & 0x3F));
                repl += char(0x80 | (cp & 0x3F));
            } else if (cp >= 0x10000 && cp < 0x110000) {
                repl += char(0xF0 | (cp >> 18));
                repl += char(0x80 | ((cp >> 12) & 0x3F));
                repl += char(0x80 | ((cp >> 6) & 0x3F));
                repl += char(0x80 | (cp & 0x3F));
            }
        }
        if (repl.empty()) {
            out += s[i];
            continue;
        }
        out += repl;
        i = semi;
    }
    return out;
}

}  // namespace

std::string WebView::titleOfHTML(std::string_view html) {
    size_t open = findIgnoringCase(html, "<title", 0);
    if (open == std::string_view::npos) return "";
    size_t start = html.find('>', open);
    if (start == std::string_view::npos) return "";
    ++start;
    size_t end = findIgnoringCase(html, "</title", start);
    if (end == std::string_view::npos) return "";
    std::string text = decodeEntities(html.substr(start, end - start));
    std::string out;
    bool space = false;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f') {
            space = !out.empty();
            continue;
        }
        if (space) out += ' ';
        space = false;
        out += c;
    }
    return out;
}

bool openURLInDefaultBrowser(const URL& url) {
    std::string program = "xdg-open";
    std::string argument = url.absoluteString();
    char* argv[] = {program.data(), argument.data(), nullptr};
    pid_t pid = 0;
    // The program starts with the signals as a program expects them: none blocked, a file-size
    // limit ending it by SIGXFSZ (this process blocks and ignores some for its own ends).
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGXFSZ);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int spawned = ::posix_spawnp(&pid, program.c_str(), nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        Log::warning("WebView", "cannot start xdg-open for " + argument);
        return false;
    }
    DispatchQueue::global()->async([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    });
    return true;
}

}  // namespace quorvane::platform
