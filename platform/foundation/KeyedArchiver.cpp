#include "platform/foundation/KeyedArchiver.h"

#include <charconv>
#include <cmath>
#include <mutex>

#include <nlohmann/json.hpp>

#include "platform/foundation/Base64.h"
#include "platform/foundation/Strings.h"

namespace quorvane::platform {

using Json = nlohmann::ordered_json;

// The archive is written straight into text: no document tree is built.
struct KeyedArchiver::Node {
    std::string& out;
    bool first = true;
};
struct KeyedUnarchiver::Node {
    const Json& json;
};

namespace {

constexpr const char* kArchiveName = "quorvane.keyed";
constexpr int kMaxDepth = 64;

// The registry lives as long as the process: a worker thread still decoding a log while the
// process exits must never find it destroyed.
std::mutex& registryMutex() {
    static auto& m = *new std::mutex;
    return m;
}
std::map<std::string, ArchiveClassRegistry::Factory, std::less<>>& registry() {
    static auto& r = *new std::map<std::string, ArchiveClassRegistry::Factory, std::less<>>;
    return r;
}

bool isTagged(const Json& j, const char* tag) { return j.is_object() && j.size() == 1 && j.contains(tag); }

// A JSON string. Ill-formed UTF-8 is written as U+FFFD, so that the archive always parses back.
void writeString(std::string& out, std::string_view text) {
    std::string repaired;
    if (!isValidUTF8(text)) {
        for (char32_t cp : codePoints(text)) appendUTF8(repaired, cp);
        text = repaired;
    }
    static const char hex[] = "0123456789abcdef";
    out += '"';
    size_t plain = 0;  // start of the run of characters that need no escape
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (uint8_t(c) >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text, plain, i - plain);
        plain = i + 1;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            out += "\\u00";
            out += hex[uint8_t(c) >> 4];
            out += hex[uint8_t(c) & 15];
        }
    }
    out.append(text, plain, text.size() - plain);
    out += '"';
}

void writeNumber(std::string& out, double d) {
    // "-0" would read back as the integer 0: a negative zero is written as a fraction.
    if (d == 0 && std::signbit(d)) {
        out += "-0.0";
        return;
    }
    char buffer[32];
    auto end = std::to_chars(buffer, buffer + sizeof buffer, d).ptr;
    out.append(buffer, end);
}

void writePlain(std::string& out, const Value& v) {
    switch (v.type()) {
    case Value::Type::Null: out += "null"; return;
    case Value::Type::Bool: out += v.asBool() ? "true" : "false"; return;
    case Value::Type::Int: out += std::to_string(v.asInt()); return;
    case Value::Type::Double: {
        const double d = v.asDouble();
        out += "{\"$double\":";
        if (std::isnan(d)) out += "\"nan\"";
        else if (std::isinf(d)) out += d > 0 ? "\"inf\"" : "\"-inf\"";
        else writeNumber(out, d);
        out += '}';
        return;
    }
    case Value::Type::String: writeString(out, v.asString()); return;
    case Value::Type::Bytes: out += "{\"$data\":\"" + base64Encode(v.asBytes()) + "\"}"; return;
    case Value::Type::Date: {
        const double t = v.asDate().timeIntervalSinceReferenceDate();
        out += "{\"$date\":";
        if (std::isfinite(t)) writeNumber(out, t);
        else out += "0";
        out += '}';
        return;
    }
    case Value::Type::Array: {
        out += '[';
        bool first = true;
        for (const auto& e : v.asArray()) {
            if (!std::exchange(first, false)) out += ',';
            writePlain(out, e);
        }
        out += ']';
        return;
    }
    case Value::Type::Dictionary: {
        out += "{\"$dict\":{";
        bool first = true;
        for (const auto& [k, e] : v.asDictionary()) {
            if (!std::exchange(first, false)) out += ',';
            writeString(out, k);
            out += ':';
            writePlain(out, e);
        }
        out += "}}";
        return;
    }
    }
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

void writeCoding(std::string& out, const Coding& object) {
    out += "{\"$class\":";
    writeString(out, object.classInfo().name);
    KeyedArchiver::Node node{out, false};
    KeyedArchiver coder(node);
    object.encodeWithCoder(coder);
    out += '}';
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

std::string archiveHead() {
    return std::string("{\"$archive\":\"") + kArchiveName + "\",\"$version\":" +
           std::to_string(KeyedArchiver::kFormatVersion) + ",\"$root\":";
}

// The root of the document with its version; nullptr with a message when it is not an archive.
const Json* unwrap(const Json& doc, int& version, std::string& error) {
    // Every member is checked for its type before it is read: the document comes from storage.
    const auto name = doc.is_object() ? doc.find("$archive") : doc.end();
    const auto number = doc.is_object() ? doc.find("$version") : doc.end();
    const auto root = doc.is_object() ? doc.find("$root") : doc.end();
    if (doc.is_discarded() || !doc.is_object() || name == doc.end() || !name->is_string() ||
        name->get_ref<const std::string&>() != kArchiveName || number == doc.end() || !number->is_number_integer() ||
        root == doc.end()) {
        error = "the data is not a keyed archive";
        return nullptr;
    }
    // Compared as the JSON number it is, so that no later version narrows into a known one.
    const bool supported = number->is_number_unsigned()
                               ? number->get<uint64_t>() >= 1 && number->get<uint64_t>() <= KeyedArchiver::kFormatVersion
                               : number->get<int64_t>() >= 1 && number->get<int64_t>() <= KeyedArchiver::kFormatVersion;
    if (!supported) {
        error = "the archive's format version " + number->dump() + " is not supported";
        return nullptr;
    }
    version = number->get<int>();
    return &*root;
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

std::string KeyedArchiver::archivedData(const Coding& root) {
    std::string out = archiveHead();
    out.reserve(1024);
    writeCoding(out, root);
    out += '}';
    return out;
}

std::string KeyedArchiver::archivedData(const std::vector<std::shared_ptr<const Coding>>& roots) {
    std::string out = archiveHead();
    out += '[';
    bool first = true;
    for (const auto& o : roots) {
        if (!o) continue;
        if (!std::exchange(first, false)) out += ',';
        writeCoding(out, *o);
    }
    out += "]}";
    return out;
}

namespace {
void writeKey(KeyedArchiver::Node& node, std::string_view key) {
    if (!std::exchange(node.first, false)) node.out += ',';
    writeString(node.out, key);
    node.out += ':';
}
}  // namespace

void KeyedArchiver::encodeString(const std::optional<std::string>& value, std::string_view key) {
    if (!value) return;
    writeKey(node_, key);
    writeString(node_.out, *value);
}
void KeyedArchiver::encodeInt64(std::optional<int64_t> value, std::string_view key) {
    if (value) encodeValue(Value(*value), key);
}
void KeyedArchiver::encodeDouble(std::optional<double> value, std::string_view key) {
    if (value) encodeValue(Value(*value), key);
}
void KeyedArchiver::encodeBool(std::optional<bool> value, std::string_view key) {
    if (value) encodeValue(Value(*value), key);
}
void KeyedArchiver::encodeDate(std::optional<Date> value, std::string_view key) {
    if (value) encodeValue(Value(*value), key);
}
void KeyedArchiver::encodeBytes(const std::optional<Bytes>& value, std::string_view key) {
    if (value) encodeValue(Value(*value), key);
}
void KeyedArchiver::encodeValue(const Value& value, std::string_view key) {
    if (value.isNull()) return;
    writeKey(node_, key);
    writePlain(node_.out, value);
}
void KeyedArchiver::encodeObject(const Coding* object, std::string_view key) {
    if (!object) return;
    writeKey(node_, key);
    writeCoding(node_.out, *object);
}
void KeyedArchiver::encodeObjects(const std::vector<std::shared_ptr<const Coding>>& objects, std::string_view key) {
    writeKey(node_, key);
    node_.out += '[';
    bool first = true;
    for (const auto& o : objects) {
        if (!o) continue;
        if (!std::exchange(first, false)) node_.out += ',';
        writeCoding(node_.out, *o);
    }
    node_.out += ']';
}

Error keyedArchiveError(const std::string& why) {
    return Error::withDescription(kKeyedArchiveErrorDomain, kKeyedArchiveErrorUnreadable, why);
}

Result<std::shared_ptr<Coding>> KeyedUnarchiver::unarchivedRoot(std::string_view archive) {
    std::string why;
    const Json doc = Json::parse(archive, nullptr, false);
    int version = 0;
    std::shared_ptr<Coding> object;
    if (const Json* root = unwrap(doc, version, why)) object = decodeCodingJson(*root, version, 1, why);
    if (!why.empty()) return keyedArchiveError(why);
    return object;
}

Result<std::vector<std::shared_ptr<Coding>>> KeyedUnarchiver::unarchivedRootList(std::string_view archive) {
    std::string why;
    const Json doc = Json::parse(archive, nullptr, false);
    int version = 0;
    std::vector<std::shared_ptr<Coding>> out;
    if (const Json* root = unwrap(doc, version, why)) {
        if (!root->is_array()) why = "the archive's root is not a list";
        for (size_t i = 0; why.empty() && i < root->size(); ++i) out.push_back(decodeCodingJson((*root)[i], version, 1, why));
    }
    if (!why.empty()) return keyedArchiveError(why);
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
