#include "telemetry/MSLogWithProperties.h"

namespace quorvane {

const platform::ClassInfo MSLogWithProperties::kClassInfo{"MSLogWithProperties", &MSAbstractLog::kClassInfo};

namespace {
platform::Value toValue(const std::map<std::string, std::string>& properties) {
    auto dict = platform::Value::dictionary();
    for (const auto& [k, v] : properties) dict.set(k, v);
    return dict;
}
}  // namespace

platform::Value MSLogWithProperties::serializeToDictionary() const {
    auto dict = MSAbstractLog::serializeToDictionary();
    if (properties && !properties->empty()) dict.set("properties", toValue(*properties));
    return dict;
}

bool MSLogWithProperties::isEqual(const MSSerializableObject& other) const {
    auto* o = dynamic_cast<const MSLogWithProperties*>(&other);
    return o && MSAbstractLog::isEqual(other) && properties == o->properties;
}

void MSLogWithProperties::encodeWithCoder(platform::KeyedArchiver& coder) const {
    MSAbstractLog::encodeWithCoder(coder);
    if (properties) coder.encodeValue(toValue(*properties), "properties");
}

bool MSLogWithProperties::initWithCoder(platform::KeyedUnarchiver& coder) {
    MSAbstractLog::initWithCoder(coder);
    auto p = coder.decodeValue("properties");
    if (!p) return !coder.failed();
    if (!p->isDictionary()) {
        coder.fail("the properties of a log are not a dictionary");
        return false;
    }
    properties.emplace();
    for (const auto& [k, v] : p->asDictionary()) {
        if (!v.isString()) {
            coder.fail("a property of a log is not a string");
            return false;
        }
        (*properties)[k] = v.asString();
    }
    return !coder.failed();
}

}  // namespace quorvane
