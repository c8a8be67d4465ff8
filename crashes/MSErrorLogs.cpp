#include "crashes/MSErrorLogs.h"

#include <mutex>

#include "crashes/MSWrapperException.h"
#include "platform/foundation/UUID.h"
#include "telemetry/MSTelemetryClasses.h"
#include "telemetry/MSUtility.h"

namespace quorvane {


const platform::ClassInfo MSAbstractErrorLog::kClassInfo{"MSAbstractErrorLog", &MSLogWithProperties::kClassInfo};
const platform::ClassInfo MSAppleErrorLog::kClassInfo{"MSAppleErrorLog", &MSAbstractErrorLog::kClassInfo};
const platform::ClassInfo MSHandledErrorLog::kClassInfo{"MSHandledErrorLog", &MSLogWithProperties::kClassInfo};
const platform::ClassInfo MSErrorAttachmentLog::kClassInfo{"MSErrorAttachmentLog", &MSAbstractLog::kClassInfo};

const MSFieldTable<MSAbstractErrorLog>& MSAbstractErrorLog::fields() {
    static const auto& table = *new MSFieldTable<MSAbstractErrorLog>{
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
    return table;
}

bool MSAbstractErrorLog::isValid() const {
    return MSLogWithProperties::isValid() && errorId && processId && processName;
}

// ---- MSAppleErrorLog ----

const MSFieldTable<MSAppleErrorLog>& MSAppleErrorLog::fields() {
    static const auto& table = *new MSFieldTable<MSAppleErrorLog>{
        {"primaryArchitectureId", &MSAppleErrorLog::primaryArchitectureId},
        {"architectureVariantId", &MSAppleErrorLog::architectureVariantId},
        {"applicationPath", &MSAppleErrorLog::applicationPath},
        {"osExceptionType", &MSAppleErrorLog::osExceptionType},
        {"osExceptionCode", &MSAppleErrorLog::osExceptionCode},
        {"osExceptionAddress", &MSAppleErrorLog::osExceptionAddress},
        {"exceptionType", &MSAppleErrorLog::exceptionType},
        {"exceptionReason", &MSAppleErrorLog::exceptionReason},
        {"selectorRegisterValue", &MSAppleErrorLog::selectorRegisterValue},
        {"threads", &MSAppleErrorLog::threads},
        {"binaries", &MSAppleErrorLog::binaries},
        {"registers", &MSAppleErrorLog::registers},
        {"exception", &MSAppleErrorLog::exception},
    };
    return table;
}

bool MSAppleErrorLog::isValid() const {
    return MSAbstractErrorLog::isValid() && primaryArchitectureId && applicationPath && osExceptionType &&
           osExceptionCode && osExceptionAddress;
}

// ---- MSHandledErrorLog ----

const MSFieldTable<MSHandledErrorLog>& MSHandledErrorLog::fields() {
    static const auto& table = *new MSFieldTable<MSHandledErrorLog>{
        {"id", &MSHandledErrorLog::errorId},
        {"exception", &MSHandledErrorLog::exception},
    };
    return table;
}

bool MSHandledErrorLog::isValid() const { return MSLogWithProperties::isValid() && errorId && exception; }

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

const MSFieldTable<MSErrorAttachmentLog>& MSErrorAttachmentLog::fields() {
    static const auto& table = *new MSFieldTable<MSErrorAttachmentLog>{
        {"id", &MSErrorAttachmentLog::attachmentId},
        {"errorId", &MSErrorAttachmentLog::errorId},
        {"contentType", &MSErrorAttachmentLog::contentType},
        {"fileName", &MSErrorAttachmentLog::filename},
        {"data", &MSErrorAttachmentLog::data},
    };
    return table;
}

bool MSErrorAttachmentLog::isValid() const {
    return MSAbstractLog::isValid() && errorId && attachmentId && data && contentType;
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
