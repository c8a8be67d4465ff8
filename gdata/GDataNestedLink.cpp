#include "gdata/GDataNestedLink.h"

#include "gdata/GDataXMLWriter.h"

namespace quorvane {

bool GDataNestedLink::initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) {
    if (!GDataObject::initWithXMLElement(element, parent)) return false;
    // The first nested Atom child, of the class the kind registry chooses (none is forced). A
    // child that gets no class, and any further such child, stays unparsed and is written back.
    auto children = elementsForName(nestedLocalName_, std::string_view(kGDataNamespaceAtom), element);
    if (children.empty()) return true;
    const GDataClassInfo* cls = objectClassForXMLElement(this, children.front());
    if (!cls) return true;
    handleParsedElement(children.front());
    nested_ = objectWithXMLElement(classOrSurrogateForClass(*cls), children.front(),
                                   std::static_pointer_cast<GDataObject>(shared_from_this()));
    return true;
}

GDataXMLElementPtr GDataNestedLink::XMLElement() const {
    auto element = GDataObject::XMLElement();
    if (element && nested_)
        if (auto child = nested_->XMLElement()) element->adoptChild(std::move(child));
    return element;
}

void GDataNestedLink::writeXML(GDataXMLWriter& writer) const {
    writeXMLStart(writer, std::nullopt);
    writeXMLChildren(writer);
    if (nested_) nested_->writeXML(writer);
    writer.endElement();
}

void GDataNestedLink::copyStateTo(GDataObject& target) const {
    GDataObject::copyStateTo(target);
    auto t = dynamic_cast<GDataNestedLink*>(&target);
    if (t) t->nested_ = nested_ ? std::dynamic_pointer_cast<GDataObject>(nested_->copy()) : nullptr;
}

bool GDataNestedLink::isEqual(const GDataExtension& other) const {
    if (!GDataObject::isEqual(other)) return false;
    auto o = dynamic_cast<const GDataNestedLink*>(&other);
    if (!o) return false;
    if (!nested_ || !o->nested_) return !nested_ && !o->nested_;
    return nested_->isEqual(*o->nested_);
}

}  // namespace quorvane
