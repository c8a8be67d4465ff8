#include "platform/store/LockFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace quorvane::platform {

namespace {

Error lockFileError(const std::filesystem::path& file, int code) {
    return Error::withDescription(kPOSIXErrorDomain, code,
                                  "The lock file " + file.string() + " cannot be used: " + std::strerror(code));
}

// 0, or the errno of the failure (EWOULDBLOCK when another holds it).
int lockNow(int fd) {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        if (errno != EINTR) return errno;
    return 0;
}

}  // namespace

LockFile& LockFile::operator=(LockFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

LockFile::~LockFile() {
    if (fd_ >= 0) ::close(fd_);
}

Result<LockFile> LockFile::acquire(const std::filesystem::path& file, double waitSeconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(std::max(waitSeconds, 0.0));
    auto pause = std::chrono::milliseconds(1);
    for (int replaced = 0; replaced < 100;) {
        const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            // A link in its place goes (another command may have removed it first).
            if (errno == ELOOP && (::unlink(file.c_str()) == 0 || errno == ENOENT)) {
                ++replaced;
                continue;
            }
            return lockFileError(file, errno);
        }
        LockFile opened(fd);
        int code;
        // Waits in steps that grow to 50 ms: a lock is held for a write, briefly.
        while ((code = lockNow(fd)) == EWOULDBLOCK && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::milliseconds(50));
        }
        if (code == EWOULDBLOCK) return LockFile();
        if (code != 0) return lockFileError(file, code);
        struct stat held {}, named {};
        if (::fstat(fd, &held) != 0) return lockFileError(file, errno);
        if (::lstat(file.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino)
            return opened;
        ++replaced;
    }
    return lockFileError(file, EAGAIN);
}

std::string LockFile::holder(const std::filesystem::path& file) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0) return {};
    // "1: FLOCK  ADVISORY  WRITE 1234 fd:01:5678 0 EOF": the kernel's list names the process that
    // took each lock and the file (device in hexadecimal, inode).
    char device[64];
    std::snprintf(device, sizeof device, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        if (line.find("->") != std::string::npos) continue;  // a waiter, listed under the lock it waits for
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, id;
        if (!(fields >> number >> kind >> mode >> access >> pid >> id) || kind != "FLOCK" || id != device) continue;
        if (pid == std::to_string(::getpid())) continue;
        // The program's name only: the rest of its command line may hold what is not ours to show.
        std::ifstream cmdline("/proc/" + pid + "/cmdline", std::ios::binary);
        std::string program;
        std::getline(cmdline, program, '\0');
        program = std::filesystem::path(program).filename().string();
        return "process " + pid + (program.empty() ? "" : " (" + program + ")");
    }
    return {};
}

}  // namespace quorvane::platform
