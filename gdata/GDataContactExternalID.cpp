#include "gdata/GDataContactExternalID.h"

#include "gdata/GDataNamespaces.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataContactExternalID, GDataObject, kGDataNamespaceContactURI, kGDataNamespaceContactPrefix,
                      "externalId")

std::shared_ptr<GDataContactExternalID> GDataContactExternalID::externalIDWithRel(std::optional<std::string> rel,
                                                                                  std::optional<std::string> label,
                                                                                  std::optional<std::string> value) {
    auto obj = object();
    obj->setRel(std::move(rel));
    obj->setLabel(std::move(label));
    obj->setStringValue(std::move(value));
    return obj;
}

void GDataContactExternalID::addParseDeclarations() { addLocalAttributeDeclarations({"label", "rel", "value"}); }

}  // namespace quorvane
