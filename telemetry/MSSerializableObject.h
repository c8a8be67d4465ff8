#pragma once
// Records that archive with keys and turn into JSON-ready dictionaries, and the common base of
// the small records whose fields are plain values under fixed keys.

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/ClassInfo.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Value.h"

namespace quorvane {

class MSSerializableObject : public platform::Coding {
public:
    static const platform::ClassInfo kClassInfo;
    virtual platform::Value serializeToDictionary() const = 0;
    // Field by field; only objects of the same kind can be equal.
    virtual bool isEqual(const MSSerializableObject& other) const = 0;
};

// Both absent, or both present and equal.
template <class T>
bool msObjectsEqual(const std::shared_ptr<T>& a, const std::shared_ptr<T>& b) {
    if (!a || !b) return !a && !b;
    return a->isEqual(*b);
}

// A record of plain values under fixed keys: only present fields are serialised and archived.
class MSKeyedRecord : public MSSerializableObject {
public:
    static const platform::ClassInfo kClassInfo;
    struct Field {
        const char* key;
        platform::Value::Type type;
    };

    platform::Value serializeToDictionary() const override;
    bool isEqual(const MSSerializableObject& other) const override;
    void encodeWithCoder(platform::KeyedArchiver& coder) const override;
    bool initWithCoder(platform::KeyedUnarchiver& coder) override;

    // The field's value, or null when absent.
    const platform::Value& field(std::string_view key) const { return fields_[key]; }
    // Sets the field; a null value removes it.
    void setField(std::string_view key, platform::Value value);

protected:
    virtual const std::vector<Field>& fieldList() const = 0;
    std::optional<std::string> string(std::string_view key) const { return fields_[key].stringValue(); }
    void setString(std::string_view key, std::optional<std::string> v) {
        setField(key, v ? platform::Value(std::move(*v)) : platform::Value());
    }
    std::optional<int64_t> integer(std::string_view key) const {
        return fields_[key].isInt() ? std::optional<int64_t>(fields_[key].asInt()) : std::nullopt;
    }

private:
    platform::Value fields_ = platform::Value::dictionary();
};

}  // namespace quorvane

// The class record of an archivable class.
#define MS_CODING_CLASS()                                 \
public:                                                   \
    static const ::quorvane::platform::ClassInfo kClassInfo; \
    const ::quorvane::platform::ClassInfo& classInfo() const override { return kClassInfo; }

// A string field of a keyed record: name() and setter(v).
#define MS_STRING_FIELD(name, setter)                                                       \
    std::optional<std::string> name() const { return string(#name); }                      \
    void setter(std::optional<std::string> v) { setString(#name, std::move(v)); }
