#include "telemetry/MSStartServiceLog.h"

namespace quorvane {

const platform::ClassInfo MSStartServiceLog::kClassInfo{"MSStartServiceLog", &MSAbstractLog::kClassInfo};

namespace {
platform::Value toValue(const std::vector<std::string>& services) {
    return platform::Value(platform::Value::Array(services.begin(), services.end()));
}
}  // namespace

platform::Value MSStartServiceLog::serializeToDictionary() const {
    auto dict = MSAbstractLog::serializeToDictionary();
    if (services) dict.set("services", toValue(*services));
    return dict;
}

bool MSStartServiceLog::isValid() const { return MSAbstractLog::isValid() && services && !services->empty(); }

bool MSStartServiceLog::isEqual(const MSSerializableObject& other) const {
    auto* o = dynamic_cast<const MSStartServiceLog*>(&other);
    return o && MSAbstractLog::isEqual(other) && services == o->services;
}

void MSStartServiceLog::encodeWithCoder(platform::KeyedArchiver& coder) const {
    MSAbstractLog::encodeWithCoder(coder);
    if (services) coder.encodeValue(toValue(*services), "services");
}

bool MSStartServiceLog::initWithCoder(platform::KeyedUnarchiver& coder) {
    MSAbstractLog::initWithCoder(coder);
    if (auto v = coder.decodeValue("services")) {
        services.emplace();
        for (const auto& s : v->asArray()) {
            if (!s.isString()) {
                coder.fail("the services of a start-service log are not strings");
                return false;
            }
            services->push_back(s.asString());
        }
        if (!v->isArray()) coder.fail("the services of a start-service log are not a list");
    }
    return !coder.failed();
}

}  // namespace quorvane
