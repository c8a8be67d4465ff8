#include "analytics/MSStartSessionLog.h"

namespace quorvane {

const platform::ClassInfo MSStartSessionLog::kClassInfo{"MSStartSessionLog", &MSAbstractLog::kClassInfo};

const MSFieldTable<MSStartSessionLog>& MSStartSessionLog::fields() {
    static const auto& table = *new MSFieldTable<MSStartSessionLog>{};
    return table;
}

}  // namespace quorvane
