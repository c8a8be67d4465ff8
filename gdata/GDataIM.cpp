#include "gdata/GDataIM.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataIM, GDataObject, kGDataNamespaceGData, kGDataNamespaceGDataPrefix, "im")

std::shared_ptr<GDataIM> GDataIM::IMWithProtocol(std::optional<std::string> protocol, std::optional<std::string> rel,
                                                 std::optional<std::string> label, std::optional<std::string> address) {
    auto obj = object();
    obj->setProtocol(std::move(protocol));
    obj->setRel(std::move(rel));
    obj->setLabel(std::move(label));
    obj->setAddress(std::move(address));
    return obj;
}

void GDataIM::addParseDeclarations() {
    addLocalAttributeDeclarations({"address", "protocol", "label", "rel", "primary"});
}

}  // namespace quorvane
