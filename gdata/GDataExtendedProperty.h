#pragma once
// gd:extendedProperty — a named value an application keeps on an entry: a "value" attribute, or
// XML of the application's own as child elements. The element declares an empty default
// namespace so that its child XML never falls into the Atom namespace of the entry around it.

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataExtendedProperty : public GDataObject {
    QV_GDATA_CLASS(GDataExtendedProperty)
public:
    static std::shared_ptr<GDataExtendedProperty> propertyWithName(std::optional<std::string> name,
                                                                   std::optional<std::string> value);
    void init() override;
    bool initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) override;
    void addParseDeclarations() override;

    // Maps the empty prefix to the empty namespace on this element.
    void addEmptyDefaultNamespace();

    std::optional<std::string> name() const { return stringValueForAttribute("name"); }
    void setName(std::optional<std::string> v) { setStringValue(std::move(v), "name"); }
    std::optional<std::string> value() const { return stringValueForAttribute("value"); }
    void setValue(std::optional<std::string> v) { setStringValue(std::move(v), "value"); }
    std::optional<std::string> realm() const { return stringValueForAttribute("realm"); }
    void setRealm(std::optional<std::string> v) { setStringValue(std::move(v), "realm"); }

    // The kept child elements.
    const GDataXMLElementList& XMLValues() const { return childXMLElements(); }
    void setXMLValues(GDataXMLElementList values) { setChildXMLElements(std::move(values)); }
    void addXMLValue(const GDataXMLElementPtr& value) { addChildXMLElement(value); }

    // Each child element's name to its text, in element order (a later element of a name seen
    // before replaces its value); nullopt when there are no child elements.
    std::optional<GDataStringDictionary> XMLValuesDictionary() const;
    // One element per key, named by the key with the value as its text, replacing the child
    // elements; nullopt or an empty dictionary removes them all.
    void setXMLValuesDictionary(const std::optional<GDataStringDictionary>& dict);
    std::optional<std::string> XMLValueForKey(std::string_view key) const;
    // Sets the key's element, or removes it for nullopt.
    void setXMLValue(std::optional<std::string> value, std::string_view key);
};

}  // namespace quorvane
