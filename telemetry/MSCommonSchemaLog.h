#pragma once
// A Common Schema log, as the One Collector ingestion takes it. Its time is the log's timestamp.

#include "telemetry/MSAbstractLog.h"
#include "telemetry/MSCSExtensions.h"

namespace quorvane {

inline constexpr const char* kMSCSVerValue = "3.0";

class MSCommonSchemaLog : public MSAbstractLog {
    MS_CODING_CLASS()
public:
    std::optional<std::string> ver;
    std::optional<std::string> name;
    std::optional<double> popSample;
    std::optional<std::string> iKey;  // "o:" + target key
    std::optional<int64_t> flags;
    std::optional<std::string> cV;
    std::shared_ptr<MSCSExtensions> ext;
    std::shared_ptr<MSCSData> data;

    // "ver", "name", "time", "popSample", "iKey", "flags", "cV", "ext", "data", when present.
    platform::Value serializeToDictionary() const override;
    // A version, a name and a time.
    bool isValid() const override;
    bool isEqual(const MSSerializableObject& other) const override;
    void encodeWithCoder(platform::KeyedArchiver& coder) const override;
    bool initWithCoder(platform::KeyedUnarchiver& coder) override;
};

}  // namespace quorvane
