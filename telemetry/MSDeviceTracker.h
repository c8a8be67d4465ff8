#pragma once
// The device description of this machine and application, and the time-ordered history of the
// descriptions earlier runs sent, so that a log can carry the device of its own time.

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/foundation/ForkSafeMutex.h"
#include "telemetry/MSDevice.h"
#include "telemetry/MSFieldRecord.h"

namespace quorvane {

inline constexpr const char* kMSSDKName = "revazezar.linux";
inline constexpr const char* kMSSDKVersion = "0.1.0";

class MSDeviceHistoryInfo : public MSFieldRecord<MSDeviceHistoryInfo, MSSerializableObject> {
    MS_CODING_CLASS()
public:
    std::optional<platform::Date> timestamp;
    std::shared_ptr<MSDevice> device;

    // "timestamp" (the date value itself in the JSON) and "device".
    static const MSFieldTable<MSDeviceHistoryInfo>& fields();
};

class MSDeviceTracker {
public:
    // History entries beyond this many are dropped, oldest first.
    static constexpr size_t kMaxDevicesHistoryCount = 5;

    static MSDeviceTracker& sharedInstance();
    // Drops the shared instance; the next one reads the stored history again (a restart).
    static void resetSharedInstance();

    // The current description, made from the machine on first use and then recorded in the
    // history when it differs from the newest entry.
    std::shared_ptr<MSDevice> device();
    // The description that was current at the time: with no time or no history, the current
    // one; otherwise the newest entry recorded at or before the time, or the oldest entry when
    // every entry is later.
    std::shared_ptr<MSDevice> deviceForTimestamp(std::optional<platform::Date> timestamp);
    // Keeps only the newest entry (when there are two or more) and stores the history.
    void clearDevices();
    // Records a description as current from the given time (kept in time order) and stores it.
    void recordDevice(std::shared_ptr<MSDevice> device, platform::Date at);
    std::vector<std::shared_ptr<MSDeviceHistoryInfo>> history() const;
    // When the stored history was read: the entries older than this came from earlier runs.
    platform::Date historyLoadedAt() const { return loadedAt_; }

    // A description of this machine: OS name and version from os-release, kernel release,
    // hardware model, locale, time-zone offset and the application's bundle info.
    static std::shared_ptr<MSDevice> deviceFromSystem();

    MSDeviceTracker();

private:
    void storeLocked() const;

    const platform::Date loadedAt_ = platform::Date::now();
    mutable platform::ForkSafeMutex mutex_;
    std::shared_ptr<MSDevice> device_;
    std::vector<std::shared_ptr<MSDeviceHistoryInfo>> history_;
};

}  // namespace quorvane
