#pragma once
// How a channel unit batches: its group id, priority, flush interval (whole seconds), batch size
// limit and pending batches limit.

#include <cstddef>
#include <string>

namespace quorvane {

struct MSChannelUnitConfiguration {
    std::string groupId;
    int priority = 1;
    double flushInterval = 3;
    size_t batchSizeLimit = 50;
    size_t pendingBatchesLimit = 3;

    static MSChannelUnitConfiguration initWithGroupId(std::string groupId, int priority, double flushInterval,
                                                      size_t batchSizeLimit, size_t pendingBatchesLimit) {
        return {std::move(groupId), priority, flushInterval, batchSizeLimit, pendingBatchesLimit};
    }
    // Priority 1, batches of 50, at most 3 in flight.
    static MSChannelUnitConfiguration initDefaultConfigurationWithGroupId(std::string groupId, double flushInterval = 3) {
        return {std::move(groupId), 1, flushInterval, 50, 3};
    }
};

}  // namespace quorvane
