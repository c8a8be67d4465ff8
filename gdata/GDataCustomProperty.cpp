#include "gdata/GDataCustomProperty.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataCustomProperty, GDataObject, kGDataNamespaceGData, kGDataNamespaceGDataPrefix,
                      "customProperty")

std::shared_ptr<GDataCustomProperty> GDataCustomProperty::customPropertyWithName(std::optional<std::string> name,
                                                                                 std::optional<std::string> type,
                                                                                 std::optional<std::string> value,
                                                                                 std::optional<std::string> unit) {
    auto obj = object();
    obj->setName(std::move(name));
    obj->setType(std::move(type));
    obj->setUnit(std::move(unit));
    obj->setValue(std::move(value));
    return obj;
}

void GDataCustomProperty::addParseDeclarations() {
    addLocalAttributeDeclarations({"name", "type", "unit"});
    addContentValueDeclaration();
}

}  // namespace quorvane
