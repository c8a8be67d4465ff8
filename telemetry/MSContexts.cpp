#include "telemetry/MSLogger.h"
#include "telemetry/MSSessionContext.h"
#include "telemetry/MSSharedInstance.h"
#include "telemetry/MSUserIdContext.h"

namespace quorvane {

MSSessionContext& MSSessionContext::sharedInstance() { return MSSharedInstance<MSSessionContext>::slot().get(); }
void MSSessionContext::resetSharedInstance() { MSSharedInstance<MSSessionContext>::slot().reset(); }
MSUserIdContext& MSUserIdContext::sharedInstance() { return MSSharedInstance<MSUserIdContext>::slot().get(); }
void MSUserIdContext::resetSharedInstance() { MSSharedInstance<MSUserIdContext>::slot().reset(); }

constexpr const char* kMSUserIdCustomPrefix = "c";

bool MSUserIdContext::isUserIdValidForOneCollector(const std::optional<std::string>& userId) {
    if (!userId) return true;
    if (userId->empty()) {
        MSLogError(kMSLogTag, "userId must not be empty.");
        return false;
    }
    const auto colon = userId->find(':');
    if (colon == std::string::npos) return true;
    const std::string prefix = userId->substr(0, colon);
    if (prefix != kMSUserIdCustomPrefix) {
        MSLogError(kMSLogTag, std::string("userId prefix must be '") + kMSUserIdCustomPrefix + ":', '" + prefix +
                                  ":' is not supported.");
        return false;
    }
    if (colon == userId->size() - 1) {
        MSLogError(kMSLogTag, "userId must not be empty.");
        return false;
    }
    return true;
}

std::optional<std::string> MSUserIdContext::prefixedUserIdFromUserId(const std::optional<std::string>& userId) {
    if (userId && userId->find(':') == std::string::npos) return std::string(kMSUserIdCustomPrefix) + ":" + *userId;
    return userId;
}

}  // namespace quorvane
