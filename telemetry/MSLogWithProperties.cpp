#include "telemetry/MSLogWithProperties.h"

namespace quorvane {

const platform::ClassInfo MSLogWithProperties::kClassInfo{"MSLogWithProperties", &MSAbstractLog::kClassInfo};

const MSFieldTable<MSLogWithProperties>& MSLogWithProperties::fields() {
    static const auto& table = *new MSFieldTable<MSLogWithProperties>{
        {"properties", &MSLogWithProperties::properties, {.omitEmptyInJSON = true}},
    };
    return table;
}

}  // namespace quorvane
