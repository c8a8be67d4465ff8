#pragma once
// The device and application description attached to every log and error report.

#include "telemetry/MSSerializableObject.h"

namespace quorvane {

class MSDevice : public MSKeyedRecord {
    MS_CODING_CLASS()
public:
    MS_STRING_FIELD(sdkName, setSdkName)
    MS_STRING_FIELD(sdkVersion, setSdkVersion)
    MS_STRING_FIELD(model, setModel)
    MS_STRING_FIELD(oemName, setOemName)
    MS_STRING_FIELD(osName, setOsName)
    MS_STRING_FIELD(osVersion, setOsVersion)
    MS_STRING_FIELD(osBuild, setOsBuild)
    MS_STRING_FIELD(locale, setLocale)
    MS_STRING_FIELD(appVersion, setAppVersion)
    MS_STRING_FIELD(appBuild, setAppBuild)
    MS_STRING_FIELD(appNamespace, setAppNamespace)
    // Minutes east of UTC.
    std::optional<int64_t> timeZoneOffset() const { return integer("timeZoneOffset"); }
    void setTimeZoneOffset(std::optional<int64_t> v) {
        setField("timeZoneOffset", v ? platform::Value(*v) : platform::Value());
    }

    // The SDK name and version, the OS name and version, the locale, the time-zone offset and
    // the application version and build are all present.
    bool isValid() const;

protected:
    const std::vector<Field>& fieldList() const override;
};

}  // namespace quorvane
