#pragma once
// gd:customProperty — a named, typed value with an optional unit; the value is the text.

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataCustomProperty : public GDataObject {
    QV_GDATA_CLASS(GDataCustomProperty)
public:
    static std::shared_ptr<GDataCustomProperty> customPropertyWithName(std::optional<std::string> name,
                                                                       std::optional<std::string> type,
                                                                       std::optional<std::string> value,
                                                                       std::optional<std::string> unit);
    void addParseDeclarations() override;

    std::optional<std::string> name() const { return stringValueForAttribute("name"); }
    void setName(std::optional<std::string> v) { setStringValue(std::move(v), "name"); }
    std::optional<std::string> type() const { return stringValueForAttribute("type"); }
    void setType(std::optional<std::string> v) { setStringValue(std::move(v), "type"); }
    std::optional<std::string> unit() const { return stringValueForAttribute("unit"); }
    void setUnit(std::optional<std::string> v) { setStringValue(std::move(v), "unit"); }
    std::optional<std::string> value() const { return contentStringValue(); }
    void setValue(std::optional<std::string> v) { setContentStringValue(std::move(v)); }
};

}  // namespace quorvane
