#include "telemetry/MSCSExtensions.h"

namespace quorvane {

using T = platform::Value::Type;

#define MS_RECORD_CLASS(Name, ...)                                                  \
    const platform::ClassInfo Name::kClassInfo{#Name, &MSKeyedRecord::kClassInfo}; \
    const std::vector<MSKeyedRecord::Field>& Name::fieldList() const {             \
        static const auto& fields = *new std::vector<Field>{__VA_ARGS__};                        \
        return fields;                                                              \
    }

MS_RECORD_CLASS(MSAppExtension, {"id", T::String}, {"ver", T::String}, {"name", T::String}, {"locale", T::String})
MS_RECORD_CLASS(MSUserExtension, {"localId", T::String}, {"locale", T::String})
MS_RECORD_CLASS(MSDeviceExtension, {"localId", T::String})
MS_RECORD_CLASS(MSOSExtension, {"name", T::String}, {"ver", T::String})
MS_RECORD_CLASS(MSNetExtension, {"provider", T::String})
MS_RECORD_CLASS(MSSDKExtension, {"libVer", T::String}, {"epoch", T::String}, {"seq", T::Int}, {"installId", T::String})
MS_RECORD_CLASS(MSLocExtension, {"tz", T::String})
MS_RECORD_CLASS(MSProtocolExtension, {"ticketKeys", T::Array}, {"devMake", T::String}, {"devModel", T::String})
MS_RECORD_CLASS(MSMetadataExtension, {"metadata", T::Dictionary})

std::optional<std::vector<std::string>> MSProtocolExtension::ticketKeys() const {
    const auto& v = field("ticketKeys");
    if (!v.isArray()) return std::nullopt;
    std::vector<std::string> keys;
    for (const auto& k : v.asArray())
        if (k.isString()) keys.push_back(k.asString());
    return keys;
}

void MSProtocolExtension::setTicketKeys(std::optional<std::vector<std::string>> keys) {
    if (!keys) return setField("ticketKeys", platform::Value());
    platform::Value::Array a(keys->begin(), keys->end());
    setField("ticketKeys", platform::Value(std::move(a)));
}

platform::Value MSMetadataExtension::serializeToDictionary() const {
    const auto& m = field("metadata");
    return m.isDictionary() ? m : platform::Value::dictionary();
}

// ---- MSCSExtensions ----

const platform::ClassInfo MSCSExtensions::kClassInfo{"MSCSExtensions", &MSSerializableObject::kClassInfo};

const MSFieldTable<MSCSExtensions>& MSCSExtensions::fields() {
    static const auto& table = *new MSFieldTable<MSCSExtensions>{
        {"metadata", &MSCSExtensions::metadataExt}, {"protocol", &MSCSExtensions::protocolExt},
        {"user", &MSCSExtensions::userExt},         {"device", &MSCSExtensions::deviceExt},
        {"os", &MSCSExtensions::osExt},             {"app", &MSCSExtensions::appExt},
        {"net", &MSCSExtensions::netExt},           {"sdk", &MSCSExtensions::sdkExt},
        {"loc", &MSCSExtensions::locExt},
    };
    return table;
}

// ---- MSCSData ----

const platform::ClassInfo MSCSData::kClassInfo{"MSCSData", &MSSerializableObject::kClassInfo};

const MSFieldTable<MSCSData>& MSCSData::fields() {
    using Row = MSField<MSCSData>;
    static const auto& table = *new MSFieldTable<MSCSData>{
        {"properties",
         Row::Functions{
             .encode = [](const MSCSData& d, platform::KeyedArchiver& coder,
                          const char* key) { coder.encodeValue(d.properties, key); },
             .decode =
                 [](MSCSData& d, platform::KeyedUnarchiver& coder, const char* key) {
                     auto p = coder.decodeValue(key);
                     if (p && !p->isDictionary()) coder.fail("the properties of MSCSData are not a dictionary");
                     if (p) d.properties = std::move(*p);
                 },
             .equal = [](const MSCSData& a, const MSCSData& b) { return a.properties == b.properties; },
         }},
    };
    return table;
}

platform::Value MSCSData::serializeToDictionary() const {
    auto dict = platform::Value::dictionary();
    for (const char* first : {"baseType", "baseData"})
        if (const auto* v = properties.find(first)) dict.set(first, *v);
    if (properties.isDictionary())
        for (const auto& [k, v] : properties.asDictionary())
            if (k != "baseType" && k != "baseData") dict.set(k, v);
    return dict;
}

}  // namespace quorvane
