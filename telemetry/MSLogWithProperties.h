#pragma once
// A log with string properties.

#include <map>

#include "telemetry/MSAbstractLog.h"

namespace quorvane {

class MSLogWithProperties : public MSFieldRecord<MSLogWithProperties, MSAbstractLog> {
    MS_CODING_CLASS()
public:
    std::optional<std::map<std::string, std::string>> properties;

    // The base keys, then "properties" (in the JSON only when not empty).
    static const MSFieldTable<MSLogWithProperties>& fields();
};

}  // namespace quorvane
