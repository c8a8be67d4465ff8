#pragma once
// Records whose fields are typed members, each class listing its own fields once.
//
// A class derives from MSFieldRecord<Self, Base> and gives `static const MSFieldTable<Self>&
// fields()`: one row per field of its own, in archive order, naming the key and the member. The
// row's member type says how the field is archived, read back, put into the JSON dictionary and
// compared; the archive, the JSON and equality then run the base class's rows and this class's.
// Absent fields (an empty optional or pointer) are left out of the archive and the JSON; a bool
// is always present. Supported members: optional string, int64, uint64 (archived as int64),
// double, Date (ISO 8601 in the JSON), Bytes (Base64 in the JSON), bool, shared_ptr to a record,
// optional list of shared_ptrs to records, optional string-to-string map, optional string list,
// and shared_ptr<const void> (compared by identity only).

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "telemetry/MSSerializableObject.h"

namespace quorvane {

struct MSFieldOptions {
    // The JSON key when it is not the archive key.
    const char* jsonKey = nullptr;
    // The JSON puts this field just before the one archived under this key.
    const char* jsonBefore = nullptr;
    bool archived = true;
    bool serialized = true;
    bool compared = true;
    // A present but empty map is left out of the JSON.
    bool omitEmptyInJSON = false;
    // A date goes into the JSON as ISO 8601 text, or else as the date value itself.
    bool isoDateInJSON = true;
};

namespace ms_field_detail {

std::string iso8601(platform::Date date);
std::string base64(const platform::Bytes& bytes);
platform::Value stringMapValue(const std::map<std::string, std::string>& map);
// nullopt, with the coder failed, when the value is not a dictionary (list) of strings.
std::optional<std::map<std::string, std::string>> stringMapFrom(platform::KeyedUnarchiver& coder,
                                                               const platform::Value& value, std::string_view key);
std::optional<std::vector<std::string>> stringListFrom(platform::KeyedUnarchiver& coder, const platform::Value& value,
                                                       std::string_view key);

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <class T>
struct IsSharedPtr : std::false_type {};
template <class T>
struct IsSharedPtr<std::shared_ptr<T>> : std::true_type {};
template <class T>
struct IsRecordList : std::false_type {};
template <class T>
struct IsRecordList<std::optional<std::vector<std::shared_ptr<T>>>> : std::true_type {
    using Element = T;
};

template <class R>
platform::Value recordJSON(const R& record) {
    if constexpr (requires { record.serializeToDictionary(); })
        return record.serializeToDictionary();
    else
        return record.serializeToArray();
}

template <class M>
void encode(platform::KeyedArchiver& coder, const char* key, const M& v) {
    if constexpr (std::is_same_v<M, bool>) {
        coder.encodeBool(v, key);
    } else if constexpr (std::is_same_v<M, std::optional<std::string>>) {
        coder.encodeString(v, key);
    } else if constexpr (std::is_same_v<M, std::optional<int64_t>>) {
        coder.encodeInt64(v, key);
    } else if constexpr (std::is_same_v<M, std::optional<uint64_t>>) {
        coder.encodeInt64(v ? std::optional<int64_t>(static_cast<int64_t>(*v)) : std::nullopt, key);
    } else if constexpr (std::is_same_v<M, std::optional<double>>) {
        coder.encodeDouble(v, key);
    } else if constexpr (std::is_same_v<M, std::optional<platform::Date>>) {
        coder.encodeDate(v, key);
    } else if constexpr (std::is_same_v<M, std::optional<platform::Bytes>>) {
        coder.encodeBytes(v, key);
    } else if constexpr (std::is_same_v<M, std::optional<std::map<std::string, std::string>>>) {
        if (v) coder.encodeValue(stringMapValue(*v), key);
    } else if constexpr (std::is_same_v<M, std::optional<std::vector<std::string>>>) {
        if (v) coder.encodeValue(platform::Value(platform::Value::Array(v->begin(), v->end())), key);
    } else if constexpr (IsRecordList<M>::value) {
        if (!v) return;
        std::vector<std::shared_ptr<const platform::Coding>> objects;
        for (const auto& e : *v)
            if (e) objects.push_back(e);
        coder.encodeObjects(objects, key);
    } else if constexpr (IsSharedPtr<M>::value) {
        if constexpr (!std::is_void_v<typename M::element_type>) coder.encodeObject(v.get(), key);
    } else {
        static_assert(sizeof(M) == 0, "a field of a type records do not hold");
    }
}

template <class M>
void decode(platform::KeyedUnarchiver& coder, const char* key, M& v) {
    if constexpr (std::is_same_v<M, bool>) {
        v = coder.decodeBool(key).value_or(false);
    } else if constexpr (std::is_same_v<M, std::optional<std::string>>) {
        v = coder.decodeString(key);
    } else if constexpr (std::is_same_v<M, std::optional<int64_t>>) {
        v = coder.decodeInt64(key);
    } else if constexpr (std::is_same_v<M, std::optional<uint64_t>>) {
        auto i = coder.decodeInt64(key);
        v = i ? std::optional<uint64_t>(static_cast<uint64_t>(*i)) : std::nullopt;
    } else if constexpr (std::is_same_v<M, std::optional<double>>) {
        v = coder.decodeDouble(key);
    } else if constexpr (std::is_same_v<M, std::optional<platform::Date>>) {
        v = coder.decodeDate(key);
    } else if constexpr (std::is_same_v<M, std::optional<platform::Bytes>>) {
        v = coder.decodeBytes(key);
    } else if constexpr (std::is_same_v<M, std::optional<std::map<std::string, std::string>>>) {
        auto value = coder.decodeValue(key);
        v = value ? stringMapFrom(coder, *value, key) : std::nullopt;
    } else if constexpr (std::is_same_v<M, std::optional<std::vector<std::string>>>) {
        auto value = coder.decodeValue(key);
        v = value ? stringListFrom(coder, *value, key) : std::nullopt;
    } else if constexpr (IsRecordList<M>::value) {
        v = coder.decodeObjects<typename IsRecordList<M>::Element>(key);
    } else if constexpr (IsSharedPtr<M>::value) {
        if constexpr (!std::is_void_v<typename M::element_type>) v = coder.decodeObject<typename M::element_type>(key);
    }
}

// The field's JSON value; nullopt when it is left out.
template <class M>
std::optional<platform::Value> json(const M& v, const MSFieldOptions& options) {
    if constexpr (std::is_same_v<M, bool>) {
        return platform::Value(v);
    } else if constexpr (IsRecordList<M>::value) {
        if (!v) return std::nullopt;
        auto out = platform::Value::array();
        for (const auto& e : *v) out.append(e ? recordJSON(*e) : platform::Value::dictionary());
        return out;
    } else if constexpr (IsSharedPtr<M>::value) {
        if constexpr (std::is_void_v<typename M::element_type>)
            return std::nullopt;
        else
            return v ? std::optional(recordJSON(*v)) : std::nullopt;
    } else {
        if (!v) return std::nullopt;
        using T = typename M::value_type;
        if constexpr (std::is_same_v<T, std::map<std::string, std::string>>) {
            if (options.omitEmptyInJSON && v->empty()) return std::nullopt;
            return stringMapValue(*v);
        } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
            return platform::Value(platform::Value::Array(v->begin(), v->end()));
        } else if constexpr (std::is_same_v<T, platform::Date>) {
            return options.isoDateInJSON ? platform::Value(iso8601(*v)) : platform::Value(*v);
        } else if constexpr (std::is_same_v<T, platform::Bytes>) {
            return platform::Value(base64(*v));
        } else if constexpr (std::is_same_v<T, uint64_t>) {
            // Processor numbers are small; the conversion is modular and never undefined.
            return platform::Value(static_cast<int64_t>(*v));
        } else {
            return platform::Value(*v);
        }
    }
}

template <class M>
bool equal(const M& a, const M& b) {
    if constexpr (IsRecordList<M>::value) {
        if (!a || !b) return !a && !b;
        if (a->size() != b->size()) return false;
        for (size_t i = 0; i < a->size(); ++i)
            if (!msObjectsEqual((*a)[i], (*b)[i])) return false;
        return true;
    } else if constexpr (IsSharedPtr<M>::value) {
        if constexpr (std::is_void_v<typename M::element_type>)
            return a == b;
        else
            return msObjectsEqual(a, b);
    } else {
        return a == b;
    }
}

}  // namespace ms_field_detail

// One field of a record class: how it is archived, read back, serialised and compared.
template <class Self>
struct MSField {
    // A field written by hand; a missing function leaves the field out of that step.
    struct Functions {
        std::function<void(const Self&, platform::KeyedArchiver&, const char* key)> encode = nullptr;
        std::function<void(Self&, platform::KeyedUnarchiver&, const char* key)> decode = nullptr;
        std::function<std::optional<platform::Value>(const Self&)> json = nullptr;
        std::function<bool(const Self&, const Self&)> equal = nullptr;
    };

    template <class Owner, class M>
        requires std::is_base_of_v<Owner, Self>
    MSField(const char* key, M Owner::*member, MSFieldOptions options = {}) : key(key), options(options) {
        namespace d = ms_field_detail;
        if (options.archived) {
            f.encode = [member](const Self& s, platform::KeyedArchiver& coder, const char* k) {
                d::encode(coder, k, s.*member);
            };
            f.decode = [member](Self& s, platform::KeyedUnarchiver& coder, const char* k) { d::decode(coder, k, s.*member); };
        }
        if (options.serialized)
            f.json = [member, options](const Self& s) { return d::json(s.*member, options); };
        if (options.compared) f.equal = [member](const Self& a, const Self& b) { return d::equal(a.*member, b.*member); };
    }
    MSField(const char* key, Functions functions, MSFieldOptions options = {})
        : key(key), options(options), f(std::move(functions)) {}

    const char* key;
    MSFieldOptions options;
    Functions f;
};

template <class Self>
using MSFieldTable = std::vector<MSField<Self>>;

template <class Self>
void msEncodeFields(const Self& self, platform::KeyedArchiver& coder, const MSFieldTable<Self>& table) {
    for (const auto& row : table)
        if (row.f.encode) row.f.encode(self, coder, row.key);
}

template <class Self>
void msDecodeFields(Self& self, platform::KeyedUnarchiver& coder, const MSFieldTable<Self>& table) {
    for (const auto& row : table)
        if (row.f.decode) row.f.decode(self, coder, row.key);
}

template <class Self>
void msSerializeFields(const Self& self, platform::Value& dict, const MSFieldTable<Self>& table) {
    auto put = [&](const MSField<Self>& row) {
        if (!row.f.json) return;
        if (auto v = row.f.json(self)) dict.set(row.options.jsonKey ? row.options.jsonKey : row.key, std::move(*v));
    };
    for (const auto& row : table) {
        if (row.options.jsonBefore) continue;
        for (const auto& early : table)
            if (early.options.jsonBefore && std::string_view(early.options.jsonBefore) == row.key) put(early);
        put(row);
    }
}

template <class Self>
bool msFieldsEqual(const Self& a, const Self& b, const MSFieldTable<Self>& table) {
    for (const auto& row : table)
        if (row.f.equal && !row.f.equal(a, b)) return false;
    return true;
}

// The archive, the JSON and equality of a record class from its field table, after its base's.
// Only objects of the class (or a subclass) are equal to it.
template <class Self, class Base>
class MSFieldRecord : public Base {
public:
    using Base::Base;

    platform::Value serializeToDictionary() const override {
        platform::Value dict = platform::Value::dictionary();
        if constexpr (!std::is_same_v<Base, MSSerializableObject>) dict = Base::serializeToDictionary();
        msSerializeFields(self(), dict, Self::fields());
        return dict;
    }
    bool isEqual(const MSSerializableObject& other) const override {
        auto* o = dynamic_cast<const Self*>(&other);
        if (!o) return false;
        if constexpr (!std::is_same_v<Base, MSSerializableObject>)
            if (!Base::isEqual(other)) return false;
        return msFieldsEqual(self(), *o, Self::fields());
    }
    void encodeWithCoder(platform::KeyedArchiver& coder) const override {
        if constexpr (!std::is_same_v<Base, MSSerializableObject>) Base::encodeWithCoder(coder);
        msEncodeFields(self(), coder, Self::fields());
    }
    bool initWithCoder(platform::KeyedUnarchiver& coder) override {
        if constexpr (!std::is_same_v<Base, MSSerializableObject>)
            if (!Base::initWithCoder(coder)) return false;
        msDecodeFields(static_cast<Self&>(*this), coder, Self::fields());
        return !coder.failed();
    }

private:
    const Self& self() const { return static_cast<const Self&>(*this); }
};

}  // namespace quorvane
