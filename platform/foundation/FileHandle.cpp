#include "platform/foundation/FileHandle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quorvane::platform {

std::shared_ptr<FileHandle> FileHandle::forReadingAtPath(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::make_shared<FileHandle>(fd);
}

FileHandle::~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
}

bool FileHandle::seekToFileOffset(uint64_t offset) { return ::lseek(fd_, off_t(offset), SEEK_SET) >= 0; }

uint64_t FileHandle::offsetInFile() const {
    off_t o = ::lseek(fd_, 0, SEEK_CUR);
    return o < 0 ? 0 : uint64_t(o);
}

std::optional<Bytes> FileHandle::readDataOfLength(size_t length) {
    Bytes out;
    out.resize(length);
    size_t got = 0;
    while (got < length) {
        ssize_t n = ::read(fd_, out.data() + got, length - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        got += size_t(n);
    }
    out.resize(got);
    return out;
}

std::optional<Bytes> FileHandle::readDataToEndOfFile() {
    Bytes out;
    uint8_t buf[65536];
    while (true) {
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

std::optional<uint64_t> FileHandle::fileSize() const {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return std::nullopt;
    return uint64_t(st.st_size);
}

}  // namespace quorvane::platform
