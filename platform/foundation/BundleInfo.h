#pragma once
// The application's identity, compiled in (the build sets the values).

#include <optional>
#include <string>

namespace quorvane::platform {

struct BundleInfo {
    static std::string identifier();   // "com.quorvane.Quorvane"
    static std::string version();      // short version, e.g. "0.1.0"
    static std::string buildVersion(); // same as version unless the build sets it
    static std::string displayName();  // "Quorvane"
    // Info dictionary lookups for the few keys the libraries read ("QNUserAgentID", ...):
    // set by the application at start-up; nullopt when not set.
    static std::optional<std::string> infoValue(const std::string& key);
    static void setInfoValue(const std::string& key, std::optional<std::string> value);
};

}  // namespace quorvane::platform
