#pragma once
// A Common Schema log, as the One Collector ingestion takes it. Its time is the log's timestamp.

#include "telemetry/MSAbstractLog.h"
#include "telemetry/MSCSExtensions.h"

namespace quorvane {

inline constexpr const char* kMSCSVerValue = "3.0";

class MSCommonSchemaLog : public MSFieldRecord<MSCommonSchemaLog, MSAbstractLog> {
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

    // The base's fields are archived and compared; the JSON holds only "ver", "name", "time",
    // "popSample", "iKey", "flags", "cV", "ext" and "data", when present.
    static const MSFieldTable<MSCommonSchemaLog>& fields();
    platform::Value serializeToDictionary() const override;
    // A version, a name and a time.
    bool isValid() const override;
};

}  // namespace quorvane
