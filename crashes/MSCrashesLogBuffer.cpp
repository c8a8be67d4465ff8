#include "crashes/MSCrashesLogBuffer.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <cstdio>

#include "crashes/MSCrashesUtil.h"
#include "crashes/MSErrorLogFormatter.h"
#include "crashes/MSErrorLogs.h"
#include "crashreporter/capture/MSCrashReporter.h"
#include "crashreporter/capture/QVCrashAsync.h"
#include "platform/foundation/ForkSafeMutex.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Paths.h"
#include "telemetry/MSChannelGroup.h"
#include "telemetry/MSChannelUnit.h"
#include "telemetry/MSEncrypter.h"
#include "telemetry/MSLogger.h"
#include "telemetry/MSUtility.h"

namespace quorvane {

namespace fs = std::filesystem;

namespace {

constexpr const char* kLegacyLockFile = "legacy.lock";

// The token file of a buffer file: every extension name in the path replaced.
std::string targetTokenPathFor(std::string path) {
    const std::string from = kMSCrashesLogBufferFileExtension, to = kMSCrashesTargetTokenFileExtension;
    for (size_t at = 0; (at = path.find(from, at)) != std::string::npos; at += to.size()) path.replace(at, from.size(), to);
    return path;
}

std::string describe(const MSAbstractLog& log) {
    return "(sid: " + log.sid.value_or("(null)") + ", type: " + log.type.value_or("(null)") + ")";
}

bool hasExtension(const std::filesystem::path& path, const char* extension) {
    return path.extension() == std::string(".") + extension;
}

}  // namespace

MSCrashesLogBuffer& MSCrashesLogBuffer::shared() {
    // Never destroyed: the crash path may run while the process exits.
    static auto* buffer = [] {
        auto* made = new MSCrashesLogBuffer;
        ::pthread_atfork(nullptr, nullptr, &childAfterFork);
        return made;
    }();
    return *buffer;
}

void MSCrashesLogBuffer::publish(int index, std::unique_ptr<const MSCrashesLogBufferSlot> record) {
    const MSCrashesLogBufferSlot* old = slots_[index].exchange(record.release(), std::memory_order_seq_cst);
    // A crash-time writer announces itself before it loads a slot: with none announced now, none
    // can hold the old record. With one, the process is ending; the old record stays.
    if (crashReaders_.load(std::memory_order_seq_cst) == 0) delete old;
}

std::string MSCrashesLogBuffer::ownFolderLocked(const std::string& component) {
    std::error_code ec;
    if (ownerPid_ == ::getpid() && !ownComponent_.empty() && ownComponent_.starts_with(component + "/") &&
        fs::is_directory(ownPath_, ec)) {
        return ownComponent_;
    }
    if (ownLock_ >= 0) ::close(ownLock_);
    ownLock_ = -1;
    ownComponent_.clear();
    ownPath_.clear();
    ownerPid_ = ::getpid();
    MSUtility::createDirectoryForPathComponent(component);
    // Locked before it bears its name: a start never takes a live process's folder.
    if (auto made = MSCrashesUtil::makeLockedFolder(MSUtility::fullURLForPathComponent(component),
                                                    std::to_string(ownerPid_))) {
        ownPath_ = std::move(made->first);
        ownLock_ = made->second;
        ownComponent_ = component + "/" + ownPath_.filename().string();
        return ownComponent_;
    }
    MSLogError(kMSCrashesLogTag, "Couldn't make a crash-time log buffer folder in \"" + component + "\"");
    return component;
}

void MSCrashesLogBuffer::pointSlotsLocked(const std::string& folder, const std::shared_ptr<platform::DispatchQueue>& queue,
                                          const std::shared_ptr<platform::DispatchGroup>& group) {
    for (int i = 0; i < kMSCrashesLogBufferSize; ++i) {
        std::string slotComponent = folder + "/" + std::to_string(i) + "." + kMSCrashesLogBufferFileExtension;
        std::string path = MSUtility::fullURLForPathComponent(slotComponent).string();
        if (queue && group) {
            group->async(queue, [slotComponent] {
                MSUtility::createFileAtPathComponent(slotComponent, std::nullopt, false, false);
            });
        }
        auto record = std::make_unique<MSCrashesLogBufferSlot>();
        record->targetTokenPath = targetTokenPathFor(path);
        record->bufferPath = std::move(path);
        publish(i, std::move(record));
    }
}

fs::path MSCrashesLogBuffer::ownFolder() const {
    std::lock_guard<platform::ForkSafeMutex> lock(mutex_);
    return ownPath_;
}

void MSCrashesLogBuffer::setupLogBuffer(const std::string& component,
                                        const std::shared_ptr<platform::DispatchQueue>& queue,
                                        const std::shared_ptr<platform::DispatchGroup>& group) {
    std::lock_guard<platform::ForkSafeMutex> lock(mutex_);
    component_ = component;
    pointSlotsLocked(ownFolderLocked(component), queue, group);
}

void MSCrashesLogBuffer::bufferLog(const MSAbstractLog& log, const std::string& internalId, MSEncrypter& encrypter) {
    if (dynamic_cast<const MSAppleErrorLog*>(&log) || dynamic_cast<const MSErrorAttachmentLog*>(&log)) return;
    std::lock_guard<platform::ForkSafeMutex> lock(mutex_);
    // A process forked from the one that set the buffer up: a buffer of its own first.
    if (ownerPid_ != ::getpid() && !component_.empty()) pointSlotsLocked(ownFolderLocked(component_), nullptr, nullptr);
    std::string archive = platform::KeyedArchiver::archivedData(log);
    if (archive.empty()) return;
    std::string token;
    if (auto tokens = log.transmissionTargetTokens(); tokens && !tokens->empty()) {
        token = encrypter.encryptString(*tokens->begin()).value_or("");
    }
    MSLogVerbose(kMSCrashesLogTag, "Storing a log to Crashes Buffer: " + describe(log));

    int chosen = -1, oldestIndex = 0;
    double oldest = DBL_MAX;
    for (int i = 0; i < kMSCrashesLogBufferSize; ++i) {
        const MSCrashesLogBufferSlot* slot = slots_[i].load();
        if (slot == nullptr) continue;  // not set up
        if (slot->buffer.empty()) {
            chosen = i;
            MSLogVerbose(kMSCrashesLogTag, "Found an empty buffer position.");
            break;
        }
        if (slot->timestamp < oldest) {
            oldestIndex = i;
            oldest = slot->timestamp;
            MSLogVerbose(kMSCrashesLogTag, "Remembering index " + std::to_string(i) + " for oldest timestamp " +
                                               std::to_string(oldest) + ".");
        }
    }
    const bool overwrite = chosen < 0;
    if (overwrite) {
        MSLogVerbose(kMSCrashesLogTag, "Reached end of buffer. Next step is overwriting the oldest one.");
        chosen = oldestIndex;
    }
    const MSCrashesLogBufferSlot* current = slots_[chosen].load();
    if (current == nullptr) return;  // the table was never set up
    auto record = std::make_unique<MSCrashesLogBufferSlot>();
    record->bufferPath = current->bufferPath;
    record->targetTokenPath = current->targetTokenPath;
    record->buffer = std::move(archive);
    record->targetToken = std::move(token);  // empty when the log has none: never the last log's
    record->internalId = internalId;
    record->timestamp = platform::Date::now().timeIntervalSince1970();
    publish(chosen, std::move(record));
    if (overwrite) MSLogVerbose(kMSCrashesLogTag, "Overwrote buffered log at index " + std::to_string(chosen) + ".");
}

void MSCrashesLogBuffer::freeLog(const std::string& internalId) {
    if (internalId.empty()) return;
    std::lock_guard<platform::ForkSafeMutex> lock(mutex_);
    for (int i = 0; i < kMSCrashesLogBufferSize; ++i) {
        const MSCrashesLogBufferSlot* slot = slots_[i].load();
        if (slot == nullptr || slot->internalId != internalId) continue;
        MSLogVerbose(kMSCrashesLogTag, "Deleting a log from buffer with id " + internalId);
        auto record = std::make_unique<MSCrashesLogBufferSlot>();
        record->bufferPath = slot->bufferPath;
        record->targetTokenPath = slot->targetTokenPath;
        std::string bufferPath = slot->bufferPath, tokenPath = slot->targetTokenPath;
        publish(i, std::move(record));
        if (writtenAtCrash_.load()) {
            // The log reached the log file after all: it must not come back from the buffer.
            ::unlink(bufferPath.c_str());
            ::unlink(tokenPath.c_str());
            MSLogVerbose(kMSCrashesLogTag, "Deleted crash buffer file: " + bufferPath + ".");
        }
    }
}

std::optional<MSCrashesLogBufferSlot> MSCrashesLogBuffer::slotAt(int index) const {
    if (index < 0 || index >= kMSCrashesLogBufferSize) return std::nullopt;
    std::lock_guard<platform::ForkSafeMutex> lock(mutex_);
    const MSCrashesLogBufferSlot* slot = slots_[index].load();
    if (slot == nullptr) return std::nullopt;
    return *slot;
}

void MSCrashesLogBuffer::writeAtCrash() {
    writtenAtCrash_.store(true);
    crashReaders_.fetch_add(1, std::memory_order_seq_cst);
    // The folder is made again when it was removed meanwhile.
    if (const MSCrashesLogBufferSlot* first = slots_[0].load(std::memory_order_seq_cst);
        first != nullptr && !first->bufferPath.empty()) {
        char scratch[4096];
        qvcrash_async_make_parent_folders(first->bufferPath.c_str(), scratch, sizeof(scratch));
    }
    for (int i = 0; i < kMSCrashesLogBufferSize; ++i) {
        const MSCrashesLogBufferSlot* slot = slots_[i].load(std::memory_order_seq_cst);
        if (slot == nullptr || slot->bufferPath.empty()) continue;
        writeBufferSlotFile(slot->buffer.data(), slot->buffer.size(), slot->bufferPath.c_str());
        if (!slot->targetToken.empty()) {
            writeBufferSlotFile(slot->targetToken.data(), slot->targetToken.size(), slot->targetTokenPath.c_str());
        } else {
            // A token file of an earlier crash must not lend its token to this slot's log.
            ::unlink(slot->targetTokenPath.c_str());
        }
    }
    crashReaders_.fetch_sub(1, std::memory_order_seq_cst);
}

void writeLogBufferAtCrash() { MSCrashesLogBuffer::shared().writeAtCrash(); }

void writeBufferSlotFile(const char* data, size_t length, const char* path) {
    // Made anew: whatever stood at the name (a link, a FIFO) is taken away rather than written
    // through or waited on, at a crash above all.
    ::unlink(path);
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t written = ::write(fd, data, length);
    (void)written;
    ::close(fd);
}

// A folder taken over: its lock file held open and locked until every log enqueued from it is
// done with. Then a process's folder goes, unless a log could not be stored (kept, for a later
// start); the lock goes either way.
struct MSCrashesLogBuffer::Claim {
    fs::path folder;
    fs::path lockFile;
    int fd = -1;
    bool processFolder = false;
    std::atomic<bool> keep{false};

    // The claim, or null when the folder's owner lives or another start holds it.
    static std::shared_ptr<Claim> take(const fs::path& folder, const char* lockName, bool processFolder) {
        const fs::path lockFile = folder / lockName;
        const int fd = processFolder ? MSCrashesUtil::takeOwnership(folder)
                                     : qvcrash_async_open_locked(lockFile.c_str(), true);
        if (fd < 0) return nullptr;
        auto claim = std::make_shared<Claim>();
        claim->folder = folder;
        claim->lockFile = lockFile;
        claim->fd = fd;
        claim->processFolder = processFolder;
        return claim;
    }

    // In a forked child: the parent's claim, neither held nor cleaned up by this process.
    void abandonInChild() {
        if (fd >= 0) ::close(fd);
        fd = -1;
        keep = true;
    }

    ~Claim() {
        if (fd < 0) return;
        if (processFolder && !keep.load()) {
            // The logs first, the lock file last: a start that comes to the folder meanwhile finds
            // nothing left to send.
            std::error_code ec;
            for (const auto& entry : fs::directory_iterator(folder, ec)) {
                if (entry.path() != lockFile) fs::remove(entry.path(), ec);
            }
            fs::remove(lockFile, ec);
            fs::remove(folder, ec);
        }
        ::close(fd);
    }
};

void MSCrashesLogBuffer::childAfterFork() {
    // The parent's logs are the parent's: this process keeps none of them and lets go of every
    // lock it shares with the parent (an open file's lock outlives the parent while a copy of
    // the descriptor lives), so that neither its crash nor its life touches the parent's files.
    // A buffer of its own (folder and lock) is made when it first buffers a log. Its locks are
    // free, as every fork-safe lock is in a child, and it is the only thread.
    auto& self = shared();
    for (auto& slot : self.slots_) slot.store(nullptr);  // the records stay: freeing is not for here
    if (self.ownLock_ >= 0) ::close(self.ownLock_);
    self.ownLock_ = -1;
    for (auto& [log, replaying] : self.replaying_) replaying.claim->abandonInChild();
}

class MSCrashesLogBuffer::ReplayWatch : public MSChannelDelegate {
public:
    void didCompleteEnqueueingLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log, const std::string&,
                                  MSEnqueueOutcome outcome) override {
        auto& buffer = MSCrashesLogBuffer::shared();
        Replaying done;
        {
            std::lock_guard lock(buffer.replayMutex_);
            auto it = buffer.replaying_.find(log.get());
            if (it == buffer.replaying_.end()) return;
            done = std::move(it->second);
            buffer.replaying_.erase(it);
        }
        if (outcome == MSEnqueueOutcome::NotStored) {
            MSLogWarning(kMSCrashesLogTag, "A log buffered at a crash could not be stored; " +
                                               done.file.filename().string() +
                                               " is kept to be enqueued again at the next start.");
            done.claim->keep = true;
            return;
        }
        consumeBufferFile(done.file);
    }

    // The file and its token are done with.
    static void consumeBufferFile(const fs::path& file) {
        std::error_code ignored;
        fs::remove(targetTokenPathFor(file.string()), ignored);
        fs::remove(file, ignored);
    }
};

std::shared_ptr<MSChannelUnit> MSCrashesLogBuffer::processLogBufferAfterCrash(MSChannelGroup& group,
                                                                              MSEncrypter& encrypter,
                                                                              const std::string& component) {
    auto unit = group.addChannelUnitWithConfiguration(
        MSChannelUnitConfiguration::initWithGroupId(kMSCrashesBufferGroupId, 2, 1, 50, 1));
    auto& self = shared();
    const fs::path root = MSUtility::fullURLForPathComponent(component);
    const fs::path own = self.ownFolder();
    // The folders of processes that are gone, and slot files of an earlier version.
    std::vector<std::shared_ptr<Claim>> claims;
    bool legacy = false;
    std::error_code ec;
    // Folders a process was making when it ended hold no logs yet.
    MSCrashesUtil::removeAbandonedTemporaries(root);
    for (const auto& entry : fs::directory_iterator(root, ec)) {
        std::error_code kind;
        if (fs::is_directory(entry.symlink_status(kind))) {
            if (entry.path() == own || MSCrashesUtil::isTemporaryName(entry.path().filename().string())) continue;
            if (auto claim = Claim::take(entry.path(), MSCrashesUtil::kOwnerLockFile, true)) claims.push_back(std::move(claim));
        } else if (hasExtension(entry.path(), kMSCrashesLogBufferFileExtension)) {
            legacy = true;
        }
    }
    if (legacy) {
        if (auto claim = Claim::take(root, kLegacyLockFile, false)) claims.push_back(std::move(claim));
    }
    if (!unit || claims.empty()) return unit;
    {
        std::lock_guard lock(self.replayMutex_);
        if (!self.replayWatch_) self.replayWatch_ = std::make_shared<ReplayWatch>();
        unit->addDelegate(self.replayWatch_);
    }
    size_t unread = 0;
    std::string firstUnread;
    for (const auto& claim : claims) {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(claim->folder, ec)) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            if (!hasExtension(file, kMSCrashesLogBufferFileExtension)) continue;
            const fs::path tokenFile = targetTokenPathFor(file.string());
            // Read without blocking, regular files only: a FIFO at a buffer file's name holds no start.
            auto read = [](const fs::path& path) -> platform::Result<std::string> {
                auto bytes = MSCrashReporter::readCrashReportFile(path.string());
                if (!bytes) return bytes.error();
                return std::string(bytes->begin(), bytes->end());
            };
            // Not read (a read error, or not a regular file): the file stays, never taken for an empty slot.
            auto data = read(file);
            if (!data) {
                if (data.error().code != ENOENT) {
                    claim->keep = true;
                    if (!unread++) firstUnread = data.error().localizedDescription();
                }
                continue;
            }
            std::shared_ptr<MSAbstractLog> log;
            if (!data->empty()) log = platform::KeyedUnarchiver::unarchivedObject<MSAbstractLog>(*data).valueOr(nullptr);
            if (log) {
                auto token = read(tokenFile);
                if (!token && token.error().code != ENOENT) {
                    claim->keep = true;
                    if (!unread++) firstUnread = token.error().localizedDescription();
                    continue;
                }
                if (token) {
                    if (auto decrypted = encrypter.decryptString(*token)) {
                        log->addTransmissionTargetToken(*decrypted);
                    } else {
                        MSLogError(kMSLogTag, "Failed to decrypt the target token.");
                    }
                }
                MSLogDebug(kMSCrashesLogTag, "Re-enqueueing buffered log, type: " + log->type.value_or("(null)") + ".");
                {
                    std::lock_guard lock(self.replayMutex_);
                    self.replaying_[log.get()] = {file, claim};
                }
                unit->enqueueItem(log, MSFlagsNormal);
                // The file goes when the store has the log (ReplayWatch), unless the channel refused it.
                if (log->isValid()) continue;
                std::lock_guard lock(self.replayMutex_);
                self.replaying_.erase(log.get());
            }
            // A file without a sendable log is done with now.
            ReplayWatch::consumeBufferFile(file);
        }
        // Token files beside no log belong to none.
        for (const auto& file : files) {
            if (!hasExtension(file, kMSCrashesTargetTokenFileExtension)) continue;
            std::error_code missing;
            const auto size = fs::file_size(fs::path(file).replace_extension(kMSCrashesLogBufferFileExtension), missing);
            if (missing || size == 0) fs::remove(file, missing);
        }
    }
    if (unread)
        MSLogWarning(kMSCrashesLogTag, "Couldn't read " + std::to_string(unread) +
                                           " crash-time log buffer files; they stay until they can be read: " + firstUnread);
    return unit;
}

void MSCrashesLogBuffer::emptyLogBufferFiles(const std::string& component) {
    if (!MSUtility::contentsOfDirectory(component)) {
        MSLogError(kMSCrashesLogTag, "Couldn't get files in the directory \"" + component + "\"");
        return;
    }
    const fs::path root = MSUtility::fullURLForPathComponent(component);
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        std::error_code size;
        if (!hasExtension(it->path(), kMSCrashesLogBufferFileExtension) || fs::file_size(it->path(), size) == 0 || size)
            continue;
        MSUtility::createFileAtPathComponent(component + "/" + fs::relative(it->path(), root, size).string(),
                                             std::nullopt, false, true);
    }
}

}  // namespace quorvane
