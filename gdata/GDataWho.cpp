#include "gdata/GDataWho.h"

#include "gdata/GDataDescriptionItems.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataAttendeeStatus, GDataValueConstruct, kGDataNamespaceGData, kGDataNamespaceGDataPrefix,
                      "attendeeStatus")
QV_GDATA_DEFINE_CLASS(GDataAttendeeType, GDataValueConstruct, kGDataNamespaceGData, kGDataNamespaceGDataPrefix,
                      "attendeeType")
QV_GDATA_DEFINE_CLASS(GDataWho, GDataObject, kGDataNamespaceGData, kGDataNamespaceGDataPrefix, "who")

std::shared_ptr<GDataWho> GDataWho::whoWithRel(std::optional<std::string> rel, std::optional<std::string> name,
                                               std::optional<std::string> email) {
    auto obj = object();
    obj->setRel(std::move(rel));
    obj->setStringValue(std::move(name));
    obj->setEmail(std::move(email));
    return obj;
}

void GDataWho::addExtensionDeclarations() {
    GDataObject::addExtensionDeclarations();
    addExtensionDeclarationForParentClass(staticClassInfo(), {&GDataAttendeeType::staticClassInfo(),
                                                              &GDataAttendeeStatus::staticClassInfo(),
                                                              &GDataEntryLink::staticClassInfo()});
}

void GDataWho::addParseDeclarations() { addLocalAttributeDeclarations({"rel", "valueString", "email"}); }

std::vector<std::string> GDataWho::itemsForDescription() const {
    auto items = GDataObject::itemsForDescription();
    addDescriptionRecords({gdataObjectItem("attendeeType", [this] { return attendeeType(); }),
                           gdataObjectItem("attendeeStatus", [this] { return attendeeStatus(); }),
                           gdataObjectItem("entryLink", [this] { return entryLink(); })},
                          items);
    return items;
}

}  // namespace quorvane
