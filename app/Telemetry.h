#pragma once
// The command's telemetry: when the profile holds an app secret ("telemetry-app-secret"), the
// telemetry SDK starts with the command's services and sends to the real ingestion, or to the
// address under "telemetry-url", keeping its logs in a store of the profile's own. The first start
// of a profile sends the launch event once, also when two commands start together. Without a secret nothing starts and nothing is
// stored.

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/Console.h"
#include "app/Profile.h"

namespace quorvane {
class MSServiceAbstract;
}
namespace quorvane::platform {
class UserDefaults;
class Value;
}

namespace quorvane::app {

inline constexpr const char* kTelemetryAppSecretKey = "telemetry-app-secret";
inline constexpr const char* kTelemetryURLKey = "telemetry-url";
inline constexpr const char* kLaunchEventName = "Initial launch";

// The services the command starts, in any order (the SDK orders them by priority).
std::vector<std::shared_ptr<MSServiceAbstract>> telemetryServices();
// The profile's own log store, in its data folder.
std::filesystem::path telemetryStorageFile(const Profile& profile);
// Where a profile other than the default one keeps its crash files, beside its log store.
std::filesystem::path crashStorageFolder(const Profile& profile);
// Where a profile other than the default one keeps the SDK's own settings (the session, user id
// and device histories a crash is stamped from, the last run's memory warning, the install id).
std::filesystem::path telemetrySettingsFile(const Profile& profile);

class Telemetry {
public:
    // Starts the SDK when the profile holds an app secret, then sends the launch event unless
    // this installation sent it before. False when nothing started (no secret, or a refusal,
    // which is said on the console).
    bool start(const Profile& profile, Console& console);
    bool started() const { return started_; }
    // Sends what waits now and waits for the answers, for at most 2 s (the given seconds when a
    // launch event was tracked this run); what has not left stays stored for the next start, and
    // so does a batch whose answer has not come (it is sent again). Then stops.
    void finish(double seconds);

private:
    class LaunchDelegate;
    // The installation's id, made once; `own`: a named profile's SDK settings.
    static platform::Value installId(const platform::UserDefaults* own);
    bool started_ = false;
    std::shared_ptr<LaunchDelegate> launchDelegate_;
};

}  // namespace quorvane::app
