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

namespace {
// Calls f(key, member) for every extension in serialisation order.
template <class Self, class F>
void forEachExtension(Self& s, F&& f) {
    f("metadata", s.metadataExt);
    f("protocol", s.protocolExt);
    f("user", s.userExt);
    f("device", s.deviceExt);
    f("os", s.osExt);
    f("app", s.appExt);
    f("net", s.netExt);
    f("sdk", s.sdkExt);
    f("loc", s.locExt);
}
}  // namespace

platform::Value MSCSExtensions::serializeToDictionary() const {
    auto dict = platform::Value::dictionary();
    forEachExtension(*this, [&](const char* key, const auto& ext) {
        if (ext) dict.set(key, ext->serializeToDictionary());
    });
    return dict;
}

bool MSCSExtensions::isEqual(const MSSerializableObject& other) const {
    auto* o = dynamic_cast<const MSCSExtensions*>(&other);
    if (!o) return false;
    return msObjectsEqual(metadataExt, o->metadataExt) && msObjectsEqual(protocolExt, o->protocolExt) &&
           msObjectsEqual(userExt, o->userExt) && msObjectsEqual(deviceExt, o->deviceExt) &&
           msObjectsEqual(osExt, o->osExt) && msObjectsEqual(appExt, o->appExt) && msObjectsEqual(netExt, o->netExt) &&
           msObjectsEqual(sdkExt, o->sdkExt) && msObjectsEqual(locExt, o->locExt);
}

void MSCSExtensions::encodeWithCoder(platform::KeyedArchiver& coder) const {
    forEachExtension(*this, [&](const char* key, const auto& ext) { coder.encodeObject(ext.get(), key); });
}

bool MSCSExtensions::initWithCoder(platform::KeyedUnarchiver& coder) {
    forEachExtension(*this, [&](const char* key, auto& ext) {
        ext = coder.decodeObject<typename std::decay_t<decltype(ext)>::element_type>(key);
    });
    return !coder.failed();
}

// ---- MSCSData ----

const platform::ClassInfo MSCSData::kClassInfo{"MSCSData", &MSSerializableObject::kClassInfo};

platform::Value MSCSData::serializeToDictionary() const {
    auto dict = platform::Value::dictionary();
    for (const char* first : {"baseType", "baseData"})
        if (const auto* v = properties.find(first)) dict.set(first, *v);
    if (properties.isDictionary())
        for (const auto& [k, v] : properties.asDictionary())
            if (k != "baseType" && k != "baseData") dict.set(k, v);
    return dict;
}

bool MSCSData::isEqual(const MSSerializableObject& other) const {
    auto* o = dynamic_cast<const MSCSData*>(&other);
    return o && properties == o->properties;
}

void MSCSData::encodeWithCoder(platform::KeyedArchiver& coder) const { coder.encodeValue(properties, "properties"); }

bool MSCSData::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto p = coder.decodeValue("properties");
    if (p && !p->isDictionary()) coder.fail("the properties of MSCSData are not a dictionary");
    if (p) properties = std::move(*p);
    return !coder.failed();
}

}  // namespace quorvane
