#pragma once
// GDataACLKeyedRole: a role granted to whoever holds a key,
//   <gAcl:withKey key="k"><gAcl:role value="reader"/><gAcl:additionalRole value="commenter"/></gAcl:withKey>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gdata/GDataACLRole.h"
#include "gdata/GDataObject.h"

namespace quorvane {

class GDataACLKeyedRole : public GDataObject {
    QV_GDATA_CLASS(GDataACLKeyedRole)
public:
    // Sets the key and a role with the value.
    static std::shared_ptr<GDataACLKeyedRole> keyedRoleWithKey(std::optional<std::string> key,
                                                               std::optional<std::string> value);
    void addExtensionDeclarations() override;
    void addParseDeclarations() override;

    std::optional<std::string> key() const { return stringValueForAttribute("key"); }
    void setKey(std::optional<std::string> v) { GDataObject::setStringValue(std::move(v), "key"); }

    // nullptr removes the role.
    std::shared_ptr<GDataACLRole> role() const { return objectForExtension<GDataACLRole>(); }
    void setRole(const std::shared_ptr<GDataACLRole>& role) { setObject(role, GDataACLRole::staticClassInfo()); }

    std::vector<std::shared_ptr<GDataACLAdditionalRole>> additionalRoles() const {
        return objectsForExtension<GDataACLAdditionalRole>();
    }
    // nullopt removes them all.
    void setAdditionalRoles(const std::optional<std::vector<std::shared_ptr<GDataACLAdditionalRole>>>& roles) {
        setObjectsForExtension<GDataACLAdditionalRole>(roles);
    }
    void addAdditionalRole(const std::shared_ptr<GDataACLAdditionalRole>& role) {
        addObject(role, GDataACLAdditionalRole::staticClassInfo());
    }

    std::vector<std::string> itemsForDescription() const override;
};

}  // namespace quorvane
