#pragma once
// The secrets this process holds (tokens, authorization codes, code verifiers, client secrets):
// remembered where they arrive, and blotted out of every text the process prints or logs,
// whatever a server echoed back into it. One place does it for every output: printableText,
// which the command's console, the logger and the run's log put every text through.

#include <string>
#include <string_view>

namespace quorvane::platform {

// Remembers a secret for the rest of the process, with the forms a server may echo it in
// (percent-encoded as in a form, escaped as in JSON). Texts shorter than kShortestSecret are no
// secret worth the name and are not remembered (they would blot out ordinary words).
void rememberSecret(std::string_view secret);
inline constexpr size_t kShortestSecret = 6;
// The text with every remembered secret, in any of those forms, replaced by kRedacted.
std::string redactSecrets(std::string_view text);
inline constexpr const char* kRedacted = "[redacted]";

}  // namespace quorvane::platform
