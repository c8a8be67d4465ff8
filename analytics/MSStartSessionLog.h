#pragma once
// The log that announces a new session ("startSession"); it carries the new session id itself.

#include "telemetry/MSAbstractLog.h"

namespace quorvane {

class MSStartSessionLog : public MSFieldRecord<MSStartSessionLog, MSAbstractLog>, public MSNoAutoAssignSessionIdLog {
    MS_CODING_CLASS()
public:
    MSStartSessionLog() { type = "startSession"; }
    // No fields of its own: equal to logs of its class with equal base fields.
    static const MSFieldTable<MSStartSessionLog>& fields();
};

}  // namespace quorvane
