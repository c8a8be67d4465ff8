#include "gdata/GDataPostalAddress.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataPostalAddress, GDataObject, kGDataNamespaceGData, kGDataNamespaceGDataPrefix,
                      "postalAddress")

std::shared_ptr<GDataPostalAddress> GDataPostalAddress::postalAddressWithString(std::optional<std::string> address) {
    auto obj = object();
    obj->setStringValue(std::move(address));
    return obj;
}

void GDataPostalAddress::addParseDeclarations() {
    addLocalAttributeDeclarations({"label", "rel", "primary"});
    addContentValueDeclaration();
}

}  // namespace quorvane
