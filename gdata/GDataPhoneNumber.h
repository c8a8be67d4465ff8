#pragma once
// gd:phoneNumber — a phone number (the element text) with its rel or label and an optional
// "uri"; the primary flag is not part of equality.

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataPhoneNumber : public GDataObject {
    QV_GDATA_CLASS(GDataPhoneNumber)
public:
    static std::shared_ptr<GDataPhoneNumber> phoneNumberWithString(std::optional<std::string> number);
    void addParseDeclarations() override;
    std::optional<std::vector<std::string>> attributesIgnoredForEquality() const override {
        return std::vector<std::string>{"primary"};
    }

    std::optional<std::string> label() const { return stringValueForAttribute("label"); }
    void setLabel(std::optional<std::string> v) { setStringValue(std::move(v), "label"); }
    std::optional<std::string> rel() const { return stringValueForAttribute("rel"); }
    void setRel(std::optional<std::string> v) { setStringValue(std::move(v), "rel"); }
    std::optional<std::string> URI() const { return stringValueForAttribute("uri"); }
    void setURI(std::optional<std::string> v) { setStringValue(std::move(v), "uri"); }
    bool isPrimary() const { return boolValueForAttribute("primary", false); }
    void setIsPrimary(bool flag) { setBoolValue(flag, false, "primary"); }
    // The number.
    std::optional<std::string> stringValue() const { return contentStringValue(); }
    void setStringValue(std::optional<std::string> v) { setContentStringValue(std::move(v)); }
    using GDataObject::setStringValue;
};

}  // namespace quorvane
