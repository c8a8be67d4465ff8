#pragma once
// The SDK facade: starts the services with an app secret over one channel group, keeps the
// SDK-wide enabled state, the installation id and the log level.

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/ForkSafeMutex.h"
#include "telemetry/MSChannelGroup.h"
#include "telemetry/MSHttpIngestion.h"
#include "telemetry/MSLogger.h"

namespace quorvane {

class MSServiceAbstract;
class MSLogDBStorage;

class MSRevAzezar {
public:
    static constexpr const char* kMSCoreGroupId = "RevAzezar";
    static constexpr const char* kMSInstallIdKey = "MSInstallId";
    static constexpr const char* kMSIsEnabledKey = "MSRevAzezarIsEnabled";

    static MSRevAzezar& sharedInstance();
    // Drops the shared instance (its group stops sending); tests start afresh after it.
    static void resetSharedInstance();

    static constexpr const char* kMSErrorDomain = "com.Dedozirav.RevAzezar.ErrorDomain";
    static constexpr size_t kMaxAppSecretLength = 1024;
    enum ErrorCode { kAppSecretInvalid = 1, kAlreadyConfigured = 2 };

    // Starts the services in descending initialisation priority over a new channel group (once;
    // later calls with the same secret only start services not yet started). A kMSErrorDomain
    // error, its reason logged, for a secret that cannot go into a request header (empty, with a
    // control or non-ASCII character, longer than kMaxAppSecretLength) or when already
    // configured with another one.
    platform::Result<void> start(const std::string& appSecret, std::vector<std::shared_ptr<MSServiceAbstract>> services);
    // Why a secret is refused (never quoting it), or nullopt when it is fine.
    static std::optional<std::string> appSecretProblem(std::string_view appSecret);
    bool isSdkConfigured() const;
    bool isConfigured() const { return isSdkConfigured(); }

    // The ingestion's base URL (before or after start) and its retry and gzip options (before).
    void setLogUrl(std::string url);
    // The One Collector ingestion's base URL, before or after start.
    void setOneCollectorLogUrl(std::string url);
    void setIngestionOptions(MSHttpIngestion::Options options);
    // The log store's file, before start (default: MSLogDBStorage::kDefaultFileName under the
    // storage root). A process that sends under more than one secret or address keeps a file for
    // each, as the command does for each profile. At start the logs of this app's secret (or of
    // none) that the default file holds, as earlier versions kept it for every secret, move into it.
    void setLogStorageFile(std::filesystem::path file);

    bool isEnabled() const;
    void setEnabled(bool enabled);
    bool isSdkWideChangeInProgress() const;

    static std::string installId();
    // Whether a stored value is an install id (a UUID's text).
    static bool isInstallId(const platform::Value& value);
    static bool isDebuggerAttached();
    static void setLogLevel(MSLogLevel level) { MSLogger::setCurrentLogLevel(level); }
    static MSLogLevel logLevel() { return MSLogger::currentLogLevel(); }

    std::shared_ptr<MSChannelGroup> channelGroup() const;
    std::shared_ptr<MSChannelUnit> channelUnit() const;  // the facade's own unit
    std::vector<std::shared_ptr<MSServiceAbstract>> services() const;

private:
    mutable platform::ForkSafeRecursiveMutex mutex_;
    // Read without the lock: services ask while holding their own locks, which the facade takes
    // (under its lock) when it changes their state.
    std::atomic<bool> configured_{false};
    std::atomic<bool> sdkWideChange_{false};
    std::optional<std::string> appSecret_;
    std::string logUrl_ = MSRevAzezarIngestion::kDefaultBaseURL;
    MSHttpIngestion::Options options_;
    std::filesystem::path storageFile_;
    std::shared_ptr<MSRevAzezarIngestion> ingestion_;
    std::string oneCollectorUrl_ = MSOneCollectorIngestion::kDefaultBaseURL;
    std::shared_ptr<MSOneCollectorIngestion> oneCollectorIngestion_;
    std::shared_ptr<MSOneCollectorChannelDelegate> oneCollector_;
    std::shared_ptr<MSChannelGroup> channelGroup_;
    std::shared_ptr<MSChannelUnit> channelUnit_;
    std::vector<std::shared_ptr<MSServiceAbstract>> services_;
};

}  // namespace quorvane
