#pragma once
// gd:im — an instant-messaging address with its protocol and rel or label; the primary flag is
// not part of equality.

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataIM : public GDataObject {
    QV_GDATA_CLASS(GDataIM)
public:
    static std::shared_ptr<GDataIM> IMWithProtocol(std::optional<std::string> protocol, std::optional<std::string> rel,
                                                   std::optional<std::string> label,
                                                   std::optional<std::string> address);
    void addParseDeclarations() override;
    std::optional<std::vector<std::string>> attributesIgnoredForEquality() const override {
        return std::vector<std::string>{"primary"};
    }

    std::optional<std::string> address() const { return stringValueForAttribute("address"); }
    void setAddress(std::optional<std::string> v) { setStringValue(std::move(v), "address"); }
    std::optional<std::string> protocol() const { return stringValueForAttribute("protocol"); }
    void setProtocol(std::optional<std::string> v) { setStringValue(std::move(v), "protocol"); }
    std::optional<std::string> label() const { return stringValueForAttribute("label"); }
    void setLabel(std::optional<std::string> v) { setStringValue(std::move(v), "label"); }
    std::optional<std::string> rel() const { return stringValueForAttribute("rel"); }
    void setRel(std::optional<std::string> v) { setStringValue(std::move(v), "rel"); }
    bool isPrimary() const { return boolValueForAttribute("primary", false); }
    void setIsPrimary(bool flag) { setBoolValue(flag, false, "primary"); }
};

}  // namespace quorvane
