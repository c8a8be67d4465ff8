#pragma once
// The process's user defaults: a small key-value store kept in one JSON file,
// $XDG_CONFIG_HOME/<bundle identifier>.json for the standard instance.
//
// The file is read once, at first use. Every change is written at once, atomically (a
// temporary file renamed over the old one; one a writer killed mid-write left goes at the first
// read or the next write, writeFileAtomically's rule). A file that cannot be read or parsed is logged
// and treated as empty; it is left untouched until the next change, which first keeps a copy
// of it beside it as "<file>.corrupt".
//
// Dates and byte strings keep their type across a save and a load: they are written as the
// one-key objects {"$date": seconds since 2001-01-01} and {"$data": "<Base64>"}. A stored
// dictionary whose only key is one of "$date", "$data" or "$dict" is wrapped as {"$dict": ...}
// so it reads back unchanged.
//
// Every operation is thread-safe (one mutex per instance). A change (a removal too) is written
// under the file's lock ("<file>.lock", held by every instance and process that writes it) over
// the file as it is then: only the changed key is written, the others keep what other instances
// and processes wrote, and this instance reads them too from then on. Reads between writes use
// what was last read (reload() reads again). A write waits at most kLockWaitSeconds for the lock
// (a process no longer than that in all, whatever settings files it finds held); past that (a
// process stopped inside its write) the error names the holder and the change stays in memory,
// waiting like a failed write, and later writes only try the lock until it is taken.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/ForkSafeMutex.h"
#include "platform/foundation/Value.h"

namespace quorvane::platform {

class UserDefaults {
public:
    // Defaults kept in the given file (its folder is created on the first write).
    explicit UserDefaults(std::filesystem::path file);

    // The process-wide instance, on standardPath() as it is at the first call.
    static std::shared_ptr<UserDefaults> standardUserDefaults();
    // $XDG_CONFIG_HOME/<bundle identifier>.json
    static std::filesystem::path standardPath();

    const std::filesystem::path& path() const { return path_; }

    // The stored value, or nullopt when the key is absent.
    std::optional<Value> objectForKey(std::string_view key) const;
    // Stores the value and writes the file; a null value removes the key.
    void setObject(const Value& value, std::string_view key);
    void removeObjectForKey(std::string_view key);
    // Sets the key to what `update` makes of its value as the file holds it under its lock (absent:
    // nullptr; nullopt removes the key), so that processes changing one value each in part (a list
    // each adds to) lose nothing of each other's. While the file stays locked, `update` is given
    // the value as this instance holds it, and the result waits like a failed write. `update` may
    // be called twice.
    void updateObject(std::string_view key, const std::function<std::optional<Value>(const Value* stored)>& update);
    // Turns the key's boolean on, over the file as it is under its lock, unless it is on there
    // already: true when this call turned it on and wrote it (so, of processes racing to do
    // something once, exactly one is told to).
    bool setFlagOnce(std::string_view key);
    // The value the key holds, over the file as it is under its lock, when `holds` takes it (any
    // value, when not given); else stores the given one there and returns it (so processes racing
    // to make a value once all end up with the first one stored). The given value, not stored, when
    // the file takes no write.
    Value objectOnce(std::string_view key, const Value& value, const std::function<bool(const Value&)>& holds = nullptr);

    static constexpr double kLockWaitSeconds = 10;

    // A string (a stored number reads as its decimal text); nullopt when absent or of another type.
    std::optional<std::string> stringForKey(std::string_view key) const;
    std::optional<Value::Array> arrayForKey(std::string_view key) const;
    std::optional<Value::Dictionary> dictionaryForKey(std::string_view key) const;
    // Numbers and booleans convert; a string is read as a number, or for booleans as
    // "YES"/"true" (any case) or a non-zero number. Absent or unusable: false / 0.
    bool boolForKey(std::string_view key) const;
    int64_t integerForKey(std::string_view key) const;
    double doubleForKey(std::string_view key) const;

    // Writes the current state now when the file does not hold it yet (an earlier write failed);
    // true when the file holds every change made through this instance.
    bool synchronize();

    // Every key and value, in the order they were first stored.
    Value dictionaryRepresentation() const;

    // How the file was found when it was first read: absent, read, or there but not readable or
    // not a JSON object (`why` then says what was wrong). A file written since is Read.
    enum class FileState { Absent, Read, Unreadable };
    FileState fileState(std::string* why = nullptr) const;
    // Reads the file again at the next use, as another process may have written it since; not
    // while changes of this instance wait to be written.
    void reload();

private:
    void loadLocked(bool quiet = false) const;
    // Reads the file again under its lock and, unless `proceed` refuses what it holds, applies
    // the changes not yet written and writes it.
    enum class Write { Written, Declined, Failed };
    Write writeLocked(const std::function<bool(const Value& file)>& proceed = nullptr);
    void changedLocked(std::string_view key, std::optional<Value> value);
    // updateObject with the mutex held: how the write went (the change waits when not Written).
    Write updateLocked(std::string_view key, const std::function<std::optional<Value>(const Value* stored)>& update);
    // updateObject (taking the mutex) for a value made once: true when written; else nothing of the change waits
    // (this instance holds the file as it is now).
    bool storeOnce(std::string_view key, const std::function<std::optional<Value>(const Value* stored)>& update);

    const std::filesystem::path path_;
    mutable ForkSafeMutex mutex_;
    mutable bool loaded_ = false;
    mutable bool temporariesChecked_ = false;
    mutable bool unreadable_ = false;  // the file on disk could not be read or parsed
    mutable bool absent_ = false;      // there was no file when it was first read
    mutable std::string unreadableWhy_;
    bool pending_ = false;              // changes not yet on disk
    bool lockWaitPassed_ = false;       // the last write found the lock held past the wait
    std::vector<std::pair<std::string, std::optional<Value>>> changes_;  // those changes: a value, or removed
    mutable Value values_ = Value::dictionary();
};

}  // namespace quorvane::platform
