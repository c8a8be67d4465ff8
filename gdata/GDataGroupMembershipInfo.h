#pragma once
// gContact:groupMembershipInfo — a contact's membership of a group, named by the group's id URL.

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataGroupMembershipInfo : public GDataObject {
    QV_GDATA_CLASS(GDataGroupMembershipInfo)
public:
    // An element is made even for a nil href.
    static std::shared_ptr<GDataGroupMembershipInfo> groupMembershipInfoWithHref(std::optional<std::string> href);
    void addParseDeclarations() override;

    // The group entry's id URL.
    std::optional<std::string> href() const { return stringValueForAttribute("href"); }
    void setHref(std::optional<std::string> v) { setStringValue(std::move(v), "href"); }
    // "deleted" is written only when true; "TRUE" reads as true.
    bool isDeleted() const { return boolValueForAttribute("deleted", false); }
    void setIsDeleted(bool flag) { setBoolValue(flag, false, "deleted"); }
};

}  // namespace quorvane
