// The checks of usage analytics: at tracking time (string properties cleaned, typed properties
// held to limits) and at the filter on the way into storage (names and string properties).
// Lengths count UTF-16 units, and cuts never split a character.

#include "analytics/MSAnalytics.h"
#include "platform/foundation/Strings.h"
#include "telemetry/MSLogger.h"
#include "telemetry/MSUtility.h"

namespace quorvane {

bool MSAnalytics::shouldFilterLog(MSChannelUnit&, const std::shared_ptr<MSAbstractLog>& log) {
    auto* named = dynamic_cast<MSLogWithNameAndProperties*>(log.get());
    if (!named || !(dynamic_cast<MSEventLog*>(named) || dynamic_cast<MSPageLog*>(named))) return false;
    return !validateLog(*named);
}

bool MSAnalytics::validateLog(MSLogWithNameAndProperties& log) {
    const std::string type = log.type.value_or("");
    auto name = validateEventName(log.name, type);
    if (!name) return false;
    auto properties = validateProperties(log.properties, *name, type);
    const bool changed = name != log.name || (log.properties ? *log.properties : decltype(properties)()) != properties;
    log.name = std::move(name);
    if (log.properties || !properties.empty()) log.properties = std::move(properties);
    if (changed) log.noteChangedWhileFiltering();
    return true;
}

std::optional<std::string> MSAnalytics::validateEventName(const std::optional<std::string>& name,
                                                          const std::string& logType) {
    if (!name || name->empty()) {
        MSLogError(kMSAnalyticsLogTag, logType + " name cannot be null or empty");
        return std::nullopt;
    }
    if (platform::utf16Length(*name) > size_t(kMSMaxEventNameLength)) {
        MSLogWarning(kMSAnalyticsLogTag, logType + " '" + *name + "' : name length cannot be longer than " +
                                             std::to_string(kMSMaxEventNameLength) +
                                             " characters. Name will be truncated.");
        return platform::utf16Prefix(*name, kMSMaxEventNameLength);
    }
    return name;
}

std::map<std::string, std::string> MSAnalytics::validateProperties(
    const std::optional<std::map<std::string, std::string>>& properties, const std::string& logName,
    const std::string& logType) {
    auto dictionary = platform::Value::dictionary();
    if (properties)
        for (const auto& [key, value] : *properties) dictionary.set(key, value);
    return MSUtility::validateProperties(dictionary, logName, logType);
}

std::shared_ptr<MSEventProperties> MSAnalytics::validateRevAzezarEventProperties(const MSEventProperties& properties) {
    auto valid = std::make_shared<MSEventProperties>();
    for (const auto& [name, property] : properties.properties()) {
        if (valid->count() >= size_t(kMSMaxPropertiesPerTypedLog)) {
            MSLogWarning(kMSAnalyticsLogTag, "Typed properties cannot contain more than " +
                                                 std::to_string(kMSMaxPropertiesPerTypedLog) +
                                                 " items. Skipping other properties.");
            break;
        }
        auto checked = validateRevAzezarTypedProperty(*property);
        if (!checked) continue;
        // Two long names cut to the same one: the first keeps it, the other is left out, not lost unseen.
        if (valid->properties().count(*checked->name)) {
            MSLogWarning(kMSAnalyticsLogTag, "Typed property '" + name + "': its name cut to " +
                                                 std::to_string(kMSMaxTypedPropertyKeyLength) +
                                                 " characters is that of another property. Property will be skipped.");
            continue;
        }
        valid->setProperty(checked);
    }
    return valid;
}

std::shared_ptr<MSTypedProperty> MSAnalytics::validateRevAzezarTypedProperty(const MSTypedProperty& property) {
    std::shared_ptr<MSTypedProperty> copy;
    if (auto* s = dynamic_cast<const MSStringTypedProperty*>(&property)) {
        auto p = std::make_shared<MSStringTypedProperty>();
        p->setValue(validateRevAzezarStringTypedPropertyValue(s->stringValue().value_or("")));
        copy = p;
    } else if (auto* b = dynamic_cast<const MSBooleanTypedProperty*>(&property)) {
        auto p = std::make_shared<MSBooleanTypedProperty>();
        p->setValue(b->boolValue());
        copy = p;
    } else if (auto* l = dynamic_cast<const MSLongTypedProperty*>(&property)) {
        auto p = std::make_shared<MSLongTypedProperty>();
        p->setValue(l->longValue());
        copy = p;
    } else if (auto* d = dynamic_cast<const MSDoubleTypedProperty*>(&property)) {
        auto p = std::make_shared<MSDoubleTypedProperty>();
        p->setValue(d->doubleValue());
        copy = p;
    } else if (auto* t = dynamic_cast<const MSDateTimeTypedProperty*>(&property)) {
        auto date = t->dateValue();
        if (!date || !MSEventProperties::isSendableDate(*date)) return nullptr;
        auto p = std::make_shared<MSDateTimeTypedProperty>();
        p->setValue(*date);
        copy = p;
    } else {
        return nullptr;
    }
    copy->name = validateRevAzezarPropertyName(property.name.value_or(""));
    return copy;
}

std::string MSAnalytics::validateRevAzezarPropertyName(const std::string& name) {
    if (platform::utf16Length(name) <= size_t(kMSMaxTypedPropertyKeyLength)) return name;
    MSLogWarning(kMSAnalyticsLogTag, "Typed property '" + name + "': key length cannot exceed " +
                                         std::to_string(kMSMaxTypedPropertyKeyLength) +
                                         " characters. Property value will be truncated.");
    return platform::utf16Prefix(name, kMSMaxTypedPropertyKeyLength);
}

std::string MSAnalytics::validateRevAzezarStringTypedPropertyValue(const std::string& value) {
    if (platform::utf16Length(value) <= size_t(kMSMaxTypedPropertyStringValueLength)) return value;
    MSLogWarning(kMSAnalyticsLogTag, "Typed property value length cannot exceed " +
                                         std::to_string(kMSMaxTypedPropertyStringValueLength) +
                                         " characters. Property value will be truncated.");
    return platform::utf16Prefix(value, kMSMaxTypedPropertyStringValueLength);
}

std::map<std::string, std::string> MSAnalytics::removeInvalidProperties(const platform::Value& properties) {
    std::map<std::string, std::string> valid;
    if (!properties.isDictionary()) return valid;
    // Keys of a dictionary are always strings here; an entry without value is one holding null.
    for (const auto& entry : properties.asDictionary()) {
        const std::string& key = entry.first;
        const platform::Value& value = entry.second;
        if (value.isNull()) {
            MSLogWarning(kMSAnalyticsLogTag,
                         "Event property contains an invalid value for key " + key + ", dropping the property.");
            continue;
        }
        if (value.isString()) valid[key] = value.asString();
    }
    return valid;
}

}  // namespace quorvane
