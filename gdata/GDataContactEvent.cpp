#include "gdata/GDataContactEvent.h"

#include "gdata/GDataDescriptionItems.h"
#include "gdata/GDataNamespaces.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataContactEvent, GDataObject, kGDataNamespaceContactURI, kGDataNamespaceContactPrefix, "event")

std::shared_ptr<GDataContactEvent> GDataContactEvent::eventWithRel(std::optional<std::string> rel,
                                                                   std::optional<std::string> label,
                                                                   const std::shared_ptr<GDataWhen>& when) {
    auto obj = object();
    obj->setRel(std::move(rel));
    obj->setLabel(std::move(label));
    obj->setWhen(when);
    return obj;
}

void GDataContactEvent::addExtensionDeclarations() {
    GDataObject::addExtensionDeclarations();
    addExtensionDeclarationForParentClass(staticClassInfo(), GDataWhen::staticClassInfo());
}

void GDataContactEvent::addParseDeclarations() { addLocalAttributeDeclarations({"label", "rel"}); }

std::vector<std::string> GDataContactEvent::itemsForDescription() const {
    auto items = GDataObject::itemsForDescription();
    addDescriptionRecords({gdataObjectItem("when", [this] { return when(); })}, items);
    return items;
}

}  // namespace quorvane
