#pragma once
// Typed event properties: a name, a kind ("string", "boolean", "long", "double", "dateTime")
// and a value of that kind.

#include "telemetry/MSFieldRecord.h"

namespace quorvane {

class MSTypedProperty : public MSFieldRecord<MSTypedProperty, MSSerializableObject> {
    MS_CODING_CLASS()
public:
    std::optional<std::string> name;
    const std::string& type() const { return type_; }
    const platform::Value& value() const { return value_; }

    // "type" (always; equal only between properties of one kind), "name" and "value" (dates as
    // ISO 8601 text in the JSON).
    static const MSFieldTable<MSTypedProperty>& fields();

protected:
    MSTypedProperty(std::string type, platform::Value::Type valueType) : type_(std::move(type)), valueType_(valueType) {}
    void setAnyValue(platform::Value v) { value_ = std::move(v); }

private:
    std::string type_;
    platform::Value::Type valueType_;
    platform::Value value_;
};

class MSStringTypedProperty : public MSTypedProperty {
    MS_CODING_CLASS()
public:
    MSStringTypedProperty() : MSTypedProperty("string", platform::Value::Type::String) {}
    std::optional<std::string> stringValue() const { return value().stringValue(); }
    void setValue(std::string v) { setAnyValue(std::move(v)); }
};

class MSBooleanTypedProperty : public MSTypedProperty {
    MS_CODING_CLASS()
public:
    MSBooleanTypedProperty() : MSTypedProperty("boolean", platform::Value::Type::Bool) { setValue(false); }
    bool boolValue() const { return value().asBool(); }
    void setValue(bool v) { setAnyValue(v); }
};

class MSLongTypedProperty : public MSTypedProperty {
    MS_CODING_CLASS()
public:
    MSLongTypedProperty() : MSTypedProperty("long", platform::Value::Type::Int) { setValue(0); }
    int64_t longValue() const { return value().asInt(); }
    void setValue(int64_t v) { setAnyValue(v); }
};

class MSDoubleTypedProperty : public MSTypedProperty {
    MS_CODING_CLASS()
public:
    MSDoubleTypedProperty() : MSTypedProperty("double", platform::Value::Type::Double) { setValue(0.0); }
    double doubleValue() const { return value().asDouble(); }
    void setValue(double v) { setAnyValue(v); }
};

class MSDateTimeTypedProperty : public MSTypedProperty {
    MS_CODING_CLASS()
public:
    MSDateTimeTypedProperty() : MSTypedProperty("dateTime", platform::Value::Type::Date) {}
    std::optional<platform::Date> dateValue() const {
        return value().isDate() ? std::optional(value().asDate()) : std::nullopt;
    }
    void setValue(platform::Date v) { setAnyValue(v); }
};

}  // namespace quorvane
