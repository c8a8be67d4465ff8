#include "app/Console.h"

#include <unistd.h>

#include <chrono>

namespace quorvane::app {

namespace {

constexpr double kPlainLineInterval = 3.0;  // seconds between progress lines off a terminal

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A control character as "\u00NN": readable, and within a JSON string the same character again.
void appendEscaped(std::string& out, unsigned char code) {
    static const char hex[] = "0123456789ABCDEF";
    out += "\\u00";
    out += hex[code >> 4];
    out += hex[code & 15];
}

// The length of the UTF-8 sequence at the start of the text, or 0 when it is not one (overlong,
// a surrogate, past U+10FFFF, cut short).
size_t utf8SequenceLength(std::string_view text) {
    auto b = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    auto continuation = [&](size_t i) { return i < text.size() && (b(i) & 0xC0) == 0x80; };
    unsigned char lead = b(0);
    if (lead >= 0xC2 && lead <= 0xDF) return continuation(1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (!continuation(1) || !continuation(2)) return 0;
        if (lead == 0xE0 && b(1) < 0xA0) return 0;  // overlong
        if (lead == 0xED && b(1) >= 0xA0) return 0;  // surrogate
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (!continuation(1) || !continuation(2) || !continuation(3)) return 0;
        if (lead == 0xF0 && b(1) < 0x90) return 0;  // overlong
        if (lead == 0xF4 && b(1) >= 0x90) return 0;  // past U+10FFFF
        return 4;
    }
    return 0;
}

}  // namespace

std::string Console::printable(std::string_view text, bool keepLineBreaks) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            bool control = c < 0x20 || c == 0x7F;
            if (control && !(keepLineBreaks && (c == '\n' || c == '\t'))) appendEscaped(out, c);
            else out += char(c);
            ++i;
            continue;
        }
        size_t n = utf8SequenceLength(text.substr(i));
        if (n == 0) {
            out += "\xEF\xBF\xBD";  // a byte that is no UTF-8: the replacement character
            ++i;
            continue;
        }
        // U+0080 to U+009F (C2 80 to C2 9F) are the C1 controls, CSI among them.
        if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            appendEscaped(out, static_cast<unsigned char>(text[i + 1]));
            i += 2;
            continue;
        }
        out.append(text.substr(i, n));
        i += n;
    }
    return out;
}

Console::Console(bool quiet, bool verbose, std::FILE* out, std::FILE* err)
    : quiet_(quiet), verbose_(verbose), out_(out), err_(err), terminal_(::isatty(::fileno(err)) == 1) {}

Console::~Console() { endProgress(); }

void Console::out(const std::string& line) {
    endProgress();
    std::fprintf(out_, "%s\n", printable(line).c_str());
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
    std::fprintf(err_, "%s\n", printable(text).c_str());
    std::fflush(err_);
}

void Console::endProgress() {
    if (lineShowing_) {
        std::fputc('\n', err_);
        lineShowing_ = false;
    }
    // Off a terminal the last state always shows.
    if (!pending_.empty()) {
        std::fprintf(err_, "%s\n", printable(pending_).c_str());
        pending_.clear();
        lastPlainLine_ = monotonicSeconds();
    }
    std::fflush(err_);
}

void Console::note(const std::string& line) {
    if (quiet_) return;
    endProgress();
    std::fprintf(err_, "%s\n", printable(line).c_str());
    std::fflush(err_);
}

void Console::detail(const std::string& line) {
    if (verbose_) note(line);
}

void Console::error(const std::string& message) {
    endProgress();
    lastError_ = message;
    std::fprintf(err_, "quorvane: %s\n", printable(message).c_str());
    std::fflush(err_);
}

}  // namespace quorvane::app
