#include "gdata/GDataACLKeyedRole.h"

#include "gdata/GDataNamespaces.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataACLKeyedRole, GDataObject, kGDataNamespaceACLURI, kGDataNamespaceACLPrefix, "withKey")

std::shared_ptr<GDataACLKeyedRole> GDataACLKeyedRole::keyedRoleWithKey(std::optional<std::string> key,
                                                                       std::optional<std::string> value) {
    auto keyed = object();
    keyed->setKey(std::move(key));
    keyed->setRole(GDataACLRoleBase::roleWithValue<GDataACLRole>(std::move(value)));
    return keyed;
}

void GDataACLKeyedRole::addExtensionDeclarations() {
    GDataObject::addExtensionDeclarations();
    addExtensionDeclarationForParentClass(
        classInfo(), {&GDataACLRole::staticClassInfo(), &GDataACLAdditionalRole::staticClassInfo()});
}

void GDataACLKeyedRole::addParseDeclarations() { addLocalAttributeDeclarations({"key"}); }

std::vector<std::string> GDataACLKeyedRole::itemsForDescription() const {
    auto items = GDataObject::itemsForDescription();
    if (auto r = role()) items.push_back("role:" + r->description());
    return items;
}

}  // namespace quorvane
