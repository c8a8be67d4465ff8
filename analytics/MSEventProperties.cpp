#include "analytics/MSEventProperties.h"

#include <cmath>

#include "analytics/MSAnalyticsConstants.h"
#include "telemetry/MSLogger.h"

namespace quorvane {

const platform::ClassInfo MSEventProperties::kClassInfo{"MSEventProperties", nullptr};

namespace {
constexpr const char* kPropertiesKey = "$0";

template <class Property, class V>
std::shared_ptr<MSTypedProperty> makeProperty(const std::string& name, V value) {
    auto p = std::make_shared<Property>();
    p->name = name;
    p->setValue(std::move(value));
    return p;
}
}  // namespace

MSEventProperties::MSEventProperties(const std::map<std::string, std::string>& strings) {
    for (const auto& [key, value] : strings)
        if (validateKey(key)) properties_[key] = makeProperty<MSStringTypedProperty>(key, value);
}

MSEventProperties::MSEventProperties(const MSEventProperties& other) : properties_(other.properties()) {}

bool MSEventProperties::validateKey(const std::optional<std::string>& key) {
    if (key && !key->empty()) return true;
    MSLogError(kMSAnalyticsLogTag, "Key cannot be null or empty. Property will not be added.");
    return false;
}

bool MSEventProperties::isSendableDate(platform::Date date) {
    // 0001-01-01T00:00:00Z to the last millisecond of 9999-12-31, in seconds since 1970.
    constexpr double kFirst = -62135596800.0, kEnd = 253402300800.0;
    const double t = date.timeIntervalSince1970();
    return std::isfinite(t) && t >= kFirst && t < kEnd;
}

bool MSEventProperties::validateValue(bool present) {
    if (present) return true;
    MSLogError(kMSAnalyticsLogTag, "Value cannot be null. Property will not be added.");
    return false;
}

MSEventProperties& MSEventProperties::setString(const std::optional<std::string>& value,
                                                const std::optional<std::string>& key) {
    if (validateKey(key) && validateValue(value.has_value()))
        setProperty(makeProperty<MSStringTypedProperty>(*key, *value));
    return *this;
}

MSEventProperties& MSEventProperties::setDouble(double value, const std::optional<std::string>& key) {
    if (!validateKey(key)) return *this;
    if (!std::isfinite(value)) {
        MSLogError(kMSAnalyticsLogTag,
                   "Double value for property '" + *key + "' must be finite (cannot be INFINITY or NAN).");
        return *this;
    }
    setProperty(makeProperty<MSDoubleTypedProperty>(*key, value));
    return *this;
}

MSEventProperties& MSEventProperties::setInt64(int64_t value, const std::optional<std::string>& key) {
    if (validateKey(key)) setProperty(makeProperty<MSLongTypedProperty>(*key, value));
    return *this;
}

MSEventProperties& MSEventProperties::setBool(bool value, const std::optional<std::string>& key) {
    if (validateKey(key)) setProperty(makeProperty<MSBooleanTypedProperty>(*key, value));
    return *this;
}

MSEventProperties& MSEventProperties::setDate(const std::optional<platform::Date>& value,
                                              const std::optional<std::string>& key) {
    if (!validateKey(key) || !validateValue(value.has_value())) return *this;
    if (!isSendableDate(*value)) {
        MSLogError(kMSAnalyticsLogTag, "Date value for property '" + *key +
                                           "' must be finite and within the years 1 to 9999. Property will not be added.");
        return *this;
    }
    setProperty(makeProperty<MSDateTimeTypedProperty>(*key, *value));
    return *this;
}

MSEventProperties::PropertyMap MSEventProperties::properties() const {
    std::lock_guard lock(mutex_);
    return properties_;
}

void MSEventProperties::setProperty(const std::shared_ptr<MSTypedProperty>& property) {
    if (!property || !property->name) return;
    std::lock_guard lock(mutex_);
    properties_[*property->name] = property;
}

bool MSEventProperties::removeProperty(const std::string& name) {
    std::lock_guard lock(mutex_);
    return properties_.erase(name) > 0;
}

platform::Value MSEventProperties::serializeToArray() const {
    auto array = platform::Value::array();
    std::lock_guard lock(mutex_);
    for (const auto& [name, property] : properties_) array.append(property->serializeToDictionary());
    return array;
}

bool MSEventProperties::isEmpty() const { return count() == 0; }

size_t MSEventProperties::count() const {
    std::lock_guard lock(mutex_);
    return properties_.size();
}

bool MSEventProperties::isEqual(const MSEventProperties& other) const {
    const auto mine = properties(), theirs = other.properties();
    if (mine.size() != theirs.size()) return false;
    for (const auto& [name, property] : mine) {
        auto it = theirs.find(name);
        if (it == theirs.end() || !msObjectsEqual(property, it->second)) return false;
    }
    return true;
}

void MSEventProperties::mergeEventProperties(const MSEventProperties& other) {
    for (const auto& [name, property] : other.properties()) {
        std::lock_guard lock(mutex_);
        properties_[name] = property;
    }
}

void MSEventProperties::encodeWithCoder(platform::KeyedArchiver& coder) const {
    std::vector<std::shared_ptr<const platform::Coding>> list;
    for (const auto& [name, property] : properties()) list.push_back(property);
    coder.encodeObjects(list, kPropertiesKey);
}

bool MSEventProperties::initWithCoder(platform::KeyedUnarchiver& coder) {
    PropertyMap decoded;
    if (auto list = coder.decodeObjects<MSTypedProperty>(kPropertiesKey)) {
        for (const auto& property : *list) {
            if (!property->name) {
                coder.fail("an event property has no name");
                return false;
            }
            decoded[*property->name] = property;
        }
    }
    std::lock_guard lock(mutex_);
    properties_ = std::move(decoded);
    return !coder.failed();
}

}  // namespace quorvane
