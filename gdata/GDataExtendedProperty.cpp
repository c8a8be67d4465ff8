#include "gdata/GDataExtendedProperty.h"

#include <algorithm>

namespace quorvane {

QV_GDATA_DEFINE_CLASS(GDataExtendedProperty, GDataObject, kGDataNamespaceGData, kGDataNamespaceGDataPrefix,
                      "extendedProperty")

namespace {

bool mapsEmptyPrefix(const GDataStringDictionary& ns) {
    return std::any_of(ns.begin(), ns.end(), [](const auto& p) { return p.first.empty(); });
}

bool declaresDefaultNamespace(const GDataXMLElementPtr& e) {
    for (const auto& ns : e->namespaces())
        if (ns->name().value_or("").empty()) return true;
    return false;
}

std::vector<GDataXMLElementPtr> childElements(const GDataXMLElementPtr& e) {
    std::vector<GDataXMLElementPtr> out;
    for (const auto& c : e->children())
        if (c->kind() == GDataXMLNodeKind::Element)
            if (auto ce = std::dynamic_pointer_cast<GDataXMLElement>(c)) out.push_back(std::move(ce));
    return out;
}

// Whether an unprefixed element of the subtree takes its namespace from a default namespace
// declared outside the subtree (`inside`: a default namespace is declared within it, above `e`).
bool usesOutsideDefault(const GDataXMLElementPtr& e, bool inside) {
    if (inside || declaresDefaultNamespace(e)) return false;
    if (e->prefix().value_or("").empty() && !e->URI().value_or("").empty()) return true;
    for (const auto& c : childElements(e))
        if (usesOutsideDefault(c, false)) return true;
    return false;
}

// A copy of the subtree in which the unprefixed elements that took a default namespace from
// outside it are in no namespace, as they were written.
GDataXMLElementPtr copyWithoutOutsideDefault(const GDataXMLElementPtr& source, bool inside) {
    inside = inside || declaresDefaultNamespace(source);
    if (!usesOutsideDefault(source, inside)) return source->copy();
    GDataXMLElementPtr e;
    if (!inside && source->prefix().value_or("").empty() && !source->URI().value_or("").empty()) {
        e = GDataXMLNode::elementWithName(source->localName().value_or(""));
        if (!e) return source->copy();
        for (const auto& ns : source->namespaces()) e->addNamespace(ns);
        for (const auto& a : source->attributes()) e->addAttribute(a);
    } else {
        // A prefixed element: its copy, emptied, without the default namespace the copy declared
        // for the descendants that used the outside one.
        e = source->copy();
        if (!e) return nullptr;
        for (const auto& c : e->children()) e->removeChild(c);
        GDataXMLNodeList kept;
        for (const auto& ns : e->namespaces())
            if (!ns->name().value_or("").empty()) kept.push_back(ns);
        e->setNamespaces(kept);
    }
    for (const auto& c : source->children()) {
        auto ce = c->kind() == GDataXMLNodeKind::Element ? std::dynamic_pointer_cast<GDataXMLElement>(c) : nullptr;
        if (ce) {
            if (auto converted = copyWithoutOutsideDefault(ce, inside)) e->addChild(converted);
        } else {
            e->addChild(c);
        }
    }
    return e;
}

}  // namespace

std::shared_ptr<GDataExtendedProperty> GDataExtendedProperty::propertyWithName(std::optional<std::string> name,
                                                                               std::optional<std::string> value) {
    auto obj = object();
    obj->setName(std::move(name));
    obj->setValue(std::move(value));
    obj->addEmptyDefaultNamespace();
    return obj;
}

void GDataExtendedProperty::init() {
    GDataObject::init();
    if (!mapsEmptyPrefix(namespaces())) addEmptyDefaultNamespace();
}

bool GDataExtendedProperty::initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) {
    if (!GDataObject::initWithXMLElement(element, parent)) return false;
    if (!mapsEmptyPrefix(namespaces())) {
        addEmptyDefaultNamespace();
        // Values written without a prefix inside an entry whose default namespace is Atom read
        // as Atom elements; they are the application's own, so they go back in no namespace.
        GDataXMLElementList values;
        for (const auto& child : childElements(element))
            if (auto copy = copyWithoutOutsideDefault(child, false)) values.push_back(std::move(copy));
        setXMLValues(std::move(values));
    }
    return true;
}

void GDataExtendedProperty::addParseDeclarations() {
    addLocalAttributeDeclarations({"name", "value", "realm"});
    addChildXMLElementsDeclaration();
}

void GDataExtendedProperty::addEmptyDefaultNamespace() { addNamespaces({{"", ""}}); }

std::optional<GDataStringDictionary> GDataExtendedProperty::XMLValuesDictionary() const {
    const auto& values = XMLValues();
    if (values.empty()) return std::nullopt;
    GDataStringDictionary dict;
    for (const auto& e : values) {
        std::string key = e->name().value_or("");
        std::string text = e->stringValue().value_or("");
        auto it = std::find_if(dict.begin(), dict.end(), [&](const auto& p) { return p.first == key; });
        if (it != dict.end()) it->second = std::move(text);
        else dict.emplace_back(std::move(key), std::move(text));
    }
    return dict;
}

void GDataExtendedProperty::setXMLValuesDictionary(const std::optional<GDataStringDictionary>& dict) {
    GDataXMLElementList elements;
    if (dict)
        for (const auto& [key, value] : *dict)
            if (auto e = GDataXMLNode::elementWithName(key, value)) elements.push_back(std::move(e));
    setXMLValues(std::move(elements));
}

std::optional<std::string> GDataExtendedProperty::XMLValueForKey(std::string_view key) const {
    auto dict = XMLValuesDictionary();
    if (!dict) return std::nullopt;
    for (const auto& [k, v] : *dict)
        if (k == key) return v;
    return std::nullopt;
}

void GDataExtendedProperty::setXMLValue(std::optional<std::string> value, std::string_view key) {
    auto dict = XMLValuesDictionary();
    if (!dict) {
        if (!value) return;
        dict.emplace();
    }
    auto it = std::find_if(dict->begin(), dict->end(), [&](const auto& p) { return p.first == key; });
    if (!value) {
        if (it != dict->end()) dict->erase(it);
    } else if (it != dict->end()) {
        it->second = std::move(*value);
    } else {
        dict->emplace_back(std::string(key), std::move(*value));
    }
    setXMLValuesDictionary(dict);
}

}  // namespace quorvane
