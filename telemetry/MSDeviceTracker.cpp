#include "telemetry/MSDeviceTracker.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>

#include "platform/foundation/BundleInfo.h"
#include "telemetry/MSLogger.h"
#include "telemetry/MSSharedInstance.h"
#include "telemetry/MSTelemetryClasses.h"
#include "telemetry/MSUserDefaults.h"

namespace quorvane {

namespace {
constexpr const char* kMSPastDevicesKey = "pastDevices";

// The value of KEY= in an os-release file, unquoted; nullopt when absent.
std::optional<std::string> osReleaseValue(const std::string& key) {
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream in(path);
        if (!in) continue;
        for (std::string line; std::getline(in, line);) {
            if (line.compare(0, key.size() + 1, key + "=") != 0) continue;
            std::string v = line.substr(key.size() + 1);
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
                v = v.substr(1, v.size() - 2);
            return v.empty() ? std::nullopt : std::optional(v);
        }
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::string> firstLine(const char* path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line) || line.empty()) return std::nullopt;
    return line;
}

// "de_DE" from LC_ALL, LC_MESSAGES or LANG ("de_DE.UTF-8@euro"); "en_US" for C and POSIX.
std::string userLocale() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(var);
        if (!v || !*v) continue;
        std::string s(v);
        s = s.substr(0, s.find_first_of(".@"));
        if (s == "C" || s == "POSIX" || s.empty()) break;
        return s;
    }
    return "en_US";
}

int64_t timeZoneOffsetMinutes() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return int64_t(local.tm_gmtoff / 60);
}

}  // namespace

const platform::ClassInfo MSDeviceHistoryInfo::kClassInfo{"MSDeviceHistoryInfo", &MSSerializableObject::kClassInfo};

const MSFieldTable<MSDeviceHistoryInfo>& MSDeviceHistoryInfo::fields() {
    static const auto& table = *new MSFieldTable<MSDeviceHistoryInfo>{
        {"timestamp", &MSDeviceHistoryInfo::timestamp, {.isoDateInJSON = false}},
        {"device", &MSDeviceHistoryInfo::device},
    };
    return table;
}

MSDeviceTracker& MSDeviceTracker::sharedInstance() { return MSSharedInstance<MSDeviceTracker>::slot().get(); }
void MSDeviceTracker::resetSharedInstance() { MSSharedInstance<MSDeviceTracker>::slot().reset(); }

MSDeviceTracker::MSDeviceTracker() {
    registerTelemetryClasses();
    auto stored = MSUserDefaults::shared().objectForKey(kMSPastDevicesKey);
    if (!stored || !stored->isBytes()) return;
    const auto& bytes = stored->asBytes();
    auto entries = platform::KeyedUnarchiver::unarchivedObjects<MSDeviceHistoryInfo>(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (!entries) {
        MSLogWarning(kMSLogTag, "Couldn't read the device history: " + entries.error().localizedDescription());
        return;
    }
    for (auto& e : *entries)
        if (e->timestamp && e->device) history_.push_back(std::move(e));
    std::stable_sort(history_.begin(), history_.end(),
                     [](const auto& a, const auto& b) { return *a->timestamp < *b->timestamp; });
}

std::shared_ptr<MSDevice> MSDeviceTracker::device() {
    std::shared_ptr<MSDevice> made;
    {
        std::lock_guard lock(mutex_);
        if (device_) return device_;
    }
    made = deviceFromSystem();
    std::lock_guard lock(mutex_);
    if (device_) return device_;
    device_ = made;
    if (history_.empty() || !history_.back()->device->isEqual(*made)) {
        auto info = std::make_shared<MSDeviceHistoryInfo>();
        info->timestamp = platform::Date::now();
        info->device = made;
        history_.push_back(info);
        if (history_.size() > kMaxDevicesHistoryCount)
            history_.erase(history_.begin(), history_.end() - kMaxDevicesHistoryCount);
        storeLocked();
    }
    return device_;
}

std::shared_ptr<MSDevice> MSDeviceTracker::deviceForTimestamp(std::optional<platform::Date> timestamp) {
    {
        std::lock_guard lock(mutex_);
        if (timestamp && !history_.empty()) {
            // The first entry recorded after the time; the one before it was current then.
            auto after = std::upper_bound(history_.begin(), history_.end(), *timestamp,
                                          [](platform::Date t, const auto& e) { return t < *e->timestamp; });
            if (after == history_.begin()) return history_.front()->device;
            return (*(after - 1))->device;
        }
    }
    return device();
}

void MSDeviceTracker::clearDevices() {
    std::lock_guard lock(mutex_);
    if (history_.size() < 2) return;
    history_.erase(history_.begin(), history_.end() - 1);
    storeLocked();
}

void MSDeviceTracker::recordDevice(std::shared_ptr<MSDevice> device, platform::Date at) {
    std::lock_guard lock(mutex_);
    auto info = std::make_shared<MSDeviceHistoryInfo>();
    info->timestamp = at;
    info->device = std::move(device);
    auto pos = std::upper_bound(history_.begin(), history_.end(), at,
                                [](platform::Date t, const auto& e) { return t < *e->timestamp; });
    history_.insert(pos, info);
    if (history_.size() > kMaxDevicesHistoryCount)
        history_.erase(history_.begin(), history_.end() - kMaxDevicesHistoryCount);
    storeLocked();
}

std::vector<std::shared_ptr<MSDeviceHistoryInfo>> MSDeviceTracker::history() const {
    std::lock_guard lock(mutex_);
    return history_;
}

void MSDeviceTracker::storeLocked() const {
    const std::vector<std::shared_ptr<const platform::Coding>> records(history_.begin(), history_.end());
    const std::string archive = platform::KeyedArchiver::archivedData(records);
    MSUserDefaults::shared().setObject(platform::Bytes(archive.begin(), archive.end()), kMSPastDevicesKey);
}

std::shared_ptr<MSDevice> MSDeviceTracker::deviceFromSystem() {
    auto d = std::make_shared<MSDevice>();
    utsname u{};
    const bool haveUname = ::uname(&u) == 0;
    d->setSdkName(kMSSDKName);
    d->setSdkVersion(kMSSDKVersion);
    d->setOsName(osReleaseValue("NAME").value_or(haveUname ? u.sysname : "Linux"));
    auto version = osReleaseValue("VERSION_ID");
    if (!version && haveUname) version = u.release;
    d->setOsVersion(version.value_or("unknown"));
    if (haveUname) d->setOsBuild(std::string(u.release));
    auto model = firstLine("/sys/devices/virtual/dmi/id/product_name");
    if (!model && haveUname) model = u.machine;
    d->setModel(model);
    d->setOemName(firstLine("/sys/devices/virtual/dmi/id/sys_vendor"));
    d->setLocale(userLocale());
    d->setTimeZoneOffset(timeZoneOffsetMinutes());
    d->setAppVersion(platform::BundleInfo::version());
    d->setAppBuild(platform::BundleInfo::buildVersion());
    d->setAppNamespace(platform::BundleInfo::identifier());
    return d;
}

}  // namespace quorvane
