#pragma once
// A dynamically typed value: null, bool, 64-bit integer, double, string, bytes, date,
// array or ordered dictionary. Property lists, JSON bodies and error user-infos use it.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/foundation/Date.h"

namespace quorvane::platform {

using Bytes = std::vector<uint8_t>;

template <class T>
class Result;

class Value {
public:
    using Array = std::vector<Value>;
    // Keys keep their insertion order; lookups are linear, dictionaries here are small.
    using Dictionary = std::vector<std::pair<std::string, Value>>;

    enum class Type { Null, Bool, Int, Double, String, Bytes, Date, Array, Dictionary };

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    Value(int i) : v_(int64_t(i)) {}
    Value(int64_t i) : v_(i) {}
    Value(uint32_t i) : v_(int64_t(i)) {}
    Value(double d) : v_(d) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(Bytes b) : v_(std::move(b)) {}
    Value(Date d) : v_(d) {}
    Value(Array a) : v_(std::move(a)) {}

    static Value dictionary() { Value v; v.v_ = Dictionary{}; return v; }
    static Value dictionary(Dictionary d) { Value v; v.v_ = std::move(d); return v; }
    static Value array() { return Value(Array{}); }

    Type type() const { return Type(v_.index()); }
    bool isNull() const { return type() == Type::Null; }
    bool isBool() const { return type() == Type::Bool; }
    bool isInt() const { return type() == Type::Int; }
    bool isDouble() const { return type() == Type::Double; }
    bool isNumber() const { return isInt() || isDouble() || isBool(); }
    bool isString() const { return type() == Type::String; }
    bool isBytes() const { return type() == Type::Bytes; }
    bool isDate() const { return type() == Type::Date; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }

    // Typed reads; a wrong type gives the fallback, never a throw.
    bool asBool(bool fallback = false) const;
    int64_t asInt(int64_t fallback = 0) const;
    double asDouble(double fallback = 0) const;
    const std::string& asString() const;  // "" when not a string
    std::optional<std::string> stringValue() const;  // nullopt when not a string
    const Bytes& asBytes() const;
    Date asDate(Date fallback = Date()) const;
    const Array& asArray() const;
    Array& asArray();
    const Dictionary& asDictionary() const;
    Dictionary& asDictionary();

    // Dictionary access. find() gives nullptr when absent or when this is not a dictionary.
    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);
    const Value& operator[](std::string_view key) const;  // a null value when absent
    void set(std::string_view key, Value v);  // replaces in place, or appends; makes this a dictionary
    bool remove(std::string_view key);
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    std::vector<std::string> keys() const;

    // Array access.
    size_t size() const;  // elements of an array or dictionary, else 0
    const Value& operator[](size_t i) const;
    void append(Value v);  // makes this an array

    bool operator==(const Value& o) const;
    bool operator!=(const Value& o) const { return !(*this == o); }

    // JSON bridge. Bytes become Base64 strings and dates their seconds since the reference date.
    std::string toJSON(bool pretty = false) const;
    // Arrays and objects nested deeper than this are refused by fromJSON.
    static constexpr size_t kMaxJSONDepth = 512;
    // Parses JSON text; a kJSONErrorDomain error when malformed or nested deeper than
    // kMaxJSONDepth. Integers beyond the 64-bit range become doubles.
    static Result<Value> fromJSON(std::string_view text);

private:
    std::variant<std::monostate, bool, int64_t, double, std::string, Bytes, Date, Array, Dictionary> v_;
};

}  // namespace quorvane::platform

// Errors and results hold values; a value's parse returns a result (see Error.h).
#include "platform/foundation/Error.h"
