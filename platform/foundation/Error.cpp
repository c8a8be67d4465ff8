#include "platform/foundation/Error.h"

#include <cstring>

namespace quorvane::platform {

Error Error::withDescription(std::string domain, int64_t code, const std::string& description) {
    Error e(std::move(domain), code);
    e.userInfo.set(kLocalizedDescriptionKey, description);
    return e;
}

std::string Error::localizedDescription() const {
    if (auto d = userInfo[kLocalizedDescriptionKey].stringValue()) return *d;
    return "The operation couldn't be completed. (" + domain + " error " + std::to_string(code) + ".)";
}

std::optional<std::string> Error::localizedFailureReason() const {
    return userInfo[kLocalizedFailureReasonKey].stringValue();
}

Error posixError(int err, const std::string& what) {
    Error e(kPOSIXErrorDomain, err);
    std::string text = std::strerror(err);
    if (!what.empty()) text = what + ": " + text;
    e.userInfo.set(Error::kLocalizedDescriptionKey, text);
    return e;
}

}  // namespace quorvane::platform
