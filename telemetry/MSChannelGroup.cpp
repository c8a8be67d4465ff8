#include "telemetry/MSChannelGroup.h"

#include "platform/foundation/Strings.h"
#include "platform/runloop/DispatchQueue.h"
#include "telemetry/MSCommonSchemaLog.h"
#include "telemetry/MSHttpIngestion.h"
#include "telemetry/MSLogger.h"

namespace quorvane {

std::shared_ptr<MSChannelGroup> MSChannelGroup::make(std::shared_ptr<MSHttpIngestion> ingestion,
                                                     std::shared_ptr<MSLogDBStorage> storage) {
    return std::shared_ptr<MSChannelGroup>(new MSChannelGroup(std::move(ingestion), std::move(storage)));
}

MSChannelGroup::MSChannelGroup(std::shared_ptr<MSHttpIngestion> ingestion, std::shared_ptr<MSLogDBStorage> storage)
    : ingestion_(std::move(ingestion)),
      storage_(std::move(storage)),
      logsQueue_(platform::DispatchQueue::serial("com.dedozirav.revazezar.ChannelGroupQueue")) {}

std::shared_ptr<MSChannelUnit> MSChannelGroup::addChannelUnitWithConfiguration(
    const std::optional<MSChannelUnitConfiguration>& configuration, std::shared_ptr<MSHttpIngestion> ingestion) {
    if (!configuration) return nullptr;
    auto unit = std::make_shared<MSChannelUnit>(*configuration, ingestion ? std::move(ingestion) : ingestion_,
                                                storage_, logsQueue_);
    unit->addDelegate(shared_from_this());
    {
        std::lock_guard lock(mutex_);
        units_.push_back(unit);
    }
    unit->checkPendingLogs();
    notify([&](MSChannelDelegate& d) { d.didAddChannelUnit(*this, unit); });
    return unit;
}

std::shared_ptr<MSChannelUnit> MSChannelGroup::channelUnitForGroupId(const std::string& groupId) const {
    std::lock_guard lock(mutex_);
    for (const auto& unit : units_)
        if (unit->configuration().groupId == groupId) return unit;
    return nullptr;
}

std::vector<std::shared_ptr<MSChannelUnit>> MSChannelGroup::channelUnits() const {
    std::lock_guard lock(mutex_);
    return units_;
}

void MSChannelGroup::addDelegate(const std::shared_ptr<MSChannelDelegate>& delegate) {
    std::lock_guard lock(mutex_);
    delegates_ = delegates_.adding(delegate);
}

void MSChannelGroup::removeDelegate(const std::shared_ptr<MSChannelDelegate>& delegate) {
    std::lock_guard lock(mutex_);
    delegates_ = delegates_.removing(delegate);
}

MSDelegateList MSChannelGroup::delegates() const {
    std::lock_guard lock(mutex_);
    return delegates_;
}

void MSChannelGroup::setEnabled(bool enabled, bool deleteDataOnDisabled) {
    for (const auto& unit : channelUnits()) unit->setEnabled(enabled, deleteDataOnDisabled);
}
void MSChannelGroup::pauseWithIdentifyingObject(const void* object) {
    for (const auto& unit : channelUnits()) unit->pauseWithIdentifyingObject(object);
}
void MSChannelGroup::resumeWithIdentifyingObject(const void* object) {
    for (const auto& unit : channelUnits()) unit->resumeWithIdentifyingObject(object);
}

void MSChannelGroup::prepareLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) {
    notify([&](MSChannelDelegate& d) { d.prepareLog(unit, log); });
}
void MSChannelGroup::didPrepareLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log,
                                   const std::string& internalId, uint32_t flags) {
    notify([&](MSChannelDelegate& d) { d.didPrepareLog(unit, log, internalId, flags); });
}
void MSChannelGroup::didCompleteEnqueueingLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log,
                                              const std::string& internalId, MSEnqueueOutcome outcome) {
    notify([&](MSChannelDelegate& d) { d.didCompleteEnqueueingLog(unit, log, internalId, outcome); });
}
bool MSChannelGroup::shouldFilterLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) {
    bool filter = false;
    notify([&](MSChannelDelegate& d) { filter = d.shouldFilterLog(unit, log) || filter; });
    return filter;
}
void MSChannelGroup::willSendLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) {
    notify([&](MSChannelDelegate& d) { d.willSendLog(unit, log); });
}
void MSChannelGroup::didSucceedSendingLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) {
    notify([&](MSChannelDelegate& d) { d.didSucceedSendingLog(unit, log); });
}
void MSChannelGroup::didFailSendingLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log,
                                       const platform::Error& error) {
    notify([&](MSChannelDelegate& d) { d.didFailSendingLog(unit, log, error); });
}

// ---- One Collector ----

MSOneCollectorChannelDelegate::MSOneCollectorChannelDelegate(std::shared_ptr<MSHttpIngestion> oneCollectorIngestion)
    : ingestion_(std::move(oneCollectorIngestion)) {}

bool MSOneCollectorChannelDelegate::isOneCollectorGroupId(const std::string& groupId) {
    return platform::hasSuffix(groupId, kMSOneCollectorGroupIdSuffix);
}

void MSOneCollectorChannelDelegate::didAddChannelUnit(MSChannelGroup& group, const std::shared_ptr<MSChannelUnit>& unit) {
    const auto& config = unit->configuration();
    if (isOneCollectorGroupId(config.groupId)) return;
    auto companion = group.addChannelUnitWithConfiguration(
        MSChannelUnitConfiguration::initDefaultConfigurationWithGroupId(config.groupId + kMSOneCollectorGroupIdSuffix,
                                                                        config.flushInterval),
        ingestion_);
    std::lock_guard lock(mutex_);
    companions_[config.groupId] = companion;
}

void MSOneCollectorChannelDelegate::didPrepareLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log,
                                                  const std::string&, uint32_t flags) {
    if (isOneCollectorGroupId(unit.configuration().groupId) || std::dynamic_pointer_cast<MSCommonSchemaLog>(log)) return;
    auto tokens = log->transmissionTargetTokens();
    if (!tokens || tokens->empty()) return;
    std::shared_ptr<MSChannelUnit> companion;
    {
        std::lock_guard lock(mutex_);
        companion = companions_[unit.configuration().groupId].lock();
    }
    if (!companion) return;
    for (const auto& cs : log->toCommonSchemaLogsWithFlags(flags)) companion->enqueueItem(cs, flags);
}

bool MSOneCollectorChannelDelegate::shouldFilterLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) {
    if (isOneCollectorGroupId(unit.configuration().groupId))
        return !std::dynamic_pointer_cast<MSCommonSchemaLog>(log);
    auto tokens = log->transmissionTargetTokens();
    return tokens && !tokens->empty();
}

}  // namespace quorvane
