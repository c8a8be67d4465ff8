#include "platform/store/Keychain.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/foundation/Base64.h"
#include "platform/foundation/Crypto.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/UUID.h"

namespace quorvane::platform {

namespace fs = std::filesystem;

namespace {

constexpr const char* kLogCategory = "Keychain";

std::string hexDigest(std::string_view service, std::string_view account) {
    // The lengths go first so that ("ab", "c") and ("a", "bc") name different items.
    std::string input = std::to_string(service.size()) + ":" + std::string(service) + std::to_string(account.size()) +
                        ":" + std::string(account);
    return sha256Hex(input);
}

bool writeAll(int fd, const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + off, bytes.size() - off);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        off += size_t(n);
    }
    return true;
}

}  // namespace

Keychain::Keychain(fs::path folder) : folder_(std::move(folder)) {}

fs::path Keychain::defaultPath() { return Paths::applicationSupport() / "Keychain"; }

std::shared_ptr<Keychain> Keychain::defaultKeychain() {
    static std::once_flag once;
    static auto& keychain = *new std::shared_ptr<Keychain>;
    std::call_once(once, [] { keychain = std::make_shared<Keychain>(defaultPath()); });
    return keychain;
}

fs::path Keychain::itemPath(std::string_view service, std::string_view account) const {
    return folder_ / (hexDigest(service, account) + ".item");
}

namespace {

void syncFolder(const fs::path& folder) {
    int dirfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd >= 0) {
        ::fsync(dirfd);
        ::close(dirfd);
    }
}

constexpr const char* kTemporaryPrefix = ".item.";

// Holds the folder's lock: writers and deleters of every process take it, so a temporary file
// found while it is held belongs to a writer that died (its lock went with it).
class FolderLock {
public:
    FolderLock(const fs::path& folder, bool wait) {
        fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) return;
        int rc;
        do {
            rc = ::flock(fd_, LOCK_EX | (wait ? 0 : LOCK_NB));
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~FolderLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    bool held() const { return fd_ >= 0; }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

// Removes the temporaries of writers that died between naming one and renaming it into place.
// The caller holds the folder's lock.
void removeStaleTemporaries(const fs::path& folder) {
    std::error_code ec;
    bool removed = false;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename().string().rfind(kTemporaryPrefix, 0) != 0) continue;
        removed = ::unlink(it->path().c_str()) == 0 || removed;
    }
    if (removed) syncFolder(folder);
}

// An unnamed file in the folder: nothing of it stays on disk if the process dies before it is
// linked in. -1 when the file system has no unnamed files.
int openUnnamed(const fs::path& folder) {
#ifdef O_TMPFILE
    return ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
#else
    (void)folder;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

bool linkUnnamed(int fd, const fs::path& target) {
    std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace

KeychainStatus Keychain::writeItem(std::string_view service, std::string_view account, const Bytes& password,
                                   bool replace, const std::function<bool(const Bytes& password)>& onlyIf) {
    if (service.empty() || account.empty()) return KeychainStatus::Param;
    if (!Paths::ensureDirectory(folder_, 0700)) {
        Log::error(kLogCategory, "cannot create the keychain folder " + folder_.string());
        return KeychainStatus::IO;
    }
    ::chmod(folder_.c_str(), 0700);
    FolderLock lock(folder_, true);
    if (!lock.held()) return KeychainStatus::IO;
    removeStaleTemporaries(folder_);
    fs::path target = itemPath(service, account);
    if (!replace && ::access(target.c_str(), F_OK) == 0) return KeychainStatus::DuplicateItem;
    if (onlyIf) {
        Bytes data;
        KeychainStatus found = findGenericPassword(service, account, &data);
        if (found == KeychainStatus::IO) return found;
        if (found != KeychainStatus::Success || !onlyIf(data)) return KeychainStatus::ItemNotFound;
    }

    Value item = Value::dictionary({{"class", Value("genp")},
                                    {"service", Value(base64Encode(service))},
                                    {"account", Value(base64Encode(account))},
                                    {"data", Value(base64Encode(password))}});
    std::string text = item.toJSON();
    // The item is written to an unnamed file, so a writer killed meanwhile leaves nothing; only
    // a replacement needs a name for the rename, and only for that step.
    std::string tmpl = (folder_ / (std::string(kTemporaryPrefix) + "XXXXXX")).string();
    bool unnamed = true;
    int fd = openUnnamed(folder_);
    if (fd < 0) {
        unnamed = false;
        fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    }
    if (fd < 0) return KeychainStatus::IO;
    ::fchmod(fd, 0600);
    bool written = writeAll(fd, text) && ::fsync(fd) == 0;
    if (written && unnamed) {
        if (!replace) {
            // linkat() fails when the target exists: of two concurrent adds exactly one wins.
            bool linked = linkUnnamed(fd, target);
            int err = errno;
            ::close(fd);
            if (!linked) return err == EEXIST ? KeychainStatus::DuplicateItem : KeychainStatus::IO;
            syncFolder(folder_);
            return KeychainStatus::Success;
        }
        // A name of its own for the rename; the next access removes it if this process dies
        // before the rename.
        bool named = false;
        for (int attempt = 0; attempt < 8 && !named; ++attempt) {
            tmpl = (folder_ / (std::string(kTemporaryPrefix) + UUID().uuidString())).string();
            named = linkUnnamed(fd, tmpl);
            if (!named && errno != EEXIST) break;
        }
        written = named;
    }
    written = (::close(fd) == 0) && written;
    if (!written) {
        if (!unnamed || replace) ::unlink(tmpl.c_str());
        return KeychainStatus::IO;
    }
    int rc, err;
    if (replace) {
        // rename() swaps the item in one step: the old one stays whole until the new one is.
        rc = ::rename(tmpl.c_str(), target.c_str());
        err = errno;
        if (rc != 0) ::unlink(tmpl.c_str());
    } else {
        rc = ::link(tmpl.c_str(), target.c_str());
        err = errno;
        ::unlink(tmpl.c_str());
    }
    if (rc != 0) return !replace && err == EEXIST ? KeychainStatus::DuplicateItem : KeychainStatus::IO;
    syncFolder(folder_);
    return KeychainStatus::Success;
}

KeychainStatus Keychain::addGenericPassword(std::string_view service, std::string_view account, const Bytes& password) {
    return writeItem(service, account, password, false);
}

KeychainStatus Keychain::setGenericPassword(std::string_view service, std::string_view account, const Bytes& password) {
    return writeItem(service, account, password, true);
}

KeychainStatus Keychain::setGenericPassword(std::string_view service, std::string_view account, const Bytes& password,
                                            const std::function<bool(const Bytes& password)>& onlyIf) {
    return writeItem(service, account, password, true, onlyIf);
}

KeychainStatus Keychain::findGenericPassword(std::string_view service, std::string_view account, Bytes* password) const {
    if (service.empty() || account.empty()) return KeychainStatus::Param;
    fs::path file = itemPath(service, account);
    std::error_code ec;
    if (fs::is_directory(folder_, ec)) {
        // A reader does not wait for a writer; when no writer runs it clears what a dead one left.
        FolderLock lock(folder_, false);
        if (lock.held()) removeStaleTemporaries(folder_);
    }
    if (!fs::exists(file, ec)) return ec ? KeychainStatus::IO : KeychainStatus::ItemNotFound;
    std::string text;
    if (!readFile(file, text)) return KeychainStatus::IO;
    auto item = Value::fromJSON(text);
    if (!item || !item->isDictionary()) return KeychainStatus::Decode;
    auto s = base64Decode((*item)["service"].asString());
    auto a = base64Decode((*item)["account"].asString());
    auto d = base64Decode((*item)["data"].asString());
    if (!s || !a || !d) return KeychainStatus::Decode;
    // A digest collision would be astronomically unlikely; still, never hand out another item.
    if (std::string(s->begin(), s->end()) != service || std::string(a->begin(), a->end()) != account)
        return KeychainStatus::ItemNotFound;
    if (password) *password = std::move(*d);
    return KeychainStatus::Success;
}

KeychainStatus Keychain::deleteGenericPassword(std::string_view service, std::string_view account) {
    return deleteGenericPassword(service, account, nullptr);
}

KeychainStatus Keychain::deleteGenericPassword(std::string_view service, std::string_view account,
                                               const std::function<bool(const Bytes& password)>& onlyIf) {
    if (service.empty() || account.empty()) return KeychainStatus::Param;
    std::error_code ec;
    if (!fs::is_directory(folder_, ec)) return KeychainStatus::ItemNotFound;
    FolderLock lock(folder_, true);
    if (!lock.held()) return KeychainStatus::IO;
    removeStaleTemporaries(folder_);
    Bytes data;
    KeychainStatus found = findGenericPassword(service, account, onlyIf ? &data : nullptr);
    if (found != KeychainStatus::Success && found != KeychainStatus::Decode) return found;
    if (onlyIf && (found != KeychainStatus::Success || !onlyIf(data))) return KeychainStatus::ItemNotFound;
    fs::path file = itemPath(service, account);
    if (::unlink(file.c_str()) != 0) return errno == ENOENT ? KeychainStatus::ItemNotFound : KeychainStatus::IO;
    syncFolder(folder_);
    return KeychainStatus::Success;
}

}  // namespace quorvane::platform
