#include "platform/foundation/KeyedArchiver.h"

#include <cmath>
#include <mutex>

#include <nlohmann/json.hpp>

#include "platform/foundation/Base64.h"

namespace quorvane::platform {

using Json = nlohmann::ordered_json;

struct KeyedArchiver::Node {
    Json json;
};
struct KeyedUnarchiver::Node {
    const Json& json;
};

namespace {

constexpr const char* kArchiveName = "quorvane.keyed";
constexpr int kMaxDepth = 64;

std::mutex& registryMutex() {
    static std::mutex m;
    return m;
}
std::map<std::string, ArchiveClassRegistry::Factory, std::less<>>& registry() {
    static std::map<std::string, ArchiveClassRegistry::Factory, std::less<>> r;
    return r;
}

bool isTagged(const Json& j, const char* tag) { return j.is_object() && j.size() == 1 && j.contains(tag); }

Json encodePlain(const Value& v) {
    switch (v.type()) {
    case Value::Type::Null: return nullptr;
    case Value::Type::Bool: return v.asBool();
    case Value::Type::Int: return v.asInt();
    case Value::Type::Double: {
        double d = v.asDouble();
        if (std::isnan(d)) return Json{{"$double", "nan"}};
        if (std::isinf(d)) return Json{{"$double", d > 0 ? "inf" : "-inf"}};
        return Json{{"$double", d}};
    }
    case Value::Type::String: return v.asString();
    case Value::Type::Bytes: return Json{{"$data", base64Encode(v.asBytes())}};
    case Value::Type::Date: return Json{{"$date", v.asDate().timeIntervalSinceReferenceDate()}};
    case Value::Type::Array: {
        Json a = Json::array();
        for (const auto& e : v.asArray()) a.push_back(encodePlain(e));
        return a;
    }
    case Value::Type::Dictionary: {
        Json d = Json::object();
        for (const auto& [k, e] : v.asDictionary()) d[k] = encodePlain(e);
        return Json{{"$dict", std::move(d)}};
    }
    }
    return nullptr;
}

// A plain value; nullopt (with a message) when the JSON is not one.
std::optional<Value> decodePlain(const Json& j, int depth, std::string& error) {
    if (depth > kMaxDepth) {
        error = "the archive nests too deeply";
        return std::nullopt;
    }
    if (j.is_null()) return Value();
    if (j.is_boolean()) return Value(j.get<bool>());
    if (j.is_number_integer()) {
        if (j.is_number_unsigned() && j.get<uint64_t>() > uint64_t(INT64_MAX)) {
            error = "an integer of the archive is out of range";
            return std::nullopt;
        }
        return Value(j.get<int64_t>());
    }
    if (j.is_string()) return Value(j.get<std::string>());
    if (j.is_array()) {
        Value::Array a;
        for (const auto& e : j) {
            auto v = decodePlain(e, depth + 1, error);
            if (!v) return std::nullopt;
            a.push_back(std::move(*v));
        }
        return Value(std::move(a));
    }
    if (isTagged(j, "$double")) {
        const Json& d = j["$double"];
        if (d.is_number()) return Value(d.get<double>());
        if (d == "nan") return Value(std::nan(""));
        if (d == "inf") return Value(HUGE_VAL);
        if (d == "-inf") return Value(-HUGE_VAL);
    } else if (isTagged(j, "$date") && j["$date"].is_number()) {
        return Value(Date(j["$date"].get<double>()));
    } else if (isTagged(j, "$data") && j["$data"].is_string()) {
        if (auto bytes = base64Decode(j["$data"].get<std::string>())) return Value(std::move(*bytes));
    } else if (isTagged(j, "$dict") && j["$dict"].is_object()) {
        Value::Dictionary d;
        for (const auto& [k, e] : j["$dict"].items()) {
            auto v = decodePlain(e, depth + 1, error);
            if (!v) return std::nullopt;
            d.emplace_back(k, std::move(*v));
        }
        return Value::dictionary(std::move(d));
    }
    if (error.empty()) error = "a value of the archive is malformed";
    return std::nullopt;
}

Json encodeCoding(const Coding& object) {
    KeyedArchiver::Node node{Json::object()};
    node.json["$class"] = object.classInfo().name;
    KeyedArchiver coder(node);
    object.encodeWithCoder(coder);
    return std::move(node.json);
}

std::shared_ptr<Coding> decodeCodingJson(const Json& j, int version, int depth, std::string& error) {
    if (depth > kMaxDepth) {
        error = "the archive nests too deeply";
        return nullptr;
    }
    if (!j.is_object() || !j.contains("$class") || !j["$class"].is_string()) {
        error = "an object of the archive has no class";
        return nullptr;
    }
    const auto name = j["$class"].get<std::string>();
    auto factory = ArchiveClassRegistry::factoryForName(name);
    if (!factory) {
        error = "the archive names the unknown class \"" + name + "\"";
        return nullptr;
    }
    auto object = factory();
    KeyedUnarchiver::Node node{j};
    KeyedUnarchiver coder(node, version, depth, error);
    if (!object->initWithCoder(coder) || !error.empty()) {
        if (error.empty()) error = "an object of class \"" + name + "\" could not be restored";
        return nullptr;
    }
    return object;
}

std::string wrap(Json root) {
    Json doc = Json::object();
    doc["$archive"] = kArchiveName;
    doc["$version"] = KeyedArchiver::kFormatVersion;
    doc["$root"] = std::move(root);
    return doc.dump();
}

// The root of the document with its version; nullptr with a message when it is not an archive.
const Json* unwrap(const Json& doc, int& version, std::string& error) {
    if (doc.is_discarded() || !doc.is_object() || doc.value("$archive", "") != kArchiveName ||
        !doc.contains("$version") || !doc["$version"].is_number_integer() || !doc.contains("$root")) {
        error = "the data is not a keyed archive";
        return nullptr;
    }
    version = doc["$version"].get<int>();
    if (version < 1 || version > KeyedArchiver::kFormatVersion) {
        error = "the archive's format version " + std::to_string(version) + " is not supported";
        return nullptr;
    }
    return &doc["$root"];
}

}  // namespace

void ArchiveClassRegistry::registerClass(const ClassInfo& info, Factory factory) {
    std::lock_guard lock(registryMutex());
    registry()[info.name] = std::move(factory);
}

ArchiveClassRegistry::Factory ArchiveClassRegistry::factoryForName(std::string_view name) {
    std::lock_guard lock(registryMutex());
    auto it = registry().find(name);
    return it == registry().end() ? Factory() : it->second;
}

std::string KeyedArchiver::archivedData(const Coding& root) { return wrap(encodeCoding(root)); }

std::string KeyedArchiver::archivedData(const std::vector<std::shared_ptr<const Coding>>& roots) {
    Json list = Json::array();
    for (const auto& o : roots)
        if (o) list.push_back(encodeCoding(*o));
    return wrap(std::move(list));
}

void KeyedArchiver::encodeString(const std::optional<std::string>& value, std::string_view key) {
    if (value) node_.json[std::string(key)] = *value;
}
void KeyedArchiver::encodeInt64(std::optional<int64_t> value, std::string_view key) {
    if (value) node_.json[std::string(key)] = *value;
}
void KeyedArchiver::encodeDouble(std::optional<double> value, std::string_view key) {
    if (value) node_.json[std::string(key)] = encodePlain(Value(*value));
}
void KeyedArchiver::encodeBool(std::optional<bool> value, std::string_view key) {
    if (value) node_.json[std::string(key)] = *value;
}
void KeyedArchiver::encodeDate(std::optional<Date> value, std::string_view key) {
    if (value) node_.json[std::string(key)] = encodePlain(Value(*value));
}
void KeyedArchiver::encodeBytes(const std::optional<Bytes>& value, std::string_view key) {
    if (value) node_.json[std::string(key)] = encodePlain(Value(*value));
}
void KeyedArchiver::encodeValue(const Value& value, std::string_view key) {
    if (!value.isNull()) node_.json[std::string(key)] = encodePlain(value);
}
void KeyedArchiver::encodeObject(const Coding* object, std::string_view key) {
    if (object) node_.json[std::string(key)] = encodeCoding(*object);
}
void KeyedArchiver::encodeObjects(const std::vector<std::shared_ptr<const Coding>>& objects, std::string_view key) {
    Json list = Json::array();
    for (const auto& o : objects)
        if (o) list.push_back(encodeCoding(*o));
    node_.json[std::string(key)] = std::move(list);
}

std::shared_ptr<Coding> KeyedUnarchiver::unarchivedRoot(std::string_view archive, std::string* error) {
    std::string why;
    const Json doc = Json::parse(archive, nullptr, false);
    int version = 0;
    std::shared_ptr<Coding> object;
    if (const Json* root = unwrap(doc, version, why)) object = decodeCodingJson(*root, version, 1, why);
    if (error) *error = why;
    return why.empty() ? object : nullptr;
}

std::optional<std::vector<std::shared_ptr<Coding>>> KeyedUnarchiver::unarchivedRootList(std::string_view archive,
                                                                                         std::string* error) {
    std::string why;
    const Json doc = Json::parse(archive, nullptr, false);
    int version = 0;
    std::vector<std::shared_ptr<Coding>> out;
    if (const Json* root = unwrap(doc, version, why)) {
        if (!root->is_array()) why = "the archive's root is not a list";
        for (size_t i = 0; why.empty() && i < root->size(); ++i) out.push_back(decodeCodingJson((*root)[i], version, 1, why));
    }
    if (error) *error = why;
    if (!why.empty()) return std::nullopt;
    return out;
}

void KeyedUnarchiver::fail(std::string message) {
    if (error_.empty()) error_ = std::move(message);
}

bool KeyedUnarchiver::containsValueForKey(std::string_view key) const {
    return node_.json.contains(std::string(key));
}

std::optional<Value> KeyedUnarchiver::decodeValue(std::string_view key) {
    auto it = node_.json.find(std::string(key));
    if (it == node_.json.end() || failed()) return std::nullopt;
    std::string why;
    auto v = decodePlain(*it, depth_ + 1, why);
    if (!v) fail("the value under \"" + std::string(key) + "\": " + why);
    return v;
}

namespace {
template <class T, class Read>
std::optional<T> typed(KeyedUnarchiver& coder, std::string_view key, Value::Type type, const char* name, Read read) {
    auto v = coder.decodeValue(key);
    if (!v) return std::nullopt;
    if (v->type() != type) {
        coder.fail("the value under \"" + std::string(key) + "\" is not " + name);
        return std::nullopt;
    }
    return read(*v);
}
}  // namespace

std::optional<std::string> KeyedUnarchiver::decodeString(std::string_view key) {
    return typed<std::string>(*this, key, Value::Type::String, "a string", [](const Value& v) { return v.asString(); });
}
std::optional<int64_t> KeyedUnarchiver::decodeInt64(std::string_view key) {
    return typed<int64_t>(*this, key, Value::Type::Int, "an integer", [](const Value& v) { return v.asInt(); });
}
std::optional<double> KeyedUnarchiver::decodeDouble(std::string_view key) {
    return typed<double>(*this, key, Value::Type::Double, "a double", [](const Value& v) { return v.asDouble(); });
}
std::optional<bool> KeyedUnarchiver::decodeBool(std::string_view key) {
    return typed<bool>(*this, key, Value::Type::Bool, "a boolean", [](const Value& v) { return v.asBool(); });
}
std::optional<Date> KeyedUnarchiver::decodeDate(std::string_view key) {
    return typed<Date>(*this, key, Value::Type::Date, "a date", [](const Value& v) { return v.asDate(); });
}
std::optional<Bytes> KeyedUnarchiver::decodeBytes(std::string_view key) {
    return typed<Bytes>(*this, key, Value::Type::Bytes, "bytes", [](const Value& v) { return v.asBytes(); });
}

std::shared_ptr<Coding> KeyedUnarchiver::decodeCoding(std::string_view key) {
    auto it = node_.json.find(std::string(key));
    if (it == node_.json.end() || failed()) return nullptr;
    return decodeCodingJson(*it, version_, depth_ + 1, error_);
}

std::optional<std::vector<std::shared_ptr<Coding>>> KeyedUnarchiver::decodeCodings(std::string_view key) {
    auto it = node_.json.find(std::string(key));
    if (it == node_.json.end() || failed()) return std::nullopt;
    if (!it->is_array()) {
        fail("the value under \"" + std::string(key) + "\" is not a list of objects");
        return std::nullopt;
    }
    std::vector<std::shared_ptr<Coding>> out;
    for (const auto& e : *it) {
        auto o = decodeCodingJson(e, version_, depth_ + 1, error_);
        if (!o) return std::nullopt;
        out.push_back(std::move(o));
    }
    return out;
}

}  // namespace quorvane::platform
