#include "gdata/GDataEntryLink.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataEntryLink, GDataObject, kGDataNamespaceGData, kGDataNamespaceGDataPrefix, "entryLink")

std::shared_ptr<GDataEntryLink> GDataEntryLink::entryLinkWithHref(std::optional<std::string> href, bool isReadOnly) {
    auto obj = object();
    obj->setHref(std::move(href));
    obj->setIsReadOnly(isReadOnly);
    return obj;
}

void GDataEntryLink::addParseDeclarations() { addLocalAttributeDeclarations({"href", "readOnly", "rel"}); }

}  // namespace quorvane
