#include "platform/foundation/Paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

Result<void> writeFileAtomically(const fs::path& target, std::string_view bytes, unsigned mode) {
    auto fail = [](const std::string& what) { return posixError(errno, what); };
    std::string tmpl = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    int fd = ::mkstemp(tmpl.data());
    if (fd < 0) return fail("cannot create a temporary file beside " + target.string());
    ::fchmod(fd, mode);
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + off, bytes.size() - off);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            ::unlink(tmpl.c_str());
            return fail("cannot write " + tmpl);
        }
        off += size_t(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        ::unlink(tmpl.c_str());
        return fail("cannot flush " + tmpl);
    }
    if (::rename(tmpl.c_str(), target.c_str()) != 0) {
        ::unlink(tmpl.c_str());
        return fail("cannot replace " + target.string());
    }
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
