#pragma once
// Wrapper exceptions: what a wrapper SDK (a layer hosting another language's runtime) knows of a
// crash that the capture engine cannot see. Saved to disk with the process id just before the
// process dies, matched at the next start to that process's crash report, and put into its crash
// log in place of the engine's view of the exception.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crashes/MSCrashesRecords.h"
#include "crashes/MSErrorLogs.h"

namespace quorvane {

class MSWrapperException : public MSFieldRecord<MSWrapperException, MSSerializableObject> {
    MS_CODING_CLASS()
public:
    std::shared_ptr<MSException> modelException;  // the wrapper's exception
    std::optional<platform::Bytes> exceptionData;  // opaque to crash reporting
    std::optional<int64_t> processId;

    // JSON: "modelException", "processId", "exceptionData", each when present; the archive keeps
    // "processId" last.
    static const MSFieldTable<MSWrapperException>& fields();
};

// Storage of wrapper exceptions in "crasheswrapperexceptions" under the storage folder, one file
// per exception, and the matching to crash reports. Called from the crashes service's start-up
// processing and sending paths.
class MSWrapperExceptionManager {
public:
    static constexpr const char* kLastSavedWrapperExceptionFileName = "last_saved_wrapper_exception";

    // Saves it as the crashing process's exception.
    static void saveWrapperException(const MSWrapperException& exception);
    // The exception matched to that report: from memory first, else from its file.
    static std::shared_ptr<MSWrapperException> loadWrapperExceptionWithUUIDString(const std::string& uuidString);
    static void deleteWrapperExceptionWithUUIDString(const std::string& uuidString);
    static void deleteAllWrapperExceptions();
    // Takes the last saved exception (its file is removed) and keeps it under the first report
    // of the same process id, in memory and on disk. Without a match it is dropped.
    static void correlateLastSavedWrapperExceptionToReport(const std::vector<std::shared_ptr<MSErrorReport>>& reports);

    static void saveWrapperException(const MSWrapperException& exception, const std::string& baseFilename);
    // Nullptr when missing or unreadable; an unreadable file is removed.
    static std::shared_ptr<MSWrapperException> loadWrapperExceptionWithBaseFilename(const std::string& baseFilename);
    static void deleteWrapperExceptionWithBaseFilename(const std::string& baseFilename);
};

// What crash reporting asks a wrapper SDK when it sets up capture. Every member is optional.
struct MSCrashHandlerSetupDelegate {
    std::function<void()> willSetUpCrashHandlers;
    std::function<bool()> shouldEnableUncaughtExceptionHandler;
    std::function<void()> didSetUpCrashHandlers;
};

// The entry point of a wrapper SDK into crash reporting. All but the set-up delegate's operations
// go to the crashes service's shared instance.
class MSWrapperCrashesHelper {
public:
    // Held weakly.
    static void setCrashHandlerSetupDelegate(const std::shared_ptr<MSCrashHandlerSetupDelegate>& delegate);
    static std::shared_ptr<MSCrashHandlerSetupDelegate> getCrashHandlerSetupDelegate();

    static void setAutomaticProcessing(bool enabled);
    static std::vector<std::shared_ptr<MSErrorReport>> unprocessedCrashReports();
    static bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const std::vector<std::string>& incidentIds);
    static void sendErrorAttachments(const std::vector<std::shared_ptr<MSErrorAttachmentLog>>& attachments,
                                     const std::optional<std::string>& incidentIdentifier);
    static std::optional<std::string> trackModelException(
        const std::shared_ptr<MSException>& exception,
        const std::optional<std::map<std::string, std::string>>& properties,
        const std::vector<std::shared_ptr<MSErrorAttachmentLog>>& attachments);
    static std::shared_ptr<MSErrorReport> buildHandledErrorReportWithErrorID(const std::string& errorId);
};

}  // namespace quorvane
