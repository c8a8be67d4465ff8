#include "gdata/GDataContactJot.h"

#include "gdata/GDataNamespaces.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataContactJot, GDataObject, kGDataNamespaceContactURI, kGDataNamespaceContactPrefix, "jot")

std::shared_ptr<GDataContactJot> GDataContactJot::jotWithRel(std::optional<std::string> rel,
                                                             std::optional<std::string> value) {
    auto obj = object();
    obj->setRel(std::move(rel));
    obj->setStringValue(std::move(value));
    return obj;
}

void GDataContactJot::addParseDeclarations() {
    addLocalAttributeDeclarations({"rel"});
    addContentValueDeclaration();
}

}  // namespace quorvane
