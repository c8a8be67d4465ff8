#include "gdata/GDataGroupMembershipInfo.h"

#include "gdata/GDataNamespaces.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataGroupMembershipInfo, GDataObject, kGDataNamespaceContactURI, kGDataNamespaceContactPrefix,
                      "groupMembershipInfo")

std::shared_ptr<GDataGroupMembershipInfo> GDataGroupMembershipInfo::groupMembershipInfoWithHref(
    std::optional<std::string> href) {
    auto obj = object();
    obj->setHref(std::move(href));
    return obj;
}

void GDataGroupMembershipInfo::addParseDeclarations() { addLocalAttributeDeclarations({"href", "deleted"}); }

}  // namespace quorvane
