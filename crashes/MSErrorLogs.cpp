#include "crashes/MSErrorLogs.h"

#include <initializer_list>
#include <mutex>
#include <type_traits>
#include <variant>

#include "crashes/MSWrapperException.h"
#include "platform/foundation/Base64.h"
#include "platform/foundation/UUID.h"
#include "telemetry/MSTelemetryClasses.h"
#include "telemetry/MSUtility.h"

namespace quorvane {

using crashes_detail::encodeList;
using crashes_detail::listsEqual;
using crashes_detail::serializeList;
using platform::Value;

const platform::ClassInfo MSAbstractErrorLog::kClassInfo{"MSAbstractErrorLog", &MSLogWithProperties::kClassInfo};
const platform::ClassInfo MSAppleErrorLog::kClassInfo{"MSAppleErrorLog", &MSAbstractErrorLog::kClassInfo};
const platform::ClassInfo MSHandledErrorLog::kClassInfo{"MSHandledErrorLog", &MSLogWithProperties::kClassInfo};
const platform::ClassInfo MSErrorAttachmentLog::kClassInfo{"MSErrorAttachmentLog", &MSAbstractLog::kClassInfo};

namespace {

// One plain field of a log under its key: how it is serialised, compared, archived and read back
// is decided by its type, so each log lists its fields once. Absent fields are left out
// everywhere; a bool is always present.
template <class Log>
struct LogField {
    const char* key;
    std::variant<std::optional<std::string> Log::*, std::optional<int64_t> Log::*,
                 std::optional<uint64_t> Log::*, std::optional<platform::Date> Log::*,
                 std::optional<platform::Bytes> Log::*, bool Log::*>
        member;
};

template <class Log>
using LogFields = std::initializer_list<LogField<Log>>;

Value jsonValue(const std::string& v) { return Value(v); }
Value jsonValue(int64_t v) { return Value(v); }
// Processor numbers are small; the conversion is modular and never undefined.
Value jsonValue(uint64_t v) { return Value(static_cast<int64_t>(v)); }
Value jsonValue(const platform::Date& v) { return Value(MSUtility::dateToISO8601(v)); }
Value jsonValue(const platform::Bytes& v) { return Value(platform::base64Encode(v)); }

template <class Log>
void serializeFields(const Log& log, Value& dict, LogFields<Log> fields) {
    for (const auto& f : fields) {
        std::visit(
            [&](auto member) {
                const auto& v = log.*member;
                if constexpr (std::is_same_v<std::decay_t<decltype(v)>, bool>) {
                    dict.set(f.key, v);
                } else if (v) {
                    dict.set(f.key, jsonValue(*v));
                }
            },
            f.member);
    }
}

template <class Log>
bool fieldsEqual(const Log& a, const Log& b, LogFields<Log> fields) {
    for (const auto& f : fields) {
        if (!std::visit([&](auto member) { return a.*member == b.*member; }, f.member)) return false;
    }
    return true;
}

void encodeField(platform::KeyedArchiver& coder, const char* key, const std::optional<std::string>& v) {
    coder.encodeString(v, key);
}
void encodeField(platform::KeyedArchiver& coder, const char* key, const std::optional<int64_t>& v) {
    coder.encodeInt64(v, key);
}
void encodeField(platform::KeyedArchiver& coder, const char* key, const std::optional<uint64_t>& v) {
    coder.encodeInt64(v ? std::optional<int64_t>(static_cast<int64_t>(*v)) : std::nullopt, key);
}
void encodeField(platform::KeyedArchiver& coder, const char* key, const std::optional<platform::Date>& v) {
    coder.encodeDate(v, key);
}
void encodeField(platform::KeyedArchiver& coder, const char* key, const std::optional<platform::Bytes>& v) {
    coder.encodeBytes(v, key);
}
void encodeField(platform::KeyedArchiver& coder, const char* key, bool v) { coder.encodeBool(v, key); }

void decodeField(platform::KeyedUnarchiver& coder, const char* key, std::optional<std::string>& v) {
    v = coder.decodeString(key);
}
void decodeField(platform::KeyedUnarchiver& coder, const char* key, std::optional<int64_t>& v) {
    v = coder.decodeInt64(key);
}
void decodeField(platform::KeyedUnarchiver& coder, const char* key, std::optional<uint64_t>& v) {
    auto i = coder.decodeInt64(key);
    v = i ? std::optional<uint64_t>(static_cast<uint64_t>(*i)) : std::nullopt;
}
void decodeField(platform::KeyedUnarchiver& coder, const char* key, std::optional<platform::Date>& v) {
    v = coder.decodeDate(key);
}
void decodeField(platform::KeyedUnarchiver& coder, const char* key, std::optional<platform::Bytes>& v) {
    v = coder.decodeBytes(key);
}
void decodeField(platform::KeyedUnarchiver& coder, const char* key, bool& v) {
    v = coder.decodeBool(key).value_or(false);
}

template <class Log>
void encodeFields(const Log& log, platform::KeyedArchiver& coder, LogFields<Log> fields) {
    for (const auto& f : fields) std::visit([&](auto member) { encodeField(coder, f.key, log.*member); }, f.member);
}

template <class Log>
void decodeFields(Log& log, platform::KeyedUnarchiver& coder, LogFields<Log> fields) {
    for (const auto& f : fields) std::visit([&](auto member) { decodeField(coder, f.key, log.*member); }, f.member);
}

Value toValue(const std::map<std::string, std::string>& map) {
    auto dict = Value::dictionary();
    for (const auto& [k, v] : map) dict.set(k, v);
    return dict;
}

const LogFields<MSAbstractErrorLog> kAbstractErrorLogFields = {
    {"id", &MSAbstractErrorLog::errorId},
    {"processId", &MSAbstractErrorLog::processId},
    {"processName", &MSAbstractErrorLog::processName},
    {"parentProcessId", &MSAbstractErrorLog::parentProcessId},
    {"parentProcessName", &MSAbstractErrorLog::parentProcessName},
    {"errorThreadId", &MSAbstractErrorLog::errorThreadId},
    {"errorThreadName", &MSAbstractErrorLog::errorThreadName},
    {"fatal", &MSAbstractErrorLog::fatal},
    {"appLaunchTimestamp", &MSAbstractErrorLog::appLaunchTimestamp},
    {"architecture", &MSAbstractErrorLog::architecture},
};

// The plain fields; threads, binaries, registers and the exception follow them.
const LogFields<MSAppleErrorLog> kAppleErrorLogFields = {
    {"primaryArchitectureId", &MSAppleErrorLog::primaryArchitectureId},
    {"architectureVariantId", &MSAppleErrorLog::architectureVariantId},
    {"applicationPath", &MSAppleErrorLog::applicationPath},
    {"osExceptionType", &MSAppleErrorLog::osExceptionType},
    {"osExceptionCode", &MSAppleErrorLog::osExceptionCode},
    {"osExceptionAddress", &MSAppleErrorLog::osExceptionAddress},
    {"exceptionType", &MSAppleErrorLog::exceptionType},
    {"exceptionReason", &MSAppleErrorLog::exceptionReason},
    {"selectorRegisterValue", &MSAppleErrorLog::selectorRegisterValue},
};

const LogFields<MSHandledErrorLog> kHandledErrorLogFields = {{"id", &MSHandledErrorLog::errorId}};

const LogFields<MSErrorAttachmentLog> kErrorAttachmentLogFields = {
    {"id", &MSErrorAttachmentLog::attachmentId},
    {"errorId", &MSErrorAttachmentLog::errorId},
    {"contentType", &MSErrorAttachmentLog::contentType},
    {"fileName", &MSErrorAttachmentLog::filename},
    {"data", &MSErrorAttachmentLog::data},
};

}  // namespace

// ---- MSAbstractErrorLog ----

Value MSAbstractErrorLog::serializeToDictionary() const {
    auto dict = MSLogWithProperties::serializeToDictionary();
    serializeFields(*this, dict, kAbstractErrorLogFields);
    return dict;
}

bool MSAbstractErrorLog::isValid() const {
    return MSLogWithProperties::isValid() && errorId && processId && processName;
}

bool MSAbstractErrorLog::isEqual(const MSSerializableObject& other) const {
    auto* o = dynamic_cast<const MSAbstractErrorLog*>(&other);
    return o && MSLogWithProperties::isEqual(other) && fieldsEqual(*this, *o, kAbstractErrorLogFields);
}

void MSAbstractErrorLog::encodeWithCoder(platform::KeyedArchiver& coder) const {
    MSLogWithProperties::encodeWithCoder(coder);
    encodeFields(*this, coder, kAbstractErrorLogFields);
}

bool MSAbstractErrorLog::initWithCoder(platform::KeyedUnarchiver& coder) {
    if (!MSLogWithProperties::initWithCoder(coder)) return false;
    decodeFields(*this, coder, kAbstractErrorLogFields);
    return !coder.failed();
}

// ---- MSAppleErrorLog ----

Value MSAppleErrorLog::serializeToDictionary() const {
    auto dict = MSAbstractErrorLog::serializeToDictionary();
    serializeFields(*this, dict, kAppleErrorLogFields);
    if (threads) dict.set("threads", serializeList(*threads));
    if (binaries) dict.set("binaries", serializeList(*binaries));
    if (registers) dict.set("registers", toValue(*registers));
    if (exception) dict.set("exception", exception->serializeToDictionary());
    return dict;
}

bool MSAppleErrorLog::isValid() const {
    return MSAbstractErrorLog::isValid() && primaryArchitectureId && applicationPath && osExceptionType &&
           osExceptionCode && osExceptionAddress;
}

bool MSAppleErrorLog::isEqual(const MSSerializableObject& other) const {
    auto* o = dynamic_cast<const MSAppleErrorLog*>(&other);
    return o && MSAbstractErrorLog::isEqual(other) && fieldsEqual(*this, *o, kAppleErrorLogFields) &&
           listsEqual(threads, o->threads) && listsEqual(binaries, o->binaries) && registers == o->registers &&
           msObjectsEqual(exception, o->exception);
}

void MSAppleErrorLog::encodeWithCoder(platform::KeyedArchiver& coder) const {
    MSAbstractErrorLog::encodeWithCoder(coder);
    encodeFields(*this, coder, kAppleErrorLogFields);
    encodeList(coder, threads, "threads");
    encodeList(coder, binaries, "binaries");
    if (registers) coder.encodeValue(toValue(*registers), "registers");
    coder.encodeObject(exception.get(), "exception");
}

bool MSAppleErrorLog::initWithCoder(platform::KeyedUnarchiver& coder) {
    if (!MSAbstractErrorLog::initWithCoder(coder)) return false;
    decodeFields(*this, coder, kAppleErrorLogFields);
    threads = coder.decodeObjects<MSThread>("threads");
    binaries = coder.decodeObjects<MSBinary>("binaries");
    registers.reset();
    if (auto r = coder.decodeValue("registers")) {
        if (!r->isDictionary()) {
            coder.fail("the registers of a crash log are not a dictionary");
            return false;
        }
        registers.emplace();
        for (const auto& [name, value] : r->asDictionary()) {
            if (!value.isString()) {
                coder.fail("a register value of a crash log is not a string");
                return false;
            }
            (*registers)[name] = value.asString();
        }
    }
    exception = coder.decodeObject<MSException>("exception");
    return !coder.failed();
}

// ---- MSHandledErrorLog ----

Value MSHandledErrorLog::serializeToDictionary() const {
    auto dict = MSLogWithProperties::serializeToDictionary();
    serializeFields(*this, dict, kHandledErrorLogFields);
    if (exception) dict.set("exception", exception->serializeToDictionary());
    return dict;
}

bool MSHandledErrorLog::isValid() const { return MSLogWithProperties::isValid() && errorId && exception; }

bool MSHandledErrorLog::isEqual(const MSSerializableObject& other) const {
    auto* o = dynamic_cast<const MSHandledErrorLog*>(&other);
    return o && MSLogWithProperties::isEqual(other) && fieldsEqual(*this, *o, kHandledErrorLogFields) &&
           msObjectsEqual(exception, o->exception);
}

void MSHandledErrorLog::encodeWithCoder(platform::KeyedArchiver& coder) const {
    MSLogWithProperties::encodeWithCoder(coder);
    encodeFields(*this, coder, kHandledErrorLogFields);
    coder.encodeObject(exception.get(), "exception");
}

bool MSHandledErrorLog::initWithCoder(platform::KeyedUnarchiver& coder) {
    if (!MSLogWithProperties::initWithCoder(coder)) return false;
    decodeFields(*this, coder, kHandledErrorLogFields);
    exception = coder.decodeObject<MSException>("exception");
    return !coder.failed();
}

// ---- MSErrorAttachmentLog ----

MSErrorAttachmentLog::MSErrorAttachmentLog() : attachmentId(platform::UUID().uuidString()) { type = "errorAttachment"; }

MSErrorAttachmentLog::MSErrorAttachmentLog(std::optional<std::string> filename, std::optional<platform::Bytes> data,
                                           std::optional<std::string> contentType)
    : MSErrorAttachmentLog() {
    this->filename = std::move(filename);
    this->data = std::move(data);
    this->contentType = std::move(contentType);
}

MSErrorAttachmentLog::MSErrorAttachmentLog(std::optional<std::string> filename, const std::optional<std::string>& text)
    : MSErrorAttachmentLog(std::move(filename),
                           text ? std::optional<platform::Bytes>(platform::Bytes(text->begin(), text->end()))
                                : std::nullopt,
                           std::string("text/plain")) {}

std::shared_ptr<MSErrorAttachmentLog> MSErrorAttachmentLog::attachmentWithText(const std::optional<std::string>& text,
                                                                               std::optional<std::string> filename) {
    return std::make_shared<MSErrorAttachmentLog>(std::move(filename), text);
}

std::shared_ptr<MSErrorAttachmentLog> MSErrorAttachmentLog::attachmentWithBinary(
    std::optional<platform::Bytes> data, std::optional<std::string> filename, std::optional<std::string> contentType) {
    return std::make_shared<MSErrorAttachmentLog>(std::move(filename), std::move(data), std::move(contentType));
}

Value MSErrorAttachmentLog::serializeToDictionary() const {
    auto dict = MSAbstractLog::serializeToDictionary();
    serializeFields(*this, dict, kErrorAttachmentLogFields);
    return dict;
}

bool MSErrorAttachmentLog::isValid() const {
    return MSAbstractLog::isValid() && errorId && attachmentId && data && contentType;
}

bool MSErrorAttachmentLog::isEqual(const MSSerializableObject& other) const {
    auto* o = dynamic_cast<const MSErrorAttachmentLog*>(&other);
    return o && MSAbstractLog::isEqual(other) && fieldsEqual(*this, *o, kErrorAttachmentLogFields);
}

void MSErrorAttachmentLog::encodeWithCoder(platform::KeyedArchiver& coder) const {
    MSAbstractLog::encodeWithCoder(coder);
    encodeFields(*this, coder, kErrorAttachmentLogFields);
}

bool MSErrorAttachmentLog::initWithCoder(platform::KeyedUnarchiver& coder) {
    if (!MSAbstractLog::initWithCoder(coder)) return false;
    decodeFields(*this, coder, kErrorAttachmentLogFields);
    return !coder.failed();
}

// ---- MSErrorReport ----

bool MSErrorReport::isAppKill() const {
    if (!signal_) return false;
    std::string upper = *signal_;
    for (auto& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return upper == "SIGKILL";
}

// ---- class registry ----

namespace {
template <class... Classes>
void registerAll() {
    (platform::ArchiveClassRegistry::registerClass(Classes::kClassInfo, [] { return std::make_shared<Classes>(); }),
     ...);
}
}  // namespace

void registerCrashesClasses() {
    registerTelemetryClasses();
    static std::once_flag once;
    std::call_once(once, [] {
        registerAll<MSAbstractErrorLog, MSAppleErrorLog, MSHandledErrorLog, MSErrorAttachmentLog, MSThread,
                    MSStackFrame, MSException, MSBinary, MSWrapperException>();
    });
}

}  // namespace quorvane
