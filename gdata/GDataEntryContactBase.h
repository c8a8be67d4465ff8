#pragma once
// GDataEntryContactBase: the base of the contact and profile entries. It declares every contact
// child element (names, e-mail addresses, phones, IM, postal addresses, organizations, events,
// relations, links, user-defined fields, the one-value elements such as nickname and birthday)
// and gives typed accessors over them. Every value lives in the extension storage of
// GDataObject: the class has no fields of its own.
//
// Lists with a primary element (e-mail, phone, IM, postal and structured postal addresses,
// organizations, website and calendar links) also have a primary getter and setter; see
// setPrimaryObject for how the mark moves.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gdata/GDataContactConstants.h"
#include "gdata/GDataContactElements.h"
#include "gdata/GDataContactEvent.h"
#include "gdata/GDataContactExternalID.h"
#include "gdata/GDataContactJot.h"
#include "gdata/GDataContactLanguage.h"
#include "gdata/GDataContactLink.h"
#include "gdata/GDataContactRelation.h"
#include "gdata/GDataContactUserDefinedField.h"
#include "gdata/GDataEmail.h"
#include "gdata/GDataEntryBase.h"
#include "gdata/GDataExtendedProperty.h"
#include "gdata/GDataIM.h"
#include "gdata/GDataLink.h"
#include "gdata/GDataName.h"
#include "gdata/GDataOrganization.h"
#include "gdata/GDataPhoneNumber.h"
#include "gdata/GDataPostalAddress.h"
#include "gdata/GDataStructuredPostalAddress.h"
#include "gdata/GDataWhere.h"
#include "platform/foundation/Date.h"

namespace quorvane {

class GDataEntryContactBase : public GDataEntryBase {
    QV_GDATA_CLASS(GDataEntryContactBase)
public:
    void addExtensionDeclarations() override;
    // "2.0" from service version "2.0" on, else "1.0".
    std::optional<std::string> coreProtocolVersionForServiceVersion(
        const std::optional<std::string>& serviceVersion) const override;
    std::vector<std::string> itemsForDescription() const override;

    // --- lists with a primary element ---
    // Setters take nullopt to remove every element of the list.
    std::vector<std::shared_ptr<GDataOrganization>> organizations() const { return list<GDataOrganization>(); }
    void setOrganizations(const std::optional<std::vector<std::shared_ptr<GDataOrganization>>>& v) { setList(v); }
    void addOrganization(const std::shared_ptr<GDataOrganization>& v) { add(v); }
    void removeOrganization(const std::shared_ptr<GDataOrganization>& v) { remove(v); }
    std::shared_ptr<GDataOrganization> primaryOrganization() const { return primary<GDataOrganization>(); }
    void setPrimaryOrganization(const std::shared_ptr<GDataOrganization>& v) { setPrimary(v); }

    std::vector<std::shared_ptr<GDataEmail>> emailAddresses() const { return list<GDataEmail>(); }
    void setEmailAddresses(const std::optional<std::vector<std::shared_ptr<GDataEmail>>>& v) { setList(v); }
    void addEmailAddress(const std::shared_ptr<GDataEmail>& v) { add(v); }
    void removeEmailAddress(const std::shared_ptr<GDataEmail>& v) { remove(v); }
    std::shared_ptr<GDataEmail> primaryEmailAddress() const { return primary<GDataEmail>(); }
    void setPrimaryEmailAddress(const std::shared_ptr<GDataEmail>& v) { setPrimary(v); }

    std::vector<std::shared_ptr<GDataIM>> IMAddresses() const { return list<GDataIM>(); }
    void setIMAddresses(const std::optional<std::vector<std::shared_ptr<GDataIM>>>& v) { setList(v); }
    void addIMAddress(const std::shared_ptr<GDataIM>& v) { add(v); }
    void removeIMAddress(const std::shared_ptr<GDataIM>& v) { remove(v); }
    std::shared_ptr<GDataIM> primaryIMAddress() const { return primary<GDataIM>(); }
    void setPrimaryIMAddress(const std::shared_ptr<GDataIM>& v) { setPrimary(v); }

    std::vector<std::shared_ptr<GDataPhoneNumber>> phoneNumbers() const { return list<GDataPhoneNumber>(); }
    void setPhoneNumbers(const std::optional<std::vector<std::shared_ptr<GDataPhoneNumber>>>& v) { setList(v); }
    void addPhoneNumber(const std::shared_ptr<GDataPhoneNumber>& v) { add(v); }
    void removePhoneNumber(const std::shared_ptr<GDataPhoneNumber>& v) { remove(v); }
    std::shared_ptr<GDataPhoneNumber> primaryPhoneNumber() const { return primary<GDataPhoneNumber>(); }
    void setPrimaryPhoneNumber(const std::shared_ptr<GDataPhoneNumber>& v) { setPrimary(v); }

    std::vector<std::shared_ptr<GDataPostalAddress>> postalAddresses() const { return list<GDataPostalAddress>(); }
    void setPostalAddresses(const std::optional<std::vector<std::shared_ptr<GDataPostalAddress>>>& v) { setList(v); }
    void addPostalAddress(const std::shared_ptr<GDataPostalAddress>& v) { add(v); }
    void removePostalAddress(const std::shared_ptr<GDataPostalAddress>& v) { remove(v); }
    std::shared_ptr<GDataPostalAddress> primaryPostalAddress() const { return primary<GDataPostalAddress>(); }
    void setPrimaryPostalAddress(const std::shared_ptr<GDataPostalAddress>& v) { setPrimary(v); }

    std::vector<std::shared_ptr<GDataStructuredPostalAddress>> structuredPostalAddresses() const {
        return list<GDataStructuredPostalAddress>();
    }
    void setStructuredPostalAddresses(
        const std::optional<std::vector<std::shared_ptr<GDataStructuredPostalAddress>>>& v) {
        setList(v);
    }
    void addStructuredPostalAddress(const std::shared_ptr<GDataStructuredPostalAddress>& v) { add(v); }
    void removeStructuredPostalAddress(const std::shared_ptr<GDataStructuredPostalAddress>& v) { remove(v); }
    std::shared_ptr<GDataStructuredPostalAddress> primaryStructuredPostalAddress() const {
        return primary<GDataStructuredPostalAddress>();
    }
    void setPrimaryStructuredPostalAddress(const std::shared_ptr<GDataStructuredPostalAddress>& v) { setPrimary(v); }

    std::vector<std::shared_ptr<GDataContactCalendarLink>> calendarLinks() const {
        return list<GDataContactCalendarLink>();
    }
    void setCalendarLinks(const std::optional<std::vector<std::shared_ptr<GDataContactCalendarLink>>>& v) {
        setList(v);
    }
    void addCalendarLink(const std::shared_ptr<GDataContactCalendarLink>& v) { add(v); }
    void removeCalendarLink(const std::shared_ptr<GDataContactCalendarLink>& v) { remove(v); }
    std::shared_ptr<GDataContactCalendarLink> primaryCalendarLink() const {
        return primary<GDataContactCalendarLink>();
    }
    void setPrimaryCalendarLink(const std::shared_ptr<GDataContactCalendarLink>& v) { setPrimary(v); }

    std::vector<std::shared_ptr<GDataContactWebsiteLink>> websiteLinks() const {
        return list<GDataContactWebsiteLink>();
    }
    void setWebsiteLinks(const std::optional<std::vector<std::shared_ptr<GDataContactWebsiteLink>>>& v) {
        setList(v);
    }
    void addWebsiteLink(const std::shared_ptr<GDataContactWebsiteLink>& v) { add(v); }
    void removeWebsiteLink(const std::shared_ptr<GDataContactWebsiteLink>& v) { remove(v); }
    std::shared_ptr<GDataContactWebsiteLink> primaryWebsiteLink() const { return primary<GDataContactWebsiteLink>(); }
    void setPrimaryWebsiteLink(const std::shared_ptr<GDataContactWebsiteLink>& v) { setPrimary(v); }

    // --- other lists ---
    std::vector<std::shared_ptr<GDataExtendedProperty>> extendedProperties() const {
        return list<GDataExtendedProperty>();
    }
    void setExtendedProperties(const std::optional<std::vector<std::shared_ptr<GDataExtendedProperty>>>& v) {
        setList(v);
    }
    void addExtendedProperty(const std::shared_ptr<GDataExtendedProperty>& v) { add(v); }
    void removeExtendedProperty(const std::shared_ptr<GDataExtendedProperty>& v) { remove(v); }
    // The first extended property of that name; nullptr when there is none.
    std::shared_ptr<GDataExtendedProperty> extendedPropertyForName(const std::string& name) const;

    std::vector<std::shared_ptr<GDataContactUserDefinedField>> userDefinedFields() const {
        return list<GDataContactUserDefinedField>();
    }
    void setUserDefinedFields(const std::optional<std::vector<std::shared_ptr<GDataContactUserDefinedField>>>& v) {
        setList(v);
    }
    void addUserDefinedField(const std::shared_ptr<GDataContactUserDefinedField>& v) { add(v); }
    void removeUserDefinedField(const std::shared_ptr<GDataContactUserDefinedField>& v) { remove(v); }

    std::vector<std::shared_ptr<GDataContactEvent>> events() const { return list<GDataContactEvent>(); }
    void setEvents(const std::optional<std::vector<std::shared_ptr<GDataContactEvent>>>& v) { setList(v); }
    void addEvent(const std::shared_ptr<GDataContactEvent>& v) { add(v); }

    std::vector<std::shared_ptr<GDataContactExternalID>> externalIDs() const { return list<GDataContactExternalID>(); }
    void setExternalIDs(const std::optional<std::vector<std::shared_ptr<GDataContactExternalID>>>& v) { setList(v); }
    void addExternalID(const std::shared_ptr<GDataContactExternalID>& v) { add(v); }

    std::vector<std::shared_ptr<GDataContactHobby>> hobbies() const { return list<GDataContactHobby>(); }
    void setHobbies(const std::optional<std::vector<std::shared_ptr<GDataContactHobby>>>& v) { setList(v); }
    void addHobby(const std::shared_ptr<GDataContactHobby>& v) { add(v); }

    std::vector<std::shared_ptr<GDataContactJot>> jots() const { return list<GDataContactJot>(); }
    void setJots(const std::optional<std::vector<std::shared_ptr<GDataContactJot>>>& v) { setList(v); }
    void addJot(const std::shared_ptr<GDataContactJot>& v) { add(v); }

    std::vector<std::shared_ptr<GDataContactLanguage>> languages() const { return list<GDataContactLanguage>(); }
    void setLanguages(const std::optional<std::vector<std::shared_ptr<GDataContactLanguage>>>& v) { setList(v); }
    void addLanguage(const std::shared_ptr<GDataContactLanguage>& v) { add(v); }

    std::vector<std::shared_ptr<GDataContactRelation>> relations() const { return list<GDataContactRelation>(); }
    void setRelations(const std::optional<std::vector<std::shared_ptr<GDataContactRelation>>>& v) { setList(v); }
    void addRelation(const std::shared_ptr<GDataContactRelation>& v) { add(v); }

    // --- one-value text elements: nullopt when absent; nil or "" removes the element ---
    std::optional<std::string> billingInformation() const { return text<GDataContactBillingInformation>(); }
    void setBillingInformation(std::optional<std::string> v) { setText<GDataContactBillingInformation>(std::move(v)); }
    // "yyyy-MM-dd", or "--MM-dd" for a birthday without a year.
    std::optional<std::string> birthday() const { return text<GDataContactBirthday>(); }
    void setBirthday(std::optional<std::string> v) { setText<GDataContactBirthday>(std::move(v)); }
    std::optional<std::string> directoryServer() const { return text<GDataContactDirectoryServer>(); }
    void setDirectoryServer(std::optional<std::string> v) { setText<GDataContactDirectoryServer>(std::move(v)); }
    std::optional<std::string> gender() const { return text<GDataContactGender>(); }
    void setGender(std::optional<std::string> v) { setText<GDataContactGender>(std::move(v)); }
    std::optional<std::string> initials() const { return text<GDataContactInitials>(); }
    void setInitials(std::optional<std::string> v) { setText<GDataContactInitials>(std::move(v)); }
    std::optional<std::string> maidenName() const { return text<GDataContactMaidenName>(); }
    void setMaidenName(std::optional<std::string> v) { setText<GDataContactMaidenName>(std::move(v)); }
    std::optional<std::string> mileage() const { return text<GDataContactMileage>(); }
    void setMileage(std::optional<std::string> v) { setText<GDataContactMileage>(std::move(v)); }
    std::optional<std::string> nickname() const { return text<GDataContactNickname>(); }
    void setNickname(std::optional<std::string> v) { setText<GDataContactNickname>(std::move(v)); }
    std::optional<std::string> occupation() const { return text<GDataContactOccupation>(); }
    void setOccupation(std::optional<std::string> v) { setText<GDataContactOccupation>(std::move(v)); }
    std::optional<std::string> shortName() const { return text<GDataContactShortName>(); }
    void setShortName(std::optional<std::string> v) { setText<GDataContactShortName>(std::move(v)); }
    std::optional<std::string> subject() const { return text<GDataContactSubject>(); }
    void setSubject(std::optional<std::string> v) { setText<GDataContactSubject>(std::move(v)); }

    // --- the birthday as an instant ---
    // "--MM-dd" reads as that day of 1604 (a leap year, so "--02-29" reads too), at 12:00 UTC;
    // "yyyy-MM-dd" as that day at 12:00 UTC; failing both, the part before the first "," as
    // "MM/dd/yyyy". nullopt when there is no birthday or it is in none of these forms.
    std::optional<platform::Date> birthdayDate() const;
    // Writes the date's day in UTC as "yyyy-MM-dd", or "--MM-dd" when its year is 1604; nullopt
    // removes the birthday.
    void setBirthdayWithDate(const std::optional<platform::Date>& date);

    // --- single elements ---
    std::shared_ptr<GDataName> name() const { return objectForExtension<GDataName>(); }
    void setName(const std::shared_ptr<GDataName>& v) { setObject(v, GDataName::staticClassInfo()); }
    std::shared_ptr<GDataWhere> where() const { return objectForExtension<GDataWhere>(); }
    void setWhere(const std::shared_ptr<GDataWhere>& v) { setObject(v, GDataWhere::staticClassInfo()); }
    // The element's rel. The setters always store an element, so nullopt leaves one without a rel.
    std::optional<std::string> priority() const;
    void setPriority(std::optional<std::string> rel);
    std::optional<std::string> sensitivity() const;
    void setSensitivity(std::optional<std::string> rel);

    // The link to the contact's photo; a photo is stored only when the link carries an ETag.
    std::shared_ptr<GDataLink> photoLink() const;
    // Sets the photo link's ETag (nothing when there is no link) as a change of the entry's links,
    // which an entry holding its values elsewhere must keep.
    void setPhotoLinkETag(std::optional<std::string> etag);

    // A title whose text is empty (or nil) removes the title.
    void setTitle(const std::shared_ptr<GDataTextConstruct>& title) override;
    void setTitleWithString(std::optional<std::string> title) override;

    // --- primary elements ---
    // The first element of the class's list marked primary; nullptr when none is.
    GDataExtensionPtr primaryObjectForExtensionClass(const GDataClassInfo& cls) const;
    // Marks every element of the list equal to the object (as the object judges) primary and
    // clears the mark of the others; when none is equal and the object is not null, marks it
    // primary and appends it. A null object clears every mark.
    void setPrimaryObject(const GDataExtensionPtr& object, const GDataClassInfo& cls);

protected:
    template <class T>
    std::vector<std::shared_ptr<T>> list() const {
        return objectsForExtension<T>();
    }
    template <class T>
    void setList(const std::optional<std::vector<std::shared_ptr<T>>>& v) {
        setObjectsForExtension<T>(v);
    }
    template <class T>
    void add(const std::shared_ptr<T>& v) {
        addObject(v, T::staticClassInfo());
    }
    template <class T>
    void remove(const std::shared_ptr<T>& v) {
        removeObject(v, T::staticClassInfo());
    }
    template <class T>
    std::shared_ptr<T> primary() const {
        return std::dynamic_pointer_cast<T>(primaryObjectForExtensionClass(T::staticClassInfo()));
    }
    template <class T>
    void setPrimary(const std::shared_ptr<T>& v) {
        setPrimaryObject(v, T::staticClassInfo());
    }
    // The value of a one-value element; setting nil or "" removes the element.
    template <class T>
    std::optional<std::string> text() const {
        return extensionStringValue<T>();
    }
    template <class T>
    void setText(std::optional<std::string> v) {
        if (v && v->empty()) v.reset();
        setExtensionStringValue<T>(std::move(v));
    }
};

}  // namespace quorvane
