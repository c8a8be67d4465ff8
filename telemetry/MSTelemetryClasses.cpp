#include "telemetry/MSTelemetryClasses.h"

#include <mutex>

#include "telemetry/MSCommonSchemaLog.h"
#include "telemetry/MSDeviceTracker.h"
#include "telemetry/MSIdHistory.h"
#include "telemetry/MSLogWithProperties.h"
#include "telemetry/MSStartServiceLog.h"
#include "telemetry/MSTypedProperty.h"

namespace quorvane {

namespace {
template <class... Classes>
void registerAll() {
    (platform::ArchiveClassRegistry::registerClass(Classes::kClassInfo, [] { return std::make_shared<Classes>(); }),
     ...);
}
}  // namespace

void registerTelemetryClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        registerAll<MSAbstractLog, MSLogWithProperties, MSStartServiceLog, MSCommonSchemaLog, MSDevice,
                    MSDeviceHistoryInfo, MSSessionHistoryInfo, MSUserIdHistoryInfo, MSAppExtension, MSUserExtension,
                    MSDeviceExtension, MSOSExtension, MSNetExtension, MSSDKExtension, MSLocExtension,
                    MSProtocolExtension, MSMetadataExtension, MSCSExtensions, MSCSData, MSStringTypedProperty,
                    MSBooleanTypedProperty, MSLongTypedProperty, MSDoubleTypedProperty, MSDateTimeTypedProperty>();
    });
}

}  // namespace quorvane
