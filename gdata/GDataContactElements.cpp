#include "gdata/GDataContactElements.h"

#include "gdata/GDataNamespaces.h"

namespace quorvane {

#define QV_GDATA_CONTACT_CLASS(Cls, Super, local) \
    QV_GDATA_DEFINE_CLASS(Cls, Super, kGDataNamespaceContactURI, kGDataNamespaceContactPrefix, local)

QV_GDATA_CONTACT_CLASS(GDataContactBillingInformation, GDataValueElementConstruct, "billingInformation")
QV_GDATA_CONTACT_CLASS(GDataContactDirectoryServer, GDataValueElementConstruct, "directoryServer")
QV_GDATA_CONTACT_CLASS(GDataContactHobby, GDataValueElementConstruct, "hobby")
QV_GDATA_CONTACT_CLASS(GDataContactInitials, GDataValueElementConstruct, "initials")
QV_GDATA_CONTACT_CLASS(GDataContactMaidenName, GDataValueElementConstruct, "maidenName")
QV_GDATA_CONTACT_CLASS(GDataContactMileage, GDataValueElementConstruct, "mileage")
QV_GDATA_CONTACT_CLASS(GDataContactNickname, GDataValueElementConstruct, "nickname")
QV_GDATA_CONTACT_CLASS(GDataContactOccupation, GDataValueElementConstruct, "occupation")
QV_GDATA_CONTACT_CLASS(GDataContactShortName, GDataValueElementConstruct, "shortName")
QV_GDATA_CONTACT_CLASS(GDataContactSubject, GDataValueElementConstruct, "subject")
QV_GDATA_CONTACT_CLASS(GDataContactYomiName, GDataValueElementConstruct, "yomiName")
QV_GDATA_CONTACT_CLASS(GDataContactBirthday, GDataValueConstruct, "birthday")
QV_GDATA_CONTACT_CLASS(GDataContactGender, GDataValueConstruct, "gender")
QV_GDATA_CONTACT_CLASS(GDataContactSystemGroup, GDataValueConstruct, "systemGroup")
QV_GDATA_CONTACT_CLASS(GDataContactPriority, GDataObject, "priority")
QV_GDATA_CONTACT_CLASS(GDataContactSensitivity, GDataObject, "sensitivity")

#undef QV_GDATA_CONTACT_CLASS

std::shared_ptr<GDataContactPriority> GDataContactPriority::priorityWithRel(std::optional<std::string> rel) {
    auto obj = object();
    obj->setRel(std::move(rel));
    return obj;
}

void GDataContactPriority::addParseDeclarations() { addLocalAttributeDeclarations({"rel"}); }

std::shared_ptr<GDataContactSensitivity> GDataContactSensitivity::sensitivityWithRel(std::optional<std::string> rel) {
    auto obj = object();
    obj->setRel(std::move(rel));
    return obj;
}

void GDataContactSensitivity::addParseDeclarations() { addLocalAttributeDeclarations({"rel"}); }

}  // namespace quorvane
