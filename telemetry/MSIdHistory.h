#pragma once
// A time-ordered history of ids (sessions, users) kept in the SDK's user defaults as a keyed
// archive, with the record classes it stores.

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/ForkSafeMutex.h"
#include "telemetry/MSSerializableObject.h"

namespace quorvane {

// One entry: since when an id (or none) was current.
class MSHistoryInfo : public MSKeyedRecord {
public:
    static const platform::ClassInfo kClassInfo;
    std::optional<platform::Date> timestamp() const {
        const auto& v = field("timestamp");
        return v.isDate() ? std::optional(v.asDate()) : std::nullopt;
    }
    void setTimestamp(platform::Date d) { setField("timestamp", d); }
    virtual std::optional<std::string> identifier() const = 0;
    virtual void setIdentifier(std::optional<std::string> id) = 0;
    // The process that recorded it, by its id and start (whole seconds since 1970); absent in
    // entries earlier versions recorded.
    std::optional<int64_t> processId() const { return integer("processId"); }
    std::optional<int64_t> processStartTime() const { return integer("processStartTime"); }
    void setProcess(int64_t processId, int64_t startTime) {
        setField("processId", processId);
        setField("processStartTime", startTime);
    }
};

class MSSessionHistoryInfo : public MSHistoryInfo {
    MS_CODING_CLASS()
public:
    MS_STRING_FIELD(sessionId, setSessionId)
    std::optional<std::string> identifier() const override { return sessionId(); }
    void setIdentifier(std::optional<std::string> id) override { setSessionId(std::move(id)); }
protected:
    const std::vector<Field>& fieldList() const override;
};

class MSUserIdHistoryInfo : public MSHistoryInfo {
    MS_CODING_CLASS()
public:
    MS_STRING_FIELD(userId, setUserId)
    std::optional<std::string> identifier() const override { return userId(); }
    void setIdentifier(std::optional<std::string> id) override { setUserId(std::move(id)); }
protected:
    const std::vector<Field>& fieldList() const override;
};

// The history behind the session and user-id contexts: one per settings file, shared by every
// process of the application that uses it. Each entry names the process that recorded it, and a
// process's crash is stamped with the ids that process recorded. Every change is made over the
// history as the file holds it then, under its lock, so no process loses another's entries.
// Thread-safe.
class MSIdHistory {
public:
    // A process as a crash report names it.
    struct Process {
        int64_t processId = 0;
        int64_t startTime = 0;  // whole seconds since 1970
        bool operator==(const Process&) const = default;
    };
    struct Entry {
        platform::Date timestamp;
        std::optional<std::string> identifier;
        std::optional<Process> process;  // none: recorded by an earlier version
    };
    static Process currentProcess();
    // Entries beyond this many are dropped, oldest first.
    static constexpr size_t kMaxEntries = 100;

    // Loads the history stored under the key; the current id starts as none.
    MSIdHistory(std::string defaultsKey, const platform::ClassInfo& recordClass);

    std::optional<std::string> current() const;
    // Makes the id current from now on and stores the history.
    void setCurrent(std::optional<std::string> id);
    // The id of the newest entry older than the date; none when there is none.
    std::optional<std::string> identifierAt(platform::Date date) const;
    // The id the process had at the date: of its own entries; a process that recorded none (a
    // child forked without exec) had its parent's; a process of an earlier version, whose
    // entries name no process, what was recorded at the time.
    std::optional<std::string> identifierAt(platform::Date date, const Process& process,
                                            std::optional<int64_t> parentProcessId) const;
    // Keeps this process's current entry (when asked) and nothing older of this process's, and of
    // every other process only its newest entry: a process's crash is its last act, after all it
    // recorded. Entries of earlier versions go.
    void clear(bool keepCurrent);
    std::vector<Entry> entries() const;
    // When the stored history was read: the entries older than this came from earlier runs.
    platform::Date loadedAt() const { return loadedAt_; }

private:
    // Changes the history as the file holds it now, and stores it.
    void updateLocked(const std::function<void(std::vector<Entry>&)>& change);
    std::vector<Entry> decode(const platform::Value* stored) const;
    platform::Value encode(const std::vector<Entry>& entries) const;

    const std::string key_;
    const platform::ClassInfo& recordClass_;
    const platform::Date loadedAt_ = platform::Date::now();
    mutable platform::ForkSafeMutex mutex_;
    std::vector<Entry> entries_;
    std::optional<Entry> current_;
};

}  // namespace quorvane
