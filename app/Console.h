#pragma once
// What the `quorvane` command says, and where: results on standard output; progress, notes and
// errors on standard error. Progress is one line that updates itself on a terminal, and plain
// lines otherwise: one for each new step, and within a step no more often than every few seconds
// (the last one always shows); -q silences progress and notes, never errors. -v lets notes of
// detail through.

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

namespace quorvane::app {

class Console {
public:
    Console(bool quiet, bool verbose, std::FILE* out = stdout, std::FILE* err = stderr);
    ~Console();

    bool quiet() const { return quiet_; }
    bool verbose() const { return verbose_; }

    // A result line on standard output: one line, whose tabs part its columns (a value inside
    // it goes through field()).
    void out(const std::string& line);
    // A block of result lines (a run's log), its line feeds and tabs kept.
    void outText(const std::string& text);
    // A JSON document for programs: the secrets are blotted out of its strings one by one, so
    // that what it prints always parses, whatever a secret spells.
    void outJSON(const platform::Value& document);
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
    // The profile the command runs on, "" for the default one. Every command that a note or an
    // error gives as advice ("then run quorvane sync --yes") names it (advised), so that advice
    // copied acts on the profile it was given for.
    void setProfile(std::string name) { profile_ = std::move(name); }
    static std::string advised(std::string_view text, const std::string& profile);
    std::string advise(std::string_view text) const { return advised(text, profile_); }

    // The text as it may reach a terminal (platform::printableText): no control character, no
    // invisible or direction-changing format character, nothing but UTF-8, so that nothing the
    // network sent (a user name, an error text, a contact's name) can move the cursor, retitle or
    // clear the terminal, or start a line of its own; JSON text stays JSON. Every line this class
    // prints goes through it: progress, notes and errors are one line each (their line feeds and
    // tabs escaped too), a result line keeps its tabs, and only outText keeps line feeds.
    static std::string printable(std::string_view text, bool keepLineBreaks = true);
    // A value as it goes inside a line: its line feeds and tabs escaped too.
    static std::string field(std::string_view value);

private:
    bool quiet_, verbose_;
    std::FILE* out_;
    std::FILE* err_;
    bool terminal_;
    bool lineShowing_ = false;
    double lastPlainLine_ = -1e9;
    std::string pending_;  // the latest progress text not printed yet (plain mode)
    std::string lastError_;
    std::string profile_;
};

}  // namespace quorvane::app
