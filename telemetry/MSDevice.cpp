#include "telemetry/MSDevice.h"

namespace quorvane {

const platform::ClassInfo MSDevice::kClassInfo{"MSDevice", &MSKeyedRecord::kClassInfo};

const std::vector<MSKeyedRecord::Field>& MSDevice::fieldList() const {
    using T = platform::Value::Type;
    static const auto& fields = *new std::vector<Field>{
        {"sdkName", T::String},     {"sdkVersion", T::String}, {"model", T::String},
        {"oemName", T::String},     {"osName", T::String},     {"osVersion", T::String},
        {"osBuild", T::String},     {"locale", T::String},     {"timeZoneOffset", T::Int},
        {"appVersion", T::String},  {"appBuild", T::String},   {"appNamespace", T::String},
    };
    return fields;
}

bool MSDevice::isValid() const {
    return sdkName() && sdkVersion() && osName() && osVersion() && locale() && timeZoneOffset() && appVersion() &&
           appBuild();
}

}  // namespace quorvane
