#pragma once
// Text as it may reach a terminal or a line of a log.

#include <string>
#include <string_view>

namespace quorvane::platform {

// What printableText keeps of the line breaks: nothing (a value inside a line, or a line of its
// own), tabs (a line of columns), or line feeds and tabs (a block of lines).
enum class TextBreaks { Escape, KeepTabs, Keep };
// Whether the text's secrets are still to be blotted out, or were already, piece by piece (the
// string values of a JSON document, whose syntax a secret may spell and must stay).
enum class TextSecrets { Redact, AlreadyRedacted };
// The text with every control character (C0, DEL, C1) written as "\u00NN", every format
// character that is invisible or changes the direction of what follows (U+061C, U+200B-200F,
// U+2028-202E, U+2060-206F, U+FEFF) as "\uNNNN", and every byte that is not UTF-8 as U+FFFD:
// nothing a server sent can move the cursor, retitle or clear a terminal, start a line of its own
// or reorder a line. Inside a JSON string the escapes read as the same characters again.
// Every secret the process holds is blotted out first (redactSecrets, platform/foundation/
// Secrets.h): this is what every text printed or kept in a log goes through.
std::string printableText(std::string_view text, TextBreaks keep = TextBreaks::Escape,
                          TextSecrets secrets = TextSecrets::Redact);

}  // namespace quorvane::platform
