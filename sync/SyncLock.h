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

    // Takes the lock without waiting (making the file and its folder when missing): the lock,
    // held until it is destroyed; nullptr when another holds it; an error when the file cannot be
    // made or opened.
    static platform::Result<std::unique_ptr<SyncLock>> tryAcquire(const std::filesystem::path& file);
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
