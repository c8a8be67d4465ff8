#include "analytics/MSPageLog.h"

namespace quorvane {

const platform::ClassInfo MSPageLog::kClassInfo{"MSPageLog", &MSLogWithNameAndProperties::kClassInfo};

const MSFieldTable<MSPageLog>& MSPageLog::fields() {
    static const auto& table = *new MSFieldTable<MSPageLog>{};
    return table;
}

}  // namespace quorvane
