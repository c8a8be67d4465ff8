#pragma once
// GDataEntryContactGroup: one contact group of the groups feed (kind "#group"): its title, its
// extended properties and, for the provider's own groups, the system-group marker.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gdata/GDataContactConstants.h"
#include "gdata/GDataContactElements.h"
#include "gdata/GDataEntryBase.h"
#include "gdata/GDataExtendedProperty.h"

namespace quorvane {

class GDataEntryContactGroup : public GDataEntryBase {
    QV_GDATA_CLASS(GDataEntryContactGroup)
public:
    // A new entry declaring the contact namespaces, with that title. It registers the contact
    // classes first.
    static std::shared_ptr<GDataEntryContactGroup> contactGroupEntryWithTitle(const std::optional<std::string>& title);

    std::optional<std::string> standardEntryKind() const override { return std::string(kGDataCategoryContactGroup); }
    std::optional<std::string> defaultServiceVersion() const override {
        return std::string(kGDataContactDefaultServiceVersion);
    }
    std::optional<std::string> coreProtocolVersionForServiceVersion(
        const std::optional<std::string>& serviceVersion) const override;
    void addExtensionDeclarations() override;
    std::vector<std::string> itemsForDescription() const override;

    std::vector<std::shared_ptr<GDataExtendedProperty>> extendedProperties() const {
        return objectsForExtension<GDataExtendedProperty>();
    }
    // nullopt removes them all.
    void setExtendedProperties(const std::optional<std::vector<std::shared_ptr<GDataExtendedProperty>>>& v) {
        setObjectsForExtension<GDataExtendedProperty>(v);
    }
    void addExtendedProperty(const std::shared_ptr<GDataExtendedProperty>& v) {
        addObject(v, GDataExtendedProperty::staticClassInfo());
    }

    // Present exactly on the provider's system groups; its identifier is one of the system group
    // ids ("Contacts", "Friends", "Family", "Coworkers"). nullptr removes it.
    std::shared_ptr<GDataContactSystemGroup> systemGroup() const { return objectForExtension<GDataContactSystemGroup>(); }
    void setSystemGroup(const std::shared_ptr<GDataContactSystemGroup>& v) {
        setObject(v, GDataContactSystemGroup::staticClassInfo());
    }
};

}  // namespace quorvane
