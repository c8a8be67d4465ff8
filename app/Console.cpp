#include "app/Console.h"

#include <unistd.h>

#include <cctype>
#include <chrono>

#include "app/Help.h"
#include "platform/foundation/PrintableText.h"
#include "platform/foundation/Secrets.h"

namespace quorvane::app {

namespace {

constexpr double kPlainLineInterval = 3.0;  // seconds between progress lines off a terminal

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::string Console::printable(std::string_view text, bool keepLineBreaks) {
    return platform::printableText(text, keepLineBreaks ? platform::TextBreaks::Keep : platform::TextBreaks::Escape);
}

std::string Console::field(std::string_view value) { return platform::printableText(value); }

std::string Console::advised(std::string_view text, const std::string& profile) {
    std::string out(text);
    if (profile.empty()) return out;
    static constexpr std::string_view kProgram = "quorvane ";
    for (size_t at = out.find(kProgram); at != std::string::npos; at = out.find(kProgram, at + 1)) {
        // "quorvane" inside a word or a path, or the program named in a sentence ("another
        // quorvane sync of this profile"), is no command given as advice.
        if (at > 0 && (std::isalnum(static_cast<unsigned char>(out[at - 1])) || out[at - 1] == '.' ||
                       out[at - 1] == '/' || out[at - 1] == '-'))
            continue;
        size_t wordEnd = at > 0 ? at - 1 : 0, wordStart = wordEnd;
        while (wordStart > 0 && std::isalpha(static_cast<unsigned char>(out[wordStart - 1]))) --wordStart;
        std::string before = out.substr(wordStart, wordEnd - wordStart);
        for (auto& c : before) c = char(std::tolower(static_cast<unsigned char>(c)));
        if (before == "a" || before == "an" || before == "another" || before == "the" || before == "this" ||
            before == "each" || before == "every")
            continue;
        const size_t command = at + kProgram.size();
        size_t end = command;
        while (end < out.size() && (std::isalnum(static_cast<unsigned char>(out[end])) || out[end] == '-')) ++end;
        if (isProfileCommand(std::string_view(out).substr(command, end - command))) out.insert(command, "--profile " + profile + " ");
    }
    return out;
}

Console::Console(bool quiet, bool verbose, std::FILE* out, std::FILE* err)
    : quiet_(quiet), verbose_(verbose), out_(out), err_(err), terminal_(::isatty(::fileno(err)) == 1) {}

Console::~Console() { endProgress(); }

void Console::out(const std::string& line) {
    endProgress();
    std::fprintf(out_, "%s\n", platform::printableText(line, platform::TextBreaks::KeepTabs).c_str());
    std::fflush(out_);
}

void Console::outText(const std::string& text) {
    endProgress();
    std::fprintf(out_, "%s\n", printable(text).c_str());
    std::fflush(out_);
}

namespace {
platform::Value redactedStrings(const platform::Value& value) {
    if (value.isString()) return platform::Value(platform::redactSecrets(value.asString()));
    if (value.isArray()) {
        platform::Value out = platform::Value::array();
        for (const auto& item : value.asArray()) out.append(redactedStrings(item));
        return out;
    }
    if (value.isDictionary()) {
        platform::Value out = platform::Value::dictionary();
        for (const auto& [key, item] : value.asDictionary()) out.set(platform::redactSecrets(key), redactedStrings(item));
        return out;
    }
    return value;
}
}  // namespace

void Console::outJSON(const platform::Value& document) {
    endProgress();
    const std::string text = redactedStrings(document).toJSON(true);
    std::fprintf(out_, "%s\n",
                 platform::printableText(text, platform::TextBreaks::Keep, platform::TextSecrets::AlreadyRedacted).c_str());
    std::fflush(out_);
}

void Console::progress(const std::string& text, bool newStep) {
    if (quiet_) return;
    if (terminal_) {
        std::fprintf(err_, "\r\033[K%s", printable(text, false).c_str());
        std::fflush(err_);
        lineShowing_ = true;
        return;
    }
    double now = monotonicSeconds();
    if (!newStep && now - lastPlainLine_ < kPlainLineInterval) {
        pending_ = text;
        return;
    }
    lastPlainLine_ = now;
    pending_.clear();
    std::fprintf(err_, "%s\n", printable(text, false).c_str());
    std::fflush(err_);
}

void Console::endProgress() {
    if (lineShowing_) {
        std::fputc('\n', err_);
        lineShowing_ = false;
    }
    // Off a terminal the last state always shows.
    if (!pending_.empty()) {
        std::fprintf(err_, "%s\n", printable(pending_, false).c_str());
        pending_.clear();
        lastPlainLine_ = monotonicSeconds();
    }
    std::fflush(err_);
}

void Console::note(const std::string& line) {
    if (quiet_) return;
    endProgress();
    std::fprintf(err_, "%s\n", printable(advised(line, profile_), false).c_str());
    std::fflush(err_);
}

void Console::detail(const std::string& line) {
    // -v shows what it promises also with -q (which silences progress and the other notes).
    if (!verbose_) return;
    endProgress();
    std::fprintf(err_, "%s\n", printable(line, false).c_str());
    std::fflush(err_);
}

void Console::error(const std::string& message) {
    endProgress();
    lastError_ = advised(message, profile_);
    std::fprintf(err_, "quorvane: %s\n", printable(lastError_, false).c_str());
    std::fflush(err_);
}

}  // namespace quorvane::app
