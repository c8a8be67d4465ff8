#pragma once
// gd:feedLink — a link to a feed, which may hold the feed itself as a nested Atom feed.

#include "gdata/GDataNestedLink.h"
#include "platform/net/URL.h"

namespace quorvane {

class GDataFeedLink : public GDataNestedLink {
    QV_GDATA_CLASS(GDataFeedLink)
public:
    GDataFeedLink() : GDataNestedLink("feed") {}
    static std::shared_ptr<GDataFeedLink> feedLinkWithHref(std::optional<std::string> href, bool isReadOnly);
    void addParseDeclarations() override;

    std::optional<int32_t> countHint() const { return intNumberForAttribute("countHint"); }
    void setCountHint(std::optional<int32_t> n);
    // The href as a URL; nullopt when it is missing, empty or not a URL.
    std::optional<platform::URL> URL() const;

    // The nested feed, of the class the kind registry chose for it (a feed is the root of a
    // tree of its own).
    const GDataObjectPtr& feed() const { return nested(); }
    void setFeed(GDataObjectPtr feed) { setNested(std::move(feed)); }
};

}  // namespace quorvane
