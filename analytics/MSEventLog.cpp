#include "analytics/MSEventLog.h"

#include "analytics/MSAnalyticsConstants.h"
#include "platform/foundation/Strings.h"
#include "telemetry/MSCommonSchemaLog.h"
#include "telemetry/MSLogger.h"
#include "telemetry/MSUtility.h"

namespace quorvane {

const platform::ClassInfo MSLogWithNameAndProperties::kClassInfo{"MSLogWithNameAndProperties",
                                                                 &MSLogWithProperties::kClassInfo};
const platform::ClassInfo MSEventLog::kClassInfo{"MSEventLog", &MSLogWithNameAndProperties::kClassInfo};

// ---- name ----

const MSFieldTable<MSLogWithNameAndProperties>& MSLogWithNameAndProperties::fields() {
    static const auto& table = *new MSFieldTable<MSLogWithNameAndProperties>{{"name", &MSLogWithNameAndProperties::name}};
    return table;
}

bool MSLogWithNameAndProperties::isValid() const { return MSLogWithProperties::isValid() && name; }

// ---- event ----

const std::map<std::string, int>& MSEventLog::metadataTypeIdMapping() {
    static const auto& mapping = *new std::map<std::string, int>{{"long", 4}, {"double", 6}, {"dateTime", 9}};
    return mapping;
}

const MSFieldTable<MSEventLog>& MSEventLog::fields() {
    static const auto& table = *new MSFieldTable<MSEventLog>{
        {"id", &MSEventLog::eventId},
        {"typedProperties", &MSEventLog::typedProperties, {.compared = false}},
    };
    return table;
}

bool MSEventLog::isValid() const { return MSLogWithNameAndProperties::isValid() && eventId; }

// ---- Common Schema ----

std::shared_ptr<MSCommonSchemaLog> MSEventLog::toCommonSchemaLogForTargetToken(const std::string& token,
                                                                             uint32_t flags) const {
    auto csLog = MSLogWithNameAndProperties::toCommonSchemaLogForTargetToken(token, flags);
    csLog->name = name;
    setPropertiesAndMetadataForCSLog(*csLog);
    csLog->tag = tag;
    return csLog;
}

namespace {

constexpr const char* kBaseType = "baseType";
constexpr const char* kBaseData = "baseData";
constexpr const char* kBaseTypePrefix = "baseType.";
constexpr const char* kBaseDataPrefix = "baseData.";
constexpr const char* kMetadataFields = "f";

std::vector<std::string> splitAtDots(const std::string& name) {
    std::vector<std::string> keys;
    size_t start = 0;
    for (;;) {
        size_t dot = name.find('.', start);
        keys.push_back(name.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) return keys;
        start = dot + 1;
    }
}

// The dictionary under the key, made when absent; nullptr when the key holds another value.
platform::Value* childDictionary(platform::Value& node, const std::string& key) {
    platform::Value* child = node.find(key);
    if (!child) {
        node.set(key, platform::Value::dictionary());
        return node.find(key);
    }
    return child->isDictionary() ? child : nullptr;
}

// Stores the value under the key unless the node is missing or the key is taken.
bool addTypedPropertyToPropertyTree(const MSTypedProperty& property, platform::Value* node, const std::string& key) {
    if (!node || node->contains(key)) {
        MSLogWarning(kMSAnalyticsLogTag, "Property key '" + key + "' already has a value, choosing one.");
        return false;
    }
    const platform::Value& value = property.value();
    if (dynamic_cast<const MSDateTimeTypedProperty*>(&property))
        node->set(key, MSUtility::dateToISO8601(value.asDate()));
    else if (dynamic_cast<const MSStringTypedProperty*>(&property) || dynamic_cast<const MSBooleanTypedProperty*>(&property) ||
             dynamic_cast<const MSLongTypedProperty*>(&property) || dynamic_cast<const MSDoubleTypedProperty*>(&property))
        node->set(key, value);
    return true;
}

void addTypedProperty(const MSTypedProperty& property, platform::Value& metadata, platform::Value& properties) {
    const auto& mapping = MSEventLog::metadataTypeIdMapping();
    auto code = mapping.find(property.type());
    const bool hasCode = code != mapping.end();
    const auto keys = splitAtDots(property.name.value_or(""));

    platform::Value* node = &properties;
    platform::Value* metadataNode = &metadata;
    platform::Value* madeFieldsAt = nullptr;  // the first node where this property made an "f"
    for (size_t i = 0; i + 1 < keys.size(); ++i) {
        node = childDictionary(*node, keys[i]);
        if (!node) break;
        if (hasCode && metadataNode) {
            if (!metadataNode->contains(kMetadataFields)) {
                if (!madeFieldsAt) madeFieldsAt = metadataNode;
                metadataNode->set(kMetadataFields, platform::Value::dictionary());
            }
            metadataNode = childDictionary(*metadataNode->find(kMetadataFields), keys[i]);
        }
    }
    if (addTypedPropertyToPropertyTree(property, node, keys.back())) {
        if (hasCode && metadataNode) {
            if (!metadataNode->contains(kMetadataFields)) metadataNode->set(kMetadataFields, platform::Value::dictionary());
            metadataNode->find(kMetadataFields)->set(keys.back(), code->second);
        }
    } else if (madeFieldsAt) {
        madeFieldsAt->remove(kMetadataFields);
    }
}

}  // namespace

void MSEventLog::setPropertiesAndMetadataForCSLog(MSCommonSchemaLog& csLog) const {
    auto properties = platform::Value::dictionary();
    auto metadata = platform::Value::dictionary();
    // A copy: the rules below leave properties out of the converted log, never out of the event.
    auto typed = typedProperties ? typedProperties->properties() : MSEventProperties::PropertyMap();
    if (!typed.empty()) {
        auto baseType = typed.find(kBaseType);
        if (baseType != typed.end() && dynamic_cast<const MSStringTypedProperty*>(baseType->second.get())) {
            bool hasBaseData = false;
            for (const auto& [name, p] : typed) hasBaseData = hasBaseData || platform::hasPrefix(name, kBaseDataPrefix);
            if (!hasBaseData) {
                MSLogWarning(kMSAnalyticsLogTag, "baseType was set but baseData is missing.");
                typed.erase(baseType);
            }
        } else {
            bool removed = false;
            for (auto it = typed.begin(); it != typed.end();) {
                if (platform::hasPrefix(it->first, kBaseDataPrefix)) {
                    it = typed.erase(it);
                    removed = true;
                } else {
                    ++it;
                }
            }
            if (removed) MSLogWarning(kMSAnalyticsLogTag, "baseData was set but baseType is missing or invalid.");
            typed.erase(kBaseType);
        }
        for (const auto& [name, property] : typed) {
            if (platform::hasPrefix(name, kBaseTypePrefix)) {
                MSLogWarning(kMSAnalyticsLogTag, "baseType must not be an object.");
            } else if (name == kBaseData) {
                MSLogWarning(kMSAnalyticsLogTag, "baseData must be an object.");
            } else {
                addTypedProperty(*property, metadata, properties);
            }
        }
    }
    if (properties.size() > 0) {
        csLog.data = std::make_shared<MSCSData>();
        csLog.data->properties = std::move(properties);
    }
    if (metadata.size() > 0) {
        if (!csLog.ext) csLog.ext = std::make_shared<MSCSExtensions>();
        csLog.ext->metadataExt = std::make_shared<MSMetadataExtension>();
        csLog.ext->metadataExt->setMetadata(std::move(metadata));
    }
}

}  // namespace quorvane
