#pragma once
// The log that announces a new session ("startSession"); it carries the new session id itself.

#include "telemetry/MSAbstractLog.h"

namespace quorvane {

class MSStartSessionLog : public MSAbstractLog, public MSNoAutoAssignSessionIdLog {
    MS_CODING_CLASS()
public:
    MSStartSessionLog() { type = "startSession"; }
    bool isEqual(const MSSerializableObject& other) const override;
};

}  // namespace quorvane
