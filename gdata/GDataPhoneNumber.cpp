#include "gdata/GDataPhoneNumber.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataPhoneNumber, GDataObject, kGDataNamespaceGData, kGDataNamespaceGDataPrefix, "phoneNumber")

std::shared_ptr<GDataPhoneNumber> GDataPhoneNumber::phoneNumberWithString(std::optional<std::string> number) {
    auto obj = object();
    obj->setStringValue(std::move(number));
    return obj;
}

void GDataPhoneNumber::addParseDeclarations() {
    addLocalAttributeDeclarations({"label", "rel", "uri", "primary"});
    addContentValueDeclaration();
}

}  // namespace quorvane
