#pragma once
// Keyed archiving: objects of registered classes written as a versioned, self-describing
// document and read back with their keys and value types.
//
// Format, version 1 (UTF-8 JSON):
//   {"$archive": "quorvane.keyed", "$version": 1, "$root": <value>}
// where a value is one of
//   null | true | false | <integer> | <string> | [<value>...]
//   {"$double": <number> | "nan" | "inf" | "-inf"}   a double (kept apart from integers)
//   {"$date": <seconds since 2001-01-01 UTC>}         a date
//   {"$data": "<Base64>"}                              bytes
//   {"$dict": {"<key>": <value>, ...}}                 a dictionary of plain values, in order
//   {"$class": "<class name>", "<key>": <value>, ...}  an object: its class and its own keys
// A key absent from an object means the field was absent (none); it is never written as null.
// Readers accept every version up to their own and refuse later ones. Decoding never trusts the
// document: an unknown class, a value of the wrong type under a key, nesting deeper than 64
// levels or text that is not an archive makes the whole decode fail with a message.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/ClassInfo.h"
#include "platform/foundation/Result.h"
#include "platform/foundation/Value.h"

namespace quorvane::platform {

class KeyedArchiver;
class KeyedUnarchiver;

// An object that archives itself with keys.
class Coding {
public:
    virtual ~Coding() = default;
    virtual const ClassInfo& classInfo() const = 0;
    virtual void encodeWithCoder(KeyedArchiver& coder) const = 0;
    // Restores the fields from the coder; a missing optional key is not an error. Returns false
    // (or leaves coder.failed() set) when the archive is not usable.
    virtual bool initWithCoder(KeyedUnarchiver& coder) = 0;
};

// The classes an archive may name. Register each class once (under std::call_once).
class ArchiveClassRegistry {
public:
    using Factory = std::function<std::shared_ptr<Coding>()>;
    static void registerClass(const ClassInfo& info, Factory factory);
    static Factory factoryForName(std::string_view name);
};

class KeyedArchiver {
public:
    static constexpr int kFormatVersion = 1;

    // The archive of a root object or of a list of objects.
    static std::string archivedData(const Coding& root);
    static std::string archivedData(const std::vector<std::shared_ptr<const Coding>>& roots);

    void encodeString(const std::optional<std::string>& value, std::string_view key);
    void encodeInt64(std::optional<int64_t> value, std::string_view key);
    void encodeDouble(std::optional<double> value, std::string_view key);
    void encodeBool(std::optional<bool> value, std::string_view key);
    void encodeDate(std::optional<Date> value, std::string_view key);
    void encodeBytes(const std::optional<Bytes>& value, std::string_view key);
    // A plain value (dictionaries, arrays, strings, numbers, dates, bytes); null is not written.
    void encodeValue(const Value& value, std::string_view key);
    // An object (nullptr is not written), or a list of objects.
    void encodeObject(const Coding* object, std::string_view key);
    void encodeObjects(const std::vector<std::shared_ptr<const Coding>>& objects, std::string_view key);

    struct Node;  // the document being built
    explicit KeyedArchiver(Node& node) : node_(node) {}

private:
    Node& node_;
};

// Archives that cannot be read: the description says what is wrong with them.
inline constexpr const char* kKeyedArchiveErrorDomain = "com.quorvane.KeyedArchive";
inline constexpr int64_t kKeyedArchiveErrorUnreadable = 1;
Error keyedArchiveError(const std::string& why);

class KeyedUnarchiver {
public:
    // The root object of an archive, when it is of class T (or a subclass); never null on
    // success. A kKeyedArchiveErrorDomain error saying what is wrong for anything else.
    template <class T>
    static Result<std::shared_ptr<T>> unarchivedObject(std::string_view archive) {
        auto root = unarchivedRoot(archive);
        if (!root) return root.error();
        auto object = std::dynamic_pointer_cast<T>(std::move(*root));
        if (!object) return keyedArchiveError("the archive's root object is of another class");
        return object;
    }
    // The root list of objects, each of class T; an error when any of them is not.
    template <class T>
    static Result<std::vector<std::shared_ptr<T>>> unarchivedObjects(std::string_view archive) {
        auto objects = unarchivedRootList(archive);
        if (!objects) return objects.error();
        std::vector<std::shared_ptr<T>> out;
        for (auto& o : *objects) {
            auto typed = std::dynamic_pointer_cast<T>(o);
            if (!typed) return keyedArchiveError("an object of the archive's list is of another class");
            out.push_back(std::move(typed));
        }
        return out;
    }

    bool containsValueForKey(std::string_view key) const;
    // Each answers nullopt when the key is absent; a value of another type fails the decode.
    std::optional<std::string> decodeString(std::string_view key);
    std::optional<int64_t> decodeInt64(std::string_view key);
    std::optional<double> decodeDouble(std::string_view key);
    std::optional<bool> decodeBool(std::string_view key);
    std::optional<Date> decodeDate(std::string_view key);
    std::optional<Bytes> decodeBytes(std::string_view key);
    std::optional<Value> decodeValue(std::string_view key);
    template <class T>
    std::shared_ptr<T> decodeObject(std::string_view key) {
        auto object = decodeCoding(key);
        auto typed = std::dynamic_pointer_cast<T>(object);
        if (object && !typed) fail(std::string("the object under \"") + std::string(key) + "\" is of another class");
        return typed;
    }
    template <class T>
    std::optional<std::vector<std::shared_ptr<T>>> decodeObjects(std::string_view key) {
        auto objects = decodeCodings(key);
        if (!objects) return std::nullopt;
        std::vector<std::shared_ptr<T>> out;
        for (auto& o : *objects) {
            auto typed = std::dynamic_pointer_cast<T>(o);
            if (!typed) {
                fail(std::string("an object under \"") + std::string(key) + "\" is of another class");
                return std::nullopt;
            }
            out.push_back(std::move(typed));
        }
        return out;
    }

    // Marks the decode as failed (the first message is kept).
    void fail(std::string message);
    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }
    // The version of the archive being read.
    int formatVersion() const { return version_; }

    struct Node;
    KeyedUnarchiver(const Node& node, int version, int depth, std::string& error)
        : node_(node), version_(version), depth_(depth), error_(error) {}

private:
    static Result<std::shared_ptr<Coding>> unarchivedRoot(std::string_view archive);
    static Result<std::vector<std::shared_ptr<Coding>>> unarchivedRootList(std::string_view archive);
    std::shared_ptr<Coding> decodeCoding(std::string_view key);
    std::optional<std::vector<std::shared_ptr<Coding>>> decodeCodings(std::string_view key);

    const Node& node_;
    int version_;
    int depth_;
    std::string& error_;
};

}  // namespace quorvane::platform
