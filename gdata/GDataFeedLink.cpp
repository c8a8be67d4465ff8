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

bool GDataFeedLink::initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) {
    if (!GDataObject::initWithXMLElement(element, parent)) return false;
    // The first Atom feed child, of the class the kind registry chooses (none is forced). A
    // child that gets no class, and any further feed child, stays unparsed and is written back.
    auto children = elementsForName("feed", std::string_view(kGDataNamespaceAtom), element);
    if (children.empty()) return true;
    const GDataClassInfo* cls = objectClassForXMLElement(this, children.front());
    if (!cls) return true;
    handleParsedElement(children.front());
    feed_ = objectWithXMLElement(classOrSurrogateForClass(*cls), children.front(),
                                  std::static_pointer_cast<GDataObject>(shared_from_this()));
    return true;
}

void GDataFeedLink::setCountHint(std::optional<int32_t> n) {
    setStringValue(n ? std::optional<std::string>(std::to_string(*n)) : std::nullopt, "countHint");
}

std::optional<platform::URL> GDataFeedLink::URL() const {
    auto h = href();
    if (!h || h->empty()) return std::nullopt;
    return platform::URL::URLWithString(*h);
}

GDataXMLElementPtr GDataFeedLink::XMLElement() const {
    auto element = GDataObject::XMLElement();
    if (element && feed_)
        if (auto child = feed_->XMLElement()) element->adoptChild(std::move(child));
    return element;
}

void GDataFeedLink::copyStateTo(GDataObject& target) const {
    GDataObject::copyStateTo(target);
    auto t = dynamic_cast<GDataFeedLink*>(&target);
    if (t) t->feed_ = feed_ ? std::dynamic_pointer_cast<GDataObject>(feed_->copy()) : nullptr;
}

bool GDataFeedLink::isEqual(const GDataExtension& other) const {
    if (!GDataObject::isEqual(other)) return false;
    auto o = dynamic_cast<const GDataFeedLink*>(&other);
    if (!o) return false;
    if (!feed_ || !o->feed_) return !feed_ && !o->feed_;
    return feed_->isEqual(*o->feed_);
}

}  // namespace quorvane
