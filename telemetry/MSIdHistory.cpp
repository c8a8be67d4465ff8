#include "telemetry/MSIdHistory.h"

#include "telemetry/MSLogger.h"
#include "telemetry/MSTelemetryClasses.h"
#include "telemetry/MSUserDefaults.h"

namespace quorvane {

const platform::ClassInfo MSHistoryInfo::kClassInfo{"MSHistoryInfo", &MSKeyedRecord::kClassInfo};
const platform::ClassInfo MSSessionHistoryInfo::kClassInfo{"MSSessionHistoryInfo", &MSHistoryInfo::kClassInfo};
const platform::ClassInfo MSUserIdHistoryInfo::kClassInfo{"MSUserIdHistoryInfo", &MSHistoryInfo::kClassInfo};

const std::vector<MSKeyedRecord::Field>& MSSessionHistoryInfo::fieldList() const {
    static const auto& fields = *new std::vector<Field>{{"timestamp", platform::Value::Type::Date},
                                           {"sessionId", platform::Value::Type::String}};
    return fields;
}
const std::vector<MSKeyedRecord::Field>& MSUserIdHistoryInfo::fieldList() const {
    static const auto& fields = *new std::vector<Field>{{"timestamp", platform::Value::Type::Date},
                                           {"userId", platform::Value::Type::String}};
    return fields;
}

MSIdHistory::MSIdHistory(std::string defaultsKey, const platform::ClassInfo& recordClass)
    : key_(std::move(defaultsKey)), recordClass_(recordClass) {
    registerTelemetryClasses();
    auto stored = MSUserDefaults::shared().objectForKey(key_);
    if (!stored || !stored->isBytes()) return;
    const auto& bytes = stored->asBytes();
    auto records = platform::KeyedUnarchiver::unarchivedObjects<MSHistoryInfo>(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (!records) {
        MSLogWarning(kMSLogTag,
                     "Couldn't read the history under " + key_ + ": " + records.error().localizedDescription());
        return;
    }
    for (const auto& r : *records)
        if (r->timestamp() && &r->classInfo() == &recordClass_) entries_.push_back({*r->timestamp(), r->identifier()});
}

std::optional<std::string> MSIdHistory::current() const {
    std::lock_guard lock(mutex_);
    return current_ ? current_->identifier : std::nullopt;
}

void MSIdHistory::setCurrent(std::optional<std::string> id) {
    std::lock_guard lock(mutex_);
    current_ = Entry{platform::Date::now(), std::move(id)};
    entries_.push_back(*current_);
    if (entries_.size() > kMaxEntries) entries_.erase(entries_.begin(), entries_.end() - kMaxEntries);
    storeLocked();
}

std::optional<std::string> MSIdHistory::identifierAt(platform::Date date) const {
    std::lock_guard lock(mutex_);
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
        if (it->timestamp < date) return it->identifier;
    return std::nullopt;
}

void MSIdHistory::clear(bool keepCurrent) {
    std::lock_guard lock(mutex_);
    entries_.clear();
    if (keepCurrent && current_) entries_.push_back(*current_);
    storeLocked();
}

std::vector<MSIdHistory::Entry> MSIdHistory::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

void MSIdHistory::storeLocked() const {
    std::vector<std::shared_ptr<const platform::Coding>> records;
    auto factory = platform::ArchiveClassRegistry::factoryForName(recordClass_.name);
    for (const auto& e : entries_) {
        auto record = std::dynamic_pointer_cast<MSHistoryInfo>(factory());
        record->setTimestamp(e.timestamp);
        record->setIdentifier(e.identifier);
        records.push_back(record);
    }
    const std::string archive = platform::KeyedArchiver::archivedData(records);
    MSUserDefaults::shared().setObject(platform::Bytes(archive.begin(), archive.end()), key_);
}

}  // namespace quorvane
