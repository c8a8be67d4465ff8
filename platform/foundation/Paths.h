#pragma once
// Where data lives. Every folder follows the XDG variables, so tests can point them
// at a temporary folder and never touch a real home.

#include <filesystem>
#include <string>

#include "platform/foundation/Result.h"

namespace quorvane::platform {

struct Paths {
    static std::filesystem::path home();            // $HOME
    static std::filesystem::path configHome();      // $XDG_CONFIG_HOME or ~/.config
    static std::filesystem::path dataHome();        // $XDG_DATA_HOME or ~/.local/share
    static std::filesystem::path cacheHome();       // $XDG_CACHE_HOME or ~/.cache
    static std::filesystem::path stateHome();       // $XDG_STATE_HOME or ~/.local/state
    static std::filesystem::path temporaryDirectory();  // $TMPDIR or /tmp
    // The application's folder under dataHome(), named by the bundle identifier; created (0700) on demand.
    static std::filesystem::path applicationSupport();
    static std::filesystem::path applicationCaches();
    // Creates the folder and its parents with the given mode; false on failure.
    static bool ensureDirectory(const std::filesystem::path& dir, unsigned mode = 0700);
};

// Writes the bytes to a temporary file beside the target, syncs it, then renames it over the
// target, so readers see the old or the new content, never a mix. mode applies to the new file.
// A failure is a POSIX error naming the step that failed.
// The temporary (".<target's name>.XXXXXX") is locked by its writer until it is renamed or removed;
// one whose lock is free was left by a writer that is gone (killed, or an earlier version), and
// goes at the next write of that target or at removeAbandonedTemporaries.
Result<void> writeFileAtomically(const std::filesystem::path& target, std::string_view bytes, unsigned mode = 0644);
// Removes the temporaries of writeFileAtomically for that target whose writer is gone.
void removeAbandonedTemporaries(const std::filesystem::path& target);
// Reads a whole file; false when it cannot be read.
bool readFile(const std::filesystem::path& path, std::string& out);

}  // namespace quorvane::platform
