#pragma once
// gContact:relation — a related person's name (the text) with the relation as rel or label.

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataContactRelation : public GDataObject {
    QV_GDATA_CLASS(GDataContactRelation)
public:
    static std::shared_ptr<GDataContactRelation> relationWithRel(std::optional<std::string> rel,
                                                                 std::optional<std::string> label,
                                                                 std::optional<std::string> value);
    void addParseDeclarations() override;

    std::optional<std::string> rel() const { return stringValueForAttribute("rel"); }
    void setRel(std::optional<std::string> v) { setStringValue(std::move(v), "rel"); }
    std::optional<std::string> label() const { return stringValueForAttribute("label"); }
    void setLabel(std::optional<std::string> v) { setStringValue(std::move(v), "label"); }
    // The related person's name.
    std::optional<std::string> stringValue() const { return contentStringValue(); }
    void setStringValue(std::optional<std::string> v) { setContentStringValue(std::move(v)); }
    using GDataObject::setStringValue;
};

}  // namespace quorvane
