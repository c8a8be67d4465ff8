#pragma once
// gd:feedLink — a link to a feed, which may hold the feed itself as a nested Atom feed.

#include "gdata/GDataObject.h"
#include "platform/net/URL.h"

namespace quorvane {

class GDataFeedLink : public GDataObject {
    QV_GDATA_CLASS(GDataFeedLink)
public:
    static std::shared_ptr<GDataFeedLink> feedLinkWithHref(std::optional<std::string> href, bool isReadOnly);
    void addParseDeclarations() override;
    bool initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) override;
    GDataXMLElementPtr XMLElement() const override;
    void copyStateTo(GDataObject& target) const override;
    bool isEqual(const GDataExtension& other) const override;

    std::optional<std::string> href() const { return stringValueForAttribute("href"); }
    void setHref(std::optional<std::string> v) { setStringValue(std::move(v), "href"); }
    std::optional<std::string> rel() const { return stringValueForAttribute("rel"); }
    void setRel(std::optional<std::string> v) { setStringValue(std::move(v), "rel"); }
    // "readOnly" is written only when true.
    bool isReadOnly() const { return boolValueForAttribute("readOnly", false); }
    void setIsReadOnly(bool flag) { setBoolValue(flag, false, "readOnly"); }
    std::optional<int32_t> countHint() const { return intNumberForAttribute("countHint"); }
    void setCountHint(std::optional<int32_t> n);
    // The href as a URL; nullopt when it is missing, empty or not a URL.
    std::optional<platform::URL> URL() const;

    // The nested feed, of the class the kind registry chose for it (a feed is the root of a
    // tree of its own).
    const GDataObjectPtr& feed() const { return feed_; }
    void setFeed(GDataObjectPtr feed) { feed_ = std::move(feed); }

private:
    GDataObjectPtr feed_;
};

}  // namespace quorvane
