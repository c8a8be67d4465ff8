#include "platform/foundation/Value.h"

#include <nlohmann/json.hpp>

#include "platform/foundation/Base64.h"

namespace quorvane::platform {

namespace {
const std::string kEmptyString;
const Bytes kEmptyBytes;
const Value::Array kEmptyArray;
const Value::Dictionary kEmptyDictionary;
const Value kNullValue;

nlohmann::ordered_json toJson(const Value& v) {
    switch (v.type()) {
        case Value::Type::Null: return nullptr;
        case Value::Type::Bool: return v.asBool();
        case Value::Type::Int: return v.asInt();
        case Value::Type::Double: return v.asDouble();
        case Value::Type::String: return v.asString();
        case Value::Type::Bytes: return base64Encode(v.asBytes());
        case Value::Type::Date: return v.asDate().timeIntervalSinceReferenceDate();
        case Value::Type::Array: {
            auto a = nlohmann::ordered_json::array();
            for (const auto& e : v.asArray()) a.push_back(toJson(e));
            return a;
        }
        case Value::Type::Dictionary: {
            auto o = nlohmann::ordered_json::object();
            for (const auto& [k, e] : v.asDictionary()) o[k] = toJson(e);
            return o;
        }
    }
    return nullptr;
}

// Converts one JSON value; false when it nests deeper than kMaxJSONDepth.
bool fromJson(const nlohmann::ordered_json& j, size_t depth, Value& out) {
    switch (j.type()) {
        case nlohmann::json::value_t::null: out = Value(); return true;
        case nlohmann::json::value_t::boolean: out = Value(j.get<bool>()); return true;
        case nlohmann::json::value_t::number_integer: out = Value(j.get<int64_t>()); return true;
        case nlohmann::json::value_t::number_unsigned: {
            auto u = j.get<uint64_t>();
            out = u > uint64_t(INT64_MAX) ? Value(double(u)) : Value(int64_t(u));
            return true;
        }
        case nlohmann::json::value_t::number_float: out = Value(j.get<double>()); return true;
        case nlohmann::json::value_t::string: out = Value(j.get<std::string>()); return true;
        case nlohmann::json::value_t::array: {
            if (depth >= Value::kMaxJSONDepth) return false;
            Value::Array a(j.size());
            size_t i = 0;
            for (const auto& e : j)
                if (!fromJson(e, depth + 1, a[i++])) return false;
            out = Value(std::move(a));
            return true;
        }
        case nlohmann::json::value_t::object: {
            if (depth >= Value::kMaxJSONDepth) return false;
            Value::Dictionary d;
            d.reserve(j.size());
            for (auto it = j.begin(); it != j.end(); ++it) {
                d.emplace_back(it.key(), Value());
                if (!fromJson(it.value(), depth + 1, d.back().second)) return false;
            }
            out = Value::dictionary(std::move(d));
            return true;
        }
        default: out = Value(); return true;
    }
}
}  // namespace

bool Value::asBool(bool fallback) const {
    if (auto p = std::get_if<bool>(&v_)) return *p;
    if (auto p = std::get_if<int64_t>(&v_)) return *p != 0;
    if (auto p = std::get_if<double>(&v_)) return *p != 0;
    return fallback;
}

int64_t Value::asInt(int64_t fallback) const {
    if (auto p = std::get_if<int64_t>(&v_)) return *p;
    if (auto p = std::get_if<bool>(&v_)) return *p ? 1 : 0;
    if (auto p = std::get_if<double>(&v_)) {
        if (!(*p == *p)) return fallback;
        if (*p >= 9.2233720368547758e18) return INT64_MAX;
        if (*p <= -9.2233720368547758e18) return INT64_MIN;
        return int64_t(*p);
    }
    return fallback;
}

double Value::asDouble(double fallback) const {
    if (auto p = std::get_if<double>(&v_)) return *p;
    if (auto p = std::get_if<int64_t>(&v_)) return double(*p);
    if (auto p = std::get_if<bool>(&v_)) return *p ? 1 : 0;
    return fallback;
}

const std::string& Value::asString() const {
    if (auto p = std::get_if<std::string>(&v_)) return *p;
    return kEmptyString;
}

std::optional<std::string> Value::stringValue() const {
    if (auto p = std::get_if<std::string>(&v_)) return *p;
    return std::nullopt;
}

const Bytes& Value::asBytes() const {
    if (auto p = std::get_if<Bytes>(&v_)) return *p;
    return kEmptyBytes;
}

Date Value::asDate(Date fallback) const {
    if (auto p = std::get_if<Date>(&v_)) return *p;
    return fallback;
}

const Value::Array& Value::asArray() const {
    if (auto p = std::get_if<Array>(&v_)) return *p;
    return kEmptyArray;
}

Value::Array& Value::asArray() {
    if (!isArray()) v_ = Array{};
    return std::get<Array>(v_);
}

const Value::Dictionary& Value::asDictionary() const {
    if (auto p = std::get_if<Dictionary>(&v_)) return *p;
    return kEmptyDictionary;
}

Value::Dictionary& Value::asDictionary() {
    if (!isDictionary()) v_ = Dictionary{};
    return std::get<Dictionary>(v_);
}

const Value* Value::find(std::string_view key) const {
    auto p = std::get_if<Dictionary>(&v_);
    if (!p) return nullptr;
    for (const auto& [k, v] : *p)
        if (k == key) return &v;
    return nullptr;
}

Value* Value::find(std::string_view key) {
    return const_cast<Value*>(static_cast<const Value*>(this)->find(key));
}

const Value& Value::operator[](std::string_view key) const {
    auto p = find(key);
    return p ? *p : kNullValue;
}

void Value::set(std::string_view key, Value v) {
    auto& d = asDictionary();
    for (auto& [k, e] : d) {
        if (k == key) {
            e = std::move(v);
            return;
        }
    }
    d.emplace_back(std::string(key), std::move(v));
}

bool Value::remove(std::string_view key) {
    auto p = std::get_if<Dictionary>(&v_);
    if (!p) return false;
    for (auto it = p->begin(); it != p->end(); ++it) {
        if (it->first == key) {
            p->erase(it);
            return true;
        }
    }
    return false;
}

std::vector<std::string> Value::keys() const {
    std::vector<std::string> out;
    for (const auto& [k, v] : asDictionary()) out.push_back(k);
    return out;
}

size_t Value::size() const {
    if (auto p = std::get_if<Array>(&v_)) return p->size();
    if (auto p = std::get_if<Dictionary>(&v_)) return p->size();
    return 0;
}

const Value& Value::operator[](size_t i) const {
    auto p = std::get_if<Array>(&v_);
    if (!p || i >= p->size()) return kNullValue;
    return (*p)[i];
}

void Value::append(Value v) { asArray().push_back(std::move(v)); }

bool Value::operator==(const Value& o) const {
    // Numbers compare by value across integer and double; dictionaries ignore key order.
    if (isNumber() && o.isNumber() && !isBool() && !o.isBool() && type() != o.type())
        return asDouble() == o.asDouble();
    if (type() != o.type()) return false;
    if (isDictionary()) {
        const auto& a = asDictionary();
        const auto& b = o.asDictionary();
        if (a.size() != b.size()) return false;
        for (const auto& [k, v] : a) {
            auto other = o.find(k);
            if (!other || !(*other == v)) return false;
        }
        return true;
    }
    return v_ == o.v_;
}

std::string Value::toJSON(bool pretty) const {
    return toJson(*this).dump(pretty ? 2 : -1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Result<Value> Value::fromJSON(std::string_view text) {
    auto j = nlohmann::ordered_json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded()) return Error::withDescription(kJSONErrorDomain, kJSONErrorMalformed, "malformed JSON");
    Value value;
    if (!fromJson(j, 0, value)) {
        return Error::withDescription(kJSONErrorDomain, kJSONErrorNestedTooDeeply, "JSON nested too deeply");
    }
    return value;
}

}  // namespace quorvane::platform
