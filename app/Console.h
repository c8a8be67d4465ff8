#pragma once
// What the `quorvane` command says, and where: results on standard output; progress, notes and
// errors on standard error. Progress is one line that updates itself on a terminal, and plain
// lines otherwise: one for each new step, and within a step no more often than every few seconds
// (the last one always shows); -q silences progress and notes, never errors. -v lets notes of
// detail through.

#include <cstdio>
#include <string>
#include <string_view>

namespace quorvane::app {

class Console {
public:
    Console(bool quiet, bool verbose, std::FILE* out = stdout, std::FILE* err = stderr);
    ~Console();

    bool quiet() const { return quiet_; }
    bool verbose() const { return verbose_; }

    // A result line on standard output.
    void out(const std::string& line);
    // A progress text; replaces the last one. Off a terminal a new step (`newStep`) always
    // gets its line; texts within a step only every few seconds.
    void progress(const std::string& text, bool newStep = false);
    // Ends the progress line, if one shows, so that other text starts on a line of its own.
    void endProgress();
    // A note on standard error (not with -q); detail notes only with -v.
    void note(const std::string& line);
    void detail(const std::string& line);
    // "quorvane: <message>" on standard error, always.
    void error(const std::string& message);
    // The last message error() printed ("" when none).
    const std::string& lastError() const { return lastError_; }

    // The text as it may reach a terminal: every control character (C0 but line feed and tab,
    // DEL, C1) written as "\u00NN" and every byte that is not UTF-8 as U+FFFD, so that nothing the
    // network sent (a user name, an error text, a contact's name) can move the cursor, retitle or
    // clear the terminal; JSON text stays JSON. Every line this class prints goes through it; with
    // keepLineBreaks off a line feed and a tab are escaped too (one value on one line).
    static std::string printable(std::string_view text, bool keepLineBreaks = true);

private:
    bool quiet_, verbose_;
    std::FILE* out_;
    std::FILE* err_;
    bool terminal_;
    bool lineShowing_ = false;
    double lastPlainLine_ = -1e9;
    std::string pending_;  // the latest progress text not printed yet (plain mode)
    std::string lastError_;
};

}  // namespace quorvane::app
