#include "telemetry/MSStartServiceLog.h"

namespace quorvane {

const platform::ClassInfo MSStartServiceLog::kClassInfo{"MSStartServiceLog", &MSAbstractLog::kClassInfo};

const MSFieldTable<MSStartServiceLog>& MSStartServiceLog::fields() {
    static const auto& table = *new MSFieldTable<MSStartServiceLog>{{"services", &MSStartServiceLog::services}};
    return table;
}

bool MSStartServiceLog::isValid() const { return MSAbstractLog::isValid() && services && !services->empty(); }

}  // namespace quorvane
