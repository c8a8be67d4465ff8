#include "crashes/MSCrashesUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "crashreporter/capture/MSCrashReporter.h"
#include "crashreporter/capture/QVCrashAsync.h"
#include "telemetry/MSUtility.h"

namespace fs = std::filesystem;

namespace quorvane {

namespace {

constexpr const char* kCrashesDir = "crashes";
constexpr const char* kLogBufferDir = "crasheslogbuffer";
constexpr const char* kWrapperExceptionsDir = "crasheswrapperexceptions";
// The capture engine's report folder, in a storage folder of its own.
constexpr const char* kReporterDir = "crashreporter";

// One flag per folder: set once the folder was created in this process.
std::mutex gMutex;
bool gCreated[3] = {false, false, false};
fs::path gStorageFolder;  // empty: the SDK's storage root

std::string folder(int index, const char* name) {
    std::lock_guard lock(gMutex);
    // An absolute component: the storage root's accessors take it as it stands.
    const std::string component = gStorageFolder.empty() ? std::string(name) : (gStorageFolder / name).string();
    if (!gCreated[index]) MSUtility::createDirectoryForPathComponent(component);
    gCreated[index] = true;
    return component;
}

}  // namespace

std::string MSCrashesUtil::crashesDir() { return folder(0, kCrashesDir); }
std::string MSCrashesUtil::logBufferDir() { return folder(1, kLogBufferDir); }
std::string MSCrashesUtil::wrapperExceptionsDir() { return folder(2, kWrapperExceptionsDir); }

void MSCrashesUtil::resetDirectory() {
    std::lock_guard lock(gMutex);
    for (auto& created : gCreated) created = false;
}

void MSCrashesUtil::setStorageFolder(const fs::path& storage) {
    {
        std::lock_guard lock(gMutex);
        gStorageFolder = storage;
        for (auto& created : gCreated) created = false;
    }
    MSCrashReporter::setReportFolderRoot(storage.empty() ? fs::path() : storage / kReporterDir);
}

std::string MSCrashesUtil::temporaryName(std::string_view name) {
    static std::atomic<unsigned> made{0};
    return "." + std::string(name) + "." + std::to_string(::getpid()) + "." + std::to_string(++made);
}

bool MSCrashesUtil::isTemporaryName(std::string_view name) {
    return name.size() > 1 && name[0] == '.' && name != "..";
}

std::string MSCrashesUtil::intendedName(std::string_view temporary) {
    // ".<name>.<pid>.<n>"
    if (!isTemporaryName(temporary)) return {};
    auto digitsBefore = [](std::string_view text, size_t end) {
        size_t at = end;
        while (at > 0 && text[at - 1] >= '0' && text[at - 1] <= '9') --at;
        return at < end && at > 0 && text[at - 1] == '.' ? at - 1 : std::string_view::npos;
    };
    const size_t counter = digitsBefore(temporary, temporary.size());
    if (counter == std::string_view::npos) return {};
    const size_t pid = digitsBefore(temporary, counter);
    if (pid == std::string_view::npos || pid < 2) return {};
    return std::string(temporary.substr(1, pid - 1));
}

int MSCrashesUtil::takeOwnership(const fs::path& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return -1;
    if (S_ISDIR(st.st_mode)) return qvcrash_async_open_locked((path / kOwnerLockFile).c_str(), true);
    if (!S_ISREG(st.st_mode)) return -1;
    return qvcrash_async_open_locked(path.c_str(), false);
}

void MSCrashesUtil::removeAbandonedTemporaries(const fs::path& dir) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        if (!isTemporaryName(entry.path().filename().string())) continue;
        const int fd = takeOwnership(entry.path());
        if (fd < 0) continue;
        std::error_code ignored;
        fs::remove_all(entry.path(), ignored);
        ::close(fd);
    }
}

namespace {

// A new temporary of this process's on its way to `name` in `dir`, made and locked; its descriptor
// is -1 (err says why) when none could be made. A start cleaning up may find the new temporary
// between its making and its locking, take it for abandoned and remove it: then it is not ours, and
// another temporary name is tried (a lasting failure fails every try alike).
struct Temporary {
    fs::path path;
    int fd = -1;
    int err = 0;
};
Temporary makeLockedTemporary(const fs::path& dir, const std::string& name) {
    Temporary made;
    for (int attempt = 0; made.fd < 0 && attempt < 100; ++attempt) {
        made.path = dir / MSCrashesUtil::temporaryName(name);
        errno = 0;
        made.fd = qvcrash_async_open_locked(made.path.c_str(), true);
        made.err = errno ? errno : EBUSY;
        std::error_code ec;
        if (made.fd < 0 && !fs::is_directory(dir, ec)) break;  // nowhere to make one
    }
    return made;
}

}  // namespace

int MSCrashesUtil::makeLockedFile(const fs::path& dir, const std::string& name) {
    const Temporary made = makeLockedTemporary(dir, name);
    if (made.fd < 0) return -1;
    if (qvcrash_async_rename_noreplace(made.path.c_str(), (dir / name).c_str()) == 0) return made.fd;
    ::unlink(made.path.c_str());
    ::close(made.fd);
    return -1;
}

platform::Result<fs::path> MSCrashesUtil::saveNewFile(const fs::path& dir, const std::string& name,
                                                      std::string_view bytes) {
    // Locked before anything is written into it.
    const Temporary made = makeLockedTemporary(dir, name);
    const fs::path& hidden = made.path;
    const int fd = made.fd;
    if (fd < 0) return platform::posixError(made.err, "Could not make " + hidden.string());
    int err = 0;
    if (::ftruncate(fd, 0) != 0 || qvcrash_async_writen(fd, bytes.data(), bytes.size()) < 0 || ::fsync(fd) != 0)
        err = errno ? errno : EIO;
    platform::Result<fs::path> placed = platform::posixError(err, "Could not save " + (dir / name).string());
    if (err == 0) placed = placeUnderNewName(hidden, dir, name);
    if (!placed) ::unlink(hidden.c_str());
    ::close(fd);
    return placed;
}

platform::Result<fs::path> MSCrashesUtil::placeUnderNewName(const fs::path& from, const fs::path& dir,
                                                            const std::string& name) {
    int err = EEXIST;
    for (int n = 0; err == EEXIST && n < 10000; ++n) {
        const fs::path placed = dir / (n == 0 ? name : name + "-" + std::to_string(n));
        if ((err = qvcrash_async_rename_noreplace(from.c_str(), placed.c_str())) == 0) return placed;
    }
    return platform::posixError(err, "Could not save " + (dir / name).string());
}

std::optional<std::pair<fs::path, int>> MSCrashesUtil::makeLockedFolder(const fs::path& parent,
                                                                       const std::string& name) {
    int n = 1;
    for (int attempt = 0; attempt < 100000; ++attempt) {
        const fs::path placed = parent / (name + "." + std::to_string(n));
        std::error_code ec;
        if (fs::exists(fs::symlink_status(placed, ec))) {  // an earlier process's of this id
            ++n;
            continue;
        }
        const fs::path hidden = parent / temporaryName(placed.filename().string());
        if (::mkdir(hidden.c_str(), 0755) != 0) return std::nullopt;
        // A start cleaning up may take the hidden folder before it is locked: then it is not ours.
        const int fd = qvcrash_async_open_locked((hidden / kOwnerLockFile).c_str(), true);
        const int err = fd < 0 ? EAGAIN : qvcrash_async_rename_noreplace(hidden.c_str(), placed.c_str());
        if (err == 0) return std::pair{placed, fd};
        if (fd >= 0) {
            fs::remove_all(hidden, ec);
            ::close(fd);
        }
        if (err == EEXIST) ++n;
        else if (err != EAGAIN) return std::nullopt;  // EAGAIN: the same name, under a new temporary one
    }
    return std::nullopt;
}

}  // namespace quorvane
