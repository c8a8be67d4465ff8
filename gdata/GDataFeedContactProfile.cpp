#include "gdata/GDataFeedContactProfile.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataFeedContactProfile, GDataFeedBase, nullptr, nullptr, nullptr)

std::shared_ptr<GDataFeedContactProfile> GDataFeedContactProfile::contactProfileFeed() {
    registerContactClasses();
    auto feed = object();
    feed->setNamespaces(GDataContactConstants::contactNamespaces());
    return feed;
}

std::shared_ptr<GDataFeedContactProfile> GDataFeedContactProfile::contactProfileFeedWithXMLData(
    const platform::Bytes& data) {
    registerContactClasses();
    return GDataFeedBase::feedWithXMLData<GDataFeedContactProfile>(data);
}

std::optional<std::string> GDataFeedContactProfile::coreProtocolVersionForServiceVersion(
    const std::optional<std::string>& serviceVersion) const {
    return GDataContactConstants::coreProtocolVersionForServiceVersion(serviceVersion);
}

}  // namespace quorvane
