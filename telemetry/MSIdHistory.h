#pragma once
// A time-ordered history of ids (sessions, users) kept in the SDK's user defaults as a keyed
// archive, with the record classes it stores.

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

// The history behind the session and user-id contexts. Thread-safe.
class MSIdHistory {
public:
    struct Entry {
        platform::Date timestamp;
        std::optional<std::string> identifier;
    };
    // Entries beyond this many are dropped, oldest first.
    static constexpr size_t kMaxEntries = 100;

    // Loads the history stored under the key; the current id starts as none.
    MSIdHistory(std::string defaultsKey, const platform::ClassInfo& recordClass);

    std::optional<std::string> current() const;
    // Makes the id current from now on and stores the history.
    void setCurrent(std::optional<std::string> id);
    // The id of the newest entry older than the date; none when there is none.
    std::optional<std::string> identifierAt(platform::Date date) const;
    // Empties the history, adds back the current entry when asked, and stores it.
    void clear(bool keepCurrent);
    std::vector<Entry> entries() const;
    // When the stored history was read: the entries older than this came from earlier runs.
    platform::Date loadedAt() const { return loadedAt_; }

private:
    void storeLocked() const;

    const std::string key_;
    const platform::ClassInfo& recordClass_;
    const platform::Date loadedAt_ = platform::Date::now();
    mutable platform::ForkSafeMutex mutex_;
    std::vector<Entry> entries_;
    std::optional<Entry> current_;
};

}  // namespace quorvane
