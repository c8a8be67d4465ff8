#include "crashes/MSWrapperException.h"

#include <map>
#include <mutex>

#include "crashes/MSCrashes.h"
#include "crashes/MSCrashesUtil.h"
#include "crashes/MSErrorLogFormatter.h"
#include "telemetry/MSLogger.h"
#include "telemetry/MSUtility.h"

namespace quorvane {

const platform::ClassInfo MSWrapperException::kClassInfo{"MSWrapperException", &MSSerializableObject::kClassInfo};

const MSFieldTable<MSWrapperException>& MSWrapperException::fields() {
    static const auto& table = *new MSFieldTable<MSWrapperException>{
        {"modelException", &MSWrapperException::modelException},
        {"exceptionData", &MSWrapperException::exceptionData},
        {"processId", &MSWrapperException::processId, {.jsonBefore = "exceptionData"}},
    };
    return table;
}

namespace {

// Exceptions matched to reports in this process, by incident id. Only grows.
struct Cache {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<MSWrapperException>> byIncident;
};
Cache& cache() {
    static auto* c = new Cache;
    return *c;
}

std::string pathComponent(const std::string& baseFilename) {
    return MSCrashesUtil::wrapperExceptionsDir() + "/" + baseFilename;
}

}  // namespace

void MSWrapperExceptionManager::saveWrapperException(const MSWrapperException& exception) {
    saveWrapperException(exception, kLastSavedWrapperExceptionFileName);
}

void MSWrapperExceptionManager::saveWrapperException(const MSWrapperException& exception,
                                                     const std::string& baseFilename) {
    registerCrashesClasses();
    const std::string archive = platform::KeyedArchiver::archivedData(exception);
    MSUtility::createFileAtPathComponent(pathComponent(baseFilename), platform::Bytes(archive.begin(), archive.end()),
                                         true, true);
}

std::shared_ptr<MSWrapperException> MSWrapperExceptionManager::loadWrapperExceptionWithBaseFilename(
    const std::string& baseFilename) {
    registerCrashesClasses();
    // No file is the usual case (no wrapper SDK saved anything): nothing to say about it.
    auto data = MSUtility::loadDataForPathComponent(pathComponent(baseFilename));
    if (!data) return nullptr;
    auto exception = platform::KeyedUnarchiver::unarchivedObject<MSWrapperException>(
                         std::string_view(reinterpret_cast<const char*>(data->data()), data->size()))
                         .valueOr(nullptr);
    if (!exception) {
        MSLogError(kMSCrashesLogTag, "Could not read exception data stored on disk with file name " + baseFilename);
        deleteWrapperExceptionWithBaseFilename(baseFilename);
    }
    return exception;
}

std::shared_ptr<MSWrapperException> MSWrapperExceptionManager::loadWrapperExceptionWithUUIDString(
    const std::string& uuidString) {
    {
        auto& c = cache();
        std::lock_guard<std::mutex> lock(c.mutex);
        auto it = c.byIncident.find(uuidString);
        if (it != c.byIncident.end()) return it->second;
    }
    return loadWrapperExceptionWithBaseFilename(uuidString);
}

void MSWrapperExceptionManager::deleteWrapperExceptionWithBaseFilename(const std::string& baseFilename) {
    MSUtility::deleteItemForPathComponent(pathComponent(baseFilename));
}

void MSWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(const std::string& uuidString) {
    deleteWrapperExceptionWithBaseFilename(uuidString);
}

void MSWrapperExceptionManager::deleteAllWrapperExceptions() {
    MSUtility::deleteItemForPathComponent(MSCrashesUtil::wrapperExceptionsDir());
}

void MSWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(
    const std::vector<std::shared_ptr<MSErrorReport>>& reports) {
    auto exception = loadWrapperExceptionWithBaseFilename(kLastSavedWrapperExceptionFileName);
    if (!exception) return;  // unreadable: already removed
    deleteWrapperExceptionWithBaseFilename(kLastSavedWrapperExceptionFileName);
    for (const auto& report : reports) {
        if (!report || !report->incidentIdentifier() || !exception->processId) continue;
        if (report->appProcessIdentifier() != static_cast<uint64_t>(*exception->processId)) continue;
        {
            auto& c = cache();
            std::lock_guard<std::mutex> lock(c.mutex);
            c.byIncident[*report->incidentIdentifier()] = exception;
        }
        saveWrapperException(*exception, *report->incidentIdentifier());
        return;
    }
}

namespace {
std::mutex gHelperMutex;
std::weak_ptr<MSCrashHandlerSetupDelegate> gCrashHandlerSetupDelegate;
}  // namespace

void MSWrapperCrashesHelper::setCrashHandlerSetupDelegate(const std::shared_ptr<MSCrashHandlerSetupDelegate>& delegate) {
    std::lock_guard<std::mutex> lock(gHelperMutex);
    gCrashHandlerSetupDelegate = delegate;
}

std::shared_ptr<MSCrashHandlerSetupDelegate> MSWrapperCrashesHelper::getCrashHandlerSetupDelegate() {
    std::lock_guard<std::mutex> lock(gHelperMutex);
    return gCrashHandlerSetupDelegate.lock();
}

void MSWrapperCrashesHelper::setAutomaticProcessing(bool enabled) {
    MSCrashes::sharedInstance()->setAutomaticProcessingEnabled(enabled);
}

std::vector<std::shared_ptr<MSErrorReport>> MSWrapperCrashesHelper::unprocessedCrashReports() {
    return MSCrashes::sharedInstance()->unprocessedCrashReports();
}

bool MSWrapperCrashesHelper::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(
    const std::vector<std::string>& incidentIds) {
    return MSCrashes::sharedInstance()->sendCrashReportsOrAwaitUserConfirmationForFilteredIds(incidentIds);
}

void MSWrapperCrashesHelper::sendErrorAttachments(const std::vector<std::shared_ptr<MSErrorAttachmentLog>>& attachments,
                                                  const std::optional<std::string>& incidentIdentifier) {
    MSCrashes::sharedInstance()->sendErrorAttachments(attachments, incidentIdentifier);
}

std::optional<std::string> MSWrapperCrashesHelper::trackModelException(
    const std::shared_ptr<MSException>& exception, const std::optional<std::map<std::string, std::string>>& properties,
    const std::vector<std::shared_ptr<MSErrorAttachmentLog>>& attachments) {
    return MSCrashes::sharedInstance()->trackModelException(exception, properties, attachments);
}

std::shared_ptr<MSErrorReport> MSWrapperCrashesHelper::buildHandledErrorReportWithErrorID(const std::string& errorId) {
    return MSCrashes::sharedInstance()->buildHandledErrorReportWithErrorID(errorId);
}

}  // namespace quorvane
