#pragma once
// GDataFeedContactProfile: the profiles feed of a domain directory (kind "#profile"); its entries
// are GDataEntryContactProfile.

#include <memory>
#include <optional>
#include <string>

#include "gdata/GDataEntryContactProfile.h"
#include "gdata/GDataFeedBase.h"

namespace quorvane {

class GDataFeedContactProfile : public GDataFeedBase {
    QV_GDATA_CLASS(GDataFeedContactProfile)
public:
    // A new, empty feed declaring the contact namespaces. It registers the contact classes first.
    static std::shared_ptr<GDataFeedContactProfile> contactProfileFeed();
    // Registers the contact classes and parses the bytes; nullptr when they are not well-formed XML.
    static std::shared_ptr<GDataFeedContactProfile> contactProfileFeedWithXMLData(const platform::Bytes& data);

    std::optional<std::string> standardFeedKind() const override {
        return std::string(kGDataCategoryContactProfile);
    }
    std::optional<std::string> defaultServiceVersion() const override {
        return std::string(kGDataContactDefaultServiceVersion);
    }
    std::optional<std::string> coreProtocolVersionForServiceVersion(
        const std::optional<std::string>& serviceVersion) const override;
    const GDataClassInfo* classForEntries() const override { return &GDataEntryContactProfile::staticClassInfo(); }
};

}  // namespace quorvane
