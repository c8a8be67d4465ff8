#pragma once
// Shared pieces of the telemetry tests: sample logs of every class, a captured SDK log, a
// fresh user-defaults file per test, and a full disk.

#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Paths.h"
#include "platform/store/UserDefaults.h"
#include "telemetry/MSCommonSchemaLog.h"
#include "telemetry/MSDeviceTracker.h"
#include "telemetry/MSLogWithProperties.h"
#include "telemetry/MSLogger.h"
#include "telemetry/MSSessionContext.h"
#include "telemetry/MSStartServiceLog.h"
#include "telemetry/MSTelemetryClasses.h"
#include "telemetry/MSTypedProperty.h"
#include "telemetry/MSUserDefaults.h"
#include "telemetry/MSUserIdContext.h"
#include "telemetry/MSUtility.h"

namespace quorvane::test {

inline std::shared_ptr<MSDevice> sampleDevice(std::string model = "ThinkStation P3") {
    auto d = std::make_shared<MSDevice>();
    d->setSdkName("revazezar.linux");
    d->setSdkVersion("0.1.0");
    d->setModel(std::move(model));
    d->setOemName("Lenovo");
    d->setOsName("Debian GNU/Linux");
    d->setOsVersion("12");
    d->setOsBuild("6.1.0-18-amd64");
    d->setLocale("de_DE");
    d->setTimeZoneOffset(60);
    d->setAppVersion("1.2.0");
    d->setAppBuild("42");
    d->setAppNamespace("com.quorvane.Quorvane");
    return d;
}

template <class Log>
std::shared_ptr<Log> stamped(std::shared_ptr<Log> log) {
    log->timestamp = platform::Date(786297600.25);
    log->sid = "6A1E2C4F-0000-4000-8000-000000000001";
    log->distributionGroupId = "group-7";
    log->userId = "alice";
    log->device = sampleDevice();
    return log;
}

// One log of every archivable log class, with every field set, under a fixture name.
inline std::vector<std::pair<std::string, std::shared_ptr<MSAbstractLog>>> sampleLogs() {
    registerTelemetryClasses();
    auto plain = stamped(std::make_shared<MSAbstractLog>());
    plain->type = "custom";
    auto withProperties = stamped(std::make_shared<MSLogWithProperties>());
    withProperties->type = "event";
    withProperties->properties = std::map<std::string, std::string>{{"screen", "main/list"}, {"ünï", "😀"}};
    auto startService = stamped(std::make_shared<MSStartServiceLog>());
    startService->services = std::vector<std::string>{"Crashes", "Analytics"};
    auto cs = withProperties->toCommonSchemaLogForTargetToken("a1b2c3-d4e5", MSFlagsCritical);
    cs->name = "checkout";
    cs->popSample = 100.0;
    cs->ext->metadataExt = std::make_shared<MSMetadataExtension>();
    cs->ext->metadataExt->setMetadata(platform::Value::dictionary({{"f", platform::Value::dictionary({{"total", 9}})}}));
    cs->ext->protocolExt->setTicketKeys(std::vector<std::string>{"t1"});
    cs->ext->sdkExt->setSeq(3);
    cs->ext->sdkExt->setInstallId("0B7C5E3A-9F1D-4E2B-8C6A-5D4E3F2A1B0C");
    cs->data = std::make_shared<MSCSData>();
    cs->data->properties = platform::Value::dictionary(
        {{"total", 9.5}, {"baseData", platform::Value::dictionary()}, {"baseType", "Order"}, {"when", platform::Date(5)}});
    return {{"abstract-log", plain}, {"log-with-properties", withProperties}, {"start-service-log", startService},
            {"common-schema-log", cs}};
}

// Collects the SDK's messages at or above a level while alive.
struct SDKLogCapture {
    struct Line {
        MSLogLevel level;
        std::string tag, text;
    };
    std::shared_ptr<std::mutex> mutex = std::make_shared<std::mutex>();
    std::shared_ptr<std::vector<Line>> lines = std::make_shared<std::vector<Line>>();
    explicit SDKLogCapture(MSLogLevel atLeast = MSLogLevel::Verbose) {
        auto l = lines;
        auto m = mutex;
        MSLogger::setLogHandler([l, m, atLeast](const MSLogger::MessageProvider& message, MSLogLevel level,
                                                std::string_view tag, const char*, const char*, unsigned) {
            if (level < atLeast) return;
            std::lock_guard lock(*m);
            l->push_back({level, std::string(tag), message()});
        });
    }
    ~SDKLogCapture() { MSLogger::restoreDefaultLogHandler(); }
    std::vector<std::string> texts() const {
        std::lock_guard lock(*mutex);
        std::vector<std::string> out;
        for (const auto& line : *lines) out.push_back(line.text);
        return out;
    }
};

// Points the SDK's defaults at a fresh file of the current test; reopen() is a restart.
struct FreshDefaults {
    std::filesystem::path file;
    FreshDefaults() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        file = platform::Paths::configHome() / "telemetry" / (std::string(info->test_suite_name()) + "." + info->name() + ".json");
        std::filesystem::remove(file);
        reopen();
    }
    void reopen() const {
        MSUserDefaults::resetSharedWithDefaults(std::make_shared<platform::UserDefaults>(file));
        MSSessionContext::resetSharedInstance();
        MSUserIdContext::resetSharedInstance();
        MSDeviceTracker::resetSharedInstance();
    }
    ~FreshDefaults() { MSUserDefaults::resetSharedWithDefaults(nullptr); }
};

// Writes to regular files fail while it lives, as on a full disk: the process's limit on a file's
// size is 0 (and the signal that would end it for trying is ignored).
class DiskFull {
public:
    DiskFull() {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit none = saved_;
        none.rlim_cur = 0;
        signal_ = ::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &none);
    }
    ~DiskFull() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        ::signal(SIGXFSZ, signal_);
    }

private:
    rlimit saved_{};
    sighandler_t signal_;
};

}  // namespace quorvane::test
