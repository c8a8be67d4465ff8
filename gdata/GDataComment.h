#pragma once
// gd:comments — the comments of an entry, as a link to (or the nested) comments feed.

#include "gdata/GDataFeedLink.h"

namespace quorvane {

class GDataComment : public GDataObject {
    QV_GDATA_CLASS(GDataComment)
public:
    static std::shared_ptr<GDataComment> commentWithFeedLink(const std::shared_ptr<GDataFeedLink>& feedLink);
    void addExtensionDeclarations() override;
    void addParseDeclarations() override;

    std::optional<std::string> rel() const { return stringValueForAttribute("rel"); }
    void setRel(std::optional<std::string> v) { setStringValue(std::move(v), "rel"); }
    std::shared_ptr<GDataFeedLink> feedLink() const { return objectForExtension<GDataFeedLink>(); }
    void setFeedLink(const std::shared_ptr<GDataFeedLink>& v) { setObject(v, GDataFeedLink::staticClassInfo()); }

    std::vector<std::string> itemsForDescription() const override;
};

}  // namespace quorvane
