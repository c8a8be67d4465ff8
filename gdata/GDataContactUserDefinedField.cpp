#include "gdata/GDataContactUserDefinedField.h"

#include "gdata/GDataNamespaces.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataContactUserDefinedField, GDataNameValueConstruct, kGDataNamespaceContactURI,
                      kGDataNamespaceContactPrefix, "userDefinedField")

std::shared_ptr<GDataContactUserDefinedField> GDataContactUserDefinedField::userDefinedFieldWithKey(
    std::optional<std::string> key, std::optional<std::string> value) {
    auto obj = object();
    obj->setKey(std::move(key));
    obj->setStringValue(std::move(value));
    return obj;
}

}  // namespace quorvane
