#pragma once
// The facade's log of the services it started ("startService").

#include "telemetry/MSAbstractLog.h"

namespace quorvane {

class MSStartServiceLog : public MSFieldRecord<MSStartServiceLog, MSAbstractLog> {
    MS_CODING_CLASS()
public:
    MSStartServiceLog() { type = "startService"; }
    std::optional<std::vector<std::string>> services;

    // The base keys, then "services".
    static const MSFieldTable<MSStartServiceLog>& fields();
    // A valid log with at least one service.
    bool isValid() const override;
};

}  // namespace quorvane
