#include "platform/foundation/Paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/foundation/BundleInfo.h"

namespace quorvane::platform {

namespace fs = std::filesystem;

namespace {
fs::path envOr(const char* var, const fs::path& fallback) {
    const char* v = std::getenv(var);
    if (v && *v && v[0] == '/') return fs::path(v);
    return fallback;
}
}  // namespace

fs::path Paths::home() {
    const char* h = std::getenv("HOME");
    return (h && *h) ? fs::path(h) : fs::path("/tmp");
}
fs::path Paths::configHome() { return envOr("XDG_CONFIG_HOME", home() / ".config"); }
fs::path Paths::dataHome() { return envOr("XDG_DATA_HOME", home() / ".local" / "share"); }
fs::path Paths::cacheHome() { return envOr("XDG_CACHE_HOME", home() / ".cache"); }
fs::path Paths::stateHome() { return envOr("XDG_STATE_HOME", home() / ".local" / "state"); }
fs::path Paths::temporaryDirectory() { return envOr("TMPDIR", "/tmp"); }

fs::path Paths::applicationSupport() {
    auto dir = dataHome() / BundleInfo::identifier();
    ensureDirectory(dir);
    return dir;
}

fs::path Paths::applicationCaches() {
    auto dir = cacheHome() / BundleInfo::identifier();
    ensureDirectory(dir);
    return dir;
}

bool Paths::ensureDirectory(const fs::path& dir, unsigned mode) {
    std::error_code ec;
    if (fs::is_directory(dir, ec)) return true;
    if (!dir.parent_path().empty() && dir.parent_path() != dir) ensureDirectory(dir.parent_path(), 0755);
    if (::mkdir(dir.c_str(), mode) == 0) return true;
    return errno == EEXIST && fs::is_directory(dir, ec);
}

namespace {

// A temporary of writeFileAtomically: ".<target's name>." and mkstemp's six characters.
bool isTemporaryOf(const std::string& name, const std::string& target) {
    constexpr size_t kRandom = 6;
    if (name.size() != target.size() + 2 + kRandom || name[0] != '.' || name.compare(1, target.size(), target) != 0 ||
        name[target.size() + 1] != '.')
        return false;
    for (size_t i = name.size() - kRandom; i < name.size(); ++i)
        if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

// Takes the write lock of the file open at fd (held by that open file, so by whoever has it open,
// in any process, and gone with its last close); then the path must still name that file: one its
// holder removed meanwhile is no longer anyone's temporary.
bool lockStillNamed(int fd, const std::string& path) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    struct stat opened, named;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0 && ::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           opened.st_ino == named.st_ino && opened.st_dev == named.st_dev;
}

}  // namespace

void removeAbandonedTemporaries(const fs::path& target) {
    const std::string name = target.filename().string();
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(target.parent_path(), ec)) {
        const std::string path = entry.path().string();
        if (!isTemporaryOf(entry.path().filename().string(), name)) continue;
        const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        if (lockStillNamed(fd, path)) ::unlink(path.c_str());
        ::close(fd);
    }
}

Result<void> writeFileAtomically(const fs::path& target, std::string_view bytes, unsigned mode) {
    auto fail = [](const std::string& what) { return posixError(errno, what); };
    std::string tmpl;
    int fd = -1;
    // Locked from its making to its renaming; one that another writer's clean-up took first (as
    // abandoned, between the making and the locking) is left to it, and another name is made.
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        tmpl = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
        fd = ::mkstemp(tmpl.data());
        if (fd < 0) return fail("cannot create a temporary file beside " + target.string());
        if (lockStillNamed(fd, tmpl)) break;
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) return posixError(EBUSY, "cannot lock a temporary file beside " + target.string());
    ::fchmod(fd, mode);
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + off, bytes.size() - off);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::unlink(tmpl.c_str());
            ::close(fd);
            return posixError(err, "cannot write " + tmpl);
        }
        off += size_t(n);
    }
    if (::fsync(fd) != 0) {
        const int err = errno;
        ::unlink(tmpl.c_str());
        ::close(fd);
        return posixError(err, "cannot flush " + tmpl);
    }
    if (::rename(tmpl.c_str(), target.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmpl.c_str());
        ::close(fd);
        return posixError(err, "cannot replace " + target.string());
    }
    // Gone from its temporary name before its lock goes: never taken for abandoned.
    ::close(fd);
    removeAbandonedTemporaries(target);
    return {};
}

bool readFile(const fs::path& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return !in.bad();
}

}  // namespace quorvane::platform
