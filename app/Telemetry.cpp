#include "app/Telemetry.h"

#include "analytics/MSAnalytics.h"
#include "crashes/MSCrashes.h"
#include "crashes/MSCrashesUtil.h"
#include "platform/foundation/BundleInfo.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Strings.h"
#include "platform/foundation/UUID.h"
#include "platform/store/UserDefaults.h"
#include "platform/net/ServerTrust.h"
#include "platform/runloop/RunLoop.h"
#include "sync/SyncSettings.h"
#include "telemetry/MSChannelGroup.h"
#include "telemetry/MSLogDBStorage.h"
#include "telemetry/MSRevAzezar.h"
#include "telemetry/MSUserDefaults.h"

namespace quorvane::app {

namespace {
// How long the end of a command waits for the answers of the batches it sent.
constexpr double kAnswerWaitSeconds = 2;
}  // namespace

// Crash reporting first (priority 999): it arms the capture engine before anything else runs.
std::vector<std::shared_ptr<MSServiceAbstract>> telemetryServices() {
    return {MSCrashes::sharedInstance(), MSAnalytics::sharedInstance()};
}

std::filesystem::path telemetryStorageFile(const Profile& profile) {
    return profile.dataFolder() / "telemetry" / MSLogDBStorage::kDefaultFileName;
}

std::filesystem::path crashStorageFolder(const Profile& profile) { return profile.dataFolder() / "telemetry"; }

std::filesystem::path telemetrySettingsFile(const Profile& profile) { return crashStorageFolder(profile) / "settings.json"; }

// Hears whether the launch event left, and wakes the main loop that waits for it.
class Telemetry::LaunchDelegate : public MSAnalyticsDelegate {
public:
    std::atomic<bool> settled{false};
    void didSucceedSendingEventLog(MSAnalytics&, const std::shared_ptr<MSEventLog>& log) override { note(log); }
    void didFailSendingEventLog(MSAnalytics&, const std::shared_ptr<MSEventLog>& log, const platform::Error&) override {
        note(log);
    }

private:
    void note(const std::shared_ptr<MSEventLog>& log) {
        if (log->name != kLaunchEventName) return;
        settled = true;
        platform::RunLoop::main()->post([] {});
    }
};

// One installation, one install id, whichever profile starts first and also when several start at
// once: it is made once, in the settings every profile reads (the default profile's), where the
// first start stores it. A profile that made an id of its own before (an earlier version did, on a
// profile started before the default one) gives it, when the installation has none yet.
platform::Value Telemetry::installId(const platform::UserDefaults* own) {
    std::optional<platform::Value> candidate;
    if (own) candidate = own->objectForKey(MSRevAzezar::kMSInstallIdKey);
    if (!candidate || !MSRevAzezar::isInstallId(*candidate)) candidate = platform::UUID().uuidString();
    return platform::UserDefaults::standardUserDefaults()->objectOnce(MSRevAzezar::kMSInstallIdKey, *candidate,
                                                                       MSRevAzezar::isInstallId);
}

bool Telemetry::start(const Profile& profile, Console& console) {
    auto defaults = profile.userDefaults();
    auto secret = defaults->stringForKey(kTelemetryAppSecretKey);
    if (!secret || secret->empty()) return false;
    auto& sdk = MSRevAzezar::sharedInstance();
    if (auto url = defaults->stringForKey(kTelemetryURLKey); url && !url->empty()) sdk.setLogUrl(*url);
    // Each profile sends under its own secret to its own address: its logs are kept apart too.
    sdk.setLogStorageFile(telemetryStorageFile(profile));
    // Its crashes as well (the engine's reports, the stored reports, the crash-time buffer), and
    // the SDK's settings: a crash is stamped with the session of its time from the histories
    // there, which another profile's run must neither clear nor fill with its own sessions. The
    // default profile keeps the folders and settings all profiles shared before, with what an
    // earlier version left.
    if (profile.name() != Profile::kDefaultName) {
        MSCrashesUtil::setStorageFolder(crashStorageFolder(profile));
        auto own = std::make_shared<platform::UserDefaults>(telemetrySettingsFile(profile));
        const platform::Value id = installId(own.get());
        if (own->objectForKey(MSRevAzezar::kMSInstallIdKey) != id) own->setObject(id, MSRevAzezar::kMSInstallIdKey);
        MSUserDefaults::resetSharedWithDefaults(std::move(own));
    } else {
        installId(nullptr);
    }
    // The profile's certificates are trusted for the ingestion as for the provider.
    if (auto ca = defaults->stringForKey(Profile::kCAFileKey); ca && !ca->empty()) {
        if (auto pem = Profile::readCertificateFile(*ca)) platform::TrustStore::addTrustedCertificatesPEM(*pem);
    }
    // Crash reporting starts first and sends again the logs a crashed run left in its buffer,
    // analytics logs among them: their classes must be known before it reads them.
    registerAnalyticsClasses();
    if (auto started = sdk.start(*secret, telemetryServices()); !started) {
        console.error("telemetry: the SDK did not start: " + started.error().localizedDescription());
        return false;
    }
    started_ = true;
    console.detail("telemetry: started");

    // Marked sent first, over the settings as they are under their lock: of commands starting
    // together on a new profile only the one that marks it tracks the event, which then leaves in
    // this run or at the next start. Where the mark cannot be written, a later start tracks it.
    if (!defaults->setFlagOnce(SyncSettings::keyOf(Setting::HasSentInitalLaunchAnswerEvent))) return true;
    launchDelegate_ = std::make_shared<LaunchDelegate>();
    MSAnalytics::setDelegate(launchDelegate_);
    MSAnalytics::trackEvent(kLaunchEventName, platform::Value::dictionary({{"version", platform::BundleInfo::version()}}));
    return true;
}

void Telemetry::finish(double seconds) {
    if (!started_) return;
    // A crash of an earlier run is handed to its unit before the units are flushed (at once when
    // there was none; the command sets no confirmation handler, so nothing waits for the user).
    auto crashes = MSCrashes::sharedInstance();
    crashes->unprocessedCrashReports();
    // Every unit (the One Collector companions too) sends what it holds, and the command waits for
    // the answers: a batch whose answer has not come when the command ends is sent again by a later
    // start, and may then arrive twice.
    auto group = MSRevAzezar::sharedInstance().channelGroup();
    const auto units = group ? group->channelUnits() : std::vector<std::shared_ptr<MSChannelUnit>>{};
    auto busy = std::make_shared<std::atomic<size_t>>(units.size());
    for (const auto& unit : units) {
        unit->flushQueue();
        unit->notifyWhenIdle([busy] {
            if (--*busy == 0) platform::RunLoop::main()->post([] {});
        });
    }
    // A launch event sent this run may take longer (it is sent once).
    const auto launch = launchDelegate_;
    platform::RunLoop::main()->runUntil([&] { return *busy == 0 && (!launch || launch->settled.load()); },
                                        launch ? seconds : std::min(seconds, kAnswerWaitSeconds));
    for (const auto& unit : units) unit->endSending();
    MSAnalytics::setDelegate(nullptr);
    MSAnalytics::resetSharedInstance();
    MSCrashes::resetSharedInstance();
    MSRevAzezar::resetSharedInstance();
    started_ = false;
}

}  // namespace quorvane::app
