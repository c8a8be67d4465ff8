#pragma once
// The fixed names and limits of usage analytics.

namespace quorvane {

inline constexpr const char* kMSAnalyticsLogTag = "RevAzezarAnalytics";
inline constexpr const char* kMSAnalyticsServiceName = "Analytics";
inline constexpr const char* kMSAnalyticsGroupId = "Analytics";
inline constexpr const char* kMSAnalyticsCriticalGroupIdSuffix = "critical";
// The service's enabled-state key; the transmission targets' keys begin with it.
inline constexpr const char* kMSAnalyticsIsEnabledKey = "kMSAnalyticsIsEnabledKey";

inline constexpr const char* kMSEventLogType = "event";
inline constexpr const char* kMSPageLogType = "page";
inline constexpr const char* kMSStartSessionLogType = "startSession";

// Names of events and pages, at the filter.
inline constexpr int kMSMaxEventNameLength = 256;
// Typed properties of events without a transmission target.
inline constexpr int kMSMaxPropertiesPerTypedLog = 20;
// The most dotted parts a property name of a target event may have: the Common Schema form nests
// each part (and again in its type metadata), and a stored log nests only so deep.
inline constexpr size_t kMSMaxPropertyNameParts = 30;
inline constexpr int kMSMaxTypedPropertyKeyLength = 125;
inline constexpr int kMSMaxTypedPropertyStringValueLength = 125;

// Flush interval bounds of the normal unit, in seconds.
inline constexpr unsigned kMSFlushIntervalMinimum = 3;
inline constexpr unsigned kMSFlushIntervalMaximum = 86400;

}  // namespace quorvane
