#include "sync/SyncLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorvane {

namespace {

platform::Error lockError(const std::filesystem::path& file, int code, const std::string& why) {
    platform::Error error(platform::kPOSIXErrorDomain, code);
    error.userInfo.set(platform::Error::kLocalizedDescriptionKey,
                       "The sync lock " + file.string() + " cannot be taken: " + why);
    return error;
}

}  // namespace

platform::Result<std::unique_ptr<SyncLock>> SyncLock::tryAcquire(const std::filesystem::path& file) {
    std::error_code made;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), made);
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return lockError(file, errno, std::strerror(errno));
    int locked;
    do {
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked == 0) return std::unique_ptr<SyncLock>(new SyncLock(fd));
    const int code = errno;
    ::close(fd);
    if (code == EWOULDBLOCK) return std::unique_ptr<SyncLock>();
    return lockError(file, code, std::strerror(code));
}

SyncLock::~SyncLock() {
    if (mFd >= 0) ::close(mFd);
}

}  // namespace quorvane
