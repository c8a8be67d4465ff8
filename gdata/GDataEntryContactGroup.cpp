#include "gdata/GDataEntryContactGroup.h"

#include "gdata/GDataDescriptionItems.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataEntryContactGroup, GDataEntryBase, nullptr, nullptr, nullptr)

std::shared_ptr<GDataEntryContactGroup> GDataEntryContactGroup::contactGroupEntryWithTitle(
    const std::optional<std::string>& title) {
    registerContactClasses();
    auto entry = object();
    entry->setNamespaces(GDataContactConstants::contactNamespaces());
    entry->setTitleWithString(title);
    return entry;
}

std::optional<std::string> GDataEntryContactGroup::coreProtocolVersionForServiceVersion(
    const std::optional<std::string>& serviceVersion) const {
    return GDataContactConstants::coreProtocolVersionForServiceVersion(serviceVersion);
}

void GDataEntryContactGroup::addExtensionDeclarations() {
    GDataEntryBase::addExtensionDeclarations();
    addExtensionDeclarationForParentClass(
        classInfo(), {&GDataExtendedProperty::staticClassInfo(), &GDataContactSystemGroup::staticClassInfo()});
}

std::vector<std::string> GDataEntryContactGroup::itemsForDescription() const {
    auto items = GDataEntryBase::itemsForDescription();
    GDataDescriptionRecord props{};
    props.label = "extProps";
    props.kind = GDataDescriptionRecord::kArrayCount;
    props.count = [this] { return extendedProperties().size(); };
    addDescriptionRecords({gdataValueItem("systemGroup",
                                          [this]() -> std::optional<std::string> {
                                              auto g = systemGroup();
                                              return g ? g->identifier() : std::nullopt;
                                          }),
                           props},
                          items);
    return items;
}

}  // namespace quorvane
