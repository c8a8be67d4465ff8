#pragma once
// GDataEntryContact: one contact of the contacts feed (kind "#contact"): every contact element of
// the base, plus the contact's group memberships and the phonetic reading of its whole name.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gdata/GDataEntryContactBase.h"
#include "gdata/GDataGroupMembershipInfo.h"

namespace quorvane {

class GDataEntryContact : public GDataEntryContactBase {
    QV_GDATA_CLASS(GDataEntryContact)
public:
    // New entries declaring the contact namespaces. They register the contact classes first.
    static std::shared_ptr<GDataEntryContact> contactEntryWithName(const std::shared_ptr<GDataName>& name);
    static std::shared_ptr<GDataEntryContact> contactEntryWithFullNameString(const std::optional<std::string>& fullName);
    static std::shared_ptr<GDataEntryContact> contactEntryWithTitle(const std::optional<std::string>& title);

    std::optional<std::string> standardEntryKind() const override { return std::string(kGDataCategoryContact); }
    std::optional<std::string> defaultServiceVersion() const override {
        return std::string(kGDataContactDefaultServiceVersion);
    }
    void addExtensionDeclarations() override;
    std::vector<std::string> itemsForDescription() const override;

    std::vector<std::shared_ptr<GDataGroupMembershipInfo>> groupMembershipInfos() const {
        return list<GDataGroupMembershipInfo>();
    }
    void setGroupMembershipInfos(const std::optional<std::vector<std::shared_ptr<GDataGroupMembershipInfo>>>& v) {
        setList(v);
    }
    void addGroupMembershipInfo(const std::shared_ptr<GDataGroupMembershipInfo>& v) { add(v); }
    void removeGroupMembershipInfo(const std::shared_ptr<GDataGroupMembershipInfo>& v) { remove(v); }
    // The first membership of the group with that id URL; nullptr when there is none.
    std::shared_ptr<GDataGroupMembershipInfo> groupMembershipInfoWithHref(const std::string& href) const;

    // The phonetic reading of the whole name; nil or "" removes it.
    std::optional<std::string> yomi() const { return text<GDataContactYomiName>(); }
    void setYomi(std::optional<std::string> v) { setText<GDataContactYomiName>(std::move(v)); }
};

}  // namespace quorvane
