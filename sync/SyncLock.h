#pragma once
// SyncLock: one writing run per profile at a time, across processes. The lock is an advisory
// whole-file lock (flock) on a file beside the sync store, and on the folder that holds both (so
// that removing the lock file lets no second run in). It belongs to the open file, so a
// second open of the same file excludes a second run in the same process too, and the kernel lets
// go of it when the process ends, however it ends: a killed run never blocks the next.

#include <filesystem>
#include <memory>

#include "platform/foundation/Error.h"

namespace quorvane {

class SyncLock {
public:
    static constexpr const char* kFileName = "SyncData.lock";

    // The lock file of a profile whose data lives in dataFolder.
    static std::filesystem::path pathInFolder(const std::filesystem::path& dataFolder) { return dataFolder / kFileName; }

    // What a lock covers: the file and the folder that holds it (the profile's sync lock), or the
    // file alone (a lock of its own beside it, such as the one token refreshes take, which a run
    // holding the sync lock must still be able to take).
    enum class Scope { FileAndFolder, FileOnly };

    // Takes the lock without waiting (making the file and its folder when missing): the lock,
    // held until it is destroyed; nullptr when another holds it; an error when the file cannot be
    // made or opened.
    static platform::Result<std::unique_ptr<SyncLock>> tryAcquire(const std::filesystem::path& file,
                                                                  Scope scope = Scope::FileAndFolder);
    ~SyncLock();
    SyncLock(const SyncLock&) = delete;
    SyncLock& operator=(const SyncLock&) = delete;

private:
    SyncLock(int fd, int folderFd) : mFd(fd), mFolderFd(folderFd) {}
    static platform::Result<int> lockFile(const std::filesystem::path& file);
    int mFd;
    int mFolderFd;
};

}  // namespace quorvane
