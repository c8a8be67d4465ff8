#include "telemetry/MSRevAzezar.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "platform/foundation/ForkSafeMutex.h"
#include "platform/foundation/UUID.h"
#include "telemetry/MSLogDBStorage.h"
#include "telemetry/MSServiceAbstract.h"
#include "telemetry/MSSharedInstance.h"
#include "telemetry/MSStartServiceLog.h"
#include "telemetry/MSUserDefaults.h"
#include "telemetry/MSUtility.h"

namespace quorvane {

namespace {
platform::ForkSafeMutex& installIdMutex() {
    static auto& m = *new platform::ForkSafeMutex;  // never destroyed: threads may use it while the process exits
    return m;
}
std::optional<std::string> cachedInstallId;
}  // namespace

MSRevAzezar& MSRevAzezar::sharedInstance() { return MSSharedInstance<MSRevAzezar>::slot().get(); }

void MSRevAzezar::resetSharedInstance() {
    if (auto retired = MSSharedInstance<MSRevAzezar>::slot().reset())
        if (auto group = retired->channelGroup()) group->setEnabled(false, false);
    std::lock_guard idLock(installIdMutex());
    cachedInstallId.reset();
}

std::optional<std::string> MSRevAzezar::appSecretProblem(std::string_view secret) {
    if (secret.empty()) return "AppSecret is invalid.";
    if (secret.size() > kMaxAppSecretLength)
        return "AppSecret is invalid: it is " + std::to_string(secret.size()) + " bytes long, more than the " +
               std::to_string(kMaxAppSecretLength) + " allowed.";
    for (size_t i = 0; i < secret.size(); ++i) {
        const auto c = uint8_t(secret[i]);
        if (c < 0x20 || c > 0x7e) {
            char code[8];
            std::snprintf(code, sizeof code, "0x%02X", c);
            return std::string("AppSecret is invalid: it holds ") + (c > 0x7f ? "a non-ASCII byte" : "a control character") +
                   " (" + code + ") at position " + std::to_string(i + 1) + "; a secret must be printable ASCII.";
        }
    }
    return std::nullopt;
}

platform::Result<void> MSRevAzezar::start(const std::string& appSecret,
                                          std::vector<std::shared_ptr<MSServiceAbstract>> services) {
    std::lock_guard lock(mutex_);
    auto refuse = [](int code, const std::string& message) {
        MSLogError(kMSLogTag, message);
        return platform::Error::withDescription(kMSErrorDomain, code, message);
    };
    if (auto problem = appSecretProblem(appSecret)) return refuse(kAppSecretInvalid, *problem);
    if (configured_ && appSecret_ != appSecret) return refuse(kAlreadyConfigured, "SDK has already been configured.");
    if (!configured_) {
        appSecret_ = appSecret;
        ingestion_ = MSRevAzezarIngestion::make(logUrl_, appSecret, installId(), options_);
        oneCollectorIngestion_ = MSOneCollectorIngestion::make(oneCollectorUrl_, options_, appSecret);
        const auto shared = MSUtility::fullURLForPathComponent(MSLogDBStorage::kDefaultFileName);
        auto storage = std::make_shared<MSLogDBStorage>(storageFile_.empty() ? shared : storageFile_);
        // Earlier versions kept one store for every secret there: what it holds for this app is
        // sent from the app's own store now (before the units look at it), and the file goes once empty.
        if (!storageFile_.empty()) {
            auto destinations = ingestion_->destination().keys();
            for (auto& key : oneCollectorIngestion_->destination().keys()) destinations.push_back(std::move(key));
            storage->adoptLogsFrom(shared, destinations);
        }
        // Logs an earlier version keyed by this app's address and secret together are the app's:
        // keyed by its secret, they go where it sends after its address changes, as later ones do.
        const auto destination = ingestion_->destination();
        storage->rekeyLogs(destination.addressKey, destination.key);
        channelGroup_ = MSChannelGroup::make(ingestion_, storage);
        oneCollector_ = std::make_shared<MSOneCollectorChannelDelegate>(oneCollectorIngestion_);
        channelGroup_->addDelegate(oneCollector_);
        channelUnit_ = channelGroup_->addChannelUnitWithConfiguration(
            MSChannelUnitConfiguration::initDefaultConfigurationWithGroupId(kMSCoreGroupId));
        if (!isEnabled()) channelGroup_->setEnabled(false, false);
        configured_ = true;  // before the services start: they check it
    }
    std::stable_sort(services.begin(), services.end(), [](const auto& a, const auto& b) {
        return a->initializationPriority() > b->initializationPriority();
    });
    std::vector<std::string> started;
    for (const auto& service : services) {
        if (!service || std::find(services_.begin(), services_.end(), service) != services_.end()) continue;
        service->startWithChannelGroup(channelGroup_, appSecret_, std::nullopt, true);
        services_.push_back(service);
        started.push_back(service->serviceName());
        if (service->isEnabled() && !isEnabled()) {
            sdkWideChange_ = true;
            service->setEnabled(false);
            sdkWideChange_ = false;
        }
    }
    if (!started.empty() && isEnabled()) {
        auto log = std::make_shared<MSStartServiceLog>();
        log->services = started;
        channelUnit_->enqueueItem(log, MSFlagsDefault);
    }
    return {};
}

bool MSRevAzezar::isSdkConfigured() const { return configured_; }

void MSRevAzezar::setLogUrl(std::string url) {
    std::lock_guard lock(mutex_);
    logUrl_ = url;
    if (ingestion_) ingestion_->setBaseURL(std::move(url));
}

void MSRevAzezar::setOneCollectorLogUrl(std::string url) {
    std::lock_guard lock(mutex_);
    oneCollectorUrl_ = url;
    if (oneCollectorIngestion_) oneCollectorIngestion_->setBaseURL(std::move(url));
}

void MSRevAzezar::setIngestionOptions(MSHttpIngestion::Options options) {
    std::lock_guard lock(mutex_);
    options_ = std::move(options);
}

void MSRevAzezar::setLogStorageFile(std::filesystem::path file) {
    std::lock_guard lock(mutex_);
    if (configured_) {
        MSLogError(kMSLogTag, "The log storage file must be set before the SDK starts.");
        return;
    }
    storageFile_ = std::move(file);
}

bool MSRevAzezar::isEnabled() const {
    auto stored = MSUserDefaults::shared().objectForKey(kMSIsEnabledKey);
    return !stored || stored->asBool(true);
}

void MSRevAzezar::setEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    if (!configured_) {
        MSLogError(kMSLogTag, "SDK hasn't been configured. You need to call [MSRevAzezar start:YOUR_APP_SECRET "
                              "withServices:LIST_OF_SERVICES] first.");
        return;
    }
    if (enabled == isEnabled()) return;
    sdkWideChange_ = true;
    if (enabled) {
        MSUserDefaults::shared().setObject(true, kMSIsEnabledKey);
        channelGroup_->setEnabled(true, false);
    }
    for (const auto& service : services_) service->setEnabled(enabled);
    if (!enabled) {
        channelGroup_->setEnabled(false, true);
        MSUserDefaults::shared().setObject(false, kMSIsEnabledKey);
    }
    sdkWideChange_ = false;
    MSLogInfo(kMSLogTag, std::string("RevAzezar SDK ") + (enabled ? "enabled." : "disabled."));
}

bool MSRevAzezar::isSdkWideChangeInProgress() const { return sdkWideChange_; }

std::string MSRevAzezar::installId() {
    std::lock_guard lock(installIdMutex());
    if (cachedInstallId) return *cachedInstallId;
    // Made once over every process that starts on these settings: the first one stored is kept.
    cachedInstallId = MSUserDefaults::shared().objectOnce(kMSInstallIdKey, platform::UUID().uuidString(), isInstallId).asString();
    return *cachedInstallId;
}

bool MSRevAzezar::isInstallId(const platform::Value& value) {
    return value.isString() && platform::UUID::fromString(value.asString()).has_value();
}

bool MSRevAzezar::isDebuggerAttached() {
    static const bool attached = [] {
        std::ifstream status("/proc/self/status");
        for (std::string line; status && std::getline(status, line);)
            if (line.rfind("TracerPid:", 0) == 0) return std::stol(line.substr(10)) != 0;
        MSLogError(kMSLogTag, "[MSCrashes] ERROR: Checking for a running debugger via sysctl() failed.");
        return false;
    }();
    return attached;
}

std::shared_ptr<MSChannelGroup> MSRevAzezar::channelGroup() const {
    std::lock_guard lock(mutex_);
    return channelGroup_;
}
std::shared_ptr<MSChannelUnit> MSRevAzezar::channelUnit() const {
    std::lock_guard lock(mutex_);
    return channelUnit_;
}
std::vector<std::shared_ptr<MSServiceAbstract>> MSRevAzezar::services() const {
    std::lock_guard lock(mutex_);
    return services_;
}

}  // namespace quorvane
