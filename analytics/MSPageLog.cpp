#include "analytics/MSPageLog.h"

namespace quorvane {

const platform::ClassInfo MSPageLog::kClassInfo{"MSPageLog", &MSLogWithNameAndProperties::kClassInfo};

bool MSPageLog::isEqual(const MSSerializableObject& other) const {
    return dynamic_cast<const MSPageLog*>(&other) && MSLogWithNameAndProperties::isEqual(other);
}

}  // namespace quorvane
