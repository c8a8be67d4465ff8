#pragma once
// GDataNestedLink: what gd:entryLink and gd:feedLink share: a link (href, rel, readOnly) that
// may hold the object it links to as a nested Atom element, parsed into the class the kind
// registry chooses, written after the link's own content, copied deeply and compared.
//
// A step of the C++ hierarchy only, without a class record: GDataEntryLink and GDataFeedLink
// stay direct subclasses of GDataObject in every class lookup.

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataNestedLink : public GDataObject {
public:
    bool initWithXMLElement(const GDataXMLElementPtr& element, const GDataObjectPtr& parent) override;
    GDataXMLElementPtr XMLElement() const override;
    void writeXML(GDataXMLWriter& writer) const override;
    void copyStateTo(GDataObject& target) const override;
    bool isEqual(const GDataExtension& other) const override;

    std::optional<std::string> href() const { return stringValueForAttribute("href"); }
    void setHref(std::optional<std::string> v) { setStringValue(std::move(v), "href"); }
    std::optional<std::string> rel() const { return stringValueForAttribute("rel"); }
    void setRel(std::optional<std::string> v) { setStringValue(std::move(v), "rel"); }
    // "readOnly" is written only when true.
    bool isReadOnly() const { return boolValueForAttribute("readOnly", false); }
    void setIsReadOnly(bool flag) { setBoolValue(flag, false, "readOnly"); }

protected:
    // The local name of the nested Atom element ("entry", "feed").
    explicit GDataNestedLink(const char* nestedLocalName) : nestedLocalName_(nestedLocalName) {}
    const GDataObjectPtr& nested() const { return nested_; }
    void setNested(GDataObjectPtr object) { nested_ = std::move(object); }

private:
    const char* nestedLocalName_;
    GDataObjectPtr nested_;
};

}  // namespace quorvane
