#include "telemetry/MSIdHistory.h"

#include <unistd.h>

#include <algorithm>

#include "platform/crash/ProcessTable.h"

#include "telemetry/MSLogger.h"
#include "telemetry/MSTelemetryClasses.h"
#include "telemetry/MSUserDefaults.h"

namespace quorvane {

const platform::ClassInfo MSHistoryInfo::kClassInfo{"MSHistoryInfo", &MSKeyedRecord::kClassInfo};
const platform::ClassInfo MSSessionHistoryInfo::kClassInfo{"MSSessionHistoryInfo", &MSHistoryInfo::kClassInfo};
const platform::ClassInfo MSUserIdHistoryInfo::kClassInfo{"MSUserIdHistoryInfo", &MSHistoryInfo::kClassInfo};

const std::vector<MSKeyedRecord::Field>& MSSessionHistoryInfo::fieldList() const {
    static const auto& fields = *new std::vector<Field>{{"timestamp", platform::Value::Type::Date},
                                           {"sessionId", platform::Value::Type::String},
                                           {"processId", platform::Value::Type::Int},
                                           {"processStartTime", platform::Value::Type::Int}};
    return fields;
}
const std::vector<MSKeyedRecord::Field>& MSUserIdHistoryInfo::fieldList() const {
    static const auto& fields = *new std::vector<Field>{{"timestamp", platform::Value::Type::Date},
                                           {"userId", platform::Value::Type::String},
                                           {"processId", platform::Value::Type::Int},
                                           {"processStartTime", platform::Value::Type::Int}};
    return fields;
}

MSIdHistory::Process MSIdHistory::currentProcess() {
    // Read each time: a child forked without exec is a process of its own.
    const pid_t pid = ::getpid();
    platform::crash::ProcessRecord record;
    return {pid, platform::crash::readProcessRecord(pid, record) ? record.startSeconds : 0};
}

MSIdHistory::MSIdHistory(std::string defaultsKey, const platform::ClassInfo& recordClass)
    : key_(std::move(defaultsKey)), recordClass_(recordClass) {
    registerTelemetryClasses();
    auto stored = MSUserDefaults::shared().objectForKey(key_);
    entries_ = decode(stored ? &*stored : nullptr);
}

std::vector<MSIdHistory::Entry> MSIdHistory::decode(const platform::Value* stored) const {
    std::vector<Entry> out;
    if (!stored || !stored->isBytes()) return out;
    const auto& bytes = stored->asBytes();
    auto records = platform::KeyedUnarchiver::unarchivedObjects<MSHistoryInfo>(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (!records) {
        MSLogWarning(kMSLogTag,
                     "Couldn't read the history under " + key_ + ": " + records.error().localizedDescription());
        return out;
    }
    for (const auto& r : *records) {
        if (!r->timestamp() || &r->classInfo() != &recordClass_) continue;
        Entry entry{*r->timestamp(), r->identifier(), std::nullopt};
        if (r->processId()) entry.process = Process{*r->processId(), r->processStartTime().value_or(0)};
        out.push_back(std::move(entry));
    }
    return out;
}

platform::Value MSIdHistory::encode(const std::vector<Entry>& entries) const {
    std::vector<std::shared_ptr<const platform::Coding>> records;
    auto factory = platform::ArchiveClassRegistry::factoryForName(recordClass_.name);
    for (const auto& e : entries) {
        auto record = std::dynamic_pointer_cast<MSHistoryInfo>(factory());
        record->setTimestamp(e.timestamp);
        record->setIdentifier(e.identifier);
        if (e.process) record->setProcess(e.process->processId, e.process->startTime);
        records.push_back(record);
    }
    const std::string archive = platform::KeyedArchiver::archivedData(records);
    return platform::Value(platform::Bytes(archive.begin(), archive.end()));
}

void MSIdHistory::updateLocked(const std::function<void(std::vector<Entry>&)>& change) {
    MSUserDefaults::shared().updateObject(key_, [&](const platform::Value* stored) -> std::optional<platform::Value> {
        entries_ = decode(stored);
        change(entries_);
        return encode(entries_);
    });
}

std::optional<std::string> MSIdHistory::current() const {
    std::lock_guard lock(mutex_);
    return current_ ? current_->identifier : std::nullopt;
}

void MSIdHistory::setCurrent(std::optional<std::string> id) {
    std::lock_guard lock(mutex_);
    current_ = Entry{platform::Date::now(), std::move(id), currentProcess()};
    updateLocked([&](std::vector<Entry>& entries) {
        entries.push_back(*current_);
        if (entries.size() > kMaxEntries) entries.erase(entries.begin(), entries.end() - kMaxEntries);
    });
}

std::optional<std::string> MSIdHistory::identifierAt(platform::Date date) const {
    std::lock_guard lock(mutex_);
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
        if (it->timestamp < date) return it->identifier;
    return std::nullopt;
}

std::optional<std::string> MSIdHistory::identifierAt(platform::Date date, const Process& process,
                                                     std::optional<int64_t> parentProcessId) const {
    std::lock_guard lock(mutex_);
    // The newest entry older than the date of those that match; whether any matched at all.
    auto newest = [&](auto&& matches) -> std::pair<bool, std::optional<std::string>> {
        bool any = false;
        for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
            if (!matches(*it)) continue;
            any = true;
            if (it->timestamp < date) return {true, it->identifier};
        }
        return {any, std::nullopt};
    };
    if (auto [any, id] = newest([&](const Entry& e) { return e.process == process; }); any) return id;
    if (parentProcessId)
        if (auto [any, id] = newest([&](const Entry& e) { return e.process && e.process->processId == *parentProcessId; });
            any)
            return id;
    return newest([](const Entry& e) { return !e.process; }).second;
}

void MSIdHistory::clear(bool keepCurrent) {
    std::lock_guard lock(mutex_);
    const Process self = currentProcess();
    updateLocked([&](std::vector<Entry>& entries) {
        std::vector<Entry> kept;
        for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
            const bool seen = std::any_of(kept.begin(), kept.end(), [&](const Entry& e) { return e.process == it->process; });
            if (it->process && *it->process != self && !seen) kept.insert(kept.begin(), *it);
        }
        if (keepCurrent && current_) kept.push_back(*current_);
        entries = std::move(kept);
    });
}

std::vector<MSIdHistory::Entry> MSIdHistory::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

}  // namespace quorvane
