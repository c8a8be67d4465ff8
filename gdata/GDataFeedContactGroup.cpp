#include "gdata/GDataFeedContactGroup.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataFeedContactGroup, GDataFeedBase, nullptr, nullptr, nullptr)

std::shared_ptr<GDataFeedContactGroup> GDataFeedContactGroup::contactGroupFeed() {
    registerContactClasses();
    auto feed = object();
    feed->setNamespaces(GDataContactConstants::contactNamespaces());
    return feed;
}

std::shared_ptr<GDataFeedContactGroup> GDataFeedContactGroup::contactGroupFeedWithXMLData(const platform::Bytes& data) {
    registerContactClasses();
    return GDataFeedBase::feedWithXMLData<GDataFeedContactGroup>(data);
}

std::optional<std::string> GDataFeedContactGroup::coreProtocolVersionForServiceVersion(
    const std::optional<std::string>& serviceVersion) const {
    return GDataContactConstants::coreProtocolVersionForServiceVersion(serviceVersion);
}

std::shared_ptr<GDataEntryContactGroup> GDataFeedContactGroup::entryForSystemGroupID(
    const std::string& systemGroupID) const {
    if (!entries()) return nullptr;
    for (const auto& e : *entries()) {
        auto group = std::dynamic_pointer_cast<GDataEntryContactGroup>(e);
        if (!group) continue;
        if (auto marker = group->systemGroup(); marker && marker->identifier() == systemGroupID) return group;
    }
    return nullptr;
}

}  // namespace quorvane
