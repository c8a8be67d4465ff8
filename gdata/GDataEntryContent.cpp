#include "gdata/GDataEntryContent.h"

#include "gdata/GDataUtilities.h"
#include "gdata/GDataXMLWriter.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataEntryContent, GDataObject, kGDataNamespaceAtom, kGDataNamespaceAtomPrefix, "content")
QV_GDATA_DEFINE_CLASS(GDataAtomContent, GDataEntryContent, kGDataNamespaceAtom, kGDataNamespaceAtomPrefix, "content")

namespace {
constexpr std::string_view kAtomXMLTypePrefix = "application/atom+xml;";
constexpr std::string_view kKMLTypePrefix = "application/vnd.google-earth.kml+xml";
}  // namespace

std::shared_ptr<GDataEntryContent> GDataEntryContent::contentWithString(const GDataClassInfo& cls,
                                                                        std::optional<std::string> str) {
    auto content = std::dynamic_pointer_cast<GDataEntryContent>(cls.make());
    if (content) content->setStringValue(std::move(str));
    return content;
}

std::shared_ptr<GDataEntryContent> GDataEntryContent::contentWithSourceURI(const GDataClassInfo& cls,
                                                                           std::optional<std::string> uri,
                                                                           std::optional<std::string> type) {
    auto content = std::dynamic_pointer_cast<GDataEntryContent>(cls.make());
    if (!content) return nullptr;
    content->setSourceURI(std::move(uri));
    content->setType(std::move(type));
    return content;
}

std::shared_ptr<GDataEntryContent> GDataEntryContent::contentWithXMLValue(const GDataClassInfo& cls,
                                                                          const GDataXMLElementPtr& element,
                                                                          std::optional<std::string> type) {
    auto content = std::dynamic_pointer_cast<GDataEntryContent>(cls.make());
    if (!content) return nullptr;
    content->declareOwnMarker(false);
    content->setType(std::move(type));
    if (element) content->addXMLValue(element);
    return content;
}

bool GDataEntryContent::isTextType(const std::optional<std::string>& type) {
    if (!type) return true;
    return *type == "text" || platform::hasPrefix(*type, "text/") || *type == "html" || *type == "xhtml";
}

void GDataEntryContent::addParseDeclarations() { addLocalAttributeDeclarations({"type", "xml:lang", "src"}); }

void GDataEntryContent::declareOwnMarker(bool contentValue) {
    if (contentValue ? hasDeclaredContentValue() : hasDeclaredChildXMLElements()) return;
    declareContentMarkerForThisObject(contentValue);
}

bool GDataEntryContent::initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) {
    if (!GDataObject::initWithXMLElement(element, parent)) return false;
    auto contentType = type();
    if (isTextType(contentType)) {
        declareOwnMarker(true);
        setContentStringValue(stringValueFromElement(element));
    } else if (platform::hasPrefix(*contentType, kAtomXMLTypePrefix)) {
        // The object carried inside: the first child element, whatever its name.
        GDataXMLElementPtr first;
        for (const auto& child : element->children()) {
            if (child->kind() != GDataXMLNodeKind::Element) continue;
            first = std::dynamic_pointer_cast<GDataXMLElement>(child);
            break;
        }
        if (first) {
            if (auto cls = objectClassForXMLElement(this, first)) {
                handleParsedElement(first);
                auto self = std::static_pointer_cast<GDataObject>(shared_from_this());
                childObject_ = objectWithXMLElement(classOrSurrogateForClass(*cls), first, self);
            }
        }
    } else if (platform::hasPrefix(*contentType, kKMLTypePrefix)) {
        declareOwnMarker(false);
        for (const auto& child : element->children()) {
            if (child->kind() != GDataXMLNodeKind::Element) continue;
            if (auto e = std::dynamic_pointer_cast<GDataXMLElement>(child)) {
                if (auto c = e->copy()) addChildXMLElement(c);
                handleParsedElement(child);
            }
        }
    }
    return true;
}

GDataXMLElementPtr GDataEntryContent::XMLElement() const {
    auto element = GDataObject::XMLElement();
    if (element && childObject_)
        if (auto child = childObject_->XMLElement()) element->adoptChild(std::move(child));
    return element;
}

void GDataEntryContent::writeXML(GDataXMLWriter& writer) const {
    writeXMLStart(writer, std::nullopt);
    writeXMLChildren(writer);
    if (childObject_) childObject_->writeXML(writer);
    writer.endElement();
}

void GDataEntryContent::copyStateTo(GDataObject& target) const {
    GDataObject::copyStateTo(target);
    if (auto t = dynamic_cast<GDataEntryContent*>(&target))
        t->childObject_ = childObject_ ? std::dynamic_pointer_cast<GDataObject>(childObject_->copy()) : nullptr;
}

bool GDataEntryContent::isEqual(const GDataExtension& other) const {
    if (this == &other) return true;
    if (!GDataObject::isEqual(other)) return false;
    auto o = dynamic_cast<const GDataEntryContent*>(&other);
    if (!o) return false;
    auto t1 = type(), t2 = o->type();
    if (t1 != t2 && !(isTextType(t1) && isTextType(t2))) return false;
    return AreEqualOrBothNil(childObject_, o->childObject_);
}

std::vector<std::string> GDataEntryContent::itemsForDescription() const {
    auto items = GDataObject::itemsForDescription();
    if (childObject_) items.push_back("child:" + childObject_->description());
    return items;
}

std::optional<platform::URL> GDataEntryContent::sourceURL() const {
    auto src = sourceURI();
    if (!src || src->empty()) return std::nullopt;
    return platform::URL::URLWithString(*src);
}

std::optional<std::string> GDataEntryContent::stringValue() const {
    if (!hasDeclaredContentValue()) return std::nullopt;
    return contentStringValue();
}

void GDataEntryContent::setStringValue(std::optional<std::string> str) {
    declareOwnMarker(true);
    setContentStringValue(std::move(str));
}

std::optional<GDataXMLElementList> GDataEntryContent::XMLValues() const {
    if (!hasDeclaredChildXMLElements() || childXMLElements().empty()) return std::nullopt;
    return childXMLElements();
}

void GDataEntryContent::setXMLValues(const std::optional<GDataXMLElementList>& values) {
    declareOwnMarker(false);
    setChildXMLElements(values ? *values : GDataXMLElementList{});
}

void GDataEntryContent::addXMLValue(const GDataXMLElementPtr& element) {
    declareOwnMarker(false);
    if (element) addChildXMLElement(element);
}

}  // namespace quorvane
