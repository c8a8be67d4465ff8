#include "gdata/GDataValueConstruct.h"

#include <cmath>
#include <cstdio>

#include "gdata/GDataUtilities.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataValueConstruct, GDataObject, nullptr, nullptr, nullptr)
QV_GDATA_DEFINE_CLASS(GDataNameValueConstruct, GDataValueConstruct, nullptr, nullptr, nullptr)
QV_GDATA_DEFINE_CLASS(GDataValueElementConstruct, GDataValueConstruct, nullptr, nullptr, nullptr)
QV_GDATA_DEFINE_CLASS(GDataImplicitValueConstruct, GDataValueElementConstruct, nullptr, nullptr, nullptr)
QV_GDATA_DEFINE_CLASS(GDataBoolValueConstruct, GDataValueConstruct, nullptr, nullptr, nullptr)

namespace {
// Shortest text that reads back as the same double.
std::string doubleText(double v) {
    if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
    if (std::isnan(v)) return "NaN";
    char buf[40];
    for (int precision = 1; precision <= 17; ++precision) {
        std::snprintf(buf, sizeof buf, "%.*g", precision, v);
        if (std::strtod(buf, nullptr) == v) break;
    }
    return buf;
}
}  // namespace

void GDataValueConstruct::addParseDeclarations() {
    if (auto name = attributeName()) addLocalAttributeDeclarations({*name});
    else addContentValueDeclaration();
}

std::optional<std::string> GDataValueConstruct::stringValue() const {
    if (auto name = attributeName()) return stringValueForAttribute(*name);
    return contentStringValue();
}

void GDataValueConstruct::setStringValue(std::optional<std::string> value) {
    if (auto name = attributeName()) GDataObject::setStringValue(std::move(value), *name);
    else setContentStringValue(std::move(value));
}

std::shared_ptr<GDataValueConstruct> GDataValueConstruct::valueWithString(const GDataClassInfo& cls,
                                                                          std::optional<std::string> value) {
    if (!value) return nullptr;
    auto obj = std::dynamic_pointer_cast<GDataValueConstruct>(cls.make());
    if (obj) obj->setStringValue(std::move(value));
    return obj;
}

std::shared_ptr<GDataValueConstruct> GDataValueConstruct::valueWithInt(const GDataClassInfo& cls, int32_t value) {
    auto obj = std::dynamic_pointer_cast<GDataValueConstruct>(cls.make());
    if (obj) obj->setIntValue(value);
    return obj;
}

std::shared_ptr<GDataValueConstruct> GDataValueConstruct::valueWithLongLong(const GDataClassInfo& cls, int64_t value) {
    auto obj = std::dynamic_pointer_cast<GDataValueConstruct>(cls.make());
    if (obj) obj->setLongLongValue(value);
    return obj;
}

std::shared_ptr<GDataValueConstruct> GDataValueConstruct::valueWithDouble(const GDataClassInfo& cls, double value) {
    auto obj = std::dynamic_pointer_cast<GDataValueConstruct>(cls.make());
    if (obj) obj->setDoubleValue(value);
    return obj;
}

std::shared_ptr<GDataValueConstruct> GDataValueConstruct::valueWithBool(const GDataClassInfo& cls, bool value) {
    auto obj = std::dynamic_pointer_cast<GDataValueConstruct>(cls.make());
    if (obj) obj->setBoolValue(value);
    return obj;
}

std::shared_ptr<GDataValueConstruct> GDataValueConstruct::valueWithDateTime(const GDataClassInfo& cls,
                                                                            const std::optional<GDataDateTime>& value) {
    if (!value) return nullptr;
    auto obj = std::dynamic_pointer_cast<GDataValueConstruct>(cls.make());
    if (obj) obj->setDateTimeValue(value);
    return obj;
}

int32_t GDataValueConstruct::intValue() const { return gdataLeadingInt32(stringValue().value_or("")); }
void GDataValueConstruct::setIntValue(int32_t v) { setStringValue(std::to_string(v)); }
int64_t GDataValueConstruct::longLongValue() const { return gdataLeadingInt64(stringValue().value_or("")); }
void GDataValueConstruct::setLongLongValue(int64_t v) { setStringValue(std::to_string(v)); }

double GDataValueConstruct::doubleNumberValue() const {
    auto s = stringValue();
    auto d = GDataUtilities::doubleNumberOrInfForString(s ? std::optional<std::string_view>(*s) : std::nullopt);
    return d.value_or(0.0);
}

void GDataValueConstruct::setDoubleValue(double v) { setStringValue(doubleText(v)); }

bool GDataValueConstruct::boolValue() const {
    auto s = stringValue();
    return s && platform::asciiEqualsIgnoringCase(*s, "true");
}

void GDataValueConstruct::setBoolValue(bool v) { setStringValue(std::string(v ? "true" : "false")); }

std::optional<GDataDateTime> GDataValueConstruct::dateTimeValue() const {
    auto s = stringValue();
    if (!s || s->empty()) return std::nullopt;
    return GDataDateTime::dateTimeWithRFC3339String(*s);
}

void GDataValueConstruct::setDateTimeValue(const std::optional<GDataDateTime>& dt) {
    if (!dt) setStringValue(std::nullopt);
    else setStringValue(dt->RFC3339String());
}

std::vector<std::string> GDataValueConstruct::itemsForDescription() const {
    auto items = GDataObject::itemsForDescription();
    return items;
}

void GDataNameValueConstruct::addParseDeclarations() {
    GDataValueConstruct::addParseDeclarations();
    if (auto n = nameAttributeName()) addLocalAttributeDeclarations({*n});
}

std::shared_ptr<GDataNameValueConstruct> GDataNameValueConstruct::valueWithName(const GDataClassInfo& cls,
                                                                                std::optional<std::string> name,
                                                                                std::optional<std::string> value) {
    if (!name && !value) return nullptr;
    auto obj = std::dynamic_pointer_cast<GDataNameValueConstruct>(cls.make());
    if (!obj) return nullptr;
    obj->setStringValue(std::move(value));
    obj->setName(std::move(name));
    return obj;
}

std::optional<std::string> GDataNameValueConstruct::name() const {
    auto n = nameAttributeName();
    if (!n) return std::nullopt;
    return stringValueForAttribute(*n);
}

void GDataNameValueConstruct::setName(std::optional<std::string> name) {
    if (auto n = nameAttributeName()) GDataObject::setStringValue(std::move(name), *n);
}

std::shared_ptr<GDataImplicitValueConstruct> GDataImplicitValueConstruct::implicitValue(const GDataClassInfo& cls) {
    return std::dynamic_pointer_cast<GDataImplicitValueConstruct>(cls.make());
}

std::shared_ptr<GDataBoolValueConstruct> GDataBoolValueConstruct::boolValueWithBool(const GDataClassInfo& cls,
                                                                                    bool value) {
    return std::dynamic_pointer_cast<GDataBoolValueConstruct>(valueWithBool(cls, value));
}

}  // namespace quorvane
