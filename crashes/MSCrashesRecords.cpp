#include "crashes/MSCrashesRecords.h"

namespace quorvane {

using crashes_detail::encodeList;
using crashes_detail::listsEqual;
using crashes_detail::serializeList;
using platform::Value;

const platform::ClassInfo MSStackFrame::kClassInfo{"MSStackFrame", &MSKeyedRecord::kClassInfo};
const platform::ClassInfo MSException::kClassInfo{"MSException", &MSSerializableObject::kClassInfo};
const platform::ClassInfo MSThread::kClassInfo{"MSThread", &MSSerializableObject::kClassInfo};
const platform::ClassInfo MSBinary::kClassInfo{"MSBinary", &MSKeyedRecord::kClassInfo};

const std::vector<MSKeyedRecord::Field>& MSStackFrame::fieldList() const {
    static const auto& fields = *new std::vector<Field>{
        {"address", Value::Type::String},    {"code", Value::Type::String},      {"className", Value::Type::String},
        {"methodName", Value::Type::String}, {"lineNumber", Value::Type::Int},   {"fileName", Value::Type::String},
    };
    return fields;
}

// ---- MSException ----

Value MSException::serializeToDictionary() const {
    auto dict = Value::dictionary();
    if (type) dict.set("type", *type);
    if (message) dict.set("message", *message);
    if (stackTrace) dict.set("stackTrace", *stackTrace);
    if (wrapperSdkName) dict.set("wrapperSdkName", *wrapperSdkName);
    if (frames) dict.set("frames", serializeList(*frames));
    if (innerExceptions) dict.set("innerExceptions", serializeList(*innerExceptions));
    return dict;
}

bool MSException::isValid() const { return type && frames && !frames->empty(); }

bool MSException::isEqual(const MSSerializableObject& other) const {
    auto* o = dynamic_cast<const MSException*>(&other);
    return o && type == o->type && wrapperSdkName == o->wrapperSdkName && message == o->message &&
           listsEqual(frames, o->frames) && listsEqual(innerExceptions, o->innerExceptions) &&
           stackTrace == o->stackTrace;
}

void MSException::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeString(type, "type");
    coder.encodeString(message, "message");
    coder.encodeString(stackTrace, "stackTrace");
    encodeList(coder, frames, "frames");
    encodeList(coder, innerExceptions, "innerExceptions");
    coder.encodeString(wrapperSdkName, "wrapperSdkName");
}

bool MSException::initWithCoder(platform::KeyedUnarchiver& coder) {
    type = coder.decodeString("type");
    message = coder.decodeString("message");
    stackTrace = coder.decodeString("stackTrace");
    frames = coder.decodeObjects<MSStackFrame>("frames");
    innerExceptions = coder.decodeObjects<MSException>("innerExceptions");
    wrapperSdkName = coder.decodeString("wrapperSdkName");
    return !coder.failed();
}

// ---- MSThread ----

Value MSThread::serializeToDictionary() const {
    auto dict = Value::dictionary();
    if (threadId) dict.set("id", *threadId);
    if (name) dict.set("name", *name);
    if (frames) dict.set("frames", serializeList(*frames));
    if (exception) dict.set("exception", exception->serializeToDictionary());
    return dict;
}

bool MSThread::isValid() const { return threadId && frames && !frames->empty(); }

bool MSThread::isEqual(const MSSerializableObject& other) const {
    auto* o = dynamic_cast<const MSThread*>(&other);
    return o && threadId == o->threadId && name == o->name && listsEqual(frames, o->frames) &&
           msObjectsEqual(exception, o->exception);
}

void MSThread::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeInt64(threadId, "id");
    coder.encodeString(name, "name");
    encodeList(coder, frames, "frames");
    coder.encodeObject(exception.get(), "exception");
}

bool MSThread::initWithCoder(platform::KeyedUnarchiver& coder) {
    threadId = coder.decodeInt64("id");
    name = coder.decodeString("name");
    frames = coder.decodeObjects<MSStackFrame>("frames");
    exception = coder.decodeObject<MSException>("exception");
    return !coder.failed();
}

// ---- MSBinary ----

const std::vector<MSKeyedRecord::Field>& MSBinary::fieldList() const {
    static const auto& fields = *new std::vector<Field>{
        {"id", Value::Type::String},
        {"startAddress", Value::Type::String},
        {"endAddress", Value::Type::String},
        {"name", Value::Type::String},
        {"path", Value::Type::String},
        {"architecture", Value::Type::String},
        {"primaryArchitectureId", Value::Type::Int},
        {"architectureVariantId", Value::Type::Int},
    };
    return fields;
}

bool MSBinary::isValid() const {
    return binaryId() && startAddress() && endAddress() && name() && path();
}

}  // namespace quorvane
