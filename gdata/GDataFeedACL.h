#pragma once
// GDataFeedACL: the access-control list of a resource, a feed of access-rule entries.

#include <memory>
#include <optional>
#include <string>

#include "gdata/GDataEntryACL.h"
#include "gdata/GDataFeedBase.h"

namespace quorvane {

class GDataFeedACL : public GDataFeedBase {
    QV_GDATA_CLASS(GDataFeedACL)
public:
    // A new, empty feed with the ACL namespaces.
    static std::shared_ptr<GDataFeedACL> ACLFeed();
    // Parses the bytes; nullptr when they are not well-formed XML.
    static std::shared_ptr<GDataFeedACL> ACLFeedWithXMLData(const platform::Bytes& data);

    std::optional<std::string> standardFeedKind() const override { return ACLAccessRuleKind(); }
    // Every entry of the feed is an access rule.
    const GDataClassInfo* classForEntries() const override { return &GDataEntryACL::staticClassInfo(); }
};

}  // namespace quorvane
