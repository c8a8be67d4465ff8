#pragma once
// GDataFeedContactGroup: the contact groups feed (kind "#group"); its entries are
// GDataEntryContactGroup.

#include <memory>
#include <optional>
#include <string>

#include "gdata/GDataEntryContactGroup.h"
#include "gdata/GDataFeedBase.h"

namespace quorvane {

class GDataFeedContactGroup : public GDataFeedBase {
    QV_GDATA_CLASS(GDataFeedContactGroup)
public:
    // A new, empty feed declaring the contact namespaces. It registers the contact classes first.
    static std::shared_ptr<GDataFeedContactGroup> contactGroupFeed();
    // Registers the contact classes and parses the bytes; nullptr when they are not well-formed XML.
    static std::shared_ptr<GDataFeedContactGroup> contactGroupFeedWithXMLData(const platform::Bytes& data);

    std::optional<std::string> standardFeedKind() const override { return std::string(kGDataCategoryContactGroup); }
    std::optional<std::string> coreProtocolVersionForServiceVersion(
        const std::optional<std::string>& serviceVersion) const override;
    const GDataClassInfo* classForEntries() const override { return &GDataEntryContactGroup::staticClassInfo(); }

    // The first group whose system group id is the given one ("Contacts" is My Contacts).
    std::shared_ptr<GDataEntryContactGroup> entryForSystemGroupID(const std::string& systemGroupID) const;
};

}  // namespace quorvane
