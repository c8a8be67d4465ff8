#pragma once
// gd:where — a place: a text value, a rel, a label and an optional link to an entry for it.

#include "gdata/GDataEntryLink.h"

namespace quorvane {

class GDataWhere : public GDataObject {
    QV_GDATA_CLASS(GDataWhere)
public:
    static std::shared_ptr<GDataWhere> whereWithString(std::optional<std::string> value);
    void addExtensionDeclarations() override;
    void addParseDeclarations() override;
    using GDataObject::setStringValue;

    std::optional<std::string> rel() const { return stringValueForAttribute("rel"); }
    void setRel(std::optional<std::string> v) { setStringValue(std::move(v), "rel"); }
    std::optional<std::string> label() const { return stringValueForAttribute("label"); }
    void setLabel(std::optional<std::string> v) { setStringValue(std::move(v), "label"); }
    // The "valueString" attribute.
    std::optional<std::string> stringValue() const { return stringValueForAttribute("valueString"); }
    void setStringValue(std::optional<std::string> v) { GDataObject::setStringValue(std::move(v), "valueString"); }
    std::shared_ptr<GDataEntryLink> entryLink() const { return objectForExtension<GDataEntryLink>(); }
    void setEntryLink(const std::shared_ptr<GDataEntryLink>& link) { setObject(link, GDataEntryLink::staticClassInfo()); }

    std::vector<std::string> itemsForDescription() const override;
};

}  // namespace quorvane
