#include "telemetry/MSCommonSchemaLog.h"

#include "telemetry/MSUtility.h"

namespace quorvane {

const platform::ClassInfo MSCommonSchemaLog::kClassInfo{"MSCommonSchemaLog", &MSAbstractLog::kClassInfo};

platform::Value MSCommonSchemaLog::serializeToDictionary() const {
    auto dict = platform::Value::dictionary();
    if (ver) dict.set("ver", *ver);
    if (name) dict.set("name", *name);
    if (timestamp) dict.set("time", MSUtility::dateToISO8601(*timestamp));
    if (popSample) dict.set("popSample", *popSample);
    if (iKey) dict.set("iKey", *iKey);
    if (flags) dict.set("flags", *flags);
    if (cV) dict.set("cV", *cV);
    if (ext) dict.set("ext", ext->serializeToDictionary());
    if (data) dict.set("data", data->serializeToDictionary());
    return dict;
}

bool MSCommonSchemaLog::isValid() const { return ver && name && timestamp; }

bool MSCommonSchemaLog::isEqual(const MSSerializableObject& other) const {
    auto* o = dynamic_cast<const MSCommonSchemaLog*>(&other);
    return o && MSAbstractLog::isEqual(other) && ver == o->ver && name == o->name && popSample == o->popSample &&
           iKey == o->iKey && flags == o->flags && cV == o->cV && msObjectsEqual(ext, o->ext) &&
           msObjectsEqual(data, o->data);
}

void MSCommonSchemaLog::encodeWithCoder(platform::KeyedArchiver& coder) const {
    MSAbstractLog::encodeWithCoder(coder);
    coder.encodeString(ver, "ver");
    coder.encodeString(name, "name");
    coder.encodeDouble(popSample, "popSample");
    coder.encodeString(iKey, "iKey");
    coder.encodeInt64(flags, "flags");
    coder.encodeString(cV, "cV");
    coder.encodeObject(ext.get(), "ext");
    coder.encodeObject(data.get(), "data");
}

bool MSCommonSchemaLog::initWithCoder(platform::KeyedUnarchiver& coder) {
    MSAbstractLog::initWithCoder(coder);
    ver = coder.decodeString("ver");
    name = coder.decodeString("name");
    popSample = coder.decodeDouble("popSample");
    iKey = coder.decodeString("iKey");
    flags = coder.decodeInt64("flags");
    cV = coder.decodeString("cV");
    ext = coder.decodeObject<MSCSExtensions>("ext");
    data = coder.decodeObject<MSCSData>("data");
    return !coder.failed();
}

}  // namespace quorvane
