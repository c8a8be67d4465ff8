#include "telemetry/MSSerializableObject.h"

namespace quorvane {

const platform::ClassInfo MSSerializableObject::kClassInfo{"MSSerializableObject", nullptr};
const platform::ClassInfo MSKeyedRecord::kClassInfo{"MSKeyedRecord", &MSSerializableObject::kClassInfo};

platform::Value MSKeyedRecord::serializeToDictionary() const {
    auto dict = platform::Value::dictionary();
    for (const auto& f : fieldList())
        if (const auto* v = fields_.find(f.key)) dict.set(f.key, *v);
    return dict;
}

bool MSKeyedRecord::isEqual(const MSSerializableObject& other) const {
    if (&classInfo() != &other.classInfo()) return false;
    return fields_ == static_cast<const MSKeyedRecord&>(other).fields_;
}

void MSKeyedRecord::encodeWithCoder(platform::KeyedArchiver& coder) const {
    // Only keys of the field list are ever set, so the stored fields are archived as they are.
    for (const auto& [key, value] : fields_.asDictionary()) coder.encodeValue(value, key);
}

bool MSKeyedRecord::initWithCoder(platform::KeyedUnarchiver& coder) {
    for (const auto& f : fieldList()) {
        auto v = coder.decodeValue(f.key);
        if (!v) continue;
        if (v->type() != f.type) {
            coder.fail(std::string("the field \"") + f.key + "\" of " + classInfo().name + " has the wrong type");
            return false;
        }
        fields_.set(f.key, std::move(*v));
    }
    return !coder.failed();
}

void MSKeyedRecord::setField(std::string_view key, platform::Value value) {
    if (value.isNull())
        fields_.remove(key);
    else
        fields_.set(key, std::move(value));
}

}  // namespace quorvane
