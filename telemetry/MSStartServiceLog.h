#pragma once
// The facade's log of the services it started ("startService").

#include "telemetry/MSAbstractLog.h"

namespace quorvane {

class MSStartServiceLog : public MSAbstractLog {
    MS_CODING_CLASS()
public:
    MSStartServiceLog() { type = "startService"; }
    std::optional<std::vector<std::string>> services;

    platform::Value serializeToDictionary() const override;
    // A valid log with at least one service.
    bool isValid() const override;
    bool isEqual(const MSSerializableObject& other) const override;
    void encodeWithCoder(platform::KeyedArchiver& coder) const override;
    bool initWithCoder(platform::KeyedUnarchiver& coder) override;
};

}  // namespace quorvane
