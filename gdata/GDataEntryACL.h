#pragma once
// GDataEntryACL: one access rule of a resource's access-control list: a scope (whom it applies
// to), a role, optionally a role bound to a key, and additional roles.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gdata/GDataACLKeyedRole.h"
#include "gdata/GDataACLRole.h"
#include "gdata/GDataACLScope.h"
#include "gdata/GDataEntryBase.h"

namespace quorvane {

// The kind of access-rule entries and feeds, and the rel of the link to the controlled resource.
std::string ACLAccessRuleKind();
std::string ACLControlledObjectRel();

// Registers the access-rule entry and feed classes with the kind registries (once per process).
// The ACL factories call it; code that parses access-control feeds through the base classes
// calls it first.
void registerACLClasses();

class GDataEntryACL : public GDataEntryBase {
    QV_GDATA_CLASS(GDataEntryACL)
public:
    // "gAcl" together with the entry base's standard set.
    static GDataStringDictionary ACLNamespaces();
    static std::shared_ptr<GDataEntryACL> ACLEntryWithScope(const std::shared_ptr<GDataACLScope>& scope,
                                                            const std::shared_ptr<GDataACLRole>& role);

    std::optional<std::string> standardEntryKind() const override { return ACLAccessRuleKind(); }
    void addExtensionDeclarations() override;

    // Each object setter removes the element when given nullptr.
    std::shared_ptr<GDataACLScope> scope() const { return objectForExtension<GDataACLScope>(); }
    void setScope(const std::shared_ptr<GDataACLScope>& scope) { setObject(scope, GDataACLScope::staticClassInfo()); }
    std::shared_ptr<GDataACLRole> role() const { return objectForExtension<GDataACLRole>(); }
    void setRole(const std::shared_ptr<GDataACLRole>& role) { setObject(role, GDataACLRole::staticClassInfo()); }
    std::shared_ptr<GDataACLKeyedRole> keyedRole() const { return objectForExtension<GDataACLKeyedRole>(); }
    void setKeyedRole(const std::shared_ptr<GDataACLKeyedRole>& keyedRole) {
        setObject(keyedRole, GDataACLKeyedRole::staticClassInfo());
    }
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

    // The link to the resource this rule controls.
    std::shared_ptr<GDataLink> controlledObjectLink() const;

    std::vector<std::string> itemsForDescription() const override;
};

}  // namespace quorvane
