#pragma once
// The logs of usage analytics with a name: the common base of events and pages, and the event
// log with its id, typed properties and Common Schema form.

#include <map>
#include <memory>

#include "analytics/MSEventProperties.h"
#include "telemetry/MSLogWithProperties.h"

namespace quorvane {

class MSLogWithNameAndProperties : public MSFieldRecord<MSLogWithNameAndProperties, MSLogWithProperties> {
    MS_CODING_CLASS()
public:
    std::optional<std::string> name;

    // The base keys, then "name" when present.
    static const MSFieldTable<MSLogWithNameAndProperties>& fields();
    // A valid log with a name.
    bool isValid() const override;
};

class MSEventLog : public MSFieldRecord<MSEventLog, MSLogWithNameAndProperties> {
    MS_CODING_CLASS()
public:
    MSEventLog() { type = "event"; }

    std::optional<std::string> eventId;  // "id"
    std::shared_ptr<MSEventProperties> typedProperties;

    // The Common Schema metadata type code of each typed property kind that has one.
    static const std::map<std::string, int>& metadataTypeIdMapping();

    // The base keys, then "id" and "typedProperties" (one dictionary per property) when present.
    // Typed properties are not compared.
    static const MSFieldTable<MSEventLog>& fields();
    // A valid named log with an event id.
    bool isValid() const override;

    // The base conversion with the event's name, its typed properties as the data properties
    // (a tree split at ".") and their type codes as the metadata extension. The event's own
    // properties are left as they are: rules that leave a property out apply to the converted
    // log only.
    std::shared_ptr<MSCommonSchemaLog> toCommonSchemaLogForTargetToken(const std::string& token,
                                                                     uint32_t flags) const override;

private:
    void setPropertiesAndMetadataForCSLog(MSCommonSchemaLog& csLog) const;
};

}  // namespace quorvane
