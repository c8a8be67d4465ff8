#include "gdata/GDataFeedContact.h"

#include "gdata/GDataWhere.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataFeedContact, GDataFeedBase, nullptr, nullptr, nullptr)

std::shared_ptr<GDataFeedContact> GDataFeedContact::contactFeed() {
    registerContactClasses();
    auto feed = object();
    feed->setNamespaces(GDataContactConstants::contactNamespaces());
    return feed;
}

std::shared_ptr<GDataFeedContact> GDataFeedContact::contactFeedWithXMLData(const platform::Bytes& data) {
    registerContactClasses();
    return GDataFeedBase::feedWithXMLData<GDataFeedContact>(data);
}

std::optional<std::string> GDataFeedContact::coreProtocolVersionForServiceVersion(
    const std::optional<std::string>& serviceVersion) const {
    return GDataContactConstants::coreProtocolVersionForServiceVersion(serviceVersion);
}

void GDataFeedContact::addExtensionDeclarations() {
    GDataFeedBase::addExtensionDeclarations();
    addExtensionDeclarationForParentClass(classInfo(), GDataWhere::staticClassInfo());
}

std::vector<std::shared_ptr<GDataEntryContact>> GDataFeedContact::entriesWithGroupHref(const std::string& href) const {
    std::vector<std::shared_ptr<GDataEntryContact>> out;
    if (!entries()) return out;
    for (const auto& e : *entries())
        if (auto contact = std::dynamic_pointer_cast<GDataEntryContact>(e))
            if (contact->groupMembershipInfoWithHref(href)) out.push_back(std::move(contact));
    return out;
}

}  // namespace quorvane
