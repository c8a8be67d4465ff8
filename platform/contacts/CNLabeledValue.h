#pragma once
// The values of a contact's multi-valued properties. Each entry is a labeled value: a label
// (absent or one of the CNLabel... constants or the user's own text), the value, and an
// identifier that stays the same for that entry across saves and fetches.

#include <optional>
#include <string>

#include "platform/foundation/Calendar.h"

namespace quorvane::platform {

template <typename T>
class CNLabeledValue {
public:
    // A new entry with a new identifier.
    CNLabeledValue(std::optional<std::string> label, T value);
    static CNLabeledValue labeledValueWithLabel(std::optional<std::string> label, T value) {
        return CNLabeledValue(std::move(label), std::move(value));
    }
    // An entry with a known identifier (as read from the store).
    CNLabeledValue(std::string identifier, std::optional<std::string> label, T value)
        : identifier_(std::move(identifier)), label_(std::move(label)), value_(std::move(value)) {}

    // The same entry with another value or label; the identifier is kept.
    CNLabeledValue labeledValueBySettingValue(T value) const { return CNLabeledValue(identifier_, label_, std::move(value)); }
    CNLabeledValue labeledValueBySettingLabel(std::optional<std::string> label) const {
        return CNLabeledValue(identifier_, std::move(label), value_);
    }

    const std::string& identifier() const { return identifier_; }
    const std::optional<std::string>& label() const { return label_; }
    const T& value() const { return value_; }

    bool operator==(const CNLabeledValue&) const = default;

private:
    std::string identifier_;
    std::optional<std::string> label_;
    T value_;
};

// Makes the identifier of a new labeled value.
std::string CNLabeledValueNewIdentifier();

template <typename T>
CNLabeledValue<T>::CNLabeledValue(std::optional<std::string> label, T value)
    : identifier_(CNLabeledValueNewIdentifier()), label_(std::move(label)), value_(std::move(value)) {}

struct CNPhoneNumber {
    std::string stringValue;
    static CNPhoneNumber phoneNumberWithStringValue(std::string s) { return CNPhoneNumber{std::move(s)}; }
    bool operator==(const CNPhoneNumber&) const = default;
};

struct CNPostalAddress {
    std::string street;  // may hold several lines
    std::string city;
    std::string state;
    std::string postalCode;
    std::string country;
    std::string ISOCountryCode;
    bool operator==(const CNPostalAddress&) const = default;
};

struct CNContactRelation {
    std::string name;
    static CNContactRelation contactRelationWithName(std::string n) { return CNContactRelation{std::move(n)}; }
    bool operator==(const CNContactRelation&) const = default;
};

struct CNInstantMessageAddress {
    std::string username;
    std::string service;  // a CNInstantMessageService... name or the user's own
    bool operator==(const CNInstantMessageAddress&) const = default;
};

struct CNSocialProfile {
    std::string username;
    std::string service;  // a CNSocialProfileService... name or the user's own
    bool operator==(const CNSocialProfile&) const = default;
};

// A birthday kept in a calendar other than the Gregorian one ("chinese", "hebrew", "islamic", ...).
struct CNNonGregorianDate {
    std::string calendarIdentifier;
    DateComponents components;
    bool operator==(const CNNonGregorianDate&) const = default;
};

}  // namespace quorvane::platform
