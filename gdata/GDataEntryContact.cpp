#include "gdata/GDataEntryContact.h"

#include "gdata/GDataDescriptionItems.h"
#include "gdata/GDataUtilities.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataEntryContact, GDataEntryContactBase, nullptr, nullptr, nullptr)

std::shared_ptr<GDataEntryContact> GDataEntryContact::contactEntryWithName(const std::shared_ptr<GDataName>& name) {
    registerContactClasses();
    auto entry = object();
    entry->setNamespaces(GDataContactConstants::contactNamespaces());
    entry->setName(name);
    return entry;
}

std::shared_ptr<GDataEntryContact> GDataEntryContact::contactEntryWithFullNameString(
    const std::optional<std::string>& fullName) {
    return contactEntryWithName(GDataName::nameWithFullNameString(fullName));
}

std::shared_ptr<GDataEntryContact> GDataEntryContact::contactEntryWithTitle(const std::optional<std::string>& title) {
    registerContactClasses();
    auto entry = object();
    entry->setNamespaces(GDataContactConstants::contactNamespaces());
    entry->setTitleWithString(title);
    return entry;
}

void GDataEntryContact::addExtensionDeclarations() {
    GDataEntryContactBase::addExtensionDeclarations();
    addExtensionDeclarationForParentClass(
        classInfo(), {&GDataGroupMembershipInfo::staticClassInfo(), &GDataContactYomiName::staticClassInfo()});
}

std::shared_ptr<GDataGroupMembershipInfo> GDataEntryContact::groupMembershipInfoWithHref(const std::string& href) const {
    return GDataUtilities::firstObjectFromArray(groupMembershipInfos(), std::optional<std::string>(href),
                                                [](const std::shared_ptr<GDataGroupMembershipInfo>& m) { return m->href(); });
}

std::vector<std::string> GDataEntryContact::itemsForDescription() const {
    auto items = GDataEntryContactBase::itemsForDescription();
    auto groups = gdataValueItem("group", [this]() -> std::optional<std::string> {
        auto list = groupMembershipInfos();
        if (list.empty()) return std::nullopt;
        std::string out = "(";
        for (size_t i = 0; i < list.size(); ++i) out += (i ? ", " : "") + list[i]->description();
        return out + ")";
    });
    addDescriptionRecords({groups, gdataValueItem("version>=3:yomi", [this] { return yomi(); })}, items);
    return items;
}

}  // namespace quorvane
