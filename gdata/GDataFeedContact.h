#pragma once
// GDataFeedContact: the contacts feed (kind "#contact"); its entries are GDataEntryContact.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gdata/GDataEntryContact.h"
#include "gdata/GDataFeedBase.h"

namespace quorvane {

class GDataFeedContact : public GDataFeedBase {
    QV_GDATA_CLASS(GDataFeedContact)
public:
    // A new, empty feed declaring the contact namespaces. It registers the contact classes first.
    static std::shared_ptr<GDataFeedContact> contactFeed();
    // Registers the contact classes and parses the bytes; nullptr when they are not well-formed XML.
    static std::shared_ptr<GDataFeedContact> contactFeedWithXMLData(const platform::Bytes& data);

    std::optional<std::string> standardFeedKind() const override { return std::string(kGDataCategoryContact); }
    std::optional<std::string> defaultServiceVersion() const override {
        return std::string(kGDataContactDefaultServiceVersion);
    }
    std::optional<std::string> coreProtocolVersionForServiceVersion(
        const std::optional<std::string>& serviceVersion) const override;
    void addExtensionDeclarations() override;
    const GDataClassInfo* classForEntries() const override { return &GDataEntryContact::staticClassInfo(); }

    // The entries, in feed order, that are members of the group with that id URL.
    std::vector<std::shared_ptr<GDataEntryContact>> entriesWithGroupHref(const std::string& href) const;
};

}  // namespace quorvane
