#pragma once
// gContact:jot — a short note about the contact (the text), with a rel.

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataContactJot : public GDataObject {
    QV_GDATA_CLASS(GDataContactJot)
public:
    static std::shared_ptr<GDataContactJot> jotWithRel(std::optional<std::string> rel, std::optional<std::string> value);
    void addParseDeclarations() override;

    std::optional<std::string> rel() const { return stringValueForAttribute("rel"); }
    void setRel(std::optional<std::string> v) { setStringValue(std::move(v), "rel"); }
    std::optional<std::string> stringValue() const { return contentStringValue(); }
    void setStringValue(std::optional<std::string> v) { setContentStringValue(std::move(v)); }
    using GDataObject::setStringValue;
};

}  // namespace quorvane
