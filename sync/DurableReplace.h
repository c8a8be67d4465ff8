#pragma once
// Replacing a large file without holding up the process's next durable write: the new bytes,
// written under a temporary name beside the file, are made durable on a thread of their own and
// only then renamed over it. (A rename over a file makes the file system write the renamed bytes
// out with whatever is made durable next, so a store save right after it would wait for all of
// them.) A reader sees the old file or the new one, never a part.
//
// Replacements of one path in this process land in the order they were asked for: one asked for
// later is never replaced by an earlier one finishing after it.

#include <filesystem>
#include <string>

namespace quorvane {

// Takes `fd` (open on `temporary`, written whole) and puts `temporary` in place of `path` once
// its bytes are on the disk; when that fails the temporary file is removed and `path` left as it
// was.
void replaceWhenDurable(int fd, std::string temporary, std::filesystem::path path);

// Waits up to `seconds` for the replacements this process asked for; true when none is left.
bool waitForReplacements(double seconds);

// Removes temporary files beside `path` (named "." + its name + "." + six characters) last written
// over `ageSeconds` ago: left by a process that ended before it could put them in place.
void removeStaleTemporaries(const std::filesystem::path& path, double ageSeconds);

}  // namespace quorvane
