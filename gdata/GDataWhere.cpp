#include "gdata/GDataWhere.h"

#include "gdata/GDataDescriptionItems.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataWhere, GDataObject, kGDataNamespaceGData, kGDataNamespaceGDataPrefix, "where")

std::shared_ptr<GDataWhere> GDataWhere::whereWithString(std::optional<std::string> value) {
    auto obj = object();
    obj->setStringValue(std::move(value));
    return obj;
}

void GDataWhere::addExtensionDeclarations() {
    GDataObject::addExtensionDeclarations();
    addExtensionDeclarationForParentClass(staticClassInfo(), GDataEntryLink::staticClassInfo());
}

void GDataWhere::addParseDeclarations() { addLocalAttributeDeclarations({"rel", "valueString", "label"}); }

std::vector<std::string> GDataWhere::itemsForDescription() const {
    auto items = GDataObject::itemsForDescription();
    addDescriptionRecords({gdataObjectItem("entryLink", [this] { return entryLink(); })}, items);
    return items;
}

}  // namespace quorvane
