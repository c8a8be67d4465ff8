#include "crashes/MSCrashesRecords.h"

namespace quorvane {

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

const MSFieldTable<MSException>& MSException::fields() {
    static const auto& table = *new MSFieldTable<MSException>{
        {"type", &MSException::type},
        {"message", &MSException::message},
        {"stackTrace", &MSException::stackTrace},
        {"frames", &MSException::frames},
        {"innerExceptions", &MSException::innerExceptions},
        {"wrapperSdkName", &MSException::wrapperSdkName, {.jsonBefore = "frames"}},
    };
    return table;
}

bool MSException::isValid() const { return type && frames && !frames->empty(); }

// ---- MSThread ----

const MSFieldTable<MSThread>& MSThread::fields() {
    static const auto& table = *new MSFieldTable<MSThread>{
        {"id", &MSThread::threadId},
        {"name", &MSThread::name},
        {"frames", &MSThread::frames},
        {"exception", &MSThread::exception},
    };
    return table;
}

bool MSThread::isValid() const { return threadId && frames && !frames->empty(); }

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
