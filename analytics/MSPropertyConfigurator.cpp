#include "analytics/MSPropertyConfigurator.h"

#include "analytics/MSAnalyticsConstants.h"
#include "analytics/MSAnalyticsTransmissionTarget.h"
#include "platform/foundation/BundleInfo.h"
#include "platform/foundation/UUID.h"
#include "telemetry/MSCommonSchemaLog.h"
#include "telemetry/MSLogger.h"
#include "telemetry/MSUserIdContext.h"

namespace quorvane {

MSPropertyConfigurator::MSPropertyConfigurator(const std::shared_ptr<MSAnalyticsTransmissionTarget>& transmissionTarget)
    : transmissionTarget_(transmissionTarget) {}

void MSPropertyConfigurator::setAppVersion(std::optional<std::string> appVersion) {
    std::lock_guard lock(mutex_);
    appVersion_ = std::move(appVersion);
}
void MSPropertyConfigurator::setAppName(std::optional<std::string> appName) {
    std::lock_guard lock(mutex_);
    appName_ = std::move(appName);
}
void MSPropertyConfigurator::setAppLocale(std::optional<std::string> appLocale) {
    std::lock_guard lock(mutex_);
    appLocale_ = std::move(appLocale);
}
std::optional<std::string> MSPropertyConfigurator::appVersion() const {
    std::lock_guard lock(mutex_);
    return appVersion_;
}
std::optional<std::string> MSPropertyConfigurator::appName() const {
    std::lock_guard lock(mutex_);
    return appName_;
}
std::optional<std::string> MSPropertyConfigurator::appLocale() const {
    std::lock_guard lock(mutex_);
    return appLocale_;
}

void MSPropertyConfigurator::setUserId(const std::optional<std::string>& userId) {
    if (!MSUserIdContext::isUserIdValidForOneCollector(userId)) return;
    std::lock_guard lock(mutex_);
    userId_ = MSUserIdContext::prefixedUserIdFromUserId(userId);
}
std::optional<std::string> MSPropertyConfigurator::userId() const {
    std::lock_guard lock(mutex_);
    return userId_;
}

// ---- default event properties ----

void MSPropertyConfigurator::setEventPropertyString(const std::optional<std::string>& value,
                                                    const std::optional<std::string>& key) {
    eventProperties_.setString(value, key);
}
void MSPropertyConfigurator::setEventPropertyDouble(double value, const std::optional<std::string>& key) {
    eventProperties_.setDouble(value, key);
}
void MSPropertyConfigurator::setEventPropertyInt64(int64_t value, const std::optional<std::string>& key) {
    eventProperties_.setInt64(value, key);
}
void MSPropertyConfigurator::setEventPropertyBool(bool value, const std::optional<std::string>& key) {
    eventProperties_.setBool(value, key);
}
void MSPropertyConfigurator::setEventPropertyDate(const std::optional<platform::Date>& value,
                                                  const std::optional<std::string>& key) {
    eventProperties_.setDate(value, key);
}

void MSPropertyConfigurator::removeEventPropertyForKey(const std::optional<std::string>& key) {
    if (!key) {
        MSLogError(kMSAnalyticsLogTag, "Event property key to remove cannot be nil.");
        return;
    }
    eventProperties_.removeProperty(*key);
}

void MSPropertyConfigurator::mergeTypedPropertiesWith(MSEventProperties& properties) const {
    const auto held = properties.properties();
    for (const auto& [name, property] : eventProperties_.properties())
        if (!held.count(name)) properties.setProperty(property);
}

// ---- device id ----

void MSPropertyConfigurator::collectDeviceId() {
    auto id = getDeviceIdentifier();
    std::lock_guard lock(mutex_);
    deviceId_ = std::move(id);
}

std::optional<std::string> MSPropertyConfigurator::deviceId() const {
    std::lock_guard lock(mutex_);
    return deviceId_;
}

std::optional<std::string> MSPropertyConfigurator::getDeviceIdentifier() {
    auto uuid = platform::UUID::machineUUID(platform::BundleInfo::identifier());
    if (!uuid) return std::nullopt;
    return "u:" + uuid->uuidString();
}

// ---- the logs of the target ----

void MSPropertyConfigurator::prepareLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log) {
    auto target = transmissionTarget();
    auto csLog = std::dynamic_pointer_cast<MSCommonSchemaLog>(log);
    if (!target || !csLog || csLog->tag.get() != static_cast<const void*>(target.get()) || !target->isEnabled()) return;

    // The nearest configurator up the chain with a value.
    auto nearest = [&](std::optional<std::string> (MSPropertyConfigurator::*field)() const) {
        for (auto t = target; t; t = t->parentTarget())
            if (auto value = (t->propertyConfigurator().get()->*field)()) return value;
        return std::optional<std::string>();
    };
    if (!csLog->ext) csLog->ext = std::make_shared<MSCSExtensions>();
    auto& ext = *csLog->ext;
    if (!ext.appExt) ext.appExt = std::make_shared<MSAppExtension>();
    if (!ext.userExt) ext.userExt = std::make_shared<MSUserExtension>();
    if (!ext.deviceExt) ext.deviceExt = std::make_shared<MSDeviceExtension>();
    if (auto v = nearest(&MSPropertyConfigurator::appVersion)) ext.appExt->setVer(v);
    if (auto v = nearest(&MSPropertyConfigurator::appName)) ext.appExt->setName(v);
    if (auto v = nearest(&MSPropertyConfigurator::appLocale)) ext.appExt->setLocale(v);
    if (auto v = nearest(&MSPropertyConfigurator::userId)) ext.userExt->setLocalId(v);
    ext.deviceExt->setLocalId(deviceId());
}

}  // namespace quorvane
