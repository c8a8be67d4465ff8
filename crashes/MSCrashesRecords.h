#pragma once
// The records nested inside error logs: stack frames, exceptions, threads and binary images.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "telemetry/MSFieldRecord.h"

namespace quorvane {

// One frame of a stack: an address and a symbol text, or a wrapper SDK's class, method and line.
class MSStackFrame : public MSKeyedRecord {
    MS_CODING_CLASS()
public:
    MS_STRING_FIELD(address, setAddress)
    MS_STRING_FIELD(code, setCode)
    MS_STRING_FIELD(className, setClassName)
    MS_STRING_FIELD(methodName, setMethodName)
    std::optional<int64_t> lineNumber() const { return integer("lineNumber"); }
    void setLineNumber(std::optional<int64_t> v) { setField("lineNumber", v ? platform::Value(*v) : platform::Value()); }
    MS_STRING_FIELD(fileName, setFileName)

protected:
    const std::vector<Field>& fieldList() const override;
};

// An exception with its type, message, frames and the exceptions that caused it.
class MSException : public MSFieldRecord<MSException, MSSerializableObject> {
    MS_CODING_CLASS()
public:
    std::optional<std::string> type;
    std::optional<std::string> message;
    std::optional<std::string> stackTrace;
    std::optional<std::vector<std::shared_ptr<MSStackFrame>>> frames;
    std::optional<std::vector<std::shared_ptr<MSException>>> innerExceptions;
    std::optional<std::string> wrapperSdkName;

    // JSON: "type", "message", "stackTrace", "wrapperSdkName", "frames", "innerExceptions"; the
    // archive keeps "wrapperSdkName" last.
    static const MSFieldTable<MSException>& fields();
    // A type and at least one frame.
    bool isValid() const;
};

// One thread of a crashed process; the crashed thread may carry the exception that ended it.
class MSThread : public MSFieldRecord<MSThread, MSSerializableObject> {
    MS_CODING_CLASS()
public:
    std::optional<int64_t> threadId;
    std::optional<std::string> name;
    // A new thread starts with an empty list; a decoded one has none when its archive had none.
    std::optional<std::vector<std::shared_ptr<MSStackFrame>>> frames{std::in_place};
    std::shared_ptr<MSException> exception;

    // "id", "name", "frames", "exception".
    static const MSFieldTable<MSThread>& fields();
    // An id and at least one frame.
    bool isValid() const;
};

// One binary image loaded in the crashed process.
class MSBinary : public MSKeyedRecord {
    MS_CODING_CLASS()
public:
    std::optional<std::string> binaryId() const { return string("id"); }
    void setBinaryId(std::optional<std::string> v) { setString("id", std::move(v)); }
    MS_STRING_FIELD(startAddress, setStartAddress)
    MS_STRING_FIELD(endAddress, setEndAddress)
    MS_STRING_FIELD(name, setName)
    MS_STRING_FIELD(path, setPath)
    MS_STRING_FIELD(architecture, setArchitecture)
    std::optional<uint64_t> primaryArchitectureId() const { return unsignedField("primaryArchitectureId"); }
    void setPrimaryArchitectureId(std::optional<uint64_t> v) { setUnsigned("primaryArchitectureId", v); }
    std::optional<uint64_t> architectureVariantId() const { return unsignedField("architectureVariantId"); }
    void setArchitectureVariantId(std::optional<uint64_t> v) { setUnsigned("architectureVariantId", v); }

    // The id, both addresses, the name and the path are present (the empty string counts).
    bool isValid() const;

protected:
    const std::vector<Field>& fieldList() const override;

private:
    std::optional<uint64_t> unsignedField(std::string_view key) const {
        auto v = integer(key);
        return v ? std::optional<uint64_t>(static_cast<uint64_t>(*v)) : std::nullopt;
    }
    void setUnsigned(std::string_view key, std::optional<uint64_t> v) {
        setField(key, v ? platform::Value(static_cast<int64_t>(*v)) : platform::Value());
    }
};

}  // namespace quorvane
