#include "telemetry/MSServiceAbstract.h"

#include "telemetry/MSLogger.h"
#include "telemetry/MSRevAzezar.h"
#include "telemetry/MSUserDefaults.h"

namespace quorvane {

void MSServiceAbstract::init() { isEnabledKey_ = "kMS" + groupId() + "IsEnabledKey"; }

bool MSServiceAbstract::isEnabled() const {
    auto stored = MSUserDefaults::shared().objectForKey(isEnabledKey_);
    return !stored || stored->asBool(true);
}

void MSServiceAbstract::setEnabled(bool enabled) {
    if (enabled == isEnabled()) return;
    applyEnabledState(enabled);
    MSUserDefaults::shared().setObject(enabled, isEnabledKey_);
}

void MSServiceAbstract::applyEnabledState(bool enabled) {
    if (auto unit = channelUnit()) unit->setEnabled(enabled, true);
}

bool MSServiceAbstract::canBeUsed() const {
    if (MSRevAzezar::sharedInstance().isSdkConfigured() && started()) return true;
    MSLogError(kMSLogTag, serviceName() +
                              " service hasn't been started. You need to call [MSRevAzezar start:YOUR_APP_SECRET "
                              "withServices:LIST_OF_SERVICES] first.");
    return false;
}

bool MSServiceAbstract::started() const {
    std::lock_guard lock(mutex_);
    return started_;
}

bool MSServiceAbstract::startedFromApplication() const {
    std::lock_guard lock(mutex_);
    return startedFromApplication_;
}

void MSServiceAbstract::startWithChannelGroup(const std::shared_ptr<MSChannelGroup>& channelGroup,
                                              std::optional<std::string> appSecret,
                                              std::optional<std::string> transmissionTargetToken,
                                              bool fromApplication) {
    {
        std::lock_guard lock(mutex_);
        startedFromApplication_ = fromApplication;
        channelGroup_ = channelGroup;
        appSecret_ = std::move(appSecret);
        defaultTransmissionTargetToken_ = std::move(transmissionTargetToken);
        started_ = true;
    }
    auto unit = channelGroup->addChannelUnitWithConfiguration(channelUnitConfiguration());
    {
        std::lock_guard lock(mutex_);
        channelUnit_ = unit;
    }
    if (isEnabled()) applyEnabledState(true);
}

void MSServiceAbstract::updateConfigurationWithAppSecret(std::optional<std::string> appSecret,
                                                         std::optional<std::string> transmissionTargetToken) {
    {
        std::lock_guard lock(mutex_);
        startedFromApplication_ = true;
        appSecret_ = std::move(appSecret);
        defaultTransmissionTargetToken_ = std::move(transmissionTargetToken);
    }
    if (isEnabled()) applyEnabledState(true);
}

std::shared_ptr<MSChannelUnit> MSServiceAbstract::channelUnit() const {
    std::lock_guard lock(mutex_);
    return channelUnit_;
}
std::shared_ptr<MSChannelGroup> MSServiceAbstract::channelGroup() const {
    std::lock_guard lock(mutex_);
    return channelGroup_;
}
std::optional<std::string> MSServiceAbstract::appSecret() const {
    std::lock_guard lock(mutex_);
    return appSecret_;
}
std::optional<std::string> MSServiceAbstract::defaultTransmissionTargetToken() const {
    std::lock_guard lock(mutex_);
    return defaultTransmissionTargetToken_;
}

bool MSServiceAbstract::isEnabledForSharedInstance(MSServiceAbstract& instance) {
    std::lock_guard lock(instance.sharedLock_);
    return instance.canBeUsed() && instance.isEnabled();
}

void MSServiceAbstract::setEnabledForSharedInstance(MSServiceAbstract& instance, bool enabled) {
    std::lock_guard lock(instance.sharedLock_);
    if (!instance.canBeUsed()) return;
    auto& sdk = MSRevAzezar::sharedInstance();
    if (!sdk.isEnabled() && !sdk.isSdkWideChangeInProgress()) {
        MSLogError(kMSLogTag, "The SDK is disabled. Re-enable the whole SDK from RevAzezar first before enabling " +
                                  instance.serviceName() + " service.");
        return;
    }
    instance.setEnabled(enabled);
}

}  // namespace quorvane
