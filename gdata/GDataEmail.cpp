#include "gdata/GDataEmail.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataEmail, GDataObject, kGDataNamespaceGData, kGDataNamespaceGDataPrefix, "email")

std::shared_ptr<GDataEmail> GDataEmail::emailWithLabel(std::optional<std::string> label,
                                                       std::optional<std::string> address) {
    auto obj = object();
    obj->setLabel(std::move(label));
    obj->setAddress(std::move(address));
    return obj;
}

void GDataEmail::addParseDeclarations() { addLocalAttributeDeclarations({"label", "address", "rel", "primary"}); }

}  // namespace quorvane
