#pragma once
// GDataACLScope: whom an access rule applies to, <gAcl:scope type="user" value="a@b.com" name="A"/>.

#include <memory>
#include <optional>
#include <string>

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataACLScope : public GDataObject {
    QV_GDATA_CLASS(GDataACLScope)
public:
    static std::shared_ptr<GDataACLScope> scopeWithType(std::optional<std::string> type,
                                                        std::optional<std::string> value);
    void addParseDeclarations() override;

    // "user", "group", "domain", "default", ...
    std::optional<std::string> type() const { return stringValueForAttribute("type"); }
    void setType(std::optional<std::string> v) { GDataObject::setStringValue(std::move(v), "type"); }
    // The address or domain the type names.
    std::optional<std::string> value() const { return stringValueForAttribute("value"); }
    void setValue(std::optional<std::string> v) { GDataObject::setStringValue(std::move(v), "value"); }
    // A display name.
    std::optional<std::string> name() const { return stringValueForAttribute("name"); }
    void setName(std::optional<std::string> v) { GDataObject::setStringValue(std::move(v), "name"); }
};

}  // namespace quorvane
