#pragma once
// A batch of logs as the ingestion sends it.

#include <memory>
#include <string>
#include <vector>

#include "telemetry/MSAbstractLog.h"

namespace quorvane {

struct MSLogContainer {
    std::string batchId;
    std::vector<std::shared_ptr<MSAbstractLog>> logs;

    // {"logs": [each log's dictionary, in batch order]}, slashes unescaped.
    std::string serializeLogWithPrettyPrinting(bool pretty = false) const;
    // Every log is valid and there is at least one.
    bool isValid() const;
};

}  // namespace quorvane
