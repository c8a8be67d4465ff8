#pragma once
// The channel group: the units of every service over one ingestion, one log store and one logs
// queue; it forwards every unit's callbacks to its own delegates.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/ForkSafeMutex.h"
#include "telemetry/MSChannelDelegate.h"
#include "telemetry/MSChannelUnit.h"

namespace quorvane {

class MSChannelGroup : public MSChannelDelegate, public std::enable_shared_from_this<MSChannelGroup> {
public:
    static std::shared_ptr<MSChannelGroup> make(std::shared_ptr<MSHttpIngestion> ingestion,
                                                std::shared_ptr<MSLogDBStorage> storage);

    const std::shared_ptr<MSHttpIngestion>& ingestion() const { return ingestion_; }
    const std::shared_ptr<MSLogDBStorage>& storage() const { return storage_; }
    const std::shared_ptr<platform::DispatchQueue>& logsQueue() const { return logsQueue_; }

    // A new unit on the group's ingestion (or the given one); the group becomes its delegate,
    // it checks for stored logs, and the delegates hear didAddChannelUnit.
    std::shared_ptr<MSChannelUnit> addChannelUnitWithConfiguration(
        const std::optional<MSChannelUnitConfiguration>& configuration,
        std::shared_ptr<MSHttpIngestion> ingestion = nullptr);
    std::shared_ptr<MSChannelUnit> channelUnitForGroupId(const std::string& groupId) const;
    std::vector<std::shared_ptr<MSChannelUnit>> channelUnits() const;

    void addDelegate(const std::shared_ptr<MSChannelDelegate>& delegate);
    void removeDelegate(const std::shared_ptr<MSChannelDelegate>& delegate);

    // Every unit.
    void setEnabled(bool enabled, bool deleteDataOnDisabled);
    void pauseWithIdentifyingObject(const void* object);
    void resumeWithIdentifyingObject(const void* object);

    // MSChannelDelegate: forwarded to the group's delegates.
    void prepareLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) override;
    void didPrepareLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log, const std::string& internalId,
                       uint32_t flags) override;
    void didCompleteEnqueueingLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log,
                                  const std::string& internalId, MSEnqueueOutcome outcome) override;
    bool shouldFilterLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) override;
    void willSendLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) override;
    void didSucceedSendingLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) override;
    void didFailSendingLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log,
                           const platform::Error& error) override;

private:
    MSChannelGroup(std::shared_ptr<MSHttpIngestion> ingestion, std::shared_ptr<MSLogDBStorage> storage);
    MSDelegateList delegates() const;
    template <class F>
    void notify(F&& f) const {
        delegates().forEach(f);
    }

    const std::shared_ptr<MSHttpIngestion> ingestion_;
    const std::shared_ptr<MSLogDBStorage> storage_;
    const std::shared_ptr<platform::DispatchQueue> logsQueue_;
    mutable platform::ForkSafeMutex mutex_;
    std::vector<std::shared_ptr<MSChannelUnit>> units_;
    MSDelegateList delegates_;
};

// Sends the logs that carry target tokens to the One Collector: every unit added gets a
// companion unit "<group id>/one" on the One Collector ingestion; a log with target tokens
// prepared on a unit is converted into Common Schema logs enqueued on the companion, and the
// unit itself drops it.
class MSOneCollectorChannelDelegate : public MSChannelDelegate {
public:
    static constexpr const char* kMSOneCollectorGroupIdSuffix = "/one";
    explicit MSOneCollectorChannelDelegate(std::shared_ptr<MSHttpIngestion> oneCollectorIngestion);

    void didAddChannelUnit(MSChannelGroup& group, const std::shared_ptr<MSChannelUnit>& unit) override;
    void didPrepareLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log, const std::string& internalId,
                       uint32_t flags) override;
    bool shouldFilterLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) override;

    static bool isOneCollectorGroupId(const std::string& groupId);

private:
    const std::shared_ptr<MSHttpIngestion> ingestion_;
    platform::ForkSafeMutex mutex_;
    std::map<std::string, std::weak_ptr<MSChannelUnit>> companions_;  // by the unit's group id
};

}  // namespace quorvane
