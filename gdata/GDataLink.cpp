#include "gdata/GDataLink.h"

#include "gdata/GDataAtomElements.h"
#include "gdata/GDataEntryContent.h"
#include "gdata/GDataUtilities.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataLink, GDataObject, kGDataNamespaceAtom, kGDataNamespaceAtomPrefix, "link")

GDataLinkPtr GDataLink::linkWithRel(std::optional<std::string> rel, std::optional<std::string> type,
                                    std::optional<std::string> href) {
    auto link = object();
    link->setRel(std::move(rel));
    link->setType(std::move(type));
    link->setHref(std::move(href));
    return link;
}

void GDataLink::addExtensionDeclarations() {
    GDataObject::addExtensionDeclarations();
    addExtensionDeclarationForParentClass(classInfo(), GDataAtomContent::staticClassInfo());
    addAttributeExtensionDeclarationForParentClass(classInfo(), GDataETagAttribute::staticClassInfo());
}

void GDataLink::addParseDeclarations() {
    addLocalAttributeDeclarations({"rel", "type", "href", "hrefLang", "title", "xml:lang", "length"});
}

std::string GDataLink::rel() const {
    auto r = stringValueForAttribute("rel");
    if (!r || r->empty()) return "alternate";
    return *r;
}

void GDataLink::setResourceLength(std::optional<int64_t> length) {
    setStringValue(length ? std::optional<std::string>(std::to_string(*length)) : std::nullopt, "length");
}

std::optional<std::string> GDataLink::ETag() const {
    return attributeValueForExtensionClass(GDataETagAttribute::staticClassInfo());
}

void GDataLink::setETag(std::optional<std::string> v) {
    setAttributeValue(std::move(v), GDataETagAttribute::staticClassInfo());
}

std::shared_ptr<GDataAtomContent> GDataLink::content() const { return objectForExtension<GDataAtomContent>(); }

void GDataLink::setContent(const std::shared_ptr<GDataAtomContent>& content) {
    setObject(content, GDataAtomContent::staticClassInfo());
}

std::optional<platform::URL> GDataLink::URL() const {
    auto h = href();
    if (!h || h->empty()) return std::nullopt;
    return platform::URL::URLWithString(*h);
}

GDataLinkPtr GDataLink::linkWithRel(const std::optional<std::string>& rel, const std::optional<std::string>& type,
                                    const std::vector<GDataLinkPtr>& links) {
    for (const auto& link : links) {
        if (!link) continue;
        if (rel && link->rel() != *rel) continue;
        if (type && !AreEqualOrBothNil(link->type(), type)) continue;
        return link;
    }
    return nullptr;
}

GDataLinkPtr GDataLink::linkWithRelAttributeSuffix(std::string_view suffix, const std::vector<GDataLinkPtr>& links) {
    for (const auto& link : links)
        if (link && platform::hasSuffix(link->rel(), suffix)) return link;
    return nullptr;
}

std::optional<std::vector<std::string>> GDataLink::linkNamesFromLinks(const std::vector<GDataLinkPtr>& links) {
    if (links.empty()) return std::nullopt;
    std::vector<std::string> names;
    names.reserve(links.size());
    for (const auto& link : links) {
        if (!link) continue;
        auto rel = link->rel();
        auto hash = rel.rfind('#');
        names.push_back(hash == std::string::npos ? rel : rel.substr(hash + 1));
    }
    return names;
}

std::vector<std::string> GDataLink::itemsForDescription() const {
    auto items = GDataObject::itemsForDescription();
    if (auto etag = ETag()) items.push_back("etag:" + *etag);
    if (auto c = content()) items.push_back("content:" + c->description());
    return items;
}

}  // namespace quorvane
