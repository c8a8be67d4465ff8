#include "gdata/GDataEntryLink.h"


namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataEntryLink, GDataObject, kGDataNamespaceGData, kGDataNamespaceGDataPrefix, "entryLink")

std::shared_ptr<GDataEntryLink> GDataEntryLink::entryLinkWithHref(std::optional<std::string> href, bool isReadOnly) {
    auto obj = object();
    obj->setHref(std::move(href));
    obj->setIsReadOnly(isReadOnly);
    return obj;
}

void GDataEntryLink::addParseDeclarations() { addLocalAttributeDeclarations({"href", "readOnly", "rel"}); }

bool GDataEntryLink::initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) {
    if (!GDataObject::initWithXMLElement(element, parent)) return false;
    // The first Atom entry child, of the class the kind registry chooses (none is forced). A
    // child that gets no class, and any further entry child, stays unparsed and is written back.
    auto children = elementsForName("entry", std::string_view(kGDataNamespaceAtom), element);
    if (children.empty()) return true;
    const GDataClassInfo* cls = objectClassForXMLElement(this, children.front());
    if (!cls) return true;
    handleParsedElement(children.front());
    entry_ = objectWithXMLElement(classOrSurrogateForClass(*cls), children.front(),
                                  std::static_pointer_cast<GDataObject>(shared_from_this()));
    return true;
}

GDataXMLElementPtr GDataEntryLink::XMLElement() const {
    auto element = GDataObject::XMLElement();
    if (element && entry_)
        if (auto child = entry_->XMLElement()) element->adoptChild(std::move(child));
    return element;
}

void GDataEntryLink::copyStateTo(GDataObject& target) const {
    GDataObject::copyStateTo(target);
    auto t = dynamic_cast<GDataEntryLink*>(&target);
    if (t) t->entry_ = entry_ ? std::dynamic_pointer_cast<GDataObject>(entry_->copy()) : nullptr;
}

bool GDataEntryLink::isEqual(const GDataExtension& other) const {
    if (!GDataObject::isEqual(other)) return false;
    auto o = dynamic_cast<const GDataEntryLink*>(&other);
    if (!o) return false;
    if (!entry_ || !o->entry_) return !entry_ && !o->entry_;
    return entry_->isEqual(*o->entry_);
}

}  // namespace quorvane
