#pragma once
// gd:who — a person taking part, with the kind of attendee and the attendance status.

#include "gdata/GDataEntryLink.h"
#include "gdata/GDataValueConstruct.h"

namespace quorvane {

// gd:attendeeStatus value="..."
class GDataAttendeeStatus : public GDataValueConstruct {
    QV_GDATA_CLASS(GDataAttendeeStatus)
};

// gd:attendeeType value="..."
class GDataAttendeeType : public GDataValueConstruct {
    QV_GDATA_CLASS(GDataAttendeeType)
};

class GDataWho : public GDataObject {
    QV_GDATA_CLASS(GDataWho)
public:
    static std::shared_ptr<GDataWho> whoWithRel(std::optional<std::string> rel, std::optional<std::string> name,
                                                std::optional<std::string> email);
    void addExtensionDeclarations() override;
    void addParseDeclarations() override;
    using GDataObject::setStringValue;

    std::optional<std::string> rel() const { return stringValueForAttribute("rel"); }
    void setRel(std::optional<std::string> v) { setStringValue(std::move(v), "rel"); }
    // The person's name ("valueString").
    std::optional<std::string> stringValue() const { return stringValueForAttribute("valueString"); }
    void setStringValue(std::optional<std::string> v) { GDataObject::setStringValue(std::move(v), "valueString"); }
    std::optional<std::string> email() const { return stringValueForAttribute("email"); }
    void setEmail(std::optional<std::string> v) { GDataObject::setStringValue(std::move(v), "email"); }

    std::shared_ptr<GDataAttendeeType> attendeeType() const { return objectForExtension<GDataAttendeeType>(); }
    void setAttendeeType(const std::shared_ptr<GDataAttendeeType>& v) {
        setObject(v, GDataAttendeeType::staticClassInfo());
    }
    std::shared_ptr<GDataAttendeeStatus> attendeeStatus() const { return objectForExtension<GDataAttendeeStatus>(); }
    void setAttendeeStatus(const std::shared_ptr<GDataAttendeeStatus>& v) {
        setObject(v, GDataAttendeeStatus::staticClassInfo());
    }
    std::shared_ptr<GDataEntryLink> entryLink() const { return objectForExtension<GDataEntryLink>(); }
    void setEntryLink(const std::shared_ptr<GDataEntryLink>& v) { setObject(v, GDataEntryLink::staticClassInfo()); }

    std::vector<std::string> itemsForDescription() const override;
};

}  // namespace quorvane
