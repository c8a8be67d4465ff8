#pragma once
// gd:postalAddress — the older one-line (one text) postal address; the primary flag is not part
// of equality.

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataPostalAddress : public GDataObject {
    QV_GDATA_CLASS(GDataPostalAddress)
public:
    static std::shared_ptr<GDataPostalAddress> postalAddressWithString(std::optional<std::string> address);
    void addParseDeclarations() override;
    std::optional<std::vector<std::string>> attributesIgnoredForEquality() const override {
        return std::vector<std::string>{"primary"};
    }

    std::optional<std::string> label() const { return stringValueForAttribute("label"); }
    void setLabel(std::optional<std::string> v) { setStringValue(std::move(v), "label"); }
    std::optional<std::string> rel() const { return stringValueForAttribute("rel"); }
    void setRel(std::optional<std::string> v) { setStringValue(std::move(v), "rel"); }
    bool isPrimary() const { return boolValueForAttribute("primary", false); }
    void setIsPrimary(bool flag) { setBoolValue(flag, false, "primary"); }
    // The address text.
    std::optional<std::string> stringValue() const { return contentStringValue(); }
    void setStringValue(std::optional<std::string> v) { setContentStringValue(std::move(v)); }
    using GDataObject::setStringValue;
};

}  // namespace quorvane
