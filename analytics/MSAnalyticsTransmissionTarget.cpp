#include "analytics/MSAnalyticsTransmissionTarget.h"

#include "analytics/MSAnalytics.h"
#include "platform/foundation/ForkSafeMutex.h"
#include "telemetry/MSCommonSchemaLog.h"
#include "telemetry/MSLogger.h"
#include "telemetry/MSUserDefaults.h"
#include "telemetry/MSUtility.h"

namespace quorvane {

namespace {

// The class-wide authentication provider; kept for the whole process, as channel threads may
// still read it at exit.
struct ProviderSlot {
    platform::ForkSafeMutex mutex;
    std::shared_ptr<MSAnalyticsAuthenticationProvider> provider;
};
ProviderSlot& providerSlot() {
    static auto* slot = new ProviderSlot();
    return *slot;
}

platform::ForkSafeRecursiveMutex& serviceLock() { return MSAnalytics::sharedInstance()->serviceLock(); }

}  // namespace

MSAnalyticsTransmissionTarget::MSAnalyticsTransmissionTarget(std::string token,
                                                             const std::shared_ptr<MSAnalyticsTransmissionTarget>& parent,
                                                             std::shared_ptr<MSChannelGroup> channelGroup)
    : transmissionTargetToken_(std::move(token)),
      parentTarget_(parent),
      channelGroup_(std::move(channelGroup)),
      // Each target's own key: two targets never share a stored state, whether their tokens
      // share a tenant or the same token sits at another place of the tree.
      isEnabledKey_((parent ? parent->isEnabledKey() : std::string(kMSAnalyticsIsEnabledKey)) + "/" +
                    transmissionTargetToken_) {}

std::shared_ptr<MSAnalyticsTransmissionTarget> MSAnalyticsTransmissionTarget::initWithTransmissionTargetToken(
    const std::string& token, const std::shared_ptr<MSAnalyticsTransmissionTarget>& parentTarget,
    const std::shared_ptr<MSChannelGroup>& channelGroup) {
    // A token that could never be sent would hold its logs, and the batches they share, for good.
    if (auto problem = MSUtility::targetTokenProblem(token)) {
        MSLogError(kMSAnalyticsLogTag, "Transmission target token is not valid: " + *problem + ". No target is made.");
        return nullptr;
    }
    std::shared_ptr<MSAnalyticsTransmissionTarget> target(
        new MSAnalyticsTransmissionTarget(token, parentTarget, channelGroup));
    target->propertyConfigurator_ = std::make_shared<MSPropertyConfigurator>(target);
    {
        std::lock_guard lock(serviceLock());
        if (!target->isImmediateParent()) MSUserDefaults::shared().setObject(false, target->isEnabledKey_);
    }
    if (channelGroup) {
        channelGroup->addDelegate(target->propertyConfigurator_);
        channelGroup->addDelegate(target);
    }
    return target;
}

std::shared_ptr<MSAnalyticsTransmissionTarget> MSAnalyticsTransmissionTarget::transmissionTargetForToken(
    const std::string& token) {
    // The service's lock first, as everywhere: making the child reads its parent's state.
    std::lock_guard serviceLocked(serviceLock());
    std::lock_guard lock(childrenMutex_);
    if (auto found = childTransmissionTargets_.find(token); found != childTransmissionTargets_.end()) return found->second;
    auto child = initWithTransmissionTargetToken(token, shared_from_this(), channelGroup_);
    if (child) childTransmissionTargets_[token] = child;
    return child;
}

std::map<std::string, std::shared_ptr<MSAnalyticsTransmissionTarget>>
MSAnalyticsTransmissionTarget::childTransmissionTargets() const {
    std::lock_guard lock(childrenMutex_);
    return childTransmissionTargets_;
}

// ---- tracking ----

void MSAnalyticsTransmissionTarget::trackEvent(const std::string& name, const platform::Value& properties,
                                               uint32_t flags) {
    std::shared_ptr<MSEventProperties> typed;
    if (properties.isDictionary()) {
        typed = std::make_shared<MSEventProperties>();
        for (const auto& [key, value] : properties.asDictionary())
            typed->setString(value.isString() ? std::optional(value.asString()) : std::nullopt, key);
    }
    trackEvent(name, typed, flags);
}

void MSAnalyticsTransmissionTarget::trackEvent(const std::string& name,
                                               const std::shared_ptr<MSEventProperties>& properties, uint32_t flags) {
    auto merged = std::make_shared<MSEventProperties>();
    for (auto target = shared_from_this(); target; target = target->parentTarget())
        target->propertyConfigurator_->mergeTypedPropertiesWith(*merged);
    if (properties) merged->mergeEventProperties(*properties);
    else if (merged->isEmpty()) merged.reset();
    MSAnalytics::trackEvent(name, merged, shared_from_this(), flags);
}

// ---- enabled state ----

bool MSAnalyticsTransmissionTarget::isEnabled() const {
    std::lock_guard lock(serviceLock());
    auto stored = MSUserDefaults::shared().objectForKey(isEnabledKey_);
    return !stored || stored->asBool(true);
}

void MSAnalyticsTransmissionTarget::setEnabled(bool enabled) {
    std::lock_guard lock(serviceLock());
    if (enabled != isEnabled()) {
        if (enabled && !isImmediateParent()) {
            MSLogWarning(kMSAnalyticsLogTag,
                         "Can't enable; parent transmission target and/or Analytics service is disabled.");
            return;
        }
        MSUserDefaults::shared().setObject(enabled, isEnabledKey_);
        if (enabled) resume();
    }
    for (const auto& [token, child] : childTransmissionTargets()) child->setEnabled(enabled);
}

bool MSAnalyticsTransmissionTarget::isImmediateParent() const {
    if (auto parent = parentTarget()) return parent->isEnabled();
    return MSServiceAbstract::isEnabledForSharedInstance(*MSAnalytics::sharedInstance());
}

void MSAnalyticsTransmissionTarget::pause() {
    if (!isEnabled()) {
        MSLogError(kMSAnalyticsLogTag, "This transmission target is disabled.");
        return;
    }
    MSAnalytics::pauseTransmissionTargetForToken(transmissionTargetToken_);
}

void MSAnalyticsTransmissionTarget::resume() {
    if (!isEnabled()) {
        MSLogError(kMSAnalyticsLogTag, "This transmission target is disabled.");
        return;
    }
    MSAnalytics::resumeTransmissionTargetForToken(transmissionTargetToken_);
}

// ---- authentication ----

void MSAnalyticsTransmissionTarget::addAuthenticationProvider(
    const std::shared_ptr<MSAnalyticsAuthenticationProvider>& provider) {
    if (!provider) {
        MSLogError(kMSAnalyticsLogTag, "Authentication provider may not be null.");
        return;
    }
    setAuthenticationProvider(provider);
    provider->acquireTokenAsync();
}

std::shared_ptr<MSAnalyticsAuthenticationProvider> MSAnalyticsTransmissionTarget::authenticationProvider() {
    auto& slot = providerSlot();
    std::lock_guard lock(slot.mutex);
    return slot.provider;
}

void MSAnalyticsTransmissionTarget::setAuthenticationProvider(std::shared_ptr<MSAnalyticsAuthenticationProvider> provider) {
    auto& slot = providerSlot();
    std::lock_guard lock(slot.mutex);
    slot.provider = std::move(provider);
}

void MSAnalyticsTransmissionTarget::prepareLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log) {
    auto csLog = std::dynamic_pointer_cast<MSCommonSchemaLog>(log);
    if (!csLog) return;
    auto tokens = csLog->transmissionTargetTokens();
    if (!tokens || !tokens->count(transmissionTargetToken_) || !isEnabled()) return;
    auto provider = authenticationProvider();
    if (!provider || !provider->ticketKeyHash()) return;
    if (!csLog->ext) csLog->ext = std::make_shared<MSCSExtensions>();
    if (!csLog->ext->protocolExt) csLog->ext->protocolExt = std::make_shared<MSProtocolExtension>();
    csLog->ext->protocolExt->setTicketKeys(std::vector<std::string>{*provider->ticketKeyHash()});
    provider->checkTokenExpiry();
}

}  // namespace quorvane
