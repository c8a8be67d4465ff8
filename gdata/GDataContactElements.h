#pragma once
// The one-value elements of contact and group entries (gContact namespace): nickname, birthday,
// gender, hobby and the like, the system-group marker of a group, and the rel-only priority and
// sensitivity elements.

#include "gdata/GDataValueConstruct.h"

namespace quorvane {

// Value in the element text.
#define QV_GDATA_CONTACT_TEXT_ELEMENT(Cls)          \
    class Cls : public GDataValueElementConstruct { \
        QV_GDATA_CLASS(Cls)                         \
    };

QV_GDATA_CONTACT_TEXT_ELEMENT(GDataContactBillingInformation)  // gContact:billingInformation
QV_GDATA_CONTACT_TEXT_ELEMENT(GDataContactDirectoryServer)     // gContact:directoryServer
QV_GDATA_CONTACT_TEXT_ELEMENT(GDataContactHobby)               // gContact:hobby (repeatable)
QV_GDATA_CONTACT_TEXT_ELEMENT(GDataContactInitials)            // gContact:initials
QV_GDATA_CONTACT_TEXT_ELEMENT(GDataContactMaidenName)          // gContact:maidenName
QV_GDATA_CONTACT_TEXT_ELEMENT(GDataContactMileage)             // gContact:mileage
QV_GDATA_CONTACT_TEXT_ELEMENT(GDataContactNickname)            // gContact:nickname
QV_GDATA_CONTACT_TEXT_ELEMENT(GDataContactOccupation)          // gContact:occupation
QV_GDATA_CONTACT_TEXT_ELEMENT(GDataContactShortName)           // gContact:shortName
QV_GDATA_CONTACT_TEXT_ELEMENT(GDataContactSubject)             // gContact:subject
// gContact:yomiName — the phonetic reading of the whole contact name.
QV_GDATA_CONTACT_TEXT_ELEMENT(GDataContactYomiName)

#undef QV_GDATA_CONTACT_TEXT_ELEMENT

// gContact:birthday when="yyyy-MM-dd", or "--MM-dd" when the year is not known.
class GDataContactBirthday : public GDataValueConstruct {
    QV_GDATA_CLASS(GDataContactBirthday)
public:
    std::optional<std::string> attributeName() const override { return std::string("when"); }
};

// gContact:gender value="female" or "male".
class GDataContactGender : public GDataValueConstruct {
    QV_GDATA_CLASS(GDataContactGender)
};

// gContact:systemGroup id="Contacts" (or "Friends", "Family", "Coworkers"): marks a group entry
// as one of the system groups.
class GDataContactSystemGroup : public GDataValueConstruct {
    QV_GDATA_CLASS(GDataContactSystemGroup)
public:
    std::optional<std::string> attributeName() const override { return std::string("id"); }
    std::optional<std::string> identifier() const { return stringValue(); }
    void setIdentifier(std::optional<std::string> v) { setStringValue(std::move(v)); }
};

// gContact:priority rel="high" (or "low", "normal").
class GDataContactPriority : public GDataObject {
    QV_GDATA_CLASS(GDataContactPriority)
public:
    // An element is made even for a nil rel.
    static std::shared_ptr<GDataContactPriority> priorityWithRel(std::optional<std::string> rel);
    void addParseDeclarations() override;
    std::optional<std::string> rel() const { return stringValueForAttribute("rel"); }
    void setRel(std::optional<std::string> v) { setStringValue(std::move(v), "rel"); }
};

// gContact:sensitivity rel="confidential" (or "normal", "personal", "private").
class GDataContactSensitivity : public GDataObject {
    QV_GDATA_CLASS(GDataContactSensitivity)
public:
    // An element is made even for a nil rel.
    static std::shared_ptr<GDataContactSensitivity> sensitivityWithRel(std::optional<std::string> rel);
    void addParseDeclarations() override;
    std::optional<std::string> rel() const { return stringValueForAttribute("rel"); }
    void setRel(std::optional<std::string> v) { setStringValue(std::move(v), "rel"); }
};

}  // namespace quorvane
