#include "gdata/GDataACLRole.h"

#include "gdata/GDataNamespaces.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataACLRoleBase, GDataValueConstruct, nullptr, nullptr, nullptr)
QV_GDATA_DEFINE_CLASS(GDataACLRole, GDataACLRoleBase, kGDataNamespaceACLURI, kGDataNamespaceACLPrefix, "role")
QV_GDATA_DEFINE_CLASS(GDataACLAdditionalRole, GDataACLRoleBase, kGDataNamespaceACLURI, kGDataNamespaceACLPrefix,
                      "additionalRole")

std::shared_ptr<GDataACLRoleBase> GDataACLRoleBase::roleWithValue(const GDataClassInfo& cls,
                                                                  std::optional<std::string> value) {
    auto role = std::dynamic_pointer_cast<GDataACLRoleBase>(cls.make());
    if (role) role->setValue(std::move(value));
    return role;
}

}  // namespace quorvane
