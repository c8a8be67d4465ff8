#pragma once
// GDataLink: an Atom link (<link rel= type= href= .../>), with the lookups over arrays of links
// that entries and feeds use to find their edit, next, batch and other links.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gdata/GDataObject.h"
#include "platform/net/URL.h"

namespace quorvane {

class GDataAtomContent;
class GDataLink;
using GDataLinkPtr = std::shared_ptr<GDataLink>;

class GDataLink : public GDataObject {
    QV_GDATA_CLASS(GDataLink)
public:
    static GDataLinkPtr linkWithRel(std::optional<std::string> rel, std::optional<std::string> type,
                                    std::optional<std::string> href);

    void addExtensionDeclarations() override;
    void addParseDeclarations() override;

    // The "rel" attribute; a link without a usable rel is an alternate link, so this is
    // "alternate" when the attribute is missing or empty.
    std::string rel() const;
    void setRel(std::optional<std::string> v) { setStringValue(std::move(v), "rel"); }
    std::optional<std::string> type() const { return stringValueForAttribute("type"); }
    void setType(std::optional<std::string> v) { setStringValue(std::move(v), "type"); }
    std::optional<std::string> href() const { return stringValueForAttribute("href"); }
    void setHref(std::optional<std::string> v) { setStringValue(std::move(v), "href"); }
    std::optional<std::string> hrefLang() const { return stringValueForAttribute("hrefLang"); }
    void setHrefLang(std::optional<std::string> v) { setStringValue(std::move(v), "hrefLang"); }
    std::optional<std::string> title() const { return stringValueForAttribute("title"); }
    void setTitle(std::optional<std::string> v) { setStringValue(std::move(v), "title"); }
    std::optional<std::string> titleLang() const { return stringValueForAttribute("xml:lang"); }
    void setTitleLang(std::optional<std::string> v) { setStringValue(std::move(v), "xml:lang"); }
    // The "length" attribute as a number.
    std::optional<int64_t> resourceLength() const { return longLongNumberForAttribute("length"); }
    void setResourceLength(std::optional<int64_t> length);

    std::optional<std::string> ETag() const;
    void setETag(std::optional<std::string> v);
    std::shared_ptr<GDataAtomContent> content() const;
    void setContent(const std::shared_ptr<GDataAtomContent>& content);

    // The href as a URL; nullopt when the href is missing, empty or not a URL.
    std::optional<platform::URL> URL() const;

    // --- lookups over arrays of links, in array order ---

    // The first link whose rel equals the rel (nullopt matches any) and, when a type is given,
    // whose type equals it (a link without a type never matches a given type).
    static GDataLinkPtr linkWithRel(const std::optional<std::string>& rel, const std::optional<std::string>& type,
                                    const std::vector<GDataLinkPtr>& links);
    // The first link whose rel ends with the suffix.
    static GDataLinkPtr linkWithRelAttributeSuffix(std::string_view suffix, const std::vector<GDataLinkPtr>& links);
    // Each link's rel cut to the part after its last "#"; nullopt for no links.
    static std::optional<std::vector<std::string>> linkNamesFromLinks(const std::vector<GDataLinkPtr>& links);

    std::vector<std::string> itemsForDescription() const override;
};

}  // namespace quorvane
