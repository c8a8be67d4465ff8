#pragma once
// The typed properties of an event: at most one property (string, double, 64-bit integer,
// boolean or date) per name. Setters refuse absent names and values, and doubles that are not
// finite, with an error message; they return the set so that calls chain.

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "telemetry/MSSerializableObject.h"
#include "telemetry/MSTypedProperty.h"

namespace quorvane {

class MSEventProperties : public platform::Coding {
    MS_CODING_CLASS()
public:
    using PropertyMap = std::map<std::string, std::shared_ptr<MSTypedProperty>>;

    MSEventProperties() = default;
    // One string property per entry, unchecked (callers clean the dictionary first).
    explicit MSEventProperties(const std::map<std::string, std::string>& strings);
    MSEventProperties(const MSEventProperties& other);
    MSEventProperties& operator=(const MSEventProperties&) = delete;

    MSEventProperties& setString(const std::optional<std::string>& value, const std::optional<std::string>& key);
    MSEventProperties& setDouble(double value, const std::optional<std::string>& key);
    MSEventProperties& setInt64(int64_t value, const std::optional<std::string>& key);
    MSEventProperties& setBool(bool value, const std::optional<std::string>& key);
    MSEventProperties& setDate(const std::optional<platform::Date>& value, const std::optional<std::string>& key);

    // A present key or value; an absent one is logged at error level.
    static bool validateKey(const std::optional<std::string>& key);
    static bool validateValue(bool present);

    // A snapshot of the properties, by name.
    PropertyMap properties() const;
    // Stores the property under its name, replacing any property of that name (used by copies
    // made under limits).
    void setProperty(const std::shared_ptr<MSTypedProperty>& property);
    bool removeProperty(const std::string& name);
    // The dictionaries of all properties, in name order.
    platform::Value serializeToArray() const;
    bool isEmpty() const;
    size_t count() const;
    bool isEqual(const MSEventProperties& other) const;
    // Copies all of the other's properties in, replacing those of the same name.
    void mergeEventProperties(const MSEventProperties& other);

    // The properties as one list of typed property records under the unnamed key "$0".
    void encodeWithCoder(platform::KeyedArchiver& coder) const override;
    bool initWithCoder(platform::KeyedUnarchiver& coder) override;

private:
    mutable std::mutex mutex_;
    PropertyMap properties_;
};

}  // namespace quorvane
