#include "gdata/GDataGeo.h"

#include <charconv>
#include <cmath>

#include "gdata/GDataNamespaces.h"
#include "gdata/GDataScanner.h"
#include "gdata/GDataUtilities.h"
#include "gdata/GDataXMLWriter.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Strings.h"

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataGeo, GDataObject, nullptr, nullptr, nullptr)
QV_GDATA_DEFINE_CLASS(GDataGeoRSSPoint, GDataGeo, kGDataNamespaceGeoRSSURI, kGDataNamespaceGeoRSSPrefix, "point")
QV_GDATA_DEFINE_CLASS(GDataGeoRSSWhere, GDataGeo, kGDataNamespaceGeoRSSURI, kGDataNamespaceGeoRSSPrefix, "where")
QV_GDATA_DEFINE_CLASS(GDataGeoW3CPoint, GDataGeo, kGDataNamespaceGeoW3CURI, kGDataNamespaceGeoW3CPrefix, "Point")
QV_GDATA_DEFINE_CLASS(GDataGeoRSSFeatureName, GDataValueElementConstruct, kGDataNamespaceGeoRSSURI,
                      kGDataNamespaceGeoRSSPrefix, "featurename")
QV_GDATA_DEFINE_CLASS(GDataGeoRSSRadius, GDataValueElementConstruct, kGDataNamespaceGeoRSSURI,
                      kGDataNamespaceGeoRSSPrefix, "radius")

namespace {

// The encodings, in the order a location is looked up.
const GDataClassInfo* const* encodingClasses() {
    static const GDataClassInfo* const classes[] = {&GDataGeoRSSPoint::staticClassInfo(),
                                                    &GDataGeoRSSWhere::staticClassInfo(),
                                                    &GDataGeoW3CPoint::staticClassInfo(), nullptr};
    return classes;
}

// The text children of the element, concatenated.
std::string textOf(const GDataXMLElementPtr& element, GDataXMLNodeList* textNodes) {
    std::string text;
    if (!element) return text;
    for (const auto& child : element->children()) {
        if (child->kind() != GDataXMLNodeKind::Text) continue;
        text += child->stringValue().value_or("");
        if (textNodes) textNodes->push_back(child);
    }
    return text;
}

// Child elements with the local name in the element's own namespace (by qualified name when the
// element has none).
GDataXMLElementList childrenInOwnNamespace(const GDataXMLElementPtr& element, std::string_view localName) {
    auto uri = element->URI();
    if (uri && !uri->empty()) return element->elementsForLocalName(localName, *uri);
    auto prefix = element->prefix().value_or("");
    return element->elementsForName(prefix.empty() ? std::string(localName) : prefix + ":" + std::string(localName));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// GDataGeo

GDataStringDictionary GDataGeo::geoNamespaces() {
    return {{kGDataNamespaceGeoRSSPrefix, kGDataNamespaceGeoRSSURI},
            {kGDataNamespaceGeoW3CPrefix, kGDataNamespaceGeoW3CURI},
            {kGDataNamespaceGMLPrefix, kGDataNamespaceGMLURI}};
}

std::shared_ptr<GDataGeo> GDataGeo::geoWithLatitude(const GDataClassInfo& cls, double latitude, double longitude) {
    auto obj = std::dynamic_pointer_cast<GDataGeo>(cls.make());
    if (obj) obj->setValues(std::vector<double>{latitude, longitude});
    return obj;
}

double GDataGeo::latitude() const { return isPoint() ? (*values_)[0] : std::nan(""); }
double GDataGeo::longitude() const { return isPoint() ? (*values_)[1] : std::nan(""); }

std::vector<double> GDataGeo::valuesWithCoordinateString(std::string_view str) {
    std::vector<double> values;
    auto scan = [&](size_t& pos, double& out) {
        gdata_scan::skipWhitespace(str, pos);
        return gdata_scan::scanDouble(str, pos, out);
    };
    size_t pos = 0;
    double first = 0, second = 0;
    if (!scan(pos, first)) return values;
    while (scan(pos, second)) {
        values.push_back(first);
        values.push_back(second);
        if (!scan(pos, first)) break;
    }
    return values;
}

std::string GDataGeo::numberString(double value) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    if (ec != std::errc()) return "0";
    return std::string(buf, end);
}

std::optional<std::string> GDataGeo::coordinateStringWithValues(const std::optional<std::vector<double>>& values) {
    if (!values) return std::nullopt;
    std::string out;
    for (size_t i = 0; i < values->size(); ++i) {
        if (i) out += ' ';
        out += numberString((*values)[i]);
    }
    return out;
}

void GDataGeo::addGeoExtensionDeclarationsToObject(GDataObject& object, const GDataClassInfo& parentClass) {
    object.addExtensionDeclarationForParentClass(parentClass, {&GDataGeoRSSPoint::staticClassInfo(),
                                                               &GDataGeoRSSWhere::staticClassInfo(),
                                                               &GDataGeoW3CPoint::staticClassInfo()});
}

std::shared_ptr<GDataGeo> GDataGeo::geoLocationForObject(const GDataObject& object) {
    for (auto cls = encodingClasses(); *cls; ++cls)
        if (auto geo = std::dynamic_pointer_cast<GDataGeo>(object.objectForExtensionClass(**cls))) return geo;
    return nullptr;
}

void GDataGeo::setGeoLocation(const std::shared_ptr<GDataGeo>& geo, GDataObject& object) {
    // Remove the current location from the slot it was found in (a surrogate subclass is stored
    // under the encoding it stands for).
    for (auto cls = encodingClasses(); *cls; ++cls) {
        if (std::dynamic_pointer_cast<GDataGeo>(object.objectForExtensionClass(**cls))) {
            object.setObject(nullptr, **cls);
            break;
        }
    }
    if (!geo) return;
    if (!QV_ASSERT(&geo->classInfo() != &GDataGeo::staticClassInfo(),
                   "setGeoLocation requires an instance of a subclass of GDataGeo"))
        return;
    const GDataClassInfo* slot = &geo->classInfo();
    for (auto cls = encodingClasses(); *cls; ++cls) {
        if (geo->classInfo().isSubclassOf(**cls)) {
            slot = *cls;
            break;
        }
    }
    object.setObject(geo, *slot);
}

bool GDataGeo::initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) {
    if (!QV_ASSERT(&classInfo() != &GDataGeo::staticClassInfo(),
                   std::string("Subclass of ") + classInfo().name + " should handle initWithXMLElement:"))
        return false;
    return GDataObject::initWithXMLElement(element, parent);
}

void GDataGeo::setValuesFromTextOfElement(const GDataXMLElementPtr& element) {
    GDataXMLNodeList textNodes;
    auto text = textOf(element, &textNodes);
    if (text.empty()) return;
    auto values = valuesWithCoordinateString(text);
    if (values.empty()) return;
    values_ = std::move(values);
    for (const auto& node : textNodes) handleParsedElement(node);
}

GDataXMLElementPtr GDataGeo::XMLElement() const {
    auto element = XMLElementWithExtensionsAndDefaultName(std::string("georss:point"));
    if (element && isPoint())
        if (auto s = coordinateString()) addStringValue(element, *s);
    return element;
}

void GDataGeo::writeXML(GDataXMLWriter& writer) const {
    writeXMLStart(writer, "georss:point");
    writeXMLChildren(writer);
    if (isPoint())
        if (auto s = coordinateString()) writer.addText(GDataUtilities::stringWithControlsFilteredForString(*s));
    writer.endElement();
}

void GDataGeo::copyStateTo(GDataObject& target) const {
    GDataObject::copyStateTo(target);
    if (auto t = dynamic_cast<GDataGeo*>(&target)) t->values_ = values_;
}

bool GDataGeo::isEqual(const GDataExtension& other) const {
    if (!GDataObject::isEqual(other)) return false;
    auto o = dynamic_cast<const GDataGeo*>(&other);
    return o && values_ == o->values_;
}

std::vector<std::string> GDataGeo::itemsForDescription() const {
    auto items = GDataObject::itemsForDescription();
    if (values_) {
        std::vector<std::string> numbers;
        for (double v : *values_) numbers.push_back(numberString(v));
        items.push_back("values:(" + platform::join(numbers, ", ") + ")");
    }
    return items;
}

// ---------------------------------------------------------------------------------------------
// The encodings

bool GDataGeoRSSPoint::initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) {
    if (!GDataGeo::initWithXMLElement(element, parent)) return false;
    setValuesFromTextOfElement(element);
    return true;
}

bool GDataGeoRSSWhere::initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) {
    if (!GDataGeo::initWithXMLElement(element, parent)) return false;
    auto points = elementsForName("gml:Point", std::string_view(kGDataNamespaceGMLURI), element);
    if (points.empty()) return true;
    auto positions = elementsForName("gml:pos", std::string_view(kGDataNamespaceGMLURI), points.front());
    if (positions.empty()) return true;
    auto text = textOf(positions.front(), nullptr);
    if (text.empty()) return true;
    auto values = valuesWithCoordinateString(text);
    if (values.empty()) return true;
    setValues(std::move(values));
    // A point that gave no coordinates stays as it was and is written back unchanged.
    handleParsedElement(points.front());
    return true;
}

GDataXMLElementPtr GDataGeoRSSWhere::XMLElement() const {
    auto element = XMLElementWithExtensionsAndDefaultName(std::string("georss:where"));
    if (!element || !isPoint()) return element;
    auto point = GDataXMLNode::elementWithName("gml:Point");
    if (!point) return element;
    addToElementChildWithStringValueIfNonEmpty(point, coordinateString(), "gml:pos");
    element->adoptChild(std::move(point));
    return element;
}

void GDataGeoRSSWhere::writeXML(GDataXMLWriter& writer) const {
    writeXMLStart(writer, "georss:where");
    writeXMLChildren(writer);
    if (isPoint()) {
        writer.startElement("gml:Point");
        if (auto s = coordinateString(); s && !s->empty()) {
            writer.startElement("gml:pos");
            writer.addText(*s);
            writer.endElement();
        }
        writer.endElement();
    }
    writer.endElement();
}

bool GDataGeoW3CPoint::initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) {
    if (!GDataGeo::initWithXMLElement(element, parent)) return false;
    auto lats = childrenInOwnNamespace(element, "lat");
    auto longs = childrenInOwnNamespace(element, "long");
    if (lats.empty() || longs.empty()) return true;  // an incomplete point stays as it was
    auto latitude = GDataUtilities::doubleNumberOrInfForString(textOf(lats.front(), nullptr));
    auto longitude = GDataUtilities::doubleNumberOrInfForString(textOf(longs.front(), nullptr));
    if (!latitude || !longitude) return true;
    setValues(std::vector<double>{*latitude, *longitude});
    handleParsedElement(lats.front());
    handleParsedElement(longs.front());
    return true;
}

// The children take the prefix the element was parsed with; an element in a default namespace
// writes bare "lat" and "long".
std::string GDataGeoW3CPoint::childElementName(const char* local) const {
    std::optional<std::string> prefix = std::string(kGDataNamespaceGeoW3CPrefix);
    if (!elementName().empty()) prefix = GDataXMLNode::prefixForName(elementName());
    return prefix && !prefix->empty() ? *prefix + ":" + local : std::string(local);
}

GDataXMLElementPtr GDataGeoW3CPoint::XMLElement() const {
    auto element = XMLElementWithExtensionsAndDefaultName(std::string("geo:Point"));
    if (!element || !isPoint()) return element;
    addToElementChildWithStringValueIfNonEmpty(element, numberString(latitude()), childElementName("lat"));
    addToElementChildWithStringValueIfNonEmpty(element, numberString(longitude()), childElementName("long"));
    return element;
}

void GDataGeoW3CPoint::writeXML(GDataXMLWriter& writer) const {
    writeXMLStart(writer, "geo:Point");
    writeXMLChildren(writer);
    if (isPoint()) {
        const std::pair<const char*, double> children[] = {{"lat", latitude()}, {"long", longitude()}};
        for (const auto& [local, number] : children) {
            auto value = numberString(number);
            if (value.empty()) continue;
            writer.startElement(childElementName(local));
            writer.addText(value);
            writer.endElement();
        }
    }
    writer.endElement();
}

}  // namespace quorvane
