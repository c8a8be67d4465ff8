#include <mutex>

#include "telemetry/MSLogger.h"
#include "telemetry/MSSessionContext.h"
#include "telemetry/MSUserIdContext.h"

namespace quorvane {

namespace {
// A shared instance that a restart in tests can replace; earlier references stay valid.
template <class T>
struct SharedSlot {
    std::mutex mutex;
    std::shared_ptr<T> instance;
    std::vector<std::shared_ptr<T>> retired;

    T& get() {
        std::lock_guard lock(mutex);
        if (!instance) instance = std::make_shared<T>();
        return *instance;
    }
    void reset() {
        std::lock_guard lock(mutex);
        if (instance) retired.push_back(std::move(instance));
    }
};
SharedSlot<MSSessionContext> sessionSlot;
SharedSlot<MSUserIdContext> userSlot;
}  // namespace

MSSessionContext& MSSessionContext::sharedInstance() { return sessionSlot.get(); }
void MSSessionContext::resetSharedInstance() { sessionSlot.reset(); }
MSUserIdContext& MSUserIdContext::sharedInstance() { return userSlot.get(); }
void MSUserIdContext::resetSharedInstance() { userSlot.reset(); }

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
