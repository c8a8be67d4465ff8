#include "telemetry/MSTypedProperty.h"

#include "telemetry/MSUtility.h"

namespace quorvane {

const platform::ClassInfo MSTypedProperty::kClassInfo{"MSTypedProperty", &MSSerializableObject::kClassInfo};
const platform::ClassInfo MSStringTypedProperty::kClassInfo{"MSStringTypedProperty", &MSTypedProperty::kClassInfo};
const platform::ClassInfo MSBooleanTypedProperty::kClassInfo{"MSBooleanTypedProperty", &MSTypedProperty::kClassInfo};
const platform::ClassInfo MSLongTypedProperty::kClassInfo{"MSLongTypedProperty", &MSTypedProperty::kClassInfo};
const platform::ClassInfo MSDoubleTypedProperty::kClassInfo{"MSDoubleTypedProperty", &MSTypedProperty::kClassInfo};
const platform::ClassInfo MSDateTimeTypedProperty::kClassInfo{"MSDateTimeTypedProperty",
                                                              &MSTypedProperty::kClassInfo};

platform::Value MSTypedProperty::serializeToDictionary() const {
    auto dict = platform::Value::dictionary();
    dict.set("type", type_);
    if (name) dict.set("name", *name);
    if (value_.isDate())
        dict.set("value", MSUtility::dateToISO8601(value_.asDate()));
    else if (!value_.isNull())
        dict.set("value", value_);
    return dict;
}

bool MSTypedProperty::isEqual(const MSSerializableObject& other) const {
    auto* o = dynamic_cast<const MSTypedProperty*>(&other);
    return o && &classInfo() == &o->classInfo() && name == o->name && value_ == o->value_;
}

void MSTypedProperty::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeString(type_, "type");
    coder.encodeString(name, "name");
    coder.encodeValue(value_, "value");
}

bool MSTypedProperty::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto type = coder.decodeString("type");
    if (type && *type != type_) coder.fail("a typed property of kind " + type_ + " is archived as " + *type);
    name = coder.decodeString("name");
    if (auto v = coder.decodeValue("value")) {
        if (v->type() != valueType_) coder.fail("the value of a typed property of kind " + type_ + " has another type");
        value_ = std::move(*v);
    }
    return !coder.failed();
}

}  // namespace quorvane
