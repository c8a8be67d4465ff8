#pragma once
// Lock files: an advisory whole-file lock (flock) on a file beside what several processes share.
//
// A lock file is opened never through a symbolic link: a link standing in its place (left there
// by anyone who can write the folder) would have the file made, or locked, wherever it points. It
// is no lock file of ours, so it goes and the file is made. A lock taken on a file that was
// removed or replaced after it was opened excludes nothing: once held, the path must still name
// the file locked, or the lock is taken again on the file that is there.

#include <filesystem>
#include <string>

#include "platform/foundation/Error.h"

namespace quorvane::platform {

class LockFile {
public:
    // Takes the lock on the file (made 0600 when missing; its folder must exist), waiting at most
    // waitSeconds for another holder to let go (0: not at all). The lock, held until it is
    // destroyed; one not held() when the wait passed; an error when the file cannot be made,
    // opened or locked.
    static Result<LockFile> acquire(const std::filesystem::path& file, double waitSeconds);

    LockFile() = default;
    LockFile(LockFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    LockFile& operator=(LockFile&& other) noexcept;
    ~LockFile();

    bool held() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Who holds a lock on the file now, as "process 1234 (quorvane config set …)"; empty when no
    // other process does or it cannot be told.
    static std::string holder(const std::filesystem::path& file);

private:
    explicit LockFile(int fd) : fd_(fd) {}
    int fd_ = -1;
};

}  // namespace quorvane::platform
