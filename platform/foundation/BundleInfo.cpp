#include "platform/foundation/BundleInfo.h"

#include <map>
#include <mutex>

#ifndef QUORVANE_BUNDLE_IDENTIFIER
#define QUORVANE_BUNDLE_IDENTIFIER "com.quorvane.Quorvane"
#endif
#ifndef QUORVANE_BUNDLE_VERSION
#define QUORVANE_BUNDLE_VERSION "0.0.0"
#endif
#ifndef QUORVANE_BUNDLE_NAME
#define QUORVANE_BUNDLE_NAME "Quorvane"
#endif

namespace quorvane::platform {

namespace {
std::mutex gInfoMutex;
std::map<std::string, std::string>& info() {
    static auto& m = *new std::map<std::string, std::string>;
    return m;
}
}  // namespace

std::string BundleInfo::identifier() { return QUORVANE_BUNDLE_IDENTIFIER; }
std::string BundleInfo::version() { return QUORVANE_BUNDLE_VERSION; }
std::string BundleInfo::buildVersion() { return QUORVANE_BUNDLE_VERSION; }
std::string BundleInfo::displayName() { return QUORVANE_BUNDLE_NAME; }

std::optional<std::string> BundleInfo::infoValue(const std::string& key) {
    std::lock_guard lock(gInfoMutex);
    auto it = info().find(key);
    if (it == info().end()) return std::nullopt;
    return it->second;
}

void BundleInfo::setInfoValue(const std::string& key, std::optional<std::string> value) {
    std::lock_guard lock(gInfoMutex);
    if (value) info()[key] = *value;
    else info().erase(key);
}

}  // namespace quorvane::platform
