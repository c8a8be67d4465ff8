#pragma once
// What the channel layer tells about every log of every unit of a group. A delegate overrides
// only what it needs. Preparation calls run on the enqueuing thread; the others on the group's
// logs queue.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "telemetry/MSAbstractLog.h"

namespace quorvane {

class MSChannelUnit;
class MSChannelGroup;

class MSChannelDelegate {
public:
    virtual ~MSChannelDelegate() = default;
    virtual void prepareLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) {}
    virtual void didPrepareLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log,
                               const std::string& internalId, uint32_t flags) {}
    virtual void didCompleteEnqueueingLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log,
                                          const std::string& internalId) {}
    // YES from any delegate drops the log.
    virtual bool shouldFilterLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) { return false; }
    virtual void willSendLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) {}
    virtual void didSucceedSendingLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log) {}
    virtual void didFailSendingLog(MSChannelUnit& unit, const std::shared_ptr<MSAbstractLog>& log,
                                   const platform::Error& error) {}
    // Group level.
    virtual void didAddChannelUnit(MSChannelGroup& group, const std::shared_ptr<MSChannelUnit>& unit) {}
};

}  // namespace quorvane
