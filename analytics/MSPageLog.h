#pragma once
// The log of a page view ("page").

#include "analytics/MSEventLog.h"

namespace quorvane {

class MSPageLog : public MSFieldRecord<MSPageLog, MSLogWithNameAndProperties> {
    MS_CODING_CLASS()
public:
    MSPageLog() { type = "page"; }
    // No fields of its own: equal to logs of its class with equal base fields.
    static const MSFieldTable<MSPageLog>& fields();
};

}  // namespace quorvane
