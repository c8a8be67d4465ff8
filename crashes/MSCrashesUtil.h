#pragma once
// The folders of crash reporting and the rules every crash file follows.
//
// Folders: under the SDK's storage root, or under the folder given to setStorageFolder (a
// profile's own); the first call of each accessor in a process (or after resetDirectory) also
// creates its folder.
//
// Files: whatever crash reporting writes is made under a temporary name (hidden: a dot first)
// and given its name only once whole and locked by its owner; a temporary belongs to whoever
// holds its lock (a folder's: its "owner.lock"), and one whose lock can be taken is abandoned,
// whoever left it (a process that ended, in any process id namespace, or an earlier version).
// Whoever takes a lock checks it still locks the file of that name, so a file removed while it
// was being locked is never taken for one's own.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/foundation/Error.h"

namespace quorvane {

class MSCrashesUtil {
public:
    static constexpr const char* kOwnerLockFile = "owner.lock";

    static std::string crashesDir();             // "crashes"
    static std::string logBufferDir();           // "crasheslogbuffer"
    static std::string wrapperExceptionsDir();   // "crasheswrapperexceptions"
    // The next calls create the folders again.
    static void resetDirectory();
    // From now on the folders lie in `folder` (empty: the storage root again), and so does the
    // capture engine's report folder of reporters made from then on.
    static void setStorageFolder(const std::filesystem::path& folder);

    // --- the file rules ---
    // A name of this process's own for a file or folder on its way to `name`: hidden, unique.
    static std::string temporaryName(std::string_view name);
    static bool isTemporaryName(std::string_view name);
    // The name a temporary of that rule is on its way to; empty for any other name.
    static std::string intendedName(std::string_view temporary);
    // Takes the lock of a file (a folder's: its owner lock file, made when missing). The open
    // descriptor holding it, or -1 when a live owner holds it or the file is gone.
    static int takeOwnership(const std::filesystem::path& path);
    // Removes the temporaries in `folder` whose owner is gone.
    static void removeAbandonedTemporaries(const std::filesystem::path& folder);
    // Writes `bytes` into `folder` under `name`, or "<name>-<n>" when that is taken, never
    // replacing a file; the path it got.
    static platform::Result<std::filesystem::path> saveNewFile(const std::filesystem::path& folder,
                                                               const std::string& name, std::string_view bytes);
    // Makes the empty file `name` in `folder`, locked before it bears that name, never replacing
    // one; the descriptor holding its lock (its owner lets it go by removing it, then closing
    // that), or -1.
    static int makeLockedFile(const std::filesystem::path& folder, const std::string& name);
    // Renames `from` to `name` in `folder`, or "<name>-<n>" when that is taken, never replacing a
    // file; the path it got.
    static platform::Result<std::filesystem::path> placeUnderNewName(const std::filesystem::path& from,
                                                                     const std::filesystem::path& folder,
                                                                     const std::string& name);
    // Makes the folder "<name>.<n>" (the first n free) in `parent`, locked before it bears that
    // name; its path and the descriptor holding its lock.
    static std::optional<std::pair<std::filesystem::path, int>> makeLockedFolder(const std::filesystem::path& parent,
                                                                                 const std::string& name);
};

}  // namespace quorvane
