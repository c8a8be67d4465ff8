#pragma once
// The log of a page view ("page").

#include "analytics/MSEventLog.h"

namespace quorvane {

class MSPageLog : public MSLogWithNameAndProperties {
    MS_CODING_CLASS()
public:
    MSPageLog() { type = "page"; }
    bool isEqual(const MSSerializableObject& other) const override;
};

}  // namespace quorvane
