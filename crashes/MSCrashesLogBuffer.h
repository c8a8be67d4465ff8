#pragma once
// The crash-time log buffer. A log handed to a channel is stored in the log file only later, on
// the channel group's queue; a crash in between would lose it. The buffer keeps a copy of the
// last 60 logs handed over in a fixed table, which the crash path writes to one file per slot
// with nothing but open, write, close and unlink, and which the next start enqueues again. A
// log stays in its slot, and a file enqueued again stays, until the log store has the log (or
// it was left out on purpose), so that a log the store could not take is tried at a later start.
//
// Each slot holds an immutable record published with one atomic store: a crash-time writer sees
// either the old record or the new one, never one being changed. A replaced record is freed only
// when no crash-time writer can be reading it (else it is left for the dying process).
//
// Every process of the application has files of its own: a folder "<pid>.<n>" in the buffer
// folder (the first n free), with the slot files and a lock file, "owner.lock", locked for the
// process's life and before the folder bears its name. A child forked without exec keeps none of
// its parent's logs or locks, and makes a folder of its own when it buffers a log. A start takes over the folder of each process that is gone (its lock free, in
// whatever process id namespace it ran), one start per folder, and removes the folder once its
// logs are stored. Slot files lying in the buffer folder itself (an earlier version's) are taken
// over the same way, under the lock file "legacy.lock" there.

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <sys/types.h>

#include "platform/foundation/ForkSafeMutex.h"
#include "platform/runloop/DispatchQueue.h"

namespace quorvane {

class MSAbstractLog;
class MSChannelGroup;
class MSChannelUnit;
class MSEncrypter;

inline constexpr int kMSCrashesLogBufferSize = 60;
inline constexpr const char* kMSCrashesLogBufferFileExtension = "mscrasheslogbuffer";
inline constexpr const char* kMSCrashesTargetTokenFileExtension = "targettoken";
inline constexpr const char* kMSCrashesBufferGroupId = "CrashesBuffer";

// One slot at one moment. Empty buffer: the slot is free.
struct MSCrashesLogBufferSlot {
    std::string bufferPath;
    std::string buffer;           // the log's keyed archive
    std::string targetTokenPath;
    std::string targetToken;      // encrypted (Base64), empty when the log has none
    std::string internalId;       // the channel's id of the log
    double timestamp = 0;         // seconds since 1970 when filled
};

class MSCrashesLogBuffer {
public:
    // The process-wide table.
    static MSCrashesLogBuffer& shared();

    // Points the slots at their files under the storage folder's `component` and empties them.
    // The files are created (empty, an existing one left as it is: it may hold the last crash's
    // logs) by tasks on `queue` in `group`.
    void setupLogBuffer(const std::string& component, const std::shared_ptr<platform::DispatchQueue>& queue,
                        const std::shared_ptr<platform::DispatchGroup>& group);
    // Copies a log into the first free slot, or over the oldest. Crash logs and attachments are
    // never buffered.
    void bufferLog(const MSAbstractLog& log, const std::string& internalId, MSEncrypter& encrypter);
    // Frees every slot holding the log. After a crash-time write, also removes its files.
    void freeLog(const std::string& internalId);

    // A copy of slot i's current record (tests and diagnostics); nullopt before set-up.
    std::optional<MSCrashesLogBufferSlot> slotAt(int index) const;
    bool writtenAtCrash() const { return writtenAtCrash_.load(); }

    // Enqueues the logs that processes which are gone left in their files on a new "CrashesBuffer"
    // unit of the group (returned). A file is emptied once its log is stored or left out on
    // purpose, and kept when the store could not take it, for a later start; a folder this or
    // another start is at work on is not enqueued again. Undecodable files are emptied at once,
    // and token files beside no log removed.
    static std::shared_ptr<MSChannelUnit> processLogBufferAfterCrash(MSChannelGroup& group, MSEncrypter& encrypter,
                                                                     const std::string& component);
    // Truncates every non-empty buffer file, of every process.
    static void emptyLogBufferFiles(const std::string& component);

    // The crash-time writer (see writeLogBufferAtCrash).
    void writeAtCrash();

    // This process's folder (empty before set-up).
    std::filesystem::path ownFolder() const;

private:
    class ReplayWatch;  // hears how each log enqueued again from a file ended
    struct Claim;       // a folder taken over, held until its logs are done with

    MSCrashesLogBuffer() = default;
    // This process's folder under the storage folder's `component`, made (with its lock) when it
    // is missing or was its parent's; its component. Under mutex_.
    std::string ownFolderLocked(const std::string& component);
    // Empty slots over the files of `folder`, the files made on the queue when one is given.
    void pointSlotsLocked(const std::string& folder, const std::shared_ptr<platform::DispatchQueue>& queue,
                          const std::shared_ptr<platform::DispatchGroup>& group);
    // In a child forked without exec (pthread_atfork): it keeps nothing of its parent's buffer.
    static void childAfterFork();
    // The table takes the record over; the one it replaces is freed unless a crash-time writer
    // may still read it.
    void publish(int index, std::unique_ptr<const MSCrashesLogBufferSlot> record);

    mutable platform::ForkSafeMutex mutex_;  // serialises the changes (readers never take it)
    std::atomic<const MSCrashesLogBufferSlot*> slots_[kMSCrashesLogBufferSize] = {};
    std::atomic<int> crashReaders_{0};
    std::atomic<bool> writtenAtCrash_{false};

    std::string component_;     // under mutex_, as the ones below
    std::string ownComponent_;
    std::filesystem::path ownPath_;
    int ownLock_ = -1;
    pid_t ownerPid_ = 0;  // the process the folder is of

    platform::ForkSafeMutex replayMutex_;  // the two below
    struct Replaying {
        std::filesystem::path file;
        std::shared_ptr<Claim> claim;
    };
    std::map<const MSAbstractLog*, Replaying> replaying_;  // a file, by its log on its way
    std::shared_ptr<ReplayWatch> replayWatch_;
};

// Writes every slot to its files. Async-signal-safe: no allocation, no lock.
void writeLogBufferAtCrash();
// open(O_WRONLY|O_CREAT|O_TRUNC, 0644), one write of `length` bytes, close. Async-signal-safe.
void writeBufferSlotFile(const char* data, size_t length, const char* path);

}  // namespace quorvane
