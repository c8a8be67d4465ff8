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

const MSFieldTable<MSTypedProperty>& MSTypedProperty::fields() {
    using Row = MSField<MSTypedProperty>;
    static const auto& table = *new MSFieldTable<MSTypedProperty>{
        {"type",
         Row::Functions{
             .encode = [](const MSTypedProperty& p, platform::KeyedArchiver& coder,
                          const char* key) { coder.encodeString(p.type_, key); },
             .decode =
                 [](MSTypedProperty& p, platform::KeyedUnarchiver& coder, const char* key) {
                     auto type = coder.decodeString(key);
                     if (type && *type != p.type_)
                         coder.fail("a typed property of kind " + p.type_ + " is archived as " + *type);
                 },
             .json = [](const MSTypedProperty& p) -> std::optional<platform::Value> { return platform::Value(p.type_); },
             .equal = [](const MSTypedProperty& a, const MSTypedProperty& b) { return &a.classInfo() == &b.classInfo(); },
         }},
        {"name", &MSTypedProperty::name},
        {"value",
         Row::Functions{
             .encode = [](const MSTypedProperty& p, platform::KeyedArchiver& coder,
                          const char* key) { coder.encodeValue(p.value_, key); },
             .decode =
                 [](MSTypedProperty& p, platform::KeyedUnarchiver& coder, const char* key) {
                     auto v = coder.decodeValue(key);
                     if (!v) return;
                     if (v->type() != p.valueType_)
                         coder.fail("the value of a typed property of kind " + p.type_ + " has another type");
                     p.value_ = std::move(*v);
                 },
             .json = [](const MSTypedProperty& p) -> std::optional<platform::Value> {
                 if (p.value_.isDate()) return platform::Value(MSUtility::dateToISO8601(p.value_.asDate()));
                 if (p.value_.isNull()) return std::nullopt;
                 return p.value_;
             },
             .equal = [](const MSTypedProperty& a, const MSTypedProperty& b) { return a.value_ == b.value_; },
         }},
    };
    return table;
}

}  // namespace quorvane
