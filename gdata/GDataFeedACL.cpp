#include "gdata/GDataFeedACL.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataFeedACL, GDataFeedBase, nullptr, nullptr, nullptr)

std::shared_ptr<GDataFeedACL> GDataFeedACL::ACLFeed() {
    registerACLClasses();
    auto feed = object();
    feed->setNamespaces(GDataEntryACL::ACLNamespaces());
    return feed;
}

std::shared_ptr<GDataFeedACL> GDataFeedACL::ACLFeedWithXMLData(const platform::Bytes& data) {
    registerACLClasses();
    return GDataFeedBase::feedWithXMLData<GDataFeedACL>(data);
}

}  // namespace quorvane
