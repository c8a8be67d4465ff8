#include "gdata/GDataContactRelation.h"

#include "gdata/GDataNamespaces.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataContactRelation, GDataObject, kGDataNamespaceContactURI, kGDataNamespaceContactPrefix,
                      "relation")

std::shared_ptr<GDataContactRelation> GDataContactRelation::relationWithRel(std::optional<std::string> rel,
                                                                            std::optional<std::string> label,
                                                                            std::optional<std::string> value) {
    auto obj = object();
    obj->setRel(std::move(rel));
    obj->setLabel(std::move(label));
    obj->setStringValue(std::move(value));
    return obj;
}

void GDataContactRelation::addParseDeclarations() {
    addLocalAttributeDeclarations({"rel", "label"});
    addContentValueDeclaration();
}

}  // namespace quorvane
