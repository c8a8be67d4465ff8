#pragma once
// A log with string properties.

#include <map>

#include "telemetry/MSAbstractLog.h"

namespace quorvane {

class MSLogWithProperties : public MSAbstractLog {
    MS_CODING_CLASS()
public:
    std::optional<std::map<std::string, std::string>> properties;

    // The base keys, then "properties" when present and not empty.
    platform::Value serializeToDictionary() const override;
    bool isEqual(const MSSerializableObject& other) const override;
    void encodeWithCoder(platform::KeyedArchiver& coder) const override;
    bool initWithCoder(platform::KeyedUnarchiver& coder) override;
};

}  // namespace quorvane
