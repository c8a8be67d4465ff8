#include "analytics/MSStartSessionLog.h"

namespace quorvane {

const platform::ClassInfo MSStartSessionLog::kClassInfo{"MSStartSessionLog", &MSAbstractLog::kClassInfo};

bool MSStartSessionLog::isEqual(const MSSerializableObject& other) const {
    return dynamic_cast<const MSStartSessionLog*>(&other) && MSAbstractLog::isEqual(other);
}

}  // namespace quorvane
