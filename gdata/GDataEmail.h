#pragma once
// gd:email — an e-mail address with its rel or label; the primary flag is not part of equality.

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataEmail : public GDataObject {
    QV_GDATA_CLASS(GDataEmail)
public:
    static std::shared_ptr<GDataEmail> emailWithLabel(std::optional<std::string> label,
                                                      std::optional<std::string> address);
    void addParseDeclarations() override;
    std::optional<std::vector<std::string>> attributesIgnoredForEquality() const override {
        return std::vector<std::string>{"primary"};
    }

    std::optional<std::string> label() const { return stringValueForAttribute("label"); }
    void setLabel(std::optional<std::string> v) { setStringValue(std::move(v), "label"); }
    std::optional<std::string> address() const { return stringValueForAttribute("address"); }
    void setAddress(std::optional<std::string> v) { setStringValue(std::move(v), "address"); }
    std::optional<std::string> rel() const { return stringValueForAttribute("rel"); }
    void setRel(std::optional<std::string> v) { setStringValue(std::move(v), "rel"); }
    // "primary" is written only when true.
    bool isPrimary() const { return boolValueForAttribute("primary", false); }
    void setIsPrimary(bool flag) { setBoolValue(flag, false, "primary"); }
};

}  // namespace quorvane
