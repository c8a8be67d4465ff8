#include "crashes/MSCrashesLogBuffer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <cstdio>

#include "crashes/MSErrorLogFormatter.h"
#include "crashes/MSErrorLogs.h"
#include "crashreporter/capture/MSCrashReporter.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Paths.h"
#include "telemetry/MSChannelGroup.h"
#include "telemetry/MSChannelUnit.h"
#include "telemetry/MSEncrypter.h"
#include "telemetry/MSLogger.h"
#include "telemetry/MSUtility.h"

namespace quorvane {

namespace {

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
    static auto* buffer = new MSCrashesLogBuffer;
    return *buffer;
}

void MSCrashesLogBuffer::publish(int index, std::unique_ptr<const MSCrashesLogBufferSlot> record) {
    const MSCrashesLogBufferSlot* old = slots_[index].exchange(record.release(), std::memory_order_seq_cst);
    // A crash-time writer announces itself before it loads a slot: with none announced now, none
    // can hold the old record. With one, the process is ending; the old record stays.
    if (crashReaders_.load(std::memory_order_seq_cst) == 0) delete old;
}

void MSCrashesLogBuffer::setupLogBuffer(const std::string& component,
                                        const std::shared_ptr<platform::DispatchQueue>& queue,
                                        const std::shared_ptr<platform::DispatchGroup>& group) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < kMSCrashesLogBufferSize; ++i) {
        std::string slotComponent = component + "/" + std::to_string(i) + "." + kMSCrashesLogBufferFileExtension;
        std::string path = MSUtility::fullURLForPathComponent(slotComponent).string();
        group->async(queue, [slotComponent] {
            MSUtility::createFileAtPathComponent(slotComponent, std::nullopt, false, false);
        });
        auto record = std::make_unique<MSCrashesLogBufferSlot>();
        record->targetTokenPath = targetTokenPathFor(path);
        record->bufferPath = std::move(path);
        publish(i, std::move(record));
    }
}

void MSCrashesLogBuffer::bufferLog(const MSAbstractLog& log, const std::string& internalId, MSEncrypter& encrypter) {
    if (dynamic_cast<const MSAppleErrorLog*>(&log) || dynamic_cast<const MSErrorAttachmentLog*>(&log)) return;
    std::lock_guard<std::mutex> lock(mutex_);
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
    std::lock_guard<std::mutex> lock(mutex_);
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
    std::lock_guard<std::mutex> lock(mutex_);
    const MSCrashesLogBufferSlot* slot = slots_[index].load();
    if (slot == nullptr) return std::nullopt;
    return *slot;
}

void MSCrashesLogBuffer::writeAtCrash() {
    writtenAtCrash_.store(true);
    crashReaders_.fetch_add(1, std::memory_order_seq_cst);
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

class MSCrashesLogBuffer::ReplayWatch : public MSChannelDelegate {
public:
    void didCompleteEnqueueingLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log, const std::string&,
                                  MSEnqueueOutcome outcome) override {
        auto& buffer = MSCrashesLogBuffer::shared();
        std::filesystem::path file;
        {
            std::lock_guard lock(buffer.replayMutex_);
            auto it = buffer.replaying_.find(log.get());
            if (it == buffer.replaying_.end()) return;
            file = std::move(it->second);
            buffer.replaying_.erase(it);
        }
        if (outcome == MSEnqueueOutcome::NotStored) {
            MSLogWarning(kMSCrashesLogTag, "A log buffered at a crash could not be stored; " + file.filename().string() +
                                               " is kept to be enqueued again at the next start.");
            return;
        }
        // After a crash-time write of this run the file holds this run's slot, which must stay.
        if (!buffer.writtenAtCrash_.load()) consumeBufferFile(file);
    }

    // The file and its token are done with.
    static void consumeBufferFile(const std::filesystem::path& file) {
        std::error_code ignored;
        std::filesystem::remove(targetTokenPathFor(file.string()), ignored);
        writeBufferSlotFile("", 0, file.c_str());
    }
};

std::shared_ptr<MSChannelUnit> MSCrashesLogBuffer::processLogBufferAfterCrash(MSChannelGroup& group,
                                                                              MSEncrypter& encrypter,
                                                                              const std::string& component) {
    auto unit = group.addChannelUnitWithConfiguration(
        MSChannelUnitConfiguration::initWithGroupId(kMSCrashesBufferGroupId, 2, 1, 50, 1));
    auto files = MSUtility::contentsOfDirectory(component);
    if (!unit || !files || files->empty()) return unit;
    auto& self = shared();
    {
        std::lock_guard lock(self.replayMutex_);
        if (!self.replayWatch_) self.replayWatch_ = std::make_shared<ReplayWatch>();
        unit->addDelegate(self.replayWatch_);
    }
    auto onItsWay = [&self](const std::filesystem::path& file) {
        std::lock_guard lock(self.replayMutex_);
        return std::any_of(self.replaying_.begin(), self.replaying_.end(),
                           [&](const auto& entry) { return entry.second == file; });
    };
    size_t unread = 0;
    std::string firstUnread;
    for (const auto& file : *files) {
        if (!hasExtension(file, kMSCrashesLogBufferFileExtension) || onItsWay(file)) continue;
        const std::filesystem::path tokenFile = targetTokenPathFor(file.string());
        // Read without blocking, regular files only: a FIFO at a buffer file's name holds no start.
        auto read = [](const std::filesystem::path& path) -> platform::Result<std::string> {
            auto bytes = MSCrashReporter::readCrashReportFile(path.string());
            if (!bytes) return bytes.error();
            return std::string(bytes->begin(), bytes->end());
        };
        // Not read (a read error, or not a regular file): the file stays, never taken for an empty slot.
        auto data = read(file);
        if (!data) {
            if (data.error().code != ENOENT && !unread++) firstUnread = data.error().localizedDescription();
            continue;
        }
        std::shared_ptr<MSAbstractLog> log;
        if (!data->empty()) log = platform::KeyedUnarchiver::unarchivedObject<MSAbstractLog>(*data).valueOr(nullptr);
        if (log) {
            auto token = read(tokenFile);
            if (!token && token.error().code != ENOENT) {
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
                self.replaying_[log.get()] = file;
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
    if (unread)
        MSLogWarning(kMSCrashesLogTag, "Couldn't read " + std::to_string(unread) +
                                           " crash-time log buffer files; they stay until they can be read: " + firstUnread);
    // Token files beside no log belong to none.
    for (const auto& file : *files) {
        if (!hasExtension(file, kMSCrashesTargetTokenFileExtension)) continue;
        std::error_code ec;
        const auto size = std::filesystem::file_size(std::filesystem::path(file).replace_extension(
                                                          kMSCrashesLogBufferFileExtension), ec);
        if (ec || size == 0) std::filesystem::remove(file, ec);
    }
    return unit;
}

void MSCrashesLogBuffer::emptyLogBufferFiles(const std::string& component) {
    auto files = MSUtility::contentsOfDirectory(component);
    if (!files) {
        MSLogError(kMSCrashesLogTag, "Couldn't get files in the directory \"" + component + "\"");
        return;
    }
    for (const auto& file : *files) {
        std::error_code ec;
        if (!hasExtension(file, kMSCrashesLogBufferFileExtension) || std::filesystem::file_size(file, ec) == 0 || ec)
            continue;
        MSUtility::createFileAtPathComponent(component + "/" + file.filename().string(), std::nullopt, false, true);
    }
}

}  // namespace quorvane
