#include "gdata/GDataFeedLink.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataFeedLink, GDataObject, kGDataNamespaceGData, kGDataNamespaceGDataPrefix, "feedLink")

std::shared_ptr<GDataFeedLink> GDataFeedLink::feedLinkWithHref(std::optional<std::string> href, bool isReadOnly) {
    auto obj = object();
    obj->setHref(std::move(href));
    obj->setIsReadOnly(isReadOnly);
    return obj;
}

void GDataFeedLink::addParseDeclarations() { addLocalAttributeDeclarations({"href", "rel", "readOnly", "countHint"}); }

void GDataFeedLink::setCountHint(std::optional<int32_t> n) {
    setStringValue(n ? std::optional<std::string>(std::to_string(*n)) : std::nullopt, "countHint");
}

std::optional<platform::URL> GDataFeedLink::URL() const {
    auto h = href();
    if (!h || h->empty()) return std::nullopt;
    return platform::URL::URLWithString(*h);
}

}  // namespace quorvane
