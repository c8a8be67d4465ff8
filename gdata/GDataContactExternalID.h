#pragma once
// gContact:externalId — an identifier of the contact in another system, with rel or label.

#include "gdata/GDataObject.h"

namespace quorvane {

class GDataContactExternalID : public GDataObject {
    QV_GDATA_CLASS(GDataContactExternalID)
public:
    static std::shared_ptr<GDataContactExternalID> externalIDWithRel(std::optional<std::string> rel,
                                                                     std::optional<std::string> label,
                                                                     std::optional<std::string> value);
    void addParseDeclarations() override;

    std::optional<std::string> label() const { return stringValueForAttribute("label"); }
    void setLabel(std::optional<std::string> v) { setStringValue(std::move(v), "label"); }
    std::optional<std::string> rel() const { return stringValueForAttribute("rel"); }
    void setRel(std::optional<std::string> v) { setStringValue(std::move(v), "rel"); }
    // The "value" attribute.
    std::optional<std::string> stringValue() const { return stringValueForAttribute("value"); }
    void setStringValue(std::optional<std::string> v) { GDataObject::setStringValue(std::move(v), "value"); }
    using GDataObject::setStringValue;
};

}  // namespace quorvane
