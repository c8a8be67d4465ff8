#include "telemetry/MSCommonSchemaLog.h"

namespace quorvane {

const platform::ClassInfo MSCommonSchemaLog::kClassInfo{"MSCommonSchemaLog", &MSAbstractLog::kClassInfo};

const MSFieldTable<MSCommonSchemaLog>& MSCommonSchemaLog::fields() {
    static const auto& table = *new MSFieldTable<MSCommonSchemaLog>{
        {"ver", &MSCommonSchemaLog::ver},
        {"name", &MSCommonSchemaLog::name},
        // The base's timestamp, named "time" on the wire; the base archives and compares it.
        {"timestamp", &MSAbstractLog::timestamp, {.jsonKey = "time", .archived = false, .compared = false}},
        {"popSample", &MSCommonSchemaLog::popSample},
        {"iKey", &MSCommonSchemaLog::iKey},
        {"flags", &MSCommonSchemaLog::flags},
        {"cV", &MSCommonSchemaLog::cV},
        {"ext", &MSCommonSchemaLog::ext},
        {"data", &MSCommonSchemaLog::data},
    };
    return table;
}

platform::Value MSCommonSchemaLog::serializeToDictionary() const {
    auto dict = platform::Value::dictionary();
    msSerializeFields(*this, dict, fields());
    return dict;
}

bool MSCommonSchemaLog::isValid() const { return ver && name && timestamp; }

}  // namespace quorvane
