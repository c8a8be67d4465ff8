#include "telemetry/MSAbstractLog.h"

#include "telemetry/MSCommonSchemaLog.h"
#include "telemetry/MSRevAzezar.h"
#include "telemetry/MSUserIdContext.h"
#include "telemetry/MSUtility.h"

namespace quorvane {

const platform::ClassInfo MSAbstractLog::kClassInfo{"MSAbstractLog", &MSSerializableObject::kClassInfo};

std::optional<std::set<std::string>> MSAbstractLog::transmissionTargetTokens() const {
    std::lock_guard lock(tokensMutex_);
    return tokens_;
}

void MSAbstractLog::addTransmissionTargetToken(const std::string& token) {
    std::lock_guard lock(tokensMutex_);
    if (!tokens_) tokens_.emplace();
    tokens_->insert(token);
}

const MSFieldTable<MSAbstractLog>& MSAbstractLog::fields() {
    static const auto& table = *new MSFieldTable<MSAbstractLog>{
        {"type", &MSAbstractLog::type},
        {"timestamp", &MSAbstractLog::timestamp},
        {"sid", &MSAbstractLog::sid},
        {"distributionGroupId", &MSAbstractLog::distributionGroupId},
        {"userId", &MSAbstractLog::userId},
        {"device", &MSAbstractLog::device},
        {"tag", &MSAbstractLog::tag, {.archived = false, .serialized = false}},
    };
    return table;
}

bool MSAbstractLog::isValid() const { return type && timestamp && device && device->isValid(); }

std::vector<std::shared_ptr<MSCommonSchemaLog>> MSAbstractLog::toCommonSchemaLogsWithFlags(uint32_t flags) const {
    std::vector<std::shared_ptr<MSCommonSchemaLog>> logs;
    if (auto tokens = transmissionTargetTokens())
        for (const auto& token : *tokens) logs.push_back(toCommonSchemaLogForTargetToken(token, flags));
    return logs;
}

namespace {
std::string timeZoneText(int64_t minutes) {
    const int64_t m = minutes < 0 ? -minutes : minutes;
    std::string hh = std::to_string(m / 60), mm = std::to_string(m % 60);
    if (hh.size() < 2) hh.insert(0, "0");
    if (mm.size() < 2) mm.insert(0, "0");
    return (minutes < 0 ? "-" : "+") + hh + ":" + mm;
}
}  // namespace

std::shared_ptr<MSCommonSchemaLog> MSAbstractLog::toCommonSchemaLogForTargetToken(const std::string& token,
                                                                                uint32_t flags) const {
    auto cs = std::make_shared<MSCommonSchemaLog>();
    cs->addTransmissionTargetToken(token);
    cs->ver = kMSCSVerValue;
    cs->timestamp = timestamp;
    if (auto key = MSUtility::targetKeyFromTargetToken(token)) cs->iKey = "o:" + *key;
    cs->flags = int64_t(flags);
    cs->tag = tag;

    auto ext = std::make_shared<MSCSExtensions>();
    ext->protocolExt = std::make_shared<MSProtocolExtension>();
    ext->userExt = std::make_shared<MSUserExtension>();
    ext->osExt = std::make_shared<MSOSExtension>();
    ext->appExt = std::make_shared<MSAppExtension>();
    ext->netExt = std::make_shared<MSNetExtension>();
    ext->sdkExt = std::make_shared<MSSDKExtension>();
    ext->locExt = std::make_shared<MSLocExtension>();
    ext->deviceExt = std::make_shared<MSDeviceExtension>();
    ext->sdkExt->setInstallId(MSRevAzezar::installId());
    ext->userExt->setLocalId(MSUserIdContext::prefixedUserIdFromUserId(userId));
    if (device) {
        ext->protocolExt->setDevMake(device->oemName());
        ext->protocolExt->setDevModel(device->model());
        ext->userExt->setLocale(device->locale());
        ext->osExt->setName(device->osName());
        ext->osExt->setVer(device->osVersion());
        ext->appExt->setId(device->appNamespace());
        ext->appExt->setVer(device->appVersion());
        ext->appExt->setLocale(device->locale());
        if (device->sdkName() && device->sdkVersion())
            ext->sdkExt->setLibVer(*device->sdkName() + "-" + *device->sdkVersion());
        if (auto tz = device->timeZoneOffset()) ext->locExt->setTz(timeZoneText(*tz));
    }
    cs->ext = std::move(ext);
    return cs;
}

}  // namespace quorvane
