#pragma once
// The error logs of crash reporting: the common base, the crash log ("appleError"), the handled
// error log ("handledError") and the attachment log ("errorAttachment"); and the error report
// handed to the application.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crashes/MSCrashesRecords.h"
#include "telemetry/MSLogWithProperties.h"

namespace quorvane {

// The identity of an error and of the process and thread it struck. Sets no log type.
class MSAbstractErrorLog : public MSFieldRecord<MSAbstractErrorLog, MSLogWithProperties> {
    MS_CODING_CLASS()
public:
    std::optional<std::string> errorId;
    std::optional<int64_t> processId;
    std::optional<std::string> processName;
    std::optional<int64_t> parentProcessId;
    std::optional<std::string> parentProcessName;
    std::optional<int64_t> errorThreadId;
    std::optional<std::string> errorThreadName;
    bool fatal = false;
    std::optional<platform::Date> appLaunchTimestamp;
    std::optional<std::string> architecture;

    bool isFatal() const { return fatal; }

    // The base keys, then "id", "processId", "processName", "parentProcessId",
    // "parentProcessName", "errorThreadId", "errorThreadName" when present, "fatal" always,
    // "appLaunchTimestamp" and "architecture" when present.
    static const MSFieldTable<MSAbstractErrorLog>& fields();
    // A valid base log with an error id, a process id and a process name.
    bool isValid() const override;
};

// The log of one crash.
class MSAppleErrorLog : public MSFieldRecord<MSAppleErrorLog, MSAbstractErrorLog>, public MSNoAutoAssignSessionIdLog {
    MS_CODING_CLASS()
public:
    MSAppleErrorLog() { type = "appleError"; }

    std::optional<uint64_t> primaryArchitectureId;
    std::optional<uint64_t> architectureVariantId;
    std::optional<std::string> applicationPath;
    std::optional<std::string> osExceptionType;
    std::optional<std::string> osExceptionCode;
    std::optional<std::string> osExceptionAddress;
    std::optional<std::string> exceptionType;
    std::optional<std::string> exceptionReason;
    std::optional<std::string> selectorRegisterValue;
    std::optional<std::vector<std::shared_ptr<MSThread>>> threads;
    std::optional<std::vector<std::shared_ptr<MSBinary>>> binaries;
    std::optional<std::map<std::string, std::string>> registers;
    std::shared_ptr<MSException> exception;

    // The base keys, then the fields above in order, each when present.
    static const MSFieldTable<MSAppleErrorLog>& fields();
    // A valid error log with the primary architecture, the application path and the three
    // operating-system exception texts; threads, binaries, registers and exception are not looked at.
    bool isValid() const override;
};

// An error the application caught and reports without crashing.
class MSHandledErrorLog : public MSFieldRecord<MSHandledErrorLog, MSLogWithProperties> {
    MS_CODING_CLASS()
public:
    MSHandledErrorLog() { type = "handledError"; }

    std::optional<std::string> errorId;
    std::shared_ptr<MSException> exception;

    // The base keys, then "id" and "exception".
    static const MSFieldTable<MSHandledErrorLog>& fields();
    // A valid base log with an error id and an exception (whatever the exception holds).
    bool isValid() const override;
};

// A text or binary attachment of one error report, sent as a log of its own.
class MSErrorAttachmentLog : public MSFieldRecord<MSErrorAttachmentLog, MSAbstractLog> {
    MS_CODING_CLASS()
public:
    // A new attachment id (upper-case UUID text).
    MSErrorAttachmentLog();
    MSErrorAttachmentLog(std::optional<std::string> filename, std::optional<platform::Bytes> data,
                         std::optional<std::string> contentType);
    // The text's UTF-8 bytes as "text/plain".
    MSErrorAttachmentLog(std::optional<std::string> filename, const std::optional<std::string>& text);

    static std::shared_ptr<MSErrorAttachmentLog> attachmentWithText(const std::optional<std::string>& text,
                                                                    std::optional<std::string> filename);
    static std::shared_ptr<MSErrorAttachmentLog> attachmentWithBinary(std::optional<platform::Bytes> data,
                                                                      std::optional<std::string> filename,
                                                                      std::optional<std::string> contentType);

    std::optional<std::string> attachmentId;
    std::optional<std::string> errorId;  // set when the attachment is sent with its report
    std::optional<std::string> contentType;
    std::optional<std::string> filename;
    std::optional<platform::Bytes> data;

    // The base keys, then "id", "errorId", "contentType", "fileName" and "data" (Base64, one line).
    static const MSFieldTable<MSErrorAttachmentLog>& fields();
    // A valid base log with an error id, an attachment id, data and a content type.
    bool isValid() const override;
};

// The summary of one error handed to the application's callbacks. Never serialised or compared.
class MSErrorReport {
public:
    MSErrorReport(std::optional<std::string> incidentIdentifier, std::optional<std::string> reporterKey,
                  std::optional<std::string> signal, std::optional<std::string> exceptionName,
                  std::optional<std::string> exceptionReason, std::optional<platform::Date> appStartTime,
                  std::optional<platform::Date> appErrorTime, std::shared_ptr<MSDevice> device,
                  uint64_t appProcessIdentifier)
        : incidentIdentifier_(std::move(incidentIdentifier)),
          reporterKey_(std::move(reporterKey)),
          signal_(std::move(signal)),
          exceptionName_(std::move(exceptionName)),
          exceptionReason_(std::move(exceptionReason)),
          appStartTime_(appStartTime),
          appErrorTime_(appErrorTime),
          device_(std::move(device)),
          appProcessIdentifier_(appProcessIdentifier) {}

    const std::optional<std::string>& incidentIdentifier() const { return incidentIdentifier_; }
    const std::optional<std::string>& reporterKey() const { return reporterKey_; }
    const std::optional<std::string>& signal() const { return signal_; }
    void setSignal(std::optional<std::string> signal) { signal_ = std::move(signal); }
    const std::optional<std::string>& exceptionName() const { return exceptionName_; }
    const std::optional<std::string>& exceptionReason() const { return exceptionReason_; }
    const std::optional<platform::Date>& appStartTime() const { return appStartTime_; }
    const std::optional<platform::Date>& appErrorTime() const { return appErrorTime_; }
    const std::shared_ptr<MSDevice>& device() const { return device_; }
    uint64_t appProcessIdentifier() const { return appProcessIdentifier_; }

    // Whether the signal is "SIGKILL" in any case.
    bool isAppKill() const;

private:
    std::optional<std::string> incidentIdentifier_;
    std::optional<std::string> reporterKey_;
    std::optional<std::string> signal_;
    std::optional<std::string> exceptionName_;
    std::optional<std::string> exceptionReason_;
    std::optional<platform::Date> appStartTime_;
    std::optional<platform::Date> appErrorTime_;
    std::shared_ptr<MSDevice> device_;
    uint64_t appProcessIdentifier_;
};

// Registers every archivable class of crash reporting, and the telemetry classes, once per process.
void registerCrashesClasses();

}  // namespace quorvane
