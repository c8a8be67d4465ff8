#include "crashes/MSErrorLogs.h"

#include <mutex>

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

void setUnsigned(Value& dict, std::string_view key, const std::optional<uint64_t>& v) {
    // Processor numbers are small; the conversion is modular and never undefined.
    if (v) dict.set(key, static_cast<int64_t>(*v));
}

std::optional<uint64_t> decodeUnsigned(platform::KeyedUnarchiver& coder, std::string_view key) {
    auto v = coder.decodeInt64(key);
    return v ? std::optional<uint64_t>(static_cast<uint64_t>(*v)) : std::nullopt;
}

std::optional<int64_t> encodableUnsigned(const std::optional<uint64_t>& v) {
    return v ? std::optional<int64_t>(static_cast<int64_t>(*v)) : std::nullopt;
}

Value toValue(const std::map<std::string, std::string>& map) {
    auto dict = Value::dictionary();
    for (const auto& [k, v] : map) dict.set(k, v);
    return dict;
}

}  // namespace

// ---- MSAbstractErrorLog ----

Value MSAbstractErrorLog::serializeToDictionary() const {
    auto dict = MSLogWithProperties::serializeToDictionary();
    if (errorId) dict.set("id", *errorId);
    if (processId) dict.set("processId", *processId);
    if (processName) dict.set("processName", *processName);
    if (parentProcessId) dict.set("parentProcessId", *parentProcessId);
    if (parentProcessName) dict.set("parentProcessName", *parentProcessName);
    if (errorThreadId) dict.set("errorThreadId", *errorThreadId);
    if (errorThreadName) dict.set("errorThreadName", *errorThreadName);
    dict.set("fatal", fatal);
    if (appLaunchTimestamp) dict.set("appLaunchTimestamp", MSUtility::dateToISO8601(*appLaunchTimestamp));
    if (architecture) dict.set("architecture", *architecture);
    return dict;
}

bool MSAbstractErrorLog::isValid() const {
    return MSLogWithProperties::isValid() && errorId && processId && processName;
}

bool MSAbstractErrorLog::isEqual(const MSSerializableObject& other) const {
    auto* o = dynamic_cast<const MSAbstractErrorLog*>(&other);
    return o && MSLogWithProperties::isEqual(other) && errorId == o->errorId && processId == o->processId &&
           processName == o->processName && parentProcessId == o->parentProcessId &&
           parentProcessName == o->parentProcessName && errorThreadId == o->errorThreadId &&
           errorThreadName == o->errorThreadName && fatal == o->fatal &&
           appLaunchTimestamp == o->appLaunchTimestamp && architecture == o->architecture;
}

void MSAbstractErrorLog::encodeWithCoder(platform::KeyedArchiver& coder) const {
    MSLogWithProperties::encodeWithCoder(coder);
    coder.encodeString(errorId, "id");
    coder.encodeInt64(processId, "processId");
    coder.encodeString(processName, "processName");
    coder.encodeInt64(parentProcessId, "parentProcessId");
    coder.encodeString(parentProcessName, "parentProcessName");
    coder.encodeInt64(errorThreadId, "errorThreadId");
    coder.encodeString(errorThreadName, "errorThreadName");
    coder.encodeBool(fatal, "fatal");
    coder.encodeDate(appLaunchTimestamp, "appLaunchTimestamp");
    coder.encodeString(architecture, "architecture");
}

bool MSAbstractErrorLog::initWithCoder(platform::KeyedUnarchiver& coder) {
    if (!MSLogWithProperties::initWithCoder(coder)) return false;
    errorId = coder.decodeString("id");
    processId = coder.decodeInt64("processId");
    processName = coder.decodeString("processName");
    parentProcessId = coder.decodeInt64("parentProcessId");
    parentProcessName = coder.decodeString("parentProcessName");
    errorThreadId = coder.decodeInt64("errorThreadId");
    errorThreadName = coder.decodeString("errorThreadName");
    fatal = coder.decodeBool("fatal").value_or(false);
    appLaunchTimestamp = coder.decodeDate("appLaunchTimestamp");
    architecture = coder.decodeString("architecture");
    return !coder.failed();
}

// ---- MSAppleErrorLog ----

Value MSAppleErrorLog::serializeToDictionary() const {
    auto dict = MSAbstractErrorLog::serializeToDictionary();
    setUnsigned(dict, "primaryArchitectureId", primaryArchitectureId);
    setUnsigned(dict, "architectureVariantId", architectureVariantId);
    if (applicationPath) dict.set("applicationPath", *applicationPath);
    if (osExceptionType) dict.set("osExceptionType", *osExceptionType);
    if (osExceptionCode) dict.set("osExceptionCode", *osExceptionCode);
    if (osExceptionAddress) dict.set("osExceptionAddress", *osExceptionAddress);
    if (exceptionType) dict.set("exceptionType", *exceptionType);
    if (exceptionReason) dict.set("exceptionReason", *exceptionReason);
    if (selectorRegisterValue) dict.set("selectorRegisterValue", *selectorRegisterValue);
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
    return o && MSAbstractErrorLog::isEqual(other) && primaryArchitectureId == o->primaryArchitectureId &&
           architectureVariantId == o->architectureVariantId && applicationPath == o->applicationPath &&
           osExceptionType == o->osExceptionType && osExceptionCode == o->osExceptionCode &&
           osExceptionAddress == o->osExceptionAddress && exceptionType == o->exceptionType &&
           exceptionReason == o->exceptionReason && selectorRegisterValue == o->selectorRegisterValue &&
           listsEqual(threads, o->threads) && listsEqual(binaries, o->binaries) && registers == o->registers &&
           msObjectsEqual(exception, o->exception);
}

void MSAppleErrorLog::encodeWithCoder(platform::KeyedArchiver& coder) const {
    MSAbstractErrorLog::encodeWithCoder(coder);
    coder.encodeInt64(encodableUnsigned(primaryArchitectureId), "primaryArchitectureId");
    coder.encodeInt64(encodableUnsigned(architectureVariantId), "architectureVariantId");
    coder.encodeString(applicationPath, "applicationPath");
    coder.encodeString(osExceptionType, "osExceptionType");
    coder.encodeString(osExceptionCode, "osExceptionCode");
    coder.encodeString(osExceptionAddress, "osExceptionAddress");
    coder.encodeString(exceptionType, "exceptionType");
    coder.encodeString(exceptionReason, "exceptionReason");
    coder.encodeString(selectorRegisterValue, "selectorRegisterValue");
    encodeList(coder, threads, "threads");
    encodeList(coder, binaries, "binaries");
    if (registers) coder.encodeValue(toValue(*registers), "registers");
    coder.encodeObject(exception.get(), "exception");
}

bool MSAppleErrorLog::initWithCoder(platform::KeyedUnarchiver& coder) {
    if (!MSAbstractErrorLog::initWithCoder(coder)) return false;
    primaryArchitectureId = decodeUnsigned(coder, "primaryArchitectureId");
    architectureVariantId = decodeUnsigned(coder, "architectureVariantId");
    applicationPath = coder.decodeString("applicationPath");
    osExceptionType = coder.decodeString("osExceptionType");
    osExceptionCode = coder.decodeString("osExceptionCode");
    osExceptionAddress = coder.decodeString("osExceptionAddress");
    exceptionType = coder.decodeString("exceptionType");
    exceptionReason = coder.decodeString("exceptionReason");
    selectorRegisterValue = coder.decodeString("selectorRegisterValue");
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
    if (errorId) dict.set("id", *errorId);
    if (exception) dict.set("exception", exception->serializeToDictionary());
    return dict;
}

bool MSHandledErrorLog::isValid() const { return MSLogWithProperties::isValid() && errorId && exception; }

bool MSHandledErrorLog::isEqual(const MSSerializableObject& other) const {
    auto* o = dynamic_cast<const MSHandledErrorLog*>(&other);
    return o && MSLogWithProperties::isEqual(other) && errorId == o->errorId &&
           msObjectsEqual(exception, o->exception);
}

void MSHandledErrorLog::encodeWithCoder(platform::KeyedArchiver& coder) const {
    MSLogWithProperties::encodeWithCoder(coder);
    coder.encodeString(errorId, "id");
    coder.encodeObject(exception.get(), "exception");
}

bool MSHandledErrorLog::initWithCoder(platform::KeyedUnarchiver& coder) {
    if (!MSLogWithProperties::initWithCoder(coder)) return false;
    errorId = coder.decodeString("id");
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
    if (attachmentId) dict.set("id", *attachmentId);
    if (errorId) dict.set("errorId", *errorId);
    if (contentType) dict.set("contentType", *contentType);
    if (filename) dict.set("fileName", *filename);
    if (data) dict.set("data", platform::base64Encode(*data));
    return dict;
}

bool MSErrorAttachmentLog::isValid() const {
    return MSAbstractLog::isValid() && errorId && attachmentId && data && contentType;
}

bool MSErrorAttachmentLog::isEqual(const MSSerializableObject& other) const {
    auto* o = dynamic_cast<const MSErrorAttachmentLog*>(&other);
    return o && MSAbstractLog::isEqual(other) && attachmentId == o->attachmentId && errorId == o->errorId &&
           contentType == o->contentType && filename == o->filename && data == o->data;
}

void MSErrorAttachmentLog::encodeWithCoder(platform::KeyedArchiver& coder) const {
    MSAbstractLog::encodeWithCoder(coder);
    coder.encodeString(attachmentId, "id");
    coder.encodeString(errorId, "errorId");
    coder.encodeString(contentType, "contentType");
    coder.encodeString(filename, "fileName");
    coder.encodeBytes(data, "data");
}

bool MSErrorAttachmentLog::initWithCoder(platform::KeyedUnarchiver& coder) {
    if (!MSAbstractLog::initWithCoder(coder)) return false;
    attachmentId = coder.decodeString("id");
    errorId = coder.decodeString("errorId");
    contentType = coder.decodeString("contentType");
    filename = coder.decodeString("fileName");
    data = coder.decodeBytes("data");
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
