#pragma once
// The `quorvane` command's help texts.

#include <optional>
#include <string>
#include <string_view>

namespace quorvane::app {

// The list of commands, the global options and the exit codes.
std::string overallHelp();
// One command's usage, what it does, its options and an example; nullopt for no such command.
std::optional<std::string> commandHelp(const std::string& name);
// Whether the word names a command that runs on a profile (every one but help).
bool isProfileCommand(std::string_view word);

}  // namespace quorvane::app
