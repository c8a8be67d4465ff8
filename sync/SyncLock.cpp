#include "sync/SyncLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorvane {

namespace {

platform::Error lockError(const std::filesystem::path& file, int code, const std::string& why) {
    platform::Error error(platform::kPOSIXErrorDomain, code);
    error.userInfo.set(platform::Error::kLocalizedDescriptionKey,
                       "The lock file " + file.string() + " cannot be taken: " + why);
    return error;
}

// An exclusive lock without waiting: 0, or the errno of the failure (EWOULDBLOCK when another holds it).
int lockNow(int fd) {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

}  // namespace

platform::Result<std::unique_ptr<SyncLock>> SyncLock::tryAcquire(const std::filesystem::path& file) {
    std::error_code made;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), made);
    // The folder itself is locked too: a lock file removed while a run holds it would otherwise
    // let the next run lock a new file and start beside it.
    const auto folder = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) return lockError(file, errno, std::strerror(errno));
    auto lockedFile = lockFile(file);
    if (!lockedFile || *lockedFile < 0) {
        ::close(folderFd);
        if (!lockedFile) return lockedFile.error();
        return std::unique_ptr<SyncLock>();
    }
    if (const int code = lockNow(folderFd); code != 0) {
        ::close(folderFd);
        ::close(*lockedFile);
        if (code == EWOULDBLOCK) return std::unique_ptr<SyncLock>();
        return lockError(file, code, std::strerror(code));
    }
    return std::unique_ptr<SyncLock>(new SyncLock(*lockedFile, folderFd));
}

// The lock on the file: its descriptor, -1 when another holds it.
platform::Result<int> SyncLock::lockFile(const std::filesystem::path& file) {
    // A lock taken on a file that was removed (or replaced) after it was opened excludes nothing:
    // once the lock is held, the path must still name the file locked; if not, the lock is taken
    // again on the file that is there.
    for (int attempt = 0; attempt < 100; ++attempt) {
        // Never through a symbolic link: a link put in the lock's place would have the lock file
        // made wherever it points. It is no lock file of ours, so it goes and the file is made.
        int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        // Another command may have removed it first.
        if (fd < 0 && errno == ELOOP && (::unlink(file.c_str()) == 0 || errno == ENOENT)) continue;
        if (fd < 0) return lockError(file, errno, std::strerror(errno));
        if (const int code = lockNow(fd); code != 0) {
            ::close(fd);
            if (code == EWOULDBLOCK) return -1;
            return lockError(file, code, std::strerror(code));
        }
        struct stat held {}, named {};
        if (::fstat(fd, &held) != 0) {
            const int code = errno;
            ::close(fd);
            return lockError(file, code, std::strerror(code));
        }
        const bool same = ::stat(file.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino;
        if (same) return fd;
        ::close(fd);
    }
    return lockError(file, EAGAIN, "the lock file keeps being replaced");
}

SyncLock::~SyncLock() {
    if (mFd >= 0) ::close(mFd);
    ::close(mFolderFd);
}

}  // namespace quorvane
