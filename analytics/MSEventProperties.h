#pragma once
// The typed properties of an event: at most one property (string, double, 64-bit integer,
// boolean or date) per name. Setters refuse absent or empty names, absent values, doubles that are
// not finite and dates that are not finite or outside the years 1 to 9999 (which no timestamp
// text can carry), with an error message; they return the set so that calls chain.

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
    // One string property per entry; an entry with an empty name is left out with an error.
    explicit MSEventProperties(const std::map<std::string, std::string>& strings);
    MSEventProperties(const MSEventProperties& other);
    MSEventProperties& operator=(const MSEventProperties&) = delete;

    MSEventProperties& setString(const std::optional<std::string>& value, const std::optional<std::string>& key);
    MSEventProperties& setDouble(double value, const std::optional<std::string>& key);
    MSEventProperties& setInt64(int64_t value, const std::optional<std::string>& key);
    MSEventProperties& setBool(bool value, const std::optional<std::string>& key);
    MSEventProperties& setDate(const std::optional<platform::Date>& value, const std::optional<std::string>& key);

    // A present, non-empty key or a present value; any other is logged at error level.
    static bool validateKey(const std::optional<std::string>& key);
    static bool validateValue(bool present);
    // A date that can be sent: finite and within the years 1 to 9999.
    static bool isSendableDate(platform::Date date);

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
