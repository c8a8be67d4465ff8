#pragma once
// The base of every telemetry log, and the marker of logs that keep their own session id.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "telemetry/MSDevice.h"
#include "telemetry/MSFieldRecord.h"

namespace quorvane {

class MSCommonSchemaLog;

// Persistence flags of an enqueued log: only the low 8 bits travel on.
enum MSFlags : uint32_t {
    MSFlagsNone = 0,
    MSFlagsNormal = 1,
    MSFlagsCritical = 2,
    MSFlagsPersistenceMask = 0xFF,
    MSFlagsDefault = MSFlagsNormal,
};

// A log of a class that derives from this keeps its own session id.
class MSNoAutoAssignSessionIdLog {
public:
    virtual ~MSNoAutoAssignSessionIdLog() = default;
};

class MSAbstractLog : public MSFieldRecord<MSAbstractLog, MSSerializableObject> {
    MS_CODING_CLASS()
public:
    std::optional<std::string> type;  // set by each log class
    std::optional<platform::Date> timestamp;
    std::optional<std::string> sid;
    std::optional<std::string> distributionGroupId;
    std::optional<std::string> userId;
    std::shared_ptr<MSDevice> device;
    // Any object the caller attaches, compared by identity; neither serialised nor archived.
    std::shared_ptr<const void> tag;

    // The target tokens (none until the first is added); neither serialised nor archived.
    std::optional<std::set<std::string>> transmissionTargetTokens() const;
    void addTransmissionTargetToken(const std::string& token);

    // "type", "timestamp", "sid", "distributionGroupId", "userId" and "device", when present;
    // the tag is compared only.
    static const MSFieldTable<MSAbstractLog>& fields();
    // A type, a timestamp and a valid device.
    virtual bool isValid() const;

    // A channel delegate that changes a log while deciding whether to filter it (cutting a name
    // that is too long, say) notes it, so that the unit stores the log as changed.
    void noteChangedWhileFiltering() { changedWhileFiltering_.store(true, std::memory_order_release); }
    bool changedWhileFiltering() const { return changedWhileFiltering_.load(std::memory_order_acquire); }

    // One Common Schema log per target token.
    std::vector<std::shared_ptr<MSCommonSchemaLog>> toCommonSchemaLogsWithFlags(uint32_t flags) const;
    virtual std::shared_ptr<MSCommonSchemaLog> toCommonSchemaLogForTargetToken(const std::string& token,
                                                                             uint32_t flags) const;

private:
    mutable std::mutex tokensMutex_;
    std::optional<std::set<std::string>> tokens_;
    std::atomic<bool> changedWhileFiltering_{false};
};

}  // namespace quorvane
